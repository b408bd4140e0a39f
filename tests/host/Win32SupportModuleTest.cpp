// The real support DLL loader with the test DLLs of tests/wine
// (StwSupport.dll with every routine, StwSupportWide.dll with a few): the
// exports found by name, the arguments as the DLL receives them (read back
// from its call log), the answers, the buffers, and errors raised inside a
// routine caught and reported instead of ending the process.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "TestSupport.h"
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/win32/Win32SupportModule.h"
#include "platform/win32/Windows.h"
#include "system/SupportDll.h"

namespace stw::test {
namespace {

using R = SupportRoutine;

const wchar_t* const kVariables[] = {L"STW_SUPPORT_LOG",     L"STW_SUPPORT_ALLOW", L"STW_SUPPORT_SYSTEM",
                                     L"STW_SUPPORT_INSTALL", L"STW_SUPPORT_FILL",  L"STW_SUPPORT_SELECT",
                                     L"STW_SUPPORT_FAIL"};

// The build's Linux path of a test DLL as a path of Wine's Z: drive.
std::string BuiltDll(const char* linuxPath) {
  std::string p = linuxPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return "Z:" + p;
}

void SetEnv(const wchar_t* name, const std::string& utf8) {
  const std::u16string w = Utf8ToUtf16(utf8);
  SetEnvironmentVariableW(name, reinterpret_cast<const wchar_t*>(w.c_str()));
}

class Win32SupportModuleTest : public ::testing::Test {
 protected:
  TestMachine m;
  Win32SupportModuleLoader loader;
  std::string log = m.Work() + "calls.log";
  // The DLLs as the setup finds them: copied into a temporary folder.
  std::string full = m.Work() + "StwSupport.dll";
  std::string wide = m.Work() + "StwSupportWide.dll";

  void SetUp() override {
    for (const wchar_t* v : kVariables) SetEnvironmentVariableW(v, nullptr);
    SetEnv(L"STW_SUPPORT_LOG", log);
    ASSERT_TRUE(m.Fs().CopyFile(BuiltDll(STW_SUPPORT_DLL), full));
    ASSERT_TRUE(m.Fs().CopyFile(BuiltDll(STW_SUPPORT_WIDE_DLL), wide));
  }
  void TearDown() override {
    for (const wchar_t* v : kVariables) SetEnvironmentVariableW(v, nullptr);
  }
  std::vector<std::string> Calls() { return m.Exists(log) ? SplitLines(m.ReadFile(log)) : std::vector<std::string>{}; }
  std::unique_ptr<ISupportModule> Full() {
    auto module = loader.Load(full);
    EXPECT_TRUE(module);
    return module;
  }
};

TEST_F(Win32SupportModuleTest, TheDllIsLoadedOnlyByItsFullPath) {
  EXPECT_FALSE(loader.Load("StwSupport.dll"));
  EXPECT_FALSE(loader.Load(m.Work() + "Missing.dll"));
  EXPECT_TRUE(loader.Load(full));
}

TEST_F(Win32SupportModuleTest, ExportsAreFoundByTheirUndecoratedNames) {
  auto module = Full();
  for (size_t i = 0; i < kSupportRoutineCount; ++i)
    EXPECT_TRUE(module->Exports(static_cast<R>(i))) << SupportExportName(static_cast<R>(i));
  auto some = loader.Load(wide);
  ASSERT_TRUE(some);
  for (size_t i = 0; i < kSupportRoutineCount; ++i) {
    const R r = static_cast<R>(i);
    const bool expected = r == R::AllowInstallation2 || r == R::GetSystemFoldersW || r == R::GetInstallFoldersW ||
                          r == R::GetComponentSelectionW || r == R::FinishDeploymentW;
    EXPECT_EQ(some->Exports(r), expected) << SupportExportName(r);
  }
  EXPECT_FALSE(some->Allow(R::AllowInstallation3, nullptr, false, false));
  EXPECT_FALSE(some->Folders(R::GetSystemFolders));
  EXPECT_FALSE(some->Finish(R::FinishDeployment, "x"));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Win32SupportModuleTest, TheAllowRoutinesGetTheirFlagsAsMinusOneAndZero) {
  auto module = Full();
  void* owner = reinterpret_cast<void*>(uintptr_t{0x1234});
  EXPECT_EQ(module->Allow(R::AllowInstallation, owner, true, true), true);
  EXPECT_EQ(module->Allow(R::AllowInstallation2, owner, true, true), true);
  EXPECT_EQ(module->Allow(R::AllowInstallation3, owner, false, true), true);
  SetEnv(L"STW_SUPPORT_ALLOW", "0");
  EXPECT_EQ(module->Allow(R::AllowInstallation3, owner, true, false), false);
  SetEnv(L"STW_SUPPORT_ALLOW", "5");
  EXPECT_EQ(module->Allow(R::AllowInstallation2, owner, false, false), true);
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "AllowInstallation owner=0x1234",
                         "AllowInstallation2 owner=0x1234 portable=-1",
                         "AllowInstallation3 owner=0x1234 portable=0 currentUser=-1",
                         "AllowInstallation3 owner=0x1234 portable=-1 currentUser=0",
                         "AllowInstallation2 owner=0x1234 portable=0",
                     }));
}

