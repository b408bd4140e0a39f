// The package's registry entries as a tree of roots, keys and values, and
// the stream of tagged records that the setup reads (engine/RegistryData.h
// describes the records) written from it and read back into it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace stw {

struct RegistryValueEntry {
  bool isDefault = false;  // the key's unnamed value; `name` stays empty
  std::string name;  // may hold folder variables
  // Written only when the value does not exist yet; a value that existed
  // is not logged, so the uninstaller leaves it.
  bool keepExisting = false;
  // Logged for removal by the uninstaller but not written; carries no data.
  bool logOnly = false;
  enum class Type { None, String, Dword, Binary } type = Type::None;
  std::string text;  // String; may hold folder variables
  uint32_t dword = 0;  // Dword
  std::string bytes;  // Binary
};

struct RegistryKeyEntry {
  std::string name;  // below its parent; may hold backslashes
  bool wholeKey = false;  // the uninstaller removes the key with all below it
  std::vector<RegistryValueEntry> values;
  std::vector<RegistryKeyEntry> keys;
};

struct RegistryRootEntry {
  // HKEY_AUTO (the local machine for all users, else the current user),
  // HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE or HKEY_USERS.
  std::string root;
  // Only ever read from a stream: the writer refuses to have a whole root
  // removed by the uninstaller.
  bool wholeKey = false;
  std::vector<RegistryValueEntry> values;  // of the root key itself
  std::vector<RegistryKeyEntry> keys;
};

// Writes the stream: per key its name, the whole-key mark, its values, its
// subkeys. Throws ESetupException naming the entry ("registry[0].keys[2]
// .values[1]: ...") when the setup would refuse it: an unknown root, a
// value without a name or without data, data on a log-only value, a name
// with a tab, a line break or a zero, a text longer than 65535 bytes, keys
// nested deeper than 64 levels; and a whole root to be removed.
std::string EncodeRegistryData(const std::vector<RegistryRootEntry>& roots);

// Reads a stream back into the tree, for showing a package's entries.
// Entries come back in the writer's order (per key the whole-key mark, the
// values, the subkeys) whatever their order in the stream; a name that no
// value follows is dropped, as the setup passes it over, and so is what
// follows the last root record. Throws ESetupException where the setup
// would.
std::vector<RegistryRootEntry> DecodeRegistryData(const std::string& data);

}  // namespace stw
