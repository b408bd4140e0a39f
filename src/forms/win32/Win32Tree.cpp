#include "forms/win32/Win32Tree.h"

#include <cstring>

#include "forms/win32/Win32Controls.h"
#include "platform/win32/Win32Common.h"

#include <shellapi.h>
#include <shlobj.h>
#include <windowsx.h>

namespace stw::forms::win32ui {

using win32::SystemRoutine;
using win32::Wide;

namespace {

// The shell's small icons: one image list for the whole system, owned by
// the shell (a tree never destroys its image lists, so sharing it is safe).
constexpr UINT kSystemIcon = SHGFI_USEFILEATTRIBUTES | SHGFI_SYSICONINDEX | SHGFI_SMALLICON;

HIMAGELIST SystemSmallIcons() {
  SHFILEINFOW info{};
  return reinterpret_cast<HIMAGELIST>(SHGetFileInfoW(L"file", FILE_ATTRIBUTE_NORMAL, &info, sizeof info, kSystemIcon));
}

// The system image list's index of the icon that a file or folder of this
// name gets. The file need not exist: the shell goes by the name and the
// attributes. Asked once per name and kind, since the shell is slow to answer.
int SystemIcon(const std::wstring& name, DWORD attributes, UINT extra) {
  static std::map<std::wstring, int> known;
  const std::wstring key = std::to_wstring(attributes) + L"|" + std::to_wstring(extra) + L"|" + name;
  const auto it = known.find(key);
  if (it != known.end()) return it->second;
  SHFILEINFOW info{};
  const int index = SHGetFileInfoW(name.c_str(), attributes, &info, sizeof info, kSystemIcon | extra) ? info.iIcon
                                                                                                       : I_IMAGENONE;
  known[key] = index;
  return index;
}

// The shell's overlay index (one-based) of the arrow that marks a shortcut;
// 0 when the shell has none to offer.
UINT LinkOverlay() {
  static const UINT overlay = [] {
    using Fn = int(WINAPI*)(LPCWSTR, int);
    const Fn get = SystemRoutine<Fn>(L"shell32.dll", "SHGetIconOverlayIndexW");
    const int index = get ? get(nullptr, IDO_SHGIOI_LINK) : -1;
    return index > 0 && index <= 15 ? static_cast<UINT>(index) : 0u;
  }();
  return overlay;
}

bool SamePictures(const std::vector<Tree::Picture>& a, const std::vector<Tree::Picture>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].size != b[i].size || a[i].pixels != b[i].pixels) return false;
  return true;
}

bool AnyIcon(const std::vector<TreeNode>& nodes) {
  for (const TreeNode& n : nodes)
    if (n.icon != TreeIcon::None || AnyIcon(n.children)) return true;
  return false;
}

// The state index bits of an item (four bits: 0 to 15).
UINT StateBits(int image) { return image > 0 && image <= 15 ? INDEXTOSTATEIMAGEMASK(static_cast<UINT>(image)) : 0; }

}  // namespace

TreeWindow::TreeWindow(Tree& tree, HWND window) : tree_(tree), window_(window), lists_(ImageListsOf(window)) {}

TreeWindow::~TreeWindow() {
  // The window is gone by now (it never owns its image lists).
  if (states_ && lists_.destroy) lists_.destroy(states_);
}

TreeWindow::ImageLists TreeWindow::ImageListsOf(HWND window) {
  // The library is the one whose code is the window's procedure (asked
  // before the window is subclassed); the system folder's when that
  // cannot be told.
  ImageLists lists;
  HMODULE module = nullptr;
  const auto proc = reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(window, GWLP_WNDPROC));
  if (proc && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 proc, &module) &&
      module) {
    const auto routine = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
    lists.create = reinterpret_cast<decltype(lists.create)>(routine("ImageList_Create"));
    lists.add = reinterpret_cast<decltype(lists.add)>(routine("ImageList_Add"));
    lists.destroy = reinterpret_cast<decltype(lists.destroy)>(routine("ImageList_Destroy"));
  }
  if (!lists.create || !lists.add || !lists.destroy) {
    const CommonControls& cc = Comctl();
    lists = {cc.imageListCreate, cc.imageListAdd, cc.imageListDestroy};
  }
  return lists;
}

