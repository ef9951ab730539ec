// What the station window's buttons do: the checks before any run (the helper program, the log folder, the
// image file, the question), the core for the folder and image chosen, Start, Cancel, Repeat failed,
// plugging, the folder and the file, a run's report; and which of them may be pressed now.
#include <shlobj.h>

#include <algorithm>

#include "device/uWinText_win32.h"
#include "firmware/uBl3File.h"
#include "run/uRunControl.h"
#include "station/uText.h"
#include "ui/uConfirm_win32.h"
#include "ui/uMain_win32.h"
#include "ui/uRunReport_win32.h"
#include "ui/uStationShared_win32.h"
#include "ui/uStation_win32.h"

namespace {

constexpr const char* kFolderName = "Pellory station";
constexpr const char* kAskCancel = "The updates are not finished!\r\nDo you really cancel them ?";

std::wstring Trimmed(std::wstring text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

// The image file for every run, checked whole once before any run starts: false with the reason when every
// run would fail on it.
bool CheckImageFile(const std::wstring& path, std::string& reason) {
  return ::CheckImageFile(ToUtf8(path), reason);
}

}  // namespace

namespace StationWindow {

std::wstring DefaultLogFolder() {
  std::wstring documents;
  PWSTR path = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &path)) &&
      path != nullptr) {
    documents = path;
  }
  CoTaskMemFree(path);
  if (documents.empty()) {
    wchar_t profile[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH) > 0) documents = profile;
  }
  if (!documents.empty() && documents.back() != L'\\') documents += L'\\';
  return documents + ToWide(kFolderName);
}

bool BrowseForFolder(HWND owner, std::wstring& folder) {
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.lpszTitle = L"The folder of the logs and the summary";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_EDITBOX;
  info.lpfn = [](HWND hwnd, UINT msg, LPARAM, LPARAM data) -> int {
    if (msg == BFFM_INITIALIZED && data != 0) SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
  };
  info.lParam = reinterpret_cast<LPARAM>(folder.c_str());
  PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info);
  if (list == nullptr) return false;
  wchar_t path[MAX_PATH * 2] = {};
  const bool ok = SHGetPathFromIDListW(list, path) != FALSE;
  CoTaskMemFree(list);
  if (ok) folder = path;
  return ok;
}

}  // namespace StationWindow

using namespace StationWindow;

std::wstring TfrmStation::LogDirText() const {
  return Trimmed(WindowText(edtLogDir));
}

void TfrmStation::UpdateButtons() {
  const bool busy = Busy();
  const bool watching = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
  HWND focus = GetFocus();
  EnableWindow(btnStart, !FClosing && !FBoard.ToStart().empty());
  EnableWindow(btnCancel, !FClosing && busy);
  EnableWindow(btnRepeat, !FClosing && !FBoard.ToRepeat().empty());
  EnableWindow(btnSpeedUp, !FClosing && FSpeedUpId == 0 && !FBoard.ToSpeedUp().empty());
  EnableWindow(chkPlug, !FClosing);
  // The record's folder and the image stay as they are while runs go or may start.
  const bool settable = !FClosing && !busy && !watching;
  EnableWindow(edtLogDir, settable);
  EnableWindow(btnLogDir, settable);
  EnableWindow(btnFile, settable);
  // A disabled control loses the focus: it goes to the list, which is always there.
  if (focus != nullptr && IsChild(Handle(), focus) && !IsWindowEnabled(focus)) SetFocus(ListView1);
}

void TfrmStation::ShowMessage(const std::wstring& text, bool error) {
  FMessageIsError = error;
  SetWindowTextW(lblMessage, text.c_str());
  InvalidateRect(lblMessage, nullptr, TRUE);
}

bool TfrmStation::HelperPresent(const wchar_t* nothingDone) {
  const std::wstring program = ToWide(FProgram);
  const DWORD attributes = GetFileAttributesW(program.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ShowMessage(nothingDone + std::wstring(kProgramName) + L", which is missing (" + program +
                    L"). Put it back beside pellory.exe (the .zip holds both).",
                true);
    return false;
  }
  return true;
}

bool TfrmStation::ReadyToStart() {
  if (!HelperPresent(L"Nothing started: every update runs in ")) return false;
  std::wstring dir = LogDirText();
  if (dir.empty()) {
    ShowMessage(L"Nothing started: choose the log folder first.", true);
    return false;
  }
  // A folder given relative to where the program started is shown and kept as the full path.
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD n = GetFullPathNameW(dir.c_str(), MAX_PATH * 2, full, nullptr);
  if (n > 0 && n < MAX_PATH * 2 && dir != full) {
    dir = full;
    SetWindowTextW(edtLogDir, dir.c_str());
  }
  // With its parents; one that exists already is fine.
  SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
  // Tried by creating a file: a folder may exist and still take none.
  const std::wstring probe = dir + L"\\.pellory-station-probe";
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ShowMessage(L"Nothing started: the log folder \"" + dir + L"\" cannot be written. Choose another one.",
                true);
    return false;
  }
  CloseHandle(file);
  if (!FImageFile.empty()) {
    std::string reason;
    if (!CheckImageFile(ToWide(FImageFile), reason)) {
      ShowMessage(L"Nothing started: " + ToWide(reason), true);
      return false;
    }
  }
  // Once for all the loggers this start or this plugging takes; an image file is never asked about, as
  // with File in the main window.
  if (FImageFile.empty()) {
    if (const char* question = TRunControl::UpdateQuestion()) {
      if (!TfrmConfirm::Ask(ToWide(question))) return false;
    }
  }
  ShowMessage(L"", false);
  return true;
}

