// The station window ("st:+") under Wine, driven by messages like the main window's tests: its runs are real
// pellory-cli.exe children against simulated loggers, unpaced unless a test needs runs that last.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "device/uEventTexts.h"
#include "device/uSettings.h"
#include "device/uWinText_win32.h"
#include "firmware/uFWVersions.h"
#include "run/uRunControl.h"
#include "tests/support/uTestPortDevice_win32.h"
#include "ui/uStation_win32.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr wchar_t kPortMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr wchar_t kQuorKey[] = L"Software\\Kalvenor\\Quor";
constexpr wchar_t kUsbFlags[] = L"SYSTEM\\CurrentControlSet\\Control\\UsbFlags";

std::wstring Text(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring ListCell(HWND list, int row, int column) {
  wchar_t buffer[512] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = 512;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

std::vector<std::wstring> Column(HWND list, int column) {
  std::vector<std::wstring> cells;
  const auto rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < rows; ++r) cells.push_back(ListCell(list, r, column));
  return cells;
}

void SetPort(const std::wstring& name, const std::wstring& port, bool present) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortMapKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (present) {
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                   static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteValueW(key, name.c_str());
  }
  RegCloseKey(key);
}

void SetInternalMode(bool on) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, kQuorKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  const DWORD value = 8147;
  if (on) {
    RegSetValueExW(key, L"intern", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  } else {
    RegDeleteValueW(key, L"intern");
  }
  RegCloseKey(key);
}

// The header and lines of embedded image 3 as an image file.
std::string ImageFile() {
  std::string content =
      "bootloader=2\r\nbootloader version=1\r\nclass=26122\r\nversionH=4\r\nversionL=106\r\nplatform=25\r\n"
      "print=52\r\ndate=01.02.2025 10:20:30\r\n";
  TBl3FileHeader header;
  int32_t lastIndex = 0;
  std::string line;
  for (int32_t i = 0; i <= GetImageLastLine(3); ++i) {
    AccessImage(3, 2, i, header, lastIndex, line);
    content += line + "\r\n";
  }
  return content;
}

// pellory-cli.exe of this build: beside the test's folder, as it is beside pellory.exe in the .zip.
std::string CliProgram() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::filesystem::path self(path);
  return ToUtf8((self.parent_path().parent_path().parent_path() / L"cli" / L"pellory-cli.exe").wstring());
}

// This process's children of that name: other tests started beside this one may run the same program.
int ChildrenNamed(const wchar_t* name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, name) == 0 && entry.th32ParentProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

std::vector<std::string> Lines(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

int Count(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return l.find(part) != l.npos; }));
}

struct TShown {
  std::wstring Caption;
  std::wstring Text;
  std::wstring Default;  // the default button
  std::wstring Focused;  // the control that has the focus: the button that Enter presses
};

class StationWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceLevel = 0;
    ClearsMeasurements = false;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    // A log folder whose name is not ASCII, as under a user profile named Jürgen.
    FRoot = std::filesystem::path(temp) /
            (L"pellory-station-Pr\u00fcfung-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++FCount));
    FDir = FRoot / L"L\u00f6gs";
    std::filesystem::create_directories(FDir);
    ModalShownHook = [this](HWND hwnd) { OnModal(hwnd); };
  }

  void TearDown() override {
    FForm.reset();
    Pump();
    ModalShownHook = nullptr;
    SetInternalMode(false);
    SetPort(L"\\Device\\VCP5", L"", false);
    SetPort(L"\\Device\\Serial9", L"", false);
    SetPort(L"\\Device\\VCP6", L"", false);
    SetPort(L"\\Device\\VCP217", L"", false);
    FAdapter.reset();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUsbFlags, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, L"IgnoreHWSerNum04036001");
      RegCloseKey(key);
    }
    std::error_code ec;
    std::filesystem::remove_all(FRoot, ec);
  }

  TStationWindowOptions Options(std::vector<std::string> ports) {
    TStationWindowOptions options;
    options.Params = {"C:\\pellory\\pellory.exe", "st:+"};
    options.ExtraPorts = std::move(ports);
    options.Program = CliProgram();
    options.LogDir = FDir.wstring();
    options.EndsMessageLoop = false;
    return options;
  }

  void Open(TStationWindowOptions options) {
    FForm = std::make_unique<TfrmStation>(std::move(options));
    FForm->Hooks.Beep = [this](UINT type) { FBeeps.push_back(type); };
    ShowWindow(FForm->Handle(), SW_SHOW);
    UpdateWindow(FForm->Handle());
    // The ports are read on the window's scanner thread: shown once that has told the window.
    EXPECT_TRUE(PumpUntil([&] { return FForm->PortScans() > 0; }));
    Pump();
  }

  void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchFormMessage(msg);
  }

  // Handles messages (the window's timer among them) until `done` holds; gives up after two minutes.
  bool PumpUntil(const std::function<bool()>& done) {
    const ULONGLONG deadline = GetTickCount64() + 120000;
    while (!done()) {
      if (GetTickCount64() > deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
      Pump();
    }
    return true;
  }

  void Click(HWND button) {
    SendMessageW(button, BM_CLICK, 0, 0);
    Pump();
  }

  void DeviceChange(WPARAM event) {
    DEV_BROADCAST_HDR header{};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_PORT;
    const int before = FForm->PortScans();
    SendMessageW(FForm->Handle(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&header));
    // Read shortly after the last broadcast, on the scanner's thread.
    EXPECT_TRUE(PumpUntil([&] { return FForm->PortScans() > before && !FForm->PortScanPending(); }));
    Pump();
  }

  int RowOf(const std::wstring& port) {
    const std::vector<std::wstring> ports = Column(FForm->ListView1, colPort);
    const auto it = std::find(ports.begin(), ports.end(), port);
    return it == ports.end() ? -1 : static_cast<int>(it - ports.begin());
  }

  std::wstring Result(const std::wstring& port) {
    const int row = RowOf(port);
    return row < 0 ? L"(no row)" : ListCell(FForm->ListView1, row, colResult);
  }

  // Answers a modal window: the button named first in FAnswers (No if none), or with "Enter" the key, as an
  // operator who presses it at once.
  void OnModal(HWND hwnd) {
    TShown shown{Text(hwnd), {}, {}, Text(GetFocus())};
    HWND answer = nullptr;
    const std::wstring wanted = FAnswers.empty() ? L"No" : FAnswers.front();
    for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      wchar_t kind[32] = {};
      GetClassNameW(child, kind, 32);
      if (lstrcmpiW(kind, L"Button") != 0) {
        if (shown.Text.empty()) shown.Text = Text(child);
        continue;
      }
      const std::wstring caption = Text(child);
      if ((GetWindowLongPtrW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) shown.Default = caption;
      if (caption == wanted || caption == L"Close") answer = child;
    }
    if (shown.Caption == L"Confirm") {
      if (FAnswers.empty()) ADD_FAILURE() << "unexpected question: " << ToUtf8(shown.Text);
      if (!FAnswers.empty()) FAnswers.pop_front();
    }
    FShown.push_back(shown);
    if (wanted == L"Enter") {
      MSG enter{GetFocus(), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
      DispatchFormMessage(enter);
      return;
    }
    ASSERT_NE(answer, nullptr) << ToUtf8(shown.Caption);
    SendMessageW(answer, BM_CLICK, 0, 0);
  }

  // The report window of `port`'s row: shown beside the station window, whose buttons stay usable.
  TfrmRunReport* Report(const std::wstring& port) { return FForm->ReportWindow(RowOf(port)); }

  // True when the last line of the report's text is in view.
  static bool ShowsItsEnd(TfrmRunReport* report) {
    const int length = GetWindowTextLengthW(report->Memo1);
    const auto at = static_cast<LONG>(SendMessageW(report->Memo1, EM_POSFROMCHAR, length - 3, 0));
    RECT client{};
    GetClientRect(report->Memo1, &client);
    const int y = static_cast<short>(HIWORD(at));
    return at != -1 && y >= 0 && y < client.bottom;
  }

  std::vector<std::string> Summary() { return Lines(FDir / "summary.csv"); }

  static inline int FCount = 0;
  std::filesystem::path FRoot, FDir;
  std::unique_ptr<TfrmStation> FForm;
  std::deque<std::wstring> FAnswers;
  std::vector<TShown> FShown;
  std::vector<UINT> FBeeps;
  // COM217's adapter, whose driver keeps its latency timer as FTDI's does.
  std::unique_ptr<TTestPortDevice> FAdapter;
};

// Run once at 96 dpi and once more at 144 (--dpi=144).
TEST_F(StationWindowTest, LayoutScalesTheKeyboardWorksAndAMissingHelperIsNamed) {
  TStationWindowOptions options = Options(SimulatedStationPorts());
  options.Program = "C:\\nowhere\\pellory-cli.exe";
  options.LogDir.clear();
  options.Params.push_back("log:" + ToAnsi(FDir.wstring()) + "\\records");
  Open(options);
  const int dpi = static_cast<int>(GetDpiForSystem());
  ASSERT_EQ(FForm->Dpi(), dpi);
  HWND list = FForm->ListView1;
  EXPECT_EQ(Text(FForm->Handle()), L"Pellory station");
  EXPECT_EQ(Text(FForm->edtLogDir), FDir.wstring() + L"\\records");
  EXPECT_THAT(Column(list, colPort),
              ElementsAre(L"sim1", L"sim2", L"sim3", L"sim4", L"sim5", L"sim6", L"sim7", L"sim8"));
  EXPECT_THAT(Column(list, colResult), ::testing::Each(std::wstring(L"waiting")));
  EXPECT_EQ(ListView_GetExtendedListViewStyle(list) & LVS_EX_DOUBLEBUFFER, LVS_EX_DOUBLEBUFFER);
  EXPECT_EQ(ListView_GetColumnWidth(list, colPort), MulDiv(60, dpi, 96));

  // Everything inside the window and apart; the counters large, the rows tall enough to read.
  RECT client{};
  GetClientRect(FForm->Handle(), &client);
  std::vector<RECT> placed;
  for (HWND control :
       {FForm->lblCompleted, FForm->lblFailed, FForm->lblRunning, FForm->lblTotal, FForm->btnSetup,
        FForm->btnStart, FForm->btnCancel, FForm->btnRepeat, FForm->btnSpeedUp, FForm->chkPlug, list,
        FForm->edtLogDir, FForm->btnLogDir, FForm->lblMessage, FForm->lblEnds}) {
    RECT rc{};
    GetWindowRect(control, &rc);
    MapWindowPoints(HWND_DESKTOP, FForm->Handle(), reinterpret_cast<POINT*>(&rc), 2);
    EXPECT_GE(rc.left, 0);
    EXPECT_GE(rc.top, 0);
    EXPECT_LE(rc.right, client.right);
    EXPECT_LE(rc.bottom, client.bottom);
    for (const RECT& other : placed) {
      RECT overlap{};
      EXPECT_FALSE(IntersectRect(&overlap, &rc, &other)) << "control " << placed.size();
    }
    placed.push_back(rc);
  }
  LOGFONTW big{}, normal{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(FForm->lblCompleted, WM_GETFONT, 0, 0)), sizeof big, &big);
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(FForm->btnStart, WM_GETFONT, 0, 0)), sizeof normal,
             &normal);
  EXPECT_EQ(normal.lfHeight, -MulDiv(11, dpi, 96));
  EXPECT_LE(big.lfHeight, 2 * normal.lfHeight);
  RECT row0{}, row1{};
  ListView_GetItemRect(list, 0, &row0, LVIR_BOUNDS);
  ListView_GetItemRect(list, 1, &row1, LVIR_BOUNDS);
  EXPECT_GE(row1.top - row0.top, MulDiv(22, dpi, 96));

  // Tab walks the enabled controls in order; Enter is Start.
  SetActiveWindow(FForm->Handle());
  SetFocus(FForm->btnStart);
  std::vector<HWND> visited;
  for (int i = 0; i < 6; ++i) {
    MSG key{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {}};
    DispatchFormMessage(key);
    visited.push_back(GetFocus());
  }
  EXPECT_THAT(visited, ElementsAre(FForm->chkPlug, list, FForm->edtLogDir, FForm->btnLogDir, FForm->btnStart,
                                   FForm->chkPlug));
  // Enter in the folder box takes the folder, and makes nothing yet; anywhere else it is Start.
  SetFocus(FForm->edtLogDir);
  MSG enter{FForm->edtLogDir, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  DispatchFormMessage(enter);
  Pump();
  EXPECT_EQ(Text(FForm->lblMessage),
            L"The log folder \"" + FDir.wstring() + L"\\records\" is made at the next start.");
  EXPECT_FALSE(std::filesystem::exists(FDir / "records"));
  SetFocus(FForm->chkPlug);
  enter.hwnd = FForm->chkPlug;
  DispatchFormMessage(enter);
  Pump();
  // No helper, no question and no run: the reason in the window.
  EXPECT_THAT(ToUtf8(Text(FForm->lblMessage)), HasSubstr("pellory-cli.exe, which is missing"));
  EXPECT_TRUE(FShown.empty());
  EXPECT_EQ(Text(FForm->lblTotal), L"0");
  EXPECT_FALSE(IsWindowVisible(FForm->lblEmpty));
  FForm.reset();

  // Without "log:" the logs go to a folder of the user's documents. No logger port: the list says so, what it
  // shows and what to do.
  options = Options({});
  options.LogDir.clear();
  Open(options);
  EXPECT_THAT(ToUtf8(Text(FForm->edtLogDir)), ::testing::EndsWith("\\Pellory station"));
  EXPECT_TRUE(IsWindowVisible(FForm->lblEmpty));
  EXPECT_THAT(ToUtf8(Text(FForm->lblEmpty)), StartsWith("No logger port is listed.\r\n\r\nThe list shows "));
  EXPECT_THAT(ToUtf8(Text(FForm->lblEmpty)),
              ::testing::EndsWith("and each logger is updated as soon as it is plugged in."));
  RECT listRect{}, text{}, inside{};
  GetWindowRect(FForm->ListView1, &listRect);
  GetWindowRect(FForm->lblEmpty, &text);
  EXPECT_TRUE(IntersectRect(&inside, &listRect, &text) && EqualRect(&inside, &text));
}

