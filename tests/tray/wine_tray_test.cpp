// The real window procedure, menu, notify record, events and watcher under Wine, with a scripted
// drive and an emulated keyboard light.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
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

// A thread that waits for the message box of this title, keeps its text and answers OK. Started
// before the call that shows the box.
std::wstring box_text;
DWORD WINAPI answer_box(void* title) {
  for (int i = 0; i < 200; ++i) {
    Sleep(20);
    HWND box = FindWindowW(L"#32770", static_cast<const wchar_t*>(title));
    if (box == nullptr) continue;
    static wchar_t text[4096];
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    box_text = text;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
  }
  return 1;
}

// Plays a notification area that is missing while `missing` says so, and records what it is asked.
// As Windows' own, it refuses to add an icon it has.
// The UI thread and the watcher both call it.
std::mutex notified_lock;
bool missing = false, present = false;
std::vector<std::pair<DWORD, HICON>> notified;
DWORD deleted_ms = 0;
BOOL WINAPI notification_area(DWORD message, PNOTIFYICONDATAA data) {
  const std::lock_guard hold(notified_lock);
  notified.emplace_back(message, data->hIcon);
  if (message == NIM_DELETE) deleted_ms = GetTickCount();
  const bool had = present;
  present = !missing && message != NIM_DELETE;
  return !missing && (message == NIM_ADD) != had;
}
std::ptrdiff_t adds() {
  const std::lock_guard hold(notified_lock);
  return std::count_if(notified.begin(), notified.end(), [](const auto& call) { return call.first == NIM_ADD; });
}
std::pair<DWORD, HICON> last_notified() {
  const std::lock_guard hold(notified_lock);
  return notified.back();
}

// The window registered for session notices, until it unregisters.
HWND session_notices = nullptr;
BOOL WINAPI register_sessions(HWND window, DWORD) { return session_notices = window, TRUE; }
BOOL WINAPI unregister_sessions(HWND window) { return session_notices = window == session_notices ? nullptr : window, TRUE; }

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
  }
  void start() {
    ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
    window = tray.notify.hWnd;
  }
  void quit() {
    if (window == nullptr) return;  // start() failed: no message loop to end, which would wait for ever
    SendMessageA(window, WM_COMMAND, CMD_QUIT, 0);
    EXPECT_EQ(tray_run(), 0);  // drains the queue up to the quit message
    tray_shell_notify = Shell_NotifyIconA;
    tray_wts_register = nullptr;
    tray_wts_unregister = nullptr;
    UnregisterClassA("Spindwart V7 /dev/hda", GetModuleHandleA(nullptr));  // the next test's start registers it
  }
  bool sleeping() { return tray.notify.hIcon == tray.sleeping_icon; }
  bool checked() { return (GetMenuState(tray.menu, CMD_SLEEPING, MF_BYCOMMAND) & MF_CHECKED) != 0; }
  FakeDriver fake;
  FakeLight light;
  HWND window = nullptr;
};

