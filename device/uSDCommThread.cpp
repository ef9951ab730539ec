#include "device/uSDCommThread.h"

#include <cstring>

#include "device/uConvert1V0.h"
#include "device/uEventTexts.h"
#include "device/uExceptions1V0.h"
#include "device/uSettings.h"
#include "firmware/uBl3File.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "firmware/uNames.h"

bool ReadInfoOnly = false;
bool ReadInfoOnlyAllowed = false;

namespace {

// This module makes "Read info only" available as soon as it is loaded, before any window exists.
const bool kReadInfoOnlyAllowedSet = (ReadInfoOnlyAllowed = true);

// Outcome codes of the procedure.
constexpr int32_t kOutcomeNoUpdateForLogger = 40;
constexpr int32_t kOutcomeControllerNotReady = 41;
constexpr int32_t kOutcomeLastLineWrong = 42;
constexpr int32_t kOutcomeConversionError = 43;
constexpr int32_t kOutcomeProgrammingError = 44;
constexpr int32_t kOutcomeNoMatchingImage = 47;
constexpr int32_t kOutcomeWrongAnswer = 48;
constexpr int32_t kOutcomeInfoOnly = 70;

// Stage offsets of event codes 14 and 15.
constexpr int32_t kStageIdentity = 0x000;
constexpr int32_t kStageIdentityLayout = 0x100;
constexpr int32_t kStageBegin = 0x200;
constexpr int32_t kStageRecords = 0x300;
constexpr int32_t kStageFinish = 0x400;

// Controller registers.
constexpr uint8_t kRegProbe = 0;
constexpr uint8_t kRegWake = 1;
constexpr uint8_t kRegWake2 = 2;
constexpr uint8_t kRegWake3 = 3;
constexpr uint8_t kRegAnswer = 10;    // asks for the controller's answer in the packet buffer
constexpr uint8_t kRegHandOver = 11;  // hands the packet buffer to the controller
constexpr uint8_t kRegBuffer = 0x80;  // + word index
constexpr int kBufferWords = 17;
constexpr uint8_t kPacketSize = 68;

// Command packet codes.
constexpr uint8_t kCmdIdentity = 32;
constexpr uint8_t kCmdBegin = 49;
constexpr uint8_t kCmdFinish = 50;

constexpr uint8_t kLoggerIdentify = 1;
constexpr uint8_t kIdentityAnswerSize = 10;
constexpr uint8_t kIdentityLayout[4] = {6, 0, 0, 5};
constexpr uint16_t kRequiredBootloader = 2;
constexpr int kRecordAttempts = 5;
constexpr int kAnswerAccesses = 5;
constexpr int kFinishTries = 5;
constexpr uint32_t kControllerWakeMs = 2000;
constexpr uint32_t kFinishPauseMs = 500;
constexpr uint32_t kFinishSettleMs = 2000;

}  // namespace

void TSDCommThread::Access(uint8_t reg, uint8_t d0, uint8_t d1, uint8_t d2, uint8_t d3) {
  SendCommand(true, FTunnelCmd, FTunnelSelector, reg, d0, d1, d2, d3);
}

void TSDCommThread::SdAccess(uint8_t reg) {
  Access(reg, 0, 0, 0, 0);
}

uint8_t TSDCommThread::SdCommand(uint8_t code) {
  Access(kRegBuffer + 0, 1, 0, 0, 5);
  Access(kRegBuffer + 1, code, 0, 0, 0);
  Access(kRegHandOver, 0, 0, 0, 5);
  return FRxBuffer[1];
}

