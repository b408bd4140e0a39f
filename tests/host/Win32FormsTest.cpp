// The control model on real windows: what the model says shows in the
// windows, and what is done to the windows comes back as the model's
// events, with the dialog keys following the model's rules. Every window
// here is real (run under Wine with a virtual X display).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "forms/win32/Win32Backend.h"
#include "platform/win32/Win32Common.h"
#include "platform/win32/Windows.h"

#include <commctrl.h>
#include <richedit.h>
#include <windowsx.h>

using namespace stw::forms;
using stw::test::Bmp24;
using stw::win32::Narrow;
using stw::win32::SystemRoutine;
using stw::win32::Wide;

namespace {

HWND H(void* w) { return static_cast<HWND>(w); }

std::string Text(HWND h) {
  wchar_t buffer[256];
  const int n = GetWindowTextW(h, buffer, 256);
  return Narrow(std::wstring_view(buffer, static_cast<size_t>(n)));
}

// WM_GETTEXT, as a program outside reads a window's text.
std::string MessageText(HWND h) {
  std::wstring buffer(4096, L'\0');
  const auto n = SendMessageW(h, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
  buffer.resize(static_cast<size_t>(n));
  return Narrow(buffer);
}

std::wstring ClassOf(HWND h) {
  wchar_t name[64];
  const int n = GetClassNameW(h, name, 64);
  std::wstring s(name, static_cast<size_t>(n));
  for (auto& ch : s) ch = static_cast<wchar_t>(towlower(ch));
  return s;
}

LONG_PTR StyleOf(HWND h) { return GetWindowLongPtrW(h, GWL_STYLE); }

std::string NameProperty(HWND h) {
  const auto atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(GetPropW(h, L"StowaName")));
  if (!atom) return "(none)";
  wchar_t name[256];
  const UINT n = GlobalGetAtomNameW(atom, name, 256);
  return Narrow(std::wstring_view(name, n));
}

// A 32-bit memory DC of the screen's format, for a window to print into.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  Canvas(int w, int h) {
    const HDC screen = GetDC(nullptr);
    dc = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    old = SelectObject(dc, bitmap);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
};

// Common controls 6 for the windows made while it lives, as a program's
// manifest would ask for them (the test program has none).
class CommonControls6 {
 public:
  CommonControls6() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH, folder);
    path_ = std::wstring(folder, n) + L"stw-forms-test-" + std::to_wstring(GetCurrentProcessId()) + L".manifest";
    static const char kManifest[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"><dependency>"
        "<dependentAssembly><assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
        "version=\"6.0.0.0\" processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
        "</dependentAssembly></dependency></assembly>\n";
    const HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, kManifest, sizeof kManifest - 1, &written, nullptr);
    CloseHandle(file);
    ACTCTXW ctx{};
    ctx.cbSize = sizeof ctx;
    ctx.lpSource = path_.c_str();
    context_ = CreateActCtxW(&ctx);
    if (context_ != INVALID_HANDLE_VALUE && !ActivateActCtx(context_, &cookie_)) {
      ReleaseActCtx(context_);
      context_ = INVALID_HANDLE_VALUE;
    }
  }
  ~CommonControls6() {
    if (context_ != INVALID_HANDLE_VALUE) {
      DeactivateActCtx(0, cookie_);
      ReleaseActCtx(context_);
    }
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  bool active() const { return context_ != INVALID_HANDLE_VALUE; }

 private:
  std::wstring path_;
  HANDLE context_ = INVALID_HANDLE_VALUE;
  ULONG_PTR cookie_ = 0;
};

// Band i's colour, worked out as the painting rule says.
COLORREF Band(int i, int n, COLORREF top, COLORREF bottom) {
  COLORREF c = 0;
  for (int shift : {0, 8, 16}) {
    const int t = (top >> shift) & 0xFF, b = (bottom >> shift) & 0xFF;
    c |= static_cast<COLORREF>(((n - i) * t + i * b) / n) << shift;
  }
  return c;
}

// Posts `msg` to a window after `ms` unless disarmed first: a test that
// waits on a window never hangs the run.
class Watchdog {
 public:
  Watchdog(int ms, std::function<void()> fire)
      : thread_([this, ms, fire] {
          std::unique_lock<std::mutex> g(lock_);
          if (!done_cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return done_; })) {
            fired_ = true;
            fire();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(lock_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }
  bool fired() const { return fired_; }

 private:
  std::mutex lock_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::atomic<bool> fired_{false};
  std::thread thread_;
};

// ImageList_GetImageCount, from the library the backend loads too.
decltype(&::ImageList_GetImageCount) Comctl32Count() {
  return SystemRoutine<decltype(&::ImageList_GetImageCount)>(L"comctl32.dll", "ImageList_GetImageCount");
}

// The pictures of a tree's state images: one colour each.
std::vector<Tree::Picture> Pictures(int count, int size) {
  std::vector<Tree::Picture> pictures;
  for (int i = 0; i < count; ++i)
    pictures.push_back({size, std::vector<uint32_t>(static_cast<size_t>(size) * size, 0xFF000000u | (0x203040u * (i + 1)))});
  return pictures;
}

struct Win32FormsPage : ::testing::Test {
  Win32Backend backend;
  Form form{backend};
  Edit* folder = nullptr;
  CheckBox* desktop = nullptr;
  Button* next = nullptr;
  Button* exit = nullptr;
  Label* note = nullptr;
  std::vector<std::string> events;

