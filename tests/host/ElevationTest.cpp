// The rights test, the elevated second instance and its handshake, and
// Controlled Folder Access, against the simulated machine: its token, its
// registry, its Windows release and the programs it starts are set by the
// test. A second instance of the setup runs on the same machine while the
// first waits, as the shell would start it.
#include <gtest/gtest.h>

#include "WizardFixture.h"
#include "system/Elevation.h"

namespace stw::test {
namespace {

const std::string kSetupProgram = "C:\\Temp\\setup.exe";
const std::string kCfaKey =
    "Software\\Microsoft\\Windows Defender\\Windows Defender Exploit Guard\\Controlled Folder Access";
const std::string kPowerShell = "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";


class ElevationTest : public WizardTest {
 protected:
  void SetUp() override {
    WizardTest::SetUp();
    sys.Set("program", kSetupProgram);
    // An administrator whose programs run with the filtered token, UAC on.
    sys.Set("admin", "0");
    sys.Set("uac", "1");
    sys.Set("elevated", "0");
    sys.Set("limited", "1");
  }

  // The second instance: the setup run again with the parameters it was
  // given, elevated, its window driven as the posted messages drive it.
  HostDesktop childDesktop;
  std::vector<std::string> childArgs;
  uint32_t RunChild(const std::string& parameters) {
    childArgs = {kSetupProgram};
    for (const std::string& a : SplitCommandLine(parameters)) childArgs.push_back(a);
    sys.Set("elevated", "1");
    sys.Set("admin", "1");
    sys.Set("limited", "0");
    TRunDialogs d(dialogs, true, false);
    TSetupRun child({fs, reg, sys, d, shell}, childArgs);
    child.Sleep = [](int) {};
    child.S.Desktop = &childDesktop;
    child.Interactive = [this](TSetupRun& r) {
      forms::HeadlessBackend b;
      TSetupWizard cw(r.S, b, childDesktop, [] { return std::make_unique<forms::HeadlessBackend>(); });
      cw.Sleep = [](int) {};
      cw.FormCreate();
      r.StartupSequence();
      cw.AfterStartup(r.Verdict);
      // The replayed action opens a page; its user goes on with Proceed.
      for (int i = 0; i < 10 && !cw.form.closed(); ++i) {
        cw.form.dispatcher().Service();
        cw.BtnProceed.Click();
      }
      return cw.ExitCode();
    };
    const int code = child.Main();
    sys.Set("elevated", "0");
    sys.Set("admin", "0");
    sys.Set("limited", "1");
    return static_cast<uint32_t>(code);
  }
  void ScriptElevatedChild() {
    HostShell::Program p;
    p.run = [this](const std::string& parameters) { return RunChild(parameters); };
    shell.Script("setup.exe", p);
  }
  std::vector<std::string> ShellStarts() {
    std::vector<std::string> out;
    for (const std::string& e : shell.Events())
      if (StartsWith(e, "shell\t")) out.push_back(e);
    return out;
  }
  std::optional<std::string> Handshake(RegRoot root, const std::string& name) {
    return reg.ReadString(root, kHandshakeKey, name);
  }
};

// A product that opens its menu folder and starts app.exe when finished.
PackageManifest Finishing(PackageManifest m) {
  m = NoLicence(m);
  m.finishFlags = 2 | 4;
  m.finishExeIndex = static_cast<uint16_t>(FindDataIndex(m, "app.exe"));
  return m;
}

// ---------------------------------------------------------------- the rights test

TEST_F(ElevationTest, ACurrentUserOnlySetupNeverTestsOrAsksForRights) {
  PackageManifest m = NoLicence(Choice());
  m.userType = 2;
  TSetupWizard& wz = Open(m, {"/noadmin"});
  EXPECT_TRUE(wz.S.CanInstall);
  EXPECT_TRUE(wz.S.PreferCurrentUser);
  EXPECT_FALSE(wz.S.ElevateByRelaunch);
  EXPECT_FALSE(wz.BtnInstall.shield());
  // The rights were not tested by writing.
  EXPECT_FALSE(Handshake(RegRoot::LocalMachine, "Stub"));
  wz.BtnInstall.Click();
  EXPECT_EQ(w->end(), WizardEnd::Installed);
  EXPECT_TRUE(ShellStarts().empty());
}

TEST_F(ElevationTest, WithoutWriteAccessASetupOfferingBothFallsBackSilently) {
  // No switch noadmin: the rights are tested by writing, which fails.
  TSetupWizard& wz = Open(NoLicence(Choice()));
  EXPECT_TRUE(wz.S.CanInstall);
  EXPECT_EQ(wz.S.Def.UserType, 2);
  EXPECT_TRUE(wz.RightsNotes.empty());
  EXPECT_FALSE(wz.BtnInstall.shield());
  wz.BtnInstall.Click();
  EXPECT_EQ(w->end(), WizardEnd::Installed);
  EXPECT_TRUE(fs.FileExists(kLocalAppData + "\\Test Product\\app.exe"));
  EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ElevationTest, WithoutWriteAccessAnAllUsersSetupCannotInstallOrOffersOnlyThePortableOne) {
  PackageManifest m = Choice();
  m.userType = 1;
  TSetupWizard& wz = Open(m);
  EXPECT_FALSE(wz.S.CanInstall);
  ASSERT_EQ(wz.RightsNotes.size(), 2u);
  EXPECT_EQ(wz.RightsNotes[0]->caption(), wz.S.IString(14));
  EXPECT_EQ(wz.RightsNotes[1]->caption(), wz.S.IString(15));
  EXPECT_FALSE(wz.BtnInstall.enabled());
  EXPECT_FALSE(wz.BtnComponents.enabled());
  EXPECT_FALSE(wz.BtnAdvanced.enabled());

  m.portableMode = 1;
  m.portableFolder = "MyApp";
  TSetupWizard& portable = Open(m);
  EXPECT_EQ(portable.S.Def.PortableMode, 2);
  ASSERT_EQ(portable.RightsNotes.size(), 2u);
  EXPECT_EQ(portable.RightsNotes[1]->caption(), portable.S.IString(93));
  EXPECT_TRUE(portable.BtnInstall.enabled());

  // Silent: the two texts in a box without caption, nothing installed.
  m.portableMode = 0;
  EXPECT_EQ(Run(Build(m), {"/silent"}, false), kExitFailed);
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown.back().title, "");
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}

TEST_F(ElevationTest, WithNoadminTheButtonsCarryTheShieldAndSilentGoesToTheCurrentUser) {
  TSetupWizard& wz = Open(Choice(), {"/noadmin"});
  EXPECT_TRUE(wz.S.ElevateByRelaunch);
  EXPECT_FALSE(wz.S.PreferCurrentUser);  // the filtered administrator is asked
  EXPECT_TRUE(wz.BtnInstall.shield());
  EXPECT_TRUE(wz.BtnComponents.shield());
  EXPECT_FALSE(wz.BtnAdvanced.shield());  // it offers both user types
  wz.BtnAdvanced.Click();
  EXPECT_TRUE(wz.BtnUserAll.shield());
  EXPECT_FALSE(wz.BtnUserCurrent.shield());

  // The same setup silent: the current user, no prompt.
  EXPECT_EQ(Run(Build(NoLicence(Choice())), {"/silent", "/noadmin"}), kExitSuccess);
  EXPECT_TRUE(ShellStarts().empty());
  EXPECT_TRUE(fs.FileExists(kLocalAppData + "\\Test Product\\app.exe"));
  EXPECT_FALSE(fs.FileExists(App("app.exe")));

  // A standard user (no filtered token) is not asked either: current user.
  sys.Set("limited", "0");
  EXPECT_TRUE(Open(Choice(), {"/noadmin"}).S.PreferCurrentUser);
  EXPECT_FALSE(w->BtnInstall.shield());
}

TEST_F(ElevationTest, TheSwitchElevateCountsOnlyWithAFullToken) {
  sys.Set("admin", "1");
  EXPECT_FALSE(Open(Choice(), {"/elevate"}).S.RelaunchedInstance);
  sys.Set("elevated", "1");
  EXPECT_TRUE(Open(Choice(), {"/elevate"}).S.RelaunchedInstance);
  // The rights test of every instance leaves its file and clears the rest.
  EXPECT_EQ(Handshake(RegRoot::LocalMachine, "Stub"), w->S.SetupFile);
  sys.Set("elevated", "0");
  EXPECT_TRUE(Open(Choice(), {"/cfatest"}).S.RelaunchedInstance);
  EXPECT_TRUE(Open(Choice(), {"-CfaInstall"}).S.RelaunchedInstance);
}

// ---------------------------------------------------------------- the round trip

TEST_F(ElevationTest, TheElevatedCopyInstallsAndTheFirstStartsTheProgramWithTheUsersRights) {
  ScriptElevatedChild();
  std::filesystem::create_directories(fs.NativePath("C:\\My Temp"));
  TSetupWizard& wz = Open(Finishing(Choice()), {"/noadmin", "/temp", "C:\\My Temp"});
  forms::HeadlessBackend backdropBackend;
  forms::Form backdrop(backdropBackend);
  backdrop.Show();
  wz.Backdrop = &backdrop;
  wz.BtnInstall.Click();
  EXPECT_TRUE(ShellStarts().empty());  // posted: the click's handler ends first
  Pump();
  // The child: this program, "runas", the installer file, the switch, the
  // user's switches without noadmin (a folder with a space quoted).
  ASSERT_EQ(ShellStarts().size(), 1u);
  EXPECT_EQ(ShellStarts()[0], "shell\t" + kSetupProgram + "\trunas\t\"" + wz.S.SetupFile +
                                  "\" /elevate /temp \"C:\\My Temp\"\t1\tnoowner");
  EXPECT_FALSE(wz.form.shown());  // hidden while the child ran, with the backdrop
  EXPECT_FALSE(backdrop.shown());
  // The child installed for all users and started nothing itself.
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  EXPECT_TRUE(childDesktop.Events().empty());
  // The first instance opened the menu folder and started the program.
  const auto events = desktop.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "shell\t" + kPrograms + "\\Test Product\topen\t\t\t5");
  EXPECT_EQ(events[1], "shell\t" + App("app.exe") + "\t\t\t" + App() + "\t5");
  // "Stub" and "Result" stay. (The two paths stay too: the user may not
  // delete under the local machine; the next rights test clears them.)
  EXPECT_EQ(Handshake(RegRoot::LocalMachine, "Stub"), wz.S.SetupFile);
  EXPECT_EQ(reg.ReadDword(RegRoot::LocalMachine, kHandshakeKey, "Result"), 42u);
  EXPECT_EQ(wz.S.ElevatedResult, 42u);
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitSuccess);
}