// The menu and the information box, whose texts read right through the wide API whatever the ANSI
// code page (the test runs again under 932); the blink lock. (The window itself: the e2e test.)
TEST_F(Tray, WindowMenuAndInfoBox) {
  const char* code_page = std::getenv("EXPECTED_ACP");
  EXPECT_EQ(GetACP(), code_page ? static_cast<UINT>(std::atoi(code_page)) : 1252u);
  tray_wts_register = register_sessions;
  tray_wts_unregister = unregister_sessions;
  start();
  EXPECT_EQ(session_notices, window);
  std::wstring menu;
  for (int i = 0; i < GetMenuItemCount(tray.menu); ++i) {
    wchar_t text[64] = {};
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STATE | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = 64;
    GetMenuItemInfoW(tray.menu, i, TRUE, &item);
    menu += std::to_wstring(item.wID) + L" " + text + L" " + std::to_wstring(item.fState & (MFS_GRAYED | MFS_DEFAULT)) + L"|";
  }
  EXPECT_EQ(menu, L"1010 &Let's Sleep 4096|0  3|1020 &Sleeping 1|0  3|1030 &Info 0|1040 &Tsch\u00FCss 0|");
  HANDLE answering = CreateThread(nullptr, 0, answer_box, const_cast<wchar_t*>(L"Spindwart V7 /dev/hda"), 0, nullptr);
  SendMessageA(window, WM_COMMAND, CMD_INFO, 0);  // returns when the box is closed
  EXPECT_EQ(WaitForSingleObject(answering, 5000), WAIT_OBJECT_0);
  CloseHandle(answering);
  EXPECT_NE(box_text.find(L"Ich \u00FCbernehme keine Haftung f\u00FCr Sch\u00E4den"), std::wstring::npos);
  HANDLE lock = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "Spindwart V7");
  EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);  // created set: the first blink need not wait
  SetEvent(lock);
  CloseHandle(lock);
  quit();
  EXPECT_EQ(session_notices, nullptr);
  // A window class that cannot be registered (its name is taken): exit code 1, both mutexes let go of.
  WNDCLASSEXA taken{};
  taken.cbSize = sizeof taken;
  taken.lpfnWndProc = DefWindowProcA;
  taken.hInstance = GetModuleHandleA(nullptr);
  taken.lpszClassName = "Spindwart V7 /dev/hdb";
  ASSERT_NE(RegisterClassExA(&taken), 0);
  int code = 0;
  EXPECT_FALSE(tray_start(GetModuleHandleA(nullptr), "/dev/hdb", &code));
  EXPECT_EQ(std::pair(code, fake.closed.size()), std::pair(1, std::size_t{2}));
  for (const char* name : {"Spindwart V7 /dev/hdb", "Spindwart V7 PhysicalDrive1"}) {
    CloseHandle(CreateMutexA(nullptr, FALSE, name));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << name;
  }
}

// The icon and check mark follow the drive; no poll while the session is locked; an unplugged drive
// is let go at once and shown in standby, and opened again later; a safe removal.
TEST_F(Tray, FollowsTheDrive) {
  start();
  pump(500);
  EXPECT_EQ(std::pair(sleeping(), checked()), std::pair(false, false));
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
  // A removal notice for the drive's handle (Wine sends none): closed before the answer, not opened
  // until the removal failed (then at once), "Let's Sleep" meanwhile sends nothing; others' notices
  // are not ours.
  const auto notice = [&](WPARAM code, HDEVNOTIFY registration) {
    DEV_BROADCAST_HANDLE record{};
    record.dbch_size = sizeof record;
    record.dbch_devicetype = DBT_DEVTYP_HANDLE;
    record.dbch_hdevnotify = registration;
    return SendMessageA(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&record));
  };
  EXPECT_EQ(notice(DBT_DEVICEQUERYREMOVE, reinterpret_cast<HDEVNOTIFY>(8)), TRUE);
  EXPECT_EQ(fake.closed.size(), 1u);
  EXPECT_EQ(notice(DBT_DEVICEQUERYREMOVE, tray.device_notify.get()), TRUE);
  EXPECT_EQ(fake.closed.size(), 2u);  // closed before the answer
  const std::size_t calls = fake.calls().size();
  SendMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  pump(1000);
  EXPECT_EQ(std::pair(fake.opens.size(), fake.calls().size()), std::pair(std::size_t{2}, calls));
  notice(DBT_DEVICEQUERYREMOVEFAILED, tray.device_notify.get());
  EXPECT_EQ(fake.opens.size(), 3u);  // at once
  // A command that holds the handle past the 3 s wait: the query is refused, the handle closed once the
  // command returns, and only then opened again.
  fake.on(IOCTL_ATA_PASS_THROUGH, [](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    Sleep(4500);
    return power_mode(0xFF)(call, out, returned);
  });
  pump(800);  // the watcher is inside the command
  EXPECT_EQ(notice(DBT_DEVICEQUERYREMOVE, tray.device_notify.get()), BROADCAST_QUERY_DENY);
  EXPECT_EQ(fake.closed.size(), 2u);
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
  EXPECT_TRUE(pump_until([&] { return fake.closed.size() == 3 && fake.opens.size() == 4; }, 4000));
  quit();
}

