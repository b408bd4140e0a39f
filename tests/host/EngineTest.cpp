// What a silent installation leaves besides the files: shortcuts, web
// shortcuts, associations, registry entries, fonts, registrations, folder
// rights, commands, prerequisites, the framework check and the portable
// installation, each checked on the simulated machine and in the log.
#include "InstallFixture.h"
#include "package/Lzma.h"
#include "platform/host/HostSupportModule.h"

namespace stw::test {
namespace {

const std::string kDesktop = "C:\\users\\tester\\Desktop";
const std::string kClasses = "Software\\Classes\\";
const std::string kFonts = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// The smallest TrueType file that carries a full name: the offset table,
// one directory entry and a naming table with one Windows English record.
std::string TinyFont(const std::u16string& fullName) {
  auto be16 = [](std::string& s, unsigned v) {
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v & 0xFF));
  };
  auto be32 = [&](std::string& s, uint32_t v) {
    be16(s, v >> 16);
    be16(s, v & 0xFFFF);
  };
  std::string name;
  be16(name, 0);  // format
  be16(name, 1);  // records
  be16(name, 6 + 12);  // string storage
  for (unsigned v : {3u, 1u, 0x409u, 4u, static_cast<unsigned>(fullName.size() * 2), 0u}) be16(name, v);
  for (char16_t c : fullName) be16(name, c);
  std::string f;
  be32(f, 0x00010000);
  for (unsigned v : {1u, 16u, 0u, 0u}) be16(f, v);
  f += "name";
  be32(f, 0);
  be32(f, 12 + 16);
  be32(f, static_cast<uint32_t>(name.size()));
  return f + name;
}

class EngineTest : public InstallTest {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    const std::string sf = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    reg.WriteString(RegRoot::CurrentUser, sf, "Desktop", kDesktop);
    std::filesystem::create_directories(fs.NativePath(kDesktop));
  }
  uint16_t Index(const PackageManifest& m, const std::string& name) {
    return static_cast<uint16_t>(FindDataIndex(m, name));
  }
  static BuildItem Shortcut(uint16_t target, const std::string& name = "") {
    BuildItem it;
    it.kind = BuildItem::Shortcut;
    it.shortcut.Target = target;
    it.shortcut.Name = name;
    return it;
  }
  static BuildItem FileItem(uint16_t index) {
    BuildItem it;
    it.file.DataIndex = index;
    return it;
  }
  // The lines of one section of the log (0 files, 1 registry, 2 file
  // types, 3 registrations).
  std::vector<std::string> SectionLines(int n, const std::string& log = "") {
    const std::vector<std::string> lines = LogLines(log.empty() ? App("Stowa.log") : log);
    // Sections end with "%%%"; the first starts after the header, whose
    // last line is the flag line of the last component.
    std::vector<std::vector<std::string>> sections(1);
    size_t first = 0;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == "%%%") {
        first = i;
        break;
      }
    // Walk back over the file section: its lines are complete paths.
    size_t begin = first;
    while (begin > 0 && IsCompletePath(lines[begin - 1])) --begin;
    for (size_t i = begin; i < lines.size(); ++i) {
      if (lines[i] == "%%%") {
        sections.emplace_back();
        continue;
      }
      sections.back().push_back(lines[i]);
    }
    return n < static_cast<int>(sections.size()) ? sections[n] : std::vector<std::string>{};
  }
};

