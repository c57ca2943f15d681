// The registry fixture on POSIX: the stand-in's .reg file, written again in
// full after every change, in a scratch folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/test_files.h"

namespace {

struct Value {
  std::u16string name;
  uint32_t type;
  std::vector<uint8_t> data;
};

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::string Quoted(const std::u16string& text) {
  std::string out = "\"";
  for (char c : Utf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The text of a REG_SZ value that a quoted string gives back byte for byte:
// whole units, one terminator at the end and no other zero unit.
std::optional<std::u16string> PlainString(const Value& value) {
  const std::vector<uint8_t>& d = value.data;
  if (value.type != OS_REG_SZ || d.size() < 2 || d.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 2 < d.size(); i += 2) text += static_cast<char16_t>(d[i] | d[i + 1] << 8);
  if (d[d.size() - 2] != 0 || d.back() != 0 || text.find(u'\0') != std::u16string::npos) return std::nullopt;
  for (char16_t unit : text) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return std::nullopt;
  }
  return text;
}

// One value line as regedit exports it, hex lists wrapped after 16 bytes.
std::string ValueLine(const Value& value) {
  std::string line = value.name.empty() ? "@" : Quoted(value.name);
  line += '=';
  if (std::optional<std::u16string> text = PlainString(value)) return line + Quoted(*text);
  char number[32];
  if (value.type == OS_REG_DWORD && value.data.size() == 4) {
    const std::vector<uint8_t>& d = value.data;
    std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(d[0] | d[1] << 8 | d[2] << 16 | d[3] << 24));
    return line + number;
  }
  if (value.type == OS_REG_BINARY) {
    line += "hex:";
  } else {
    std::snprintf(number, sizeof number, "hex(%x):", static_cast<unsigned>(value.type));
    line += number;
  }
  for (size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(number, sizeof number, "%02x", value.data[i]);
    line += number;
    if (i + 1 < value.data.size()) line += (i + 1) % 16 == 0 ? ",\\\r\n  " : ",";
  }
  return line;
}

}  // namespace

struct RegistryFixture::Store {
  TempDir folder;
  std::optional<std::string> previous;
  std::map<std::u16string, std::vector<Value>> keys;

  std::filesystem::path File() const { return folder.Native("registry.reg"); }

  void Write() {
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    for (const auto& [subkey, values] : keys) {
      text += "\r\n[HKEY_LOCAL_MACHINE\\" + Utf8(subkey) + "]\r\n";
      for (const Value& value : values) text += ValueLine(value) + "\r\n";
    }
    WriteFileBytes(File(), Bytes(text));
  }
};

RegistryFixture::RegistryFixture() : m_publisher(UniqueRegistryPublisher()), m_store(new Store) {
  if (const char* previous = std::getenv(kPosixRegistryVariable)) m_store->previous = previous;
  m_store->Write();
  setenv(kPosixRegistryVariable, m_store->File().c_str(), 1);
}

RegistryFixture::~RegistryFixture() {
  if (m_store->previous) {
    setenv(kPosixRegistryVariable, m_store->previous->c_str(), 1);
  } else {
    unsetenv(kPosixRegistryVariable);
  }
}

void RegistryFixture::CreateKey(const std::u16string& subkey) {
  m_store->keys[subkey];
  m_store->Write();
}

void RegistryFixture::SetValue(const std::u16string& subkey, const std::u16string& name, uint32_t type,
                               const std::vector<uint8_t>& data) {
  std::vector<Value>& values = m_store->keys[subkey];
  std::erase_if(values, [&](const Value& value) { return value.name == name; });
  values.push_back({name, type, data});
  m_store->Write();
}

void RegistryFixture::Clear() {
  m_store->keys.clear();
  m_store->Write();
}

bool RegistryFixture::ExposeProtectedValues(Exposure how) {
  namespace fs = std::filesystem;
  fs::path folder = m_store->File().string() + kPosixProtectedFolderSuffix;
  if (how == Exposure::FolderWritableByOthers) return chmod(folder.c_str(), 0777) == 0;
  bool any = false;
  for (const auto& item : fs::directory_iterator(folder)) {
    any = true;
    int done = how == Exposure::FileWritableByOthers ? chmod(item.path().c_str(), 0666)
                                                      : chown(item.path().c_str(), 4242, 4242);
    if (done != 0) return false;
  }
  return any;
}

bool RegistryFixture::LetEveryoneChange(const std::u16string&) {
  std::string folder = m_store->File().string() + kPosixProtectedFolderSuffix;
  mkdir(folder.c_str(), 0700);
  return chmod(folder.c_str(), 0777) == 0;
}
