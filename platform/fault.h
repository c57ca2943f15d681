// Countdown fault injection for the platform layer.
//
// Every file and file-system operation of both layers asks OsFaultCheck()
// first. A test arms an operation so that its Nth call from now fails (or, for
// reads and writes, moves only half the bytes), runs the code under test, and
// checks that nothing was lost. Counting the calls of a clean run first and
// then arming each of them in turn proves every failure point.
//
// The state is process-wide and unsynchronised: the program and its tests
// run the layer on one thread.
#pragma once

#include <cstdint>

#include "platform/files.h"

enum class OsOp : uint8_t {
  OpenRead,
  OpenWrite,
  CreateNew,
  Read,
  Write,
  Seek,
  Flush,
  Close,
  GetAttributes,
  SetAttributes,
  Move,
  Link,
  Delete,
  FlushFolder,
  CopyAttributes,
  ModulePath,
  OpenFolder,   // the folders of platform/folder.h
  ReadValue,    // the protected values of platform/registry.h
  WriteValue,
  DeleteValue,
  Count_,
};

enum class OsFault : uint8_t {
  None,
  Fail,   // the call fails as the system would, moving no bytes
  Short,  // a read or write succeeds but moves half the bytes (rounded down)
  Busy,   // a rename fails with a sharing violation, as while another program
          // (an antivirus scanner, say) has the file open for a moment
  Denied, // a rename fails with access denied, as Windows refuses one while
          // another program holds the file for deletion or a scanner has it
  Full,   // a write fails with the disk full, moving no bytes
};

// The error a rename reports for an injected fault: Busy a sharing
// violation, Denied access denied, anything else the device's write fault.
uint32_t OsFaultMoveError(OsFault fault);

// Makes the nth call of op from now (1 = the next one) fail in the given way.
// With repeat, that call and every later one fail.
void OsFaultArm(OsOp op, uint32_t nth, OsFault kind = OsFault::Fail, bool repeat = false);

// Disarms every operation and sets every call counter back to zero.
void OsFaultReset();

// Calls of op since the last reset, failed ones included.
uint32_t OsFaultCalls(OsOp op);

// For the layers: counts this call of op and says whether it must fail.
OsFault OsFaultCheck(OsOp op);

// Crash-state exploration: the process ends at once, as a kill would end it
// (no clean-up, no destructors, exit status kOsFaultDeathStatus), at the
// entry of the nth platform operation of any kind from now; 0 disarms.
inline constexpr int kOsFaultDeathStatus = 86;
void OsFaultDieAt(uint32_t nth);

// Platform operations of every kind since the last reset.
uint32_t OsFaultTotalCalls();

// Calls hook at the entry of every platform operation, with its number
// (OsFaultTotalCalls), before the operation does anything: a test changes
// the file system there (swaps a folder for a link, say) as another program
// could at that moment. Null stops it; not reset by OsFaultReset.
using OsCallHook = void (*)(uint32_t call, void* context);
void OsFaultSetCallHook(OsCallHook hook, void* context);

// What one operation changed, for tests that model what a crash or a power
// cut leaves behind. Reported after the operation succeeded; only the
// fields of the operation's kind are set.
struct OsTraceEvent {
  OsOp op = OsOp::Count_;
  OsFile file = kOsInvalidFile;     // writes, seeks, flushes, closes; opens: the new handle
  const char16_t* path = nullptr;   // opens, attributes, deletes, folder flushes; moves, links, copies: the source;
                                    // protected values: the value's name
  const char16_t* path2 = nullptr;  // moves, links and attribute copies: the destination
  const void* data = nullptr;       // writes and values written: the bytes written
  uint32_t size = 0;                // writes: the byte count written
  int64_t position = 0;             // seeks
  uint32_t attributes = 0;          // attribute sets; OpenWrite: 1 when it truncated
};
using OsTraceHook = void (*)(const OsTraceEvent& event, void* context);

// Sends every later event to hook (null stops tracing). Not reset by
// OsFaultReset.
void OsTraceSet(OsTraceHook hook, void* context);

// For the layers: the report itself.
void OsTrace(const OsTraceEvent& event);

// Shorthands for the layers' reports; each does nothing unless someone
// listens. A change by path (attributes, moves, links, deletes, folder
// flushes), an open that gave file, and the writes, seeks, flushes and
// closes of an open file.
void OsTracePath(OsOp op, const char16_t* path, const char16_t* path2 = nullptr, uint32_t attributes = 0);
void OsTraceOpen(OsOp op, const char16_t* path, OsFile file, bool truncated);
void OsTraceFile(OsOp op, OsFile file, const void* data = nullptr, uint32_t size = 0, int64_t position = 0);
// A protected value written (data) or deleted (data null), durably.
void OsTraceValue(OsOp op, const char16_t* name, const void* data = nullptr, uint32_t size = 0);
