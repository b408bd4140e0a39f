// The support DLL's hooks against scripted modules of the simulated
// machine: which routine is chosen, what it is given, what the setup does
// with its answers, the once-only rules and the errors a routine raises.
#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"
#include "platform/Factory.h"
#include "platform/host/HostSupportModule.h"
#include "system/SupportDll.h"

namespace stw::test {
namespace {

using R = SupportRoutine;

void* const kOwner = reinterpret_cast<void*>(uintptr_t{0x1234});

TSpecialFolder Folder(const std::string& description, const std::string& allUsers, const std::string& currentUser,
                      bool shared = false) {
  TSpecialFolder f;
  f.Description = description;
  f.AllUsersPath = allUsers;
  f.CurrentUserPath = currentUser;
  f.Shared = shared;
  return f;
}

TComponentData Component(const std::string& name, bool optional, bool selected, bool previously,
                         std::vector<std::string> roots = {}) {
  TComponentData c;
  c.Name = name;
  c.Optional = optional;
  c.Selected = selected;
  c.PreviouslyInstalled = previously;
  c.RootFolder = std::make_unique<TComponentFolder>();
  for (std::string& r : roots) {
    auto f = std::make_unique<TComponentFolder>();
    f->Name = std::move(r);
    c.RootFolder->Folders.push_back(std::move(f));
  }
  return c;
}

class SupportDllTest : public ::testing::Test {
 protected:
  TestMachine m;
  std::unique_ptr<IShell> shell = CreateNativeShell(m.MachineRoot());
  TSetupState S{TPlatform{m.Fs(), m.Registry(), m.System(), m.Dialogs(), *shell}};
  HostSupportModuleLoader loader{m.Fs()};
  std::string dllPath = m.Work() + "Support.dll";
  std::shared_ptr<HostSupportScript> dll = loader.Place(dllPath);
  std::unique_ptr<TSupportDll> hooks;
  int selectionsTaken = 0;

  void SetUp() override {
    m.WriteFile(dllPath, "MZ");
    S.Package.TempFilePaths = {m.Work() + "readme.txt", dllPath};
    S.Def.SupportDllIndex = 1;
    S.SetupFile = "C:\\Downloads\\product-setup.exe";
    S.Args = {"C:\\Temp\\setup.exe", S.SetupFile};
    S.Def.UserType = 1;
    S.Folders.ProgramFiles = "C:\\Program Files";
    S.Def.FolderVariables.emplace_back("%APPFOLDER%",
                                       Folder("Application", "%PROGRAMFILES%\\Product", "C:\\Users\\u\\Product"));
    S.Def.FolderVariables.emplace_back("%APPMENU%", Folder("Menu", "C:\\Menu\\Product", "C:\\Users\\u\\Menu"));
    S.Def.Components.push_back(Component("Program", false, true, false, {"%APPFOLDER%", "%TOOLS%\\bin"}));
    S.Def.Components.push_back(Component("Docs", true, true, false));
    S.Def.Components.push_back(Component("Extras", true, false, true));
  }

  TSupportDll& Hooks() {
    if (!hooks) hooks = std::make_unique<TSupportDll>(S, loader);
    return *hooks;
  }
  bool Prepare() {
    return Hooks().PrepareInstallation(kOwner, [this] { ++selectionsTaken; });
  }
  std::optional<std::string> Stub() { return m.Registry().ReadString(RegRoot::CurrentUser, kHandshakeKey, "Stub"); }
  const TSpecialFolder* Variable(const std::string& name) { return FindFolderVariable(S.Def.FolderVariables, name); }
  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const auto& b : m.Dialogs().shown) {
      EXPECT_EQ(b.title, "Pakvestor Setup");
      EXPECT_EQ(b.style, unsigned{MB_OK_ | MB_ICONERROR_});
      texts.push_back(b.text);
    }
    return texts;
  }
};

// ---------------------------------------------------------------- loading

