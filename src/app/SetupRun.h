// The setup form's life without its window: creation (package opened,
// first sections read), the start-up sequence, the silent run and the
// clean-up. The wizard window builds on the same steps.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/Install.h"
#include "engine/SetupState.h"
#include "platform/SupportModule.h"
#include "platform/RunDialogs.h"
#include "system/SupportDll.h"
#include "wizard/EarlierInstallation.h"

namespace stw {

class TSetupRun {
 public:
  // `args[0]` is this program, `args[1]` the installer file.
  TSetupRun(TPlatform platform, std::vector<std::string> args);
  ~TSetupRun();

  // Process entry without the window: checks, form creation, the silent
  // run (or, without /silent, what the interactive start needs) and the
  // clean-up. Returns the process exit code.
  int Main();

  void FormCreate();
  void StartupSequence();
  // Returns the exit code of the silent run.
  int SilentRun();
  void FormDestroy();

  void CheckInstallRights();
  // Another way to load support DLLs than the machine's own (a test's).
  void UseSupportLoader(ISupportModuleLoader& loader);
  bool HasSwitch(const std::string& name) const;

  // The run with the wizard's window (started without /silent): given the
  // run after FormCreate, it runs the start-up sequence and the window and
  // returns the exit code. Unset: the program says that it installs only
  // silently.
  std::function<int(TSetupRun&)> Interactive;
  // How the silent run waits (a test's does not).
  std::function<void(int milliseconds)> Sleep = [](int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  };

  TSetupState S;
  TEarlierVerdict Verdict;
  IInstallProgress quiet_;  // a silent run shows no progress; outlives Installer
  std::unique_ptr<TInstaller> Installer;  // kept after the run for inspection

 private:
  void MakePrivateTempFolder();
  std::unique_ptr<ISupportModuleLoader> supportLoader_;
  std::unique_ptr<TSupportDll> support_;
  std::string privateTemp_;
  std::shared_ptr<void> privateHold_;  // keeps other runs from removing it
};

}  // namespace stw
