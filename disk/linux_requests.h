// disk_ioctl's requests beside the drive command. Internal to the disk layer.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef IOCTL_DISK_GET_DRIVE_GEOMETRY
constexpr std::uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
#endif
#ifndef IOCTL_DISK_GET_LENGTH_INFO
constexpr std::uint32_t IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
#endif
#ifndef IOCTL_STORAGE_RESET_DEVICE
constexpr std::uint32_t IOCTL_STORAGE_RESET_DEVICE = 0x2D5004;
#endif
#ifndef IOCTL_STORAGE_QUERY_PROPERTY
constexpr std::uint32_t IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;
#endif
#ifndef IOCTL_DISK_PERFORMANCE
constexpr std::uint32_t IOCTL_DISK_PERFORMANCE = 0x70020;
#endif
constexpr std::uint32_t DISK_GEOMETRY_SIZE = 24;
constexpr std::uint32_t DISK_PERFORMANCE_SIZE = 88;  // DISK_PERFORMANCE
constexpr std::uint32_t DISK_PERFORMANCE_READ_COUNT_AT = 40, DISK_PERFORMANCE_WRITE_COUNT_AT = 44;
constexpr std::uint32_t LENGTH_INFO_SIZE = 8;
// IOCTL_STORAGE_QUERY_PROPERTY for DEVICE_POWER_DESCRIPTOR (Windows 8 and later).
constexpr std::uint32_t STORAGE_DEVICE_POWER_PROPERTY = 12;
constexpr std::uint32_t POWER_DESCRIPTOR_SIZE = 20, POWER_DESCRIPTOR_SIZE_AT = 4, POWER_DESCRIPTOR_IDLE_MANAGED_AT = 10,
                        POWER_DESCRIPTOR_IDLE_TIMEOUT_AT = 16;

// Identify text fields by byte offset and length.
constexpr std::size_t IDENTIFY_SERIAL_AT = 20, IDENTIFY_SERIAL_SIZE = 20;
constexpr std::size_t IDENTIFY_FIRMWARE_AT = 46, IDENTIFY_FIRMWARE_SIZE = 8;
constexpr std::size_t IDENTIFY_MODEL_AT = 54, IDENTIFY_MODEL_SIZE = 40;
constexpr std::size_t IDENTIFY_ACOUSTIC_AT = 188;

// Answers every request code but HDIO_DRIVE_CMD; ENOSYS for a code it does not know.
int disk_other_request(int handle, int request, void* arg);

// Puts an identify text field into reading order (the drive sends each pair of characters swapped)
// and turns its trailing blanks into NULs, never touching byte 0. size is even.
void identify_fix_text(std::uint8_t* field, std::size_t size);
