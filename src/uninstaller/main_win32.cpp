// UnStowa32.exe: the Windows entry point of the uninstaller.
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/win32/Win32Text.h"
#include "platform/win32/Windows.h"
#include "system/CommandLine.h"
#include "uninstaller/Uninstaller.h"

#include <shellapi.h>

namespace {

// The real message boxes, in front of whatever the user was looking at
// (the list of installed programs, usually).
class DesktopDialogs : public stw::IDialogs {
 public:
  int MessageBox(const std::string& text, const std::string& title, unsigned style) override {
    const std::u16string t = stw::Utf8ToUtf16(text), c = stw::Utf8ToUtf16(title);
    return ::MessageBoxW(nullptr, reinterpret_cast<LPCWSTR>(t.c_str()), reinterpret_cast<LPCWSTR>(c.c_str()),
                         style | MB_SETFOREGROUND);
  }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  stw::UseSystemCaseMapping();
  // Before anything else: DLLs come from the system folder only. The
  // uninstaller runs from the application folder, which a current-user
  // installation leaves writable by the user, and often elevated.
  using SetDirs = BOOL(WINAPI*)(DWORD);
  if (auto set = reinterpret_cast<SetDirs>(
          reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))))
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
  // No current folder in the application folder (the program may have
  // been started from there): a folder that is a process's current folder
  // cannot be removed, and the copy that removes the uninstaller at the
  // end would inherit it. Every path the program uses is a full one.
  wchar_t system[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n > 0 && n < MAX_PATH) SetCurrentDirectoryW(system);

  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; argv && i < argc; ++i) args.push_back(stw::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  if (argv) LocalFree(argv);

  auto fs = stw::CreateNativeFileSystem();
  auto reg = stw::CreateNativeRegistry();
  auto sys = stw::CreateNativeSystem();
  auto shell = stw::CreateNativeShell();
  DesktopDialogs desktop;
  stw::TRunDialogs dialogs(desktop, stw::HasSwitch(args, "suppressmsgboxes"), true);
  stw::TUninstallRun run({*fs, *reg, *sys, dialogs, *shell}, args);
  return run.Main();
}
