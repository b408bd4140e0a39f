// A file system held entirely in memory, for the fuzzers: the installer
// file is the fuzzer's input (borrowed, never copied, so a read past its
// end is caught by AddressSanitizer), and whatever the reader creates lives
// in strings that vanish with the object. Windows path rules apply: "\" and
// "/" both separate, and names compare without regard to ASCII case.
//
// Created files are capped, per file and in total, like a small disk: a
// write beyond the cap fails, as it would on a full disk, so a damaged size
// field can cost the reader an error but never grow the harness itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace stw::fuzz {

class MemoryFileSystem : public IFileSystem {
 public:
  static constexpr size_t kDefaultFileCap = 64u << 20;
  static constexpr size_t kDefaultTotalCap = 256u << 20;

  explicit MemoryFileSystem(size_t fileCap = kDefaultFileCap, size_t totalCap = kDefaultTotalCap)
      : fileCap_(fileCap), totalCap_(totalCap) {}

  // Setting up the machine.
  void AddDirectory(const std::string& path);
  // A read-only file whose bytes belong to the caller and must outlive
  // every reader opened on it.
  void AddBorrowedFile(const std::string& path, const uint8_t* data, size_t size);
  // Simulates another program holding the file open: it cannot be
  // created, replaced or deleted.
  void Hold(const std::string& path);
  // The room for created files, all of them together (a fuller or an
  // emptier disk).
  void SetTotalCap(size_t bytes) { totalCap_ = bytes; }
  size_t TotalCap() const { return totalCap_; }

  // Inspection by the harness.
  // The content of a file, or nullptr when there is none under that name.
  const std::string* Content(const std::string& path) const;
  // The borrowed bytes of a file added with AddBorrowedFile.
  std::string_view Borrowed(const std::string& path) const;
  bool LastWriteTime(const std::string& path, double& time) const;
  size_t LiveBytes() const { return liveBytes_; }
  const std::vector<std::pair<std::string, std::string>>& PendingRenames() const { return pending_; }
  // Every path that CreateTempFile handed out, in order.
  const std::vector<std::string>& TempFilesCreated() const { return tempFiles_; }

  // IFileSystem.
  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override;
  std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) override;
  std::unique_ptr<IWriteFile> CreateTempFile(const std::string& folder, const std::string& prefix, std::string& path,
                                             std::string& error) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  MoveResult MoveReplace(const std::string& from, const std::string& to, std::string& error) override;
  bool ReplaceAtRestart(const std::string& from, const std::string& to) override;
  std::string TempFolder() override { return "C:\\Temp\\"; }
  bool CreateFolder(const std::string& path) override;
  bool CreatePrivateFolder(const std::string& path) override { return CreateFolder(path); }
  bool RemoveFolder(const std::string& path) override;
  bool IsReparsePoint(const std::string&) override { return false; }
  std::optional<uint64_t> FileSize(const std::string& path) override;
  std::optional<double> LastWriteTime(const std::string& path) override;
  // Scans the bytes like the simulated machine does (FixedFileInfo.h).
  std::optional<uint64_t> FileVersion(const std::string& path) override;
  // Borrowed files are always read-only. As on Windows, a read-only file
  // cannot be created over, replaced, copied onto or deleted.
  bool IsReadOnly(const std::string& path) override;
  bool SetReadOnly(const std::string& path, bool readOnly) override;
  // Copies bytes, time and the read-only attribute; the copy counts
  // against the caps like any created file.
  bool CopyFile(const std::string& from, const std::string& to) override;
  // Recorded in PendingRenames() with an empty target.
  bool DeleteAtRestart(const std::string& path) override;
  std::string ShortPathName(const std::string& path) override { return path; }
  std::vector<Entry> ListFolder(const std::string&, const std::string&, const std::string&) override { return {}; }
  std::shared_ptr<void> HoldFolder(const std::string& path) override {
    return DirectoryExists(path) ? std::make_shared<int>(0) : nullptr;
  }
  bool FolderInUse(const std::string&) override { return false; }
  std::vector<std::string> PendingRestartFiles() override { return {}; }

  // One file's bytes. Shared so that a reader or writer still open on a
  // file that was replaced or deleted keeps valid memory, as an open handle
  // does on Windows.
  struct Node {
    std::string data;  // created files
    const uint8_t* borrowed = nullptr;  // files added with AddBorrowedFile
    size_t borrowedSize = 0;
    bool isBorrowed = false;
    double time = 0;
    bool readOnly = false;  // created files only; borrowed ones always are
    bool attached = true;  // still reachable under a name
    // As on Windows, a read-only file cannot be created over, replaced,
    // copied onto or deleted.
    bool Locked() const { return isBorrowed || readOnly; }
  };

 private:
  friend class MemoryWriteFile;
  static std::string Key(std::string_view path);
  void Detach(const std::shared_ptr<Node>& node);
  // Whether a file may stand under `key`: a name whose folder exists and
  // that is no folder itself.
  bool IsFileSlot(const std::string& key) const;
  // Makes room for a new file under `key` (an unlocked file there is
  // detached and forgotten); false with `error` when it is locked.
  bool ClearTarget(const std::string& key, std::string& error);
  // Accounts n more bytes to `node`; false when a cap forbids it.
  bool Grow(Node& node, size_t n);

  size_t fileCap_, totalCap_;
  size_t liveBytes_ = 0;
  unsigned tempCounter_ = 0;
  std::map<std::string, std::shared_ptr<Node>> files_;  // by key
  std::set<std::string> dirs_;  // keys
  std::set<std::string> held_;  // keys
  std::vector<std::pair<std::string, std::string>> pending_;
  std::vector<std::string> tempFiles_;
};

// Message boxes of an unattended run: nothing can be shown, so every prompt
// takes its failure path at once instead of waiting for an answer.
class NoDialogs : public IDialogs {
 public:
  int MessageBox(const std::string&, const std::string&, unsigned) override {
    ++shown;
    return IDNONE_;
  }
  unsigned shown = 0;
};

}  // namespace stw::fuzz
