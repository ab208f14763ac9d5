#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char NOT_ASKED[] = "kann nicht abgefragt werden ";
constexpr std::uint64_t MINUTE_MS = 60000;
constexpr std::uint32_t SYSTEM_PROCESS = 4, NO_PROCESS = 0xFFFFFFFF;

bool same_drive(const char* a, const char* b) {
  char first[24], second[24];
  return disk_device_name(a, first) && disk_device_name(b, second) && std::strcmp(first, second) == 0;
}

// "3 Lesezugriffe, 1 Schreibzugriff"
void add_accesses(TextLine& line, std::uint32_t reads, std::uint32_t writes) {
  line.add_number(reads);
  line.add(reads == 1 ? " Lesezugriff, " : " Lesezugriffe, ");
  line.add_number(writes);
  line.add(writes == 1 ? " Schreibzugriff" : " Schreibzugriffe");
}

const char* state_words(const WatchedDrive& drive, char (&words)[32]) {
  if (drive.state != DriveState::spinning && drive.state != DriveState::standby) return "-";
  if (drive.state == DriveState::standby && drive.by_windows) return "Standby (Windows)";
  power_mode_words(drive.mode, words);
  return words;
}

// One event: a line for a person, or a row of comma-separated values.
struct Event {
  const char* event;
  std::uint64_t previous_ms = 0;
  std::int64_t reads = -1, writes = -1;  // < 0: no counts
  std::string detail;                    // UTF-8
  const DiskIoCause* cause = nullptr;    // who issued the first read or write
  const WatchedDrive::HeldWake* held = nullptr;  // the time and state it was seen at, when not now
};

std::string stamp_now(const Watch& watch, WatchPort& port) {
  char stamp[32];
  port.stamp(stamp, watch.options.csv);
  return stamp;
}

void emit(const Watch& watch, WatchPort& port, const WatchedDrive& drive, const Event& e) {
  char words[32];
  const char* state = e.held ? e.held->state.c_str() : state_words(drive, words);  // Windows-1252
  TextLine line;
  if (watch.options.csv) {
    line.csv(e.held ? e.held->stamp : stamp_now(watch, port));
    line.csv(drive.name);
    line.csv(e.event);
    line.csv(utf8_from_1252(state));
    line.csv_number(e.previous_ms / 1000);
    line.csv(e.reads >= 0 ? std::to_string(e.reads) : "");
    line.csv(e.writes >= 0 ? std::to_string(e.writes) : "");
    line.csv(e.cause ? e.cause->process : "");
    line.csv(e.cause && e.cause->process_id != NO_PROCESS ? std::to_string(e.cause->process_id) : "");
    line.csv(e.cause && e.cause->file[0] != '\0' ? port.dos_path(e.cause->file) : "");
  } else {
    line.add_utf8(e.held ? e.held->stamp : stamp_now(watch, port));
    line.add("  ");
    line.column(drive.name, 9);
    line.column(state, 18);
    line.add_utf8(e.detail);
  }
  port.out(line.text);
}

void note(WatchPort& port, const char* first, const char* second = "", const char* third = "") {
  TextLine line;
  line.add(first);
  line.add(second);
  line.add(third);
  port.note(line.text);
}

std::uint64_t in_state_ms(const WatchedDrive& drive, std::uint64_t now) { return now - drive.since_ms; }

void begin_state(WatchedDrive& drive, DriveState state, std::uint64_t now) {
  drive.state = state;
  drive.since_ms = now;
  drive.at_change = drive.counts;
}

// Standby time so far, the spell that is still going on included.
std::uint64_t standby_ms(const WatchedDrive& drive, std::uint64_t now, std::uint64_t* longest) {
  const std::uint64_t current = drive.state == DriveState::standby ? in_state_ms(drive, now) : 0;
  if (longest) *longest = current > drive.longest_sleep_ms ? current : drive.longest_sleep_ms;
  return drive.standby_ms + current;
}

void leave_standby(WatchedDrive& drive, std::uint64_t now) {
  if (drive.state != DriveState::standby) return;
  drive.standby_ms = standby_ms(drive, now, &drive.longest_sleep_ms);
}

