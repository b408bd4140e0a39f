// setup-host: runs the setup on a simulated machine on Linux, so that the
// whole installation can be tried and debugged without Windows.
//   setup-host --machine DIR INSTALLER [switches...]
// Paths of the simulated machine map into DIR (C:\ is DIR/C); the installer
// file is given as a Linux path and reaches the setup as Z:\..., as under
// Wine. Message boxes print to standard error and take their default
// answer.
#include <filesystem>
#include <iostream>

#include "app/SetupRun.h"
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/HostShell.h"
#include "system/CommandLine.h"

int main(int argc, char** argv) {
  std::vector<std::string> rest(argv + 1, argv + argc);
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
  const int code = run.Main();
  std::cerr << "setup-host: exit code " << code << std::endl;
  return code;  // the shell sees the low byte: 1603 as 67, 3010 as 194, as under Wine
}
