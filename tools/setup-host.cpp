// setup-host: runs the setup on a simulated machine on Linux, so that the
// whole installation can be tried and debugged without Windows.
//   setup-host --machine DIR INSTALLER [switches...]
//   setup-host --machine DIR INSTALLER --start-page [switches...]
// Without /silent the wizard runs headless: with --start-page it stops as
// soon as its start page is ready and prints the time that took (from the
// program's start), which the start-up benchmark reads; otherwise it
// presses Install (and accepts a licence) as a user in a hurry would.
// Paths of the simulated machine map into DIR (C:\ is DIR/C); the installer
// file is given as a Linux path and reaches the setup as Z:\..., as under
// Wine. Message boxes print to standard error and take their default
// answer.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "app/SetupRun.h"
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/HostDesktop.h"
#include "platform/host/HostShell.h"
#include "system/CommandLine.h"
#include "ui/Background.h"
#include "wizard/SetupWizard.h"

int main(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> rest(argv + 1, argv + argc);
  const auto startPage = std::find(rest.begin(), rest.end(), "--start-page");
  const bool stopAtStartPage = startPage != rest.end();
  if (stopAtStartPage) rest.erase(startPage);
  if (rest.size() < 3 || rest[0] != "--machine") {
    std::cerr << "usage: setup-host --machine DIR INSTALLER [switches...]\n";
    return 2;
  }
  const std::string root = std::filesystem::absolute(rest[1]).string();
  std::filesystem::create_directories(root + "/C");
  stw::HostFileSystem fs(root);
  stw::HostRegistry reg(root);
  stw::HostSystem sys(root);
  stw::HostShell shell(root);
  std::string installer = std::filesystem::absolute(rest[2]).string();
  for (char& c : installer)
    if (c == '/') c = '\\';
  std::vector<std::string> args = {sys.ProgramFile(), "Z:" + installer};
  args.insert(args.end(), rest.begin() + 3, rest.end());
  stw::ConsoleDialogs console;
  // Nobody can answer on the console: every box takes its default answer,
  // and its text goes to standard error, as setup.exe's does.
  stw::TRunDialogs dialogs(console, true, true);
  stw::TSetupRun run({fs, reg, sys, dialogs, shell}, args);
  stw::HostDesktop desktop;
  run.Interactive = [&](stw::TSetupRun& r) {
    stw::forms::HeadlessBackend backend;
    stw::TSetupWizard wizard(r.S, backend, desktop, [] { return std::make_unique<stw::forms::HeadlessBackend>(); });
    wizard.FormCreate();
    r.StartupSequence();
    stw::forms::HeadlessBackend backdropBackend;
    const auto backdrop = stw::CreateBackground(r.S, backdropBackend, wizard.form);
    wizard.AfterStartup(r.Verdict);
    if (stopAtStartPage) {
      const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
      std::cout << "start page ready after " << ms << " ms" << std::endl;
      return 0;
    }
    wizard.BtnInstall.Click();
    if (wizard.BtnLicenseYes.visible()) wizard.BtnLicenseYes.Click();
    return wizard.ExitCode();
  };
  const int code = run.Main();
  std::cerr << "setup-host: exit code " << code << std::endl;
  return code;  // the shell sees the low byte: 1603 as 67, 3010 as 194, as under Wine
}
