#include "forms/Forms.h"

#include "base/Text.h"

#include <algorithm>
#include <chrono>

namespace stw::forms {

const char* KindName(Kind k) {
  switch (k) {
    case Kind::Button: return "Button";
    case Kind::Label: return "Label";
    case Kind::LinkLabel: return "LinkLabel";
    case Kind::Edit: return "Edit";
    case Kind::CheckBox: return "CheckBox";
    case Kind::Tree: return "Tree";
    case Kind::ReportList: return "ReportList";
    case Kind::RichEdit: return "RichEdit";
    case Kind::Memo: return "Memo";
    case Kind::ProgressBar: return "ProgressBar";
    case Kind::Image: return "Image";
  }
  return "?";
}

const char* PropertyName(Property p) {
  switch (p) {
    case Property::Bounds: return "Bounds";
    case Property::Caption: return "Caption";
    case Property::Hint: return "Hint";
    case Property::Visible: return "Visible";
    case Property::Enabled: return "Enabled";
    case Property::Font: return "Font";
    case Property::Colour: return "Colour";
    case Property::TabOrder: return "TabOrder";
    case Property::Default: return "Default";
    case Property::Cancel: return "Cancel";
    case Property::Shield: return "Shield";
    case Property::Checked: return "Checked";
    case Property::Text: return "Text";
    case Property::Nodes: return "Nodes";
    case Property::Rows: return "Rows";
    case Property::Range: return "Range";
    case Property::Position: return "Position";
    case Property::Focus: return "Focus";
    case Property::Selection: return "Selection";
    case Property::Style: return "Style";
    case Property::Taskbar: return "Taskbar";
    case Property::Bands: return "Bands";
    case Property::SystemMenu: return "SystemMenu";
    case Property::Picture: return "Picture";
    case Property::Border: return "Border";
    case Property::Front: return "Front";
  }
  return "?";
}

// ---------------------------------------------------------------- control

Control::Control(Form& form, Kind kind, std::string name)
    : form_(form), kind_(kind), name_(std::move(name)), font_(form.font()) {}

void Control::Changed(Property p) { form_.backend_.Changed(*this, p); }

// Each setter tells the backend only of a real change, so that a page that
// sets what it shows on every visit costs the real windows nothing.
template <class T>
static bool Assign(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}

void Control::SetBounds(const Bounds& b) {
  if (Assign(bounds_, b)) Changed(Property::Bounds);
}
void Control::SetCaption(const std::string& s) {
  if (Assign(caption_, s)) Changed(Property::Caption);
}
void Control::SetHint(const std::string& s) {
  if (Assign(hint_, s)) Changed(Property::Hint);
}
void Control::SetVisible(bool v) {
  if (!Assign(visible_, v)) return;
  Changed(Property::Visible);
  // A hidden control keeps no focus: it moves on as Tab would move it.
  if (!v && form_.focused_ == this) form_.FocusNext(false);
}
void Control::SetEnabled(bool v) {
  if (!Assign(enabled_, v)) return;
  Changed(Property::Enabled);
  if (!v && form_.focused_ == this) form_.FocusNext(false);
}
void Control::SetFont(const Font& f) {
  if (Assign(font_, f)) Changed(Property::Font);
}
void Control::SetColour(Colour c) {
  if (Assign(colour_, c)) Changed(Property::Colour);
}
void Control::SetTabOrder(int t) {
  if (Assign(tabOrder_, t)) Changed(Property::TabOrder);
}

void Control::Click() {
  // What the user cannot reach does not react, whoever clicks.
  if (!visible_ || !enabled_) return;
  // A copy runs: a handler may give the control another one meanwhile.
  if (OnClick) form_.Guard(std::function<void()>(OnClick));
}

void Button::SetDefault(bool v) {
  if (!Assign(default_, v)) return;
  Changed(Property::Default);
  // One default button per form.
  if (v)
    for (const auto& c : form().controls())
      if (c.get() != this && c->kind() == Kind::Button) static_cast<Button&>(*c).SetDefault(false);
}
void Button::SetCancel(bool v) {
  if (Assign(cancel_, v)) Changed(Property::Cancel);
}
void Button::SetShield(bool v) {
  if (Assign(shield_, v)) Changed(Property::Shield);
}

void Label::SetAlign(Align a) {
  if (Assign(align_, a)) Changed(Property::Style);
}

void Label::SetWordWrap(bool v) {
  if (Assign(wordWrap_, v)) Changed(Property::Style);
}

void Label::SetTransparent(bool v) {
  if (Assign(transparent_, v)) Changed(Property::Style);
}

void Label::SetShowAccelChar(bool v) {
  if (Assign(showAccelChar_, v)) Changed(Property::Style);
}

void Label::AutoSize() {
  const Size s = form().MeasureText(font(), caption());
  SetBounds({bounds().left, bounds().top, s.width, s.height});
}

void LinkLabel::MouseEnter() {
  normal_ = colour();
  SetColour(pressed_ ? colorClick : colorMoveOver);
}

void LinkLabel::MouseLeave() { SetColour(normal_); }

void LinkLabel::MouseDown() {
  pressed_ = true;
  SetColour(colorClick);
}

void LinkLabel::MouseUp(int x, int y) {
  // A release on the label, its right and bottom edges included, is a
  // click; dragged off and released elsewhere, it is not.
  if (x >= 0 && x <= bounds().width && y >= 0 && y <= bounds().height) {
    if (pressed_ && OnOpen) form().Guard([&] { OnOpen(url.empty() ? caption() : url); });
    SetColour(colorMoveOver);
  } else {
    SetColour(normal_);
  }
  pressed_ = false;
}

void CheckBox::SetChecked(bool v) {
  if (Assign(checked_, v)) Changed(Property::Checked);
}
void CheckBox::Toggle() {
  if (!visible() || !enabled()) return;
  SetChecked(!checked_);
  Click();
}

void TextControl::SetText(const std::string& s) {
  if (Assign(text_, s)) Changed(Property::Text);
}
void TextControl::Type(const std::string& s) {
  if (readOnly_ || !visible() || !enabled()) return;
  SetText(maxLength > 0 ? FirstCharacters(s, static_cast<size_t>(maxLength)) : s);
  if (OnChange) form().Guard(std::function<void()>(OnChange));
}

void Tree::SetNodes(std::vector<TreeNode> nodes) {
  nodes_ = std::move(nodes);
  selected_.clear();
  Changed(Property::Nodes);
}

const TreeNode* Tree::Node(const std::vector<size_t>& path) const {
  if (path.empty()) return nullptr;
  const std::vector<TreeNode>* level = &nodes_;
  const TreeNode* n = nullptr;
  for (size_t i : path) {
    if (i >= level->size()) return nullptr;
    n = &(*level)[i];
    level = &n->children;
  }
  return n;
}

TreeNode* Tree::MutableNode(const std::vector<size_t>& path) { return const_cast<TreeNode*>(Node(path)); }

void Tree::SetStateImage(const std::vector<size_t>& path, int image) {
  TreeNode* n = MutableNode(path);
  if (n && Assign(n->stateImage, image)) Changed(Property::Nodes);
}

void Tree::Select(const std::vector<size_t>& path) {
  if (!Node(path) || path == selected_) return;
  selected_ = path;
  Changed(Property::Nodes);
  if (OnSelect) form().Guard(std::function<void()>(OnSelect));
}

void Tree::ClickState(const std::vector<size_t>& path) {
  if (!visible() || !enabled() || !Node(path)) return;
  if (OnStateClick) form().Guard([handler = OnStateClick, path] { handler(path); });
}

void Tree::SetShowLines(bool v) {
  if (Assign(showLines_, v)) Changed(Property::Style);
}

void Tree::ExpandAll(bool expand) {
  std::function<void(std::vector<TreeNode>&)> walk = [&](std::vector<TreeNode>& level) {
    for (TreeNode& n : level) {
      n.expanded = expand && !n.children.empty();
      walk(n.children);
    }
  };
  walk(nodes_);
  ++expandAll_;
  Changed(Property::Nodes);
}

void ReportList::SetRows(std::vector<std::vector<std::string>> rows) {
  rows_ = std::move(rows);
  selected_ = -1;
  Changed(Property::Rows);
}

void ReportList::Select(int row) {
  if (row < -1 || row >= static_cast<int>(rows_.size())) row = -1;
  if (Assign(selected_, row)) Changed(Property::Selection);
}

void ReportList::ClickRow(int row) {
  if (!visible() || !enabled() || row < 0 || row >= static_cast<int>(rows_.size())) return;
  Select(row);
  Click();
}

void ProgressBar::SetMaximum(uint64_t m) {
  if (!Assign(max_, m)) return;
  Changed(Property::Range);
  if (pos_ > max_) SetPosition(max_);
}
void ProgressBar::SetPosition(uint64_t p) {
  if (Assign(pos_, std::min(p, max_))) Changed(Property::Position);
}

bool Image::SetPicture(std::string bytes) {
  const PictureInfo info = ReadPictureInfo(bytes);
  if (!info.valid()) {
    ClearPicture();
    return false;
  }
  bytes_ = std::move(bytes);
  info_ = info;
  Changed(Property::Picture);
  FitPicture();
  return true;
}

void Image::ClearPicture() {
  if (!info_.valid() && bytes_.empty()) return;
  bytes_.clear();
  info_ = {};
  Changed(Property::Picture);
  FitPicture();
}

void Image::SetAutoSize(bool v) {
  if (!Assign(autoSize_, v)) return;
  FitPicture();
}

void Image::SetTransparent(bool v) {
  if (Assign(transparent_, v)) Changed(Property::Picture);
}

void Image::FitPicture() {
  if (autoSize_) SetBounds({bounds().left, bounds().top, info_.width, info_.height});
}

// ---------------------------------------------------------------- picture headers

namespace {

uint32_t Le16(std::string_view b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
uint32_t Le32(std::string_view b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }
uint32_t Be16(std::string_view b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at]) << 8 | static_cast<unsigned char>(b[at + 1]));
}
uint32_t Be32(std::string_view b, size_t at) { return Be16(b, at) << 16 | Be16(b, at + 2); }

