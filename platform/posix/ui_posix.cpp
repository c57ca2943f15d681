// The user interface on POSIX: message boxes are prompts on the terminal,
// the progress dialog is a status line and two bars.
//
// While the dialog exists, Ctrl+C (SIGINT) stands for the cancel button: the
// next pump asks the cancel question, with No as the default answer. A
// hang-up (SIGHUP) or SIGTERM stands for closing the dialog, and SIGQUIT
// (Ctrl+\) for a quit request taken from the queue. The handlers only set
// flags; everything else happens inside the pump, on the program's thread.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/posix/console.h"
#include "platform/posix/posix_util.h"
#include "platform/ui.h"

namespace {

std::FILE* g_input = nullptr;
std::FILE* g_output = nullptr;

std::FILE* Input() { return g_input ? g_input : stdin; }
std::FILE* Output() { return g_output ? g_output : stderr; }

std::string Utf8(const char16_t* text) { return ToNativeText(text); }

volatile sig_atomic_t g_interruptSignal = 0;
volatile sig_atomic_t g_closeSignal = 0;
volatile sig_atomic_t g_quitSignal = 0;

void OnSignal(int number) {
  if (number == SIGINT) g_interruptSignal = 1;
  if (number == SIGHUP || number == SIGTERM) g_closeSignal = 1;
  if (number == SIGQUIT) g_quitSignal = 1;
}

const int kDialogSignals[] = {SIGINT, SIGHUP, SIGTERM, SIGQUIT};
struct sigaction g_previous[4];
bool g_handlersInstalled = false;

void InstallHandlers() {
  if (g_handlersInstalled) return;
  g_interruptSignal = 0;
  g_closeSignal = 0;
  g_quitSignal = 0;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 4; ++i) sigaction(kDialogSignals[i], &action, &g_previous[i]);
  g_handlersInstalled = true;
}

void RestoreHandlers() {
  if (!g_handlersInstalled) return;
  for (int i = 0; i < 4; ++i) sigaction(kDialogSignals[i], &g_previous[i], nullptr);
  g_handlersInstalled = false;
}

// A stand-in for the dialog's handle: the dialog exists while g_dialog
// points here.
int g_consoleDialog = 0;
bool g_cancelButtonEnabled = true;

// Reads one answer line; false at the end of input.
bool ReadAnswer(std::string* answer) {
  answer->clear();
  int c;
  while ((c = std::fgetc(Input())) != EOF && c != '\n') *answer += static_cast<char>(c);
  return c != EOF || !answer->empty();
}

int ShowBox(const char* kind, const char16_t* text) {
  std::fprintf(Output(), "\n[%s] %s\n%s\n[OK] ", kind, Utf8(g_caption).c_str(), Utf8(text).c_str());
  std::fflush(Output());
  std::string ignored;
  ReadAnswer(&ignored);
  return kAnswerOk;
}

// Draws the status line and both bars on one line, redrawn in place on a
// terminal; elsewhere only when the status text changes, to keep logs short.
class ConsoleProgressUi final : public ProgressUi {
 public:
  void SetStatus(const char16_t* text) override {
    if (!Exists()) return;
    m_status = Utf8(text);
    if (!IsTerminal()) std::fprintf(Output(), "%s\n", m_status.c_str());
    Draw();
  }
  void SetFileRange(uint32_t high) override { SetBar(m_file, high, true); }
  void SetFilePosition(uint32_t position) override { SetBar(m_file, position, false); }
  void SetOverallRange(uint32_t high) override { SetBar(m_overall, high, true); }
  void SetOverallPosition(uint32_t position) override { SetBar(m_overall, position, false); }
  int Pump() override { return PumpPendingMessages(); }

 private:
  struct Bar {
    uint32_t high = 100;
    uint32_t position = 0;
  };

  static bool Exists() { return g_dialog == &g_consoleDialog; }
  static bool IsTerminal() { return isatty(fileno(Output())) == 1; }

  void SetBar(Bar& bar, uint32_t value, bool isRange) {
    if (!Exists()) return;
    if (isRange) {
      bar.high = value;
      bar.position = 0;
    } else {
      bar.position = value;
    }
    Draw();
  }

  static std::string Render(const Bar& bar) {
    const int width = 20;
    uint32_t position = bar.position > bar.high ? bar.high : bar.position;
    int filled = bar.high == 0 ? 0 : static_cast<int>(uint64_t{position} * width / bar.high);
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') +
           "]";
  }

  void Draw() {
    if (!IsTerminal()) return;
    std::fprintf(Output(), "\r\033[K%s %s %s", Render(m_file).c_str(), Render(m_overall).c_str(), m_status.c_str());
    std::fflush(Output());
  }

  std::string m_status;
  Bar m_file;
  Bar m_overall;
};

}  // namespace

void SetConsoleStreams(std::FILE* input, std::FILE* output) {
  g_input = input;
  g_output = output;
}

int PumpPendingMessages() {
  if (g_closeSignal && g_dialog == &g_consoleDialog) {
    g_closeSignal = 0;
    g_windowClosed = 1;
    g_dialog = nullptr;
    RestoreHandlers();
  }
  if (g_interruptSignal) {
    g_interruptSignal = 0;
    if (g_dialog == &g_consoleDialog && g_cancelButtonEnabled && !g_cancelRequested &&
        AskQuestion(g_dialog, kCancelQuestion) == kAnswerYes) {
      g_cancelRequested = 1;
      g_cancelButtonEnabled = false;
    }
  }
  if (g_quitSignal) {
    g_quitSignal = 0;
    return 1;
  }
  return 0;
}

int ShowWarning(const char16_t* text) { return ShowBox("warning", text); }

int ShowInformation(const char16_t* text) { return ShowBox("information", text); }

int AskQuestion(UiWindow, const char16_t* text) {
  std::fprintf(Output(), "\n[question] %s\n%s\n[y/N] ", Utf8(g_caption).c_str(), Utf8(text).c_str());
  std::fflush(Output());
  std::string answer;
  ReadAnswer(&answer);
  return answer == "y" || answer == "Y" || answer == "yes" ? kAnswerYes : kAnswerNo;
}

bool CreateProgressDialog() {
  g_dialog = &g_consoleDialog;
  g_cancelButtonEnabled = true;
  InstallHandlers();
  return true;
}

void ShowProgressDialog(int) {
  std::fprintf(Output(), "%s\n", Utf8(g_caption).c_str());
  std::fflush(Output());
}

void DestroyProgressDialog() {
  if (g_dialog == &g_consoleDialog) g_dialog = nullptr;
  RestoreHandlers();
  std::fprintf(Output(), "\n");
  std::fflush(Output());
}

std::unique_ptr<ProgressUi> CreatePlatformProgressUi() { return std::make_unique<ConsoleProgressUi>(); }
