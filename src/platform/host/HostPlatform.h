// The simulated machine of the host build: Windows paths map into a
// sandbox folder (C:\ is <root>/C/), Z:\ is the real root as under Wine,
// the registry is a tree saved in <root>/registry.txt, the facts of the
// system come from <root>/machine.txt, and message boxes are answered by a
// script. Enough to run the core on Linux for tests, fuzzing, benchmarks
// and the host tools.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/ScriptedDialogs.h"
#include "platform/host/MachineFiles.h"

namespace stw {

class HostSystem;

class HostFileSystem : public IFileSystem {
 public:
  // `machineRoot` empty: only native paths and Z:\ are usable.
  explicit HostFileSystem(std::string machineRoot = {});
  ~HostFileSystem() override;

  // The Linux path behind a Windows path of this machine.
  std::string NativePath(const std::string& path) const;

  // Simulates another process holding the file open without sharing:
  // creating, replacing or deleting it fails until it is released.
  void HoldOpen(const std::string& path);
  void Release(const std::string& path);
  // Whether the file at a native path is held so.
  bool IsHeld(const std::string& nativePath) const;
  // Lines "from<TAB>to" of the moves scheduled for the next restart; a
  // deletion has an empty `to`.
  std::vector<std::string> PendingRenames() const;

  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override;
  std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) override;
  std::unique_ptr<IWriteFile> CreateTempFile(const std::string& folder, const std::string& prefix, std::string& path,
                                             std::string& error) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  MoveResult MoveReplace(const std::string& from, const std::string& to, std::string& error) override;
  bool ReplaceAtRestart(const std::string& from, const std::string& to) override;
  std::string TempFolder() override;

  // The read-only attribute is the absence of every write permission bit.
  // It is enforced here, not left to the kernel, because tests often run
  // as root, whom permission bits do not stop: as on Windows, a read-only
  // file cannot be created over, replaced, copied onto or deleted.
  // A symbolic link stands for a reparse point. A version is found by
  // scanning the file for its fixed file information (FixedFileInfo.h).
  bool CreateFolder(const std::string& path) override;
  bool CreatePrivateFolder(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool IsReparsePoint(const std::string& path) override;
  std::optional<uint64_t> FileSize(const std::string& path) override;
  std::optional<double> LastWriteTime(const std::string& path) override;
  std::optional<uint64_t> FileVersion(const std::string& path) override;
  bool IsReadOnly(const std::string& path) override;
  bool SetReadOnly(const std::string& path, bool readOnly) override;
  bool CopyFile(const std::string& from, const std::string& to) override;
  bool DeleteAtRestart(const std::string& path) override;
  // The simulated file system has no short names.
  std::string ShortPathName(const std::string& path) override;
  std::vector<Entry> ListFolder(const std::string& folder, const std::string& prefix,
                                const std::string& suffix) override;
  std::shared_ptr<void> HoldFolder(const std::string& path) override;
  bool FolderInUse(const std::string& path) override;
  // The sources of PendingRenames().
  std::vector<std::string> PendingRestartFiles() override;

 private:
  bool ScheduleAtRestart(const std::string& from, const std::string& to);
  std::string root_;
  mutable std::mutex mutex_;
  std::set<std::string> held_;  // native paths
  std::unique_ptr<HostSystem> machine_;  // its rights, made when first asked
};

// The facts of the simulated system, read from <root>/machine.txt (lines
// "key=value", values escaped like the registry file's) again whenever the
// file changed, so that a fact set by a test or by another process counts
// at once. A fact that is absent or unreadable takes its default:
//
//   version     "10.0"               major.minor of Windows
//   64bit       1                    a 64-bit Windows
//   processors  hardware threads     processors usable by the process
//   windows     C:\Windows           the Windows folder
//   system      <windows>\System32   the system folder
//   program     this executable      as a Z:\ path
//   drives      "CZ"                 the drive letters, upper case
//   free.<L>    real free space      free bytes on drive L
//   admin       1                    the token's Administrators membership
//                                    is enabled (the user has admin rights)
//   elevated    1                    elevation type "full"
//   limited     0                    elevation type "limited"
//   uac         1                    UAC switched on
//   now         the real clock       a fixed local date-time (days since
//                                    1899-12-30), UTC being the local time
//
// Booleans are "1"/"0" (or "true"/"false"). The folders of the Windows
// folder, the system folder and of every drive but Z: are created in the
// sandbox when the object is made and when those facts are set.
// Thread-safe.
class HostSystem : public ISystem {
 public:
  // `machineRoot` empty: the facts live in this object only.
  explicit HostSystem(std::string machineRoot = {});

  // Sets a fact and saves machine.txt; "" returns it to its default.
  // Throws std::invalid_argument for an unknown key or a value that is not
  // of the key's kind.
  void Set(const std::string& key, const std::string& value);
  // The stored value of a fact, "" when it takes its default (also for a
  // hand-written value that is not of the key's kind).
  std::string Get(const std::string& key) const;

