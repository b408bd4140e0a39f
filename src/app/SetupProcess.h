// The whole process of setup.exe, given how it learns the facts of the
// system: the entry point passes the real ones; a test program may pass
// others (another token, say) and is otherwise the same program.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace stw {

// Makes the system's facts for the run of these arguments (argument 0 is
// the program); called once, after the process's DLL search path was
// restricted.
using SystemFactory = std::function<std::unique_ptr<ISystem>(const std::vector<std::string>& args)>;

// Restricts the DLL search path, reads the command line, runs the setup
// (the wizard's window unless it runs silently) and returns the exit code.
int RunSetupProcess(const SystemFactory& makeSystem);

}  // namespace stw
