// The installation routine: working lists, the application folder, the
// log, the worker pool that extracts the files, the files an earlier
// installation no longer needs, and the uninstall registration.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/SetupState.h"
#include "platform/WholeFile.h"

namespace stw {

// Where the routine reports progress; the silent run may show nothing.
class IInstallProgress {
 public:
  virtual ~IInstallProgress() = default;
  // The file and shortcut stages have no caption of their own: their
  // status says what they do item by item.
  enum class StageKind { Files, Shortcuts, Other };
  virtual void Stage(StageKind kind, const std::string& caption, uint64_t maximum) {}
  virtual void Status(const std::string& text) {}
  virtual void Advance(uint64_t amount) {}  // gauge units of the stage
  virtual void Complete() {}
  // The main thread waits for the workers: a window pumps its messages
  // here (and runs the workers' calls to it); up to `ms` milliseconds.
  virtual void Idle(int ms);
  // The error question is shown (true) or answered (false).
  virtual void ErrorState(bool shown) {}
};

class TInstaller;

// What stands at a destination: a file (or a link, which may lead to one),
// with its read-only attribute; nothing at all when `file` and `link` are
// false (or a folder).
struct TKnownEntry {
  bool file = false, readOnly = false, link = false;
};

// One worker of the file stage. Workers take file entries by atomic
// increment of the shared index until the list is done or the user stopped.
class TThreadInstallFiles {
 public:
  explicit TThreadInstallFiles(TInstaller& owner) : owner_(owner) {}
  virtual ~TThreadInstallFiles() = default;
  void Execute();

 protected:
  virtual void InstallFile() = 0;
  // The file already there stays (the same bytes, or newer by the
  // overwrite rules).
  virtual void KeepFile() {}
  virtual void AfterInstallFile() = 0;
  TInstaller& owner_;
  TFileData* Entry = nullptr;
  std::string LastFolder, Folder;
  bool Existed = false;
  bool Failed = false;  // the current entry could not be written
  // What stood at the current entry's destination when the worker took it.
  std::optional<TKnownEntry> known_;
  uint64_t PendingKB = 0;
  bool folderFailed_ = false;  // LastFolder could not be created
  TReadBuffers buffers_;  // kept from file to file
};

class TThreadInstallFilesHardDisk : public TThreadInstallFiles {
 public:
  using TThreadInstallFiles::TThreadInstallFiles;

 protected:
  void InstallFile() override;
  void KeepFile() override;
  void AfterInstallFile() override;
  // Puts the current entry's file in place; true when it had to wait for
  // the next restart (only with `fallback`).
  bool PutInPlace(bool fallback);
};

// The worker of a portable installation: nothing is replaced at the next
// restart, nothing is registered, counted or logged.
class TThreadInstallFilesPortable : public TThreadInstallFilesHardDisk {
 public:
  using TThreadInstallFilesHardDisk::TThreadInstallFilesHardDisk;

 protected:
  void InstallFile() override;
  void KeepFile() override {}
  void AfterInstallFile() override {}
};

class TInstaller {
 public:
  TInstaller(TSetupState& state, IInstallProgress& progress);
  // Runs the routine on the calling (main) thread. Raises ESetupException
  // for an error that ends the installation, EAbortInstallation when the
  // user chose to stop. Returns false when the routine stopped to wait for
  // the user (a missing framework or prerequisite in the wizard).
  bool Install();

  // Exposed for the tests and the workers.
  const std::vector<TShortcutData*>& Shortcuts() const { return shortcuts_; }
  const std::vector<std::string>& FirstQueue() const { return queue1_; }
  const std::vector<std::string>& SecondQueue() const { return queue2_; }
  const std::vector<std::string>& PathQueue() const { return pathQueue_; }
  const std::vector<std::string>& SelfRegistrations() const { return selfReg_; }
  const TShortcutData* MainShortcut() const { return mainShortcut_; }
  bool FontsInstalled() const { return fontsInstalled_; }
  // How many workers the file stage started.
  unsigned WorkerCount() const { return workerCount_; }
  // Whether the error dialog was shown: a stop after it is a failure, not
  // a cancellation.
  bool ErrorShown() const { return errorShown_; }
  // Deletes a file, then its folder and each parent while empty, never
  // one of the system's own folders; a file in use goes at the restart.
  void RemoveFile(const std::string& path);

 private:
  friend class TThreadInstallFiles;
  friend class TThreadInstallFilesHardDisk;
  friend class TThreadInstallFilesPortable;

