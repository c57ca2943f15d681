// The end-to-end driver: starts a Win32 program, finds its windows, reads
// their texts and control states, and clicks, closes or quits them the way a
// user or the system would.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A program under test, started with its standard output in a scratch file.
// A program still running when the object goes is terminated.
class HostProcess {
 public:
  HostProcess() = default;
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool Start(const std::wstring& program, const std::wstring& arguments);
  DWORD ProcessId() const { return m_info.dwProcessId; }
  DWORD ThreadId() const { return m_info.dwThreadId; }
  HANDLE ThreadHandle() const { return m_info.hThread; }
  // Waits for the program to end; false on timeout.
  bool Wait(DWORD milliseconds, DWORD* exitCode);
  // Ends the program at once, as the task manager would (TerminateProcess),
  // and waits until it is gone.
  void Kill();
  // What the program printed so far.
  std::string Output() const;

 private:
  PROCESS_INFORMATION m_info = {};
  std::wstring m_outputPath;
};

// The folder of the running driver, where the programs under test are built.
std::wstring ProgramFolder();

// Polls find() every 20 ms until it returns a window or the time is up.
HWND WaitForWindow(const std::function<HWND()>& find, DWORD milliseconds = 10000);
// Polls until condition() holds; false when the time is up.
bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = 10000);

// Top-level windows of a process whose class is the dialog class (#32770).
std::vector<HWND> DialogWindowsOf(DWORD processId);
// The progress dialog of a process: a dialog window with the cancel button.
HWND FindProgressDialog(DWORD processId);
// A message box of a process: a dialog window with the message text control.
HWND FindMessageBox(DWORD processId);
// A top-level window of a process whose title starts with prefix.
HWND FindWindowByTitlePrefix(DWORD processId, const std::wstring& prefix);

// The rectangle of the first monitor the system enumerates.
RECT FirstMonitor();

// Texts read through WM_GETTEXT, which crosses processes.
std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);

// What a message box shows, read back from its controls.
struct MessageBoxView {
  std::wstring caption;
  std::wstring text;
  std::vector<int> buttons;  // command identifiers of the visible buttons, in child order
  int defaultButton = 0;     // the button with the default push-button style
  HWND iconControl = nullptr;
};
MessageBoxView ReadMessageBox(HWND box);

// Which of the system icons (IDI_WARNING, IDI_INFORMATION, IDI_QUESTION,
// IDI_ERROR) an icon control shows on the screen: the one whose rendering
// is closest to the control's pixels. Icon handles of another process
// cannot be read, so the screen is compared instead.
LPCWSTR ShownSystemIcon(HWND iconControl);

// Presses a button of a window, or of a message box, as a click would.
void ClickButton(HWND parent, int id);

// The integer after "name=" in text; -1 when absent.
int ValueOf(const std::wstring& text, const std::wstring& name);
