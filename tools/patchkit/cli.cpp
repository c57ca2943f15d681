#include "tools/patchkit/cli.h"

#include <cstring>
#include <memory>

#include "text/text_codec.h"

#ifdef _WIN32
#include <io.h>
#define PATCHKIT_ISATTY _isatty
#define PATCHKIT_FILENO _fileno
#else
#include <unistd.h>
#define PATCHKIT_ISATTY isatty
#define PATCHKIT_FILENO fileno
#endif

namespace {

const OptionRule kHelp{"help", 'h', false};

const OptionRule* FindLong(const std::vector<OptionRule>& rules, const std::string& name) {
  if (name == kHelp.name) return &kHelp;
  for (const OptionRule& rule : rules) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

const OptionRule* FindShort(const std::vector<OptionRule>& rules, char letter) {
  if (letter == kHelp.letter) return &kHelp;
  for (const OptionRule& rule : rules) {
    if (rule.letter != 0 && rule.letter == letter) return &rule;
  }
  return nullptr;
}

}  // namespace

bool CommandLine::Parse(const std::vector<std::string>& args, const std::vector<OptionRule>& rules,
                        std::string* error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      m_operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const OptionRule* rule = nullptr;
    std::string value;
    bool hasValue = false;
    if (arg[1] == '-') {
      size_t equals = arg.find('=');
      std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      rule = FindLong(rules, name);
      if (rule == nullptr) {
        *error = "unknown option --" + name;
        return false;
      }
      if (equals != std::string::npos) {
        if (!rule->takesValue) {
          *error = "option --" + name + " takes no value";
          return false;
        }
        value = arg.substr(equals + 1);
        hasValue = true;
      }
    } else {
      // A cluster of short options, the last of which may take a value.
      for (size_t k = 1; k < arg.size(); ++k) {
        rule = FindShort(rules, arg[k]);
        if (rule == nullptr) {
          *error = std::string("unknown option -") + arg[k];
          return false;
        }
        if (rule->takesValue) {
          if (k + 1 < arg.size()) {
            value = arg.substr(k + 1);
            hasValue = true;
          }
          break;
        }
        if (k + 1 < arg.size()) m_options.emplace_back(rule->name, "");
      }
    }
    if (rule->takesValue && !hasValue) {
      if (i + 1 >= args.size()) {
        *error = std::string("option --") + rule->name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    m_options.emplace_back(rule->name, value);
  }
  return true;
}

bool CommandLine::Has(const char* name) const {
  for (const auto& option : m_options) {
    if (option.first == name) return true;
  }
  return false;
}

std::string CommandLine::Value(const char* name, const std::string& fallback) const {
  std::string value = fallback;
  for (const auto& option : m_options) {
    if (option.first == name) value = option.second;
  }
  return value;
}

int Fail(const char* command, const std::string& message) {
  std::fprintf(stderr, "patchkit %s: %s\n", command, message.c_str());
  return kExitFailed;
}

int UsageError(const char* command, const std::string& message, const char* usage) {
  std::fprintf(stderr, "patchkit %s: %s\n%s", command, message.c_str(), usage);
  return kExitUsage;
}

std::string Shown(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path PathArg(const std::string& text) {
#ifdef _WIN32
  std::unique_ptr<char16_t[]> wide = NarrowToWide(text.c_str());
  return wide ? std::filesystem::path(std::u16string(wide.get())) : std::filesystem::path();
#else
  return std::filesystem::path(text);
#endif
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    // The length of a well-formed UTF-8 sequence starting here, or 0.
    size_t length = 0;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) length = 3;
    else if (c >= 0xF0 && c <= 0xF4) length = 4;
    if (length > 0) {
      bool ok = i + length <= text.size();
      for (size_t k = 1; ok && k < length; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      if (ok && length == 3) {
        unsigned char second = static_cast<unsigned char>(text[i + 1]);
        ok = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0);
      }
      if (ok && length == 4) {
        unsigned char second = static_cast<unsigned char>(text[i + 1]);
        ok = !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second >= 0x90);
      }
      if (ok) {
        out.append(text, i, length);
        i += length;
        continue;
      }
    }
    char escaped[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

Progress::Progress(const char* label, uint64_t total, bool quiet)
    : m_label(label), m_total(total), m_enabled(!quiet && total > 0 && PATCHKIT_ISATTY(PATCHKIT_FILENO(stderr))) {}

Progress::~Progress() {
  if (m_enabled && m_drawn >= 0) std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_label.size()) + 40, "");
}

void Progress::Advance(uint64_t amount) {
  m_done += amount;
  if (m_enabled) Draw();
}

void Progress::Draw() {
  int percent = static_cast<int>(m_done >= m_total ? 100 : m_done * 100 / m_total);
  if (percent == m_drawn) return;
  m_drawn = percent;
  char bar[31];
  int filled = percent * 30 / 100;
  for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
  bar[30] = 0;
  std::fprintf(stderr, "\r%s [%s] %3d%%", m_label.c_str(), bar, percent);
  std::fflush(stderr);
}
