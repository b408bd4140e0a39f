// The wizard's controls as plain objects: a form owns its controls, each
// with a position, a caption, a hint, visibility, enabled state, font,
// colour, tab order and events. Every property change is handed to the
// form's backend, which mirrors it into real windows (Win32) or only
// records it (headless, for the tests). The wizard sees only this header.
//
// The keyboard rules of a dialog live here too, so that both backends
// share them: Tab and Shift+Tab move the focus along the tab order over
// the visible, enabled controls that take the focus; Enter clicks the
// focused button or else the default button; Esc clicks the cancel button
// or else runs the form's cancel action; Space toggles a focused check box
// or the selected node of a focused tree.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace stw::forms {

struct Bounds {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const Bounds&) const = default;
};

// 0x00BBGGRR, as the system stores colours; kDefaultColour leaves the
// control's own.
using Colour = uint32_t;
constexpr Colour kDefaultColour = 0xFF000000u;

struct Font {
  std::string name = "Tahoma";
  int height = 8;  // points
  bool bold = false;
  bool underline = false;
  // When not 0: the height in pixels on the screen, the size left aside
  // (a font raised to a minimum height that no point size gives).
  int pixels = 0;
  bool italic = false;
  bool strikeout = false;
  // The text's colour; kDefaultColour: the control's colour, else the
  // system's text colour.
  Colour colour = kDefaultColour;
  // The character set asked of the system's font mapper (the values of
  // LOGFONT's lfCharSet); 1: whatever the face name suggests.
  int charset = 1;
  bool operator==(const Font&) const = default;
};

enum class Kind { Button, Label, LinkLabel, Edit, CheckBox, Tree, ReportList, RichEdit, Memo, ProgressBar, Image };
const char* KindName(Kind k);

// What changed, for the backend.
enum class Property {
  Bounds, Caption, Hint, Visible, Enabled, Font, Colour, TabOrder,  // every control
  Default, Cancel, Shield,                                          // button
  Checked,                                                          // check box
  Text,                                                             // edit, rich edit, memo
  Nodes,                                                            // tree: nodes, their states and icons
  Rows,                                                             // report list
  Range, Position,                                                  // progress bar
  Focus,
  Selection,  // report list: the selected row
  Style,     // label: alignment, word wrap, transparency; tree: lines
  Taskbar,   // form: the taskbar button's progress
  Bands,     // form: the background bands
  SystemMenu,  // form: an item was added to the system menu
  Picture,     // image: the picture, its transparency
  Border,      // form: its border style
  Front,       // form: to be brought to the front and activated
};

enum class Align { Left, Right, Center };

// The background bands: band `i` of `n` from `top` to `bottom`, each
// channel ((n - i) × top + i × bottom) / n (the high byte is ignored).
Colour BandColour(Colour top, Colour bottom, int n, int i);

// What a window of `width` x `height` pixels paints as its bands: with
// n = height / 4, band i fills from row 4i to row 4i + 5 (exclusive) and
// from column 0 to width + 1, so that neighbours overlap by a row and no
// gap shows. Fewer than 4 rows paint nothing; the rows below the last band
// keep the window's own colour.
struct BandArea {
  int top = 0, bottom = 0, right = 0;  // the rectangle (0, top) - (right, bottom), exclusive
  Colour colour = 0;
};
std::vector<BandArea> Bands(int width, int height, Colour top, Colour bottom);

// ---------------------------------------------------------------- pictures

enum class PictureFormat { None, Bmp, Png, Jpeg, Gif, Icon };

// What the header of a picture file says: its kind and its size in pixels
// (an icon: its first image, the one that is shown).
struct PictureInfo {
  PictureFormat format = PictureFormat::None;
  int width = 0, height = 0;
  bool valid() const { return format != PictureFormat::None; }
};
// The largest picture taken: beyond it a picture is refused, so that a
// damaged header cannot make the program reserve gigabytes.
constexpr int kMaxPictureSide = 8192;
constexpr int64_t kMaxPicturePixels = 16 * 1024 * 1024;
// Reads only the header; bytes of another kind, a header cut short or
// sizes that make no sense (zero, negative, above the limits) give an
// invalid result. Never reads past `bytes`.
PictureInfo ReadPictureInfo(std::string_view bytes);

