#include "drive_report.h"

#include <cerrno>
#include <cstring>

#include "disk.h"

const char DRIVES_USAGE[] =
    "spindwart-drives: Welches Laufwerk ist welches? Listet die Laufwerke mit dem Namen f\xFCr spindwart.exe,\r\n"
    "Bus, Gr\xF6\xDF" "e, Modell, Seriennummer und Zustand. Weckt kein Laufwerk. Ohne Argumente aufrufen.\r\n"
    "\r\n"
    "spindwart-drives --watch [--csv] [--idle MINUTEN] [GER\xC4T...]\r\n"
    "  Warum wacht meine Platte auf? Fragt jede Sekunde jedes genannte Laufwerk (ohne Namen: alle) nach\r\n"
    "  seinem Zustand und seinen Lese- und Schreibzugriffen und schreibt jede \xC4nderung in eine Zeile,\r\n"
    "  beim Aufwachen mit der Ursache. Ende mit Strg+C, dann mit einer Zusammenfassung.\r\n"
    "  --csv         dieselben Ereignisse als durch Kommas getrennte Werte\r\n"
    "  --idle N      schickt die genannten Laufwerke in den Standby, wenn sie N Minuten (1 bis 1440)\r\n"
    "                ohne Lese- und Schreibzugriff laufen\r\n"
    "  Braucht Administratorrechte.\r\n"
    "\r\n"
    "spindwart-drives --install [--idle MINUTEN] [GER\xC4T...]   spindwart-drives --uninstall\r\n"
    "  Dieselbe Beobachtung als Dienst, ab dem Systemstart, ins Protokoll %ProgramData%\\Spindwart\\watch-JJJJ-MM.csv;\r\n"
    "  --uninstall entfernt den Dienst. Braucht Administratorrechte.\r\n"
    "\r\n"
    "spindwart-drives --report [--html DATEI] [PROTOKOLL...]\r\n"
    "  Der Tag im Protokoll des Dienstes (oder der genannten): je Laufwerk und Tag Anl\xE4ufe, Abschaltungen,\r\n"
    "  Anteil im Standby, l\xE4ngster Schlaf und wer es am \xF6" "ftesten weckte; mit --html als Seite.\r\n";

namespace {


constexpr char NOT_AVAILABLE[] = "kann nicht abgefragt werden ";
constexpr char STANDBY_BY_WINDOWS[] = "Standby (Windows)";

// The power state as one reading with fresh memory found it, and the route that carried a command.
void add_power_state(TextLine& line, const DrivePowerReading& reading) {
  if (reading.state == DrivePowerState::off_by_windows) {
    line.add(STANDBY_BY_WINDOWS);
  } else if (reading.state == DrivePowerState::gone || reading.state == DrivePowerState::cannot_ask) {
    line.add(NOT_AVAILABLE);
    if (reading.error == EACCES)
      line.add("(Administratorrechte fehlen)");
    else if (reading.error == ENOSYS)
      line.add("(kein Weg tr\xE4gt den Befehl)");
    else if (reading.error == ENODEV)
      line.add("(Laufwerk nicht bereit)");
    else
      line.add("(das Laufwerk meldet einen Fehler)");
  } else {
    char words[32];
    power_mode_words(reading.mode, words);
    line.add(words);
    line.add(" (");
    line.add(disk_route());
    line.add(")");
  }
}

}  // namespace

void report_header(TextLine& line) {
  line = TextLine{};
  line.column("Name", 10);
  line.column("Bus", 6);
  line.column("Gr\xF6\xDF" "e", 9);
  line.column("Modell", 28);
  line.column("Seriennummer", 20);
  line.add("Zustand");
  line.end();
}

bool windows_powers_down_within(const DrivePowerMemory& memory, unsigned minutes) {
  const std::uint32_t ms = memory.policy.idle_timeout_ms;
  return memory.policy_known && memory.policy.idle_managed == 1 && ms != 0 && ms <= std::uint64_t{minutes} * 60000;
}