  int MajorVersion() override;
  int MinorVersion() override;
  bool Is64BitSystem() override;
  unsigned UsableProcessors() override;
  std::string WindowsFolder() override;
  std::string SystemFolder() override;
  std::string ProgramFile() override;
  uint32_t ProcessId() override;  // the host process's own id
  bool DriveExists(const std::string& drive) override;
  bool ConnectNetworkShare(const std::string& share) override;
  std::optional<uint64_t> FreeSpace(const std::string& path) override;
  uint64_t TickCount() override;
  double LocalNow() override;
  bool IsElevated() override;
  bool HasLimitedToken() override;
  bool IsAdminMember() override;
  bool UacEnabled() override;

 private:
  using Facts = std::map<std::string, std::string>;
  const Facts& Load() const;  // with mutex_ held
  bool Flag(const std::string& key, bool fallback) const;
  std::string Drives() const;
  void CreateFolders();
  std::string root_;
  HostFileSystem fs_;  // for the sandbox paths of Windows paths
  mutable std::mutex mutex_;
  Facts memoryFacts_;  // the facts of a machine without a root
  mutable Facts cache_;  // machine.txt as last read
  mutable host::FileStamp cacheStamp_;
  mutable bool cacheLoaded_ = false;
};

// The registry of the simulated machine: a tree of keys kept in memory and
// saved to <root>/registry.txt after every change (read again whenever
// another process or object has replaced the file), so that a second
// process sees the first one's values. Without a root it lives in memory.
//
// As on Windows: key and value names compare without regard to case, and
// only the backslash separates keys. HKEY_CLASSES_ROOT is the merge of
// HKCU\Software\Classes and HKLM\Software\Classes: a key that the user
// has wins, new keys go to the machine. On a 64-bit machine the Default
// view is the 32-bit one: HKLM\Software\X is HKLM\Software\Wow6432Node\X,
// while under Software\Classes (of HKLM, HKCU and so HKCR) only CLSID,
// DirectShow, Interface, Media Type and MediaFoundation are redirected (to
// Classes\Wow6432Node\...), the rest being shared as on Windows 7 and
// later. View64 and a 32-bit machine use the plain paths. Without admin
// rights (HostSystem) the keys of HKLM and HKU cannot be written.
//
// The file holds lines "key<TAB>path", each followed by the key's values
// "sz<TAB>name<TAB>text", "dword<TAB>name<TAB>decimal" and
// "bin<TAB>name<TAB>hex"; paths, names and text are escaped
// (MachineFiles.h). HKEY_CURRENT_CONFIG is stored as "HKCC". Thread-safe.
class HostRegistry : public IRegistry {
 public:
  explicit HostRegistry(std::string machineRoot = {});
  ~HostRegistry() override;

  // Where a key of a root and view is stored, e.g.
  // "HKLM\Software\Wow6432Node\X"; for tests and diagnostics.
  std::string StoredPath(RegRoot root, const std::string& key, RegView view = RegView::Default);

  bool KeyExists(RegRoot root, const std::string& key, RegView view = RegView::Default) override;
  bool CreateKey(RegRoot root, const std::string& key, RegView view = RegView::Default) override;
  bool CanWrite(RegRoot root, const std::string& key, RegView view = RegView::Default) override;
  std::optional<std::string> ReadString(RegRoot root, const std::string& key, const std::string& name,
                                        RegView view = RegView::Default) override;
  std::optional<uint32_t> ReadDword(RegRoot root, const std::string& key, const std::string& name,
                                    RegView view = RegView::Default) override;
  bool WriteString(RegRoot root, const std::string& key, const std::string& name, const std::string& value,
                   RegView view = RegView::Default) override;
  bool WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value,
                  RegView view = RegView::Default) override;
  bool DeleteValue(RegRoot root, const std::string& key, const std::string& name,
                   RegView view = RegView::Default) override;
  bool WriteBinary(RegRoot root, const std::string& key, const std::string& name, const std::string& bytes,
                   RegView view = RegView::Default) override;
  std::optional<RegValue> QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                     RegView view = RegView::Default) override;
  std::vector<std::string> SubkeyNames(RegRoot root, const std::string& key, size_t limit,
                                       RegView view = RegView::Default) override;
  bool DeleteKey(RegRoot root, const std::string& key, RegView view = RegView::Default) override;
  // In the order of their folded names, as SubkeyNames.
  std::optional<std::vector<std::string>> ValueNames(RegRoot root, const std::string& key, size_t limit,
                                                     RegView view = RegView::Default) override;

 private:
  struct State;  // the tree and the version of the file it came from
  // A key resolved to its stored path: the stored root ("HKCU", "HKLM",
  // "HKU") and the components below it. `isRoot`: the caller named a root
  // itself (HKCR's is stored as HKLM\Software\Classes), which always exists
  // and cannot be deleted.
  struct Path {
    std::string root;
    std::vector<std::string> parts;
    bool isRoot = false;
  };
  Path Resolve(RegRoot root, const std::string& key, RegView view);
  bool MayWrite(const Path& p);
  void Refresh();  // reads the file again when it changed
  bool Save();
  // Runs `change` on the fresh tree under the machine's lock and saves the
  // tree when it reports a change; the result is `change`'s.
  template <class F>
  bool Modify(F&& change);
  template <class T, class F>
  std::optional<T> ReadValue(RegRoot root, const std::string& key, const std::string& name, RegView view, F&& pick);

  std::string root_;
  std::string file_, lock_;  // native paths; "" without a root
  HostSystem system_;
  std::mutex mutex_;
  std::unique_ptr<State> state_;
};

}  // namespace stw
