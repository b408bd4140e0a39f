// The control model with the headless backend: what the backend is told,
// and the dialog's keyboard rules that both backends share.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "forms/Forms.h"

using namespace stw::forms;

namespace {

struct Page {
  HeadlessBackend backend;
  Form form{backend};
  Edit& folder = form.Add<Edit>("EditFolder");
  Label& note = form.Add<Label>("LabelNote");
  CheckBox& desktop = form.Add<CheckBox>("CheckDesktop");
  Button& back = form.Add<Button>("BtnBack");
  Button& next = form.Add<Button>("BtnNext");
  Button& exit = form.Add<Button>("BtnExit");
  std::vector<std::string> clicks;
  Page() {
    next.SetDefault(true);
    exit.SetCancel(true);
    for (Button* b : {&back, &next, &exit}) b->OnClick = [this, b] { clicks.push_back(b->name()); };
  }
  std::string Focused() const { return form.focused() ? form.focused()->name() : "(none)"; }
};

}  // namespace

TEST(Forms, TheBackendHearsOfRealChangesOnly) {
  HeadlessBackend backend;
  Form form(backend);
  Button& b = form.Add<Button>("BtnInstall");
  b.SetCaption("&Install");
  b.SetCaption("&Install");  // the same again: nothing to mirror
  b.SetBounds({10, 20, 75, 25});
  b.SetVisible(false);
  b.SetShield(true);
  form.SetCaption("Setup");
  EXPECT_EQ(backend.events, (std::vector<std::string>{"created Button BtnInstall", "BtnInstall.Caption",
                                                      "BtnInstall.Bounds", "BtnInstall.Visible", "BtnInstall.Shield",
                                                      "form.Caption"}));
  EXPECT_EQ(form.Find("BtnInstall"), &b);
  EXPECT_EQ(form.Find("BtnNone"), nullptr);
}

TEST(Forms, TabFollowsTheTabOrderOverWhatCanTakeTheFocus) {
  Page p;
  // The label never takes the focus; a hidden or disabled control neither.
  std::vector<std::string> seen;
  for (int i = 0; i < 5; ++i) {
    p.form.Press(Key::Tab);
    seen.push_back(p.Focused());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"EditFolder", "CheckDesktop", "BtnBack", "BtnNext", "BtnExit"}));
  p.form.Press(Key::Tab);
  EXPECT_EQ(p.Focused(), "EditFolder");  // round again
  p.form.Press(Key::ShiftTab);
  EXPECT_EQ(p.Focused(), "BtnExit");

  p.back.SetEnabled(false);
  p.desktop.SetVisible(false);
  p.form.SetFocus(&p.folder);
  p.form.Press(Key::Tab);
  EXPECT_EQ(p.Focused(), "BtnNext");

  // Tab order, not creation order, decides.
  p.exit.SetTabOrder(-1);
  p.form.SetFocus(&p.folder);
  p.form.Press(Key::ShiftTab);
  EXPECT_EQ(p.Focused(), "BtnExit");

  // The focused control that goes away hands the focus on, as Tab would
  // (round to the first in the tab order).
  p.form.SetFocus(&p.next);
  p.next.SetVisible(false);
  EXPECT_EQ(p.Focused(), "BtnExit");
  EXPECT_FALSE(p.form.SetFocus(&p.next));
  EXPECT_FALSE(p.form.SetFocus(&p.note));
}

TEST(Forms, EnterClicksTheDefaultAndEscTheCancelButton) {
  Page p;
  p.form.SetFocus(&p.folder);
  p.form.Press(Key::Enter);
  p.form.Press(Key::Escape);
  // A focused button takes Enter itself.
  p.form.SetFocus(&p.back);
  p.form.Press(Key::Enter);
  EXPECT_EQ(p.clicks, (std::vector<std::string>{"BtnNext", "BtnExit", "BtnBack"}));

  // One default button per form; a disabled one is not clicked.
  p.back.SetDefault(true);
  EXPECT_FALSE(p.next.isDefault());
  p.back.SetEnabled(false);
  p.clicks.clear();
  p.form.SetFocus(&p.folder);
  EXPECT_FALSE(p.form.Press(Key::Enter));
  EXPECT_TRUE(p.clicks.empty());

  // Without a cancel button Esc is the form's cancel action.
  bool cancelled = false;
  p.form.OnCancel = [&] { cancelled = true; };
  p.exit.SetVisible(false);
  EXPECT_TRUE(p.form.Press(Key::Escape));
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(p.clicks.empty());
}

