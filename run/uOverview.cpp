#include "run/uOverview.h"

#include <cstdio>

#include "firmware/uNames.h"

std::vector<std::string> ImageTableHeader() {
  return {"Firmware", "Version", "Platform", "Print", "Date", "BL"};
}

std::vector<std::string> ImageRow(const TBl3FileHeader& header) {
  // "%.2d": the minor version has at least two digits (1.04).
  char version[32];
  std::snprintf(version, sizeof version, "%d.%.2d", header.quor_verH, header.quor_verL);
  char bl[32];
  std::snprintf(bl, sizeof bl, "%d.%d", header.quor_bl, header.quor_bl_ver);
  return {ClassName(header.quor_class, header.quor_print),
          version,
          PlatformName(header.quor_platform),
          PrintName(header.quor_print),
          header.quor_date,
          bl};
}