// Who issued the first read or write since the drive was last seen asleep, and how many came after it
// before the wake was seen.
bool find_cause(WatchPort& port, const WatchedDrive& drive, std::uint64_t after, std::uint64_t before, DiskIoCause& cause,
                std::uint32_t& more, std::uint32_t& others) {
  bool found = false;
  port.trace_look([&](const DiskTrace& trace) {
    found = disk_trace_first_io(trace, drive.disk_number, after, &cause) && cause.issued <= before;
    std::uint32_t events = 0;
    if (found) disk_trace_count(trace, drive.disk_number, after, before, cause.process_id, &events, &others);
    more = events > 0 ? events - 1 : 0;
  });
  return found;
}

std::string waker_name(const DiskIoCause& cause) {
  if (cause.process_id == SYSTEM_PROCESS) return "System";
  if (cause.process[0] != '\0') return cause.process;
  return cause.process_id == NO_PROCESS ? "unbekannt" : "PID " + std::to_string(cause.process_id);
}

// The held wake's line, with its cause as far as the events tell it by now: at once when the first
// access and its file are known, else once the wait is over.
void release_wake(Watch& watch, WatchPort& port, WatchedDrive& drive, std::uint64_t now, bool at_once) {
  WatchedDrive::HeldWake& wake = drive.wake;
  if (!wake.held) return;
  DiskIoCause cause{};
  std::uint32_t more = 0, others = 0;
  const bool found = find_cause(port, drive, wake.after, wake.clock, cause, more, others);
  if (!at_once && now - wake.seen_ms < WAKE_WAIT_MS && !(found && cause.file[0] != '\0')) return;
  wake.held = false;
  std::string detail = wake.detail + "; ";
  if (!found) {
    detail += "im Ereignisprotokoll kein Zugriff gefunden";
  } else {
    detail += cause_words(cause, port);
    if (more != 0) {
      detail += "; " + std::to_string(more) + (more == 1 ? " weiterer Zugriff" : " weitere Zugriffe");
      detail += others == 0 ? ", alle vom selben Prozess" : ", von " + std::to_string(others) + (others == 1 ? " anderen Prozess" : " anderen Prozessen");
    }
    auto waker = std::find_if(drive.wakers.begin(), drive.wakers.end(), [&](const auto& w) { return w.first == waker_name(cause); });
    if (waker == drive.wakers.end()) waker = drive.wakers.insert(drive.wakers.end(), {waker_name(cause), 0});
    ++waker->second;
    if (cause.file[0] == '\0') {
      drive.file_after = wake.after;
      drive.file_until_ms = now + FILE_WAIT_MS;
      if (watch.rundown_ms == 0 || now - watch.rundown_ms >= RUNDOWN_EVERY_MS) {
        watch.rundown_ms = now;
        port.trace_rundown();
      }
    }
  }
  emit(watch, port, drive, {wake.event.c_str(), wake.previous_ms, wake.reads, wake.writes, detail, found ? &cause : nullptr, &wake});
}

// A wake whose file was not known: one more line once its name comes.
void follow_file(Watch& watch, WatchPort& port, WatchedDrive& drive, std::uint64_t now) {
  if (drive.file_until_ms == 0) return;
  DiskIoCause cause{};
  std::uint32_t more = 0, others = 0;
  if (!find_cause(port, drive, drive.file_after, ~std::uint64_t{0}, cause, more, others) || cause.file[0] == '\0') {
    if (now >= drive.file_until_ms) drive.file_until_ms = 0;
    return;
  }
  drive.file_until_ms = 0;
  emit(watch, port, drive, {"wake-file", 0, -1, -1, "Datei des Aufweckers: " + port.dos_path(cause.file), &cause});
}

void went_away(Watch& watch, WatchPort& port, WatchedDrive& drive, std::uint64_t now) {
  if (drive.state == DriveState::gone) return;
  release_wake(watch, port, drive, now, true);
  const bool never_seen = drive.state == DriveState::unknown;
  leave_standby(drive, now);
  const std::uint64_t previous = never_seen ? 0 : in_state_ms(drive, now);
  begin_state(drive, DriveState::gone, now);
  emit(watch, port, drive, {"gone", previous, -1, -1, utf8_from_1252(never_seen ? "nicht da; wird beobachtet, sobald es erscheint"
                                                                                   : "nicht mehr da; wird beobachtet, bis es wieder da ist")});
}

