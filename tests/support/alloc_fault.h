// Countdown failure of the global operator new, for tests that prove an
// allocation failure anywhere loses nothing. Linked into the unit tests,
// which then allocate through malloc; nothing fails until armed.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts counting allocations from zero; with nth non-zero, the nth from
// now fails (std::bad_alloc, or null from the nothrow forms).
void AllocFaultArm(uint32_t nth);

// Stops counting and failing; returns the allocations counted since the arm.
uint32_t AllocFaultDisarm();

// The largest allocation asked for while counting (the last arm on).
std::size_t AllocFaultLargest();
