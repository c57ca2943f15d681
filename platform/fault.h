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

enum class OsOp : uint8_t {
  OpenRead,
  OpenWrite,
  Read,
  Write,
  Seek,
  Flush,
  Close,
  GetAttributes,
  SetAttributes,
  Move,
  Delete,
  ModulePath,
  Count_,
};

enum class OsFault : uint8_t {
  None,
  Fail,   // the call fails as the system would, moving no bytes
  Short,  // a read or write succeeds but moves half the bytes (rounded down)
};

// Makes the nth call of op from now (1 = the next one) fail in the given way.
// With repeat, that call and every later one fail.
void OsFaultArm(OsOp op, uint32_t nth, OsFault kind = OsFault::Fail, bool repeat = false);

// Disarms every operation and sets every call counter back to zero.
void OsFaultReset();

// Calls of op since the last reset, failed ones included.
uint32_t OsFaultCalls(OsOp op);

// For the layers: counts this call of op and says whether it must fail.
OsFault OsFaultCheck(OsOp op);
