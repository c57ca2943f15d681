#include "platform/fault.h"

#include <array>
#include <cstddef>

namespace {

struct FaultSlot {
  uint32_t calls = 0;
  uint32_t failAt = 0;  // call number that fails; 0 when disarmed
  OsFault kind = OsFault::None;
  bool repeat = false;
};

std::array<FaultSlot, static_cast<size_t>(OsOp::Count_)> g_faults;

FaultSlot& SlotOf(OsOp op) { return g_faults[static_cast<size_t>(op)]; }

}  // namespace

void OsFaultArm(OsOp op, uint32_t nth, OsFault kind, bool repeat) {
  FaultSlot& slot = SlotOf(op);
  slot.failAt = nth == 0 ? 0 : slot.calls + nth;
  slot.kind = kind;
  slot.repeat = repeat;
}

void OsFaultReset() { g_faults = {}; }

uint32_t OsFaultCalls(OsOp op) { return SlotOf(op).calls; }

OsFault OsFaultCheck(OsOp op) {
  FaultSlot& slot = SlotOf(op);
  ++slot.calls;
  if (slot.failAt == 0 || slot.calls < slot.failAt) return OsFault::None;
  if (slot.calls == slot.failAt || slot.repeat) return slot.kind;
  return OsFault::None;
}
