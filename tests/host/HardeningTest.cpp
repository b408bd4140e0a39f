// Installations against hostile or broken input and a hostile machine: an
// edited earlier log, a racer swapping the temporary file for a link,
// damaged support files, renames that cannot succeed at the restart either,
// root folders that climb out, and what a killed run leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "InstallFixture.h"
#include "TestSupport.h"
#include "package/Crc32.h"
#include "platform/WholeFile.h"

using namespace stw;
using namespace stw::test;

namespace {

class HardeningTest : public InstallTest {
 protected:
  // Every box is recorded and answered as nobody there could: the error
  // question with "no", and so a stop.
  int Run(const std::string& installer, std::vector<std::string> switches) {
    return InstallTest::Run(installer, std::move(switches), false);
  }
  // The same with another file system in place of the machine's own.
  int RunWith(IFileSystem& other, const std::string& installer, std::vector<std::string> switches) {
    std::vector<std::string> args = {"C:\\Temp\\setup.exe", installer};
    args.insert(args.end(), switches.begin(), switches.end());
    TRunDialogs run(dialogs, false, false);
    TSetupRun setup({other, reg, sys, run, shell}, args);
    return setup.Main();
  }
  std::string AllBoxes() const {
    std::string all;
    for (const auto& b : dialogs.shown) all += b.text + "\n";
    return all;
  }
  // Inserts lines at the end of the log's file section.
  void AddToFileSection(const std::string& log, const std::vector<std::string>& lines) {
    std::string text = Read(log);
    const size_t end = text.find("%%%\r\n");
    ASSERT_NE(end, std::string::npos);
    std::string added;
    for (const std::string& l : lines) added += l + "\r\n";
    text.insert(end, added);
    Write(log, text);
  }
  void Link(const std::string& target, const std::string& at) {
    std::filesystem::create_directories(std::filesystem::path(fs.NativePath(at)).parent_path());
    std::filesystem::create_symlink(fs.NativePath(target), fs.NativePath(at));
  }
  // A package with a support DLL that is also installed as a file.
  PackageManifest WithSupportDll(bool compress) {
    PackageManifest m = Product();
    m.supportDll = BuildSource{"hooks.dll", "", TextBytes(3000, 81), compress};
    for (auto& c : m.components)
      for (auto& f : c.root.folders)
        for (auto& it : f.items) it.file.DataIndex = static_cast<uint16_t>(it.file.DataIndex + 1);
    BuildItem it;
    it.file.DataIndex = 0;
    m.components[0].root.folders[0].items.push_back(it);
    return m;
  }
};

TEST_F(HardeningTest, AnEditedEarlierLogRemovesNothingOutsideTheProductsFolders) {
  PackageManifest v1 = Product();
  v1.setupOptionBits = 1;  // obsolete files are removed
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent"}), kExitSuccess);
  // Files outside the product, each named by the log in another way.
  const std::string outsideZ = "Z:" + root + "/outside.txt";
  std::string zPath = outsideZ;
  for (char& c : zPath)
    if (c == '/') c = '\\';
  const std::vector<std::string> victims = {"C:\\Windows\\System32\\victim.dll", kProgramFiles + "\\Other\\x.txt",
                                            kProgramFiles + "\\Other\\y.txt", "\\\\srv\\share\\x", zPath,
                                            "C:\\Outside\\inner.txt", "C:\\Outside\\target.txt"};
  for (const std::string& v : victims) Write(v, "not the product's");
  // A folder link and a file link inside the application folder.
  Link("C:\\Outside", App("linked"));
  Link("C:\\Outside\\target.txt", App("filelink.txt"));
  Write(App("legit.txt"), "an obsolete file of the product");
  Write(App("sub\\old.txt"), "another one");
  AddToFileSection(App("Stowa.log"), {
                                         "C:\\Windows\\System32\\victim.dll",
                                         App() + "/../Other/x.txt",
                                         App() + "\\..\\Other\\y.txt",
                                         App() + "\\sub\\.\\..\\..\\Other\\x.txt",
                                         App() + "\\.. \\Other\\x.txt",
                                         "\\\\srv\\share\\x",
                                         zPath,
                                         App("linked\\inner.txt"),
                                         App("filelink.txt"),
                                         App() + "\\\\legit.txt",
                                         App() + "/sub/old.txt",
                                     });
  PackageManifest v2 = Product();
  v2.setupOptionBits = 1;
  v2.releaseDate = 46300;
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess) << AllBoxes();
  for (const std::string& v : victims) EXPECT_EQ(Read(v), "not the product's") << v;
  EXPECT_TRUE(fs.IsReparsePoint(App("linked")));
  EXPECT_TRUE(fs.IsReparsePoint(App("filelink.txt")));
  EXPECT_TRUE(fs.DirectoryExists("C:\\Windows\\System32"));
  // The product's own obsolete files, however spelt, still go.
  EXPECT_FALSE(fs.FileExists(App("legit.txt")));
  EXPECT_FALSE(fs.FileExists(App("sub\\old.txt")));
  EXPECT_FALSE(fs.DirectoryExists(App("sub")));
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
}

