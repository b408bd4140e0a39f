// setup.exe: the Windows entry point.
#include "app/SetupProcess.h"
#include "platform/Factory.h"
#include "platform/win32/Win32Text.h"
#include "platform/win32/Windows.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  stw::UseSystemCaseMapping();
  return stw::RunSetupProcess([](const std::vector<std::string>&) { return stw::CreateNativeSystem(); });
}