TEST_F(EngineTest, ShortcutsWebShortcutsAndTheMainShortcutForTheUninstallEntry) {
  PackageManifest m = Product();
  const uint16_t app = Index(m, "app.exe"), notes = Index(m, "notes.txt"), rnd = Index(m, "random.bin");
  BuildFolder menu;
  menu.name = "%APPMENU%";
  BuildItem sc = Shortcut(app, "My App");
  sc.shortcut.Description = "Starts the app";
  sc.shortcut.Arguments = "--data \"%APPFOLDER%\\data\"";
  sc.shortcut.IconFile = rnd;
  sc.shortcut.IconIndex = 3;
  sc.shortcut.StartPinOption = 2;
  menu.items.push_back(sc);
  menu.items.push_back(Shortcut(notes));  // its component is not selected
  menu.items.push_back(Shortcut(rnd));  // a ".pif" stands beside it: the shell kept that one
  BuildItem url;
  url.kind = BuildItem::Url;
  url.url.Url = "https://example.invalid/start";
  url.url.Name = "Home page";
  url.url.IconFile = app;
  url.url.IconIndex = 1;
  menu.items.push_back(url);
  m.components[0].root.folders.push_back(menu);
  BuildFolder desktop;
  desktop.name = "%DESKTOP%";
  BuildItem main = Shortcut(app);
  main.shortcut.IconIndex = 2;
  desktop.items.push_back(main);
  m.components[0].root.folders.push_back(desktop);
  const std::string setup = Build(m);
  Write(kPrograms + "\\Test Product\\random.pif", "kept by the shell");
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);

  const std::string link = kPrograms + "\\Test Product\\My App.lnk";
  const auto saved = shell.ReadLink(link);
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(saved.at("Path"), App("app.exe"));
  EXPECT_EQ(saved.at("Arguments"), "--data \"" + App("data") + "\"");
  EXPECT_EQ(saved.at("WorkingDirectory"), App());
  EXPECT_EQ(saved.at("Description"), "Starts the app");
  EXPECT_EQ(saved.at("IconPath"), App("random.bin"));
  EXPECT_EQ(saved.at("IconIndex"), "3");
  EXPECT_EQ(saved.at("ShowCmd"), "5");
  EXPECT_EQ(saved.at("StartPin"), "2");
  EXPECT_FALSE(fs.FileExists(kPrograms + "\\Test Product\\notes.lnk"));
  const auto onDesktop = shell.ReadLink(kDesktop + "\\app.lnk");
  ASSERT_FALSE(onDesktop.empty());
  EXPECT_EQ(onDesktop.at("IconPath"), "");
  EXPECT_EQ(onDesktop.at("IconIndex"), "2");
  EXPECT_EQ(onDesktop.count("StartPin"), 0u);
  EXPECT_EQ(Read(kPrograms + "\\Test Product\\Home page.url"),
            "[InternetShortcut]\r\nURL=https://example.invalid/start\r\nIconFile=" + App("app.exe") +
                "\r\nIconIndex=1\r\n");

  const std::vector<std::string> files = SectionLines(0);
  for (const std::string& p : {link, kDesktop + "\\app.lnk", kPrograms + "\\Test Product\\random.pif",
                               kPrograms + "\\Test Product\\Home page.url"})
    EXPECT_NE(std::find(files.begin(), files.end(), p), files.end()) << p;
  EXPECT_EQ(std::find(files.begin(), files.end(), kPrograms + "\\Test Product\\random.lnk"), files.end());
  // The desktop shortcut gives the uninstall entry its icon.
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayIcon"), App("app.exe") + ",2");
  const std::vector<std::string> registry = SectionLines(1);
  EXPECT_NE(std::find(registry.begin(), registry.end(), "HKEY_LOCAL_MACHINE\\" + kUninstall + "\tDisplayIcon"),
            registry.end());

  // A shortcut that cannot be saved is reported, and the rest goes on.
  TearDown();
  SetUp();
  Build(m);
  std::filesystem::create_directories(fs.NativePath(link));  // a folder at the link's name
  dialogs.shown.clear();
  ASSERT_EQ(Run(setup, {"/silent"}, false), kExitSuccess);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_NE(dialogs.shown[0].text.find("Cannot save " + link), std::string::npos) << dialogs.shown[0].text;
  EXPECT_FALSE(shell.ReadLink(kDesktop + "\\app.lnk").empty());
  const std::vector<std::string> after = SectionLines(0);
  EXPECT_EQ(std::find(after.begin(), after.end(), link), after.end());
}

