// Support DLLs of the simulated machine: a test places a scripted module at
// a path of the sandbox (the file must exist there too, as a DLL file
// would), says which routines it exports and what each answers, and reads
// back every call with its arguments.
#pragma once
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/SupportModule.h"

namespace stw {

// What a scripted module does; shared by the test and every module loaded
// from its path. Not thread-safe, like the DLL calls it stands for.
struct HostSupportScript {
  std::set<SupportRoutine> exports;
  // The BOOL an allow routine returns (any non-zero value allows).
  int32_t allowAnswer = -1;
  // What the folder routines leave in their buffers: the ANSI variants'
  // text (UTF-8 here) and the UTF-16 variants' code units. A UTF-16 text
  // with a lone surrogate cannot be converted, as on Windows.
  std::string systemFolders, installFolders;
  std::u16string systemFoldersW, installFoldersW;
  // The BOOLs GetComponentSelection* writes back for a component, by name;
  // a component without an entry keeps what it was given.
  struct Preset {
    int32_t optional = 0, selected = 0;
  };
  std::map<std::string, Preset> presets;
  // Routines that raise an error with this message instead of returning.
  std::map<SupportRoutine, std::string> raises;
  // One line per call: the export name and its arguments as the DLL gets
  // them, BOOLs as numbers, the window as hexadecimal, e.g.
  //   AllowInstallation3(owner=0x1234, portable=-1, currentUser=0)
  //   GetComponentSelectionW(name=Docs, optional=-1, selected=0,
  //   previouslyInstalled=0)
  std::vector<std::string> calls;
};

class HostSupportModuleLoader : public ISupportModuleLoader {
 public:
  // `fs` tells whether the file is there; borrowed.
  explicit HostSupportModuleLoader(IFileSystem& fs) : fs_(fs) {}

  // Makes the file at `path` load as a scripted module (paths compare
  // without regard to ASCII case). A bare file name stands for a file of
  // that name in any folder (a run's private folder has a name of chance).
  std::shared_ptr<HostSupportScript> Place(const std::string& path);

  // Loads when a script is placed at the path and the file exists.
  std::unique_ptr<ISupportModule> Load(const std::string& path) override;

  std::vector<std::string> loads;  // every path asked for
  int unloads = 0;                 // modules destroyed so far (the loader outlives them)

 private:
  IFileSystem& fs_;
  std::map<std::string, std::shared_ptr<HostSupportScript>> scripts_;  // by CaseKey of the path
};

}  // namespace stw
