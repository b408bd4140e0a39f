// The folder browser: its layout, the tree and the edit box following each
// other (and not echoing), the modal use with the user played by the
// headless backend, and the rule that turns its result into a folder
// field's text. On the host the folders are those of the simulated
// machine; under Wine the real ones, with the real drives.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "TestSupport.h"
#include "base/PathUtf8.h"
#include "base/SortedStrings.h"
#include "base/Text.h"
#include "wizard/FolderBrowser.h"
#ifdef _WIN32
#include "platform/Factory.h"
#else
#include "platform/host/HostDesktop.h"
#endif

using namespace stw;
using namespace stw::test;

namespace {

std::unique_ptr<IDesktop> MakeDesktop() {
#ifdef _WIN32
  return CreateNativeDesktop();
#else
  return std::make_unique<HostDesktop>();  // the drive C:
#endif
}

// The folder a tree path stands for, spelt as the nodes spell it: "C:\"
// for a drive, "C:\a\b" below it; "" for no node.
std::string FolderOf(const forms::Tree& tree, const std::vector<size_t>& path) {
  std::string folder;
  std::vector<size_t> prefix;
  for (size_t i : path) {
    prefix.push_back(i);
    const forms::TreeNode* n = tree.Node(prefix);
    if (!n) return "";
    folder += (prefix.size() == 1 ? "" : "\\") + n->text;
  }
  return path.size() == 1 ? folder + "\\" : folder;
}

// The tree path of a shown folder ("C:\a\b", no trailing backslash below
// the drive), the names compared without case; empty when not shown.
std::vector<size_t> NodeOf(const forms::Tree& tree, const std::string& folder) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= folder.size()) {
    const size_t end = std::min(folder.find('\\', start), folder.size());
    if (end > start) names.push_back(folder.substr(start, end - start));
    start = end + 1;
  }
  std::vector<size_t> path;
  const std::vector<forms::TreeNode>* level = &tree.nodes();
  for (const std::string& name : names) {
    size_t i = 0;
    while (i < level->size() && !SameTextIgnoreCase((*level)[i].text, name)) ++i;
    if (i == level->size()) return {};
    path.push_back(i);
    level = &(*level)[i].children;
  }
  return path;
}

std::vector<std::string> ChildTexts(const forms::TreeNode& n) {
  std::vector<std::string> texts;
  for (const forms::TreeNode& c : n.children) texts.push_back(c.text);
  return texts;
}

#define EXPECT_SAME_FOLDER(a, b) EXPECT_TRUE(SameTextIgnoreCase(a, b)) << (a) << " is not " << (b)

class FolderBrowserTest : public ::testing::Test {
 protected:
  FolderBrowserTest()
      : desktop_(MakeDesktop()),
        dlg_(backend_, m_.Fs(), *desktop_, font_, "Confirm-37", "Withdraw-38"),
        work_(WithoutTrailingBackslashes(m_.Work())) {}

  void MakeFolders(const std::string& path) { std::filesystem::create_directories(Utf8ToPath(m_.Native(path))); }

  // A drive letter that the machine has not got.
  std::string MissingDrive() {
    const std::vector<std::string> drives = desktop_->LogicalDrives();
    for (char c = 'B'; c < 'Z'; ++c) {
      const std::string d = std::string(1, c) + ":";
      bool listed = false;
      for (const std::string& r : drives) listed = listed || SameTextIgnoreCase(r.substr(0, 2), d);
      if (!listed && !m_.Fs().DirectoryExists(d + "\\")) return d;
    }
    ADD_FAILURE() << "every drive letter is taken";
    return "?:";
  }

  std::string Selected() const { return FolderOf(dlg_.ShellTree, dlg_.ShellTree.selected()); }

  TestMachine m_;
  std::unique_ptr<IDesktop> desktop_;
  forms::HeadlessBackend backend_;
  forms::Font font_{"Verdana", 10, true, false};
  TFormDirSel dlg_;
  std::string work_;  // the test's own folder, without trailing backslash
};

// ---------------------------------------------------------------- layout

