// The setup window: its controls, scaling, the welcome text, the start
// page and its variants, the checks before a path leaves it, and the
// advanced path's pages (user type, folders, file types).
#include "wizard/SetupWizard.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "base/Text.h"
#include "system/CommandLine.h"
#include "system/FolderVariables.h"
#include "system/SupportDll.h"
#include "wizard/FolderBrowser.h"

namespace stw {

using namespace forms;

// ---------------------------------------------------------------- pure rules

std::string SizeText(uint64_t value, uint64_t chooser) {
  char text[64];
  if (chooser > 1073741824ull)
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(value) / 1073741824.0);
  else if (chooser > 1048576ull)
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(value) / 1048576.0);
  else
    std::snprintf(text, sizeof text, "%.2f kB", static_cast<double>(value) / 1024.0);
  return text;
}

int SpacePercent(uint64_t required, std::optional<uint64_t> free) {
  if (!free || required > *free) return 100;
  if (*free == 0) return 0;  // nothing needed of nothing free
  const double p = static_cast<double>(required) / (static_cast<double>(*free) / 100.0);
  return static_cast<int>(std::nearbyint(p));  // the default rounding: to nearest, ties to even
}

std::string CleanFolderText(const std::string& text, bool& changed) {
  changed = false;
  std::string s = text;
  for (size_t i = s.size(); i-- > 0;) {
    const char c = s[i];
    if (c == '"' || c == '*' || c == '<' || c == '>' || c == '?' || c == '|' || (c == ':' && i != 1)) {
      s.erase(i, 1);
      changed = true;
    }
  }
  if (!s.empty() && s.back() == '\\') s.pop_back();
  return s;
}

static void AddFolderBytes(const TComponentFolder& f, const std::vector<int64_t>& sizes, uint64_t& total) {
  for (const auto& child : f.Folders) AddFolderBytes(*child, sizes, total);
  for (const TFileData& file : f.Files)
    if (file.DataIndex < sizes.size() && sizes[file.DataIndex] > 0) total += static_cast<uint64_t>(sizes[file.DataIndex]);
}

uint64_t RequiredBytes(const std::vector<TComponentData>& components, const std::vector<int64_t>& fileSizes) {
  uint64_t total = 0;
  for (const TComponentData& c : components)
    if ((c.Selected || c.Required) && c.RootFolder) AddFolderBytes(*c.RootFolder, fileSizes, total);
  return total;
}

static bool FolderHasSomething(const TComponentFolder& f, bool portable) {
  if (!f.Files.empty()) return true;
  if (!portable && (!f.Shortcuts.empty() || !f.Urls.empty())) return true;
  for (const auto& child : f.Folders)
    if (FolderHasSomething(*child, portable)) return true;
  return false;
}

bool HasSomethingToShow(const TComponentData& c, bool portable) {
  return c.RootFolder && FolderHasSomething(*c.RootFolder, portable);
}

// ---------------------------------------------------------------- the form

std::unique_ptr<IInstanceHost> MakeWizardInstanceHost(TSetupWizard& w);

TSetupWizard::TSetupWizard(TSetupState& s, IBackend& backend, IDesktop& desktop,
                           std::function<std::unique_ptr<IBackend>()> dialogBackend)
    : S(s),
      Desktop(desktop),
      form(backend),
      BtnInstall(form.Add<Button>("BtnInstall")),
      BtnReadme(form.Add<Button>("BtnReadme")),
      BtnComponents(form.Add<Button>("BtnComponents")),
      BtnAdvanced(form.Add<Button>("BtnAdvanced")),
      BtnExit(form.Add<Button>("BtnExit")),
      BtnUserCurrent(form.Add<Button>("BtnUserCurrent")),
      BtnUserAll(form.Add<Button>("BtnUserAll")),
      MemoLicense(form.Add<RichEdit>("MemoLicense")),
      TreeComponents(form.Add<Tree>("TreeComponents")),
      MemoComponent(form.Add<Memo>("MemoComponent")),
      ListDrive(form.Add<ReportList>("ListDrive")),
      EditFolder(form.Add<Edit>("EditFolder")),
      BtnBack(form.Add<Button>("BtnBack")),
      BtnPrint(form.Add<Button>("BtnPrint")),
      BtnLicenseYes(form.Add<Button>("BtnLicenseYes")),
      BtnLicenseNo(form.Add<Button>("BtnLicenseNo")),
      CheckComponentsDetail(form.Add<CheckBox>("CheckComponentsDetail")),
      BtnProceed(form.Add<Button>("BtnProceed")),
      BtnAbort(form.Add<Button>("BtnAbort")),
      BtnDone(form.Add<Button>("BtnDone")),
      BtnRebootNow(form.Add<Button>("BtnRebootNow")),
      BtnRebootLater(form.Add<Button>("BtnRebootLater")),
      CheckAllDrives(form.Add<CheckBox>("CheckAllDrives")),
      LabelHint(form.Add<Label>("LabelHint")),
      LabelIdentity(form.Add<Label>("LabelIdentity")),
      LabelLicense(form.Add<Label>("LabelLicense")),
      LabelDone(form.Add<Label>("LabelDone")),
      LabelReboot(form.Add<Label>("LabelReboot")),
      LabelDrive(form.Add<Label>("LabelDrive")),
      LabelFolder(form.Add<Label>("LabelFolder")),
      Label3rdPartyURL(form.Add<LinkLabel>("Label3rdPartyURL")),
      Timer3rdParty(form.AddTimer("Timer3rdParty")),
      dialogBackend_(std::move(dialogBackend)) {
  Sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  InstanceHost = MakeWizardInstanceHost(*this);
  Instance = std::make_unique<TSecondInstance>(S, *InstanceHost);
}

TSetupWizard::~TSetupWizard() = default;

