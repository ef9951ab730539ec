// The real windows of pellory.exe, driven with window messages and read back through the controls, under
// Wine. Modal windows are answered from ModalShownHook, the platform dialogs through TfrmMain's hooks.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "app/uInitForms.h"
#include "device/uCommThread.h"
#include "device/uEventTexts.h"
#include "device/uEvents.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "sim/uSimLogger.h"
#include "tests/support/uVirtualClock.h"
#include "ui/uConfirm_win32.h"
#include "ui/uInfo_win32.h"
#include "ui/uMain_win32.h"
#include "ui/uMessage_win32.h"
#include "ui/uProtocol_win32.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr wchar_t kQuorKey[] = L"Software\\Kalvenor\\Quor";
constexpr wchar_t kPortMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr wchar_t kSuccess[] = L"Update SD CARD V4.106 succesfully completed.";

// The resolution this run of the tests is for (--dpi=N); main() starts the tests again at it.
int gDpi = 96;

// ---- reading the windows back

std::wstring Text(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

RECT Outer(HWND hwnd) {
  RECT rc{};
  GetWindowRect(hwnd, &rc);
  return rc;
}

// A control's rectangle relative to its parent's client area: left, top, width, height.
std::vector<int> Place(HWND control) {
  RECT rc = Outer(control);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&rc), 2);
  return {rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top};
}

SIZE ClientSize(HWND hwnd) {
  RECT rc{};
  GetClientRect(hwnd, &rc);
  return {rc.right, rc.bottom};
}

