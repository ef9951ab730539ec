// The one place that forms the text of every worker event and outcome code, for every front end.
#pragma once

#include <cstdint>
#include <string>

// Event codes posted by the worker.
enum : uint32_t {
  evCompleted = 0,
  evProgress = 1,
  evFailed = 10,
  evVerifyError = 11,
  evConversionError = 12,
  evCommFailure = 13,
  evTxStatus = 14,
  evRxStatus = 15,
  evLoggerClass = 20,
  evLoggerVersion = 21,
  evPlatform = 22,
  evPrint = 23,
  evUpdateClass = 25,
  evUpdateStart = 26,
  evCheckImage = 27,
};

// The text of an outcome code (the value of event code 10); `portText` names the port for code 10.
std::string OutcomeText(int32_t outcome, const std::string& portText);
// The text of an event; reads the catalogue (SelectedImage, image headers) at the moment of the call.
// Empty for codes that have no text.
std::string EventText(uint32_t code, int32_t value, const std::string& portText);
// "%d%%" of a progress value, for the application title.
std::string ProgressTitle(int32_t percent);
// "Start at serial port "%s"".
std::string StartText(const std::string& portText);