// A 32-bit image list of the pictures behind a blank first image: the
// tree's state index 0 means "no state image", so picture 1 must be
// image 1. The pictures are premultiplied 0xAARRGGBB, which is exactly a
// top-down 32-bit DIB's memory layout.
HIMAGELIST TreeWindow::MakeStateImages() const {
  const std::vector<Tree::Picture>& pictures = pictures_;
  if (pictures.empty() || !lists_.create || !lists_.add || !lists_.destroy) return nullptr;
  const int size = pictures.front().size > 0 ? pictures.front().size : pictureSize_;
  if (size <= 0 || size > 256) return nullptr;
  const int count = static_cast<int>(pictures.size()) + 1;
  HIMAGELIST list = lists_.create(size, size, ILC_COLOR32, count, 0);
  if (!list) return nullptr;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = size * count;
  bi.bmiHeader.biHeight = -size;  // top-down, as the pictures are
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP strip = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!strip || !bits) {
    if (strip) DeleteObject(strip);
    lists_.destroy(list);
    return nullptr;
  }
  auto* px = static_cast<uint32_t*>(bits);
  const size_t stride = static_cast<size_t>(size) * count;
  std::memset(px, 0, stride * size * sizeof(uint32_t));
  for (size_t k = 0; k < pictures.size(); ++k) {
    const Tree::Picture& p = pictures[k];
    // A picture of another size than the first stays blank rather than
    // being cut or read past its end.
    if (p.size != size || p.pixels.size() != static_cast<size_t>(size) * size) continue;
    for (int y = 0; y < size; ++y)
      std::memcpy(px + y * stride + (k + 1) * size, p.pixels.data() + static_cast<size_t>(y) * size,
                  size * sizeof(uint32_t));
  }
  GdiFlush();
  lists_.add(list, strip, nullptr);
  DeleteObject(strip);
  return list;
}

DWORD TreeWindow::Style(bool lines) {
  DWORD style = TVS_HASBUTTONS | TVS_SHOWSELALWAYS | TVS_DISABLEDRAGDROP;
  if (lines) style |= TVS_HASLINES | TVS_LINESATROOT;
  return style;
}

void TreeWindow::SetIndent(int pixels) { SendMessageW(window_, TVM_SETINDENT, static_cast<WPARAM>(pixels), 0); }

void TreeWindow::SyncStyle() {
  const LONG_PTR now = GetWindowLongPtrW(window_, GWL_STYLE);
  const LONG_PTR lines = TVS_HASLINES | TVS_LINESATROOT;
  const LONG_PTR want = tree_.showLines() ? (now | lines) : (now & ~lines);
  if (want != now) {
    SetWindowLongPtrW(window_, GWL_STYLE, want);
    InvalidateRect(window_, nullptr, TRUE);
  }
  const bool was = mirroring_;
  mirroring_ = true;
  SyncPictures();
  mirroring_ = was;
}

void TreeWindow::SyncPictures() {
  if (pictureSize_ == tree_.stateImageSize && SamePictures(pictures_, tree_.statePictures)) return;
  pictures_ = tree_.statePictures;
  pictureSize_ = tree_.stateImageSize;
  HIMAGELIST made = MakeStateImages();
  SendMessageW(window_, TVM_SETIMAGELIST, TVSIL_STATE, reinterpret_cast<LPARAM>(made));
  if (states_ && lists_.destroy) lists_.destroy(states_);
  states_ = made;
  InvalidateRect(window_, nullptr, TRUE);
}

void TreeWindow::SyncIconList() {
  // Without icons the tree keeps no room for them in front of the texts.
  const bool any = AnyIcon(tree_.nodes());
  if (any == iconList_) return;
  iconList_ = any;
  SendMessageW(window_, TVM_SETIMAGELIST, TVSIL_NORMAL, any ? reinterpret_cast<LPARAM>(SystemSmallIcons()) : 0);
}