PictureInfo Sized(PictureFormat f, int64_t w, int64_t h) {
  if (w <= 0 || h <= 0 || w > kMaxPictureSide || h > kMaxPictureSide || w * h > kMaxPicturePixels) return {};
  return {f, static_cast<int>(w), static_cast<int>(h)};
}

PictureInfo BmpInfo(std::string_view b) {
  if (b.size() < 26) return {};
  const uint32_t dataAt = Le32(b, 10), header = Le32(b, 14);
  int64_t w = 0, h = 0;
  uint32_t bits = 0, compression = 0;
  if (header == 12) {  // the old OS/2 header: 16-bit sizes
    w = Le16(b, 18);
    h = Le16(b, 20);
    bits = Le16(b, 24);
    if (Le16(b, 22) != 1) return {};
  } else if (header >= 40 && header <= 124) {
    if (b.size() < 14 + 40) return {};
    w = static_cast<int32_t>(Le32(b, 18));
    h = static_cast<int32_t>(Le32(b, 22));
    if (h < 0) h = -h;  // rows stored from the top
    if (Le16(b, 26) != 1) return {};
    bits = Le16(b, 28);
    compression = Le32(b, 30);
  } else {
    return {};
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};
  const PictureInfo info = Sized(PictureFormat::Bmp, w, h);
  if (!info.valid() || dataAt >= b.size()) return {};
  // Uncompressed rows (plain or with bit-field masks) must all be there:
  // a file cut short is refused rather than shown half.
  if (compression == 0 || compression == 3 || compression == 6) {
    const uint64_t row = (static_cast<uint64_t>(info.width) * bits + 31) / 32 * 4;
    if (dataAt + row * static_cast<uint64_t>(info.height) > b.size()) return {};
  } else if (compression != 1 && compression != 2) {
    return {};  // JPEG or PNG inside a BMP: not ours to show
  }
  return info;
}