TEST_F(StationWindowTest, EightLoggersRunInParallelTheFailedOneIsShownAndRepeatedAlone) {
  // A summary of an earlier session: its rows stay, its header is not repeated.
  TStationRow earlier;
  earlier.Port = "COM4";
  earlier.Result = "completed";
  earlier.Text = "earlier session";
  std::ofstream(FDir / "summary.csv", std::ios::binary) << SummaryCsv({earlier});

  TStationWindowOptions options = Options(SimulatedStationPorts());
  options.SimOptions = {{"--sim-fault", "sim3:identity=5"}};
  Open(options);
  HWND list = FForm->ListView1;

  FAnswers = {L"Yes"};
  Click(FForm->btnStart);
  ASSERT_EQ(FShown.size(), 1u);
  EXPECT_EQ(
      ToUtf8(FShown[0].Text),
      "This updates 8 loggers with the embedded images: sim1, sim2, sim3, sim4, sim5, sim6, sim7 and sim8."
      "\r\n\r\n" +
          std::string(kAskSaved));
  EXPECT_EQ(FShown[0].Default, L"Yes");
  EXPECT_EQ(FShown[0].Focused, L"Yes");
  // All eight at once.
  EXPECT_EQ(Text(FForm->lblRunning), L"8") << ToUtf8(Text(FForm->lblMessage));
  EXPECT_THAT(Column(list, colResult), ::testing::Each(std::wstring(L"running")));
  ASSERT_TRUE(PumpUntil([&] { return !FForm->Busy(); }));
  Pump();

  const std::wstring refused = L"failed \u2014 not updated: " + ToWide(OutcomeText(48, "sim3"));
  for (const std::wstring port : {L"sim1", L"sim2", L"sim4", L"sim5", L"sim6", L"sim7", L"sim8"}) {
    EXPECT_EQ(Result(port), L"completed") << ToUtf8(port);
    EXPECT_EQ(ListCell(list, RowOf(port), colProgress), L"100%");
    EXPECT_EQ(ListCell(list, RowOf(port), colImage), L"SD CARD V4.106");
  }
  EXPECT_EQ(Result(L"sim3"), refused);
  EXPECT_EQ(Text(FForm->lblCompleted), L"7");
  EXPECT_EQ(Text(FForm->lblFailed), L"1");
  EXPECT_EQ(Text(FForm->lblRunning), L"0");
  EXPECT_EQ(Text(FForm->lblTotal), L"8");
  EXPECT_EQ(std::count(FBeeps.begin(), FBeeps.end(), MB_OK), 7);
  EXPECT_EQ(std::count(FBeeps.begin(), FBeeps.end(), MB_ICONHAND), 1);

  // On disk: a log per run, the summary with the earlier row first.
  int logs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(FDir))
    logs += entry.path().extension() == ".log";
  EXPECT_EQ(logs, 8);
  std::vector<std::string> summary = Summary();
  ASSERT_EQ(summary.size(), 10u);
  EXPECT_THAT(summary[0], StartsWith("port,"));
  EXPECT_THAT(summary[1], HasSubstr("earlier session"));
  EXPECT_EQ(Count(summary, ",completed,"), 8);  // the earlier one and seven of this session
  EXPECT_EQ(Count(summary, ",failed,48,"), 1);

  // A double-click on the failed row shows its report lines, ending in what the run means for the logger.
  RECT row{};
  ListView_GetItemRect(list, RowOf(L"sim3"), &row, LVIR_BOUNDS);
  SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(row.left + 5, (row.top + row.bottom) / 2));
  Pump();
  ASSERT_EQ(FShown.size(), 1u);
  ASSERT_NE(Report(L"sim3"), nullptr);
  EXPECT_EQ(Text(Report(L"sim3")->Handle()), L"Report sim3");
  const std::string report = ToUtf8(Text(Report(L"sim3")->Memo1));
  EXPECT_THAT(report, HasSubstr(" -> Start at serial port \"sim3\""));
  EXPECT_THAT(report, HasSubstr(" -> " + OutcomeText(48, "sim3") + "\r\n\r\n" + ToUtf8(refused) + "\r\n"));

  // Only the failed one again, after the question.
  FAnswers = {L"Yes"};
  Click(FForm->btnRepeat);
  ASSERT_EQ(FShown.size(), 2u);
  EXPECT_THAT(ToUtf8(FShown[1].Text),
              StartsWith("This updates 1 logger with the embedded images: sim3.\r\n\r\n"));
  EXPECT_EQ(Text(FForm->lblRunning), L"1");
  EXPECT_EQ(Result(L"sim3"), L"running");
  EXPECT_EQ(Result(L"sim1"), L"completed");
  ASSERT_TRUE(PumpUntil([&] { return !FForm->Busy(); }));
  Pump();
  EXPECT_EQ(Result(L"sim3"), refused);
  // Eight loggers, one of them twice.
  EXPECT_EQ(Text(FForm->lblTotal), L"8");
  EXPECT_EQ(Text(FForm->lblRuns), L"in 9 runs");
  EXPECT_EQ(Text(FForm->lblFailed), L"1");
  summary = Summary();
  EXPECT_EQ(summary.size(), 11u);
  EXPECT_EQ(Count(summary, "sim3,"), 2);
  EXPECT_EQ(Count(summary, "port,"), 1);
}

