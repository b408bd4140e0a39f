// Writing a file so that it is replaced whole or not at all: the data go
// into a new temporary file in the target's folder (or a staging folder in
// it), which is renamed over the target only once everything was written.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Platform.h"

namespace stw {

// Temporary files are named "stw" + 8 hex digits + ".tmp", the private
// folders and staging folders of a run "stw" + 8 hex digits.
inline constexpr const char* kTempPrefix = "stw";
// Whether a name is one of those (ASCII case ignored), with `suffix` after
// the digits: what a killed run may have left behind.
bool IsOwnTempName(std::string_view name, std::string_view suffix = ".tmp");

// Deletes the temporary files of our naming that a killed run left in the
// folders and in their staging folders (which go too, unless a running
// setup holds them), except those the system is to move into place at its
// restart.
// Only for folders no other run of ours writes at the same time: a file
// being written is open and cannot be deleted on Windows, but one closed
// and not yet renamed can.
// With `seen`, every entry that is not a leftover is passed to it with the
// folder's path (ending in a backslash): each folder is listed once.
using FolderEntrySeen = std::function<void(const std::string& folder, const IFileSystem::Entry& entry)>;
void RemoveLeftoverTempFiles(IFileSystem& fs, const std::vector<std::string>& folders,
                             const FolderEntrySeen& seen = {});

// Deletes the private folders of our naming in `tempFolder` (and the files
// in them) that no running setup holds, but `keep`.
void RemoveLeftoverPrivateFolders(IFileSystem& fs, const std::string& tempFolder, const std::string& keep);

// The whole content of a file of at most `maxBytes`; nullopt when it
// cannot be opened, is larger, or cannot be read to its end.
std::optional<std::string> ReadFileWhole(IFileSystem& fs, const std::string& path, uint64_t maxBytes);

// Makes a new folder of our naming in `parent` (private: open to the
// current user, the administrators and the system only) and holds it, so
// that no other run's clean-up takes it while it is in use; "" when none
// could be made and held in `attempts` tries.
std::string CreateHeldFolder(IFileSystem& fs, const std::string& parent, bool isPrivate, int attempts,
                             std::shared_ptr<void>& hold);

// Where the temporary files of a folder that is to hold many entries are
// written: a staging folder of our naming inside it, made when its first
// file is written and held until the end of the run. Creating a name
// that is not there yet makes some systems read the whole folder (Wine
// does, for its case-insensitive look-up); the temporary name is then
// looked for among a few entries, not among the thousand of a large
// folder, and the rename still moves the file within one volume, through
// its handle. A folder that cannot be made or held costs nothing: its
// files' temporary files go beside them, as in any other folder.
class TStagingFolders {
 public:
  explicit TStagingFolders(IFileSystem& fs) : fs_(fs) {}
  ~TStagingFolders() { RemoveAll(); }
  TStagingFolders(const TStagingFolders&) = delete;
  TStagingFolders& operator=(const TStagingFolders&) = delete;
  // `folder` (as ExtractFileDir gives it) gets a staging folder.
  void Allow(const std::string& folder);
  // The folder in which the temporary file of a file of `folder` is made:
  // its staging folder, or `folder` itself. Safe from any thread.
  std::string TempFolderFor(const std::string& folder);
  // Releases and removes the staging folders (empty once every file is
  // in place; one that is not empty stays for the next run to clean).
  void RemoveAll();

 private:
  struct Staged {
    bool tried = false;
    std::string path;  // empty: none could be made
    std::shared_ptr<void> hold;
  };
  IFileSystem& fs_;
  std::mutex lock_;
  std::unordered_map<std::string, Staged> folders_;
};

// Writes the target through `fill`, which returns false when a write
// failed. When the target is in use and `restartFrom` is given, the rename
// is left to the next restart and *restartFrom names the temporary file
// that will take the target's place. Returns false with `error` set when
// the target could not be written; no temporary file is left then. (One
// case leaves the target written: every write was taken, the file renamed
// into place, and only its close failed.) An
// exception from `fill` passes through, after the temporary file is gone.
// With `staging`, the temporary file is made where it says; one that is
// to wait for the restart is moved beside its target first.
bool WriteFileWhole(IFileSystem& fs, const std::string& target, const std::function<bool(IWriteFile&)>& fill,
                    std::string& error, std::string* restartFrom = nullptr, TStagingFolders* staging = nullptr);

// The lines, each ended by CR LF, as the whole content of `path`.
bool WriteLinesWhole(IFileSystem& fs, const std::string& path, const std::vector<std::string>& lines,
                     std::string& error);

}  // namespace stw
