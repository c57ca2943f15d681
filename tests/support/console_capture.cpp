#include "tests/support/console_capture.h"

#include "platform/posix/console.h"

ConsoleCapture::ConsoleCapture(const std::string& answers) : m_output(std::tmpfile()) { Type(answers); }

ConsoleCapture::~ConsoleCapture() {
  SetConsoleStreams(nullptr, nullptr);
  if (m_input) std::fclose(m_input);
  if (m_output) std::fclose(m_output);
}

void ConsoleCapture::Type(const std::string& answers) {
  if (m_input) std::fclose(m_input);
  m_input = std::tmpfile();
  std::fputs(answers.c_str(), m_input);
  std::rewind(m_input);
  SetConsoleStreams(m_input, m_output);
}

std::string ConsoleCapture::Shown() {
  std::fflush(m_output);
  std::rewind(m_output);
  std::string text;
  int c;
  while ((c = std::fgetc(m_output)) != EOF) text += static_cast<char>(c);
  std::fclose(m_output);
  m_output = std::tmpfile();
  SetConsoleStreams(m_input, m_output);
  return text;
}
