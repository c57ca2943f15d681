#include "payload/file_dx.h"

CFileDX::~CFileDX() { Close(); }

int CFileDX::OpenRead(const char16_t* path) {
  if (IsOpen()) return 0;
  m_handle = OsOpenRead(path);
  if (!IsOpen()) {
    m_lastError = OsLastError();
    return 0;
  }
  return 1;
}

int CFileDX::OpenReadNoFollow(const char16_t* path) {
  if (IsOpen()) return 0;
  m_handle = OsOpenReadNoFollow(path);
  if (!IsOpen()) {
    m_lastError = OsLastError();
    return 0;
  }
  return 1;
}

int CFileDX::CreateNew(const char16_t* path) {
  if (IsOpen()) return 0;
  m_handle = OsCreateNew(path);
  return IsOpen() ? 1 : 0;
}

int CFileDX::OpenReadIn(OsFolder folder, const char16_t* name) {
  if (IsOpen()) return 0;
  m_handle = OsOpenReadIn(folder, name);
  if (!IsOpen()) {
    m_lastError = OsLastError();
    return 0;
  }
  return 1;
}

int CFileDX::CreateNewIn(OsFolder folder, const char16_t* name) {
  if (IsOpen()) return 0;
  m_handle = OsCreateNewIn(folder, name);
  return IsOpen() ? 1 : 0;
}

int CFileDX::OpenWrite(const char16_t* path, int32_t mode) {
  if (IsOpen()) return 0;
  m_handle = OsOpenWrite(path, mode == 1 ? OsWriteDisposition::OpenAlways : OsWriteDisposition::CreateAlways);
  return IsOpen() ? 1 : 0;
}

uint32_t CFileDX::Read(void* buffer, uint32_t count) {
  uint32_t done = 0;
  return OsRead(m_handle, buffer, count, &done) ? done : 0;
}

uint32_t CFileDX::Write(const void* buffer, uint32_t count) {
  uint32_t done = 0;
  return OsWrite(m_handle, buffer, count, &done) ? done : 0;
}

int CFileDX::Seek(uint32_t low, uint32_t high) {
  int64_t position = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  return OsSeek(m_handle, position) ? 1 : 0;
}

uint32_t CFileDX::GetSize() { return OsGetSizeLow(m_handle); }

void CFileDX::StartWriteback(uint32_t offset, uint32_t count) {
  if (IsOpen()) OsStartWriteback(m_handle, offset, count);
}

int CFileDX::Flush() { return IsOpen() && OsFlush(m_handle) ? 1 : 0; }

int32_t CFileDX::Close() {
  if (!IsOpen()) return -1;
  bool ok = OsClose(m_handle);
  m_handle = kOsInvalidFile;
  return ok ? 1 : 0;
}