TEST_F(SupportDllTest, WithoutASupportDllNothingIsLoadedAndTheFoldersAreStillResolved) {
  S.Def.SupportDllIndex = -1;
  EXPECT_TRUE(Prepare());
  EXPECT_TRUE(loader.loads.empty());
  EXPECT_FALSE(Hooks().Loaded());
  EXPECT_EQ(selectionsTaken, 1);
  ASSERT_EQ(S.Roots.resolvedRoots.size(), 3u);
  EXPECT_EQ(S.Roots.resolvedRoots[0][0], "C:\\Program Files\\Product");
  EXPECT_FALSE(Stub());
}

TEST_F(SupportDllTest, AnIndexBeyondTheTemporaryFilesLoadsNothing) {
  S.Def.SupportDllIndex = 2;
  EXPECT_TRUE(Prepare());
  EXPECT_TRUE(loader.loads.empty());
}

TEST_F(SupportDllTest, TheDllIsLoadedFromItsTemporaryFileOnlyOnce) {
  dll->exports = {R::AllowInstallation};
  EXPECT_TRUE(Prepare());
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(loader.loads, std::vector<std::string>{dllPath});
  EXPECT_TRUE(Hooks().Loaded());
  hooks.reset();
  EXPECT_EQ(loader.unloads, 1);
}

TEST_F(SupportDllTest, ADllThatDoesNotLoadLeavesEveryHookMissing) {
  m.Remove(dllPath);
  dll->exports = {R::AllowInstallation, R::GetInstallFolders, R::GetComponentSelection, R::FinishDeployment};
  dll->allowAnswer = 0;
  S.Def.UserType = 2;
  EXPECT_TRUE(Prepare());
  Hooks().FinishDeployment("C:\\Product\\Stowa.log");
  EXPECT_EQ(loader.loads.size(), 1u);
  EXPECT_FALSE(Hooks().Loaded());
  EXPECT_TRUE(dll->calls.empty());
  EXPECT_FALSE(Stub());
  EXPECT_EQ(selectionsTaken, 1);
}

// ---------------------------------------------------------------- allow

TEST_F(SupportDllTest, TheThirdAllowVariantIsPreferredAndGetsBothFlags) {
  dll->exports = {R::AllowInstallation, R::AllowInstallation2, R::AllowInstallation3};
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls, std::vector<std::string>{"AllowInstallation3(owner=0x1234, portable=0, currentUser=0)"});
}

TEST_F(SupportDllTest, TheCurrentUserFlagIsTrueForEveryUserTypeButAllUsers) {
  for (const uint8_t userType : {uint8_t{2}, uint8_t{6}, uint8_t{3}}) {
    dll->calls.clear();
    hooks.reset();
    S.Def.UserType = userType;
    dll->exports = {R::AllowInstallation3};
    EXPECT_TRUE(Prepare());
    ASSERT_EQ(dll->calls.size(), 1u) << int{userType};
    EXPECT_EQ(dll->calls[0], "AllowInstallation3(owner=0x1234, portable=0, currentUser=-1)") << int{userType};
  }
}

TEST_F(SupportDllTest, TheSecondVariantComesBeforeTheFirstAndGetsOnlyThePortableFlag) {
  dll->exports = {R::AllowInstallation, R::AllowInstallation2};
  S.Def.UserType = 2;
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls, std::vector<std::string>{"AllowInstallation2(owner=0x1234, portable=0)"});
}

TEST_F(SupportDllTest, OnlyTheSecondVariantReceivesThePortableFlagAsMinusOne) {
  dll->exports = {R::AllowInstallation2};
  S.PortableInstall = true;
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls, std::vector<std::string>{"AllowInstallation2(owner=0x1234, portable=-1)"});
}

TEST_F(SupportDllTest, TheFirstVariantGetsTheWindowOnly) {
  dll->exports = {R::AllowInstallation};
  S.PortableInstall = true;
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls, std::vector<std::string>{"AllowInstallation(owner=0x1234)"});
}

TEST_F(SupportDllTest, ARefusalStopsThePreparationAndIsRememberedWithoutAskingAgain) {
  dll->exports = {R::AllowInstallation, R::GetSystemFolders, R::GetInstallFolders, R::GetComponentSelection};
  dll->allowAnswer = 0;
  EXPECT_FALSE(Prepare());
  EXPECT_FALSE(Prepare());
  EXPECT_EQ(dll->calls, std::vector<std::string>{"AllowInstallation(owner=0x1234)"});
  EXPECT_EQ(selectionsTaken, 0);
  EXPECT_TRUE(S.Roots.resolvedRoots.empty());
  EXPECT_TRUE(m.Dialogs().shown.empty());  // the DLL speaks for itself
}

