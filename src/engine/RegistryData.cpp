#include "engine/RegistryData.h"

#include <string_view>
#include <vector>

#include "base/Errors.h"
#include "base/Text.h"
#include "package/RegistryStream.h"

namespace stw {

namespace {

using namespace registry_stream;

const char* const kDamagedPrefix = "The setup package is damaged: the registry data ";

// A key as the walk holds it: where the registry calls find it and how the
// log names it, which differ for the current user's classes and for the
// profiles of HKEY_USERS.
struct Key {
  RegRoot root;
  std::string path;  // below the root; "" is the root itself
  std::string logPath;
  bool open;  // created or opened: the values below it are written
};

std::string Joined(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

// Applies the decoded entries to the target's registry.
class Applier {
 public:
  Applier(const RegistryDataTarget& target, TSortedStrings& log) : t_(target), reg_(target.reg), log_(log) {}

  void Root(const RegistryRootEntry& r) {
    const bool allUsers = t_.allUsers;
    const std::string& name = r.root;
    if (EqualsIgnoreAsciiCase(name, kAuto)) {
      // Logged under its own name: the uninstaller maps it back with the
      // user type the log records.
      Body(r, {allUsers ? RegRoot::LocalMachine : RegRoot::CurrentUser, "", kAuto, true}, true);
    } else if (EqualsIgnoreAsciiCase(name, kClassesRoot)) {
      if (allUsers) {
        Body(r, {RegRoot::ClassesRoot, "", kClassesRoot, true}, true);
      } else {
        // The user's own classes, which the system merges into the view of
        // HKEY_CLASSES_ROOT; the uninstaller reads the log the same way.
        // The key is made with the first subkey or value below it.
        Body(r, {RegRoot::CurrentUser, "Software\\Classes", kClassesRoot, true}, true);
      }
    } else if (EqualsIgnoreAsciiCase(name, kCurrentUser)) {
      Body(r, {RegRoot::CurrentUser, "", kCurrentUser, true}, true);
    } else if (EqualsIgnoreAsciiCase(name, kLocalMachine)) {
      Body(r, {RegRoot::LocalMachine, "", kLocalMachine, true}, true);
    } else if (allUsers) {  // HKEY_USERS: the reader knows no other root
      EveryProfile(r);
    } else {
      Body(r, {RegRoot::CurrentUser, "", kCurrentUser, true}, true);
    }
  }

 private:
  // HKEY_USERS in an all-users installation: the same body for every
  // profile that opens for writing. Only the first logs, and under
  // HKEY_USERS without the profile, so each value is logged once and the
  // uninstaller removes it from every profile again.
  void EveryProfile(const RegistryRootEntry& r) {
    const std::vector<std::string> profiles = reg_.SubkeyNames(RegRoot::Users, "", 256);
    bool applied = false;
    for (auto it = profiles.rbegin(); it != profiles.rend(); ++it) {
      if (!reg_.CanWrite(RegRoot::Users, *it)) continue;
      Body(r, {RegRoot::Users, *it, kUsers, true}, !applied);
      applied = true;
    }
    if (!applied) Body(r, {RegRoot::CurrentUser, "", kUsers, true}, true);
  }

  template <class Entry>
  void Body(const Entry& e, const Key& key, bool logging) {
    if (e.wholeKey && logging) log_.Add(key.logPath + "\t*");
    for (const RegistryValueEntry& v : e.values) Value(v, key, logging);
    for (const RegistryKeyEntry& k : e.keys) {
      Key sub{key.root, Joined(key.path, k.name), key.logPath + "\\" + k.name, false};
      // Below a key that failed nothing can be created; what lies below is
      // still logged.
      sub.open = key.open && reg_.CreateKey(sub.root, sub.path);
      Body(k, sub, logging);
    }
  }

  void Value(const RegistryValueEntry& v, const Key& key, bool logging) {
    using T = RegistryValueEntry::Type;
    const std::string name = v.isDefault ? "" : Expand(v.name);
    // Asked even when the key could not be created: a value that is there
    // already must not be logged, or the uninstaller would remove what this
    // installation never wrote.
    if (v.keepExisting && reg_.QueryValue(key.root, key.path, name)) return;
    if (logging) log_.Add(key.logPath + "\t" + (v.isDefault ? "(Default)" : name));
    if (!key.open) return;
    switch (v.type) {
      case T::None:
        break;  // log-only
      case T::String:
        reg_.WriteString(key.root, key.path, name, Expand(v.text));
        break;
      case T::Dword:
        reg_.WriteDword(key.root, key.path, name, v.dword);
        break;
      case T::Binary:
        reg_.WriteBinary(key.root, key.path, name, v.bytes);
        break;
    }
  }

  std::string Expand(const std::string& text) const { return t_.expand ? t_.expand(text) : text; }

  const RegistryDataTarget& t_;
  IRegistry& reg_;
  TSortedStrings& log_;
};

}  // namespace

void ApplyRegistryData(const std::string& data, const RegistryDataTarget& target, TSortedStrings& log) {
  // Read whole first: damaged data write nothing.
  const std::vector<RegistryRootEntry> roots = DecodeRegistryData(data, kDamagedPrefix);
  Applier a(target, log);
  for (const RegistryRootEntry& r : roots) {
    a.Root(r);
    if (target.progress) target.progress(r.streamEnd);
  }
}

void CheckRegistryData(const std::string& data) { DecodeRegistryData(data, kDamagedPrefix); }

}  // namespace stw
