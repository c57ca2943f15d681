// Plays the player's part for scripts/demo: starts the patch, answers its
// confirmation with Yes and its outcome box with OK, and has a picture taken
// of each window on the way: the confirmation, the progress dialog (the
// program held still part-way through a file) and the outcome box.
//   demo_driver <patch.exe> <picture folder>
// For each picture it writes "<name>.rect" into the folder, the window's
// screen rectangle as "x y width height", and waits until the caller has
// created "<name>.done". The names are confirm, progress and completed (or
// outcome, when the run did not complete). Prints what each box said.
// Exit status: 0 when the patch reported a completed update and ended with
// status 0, else 1.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "tests/e2e/e2e_driver.h"

namespace {

constexpr int kStatusTextId = 1001;
constexpr int kFileBarId = 1002;
constexpr DWORD kPictureTimeout = 60000;
const std::wstring kCompleted = L"アップデートが完了しました";

void Say(const std::wstring& text) {
  std::wstring line = text + L"\n";
  int length = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                   nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), length, nullptr,
                      nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

// A box's text on one line, without the full-width spaces that pad it.
std::wstring Flat(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'\n') c = L' ';
  }
  size_t end = text.find_last_not_of(L" \u3000");
  return end == std::wstring::npos ? std::wstring() : text.substr(0, end + 1);
}

// Asks the caller to picture the window and waits until it has.
bool Picture(const std::wstring& folder, const std::wstring& name, HWND window) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return false;
  std::wstring rectPath = folder + L"\\" + name + L".rect";
  std::wstring donePath = folder + L"\\" + name + L".done";
  std::wstring partPath = rectPath + L".part";
  FILE* out = _wfopen(partPath.c_str(), L"wb");
  if (out == nullptr) return false;
  std::fprintf(out, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  std::fclose(out);
  // Renamed into place whole, so the caller never reads half a line.
  if (!MoveFileExW(partPath.c_str(), rectPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  bool taken = WaitUntil([&] { return GetFileAttributesW(donePath.c_str()) != INVALID_FILE_ATTRIBUTES; },
                         kPictureTimeout);
  if (!taken) Say(L"demo_driver: no picture of the " + name + L" was taken");
  return taken;
}

// A message box that has appeared, once it is shown and painted.
HWND Settled(HWND box) {
  WaitUntil([&] { return IsWindowVisible(box) != FALSE; });
  Sleep(500);
  return box;
}

// Holds the program still while its progress dialog shows the file bar
// part-way through a file, so that the picture shows both bars moving. The
// run goes on one pump at a time: the program answers the position query at
// its next pump and is suspended again right after. The program draws the
// file bar at most every 30 ms, so the run goes on for a while after the
// position first gets past a quarter, long enough for a drawing from there.
// True with the program suspended; false when the run ended first (the
// program then runs on).
bool HoldMidRun(HostProcess& host, HWND dialog) {
  HWND fileBar = GetDlgItem(dialog, kFileBarId);
  DWORD reached = 0;
  bool inRange = false;
  SuspendThread(host.ThreadHandle());
  for (;;) {
    ResumeThread(host.ThreadHandle());
    DWORD_PTR position = 0;
    bool answered = fileBar != nullptr &&
                    SendMessageTimeoutW(fileBar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 10000, &position) != 0;
    SuspendThread(host.ThreadHandle());
    if (!answered || !IsWindow(dialog)) break;
    bool midway = IsWindowVisible(dialog) && position >= 0x4000 && position <= 0xC000;
    if (midway && !inRange) reached = GetTickCount();
    inRange = midway;
    if (midway && GetTickCount() - reached >= 60) return true;
    Sleep(10);
  }
  ResumeThread(host.ThreadHandle());
  return false;
}

int Drive(const std::wstring& patch, const std::wstring& folder) {
  HostProcess host;
  if (!host.Start(patch, L"")) {
    Say(L"demo_driver: cannot start " + patch);
    return 1;
  }
  HWND box = WaitForWindow([&] { return FindMessageBox(host.ProcessId()); }, 120000);
  if (box == nullptr) {
    Say(L"demo_driver: the patch showed no box");
    return 1;
  }
  MessageBoxView view = ReadMessageBox(Settled(box));
  bool question = false;
  for (int id : view.buttons) question = question || id == IDYES;
  if (question) {
    Say(L"  question: " + Flat(view.text) + L"  -> Yes");
    if (!Picture(folder, L"confirm", box)) return 1;
    ClickButton(box, IDYES);
    WaitUntil([&] { return !IsWindow(box); });

    // The progress dialog, unless the run is over before it is seen.
    HWND shown = WaitForWindow(
        [&] {
          HWND dialog = FindProgressDialog(host.ProcessId());
          return dialog != nullptr ? dialog : FindMessageBox(host.ProcessId());
        },
        120000);
    if (shown != nullptr && FindProgressDialog(host.ProcessId()) == shown) {
      if (HoldMidRun(host, shown)) {
        // Read without a message: the program is suspended.
        wchar_t status[256] = {};
        InternalGetWindowText(GetDlgItem(shown, kStatusTextId), status, 256);
        Say(std::wstring(L"  progress: ") + status + L" (held still for the picture)");
        bool taken = Picture(folder, L"progress", shown);
        ResumeThread(host.ThreadHandle());
        if (!taken) return 1;
      } else {
        Say(L"  progress: the run ended before the dialog could be pictured");
      }
    }
    box = WaitForWindow([&] { return FindMessageBox(host.ProcessId()); }, 600000);
    if (box == nullptr) {
      Say(L"demo_driver: the patch showed no outcome");
      return 1;
    }
    view = ReadMessageBox(Settled(box));
  }
  bool completed = view.text.rfind(kCompleted, 0) == 0;
  Say(L"  outcome: " + Flat(view.text) + L"  -> OK");
  if (!Picture(folder, completed ? L"completed" : L"outcome", box)) return 1;
  ClickButton(box, IDOK);
  DWORD status = 1;
  if (!host.Wait(60000, &status)) {
    Say(L"demo_driver: the patch did not end");
    return 1;
  }
  wchar_t line[64];
  swprintf(line, 64, L"  exit status 0x%08lX", status);
  Say(line);
  return completed && status == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: demo_driver <patch.exe> <picture folder>\n");
    return 2;
  }
  return Drive(argv[1], argv[2]);
}