TEST_F(HardeningTest, AnEditedLogCannotWidenTheFoldersThatVouch) {
  // The log sets the application folder to the Windows folder and adds a
  // variable of its own: neither vouches for what the log names.
  PackageManifest v1 = Product();
  v1.setupOptionBits = 1;
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent"}), kExitSuccess);
  Write("C:\\Windows\\victim.dll", "system");
  Write("C:\\Data\\victim.txt", "data");
  std::string log = Read(App("Stowa.log"));
  const std::string folders = "\r\n2\r\n%APPFOLDER%\r\n";
  ASSERT_NE(log.find(folders), std::string::npos);
  log.replace(log.find(folders), folders.size(), "\r\n3\r\n%EXTRA%\r\nExtra\r\nC:\\Data\r\n%APPFOLDER%\r\n");
  const std::string appValue = "\r\n" + App() + "\r\n%APPMENU%";
  ASSERT_NE(log.find(appValue), std::string::npos);
  log.replace(log.find(appValue), appValue.size(), "\r\nC:\\Windows\r\n%APPMENU%");
  Write(App("Stowa.log"), log);
  AddToFileSection(App("Stowa.log"), {"C:\\Windows\\victim.dll", "C:\\Data\\victim.txt"});
  PackageManifest v2 = Product();
  v2.setupOptionBits = 1;
  v2.releaseDate = 46300;
  // The update goes where the log says, but deletes nothing there.
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess) << AllBoxes();
  EXPECT_TRUE(fs.FileExists("C:\\Windows\\app.exe"));
  EXPECT_EQ(Read("C:\\Windows\\victim.dll"), "system");
  EXPECT_EQ(Read("C:\\Data\\victim.txt"), "data");
}

TEST_F(HardeningTest, AnAllUsersUpdateIgnoresALogThatTheUserPointsToElsewhere) {
  PackageManifest v1 = Product();
  v1.setupOptionBits = 1;
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent"}), kExitSuccess);
  // A standard user writes a log of their own and names it in their
  // per-user value, which is read first.
  const std::string v1Log = Read(App("Stowa.log"));
  std::string log = v1Log;
  const size_t registry = log.find("%%%\r\n") + 5;
  log.insert(registry, "HKEY_LOCAL_MACHINE\\Software\\Victim\tValue\r\n");
  Write("C:\\Users\\Public\\Stowa.log", log);
  AddToFileSection("C:\\Users\\Public\\Stowa.log", {App("victim.txt")});
  const std::string planted = Read("C:\\Users\\Public\\Stowa.log");
  Write(App("victim.txt"), "the user's bait");
  reg.WriteString(RegRoot::CurrentUser, kHandshakeKey, "Test Product", "C:\\Users\\Public\\Stowa.log");
  PackageManifest v2 = Product();
  v2.setupOptionBits = 1;
  v2.releaseDate = 46300;
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess) << AllBoxes();
  // Not read, not deleted, not rewritten; none of its lines taken over.
  EXPECT_EQ(Read("C:\\Users\\Public\\Stowa.log"), planted);
  EXPECT_TRUE(fs.FileExists(App("victim.txt")));
  const std::string fresh = Read(App("Stowa.log"));
  EXPECT_EQ(fresh.find("Software\\Victim"), std::string::npos);
  // A fresh log beside the earlier one, which stays as it was.
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kHandshakeKey, "Test Product"), App("Stowa2.log"));
  EXPECT_EQ(Read(App("Stowa.log")), v1Log);
}

