// A file system and a registry that pass every call on to another one,
// count the operations that change the machine by kind, and can make the
// Nth operation of one kind fail as a full disk, a lost network share or a
// refused key would. The installation runs against them unchanged; a test
// then checks what the failure left on the machine.
#pragma once
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace stw::test {

enum class FaultKind {
  Create,        // IFileSystem::Create, CreateTempFile
  Write,         // IWriteFile::Write
  SetTime,       // IWriteFile::SetLastWriteTime
  Close,         // IWriteFile::Close
  Rename,        // IFileSystem::MoveReplace, IWriteFile::RenameTo
  Delete,        // IFileSystem::DeleteFile
  CreateFolder,  // IFileSystem::CreateFolder
  RegistryWrite  // WriteString, WriteDword, WriteBinary, CreateKey, DeleteValue,
                 // DeleteKey
};
inline constexpr size_t kFaultKinds = 8;
inline const char* FaultKindName(FaultKind k) {
  static const char* const names[kFaultKinds] = {"create", "write",  "settime",      "close",
                                                 "rename", "delete", "createfolder", "registry"};
  return names[static_cast<size_t>(k)];
}

// The text that an injected failure gives where the interface carries one.
inline constexpr const char* kInjectedFault = "injected fault";

// What the counters and the chosen failure share between the file system,
// its open files and the registry. Thread-safe: the workers of an
// installation write files in parallel.
class FaultPlan {
 public:
  FaultPlan() = default;
  FaultPlan(const FaultPlan& o) { *this = o; }
  FaultPlan& operator=(const FaultPlan& o) {
    if (this == &o) return *this;
    std::scoped_lock g(mutex_, o.mutex_);
    counts_ = o.counts_;
    kind_ = o.kind_;
    n_ = o.n_;
    faulted_ = o.faulted_;
    faultedAt_ = o.faultedAt_;
    log_ = o.log_;
    return *this;
  }
  // Fails the `n`th operation (1-based) of `kind`; n = 0 fails none.
  void FailAt(FaultKind kind, unsigned n) {
    std::lock_guard<std::mutex> g(mutex_);
    kind_ = kind;
    n_ = n;
  }
  // Counts one operation on `path`; true when it is the one to fail.
  bool Next(FaultKind kind, const std::string& path) {
    std::lock_guard<std::mutex> g(mutex_);
    const unsigned count = ++counts_[static_cast<size_t>(kind)];
    log_.push_back(std::string(FaultKindName(kind)) + " " + path);
    if (n_ == 0 || kind != kind_ || count != n_) return false;
    faulted_ = path;
    faultedAt_ = log_.size() - 1;
    return true;
  }
  unsigned Count(FaultKind kind) const {
    std::lock_guard<std::mutex> g(mutex_);
    return counts_[static_cast<size_t>(kind)];
  }
  // The path (or key and value) of the operation made to fail; nullopt
  // while none failed.
  std::optional<std::string> Faulted() const {
    std::lock_guard<std::mutex> g(mutex_);
    return faulted_;
  }
  // The position of the failed operation in Operations().
  size_t FaultedAt() const {
    std::lock_guard<std::mutex> g(mutex_);
    return faultedAt_;
  }
  // Every operation counted, "kind path", in the order made.
  std::vector<std::string> Operations() const {
    std::lock_guard<std::mutex> g(mutex_);
    return log_;
  }

 private:
  mutable std::mutex mutex_;
  std::array<unsigned, kFaultKinds> counts_{};
  FaultKind kind_ = FaultKind::Create;
  unsigned n_ = 0;
  std::optional<std::string> faulted_;
  size_t faultedAt_ = 0;
  std::vector<std::string> log_;
};

// An open file of the faulty file system. A failing write stores the first
// half of its bytes, as a disk that fills up in the middle of a write does,
// so that a file left behind under its final name would show.
class FaultWriteFile : public IWriteFile {
 public:
  FaultWriteFile(std::unique_ptr<IWriteFile> inner, FaultPlan& plan, std::string path)
      : inner_(std::move(inner)), plan_(plan), path_(std::move(path)) {}
  bool Write(const void* buffer, size_t n) override {
    if (plan_.Next(FaultKind::Write, path_)) {
      inner_->Write(buffer, n / 2);
      return false;
    }
    return inner_->Write(buffer, n);
  }
  bool SetLastWriteTime(double t) override {
    if (plan_.Next(FaultKind::SetTime, path_)) return false;
    return inner_->SetLastWriteTime(t);
  }
  bool Close() override {
    // The handle is released either way: the data are what the system may
    // have lost, not the handle.
    const bool fail = plan_.Next(FaultKind::Close, path_);
    const bool closed = inner_->Close();
    return closed && !fail;
  }
  std::optional<MoveResult> RenameTo(const std::string& target, std::string& error) override {
    if (plan_.Next(FaultKind::Rename, target)) {
      error = kInjectedFault;
      return MoveResult::Failed;
    }
    std::optional<MoveResult> r = inner_->RenameTo(target, error);
    if (r == MoveResult::Moved) path_ = target;
    return r;
  }

 private:
  std::unique_ptr<IWriteFile> inner_;
  FaultPlan& plan_;
  std::string path_;
};

class FaultFileSystem : public IFileSystem {
 public:
  FaultFileSystem(IFileSystem& inner, FaultPlan& plan) : inner_(inner), plan_(plan) {}

  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override { return inner_.OpenRead(path); }
  std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) override {
    if (plan_.Next(FaultKind::Create, path)) {
      error = kInjectedFault;
      return nullptr;
    }
    std::unique_ptr<IWriteFile> f = inner_.Create(path, error);
    return f ? std::make_unique<FaultWriteFile>(std::move(f), plan_, path) : nullptr;
  }
  std::unique_ptr<IWriteFile> CreateTempFile(const std::string& folder, const std::string& prefix, std::string& path,
                                             std::string& error) override {
    if (plan_.Next(FaultKind::Create, folder + "\\" + prefix + "*")) {
      error = kInjectedFault;
      return nullptr;
    }
    std::unique_ptr<IWriteFile> f = inner_.CreateTempFile(folder, prefix, path, error);
    return f ? std::make_unique<FaultWriteFile>(std::move(f), plan_, path) : nullptr;
  }
  bool FileExists(const std::string& path) override { return inner_.FileExists(path); }
  bool DirectoryExists(const std::string& path) override { return inner_.DirectoryExists(path); }
  bool DeleteFile(const std::string& path) override {
    if (plan_.Next(FaultKind::Delete, path)) return false;
    return inner_.DeleteFile(path);
  }
  MoveResult MoveReplace(const std::string& from, const std::string& to, std::string& error) override {
    if (plan_.Next(FaultKind::Rename, to)) {
      error = kInjectedFault;
      return MoveResult::Failed;
    }
    return inner_.MoveReplace(from, to, error);
  }
  bool ReplaceAtRestart(const std::string& from, const std::string& to) override {
    return inner_.ReplaceAtRestart(from, to);
  }
  std::string TempFolder() override { return inner_.TempFolder(); }
  bool CreateFolder(const std::string& path) override {
    if (plan_.Next(FaultKind::CreateFolder, path)) return false;
    return inner_.CreateFolder(path);
  }
  bool CreatePrivateFolder(const std::string& path) override { return inner_.CreatePrivateFolder(path); }
  bool RemoveFolder(const std::string& path) override { return inner_.RemoveFolder(path); }
  bool IsReparsePoint(const std::string& path) override { return inner_.IsReparsePoint(path); }
  std::optional<uint64_t> FileSize(const std::string& path) override { return inner_.FileSize(path); }
  std::optional<double> LastWriteTime(const std::string& path) override { return inner_.LastWriteTime(path); }
  std::optional<uint64_t> FileVersion(const std::string& path) override { return inner_.FileVersion(path); }
  bool IsReadOnly(const std::string& path) override { return inner_.IsReadOnly(path); }
  bool SetReadOnly(const std::string& path, bool readOnly) override { return inner_.SetReadOnly(path, readOnly); }
  bool CopyFile(const std::string& from, const std::string& to) override { return inner_.CopyFile(from, to); }
  bool DeleteAtRestart(const std::string& path) override { return inner_.DeleteAtRestart(path); }
  std::string ShortPathName(const std::string& path) override { return inner_.ShortPathName(path); }
  std::vector<Entry> ListFolder(const std::string& folder, const std::string& prefix,
                                const std::string& suffix) override {
    return inner_.ListFolder(folder, prefix, suffix);
  }
  std::shared_ptr<void> HoldFolder(const std::string& path) override { return inner_.HoldFolder(path); }
  bool FolderInUse(const std::string& path) override { return inner_.FolderInUse(path); }
  std::vector<std::string> PendingRestartFiles() override { return inner_.PendingRestartFiles(); }

 private:
  IFileSystem& inner_;
  FaultPlan& plan_;
};

