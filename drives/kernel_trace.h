// The watch's own kernel trace session (Windows 8 and later, an elevated administrator): the classic
// kernel providers' disk, thread, process and file-name events, delivered in real time to a thread of
// ours that feeds the decoder. Pages: "Configuring and Starting a SystemTraceProvider Session" (a private
// session with EVENT_TRACE_SYSTEM_LOGGER_MODE, a name and GUID of its own), "EVENT_TRACE_PROPERTIES"
// (ClientContext 1: the performance counter's clock), "FileIo class" (FileRundown lists the open files
// when a session ends).
#pragma once

#include <windows.h>
#include <evntcons.h>

#include <cstdint>
#include <functional>
#include <string>

#include "disk_trace.h"

class KernelTrace {
 public:
  KernelTrace() = default;
  KernelTrace(const KernelTrace&) = delete;
  KernelTrace& operator=(const KernelTrace&) = delete;
  ~KernelTrace() { stop(); }
  // Stops the sessions that a watch left behind when it was killed, then starts this process's.
  bool start(std::string& why_1252);
  void stop();  // the session and its consumer; again does nothing
  std::uint64_t clock();
  void look(const std::function<void(const DiskTrace&)>& look);
  // A second short session whose end lists every open file; its names go into the same decoder.
  void rundown();

 private:
  struct Session {
    std::uint64_t handle = 0, consumer = 0;
    HANDLE thread = nullptr;
  };
  bool open(Session& session, const wchar_t* kind, unsigned long flags, DWORD& error);
  void close(Session& session, const wchar_t* kind);
  static void WINAPI on_event(PEVENT_RECORD record);
  static DWORD WINAPI consume(void* session);
  SRWLOCK mutex_ = SRWLOCK_INIT;
  DiskTrace trace_;
  Session main_, rundown_;
  bool running_ = false;
  HANDLE first_ = nullptr;  // set by the first event
};
