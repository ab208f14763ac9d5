// The real window procedure, menu, notify record, events and watcher under Wine, with a scripted
// drive and an emulated keyboard light.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ata.h"
#include "disk.h"
#include "fake_driver.h"
#include "fake_light.h"
#include "texts.h"
#include "tray.h"

namespace {

// Handles the thread's messages for a while, or until done() holds. False on time-out.
template <typename Done>
bool pump_until(Done done, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (done()) return true;
    if (GetTickCount() - start >= timeout_ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}
void pump(DWORD ms) { pump_until([] { return false; }, ms); }

HANDLE next_handle() {
  HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return probe;
}

// Drive commands that reached the ATA route, by command code.
std::vector<std::uint8_t> commands(const FakeDriver& fake) {
  std::vector<std::uint8_t> result;
  for (const FakeCall& call : fake.calls())
    if (call.code == IOCTL_ATA_PASS_THROUGH) result.push_back(call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND]);
  return result;
}
std::vector<std::uint8_t> standby_commands(const FakeDriver& fake) {
  std::vector<std::uint8_t> result;
  for (std::uint8_t c : commands(fake))
    if (c != ATA_CMD_CHECK_POWER_MODE) result.push_back(c);
  return result;
}

// Waits for the pop-up menu and picks "Let's Sleep" by its mnemonic, as a user's key press would;
// without a menu, it tells the UI thread to give up.
DWORD WINAPI choose_lets_sleep(void* ui_thread) {
  for (int i = 0; i < 100; ++i) {
    Sleep(20);
    if (HWND popup = FindWindowA("#32768", nullptr)) {
      PostMessageA(popup, WM_KEYDOWN, 'L', 0);
      PostMessageA(popup, WM_CHAR, 'l', 0);
      return 0;
    }
  }
  PostThreadMessageA(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(ui_thread)), WM_CANCELMODE, 0, 0);
  return 1;
}

class TrayWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
    ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
    window = tray.notify.hWnd;
    ASSERT_NE(window, nullptr);
  }
  void TearDown() override {
    if (IsWindow(window)) SendMessageA(window, WM_COMMAND, CMD_QUIT, 0);
    EXPECT_EQ(tray_run(), 0);  // drains the queue up to the quit message
  }
  bool shows_sleeping() { return tray.notify.hIcon == tray.sleeping_icon; }
  bool checked() { return (GetMenuState(tray.menu, CMD_SLEEPING, MF_BYCOMMAND) & MF_CHECKED) != 0; }

  FakeDriver fake;
  FakeLight light;
  HWND window = nullptr;
};

