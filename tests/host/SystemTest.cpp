// Folder variables and the command line, against a fake machine whose
// Windows lives in C:\FakeWin.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "system/CommandLine.h"
#include "system/FolderVariables.h"

using namespace stw;

namespace {

const char kCv[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kShell[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// A registry of text values and a set of existing folders.
struct FakeMachine {
  std::map<std::tuple<bool, std::string, std::string>, std::string> values;
  std::set<std::string> folders;
  std::vector<std::tuple<bool, std::string, std::string>> queries;

  void Set(bool localMachine, const std::string& key, const std::string& value, const std::string& data) {
    values[{localMachine, key, value}] = data;
  }
  SystemFacts Facts(std::string windows = "C:\\FakeWin", std::string system = "C:\\FakeWin\\System32") {
    SystemFacts f;
    f.windowsFolder = std::move(windows);
    f.systemFolder = std::move(system);
    f.readRegistry = [this](bool lm, const std::string& key, const std::string& value) -> std::optional<std::string> {
      queries.emplace_back(lm, key, value);
      auto it = values.find({lm, key, value});
      if (it == values.end()) return std::nullopt;
      return it->second;
    };
    f.folderExists = [this](const std::string& path) { return folders.count(path) != 0; };
    return f;
  }
};

// A typical machine: a user profile with its shell folders and the
// machine-wide folders under C:\FakeUsers\Public, all existing.
FakeMachine TypicalMachine() {
  FakeMachine m;
  m.Set(true, kCv, "ProgramFilesDir", "C:\\FakePF");
  m.Set(true, kCv, "CommonFilesDir", "C:\\FakePF\\Common");
  const std::string user = "C:\\FakeUsers\\ann\\";
  m.Set(false, kShell, "Start Menu", user + "Start Menu");
  m.Set(false, kShell, "Programs", user + "Start Menu\\Programs");
  m.Set(false, kShell, "Startup", user + "Start Menu\\Programs\\Startup");
  m.Set(false, kShell, "Desktop", user + "Desktop");
  m.Set(false, kShell, "SendTo", user + "SendTo");
  m.Set(false, kShell, "Personal", user + "Documents");
  m.Set(false, kShell, "AppData", user + "AppData\\Roaming");
  m.Set(false, kShell, "Local AppData", user + "AppData\\Local");
  const std::string pub = "C:\\FakeUsers\\Public\\";
  const std::pair<const char*, std::string> common[] = {
      {"Common Start Menu", pub + "Start Menu"}, {"Common Programs", pub + "Start Menu\\Programs"},
      {"Common Startup", pub + "Start Menu\\Programs\\Startup"}, {"Common Desktop", pub + "Desktop"},
      {"Common Documents", pub + "Documents"}, {"Common AppData", "C:\\FakeData"}};
  for (const auto& [name, path] : common) {
    m.Set(true, kShell, name, path);
    m.folders.insert(path);
  }
  return m;
}

TSpecialFolder Folder(std::string all, std::string current, bool shared = false) {
  TSpecialFolder f;
  f.Description = "folder";
  f.AllUsersPath = std::move(all);
  f.CurrentUserPath = std::move(current);
  f.Shared = shared;
  return f;
}

// The form's state for the resolvers, with the four standard variables.
struct FakeSetup {
  SystemFolders system;
  FolderVariableList variables;
  FolderContext ctx;

  explicit FakeSetup(uint8_t userType = 1) {
    FakeMachine m = TypicalMachine();
    system = LoadSystemFolders(m.Facts());
    variables = {
        {"%APPFOLDER%", Folder("%PROGRAMFILES%\\Fake Product", "%LOCALAPPDATAROOT%\\Fake Product")},
        {"%APPCOMMONFOLDER%", Folder("%COMMONAPPDATAROOT%\\Fake", "%APPDATAROOT%\\Fake", true)},
        {"%APPMENU%", Folder("%PROGRAMSMENU%\\Fake", "%PROGRAMSMENU%\\Fake")},
        {"%USERDATA%", Folder("%MYDOCUMENTS%\\Fake", "%MYDOCUMENTS%\\Fake")},
    };
    ctx.system = &system;
    ctx.variables = &variables;
    ctx.userType = userType;
    ctx.setupFile = "D:\\Downloads\\fake-setup.exe";
  }
  std::string Expand(const std::string& path) {
    bool shared = false, font = false;
    return ExpandFolderPath(path, ctx, shared, font);
  }
};

}  // namespace

// ---- LoadSystemFolders

TEST(SystemFolders, FallbacksWhenNothingCanBeRead) {
  const SystemFolders f = LoadSystemFolders(SystemFacts{});
  EXPECT_EQ(f.Windows, "C:\\Windows");
  EXPECT_EQ(f.SystemDrive, "C:");
  EXPECT_EQ(f.System, "C:\\Windows\\System");
  EXPECT_EQ(f.Fonts, "C:\\Windows\\Fonts");
  EXPECT_EQ(f.ProgramFiles, "C:\\Program Files");
  EXPECT_EQ(f.CommonFiles, "C:\\Program Files\\Common Files");
  EXPECT_EQ(f.StartMenuAllUsers, "C:\\Windows\\Start Menu");
  EXPECT_EQ(f.ProgramsAllUsers, "C:\\Windows\\Start Menu\\Programs");
  EXPECT_EQ(f.StartupAllUsers, "C:\\Windows\\Start Menu\\Programs\\StartUp");
  EXPECT_EQ(f.DesktopAllUsers, "C:\\Windows\\Desktop");
  EXPECT_EQ(f.StartMenuCurrentUser, f.StartMenuAllUsers);
  EXPECT_EQ(f.ProgramsCurrentUser, f.ProgramsAllUsers);
  EXPECT_EQ(f.StartupCurrentUser, f.StartupAllUsers);
  EXPECT_EQ(f.DesktopCurrentUser, f.DesktopAllUsers);
  EXPECT_EQ(f.SendTo, "C:\\Windows\\SendTo");
  EXPECT_EQ(f.Documents, "C:\\My Documents");
  EXPECT_EQ(f.CommonDocuments, "C:\\My Documents");
  EXPECT_EQ(f.AppData, "C:\\Windows\\Application Data");
  EXPECT_EQ(f.LocalAppData, f.AppData);
  EXPECT_EQ(f.CommonAppData, f.AppData);
}

TEST(SystemFolders, FallbacksFollowTheWindowsFolderAndItsDrive) {
  FakeMachine m;
  const SystemFolders f = LoadSystemFolders(m.Facts("E:\\FakeWin\\", ""));
  EXPECT_EQ(f.Windows, "E:\\FakeWin");
  EXPECT_EQ(f.SystemDrive, "E:");
  EXPECT_EQ(f.System, "E:\\FakeWin\\System");
  EXPECT_EQ(f.Fonts, "E:\\FakeWin\\Fonts");
  EXPECT_EQ(f.Documents, "E:\\My Documents");
  EXPECT_EQ(f.DesktopCurrentUser, "E:\\FakeWin\\Desktop");
  // Program files are not derived from the Windows folder.
  EXPECT_EQ(f.ProgramFiles, "C:\\Program Files");

  const SystemFolders unc = LoadSystemFolders(m.Facts("\\\\server\\share\\FakeWin", "\\\\server\\share\\FakeWin\\Sys"));
  EXPECT_EQ(unc.SystemDrive, "\\\\server\\share");
  EXPECT_EQ(unc.System, "\\\\server\\share\\FakeWin\\Sys");
  const SystemFolders noDrive = LoadSystemFolders(m.Facts("FakeWin", ""));
  EXPECT_EQ(noDrive.SystemDrive, "C:");
}

TEST(SystemFolders, RegistryValuesReplaceTheFallbacksWithoutTrailingBackslash) {
  FakeMachine m = TypicalMachine();
  m.Set(true, kCv, "ProgramFilesDir", "C:\\FakePF\\");
  m.Set(false, kShell, "Desktop", "C:\\FakeUsers\\ann\\Desktop\\");
  const SystemFolders f = LoadSystemFolders(m.Facts("C:\\FakeWin", "C:\\FakeWin\\System32\\"));
  EXPECT_EQ(f.System, "C:\\FakeWin\\System32");
  EXPECT_EQ(f.ProgramFiles, "C:\\FakePF");
  EXPECT_EQ(f.CommonFiles, "C:\\FakePF\\Common");
  EXPECT_EQ(f.StartMenuCurrentUser, "C:\\FakeUsers\\ann\\Start Menu");
  EXPECT_EQ(f.ProgramsCurrentUser, "C:\\FakeUsers\\ann\\Start Menu\\Programs");
  EXPECT_EQ(f.StartupCurrentUser, "C:\\FakeUsers\\ann\\Start Menu\\Programs\\Startup");
  EXPECT_EQ(f.DesktopCurrentUser, "C:\\FakeUsers\\ann\\Desktop");
  EXPECT_EQ(f.SendTo, "C:\\FakeUsers\\ann\\SendTo");
  EXPECT_EQ(f.Documents, "C:\\FakeUsers\\ann\\Documents");
  EXPECT_EQ(f.AppData, "C:\\FakeUsers\\ann\\AppData\\Roaming");
  EXPECT_EQ(f.LocalAppData, "C:\\FakeUsers\\ann\\AppData\\Local");
  EXPECT_EQ(f.StartMenuAllUsers, "C:\\FakeUsers\\Public\\Start Menu");
  EXPECT_EQ(f.ProgramsAllUsers, "C:\\FakeUsers\\Public\\Start Menu\\Programs");
  EXPECT_EQ(f.StartupAllUsers, "C:\\FakeUsers\\Public\\Start Menu\\Programs\\Startup");
  EXPECT_EQ(f.DesktopAllUsers, "C:\\FakeUsers\\Public\\Desktop");
  EXPECT_EQ(f.CommonDocuments, "C:\\FakeUsers\\Public\\Documents");
  EXPECT_EQ(f.CommonAppData, "C:\\FakeData");
  // The fonts folder never comes from the registry.
  EXPECT_EQ(f.Fonts, "C:\\FakeWin\\Fonts");
}

TEST(SystemFolders, CommonFilesFollowANewProgramFilesFolderWhenTheirValueIsMissingOrEmpty) {
  FakeMachine m;
  m.Set(true, kCv, "ProgramFilesDir", "D:\\Apps");
  EXPECT_EQ(LoadSystemFolders(m.Facts()).CommonFiles, "D:\\Apps\\Common Files");
  m.Set(true, kCv, "CommonFilesDir", "");
  EXPECT_EQ(LoadSystemFolders(m.Facts()).CommonFiles, "D:\\Apps\\Common Files");
  m.Set(true, kCv, "ProgramFilesDir", "");
  EXPECT_EQ(LoadSystemFolders(m.Facts()).ProgramFiles, "C:\\Program Files");
}

TEST(SystemFolders, TheUsersFoldersStandInForTheAllUsersFolders) {
  FakeMachine m;
  m.Set(false, kShell, "Start Menu", "C:\\U\\Start Menu");
  m.Set(false, kShell, "Desktop", "C:\\U\\Desktop");
  m.Set(false, kShell, "AppData", "C:\\U\\Roaming");
  const SystemFolders f = LoadSystemFolders(m.Facts());
  EXPECT_EQ(f.StartMenuAllUsers, "C:\\U\\Start Menu");
  // Missing "Programs" and "Startup" are derived from the user's start menu.
  EXPECT_EQ(f.ProgramsCurrentUser, "C:\\U\\Start Menu\\Programs");
  EXPECT_EQ(f.ProgramsAllUsers, "C:\\U\\Start Menu\\Programs");
  EXPECT_EQ(f.StartupCurrentUser, "C:\\U\\Start Menu\\Programs\\StartUp");
  EXPECT_EQ(f.StartupAllUsers, "C:\\U\\Start Menu\\Programs\\StartUp");
  EXPECT_EQ(f.DesktopAllUsers, "C:\\U\\Desktop");
  EXPECT_EQ(f.CommonAppData, "C:\\U\\Roaming");
  // Local application data keeps its fallback; the documents value does
  // not move the common documents.
  EXPECT_EQ(f.LocalAppData, "C:\\FakeWin\\Application Data");
  EXPECT_EQ(f.CommonDocuments, "C:\\My Documents");
}

TEST(SystemFolders, MachineWideFoldersCountOnlyWhenTheyExist) {
  FakeMachine m = TypicalMachine();
  m.folders.erase("C:\\FakeUsers\\Public\\Desktop");
  m.folders.erase("C:\\FakeData");
  const SystemFolders f = LoadSystemFolders(m.Facts());
  EXPECT_EQ(f.DesktopAllUsers, "C:\\FakeUsers\\ann\\Desktop");
  EXPECT_EQ(f.CommonAppData, "C:\\FakeUsers\\ann\\AppData\\Roaming");
  EXPECT_EQ(f.StartMenuAllUsers, "C:\\FakeUsers\\Public\\Start Menu");
}

TEST(SystemFolders, MachineWideFoldersAreNotAskedForOutsideTheNtFamily) {
  FakeMachine m = TypicalMachine();
  SystemFacts facts = m.Facts();
  facts.ntFamily = false;
  const SystemFolders f = LoadSystemFolders(facts);
  EXPECT_EQ(f.DesktopAllUsers, "C:\\FakeUsers\\ann\\Desktop");
  EXPECT_EQ(f.CommonDocuments, "C:\\My Documents");
  for (const auto& [lm, key, value] : m.queries) EXPECT_FALSE(lm && key == kShell) << value;
}

TEST(SystemFolders, RegistryIsReadInTheDocumentedOrder) {
  FakeMachine m;
  LoadSystemFolders(m.Facts());
  std::vector<std::string> names;
  for (const auto& [lm, key, value] : m.queries) names.push_back((lm ? "M:" : "U:") + value);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "M:ProgramFilesDir", "M:CommonFilesDir", "U:Start Menu", "U:Programs", "U:Startup",
                       "U:Desktop", "U:SendTo", "U:Personal", "U:AppData", "U:Local AppData",
                       "M:Common Start Menu", "M:Common Programs", "M:Common Startup", "M:Common Desktop",
                       "M:Common Documents", "M:Common AppData"}));
}

