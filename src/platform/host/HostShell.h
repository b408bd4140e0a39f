// The shell of the simulated machine: shell links are text records in the
// sandbox that a test reads back, fonts, type libraries, folder rights and
// association notices are recorded, and programs run as scripted by the
// test (exit code, duration, effect) without anything being executed.
#pragma once
#include <functional>
#include <optional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/host/HostPlatform.h"

namespace stw {

class HostShell : public IShell {
 public:
  explicit HostShell(std::string machineRoot = {});

  // How a program behaves when started, by its file name (ASCII case
  // ignored). An unscripted program starts when its file exists in the
  // sandbox, and ends at once with exit code 0.
  struct Program {
    bool refuse = false;  // cannot be started
    uint32_t exitCode = 0;
    uint32_t runMilliseconds = 0;  // a wait shorter than this times out
    std::function<void(const std::string& commandLine)> effect;  // run at the start
    // Run at a start through the shell with its parameters instead of
    // `effect`; its result is the exit code (a second instance of the setup
    // runs here, on the same machine, while the first waits).
    std::function<uint32_t(const std::string& parameters)> run;
    bool decline = false;  // the user refuses the "runas" prompt
  };
  void Script(const std::string& fileName, Program program);
  // Font files that AddFontResource refuses.
  void RefuseFont(const std::string& path);
  // Drives ("E") that count as removable.
  void SetRemovable(const std::string& letters);

  // What happened, in order: "start<TAB>program<TAB>command line" and
  // "open<TAB>file<TAB>parameters<TAB>wait|nowait" and
  // "shell<TAB>file<TAB>verb<TAB>parameters<TAB>show<TAB>owner|noowner".
  std::vector<std::string> Events() const;
  std::vector<std::string> Fonts() const;  // added, in order
  std::vector<std::string> TypeLibraries() const;  // "path<TAB>help folder"
  std::vector<std::string> UnregisteredTypeLibraries() const;  // paths, in order
  std::vector<std::string> GrantedFolders() const;
  int FontChangeBroadcasts() const;
  int AssociationNotices() const;
  // The record of a saved link: "Path", "Arguments", "WorkingDirectory",
  // "Description", "IconPath", "IconIndex", "ShowCmd", "HotKey" and, once
  // set, "StartPin"; empty when `linkPath` holds no link.
  std::map<std::string, std::string> ReadLink(const std::string& linkPath);

  bool SaveShellLink(const ShellLinkData& link, const std::string& linkPath, std::string& error) override;
  bool SetStartPinOption(const std::string& linkPath, uint32_t value) override;
  bool AddFontResource(const std::string& path) override;
  void BroadcastFontChange() override;
  bool RegisterTypeLibrary(const std::string& path, const std::string& helpFolder, std::string& error) override;
  std::unique_ptr<IProcess> StartProcess(const std::string& program, const std::string& commandLine) override;
  bool OpenFile(const std::string& file, const std::string& parameters, bool wait) override;
  std::unique_ptr<IProcess> ShellStart(const std::string& file, const std::string& verb, const std::string& parameters,
                                       void* owner, int show, bool& declined) override;
  void NotifyAssociationsChanged() override;
  // Checks the file as RegisterTypeLibrary does and records the path.
  bool UnregisterTypeLibrary(const std::string& path, std::string& error) override;
  // The programs of the simulated machine end as soon as they are started:
  // there is never one to wait for.
  std::unique_ptr<IProcess> OpenProcess(uint32_t processId) override { return nullptr; }
  bool GrantUsersFullControl(const std::string& folder) override;
  bool IsRemovableDrive(const std::string& root) override;

 private:
  // The script of a program file, or an unscripted one when its file exists.
  std::optional<Program> Find(const std::string& path);
  HostFileSystem fs_;
  mutable std::mutex mutex_;
  std::map<std::string, Program> programs_;  // by CaseKey of the file name
  std::set<std::string> refusedFonts_;
  std::string removable_;
  std::vector<std::string> events_, fonts_, typeLibs_, unregisteredTypeLibs_, granted_;
  int fontChanges_ = 0, associationNotices_ = 0;
};

}  // namespace stw
