// Silent installations on the simulated machine: packages made by the
// builder, installed by the setup run, checked in files, log and registry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "FaultPlatform.h"
#include "InstallFixture.h"
#include "TestSupport.h"
#include "app/SetupRun.h"
#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/Manifest.h"
#include "package/Crc32.h"
#include "platform/host/HostPlatform.h"
#include "system/CommandLine.h"

using namespace stw;
using namespace stw::test;

namespace {

TEST_F(InstallTest, FirstInstallForAllUsersWritesFilesLogAndUninstallEntry) {
  const PackageManifest m = Product();
  const std::string setup = Build(m);
  sys.Set("now", "46100.5");  // 2026-03-19, noon
  ASSERT_EQ(Run(setup, {"/silent"}, false), kExitSuccess) << (dialogs.shown.empty() ? "" : dialogs.shown[0].text);
  EXPECT_TRUE(dialogs.shown.empty());  // not one box in a run that goes well
  const auto content = [&](const std::string& n) { return *m.files[FindDataIndex(m, n)].content; };
  EXPECT_EQ(Read(App("UnStowa.exe")), content("UnStowa32.exe"));
  EXPECT_EQ(Read(App("app.exe")), content("app.exe"));
  EXPECT_EQ(Read(App("random.bin")), content("random.bin"));
  EXPECT_TRUE(fs.FileExists(App("empty.txt")));
  EXPECT_FALSE(fs.FileExists(App("notes.txt")));  // optional, not selected

  const std::vector<std::string> s = DefaultInterfaceStrings();
  std::string expected =
      "; Pakvestor Installation Log\r\n"
      "; Please do not delete or alter this file.\r\n"
      "; It is needed whenever you want to update or uninstall Test Works Test Product 2.5\r\n"
      "; It lists the files, registry values, file types and registrations\r\n"
      "; that this installation made, for the uninstaller and later setups.\r\n"
      "4\r\nALL\r\nTest Works Test Product 2.5\r\n2025\r\n12\r\n9\r\nTest Works\r\nTest Product\r\n2.5\r\n";
  for (int i = 61; i <= 67; ++i) expected += s[i] + "\r\n";
  expected += "\r\n2\r\n%APPFOLDER%\r\n" + s[32] + "\r\n" + App() + "\r\n%APPMENU%\r\n" + s[34] + "\r\n" + kPrograms +
              "\\Test Product\r\n2\r\nProgram\r\nS\r\nNotes\r\n\r\n";
  expected += App("UnStowa.exe") + "\r\n" + App("app.exe") + "\r\n" + App("random.bin") + "\r\n" + App("empty.txt") +
              "\r\n%%%\r\n";
  const std::string u = "HKEY_LOCAL_MACHINE\\" + kUninstall + "\t";
  for (const char* name : {"DisplayName", "DisplayVersion", "EstimatedSize", "HelpLink", "InstallDate",
                           "InstallLocation", "NoModify", "NoRepair", "Publisher", "QuietUninstallString", "UninstallString", "URLInfoAbout",
                           "URLInfoUpdate", "URLUpdateInfo", "VersionMajor", "VersionMinor"})
    expected += u + name + "\r\n";
  expected += "HKEY_LOCAL_MACHINE\\Software\\Orvane\\Carrovit\tTest Product\r\n%%%\r\n%%%\r\n%%%\r\n";
  EXPECT_EQ(Read(App("Stowa.log")), expected);

  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, "Software\\Orvane\\Carrovit", "Test Product"), App("Stowa.log"));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayName"), "Test Product 2.5");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "UninstallString"),
            "\"" + App("UnStowa.exe") + "\" \"" + App("Stowa.log") + "\"");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "QuietUninstallString"),
            "\"" + App("UnStowa.exe") + "\" \"" + App("Stowa.log") + "\" /silent");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "InstallLocation"), App());
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "URLUpdateInfo"), "https://example.invalid/help");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "URLInfoAbout"), "https://example.invalid");
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "VersionMajor"), 2u);
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "VersionMinor"), 5u);
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "NoModify"), 1u);
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "NoRepair"), 1u);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayVersion"), "2.5");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "Publisher"), "Test Works");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "HelpLink"), "https://example.invalid/help");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "URLInfoUpdate"), "https://example.invalid/help");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "InstallDate"), "20260319");
  const uint64_t bytes = 5000 + 200000 + 70000 + 0;
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "EstimatedSize"), bytes / 1024);
  EXPECT_FALSE(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayIcon"));
  // Only the 32-bit view holds the entry.
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall, RegView::View64));
  // The uninstaller is counted under SharedDLLs.
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 1u);
  // The private temporary folder is gone again.
  EXPECT_TRUE(std::filesystem::is_empty(root + "/C/Temp"));
}

TEST_F(InstallTest, CurrentUserInstallGoesToTheUsersFoldersAndKeys) {
  const std::string setup = Build(Product());
  ASSERT_EQ(Run(setup, {"-S", "/usercurrent"}), kExitSuccess);
  const std::string app = kLocalAppData + "\\Test Product";
  EXPECT_TRUE(fs.FileExists(app + "\\app.exe"));
  const auto log = LogLines(app + "\\Stowa.log");
  ASSERT_GT(log.size(), 7u);
  EXPECT_EQ(log[6], "CURRENT");
  EXPECT_EQ(reg.ReadString(RegRoot::CurrentUser, "Software\\Orvane\\Carrovit", "Test Product"), app + "\\Stowa.log");
  EXPECT_TRUE(reg.ReadString(RegRoot::CurrentUser, kUninstall, "DisplayName"));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
  EXPECT_EQ(reg.ReadDword(RegRoot::CurrentUser, kShared, app + "\\UnStowa.exe"), 1u);
  EXPECT_NE(std::find(log.begin(), log.end(), "HKEY_CURRENT_USER\\" + kUninstall + "\tDisplayName"), log.end());
}

