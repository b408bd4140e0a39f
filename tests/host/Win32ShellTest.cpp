// The Windows side of the platform seam that only the real system can show:
// values of every type and subkey walks in the registry, shell links as
// the shell writes them, started programs, access lists, fonts and type
// libraries. Everything a test creates (keys, folders) lives under names of
// its own and is removed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/win32/Win32Common.h"
#include "platform/win32/Windows.h"

#include <aclapi.h>
#include <objbase.h>

// wingdi.h renames AddFontResource to its A/W form.
#undef AddFontResource

using namespace stw;
using namespace stw::test;

namespace {

using win32::Wide;

// The bytes of UTF-16LE text, as the registry and shell links store it.
std::string Utf16Bytes(const std::string& utf8) {
  std::string out;
  for (const char16_t c : Utf8ToUtf16(utf8)) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

uint32_t Le(const std::string& bytes, size_t at, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint32_t{static_cast<unsigned char>(bytes.at(at + i))} << (8 * i);
  return v;
}

std::string SystemFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  return Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(buffer), n));
}

bool IsAtLeastWindows8() {
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto fn = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (!fn || fn(&v) != 0) return false;
  return v.dwMajorVersion > 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion >= 2);
}

// Wine's ntdll has an export of its own that names its version.
bool RunsUnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

class Win32ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = "Software\\" + UniqueName("StowaShellTest-");
    shell_ = CreateNativeShell();
  }
  void TearDown() override {
    for (const RegView view : {RegView::Default, RegView::View64}) {
      Reg().DeleteKey(RegRoot::CurrentUser, key_, view);
      Reg().DeleteKey(RegRoot::LocalMachine, key_, view);
    }
  }

  IRegistry& Reg() { return m_.Registry(); }
  IShell& Shell() { return *shell_; }

  TestMachine m_;
  std::string key_;
  std::unique_ptr<IShell> shell_;
};

// ---------------------------------------------------------------- registry

TEST_F(Win32ShellTest, BinaryValuesKeepEveryByteAndMayBeEmpty) {
  const std::string block("\x00\x01\xFF\x80zero\x00inside\x00", 15);
  ASSERT_TRUE(Reg().WriteBinary(RegRoot::CurrentUser, key_, "block", block));
  ASSERT_TRUE(Reg().WriteBinary(RegRoot::CurrentUser, key_, "empty", ""));

  const std::optional<RegValue> read = Reg().QueryValue(RegRoot::CurrentUser, key_, "Block");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, RegValue::Binary);
  EXPECT_EQ(read->bytes, block);
  EXPECT_EQ(read->text, "");

  // An empty block is a value, not a missing one.
  const std::optional<RegValue> empty = Reg().QueryValue(RegRoot::CurrentUser, key_, "empty");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->kind, RegValue::Binary);
  EXPECT_EQ(empty->bytes, "");
  EXPECT_FALSE(Reg().QueryValue(RegRoot::CurrentUser, key_, "missing"));
  EXPECT_FALSE(Reg().QueryValue(RegRoot::CurrentUser, key_ + "\\missing", "block"));
  // Not a string, so ReadString does not take it for one.
  EXPECT_FALSE(Reg().ReadString(RegRoot::CurrentUser, key_, "block"));

  // Overwriting replaces the whole value.
  ASSERT_TRUE(Reg().WriteBinary(RegRoot::CurrentUser, key_, "block", "ab"));
  EXPECT_EQ(Reg().QueryValue(RegRoot::CurrentUser, key_, "block")->bytes, "ab");
}