TreeWindow::Icon TreeWindow::IconFor(const TreeNode& n) {
  const std::wstring name = n.iconFile.empty() ? std::wstring(L"file") : Wide(n.iconFile);
  Icon icon;
  switch (n.icon) {
    case TreeIcon::None:
      return icon;
    case TreeIcon::Folder:
      icon.image = SystemIcon(L"folder", FILE_ATTRIBUTE_DIRECTORY, 0);
      icon.selected = SystemIcon(L"folder", FILE_ATTRIBUTE_DIRECTORY, SHGFI_OPENICON);
      return icon;
    case TreeIcon::File:
      icon.image = icon.selected = SystemIcon(name, FILE_ATTRIBUTE_NORMAL, 0);
      return icon;
    case TreeIcon::Shortcut:
      // The target's icon with the shell's arrow over it, as a shortcut
      // shows on the desktop; a shell without overlays shows the icon of
      // a shortcut file instead.
      if (const UINT overlay = LinkOverlay()) {
        icon.image = icon.selected = SystemIcon(name, FILE_ATTRIBUTE_NORMAL, 0);
        icon.overlay = INDEXTOOVERLAYMASK(overlay);
      } else {
        icon.image = icon.selected = SystemIcon(name + L".lnk", FILE_ATTRIBUTE_NORMAL, 0);
      }
      return icon;
    case TreeIcon::InternetShortcut:
      icon.image = icon.selected = SystemIcon(L"link.url", FILE_ATTRIBUTE_NORMAL, 0);
      return icon;
    case TreeIcon::Component:
      // A part of the product: the shell's icon of a program.
      icon.image = icon.selected = SystemIcon(L"component.exe", FILE_ATTRIBUTE_NORMAL, 0);
      return icon;
  }
  return icon;
}

TreeWindow::Item TreeWindow::Mirror(const TreeNode& n) {
  Item it;
  it.text = n.text;
  it.stateImage = n.stateImage;
  it.icon = n.icon;
  it.iconFile = n.iconFile;
  it.expanded = n.expanded;
  return it;
}

bool TreeWindow::SameShape(const std::vector<TreeNode>& nodes, const std::vector<Item>& items) {
  if (nodes.size() != items.size()) return false;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!SameShape(nodes[i].children, items[i].children)) return false;
  return true;
}

void TreeWindow::SyncNodes() {
  const bool was = mirroring_;
  mirroring_ = true;
  SyncPictures();
  SyncIconList();
  // The usual change is a state image or an unfolded node: the items are
  // changed in place, so the window keeps its scroll position and focus.
  // Only nodes that came or went rebuild it.
  if (SameShape(tree_.nodes(), items_)) {
    // After ExpandAll every node follows the model, also one the user
    // folded or unfolded by hand (which the mirror does not know).
    if (expandAll_ != tree_.expandAllCount()) ForgetExpansion(items_);
    Update(tree_.nodes(), items_);
  }
  else
    Rebuild();
  expandAll_ = tree_.expandAllCount();
  SyncSelection();
  mirroring_ = was;
  if (was) return;
  // Folding a node moves the window's selection from a hidden child to
  // the node: the model follows what the user sees.
  const auto now = reinterpret_cast<HTREEITEM>(SendMessageW(window_, TVM_GETNEXTITEM, TVGN_CARET, 0));
  const std::vector<size_t> path = PathOf(now);
  if (!path.empty() && path != tree_.selected()) {
    selected_ = path;
    tree_.Select(path);
  }
}

