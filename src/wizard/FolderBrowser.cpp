#include "wizard/FolderBrowser.h"

#include <algorithm>

#include "base/SortedStrings.h"
#include "base/Text.h"

namespace stw {

namespace {

// The dialog as laid out, in design pixels: its client area, the margin
// kept around and between the controls, and the standard control sizes.
constexpr int kClientWidth = 378, kClientHeight = 268;
constexpr int kMargin = 8;
constexpr int kEditHeight = 21;
constexpr int kButtonWidth = 75, kButtonHeight = 25;

constexpr int kModalOk = 1, kModalCancel = 2;

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "X:" alone, which names the drive rather than the current folder on it
// only once its root's backslash is added.
bool IsBareDrive(const std::string& s) { return s.size() == 2 && IsAsciiLetter(s[0]) && s[1] == ':'; }

std::string WithoutTrailingSeparator(std::string s) {
  if (!s.empty() && IsSeparator(s.back())) s.pop_back();
  return s;
}

std::string Join(const std::string& folder, const std::string& name) { return WithTrailingBackslash(folder) + name; }

// Sets a flag for the length of a scope, so that it is cleared on every
// way out.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

std::string WithoutAccelerator(const std::string& caption) {
  std::string out;
  out.reserve(caption.size());
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] != '&') {
      out.push_back(caption[i]);
    } else if (i + 1 < caption.size() && caption[i + 1] == '&') {
      out.push_back('&');
      ++i;
    }
  }
  return out;
}

std::optional<std::string> BrowseResultToFolder(const std::string& r) {
  if (r.size() == 1 && IsAsciiLetter(r[0])) return r + ":\\";
  if (r.size() == 2 && IsAsciiLetter(r[0]) && r[1] == ':') return r + "\\";
  if (r.size() >= 3 && IsAsciiLetter(r[0]) && r[1] == ':' && r[2] == '\\') return r;
  if (r.size() >= 2 && r[0] == '\\' && r[1] == '\\') {
    size_t i = 2;
    while (i < r.size() && IsAsciiLetter(r[i])) ++i;
    // At least one letter of server name, then the separator and the
    // share's first letter; what follows is the share's business.
    if (i > 2 && i + 1 < r.size() && r[i] == '\\' && IsAsciiLetter(r[i + 1])) return r;
  }
  return std::nullopt;
}

TFormDirSel::TFormDirSel(forms::IBackend& backend, IFileSystem& fs, IDesktop& desktop, const forms::Font& font,
                         const std::string& okCaption, const std::string& cancelCaption)
    : fs_(fs),
      desktop_(desktop),
      form_(backend),
      // The form's font is set before any control is made, since each
      // control takes the form's font when it is made.
      Edit((form_.SetFont(font), form_.Add<forms::Edit>("Edit"))),
      ShellTree(form_.Add<forms::Tree>("ShellTree")),
      BtnOK(form_.Add<forms::Button>("BtnOK")),
      BtnCancel(form_.Add<forms::Button>("BtnCancel")) {
  form_.SetCaption("Select Folder");
  form_.SetBounds({0, 0, kClientWidth, kClientHeight});

  const int innerWidth = kClientWidth - 2 * kMargin;
  const int buttonTop = kClientHeight - kMargin - kButtonHeight;
  const int treeTop = kMargin + kEditHeight + kMargin;
  Edit.SetBounds({kMargin, kMargin, innerWidth, kEditHeight});
  ShellTree.SetBounds({kMargin, treeTop, innerWidth, buttonTop - kMargin - treeTop});
  BtnCancel.SetBounds({kClientWidth - kMargin - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight});
  BtnOK.SetBounds({BtnCancel.bounds().left - kMargin - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight});

  BtnOK.SetCaption(okCaption);
  BtnOK.SetDefault(true);
  BtnCancel.SetCaption(cancelCaption);
  BtnCancel.SetCancel(true);

  BtnOK.OnClick = [this] { form_.EndModal(kModalOk); };
  BtnCancel.OnClick = [this] { form_.EndModal(kModalCancel); };
  form_.OnCancel = [this] { form_.EndModal(kModalCancel); };
  ShellTree.OnSelect = [this] { ShellTreeClick(); };
  Edit.OnChange = [this] { EditChange(); };

  Rebuild({});
}

std::vector<std::string> TFormDirSel::Subfolders(const std::string& folder) {
  std::vector<std::string> names;
  for (const IFileSystem::Entry& e : fs_.ListFolder(folder, "", ""))
    if (e.folder) names.push_back(e.name);
  // Case-insensitive first; names that differ only in case (possible on
  // the simulated machine) keep one fixed order among themselves.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int c = CompareTextIgnoreCase(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  return names;
}

forms::TreeNode TFormDirSel::MakeNode(const std::string& text, const std::string& path,
                                      const std::vector<size_t>& treePath, const std::vector<std::string>& chain,
                                      size_t depth, std::vector<size_t>& deepest) {
  const size_t index = folders_.size();
  folders_.push_back({path, treePath, false});
  forms::TreeNode node;
  node.text = text;
  node.icon = forms::TreeIcon::Folder;
  node.data = index;
  if (depth < chain.size() && chain[depth] == path) {
    deepest = treePath;
    folders_[index].listed = true;
    const std::vector<std::string> names = Subfolders(path);
    node.children.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      std::vector<size_t> childPath = treePath;
      childPath.push_back(i);
      node.children.push_back(MakeNode(names[i], Join(path, names[i]), childPath, chain, depth + 1, deepest));
    }
    node.expanded = !node.children.empty();
  }
  return node;
}

