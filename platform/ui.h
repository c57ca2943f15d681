// The user interface: the stop flags, the caption, the message pump, the
// message boxes, the progress dialog, and the narrow seam through which the
// update run shows progress.
//
// The whole program runs on one thread. The update run drains the message
// queue at fixed points (ProgressUi::Pump); the dialog raises the flags from
// inside that call, and the run tests them at fixed points. The flags are
// only ever raised, never lowered.
//
// Win32: the real dialog, message boxes and queue. POSIX: the dialog is a
// status line and two bars drawn on the terminal, the boxes are prompts on
// the terminal, Ctrl+C asks the cancel question and a hang-up or SIGTERM
// counts as the window being closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// An opaque window (HWND on Win32); null when there is none.
using UiWindow = void*;

// The progress dialog, or null when it does not exist (or no longer does).
extern UiWindow g_dialog;
// Raised when the user confirmed the cancel question.
extern int32_t g_cancelRequested;
// Raised when the dialog was closed or the thread was told to quit.
extern int32_t g_windowClosed;

// The caption of every message box and the dialog's title; written once at
// start-up.
inline constexpr size_t kCaptionCapacity = 64;
extern char16_t g_caption[kCaptionCapacity];

// Delivers every pending message without waiting. 1 when a quit request was
// taken from the queue (messages behind it stay queued), else 0.
int PumpPendingMessages();

// Answers of the message boxes (the values MessageBoxW returns).
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

// Modal boxes with the caption g_caption and no owner: OK with a warning
// icon, OK with an information icon.
int ShowWarning(const char16_t* text);
int ShowInformation(const char16_t* text);

// The Yes/No question box with a question icon and No as the default; owner
// may be null. kAnswerYes only when the user chose Yes.
int AskQuestion(UiWindow owner, const char16_t* text);

// The text of the cancel question the dialog asks.
inline constexpr char16_t kCancelQuestion[] =
    u"アップデートを中止しますか？　　　　　　　　　　　　";

// Creates the hidden progress dialog into g_dialog; false when that fails.
bool CreateProgressDialog();

// Lists the monitors, titles the dialog with g_caption, centres it on the
// first monitor's size and shows it with the program's show command.
void ShowProgressDialog(int showCommand);

// Destroys the dialog if it still exists and frees the monitor list.
void DestroyProgressDialog();

// What the update run shows and how it keeps the interface alive. Each call
// does nothing for a control that does not exist.
class ProgressUi {
 public:
  virtual ~ProgressUi() = default;
  // The status line.
  virtual void SetStatus(const char16_t* text) = 0;
  // The current file's bar (range 0 to high) and the overall bar.
  virtual void SetFileRange(uint32_t high) = 0;
  virtual void SetFilePosition(uint32_t position) = 0;
  virtual void SetOverallRange(uint32_t high) = 0;
  virtual void SetOverallPosition(uint32_t position) = 0;
  // Delivers pending events without waiting; 1 when the program was told to
  // quit, else 0.
  virtual int Pump() = 0;
};

// The platform's own progress interface: on Win32 the controls 1001 to 1003
// of g_dialog (looked up when it is created) and the message pump; on POSIX
// the terminal.
std::unique_ptr<ProgressUi> CreatePlatformProgressUi();