// ---- Folder variable paths by user type

TEST(SystemFolderVariables, PathForReadsAndWritesByUserType) {
  TSpecialFolder f = Folder("A", "C");
  EXPECT_EQ(PathFor(f, 1), "A");
  EXPECT_EQ(PathFor(f, 2), "C");
  EXPECT_EQ(PathFor(f, 6), "C");
  EXPECT_EQ(PathFor(f, 3), "C");  // before the choice the bits are not a choice of all users
  SetPathFor(f, 1, "A2");
  SetPathFor(f, 6, "C2");
  EXPECT_EQ(f.AllUsersPath, "A2");
  EXPECT_EQ(f.CurrentUserPath, "C2");
}

TEST(SystemFolderVariables, LookupByNameIgnoresCase) {
  FakeSetup s;
  ASSERT_NE(FindFolderVariable(s.variables, "%appMenu%"), nullptr);
  EXPECT_EQ(FindFolderVariable(s.variables, "%appMenu%"), &s.variables[2].second);
  EXPECT_EQ(FindFolderVariable(s.variables, "%APPMENU"), nullptr);
}

TEST(SystemFolderVariables, DriveOfPath) {
  EXPECT_EQ(DriveOfPath("C:\\x\\y"), "C:");
  EXPECT_EQ(DriveOfPath("d:"), "d:");
  EXPECT_EQ(DriveOfPath("\\\\srv\\share\\dir\\f"), "\\\\srv\\share");
  EXPECT_EQ(DriveOfPath("\\\\srv\\share"), "\\\\srv\\share");
  EXPECT_EQ(DriveOfPath("\\x\\y"), "");
  EXPECT_EQ(DriveOfPath("x"), "");
  EXPECT_EQ(DriveOfPath(""), "");
}