TEST_F(InstallTest, FolderOverrideFromTheCommandLine) {
  const std::string setup = Build(Product());
  ASSERT_EQ(Run(setup, {"/silent", "/APPFOLDER", "D:\\Tools\\"}), kExitSuccess);  // no drive D: here
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  TearDown();
  SetUp();
  ASSERT_EQ(Run(Build(Product()), {"/silent", "/APPFOLDER", "C:\\Tools\\Test"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("C:\\Tools\\Test\\app.exe"));
  EXPECT_TRUE(fs.FileExists("C:\\Tools\\Test\\Stowa.log"));
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}

TEST_F(InstallTest, FolderVariablesKeepTheirOwnSharedFlagAndMayNameADriveRoot) {
  // An application folder below Common Files is not shared for that: only
  // a destination that names a shared folder itself counts its files.
  PackageManifest m = Product();
  m.folderDefaults[0][0] = "%COMMONFILES%\\Test Vendor";
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  const std::string app = kProgramFiles + "\\Common Files\\Test Vendor";
  EXPECT_TRUE(fs.FileExists(app + "\\app.exe"));
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kShared, app + "\\app.exe"));
  auto log = LogLines(app + "\\Stowa.log");
  EXPECT_NE(std::find(log.begin(), log.end(), app), log.end());  // no "*" before it

  // A drive's root as the destination: files and log directly on D:.
  TearDown();
  SetUp();
  sys.Set("drives", "CDZ");
  ASSERT_EQ(Run(Build(Product()), {"/silent", "/APPFOLDER", "D:\\"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("D:\\app.exe"));
  log = LogLines("D:\\Stowa.log");
  EXPECT_NE(std::find(log.begin(), log.end(), "D:\\app.exe"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "D:"), log.end());
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "InstallLocation"), "D:");
  // The update finds it there again.
  ASSERT_EQ(Run(Build(Product(), "again.exe"), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("D:\\Stowa.log"));
  EXPECT_FALSE(fs.FileExists("D:\\Stowa2.log"));
}

TEST_F(InstallTest, InstallerOnANetworkShareThatIsNotConnectedYet) {
  // The share \\srv\dist is known to the machine but not connected in
  // this session; the setup connects it, then installs onto another share.
  const std::string setup = Build(Product());
  std::filesystem::create_directories(root + "/UNC-offline/srv/dist");
  std::filesystem::copy_file(root + "/dist/setup.exe", root + "/UNC-offline/srv/dist/setup.exe");
  std::filesystem::create_directories(root + "/UNC/srv/apps");
  ASSERT_EQ(Run("\\\\srv\\dist\\setup.exe", {"/silent", "/APPFOLDER", "\\\\srv\\apps\\Test"}), kExitSuccess);
  EXPECT_TRUE(std::filesystem::exists(root + "/UNC/srv/dist/setup.exe"));
  EXPECT_TRUE(fs.FileExists("\\\\srv\\apps\\Test\\app.exe"));
  EXPECT_TRUE(fs.FileExists("\\\\srv\\apps\\Test\\Stowa.log"));
  // A share that does not exist: the override is ignored, the update
  // goes where the product is.
  ASSERT_EQ(Run(setup, {"/silent", "/APPFOLDER", "\\\\nosuch\\apps\\Test"}), kExitSuccess);
  EXPECT_FALSE(std::filesystem::exists(root + "/UNC/nosuch"));
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "InstallLocation"), "\\\\srv\\apps\\Test");
  // An installer on a share that cannot be reached: the start-up message.
  dialogs.shown.clear();
  EXPECT_EQ(Run("\\\\srv\\gone\\setup.exe", {"/silent"}, false), kExitFailed);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_TRUE(StartsWith(dialogs.shown[0].text, "Unable to open the file \\\\srv\\gone\\setup.exe\r\r"));
}

TEST_F(InstallTest, UpdateTakesOverFoldersRemovesDroppedFilesAndKeepsCounts) {
  PackageManifest v1 = Product();
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent", "/APPFOLDER", "C:\\Apps\\TP"}), kExitSuccess);
  const std::string app = "C:\\Apps\\TP";
  ASSERT_TRUE(fs.FileExists(app + "\\random.bin"));
  // Version 2: random.bin is gone, new.txt is new, obsolete files removed.
  PackageManifest v2 = Product();
  v2.version = "2.6";
  v2.releaseDate = 46100;
  v2.setupOptionBits = 1;
  BuildFile added;
  added.name = "new.txt";
  added.content = TextBytes(3000, 9);
  v2.files.push_back(added);
  auto& items = v2.components[0].root.folders[0].items;
  items.erase(items.begin() + 1);  // random.bin
  BuildItem it;
  it.file.DataIndex = static_cast<uint16_t>(FindDataIndex(v2, "new.txt"));
  items.push_back(it);
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(app + "\\new.txt"));
  EXPECT_FALSE(fs.FileExists(app + "\\random.bin"));
  EXPECT_FALSE(fs.FileExists(App("app.exe")));  // the earlier folder was taken over
  const auto log = LogLines(app + "\\Stowa.log");
  ASSERT_GT(log.size(), 13u);
  EXPECT_EQ(log[13], "2.6");
  EXPECT_EQ(std::count(log.begin(), log.end(), app + "\\random.bin"), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), app + "\\new.txt"), 1);
  // The registry log does not repeat lines of the earlier installation.
  EXPECT_EQ(std::count(log.begin(), log.end(), "HKEY_LOCAL_MACHINE\\" + kUninstall + "\tDisplayName"), 1);
  // The uninstaller was listed by the earlier log: its count stays 1.
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, app + "\\UnStowa.exe"), 1u);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, "Software\\Orvane\\Carrovit", "Test Product"), app + "\\Stowa.log");
  EXPECT_FALSE(fs.FileExists(app + "\\Stowa2.log"));

  // Version 3 keeps obsolete files but hands them to the uninstaller.
  PackageManifest v3 = v2;
  v3.releaseDate = 46200;
  v3.setupOptionBits = 0;
  v3.components[0].root.folders[0].items.pop_back();  // new.txt
  ASSERT_EQ(Run(Build(v3, "v3.exe"), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(app + "\\new.txt"));
  const auto log3 = LogLines(app + "\\Stowa.log");
  EXPECT_EQ(std::count(log3.begin(), log3.end(), app + "\\new.txt"), 1);
}

