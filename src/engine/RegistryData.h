// The package's registry entries: a stream of tagged records that names
// roots, keys and values, applied to the registry with every value that was
// written (or is to be removed) logged for the uninstaller.
//
// Layout, all numbers little-endian: a tag is one byte; a string is a
// 16-bit byte count and that many bytes of UTF-8; a 32-bit value is four
// bytes; a byte block is a 32-bit count and that many bytes.
//
// The stream is a sequence of root records, ended by its end or by a tag
// other than 1: tag 1, the root's name (HKEY_AUTO, HKEY_CLASSES_ROOT,
// HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE or HKEY_USERS, any case) and the
// root's key body. A key body is a sequence of items ended by tag 255:
//   1 name   a subkey, whose own key body follows at once
//   2        the whole key is logged for removal ("*")
//   3        the next value is the key's default value, logged "(Default)"
//   4 name   the next value's name (folder variables expanded)
//   5        keep the value if it exists already: it is neither written
//            nor logged, so the uninstaller leaves it
//   6        the value is logged for removal but not written
//   7 text   a REG_SZ value (folder variables expanded)
//   8 dword  a REG_DWORD value
//   9 block  a REG_BINARY value
// Tags 5 to 9 belong to the value named by the 3 or 4 before them; 6 to 9
// complete it, so each value needs its own 3 or 4. One without a name is
// damage rather than a guess at the default value: a stream that drops a
// name has lost bytes, and writing its data over the key's default value
// would change a value that the package never named. Nor may a key or
// value name hold a tab or a line break: the log keeps one entry per line
// with a tab before the value's name, and such a name would split it into
// entries that the package never made.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "base/SortedStrings.h"
#include "platform/Platform.h"

namespace stw {

// Where and how the stream is applied.
struct RegistryDataTarget {
  IRegistry& reg;
  // An all-users installation (user type 1): HKEY_AUTO means the local
  // machine, HKEY_CLASSES_ROOT the machine's classes and HKEY_USERS every
  // user profile; otherwise they mean the current user's keys.
  bool allUsers = false;
  // Replaces the folder variables in value names and string data; empty:
  // the texts are written as they are.
  std::function<std::string(const std::string&)> expand;
  // Called after each root record with the count of bytes consumed so far,
  // so that a gauge can count the bytes of the stream; may be empty.
  std::function<void(uint64_t consumed)> progress;
};

// Applies the stream and adds its log lines to `log`: "ROOT\key\sub<TAB>name"
// for a value ("(Default)" naming the default value) and "...<TAB>*" for a
// whole key. ROOT is the root's name as the stream gives it, in upper case,
// whatever key it stands for: HKEY_AUTO is logged as HKEY_AUTO (the log
// records the user type that maps it back), HKEY_CLASSES_ROOT stays so
// when a current-user installation writes to the user's Software\Classes,
// and HKEY_USERS stays so however many profiles were written. The one
// exception: HKEY_USERS in a current-user installation goes to, and is
// logged under, HKEY_CURRENT_USER.
// Registry calls that fail are passed over; a key that cannot be created
// gets none of the values below it, which are still logged. The stream is
// read whole first: damaged data raise ESetupException before anything is
// written.
void ApplyRegistryData(const std::string& data, const RegistryDataTarget& target, TSortedStrings& log);

// Reads the stream as ApplyRegistryData does without touching any registry
// and raises the same ESetupException where it would, so that the
// installation refuses damaged data before it writes anything at all.
void CheckRegistryData(const std::string& data);

}  // namespace stw
