// The setup window driven headless: packages built by the builder, the
// start-up sequence against the simulated machine, then the wizard's pages
// through the control model, as a user would click them.
#include <gtest/gtest.h>

#include <algorithm>

#include "WizardFixture.h"

namespace stw::test {
namespace {

// ---------------------------------------------------------------- the window

TEST_F(WizardTest, TheControlsStandWhereTheDesignPutsThem) {
  TSetupWizard& wz = Open(Choice());
  EXPECT_EQ(wz.form.bounds().width, 512);
  EXPECT_EQ(wz.form.bounds().height, 301);
  const std::vector<std::pair<std::string, Bounds>> design = {
      {"BtnInstall", {49, 126, 200, 29}},     {"BtnReadme", {49, 161, 200, 29}},
      {"BtnComponents", {49, 196, 200, 29}},  {"BtnAdvanced", {49, 231, 200, 29}},
      {"BtnExit", {49, 266, 200, 29}},        {"MemoLicense", {7, 7, 498, 238}},
      {"TreeComponents", {7, 7, 498, 182}},   {"MemoComponent", {7, 190, 498, 56}},
      {"ListDrive", {7, 77, 498, 113}},       {"EditFolder", {7, 231, 498, 21}},
      {"BtnBack", {49, 266, 106, 29}},        {"BtnPrint", {168, 266, 71, 29}},
      {"BtnLicenseYes", {252, 266, 120, 29}}, {"BtnLicenseNo", {385, 266, 120, 29}},
      {"CheckComponentsDetail", {161, 273, 120, 17}}, {"BtnProceed", {287, 266, 106, 29}},
      {"BtnAbort", {399, 266, 106, 29}},      {"BtnDone", {196, 140, 120, 29}},
      {"BtnRebootNow", {129, 175, 120, 29}},  {"BtnRebootLater", {262, 175, 120, 29}},
      {"CheckAllDrives", {7, 193, 498, 15}},  {"LabelHint", {259, 126, 246, 134}},
  };
  for (const auto& [name, b] : design) EXPECT_EQ(wz.form.Find(name)->bounds(), b) << name;
  // The tab order is the table's.
  const std::vector<std::string> order = {"BtnInstall",     "BtnReadme",     "BtnComponents", "BtnAdvanced",
                                          "BtnExit",        "BtnUserCurrent", "BtnUserAll",   "MemoLicense",
                                          "TreeComponents", "MemoComponent", "ListDrive",     "EditFolder",
                                          "BtnBack",        "BtnPrint",      "BtnLicenseYes", "BtnLicenseNo",
                                          "CheckComponentsDetail", "BtnProceed", "BtnAbort",  "BtnDone",
                                          "BtnRebootNow",   "BtnRebootLater", "CheckAllDrives"};
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(wz.form.Find(order[i])->tabOrder(), static_cast<int>(i));
  EXPECT_EQ(wz.form.caption(), "Test Works Test Product 2.5 Setup");
  EXPECT_EQ(Caption("BtnBack"), "< &Back");
  EXPECT_EQ(Caption("CheckComponentsDetail"), "Show details");
  EXPECT_EQ(wz.form.Find("BtnInstall")->hint(), "Install Test Works Test Product 2.5 with the standard settings");
  ASSERT_EQ(wz.form.systemMenu().size(), 1u);
  EXPECT_EQ(wz.form.systemMenu()[0].caption, "About Pakvestor");
  wz.form.OnSystemCommand(1);
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown.back().title, "About Pakvestor");
  // The hint of the control under the mouse.
  wz.form.Hover(&wz.BtnExit);
  EXPECT_EQ(wz.LabelHint.caption(), "Leave the setup without installing");
}

TEST_F(WizardTest, TheWelcomeTextRunsInThreeLinesWithLinks) {
  TSetupWizard& wz = Open(Choice());
  ASSERT_GE(wz.WelcomeLabels.size(), 6u);
  std::vector<std::string> captions;
  for (auto* l : wz.WelcomeLabels) captions.push_back(l->caption());
  EXPECT_EQ(captions, (std::vector<std::string>{"Welcome to the installation of ", "Test Works", "Test Product 2.5",
                                                " on this computer.", "Release date: 2025-12-09 ", "Welcome line"}));
  // Line 1 starts at the margin, its labels one after the other with a
  // space's gap after the publisher; lines 2 and 3 below at the margin.
  const auto& l = wz.WelcomeLabels;
  EXPECT_EQ(l[0]->bounds().left, 7);
  EXPECT_EQ(l[0]->bounds().top, 7);
  EXPECT_EQ(l[1]->bounds().left, 7 + l[0]->bounds().width);
  EXPECT_EQ(l[2]->bounds().left, l[1]->bounds().left + l[1]->bounds().width + 6);
  EXPECT_EQ(l[3]->bounds().left, l[2]->bounds().left + l[2]->bounds().width);
  EXPECT_EQ(l[4]->bounds().left, 7);
  EXPECT_EQ(l[4]->bounds().top, 7 + l[0]->bounds().height);
  EXPECT_EQ(l[5]->bounds().top, l[4]->bounds().top + l[4]->bounds().height);
  auto& publisher = static_cast<forms::LinkLabel&>(*l[1]);
  EXPECT_EQ(publisher.kind(), forms::Kind::LinkLabel);
  EXPECT_EQ(publisher.hint(), "https://example.invalid\rTest Works");
  EXPECT_TRUE(publisher.font().underline);
  // A press released on the label opens it; dragged off, nothing.
  publisher.MouseDown();
  publisher.MouseUp(500, 2);
  EXPECT_TRUE(desktop.Events().empty());
  publisher.MouseDown();
  publisher.MouseUp(publisher.bounds().width, publisher.bounds().height);  // the edges count
  ASSERT_EQ(desktop.Events().size(), 1u);
  EXPECT_EQ(desktop.Events()[0], "shell\thttps://example.invalid\topen\t\t\t1");
}

TEST_F(WizardTest, TheWindowGrowsWithTheScreensResolution) {
  backend.screen.ppi = 144;
  backend.screen.monitorWidth = backend.screen.workWidth = 1600;
  backend.screen.monitorHeight = 1200;
  backend.screen.workHeight = 1160;
  TSetupWizard& wz = Open(Choice());
  // 8 points at 144 dpi are 16 pixels, less than the design's 11 at this
  // resolution (17): the form is scaled by 17 / 11.
  EXPECT_TRUE(wz.Scale.scaled);
  EXPECT_EQ(wz.Scale.fontHeight, 17);
  EXPECT_EQ(wz.form.bounds().width, MulDivRound(512, 17, 11));
  EXPECT_EQ(wz.form.bounds().height, MulDivRound(301, 17, 11));
  EXPECT_EQ(wz.BtnInstall.bounds(), (Bounds{MulDivRound(49, 17, 11), MulDivRound(126, 17, 11),
                                            MulDivRound(200, 17, 11), MulDivRound(29, 17, 11)}));
  EXPECT_EQ(wz.Scale.lineUnit, MulDivRound(28, 17, 11));
  EXPECT_EQ(wz.ListDrive.columns[1].width, MulDivRound(300, 17, 11));
  // The state images in the size the tree's icons call for at 144 dpi.
  wz.BtnComponents.Click();
  EXPECT_EQ(wz.TreeComponents.stateImageSize, 24);
  ASSERT_EQ(wz.TreeComponents.statePictures.size(), 5u);
  EXPECT_EQ(wz.TreeComponents.statePictures[0].size, 24);
}

TEST_F(WizardTest, TheBandsComeWhenThePackageAsksAndTheScreenHasColours) {
  PackageManifest m = Choice();
  m.paintGradient = 1;
  EXPECT_TRUE(Open(m).form.bands());
  backend.screen.bitsPerPixel = 8;
  EXPECT_FALSE(Open(m).form.bands());
  backend.screen.bitsPerPixel = 32;
  m.paintGradient = 0;
  EXPECT_FALSE(Open(m).form.bands());
  EXPECT_EQ(forms::BandColour(0xFFFFFF, 0x000000, 4, 0), 0xFFFFFFu);
  EXPECT_EQ(forms::BandColour(0xFFFFFF, 0x000000, 4, 1), 0xBFBFBFu);
  EXPECT_EQ(forms::BandColour(0x0000FF, 0xFF0000, 3, 2), 0xAA0055u);  // each channel on its own
}

// ---------------------------------------------------------------- start page variants

TEST_F(WizardTest, StartPageVariantsCloseTheirGaps) {
  PackageManifest m = Choice();
  Open(m);
  EXPECT_EQ(StartButtons(), (std::vector<std::string>{"BtnInstall", "BtnReadme", "BtnComponents", "BtnAdvanced", "BtnExit"}));

  Open(NoReadme(m));
  EXPECT_EQ(StartButtons(), (std::vector<std::string>{"BtnInstall", "BtnComponents", "BtnAdvanced", "BtnExit"}));
  EXPECT_EQ(Top("BtnComponents"), 161);
  EXPECT_EQ(Top("BtnAdvanced"), 196);
  EXPECT_EQ(Top("BtnExit"), 231);

  // Neither optional components nor advanced options: Install, Readme,
  // Exit, without gaps.
  m = Designed(SampleManifest());
  m.showAdvanced = 0;
  m.components[1].optional = false;
  Open(m);
  EXPECT_EQ(StartButtons(), (std::vector<std::string>{"BtnInstall", "BtnReadme", "BtnExit"}));
  EXPECT_EQ(Top("BtnExit"), 196);

  // A portable-only package: the portable button and Exit, under the
  // readme's slot.
  m = Choice();
  m.portableMode = 1;
  Open(m, {"/portable"});
  EXPECT_EQ(StartButtons(), (std::vector<std::string>{"BtnInstall", "BtnReadme", "BtnExit"}));
  EXPECT_EQ(Caption("BtnInstall"), "&Portable");
  EXPECT_EQ(w->BtnInstall.hint(), "Install on a removable drive");
  EXPECT_EQ(Top("BtnExit"), 196);

  // Portable as a choice: the components button becomes it.
  Open(m);
  EXPECT_EQ(Caption("BtnComponents"), "&Portable");
  EXPECT_EQ(StartButtons(), (std::vector<std::string>{"BtnInstall", "BtnReadme", "BtnComponents", "BtnAdvanced", "BtnExit"}));
}

TEST_F(WizardTest, WithoutTheRightsOnlyNotesAndExitRemain) {
  sys.Set("admin", "0");
  PackageManifest m = Choice();
  m.userType = 1;  // all users only
  TSetupWizard& wz = Open(m);
  EXPECT_FALSE(wz.BtnInstall.enabled());
  EXPECT_FALSE(wz.BtnComponents.enabled());
  EXPECT_FALSE(wz.BtnAdvanced.enabled());
  ASSERT_EQ(wz.RightsNotes.size(), 2u);
  EXPECT_EQ(wz.RightsNotes[0]->caption(), "This product cannot be installed on this computer");
  EXPECT_EQ(wz.RightsNotes[1]->caption(), "with the rights of the current user.");
  EXPECT_EQ(wz.RightsNotes[1]->bounds().top, wz.RightsNotes[0]->bounds().top + wz.RightsNotes[0]->bounds().height);
  EXPECT_EQ(wz.form.focused(), &wz.BtnReadme);
}

// ---------------------------------------------------------------- checks

TEST_F(WizardTest, RunningApplicationsAreReportedOneAfterTheOther) {
  PackageManifest m = Choice();
  m.setupOptionBits = 8;  // with window titles
  m.windowTitles = "Test Product;\"Test Notes\"";
  desktop.AddWindow("Test Product", "TP");
  desktop.AddWindow("Test Notes", "TN");
  TSetupWizard& wz = Open(m);
  std::vector<std::string> texts;
  // Retry with the first window still open asks again; closing it moves
  // on to the second; Cancel ends the setup without installing.
  int shown = 0;
  dialogs.onShow = [&](const ScriptedDialogs::Shown& s) {
    texts.push_back(s.text);
    ++shown;
    if (shown == 2) desktop.CloseWindow("Test Product", "TP");
  };
  dialogs.Answer(IDRETRY_);
  dialogs.Answer(IDRETRY_);
  dialogs.Answer(IDCANCEL_);
  wz.BtnInstall.Click();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0],
            "Test Works Test Product 2.5 cannot be installed while it is running.\rThe window \"Test Product\" is "
            "open.\rClose it, then press Retry.");
  EXPECT_EQ(texts[1], texts[0]);
  EXPECT_NE(texts[2].find("\"Test Notes\""), std::string::npos);
  EXPECT_EQ(dialogs.shown.back().style, static_cast<unsigned>(MB_RETRYCANCEL_ | MB_ICONEXCLAMATION_));
  EXPECT_EQ(dialogs.shown.back().title, wz.form.caption());
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), 0);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}