TEST_F(ElevationTest, TheChildReplaysTheChosenPath) {
  ScriptElevatedChild();
  PackageManifest m = NoLicence(Choice());
  m.components[1].optional = true;
  // The user type page: all users asks for the rights with /userall; the
  // child goes on to the folders page and installs.
  TSetupWizard& wz = Open(m, {"/noadmin"});
  wz.BtnAdvanced.Click();
  wz.BtnUserAll.Click();
  Pump();
  ASSERT_EQ(ShellStarts().size(), 1u);
  EXPECT_NE(ShellStarts()[0].find("/elevate /userall\t"), std::string::npos) << ShellStarts()[0];
  EXPECT_TRUE(fs.FileExists(App("app.exe")));

  // The child opens the components page at once.
  TSetupWizard& again = Open(m, {"/noadmin"});
  again.BtnComponents.Click();
  Pump();
  ASSERT_EQ(ShellStarts().size(), 2u);
  EXPECT_NE(ShellStarts()[1].find("/elevate /components\t"), std::string::npos) << ShellStarts()[1];
  EXPECT_EQ(StartActionFromSwitches(childArgs), 2);
}

TEST_F(ElevationTest, TheReplayPressesOnlyWhatThisInstanceLeftEnabled) {
  // An update-only package without the product: the elevated copy's
  // buttons are disabled, so the replayed Install does nothing.
  sys.Set("elevated", "1");
  sys.Set("admin", "1");
  PackageManifest m = NoLicence(Choice());
  m.setupOptionBits = 2;
  m.minimumPreviousDate = 45000;
  m.upgradeMessages = "Only an update.\rInstall the full product first.";
  for (const char* action : {"/elevate", "/userall"}) {
    TSetupWizard& wz = Open(m, {"/elevate", action});
    ASSERT_TRUE(wz.S.RelaunchedInstance);
    Pump();
    EXPECT_EQ(wz.end(), WizardEnd::Running) << action;
    EXPECT_FALSE(fs.FileExists(App("app.exe")));
  }
  // Without the block the same replay installs.
  m = NoLicence(Choice());
  TSetupWizard& wz = Open(m, {"/elevate"});
  Pump();
  EXPECT_EQ(wz.end(), WizardEnd::Installed);
}