// ---- ExpandFolderPath

TEST(SystemFolderVariables, PathsWithoutAWellFormedVariableStayUnchanged) {
  FakeSetup s;
  for (const char* p : {"", "C:\\x", "PROGRAMFILES%\\x", "%PROGRAMFILES", "%PROGRAMFILES\\x%", "%", "%%",
                        "%PROGRAM FILES%", "%UNKNOWN%\\x", "x%PROGRAMFILES%"})
    EXPECT_EQ(s.Expand(p), p) << p;
}

TEST(SystemFolderVariables, LowerCaseVariablesResolveLikeUpperCase) {
  FakeSetup s;
  EXPECT_EQ(s.Expand("%programfiles%\\A"), "C:\\FakePF\\A");
  EXPECT_EQ(s.Expand("%ProgramFiles%\\A"), s.Expand("%PROGRAMFILES%\\A"));
  EXPECT_EQ(s.Expand("%appfolder%"), "%PROGRAMFILES%\\Fake Product");
}

TEST(SystemFolderVariables, AnUnderscoreEndsTheName) {
  FakeSetup s;
  s.variables.emplace_back("%MY_DATA%", Folder("C:\\Data", "C:\\Data"));
  EXPECT_EQ(s.Expand("%MY_DATA%\\x"), "%MY_DATA%\\x");
  s.ctx.supportFolderText = "%MY_DATA%C:\\Support";
  EXPECT_EQ(s.Expand("%MY_DATA%\\x"), "%MY_DATA%\\x");
}

TEST(SystemFolderVariables, TheRestIsAppendedUnchanged) {
  FakeSetup s;
  EXPECT_EQ(s.Expand("%PROGRAMFILES%\\Name"), "C:\\FakePF\\Name");
  EXPECT_EQ(s.Expand("%PROGRAMFILES%Name"), "C:\\FakePF" "Name");
  EXPECT_EQ(s.Expand("%PROGRAMFILES%"), "C:\\FakePF");
  EXPECT_EQ(s.Expand("%PROGRAMFILES%\\%WINDOWS%"), "C:\\FakePF\\%WINDOWS%");
}

TEST(SystemFolderVariables, EveryTableVariableAndItsFlags) {
  FakeSetup s(2);
  struct Case {
    const char* variable;
    std::string folder;
    bool shared, font;
  };
  const SystemFolders& t = s.system;
  const Case cases[] = {
      {"%PROGRAMFILES%", t.ProgramFiles, false, false},
      {"%COMMONFILES%", t.CommonFiles, true, false},
      {"%STARTMENU%", t.StartMenuCurrentUser, false, false},
      {"%PROGRAMSMENU%", t.ProgramsCurrentUser, false, false},
      {"%DESKTOP%", t.DesktopCurrentUser, false, false},
      {"%STARTUP%", t.StartupCurrentUser, false, false},
      {"%SENDTO%", t.SendTo, false, false},
      {"%MYDOCUMENTS%", t.Documents, false, false},
      {"%COMMONDOCUMENTS%", t.CommonDocuments, false, false},
      {"%APPDATAROOT%", t.AppData, false, false},
      {"%LOCALAPPDATAROOT%", t.LocalAppData, false, false},
      {"%COMMONAPPDATAROOT%", t.CommonAppData, false, false},
      {"%WINDOWS%", "C:\\FakeWin", true, false},
      {"%SYSTEM%", "C:\\FakeWin\\System32", true, false},
      {"%FONTS%", "C:\\FakeWin\\Fonts", false, true},
      {"%SYSTEMDRIVE%", "C:", false, false},
      {"%SETUPFOLDER%", "D:\\Downloads\\", false, false},
      {"%SETUPDRIVE%", "D:", false, false},
  };
  for (const Case& c : cases) {
    bool shared = false, font = false;
    EXPECT_EQ(ExpandFolderPath(std::string(c.variable) + "x", s.ctx, shared, font), c.folder + "x") << c.variable;
    EXPECT_EQ(shared, c.shared) << c.variable;
    EXPECT_EQ(font, c.font) << c.variable;
    // The flags are only ever set by the table, never cleared.
    shared = font = true;
    ExpandFolderPath(std::string(c.variable) + "x", s.ctx, shared, font);
    EXPECT_TRUE(shared && font) << c.variable;
  }
}

