// The package's registry entries: the tags and limits of their stream
// (the layout is described with ApplyRegistryData in engine/RegistryData.h)
// and its one reader, which the setup applies and the builder shows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace stw::registry_stream {

enum : uint8_t {
  kTagRoot = 1,  // the only tag of the top level
  kTagSubkey = 1,
  kTagWholeKey = 2,
  kTagDefaultValue = 3,
  kTagValueName = 4,
  kTagKeepExisting = 5,
  kTagLogOnly = 6,
  kTagString = 7,
  kTagDword = 8,
  kTagBinary = 9,
  kTagEnd = 255,
};

// How deep keys may nest below their root; deeper is damage.
constexpr int kMaxKeyDepth = 64;

// The root names, in upper case as the log spells them (the stream may use
// any case).
constexpr const char* kAuto = "HKEY_AUTO";
constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr const char* kCurrentUser = "HKEY_CURRENT_USER";
constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr const char* kUsers = "HKEY_USERS";
constexpr const char* kRoots[] = {kAuto, kClassesRoot, kCurrentUser, kLocalMachine, kUsers};

}  // namespace stw::registry_stream

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
  // How far into the stream the root's record ends, for a gauge; not
  // written.
  uint64_t streamEnd = 0;
};

// Reads the stream into the tree, every read checked against what is left.
// Entries come back per key as the whole-key mark, the values, the subkeys,
// whatever their order in the stream; a name that no value follows is
// dropped, and so is what follows the last root record. Damage raises
// ESetupException with `prefix` + what is wrong + " at byte N.".
std::vector<RegistryRootEntry> DecodeRegistryData(const std::string& data,
                                                  const std::string& prefix = "The registry data ");

}  // namespace stw
