#include "forms/win32/Win32Backend.h"

#include <map>
#include <stdexcept>
#include <string>

#include "platform/win32/Win32Common.h"
#include "platform/win32/Windows.h"

#include <commctrl.h>

namespace stw::forms {

using win32::Narrow;
using win32::SystemRoutine;
using win32::Wide;

namespace {

constexpr wchar_t kFormClass[] = L"StowaSetupForm";

// The progress bar's class lives in comctl32, which is not a static import
// (see SystemRoutine): loaded from the system folder and initialised once.
bool CommonControlsReady() {
  static const bool ready = [] {
    using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const Init init = SystemRoutine<Init>(L"comctl32.dll", "InitCommonControlsEx");
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    return init && init(&icc);
  }();
  return ready;
}

}  // namespace

static std::wstring WindowText(HWND h) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
  return text;
}

struct Win32Backend::Impl {
  Form* form = nullptr;
  HWND window = nullptr;
  HFONT font = nullptr;
  std::map<const Control*, HWND> windows;
  std::map<HWND, Control*> controls;
  // Set while the model's change is being mirrored, so that the window's
  // own notification of it (EN_CHANGE) does not come back as typing.
  bool mirroring = false;

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      self = static_cast<Impl*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
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
        const auto it = controls.find(reinterpret_cast<HWND>(lp));
        if (it == controls.end()) return false;
        Control& c = *it->second;
        const UINT code = HIWORD(wp);
        if (code == BN_CLICKED || code == STN_CLICKED) {
          if (c.kind() == Kind::CheckBox)
            static_cast<CheckBox&>(c).Toggle();
          else
            c.Click();
        } else if (code == EN_CHANGE && !mirroring) {
          static_cast<TextControl&>(c).Type(Narrow(WindowText(it->first)));
        }
        return true;
      }
      case WM_CLOSE:
        if (form && form->OnCancel) form->OnCancel();
        return true;  // the owner decides whether the window goes
      case WM_DESTROY:
        window = nullptr;
        return false;
      default:
        (void)result;
        return false;
    }
  }

  void EnsureWindow(Form& f) {
    if (window) return;
    form = &f;
    static const ATOM atom = [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = &Impl::Proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      wc.lpszClassName = kFormClass;
      return RegisterClassExW(&wc);
    }();
    if (!atom) throw std::runtime_error("the setup window's class cannot be registered");
    const Bounds& b = f.bounds();
    window = CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, Wide(f.caption()).c_str(),
                             WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, b.left, b.top,
                             b.width, b.height, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!window) throw std::runtime_error("the setup window cannot be created");
  }

  HFONT FontFor(const Font& f) {
    // One font object per distinct font, kept for the window's life.
    const std::string key = f.name + "/" + std::to_string(f.height) + (f.bold ? "b" : "") + (f.underline ? "u" : "");
    auto it = fonts.find(key);
    if (it != fonts.end()) return it->second;
    const HDC dc = GetDC(nullptr);
    const int ppi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    const HFONT h = CreateFontW(-MulDiv(f.height, ppi, 72), 0, 0, 0, f.bold ? FW_BOLD : FW_NORMAL, FALSE,
                                f.underline ? TRUE : FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, Wide(f.name).c_str());
    fonts[key] = h;
    return h;
  }
  std::map<std::string, HFONT> fonts;

  void Mirror(Control& c, HWND h, Property p) {
    mirroring = true;
    const Bounds& b = c.bounds();
    switch (p) {
      case Property::Bounds:
        MoveWindow(h, b.left, b.top, b.width, b.height, TRUE);
        break;
      case Property::Caption:
        if (c.kind() != Kind::Edit && c.kind() != Kind::Memo) SetWindowTextW(h, Wide(c.caption()).c_str());
        break;
      case Property::Visible:
        ShowWindow(h, c.visible() ? SW_SHOWNA : SW_HIDE);
        break;
      case Property::Enabled:
        EnableWindow(h, c.enabled());
        break;
      case Property::Font:
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(c.font())), TRUE);
        break;
      case Property::TabOrder: {
        // Windows keeps the tab order as the order of the child windows.
        HWND after = HWND_TOP;
        for (const auto& other : form->controls()) {
          if (other.get() == &c) continue;
          const auto w = windows.find(other.get());
          if (w != windows.end() && other->tabOrder() <= c.tabOrder()) after = w->second;
        }
        SetWindowPos(h, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        break;
      }
      case Property::Default:
        SendMessageW(h, BM_SETSTYLE, static_cast<Button&>(c).isDefault() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
        break;
      case Property::Shield:
        SendMessageW(h, BCM_SETSHIELD, 0, static_cast<Button&>(c).shield());
        break;
      case Property::Checked:
        SendMessageW(h, BM_SETCHECK, static_cast<CheckBox&>(c).checked() ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      case Property::Text: {
        // The user's own typing is in the window already: setting it again
        // would move the caret back to the start.
        const std::wstring text = Wide(static_cast<TextControl&>(c).text());
        if (WindowText(h) != text) SetWindowTextW(h, text.c_str());
        break;
      }
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
      default:
        break;
    }
    mirroring = false;
  }

  void Create(Control& c) {
    EnsureWindow(c.form());
    const wchar_t* cls = nullptr;
    DWORD style = WS_CHILD | WS_VISIBLE;
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
        break;
      case Kind::LinkLabel:
        cls = L"STATIC";
        style |= WS_TABSTOP | SS_NOTIFY;
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
        if (!CommonControlsReady()) throw std::runtime_error("the common controls cannot be loaded");
        cls = PROGRESS_CLASSW;
        break;
      case Kind::Tree:
      case Kind::ReportList:
      case Kind::RichEdit:
        throw std::logic_error(std::string("no window for a ") + KindName(c.kind()) + " yet");
    }
    const Bounds& b = c.bounds();
    const HWND h = CreateWindowExW(0, cls, Wide(c.caption()).c_str(), style, b.left, b.top, b.width, b.height, window,
                                   nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!h) throw std::runtime_error("the window of " + c.name() + " cannot be created");
    windows[&c] = h;
    controls[h] = &c;
    for (Property p : {Property::Font, Property::Visible, Property::Enabled}) Mirror(c, h, p);
  }

  ~Impl() {
    if (window) DestroyWindow(window);
    for (const auto& f : fonts) DeleteObject(f.second);
  }
};

