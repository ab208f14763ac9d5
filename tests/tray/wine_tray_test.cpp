// The real window procedure, menu, notify record, events and watcher under Wine, with a scripted
// drive and an emulated keyboard light.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "disk.h"
#include "fake_driver.h"
#include "fake_light.h"
#include "tray.h"

namespace {

// Handles the thread's messages until done() holds; false after timeout_ms.
template <typename Done>
bool pump_until(Done done, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (!done()) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (GetTickCount() - start >= timeout_ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}
void pump(DWORD ms) { pump_until([] { return false; }, ms); }

// A thread that waits for a window of this class (and title), keeps its static text (a message
// box's) and answers it: OK, or a menu item's mnemonic key. Started before the call that shows it.
struct Answer {
  const wchar_t* window_class;
  const wchar_t* title;
  WPARAM key;
  std::wstring text;
};
DWORD WINAPI answer_window(void* parameter) {
  auto* answer = static_cast<Answer*>(parameter);
  for (int i = 0; i < 200; ++i) {
    Sleep(20);
    HWND window = FindWindowW(answer->window_class, answer->title);
    if (window == nullptr) continue;
    static wchar_t text[4096];
    GetDlgItemTextW(window, 0xFFFF, text, 4096);
    answer->text = text;
    PostMessageW(window, answer->key == IDOK ? WM_COMMAND : WM_KEYDOWN, answer->key, 0);
    if (answer->key != IDOK) PostMessageW(window, WM_CHAR, answer->key | 0x20, 0);
    return 0;
  }
  return 1;
}
bool joined(HANDLE thread) {
  const bool done = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return done;
}

// Plays a notification area that is missing while `missing` says so, and records what it is asked.
// As Windows' own, it refuses to add an icon it has.
bool missing = false, present = false;
std::vector<std::pair<DWORD, HICON>> notified;
DWORD deleted_ms = 0;
BOOL WINAPI notification_area(DWORD message, PNOTIFYICONDATAA data) {
  notified.emplace_back(message, data->hIcon);
  if (message == NIM_DELETE) deleted_ms = GetTickCount();
  const bool had = present;
  present = !missing && message != NIM_DELETE;
  return !missing && (message == NIM_ADD) != had;
}
std::ptrdiff_t adds() {
  return std::count_if(notified.begin(), notified.end(), [](const auto& call) { return call.first == NIM_ADD; });
}

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
    light.hotkey_nt_device = true;
  }
  void start() {
    ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
    window = tray.notify.hWnd;
  }
  void quit() {
    SendMessageA(window, WM_COMMAND, CMD_QUIT, 0);
    EXPECT_EQ(tray_run(), 0);  // drains the queue up to the quit message
    tray_shell_notify = Shell_NotifyIconA;
  }
  bool sleeping() { return tray.notify.hIcon == tray.sleeping_icon; }
  bool checked() { return (GetMenuState(tray.menu, CMD_SLEEPING, MF_BYCOMMAND) & MF_CHECKED) != 0; }
  // The standby commands (not CHECK POWER MODE) that reached the drive.
  std::vector<std::uint8_t> standby_commands() {
    std::vector<std::uint8_t> commands;
    for (const FakeCall& call : fake.calls())
      if (call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] != 0xE5)
        commands.push_back(call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND]);
    return commands;
  }
  FakeDriver fake;
  FakeLight light;
  HWND window = nullptr;
};

