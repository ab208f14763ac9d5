// The seam on Windows: the kernel32 calls themselves.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cerrno>
#include <cstddef>

#include "ata.h"
#include "disk_sys.h"
#include "linux_requests.h"

// The runtime's error numbers, which callers compare with.
static_assert(ENOSYS == 40 && EIO == 5 && EINVAL == 22 && ENOENT == 2 && EACCES == 13 && ENOMEM == 12 && ENODEV == 19);

// The system's error codes that the layer tells apart.
static_assert(SYS_ERROR_INVALID_FUNCTION == ERROR_INVALID_FUNCTION && SYS_ERROR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND &&
              SYS_ERROR_ACCESS_DENIED == ERROR_ACCESS_DENIED && SYS_ERROR_INVALID_HANDLE == ERROR_INVALID_HANDLE &&
              SYS_ERROR_NOT_READY == ERROR_NOT_READY && SYS_ERROR_NOT_SUPPORTED == ERROR_NOT_SUPPORTED &&
              SYS_ERROR_DEV_NOT_EXIST == ERROR_DEV_NOT_EXIST && SYS_ERROR_INVALID_PARAMETER == ERROR_INVALID_PARAMETER &&
              SYS_ERROR_DEVICE_NOT_CONNECTED == ERROR_DEVICE_NOT_CONNECTED &&
              SYS_ERROR_DEVICE_REMOVED == ERROR_DEVICE_REMOVED);

// The transport builds the platform's records byte by byte; they must be what the compiler's headers say.
static_assert(IOCTL_ATA_PASS_THROUGH == 0x4D02C && IOCTL_IDE_PASS_THROUGH == 0x4D028 && SMART_RCV_DRIVE_DATA == 0x7C088);
static_assert(sizeof(ATA_PASS_THROUGH_EX) == ATA_LAYOUT_NATIVE.header_size);
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == ATA_LAYOUT_NATIVE.data_buffer_offset_at);
static_assert(sizeof(ATA_PASS_THROUGH_EX::DataBufferOffset) == ATA_LAYOUT_NATIVE.data_buffer_offset_width);
static_assert(offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == ATA_LAYOUT_NATIVE.current_task_file_at);
static_assert(offsetof(ATA_PASS_THROUGH_EX, TimeOutValue) == 12 && offsetof(ATA_PASS_THROUGH_EX, DataTransferLength) == 8);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004 && SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_UNSPECIFIED == 2);
static_assert(sizeof(SCSI_PASS_THROUGH) == SCSI_LAYOUT_NATIVE.header_size);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == SCSI_LAYOUT_NATIVE.data_buffer_offset_at);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) == SCSI_LAYOUT_NATIVE.data_buffer_offset_width);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == SCSI_LAYOUT_NATIVE.sense_info_offset_at);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == SCSI_LAYOUT_NATIVE.cdb_at);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2 && offsetof(SCSI_PASS_THROUGH, CdbLength) == 6 &&
              offsetof(SCSI_PASS_THROUGH, DataIn) == 8 && offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12 &&
              offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16);
static_assert(sizeof(IDEREGS) == IDEREGS_SIZE && offsetof(IDEREGS, bCommandReg) == REG_COMMAND);
static_assert(sizeof(SENDCMDINPARAMS) == SMART_IN_SIZE && offsetof(SENDCMDINPARAMS, bDriveNumber) == 12);
static_assert(sizeof(DISK_GEOMETRY) == 24 && offsetof(DISK_GEOMETRY, TracksPerCylinder) == 12 &&
              offsetof(DISK_GEOMETRY, BytesPerSector) == 20 && sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400 && sizeof(STORAGE_PROPERTY_QUERY) == 12 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28 && BusTypeUsb == 7 && BusTypeSata == 11 &&
              BusTypeNvme == 17);
static_assert(IOCTL_DISK_PERFORMANCE == 0x70020 &&
              sizeof(DISK_PERFORMANCE) == DISK_PERFORMANCE_SIZE &&
              offsetof(DISK_PERFORMANCE, ReadCount) == DISK_PERFORMANCE_READ_COUNT_AT &&
              offsetof(DISK_PERFORMANCE, WriteCount) == DISK_PERFORMANCE_WRITE_COUNT_AT);
// The power descriptor, https://learn.microsoft.com/windows/win32/api/winioctl/ns-winioctl-device_power_descriptor
static_assert(StorageDevicePowerProperty == STORAGE_DEVICE_POWER_PROPERTY && PropertyStandardQuery == 0 &&
              offsetof(DEVICE_POWER_DESCRIPTOR, Size) == POWER_DESCRIPTOR_SIZE_AT &&
              offsetof(DEVICE_POWER_DESCRIPTOR, IdlePowerManagementEnabled) == POWER_DESCRIPTOR_IDLE_MANAGED_AT &&
              offsetof(DEVICE_POWER_DESCRIPTOR, IdleTimeoutInMS) == POWER_DESCRIPTOR_IDLE_TIMEOUT_AT &&
              sizeof(DEVICE_POWER_DESCRIPTOR) == POWER_DESCRIPTOR_SIZE);
static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x70000 && IOCTL_DISK_GET_LENGTH_INFO == 0x7405C &&
              IOCTL_STORAGE_RESET_DEVICE == 0x2D5004);
static_assert(sizeof(SENDCMDOUTPARAMS) - 1 + 512 == SMART_OUT_SIZE && offsetof(SENDCMDOUTPARAMS, bBuffer) == SMART_OUT_DATA_AT);

namespace {

HANDLE as_handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t win_create_file(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                              std::uint32_t flags_and_attributes) {
  return reinterpret_cast<std::intptr_t>(
      CreateFileA(path, access, share, nullptr, disposition, flags_and_attributes, nullptr));
}
std::uint32_t win_last_error() { return GetLastError(); }
void win_close_handle(std::intptr_t handle) { CloseHandle(as_handle(handle)); }
bool win_device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                           std::uint32_t out_size, std::uint32_t* bytes_returned) {
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(as_handle(handle), code, in, in_size, out, out_size, &returned, nullptr);
  *bytes_returned = returned;
  return ok != FALSE;
}
void* win_page_alloc(std::size_t size) { return VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE); }
void win_page_free(void* pages) { VirtualFree(pages, 0, MEM_RELEASE); }
bool win_read_file(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
  DWORD read = 0;
  const BOOL ok = ReadFile(as_handle(handle), buffer, count, &read, nullptr);
  *bytes_read = read;
  return ok != FALSE;
}
std::uint32_t win_set_file_pointer(std::intptr_t handle, std::int32_t offset, std::uint32_t method) {
  return SetFilePointer(as_handle(handle), offset, nullptr, method);
}
// https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-getdevicepowerstate: TRUE in the
// working state. It asks the device's power record, not the device.
bool win_device_power_state(std::intptr_t handle, int* on) {
  static_assert(sizeof(BOOL) == sizeof(int));
  return GetDevicePowerState(as_handle(handle), reinterpret_cast<BOOL*>(on)) != FALSE;
}

}  // namespace

const DiskSys disk_sys_platform{win_create_file, win_last_error, win_close_handle, win_device_io_control,
                                win_page_alloc,  win_page_free,  win_read_file,    win_set_file_pointer,
                                win_device_power_state};
const DiskSys* disk_sys = &disk_sys_platform;
