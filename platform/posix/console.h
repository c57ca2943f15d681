// The terminal the POSIX interface talks to: prompts and answers, the
// progress lines, and the signals that stand for the dialog's events.
#pragma once

#include <cstdio>

// Where prompts and progress are written and answers read; stderr and
// stdin unless a test says otherwise. Null restores the defaults.
void SetConsoleStreams(std::FILE* input, std::FILE* output);