Font TSetupWizard::FormFont() const {
  Font f;
  f.name = S.Def.FormFont.Name.empty() ? "Tahoma" : S.Def.FormFont.Name;
  f.height = Scale.fontSize > 0 ? Scale.fontSize : 8;
  // Raised to the minimum height that the size falls short of.
  if (Scale.fontHeight > FontPixelHeight(f.height, Ppi)) f.pixels = Scale.fontHeight;
  return f;
}

void TSetupWizard::FormCreate() {
  // The design: a client area of 512 × 301 at 96 pixels per inch, Tahoma
  // with a height of 11 pixels; ApplyScaling enlarges it with the font.
  form.SetBounds({0, 0, 512, 301});
  struct Design {
    Control* c;
    int l, t, w, h;
  };
  const Design layout[] = {
      {&BtnInstall, 49, 126, 200, 29},     {&BtnReadme, 49, 161, 200, 29},
      {&BtnComponents, 49, 196, 200, 29},  {&BtnAdvanced, 49, 231, 200, 29},
      {&BtnExit, 49, 266, 200, 29},        {&BtnUserCurrent, 49, 126, 200, 29},
      {&BtnUserAll, 49, 161, 200, 29},     {&MemoLicense, 7, 7, 498, 238},
      {&TreeComponents, 7, 7, 498, 182},   {&MemoComponent, 7, 190, 498, 56},
      {&ListDrive, 7, 77, 498, 113},       {&EditFolder, 7, 231, 498, 21},
      {&BtnBack, 49, 266, 106, 29},        {&BtnPrint, 168, 266, 71, 29},
      {&BtnLicenseYes, 252, 266, 120, 29}, {&BtnLicenseNo, 385, 266, 120, 29},
      {&CheckComponentsDetail, 161, 273, 120, 17}, {&BtnProceed, 287, 266, 106, 29},
      {&BtnAbort, 399, 266, 106, 29},      {&BtnDone, 196, 140, 120, 29},
      {&BtnRebootNow, 129, 175, 120, 29},  {&BtnRebootLater, 262, 175, 120, 29},
      {&CheckAllDrives, 7, 193, 498, 15},  {&LabelHint, 259, 126, 246, 134},
      {&LabelIdentity, 7, 70, 0, 13},      {&LabelLicense, 7, 247, 0, 13},
      {&LabelDone, 7, 112, 498, 13},       {&LabelReboot, 7, 147, 498, 13},
      {&LabelDrive, 7, 63, 0, 13},         {&LabelFolder, 7, 215, 0, 13},
      {&Label3rdPartyURL, 7, 168, 498, 13},
  };
  for (const Design& d : layout) d.c->SetBounds({d.l, d.t, d.w, d.h});
  BtnInstall.SetDefault(true);
  BtnUserCurrent.SetDefault(false);
  BtnRebootLater.SetCancel(true);
  MemoComponent.SetReadOnly(true);
  LabelHint.SetWordWrap(true);
  LabelHint.SetTransparent(true);
  for (Label* l : std::initializer_list<Label*>{&LabelIdentity, &LabelLicense, &LabelDone, &LabelReboot, &LabelDrive, &LabelFolder,
                    &Label3rdPartyURL})
    l->SetTransparent(true);
  LabelDone.SetAlign(Align::Center);
  LabelReboot.SetAlign(Align::Center);
  Label3rdPartyURL.SetAlign(Align::Center);
  ListDrive.columns = {{"", 60, false}, {"", 300, false}, {"", 100, true}};
  // Everything but the start page's buttons, LabelIdentity and LabelHint
  // starts hidden.
  for (const auto& c : form.controls())
    if (c.get() != &BtnInstall && c.get() != &BtnReadme && c.get() != &BtnComponents && c.get() != &BtnAdvanced &&
        c.get() != &BtnExit && c.get() != &LabelIdentity && c.get() != &LabelHint)
      c->SetVisible(false);

  BtnBack.SetCaption(S.IString(kStrBack));
  BtnProceed.SetCaption(S.IString(kStrProceed));
  BtnAbort.SetCaption(S.IString(kStrAbort));
  BtnPrint.SetCaption(S.IString(kStrPrint));
  CheckComponentsDetail.SetCaption(S.IString(kStrComponentsDetail));

  // The fixed actions; the navigation row's are set per page.
  BtnInstall.OnClick = [this] { BtnInstallClick(); };
  BtnReadme.OnClick = [this] { BtnReadmeClick(); };
  BtnComponents.OnClick = [this] { BtnComponentsClick(); };
  BtnAdvanced.OnClick = [this] { BtnAdvancedClick(); };
  BtnExit.OnClick = [this] { ExitAction(); };
  BtnUserCurrent.OnClick = [this] { BtnUserCurrentClick(); };
  BtnUserAll.OnClick = [this] { BtnUserAllClick(); };
  BtnLicenseNo.OnClick = [this] { ExitAction(); };
  BtnAbort.OnClick = [this] { ExitAction(); };
  BtnPrint.OnClick = [this] { BtnPrintClick(); };
  BtnRebootLater.OnClick = [this] { ExitAction(); };
  BtnDone.OnClick = [this] { BtnDoneClick(); };
  BtnRebootNow.OnClick = [this] { BtnRebootNowClick(); };
  TreeComponents.OnStateClick = [this](const std::vector<size_t>& path) {
    // Only a component node switches; a detail node does nothing.
    if (path.size() != 1) return;
    const TreeNode* n = TreeComponents.Node(path);
    if (n) ToggleComponent(static_cast<size_t>(n->data));
  };
  TreeComponents.OnSelect = [this] {
    const std::vector<size_t>& sel = TreeComponents.selected();
    if (sel.empty()) return;
    const TreeNode* top = TreeComponents.Node({sel[0]});
    if (top && top->data < S.Def.Components.size()) MemoComponent.SetText(S.Def.Components[top->data].Description);
  };
  CheckComponentsDetail.OnClick = [this] { ShowDetail(); };
  CheckAllDrives.OnClick = [this] { FillDrives(); };
  ListDrive.OnClick = [this] { DriveClick(); };
  EditFolder.OnChange = [this] { EditFolderChange(); };
  // The hint of the control under the mouse, on the start page's label.
  form.OnHover = [this](Control* c) { LabelHint.SetCaption(c ? c->hint() : std::string()); };
  form.OnSystemCommand = [this](int id) {
    if (id != 1) return;
    S.P.Dialogs.MessageBox("Pakvestor setup runtime\rbuilt with the Stowa package builder\r\rVisit the publisher's "
                           "web site for help with this product.",
                           "About Pakvestor", MB_OK_ | MB_ICONINFORMATION_);
  };
  // A failure inside a page's action ends the setup with its message, as
  // one during the start-up does.
  form.OnError = [this](std::exception_ptr error) {
    std::string text;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      text = e.what();
    } catch (...) {
      text = "unknown failure";
    }
    InstallRunning = false;
    end_ = WizardEnd::Failed;
    ErrorShown = true;
    S.P.Dialogs.MessageBox(text, form.caption(), MB_OK_ | MB_ICONERROR_);
    PostClose();
  };
  // On a screen of another resolution the window keeps its look: every
  // length grows or shrinks with the resolution, and the fonts, which are
  // in points, are drawn anew by the backend.
  form.OnDpiChanged = [this](int ppi) {
    if (ppi <= 0 || ppi == Ppi) return;
    const auto scale = [&](int v) { return MulDivRound(v, ppi, Ppi); };
    for (const auto& c : form.controls()) {
      const Bounds b = c->bounds();
      c->SetBounds({scale(b.left), scale(b.top), scale(b.width), scale(b.height)});
    }
    for (auto& col : ListDrive.columns) col.width = scale(col.width);
    const Bounds f = form.bounds();
    form.SetBounds({f.left, f.top, scale(f.width), scale(f.height)});
    designedHeight_ = scale(designedHeight_);
    if (rememberedButtonsTop_) rememberedButtonsTop_ = scale(*rememberedButtonsTop_);
    noteTop_ = scale(noteTop_);
    for (const auto& c : form.controls())
      if (c->font().pixels) {
        forms::Font f = c->font();
        f.pixels = scale(f.pixels);
        c->SetFont(f);
      }
    if (form.font().pixels) {
      forms::Font f = form.font();
      f.pixels = scale(f.pixels);
      form.SetFont(f);
    }
    Scale.lineUnit = scale(Scale.lineUnit);
    Scale.fontHeight = scale(Scale.fontHeight);
    Scale.scaled = true;
    Ppi = ppi;
    screen_ = form.backend().ScreenOf(form);  // the new screen's frame and colours
    if (TreeComponents.visible()) {
      // The state images in the size of the new resolution.
      const std::vector<size_t> sel = TreeComponents.selected();
      std::vector<forms::TreeNode> nodes = TreeComponents.nodes();
      TreeComponents.statePictures.clear();
      BuildTree(false);
      TreeComponents.SetNodes(std::move(nodes));
      if (!sel.empty()) TreeComponents.Select(sel);
    }
  };
  // Closing is refused while the installation runs.
  form.CanClose = [this] { return !InstallRunning; };
  form.OnCancel = [this] {
    if (!InstallRunning && end_ == WizardEnd::Running) ExitAction();
  };
}