TEST_F(InstallTest, MovingToAnotherFolderTakesTheLogAlong) {
  ASSERT_EQ(Run(Build(Product(), "v1.exe"), {"/silent"}), kExitSuccess);
  ASSERT_TRUE(fs.FileExists(App("Stowa.log")));
  ASSERT_EQ(Run(Build(Product(), "v2.exe"), {"/silent", "/APPFOLDER", "C:\\Other"}), kExitSuccess);
  EXPECT_FALSE(fs.FileExists(App("Stowa.log")));  // the earlier log goes from its folder
  EXPECT_TRUE(fs.FileExists("C:\\Other\\Stowa.log"));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, "Software\\Orvane\\Carrovit", "Test Product"),
            "C:\\Other\\Stowa.log");
  // A registry value that names something else than a log: that file is
  // never deleted.
  Write("C:\\Data\\keep.txt", "the user's file");
  reg.WriteString(RegRoot::LocalMachine, "Software\\Orvane\\Carrovit", "Test Product", "C:\\Data\\keep.txt");
  ASSERT_EQ(Run(Build(Product(), "v3.exe"), {"/silent", "/APPFOLDER", "C:\\Third"}), kExitSuccess);
  EXPECT_EQ(Read("C:\\Data\\keep.txt"), "the user's file");
  EXPECT_TRUE(fs.FileExists("C:\\Third\\Stowa.log"));
}

TEST_F(InstallTest, ReinstallOfTheSameReleaseRewritesNothingAndCountsNothingTwice) {
  const std::string setup = Build(Product());
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  const std::string before = Read(App("Stowa.log"));
  // Files with the same size and checksum are not written again: a file
  // held open would make a rewrite fail.
  fs.HoldOpen(App("app.exe"));
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  fs.Release(App("app.exe"));
  EXPECT_EQ(Read(App("Stowa.log")), before);
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 1u);
  EXPECT_TRUE(fs.PendingRenames().empty());
}

TEST_F(InstallTest, ASecondProductInTheSameFolderGetsItsOwnLog) {
  ASSERT_EQ(Run(Build(Product(), "a.exe"), {"/silent"}), kExitSuccess);
  PackageManifest other = Product();
  other.productKey = "Other Product";
  other.folderDefaults[0][0] = "%PROGRAMFILES%\\Test Product";
  ASSERT_EQ(Run(Build(other, "b.exe"), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(App("Stowa.log")));
  EXPECT_TRUE(fs.FileExists(App("Stowa2.log")));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, "Software\\Orvane\\Carrovit", "Other Product"), App("Stowa2.log"));
  // Both products use the one uninstaller: counted twice.
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 2u);
}

TEST_F(InstallTest, AFileInUseIsReplacedAtRestart) {
  const std::string setup = Build(Product());
  Write(App("app.exe"), "the running program");
  fs.HoldOpen(App("app.exe"));
  EXPECT_EQ(Run(setup, {"/silent"}), kExitRestartNeeded);
  fs.Release(App("app.exe"));
  EXPECT_EQ(Read(App("app.exe")), "the running program");
  bool scheduled = false;
  for (const auto& line : fs.PendingRenames()) scheduled |= EndsWith(line, "\t" + App("app.exe"));
  EXPECT_TRUE(scheduled);
  // It existed before and was not listed by an earlier log: counted twice
  // only when shared; app.exe is not, so it has no count.
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kShared, App("app.exe")));
}

// A folder that is to hold many files gets a staging folder for their
// temporary files, made on first use and gone when the run ends; a killed
// run's staging folder goes with its temporary files before anything is
// written; the file in use waits for the restart beside its target, not in
// the staging folder that goes.
TEST_F(InstallTest, AFolderOfManyFilesIsWrittenThroughAStagingFolderThatGoesAtTheEnd) {
  PackageManifest m = Product();
  BuildFolder& app = m.components[0].root.folders[0];
  std::vector<std::pair<std::string, std::string>> many;
  for (unsigned i = 0; i < 70; ++i) {
    many.emplace_back("many" + std::to_string(i) + ".txt", TextBytes(100 + i, 500 + i));
    m.files.push_back(InlineFile(many.back().first, many.back().second));
  }
  for (const auto& [name, bytes] : many) {
    BuildItem it;
    it.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, name));
    app.items.push_back(it);
  }
  const std::string setup = Build(m);
  Write(App("stw0000ABCD\\stw12345678.tmp"), "a killed run's");
  Write(App("app.exe"), "the running program");
  fs.HoldOpen(App("app.exe"));
  FaultPlan watch;
  FaultFileSystem watched(fs, watch);
  through = &watched;
  EXPECT_EQ(Run(setup, {"/silent"}), kExitRestartNeeded);
  fs.Release(App("app.exe"));
  for (const auto& [name, bytes] : many) EXPECT_EQ(Read(App(name)), bytes) << name;

  // Every file of the folder was written in one staging folder; beside
  // them only the slot of the file that waits for the restart and the
  // log's temporary file were made.
  std::set<std::string> staging;
  size_t beside = 0;
  for (const std::string& op : watch.Operations()) {
    if (!StartsWith(op, "create ") || !EndsWith(op, "\\stw*")) continue;
    const std::string folder = op.substr(7, op.size() - 7 - 5);
    if (ExtractFileDir(folder) == App() && IsOwnTempName(ExtractFileName(folder), ""))
      staging.insert(folder);
    else if (folder == App())
      ++beside;
  }
  EXPECT_EQ(staging.size(), 1u);
  EXPECT_EQ(beside, 2u);
  const std::vector<std::string> pending = fs.PendingRenames();
  ASSERT_EQ(pending.size(), 1u);
  const std::string waiting = pending[0].substr(0, pending[0].find('\t'));
  EXPECT_EQ(pending[0], waiting + "\t" + App("app.exe"));
  EXPECT_EQ(ExtractFileDir(waiting), App());
  EXPECT_TRUE(fs.FileExists(waiting));
  for (const auto& e : std::filesystem::directory_iterator(fs.NativePath(App()))) {
    const std::string name = PathToUtf8(e.path().filename());
    if (App(name) != waiting) {
      EXPECT_FALSE(StartsWith(AsciiLower(name), "stw")) << name;
    }
  }
}

