// Every section of the setup definition, written by the builder and read
// back in startup order.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "base/Text.h"
#include "builder/Manifest.h"
#include "package/Crc32.h"

using namespace stw;
using namespace stw::test;

namespace {

BuildFolder FolderNamed(const std::string& name) {
  BuildFolder f;
  f.name = name;
  return f;
}

BuildItem FileItem(uint16_t index, uint8_t mode = 0) {
  BuildItem it;
  it.file.DataIndex = index;
  it.file.OverwriteMode = mode;
  return it;
}

// Moves the data indices of a folder's file entries when support files are
// added in front of the installable files.
void ShiftIndices(BuildFolder& f, int delta) {
  for (auto& it : f.items)
    if (it.kind == BuildItem::File) it.file.DataIndex = static_cast<uint16_t>(it.file.DataIndex + delta);
  for (auto& c : f.folders) ShiftIndices(c, delta);
}

// A manifest that sets every optional part of every section.
PackageManifest FullManifest() {
  PackageManifest m = SampleManifest();
  for (auto& c : m.components) ShiftIndices(c.root, 3);  // hooks.dll, extra.dat and back.bmp below
  m.publisher = "Gr\xC3\xBCn & Co";
  m.webAddress = "";
  m.version = "";
  m.licenceStarred = true;
  m.supportDll = BuildSource{"hooks.dll", "", RandomBytes(700, 41), true};
  m.extraFile = BuildSource{"extra.dat", "", TextBytes(50, 42), true};
  m.userType = 2;  // current user only: the all-users defaults are dropped
  m.folderDefaults[1][0] = "%COMMONFILES%\\Shared";
  m.folderDefaults[1][1] = "%APPDATAROOT%\\Shared\\";
  m.folderDefaults[3][0] = "%COMMONAPPDATAROOT%\\Data";  // only an all-users default: not defined
  m.cfaOptions = 3;
  m.cfaMessage = "Allow the setup through folder protection";
  m.section4Flags = 32 | 64 | 128;
  m.section4Text = "unused text";
  m.section4Tables[0] = 3;
  m.section4Tables[1] = 0;
  m.portableMode = 1;
  m.removableMarkerMode = 2;
  m.showAllDrivesOption = 1;
  m.portableFolder = "\\Portable\\Test";
  m.showAdvanced = 0;
  m.paintGradient = 1;
  m.formFont = {"Segoe UI", 0x112233, 10, 5, 1};
  m.backgroundEnabled = true;
  m.backgroundImage = BuildSource{"back.bmp", "", TextBytes(800, 43), true};
  m.backgroundTopText = "Top text";
  m.backgroundBottomText = "";
  m.backgroundSettings = {0x800000, 0x000080, 0x010101, 0x020202, 1, 1, 0, {"Arial", 0xFFFFFF, 24, 1, 0},
                          {"Times New Roman", 0xEEEEEE, 12, 2, 0}};
  m.registryData = std::string("\x01\x02\x00\x03 registry bytes", 19);

  const uint16_t app = static_cast<uint16_t>(FindDataIndex(m, "app.exe"));
  const uint16_t notes = static_cast<uint16_t>(FindDataIndex(m, "notes.txt"));
  BuildComponent c;
  c.name = "Extras";
  c.description = "Deep folders";
  c.optional = true;
  c.selected = true;
  c.dependencies = {0, 1};
  BuildFolder top = FolderNamed("%APPFOLDER%");
  top.grantUsers = true;
  BuildFolder sub = FolderNamed("Sub \xE2\x82\xAC");
  BuildFolder desk = FolderNamed("%desktop%");  // nested: dropped too under NoDesktop
  BuildItem sc;
  sc.kind = BuildItem::Shortcut;
  sc.shortcut = {app, "App", "Starts the app", "/x", 3, notes, 2, ""};
  desk.items.push_back(sc);
  sub.folders.push_back(desk);
  BuildItem url;
  url.kind = BuildItem::Url;
  url.url = {"https://example.invalid/", "Home page", 7, app, ""};
  sub.items.push_back(url);
  BuildItem other;
  other.kind = BuildItem::Other;
  other.otherByte = 17;
  sub.items.push_back(other);
  BuildItem run = FileItem(app, 1);
  run.file.Permanent = true;
  run.file.SelfRegister = true;
  run.file.RunAfter = true;
  run.file.RunQueueFlag = true;
  run.file.RunPathFlag = true;
  run.file.RunParams = "/regserver";
  sub.items.push_back(run);
  BuildItem dropped = FileItem(static_cast<uint16_t>(FindDataIndex(m, "UnStowaXP.exe")));
  dropped.keep = false;
  dropped.file.RunAfter = true;
  dropped.file.RunParams = "consumed";
  sub.items.push_back(dropped);
  top.folders.push_back(sub);
  BuildFolder emptyItems = FolderNamed("Empty");  // 254, 255, 255
  top.folders.push_back(emptyItems);
  BuildFolder noItems = FolderNamed("NoItems");
  noItems.withItems = false;  // 255 right away
  top.folders.push_back(noItems);
  c.root.folders.push_back(top);
  c.root.folders.push_back(FolderNamed("%DESKTOP%"));
  c.root.folders.back().items.push_back(sc);
  m.components.push_back(c);

  TFileType withActions;
  withActions.Install = true;
  withActions.Description = "Test document";
  withActions.Extension = ".tdoc";
  withActions.IconFile = app;
  withActions.IconIndex = 2;
  auto action = [](std::string verb, uint16_t target, std::string parameters) {
    TFileTypeAction a;
    a.Verb = std::move(verb);
    a.Target = target;
    a.Parameters = std::move(parameters);
    return a;
  };
  withActions.Actions = {action("Open", app, "\"%1\""), action("PRINT", 0x1FF, "/p \"%1\"")};
  TFileType without;
  without.Description = "Plain";
  without.Extension = ".tpl";
  without.IconFile = kNoIndex;
  m.fileTypes = {withActions, without};

  m.dotNetVersions = 4;
  m.dotNetLevel = 8;
  m.dotNetFile = "ndp48.exe";
  m.dotNetUrl = "https://example.invalid/ndp";
  m.dotNetInstaller = BuildSource{"ndp48.exe", "", RandomBytes(3000, 44), false};
  BuildPrerequisite kept;
  kept.lines = {"Runtime", "https://example.invalid/rt", "1", "ignored", "rt.exe", "/q", "HKLM\\Software\\Rt",
                "Version", "2", ""};
  kept.installer = BuildSource{"rt.exe", "", RandomBytes(1500, 45), false};
  BuildPrerequisite passed;
  passed.lines = {"Old", "", "0", "", "old.exe"};
  passed.position = 99;
  passed.size = 5;
  BuildPrerequisite fileCondition;
  fileCondition.lines = {"Tool", "", "1", "", "tool.msi", "", "", "", "", "%SYSTEM%\\tool.dll"};
  m.prerequisites = {kept, passed, fileCondition};

  m.finishFlags = 8 | 2 | 1;  // bit 3 without bit 2: an unused word and the parameters
  m.finishUnused = 0x1234;
  m.finishParams = "--first-run";
  m.mainExecutable = kNoIndex;
  m.mainExtra = 5;
  m.mainParameters = "-main";
  m.uninstallShortcut = 1;
  m.uninstallLinkedFile = app;
  m.setupOptionBits = 1 | 2 | 4 | 8;
  m.minimumPreviousDate = 45000;
  m.upgradeMessages = "Only an update.\r\nInstall the full release first.\r\nThird\r\nFourth\r\n";
  m.windowClasses = "TAppMain Other;\"With Space\"";
  m.windowTitles = "Test Product - Main;Second";
  return m;
}

class DefinitionTest : public ::testing::Test {
 protected:
  TestMachine m;
};

TEST_F(DefinitionTest, EverySectionRoundTrips) {
  const PackageManifest man = FullManifest();
  const std::string file = m.Work() + "full.exe";
  const BuildReport report = BuildPackage(man, m.Native(file));
  TSetupReader::Options opt;
  opt.noDesktop = true;
  opt.params = {"/PORTABLE", "E:\\Stick"};
  auto o = OpenAndRead(m, file, opt);
  const TSetupDefinition& d = o->def;

  EXPECT_EQ(o->pkg.InterfaceStrings, man.interfaceStrings);
  EXPECT_EQ(d.CfaOptions, 3);
  EXPECT_EQ(d.CfaMessage, man.cfaMessage);
  EXPECT_EQ(d.PortableMode, 2);  // requested on the command line
  EXPECT_EQ(d.RemovableMarkerMode, 2);
  EXPECT_EQ(d.ShowAllDrivesOption, 1);
  EXPECT_EQ(d.PortableFolder, "E:\\Stick");
  EXPECT_EQ(d.ShowAdvanced, 0);
  EXPECT_EQ(d.FormFont.Name, "Segoe UI");
  EXPECT_EQ(d.FormFont.Color, 0x112233);
  EXPECT_EQ(d.FormFont.Size, 10);
  EXPECT_EQ(d.FormFont.Style, 5);
  EXPECT_EQ(d.BackgroundSettings.BottomColor, 0x80);
  EXPECT_EQ(d.BackgroundSettings.TopShadow, 1);
  EXPECT_EQ(d.BackgroundSettings.BottomFont.Name, "Times New Roman");
  EXPECT_EQ(d.BackgroundSettings.BottomFont.Style, 2);

  EXPECT_EQ(d.Publisher, "Gr\xC3\xBCn & Co");
  EXPECT_EQ(d.PublisherWithAddress, "Gr\xC3\xBCn & Co");
  EXPECT_EQ(d.UninstallDisplayName, "Test Product");
  EXPECT_EQ(d.AppName, "Gr\xC3\xBCn & Co Test Product");
  EXPECT_EQ(d.SupportAddress, man.supportAddress);
  EXPECT_EQ(d.ReleaseDate, 46000);
  EXPECT_EQ(d.WelcomeLine, "Welcome line");
  EXPECT_EQ(d.LicenseName, "licence.txt");
  EXPECT_TRUE(d.LicenseStarred);
  EXPECT_EQ(d.SupportDllName, "hooks.dll");
  EXPECT_EQ(d.ExtraFileName, "extra.dat");
  EXPECT_EQ(d.UserType, 2);
  ASSERT_EQ(d.FolderVariables.size(), 3u);
  EXPECT_EQ(d.FolderVariables[0].first, "%APPFOLDER%");
  EXPECT_EQ(d.FolderVariables[0].second.AllUsersPath, "");
  EXPECT_EQ(d.FolderVariables[0].second.CurrentUserPath, "%LOCALAPPDATAROOT%\\Test Product");
  EXPECT_EQ(d.FolderVariables[0].second.Description, man.interfaceStrings[32]);
  EXPECT_FALSE(d.FolderVariables[0].second.Shared);
  EXPECT_EQ(d.FolderVariables[1].first, "%APPCOMMONFOLDER%");
  EXPECT_EQ(d.FolderVariables[1].second.CurrentUserPath, "%APPDATAROOT%\\Shared");
  EXPECT_TRUE(d.FolderVariables[1].second.Shared);
  EXPECT_EQ(d.FolderVariables[2].first, "%APPMENU%");
  EXPECT_EQ(d.BackgroundImage, "back.bmp");
  EXPECT_EQ(d.BackgroundTopText, "Top text");
  EXPECT_EQ(d.BackgroundImageIndex, 4);
  EXPECT_EQ(o->pkg.TempFileNames,
            (std::vector<std::string>{"readme.txt", "licence.txt", "hooks.dll", "extra.dat", "back.bmp"}));

  ASSERT_EQ(d.Components.size(), 3u);
  EXPECT_TRUE(d.HasOptionalComponents);
  EXPECT_EQ(d.Components[1].Name, "Notes");
  EXPECT_FALSE(d.Components[1].Selected);
  EXPECT_EQ(d.Components[2].Dependencies, (std::vector<uint8_t>{0, 1}));
  EXPECT_TRUE(d.Components[2].Optional && d.Components[2].Selected);

  // Folder trees: %DESKTOP% dropped at the top and deeper down.
  const TComponentFolder& root = *d.Components[2].RootFolder;
  ASSERT_EQ(root.Folders.size(), 1u);
  const TComponentFolder& top = *root.Folders[0];
  EXPECT_EQ(top.Name, "%APPFOLDER%");
  EXPECT_TRUE(top.GrantUsers);
  ASSERT_EQ(top.Folders.size(), 3u);
  const TComponentFolder& sub = *top.Folders[0];
  EXPECT_EQ(sub.Name, "Sub \xE2\x82\xAC");
  EXPECT_TRUE(sub.Folders.empty());
  ASSERT_EQ(sub.Urls.size(), 1u);
  EXPECT_EQ(sub.Urls[0].Url, "https://example.invalid/");
  EXPECT_EQ(sub.Urls[0].IconIndex, 7);
  ASSERT_EQ(sub.Files.size(), 1u);
  const TFileData& f = sub.Files[0];
  EXPECT_EQ(f.OverwriteMode, 1);
  EXPECT_TRUE(f.Permanent && f.SelfRegister && f.RunAfter && f.RunQueueFlag && f.RunPathFlag);
  EXPECT_EQ(f.RunParams, "/regserver");
  EXPECT_EQ(top.Folders[1]->Name, "Empty");
  EXPECT_TRUE(top.Folders[1]->Files.empty());
  EXPECT_EQ(top.Folders[2]->Name, "NoItems");

  // The dropped entry left its FileUsed at 0.
  const int xp = FindDataIndex(man, "UnStowaXP.exe");
  EXPECT_EQ(o->pkg.Tables.FileUsed[xp], 0);
  EXPECT_EQ(o->pkg.Tables.FileUsed[FindDataIndex(man, "app.exe")], 1);
  EXPECT_EQ(o->pkg.Tables.FileVersions[FindDataIndex(man, "app.exe")], 0x0002000500000007ull);
  EXPECT_EQ(o->pkg.Tables.FileChecksums, report.checksums);
  EXPECT_EQ(o->pkg.Tables.FileSizes, report.sizes);

  EXPECT_EQ(d.RegistryData, man.registryData);
  ASSERT_EQ(d.FileTypes.size(), 2u);
  EXPECT_EQ(d.FileTypes[0].first, ".tdoc -> Test document (open, print)");
  EXPECT_EQ(d.FileTypes[0].second.Actions[1].Target, 0x1FF);
  EXPECT_EQ(d.FileTypes[0].second.Actions[1].Parameters, "/p \"%1\"");
  EXPECT_EQ(d.FileTypes[0].second.IconIndex, 2);
  EXPECT_TRUE(d.FileTypes[0].second.Install);
  EXPECT_EQ(d.FileTypes[1].first, ".tpl -> Plain");
  EXPECT_EQ(d.FileTypes[1].second.IconFile, kNoIndex);
  EXPECT_FALSE(d.FileTypes[1].second.Install);

  EXPECT_EQ(d.DotNetLevel, 8);
  EXPECT_EQ(d.DotNetUrl, man.dotNetUrl);
  EXPECT_EQ(d.DotNetSize, 3000);
  ASSERT_EQ(d.ThirdPartyList.size(), 2u);
  const T3rdParty& rt = d.ThirdPartyList[0].second;
  EXPECT_EQ(rt.Name, "Runtime");
  EXPECT_EQ(rt.FileName, "rt.exe");
  EXPECT_EQ(rt.ConditionKey, "HKLM\\Software\\Rt");
  EXPECT_EQ(rt.ConditionData, "2");
  EXPECT_TRUE(rt.HasCondition);
  EXPECT_EQ(rt.Size, 1500);
  EXPECT_EQ(d.ThirdPartyList[1].second.ConditionFile, "%SYSTEM%\\tool.dll");
  EXPECT_TRUE(d.ThirdPartyList[1].second.HasCondition);
  // Reading ended exactly where the builder put the first file's data,
  // right behind the last section.
  EXPECT_EQ(o->pkg.Position(), report.offsets[report.supportFiles]);
  // The carried installers are where the records say.
  std::string payload;
  o->pkg.ReadStoredRange(rt.Position, rt.Size, rt.Size, "rt.exe", nullptr,
                         [&](const uint8_t* p, size_t n) { payload.append(reinterpret_cast<const char*>(p), n); });
  EXPECT_EQ(payload, *man.prerequisites[0].installer.content);

  EXPECT_EQ(d.FinishFlags, 11);
  EXPECT_EQ(d.FinishExeIndex, kNoIndex);
  EXPECT_EQ(d.FinishParams, "--first-run");
  EXPECT_EQ(d.MainExecutable, kNoIndex);
  EXPECT_EQ(d.MainParameters, "-main");
  EXPECT_EQ(d.UninstallShortcut, 1);
  EXPECT_EQ(d.UninstallLinkedFile, FindDataIndex(man, "app.exe"));
  EXPECT_TRUE(d.UpgradeOnly());
  EXPECT_EQ(d.MinimumPreviousDate, 45000);
  EXPECT_EQ(d.UpgradeMessages.size(), 4u);
  EXPECT_EQ(d.WindowClasses, (std::vector<std::string>{"TAppMain", "Other", "With Space"}));
  EXPECT_EQ(d.WindowTitles, (std::vector<std::string>{"Test Product - Main", "Second"}));

}

TEST_F(DefinitionTest, OptionalPartsAbsentAndDesktopKeptWithoutTheSwitch) {
  PackageManifest man = FullManifest();
  man.finishFlags = 4;
  man.finishExeIndex = static_cast<uint16_t>(FindDataIndex(man, "app.exe"));
  man.mainExecutable = kNoIndex;
  man.mainExtra = kNoIndex;  // both none: no parameters block follows
  man.mainParameters = "never written";
  man.setupOptionBits = 0;
  man.dotNetVersions = 0;
  man.prerequisites.clear();
  man.cfaOptions = 1;
  man.section4Flags = 0;
  man.portableMode = 0;
  man.userType = 1;
  const std::string file = m.Work() + "plain.exe";
  BuildPackage(man, m.Native(file));
  TSetupReader::Options opt;
  opt.params = {"/portable"};  // ignored: the package offers no portable mode
  auto o = OpenAndRead(m, file, opt);
  const TSetupDefinition& d = o->def;
  EXPECT_EQ(d.PortableMode, 0);
  EXPECT_EQ(d.FinishExeIndex, man.finishExeIndex);
  EXPECT_EQ(d.FinishParams, "--first-run");
  EXPECT_EQ(d.MainParameters, "");
  EXPECT_TRUE(d.ThirdPartyList.empty());
  EXPECT_TRUE(d.UpgradeMessages.empty());
  EXPECT_EQ(d.CfaMessage, "");
  ASSERT_EQ(d.FolderVariables.size(), 4u);  // all-users defaults only
  EXPECT_EQ(d.FolderVariables[3].first, "%USERDATA%");
  EXPECT_EQ(d.FolderVariables[3].second.CurrentUserPath, "");
  const TComponentFolder& root = *d.Components[2].RootFolder;
  ASSERT_EQ(root.Folders.size(), 2u);
  EXPECT_EQ(root.Folders[1]->Name, "%DESKTOP%");
  EXPECT_EQ(root.Folders[0]->Folders[0]->Folders.size(), 1u);
  EXPECT_EQ(root.Folders[1]->Shortcuts.size(), 1u);
  EXPECT_EQ(root.Folders[1]->Shortcuts[0].StartPinOption, 2);
}

TEST_F(DefinitionTest, NoComponentsStillConsumesTheFolderTreeBlock) {
  PackageManifest man = SampleManifest();
  man.components.clear();
  man.setupOptionBits = 8;
  man.windowTitles = "Only";
  const std::string file = m.Work() + "none.exe";
  BuildPackage(man, m.Native(file));
  auto o = OpenAndRead(m, file);
  EXPECT_TRUE(o->def.Components.empty());
  EXPECT_FALSE(o->def.HasOptionalComponents);
  EXPECT_EQ(o->def.WindowTitles, std::vector<std::string>{"Only"});
}

TEST_F(DefinitionTest, TheDemoManifestBuildsAndInspects) {
  // The JSON manifest reader resolves file names to data indices.
  const nlohmann::json j = nlohmann::json::parse(R"({
    "productKey": "Json Product", "version": "v.3.1", "releaseDate": "2026-12-01",
    "readme": {"name": "r.txt", "text": "hello"},
    "files": [{"name": "a.exe", "text": "AAAA", "version": "1.2.3.4", "time": "2026-01-02T03:04:05"},
              {"name": "b.txt", "text": "BBBB"}],
    "components": [{"name": "Main", "folders": [{"name": "%APPFOLDER%",
        "items": [{"file": "b.txt"}, {"shortcut": {"target": "a.exe", "name": "A"}}]}]}],
    "finish": {"flags": 4, "exe": "a.exe", "params": "-x"}
  })");
  const PackageManifest man = ManifestFromJson(j, "");
  EXPECT_EQ(FindDataIndex(man, "b.txt"), 2);
  const std::string file = m.Work() + "json.exe";
  BuildPackage(man, m.Native(file));
  auto o = OpenAndRead(m, file);
  EXPECT_EQ(o->def.ReleaseDate, DayNumberFromIso("2026-12-01"));
  EXPECT_EQ(IsoFromDayNumber(o->def.ReleaseDate), "2026-12-01");
  EXPECT_EQ(o->def.FinishExeIndex, 1);
  EXPECT_EQ(o->pkg.Tables.FileVersions[1], 0x0001000200030004ull);
  EXPECT_NEAR(o->pkg.Tables.FileTimes[1], DayNumberFromIso("2026-01-02") + (3 * 3600 + 4 * 60 + 5) / 86400.0, 1e-6);
  const auto& folder = *o->def.Components[0].RootFolder->Folders[0];
  EXPECT_EQ(folder.Files[0].DataIndex, 2);
  EXPECT_EQ(folder.Shortcuts[0].Target, 1);
  const nlohmann::json shown = DefinitionToJson(o->pkg, o->def);
  EXPECT_EQ(shown["PackageFileNames"], (nlohmann::json{"a.exe", "b.txt"}));
  EXPECT_EQ(shown["Components"][0]["Name"], "Main");
  EXPECT_EQ(shown["FileChecksums"][1], HexU32(Crc32("AAAA", 4, 0)));
}

// A file entry names its data by 16 bits: a manifest naming a data index
// beyond them is refused, never cut down to another file's index.
TEST(ManifestTest, ADataIndexBeyondSixteenBitsIsRefused) {
  auto withItem = [](const std::string& item) {
    return nlohmann::json::parse(R"({"productKey": "P", "files": [{"name": "a.txt", "text": "A"}],
      "components": [{"name": "Main", "folders": [{"name": "%APPFOLDER%", "items": [)" + item + "]}]}]}");
  };
  EXPECT_NO_THROW(ManifestFromJson(withItem(R"({"dataIndex": 65535})"), ""));
  for (const char* bad : {R"({"dataIndex": 65536})", R"({"dataIndex": 131073})", R"({"dataIndex": -1})"}) {
    try {
      ManifestFromJson(withItem(bad), "");
      ADD_FAILURE() << bad << " was taken";
    } catch (const ESetupException& e) {
      EXPECT_NE(std::string(e.what()).find("16-bit"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