TEST_F(WizardTest, AWindowClassIsReportedWithTheFixedText) {
  PackageManifest m = Choice();
  m.setupOptionBits = 4;  // with window classes
  m.windowClasses = "TPMain";
  desktop.AddWindow("anything", "TPMain");
  TSetupWizard& wz = Open(m);
  dialogs.onShow = [&](const ScriptedDialogs::Shown&) { desktop.CloseWindow("anything", "TPMain"); };
  dialogs.Answer(IDRETRY_);
  wz.BtnComponents.Click();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_NE(dialogs.shown[0].text.find("\rA program of this product is running.\r"), std::string::npos);
  EXPECT_TRUE(wz.TreeComponents.visible());  // Retry, closed: the path goes on
}

TEST_F(WizardTest, TheDiskSpaceQuestionComparesStrictly) {
  PackageManifest m = Designed(Product());
  TSetupWizard& wz = Open(m);
  const uint64_t required = wz.RequiredBytesNow();
  ASSERT_GT(required, 0u);
  sys.Set("free.C", std::to_string(required));  // equal: asks
  dialogs.Answer(IDNO_);
  wz.BtnInstall.Click();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "Drive C: does not have enough free space: " + SizeText(required) + " needed, " +
                                       SizeText(required) + " free.\r\rDo you want to continue the installation?");
  EXPECT_EQ(dialogs.shown[0].style, static_cast<unsigned>(MB_YESNO_ | MB_ICONEXCLAMATION_));
  EXPECT_TRUE(wz.BtnInstall.visible());  // No: the start page stays
  sys.Set("free.C", std::to_string(required + 1));
  wz.BtnInstall.Click();
  EXPECT_EQ(dialogs.shown.size(), 1u);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  // Both sizes in the unit the free space calls for.
  EXPECT_EQ(SizeText(100ull << 20, 3ull << 30), "0.10 GB");
  EXPECT_EQ(SizeText(3ull << 30, 3ull << 30), "3.00 GB");
}

// ---------------------------------------------------------------- user type and folders

TEST_F(WizardTest, TheUserTypePageExplainsBothChoices) {
  PackageManifest m = Choice();
  m.userType = 7;  // either; the current user's still needs an administrator
  TSetupWizard& wz = Open(m);
  wz.BtnAdvanced.Click();
  EXPECT_EQ(Visible({"BtnUserCurrent", "BtnUserAll", "BtnBack", "BtnAbort", "BtnInstall", "BtnProceed"}),
            (std::vector<std::string>{"BtnUserCurrent", "BtnUserAll", "BtnBack", "BtnAbort"}));
  EXPECT_EQ(Caption("BtnUserCurrent"), "&Current user");
  EXPECT_EQ(wz.BtnUserCurrent.hint(),
            "Install Test Works Test Product 2.5 for yourself only (administrator rights are still needed)");
  EXPECT_EQ(Caption("BtnUserAll"), "&All users");
  EXPECT_EQ(wz.BtnUserAll.hint(), "Install Test Works Test Product 2.5 for everybody who uses this computer");
  wz.BtnBack.Click();
  EXPECT_EQ(StartButtons().size(), 5u);
  m.userType = 3;
  Open(m).BtnAdvanced.Click();
  EXPECT_EQ(w->BtnUserCurrent.hint(), "Install Test Works Test Product 2.5 for yourself only");
  w->BtnUserCurrent.Click();
  EXPECT_EQ(w->S.Def.UserType, 2);
  ASSERT_FALSE(w->FolderRows.empty());
  EXPECT_EQ(w->FolderRows[0].edit->text(), kLocalAppData + "\\Test Product");
}

TEST_F(WizardTest, FolderRowsAreBuiltValidatedAndStored) {
  PackageManifest m = Choice();
  m.userType = 1;
  TSetupWizard& wz = Open(m);
  wz.BtnAdvanced.Click();
  ASSERT_EQ(wz.FolderRows.size(), 2u);  // the application and the menu folder
  const auto& row = wz.FolderRows[0];
  const int l = 512 / 3, editWidth = 512 - l - 7 - 28;
  EXPECT_EQ(row.edit->bounds(), (Bounds{l, 70, editWidth, 21}));
  EXPECT_EQ(row.browse->bounds(), (Bounds{l + editWidth, 70, 28, 21}));
  EXPECT_EQ(row.browse->caption(), "...");
  EXPECT_EQ(row.label->caption(), "Application folder");
  EXPECT_EQ(row.label->align(), forms::Align::Right);
  EXPECT_EQ(row.label->bounds().left + row.label->bounds().width, l - 7);
  EXPECT_EQ(wz.FolderRows[1].edit->bounds().top, 70 + 21 + 7);
  EXPECT_EQ(row.edit->text(), App());
  EXPECT_EQ(wz.form.focused(), row.edit);

  // Characters a folder cannot hold are removed, and the row is refused
  // once for them; the cleaned text is then accepted.
  row.edit->Type("C:\\Pro?gram|Files:");
  wz.BtnProceed.Click();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "This folder is not valid. Please enter a complete path on an existing drive.");
  EXPECT_EQ(dialogs.shown[0].title, "Application folder");
  EXPECT_EQ(dialogs.shown[0].style, static_cast<unsigned>(MB_OK_));
  EXPECT_EQ(row.edit->text(), "C:\\ProgramFiles");
  EXPECT_EQ(wz.form.focused(), row.edit);
  // A relative path, and one on a drive that does not exist, are refused.
  for (const char* bad : {"Tools\\App", "Q:\\App", ""}) {
    wz.FolderRows[0].edit->Type(bad);
    wz.BtnProceed.Click();
    EXPECT_TRUE(wz.FolderRows[0].edit->visible()) << bad;
  }
  EXPECT_EQ(dialogs.shown.size(), 4u);
  wz.FolderRows[0].edit->Type("C:\\ProgramFiles\\");
  wz.BtnProceed.Click();
  EXPECT_EQ(dialogs.shown.size(), 4u);
  EXPECT_TRUE(wz.FolderRows.empty());  // no file types: on to the components
  EXPECT_TRUE(wz.TreeComponents.visible());
  EXPECT_TRUE(wz.CheckComponentsDetail.visible());
  EXPECT_FALSE(wz.CheckComponentsDetail.checked());
  wz.BtnProceed.Click();  // the licence
  wz.BtnLicenseYes.Click();
  EXPECT_TRUE(fs.FileExists("C:\\ProgramFiles\\app.exe"));
  // The menu folder, left as shown, keeps its default.
  const TSpecialFolder* menu = FindFolderVariable(wz.S.Def.FolderVariables, "%APPMENU%");
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(PathFor(*menu, 1), kPrograms + "\\Test Product");
}