TEST(SystemFolderVariables, MenusAndDesktopFollowTheUserType) {
  FakeSetup all(1), current(2), admin(6);
  EXPECT_EQ(all.Expand("%DESKTOP%\\a.lnk"), "C:\\FakeUsers\\Public\\Desktop\\a.lnk");
  EXPECT_EQ(current.Expand("%DESKTOP%\\a.lnk"), "C:\\FakeUsers\\ann\\Desktop\\a.lnk");
  EXPECT_EQ(admin.Expand("%DESKTOP%\\a.lnk"), "C:\\FakeUsers\\ann\\Desktop\\a.lnk");
  EXPECT_EQ(all.Expand("%STARTMENU%"), "C:\\FakeUsers\\Public\\Start Menu");
  EXPECT_EQ(current.Expand("%STARTMENU%"), "C:\\FakeUsers\\ann\\Start Menu");
  EXPECT_EQ(all.Expand("%PROGRAMSMENU%"), "C:\\FakeUsers\\Public\\Start Menu\\Programs");
  EXPECT_EQ(current.Expand("%PROGRAMSMENU%"), "C:\\FakeUsers\\ann\\Start Menu\\Programs");
  EXPECT_EQ(all.Expand("%STARTUP%"), "C:\\FakeUsers\\Public\\Start Menu\\Programs\\Startup");
  EXPECT_EQ(current.Expand("%STARTUP%"), "C:\\FakeUsers\\ann\\Start Menu\\Programs\\Startup");
}

TEST(SystemFolderVariables, WithoutMachineWideValuesBothUserTypesGetTheUsersDesktop) {
  FakeMachine m = TypicalMachine();
  for (const char* name : {"Common Start Menu", "Common Programs", "Common Startup", "Common Desktop",
                           "Common Documents", "Common AppData"})
    m.values.erase({true, kShell, name});
  const SystemFolders table = LoadSystemFolders(m.Facts());
  FolderContext ctx;
  ctx.system = &table;
  bool shared = false, font = false;
  ctx.userType = 1;
  const std::string forAll = ExpandFolderPath("%DESKTOP%", ctx, shared, font);
  ctx.userType = 2;
  const std::string forUser = ExpandFolderPath("%DESKTOP%", ctx, shared, font);
  EXPECT_EQ(forAll, "C:\\FakeUsers\\ann\\Desktop");
  EXPECT_EQ(forUser, "C:\\FakeUsers\\ann\\Desktop");
}

TEST(SystemFolderVariables, SetupVariablesComeFirstAndSetTheSharedFlagBothWays) {
  FakeSetup s(1);
  // A setup variable may even shadow a system one.
  s.variables.emplace_back("%WINDOWS%", Folder("E:\\Elsewhere", "F:\\Elsewhere", false));
  bool shared = true, font = false;
  EXPECT_EQ(ExpandFolderPath("%windows%\\x", s.ctx, shared, font), "E:\\Elsewhere\\x");
  EXPECT_FALSE(shared);
  EXPECT_EQ(ExpandFolderPath("%APPCOMMONFOLDER%\\x", s.ctx, shared, font), "%COMMONAPPDATAROOT%\\Fake\\x");
  EXPECT_TRUE(shared);
  s.ctx.userType = 2;
  EXPECT_EQ(ExpandFolderPath("%WINDOWS%", s.ctx, shared, font), "F:\\Elsewhere");
  EXPECT_EQ(ExpandFolderPath("%APPCOMMONFOLDER%", s.ctx, shared, font), "%APPDATAROOT%\\Fake");
  // A support variable of the same name loses against the setup's own.
  s.ctx.supportFolderText = "%APPMENU%Z:\\Menu";
  EXPECT_EQ(ExpandFolderPath("%APPMENU%", s.ctx, shared, font), "%PROGRAMSMENU%\\Fake");
  // ...and against the system table.
  s.ctx.supportFolderText = "%PROGRAMFILES%Z:\\PF";
  EXPECT_EQ(ExpandFolderPath("%PROGRAMFILES%", s.ctx, shared, font), "C:\\FakePF");
}

TEST(SystemFolderVariables, RootFoldersStayBelowTheirVariable) {
  FakeSetup s(1);
  for (const char* good : {"%APPFOLDER%", "%APPFOLDER%\\", "%appfolder%\\bin", "%APPFOLDER%\\bin\\x64\\",
                           "%PROGRAMFILES%\\Vendor\\Tool", "%SYSTEM%"})
    EXPECT_EQ(WhyUnsafeRootFolder(good, s.ctx), "") << good;
  // Each would install beside or above the variable's folder, onto another
  // drive, or into a name Windows reads otherwise.
  for (const char* bad : {"%APPFOLDER%\\..\\x", "%APPFOLDER%\\bin\\..\\..\\x", "%APPFOLDER%\\.", "C:\\x", "Z:\\x",
                          "\\\\srv\\share\\x", "x", "", "%APPFOLDER%\\CON", "%APPFOLDER%\\COM\u00B9",
                          "%APPFOLDER%\\x:y", "%APPFOLDER%\\x.", "%APPFOLDER%\\x \\y", "%APPFOLDER%x",
                          "%APPFOLDER%\\a\\\\b", "%APPFOLDER%\\a/b", "%NOSUCHFOLDER%\\x", "%APP_FOLDER%\\x"})
    EXPECT_NE(WhyUnsafeRootFolder(bad, s.ctx), "") << bad;
}

TEST(SystemFolderVariables, AnUnregisteredApplicationFolderStaysUnchanged) {
  // A definition whose application folder has two empty paths does not
  // register the variable at all.
  FakeSetup s;
  s.variables.erase(s.variables.begin());
  EXPECT_EQ(s.Expand("%APPFOLDER%\\bin"), "%APPFOLDER%\\bin");
}

