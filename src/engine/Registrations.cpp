// What the engine registers with the system besides the files: fonts,
// registry entries, type libraries and self-registering components, folder
// rights, commands after the installation, and the prerequisites and the
// framework that must be present before it.
#include <algorithm>

#include "base/Text.h"
#include "engine/FontName.h"
#include "engine/Install.h"
#include "engine/RegistryData.h"
#include "package/SafeName.h"
#include "system/DotNet.h"
#include "system/FolderVariables.h"
#include "system/Prerequisite.h"

namespace stw {

namespace {

constexpr const char* kFontsKey = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
// How long a component may take to register itself.
constexpr uint32_t kSelfRegisterWaitMs = 10000;

}  // namespace

// ---------------------------------------------------------------- fonts

void TInstaller::InstallFont(const std::string& path) {
  IShell& shell = s_.P.Shell;
  if (!shell.AddFontResource(path)) return;
  std::string name;
  if (std::unique_ptr<IReadFile> f = s_.P.Fs.OpenRead(path)) name = FontFullName(*f);
  name = name.empty() ? ChangeFileExt(ExtractFileName(path), "") : name + " (TrueType)";
  if (s_.Def.UserType == 2) {
    // Without the machine's rights the font is the user's own: Windows
    // keeps such fonts under the user's key, with their full path.
    s_.P.Reg.WriteString(RegRoot::CurrentUser, kFontsKey, name, path);
  } else {
    // The key Windows reads is the one of the system's own view.
    s_.P.Reg.WriteString(RegRoot::LocalMachine, kFontsKey, name, ExtractFileName(path), RegView::View64);
  }
  fontsInstalled_ = true;
}

// ---------------------------------------------------------------- registry entries

void TInstaller::ApplyRegistryEntries() {
  const std::string& data = s_.Def.RegistryData;
  if (data.empty()) return;
  progress_.Stage(IInstallProgress::StageKind::Other, s_.IString(kStrRegistryEntries), data.size());
  const FolderContext ctx = s_.Folder();
  uint64_t shown = 0;
  RegistryDataTarget target{s_.P.Reg, s_.Def.UserType == 1,
                            [&](const std::string& text) { return ExpandVariables(text, ctx); },
                            [&](uint64_t consumed) {
                              progress_.Advance(consumed - shown);
                              shown = consumed;
                            }};
  ApplyRegistryData(data, target, registryLog_);
  progress_.Complete();
}

// ---------------------------------------------------------------- registrations

void TInstaller::RegisterComponents() {
  IShell& shell = s_.P.Shell;
  for (const std::string& path : selfReg_) {
    if (EndsWith(AsciiLower(path), ".tlb")) {
      std::string error;
      if (!shell.RegisterTypeLibrary(path, ExtractFilePath(path), error))
        throw ESetupException("An error occurred while trying to register the type library " + path + ":\r\r" +
                              error);
      log_.push_back(path);
      continue;
    }
    // By its full path: a regsvr32 planted beside the installer or in the
    // current folder would otherwise run with the installer's rights.
    const std::string program = s_.Folders.System + "\\regsvr32.exe";
    std::unique_ptr<IProcess> p = shell.StartProcess(program, QuotedIfSpaced(program) + " /s \"" + path + "\"");
    if (!p) continue;
    if (p->Wait(kSelfRegisterWaitMs)) {
      log_.push_back(path);
    } else {
      s_.P.Dialogs.MessageBox("Timed out waiting for " + ExtractFileName(path) + " to register itself",
                              s_.WindowCaption(), MB_OK_);
    }
  }
  if (fontsInstalled_) shell.BroadcastFontChange();
}

std::vector<std::string> TInstaller::ProtectedFolders() const {
  const SystemFolders& f = s_.Folders;
  std::vector<std::string> all;
  for (const std::string& p : {f.Windows, f.System, f.SystemDrive, f.ProgramFiles, f.CommonFiles, f.StartMenuAllUsers,
                               f.ProgramsAllUsers, f.StartupAllUsers, f.DesktopAllUsers, f.SendTo, f.Documents,
                               f.AppData})
    if (!p.empty()) all.push_back(WithoutTrailingBackslashes(p));
  return all;
}

void TInstaller::GrantUsersAccess() {
  if (s_.Def.UserType == 2) return;
  const std::vector<std::string> protectedFolders = ProtectedFolders();
  auto grant = [&](const std::string& path) {
    const std::string bare = WithoutTrailingBackslashes(path);
    // Never a system folder or a drive's root: a package must not open
    // those to every user. Nor through a link, which could lead anywhere.
    if (bare.size() <= 2 || DriveOfPath(bare) == bare) return;
    for (const std::string& p : protectedFolders)
      if (SameTextIgnoreCase(bare, p)) return;
    if (s_.P.Fs.IsReparsePoint(bare)) return;
    s_.P.Shell.GrantUsersFullControl(bare);
  };
  // Parent before children, so that what the children inherit is set.
  std::function<void(const TComponentFolder&, const std::string&, int)> walk =
      [&](const TComponentFolder& folder, const std::string& path, int depth) {
        if (depth > 128) return;
        if (folder.GrantUsers) grant(path);
        for (const auto& child : folder.Folders) walk(*child, path + "\\" + child->Name, depth + 1);
      };
  for (size_t c = 0; c < s_.Def.Components.size(); ++c) {
    const TComponentData& comp = s_.Def.Components[c];
    // Only what this installation put there.
    if (!(comp.Selected || comp.Required) || !comp.RootFolder || c >= s_.Roots.resolvedRoots.size()) continue;
    const std::vector<std::string>& roots = s_.Roots.resolvedRoots[c];
    for (size_t i = 0; i < comp.RootFolder->Folders.size() && i < roots.size(); ++i)
      walk(*comp.RootFolder->Folders[i], WithoutTrailingBackslashes(roots[i]), 0);
  }
}

void SplitCommand(const std::string& command, std::string& file, std::string& params) {
  if (!command.empty() && command[0] == '"') {
    const size_t close = command.find('"', 1);
    file = command.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    params = close == std::string::npos || close + 2 > command.size() ? std::string() : command.substr(close + 2);
  } else {
    const size_t space = command.find(' ');
    file = command.substr(0, space);
    params = space == std::string::npos ? std::string() : command.substr(space + 1);
  }
}

void TInstaller::RunCommands() {
  IShell& shell = s_.P.Shell;
  std::string file, params;
  for (const std::string& c : queue1_) {
    SplitCommand(c, file, params);
    shell.OpenFile(file, params, false);
  }
  for (const std::string& c : queue2_) {
    SplitCommand(c, file, params);
    shell.OpenFile(file, params, true);
  }
  for (const std::string& p : pathQueue_) s_.P.Fs.DeleteFile(p);
}

// ---------------------------------------------------------------- prerequisites

std::string TInstaller::FindInstaller(const std::string& fileName, int64_t position, int64_t size) {
  // The name is joined to folders: it must name a file in them.
  if (fileName.empty() || !WhyUnsafeName(fileName).empty()) return {};
  const std::string beside = ExtractFilePath(s_.SetupFile) + fileName;
  if (s_.P.Fs.FileExists(beside)) return beside;
  if (size <= 0 || position <= 0 || pkg_.TempFolder.empty()) return {};
  // Into this run's private folder, which no other user can write, and
  // removed when the run ends.
  const std::string path = pkg_.TempFolder + fileName;
  std::string error;
  const bool written = WriteFileWhole(
      s_.P.Fs, path,
      [&](IWriteFile& out) {
        bool ok = true;
        pkg_.ReadStoredRange(
            position, size, size, fileName, nullptr,
            [&](const uint8_t* d, size_t n) { ok = ok && out.Write(d, n); }, TSetupPackage::RangeForm::Raw);
        return ok;
      },
      error);
  if (!written) return {};
  s_.TemporaryInstallers.push_back(path);
  return path;
}

bool TInstaller::RunInstaller(const std::string& path, const std::string& params) {
  std::string program;
  const std::string command = PrerequisiteCommandLine(path, params, s_.Silent, s_.Folders.System, program);
  std::unique_ptr<IProcess> p = s_.P.Shell.StartProcess(program, command);
  if (!p) return false;
  if (s_.Silent) {
    p->Wait(IProcess::kInfinite);
  } else {
    // The wizard's page watches the process and goes on when it ends.
    s_.PrerequisiteProcess = std::move(p);
  }
  return true;
}

bool PrerequisiteInstalled(TSetupState& s, const T3rdParty& p) {
  const FolderContext ctx = s.Folder();
  auto expand = [&](const std::string& path) {
    bool shared = false, font = false;
    return ExpandFolderPath(path, ctx, shared, font);
  };
  auto exists = [&](const std::string& path) { return s.P.Fs.FileExists(path); };
  return PrerequisiteConditionHolds(s.P.Reg, p, s.AutoRoot(), expand, exists);
}

bool TInstaller::RunPrerequisites() {
  auto& list = s_.Def.ThirdPartyList;
  const FolderContext ctx = s_.Folder();
  for (; s_.PrerequisiteIndex < list.size(); ++s_.PrerequisiteIndex) {
    const T3rdParty& p = list[s_.PrerequisiteIndex].second;
    if (p.HasCondition && PrerequisiteInstalled(s_, p)) continue;
    s_.Missing = {TSetupState::MissingRequirement::Kind::Prerequisite, p.Name, p.DownloadUrl, {}};
    if (!p.FileName.empty()) {
      s_.PrerequisitePath = FindInstaller(p.FileName, p.Position, p.Size);
      if (!s_.PrerequisitePath.empty() && !RunInstaller(s_.PrerequisitePath, ExpandVariables(p.Parameters, ctx))) {
        s_.Missing.installerNotStarted = s_.PrerequisitePath;
        s_.PrerequisitePath.clear();
      }
    }
    // The wizard shows the prerequisite's page and starts the installation
    // again once it is present; a silent run goes on (it waited for the
    // installer already).
    if (!s_.Silent) return false;
    s_.PrerequisitePath.clear();
  }
  return true;
}

bool TInstaller::CheckDotNet() {
  const TSetupDefinition& d = s_.Def;
  if (IsDotNetPresent(s_.P.Reg, d.DotNetVersions, d.DotNetLevel)) return true;
  const std::string version = DotNetVersionName(d.DotNetVersions, d.DotNetLevel);
  s_.Missing = {TSetupState::MissingRequirement::Kind::DotNet, version, d.DotNetUrl, {}};
  s_.PrerequisitePath = FindInstaller(d.DotNetFile, d.DotNetPosition, d.DotNetSize);
  if (!s_.PrerequisitePath.empty() && !RunInstaller(s_.PrerequisitePath, "")) {
    s_.Missing.installerNotStarted = s_.PrerequisitePath;
    s_.PrerequisitePath.clear();
  }
  // A silent run waited for the redistributable, but the framework counts
  // only from the next run on: nothing is installed now.
  if (s_.Silent) throw ESetupException(FormatPattern(s_.IString(kStrDotNetMissing), {version}));
  return false;
}

}  // namespace stw