PictureInfo PngInfo(std::string_view b) {
  if (b.size() < 33 || b.substr(12, 4) != "IHDR" || Be32(b, 8) != 13) return {};
  const uint32_t w = Be32(b, 16), h = Be32(b, 20);
  if (w > 0x7FFFFFFF || h > 0x7FFFFFFF) return {};
  return Sized(PictureFormat::Png, w, h);
}

PictureInfo GifInfo(std::string_view b) {
  if (b.size() < 13) return {};
  return Sized(PictureFormat::Gif, Le16(b, 6), Le16(b, 8));
}

PictureInfo JpegInfo(std::string_view b) {
  size_t p = 2;
  while (p + 4 <= b.size()) {
    if (static_cast<unsigned char>(b[p]) != 0xFF) return {};
    const unsigned char m = static_cast<unsigned char>(b[p + 1]);
    if (m == 0xFF) {  // fill byte before a marker
      ++p;
      continue;
    }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {  // markers without a length
      p += 2;
      continue;
    }
    if (m == 0xD9 || m == 0xDA) return {};  // the data began before any frame header
    const uint32_t len = Be16(b, p + 2);
    if (len < 2) return {};
    const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    if (frame) {
      if (len < 8 || p + 2 + len > b.size()) return {};
      return Sized(PictureFormat::Jpeg, Be16(b, p + 7), Be16(b, p + 5));
    }
    p += 2 + len;
  }
  return {};
}