TEST_F(WizardTest, TheBrowseButtonTakesWhatTheDialogReturns) {
  TSetupWizard& wz = Open(Choice());
  wz.BtnAdvanced.Click();
  wz.BtnUserAll.Click();
  ASSERT_FALSE(wz.FolderRows.empty());
  std::string seenCaption, seenPath;
  const auto answer = [&](const std::string& typed, int result) {
    onBrowse = [&, typed, result](forms::Form& f) {
      seenCaption = f.caption();
      auto* edit = static_cast<forms::Edit*>(f.Find("Edit"));
      seenPath = edit->text();
      edit->Type(typed);
      f.EndModal(result);
    };
  };
  answer("D", 1);
  wz.FolderRows[0].browse->Click();
  EXPECT_EQ(seenCaption, "Application folder");
  EXPECT_EQ(seenPath, App());
  EXPECT_EQ(wz.FolderRows[0].edit->text(), "D:\\");
  answer("E:", 1);
  wz.FolderRows[0].browse->Click();
  EXPECT_EQ(wz.FolderRows[0].edit->text(), "E:\\");
  answer("C:\\Tools", 1);
  wz.FolderRows[0].browse->Click();
  EXPECT_EQ(wz.FolderRows[0].edit->text(), "C:\\Tools");
  answer("\\\\server\\share", 1);
  wz.FolderRows[0].browse->Click();
  EXPECT_EQ(wz.FolderRows[0].edit->text(), "\\\\server\\share");
  answer("nowhere", 1);  // not a folder the table knows: unchanged
  wz.FolderRows[0].browse->Click();
  EXPECT_EQ(wz.FolderRows[0].edit->text(), "\\\\server\\share");
  answer("C:\\Other", 2);  // cancelled
  wz.FolderRows[0].browse->Click();
  EXPECT_EQ(wz.FolderRows[0].edit->text(), "\\\\server\\share");
  // One dialog, made on first use and kept.
  ASSERT_NE(dialogBackend, nullptr);
  EXPECT_EQ(std::count(dialogBackend->events.begin(), dialogBackend->events.end(), "created Edit Edit"), 1);
}

TEST_F(WizardTest, TheFileTypesPageListsTypesAndStoresTheChoice) {
  PackageManifest m = NoLicence(Choice());
  for (const char* ext : {".tpd", ".tpx"}) {
    TFileType t;
    t.Extension = ext;
    t.Description = std::string("Test document ") + ext;
    t.Install = true;
    TFileTypeAction open;
    open.Verb = "open";
    open.Target = static_cast<uint16_t>(FindDataIndex(m, "app.exe"));
    t.Actions.push_back(open);
    m.fileTypes.push_back(t);
  }
  TSetupWizard& wz = Open(m);
  wz.BtnAdvanced.Click();
  wz.BtnUserAll.Click();
  wz.BtnProceed.Click();  // folders as they are
  ASSERT_EQ(wz.TypeBoxes.size(), 2u);
  EXPECT_EQ(wz.LabelIdentity.caption(), "Register these file types:");
  EXPECT_EQ(wz.TypeBoxes[0]->caption(), ".tpd -> Test document .tpd (open)");
  EXPECT_EQ(wz.TypeBoxes[0]->bounds().left, 4 * 7);
  EXPECT_EQ(wz.TypeBoxes[0]->bounds().top, 70 + wz.LabelIdentity.bounds().height + 7);
  EXPECT_TRUE(wz.TypeBoxes[0]->checked());
  EXPECT_EQ(wz.form.focused(), wz.TypeBoxes[0]);
  wz.TypeBoxes[1]->Toggle();
  wz.BtnBack.Click();  // back to the folders, then forward again
  EXPECT_FALSE(wz.FolderRows.empty());
  wz.BtnProceed.Click();
  wz.TypeBoxes[1]->Toggle();
  wz.BtnProceed.Click();
  EXPECT_TRUE(wz.TreeComponents.visible());
  EXPECT_FALSE(wz.S.Def.FileTypes[1].second.Install);
  EXPECT_TRUE(wz.S.Def.FileTypes[0].second.Install);
  // Back from these components goes to the file types page.
  wz.BtnBack.Click();
  EXPECT_EQ(wz.TypeBoxes.size(), 2u);
  wz.BtnProceed.Click();
  wz.BtnProceed.Click();
  EXPECT_TRUE(reg.KeyExists(RegRoot::ClassesRoot, ".tpd"));
  EXPECT_FALSE(reg.KeyExists(RegRoot::ClassesRoot, ".tpx"));
}

TEST_F(WizardTest, ManyFolderRowsGrowTheWindowAndBackRestoresIt) {
  PackageManifest m = Choice();
  m.userType = 1;
  for (int i = 0; i < 4; ++i) m.folderDefaults[i][0] = m.folderDefaults[i][1] = "%PROGRAMFILES%\\F" + std::to_string(i);
  TFileType t;
  t.Extension = ".tpd";
  t.Description = "Doc";
  m.fileTypes.push_back(t);
  TSetupWizard& wz = Open(m);
  // Four rows of 21 + 7 from the top 70 end at 182, above the buttons:
  // the window keeps its size.
  wz.BtnAdvanced.Click();
  EXPECT_EQ(wz.FolderRows.size(), 4u);
  EXPECT_EQ(wz.form.bounds().height, 301);
  wz.BtnBack.Click();
  EXPECT_EQ(wz.form.bounds().height, 301);
}

// ---------------------------------------------------------------- components

PackageManifest Chain() {
  // A needs B, B needs C; all optional, none chosen.
  PackageManifest m = Designed(Product());
  m.licence.reset();
  const BuildComponent program = m.components[0];
  m.components.clear();
  for (int i = 0; i < 3; ++i) {
    BuildComponent c = program;
    c.name = std::string(1, static_cast<char>('A' + i));
    c.description = "Component " + c.name;
    c.optional = true;
    c.selected = false;
    if (i < 2) c.dependencies = {static_cast<uint8_t>(i + 1)};
    m.components.push_back(c);
  }
  return m;
}

TEST_F(WizardTest, ChoosingAComponentRequiresItsChain) {
  TSetupWizard& wz = Open(Chain());
  wz.BtnComponents.Click();
  ASSERT_EQ(wz.TreeComponents.nodes().size(), 3u);
  const auto states = [&] {
    std::vector<int> s;
    for (const auto& n : wz.TreeComponents.nodes()) s.push_back(n.stateImage);
    return s;
  };
  EXPECT_EQ(states(), (std::vector<int>{1, 1, 1}));
  wz.TreeComponents.ClickState({0});
  EXPECT_EQ(states(), (std::vector<int>{2, 4, 4}));
  // A required component cannot be switched until A is cleared again.
  wz.TreeComponents.ClickState({2});
  EXPECT_EQ(states(), (std::vector<int>{2, 4, 4}));
  // Space on the selected node toggles it, as the mouse does.
  wz.TreeComponents.Select({0});
  wz.form.SetFocus(&wz.TreeComponents);
  wz.form.Press(forms::Key::Space);
  EXPECT_EQ(states(), (std::vector<int>{1, 1, 1}));
  wz.TreeComponents.Select({1});
  EXPECT_EQ(wz.MemoComponent.text(), "Component B");
  wz.TreeComponents.ClickState({1});
  EXPECT_EQ(states(), (std::vector<int>{1, 2, 4}));
  // Back restores the choice made before the page.
  wz.BtnBack.Click();
  EXPECT_FALSE(wz.S.Def.Components[1].Selected);
  EXPECT_FALSE(wz.S.Def.Components[2].Required);
  EXPECT_TRUE(wz.BtnInstall.visible());
  // Chosen and installed: B and C, not A.
  wz.BtnComponents.Click();
  wz.TreeComponents.ClickState({1});
  wz.BtnProceed.Click();
  EXPECT_EQ(wz.end(), WizardEnd::Installed);
  const std::string log = Read(wz.S.LogPath.empty() ? App("INSTALL.LOG") : wz.S.LogPath);
  EXPECT_NE(log.find("\nB\r\nS"), std::string::npos) << log;
  EXPECT_NE(log.find("\nC\r\nR"), std::string::npos) << log;
}

TEST_F(WizardTest, TheSpaceLineShowsUnitsAndTurnsRedAbove90Percent) {
  EXPECT_EQ(SizeText(1048576), "1024.00 kB");
  EXPECT_EQ(SizeText(1048577), "1.00 MB");
  EXPECT_EQ(SizeText(1073741825), "1.00 GB");
  EXPECT_EQ(SpacePercent(90, 100), 90);
  EXPECT_EQ(SpacePercent(5, 200), 2);  // 2.5 rounds to even
  EXPECT_EQ(SpacePercent(7, 200), 4);  // 3.5 too
  EXPECT_EQ(SpacePercent(101, 100), 100);
  EXPECT_EQ(SpacePercent(1, std::nullopt), 100);
  EXPECT_EQ(SpacePercent(0, 0), 0);

  TSetupWizard& wz = Open(Choice());
  wz.BtnComponents.Click();
  const uint64_t required = wz.RequiredBytesNow();
  for (const auto& [free, red] : std::vector<std::pair<uint64_t, bool>>{{required * 100 / 90, false},
                                                                        {required * 100 / 95, true}}) {
    sys.Set("free.C", std::to_string(free));
    wz.RefreshSpaceLine();
    const int p = SpacePercent(required, free);
    EXPECT_EQ(wz.LabelLicense.caption(),
              "Space needed: " + SizeText(required) + " (" + std::to_string(p) + " % of the free space)");
    EXPECT_EQ(wz.LabelLicense.font().bold, red) << p;
    EXPECT_EQ(wz.LabelLicense.colour() == 0x0000FFu, red) << p;
  }
}

