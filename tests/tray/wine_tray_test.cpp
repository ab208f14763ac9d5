// The real window procedure, menu, notify record, events and watcher under Wine, with a scripted
// drive and an emulated keyboard light.
#include <gtest/gtest.h>

#include <windows.h>

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

// The handle value the system gives next: any handle left open moves it.
HANDLE next_handle() {
  HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return probe;
}

// The standby commands (not CHECK POWER MODE) that reached the drive.
std::vector<std::uint8_t> standby_commands(const FakeDriver& fake) {
  std::vector<std::uint8_t> result;
  for (const FakeCall& call : fake.calls())
    if (call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] != 0xE5)
      result.push_back(call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND]);
  return result;
}

// Plays a notification area that is missing while `missing` says so, and records what it is asked.
bool missing = false;
std::vector<std::pair<DWORD, HICON>> notified;
BOOL WINAPI notification_area(DWORD message, PNOTIFYICONDATAA data) {
  notified.emplace_back(message, data->hIcon);
  return !(missing && message == NIM_ADD);
}
std::size_t adds() {
  std::size_t n = 0;
  for (const auto& call : notified) n += call.first == NIM_ADD;
  return n;
}

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
    light.hotkey_nt_device = true;
    notified.clear();
    missing = false;
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
  FakeDriver fake;
  FakeLight light;
  HWND window = nullptr;
};