PictureInfo IconInfo(std::string_view b) {
  if (b.size() < 22 || Le16(b, 4) == 0) return {};
  const int w = static_cast<unsigned char>(b[6]), h = static_cast<unsigned char>(b[7]);
  const uint64_t size = Le32(b, 14), at = Le32(b, 18);
  if (size == 0 || at < 22 || at + size > b.size()) return {};
  return Sized(PictureFormat::Icon, w ? w : 256, h ? h : 256);
}

}  // namespace

PictureInfo ReadPictureInfo(std::string_view b) {
  if (b.size() >= 2 && b.substr(0, 2) == "BM") return BmpInfo(b);
  if (b.size() >= 8 && b.substr(0, 8) == std::string_view("\x89PNG\r\n\x1A\n", 8)) return PngInfo(b);
  if (b.size() >= 6 && (b.substr(0, 6) == "GIF87a" || b.substr(0, 6) == "GIF89a")) return GifInfo(b);
  if (b.size() >= 3 && b.substr(0, 3) == "\xFF\xD8\xFF") return JpegInfo(b);
  if (b.size() >= 4 && b.substr(0, 4) == std::string_view("\0\0\1\0", 4)) return IconInfo(b);
  return {};
}

void KeyOutTransparentColour(std::vector<uint32_t>& pixels, int width, int height) {
  if (width <= 0 || height <= 0 || pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) return;
  for (uint32_t p : pixels)
    if ((p >> 24) != 0xFF) return;
  const uint32_t key = pixels[static_cast<size_t>(height - 1) * static_cast<size_t>(width)];
  for (uint32_t& p : pixels)
    if (p == key) p = 0;
}

std::vector<BandArea> Bands(int width, int height, Colour top, Colour bottom) {
  std::vector<BandArea> out;
  const int n = height / 4;
  if (n < 1) return out;
  out.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out.push_back({4 * i, 4 * i + 5, width + 1, BandColour(top, bottom, n, i)});
  return out;
}