std::vector<HWND> Descendants(HWND root) {
  std::vector<HWND> all;
  EnumChildWindows(
      root,
      [](HWND hwnd, LPARAM param) {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND FindButton(HWND root, const std::wstring& caption) {
  for (HWND hwnd : Descendants(root)) {
    if (lstrcmpiW(ClassOf(hwnd).c_str(), L"Button") == 0 && Text(hwnd) == caption) return hwnd;
  }
  return nullptr;
}

std::vector<std::wstring> ComboItems(HWND combo) {
  std::vector<std::wstring> items;
  const auto count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    std::wstring item(static_cast<size_t>(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
    item.resize(
        static_cast<size_t>(SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
    items.push_back(item);
  }
  return items;
}

std::wstring ListCell(HWND list, int row, int column) {
  wchar_t buffer[256] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = 256;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

int StringWidth(HWND list, const std::wstring& text) {
  return static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

LOGFONTW FontOf(HWND control) {
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

bool MenuHasItem(HMENU menu, UINT id) {
  return GetMenuState(menu, id, MF_BYCOMMAND) != static_cast<UINT>(-1);
}

std::wstring MenuText(HMENU menu, UINT item, bool byPosition) {
  wchar_t buffer[64] = {};
  GetMenuStringW(menu, item, buffer, 64, byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
  return buffer;
}

// ---- registry of the test's own Wine prefix

void SetInternalMode(bool on) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, kQuorKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  if (on) {
    const DWORD value = 8147;
    RegSetValueExW(key, L"intern", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  } else {
    RegDeleteValueW(key, L"intern");
  }
  RegCloseKey(key);
}

const std::vector<std::pair<std::wstring, std::wstring>> kTestPorts = {
    {L"\\Device\\VCP0", L"COM7"}, {L"\\Device\\VCP1", L"COM12"}, {L"\\Device\\VCP2", L"COM15"}};

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

// ---- workers

struct TStart {
  intptr_t Window;
  TCmd Cmd;
  std::string Port;
};
std::vector<TStart> gStarts;
char gMarker;

// Stands in for a worker: remembers the start; the test posts the events.
TCommThread* FakeWorker(intptr_t hWindow, TCmd cmd, const std::string& port) {
  gStarts.push_back({hWindow, cmd, port});
  return reinterpret_cast<TCommThread*>(&gMarker);
}

// ---- what a modal window showed

struct TModal {
  std::wstring Caption;
  std::wstring Text;  // the question or the message
  RECT Bounds{};
  bool OkFocused = false;
  bool YesFocused = false;
  std::vector<std::wstring> Buttons;
  std::vector<std::vector<std::wstring>> Rows;  // the overview's table
  std::vector<int> Widths;
  std::vector<std::wstring> Headers;
  int ClientWidth = 0;
  bool Modal = false;
  bool MainEnabled = true;
};

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceLevel = 0;
    CheckClass = true;
    ClearsMeasurements = false;
    SelectedImage = -1;
    FileLines.clear();
    CancelRequested = false;
    ReadInfoOnly = false;
    gStarts.clear();
    CommThreadClass = &FakeWorker;
    SetInternalMode(false);
    SetPort(kTestPorts[0].first, kTestPorts[0].second, true);
    SetPort(kTestPorts[1].first, kTestPorts[1].second, true);
    SetPort(kTestPorts[2].first, kTestPorts[2].second, false);
    ModalShownHook = [this](HWND hwnd) { OnModal(hwnd); };
  }

  void TearDown() override {
    WaitForWorkers();
    frmMain.reset();
    frmInfo.reset();
    frmProtocol.reset();
    frmMessage.reset();
    Pump();
    ModalShownHook = nullptr;
    DefaultWorkerEnv() = TWorkerEnv{&PlatformPortOps(), &RealClock(), nullptr};
    SetInternalMode(false);
    for (const auto& port : kTestPorts) SetPort(port.first, port.second, false);
    for (const std::wstring& file : FFiles) DeleteFileW(file.c_str());
  }

  // Starts the program as its body does: the main window, then InitForms, then the first idle moment.
  void Start(std::vector<std::string> params = {}, const std::string& program = "C:\\pellory\\pellory.exe") {
    TMainOptions options;
    options.Params = {program};
    options.Params.insert(options.Params.end(), params.begin(), params.end());
    options.Clock = &FClock;
    options.EndsMessageLoop = false;
    frmMain = std::make_unique<TfrmMain>(options);
    frmMain->Hooks.ChooseFile = [this](std::wstring& fileName) {
      ++FDialogs;
      if (FChosenFile.empty()) return false;
      fileName = FChosenFile;
      return true;
    };
    frmMain->Hooks.ShowError = [this](const std::wstring& text) { FErrors.push_back(text); };
    frmMain->Hooks.EndProcess = [this] { ++FEndProcess; };
    InitForms();
    ShowWindow(Main(), SW_SHOW);
    Application().ShowButton();
    UpdateWindow(Main());
    Pump();
    frmMain->ApplicationEvents1Idle();
  }

  HWND Main() const { return frmMain->Handle(); }

  void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchFormMessage(msg);
  }

  // Handles messages until `done` holds; waits for messages, never sleeps. Gives up after a minute.
  bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& afterEach = nullptr) {
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (!done()) {
      if (GetTickCount64() > deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchFormMessage(msg);
        if (afterEach) afterEach();
      }
    }
    return true;
  }

  void Event(uint32_t code, int32_t value) {
    PostMessageW(Main(), WM_USER, code, value);
    Pump();
  }

  void Click(HWND button) {
    SendMessageW(button, BM_CLICK, 0, 0);
    Pump();
  }

  void Menu(int id) {
    SendMessageW(Main(), WM_COMMAND, MAKEWPARAM(id, 0), 0);
    Pump();
  }

  void Key(HWND target, WPARAM key) {
    MSG msg{target, WM_KEYDOWN, key, 0, 0, {}};
    DispatchFormMessage(msg);
  }

  std::vector<std::wstring> Report() {
    std::vector<std::wstring> lines;
    for (int i = 0; i < frmProtocol->LineCount(); ++i) lines.push_back(frmProtocol->Line(i));
    return lines;
  }

  // The report lines without their time stamps, each checked for its "hh-nn-ss -> " head.
  std::vector<std::wstring> ReportTexts() {
    std::vector<std::wstring> texts;
    const std::wregex stamp(L"^[0-2][0-9]-[0-5][0-9]-[0-5][0-9] -> ");
    for (const std::wstring& line : Report()) {
      EXPECT_TRUE(std::regex_search(line, stamp)) << ToUtf8(line);
      texts.push_back(line.size() >= 12 ? line.substr(12) : line);
    }
    return texts;
  }

  std::wstring Status() {
    wchar_t buffer[512] = {};
    SendMessageW(frmMain->StatusBar1, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(buffer));
    return buffer;
  }

  int Progress() { return static_cast<int>(SendMessageW(frmMain->ProgressBar1, PBM_GETPOS, 0, 0)); }

  bool Busy() {
    return !IsWindowEnabled(frmMain->btnProg) && !IsWindowEnabled(frmMain->cbxPort) &&
           IsWindowVisible(frmMain->btnCancel) && !IsWindowVisible(frmMain->btnClose);
  }

  bool Idle() {
    return IsWindowEnabled(frmMain->btnProg) && IsWindowEnabled(frmMain->cbxPort) &&
           !IsWindowVisible(frmMain->btnCancel) && IsWindowVisible(frmMain->btnClose);
  }

  void OnModal(HWND hwnd) {
    TModal seen;
    seen.Caption = Text(hwnd);
    seen.Bounds = Outer(hwnd);
    seen.Modal = TForm::FromHandle(hwnd) != nullptr && TForm::FromHandle(hwnd)->IsModal();
    seen.MainEnabled = frmMain && IsWindowEnabled(Main());
    for (HWND child : Descendants(hwnd)) {
      const std::wstring kind = ClassOf(child);
      if (lstrcmpiW(kind.c_str(), L"Button") == 0) {
        seen.Buttons.push_back(Text(child));
        if (Text(child) == L"OK") seen.OkFocused = GetFocus() == child;
        if (Text(child) == L"Yes") seen.YesFocused = GetFocus() == child;
      } else if ((lstrcmpiW(kind.c_str(), L"Edit") == 0 || lstrcmpiW(kind.c_str(), L"Static") == 0) &&
                 seen.Text.empty()) {
        seen.Text = Text(child);
      } else if (kind == WC_LISTVIEWW) {
        HWND header = reinterpret_cast<HWND>(SendMessageW(child, LVM_GETHEADER, 0, 0));
        const auto columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
        for (int c = 0; c < columns; ++c) {
          seen.Widths.push_back(static_cast<int>(SendMessageW(child, LVM_GETCOLUMNWIDTH, c, 0)));
          wchar_t name[64] = {};
          HDITEMW item{};
          item.mask = HDI_TEXT;
          item.pszText = name;
          item.cchTextMax = 64;
          SendMessageW(header, HDM_GETITEMW, c, reinterpret_cast<LPARAM>(&item));
          seen.Headers.push_back(name);
        }
        const auto rows = static_cast<int>(SendMessageW(child, LVM_GETITEMCOUNT, 0, 0));
        for (int r = 0; r < rows; ++r) {
          std::vector<std::wstring> row;
          for (int c = 0; c < columns; ++c) row.push_back(ListCell(child, r, c));
          seen.Rows.push_back(row);
        }
        for (const auto& row : seen.Rows) {
          for (int c = 0; c < columns; ++c) {
            EXPECT_GE(seen.Widths[c], StringWidth(child, row[c]) + 5) << "column " << c;
          }
        }
        for (int c = 0; c < columns; ++c) EXPECT_GE(seen.Widths[c], StringWidth(child, seen.Headers[c]) + 5);
        seen.ClientWidth = ClientSize(hwnd).cx;
      }
    }
    FModals.push_back(seen);
    std::wstring answer = L"OK";
    if (!FAnswers.empty()) {
      answer = FAnswers.front();
      FAnswers.pop_front();
    } else if (seen.Caption == L"Confirm") {
      ADD_FAILURE() << "unexpected question: " << ToUtf8(seen.Text);
      answer = L"No";
    }
    HWND button = FindButton(hwnd, answer);
    ASSERT_NE(button, nullptr) << ToUtf8(answer);
    SendMessageW(button, BM_CLICK, 0, 0);
  }

  std::wstring WriteFile(const std::string& content) {
    wchar_t dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    wchar_t path[MAX_PATH] = {};
    GetTempFileNameW(dir, L"img", 0, path);
    std::ofstream(path, std::ios::binary) << content;
    FFiles.push_back(path);
    return path;
  }

  // An image file with the header and lines of embedded image 3, under another date.
  std::wstring GoodImageFile() {
    std::string content =
        "bootloader=2\r\nbootloader version=1\r\nclass=26122\r\nversionH=4\r\nversionL=106\r\nplatform=25\r\n"
        "print=52\r\ndate=01.02.2025 10:20:30\r\n";
    TBl3FileHeader header;
    int32_t lastIndex = 0;
    std::string line;
    const int32_t last = GetImageLastLine(3);
    for (int32_t i = 0; i <= last; ++i) {
      AccessImage(3, 2, i, header, lastIndex, line);
      content += line + "\r\n";
    }
    return WriteFile(content);
  }

  // Workers against the in-process simulated logger, unpaced, in virtual time.
  void UseSimulatedLogger() {
    CommThreadClass = &CreateWorker<TSDCommThread>;
    DefaultWorkerEnv() = TWorkerEnv{&FSimPort, &FClock, &WindowEventSink()};
    SetWindowTextW(frmMain->cbxPort, L"sim");
  }

  TVirtualClock FClock;
  TSimLogger FSimLogger;
  TSimPortOps FSimPort{FSimLogger, FClock};
  std::deque<std::wstring> FAnswers;
  std::vector<TModal> FModals;
  std::vector<std::wstring> FErrors;
  std::vector<std::wstring> FFiles;
  std::wstring FChosenFile;
  int FDialogs = 0;
  int FEndProcess = 0;
};

// ---- start-up

TEST_F(GuiTest, NormalStartShowsTheSpecifiedWindowIdle) {
  Start({"cc:-", "f:+"});  // both need internal mode
  EXPECT_EQ(Text(Main()), L"Pellory");
  EXPECT_EQ(Application().Title(), L"Pellory");
  EXPECT_EQ(ServiceLevel, 0);
  EXPECT_TRUE(CheckClass);
  EXPECT_FALSE(ClearsMeasurements);

  const LONG_PTR style = GetWindowLongPtrW(Main(), GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
  // Owned by the application window: only that one has a taskbar button.
  EXPECT_EQ(GetWindow(Main(), GW_OWNER), Application().Handle());

  // Exactly the panel and the status bar.
  const SIZE client = ClientSize(Main());
  EXPECT_EQ(client.cx, 355);
  EXPECT_EQ(client.cy, 176);
  EXPECT_THAT(Place(frmMain->Panel1), ElementsAre(0, 0, 355, 161));
  EXPECT_THAT(Place(frmMain->StatusBar1), ElementsAre(0, 161, 355, 15));
  const RECT outer = Outer(Main());
  const RECT screen = MonitorRect(Main());
  EXPECT_NEAR(outer.left - screen.left, screen.right - outer.right, 1);
  EXPECT_NEAR(outer.top - screen.top, screen.bottom - outer.bottom, 1);

  EXPECT_THAT(Place(frmMain->Bevel1), ElementsAre(0, 0, 355, 8));
  EXPECT_EQ(Text(frmMain->Label1), L"Comport:");
  EXPECT_EQ(Place(frmMain->Label1)[0], 13);
  EXPECT_EQ(Place(frmMain->Label1)[1], 14);
  EXPECT_EQ(Place(frmMain->cbxPort)[0], 77);
  EXPECT_EQ(Place(frmMain->cbxPort)[1], 11);
  EXPECT_EQ(Place(frmMain->cbxPort)[2], 263);
  EXPECT_EQ(GetWindowLongPtrW(frmMain->cbxPort, GWL_STYLE) & 3, CBS_DROPDOWN);
  EXPECT_THAT(Place(frmMain->ProgressBar1), ElementsAre(13, 46, 327, 26));
  EXPECT_EQ(SendMessageW(frmMain->ProgressBar1, PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_THAT(Place(frmMain->btnProg), ElementsAre(40, 86, 111, 32));
  EXPECT_THAT(Place(frmMain->btnClose), ElementsAre(200, 86, 111, 32));
  EXPECT_THAT(Place(frmMain->btnCancel), ElementsAre(200, 86, 111, 32));
  EXPECT_EQ(Text(frmMain->btnProg), L"Update");
  EXPECT_EQ(Text(frmMain->btnClose), L"Close");
  EXPECT_EQ(Text(frmMain->btnCancel), L"Cancel");
  EXPECT_EQ(Text(frmMain->chkReadInfoOnly), L"Read info only");
  EXPECT_FALSE(IsWindowVisible(frmMain->btnFile));
  EXPECT_FALSE(IsWindowVisible(frmMain->chkReadInfoOnly));
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(AppBusy());

  LOGFONTW font = FontOf(frmMain->btnProg);
  EXPECT_EQ(font.lfHeight, -11);
  EXPECT_STREQ(font.lfFaceName, L"Microsoft Sans Serif");

  // Tab order is the creation order on the panel.
  std::vector<HWND> order;
  for (HWND w = GetWindow(frmMain->Panel1, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
    order.push_back(w);
  EXPECT_THAT(order, ElementsAre(frmMain->Bevel1, frmMain->Label1, frmMain->cbxPort, frmMain->ProgressBar1,
                                 frmMain->btnProg, frmMain->btnCancel, frmMain->btnClose, frmMain->btnFile,
                                 frmMain->chkReadInfoOnly));

  // Info menu: Firmware, separator, Exit; File version only with image files.
  EXPECT_EQ(MenuText(GetMenu(Main()), 0, true), L"Info v2024-04-18");
  EXPECT_EQ(GetMenuItemCount(frmMain->menInfo), 3);
  EXPECT_EQ(MenuText(frmMain->menInfo, idMenInfoFirmware, false), L"Firmware");
  EXPECT_EQ(MenuText(frmMain->menInfo, idMenFileExit, false), L"Exit");
  EXPECT_FALSE(MenuHasItem(frmMain->menInfo, idMenInfoFile));

  // The ports of the map, entry 0 chosen; an empty status; the report never shown in normal mode.
  EXPECT_THAT(ComboItems(frmMain->cbxPort), ElementsAre(L"COM7", L"COM12"));
  EXPECT_EQ(Text(frmMain->cbxPort), L"COM7");
  EXPECT_EQ(Status(), L"");
  EXPECT_EQ(frmMain->StatusHint(), L"");
  EXPECT_EQ(Progress(), 0);
  EXPECT_FALSE(IsWindowVisible(frmProtocol->Handle()));
  EXPECT_EQ(frmMain->OpenDialog1.InitialDir, L"C:\\pellory\\pellory.exe");
}

// Run once at 96 dpi and once more at 144 (--dpi=144).
TEST_F(GuiTest, WindowScalesWithTheResolutionAndTheStatusStaysReadable) {
  Start({"mf:+"});
  ASSERT_EQ(frmMain->Dpi(), gDpi);
  const SIZE client = ClientSize(Main());
  EXPECT_EQ(client.cx, MulDiv(355, gDpi, 96));
  EXPECT_EQ(client.cy, MulDiv(176, gDpi, 96));
  const int panel = MulDiv(161, gDpi, 96);
  EXPECT_EQ(Place(frmMain->Panel1)[3], panel);
  EXPECT_THAT(Place(frmMain->StatusBar1), ElementsAre(0, panel, client.cx, client.cy - panel));

  // The status text in the window's font, whose letters fit into the bar whole.
  EXPECT_EQ(Status(), L"F");
  const LOGFONTW font = FontOf(frmMain->StatusBar1);
  EXPECT_EQ(font.lfHeight, -MulDiv(11, gDpi, 96));
  HDC dc = GetDC(frmMain->StatusBar1);
  HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(frmMain->StatusBar1, WM_GETFONT, 0, 0)));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, previous);
  ReleaseDC(frmMain->StatusBar1, dc);
  EXPECT_LE(metrics.tmHeight, client.cy - panel);
}

TEST_F(GuiTest, AnsiTextsAreReadInTheAnsiCodePageAndUtf8TextsAsUtf8) {
  // In the ANSI code page "Ã©" is the byte pair C3 A9, which as UTF-8 would read "é".
  const std::wstring dir = L"C:\\\u00C3\u00A9";
  bool lossy = false;
  const std::string ansiDir = ToAnsi(dir, &lossy);
  if (lossy || GetACP() == CP_UTF8) GTEST_SKIP() << "the ANSI code page has no \"\u00C3\u00A9\"";
  SetInternalMode(true);
  Start({"f:+"}, ansiDir + "\\pellory.exe");
  EXPECT_EQ(frmMain->OpenDialog1.InitialDir, dir + L"\\pellory.exe");

  // A file name inside an error text.
  FChosenFile = dir + L"\\missing.img";
  Click(frmMain->btnFile);
  ASSERT_EQ(FErrors.size(), 1u);
  EXPECT_NE(FErrors[0].find(FChosenFile), std::wstring::npos) << ToUtf8(FErrors[0]);

  // The port box's text travels as UTF-8 into the report and the status.
  SetWindowTextW(frmMain->cbxPort, L"\u00C3\u00A9");
  Click(frmMain->btnProg);
  ASSERT_EQ(gStarts.size(), 1u);
  EXPECT_EQ(Status(), L"Start at serial port \"\u00C3\u00A9\"");
  EXPECT_THAT(ReportTexts(), ElementsAre(L"Start at serial port \"\u00C3\u00A9\""));
}

TEST_F(GuiTest, InternalModeWithImageFilesHalvesTheButtonsAndShowsTheReportOnce) {
  SetInternalMode(true);
  Start({"Cc:-", "f:+"});
  EXPECT_EQ(ServiceLevel, 2);
  EXPECT_FALSE(CheckClass);
  EXPECT_TRUE(IsWindowVisible(frmMain->btnFile));
  EXPECT_EQ(Text(frmMain->btnFile), L"File");
  EXPECT_THAT(Place(frmMain->btnProg), ElementsAre(40, 86, 55, 32));
  EXPECT_THAT(Place(frmMain->btnFile), ElementsAre(103, 86, 55, 32));
  EXPECT_EQ(GetMenuItemCount(frmMain->menInfo), 4);
  EXPECT_EQ(MenuText(frmMain->menInfo, 1, true), L"File version");
  EXPECT_TRUE(IsWindowVisible(frmMain->chkReadInfoOnly));
  EXPECT_EQ(SendMessageW(frmMain->chkReadInfoOnly, BM_GETCHECK, 0, 0), BST_UNCHECKED);

  // Shown at the first idle moment, directly under the main window and as wide; never again.
  HWND report = frmProtocol->Handle();
  EXPECT_TRUE(IsWindowVisible(report));
  EXPECT_EQ(Text(report), L"Report");
  EXPECT_EQ(GetWindowLongPtrW(report, GWL_STYLE) & (WS_SYSMENU | WS_THICKFRAME), WS_THICKFRAME);
  const RECT main = Outer(Main());
  const RECT under = Outer(report);
  EXPECT_EQ(under.left, main.left);
  EXPECT_EQ(under.top, main.bottom);
  EXPECT_EQ(under.right - under.left, main.right - main.left);
  ShowWindow(report, SW_HIDE);
  frmMain->ApplicationEvents1Idle();
  EXPECT_FALSE(IsWindowVisible(report));
}

TEST_F(GuiTest, InternalModeWithoutFileOptionIsLevelOne) {
  SetInternalMode(true);
  Start({"f:-", "f:", "cc:+"});
  EXPECT_EQ(ServiceLevel, 1);
  EXPECT_TRUE(CheckClass);
  EXPECT_FALSE(IsWindowVisible(frmMain->btnFile));
  EXPECT_THAT(Place(frmMain->btnProg), ElementsAre(40, 86, 111, 32));
  EXPECT_FALSE(MenuHasItem(frmMain->menInfo, idMenInfoFile));
}

TEST_F(GuiTest, MeasurementClearingOptionShowsFAndAsksTheClearingQuestion) {
  Start({"MF:+", "mf:-"});  // the first one wins
  EXPECT_TRUE(ClearsMeasurements);
  EXPECT_EQ(Status(), L"F");
  EXPECT_EQ(frmMain->StatusHint(), L"F");

  FAnswers = {L"No"};
  Click(frmMain->btnProg);
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Caption, L"Confirm");
  EXPECT_EQ(FModals[0].Text, L"This update clears all measurements!\r\nDo you really continue ?");
  EXPECT_TRUE(gStarts.empty());
  EXPECT_TRUE(Idle());
}

TEST_F(GuiTest, OtherMeasurementValuesChangeNothing) {
  Start({"mf:", "mf:x", "mf:+"});  // the bare prefix is skipped, "x" is the first value and means nothing
  EXPECT_FALSE(ClearsMeasurements);
  EXPECT_EQ(Status(), L"");
}

// ---- Update, questions and the run states

TEST_F(GuiTest, UpdateInNormalModeAsksAndNoLeavesEverythingAsItWas) {
  Start();
  frmProtocol->Add("earlier line");
  frmMain->SetStatus("before");
  FAnswers = {L"No"};
  Click(frmMain->btnProg);
  ASSERT_EQ(FModals.size(), 1u);
  const TModal& question = FModals[0];
  EXPECT_EQ(question.Caption, L"Confirm");
  EXPECT_EQ(question.Text, L"Do you save your measurements ?\r\nDo you really continue without saving ?");
  EXPECT_THAT(question.Buttons, ElementsAre(L"Yes", L"No"));
  EXPECT_TRUE(question.YesFocused);
  EXPECT_TRUE(question.Modal);
  EXPECT_FALSE(question.MainEnabled);
  EXPECT_TRUE(IsWindowEnabled(Main()));
  EXPECT_TRUE(gStarts.empty());
  EXPECT_THAT(ReportTexts(), ElementsAre(L"earlier line"));
  EXPECT_EQ(Status(), L"before");
  EXPECT_TRUE(Idle());

  FAnswers = {L"Yes"};
  Click(frmMain->btnProg);
  ASSERT_EQ(gStarts.size(), 1u);
  EXPECT_EQ(gStarts[0].Window, reinterpret_cast<intptr_t>(Main()));
  EXPECT_EQ(gStarts[0].Cmd, TCmd::tCMD0);
  EXPECT_EQ(gStarts[0].Port, "COM7");
  EXPECT_THAT(ReportTexts(), ElementsAre(L"Start at serial port \"COM7\""));
  EXPECT_EQ(Status(), L"Start at serial port \"COM7\"");
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_TRUE(Busy());
}

TEST_F(GuiTest, EscapeAnswersTheQuestionWithNo) {
  Start();
  ModalShownHook = [this](HWND hwnd) {
    TModal seen;
    seen.Caption = Text(hwnd);
    FModals.push_back(seen);
    Key(GetFocus() != nullptr ? GetFocus() : hwnd, VK_ESCAPE);
  };
  Click(frmMain->btnProg);
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Caption, L"Confirm");
  EXPECT_TRUE(gStarts.empty());
}

TEST_F(GuiTest, BusyAndIdleStatesCoverEveryControl) {
  SetInternalMode(true);
  Start({"f:+"});
  EXPECT_EQ(GetMenuState(frmMain->menInfo, idMenInfoFile, MF_BYCOMMAND) & MF_GRAYED, 0u);
  SendMessageW(frmMain->chkReadInfoOnly, BM_SETCHECK, BST_CHECKED, 0);
  SetActiveWindow(Main());
  SetFocus(frmMain->btnProg);
  Click(frmMain->btnProg);  // internal mode: no question
  EXPECT_TRUE(FModals.empty());
  EXPECT_EQ(GetFocus(), frmMain->btnCancel);  // the keyboard still has a control
  ASSERT_EQ(gStarts.size(), 1u);
  EXPECT_TRUE(ReadInfoOnly);
  EXPECT_FALSE(CancelRequested);

  EXPECT_TRUE(Busy());
  EXPECT_FALSE(IsWindowEnabled(frmMain->btnFile));
  EXPECT_NE(GetMenuState(frmMain->menInfo, idMenInfoFile, MF_BYCOMMAND) & MF_GRAYED, 0u);
  EXPECT_TRUE(AppBusy());
  SendMessageW(Main(), WM_SETCURSOR, reinterpret_cast<WPARAM>(Main()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
  SendMessageW(frmProtocol->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(frmProtocol->Memo1),
               MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
  EXPECT_EQ(Application().Title(), L"Pellory");  // unchanged until the first progress event

  // File version stays out of a run even when its command arrives.
  FChosenFile = GoodImageFile();
  Menu(idMenInfoFile);
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_TRUE(FModals.empty());

  // A press of Enter must not reach the window as a false worker event (DM_GETDEFID is WM_USER).
  SetFocus(frmMain->cbxPort);
  Key(frmMain->cbxPort, VK_RETURN);
  Pump();
  EXPECT_TRUE(Busy());

  Event(evProgress, 57);
  EXPECT_EQ(Progress(), 57);
  EXPECT_EQ(Application().Title(), L"57%");
  EXPECT_EQ(ReportTexts().back(), L"Progress 57%");
  EXPECT_EQ(Status(), L"Start at serial port \"COM7\"");  // progress is not shown in the status bar

  SetFocus(frmMain->btnCancel);
  Event(evFailed, 70);
  EXPECT_TRUE(Idle());
  EXPECT_EQ(GetFocus(), frmMain->btnProg);
  EXPECT_TRUE(IsWindowEnabled(frmMain->btnFile));
  EXPECT_EQ(GetMenuState(frmMain->menInfo, idMenInfoFile, MF_BYCOMMAND) & MF_GRAYED, 0u);
  EXPECT_FALSE(AppBusy());
  EXPECT_EQ(Application().Title(), L"Pellory");
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Caption, L"Information");
  EXPECT_EQ(FModals[0].Text, L"Only read update info!");
  EXPECT_EQ(Status(), L"Only read update info!");
}

TEST_F(GuiTest, CompleteRunAgainstTheSimulatedLogger) {
  SetInternalMode(true);
  Start();
  UseSimulatedLogger();
  std::vector<std::pair<std::wstring, int>> titles;  // title and bar after every message of the run
  SendMessageW(frmMain->btnProg, BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([] { return frmMain->RunControl().LastFinalCode() != -1; },
                        [&] {
                          if (frmMain) titles.emplace_back(Application().Title(), Progress());
                        }));
  EXPECT_EQ(frmMain->RunControl().LastFinalCode(), 0);
  EXPECT_TRUE(FSimLogger.UpdateFinished());

  const std::vector<std::wstring> texts = ReportTexts();
  ASSERT_GE(texts.size(), 10u);
  EXPECT_EQ(texts[0], L"Start at serial port \"sim\"");
  EXPECT_THAT(ToUtf8(texts[1]), StartsWith("Class 26117 ["));
  EXPECT_EQ(texts[2], L"Version 7.0");
  EXPECT_THAT(ToUtf8(texts[3]), StartsWith("Platform 25 ["));
  EXPECT_THAT(ToUtf8(texts[4]), StartsWith("Print 52 ["));
  EXPECT_THAT(ToUtf8(texts[5]), StartsWith("Update class 26122 ["));
  // One check for every candidate up to the chosen one, which is the newest image.
  size_t update = 6;
  while (update < texts.size() && ToUtf8(texts[update]).rfind("Check SD CARD V", 0) == 0) ++update;
  ASSERT_GT(update, 6u);
  ASSERT_LT(update, texts.size());
  EXPECT_EQ(texts[update - 1], L"Check SD CARD V4.106, PB52C, BL2.1");
  EXPECT_EQ(texts[update], L"Update SD CARD V4.106, PB52C, BL2.1");
  int lastPercent = -1;
  for (size_t i = update + 1; i + 1 < texts.size(); ++i) {
    int percent = -1;
    ASSERT_EQ(swscanf(texts[i].c_str(), L"Progress %d%%", &percent), 1) << ToUtf8(texts[i]);
    EXPECT_GT(percent, lastPercent);
    lastPercent = percent;
  }
  EXPECT_EQ(lastPercent, 98);  // never 100 in an event
  EXPECT_EQ(texts.back(), kSuccess);

  EXPECT_EQ(Status(), kSuccess);
  EXPECT_EQ(frmMain->StatusHint(), kSuccess);
  EXPECT_EQ(Progress(), 100);
  EXPECT_EQ(Application().Title(), L"Pellory");
  EXPECT_TRUE(Idle());
  bool sawPercentTitle = false;
  for (const auto& [title, bar] : titles) {
    if (title != L"Pellory") {
      EXPECT_EQ(title, std::to_wstring(bar) + L"%");
      sawPercentTitle = true;
    }
  }
  EXPECT_TRUE(sawPercentTitle);

  // The information box: inside the main window, 10 pixels from its left, right and bottom edges.
  ASSERT_EQ(FModals.size(), 1u);
  const TModal& box = FModals[0];
  EXPECT_EQ(box.Caption, L"Information");
  EXPECT_EQ(box.Text, kSuccess);
  EXPECT_TRUE(box.OkFocused);
  const RECT main = Outer(Main());
  EXPECT_EQ(box.Bounds.left, main.left + 10);
  EXPECT_EQ(box.Bounds.right, main.right - 10);
  EXPECT_EQ(box.Bounds.bottom, main.bottom - 10);
}

TEST_F(GuiTest, CancelEndsTheRunWithTheCancelText) {
  SetInternalMode(true);
  Start();
  Click(frmMain->btnProg);
  ASSERT_TRUE(Busy());
  Click(frmMain->btnCancel);
  EXPECT_TRUE(CancelRequested);
  EXPECT_TRUE(Busy());  // the worker ends the run
  Event(evFailed, 20);
  EXPECT_TRUE(Idle());
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Text, L"Process cancelled!");
  EXPECT_EQ(ReportTexts().back(), L"Process cancelled!");
}

TEST_F(GuiTest, CommunicationFailureRepeatsAfterPauseStayingBusy) {
  SetInternalMode(true);
  Start();
  Click(frmMain->btnProg);
  Click(frmMain->btnCancel);  // pressed before the failure: the repeat still sees it
  bool busyDuringPause = false;
  FClock.SetSleepHook([&](uint32_t) { busyDuringPause = Busy(); });
  Event(evCommFailure, 0);
  FClock.SetSleepHook(nullptr);
  EXPECT_EQ(FClock.Pauses(), std::vector<uint32_t>{1500});
  EXPECT_TRUE(busyDuringPause);
  ASSERT_EQ(gStarts.size(), 2u);
  EXPECT_EQ(gStarts[1].Cmd, TCmd::tCMD0);
  EXPECT_EQ(gStarts[1].Port, "COM7");
  EXPECT_TRUE(CancelRequested);
  EXPECT_TRUE(Busy());
  EXPECT_TRUE(FModals.empty());
  // The report goes on: no clearing on a repeat.
  EXPECT_THAT(ReportTexts(),
              ElementsAre(L"Start at serial port \"COM7\"", L"Repeat update because communication error!",
                          L"Start at serial port \"COM7\""));
}

TEST_F(GuiTest, ProgrammingFailureRepeatsAtOnceWithoutBox) {
  SetInternalMode(true);
  Start();
  Click(frmMain->btnProg);
  Event(evFailed, 44);
  EXPECT_TRUE(FModals.empty());
  ASSERT_EQ(gStarts.size(), 2u);
  EXPECT_TRUE(Busy());
  EXPECT_THAT(ReportTexts(),
              ElementsAre(L"Start at serial port \"COM7\"", L"Repeat because programming error!",
                          L"Start at serial port \"COM7\""));
}

TEST_F(GuiTest, ConversionFailureShowsOnlyTheBox) {
  SetInternalMode(true);
  Start();
  Click(frmMain->btnProg);
  Event(evConversionError, 5);
  Event(evFailed, 43);
  EXPECT_TRUE(Idle());
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Text, L"Aborted because conversion error!");
  EXPECT_EQ(ReportTexts().back(), L"Aborted because conversion error at line  5 !");
  EXPECT_EQ(Status(), L"Start at serial port \"COM7\"");
}

TEST_F(GuiTest, PortFailureNamesThePortOfTheBox) {
  SetInternalMode(true);
  Start();
  SetWindowTextW(frmMain->cbxPort, L"COM33");  // typed, not picked
  Click(frmMain->btnProg);
  ASSERT_EQ(gStarts.size(), 1u);
  EXPECT_EQ(gStarts[0].Port, "COM33");
  Event(evFailed, 10);
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Text, L"Aborted because serial port \"COM33\" is not ready!");
}

// ---- closing

TEST_F(GuiTest, ClosingDuringARunAsksThenEndsTheProcessAtOnce) {
  SetInternalMode(true);
  Start();
  Click(frmMain->btnProg);
  ASSERT_TRUE(Busy());
  EXPECT_FALSE(IsWindowVisible(frmMain->btnClose));

  FAnswers = {L"No", L"No"};
  Menu(idMenFileExit);
  SendMessageW(Main(), WM_CLOSE, 0, 0);  // the close box
  Pump();
  ASSERT_EQ(FModals.size(), 2u);
  EXPECT_EQ(FModals[0].Text, L"The update is not finished!\r\nDo you really close the program ?");
  EXPECT_EQ(FEndProcess, 0);
  EXPECT_TRUE(IsWindow(Main()));

  FAnswers = {L"Yes"};
  SendMessageW(Main(), WM_CLOSE, 0, 0);
  Pump();
  EXPECT_EQ(FEndProcess, 1);

  // After the final event the program closes without asking.
  Event(evCompleted, 0);
  const size_t shown = FModals.size();
  Click(frmMain->btnClose);
  EXPECT_EQ(FModals.size(), shown);
  EXPECT_FALSE(IsWindow(Main()));
  EXPECT_EQ(FEndProcess, 1);
}

// ---- docking, overview, report window, information box

TEST_F(GuiTest, ReportWindowFollowsEveryMove) {
  SetInternalMode(true);
  Start();
  const RECT before = Outer(frmProtocol->Handle());
  SetWindowPos(Main(), nullptr, 100, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Pump();
  const RECT main = Outer(Main());
  const RECT after = Outer(frmProtocol->Handle());
  EXPECT_EQ(main.left, 100);
  EXPECT_EQ(after.left, 100);
  EXPECT_EQ(after.top, main.bottom);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
}

TEST_F(GuiTest, OverviewListsTheImagesNewestFirstAndFitsItsColumns) {
  Start();
  SetWindowPos(Main(), nullptr, 60, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Menu(idMenInfoFirmware);
  Menu(idMenInfoFirmware);  // a second opening must not grow the window
  ASSERT_EQ(FModals.size(), 2u);
  const TModal& overview = FModals[0];
  EXPECT_EQ(overview.Caption, L"Overview");
  EXPECT_THAT(overview.Headers, ElementsAre(L"Firmware", L"Version", L"Platform", L"Print", L"Date", L"BL"));
  ASSERT_EQ(overview.Rows.size(), 3u);
  EXPECT_EQ(overview.Rows[0][0], L"SD CARD");
  EXPECT_EQ(overview.Rows[0][1], L"4.106");
  EXPECT_EQ(overview.Rows[0][4], L"18.04.2024 11:42:26");
  EXPECT_EQ(overview.Rows[0][5], L"2.1");
  EXPECT_EQ(overview.Rows[1][1], L"2.102");
  EXPECT_EQ(overview.Rows[1][4], L"13.12.2022 15:45:48");
  EXPECT_EQ(overview.Rows[1][5], L"2.1");
  EXPECT_EQ(overview.Rows[2][1], L"1.04");
  EXPECT_EQ(overview.Rows[2][4], L"24.07.2012 17:19:26");
  EXPECT_EQ(overview.Rows[2][5], L"2.0");
  int sum = 0;
  for (int width : overview.Widths) sum += width;
  EXPECT_EQ(overview.ClientWidth, sum + 30);
  EXPECT_TRUE(overview.OkFocused);
  const RECT main = Outer(Main());
  EXPECT_EQ(overview.Bounds.left, main.left);
  EXPECT_EQ(overview.Bounds.top, main.top);
  EXPECT_EQ(overview.Bounds.bottom - overview.Bounds.top, main.bottom - main.top);
  EXPECT_EQ(FModals[1].ClientWidth, overview.ClientWidth);
  EXPECT_EQ(FModals[1].Widths, overview.Widths);
}

TEST_F(GuiTest, FileVersionPutsTheFileFirstInTheOverview) {
  SetInternalMode(true);
  Start({"f:+"});
  FChosenFile = GoodImageFile();
  Menu(idMenInfoFile);
  EXPECT_EQ(SelectedImage, 0);
  ASSERT_EQ(FModals.size(), 1u);
  ASSERT_EQ(FModals[0].Rows.size(), 4u);
  EXPECT_EQ(FModals[0].Rows[0][4], L"01.02.2025 10:20:30");
  EXPECT_EQ(FModals[0].Rows[1][4], L"18.04.2024 11:42:26");
  EXPECT_TRUE(FileLines.empty());  // the header only

  // A file that does not exist does nothing; an unreadable header is reported and keeps the choice.
  FChosenFile = L"C:\\no\\such\\file.img";
  Menu(idMenInfoFile);
  EXPECT_EQ(FModals.size(), 1u);
  EXPECT_TRUE(FErrors.empty());
  SelectedImage = -1;
  FChosenFile = WriteFile("bootloader=2\r\nbootloader version=x\r\n");
  Menu(idMenInfoFile);
  EXPECT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FErrors.size(), 1u);
  EXPECT_EQ(SelectedImage, -1);
}

TEST_F(GuiTest, FileModeRunsAGoodFileAndRefusesABadOne) {
  SetInternalMode(true);
  Start({"f:+"});
  frmProtocol->Add("earlier line");

  // Cancelled dialog: nothing at all.
  Click(frmMain->btnFile);
  EXPECT_EQ(FDialogs, 1);
  EXPECT_TRUE(gStarts.empty());
  EXPECT_TRUE(FErrors.empty());
  EXPECT_THAT(ReportTexts(), ElementsAre(L"earlier line"));

  // A header that cannot be read: the operator is told, no run starts with images nobody chose.
  FChosenFile = WriteFile("bootloader=2\r\nclass=26122\r\n");
  Click(frmMain->btnFile);
  EXPECT_TRUE(gStarts.empty());
  EXPECT_EQ(FErrors.size(), 1u);
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_TRUE(Idle());
  FChosenFile = L"C:\\no\\such\\file.img";
  Click(frmMain->btnFile);
  EXPECT_TRUE(gStarts.empty());
  EXPECT_EQ(FErrors.size(), 2u);

  // A good file runs without a question against the simulated logger and updates with the file's image.
  UseSimulatedLogger();
  FChosenFile = GoodImageFile();
  Click(frmMain->btnFile);
  EXPECT_TRUE(FModals.empty() || FModals[0].Caption != L"Confirm");
  ASSERT_TRUE(PumpUntil([] { return frmMain->RunControl().LastFinalCode() != -1; }));
  EXPECT_EQ(frmMain->RunControl().LastFinalCode(), 0);
  EXPECT_EQ(SelectedImage, 0);
  EXPECT_EQ(FileLines.size(), static_cast<size_t>(GetImageLastLine(3) + 1));
  const std::vector<std::wstring> texts = ReportTexts();
  EXPECT_EQ(texts.front(), L"Start at serial port \"sim\"");  // cleared first
  EXPECT_EQ(texts.back(), kSuccess);
  ASSERT_EQ(FModals.size(), 1u);
  EXPECT_EQ(FModals[0].Text, kSuccess);
}

TEST_F(GuiTest, ReportKeepsEveryLineAndTheNewestInView) {
  SetInternalMode(true);
  Start();
  frmProtocol->Clear();
  frmProtocol->Add("one");
  EXPECT_EQ(frmProtocol->LineCount(), 1);
  EXPECT_THAT(ReportTexts(), ElementsAre(L"one"));
  frmProtocol->Clear();
  EXPECT_EQ(frmProtocol->LineCount(), 0);

  // Beyond an edit control's default limit of 32K characters.
  // Few long lines rather than many short ones: Wine's edit control grows slowly line by line.
  const std::string filler(260, '.');
  for (int i = 0; i < 160; ++i) frmProtocol->Add("Progress line " + std::to_string(i) + " " + filler);
  EXPECT_GT(GetWindowTextLengthW(frmProtocol->Memo1), 40000);
  EXPECT_EQ(frmProtocol->LineCount(), 160);
  EXPECT_THAT(ToUtf8(frmProtocol->Line(159)), HasSubstr(" -> Progress line 159 ."));
  const LRESULT start = SendMessageW(frmProtocol->Memo1, EM_LINEINDEX, 159, 0);
  const LRESULT pos = SendMessageW(frmProtocol->Memo1, EM_POSFROMCHAR, static_cast<WPARAM>(start), 0);
  RECT client{};
  GetClientRect(frmProtocol->Memo1, &client);
  const int y = static_cast<short>(HIWORD(pos));
  const int x = static_cast<short>(LOWORD(pos));
  EXPECT_GE(y, 0);
  EXPECT_LT(y, client.bottom);
  EXPECT_LT(x, 10);  // the line is seen from its time stamp on
  EXPECT_GT(SendMessageW(frmProtocol->Memo1, EM_GETFIRSTVISIBLELINE, 0, 0), 110);
}

TEST_F(GuiTest, InformationBoxSitsInsideTheLowerPartOfTheGivenRectangle) {
  Start();
  frmMessage->showMsg(L"Only read update info!", 100, 100, 371, 230);
  ASSERT_EQ(FModals.size(), 1u);
  const RECT box = FModals[0].Bounds;
  EXPECT_EQ(box.left, 110);
  EXPECT_EQ(box.right - box.left, 351);
  EXPECT_EQ(box.bottom, 100 + 230 - 10);
  EXPECT_EQ(FModals[0].Text, L"Only read update info!");
  EXPECT_THAT(FModals[0].Buttons, ElementsAre(L"OK"));
  EXPECT_FALSE(IsWindowVisible(frmMessage->Handle()));
  EXPECT_EQ(Text(frmMessage->Handle()), L"Information");
}

// ---- port discovery

TEST_F(GuiTest, PortArrivalRefillsTheListKeepingTheTextAndDropsItDown) {
  Start();
  SetWindowTextW(frmMain->cbxPort, L"COM99");
  SendMessageW(Main(), WM_ACTIVATEAPP, TRUE, 0);
  SetPort(kTestPorts[2].first, kTestPorts[2].second, true);

  DEV_BROADCAST_HDR volume{sizeof volume, DBT_DEVTYP_VOLUME, 0};
  EXPECT_EQ(SendMessageW(Main(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)), 0);
  EXPECT_EQ(SendMessageW(Main(), WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, 0), 0);
  EXPECT_EQ(ComboItems(frmMain->cbxPort).size(), 2u);

  DEV_BROADCAST_HDR port{sizeof port, DBT_DEVTYP_PORT, 0};
  EXPECT_EQ(SendMessageW(Main(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port)), 0);
  EXPECT_THAT(ComboItems(frmMain->cbxPort), ElementsAre(L"COM7", L"COM12", L"COM15"));
  EXPECT_EQ(Text(frmMain->cbxPort), L"COM99");
  EXPECT_TRUE(SendMessageW(frmMain->cbxPort, CB_GETDROPPEDSTATE, 0, 0));

  // Removal while the list is open: closed, refilled, opened again.
  SetPort(kTestPorts[0].first, kTestPorts[0].second, false);
  EXPECT_EQ(SendMessageW(Main(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&port)),
            0);
  EXPECT_THAT(ComboItems(frmMain->cbxPort), ElementsAre(L"COM12", L"COM15"));
  EXPECT_TRUE(SendMessageW(frmMain->cbxPort, CB_GETDROPPEDSTATE, 0, 0));
  SendMessageW(frmMain->cbxPort, CB_SHOWDROPDOWN, FALSE, 0);
  EXPECT_EQ(Text(frmMain->cbxPort), L"COM99");
}

TEST_F(GuiTest, PortChangesDuringARunOrInTheBackgroundRefillQuietly) {
  Start();
  SendMessageW(Main(), WM_ACTIVATEAPP, FALSE, 0);
  SetPort(kTestPorts[2].first, kTestPorts[2].second, true);
  DEV_BROADCAST_HDR port{sizeof port, DBT_DEVTYP_PORT, 0};
  SendMessageW(Main(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port));
  EXPECT_EQ(ComboItems(frmMain->cbxPort).size(), 3u);
  EXPECT_FALSE(SendMessageW(frmMain->cbxPort, CB_GETDROPPEDSTATE, 0, 0));

  SendMessageW(Main(), WM_ACTIVATEAPP, TRUE, 0);
  FAnswers = {L"Yes"};
  Click(frmMain->btnProg);
  ASSERT_TRUE(Busy());
  SetPort(kTestPorts[1].first, kTestPorts[1].second, false);
  SendMessageW(Main(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&port));
  EXPECT_THAT(ComboItems(frmMain->cbxPort), ElementsAre(L"COM7", L"COM15"));
  EXPECT_FALSE(SendMessageW(frmMain->cbxPort, CB_GETDROPPEDSTATE, 0, 0));
  EXPECT_EQ(frmMain->RunControl().Port(), "COM7");
}

TEST_F(GuiTest, MinimisingTakesTheReportAlongAndTheTaskbarButtonBringsBothBack) {
  SetInternalMode(true);
  Start();
  ASSERT_TRUE(IsWindowVisible(frmProtocol->Handle()));
  SendMessageW(Main(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
  Pump();
  EXPECT_TRUE(IsIconic(Application().Handle()));
  EXPECT_FALSE(IsWindowVisible(Main()));
  EXPECT_FALSE(IsWindowVisible(frmProtocol->Handle()));
  SendMessageW(Application().Handle(), WM_SYSCOMMAND, SC_RESTORE, 0);
  Pump();
  EXPECT_FALSE(IsIconic(Application().Handle()));
  EXPECT_TRUE(IsWindowVisible(Main()));
  EXPECT_TRUE(IsWindowVisible(frmProtocol->Handle()));
}

// ---- keyboard

TEST_F(GuiTest, TabWalksTheControlsInTheirOrder) {
  SetInternalMode(true);
  Start({"f:+"});
  SetActiveWindow(Main());
  SetFocus(frmMain->cbxPort);
  std::vector<HWND> visited;
  for (int i = 0; i < 5; ++i) {
    HWND focus = GetFocus();
    Key(focus, VK_TAB);
    HWND now = GetFocus();
    // The focus of an editable combo box is its edit field.
    visited.push_back(GetParent(now) == frmMain->cbxPort ? frmMain->cbxPort : now);
  }
  EXPECT_THAT(visited, ElementsAre(frmMain->btnProg, frmMain->btnClose, frmMain->btnFile,
                                   frmMain->chkReadInfoOnly, frmMain->cbxPort));
}

// Without a window manager (Xvfb) Wine waits for one, about a second, whenever a managed window is hidden.
// The test's own windows are made unmanaged in its private prefix; that counts from the next start, so the
// program starts itself once more. False on Windows and when already so.
bool MakeWindowsUnmanaged() {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) return false;
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  const std::wstring keyName = L"Software\\Wine\\AppDefaults\\" + name + L"\\X11 Driver";
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t value[8] = {};
  DWORD size = sizeof value;
  const bool already = RegQueryValueExW(key, L"Managed", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                                        &size) == ERROR_SUCCESS &&
                       lstrcmpiW(value, L"N") == 0;
  if (!already)
    RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
  RegCloseKey(key);
  return !already;
}

int RunAgain();

// The system resolution is read when a process starts: the test's own prefix gets `dpi`, the tests run
// again under it, and the old value comes back. Once only, so that a system that ignores the value (Windows
// until the next logon) fails the resolution test instead of starting the tests for ever.
int RunAtDpi(int dpi) {
  if (GetEnvironmentVariableW(L"PELLORY_GUI_DPI_SET", nullptr, 0) != 0) return -1;
  SetEnvironmentVariableW(L"PELLORY_GUI_DPI_SET", L"1");
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return -1;
  }
  DWORD old = 0;
  DWORD size = sizeof old;
  DWORD type = 0;
  const bool had = RegQueryValueExW(key, L"LogPixels", nullptr, &type, reinterpret_cast<BYTE*>(&old),
                                    &size) == ERROR_SUCCESS &&
                   type == REG_DWORD;
  const DWORD value = static_cast<DWORD>(dpi);
  RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  const int code = RunAgain();
  if (had) {
    RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
  } else {
    RegDeleteValueW(key, L"LogPixels");
  }
  RegCloseKey(key);
  return code;
}

int RunAgain() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring commandLine = GetCommandLineW();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(path, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "cannot start the tests again\n");
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--dpi=", 6) == 0) gDpi = std::atoi(argv[i] + 6);
  }
  if (MakeWindowsUnmanaged()) return RunAgain();
  if (static_cast<int>(GetDpiForSystem()) != gDpi) {
    const int code = RunAtDpi(gDpi);
    if (code >= 0) return code;
  }
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
