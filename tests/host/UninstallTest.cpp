// The uninstaller against the simulated machine: real packages installed
// by the host setup, then removed, and the whole machine (every file and
// folder of its drives, every registry key and value) compared with the
// state before the installation.
#include <map>
#include <set>

#include "InstallFixture.h"
#include "builder/RegistryDataWriter.h"
#include "package/Crc32.h"
#include "uninstaller/Uninstaller.h"

namespace stw::test {
namespace {

const std::string kDesktop = "C:\\users\\tester\\Desktop";
const std::string kCurrentVersion = "Software\\Microsoft\\Windows\\CurrentVersion";
const std::string kRun = kCurrentVersion + "\\Run";
const std::string kCommonFiles = kProgramFiles + "\\Common Files";
const std::string kProducts = "Software\\Orvane\\Carrovit";
const std::string kClsid = "CLSID\\{11111111-2222-3333-4444-555555555555}";


RegistryValueEntry Str(const std::string& name, const std::string& text) {
  RegistryValueEntry v;
  v.isDefault = name.empty();
  v.name = name;
  v.type = RegistryValueEntry::Type::String;
  v.text = text;
  return v;
}
RegistryValueEntry Dword(const std::string& name, uint32_t value) {
  RegistryValueEntry v;
  v.name = name;
  v.type = RegistryValueEntry::Type::Dword;
  v.dword = value;
  return v;
}
RegistryKeyEntry Key(const std::string& name, std::vector<RegistryValueEntry> values,
                     std::vector<RegistryKeyEntry> keys = {}, bool whole = false) {
  RegistryKeyEntry k;
  k.name = name;
  k.values = std::move(values);
  k.keys = std::move(keys);
  k.wholeKey = whole;
  return k;
}
RegistryRootEntry Root(const std::string& name, std::vector<RegistryKeyEntry> keys) {
  RegistryRootEntry r;
  r.root = name;
  r.keys = std::move(keys);
  return r;
}

class UninstallTest : public InstallTest {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    const std::string sf = kCurrentVersion + "\\Explorer\\Shell Folders";
    reg.WriteString(RegRoot::CurrentUser, sf, "Desktop", kDesktop);
    // What every Windows has, and keeps when the last program that used
    // it is gone: the folders of the shell and of the program files, the
    // list of installed programs, the Run key, the user's classes and
    // shared counts, and the profiles under HKEY_USERS.
    for (const std::string& f : {kDesktop, kPrograms, kCommonFiles, kLocalAppData})
      std::filesystem::create_directories(fs.NativePath(f));
    for (RegRoot r : {RegRoot::LocalMachine, RegRoot::CurrentUser}) {
      reg.CreateKey(r, kCurrentVersion + "\\Uninstall");
      reg.CreateKey(r, kRun);
      reg.CreateKey(r, kShared);
    }
    reg.CreateKey(RegRoot::CurrentUser, "Software\\Classes");
    // The 32-bit view's registrations of classes (Classes\Wow6432Node\CLSID).
    reg.CreateKey(RegRoot::ClassesRoot, "CLSID");
    reg.CreateKey(RegRoot::CurrentUser, "Software\\Classes\\CLSID");
    reg.CreateKey(RegRoot::Users, "S-1-5-21-1001\\Software");
    reg.CreateKey(RegRoot::Users, "S-1-5-21-1002\\Software");
    // A file type another program registered before.
    reg.WriteString(RegRoot::ClassesRoot, ".tst", "", "Old.Document");
    reg.WriteString(RegRoot::ClassesRoot, "Old.Document", "", "Old description");
    reg.WriteString(RegRoot::ClassesRoot, "Old.Document\\DefaultIcon", "", "C:\\old.exe,1");
    reg.WriteString(RegRoot::ClassesRoot, "Old.Document\\shell\\open\\command", "", "C:\\old.exe %1");
    // A value the package keeps when it is there.
    reg.WriteString(RegRoot::LocalMachine, "Software\\Test Works\\Shared", "Kept", "old");
    // regsvr32 registers a component's class and takes it away again.
    HostShell::Program regsvr32;
    regsvr32.effect = [this](const std::string& cmd) {
      const size_t quote = cmd.find('"');
      const std::string path = cmd.substr(quote + 1, cmd.size() - quote - 2);
      regsvr32Calls.push_back(cmd);
      const std::string key = "CLSID\\{" + ExtractFileName(path) + "}";
      if (cmd.find(" /u /s ") != std::string::npos)
        reg.DeleteKey(RegRoot::ClassesRoot, key);
      else
        reg.WriteString(RegRoot::ClassesRoot, key + "\\InprocServer32", "", path);
    };
    shell.Script("regsvr32.exe", regsvr32);
  }

  uint16_t Index(const PackageManifest& m, const std::string& name) {
    return static_cast<uint16_t>(FindDataIndex(m, name));
  }
  static BuildItem FileItem(uint16_t index, bool selfRegister = false) {
    BuildItem it;
    it.file.DataIndex = index;
    it.file.SelfRegister = selfRegister;
    return it;
  }