TEST_F(Win32ShellTest, QueryValueTellsEveryTypeApart) {
  const std::string text = "Gr\u00FC\u00DFe \u20AC %PATH%";
  ASSERT_TRUE(Reg().WriteString(RegRoot::CurrentUser, key_, "text", text));
  ASSERT_TRUE(Reg().WriteDword(RegRoot::CurrentUser, key_, "number", 0x12345678));
  {
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Wide(key_).c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &k),
              ERROR_SUCCESS);
    const std::wstring expand = L"%SystemRoot%\\x";
    RegSetValueExW(k, L"expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand.c_str()),
                   static_cast<DWORD>((expand.size() + 1) * sizeof(wchar_t)));
    const wchar_t multi[] = L"one\0two\0";
    RegSetValueExW(k, L"multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi);
    // A string stored without its terminating zero.
    RegSetValueExW(k, L"unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"abc"), 3 * sizeof(wchar_t));
    RegCloseKey(k);
  }

  const std::optional<RegValue> s = Reg().QueryValue(RegRoot::CurrentUser, key_, "text");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, RegValue::String);
  EXPECT_EQ(s->text, text);  // environment variables are not expanded
  EXPECT_EQ(s->bytes, Utf16Bytes(text) + std::string(2, '\0'));

  const std::optional<RegValue> d = Reg().QueryValue(RegRoot::CurrentUser, key_, "number");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->kind, RegValue::Dword);
  EXPECT_EQ(d->dword, 0x12345678u);
  EXPECT_EQ(d->bytes, std::string("\x78\x56\x34\x12", 4));

  const std::optional<RegValue> e = Reg().QueryValue(RegRoot::CurrentUser, key_, "expand");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, RegValue::ExpandString);
  EXPECT_EQ(e->text, "%SystemRoot%\\x");

  const std::optional<RegValue> m = Reg().QueryValue(RegRoot::CurrentUser, key_, "multi");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->kind, RegValue::Other);
  EXPECT_EQ(m->bytes, Utf16Bytes(std::string("one\0two\0", 9)));

  // The text ends with the data. (Wine hands out such a value with a zero
  // appended, Windows as stored, so the bytes are not compared.)
  const std::optional<RegValue> u = Reg().QueryValue(RegRoot::CurrentUser, key_, "unterminated");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->kind, RegValue::String);
  EXPECT_EQ(u->text, "abc");
}

TEST_F(Win32ShellTest, SubkeyNamesWalkTheKeyUpToTheLimit) {
  for (const char* name : {"Alpha", "beta", "Gamma \xE2\x82\xAC"})
    ASSERT_TRUE(Reg().CreateKey(RegRoot::CurrentUser, key_ + "\\" + name));
  ASSERT_TRUE(Reg().CreateKey(RegRoot::CurrentUser, key_ + "\\beta\\nested"));
  ASSERT_TRUE(Reg().WriteString(RegRoot::CurrentUser, key_, "a value", "is no key"));

  std::vector<std::string> all = Reg().SubkeyNames(RegRoot::CurrentUser, key_, 100);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{"Alpha", "Gamma \xE2\x82\xAC", "beta"}));
  const std::vector<std::string> two = Reg().SubkeyNames(RegRoot::CurrentUser, key_, 2);
  EXPECT_EQ(two.size(), 2u);
  EXPECT_TRUE(Reg().SubkeyNames(RegRoot::CurrentUser, key_, 0).empty());
  EXPECT_EQ(Reg().SubkeyNames(RegRoot::CurrentUser, key_ + "\\beta", 100), std::vector<std::string>{"nested"});
  EXPECT_TRUE(Reg().SubkeyNames(RegRoot::CurrentUser, key_ + "\\missing", 100).empty());
}

TEST_F(Win32ShellTest, TheNewCallsKeepToTheirView) {
  // HKLM\Software is split by view (the 32-bit one lies under Wow6432Node).
  ASSERT_TRUE(Reg().WriteBinary(RegRoot::LocalMachine, key_ + "\\Sub64", "v", "64", RegView::View64));
  EXPECT_TRUE(Reg().QueryValue(RegRoot::LocalMachine, key_ + "\\Sub64", "v", RegView::View64));
  EXPECT_FALSE(Reg().QueryValue(RegRoot::LocalMachine, key_ + "\\Sub64", "v", RegView::Default));
  EXPECT_EQ(Reg().SubkeyNames(RegRoot::LocalMachine, key_, 10, RegView::View64), std::vector<std::string>{"Sub64"});
  EXPECT_TRUE(Reg().SubkeyNames(RegRoot::LocalMachine, key_, 10, RegView::Default).empty());
}