TEST_F(SupportDllTest, AnyNonZeroAnswerAllows) {
  dll->exports = {R::AllowInstallation};
  dll->allowAnswer = 5;
  EXPECT_TRUE(Prepare());
}

// ---------------------------------------------------------------- the "Stub"
// value

TEST_F(SupportDllTest, TheStubValueIsWrittenForACurrentUserInstallationWithAnAllowRoutine) {
  dll->exports = {R::AllowInstallation};
  S.Def.UserType = 2;
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(Stub(), S.SetupFile);
}

TEST_F(SupportDllTest, TheStubValueIsWrittenForAPortableInstallationEvenForAllUsers) {
  dll->exports = {R::FinishDeployment};
  S.PortableInstall = true;
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(Stub(), S.SetupFile);
}

TEST_F(SupportDllTest, TheUtf16FinishingRoutineAloneAlsoAsksForTheStubValue) {
  dll->exports = {R::FinishDeploymentW};
  S.Def.UserType = 6;
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(Stub(), S.SetupFile);
}

TEST_F(SupportDllTest, NoStubValueForAnAllUsersInstallation) {
  dll->exports = {R::AllowInstallation, R::FinishDeployment};
  EXPECT_TRUE(Prepare());
  EXPECT_FALSE(Stub());
}

TEST_F(SupportDllTest, NoStubValueWhenTheDllHasNeitherAnAllowNorTheNamedFinishingRoutines) {
  dll->exports = {R::FinishDeploymentA, R::GetSystemFolders, R::GetInstallFoldersW, R::GetComponentSelection};
  S.Def.UserType = 2;
  EXPECT_TRUE(Prepare());
  EXPECT_FALSE(Stub());
}

// ---------------------------------------------------------------- once only

TEST_F(SupportDllTest, EveryHookRunsOnceWhileTheFoldersAreResolvedOnEveryCall) {
  dll->exports = {R::AllowInstallation, R::GetSystemFolders, R::GetInstallFolders, R::GetComponentSelection};
  EXPECT_TRUE(Prepare());
  const size_t calls = dll->calls.size();
  EXPECT_EQ(calls, 6u);  // allow, two folder routines, three components
  EXPECT_EQ(S.Roots.resolvedRoots[0][0], "C:\\Program Files\\Product");

  // The user goes back and chooses another folder: the next call resolves
  // it, without asking the DLL again.
  SetPathFor(S.Def.FolderVariables[0].second, 1, "D:\\Elsewhere");
  S.Roots = {};
  EXPECT_TRUE(Prepare());
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls.size(), calls);
  EXPECT_EQ(selectionsTaken, 1);
  ASSERT_EQ(S.Roots.resolvedRoots.size(), 3u);
  EXPECT_EQ(S.Roots.resolvedRoots[0][0], "D:\\Elsewhere");
}

// ---------------------------------------------------------------- folders

TEST_F(SupportDllTest, TheSystemFolderTextBecomesTheSupportFolderText) {
  dll->exports = {R::GetSystemFolders, R::GetSystemFoldersA, R::GetSystemFoldersW};
  dll->systemFolders = "%DATA%C:\\Data%SHARE%*C:\\Share";
  dll->systemFoldersW = u"%WIDE%C:\\Wide";
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(S.SupportFolderText, "%DATA%C:\\Data%SHARE%*C:\\Share");
  EXPECT_EQ(dll->calls, std::vector<std::string>{"GetSystemFolders(size=32768)"});
}

TEST_F(SupportDllTest, TheAnsiSuffixComesBeforeTheUtf16Variant) {
  dll->exports = {R::GetSystemFoldersA, R::GetSystemFoldersW, R::GetInstallFoldersA, R::GetInstallFoldersW};
  dll->systemFolders = "%A%C:\\A";
  dll->installFolders = "%ANSI%|a|C:\\Ansi|";
  dll->installFoldersW = u"%WIDE%|w|C:\\Wide|";
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls, (std::vector<std::string>{"GetSystemFoldersA(size=32768)", "GetInstallFoldersA(size=32768)"}));
  EXPECT_EQ(S.SupportFolderText, "%A%C:\\A");
  EXPECT_TRUE(Variable("%ANSI%"));
  EXPECT_FALSE(Variable("%WIDE%"));
}