TEST_F(Tray, WindowNotifyRecordMenuAndEvents) {
  start();
  char text[64] = {};
  GetClassNameA(window, text, sizeof text);
  EXPECT_STREQ(text, "Spindwart V7 /dev/hda");
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(tray.notify.cbSize, sizeof(void*) == 8 ? 104u : 88u);
  EXPECT_EQ(tray.notify.uID, 0u);
  EXPECT_EQ(tray.notify.uFlags, 7u);
  EXPECT_EQ(tray.notify.uCallbackMessage, 0x8000u);
  EXPECT_STREQ(tray.notify.szTip, "Spindwart V7 /dev/hda");
  const UINT ids[] = {1010, 0, 1020, 0, 1030, 1040};
  const char* texts[] = {"&Let's Sleep", "", "&Sleeping", "", "&Info", "&Tsch\xFCss"};
  const HBITMAP images[] = {tray.sleeping_bitmap, nullptr, nullptr, nullptr, tray.app_bitmap, tray.awake_bitmap};
  ASSERT_EQ(GetMenuItemCount(tray.menu), 6);
  for (int i = 0; i < 6; ++i) {
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STATE | MIIM_CHECKMARKS | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = sizeof text;
    text[0] = 0;
    ASSERT_TRUE(GetMenuItemInfoA(tray.menu, i, TRUE, &item));
    EXPECT_EQ(item.wID, ids[i]);
    EXPECT_STREQ(text, texts[i]);
    EXPECT_EQ(item.hbmpChecked, images[i]);
    EXPECT_EQ(item.hbmpUnchecked, images[i]);
    if (ids[i] != 0) {
      EXPECT_EQ((item.fState & MFS_GRAYED) != 0, i == 2);
      EXPECT_EQ((item.fState & MFS_DEFAULT) != 0, i == 0);
    }
  }
  for (const char* name : {"pindwart V7 /dev/hda", "indwart V7 /dev/hda"}) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    EXPECT_NE(event, nullptr) << name;
    CloseHandle(event);
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

// Waits for the pop-up menu and picks "Let's Sleep" by its mnemonic, as a key press would.
DWORD WINAPI choose_lets_sleep(void*) {
  for (int i = 0; i < 100; ++i) {
    Sleep(20);
    if (HWND popup = FindWindowA("#32768", nullptr)) {
      PostMessageA(popup, WM_KEYDOWN, 'L', 0);
      PostMessageA(popup, WM_CHAR, 'l', 0);
      return 0;
    }
  }
  return 1;
}

TEST_F(Tray, ClickMenuAndPostedCommandEachSendStandby) {
  start();
  pump(500);
  SendMessageA(window, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
  SendMessageA(window, WM_TRAYNOTIFY, 1, WM_LBUTTONDOWN);  // not our icon
  EXPECT_TRUE(pump_until([&] { return standby_commands(fake).size() == 2; }, 3000));
  HANDLE chooser = CreateThread(nullptr, 0, choose_lets_sleep, nullptr, 0, nullptr);
  SendMessageA(window, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
  EXPECT_EQ(WaitForSingleObject(chooser, 3000), WAIT_OBJECT_0);
  CloseHandle(chooser);
  EXPECT_TRUE(pump_until([&] { return standby_commands(fake).size() == 4; }, 3000));
  // Two commands without a tick between them: the second waits the full idle wait.
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
  EXPECT_EQ(standby_commands(fake), (std::vector<std::uint8_t>{0xE0, 0x94, 0xE0, 0x94, 0xE0, 0x94, 0xE0, 0x94}));
  quit();
}

// Added on a later tick when the notification area is not there yet, again with the last state when
// Explorer restarts, and removed at the end.
TEST_F(Tray, TheIconInTheNotificationArea) {
  tray_shell_notify = notification_area;
  missing = true;
  start();
  EXPECT_TRUE(pump_until([] { return adds() >= 3; }, 3000));
  missing = false;
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0x00));
  EXPECT_TRUE(pump_until([&] { return tray.icon_added && sleeping(); }, 3000));
  const std::size_t added = adds();
  pump(1000);
  EXPECT_EQ(adds(), added);
  PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  EXPECT_TRUE(pump_until([&] { return adds() == added + 1; }, 3000));
  EXPECT_EQ(notified.back(), std::make_pair(static_cast<DWORD>(NIM_ADD), tray.sleeping_icon));
  quit();
  EXPECT_EQ(notified.back().first, static_cast<DWORD>(NIM_DELETE));
}

std::wstring box_text;

DWORD WINAPI read_and_close_info_box(void*) {
  for (int i = 0; i < 200; ++i) {
    Sleep(20);
    if (HWND box = FindWindowW(L"#32770", L"Spindwart V7 /dev/hda")) {
      static wchar_t buffer[4096];
      GetDlgItemTextW(box, 0xFFFF, buffer, 4096);
      box_text = buffer;
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
  }
  return 1;
}

// The user's texts through the wide API; run again under the ANSI code pages 932 and 1251.
TEST_F(Tray, CodePageMenuAndMessageBoxReadRight) {
  if (const char* expected = std::getenv("EXPECTED_ACP")) {
    EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
  }
  start();
  wchar_t text[64] = {};
  GetMenuStringW(tray.menu, CMD_QUIT, text, 64, MF_BYCOMMAND);
  EXPECT_EQ(std::wstring(text), L"&Tsch\u00FCss");
  HANDLE reader = CreateThread(nullptr, 0, read_and_close_info_box, nullptr, 0, nullptr);
  SendMessageA(window, WM_COMMAND, CMD_INFO, 0);
  EXPECT_EQ(WaitForSingleObject(reader, 5000), WAIT_OBJECT_0);
  CloseHandle(reader);
  EXPECT_NE(box_text.find(L"Ich \u00FCbernehme keine Haftung f\u00FCr Sch\u00E4den"), std::wstring::npos);
  EXPECT_NE(box_text.find(L"Au\u00DFerdem rennt"), std::wstring::npos);
  quit();
}

// Quit during a blink: it finishes, so the light is restored and the lock that every instance
// shares is set again; every handle is let go (the first round lets the system set itself up).
TEST_F(Tray, QuitDuringABlinkRestoresTheLightAndReleasesEverything) {
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0x00));  // standby at start: a 200 ms blink at once
  HANDLE other_instance_lock = CreateEventA(nullptr, FALSE, TRUE, "Spindwart V7");
  HANDLE before = nullptr;
  for (int round = 0; round < 2; ++round) {
    before = round == 1 ? next_handle() : before;
    fake.closed.clear();
    start();
    const DWORD start_ms = GetTickCount();
    while (light.light == 0 && GetTickCount() - start_ms < 3000) Sleep(1);
    EXPECT_EQ(light.light, 1) << "the blink did not start";
    quit();
    EXPECT_EQ(light.light, 0);
    EXPECT_EQ(light.open_devices, 0);
    EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{0x1234});
  }
  EXPECT_EQ(next_handle(), before);
  EXPECT_EQ(WaitForSingleObject(other_instance_lock, 0), WAIT_OBJECT_0);
  CloseHandle(other_instance_lock);
}

}  // namespace