void TSetupWizard::ApplyScaling() {
  screen_ = form.backend().ScreenOf(form);
  const Screen& screen = screen_;
  Ppi = screen.ppi;
  int size = S.Def.FormFont.Size ? S.Def.FormFont.Size : 8;
  if (S.P.Sys.MajorVersion() >= 10)
    size = TextScaledFontSize(size, S.P.Reg.ReadDword(RegRoot::CurrentUser, "SOFTWARE\\Microsoft\\Accessibility",
                                                      "TextScaleFactor"));
  WindowRoom room;
  room.monitorWidth = screen.monitorWidth;
  room.monitorHeight = screen.monitorHeight;
  room.workWidth = screen.workWidth;
  room.workHeight = screen.workHeight;
  room.clientWidth = form.bounds().width;
  room.clientHeight = form.bounds().height;
  room.windowWidth = room.clientWidth + screen.frameWidth;
  room.windowHeight = room.clientHeight + screen.frameHeight;
  Scale = ScaleWindow(11, Ppi, size, room);
  if (Scale.scaled) {
    for (const auto& c : form.controls()) {
      const Bounds b = c->bounds();
      c->SetBounds({S_(b.left), S_(b.top), S_(b.width), S_(b.height)});
    }
    for (auto& col : ListDrive.columns) col.width = S_(col.width);
    form.SetBounds({0, 0, S_(form.bounds().width), S_(form.bounds().height)});
  }
  const Font f = FormFont();
  form.SetFont(f);
  for (const auto& c : form.controls()) c->SetFont(f);
  Font link = f;
  link.underline = true;
  Label3rdPartyURL.SetFont(link);
  designedHeight_ = form.bounds().height;
  // Centred in the work area.
  const Bounds b = form.bounds();
  form.SetBounds({screen.workLeft + (screen.workWidth - b.width - screen.frameWidth) / 2,
                  screen.workTop + (screen.workHeight - b.height - screen.frameHeight) / 2, b.width, b.height});
  SetBands();
}

void TSetupWizard::SetBands() {
  form.SetBands(S.Def.PaintGradient != 0 && screen_.bitsPerPixel >= 15, screen_.buttonHighlight, screen_.buttonShadow);
}

