// The simulated machine of the host build: Windows paths map into a
// sandbox folder (C:\ is <root>/C/), Z:\ is the real root as under Wine,
// and message boxes are answered by a script. Enough to run the core on
// Linux for tests, fuzzing, benchmarks and the host tools.
#pragma once
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/ScriptedDialogs.h"

namespace stw {

class HostFileSystem : public IFileSystem {
 public:
  // `machineRoot` empty: only native paths and Z:\ are usable.
  explicit HostFileSystem(std::string machineRoot = {});

  // The Linux path behind a Windows path of this machine.
  std::string NativePath(const std::string& path) const;

  // Simulates another process holding the file open without sharing:
  // creating, replacing or deleting it fails until it is released.
  void HoldOpen(const std::string& path);
  void Release(const std::string& path);
  // Lines "from<TAB>to" of the moves scheduled for the next restart.
  std::vector<std::string> PendingRenames() const;

  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override;
  std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) override;
  std::string CreateTempFileIn(const std::string& folder, const std::string& prefix) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool MoveReplace(const std::string& from, const std::string& to, std::string& error) override;
  bool ReplaceAtRestart(const std::string& from, const std::string& to) override;
  std::string TempFolder() override;

 private:
  bool IsHeld(const std::string& path) const;
  std::string root_;
  mutable std::mutex mutex_;
  std::set<std::string> held_;  // native paths
};

}  // namespace stw