TStation& TfrmStation::Station() {
  // The core writes its files and starts its runs through the wide API: folder and file go as they are,
  // in UTF-8.
  const std::string dir = ToUtf8(LogDirText());
  const bool changed = dir != FStationLogDir || FImageFile != FStationFile;
  if (FStations.empty() || (changed && !FStations.back()->Busy())) {
    TStationConfig config;
    config.Program = FProgram;
    config.MaxRepeats = 3;
    config.File = FImageFile;
    config.SimOptions = FOptions.SimOptions;
    config.LogDir = dir;
    config.Summary = dir + "\\" + kSummaryName;
    config.GraceMs = FOptions.GraceMs;
    config.RecordRetryMs = FOptions.RecordRetryMs;
    FStations.push_back(std::make_unique<TStation>(config, FHost, *this));
    FStationLogDir = dir;
    FStationFile = FImageFile;
    FStations.back()->PortsListed(FListed);
  }
  return *FStations.back();
}

void TfrmStation::StartPorts(const std::vector<std::string>& ports) {
  TStation& station = Station();
  for (const std::string& port : ports) station.Start(port);
  RefreshList();
  RefreshCounters();
  UpdateButtons();
}

void TfrmStation::btnStartClick() {
  if (FClosing || FBoard.ToStart().empty() || !ReadyToStart()) return;
  // The list may have changed while the question was open.
  StartPorts(FBoard.ToStart());
}

void TfrmStation::btnCancelClick() {
  if (FClosing || !Busy()) return;
  if (!TfrmConfirm::Ask(ToWide(kAskCancel))) return;
  for (const auto& station : FStations) station->Cancel();
}

void TfrmStation::btnRepeatClick() {
  if (FClosing || FBoard.ToRepeat().empty() || !ReadyToStart()) return;
  StartPorts(FBoard.ToRepeat());
}

void TfrmStation::chkPlugClick() {
  const bool on = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (on && (FClosing || !ReadyToStart())) {
    SendMessageW(chkPlug, BM_SETCHECK, BST_UNCHECKED, 0);
    return;
  }
  if (on) {
    Station().SetWatching(true);
  } else if (!FStations.empty()) {
    FStations.back()->SetWatching(false);
  }
  UpdateButtons();
}

void TfrmStation::btnLogDirClick() {
  std::wstring folder = LogDirText();
  if (!Hooks.ChooseFolder(folder)) return;
  SetWindowTextW(edtLogDir, folder.c_str());
}

void TfrmStation::btnFileClick() {
  std::wstring fileName;
  if (!Hooks.ChooseFile(fileName)) return;
  std::string reason;
  if (!CheckImageFile(fileName, reason)) {
    ShowMessage(L"This image file cannot be used: " + ToWide(reason), true);
    return;
  }
  FImageFile = ToUtf8(fileName);
  SetWindowTextW(edtImage, fileName.c_str());
  ShowMessage(L"", false);
}

void TfrmStation::ShowRunReport(int row) {
  const std::vector<TBoardRow>& rows = FBoard.Rows();
  if (row < 0 || static_cast<size_t>(row) >= rows.size() || rows[static_cast<size_t>(row)].Run == nullptr)
    return;
  const TStationRun& run = *rows[static_cast<size_t>(row)].Run;
  std::string text;
  for (const std::string& line : run.Report) text += TerminalSafe(line) + "\r\n";
  // A long session keeps the lines of its newest runs only; every run's are in its log.
  if (run.Report.empty() && !run.LogPath.empty())
    text += "The report lines are in the log " + run.LogPath + "\r\n";
  // Why a port would not open, and the like: the run's own lines that are no events.
  for (const std::string& line : run.Hints) text += TerminalSafe(line) + "\r\n";
  if (!run.LogProblem.empty()) text += TerminalSafe(run.LogProblem) + "\r\n";
  TfrmRunReport report(L"Report " + ToWide(TerminalSafe(run.Port)), ToWide(text));
  report.ShowModal();
}

void TfrmStation::OnEnterKey() {
  // Enter on a row shows its report, as a double-click does; anywhere else it is Start.
  if (GetFocus() == ListView1) {
    const int row = ListView_GetNextItem(ListView1, -1, LVNI_SELECTED);
    if (row >= 0) {
      ShowRunReport(row);
      return;
    }
  }
  if (IsWindowEnabled(btnStart)) btnStartClick();
}