Colour TSetupWizard::BandAt(int y) const {
  if (!form.bands()) return kDefaultColour;
  const int n = (form.bounds().height + screen_.frameHeight) / 4;
  return BandColour(form.bandTop(), form.bandBottom(), n, std::clamp(y / 4, 0, std::max(0, n - 1)));
}


// ---------------------------------------------------------------- welcome

void TSetupWizard::BuildWelcome() {
  const TSetupDefinition& d = S.Def;
  const int m = Margin();
  int x = m, top = m, lineHeight = 0;
  const auto place = [&](Label& l) {
    l.SetTransparent(true);
    l.SetPosition(x, top);
    l.AutoSize();
    x += l.bounds().width;
    lineHeight = std::max(lineHeight, l.bounds().height);
    WelcomeLabels.push_back(&l);
  };
  const auto text = [&](const std::string& caption) {
    Label& l = form.Add<Label>("LabelWelcome" + std::to_string(WelcomeLabels.size() + 1));
    l.SetCaption(caption);
    place(l);
  };
  // A web address shown as a link: blue, underlined, the address and the
  // text as its hint.
  const auto link = [&](const std::string& caption, const std::string& url) {
    if (url.empty()) return text(caption);
    LinkLabel& l = form.Add<LinkLabel>("LinkWelcome" + std::to_string(WelcomeLabels.size() + 1));
    l.SetCaption(caption);
    l.url = url;
    l.SetHint(url + "\r" + caption);
    Font f = form.font();
    f.underline = true;
    l.SetFont(f);
    l.SetColour(0xFF0000);
    l.OnOpen = [this](const std::string& address) { Desktop.ShellOpen(address, "open", "", "", 1); };
    l.OnClick = [this, &l] { Desktop.ShellOpen(l.url, "open", "", "", 1); };
    place(l);
  };
  text(S.IString(kStrWelcome1) + " ");
  if (!d.Publisher.empty()) {
    link(d.Publisher, d.WebAddress);
    x += form.MeasureText(form.font(), " ").width;
  }
  link(d.UninstallDisplayName, d.SupportAddress);
  text(" " + S.IString(kStrWelcome2));
  x = m;
  top += lineHeight;
  lineHeight = 0;
  text(FormatPattern(S.IString(kStrWelcomeDate) + " ", {Desktop.FormatShortDate(d.ReleaseDate)}));
  x = m;
  top += lineHeight;
  lineHeight = 0;
  if (!d.WelcomeLine.empty()) text(d.WelcomeLine);
}

void TSetupWizard::ApplyButtonTexts() {
  const std::string& app = S.Def.AppName;
  const auto set = [&](Button& b, int caption, int hint) {
    b.SetCaption(S.IString(caption));
    b.SetHint(S.IString(hint));
  };
  set(BtnInstall, kStrInstall, kStrInstallHint);
  BtnInstall.SetHint(FormatPattern(S.IString(kStrInstallHint), {app}));  // the one hint that is a format
  set(BtnReadme, kStrReadme, kStrReadmeHint);
  set(BtnComponents, kStrComponents, kStrComponentsHint);
  set(BtnAdvanced, kStrAdvanced, kStrAdvancedHint);
  set(BtnExit, kStrExit, kStrExitHint);
  BtnAbort.SetHint(S.IString(kStrExitHint));
  // Without a readme field the column closes up; a readme that could not
  // be extracted only hides its button.
  if (S.Def.ReadmeName.empty()) {
    // The buttons below the readme's slot move up one slot each.
    BtnReadme.SetVisible(false);
    BtnExit.SetPosition(BtnExit.bounds().left, BtnAdvanced.bounds().top);
    BtnAdvanced.SetPosition(BtnAdvanced.bounds().left, BtnComponents.bounds().top);
    BtnComponents.SetPosition(BtnComponents.bounds().left, BtnReadme.bounds().top);
  }
}

static void MoveTo(Control& c, const Control& slot) { c.SetPosition(c.bounds().left, slot.bounds().top); }

void TSetupWizard::ApplyStartVariant() {
  TSetupDefinition& d = S.Def;
  if (!S.CanInstall) {
    // No installation with these rights: only the portable one, when the
    // package offers it.
    BtnComponents.SetEnabled(false);
    BtnAdvanced.SetEnabled(false);
    RightsNotes.push_back(&AddNote(S.IString(kStrCannotInstall1)));
    if (d.PortableMode == 1) {
      d.PortableMode = 2;
      RightsNotes.push_back(&AddNote(S.IString(kStrPortableOnly)));
    } else {
      RightsNotes.push_back(&AddNote(S.IString(kStrCannotInstall2)));
      BtnInstall.SetEnabled(false);
    }
  }
  if (d.PortableMode == 2) {
    BtnInstall.SetCaption(S.IString(kStrPortable));
    BtnInstall.SetHint(S.IString(kStrPortableHint));
    MoveTo(BtnExit, BtnComponents);
  } else if (d.PortableMode == 1) {
    BtnComponents.SetCaption(S.IString(kStrPortable));
    BtnComponents.SetHint(S.IString(kStrPortableHint));
  } else if (!d.HasOptionalComponents) {
    MoveTo(BtnExit, BtnAdvanced);
    MoveTo(BtnAdvanced, BtnComponents);
  }
  if (d.PortableMode < 2 && !d.ShowAdvanced) MoveTo(BtnExit, BtnAdvanced);
  if (S.ElevateByRelaunch && S.CanInstall) {
    // The shield says which paths ask for administrator rights.
    BtnInstall.SetShield(d.PortableMode != 2);
    BtnComponents.SetShield(d.PortableMode != 1);
    BtnAdvanced.SetShield((d.UserType & 3) != 3);
  }
}

Label& TSetupWizard::AddNote(const std::string& text) {
  Label& l = form.Add<Label>("LabelNote" + std::to_string(NoteLabels.size() + RightsNotes.size() + 1));
  l.SetTransparent(true);
  l.SetCaption(text);
  l.SetPosition(Margin(), noteTop_);
  l.AutoSize();
  noteTop_ += l.bounds().height;
  return l;
}

