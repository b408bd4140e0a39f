// The state of one setup run, held by the setup form and shared by the
// start-up sequence, the earlier-installation detection and the engine.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/SortedStrings.h"
#include "package/Definition.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "platform/WholeFile.h"
#include "system/FolderVariables.h"

namespace stw {

// The platform services of one run.
struct TPlatform {
  IFileSystem& Fs;
  IRegistry& Reg;
  ISystem& Sys;
  IDialogs& Dialogs;
  IShell& Shell;
};

// Interface strings the engine uses.
enum : int {
  kStrCannotInstall1 = 14,
  kStrCannotInstall2 = 15,
  kStrInstallingFile = 42,
  kStrCreatingShortcut = 43,
  kStrRegistryEntries = 44,
  kStrFileTypes = 45,
  kStrRemovingObsolete = 46,
  kStrUninstallerFirst = 61,  // 61 to 67 go into the log unformatted
  kStrUninstallLink = 68,
  kStrErrorIntro = 69,
  kStrErrorQuestion = 70,
  kStrFoldersFailed = 73,
  kStrFolderError = 77,
  kStrDotNetMissing = 89,
  kStrInstallerRunning = 90,
  kStrDownloadFrom = 91,
  kStrPrerequisiteMissing = 92,
};

// Exit codes of the setup, as deployment tools read them.
enum ExitCode : int {
  kExitSuccess = 0,
  kExitCancelled = 1602,
  kExitFailed = 1603,  // also: refused before anything was written
  kExitRestartNeeded = 3010,
};

constexpr const char* kHandshakeKey = "Software\\Orvane\\Carrovit";
constexpr const char* kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr const char* kSharedDllsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

class TSupportDll;
class IDesktop;

struct TSetupState {
  explicit TSetupState(TPlatform p) : P(p), Package(p.Fs, p.Dialogs) {}
  TPlatform P;

  // Command line: [0] this program, [1] the installer file, then switches.
  std::vector<std::string> Args;
  std::string SetupFile, TempFolder;
  TSetupPackage Package;
  TSetupDefinition Def;
  SystemFolders Folders;
  std::string SupportFolderText;
  ResolvedFolders Roots;  // destination of every component's top-level folders

  bool Silent = false;
  bool PortableInstall = false;
  bool RelaunchedInstance = false, CanInstall = false, ElevateByRelaunch = false, PreferCurrentUser = false;
  // A second instance of this program (elevated, or after Controlled
  // Folder Access) was to take the installation over: the exit code of
  // this run from then on (the child's; 1602 when the user refused the
  // prompt, 1603 when it could not start). `HandedOver`: it ran.
  std::optional<uint32_t> SecondInstanceExit;
  bool HandedOver = false;
  uint32_t ElevatedResult = 0;  // "Result" read back from the handshake key
  std::string PowerShellPath;  // set when Controlled Folder Access is handled
  // The desktop of the run (the network names of drives, the shell); null
  // where there is none to ask.
  IDesktop* Desktop = nullptr;

  // Earlier installation.
  std::string LogPath;
  bool LogPathFromCurrentUser = false;  // found under HKEY_CURRENT_USER
  bool PreviousFound = false, UpgradeBlocked = false;
  TSortedStrings PreviousFiles, PreviousRegistryValues;

  // Prerequisites: the next one to handle, kept when the installation
  // starts again; installers copied out of the package into the private
  // temporary folder, deleted when the run ends.
  size_t PrerequisiteIndex = 0;
  std::string PrerequisitePath;
  std::unique_ptr<IProcess> PrerequisiteProcess;
  std::vector<std::string> TemporaryInstallers;
  // What the installation waits for when it stopped before any file (the
  // wizard's page shows it): the framework or the prerequisite at
  // PrerequisiteIndex.
  struct MissingRequirement {
    enum class Kind { None, DotNet, Prerequisite } kind = Kind::None;
    std::string name;  // the framework's version name, or the prerequisite's
    std::string downloadUrl;
    // The installer that was there but could not be started ("" when it
    // started, or when there was none).
    std::string installerNotStarted;
  };
  MissingRequirement Missing;

  // The publisher's support DLL and its hooks (system/SupportDll.h), owned
  // by the run; null when the run offers none.
  TSupportDll* Support = nullptr;

  // A destination folder that is to hold at least this many entries gets
  // a staging folder for the temporary files of its files
  // (platform/WholeFile.h): in a small folder, making and removing it
  // would cost more than it saves.
  size_t StagingFrom = 64;

  // Results of the installation.
  bool RebootNeeded = false;
  uint64_t BytesTotal = 0;
  std::string AppFolder;

  std::string WindowCaption() const;
  FolderContext Folder();
  // The root of the installation's registry entries: the local machine for
  // an all-users installation, the current user otherwise.
  RegRoot AutoRoot() const { return Def.UserType == 1 ? RegRoot::LocalMachine : RegRoot::CurrentUser; }
  std::string RootPrefix() const {
    return Def.UserType == 1 ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\";
  }
  std::string IString(int n) const { return Package.IString(n); }
  // The file name of a data index: a support file's below their count,
  // else an installable file's; "" for an index beyond both.
  std::string FileNameOf(uint16_t dataIndex) const;
};

}  // namespace stw