// Pixels 0xAARRGGBB with premultiplied alpha, row by row from the top.
// A picture drawn "transparent" shows the background where its pixels
// have the colour of its bottom-left pixel; one that has transparency of
// its own (any pixel not fully opaque) keeps it as it is.
void KeyOutTransparentColour(std::vector<uint32_t>& pixels, int width, int height);

struct Size {
  int width = 0, height = 0;
};

class Form;

class Control {
 public:
  Control(Form& form, Kind kind, std::string name);
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control() = default;

  Kind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  Form& form() const { return form_; }

  const Bounds& bounds() const { return bounds_; }
  void SetBounds(const Bounds& b);
  void SetPosition(int left, int top) { SetBounds({left, top, bounds_.width, bounds_.height}); }
  const std::string& caption() const { return caption_; }
  void SetCaption(const std::string& s);
  const std::string& hint() const { return hint_; }
  void SetHint(const std::string& s);
  bool visible() const { return visible_; }
  void SetVisible(bool v);
  bool enabled() const { return enabled_; }
  void SetEnabled(bool v);
  const Font& font() const { return font_; }
  void SetFont(const Font& f);
  Colour colour() const { return colour_; }
  void SetColour(Colour c);
  int tabOrder() const { return tabOrder_; }
  void SetTabOrder(int t);

  // Whether the control takes the focus from the keyboard at all.
  virtual bool TabStop() const { return true; }
  // Visible and enabled, and so is the form's page it lies on.
  bool CanFocus() const { return TabStop() && visible_ && enabled_; }

  // Clicked with the mouse, or by the keyboard rules above.
  std::function<void()> OnClick;
  void Click();

 protected:
  friend class Form;
  void Changed(Property p);

 private:
  Form& form_;
  Kind kind_;
  std::string name_;
  Bounds bounds_;
  std::string caption_, hint_;
  bool visible_ = true, enabled_ = true;
  Font font_;
  Colour colour_ = kDefaultColour;
  int tabOrder_ = 0;
};

class Button : public Control {
 public:
  Button(Form& f, std::string name) : Control(f, Kind::Button, std::move(name)) {}
  bool isDefault() const { return default_; }
  void SetDefault(bool v);
  bool isCancel() const { return cancel_; }
  void SetCancel(bool v);
  // The shield that says the action asks for administrator rights.
  bool shield() const { return shield_; }
  void SetShield(bool v);

 private:
  bool default_ = false, cancel_ = false, shield_ = false;
};

class Label : public Control {
 public:
  Label(Form& f, std::string name, Kind k = Kind::Label) : Control(f, k, std::move(name)) {}
  bool TabStop() const override { return false; }
  Align align() const { return align_; }
  void SetAlign(Align a);
  bool wordWrap() const { return wordWrap_; }
  void SetWordWrap(bool v);
  // Drawn over the form's background (its bands) rather than on its own.
  bool transparent() const { return transparent_; }
  void SetTransparent(bool v);
  // "&" in the caption marks the letter of the label's key (and "&&" is
  // one ampersand); off, the caption shows exactly as written.
  bool showAccelChar() const { return showAccelChar_; }
  void SetShowAccelChar(bool v);
  // Sizes the label to its caption in its font (single line).
  void AutoSize();
  // The control that the label's "&" key gives the focus to (unset: the
  // next one in the tab order).
  Control* focusControl = nullptr;

 private:
  Align align_ = Align::Left;
  bool wordWrap_ = false, transparent_ = false, showAccelChar_ = true;
};

// A picture from a file's bytes, drawn unscaled at the control's top-left
// corner. The model knows the picture's size from its header alone (see
// ReadPictureInfo), so a headless form lays it out as a real one does;
// the Win32 backend decodes and draws it.
class Image : public Control {
 public:
  Image(Form& f, std::string name) : Control(f, Kind::Image, std::move(name)) {}
  bool TabStop() const override { return false; }
  // Takes a picture file's content; false, and no picture, when it is not
  // a picture of a known kind or its header is damaged. With autoSize the
  // control takes the picture's size (0 x 0 without a picture).
  bool SetPicture(std::string bytes);
  void ClearPicture();
  bool hasPicture() const { return info_.valid(); }
  const PictureInfo& picture() const { return info_; }
  const std::string& pictureBytes() const { return bytes_; }
  bool autoSize() const { return autoSize_; }
  void SetAutoSize(bool v);
  // Drawn over what lies beneath it, with the picture's transparent
  // colour (see KeyOutTransparentColour) left out.
  bool transparent() const { return transparent_; }
  void SetTransparent(bool v);