// Plants a link to `victim` at the temporary file's name right after the
// file was created, as a racer that won every time would.
class RacingFileSystem : public HostFileSystem {
 public:
  RacingFileSystem(const std::string& root, std::string victim) : HostFileSystem(root), victim_(std::move(victim)) {}
  std::unique_ptr<IWriteFile> CreateTempFile(const std::string& folder, const std::string& prefix, std::string& path,
                                             std::string& error) override {
    auto file = HostFileSystem::CreateTempFile(folder, prefix, path, error);
    if (file && path.find("Test Product") != std::string::npos) {
      ::unlink(NativePath(path).c_str());
      std::filesystem::create_symlink(NativePath(victim_), NativePath(path));
      ++swapped;
    }
    return file;
  }
  int swapped = 0;

 private:
  std::string victim_;
};

TEST_F(HardeningTest, ATemporaryFileSwappedForALinkWritesNothingThroughIt) {
  const std::string victim = "C:\\Windows\\System32\\victim.dll";
  Write(victim, "the system's own");
  RacingFileSystem racing(root, victim);
  EXPECT_EQ(RunWith(racing, Build(Product()), {"/silent"}), kExitFailed);
  EXPECT_GT(racing.swapped, 0);
  EXPECT_EQ(Read(victim), "the system's own");
  // Nothing installed is a link to it either.
  for (const char* name : {"app.exe", "random.bin", "UnStowa.exe"}) EXPECT_FALSE(fs.IsReparsePoint(App(name))) << name;
  EXPECT_NE(AllBoxes().find("could not be created"), std::string::npos) << AllBoxes();
}

TEST_F(HardeningTest, ALinkAtTheTargetsNameIsNeitherFollowedNorReplaced) {
  const std::string victim = "C:\\Windows\\System32\\victim.dll";
  Write(victim, "the system's own");
  Link(victim, App("app.exe"));
  EXPECT_EQ(Run(Build(Product()), {"/silent"}), kExitFailed);
  EXPECT_EQ(Read(victim), "the system's own");
  EXPECT_TRUE(fs.IsReparsePoint(App("app.exe")));
  EXPECT_NE(AllBoxes().find(App("app.exe")), std::string::npos) << AllBoxes();
  ExpectNoTemporaryFiles(App());
}

TEST_F(HardeningTest, ADamagedSupportFileIsAReadErrorBeforeAnythingUsesIt) {
  for (const bool compress : {false, true}) {
    dialogs.shown.clear();
    const PackageManifest m = WithSupportDll(compress);
    const std::string setup = Build(m, compress ? "c.exe" : "s.exe");
    ASSERT_EQ(report.supportFiles, 1u);
    // One byte of the DLL's stored data, past the LZMA properties.
    const std::string native = root + "/dist/" + (compress ? "c.exe" : "s.exe");
    std::string bytes = Read("Z:" + native);
    bytes[static_cast<size_t>(report.offsets[0] + report.storedSizes[0] / 2)] ^= 0x20;
    std::ofstream(native, std::ios::binary) << bytes;
    EXPECT_EQ(Run(setup, {"/silent"}), kExitFailed) << compress;
    EXPECT_NE(AllBoxes().find("The file hooks.dll could not be read from the installation package"),
              std::string::npos)
        << AllBoxes();
    EXPECT_FALSE(fs.DirectoryExists(App())) << compress;
    EXPECT_TRUE(std::filesystem::is_empty(fs.NativePath("C:\\Temp")));
  }
}