  // Registry entries under every root name, of every kind.
  static std::vector<RegistryRootEntry> RichRegistry() {
    return {Root("HKEY_AUTO",
              {Key("Software\\Test Works\\Test Product",
                   {Str("", "Test Product 2.5"), Str("Folder", "%APPFOLDER%"), Dword("Count", 7)},
                   {Key("Settings", {Str("Theme", "light")})}, true),
               Key("Software\\Test Works\\Shared", {[] {
                     RegistryValueEntry v = Str("Kept", "new");
                     v.keepExisting = true;
                     return v;
                   }(),
                                                    Str("Added", "yes")}),
               Key(kRun, {Str("Test App", "\"%APPFOLDER%\\app.exe\" /background")})}),
         Root("HKEY_CLASSES_ROOT", {Key("TestWorks.Thing", {Str("", "A thing")}),
                                    Key(kClsid, {}, {Key("InprocServer32", {Str("", "%APPFOLDER%\\comp.dll")})}, true)}),
         Root("HKEY_CURRENT_USER", {Key("Software\\Test Works\\Test Product", {[] {
                                          RegistryValueEntry v;
                                          v.name = "LastRun";
                                          v.logOnly = true;
                                          return v;
                                        }(),
                                                                               Str("User", "yes")})}),
         Root("HKEY_USERS", {Key("Software\\Test Works\\Profile", {Dword("Seen", 1)})}),
         Root("HKEY_LOCAL_MACHINE", {Key("Software\\Test Works\\Machine", {Str("Where", "%APPFOLDER%")})})};
  }

  // A product with something of every kind the uninstaller undoes.
  PackageManifest RichProduct(uint8_t userType) {
    PackageManifest m = Product();
    m.userType = userType;
    m.files.push_back(InlineFile("thing.tlb", "MSFT and the rest of a type library"));
    m.files.push_back(InlineFile("comp.dll", "a self-registering component"));
    m.files.push_back(InlineFile("manual.hlp", "help text"));
    m.files.push_back(InlineFile("data.bin", RandomBytes(3000, 9)));
    const uint16_t app = Index(m, "app.exe");
    BuildFolder& appFolder = m.components[0].root.folders[0];
    appFolder.items.push_back(FileItem(Index(m, "thing.tlb"), true));
    appFolder.items.push_back(FileItem(Index(m, "comp.dll"), true));
    appFolder.items.push_back(FileItem(Index(m, "manual.hlp")));
    BuildFolder deep;
    deep.name = "deep";
    deep.items.push_back(FileItem(Index(m, "data.bin")));
    BuildFolder data;
    data.name = "data";
    data.folders.push_back(deep);
    data.withItems = false;
    appFolder.folders.push_back(data);
    BuildFolder menu;
    menu.name = "%APPMENU%";
    BuildItem sc;
    sc.kind = BuildItem::Shortcut;
    sc.shortcut.Target = app;
    sc.shortcut.Name = "My App";
    menu.items.push_back(sc);
    BuildItem url;
    url.kind = BuildItem::Url;
    url.url.Url = "https://example.invalid/";
    url.url.Name = "Home page";
    menu.items.push_back(url);
    m.components[0].root.folders.push_back(menu);
    BuildFolder desktop;
    desktop.name = "%DESKTOP%";
    desktop.items.push_back(sc);
    m.components[0].root.folders.push_back(desktop);
    m.uninstallShortcut = 1;

    m.registryData = EncodeRegistryData(RichRegistry());

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
    fresh.IconFile = app;
    fresh.Actions.push_back({"open", app, "%1", false, false, "", ""});
    m.fileTypes.push_back(fresh);
    return m;
  }