TEST(Forms, SpaceTogglesACheckBoxAndATreeNodesState) {
  Page p;
  int toggles = 0;
  p.desktop.OnClick = [&] { ++toggles; };
  p.form.SetFocus(&p.desktop);
  p.form.Press(Key::Space);
  EXPECT_TRUE(p.desktop.checked());
  p.desktop.SetChecked(false);  // the program's own change runs no handler
  EXPECT_EQ(toggles, 1);

  Tree& tree = p.form.Add<Tree>("TreeComponents");
  TreeNode main{"Program", 2, TreeIcon::Component, "", true, 0, {}};
  main.children.push_back({"Help", 1, TreeIcon::File, "help.chm", false, 7, {}});
  tree.SetNodes({main});
  std::vector<std::vector<size_t>> clicked;
  tree.OnStateClick = [&](const std::vector<size_t>& path) {
    clicked.push_back(path);
    tree.SetStateImage(path, tree.Node(path)->stateImage == 1 ? 2 : 1);
  };
  p.form.SetFocus(&tree);
  EXPECT_FALSE(p.form.Press(Key::Space));  // nothing selected yet
  tree.Select({0, 0});
  p.form.Press(Key::Space);
  tree.ClickState({0});
  tree.ClickState({0, 5});  // no such node: nothing happens
  EXPECT_EQ(clicked, (std::vector<std::vector<size_t>>{{0, 0}, {0}}));
  EXPECT_EQ(tree.Node({0, 0})->stateImage, 2);
  EXPECT_EQ(tree.Node({0})->stateImage, 1);
  EXPECT_EQ(tree.Node({0, 0})->data, 7u);
  EXPECT_EQ(tree.Node({1}), nullptr);
}

TEST(Forms, WhatTheUserCannotReachDoesNotReact) {
  Page p;
  p.next.SetEnabled(false);
  p.next.Click();
  p.exit.SetVisible(false);
  p.exit.Click();
  EXPECT_TRUE(p.clicks.empty());

  int changes = 0;
  p.folder.OnChange = [&] { ++changes; };
  p.folder.Type("C:\\Program Files\\Demo");
  EXPECT_EQ(p.folder.text(), "C:\\Program Files\\Demo");
  p.folder.SetReadOnly(true);
  p.folder.Type("D:\\Other");
  EXPECT_EQ(p.folder.text(), "C:\\Program Files\\Demo");
  EXPECT_EQ(changes, 1);

  RichEdit& licence = p.form.Add<RichEdit>("MemoLicense");
  EXPECT_TRUE(licence.readOnly());
  licence.Type("edited");
  EXPECT_EQ(licence.text(), "");

  ProgressBar& gauge = p.form.Add<ProgressBar>("ProgressBar1");
  gauge.SetMaximum(1000);
  gauge.SetPosition(2000);
  EXPECT_EQ(gauge.position(), 1000u);
  gauge.SetMaximum(10);
  EXPECT_EQ(gauge.position(), 10u);
}

TEST(Forms, AltAndALetterActOnTheControlThatMarksIt) {
  HeadlessBackend backend;
  Form form(backend);
  Label& label = form.Add<Label>("LabelFolder");
  Edit& first = form.Add<Edit>("EditFirst");
  Edit& folder = form.Add<Edit>("EditFolder");
  Button& next = form.Add<Button>("BtnNext");
  CheckBox& box = form.Add<CheckBox>("CheckAll");
  Button& plain = form.Add<Button>("BtnPlain");
  label.SetCaption("&Folder");
  label.focusControl = &folder;
  next.SetCaption("&Next >");
  box.SetCaption("Show &all");
  plain.SetCaption("Fish && chips");
  int clicks = 0;
  next.OnClick = [&] { ++clicks; };
  EXPECT_TRUE(form.PressMnemonic('f'));
  EXPECT_EQ(form.focused(), &folder);  // the label's control, not the next one
  EXPECT_TRUE(form.PressMnemonic('N'));
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(form.PressMnemonic('a'));
  EXPECT_TRUE(box.checked());
  EXPECT_FALSE(form.PressMnemonic('c'));  // "&&" marks nothing
  next.SetVisible(false);
  EXPECT_FALSE(form.PressMnemonic('n'));  // hidden: nothing
  label.focusControl = nullptr;
  EXPECT_TRUE(form.PressMnemonic('f'));
  EXPECT_EQ(form.focused(), &first);  // without one: the next in the tab order
}

TEST(Forms, ATimerRunsItsHandlerOnlyWhileEnabled) {
  HeadlessBackend backend;
  int fired = 0;
  {
    Form form(backend);
    Timer& t = form.AddTimer("Timer3rdParty");
    t.OnTimer = [&] { ++fired; };
    t.Elapse();
    EXPECT_EQ(fired, 0);
    t.SetInterval(1000);  // no change, nothing told
    t.SetEnabled(true);
    t.Elapse();
    t.SetInterval(250);
    t.SetEnabled(true);  // already on
    EXPECT_EQ(fired, 1);
    // The form's end stops it.
  }
  const std::vector<std::string> expected{"timer Timer3rdParty on 1000", "timer Timer3rdParty on 250",
                                          "timer Timer3rdParty off"};
  std::vector<std::string> timers;
  for (const std::string& e : backend.events)
    if (e.rfind("timer ", 0) == 0) timers.push_back(e);
  EXPECT_EQ(timers, expected);
}