// The window, its notify record, the menu and the information box, whose texts read right through
// the wide API whatever the ANSI code page (the test runs again under 932); the events.
TEST_F(Tray, WindowNotifyRecordMenuAndEvents) {
  const char* code_page = std::getenv("EXPECTED_ACP");
  EXPECT_EQ(GetACP(), code_page ? static_cast<UINT>(std::atoi(code_page)) : 1252u);
  start();
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  EXPECT_STREQ(name, "Spindwart V7 /dev/hda");
  EXPECT_STREQ(tray.notify.szTip, "Spindwart V7 /dev/hda");
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(std::vector<UINT>({tray.notify.cbSize, tray.notify.uID, tray.notify.uFlags, tray.notify.uCallbackMessage}),
            std::vector<UINT>({sizeof(void*) == 8 ? 104u : 88u, 0, 7, 0x8000}));
  std::wstring menu;
  for (int i = 0; i < GetMenuItemCount(tray.menu); ++i) {
    wchar_t text[64] = {};
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STATE | MIIM_CHECKMARKS | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = 64;
    GetMenuItemInfoW(tray.menu, i, TRUE, &item);
    const HBITMAP images[] = {nullptr, tray.sleeping_bitmap, tray.app_bitmap, tray.awake_bitmap};
    const int image = static_cast<int>(std::find(images, images + 4, item.hbmpChecked) - images);
    menu += std::to_wstring(item.wID) + L" " + text + L" " + std::to_wstring(item.fState & (MFS_GRAYED | MFS_DEFAULT)) +
            L" " + std::to_wstring(item.hbmpChecked == item.hbmpUnchecked ? image : -1) + L"|";
  }
  EXPECT_EQ(menu, L"1010 &Let's Sleep 4096 1|0  3 0|1020 &Sleeping 1 0|0  3 0|1030 &Info 0 2|1040 &Tsch\u00FCss 0 3|");
  Answer box{L"#32770", L"Spindwart V7 /dev/hda", IDOK, {}};
  HANDLE answering = CreateThread(nullptr, 0, answer_window, &box, 0, nullptr);
  SendMessageA(window, WM_COMMAND, CMD_INFO, 0);  // returns when the box is closed
  EXPECT_TRUE(joined(answering));
  EXPECT_NE(box.text.find(L"Ich \u00FCbernehme keine Haftung f\u00FCr Sch\u00E4den"), std::wstring::npos);
  EXPECT_NE(box.text.find(L"Au\u00DFerdem rennt"), std::wstring::npos);
  for (const char* event : {"pindwart V7 /dev/hda", "indwart V7 /dev/hda"}) {
    HANDLE handle = OpenEventA(SYNCHRONIZE, FALSE, event);
    EXPECT_NE(handle, nullptr) << event;
    CloseHandle(handle);
  }
  HANDLE lock = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "Spindwart V7");
  EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);  // created set: the first blink need not wait
  SetEvent(lock);
  CloseHandle(lock);
  quit();
}

// The icon and check mark follow the drive; no poll while the session is locked; an unplugged drive
// is let go at once and shown in standby, and opened again later.
TEST_F(Tray, FollowsTheDrive) {
  start();
  pump(500);
  EXPECT_FALSE(sleeping() || checked());
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0x00));
  EXPECT_TRUE(pump_until([&] { return sleeping() && checked(); }, 3000));
  SendMessageA(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 0);
  pump(500);  // a tick already handed over may still be polled
  const std::size_t before = fake.calls().size();
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
  pump(1300);
  EXPECT_EQ(fake.calls().size(), before);
  SendMessageA(window, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 0);
  EXPECT_TRUE(pump_until([&] { return !sleeping() && !checked(); }, 3000));
  fake.on(IOCTL_ATA_PASS_THROUGH, refuse(1167));  // ERROR_DEVICE_NOT_CONNECTED
  EXPECT_TRUE(pump_until([&] { return sleeping() && fake.closed.size() == 1; }, 3000));
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
  EXPECT_TRUE(pump_until([&] { return !sleeping(); }, 7000));
  EXPECT_EQ(fake.opens.size(), 2u);
  EXPECT_EQ(ata_method_mask, ATA_ROUTES_ALL);
  quit();
}