Colour BandColour(Colour top, Colour bottom, int n, int i) {
  if (n <= 0) return top;
  Colour c = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const int a = static_cast<int>((top >> shift) & 0xFF), b = static_cast<int>((bottom >> shift) & 0xFF);
    c |= static_cast<Colour>(((n - i) * a + i * b) / n) << shift;
  }
  return c;
}

// ---------------------------------------------------------------- dispatcher

void Dispatcher::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> g(lock_);
    auto call = std::make_shared<Call>();
    call->fn = std::move(fn);
    queue_.push_back(std::move(call));
  }
  queued_.notify_all();
  backend_.Wake();
}

void Dispatcher::Synchronize(const std::function<void()>& fn) {
  if (OnMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<Call>();
  call->fn = fn;
  call->waited = true;
  std::unique_lock<std::mutex> g(lock_);
  queue_.push_back(call);
  g.unlock();
  queued_.notify_all();
  backend_.Wake();
  g.lock();
  ran_.wait(g, [&] { return call->done; });
  if (call->error) std::rethrow_exception(call->error);
}

bool Dispatcher::WaitForCalls(int ms) {
  std::unique_lock<std::mutex> g(lock_);
  return queued_.wait_for(g, std::chrono::milliseconds(ms), [&] { return !queue_.empty(); });
}

bool Dispatcher::Service() {
  // Only what is queued now: a call that queues another does not keep the
  // main thread here for ever.
  std::deque<std::shared_ptr<Call>> now;
  {
    std::lock_guard<std::mutex> g(lock_);
    now.swap(queue_);
  }
  for (auto& call : now) {
    try {
      call->fn();
    } catch (...) {
      // A waiting worker gets its own exception back; one that posted and
      // went on has nobody to hear it, and the main thread must go on.
      if (call->waited) call->error = std::current_exception();
    }
    std::lock_guard<std::mutex> g(lock_);
    call->done = true;
  }
  if (!now.empty()) ran_.notify_all();
  return !now.empty();
}

// ---------------------------------------------------------------- form

Form::~Form() {
  for (auto& t : timers_) t->SetEnabled(false);
  // The windows go first, while the controls they mirror still exist.
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) backend_.Destroyed(**it);
  controls_.clear();
  dispatcher_.Service();
  backend_.FormDestroyed(*this);
}

Timer& Form::AddTimer(const std::string& name) {
  timers_.push_back(std::make_unique<Timer>(*this, name));
  return *timers_.back();
}

void Timer::SetInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  if (enabled_) form_.backend().TimerChanged(*this);
}

void Timer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  form_.backend().TimerChanged(*this);
}

void Timer::Elapse() {
  if (!enabled_ || !OnTimer) return;
  const std::function<void()> handler = OnTimer;  // the handler may reassign it
  form_.Guard(handler);
}

void Form::Remove(Control& c) {
  if (focused_ == &c) focused_ = nullptr;
  for (auto it = controls_.begin(); it != controls_.end(); ++it) {
    if (it->get() != &c) continue;
    backend_.Destroyed(c);
    controls_.erase(it);
    return;
  }
}

void Form::SetBorderStyle(BorderStyle s) {
  if (Assign(borderStyle_, s)) backend_.FormChanged(*this, Property::Border);
}

void Form::Activate() {
  if (!OnActivate) return;
  const std::function<void()> handler = OnActivate;
  Guard(handler);
}

void Form::BringToFront() {
  if (shown_) backend_.FormChanged(*this, Property::Front);
}

void Form::SetBands(bool on, Colour top, Colour bottom) {
  if (bands_ == on && bandTop_ == top && bandBottom_ == bottom) return;
  bands_ = on;
  bandTop_ = top;
  bandBottom_ = bottom;
  backend_.FormChanged(*this, Property::Bands);
}

void Form::SetTaskbarProgress(TaskbarState state, uint64_t value, uint64_t maximum) {
  if (taskbarState_ == state && taskbarValue_ == value && taskbarMaximum_ == maximum) return;
  taskbarState_ = state;
  taskbarValue_ = value;
  taskbarMaximum_ = maximum;
  backend_.FormChanged(*this, Property::Taskbar);
}