void not_asked(Watch& watch, WatchPort& port, WatchedDrive& drive, std::uint64_t now, const char* reason) {
  release_wake(watch, port, drive, now, true);
  leave_standby(drive, now);
  begin_state(drive, DriveState::not_asked, now);
  emit(watch, port, drive, {"not-asked", 0, -1, -1, utf8_from_1252(NOT_ASKED) + utf8_from_1252(reason)});
}

// A power mode read: the first, a drive that is back, or a change.
void seen(Watch& watch, WatchPort& port, WatchedDrive& drive, std::uint64_t now, bool standby) {
  const DriveState state = standby ? DriveState::standby : DriveState::spinning;
  if (drive.state == DriveState::unknown || drive.state == DriveState::gone) {
    const bool back = drive.state == DriveState::gone;
    const std::uint64_t previous = in_state_ms(drive, now);
    begin_state(drive, state, now);
    if (back) emit(watch, port, drive, {"back", previous, -1, -1, "wieder da"});
    else if (!watch.options.csv) emit(watch, port, drive, {"", 0, -1, -1, "beobachtet"});
    return;
  }
  if (drive.state == state) return;
  release_wake(watch, port, drive, now, true);
  const std::uint64_t previous = in_state_ms(drive, now);
  const std::uint32_t reads = drive.counts.reads - drive.at_change.reads;  // a wrap does no harm
  const std::uint32_t writes = drive.counts.writes - drive.at_change.writes;
  TextLine detail;
  detail.add("nach ");
  detail.add(duration_text(previous).c_str());
  if (standby) {
    ++drive.spin_downs;
    detail.add(" wach");
  } else {
    ++drive.spin_ups;
    leave_standby(drive, now);
    detail.add(" Standby; ");
    if (!drive.counting)
      detail.add("Ursache unbekannt: Windows liefert keine Zugriffsz\xE4hler");
    else if (reads == 0 && writes == 0)
      detail.add("ohne Lese- oder Schreibzugriff (Abfrage eines anderen Programms, etwa SMART, oder das Laufwerk selbst)");
    else {
      add_accesses(detail, reads, writes);
      detail.add(" seit dem Einschlafen");
    }
  }
  const bool resume = !standby && watch.resumed_ms != 0 && now - watch.resumed_ms < RESUME_WAKES_MS;
  if (resume) detail.add("; nach dem Aufwachen des Systems");
  begin_state(drive, state, now);
  const Event event{standby ? "sleep" : resume ? "wake-after-resume" : "wake", previous, drive.counting ? reads : -1,
                    drive.counting ? writes : -1, detail.text};
  if (standby || !watch.tracing || !drive.counting || (reads == 0 && writes == 0) || drive.disk_number == ~0u)
    return emit(watch, port, drive, event);
  // A wake with reads or writes: its line waits for the kernel's events that name who made them.
  char words[32];
  drive.wake = {true, stamp_now(watch, port), state_words(drive, words), detail.text, event.event, now, drive.clock, drive.asleep_clock,
                previous, reads, writes};
  drive.file_until_ms = 0;
}

// The counts of this round, as the reading found them: the first answer is the baseline; a drive
// without counts says so once if --idle was meant for it.
void counted(WatchPort& port, WatchedDrive& drive, std::uint64_t now) {
  const DiskCounts counts = drive.power.counts;
  if (!drive.power.counting) {
    if (drive.idle_named && !drive.counting) {
      drive.idle_named = false;
      note(port, drive.name, ": --idle gilt hier nicht, Windows liefert f\xFCr das Laufwerk keine Zugriffsz\xE4hler; "
                             "es wird nur beobachtet.");
    }
    return;
  }
  if (!drive.counting || counts.reads != drive.counts.reads || counts.writes != drive.counts.writes) {
    if (!drive.counting) drive.at_change = counts;
    drive.counting = true;
    drive.counts = counts;
    drive.io_since_ms = now;
    drive.idle_sent = false;
  }
}