TEST_F(Win32SupportModuleTest, FolderBuffersAreZeroFilledOfTheirSizeAndReadInTheirCharacterSet) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_SYSTEM",
         "%DATA%C:\\Gr\xC3\xBC\xC3\x9F"
         "e");
  SetEnv(L"STW_SUPPORT_INSTALL", "%W%|\xE2\x82\xAC|C:\\\xE6\x97\xA5\xE6\x9C\xAC|");
  EXPECT_EQ(module->Folders(R::GetSystemFolders),
            "%DATA%C:\\Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(module->Folders(R::GetSystemFoldersA),
            "%DATA%C:\\Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(module->Folders(R::GetInstallFoldersW), "%W%|\xE2\x82\xAC|C:\\\xE6\x97\xA5\xE6\x9C\xAC|");
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{"GetSystemFolders size=32768 zeroed=1", "GetSystemFoldersA size=32768 zeroed=1",
                                      "GetInstallFoldersW size=32768 zeroed=1"}));
}

TEST_F(Win32SupportModuleTest, ABufferFilledWithoutATerminatorIsReadToItsEndAndNoFurther) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_FILL", "1");
  EXPECT_EQ(module->Folders(R::GetInstallFolders), std::string(32768, 'x'));
  EXPECT_EQ(module->Folders(R::GetSystemFoldersW), std::string(32768, 'x'));
}

TEST_F(Win32SupportModuleTest, AUtf16TextThatCannotBeConvertedReadsAsEmpty) {
  auto module = Full();
  const wchar_t bad[] = {L'%', L'X', L'%', 0xD800, L'C', 0};
  SetEnvironmentVariableW(L"STW_SUPPORT_SYSTEM", bad);
  EXPECT_EQ(module->Folders(R::GetSystemFoldersW), "");
}

TEST_F(Win32SupportModuleTest, TheComponentFlagsGoInAndComeBack) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_SELECT", "Docs=0,5;D\xC3\xA9mo=-1,0");
  auto a = module->ComponentSelection(R::GetComponentSelection, "Docs", {true, false}, true);
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->Optional);
  EXPECT_TRUE(a->Selected);
  auto w = module->ComponentSelection(R::GetComponentSelectionW, "D\xC3\xA9mo", {false, true}, false);
  ASSERT_TRUE(w);
  EXPECT_TRUE(w->Optional);
  EXPECT_FALSE(w->Selected);
  auto untouched = module->ComponentSelection(R::GetComponentSelectionA, "Other", {true, true}, false);
  ASSERT_TRUE(untouched);
  EXPECT_TRUE(untouched->Optional);
  EXPECT_TRUE(untouched->Selected);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"GetComponentSelection name=Docs optional=-1 "
                                               "selected=0 previouslyInstalled=-1",
                                               "GetComponentSelectionW name=D\xC3\xA9mo optional=0 "
                                               "selected=-1 previouslyInstalled=0",
                                               "GetComponentSelectionA name=Other optional=-1 "
                                               "selected=-1 previouslyInstalled=0"}));
}

TEST_F(Win32SupportModuleTest, TheFinishingRoutinesGetTheLogPath) {
  auto module = Full();
  EXPECT_TRUE(module->Finish(R::FinishDeployment, "C:\\Program Files\\P\\Stowa.log"));
  EXPECT_TRUE(module->Finish(R::FinishDeploymentA, "E:\\P\\RemovableDrive.sys"));
  EXPECT_TRUE(module->Finish(R::FinishDeploymentW, "C:\\\xE6\x97\xA5\\Stowa.log"));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"FinishDeployment path=C:\\Program Files\\P\\Stowa.log",
                                               "FinishDeploymentA path=E:\\P\\RemovableDrive.sys",
                                               "FinishDeploymentW path=C:\\\xE6\x97\xA5\\Stowa.log"}));
}

// ---------------------------------------------------------------- errors
// raised inside a routine

std::string FaultOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ESupportRoutineFault& e) {
    return e.what();
  }
  return "(no fault)";
}

