// The publisher's support DLL on Windows: loaded by its full path, its
// routines found by GetProcAddress and called with the signatures of
// platform/SupportModule.h, every call guarded against the structured
// exceptions the DLL may raise.
#pragma once
#include <memory>
#include <string>

#include "platform/SupportModule.h"

namespace stw {

class Win32SupportModuleLoader : public ISupportModuleLoader {
 public:
  // `path` must be a complete path ("X:\..." or "\\server\share\..."):
  // the DLL is never searched for. The DLLs it imports are looked for in
  // its own folder (the run's private temporary folder, which holds only
  // the package's support files) and in the system folder; never beside
  // the setup program, in the current folder or along PATH.
  std::unique_ptr<ISupportModule> Load(const std::string& path) override;
};

}  // namespace stw