  // The whole machine as lines: every folder, file (size and checksum)
  // and link of its drives, and every key and value of its registry.
  std::vector<std::string> Snapshot() {
    std::vector<std::string> lines;
    for (const char* drive : {"C", "D", "UNC"}) {
      const std::filesystem::path top = root + "/" + drive;
      if (!std::filesystem::exists(top)) continue;
      for (auto it = std::filesystem::recursive_directory_iterator(top); it != std::filesystem::recursive_directory_iterator();
           ++it) {
        const std::string rel = PathToUtf8(std::filesystem::relative(it->path(), root));
        if (it->is_symlink()) {
          lines.push_back("link " + rel + " -> " + PathToUtf8(std::filesystem::read_symlink(it->path())));
        } else if (it->is_directory()) {
          lines.push_back("folder " + rel);
        } else {
          std::ifstream f(it->path(), std::ios::binary);
          const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
          lines.push_back("file " + rel + " " + std::to_string(bytes.size()) + " " +
                          HexU32(Crc32(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0)));
        }
      }
    }
    std::ifstream r(root + "/registry.txt", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(r)), std::istreambuf_iterator<char>());
    std::string key;
    for (const std::string& line : SplitLines(text)) {
      if (StartsWith(line, "key\t")) {
        key = line.substr(4);
        lines.push_back("key " + key);
      } else if (!StartsWith(line, "stw-registry")) {
        lines.push_back("value " + key + "\t" + line);
      }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  // What differs, one line each: "-" only before, "+" only after.
  static std::string Diff(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    std::string d;
    std::set<std::string> a(before.begin(), before.end()), b(after.begin(), after.end());
    for (const std::string& l : a)
      if (!b.count(l)) d += "- " + l + "\n";
    for (const std::string& l : b)
      if (!a.count(l)) d += "+ " + l + "\n";
    return d;
  }

  // Runs the uninstaller as UnStowa.exe runs, with the fixture's boxes.
  int Uninstall(const std::string& log, std::vector<std::string> switches = {"/silent"}, IDialogs* boxes = nullptr) {
    std::vector<std::string> args = {sys.ProgramFile(), log};
    args.insert(args.end(), switches.begin(), switches.end());
    return RunUninstaller(args, boxes);
  }
  int RunUninstaller(const std::vector<std::string>& args, IDialogs* boxes = nullptr) {
    TUninstallRun run({fs, reg, sys, boxes ? *boxes : dialogs, shell}, args);
    run.Sleep = [](int) {};
    const int code = run.Main();
    result = run.Result;
    selfRemovalCommand = run.SelfRemovalCommand;
    return code;
  }
  std::string Log() { return App("Stowa.log"); }
  std::vector<std::string> Started() {
    std::vector<std::string> s;
    for (const std::string& e : shell.Events())
      if (StartsWith(e, "start\t") || StartsWith(e, "shell\t")) s.push_back(e);
    return s;
  }

  std::vector<std::string> regsvr32Calls;
  TRemovalResult result;
  std::string selfRemovalCommand;
};

TEST_F(UninstallTest, AnAllUsersInstallationIsRemovedWhole) {
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // The installation did what it is to be undone.
  ASSERT_TRUE(fs.FileExists(App("data\\deep\\data.bin")));
  ASSERT_TRUE(fs.FileExists(kDesktop + "\\My App.lnk"));
  ASSERT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document", ""), "Test document");
  ASSERT_TRUE(reg.ReadDword(RegRoot::Users, "S-1-5-21-1002\\Software\\Test Works\\Profile", "Seen"));
  ASSERT_TRUE(reg.KeyExists(RegRoot::ClassesRoot, "CLSID\\{comp.dll}"));
  ASSERT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 1u);
  // The help viewer's index beside the help file.
  Write(App("manual.gid"), "index");
  ASSERT_NE(Diff(before, Snapshot()), "");
  dialogs.shown.clear();
  regsvr32Calls.clear();

  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_EQ(Diff(before, Snapshot()), "");
  EXPECT_TRUE(result.NotRemoved.empty());
  EXPECT_TRUE(dialogs.shown.empty());  // a silent run shows no box
  EXPECT_EQ(regsvr32Calls, std::vector<std::string>{"C:\\Windows\\System32\\regsvr32.exe /u /s \"" +
                                                    App("comp.dll") + "\""});
  EXPECT_EQ(shell.UnregisteredTypeLibraries(), std::vector<std::string>{App("thing.tlb")});
  EXPECT_GE(shell.AssociationNotices(), 2);  // the installation's and the removal's
}

TEST_F(UninstallTest, ACurrentUserInstallationIsRemovedWhole) {
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(2)), {"/silent"}), kExitSuccess);
  const std::string app = kLocalAppData + "\\Test Product";
  ASSERT_TRUE(fs.FileExists(app + "\\Stowa.log"));
  ASSERT_EQ(reg.ReadString(RegRoot::CurrentUser, "Software\\Classes\\.fre", ""), "frefile");
  ASSERT_EQ(reg.ReadString(RegRoot::CurrentUser, "Software\\Classes\\.tst", ""), "tstfile");
  ASSERT_TRUE(reg.KeyExists(RegRoot::CurrentUser, "Software\\Classes\\TestWorks.Thing"));
  ASSERT_TRUE(reg.ReadDword(RegRoot::CurrentUser, kShared, app + "\\UnStowa.exe"));
  ASSERT_TRUE(reg.ReadString(RegRoot::CurrentUser, kProducts, "Test Product"));
  EXPECT_EQ(Uninstall(app + "\\Stowa.log"), kUninstallDone);
  EXPECT_EQ(Diff(before, Snapshot()), "");
  EXPECT_TRUE(result.NotRemoved.empty());
}

TEST_F(UninstallTest, AssociationsGoBackToWhatTheyWereAndOtherProgramsChangesStay) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // Another program took the print verb over since.
  reg.WriteString(RegRoot::ClassesRoot, "Old.Document\\shell\\print\\command", "", "C:\\other.exe /p %1");
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, ".tst", ""), "Old.Document");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document", ""), "Old description");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document\\DefaultIcon", ""), "C:\\old.exe,1");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document\\shell\\open\\command", ""), "C:\\old.exe %1");
  EXPECT_EQ(reg.ReadString(RegRoot::ClassesRoot, "Old.Document\\shell\\print\\command", ""), "C:\\other.exe /p %1");
  EXPECT_FALSE(reg.KeyExists(RegRoot::ClassesRoot, ".fre"));
  EXPECT_FALSE(reg.KeyExists(RegRoot::ClassesRoot, "frefile"));
}

TEST_F(UninstallTest, ASharedFileCountedTwiceStaysCountedOnce) {
  PackageManifest m = Product();
  m.files.push_back(InlineFile("common.dll", "shared library"));
  BuildFolder common;
  common.name = "%COMMONFILES%\\Test Shared";
  common.items.push_back(FileItem(Index(m, "common.dll")));
  m.components[0].root.folders.push_back(common);
  // Another product installed the same file before and counts it once.
  const std::string shared = kCommonFiles + "\\Test Shared\\common.dll";
  Write(shared, "shared library");
  reg.WriteDword(RegRoot::LocalMachine, kShared, shared, 1);
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  ASSERT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, shared), 2u);
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, shared), 1u);
  EXPECT_TRUE(fs.FileExists(shared));
  EXPECT_EQ(Diff(before, Snapshot()), "");
}

TEST_F(UninstallTest, ASharedComponentKeepsItsRegistrationWhileAnotherProductUsesIt) {
  // Two products install and register one counted component.
  auto product = [&](const std::string& key) {
    PackageManifest m = Product();
    m.productKey = key;
    m.folderDefaults[0][0] = "%PROGRAMFILES%\\" + key;
    m.files.push_back(InlineFile("common.dll", "a shared self-registering component"));
    BuildFolder common;
    common.name = "%COMMONFILES%\\Test Shared";
    common.items.push_back(FileItem(Index(m, "common.dll"), true));
    m.components[0].root.folders.push_back(common);
    return Build(m, key + ".exe");
  };
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(product("Test Product"), {"/silent"}), kExitSuccess);
  ASSERT_EQ(Run(product("Other Product"), {"/silent"}), kExitSuccess);
  const std::string dll = kCommonFiles + "\\Test Shared\\common.dll";
  ASSERT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, dll), 2u);
  regsvr32Calls.clear();
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_TRUE(regsvr32Calls.empty());
  EXPECT_TRUE(reg.KeyExists(RegRoot::ClassesRoot, "CLSID\\{common.dll}"));
  EXPECT_TRUE(fs.FileExists(dll));
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, dll), 1u);
  // The last user unregisters it.
  EXPECT_EQ(Uninstall(kProgramFiles + "\\Other Product\\Stowa.log"), kUninstallDone);
  EXPECT_EQ(regsvr32Calls, std::vector<std::string>{"C:\\Windows\\System32\\regsvr32.exe /u /s \"" + dll + "\""});
  // Its folder, which no folder variable of the logs names, stays.
  EXPECT_EQ(Diff(before, Snapshot()), "+ folder C/Program Files (x86)/Common Files/Test Shared\n");
}

