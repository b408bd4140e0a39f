// The tree's window (SysTreeView32) kept in step with its model: the nodes
// with their texts, icons, state images and unfolded flags, the selection,
// the state pictures and the lines. Clicks on a state image and Space come
// back through the model (Tree::ClickState, Form::Press), a new selection
// as Tree::Select.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "forms/Forms.h"
#include "platform/win32/Windows.h"

#include <commctrl.h>

namespace stw::forms::win32ui {

class TreeWindow {
 public:
  // The window exists; its styles are those of a new tree (see Style()).
  TreeWindow(Tree& tree, HWND window);
  ~TreeWindow();
  TreeWindow(const TreeWindow&) = delete;
  TreeWindow& operator=(const TreeWindow&) = delete;

  // The window styles of a tree that shows lines or not.
  static DWORD Style(bool lines);

  // Property::Nodes: the nodes, the selection and the state pictures.
  void SyncNodes();
  // Property::Style: the lines, and the state pictures.
  void SyncStyle();
  // The indent in pixels (it grows with the font).
  void SetIndent(int pixels);

  // A message for the tree's own window procedure (the window is
  // subclassed); `original` is that procedure.
  LRESULT Message(UINT msg, WPARAM wp, LPARAM lp, WNDPROC original);
  // A notification the tree sent to the form; true when it was handled.
  bool Notify(const NMHDR& n, LRESULT& result);

  // The path of child indices of an item, empty for an unknown item.
  std::vector<size_t> PathOf(HTREEITEM item) const;
  HTREEITEM ItemOf(const std::vector<size_t>& path) const;
  HIMAGELIST StateImages() const { return states_; }

 private:
  struct Item {
    HTREEITEM handle = nullptr;
    std::string text;
    int stateImage = 0;
    TreeIcon icon = TreeIcon::None;
    std::string iconFile;
    bool expanded = false;
    std::vector<Item> children;
  };
  struct Icon {
    int image = I_IMAGENONE, selected = I_IMAGENONE;
    UINT overlay = 0;  // state bits: INDEXTOOVERLAYMASK
  };

  // The image list routines of the very library that made the tree's
  // window: with the setup's manifest that is common controls 6 from the
  // side-by-side store, whose trees cannot draw the image lists of the
  // system folder's older library.
  struct ImageLists {
    decltype(&::ImageList_Create) create = nullptr;
    decltype(&::ImageList_Add) add = nullptr;
    decltype(&::ImageList_Destroy) destroy = nullptr;
  };
  static ImageLists ImageListsOf(HWND window);
  HIMAGELIST MakeStateImages() const;

  void SyncPictures();
  void SyncIconList();
  void Rebuild();
  void Insert(const std::vector<TreeNode>& nodes, HTREEITEM parent, std::vector<Item>& into,
              std::vector<size_t>& path);
  void Update(const std::vector<TreeNode>& nodes, std::vector<Item>& items);
  // Reads back which items the window shows unfolded.
  void ForgetExpansion(std::vector<Item>& items);
  void SyncSelection();
  Icon IconFor(const TreeNode& n);
  static bool SameShape(const std::vector<TreeNode>& nodes, const std::vector<Item>& items);
  static Item Mirror(const TreeNode& n);

  Tree& tree_;
  HWND window_;
  ImageLists lists_;
  std::vector<Item> items_;
  std::map<HTREEITEM, std::vector<size_t>> paths_;
  // The model's count of unfoldings of everything, as last mirrored.
  unsigned expandAll_ = 0;
  // The selection as the model last had it.
  std::vector<size_t> selected_;
  // The pictures the state image list was made from.
  std::vector<Tree::Picture> pictures_;
  int pictureSize_ = 0;
  HIMAGELIST states_ = nullptr;
  bool iconList_ = false;
  // Set while the model is being mirrored: the window's own notifications
  // of what the model did are not the user's doing.
  bool mirroring_ = false;
};

}  // namespace stw::forms::win32ui