std::vector<size_t> TFormDirSel::Rebuild(const std::vector<std::string>& chain) {
  folders_.clear();
  std::vector<size_t> deepest;
  std::vector<forms::TreeNode> nodes;
  // Read afresh each time: a stick may have been plugged in meanwhile.
  const std::vector<std::string> drives = desktop_.LogicalDrives();
  nodes.reserve(drives.size());
  for (size_t i = 0; i < drives.size(); ++i)
    nodes.push_back(MakeNode(WithoutTrailingSeparator(drives[i]), drives[i], {i}, chain, 0, deepest));
  ShellTree.SetNodes(std::move(nodes));
  return deepest;
}

bool TFormDirSel::FolderExists(const std::string& path) {
  if (path.empty()) return false;
  return fs_.DirectoryExists(IsBareDrive(path) ? path + "\\" : path);
}

void TFormDirSel::SelectFolder(const std::string& path) {
  // Only paths on a drive have a node; "X:name" is relative to the
  // current folder of X: and has none either.
  if (path.size() < 2 || !IsBareDrive(path.substr(0, 2)) || (path.size() > 2 && !IsSeparator(path[2]))) return;
  std::vector<std::string> chain;
  for (const std::string& root : desktop_.LogicalDrives())
    if (root.size() >= 2 && SameTextIgnoreCase(root.substr(0, 2), path.substr(0, 2))) {
      chain.push_back(root);
      break;
    }
  if (chain.empty()) return;

  // "." and ".." are resolved by their text, as the system resolves them
  // in a path, before the names are looked for.
  std::vector<std::string> names;
  size_t start = 2;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string name = path.substr(start, end - start);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  // The nodes carry the names as the folders spell them, whatever the
  // case of the typed text; an exact match wins where case alone differs.
  for (const std::string& name : names) {
    const std::vector<std::string> subs = Subfolders(chain.back());
    auto it = std::find(subs.begin(), subs.end(), name);
    if (it == subs.end())
      it = std::find_if(subs.begin(), subs.end(), [&](const std::string& s) { return SameTextIgnoreCase(s, name); });
    // Not listed as a folder (a link, say): its nearest shown ancestor
    // stands for it.
    if (it == subs.end()) break;
    chain.push_back(Join(chain.back(), *it));
  }

  for (const Folder& f : folders_)
    if (f.listed && f.path == chain.back()) {
      ShellTree.Select(f.treePath);
      return;
    }
  ShellTree.Select(Rebuild(chain));
}

void TFormDirSel::ShellTreeClick() {
  if (Updating) return;
  FlagScope updating(Updating);
  const std::vector<size_t> selected = ShellTree.selected();
  const forms::TreeNode* node = ShellTree.Node(selected);
  if (!node || node->data >= folders_.size()) return;
  const std::string path = folders_[node->data].path;
  if (!folders_[node->data].listed) {
    // The tree cannot unfold a node by itself: its subfolders are read
    // now, and the nodes made again with the selection's line unfolded.
    std::vector<std::string> chain;
    std::vector<size_t> prefix;
    for (size_t i : selected) {
      prefix.push_back(i);
      chain.push_back(folders_[ShellTree.Node(prefix)->data].path);
    }
    ShellTree.Select(Rebuild(chain));
  }
  Edit.SetText(path);
}

void TFormDirSel::EditChange() {
  if (Updating) return;
  FlagScope updating(Updating);
  std::string path = WithoutTrailingSeparator(Edit.text());
  for (;;) {
    if (FolderExists(path)) {
      SelectFolder(WithTrailingBackslash(path));
      return;
    }
    std::string parent = ExtractFileDir(path);
    while (!parent.empty() && IsSeparator(parent.back())) parent.pop_back();
    // Each parent is shorter than its path, down to "": this ends.
    if (parent == path) return;
    path = parent;
  }
}

void TFormDirSel::CentreOnScreen() {
  // Centred in what the taskbars leave of the monitor, the frame counted;
  // a dialog larger than that keeps its top left corner in view.
  const forms::Screen s = form_.backend().ScreenOf(form_);
  const int outerWidth = kClientWidth + s.frameWidth, outerHeight = kClientHeight + s.frameHeight;
  const int left = s.workLeft + std::max(0, (s.workWidth - outerWidth) / 2);
  const int top = s.workTop + std::max(0, (s.workHeight - outerHeight) / 2);
  form_.SetBounds({left, top, kClientWidth, kClientHeight});
}

std::optional<std::string> TFormDirSel::Browse(const std::string& caption, const std::string& path) {
  form_.SetCaption(caption);
  Rebuild({});
  Edit.SetText(path);
  EditChange();
  form_.SetFocus(&Edit);
  CentreOnScreen();
  if (form_.ShowModal() != kModalOk) return std::nullopt;
  return Edit.text();
}

}  // namespace stw
