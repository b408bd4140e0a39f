// uninstall-host: runs the uninstaller on a simulated machine on Linux, so
// that a removal can be tried and debugged without Windows.
//   uninstall-host --machine DIR LOG [switches...]
// LOG is the installation log as the machine names it ("C:\Program
// Files\X\Stowa.log"). Paths of the simulated machine map into DIR (C:\ is
// DIR/C), as for setup-host. Message boxes print to standard error and
// take their default answer (the confirmation: Yes), since nobody can
// answer them on the console.
#include <filesystem>
#include <iostream>

#include "platform/Factory.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/HostShell.h"
#include "uninstaller/Uninstaller.h"

int main(int argc, char** argv) {
  std::vector<std::string> rest(argv + 1, argv + argc);
  if (rest.size() < 3 || rest[0] != "--machine") {
    std::cerr << "usage: uninstall-host --machine DIR LOG [switches...]\n";
    return 2;
  }
  const std::string root = std::filesystem::absolute(rest[1]).string();
  std::filesystem::create_directories(root + "/C");
  stw::HostFileSystem fs(root);
  stw::HostRegistry reg(root);
  stw::HostSystem sys(root);
  stw::HostShell shell(root);
  std::vector<std::string> args = {sys.ProgramFile()};
  args.insert(args.end(), rest.begin() + 2, rest.end());
  stw::ConsoleDialogs console;
  stw::TRunDialogs dialogs(console, true, true);
  stw::TUninstallRun run({fs, reg, sys, dialogs, shell}, args);
  const int code = run.Main();
  for (const std::string& item : run.Result.ScheduledAtRestart) std::cerr << "at the restart: " << item << "\n";
  if (!run.SelfRemovalCommand.empty()) std::cerr << "uninstaller removed by: " << run.SelfRemovalCommand << "\n";
  std::cerr << "uninstall-host: exit code " << code << std::endl;
  return code;  // the shell sees the low byte: 1603 as 67, 3010 as 194, as under Wine
}
