// What the files of the station window share: its names, the look of each state and a few text helpers.
// Not for other windows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "station/uProcess.h"
#include "station/uStation.h"

namespace StationWindow {

inline constexpr wchar_t kCaption[] = L"Pellory station";
inline constexpr wchar_t kProgramName[] = L"pellory-cli.exe";

struct TStateLook {
  COLORREF Background;  // the result cell
  COLORREF Bar;         // the filled part of the row's bar
  COLORREF Ink;         // the state's symbol and word
};

TStateLook LookOf(TRunStatus state);

std::wstring WindowText(HWND hwnd);
void SetTextIfChanged(HWND hwnd, const std::wstring& text);
// Text of several lines as controls show it: each "\n" a "\r\n".
std::wstring WindowsLines(const std::string& text);

// The default log folder, under the user's documents.
std::wstring DefaultLogFolder();
// A folder chosen in the system's folder dialog, starting at `folder`.
bool BrowseForFolder(HWND owner, std::wstring& folder);

// The helper `id` (pellory-cli.exe latency or station-setup) of `processes`: what it wrote is added to
// `output` (at most 1 MiB kept: a helper that floods leaves no result rather than taking the window's
// memory); true with its exit code once it has ended.
bool PollHelper(IProcesses& processes, int id, std::vector<std::string>& output, int& exitCode);
// The JSON array a helper writes last, from its first line that starts one; empty when there is none.
std::string HelperJson(const std::vector<std::string>& output);

}  // namespace StationWindow
