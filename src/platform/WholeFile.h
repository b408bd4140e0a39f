// Writing a file so that it is replaced whole or not at all: the data go
// into a new temporary file beside the target, which is renamed over the
// target only once everything was written.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace stw {

// Temporary files are named "stw" + 8 hex digits + ".tmp", the private
// folders of a run "stw" + 8 hex digits.
inline constexpr const char* kTempPrefix = "stw";
// Whether a name is one of those (ASCII case ignored), with `suffix` after
// the digits: what a killed run may have left behind.
bool IsOwnTempName(std::string_view name, std::string_view suffix = ".tmp");

// Deletes the temporary files of our naming that a killed run left in the
// folders, except those the system is to move into place at its restart.
// Only for folders no other run of ours writes at the same time: a file
// being written is open and cannot be deleted on Windows, but one closed
// and not yet renamed can.
// With `seen`, each folder is listed whole, once, and every other entry is
// passed to it with the folder's path (ending in a backslash).
using FolderEntrySeen = std::function<void(const std::string& folder, const IFileSystem::Entry& entry)>;
void RemoveLeftoverTempFiles(IFileSystem& fs, const std::vector<std::string>& folders,
                             const FolderEntrySeen& seen = {});

// Deletes the private folders of our naming in `tempFolder` (and the files
// in them) that no running setup holds, but `keep`.
void RemoveLeftoverPrivateFolders(IFileSystem& fs, const std::string& tempFolder, const std::string& keep);

// The whole content of a file of at most `maxBytes`; nullopt when it
// cannot be opened, is larger, or cannot be read to its end.
std::optional<std::string> ReadFileWhole(IFileSystem& fs, const std::string& path, uint64_t maxBytes);

// Writes the target through `fill`, which returns false when a write
// failed. When the target is in use and `restartFrom` is given, the rename
// is left to the next restart and *restartFrom names the temporary file
// that will take the target's place. Returns false with `error` set when
// the target could not be written; no temporary file is left then. (One
// case leaves the target written: every write was taken, the file renamed
// into place, and only its close failed.) An
// exception from `fill` passes through, after the temporary file is gone.
bool WriteFileWhole(IFileSystem& fs, const std::string& target, const std::function<bool(IWriteFile&)>& fill,
                    std::string& error, std::string* restartFrom = nullptr);

// The lines, each ended by CR LF, as the whole content of `path`.
bool WriteLinesWhole(IFileSystem& fs, const std::string& path, const std::vector<std::string>& lines,
                     std::string& error);

}  // namespace stw
