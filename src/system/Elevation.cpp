#include "system/Elevation.h"

#include <cctype>

#include "base/Text.h"
#include "system/CommandLine.h"
#include "system/FolderVariables.h"

namespace stw {

namespace {

constexpr const char* kCfaKey =
    "Software\\Microsoft\\Windows Defender\\Windows Defender Exploit Guard\\Controlled Folder Access";
constexpr const char* kAllowedKey =
    "Software\\Microsoft\\Windows Defender\\Windows Defender Exploit Guard\\Controlled Folder Access\\"
    "AllowedApplications";
constexpr int kShowNormal = 1, kHide = 0;
constexpr uint32_t kFinishedResult = 42;

enum : uint8_t { kCfaAllowSetup = 1, kCfaWarn = 2, kCfaAllowInstalled = 8, kCfaBlocked = 128 };

}  // namespace

std::string UniversalSetupFile(TSetupState& s) {
  const std::string& file = s.SetupFile;
  if (!s.Desktop || file.size() < 2 || file[1] != ':' || !std::isalpha(static_cast<unsigned char>(file[0])))
    return file;
  const std::string root = file.substr(0, 2) + "\\";
  if (!s.Desktop->IsNetworkDrive(root)) return file;
  const std::optional<std::string> name = s.Desktop->UniversalName(root);
  if (!name || name->empty()) return file;
  std::string share = *name;
  while (!share.empty() && share.back() == '\\') share.pop_back();
  std::string rest = file.substr(2);
  if (!StartsWith(rest, "\\")) rest.insert(rest.begin(), '\\');
  return share + rest;
}

std::string CfaPowerShellParameters(const std::string& program, bool add) {
  std::string escaped;
  for (char c : program) {
    escaped += c;
    if (c == '"' || c == '\'') escaped += c;
  }
  return std::string("-NoProfile -WindowStyle Hidden -Command \"") + (add ? "Add-MpPreference" : "Remove-MpPreference") +
         " -ControlledFolderAccessAllowedApplications '" + escaped + "'\"";
}

std::string CfaWarningText(const std::string& message, const std::string& program, const std::string& question) {
  static const std::string kPlaceholder = "%file%";
  const std::string lower = AsciiLower(message);
  std::string text;
  size_t at = 0;
  for (size_t hit; (hit = lower.find(kPlaceholder, at)) != std::string::npos; at = hit + kPlaceholder.size())
    text += message.substr(at, hit - at) + program;
  text += message.substr(at);
  return text + "\r\r" + question;
}

std::string FindPowerShell(TSetupState& s) {
  static const char* kRelative = "\\WindowsPowerShell\\v1.0\\powershell.exe";
  const std::string windows = s.P.Sys.WindowsFolder();
  std::vector<std::string> candidates;
  if (!windows.empty()) candidates.push_back(windows + "\\SysNative" + kRelative);
  if (const std::string system = s.P.Sys.SystemFolder(); !system.empty()) candidates.push_back(system + kRelative);
  for (const std::string& c : candidates)
    if (s.P.Fs.FileExists(c)) return c;
  return "";
}

void AllowThroughCfa(TSetupState& s, const std::string& program, bool add) {
  if (s.PowerShellPath.empty()) return;
  IRegistry& reg = s.P.Reg;
  if (reg.KeyExists(RegRoot::LocalMachine, kAllowedKey, RegView::View64)) {
    const bool allowed = reg.QueryValue(RegRoot::LocalMachine, kAllowedKey, program, RegView::View64).has_value();
    if (allowed == add) return;
  }
  bool declined = false;
  // A PowerShell that does not start is not reported: the block it would
  // have lifted shows itself when the files are written.
  if (auto process = s.P.Shell.ShellStart(s.PowerShellPath, "open", CfaPowerShellParameters(program, add), nullptr,
                                          kHide, declined))
    process->Wait(IProcess::kInfinite);
}

// ---------------------------------------------------------------- second instance

bool TSecondInstance::BeginInstallation(int action) {
  host_.HideStartButtons();
  if (S.PortableInstall) return true;
  if (S.ElevateByRelaunch && S.Def.UserType != 2) {
    if (action == kActionSilent)
      RelaunchElevated(kActionSilent);
    else
      host_.Post([this, action] { RelaunchElevated(action); });
    return false;
  }
  return CheckControlledFolderAccess(action);
}

void TSecondInstance::RelaunchElevated(int action) {
  RelaunchSetup(action, "runas", "elevate");
  if (!S.Silent) host_.EndMessageLoop();
}

void TSecondInstance::RelaunchSetup(int action, const std::string& verb, const std::string& instanceSwitch) {
  const std::string universal = UniversalSetupFile(S);
  const std::string parameters = RelaunchParameters(universal, instanceSwitch, action, S.Args);
  void* owner = host_.OwnerWindow();
  bool declined = false;
  std::unique_ptr<IProcess> child =
      S.P.Shell.ShellStart(S.P.Sys.ProgramFile(), verb, parameters, owner, kShowNormal, declined);
  if (!child) {
    // The user's no to the prompt is a cancelled installation; a start the
    // system refused is a failed one, and said so.
    S.SecondInstanceExit = declined ? kExitCancelled : kExitFailed;
    if (!declined)
      S.P.Dialogs.MessageBox("The setup program " + S.P.Sys.ProgramFile() + " could not be started again.",
                             host_.Caption(), MB_OK_ | MB_ICONERROR_);
    return;
  }
  S.HandedOver = true;
  host_.HideWindows();
  child->Wait(IProcess::kInfinite);
  S.SecondInstanceExit = child->ExitCode().value_or(static_cast<uint32_t>(kExitFailed));
  child.reset();
  if (S.Silent || S.RelaunchedInstance) return;
  // A child that ended before its completion left no "Result" (its rights
  // test deleted it); a "Stub" of another installer file is another run's.
  IRegistry& reg = S.P.Reg;
  const RegRoot root = S.AutoRoot();
  const std::optional<std::string> stub = reg.ReadString(root, kHandshakeKey, "Stub");
  if (!stub || *stub != universal) return;
  S.ElevatedResult = reg.ReadDword(root, kHandshakeKey, "Result").value_or(0);
  if (S.ElevatedResult == kFinishedResult) host_.CompletionAction();
}

bool TSecondInstance::PassCfa() {
  cfaPassed_ = true;
  return true;
}

bool TSecondInstance::CheckControlledFolderAccess(int action) {
  if (cfaPassed_) return true;
  uint8_t& options = S.Def.CfaOptions;
  if (options == 0) return PassCfa();
  if (S.P.Sys.MajorVersion() < 10) {
    options = 0;
    return PassCfa();
  }
  IRegistry& reg = S.P.Reg;
  // Releases before the Fall Creators Update have no Controlled Folder
  // Access.
  if (const auto release =
          reg.ReadString(RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "ReleaseId")) {
    long number = 0;
    for (size_t i = 0; i < release->size() && std::isdigit(static_cast<unsigned char>((*release)[i])) && number < 100000;
         ++i)
      number = number * 10 + ((*release)[i] - '0');
    if (number >= 1507 && number <= 1708) options = 0;
  }
  if (options != 0 &&
      reg.ReadDword(RegRoot::LocalMachine, "Software\\Microsoft\\Windows Defender", "DisableAntiVirus",
                    RegView::View64) == 1u)
    options = 0;
  if (options == 0) return PassCfa();

  if ((options & kCfaAllowSetup) && HasSwitch(S.Args, "cfainstall")) options &= ~kCfaAllowSetup;
  if (S.Silent)
    options &= ~kCfaWarn;
  else if ((options & kCfaWarn) && HasSwitch(S.Args, "cfatest"))
    options &= ~kCfaWarn;
  if (options & (kCfaAllowSetup | kCfaAllowInstalled)) {
    // Allowing needs administrator rights and a PowerShell to run the
    // command; without either only the warning is left.
    if (S.P.Sys.IsAdminMember()) S.PowerShellPath = FindPowerShell(S);
    if (S.PowerShellPath.empty()) options &= ~(kCfaAllowSetup | kCfaAllowInstalled);
  }
  const std::string program = S.P.Sys.ProgramFile();
  if (options & (kCfaAllowSetup | kCfaWarn | kCfaAllowInstalled)) {
    if (reg.KeyExists(RegRoot::LocalMachine, kCfaKey, RegView::View64)) {
      if (reg.ReadDword(RegRoot::LocalMachine, kCfaKey, "EnableControlledFolderAccess", RegView::View64) == 1u) {
        options |= kCfaBlocked;
        if (reg.QueryValue(RegRoot::LocalMachine, kAllowedKey, program, RegView::View64)) options &= ~kCfaBlocked;
      } else {
        // Off, or audit mode, which only records what it would block.
        options &= ~kCfaAllowSetup;
      }
    }
  }
  if (!(options & kCfaBlocked)) return PassCfa();
  if (options & kCfaAllowSetup) {
    if (action == kActionSilent)
      AllowAndRelaunch(kActionSilent);
    else
      host_.Post([this, action] { AllowAndRelaunch(action); });
    return false;
  }
  if (options & kCfaWarn) {
    const std::string text = CfaWarningText(S.Def.CfaMessage, program, S.IString(kStrErrorQuestion));
    if (S.P.Dialogs.MessageBox(text, host_.Caption(), MB_YESNO_ | MB_ICONERROR_) == IDYES_) {
      const auto test = [this](int a) {
        RelaunchSetup(a, "open", "cfatest");
        // Whatever the test run did, this instance has nothing left to do:
        // a hidden window must not outlive it.
        if (!S.Silent) host_.EndMessageLoop();
      };
      if (action == kActionSilent)
        test(kActionSilent);
      else
        host_.Post([test, action] { test(action); });
    } else {
      host_.Post([this] { host_.EndMessageLoop(); });
    }
    return false;
  }
  // Neither allowed nor warned: the installation goes on despite the block.
  return PassCfa();
}

void TSecondInstance::AllowAndRelaunch(int action) {
  const std::string program = S.P.Sys.ProgramFile();
  host_.ShowStage("Adding " + program + " to Controlled Folder Access", 3);
  AllowThroughCfa(S, program, true);
  host_.StagePosition(1);
  AllowThroughCfa(S, ExtractFilePath(program) + "UnStowa.exe", true);
  host_.StagePosition(2);
  host_.Sleep(2000);  // Defender takes the new list in a moment later
  host_.StagePosition(3);
  RelaunchSetup(action, "open", "cfainstall");
  AllowThroughCfa(S, program, false);
  if (!S.Silent) host_.EndMessageLoop();
}

void TSecondInstance::WriteCompletionHandshake() {
  IRegistry& reg = S.P.Reg;
  const RegRoot root = S.AutoRoot();
  if (!reg.CreateKey(root, kHandshakeKey)) return;
  reg.WriteString(root, kHandshakeKey, "Stub", S.SetupFile);
  reg.WriteDword(root, kHandshakeKey, "Result", kFinishedResult);
  const TSpecialFolder* menu = FindFolderVariable(S.Def.FolderVariables, "%APPMENU%");
  if ((S.Def.FinishFlags & 2) && menu)
    reg.WriteString(root, kHandshakeKey, "FinishedMenu", PathFor(*menu, S.Def.UserType));
  else
    reg.DeleteValue(root, kHandshakeKey, "FinishedMenu");
  const auto& installed = S.Package.Tables.InstalledPaths;
  if (S.Def.FinishExeIndex != kNoIndex)
    reg.WriteString(root, kHandshakeKey, "FinishedExe",
                    S.Def.FinishExeIndex < installed.size() ? installed[S.Def.FinishExeIndex] : std::string());
  else
    reg.DeleteValue(root, kHandshakeKey, "FinishedExe");
}

std::string TSecondInstance::TakeHandshakeValue(const std::string& name) {
  IRegistry& reg = S.P.Reg;
  const RegRoot root = S.AutoRoot();
  std::string value = reg.ReadString(root, kHandshakeKey, name).value_or("");
  reg.DeleteValue(root, kHandshakeKey, name);
  // A handed-over path longer than the system's paths is not one to start.
  if (Utf8ToUtf16(value).size() > 260) value.clear();
  return value;
}

}  // namespace stw