TEST(SystemFolderVariables, SupportFolderTextEntries) {
  FakeSetup s;
  s.ctx.supportFolderText = "%DATA%E:\\Data%SHAREDBIN%*E:\\Shared\\Bin%Last%e:\\last";
  bool shared = false, font = false;
  EXPECT_EQ(ExpandFolderPath("%DATA%\\x", s.ctx, shared, font), "E:\\Data\\x");
  EXPECT_FALSE(shared);
  EXPECT_EQ(ExpandFolderPath("%SharedBin%\\y", s.ctx, shared, font), "E:\\Shared\\Bin\\y");
  EXPECT_TRUE(shared);
  // The name in the text is found without regard to case; the folder keeps
  // the case it was given in.
  EXPECT_EQ(ExpandFolderPath("%LAST%", s.ctx, shared, font), "e:\\last");
  EXPECT_EQ(ExpandFolderPath("%LAS%", s.ctx, shared, font), "%LAS%");
  EXPECT_FALSE(font);
  s.ctx.supportFolderText = "%EMPTY%";
  EXPECT_EQ(ExpandFolderPath("%EMPTY%\\z", s.ctx, shared, font), "\\z");
  s.ctx.supportFolderText = "%STAR%*";
  shared = false;
  EXPECT_EQ(ExpandFolderPath("%STAR%\\z", s.ctx, shared, font), "\\z");
  EXPECT_TRUE(shared);
}

TEST(SystemFolderVariables, PortableInstallationsPutEverythingInThePortableFolder) {
  FakeSetup s;
  s.ctx.portableInstall = true;
  s.ctx.portableFolder = "F:\\Portable";
  s.ctx.supportFolderText = "%DATA%E:\\Data";
  bool shared = false, font = false;
  EXPECT_EQ(ExpandFolderPath("%APPFOLDER%\\bin\\a.exe", s.ctx, shared, font), "F:\\Portable\\bin\\a.exe");
  EXPECT_EQ(ExpandFolderPath("%appfolder%\\bin", s.ctx, shared, font), "F:\\Portable\\bin");
  EXPECT_EQ(ExpandFolderPath("%DESKTOP%\\Fake.lnk", s.ctx, shared, font), "F:\\Portable");
  EXPECT_EQ(ExpandFolderPath("%DATA%\\x", s.ctx, shared, font), "F:\\Portable");
  EXPECT_EQ(ExpandFolderPath("%NOSUCHTHING%\\x", s.ctx, shared, font), "F:\\Portable");
  EXPECT_FALSE(shared);
  EXPECT_FALSE(font);
  shared = font = true;
  EXPECT_EQ(ExpandFolderPath("%FONTS%\\a.ttf", s.ctx, shared, font), "F:\\Portable");
  EXPECT_EQ(ExpandFolderPath("%APPCOMMONFOLDER%", s.ctx, shared, font), "F:\\Portable");
  EXPECT_TRUE(shared && font);
  // Malformed variables stay unchanged there too.
  EXPECT_EQ(ExpandFolderPath("%MY_DATA%\\x", s.ctx, shared, font), "%MY_DATA%\\x");
  EXPECT_EQ(ExpandFolderPath("C:\\x", s.ctx, shared, font), "C:\\x");
}

TEST(SystemFolderVariables, SetupFolderAndDriveOfANetworkInstallerFile) {
  FakeSetup s;
  s.ctx.setupFile = "\\\\srv\\pub\\tools\\setup.exe";
  EXPECT_EQ(s.Expand("%SETUPFOLDER%readme.txt"), "\\\\srv\\pub\\tools\\readme.txt");
  EXPECT_EQ(s.Expand("%SETUPDRIVE%\\x"), "\\\\srv\\pub\\x");
}

// ---- ExpandVariables

TEST(SystemFolderVariables, SilentBetweenTwoSpaces) {
  FakeSetup s;
  EXPECT_EQ(ExpandVariables("run %SILENT% now", s.ctx), "run  now");
  s.ctx.silent = true;
  EXPECT_EQ(ExpandVariables("run %SILENT% now", s.ctx), "run /silent now");
  EXPECT_EQ(ExpandVariables("%silent%", s.ctx), "/silent");
  EXPECT_EQ(ExpandVariables("%Silent%%SILENT%", s.ctx), "/silent/silent");
  s.ctx.silent = false;
  EXPECT_EQ(ExpandVariables("%SILENT%%SILENT% x", s.ctx), " x");
  EXPECT_EQ(ExpandVariables("%SILENT", s.ctx), "%SILENT");
}

TEST(SystemFolderVariables, ExpandVariablesReplacesVariablesAnywhere) {
  FakeSetup s;
  EXPECT_EQ(ExpandVariables("\"%SYSTEM%\\regsvr32.exe\" /s \"%PROGRAMFILES%\\x.dll\"", s.ctx),
            "\"C:\\FakeWin\\System32\\regsvr32.exe\" /s \"C:\\FakePF\\x.dll\"");
  EXPECT_EQ(ExpandVariables("%WINDOWS%;%FONTS%", s.ctx), "C:\\FakeWin;C:\\FakeWin\\Fonts");
  EXPECT_EQ(ExpandVariables("100% sure %UNKNOWN% and %SYSTEMDRIVE%", s.ctx), "100% sure %UNKNOWN% and C:");
  EXPECT_EQ(ExpandVariables("", s.ctx), "");
  EXPECT_EQ(ExpandVariables("plain", s.ctx), "plain");
}

TEST(SystemFolderVariables, ATrailingPercentStays) {
  FakeSetup s;
  EXPECT_EQ(ExpandVariables("50%", s.ctx), "50%");
  EXPECT_EQ(ExpandVariables("%", s.ctx), "%");
  EXPECT_EQ(ExpandVariables("%SYSTEMDRIVE%%", s.ctx), "C:%");
  EXPECT_EQ(ExpandVariables("%SYSTEMDRIVE%", s.ctx), "C:");
}

TEST(SystemFolderVariables, AValueIsScannedAgainFromItsSecondCharacter) {
  FakeSetup s;
  // A "%" inside a value is found again...
  s.variables.emplace_back("%LIST%", Folder("A;%WINDOWS%;B", ""));
  EXPECT_EQ(ExpandVariables("[%LIST%]", s.ctx), "[A;C:\\FakeWin;B]");
  // ...but one at its very start has been stepped over.
  s.variables.emplace_back("%LEADING%", Folder("%WINDOWS%\\x", ""));
  EXPECT_EQ(ExpandVariables("%LEADING%", s.ctx), "%WINDOWS%\\x");
}

