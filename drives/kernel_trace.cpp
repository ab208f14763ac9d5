#include "kernel_trace.h"

#include <evntcons.h>
#include <evntrace.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <vector>

#include "watch.h"

namespace {

// An SRW lock held for a scope (std::mutex would bring a thread library along).
struct Lock {
  explicit Lock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~Lock() { ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK& lock_;
};

// EVENT_TRACE_PROPERTIES followed by the room for the session's name, where StartTraceW copies it.
struct Properties {
  EVENT_TRACE_PROPERTIES p;
  wchar_t name[64];
};

// A GUID of the program's own for each session, told apart by process and kind.
constexpr GUID SESSION_GUID = {0x5f1d2c3a, 0x7b21, 0x4c9e, {0x9a, 0x40, 0x53, 0x70, 0x69, 0x6e, 0x64, 0x77}};

constexpr DWORD CONSUMER_FAILED = 0x80000000;  // the session started, its events could not be had

void name_of(wchar_t (&out)[64], const wchar_t* kind, DWORD pid) {
  const std::string digits = std::to_string(pid);
  std::wstring name = L"Spindwart " + std::wstring(kind) + L" ";
  name.append(digits.begin(), digits.end());
  lstrcpynW(out, name.c_str(), 64);
}

void prepare(Properties& props, const wchar_t* kind, unsigned long flags) {
  ZeroMemory(&props, sizeof props);
  props.p.Wnode.BufferSize = sizeof props;
  props.p.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  props.p.Wnode.ClientContext = 1;  // the performance counter: timestamps and response times share a unit
  props.p.Wnode.Guid = SESSION_GUID;
  props.p.Wnode.Guid.Data2 = static_cast<unsigned short>(kind[0]);
  props.p.Wnode.Guid.Data1 ^= GetCurrentProcessId();
  props.p.LogFileMode = EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_SYSTEM_LOGGER_MODE;
  props.p.FlushTimer = 1;
  props.p.EnableFlags = flags;
  props.p.LoggerNameOffset = offsetof(Properties, name);
}

bool process_runs(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return runs;
}

// Sessions of the program's form whose process is gone: a watch that was killed leaves its session
// running, and a system has only a few.
void stop_stale_sessions() {
  std::vector<Properties> all(64);
  PEVENT_TRACE_PROPERTIES list[64];
  for (int i = 0; i < 64; ++i) {
    ZeroMemory(&all[i], sizeof all[i]);
    all[i].p.Wnode.BufferSize = sizeof all[i];
    all[i].p.LoggerNameOffset = offsetof(Properties, name);
    list[i] = &all[i].p;
  }
  ULONG count = 0;
  if (QueryAllTracesW(list, 64, &count) != ERROR_SUCCESS) return;
  for (ULONG i = 0; i < count && i < 64; ++i) {
    char name[64];
    if (WideCharToMultiByte(CP_UTF8, 0, all[i].name, -1, name, sizeof name, nullptr, nullptr) == 0) continue;
    if (!trace_session_stale(name, GetCurrentProcessId(), process_runs)) continue;
    Properties props;
    prepare(props, L"x", 0);
    ControlTraceW(0, all[i].name, &props.p, EVENT_TRACE_CONTROL_STOP);
  }
}

}  // namespace

void WINAPI KernelTrace::on_event(PEVENT_RECORD r) {
  auto* self = static_cast<KernelTrace*>(r->UserContext);
  DiskTraceEvent e;
  std::memcpy(e.provider, &r->EventHeader.ProviderId, sizeof e.provider);
  e.opcode = r->EventHeader.EventDescriptor.Opcode;
  e.version = r->EventHeader.EventDescriptor.Version;
  e.flags = r->EventHeader.Flags;
  e.thread_id = r->EventHeader.ThreadId;
  e.process_id = r->EventHeader.ProcessId;
  e.timestamp = static_cast<std::uint64_t>(r->EventHeader.TimeStamp.QuadPart);
  e.data = static_cast<const std::uint8_t*>(r->UserData);
  e.size = r->UserDataLength;
  Lock lock(self->mutex_);
  disk_trace_feed(self->trace_, e);
  if (self->first_ != nullptr) SetEvent(self->first_);
}

DWORD WINAPI KernelTrace::consume(void* session) {
  ProcessTrace(static_cast<TRACEHANDLE*>(session), 1, nullptr, nullptr);  // until the session stops
  return 0;
}

bool KernelTrace::open(Session& s, const wchar_t* kind, unsigned long flags, DWORD& error) {
  Properties props;
  wchar_t name[64];
  name_of(name, kind, GetCurrentProcessId());
  prepare(props, kind, flags);
  TRACEHANDLE handle = 0;
  error = StartTraceW(&handle, name, &props.p);
  if (error == ERROR_ALREADY_EXISTS) {  // this process id's session, left by a watch long gone
    ControlTraceW(0, name, &props.p, EVENT_TRACE_CONTROL_STOP);
    prepare(props, kind, flags);
    error = StartTraceW(&handle, name, &props.p);
  }
  if (error != ERROR_SUCCESS) return false;
  s.handle = handle;
  EVENT_TRACE_LOGFILEW consumer{};
  consumer.LoggerName = name;
  consumer.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD | PROCESS_TRACE_MODE_RAW_TIMESTAMP;
  consumer.EventRecordCallback = on_event;
  consumer.Context = this;
  s.consumer = OpenTraceW(&consumer);
  if (s.consumer == INVALID_PROCESSTRACE_HANDLE) {
    error = GetLastError() | CONSUMER_FAILED;
    s.consumer = 0;
    close(s, kind);  // nothing else before the session is stopped
    return false;
  }
  s.thread = CreateThread(nullptr, 0, consume, &s.consumer, 0, nullptr);
  if (s.thread == nullptr) {
    error = GetLastError();
    close(s, kind);
    return false;
  }
  return true;
}

void KernelTrace::close(Session& s, const wchar_t* kind) {
  if (s.handle != 0) {
    Properties props;
    wchar_t name[64];
    name_of(name, kind, GetCurrentProcessId());
    prepare(props, kind, 0);
    ControlTraceW(s.handle, nullptr, &props.p, EVENT_TRACE_CONTROL_STOP);
    s.handle = 0;
  }
  if (s.thread != nullptr) {
    WaitForSingleObject(s.thread, 3000);  // the last buffers, the rundown among them
    CloseHandle(s.thread);
    s.thread = nullptr;
  }
  if (s.consumer != 0) CloseTrace(s.consumer);
  s.consumer = 0;
}

bool KernelTrace::start(std::string& why) {
  stop_stale_sessions();
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  trace_.ticks_per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  DWORD error = 0;
  first_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  running_ = open(main_, L"watch", EVENT_TRACE_FLAG_PROCESS | EVENT_TRACE_FLAG_THREAD | EVENT_TRACE_FLAG_DISK_IO |
                                        EVENT_TRACE_FLAG_DISK_FILE_IO, error);
  // A kernel session names every running process and thread as it starts (DCStart), delivered within
  // the flush time: a session that delivers nothing is not one (32-bit Wine's OpenTraceW succeeds).
  if (running_ && WaitForSingleObject(first_, 3000) != WAIT_OBJECT_0) {
    stop();
    error = CONSUMER_FAILED | ERROR_NO_DATA;
  }
  if (running_) return true;
  if (error == (CONSUMER_FAILED | ERROR_NO_DATA))
    why = "Windows liefert keine Ereignisse (die Sitzung blieb stumm)";
  else if (error & CONSUMER_FAILED)
    why = "Windows liefert keine Ereignisse (Fehler " + std::to_string(error & ~CONSUMER_FAILED) + ")";
  else if (error == ERROR_ACCESS_DENIED)
    why = "Administratorrechte fehlen";
  else if (error == ERROR_NO_SYSTEM_RESOURCES)
    why = "keine Ereignissitzung frei (Windows hat h\xF6" "chstens acht)";
  else if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED)
    why = "erst ab Windows 8";
  else
    why = "keine Ereignissitzung (Fehler " + std::to_string(error) + ")";
  return false;
}

void KernelTrace::stop() {
  close(rundown_, L"rundown");
  close(main_, L"watch");
  running_ = false;
  Lock lock(mutex_);
  if (first_ != nullptr) CloseHandle(first_);
  first_ = nullptr;
}

std::uint64_t KernelTrace::clock() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart);
}

void KernelTrace::look(const std::function<void(const DiskTrace&)>& look) {
  Lock lock(mutex_);
  look(trace_);
}

void KernelTrace::rundown() {
  if (!running_) return;
  close(rundown_, L"rundown");  // the one before, long over
  DWORD error = 0;
  if (open(rundown_, L"rundown", EVENT_TRACE_FLAG_DISK_FILE_IO, error)) {
    Properties props;
    prepare(props, L"rundown", 0);
    ControlTraceW(rundown_.handle, nullptr, &props.p, EVENT_TRACE_CONTROL_STOP);  // its end lists the open files
    rundown_.handle = 0;
  }
}