DrivePowerReading read_power(const char* name, int query, int& handle, DrivePowerMemory& memory, std::uint64_t now_ms) {
  DrivePowerReading reading;
  drive_read_power(query, &memory, now_ms, &reading);
  if (reading.state != DrivePowerState::cannot_ask || reading.error != EACCES || reading.asked) return reading;
  handle = disk_open(name, 0, 0);
  if (handle != -1) drive_read_power(handle, &memory, now_ms, &reading);
  else if (errno == ENOENT || errno == ENODEV) reading = {DrivePowerState::gone, 0, false, ENODEV};
  else reading.error = errno;
  return reading;
}

bool report_line(const char* name, TextLine& line) {
  const int query = disk_open(name, DISK_O_QUERY, 0);
  if (query == -1) return false;
  const bool cdrom = disk_is_cdrom;
  int handle = -1;  // with read and write access, opened only for a command

  DiskDescription description;
  disk_describe(query, &description);
  TextLine state;
  bool spinning = false;
  if (cdrom) {
    state.add("-");
  } else {
    DrivePowerMemory memory{};
    disk_forget_routes();
    const DrivePowerReading reading = read_power(name, query, handle, memory, 0);
    // Without the rights for a command the reading leaves its memory as it was: what Windows does with
    // the drive is asked apart.
    if (handle == -1 && reading.error == EACCES)
      memory.policy_known = disk_power_policy(query, &memory.policy) == 0;
    add_power_state(state, reading);
    TextLine policy;
    windows_policy_words(policy, memory);
    if (!policy.text.empty()) state.add("; ");
    state.add_utf8(policy.text);
    spinning = reading.state == DrivePowerState::spinning;
  }
  // The size must not wake a drive: the class driver may answer the length request with a READ
  // CAPACITY sent to the device, so only a drive that said it spins is asked; the geometry of fixed
  // media it keeps without asking the device. A CD-ROM drive is asked neither.
  char size[24] = "-";
  std::uint64_t bytes = 0;
  if (spinning && disk_ioctl(handle, BLKGETSIZE_BYTES, &bytes) == 0) {
    format_size(bytes, size);
  } else if (!cdrom && !description.removable && disk_geometry_size(query, &bytes) == 0) {
    // A query-only handle may not ask for the length; the geometry needs no rights.
    format_size(bytes, size);
  }
  char model[2 * DISK_TEXT_SIZE] = "-";
  if (description.vendor[0] != '\0' || description.product[0] != '\0') {
    TextLine text;
    text.add(description.vendor);
    if (description.vendor[0] != '\0' && description.product[0] != '\0') text.add(" ");
    text.add(description.product);
    copy_text(model, text.text);
  }

  line = TextLine{};
  line.column(name, 10);
  line.column(bus_name(description.bus), 6);
  line.column(size, 9);
  line.column(model, 28);
  line.column(description.serial[0] != '\0' ? description.serial : "-", 20);
  line.add_utf8(state.text);
  line.end();
  if (handle != -1) disk_close(handle);
  disk_close(query);
  return true;
}

int drive_report(LineSink sink, void* context) {
  TextLine line;
  report_header(line);
  sink(line, context);
  int drives = 0;
  for (int i = 0; i < DISK_NAMES + CDROM_NAMES; ++i) {
    TextLine name;
    if (i < DISK_NAMES) {
      const char letter[] = {static_cast<char>('a' + i), '\0'};
      name.add("/dev/sd");
      name.add(letter);
    } else {
      name.add("/dev/scd");
      name.add_number(static_cast<std::uint64_t>(i - DISK_NAMES));
    }
    if (!report_line(name.text.c_str(), line)) continue;
    sink(line, context);
    ++drives;
  }
  return drives;
}

DrivesCommand drives_command(int argc, const char* const* argv) {
  if (argc <= 1) return DrivesCommand::report;
  if (std::strcmp(argv[1], "--watch") == 0) return DrivesCommand::watch;
  if (std::strcmp(argv[1], "--install") == 0) return DrivesCommand::install;
  if (std::strcmp(argv[1], "--service") == 0) return DrivesCommand::service;
  if (std::strcmp(argv[1], "--report") == 0) return DrivesCommand::log_report;
  if (argc == 2 && std::strcmp(argv[1], "--uninstall") == 0) return DrivesCommand::uninstall;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0 ||
                    std::strcmp(argv[1], "-h") == 0))
    return DrivesCommand::help;
  return DrivesCommand::bad_argument;
}