TEST_F(FolderBrowserTest, TheDialogIsLaidOutInItsClientAreaWithTheGivenCaptionsAndFont) {
  forms::Form& f = dlg_.form();
  EXPECT_EQ(f.caption(), "Select Folder");
  EXPECT_EQ(f.bounds().width, 378);
  EXPECT_EQ(f.bounds().height, 268);

  ASSERT_EQ(f.controls().size(), 4u);
  EXPECT_EQ(f.Find("Edit"), &dlg_.Edit);
  EXPECT_EQ(f.Find("ShellTree"), &dlg_.ShellTree);
  EXPECT_EQ(f.Find("BtnOK"), &dlg_.BtnOK);
  EXPECT_EQ(f.Find("BtnCancel"), &dlg_.BtnCancel);
  EXPECT_EQ(dlg_.Edit.kind(), forms::Kind::Edit);
  EXPECT_EQ(dlg_.ShellTree.kind(), forms::Kind::Tree);
  for (const auto& c : f.controls()) EXPECT_EQ(c->font(), font_) << c->name();

  EXPECT_EQ(dlg_.BtnOK.caption(), "Confirm-37");
  EXPECT_EQ(dlg_.BtnCancel.caption(), "Withdraw-38");
  EXPECT_TRUE(dlg_.BtnOK.isDefault());
  EXPECT_FALSE(dlg_.BtnOK.isCancel());
  EXPECT_TRUE(dlg_.BtnCancel.isCancel());
  EXPECT_FALSE(dlg_.BtnCancel.isDefault());

  // The edit box on top, the tree below it, the buttons in the bottom
  // right corner, 8 pixels from the edges and from each other.
  const forms::Bounds e = dlg_.Edit.bounds(), t = dlg_.ShellTree.bounds();
  const forms::Bounds ok = dlg_.BtnOK.bounds(), cancel = dlg_.BtnCancel.bounds();
  EXPECT_EQ(e.left, 8);
  EXPECT_EQ(e.top, 8);
  EXPECT_EQ(e.left + e.width, 370);
  EXPECT_EQ(t.left, 8);
  EXPECT_EQ(t.top, e.top + e.height + 8);
  EXPECT_EQ(t.left + t.width, 370);
  EXPECT_EQ(t.top + t.height + 8, ok.top);
  EXPECT_EQ(ok.top, cancel.top);
  EXPECT_EQ(cancel.left + cancel.width, 370);
  EXPECT_EQ(cancel.top + cancel.height, 260);
  EXPECT_EQ(ok.left + ok.width + 8, cancel.left);
  EXPECT_GT(ok.width, 0);
  EXPECT_GT(ok.height, 0);
  EXPECT_GT(t.height, 100);

  // Tab from the edit box through the tree to the buttons.
  EXPECT_LT(dlg_.Edit.tabOrder(), dlg_.ShellTree.tabOrder());
  EXPECT_LT(dlg_.ShellTree.tabOrder(), dlg_.BtnOK.tabOrder());
  EXPECT_LT(dlg_.BtnOK.tabOrder(), dlg_.BtnCancel.tabOrder());
}

// ---------------------------------------------------------------- the tree

TEST_F(FolderBrowserTest, TheTopLevelNodesAreTheDrivesFolded) {
  const std::vector<std::string> drives = desktop_->LogicalDrives();
  const auto& nodes = dlg_.ShellTree.nodes();
  ASSERT_EQ(nodes.size(), drives.size());
  for (size_t i = 0; i < drives.size(); ++i) {
    EXPECT_EQ(nodes[i].text + "\\", drives[i]);
    EXPECT_EQ(nodes[i].icon, forms::TreeIcon::Folder);
    EXPECT_FALSE(nodes[i].expanded);
    EXPECT_TRUE(nodes[i].children.empty());
  }
  EXPECT_TRUE(dlg_.ShellTree.selected().empty());
}

#ifndef _WIN32
TEST_F(FolderBrowserTest, EveryLogicalDriveIsANodeInDriveOrder) {
  auto& desktop = static_cast<HostDesktop&>(*desktop_);
  desktop.SetDrives({"C:\\", "D:\\", "F:\\"});
  TFormDirSel dlg(backend_, m_.Fs(), desktop, font_, "OK", "Cancel");
  ASSERT_EQ(dlg.ShellTree.nodes().size(), 3u);
  EXPECT_EQ(dlg.ShellTree.nodes()[0].text, "C:");
  EXPECT_EQ(dlg.ShellTree.nodes()[1].text, "D:");
  EXPECT_EQ(dlg.ShellTree.nodes()[2].text, "F:");
  // A folder on a drive that is not listed has no node.
  dlg.Edit.Type("Z:\\");
  EXPECT_TRUE(dlg.ShellTree.selected().empty());
}
#endif

