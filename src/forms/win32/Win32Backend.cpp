#include "forms/win32/Win32Backend.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "forms/win32/Win32Controls.h"
#include "forms/win32/Win32Tree.h"
#include "platform/win32/Win32Common.h"
#include "platform/win32/Windows.h"

#include <commctrl.h>
#include <objbase.h>
#include <richedit.h>
#include <shobjidl.h>
#include <wincodec.h>
#include <windowsx.h>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace stw::forms {

using win32::Narrow;
using win32::SystemRoutine;
using win32::Wide;
using win32ui::Comctl;
using win32ui::TreeWindow;

namespace {

constexpr wchar_t kFormClass[] = L"StowaSetupForm";
// Borderless forms (a backdrop) have a class of their own, so that a
// program looking for the setup's window does not take the backdrop.
constexpr wchar_t kBorderlessClass[] = L"StowaSetupBorderless";
// The control's name for programs outside (a global atom), and the
// backend's own state of the window.
constexpr wchar_t kNameProperty[] = L"StowaName";
constexpr wchar_t kStateProperty[] = L"StowaControl";
// Posted by Wake: the dispatcher has calls for the main thread.
constexpr UINT kServiceMessage = WM_APP + 0x5E;
// Posted on activation: the form hears of it once the system has settled
// the activation, since a handler that activates another window from
// inside WM_ACTIVATE makes the activation bounce between the two.
constexpr UINT kActivatedMessage = WM_APP + 0x5F;

constexpr GUID kClsidTaskbarList = {0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
constexpr GUID kIidTaskbarList3 = {0xEA1AFB91, 0x9E28, 0x4B86, {0x90, 0xE9, 0x9E, 0x9F, 0x8A, 0x5E, 0xEF, 0xAF}};
// The imaging component (windowscodecs, through COM): it decodes BMP, PNG,
// JPEG, GIF and icons alike on every supported Windows.
constexpr GUID kClsidWicFactory = {0xCACAF262, 0x9370, 0x4615, {0xA1, 0x3B, 0x9F, 0x55, 0x39, 0xDA, 0x4C, 0x0A}};
constexpr GUID kIidWicFactory = {0xEC5EC8A9, 0xC395, 0x4314, {0x9C, 0x77, 0x54, 0xD7, 0xA9, 0x35, 0xFF, 0x70}};
constexpr GUID kWicFormat32bppPBGRA = {0x6FDDC324, 0x4E03, 0x4BFE, {0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x10}};

// The forms are designed in 8-point text at 96 pixels per inch, 11 pixels
// high; the tree's indent of the design grows with its font.
constexpr int kDesignedFontPixels = 11;
constexpr int kTreeIndent = 19;

std::wstring WindowText(HWND h) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
  return text;
}

int FontPixels(int points, int ppi) { return MulDiv(points, ppi, 72); }

int SystemPpi() {
  const HDC dc = GetDC(nullptr);
  const int ppi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return ppi > 0 ? ppi : 96;
}

template <typename Fn>
Fn User32Routine(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// The resolution of the monitor that shows the window (Windows 10 and
// later); the system's resolution elsewhere.
int WindowPpi(HWND h) {
  using Fn = UINT(WINAPI*)(HWND);
  static const Fn get = User32Routine<Fn>("GetDpiForWindow");
  const UINT dpi = get && h ? get(h) : 0;
  return dpi ? static_cast<int>(dpi) : SystemPpi();
}

int DisplayBits() {
  const HDC dc = GetDC(nullptr);
  const int bits = GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES);
  ReleaseDC(nullptr, dc);
  return bits;
}

DWORD LabelStyle(const Label& l) {
  // A link opens on a click: its caption has no key letter to mark.
  const DWORD prefix = l.showAccelChar() && l.kind() != Kind::LinkLabel ? 0 : SS_NOPREFIX;
  switch (l.align()) {
    case Align::Right: return SS_RIGHT | prefix;
    case Align::Center: return SS_CENTER | prefix;
    case Align::Left: break;
  }
  return (l.wordWrap() ? SS_LEFT : SS_LEFTNOWORDWRAP) | prefix;
}

// How the STATIC class draws a label's caption, for drawing it ourselves
// beneath another transparent control.
UINT LabelTextFlags(const Label& l) {
  UINT flags = DT_EXPANDTABS | (l.showAccelChar() && l.kind() != Kind::LinkLabel ? 0 : DT_NOPREFIX);
  switch (l.align()) {
    case Align::Right: return flags | DT_RIGHT | DT_WORDBREAK;
    case Align::Center: return flags | DT_CENTER | DT_WORDBREAK;
    case Align::Left: break;
  }
  return flags | DT_LEFT | (l.wordWrap() ? DT_WORDBREAK : 0);
}

// Drawn over what lies beneath them: transparent labels and images. Among
// themselves they stack in the order they were made, the later above.
bool SeeThrough(const Control& c) {
  if (c.kind() == Kind::Image) return true;
  return (c.kind() == Kind::Label || c.kind() == Kind::LinkLabel) && static_cast<const Label&>(c).transparent();
}

// A picture file decoded to premultiplied 0xAARRGGBB pixels, rows from the
// top; false when the system cannot decode it (it then shows nothing).
bool DecodePicture(const std::string& bytes, int wantWidth, int wantHeight, std::vector<uint32_t>& pixels) {
  using Make = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
  static const Make make = SystemRoutine<Make>(L"ole32.dll", "CoCreateInstance");
  if (!make || bytes.empty() || bytes.size() > 0x7FFFFFFF) return false;
  IWICImagingFactory* factory = nullptr;
  if (FAILED(make(kClsidWicFactory, nullptr, CLSCTX_INPROC_SERVER, kIidWicFactory, reinterpret_cast<void**>(&factory))) ||
      !factory)
    return false;
  bool ok = false;
  IWICStream* stream = nullptr;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICFormatConverter* converter = nullptr;
  UINT w = 0, h = 0;
  if (SUCCEEDED(factory->CreateStream(&stream)) &&
      SUCCEEDED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                             static_cast<DWORD>(bytes.size()))) &&
      SUCCEEDED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)) &&
      SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
      SUCCEEDED(converter->Initialize(frame, kWicFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                      WICBitmapPaletteTypeCustom)) &&
      SUCCEEDED(converter->GetSize(&w, &h)) && static_cast<int>(w) == wantWidth &&
      static_cast<int>(h) == wantHeight) {
    // The size was checked against the header's, which the model bounds.
    pixels.assign(static_cast<size_t>(w) * h, 0);
    ok = SUCCEEDED(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(pixels.size() * 4),
                                         reinterpret_cast<BYTE*>(pixels.data())));
  }
  if (converter) converter->Release();
  if (frame) frame->Release();
  if (decoder) decoder->Release();
  if (stream) stream->Release();
  factory->Release();
  if (!ok) pixels.clear();
  return ok;
}

