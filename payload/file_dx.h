// CFileDX: the one owner of an open file in the program.
//
// It wraps a single handle of the platform layer, records the error of a
// failed open for reading, and closes the handle when destroyed, so every
// exit path of the routine that declares it releases the file. Reads and
// writes are single system calls: callers compare the byte count with what
// they asked for and treat a short count as failure.
#pragma once

#include <cstdint>

#include "platform/files.h"
#include "platform/folder.h"

class CFileDX {
 public:
  CFileDX() = default;
  virtual ~CFileDX();

  CFileDX(const CFileDX&) = delete;
  CFileDX& operator=(const CFileDX&) = delete;

  // Opens an existing file for reading; others may read it too, nobody may
  // write it meanwhile. 1 on success; 0 when a file is already open here
  // (which stays open, untouched) or the open fails, whose system error is
  // then kept in LastError().
  int OpenRead(const char16_t* path);

  // As OpenRead, but a link at path is refused instead of followed, and so is
  // anything but a plain file: for files in a folder others may write to.
  int OpenReadNoFollow(const char16_t* path);

  // Creates a new file for writing, exclusively; fails when anything, a link
  // included, is already at path. 1 on success, 0 on failure.
  int CreateNew(const char16_t* path);

  // OpenReadNoFollow and CreateNew for the entry name of an open folder
  // (platform/folder.h): no path is resolved again.
  int OpenReadIn(OsFolder folder, const char16_t* name);
  int CreateNewIn(OsFolder folder, const char16_t* name);

  // Opens a file for writing, exclusively. Mode 1 opens an existing file as it
  // is or creates it; every other mode creates it or truncates it to 0 bytes.
  // 1 on success, 0 when a file is already open here or the open fails.
  // LastError() is not touched.
  int OpenWrite(const char16_t* path, int32_t mode);

  // One read at the current position: the bytes read, 0 when the call fails.
  uint32_t Read(void* buffer, uint32_t count);

  // One write at the current position: the bytes written, 0 when the call
  // fails.
  uint32_t Write(const void* buffer, uint32_t count);

  // Moves to the absolute position high:low. 1 on success, 0 on failure; a
  // position whose low half is all ones is a success.
  int Seek(uint32_t low, uint32_t high);

  // The low 32 bits of the size; 0xFFFFFFFF when nothing is open.
  uint32_t GetSize();

  // Asks the device to start writing count bytes from offset, without
  // waiting; a hint that a later Flush has less to wait for.
  void StartWriteback(uint32_t offset, uint32_t count);

  // Makes the written bytes durable before the file is closed (or renamed).
  // 1 on success, 0 on failure or when nothing is open.
  int Flush();

  // Closes the file: 1 or 0 as the system reports, -1 (all bits set) when
  // nothing was open. The object is closed afterwards in every case.
  int32_t Close();

  bool IsOpen() const { return m_handle != kOsInvalidFile; }

  // The system error of the last failed OpenRead, 0 before any.
  uint32_t LastError() const { return m_lastError; }

 private:
  OsFile m_handle = kOsInvalidFile;
  uint32_t m_lastError = 0;
};
