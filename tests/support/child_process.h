// Runs another program of the build and waits for it: the crash tests run
// the update in a child that dies at a chosen point.
#pragma once

#include <string>
#include <vector>

// Runs program with arguments (no shell, no quoting needed for paths without
// quotes) and returns its exit status; -1 when it could not be started.
int RunChildProcess(const std::string& program, const std::vector<std::string>& arguments);