TEST_F(FolderBrowserTest, SubfoldersAreSortedWithoutCaseAndFilesAreLeftOut) {
  for (const char* name : {"b", "A", "c"}) MakeFolders(work_ + "\\sort\\" + name);
  m_.WriteFile(work_ + "\\sort\\a.txt", "x");
  dlg_.Edit.Type(work_ + "\\sort");
  const forms::TreeNode* n = dlg_.ShellTree.Node(dlg_.ShellTree.selected());
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->text, "sort");
  EXPECT_EQ(ChildTexts(*n), (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_TRUE(n->expanded);
  for (const forms::TreeNode& c : n->children) {
    EXPECT_EQ(c.icon, forms::TreeIcon::Folder);
    EXPECT_TRUE(c.children.empty());  // not read until they are reached
  }
}

// ---------------------------------------------------------------- typing

TEST_F(FolderBrowserTest, TypingAPathOfWhichTwoLevelsExistSelectsTheSecondAndKeepsTheText) {
  MakeFolders(work_ + "\\one\\two");
  const std::string typed = work_ + "\\one\\two\\three\\four";
  dlg_.Edit.Type(typed);
  EXPECT_EQ(dlg_.Edit.text(), typed);
  EXPECT_SAME_FOLDER(Selected(), work_ + "\\one\\two");
  // Its ancestors are unfolded, the drive first.
  const std::vector<size_t> sel = dlg_.ShellTree.selected();
  ASSERT_GE(sel.size(), 3u);
  for (size_t k = 1; k < sel.size(); ++k) {
    const forms::TreeNode* a = dlg_.ShellTree.Node(std::vector<size_t>(sel.begin(), sel.begin() + k));
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->expanded) << a->text;
  }
  EXPECT_FALSE(dlg_.Updating);
}

TEST_F(FolderBrowserTest, TypingAPathOnAMissingDriveSelectsNothing) {
  const std::string typed = MissingDrive() + "\\Programs\\Tool";
  dlg_.Edit.Type(typed);
  EXPECT_TRUE(dlg_.ShellTree.selected().empty());
  EXPECT_EQ(dlg_.Edit.text(), typed);

  // Nor does it take away what was selected before.
  MakeFolders(work_ + "\\one");
  dlg_.Edit.Type(work_ + "\\one");
  const std::vector<size_t> before = dlg_.ShellTree.selected();
  ASSERT_FALSE(before.empty());
  dlg_.Edit.Type(typed);
  EXPECT_EQ(dlg_.ShellTree.selected(), before);
  EXPECT_EQ(dlg_.Edit.text(), typed);
}

TEST_F(FolderBrowserTest, TheDriveAloneOrWithItsBackslashSelectsTheDrive) {
  const std::string drive = work_.substr(0, 2);
  for (const std::string& typed : {drive, drive + "\\", drive + "\\NoSuchFolder-xyz"}) {
    dlg_.Edit.Type("");
    dlg_.Edit.Type(typed);
    EXPECT_SAME_FOLDER(Selected(), drive + "\\");
    EXPECT_EQ(dlg_.Edit.text(), typed);
  }
}

TEST_F(FolderBrowserTest, ATrailingBackslashAndDotsAreTakenAsTheSystemTakesThem) {
  MakeFolders(work_ + "\\one\\two");
  MakeFolders(work_ + "\\other");
  dlg_.Edit.Type(work_ + "\\one\\two\\");
  EXPECT_SAME_FOLDER(Selected(), work_ + "\\one\\two");
  dlg_.Edit.Type(work_ + "\\one\\two\\..\\..\\other\\.");
  EXPECT_SAME_FOLDER(Selected(), work_ + "\\other");
}

TEST_F(FolderBrowserTest, AnEmptyTextOrARelativeNameSelectsNothing) {
  dlg_.Edit.Type("");
  EXPECT_TRUE(dlg_.ShellTree.selected().empty());
  dlg_.Edit.Type("no-such-folder-here");
  EXPECT_TRUE(dlg_.ShellTree.selected().empty());
}

// ---------------------------------------------------------------- clicking

