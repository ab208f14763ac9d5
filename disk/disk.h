// Spindwart disk layer: Unix-style access to one drive on Windows.
//
// A drive is named the Unix way ("/dev/hda", "/dev/sdb", "/dev/scd0") and answered by the storage
// driver through ATA pass-through requests. Every call returns -1 and sets errno on failure
// (ENOSYS, EIO, EINVAL, ENOENT, EACCES, ENOMEM, ENODEV); nothing is printed or logged.
//
// ENODEV says that the handle no longer reaches a drive: it was unplugged, or the handle did not
// survive hibernation. The drive may come back under the same name; open it again. A name is a
// drive number, which Windows may give to another drive after replugging.
#pragma once

#include <cstddef>
#include <cstdint>

// Request codes of disk_ioctl. All but BLKGETSIZE_BYTES are the Linux disk interface's.
constexpr int HDIO_GETGEO = 0x0301;
constexpr int HDIO_GET_IDENTITY = 0x030D;
constexpr int HDIO_GET_ACOUSTIC = 0x030F;
constexpr int HDIO_DRIVE_RESET = 0x031C;
constexpr int HDIO_DRIVE_CMD = 0x031F;
constexpr int HDIO_GETGEO_BIG = 0x0330;
constexpr int BLKGETSIZE = 0x1260;
constexpr int BLKGETSIZE_BYTES = 0x41268;

// Bit of disk_open's flags that asks for unbuffered access (O_DIRECT of Linux on x86).
constexpr int DISK_O_DIRECT = 0x4000;
// Bit of disk_open's flags that opens the drive for queries only (O_PATH of Linux on x86): no access
// rights are asked for, so it opens without administrator rights; the storage driver still answers
// disk_describe and the geometry, but no ATA command reaches the drive.
constexpr int DISK_O_QUERY = 0x200000;

// HDIO_DRIVE_CMD's argument: a 4-byte header, then header[3] * 512 bytes of data from the drive.
// In: command, sector count (used when header[3] is 0), features, sectors to read.
// Out: status, error, sector count (the power mode after CHECK POWER MODE), header[3] unchanged.
constexpr int DRIVE_CMD_HEADER = 4;

// HDIO_GETGEO's argument. Heads and sectors stop at 255, cylinders at 65535; start is always 0.
struct GeometryArgs {
  std::uint8_t heads;
  std::uint8_t sectors;
  std::uint16_t cylinders;
  std::uint32_t start;
};
static_assert(sizeof(GeometryArgs) == 8 && offsetof(GeometryArgs, cylinders) == 2 && offsetof(GeometryArgs, start) == 4);

// HDIO_GETGEO_BIG's argument: cylinders in 32 bits; bytes 2 and 3 are not written.
struct BigGeometryArgs {
  std::uint8_t heads;
  std::uint8_t sectors;
  std::uint8_t unused[2];
  std::uint32_t cylinders;
  std::uint32_t start;
};
static_assert(sizeof(BigGeometryArgs) == 12 && offsetof(BigGeometryArgs, cylinders) == 4 &&
              offsetof(BigGeometryArgs, start) == 8);

// HDIO_GET_IDENTITY fills 512 bytes of identify data, the serial number, firmware revision and
// model number put in reading order and their trailing blanks turned into NULs. HDIO_GET_ACOUSTIC
// fills a uint32_t, BLKGETSIZE a uint32_t count of 512-byte sectors, BLKGETSIZE_BYTES a uint64_t.
// HDIO_DRIVE_RESET takes no argument.
constexpr int IDENTIFY_SIZE = 512;

// Whether the name that disk_open recognised last was a CD-ROM name.
extern bool disk_is_cdrom;

// Opens "/dev/hdX", "/dev/sdX" (physical drive X - 'a') or "/dev/scdN" (CD-ROM N, N <= 15); the
// "/dev/" prefix is optional. Returns the drive handle or -1 with errno EINVAL (bad name), ENOENT
// (no such drive), EACCES or EIO.
int disk_open(const char* name, int flags, int mode);

// The device that a name opens, without the "\\.\" of its path: "PhysicalDrive0" for "/dev/hda",
// "/dev/sda" and "sda" alike, "CdRom3" for "/dev/scd3"; false for a name that disk_open refuses.
bool disk_device_name(const char* name, char (&out)[24]);

// Closes the handle; always 0.
int disk_close(int handle);

// Carries one request (the codes above) to the drive; 0 on success, -1 with errno on failure.
// A code outside the table gives ENOSYS.
int disk_ioctl(int handle, int request, void* arg);

// Reads count bytes at the file position: the count read, or -1 with EIO (EINVAL for a negative count).
int disk_read(int handle, void* buffer, int count);

// Moves the file position to offset from the start (whence 0; any other whence is EINVAL): the new
// position, or -1 with EIO.
int disk_seek(int handle, int offset, int whence);

// The drive's power mode, by CHECK POWER MODE: 0, or -1 with errno (ENODEV: the drive is gone). mode
// is always written: the SectorCount register that came back, or 0 where none did.
//   0x00 Standby (Standby_z), 0x01 Standby_y, 0x40 Standby (NV cache, spindle stopped)
//   0x41 active (NV cache, spindle turning), 0x80 Idle, 0x81..0x83 Idle_a..Idle_c, 0xFF active or idle
int drive_power_mode(int handle, std::uint8_t* mode);
// Whether a mode means that the spindle stands: the standby answers, and any value the standard does
// not know.
bool power_mode_is_standby(std::uint8_t mode);

// 1 when the drive is in standby or cannot be asked, 0 when it answers that it spins. 1 without a
// command when Windows says it powered the drive down.
int drive_check_sleeping(int handle);