class FaultRegistry : public IRegistry {
 public:
  FaultRegistry(IRegistry& inner, FaultPlan& plan) : inner_(inner), plan_(plan) {}

  bool KeyExists(RegRoot root, const std::string& key, RegView view) override {
    return inner_.KeyExists(root, key, view);
  }
  bool CreateKey(RegRoot root, const std::string& key, RegView view) override {
    if (plan_.Next(FaultKind::RegistryWrite, key)) return false;
    return inner_.CreateKey(root, key, view);
  }
  bool CanWrite(RegRoot root, const std::string& key, RegView view) override {
    return inner_.CanWrite(root, key, view);
  }
  std::optional<std::string> ReadString(RegRoot root, const std::string& key, const std::string& name,
                                        RegView view) override {
    return inner_.ReadString(root, key, name, view);
  }
  std::optional<uint32_t> ReadDword(RegRoot root, const std::string& key, const std::string& name,
                                    RegView view) override {
    return inner_.ReadDword(root, key, name, view);
  }
  bool WriteString(RegRoot root, const std::string& key, const std::string& name, const std::string& value,
                   RegView view) override {
    if (plan_.Next(FaultKind::RegistryWrite, key + "\t" + name)) return false;
    return inner_.WriteString(root, key, name, value, view);
  }
  bool WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value,
                  RegView view) override {
    if (plan_.Next(FaultKind::RegistryWrite, key + "\t" + name)) return false;
    return inner_.WriteDword(root, key, name, value, view);
  }
  bool DeleteValue(RegRoot root, const std::string& key, const std::string& name, RegView view) override {
    if (plan_.Next(FaultKind::RegistryWrite, key + "\t" + name)) return false;
    return inner_.DeleteValue(root, key, name, view);
  }
  bool WriteBinary(RegRoot root, const std::string& key, const std::string& name, const std::string& bytes,
                   RegView view) override {
    if (plan_.Next(FaultKind::RegistryWrite, key + "\t" + name)) return false;
    return inner_.WriteBinary(root, key, name, bytes, view);
  }
  std::optional<RegValue> QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                     RegView view) override {
    return inner_.QueryValue(root, key, name, view);
  }
  std::vector<std::string> SubkeyNames(RegRoot root, const std::string& key, size_t limit, RegView view) override {
    return inner_.SubkeyNames(root, key, limit, view);
  }
  bool DeleteKey(RegRoot root, const std::string& key, RegView view) override {
    if (plan_.Next(FaultKind::RegistryWrite, key + "\t*")) return false;
    return inner_.DeleteKey(root, key, view);
  }
  std::optional<std::vector<std::string>> ValueNames(RegRoot root, const std::string& key, size_t limit,
                                                     RegView view) override {
    return inner_.ValueNames(root, key, limit, view);
  }

 private:
  IRegistry& inner_;
  FaultPlan& plan_;
};

}  // namespace stw::test