Win32Backend::Win32Backend() : impl_(std::make_unique<Impl>()) {}
Win32Backend::~Win32Backend() = default;

void Win32Backend::Created(Control& c) { impl_->Create(c); }

void Win32Backend::Destroyed(Control& c) {
  const auto it = impl_->windows.find(&c);
  if (it == impl_->windows.end()) return;
  impl_->controls.erase(it->second);
  DestroyWindow(it->second);
  impl_->windows.erase(it);
}

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
  if (it != impl_->windows.end()) impl_->Mirror(c, it->second, p);
}

void Win32Backend::FormChanged(Form& f, Property p) {
  impl_->EnsureWindow(f);
  switch (p) {
    case Property::Caption:
      SetWindowTextW(impl_->window, Wide(f.caption()).c_str());
      break;
    case Property::Bounds: {
      const Bounds& b = f.bounds();
      MoveWindow(impl_->window, b.left, b.top, b.width, b.height, TRUE);
      break;
    }
    case Property::Focus: {
      const auto it = f.focused() ? impl_->windows.find(f.focused()) : impl_->windows.end();
      SetFocus(it != impl_->windows.end() ? it->second : impl_->window);
      break;
    }
    default:
      break;
  }
}

void Win32Backend::RunModal(Form& f) {
  impl_->EnsureWindow(f);
  ShowWindow(impl_->window, SW_SHOW);
  while (f.modalResult() == 0 && !f.closed() && impl_->window) {
    WaitMessage();
    PumpMessages();
  }
  if (impl_->window) ShowWindow(impl_->window, SW_HIDE);
}

Screen Win32Backend::ScreenOf(Form& f) {
  impl_->EnsureWindow(f);
  Screen s;
  const HDC dc = GetDC(nullptr);
  s.ppi = GetDeviceCaps(dc, LOGPIXELSY);
  s.bitsPerPixel = GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES);
  ReleaseDC(nullptr, dc);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (GetMonitorInfoW(MonitorFromWindow(impl_->window, MONITOR_DEFAULTTONEAREST), &mi)) {
    s.monitorWidth = mi.rcMonitor.right - mi.rcMonitor.left;
    s.monitorHeight = mi.rcMonitor.bottom - mi.rcMonitor.top;
    s.workLeft = mi.rcWork.left;
    s.workTop = mi.rcWork.top;
    s.workWidth = mi.rcWork.right - mi.rcWork.left;
    s.workHeight = mi.rcWork.bottom - mi.rcWork.top;
  }
  RECT w{}, c{};
  GetWindowRect(impl_->window, &w);
  GetClientRect(impl_->window, &c);
  s.frameWidth = (w.right - w.left) - (c.right - c.left);
  s.frameHeight = (w.bottom - w.top) - (c.bottom - c.top);
  return s;
}

void* Win32Backend::WindowOf(const Control& c) const {
  const auto it = impl_->windows.find(&c);
  return it == impl_->windows.end() ? nullptr : it->second;
}

void* Win32Backend::FormWindow() const { return impl_->window; }

void Win32Backend::PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // The dialog keys of the form's windows follow the model's rules.
    if (msg.message == WM_KEYDOWN && impl_->form && impl_->window &&
        (msg.hwnd == impl_->window || IsChild(impl_->window, msg.hwnd))) {
      // A click may have moved the focus since the model last moved it.
      const auto now = impl_->controls.find(GetFocus());
      if (now != impl_->controls.end()) impl_->form->SetFocus(now->second);
      const bool shift = GetKeyState(VK_SHIFT) < 0;
      bool handled = false;
      switch (msg.wParam) {
        case VK_TAB:
          handled = impl_->form->Press(shift ? Key::ShiftTab : Key::Tab);
          break;
        case VK_RETURN:
          handled = impl_->form->Press(Key::Enter);
          break;
        case VK_ESCAPE:
          handled = impl_->form->Press(Key::Escape);
          break;
        default:
          break;
      }
      if (handled) continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace stw::forms
