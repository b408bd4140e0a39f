#include "platform/WholeFile.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "base/SortedStrings.h"
#include "base/Text.h"

namespace stw {

bool WriteFileWhole(IFileSystem& fs, const std::string& target, const std::function<bool(IWriteFile&)>& fill,
                    std::string& error, std::string* restartFrom) {
  const std::string folder = ExtractFileDir(target);
  std::string temp;
  // The data go through the handle that created the temporary file: a name
  // opened again could by then be a link to any file of the machine.
  std::unique_ptr<IWriteFile> out = fs.CreateTempFile(folder.empty() ? "." : folder, kTempPrefix, temp, error);
  if (!out) {
    if (error.empty()) error = "no file can be created in the folder " + folder;
    return false;
  }
  bool written;
  std::optional<MoveResult> renamed;
  try {
    written = fill(*out);
    // Renamed through the handle while it is still open: no look-up of
    // either name, and nothing can take the written file's place.
    if (written) renamed = out->RenameTo(target, error);
    written = out->Close() && written;
    out.reset();
  } catch (...) {
    out.reset();
    fs.DeleteFile(temp);
    throw;
  }
  if (renamed == MoveResult::Moved) {
    // Every write was taken; only the close failed. The file is whole as
    // far as the system said, but the failure is reported, not hidden.
    if (!written) error = "the file could not be closed after it was written: the system may not have stored all of it";
    return written;
  }
  if (!written) {
    fs.DeleteFile(temp);
    if (error.empty()) error = "writing failed, the disk may be full";
    return false;
  }
  switch (renamed ? *renamed : fs.MoveReplace(temp, target, error)) {
    case IFileSystem::MoveResult::Moved:
      return true;
    case IFileSystem::MoveResult::InUse:
      // Only a target that is in use can take the new file at the restart;
      // any other failure (a folder or link at the name, a path the system
      // cannot hold) would fail then too, so it is reported now.
      if (restartFrom && fs.ReplaceAtRestart(temp, target)) {
        *restartFrom = temp;
        return true;
      }
      break;
    case IFileSystem::MoveResult::Failed:
      break;
  }
  fs.DeleteFile(temp);
  return false;
}

std::optional<std::string> ReadFileWhole(IFileSystem& fs, const std::string& path, uint64_t maxBytes) {
  std::unique_ptr<IReadFile> f = fs.OpenRead(path);
  if (!f || f->Size() > maxBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(f->Size()), '\0');
  if (f->Read(bytes.data(), bytes.size()) != bytes.size()) return std::nullopt;
  return bytes;
}

bool IsOwnTempName(std::string_view name, std::string_view suffix) {
  if (name.size() != 3 + 8 + suffix.size() || !HasPrefixAndSuffixIgnoreAsciiCase(name, kTempPrefix, suffix))
    return false;
  for (char c : name.substr(3, 8))
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

void RemoveLeftoverTempFiles(IFileSystem& fs, const std::vector<std::string>& folders, const FolderEntrySeen& seen) {
  std::optional<std::vector<std::string>> pending;  // read when first needed
  for (const std::string& folder : folders) {
    const std::string dir = WithTrailingBackslash(folder);
    for (const IFileSystem::Entry& e : seen ? fs.ListFolder(folder, "", "") : fs.ListFolder(folder, kTempPrefix, ".tmp")) {
      if (e.folder || e.link || !IsOwnTempName(e.name)) {
        if (seen) seen(dir, e);
        continue;
      }
      const std::string path = dir + e.name;
      if (!pending) pending = fs.PendingRestartFiles();
      const bool awaited = std::any_of(pending->begin(), pending->end(),
                                       [&](const std::string& p) { return SameTextIgnoreCase(p, path); });
      if (!awaited) fs.DeleteFile(path);
    }
  }
}

void RemoveLeftoverPrivateFolders(IFileSystem& fs, const std::string& tempFolder, const std::string& keep) {
  const std::string dir = WithTrailingBackslash(tempFolder);
  for (const IFileSystem::Entry& e : fs.ListFolder(tempFolder, kTempPrefix, "")) {
    const std::string path = dir + e.name;
    if (!e.folder || !IsOwnTempName(e.name, "") || SameTextIgnoreCase(path, keep) || fs.FolderInUse(path)) continue;
    for (const IFileSystem::Entry& inner : fs.ListFolder(path, "", ""))
      if (!inner.folder) fs.DeleteFile(path + "\\" + inner.name);
    fs.RemoveFolder(path);
  }
}

bool WriteLinesWhole(IFileSystem& fs, const std::string& path, const std::vector<std::string>& lines,
                     std::string& error) {
  // Written in pieces: a log of many thousand lines would otherwise be held
  // twice, as lines and as one text, at the moment memory use is highest.
  return WriteFileWhole(
      fs, path,
      [&](IWriteFile& f) {
        constexpr size_t kPiece = 64 * 1024;
        std::string text;
        text.reserve(kPiece + 4096);
        for (const std::string& line : lines) {
          text += line;
          text += "\r\n";
          if (text.size() >= kPiece) {
            if (!f.Write(text.data(), text.size())) return false;
            text.clear();
          }
        }
        return text.empty() || f.Write(text.data(), text.size());
      },
      error);
}

}  // namespace stw