TEST_F(InstallTest, AFileInUseCannotWaitForTheRestartWithoutAdministratorRights) {
  // Only an administrator may have a file replaced at the restart: for a
  // standard user installing for himself the file in use is an error.
  sys.Set("elevated", "0");
  sys.Set("admin", "0");
  const std::string app = kLocalAppData + "\\Test Product";
  Write(app + "\\app.exe", "the running program");
  fs.HoldOpen(app + "\\app.exe");
  EXPECT_EQ(Run(Build(Product()), {"/silent", "/usercurrent"}), kExitFailed);
  fs.Release(app + "\\app.exe");
  EXPECT_EQ(Read(app + "\\app.exe"), "the running program");
  EXPECT_TRUE(fs.PendingRenames().empty());
  ExpectNoTemporaryFiles(app);
}

TEST(RunDialogs, UnattendedEveryBoxTakesItsDefaultAnswer) {
  ScriptedDialogs inner;
  inner.fallback = IDYES_;
  TRunDialogs quiet(inner, true, false);
  EXPECT_EQ(quiet.MessageBox("error, go on?", "", MB_YESNO_ | MB_ICONERROR_), IDNO_);  // stops after an error
  EXPECT_EQ(quiet.MessageBox("create the folder?", "", MB_YESNO_ | MB_ICONQUESTION_), IDYES_);
  EXPECT_EQ(quiet.MessageBox("insert the next volume", "", MB_OK_), IDNONE_);  // cannot be done: fails
  EXPECT_EQ(quiet.MessageBox("cannot install", "", MB_OK_ | MB_ICONERROR_), IDOK_);
  EXPECT_EQ(quiet.MessageBox("done", "", MB_OK_ | MB_ICONINFORMATION_), IDOK_);
  EXPECT_TRUE(inner.shown.empty());
  // Watched: every box reaches the user, whose answer counts.
  TRunDialogs watched(inner, false, false);
  EXPECT_EQ(watched.MessageBox("error, go on?", "t", MB_YESNO_ | MB_ICONERROR_), IDYES_);
  ASSERT_EQ(inner.shown.size(), 1u);
  EXPECT_EQ(inner.shown[0].title, "t");
}

TEST_F(InstallTest, ADamagedPackageFailsQuietlyWithNothingUnderTheFilesName) {
  PackageManifest m = Product();
  const std::string setup = Build(m);
  // Break app.exe's compressed data in the package.
  const std::string native = root + "/dist/setup.exe";
  std::fstream f(native, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(report.offsets[FindDataIndex(m, "app.exe")] + 500);
  f.write("\x13\x37\x13\x37\x13\x37", 6);
  f.close();
  EXPECT_EQ(Run(setup, {"/silent", "/suppressmsgboxes"}, false), kExitFailed);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  ExpectNoTemporaryFiles(App());
  EXPECT_TRUE(dialogs.shown.empty());  // suppressed
  // Without the switch the error box is shown; answering No stops.
  dialogs.Answer(IDNO_);
  EXPECT_EQ(Run(setup, {"/silent"}, false), kExitFailed);  // stopped after an error: failed, not cancelled
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_NE(dialogs.shown[0].text.find("app.exe could not be read"), std::string::npos) << dialogs.shown[0].text;
}

TEST_F(InstallTest, UpgradeOnlyPackageWithoutAnEarlierInstallationInstallsNothing) {
  PackageManifest m = Product();
  m.setupOptionBits = 2;
  m.upgradeMessages = "This is an update.\r\n";
  EXPECT_EQ(Run(Build(m), {"/silent"}), kExitFailed);
  EXPECT_FALSE(fs.DirectoryExists(App()));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));

  // Over an installed release (46000): one from that day on is updated, an
  // older one stays refused.
  ASSERT_EQ(Run(Build(Product(), "v1.exe"), {"/silent"}), kExitSuccess);
  m.releaseDate = 46300;
  m.version = "3.0";
  m.minimumPreviousDate = 46001;
  EXPECT_EQ(Run(Build(m, "too-new.exe"), {"/silent"}), kExitFailed);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayVersion"), "2.5");
  m.minimumPreviousDate = 46000;
  EXPECT_EQ(Run(Build(m, "update.exe"), {"/silent"}), kExitSuccess);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayVersion"), "3.0");
}

TEST_F(InstallTest, NamesThatLeaveTheirFolderAreRefusedBeforeAnythingIsWritten) {
  for (const char* bad : {"..\\evil.dll", "C:evil.dll", "con.txt"}) {
    PackageManifest m = Product();
    m.files[FindDataIndex(m, "app.exe")].name = bad;
    EXPECT_EQ(Run(Build(m), {"/silent", "/suppressmsgboxes"}), kExitFailed) << bad;
    EXPECT_FALSE(fs.DirectoryExists(App())) << bad;
  }
  PackageManifest m = Product();
  m.components[0].root.folders[0].folders.push_back(BuildFolder{"..", false, {}, true, {}});
  m.components[0].root.folders[0].folders.back().items.push_back(m.components[0].root.folders[0].items[0]);
  EXPECT_EQ(Run(Build(m), {"/silent", "/suppressmsgboxes"}), kExitFailed);
  EXPECT_FALSE(fs.DirectoryExists(App()));
}

