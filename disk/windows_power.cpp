// What Windows knows of a drive's power, and the reading that keeps a drive asleep.
//
// Since Windows 8 the storage port driver powers an idle disk down after the power plan's "Turn off
// hard disk after" and powers it up again for the next request, pass-through requests included; a
// CHECK POWER MODE therefore restarts Windows' idle count, and one sent to a disk that Windows powered
// down spins it up. GetDevicePowerState and the read and write counts cost the drive nothing, so every
// reading takes them and sends the command only when they leave the answer open.
#include <cerrno>

#include "bytes.h"
#include "disk.h"
#include "disk_sys.h"
#include "errors.h"
#include "linux_requests.h"
#include "open_handles.h"

namespace {

constexpr std::uint64_t UNKNOWN_IDLE_MS = 20 * 60000;  // the Balanced plan's on mains
constexpr std::uint64_t RECHECK_AFTER_IDLE_MS = 60000;
constexpr std::uint64_t POLICY_AGAIN_MS = 60000;
constexpr std::uint32_t NEVER = 0xFFFFFFFF;


// 1 working, 0 powered down, -1 not known; gone when the call failed because the drive is.
int windows_power(int handle, bool& gone) {
  int on = -1;
  if (!disk_sys->device_power_state(handle, &on)) {
    gone = sys_errno(disk_sys->last_error()) == ENODEV;
    return -1;
  }
  return on == -1 ? -1 : on != 0 ? 1 : 0;
}

// The power descriptor (Windows 8 and later), into idle_managed and idle_timeout_ms; false when the
// drive is gone. The disk class driver hands this query to the port driver.
bool power_descriptor(int handle, DiskPowerPolicy& policy) {
  policy.idle_managed = -1;
  policy.idle_timeout_ms = 0;
  std::uint8_t query[12] = {};
  put_le32(query, STORAGE_DEVICE_POWER_PROPERTY);  // PropertyStandardQuery is 0
  alignas(8) std::uint8_t reply[64] = {};
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, reply, sizeof reply,
                                   &returned))
    return sys_errno(disk_sys->last_error()) != ENODEV;
  // The reply is as long as the count says, and no longer than its Size says it is.
  std::uint32_t valid = returned < sizeof reply ? returned : sizeof reply;
  if (valid >= POWER_DESCRIPTOR_SIZE_AT + 4 && get_le32(reply + POWER_DESCRIPTOR_SIZE_AT) < valid)
    valid = get_le32(reply + POWER_DESCRIPTOR_SIZE_AT);
  if (valid <= POWER_DESCRIPTOR_IDLE_MANAGED_AT || reply[POWER_DESCRIPTOR_IDLE_MANAGED_AT] == 0) return true;
  policy.idle_managed = 1;
  if (valid < POWER_DESCRIPTOR_IDLE_TIMEOUT_AT + 4) return true;
  policy.idle_timeout_ms = get_le32(reply + POWER_DESCRIPTOR_IDLE_TIMEOUT_AT);
  if (policy.idle_timeout_ms == 0 || policy.idle_timeout_ms == NEVER) policy.idle_managed = 0;
  return true;
}

bool same(const DiskCounts& a, const DiskCounts& b) { return a.reads == b.reads && a.writes == b.writes; }

// The one reading of a CHECK POWER MODE's outcome.
DrivePowerReading classify(int result, int error, std::uint8_t mode) {
  if (result == 0) return {power_mode_is_standby(mode) ? DrivePowerState::standby : DrivePowerState::spinning, mode, true, 0};
  return {error == ENODEV ? DrivePowerState::gone : DrivePowerState::cannot_ask, mode, true, error};
}

// "File not found" on an open handle is what the disk class driver answers for a device no longer at
// its address; a drive that is still there can answer so too. Gone when its name no longer opens.
DrivePowerReading ask(int handle, int device) {
  std::uint8_t mode = 0;
  const int result = drive_power_mode(handle, &mode);
  const int error = errno;
  if (result != 0 && error == ENOENT && !device_still_opens(device)) return {DrivePowerState::gone, mode, true, ENODEV};
  return classify(result, error, mode);
}

}  // namespace