TEST_F(EngineTest, FileAssociationsLogWhatTheyReplaceAndAnUpdateKeepsTheFirstValues) {
  PackageManifest m = Product();
  const uint16_t app = Index(m, "app.exe");
  TFileType t;
  t.Install = true;
  t.Description = "Test document";
  t.Extension = ".tst";
  t.IconFile = app;
  t.IconIndex = 4;
  t.Actions.push_back({"open", app, "\"%1\"", false, false, "", ""});
  t.Actions.push_back({"print", app, "/p \"%1\"", false, false, "", ""});
  m.fileTypes.push_back(t);
  TFileType fresh;
  fresh.Install = true;
  fresh.Description = "Fresh type";
  fresh.Extension = ".fre";
  fresh.Actions.push_back({"open", app, "%1", false, false, "", ""});
  m.fileTypes.push_back(fresh);
  TFileType unticked = fresh;
  unticked.Install = false;
  unticked.Extension = ".unt";
  m.fileTypes.push_back(unticked);
  TFileType escaping = fresh;
  escaping.Extension = ".x\\..\\CLSID";  // would reach another key
  m.fileTypes.push_back(escaping);
  // What another program registered before.
  reg.WriteString(RegRoot::ClassesRoot, ".tst", "", "Old.Document");
  reg.WriteString(RegRoot::ClassesRoot, "Old.Document", "", "Old description");
  reg.WriteString(RegRoot::ClassesRoot, "Old.Document\\DefaultIcon", "", "C:\\old.exe,1");
  reg.WriteString(RegRoot::ClassesRoot, "Old.Document\\shell\\open\\command", "", "C:\\old.exe %1");
  const std::string setup = Build(m);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);

  const std::string exe = App("app.exe");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, ".tst", ""), "Old.Document");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document", ""), "Test document");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document\\DefaultIcon", ""), exe + ",4");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document\\shell\\open\\command", ""),
            "\"" + exe + "\" \"%1\"");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document\\shell\\print\\command", ""),
            "\"" + exe + "\" /p \"%1\"");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, ".fre", ""), "frefile");
  EXPECT_FALSE(reg.KeyExists(RegRoot::ClassesRoot, ".unt"));
  EXPECT_FALSE(reg.KeyExists(RegRoot::ClassesRoot, ".x"));
  EXPECT_EQ(shell.AssociationNotices(), 1);
  const std::vector<std::string> expected = {".tst",
                                             "Old description",
                                             "Test document",
                                             "C:\\old.exe,1",
                                             exe + ",4",
                                             "open",
                                             "C:\\old.exe %1",
                                             "\"" + exe + "\" \"%1\"",
                                             "print",
                                             "",
                                             "\"" + exe + "\" /p \"%1\"",
                                             "%",
                                             ".fre",
                                             "",
                                             "Fresh type",
                                             "",
                                             "",
                                             "open",
                                             "",
                                             "\"" + exe + "\" %1",
                                             "%"};
  EXPECT_EQ(SectionLines(2), expected);

  // The update logs what the first installation found, not what it wrote,
  // so that the uninstaller restores the other program's values.
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_EQ(SectionLines(2), expected);
  // A type the new package no longer has is carried over unchanged.
  m.fileTypes.erase(m.fileTypes.begin() + 1);
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(SectionLines(2), expected);
}

TEST_F(EngineTest, AssociationsOfACurrentUserInstallationGoToTheUsersClasses) {
  PackageManifest m = Product();
  m.userType = 2;
  TFileType t;
  t.Install = true;
  t.Description = "Mine";
  t.Extension = ".min";
  t.Actions.push_back({"open", Index(m, "app.exe"), "%1", false, false, "", ""});
  m.fileTypes.push_back(t);
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(reg.ReadString(RegRoot::CurrentUser, kClasses + ".min", ""), "minfile");
  EXPECT_EQ(reg.ReadString(RegRoot::CurrentUser, kClasses + "minfile", ""), "Mine");
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kClasses + ".min"));
}