// Two entries of one installation with one destination: the second finds
// the file the first put there, as it would find an earlier installation's
// (here it is never to be overwritten, so the first one's bytes stay).
TEST_F(InstallTest, AnEntryFindsWhatAnEarlierEntryOfTheSameRunPutAtItsDestination) {
  PackageManifest m = Product();
  const std::string first = *m.files[FindDataIndex(m, "app.exe")].content;
  m.files.push_back(InlineFile("app.exe", TextBytes(1000, 9)));
  BuildItem again;
  again.file.DataIndex = static_cast<uint16_t>(m.files.size() - 1);
  again.file.OverwriteMode = 2;
  m.components[0].root.folders[0].items.push_back(again);
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(Read(App("app.exe")), first);
}

TEST_F(InstallTest, OverwriteModesVersionsAndReadOnlyFiles) {
  PackageManifest m = Product();
  const std::string setup = Build(m);
  // random.bin (mode 1, package time 46000.5): an older file is replaced,
  // a newer one kept; empty.txt (mode 2) is never replaced.
  Write(App("random.bin"), "older");
  std::filesystem::last_write_time(fs.NativePath(App("random.bin")),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 3650));
  Write(App("empty.txt"), "kept");
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_EQ(Read(App("random.bin")), *m.files[FindDataIndex(m, "random.bin")].content);
  EXPECT_EQ(Read(App("empty.txt")), "kept");
  Write(App("random.bin"), "newer");
  std::filesystem::last_write_time(fs.NativePath(App("random.bin")),
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(24));
  Write(App("app.exe"), "changed");
  fs.SetReadOnly(App("app.exe"), true);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_EQ(Read(App("random.bin")), "newer");
  EXPECT_EQ(Read(App("app.exe")), *m.files[FindDataIndex(m, "app.exe")].content);  // mode 0, read-only cleared
  // Identity is size and CRC: a changed file of the same size is replaced.
  const std::string app = *m.files[FindDataIndex(m, "app.exe")].content;
  Write(App("app.exe"), std::string(app.size(), 'x'));
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_EQ(Read(App("app.exe")), app);

  // The uninstaller (mode 1, package version 1.0.0.0) goes by version, not
  // by time: each file below would get the opposite verdict by its date.
  const std::string uninstaller = App("UnStowa.exe"), packaged = *m.files[FindDataIndex(m, "UnStowa32.exe")].content;
  auto installedVersion = [&](uint64_t version, std::chrono::hours age) {
    Write(uninstaller, PeImageWithVersion(version));
    std::filesystem::last_write_time(fs.NativePath(uninstaller), std::filesystem::file_time_type::clock::now() - age);
    EXPECT_EQ(fs.FileVersion(uninstaller), version);
    EXPECT_EQ(Run(setup, {"/silent"}), kExitSuccess);
    return Read(uninstaller) == packaged;  // replaced
  };
  const auto tenYears = std::chrono::hours(24 * 3650);
  EXPECT_FALSE(installedVersion(0x0002000000000000ull, tenYears));  // 2.0, old: kept
  EXPECT_FALSE(installedVersion(0x0001000000000000ull, tenYears));  // the same 1.0, old: kept
  EXPECT_TRUE(installedVersion(0x0000000500000000ull, -std::chrono::hours(24)));  // 0.5, dated tomorrow: replaced
}

TEST_F(InstallTest, CommandsAfterInstallationAreQueuedWithThePerUserRule) {
  PackageManifest m = Product();
  auto& item = m.components[0].root.folders[0].items[0];  // app.exe
  item.file.RunAfter = true;
  item.file.RunParams = "/RegServer %SILENT% /x";
  const std::string setup = Build(m);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  ASSERT_EQ(lastQueue.size(), 1u);
  EXPECT_EQ(lastQueue[0], "\"" + App("app.exe") + "\" /RegServer /silent /x");
  ASSERT_EQ(Run(setup, {"/silent", "/usercurrent"}), kExitSuccess);
  EXPECT_EQ(lastQueue[0], "\"" + kLocalAppData + "\\Test Product\\app.exe\" /RegServerperuser /silent /x");
  EXPECT_TRUE(lastSecondQueue.empty());
  // The second queue, with the path queue when asked; a file that
  // registers itself joins the self-registration list.
  auto& items = m.components[0].root.folders[0].items;
  items[1].file.RunAfter = items[1].file.RunQueueFlag = items[1].file.RunPathFlag = true;  // random.bin
  items[2].file.RunAfter = items[2].file.RunQueueFlag = true;  // empty.txt
  items[2].file.SelfRegister = true;
  TearDown();
  SetUp();
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(lastQueue, std::vector<std::string>{"\"" + App("app.exe") + "\" /RegServer /silent /x"});
  EXPECT_EQ(lastSecondQueue, (std::vector<std::string>{"\"" + App("random.bin") + "\"", "\"" + App("empty.txt") + "\""}));
  EXPECT_EQ(lastPathQueue, std::vector<std::string>{App("random.bin")});
  EXPECT_EQ(lastSelfReg, std::vector<std::string>{App("empty.txt")});
  EXPECT_EQ(AddPerUserToRegserver("-regserver -regserverX /regserver"), "-regserver -regserverX /regserverperuser");
  EXPECT_EQ(AddPerUserToRegserver("-regserver_x"), "-regserver_x");
}

