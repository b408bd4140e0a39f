// setup-limited.exe: setup.exe as an administrator without elevation would
// run it (a filtered token: not a member of Administrators, UAC on), so
// that the elevated second instance can be tested where the system cannot
// give such a token (Wine's processes are always elevated). The instance
// started with /elevate sees the real facts, as the elevated copy would.
//
// STW_INSTANCE in its environment says which instance a program was
// started by: "first" or "elevated" (each instance sets it for itself;
// the child inherits the first's environment otherwise).
#include <windows.h>

#include "app/SetupProcess.h"
#include "platform/Factory.h"
#include "platform/win32/Win32Text.h"
#include "system/CommandLine.h"

namespace {

class LimitedTokenSystem : public stw::ISystem {
 public:
  explicit LimitedTokenSystem(std::unique_ptr<stw::ISystem> real) : real_(std::move(real)) {}
  int MajorVersion() override { return real_->MajorVersion(); }
  int MinorVersion() override { return real_->MinorVersion(); }
  bool Is64BitSystem() override { return real_->Is64BitSystem(); }
  unsigned UsableProcessors() override { return real_->UsableProcessors(); }
  std::string WindowsFolder() override { return real_->WindowsFolder(); }
  std::string SystemFolder() override { return real_->SystemFolder(); }
  std::string ProgramFile() override { return real_->ProgramFile(); }
  bool DriveExists(const std::string& drive) override { return real_->DriveExists(drive); }
  bool ConnectNetworkShare(const std::string& share) override { return real_->ConnectNetworkShare(share); }
  std::optional<uint64_t> FreeSpace(const std::string& path) override { return real_->FreeSpace(path); }
  uint64_t TickCount() override { return real_->TickCount(); }
  double LocalNow() override { return real_->LocalNow(); }
  bool IsElevated() override { return false; }
  bool HasLimitedToken() override { return true; }
  bool IsAdminMember() override { return false; }
  bool UacEnabled() override { return true; }

 private:
  std::unique_ptr<stw::ISystem> real_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Names compared as setup.exe compares them.
  stw::UseSystemCaseMapping();
  return stw::RunSetupProcess([](const std::vector<std::string>& args) -> std::unique_ptr<stw::ISystem> {
    const bool elevated = stw::HasSwitch(args, "elevate");
    SetEnvironmentVariableW(L"STW_INSTANCE", elevated ? L"elevated" : L"first");
    if (elevated) return stw::CreateNativeSystem();
    return std::make_unique<LimitedTokenSystem>(stw::CreateNativeSystem());
  });
}