// A memory canvas of 32-bit pixels (rows from the top) to compose a
// control's look before it goes to the screen in one piece.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  uint32_t* bits = nullptr;
  int width = 0, height = 0;
  Canvas(HDC like, int w, int h) : width(w), height(h) {
    if (w <= 0 || h <= 0) return;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* p = nullptr;
    bitmap = CreateDIBSection(like, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    if (!bitmap) return;
    dc = CreateCompatibleDC(like);
    if (!dc) return;
    old = SelectObject(dc, bitmap);
    bits = static_cast<uint32_t*>(p);
  }
  ~Canvas() {
    if (dc) {
      SelectObject(dc, old);
      DeleteDC(dc);
    }
    if (bitmap) DeleteObject(bitmap);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  bool ready() const { return bits != nullptr; }
  // The picture's pixels over the canvas, its top-left corner at (x, y).
  void Blend(const std::vector<uint32_t>& pixels, int pw, int ph, int x, int y) {
    if (!ready()) return;
    GdiFlush();
    for (int row = std::max(0, -y); row < ph && y + row < height; ++row) {
      for (int col = std::max(0, -x); col < pw && x + col < width; ++col) {
        const uint32_t src = pixels[static_cast<size_t>(row) * pw + col];
        const uint32_t a = src >> 24;
        uint32_t& dst = bits[static_cast<size_t>(y + row) * width + (x + col)];
        if (a == 0xFF) {
          dst = src;
        } else if (a != 0) {
          uint32_t out = 0;
          for (int shift = 0; shift <= 16; shift += 8) {
            const uint32_t s = (src >> shift) & 0xFF, d = (dst >> shift) & 0xFF;
            out |= std::min<uint32_t>(255, s + d * (255 - a) / 255) << shift;
          }
          dst = out;
        }
      }
    }
  }
};

// Band i of n: each channel on its own, from the top colour to the bottom
// one, with the integer division that makes the bands step evenly.
bool SameColumns(const std::vector<ReportList::Column>& a, const std::vector<ReportList::Column>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].caption != b[i].caption || a[i].width != b[i].width || a[i].rightAligned != b[i].rightAligned)
      return false;
  return true;
}

struct StreamSource {
  const std::string* text;
  size_t at;
};

DWORD CALLBACK ReadStream(DWORD_PTR cookie, LPBYTE buffer, LONG want, LONG* got) {
  auto* source = reinterpret_cast<StreamSource*>(cookie);
  const size_t left = source->text->size() - source->at;
  const size_t n = std::min(left, static_cast<size_t>(want > 0 ? want : 0));
  std::memcpy(buffer, source->text->data() + source->at, n);
  source->at += n;
  *got = static_cast<LONG>(n);
  return 0;
}

}  // namespace

namespace win32ui {

// What the backend keeps of each control's window.
struct ControlWindow {
  Control* control = nullptr;
  HWND hwnd = nullptr;
  ATOM name = 0;
  // The class's window procedure of a subclassed window (link labels and
  // trees), else null.
  WNDPROC original = nullptr;
  // Link label: the mouse is over it and its leaving is being watched.
  bool tracking = false;
  // Check box: the brush of its background colour.
  HBRUSH brush = nullptr;
  Colour brushColour = kDefaultColour;
  // Report list: the columns as the window has them.
  std::vector<ReportList::Column> columns;
  std::unique_ptr<TreeWindow> tree;
  // Image: the decoded picture (empty when there is none or the system
  // cannot decode it), its transparent colour already left out.
  std::vector<uint32_t> pixels;
  int pictureWidth = 0, pictureHeight = 0;
};

}  // namespace win32ui

using win32ui::ControlWindow;

namespace {

// The running timers of the main thread by their system id. Thread timers
// (no window) fire in every message loop of the thread, a message box's
// included, and need no window to exist yet. Main thread only.
std::map<UINT_PTR, Timer*>& RunningTimers() {
  static std::map<UINT_PTR, Timer*> timers;
  return timers;
}

void CALLBACK TimerElapsed(HWND, UINT, UINT_PTR id, DWORD) {
  const auto it = RunningTimers().find(id);
  if (it != RunningTimers().end()) it->second->Elapse();
}

void StopTimer(const Timer& t) {
  auto& timers = RunningTimers();
  for (auto it = timers.begin(); it != timers.end(); ++it) {
    if (it->second != &t) continue;
    KillTimer(nullptr, it->first);
    timers.erase(it);
    return;
  }
}

}  // namespace

struct Win32Backend::Impl {
  explicit Impl(HWND ownerWindow) : owner(ownerWindow), mainThread(GetCurrentThreadId()), ppi(SystemPpi()) {}

  Form* form = nullptr;
  HWND window = nullptr;
  HWND owner = nullptr;
  DWORD style = 0, exStyle = 0;
  const DWORD mainThread;
  // Read by Wake on any thread.
  std::atomic<HWND> serviceWindow{nullptr};
  std::atomic<bool> wakePending{false};
  std::map<const Control*, std::unique_ptr<ControlWindow>> windows;
  std::map<HWND, ControlWindow*> byWindow;
  struct FontEntry {
    int ppi;
    HFONT font;
  };
  std::map<std::string, FontEntry> fonts;
  int ppi;
  Control* hovered = nullptr;
  // The child window that had the focus when the form was last active.
  HWND lastFocus = nullptr;
  size_t systemMenuItems = 0;
  UINT taskbarCreated = 0;
  ITaskbarList3* taskbar = nullptr;
  bool taskbarTried = false;
  bool comTried = false, comReady = false, comOwned = false;
  // Set while a modal loop runs: the window hides only after its owner is
  // enabled again.
  bool inModal = false;
  // Set while the model's change is being mirrored, so that the window's
  // own notification of it (EN_CHANGE) does not come back as typing.
  bool mirroring = false;

  ~Impl() {
    // The form usually went first; what its window is told while it goes
    // must not reach it.
    form = nullptr;
    for (auto& entry : windows) Release(*entry.second);
    // The control windows go with the form's window.
    if (window) DestroyWindow(window);
    for (auto& entry : windows)
      if (entry.second->brush) DeleteObject(entry.second->brush);
    windows.clear();
    for (const auto& f : fonts) DeleteObject(f.second.font);
    if (taskbar) taskbar->Release();
    if (comOwned) {
      using Uninit = void(WINAPI*)();
      if (const Uninit uninit = SystemRoutine<Uninit>(L"ole32.dll", "CoUninitialize")) uninit();
    }
  }

  ControlWindow* Find(HWND h) const {
    const auto it = byWindow.find(h);
    return it == byWindow.end() ? nullptr : it->second;
  }