TEST_F(TrayWindow, HiddenWindowNotifyRecordAndMenu) {
  char text[128] = {};
  GetClassNameA(window, text, sizeof text);
  EXPECT_STREQ(text, "Spindwart V7 /dev/hda");
  GetWindowTextA(window, text, sizeof text);
  EXPECT_STREQ(text, "Spindwart V7 /dev/hda");
  EXPECT_FALSE(IsWindowVisible(window));

  EXPECT_EQ(tray.notify.cbSize, sizeof(void*) == 8 ? 104u : 88u);
  EXPECT_EQ(tray.notify.uID, 0u);
  EXPECT_EQ(tray.notify.uFlags, 7u);
  EXPECT_EQ(tray.notify.uCallbackMessage, 0x8000u);
  EXPECT_EQ(tray.notify.hIcon, tray.awake_icon);
  EXPECT_STREQ(tray.notify.szTip, "Spindwart V7 /dev/hda");

  const UINT ids[] = {1010, 0, 1020, 0, 1030, 1040};
  const char* texts[] = {"&Let's Sleep", "", "&Sleeping", "", "&Info", "&Tsch\xFCss"};
  const HBITMAP images[] = {tray.sleeping_bitmap, nullptr, nullptr, nullptr, tray.app_bitmap, tray.awake_bitmap};
  ASSERT_EQ(GetMenuItemCount(tray.menu), 6);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_CHECKMARKS | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = sizeof text;
    ASSERT_TRUE(GetMenuItemInfoA(tray.menu, i, TRUE, &item));
    EXPECT_EQ(item.wID, ids[i]);
    EXPECT_EQ((item.fType & MFT_SEPARATOR) != 0, ids[i] == 0);
    if (ids[i] != 0) {
      EXPECT_STREQ(text, texts[i]);
    }
    EXPECT_EQ(item.hbmpChecked, images[i]);
    EXPECT_EQ(item.hbmpUnchecked, images[i]);
    if (ids[i] != 0) {
      EXPECT_EQ((item.fState & MFS_GRAYED) != 0, ids[i] == 1020);
    }
    EXPECT_EQ((item.fState & MFS_DEFAULT) != 0, ids[i] == 1010);
  }
  EXPECT_EQ(GetMenuDefaultItem(tray.menu, FALSE, 0), 1010u);
  wchar_t wide[32] = {};
  GetMenuStringW(tray.menu, CMD_QUIT, wide, 32, MF_BYCOMMAND);
  EXPECT_EQ(std::wstring(wide), L"&Tsch\u00FCss");

  BITMAP bitmap{};
  ASSERT_TRUE(GetObjectA(tray.awake_bitmap, sizeof bitmap, &bitmap));
  EXPECT_EQ(bitmap.bmWidth, 16);
  EXPECT_EQ(bitmap.bmHeight, 16);

  // The events, by their names, and the one blink lock of every instance, set.
  for (const char* name : {"pindwart V7 /dev/hda", "indwart V7 /dev/hda", "Spindwart V7"}) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    EXPECT_NE(event, nullptr) << name;
    if (event) CloseHandle(event);
  }
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "Spindwart V7 /dev/hda");
  EXPECT_NE(mutex, nullptr);
  if (mutex) CloseHandle(mutex);
  HANDLE lock = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "Spindwart V7");
  EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);  // created set: the first blink need not wait
  SetEvent(lock);
  CloseHandle(lock);
}

TEST_F(TrayWindow, IconAndCheckMarkFollowTheDrive) {
  pump(500);
  EXPECT_FALSE(shows_sleeping());
  EXPECT_FALSE(checked());

  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0x00));
  EXPECT_TRUE(pump_until([&] { return shows_sleeping(); }, 3000));
  EXPECT_TRUE(checked());

  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  EXPECT_TRUE(pump_until([&] { return !shows_sleeping(); }, 3000));
  EXPECT_FALSE(checked());
}

// Unplugged: the handle is let go at once and standby shown; the name is opened again later and
// the drive followed as before.
TEST_F(TrayWindow, ADriveThatGoesAwayAndComesBack) {
  pump(500);
  fake.on(IOCTL_ATA_PASS_THROUGH, refuse_with(1167));  // ERROR_DEVICE_NOT_CONNECTED
  EXPECT_TRUE(pump_until([&] { return shows_sleeping() && fake.closed.size() == 1; }, 3000));
  EXPECT_EQ(fake.opens.size(), 1u);
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  EXPECT_TRUE(pump_until([&] { return !shows_sleeping(); }, 7000));
  EXPECT_EQ(fake.opens.size(), 2u);
  EXPECT_EQ(ata_method_mask, ATA_ROUTES_ALL);
}

TEST_F(TrayWindow, NoPollWhileTheSessionIsLocked) {
  pump(500);
  SendMessageA(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 0);
  pump(500);  // a tick already handed over may still be polled
  const std::size_t before = fake.calls().size();
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0x00));
  pump(1300);
  EXPECT_EQ(fake.calls().size(), before);
  EXPECT_FALSE(shows_sleeping());  // the icon keeps its last state

  SendMessageA(window, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 0);
  EXPECT_TRUE(pump_until([&] { return shows_sleeping(); }, 3000));
}

