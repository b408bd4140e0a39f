// The publisher's support DLL: loaded from the private temporary folder at
// the first PrepareInstallation, asked once to allow the installation, to
// add folders and to preset the components, and told where the
// installation log went after it was saved. Every call into the DLL is
// guarded: an error it raises is shown and the setup goes on as if the
// routine had returned.
//
// Used on the user-interface thread only.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/SetupState.h"
#include "platform/SupportModule.h"
#include "system/FolderVariables.h"

namespace stw {

// Adds the folder variables of an install folder text (what
// GetInstallFolders returned) to `variables`. The text is entries of three
// fields, each ended by "|": the name with its percent signs, the
// description, the folder ("*" first marks it as shared and is not part of
// it); a missing final "|" is supplied, and a description or folder that
// the text ends before reads as empty. Parsing stops at the end of the text
// or at an entry without a name ("|" first, or no "|" at all). Names are
// upper-cased; a name that is already in the list (compared exactly, from
// the last entry to the first) is skipped with its entry, so the DLL can
// change neither the standard variables nor an earlier entry. A new one
// is appended with its description, its shared mark and its folder without
// trailing backslash (a drive's root keeps it) as its path for `userType`.
void AddSupportInstallFolders(const std::string& text, FolderVariableList& variables, uint8_t userType);

// The text of the box that reports an error raised by `routine` (the name
// as the user is shown it).
std::string SupportErrorText(const std::string& routine, const std::string& message);

// The first steps of a finished installation, with or without the window:
// a portable installation's marker stands for the log, and the support
// DLL (when the run has one) is told the log's path.
void InstallationFinishedHook(TSetupState& s);

class TSupportDll {
 public:
  // Borrows the run's state and the platform's loader for the whole run.
  TSupportDll(TSetupState& s, ISupportModuleLoader& loader);
  ~TSupportDll();
  TSupportDll(const TSupportDll&) = delete;
  TSupportDll& operator=(const TSupportDll&) = delete;

  // Run by the Install, Components and Advanced buttons and by the silent
  // run, each after the rights check let the path go on, and by the Install
  // button of a portable installation. `owner` is the setup window's handle
  // (an HWND; nullptr when there is no window), handed to the allow
  // routine. `afterSelection` runs once, right after the component
  // selection was taken over (whether or not the DLL has a routine for
  // it): the wizard recomputes the required components and the tree's
  // state images there; it may be empty.
  //
  // False: the DLL refused the installation (now or at an earlier call).
  // The caller then ends the setup without a message of its own (the
  // wizard posts its close message, the silent run exits); nothing else is
  // done here. Each hook runs at most once per run; the folder variables
  // are resolved on every call (into S.Roots), except in a portable
  // installation that is not silent.
  bool PrepareInstallation(void* owner, const std::function<void()>& afterSelection);

  // Tells the DLL where the installation log is (in a portable
  // installation the marker file's path). Called after the log was saved;
  // does nothing when no DLL is loaded.
  void FinishDeployment(const std::string& logPath);

  // Whether the DLL was loaded.
  bool Loaded() const { return module_ != nullptr; }

 private:
  void Load();
  void WriteStubValue();
  bool Allow(void* owner);
  void FetchFolders();
  void FetchSelection();
  // Runs one routine call; an error it raised is shown under `shownName`.
  // False when it raised.
  bool Guarded(const char* shownName, const std::function<void()>& call);

  TSetupState& S;
  ISupportModuleLoader& loader_;
  std::unique_ptr<ISupportModule> module_;
  // The three once-flags, and a refusal remembered for later calls.
  bool prepared_ = false, foldersFetched_ = false, selectionFetched_ = false;
  bool refused_ = false;
};

}  // namespace stw
