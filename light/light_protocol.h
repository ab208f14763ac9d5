// What the two light drivers are sent and how their replies are read; no platform calls here.
#pragma once

#include <array>
#include <cstdint>

constexpr std::uint32_t IOCTL_SMI_VERSION = 0x81100000;
constexpr std::uint32_t IOCTL_SMI_CALL = 0x81100004;
constexpr std::uint32_t IOCTL_HOTKEY_CAPS = 0x81008120;
constexpr std::uint32_t IOCTL_HOTKEY_GET = 0x81008128;
constexpr std::uint32_t IOCTL_HOTKEY_SET = 0x8100812C;

constexpr char16_t SMI_DEVICE[] = u"\\\\.\\lenovo.smi";
constexpr char16_t HOTKEY_DEVICE_NT[] = u"\\\\.\\TPHKDRV";
constexpr char16_t HOTKEY_DEVICE_9X[] = u"\\\\.\\TPHKDRV.VXD";
constexpr std::uint32_t PLATFORM_WIN32_WINDOWS = 1;  // Windows 95, 98, Me
constexpr std::uint32_t PLATFORM_WIN32_NT = 2;

constexpr int SMI_VERSION_REPLY_SIZE = 14;
constexpr int SMI_VERSION_AT = 8;
constexpr std::uint8_t SMI_VERSION_SUPPORTED = 18;

constexpr int SMI_BLOCK_SIZE = 48;
using SmiBlock = std::array<std::uint8_t, SMI_BLOCK_SIZE>;

constexpr std::uint32_t HOTKEY_CAPS_LIGHT = 0x04000000;   // bit 26: the light function exists
constexpr std::uint32_t HOTKEY_LIGHT_FUNCTION = 26;
constexpr std::uint32_t HOTKEY_LIGHT_UNAVAILABLE = 0x8000; // bit 15 of the GET reply
constexpr std::uint32_t HOTKEY_SET_LIGHT = HOTKEY_LIGHT_FUNCTION << 24;

enum class LightOp { get, set, available };

// The SMI block for a request: read for get and available, switch for set.
SmiBlock smi_request(LightOp op, int on);
// The result of a request from the SMI reply and its byte count.
int smi_result(LightOp op, const SmiBlock& reply, std::uint32_t bytes_returned);

// The hotkey GET reply decides get and available outright; set goes on only when this says so.
constexpr int HOTKEY_GO_ON = 1;
int hotkey_result_after_get(LightOp op, std::uint32_t word);
std::uint32_t hotkey_set_word(int on);