TEST_F(TrayWindow, ClickMenuItemAndPostedCommandEachSendStandby) {
  pump(500);
  SendMessageA(window, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
  EXPECT_TRUE(pump_until([&] { return standby_commands(fake).size() == 2; }, 3000));
  SendMessageA(window, WM_TRAYNOTIFY, 1, WM_LBUTTONDOWN);  // not our icon
  pump(300);
  EXPECT_EQ(standby_commands(fake).size(), 2u);

  // The menu: opened by a right click, "Let's Sleep" chosen by its mnemonic.
  const DWORD thread = GetCurrentThreadId();
  HANDLE chooser = CreateThread(nullptr, 0, choose_lets_sleep,
                                reinterpret_cast<void*>(static_cast<std::uintptr_t>(thread)), 0, nullptr);
  SendMessageA(window, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
  WaitForSingleObject(chooser, 3000);
  CloseHandle(chooser);
  EXPECT_TRUE(pump_until([&] { return standby_commands(fake).size() == 4; }, 3000));

  PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  EXPECT_TRUE(pump_until([&] { return standby_commands(fake).size() == 6; }, 3000));
  EXPECT_EQ(standby_commands(fake),
            (std::vector<std::uint8_t>{0xE0, 0x94, 0xE0, 0x94, 0xE0, 0x94}));

  // Not commands for us: the grayed item, and a control's notification.
  SendMessageA(window, WM_COMMAND, CMD_SLEEPING, 0);
  SendMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, reinterpret_cast<LPARAM>(window));
  EXPECT_EQ(standby_commands(fake).size(), 6u);
}

TEST_F(TrayWindow, SecondLetsSleepWithoutATickWaitsTheFullIdleWait) {
  pump(500);
  PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
  DispatchMessageA(&message);
  EXPECT_EQ(standby_commands(fake).size(), 2u);
  const DWORD start = GetTickCount();
  ASSERT_TRUE(PeekMessageA(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
  DispatchMessageA(&message);
  const DWORD waited = GetTickCount() - start;
  EXPECT_EQ(standby_commands(fake).size(), 4u);
  EXPECT_GE(waited, 1400u);
  EXPECT_LT(waited, 3000u);
}

// Plays a notification area: refuses NIM_ADD while `missing` says so, and records what it is asked.
struct NotificationArea {
  static inline bool missing = false;
  static inline std::vector<std::pair<DWORD, HICON>> calls;
  static BOOL WINAPI notify(DWORD message, PNOTIFYICONDATAA data) {
    calls.emplace_back(message, data->hIcon);
    return !(missing && message == NIM_ADD);
  }
  static std::size_t adds() {
    std::size_t n = 0;
    for (const auto& call : calls) n += call.first == NIM_ADD;
    return n;
  }
};

TEST(TrayIcon, AddedOnALaterTickWhenTheNotificationAreaIsNotThereYet) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  tray_shell_notify = NotificationArea::notify;
  NotificationArea::calls.clear();
  NotificationArea::missing = true;
  ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
  EXPECT_EQ(NotificationArea::adds(), 1u);
  EXPECT_TRUE(pump_until([] { return NotificationArea::adds() >= 3; }, 3000));  // tried again on ticks
  NotificationArea::missing = false;
  EXPECT_TRUE(pump_until([] { return tray.icon_added; }, 3000));
  const std::size_t adds = NotificationArea::adds();
  pump(1000);
  EXPECT_EQ(NotificationArea::adds(), adds);  // and no more once it is there
  EXPECT_EQ(NotificationArea::calls.back().first, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(NotificationArea::calls.back().second, tray.awake_icon);
  SendMessageA(tray.notify.hWnd, WM_COMMAND, CMD_QUIT, 0);
  EXPECT_EQ(tray_run(), 0);
  tray_shell_notify = Shell_NotifyIconA;
}

TEST(TrayIcon, AddedAgainWithTheLastStateWhenExplorerRestarts) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0x00));
  tray_shell_notify = NotificationArea::notify;
  NotificationArea::calls.clear();
  NotificationArea::missing = false;
  ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
  ASSERT_TRUE(pump_until([] { return tray.notify.hIcon == tray.sleeping_icon; }, 3000));
  ASSERT_NE(tray.taskbar_created, 0u);
  EXPECT_EQ(tray.taskbar_created, RegisterWindowMessageA("TaskbarCreated"));
  // What Explorer broadcasts to every top-level window when it has made a new taskbar.
  PostMessageA(HWND_BROADCAST, tray.taskbar_created, 0, 0);
  EXPECT_TRUE(pump_until([] { return NotificationArea::adds() == 2; }, 3000));
  EXPECT_EQ(NotificationArea::calls.back().second, tray.sleeping_icon);
  SendMessageA(tray.notify.hWnd, WM_COMMAND, CMD_QUIT, 0);
  EXPECT_EQ(tray_run(), 0);
  EXPECT_EQ(NotificationArea::calls.back().first, static_cast<DWORD>(NIM_DELETE));  // the icon goes with the program
  tray_shell_notify = Shell_NotifyIconA;
}

