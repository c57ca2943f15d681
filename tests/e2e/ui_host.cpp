// A small Win32 program that opens the progress dialog and the message boxes
// of the patch so the end-to-end driver can exercise them before the whole
// program exists. Its live state is published in the title of a hidden probe
// window ("ui_host probe"), which also counts the WM_APP messages it gets:
//   cancel=<g_cancelRequested> closed=<g_windowClosed> dialog=<0|1> pumped=<count> quit=<pump results of 1>
//
//   ui_host dialog [s]   shows the dialog with sample progress and pumps until
//                        the dialog is closed, or for s seconds (default 60)
//   ui_host quit-order   shows the dialog, waits for the event "ui_host_go",
//                        then pumps twice and prints both results and the
//                        probe's count after each
//   ui_host boxes        shows the warning, information and question boxes in
//                        turn and prints what each returned
//   ui_host confirm      asks the patch's confirmation question
//   ui_host version <folder>  runs the installed-version check on the folder
//                        and prints "version=<result>"
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>

#include "app/patch_texts.h"
#include "install/version_check.h"
#include "platform/ui.h"

namespace {

const wchar_t kProbeClass[] = L"UiHostProbe";
const wchar_t kProbeTitle[] = L"ui_host probe";
HWND g_probe = nullptr;
int g_probeCount = 0;
int g_quitResults = 0;

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    ++g_probeCount;
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void CreateProbe() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ProbeProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kProbeClass;
  RegisterClassW(&windowClass);
  g_probe = CreateWindowW(kProbeClass, kProbeTitle, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
}

void Publish() {
  wchar_t state[160];
  std::swprintf(state, 160, L"%ls: cancel=%d closed=%d dialog=%d pumped=%d quit=%d", kProbeTitle,
                static_cast<int>(g_cancelRequested), static_cast<int>(g_windowClosed), g_dialog != nullptr ? 1 : 0,
                g_probeCount, g_quitResults);
  SetWindowTextW(g_probe, state);
}

void SetCaption() { std::memcpy(g_caption, kCaptionText, sizeof kCaptionText); }

bool OpenDialog() {
  if (!CreateProgressDialog()) {
    std::printf("dialog creation failed\n");
    return false;
  }
  ShowProgressDialog(SW_SHOW);
  std::unique_ptr<ProgressUi> ui = CreatePlatformProgressUi();
  ui->SetFileRange(0xFFFF);
  ui->SetOverallRange(9);
  ui->SetStatus(u"data01100.arcをインストール中");
  ui->SetFilePosition(40000);
  ui->SetOverallPosition(3);
  return true;
}

int RunDialog(int seconds) {
  if (!OpenDialog()) return 2;
  Publish();
  for (int round = 0; round < seconds * 100 && !g_windowClosed; ++round) {
    if (PumpPendingMessages() == 1) ++g_quitResults;
    Publish();
    Sleep(10);
  }
  bool dialogLeft = g_dialog != nullptr;
  DestroyProgressDialog();
  Publish();
  std::printf("cancel=%d closed=%d quit=%d dialog=%d\n", static_cast<int>(g_cancelRequested),
              static_cast<int>(g_windowClosed), g_quitResults, dialogLeft ? 1 : 0);
  return 0;
}

int RunQuitOrder() {
  if (!OpenDialog()) return 2;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"ui_host_go");
  Publish();
  WaitForSingleObject(go, 60000);
  int first = PumpPendingMessages();
  int afterFirst = g_probeCount;
  int second = PumpPendingMessages();
  int afterSecond = g_probeCount;
  std::printf("first=%d count=%d second=%d count=%d\n", first, afterFirst, second, afterSecond);
  DestroyProgressDialog();
  CloseHandle(go);
  return 0;
}

int RunBoxes() {
  int warning = ShowWarning(u"警告のテスト");
  int information = ShowInformation(u"情報のテスト");
  int question = AskQuestion(nullptr, u"質問のテスト");
  std::printf("warning=%d information=%d question=%d\n", warning, information, question);
  return 0;
}

int RunVersion(const wchar_t* folder) {
  int32_t result = CheckInstalledVersion(reinterpret_cast<const char16_t*>(folder));
  std::printf("version=%d\n", static_cast<int>(result));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  SetCaption();
  CreateProbe();
  if (argc >= 2 && std::wcscmp(argv[1], L"dialog") == 0) return RunDialog(argc == 3 ? _wtoi(argv[2]) : 60);
  if (argc == 2 && std::wcscmp(argv[1], L"quit-order") == 0) return RunQuitOrder();
  if (argc == 2 && std::wcscmp(argv[1], L"boxes") == 0) return RunBoxes();
  if (argc == 2 && std::wcscmp(argv[1], L"confirm") == 0) return AskQuestion(nullptr, kConfirmQuestion);
  if (argc == 3 && std::wcscmp(argv[1], L"version") == 0) return RunVersion(argv[2]);
  std::fprintf(stderr, "usage: ui_host dialog|quit-order|boxes\n");
  return 2;
}
