#include "platform/WholeFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <random>

#include "base/SortedStrings.h"
#include "base/Text.h"

namespace stw {

void TStagingFolders::Allow(const std::string& folder) {
  std::lock_guard<std::mutex> g(lock_);
  folders_.try_emplace(folder);
}

std::string CreateHeldFolder(IFileSystem& fs, const std::string& parent, bool isPrivate, int attempts,
                             std::shared_ptr<void>& hold) {
  std::random_device rd;
  const std::string dir = WithTrailingBackslash(parent);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%08X", kTempPrefix, static_cast<unsigned>(rd()));
    const std::string path = dir + name;
    // A name that exists already (another run's) is passed over.
    if (!(isPrivate ? fs.CreatePrivateFolder(path) : fs.CreateFolder(path))) continue;
    // Held from now on; a folder gone before it could be held is given up.
    if ((hold = fs.HoldFolder(path))) return path;
    fs.RemoveFolder(path);
  }
  return "";
}

std::string TStagingFolders::TempFolderFor(const std::string& folder) {
  std::lock_guard<std::mutex> g(lock_);
  const auto it = folders_.find(folder);
  if (it == folders_.end()) return folder;
  Staged& s = it->second;
  if (!s.tried) {
    // Made on first use: by then the worker has made the folder itself.
    s.tried = true;
    s.path = CreateHeldFolder(fs_, folder, false, 4, s.hold);
  }
  return s.path.empty() ? folder : s.path;
}

void TStagingFolders::RemoveAll() {
  std::lock_guard<std::mutex> g(lock_);
  for (auto& [folder, s] : folders_) {
    s.hold.reset();
    if (!s.path.empty()) fs_.RemoveFolder(s.path);
  }
  folders_.clear();
}

bool WriteFileWhole(IFileSystem& fs, const std::string& target, const std::function<bool(IWriteFile&)>& fill,
                    std::string& error, std::string* restartFrom, TStagingFolders* staging) {
  const std::string folder = ExtractFileDir(target);
  const std::string tempFolder = staging && !folder.empty() ? staging->TempFolderFor(folder) : folder;
  std::string temp;
  // The data go through the handle that created the temporary file: a name
  // opened again could by then be a link to any file of the machine.
  std::unique_ptr<IWriteFile> out =
      fs.CreateTempFile(tempFolder.empty() ? "." : tempFolder, kTempPrefix, temp, error);
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
      if (restartFrom) {
        // The staging folder goes at the end of the run: a file that waits
        // for the restart waits beside its target, under a temporary name
        // of its own (made first, so that it is ours; then replaced).
        bool besideTarget = tempFolder == folder;
        if (!besideTarget) {
          std::string beside, ignored;
          if (std::unique_ptr<IWriteFile> slot = fs.CreateTempFile(folder, kTempPrefix, beside, ignored)) {
            const bool closed = slot->Close();
            slot.reset();
            besideTarget = closed && fs.MoveReplace(temp, beside, ignored) == IFileSystem::MoveResult::Moved;
            if (besideTarget)
              temp = beside;
            else
              fs.DeleteFile(beside);
          }
        }
        if (besideTarget && fs.ReplaceAtRestart(temp, target)) {
          *restartFrom = temp;
          return true;
        }
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
  const auto removeIfLeft = [&](const std::string& path) {
    if (!pending) pending = fs.PendingRestartFiles();
    const bool awaited = std::any_of(pending->begin(), pending->end(),
                                     [&](const std::string& p) { return SameTextIgnoreCase(p, path); });
    if (!awaited) fs.DeleteFile(path);
  };
  for (const std::string& folder : folders) {
    const std::string dir = WithTrailingBackslash(folder);
    for (const IFileSystem::Entry& e : fs.ListFolder(folder, seen ? "" : kTempPrefix, "")) {
      if (!e.link && !e.folder && IsOwnTempName(e.name)) {
        removeIfLeft(dir + e.name);
      } else if (!e.link && e.folder && IsOwnTempName(e.name, "") && !fs.FolderInUse(dir + e.name)) {
        // A killed run's staging folder: its temporary files, then itself
        // (which fails, harmlessly, when anything else is left in it).
        const std::string staged = dir + e.name;
        for (const IFileSystem::Entry& inner : fs.ListFolder(staged, kTempPrefix, ".tmp"))
          if (!inner.link && !inner.folder && IsOwnTempName(inner.name)) removeIfLeft(staged + "\\" + inner.name);
        if (!fs.RemoveFolder(staged) && seen) seen(dir, e);
      } else if (seen) {
        seen(dir, e);
      }
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