// Sends STANDBY IMMEDIATE (0xE0, then its older code 0x94); the second request's result. Sends nothing
// and returns 0 when Windows says it powered the drive down (the command would first power it up).
int drive_standby(int handle);

// The disk's read and write counts as the partition manager keeps them (IOCTL_DISK_PERFORMANCE): they
// count what programs read and write, not pass-through commands, and wrap at 2^32. The first request
// switches the counting on where it is off, and it stays on: switching it off would take the counts from
// every other program that relies on them (a performance monitor). 0, or -1 with errno
// (ENOSYS where the driver keeps no counts, ENODEV when the drive is gone).
struct DiskCounts {
  std::uint32_t reads;
  std::uint32_t writes;
};
int disk_counts(int handle, DiskCounts* out);

// What Windows itself knows of a drive's power, without a command to the drive: whether it powered the
// drive down (GetDevicePowerState), and whether it does so after an idle time (the power plan's "Turn
// off hard disk after", carried out by the storage port driver since Windows 8; the power descriptor of
// IOCTL_STORAGE_QUERY_PROPERTY).
struct DiskPowerPolicy {
  int powered;                   // 1 working, 0 powered down by Windows, -1 not known
  int idle_managed;              // 1 powered down after an idle time, 0 never ("never" in the plan), -1 not known
  std::uint32_t idle_timeout_ms; // that idle time; 0 when not given
};
// 0, or -1 with EINVAL (null out) or ENODEV (the drive is gone). The descriptor request goes to the
// port driver, never to the drive.
int disk_power_policy(int handle, DiskPowerPolicy* out);

// A reading of a drive's power with the rules that keep it asleep: a drive that Windows powered down
// gets no command, and a quiet drive that Windows powers down after an idle time gets CHECK POWER MODE
// only when something may have changed (see drive_read_power).
enum class DrivePowerState { spinning, standby, off_by_windows, gone, cannot_ask };
struct DrivePowerReading {
  DrivePowerState state;
  std::uint8_t mode;  // the last answer the drive gave (0 before any)
  bool asked;         // CHECK POWER MODE was sent for this reading
  int error;          // errno for gone and cannot_ask, else 0
};
// What one reader knows of one drive between readings; DrivePowerMemory memory{} knows nothing.
struct DrivePowerMemory {
  bool known;                  // a reading was made
  DrivePowerState last;        // its state
  std::uint8_t mode;
  bool powered_down;           // Windows said powered down at it
  std::uint64_t read_ms;       // its time
  bool policy_known;           // the descriptor was asked for
  DiskPowerPolicy policy;
  std::uint64_t policy_ms;     // and when
  bool counting;               // the counts came at the last reading
  DiskCounts counts;           // and were these
  DiskCounts counts_at_command;
  bool commanded;              // this memory sent CHECK POWER MODE
  std::uint64_t command_ms;    // the last command's time
  std::uint32_t standbys;      // drive_standby's count for the device at the last reading
};
// Reads Windows' power state and the counts, and sends CHECK POWER MODE only when the rules ask for it:
//  - Windows says powered down, and the counts stood still since the last reading (or there is none,
//    or it is older than the idle time, or there are no counts): off_by_windows, nothing sent;
//  - Windows does not power the drive down after an idle time, or says nothing: every reading asks;
//  - otherwise a reading asks when nothing is known yet, after a reading that was not a command's
//    answer, when the counts moved since the last command, after a drive_standby of this process to the
//    device, and once the drive was quiet for the idle time plus 60 s since the last command.
// The descriptor is asked at the first reading and again beside a command, at most once a minute.
// A handle opened with DISK_O_QUERY sends no command: a reading that needs one gives cannot_ask with
// EACCES and leaves the memory as it was, to be read again through a handle with read and write access.
// now_ms: the caller's monotonic clock. 0, or -1 with EINVAL for a null argument.
int drive_read_power(int handle, DrivePowerMemory* memory, std::uint64_t now_ms, DrivePowerReading* out);
// Whether a reading is shown as standby: everything but spinning, and a failed command whose registers
// say the drive spins.
bool reading_shows_standby(const DrivePowerReading& reading);

// The size by the geometry (cylinders x tracks x sectors x bytes per sector, 4096 on disks with 4 KiB
// logical sectors), which the disk class driver keeps for fixed media without asking the medium. 0, or
// -1 with errno.
int disk_geometry_size(int handle, std::uint64_t* bytes);

// What the storage driver itself says of a drive; nothing is sent to the drive, so nothing wakes it.
constexpr int DISK_TEXT_SIZE = 41;
struct DiskDescription {
  int bus;                       // the driver's bus type (3 ATA, 7 USB, 11 SATA, 17 NVMe, ...), -1 unknown
  bool removable;                // removable media, or not known
  char vendor[DISK_TEXT_SIZE];   // printable ASCII without outer blanks; empty when the driver has none
  char product[DISK_TEXT_SIZE];
  char serial[DISK_TEXT_SIZE];
  DiskDescription() : bus(-1), removable(true), vendor(), product(), serial() {}
};
// 0, or -1 with ENOSYS when the driver gives no description (out is then empty), ENODEV when the drive
// is gone, or EINVAL for a null out.
int disk_describe(int handle, DiskDescription* out);

// Which pass-through routes refused is remembered for the whole process. A program that asks several
// drives in turn forgets it before each drive, so that one drive's refusals never hide another's routes,
// or keeps each drive's memory and puts it in place before the drive's commands.
void disk_forget_routes();
struct DiskRoutes {
  std::uint8_t mask;
  bool usb;
  std::uint8_t passing[4];
  int answered;
};
DiskRoutes disk_routes();
void disk_set_routes(const DiskRoutes& routes);
// The route that answered the last ATA command: "ATA", "IDE", "SMART" or "USB/SAT"; null when none has.
const char* disk_route();
