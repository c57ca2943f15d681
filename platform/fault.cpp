#include "platform/fault.h"

#include "platform/os_error.h"

#include <array>
#include <cstddef>
#include <cstdlib>

namespace {

struct FaultSlot {
  uint32_t calls = 0;
  uint32_t failAt = 0;  // call number that fails; 0 when disarmed
  OsFault kind = OsFault::None;
  bool repeat = false;
};

std::array<FaultSlot, static_cast<size_t>(OsOp::Count_)> g_faults;
uint32_t g_totalCalls = 0;
uint32_t g_dieAt = 0;  // total call number at whose entry the process ends; 0 when disarmed
OsTraceHook g_traceHook = nullptr;
void* g_traceContext = nullptr;
OsCallHook g_callHook = nullptr;
void* g_callContext = nullptr;

FaultSlot& SlotOf(OsOp op) { return g_faults[static_cast<size_t>(op)]; }

}  // namespace

void OsFaultArm(OsOp op, uint32_t nth, OsFault kind, bool repeat) {
  FaultSlot& slot = SlotOf(op);
  slot.failAt = nth == 0 ? 0 : slot.calls + nth;
  slot.kind = kind;
  slot.repeat = repeat;
}

void OsFaultReset() {
  g_faults = {};
  g_totalCalls = 0;
  g_dieAt = 0;
}

void OsFaultDieAt(uint32_t nth) { g_dieAt = nth == 0 ? 0 : g_totalCalls + nth; }

uint32_t OsFaultTotalCalls() { return g_totalCalls; }

void OsTraceSet(OsTraceHook hook, void* context) {
  g_traceHook = hook;
  g_traceContext = context;
}

void OsTrace(const OsTraceEvent& event) {
  if (g_traceHook != nullptr) g_traceHook(event, g_traceContext);
}

uint32_t OsFaultCalls(OsOp op) { return SlotOf(op).calls; }

void OsFaultSetCallHook(OsCallHook hook, void* context) {
  g_callHook = hook;
  g_callContext = context;
}

OsFault OsFaultCheck(OsOp op) {
  if (++g_totalCalls == g_dieAt) std::_Exit(kOsFaultDeathStatus);
  if (g_callHook != nullptr) g_callHook(g_totalCalls, g_callContext);
  FaultSlot& slot = SlotOf(op);
  ++slot.calls;
  if (slot.failAt == 0 || slot.calls < slot.failAt) return OsFault::None;
  if (slot.calls == slot.failAt || slot.repeat) return slot.kind;
  return OsFault::None;
}

void OsTracePath(OsOp op, const char16_t* path, const char16_t* path2, uint32_t attributes) {
  if (g_traceHook == nullptr) return;
  OsTraceEvent event;
  event.op = op;
  event.path = path;
  event.path2 = path2;
  event.attributes = attributes;
  OsTrace(event);
}

void OsTraceOpen(OsOp op, const char16_t* path, OsFile file, bool truncated) {
  if (g_traceHook == nullptr) return;
  OsTraceEvent event;
  event.op = op;
  event.path = path;
  event.file = file;
  event.attributes = truncated ? 1 : 0;
  OsTrace(event);
}

void OsTraceFile(OsOp op, OsFile file, const void* data, uint32_t size, int64_t position) {
  if (g_traceHook == nullptr) return;
  OsTraceEvent event;
  event.op = op;
  event.file = file;
  event.data = data;
  event.size = size;
  event.position = position;
  OsTrace(event);
}

void OsTraceValue(OsOp op, const char16_t* name, const void* data, uint32_t size) {
  if (g_traceHook == nullptr) return;
  OsTraceEvent event;
  event.op = op;
  event.path = name;
  event.data = data;
  event.size = size;
  OsTrace(event);
}

uint32_t OsFaultMoveError(OsFault fault) {
  switch (fault) {
    case OsFault::Busy:
      return OS_ERROR_SHARING_VIOLATION;
    case OsFault::Denied:
      return OS_ERROR_ACCESS_DENIED;
    default:
      return OS_ERROR_WRITE_FAULT;
  }
}
