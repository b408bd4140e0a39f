// The installation log as the uninstaller reads it: strictly. The setup
// reads an earlier log leniently (a log it cannot follow only means that
// there is no earlier installation to take over); the uninstaller deletes
// what the log names, so a log that does not follow the layout the setup
// writes is refused as a whole, with the line that is wrong, before
// anything is removed.
//
// Layout (UTF-8, lines ended by CR LF or LF):
//   header: comment lines beginning with ";", the format version (4), the
//     user type ("CURRENT", "ADMIN", anything else all users), the
//     application name, year, month and day of the release, publisher,
//     product key, version, the seven uninstaller texts (interface strings
//     61 to 67), the launch command, the folder variables (a count, then
//     name, caption and folder each, the folder prefixed "*" when flagged)
//     and the components (a count, then name and "S"/"R" flags each);
//   section 1: installed files and shortcuts, one full path a line;
//   section 2: registry values to remove, "ROOT\key<TAB>name" ("(Default)"
//     the unnamed value, "*" the whole key);
//   section 3: file associations: extension, previous description,
//     description, previous icon, icon, then verb, previous command and
//     command per shell verb, then "%";
//   section 4: files whose type library was registered or which registered
//     themselves;
// each section ended by a line "%%%".
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Errors.h"
#include "platform/Platform.h"

namespace stw {

// The only format the setup writes.
inline constexpr int kUninstallLogFormat = 4;
// A log is text of a few hundred kilobytes; anything far larger is not one.
inline constexpr uint64_t kMaxUninstallLogBytes = 64ull << 20;

struct TUninstallLog {
  // 1 all users, 2 current user, 6 current user with administrator rights.
  uint8_t UserType = 1;
  std::string AppName;
  int Year = 0, Month = 0, Day = 0;
  std::string Publisher, ProductKey, Version;
  // Interface strings 61 to 67 of the package, placeholders kept.
  std::array<std::string, 7> Texts;
  std::string LaunchCommand;

  struct Folder {
    std::string Name;  // "%APPFOLDER%"
    std::string Caption;
    std::string Path;  // without the flag and a trailing backslash; "" when the variable has none
    bool Flag = false;  // the "*" before the folder
  };
  std::vector<Folder> Folders;

  struct Component {
    std::string Name;
    bool Selected = false, Required = false;
  };
  std::vector<Component> Components;

  // Section 1, in log order (a path may occur more than once).
  std::vector<std::string> Files;

  // Section 2.
  struct RegistryEntry {
    enum Kind { Value, DefaultValue, WholeKey };
    // The root as the log names it, in upper case: "HKEY_AUTO",
    // "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE" or
    // "HKEY_USERS".
    std::string Root;
    std::string Key;  // below the root, "" for the root itself
    std::string Name;  // of a Value
    Kind kind = Value;
    std::string Text;  // the line as the log has it
    size_t Line = 0;  // 1-based, for messages
  };
  std::vector<RegistryEntry> Registry;

  // Section 3.
  struct Verb {
    std::string Name, PreviousCommand, Command;
  };
  struct FileType {
    std::string Extension, PreviousDescription, Description, PreviousIcon, Icon;
    std::vector<Verb> Verbs;
  };
  std::vector<FileType> FileTypes;

  // Section 4.
  std::vector<std::string> Registrations;

  // Interface string `number` (61 to 67) as the log carries it; "" for
  // any other number.
  const std::string& Text(int number) const;
};

// A log refused: `what` names the line and what is wrong with it.
class ELogRefused : public ESetupException {
 public:
  ELogRefused(size_t line, const std::string& what)
      : ESetupException(line ? "line " + std::to_string(line) + ": " + what : what), line_(line) {}
  size_t Line() const { return line_; }  // 0 when it concerns the whole file

 private:
  size_t line_;
};

// Reads a log's bytes; throws ELogRefused.
TUninstallLog ParseUninstallLog(std::string_view content);
// Reads the log file; throws ELogRefused (also for a file that cannot be
// read or is too large to be a log).
TUninstallLog ReadUninstallLog(IFileSystem& fs, const std::string& path);

// Why `path` is not a full local path ("X:\" and plain names below it, no
// "." or "..", no device, stream or network form, no empty part); "" when
// it is one. `allowRoot`: a drive's root ("X:\" or "X:") counts too.
std::string WhyNotFullLocalPath(std::string_view path, bool allowRoot = false);

}  // namespace stw