// Added on a later tick when the notification area is not there yet, again with the last state when
// Explorer restarts; a quit while a drive command hangs removes it at once, ends within 4 s and does
// not close the handle under the command.
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
    EXPECT_TRUE(pump_until([&] { return last_notified() == last; }, 3000));
  }
  pump(1000);  // no retries
  EXPECT_EQ(adds(), added + 2);
  fake.on(IOCTL_ATA_PASS_THROUGH, [](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    Sleep(5000);
    return power_mode(0xFF)(call, out, returned);
  });
  pump(800);  // the watcher is inside a command that hangs
  HANDLE watcher = nullptr;  // the program lets go of its own handle at the quit
  DuplicateHandle(GetCurrentProcess(), tray.worker_thread.get(), GetCurrentProcess(), &watcher, SYNCHRONIZE, FALSE, 0);
  const DWORD start_ms = GetTickCount();
  quit();
  EXPECT_EQ(last_notified().first, static_cast<DWORD>(NIM_DELETE));
  EXPECT_LE(deleted_ms - start_ms, 200u);
  EXPECT_LE(GetTickCount() - start_ms, 4000u);
  EXPECT_TRUE(fake.closed.empty());  // not under the command
  // The command returns, and the watcher ends before the fake driver and the record go.
  EXPECT_EQ(WaitForSingleObject(watcher, 10000), WAIT_OBJECT_0);
  CloseHandle(watcher);
}

// Quit during a blink: it finishes, so the light is restored and the lock that every instance
// shares is set again; the drive is closed.
TEST_F(Tray, QuitDuringABlinkRestoresTheLightAndClosesTheDrive) {
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0x00));  // standby at start: a 200 ms blink at once
  HANDLE other_instance_lock = CreateEventA(nullptr, FALSE, TRUE, "Spindwart V7");
  start();
  const DWORD start_ms = GetTickCount();
  while (light.light == 0 && GetTickCount() - start_ms < 3000) Sleep(1);
  EXPECT_EQ(light.light, 1) << "the blink did not start";
  quit();
  EXPECT_EQ(std::vector<int>({light.light, light.open_devices}), std::vector<int>({0, 0}));
  EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{0x1234});
  EXPECT_EQ(WaitForSingleObject(other_instance_lock, 0), WAIT_OBJECT_0);
  CloseHandle(other_instance_lock);
}

// "Let's Sleep" waits for a poll that is under way (the standby never meets the drive inside a
// command), and a second start of the program for the drive, under another spelling of its name,
// hands it on to this one.
TEST_F(Tray, LetsSleepWaitsForThePollAndASecondInstanceHandsItOn) {
  std::atomic<bool> polling{false}, met{false};
  std::atomic<int> standbys{0};
  fake.on(IOCTL_ATA_PASS_THROUGH, [&](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    if (call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] != 0xE5) met = met || polling, ++standbys;
    else polling = true, Sleep(1000), polling = false;
    return power_mode(0xFF)(call, out, returned);
  });
  start();
  SendMessageA(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 0);  // no ticks: the first poll alone
  EXPECT_TRUE(pump_until([&] { return polling.load(); }, 3000));
  SendMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  EXPECT_EQ(std::pair(standbys.load(), met.load()), std::pair(2, false));  // 0xE0, then 0x94
  std::string exe = "Z:" SPINDWART_EXE, command;
  std::replace(exe.begin(), exe.end(), '/', '\\');
  command = "\"" + exe + "\" /dev/sda";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION second{};
  EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &second));  // not ASSERT: quit() must still end the tray
  EXPECT_TRUE(pump_until([&] { return standbys == 4; }, 10000));
  EXPECT_EQ(WaitForSingleObject(second.hProcess, 10000), WAIT_OBJECT_0);
  CloseHandle(second.hThread), CloseHandle(second.hProcess);
  quit();
}

}  // namespace