void TSetupWizard::ApplyVerdict(const TEarlierVerdict& verdict) {
  for (const std::string& line : verdict.NoteLines) NoteLabels.push_back(&AddNote(line));
  const auto append = [&](Button& b, int n) { b.SetHint(b.hint() + " " + S.IString(n)); };
  switch (verdict.kind) {
    case TEarlierVerdict::Newer:
      append(BtnInstall, kStrNewer2);
      append(BtnComponents, kStrSameComponents2);
      break;
    case TEarlierVerdict::Same:
      if (S.Def.HasOptionalComponents && S.Def.PortableMode == 0) {
        append(BtnComponents, kStrSameComponents2);
        startDefault_ = &BtnComponents;
        activeControl_ = &BtnComponents;
      }
      break;
    case TEarlierVerdict::Older:
      startDefault_ = &BtnExit;
      activeControl_ = &BtnExit;
      break;
    case TEarlierVerdict::Blocked:
      BtnInstall.SetEnabled(false);
      BtnComponents.SetEnabled(false);
      BtnAdvanced.SetEnabled(false);
      activeControl_ = &BtnExit;
      break;
    case TEarlierVerdict::None:
      break;
  }
}

void TSetupWizard::AfterStartup(const TEarlierVerdict& verdict) {
  ApplyScaling();
  BuildWelcome();
  form.SetCaption(S.WindowCaption());
  ApplyButtonTexts();
  noteTop_ = LabelIdentity.bounds().top - Margin();
  ApplyVerdict(verdict);
  ApplyStartVariant();
  originalFolders_ = S.Def.FolderVariables;
  FolderOverrides.assign(S.Def.FolderVariables.size(), std::nullopt);
  form.AddSystemMenuItem(1, "About Pakvestor");
  StartPageShow();
  form.Show();
  if (!activeControl_ || !form.SetFocus(activeControl_)) form.SetFocus(&BtnInstall);
  if (!form.focused()) form.Press(Key::Tab);
  // The copy started by another goes on with the action chosen there.
  if (S.CanInstall && S.RelaunchedInstance && !S.Silent) {
    const int action = StartActionFromSwitches(S.Args);
    InstanceHost->Post([this, action] { ReplayStartAction(action); });
  }
}

// ---------------------------------------------------------------- start page

void TSetupWizard::ShowWelcome(bool show) {
  for (Label* l : WelcomeLabels) l->SetVisible(show);
}

void TSetupWizard::StartPageShow() {
  const TSetupDefinition& d = S.Def;
  BtnInstall.SetVisible(true);
  BtnExit.SetVisible(true);
  BtnReadme.SetVisible(d.HasReadme);
  BtnComponents.SetVisible(d.PortableMode == 1 || (d.PortableMode == 0 && d.HasOptionalComponents));
  BtnAdvanced.SetVisible(d.PortableMode < 2 && d.ShowAdvanced);
  LabelHint.SetVisible(true);
  for (Label* l : NoteLabels) l->SetVisible(true);
  for (Label* l : RightsNotes) l->SetVisible(true);
  ShowWelcome(true);
  LabelIdentity.SetVisible(true);
  // The start page's default button, as the earlier installation chose it,
  // whatever the pages in between made the default.
  startDefault_->SetDefault(true);
}

void TSetupWizard::StartPageHide() {
  for (Button* b : {&BtnInstall, &BtnReadme, &BtnComponents, &BtnAdvanced, &BtnExit}) b->SetVisible(false);
  LabelHint.SetVisible(false);
  for (Label* l : NoteLabels) l->SetVisible(false);
}

void TSetupWizard::HideAll() {
  StartPageHide();
  for (Control* c : std::initializer_list<Control*>{
           &BtnUserCurrent, &BtnUserAll, &MemoLicense, &TreeComponents, &MemoComponent, &ListDrive, &EditFolder,
           &BtnBack, &BtnPrint, &BtnLicenseYes, &BtnLicenseNo, &CheckComponentsDetail, &BtnProceed, &BtnAbort,
           &BtnDone, &BtnRebootNow, &BtnRebootLater, &CheckAllDrives, &LabelIdentity, &LabelLicense, &LabelDone,
           &LabelReboot, &LabelDrive, &LabelFolder, &Label3rdPartyURL})
    c->SetVisible(false);
}

void TSetupWizard::ReturnToStartPage() {
  // Every way back to the start page (the licence's Back too) leaves the
  // portable path.
  LeavePortablePath();
  HideAll();
  DestroyFolderRows();
  DestroyTypeBoxes();
  StartPageShow();
  if (!activeControl_ || !form.SetFocus(activeControl_))
    form.SetFocus(BtnInstall.CanFocus() ? static_cast<Control*>(&BtnInstall) : &BtnExit);
}

void TSetupWizard::ShowNavigation(bool back, bool proceed, bool abort) {
  BtnBack.SetVisible(back);
  BtnProceed.SetVisible(proceed);
  BtnAbort.SetVisible(abort);
  BtnProceed.SetDefault(proceed);
}

void TSetupWizard::PostClose() {
  // Posted, as a message to the window would be: the handler that asked
  // for the end finishes first.
  form.dispatcher().Post([this] { form.Close(); });
}

void TSetupWizard::ExitAction() {
  if (end_ == WizardEnd::Running) end_ = WizardEnd::Exited;
  PostClose();
}