TEST_F(Win32SupportModuleTest, AnAccessViolationInsideARoutineIsCaughtAndDescribed) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_FAIL", "GetInstallFoldersW=av");
  const std::string text = FaultOf([&] { module->Folders(R::GetInstallFoldersW); });
  EXPECT_EQ(text.rfind("Access violation at address ", 0), 0u) << text;
  EXPECT_NE(
      text.find(" in module 'StwSupport.dll'. Write of address " + std::string(2 * sizeof(void*) - 2, '0') + "10."),
      std::string::npos)
      << text;
  // The module and the thread go on working.
  SetEnv(L"STW_SUPPORT_INSTALL", "%A%|a|C:\\A|");
  EXPECT_EQ(module->Folders(R::GetInstallFolders), "%A%|a|C:\\A|");
}

TEST_F(Win32SupportModuleTest, ARaisedExceptionIsCaughtWithItsCode) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_FAIL", "AllowInstallation3=raise;FinishDeploymentW=raise");
  const std::string text = FaultOf([&] { module->Allow(R::AllowInstallation3, nullptr, false, false); });
  EXPECT_EQ(text.rfind("External exception E0535457 at address ", 0), 0u) << text;
  EXPECT_NE(FaultOf([&] { module->Finish(R::FinishDeploymentW, "C:\\x.log"); }), "(no fault)");
}

TEST_F(Win32SupportModuleTest, AnExceptionTheDllCatchesItselfNeverReachesTheSetup) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_FAIL", "GetComponentSelectionW=caught");
  SetEnv(L"STW_SUPPORT_SELECT", "Docs=-1,-1");
  std::optional<ISupportModule::Selection> out;
  EXPECT_EQ(FaultOf([&] { out = module->ComponentSelection(R::GetComponentSelectionW, "Docs", {}, false); }),
            "(no fault)");
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->Selected);
  EXPECT_EQ(Calls().back(), "GetComponentSelectionW caught=8");
}

TEST_F(Win32SupportModuleTest, ACxxExceptionLeavingTheDllIsCaught) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_FAIL", "FinishDeploymentA=cpp");
  for (int i = 0; i < 3; ++i) {
    const std::string text = FaultOf([&] { module->Finish(R::FinishDeploymentA, "C:\\x.log"); });
    EXPECT_EQ(text.rfind("C++ exception at address ", 0), 0u) << text;
  }
  // The DLL's runtime and ours both go on.
  SetEnv(L"STW_SUPPORT_FAIL", "FinishDeploymentA=caught");
  EXPECT_EQ(FaultOf([&] { module->Finish(R::FinishDeploymentA, "C:\\y.log"); }), "(no fault)");
  EXPECT_EQ(Calls().back(), "FinishDeploymentA caught=8");
  EXPECT_THROW(throw std::runtime_error("ours"), std::runtime_error);
}

TEST_F(Win32SupportModuleTest, ManyFaultsInARowLeaveTheThreadSound) {
  auto module = Full();
  SetEnv(L"STW_SUPPORT_FAIL", "GetSystemFolders=av;GetSystemFoldersA=raise");
  for (int i = 0; i < 50; ++i) {
    EXPECT_NE(FaultOf([&] { module->Folders(R::GetSystemFolders); }), "(no fault)");
    EXPECT_NE(FaultOf([&] { module->Folders(R::GetSystemFoldersA); }), "(no fault)");
  }
  // A C++ exception of our own still unwinds through our frames.
  EXPECT_THROW(throw std::runtime_error("ours"), std::runtime_error);
  SetEnv(L"STW_SUPPORT_SYSTEM", "%OK%C:\\OK");
  EXPECT_EQ(module->Folders(R::GetSystemFoldersW), "%OK%C:\\OK");
}

// ---------------------------------------------------------------- the hooks
// with the real DLL

class Win32SupportHooksTest : public Win32SupportModuleTest {
 protected:
  std::unique_ptr<IShell> shell = CreateNativeShell();
  TSetupState S{TPlatform{m.Fs(), m.Registry(), m.System(), m.Dialogs(), *shell}};

  void SetUp() override {
    Win32SupportModuleTest::SetUp();
    S.Package.TempFilePaths = {full, wide};
    S.Def.SupportDllIndex = 0;
    // An all-users installation that is not portable: the hooks write no
    // "Stub" value into this machine's registry.
    S.Def.UserType = 1;
    S.SetupFile = m.Work() + "product-setup.exe";
    S.Args = {m.Work() + "setup.exe", S.SetupFile};
    TSpecialFolder app;
    app.AllUsersPath = "C:\\Program Files\\Product";
    S.Def.FolderVariables.emplace_back("%APPFOLDER%", app);
    for (const char* name : {"Program", "Docs"}) {
      TComponentData c;
      c.Name = name;
      c.Optional = true;
      c.Selected = true;
      S.Def.Components.push_back(std::move(c));
    }
  }
};

