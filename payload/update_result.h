// Result codes of the update run. A set top bit marks a failure or a stop.
#pragma once

#include <cstdint>

using UpdateResult = uint32_t;

inline constexpr UpdateResult UPDATE_OK = 0;
inline constexpr UpdateResult UPDATE_E_PAYLOAD = 0x80000001;
inline constexpr UpdateResult UPDATE_E_TOO_MANY_ENTRIES = 0x80000002;
inline constexpr UpdateResult UPDATE_E_PAYLOAD_RESERVED = 0x80000003;
inline constexpr UpdateResult UPDATE_E_WRITE = 0x80000004;
inline constexpr UpdateResult UPDATE_E_UNINSTALL_LIST = 0x80000005;
inline constexpr UpdateResult UPDATE_E_CANCELLED = 0x80000006;
inline constexpr UpdateResult UPDATE_E_CLOSED = 0x80000007;