void Form::AddSystemMenuItem(int id, const std::string& caption) {
  systemMenu_.push_back({id, caption});
  backend_.FormChanged(*this, Property::SystemMenu);
}

void Form::Guard(const std::function<void()>& handler) {
  // A handler's exception must not unwind through the system's window
  // procedure: it goes to the form's owner instead.
  try {
    handler();
  } catch (...) {
    if (!OnError) throw;
    OnError(std::current_exception());
  }
}

void Form::Hover(Control* c) {
  if (OnHover) OnHover(c);
}

void Form::Show() {
  if (shown_) return;
  shown_ = true;
  backend_.FormChanged(*this, Property::Visible);
}

void Form::Hide() {
  if (!shown_) return;
  shown_ = false;
  backend_.FormChanged(*this, Property::Visible);
}

void Form::Close() {
  if (closed_) return;
  closed_ = true;
  shown_ = false;
  backend_.FormChanged(*this, Property::Visible);
}

int Form::ShowModal() {
  modalResult_ = 0;
  closed_ = false;
  shown_ = true;
  backend_.FormChanged(*this, Property::Visible);
  backend_.RunModal(*this);
  if (modalResult_ == 0) modalResult_ = 2;
  shown_ = false;
  backend_.FormChanged(*this, Property::Visible);
  return modalResult_;
}

void Form::EndModal(int result) { modalResult_ = result; }

void Form::CloseQuery() {
  if (!CanClose || CanClose()) Close();
}


Control* Form::Find(const std::string& name) const {
  for (const auto& c : controls_)
    if (c->name() == name) return c.get();
  return nullptr;
}

void Form::SetCaption(const std::string& s) {
  if (Assign(caption_, s)) backend_.FormChanged(*this, Property::Caption);
}
void Form::SetBounds(const Bounds& b) {
  if (Assign(bounds_, b)) backend_.FormChanged(*this, Property::Bounds);
}

bool Form::SetFocus(Control* c) {
  if (c && !c->CanFocus()) return false;
  if (focused_ == c) return true;
  focused_ = c;
  backend_.FormChanged(*this, Property::Focus);
  return true;
}

// The letter a caption marks with "&" ("&&" is a plain ampersand); 0 for none.
static char32_t MarkedLetter(const std::string& caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;
      continue;
    }
    const std::u16string rest = Utf8ToUtf16(caption.substr(i + 1, 4));
    return rest.empty() ? 0 : static_cast<char32_t>(rest[0]);
  }
  return 0;
}

static char32_t LowerLetter(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;  // Latin-1 capitals
  return c;
}

bool Form::PressMnemonic(char32_t key) {
  std::vector<Control*> order;
  for (const auto& c : controls_) order.push_back(c.get());
  std::stable_sort(order.begin(), order.end(),
                   [](const Control* a, const Control* b) { return a->tabOrder() < b->tabOrder(); });
  for (size_t i = 0; i < order.size(); ++i) {
    Control* c = order[i];
    if (!c->visible() || !c->enabled() || c->kind() == Kind::LinkLabel) continue;
    if (c->kind() == Kind::Edit || c->kind() == Kind::Memo || c->kind() == Kind::RichEdit) continue;
    if (LowerLetter(MarkedLetter(c->caption())) != LowerLetter(key) || key == 0) continue;
    switch (c->kind()) {
      case Kind::Button:
        SetFocus(c);
        c->Click();
        return true;
      case Kind::CheckBox:
        SetFocus(c);
        static_cast<CheckBox*>(c)->Toggle();
        return true;
      case Kind::Label: {
        if (Control* target = static_cast<Label*>(c)->focusControl; target && SetFocus(target)) return true;
        for (size_t j = i + 1; j < order.size(); ++j)
          if (order[j]->CanFocus()) return SetFocus(order[j]);
        return false;
      }
      default:
        break;
    }
  }
  return false;
}