  // Steps of the routine.
  void ResolveApplicationFolder();
  // The earlier log is a text file anybody who can write its folder may
  // edit. Its paths count only when they lie below one of the trusted
  // folders (this setup's own folder variables as resolved for this run,
  // none holding the system's folders) and are reached without a link;
  // `plainFolders` remembers folders found to be no link.
  std::vector<std::string> TrustedFolders() const;
  bool ReachedPlainly(const std::string& path, const std::vector<std::string>& trusted, TSortedStrings& plainFolders);
  void IgnoreForeignLog(const std::vector<std::string>& trusted);
  void LimitEarlierFiles(const std::vector<std::string>& trusted);
  void ChooseLogPath();
  void ApplyComponents();
  void ApplyFolder(TComponentFolder& folder, const std::string& path, bool shared, bool font, int depth);
  void AddUninstaller();
  void WriteLogHeader();
  void OpenSharedDlls();
  void MarkRepeatedDestinations();  // sets TFileData::RepeatedDest
  void RemoveLeftovers();
  template <class Worker>
  void RunWorkers();
  // The file stage: every file's bytes counted, the pool of `Worker`s run
  // with its progress stage.
  template <class Worker>
  void InstallFiles();
  void RemoveObsoleteFiles();
  void RegisterUninstall();
  void SaveLog();
  // Ends the current log section (the registry section with its lines).
  void CloseSection();
  void SaveLogAfterFailure();
  void LogCarriedFileType(const TFileType& type);
  // Before anything is written: the framework, then the prerequisites.
  bool CheckDotNet();
  bool RunPrerequisites();
  // Runs an installer (a prerequisite or the framework's redistributable)
  // as the package asks; false when it could not be started.
  bool RunInstaller(const std::string& path, const std::string& params);
  // The path of an installer beside the installer file, or copied out of
  // the package into the private temporary folder; "" when there is none.
  std::string FindInstaller(const std::string& fileName, int64_t position, int64_t size);
  void CreateShortcuts();
  void CreateInternetShortcuts();
  void ApplyRegistryEntries();
  void RegisterFileTypes();
  void RegisterFileType(TFileType& type);
  void RegisterComponents();
  void GrantUsersAccess();
  // The system's own folders, which nothing of a package may remove or
  // open to everybody; without trailing backslash.
  std::vector<std::string> ProtectedFolders() const;
  void RunCommands();
  void InstallPortable();
  void WriteRemovableMarker();
  // From the workers: registers a font that was just installed.
  void InstallFont(const std::string& path);
  // Shared services.
  bool CreateFolder(const std::string& path, bool collect);
  void ReportError(const std::string& text, bool fromWorker);
  bool ShouldWrite(TFileData& entry, bool existed);
  bool SameContent(const std::string& path, int index);
  void QueueCommand(const TFileData& entry);
  // The command queued for a file entry (empty when it asks for none).
  std::string CommandFor(const TFileData& entry);
  std::string FileNameOf(uint16_t dataIndex) const;
  void LogRegistryValue(const std::string& key, const std::string& name);

  TSetupState& s_;
  IInstallProgress& progress_;
  TSetupPackage& pkg_;

  std::vector<TFileData*> files_;
  TFileData uninstaller_;
  TShortcutData uninstallerShortcut_;
  std::vector<TShortcutData*> shortcuts_;
  TShortcutData* mainShortcut_ = nullptr;
  std::atomic<bool> fontsInstalled_{false};
  std::vector<TURLData*> urls_;
  std::vector<std::string> selfReg_, queue1_, queue2_, pathQueue_;
  // What this run put in place, as far as the earlier installation had it:
  // the list only tells which earlier files are not obsolete, so a path
  // the earlier installation did not have need not be kept (an
  // installation of many new files would otherwise hold all their paths
  // once more).
  TSortedStrings installed_, registryLog_;
  void NoteInstalled(const std::string& path) {
    if (s_.PreviousFiles.Contains(path)) installed_.Add(path);
  }
  std::vector<std::string> log_;
  std::mutex fileLock_, selfRegLock_, commandLock_;

  int section_ = -1;  // the log section being written; -1 before the header
  bool uninstallRegistered_ = false, fileTypesLogged_ = false;
  bool sharedDllsOpen_ = false;
  RegRoot sharedRoot_ = RegRoot::LocalMachine;
  // The names of the counts under SharedDLLs, read once, so that a file
  // without one costs no registry query; nullopt when they could not be
  // read (each file is asked then). Under the file lock.
  std::optional<TSortedStrings> sharedNames_;

  // What stood at each destination before the file stage, from one listing
  // of every destination folder, and what the workers put there since:
  // a worker looks here instead of asking the file system for each file
  // (on Windows every question costs a call through the file system's
  // filters, and a name that does not exist the most). Known answers
  // nullopt when the destination's folder was not listed.
  std::optional<TKnownEntry> Known(const std::string& path);
  void SetKnown(const std::string& path, TKnownEntry entry);
  std::mutex knownLock_;
  std::map<std::string, TKnownEntry, TSortedStrings::Less> known_;
  TSortedStrings listedFolders_;  // with trailing backslash
  // Chosen with the listing; removed when the file stage ends, either way.
  TStagingFolders staging_;

  // Worker pool.
  std::atomic<int> fileIndex_{-1};
  std::atomic<bool> aborted_{false};
  std::atomic<uint64_t> lastProgressTick_{0};
  std::mutex errorLock_;
  std::string errors_;  // folders that could not be created
  std::string fileErrors_;  // files that could not be written
  std::mutex progressLock_;
  unsigned workerCount_ = 0;
  bool errorShown_ = false;
};

// "VersionMajor" and "VersionMinor" of a version text: "v.2.5.1" gives 2
// and 5; a text without an inner dot gives nothing.
bool ParseVersionParts(const std::string& version, std::string& major, std::string& minor);

// Splits a command after the installation into the file and its
// parameters: a quoted file runs to its closing quote, the parameters
// beginning two characters after it; otherwise the file ends at the first
// space.
void SplitCommand(const std::string& command, std::string& file, std::string& params);

// Whether the installed-condition of a prerequisite holds now (a record
// without one holds).
bool PrerequisiteInstalled(TSetupState& s, const T3rdParty& p);

// Inserts "peruser" after the last -regserver or /regserver switch.
std::string AddPerUserToRegserver(const std::string& params);

}  // namespace stw
