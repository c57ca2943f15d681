// Times the real patch.exe under Wine, for the apply benchmark: from the
// confirmation's Yes to the completion box, driven through the program's own
// windows by the end-to-end driver; and the floor to compare it with, the
// same files copied with CopyFileW and flushed with FlushFileBuffers.
//   apply_timer patch <patched.exe>
//   apply_timer copy <from folder> <to folder>
// Prints the seconds; exit status 0, or 1 when the run did not complete.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/e2e/e2e_driver.h"

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int TimePatch(const std::wstring& patched) {
  HostProcess host;
  if (!host.Start(patched, L"")) return 1;
  HWND confirm = WaitForWindow([&] { return FindMessageBox(host.ProcessId()); }, 60000);
  if (confirm == nullptr) return 1;
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  ClickButton(confirm, IDYES);
  // The next box that is not the confirmation is the outcome.
  HWND outcome = WaitForWindow(
      [&] {
        HWND box = FindMessageBox(host.ProcessId());
        return box != confirm ? box : nullptr;
      },
      600000);
  LARGE_INTEGER end;
  QueryPerformanceCounter(&end);
  if (outcome == nullptr) return 1;
  bool completed = ReadMessageBox(outcome).text.find(L"アップデートが完了しました") == 0;
  ClickButton(outcome, IDOK);
  DWORD status = 1;
  host.Wait(60000, &status);
  std::printf("%.4f\n", Seconds(start, end));
  return completed && status == 0 ? 0 : 1;
}

int TimeCopy(const std::wstring& from, const std::wstring& to) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 1;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    std::wstring target = to + L"\\" + found.cFileName;
    if (!CopyFileW((from + L"\\" + found.cFileName).c_str(), target.c_str(), FALSE)) return 1;
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    FlushFileBuffers(file);
    CloseHandle(file);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  LARGE_INTEGER end;
  QueryPerformanceCounter(&end);
  std::printf("%.4f\n", Seconds(start, end));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"patch") return TimePatch(argv[2]);
  if (argc == 4 && std::wstring(argv[1]) == L"copy") return TimeCopy(argv[2], argv[3]);
  std::fprintf(stderr, "usage: apply_timer patch <patched.exe> | copy <from folder> <to folder>\n");
  return 2;
}