TEST_F(FolderBrowserTest, ClickingAFolderWhileTypingReplacesTheTextWithItsFullPath) {
  MakeFolders(work_ + "\\one\\two\\three");
  dlg_.Edit.Type(work_ + "\\one\\tw");  // half typed
  EXPECT_SAME_FOLDER(Selected(), work_ + "\\one");
  const std::vector<size_t> two = NodeOf(dlg_.ShellTree, work_ + "\\one\\two");
  ASSERT_FALSE(two.empty());
  dlg_.ShellTree.Select(two);
  EXPECT_SAME_FOLDER(dlg_.Edit.text(), work_ + "\\one\\two");
  EXPECT_EQ(dlg_.Edit.text(), Selected());
  // Its subfolders are read now and shown.
  const forms::TreeNode* n = dlg_.ShellTree.Node(dlg_.ShellTree.selected());
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->text, "two");
  EXPECT_EQ(ChildTexts(*n), std::vector<std::string>{"three"});
  EXPECT_TRUE(n->expanded);
  EXPECT_FALSE(dlg_.Updating);
}

TEST_F(FolderBrowserTest, ClickingADriveGivesItsRootAndShowsItsFolders) {
  dlg_.ShellTree.Select({0});
  EXPECT_EQ(dlg_.Edit.text(), desktop_->LogicalDrives()[0]);
  EXPECT_EQ(dlg_.ShellTree.selected(), (std::vector<size_t>{0}));
  // The drive of the test's folder lists the folder's top level.
  dlg_.ShellTree.Select(NodeOf(dlg_.ShellTree, work_.substr(0, 2)));
  const forms::TreeNode* drive = dlg_.ShellTree.Node(dlg_.ShellTree.selected());
  ASSERT_NE(drive, nullptr);
  const std::string top = work_.substr(3, work_.find('\\', 3) - 3);
  bool found = false;
  for (const std::string& t : ChildTexts(*drive)) found = found || SameTextIgnoreCase(t, top);
  EXPECT_TRUE(found) << top;
}

TEST_F(FolderBrowserTest, ClickingAShownAncestorKeepsTheUnfoldedBranch) {
  MakeFolders(work_ + "\\one\\two");
  dlg_.Edit.Type(work_ + "\\one\\two");
  const std::vector<size_t> one = NodeOf(dlg_.ShellTree, work_ + "\\one");
  ASSERT_FALSE(one.empty());
  dlg_.ShellTree.Select(one);
  EXPECT_SAME_FOLDER(dlg_.Edit.text(), work_ + "\\one");
  EXPECT_EQ(dlg_.ShellTree.selected(), one);
  EXPECT_FALSE(NodeOf(dlg_.ShellTree, work_ + "\\one\\two").empty());
}

// ---------------------------------------------------------------- the guard

TEST_F(FolderBrowserTest, WhileUpdatingNeitherControlFollowsTheOther) {
  MakeFolders(work_ + "\\one\\two");
  dlg_.Updating = true;
  dlg_.Edit.Type(work_ + "\\one");
  EXPECT_TRUE(dlg_.ShellTree.selected().empty());
  EXPECT_TRUE(dlg_.Updating);

  dlg_.Updating = false;
  dlg_.Edit.Type(work_ + "\\one");
  EXPECT_SAME_FOLDER(Selected(), work_ + "\\one");

  dlg_.Updating = true;
  const std::vector<size_t> two = NodeOf(dlg_.ShellTree, work_ + "\\one\\two");
  ASSERT_FALSE(two.empty());
  dlg_.ShellTree.Select(two);
  EXPECT_EQ(dlg_.Edit.text(), work_ + "\\one");
  dlg_.Updating = false;
}

// The real edit control reports a change of its text made by the program
// as it does the user's. With a backend that does the same, each of the
// dialog's writes reaches its edit handler while the guard is up, and the
// user's click still ends with the clicked folder in both controls.
class EchoingBackend : public forms::HeadlessBackend {
 public:
  void Changed(forms::Control& c, forms::Property p) override {
    HeadlessBackend::Changed(c, p);
    if (p == forms::Property::Text && c.kind() == forms::Kind::Edit) {
      ++echoes;
      auto& e = static_cast<forms::Edit&>(c);
      if (e.OnChange) e.OnChange();
    }
  }
  int echoes = 0;
};