int TSetupWizard::ExitCode() const {
  // The second instance installed (or did not): its outcome is the run's.
  if (S.SecondInstanceExit) return static_cast<int>(*S.SecondInstanceExit);
  switch (end_) {
    case WizardEnd::Installed:
      return S.RebootNeeded ? kExitRestartNeeded : kExitSuccess;
    case WizardEnd::Stopped:
      return ErrorShown ? kExitFailed : kExitCancelled;
    case WizardEnd::Failed:
      return kExitFailed;
    case WizardEnd::Cancelled:
      return kExitSuccess;  // the user closed the other program's question
    case WizardEnd::Exited:
    case WizardEnd::Running:
      break;
  }
  return kExitCancelled;
}

bool TSetupWizard::RunningApplicationCheck() {
  const std::string& app = S.Def.AppName;
  const auto ask = [&](const std::string& title, const std::string& cls, const std::string& line) {
    while (Desktop.WindowExists(title, cls)) {
      const std::string text = FormatPattern(S.IString(kStrRunning1), {app}) + "\r" + line + "\r" + S.IString(kStrRunning2);
      const int answer = S.P.Dialogs.MessageBox(text, form.caption(), MB_RETRYCANCEL_ | MB_ICONEXCLAMATION_);
      if (answer == IDRETRY_) continue;
      end_ = WizardEnd::Cancelled;
      PostClose();
      return true;
    }
    return false;
  };
  for (const std::string& title : S.Def.WindowTitles)
    if (!title.empty() && ask(title, "", FormatPattern(S.IString(kStrRunningTitle), {title}))) return true;
  for (const std::string& cls : S.Def.WindowClasses)
    if (!cls.empty() && ask("", cls, S.IString(kStrRunningClass))) return true;
  return false;
}

// What the second instance asks of the window.
class TWizardInstanceHost : public IInstanceHost {
 public:
  explicit TWizardInstanceHost(TSetupWizard& w) : w_(w) {}
  void* OwnerWindow() override { return w_.form.shown() ? w_.form.backend().NativeWindow(w_.form) : nullptr; }
  void HideWindows() override {
    if (!w_.form.shown()) return;
    if (w_.Backdrop) w_.Backdrop->Hide();
    w_.form.Hide();
  }
  void HideStartButtons() override {
    for (Button* b : {&w_.BtnInstall, &w_.BtnReadme, &w_.BtnComponents, &w_.BtnAdvanced, &w_.BtnExit})
      b->SetVisible(false);
  }
  void Post(std::function<void()> message) override {
    // The form runs what is still queued when it goes, after the rest of
    // the wizard has gone: a message for a wizard that is gone is dropped.
    std::weak_ptr<bool> alive = alive_;
    w_.form.dispatcher().Post([this, alive, message] {
      if (alive.lock()) w_.form.Guard(message);
    });
  }
  void EndMessageLoop() override { w_.ExitAction(); }
  void CompletionAction() override { w_.CompletionAction(); }
  void ShowStage(const std::string& text, int maximum) override {
    w_.HideAll();
    w_.ShowWelcome(false);
    for (Label* l : w_.RightsNotes) l->SetVisible(false);
    w_.AddStage(text, static_cast<uint64_t>(maximum));
    w_.form.backend().Pump();
  }
  void StagePosition(int position) override {
    if (w_.Stages.empty()) return;
    w_.Stages.back().gauge->SetPosition(static_cast<uint64_t>(position));
    w_.form.backend().Pump();
  }
  std::string Caption() override { return w_.form.caption(); }
  void Sleep(int milliseconds) override { w_.Sleep(milliseconds); }

