// Command-line options of the form prefix:value.
#pragma once

#include <string>
#include <vector>

// The value of the first parameter (index 1 on; index 0 is the program) longer than `prefix` whose head
// matches `prefix` ignoring ASCII case: at most 1000 characters after the prefix; `def` when none matches.
// `params` are 8-bit texts in the system's ANSI code page.
std::string GetParamValue(const std::string& prefix, const std::string& def,
                          const std::vector<std::string>& params);
// The same over the process's own command line, converted to the ANSI code page (Windows only:
// uWinTools1V4_win32.cpp).
std::string GetParamValue(const std::string& prefix, const std::string& def);
// The process's own command-line parameters, index 0 the program path (Windows only).
std::vector<std::string> ProcessParams();
// The same in UTF-8, every letter kept, for file and folder names and the command line's arguments
// (Windows only).
std::vector<std::string> ProcessParamsUtf8();