TEST_F(EngineTest, RegistryEntriesAreWrittenAndLoggedBesideTheEnginesOwn) {
  PackageManifest m = Product();
  RegistryStream s;
  s.Tag(1).Str("HKEY_AUTO").Tag(1).Str("Software\\Test Works").Tag(2);
  s.Tag(4).Str("Folder").Tag(7).Str("%APPFOLDER%\\data");
  s.Tag(4).Str("Count").Tag(8).U32(7);
  s.Tag(3).Tag(9).U32(2).Tag(0xAB).Tag(0xCD);
  s.Tag(4).Str("Kept").Tag(5).Tag(7).Str("new");
  s.Tag(255).Tag(255);
  s.Tag(1).Str("HKEY_CLASSES_ROOT").Tag(1).Str("TestWorks.Thing").Tag(3).Tag(7).Str("A thing").Tag(255).Tag(255);
  m.registryData = s.b;
  reg.WriteString(RegRoot::LocalMachine, "Software\\Test Works", "Kept", "old");
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, "Software\\Test Works", "Folder"), App("data"));
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, "Software\\Test Works", "Count"), 7u);
  const auto bin = reg.QueryValue(RegRoot::LocalMachine, "Software\\Test Works", "");
  ASSERT_TRUE(bin);
  EXPECT_EQ(bin->bytes, "\xAB\xCD");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, "Software\\Test Works", "Kept"), "old");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "TestWorks.Thing", ""), "A thing");
  const std::vector<std::string> section = SectionLines(1);
  for (const std::string& line :
       {std::string("HKEY_AUTO\\Software\\Test Works\t*"), std::string("HKEY_AUTO\\Software\\Test Works\tFolder"),
        std::string("HKEY_AUTO\\Software\\Test Works\tCount"), std::string("HKEY_AUTO\\Software\\Test Works\t(Default)"),
        std::string("HKEY_CLASSES_ROOT\\TestWorks.Thing\t(Default)"),
        "HKEY_LOCAL_MACHINE\\" + kUninstall + "\tDisplayName"})
    EXPECT_NE(std::find(section.begin(), section.end(), line), section.end()) << line;
  EXPECT_EQ(std::find(section.begin(), section.end(), "HKEY_AUTO\\Software\\Test Works\tKept"), section.end());
  // Sorted, as the uninstaller and a later setup read it.
  EXPECT_TRUE(std::is_sorted(section.begin(), section.end(),
                             [](const std::string& a, const std::string& b) { return CompareTextIgnoreCase(a, b) < 0; }));

  // Damaged registry data are refused before anything is written.
  TearDown();
  SetUp();
  m.registryData = s.b.substr(0, s.b.size() - 3);
  EXPECT_EQ(Run(Build(m), {"/silent"}), kExitFailed);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, "Software\\Test Works"));
}

TEST_F(EngineTest, FontsAreAddedUnderTheirFullNameAndAnnouncedOnce) {
  PackageManifest m = Product();
  m.files.push_back(InlineFile("tiny.ttf", TinyFont(u"Tiny Sans Bold")));
  m.files.push_back(InlineFile("plain.fon", "not a TrueType font"));
  BuildFolder fonts;
  fonts.name = "%FONTS%";
  fonts.items.push_back(FileItem(Index(m, "tiny.ttf")));
  fonts.items.push_back(FileItem(Index(m, "plain.fon")));
  m.components[0].root.folders.push_back(fonts);
  const std::string setup = Build(m);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  const std::string folder = "C:\\Windows\\Fonts";
  EXPECT_EQ(shell.Fonts(), (std::vector<std::string>{folder + "\\tiny.ttf", folder + "\\plain.fon"}));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kFonts, "Tiny Sans Bold (TrueType)", RegView::View64), "tiny.ttf");
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kFonts, "plain", RegView::View64), "plain.fon");
  EXPECT_EQ(shell.FontChangeBroadcasts(), 1);
  // Fonts stay when the product goes: they are not in the log.
  const std::vector<std::string> files = SectionLines(0);
  EXPECT_EQ(std::find(files.begin(), files.end(), folder + "\\tiny.ttf"), files.end());

  // For the current user only, the font is the user's own.
  TearDown();
  SetUp();
  m.userType = 2;
  shell.RefuseFont(folder + "\\plain.fon");
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(reg.ReadString(RegRoot::CurrentUser, kFonts, "Tiny Sans Bold (TrueType)"), folder + "\\tiny.ttf");
  EXPECT_FALSE(reg.ReadString(RegRoot::CurrentUser, kFonts, "plain"));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kFonts, RegView::View64));
}

