// setup.exe: the Windows entry point.
#include <string>
#include <vector>

#include "app/SetupRun.h"
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/win32/Windows.h"
#include "system/CommandLine.h"

#include <shellapi.h>

namespace {

// Message boxes of the real desktop.
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
  // Before anything else: DLLs are loaded from the system folder only, so
  // that a DLL planted beside the installer (often in Downloads) is never
  // picked up by name.
  using SetDirs = BOOL(WINAPI*)(DWORD);
  if (auto set = reinterpret_cast<SetDirs>(
          reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))))
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");

  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(stw::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  LocalFree(argv);

  auto fs = stw::CreateNativeFileSystem();
  auto reg = stw::CreateNativeRegistry();
  auto sys = stw::CreateNativeSystem();
  auto shell = stw::CreateNativeShell();
  DesktopDialogs desktop;
  const bool suppress = stw::HasSwitch(args, "suppressmsgboxes");
  stw::TRunDialogs dialogs(desktop, suppress, true);
  stw::TSetupRun run({*fs, *reg, *sys, dialogs, *shell}, args);
  return run.Main();
}