TEST_F(Win32ShellTest, CurrentConfigIsTheCurrentHardwareProfile) {
  // HKEY_CURRENT_CONFIG shows HKLM\System\CurrentControlSet\Hardware
  // Profiles\Current, so what one shows the other does.
  const std::string profile = "System\\CurrentControlSet\\Hardware Profiles\\Current";
  ASSERT_TRUE(Reg().KeyExists(RegRoot::LocalMachine, profile, RegView::View64));
  const std::string sub = "Software\\" + UniqueName("StowaShellTest-");
  ASSERT_TRUE(Reg().WriteDword(RegRoot::CurrentConfig, sub, "seen", 7, RegView::View64));
  EXPECT_EQ(Reg().ReadDword(RegRoot::LocalMachine, profile + "\\" + sub, "seen", RegView::View64), 7u);
  EXPECT_TRUE(Reg().DeleteKey(RegRoot::CurrentConfig, sub, RegView::View64));
  EXPECT_FALSE(Reg().KeyExists(RegRoot::LocalMachine, profile + "\\" + sub, RegView::View64));
}

// ---------------------------------------------------------------- shell links

// The parts of a saved .lnk file, read from its bytes: the shell's own
// reader cannot be trusted with everything under Wine (it reports every
// show command as 1).
struct LinkFile {
  uint32_t flags = 0, iconIndex = 0, showCmd = 0, hotKey = 0;
  std::string description, workingDir, arguments, iconLocation;  // UTF-16LE bytes
};

LinkFile ParseLink(const std::string& b) {
  LinkFile f;
  f.flags = Le(b, 0x14, 4);
  f.iconIndex = Le(b, 0x38, 4);
  f.showCmd = Le(b, 0x3C, 4);
  f.hotKey = Le(b, 0x40, 2);
  size_t at = 0x4C;
  if (f.flags & 0x01) at += 2 + Le(b, at, 2);  // the target's item id list
  if (f.flags & 0x02) at += Le(b, at, 4);      // link info, its size counting itself
  // The strings follow in this order, each a count of characters and the
  // characters; IsUnicode (0x80) makes them UTF-16.
  // Windows counts the characters alone, Wine a terminating zero as well,
  // which is dropped here.
  const auto next = [&](uint32_t flag, std::string& out) {
    if ((f.flags & flag) == 0) return;
    const size_t unit = (f.flags & 0x80) ? 2u : 1u;
    const size_t n = Le(b, at, 2) * unit;
    out = b.substr(at + 2, n);
    if (out.size() >= unit && out.find_first_not_of('\0', out.size() - unit) == std::string::npos)
      out.resize(out.size() - unit);
    at += 2 + n;
  };
  std::string relativePath;
  next(0x04, f.description);
  next(0x08, relativePath);
  next(0x10, f.workingDir);
  next(0x20, f.arguments);
  next(0x40, f.iconLocation);
  return f;
}

