// Error codes of the platform layer.
//
// The core speaks Windows' error numbering on every platform: the Win32 layer
// returns GetLastError() as it is, and the POSIX layer translates errno into
// the code Windows gives for the same situation. Only the codes the layers
// actually produce are named here.
#pragma once

#include <cstdint>

inline constexpr uint32_t OS_ERROR_SUCCESS = 0;
inline constexpr uint32_t OS_ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t OS_ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t OS_ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t OS_ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t OS_ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t OS_ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t OS_ERROR_NOT_SAME_DEVICE = 17;
inline constexpr uint32_t OS_ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t OS_ERROR_READ_FAULT = 30;
inline constexpr uint32_t OS_ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t OS_ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t OS_ERROR_HANDLE_DISK_FULL = 39;
inline constexpr uint32_t OS_ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t OS_ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t OS_ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t OS_ERROR_DISK_FULL = 112;
inline constexpr uint32_t OS_ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t OS_ERROR_INVALID_NAME = 123;
inline constexpr uint32_t OS_ERROR_NEGATIVE_SEEK = 131;
inline constexpr uint32_t OS_ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t OS_ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t OS_ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t OS_ERROR_DIRECTORY = 267;  // a folder was expected

// The error of the most recent failed platform call on this thread.
// Successful calls may leave it unchanged, as on Windows.
uint32_t OsLastError();
