// The process of setup.exe: its DLL search path, its arguments, the
// platform of the real system and the run, with or without the window.
#include <string>
#include <vector>

#include "app/SetupProcess.h"
#include "app/SetupRun.h"
#include "base/Text.h"
#include "forms/win32/Win32Backend.h"
#include "platform/Factory.h"
#include "platform/win32/Windows.h"
#include "system/CommandLine.h"
#include "ui/Background.h"
#include "wizard/SetupWizard.h"

#include <shellapi.h>

namespace {

// Message boxes of the real desktop; once the setup window exists they
// are owned by it, so that nothing else of the window reacts while one is
// open.
class DesktopDialogs : public stw::IDialogs {
 public:
  HWND owner = nullptr;
  int MessageBox(const std::string& text, const std::string& title, unsigned style) override {
    const std::u16string t = stw::Utf8ToUtf16(text), c = stw::Utf8ToUtf16(title);
    const HWND w = owner && IsWindow(owner) ? owner : nullptr;
    return ::MessageBoxW(w, reinterpret_cast<LPCWSTR>(t.c_str()), reinterpret_cast<LPCWSTR>(c.c_str()),
                         style | MB_SETFOREGROUND);
  }
};

// The wizard in real windows: the form is made, the start-up sequence
// runs, and the window's message loop runs until it closes.
int RunWizard(stw::TSetupRun& run, stw::IDesktop& desktop, DesktopDialogs& dialogs) {
  stw::forms::Win32Backend backend;
  stw::TSetupWizard wizard(run.S, backend, desktop, [&backend] {
    return std::make_unique<stw::forms::Win32Backend>(backend.FormWindow());
  });
  wizard.FormCreate();
  run.StartupSequence();
  // The backdrop is shown before the wizard's first page, so the wizard
  // opens in front of it; it goes (before the wizard's form it refers to)
  // when the run ends.
  stw::forms::Win32Backend backdropBackend;
  const std::unique_ptr<stw::TFormBackground> backdrop = stw::CreateBackground(run.S, backdropBackend, wizard.form);
  if (backdrop) wizard.Backdrop = &backdrop->form;
  wizard.AfterStartup(run.Verdict);
  dialogs.owner = static_cast<HWND>(backend.FormWindow());
  backend.Run(wizard.form);
  dialogs.owner = nullptr;
  return wizard.ExitCode();
}

}  // namespace

namespace stw {

int RunSetupProcess(const SystemFactory& makeSystem) {
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
  auto sys = makeSystem(args);
  auto shell = stw::CreateNativeShell();
  DesktopDialogs desktop;
  const bool suppress = stw::HasSwitch(args, "suppressmsgboxes");
  stw::TRunDialogs dialogs(desktop, suppress, true);
  stw::TSetupRun run({*fs, *reg, *sys, dialogs, *shell}, args);
  auto desktopServices = stw::CreateNativeDesktop();
  run.S.Desktop = desktopServices.get();
  run.Interactive = [&](stw::TSetupRun& r) { return RunWizard(r, *desktopServices, desktop); };
  return run.Main();
}

}  // namespace stw
