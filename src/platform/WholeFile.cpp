#include "platform/WholeFile.h"

#include "base/Text.h"

namespace stw {

bool WriteFileWhole(IFileSystem& fs, const std::string& target, const std::function<bool(IWriteFile&)>& fill,
                    std::string& error, std::string* restartFrom) {
  const std::string folder = ExtractFileDir(target);
  const std::string temp = fs.CreateTempFileIn(folder.empty() ? "." : folder, "stw");
  std::unique_ptr<IWriteFile> out = temp.empty() ? nullptr : fs.Create(temp, error);
  if (!out) {
    if (!temp.empty()) fs.DeleteFile(temp);
    if (error.empty()) error = "no file can be created in the folder " + folder;
    return false;
  }
  bool written;
  try {
    written = fill(*out);
    written = out->Close() && written;
    out.reset();
  } catch (...) {
    out.reset();
    fs.DeleteFile(temp);
    throw;
  }
  if (!written) {
    fs.DeleteFile(temp);
    error = "writing failed, the disk may be full";
    return false;
  }
  if (fs.MoveReplace(temp, target, error)) return true;
  if (restartFrom && fs.ReplaceAtRestart(temp, target)) {
    *restartFrom = temp;
    return true;
  }
  fs.DeleteFile(temp);
  return false;
}

bool WriteLinesWhole(IFileSystem& fs, const std::string& path, const std::vector<std::string>& lines,
                     std::string& error) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return WriteFileWhole(fs, path, [&](IWriteFile& f) { return f.Write(text.data(), text.size()); }, error);
}

}  // namespace stw
