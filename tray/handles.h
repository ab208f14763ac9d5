// One owner for each of the tray's kernel objects: a move-only holder with its kind's one way to
// close, and its kind's "none" (null for events, mutexes, threads, device notices and libraries; -1 for
// the disk layer's drive handle), so that nothing is closed twice or by two owners. release() hands
// the object over without closing it: what a watcher stuck in a drive command may still use is left
// to the process exit that way.
#pragma once

#include <windows.h>

#include "disk.h"

template <typename T, T None, auto Close>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T value) : value_(value) {}
  Owned(Owned&& other) noexcept : value_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }
  T get() const { return value_; }
  explicit operator bool() const { return value_ != None; }
  void reset(T value = None) {
    const T old = value_;
    value_ = value;
    if (old != None) Close(old);
  }
  T release() {
    const T value = value_;
    value_ = None;
    return value;
  }

 private:
  T value_ = None;
};

using OwnedHandle = Owned<HANDLE, nullptr, CloseHandle>;
using OwnedNotice = Owned<HDEVNOTIFY, nullptr, UnregisterDeviceNotification>;
using OwnedLibrary = Owned<HMODULE, nullptr, FreeLibrary>;
using OwnedDrive = Owned<int, -1, disk_close>;
