#include "system/SupportDll.h"

#include <initializer_list>
#include <optional>

#include "base/Text.h"
#include "system/CommandLine.h"

namespace stw {

namespace {

// The support DLL's errors are the publisher's, not the product's: their
// box carries the builder's name rather than the setup window's caption.
constexpr const char* kSupportErrorTitle = "Pakvestor Setup";

using R = SupportRoutine;

}  // namespace

void AddSupportInstallFolders(const std::string& text, FolderVariableList& variables, uint8_t userType) {
  std::string s = text;
  if (!s.empty() && s.back() != '|') s += '|';
  size_t pos = 0;
  // The next field, up to its "|" or to the end of the text.
  const auto field = [&] {
    const size_t bar = s.find('|', pos);
    const size_t end = bar == std::string::npos ? s.size() : bar;
    std::string f = s.substr(pos, end - pos);
    pos = bar == std::string::npos ? s.size() : bar + 1;
    return f;
  };
  while (pos < s.size()) {
    const size_t bar = s.find('|', pos);
    if (bar == std::string::npos || bar == pos) break;
    const std::string name = UpperCase(s.substr(pos, bar - pos));
    pos = bar + 1;
    std::string description = field();
    std::string folder = field();
    bool known = false;
    for (auto it = variables.rbegin(); it != variables.rend() && !known; ++it) known = it->first == name;
    if (known) continue;
    TSpecialFolder f;
    f.Description = std::move(description);
    if (!folder.empty() && folder[0] == '*') {
      f.Shared = true;
      folder.erase(0, 1);
    }
    SetPathFor(f, userType, WithoutTrailingBackslashes(std::move(folder)));
    variables.emplace_back(name, std::move(f));
  }
}

std::string SupportErrorText(const std::string& routine, const std::string& message) {
  return "An error occurred while calling the routine " + routine + "() in the support DLL: \r" + message;
}

TSupportDll::TSupportDll(TSetupState& s, ISupportModuleLoader& loader) : S(s), loader_(loader) {}

// The module is unloaded here, with the form that owns this object.
TSupportDll::~TSupportDll() = default;

bool TSupportDll::Guarded(const char* shownName, const std::function<void()>& call) {
  try {
    call();
    return true;
  } catch (const ESupportRoutineFault& e) {
    S.P.Dialogs.MessageBox(SupportErrorText(shownName, e.what()), kSupportErrorTitle, MB_OK_ | MB_ICONERROR_);
    return false;
  }
}

namespace {

// The first of `routines` that the module exports. Where a routine exists
// in an ANSI and a UTF-16 variant the lists name the ANSI one first: that
// is the one the setup uses when the DLL has both.
std::optional<SupportRoutine> FirstExported(ISupportModule* module, std::initializer_list<SupportRoutine> routines) {
  if (!module) return std::nullopt;
  for (const SupportRoutine r : routines)
    if (module->Exports(r)) return r;
  return std::nullopt;
}

}  // namespace

void TSupportDll::Load() {
  const int32_t index = S.Def.SupportDllIndex;
  const auto& paths = S.Package.TempFilePaths;
  if (index < 0 || static_cast<size_t>(index) >= paths.size() || paths[static_cast<size_t>(index)].empty()) return;
  // A DLL that does not load leaves every hook missing; the installation
  // goes on without them.
  module_ = loader_.Load(paths[static_cast<size_t>(index)]);
}

void TSupportDll::WriteStubValue() {
  // The DLL finds the installer that runs it under the current user's key.
  // An all-users installation has the value under the local machine
  // already (written with the rights check), so only a current-user or a
  // portable installation needs it here. A failure to write it is the
  // DLL's problem, not the installation's.
  S.P.Reg.WriteString(RegRoot::CurrentUser, kHandshakeKey, "Stub", S.SetupFile);
}

bool TSupportDll::Allow(void* owner) {
  const auto routine =
      FirstExported(module_.get(), {R::AllowInstallation3, R::AllowInstallation2, R::AllowInstallation});
  if (!routine) return true;
  bool allowed = true;
  // An allow routine that raised counts as having allowed.
  Guarded("AllowInstallation", [&] {
    if (const auto answer = module_->Allow(*routine, owner, S.PortableInstall, S.Def.UserType != 1)) allowed = *answer;
  });
  return allowed;
}

void TSupportDll::FetchFolders() {
  if (const auto routine =
          FirstExported(module_.get(), {R::GetSystemFolders, R::GetSystemFoldersA, R::GetSystemFoldersW})) {
    std::string text;  // stays empty when the routine raised
    Guarded("GetSystemFolders", [&] { text = module_->Folders(*routine).value_or(""); });
    S.SupportFolderText = text;
  }
  if (const auto routine =
          FirstExported(module_.get(), {R::GetInstallFolders, R::GetInstallFoldersA, R::GetInstallFoldersW})) {
    std::string text;
    Guarded("GetInstallFolders", [&] { text = module_->Folders(*routine).value_or(""); });
    AddSupportInstallFolders(text, S.Def.FolderVariables, S.Def.UserType);
  }
  // Every variable, the DLL's new ones included, gets its path for the
  // chosen user type, then the command line's "/NAME folder" overrides it.
  // The context is made after the system folder text was taken over, as
  // the DLL's variables in it may appear in the paths.
  FolderContext ctx = S.Folder();
  PrepareFolderVariables(
      S.Args, S.Def.FolderVariables, S.Def.UserType,
      [&](const std::string& p) {
        bool shared = false, font = false;  // the variables keep their own flags
        return ExpandFolderPath(p, ctx, shared, font);
      },
      [&](const std::string& p) { return S.P.Sys.DriveExists(p); });
}

void TSupportDll::FetchSelection() {
  const auto routine =
      FirstExported(module_.get(), {R::GetComponentSelection, R::GetComponentSelectionA, R::GetComponentSelectionW});
  if (!routine) return;
  const char* shown = *routine == R::GetComponentSelectionW ? "GetComponentSelectionW" : "GetComponentSelection";
  for (TComponentData& c : S.Def.Components) {
    // A call that raised leaves the component as it was: it returned no
    // flags to take over.
    Guarded(shown, [&] {
      const auto out = module_->ComponentSelection(*routine, c.Name, {c.Optional, c.Selected}, c.PreviouslyInstalled);
      if (!out) return;
      c.Optional = out->Optional;
      c.Selected = out->Selected;
    });
  }
}

bool TSupportDll::PrepareInstallation(void* owner, const std::function<void()>& afterSelection) {
  if (!prepared_) {
    prepared_ = true;
    Load();
    if (module_ && (S.PortableInstall || S.Def.UserType != 1) &&
        FirstExported(module_.get(), {R::AllowInstallation, R::AllowInstallation2, R::AllowInstallation3,
                                      R::FinishDeployment, R::FinishDeploymentW}))
      WriteStubValue();
    // Remembered: a caller that asks again after a refusal hears it again.
    refused_ = !Allow(owner);
  }
  if (refused_) return false;
  if (!foldersFetched_ && !S.PortableInstall) {
    foldersFetched_ = true;
    FetchFolders();
  }
  if (!selectionFetched_) {
    selectionFetched_ = true;
    FetchSelection();
    if (afterSelection) afterSelection();
  }
  // The user may have gone back and changed the user type or the folders
  // since the last call, so the folders are resolved every time. The
  // portable folder of a portable installation with the window is not
  // chosen yet here: the installation resolves them when it starts.
  if (!S.PortableInstall || S.Silent) {
    FolderContext ctx = S.Folder();
    S.Roots = ResolveFolderVariables(ctx, S.Def.Components);
  }
  return true;
}

void InstallationFinishedHook(TSetupState& s) {
  if (s.PortableInstall) s.LogPath = WithoutTrailingBackslashes(s.Def.PortableFolder) + "\\RemovableDrive.sys";
  if (s.Support) s.Support->FinishDeployment(s.LogPath);
}

void TSupportDll::FinishDeployment(const std::string& logPath) {
  const auto routine = FirstExported(module_.get(), {R::FinishDeployment, R::FinishDeploymentA, R::FinishDeploymentW});
  if (!routine) return;
  Guarded("FinishDeployment", [&] { module_->Finish(*routine, logPath); });
}

}  // namespace stw
