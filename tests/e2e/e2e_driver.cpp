#include "tests/e2e/e2e_driver.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The identifier of the text control in a message box.
constexpr int kMessageTextId = 0xFFFF;

struct Search {
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM parameter) {
  Search* search = reinterpret_cast<Search*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->processId && ClassName(window) == L"#32770") search->found.push_back(window);
  return TRUE;
}

struct ChildList {
  std::vector<HWND> children;
};

BOOL CALLBACK CollectChildren(HWND window, LPARAM parameter) {
  reinterpret_cast<ChildList*>(parameter)->children.push_back(window);
  return TRUE;
}

}  // namespace

HostProcess::~HostProcess() {
  if (m_info.hProcess != nullptr) {
    if (WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(m_info.hProcess, 99);
    CloseHandle(m_info.hProcess);
    CloseHandle(m_info.hThread);
  }
  if (!m_outputPath.empty()) DeleteFileW(m_outputPath.c_str());
}

bool HostProcess::Start(const std::wstring& program, const std::wstring& arguments) {
  wchar_t folder[MAX_PATH];
  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"e2e", 0, path);
  m_outputPath = path;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &m_info);
  CloseHandle(output);
  if (!started) m_info = {};
  return started != FALSE;
}

bool HostProcess::Wait(DWORD milliseconds, DWORD* exitCode) {
  if (WaitForSingleObject(m_info.hProcess, milliseconds) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(m_info.hProcess, exitCode);
  return true;
}

void HostProcess::Kill() {
  TerminateProcess(m_info.hProcess, 99);
  WaitForSingleObject(m_info.hProcess, INFINITE);
}

std::string HostProcess::Output() const {
  std::ifstream in(std::filesystem::path(m_outputPath), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

HWND WaitForWindow(const std::function<HWND()>& find, DWORD milliseconds) {
  HWND window = nullptr;
  WaitUntil([&] { return (window = find()) != nullptr; }, milliseconds);
  return window;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(20);
  }
}

std::vector<HWND> DialogWindowsOf(DWORD processId) {
  Search search{processId, {}};
  EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindProgressDialog(DWORD processId) {
  for (HWND window : DialogWindowsOf(processId)) {
    if (GetDlgItem(window, 1000) != nullptr && GetDlgItem(window, kMessageTextId) == nullptr) return window;
  }
  return nullptr;
}

HWND FindMessageBox(DWORD processId) {
  for (HWND window : DialogWindowsOf(processId)) {
    if (GetDlgItem(window, kMessageTextId) != nullptr && IsWindowVisible(window)) return window;
  }
  return nullptr;
}

namespace {
struct TitleSearch {
  DWORD processId;
  const std::wstring* prefix;
  HWND found;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM parameter) {
  TitleSearch* search = reinterpret_cast<TitleSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  // InternalGetWindowText reads the stored title without sending a message,
  // so a program that is busy (or waiting) does not stall the search.
  wchar_t title[512] = {};
  InternalGetWindowText(window, title, 512);
  if (owner == search->processId && std::wstring(title).rfind(*search->prefix, 0) == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK TakeFirstMonitor(HMONITOR, HDC, LPRECT rect, LPARAM first) {
  *reinterpret_cast<RECT*>(first) = *rect;
  return FALSE;
}
}  // namespace

HWND FindWindowByTitlePrefix(DWORD processId, const std::wstring& prefix) {
  TitleSearch search{processId, &prefix, nullptr};
  EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

RECT FirstMonitor() {
  RECT monitor = {};
  EnumDisplayMonitors(nullptr, nullptr, TakeFirstMonitor, reinterpret_cast<LPARAM>(&monitor));
  return monitor;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &ignored);
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

namespace {

// The pixels of a bitmap, top row first, as 0x00RRGGBB values.
std::vector<uint32_t> PixelsOf(HDC memory, HBITMAP bitmap, int width, int height) {
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
  for (uint32_t& pixel : pixels) pixel &= 0xFFFFFF;
  return pixels;
}

// Draws into a screen-compatible bitmap of the given size and returns its
// pixels.
std::vector<uint32_t> Draw(int width, int height, const std::function<void(HDC screen, HDC memory)>& paint) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  paint(screen, memory);
  SelectObject(memory, old);
  std::vector<uint32_t> pixels = PixelsOf(memory, bitmap, width, height);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The pixels of a screen rectangle.
std::vector<uint32_t> CaptureScreen(const RECT& rect) {
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  return Draw(width, height,
              [&](HDC screen, HDC memory) { BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY); });
}

// An icon drawn at the given size on a background colour.
std::vector<uint32_t> RenderIcon(HICON icon, int width, int height, uint32_t background) {
  return Draw(width, height, [&](HDC, HDC memory) {
    HBRUSH brush = CreateSolidBrush(RGB(background >> 16 & 0xFF, background >> 8 & 0xFF, background & 0xFF));
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
  });
}

uint64_t Difference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  uint64_t total = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      int delta = static_cast<int>(a[i] >> shift & 0xFF) - static_cast<int>(b[i] >> shift & 0xFF);
      total += static_cast<uint64_t>(delta < 0 ? -delta : delta);
    }
  }
  return total;
}

}  // namespace

MessageBoxView ReadMessageBox(HWND box) {
  MessageBoxView view;
  view.caption = WindowText(box);
  view.text = WindowText(GetDlgItem(box, kMessageTextId));
  ChildList list;
  EnumChildWindows(box, CollectChildren, reinterpret_cast<LPARAM>(&list));
  for (HWND child : list.children) {
    std::wstring name = ClassName(child);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if (name == L"Button" && IsWindowVisible(child)) {
      view.buttons.push_back(GetDlgCtrlID(child));
      if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) view.defaultButton = GetDlgCtrlID(child);
    }
    if (name == L"Static" && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) view.iconControl = child;
  }
  return view;
}

LPCWSTR ShownSystemIcon(HWND iconControl) {
  RECT rect;
  GetWindowRect(iconControl, &rect);
  int width = GetSystemMetrics(SM_CXICON);
  int height = GetSystemMetrics(SM_CYICON);
  rect.right = rect.left + width;
  rect.bottom = rect.top + height;
  // A box that has just appeared may not have painted its icon yet: wait
  // until the control shows more than its background, the same twice.
  std::vector<uint32_t> shown = CaptureScreen(rect);
  for (int attempt = 0; attempt < 100; ++attempt) {
    Sleep(20);
    std::vector<uint32_t> again = CaptureScreen(rect);
    bool painted = std::any_of(again.begin(), again.end(), [&](uint32_t pixel) { return pixel != again[0]; });
    bool settled = again == shown;
    shown = std::move(again);
    if (painted && settled) break;
  }
  // Icons leave their corners transparent: the corner shows the background.
  uint32_t background = shown.empty() ? 0 : shown[0];
  LPCWSTR candidates[] = {IDI_WARNING, IDI_INFORMATION, IDI_QUESTION, IDI_ERROR};
  LPCWSTR best = nullptr;
  uint64_t bestDifference = UINT64_MAX;
  for (LPCWSTR candidate : candidates) {
    uint64_t difference = Difference(shown, RenderIcon(LoadIconW(nullptr, candidate), width, height, background));
    if (difference < bestDifference) {
      bestDifference = difference;
      best = candidate;
    }
  }
  return best;
}

void ClickButton(HWND parent, int id) {
  HWND button = GetDlgItem(parent, id);
  PostMessageW(button, BM_CLICK, 0, 0);
}

int ValueOf(const std::wstring& text, const std::wstring& name) {
  size_t at = text.find(name + L"=");
  if (at == std::wstring::npos) return -1;
  return std::stoi(text.substr(at + name.size() + 1));
}
