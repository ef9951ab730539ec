#include "run/uStartup.h"

#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "run/uWinTools1V4.h"

TStartOptions StartOptionsFromParams(const std::vector<std::string>& params) {
  TStartOptions options;
  options.NoClassCheck = GetParamValue("cc:", "", params) == "-";
  // "mf:+" sets the flag and "mf:-" clears it; the first "mf:" parameter decides, any other value leaves
  // the flag as it was at load (false).
  options.ClearsMeasurements = GetParamValue("mf:", "", params) == "+";
  options.ImageFiles = GetParamValue("f:", "-", params) == "+";
  return options;
}

TStartupSettings DeriveStartupSettings(bool internal, const TStartOptions& options) {
  TStartupSettings settings;
  settings.ServiceLevel = internal ? (options.ImageFiles ? 2 : 1) : 0;
  settings.CheckClass = !(internal && options.NoClassCheck);
  settings.ClearsMeasurements = options.ClearsMeasurements;
  settings.ReadInfoOnlyShown = ReadInfoOnlyAllowed && internal;
  settings.FileControlsShown = settings.ServiceLevel >= 2;
  settings.ImageFilesRefused = options.ImageFiles && !internal;
  settings.NoClassCheckRefused = options.NoClassCheck && !internal;
  return settings;
}

void ApplyStartupSettings(const TStartupSettings& settings) {
  ServiceLevel = settings.ServiceLevel;
  CheckClass = settings.CheckClass;
  ClearsMeasurements = settings.ClearsMeasurements;
}
