// What every patchkit subcommand shares: GNU-style option parsing, the exit
// statuses, messages naming the file, JSON text and a progress bar.
//
// Exit status: 0 done, 1 failed (the reason on standard error, naming the
// file), 2 usage (the usage on standard error).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// One option a subcommand accepts: its long name ("json"), an optional short
// letter ('o', or 0) and whether it takes a value.
struct OptionRule {
  const char* name;
  char letter;
  bool takesValue;
};

// The parsed command line of a subcommand.
class CommandLine {
 public:
  // Parses args (the words after the subcommand's name). Accepts --name,
  // --name=value, --name value, -x, -x value, -xvalue and "--" to end the
  // options; options and operands may be mixed. --help and -h are always
  // known. False with *error set on an unknown option, a missing value, or
  // a value given to an option that takes none.
  bool Parse(const std::vector<std::string>& args, const std::vector<OptionRule>& rules, std::string* error);
  bool Has(const char* name) const;
  // The option's last value; fallback when it was not given.
  std::string Value(const char* name, const std::string& fallback = "") const;
  const std::vector<std::string>& Operands() const { return m_operands; }
  bool WantsHelp() const { return Has("help"); }

 private:
  std::vector<std::pair<std::string, std::string>> m_options;
  std::vector<std::string> m_operands;
};

// Prints "patchkit <command>: <message>" on standard error; returns 1.
int Fail(const char* command, const std::string& message);
// Prints "patchkit <command>: <message>" and the usage on standard error;
// returns 2.
int UsageError(const char* command, const std::string& message, const char* usage);

// A path as the user gave it, for messages.
std::string Shown(const std::filesystem::path& path);

// The path a word of the command line (or a line of a list) names. On
// Windows, where the standard library would read a narrow string in neither
// encoding, the text is read as the program reads names: UTF-8 (as every
// argument is), else code page 932; it never throws. On POSIX the bytes as
// they are. Every path patchkit takes from the user goes through here.
std::filesystem::path PathArg(const std::string& text);

// text as a JSON string, quotes included. Bytes that are not UTF-8 are
// written as \u00XX escapes of the byte (so the text stays valid JSON and a
// reader can still tell them apart).
std::string JsonString(const std::string& text);

// Bytes as hexadecimal digits, upper case.
std::string Hex(const uint8_t* bytes, size_t count);

// A bar on standard error while long work runs, drawn only when standard
// error is a terminal and not quiet; cleared at the end.
class Progress {
 public:
  Progress(const char* label, uint64_t total, bool quiet);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Advance(uint64_t amount);

 private:
  void Draw();
  std::string m_label;
  uint64_t m_total;
  uint64_t m_done = 0;
  int m_drawn = -1;
  bool m_enabled;
};

// Every subcommand: the words after its name in, an exit status out.
int RunBuild(const std::vector<std::string>& args);
int RunList(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);
int RunExtract(const std::vector<std::string>& args);
int RunHash(const std::vector<std::string>& args);
int RunHashList(const std::vector<std::string>& args);
int RunDiff(const std::vector<std::string>& args);
