#include "light_protocol.h"

namespace {
constexpr int SMI_STATUS_AT = 1;
constexpr int SMI_PRESENCE_AT = 8;
constexpr int SMI_STATE_AT = 17;
}  // namespace

SmiBlock smi_request(LightOp op, int on) {
  SmiBlock block{};
  block[0] = 0x80;
  block[1] = 0x53;
  block[8] = op == LightOp::set ? 0x09 : 0x08;
  block[9] = 0x11;
  if (op == LightOp::set && on != 0) block[16] = block[17] = 1;
  return block;
}

int smi_result(LightOp op, const SmiBlock& reply, std::uint32_t bytes_returned) {
  if (bytes_returned == 0) return -1;
  if (op == LightOp::set) return 0;  // answered: the switch went through, whatever the status
  const bool present = reply[SMI_STATUS_AT] == 0 && reply[SMI_PRESENCE_AT] != 0;
  if (op == LightOp::available) return present ? 1 : 0;
  return present ? reply[SMI_STATE_AT] : -1;
}

int hotkey_result_after_get(LightOp op, std::uint32_t word) {
  const bool unavailable = (word & HOTKEY_LIGHT_UNAVAILABLE) != 0;
  switch (op) {
    case LightOp::get: return unavailable ? -1 : static_cast<int>(word & 1);
    case LightOp::available: return unavailable ? 0 : 1;
    case LightOp::set: return unavailable ? -1 : HOTKEY_GO_ON;
  }
  return -1;
}

std::uint32_t hotkey_set_word(int on) { return HOTKEY_SET_LIGHT | (on != 0 ? 1u : 0u); }
