// Writing a file so that it is replaced whole or not at all: the data go
// into a new temporary file beside the target, which is renamed over the
// target only once everything was written and closed.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace stw {

// Writes the target through `fill`, which returns false when a write
// failed. When the target is in use and `restartFrom` is given, the rename
// is left to the next restart and *restartFrom names the temporary file
// that will take the target's place. Returns false with `error` set when
// the target could not be written; no temporary file is left then. An
// exception from `fill` passes through, after the temporary file is gone.
bool WriteFileWhole(IFileSystem& fs, const std::string& target, const std::function<bool(IWriteFile&)>& fill,
                    std::string& error, std::string* restartFrom = nullptr);

// The lines, each ended by CR LF, as the whole content of `path`.
bool WriteLinesWhole(IFileSystem& fs, const std::string& path, const std::vector<std::string>& lines,
                     std::string& error);

}  // namespace stw
