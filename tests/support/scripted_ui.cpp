#include "tests/support/scripted_ui.h"

void ScriptedProgressUi::Record(Event event) {
  ++m_calls;
  m_events.push_back(std::move(event));
  auto scripted = m_script.find(m_calls);
  if (scripted == m_script.end()) return;
  switch (scripted->second) {
    case Action::Cancel:
      g_cancelRequested = 1;
      break;
    case Action::Close:
      g_windowClosed = 1;
      g_dialog = nullptr;
      break;
    case Action::Quit:
      m_quitPending = true;
      break;
  }
}

int ScriptedProgressUi::Pump() {
  Record({Event::Pump, {}, 0});
  int result = m_quitPending ? 1 : 0;
  m_quitPending = false;
  m_events.back().value = static_cast<uint32_t>(result);
  return result;
}

uint32_t ScriptedProgressUi::PumpCalls() const {
  uint32_t count = 0;
  for (const Event& event : m_events) count += event.kind == Event::Pump ? 1 : 0;
  return count;
}

std::vector<uint32_t> ScriptedProgressUi::Values(Event::Kind kind) const {
  std::vector<uint32_t> values;
  for (const Event& event : m_events) {
    if (event.kind == kind) values.push_back(event.value);
  }
  return values;
}

std::vector<std::u16string> ScriptedProgressUi::Statuses() const {
  std::vector<std::u16string> texts;
  for (const Event& event : m_events) {
    if (event.kind == Event::Status) texts.push_back(event.text);
  }
  return texts;
}

void ResetUiState() {
  g_cancelRequested = 0;
  g_windowClosed = 0;
  g_dialog = nullptr;
}
