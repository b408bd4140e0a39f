// The wizard's pages after the start: the components tree and its space
// line, the disk space question, the readme and the licence, the progress
// page of the installation and the completion page.
#include <algorithm>

#include "base/Text.h"
#include "system/FolderVariables.h"
#include "system/SupportDll.h"
#include "wizard/RtfText.h"
#include "wizard/SetupWizard.h"
#include "wizard/StateImages.h"

namespace stw {

using namespace forms;

// ---------------------------------------------------------------- components

static int StateOf(const TComponentData& c) {
  return StateImageFor(c.Required, c.Optional, c.Selected, c.PreviouslyInstalled);
}

void TSetupWizard::BuildTree(bool optionalOnly) {
  // The pictures in the size the tree's icons call for: small icons grow
  // with the screen's resolution.
  const int size = StateImageSize(MulDivRound(16, Ppi, 96), Ppi);
  if (TreeComponents.stateImageSize != size || TreeComponents.statePictures.empty()) {
    TreeComponents.statePictures.clear();
    for (int image = kStateNotChosen; image <= kStateInstalledBefore; ++image) {
      StateBitmap b = DrawStateImage(image, size);
      TreeComponents.statePictures.push_back({b.size, std::move(b.pixels)});
    }
    TreeComponents.stateImageSize = size;
  }
  std::vector<TreeNode> nodes;
  for (size_t i = 0; i < S.Def.Components.size(); ++i) {
    const TComponentData& c = S.Def.Components[i];
    if (!HasSomethingToShow(c, S.PortableInstall) || (optionalOnly && !c.Optional)) continue;
    TreeNode n;
    n.text = c.Name;
    n.icon = TreeIcon::Component;
    n.stateImage = StateOf(c);
    n.data = i;
    nodes.push_back(std::move(n));
  }
  TreeComponents.SetNodes(std::move(nodes));
  TreeComponents.SetShowLines(false);
  MemoComponent.SetText("");
}

void TSetupWizard::RefreshStates() {
  for (size_t i = 0; i < TreeComponents.nodes().size(); ++i) {
    const size_t c = static_cast<size_t>(TreeComponents.nodes()[i].data);
    if (c < S.Def.Components.size()) TreeComponents.SetStateImage({i}, StateOf(S.Def.Components[c]));
  }
}

void TSetupWizard::ToggleComponent(size_t index) {
  if (index >= S.Def.Components.size()) return;
  TComponentData& c = S.Def.Components[index];
  if (!c.Optional || c.Required) return;
  c.Selected = !c.Selected;
  ComputeRequiredComponents(S.Def.Components);
  RefreshStates();
  RefreshSpaceLine();
}

uint64_t TSetupWizard::RequiredBytesNow() const { return RequiredBytes(S.Def.Components, S.Package.Tables.FileSizes); }

std::string TSetupWizard::DestinationDrive() {
  std::string dest;
  if (S.PortableInstall) {
    dest = S.Def.PortableFolder;
  } else {
    const FolderVariableList values = PreparedFolders();
    if (const TSpecialFolder* app = FindFolderVariable(values, "%APPFOLDER%")) dest = PathFor(*app, S.Def.UserType);
  }
  const std::string drive = DriveOfPath(dest);
  const bool letter = drive.size() == 2 && drive[1] == ':' &&
                      ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
  return letter ? AsciiUpper(drive) : std::string();
}

void TSetupWizard::RefreshSpaceLine() {
  const uint64_t required = RequiredBytesNow();
  const std::string drive = DestinationDrive();
  if (drive.empty()) {
    LabelLicense.SetCaption("");
    return;
  }
  const int percent = SpacePercent(required, S.P.Sys.FreeSpace(drive + "\\"));
  LabelLicense.SetCaption(FormatPattern(S.IString(kStrSpaceLine), {SizeText(required), percent}));
  Font f = form.font();
  if (percent > 90) {
    f.bold = true;
    LabelLicense.SetColour(0x0000FF);
  } else {
    LabelLicense.SetColour(kDefaultColour);
  }
  LabelLicense.SetFont(f);
  LabelLicense.AutoSize();
}

bool TSetupWizard::DiskSpaceCheck() {
  const uint64_t required = RequiredBytesNow();
  const std::string drive = DestinationDrive();
  if (drive.empty()) return true;
  const std::optional<uint64_t> known = S.P.Sys.FreeSpace(drive + "\\");
  const uint64_t free = known ? *known : 2147483647ull;
  if (required < free) return true;
  const std::string text =
      FormatPattern(S.IString(kStrNoSpace), {drive, SizeText(required, free), SizeText(free, free)}) + "\r\r" +
      S.IString(kStrErrorQuestion);
  return S.P.Dialogs.MessageBox(text, form.caption(), MB_YESNO_ | MB_ICONEXCLAMATION_) == IDYES_;
}

void TSetupWizard::EnterComponentsPage(From from, bool optionalOnly) {
  HideAll();
  ShowWelcome(false);
  componentsFrom_ = from;
  BuildTree(optionalOnly);
  detailBuilt_ = false;
  TreeComponents.SetVisible(true);
  MemoComponent.SetVisible(true);
  LabelLicense.SetVisible(true);
  RefreshSpaceLine();
  ShowNavigation(true, true, true);
  savedSelected_.clear();
  for (const TComponentData& c : S.Def.Components) savedSelected_.push_back(c.Selected);
  BtnBack.OnClick = [this] { ComponentsBack(); };
  BtnProceed.OnClick = [this] { ComponentsProceed(); };
  if (!TreeComponents.nodes().empty()) TreeComponents.Select({0});
  form.SetFocus(&TreeComponents);
}

void TSetupWizard::ComponentsBack() {
  for (size_t i = 0; i < S.Def.Components.size() && i < savedSelected_.size(); ++i)
    S.Def.Components[i].Selected = savedSelected_[i];
  ComputeRequiredComponents(S.Def.Components);
  RefreshStates();
  if (componentsFrom_ == From::Start) return S.PortableInstall ? ShowPortablePage() : ReturnToStartPage();
  if (std::any_of(S.Def.FileTypes.begin(), S.Def.FileTypes.end(), [](const auto& t) { return !t.second.PreviousOnly; }))
    return ShowFileTypesPage();
  if (!S.Def.FolderVariables.empty()) {
    ReturnToStartPage();
    if (Checks(3)) ShowFoldersPage();
    return;
  }
  ReturnToStartPage();
}

void TSetupWizard::ComponentsProceed() {
  if (!DiskSpaceCheck()) return;
  LicenseOrInstall();
}

void TSetupWizard::AddFolderNodes(TreeNode& parent, const TComponentFolder& folder) {
  for (const auto& child : folder.Folders) {
    auto it = std::find_if(parent.children.begin(), parent.children.end(),
                           [&](const TreeNode& n) { return n.icon == TreeIcon::Folder && n.text == child->Name; });
    const bool added = it == parent.children.end();
    if (added) {
      TreeNode n;
      n.text = child->Name;
      n.icon = TreeIcon::Folder;
      parent.children.push_back(std::move(n));
      it = parent.children.end() - 1;
    }
    AddFolderNodes(*it, *child);
    // A folder with nothing in it that the tree shows is left out.
    if (added && it->children.empty()) parent.children.erase(it);
  }
  for (const TFileData& f : folder.Files) {
    const std::string name = S.FileNameOf(f.DataIndex);
    parent.children.push_back({name, 0, TreeIcon::File, name, false, 0, {}});
  }
  if (S.PortableInstall) return;
  const auto& used = S.Package.Tables.FileUsed;
  for (const TShortcutData& sc : folder.Shortcuts) {
    if (sc.Target >= used.size() || !used[sc.Target]) continue;
    const std::string name = S.FileNameOf(sc.Target);
    parent.children.push_back({name, 0, TreeIcon::Shortcut, name, false, 0, {}});
  }
  for (const TURLData& u : folder.Urls) parent.children.push_back({u.Name, 0, TreeIcon::InternetShortcut, "", false, 0, {}});
}

void TSetupWizard::ShowDetail() {
  if (!detailBuilt_) {
    // Unfolded once per build of the tree: every component node gets its
    // folders, files and shortcuts.
    std::vector<TreeNode> nodes = TreeComponents.nodes();
    for (TreeNode& n : nodes) {
      const size_t c = static_cast<size_t>(n.data);
      if (c < S.Def.Components.size() && S.Def.Components[c].RootFolder)
        AddFolderNodes(n, *S.Def.Components[c].RootFolder);
    }
    const std::vector<size_t> selected = TreeComponents.selected();
    TreeComponents.SetNodes(std::move(nodes));
    if (!selected.empty()) TreeComponents.Select({selected[0]});
    detailBuilt_ = true;
  }
  const bool on = CheckComponentsDetail.checked();
  TreeComponents.SetShowLines(on);
  TreeComponents.ExpandAll(on);
}

// ---------------------------------------------------------------- readme and licence

bool TSetupWizard::LoadMemo(int32_t index) {
  std::string bytes;
  const auto& paths = S.Package.TempFilePaths;
  if (index >= 0 && static_cast<size_t>(index) < paths.size()) {
    // A file that cannot be read leaves the page empty rather than ending
    // the setup.
    if (auto f = S.P.Fs.OpenRead(paths[static_cast<size_t>(index)])) {
      const uint64_t size = std::min<uint64_t>(f->Size(), 64ull << 20);
      bytes.resize(static_cast<size_t>(size));
      bytes.resize(f->Read(bytes.data(), bytes.size()));
    }
    MemoLicense.rich = AsciiLower(ExtractFileName(paths[static_cast<size_t>(index)])).ends_with(".rtf");
  }
  MemoLicense.SetText(bytes);
  return !bytes.empty();
}

void TSetupWizard::BtnReadmeClick() {
  const int32_t index = S.Def.ReadmeIndex;
  if (index < 0 || static_cast<size_t>(index) >= S.Package.TempFilePaths.size()) return;
  const std::string path = S.Package.TempFilePaths[static_cast<size_t>(index)];
  const std::string name = ExtractFileName(path);
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : AsciiLower(name.substr(dot));
  if (ext != ".rtf" && ext != ".txt" && !ext.empty()) {
    Desktop.ShellOpen(path, "open", "", "", 3);  // maximised; the wizard stays where it is
    return;
  }
  StartPageHide();
  ShowWelcome(false);
  for (Label* l : RightsNotes) l->SetVisible(false);
  LabelIdentity.SetVisible(false);
  LoadMemo(index);
  MemoLicense.SetVisible(true);
  form.SetFocus(&MemoLicense);
  ShowPrintButton();
  BtnBack.SetVisible(true);
  BtnBack.OnClick = [this] { ReturnToStartPage(); };
}

void TSetupWizard::ShowPrintButton() {
  if (!TextPrinter) TextPrinter = std::make_unique<TTextPrinter>(Desktop.Printer(), form.caption());
  BtnPrint.SetVisible(TextPrinter->PrinterInstalled());
}

void TSetupWizard::BtnPrintClick() {
  if (!TextPrinter) return;
  try {
    TextPrinter->Print(TextBoxLines(MemoLicense.text(), MemoLicense.rich), "");
  } catch (const EPrintAborted&) {
    // Called off: nothing to say.
  } catch (const std::exception& e) {
    S.P.Dialogs.MessageBox(e.what(), form.caption(), MB_OK_ | MB_ICONERROR_);
  }
}

void TSetupWizard::LicenseOrInstall() {
  if (S.Def.LicenseIndex >= 0 && !(S.Def.LicenseStarred && S.PreviousFound)) return ShowLicensePage();
  StartInstallation();
}

void TSetupWizard::ShowLicensePage() {
  HideAll();
  ShowWelcome(false);
  for (Label* l : RightsNotes) l->SetVisible(false);
  LabelLicense.SetCaption(S.IString(kStrLicenseHeading));
  LabelLicense.SetFont(form.font());
  LabelLicense.SetColour(kDefaultColour);
  LabelLicense.AutoSize();
  BtnLicenseYes.SetCaption(S.IString(kStrLicenseYes));
  BtnLicenseNo.SetCaption(S.IString(kStrLicenseNo));
  LoadMemo(S.Def.LicenseIndex);
  for (Control* c : std::initializer_list<Control*>{&LabelLicense, &BtnLicenseYes, &BtnLicenseNo, &MemoLicense})
    c->SetVisible(true);
  form.SetFocus(&MemoLicense);
  ShowPrintButton();
  BtnBack.SetVisible(true);
  BtnBack.OnClick = [this] { ReturnToStartPage(); };
  BtnLicenseYes.OnClick = [this] {
    for (Control* c : std::initializer_list<Control*>{&MemoLicense, &LabelLicense, &BtnPrint, &BtnLicenseYes,
                                                      &BtnLicenseNo, &BtnBack})
      c->SetVisible(false);
    StartInstallation();
  };
}

// ---------------------------------------------------------------- progress

// The progress page: a status label and a gauge per stage, below each
// other. The workers' calls reach the window through the form's
// dispatcher, which the pool's wait services.
class TWizardProgress : public IInstallProgress {
 public:
  explicit TWizardProgress(TSetupWizard& w) : w_(w) {}