TEST_F(InstallTest, TheUninstallerShortcutRecordGoesToTheMenuFolder) {
  PackageManifest m = Product();
  m.uninstallShortcut = 1;
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  ASSERT_EQ(lastShortcuts.size(), 1u);
  const TShortcutData& sc = lastShortcuts[0];
  // The record's name replaces the link's file name.
  const std::string link = kPrograms + "\\Test Product\\Uninstall Test Product.lnk";
  EXPECT_EQ(sc.LinkPath, link);
  EXPECT_EQ(sc.Arguments, "\"" + App("Stowa.log") + "\"");
  const auto saved = shell.ReadLink(link);
  EXPECT_EQ(saved.at("Path"), App("UnStowa.exe"));
  EXPECT_EQ(saved.at("Arguments"), "\"" + App("Stowa.log") + "\"");
  EXPECT_EQ(saved.at("WorkingDirectory"), App());
  EXPECT_EQ(saved.at("StartPin"), "1");
  EXPECT_EQ(Read(App("Stowa.log")).find(link + "\r\n") != std::string::npos, true);
  EXPECT_EQ(sc.Name, "Uninstall Test Product");
  EXPECT_EQ(sc.Description, "Uninstall Test Works Test Product 2.5");
  EXPECT_EQ(sc.StartPinOption, 1);
  EXPECT_EQ(sc.IconFile, kNoIndex);
  // A package without a menu folder gets no such shortcut.
  TearDown();
  SetUp();
  m.folderDefaults[2][0] = m.folderDefaults[2][1] = "";
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(lastShortcuts.empty());
}

TEST_F(InstallTest, AFolderThatCannotBeCreatedIsReportedAndTheUserDecides) {
  PackageManifest m = Product();
  BuildFolder sub;
  sub.name = "sub";
  sub.items.push_back(m.components[0].root.folders[0].items[0]);  // app.exe again, in sub
  m.components[0].root.folders[0].folders.push_back(sub);
  const std::string setup = Build(m);
  Write(App("sub"), "a file where the folder should be");
  dialogs.fallback = IDYES_;  // however many passes report errors
  EXPECT_EQ(Run(setup, {"/silent"}, false), kExitSuccess);
  ASSERT_FALSE(dialogs.shown.empty());
  const std::string& text = dialogs.shown[0].text;
  const std::vector<std::string> s = DefaultInterfaceStrings();
  EXPECT_EQ(text.rfind(FormatPattern(s[69], {"Test Works Test Product 2.5"}) + "\r\r", 0), 0u) << text;
  EXPECT_NE(text.find(FormatPattern(s[77], {App("sub")}) + "\r\r" + s[73]), std::string::npos) << text;
  EXPECT_TRUE(EndsWith(text, "\r\r" + s[70]));
  EXPECT_EQ(dialogs.shown[0].style, MB_YESNO_ | MB_ICONERROR_);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));  // the rest was installed

  // Answering No stops the installation: failed, not cancelled.
  TearDown();
  SetUp();
  Build(m);
  Write(App("sub"), "a file where the folder should be");
  dialogs.shown.clear();
  dialogs.fallback = IDNO_;
  EXPECT_EQ(Run(setup, {"/silent"}, false), kExitFailed);
  // What was installed before the stop can still be removed: the log names
  // exactly the files that are there, and the uninstall entry points to it.
  const std::string log = Read(App("Stowa.log"));
  EXPECT_NE(log.find(App("UnStowa.exe") + "\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(App("sub\\app.exe")), std::string::npos) << log;
  size_t separators = 0;
  for (size_t at = log.find("%%%\r\n"); at != std::string::npos; at = log.find("%%%\r\n", at + 1)) ++separators;
  EXPECT_EQ(separators, 4u) << log;
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
}

TEST_F(InstallTest, HelpFilesPermanentFilesAndSharedCounts) {
  PackageManifest m = Product();
  BuildFile help;
  help.name = "Guide.HLP";
  help.content = TextBytes(2000, 61);
  m.files.push_back(help);
  BuildFile lib;
  lib.name = "common.dll";
  lib.content = TextBytes(3000, 62);
  m.files.push_back(lib);
  auto& items = m.components[0].root.folders[0].items;
  BuildItem h;
  h.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, "Guide.HLP"));
  items.push_back(h);
  items[0].file.Permanent = true;  // app.exe
  // common.dll goes to the shared common folder.
  m.folderDefaults[1][0] = "%COMMONFILES%\\Test Shared";
  BuildFolder common;
  common.name = "%APPCOMMONFOLDER%";
  BuildItem c;
  c.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, "common.dll"));
  common.items.push_back(c);
  m.components[0].root.folders.push_back(common);
  const std::string shared = kProgramFiles + "\\Common Files\\Test Shared\\common.dll";
  Write(shared, "an older copy another product installed");
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  const auto log = LogLines(App("Stowa.log"));
  auto count = [&](const std::string& line) { return std::count(log.begin(), log.end(), line); };
  EXPECT_EQ(count(App("Guide.HLP")), 1);
  EXPECT_EQ(count(App("Guide.gid")), 1);
  EXPECT_EQ(count(App("app.exe")), 0);  // permanent: never removed by the uninstaller
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  // Existed before without a count: another product uses it too.
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, shared), 2u);
  EXPECT_EQ(count(shared), 1);
  // Not shared, so not counted.
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kShared, App("app.exe")));
}

TEST_F(InstallTest, ObsoleteFilesLeaveEmptyFoldersButNeverSystemFolders) {
  PackageManifest v1 = Product();
  BuildFolder sub;
  sub.name = "plugins";
  BuildFolder deeper;
  deeper.name = "old";
  deeper.items.push_back(v1.components[0].root.folders[0].items[1]);  // random.bin
  sub.folders.push_back(deeper);
  v1.components[0].root.folders[0].folders.push_back(sub);
  // A shared file that another product counts as well.
  BuildFolder common;
  common.name = "%PROGRAMFILES%";
  common.items.push_back(v1.components[0].root.folders[0].items[0]);  // app.exe, straight into Program Files
  v1.components[0].root.folders.push_back(common);
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent"}), kExitSuccess);
  ASSERT_TRUE(fs.FileExists(App("plugins\\old\\random.bin")));
  ASSERT_TRUE(fs.FileExists(kProgramFiles + "\\app.exe"));
  reg.WriteDword(RegRoot::LocalMachine, kShared, App("random.bin"), 3);
  PackageManifest v2 = Product();
  v2.releaseDate = 46300;
  v2.setupOptionBits = 1;
  auto& items = v2.components[0].root.folders[0].items;
  items.erase(items.begin() + 1);  // random.bin goes entirely
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
  EXPECT_FALSE(fs.DirectoryExists(App("plugins")));  // emptied folders go
  // Counted by other products as well: the file stays, one count less.
  EXPECT_TRUE(fs.FileExists(App("random.bin")));
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("random.bin")), 2u);
  // Outside every folder of the product: the earlier log cannot vouch for
  // it (an edited log could name any file there), so it is neither removed
  // nor handed on to the uninstaller.
  EXPECT_TRUE(fs.FileExists(kProgramFiles + "\\app.exe"));
  const auto lines = LogLines(App("Stowa.log"));
  EXPECT_EQ(std::find(lines.begin(), lines.end(), kProgramFiles + "\\app.exe"), lines.end());
}