// --idle, once at the start per drive: what Windows does with it.
void tell_policy(Watch& watch, WatchPort& port, WatchedDrive& drive) {
  if (!drive.idle_named || drive.policy_told || !drive.power.policy_known) return;
  drive.policy_told = true;
  TextLine line;
  line.add(drive.name);
  line.add(": ");
  windows_policy_words(line, drive.power);
  if (line.text.size() == std::strlen(drive.name) + 2) line.add("ob Windows das Laufwerk abschaltet, ist nicht bekannt");
  line.add(".");
  if (windows_powers_down_within(drive.power, watch.options.idle_minutes))
    line.add(" --idle schickt ihm nichts: Windows schaltet es fr\xFCher ab.");
  port.note(line.text);
}

// --idle: a named, spinning drive whose counts stood still for the minutes given; once a quiet spell.
// Never one that Windows powers down as soon: a standby queued then could meet Windows' own power-down.
void idle_standby(Watch& watch, WatchPort& port, WatchedDrive& drive, int& handle, std::uint64_t now) {
  const std::uint64_t quiet = watch.options.idle_minutes * MINUTE_MS;
  if (!drive.idle_named || !drive.counting || drive.state != DriveState::spinning || drive.idle_sent ||
      now - drive.io_since_ms < quiet)
    return;
  if (windows_powers_down_within(drive.power, watch.options.idle_minutes)) return;
  if (handle == -1) handle = disk_open(drive.name, 0, 0);
  if (handle == -1) return;
  drive_standby(handle);
  drive.idle_sent = true;
  drive.idle_pending = true;
  TextLine detail;
  detail.add("in den Standby geschickt nach ");
  detail.add_number(watch.options.idle_minutes);
  detail.add(watch.options.idle_minutes == 1 ? " Minute" : " Minuten");
  detail.add(" ohne Lese- und Schreibzugriff");
  emit(watch, port, drive, {"idle-standby", in_state_ms(drive, now), 0, 0, detail.text});
}

// One drive's round: Windows' record and the counts through a query-only handle (which makes Windows
// look for no file system on the disk), a handle with read and write access only for a command.
void poll(Watch& watch, WatchPort& port, WatchedDrive& drive) {
  if (drive.state == DriveState::not_asked) return;
  const std::uint64_t now = port.now_ms();
  const int query = disk_open(drive.name, DISK_O_QUERY, 0);
  if (query == -1) {
    if (errno == ENOENT || errno == ENODEV) went_away(watch, port, drive, now);
    return;
  }
  disk_set_routes(drive.routes);
  int handle = -1;
  drive.clock = watch.tracing ? port.trace_clock() : 0;
  const DrivePowerReading reading = read_power(drive.name, query, handle, drive.power, now);
  const bool answered = reading.state == DrivePowerState::spinning || reading.state == DrivePowerState::standby ||
                        reading.state == DrivePowerState::off_by_windows;
  const bool idle_pending = drive.idle_pending;
  drive.idle_pending = false;
  if (answered) {
    counted(port, drive, now);
    drive.mode = reading.mode;
    drive.by_windows = reading.state == DrivePowerState::off_by_windows;
    seen(watch, port, drive, now, reading.state != DrivePowerState::spinning);
    if (drive.state == DriveState::standby) drive.asleep_clock = drive.clock;
    // A spin-down counts as --idle's only when the reading after its command finds the drive asleep.
    if (idle_pending && drive.state == DriveState::standby) ++drive.idle_standbys;
    tell_policy(watch, port, drive);
    idle_standby(watch, port, drive, handle, now);
  }
  drive.routes = disk_routes();
  if (handle != -1) disk_close(handle);
  disk_close(query);
  if (reading.state == DrivePowerState::gone) went_away(watch, port, drive, now);
  if (reading.state == DrivePowerState::cannot_ask && reading.error == ENOSYS)
    not_asked(watch, port, drive, now, "(kein Weg tr\xE4gt den Befehl)");
  release_wake(watch, port, drive, now, false);
  follow_file(watch, port, drive, now);
  // any other failure passes (a refused open during a removal among them): asked again next round
}

void add_drive(Watch& watch, const char* name, std::uint64_t now) {
  WatchedDrive& drive = watch.drives[watch.count++];
  drive = WatchedDrive{};
  std::strncpy(drive.name, name, sizeof drive.name - 1);
  drive.idle_named = watch.options.idle_minutes != 0;
  drive.watched_since_ms = drive.since_ms = now;
  char device[24];
  drive.disk_number = ~0u;
  if (disk_device_name(name, device) && std::strncmp(device, "PhysicalDrive", 13) == 0)
    drive.disk_number = static_cast<std::uint32_t>(std::strtoul(device + 13, nullptr, 10));
  disk_forget_routes();
  drive.routes = disk_routes();
}

