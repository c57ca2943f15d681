// A progress interface for tests: it records everything the update run
// shows and, at chosen calls, does what a user or the system would do.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/ui.h"

class ScriptedProgressUi final : public ProgressUi {
 public:
  enum class Action {
    Cancel,  // the user confirmed the cancel question: g_cancelRequested
    Close,   // the dialog was closed: g_windowClosed, g_dialog cleared
    Quit,    // the thread was told to quit: the next pump returns 1
  };

  struct Event {
    enum Kind { Status, FileRange, FilePosition, OverallRange, OverallPosition, Pump } kind;
    std::u16string text;  // the status text
    uint32_t value = 0;   // the range's high end, the position, or the pump's result
  };

  // Does action during the given call of the interface (1 = the first call of
  // any method), after recording it. A quit arranged at a call that is not a
  // pump is reported by the next pump.
  void At(uint32_t call, Action action) { m_script[call] = action; }

  void SetStatus(const char16_t* text) override { Record({Event::Status, text, 0}); }
  void SetFileRange(uint32_t high) override { Record({Event::FileRange, {}, high}); }
  void SetFilePosition(uint32_t position) override { Record({Event::FilePosition, {}, position}); }
  void SetOverallRange(uint32_t high) override { Record({Event::OverallRange, {}, high}); }
  void SetOverallPosition(uint32_t position) override { Record({Event::OverallPosition, {}, position}); }
  int Pump() override;

  uint32_t Calls() const { return m_calls; }
  uint32_t PumpCalls() const;
  const std::vector<Event>& Events() const { return m_events; }
  // The values of every event of one kind, in order.
  std::vector<uint32_t> Values(Event::Kind kind) const;
  std::vector<std::u16string> Statuses() const;

 private:
  void Record(Event event);

  std::map<uint32_t, Action> m_script;
  std::vector<Event> m_events;
  uint32_t m_calls = 0;
  bool m_quitPending = false;
};

// Lowers the flags and clears g_dialog, as at the start of a program.
void ResetUiState();
