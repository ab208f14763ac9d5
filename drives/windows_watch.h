// What both ways of running the watch take from Windows: the clock, the local time, the rights, the
// kernel's events and the volumes' drive letters; and the one writer of text to a console or a file.
#pragma once

#include <windows.h>

#include <string>

#include "kernel_trace.h"
#include "watch.h"

// UTF-8 text: to a console through the wide API; to a file or a pipe in UTF-8, or (utf8 false) in the
// console's code page.
void write_text(HANDLE out, const std::string& utf8, bool utf8_when_redirected);

class WindowsWatch : public WatchPort {
 public:
  // The time the system was running: QueryUnbiasedInterruptTime leaves out the time it slept, so
  // that time asleep is counted as neither spinning nor standby.
  std::uint64_t now_ms() override;
  void stamp(char (&out)[32], bool iso) override;
  bool elevated() override;
  bool trace_start(std::string& why) override { return trace_.start(why); }
  void trace_stop() override { trace_.stop(); }
  std::uint64_t trace_clock() override { return trace_.clock(); }
  void trace_look(const std::function<void(const DiskTrace&)>& look) override { trace_.look(look); }
  void trace_rundown() override { trace_.rundown(); }
  std::string dos_path(const std::string& nt_path) override;

 private:
  KernelTrace trace_;
};
