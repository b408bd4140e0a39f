// The control model on real windows: what the model says shows in the
// windows, and what is done to the windows comes back as the model's
// events, with the dialog keys following the model's rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forms/win32/Win32Backend.h"
#include "platform/win32/Win32Common.h"
#include "platform/win32/Windows.h"

using namespace stw::forms;
using stw::win32::Narrow;
using stw::win32::Wide;

namespace {

HWND H(void* w) { return static_cast<HWND>(w); }

std::string Text(HWND h) {
  wchar_t buffer[256];
  const int n = GetWindowTextW(h, buffer, 256);
  return Narrow(std::wstring_view(buffer, static_cast<size_t>(n)));
}

struct RealPage : ::testing::Test {
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
    ShowWindow(H(backend.FormWindow()), SW_SHOW);
    backend.PumpMessages();
  }
  HWND W(const Control& c) { return H(backend.WindowOf(c)); }
  void Key(HWND to, WPARAM key) {
    PostMessageW(to, WM_KEYDOWN, key, 0);
    backend.PumpMessages();
  }
};

}  // namespace

TEST_F(RealPage, TheWindowsShowWhatTheModelSays) {
  EXPECT_EQ(Text(H(backend.FormWindow())), "Setup - Test Works");
  EXPECT_EQ(Text(W(*next)), "&Proceed");
  EXPECT_EQ(Text(W(*note)), "Where to install:");
  RECT r;
  GetWindowRect(W(*exit), &r);
  MapWindowPoints(nullptr, H(backend.FormWindow()), reinterpret_cast<POINT*>(&r), 2);
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
  EXPECT_EQ((GetWindowLongW(W(*next), GWL_STYLE) & 0x0F), BS_DEFPUSHBUTTON);
  EXPECT_TRUE(events.empty());  // the program's own changes are no events
}

TEST_F(RealPage, ClicksAndTypingComeBackAsEvents) {
  SendMessageW(W(*next), BM_CLICK, 0, 0);
  SendMessageW(W(*desktop), BM_CLICK, 0, 0);
  EXPECT_TRUE(desktop->checked());
  EXPECT_EQ(SendMessageW(W(*desktop), BM_GETCHECK, 0, 0), BST_CHECKED);
  SetWindowTextW(W(*folder), L"D:\\Apps");
  EXPECT_EQ(folder->text(), "D:\\Apps");
  EXPECT_EQ(events, (std::vector<std::string>{"next", "checked", "typed D:\\Apps"}));
}

TEST_F(RealPage, TabEnterAndEscFollowTheModel) {
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