TEST_F(WizardTest, TheDetailViewShowsFoldersFilesAndShortcuts) {
  PackageManifest m = Choice();
  BuildFolder sub;
  sub.name = "Docs";
  BuildItem notes;
  notes.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, "notes.txt"));
  sub.items.push_back(notes);
  BuildFolder empty;
  empty.name = "Empty";
  sub.folders.push_back(empty);
  m.components[0].root.folders[0].folders.push_back(sub);
  BuildFolder menu = MenuWithShortcut(m);
  BuildItem url;
  url.kind = BuildItem::Url;
  url.url.Name = "Web site";
  url.url.Url = "https://example.invalid";
  menu.items.push_back(url);
  m.components[0].root.folders.push_back(menu);
  TSetupWizard& wz = Open(m);
  wz.BtnAdvanced.Click();
  wz.BtnUserAll.Click();
  wz.BtnProceed.Click();
  ASSERT_TRUE(wz.CheckComponentsDetail.visible());
  wz.CheckComponentsDetail.Toggle();
  const forms::TreeNode* program = wz.TreeComponents.Node({0});
  ASSERT_NE(program, nullptr);
  ASSERT_EQ(program->children.size(), 2u);
  const forms::TreeNode& app = program->children[0];
  EXPECT_EQ(app.text, "%APPFOLDER%");
  EXPECT_EQ(app.icon, forms::TreeIcon::Folder);
  ASSERT_EQ(app.children.size(), 4u);  // Docs (Empty left out), then the three files
  EXPECT_EQ(app.children[0].text, "Docs");
  ASSERT_EQ(app.children[0].children.size(), 1u);
  EXPECT_EQ(app.children[0].children[0].text, "notes.txt");
  EXPECT_EQ(app.children[1].text, "app.exe");
  EXPECT_EQ(app.children[1].icon, forms::TreeIcon::File);
  EXPECT_EQ(app.children[1].iconFile, "app.exe");
  const forms::TreeNode& menuNode = program->children[1];
  ASSERT_EQ(menuNode.children.size(), 2u);
  EXPECT_EQ(menuNode.children[0].text, "app.exe");
  EXPECT_EQ(menuNode.children[0].icon, forms::TreeIcon::Shortcut);
  EXPECT_EQ(menuNode.children[1].text, "Web site");
  EXPECT_EQ(menuNode.children[1].icon, forms::TreeIcon::InternetShortcut);
  EXPECT_TRUE(wz.TreeComponents.showLines());
  EXPECT_TRUE(program->expanded);
  // Unchecked: no lines, folded; a detail node switches nothing.
  wz.CheckComponentsDetail.Toggle();
  EXPECT_FALSE(wz.TreeComponents.showLines());
  EXPECT_FALSE(wz.TreeComponents.Node({0})->expanded);
  wz.TreeComponents.ClickState({0, 0});
  EXPECT_EQ(wz.TreeComponents.Node({0})->stateImage, kStateChosen);
}

// ---------------------------------------------------------------- readme and licence

TEST_F(WizardTest, TheReadmeIsShownInTheWindowOrHandedToTheShell) {
  PackageManifest m = Choice();
  TSetupWizard& wz = Open(m);
  wz.BtnReadme.Click();
  EXPECT_TRUE(wz.MemoLicense.visible());
  EXPECT_FALSE(wz.MemoLicense.rich);
  EXPECT_EQ(wz.MemoLicense.text(), m.readme->content.value());
  EXPECT_EQ(wz.form.focused(), &wz.MemoLicense);
  EXPECT_FALSE(wz.BtnPrint.visible());  // no printer here
  EXPECT_TRUE(StartButtons().empty());
  wz.BtnBack.Click();
  EXPECT_FALSE(wz.MemoLicense.visible());
  EXPECT_EQ(StartButtons().size(), 5u);

  m.readme = BuildSource{"readme.RTF", "", std::string("{\\rtf1 Hello}"), true};
  Open(m).BtnReadme.Click();
  EXPECT_TRUE(w->MemoLicense.rich);
  EXPECT_EQ(w->MemoLicense.text(), "{\\rtf1 Hello}");

  m.readme = BuildSource{"readme.pdf", "", std::string("%PDF"), true};
  Open(m).BtnReadme.Click();
  EXPECT_FALSE(w->MemoLicense.visible());
  EXPECT_TRUE(w->BtnInstall.visible());
  ASSERT_EQ(desktop.Events().size(), 1u);
  EXPECT_TRUE(EndsWith(desktop.Events()[0], "readme.pdf\topen\t\t\t3")) << desktop.Events()[0];
}

TEST_F(WizardTest, TheLicenceGatesTheInstallation) {
  PackageManifest m = Choice();
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  EXPECT_EQ(Visible({"MemoLicense", "LabelLicense", "BtnLicenseYes", "BtnLicenseNo", "BtnBack", "BtnProceed"}),
            (std::vector<std::string>{"MemoLicense", "LabelLicense", "BtnLicenseYes", "BtnLicenseNo", "BtnBack"}));
  EXPECT_EQ(Caption("LabelLicense"), "Please read the licence agreement:");
  EXPECT_EQ(wz.MemoLicense.text(), m.licence->content.value());
  wz.BtnBack.Click();
  EXPECT_EQ(StartButtons().size(), 5u);
  // Declining ends the setup without installing.
  wz.BtnInstall.Click();
  wz.BtnLicenseNo.Click();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitCancelled);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}

TEST_F(WizardTest, AStarredLicenceIsNotShownAgainToAnUpdate) {
  PackageManifest m = Choice();
  m.licenceStarred = true;
  Open(m).BtnInstall.Click();
  EXPECT_TRUE(w->BtnLicenseYes.visible());  // first installation: shown
  w->BtnLicenseYes.Click();
  ASSERT_EQ(w->end(), WizardEnd::Installed);
  m.releaseDate += 10;
  Open(m).BtnInstall.Click();
  EXPECT_FALSE(w->BtnLicenseYes.visible());  // the update goes straight on
  EXPECT_EQ(w->end(), WizardEnd::Installed);
  m.licenceStarred = false;
  Open(m).BtnInstall.Click();
  EXPECT_TRUE(w->BtnLicenseYes.visible());  // not starred: shown again
}

// ---------------------------------------------------------------- earlier installation

TEST_F(WizardTest, TheStartPageSaysWhatAnEarlierInstallationIs) {
  PackageManifest m = NoLicence(Choice());
  Open(m).BtnInstall.Click();
  ASSERT_EQ(w->end(), WizardEnd::Installed);

  m.releaseDate += 5;  // newer
  TSetupWizard& newer = Open(m);
  ASSERT_EQ(newer.NoteLabels.size(), 3u);
  EXPECT_EQ(newer.NoteLabels[0]->caption(), "Test Product 2.5 is installed on this computer.");
  EXPECT_EQ(newer.NoteLabels[0]->bounds().top, 70 - 7);
  EXPECT_EQ(newer.NoteLabels[1]->bounds().top, 63 + newer.NoteLabels[0]->bounds().height);
  EXPECT_TRUE(EndsWith(newer.BtnInstall.hint(), " The installed files will be updated."));
  EXPECT_TRUE(EndsWith(newer.BtnComponents.hint(), " Use Components to change the installed components."));
  EXPECT_TRUE(newer.BtnInstall.isDefault());

  m.releaseDate -= 5;  // the same
  TSetupWizard& same = Open(m);
  ASSERT_EQ(same.NoteLabels.size(), 4u);
  EXPECT_TRUE(same.BtnComponents.isDefault());
  EXPECT_EQ(same.form.focused(), &same.BtnComponents);
  // Hidden and shown with the start page.
  same.BtnReadme.Click();
  EXPECT_FALSE(same.NoteLabels[0]->visible());
  same.BtnBack.Click();
  EXPECT_TRUE(same.NoteLabels[0]->visible());

  m.releaseDate -= 5;  // older than the installed one
  TSetupWizard& older = Open(m);
  EXPECT_EQ(older.NoteLabels.size(), 3u);
  EXPECT_TRUE(older.BtnExit.isDefault());
  EXPECT_EQ(older.form.focused(), &older.BtnExit);
}

TEST_F(WizardTest, AnUpgradeOnlyPackageWithoutTheProductOffersOnlyExit) {
  PackageManifest m = Choice();
  m.setupOptionBits = 2;
  m.minimumPreviousDate = 45000;
  m.upgradeMessages = "Only an update.\rInstall the full product first.";
  TSetupWizard& wz = Open(m);
  ASSERT_EQ(wz.NoteLabels.size(), 2u);
  EXPECT_EQ(wz.NoteLabels[1]->caption(), "Install the full product first.");
  EXPECT_FALSE(wz.BtnInstall.enabled());
  EXPECT_FALSE(wz.BtnComponents.enabled());
  EXPECT_FALSE(wz.BtnAdvanced.enabled());
  EXPECT_EQ(wz.form.focused(), &wz.BtnExit);
}

