#include "device/uEventTexts.h"

#include <cstdarg>
#include <cstdio>

#include "firmware/uBl3File.h"
#include "firmware/uFWVersions.h"
#include "firmware/uNames.h"

namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
  // Long port names or names from an image file: format again with room for all of it.
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.resize(static_cast<size_t>(n));
  return text;
}

uint16_t Low16(int32_t value) {
  return static_cast<uint16_t>(value & 0xFFFF);
}

// "%s V%d.%.2d, %s, BL%d.%d" of an image header (events 26 and 27).
std::string ImageText(const char* verb, int32_t image) {
  TBl3FileHeader h;
  GetImageHeader(image, h);
  return Format("%s %s V%d.%.2d, %s, BL%d.%d", verb, ClassName(h.quor_class, h.quor_print).c_str(),
                h.quor_verH, h.quor_verL, PrintName(h.quor_print).c_str(), h.quor_bl, h.quor_bl_ver);
}

}  // namespace

std::string OutcomeText(int32_t outcome, const std::string& portText) {
  switch (outcome) {
    case 10:
      return Format("Aborted because serial port \"%s\" is not ready!", portText.c_str());
    case 11:
      return "Aborted because error when reading/writing to serial port!";
    case 20:
      return "Process cancelled!";
    case 40:
      return "Aborted because no update is available for this logger!";
    case 41:
      return "Aborted because the logger is not ready!";
    case 42:
      return "Aborted because last line is wrong !";
    case 43:
      return "Aborted because conversion error!";
    case 44:
      return "Repeat because programming error!";
    case 47:
      return "There is no update available or the logger has another update ID!";
    case 48:
      return "Aborted because wrong answer from SD controller!";
    case 70:
      return "Only read update info!";
    default:
      return "Fatal Exception has occurred!";
  }
}

std::string EventText(uint32_t code, int32_t value, const std::string& portText) {
  switch (code) {
    case evCompleted: {
      TBl3FileHeader h;
      GetImageHeader(SelectedImage, h);
      return Format("Update %s V%d.%.2d succesfully completed.",
                    ClassName(h.quor_class, h.quor_print).c_str(), h.quor_verH, h.quor_verL);
    }
    case evProgress:
      return Format("Progress %d%%", value);
    case evFailed:
      return OutcomeText(value, portText);
    case evVerifyError:
      return Format("Aborted because programming error at line %d !", value);
    case evConversionError:
      return Format("Aborted because conversion error at line  %d !", value);
    case evCommFailure:
      return "Repeat update because communication error!";
    case evTxStatus:
      return Format("Wrong answer from SD controller [TX %.3X] !", static_cast<unsigned>(value));
    case evRxStatus:
      return Format("Wrong answer from SD controller [RX %.3X] !", static_cast<unsigned>(value));
    case evLoggerClass:
      return Format("Class %d [%s]", value, ClassName(Low16(value), kUnknownCode).c_str());
    case evLoggerVersion:
      return Format("Version %d.%d", (value >> 8) & 0xFF, value & 0xFF);
    case evPlatform:
      return Format("Platform %d [%s]", value, PlatformName(Low16(value)).c_str());
    case evPrint:
      return Format("Print %d [%s]", value, PrintName(Low16(value)).c_str());
    case evUpdateClass:
      return Format("Update class %d [%s]", value, ClassName(Low16(value), kUnknownCode).c_str());
    case evUpdateStart:
      return ImageText("Update", SelectedImage);
    case evCheckImage:
      return ImageText("Check", value);
    default:
      return std::string();
  }
}

std::string ProgressTitle(int32_t percent) {
  return Format("%d%%", percent);
}

std::string StartText(const std::string& portText) {
  return Format("Start at serial port \"%s\"", portText.c_str());
}