 private:
  void FitPicture();
  std::string bytes_;
  PictureInfo info_;
  bool autoSize_ = false, transparent_ = false;
};

// A label that reads as a link: it changes colour under the mouse, and a
// press released on it opens `url` (the caption when that is empty)
// through OnOpen. Unlike a plain label it takes the focus, and Enter then
// opens it too. The backend reports the mouse through the Mouse* calls;
// coordinates are relative to the label.
class LinkLabel : public Label {
 public:
  LinkLabel(Form& f, std::string name) : Label(f, std::move(name), Kind::LinkLabel) { SetColour(0xFF0000); }
  bool TabStop() const override { return true; }
  std::string url;
  Colour colorMoveOver = 0xFF0000;  // blue
  Colour colorClick = 0x0000FF;     // red
  std::function<void(const std::string& address)> OnOpen;
  void MouseEnter();
  void MouseLeave();
  void MouseDown();
  void MouseUp(int x, int y);
  bool pressed() const { return pressed_; }

 private:
  Colour normal_ = 0xFF0000;
  bool pressed_ = false;
};

class CheckBox : public Control {
 public:
  CheckBox(Form& f, std::string name) : Control(f, Kind::CheckBox, std::move(name)) {}
  bool checked() const { return checked_; }
  // Does not run OnClick: that is for the user's toggles.
  void SetChecked(bool v);
  // The user's toggle: the state flips, then OnClick runs.
  void Toggle();

 private:
  bool checked_ = false;
};

// Edit, read-only rich edit and memo: controls whose content is a text.
class TextControl : public Control {
 public:
  TextControl(Form& f, Kind k, std::string name) : Control(f, k, std::move(name)) {}
  const std::string& text() const { return text_; }
  void SetText(const std::string& s);
  // The user typed: the text changes, then OnChange runs.
  void Type(const std::string& s);
  std::function<void()> OnChange;
  // The most characters (UTF-16 code units) the user may type; 0: no limit.
  // Set before the text.
  int maxLength = 0;
  bool readOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }
  // Rich text (RTF) rather than plain text, for the rich edit.
  bool rich = false;

 private:
  std::string text_;
  bool readOnly_ = false;
};

class Edit : public TextControl {
 public:
  Edit(Form& f, std::string name) : TextControl(f, Kind::Edit, std::move(name)) {}
};
class RichEdit : public TextControl {
 public:
  RichEdit(Form& f, std::string name) : TextControl(f, Kind::RichEdit, std::move(name)) { SetReadOnly(true); }
};
class Memo : public TextControl {
 public:
  Memo(Form& f, std::string name) : TextControl(f, Kind::Memo, std::move(name)) {}
};

// What a tree node's icon shows; a file's icon is the system's icon for
// the node's `iconFile` name.
enum class TreeIcon { None, Component, Folder, File, Shortcut, InternetShortcut };

struct TreeNode {
  std::string text;
  int stateImage = 0;  // index into the tree's state images; 0: none
  TreeIcon icon = TreeIcon::None;
  std::string iconFile;  // File and Shortcut: the name whose icon is shown
  bool expanded = false;
  uint64_t data = 0;  // the owner's own: what the node stands for
  std::vector<TreeNode> children;
};

class Tree : public Control {
 public:
  Tree(Form& f, std::string name) : Control(f, Kind::Tree, std::move(name)) {}
  const std::vector<TreeNode>& nodes() const { return nodes_; }
  void SetNodes(std::vector<TreeNode> nodes);
  // A node by its path of child indices from the top level; nullptr when
  // the path leads nowhere.
  const TreeNode* Node(const std::vector<size_t>& path) const;
  void SetStateImage(const std::vector<size_t>& path, int image);
  const std::vector<size_t>& selected() const { return selected_; }
  void Select(const std::vector<size_t>& path);
  // The state images, image 1 first: square pictures of `size` pixels, row
  // by row from the top, each 0xAARRGGBB with premultiplied alpha. Set
  // before the nodes; the owner chooses the size by the screen.
  struct Picture {
    int size = 0;
    std::vector<uint32_t> pixels;
  };
  std::vector<Picture> statePictures;
  int stateImageSize = 16;
  // Lines between the nodes and the buttons that fold them.
  bool showLines() const { return showLines_; }
  void SetShowLines(bool v);
  // Unfolds (or folds) every node, whatever the user unfolded by hand;
  // `expandAllCount` tells the backend that it happened.
  void ExpandAll(bool expand);
  unsigned expandAllCount() const { return expandAll_; }
  // A click on a node's state image, or Space on the selected node.
  std::function<void(const std::vector<size_t>& path)> OnStateClick;
  std::function<void()> OnSelect;
  void ClickState(const std::vector<size_t>& path);