void TSDCommThread::ReadBufferWord(uint8_t word, uint8_t* bytes) {
  SdAccess(kRegBuffer + word);
  // The controller answers its data bitwise inverted.
  for (int b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(~FRxBuffer[3 + b]);
}

void TSDCommThread::ChooseTunnel(uint16_t loggerClass, uint16_t loggerVersion) {
  switch (loggerClass) {
    case 0x6601:
      FTunnelCmd = loggerVersion >= 0x0600 ? 2 : 5;
      break;
    case 0x6605:
      FTunnelCmd = 2;
      break;
    case 0x6606:
    case 0x6607:
      FTunnelCmd = 5;
      break;
    default:
      throw EQuor(kOutcomeNoUpdateForLogger);
  }
  FTunnelSelector = FTunnelCmd == 2 ? 200 : 20;
}

void TSDCommThread::Process() {
  // Identify the logger; both events go out before its class is judged.
  SendCommand(true, kLoggerIdentify, 0, 0, 0, 0, 0, 0);
  const uint16_t loggerClass = BytesToWord(FRxBuffer[2], FRxBuffer[3]);
  const uint16_t loggerVersion = BytesToWord(FRxBuffer[4], FRxBuffer[5]);
  Post(evLoggerClass, loggerClass);
  Post(evLoggerVersion, loggerVersion);
  ChooseTunnel(loggerClass, loggerVersion);

  // Probe: the link already rejects bit 0x20; a controller that is not ready also shows 0x40 or 0x80 here.
  SdAccess(kRegProbe);
  if (FRxBuffer[0] & 0xE0) throw EQuor(kOutcomeControllerNotReady);

  SdAccess(kRegWake);
  Pause(kControllerWakeMs);
  SdAccess(kRegWake3);
  SdAccess(kRegWake2);

  uint8_t status = SdCommand(kCmdIdentity);
  if (status != 0) {
    Post(evTxStatus, kStageIdentity + status);
    throw EQuor(kOutcomeWrongAnswer);
  }
  Access(kRegAnswer, 0, 0, 0, kIdentityAnswerSize);
  status = FRxBuffer[1];
  if (status != 0) {
    Post(evRxStatus, kStageIdentity + status);
    throw EQuor(kOutcomeWrongAnswer);
  }
  uint8_t identity[12];
  for (uint8_t w = 0; w < 3; ++w) ReadBufferWord(w, identity + 4 * w);
  if (std::memcmp(identity, kIdentityLayout, sizeof kIdentityLayout) != 0) {
    Post(evRxStatus, kStageIdentityLayout + status);
    throw EQuor(kOutcomeWrongAnswer);
  }
  const uint16_t platform = CheckPlatform(BytesToWord(identity[4], identity[5]));
  const uint16_t print = CheckPrint(BytesToWord(identity[6], identity[7]));
  Post(evPlatform, platform);
  Post(evPrint, print);
  Post(evUpdateClass, kSdCardClass);

  SelectImage(platform, print);
  if (ReadInfoOnly) throw EQuor(kOutcomeInfoOnly);

  // The image must end in the end-of-file record, which is never sent itself.
  const int32_t last = GetImageLastLine();
  if (last < 1 || GetImageLine(last) != kEndOfFileLine) throw EQuor(kOutcomeLastLineWrong);

  Post(evUpdateStart, static_cast<int32_t>(FCmd));
  status = SdCommand(kCmdBegin);
  if (status != 0) {
    Post(evTxStatus, kStageBegin + status);
    throw EQuor(kOutcomeWrongAnswer);
  }

  for (int32_t i = 0; i < last; ++i) {
    const std::string lineText = GetImageLine(i);
    HexLine = lineText;
    if (!DecodeHexRecord()) {
      Post(evConversionError, i);
      throw EQuor(kOutcomeConversionError);
    }
    // Only full data records go to the controller; the others (short records, address records) are skipped.
    if (HexRecord[0] == 0x40 && HexRecord[3] == 0) {
      // Every attempt sends the line's own bytes, never what was read back.
      uint8_t record[kPacketSize];
      std::memcpy(record, HexRecord, kPacketSize);
      bool done = false;
      for (int attempt = 0; attempt < kRecordAttempts && !done; ++attempt)
        done = SendRecord(record, lineText, i);
      if (!done) throw EQuor(kOutcomeProgrammingError);
    }
    SetProgress(i, last);
  }

  for (int tries = 1;; ++tries) {
    status = SdCommand(kCmdFinish);
    if (status == 0) break;
    Post(evTxStatus, kStageFinish + status);
    Pause(kFinishPauseMs);
    if (tries == kFinishTries) throw EQuor(kOutcomeProgrammingError);
  }
  Pause(kFinishPauseMs);
  SdAccess(kRegWake);
  Pause(kFinishSettleMs);

  // Reset the logger; it answers nothing to this frame.
  if (FTunnelCmd == 2)
    SendCommand(false, 2, 0x80, 0x00, 0x22, 0x11, 0x00, 0x00);
  else
    SendCommand(false, 5, 0x02, 0x00, 0xA5, 0x5A, 0x00, 0x00);
}

void TSDCommThread::SelectImage(uint16_t platform, uint16_t print) {
  // A loaded image file is the only candidate when it is selected; otherwise the embedded images are.
  int32_t first = 1;
  int32_t lastCandidate = ImageCount();
  if (SelectedImage == 0) first = lastCandidate = 0;
  SelectedImage = -1;
  for (int32_t index = first; index <= lastCandidate; ++index) {
    Post(evCheckImage, index);
    TBl3FileHeader header;
    GetImageHeader(index, header);
    const bool matches = (!CheckClass || header.quor_class == kSdCardClass) &&
                         header.quor_platform == platform && header.quor_print == print &&
                         header.quor_bl == kRequiredBootloader;
    if (matches) {
      SelectedImage = index;
      break;
    }
  }
  if (SelectedImage == -1) throw EQuor(kOutcomeNoMatchingImage);
}

bool TSDCommThread::SendRecord(const uint8_t* record, const std::string& lineText, int32_t lineIndex) {
  for (int j = 0; j < kBufferWords; ++j)
    Access(static_cast<uint8_t>(kRegBuffer + j), record[4 * j], record[4 * j + 1], record[4 * j + 2],
           record[4 * j + 3]);
  Access(kRegHandOver, 0, 0, 0, kPacketSize);
  uint8_t status = FRxBuffer[1];
  if (status != 0) {
    Post(evTxStatus, kStageRecords + status);
    return false;
  }
  for (int access = 0; access < kAnswerAccesses; ++access) {
    Access(kRegAnswer, 0, 0, 0, kPacketSize);
    status = FRxBuffer[1];
    if (status == 0) break;
  }
  if (status != 0) {
    Post(evRxStatus, kStageRecords + status);
    return false;
  }
  uint8_t readBack[kPacketSize];
  for (int j = 0; j < kBufferWords; ++j) ReadBufferWord(static_cast<uint8_t>(j), readBack + 4 * j);
  // Compare as text: the encoder takes the count from the read-back and adds a fresh checksum.
  std::memcpy(HexRecord, readBack, kPacketSize);
  if (!EncodeHexRecord() || HexLine != lineText) {
    Post(evVerifyError, lineIndex);
    return false;
  }
  return true;
}
