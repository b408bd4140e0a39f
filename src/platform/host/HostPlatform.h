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

// Answers message boxes from a script; records every box shown.
class ScriptedDialogs : public IDialogs {
 public:
  struct Shown {
    std::string text, title;
    unsigned style;
  };
  // Answers are taken in order; when none is left, `fallback` is returned.
  void Answer(int answer) { answers_.push_back(answer); }
  // Called with each box before it is answered (a test can, say, put a
  // missing volume in place, as a user would before pressing OK).
  std::function<void(const Shown&)> onShow;
  int fallback = IDNONE_;
  std::vector<Shown> shown;

  int MessageBox(const std::string& text, const std::string& title, unsigned style) override;

 private:
  std::deque<int> answers_;
  std::mutex mutex_;
};

// Days since 1899-12-30 (local date-time) to seconds since 1970 and back;
// the simulated machine's local time is UTC.
double UnixToDateTime(int64_t unixSeconds);
int64_t DateTimeToUnix(double dateTime);

}  // namespace stw