TEST_F(SupportDllTest, TheUtf16VariantsServeWhenTheyAreTheOnlyOnes) {
  dll->exports = {R::GetSystemFoldersW, R::GetInstallFoldersW};
  dll->systemFoldersW = u"%W\u00C4%C:\\\u00C4";
  dll->installFoldersW = u"%WIDE%|w|C:\\Wide|";
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(S.SupportFolderText, "%W\xC3\x84%C:\\\xC3\x84");
  ASSERT_TRUE(Variable("%WIDE%"));
  EXPECT_EQ(Variable("%WIDE%")->AllUsersPath, "C:\\Wide");
}

TEST_F(SupportDllTest, ASystemFolderTextThatCannotBeConvertedLeavesTheSupportFolderTextEmpty) {
  dll->exports = {R::GetSystemFoldersW};
  dll->systemFoldersW = u"%BAD%C:\\";
  dll->systemFoldersW += char16_t{0xD800};
  S.SupportFolderText = "left over";
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(S.SupportFolderText, "");
}

TEST_F(SupportDllTest, NewInstallFoldersAreExpandedForTheUserTypeOverriddenByTheCommandLineAndResolved) {
  dll->exports = {R::GetInstallFolders};
  dll->installFolders =
      "%TOOLS%|Tools|%APPFOLDER%\\Tools\\|%appfolder%|Mine|D:"
      "\\Mine|%DATA%|Data|*C:\\Data";
  S.Args.insert(S.Args.end(), {"/DATA", "C:\\Other Data\\"});
  EXPECT_TRUE(Prepare());
  ASSERT_EQ(S.Def.FolderVariables.size(), 4u);
  EXPECT_EQ(Variable("%APPFOLDER%")->AllUsersPath, "C:\\Program Files\\Product");
  EXPECT_EQ(Variable("%APPFOLDER%")->Description, "Application");
  const TSpecialFolder* tools = Variable("%TOOLS%");
  ASSERT_TRUE(tools);
  EXPECT_EQ(tools->Description, "Tools");
  EXPECT_EQ(tools->AllUsersPath, "C:\\Program Files\\Product\\Tools");
  EXPECT_EQ(tools->CurrentUserPath, "");
  EXPECT_FALSE(tools->Shared);
  const TSpecialFolder* data = Variable("%DATA%");
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->Shared);
  EXPECT_EQ(data->AllUsersPath, "C:\\Other Data");
  ASSERT_EQ(S.Roots.resolvedRoots[0].size(), 2u);
  EXPECT_EQ(S.Roots.resolvedRoots[0][1], "C:\\Program Files\\Product\\Tools\\bin");
}

TEST_F(SupportDllTest, ACurrentUserInstallationGetsTheNewFolderAsItsCurrentUserPath) {
  dll->exports = {R::GetInstallFolders};
  dll->installFolders = "%TOOLS%|Tools|C:\\Users\\u\\Tools|";
  S.Def.UserType = 2;
  EXPECT_TRUE(Prepare());
  ASSERT_TRUE(Variable("%TOOLS%"));
  EXPECT_EQ(Variable("%TOOLS%")->CurrentUserPath, "C:\\Users\\u\\Tools");
  EXPECT_EQ(Variable("%TOOLS%")->AllUsersPath, "");
}

TEST_F(SupportDllTest, APortableInstallationCallsNoFolderRoutine) {
  dll->exports = {R::AllowInstallation, R::GetSystemFolders,   R::GetSystemFoldersW,
                  R::GetInstallFolders, R::GetInstallFoldersW, R::GetComponentSelection};
  dll->installFolders = "%TOOLS%|Tools|C:\\Tools|";
  S.PortableInstall = true;
  EXPECT_TRUE(Prepare());
  for (const std::string& call : dll->calls) EXPECT_EQ(call.find("Folders"), std::string::npos) << call;
  EXPECT_EQ(dll->calls.size(), 4u);  // allow and the three components
  EXPECT_FALSE(Variable("%TOOLS%"));
  // With the window, the portable folder is chosen later: nothing resolved.
  EXPECT_TRUE(S.Roots.resolvedRoots.empty());
}