// ---------------------------------------------------------------- installation and completion

TEST_F(WizardTest, TheProgressPageHasAStageEachAndTheTaskbarFollows) {
  PackageManifest m = NoLicence(Choice());
  m.finishFlags = 128;  // wait on the completion page
  m.components[0].root.folders.push_back(MenuWithShortcut(m));  // a second stage
  sys.Set("processors", "2");
  TSetupWizard& wz = Open(m);
  std::vector<std::string> taskbar;
  wz.BtnInstall.Click();
  ASSERT_EQ(wz.end(), WizardEnd::Installed);
  ASSERT_GE(wz.Stages.size(), 2u);
  // Each stage's row below the one before; all hidden on the completion
  // page, the files stage's gauge full.
  EXPECT_EQ(wz.Stages[1].label->bounds().top - wz.Stages[0].label->bounds().top, 2 * 28);
  EXPECT_EQ(wz.Stages[0].gauge->position(), wz.Stages[0].gauge->maximum());
  EXPECT_FALSE(wz.Stages[0].gauge->visible());
  EXPECT_TRUE(StartsWith(wz.Stages[0].label->caption(), "Installing C:\\")) << wz.Stages[0].label->caption();
  EXPECT_EQ(wz.form.taskbarState(), forms::TaskbarState::None);
  EXPECT_NE(std::find(backend.events.begin(), backend.events.end(), "form.Taskbar"), backend.events.end());
  EXPECT_EQ(Caption("LabelDone"), "Test Product 2.5 has been installed.");
  EXPECT_EQ(Visible({"LabelDone", "BtnDone", "BtnRebootNow"}), (std::vector<std::string>{"LabelDone", "BtnDone"}));
  // The completion page may be closed like any window.
  ASSERT_TRUE(wz.form.CanClose);
  EXPECT_TRUE(wz.form.CanClose());
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  EXPECT_TRUE(fs.FileExists(wz.S.LogPath)) << wz.S.LogPath;
  wz.BtnDone.Click();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), 0);
}

TEST_F(WizardTest, WithoutBit7TheWindowClosesByItselfAfterStartingTheProgram) {
  PackageManifest m = NoLicence(Choice());
  m.finishFlags = 2 | 4;  // open the menu folder, start a program
  m.finishExeIndex = static_cast<uint16_t>(FindDataIndex(m, "app.exe"));
  m.finishParams = "/first %APPFOLDER%";
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  const auto events = desktop.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "shell\t" + kPrograms + "\\Test Product\topen\t\t\t5");
  EXPECT_EQ(events[1], "shell\t" + App("app.exe") + "\t\t/first " + App() + "\t" + App() + "\t5");
}

TEST_F(WizardTest, APendingRestartAsksWhateverBit7Says) {
  PackageManifest m = NoLicence(Choice());
  // app.exe is in use: it is replaced at the next restart.
  Write(App("app.exe"), "old");
  TSetupWizard& wz = Open(m);
  fs.HoldOpen(App("app.exe"));
  wz.BtnInstall.Click();
  ASSERT_TRUE(wz.S.RebootNeeded);
  EXPECT_EQ(Visible({"LabelDone", "LabelReboot", "BtnRebootNow", "BtnRebootLater", "BtnDone"}),
            (std::vector<std::string>{"LabelDone", "LabelReboot", "BtnRebootNow", "BtnRebootLater"}));
  EXPECT_EQ(Caption("BtnRebootNow"), "Restart &now");
  EXPECT_FALSE(wz.form.closed());
  wz.BtnRebootNow.Click();
  Pump();
  EXPECT_EQ(desktop.Events().back(), "restart");
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitRestartNeeded);
}

TEST_F(WizardTest, AStoppedInstallationSaysSoAndEnds) {
  PackageManifest m = NoLicence(Choice());
  // A folder that cannot be made: the error question, answered No.
  Write(App("data"), "a file where a folder goes");
  m.components[0].root.folders[0].folders.push_back(BuildFolder{"data", false, {}, true, m.components[1].root.folders[0].items});
  dialogs.Answer(IDNO_);
  TSetupWizard& wz = Open(m);
  // The taskbar button says "error" while the question is up.
  std::vector<forms::TaskbarState> during;
  dialogs.onShow = [&](const ScriptedDialogs::Shown&) { during.push_back(wz.form.taskbarState()); };
  wz.BtnInstall.Click();
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0], forms::TaskbarState::Error);
  EXPECT_NE(dialogs.shown[0].text.find("data could not be created"), std::string::npos) << dialogs.shown[0].text;
  EXPECT_EQ(Caption("LabelDone"), "The installation was stopped.");
  EXPECT_EQ(Caption("BtnDone"), "OK");
  EXPECT_TRUE(wz.BtnDone.visible());
  wz.BtnDone.Click();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitFailed);
}

TEST_F(WizardTest, ExitLeavesWithoutInstallingAndCloseIsRefusedWhileInstalling) {
  TSetupWizard& wz = Open(Choice());
  wz.InstallRunning = true;
  wz.form.CloseQuery();
  EXPECT_FALSE(wz.form.closed());
  wz.InstallRunning = false;
  wz.form.Press(forms::Key::Escape);
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitCancelled);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}


TEST_F(WizardTest, BackFromComponentsOfTheAdvancedPathWithNothingBetweenGoesToTheStartPage) {
  PackageManifest m = NoLicence(Choice());
  m.userType = 1;
  for (auto& f : m.folderDefaults) f[0] = f[1] = "";  // no folder variables
  TSetupWizard& wz = Open(m);
  ASSERT_TRUE(wz.S.Def.FolderVariables.empty());
  wz.BtnAdvanced.Click();  // no rows: the folders page goes on at once
  EXPECT_TRUE(wz.TreeComponents.visible());
  wz.TreeComponents.ClickState({1});
  EXPECT_TRUE(wz.S.Def.Components[1].Selected);
  wz.BtnBack.Click();
  EXPECT_EQ(StartButtons().size(), 5u);
  EXPECT_FALSE(wz.TreeComponents.visible());
  EXPECT_FALSE(wz.S.Def.Components[1].Selected);  // restored
}

TEST_F(WizardTest, AReadmeThatCannotBeReadShowsAnEmptyPage) {
  TSetupWizard& wz = Open(Choice());
  ASSERT_GE(wz.S.Def.ReadmeIndex, 0);
  ASSERT_TRUE(fs.DeleteFile(wz.S.Package.TempFilePaths[static_cast<size_t>(wz.S.Def.ReadmeIndex)]));
  wz.BtnReadme.Click();
  EXPECT_TRUE(wz.MemoLicense.visible());
  EXPECT_EQ(wz.MemoLicense.text(), "");
  EXPECT_FALSE(wz.form.closed());
}

TEST_F(WizardTest, AMoveToAScreenOfAnotherResolutionRescalesTheWindow) {
  TSetupWizard& wz = Open(Choice());
  ASSERT_TRUE(wz.form.OnDpiChanged);
  wz.form.OnDpiChanged(192);
  EXPECT_EQ(wz.Ppi, 192);
  EXPECT_EQ(wz.form.bounds().width, 1024);
  EXPECT_EQ(wz.form.bounds().height, 602);
  EXPECT_EQ(wz.BtnInstall.bounds(), (Bounds{98, 252, 400, 58}));
  EXPECT_EQ(wz.WelcomeLabels[0]->bounds().left, 14);
  EXPECT_EQ(wz.Scale.lineUnit, 56);
  wz.form.OnDpiChanged(96);
  EXPECT_EQ(wz.BtnInstall.bounds(), (Bounds{49, 126, 200, 29}));
}


TEST_F(WizardTest, TheUsersTextSizeEnlargesTheWindowsFont) {
  sys.Set("version", "10.0");
  reg.WriteDword(RegRoot::CurrentUser, "SOFTWARE\\Microsoft\\Accessibility", "TextScaleFactor", 150);
  TSetupWizard& wz = Open(Choice());
  // 9 points × 150 % = 13.5, rounded to 14: 19 pixels at 96 dpi.
  EXPECT_EQ(wz.Scale.fontSize, 14);
  EXPECT_EQ(wz.BtnInstall.font().height, 14);
  EXPECT_EQ(wz.form.bounds().width, MulDivRound(512, 19, 11));
}


TEST_F(WizardTest, ManyFileTypesGrowTheWindowAndProceedRestoresIt) {
  PackageManifest m = NoLicence(Choice());
  m.userType = 1;
  for (int i = 0; i < 12; ++i) {
    TFileType t;
    t.Extension = ".t" + std::to_string(i);
    t.Description = "Type " + std::to_string(i);
    m.fileTypes.push_back(t);
  }
  TSetupWizard& wz = Open(m);
  wz.BtnAdvanced.Click();
  wz.BtnProceed.Click();
  ASSERT_EQ(wz.TypeBoxes.size(), 12u);
  // The boxes run below the buttons' row: the window grows by what they
  // need, and the buttons move down to the running top.
  const forms::Bounds last = wz.TypeBoxes.back()->bounds();
  const int runningTop = last.top + last.height + 7;
  EXPECT_GT(runningTop, 266);
  EXPECT_EQ(wz.BtnProceed.bounds().top, runningTop);
  EXPECT_EQ(wz.BtnBack.bounds().top, runningTop);
  EXPECT_EQ(wz.form.bounds().height, 301 + runningTop - 266);
  // Back to the folders page keeps the size; entering the file types page
  // again restores it before its own growth; Proceed restores it.
  wz.BtnBack.Click();
  EXPECT_EQ(wz.form.bounds().height, 301 + runningTop - 266);
  wz.BtnProceed.Click();
  EXPECT_EQ(wz.form.bounds().height, 301 + runningTop - 266);
  wz.BtnProceed.Click();
  EXPECT_EQ(wz.form.bounds().height, 301);
  EXPECT_EQ(wz.BtnProceed.bounds().top, 266);
  EXPECT_TRUE(wz.TreeComponents.visible());
}