TEST_F(EngineTest, TypeLibrariesAndSelfRegisteringFilesAreRegisteredAndLogged) {
  PackageManifest m = Product();
  m.files.push_back(InlineFile("thing.tlb", "MSFT and the rest of a type library"));
  m.files.push_back(InlineFile("fast.dll", "a component"));
  m.files.push_back(InlineFile("slow.dll", "a component that takes long"));
  for (const char* name : {"thing.tlb", "fast.dll", "slow.dll"}) {
    BuildItem it = FileItem(Index(m, name));
    it.file.SelfRegister = true;
    m.components[0].root.folders[0].items.push_back(it);
  }
  const std::string regsvr32 = "C:\\Windows\\System32\\regsvr32.exe";
  std::vector<std::string> registered;
  HostShell::Program quick;
  quick.effect = [&](const std::string& cmd) { registered.push_back(cmd); };
  shell.Script("regsvr32.exe", quick);
  HostShell::Program slow = quick;
  slow.runMilliseconds = 15000;
  const std::string setup = Build(m);
  // Every file is registered in the order the workers finished (one here).
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_EQ(shell.TypeLibraries(), std::vector<std::string>{App("thing.tlb") + "\t" + App() + "\\"});
  EXPECT_EQ(registered, (std::vector<std::string>{regsvr32 + " /s \"" + App("fast.dll") + "\"",
                                                  regsvr32 + " /s \"" + App("slow.dll") + "\""}));
  EXPECT_EQ(SectionLines(3), (std::vector<std::string>{App("thing.tlb"), App("fast.dll"), App("slow.dll")}));

  // An update that keeps the unchanged files registers them again and so
  // keeps them in the log, for the uninstaller to unregister.
  registered.clear();
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_EQ(registered.size(), 2u);
  EXPECT_EQ(SectionLines(3), (std::vector<std::string>{App("thing.tlb"), App("fast.dll"), App("slow.dll")}));

  // A registration that takes too long is reported and not logged.
  TearDown();
  SetUp();
  shell.Script("regsvr32.exe", slow);
  dialogs.shown.clear();
  ASSERT_EQ(Run(Build(m), {"/silent"}, false), kExitSuccess);
  EXPECT_EQ(SectionLines(3), std::vector<std::string>{App("thing.tlb")});
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_EQ(dialogs.shown[0].text, "Timed out waiting for fast.dll to register itself");
  EXPECT_EQ(dialogs.shown[0].style, MB_OK_);

  // A type library that cannot be registered ends the installation; the
  // log is still saved, so the files can be removed.
  TearDown();
  SetUp();
  m.files[Index(m, "thing.tlb")].content = "not a type library";
  dialogs.shown.clear();
  EXPECT_EQ(Run(Build(m), {"/silent"}, false), kExitFailed);
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown.back().text.rfind(
                "An error occurred while trying to register the type library " + App("thing.tlb") + ":\r\r", 0),
            0u)
      << dialogs.shown.back().text;
  const std::vector<std::string> files = SectionLines(0);
  EXPECT_NE(std::find(files.begin(), files.end(), App("fast.dll")), files.end());
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
}