TEST_F(UninstallTest, TwoProductsInOneFolderAreRemovedOneAtATime) {
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(1), "first.exe"), {"/silent"}), kExitSuccess);
  PackageManifest second = Product();
  second.productKey = "Second Product";
  second.files.push_back(InlineFile("second.exe", TextBytes(5000, 11)));
  second.components[0].root.folders[0].items.push_back(FileItem(Index(second, "second.exe")));
  second.registryData = EncodeRegistryData(
      {Root("HKEY_AUTO", {Key("Software\\Test Works\\Second Product", {Str("Folder", "%APPFOLDER%")})})});
  ASSERT_EQ(Run(Build(second, "second-setup.exe"), {"/silent"}), kExitSuccess);
  const std::string secondLog = App("Stowa2.log");
  ASSERT_TRUE(fs.FileExists(secondLog));
  ASSERT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 2u);
  const std::vector<std::string> both = Snapshot();

  // The first goes; what the second needs stays exactly as it was.
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  const std::vector<std::string> after = Snapshot();
  std::set<std::string> now(after.begin(), after.end());
  const std::string secondMark = "Second Product";
  for (const std::string& line : both) {
    const bool seconds = line.find(secondMark) != std::string::npos || line.find("second.exe") != std::string::npos ||
                         line.find("Stowa2.log") != std::string::npos;
    if (seconds) {
      EXPECT_TRUE(now.count(line)) << "lost: " << line;
    }
  }
  EXPECT_TRUE(fs.FileExists(App("UnStowa.exe")));
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 1u);
  // Both install these, uncounted: the second's log keeps them.
  for (const char* name : {"app.exe", "random.bin", "empty.txt"}) {
    const auto line = std::find_if(both.begin(), both.end(), [&](const std::string& l) {
      return StartsWith(l, "file C/Program Files (x86)/Test Product/" + std::string(name) + " ");
    });
    ASSERT_NE(line, both.end()) << name;
    EXPECT_TRUE(now.count(*line)) << name;
  }
  EXPECT_FALSE(fs.FileExists(App("comp.dll")));
  EXPECT_FALSE(fs.FileExists(Log()));
  EXPECT_FALSE(reg.ReadString(RegRoot::LocalMachine, kProducts, "Test Product"));
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kProducts, "Second Product"), secondLog);
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kCurrentVersion + "\\Uninstall\\Second Product"));
  // Then the second, with the shared uninstaller: nothing is left.
  EXPECT_EQ(Uninstall(secondLog), kUninstallDone);
  EXPECT_EQ(Diff(before, Snapshot()), "");
}

TEST_F(UninstallTest, AnUpdateIsRemovedDownToTheMachineBeforeTheFirstRelease) {
  for (const uint8_t removeObsolete : {0, 1}) {
    SCOPED_TRACE(removeObsolete ? "obsolete files removed by the update" : "obsolete files kept in the log");
    TearDown();
    SetUp();
    const std::vector<std::string> before = Snapshot();
    PackageManifest v1 = RichProduct(1);
    v1.files.push_back(InlineFile("old.txt", "only in the first release"));
    v1.components[0].root.folders[0].items.push_back(FileItem(Index(v1, "old.txt")));
    v1.registryData = EncodeRegistryData(
        {Root("HKEY_AUTO", {Key("Software\\Test Works\\Release", {Str("First", "1"), Str("Both", "1")})})});
    ASSERT_EQ(Run(Build(v1, "v1.exe"), {"/silent"}), kExitSuccess);
    PackageManifest v2 = RichProduct(1);
    v2.version = "3.0";
    v2.releaseDate += 30;
    v2.setupOptionBits = removeObsolete;
    v2.files.push_back(InlineFile("new.txt", "only in the second release"));
    v2.components[0].root.folders[0].items.push_back(FileItem(Index(v2, "new.txt")));
    v2.fileTypes.erase(v2.fileTypes.begin() + 1);  // .fre only in the first: carried over
    v2.registryData = EncodeRegistryData(
        {Root("HKEY_AUTO", {Key("Software\\Test Works\\Release", {Str("Second", "2"), Str("Both", "2")})})});
    ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
    ASSERT_TRUE(fs.FileExists(App("new.txt")));
    ASSERT_EQ(fs.FileExists(App("old.txt")), removeObsolete == 0);
    EXPECT_EQ(Uninstall(Log()), kUninstallDone);
    EXPECT_EQ(Diff(before, Snapshot()), "");
  }
}