// A left click, "Let's Sleep" in the menu, and a posted command each send standby (0xE0, then 0x94);
// a second command without a tick between waits the full idle wait.
TEST_F(Tray, ClickMenuAndPostedCommandEachSendStandby) {
  start();
  pump(500);
  SendMessageA(window, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
  SendMessageA(window, WM_TRAYNOTIFY, 1, WM_LBUTTONDOWN);  // not our icon
  EXPECT_TRUE(pump_until([&] { return standby_commands().size() == 2; }, 3000));
  Answer menu{L"#32768", nullptr, 'L', {}};
  HANDLE choosing = CreateThread(nullptr, 0, answer_window, &menu, 0, nullptr);
  SendMessageA(window, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
  EXPECT_TRUE(joined(choosing));
  EXPECT_TRUE(pump_until([&] { return standby_commands().size() == 4; }, 3000));
  PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
  DispatchMessageA(&message);
  const DWORD start = GetTickCount();
  ASSERT_TRUE(PeekMessageA(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
  DispatchMessageA(&message);
  EXPECT_GE(GetTickCount() - start, 1400u);
  SendMessageA(window, WM_COMMAND, CMD_SLEEPING, 0);  // the grayed item and a control's notification
  SendMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, reinterpret_cast<LPARAM>(window));
  EXPECT_EQ(standby_commands(), (std::vector<std::uint8_t>{0xE0, 0x94, 0xE0, 0x94, 0xE0, 0x94, 0xE0, 0x94}));
  quit();
}

// Added on a later tick when the notification area is not there yet, again with the last state when
// Explorer restarts, and removed at the end.
TEST_F(Tray, TheIconInTheNotificationArea) {
  tray_shell_notify = notification_area;
  missing = true;
  start();
  EXPECT_TRUE(pump_until([&] { return adds() >= 3; }, 3000));
  missing = false;
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0x00));
  EXPECT_TRUE(pump_until([&] { return tray.icon_added && sleeping(); }, 3000));
  const std::ptrdiff_t added = adds();
  pump(1000);
  for (bool explorer_restarted : {true, false}) {  // false: a DPI change, the icon still there
    present = !explorer_restarted;
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    const auto last = std::make_pair(static_cast<DWORD>(explorer_restarted ? NIM_ADD : NIM_MODIFY), tray.sleeping_icon);
    EXPECT_TRUE(pump_until([&] { return notified.back() == last; }, 3000));
  }
  pump(1000);  // no retries
  EXPECT_EQ(adds(), added + 2);
  quit();
  EXPECT_EQ(notified.back().first, static_cast<DWORD>(NIM_DELETE));
}

// A removal notice for the drive's handle (Wine sends none): the handle is closed before the answer,
// nothing opens it until the removal failed (then at once) or went ahead, "Let's Sleep" meanwhile
// sends nothing; notices for other registrations are not ours.
TEST_F(Tray, SafeRemovalOfTheDrive) {
  start();
  pump(500);
  ASSERT_NE(tray.device_notify, nullptr);
  const auto notice = [&](WPARAM code, HDEVNOTIFY registration) {
    DEV_BROADCAST_HANDLE record{};
    record.dbch_size = sizeof record;
    record.dbch_devicetype = DBT_DEVTYP_HANDLE;
    record.dbch_hdevnotify = registration;
    return SendMessageA(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&record));
  };
  EXPECT_EQ(notice(DBT_DEVICEQUERYREMOVE, reinterpret_cast<HDEVNOTIFY>(8)), TRUE);
  EXPECT_TRUE(fake.closed.empty());
  EXPECT_EQ(notice(DBT_DEVICEQUERYREMOVE, tray.device_notify), TRUE);
  EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{0x1234});  // closed before the answer
  SendMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  EXPECT_TRUE(pump_until([&] { return sleeping(); }, 3000));
  pump(1000);
  EXPECT_EQ(std::pair(fake.opens.size(), standby_commands().size()), std::pair(std::size_t{1}, std::size_t{0}));
  notice(DBT_DEVICEQUERYREMOVEFAILED, tray.device_notify);
  EXPECT_EQ(fake.opens.size(), 2u);  // at once
  EXPECT_TRUE(pump_until([&] { return !sleeping(); }, 3000));
  notice(DBT_DEVICEREMOVECOMPLETE, tray.device_notify);  // pulled out, with no query before
  EXPECT_EQ(fake.closed.size(), 2u);
  EXPECT_EQ(tray.device_notify, nullptr);
  EXPECT_TRUE(pump_until([&] { return sleeping(); }, 3000));
  quit();
}

// Quit while a drive command hangs: the icon goes at once, the program ends within 4 s, and the
// handle the command still uses is not closed under it.
TEST_F(Tray, QuitWhileADriveCommandHangs) {
  tray_shell_notify = notification_area;
  start();
  pump(500);
  fake.on(IOCTL_ATA_PASS_THROUGH, [](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    Sleep(5000);
    return power_mode(0xFF)(call, out, returned);
  });
  pump(800);  // the watcher is inside the command
  const DWORD start_ms = GetTickCount();
  quit();
  EXPECT_LE(deleted_ms - start_ms, 200u);
  EXPECT_LE(GetTickCount() - start_ms, 4000u);
  EXPECT_TRUE(fake.closed.empty());
  Sleep(3000);  // the command returns, and the watcher ends before the fake driver goes
}

// Quit during a blink: it finishes, so the light is restored and the lock that every instance
// shares is set again; every handle is let go (the first round lets the system set itself up).
TEST_F(Tray, QuitDuringABlinkRestoresTheLightAndReleasesEverything) {
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0x00));  // standby at start: a 200 ms blink at once
  HANDLE other_instance_lock = CreateEventA(nullptr, FALSE, TRUE, "Spindwart V7");
  HANDLE next_handle[2] = {};
  for (HANDLE& next : next_handle) {
    fake.closed.clear();
    start();
    const DWORD start_ms = GetTickCount();
    while (light.light == 0 && GetTickCount() - start_ms < 3000) Sleep(1);
    EXPECT_EQ(light.light, 1) << "the blink did not start";
    quit();
    EXPECT_EQ(std::vector<int>({light.light, light.open_devices}), std::vector<int>({0, 0}));
    EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{0x1234});
    next = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // the handle value the system gives next
    CloseHandle(next);
  }
  EXPECT_EQ(next_handle[1], next_handle[0]);
  EXPECT_EQ(WaitForSingleObject(other_instance_lock, 0), WAIT_OBJECT_0);
  CloseHandle(other_instance_lock);
}

}  // namespace