TEST_F(StationWindowTest, PluggingStartsARunUnpluggingMarksItAndClosingCancelsTheRest) {
  TStationWindowOptions options = Options({"sim1", "sim2"});
  // Runs that last, so that the close finds them going; sim5's logger is gone after a few frames.
  options.SimOptions = {{"--sim-pace", "9600"}, {"--sim-fault", "sim5:vanish=20"}};
  Open(options);
  HWND list = FForm->ListView1;

  FAnswers = {L"Yes"};
  Click(FForm->chkPlug);
  ASSERT_EQ(FShown.size(), 1u);
  EXPECT_EQ(SendMessageW(FForm->chkPlug, BM_GETCHECK, 0, 0), BST_CHECKED);

  // A logger adapter appears, and a port of another kind that the list does not take.
  SetPort(L"\\Device\\VCP5", L"sim5", true);
  SetPort(L"\\Device\\Serial9", L"sim6", true);
  DeviceChange(DBT_DEVICEARRIVAL);
  EXPECT_THAT(Column(list, colPort), ElementsAre(L"sim1", L"sim2", L"sim5"));
  EXPECT_EQ(Result(L"sim5"), L"running");
  EXPECT_EQ(Text(FForm->lblTotal), L"1");
  // Pulled out while its run goes.
  SetPort(L"\\Device\\VCP5", L"", false);
  DeviceChange(DBT_DEVICEREMOVECOMPLETE);
  ASSERT_TRUE(PumpUntil([&] { return !FForm->Busy(); }));
  Pump();
  EXPECT_THAT(ToUtf8(Result(L"sim5")), StartsWith("unplugged"));
  EXPECT_THAT(FBeeps, ElementsAre(MB_ICONHAND));

  // Escape does not close a window whose runs go.
  FAnswers = {L"Yes"};
  Click(FForm->btnStart);
  EXPECT_EQ(Text(FForm->lblRunning), L"2");
  EXPECT_EQ(ChildrenNamed(L"pellory-cli.exe"), 2);
  MSG escape{list, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
  DispatchFormMessage(escape);
  Pump();
  ASSERT_TRUE(IsWindow(FForm->Handle()));
  EXPECT_FALSE(FForm->Closing());

  // While loggers are being written the session waits, and Windows is told why.
  EXPECT_EQ(SendMessageW(FForm->Handle(), WM_QUERYENDSESSION, 0, 0), FALSE);
  EXPECT_EQ(FForm->ShutdownBlockReason(), L"Pellory station: 2 loggers are being updated");
  SendMessageW(FForm->Handle(), WM_ENDSESSION, FALSE, 0);
  EXPECT_EQ(Text(FForm->lblRunning), L"2") << "a session that goes on changes nothing";

  // Cancel asks first, saying what it stops, with No as the default: Enter at once leaves every run going.
  FAnswers = {L"Enter"};
  Click(FForm->btnCancel);
  ASSERT_EQ(FShown.size(), 3u);
  EXPECT_EQ(ToUtf8(FShown[2].Text),
            "The updates are not finished!\r\nDo you really cancel them ?\r\n\r\n" + StopsLine(2));
  EXPECT_EQ(FShown[2].Default, L"No");
  EXPECT_EQ(FShown[2].Focused, L"No");
  EXPECT_EQ(Text(FForm->lblRunning), L"2");

  // Closing asks, cancels every run and waits for them: no child is left, every finished row is on disk.
  HWND window = FForm->Handle();
  FAnswers = {L"Yes"};
  PostMessageW(window, WM_CLOSE, 0, 0);
  Pump();
  ASSERT_EQ(FShown.size(), 4u);
  EXPECT_EQ(ToUtf8(FShown[3].Text), std::string(kAskClose) + "\r\n\r\n" + StopsLine(2));
  EXPECT_EQ(FShown[3].Default, L"No");
  EXPECT_TRUE(FForm->Closing());
  // The session ends meanwhile: every run has ended when the handler returns, its row and its log's last
  // line written.
  SendMessageW(window, WM_ENDSESSION, TRUE, 0);
  EXPECT_FALSE(FForm->Busy());
  EXPECT_EQ(FForm->ShutdownBlockReason(), L"");
  const std::vector<std::string> summary = Summary();
  ASSERT_EQ(summary.size(), 4u);
  EXPECT_EQ(Count(summary, "sim5,"), 1);
  EXPECT_EQ(Count(summary, ",cancelled,20,"), 2);
  int logs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(FDir)) {
    if (entry.path().extension() != ".log" ||
        entry.path().filename().wstring().find(L"sim5") != std::wstring::npos)
      continue;
    ++logs;
    EXPECT_THAT(Lines(entry.path()).back(), ::testing::EndsWith(" -> Process cancelled!"));
  }
  EXPECT_EQ(logs, 2);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(window); }));
  EXPECT_EQ(ChildrenNamed(L"pellory-cli.exe"), 0);
}