TEST_F(SupportDllTest, ASilentPortableInstallationResolvesItsFolders) {
  S.PortableInstall = true;
  S.Silent = true;
  S.Def.PortableFolder = "E:\\Portable";
  EXPECT_TRUE(Prepare());
  ASSERT_EQ(S.Roots.resolvedRoots.size(), 3u);
  EXPECT_EQ(S.Roots.resolvedRoots[0][0], "E:\\Portable");
}

// ---------------------------------------------------------------- the install
// folder text

class InstallFolderTextTest : public ::testing::Test {
 protected:
  FolderVariableList list{{"%APPFOLDER%", Folder("Application", "C:\\App", "C:\\Users\\u\\App")}};
  const TSpecialFolder* Find(const std::string& name) {
    for (const auto& [n, f] : list)
      if (n == name) return &f;
    return nullptr;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& [n, f] : list) names.push_back(n);
    return names;
  }
};

TEST_F(InstallFolderTextTest, AnEntryNamingAStandardVariableLeavesItUnchanged) {
  AddSupportInstallFolders("%APPFOLDER%|Other|D:\\Other|", list, 1);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].second.Description, "Application");
  EXPECT_EQ(list[0].second.AllUsersPath, "C:\\App");
  EXPECT_EQ(list[0].second.CurrentUserPath, "C:\\Users\\u\\App");
}

TEST_F(InstallFolderTextTest, AnAsteriskMarksTheFolderSharedAndIsNotPartOfIt) {
  AddSupportInstallFolders("%COMMON%|Common|*C:\\Common\\Product|%OWN%|Own|C:\\Own|", list, 1);
  ASSERT_TRUE(Find("%COMMON%"));
  EXPECT_TRUE(Find("%COMMON%")->Shared);
  EXPECT_EQ(Find("%COMMON%")->AllUsersPath, "C:\\Common\\Product");
  ASSERT_TRUE(Find("%OWN%"));
  EXPECT_FALSE(Find("%OWN%")->Shared);
}

TEST_F(InstallFolderTextTest, AMissingFinalBarIsSupplied) {
  AddSupportInstallFolders("%A%|a|C:\\A|%B%|b|C:\\B", list, 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"%APPFOLDER%", "%A%", "%B%"}));
  EXPECT_EQ(Find("%B%")->AllUsersPath, "C:\\B");
  EXPECT_EQ(Find("%B%")->Description, "b");
}

TEST_F(InstallFolderTextTest, AnEmptyNameStopsTheText) {
  AddSupportInstallFolders("%A%|a|C:\\A||x|C:\\X|%B%|b|C:\\B|", list, 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"%APPFOLDER%", "%A%"}));
  AddSupportInstallFolders("|%C%|c|C:\\C|", list, 1);
  EXPECT_EQ(list.size(), 2u);
}

TEST_F(InstallFolderTextTest, AnEmptyTextAddsNothing) {
  AddSupportInstallFolders("", list, 1);
  AddSupportInstallFolders("|", list, 1);
  EXPECT_EQ(list.size(), 1u);
}

TEST_F(InstallFolderTextTest, NamesAreUpperCasedAndAnEarlierEntryWins) {
  AddSupportInstallFolders("%tools%|first|C:\\One|%Tools%|second|C:\\Two|%appfolder%|x|C:\\X|", list, 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"%APPFOLDER%", "%TOOLS%"}));
  EXPECT_EQ(Find("%TOOLS%")->Description, "first");
  EXPECT_EQ(Find("%TOOLS%")->AllUsersPath, "C:\\One");
  EXPECT_EQ(Find("%APPFOLDER%")->AllUsersPath, "C:\\App");
}

TEST_F(InstallFolderTextTest, TheTrailingBackslashGoesButADrivesRootStaysWhole) {
  AddSupportInstallFolders("%A%|a|C:\\A\\|%R%|r|D:\\|", list, 1);
  EXPECT_EQ(Find("%A%")->AllUsersPath, "C:\\A");
  EXPECT_EQ(Find("%R%")->AllUsersPath, "D:\\");
}

