// A poll on the watcher thread beside a standby command on the UI thread, on one handle. The
// sanitizer builds run this to show that the two share nothing but the route mask.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ata.h"
#include "disk.h"
#include "fake_driver.h"

namespace {

TEST(Concurrency, PollBesideStandbyOnOneHandle) {
  for (int round = 0; round < 20; ++round) {
    FakeDriver fake;
    // Both threads find the ATA route refused at the same moment; the IDE route answers.
    fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply({0, 0xFF, 0, 0, 0, 0, 0x50, 0}));
    std::atomic<bool> go{false};
    std::atomic<int> awake_answers{0};
    std::thread watcher([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 50; ++i) awake_answers += drive_check_sleeping(0x1234) == 0 ? 1 : 0;
    });
    std::thread ui([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 25; ++i) EXPECT_EQ(drive_standby(0x1234), 0);
    });
    go = true;
    watcher.join();
    ui.join();
    EXPECT_EQ(awake_answers, 50);
    EXPECT_EQ(ata_method_mask, 0x06);
    EXPECT_EQ(fake.calls_of(IOCTL_IDE_PASS_THROUGH), 100u);
    EXPECT_LE(fake.calls_of(IOCTL_ATA_PASS_THROUGH), 2u);  // each thread at most once
    EXPECT_EQ(fake.live_pages, 0);
  }
}

}  // namespace
