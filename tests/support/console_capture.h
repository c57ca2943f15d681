// The terminal of the POSIX stand-ins, taken over by a test: answers typed
// in advance, and what the prompts and progress lines showed.
#pragma once

#include <cstdio>
#include <string>

class ConsoleCapture {
 public:
  // Types answers (one line each) and captures everything shown, until the
  // object goes and the real terminal is back.
  explicit ConsoleCapture(const std::string& answers = "");
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Replaces the answers not read yet.
  void Type(const std::string& answers);
  // What was shown since the last call.
  std::string Shown();

 private:
  std::FILE* m_input = nullptr;
  std::FILE* m_output = nullptr;
};