TEST_F(EngineTest, CommandsRunInQueueOrderAndFolderRightsSpareTheSystemsFolders) {
  PackageManifest m = Product();
  auto& items = m.components[0].root.folders[0].items;
  items[0].file.RunAfter = true;
  items[0].file.RunParams = "/first %APPFOLDER%";
  items[1].file.RunAfter = items[1].file.RunQueueFlag = items[1].file.RunPathFlag = true;
  items[2].file.RunAfter = items[2].file.RunQueueFlag = true;
  m.components[0].root.folders[0].grantUsers = true;
  BuildFolder sub;
  sub.name = "data";
  sub.grantUsers = true;
  sub.items.push_back(FileItem(Index(m, "notes.txt")));
  m.components[0].root.folders[0].folders.push_back(sub);
  BuildFolder system;
  system.name = "%PROGRAMFILES%";
  system.grantUsers = true;
  system.items.push_back(FileItem(Index(m, "UnStowaXP.exe")));
  m.components[0].root.folders.push_back(system);
  const std::string setup = Build(m);
  ASSERT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  const std::vector<std::string> events = shell.Events();
  EXPECT_EQ(events, (std::vector<std::string>{"open\t" + App("app.exe") + "\t/first " + App() + "\tnowait",
                                              "open\t" + App("random.bin") + "\t\twait",
                                              "open\t" + App("empty.txt") + "\t\twait"}));
  EXPECT_FALSE(fs.FileExists(App("random.bin")));  // the path queue's file goes after its command
  EXPECT_EQ(shell.GrantedFolders(), (std::vector<std::string>{App(), App("data")}));

  // Nothing for a current-user installation.
  TearDown();
  SetUp();
  m.userType = 2;
  const size_t before = shell.GrantedFolders().size();
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_EQ(shell.GrantedFolders().size(), before);
}

TEST_F(EngineTest, APrerequisiteRunsFromThePackageUnlessItsConditionHolds) {
  PackageManifest m = Product();
  BuildPrerequisite present;
  present.lines = {"Runtime A", "", "1", "", "runtime-a.exe", "", "HKEY_LOCAL_MACHINE\\Software\\Runtime A",
                   "Version", "3", ""};
  present.installer = BuildSource{"runtime-a.exe", "", std::string("installer A"), false};
  BuildPrerequisite missing;
  missing.lines = {"Runtime B", "https://example.invalid/b", "1", "", "runtime-b.MSI", "/norestart %APPFOLDER%",
                   "HKEY_AUTO\\Software\\Runtime B", "", "", ""};
  missing.installer = BuildSource{"runtime-b.MSI", "", std::string("installer B bytes"), false};
  m.prerequisites = {present, missing};
  reg.WriteDword(RegRoot::LocalMachine, "Software\\Runtime A", "Version", 3);
  std::string seenInstaller, seenCommand;
  HostShell::Program msiexec;
  msiexec.effect = [&](const std::string& cmd) {
    seenCommand = cmd;
    const size_t q = cmd.find("/i \"") + 4;
    seenInstaller = Read(cmd.substr(q, cmd.find('"', q) - q));
    // What the installer does: afterwards the condition holds.
    reg.CreateKey(RegRoot::LocalMachine, "Software\\Runtime B");
  };
  shell.Script("msiexec.exe", msiexec);
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  const std::vector<std::string> events = shell.Events();
  ASSERT_EQ(events.size(), 1u) << "only the missing prerequisite runs";
  EXPECT_EQ(seenInstaller, "installer B bytes");
  const std::string msi = "C:\\Windows\\System32\\msiexec.exe";
  EXPECT_EQ(events[0].substr(0, 6 + msi.size() + 1), "start\t" + msi + "\t");
  EXPECT_NE(seenCommand.find("runtime-b.MSI\" /qn /norestart " + App()), std::string::npos) << seenCommand;
  EXPECT_EQ(seenCommand.rfind("\"" + msi + "\" /i \"C:\\Temp\\stw", 0), 0u) << seenCommand;
  // The copy lived in this run's private folder and is gone with it.
  for (const auto& e : std::filesystem::recursive_directory_iterator(fs.NativePath("C:\\Temp")))
    EXPECT_EQ(PathToUtf8(e.path().filename()).find("runtime"), std::string::npos) << e.path();
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
}