// A log folder that cannot be written, then a good one not made yet; both loggers cancelled at once, then
// repeated while their reports are open beside the window.
TEST_F(StationWindowTest, MessagesGoWithTheirCauseAndRepeatedLoggersCountAsCompleted) {
  const std::filesystem::path blocked = FDir / "a file";
  const std::filesystem::path logs = FDir / "logs of today";
  std::ofstream(blocked) << "not a folder";
  TStationWindowOptions options = Options({"sim1", "sim2"});
  options.LogDir = blocked.wstring();
  Open(options);

  // Change... starts at the folder shown.
  std::wstring offered;
  FForm->Hooks.ChooseFolder = [&](std::wstring& folder) {
    offered = folder;
    return false;
  };
  Click(FForm->btnLogDir);
  EXPECT_EQ(offered, blocked.wstring());

  Click(FForm->btnStart);
  EXPECT_TRUE(FShown.empty());
  EXPECT_EQ(Text(FForm->lblMessage), L"Nothing started: the log folder \"" + blocked.wstring() +
                                         L"\" cannot be written. Choose another one.");
  // Another folder: the message about the first one goes. The new one is made only after Yes.
  SetWindowTextW(FForm->edtLogDir, logs.wstring().c_str());
  Pump();
  EXPECT_EQ(Text(FForm->lblMessage), L"");
  FAnswers = {L"No"};
  Click(FForm->btnStart);
  ASSERT_EQ(FShown.size(), 1u);
  EXPECT_EQ(
      ToUtf8(FShown[0].Text),
      "This updates 2 loggers with the embedded images: sim1 and sim2.\r\n\r\n" + std::string(kAskSaved));
  EXPECT_FALSE(std::filesystem::exists(logs));
  EXPECT_EQ(Text(FForm->lblTotal), L"0");

  // Started and cancelled at once: nothing was written, and the rows say so.
  FAnswers = {L"Yes", L"Yes"};
  Click(FForm->btnStart);
  EXPECT_TRUE(std::filesystem::is_directory(logs));
  Click(FForm->btnCancel);
  ASSERT_EQ(FShown.size(), 3u);
  ASSERT_TRUE(PumpUntil([&] { return !FForm->Busy(); }));
  Pump();
  const std::wstring cancelled = L"cancelled \u2014 not updated";
  EXPECT_THAT(Column(FForm->ListView1, colResult), ElementsAre(cancelled, cancelled));
  EXPECT_EQ(Text(FForm->lblFailed), L"2");

  // Repeated: the report of sim1 opens beside the window, which stays usable, and follows the run.
  FAnswers = {L"Yes"};
  Click(FForm->btnRepeat);
  ASSERT_EQ(FShown.size(), 4u);
  EXPECT_THAT(ToUtf8(FShown[3].Text),
              StartsWith("This updates 2 loggers with the embedded images: sim1 and sim2."));
  ListView_SetItemState(FForm->ListView1, RowOf(L"sim1"), LVIS_SELECTED | LVIS_FOCUSED,
                        LVIS_SELECTED | LVIS_FOCUSED);
  SetFocus(FForm->ListView1);
  MSG enter{FForm->ListView1, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  DispatchFormMessage(enter);
  Pump();
  TfrmRunReport* report = Report(L"sim1");
  ASSERT_NE(report, nullptr);
  EXPECT_TRUE(IsWindowVisible(report->Handle()));
  EXPECT_FALSE(report->IsModal());
  EXPECT_TRUE(IsWindowEnabled(FForm->Handle()));
  EXPECT_TRUE(IsWindowEnabled(FForm->btnCancel));
  ASSERT_TRUE(PumpUntil([&] { return !FForm->Busy(); }));
  FForm->Tick();
  EXPECT_THAT(ToUtf8(Text(report->Memo1)),
              ::testing::EndsWith(" -> Update SD CARD V4.106 succesfully completed.\r\n"));
  EXPECT_TRUE(ShowsItsEnd(report));

  // Every logger is up to date: none counts as failed; the runs are told apart.
  EXPECT_EQ(Text(FForm->lblCompleted), L"2");
  EXPECT_EQ(Text(FForm->lblFailed), L"0");
  EXPECT_EQ(Text(FForm->lblTotal), L"2");
  EXPECT_EQ(Text(FForm->lblRuns), L"in 4 runs");

  // Escape puts the report away; asked again, the same window comes back.
  MSG escape{report->Memo1, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
  DispatchFormMessage(escape);
  EXPECT_FALSE(IsWindowVisible(report->Handle()));
  SetFocus(FForm->ListView1);
  DispatchFormMessage(enter);
  EXPECT_EQ(Report(L"sim1"), report);
  EXPECT_TRUE(IsWindowVisible(report->Handle()));
}

// The report window alone: opened at its end, following new lines there, keeping a reader's place above.
TEST_F(StationWindowTest, TheReportWindowFollowsItsRunUnlessTheReaderScrolledUp) {
  std::wstring text;
  for (int i = 1; i <= 200; ++i) text += L"10-00-00 -> Progress " + std::to_wstring(i) + L"%\r\n";
  TfrmRunReport report(L"Report sim1", text);
  report.ShowModeless();
  Pump();
  EXPECT_TRUE(IsWindowVisible(report.Handle()));
  EXPECT_TRUE(ShowsItsEnd(&report));

  text += L"10-00-01 -> Progress 201%\r\n";
  report.SetText(text);
  EXPECT_TRUE(ShowsItsEnd(&report));
  EXPECT_EQ(Text(report.Memo1), text);
  // Scrolled to the top to read: new lines leave the view where it is.
  SendMessageW(report.Memo1, WM_VSCROLL, SB_TOP, 0);
  text += L"10-00-02 -> Update SD CARD V4.106 succesfully completed.\r\n";
  report.SetText(text);
  EXPECT_EQ(SendMessageW(report.Memo1, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  EXPECT_EQ(Text(report.Memo1), text);
  // Another run's lines: shown anew, at their end.
  report.SetText(L"10-05-00 -> Start at serial port \"sim1\"\r\n" + text);
  EXPECT_TRUE(ShowsItsEnd(&report));
  // Escape puts it away.
  MSG escape{report.Memo1, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
  DispatchFormMessage(escape);
  EXPECT_FALSE(IsWindowVisible(report.Handle()));
}

// "Speed up adapters" runs pellory-cli.exe latency for the idle slow ports. Under Wine this process may write
// the machine's registry, so the command sets the timer without the elevated step (which the command
// line's own test runs); no device stands behind the key, so it is one to plug in again.
TEST_F(StationWindowTest, SpeedUpSetsASlowAdaptersTimerAndItsRowSaysWhatBecameOfIt) {
  FAdapter = std::make_unique<TTestPortDevice>(L"COM217", 16);
  ASSERT_TRUE(FAdapter->Made());
  SetPort(L"\\Device\\VCP217", L"COM217", true);
  Open(Options({}));
  EXPECT_EQ(Result(L"COM217"), L"waiting \u00b7 slow adapter (16 ms)");
  EXPECT_TRUE(IsWindowEnabled(FForm->btnSpeedUp));
  // Plugging on: the adapter's restart must not look like a logger plugged in.
  FAnswers = {L"Yes"};
  Click(FForm->chkPlug);

  SendMessageW(FForm->btnSpeedUp, BM_CLICK, 0, 0);
  EXPECT_THAT(FForm->SpeedingUp(), ElementsAre("COM217"));
  EXPECT_THAT(ToUtf8(Text(FForm->lblMessage)), StartsWith("Setting the latency timers of COM217 to 1 ms"));
  // No run on a port whose adapter is being set, and no second speed-up.
  EXPECT_FALSE(IsWindowEnabled(FForm->btnStart));
  EXPECT_FALSE(IsWindowEnabled(FForm->btnSpeedUp));
  ASSERT_TRUE(PumpUntil([&] { return FShown.size() == 2; }));
  EXPECT_EQ(FShown[1].Caption, L"Speed up adapters");
  EXPECT_THAT(
      ToUtf8(FShown[1].Text),
      HasSubstr("COM217: set to 1 ms (was 16 ms); the adapter takes it when it is plugged in again.\r\n"
                "    The adapter could not be restarted"));
  EXPECT_EQ(FAdapter->LatencyTimer(), 1u);
  EXPECT_EQ(ToUtf8(Text(FForm->lblMessage)), "Adapters: COM217 at 1 ms once plugged in again.");
  EXPECT_EQ(Result(L"COM217"), L"waiting \u00b7 adapter set to 1 ms: plug it in again");
  EXPECT_FALSE(IsWindowEnabled(FForm->btnSpeedUp));
  EXPECT_TRUE(IsWindowEnabled(FForm->btnStart));

  // Gone and back, as a restarted adapter is: no run, and its row has no mark left.
  SetPort(L"\\Device\\VCP217", L"", false);
  DeviceChange(DBT_DEVICEREMOVECOMPLETE);
  SetPort(L"\\Device\\VCP217", L"COM217", true);
  DeviceChange(DBT_DEVICEARRIVAL);
  EXPECT_EQ(Result(L"COM217"), L"waiting");
  EXPECT_EQ(Text(FForm->lblTotal), L"0");

  // "Set up this PC..." for the FTDI-type adapter listed: the helper sets the flag (Wine asks for no
  // rights) and says what follows from it.
  SendMessageW(FForm->chkPlug, BM_CLICK, 0, 0);
  ASSERT_TRUE(IsWindowEnabled(FForm->btnSetup));
  Click(FForm->btnSetup);
  EXPECT_FALSE(IsWindowEnabled(FForm->btnSpeedUp));
  ASSERT_TRUE(PumpUntil([&] { return FShown.size() == 3; }));
  EXPECT_EQ(FShown[2].Caption, L"Set up this PC");
  EXPECT_THAT(ToUtf8(FShown[2].Text), HasSubstr("0403:6001: IgnoreHWSerNum04036001 set.\r\n"));
  EXPECT_THAT(ToUtf8(Text(FForm->lblMessage)), StartsWith("This PC is set up: "));
  BYTE flag = 0;
  DWORD size = sizeof flag;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kUsbFlags, L"IgnoreHWSerNum04036001", RRF_RT_REG_BINARY, nullptr,
                         &flag, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(flag, 1);
}

// A hub of loggers plugged in is a storm of broadcasts: the port list is read once, after the last one. With
// plugging on, a logger that no broadcast announced is found by the slow poll.
TEST_F(StationWindowTest, ABurstOfDeviceChangesIsReadOnceAndPluggingPollsForALoggerNoneAnnounced) {
  TStationWindowOptions options = Options({"sim1"});
  options.PollMs = 300;
  // The run plugging starts ends at once: its logger's controller refuses to say what it is.
  options.SimOptions = {{"--sim-fault", "sim6:identity=5"}};
  Open(options);
  HWND list = FForm->ListView1;
  const int before = FForm->PortScans();
  SetPort(L"\\Device\\VCP5", L"sim5", true);
  DEV_BROADCAST_HDR port{sizeof port, DBT_DEVTYP_PORT, 0};
  for (int i = 0; i < 30; ++i) {
    const WPARAM event = i % 3 == 0   ? DBT_DEVNODES_CHANGED
                         : i % 3 == 1 ? DBT_DEVICEARRIVAL
                                      : DBT_DEVICEREMOVECOMPLETE;
    SendMessageW(FForm->Handle(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&port));
  }
  EXPECT_EQ(FForm->PortScans(), before);
  EXPECT_TRUE(FForm->PortScanPending());
  ASSERT_TRUE(PumpUntil([&] { return !FForm->PortScanPending(); }));
  EXPECT_EQ(FForm->PortScans(), before + 1);
  EXPECT_THAT(Column(list, colPort), ElementsAre(L"sim1", L"sim5"));
  // A broadcast of another kind of device asks for nothing.
  DEV_BROADCAST_HDR volume{sizeof volume, DBT_DEVTYP_VOLUME, 0};
  SendMessageW(FForm->Handle(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
  EXPECT_FALSE(FForm->PortScanPending());

  FAnswers = {L"Yes"};
  Click(FForm->chkPlug);
  SetPort(L"\\Device\\VCP6", L"sim6", true);
  ASSERT_TRUE(PumpUntil([&] { return RowOf(L"sim6") >= 0 && !FForm->Busy(); }));
  Pump();
  EXPECT_EQ(Text(FForm->lblTotal), L"1");
  EXPECT_THAT(ToUtf8(Result(L"sim6")), StartsWith("failed \xE2\x80\x94 not updated: "));
}

TEST_F(StationWindowTest, InternalModeTakesAnImageFileCheckedBeforeAnyRunAndAsksNothing) {
  SetInternalMode(true);
  TStationWindowOptions options = Options({"sim1"});
  options.Params.push_back("f:+");
  options.RecordRetryMs = 100;
  Open(options);
  ASSERT_TRUE(IsWindowVisible(FForm->btnFile));
  const std::filesystem::path bad = FDir / "bad image.txt";
  const std::filesystem::path good = FDir / "image 3.txt";
  std::ofstream(bad, std::ios::binary) << "nothing of a header\r\n";
  std::ofstream(good, std::ios::binary) << ImageFile();
  std::filesystem::path chosen = bad;
  FForm->Hooks.ChooseFile = [&](std::wstring& name) {
    name = chosen.wstring();
    return true;
  };
  Click(FForm->btnFile);
  EXPECT_THAT(ToUtf8(Text(FForm->lblMessage)), HasSubstr("This image file cannot be used"));
  EXPECT_EQ(Text(FForm->edtImage), L"the embedded images");
  chosen = good;
  Click(FForm->btnFile);
  EXPECT_EQ(Text(FForm->edtImage), good.wstring());

  // Gone before the start: nothing runs.
  std::filesystem::rename(good, FDir / "moved.txt");
  Click(FForm->btnStart);
  EXPECT_THAT(ToUtf8(Text(FForm->lblMessage)), StartsWith("Nothing started: "));
  EXPECT_EQ(Text(FForm->lblTotal), L"0");
  // Back: the run takes it, with no question, as File in the main window. The summary is open in a
  // spreadsheet (which lets others only read it) meanwhile.
  std::filesystem::rename(FDir / "moved.txt", good);
  const HANDLE held = CreateFileW((FDir / L"summary.csv").c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Click(FForm->btnStart);
  ASSERT_TRUE(PumpUntil([&] { return !FForm->Busy(); }));
  Pump();
  EXPECT_TRUE(FShown.empty());
  EXPECT_EQ(Result(L"sim1"), L"completed");
  // The row waits, and the window says so until it is written.
  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(FForm->lblRecord) != FALSE; }));
  EXPECT_EQ(Text(FForm->lblRecord), L"1 row waits: summary.csv is open in another program");
  CloseHandle(held);
  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(FForm->lblRecord) == FALSE; }));
  EXPECT_THAT(Summary()[1], HasSubstr("SD CARD V4.106"));
}

}  // namespace