TEST_F(ElevationTest, AStubOfAnotherInstallerOrAChildThatEndedEarlyStartsNothing) {
  // Another setup ran meanwhile and left its own file.
  HostShell::Program other;
  other.run = [this](const std::string& parameters) {
    const uint32_t code = RunChild(parameters);
    sys.Set("admin", "1");
    reg.WriteString(RegRoot::LocalMachine, kHandshakeKey, "Stub", "Z:\\elsewhere\\other-setup.exe");
    sys.Set("admin", "0");
    return code;
  };
  shell.Script("setup.exe", other);
  TSetupWizard& wz = Open(Finishing(Choice()), {"/noadmin"});
  wz.BtnInstall.Click();
  Pump();
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  EXPECT_TRUE(desktop.Events().empty());
  EXPECT_EQ(wz.S.ElevatedResult, 0u);

  // A child that stopped before its completion: its rights test deleted
  // "Result"; it fails with 1603, and so does the first instance.
  HostShell::Program early;
  early.run = [this](const std::string&) {
    sys.Set("admin", "1");
    reg.DeleteValue(RegRoot::LocalMachine, kHandshakeKey, "Result");
    reg.WriteString(RegRoot::LocalMachine, kHandshakeKey, "Stub", w->S.SetupFile);
    sys.Set("admin", "0");
    return 1603u;
  };
  shell.Script("setup.exe", early);
  TSetupWizard& second = Open(Finishing(Choice()), {"/noadmin"});
  second.BtnInstall.Click();
  Pump();
  EXPECT_TRUE(desktop.Events().empty());
  Pump();
  EXPECT_TRUE(second.form.closed());
  EXPECT_EQ(second.ExitCode(), kExitFailed);
}