bool powered_down_by_windows(int handle) {
  int on = -1;
  return disk_sys->device_power_state(handle, &on) && on == 0;
}

int drive_check_sleeping(int handle) {
  if (powered_down_by_windows(handle)) return 1;
  // A block that came back as sent reads 0: standby, as a drive that cannot be asked should.
  return reading_shows_standby(ask(handle, -1)) ? 1 : 0;
}

int disk_power_policy(int handle, DiskPowerPolicy* out) {
  if (out == nullptr) return fail(EINVAL);
  bool gone = false;
  out->powered = windows_power(handle, gone);
  if (gone || !power_descriptor(handle, *out)) return fail(ENODEV);
  return 0;
}

bool reading_shows_standby(const DrivePowerReading& reading) {
  if (reading.state == DrivePowerState::spinning) return false;
  // A drive error on the ATA route comes back with the drive's registers, which still tell the mode.
  return reading.state != DrivePowerState::cannot_ask || power_mode_is_standby(reading.mode);
}

int drive_read_power(int handle, DrivePowerMemory* memory, std::uint64_t now, DrivePowerReading* out) {
  if (memory == nullptr || out == nullptr) return fail(EINVAL);
  DrivePowerMemory next = *memory;
  const HandleInfo info = handle_info(handle);
  bool gone = false;
  const int powered = windows_power(handle, gone);
  DiskCounts counts{};
  const bool counting = !gone && disk_counts(handle, &counts) == 0;
  if (!gone && !counting && errno == ENODEV) gone = true;
  const bool first_policy = !gone && !next.policy_known;
  if (first_policy) {
    gone = !power_descriptor(handle, next.policy);
    next.policy_known = true;
    next.policy_ms = now;
  }
  const std::uint64_t idle_ms =
      next.policy.idle_managed == 1 && next.policy.idle_timeout_ms != 0 ? next.policy.idle_timeout_ms : UNKNOWN_IDLE_MS;
  const bool moved = next.known && next.counting && counting && !same(counts, next.counts);

  DrivePowerReading reading{next.last, next.mode, false, 0};
  if (gone) {
    reading = {DrivePowerState::gone, next.mode, false, ENODEV};
  } else if (powered == 0 && (!moved || now - next.read_ms >= idle_ms)) {
    // Powered down, and nothing read or wrote since a reading recent enough to say otherwise.
    reading.state = DrivePowerState::off_by_windows;
  } else {
    const bool every_reading = next.policy.idle_managed != 1 || powered != 1 || !counting;
    const DrivePowerState last = next.last;
    const bool needed = every_reading || !next.known || !next.commanded || next.powered_down || !next.counting ||
                        (last != DrivePowerState::spinning && last != DrivePowerState::standby) ||
                        !same(counts, next.counts_at_command) || standbys_of(info.device) != next.standbys ||
                        now - next.command_ms >= idle_ms + RECHECK_AFTER_IDLE_MS;
    if (needed && info.query_only) {
      *out = {DrivePowerState::cannot_ask, memory->mode, false, EACCES};
      return 0;  // the memory as it was, for the reading through a handle that may ask
    }
    const bool policy_again = needed && !first_policy && now - next.policy_ms >= POLICY_AGAIN_MS;
    if (policy_again) next.policy_ms = now;
    if (policy_again && !power_descriptor(handle, next.policy)) {
      reading = {DrivePowerState::gone, next.mode, false, ENODEV};
    } else if (needed) {
      reading = ask(handle, info.device);
      if (reading.state != DrivePowerState::gone && reading.state != DrivePowerState::cannot_ask) next.mode = reading.mode;
      next.commanded = true;
      next.command_ms = now;
      next.counts_at_command = counts;
    }
  }
  next.known = true;
  next.last = reading.state;
  next.powered_down = powered == 0;
  next.read_ms = now;
  next.counting = counting;
  if (counting) next.counts = counts;
  next.standbys = standbys_of(info.device);
  *memory = next;
  *out = reading;
  return 0;
}