void TreeWindow::Rebuild() {
  SendMessageW(window_, WM_SETREDRAW, FALSE, 0);
  SendMessageW(window_, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
  items_.clear();
  paths_.clear();
  selected_.clear();
  std::vector<size_t> path;
  Insert(tree_.nodes(), TVI_ROOT, items_, path);
  SendMessageW(window_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(window_, nullptr, TRUE);
}

void TreeWindow::Insert(const std::vector<TreeNode>& nodes, HTREEITEM parent, std::vector<Item>& into,
                        std::vector<size_t>& path) {
  into.reserve(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& n = nodes[i];
    path.push_back(i);
    Item it = Mirror(n);
    const Icon icon = IconFor(n);
    std::wstring text = Wide(n.text);
    TVINSERTSTRUCTW ins{};
    ins.hParent = parent;
    ins.hInsertAfter = TVI_LAST;
    ins.item.mask = TVIF_TEXT | TVIF_STATE | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    ins.item.pszText = text.data();
    ins.item.state = StateBits(n.stateImage) | icon.overlay;
    ins.item.stateMask = TVIS_STATEIMAGEMASK | TVIS_OVERLAYMASK;
    ins.item.iImage = icon.image;
    ins.item.iSelectedImage = icon.selected;
    it.handle = reinterpret_cast<HTREEITEM>(SendMessageW(window_, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins)));
    if (it.handle) {
      paths_[it.handle] = path;
      Insert(n.children, it.handle, it.children, path);
      if (n.expanded) SendMessageW(window_, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(it.handle));
    }
    into.push_back(std::move(it));
    path.pop_back();
  }
}

void TreeWindow::ForgetExpansion(std::vector<Item>& items) {
  for (Item& it : items) {
    it.expanded = it.handle && (SendMessageW(window_, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(it.handle),
                                             TVIS_EXPANDED) & TVIS_EXPANDED) != 0;
    ForgetExpansion(it.children);
  }
}

void TreeWindow::Update(const std::vector<TreeNode>& nodes, std::vector<Item>& items) {
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& n = nodes[i];
    Item& it = items[i];
    TVITEMW tv{};
    tv.hItem = it.handle;
    std::wstring text;
    if (n.text != it.text) {
      text = Wide(n.text);
      tv.mask |= TVIF_TEXT;
      tv.pszText = text.data();
    }
    if (n.stateImage != it.stateImage) {
      tv.mask |= TVIF_STATE;
      tv.state |= StateBits(n.stateImage);
      tv.stateMask |= TVIS_STATEIMAGEMASK;
    }
    if (n.icon != it.icon || n.iconFile != it.iconFile) {
      const Icon icon = IconFor(n);
      tv.mask |= TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_STATE;
      tv.iImage = icon.image;
      tv.iSelectedImage = icon.selected;
      tv.state |= icon.overlay;
      tv.stateMask |= TVIS_OVERLAYMASK;
    }
    if (tv.mask && it.handle) SendMessageW(window_, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    Update(n.children, it.children);
    if (n.expanded != it.expanded && it.handle)
      SendMessageW(window_, TVM_EXPAND, n.expanded ? TVE_EXPAND : TVE_COLLAPSE, reinterpret_cast<LPARAM>(it.handle));
    const HTREEITEM handle = it.handle;
    std::vector<Item> children = std::move(it.children);
    it = Mirror(n);
    it.handle = handle;
    it.children = std::move(children);
  }
}

void TreeWindow::SyncSelection() {
  if (tree_.selected() == selected_) return;
  selected_ = tree_.selected();
  SendMessageW(window_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(ItemOf(selected_)));
}

std::vector<size_t> TreeWindow::PathOf(HTREEITEM item) const {
  const auto it = item ? paths_.find(item) : paths_.end();
  return it == paths_.end() ? std::vector<size_t>{} : it->second;
}

HTREEITEM TreeWindow::ItemOf(const std::vector<size_t>& path) const {
  const std::vector<Item>* level = &items_;
  HTREEITEM found = nullptr;
  for (size_t i : path) {
    if (i >= level->size()) return nullptr;
    found = (*level)[i].handle;
    level = &(*level)[i].children;
  }
  return found;
}

LRESULT TreeWindow::Message(UINT msg, WPARAM wp, LPARAM lp, WNDPROC original) {
  switch (msg) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      // A fast second click arrives as a double click: on a state image it
      // is one more click, never the double click that folds the node.
      TVHITTESTINFO hit{};
      hit.pt = {GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
      const auto item = reinterpret_cast<HTREEITEM>(SendMessageW(window_, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
      if (item && (hit.flags & TVHT_ONITEMSTATEICON)) {
        const std::vector<size_t> path = PathOf(item);
        if (!path.empty()) tree_.ClickState(path);
        // The press still selects the node and focuses the tree.
        return CallWindowProcW(original, window_, WM_LBUTTONDOWN, wp, lp);
      }
      break;
    }
    // Space toggles through the dialog's rules, once; the tree's own Space
    // handling (a search for items starting with a blank, or a check box
    // of its own) never sees any of the three messages.
    case WM_KEYDOWN:
      if (wp == VK_SPACE) {
        tree_.form().SetFocus(&tree_);
        tree_.form().Press(Key::Space);
        return 0;
      }
      break;
    case WM_CHAR:
      if (wp == L' ') return 0;
      break;
    case WM_KEYUP:
      if (wp == VK_SPACE) return 0;
      break;
    default:
      break;
  }
  return CallWindowProcW(original, window_, msg, wp, lp);
}

bool TreeWindow::Notify(const NMHDR& n, LRESULT& result) {
  if (n.code != TVN_SELCHANGEDW && n.code != TVN_SELCHANGEDA) return false;
  result = 0;
  if (mirroring_) return true;
  // Both variants start alike up to the new item's handle.
  const auto& change = reinterpret_cast<const NMTREEVIEWW&>(n);
  const std::vector<size_t> path = PathOf(change.itemNew.hItem);
  if (path.empty()) return true;
  selected_ = path;
  tree_.Select(path);
  return true;
}

}  // namespace stw::forms::win32ui
