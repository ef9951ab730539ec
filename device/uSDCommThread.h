// The update procedure for the SD-card controller behind the logger.
#pragma once

#include <string>

#include "device/uCommThread.h"

// Copied from the "Read info only" check box when a run starts; read once after image selection.
extern bool ReadInfoOnly;
// Set true when this module initialises.
extern bool ReadInfoOnlyAllowed;

class TSDCommThread : public TCommThread {
 public:
  using TCommThread::TCommThread;

 protected:
  void Process() override;

  // A register access with zero data; the answer is left in FRxBuffer.
  void SdAccess(uint8_t reg);
  // Command packet (1, 0, 0, 5, code) handed over with register 11; returns its status byte.
  uint8_t SdCommand(uint8_t code);

 private:
  void Access(uint8_t reg, uint8_t d0, uint8_t d1, uint8_t d2, uint8_t d3);
  // Reads packet buffer word `word` (register 0x80 + word) into four plain bytes.
  void ReadBufferWord(uint8_t word, uint8_t* bytes);
  // TunnelCmd and TunnelSelector by the logger's class and version; EQuor 40 for a logger not served.
  void ChooseTunnel(uint16_t loggerClass, uint16_t loggerVersion);
  // The first candidate that fits the controller becomes SelectedImage; EQuor 47 when none does.
  void SelectImage(uint16_t platform, uint16_t print);
  // One attempt at record `lineIndex`: write, hand over, ask back, read back, compare. False: try again.
  bool SendRecord(const uint8_t* record, const std::string& lineText, int32_t lineIndex);
  uint8_t FTunnelCmd = 0;
  uint8_t FTunnelSelector = 0;
};