TEST_F(ElevationTest, ADeclinedPromptCancelsAndAFailedStartFails) {
  HostShell::Program declining;
  declining.decline = true;
  shell.Script("setup.exe", declining);
  TSetupWizard& wz = Open(Choice(), {"/noadmin"});
  wz.BtnInstall.Click();
  Pump();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitCancelled);
  EXPECT_TRUE(dialogs.shown.empty());  // the user's own no needs no box

  HostShell::Program refusing;
  refusing.refuse = true;
  shell.Script("setup.exe", refusing);
  TSetupWizard& failed = Open(Choice(), {"/noadmin"});
  failed.BtnInstall.Click();
  Pump();
  Pump();
  EXPECT_EQ(failed.ExitCode(), kExitFailed);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_NE(dialogs.shown[0].text.find(kSetupProgram), std::string::npos);
}

TEST_F(ElevationTest, ASilentRunWithOnlyAllUsersElevatesAtOnceAndReturnsTheChildsCode) {
  ScriptElevatedChild();
  PackageManifest m = Product();
  m.userType = 1;
  EXPECT_EQ(Run(Build(m), {"/silent", "/noadmin"}), kExitSuccess);
  ASSERT_EQ(ShellStarts().size(), 1u);
  EXPECT_NE(ShellStarts()[0].find("\" /elevate /silent\t1\tnoowner"), std::string::npos);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  // The silent child leaves no handshake to read (it has no completion page).
  EXPECT_FALSE(reg.ReadDword(RegRoot::LocalMachine, kHandshakeKey, "Result"));

  HostShell::Program failing;
  failing.exitCode = 3010;
  shell.Script("setup.exe", failing);
  EXPECT_EQ(Run(Build(m), {"/silent", "/noadmin"}), kExitRestartNeeded);
}

TEST_F(ElevationTest, TheInstallerOnAMappedDriveGoesByItsNetworkName) {
  TSetupState s({fs, reg, sys, dialogs, shell});
  s.Desktop = &desktop;
  s.SetupFile = "N:\\Downloads\\setup.exe";
  EXPECT_EQ(UniversalSetupFile(s), s.SetupFile);  // N: is no network drive
  desktop.SetNetworkName('N', "\\\\srv\\share");
  EXPECT_EQ(UniversalSetupFile(s), "\\\\srv\\share\\Downloads\\setup.exe");
  s.SetupFile = "C:\\Downloads\\setup.exe";
  EXPECT_EQ(UniversalSetupFile(s), s.SetupFile);
  s.SetupFile = "\\\\srv\\share\\setup.exe";
  EXPECT_EQ(UniversalSetupFile(s), s.SetupFile);
}

// ---------------------------------------------------------------- Controlled Folder Access