TEST_F(WizardTest, OnlyTheInstallHintIsAFormatAndTheHintFollowsTheMouse) {
  PackageManifest m = Choice();
  m.interfaceStrings[7] = "Read this %s first (100%%)";
  TSetupWizard& wz = Open(m);
  EXPECT_EQ(wz.BtnReadme.hint(), "Read this %s first (100%%)");
  wz.form.Hover(&wz.BtnReadme);
  EXPECT_EQ(wz.LabelHint.caption(), "Read this %s first (100%%)");
  wz.form.Hover(nullptr);
  EXPECT_EQ(wz.LabelHint.caption(), "");
}

TEST_F(WizardTest, TheEarlierInstallationsDefaultButtonOutlivesThePages) {
  PackageManifest m = NoLicence(Choice());
  Open(m).BtnInstall.Click();
  ASSERT_EQ(w->end(), WizardEnd::Installed);
  m.releaseDate -= 5;  // the installed release is newer
  TSetupWizard& wz = Open(m);
  wz.BtnComponents.Click();
  wz.BtnBack.Click();
  EXPECT_TRUE(wz.BtnExit.isDefault());
  EXPECT_EQ(wz.form.focused(), &wz.BtnExit);
  wz.BtnReadme.Click();
  wz.BtnBack.Click();
  EXPECT_TRUE(wz.BtnExit.isDefault());
}

TEST_F(WizardTest, DoneActsOnceAndAFontBelowTheMinimumIsRaised) {
  PackageManifest m = NoLicence(Choice());
  m.finishFlags = 128 | 2;
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  wz.BtnDone.Click();
  wz.BtnDone.Click();
  EXPECT_EQ(desktop.Events().size(), 1u);
  backend.screen.ppi = 144;
  backend.screen.monitorWidth = backend.screen.workWidth = 1600;
  backend.screen.monitorHeight = 1200;
  backend.screen.workHeight = 1160;
  TSetupWizard& high = Open(Choice());
  // 8 points are 16 pixels at 144 dpi; the design asks for 17.
  EXPECT_EQ(high.BtnInstall.font().pixels, 17);
  EXPECT_EQ(high.BtnInstall.font().height, 8);
}


TEST_F(WizardTest, AFolderRowHoldsAt255Characters) {
  PackageManifest m = Choice();
  m.userType = 1;
  TSetupWizard& wz = Open(m);
  wz.BtnAdvanced.Click();
  ASSERT_FALSE(wz.FolderRows.empty());
  const std::string longPath = "C:\\" + std::string(300, 'x');
  wz.FolderRows[0].edit->Type(longPath);
  EXPECT_EQ(wz.FolderRows[0].edit->text(), longPath.substr(0, 255));
  // Counted as the window counts: an emoji is two, never cut in half.
  EXPECT_EQ(FirstCharacters("ab\xF0\x9F\x98\x80" "c", 3), "ab");
  EXPECT_EQ(FirstCharacters("ab\xF0\x9F\x98\x80" "c", 4), "ab\xF0\x9F\x98\x80");
  EXPECT_EQ(FirstCharacters("\xC3\xA4\xC3\xB6", 1), "\xC3\xA4");
}

}  // namespace
}  // namespace stw::test