TEST_F(InstallFolderTextTest, TheFolderIsThePathOfTheUserTypeOnly) {
  AddSupportInstallFolders("%A%|a|C:\\A|", list, 2);
  EXPECT_EQ(Find("%A%")->CurrentUserPath, "C:\\A");
  EXPECT_EQ(Find("%A%")->AllUsersPath, "");
}

TEST_F(InstallFolderTextTest, AnEntryCutShortHasEmptyFields) {
  AddSupportInstallFolders("%A%|only a description", list, 1);
  ASSERT_TRUE(Find("%A%"));
  EXPECT_EQ(Find("%A%")->Description, "only a description");
  EXPECT_EQ(Find("%A%")->AllUsersPath, "");
}

// ---------------------------------------------------------------- components

TEST_F(SupportDllTest, TheComponentSelectionGoesInAndComesBackForEveryComponent) {
  dll->exports = {R::GetComponentSelection, R::GetComponentSelectionA, R::GetComponentSelectionW};
  dll->presets["Program"] = {-1, 0};  // made optional and cleared
  dll->presets["Extras"] = {5, 1};    // any non-zero value is true
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls, (std::vector<std::string>{"GetComponentSelection(name=Program, optional=0, "
                                                  "selected=-1, previouslyInstalled=0)",
                                                  "GetComponentSelection(name=Docs, optional=-1, "
                                                  "selected=-1, previouslyInstalled=0)",
                                                  "GetComponentSelection(name=Extras, optional=-1, "
                                                  "selected=0, previouslyInstalled=-1)"}));
  const auto& c = S.Def.Components;
  EXPECT_TRUE(c[0].Optional);
  EXPECT_FALSE(c[0].Selected);
  EXPECT_TRUE(c[1].Optional);
  EXPECT_TRUE(c[1].Selected);
  EXPECT_TRUE(c[2].Optional);
  EXPECT_TRUE(c[2].Selected);
  EXPECT_EQ(selectionsTaken, 1);
}

TEST_F(SupportDllTest, TheSelectionCanMakeAComponentMandatory) {
  dll->exports = {R::GetComponentSelectionA};
  dll->presets["Docs"] = {0, 0};
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls.size(), 3u);
  EXPECT_EQ(dll->calls[0].rfind("GetComponentSelectionA(", 0), 0u);
  EXPECT_FALSE(S.Def.Components[1].Optional);
  EXPECT_FALSE(S.Def.Components[1].Selected);
}

TEST_F(SupportDllTest, TheUtf16SelectionServesWhenItIsTheOnlyOne) {
  dll->exports = {R::GetComponentSelectionW};
  dll->presets["Docs"] = {-1, 0};
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(dll->calls[1],
            "GetComponentSelectionW(name=Docs, optional=-1, "
            "selected=-1, previouslyInstalled=0)");
  EXPECT_FALSE(S.Def.Components[1].Selected);
}

TEST_F(SupportDllTest, TheWizardRecomputesAfterTheSelectionStepEvenWithoutARoutine) {
  dll->exports = {R::AllowInstallation};
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(selectionsTaken, 1);
  EXPECT_TRUE(Hooks().PrepareInstallation(kOwner, {}));  // an empty callback is allowed
}

// ---------------------------------------------------------------- errors

TEST_F(SupportDllTest, AnAllowRoutineThatRaisesIsReportedAndCountsAsAllowed) {
  dll->exports = {R::AllowInstallation2, R::GetSystemFolders};
  dll->allowAnswer = 0;
  dll->raises[R::AllowInstallation2] = "Access violation at address 10001234.";
  dll->systemFolders = "%X%C:\\X";
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(Boxes(), std::vector<std::string>{"An error occurred while calling the routine AllowInstallation() in "
                                              "the support DLL: \rAccess violation at address 10001234."});
  EXPECT_EQ(S.SupportFolderText, "%X%C:\\X");
  EXPECT_EQ(selectionsTaken, 1);
}