// A window that records what the check asks of it.
class RecordingHost : public IInstanceHost {
 public:
  std::vector<std::string> events;
  std::vector<std::function<void()>> posted;
  void* OwnerWindow() override { return nullptr; }
  void HideWindows() override { events.push_back("hide"); }
  void HideStartButtons() override {}
  void Post(std::function<void()> m) override {
    events.push_back("post");
    posted.push_back(std::move(m));
  }
  void EndMessageLoop() override { events.push_back("end"); }
  void CompletionAction() override { events.push_back("completion"); }
  void ShowStage(const std::string& text, int maximum) override {
    events.push_back("stage " + text + " 0-" + std::to_string(maximum));
  }
  void StagePosition(int p) override { events.push_back("gauge " + std::to_string(p)); }
  std::string Caption() override { return "Setup caption"; }
  void Sleep(int ms) override { events.push_back("sleep " + std::to_string(ms)); }
  void RunPosted() {
    auto list = std::move(posted);
    posted.clear();
    for (auto& m : list) m();
  }
};

class CfaTest : public ElevationTest {
 protected:
  RecordingHost host;
  std::unique_ptr<TSetupState> s;
  std::unique_ptr<TSecondInstance> instance;

  void SetUp() override {
    ElevationTest::SetUp();
    sys.Set("admin", "1");
    sys.Set("elevated", "1");
    sys.Set("limited", "0");
    sys.Set("version", "10.0");
    reg.WriteString(RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "ReleaseId", "1709");
    reg.WriteDword(RegRoot::LocalMachine, kCfaKey, "EnableControlledFolderAccess", 1, RegView::View64);
    reg.CreateKey(RegRoot::LocalMachine, kCfaKey + "\\AllowedApplications", RegView::View64);
    Write(kPowerShell, "stand-in");
    // A second instance that ends at once, and a PowerShell that does what
    // the command says to the list of allowed programs.
    shell.Script("setup.exe", HostShell::Program{});
    HostShell::Program powershell;
    powershell.run = [this](const std::string& parameters) {
      const size_t open = parameters.find('\''), close = parameters.rfind('\'');
      std::string path;
      for (size_t i = open + 1; i < close; ++i) {
        path += parameters[i];
        if ((parameters[i] == '\'' || parameters[i] == '"') && i + 1 < close && parameters[i + 1] == parameters[i]) ++i;
      }
      const std::string allowed = kCfaKey + "\\AllowedApplications";
      if (parameters.find("Add-MpPreference") != std::string::npos)
        reg.WriteString(RegRoot::LocalMachine, allowed, path, "", RegView::View64);
      else
        reg.DeleteValue(RegRoot::LocalMachine, allowed, path, RegView::View64);
      return 0u;
    };
    shell.Script("powershell.exe", powershell);
  }
  TSecondInstance& Make(uint8_t options, std::vector<std::string> switches = {}, bool silent = false) {
    s = std::make_unique<TSetupState>(TPlatform{fs, reg, sys, dialogs, shell});
    s->Args = {kSetupProgram, "Z:\\dist\\setup.exe"};
    s->Args.insert(s->Args.end(), switches.begin(), switches.end());
    s->SetupFile = s->Args[1];
    s->Silent = silent;
    s->Def.CfaOptions = options;
    s->Def.CfaMessage = "Windows protects your folders from %File%.";
    host.events.clear();
    instance = std::make_unique<TSecondInstance>(*s, host);
    return *instance;
  }
  std::vector<std::string> PowerShellCommands() {
    std::vector<std::string> out;
    for (const std::string& e : ShellStarts())
      if (e.find(kPowerShell) != std::string::npos) out.push_back(SplitTabs(e)[3]);
    return out;
  }
  static std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) parts.push_back(line.substr(at, tab - at));
    parts.push_back(line.substr(at));
    return parts;
  }
};

TEST_F(CfaTest, ThePowerShellCommandDoublesQuotesAndTheWarningNamesTheProgram) {
  EXPECT_EQ(CfaPowerShellParameters("C:\\O'Brien \"x\"\\setup.exe", true),
            "-NoProfile -WindowStyle Hidden -Command \"Add-MpPreference -ControlledFolderAccessAllowedApplications "
            "'C:\\O''Brien \"\"x\"\"\\setup.exe'\"");
  EXPECT_EQ(CfaPowerShellParameters("C:\\a.exe", false),
            "-NoProfile -WindowStyle Hidden -Command \"Remove-MpPreference -ControlledFolderAccessAllowedApplications "
            "'C:\\a.exe'\"");
  EXPECT_EQ(CfaWarningText("%FILE% and %file%%FiLe%!", "P", "Go on?"), "P and PP!\r\rGo on?");
  EXPECT_EQ(CfaWarningText("no placeholder", "P", "Q"), "no placeholder\r\rQ");
}