// Without names: every disk that opens, looked for again every 10 s.
void look_for_drives(Watch& watch, std::uint64_t now) {
  for (int i = 0; i < DISK_NAMES && watch.count < DISK_NAMES; ++i) {
    const char name[] = {'/', 'd', 'e', 'v', '/', 's', 'd', static_cast<char>('a' + i), '\0'};
    bool watched = false;
    for (int j = 0; j < watch.count; ++j) watched = watched || std::strcmp(watch.drives[j].name, name) == 0;
    if (watched) continue;
    const int handle = disk_open(name, DISK_O_QUERY, 0);
    if (handle == -1) continue;
    disk_close(handle);
    add_drive(watch, name, now);
  }
  watch.last_look_ms = now;
}

void round(Watch& watch, WatchPort& port) {
  const std::uint64_t now = port.now_ms();
  if (watch.options.named == 0 && now - watch.last_look_ms >= WATCH_LOOK_MS) look_for_drives(watch, now);
  for (int i = 0; i < watch.count; ++i) poll(watch, port, watch.drives[i]);
}

}  // namespace

bool parse_watch(int argc, const char* const* argv, WatchOptions& out) {
  out = WatchOptions{};
  bool idle = false;
  for (int i = 2; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--csv") == 0 && !out.csv) {
      out.csv = true;
    } else if (std::strcmp(argument, "--idle") == 0 && !idle && i + 1 < argc) {
      idle = true;
      const char* digits = argv[++i];
      unsigned minutes = 0;
      for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || minutes > IDLE_MINUTES_MAX) return false;
        minutes = minutes * 10 + static_cast<unsigned>(*p - '0');
      }
      if (minutes < 1 || minutes > IDLE_MINUTES_MAX) return false;
      out.idle_minutes = minutes;
    } else {
      char device[24];
      if (!disk_device_name(argument, device) || std::strlen(argument) >= sizeof out.names[0]) return false;
      bool twice = false;
      for (int j = 0; j < out.named; ++j) twice = twice || same_drive(out.names[j], argument);
      if (twice) continue;
      if (out.named == DISK_NAMES + CDROM_NAMES) return false;
      std::strcpy(out.names[out.named++], argument);
    }
  }
  return !idle || out.named > 0;  // --idle never spins down a drive the user did not name
}

void watch_round(Watch& watch, WatchPort& port) { round(watch, port); }

int run_watch(Watch& watch, WatchPort& port) {
  const std::uint64_t start = port.now_ms();
  for (int i = 0; i < watch.options.named; ++i) add_drive(watch, watch.options.names[i], start);
  if (!port.elevated()) {
    note(port, "Ohne Administratorrechte kann kein Laufwerk gefragt werden: spindwart-drives --watch als Administrator "
               "starten.");
    return 1;
  }
  if (watch.options.csv) port.out("time,device,event,state,seconds,reads,writes,process,pid,file");
  note(port, "spindwart-drives beobachtet ", watch.options.named ? "die genannten Laufwerke" : "alle Laufwerke",
       watch.options.service ? " jede Sekunde, als Dienst." : " jede Sekunde; Ende mit Strg+C.");
  std::string why;
  watch.tracing = port.trace_start(why);
  if (!watch.tracing) note(port, "Prozesse nicht nachvollziehbar: ", why.c_str());
  watch.last_look_ms = start - WATCH_LOOK_MS;
  round(watch, port);
  while (port.wait_ms(WATCH_ROUND_MS)) round(watch, port);
  finish_watch(watch, port);
  if (watch.tracing) port.trace_stop();
  watch.tracing = false;
  return 0;
}

