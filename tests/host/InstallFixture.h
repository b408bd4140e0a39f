// The fixture of the installation tests: a simulated machine with the
// shell folders of a 64-bit Windows, packages built into its Z: view, and
// the setup run as setup.exe runs it.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "TestSupport.h"
#include "app/SetupRun.h"
#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/Manifest.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/HostShell.h"
#include "system/CommandLine.h"

namespace stw::test {


inline const std::string kProgramFiles = "C:\\Program Files (x86)";
inline const std::string kLocalAppData = "C:\\users\\tester\\AppData\\Local";
inline const std::string kPrograms = "C:\\users\\tester\\Start Menu\\Programs";
inline const std::string kUninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Test Product";
inline const std::string kShared = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

class InstallTest : public ::testing::Test {
 protected:
  std::string root = PathToUtf8(std::filesystem::temp_directory_path() /
                                ("stwinstall-" + std::to_string(std::random_device{}())));
  HostFileSystem fs{root};
  HostRegistry reg{root};
  HostSystem sys{root};
  HostShell shell{root};
  ScriptedDialogs dialogs;

  void SetUp() override {
    std::filesystem::create_directories(root + "/C/Temp");
    std::filesystem::create_directories(root + "/dist");
    sys.Set("processors", "1");
    // The shell folders as a 64-bit Windows has them for a 32-bit program.
    reg.WriteString(RegRoot::LocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                    kProgramFiles);
    const std::string sf = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    reg.WriteString(RegRoot::CurrentUser, sf, "Local AppData", kLocalAppData);
    reg.WriteString(RegRoot::CurrentUser, sf, "Programs", kPrograms);
    reg.CreateKey(RegRoot::LocalMachine, kShared);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  // Builds a package into the machine's Z: view and returns its path there.
  std::string Build(const PackageManifest& m, const std::string& name = "setup.exe") {
    const std::string native = root + "/dist/" + name;
    report = BuildPackage(m, native);
    std::string win = "Z:" + native;
    for (char& c : win)
      if (c == '/') c = '\\';
    return win;
  }
  int Run(const std::string& installer, std::vector<std::string> switches, bool suppress = true) {
    std::vector<std::string> args = {"C:\\Temp\\setup.exe", installer};
    args.insert(args.end(), switches.begin(), switches.end());
    // As setup.exe does: the switch suppresses the boxes; `suppress` stands
    // for a run that nobody watches even without it.
    TRunDialogs run(dialogs, suppress || HasSwitch(args, "suppressmsgboxes"), false);
    TSetupRun setup({through ? *through : fs, reg, sys, run, shell}, args);
    if (supportLoader) setup.UseSupportLoader(*supportLoader);
    const int code = setup.Main();
    lastQueue = setup.Installer ? setup.Installer->FirstQueue() : std::vector<std::string>{};
    lastSecondQueue = setup.Installer ? setup.Installer->SecondQueue() : std::vector<std::string>{};
    lastPathQueue = setup.Installer ? setup.Installer->PathQueue() : std::vector<std::string>{};
    lastSelfReg = setup.Installer ? setup.Installer->SelfRegistrations() : std::vector<std::string>{};
    lastWorkers = setup.Installer ? setup.Installer->WorkerCount() : 0;
    lastShortcuts.clear();
    if (setup.Installer)
      for (const TShortcutData* sc : setup.Installer->Shortcuts()) lastShortcuts.push_back(*sc);
    return code;
  }
  std::string Read(const std::string& path) {
    std::ifstream f(fs.NativePath(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  void Write(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(fs.NativePath(path)).parent_path());
    std::ofstream(fs.NativePath(path), std::ios::binary) << content;
  }
  std::vector<std::string> LogLines(const std::string& path) { return SplitLines(Read(path)); }
  // No "stw*" file (the setup's temporary files) is left in the folder.
  void ExpectNoTemporaryFiles(const std::string& folder) {
    for (const auto& e : std::filesystem::directory_iterator(fs.NativePath(folder)))
      EXPECT_FALSE(StartsWith(AsciiLower(PathToUtf8(e.path().filename())), "stw")) << e.path();
  }
  std::string App(const std::string& name = "") { return kProgramFiles + "\\Test Product" + (name.empty() ? "" : "\\" + name); }
  std::vector<std::string> lastQueue, lastSecondQueue, lastPathQueue, lastSelfReg;
  unsigned lastWorkers = 0;
  // Loads the support DLLs of the runs when set (see HostSupportModule.h).
  ISupportModuleLoader* supportLoader = nullptr;
  IFileSystem* through = nullptr;  // a layer over `fs` that the runs go through
  std::vector<TShortcutData> lastShortcuts;
  BuildReport report;
};

inline PackageManifest Product() {
  PackageManifest m = SampleManifest();
  m.readme.reset();
  m.licence.reset();
  // Support files removed: the data indices of the entries move down by 2.
  for (auto& c : m.components)
    for (auto& f : c.root.folders)
      for (auto& it : f.items) it.file.DataIndex = static_cast<uint16_t>(it.file.DataIndex - 2);
  return m;
}

}  // namespace stw::test