TEST_F(SupportDllTest, FolderRoutinesThatRaiseLeaveTheirTextsEmpty) {
  dll->exports = {R::GetSystemFoldersW, R::GetInstallFolders};
  dll->systemFoldersW = u"%X%C:\\X";
  dll->installFolders = "%Y%|y|C:\\Y|";
  dll->raises[R::GetSystemFoldersW] = "system";
  dll->raises[R::GetInstallFolders] = "install";
  S.SupportFolderText = "left over";
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"An error occurred while calling the routine "
                                               "GetSystemFolders() in the support DLL: \rsystem",
                                               "An error occurred while calling the routine "
                                               "GetInstallFolders() in the support DLL: \rinstall"}));
  EXPECT_EQ(S.SupportFolderText, "");
  EXPECT_FALSE(Variable("%Y%"));
  EXPECT_EQ(S.Def.FolderVariables.size(), 2u);
  EXPECT_FALSE(S.Roots.resolvedRoots.empty());
}

TEST_F(SupportDllTest, EachComponentCallIsGuardedOnItsOwnUnderTheNameOfItsVariant) {
  dll->exports = {R::GetComponentSelection};
  dll->presets["Docs"] = {-1, 0};
  dll->raises[R::GetComponentSelection] = "boom";
  EXPECT_TRUE(Prepare());
  const std::string box =
      "An error occurred while calling the routine "
      "GetComponentSelection() in the support DLL: \rboom";
  EXPECT_EQ(Boxes(), (std::vector<std::string>{box, box, box}));
  EXPECT_EQ(dll->calls.size(), 3u);
  EXPECT_TRUE(S.Def.Components[1].Selected);  // no answer taken from a call that raised
  EXPECT_EQ(selectionsTaken, 1);
}

TEST_F(SupportDllTest, TheUtf16SelectionIsReportedUnderItsOwnName) {
  dll->exports = {R::GetComponentSelectionW};
  dll->raises[R::GetComponentSelectionW] = "wide";
  S.Def.Components.resize(1);
  EXPECT_TRUE(Prepare());
  EXPECT_EQ(Boxes(), std::vector<std::string>{"An error occurred while calling the routine "
                                              "GetComponentSelectionW() in the support DLL: \rwide"});
}

TEST_F(SupportDllTest, AFinishingRoutineThatRaisesIsReportedUnderTheCommonName) {
  dll->exports = {R::FinishDeploymentW};
  dll->raises[R::FinishDeploymentW] = "late";
  EXPECT_TRUE(Prepare());
  Hooks().FinishDeployment("C:\\Product\\Stowa.log");
  EXPECT_EQ(Boxes(), std::vector<std::string>{"An error occurred while calling the routine "
                                              "FinishDeployment() in the support DLL: \rlate"});
}

// ---------------------------------------------------------------- finishing

TEST_F(SupportDllTest, FinishDeploymentGetsTheLogPathInTheFirstPresentVariant) {
  dll->exports = {R::FinishDeployment, R::FinishDeploymentA, R::FinishDeploymentW};
  EXPECT_TRUE(Prepare());
  Hooks().FinishDeployment("C:\\Program Files\\Product\\Stowa.log");
  EXPECT_EQ(dll->calls, std::vector<std::string>{"FinishDeployment(logPath=C:\\Program Files\\Product\\Stowa.log)"});

  dll->exports = {R::FinishDeploymentA, R::FinishDeploymentW};
  Hooks().FinishDeployment("E:\\Portable\\RemovableDrive.sys");
  dll->exports = {R::FinishDeploymentW};
  Hooks().FinishDeployment("C:\\P\\Stowa.log");
  EXPECT_EQ(dll->calls, (std::vector<std::string>{"FinishDeployment(logPath=C:\\Program Files\\Product\\Stowa.log)",
                                                  "FinishDeploymentA(logPath=E:\\Portable\\RemovableDrive.sys)",
                                                  "FinishDeploymentW(logPath=C:\\P\\Stowa.log)"}));
}

TEST_F(SupportDllTest, FinishDeploymentBeforeTheDllWasLoadedDoesNothing) {
  dll->exports = {R::FinishDeployment};
  Hooks().FinishDeployment("C:\\P\\Stowa.log");
  EXPECT_TRUE(dll->calls.empty());
  EXPECT_TRUE(loader.loads.empty());
}

}  // namespace
}  // namespace stw::test