TEST_F(UninstallTest, AFileInUseGoesAtTheRestart) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  fs.HoldOpen(App("app.exe"));
  dialogs.Answer(IDYES_);
  dialogs.Answer(IDOK_);
  EXPECT_EQ(Uninstall(Log(), {}), kUninstallRestartNeeded);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  EXPECT_EQ(fs.PendingRenames(), std::vector<std::string>{App("app.exe") + "\t"});
  EXPECT_EQ(result.ScheduledAtRestart, std::vector<std::string>{App("app.exe")});
  EXPECT_FALSE(fs.FileExists(App("random.bin")));
  EXPECT_FALSE(fs.FileExists(Log()));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
  // The folder stays for the file that is still in it; its emptied
  // subfolders go.
  EXPECT_FALSE(fs.DirectoryExists(App("data")));
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_EQ(dialogs.shown[1].text,
            "Test Works Test Product 2.5 was removed from this computer.\r\rRestart the computer to finish the removal.");
  EXPECT_EQ(dialogs.shown[1].style, MB_OK_ | MB_ICONINFORMATION_);
}

TEST_F(UninstallTest, NoAtTheConfirmationChangesNothing) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  const std::vector<std::string> installed = Snapshot();
  dialogs.shown.clear();
  dialogs.Answer(IDNO_);
  EXPECT_EQ(Uninstall(Log(), {}), kUninstallCancelled);
  EXPECT_EQ(Diff(installed, Snapshot()), "");
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "Do you want to remove Test Works Test Product 2.5 and all of its components?");
  EXPECT_EQ(dialogs.shown[0].title, "Uninstall Test Works Test Product 2.5");
  EXPECT_EQ(dialogs.shown[0].style, MB_YESNO_ | MB_ICONQUESTION_);
  EXPECT_TRUE(regsvr32Calls.size() == 1);  // the installation's only
  // A box that nobody can answer (an unattended run without /silent)
  // changes nothing either.
  dialogs.shown.clear();
  EXPECT_EQ(Uninstall(Log(), {}), kUninstallCancelled);
  EXPECT_EQ(Diff(installed, Snapshot()), "");
}

TEST_F(UninstallTest, YesAtTheConfirmationRemovesAndSaysSo) {
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  dialogs.shown.clear();
  dialogs.Answer(IDYES_);
  dialogs.Answer(IDOK_);
  EXPECT_EQ(Uninstall(Log(), {}), kUninstallDone);
  EXPECT_EQ(Diff(before, Snapshot()), "");
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_EQ(dialogs.shown[1].text, "Test Works Test Product 2.5 was removed from this computer.");
  EXPECT_EQ(dialogs.shown[1].title, "Uninstall Test Works Test Product 2.5");
}

TEST_F(UninstallTest, EverySpellingOfSilentShowsNoBoxAndSuppressedBoxesTakeTheirDefault) {
  for (const char* s : {"/silent", "/S", "-s", "-SILENT", "/Silent"}) {
    SCOPED_TRACE(s);
    TearDown();
    SetUp();
    const std::vector<std::string> before = Snapshot();
    ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
    dialogs.shown.clear();
    EXPECT_EQ(Uninstall(Log(), {s}), kUninstallDone);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(Diff(before, Snapshot()), "");
  }
  // Not a silent switch: "/si" and "silent" without its switch character.
  TearDown();
  SetUp();
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  dialogs.shown.clear();
  EXPECT_EQ(Uninstall(Log(), {"/si", "silent"}), kUninstallCancelled);
  EXPECT_EQ(dialogs.shown.size(), 1u);
  // suppressmsgboxes: the boxes of the run are not shown and take their
  // default answer, Yes for the confirmation.
  dialogs.shown.clear();
  TRunDialogs suppressed(dialogs, true, false);
  EXPECT_EQ(Uninstall(Log(), {"/suppressmsgboxes"}, &suppressed), kUninstallDone);
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_FALSE(fs.FileExists(Log()));
}

TEST_F(UninstallTest, TheLogsTextsAreFormattedSafely) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  std::vector<std::string> lines = LogLines(Log());
  const auto at = std::find(lines.begin(), lines.end(), "Do you want to remove %s and all of its components?");
  ASSERT_NE(at, lines.end());
  *at = "Remove %s? 100% sure: %d %n %s %x";
  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  Write(Log(), text);
  dialogs.Answer(IDNO_);
  dialogs.shown.clear();
  EXPECT_EQ(Uninstall(Log(), {}), kUninstallCancelled);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "Remove Test Works Test Product 2.5? 100% sure: %d %n %s %x");
}

TEST_F(UninstallTest, EmptiedFoldersGoButNotOnesThatHoldSomethingOrTheSystemsOrOutsideTheProducts) {
  PackageManifest m = RichProduct(1);
  // The menu folder is the Programs folder itself; a file lies in a folder
  // of the common files that no folder variable names.
  m.folderDefaults[2][0] = "%PROGRAMSMENU%";
  m.files.push_back(InlineFile("extra.dll", "extra"));
  BuildFolder extra;
  extra.name = "%COMMONFILES%\\Test Extra";
  extra.items.push_back(FileItem(Index(m, "extra.dll")));
  m.components[0].root.folders.push_back(extra);
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  ASSERT_TRUE(fs.FileExists(kPrograms + "\\My App.lnk"));
  ASSERT_TRUE(fs.FileExists(kCommonFiles + "\\Test Extra\\extra.dll"));
  // The user's own file in the product's data folder.
  Write(App("data\\mine.txt"), "mine");
  const std::vector<std::string> withMine = [&] {
    std::vector<std::string> b = before;
    b.push_back("folder C/Program Files (x86)/Test Product");
    b.push_back("folder C/Program Files (x86)/Test Product/data");
    b.push_back("file C/Program Files (x86)/Test Product/data/mine.txt 4 " +
                HexU32(Crc32(reinterpret_cast<const uint8_t*>("mine"), 4, 0)));
    b.push_back("folder C/Program Files (x86)/Common Files/Test Extra");
    return b;
  }();
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  // Exactly these stay: the user's file and the folders that hold it, and
  // the folder outside the product's folders, which the log does not name.
  EXPECT_EQ(Diff(withMine, Snapshot()), "");
  EXPECT_TRUE(fs.DirectoryExists(kPrograms));
  EXPECT_FALSE(fs.DirectoryExists(App("data\\deep")));
}