TEST_F(EngineTest, TheSupportDllMayRefuseASilentRunOrLearnsWhereItsLogIs) {
  HostSupportModuleLoader loader(fs);
  supportLoader = &loader;
  const std::shared_ptr<HostSupportScript> script = loader.Place("hooks.dll");
  using R = SupportRoutine;
  script->exports = {R::AllowInstallation, R::GetInstallFoldersW, R::FinishDeploymentA};
  script->allowAnswer = 0;
  const std::string setup = Build(WithSupportDll(Product()));
  EXPECT_EQ(Run(setup, {"/silent"}), kExitFailed);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  ASSERT_EQ(script->calls.size(), 1u);
  // Allowed, its folder is there for the installation, and it hears of the log.
  script->calls.clear();
  script->allowAnswer = 1;
  script->installFoldersW = u"%EXTRA%|Extra|C:\\Extra\\|";
  EXPECT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  ASSERT_EQ(script->calls.size(), 3u);
  EXPECT_EQ(script->calls[2], "FinishDeploymentA(logPath=" + App("Stowa.log") + ")");
  EXPECT_TRUE(fs.FileExists(App("Stowa.log")));
}

TEST_F(EngineTest, AMissingFrameworkEndsASilentRunBeforeAnyFile) {
  PackageManifest m = Product();
  m.dotNetVersions = 1 << 5;
  m.dotNetLevel = 10;
  m.dotNetFile = "netfx.exe";
  m.dotNetInstaller = BuildSource{"netfx.exe", "", std::string("the redistributable"), false};
  const std::string key = "Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";
  reg.WriteDword(RegRoot::LocalMachine, key, "Install", 1);
  reg.WriteDword(RegRoot::LocalMachine, key, "Release", 461808);  // 4.7.2
  HostShell::Program redist;
  redist.effect = [&](const std::string&) { reg.WriteDword(RegRoot::LocalMachine, key, "Release", 528040); };
  shell.Script("netfx.exe", redist);
  const std::string setup = Build(m);
  dialogs.shown.clear();
  EXPECT_EQ(Run(setup, {"/silent"}, false), kExitFailed);
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown.back().text, FormatPattern(DefaultInterfaceStrings()[89], {"4.8"}));
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  ASSERT_EQ(shell.Events().size(), 1u);
  EXPECT_EQ(shell.Events()[0].find("start\tC:\\Temp\\stw"), 0u) << shell.Events()[0];
  // The redistributable ran and was waited for: the next run installs.
  EXPECT_EQ(Run(setup, {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
}

TEST_F(EngineTest, APortableInstallationLeavesTheComputerAlone) {
  PackageManifest m = Product();
  m.portableMode = 1;
  m.removableMarkerMode = 1;
  m.portableFolder = "\\Portable\\Test";
  BuildFolder menu;
  menu.name = "%APPMENU%";
  menu.items.push_back(Shortcut(Index(m, "app.exe")));
  m.components[0].root.folders.push_back(menu);
  m.components[0].root.folders[0].items[0].file.RunAfter = true;
  RegistryStream s;
  s.Tag(1).Str("HKEY_AUTO").Tag(1).Str("Software\\Portable Test").Tag(4).Str("x").Tag(8).U32(1).Tag(255).Tag(255);
  m.registryData = s.b;
  const std::string setup = Build(m);
  sys.Set("drives", "CEZ");
  sys.Set("program", "C:\\Temp\\setup.exe");
  // The folder override of the command line means nothing here.
  ASSERT_EQ(Run(setup, {"/portable", "E:\\Apps\\Test", "/silent", "/APPFOLDER", "C:\\Elsewhere"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("E:\\Apps\\Test\\app.exe"));
  EXPECT_TRUE(fs.FileExists("E:\\Apps\\Test\\random.bin"));
  EXPECT_FALSE(fs.FileExists("E:\\Apps\\Test\\UnStowa.exe"));
  EXPECT_FALSE(fs.FileExists("E:\\Apps\\Test\\Stowa.log"));
  EXPECT_FALSE(fs.DirectoryExists("C:\\Elsewhere"));
  EXPECT_EQ(Read("E:\\Apps\\Test\\RemovableDrive.sys"),
            "The existence of this file forces portable applications installed by Pakvestor in this folder to "
            "treat the drive as removable even if it is fixed.\r\n");
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
  EXPECT_FALSE(reg.KeyExists(RegRoot::CurrentUser, kUninstall));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, "Software\\Portable Test"));
  EXPECT_FALSE(reg.KeyExists(RegRoot::CurrentUser, "Software\\Portable Test"));
  EXPECT_FALSE(fs.DirectoryExists(kPrograms + "\\Test Product"));
  EXPECT_EQ(shell.Events(), std::vector<std::string>{"open\tE:\\Apps\\Test\\app.exe\t\tnowait"});

  // An existing marker is left as it is; on a removable drive none is made.
  Write("E:\\Apps\\Test\\RemovableDrive.sys", "mine");
  ASSERT_EQ(Run(setup, {"/portable", "E:\\Apps\\Test", "/silent"}), kExitSuccess);
  EXPECT_EQ(Read("E:\\Apps\\Test\\RemovableDrive.sys"), "mine");
  shell.SetRemovable("E");
  ASSERT_EQ(Run(setup, {"/portable", "E:\\Apps\\Other", "/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("E:\\Apps\\Other\\app.exe"));
  EXPECT_FALSE(fs.FileExists("E:\\Apps\\Other\\RemovableDrive.sys"));
  // Without a folder: the package's, on the drive this program runs from.
  ASSERT_EQ(Run(setup, {"/portable", "/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists("C:\\Portable\\Test\\app.exe"));
}

TEST_F(EngineTest, AFileThatWasNotWrittenIsNeitherLoggedNorCountedNorRun) {
  PackageManifest m = Product();
  auto& items = m.components[0].root.folders[0].items;
  items[1].file.RunAfter = true;  // random.bin
  BuildFolder desktop;
  desktop.name = "%DESKTOP%";
  desktop.items.push_back(Shortcut(Index(m, "random.bin")));
  m.components[0].root.folders.push_back(desktop);
  const std::string setup = Build(m);
  std::filesystem::create_directories(fs.NativePath(App("random.bin")));  // a folder where the file goes
  dialogs.fallback = IDYES_;  // go on after the error
  ASSERT_EQ(Run(setup, {"/silent"}, false), kExitSuccess);
  const std::vector<std::string> files = SectionLines(0);
  EXPECT_NE(std::find(files.begin(), files.end(), App("app.exe")), files.end());
  EXPECT_EQ(std::find(files.begin(), files.end(), App("random.bin")), files.end());
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kShared, App("random.bin")));
  EXPECT_TRUE(lastQueue.empty());
  EXPECT_TRUE(shell.ReadLink(kDesktop + "\\random.lnk").empty());
  EXPECT_FALSE(reg.ReadString(RegRoot::LocalMachine, kUninstall, "DisplayIcon"));
}

TEST_F(EngineTest, ACompressedBlockWhoseStoredSizeEqualsItsSizeIsDecoded) {
  // Registry data whose LZMA form is exactly as long as the data: found by
  // trying contents until the encoder's output has that length.
  PackageManifest m = Product();
  m.blocks = BlockMode::Compressed;
  std::string data;
  // Random bytes grow a little under LZMA and repeated ones shrink: some
  // mix of the two comes out at exactly its own length.
  for (unsigned repeated = 0; repeated < 200 && data.empty(); ++repeated) {
    for (unsigned random = 8; random < 120 && data.empty(); random += 3) {
      RegistryStream s;
      s.Tag(1).Str("HKEY_AUTO").Tag(1).Str("Software\\Block");
      s.Tag(4).Str("v").Tag(7).Str(std::string(repeated, 'a') + TextBytes(random, repeated)).Tag(255).Tag(255);
      if (LzmaEncodeBuffer(m.lzma, s.b).size() == s.b.size()) data = s.b;
    }
  }
  ASSERT_FALSE(data.empty()) << "no content of equal stored size found";
  m.registryData = data;
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(reg.QueryValue(RegRoot::LocalMachine, "Software\\Block", "v"));
}

}  // namespace
}  // namespace stw::test
