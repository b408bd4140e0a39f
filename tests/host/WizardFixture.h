// The setup window driven headless: the fixture that builds a package, runs
// the start-up sequence against the simulated machine and opens the wizard
// on its start page, and the manifests the window tests share.
#pragma once
#include <gtest/gtest.h>
#include <algorithm>
#include "InstallFixture.h"
#include "forms/Forms.h"
#include "platform/host/HostDesktop.h"
#include "platform/host/HostSupportModule.h"
#include "system/FolderVariables.h"
#include "wizard/FolderBrowser.h"
#include "wizard/SetupWizard.h"
#include "wizard/StateImages.h"

namespace stw::test {


using forms::Bounds;
using forms::Control;

class WizardTest : public InstallTest {
 protected:
  HostDesktop desktop;
  forms::HeadlessBackend backend;
  forms::HeadlessBackend* dialogBackend = nullptr;
  std::function<void(forms::Form&)> onBrowse;
  std::unique_ptr<TRunDialogs> runDialogs;
  std::unique_ptr<TSetupRun> run;
  std::unique_ptr<TSetupWizard> w;

  void TearDown() override {
    w.reset();
    run.reset();
    InstallTest::TearDown();
  }

  // The wizard of an installer, on its start page.
  TSetupWizard& Open(const PackageManifest& m, std::vector<std::string> switches = {}) {
    const std::string installer = Build(m);
    std::vector<std::string> args = {"C:\\Temp\\setup.exe", installer};
    args.insert(args.end(), switches.begin(), switches.end());
    w.reset();
    run.reset();
    runDialogs = std::make_unique<TRunDialogs>(dialogs, false, false);
    run = std::make_unique<TSetupRun>(TPlatform{fs, reg, sys, *runDialogs, shell}, args);
    run->S.SetupFile = installer;
    run->S.Desktop = &desktop;
    run->FormCreate();
    w = std::make_unique<TSetupWizard>(run->S, backend, desktop, [this] {
      auto b = std::make_unique<forms::HeadlessBackend>();
      dialogBackend = b.get();
      b->onModal = [this](forms::Form& f) {
        if (onBrowse) onBrowse(f);
      };
      return b;
    });
    w->Sleep = [](int) {};
    w->FormCreate();
    run->StartupSequence();
    w->AfterStartup(run->Verdict);
    return *w;
  }
  // Runs what the window's message queue would: the posted close.
  void Pump() { w->form.dispatcher().Service(); }

  std::vector<std::string> Visible(const std::vector<std::string>& names) {
    std::vector<std::string> seen;
    for (const std::string& n : names) {
      const Control* c = w->form.Find(n);
      if (c && c->visible()) seen.push_back(n);
    }
    return seen;
  }
  int Top(const std::string& name) { return w->form.Find(name)->bounds().top; }
  std::string Caption(const std::string& name) { return w->form.Find(name)->caption(); }
  std::vector<std::string> StartButtons() {
    return Visible({"BtnInstall", "BtnReadme", "BtnComponents", "BtnAdvanced", "BtnExit"});
  }
};

// The window font as designed (Tahoma 8 at 96 dpi: 11 pixels), so the
// positions are the design's.
inline PackageManifest Designed(PackageManifest m) {
  m.formFont = TFontRecord{"Tahoma", 0, 8, 0, 1};
  return m;
}

// The manifest without its licence: the support files before the product's
// move the data indices of the files down by one.
inline PackageManifest ShiftDown(PackageManifest m);
inline PackageManifest NoLicence(PackageManifest m) {
  m.licence.reset();
  return ShiftDown(m);
}
inline PackageManifest NoReadme(PackageManifest m) {
  m.readme.reset();
  return ShiftDown(m);
}
inline PackageManifest ShiftDown(PackageManifest m) {
  std::function<void(BuildFolder&)> shift = [&](BuildFolder& f) {
    for (auto& it : f.items) {
      if (it.kind == BuildItem::File) --it.file.DataIndex;
      if (it.kind == BuildItem::Shortcut) --it.shortcut.Target;
    }
    for (auto& child : f.folders) shift(child);
  };
  for (auto& c : m.components) shift(c.root);
  return m;
}

// The menu folder with a shortcut to app.exe.
inline BuildFolder MenuWithShortcut(const PackageManifest& m) {
  BuildFolder menu;
  menu.name = "%APPMENU%";
  BuildItem link;
  link.kind = BuildItem::Shortcut;
  link.shortcut.Target = static_cast<uint16_t>(FindDataIndex(m, "app.exe"));
  link.shortcut.Name = "The program";
  menu.items.push_back(link);
  return menu;
}

// A product with two optional components, a readme and a licence.
inline PackageManifest Choice() {
  PackageManifest m = Designed(SampleManifest());
  m.components[0].optional = true;
  return m;
}


}  // namespace stw::test