 private:
  TSetupWizard& w_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

std::unique_ptr<IInstanceHost> MakeWizardInstanceHost(TSetupWizard& w) {
  return std::make_unique<TWizardInstanceHost>(w);
}

void TSetupWizard::ReplayStartAction(int action) {
  // Pressed as the user would: a button that this instance disabled (an
  // update it blocks, say) does nothing. The user type buttons are on the
  // page behind Advanced, so they count as reachable when Advanced is.
  switch (action) {
    case kActionComponents:
      return BtnComponents.Click();
    case kActionAdvanced:
      return BtnAdvanced.Click();
    case kActionUserCurrent:
      if (BtnAdvanced.enabled()) BtnUserCurrentClick();
      return;
    case kActionUserAll:
      if (BtnAdvanced.enabled()) BtnUserAllClick();
      return;
    default:
      return BtnInstall.Click();
  }
}

bool TSetupWizard::Checks(int action) {
  if (RunningApplicationCheck()) return false;
  return Instance->BeginInstallation(action);
}

void TSetupWizard::ResolveUserTypeForQuickPath() {
  if (S.PreferCurrentUser) {
    S.Def.UserType = 2;
    S.ElevateByRelaunch = false;
  } else if (S.Def.UserType & 1) {
    S.Def.UserType = 1;
  }
}

bool TSetupWizard::ResolvedChecks(int action) {
  // The choice stays made whatever follows: a second instance installs for
  // it, and this one reads its handshake where that installation wrote.
  ResolveUserTypeForQuickPath();
  return Checks(action);
}

void TSetupWizard::BtnInstallClick() {
  if (S.Def.PortableMode == 2) return OpenPortablePage();
  if (!ResolvedChecks(1) || !PrepareInstallation()) return;
  // The user chose to wait for the space: the start page again.
  if (!DiskSpaceCheck()) return StartPageShow();
  LicenseOrInstall();
}

void TSetupWizard::BtnComponentsClick() {
  if (S.Def.PortableMode == 1) return OpenPortablePage();
  if (!ResolvedChecks(2) || !PrepareInstallation()) return;
  EnterComponentsPage(From::Start, true);
}


void TSetupWizard::BtnAdvancedClick() {
  if ((S.Def.UserType & 3) == 3) {
    if (RunningApplicationCheck()) return;
    HideAll();
    ShowWelcome(true);
    const std::string& app = S.Def.AppName;
    BtnUserCurrent.SetCaption(S.IString(kStrUserCurrent));
    BtnUserCurrent.SetHint(
        FormatPattern(S.IString((S.Def.UserType & 4) ? kStrUserCurrentAdminHint : kStrUserCurrentHint), {app}));
    BtnUserAll.SetCaption(S.IString(kStrUserAll));
    BtnUserAll.SetHint(FormatPattern(S.IString(kStrUserAllHint), {app}));
    BtnUserAll.SetShield(S.ElevateByRelaunch);
    BtnUserCurrent.SetShield(S.ElevateByRelaunch && (S.Def.UserType & 4));
    BtnUserCurrent.SetVisible(true);
    BtnUserAll.SetVisible(true);
    BtnUserCurrent.SetDefault(true);
    // The hints explain the two choices, so they are shown here too.
    LabelHint.SetCaption("");
    LabelHint.SetVisible(true);
    ShowNavigation(true, false, true);
    BtnBack.OnClick = [this] { ReturnToStartPage(); };
    form.SetFocus(&BtnUserCurrent);
    return;
  }
  if (!Checks(3) || !PrepareInstallation()) return;
  ShowFoldersPage();
}

void TSetupWizard::BtnUserCurrentClick() {
  S.Def.UserType &= static_cast<uint8_t>(~1u);
  if ((S.Def.UserType & 3) == 0) S.Def.UserType |= 2;
  S.ElevateByRelaunch = S.ElevateByRelaunch && (S.Def.UserType & 4);
  if (!Instance->BeginInstallation(kActionUserCurrent)) return;
  BtnUserCurrent.SetShield(false);
  if (!Checks(3)) return ReturnToStartPage();
  if (!PrepareInstallation()) return;
  ShowFoldersPage();
}

void TSetupWizard::BtnUserAllClick() {
  S.Def.UserType = 1;
  if (!Instance->BeginInstallation(kActionUserAll)) return;
  if (!Checks(3)) return ReturnToStartPage();
  if (!PrepareInstallation()) return;
  ShowFoldersPage();
}

bool TSetupWizard::PrepareInstallation() {
  if (!S.Support) return true;
  const bool allowed =
      S.Support->PrepareInstallation(form.backend().NativeWindow(form), [this] { ComputeRequiredComponents(S.Def.Components); });
  // The DLL's own folder variables join those the pages start from, with
  // the folder it gave for either user type.
  for (size_t i = originalFolders_.size(); i < S.Def.FolderVariables.size(); ++i) {
    auto added = S.Def.FolderVariables[i];
    const std::string path = PathFor(added.second, S.Def.UserType);
    added.second.AllUsersPath = added.second.CurrentUserPath = path;
    originalFolders_.push_back(std::move(added));
  }
  FolderOverrides.resize(S.Def.FolderVariables.size());
  if (!allowed) ExitAction();
  return allowed;
}

// ---------------------------------------------------------------- folders page

std::vector<std::pair<std::string, TSpecialFolder>> TSetupWizard::PreparedFolders() {
  FolderVariableList list = originalFolders_;
  FolderContext ctx = S.Folder();
  ctx.variables = &list;
  const uint8_t ut = S.Def.UserType;
  for (size_t i = 0; i < list.size(); ++i) {
    // One variable at a time, in order: a later one may be written in
    // terms of an earlier one, which is final by then.
    FolderVariableList one{list[i]};
    PrepareFolderVariables(
        S.Args, one, ut,
        [&](const std::string& p) {
          bool shared = false, font = false;
          return ExpandFolderPath(p, ctx, shared, font);
        },
        [&](const std::string& p) { return S.P.Sys.DriveExists(p); });
    list[i] = one[0];
    if (i < FolderOverrides.size() && FolderOverrides[i]) SetPathFor(list[i].second, ut, *FolderOverrides[i]);
  }
  return list;
}

void TSetupWizard::PrepareFolders() {
  if (!S.PortableInstall) S.Def.FolderVariables = PreparedFolders();
}

void TSetupWizard::ShowFoldersPage() {
  // The folders shown are those of the user type that will install.
  ResolveUserTypeForQuickPath();
  HideAll();
  ShowWelcome(true);
  DestroyFolderRows();
  const FolderVariableList values = PreparedFolders();
  if (values.empty()) return FoldersProceed();
  const int m = Margin(), b = S_(28), width = form.bounds().width;
  const int l = width / 3, editWidth = width - l - m - b, editHeight = EditFolder.bounds().height;
  int top = LabelIdentity.bounds().top;
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    FolderRow row{i, &form.Add<Label>("LabelRow" + n), &form.Add<Edit>("EditRow" + n),
                  &form.Add<Button>("BtnBrowse" + n), PathFor(values[i].second, S.Def.UserType)};
    row.shown = FirstCharacters(row.shown, 255);
    row.edit->SetBounds({l, top, editWidth, editHeight});
    row.edit->maxLength = 255;
    row.edit->SetText(row.shown);
    row.label->SetTransparent(true);
    row.label->SetAlign(Align::Right);
    row.label->SetCaption(values[i].second.Description);
    row.label->focusControl = row.edit;
    const int lh = form.MeasureText(row.label->font(), "Ag").height;
    row.label->SetBounds({m, top + editHeight - lh - 2, l - m - m, lh});
    row.browse->SetCaption("...");
    row.browse->SetBounds({l + editWidth, top, b, editHeight});
    const size_t index = FolderRows.size();
    row.browse->OnClick = [this, index] { BrowseFolder(index); };
    FolderRows.push_back(row);
    top = top + editHeight + m;
  }
  GrowTo(top);
  ShowNavigation(true, true, true);
  BtnBack.OnClick = [this] { ReturnToStartPage(); };
  BtnProceed.OnClick = [this] { FoldersProceed(); };
  form.SetFocus(FolderRows.front().edit);
}

void TSetupWizard::DestroyFolderRows() {
  for (FolderRow& r : FolderRows) {
    form.Remove(*r.browse);
    form.Remove(*r.edit);
    form.Remove(*r.label);
  }
  FolderRows.clear();
}