TEST_F(UninstallTest, AFolderVariableThatHoldsTheSystemsFoldersVouchesForNoFolder) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // A log edited to name the user's profile as its menu folder, and a
  // file of the user's there.
  const std::string profile = "C:\\users\\tester";
  const std::string mine = profile + "\\Projects\\notes.txt";
  Write(mine, "the user's");
  std::vector<std::string> lines = LogLines(Log());
  const auto menu = std::find(lines.begin(), lines.end(), "%APPMENU%");
  ASSERT_NE(menu, lines.end());
  *(menu + 2) = profile;
  const auto end = std::find(lines.begin(), lines.end(), "%%%");
  lines.insert(end, mine);
  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  Write(Log(), text);
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  // The listed file goes, as the log says; no folder of the profile does.
  EXPECT_FALSE(fs.FileExists(mine));
  EXPECT_TRUE(fs.DirectoryExists(profile + "\\Projects"));
  EXPECT_TRUE(fs.DirectoryExists(kPrograms + "\\Test Product"));
  EXPECT_FALSE(fs.DirectoryExists(App()));
}

TEST_F(UninstallTest, NothingIsTouchedThroughALink) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // The data folder was replaced by a link to another place after the
  // installation: what lies there is not the product's.
  const std::string elsewhere = "C:\\Elsewhere\\data";
  std::filesystem::create_directories(fs.NativePath("C:\\Elsewhere"));
  std::filesystem::rename(fs.NativePath(App("data")), fs.NativePath(elsewhere));
  std::filesystem::create_directory_symlink(fs.NativePath(elsewhere), fs.NativePath(App("data")));
  ASSERT_TRUE(fs.FileExists(App("data\\deep\\data.bin")));
  EXPECT_EQ(Uninstall(Log()), kUninstallFailed);  // not all of it could go
  EXPECT_TRUE(fs.FileExists(elsewhere + "\\deep\\data.bin"));
  EXPECT_TRUE(fs.IsReparsePoint(App("data")));
  EXPECT_EQ(result.NotRemoved, std::vector<std::string>{App("data\\deep\\data.bin") + " (reached through a link)"});
  // Everything else went, the application folder but for the link.
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  EXPECT_FALSE(fs.FileExists(Log()));
  EXPECT_EQ(fs.ListFolder(App(), "", "").size(), 1u);
}

TEST_F(UninstallTest, AMalformedLogIsRefusedAndNothingIsRemoved) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  const std::vector<std::string> lines = LogLines(Log());
  auto find = [&](const std::string& text, size_t from = 0) {
    return static_cast<size_t>(std::find(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), text) -
                               lines.begin());
  };
  const size_t version = find("4"), firstEnd = find("%%%");
  size_t registry = firstEnd + 1;
  const size_t tst = find(".tst");
  struct Case {
    const char* what;
    std::function<void(std::vector<std::string>&)> change;
  };
  const std::vector<Case> cases = {
      {"another format", [&](auto& l) { l[version] = "5"; }},
      {"a missing section end", [&](auto& l) { l.pop_back(); }},
      {"a registry line without its tab",
       [&](auto& l) { l[registry] = l[registry].substr(0, l[registry].find('\t')); }},
      {"a relative path", [&](auto& l) { l.insert(l.begin() + static_cast<std::ptrdiff_t>(firstEnd), "app.exe"); }},
      {"a path that climbs out",
       [&](auto& l) {
         l.insert(l.begin() + static_cast<std::ptrdiff_t>(firstEnd), App("..\\..\\Windows\\win.ini"));
       }},
      {"a device path", [&](auto& l) { l[l.size() - 2] = "\\\\?\\C:\\Windows\\win.ini"; }},
      {"a NUL in a path", [&](auto& l) { l[firstEnd - 1] += std::string(1, '\0') + ".txt"; }},
      {"an association without its end", [&](auto& l) {
         const auto end = std::find(l.begin() + static_cast<std::ptrdiff_t>(tst), l.end(), "%");
         l.erase(end);
       }},
      {"a count that runs past the end", [&](auto& l) { l[find("2", version + 17)] = "9999"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> bad = lines;
    c.change(bad);
    std::string text;
    for (const std::string& l : bad) text += l + "\r\n";
    Write(Log(), text);
    const std::vector<std::string> installed = Snapshot();
    dialogs.shown.clear();
    EXPECT_EQ(Uninstall(Log()), kUninstallFailed);
    EXPECT_EQ(Diff(installed, Snapshot()), "");
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(regsvr32Calls.size() == 1);
  }
  // Without /silent the refusal says what and where.
  dialogs.shown.clear();
  EXPECT_EQ(Uninstall(Log(), {}), kUninstallFailed);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_NE(dialogs.shown[0].text.find("cannot be used, so nothing was removed"), std::string::npos);
  EXPECT_NE(dialogs.shown[0].text.find("line "), std::string::npos) << dialogs.shown[0].text;
  EXPECT_EQ(dialogs.shown[0].style, MB_OK_ | MB_ICONERROR_);
  // Nor is a log named by anything but its full local path used.
  for (const std::string& path : {std::string("Stowa.log"), "\\\\?\\" + Log(), App("..\\Test Product\\Stowa.log")}) {
    EXPECT_EQ(Uninstall(path), kUninstallFailed) << path;
  }
  EXPECT_EQ(Uninstall("C:\\nowhere\\Stowa.log"), kUninstallFailed);
  EXPECT_EQ(RunUninstaller({sys.ProgramFile()}), kUninstallFailed);
}

TEST_F(UninstallTest, KeysThatNoProductOwnsStayWhateverTheLogSays) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  std::vector<std::string> lines = LogLines(Log());
  const auto end = std::find(lines.begin(), lines.end(), "%%%");
  // Hand-made lines: whole structural keys, which no package may remove.
  lines.insert(end + 1, {"HKEY_LOCAL_MACHINE\\Software\t*", "HKEY_AUTO\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\t*",
                         "HKEY_CLASSES_ROOT\\CLSID\t*"});
  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  Write(Log(), text);
  EXPECT_EQ(Uninstall(Log()), kUninstallFailed);
  EXPECT_EQ(result.NotRemoved.size(), 3u);
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, "Software\\Microsoft"));
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kCurrentVersion + "\\Uninstall"));
  EXPECT_TRUE(reg.KeyExists(RegRoot::ClassesRoot, "CLSID"));
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, "Software\\Test Works\\Shared"));
  // The Run key stays, its value gone; so does the program type of the
  // other program and the shared counts.
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kRun));
  EXPECT_FALSE(reg.ReadString(RegRoot::LocalMachine, kRun, "Test App"));
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kShared));
}

