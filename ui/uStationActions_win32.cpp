// What the station window's buttons do: the checks before any run (the helper program, the log folder, the
// image file, the question), the core for the folder and image chosen, Start, Cancel, Repeat failed,
// plugging, the folder and the file, a run's report; and which of them may be pressed now.
#include <shlobj.h>

#include <algorithm>

#include "device/uWinText_win32.h"
#include "firmware/uBl3File.h"
#include "run/uRunControl.h"
#include "station/uStationSys.h"
#include "station/uText.h"
#include "ui/uConfirm_win32.h"
#include "ui/uMain_win32.h"
#include "ui/uRunReport_win32.h"
#include "ui/uStationShared_win32.h"
#include "ui/uStation_win32.h"

namespace {

constexpr const char* kFolderName = "Pellory station";
constexpr const char* kAskCancel = "The updates are not finished!\r\nDo you really cancel them ?";
constexpr const char* kEmbeddedImages = "the embedded images";

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

// An existing folder that takes files now; none is made.
bool ExistingFolderTakesFiles(const std::wstring& dir) {
  std::string why;
  return FolderTakesFiles(ToUtf8(dir), why, false);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// `path` or the nearest folder above it that is there (empty: none is, not even the drive).
std::wstring NearestExistingFolder(std::wstring path) {
  while (!path.empty() && !Exists(path)) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    path.resize(slash);
    // "C:" is the drive's current folder; its root is meant.
    if (path.size() == 2 && path[1] == L':') path += L'\\';
  }
  return path;
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
  // A folder not made yet is not there to select: its nearest existing parent is.
  const std::wstring start = NearestExistingFolder(folder);
  info.lParam = reinterpret_cast<LPARAM>(start.c_str());
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
  EnableWindow(btnSpeedUp, !FClosing && FSpeedUpId == 0 && FSetupId == 0 && !FBoard.ToSpeedUp().empty());
  EnableWindow(btnSetup, !FClosing && FSpeedUpId == 0 && FSetupId == 0 && !FBoard.NotSetUp().empty());
  EnableWindow(chkPlug, !FClosing);
  // The record's folder and the image stay as they are while runs go or may start.
  const bool settable = !FClosing && !busy && !watching;
  EnableWindow(edtLogDir, settable);
  EnableWindow(btnLogDir, settable);
  EnableWindow(btnFile, settable);
  // A disabled control loses the focus: it goes to the list, which is always there.
  if (focus != nullptr && IsChild(Handle(), focus) && !IsWindowEnabled(focus)) SetFocus(ListView1);
}

void TfrmStation::ShowMessage(const std::wstring& text, bool error, TMessageCause cause) {
  FMessageIsError = error;
  FMessageCause = text.empty() ? TMessageCause::Other : cause;
  FMessageLogDir = cause == TMessageCause::LogDir ? LogDirText() : std::wstring();
  SetWindowTextW(lblMessage, text.c_str());
  InvalidateRect(lblMessage, nullptr, TRUE);
}

void TfrmStation::ClearMessageIfResolved() {
  const bool resolved = (FMessageCause == TMessageCause::LogDir && LogDirText() != FMessageLogDir) ||
                        (FMessageCause == TMessageCause::Helper && IsFile(ToWide(FProgram)));
  if (resolved) ShowMessage(L"", false);
}

bool TfrmStation::HelperPresent(const wchar_t* nothingDone) {
  const std::wstring program = ToWide(FProgram);
  if (!IsFile(program)) {
    ShowMessage(nothingDone + std::wstring(kProgramName) + L", which is missing (" + program +
                    L"). Put it back beside pellory.exe (the .zip holds both).",
                true, TMessageCause::Helper);
    return false;
  }
  return true;
}

std::wstring TfrmStation::FullLogDir() {
  std::wstring dir = LogDirText();
  if (dir.empty()) return dir;
  // A folder given relative to where the program started is shown and kept as the full path.
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD n = GetFullPathNameW(dir.c_str(), MAX_PATH * 2, full, nullptr);
  if (n > 0 && n < MAX_PATH * 2 && dir != full) {
    dir = full;
    SetWindowTextW(edtLogDir, dir.c_str());
  }
  return dir;
}

void TfrmStation::AcceptLogDir() {
  const std::wstring dir = FullLogDir();
  SendMessageW(edtLogDir, EM_SETSEL, 0, -1);
  if (dir.empty()) {
    ShowMessage(L"Choose the log folder: type it, or use Change...", true, TMessageCause::LogDir);
  } else if (!Exists(dir) && !NearestExistingFolder(dir).empty()) {
    ShowMessage(L"The log folder \"" + dir + L"\" is made at the next start.", false, TMessageCause::LogDir);
  } else if (!ExistingFolderTakesFiles(dir)) {
    ShowMessage(L"The log folder \"" + dir + L"\" cannot be written. Choose another one.", true,
                TMessageCause::LogDir);
  } else {
    ShowMessage(L"The logs and the summary go to \"" + dir + L"\".", false, TMessageCause::LogDir);
  }
}

std::string TfrmStation::ImageName() const {
  return FImageFile.empty() ? std::string(kEmbeddedImages) : "the image file \"" + FImageFile + "\"";
}

bool TfrmStation::ReadyToStart(const std::string& firstLine) {
  if (!HelperPresent(L"Nothing started: every update runs in ")) return false;
  const std::wstring dir = FullLogDir();
  if (dir.empty()) {
    ShowMessage(L"Nothing started: choose the log folder first.", true, TMessageCause::LogDir);
    return false;
  }
  const std::wstring notWritten =
      L"Nothing started: the log folder \"" + dir + L"\" cannot be written. Choose another one.";
  // A folder that is there must take files now; one that is not is made only once the operator has said Yes.
  const bool exists = Exists(dir);
  if (exists && !ExistingFolderTakesFiles(dir)) {
    ShowMessage(notWritten, true, TMessageCause::LogDir);
    return false;
  }
  if (!FImageFile.empty()) {
    std::string reason;
    if (!CheckImageFile(ToWide(FImageFile), reason)) {
      ShowMessage(L"Nothing started: " + ToWide(reason), true);
      return false;
    }
  }
  // Once for all the loggers this start or this plugging takes, after what it is about to do; an image file
  // is never asked about, as with File in the main window.
  if (FImageFile.empty()) {
    if (const char* question = TRunControl::UpdateQuestion()) {
      if (!TfrmConfirm::Ask(ToWide(firstLine + "\r\n\r\n" + question))) return false;
    }
  }
  if (!exists) {
    std::string why;
    if (!FolderTakesFiles(ToUtf8(dir), why)) {  // made with its parents
      ShowMessage(notWritten, true, TMessageCause::LogDir);
      return false;
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
  if (FClosing || FBoard.ToStart().empty() || !ReadyToStart(StartLine(FBoard.ToStart(), ImageName()))) return;
  // The list may have changed while the question was open.
  StartPorts(FBoard.ToStart());
}

void TfrmStation::btnCancelClick() {
  if (FClosing || !Busy()) return;
  // No is the default: two presses of Enter must not stop loggers in the middle of their writing.
  const std::string question = std::string(kAskCancel) + "\r\n\r\n" + StopsLine(CountRuns(Runs()).Running);
  if (!TfrmConfirm::Ask(ToWide(question), TfrmConfirm::TDefault::No)) return;
  for (const auto& station : FStations) station->Cancel();
}

void TfrmStation::btnRepeatClick() {
  if (FClosing || FBoard.ToRepeat().empty() || !ReadyToStart(StartLine(FBoard.ToRepeat(), ImageName())))
    return;
  StartPorts(FBoard.ToRepeat());
}

void TfrmStation::chkPlugClick() {
  const bool on = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (on && (FClosing || !ReadyToStart(PlugLine(ImageName())))) {
    SendMessageW(chkPlug, BM_SETCHECK, BST_UNCHECKED, 0);
    return;
  }
  if (on) {
    Station().SetWatching(true);
  } else if (!FStations.empty()) {
    FStations.back()->SetWatching(false);
  }
  UpdateButtons();
  ShowEmptyList();
}

void TfrmStation::btnLogDirClick() {
  std::wstring folder = FullLogDir();
  if (!Hooks.ChooseFolder(folder)) return;
  SetWindowTextW(edtLogDir, folder.c_str());
  AcceptLogDir();
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

namespace {

std::wstring ReportText(const TStationRun& run) {
  std::string text;
  for (const std::string& line : RunReportLines(run)) text += line + "\r\n";
  return ToWide(text);
}

std::wstring ReportCaption(const TStationRun& run) {
  return L"Report " + ToWide(TerminalSafe(run.Port));
}

}  // namespace

void TfrmStation::ShowRunReport(int row) {
  const std::vector<TBoardRow>& rows = FBoard.Rows();
  if (row < 0 || static_cast<size_t>(row) >= rows.size() || rows[static_cast<size_t>(row)].Run == nullptr)
    return;
  const TBoardRow& shown = rows[static_cast<size_t>(row)];
  // One window per row: asked again, it comes to the front with the row's newest run.
  auto it = std::find_if(FReports.begin(), FReports.end(),
                         [&](const TReportWindow& report) { return report.Key == shown.Key; });
  if (it == FReports.end()) {
    FReports.push_back({shown.Key, shown.Run,
                        std::make_unique<TfrmRunReport>(ReportCaption(*shown.Run), ReportText(*shown.Run))});
    it = FReports.end() - 1;
  } else {
    it->Run = shown.Run;
    SetWindowTextW(it->Form->Handle(), ReportCaption(*shown.Run).c_str());
    it->Form->SetText(ReportText(*shown.Run));
  }
  it->Form->ShowModeless();
}

void TfrmStation::RefreshReports() {
  for (TReportWindow& report : FReports) {
    if (!IsWindowVisible(report.Form->Handle())) continue;
    // A new run on the row (Repeat failed, Start again): the window follows it.
    for (const TBoardRow& row : FBoard.Rows()) {
      if (row.Key == report.Key && row.Run != nullptr && row.Run != report.Run) {
        report.Run = row.Run;
        SetWindowTextW(report.Form->Handle(), ReportCaption(*row.Run).c_str());
      }
    }
    report.Form->SetText(ReportText(*report.Run));
  }
}

TfrmRunReport* TfrmStation::ReportWindow(int row) const {
  const std::vector<TBoardRow>& rows = FBoard.Rows();
  if (row < 0 || static_cast<size_t>(row) >= rows.size()) return nullptr;
  for (const TReportWindow& report : FReports) {
    if (report.Key == rows[static_cast<size_t>(row)].Key) return report.Form.get();
  }
  return nullptr;
}

void TfrmStation::OnEnterKey() {
  // Enter in the folder box takes the folder; on a row it shows its report, as a double-click does;
  // anywhere else it is Start.
  if (GetFocus() == edtLogDir) {
    AcceptLogDir();
    return;
  }
  if (GetFocus() == ListView1) {
    const int row = ListView_GetNextItem(ListView1, -1, LVNI_SELECTED);
    if (row >= 0) {
      ShowRunReport(row);
      return;
    }
  }
  if (IsWindowEnabled(btnStart)) btnStartClick();
}
