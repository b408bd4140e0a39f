// The uninstaller: removes what an installation log names, through the
// platform seam only, and the process around it (command line, message
// boxes, the elevated copy, the removal of the uninstaller itself).
//
// Order of the removal, the reverse of the installation's: the
// registrations first (section 4), while the files they were made from are
// still there, since regsvr32 must load a component to let it unregister
// itself and a type library is read to learn which registration is its
// own; then the file associations (section 3), whose previous values are
// put back on top of what the installation left, before the registry
// entries (section 2) may remove keys they share; then the files and
// shortcuts (section 1), the log itself and the folders that this left
// empty; the uninstaller's own file last, once its process has ended.
#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/RunDialogs.h"
#include "uninstaller/UninstallLog.h"

namespace stw {

// Orders texts as the logs' lists do: without regard to case.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// The platform services of one run.
struct TUninstallPlatform {
  IFileSystem& Fs;
  IRegistry& Reg;
  ISystem& Sys;
  IDialogs& Dialogs;
  IShell& Shell;
};

// Exit codes, as the setup's (deployment tools read them the same way).
enum UninstallExitCode : int {
  kUninstallDone = 0,
  kUninstallCancelled = 1602,
  kUninstallFailed = 1603,
  kUninstallRestartNeeded = 3010,
};

// The keys the setup writes (engine/SetupState.h names them for the
// setup): the product's log path, the installed programs' list and the
// reference counts of shared files.
inline constexpr const char* kProductsKey = "Software\\Orvane\\Carrovit";
inline constexpr const char* kUninstallListKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
inline constexpr const char* kSharedDllsCountKey = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// The switch of the uninstaller's copy that removes the original once it
// has ended: "/finishremoval <process id> <file> <folder>...", the folders
// from the file's own upwards.
inline constexpr const char* kFinishSwitch = "/finishremoval";

// What happens to the uninstaller's own file once its process has ended:
// `file` is deleted, then `folders` in order while each is empty.
struct TSelfRemoval {
  std::string file;
  std::vector<std::string> folders;
  bool Planned() const { return !file.empty(); }
};

struct TRemovalResult {
  // Something goes only at the next restart.
  bool RestartNeeded = false;
  std::vector<std::string> ScheduledAtRestart;
  // What the log names that is still there and will stay: files and keys
  // that could not be removed, and what was not touched because the way
  // to it leads through a link.
  std::vector<std::string> NotRemoved;
  TSelfRemoval Self;
};

// The removal of one log's installation.
class TRemoval {
 public:
  // `logPath` is the full path of the log, read into `log`.
  TRemoval(TUninstallPlatform p, const TUninstallLog& log, std::string logPath);
  TRemovalResult Run();

 private:
  struct RegTarget {
    RegRoot root;
    std::string base;  // the key below the root that the log's root name stands for ("" the root itself)
    bool classes;  // `base` holds classes: HKCR, or the user's Software\Classes
  };
  struct FileFate {
    std::string path;
    bool untouchable = false;  // reached through a link: not touched at all
    bool stillShared = false;  // another product still counts it, or its log names it
    bool self = false;  // the running uninstaller's own file
  };

  void Prepare();
  // The lines of the other installations' logs: those of the products'
  // key and those beside this log.
  void ReadOtherLogs();
  void PlanFiles();
  void Unregister();
  void RestoreAssociations();
  void RestoreFileType(const TUninstallLog::FileType& type);
  void RemoveRegistry();
  void CleanHandshakeLeftovers(RegRoot root);
  void RemoveFiles();
  void RemoveLog();
  void RemoveFolders();
  void PlanSelfRemoval();

  std::vector<RegTarget> TargetsOf(const std::string& rootName);
  // Deletes `key` (below `t.base`) when empty, then its parents while
  // empty, never at or above the levels that structure the registry.
  void Prune(const RegTarget& t, const std::string& key);
  bool KeyIsEmpty(RegRoot root, const std::string& key);
  bool ReachedThroughLink(const std::string& path);
  bool IsProtected(const std::string& folder) const;
  bool WithinBounds(const std::string& folder) const;
  // May `folder` be removed when empty? Within the bounds, not protected,
  // not a drive's root, reached without a link.
  bool MayRemoveFolder(const std::string& folder);
  void NotRemoved(const std::string& what);

  TUninstallPlatform p_;
  const TUninstallLog& log_;
  std::string logPath_, logFolder_, self_;
  RegRoot autoRoot_, sharedRoot_;
  bool ownsEntry_ = true;  // the product's value and Uninstall key name this log
  std::vector<std::string> protected_, bounds_;
  std::set<std::string, CaseInsensitiveLess> otherLines_;
  std::vector<FileFate> files_;
  std::vector<std::string> emptiedFolders_;
  TRemovalResult result_;
};

// A text of the log with its one "%s" replaced by `value`: every other "%"
// stays as it is, so that no text of a log (which anybody who may write
// its folder can edit) is ever read as a format.
std::string FormatLogText(const std::string& pattern, const std::string& value);

// The process: `args[0]` is this program, `args[1]` the log (quoted or
// not), then switches ("-" or "/", any case): silent or s (no box at all),
// suppressmsgboxes, and elevate (set on the elevated copy).
class TUninstallRun {
 public:
  TUninstallRun(TUninstallPlatform p, std::vector<std::string> args);
  int Main();

  // How the copy that removes the uninstaller waits between attempts (a
  // test's does not).
  std::function<void(int milliseconds)> Sleep;
  // After Main: what the removal did, and the command line of the copy
  // that removes the uninstaller ("" when none was started).
  TRemovalResult Result;
  std::string SelfRemovalCommand;

 private:
  int Uninstall();
  int FinishSelfRemoval();
  int RelaunchElevated();
  bool NeedsElevation(const TUninstallLog& log);
  void StartSelfRemoval(const TSelfRemoval& plan);
  void ClearEarlierCopies(const std::string& temp);
  void ShowError(const std::string& text);
  std::string LogText(int number) const;

  TUninstallPlatform p_;
  std::vector<std::string> args_;
  bool silent_ = false;
  std::string logPath_;
  TUninstallLog log_;
};

}  // namespace stw