bool TSetupWizard::ValidateFolders() {
  for (FolderRow& r : FolderRows) {
    bool changed = false;
    std::string text = CleanFolderText(TrimBlanks(r.edit->text()), changed);
    r.edit->SetText(text);
    const std::string drive = DriveOfPath(text);
    if (changed || text.empty() || drive.empty() || !S.P.Fs.DirectoryExists(drive + "\\")) {
      form.SetFocus(r.edit);
      S.P.Dialogs.MessageBox(S.IString(kStrInvalidFolder),
                             WithoutAccelerator(originalFolders_[r.variable].second.Description), MB_OK_);
      return false;
    }
    // A row left as shown follows the variables it is written in terms of.
    if (text != r.shown) FolderOverrides[r.variable] = text;
  }
  return true;
}

void TSetupWizard::BrowseFolder(size_t index) {
  if (index >= FolderRows.size()) return;
  FolderRow& r = FolderRows[index];
  if (!dirSel_) {
    dirSelBackend_ = dialogBackend_();
    dirSel_ = std::make_unique<TFormDirSel>(*dirSelBackend_, S.P.Fs, Desktop, form.font(), S.IString(kStrOk),
                                            S.IString(kStrCancel));
  }
  const std::optional<std::string> r0 =
      dirSel_->Browse(WithoutAccelerator(originalFolders_[r.variable].second.Description), r.edit->text());
  if (!r0) return;
  if (const std::optional<std::string> folder = BrowseResultToFolder(*r0)) r.edit->SetText(*folder);
}

void TSetupWizard::FoldersProceed() {
  if (!ValidateFolders()) return;
  PrepareFolders();
  if (std::any_of(S.Def.FileTypes.begin(), S.Def.FileTypes.end(),
                  [](const auto& t) { return !t.second.PreviousOnly; }))
    return ShowFileTypesPage();
  DestroyFolderRows();
  AfterAdvancedPages();
}

void TSetupWizard::GrowTo(int runningTop) {
  if (runningTop <= BtnProceed.bounds().top) return;
  if (!rememberedButtonsTop_) rememberedButtonsTop_ = BtnProceed.bounds().top;
  const int delta = runningTop - BtnProceed.bounds().top;
  Bounds f = form.bounds();
  f.height += delta;
  form.SetBounds(f);
  for (Button* b : {&BtnProceed, &BtnBack, &BtnAbort}) b->SetPosition(b->bounds().left, runningTop);
}

void TSetupWizard::RestoreHeight() {
  if (!rememberedButtonsTop_) return;
  for (Button* b : {&BtnProceed, &BtnBack, &BtnAbort}) b->SetPosition(b->bounds().left, *rememberedButtonsTop_);
  Bounds f = form.bounds();
  f.height = designedHeight_;
  form.SetBounds(f);
  rememberedButtonsTop_.reset();
}

// ---------------------------------------------------------------- file types page

void TSetupWizard::ShowFileTypesPage() {
  DestroyFolderRows();
  HideAll();
  ShowWelcome(true);
  RestoreHeight();
  LabelIdentity.SetCaption(S.IString(kStrFileTypesHeading));
  LabelIdentity.AutoSize();
  LabelIdentity.SetVisible(true);
  const int m = Margin(), b = S_(28), width = form.bounds().width;
  const int editWidth = width - width / 3 - m - b;
  const int height = MulDivRound(17, Ppi, 96);
  int top = LabelIdentity.bounds().top + LabelIdentity.bounds().height + m;
  for (size_t i = 0; i < S.Def.FileTypes.size(); ++i) {
    const auto& [display, type] = S.Def.FileTypes[i];
    if (type.PreviousOnly) continue;
    CheckBox& box = form.Add<CheckBox>("CheckType" + std::to_string(TypeBoxes.size() + 1));
    box.SetCaption(display);
    box.SetBounds({4 * m, top, editWidth, height});
    box.SetChecked(type.Install);
    typeIndex_.push_back(i);
    TypeBoxes.push_back(&box);
    top = top + height + m;
  }
  GrowTo(top);
  // On the bands, each box takes the colour behind its middle.
  for (CheckBox* box : TypeBoxes) box->SetColour(BandAt(box->bounds().top + box->bounds().height / 2));
  ShowNavigation(true, true, true);
  BtnBack.OnClick = [this] { FileTypesBack(); };
  BtnProceed.OnClick = [this] { FileTypesProceed(); };
  if (!TypeBoxes.empty()) form.SetFocus(TypeBoxes.front());
}

void TSetupWizard::DestroyTypeBoxes() {
  for (CheckBox* box : TypeBoxes) form.Remove(*box);
  TypeBoxes.clear();
  typeIndex_.clear();
  LabelIdentity.SetCaption("");
}

void TSetupWizard::FileTypesProceed() {
  for (size_t i = 0; i < TypeBoxes.size(); ++i) S.Def.FileTypes[typeIndex_[i]].second.Install = TypeBoxes[i]->checked();
  DestroyTypeBoxes();
  RestoreHeight();
  AfterAdvancedPages();
}

void TSetupWizard::FileTypesBack() {
  DestroyTypeBoxes();
  if (!S.Def.FolderVariables.empty()) return ShowFoldersPage();
  ReturnToStartPage();
}

void TSetupWizard::AfterAdvancedPages() {
  ReturnToStartPage();
  if (!ResolvedChecks(2)) return;
  EnterComponentsPage(From::Advanced, false);
  CheckComponentsDetail.SetChecked(false);
  const Bounds& b = CheckComponentsDetail.bounds();
  CheckComponentsDetail.SetColour(BandAt(b.top + b.height / 2));
  CheckComponentsDetail.SetVisible(true);
}

}  // namespace stw