TEST(SystemFolderVariables, AVariableContainingItselfStillEnds) {
  FakeSetup s;
  s.variables.emplace_back("%LOOP%", Folder("x%LOOP%", ""));
  const std::string r = ExpandVariables("a %LOOP% b", s.ctx);
  EXPECT_TRUE(r.starts_with("a xxxx")) << r;
  EXPECT_TRUE(r.ends_with("%LOOP% b")) << r;
  EXPECT_LT(r.size(), 2000u);
  // A large value that contains itself stops at the length bound.
  s.variables.emplace_back("%BIG%", Folder(std::string(5000, 'y') + "%BIG%", ""));
  const std::string big = ExpandVariables("%BIG%", s.ctx);
  EXPECT_LE(big.size(), 256u * 1024u + 6000u);
  EXPECT_TRUE(big.ends_with("%BIG%"));
}

// ---- ResolveFolderVariables

namespace {

std::unique_ptr<TComponentFolder> Dir(const std::string& name) {
  auto f = std::make_unique<TComponentFolder>();
  f->Name = name;
  return f;
}

std::vector<TComponentData> Components() {
  std::vector<TComponentData> list(3);
  list[0].Name = "Main";
  list[0].RootFolder = Dir("");
  list[0].RootFolder->Folders.push_back(Dir("%APPFOLDER%"));
  list[0].RootFolder->Folders.push_back(Dir("%FONTS%"));
  list[0].RootFolder->Folders.back()->Folders.push_back(Dir("%WINDOWS%"));
  list[0].RootFolder->Folders.push_back(Dir("%APPCOMMONFOLDER%\\Bin"));
  list[1].Name = "No folders";
  list[2].Name = "Menu";
  list[2].RootFolder = Dir("");
  list[2].RootFolder->Folders.push_back(Dir("%appmenu%"));
  list[2].RootFolder->Folders.push_back(Dir("%COMMONFILES%\\Fake"));
  return list;
}

}  // namespace

TEST(SystemFolderVariables, ResolveForAllUsers) {
  FakeSetup s(1);
  // A later variable may be written in terms of an earlier one.
  s.variables.emplace_back("%PLUGINS%", Folder("%APPFOLDER%\\Plugins", ""));
  // An entry's flag goes in and comes out: program files leave it as it
  // is, a setup variable passes on its own.
  s.variables[0].second.Shared = true;
  s.variables.emplace_back("%HELP%", Folder("%APPMENU%\\Help", "", true));
  const auto components = Components();
  const ResolvedFolders r = ResolveFolderVariables(s.ctx, components);

  EXPECT_EQ(s.variables[0].second.AllUsersPath, "C:\\FakePF\\Fake Product");
  EXPECT_TRUE(s.variables[0].second.Shared);
  EXPECT_EQ(s.variables[5].second.AllUsersPath, "C:\\FakeUsers\\Public\\Start Menu\\Programs\\Fake\\Help");
  EXPECT_FALSE(s.variables[5].second.Shared);
  // The other user type's path is left alone.
  EXPECT_EQ(s.variables[0].second.CurrentUserPath, "%LOCALAPPDATAROOT%\\Fake Product");
  EXPECT_EQ(s.variables[1].second.AllUsersPath, "C:\\FakeData\\Fake");
  EXPECT_TRUE(s.variables[1].second.Shared);
  EXPECT_EQ(s.variables[2].second.AllUsersPath, "C:\\FakeUsers\\Public\\Start Menu\\Programs\\Fake");
  EXPECT_EQ(s.variables[3].second.AllUsersPath, "C:\\FakeUsers\\ann\\Documents\\Fake");
  EXPECT_EQ(s.variables[4].second.AllUsersPath, "C:\\FakePF\\Fake Product\\Plugins");

  ASSERT_EQ(r.resolvedRoots.size(), 3u);
  ASSERT_EQ(r.flags.size(), 3u);
  EXPECT_EQ(r.resolvedRoots[0], (std::vector<std::string>{"C:\\FakePF\\Fake Product", "C:\\FakeWin\\Fonts",
                                                          "C:\\FakeData\\Fake\\Bin"}));
  ASSERT_EQ(r.flags[0].size(), 3u);
  EXPECT_TRUE(r.flags[0][0].shared);  // the application folder's flag, as set above
  EXPECT_FALSE(r.flags[0][0].font);
  EXPECT_TRUE(r.flags[0][1].font);
  EXPECT_FALSE(r.flags[0][1].shared);
  EXPECT_TRUE(r.flags[0][2].shared);
  EXPECT_TRUE(r.resolvedRoots[1].empty());
  EXPECT_EQ(r.resolvedRoots[2],
            (std::vector<std::string>{"C:\\FakeUsers\\Public\\Start Menu\\Programs\\Fake",
                                      "C:\\FakePF\\Common\\Fake"}));
  EXPECT_TRUE(r.flags[2][1].shared);
  // The names stay as read, and folders below the top level are not touched.
  EXPECT_EQ(components[0].RootFolder->Folders[0]->Name, "%APPFOLDER%");
  EXPECT_EQ(components[0].RootFolder->Folders[1]->Folders[0]->Name, "%WINDOWS%");
}

TEST(SystemFolderVariables, ResolveForTheCurrentUser) {
  FakeSetup s(2);
  const ResolvedFolders r = ResolveFolderVariables(s.ctx, Components());
  EXPECT_EQ(s.variables[0].second.CurrentUserPath, "C:\\FakeUsers\\ann\\AppData\\Local\\Fake Product");
  EXPECT_EQ(s.variables[0].second.AllUsersPath, "%PROGRAMFILES%\\Fake Product");
  EXPECT_EQ(r.resolvedRoots[0][0], "C:\\FakeUsers\\ann\\AppData\\Local\\Fake Product");
  EXPECT_EQ(r.resolvedRoots[0][2], "C:\\FakeUsers\\ann\\AppData\\Roaming\\Fake\\Bin");
  EXPECT_EQ(r.resolvedRoots[2][0], "C:\\FakeUsers\\ann\\Start Menu\\Programs\\Fake");
}

TEST(SystemFolderVariables, ResolveInAPortableInstallation) {
  FakeSetup s(1);
  s.ctx.portableInstall = true;
  s.ctx.portableFolder = "F:\\Go";
  const ResolvedFolders r = ResolveFolderVariables(s.ctx, Components());
  // The variables are left as they are; every folder lands in the portable folder.
  EXPECT_EQ(s.variables[0].second.AllUsersPath, "%PROGRAMFILES%\\Fake Product");
  EXPECT_EQ(r.resolvedRoots[0], (std::vector<std::string>{"F:\\Go", "F:\\Go", "F:\\Go"}));
  EXPECT_EQ(r.resolvedRoots[2], (std::vector<std::string>{"F:\\Go", "F:\\Go"}));
  EXPECT_FALSE(r.flags[0][1].font);
  EXPECT_FALSE(r.flags[2][1].shared);
}