namespace stw::test {
namespace {

// A package that offers a portable installation beside the one on the disk.
PackageManifest PortableChoice() {
  PackageManifest m = Choice();
  m.portableMode = 1;
  m.removableMarkerMode = 1;
  m.showAllDrivesOption = 1;
  m.portableFolder = "MyApp";
  return m;
}

TEST_F(WizardTest, TheDriveListShowsRemovableDrivesOrAllOfThem) {
  sys.Set("drives", "CEFNZ");
  sys.Set("free.E", std::to_string(3ull << 30));
  shell.SetRemovable("EF");
  desktop.SetDrives({"C:\\", "E:\\", "F:\\", "N:\\"});
  desktop.SetVolumeLabel('E', "A VERY LONG VOLUME LABEL OF MORE THAN 32 CHARACTERS");
  desktop.SetNetworkName('N', "\\\\server\\share");
  TSetupWizard& wz = Open(PortableChoice());
  EXPECT_EQ(Caption("BtnComponents"), "&Portable");
  wz.BtnComponents.Click();
  EXPECT_TRUE(wz.S.PortableInstall);
  EXPECT_EQ(wz.S.Def.UserType, 2);
  EXPECT_EQ(Visible({"LabelDrive", "ListDrive", "LabelFolder", "EditFolder", "CheckAllDrives", "BtnBack", "BtnProceed"}),
            (std::vector<std::string>{"LabelDrive", "ListDrive", "LabelFolder", "EditFolder", "CheckAllDrives",
                                      "BtnBack", "BtnProceed"}));
  EXPECT_EQ(wz.ListDrive.columns[0].caption, "Drive");
  EXPECT_EQ(Caption("CheckAllDrives"), "Show all drives");
  EXPECT_EQ(wz.EditFolder.text(), "MyApp");
  // Removable only: E with its label cut to 32 characters and its free
  // space, F whose volume cannot be read.
  ASSERT_EQ(wz.ListDrive.rows().size(), 2u);
  EXPECT_EQ(wz.ListDrive.rows()[0],
            (std::vector<std::string>{"E:", "A VERY LONG VOLUME LABEL OF MORE", "3.00 GB"}));
  EXPECT_EQ(wz.ListDrive.rows()[1], (std::vector<std::string>{"F:", "(not ready)", "0.00 MB"}));
  EXPECT_EQ(wz.ListDrive.selected(), 0);
  wz.CheckAllDrives.Toggle();
  ASSERT_EQ(wz.ListDrive.rows().size(), 4u);
  EXPECT_EQ(wz.ListDrive.rows()[0][1], "System");
  EXPECT_EQ(wz.ListDrive.rows()[3][0], "N:");
  EXPECT_EQ(wz.ListDrive.rows()[3][1], "\\\\server\\share");
  // Typing a drive's root selects that drive.
  wz.EditFolder.Type("f:\\Apps");
  EXPECT_EQ(wz.ListDrive.selected(), 2);
  // Back: the disk's user type again.
  wz.BtnBack.Click();
  EXPECT_FALSE(wz.S.PortableInstall);
  EXPECT_EQ(wz.S.Def.UserType, 3);
  EXPECT_EQ(StartButtons().size(), 5u);
}

TEST_F(WizardTest, ADriveWithPortableAppsTakesTheFolderIntoIt) {
  sys.Set("drives", "CEFZ");
  shell.SetRemovable("EF");
  desktop.SetDrives({"C:\\", "E:\\", "F:\\"});
  desktop.SetVolumeLabel('E', "STICK");
  desktop.SetVolumeLabel('F', "CARD");
  ASSERT_TRUE(fs.CreateFolder("E:\\PortableApps"));
  TSetupWizard& wz = Open(PortableChoice());
  wz.BtnComponents.Click();
  wz.ListDrive.ClickRow(0);
  EXPECT_EQ(wz.EditFolder.text(), "PortableApps\\MyApp");
  wz.ListDrive.ClickRow(1);
  EXPECT_EQ(wz.EditFolder.text(), "MyApp");
  wz.ListDrive.ClickRow(0);
  EXPECT_EQ(wz.EditFolder.text(), "PortableApps\\MyApp");
}

TEST_F(WizardTest, ProceedWithoutADriveAsksForOne) {
  sys.Set("drives", "CZ");
  desktop.SetDrives({"C:\\"});
  PackageManifest m = PortableChoice();
  m.showAllDrivesOption = 0;
  TSetupWizard& wz = Open(m);
  wz.BtnComponents.Click();
  EXPECT_TRUE(wz.ListDrive.rows().empty());
  EXPECT_FALSE(wz.CheckAllDrives.visible());
  wz.BtnProceed.Click();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "Please choose a drive:");
  EXPECT_EQ(dialogs.shown[0].title, "Portable");
  EXPECT_EQ(dialogs.shown[0].style, static_cast<unsigned>(MB_OK_));
  EXPECT_TRUE(wz.ListDrive.visible());
}

TEST_F(WizardTest, APortableInstallationThroughTheWizard) {
  sys.Set("drives", "CEZ");
  shell.SetRemovable("E");
  desktop.SetDrives({"C:\\", "E:\\"});
  desktop.SetVolumeLabel('E', "STICK");
  PackageManifest m = NoLicence(PortableChoice());
  m.finishFlags = 2;  // open the folder at the end
  TSetupWizard& wz = Open(m);
  wz.BtnComponents.Click();
  wz.EditFolder.Type("Tools\\My App\\");
  wz.BtnProceed.Click();
  EXPECT_EQ(wz.S.Def.PortableFolder, "E:\\Tools\\My App");
  // Optional components: the tree with all of them, then Back to the drives.
  ASSERT_TRUE(wz.TreeComponents.visible());
  EXPECT_EQ(wz.TreeComponents.nodes().size(), 2u);
  EXPECT_TRUE(StartsWith(wz.LabelLicense.caption(), "Space needed"));
  wz.BtnBack.Click();
  EXPECT_TRUE(wz.ListDrive.visible());
  EXPECT_EQ(wz.EditFolder.text(), "Tools\\My App\\");
  wz.BtnProceed.Click();
  wz.BtnProceed.Click();
  ASSERT_EQ(wz.end(), WizardEnd::Installed);
  EXPECT_TRUE(fs.FileExists("E:\\Tools\\My App\\app.exe"));
  EXPECT_FALSE(fs.FileExists("E:\\Tools\\My App\\Stowa.log"));
  EXPECT_FALSE(fs.FileExists("E:\\Tools\\My App\\RemovableDrive.sys"));  // a removable drive needs none
  EXPECT_FALSE(reg.KeyExists(RegRoot::LocalMachine, kUninstall));
  EXPECT_FALSE(reg.KeyExists(RegRoot::CurrentUser, kUninstall));
  ASSERT_FALSE(desktop.Events().empty());
  EXPECT_EQ(desktop.Events()[0], "shell\tE:\\Tools\\My App\topen\t\t\t5");
}

// ---------------------------------------------------------------- requirements

const char* const kFramework = "Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";

// A product that needs the framework 4.8 and carries its redistributable.
PackageManifest NeedsFramework() {
  PackageManifest m = NoLicence(Choice());
  m.dotNetVersions = 1 << 5;
  m.dotNetLevel = 10;
  m.dotNetFile = "netfx.exe";
  m.dotNetInstaller = BuildSource{"netfx.exe", "", std::string("the redistributable"), false};
  return m;
}

TEST_F(WizardTest, TheFrameworkPageWaitsForTheRedistributableAndProceedInstallsOnceItIsThere) {
  reg.WriteDword(RegRoot::LocalMachine, kFramework, "Install", 1);
  reg.WriteDword(RegRoot::LocalMachine, kFramework, "Release", 461808);  // 4.7.2
  HostShell::Program redist;
  redist.runMilliseconds = 60000;  // runs until the test ends it
  shell.Script("netfx.exe", redist);
  TSetupWizard& wz = Open(NeedsFramework());
  wz.BtnInstall.Click();
  const std::vector<std::string> page = {"LabelDone", "LabelReboot", "Label3rdPartyURL", "BtnBack", "BtnProceed",
                                         "BtnAbort"};
  EXPECT_EQ(Visible(page), (std::vector<std::string>{"LabelDone", "LabelReboot", "BtnProceed", "BtnAbort"}));
  EXPECT_EQ(Caption("LabelDone"), FormatPattern(DefaultInterfaceStrings()[89], {"4.8"}));
  EXPECT_EQ(Caption("LabelReboot"), DefaultInterfaceStrings()[90]);
  EXPECT_EQ(wz.form.focused(), &wz.BtnProceed);
  EXPECT_TRUE(wz.BtnProceed.isDefault());
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
  // The copy out of the package runs; the timer watches it each second.
  ASSERT_EQ(shell.Events().size(), 1u);
  const std::string copy = wz.S.PrerequisitePath;
  EXPECT_EQ(shell.Events()[0], "start\t" + copy + "\t\"" + copy + "\" ");
  EXPECT_TRUE(fs.FileExists(copy));
  EXPECT_TRUE(wz.Timer3rdParty.enabled());
  EXPECT_EQ(wz.Timer3rdParty.interval(), 1000);

  // While it runs, the timer waits; Proceed finds the framework still missing.
  wz.Timer3rdParty.Elapse();
  EXPECT_TRUE(wz.Timer3rdParty.enabled());
  wz.BtnProceed.Click();
  EXPECT_TRUE(wz.LabelDone.visible());
  EXPECT_EQ(wz.end(), WizardEnd::Running);
  // It ends without having installed it: the timer presses Proceed once and
  // stops; the page stays.
  wz.S.PrerequisiteProcess->Wait(IProcess::kInfinite);
  wz.Timer3rdParty.Elapse();
  Pump();  // the press is posted
  EXPECT_FALSE(wz.Timer3rdParty.enabled());
  EXPECT_TRUE(wz.BtnProceed.visible());
  EXPECT_FALSE(fs.FileExists(App("app.exe")));

  // Installed meanwhile (by hand): Proceed installs, from the first step.
  reg.WriteDword(RegRoot::LocalMachine, kFramework, "Release", 528040);
  wz.BtnProceed.Click();
  EXPECT_EQ(wz.end(), WizardEnd::Installed);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  EXPECT_FALSE(fs.FileExists(copy)) << "the copy out of the package went when it had done its work";
  EXPECT_EQ(Visible({"LabelReboot", "Label3rdPartyURL", "BtnProceed", "BtnAbort"}), std::vector<std::string>{});
  EXPECT_TRUE(wz.S.PrerequisitePath.empty());
  EXPECT_EQ(shell.Events().size(), 1u) << "the redistributable is not started again";
}

TEST_F(WizardTest, WithoutARedistributableTheFrameworkPageLinksToTheDownload) {
  PackageManifest m = NeedsFramework();
  m.dotNetFile.clear();
  m.dotNetInstaller = BuildSource{};
  m.dotNetUrl = "https://www.example.invalid/dotnetfx.html";
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  EXPECT_EQ(Visible({"LabelDone", "LabelReboot", "Label3rdPartyURL", "BtnProceed", "BtnAbort"}).size(), 5u);
  EXPECT_EQ(Caption("LabelReboot"), DefaultInterfaceStrings()[91]);
  EXPECT_EQ(Caption("Label3rdPartyURL"), m.dotNetUrl);
  // The builder's default page learns the version.
  EXPECT_EQ(wz.Label3rdPartyURL.url, m.dotNetUrl + "?v=4.8");
  EXPECT_TRUE(wz.Label3rdPartyURL.font().underline);
  EXPECT_EQ(wz.Label3rdPartyURL.colour(), 0xFF0000u);
  EXPECT_FALSE(wz.Timer3rdParty.enabled());
  wz.Label3rdPartyURL.MouseDown();
  wz.Label3rdPartyURL.MouseUp(1, 1);
  ASSERT_EQ(desktop.Events().size(), 1u);
  EXPECT_EQ(desktop.Events()[0], "shell\t" + m.dotNetUrl + "?v=4.8\topen\t\t\t1");
  // Abort is the exit action.
  wz.BtnAbort.Click();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitCancelled);
}

TEST_F(WizardTest, ARedistributableThatCannotStartIsNamedBeforeTheLink) {
  PackageManifest m = NeedsFramework();
  m.dotNetUrl = "https://example.invalid/get/framework";
  HostShell::Program refused;
  refused.refuse = true;
  shell.Script("netfx.exe", refused);
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  EXPECT_EQ(Caption("LabelReboot"),
            "The installer netfx.exe could not be started. " + DefaultInterfaceStrings()[91]);
  EXPECT_EQ(wz.Label3rdPartyURL.url, m.dotNetUrl);
  EXPECT_TRUE(wz.Label3rdPartyURL.visible());
  EXPECT_FALSE(wz.Timer3rdParty.enabled());
  // The longer text takes a second line; the link moves below it.
  EXPECT_GT(wz.LabelReboot.bounds().height, 13);
  EXPECT_GE(Top("Label3rdPartyURL"), wz.LabelReboot.bounds().top + wz.LabelReboot.bounds().height);
}

TEST_F(WizardTest, EachMissingPrerequisiteHasItsPageAndTheInstallationStartsAgain) {
  PackageManifest m = NoLicence(Choice());
  BuildPrerequisite carried;
  carried.lines = {"Runtime B", "", "1", "", "runtime-b.exe", "/quiet", "HKEY_AUTO\\Software\\Runtime B", "", "",
                   ""};
  carried.installer = BuildSource{"runtime-b.exe", "", std::string("installer B"), false};
  BuildPrerequisite download;
  download.lines = {"Runtime C", "https://example.invalid/c", "1", "", "", "", "HKEY_LOCAL_MACHINE\\Software\\Runtime C",
                    "Level", "2", ""};
  m.prerequisites = {carried, download};
  HostShell::Program b;
  b.runMilliseconds = 60000;
  shell.Script("runtime-b.exe", b);
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  EXPECT_EQ(Caption("LabelDone"), FormatPattern(DefaultInterfaceStrings()[92], {"Runtime B"}));
  EXPECT_EQ(Caption("LabelReboot"), DefaultInterfaceStrings()[90]);
  EXPECT_FALSE(wz.Label3rdPartyURL.visible());
  const std::string copy = wz.S.PrerequisitePath;
  ASSERT_TRUE(fs.FileExists(copy));
  // Its installer did its work and ends: the timer goes on to the next one.
  reg.CreateKey(wz.S.AutoRoot(), "Software\\Runtime B");
  wz.S.PrerequisiteProcess->Wait(IProcess::kInfinite);
  wz.Timer3rdParty.Elapse();
  EXPECT_TRUE(fs.FileExists(copy)) << "the press is posted, not made inside the timer's call";
  Pump();
  EXPECT_FALSE(fs.FileExists(copy));
  EXPECT_EQ(Caption("LabelDone"), FormatPattern(DefaultInterfaceStrings()[92], {"Runtime C"}));
  EXPECT_EQ(Caption("LabelReboot"), DefaultInterfaceStrings()[91]);
  EXPECT_EQ(wz.Label3rdPartyURL.url, "https://example.invalid/c");
  EXPECT_FALSE(wz.Timer3rdParty.enabled());
  // A wrong value is still missing; the right one lets the installation go on.
  reg.WriteDword(RegRoot::LocalMachine, "Software\\Runtime C", "Level", 1);
  wz.BtnProceed.Click();
  EXPECT_TRUE(wz.LabelDone.visible());
  EXPECT_EQ(wz.end(), WizardEnd::Running);
  reg.WriteDword(RegRoot::LocalMachine, "Software\\Runtime C", "Level", 2);
  wz.BtnProceed.Click();
  EXPECT_EQ(wz.end(), WizardEnd::Installed);
  EXPECT_TRUE(fs.FileExists(App("app.exe")));
  // Runtime B's installer ran once: the restart began after it.
  ASSERT_EQ(shell.Events().size(), 1u);
  EXPECT_NE(shell.Events()[0].find("runtime-b.exe\" /quiet"), std::string::npos) << shell.Events()[0];
}

