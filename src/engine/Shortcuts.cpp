// Shell shortcuts and internet shortcuts, made once every file is in place.
#include "base/Text.h"
#include "engine/Install.h"
#include "system/FolderVariables.h"

namespace stw {

namespace {

// Shortcuts and internet shortcuts that could not be made: the
// installation goes on without them and says so at the end of the stage.
void ReportMissing(TSetupState& s, const std::vector<std::string>& failures) {
  if (failures.empty()) return;
  std::string text = "These shortcuts could not be created:\r\r";
  for (const std::string& f : failures) text += f + "\r";
  // Controlled Folder Access blocks this program and let the installation
  // go on: the likely reason, and the user's way out.
  if (s.Def.CfaOptions & 128)
    text += "\rControlled Folder Access may have blocked them. Allow " + s.P.Sys.ProgramFile() +
            " in the Windows Security settings, or create them yourself.\r";
  s.P.Dialogs.MessageBox(text, s.WindowCaption(), MB_OK_ | MB_ICONERROR_);
}

}  // namespace

void TInstaller::CreateShortcuts() {
  const size_t total = shortcuts_.size() + urls_.size();
  if (total == 0) return;
  progress_.Stage(IInstallProgress::StageKind::Shortcuts, "", total);
  const std::vector<std::string>& installed = pkg_.Tables.InstalledPaths;
  auto installedPath = [&](uint16_t index) -> std::string {
    return index < installed.size() ? installed[index] : std::string();
  };
  const FolderContext ctx = s_.Folder();
  std::vector<std::string> failures;
  for (TShortcutData* sc : shortcuts_) {
    const std::string target = installedPath(sc->Target);
    if (target.empty()) {
      progress_.Advance(1);
      continue;
    }
    progress_.Status(FormatPattern(s_.IString(kStrCreatingShortcut), {target}));
    ShellLinkData link;
    link.Description = sc->Description;
    link.Arguments = ExpandVariables(sc->Arguments, ctx);
    link.Path = target;
    link.WorkingDirectory = ExtractFilePath(target);
    if (link.WorkingDirectory.size() > 3) link.WorkingDirectory.pop_back();
    if (sc->IconFile == kNoIndex) {
      link.IconIndex = sc->IconIndex;
    } else if (const std::string icon = installedPath(sc->IconFile); !icon.empty()) {
      link.IconPath = icon;
      link.IconIndex = sc->IconIndex;
    }
    link.ShowCmd = 5;
    const std::string folder = ExtractFileDir(sc->LinkPath);
    if (!sc->Name.empty()) sc->LinkPath = folder + "\\" + sc->Name + ".lnk";
    // A folder that cannot be made costs this shortcut only: the files
    // are in place, and the log that lets them be removed is yet to come.
    std::string error;
    bool saved = false;
    try {
      saved = CreateFolder(folder, false) && s_.P.Shell.SaveShellLink(link, sc->LinkPath, error);
    } catch (const ESetupException& e) {
      error = e.what();
    }
    if (!saved) {
      failures.push_back(sc->LinkPath + (error.empty() ? "" : "  (" + error + ")"));
      progress_.Advance(1);
      continue;
    }
    if (sc->StartPinOption > 0 &&
        (s_.P.Sys.MajorVersion() > 6 || (s_.P.Sys.MajorVersion() == 6 && s_.P.Sys.MinorVersion() >= 2)))
      s_.P.Shell.SetStartPinOption(sc->LinkPath, sc->StartPinOption);
    // A link to an MS-DOS program is stored by the shell as a .pif file.
    const std::string pif = ChangeFileExt(sc->LinkPath, ".pif");
    if (s_.P.Fs.FileExists(pif)) sc->LinkPath = pif;
    NoteInstalled(sc->LinkPath);
    log_.push_back(sc->LinkPath);
    progress_.Advance(1);
  }
  for (TURLData* u : urls_) {
    std::vector<std::string> lines = {"[InternetShortcut]", "URL=" + u->Url};
    if (u->IconFile != kNoIndex) {
      if (const std::string icon = installedPath(u->IconFile); !icon.empty()) {
        lines.push_back("IconFile=" + icon);
        lines.push_back("IconIndex=" + std::to_string(u->IconIndex));
      }
    }
    std::string error;
    bool saved = false;
    try {
      saved = CreateFolder(ExtractFileDir(u->LinkPath), false) && WriteLinesWhole(s_.P.Fs, u->LinkPath, lines, error);
    } catch (const ESetupException& e) {
      error = e.what();
    }
    if (saved) {
      NoteInstalled(u->LinkPath);
      log_.push_back(u->LinkPath);
    } else {
      failures.push_back(u->LinkPath + (error.empty() ? "" : "  (" + error + ")"));
    }
    progress_.Advance(1);
  }
  progress_.Complete();
  ReportMissing(s_, failures);
}

}  // namespace stw