// ---- Command line

namespace {
Arguments Args(std::initializer_list<const char*> rest) {
  Arguments a{"C:\\Temp\\stub\\setup.exe", "D:\\Downloads\\fake-setup.exe"};
  for (const char* r : rest) a.emplace_back(r);
  return a;
}
}  // namespace

TEST(SystemCommandLine, SilentSwitchWithHyphenOrSlashInEitherCase) {
  for (const char* s : {"-s", "-S", "/s", "/S", "/silent", "-SILENT", "/Silent"}) {
    const Arguments a = Args({"/noadmin", s});
    EXPECT_TRUE(HasSwitch(a, "silent") || HasSwitch(a, "s")) << s;
  }
  EXPECT_TRUE(HasSwitch(Args({"/S"}), "s"));
  EXPECT_FALSE(HasSwitch(Args({"/S"}), "silent"));
  EXPECT_FALSE(HasSwitch(Args({"s"}), "s"));
  EXPECT_FALSE(HasSwitch(Args({"--s"}), "s"));
  EXPECT_FALSE(HasSwitch(Args({"/sx"}), "s"));
  EXPECT_FALSE(HasSwitch(Args({"\\s"}), "s"));
  EXPECT_FALSE(HasSwitch(Args({""}), "s"));
  // Argument 0 is the program, not a switch.
  EXPECT_FALSE(HasSwitch(Arguments{"/s"}, "s"));
  // Argument 1 is tested like any other.
  EXPECT_TRUE(HasSwitch(Arguments{"p", "/s"}, "s"));
}

TEST(SystemCommandLine, SlashArguments) {
  EXPECT_EQ(SlashArgument(Args({"/portable", "E:\\Go"}), "portable"), "E:\\Go");
  EXPECT_EQ(SlashArgument(Args({"/PORTABLE", "E:\\Go"}), "portable"), "E:\\Go");
  // Followed by another switch: the caller sees the switch and keeps its default.
  EXPECT_EQ(SlashArgument(Args({"/portable", "/silent"}), "portable"), "/silent");
  EXPECT_EQ(SlashArgument(Args({"/silent", "/portable"}), "portable"), "");
  EXPECT_EQ(SlashArgument(Args({"-portable", "E:\\Go"}), "portable"), std::nullopt);
  EXPECT_EQ(SlashArgument(Args({"/portableX", "E:\\Go"}), "portable"), std::nullopt);
  EXPECT_EQ(SlashArgument(Args({}), "portable"), std::nullopt);
  EXPECT_EQ(SlashArgument(Args({"/temp", "A", "/temp", "B"}), "temp"), "A");
}

TEST(SystemCommandLine, TempFolder) {
  const std::string sys = "C:\\FakeTemp\\";
  const std::string prog = "C:\\Temp\\stub";
  EXPECT_EQ(ChooseTempFolder(Args({}), sys, prog), "C:\\FakeTemp\\");
  EXPECT_EQ(ChooseTempFolder(Args({}), "C:\\FakeTemp", prog), "C:\\FakeTemp\\");
  EXPECT_EQ(ChooseTempFolder(Args({"/temp", "E:\\T"}), sys, prog), "E:\\T\\");
  EXPECT_EQ(ChooseTempFolder(Args({"/TEMP", "E:\\T\\"}), sys, prog), "E:\\T\\");
  // The first pair on the command line wins.
  EXPECT_EQ(ChooseTempFolder(Args({"/temp", "E:\\First", "/s", "/temp", "E:\\Second"}), sys, prog), "E:\\First\\");
  // "/temp" last means the program's own folder, whatever stands before.
  EXPECT_EQ(ChooseTempFolder(Args({"/temp", "E:\\T", "/temp"}), sys, prog), "C:\\Temp\\stub\\");
  EXPECT_EQ(ChooseTempFolder(Args({"/Temp"}), sys, prog), "C:\\Temp\\stub\\");
  // The system call failed.
  EXPECT_EQ(ChooseTempFolder(Args({"/s"}), "", prog), "C:\\Temp\\stub\\");
  // An empty folder after "/temp".
  EXPECT_EQ(ChooseTempFolder(Args({"/temp", ""}), sys, prog), "C:\\Temp\\stub\\");
  // "-temp" is no slash argument.
  EXPECT_EQ(ChooseTempFolder(Args({"-temp", "E:\\T"}), sys, "C:\\Temp\\stub\\"), "C:\\FakeTemp\\");
  EXPECT_EQ(ChooseTempFolder(Arguments{"C:\\Temp\\stub\\setup.exe"}, sys, prog), "C:\\FakeTemp\\");
}

TEST(SystemCommandLine, SecondInstanceParameters) {
  const Arguments a = Args({"/NoAdmin", "/temp", "E:\\My Files", "/noadmin", "/s"});
  EXPECT_EQ(RelaunchParameters("\\\\srv\\d\\Downloads\\fake-setup.exe", "elevate", 4, a),
            "\"\\\\srv\\d\\Downloads\\fake-setup.exe\" /elevate /usercurrent /temp \"E:\\My Files\" /s");
  const Arguments plain = Args({});
  EXPECT_EQ(RelaunchParameters("D:\\x.exe", "cfatest", 0, plain), "\"D:\\x.exe\" /cfatest");
  EXPECT_EQ(RelaunchParameters("D:\\x.exe", "cfainstall", 1, plain), "\"D:\\x.exe\" /cfainstall");
  EXPECT_EQ(RelaunchParameters("D:\\x.exe", "elevate", 2, plain), "\"D:\\x.exe\" /elevate /components");
  EXPECT_EQ(RelaunchParameters("D:\\x.exe", "elevate", 3, plain), "\"D:\\x.exe\" /elevate /advanced");
  EXPECT_EQ(RelaunchParameters("D:\\x.exe", "elevate", 5, plain), "\"D:\\x.exe\" /elevate /userall");
  // Neither argument 0 nor argument 1 is passed on as a switch.
  const std::string p = RelaunchParameters("D:\\x.exe", "elevate", 1, Args({"-noadmin"}));
  EXPECT_EQ(p, "\"D:\\x.exe\" /elevate -noadmin");
  EXPECT_EQ(p.find("fake-setup"), std::string::npos);
}