void finish_watch(Watch& watch, WatchPort& port) {
  const std::uint64_t now = port.now_ms();
  for (int i = 0; i < watch.count; ++i) {
    WatchedDrive& drive = watch.drives[i];
    release_wake(watch, port, drive, now, true);
    std::uint64_t longest = 0;
    const std::uint64_t asleep = standby_ms(drive, now, &longest);
    const std::uint64_t watched = now - drive.watched_since_ms;
    TextLine line;
    line.add(drive.name);
    line.add(": ");
    line.add_number(drive.spin_ups);
    line.add(drive.spin_ups == 1 ? " Anlauf, " : " Anl\xE4ufe, ");
    line.add_number(drive.spin_downs);
    line.add(drive.spin_downs == 1 ? " Abschaltung (" : " Abschaltungen (");
    line.add_number(drive.idle_standbys);
    line.add(" durch --idle), Standby ");
    line.add(duration_text(asleep, false).c_str());
    line.add(" von ");
    line.add(duration_text(watched, false).c_str());
    line.add(" (");
    line.add_number(watched == 0 ? 0 : asleep * 100 / watched);
    line.add(" %), l\xE4ngster Schlaf ");
    line.add(duration_text(longest, false).c_str());
    // The processes that woke it most often, the first to do so first among equals.
    std::stable_sort(drive.wakers.begin(), drive.wakers.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (std::size_t w = 0; w < drive.wakers.size() && w < 3; ++w) {
      line.add(w == 0 ? "; geweckt von " : ", ");
      line.add_utf8(drive.wakers[w].first);
      line.add(" (");
      line.add_number(drive.wakers[w].second);
      line.add(")");
    }
    port.summary(drive.name, line.text);
  }
}

std::string cause_words(const DiskIoCause& cause, WatchPort& port) {
  std::string words;
  if (cause.process_id == SYSTEM_PROCESS)
    words = cause.write ? "geschrieben vom System (Cache des Dateisystems)" : "gelesen vom System";
  else
    words = std::string(cause.write ? "geschrieben von " : "gelesen von ") +
            (cause.process[0] != '\0' ? cause.process : cause.process_id == NO_PROCESS ? "einem unbekannten Prozess" : "einem Prozess");
  if (cause.process_id != NO_PROCESS && cause.process_id != SYSTEM_PROCESS) words += " (PID " + std::to_string(cause.process_id) + ")";
  return words + ": " + (cause.file[0] != '\0' ? port.dos_path(cause.file) : "Datei unbekannt");
}

std::uint32_t trace_session_pid(const char* name) {
  for (const char* form : {"Spindwart watch ", "Spindwart rundown "}) {
    const std::size_t length = std::strlen(form);
    if (std::strncmp(name, form, length) != 0 || name[length] == '\0') continue;
    std::uint64_t pid = 0;
    for (const char* p = name + length; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9' || (pid = pid * 10 + static_cast<unsigned>(*p - '0')) > 0xFFFFFFFFu) return 0;
    }
    return static_cast<std::uint32_t>(pid);
  }
  return 0;
}

std::string dos_path_of(const std::string& nt, const std::vector<std::pair<std::string, std::string>>& letters) {
  for (const auto& [letter, device] : letters) {
    if (device.empty() || nt.compare(0, device.size(), device) != 0) continue;
    if (nt.size() == device.size() || nt[device.size()] == '\\') return letter + nt.substr(device.size());
  }
  return nt;
}

int plan_install(int argc, const char* const* argv, bool elevated, std::string& arguments, std::string& message) {
  WatchOptions options;
  if (!parse_watch(argc, argv, options) || options.csv) {
    message = utf8_from_1252(DRIVES_USAGE);
    return 2;
  }
  if (!elevated) {
    message = utf8_from_1252("Nichts eingerichtet: das geht nur als Administrator (Eingabeaufforderung als Administrator "
                             "starten). - Nothing installed: this needs an administrator's prompt.");
    return 1;
  }
  arguments = "--service";
  if (options.idle_minutes != 0) arguments += " --idle " + std::to_string(options.idle_minutes);
  for (int i = 0; i < options.named; ++i) {
    const std::string name = options.names[i];  // "/dev/scd 7" is a name too
    arguments += name.find(' ') == std::string::npos ? " " + name : " \"" + name + "\"";
  }
  return 0;
}

bool trace_session_stale(const char* name, std::uint32_t own_pid, const std::function<bool(std::uint32_t pid)>& runs) {
  const std::uint32_t pid = trace_session_pid(name);
  return pid != 0 && pid != own_pid && !runs(pid);
}
