// The publisher's support DLL as the setup sees it: a loaded module whose
// optional routines are found by their export names and called with fixed
// signatures. Which routine the setup prefers when several variants exist
// is decided above this seam (system/SupportDll), once for every platform;
// a module only tells whether a name is exported and makes the call.
//
// The signatures, all with the standard calling convention of exported
// Win32 functions (__stdcall on i686), BOOL being a 32-bit integer:
//
//   BOOL AllowInstallation(HWND owner)
//   BOOL AllowInstallation2(HWND owner, BOOL portable)
//   BOOL AllowInstallation3(HWND owner, BOOL portable, BOOL currentUser)
//   void GetSystemFolders[A|W](char* / wchar_t* buffer, int size)
//   void GetInstallFolders[A|W](char* / wchar_t* buffer, int size)
//   void GetComponentSelection[A|W](const char* / const wchar_t* name,
//                                   BOOL* optional, BOOL* selected, BOOL
//                                   previouslyInstalled)
//   void FinishDeployment[A|W](const char* / const wchar_t* logPath)
//
// The routines without a suffix take ANSI texts (the system's ANSI code
// page), like those with "A".
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace stw {

enum class SupportRoutine : uint8_t {
  AllowInstallation,
  AllowInstallation2,
  AllowInstallation3,
  GetSystemFolders,
  GetSystemFoldersA,
  GetSystemFoldersW,
  GetInstallFolders,
  GetInstallFoldersA,
  GetInstallFoldersW,
  GetComponentSelection,
  GetComponentSelectionA,
  GetComponentSelectionW,
  FinishDeployment,
  FinishDeploymentA,
  FinishDeploymentW,
};
inline constexpr size_t kSupportRoutineCount = 15;

// The name the routine is exported under.
inline const char* SupportExportName(SupportRoutine r) {
  static constexpr const char* kNames[kSupportRoutineCount] = {
      "AllowInstallation",  "AllowInstallation2",    "AllowInstallation3",     "GetSystemFolders",
      "GetSystemFoldersA",  "GetSystemFoldersW",     "GetInstallFolders",      "GetInstallFoldersA",
      "GetInstallFoldersW", "GetComponentSelection", "GetComponentSelectionA", "GetComponentSelectionW",
      "FinishDeployment",   "FinishDeploymentA",     "FinishDeploymentW"};
  return kNames[static_cast<size_t>(r)];
}

// Whether the routine takes UTF-16 texts.
inline bool IsWideSupportRoutine(SupportRoutine r) {
  return r == SupportRoutine::GetSystemFoldersW || r == SupportRoutine::GetInstallFoldersW ||
         r == SupportRoutine::GetComponentSelectionW || r == SupportRoutine::FinishDeploymentW;
}

// The size passed with a folder buffer: bytes of an ANSI buffer, characters
// of a UTF-16 one (which is therefore 65536 bytes long).
inline constexpr int32_t kSupportBufferSize = 32768;

// BOOL values as the setup passes them: -1 for true; any non-zero value
// that comes back counts as true.
inline int32_t ToSupportBool(bool b) { return b ? -1 : 0; }
inline bool FromSupportBool(int32_t v) { return v != 0; }

// A routine raised an error (on Windows a structured exception: an access
// violation, a RaiseException of the DLL, a C++ exception that left it) and
// the call was abandoned. `what()` describes the error for the user.
class ESupportRoutineFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A loaded support DLL; unloaded when destroyed. Used on the user-interface
// thread only (the DLL may show windows owned by the setup's window).
class ISupportModule {
 public:
  virtual ~ISupportModule() = default;
  // Whether the DLL exports the routine under SupportExportName(r).
  virtual bool Exports(SupportRoutine r) = 0;

  // Every call returns nothing (nullopt, false) without calling when the
  // routine is not exported, and throws ESupportRoutineFault when it raised
  // an error. The value returned by a routine of another group is ignored:
  // a routine is called only as the shape of its group.

  // The allow routines. The flags that a variant does not take are not
  // passed: AllowInstallation gets only the window, AllowInstallation2
  // also `portable`.
  virtual std::optional<bool> Allow(SupportRoutine r, void* owner, bool portable, bool currentUser) = 0;
  // GetSystemFolders* and GetInstallFolders*: the text the routine left in
  // a zero-filled buffer of kSupportBufferSize, read up to its first zero
  // and never beyond the buffer, as UTF-8; "" when it cannot be converted.
  virtual std::optional<std::string> Folders(SupportRoutine r) = 0;
  // GetComponentSelection*: the component's flags in, the routine's out.
  struct Selection {
    bool Optional = false, Selected = false;
  };
  virtual std::optional<Selection> ComponentSelection(SupportRoutine r, const std::string& name, Selection in,
                                                      bool previouslyInstalled) = 0;
  // FinishDeployment*: true when the routine was called.
  virtual bool Finish(SupportRoutine r, const std::string& logPath) = 0;
};

class ISupportModuleLoader {
 public:
  virtual ~ISupportModuleLoader() = default;
  // Loads the DLL at `path`, a full path (never searched for); nullptr when
  // it cannot be loaded.
  virtual std::unique_ptr<ISupportModule> Load(const std::string& path) = 0;
};

}  // namespace stw
