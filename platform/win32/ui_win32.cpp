// The user interface on Win32: the message pump, the message boxes and the
// progress dialog with its cancel question, close handling and centring.
#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "app/resources/dialog_ids.h"
#include "platform/ui.h"
#include "platform/win32/win32_util.h"

namespace {

HWND DialogWindow() { return static_cast<HWND>(g_dialog); }

// The display monitors in enumeration order; rebuilt for each dialog.
std::vector<RECT> g_monitors;

BOOL CALLBACK AddMonitor(HMONITOR, HDC, LPRECT rect, LPARAM) {
  g_monitors.push_back(*rect);
  return TRUE;
}

// The rectangle of the monitor with the given index, in enumeration order.
bool MonitorRect(size_t index, RECT* rect) {
  if (index >= g_monitors.size()) return false;
  *rect = g_monitors[index];
  return true;
}

// Centres by the first monitor's size; its own origin is not added, so the
// position is relative to the virtual screen's origin. Without any monitor
// the primary work area stands in.
void CentreDialog(HWND dialog) {
  RECT window;
  RECT monitor;
  GetWindowRect(dialog, &window);
  if (!MonitorRect(0, &monitor)) SystemParametersInfoW(SPI_GETWORKAREA, 0, &monitor, 0);
  LONG width = window.right - window.left;
  LONG height = window.bottom - window.top;
  LONG x = (monitor.right - monitor.left - width) / 2;
  LONG y = (monitor.bottom - monitor.top - height) / 2;
  SetWindowPos(dialog, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) != IDC_CANCEL_BUTTON || HIWORD(wParam) != BN_CLICKED) return FALSE;
      // Once cancel is confirmed the question is not asked again.
      if (!g_cancelRequested && AskQuestion(window, kCancelQuestion) == kAnswerYes) {
        g_cancelRequested = 1;
        EnableWindow(GetDlgItem(window, IDC_CANCEL_BUTTON), FALSE);
      }
      return TRUE;
    case WM_SYSCOMMAND:
      // Alt+F4 and the close command must not close the dialog.
      return (wParam & 0xFFF0) == SC_CLOSE ? TRUE : FALSE;
    case WM_CLOSE:
      g_windowClosed = 1;
      DestroyWindow(DialogWindow());
      g_dialog = nullptr;
      return TRUE;
    default:
      return FALSE;
  }
}

class DialogProgressUi final : public ProgressUi {
 public:
  DialogProgressUi()
      : m_status(GetDlgItem(DialogWindow(), IDC_STATUS_TEXT)),
        m_fileBar(GetDlgItem(DialogWindow(), IDC_FILE_BAR)),
        m_overallBar(GetDlgItem(DialogWindow(), IDC_OVERALL_BAR)) {}

  void SetStatus(const char16_t* text) override {
    if (m_status) SetWindowTextW(m_status, AsWide(text));
  }
  void SetFileRange(uint32_t high) override {
    m_fileHigh = high;
    SetRange(m_fileBar, high);
  }
  // The file bar moves once a piece, hundreds of times a second; drawing
  // every position (through user32 and gdi32, and X11 under Wine) costs
  // more than copying the piece. Every position is still set, so the bar
  // holds the run's values at all times, but it is drawn at most every
  // kRedrawMilliseconds, and always at 0 and at its end.
  void SetFilePosition(uint32_t position) override {
    if (!m_fileBar) return;
    DWORD now = GetTickCount();
    bool draw = position == 0 || position >= m_fileHigh || now - m_lastDrawn >= kRedrawMilliseconds;
    if (!draw && !m_frozen) {
      SendMessageW(m_fileBar, WM_SETREDRAW, FALSE, 0);
      m_frozen = true;
    }
    if (draw && m_frozen) {
      SendMessageW(m_fileBar, WM_SETREDRAW, TRUE, 0);
      // The positions set meanwhile were not drawn: the whole bar is due.
      InvalidateRect(m_fileBar, nullptr, FALSE);
      m_frozen = false;
    }
    SetPosition(m_fileBar, position);
    if (draw) m_lastDrawn = now;
  }
  void SetOverallRange(uint32_t high) override { SetRange(m_overallBar, high); }
  void SetOverallPosition(uint32_t position) override { SetPosition(m_overallBar, position); }
  int Pump() override { return PumpPendingMessages(); }

 private:
  static void SetRange(HWND bar, uint32_t high) {
    if (bar) SendMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(high));
  }
  static void SetPosition(HWND bar, uint32_t position) {
    if (bar) SendMessageW(bar, PBM_SETPOS, position, 0);
  }

  static constexpr DWORD kRedrawMilliseconds = 30;

  HWND m_status;
  HWND m_fileBar;
  HWND m_overallBar;
  uint32_t m_fileHigh = 0;
  DWORD m_lastDrawn = 0;
  bool m_frozen = false;
};

// comctl32 is not one of the KnownDLLs, which the loader always takes from
// System32: imported, or loaded by its bare name, it would be looked for in
// the program's folder first (see entry_win32.cpp). So it is not imported
// but loaded here, from System32 only. Systems without
// LOAD_LIBRARY_SEARCH_SYSTEM32 refuse the flag; there the full path is
// given, and the DLL's own imports are looked for beside it.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) return module;
  wchar_t path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  size_t nameLength = std::wcslen(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  std::memcpy(path + length + 1, name, (nameLength + 1) * sizeof(wchar_t));
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Registers the progress bar's window class, which the dialog's template
// uses. comctl32 stays loaded for the rest of the process.
bool RegisterProgressBarClass() {
  HMODULE comctl32 = LoadSystemLibrary(L"comctl32.dll");
  if (comctl32 == nullptr) return false;
  FARPROC address = GetProcAddress(comctl32, "InitCommonControlsEx");
  if (address == nullptr) return false;
  using InitCommonControlsExFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  InitCommonControlsExFunction initCommonControlsEx;
  static_assert(sizeof initCommonControlsEx == sizeof address);
  std::memcpy(&initCommonControlsEx, &address, sizeof address);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  return initCommonControlsEx(&controls) != FALSE;
}

}  // namespace

int PumpPendingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return 1;
    if (g_dialog != nullptr && IsDialogMessageA(DialogWindow(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

int ShowWarning(const char16_t* text) {
  return MessageBoxW(nullptr, AsWide(text), AsWide(g_caption), MB_OK | MB_ICONWARNING);
}

int ShowInformation(const char16_t* text) {
  return MessageBoxW(nullptr, AsWide(text), AsWide(g_caption), MB_OK | MB_ICONINFORMATION);
}

int AskQuestion(UiWindow owner, const char16_t* text) {
  return MessageBoxW(static_cast<HWND>(owner), AsWide(text), AsWide(g_caption),
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
}

bool CreateProgressDialog() {
  // The template's bars need their window class registered first.
  if (!RegisterProgressBarClass()) return false;
  g_dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                ProgressDialogProc, 0);
  return g_dialog != nullptr;
}

void ShowProgressDialog(int showCommand) {
  g_monitors.clear();
  EnumDisplayMonitors(nullptr, nullptr, AddMonitor, 0);
  SetWindowTextW(DialogWindow(), AsWide(g_caption));
  CentreDialog(DialogWindow());
  ShowWindow(DialogWindow(), showCommand);
}

void DestroyProgressDialog() {
  if (g_dialog != nullptr) {
    DestroyWindow(DialogWindow());
    g_dialog = nullptr;
  }
  g_monitors.clear();
}

std::unique_ptr<ProgressUi> CreatePlatformProgressUi() { return std::make_unique<DialogProgressUi>(); }