  void Stage(StageKind kind, const std::string& caption, uint64_t maximum) override {
    w_.AddStage(caption, maximum);
    files_ = kind == StageKind::Files;
    if (files_) w_.form.SetTaskbarProgress(TaskbarState::Normal, 0, maximum);
    w_.form.backend().Pump();
  }
  void Status(const std::string& text) override {
    w_.form.dispatcher().Synchronize([&] {
      if (!w_.Stages.empty()) w_.Stages.back().label->SetCaption(text);
    });
  }
  void Advance(uint64_t amount) override {
    w_.form.dispatcher().Synchronize([&] {
      if (w_.Stages.empty()) return;
      ProgressBar& g = *w_.Stages.back().gauge;
      g.SetPosition(g.position() + amount);
      if (files_) w_.form.SetTaskbarProgress(w_.form.taskbarState(), g.position(), g.maximum());
    });
  }
  void Complete() override {
    if (w_.Stages.empty()) return;
    ProgressBar& g = *w_.Stages.back().gauge;
    g.SetPosition(g.maximum());
    if (files_) w_.form.SetTaskbarProgress(w_.form.taskbarState(), g.maximum(), g.maximum());
    w_.form.backend().Pump();
  }
  void Idle(int ms) override {
    // The window repaints and the workers' calls run while the pool works.
    Dispatcher& d = w_.form.dispatcher();
    w_.form.backend().Pump();
    d.Service();
    if (d.WaitForCalls(ms)) d.Service();
  }
  void ErrorState(bool shown) override {
    const Form& f = w_.form;
    w_.form.SetTaskbarProgress(shown ? TaskbarState::Error : TaskbarState::Normal, f.taskbarValue(),
                               f.taskbarMaximum());
  }