TEST_F(FolderBrowserTest, AnEditReportingTheDialogsOwnWritesStillEndsOnTheClickedFolder) {
  EchoingBackend backend;
  TFormDirSel dlg(backend, m_.Fs(), *desktop_, font_, "OK", "Cancel");
  MakeFolders(work_ + "\\one\\two");
  dlg.Edit.Type(work_ + "\\one\\two\\missing");
  EXPECT_EQ(dlg.Edit.text(), work_ + "\\one\\two\\missing");
  EXPECT_SAME_FOLDER(FolderOf(dlg.ShellTree, dlg.ShellTree.selected()), work_ + "\\one\\two");

  const int before = backend.echoes;
  const std::vector<size_t> one = NodeOf(dlg.ShellTree, work_ + "\\one");
  dlg.ShellTree.Select(one);
  EXPECT_EQ(backend.echoes, before + 1);
  EXPECT_SAME_FOLDER(dlg.Edit.text(), work_ + "\\one");
  EXPECT_EQ(dlg.ShellTree.selected(), one);
  EXPECT_FALSE(dlg.Updating);
}

// ---------------------------------------------------------------- modal use

TEST_F(FolderBrowserTest, BrowseShowsThePathAndReturnsTheTextOnOk) {
  MakeFolders(work_ + "\\one\\two");
  const std::string start = work_ + "\\one\\two\\Product";
  bool played = false;
  backend_.onModal = [&](forms::Form& f) {
    played = true;
    EXPECT_EQ(&f, &dlg_.form());
    EXPECT_EQ(f.caption(), "Program folder");
    EXPECT_TRUE(f.shown());
    // Centred in the work area of the headless screen (1024 × 728, a
    // frame of 6 × 28).
    EXPECT_EQ(f.bounds(), (forms::Bounds{320, 216, 378, 268}));
    EXPECT_EQ(f.focused(), &dlg_.Edit);
    auto& edit = static_cast<forms::Edit&>(*f.Find("Edit"));
    EXPECT_EQ(edit.text(), start);
    EXPECT_SAME_FOLDER(Selected(), work_ + "\\one\\two");
    edit.Type(work_ + "\\one\\Elsewhere");
    static_cast<forms::Button&>(*f.Find("BtnOK")).Click();
  };
  const auto r = dlg_.Browse(WithoutAccelerator("&Program folder"), start);
  EXPECT_TRUE(played);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, work_ + "\\one\\Elsewhere");
  EXPECT_FALSE(dlg_.form().shown());
  EXPECT_NE(std::find(backend_.events.begin(), backend_.events.end(), "modal Program folder"), backend_.events.end());
}

TEST_F(FolderBrowserTest, AFolderClickedInTheTreeIsWhatBrowseReturns) {
  MakeFolders(work_ + "\\one\\two");
  backend_.onModal = [&](forms::Form& f) {
    auto& tree = static_cast<forms::Tree&>(*f.Find("ShellTree"));
    tree.Select(NodeOf(tree, work_ + "\\one\\two"));
    f.Press(forms::Key::Enter);  // the default button
  };
  const auto r = dlg_.Browse("Data", work_ + "\\one");
  ASSERT_TRUE(r.has_value());
  EXPECT_SAME_FOLDER(*r, work_ + "\\one\\two");
}

TEST_F(FolderBrowserTest, CancelEscapeOrClosingReturnsNothing) {
  backend_.onModal = [&](forms::Form& f) {
    static_cast<forms::Edit&>(*f.Find("Edit")).Type("C:\\Typed");
    static_cast<forms::Button&>(*f.Find("BtnCancel")).Click();
  };
  EXPECT_FALSE(dlg_.Browse("Data", work_).has_value());

  backend_.onModal = [&](forms::Form& f) {
    static_cast<forms::Edit&>(*f.Find("Edit")).Type("C:\\Typed");
    f.Press(forms::Key::Escape);
  };
  EXPECT_FALSE(dlg_.Browse("Data", work_).has_value());

  backend_.onModal = [&](forms::Form& f) { f.Close(); };
  EXPECT_FALSE(dlg_.Browse("Data", work_).has_value());

  backend_.onModal = nullptr;
  EXPECT_FALSE(dlg_.Browse("Data", work_).has_value());
}