 private:
  TreeNode* MutableNode(const std::vector<size_t>& path);
  std::vector<TreeNode> nodes_;
  bool showLines_ = false;
  unsigned expandAll_ = 0;
  std::vector<size_t> selected_;
};

class ReportList : public Control {
 public:
  ReportList(Form& f, std::string name) : Control(f, Kind::ReportList, std::move(name)) {}
  struct Column {
    std::string caption;
    int width = 0;
    bool rightAligned = false;
  };
  std::vector<Column> columns;
  const std::vector<std::vector<std::string>>& rows() const { return rows_; }
  // New rows: nothing is selected.
  void SetRows(std::vector<std::vector<std::string>> rows);
  // The selected row, -1 for none. Select is the program's (no event);
  // ClickRow is the user's: the row is selected, then OnClick runs.
  int selected() const { return selected_; }
  void Select(int row);
  void ClickRow(int row);

 private:
  std::vector<std::vector<std::string>> rows_;
  int selected_ = -1;
};

class ProgressBar : public Control {
 public:
  ProgressBar(Form& f, std::string name) : Control(f, Kind::ProgressBar, std::move(name)) {}
  bool TabStop() const override { return false; }
  uint64_t maximum() const { return max_; }
  uint64_t position() const { return pos_; }
  void SetMaximum(uint64_t m);
  // Kept within 0..maximum.
  void SetPosition(uint64_t p);

 private:
  uint64_t max_ = 100, pos_ = 0;
};

// The screen a form is shown on: its resolution, the monitor and its work
// area (the monitor less the taskbars), the window's frame (window size
// less client size) and the colour depth.
struct Screen {
  int ppi = 96;
  // The primary monitor's whole size (the screen a full-screen window at
  // the origin covers), whichever monitor shows the form.
  int primaryWidth = 1024, primaryHeight = 768;
  int monitorWidth = 1024, monitorHeight = 768;
  int workLeft = 0, workTop = 0, workWidth = 1024, workHeight = 728;
  int frameWidth = 6, frameHeight = 28;
  int bitsPerPixel = 32;
  // The system's colours of a button's highlight and shadow (0x00BBGGRR).
  Colour buttonHighlight = 0xFFFFFF, buttonShadow = 0xA0A0A0;
};

// A timer of a form: while enabled, OnTimer runs on the main thread about
// every `interval` milliseconds (in whichever message loop the thread is).
// The form owns it; it stops with the form.
class Timer {
 public:
  Timer(Form& form, std::string name) : form_(form), name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  int interval() const { return interval_; }
  void SetInterval(int ms);
  bool enabled() const { return enabled_; }
  void SetEnabled(bool on);
  // The interval has passed: runs OnTimer (guarded, see Form::Guard) when
  // the timer is enabled. The backend calls it; so may a test.
  void Elapse();
  std::function<void()> OnTimer;

 private:
  Form& form_;
  std::string name_;
  int interval_ = 1000;
  bool enabled_ = false;
};

// Told of everything that happens to a form's controls.
class IBackend {
 public:
  virtual ~IBackend() = default;
  virtual void Created(Control& c) = 0;
  // The control is about to go: its window goes with it.
  virtual void Destroyed(Control& c) = 0;
  // The form is gone (its controls went first): nothing may reach it now.
  virtual void FormDestroyed(Form& f) {}
  virtual void Changed(Control& c, Property p) = 0;
  virtual void FormChanged(Form& f, Property p) = 0;
  // A timer was enabled, disabled or given another interval.
  virtual void TimerChanged(Timer& t) {}
  // The size of a one-line text in a font, in pixels.
  virtual Size MeasureText(const Font& f, const std::string& text) = 0;
  // A call is waiting in the form's dispatcher: have the main thread run
  // Dispatcher::Service soon. Called from any thread.
  virtual void Wake() {}
  // Shows the form as a modal dialog and returns when EndModal was called
  // (or the form was closed).
  virtual void RunModal(Form& f) = 0;
  // Lets the windows handle the messages waiting for them; returns at once
  // when none is.
  virtual void Pump() {}
  // The screen that shows (or will show) the form.
  virtual Screen ScreenOf(Form& f) = 0;
  // The system's handle of the form's window (an HWND) for code outside
  // that wants an owner window; nullptr when there is none.
  virtual void* NativeWindow(Form& f) { return nullptr; }
};