TEST_F(WizardTest, ALongPrerequisiteNamePushesTheLinesBelowItDown) {
  PackageManifest m = NoLicence(Choice());
  BuildPrerequisite p;
  p.lines = {std::string(150, 'N'), "https://example.invalid/n", "1", "", "", "",
             "HKEY_LOCAL_MACHINE\\Software\\Runtime N", "", "", ""};
  m.prerequisites = {p};
  TSetupWizard& wz = Open(m);
  const Bounds done = wz.LabelDone.bounds(), reboot = wz.LabelReboot.bounds();
  wz.BtnInstall.Click();
  const Bounds grown = wz.LabelDone.bounds();
  EXPECT_GT(grown.height, done.height);
  EXPECT_GE(Top("LabelReboot"), grown.top + grown.height);
  EXPECT_GE(Top("Label3rdPartyURL"), Top("LabelReboot") + wz.LabelReboot.bounds().height);
  // Once it is there, the completion page has the labels where the design
  // puts them.
  reg.CreateKey(RegRoot::LocalMachine, "Software\\Runtime N");
  wz.BtnProceed.Click();
  ASSERT_EQ(wz.end(), WizardEnd::Installed);
  EXPECT_EQ(wz.LabelDone.bounds(), done);
  EXPECT_EQ(wz.LabelReboot.bounds(), reboot);
  EXPECT_FALSE(wz.LabelDone.wordWrap());
}

TEST_F(WizardTest, WithAPrinterTheLicenceAndTheReadmeCanBePrinted) {
  desktop.printer.installed = true;
  PackageManifest m = Choice();
  m.licence = BuildSource{"licence.rtf", "", std::string("{\\rtf1{\\fonttbl{\\f0 Arial;}}Terms\\par\\tab of use\\par}"),
                          true};
  TSetupWizard& wz = Open(m);
  wz.BtnInstall.Click();
  ASSERT_TRUE(wz.BtnLicenseYes.visible());
  EXPECT_TRUE(wz.BtnPrint.visible());
  wz.BtnPrint.Click();
  // The text's lines, not its rich-text source, with an empty document
  // title after the window's caption.
  ASSERT_EQ(desktop.printer.Jobs().size(), 1u);
  const HostPrinter::Job& job = *desktop.printer.Jobs()[0];
  EXPECT_EQ(job.title, wz.form.caption() + " - ");
  EXPECT_TRUE(job.ended);
  ASSERT_EQ(job.texts.size(), 2u);
  EXPECT_EQ(job.texts[0].text, "Terms");
  EXPECT_EQ(job.texts[1].text, "        of use");
  ASSERT_FALSE(job.fonts.empty());
  EXPECT_EQ(job.fonts[0].face, "Arial");
  EXPECT_EQ(job.fonts[0].points, 10);
  // Back and Yes take the button away with the page.
  wz.BtnBack.Click();
  EXPECT_FALSE(wz.BtnPrint.visible());
  wz.BtnReadme.Click();
  EXPECT_TRUE(wz.BtnPrint.visible());
  // A printer that refuses the job: its reason in a box, the page stays.
  desktop.printer.refuseBegin = "The printer is out of paper.";
  dialogs.shown.clear();
  wz.BtnPrint.Click();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, "The printer is out of paper.");
  EXPECT_TRUE(wz.MemoLicense.visible());
  wz.BtnBack.Click();
  wz.BtnInstall.Click();
  wz.BtnLicenseYes.Click();
  EXPECT_FALSE(wz.BtnPrint.visible());
  EXPECT_EQ(wz.end(), WizardEnd::Installed);
}

// ---------------------------------------------------------------- support DLL

class WizardSupportDllTest : public WizardTest {
 protected:
  std::unique_ptr<HostSupportModuleLoader> loader;
  std::shared_ptr<HostSupportScript> script;
  // The wizard with the package's DLL standing in for the real one.
  TSetupWizard& OpenWithDll(const PackageManifest& m) {
    TSetupWizard& wz = Open(m);
    loader = std::make_unique<HostSupportModuleLoader>(fs);
    run->UseSupportLoader(*loader);
    const auto& paths = run->S.Package.TempFilePaths;
    script = loader->Place(paths.at(static_cast<size_t>(run->S.Def.SupportDllIndex)));
    return wz;
  }
};

TEST_F(WizardSupportDllTest, TheHooksRunOnceAndTheDllLearnsWhereTheLogIs) {
  TSetupWizard& wz = OpenWithDll(WithSupportDll(NoLicence(Choice())));
  using R = SupportRoutine;
  script->exports = {R::AllowInstallation3, R::GetInstallFolders, R::GetComponentSelection, R::FinishDeploymentW};
  script->installFolders = "%DATA%|Data of the product|C:\\Product Data\\|";
  const std::string optional = wz.S.Def.Components[0].Name;
  script->presets[optional] = {-1, 0};  // stays optional, not chosen
  // Components: the DLL is asked, the tree shows its choice.
  wz.BtnComponents.Click();
  ASSERT_TRUE(wz.TreeComponents.visible());
  EXPECT_FALSE(wz.S.Def.Components[0].Selected);
  ASSERT_NE(FindFolderVariable(wz.S.Def.FolderVariables, "%DATA%"), nullptr);
  // Back and Install: nothing is asked again; the installation tells the
  // DLL the log's path after it was saved.
  wz.BtnBack.Click();
  wz.BtnInstall.Click();
  ASSERT_EQ(wz.end(), WizardEnd::Installed);
  ASSERT_EQ(script->calls.size(), 3u + wz.S.Def.Components.size()) << script->calls.back();
  EXPECT_EQ(script->calls[0].rfind("AllowInstallation3(", 0), 0u) << script->calls[0];
  EXPECT_NE(script->calls[0].find("portable=0"), std::string::npos) << script->calls[0];
  EXPECT_EQ(script->calls[1], "GetInstallFolders(size=32768)");
  EXPECT_EQ(script->calls.back(), "FinishDeploymentW(logPath=" + wz.S.LogPath + ")");
  EXPECT_TRUE(fs.FileExists(wz.S.LogPath));
  EXPECT_EQ(loader->loads.size(), 1u);
}

TEST_F(WizardSupportDllTest, ARefusalClosesTheWindowWithoutInstalling) {
  TSetupWizard& wz = OpenWithDll(WithSupportDll(NoLicence(Choice())));
  script->exports = {SupportRoutine::AllowInstallation};
  script->allowAnswer = 0;
  wz.BtnInstall.Click();
  Pump();
  EXPECT_TRUE(wz.form.closed());
  EXPECT_EQ(wz.ExitCode(), kExitCancelled);
  EXPECT_FALSE(fs.FileExists(App("app.exe")));
}

TEST_F(WizardSupportDllTest, AFailingRoutineIsReportedAndTheSetupGoesOn) {
  TSetupWizard& wz = OpenWithDll(WithSupportDll(NoLicence(Choice())));
  script->exports = {SupportRoutine::AllowInstallation2, SupportRoutine::FinishDeployment};
  script->raises[SupportRoutine::AllowInstallation2] = "Access violation at address 0000DEAD.";
  dialogs.shown.clear();
  wz.BtnInstall.Click();
  ASSERT_FALSE(dialogs.shown.empty());
  EXPECT_EQ(dialogs.shown[0].text,
            "An error occurred while calling the routine AllowInstallation() in the support DLL: \r"
            "Access violation at address 0000DEAD.");
  EXPECT_EQ(dialogs.shown[0].title, "Pakvestor Setup");
  EXPECT_EQ(wz.end(), WizardEnd::Installed) << "a routine that raised counts as having allowed";
}

TEST_F(WizardSupportDllTest, APortableInstallationPassesTheMarkersPath) {
  sys.Set("drives", "CEZ");
  shell.SetRemovable("E");
  desktop.SetDrives({"C:\\", "E:\\"});
  PackageManifest m = WithSupportDll(NoLicence(PortableChoice()));
  for (auto& c : m.components) c.optional = false;
  TSetupWizard& wz = OpenWithDll(m);
  using R = SupportRoutine;
  script->exports = {R::AllowInstallation2, R::GetInstallFolders, R::FinishDeployment};
  script->installFolders = "%NEVER%|Not asked|C:\\Never|";
  wz.BtnComponents.Click();
  wz.EditFolder.Type("Apps\\Demo");
  wz.BtnProceed.Click();
  ASSERT_EQ(wz.end(), WizardEnd::Installed);
  ASSERT_EQ(script->calls.size(), 2u);
  EXPECT_NE(script->calls[0].find("portable=-1"), std::string::npos) << script->calls[0];
  EXPECT_EQ(script->calls[1], "FinishDeployment(logPath=E:\\Apps\\Demo\\RemovableDrive.sys)");
  EXPECT_EQ(FindFolderVariable(wz.S.Def.FolderVariables, "%NEVER%"), nullptr);
}

}  // namespace
}  // namespace stw::test