TEST_F(Win32SupportHooksTest, TheHooksTakeTheDllsAnswersAndReportItsErrors) {
  SetEnv(L"STW_SUPPORT_FAIL", "AllowInstallation3=av;GetSystemFolders=raise");
  SetEnv(L"STW_SUPPORT_INSTALL", "%tools%|Tools|%APPFOLDER%\\Tools\\|%APPFOLDER%|x|D:\\X");
  SetEnv(L"STW_SUPPORT_SELECT", "Docs=0,0");
  TSupportDll hooks(S, loader);
  int recomputed = 0;
  EXPECT_TRUE(hooks.PrepareInstallation(nullptr, [&] { ++recomputed; }));
  hooks.FinishDeployment("C:\\Program Files\\Product\\Stowa.log");

  ASSERT_EQ(m.Dialogs().shown.size(), 2u);
  EXPECT_EQ(m.Dialogs().shown[0].title, "Pakvestor Setup");
  EXPECT_EQ(m.Dialogs().shown[0].style, unsigned{MB_OK_ | MB_ICONERROR_});
  EXPECT_EQ(m.Dialogs().shown[0].text.rfind("An error occurred while calling the routine "
                                            "AllowInstallation() in the support DLL: \r"
                                            "Access violation at address ",
                                            0),
            0u)
      << m.Dialogs().shown[0].text;
  EXPECT_EQ(m.Dialogs().shown[1].text.rfind("An error occurred while calling the routine "
                                            "GetSystemFolders() in the support DLL: \r"
                                            "External exception E0535457",
                                            0),
            0u)
      << m.Dialogs().shown[1].text;
  EXPECT_EQ(S.SupportFolderText, "");
  const TSpecialFolder* tools = FindFolderVariable(S.Def.FolderVariables, "%TOOLS%");
  ASSERT_TRUE(tools);
  EXPECT_EQ(tools->AllUsersPath, "C:\\Program Files\\Product\\Tools");
  EXPECT_EQ(FindFolderVariable(S.Def.FolderVariables, "%APPFOLDER%")->AllUsersPath, "C:\\Program Files\\Product");
  EXPECT_TRUE(S.Def.Components[0].Selected);
  EXPECT_FALSE(S.Def.Components[1].Optional);
  EXPECT_FALSE(S.Def.Components[1].Selected);
  EXPECT_EQ(recomputed, 1);
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "AllowInstallation3 owner=0x0 portable=0 currentUser=0",
                         "GetSystemFolders size=32768 zeroed=1",
                         "GetInstallFolders size=32768 zeroed=1",
                         "GetComponentSelection name=Program optional=-1 selected=-1 "
                         "previouslyInstalled=0",
                         "GetComponentSelection name=Docs optional=-1 selected=-1 "
                         "previouslyInstalled=0",
                         "FinishDeployment path=C:\\Program Files\\Product\\Stowa.log",
                     }));
}

TEST_F(Win32SupportHooksTest, ARefusalIsTheDllsLastWord) {
  SetEnv(L"STW_SUPPORT_ALLOW", "0");
  TSupportDll hooks(S, loader);
  EXPECT_FALSE(hooks.PrepareInstallation(nullptr, {}));
  EXPECT_FALSE(hooks.PrepareInstallation(nullptr, {}));
  EXPECT_EQ(Calls(), std::vector<std::string>{"AllowInstallation3 owner=0x0 portable=0 currentUser=0"});
  EXPECT_TRUE(m.Dialogs().shown.empty());
}

TEST_F(Win32SupportHooksTest, ADllWithOnlyTheUtf16VariantsIsServedThroughThem) {
  S.Def.SupportDllIndex = 1;
  SetEnv(L"STW_SUPPORT_SYSTEM", "%DATA%C:\\Data");
  SetEnv(L"STW_SUPPORT_INSTALL", "%MORE%|More|*C:\\More\\");
  TSupportDll hooks(S, loader);
  EXPECT_TRUE(hooks.PrepareInstallation(nullptr, {}));
  hooks.FinishDeployment("C:\\Program Files\\Product\\Stowa.log");
  EXPECT_EQ(S.SupportFolderText, "%DATA%C:\\Data");
  const TSpecialFolder* more = FindFolderVariable(S.Def.FolderVariables, "%MORE%");
  ASSERT_TRUE(more);
  EXPECT_TRUE(more->Shared);
  EXPECT_EQ(more->AllUsersPath, "C:\\More");
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "AllowInstallation2 owner=0x0 portable=0",
                         "GetSystemFoldersW size=32768 zeroed=1",
                         "GetInstallFoldersW size=32768 zeroed=1",
                         "GetComponentSelectionW name=Program optional=-1 selected=-1 "
                         "previouslyInstalled=0",
                         "GetComponentSelectionW name=Docs optional=-1 selected=-1 "
                         "previouslyInstalled=0",
                         "FinishDeploymentW path=C:\\Program Files\\Product\\Stowa.log",
                     }));
}

}  // namespace
}  // namespace stw::test