TEST(SystemCommandLine, StartActionFromSwitches) {
  EXPECT_EQ(StartActionFromSwitches(Args({})), 1);
  EXPECT_EQ(StartActionFromSwitches(Args({"/elevate", "/components"})), 2);
  EXPECT_EQ(StartActionFromSwitches(Args({"/components", "-ADVANCED"})), 3);
  EXPECT_EQ(StartActionFromSwitches(Args({"/advanced", "/usercurrent"})), 4);
  EXPECT_EQ(StartActionFromSwitches(Args({"/usercurrent", "/userall"})), 5);
  EXPECT_EQ(StartActionFromSwitches(Args({"/userall", "/usercurrent", "/components"})), 5);
}

TEST(SystemCommandLine, FolderOverrides) {
  FakeSetup s(1);
  std::vector<std::string> asked;
  auto expand = [&](const std::string& v) {
    bool shared = false, font = false;
    return ExpandFolderPath(v, s.ctx, shared, font);
  };
  auto driveExists = [&](const std::string& root) {
    asked.push_back(root);
    return root == "C:\\" || root == "E:\\";
  };
  const Arguments a = Args({"/appfolder", "E:\\Apps\\Fake\\", "/APPMENU", "%STARTMENU%\\Fake", "/USERDATA",
                            "Q:\\Data", "/appfolder", "C:\\Second"});
  PrepareFolderVariables(a, s.variables, s.ctx.userType, expand, driveExists);
  // Trailing backslash removed; only the all-users path is set for user type 1.
  EXPECT_EQ(s.variables[0].second.AllUsersPath, "E:\\Apps\\Fake");
  EXPECT_EQ(s.variables[0].second.CurrentUserPath, "%LOCALAPPDATAROOT%\\Fake Product");
  // The value may itself begin with a variable.
  EXPECT_EQ(s.variables[2].second.AllUsersPath, "C:\\FakeUsers\\Public\\Start Menu\\Fake");
  // A drive that does not exist is ignored: the variable keeps its own
  // path, expanded.
  EXPECT_EQ(s.variables[3].second.AllUsersPath, s.Expand("%MYDOCUMENTS%\\Fake"));
  EXPECT_EQ(s.variables[3].second.AllUsersPath.find('%'), std::string::npos);
  EXPECT_EQ(s.variables[1].second.AllUsersPath, s.Expand("%COMMONAPPDATAROOT%\\Fake"));
  EXPECT_EQ(asked, (std::vector<std::string>{"E:\\", "C:\\", "Q:\\"}));

  // For the current user the current-user path is set; the all-users
  // path stays as registered.
  FakeSetup c(6);
  PrepareFolderVariables(Args({"/APPFOLDER", "E:\\Mine"}), c.variables, 6, expand, driveExists);
  EXPECT_EQ(c.variables[0].second.CurrentUserPath, "E:\\Mine");
  EXPECT_EQ(c.variables[0].second.AllUsersPath, "%PROGRAMFILES%\\Fake Product");
}

TEST(SystemCommandLine, FolderVariablesAreFixedInListOrder) {
  FakeSetup s(1);
  auto expand = [&](const std::string& v) { return s.Expand(v); };
  auto driveExists = [](const std::string& root) { return root == "C:\\" || root == "E:\\"; };
  // A later variable and a later override see an earlier override.
  s.variables[2].second.AllUsersPath = "%APPFOLDER%\\Menu";
  s.variables[1].second.Shared = false;
  s.variables[1].second.AllUsersPath = "%COMMONFILES%\\Fake";
  PrepareFolderVariables(Args({"/APPFOLDER", "E:\\Apps", "/USERDATA", "%APPFOLDER%\\Data\\"}), s.variables, 1, expand,
                         driveExists);
  EXPECT_EQ(s.variables[0].second.AllUsersPath, "E:\\Apps");
  EXPECT_EQ(s.variables[2].second.AllUsersPath, "E:\\Apps\\Menu");
  EXPECT_EQ(s.variables[3].second.AllUsersPath, "E:\\Apps\\Data");
  // The shared flag of a system folder is not taken over by the variable.
  EXPECT_EQ(s.variables[1].second.AllUsersPath, s.system.CommonFiles + "\\Fake");
  EXPECT_FALSE(s.variables[1].second.Shared);
  // Nothing is left to expand, so resolving again changes nothing.
  FolderContext ctx = s.ctx;
  ResolveFolderVariables(ctx, {});
  EXPECT_EQ(s.variables[2].second.AllUsersPath, "E:\\Apps\\Menu");
  EXPECT_FALSE(s.variables[1].second.Shared);
}

TEST(SystemCommandLine, FolderOverridesThatAreIgnored) {
  FakeSetup s(1);
  int asked = 0;
  auto expand = [&](const std::string& v) {
    bool shared = false, font = false;
    return ExpandFolderPath(v, s.ctx, shared, font);
  };
  auto driveExists = [&](const std::string&) {
    ++asked;
    return true;
  };
  const std::string before = s.Expand(s.variables[0].second.AllUsersPath);
  // A name in the last position has no value.
  PrepareFolderVariables(Args({"/APPFOLDER"}), s.variables, 1, expand, driveExists);
  // The hyphen form, the name with its percent signs, and argument 0 do not count.
  PrepareFolderVariables(Args({"-APPFOLDER", "E:\\X", "%APPFOLDER%", "E:\\Y"}), s.variables, 1, expand, driveExists);
  PrepareFolderVariables(Arguments{"/APPFOLDER", "E:\\Z"}, s.variables, 1, expand, driveExists);
  EXPECT_EQ(asked, 0);
  // A result without a drive (unknown variable, relative folder) is not asked about.
  PrepareFolderVariables(Args({"/APPFOLDER", "%NOSUCH%\\x", "/APPMENU", "Relative\\Menu"}), s.variables, 1, expand,
                       driveExists);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(s.variables[0].second.AllUsersPath, before);
  EXPECT_EQ(s.variables[2].second.AllUsersPath, s.Expand("%PROGRAMSMENU%\\Fake"));
  // A network folder is checked by its share.
  std::string root;
  PrepareFolderVariables(Args({"/USERDATA", "\\\\srv\\share\\data"}), s.variables, 1, expand,
                       [&](const std::string& r) {
                         root = r;
                         return true;
                       });
  EXPECT_EQ(root, "\\\\srv\\share\\");
  EXPECT_EQ(s.variables[3].second.AllUsersPath, "\\\\srv\\share\\data");
}