TEST_F(UninstallTest, TheUninstallerRemovesItselfThroughACopyThatWaitsForIt) {
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // The copy of an earlier removal that could not leave itself to the
  // restart: this removal clears it; a folder of that name that holds
  // something else stays.
  ASSERT_TRUE(fs.CreatePrivateFolder("C:\\Temp\\stwu0000ABCD"));
  Write("C:\\Temp\\stwu0000ABCD\\UnStowa.exe", "an earlier copy");
  ASSERT_TRUE(fs.CreatePrivateFolder("C:\\Temp\\stwu0000ABCE"));
  Write("C:\\Temp\\stwu0000ABCE\\notes.txt", "somebody's notes");
  // Started as the uninstall command starts it: UnStowa.exe of the
  // application folder.
  sys.Set("program", App("UnStowa.exe"));
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  // Everything but the running program and its folder is gone.
  EXPECT_TRUE(fs.FileExists(App("UnStowa.exe")));
  EXPECT_EQ(fs.ListFolder(App(), "", "").size(), 1u);
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")));
  EXPECT_EQ(result.Self.file, App("UnStowa.exe"));
  EXPECT_EQ(result.Self.folders, std::vector<std::string>{App()});
  // The copy, in a private folder of the temporary folder, was started
  // to finish the work once this process has ended.
  const std::vector<std::string> args = SplitCommandLine(selfRemovalCommand);
  ASSERT_EQ(args.size(), 5u) << selfRemovalCommand;
  const std::string copy = args[0];
  EXPECT_EQ(ExtractFileName(copy), "UnStowa.exe");
  EXPECT_TRUE(StartsWith(copy, "C:\\Temp\\stwu"));
  EXPECT_EQ(Read(copy), Read(App("UnStowa.exe")));
  EXPECT_EQ(args[1], kFinishSwitch);
  EXPECT_EQ(args[2], std::to_string(sys.ProcessId()));
  EXPECT_EQ(args[3], App("UnStowa.exe"));
  EXPECT_EQ(args[4], App());
  const std::vector<std::string> started = Started();
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started.back(), "start\t" + copy + "\t" + selfRemovalCommand);

  // The copy's run.
  sys.Set("program", copy);
  EXPECT_EQ(RunUninstaller(args), kUninstallDone);
  EXPECT_FALSE(fs.DirectoryExists(App()));
  const std::string copyFolder = ExtractFileDir(copy);
  EXPECT_EQ(fs.PendingRenames(), (std::vector<std::string>{copy + "\t", copyFolder + "\t"}));
  // What is left is the copy itself, until the restart.
  std::vector<std::string> expected = before;
  const std::string native = "C/Temp/" + ExtractFileName(copyFolder);
  expected.push_back("folder " + native);
  expected.push_back("folder C/Temp/stwu0000ABCE");
  for (const std::string& line : Snapshot())
    if (StartsWith(line, "file C/Temp/stwu0000ABCE/")) expected.push_back(line);
  for (const std::string& line : Snapshot())
    if (StartsWith(line, "file " + native + "/")) expected.push_back(line);
  EXPECT_EQ(Diff(expected, Snapshot()), "");
  EXPECT_EQ(expected.size(), before.size() + 4);
}

TEST_F(UninstallTest, ASharedUninstallerStaysAndTheCopyTakesNoForeignWork) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  PackageManifest second = Product();
  second.productKey = "Second Product";
  ASSERT_EQ(Run(Build(second, "second-setup.exe"), {"/silent"}), kExitSuccess);
  sys.Set("program", App("UnStowa.exe"));
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_FALSE(result.Self.Planned());
  EXPECT_EQ(selfRemovalCommand, "");
  EXPECT_TRUE(fs.FileExists(App("UnStowa.exe")));
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kShared, App("UnStowa.exe")), 1u);

  // Started by anybody with other arguments, the copy's switch removes
  // nothing but an uninstaller and the folders that hold it.
  const std::string notepad = "C:\\Windows\\notepad.exe";
  Write(notepad, "a program");
  const std::vector<std::string> state = Snapshot();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"UnStowa.exe", kFinishSwitch, "1", notepad},
        std::vector<std::string>{"UnStowa.exe", kFinishSwitch, "1", App("UnStowa.exe"), "C:\\Windows"},
        std::vector<std::string>{"UnStowa.exe", kFinishSwitch, "x", App("UnStowa.exe")},
        std::vector<std::string>{"UnStowa.exe", kFinishSwitch, "1", "UnStowa.exe"},
        std::vector<std::string>{"UnStowa.exe", kFinishSwitch}})
    EXPECT_EQ(RunUninstaller(args), kUninstallFailed) << args.size();
  EXPECT_EQ(Diff(state, Snapshot()), "");
}