TEST_F(CfaTest, OldReleasesAndASwitchedOffDefenderAreNotTested) {
  sys.Set("version", "6.3");
  EXPECT_TRUE(Make(3).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 0);
  sys.Set("version", "10.0");
  reg.WriteString(RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "ReleaseId", "1703");
  EXPECT_TRUE(Make(2).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 0);
  EXPECT_TRUE(dialogs.shown.empty());
  reg.WriteString(RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "ReleaseId", "2009");
  reg.WriteDword(RegRoot::LocalMachine, "Software\\Microsoft\\Windows Defender", "DisableAntiVirus", 1,
                 RegView::View64);
  EXPECT_TRUE(Make(2).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 0);
  EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(CfaTest, From1709TheBlockWarnsAndYesStartsATestRun) {
  dialogs.Answer(IDYES_);
  EXPECT_FALSE(Make(2).CheckControlledFolderAccess(kActionComponents));
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "Windows protects your folders from " + kSetupProgram + ".\r\r" + s->IString(70));
  EXPECT_EQ(dialogs.shown[0].title, "Setup caption");
  EXPECT_EQ(dialogs.shown[0].style, unsigned(MB_YESNO_ | MB_ICONERROR_));
  EXPECT_EQ(s->Def.CfaOptions, 2 | 128);
  host.RunPosted();
  ASSERT_EQ(ShellStarts().size(), 1u);
  EXPECT_EQ(ShellStarts()[0], "shell\t" + kSetupProgram + "\topen\t\"Z:\\dist\\setup.exe\" /cfatest /components\t1\tnoowner");
  EXPECT_EQ(host.events.back(), "end");
  // The test run itself does not warn again.
  EXPECT_TRUE(Make(2, {"/cfatest"}).CheckControlledFolderAccess(1));
  EXPECT_EQ(dialogs.shown.size(), 1u);

  // No: the setup ends, nothing started.
  dialogs.Answer(IDNO_);
  EXPECT_FALSE(Make(2).CheckControlledFolderAccess(1));
  host.RunPosted();
  EXPECT_EQ(host.events.back(), "end");
  EXPECT_EQ(ShellStarts().size(), 1u);
}

TEST_F(CfaTest, AuditModeAnAllowedSetupAndASilentRunWithOnlyTheWarningGoOn) {
  reg.WriteDword(RegRoot::LocalMachine, kCfaKey, "EnableControlledFolderAccess", 2, RegView::View64);
  EXPECT_TRUE(Make(1 | 2).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 2);  // not added, not warned
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_TRUE(PowerShellCommands().empty());

  reg.WriteDword(RegRoot::LocalMachine, kCfaKey, "EnableControlledFolderAccess", 1, RegView::View64);
  reg.WriteString(RegRoot::LocalMachine, kCfaKey + "\\AllowedApplications", kSetupProgram, "", RegView::View64);
  EXPECT_TRUE(Make(1 | 2).CheckControlledFolderAccess(1));
  EXPECT_TRUE(dialogs.shown.empty());
  reg.DeleteValue(RegRoot::LocalMachine, kCfaKey + "\\AllowedApplications", kSetupProgram, RegView::View64);

  EXPECT_TRUE(Make(2, {}, true).CheckControlledFolderAccess(kActionSilent));
  EXPECT_TRUE(dialogs.shown.empty());
  // Neither allowing nor warning: on despite the block, which stays known.
  EXPECT_TRUE(Make(8).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 8 | 128);
}

