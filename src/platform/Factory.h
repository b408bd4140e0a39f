#pragma once
#include <memory>
#include <string>

#include "platform/Platform.h"

namespace stw {
// The services of the machine this program runs on. On Windows: the real
// file system, registry and system; `machineRoot` is ignored. On Linux: the
// simulated machine whose sandbox is the folder `machineRoot` (HostPlatform.h);
// without one, the host's native files (and Z:\), a registry that lives in
// memory and the default facts of the system.
std::unique_ptr<IFileSystem> CreateNativeFileSystem();
std::unique_ptr<IFileSystem> CreateNativeFileSystem(const std::string& machineRoot);
std::unique_ptr<IRegistry> CreateNativeRegistry(const std::string& machineRoot = {});
std::unique_ptr<ISystem> CreateNativeSystem(const std::string& machineRoot = {});
std::unique_ptr<IShell> CreateNativeShell(const std::string& machineRoot = {});
// Windows only: the desktop of the wizard window.
std::unique_ptr<IDesktop> CreateNativeDesktop();
// Loads the publisher's support DLL: the real one on Windows; on Linux the
// simulated machine's stand-ins (none unless a test places one).
class ISupportModuleLoader;
std::unique_ptr<ISupportModuleLoader> CreateNativeSupportModuleLoader(IFileSystem& fs);

// Message boxes for command-line tools: the text goes to standard error and
// no answer can be given (IDNONE_), so prompts fail instead of waiting.
class ConsoleDialogs : public IDialogs {
 public:
  int MessageBox(const std::string& text, const std::string& title, unsigned style) override;
};
}  // namespace stw