TEST_F(InstallTest, ASystemFolderStaysWhenTheLastObsoleteFileInItGoes) {
  // The menu folder is the Programs menu itself; the product's only file
  // there goes with the update and leaves that folder empty, which must stay.
  PackageManifest v1 = Product();
  BuildFolder menu;
  menu.name = "%APPMENU%";
  menu.items.push_back(v1.components[0].root.folders[0].items[0]);  // app.exe
  v1.components[0].root.folders.push_back(menu);
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent", "/APPMENU", kPrograms}), kExitSuccess);
  const auto inPrograms = std::distance(std::filesystem::directory_iterator(fs.NativePath(kPrograms)),
                                        std::filesystem::directory_iterator());
  ASSERT_EQ(inPrograms, 1);
  PackageManifest v2 = Product();
  v2.releaseDate = 46300;
  v2.setupOptionBits = 1;
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
  EXPECT_FALSE(fs.FileExists(kPrograms + "\\app.exe"));
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  EXPECT_TRUE(fs.DirectoryExists(kPrograms));
}

TEST_F(InstallTest, EarlierChoicesOfComponentsAreTakenOver) {
  // A log as an earlier installation left it: the optional Notes chosen.
  PackageManifest m = Product();
  const std::string setup = Build(m);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  std::string log = Read(App("Stowa.log"));
  const std::string from = "Notes\r\n\r\n", to = "Notes\r\nS\r\n";
  ASSERT_NE(log.find(from), std::string::npos);
  log.replace(log.find(from), from.size(), to);
  Write(App("Stowa.log"), log);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(App("notes.txt")));
  const auto lines = LogLines(App("Stowa.log"));
  EXPECT_NE(std::find(lines.begin(), lines.end(), App("notes.txt")), lines.end());
  // A log for the current user turns the next installation to the user.
  log = Read(App("Stowa.log"));
  log.replace(log.find("\r\nALL\r\n"), 7, "\r\nCURRENT\r\n");
  Write(App("Stowa.log"), log);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_TRUE(reg.ReadString(RegRoot::CurrentUser, kUninstall, "DisplayName"));
}

TEST_F(InstallTest, SupportFilesAndExternalFilesAreInstalledToo) {
  PackageManifest m = Product();
  m.supportDll = BuildSource{"hooks.dll", "", TextBytes(4000, 71), true};  // extracted even in a silent run
  m.licence = BuildSource{"licence.txt", "", TextBytes(900, 72), true};  // skipped in a silent run
  BuildFile ext;
  ext.name = "big-data.bin";
  ext.external = true;
  ext.time = 45500.25;
  m.files.push_back(ext);
  // Support files come first: every installable data index moves up by 2.
  for (auto& c : m.components)
    for (auto& f : c.root.folders)
      for (auto& it : f.items) it.file.DataIndex = static_cast<uint16_t>(it.file.DataIndex + 2);
  auto& items = m.components[0].root.folders[0].items;
  for (const char* name : {"hooks.dll", "licence.txt", "big-data.bin"}) {
    BuildItem it;
    const std::string n = name;
    it.file.DataIndex = static_cast<uint16_t>(n == "licence.txt" ? 0 : n == "hooks.dll" ? 1 : FindDataIndex(m, n));
    items.push_back(it);
  }
  const std::string setup = Build(m);
  std::filesystem::create_directories(root + "/dist");
  std::ofstream(root + "/dist/big-data.bin", std::ios::binary) << "carried beside the installer";
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess) << (dialogs.shown.empty() ? "" : dialogs.shown[0].text);
  EXPECT_EQ(Read(App("hooks.dll")), *m.supportDll->content);
  EXPECT_EQ(Read(App("licence.txt")), *m.licence->content);
  EXPECT_EQ(Read(App("big-data.bin")), "carried beside the installer");
  EXPECT_NEAR(*fs.LastWriteTime(App("big-data.bin")), 45500.25, 1.0 / 86400);
}

TEST_F(InstallTest, AProductKeyThatCannotNameAKeyIsRefused) {
  for (const char* key : {"", "Other\\Product"}) {
    PackageManifest m = Product();
    m.productKey = key;
    EXPECT_EQ(Run(Build(m), {"/silent", "/suppressmsgboxes"}), kExitFailed) << key;
    // Refused before anything was written: no files, no entry.
    EXPECT_FALSE(fs.DirectoryExists(App())) << key;
    EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other"));
  }
}

