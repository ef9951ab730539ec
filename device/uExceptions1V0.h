#pragma once

#include <cstdint>
#include <exception>
#include <string>

// Carries an outcome code from wherever a run fails to the worker's one reporting place.
class EQuor : public std::exception {
 public:
  explicit EQuor(int32_t code) : iException(code) {}
  EQuor(int32_t code, std::string sMsg) : iException(code), Message(std::move(sMsg)) {}
  const char* what() const noexcept override { return Message.c_str(); }

  int32_t iException;
  std::string Message;
};
