// Registry keys and values for tests, stored the platform's way: on Win32 in
// the registry itself, under HKEY_LOCAL_MACHINE; on POSIX in a scratch .reg
// file that LUMETRIA_REGISTRY names while the fixture lives. Either way the
// value's type and bytes are exactly the ones given, so a string stored
// without its terminator, or a value of any size, can be set up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RegistryFixture {
 public:
  RegistryFixture();
  // Removes every key the fixture stored (and, on POSIX, restores the
  // variable).
  ~RegistryFixture();
  RegistryFixture(const RegistryFixture&) = delete;
  RegistryFixture& operator=(const RegistryFixture&) = delete;

  // A publisher name of this fixture alone, so that tests running at the
  // same time under one Wine prefix never see each other's keys. Keys must
  // be stored below Software\<Publisher()>.
  const std::u16string& Publisher() const { return m_publisher; }

  // Creates HKEY_LOCAL_MACHINE\subkey (and the keys above it) without values.
  void CreateKey(const std::u16string& subkey);
  // Stores a value (an empty name is the key's default value), creating the
  // key as CreateKey does; failures stop the test.
  void SetValue(const std::u16string& subkey, const std::u16string& name, uint32_t type,
                const std::vector<uint8_t>& data);
  // Removes the keys stored so far.
  void Clear();

  // Makes the protected values (platform/registry.h) stored so far look as
  // if someone other than the machine's administrators could have written
  // them. False where the fixture cannot do that (Win32: the journals' key
  // is shared by every test of the prefix).
  enum class Exposure { FolderWritableByOthers, FileWritableByOthers, FileOfAnotherUser };
  bool ExposeProtectedValues(Exposure how);

  // Lets every user change HKEY_LOCAL_MACHINE\subkey, which must lie below
  // Software\<Publisher()> (Win32: an access list granting Everyone full
  // control; POSIX: the protected values' folder writable by everyone, as
  // the stand-in keeps them all in one). False when that cannot be done.
  bool LetEveryoneChange(const std::u16string& subkey);

  struct Store;

 private:
  std::u16string m_publisher;
  std::unique_ptr<Store> m_store;
};

// The bytes of text as UTF-16 little-endian, as the registry stores strings,
// with one zero unit at the end when terminated.
std::vector<uint8_t> RegistryString(const std::u16string& text, bool terminated = true);

// A publisher name that no other fixture picks (for the implementations).
std::u16string UniqueRegistryPublisher();