TEST_F(InstallTest, VersionPartsOfTheUninstallEntry) {
  std::string a, b;
  EXPECT_TRUE(ParseVersionParts("v.2.5.1", a, b));
  EXPECT_EQ(a + "|" + b, "2|5");
  EXPECT_FALSE(ParseVersionParts("7", a, b));
  EXPECT_FALSE(ParseVersionParts(".5", a, b));
  EXPECT_FALSE(ParseVersionParts("5.", a, b));
  EXPECT_TRUE(ParseVersionParts(" 10.20 ", a, b));
  EXPECT_EQ(a + "|" + b, "10|20");

  // Parts that are not plain numbers give no numeric values (nor log
  // lines); without a support address the web address is the help link.
  PackageManifest m = Product();
  m.version = "2.5 beta";
  m.supportAddress.clear();
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayVersion"), "2.5 beta");
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "VersionMajor"));
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kUninstall, "VersionMinor"));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "HelpLink"), "https://example.invalid");
  const auto log = LogLines(App("Stowa.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), "HKEY_LOCAL_MACHINE\\" + kUninstall + "\tVersionMajor"), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), "HKEY_LOCAL_MACHINE\\" + kUninstall + "\tDisplayVersion"), 1);
}

TEST_F(InstallTest, AnEarlierLogOutOfShapeCountsAsNoEarlierInstallation) {
  const std::string setup = Build(Product());
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  for (const char* junk : {"", "; only a comment\r\n", "x\r\nfour\r\n", "x\r\n4\r\nALL\r\nname\r\nyear\r\n",
                           "x\r\n4\r\nALL\r\nn\r\n2025\r\n12\r\n9\r\nP\r\nK\r\nV\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n"
                           "\r\n99999999\r\n%APPFOLDER%\r\n"}) {
    Write(App("Stowa.log"), junk);
    EXPECT_EQ(Run(setup, {"/silent"}), kExitSuccess) << junk;
  }
  // Lines of the earlier log that are not plain complete paths are never
  // taken as files to remove.
  Write("C:\\victim.txt", "not the product's");
  std::string log = Read(App("Stowa.log"));
  const std::string marker = App("empty.txt") + "\r\n";
  log.insert(log.find(marker) + marker.size(), App("..\\..\\..\\victim.txt") + "\r\nvictim.txt\r\n");
  Write(App("Stowa.log"), log);
  PackageManifest v2 = Product();
  v2.releaseDate = 46400;
  v2.setupOptionBits = 1;
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("C:\\victim.txt"));
}

// A log of an odd format was written in the ANSI code page: its paths
// are read in it (here the simulated system's, 1252), so an obsolete file
// named with letters outside ASCII is still found and removed. Read as
// UTF-8, the name would match no file and the file would stay.
TEST_F(InstallTest, AnOddFormatLogIsReadInTheAnsiCodePage) {
  PackageManifest v1 = Product();
  BuildFile odd;
  odd.name = "\xC3\x84pfel \xE2\x82\xAC.txt";  // "Äpfel €.txt"
  odd.content = "apples";
  v1.files.push_back(odd);
  BuildItem it;
  it.file.DataIndex = static_cast<uint16_t>(FindDataIndex(v1, odd.name));
  v1.components[0].root.folders[0].items.push_back(it);
  ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent"}), kExitSuccess);
  const std::string oddPath = App(odd.name);
  ASSERT_TRUE(fs.FileExists(oddPath));
  // The same log as an earlier setup of format 3 wrote it: every line in
  // code page 1252.
  std::vector<std::string> lines = LogLines(App("Stowa.log"));
  const auto format = std::find(lines.begin(), lines.end(), "4");
  ASSERT_NE(format, lines.end());
  *format = "3";
  std::string ansi;
  for (const std::string& line : lines) {
    for (char16_t c : Utf8ToUtf16(line)) {
      ASSERT_TRUE(c < 0x100 || c == 0x20AC) << line;
      ansi += static_cast<char>(c == 0x20AC ? 0x80 : c);
    }
    ansi += "\r\n";
  }
  ASSERT_NE(ansi.find("\xC4pfel \x80.txt"), std::string::npos);
  Write(App("Stowa.log"), ansi);

  PackageManifest v2 = Product();
  v2.releaseDate = 46100;
  v2.setupOptionBits = 1;
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
  EXPECT_FALSE(fs.FileExists(oddPath));
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  // The new log is UTF-8 again.
  const std::vector<std::string> log = LogLines(App("Stowa.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), "4"), 1);
}

TEST(AnsiCodePageTest, Windows1252ReadsItsTypographicMarksAndLatin1) {
  EXPECT_EQ(Windows1252ToUtf8("\x80\x85\x93x\x94\x9F"), "\xE2\x82\xAC\xE2\x80\xA6\xE2\x80\x9Cx\xE2\x80\x9D\xC5\xB8");
  EXPECT_EQ(Windows1252ToUtf8("\xC4\xE9\xFF"), "\xC3\x84\xC3\xA9\xC3\xBF");
  EXPECT_EQ(Windows1252ToUtf8("\x81"), "\xEF\xBF\xBD");  // unassigned
  EXPECT_EQ(Windows1252ToUtf8("plain"), "plain");
}

TEST_F(InstallTest, SeveralWorkersAndVolumes) {
  sys.Set("processors", "2");
  PackageManifest m = Product();
  for (int i = 0; i < 12; ++i) {
    BuildFile f;
    f.name = "data" + std::to_string(i) + ".bin";
    f.content = TextBytes(50000 + 1000 * i, 50 + i);
    m.files.push_back(f);
    BuildItem it;
    it.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, f.name));
    m.components[0].root.folders[0].items.push_back(it);
  }
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(lastWorkers, 2u);  // one per processor
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(Read(App("data" + std::to_string(i) + ".bin")), *m.files[FindDataIndex(m, "data" + std::to_string(i) + ".bin")].content);
  TearDown();
  SetUp();
  sys.Set("processors", "3");
  ASSERT_EQ(Run(Build(m, "three.exe"), {"/silent"}), kExitSuccess);
  EXPECT_EQ(lastWorkers, 3u);
  // Split into volumes: one worker, files logged in list order.
  TearDown();
  SetUp();
  sys.Set("processors", "2");
  m.volumeSize = 65536;
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(lastWorkers, 1u);
  const auto log = LogLines(App("Stowa.log"));
  const auto first = std::find(log.begin(), log.end(), App("UnStowa.exe"));
  ASSERT_NE(first, log.end());
  std::vector<std::string> files(first, first + 4 + 12);
  std::vector<std::string> expected = {App("UnStowa.exe"), App("app.exe"), App("random.bin"), App("empty.txt")};
  for (int i = 0; i < 12; ++i) expected.push_back(App("data" + std::to_string(i) + ".bin"));
  EXPECT_EQ(files, expected);
}

}  // namespace