  // ------------------------------------------------------------ the form

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      self = static_cast<Impl*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->window = hwnd;
    }
    if (self) {
      LRESULT result = 0;
      if (self->Handle(msg, wp, lp, result)) return result;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }

  bool Handle(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    switch (msg) {
      case WM_COMMAND: {
        ControlWindow* cw = Find(reinterpret_cast<HWND>(lp));
        if (!cw) return false;
        Control& c = *cw->control;
        const UINT code = HIWORD(wp);
        // A link label's clicks come from its mouse messages (and Enter),
        // never from STN_CLICKED.
        if (code == BN_CLICKED && c.kind() == Kind::CheckBox) {
          static_cast<CheckBox&>(c).Toggle();
        } else if (code == BN_CLICKED && c.kind() == Kind::Button) {
          c.Click();
        } else if (code == EN_CHANGE && !mirroring && (c.kind() == Kind::Edit || c.kind() == Kind::Memo)) {
          static_cast<TextControl&>(c).Type(Narrow(WindowText(cw->hwnd)));
        }
        result = 0;
        return true;
      }
      case WM_NOTIFY: {
        const auto* n = reinterpret_cast<const NMHDR*>(lp);
        ControlWindow* cw = n ? Find(n->hwndFrom) : nullptr;
        if (cw && cw->control->kind() == Kind::ReportList && n->code == LVN_ITEMCHANGED && !mirroring) {
          // The user's choice of a row (mouse or arrow keys).
          const auto* change = reinterpret_cast<const NMLISTVIEW*>(lp);
          if ((change->uChanged & LVIF_STATE) && (change->uNewState & LVIS_SELECTED) &&
              !(change->uOldState & LVIS_SELECTED))
            static_cast<ReportList&>(*cw->control).ClickRow(change->iItem);
          return false;
        }
        return cw && cw->tree && cw->tree->Notify(*n, result);
      }
      case WM_CTLCOLORSTATIC:
        return ColourStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), result);
      case WM_ERASEBKGND: {
        if (!PaintsBands()) return false;
        RECT area;
        GetClientRect(window, &area);
        PaintBands(reinterpret_cast<HDC>(wp), POINT{0, 0}, area);
        result = 1;
        return true;
      }
      case WM_PRINTCLIENT:
        if (lp & PRF_ERASEBKGND) SendMessageW(window, WM_ERASEBKGND, wp, 0);
        result = 0;
        return true;
      case WM_SETCURSOR:
        NoteHover(reinterpret_cast<HWND>(wp), nullptr);
        return false;
      case WM_MOUSEMOVE: {
        const POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        NoteHover(window, &at);
        return false;
      }
      case WM_NCMOUSEMOVE:
        SetHovered(nullptr);
        return false;
      case WM_ACTIVATE:
        if (LOWORD(wp) != WA_INACTIVE && form && form->OnActivate) PostMessageW(window, kActivatedMessage, 0, 0);
        // A plain window, unlike a dialog, leaves the keyboard focus on
        // itself when it is activated again (after a message box, or
        // coming back from another program): the control that had it
        // gets it back.
        if (LOWORD(wp) == WA_INACTIVE) {
          const HWND now = GetFocus();
          if (now && IsChild(window, now)) lastFocus = now;
          return false;
        }
        if (const HWND back = FocusToRestore()) {
          SetFocus(back);
          result = 0;
          return true;
        }
        return false;
      case WM_CLOSE:
        // The close box and Alt+F4 ask; the model decides.
        if (form) form->CloseQuery();
        result = 0;
        return true;
      case WM_SYSCOMMAND: {
        if (!form) return false;
        const auto& items = form->systemMenu();
        const auto item =
            std::find_if(items.begin(), items.end(), [&](const Form::MenuItem& m) { return wp == static_cast<WPARAM>(m.id); });
        if (item == items.end()) return false;
        const int id = item->id;
        if (form->OnSystemCommand) form->OnSystemCommand(id);
        result = 0;
        return true;
      }
      case WM_DPICHANGED: {
        RefreshFonts(HIWORD(wp));
        if (form && form->OnDpiChanged) {
          form->OnDpiChanged(ppi);
        } else {
          const RECT* r = reinterpret_cast<const RECT*>(lp);
          SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
        }
        result = 0;
        return true;
      }
      case kServiceMessage:
        Service();
        result = 0;
        return true;
      case kActivatedMessage:
        // Only while the window is still the active one: a later message
        // may have moved the activation on already.
        if (form && GetActiveWindow() == window) form->Activate();
        result = 0;
        return true;
      case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        ControlWindow* cw = item ? Find(item->hwndItem) : nullptr;
        if (!cw || cw->control->kind() != Kind::Image) return false;
        DrawImage(*cw, item->hDC);
        result = TRUE;
        return true;
      }
      case WM_DESTROY:
        window = nullptr;
        serviceWindow = nullptr;
        return false;
      default:
        if (taskbarCreated && msg == taskbarCreated) {
          // Explorer (re)made the window's taskbar button: it shows the
          // progress only from now on.
          ApplyTaskbar();
          result = 0;
          return true;
        }
        return false;
    }
  }

  // The control window to give the focus back to: the last one that had
  // it, else the model's focused control, while it can take it.
  HWND FocusToRestore() const {
    const auto usable = [&](HWND h) { return h && IsChild(window, h) && IsWindowVisible(h) && IsWindowEnabled(h); };
    if (usable(lastFocus)) return lastFocus;
    if (form && form->focused()) {
      const auto it = windows.find(form->focused());
      if (it != windows.end() && usable(it->second->hwnd)) return it->second->hwnd;
    }
    return nullptr;
  }

  void Service() {
    // Cleared first: a call queued while these run posts a new message.
    wakePending = false;
    if (form) form->dispatcher().Service();
  }

  void EnsureWindow(Form& f) {
    if (form && form != &f) throw std::logic_error("a Win32Backend serves one form");
    if (window) return;
    form = &f;
    const auto registerClass = [](const wchar_t* name) {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = &Impl::Proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      wc.lpszClassName = name;
      return RegisterClassExW(&wc);
    };
    static const ATOM atom = registerClass(kFormClass);
    static const ATOM borderlessAtom = registerClass(kBorderlessClass);
    const bool borderless = f.borderStyle() == BorderStyle::None;
    if (!(borderless ? borderlessAtom : atom)) throw std::runtime_error("the setup window's class cannot be registered");
    ChooseStyle(f);
    const Bounds& b = f.bounds();
    window = CreateWindowExW(exStyle, borderless ? kBorderlessClass : kFormClass, Wide(f.caption()).c_str(), style,
                             b.left, b.top, 0, 0, owner, nullptr, GetModuleHandleW(nullptr), this);
    if (!window) throw std::runtime_error("the setup window cannot be created");
    serviceWindow = window;
    ppi = WindowPpi(window);
    taskbarCreated = RegisterWindowMessageW(L"TaskbarButtonCreated");
    // An elevated setup would not hear of the button from the (not
    // elevated) shell otherwise (Windows 7 and later).
    using Allow = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    if (const Allow allow = User32Routine<Allow>("ChangeWindowMessageFilterEx"); allow && taskbarCreated)
      allow(window, taskbarCreated, 1 /* MSGFLT_ALLOW */, nullptr);
    PlaceWindow();
  }

  void ChooseStyle(const Form& f) {
    if (f.borderStyle() == BorderStyle::None) {
      // No caption and no frame. A tool window has no taskbar button and
      // no place in Alt+Tab (a backdrop is nothing to switch to), and as it
      // is not topmost the taskbar stays above it.
      style = WS_POPUP | WS_CLIPCHILDREN;
      exStyle = WS_EX_TOOLWINDOW;
      return;
    }
    // An owned window (a dialog) has no minimize box: it would leave its
    // disabled owner without a way back.
    style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | (owner ? 0 : WS_MINIMIZEBOX);
    exStyle = WS_EX_CONTROLPARENT;
  }

  // The model's width and height are the client area's; left and top are
  // the window's place on the screen.
  void PlaceWindow() {
    const Bounds& b = form->bounds();
    RECT r{0, 0, std::max(b.width, 0), std::max(b.height, 0)};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int w = r.right - r.left, h = r.bottom - r.top;
    SetWindowPos(window, nullptr, b.left, b.top, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame may come out otherwise than computed (a wrapped menu bar,
    // the metrics of another monitor): measured and corrected once.
    RECT c{};
    if (IsIconic(window) || !GetClientRect(window, &c)) return;
    const int dw = std::max(b.width, 0) - c.right, dh = std::max(b.height, 0) - c.bottom;
    if (dw != 0 || dh != 0)
      SetWindowPos(window, nullptr, 0, 0, w + dw, h + dh, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }

  // ------------------------------------------------------------ painting

  bool PaintsBands() const { return form && form->bands() && DisplayBits() >= 15; }

  // The form's bands where they fall into `area` of a DC whose origin lies
  // at `at` in the form's client area (the form itself, or a transparent
  // label on it). N comes from the window's outer height, so the bands are
  // those of the whole window.
  void PaintBands(HDC dc, POINT at, const RECT& area) {
    RECT outer{};
    GetWindowRect(window, &outer);
    const std::vector<BandArea> bands =
        Bands(outer.right - outer.left, outer.bottom - outer.top, form->bandTop(), form->bandBottom());
    const COLORREF oldBk = GetBkColor(dc);
    for (const BandArea& b : bands) {
      RECT band{-at.x, b.top - at.y, b.right - at.x, b.bottom - at.y};
      RECT part;
      if (!IntersectRect(&part, &band, &area)) continue;
      SetBkColor(dc, b.colour);
      ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &part, nullptr, 0, nullptr);
    }
    SetBkColor(dc, oldBk);
    // The rows below the last band keep the window's own background.
    RECT rest{area.left, std::max<LONG>(area.top, (bands.empty() ? 0 : bands.back().bottom) - at.y), area.right,
              area.bottom};
    if (rest.top < rest.bottom) FillRect(dc, &rest, GetSysColorBrush(COLOR_BTNFACE));
  }

  static COLORREF TextColour(const Control& c) {
    if (c.colour() != kDefaultColour) return c.colour() & 0xFFFFFF;
    if (c.font().colour != kDefaultColour) return c.font().colour & 0xFFFFFF;
    return GetSysColor(COLOR_WINDOWTEXT);
  }

  // The form's own background (its bands, or the face colour) for `area`
  // of a DC whose origin lies at `at` in the form's client area.
  void PaintBackground(HDC dc, POINT at, const RECT& area) {
    if (PaintsBands())
      PaintBands(dc, at, area);
    else
      FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  }

  // What shows through a see-through control `self`, onto a canvas of its
  // size: the form's background, then every see-through control made
  // before it that overlaps it (a shadow beneath its text), as each draws
  // itself. The form does not paint under its children, and a child is
  // clipped where a later one lies above it, so without this the later
  // one would blot out the earlier.
  void PaintBeneath(const ControlWindow& self, Canvas& canvas) {
    if (!form) return;
    POINT at{0, 0};
    MapWindowPoints(self.hwnd, window, &at, 1);
    PaintBackground(canvas.dc, at, RECT{0, 0, canvas.width, canvas.height});
    const RECT mine{at.x, at.y, at.x + canvas.width, at.y + canvas.height};
    for (const auto& other : form->controls()) {
      if (other.get() == self.control) break;
      const auto it = windows.find(other.get());
      if (it == windows.end() || !SeeThrough(*other) || !IsWindowVisible(it->second->hwnd)) continue;
      RECT r{};
      GetWindowRect(it->second->hwnd, &r);
      MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
      RECT overlap;
      if (!IntersectRect(&overlap, &r, &mine)) continue;
      const ControlWindow& cw = *it->second;
      if (other->kind() == Kind::Image) {
        canvas.Blend(cw.pixels, cw.pictureWidth, cw.pictureHeight, r.left - at.x, r.top - at.y);
        continue;
      }
      const auto& label = static_cast<const Label&>(*other);
      std::wstring text = Wide(label.caption());
      RECT place{r.left - at.x, r.top - at.y, r.right - at.x, r.bottom - at.y};
      const HGDIOBJ oldFont = SelectObject(canvas.dc, FontFor(label.font()));
      SetBkMode(canvas.dc, TRANSPARENT);
      SetTextColor(canvas.dc, TextColour(label));
      DrawTextW(canvas.dc, text.data(), static_cast<int>(text.size()), &place, LabelTextFlags(label));
      SelectObject(canvas.dc, oldFont);
    }
  }

  void DrawImage(ControlWindow& cw, HDC dc) {
    RECT area{};
    GetClientRect(cw.hwnd, &area);
    Canvas canvas(dc, area.right, area.bottom);
    if (!canvas.ready()) return;
    PaintBeneath(cw, canvas);
    canvas.Blend(cw.pixels, cw.pictureWidth, cw.pictureHeight, 0, 0);
    BitBlt(dc, 0, 0, area.right, area.bottom, canvas.dc, 0, 0, SRCCOPY);
  }

  void DecodeImage(ControlWindow& cw) {
    const auto& image = static_cast<const Image&>(*cw.control);
    cw.pixels.clear();
    cw.pictureWidth = cw.pictureHeight = 0;
    if (!image.hasPicture() || !EnsureCom()) return;
    const PictureInfo& info = image.picture();
    if (!DecodePicture(image.pictureBytes(), info.width, info.height, cw.pixels)) return;
    cw.pictureWidth = info.width;
    cw.pictureHeight = info.height;
    if (image.transparent()) KeyOutTransparentColour(cw.pixels, info.width, info.height);
  }

  // See-through controls stack in the order they were made, the later
  // above; the other controls keep their places.
  void Restack() {
    if (!form) return;
    std::vector<HWND> stack;
    for (const auto& c : form->controls()) {
      const auto it = windows.find(c.get());
      if (it != windows.end() && SeeThrough(*c)) stack.push_back(it->second->hwnd);
    }
    for (size_t i = stack.size(); i-- > 1;)
      SetWindowPos(stack[i - 1], stack[i], 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  // A see-through control changed: those above it that overlap it show it
  // through, so they are drawn again too.
  void RepaintAbove(const ControlWindow& changed) {
    if (!form) return;
    if (!SeeThrough(*changed.control)) return;
    RECT mine{};
    GetWindowRect(changed.hwnd, &mine);
    bool after = false;
    for (const auto& c : form->controls()) {
      if (c.get() == changed.control) {
        after = true;
        continue;
      }
      const auto it = windows.find(c.get());
      if (!after || it == windows.end() || !SeeThrough(*c)) continue;
      RECT r{}, overlap;
      GetWindowRect(it->second->hwnd, &r);
      if (IntersectRect(&overlap, &r, &mine)) InvalidateRect(it->second->hwnd, nullptr, TRUE);
    }
  }

  bool ColourStatic(HDC dc, HWND child, LRESULT& result) {
    ControlWindow* cw = Find(child);
    if (!cw) return false;
    const Control& c = *cw->control;
    if (c.kind() == Kind::Label || c.kind() == Kind::LinkLabel) {
      SetTextColor(dc, TextColour(c));
      if (static_cast<const Label&>(c).transparent()) {
        // The label paints nothing behind its text (hollow brush); what
        // shows there is the form's background, painted here for the
        // label's own area since the form does not paint under its
        // children.
        SetBkMode(dc, TRANSPARENT);
        RECT area{};
        GetClientRect(child, &area);
        Canvas canvas(dc, area.right, area.bottom);
        if (canvas.ready()) {
          PaintBeneath(*cw, canvas);
          BitBlt(dc, 0, 0, area.right, area.bottom, canvas.dc, 0, 0, SRCCOPY);
        } else {
          POINT at{0, 0};
          MapWindowPoints(child, window, &at, 1);
          PaintBackground(dc, at, area);
        }
        result = reinterpret_cast<LRESULT>(GetStockObject(HOLLOW_BRUSH));
      } else {
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      return true;
    }
    if (c.kind() == Kind::CheckBox && c.colour() != kDefaultColour) {
      // A check box's colour is its background: the band behind it.
      if (!cw->brush || cw->brushColour != c.colour()) {
        if (cw->brush) DeleteObject(cw->brush);
        cw->brush = CreateSolidBrush(c.colour());
        cw->brushColour = c.colour();
      }
      SetBkColor(dc, c.colour());
      result = reinterpret_cast<LRESULT>(cw->brush);
      return true;
    }
    return false;
  }

  // ------------------------------------------------------------ the mouse

  // The control under the mouse: the window the mouse is in, or for the
  // form's own area the child there (a label lets the mouse through to
  // the form, and a disabled control gets no mouse messages at all).
  void NoteHover(HWND under, const POINT* clientPoint) {
    if (!form || !window) return;
    if (under == window) {
      POINT p{};
      if (clientPoint) {
        p = *clientPoint;
      } else {
        GetCursorPos(&p);
        ScreenToClient(window, &p);
      }
      under = ChildWindowFromPointEx(window, p, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
    }
    Control* c = nullptr;
    for (HWND h = under; h && h != window; h = GetParent(h)) {
      if (ControlWindow* cw = Find(h)) {
        c = cw->control;
        break;
      }
    }
    SetHovered(c);
  }

  void SetHovered(Control* c) {
    if (c == hovered) return;
    hovered = c;
    if (form) form->Hover(c);
  }

  static LRESULT CALLBACK ChildProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* cw = static_cast<ControlWindow*>(GetPropW(h, kStateProperty));
    if (!cw || !cw->original) return DefWindowProcW(h, msg, wp, lp);
    if (cw->tree) return cw->tree->Message(msg, wp, lp, cw->original);
    if (cw->control->kind() == Kind::LinkLabel) return LinkMessage(*cw, msg, wp, lp);
    return CallWindowProcW(cw->original, h, msg, wp, lp);
  }

  // A link label follows the mouse itself: it lights up under it, and a
  // press released on it opens the link (the model decides by the place
  // of the release, so a press dragged off and released elsewhere does
  // not).
  static LRESULT LinkMessage(ControlWindow& cw, UINT msg, WPARAM wp, LPARAM lp) {
    auto& link = static_cast<LinkLabel&>(*cw.control);
    const HWND h = cw.hwnd;
    switch (msg) {
      case WM_MOUSEMOVE:
        if (!cw.tracking) {
          TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, h, 0};
          TrackMouseEvent(&track);
          cw.tracking = true;
          link.MouseEnter();
        }
        return 0;
      case WM_MOUSELEAVE:
        cw.tracking = false;
        link.MouseLeave();
        return 0;
      case WM_LBUTTONDOWN:
      case WM_LBUTTONDBLCLK:  // a fast second press
        SetCapture(h);
        link.MouseDown();
        return 0;
      case WM_LBUTTONUP: {
        if (GetCapture() == h) ReleaseCapture();
        const POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        RECT inside{};
        GetClientRect(h, &inside);
        if (cw.tracking && !PtInRect(&inside, at)) {
          // Released elsewhere: the mouse has left, whether or not the
          // system reported it while the label held the capture, and the
          // next move onto it is an entry again.
          TRACKMOUSEEVENT cancel{sizeof cancel, TME_LEAVE | TME_CANCEL, h, 0};
          TrackMouseEvent(&cancel);
          cw.tracking = false;
        }
        // The last use of `cw`: opening the link may remove the label.
        link.MouseUp(at.x, at.y);
        return 0;
      }
      case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      default:
        return CallWindowProcW(cw.original, h, msg, wp, lp);
    }
  }

  // ------------------------------------------------------------ the loop

  // One message of the main thread's loop: the dialog keys of the form's
  // windows follow the model's rules, the mouse over a control is noted,
  // the rest goes to the windows.
  void Dispatch(MSG& msg) {
    if (!msg.hwnd && msg.message == kServiceMessage) {
      Service();
      return;
    }
    if (form && window && msg.hwnd && (msg.hwnd == window || IsChild(window, msg.hwnd))) {
      if (msg.message == WM_KEYDOWN && DialogKey(msg)) return;
      // Alt and a letter: the control whose caption marks it.
      if (msg.message == WM_SYSCHAR && form->PressMnemonic(static_cast<char32_t>(msg.wParam))) return;
      if (msg.message == WM_MOUSEMOVE && msg.hwnd != window) NoteHover(msg.hwnd, nullptr);
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  bool DialogKey(const MSG& msg) {
    // A click may have moved the focus since the model last moved it.
    if (ControlWindow* now = Find(GetFocus())) form->SetFocus(now->control);
    const bool shift = GetKeyState(VK_SHIFT) < 0;
    switch (msg.wParam) {
      case VK_TAB: return form->Press(shift ? Key::ShiftTab : Key::Tab);
      case VK_RETURN: return form->Press(Key::Enter);
      case VK_ESCAPE: return form->Press(Key::Escape);
      default: return false;  // Space: the focused window's own (a tree's goes to the model there)
    }
  }

  // ------------------------------------------------------------ controls

  HFONT FontFor(const Font& f) {
    // One font object per distinct font and resolution, kept while a
    // window may use it.
    const std::string key = f.name + "/" + std::to_string(f.height) + (f.bold ? "b" : "") + (f.underline ? "u" : "") +
                            (f.italic ? "i" : "") + (f.strikeout ? "s" : "") + "#" + std::to_string(f.pixels) + "%" +
                            std::to_string(f.charset) + "@" + std::to_string(ppi);
    const auto it = fonts.find(key);
    if (it != fonts.end()) return it->second.font;
    const DWORD charset = f.charset >= 0 && f.charset <= 255 ? static_cast<DWORD>(f.charset) : DEFAULT_CHARSET;
    const HFONT h = CreateFontW(-(f.pixels ? f.pixels : FontPixels(f.height, ppi)), 0, 0, 0, f.bold ? FW_BOLD : FW_NORMAL,
                                f.italic ? TRUE : FALSE, f.underline ? TRUE : FALSE, f.strikeout ? TRUE : FALSE, charset,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                                Wide(f.name).c_str());
    fonts[key] = {ppi, h};
    return h;
  }

  // The window moved to a monitor of another resolution: the same point
  // sizes, in fonts of the new one.
  void RefreshFonts(int newPpi) {
    if (newPpi <= 0 || newPpi == ppi) return;
    ppi = newPpi;
    for (auto& entry : windows) Mirror(*entry.second, Property::Font);
    for (auto it = fonts.begin(); it != fonts.end();) {
      if (it->second.ppi != ppi) {
        DeleteObject(it->second.font);
        it = fonts.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Mirror(ControlWindow& cw, Property p) {
    Control& c = *cw.control;
    const HWND h = cw.hwnd;
    const bool was = mirroring;
    mirroring = true;
    const Bounds& b = c.bounds();
    switch (p) {
      case Property::Bounds:
        MoveWindow(h, b.left, b.top, b.width, b.height, TRUE);
        RepaintAbove(cw);
        break;
      case Property::Caption:
        // A text control's content is its text, not its caption.
        if (c.kind() != Kind::Edit && c.kind() != Kind::Memo && c.kind() != Kind::RichEdit)
          SetWindowTextW(h, Wide(c.caption()).c_str());
        RepaintAbove(cw);
        break;
      case Property::Visible:
        ShowWindow(h, c.visible() ? SW_SHOWNA : SW_HIDE);
        RepaintAbove(cw);
        break;
      case Property::Enabled:
        EnableWindow(h, c.enabled());
        break;
      case Property::Font:
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(c.font())), TRUE);
        if (cw.tree)
          cw.tree->SetIndent(MulDiv(kTreeIndent, c.font().pixels ? c.font().pixels : FontPixels(c.font().height, ppi),
                                    kDesignedFontPixels));
        // A colour of the font shows only when the text is drawn again.
        InvalidateRect(h, nullptr, TRUE);
        RepaintAbove(cw);
        break;
      case Property::Colour:
        InvalidateRect(h, nullptr, TRUE);
        RepaintAbove(cw);
        break;
      case Property::TabOrder: {
        // Windows keeps the tab order as the order of the child windows.
        HWND after = HWND_TOP;
        for (const auto& other : form->controls()) {
          if (other.get() == &c) continue;
          const auto w = windows.find(other.get());
          if (w != windows.end() && other->tabOrder() <= c.tabOrder()) after = w->second->hwnd;
        }
        SetWindowPos(h, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        break;
      }
      case Property::Default:
        SendMessageW(h, BM_SETSTYLE, static_cast<Button&>(c).isDefault() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
        break;
      case Property::Shield:
        MirrorShield(h, static_cast<Button&>(c).shield());
        break;
      case Property::Checked:
        SendMessageW(h, BM_SETCHECK, static_cast<CheckBox&>(c).checked() ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      case Property::Text:
        if (c.kind() == Kind::RichEdit) {
          StreamText(h, static_cast<TextControl&>(c));
        } else {
          // The user's own typing is in the window already: setting it
          // again would move the caret back to the start.
          const auto& t = static_cast<TextControl&>(c);
          if (t.maxLength > 0) SendMessageW(h, EM_SETLIMITTEXT, static_cast<WPARAM>(t.maxLength), 0);
          const std::wstring text = Wide(t.text());
          if (WindowText(h) != text) SetWindowTextW(h, text.c_str());
        }
        break;
      case Property::Nodes:
        if (cw.tree) cw.tree->SyncNodes();
        break;
      case Property::Rows:
        if (c.kind() == Kind::ReportList) {
          MirrorRows(cw);
          MirrorSelection(cw);
        }
        break;
      case Property::Selection:
        if (c.kind() == Kind::ReportList) MirrorSelection(cw);
        break;
      case Property::Range:
        SendMessageW(h, PBM_SETRANGE32, 0, 10000);
        [[fallthrough]];
      case Property::Position: {
        // The bar's range is 32-bit: positions go in as ten-thousandths.
        auto& bar = static_cast<ProgressBar&>(c);
        const WPARAM pos = bar.maximum() ? static_cast<WPARAM>(bar.position() * 10000 / bar.maximum()) : 0;
        SendMessageW(h, PBM_SETPOS, pos, 0);
        break;
      }
      case Property::Picture:
        if (c.kind() == Kind::Image) {
          DecodeImage(cw);
          InvalidateRect(h, nullptr, TRUE);
          RepaintAbove(cw);
        }
        break;
      case Property::Style:
        if (c.kind() == Kind::Label || c.kind() == Kind::LinkLabel) {
          const LONG_PTR now = GetWindowLongPtrW(h, GWL_STYLE);
          const LONG_PTR want =
              (now & ~static_cast<LONG_PTR>(SS_TYPEMASK | SS_NOPREFIX)) | LabelStyle(static_cast<Label&>(c));
          if (want != now) SetWindowLongPtrW(h, GWL_STYLE, want);
          Restack();
          InvalidateRect(h, nullptr, TRUE);  // transparency shows only when painted again
          RepaintAbove(cw);
        } else if (cw.tree) {
          cw.tree->SyncStyle();
        }
        break;
      default:
        break;
    }
    mirroring = was;
  }

  static void MirrorShield(HWND h, bool on) {
    const LRESULT drawn = SendMessageW(h, BCM_SETSHIELD, 0, on ? TRUE : FALSE);
    // Where the button cannot draw the shield itself (Wine answers 0), the
    // system's shield icon becomes its image.
    HANDLE image = nullptr;
    if (on && drawn != 1)
      image = LoadImageW(nullptr, IDI_SHIELD, IMAGE_ICON, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                         LR_SHARED);
    if (!on || drawn != 1) SendMessageW(h, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(image));
  }

  // A file's bytes into the rich edit: RTF as it is, anything else as
  // UTF-8 text.
  static void StreamText(HWND h, const TextControl& t) {
    SendMessageW(h, EM_SETREADONLY, t.readOnly() ? TRUE : FALSE, 0);
    StreamSource source{&t.text(), 0};
    EDITSTREAM stream{};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
    stream.pfnCallback = &ReadStream;
    const WPARAM format = t.rich ? SF_RTF : ((CP_UTF8 << 16) | SF_USECODEPAGE | SF_TEXT);
    SendMessageW(h, EM_STREAMIN, format, reinterpret_cast<LPARAM>(&stream));
  }

  static void MirrorSelection(ControlWindow& cw) {
    const int row = static_cast<const ReportList&>(*cw.control).selected();
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(cw.hwnd, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    if (row < 0) return;
    LVITEMW item{};
    item.state = item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(cw.hwnd, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    SendMessageW(cw.hwnd, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
  }

  static void MirrorRows(ControlWindow& cw) {
    const auto& list = static_cast<const ReportList&>(*cw.control);
    const HWND h = cw.hwnd;
    if (!SameColumns(cw.columns, list.columns)) {
      while (SendMessageW(h, LVM_DELETECOLUMN, 0, 0)) {
      }
      for (size_t i = 0; i < list.columns.size(); ++i) {
        const ReportList::Column& column = list.columns[i];
        std::wstring caption = Wide(column.caption);
        LVCOLUMNW col{};
        col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        col.fmt = column.rightAligned ? LVCFMT_RIGHT : LVCFMT_LEFT;
        col.cx = column.width;
        col.pszText = caption.data();
        col.iSubItem = static_cast<int>(i);
        SendMessageW(h, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
      }
      cw.columns = list.columns;
    }
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    SendMessageW(h, LVM_DELETEALLITEMS, 0, 0);
    const auto& rows = list.rows();
    for (size_t r = 0; r < rows.size(); ++r) {
      std::wstring first = rows[r].empty() ? std::wstring() : Wide(rows[r][0]);
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = static_cast<int>(r);
      item.pszText = first.data();
      const auto at = SendMessageW(h, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
      if (at < 0) continue;
      for (size_t j = 1; j < rows[r].size(); ++j) {
        std::wstring text = Wide(rows[r][j]);
        LVITEMW sub{};
        sub.iSubItem = static_cast<int>(j);
        sub.pszText = text.data();
        SendMessageW(h, LVM_SETITEMTEXTW, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&sub));
      }
    }
    SendMessageW(h, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(h, nullptr, TRUE);
  }

  void Create(Control& c) {
    EnsureWindow(c.form());
    const wchar_t* cls = nullptr;
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD ex = 0;
    std::wstring text = Wide(c.caption());
    switch (c.kind()) {
      case Kind::Button:
        cls = L"BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case Kind::CheckBox:
        cls = L"BUTTON";
        style |= WS_TABSTOP | BS_CHECKBOX;  // the model toggles, not the window
        break;
      case Kind::Label:
        cls = L"STATIC";
        // Clipped where a later see-through sibling lies above it, which
        // shows it through (see PaintBeneath).
        style |= WS_CLIPSIBLINGS | LabelStyle(static_cast<Label&>(c));
        break;
      case Kind::LinkLabel:
        cls = L"STATIC";
        style |= WS_CLIPSIBLINGS | WS_TABSTOP | SS_NOTIFY | SS_NOPREFIX | LabelStyle(static_cast<Label&>(c));
        break;
      case Kind::Image:
        // Drawn by the form (WM_DRAWITEM), over what lies beneath it.
        cls = L"STATIC";
        style |= WS_CLIPSIBLINGS | SS_OWNERDRAW;
        text.clear();
        break;
      case Kind::Edit:
        cls = L"EDIT";
        style |= WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
        break;
      case Kind::Memo:
        cls = L"EDIT";
        style |= WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
        break;
      case Kind::ProgressBar:
        if (!Comctl().classesReady) throw std::runtime_error("the common controls cannot be loaded");
        cls = PROGRESS_CLASSW;
        break;
      case Kind::Tree:
        if (!Comctl().classesReady) throw std::runtime_error("the common controls cannot be loaded");
        // The shell's icons want COM on the thread.
        EnsureCom();
        cls = WC_TREEVIEWW;
        style |= WS_TABSTOP | TreeWindow::Style(static_cast<Tree&>(c).showLines());
        ex = WS_EX_CLIENTEDGE;
        break;
      case Kind::ReportList:
        if (!Comctl().classesReady) throw std::runtime_error("the common controls cannot be loaded");
        cls = WC_LISTVIEWW;
        style |= WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
        ex = WS_EX_CLIENTEDGE;
        break;
      case Kind::RichEdit:
        if (!win32ui::SystemModule(L"msftedit.dll")) throw std::runtime_error("the rich edit library cannot be loaded");
        cls = MSFTEDIT_CLASS;
        style |= WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL;
        if (static_cast<TextControl&>(c).readOnly()) style |= ES_READONLY;
        ex = WS_EX_CLIENTEDGE;
        text.clear();
        break;
    }
    const Bounds& b = c.bounds();
    const HWND h = CreateWindowExW(ex, cls, text.c_str(), style, b.left, b.top, b.width, b.height, window, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    if (!h) throw std::runtime_error("the window of " + c.name() + " cannot be created");
    auto cw = std::make_unique<ControlWindow>();
    cw->control = &c;
    cw->hwnd = h;
    const std::wstring name = Wide(c.name());
    if (!name.empty()) cw->name = GlobalAddAtomW(name.c_str());
    if (cw->name) SetPropW(h, kNameProperty, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(cw->name)));
    if (c.kind() == Kind::Tree) cw->tree = std::make_unique<TreeWindow>(static_cast<Tree&>(c), h);
    if (c.kind() == Kind::Tree || c.kind() == Kind::LinkLabel) {
      SetPropW(h, kStateProperty, cw.get());
      cw->original =
          reinterpret_cast<WNDPROC>(SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Impl::ChildProc)));
    }
    if (c.kind() == Kind::ReportList)
      SendMessageW(h, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    ControlWindow& ref = *cw;
    byWindow[h] = cw.get();
    windows[&c] = std::move(cw);
    for (Property p : {Property::Font, Property::Visible, Property::Enabled}) Mirror(ref, p);
    if (c.kind() == Kind::Tree) {
      Mirror(ref, Property::Style);
      Mirror(ref, Property::Nodes);
    }
    if (c.kind() == Kind::ReportList) Mirror(ref, Property::Rows);
    if (c.kind() == Kind::RichEdit) Mirror(ref, Property::Text);
    if (c.kind() == Kind::Image) DecodeImage(ref);
    if (SeeThrough(c)) Restack();
    // The bar's own range (0 to 100) is not the one positions are given in.
    if (c.kind() == Kind::ProgressBar) Mirror(ref, Property::Range);
  }

  // Everything of a control window but the window itself.
  void Release(ControlWindow& cw) {
    byWindow.erase(cw.hwnd);
    if (cw.original) {
      SetWindowLongPtrW(cw.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(cw.original));
      RemovePropW(cw.hwnd, kStateProperty);
      cw.original = nullptr;
    }
    if (cw.name) {
      RemovePropW(cw.hwnd, kNameProperty);
      GlobalDeleteAtom(cw.name);
      cw.name = 0;
    }
  }

  void Destroy(Control& c) {
    const auto it = windows.find(&c);
    if (it == windows.end()) return;
    std::unique_ptr<ControlWindow> cw = std::move(it->second);
    windows.erase(it);
    if (hovered == &c) hovered = nullptr;
    if (lastFocus == cw->hwnd) lastFocus = nullptr;
    Release(*cw);
    DestroyWindow(cw->hwnd);
    if (cw->brush) DeleteObject(cw->brush);
    // The tree's state images go with `cw`, after its window.
  }

  // ------------------------------------------------------------ the shell

  bool EnsureCom() {
    if (comTried) return comReady;
    comTried = true;
    using Init = HRESULT(WINAPI*)(LPVOID, DWORD);
    const Init init = SystemRoutine<Init>(L"ole32.dll", "CoInitializeEx");
    if (!init) return false;
    // A thread in the multithreaded apartment already keeps it.
    const HRESULT hr = init(nullptr, COINIT_APARTMENTTHREADED);
    comOwned = SUCCEEDED(hr);
    comReady = SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
    return comReady;
  }

  ITaskbarList3* Taskbar() {
    if (taskbarTried) return taskbar;
    taskbarTried = true;
    if (!EnsureCom()) return nullptr;
    using Make = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    const Make make = SystemRoutine<Make>(L"ole32.dll", "CoCreateInstance");
    void* object = nullptr;
    if (!make || FAILED(make(kClsidTaskbarList, nullptr, CLSCTX_INPROC_SERVER, kIidTaskbarList3, &object)) || !object)
      return nullptr;
    auto* list = static_cast<ITaskbarList3*>(object);
    if (FAILED(list->HrInit())) {
      list->Release();
      return nullptr;
    }
    taskbar = list;
    return taskbar;
  }

  // The taskbar button shows the model's progress; a system without one
  // (or a shell that refuses) simply shows none.
  void ApplyTaskbar() {
    if (!form || !window) return;
    if (form->taskbarState() == TaskbarState::None && !taskbar) return;
    ITaskbarList3* list = Taskbar();
    if (!list) return;
    const ULONGLONG total = form->taskbarMaximum() ? form->taskbarMaximum() : 1;
    const ULONGLONG done = std::min<ULONGLONG>(form->taskbarValue(), total);
    switch (form->taskbarState()) {
      case TaskbarState::None:
        list->SetProgressState(window, TBPF_NOPROGRESS);
        break;
      case TaskbarState::Normal:
        list->SetProgressState(window, TBPF_NORMAL);
        list->SetProgressValue(window, done, total);
        break;
      case TaskbarState::Error:
        list->SetProgressState(window, TBPF_ERROR);
        list->SetProgressValue(window, done, total);
        break;
    }
  }

  void SyncSystemMenu() {
    const HMENU menu = GetSystemMenu(window, FALSE);
    if (!menu) return;
    const auto& items = form->systemMenu();
    if (systemMenuItems >= items.size()) return;
    if (systemMenuItems == 0) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    for (; systemMenuItems < items.size(); ++systemMenuItems)
      AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(items[systemMenuItems].id),
                  Wide(items[systemMenuItems].caption).c_str());
    DrawMenuBar(window);
  }

  // A modal or main loop until `done` says so; a quit message ends it and
  // is left for the loop outside.
  template <typename Done>
  void Loop(Done done) {
    Service();
    MSG msg;
    while (!done() && window) {
      const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      if (got < 0) return;
      Dispatch(msg);
    }
  }
};

Win32Backend::Win32Backend(void* owner) : impl_(std::make_unique<Impl>(static_cast<HWND>(owner))) {}
Win32Backend::~Win32Backend() = default;

void Win32Backend::FormDestroyed(Form& f) {
  // The window may still get messages (its destruction comes with the
  // backend's): they find no form to tell.
  if (impl_->form == &f) impl_->form = nullptr;
}

void Win32Backend::Created(Control& c) { impl_->Create(c); }

void Win32Backend::TimerChanged(Timer& t) {
  StopTimer(t);
  if (!t.enabled()) return;
  const UINT_PTR id = SetTimer(nullptr, 0, static_cast<UINT>(std::max(t.interval(), 1)), &TimerElapsed);
  if (id) RunningTimers()[id] = &t;
}

void Win32Backend::Destroyed(Control& c) { impl_->Destroy(c); }

Size Win32Backend::MeasureText(const Font& f, const std::string& text) {
  const HDC dc = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(dc, impl_->FontFor(f));
  const std::wstring w = Wide(text);
  SIZE s{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &s);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return {s.cx, s.cy};
}

void Win32Backend::Changed(Control& c, Property p) {
  const auto it = impl_->windows.find(&c);
  if (it != impl_->windows.end()) impl_->Mirror(*it->second, p);
}

void Win32Backend::FormChanged(Form& f, Property p) {
  Impl& m = *impl_;
  m.EnsureWindow(f);
  switch (p) {
    case Property::Caption:
      SetWindowTextW(m.window, Wide(f.caption()).c_str());
      break;
    case Property::Bounds:
      m.PlaceWindow();
      break;
    case Property::Focus: {
      const auto it = f.focused() ? m.windows.find(f.focused()) : m.windows.end();
      SetFocus(it != m.windows.end() ? it->second->hwnd : m.window);
      break;
    }
    case Property::Visible:
      if (f.shown()) {
        // A borderless window (a backdrop) leaves the activation where it is.
        ShowWindow(m.window, f.borderStyle() == BorderStyle::None ? SW_SHOWNA : SW_SHOW);
        UpdateWindow(m.window);
      } else if (!m.inModal) {
        ShowWindow(m.window, SW_HIDE);
      }
      break;
    case Property::Bands:
      RedrawWindow(m.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      break;
    case Property::Taskbar:
      m.ApplyTaskbar();
      break;
    case Property::Border:
      // Made with its style already when the form was styled first; a
      // later change restyles the window in place.
      m.ChooseStyle(f);
      SetWindowLongPtrW(m.window, GWL_STYLE,
                        static_cast<LONG_PTR>(m.style | (GetWindowLongPtrW(m.window, GWL_STYLE) & WS_VISIBLE)));
      SetWindowLongPtrW(m.window, GWL_EXSTYLE, static_cast<LONG_PTR>(m.exStyle));
      SetWindowPos(m.window, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
      m.PlaceWindow();
      break;
    case Property::Front:
      if (IsWindowVisible(m.window) && !IsIconic(m.window)) {
        SetWindowPos(m.window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        // A message box or dialog the window has open is what gets the
        // activation, not the window it disables.
        SetForegroundWindow(GetLastActivePopup(m.window));
      }
      break;
    case Property::SystemMenu:
      m.SyncSystemMenu();
      break;
    default:
      break;
  }
}

void Win32Backend::Wake() {
  Impl& m = *impl_;
  // One message waiting is enough: its handler runs everything queued.
  if (m.wakePending.exchange(true)) return;
  const HWND w = m.serviceWindow.load();
  if (w && PostMessageW(w, kServiceMessage, 0, 0)) return;
  // No window yet: the main thread's own queue.
  if (!PostThreadMessageW(m.mainThread, kServiceMessage, 0, 0)) m.wakePending = false;
}

void Win32Backend::Run(Form& f) {
  impl_->EnsureWindow(f);
  impl_->Loop([&] { return f.closed(); });
}

void Win32Backend::RunModal(Form& f) {
  Impl& m = *impl_;
  m.EnsureWindow(f);
  const bool disableOwner = m.owner && IsWindowEnabled(m.owner);
  if (disableOwner) EnableWindow(m.owner, FALSE);
  if (!IsWindowVisible(m.window)) {
    ShowWindow(m.window, SW_SHOW);
    UpdateWindow(m.window);
  }
  m.inModal = true;
  m.Loop([&] { return f.modalResult() != 0 || f.closed(); });
  m.inModal = false;
  // The owner first, so that the system hands the activation back to it
  // and not to another program's window when the dialog hides.
  if (disableOwner) EnableWindow(m.owner, TRUE);
  if (m.window) ShowWindow(m.window, SW_HIDE);
  if (m.owner) SetActiveWindow(m.owner);
}

Screen Win32Backend::ScreenOf(Form& f) {
  Impl& m = *impl_;
  m.EnsureWindow(f);
  Screen s;
  s.ppi = m.ppi;
  s.bitsPerPixel = DisplayBits();
  s.primaryWidth = GetSystemMetrics(SM_CXSCREEN);
  s.primaryHeight = GetSystemMetrics(SM_CYSCREEN);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (GetMonitorInfoW(MonitorFromWindow(m.window, MONITOR_DEFAULTTONEAREST), &mi)) {
    s.monitorWidth = mi.rcMonitor.right - mi.rcMonitor.left;
    s.monitorHeight = mi.rcMonitor.bottom - mi.rcMonitor.top;
    s.workLeft = mi.rcWork.left;
    s.workTop = mi.rcWork.top;
    s.workWidth = mi.rcWork.right - mi.rcWork.left;
    s.workHeight = mi.rcWork.bottom - mi.rcWork.top;
  }
  RECT w{}, c{};
  GetWindowRect(m.window, &w);
  GetClientRect(m.window, &c);
  s.frameWidth = (w.right - w.left) - (c.right - c.left);
  s.frameHeight = (w.bottom - w.top) - (c.bottom - c.top);
  return s;
}

void* Win32Backend::WindowOf(const Control& c) const {
  const auto it = impl_->windows.find(&c);
  return it == impl_->windows.end() ? nullptr : it->second->hwnd;
}

void* Win32Backend::FormWindow() const { return impl_->window; }

void Win32Backend::PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    impl_->Dispatch(msg);
  }
  impl_->Service();
}

}  // namespace stw::forms
