// Folder variables: the machine's system folders, the setup's own folder
// variables ("%APPFOLDER%" and the others) and the two resolvers that turn
// "%NAME%" references into real folders for the chosen kind of installation.
//
// Everything here is pure: the facts of the machine (Windows folder,
// registry values, which folders exist) come in as arguments, so the rules
// are tested with fake folders and only the platform layer asks Windows.
// Paths are Windows paths (backslashes, drive letters) in UTF-8.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/Definition.h"

namespace stw {

// The system folder table. Each entry is a folder without a trailing
// backslash; filled once by LoadSystemFolders and read-only afterwards.
struct SystemFolders {
  std::string Windows;      // %WINDOWS%
  std::string System;       // %SYSTEM%
  std::string SystemDrive;  // %SYSTEMDRIVE%, for example "C:"
  std::string Fonts;        // %FONTS%
  std::string ProgramFiles;  // %PROGRAMFILES%
  std::string CommonFiles;   // %COMMONFILES%
  // %STARTMENU%, %PROGRAMSMENU%, %STARTUP%, %DESKTOP%: the all-users folder
  // serves an all-users installation, the current-user one any other.
  std::string StartMenuAllUsers, StartMenuCurrentUser;
  std::string ProgramsAllUsers, ProgramsCurrentUser;
  std::string StartupAllUsers, StartupCurrentUser;
  std::string DesktopAllUsers, DesktopCurrentUser;
  std::string SendTo;           // %SENDTO%
  std::string Documents;        // %MYDOCUMENTS%
  std::string CommonDocuments;  // %COMMONDOCUMENTS%
  std::string AppData;          // %APPDATAROOT% (roaming)
  std::string LocalAppData;     // %LOCALAPPDATAROOT%
  std::string CommonAppData;    // %COMMONAPPDATAROOT%
};

// What LoadSystemFolders needs to know about the machine.
struct SystemFacts {
  // Results of the system calls for the Windows and system directories;
  // empty when the call failed.
  std::string windowsFolder, systemFolder;
  // Windows NT and its successors (the machine-wide shell folders exist
  // only there).
  bool ntFamily = true;
  // Reads a text value with query-only access in the default registry view;
  // `localMachine` chooses HKEY_LOCAL_MACHINE over HKEY_CURRENT_USER.
  // Returns nothing when the key or value cannot be read, including a value
  // that does not fit 260 characters. The value's type is not checked and
  // environment references are left as they are. Unset: every query fails.
  std::function<std::optional<std::string>(bool localMachine, const std::string& key,
                                           const std::string& value)>
      readRegistry;
  // Whether a folder exists on disk. Unset: no folder exists.
  std::function<bool(const std::string&)> folderExists;
};

// Builds the system folder table: fixed fallbacks derived from the Windows
// folder, replaced by the registry's values where these are present and not
// empty; the machine-wide shell folders count only when they exist.
SystemFolders LoadSystemFolders(const SystemFacts& facts);

// The drive part of a path: "C:" for "C:\x", "\\server\share" for
// "\\server\share\x", empty when the path has neither.
std::string DriveOfPath(std::string_view path);

// A folder variable's path for a user type: an all-users installation
// (user type 1) uses AllUsersPath, every other user type CurrentUserPath.
const std::string& PathFor(const TSpecialFolder& folder, uint8_t userType);
void SetPathFor(TSpecialFolder& folder, uint8_t userType, std::string path);

using FolderVariableList = std::vector<std::pair<std::string, TSpecialFolder>>;
// Looks a variable up by its name with percent signs ("%APPFOLDER%"),
// without regard to case; nullptr when it is not registered.
TSpecialFolder* FindFolderVariable(FolderVariableList& variables, std::string_view name);
const TSpecialFolder* FindFolderVariable(const FolderVariableList& variables, std::string_view name);

// Everything the resolvers read. The pointers are borrowed from the setup
// form, which owns the table and the list for the whole run; a null pointer
// reads as an empty table or list. Not thread-safe: the resolvers run on the
// user-interface thread, or on a worker only while nothing changes the list.
struct FolderContext {
  const SystemFolders* system = nullptr;
  FolderVariableList* variables = nullptr;
  uint8_t userType = 0;  // 1 all users, otherwise the current user
  bool portableInstall = false;
  std::string portableFolder;
  std::string setupFile;  // the installer file (command-line argument 1)
  // Extra variables of the support DLL: entries "%NAME%" [*] folder, the
  // folder running to the next "%"; "*" marks it as shared.
  std::string supportFolderText;
  bool silent = false;
};

// Resolves a path that begins with a folder variable ("%PROGRAMFILES%\App")
// and returns it with the rest appended unchanged. A path that does not
// begin with a well-formed variable, or names an unknown one, comes back
// unchanged. `shared` and `font` are in/out: they are changed only by the
// variables that say so (a setup variable sets `shared` to its own flag,
// %COMMONFILES%, %WINDOWS%, %SYSTEM% and a "*" support folder set it,
// %FONTS% sets `font`); a portable installation never changes them.
std::string ExpandFolderPath(const std::string& path, const FolderContext& ctx, bool& shared, bool& font);

// Whether a component's top-level folder name keeps the folder inside its
// variable's folder: it must begin with a folder variable known here, and
// what follows must be nothing or "\" and plain folder names (no "..",
// drive, device name or trailing dot), so that the resolved path lies
// under the variable's folder. Returns "" when it does, otherwise why not.
std::string WhyUnsafeRootFolder(const std::string& name, const FolderContext& ctx);

// Replaces every folder variable anywhere in a text, and "%SILENT%" by
// "/silent" in a silent run (by nothing otherwise). A "%" in the last
// position stays.
std::string ExpandVariables(const std::string& text, const FolderContext& ctx);

// Where the top-level folders of the components resolve to, for the chosen
// user type: [component][top-level folder of its RootFolder], in list order.
// The folders' names in the definition stay as read, so the setup can tell
// the variable a folder was written with from where it went.
struct FolderFlags {
  bool shared = false;
  bool font = false;
};
struct ResolvedFolders {
  std::vector<std::vector<std::string>> resolvedRoots;
  std::vector<std::vector<FolderFlags>> flags;  // same shape as resolvedRoots
};

// Resolves the setup's folder variables in place, for ctx.userType and in
// registration order, so that a later variable may be written in terms of
// an earlier one (skipped in a portable installation, whose variables all
// mean the portable folder); then resolves every component's top-level
// folders. Call once the user type is final and the support DLL and the
// command line have had their say.
ResolvedFolders ResolveFolderVariables(FolderContext& ctx, const std::vector<TComponentData>& components);

}  // namespace stw