// Changes the support DLL in the private folder once it is opened for
// copying into the product's folder.
class TamperingFileSystem : public HostFileSystem {
 public:
  using HostFileSystem::HostFileSystem;
  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override {
    if (StartsWith(path, "C:\\Temp\\stw") && EndsWith(path, "\\hooks.dll") && !tampered) {
      tampered = true;
      std::ofstream(NativePath(path), std::ios::binary | std::ios::in | std::ios::out).write("XX", 2);
    }
    return HostFileSystem::OpenRead(path);
  }
  bool tampered = false;
};

TEST_F(HardeningTest, ASupportFileChangedInTheTemporaryFolderIsNotInstalled) {
  TamperingFileSystem tampering(root);
  EXPECT_EQ(RunWith(tampering, Build(WithSupportDll(true)), {"/silent"}), kExitFailed);
  EXPECT_TRUE(tampering.tampered);
  EXPECT_FALSE(fs.FileExists(App("hooks.dll")));
  EXPECT_NE(AllBoxes().find("The file hooks.dll could not be read"), std::string::npos) << AllBoxes();
  ExpectNoTemporaryFiles(App());
}

TEST_F(HardeningTest, OnlyATargetInUseIsReplacedAtTheRestart) {
  // A folder at the file's name: the rename could never succeed, at the
  // restart either.
  std::filesystem::create_directories(fs.NativePath(App("app.exe")));
  EXPECT_EQ(Run(Build(Product()), {"/silent"}), kExitFailed);
  EXPECT_NE(AllBoxes().find("The file " + App("app.exe") + " could not be created."), std::string::npos)
      << AllBoxes();
  EXPECT_TRUE(fs.PendingRenames().empty());
  ExpectNoTemporaryFiles(App());
  // A name longer than the system takes.
  std::filesystem::remove(fs.NativePath(App("app.exe")));
  PackageManifest m = Product();
  m.files[FindDataIndex(m, "app.exe")].name = std::string(300, 'n') + ".exe";
  dialogs.shown.clear();
  EXPECT_EQ(Run(Build(m, "long.exe"), {"/silent"}), kExitFailed);
  EXPECT_TRUE(fs.PendingRenames().empty());
  ExpectNoTemporaryFiles(App());
  // A file held open by another program is the one case for the restart.
  dialogs.shown.clear();
  Write(App("app.exe"), "running");
  fs.HoldOpen(App("app.exe"));
  EXPECT_EQ(Run(Build(Product()), {"/silent"}), kExitRestartNeeded) << AllBoxes();
  fs.Release(App("app.exe"));
  EXPECT_EQ(fs.PendingRenames().size(), 1u);
}

TEST_F(HardeningTest, RootFoldersThatClimbOutAreRefusedBeforeAnythingIsWritten) {
  for (const char* bad : {"%APPFOLDER%\\..\\x", "C:\\x", "Z:\\tmp\\x", "%APPFOLDER%\\CON", "%APPFOLDER%\\x:y",
                          "%APPFOLDER%\\x.", "%APPFOLDER%\\LPT\u00B3"}) {
    dialogs.shown.clear();
    PackageManifest m = Product();
    m.components[0].root.folders[0].name = bad;
    EXPECT_EQ(Run(Build(m), {"/silent"}), kExitFailed) << bad;
    EXPECT_NE(AllBoxes().find("is not a folder below its folder variable"), std::string::npos) << AllBoxes();
    EXPECT_FALSE(fs.DirectoryExists(kProgramFiles + "\\x")) << bad;
    EXPECT_FALSE(fs.DirectoryExists("C:\\x")) << bad;
    EXPECT_FALSE(fs.FileExists(App("Stowa.log"))) << bad;
  }
  PackageManifest m = Product();
  m.components[0].root.folders[0].name = "%APPFOLDER%\\bin\\x64\\";
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess) << AllBoxes();
  EXPECT_TRUE(fs.FileExists(App("bin\\x64\\app.exe")));
}

