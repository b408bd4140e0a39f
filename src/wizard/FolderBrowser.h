// The folder browser: a small modal dialog in which the user picks a
// folder, with a tree of the machine's folders and an edit box that mirror
// each other. Clicking a folder writes its path into the edit box; typing
// a path selects the deepest existing folder of it in the tree and leaves
// the typed text alone. Also the rule by which the wizard turns what the
// dialog returned into the text of a folder field.
//
// Main (user-interface) thread only, like the form it owns.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "forms/Forms.h"
#include "platform/Platform.h"

namespace stw {

// A caption without its accelerator markers: a single "&" goes, "&&"
// becomes "&".
std::string WithoutAccelerator(const std::string& caption);

// What a folder field becomes when the browser returned `r`: a lone drive
// letter gets ":\", a drive "X:" gets "\", a path "X:\..." and a share
// "\\server\share..." (the server a run of letters, the share starting
// with a letter) are taken as they are. nullopt for anything else: the
// field keeps its text.
std::optional<std::string> BrowseResultToFolder(const std::string& r);

class TFormDirSel {
 public:
  // `backend` is that of the dialog's own form (on Windows a window owned
  // by the setup window); `font` the setup form's font, given to every
  // control; `okCaption` and `cancelCaption` the captions of BtnOK and
  // BtnCancel. All references must outlive the dialog.
  TFormDirSel(forms::IBackend& backend, IFileSystem& fs, IDesktop& desktop, const forms::Font& font,
              const std::string& okCaption, const std::string& cancelCaption);
  TFormDirSel(const TFormDirSel&) = delete;
  TFormDirSel& operator=(const TFormDirSel&) = delete;

  // Shows the dialog modally with `caption` as its title and `path` in the
  // edit box (the deepest existing folder of it selected in the tree,
  // which is read afresh from the drives each time). The edit box's text
  // when the user confirms; nullopt when they cancel or close the dialog.
  std::optional<std::string> Browse(const std::string& caption, const std::string& path);

  // The tree's selection moved: its folder's full path goes into the edit
  // box ("C:\" for a drive). Run from ShellTree's OnSelect.
  void ShellTreeClick();
  // The edit box changed: its text without a trailing "\" and then each
  // parent in turn, until one exists as a folder; that one is selected in
  // the tree. Nothing is selected when none exists. Run from Edit's
  // OnChange.
  void EditChange();

  forms::Form& form() { return form_; }

  // True while one of the two controls is being made to follow the other:
  // both handlers do nothing then, so that neither change echoes back.
  bool Updating = false;

 private:
  // One folder the tree shows. A node's data is its index here.
  struct Folder {
    std::string path;              // "C:\" for a drive, else without trailing "\"
    std::vector<size_t> treePath;  // the node's child indices from the top level
    bool listed = false;           // its subfolders are among the nodes
  };

  // Makes the nodes again: the drives, and along `chain` (full folder
  // paths from a drive's root down, as Folder::path writes them) each
  // folder's subfolders. Returns the tree path of the deepest folder of
  // the chain that was found (empty when none).
  std::vector<size_t> Rebuild(const std::vector<std::string>& chain);
  forms::TreeNode MakeNode(const std::string& text, const std::string& path, const std::vector<size_t>& treePath,
                           const std::vector<std::string>& chain, size_t depth, std::vector<size_t>& deepest);
  // The subfolders of `folder`, sorted without regard to case.
  std::vector<std::string> Subfolders(const std::string& folder);
  bool FolderExists(const std::string& path);
  // Selects an existing folder in the tree, listing what it takes to show
  // it. A folder on no logical drive (a share, a relative path) has no node.
  void SelectFolder(const std::string& path);
  void CentreOnScreen();

  IFileSystem& fs_;
  IDesktop& desktop_;
  forms::Form form_;
  std::vector<Folder> folders_;

 public:
  // The controls, made in this order (which is also the tab order).
  forms::Edit& Edit;
  forms::Tree& ShellTree;
  forms::Button& BtnOK;
  forms::Button& BtnCancel;
};

}  // namespace stw