TEST_F(Win32ShellTest, ASavedLinkHoldsEverythingItWasGiven) {
  const std::string target = m_.Work() + "program.exe";
  m_.WriteFile(target, "MZ not really a program");
  ShellLinkData link;
  link.Path = target;
  link.Arguments = "/x \"quoted argument\" \xC3\xBC";
  link.Description = "Beschreibung \xE2\x82\xAC";
  link.WorkingDirectory = m_.Work() + "work dir";
  link.IconPath = SystemFolder() + "\\shell32.dll";
  link.IconIndex = 3;
  link.ShowCmd = 3;      // SW_SHOWMAXIMIZED
  link.HotKey = 0x0341;  // Ctrl+Shift+A
  const std::string path = m_.Work() + "Program \xC3\xA4.lnk";
  std::string error;
  ASSERT_TRUE(Shell().SaveShellLink(link, path, error)) << error;
  EXPECT_EQ(error, "");

  const std::string bytes = m_.ReadFile(path);
  ASSERT_GE(bytes.size(), 0x4Cu);
  EXPECT_EQ(Le(bytes, 0, 4), 0x4Cu);
  EXPECT_EQ(bytes.substr(4, 16), std::string("\x01\x14\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16));
  const LinkFile f = ParseLink(bytes);
  EXPECT_EQ(f.showCmd, 3u);
  EXPECT_EQ(f.hotKey, 0x0341u);
  EXPECT_EQ(f.iconIndex, 3u);
  ASSERT_TRUE(f.flags & 0x80) << "strings not stored as UTF-16";
  EXPECT_EQ(f.description, Utf16Bytes(link.Description));
  EXPECT_EQ(f.workingDir, Utf16Bytes(link.WorkingDirectory));
  EXPECT_EQ(f.arguments, Utf16Bytes(link.Arguments));
  EXPECT_EQ(f.iconLocation, Utf16Bytes(link.IconPath));
  // The target is in the link's item id list and link info, whose layout
  // is the shell's own: it must be there in one of the two encodings.
  EXPECT_TRUE(bytes.find(Utf16Bytes(target)) != std::string::npos || bytes.find(target) != std::string::npos);

  // Saving again replaces the link.
  link.Arguments = "second";
  ASSERT_TRUE(Shell().SaveShellLink(link, path, error)) << error;
  EXPECT_EQ(ParseLink(m_.ReadFile(path)).arguments, Utf16Bytes("second"));
}

// Whatever COM the calling thread has already: none, a single-threaded
// apartment (initialising again answers S_FALSE) or the multithreaded one
// (answers RPC_E_CHANGED_MODE). The thread's own COM stays as it was.
TEST_F(Win32ShellTest, LinksAreSavedWhateverCOMTheThreadHas) {
  ShellLinkData link;
  link.Path = SystemFolder() + "\\cmd.exe";
  // nullopt: the thread has no COM of its own.
  const std::optional<DWORD> modes[] = {std::nullopt, COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED};
  for (const std::optional<DWORD>& mode : modes) {
    const std::string name = !mode ? "none" : *mode == COINIT_MULTITHREADED ? "multithreaded" : "apartment";
    const std::string path = m_.Work() + name + ".lnk";
    bool saved = false, kept = false;
    std::string error;
    std::thread([&] {
      const bool own = mode && SUCCEEDED(CoInitializeEx(nullptr, *mode));
      saved = Shell().SaveShellLink(link, path, error);
      // Initialising once more in the other mode fails only while the
      // thread's own apartment is still there (and, without one, whenever
      // an apartment was left behind).
      const HRESULT again =
          CoInitializeEx(nullptr, mode == COINIT_APARTMENTTHREADED ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
      kept = own ? again == RPC_E_CHANGED_MODE : again == S_OK;
      if (SUCCEEDED(again)) CoUninitialize();
      if (own) CoUninitialize();
    }).join();
    EXPECT_TRUE(saved) << name << ": " << error;
    EXPECT_TRUE(kept) << name;
    EXPECT_TRUE(m_.Exists(path)) << name;
  }
}

TEST_F(Win32ShellTest, ALinkIntoAMissingFolderIsNotSaved) {
  ShellLinkData link;
  link.Path = SystemFolder() + "\\cmd.exe";
  const std::string path = m_.Work() + "no such folder\\cmd.lnk";
  std::string error;
  EXPECT_FALSE(Shell().SaveShellLink(link, path, error));
  EXPECT_EQ(error, "Cannot save " + path);
  EXPECT_FALSE(m_.Exists(path));
}

TEST_F(Win32ShellTest, TheStartPinOptionNeedsWindows8) {
  ShellLinkData link;
  link.Path = SystemFolder() + "\\cmd.exe";
  const std::string path = m_.Work() + "pinned.lnk";
  std::string error;
  ASSERT_TRUE(Shell().SaveShellLink(link, path, error)) << error;
  // Wine reports Windows 7, where the shell has no such option.
  EXPECT_EQ(Shell().SetStartPinOption(path, 1), IsAtLeastWindows8());
  EXPECT_FALSE(Shell().SetStartPinOption(m_.Work() + "missing.lnk", 1));
}

// ---------------------------------------------------------------- fonts, type libraries

TEST_F(Win32ShellTest, WhatIsNoFontIsNotAdded) {
  const std::string notAFont = m_.Work() + "not a font.ttf";
  m_.WriteFile(notAFont, std::string(512, 'x'));
  EXPECT_FALSE(Shell().AddFontResource(notAFont));
  EXPECT_FALSE(Shell().AddFontResource(m_.Work() + "missing.ttf"));
}

TEST_F(Win32ShellTest, TheFontChangeReachesTopLevelWindows) {
  // An invisible top-level window of this thread receives what is posted
  // to every top-level window.
  const HWND window = CreateWindowExW(0, L"STATIC", L"font change listener", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                      nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(window);
  MSG msg;
  while (PeekMessageW(&msg, window, WM_FONTCHANGE, WM_FONTCHANGE, PM_REMOVE)) {
  }
  Shell().BroadcastFontChange();
  bool received = false;
  for (int i = 0; i < 200 && !received; ++i) {
    received = PeekMessageW(&msg, window, WM_FONTCHANGE, WM_FONTCHANGE, PM_REMOVE) != 0;
    if (!received) Sleep(10);
  }
  DestroyWindow(window);
  EXPECT_TRUE(received);
}

TEST_F(Win32ShellTest, WhatIsNoTypeLibraryIsNotRegistered) {
  const std::string notALibrary = m_.Work() + "not a library.tlb";
  // Plain text. (A file that starts like a type library, with "MSFT",
  // and then breaks off makes Wine's reader crash instead of failing.)
  m_.WriteFile(notALibrary, "just text, no type library at all\r\n");
  std::string error;
  EXPECT_FALSE(Shell().RegisterTypeLibrary(notALibrary, m_.Work(), error));
  EXPECT_NE(error, "");
  error.clear();
  EXPECT_FALSE(Shell().RegisterTypeLibrary(m_.Work() + "missing.tlb", "", error));
  EXPECT_NE(error, "");
}

// ---------------------------------------------------------------- programs, files

TEST_F(Win32ShellTest, AStartedProgramReportsItsExitCode) {
  const std::string cmd = SystemFolder() + "\\cmd.exe";
  std::unique_ptr<IProcess> p = Shell().StartProcess(cmd, "\"" + cmd + "\" /c exit 7");
  ASSERT_TRUE(p);
  ASSERT_TRUE(p->Wait(60000));
  EXPECT_EQ(p->ExitCode(), 7u);
  EXPECT_TRUE(p->Wait(0));  // still ended

  EXPECT_FALSE(Shell().StartProcess(m_.Work() + "missing.exe", "missing.exe"));
}

TEST_F(Win32ShellTest, AProgramStartedThroughTheShellIsKeptToWaitFor) {
  // "runas" under Wine starts at once (there is no prompt); on Windows the
  // test runs elevated, so none is shown either.
  const std::string cmd = SystemFolder() + "\\cmd.exe";
  for (const char* verb : {"open", "runas"}) {
    bool declined = true;
    std::unique_ptr<IProcess> p = Shell().ShellStart(cmd, verb, "/c exit 42", nullptr, 0, declined);
    ASSERT_TRUE(p) << verb;
    EXPECT_FALSE(declined);
    ASSERT_TRUE(p->Wait(60000));
    EXPECT_EQ(p->ExitCode(), 42u) << verb;
  }
  bool declined = true;
  EXPECT_FALSE(Shell().ShellStart(m_.Work() + "missing.exe", "open", "", nullptr, 1, declined));
  EXPECT_FALSE(declined);  // not the user's no: a start that failed
}

// Answers every message box of this process with OK while it lives: the
// shell tells the user itself when it cannot open a file, and nobody is
// there to close its box.
class BoxCloser {
 public:
  BoxCloser() : thread_([this] { Run(); }) {}
  ~BoxCloser() {
    stop_ = true;
    thread_.join();
  }
  int Closed() const { return closed_; }

 private:
  void Run() {
    while (!stop_) {
      EnumWindows(
          [](HWND w, LPARAM self) -> BOOL {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            wchar_t cls[16] = {};
            GetClassNameW(w, cls, 16);
            if (pid == GetCurrentProcessId() && std::wstring(cls) == L"#32770" && IsWindowVisible(w)) {
              PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, IDOK)));
              ++reinterpret_cast<BoxCloser*>(self)->closed_;
            }
            return TRUE;
          },
          reinterpret_cast<LPARAM>(this));
      Sleep(50);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> closed_{0};
  std::thread thread_;
};

TEST_F(Win32ShellTest, AMissingFileDoesNotOpen) {
  BoxCloser closer;
  EXPECT_FALSE(Shell().OpenFile(m_.Work() + "missing.txt", "", false));
  EXPECT_FALSE(Shell().OpenFile(m_.Work() + "missing.txt", "", true));
}

TEST_F(Win32ShellTest, OpeningAProgramAndWaitingWaitsForItsEnd) {
  // cmd.exe opened with "open" runs; waiting returns once it has written
  // its file and ended.
  const std::string marker = m_.Work() + "opened.txt";
  ASSERT_TRUE(Shell().OpenFile(SystemFolder() + "\\cmd.exe", "/c echo done> \"" + marker + "\"", true));
  EXPECT_TRUE(m_.Exists(marker));
}

// ---------------------------------------------------------------- access, drives

// Which rights the folder's access list grants the Users group, and with
// which inheritance flags (merged over its entries).
struct UsersEntry {
  bool found = false;
  ACCESS_MASK mask = 0;
  BYTE flags = 0;
};

UsersEntry UsersEntryOf(const std::string& folder) {
  UsersEntry e;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::wstring path = Wide(folder);
  if (GetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd) != ERROR_SUCCESS)
    return e;
  BYTE users[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof users;
  if (dacl && CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size)) {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      if (!GetAce(dacl, i, &ace)) continue;
      const auto* header = static_cast<ACE_HEADER*>(ace);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      if (!EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), users)) continue;
      e.found = true;
      e.mask |= allowed->Mask;
      e.flags |= header->AceFlags;
    }
  }
  LocalFree(sd);
  return e;
}