TEST_F(CfaTest, TheSetupIsAllowedForItsRunAndWithdrawnAfterwards) {
  EXPECT_FALSE(Make(1).CheckControlledFolderAccess(kActionSilent));
  const std::string uninstaller = "C:\\Temp\\UnStowa.exe";
  EXPECT_EQ(PowerShellCommands(), (std::vector<std::string>{CfaPowerShellParameters(kSetupProgram, true),
                                                            CfaPowerShellParameters(uninstaller, true),
                                                            CfaPowerShellParameters(kSetupProgram, false)}));
  const auto starts = ShellStarts();
  ASSERT_EQ(starts.size(), 4u);
  EXPECT_EQ(SplitTabs(starts[0])[2], "open");
  EXPECT_EQ(SplitTabs(starts[0])[4], "0");  // hidden
  EXPECT_EQ(starts[2], "shell\t" + kSetupProgram + "\topen\t\"Z:\\dist\\setup.exe\" /cfainstall\t1\tnoowner");
  EXPECT_EQ(host.events,
            (std::vector<std::string>{"stage Adding " + kSetupProgram + " to Controlled Folder Access 0-3", "gauge 1",
                                      "gauge 2", "sleep 2000", "gauge 3", "hide", "end"}));
  EXPECT_EQ(s->SecondInstanceExit, 0u);

  // The instance started after allowing does not allow again.
  EXPECT_TRUE(Make(1, {"/cfainstall"}).CheckControlledFolderAccess(1));
  EXPECT_EQ(ShellStarts().size(), 4u);

  // Interactive: posted, with the action's switch.
  EXPECT_FALSE(Make(1).CheckControlledFolderAccess(kActionUserAll));
  EXPECT_EQ(host.events, std::vector<std::string>{"post"});
  host.RunPosted();
  // The uninstaller stayed allowed from the first run: added no more.
  ASSERT_EQ(ShellStarts().size(), 7u);
  EXPECT_NE(ShellStarts()[5].find("/cfainstall /userall\t"), std::string::npos);
}

TEST_F(CfaTest, WithoutAdministratorRightsOrPowerShellOnlyTheWarningIsLeft) {
  sys.Set("admin", "0");
  dialogs.Answer(IDNO_);
  EXPECT_FALSE(Make(1 | 2 | 8).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 2 | 128);
  EXPECT_EQ(dialogs.shown.size(), 1u);
  EXPECT_TRUE(PowerShellCommands().empty());

  sys.Set("admin", "1");
  fs.DeleteFile(kPowerShell);
  EXPECT_TRUE(Make(1 | 8).CheckControlledFolderAccess(1));
  EXPECT_EQ(s->Def.CfaOptions, 0);
  EXPECT_TRUE(ShellStarts().empty());
}

TEST_F(CfaTest, TheInstalledProgramsAreAllowedWhenTheSetupAsks) {
  PackageManifest m = Product();
  m.cfaOptions = 8;
  sys.Set("admin", "1");
  EXPECT_EQ(Run(Build(m), {"/silent"}), kExitSuccess);
  const auto commands = PowerShellCommands();
  // app.exe is the product's one program; the uninstaller is one too.
  EXPECT_NE(std::find(commands.begin(), commands.end(), CfaPowerShellParameters(App("app.exe"), true)), commands.end());
  for (const std::string& c : commands) EXPECT_NE(c.find(".exe'"), std::string::npos) << c;
  EXPECT_EQ(std::count(commands.begin(), commands.end(), CfaPowerShellParameters(App("readme.txt"), true)), 0);
}

TEST_F(CfaTest, AShortcutThatCannotBeSavedUnderTheBlockSaysWhy) {
  PackageManifest m = Product();
  m.cfaOptions = 8;  // the installed programs allowed: no box, no second instance
  m.components[0].root.folders.push_back(MenuWithShortcut(m));
  // A folder where the link goes: it cannot be saved.
  const std::string link = kPrograms + "\\Test Product\\The program.lnk";
  std::filesystem::create_directories(fs.NativePath(link));
  EXPECT_EQ(Run(Build(m), {"/silent", "/userall"}, false), kExitSuccess);
  ASSERT_FALSE(dialogs.shown.empty());
  const std::string& text = dialogs.shown.back().text;
  EXPECT_NE(text.find(link), std::string::npos) << text;
  EXPECT_NE(text.find("Controlled Folder Access may have blocked them"), std::string::npos) << text;

  // Without the block the reason is not suggested.
  reg.WriteDword(RegRoot::LocalMachine, kCfaKey, "EnableControlledFolderAccess", 0, RegView::View64);
  dialogs.shown.clear();
  EXPECT_EQ(Run(Build(m), {"/silent", "/userall"}, false), kExitSuccess);
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown.back().text.find("Controlled Folder Access"), std::string::npos);
}

}  // namespace
}  // namespace stw::test