TEST_F(HardeningTest, ALaterRunRemovesWhatAKilledRunLeftBehind) {
  // Leftovers of a killed run: temporary files beside the product's files
  // and a private folder in the temporary folder.
  Write(App("stw0A1B2C3D.tmp"), "half a file");
  Write(App("STWFFFFFFFF.TMP"), "another");
  Write("C:\\Temp\\stw12345678\\hooks.dll", "a support file");
  // Not ours, or still needed: a file the restart is to move into place,
  // names of another pattern, and the private folder of a running setup.
  Write(App("stw00000001.tmp"), "waits for the restart");
  std::ofstream(root + "/pending-renames.txt", std::ios::binary) << App("stw00000001.tmp") << "\t" << App("x.dll")
                                                                  << "\n";
  Write(App("stwhello.tmp"), "a user's file");
  Write(App("stw0A1B2C3D.txt"), "a user's file");
  Write("C:\\Temp\\stw87654321\\readme.txt", "a running setup's");
  const auto hold = fs.HoldFolder("C:\\Temp\\stw87654321");
  ASSERT_TRUE(hold);
  ASSERT_TRUE(fs.FolderInUse("C:\\Temp\\stw87654321"));
  ASSERT_EQ(Run(Build(Product()), {"/silent"}), kExitSuccess) << AllBoxes();
  EXPECT_FALSE(fs.FileExists(App("stw0A1B2C3D.tmp")));
  EXPECT_FALSE(fs.FileExists(App("STWFFFFFFFF.TMP")));
  EXPECT_FALSE(fs.DirectoryExists("C:\\Temp\\stw12345678"));
  EXPECT_TRUE(fs.FileExists(App("stw00000001.tmp")));
  EXPECT_TRUE(fs.FileExists(App("stwhello.tmp")));
  EXPECT_TRUE(fs.FileExists(App("stw0A1B2C3D.txt")));
  EXPECT_TRUE(fs.FileExists("C:\\Temp\\stw87654321\\readme.txt"));
  // This run's own private folder is gone again.
  const auto entries = fs.ListFolder("C:\\Temp", "stw", "");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "stw87654321");
}

TEST_F(HardeningTest, SetupHostSaysWhyARunFailed) {
  const std::string setup = Build(Product());
  std::string bytes = Read(setup);
  bytes.resize(bytes.size() / 2);
  Write(setup, bytes);
  const auto [code, out] =
      RunCommand(std::string(STW_SETUP_HOST) + " --machine '" + root + "' '" + root + "/dist/setup.exe' /silent");
  EXPECT_EQ(code, kExitFailed & 0xFF);
  EXPECT_NE(out.find("damaged"), std::string::npos) << out;
}

TEST_F(HardeningTest, PakbuildExtractRefusesANegativeOffsetThatIsNoExternalFile) {
  const PackageManifest m = Product();
  Build(m);
  const int app = FindDataIndex(m, "app.exe");
  const std::string native = root + "/dist/setup.exe";
  std::string bytes = Read("Z:" + native);
  bytes.replace(static_cast<size_t>(report.tablePosition + 8 * app), 8, Le64(-2));
  std::ofstream(native, std::ios::binary) << bytes;
  const auto [code, out] = RunCommand(std::string(STW_PAKBUILD) + " extract '" + native + "' --by-index '" + root + "/out'");
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("data index " + std::to_string(app) + " has the offset -2"), std::string::npos) << out;
}

TEST_F(HardeningTest, AFailedBuildLeavesNoOutput) {
  PackageManifest m = Product();
  m.volumeSize = 512;  // smaller than the setup definition, found out mid-way
  const std::string out = root + "/dist/split.exe";
  EXPECT_THROW(BuildPackage(m, out), ESetupException);
  EXPECT_TRUE(std::filesystem::is_empty(root + "/dist"));
  // A good build replaces what an earlier one wrote, and leaves no part.
  std::ofstream(out, std::ios::binary) << "an earlier build";
  m.volumeSize = 0;
  BuildPackage(m, out);
  EXPECT_NE(Read("Z:" + out), "an earlier build");
  const auto left = std::distance(std::filesystem::directory_iterator(root + "/dist"), {});
  EXPECT_EQ(left, 1);
}

}  // namespace