TEST_F(UninstallTest, AnAllUsersRemovalWithoutTheRightsRunsAnElevatedCopy) {
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  const std::vector<std::string> installed = Snapshot();
  sys.Set("admin", "0");
  sys.Set("elevated", "0");
  const std::string program = sys.ProgramFile();
  // The user refuses the system's prompt: nothing changes.
  HostShell::Program refused;
  refused.decline = true;
  shell.Script(ExtractFileName(program), refused);
  EXPECT_EQ(Uninstall(Log()), kUninstallCancelled);
  EXPECT_EQ(Diff(installed, Snapshot()), "");
  // With the rights, the elevated copy removes the product and its exit
  // code is this run's.
  HostShell::Program elevated;
  std::string parameters;
  elevated.run = [&](const std::string& params) -> uint32_t {
    parameters = params;
    sys.Set("admin", "1");
    sys.Set("elevated", "1");
    std::vector<std::string> args = {program};
    for (const std::string& a : SplitCommandLine(params)) args.push_back(a);
    TUninstallRun child({fs, reg, sys, dialogs, shell}, args);
    return static_cast<uint32_t>(child.Main());
  };
  shell.Script(ExtractFileName(program), elevated);
  EXPECT_EQ(Uninstall(Log(), {"/silent", "/suppressmsgboxes"}), kUninstallDone);
  EXPECT_EQ(parameters, "\"" + Log() + "\" /silent /suppressmsgboxes /elevate");
  const std::vector<std::string> started = Started();
  const auto relaunch = std::find_if(started.rbegin(), started.rend(),
                                     [](const std::string& e) { return StartsWith(e, "shell\t"); });
  ASSERT_NE(relaunch, started.rend());
  EXPECT_EQ(*relaunch, "shell\t" + program + "\trunas\t" + parameters + "\t1\tnoowner");
  sys.Set("admin", "");
  sys.Set("elevated", "");
  EXPECT_EQ(Diff(before, Snapshot()), "");
}

TEST_F(UninstallTest, ACurrentUserRemovalNeedsNoElevation) {
  const std::vector<std::string> before = Snapshot();
  // Nothing of the machine's own: a current-user product (the setup's
  // rights test writes there, though, as the end shows).
  PackageManifest m = RichProduct(2);
  std::vector<RegistryRootEntry> entries = RichRegistry();
  entries.pop_back();
  m.registryData = EncodeRegistryData(entries);
  // regsvr32 registers a component for the machine, whoever installs it.
  for (BuildItem& it : m.components[0].root.folders[0].items) it.file.SelfRegister = false;
  ASSERT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  sys.Set("admin", "0");
  sys.Set("elevated", "0");
  const size_t events = shell.Events().size();
  EXPECT_EQ(Uninstall(kLocalAppData + "\\Test Product\\Stowa.log"), kUninstallDone);
  for (size_t i = events; i < shell.Events().size(); ++i) EXPECT_FALSE(StartsWith(shell.Events()[i], "shell\t"));
  sys.Set("admin", "");
  sys.Set("elevated", "");
  // The installation's HKLM\...\Carrovit "Stub" of its rights test goes
  // only with the machine's rights: it is the one thing left.
  const std::string diff = Diff(before, Snapshot());
  for (const std::string& line : SplitLines(diff))
    EXPECT_NE(line.find("Wow6432Node\\Orvane"), std::string::npos) << line;
}

TEST_F(UninstallTest, AStaleLogLeavesTheEntryOfTheProductsNewerInstallation) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // The product's value names another log, which is there: the product
  // lives on elsewhere and this log is a leftover.
  const std::string other = "C:\\Other\\Stowa.log";
  Write(other, "another installation's log");
  reg.WriteString(RegRoot::LocalMachine, kProducts, "Test Product", other);
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_EQ(reg.ReadString(RegRoot::LocalMachine, kProducts, "Test Product"), other);
  EXPECT_TRUE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}

TEST_F(UninstallTest, ACopyOfTheLogIsNoOtherInstallation) {
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  // A copy of the log beside it keeps nothing of what the log names.
  Write(App("Stowa2.log"), Read(Log()));
  EXPECT_EQ(Uninstall(Log()), kUninstallDone);
  EXPECT_EQ(fs.ListFolder(App(), "", "").size(), 1u);
  EXPECT_TRUE(fs.FileExists(App("Stowa2.log")));
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
}

TEST_F(UninstallTest, TheHostToolRunsTheSameRemoval) {
  // The tool's regsvr32 is the machine's own, unscripted: it runs and
  // does nothing.
  Write("C:\\Windows\\System32\\regsvr32.exe", "a program");
  const std::vector<std::string> before = Snapshot();
  ASSERT_EQ(Run(Build(RichProduct(1)), {"/silent"}), kExitSuccess);
  const std::string tool = std::string(STW_UNINSTALL_HOST);
  const std::string command = "'" + tool + "' --machine '" + root + "' '" + Log() + "' /silent 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  // So the component's class that the fixture's regsvr32 wrote stays.
  EXPECT_TRUE(reg.KeyExists(RegRoot::ClassesRoot, "CLSID\\{comp.dll}"));
  reg.DeleteKey(RegRoot::ClassesRoot, "CLSID\\{comp.dll}");
  EXPECT_EQ(Diff(before, Snapshot()), "");
}

}  // namespace
}  // namespace stw::test
