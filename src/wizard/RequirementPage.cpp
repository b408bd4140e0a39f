// The page of a requirement the installation stopped for before writing
// anything: the .NET Framework or a prerequisite. It says what is missing,
// that its installer runs (and a timer presses Proceed once it has ended)
// or where to get it, and Proceed tests again and starts the installation
// from its first step once the requirement is there.
#include <algorithm>
#include <iterator>

#include "base/Text.h"
#include "engine/Install.h"
#include "system/DotNet.h"
#include "wizard/SetupWizard.h"

namespace stw {

using namespace forms;

int TSetupWizard::FitLines(Label& label) {
  // The label breaks its caption as the printer's word wrap does: at
  // blanks and after hyphens.
  const Bounds b = label.bounds();
  const Font font = label.font();
  const auto width = [&](const std::string& text) { return form.MeasureText(font, text).width; };
  const int lines = std::max<int>(1, static_cast<int>(WrapLines({label.caption()}, b.width, width).size()));
  label.SetWordWrap(lines > 1);
  label.SetBounds({b.left, b.top, b.width, std::max(b.height, lines * form.MeasureText(font, "Ag").height)});
  return label.bounds().height;
}

void TSetupWizard::RestoreRequirementLabels() {
  Label* labels[] = {&LabelDone, &LabelReboot, &Label3rdPartyURL};
  if (requirementDesign_.empty()) {
    for (Label* l : labels) requirementDesign_.push_back(l->bounds());
    return;
  }
  for (size_t i = 0; i < std::size(labels); ++i) {
    labels[i]->SetBounds(requirementDesign_[i]);
    labels[i]->SetWordWrap(false);
  }
}

void TSetupWizard::ShowRequirementPage() {
  using Kind = TSetupState::MissingRequirement::Kind;
  const TSetupState::MissingRequirement& m = S.Missing;
  const bool dotNet = m.kind == Kind::DotNet;
  HideAll();
  ShowWelcome(false);
  for (Label* l : RightsNotes) l->SetVisible(false);
  const int unit = Scale.lineUnit;
  RestoreRequirementLabels();

  LabelDone.SetCaption(FormatPattern(S.IString(dotNet ? kStrDotNetMissing : kStrPrerequisiteMissing), {m.name}));
  LabelDone.SetFont(form.font());
  const int doneBottom = LabelDone.bounds().top + FitLines(LabelDone);
  LabelDone.SetVisible(true);
  // A long name's lines push what follows down.
  const Bounds reboot = LabelReboot.bounds();
  LabelReboot.SetBounds({reboot.left, std::max(reboot.top, doneBottom + unit / 2), reboot.width, reboot.height});

  std::string help;
  std::string url;
  if (!S.PrerequisitePath.empty()) {
    help = S.IString(kStrInstallerRunning);
    Timer3rdParty.SetInterval(1000);
    Timer3rdParty.SetEnabled(true);
  } else {
    // An installer that would not start is said so, not passed over.
    if (!m.installerNotStarted.empty())
      help = "The installer " + ExtractFileName(m.installerNotStarted) + " could not be started.";
    if (!m.downloadUrl.empty()) {
      if (!help.empty()) help += ' ';
      help += S.IString(kStrDownloadFrom);
      url = m.downloadUrl;
    }
  }
  int below = LabelReboot.bounds().top;
  if (!help.empty()) {
    LabelReboot.SetCaption(help);
    LabelReboot.SetFont(form.font());
    below = LabelReboot.bounds().top + FitLines(LabelReboot);
    LabelReboot.SetVisible(true);
  }
  if (!url.empty()) {
    Label3rdPartyURL.SetCaption(url);
    Label3rdPartyURL.url = dotNet ? DotNetLinkTarget(url, m.name) : url;
    Label3rdPartyURL.SetHint(Label3rdPartyURL.url);
    const Bounds b = Label3rdPartyURL.bounds();
    Label3rdPartyURL.SetBounds({b.left, std::max(b.top, below + unit / 3), b.width, b.height});
    Label3rdPartyURL.OnOpen = [this](const std::string& address) { Desktop.ShellOpen(address, "open", "", "", 1); };
    Label3rdPartyURL.OnClick = [this] { Desktop.ShellOpen(Label3rdPartyURL.url, "open", "", "", 1); };
    Label3rdPartyURL.SetVisible(true);
  }

  Timer3rdParty.OnTimer = [this] {
    // Still running: the page waits on.
    if (S.PrerequisiteProcess && !S.PrerequisiteProcess->ExitCode()) return;
    Timer3rdParty.SetEnabled(false);
    // Posted: the installation that may follow runs from the message loop,
    // not inside the system's timer callback.
    form.dispatcher().Post([this] { BtnProceed.Click(); });
  };
  BtnProceed.OnClick = [this, dotNet] { dotNet ? RecheckDotNet() : RecheckPrerequisite(); };
  ShowNavigation(false, true, true);
  form.SetFocus(&BtnProceed);
}

void TSetupWizard::RecheckDotNet() {
  if (!IsDotNetPresent(S.P.Reg, S.Def.DotNetVersions, S.Def.DotNetLevel)) return;
  RequirementMet();
}

void TSetupWizard::RecheckPrerequisite() {
  const auto& list = S.Def.ThirdPartyList;
  if (S.PrerequisiteIndex >= list.size() || !PrerequisiteInstalled(S, list[S.PrerequisiteIndex].second)) return;
  ++S.PrerequisiteIndex;
  RequirementMet();
}

void TSetupWizard::RequirementMet() {
  Timer3rdParty.SetEnabled(false);
  // A copy out of the package has done its work. While its program still
  // runs it cannot go; the end of the run removes it then.
  auto& copies = S.TemporaryInstallers;
  const auto copy = std::find(copies.begin(), copies.end(), S.PrerequisitePath);
  if (!S.PrerequisitePath.empty() && copy != copies.end() && S.P.Fs.DeleteFile(S.PrerequisitePath))
    copies.erase(copy);
  S.PrerequisitePath.clear();
  S.PrerequisiteProcess.reset();
  S.Missing = {};
  for (Control* c : std::initializer_list<Control*>{&LabelDone, &LabelReboot, &Label3rdPartyURL, &BtnBack,
                                                    &BtnProceed, &BtnAbort})
    c->SetVisible(false);
  RestoreRequirementLabels();
  StartInstallation();
}

}  // namespace stw
