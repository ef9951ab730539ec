// Names of device classes, platforms and prints. "?" is never a row's text, so it always means "no row".
#include "firmware/uNames.h"

#include <algorithm>
#include <string_view>

namespace {

struct TNameRow {
  uint16_t code;
  std::string_view text;
};

constexpr std::string_view kNoRow = "?";

// Classes 0x6617, 0x6621 and 0x6627 are named by ClassName itself, from the print code.
constexpr TNameRow kClasses[] = {
    {0x6590, "Prototype"},
    {0x6601, "QDL 100"},
    {0x6602, "QDL 110"},
    {0x6603, "QDL 120"},
    {0x6604, "QDL 200"},
    {0x6605, "QDL 210"},
    {0x6606, "QDL 220 Mini"},
    {0x6607, "QDL 300"},
    {0x6608, "QDL 310"},
    {0x6609, "QDL 320 Flow"},
    {kSdCardClass, "SD CARD"},
    {0x660B, "QDL 400"},
    {0x660C, "QDL 410"},
    {0x660E, "QDL 420"},
    {0x660F, "QDL 430 Level"},
    {0x6610, "QDL 440"},
    {0x6611, "QDL 500"},
    {0x6612, "QDL 510"},
    {0x6613, "QDL 520"},
    {0x6614, "QDL 530 Rain"},
    {0x6615, "QWL-8 WLAN module"},
    {0x6616, "QBT-4 BLE module"},
    {0x6618, "QDL 550"},
    {0x6619, "QDL 560 Duo"},
    {0x661A, "QDL 600"},
    {0x661B, "QDL 610"},
    {0x661C, "QDL 620"},
    {0x661D, "QRM-2 radio module"},
    {0x661E, "QDL 630"},
    {0x661F, "QDL 640"},
    {0x6620, "QDL 700"},
    {0x6622, "QDL 720"},
    {0x6623, "QDL 730 Flow"},
    {0x6624, "QWL-9 WLAN module"},
    {0x6625, "QBT-5 BLE module"},
    {0x6626, "QDL 740"},
    {0x6628, "QDL 800"},
    {0x6629, "QDL 810"},
    {0x662A, "QDL 820"},
    {0x662B, "QDL 830 Level"},
    {0x662C, "QDL 840"},
    {0x662D, "QDL 900"},
    {0x662E, "QDL 910"},
    {0x662F, "QDL 920 Duo"},
    {0xC800, "BL"},
    {0xC801, "BL2"},
    {0xC802, "BL3"},
};

constexpr TNameRow kPlatforms[] = {
    {0, "QVR8A1 A"},      {1, "QVR8A1 B"},     {2, "QVR8A2 A"},
    {3, "QVR16C2 A"},     {4, "QVR16C2 B"},    {5, "QVR16C2 LP"},
    {6, "QVR16C4 A"},     {7, "QVR16C4 B"},    {8, "QVR16C4 X"},
    {9, "QVR32K4 A"},     {10, "QVR32K4 B"},   {11, "QVR32K4 C"},
    {12, "QVR32K4 LP"},   {13, "QVR32K8 A"},   {14, "QVR32K8 B"},
    {15, "QVR32K8 C"},    {16, "QVR32K8 LP"},  {17, "QVR32K8 X (QDL 730 Flow)"},
    {18, "QWL-8 WLAN A"}, {19, "QBT-4 BLE A"}, {20, "QVR32M2 A"},
    {21, "QVR32M2 B"},    {22, "QVR32M2 LP"},  {23, "QVR32M6 A"},
    {24, "QVR32M6 B"},    {25, "QVR32M6 C"},   {26, "QVR32M6 LP"},
    {27, "QVR64R1 A"},    {28, "QVR64R1 B"},   {0xFFFE, "QVR32M6 T"},
};

constexpr TNameRow kPrints[] = {
    {0, "PB00"},
    {1, "PB01"},
    {2, "PB02"},
    {3, "PB03A"},
    {4, "PB04"},
    {5, "PB05 DAC"},
    {6, "PB06"},
    {7, "PB07 Display"},
    {8, "PB08"},
    {9, "PB09"},
    {10, "PB10A"},
    {11, "PB11 Field bus"},
    {12, "PB12"},
    {13, "PB13 (QDL 310)"},
    {14, "PB14"},
    {15, "PB15B"},
    {16, "PB16"},
    {17, "PB17C"},
    {18, "PB18 WLAN QWL-9 SPI"},
    {19, "PB19 BLE QBT-5 SPI"},
    {20, "PB20"},
    {21, "PB21 Display"},
    {22, "PB22"},
    {23, "PB23 DAC"},
    {24, "PB24"},
    {25, "PB25A"},
    {26, "PB26"},
    {27, "PB27 Field bus"},
    {28, "PB28"},
    {29, "PB29"},
    {30, "PB30 (QDL 620)"},
    {31, "PB31"},
    {32, "PB32"},
    {33, "PB33 Display"},
    {34, "PB34"},
    {35, "PB35B"},
    {36, "PB36"},
    {37, "PB37"},
    {38, "PB38 WLAN QWL-8 UART"},
    {39, "PB39 BLE QBT-4 UART"},
    {40, "PB40"},
    {43, "PB43"},
    {44, "PB44 DAC"},
    {45, "PB45"},
    {46, "PB46"},
    {47, "PB47 WLAN QWL-8 UART"},
    {48, "PB48 BLE QBT-4 UART"},
    {49, "PB49"},
    {50, "PB50 Field bus"},
    {51, "PB51"},
    {52, "PB52C"},
    {53, "PB53 Display"},
    {54, "PB54"},
    {55, "PB55 WLAN QWL-9 UART"},
    {56, "PB56 BLE QBT-5 UART"},
};

template <std::size_t N>
std::string_view Lookup(const TNameRow (&table)[N], uint16_t code) {
  const auto row =
      std::find_if(std::begin(table), std::end(table), [code](const TNameRow& r) { return r.code == code; });
  return row == std::end(table) ? kNoRow : row->text;
}

bool IsWlanUartPrint(uint16_t print) {
  return print == 38 || print == 47 || print == 55;
}
bool IsBleUartPrint(uint16_t print) {
  return print == 39 || print == 48 || print == 56;
}

}  // namespace

std::string ClassName(uint16_t classCode, uint16_t print) {
  switch (classCode) {
    case 0x6617:
      if (IsWlanUartPrint(print)) return "QDL 540 WLAN";
      if (IsBleUartPrint(print)) return "QDL 540 BLE";
      return "QDL 540";
    case 0x6621:
      // Print 55 and 56 carry the later radio modules, which this model never had.
      if (print == 38 || print == 47) return "QDL 710 WLAN";
      if (print == 39 || print == 48) return "QDL 710 BLE";
      return "QDL 710";
    case 0x6627:
      return "QWL-9P WLAN module (production)";
    default:
      return std::string(Lookup(kClasses, classCode));
  }
}

std::string PlatformName(uint16_t platform) {
  return std::string(Lookup(kPlatforms, platform));
}

std::string PrintName(uint16_t print) {
  return std::string(Lookup(kPrints, print));
}

uint16_t CheckPlatform(uint16_t code) {
  return Lookup(kPlatforms, code) == kNoRow ? kUnknownCode : code;
}

uint16_t CheckPrint(uint16_t code) {
  return Lookup(kPrints, code) == kNoRow ? kUnknownCode : code;
}