TEST_F(FolderBrowserTest, TheDialogIsReusedAndReadsTheFoldersAfresh) {
  MakeFolders(work_ + "\\first");
  backend_.onModal = [&](forms::Form& f) {
    static_cast<forms::Edit&>(*f.Find("Edit")).Type("garbage");
    f.EndModal(2);
  };
  EXPECT_FALSE(dlg_.Browse("One", work_ + "\\first").has_value());

  MakeFolders(work_ + "\\second\\inner");
  backend_.onModal = [&](forms::Form& f) {
    EXPECT_EQ(f.caption(), "Two");
    EXPECT_EQ(dlg_.Edit.text(), work_ + "\\second\\inner");
    EXPECT_SAME_FOLDER(Selected(), work_ + "\\second\\inner");
    // The branch of the earlier use is folded away.
    EXPECT_TRUE(NodeOf(dlg_.ShellTree, work_ + "\\first").empty() ||
                dlg_.ShellTree.Node(NodeOf(dlg_.ShellTree, work_ + "\\first"))->children.empty());
    f.Press(forms::Key::Enter);
  };
  const auto r = dlg_.Browse("Two", work_ + "\\second\\inner");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, work_ + "\\second\\inner");
}

TEST_F(FolderBrowserTest, BrowseWithAPathOfNoExistingFolderSelectsNothing) {
  const std::string start = MissingDrive() + "\\Product";
  backend_.onModal = [&](forms::Form& f) {
    EXPECT_TRUE(dlg_.ShellTree.selected().empty());
    EXPECT_EQ(dlg_.Edit.text(), start);
    f.Press(forms::Key::Enter);
  };
  const auto r = dlg_.Browse("Data", start);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, start);
}

// ---------------------------------------------------------------- helpers

TEST(FolderBrowser, AcceleratorMarkersAreRemoved) {
  EXPECT_EQ(WithoutAccelerator("&Program folder"), "Program folder");
  EXPECT_EQ(WithoutAccelerator("Data f&older"), "Data folder");
  EXPECT_EQ(WithoutAccelerator("Fish && Chips"), "Fish & Chips");
  EXPECT_EQ(WithoutAccelerator("&&&x"), "&x");
  EXPECT_EQ(WithoutAccelerator("end&"), "end");
  EXPECT_EQ(WithoutAccelerator("&"), "");
  EXPECT_EQ(WithoutAccelerator(""), "");
  EXPECT_EQ(WithoutAccelerator("plain"), "plain");
}

TEST(FolderBrowser, TheBrowseResultBecomesAFolderOnlyWhenItNamesADriveOrAShare) {
  // A drive letter, a drive, a path on a drive.
  EXPECT_EQ(BrowseResultToFolder("C"), "C:\\");
  EXPECT_EQ(BrowseResultToFolder("d"), "d:\\");
  EXPECT_EQ(BrowseResultToFolder("C:"), "C:\\");
  EXPECT_EQ(BrowseResultToFolder("C:\\"), "C:\\");
  EXPECT_EQ(BrowseResultToFolder("C:\\x"), "C:\\x");
  EXPECT_EQ(BrowseResultToFolder("C:\\Program Files\\Tool"), "C:\\Program Files\\Tool");
  // A share: a run of letters, then "\" and a letter; the rest is free.
  EXPECT_EQ(BrowseResultToFolder("\\\\server\\share"), "\\\\server\\share");
  EXPECT_EQ(BrowseResultToFolder("\\\\s\\a"), "\\\\s\\a");
  EXPECT_EQ(BrowseResultToFolder("\\\\server\\s1\\x y"), "\\\\server\\s1\\x y");

  // Neither: no drive letter, a letter without the colon, a drive
  // relative path; a share whose server is not all letters or whose share
  // does not start with one; no share at all.
  std::vector<std::string> refused = {"", "1", "é", "CD", "1:", "C:x", "C:/x", "1:\\x", ":\\", "/", "\\x\\y"};
  for (const char* r : {"\\\\1x\\a", "\\\\srv01\\a", "\\\\\\a", "\\\\server\\1", "\\\\server\\\\a", "//s/a"})
    refused.push_back(r);
  for (const char* r : {"\\", "\\\\", "\\\\server", "\\\\server\\"}) refused.push_back(r);
  for (const std::string& r : refused) EXPECT_FALSE(BrowseResultToFolder(r).has_value()) << r;
}

}  // namespace