void Form::FocusNext(bool backward) {
  std::vector<Control*> order;
  for (const auto& c : controls_)
    if (c->CanFocus() || c.get() == focused_) order.push_back(c.get());
  // Stable: controls with the same tab order keep the order they were made in.
  std::stable_sort(order.begin(), order.end(),
                   [](const Control* a, const Control* b) { return a->tabOrder() < b->tabOrder(); });
  const auto at = std::find(order.begin(), order.end(), focused_);
  const size_t n = order.size();
  size_t start = at == order.end() ? (backward ? 0 : n - 1) : static_cast<size_t>(at - order.begin());
  for (size_t step = 1; step <= n; ++step) {
    Control* c = order[backward ? (start + n - step) % n : (start + step) % n];
    if (c->CanFocus()) {
      SetFocus(c);
      return;
    }
  }
  SetFocus(nullptr);
}

Button* Form::FindButton(bool (Button::*flag)() const) const {
  for (const auto& c : controls_)
    if (c->kind() == Kind::Button && c->visible() && c->enabled() && (static_cast<Button&>(*c).*flag)())
      return static_cast<Button*>(c.get());
  return nullptr;
}

bool Form::Press(Key k) {
  switch (k) {
    case Key::Tab:
    case Key::ShiftTab:
      if (controls_.empty()) return false;
      FocusNext(k == Key::ShiftTab);
      return focused_ != nullptr;
    case Key::Enter: {
      if (focused_ && (focused_->kind() == Kind::Button || focused_->kind() == Kind::LinkLabel)) {
        focused_->Click();
        return true;
      }
      if (Button* b = FindButton(&Button::isDefault)) {
        b->Click();
        return true;
      }
      return false;
    }
    case Key::Escape:
      if (Button* b = FindButton(&Button::isCancel)) {
        b->Click();
        return true;
      }
      if (OnCancel) {
        OnCancel();
        return true;
      }
      return false;
    case Key::Space:
      if (!focused_) return false;
      if (focused_->kind() == Kind::CheckBox) {
        static_cast<CheckBox*>(focused_)->Toggle();
        return true;
      }
      if (focused_->kind() == Kind::Tree) {
        Tree* t = static_cast<Tree*>(focused_);
        if (t->selected().empty()) return false;
        t->ClickState(t->selected());
        return true;
      }
      if (focused_->kind() == Kind::Button) {
        focused_->Click();
        return true;
      }
      return false;
  }
  return false;
}

// ---------------------------------------------------------------- headless

void HeadlessBackend::Created(Control& c) { events.push_back(std::string("created ") + KindName(c.kind()) + " " + c.name()); }

void HeadlessBackend::RunModal(Form& f) {
  events.push_back("modal " + f.caption());
  if (onModal) onModal(f);
}

void HeadlessBackend::Destroyed(Control& c) { events.push_back("destroyed " + c.name()); }

Size HeadlessBackend::MeasureText(const Font& f, const std::string& text) {
  int chars = 0;
  for (unsigned char ch : text)
    if ((ch & 0xC0) != 0x80) ++chars;  // one per UTF-8 character
  if (f.pixels > 0) return {chars * 6 * f.pixels / 11, f.pixels * 13 / 11};
  const int size = f.height > 0 ? f.height : 8;
  return {chars * 6 * size / 8, 13 * size / 8};
}

void HeadlessBackend::Changed(Control& c, Property p) { events.push_back(c.name() + "." + PropertyName(p)); }

void HeadlessBackend::FormChanged(Form&, Property p) { events.push_back(std::string("form.") + PropertyName(p)); }

void HeadlessBackend::TimerChanged(Timer& t) {
  events.push_back("timer " + t.name() + (t.enabled() ? " on " + std::to_string(t.interval()) : " off"));
}

}  // namespace stw::forms