// Calls handed to the main (user-interface) thread. Post queues a call and
// returns; Synchronize queues it and waits until the main thread has run
// it (an exception it raises comes back to the caller), and runs it at
// once when called on the main thread. The main thread runs the queue
// whenever it pumps its messages. Thread-safe.
class Dispatcher {
 public:
  explicit Dispatcher(IBackend& backend) : backend_(backend), main_(std::this_thread::get_id()) {}
  void Post(std::function<void()> fn);
  void Synchronize(const std::function<void()>& fn);
  // Runs what is queued now; true when something ran. Main thread only.
  bool Service();
  // Waits up to `ms` milliseconds for a call to be queued; true when one
  // is waiting. Main thread only.
  bool WaitForCalls(int ms);
  bool OnMainThread() const { return std::this_thread::get_id() == main_; }

 private:
  struct Call {
    std::function<void()> fn;
    bool done = false;
    std::exception_ptr error;
    bool waited = false;
  };
  IBackend& backend_;
  std::thread::id main_;
  std::mutex lock_;
  std::condition_variable ran_, queued_;
  std::deque<std::shared_ptr<Call>> queue_;
};

// The taskbar button's progress.
enum class TaskbarState { None, Normal, Error };

enum class Key { Tab, ShiftTab, Enter, Escape, Space };

// Dialog: a caption, a frame and a system menu. None: no caption and no
// frame, no button of its own on the taskbar, shown without taking the
// activation from the window that has it (a backdrop).
enum class BorderStyle { Dialog, None };

class Form {
 public:
  explicit Form(IBackend& backend, BorderStyle style = BorderStyle::Dialog)
      : backend_(backend), dispatcher_(backend), borderStyle_(style) {}
  ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  // Makes a control that the form owns for its whole life.
  template <class T>
  T& Add(const std::string& name) {
    auto c = std::make_unique<T>(*this, name);
    T& ref = *c;
    ref.SetTabOrder(static_cast<int>(controls_.size()));
    controls_.push_back(std::move(c));
    backend_.Created(ref);
    return ref;
  }
  // A timer the form owns for its whole life, disabled at first.
  Timer& AddTimer(const std::string& name);
  // Removes a control made at run time (its window too).
  void Remove(Control& c);
  const std::vector<std::unique_ptr<Control>>& controls() const { return controls_; }
  // nullptr when no control has that name.
  Control* Find(const std::string& name) const;

  const std::string& caption() const { return caption_; }
  void SetCaption(const std::string& s);
  // Left and top of the window on the screen; width and height of its
  // client area.
  const Bounds& bounds() const { return bounds_; }
  void SetBounds(const Bounds& b);
  Size MeasureText(const Font& f, const std::string& text) { return backend_.MeasureText(f, text); }
  // The form's own font, which new controls get.
  const Font& font() const { return font_; }
  void SetFont(const Font& f) { font_ = f; }

  // Best given to the constructor: the window is made with it.
  BorderStyle borderStyle() const { return borderStyle_; }
  void SetBorderStyle(BorderStyle s);

  // The window became the active one (a click on it, or the system's
  // choice). The backend reports it after the activation has settled, so a
  // handler may hand the activation on to another window.
  std::function<void()> OnActivate;
  void Activate();
  // Brings the window to the front and activates it, when it is shown.
  void BringToFront();

  // The background painted as horizontal bands from `top` to `bottom`.
  bool bands() const { return bands_; }
  Colour bandTop() const { return bandTop_; }
  Colour bandBottom() const { return bandBottom_; }
  void SetBands(bool on, Colour top, Colour bottom);

