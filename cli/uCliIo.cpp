#include "cli/uCliIo.h"

#include <istream>
#include <ostream>

std::atomic<bool> CliInterrupted{false};

std::string QuestionLine(const std::string& question) {
  std::string text;
  for (size_t i = 0; i < question.size(); ++i) {
    if (question.compare(i, 2, "\r\n") == 0) {
      text += ' ';
      ++i;
    } else {
      text += question[i];
    }
  }
  return text;
}

bool AskYesNo(TCliIo& io, const std::string& question) {
  io.Err << QuestionLine(question) << " [y/N] " << std::flush;
  std::string answer;
  if (io.ReadLine ? !io.ReadLine(answer) : !std::getline(io.In, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}
