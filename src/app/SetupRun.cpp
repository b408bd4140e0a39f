#include "app/SetupRun.h"

#include <iostream>

#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/WholeFile.h"
#include "system/CommandLine.h"
#include "system/Elevation.h"
#include "system/FolderVariables.h"

namespace stw {

// ---------------------------------------------------------------- the run

namespace {

// A silent run has no window: what a second instance asks of one happens
// at once (a silent run starts everything with action 0, so nothing is
// posted but the end, which is the return of the run).
class TSilentInstanceHost : public IInstanceHost {
 public:
  TSilentInstanceHost(TSetupState& s, std::function<void(int)>& sleep) : s_(s), sleep_(sleep) {}
  void* OwnerWindow() override { return nullptr; }
  void HideWindows() override {}
  void HideStartButtons() override {}
  void Post(std::function<void()> message) override { message(); }
  void EndMessageLoop() override {}
  void CompletionAction() override {}
  void ShowStage(const std::string& text, int) override { std::cerr << text << std::endl; }
  void StagePosition(int) override {}
  std::string Caption() override { return s_.WindowCaption(); }
  void Sleep(int milliseconds) override { sleep_(milliseconds); }

 private:
  TSetupState& s_;
  std::function<void(int)>& sleep_;
};

}  // namespace

TSetupRun::TSetupRun(TPlatform platform, std::vector<std::string> args)
    : S(platform), supportLoader_(CreateNativeSupportModuleLoader(S.P.Fs)) {
  S.Args = std::move(args);
  UseSupportLoader(*supportLoader_);
}

void TSetupRun::UseSupportLoader(ISupportModuleLoader& loader) {
  support_ = std::make_unique<TSupportDll>(S, loader);
  S.Support = support_.get();
}

TSetupRun::~TSetupRun() { FormDestroy(); }

bool TSetupRun::HasSwitch(const std::string& name) const { return stw::HasSwitch(S.Args, name); }

int TSetupRun::Main() {
  IDialogs& dlg = S.P.Dialogs;
  if (S.Args.size() < 2) {
    dlg.MessageBox(
        "This executable is part of an installation program.\rIt serves no purpose on its own.\rIt will be "
        "automatically deleted when the installation is completed.",
        "Orvane Pakvestor", MB_OK_ | MB_ICONERROR_);
    return kExitFailed;
  }
  S.SetupFile = S.Args[1];
  bool found = S.P.Fs.FileExists(S.SetupFile);
  if (!found && StartsWith(S.SetupFile, "\\\\")) {
    // An elevated process does not see the shares that the user connected
    // in the normal session: connect the installer's share here.
    const std::string share = DriveOfPath(S.SetupFile);
    found = !share.empty() && S.P.Sys.ConnectNetworkShare(share) && S.P.Fs.FileExists(S.SetupFile);
  }
  if (!found) {
    dlg.MessageBox("Unable to open the file " + S.SetupFile + "\r\r" +
                       "If this is a network drive, make sure that you can access it using both your normal Windows "
                       "user account and your Administrator account.  Or, copy the installer to a local hard drive "
                       "and run it from there.",
                   "Orvane Pakvestor", MB_OK_ | MB_ICONERROR_);
    return kExitFailed;
  }
  try {
    FormCreate();
    if (HasSwitch("silent") || HasSwitch("s")) return SilentRun();
    if (Interactive) return Interactive(*this);
    // The wizard window is not part of this program yet: an interactive
    // start says so instead of doing nothing.
    dlg.MessageBox("This setup program installs only silently. Start it again with the switch /silent.",
                   S.WindowCaption(), MB_OK_ | MB_ICONERROR_);
    return kExitFailed;
  } catch (const EAbortInstallation&) {
    return Installer && Installer->ErrorShown() ? kExitFailed : kExitCancelled;
  } catch (const ESetupException& e) {
    dlg.MessageBox(e.what(), S.WindowCaption(), MB_OK_ | MB_ICONERROR_);
    if (e.Reason() != e.what()) std::cerr << "reason: " << e.Reason() << std::endl;
    return kExitFailed;
  } catch (const std::exception& e) {
    // Anything else is this program's fault; still a message and a
    // defined exit code rather than a crash.
    dlg.MessageBox(std::string("The setup program failed: ") + e.what(), S.WindowCaption(), MB_OK_ | MB_ICONERROR_);
    return kExitFailed;
  }
}

void TSetupRun::MakePrivateTempFolder() {
  // Support files go to a folder that this run creates new, with a random
  // name, so that no other user can put a file of their own in their place
  // between extraction and use; it is removed at exit.
  // Held, so that another run's clean-up below passes it over.
  const std::string path = CreateHeldFolder(S.P.Fs, S.TempFolder, true, 20, privateHold_);
  if (path.empty())
    throw ESetupException("No private folder could be created in the temporary folder " + S.TempFolder + ".");
  privateTemp_ = path;
  S.Package.TempFolder = path + "\\";
  RemoveLeftoverPrivateFolders(S.P.Fs, S.TempFolder, path);
}

void TSetupRun::FormCreate() {
  const std::string program = S.P.Sys.ProgramFile();
  S.TempFolder = ChooseTempFolder(S.Args, S.P.Fs.TempFolder(), ExtractFilePath(program));
  MakePrivateTempFolder();
  S.Package.SetupFile = S.SetupFile;
  S.Package.OpenPackage();
  TSetupReader reader(S.Package, S.Def);
  reader.ReadFirstSections({S.Args.begin() + std::min<size_t>(2, S.Args.size()), S.Args.end()});
}

void TSetupRun::StartupSequence() {
  TSetupReader reader(S.Package, S.Def);
  reader.ReadWelcomeInformation(S.Silent);
  S.Package.WindowCaption = S.WindowCaption();
  reader.RegisterFolderDefaults(HasSwitch("nodesktop"));
  reader.ReadBackground(S.Silent);  // the window itself is the wizard's

  SystemFacts facts;
  facts.windowsFolder = S.P.Sys.WindowsFolder();
  facts.systemFolder = S.P.Sys.SystemFolder();
  facts.ntFamily = true;
  facts.readRegistry = [this](bool machine, const std::string& key,
                               const std::string& value) -> std::optional<std::string> {
    auto text = S.P.Reg.ReadString(machine ? RegRoot::LocalMachine : RegRoot::CurrentUser, key, value);
    // A folder longer than MAX_PATH is not one the system's own calls could
    // use: the fallback is taken instead.
    if (text && Utf8ToUtf16(*text).size() > 260) return std::nullopt;
    return text;
  };
  facts.folderExists = [this](const std::string& p) { return S.P.Fs.DirectoryExists(p); };
  S.Folders = LoadSystemFolders(facts);

  reader.ReadComponents();
  reader.ReadFileTable();
  reader.ReadFolderTrees();
  for (const auto& c : S.Def.Components) S.Def.HasOptionalComponents |= c.Optional;
  reader.ReadRegistryData();
  reader.ReadFileTypes();
  reader.ReadPrerequisites();
  reader.ReadFinishOptions();
  reader.ReadUninstallOptions();
  reader.ReadSetupOptions();
  ComputeRequiredComponents(S.Def.Components);
  if (S.Def.PortableMode != 2) Verdict = DetectEarlierInstallation(S);

  if (HasSwitch("userall")) {
    S.Def.UserType = 1;
  } else if (HasSwitch("usercurrent")) {
    S.Def.UserType &= static_cast<uint8_t>(~1u);
    // An earlier all-users installation left the choice 1; without its
    // bit 0 nothing would be left to install for: the current user it is.
    if ((S.Def.UserType & 3) == 0) S.Def.UserType |= 2;
  }
  if (S.Def.PortableMode == 2)
    S.CanInstall = true;
  else
    CheckInstallRights();
}

void TSetupRun::CheckInstallRights() {
  TSetupDefinition& d = S.Def;
  ISystem& sys = S.P.Sys;
  S.RelaunchedInstance = (HasSwitch("elevate") && sys.IsElevated()) || HasSwitch("cfainstall") || HasSwitch("cfatest");
  if (d.UserType == 2) {
    S.CanInstall = S.PreferCurrentUser = true;
    return;
  }
  S.ElevateByRelaunch =
      !S.RelaunchedInstance && HasSwitch("noadmin") && sys.UacEnabled() && !sys.IsAdminMember() && !sys.IsElevated();
  if (S.ElevateByRelaunch) {
    S.CanInstall = true;
    S.PreferCurrentUser = (d.UserType & 6) == 2 && (S.Silent || !sys.HasLimitedToken());
  } else {
    // The rights are tested by writing where an all-users installation
    // writes: the handshake key under the local machine.
    S.CanInstall = false;
    IRegistry& reg = S.P.Reg;
    if (reg.CreateKey(RegRoot::LocalMachine, kHandshakeKey)) {
      reg.DeleteValue(RegRoot::LocalMachine, kHandshakeKey, "Result");
      reg.DeleteValue(RegRoot::LocalMachine, kHandshakeKey, "FinishedMenu");
      reg.DeleteValue(RegRoot::LocalMachine, kHandshakeKey, "FinishedExe");
      if (reg.WriteString(RegRoot::LocalMachine, kHandshakeKey, "Stub", S.SetupFile)) {
        const auto stub = reg.ReadString(RegRoot::LocalMachine, kHandshakeKey, "Stub");
        S.CanInstall = stub && *stub == S.SetupFile;
      }
    }
  }
  if (!S.CanInstall && (d.UserType & 6) == 2) {
    S.CanInstall = true;
    d.UserType = 2;
  }
}

int TSetupRun::SilentRun() {
  S.Silent = true;
  if (S.Def.PortableMode == 2) {
    S.PortableInstall = true;
    // A folder without a drive lies on the drive this program runs from.
    std::string& folder = S.Def.PortableFolder;
    if (DriveOfPath(folder).empty()) {
      folder = DriveOfPath(S.P.Sys.ProgramFile()) + (StartsWith(folder, "\\") ? "" : "\\") + folder;
    }
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  }
  StartupSequence();
  if (!S.CanInstall) {
    S.P.Dialogs.MessageBox(S.IString(kStrCannotInstall1) + "\r" + S.IString(kStrCannotInstall2), "", MB_OK_);
    return kExitFailed;
  }
  if (S.PreferCurrentUser) {
    S.Def.UserType = 2;
    S.ElevateByRelaunch = false;
  } else if (S.Def.UserType & 1) {
    S.Def.UserType = 1;
  }
  // An elevated second instance, or one after Controlled Folder Access,
  // installs instead of this one: its exit code is this run's.
  TSilentInstanceHost host(S, Sleep);
  TSecondInstance instance(S, host);
  if (!instance.BeginInstallation(kActionSilent)) return static_cast<int>(S.SecondInstanceExit.value_or(kExitFailed));
  if (S.UpgradeBlocked) {
    for (const std::string& line : Verdict.NoteLines) std::cerr << line << std::endl;
    return kExitFailed;
  }
  // PrepareInstallation: the support DLL may refuse the installation, add
  // folder variables and choose components; then the folder variables with
  // the overrides of the command line (not for a portable installation,
  // whose variables all mean its one folder) and the folders of every
  // component, for the chosen user type. A refusal is the DLL's to explain.
  if (!S.Support->PrepareInstallation(nullptr, [&] { ComputeRequiredComponents(S.Def.Components); }))
    return kExitFailed;

  Installer = std::make_unique<TInstaller>(S, quiet_);
  // A silent run never stops to wait for the user: the framework and the
  // prerequisites end it with an error instead.
  if (!Installer->Install()) return kExitFailed;
  InstallationFinishedHook(S);
  return S.RebootNeeded ? kExitRestartNeeded : kExitSuccess;
}

void TSetupRun::FormDestroy() {
  S.Package.ClosePackage();
  // The DLL goes before its file.
  S.Support = nullptr;
  support_.reset();
  // Installers copied out of the package: the run that copied them is the
  // only one to use them.
  S.PrerequisiteProcess.reset();
  for (const std::string& p : S.TemporaryInstallers) S.P.Fs.DeleteFile(p);
  S.TemporaryInstallers.clear();
  for (size_t i = S.Package.TempFilePaths.size(); i-- > 0;) {
    const std::string& p = S.Package.TempFilePaths[i];
    if (p != "*") S.P.Fs.DeleteFile(p);
  }
  S.Package.TempFilePaths.clear();
  privateHold_.reset();
  if (!privateTemp_.empty()) {
    S.P.Fs.RemoveFolder(privateTemp_);
    privateTemp_.clear();
  }
}

}  // namespace stw