  // The taskbar button's progress (Windows 7 and later).
  TaskbarState taskbarState() const { return taskbarState_; }
  uint64_t taskbarValue() const { return taskbarValue_; }
  uint64_t taskbarMaximum() const { return taskbarMaximum_; }
  void SetTaskbarProgress(TaskbarState state, uint64_t value, uint64_t maximum);

  // Items added to the window's system menu, after a separator, and the
  // call when one is chosen (its id).
  struct MenuItem {
    int id;
    std::string caption;
  };
  const std::vector<MenuItem>& systemMenu() const { return systemMenu_; }
  void AddSystemMenuItem(int id, const std::string& caption);
  std::function<void(int id)> OnSystemCommand;

  // Runs an event handler; an exception it raises goes to OnError (when
  // set), so that no handler's failure unwinds through a window procedure.
  void Guard(const std::function<void()>& handler);
  std::function<void(std::exception_ptr)> OnError;

  // The mouse moved over a control (nullptr: over no control); the owner's
  // hint handler shows its hint.
  void Hover(Control* c);
  std::function<void(Control* c)> OnHover;

  // The form is shown until Close; the backend ends its message loop then.
  bool shown() const { return shown_; }
  void Show();
  // Out of sight, its message loop still running (Show brings it back).
  void Hide();
  void Close();
  bool closed() const { return closed_; }
  // The user asks to close the window (its close box, Alt+F4): Close only
  // when CanClose says yes (unset: always).
  void CloseQuery();
  std::function<bool()> CanClose;

  // A modal dialog: ShowModal returns the result given to EndModal, or 2
  // (cancel) when the dialog was closed otherwise.
  int ShowModal();
  void EndModal(int result);
  int modalResult() const { return modalResult_; }

  // The window moved to a screen of another resolution (pixels per inch).
  std::function<void(int ppi)> OnDpiChanged;

  Dispatcher& dispatcher() { return dispatcher_; }

  Control* focused() const { return focused_; }
  // Ignored for a control that cannot take the focus.
  bool SetFocus(Control* c);
  // The dialog's keyboard rules (see the file's comment); true when the
  // key did something.
  bool Press(Key k);
  // Alt and a letter: the visible, enabled control whose caption marks that
  // letter with "&" (in tab order) is clicked (a button), toggled (a check
  // box) or, for a label, gives the focus to its control. True when one was.
  bool PressMnemonic(char32_t key);
  // Esc when no visible, enabled cancel button is there, and the close box.
  std::function<void()> OnCancel;

  IBackend& backend() const { return backend_; }

 private:
  friend class Control;
  void FocusNext(bool backward);
  Button* FindButton(bool (Button::*flag)() const) const;

  IBackend& backend_;
  Dispatcher dispatcher_;
  std::vector<std::unique_ptr<Control>> controls_;
  std::vector<std::unique_ptr<Timer>> timers_;
  std::string caption_;
  Bounds bounds_;
  Font font_;
  Control* focused_ = nullptr;
  BorderStyle borderStyle_ = BorderStyle::Dialog;
  bool bands_ = false;
  Colour bandTop_ = 0, bandBottom_ = 0;
  TaskbarState taskbarState_ = TaskbarState::None;
  uint64_t taskbarValue_ = 0, taskbarMaximum_ = 0;
  std::vector<MenuItem> systemMenu_;
  bool shown_ = false, closed_ = false;
  int modalResult_ = 0;
};

// The backend of the tests: it records what it was told, one line each,
// and keeps no windows.
class HeadlessBackend : public IBackend {
 public:
  void Created(Control& c) override;
  void Destroyed(Control& c) override;
  void Changed(Control& c, Property p) override;
  void FormChanged(Form& f, Property p) override;
  // "timer NAME on MS" or "timer NAME off".
  void TimerChanged(Timer& t) override;
  // Text is measured as a fixed-pitch font would be: 6 pixels a character
  // at 8 points, the height 13 pixels, both in proportion to the size.
  Size MeasureText(const Font& f, const std::string& text) override;
  void Wake() override { ++wakes; }
  // Plays the user of a modal dialog: it sees the form and ends it (with
  // EndModal); unset, or when it does not end it, the dialog is cancelled.
  void RunModal(Form& f) override;
  std::function<void(Form&)> onModal;
  Screen ScreenOf(Form&) override { return screen; }
  Screen screen;
  std::vector<std::string> events;
  int wakes = 0;
};

const char* PropertyName(Property p);

}  // namespace stw::forms