TEST_F(Win32ShellTest, UsersGetFullControlOfAFolderAndWhatItHolds) {
  const std::string folder = m_.Work() + "shared data";
  ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
  const UsersEntry before = UsersEntryOf(folder);
  EXPECT_FALSE(before.found && (before.mask & GENERIC_ALL)) << "the fresh folder grants the Users group all already";

  ASSERT_TRUE(Shell().GrantUsersFullControl(folder));
  EXPECT_FALSE(Shell().GrantUsersFullControl(m_.Work() + "missing folder"));
  if (RunsUnderWine()) {
    // Wine keeps no access lists for files: it turns the list it is given
    // into Unix permission bits (the folder's group gets rwx) and makes up
    // the list it returns from those bits (system, owner, everyone), so
    // the new entry cannot be read back.
    GTEST_SKIP() << "Wine does not keep the access lists of files";
  }
  const UsersEntry after = UsersEntryOf(folder);
  ASSERT_TRUE(after.found);
  // Windows stores the generic right as the file rights it stands for
  // (plus an inherit-only entry keeping GENERIC_ALL); either is full control.
  EXPECT_TRUE((after.mask & GENERIC_ALL) != 0 || (after.mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS)
      << std::hex << after.mask;
  EXPECT_EQ(after.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
}

TEST_F(Win32ShellTest, TheSystemDriveIsNotRemovable) {
  EXPECT_FALSE(Shell().IsRemovableDrive("C:\\"));
  EXPECT_FALSE(Shell().IsRemovableDrive("Q:\\"));  // no such drive
}

}  // namespace