std::wstring box_text, box_caption;

DWORD WINAPI read_and_close_info_box(void*) {
  for (int i = 0; i < 200; ++i) {
    Sleep(20);
    if (HWND box = FindWindowW(L"#32770", L"Spindwart V7 /dev/hda")) {
      static wchar_t buffer[4096];
      GetDlgItemTextW(box, 0xFFFF, buffer, 4096);
      box_text = buffer;
      GetWindowTextW(box, buffer, 4096);
      box_caption = buffer;
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
  }
  return 1;
}

// The user's texts through the wide API; run again under another ANSI code page (932 or 1251).
TEST(TrayCodePage, MenuAndMessageBoxesReadRightInAnyCodePage) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
  wchar_t text[64] = {};
  GetMenuStringW(tray.menu, CMD_QUIT, text, 64, MF_BYCOMMAND);
  EXPECT_EQ(std::wstring(text), L"&Tsch\u00FCss") << "code page " << GetACP();

  // The information box: a helper reads it and closes it.
  box_text.clear();
  box_caption.clear();
  HANDLE reader = CreateThread(nullptr, 0, read_and_close_info_box, nullptr, 0, nullptr);
  SendMessageA(tray.notify.hWnd, WM_COMMAND, CMD_INFO, 0);
  WaitForSingleObject(reader, 5000);
  CloseHandle(reader);
  EXPECT_EQ(box_caption, L"Spindwart V7 /dev/hda");
  EXPECT_NE(box_text.find(L"Ich \u00FCbernehme keine Haftung f\u00FCr Sch\u00E4den"), std::wstring::npos);
  EXPECT_NE(box_text.find(L"Au\u00DFerdem rennt"), std::wstring::npos);
  SendMessageA(tray.notify.hWnd, WM_COMMAND, CMD_QUIT, 0);
  EXPECT_EQ(tray_run(), 0);
}

TEST(TrayCodePage, ThisRunsUnderTheCodePageItWasMeantFor) {
  const char* expected = std::getenv("EXPECTED_ACP");
  if (expected == nullptr) GTEST_SKIP() << "run without a code page to check";
  EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
}

// A blink is under way when "Tschüss" comes: shutdown lets it finish, so the light is restored
// and the lock that every instance shares is set again.
TEST(TrayShutdown, QuitDuringABlinkRestoresTheLightAndTheLock) {
  HANDLE other_instance_lock = CreateEventA(nullptr, FALSE, TRUE, "Spindwart V7");
  FakeDriver fake;
  FakeLight light;
  light.hotkey_nt_device = true;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0x00));  // in standby at start: a 200 ms blink at once
  ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
  const DWORD start = GetTickCount();
  while (light.light == 0 && GetTickCount() - start < 3000) Sleep(1);
  ASSERT_EQ(light.light, 1) << "the blink did not start";
  SendMessageA(tray.notify.hWnd, WM_COMMAND, CMD_QUIT, 0);
  EXPECT_EQ(tray_run(), 0);
  EXPECT_EQ(light.light, 0);
  EXPECT_EQ(light.open_devices, 0);
  EXPECT_EQ(WaitForSingleObject(other_instance_lock, 0), WAIT_OBJECT_0);
  CloseHandle(other_instance_lock);
}

TEST(TrayShutdown, EveryHandleIsReleased) {
  FakeDriver fake;
  FakeLight light;
  light.hotkey_nt_device = true;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0x00));
  for (int round = 0; round < 2; ++round) {  // the first round lets the system set itself up
    const HANDLE before = next_handle();
    fake.closed.clear();
    ASSERT_TRUE(tray_start(GetModuleHandleA(nullptr), "/dev/hda"));
    pump(700);
    SendMessageA(tray.notify.hWnd, WM_COMMAND, CMD_QUIT, 0);
    EXPECT_EQ(tray_run(), 0);
    EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{0x1234});  // the drive, once
    EXPECT_EQ(light.open_devices, 0);
    if (round == 1) {
      EXPECT_EQ(next_handle(), before);
    }
  }
}

}  // namespace
