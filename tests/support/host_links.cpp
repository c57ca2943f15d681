#include "tests/support/host_links.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

#ifdef _WIN32
namespace {

// The host's name of a path under Wine (UTF-8), or an empty string.
std::wstring UnixName(const fs::path& path) {
  using Convert = char*(CDECL*)(LPCWSTR);
  auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = convert != nullptr ? convert(path.wstring().c_str()) : nullptr;
  std::wstring wide;
  if (name != nullptr) {
    int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (units > 1) {
      wide.resize(static_cast<size_t>(units));
      MultiByteToWideChar(CP_UTF8, 0, name, -1, wide.data(), units);
      wide.resize(static_cast<size_t>(units - 1));
    }
    HeapFree(GetProcessHeap(), 0, name);
  }
  return wide;
}

// Runs a shell command on the host (under Wine), the paths given to it as
// $0, $1, ... in the host's spelling. Wine starts a host program without a
// handle to wait on, so the shell also makes a marker file when it is done
// (what it makes may be invisible to Win32 calls: a dangling link).
bool RunOnHost(const std::wstring& script, const std::vector<fs::path>& paths) {
  static int runs = 0;
  fs::path marker = fs::temp_directory_path() /
                    ("lumetria-host-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++runs));
  std::wstring command = L"sh -c \"" + script + L" && : > \\\"$" + std::to_wstring(paths.size()) + L"\\\"\"";
  std::vector<fs::path> arguments = paths;
  arguments.push_back(marker);
  for (const fs::path& path : arguments) {
    std::wstring name = UnixName(path);
    if (name.empty()) return false;
    command += L" \"" + name + L"\"";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process) == FALSE) {
    return false;
  }
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  // A bounded wait for the shell, not a measurement.
  for (int tries = 0; tries < 1000; ++tries) {
    if (GetFileAttributesW(marker.wstring().c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileW(marker.wstring().c_str());
      return true;
    }
    Sleep(10);
  }
  return false;
}
}  // namespace
#endif

// Makes a symbolic link; false where this platform cannot make one here.
// Wine 8's CreateSymbolicLinkW reports success and makes nothing, so under
// Wine the host makes it.
bool MakeLink(const fs::path& link, const fs::path& target, bool folder) {
#ifdef _WIN32
  if (RunningUnderWine()) return RunOnHost(L"ln -s -- \\\"$0\\\" \\\"$1\\\"", {target, link});
  // Windows lets administrators, and everyone in developer mode, make links.
  DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  return CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), flags) != FALSE;
#else
  std::error_code error;
  if (folder) {
    fs::create_directory_symlink(target, link, error);
  } else {
    fs::create_symlink(target, link, error);
  }
  return !error;
#endif
}

// Removes a link itself. Under Wine every Win32 call on a host link to a
// file reaches the file, so the host removes it.
void RemoveLink(const fs::path& link) {
#ifdef _WIN32
  if (RunningUnderWine()) {
    EXPECT_TRUE(RunOnHost(L"rm -f -- \\\"$0\\\"", {link})) << link;
    return;
  }
#endif
  std::error_code error;
  fs::remove(link, error);
}

bool IsLink(const fs::path& path) {
#ifdef _WIN32
  if (RunningUnderWine()) {
    // Wine shows a host link to a file as the file: the host tells.
    const fs::path answer = fs::temp_directory_path() / ("lumetria-is-link-" + std::to_string(GetCurrentProcessId()));
    DeleteFileW(answer.wstring().c_str());
    EXPECT_TRUE(RunOnHost(L"if test -L \\\"$0\\\"; then : > \\\"$1\\\"; fi", {path, answer})) << path;
    const bool link = GetFileAttributesW(answer.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileW(answer.wstring().c_str());
    return link;
  }
  DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
  return fs::is_symlink(fs::symlink_status(path));
#endif
}