 private:
  TSetupWizard& w_;
  bool files_ = false;
};

void TSetupWizard::AddStage(const std::string& caption, uint64_t maximum) {
  const int m = Margin(), unit = Scale.lineUnit, width = form.bounds().width - 2 * m;
  const int index = static_cast<int>(Stages.size());
  const int top = m + index * 2 * unit;
  const std::string n = std::to_string(index + 1);
  Label& label = form.Add<Label>("LabelStage" + n);
  label.SetTransparent(true);
  label.SetBounds({m, top, width, form.MeasureText(form.font(), "Ag").height});
  label.SetCaption(caption);
  ProgressBar& gauge = form.Add<ProgressBar>("GaugeStage" + n);
  gauge.SetBounds({m, top + unit * 2 / 3, width, std::max(8, unit / 2)});
  gauge.SetMaximum(maximum);
  Stages.push_back({&label, &gauge});
}

void TSetupWizard::StartInstallation() {
  HideAll();
  ShowWelcome(false);
  for (Label* l : RightsNotes) l->SetVisible(false);
  InstallRunning = true;
  for (StageRow& r : Stages) {
    form.Remove(*r.gauge);
    form.Remove(*r.label);
  }
  Stages.clear();
  PrepareFolders();
  FolderContext ctx = S.Folder();
  S.Roots = ResolveFolderVariables(ctx, S.Def.Components);
  progress_ = std::make_unique<TWizardProgress>(*this);
  Installer = std::make_unique<TInstaller>(S, *progress_);
  bool done = false;
  try {
    done = Installer->Install();
  } catch (const EAbortInstallation&) {
    InstallRunning = false;
    ErrorShown = Installer->ErrorShown();
    return InstallationStopped();
  } catch (const ESetupException& e) {
    InstallRunning = false;
    S.P.Dialogs.MessageBox(e.what(), form.caption(), MB_OK_ | MB_ICONERROR_);
    ErrorShown = true;
    return InstallationStopped();
  }
  // What follows an installation that went through is not a stopped one,
  // whatever fails in it.
  InstallRunning = false;
  ErrorShown = Installer->ErrorShown();
  form.SetTaskbarProgress(TaskbarState::None, 0, 0);
  if (!done) {
    // The framework or a prerequisite is missing: the user sees to it and
    // the installation starts again.
    for (StageRow& r : Stages) r.label->SetVisible(false), r.gauge->SetVisible(false);
    return ShowRequirementPage();
  }
  InstallationFinished();
}

// ---------------------------------------------------------------- completion

void TSetupWizard::InstallationFinished() {
  end_ = WizardEnd::Installed;
  InstallationFinishedHook(S);
  form.SetTaskbarProgress(TaskbarState::None, 0, 0);
  for (StageRow& r : Stages) r.label->SetVisible(false), r.gauge->SetVisible(false);
  const std::string& name = S.Def.UninstallDisplayName;
  LabelDone.SetCaption(FormatPattern(S.IString(ErrorShown ? kStrInstalledWithErrors : kStrInstalled), {name}));
  LabelDone.SetVisible(true);
  if (S.RebootNeeded) {
    LabelReboot.SetCaption(S.IString(kStrRestartQuestion));
    BtnRebootNow.SetCaption(S.IString(kStrRestartNow));
    BtnRebootLater.SetCaption(S.IString(kStrRestartLater));
    LabelReboot.SetVisible(true);
    BtnRebootNow.SetVisible(true);
    BtnRebootLater.SetVisible(true);
    BtnRebootNow.SetDefault(true);
    form.SetFocus(&BtnRebootNow);
    return;
  }
  BtnDone.SetCaption(S.IString(kStrDone));
  BtnDone.SetVisible(true);
  BtnDone.SetDefault(true);
  form.SetFocus(&BtnDone);
  if (S.Def.FinishFlags < 128) BtnDoneClick();
}

void TSetupWizard::InstallationStopped() {
  end_ = ErrorShown ? WizardEnd::Failed : WizardEnd::Stopped;
  form.SetTaskbarProgress(TaskbarState::None, 0, 0);
  for (StageRow& r : Stages) r.label->SetVisible(false), r.gauge->SetVisible(false);
  LabelDone.SetCaption(S.IString(kStrStopped));
  LabelDone.SetVisible(true);
  BtnDone.SetCaption(S.IString(kStrOk));
  BtnDone.OnClick = [this] { ExitAction(); };
  BtnDone.SetVisible(true);
  BtnDone.SetDefault(true);
  form.SetFocus(&BtnDone);
}

void TSetupWizard::BtnDoneClick() {
  // Once: a second press before the window closes starts nothing again.
  if (doneRan_) return;
  doneRan_ = true;
  BtnDone.SetEnabled(false);
  CompletionAction();
  CommonEnd();
}

void TSetupWizard::CompletionAction() {
  // The elevated copy starts nothing with the administrator's rights: the
  // copy that started it does, with the user's own.
  if (S.RelaunchedInstance) return Instance->WriteCompletionHandshake();
  FolderContext ctx = S.Folder();
  if (S.Def.FinishFlags & 2) {
    std::string menu;
    if (S.PortableInstall) {
      menu = S.Def.PortableFolder;
    } else if (S.HandedOver) {
      menu = Instance->TakeHandshakeValue("FinishedMenu");
    } else if (const TSpecialFolder* v = FindFolderVariable(S.Def.FolderVariables, "%APPMENU%")) {
      menu = PathFor(*v, S.Def.UserType);
    }
    if (!menu.empty()) Desktop.ShellOpen(menu, "open", "", "", 5);
    Sleep(1000);
  }
  if (S.Def.FinishExeIndex != kNoIndex) {
    const auto& installed = S.Package.Tables.InstalledPaths;
    std::string path = S.Def.FinishExeIndex < installed.size() ? installed[S.Def.FinishExeIndex] : std::string();
    if (path.empty() && S.HandedOver) path = Instance->TakeHandshakeValue("FinishedExe");
    if (!path.empty()) Desktop.ShellOpen(path, "", ExpandVariables(S.Def.FinishParams, ctx), ExtractFileDir(path), 5);
  }
}

void TSetupWizard::CommonEnd() {
  S.Def.FinishFlags = 0;
  ExitAction();
}

void TSetupWizard::BtnRebootNowClick() {
  // Whatever the system answers, the setup ends.
  Desktop.RestartSystem();
  PostClose();
}

}  // namespace stw