TEST(Forms, TheDispatcherRunsWorkersCallsOnTheMainThread) {
  HeadlessBackend backend;
  Form form(backend);
  Dispatcher& d = form.dispatcher();
  // On the main thread a call runs at once; a posted one waits for Service.
  int ran = 0;
  d.Synchronize([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  d.Post([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(backend.wakes, 1);
  EXPECT_TRUE(d.Service());
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(d.Service());
  // A worker blocks until the main thread has run its call, which runs on
  // the main thread; its exception comes back to the worker.
  std::thread::id where;
  bool rethrown = false, returned = false;
  std::thread worker([&] {
    d.Synchronize([&] { where = std::this_thread::get_id(); });
    try {
      d.Synchronize([] { throw std::runtime_error("no"); });
    } catch (const std::runtime_error&) {
      rethrown = true;
    }
    returned = true;
  });
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(d.WaitForCalls(5000));
    d.Service();
  }
  worker.join();
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_TRUE(rethrown);
  EXPECT_TRUE(returned);
  EXPECT_FALSE(d.WaitForCalls(1));
}

namespace {

TEST(FormsBackdrop, ActivationReachesTheHandlerAndFrontNeedsAShownForm) {
  HeadlessBackend backend;
  Form form(backend, BorderStyle::None);
  EXPECT_EQ(form.borderStyle(), BorderStyle::None);
  int activated = 0;
  form.Activate();  // no handler: nothing happens
  form.OnActivate = [&] {
    ++activated;
    throw std::runtime_error("handler failed");
  };
  std::vector<std::string> errors;
  form.OnError = [&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      errors.push_back(x.what());
    }
  };
  form.Activate();
  EXPECT_EQ(activated, 1);
  EXPECT_EQ(errors, (std::vector<std::string>{"handler failed"}));

  backend.events.clear();
  form.BringToFront();  // not shown: nothing to bring
  EXPECT_TRUE(backend.events.empty());
  form.Show();
  form.BringToFront();
  EXPECT_EQ(backend.events, (std::vector<std::string>{"form.Visible", "form.Front"}));
  form.SetBorderStyle(BorderStyle::Dialog);
  form.SetBorderStyle(BorderStyle::Dialog);  // no change, no event
  EXPECT_EQ(backend.events.back(), "form.Border");
  EXPECT_EQ(std::count(backend.events.begin(), backend.events.end(), "form.Border"), 1);
}

TEST(FormsBackdrop, ImagesAndLabelStylesTellTheBackend) {
  HeadlessBackend backend;
  Form form(backend);
  auto& label = form.Add<Label>("LabelText");
  auto& image = form.Add<Image>("ImagePicture");
  EXPECT_FALSE(image.TabStop());
  EXPECT_FALSE(image.CanFocus());
  backend.events.clear();
  label.SetShowAccelChar(false);
  label.SetShowAccelChar(false);
  image.SetTransparent(true);
  // A 1 x 1 GIF header: enough for the model.
  EXPECT_TRUE(image.SetPicture(std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00", 13)));
  image.ClearPicture();
  image.ClearPicture();  // nothing left to clear
  EXPECT_EQ(backend.events, (std::vector<std::string>{"LabelText.Style", "ImagePicture.Picture",
                                                      "ImagePicture.Picture", "ImagePicture.Picture"}));
  // Without autoSize the control keeps the size it was given.
  image.SetBounds({1, 2, 30, 40});
  EXPECT_TRUE(image.SetPicture(std::string("GIF89a\x05\x00\x07\x00\x00\x00\x00", 13)));
  EXPECT_EQ(image.bounds(), (Bounds{1, 2, 30, 40}));
  EXPECT_EQ(image.picture().width, 5);
  EXPECT_EQ(image.picture().height, 7);
  image.SetAutoSize(true);
  EXPECT_EQ(image.bounds(), (Bounds{1, 2, 5, 7}));
}

TEST(FormsBackdrop, TheScreenKnowsThePrimaryMonitorsSize) {
  HeadlessBackend backend;
  Form form(backend);
  backend.screen.primaryWidth = 1920;
  backend.screen.primaryHeight = 1080;
  EXPECT_EQ(backend.ScreenOf(form).primaryWidth, 1920);
  EXPECT_EQ(backend.ScreenOf(form).primaryHeight, 1080);
  EXPECT_EQ(Screen().primaryWidth, Screen().monitorWidth);  // one monitor by default
}

}  // namespace
