// The portable drive page: a drive from the list (removable ones, or all
// of them), a folder on it, and the way on to the components or straight
// to a portable installation.
#include <algorithm>

#include "base/Text.h"
#include "system/FolderVariables.h"
#include "wizard/FolderBrowser.h"
#include "wizard/SetupWizard.h"

namespace stw {

using namespace forms;

// The path without its drive part ("E:" or "\\server\share") and the
// backslashes after it.
static std::string WithoutDrive(const std::string& path) {
  std::string rest = path.substr(DriveOfPath(path).size());
  const size_t start = rest.find_first_not_of('\\');
  return start == std::string::npos ? "" : rest.substr(start);
}

void TSetupWizard::OpenPortablePage() {
  if (RunningApplicationCheck()) return;
  if (!S.PortableInstall) {
    // Whatever this user may install on the disk, the portable copy is the
    // current user's, with the current user's registry root.
    S.PortableInstall = true;
    SavedUserType = S.Def.UserType;
    S.Def.UserType = 2;
  }
  ShowPortablePage();
}

void TSetupWizard::ShowPortablePage() {
  HideAll();
  ShowWelcome(true);
  for (Label* l : RightsNotes) l->SetVisible(false);
  const TSetupDefinition& d = S.Def;
  const std::string drive = DriveOfPath(d.PortableFolder);
  const bool letter = drive.size() == 2 && drive[1] == ':';
  ListDrive.columns[0].caption = S.IString(kStrDriveColumn);
  ListDrive.columns[1].caption = S.IString(kStrNameColumn);
  ListDrive.columns[2].caption = S.IString(kStrFreeColumn);
  // A folder on a local drive asks for every drive, so that its own is in
  // the list.
  if (letter && !Desktop.IsNetworkDrive(drive + "\\"))
    CheckAllDrives.SetChecked(true);
  FillDrives();
  if (ListDrive.rows().empty() && d.ShowAllDrivesOption && !CheckAllDrives.checked()) {
    CheckAllDrives.SetChecked(true);
    FillDrives();
  }
  LabelDrive.SetCaption(S.IString(kStrChooseDrive));
  LabelDrive.AutoSize();
  LabelDrive.focusControl = &ListDrive;
  if (d.ShowAllDrivesOption) {
    CheckAllDrives.SetCaption(S.IString(kStrAllDrives));
    const Bounds& b = CheckAllDrives.bounds();
    CheckAllDrives.SetColour(BandAt(b.top + b.height / 2));
    CheckAllDrives.SetVisible(true);
  }
  LabelFolder.SetCaption(S.IString(kStrPortableFolder));
  LabelFolder.AutoSize();
  LabelFolder.focusControl = &EditFolder;
  if (EditFolder.text().empty()) EditFolder.SetText(WithoutDrive(d.PortableFolder));
  for (Control* c : std::initializer_list<Control*>{&LabelDrive, &ListDrive, &LabelFolder, &EditFolder}) c->SetVisible(true);
  ShowNavigation(true, true, true);
  BtnBack.OnClick = [this] { PortableBack(); };
  BtnProceed.OnClick = [this] { PortableProceed(); };
  form.SetFocus(&ListDrive);
  if (d.FolderVariables.empty()) PortableProceed();
}

void TSetupWizard::FillDrives() {
  const std::string remembered = AsciiUpper(DriveOfPath(S.Def.PortableFolder));
  std::vector<std::vector<std::string>> rows;
  int keep = -1;
  for (const std::string& root : Desktop.LogicalDrives()) {
    const std::string caption = AsciiUpper(WithoutTrailingBackslashes(root).substr(0, 2));
    if (!CheckAllDrives.checked() && !S.P.Shell.IsRemovableDrive(caption + "\\")) continue;
    if (caption == remembered) keep = static_cast<int>(rows.size());
    std::vector<std::string> row{caption, "", ""};
    if (const auto unc = Desktop.UniversalName(caption + "\\")) {
      row[1] = *unc;
    } else if (const auto label = Desktop.VolumeLabel(caption + "\\")) {
      row[1] = FirstCharacters(*label, 32);
    } else {
      row[1] = S.IString(kStrDriveNotReady);
      row[2] = "0.00 MB";
      rows.push_back(std::move(row));
      continue;
    }
    const std::optional<uint64_t> free = S.P.Sys.FreeSpace(caption + "\\");
    row[2] = SizeText(free.value_or(0), free.value_or(0));
    rows.push_back(std::move(row));
  }
  ListDrive.SetRows(std::move(rows));
  if (keep >= 0)
    ListDrive.Select(keep);
  else if (!ListDrive.rows().empty())
    ListDrive.Select(0);
}

std::string TSetupWizard::EditedPortableFolder() const { return WithoutDrive(TrimBlanks(EditFolder.text())); }

void TSetupWizard::DriveClick() {
  const int row = ListDrive.selected();
  if (row < 0) return;
  std::string folder = EditedPortableFolder();
  const bool starts = AsciiLower(folder.substr(0, 13)) == "portableapps\\";
  // A drive that keeps its portable programs in "PortableApps" gets this
  // one there too; on one without, the folder comes out of it again.
  if (S.P.Fs.DirectoryExists(ListDrive.rows()[static_cast<size_t>(row)][0] + "\\PortableApps")) {
    if (!starts) folder = "PortableApps\\" + folder;
  } else if (starts) {
    folder.erase(0, 13);
  }
  S.Def.PortableFolder = folder;
  EditFolder.SetText(folder);
}

void TSetupWizard::EditFolderChange() {
  const std::string& text = EditFolder.text();
  const bool root = text.size() >= 3 && text[1] == ':' && text[2] == '\\' &&
                    ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
  if (!root) return;
  const std::string typed = AsciiUpper(text.substr(0, 3));
  const int selected = ListDrive.selected();
  const auto& rows = ListDrive.rows();
  if (selected >= 0 && AsciiUpper(rows[static_cast<size_t>(selected)][0]) + "\\" == typed) return;
  for (size_t i = 0; i < rows.size(); ++i)
    if (AsciiUpper(rows[i][0]) + "\\" == typed) {
      ListDrive.Select(static_cast<int>(i));
      return;
    }
}

void TSetupWizard::PortableProceed() {
  const int row = ListDrive.selected();
  if (row < 0) {
    S.P.Dialogs.MessageBox(WithoutAccelerator(S.IString(kStrChooseDrive)), WithoutAccelerator(S.IString(kStrPortable)),
                           MB_OK_);
    return;
  }
  std::string folder = EditedPortableFolder();
  std::string full = ListDrive.rows()[static_cast<size_t>(row)][0] + "\\" + folder;
  while (full.size() > 3 && full.back() == '\\') full.pop_back();
  if (full.size() == 3 && full.back() == '\\') full.pop_back();  // the drive itself: "E:"
  S.Def.PortableFolder = full;
  if (!PrepareInstallation()) return;
  for (Control* c : std::initializer_list<Control*>{&LabelDrive, &ListDrive, &LabelFolder, &EditFolder, &CheckAllDrives})
    c->SetVisible(false);
  if (S.Def.HasOptionalComponents) {
    if (RunningApplicationCheck()) return;
    EnterComponentsPage(From::Start, false);
    CheckComponentsDetail.SetChecked(false);
    const Bounds& b = CheckComponentsDetail.bounds();
    CheckComponentsDetail.SetColour(BandAt(b.top + b.height / 2));
    CheckComponentsDetail.SetVisible(true);
    return;
  }
  if (!DiskSpaceCheck()) return ShowPortablePage();
  LicenseOrInstall();
}

void TSetupWizard::PortableBack() {
  LeavePortablePath();
  ReturnToStartPage();
}

void TSetupWizard::LeavePortablePath() {
  // The user type is the disk's again.
  if (!S.PortableInstall) return;
  S.PortableInstall = false;
  S.Def.UserType = SavedUserType;
}

}  // namespace stw