  void SetUp() override {
    form.SetCaption("Setup - Test Works");
    form.SetBounds({40, 40, 420, 260});
    note = &form.Add<Label>("LabelNote");
    note->SetBounds({10, 10, 300, 20});
    note->SetCaption("Where to install:");
    folder = &form.Add<Edit>("EditFolder");
    folder->SetBounds({10, 35, 300, 22});
    desktop = &form.Add<CheckBox>("CheckDesktop");
    desktop->SetBounds({10, 65, 300, 20});
    desktop->SetCaption("A shortcut on the desktop");
    next = &form.Add<Button>("BtnNext");
    next->SetBounds({200, 180, 90, 26});
    next->SetCaption("&Proceed");
    next->SetDefault(true);
    exit = &form.Add<Button>("BtnExit");
    exit->SetBounds({300, 180, 90, 26});
    exit->SetCaption("E&xit");
    exit->SetCancel(true);
    next->OnClick = [this] { events.push_back("next"); };
    exit->OnClick = [this] { events.push_back("exit"); };
    desktop->OnClick = [this] { events.push_back(desktop->checked() ? "checked" : "unchecked"); };
    folder->OnChange = [this] { events.push_back("typed " + folder->text()); };
    form.Show();
    backend.PumpMessages();
  }
  HWND W(const Control& c) { return H(backend.WindowOf(c)); }
  HWND F() { return H(backend.FormWindow()); }
  void Key(HWND to, WPARAM key) {
    PostMessageW(to, WM_KEYDOWN, key, 0);
    backend.PumpMessages();
  }
  RECT InForm(HWND h) {
    RECT r;
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, F(), reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
};

struct Win32Forms : Win32FormsPage {};

}  // namespace

// ---------------------------------------------------------------- page

TEST_F(Win32FormsPage, TheWindowsShowWhatTheModelSays) {
  EXPECT_EQ(Text(F()), "Setup - Test Works");
  EXPECT_EQ(Text(W(*next)), "&Proceed");
  EXPECT_EQ(Text(W(*note)), "Where to install:");
  const RECT r = InForm(W(*exit));
  EXPECT_EQ(r.left, 300);
  EXPECT_EQ(r.top, 180);
  EXPECT_EQ(r.right - r.left, 90);

  next->SetCaption("&Install");
  exit->SetVisible(false);
  desktop->SetEnabled(false);
  folder->SetText("C:\\Program Files\\Test");
  EXPECT_EQ(Text(W(*next)), "&Install");
  EXPECT_FALSE(IsWindowVisible(W(*exit)));
  EXPECT_FALSE(IsWindowEnabled(W(*desktop)));
  EXPECT_EQ(Text(W(*folder)), "C:\\Program Files\\Test");
  EXPECT_EQ((StyleOf(W(*next)) & 0x0F), BS_DEFPUSHBUTTON);
  EXPECT_TRUE(events.empty());  // the program's own changes are no events
}

TEST_F(Win32FormsPage, ClicksAndTypingComeBackAsEvents) {
  SendMessageW(W(*next), BM_CLICK, 0, 0);
  SendMessageW(W(*desktop), BM_CLICK, 0, 0);
  EXPECT_TRUE(desktop->checked());
  EXPECT_EQ(SendMessageW(W(*desktop), BM_GETCHECK, 0, 0), BST_CHECKED);
  SetWindowTextW(W(*folder), L"D:\\Apps");
  EXPECT_EQ(folder->text(), "D:\\Apps");
  EXPECT_EQ(events, (std::vector<std::string>{"next", "checked", "typed D:\\Apps"}));
}

TEST_F(Win32FormsPage, TabEnterAndEscFollowTheModel) {
  form.SetFocus(folder);
  EXPECT_EQ(GetFocus(), W(*folder));
  Key(W(*folder), VK_TAB);
  EXPECT_EQ(form.focused(), desktop);
  EXPECT_EQ(GetFocus(), W(*desktop));
  Key(W(*desktop), VK_RETURN);  // not a button: the default one
  Key(W(*desktop), VK_ESCAPE);
  EXPECT_EQ(events, (std::vector<std::string>{"next", "exit"}));
  // A click into the edit moves the focus; Tab goes on from there.
  SetFocus(W(*folder));
  Key(W(*folder), VK_TAB);
  EXPECT_EQ(form.focused(), desktop);
}

TEST_F(Win32FormsPage, TheFocusComesBackWhenTheWindowIsActivatedAgain) {
  ASSERT_TRUE(SetForegroundWindow(F()));
  form.SetFocus(desktop);
  backend.PumpMessages();
  ASSERT_EQ(GetFocus(), W(*desktop));
  const HWND other = CreateWindowExW(0, L"STATIC", L"Win32Forms other", WS_POPUP | WS_VISIBLE, 600, 500, 100, 50,
                                     nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  SetActiveWindow(other);
  backend.PumpMessages();
  EXPECT_NE(GetFocus(), W(*desktop));
  SetActiveWindow(F());
  backend.PumpMessages();
  EXPECT_EQ(GetFocus(), W(*desktop));
  DestroyWindow(other);
}

TEST_F(Win32FormsPage, EveryControlWindowCarriesItsNameForProgramsOutside) {
  for (const auto& c : form.controls()) EXPECT_EQ(NameProperty(W(*c)), c->name()) << c->name();
  EXPECT_EQ(ClassOf(F()), L"stowasetupform");
  // The atom goes with the control.
  auto& extra = form.Add<Label>("LabelWin32FormsGone");
  ASSERT_NE(GlobalFindAtomW(L"LabelWin32FormsGone"), 0);
  const HWND h = W(extra);
  form.Remove(extra);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(GlobalFindAtomW(L"LabelWin32FormsGone"), 0);
  EXPECT_EQ(backend.WindowOf(extra), nullptr);
}

TEST_F(Win32FormsPage, TheBoundsAreTheClientAreaAndTheWindowsPlace) {
  form.SetBounds({70, 50, 512, 301});
  RECT client, outer;
  GetClientRect(F(), &client);
  GetWindowRect(F(), &outer);
  EXPECT_EQ(client.right, 512);
  EXPECT_EQ(client.bottom, 301);
  EXPECT_EQ(outer.left, 70);
  EXPECT_EQ(outer.top, 50);
  EXPECT_GT(outer.bottom - outer.top, 301);  // the caption is outside
  const Screen s = backend.ScreenOf(form);
  EXPECT_EQ(s.frameWidth, (outer.right - outer.left) - 512);
  EXPECT_EQ(s.frameHeight, (outer.bottom - outer.top) - 301);
  EXPECT_GE(s.bitsPerPixel, 15);
}

TEST_F(Win32FormsPage, FontsAndShieldAreMirrored) {
  Font bold = next->font();
  bold.bold = true;
  bold.height = 10;
  next->SetFont(bold);
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(W(*next), WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_EQ(lf.lfWeight, FW_BOLD);
  EXPECT_EQ(lf.lfHeight, -MulDiv(10, backend.ScreenOf(form).ppi, 72));

  // The shield needs the buttons of common controls 6, as the setup's
  // manifest asks for them.
  CommonControls6 v6;
  ASSERT_TRUE(v6.active());
  Win32Backend shieldBackend;
  Form shieldForm(shieldBackend);
  auto& install = shieldForm.Add<Button>("BtnInstall");
  install.SetBounds({10, 10, 120, 26});
  install.SetCaption("&Install");
  const HWND h = H(shieldBackend.WindowOf(install));
  install.SetShield(true);
  // Drawn by the button where it can (Windows), else its image (Wine).
  const bool drawn = SendMessageW(h, BCM_SETSHIELD, 0, TRUE) == 1;
  EXPECT_TRUE(drawn || SendMessageW(h, BM_GETIMAGE, IMAGE_ICON, 0) != 0);
  install.SetShield(false);
  EXPECT_EQ(SendMessageW(h, BM_GETIMAGE, IMAGE_ICON, 0), 0);
}

// ---------------------------------------------------------------- the form

TEST_F(Win32Forms, TheCloseBoxAsksTheModel) {
  bool allow = false;
  int asked = 0, cancelled = 0;
  form.CanClose = [&] {
    ++asked;
    return allow;
  };
  form.OnCancel = [&] { ++cancelled; };
  SendMessageW(F(), WM_CLOSE, 0, 0);
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(form.closed());
  EXPECT_TRUE(IsWindowVisible(F()));
  allow = true;
  SendMessageW(F(), WM_CLOSE, 0, 0);
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(form.closed());
  EXPECT_FALSE(IsWindowVisible(F()));
  EXPECT_EQ(cancelled, 0);  // closing is not the cancel action
}

TEST_F(Win32Forms, SystemMenuItemsComeBackAsCommands) {
  std::vector<int> chosen;
  form.OnSystemCommand = [&](int id) { chosen.push_back(id); };
  form.AddSystemMenuItem(0x120, "&About this setup...");
  form.AddSystemMenuItem(0x130, "Log");
  const HMENU menu = GetSystemMenu(F(), FALSE);
  ASSERT_NE(menu, nullptr);
  const int count = GetMenuItemCount(menu);
  int at = -1;
  for (int i = 0; i < count; ++i)
    if (GetMenuItemID(menu, i) == 0x120) at = i;
  ASSERT_GT(at, 0);
  EXPECT_TRUE(GetMenuState(menu, at - 1, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_EQ(GetMenuItemID(menu, at + 1), 0x130u);
  wchar_t caption[64];
  GetMenuStringW(menu, 0x120, caption, 64, MF_BYCOMMAND);
  EXPECT_EQ(Narrow(caption), "&About this setup...");
  // One separator, however many items follow.
  int separators = 0;
  for (int i = 0; i < GetMenuItemCount(menu); ++i)
    if (i > at - 2 && (GetMenuState(menu, i, MF_BYPOSITION) & MF_SEPARATOR)) ++separators;
  EXPECT_EQ(separators, 1);

  SendMessageW(F(), WM_SYSCOMMAND, 0x130, 0);
  SendMessageW(F(), WM_SYSCOMMAND, 0x140, 0);  // not ours: the system's own handling
  SendMessageW(F(), WM_SYSCOMMAND, 0x120, 0);
  EXPECT_EQ(chosen, (std::vector<int>{0x130, 0x120}));
}

TEST_F(Win32Forms, TheBandsArePaintedBehindTheControls) {
  const COLORREF top = RGB(0xF0, 0x80, 0x20), bottom = RGB(0x10, 0x40, 0xC0);
  form.SetBounds({40, 40, 420, 300});
  auto& shadow = form.Add<Label>("LabelWin32FormsOnBands");
  shadow.SetBounds({20, 100, 200, 20});
  shadow.SetCaption("x");
  shadow.SetTransparent(true);
  form.SetBands(true, top, bottom);
  backend.PumpMessages();
  RECT outer, client;
  GetWindowRect(F(), &outer);
  GetClientRect(F(), &client);
  const int n = (outer.bottom - outer.top) / 4;
  {
    Canvas canvas(client.right, client.bottom);
    SendMessageW(F(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
    for (int y : {0, 3, 4, 5, 150, 222, static_cast<int>(client.bottom) - 1})
      EXPECT_EQ(GetPixel(canvas.dc, 250, y), Band(y / 4, n, top, bottom)) << "row " << y;
    EXPECT_EQ(GetPixel(canvas.dc, client.right - 1, 77), Band(77 / 4, n, top, bottom));
  }
  {
    // The transparent label shows the bands of its place on the form.
    Canvas canvas(200, 20);
    SendMessageW(W(shadow), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
    EXPECT_EQ(GetPixel(canvas.dc, 190, 2), Band((100 + 2) / 4, n, top, bottom));
    EXPECT_EQ(GetPixel(canvas.dc, 150, 17), Band((100 + 17) / 4, n, top, bottom));
  }
  {
    // On the screen too.
    RedrawWindow(F(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const HDC dc = GetDC(F());
    EXPECT_EQ(GetPixel(dc, 250, 150), Band(150 / 4, n, top, bottom));
    ReleaseDC(F(), dc);
  }
  form.SetBands(false, top, bottom);
  Canvas canvas(client.right, client.bottom);
  SendMessageW(F(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
  EXPECT_EQ(GetPixel(canvas.dc, 250, 150), GetSysColor(COLOR_BTNFACE));
}

TEST_F(Win32Forms, TheMouseOverAControlIsReportedOncePerChange) {
  std::vector<std::string> hovered;
  form.OnHover = [&](Control* c) { hovered.push_back(c ? c->name() : "(none)"); };
  exit->SetEnabled(false);
  PostMessageW(W(*next), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
  PostMessageW(W(*next), WM_MOUSEMOVE, 0, MAKELPARAM(6, 5));
  backend.PumpMessages();
  // A label lets the mouse through to the form; a disabled control gets
  // no mouse messages: both are found from the form's side.
  PostMessageW(F(), WM_MOUSEMOVE, 0, MAKELPARAM(15, 15));
  backend.PumpMessages();
  PostMessageW(F(), WM_MOUSEMOVE, 0, MAKELPARAM(310, 190));
  backend.PumpMessages();
  PostMessageW(F(), WM_MOUSEMOVE, 0, MAKELPARAM(400, 120));
  PostMessageW(F(), WM_MOUSEMOVE, 0, MAKELPARAM(401, 120));
  backend.PumpMessages();
  EXPECT_EQ(hovered, (std::vector<std::string>{"BtnNext", "LabelNote", "BtnExit", "(none)"}));
}

TEST_F(Win32Forms, AResolutionChangeRemakesTheFontsAndTellsTheModel) {
  std::vector<int> told;
  form.OnDpiChanged = [&](int ppi) { told.push_back(ppi); };
  RECT suggested{40, 40, 700, 500};
  SendMessageW(F(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(told, (std::vector<int>{144}));
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(W(*note), WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_EQ(lf.lfHeight, -MulDiv(note->font().height, 144, 72));
  EXPECT_EQ(backend.ScreenOf(form).ppi, 144);
}

// ---------------------------------------------------------------- threads

TEST_F(Win32Forms, AWorkersCallRunsOnTheMainThreadWhileItPumps) {
  const DWORD main = GetCurrentThreadId();
  DWORD ranOn = 0, postedOn = 0;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    form.dispatcher().Post([&] { postedOn = GetCurrentThreadId(); });
    form.dispatcher().Synchronize([&] { ranOn = GetCurrentThreadId(); });
    done = true;
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done && std::chrono::steady_clock::now() < until) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    backend.PumpMessages();
  }
  worker.join();
  EXPECT_EQ(postedOn, main);
  EXPECT_EQ(ranOn, main);
}

TEST_F(Win32Forms, ATimerFiresInTheThreadsMessageLoopUntilDisabled) {
  Timer& t = form.AddTimer("Timer");
  t.SetInterval(20);
  int fired = 0;
  t.OnTimer = [&] {
    if (++fired == 3) t.SetEnabled(false);
  };
  t.SetEnabled(true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (fired < 3 && std::chrono::steady_clock::now() < until) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    backend.PumpMessages();
  }
  EXPECT_EQ(fired, 3);
  // Disabled, it stays quiet.
  const auto quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
  while (std::chrono::steady_clock::now() < quiet) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    backend.PumpMessages();
  }
  EXPECT_EQ(fired, 3);
}

TEST_F(Win32Forms, AWorkersCallRunsWhileAMessageBoxOfTheFormIsOpen) {
  const DWORD main = GetCurrentThreadId();
  std::atomic<bool> boxOpen{false};
  bool ranInBox = false;
  DWORD ranOn = 0;
  const auto closeBox = [] {
    for (int i = 0; i < 200; ++i) {
      if (const HWND box = FindWindowW(L"#32770", L"Win32Forms box")) {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(10);
    }
  };
  std::thread worker([&] {
    while (!boxOpen) Sleep(1);
    form.dispatcher().Synchronize([&] {
      ranInBox = boxOpen;
      ranOn = GetCurrentThreadId();
    });
    closeBox();
  });
  int answer = 0;
  {
    Watchdog dog(5000, closeBox);
    boxOpen = true;
    answer = MessageBoxW(F(), L"A worker is waiting.", L"Win32Forms box", MB_OK);
    boxOpen = false;
    EXPECT_FALSE(dog.fired());
  }
  backend.PumpMessages();  // had the box not run the call
  worker.join();
  EXPECT_EQ(answer, IDOK);
  EXPECT_TRUE(ranInBox);
  EXPECT_EQ(ranOn, main);
}

TEST_F(Win32Forms, RunEndsWhenTheFormCloses) {
  form.SetTaskbarProgress(TaskbarState::Normal, 3, 10);
  form.SetTaskbarProgress(TaskbarState::Error, 4, 10);
  form.SetTaskbarProgress(TaskbarState::None, 0, 0);
  bool ran = false;
  std::thread worker([&] {
    Sleep(30);
    form.dispatcher().Synchronize([&] {
      ran = true;
      form.Close();
    });
  });
  {
    Watchdog dog(5000, [&] { PostMessageW(F(), WM_CLOSE, 0, 0); });
    backend.Run(form);
    EXPECT_FALSE(dog.fired());
  }
  backend.PumpMessages();
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(form.closed());
  EXPECT_FALSE(IsWindowVisible(F()));
}

TEST_F(Win32Forms, AModalDialogDisablesItsOwnerWhileItRuns) {
  Win32Backend dialogBackend(backend.FormWindow());
  Form dialog(dialogBackend);
  dialog.SetCaption("Win32Forms dialog");
  dialog.SetBounds({80, 80, 300, 120});
  auto& ok = dialog.Add<Button>("BtnDialogOk");
  ok.SetBounds({100, 80, 90, 26});
  bool ownerEnabledInside = true;
  ok.OnClick = [&] {
    ownerEnabledInside = IsWindowEnabled(F()) != FALSE;
    dialog.EndModal(1);
  };
  EXPECT_EQ(GetWindow(H(dialogBackend.FormWindow()), GW_OWNER), F());
  PostMessageW(H(dialogBackend.WindowOf(ok)), BM_CLICK, 0, 0);
  int result = 0;
  {
    Watchdog dog(5000, [&] { PostMessageW(H(dialogBackend.FormWindow()), WM_CLOSE, 0, 0); });
    result = dialog.ShowModal();
  }
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(ownerEnabledInside);
  EXPECT_TRUE(IsWindowEnabled(F()));
  EXPECT_FALSE(IsWindowVisible(H(dialogBackend.FormWindow())));
  // Closed by its close box instead: cancelled.
  PostMessageW(H(dialogBackend.FormWindow()), WM_CLOSE, 0, 0);
  {
    Watchdog dog(5000, [&] { PostMessageW(H(dialogBackend.WindowOf(ok)), BM_CLICK, 0, 0); });
    result = dialog.ShowModal();
    EXPECT_FALSE(dog.fired());
  }
  EXPECT_EQ(result, 2);
  EXPECT_TRUE(IsWindowEnabled(F()));
}

// ---------------------------------------------------------------- labels

TEST_F(Win32Forms, LabelStylesAndColours) {
  const auto type = [&](const Control& c) { return StyleOf(W(c)) & SS_TYPEMASK; };
  EXPECT_EQ(type(*note), SS_LEFTNOWORDWRAP);
  note->SetWordWrap(true);
  EXPECT_EQ(type(*note), SS_LEFT);
  note->SetAlign(Align::Right);
  EXPECT_EQ(type(*note), SS_RIGHT);
  note->SetAlign(Align::Center);
  EXPECT_EQ(type(*note), SS_CENTER);
  note->SetWordWrap(false);
  EXPECT_EQ(type(*note), SS_CENTER);
  note->SetAlign(Align::Left);
  EXPECT_EQ(type(*note), SS_LEFTNOWORDWRAP);

  Canvas canvas(10, 10);
  const auto ask = [&](const Control& c) {
    SetTextColor(canvas.dc, RGB(1, 2, 3));
    SetBkColor(canvas.dc, RGB(4, 5, 6));
    SetBkMode(canvas.dc, OPAQUE);
    return SendMessageW(F(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(canvas.dc), reinterpret_cast<LPARAM>(W(c)));
  };
  note->SetColour(RGB(0x80, 0x10, 0x20));
  EXPECT_NE(ask(*note), 0);
  EXPECT_EQ(GetTextColor(canvas.dc), RGB(0x80, 0x10, 0x20));
  EXPECT_EQ(GetBkMode(canvas.dc), OPAQUE);
  note->SetTransparent(true);
  EXPECT_EQ(ask(*note), reinterpret_cast<LRESULT>(GetStockObject(HOLLOW_BRUSH)));
  EXPECT_EQ(GetBkMode(canvas.dc), TRANSPARENT);
  // A check box's colour is its background.
  desktop->SetColour(RGB(0x30, 0x60, 0x90));
  const auto brush = reinterpret_cast<HBRUSH>(ask(*desktop));
  ASSERT_NE(brush, nullptr);
  LOGBRUSH lb{};
  GetObjectW(brush, sizeof lb, &lb);
  EXPECT_EQ(lb.lbColor, RGB(0x30, 0x60, 0x90));
  EXPECT_EQ(GetBkColor(canvas.dc), RGB(0x30, 0x60, 0x90));
}

TEST_F(Win32Forms, ALinkLabelOpensOnAReleaseOnItOnly) {
  auto& link = form.Add<LinkLabel>("LinkHome");
  link.SetBounds({10, 120, 150, 16});
  link.SetCaption("www.example.org");
  link.colorMoveOver = RGB(0, 0x99, 0);
  std::vector<std::string> opened;
  int clicks = 0;
  link.OnOpen = [&](const std::string& address) { opened.push_back(address); };
  link.OnClick = [&] { ++clicks; };
  const HWND h = W(link);
  EXPECT_EQ(StyleOf(h) & (SS_NOTIFY | SS_NOPREFIX), SS_NOTIFY | SS_NOPREFIX);
  EXPECT_EQ(SendMessageW(h, WM_SETCURSOR, reinterpret_cast<WPARAM>(h), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));

  SendMessageW(h, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
  EXPECT_EQ(link.colour(), RGB(0, 0x99, 0));
  SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  EXPECT_TRUE(link.pressed());
  EXPECT_EQ(GetCapture(), h);
  EXPECT_EQ(link.colour(), link.colorClick);
  SendMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(20, 8));
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(opened, (std::vector<std::string>{"www.example.org"}));

  // Pressed, dragged off and released elsewhere: nothing opens.
  link.url = "https://example.org/";
  SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  SendMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(static_cast<WORD>(-40), 8));
  EXPECT_EQ(opened.size(), 1u);
  EXPECT_FALSE(link.pressed());
  EXPECT_EQ(link.colour(), 0xFF0000u);  // as before the mouse came
  // Back onto it: it lights up again.
  SendMessageW(h, WM_MOUSEMOVE, 0, MAKELPARAM(4, 4));
  EXPECT_EQ(link.colour(), RGB(0, 0x99, 0));
  // A fast second press arrives as a double click and opens too.
  SendMessageW(h, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(3, 3));
  SendMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
  EXPECT_EQ(opened, (std::vector<std::string>{"www.example.org", "https://example.org/"}));
  SendMessageW(h, WM_MOUSELEAVE, 0, 0);
  EXPECT_FALSE(link.pressed());
  EXPECT_EQ(clicks, 0);  // the window's STN_CLICKED is not a click of the model

  // Enter on the focused label goes through the model's rules.
  form.SetFocus(&link);
  Key(h, VK_RETURN);
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(events.empty());  // not the default button
}

// ---------------------------------------------------------------- tree

namespace {

struct Win32FormsTree : Win32FormsPage {
  Tree* tree = nullptr;
  std::vector<std::vector<size_t>> stateClicks;
  int selects = 0;

  void SetUp() override {
    Win32FormsPage::SetUp();
    tree = &form.Add<Tree>("TreeComponents");
    tree->SetBounds({10, 10, 300, 150});
    tree->statePictures = Pictures(5, 16);
    tree->stateImageSize = 16;
    tree->OnStateClick = [this](const std::vector<size_t>& path) {
      stateClicks.push_back(path);
      const TreeNode* n = tree->Node(path);
      tree->SetStateImage(path, n->stateImage == 2 ? 1 : 2);
    };
    tree->OnSelect = [this] { ++selects; };
    std::vector<TreeNode> nodes(3);
    nodes[0].text = "Program files";
    nodes[0].stateImage = 2;
    nodes[0].expanded = true;
    nodes[0].children.resize(2);
    nodes[0].children[0].text = "Help";
    nodes[0].children[0].stateImage = 1;
    nodes[0].children[1].text = "Size: 1.2 MB";
    nodes[1].text = "Examples";
    nodes[1].stateImage = 1;
    nodes[2].text = "Sources";
    nodes[2].stateImage = 5;
    tree->SetNodes(nodes);
    backend.PumpMessages();
  }
  HWND T() { return W(*tree); }
  HTREEITEM Item(const std::vector<size_t>& path) {
    HTREEITEM item = nullptr;
    for (size_t level = 0; level < path.size(); ++level) {
      item = reinterpret_cast<HTREEITEM>(SendMessageW(T(), TVM_GETNEXTITEM, level == 0 ? TVGN_ROOT : TVGN_CHILD,
                                                      reinterpret_cast<LPARAM>(item)));
      for (size_t i = 0; i < path[level] && item; ++i)
        item = reinterpret_cast<HTREEITEM>(SendMessageW(T(), TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)));
    }
    return item;
  }
  std::string ItemText(HTREEITEM item) {
    wchar_t buffer[128];
    TVITEMW tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = buffer;
    tv.cchTextMax = 128;
    SendMessageW(T(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    return Narrow(buffer);
  }
  UINT State(HTREEITEM item, UINT mask) {
    return static_cast<UINT>(SendMessageW(T(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), mask));
  }
  int StateImage(HTREEITEM item) { return static_cast<int>((State(item, TVIS_STATEIMAGEMASK) >> 12) & 0xF); }
  HTREEITEM Caret() {
    return reinterpret_cast<HTREEITEM>(SendMessageW(T(), TVM_GETNEXTITEM, TVGN_CARET, 0));
  }
  // The item's text, in the tree's client coordinates.
  RECT TextRect(HTREEITEM item) {
    RECT r{};
    std::memcpy(&r, &item, sizeof item);  // TVM_GETITEMRECT takes the item in the rectangle
    SendMessageW(T(), TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&r));
    return r;
  }
  // A point on the item's state image, found as a program outside finds it.
  POINT StateIconOf(HTREEITEM item) {
    const RECT r = TextRect(item);
    for (int x = 0; x < r.left; ++x) {
      TVHITTESTINFO hit{};
      hit.pt = {x, (r.top + r.bottom) / 2};
      const auto at = reinterpret_cast<HTREEITEM>(SendMessageW(T(), TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
      if (at == item && (hit.flags & TVHT_ONITEMSTATEICON)) return hit.pt;
    }
    return {-1, -1};
  }
  void PostClick(POINT p, bool second) {
    PostMessageW(T(), second ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(p.x, p.y));
    PostMessageW(T(), WM_LBUTTONUP, 0, MAKELPARAM(p.x, p.y));
    backend.PumpMessages();
  }
};

}  // namespace

TEST_F(Win32FormsTree, TheWindowShowsTheNodes) {
  EXPECT_EQ(ClassOf(T()), L"systreeview32");
  const LONG_PTR style = StyleOf(T());
  EXPECT_EQ(style & (TVS_HASBUTTONS | TVS_SHOWSELALWAYS | TVS_DISABLEDRAGDROP),
            TVS_HASBUTTONS | TVS_SHOWSELALWAYS | TVS_DISABLEDRAGDROP);
  EXPECT_EQ(style & (TVS_HASLINES | TVS_LINESATROOT | TVS_CHECKBOXES), 0);
  tree->SetShowLines(true);
  EXPECT_EQ(StyleOf(T()) & (TVS_HASLINES | TVS_LINESATROOT), TVS_HASLINES | TVS_LINESATROOT);
  tree->SetShowLines(false);
  EXPECT_EQ(StyleOf(T()) & (TVS_HASLINES | TVS_LINESATROOT), 0);
  const int ppi = backend.ScreenOf(form).ppi;
  EXPECT_EQ(SendMessageW(T(), TVM_GETINDENT, 0, 0), MulDiv(19, MulDiv(8, ppi, 72), 11));

  EXPECT_EQ(SendMessageW(T(), TVM_GETCOUNT, 0, 0), 5);
  EXPECT_EQ(ItemText(Item({0})), "Program files");
  EXPECT_EQ(ItemText(Item({0, 1})), "Size: 1.2 MB");
  EXPECT_EQ(ItemText(Item({2})), "Sources");
  EXPECT_EQ(StateImage(Item({0})), 2);
  EXPECT_EQ(StateImage(Item({0, 0})), 1);
  EXPECT_EQ(StateImage(Item({0, 1})), 0);
  EXPECT_EQ(StateImage(Item({2})), 5);
  EXPECT_TRUE(State(Item({0}), TVIS_EXPANDED) & TVIS_EXPANDED);
  EXPECT_EQ(NameProperty(T()), "TreeComponents");

  // The state images: a blank one, then the pictures; remade when they change.
  const auto count = Comctl32Count();
  const auto states = reinterpret_cast<HIMAGELIST>(SendMessageW(T(), TVM_GETIMAGELIST, TVSIL_STATE, 0));
  ASSERT_NE(states, nullptr);
  EXPECT_EQ(count(states), 6);
  tree->statePictures = Pictures(3, 16);
  tree->SetNodes(tree->nodes());
  const auto remade = reinterpret_cast<HIMAGELIST>(SendMessageW(T(), TVM_GETIMAGELIST, TVSIL_STATE, 0));
  ASSERT_NE(remade, nullptr);
  EXPECT_EQ(count(remade), 4);
  // No icons asked for: no room kept for them.
  EXPECT_EQ(SendMessageW(T(), TVM_GETIMAGELIST, TVSIL_NORMAL, 0), 0);
}

TEST_F(Win32FormsTree, AClickOnAStateImageTogglesOnce) {
  const POINT p = StateIconOf(Item({1}));
  ASSERT_GE(p.x, 0);
  PostClick(p, false);
  EXPECT_EQ(stateClicks, (std::vector<std::vector<size_t>>{{1}}));
  EXPECT_EQ(StateImage(Item({1})), 2);
  // A fast second click arrives as a double click: one more toggle, and
  // the node is not folded or unfolded by it.
  PostClick(StateIconOf(Item({0})), true);
  EXPECT_EQ(stateClicks, (std::vector<std::vector<size_t>>{{1}, {0}}));
  EXPECT_EQ(StateImage(Item({0})), 1);
  EXPECT_TRUE(State(Item({0}), TVIS_EXPANDED) & TVIS_EXPANDED);
  // A click on the text selects and does not toggle.
  const RECT r = TextRect(Item({2}));
  PostClick({r.left + 3, (r.top + r.bottom) / 2}, false);
  EXPECT_EQ(stateClicks.size(), 2u);
  EXPECT_EQ(tree->selected(), (std::vector<size_t>{2}));
}

TEST_F(Win32FormsTree, SpaceTogglesTheSelectedNodeOnceThroughTheModel) {
  tree->Select({0, 0});
  form.SetFocus(tree);
  ASSERT_EQ(GetFocus(), T());
  const int selectsBefore = selects;
  PostMessageW(T(), WM_KEYDOWN, VK_SPACE, 0x00390001);
  PostMessageW(T(), WM_CHAR, L' ', 0x00390001);
  PostMessageW(T(), WM_KEYUP, VK_SPACE, 0xC0390001);
  backend.PumpMessages();
  EXPECT_EQ(stateClicks, (std::vector<std::vector<size_t>>{{0, 0}}));
  EXPECT_EQ(StateImage(Item({0, 0})), 2);
  EXPECT_EQ(selects, selectsBefore);  // the tree's own search for " " never ran
  EXPECT_EQ(Caret(), Item({0, 0}));
}

TEST_F(Win32FormsTree, SelectionsGoBothWaysWithoutEchoes) {
  tree->Select({1});
  EXPECT_EQ(Caret(), Item({1}));
  EXPECT_EQ(selects, 1);  // the model's own; the window's notification of it is no second one
  SendMessageW(T(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(Item({0, 1})));
  EXPECT_EQ(tree->selected(), (std::vector<size_t>{0, 1}));
  EXPECT_EQ(selects, 2);
  // New nodes: the model has no selection, nor has the window.
  std::vector<TreeNode> nodes(2);
  nodes[0].text = "One";
  nodes[1].text = "Two";
  tree->SetNodes(nodes);
  EXPECT_EQ(SendMessageW(T(), TVM_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(ItemText(Item({1})), "Two");
  EXPECT_EQ(Caret(), nullptr);
  EXPECT_TRUE(tree->selected().empty());
}

TEST_F(Win32FormsTree, AToggleKeepsTheItemsAndTheScrollPosition) {
  std::vector<TreeNode> nodes(40);
  for (size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].text = "Component " + std::to_string(i);
    nodes[i].stateImage = 1;
  }
  tree->SetNodes(nodes);
  const HTREEITEM first = Item({0}), twenty = Item({20});
  SendMessageW(T(), TVM_SELECTITEM, TVGN_FIRSTVISIBLE, reinterpret_cast<LPARAM>(twenty));
  ASSERT_EQ(SendMessageW(T(), TVM_GETNEXTITEM, TVGN_FIRSTVISIBLE, 0), reinterpret_cast<LRESULT>(twenty));
  tree->SetStateImage({22}, 2);
  tree->ExpandAll(true);  // nothing to unfold: nothing changes
  EXPECT_EQ(Item({0}), first);
  EXPECT_EQ(StateImage(Item({22})), 2);
  EXPECT_EQ(SendMessageW(T(), TVM_GETNEXTITEM, TVGN_FIRSTVISIBLE, 0), reinterpret_cast<LRESULT>(twenty));
  // The same nodes with other texts: still in place.
  nodes[5].text = "Renamed";
  tree->SetNodes(nodes);
  EXPECT_EQ(Item({0}), first);
  EXPECT_EQ(ItemText(Item({5})), "Renamed");
  EXPECT_EQ(StateImage(Item({22})), 1);
}

TEST_F(Win32FormsTree, NodesShowTheShellsIcons) {
  std::vector<TreeNode> nodes(2);
  nodes[0].text = "Program";
  nodes[0].icon = TreeIcon::Component;
  nodes[0].expanded = true;
  nodes[0].children.resize(4);
  nodes[0].children[0].text = "{app}";
  nodes[0].children[0].icon = TreeIcon::Folder;
  nodes[0].children[1].text = "readme.txt";
  nodes[0].children[1].icon = TreeIcon::File;
  nodes[0].children[1].iconFile = "readme.txt";
  nodes[0].children[2].text = "Tool";
  nodes[0].children[2].icon = TreeIcon::Shortcut;
  nodes[0].children[2].iconFile = "tool.exe";
  nodes[0].children[3].text = "Home page";
  nodes[0].children[3].icon = TreeIcon::InternetShortcut;
  nodes[1].text = "Detail";
  tree->SetNodes(nodes);
  ASSERT_NE(SendMessageW(T(), TVM_GETIMAGELIST, TVSIL_NORMAL, 0), 0);
  const auto image = [&](HTREEITEM item) {
    TVITEMW tv{};
    tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tv.hItem = item;
    SendMessageW(T(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    return std::pair<int, int>(tv.iImage, tv.iSelectedImage);
  };
  for (const std::vector<size_t>& path : std::vector<std::vector<size_t>>{{0}, {0, 0}, {0, 1}, {0, 2}, {0, 3}}) {
    EXPECT_GE(image(Item(path)).first, 0) << path.back();
    EXPECT_GE(image(Item(path)).second, 0) << path.back();
  }
  EXPECT_NE(image(Item({0, 0})).first, image(Item({0, 1})).first);  // a folder is no text file
  EXPECT_EQ(image(Item({1})).first, I_IMAGENONE);
}

// ---------------------------------------------------------------- lists

TEST_F(Win32Forms, AReportListShowsItsColumnsAndRows) {
  auto& list = form.Add<ReportList>("ListDrives");
  list.SetBounds({10, 10, 380, 120});
  list.columns = {{"Drive", 80, false}, {"Label", 150, false}, {"Free", 100, true}};
  list.SetRows({{"C:", "System", "12.5 GB"}, {"D:", "Data", "220 GB"}});
  const HWND h = W(list);
  EXPECT_EQ(ClassOf(h), L"syslistview32");
  EXPECT_EQ(StyleOf(h) & (LVS_TYPEMASK | LVS_SINGLESEL | LVS_SHOWSELALWAYS),
            LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS);
  EXPECT_TRUE(SendMessageW(h, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
  const HWND header = reinterpret_cast<HWND>(SendMessageW(h, LVM_GETHEADER, 0, 0));
  EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 3);
  const auto column = [&](int i) {
    wchar_t caption[64] = {};
    LVCOLUMNW col{};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    col.pszText = caption;
    col.cchTextMax = 64;
    SendMessageW(h, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
    return Narrow(caption) + "/" + std::to_string(col.cx) + ((col.fmt & LVCFMT_JUSTIFYMASK) == LVCFMT_RIGHT ? "/right" : "");
  };
  EXPECT_EQ(column(0), "Drive/80");
  EXPECT_EQ(column(1), "Label/150");
  EXPECT_EQ(column(2), "Free/100/right");
  const auto cell = [&](int row, int sub) {
    wchar_t text[64] = {};
    LVITEMW item{};
    item.iSubItem = sub;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(h, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return Narrow(text);
  };
  EXPECT_EQ(SendMessageW(h, LVM_GETITEMCOUNT, 0, 0), 2);
  EXPECT_EQ(cell(0, 0), "C:");
  EXPECT_EQ(cell(1, 1), "Data");
  EXPECT_EQ(cell(1, 2), "220 GB");
  list.SetRows({{"E:", "Stick", "3 GB"}});
  EXPECT_EQ(SendMessageW(h, LVM_GETITEMCOUNT, 0, 0), 1);
  EXPECT_EQ(cell(0, 1), "Stick");
}

TEST_F(Win32Forms, ARichEditShowsRtfAndUtf8Text) {
  auto& licence = form.Add<RichEdit>("RichLicence");
  licence.SetBounds({10, 10, 380, 150});
  const HWND h = W(licence);
  EXPECT_EQ(ClassOf(h), L"richedit50w");
  EXPECT_EQ(StyleOf(h) & (ES_READONLY | ES_MULTILINE), ES_READONLY | ES_MULTILINE);
  licence.rich = true;
  licence.SetText("{\\rtf1\\ansi{\\fonttbl{\\f0 Tahoma;}}\\f0 Licence {\\b terms} f\\'fcr alle\\par Second line\\par}");
  std::string text = MessageText(h);
  EXPECT_NE(text.find("Licence terms f\xC3\xBCr alle"), std::string::npos) << text;
  EXPECT_NE(text.find("Second line"), std::string::npos) << text;
  EXPECT_EQ(text.find("rtf1"), std::string::npos);
  licence.rich = false;
  licence.SetText("\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 5\r\n{\\b not rtf}\r\n");
  text = MessageText(h);
  EXPECT_EQ(text.rfind("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 5", 0), 0u) << text;
  EXPECT_NE(text.find("{\\b not rtf}"), std::string::npos) << text;
  EXPECT_EQ(NameProperty(h), "RichLicence");
  // A long text scrolls.
  std::string lines;
  for (int i = 0; i < 60; ++i) lines += "line " + std::to_string(i) + "\n";
  licence.SetText(lines);
  EXPECT_TRUE(StyleOf(h) & WS_VSCROLL);
  EXPECT_NE(MessageText(h).find("line 59"), std::string::npos);
}

TEST_F(Win32Forms, AProgressBarFollowsThePosition) {
  auto& bar = form.Add<ProgressBar>("ProgressFiles");
  bar.SetBounds({10, 120, 300, 16});
  // The model's own range until told otherwise: 0 to 100.
  bar.SetPosition(40);
  EXPECT_EQ(SendMessageW(W(bar), PBM_GETPOS, 0, 0), 4000);
  EXPECT_EQ(SendMessageW(W(bar), PBM_GETRANGE, FALSE, 0), 10000);
  bar.SetMaximum(400);
  bar.SetPosition(100);
  EXPECT_EQ(SendMessageW(W(bar), PBM_GETPOS, 0, 0), 2500);
  EXPECT_EQ(ClassOf(W(bar)), L"msctls_progress32");
}

// ---------------------------------------------------------------- borderless forms and images

namespace {


// Pumps both backends' thread until `done` holds or 3 s have passed.
template <class Done>
bool PumpUntil(Win32Backend& backend, Done done) {
  const ULONGLONG until = GetTickCount64() + 3000;
  while (!done()) {
    if (GetTickCount64() > until) return false;
    backend.PumpMessages();
    Sleep(10);
  }
  return true;
}

// Whether `upper` lies above `lower` among the top-level windows.
bool Above(HWND upper, HWND lower) {
  for (HWND h = GetWindow(upper, GW_HWNDNEXT); h; h = GetWindow(h, GW_HWNDNEXT))
    if (h == lower) return true;
  return false;
}

}  // namespace

TEST(Win32Borderless, AWindowOfTheScreensSizeWithoutCaptionOrFrame) {
  Win32Backend other;
  Form dialog(other);
  dialog.SetCaption("Setup - the active window");
  dialog.SetBounds({60, 60, 300, 200});
  dialog.Add<Button>("BtnWin32BorderlessOther").SetBounds({10, 10, 90, 26});
  dialog.Show();
  SetForegroundWindow(H(other.FormWindow()));
  other.PumpMessages();

  Win32Backend backend;
  Form form(backend, BorderStyle::None);
  form.Add<Label>("LabelWin32Borderless").SetCaption("backdrop");
  const Screen s = backend.ScreenOf(form);
  EXPECT_EQ(s.primaryWidth, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(s.primaryHeight, GetSystemMetrics(SM_CYSCREEN));
  form.SetBounds({0, 0, s.primaryWidth, s.primaryHeight});
  const HWND w = H(backend.FormWindow());
  const HWND active = GetActiveWindow();
  form.Show();
  backend.PumpMessages();
  EXPECT_TRUE(IsWindowVisible(w));
  RECT r{}, c{};
  GetWindowRect(w, &r);
  GetClientRect(w, &c);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right, s.primaryWidth);
  EXPECT_EQ(r.bottom, s.primaryHeight);
  EXPECT_EQ(c.right, s.primaryWidth);  // no frame: the client area is the window
  EXPECT_EQ(c.bottom, s.primaryHeight);
  EXPECT_EQ(StyleOf(w) & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU), 0);
  EXPECT_NE(StyleOf(w) & WS_POPUP, 0);
  EXPECT_NE(GetWindowLongPtrW(w, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
  // A class of its own: whoever looks for the setup's window finds the
  // dialog, not the backdrop.
  EXPECT_EQ(ClassOf(w), L"stowasetupborderless");
  EXPECT_EQ(ClassOf(H(other.FormWindow())), L"stowasetupform");
  // Shown without taking the activation.
  EXPECT_EQ(GetActiveWindow(), active);
  EXPECT_NE(GetActiveWindow(), w);
}

TEST(Win32Borderless, ActivatingItHandsTheActivationToTheOtherForm) {
  Win32Backend mainBackend;
  Form main(mainBackend);
  main.SetCaption("Setup - the wizard");
  main.SetBounds({100, 100, 300, 200});
  main.Add<Button>("BtnWin32BorderlessMain").SetBounds({10, 10, 90, 26});
  Win32Backend backend;
  Form backdrop(backend, BorderStyle::None);
  backdrop.Add<Label>("LabelWin32BorderlessBack").SetCaption("backdrop");
  backdrop.SetBounds({0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)});
  int activations = 0;
  backdrop.OnActivate = [&] {
    ++activations;
    main.BringToFront();
  };
  backdrop.Show();
  main.Show();
  const HWND m = H(mainBackend.FormWindow()), b = H(backend.FormWindow());
  ASSERT_TRUE(PumpUntil(backend, [&] { return GetActiveWindow() == m; }));
  EXPECT_TRUE(Above(m, b));

  // As a click on it would: the backdrop comes up and is activated.
  SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetActiveWindow(b);
  EXPECT_TRUE(PumpUntil(backend, [&] { return activations > 0 && GetActiveWindow() == m; }))
      << "active: " << GetActiveWindow() << ", activations " << activations;
  EXPECT_TRUE(Above(m, b));
  // Once: the activation does not bounce between the two.
  for (int i = 0; i < 20; ++i) {
    backend.PumpMessages();
    Sleep(10);
  }
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(GetActiveWindow(), m);

  // A hidden wizard is not brought back.
  main.Close();
  mainBackend.PumpMessages();
  SetActiveWindow(b);
  PumpUntil(backend, [&] { return activations > 1; });
  EXPECT_FALSE(IsWindowVisible(m));
}

TEST_F(Win32Forms, AnImageShowsItsPictureAtItsSize) {
  // Left half red, right half blue, the bottom-left pixel green.
  const std::string bmp = Bmp24(12, 8, [](int x, int y) -> uint32_t {
    if (x == 0 && y == 7) return 0x00FF00;
    return x < 6 ? 0xFF0000 : 0x0000FF;
  });
  auto& image = form.Add<Image>("ImageWin32Forms");
  image.SetBounds({330, 100, 0, 0});  // clear of the page's controls
  image.SetAutoSize(true);
  ASSERT_TRUE(image.SetPicture(bmp));
  backend.PumpMessages();
  const HWND h = W(image);
  ASSERT_TRUE(h);
  EXPECT_EQ(NameProperty(h), "ImageWin32Forms");
  const RECT r = InForm(h);
  EXPECT_EQ(r.left, 330);
  EXPECT_EQ(r.top, 100);
  EXPECT_EQ(r.right - r.left, 12);
  EXPECT_EQ(r.bottom - r.top, 8);
  {
    Canvas canvas(12, 8);
    SendMessageW(h, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
    EXPECT_EQ(GetPixel(canvas.dc, 1, 1), RGB(0xFF, 0, 0));
    EXPECT_EQ(GetPixel(canvas.dc, 10, 6), RGB(0, 0, 0xFF));
    EXPECT_EQ(GetPixel(canvas.dc, 0, 7), RGB(0, 0xFF, 0));
  }
  // Transparent: the bottom-left pixel's colour shows the form beneath.
  image.SetTransparent(true);
  backend.PumpMessages();
  {
    Canvas canvas(12, 8);
    SendMessageW(h, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
    EXPECT_EQ(GetPixel(canvas.dc, 0, 7), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(GetPixel(canvas.dc, 1, 1), RGB(0xFF, 0, 0));
  }
  // On the screen too.
  RedrawWindow(F(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  const HDC dc = GetDC(F());
  EXPECT_EQ(GetPixel(dc, 330 + 10, 100 + 2), RGB(0, 0, 0xFF));
  EXPECT_EQ(GetPixel(dc, 330 + 0, 100 + 7), GetSysColor(COLOR_BTNFACE));
  ReleaseDC(F(), dc);
  // Not a picture: nothing, and no size.
  EXPECT_FALSE(image.SetPicture("not a picture at all"));
  backend.PumpMessages();
  const RECT none = InForm(h);
  EXPECT_EQ(none.right - none.left, 0);
}

TEST_F(Win32Forms, ADamagedPictureThatTheHeaderPassesShowsNothing) {
  // A valid PNG header with nothing behind it: the model knows its size,
  // the system cannot decode it, and nothing but the form shows there.
  std::string png("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x0A\0\0\0\x06\x08\x06\0\0\0\x11\x22\x33\x44", 33);
  png += "garbage";
  auto& image = form.Add<Image>("ImageWin32FormsDamaged");
  image.SetBounds({330, 130, 0, 0});
  image.SetAutoSize(true);
  ASSERT_TRUE(image.SetPicture(png));
  backend.PumpMessages();
  Canvas canvas(10, 6);
  SendMessageW(W(image), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
  EXPECT_EQ(GetPixel(canvas.dc, 5, 3), GetSysColor(COLOR_BTNFACE));
}

TEST_F(Win32Forms, AShadowShowsThroughTheTransparentTextAboveIt) {
  Font big;
  big.name = "Tahoma";
  big.height = 28;
  big.bold = true;
  big.colour = RGB(0x10, 0x20, 0x30);
  auto& shadow = form.Add<Label>("LabelWin32FormsShadow");
  shadow.SetTransparent(true);
  shadow.SetShowAccelChar(false);
  shadow.SetFont(big);
  shadow.SetCaption("WWW & WWW");
  shadow.AutoSize();
  shadow.SetPosition(23, 103);
  Font front = big;
  front.colour = RGB(0xF0, 0xF0, 0xF0);
  auto& text = form.Add<Label>("LabelWin32FormsText");
  text.SetTransparent(true);
  text.SetShowAccelChar(false);
  text.SetFont(front);
  text.SetCaption("WWW & WWW");
  text.AutoSize();
  text.SetPosition(20, 100);
  backend.PumpMessages();
  EXPECT_NE(StyleOf(W(text)) & SS_NOPREFIX, 0);
  EXPECT_EQ(MessageText(W(text)), "WWW & WWW");
  // The text's window draws the shadow's text beneath its own.
  const Bounds b = text.bounds();
  Canvas canvas(b.width, b.height);
  SendMessageW(W(text), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT | PRF_ERASEBKGND);
  int shadowPixels = 0, textPixels = 0;
  for (int y = 0; y < b.height; ++y)
    for (int x = 0; x < b.width; ++x) {
      const COLORREF p = GetPixel(canvas.dc, x, y);
      if (p == RGB(0x10, 0x20, 0x30)) ++shadowPixels;
      if (p == RGB(0xF0, 0xF0, 0xF0)) ++textPixels;
    }
  EXPECT_GT(shadowPixels, 20);
  EXPECT_GT(textPixels, 20);
  // The text's window lies above the shadow's.
  bool textAbove = false;
  for (HWND h = GetWindow(W(shadow), GW_HWNDPREV); h; h = GetWindow(h, GW_HWNDPREV))
    if (h == W(text)) textAbove = true;
  EXPECT_TRUE(textAbove);
}

TEST_F(Win32Forms, FontsCarryItalicStrikeOutAndCharacterSet) {
  Font f;
  f.name = "Tahoma";
  f.height = 12;
  f.italic = true;
  f.strikeout = true;
  f.charset = 238;  // Central European
  note->SetFont(f);
  backend.PumpMessages();
  const auto font = reinterpret_cast<HFONT>(SendMessageW(W(*note), WM_GETFONT, 0, 0));
  ASSERT_TRUE(font);
  LOGFONTW lf{};
  ASSERT_TRUE(GetObjectW(font, sizeof lf, &lf));
  EXPECT_TRUE(lf.lfItalic);
  EXPECT_TRUE(lf.lfStrikeOut);
  EXPECT_FALSE(lf.lfUnderline);
  EXPECT_EQ(lf.lfCharSet, 238);
}
