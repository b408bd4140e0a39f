#include "MemoryFileSystem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/FixedFileInfo.h"

namespace stw::fuzz {

namespace {

constexpr const char* kInUse = "The process cannot access the file because it is being used by another process.";
constexpr const char* kNoPath = "The system cannot find the path specified.";
constexpr const char* kDenied = "Access is denied.";
// Restart replacements are a short list in the registry; a reader that
// keeps adding to it is misbehaving, and the harness must stay bounded.
constexpr size_t kMaxPendingRenames = 4096;
// The largest file of an ext4 volume with 4 KiB blocks.
constexpr uint64_t kMaxSeekable = (uint64_t{1} << 44) - 4096;

class MemoryReadFile : public IReadFile {
 public:
  explicit MemoryReadFile(std::shared_ptr<MemoryFileSystem::Node> node) : node_(std::move(node)) {}

  size_t Read(void* buffer, size_t n) override {
    const uint64_t size = Size();
    if (pos_ >= size || n == 0) return 0;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, size - pos_));
    std::memcpy(buffer, Data() + pos_, k);
    pos_ += k;
    return k;
  }
  // As with a real handle, a position past the end is reachable (reads
  // there simply return nothing), up to the largest file the volume could
  // hold; beyond that the seek fails, as lseek does on the host.
  bool Seek(uint64_t offset) override {
    if (offset > kMaxSeekable) return false;
    pos_ = offset;
    return true;
  }
  uint64_t Position() const override { return pos_; }
  uint64_t Size() const override { return node_->isBorrowed ? node_->borrowedSize : node_->data.size(); }

 private:
  const uint8_t* Data() const {
    return node_->isBorrowed ? node_->borrowed : reinterpret_cast<const uint8_t*>(node_->data.data());
  }
  std::shared_ptr<MemoryFileSystem::Node> node_;
  uint64_t pos_ = 0;
};

}  // namespace

class MemoryWriteFile : public IWriteFile {
 public:
  MemoryWriteFile(MemoryFileSystem& fs, std::shared_ptr<MemoryFileSystem::Node> node)
      : fs_(fs), node_(std::move(node)) {}

  bool Write(const void* buffer, size_t n) override {
    if (closed_ || failed_) return false;
    if (n == 0) return true;
    if (!fs_.Grow(*node_, n)) {
      // A full disk stays full for this handle: later, smaller writes must
      // not leave a file with a hole in the middle.
      failed_ = true;
      return false;
    }
    node_->data.append(static_cast<const char*>(buffer), n);
    return true;
  }
  bool SetLastWriteTime(double localDateTime) override {
    if (closed_) return false;
    node_->time = localDateTime;
    return true;
  }
  bool Close() override {
    if (closed_) return false;
    closed_ = true;
    return !failed_;
  }

 private:
  MemoryFileSystem& fs_;
  std::shared_ptr<MemoryFileSystem::Node> node_;
  bool closed_ = false, failed_ = false;
};

// The canonical form of a path: separators unified and collapsed, "." and
// ".." resolved, ASCII letters in lower case, no trailing separator.
std::string MemoryFileSystem::Key(std::string_view path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&]() {
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (parts.size() > 1) parts.pop_back();  // never above the drive
    } else {
      parts.push_back(part);
    }
    part.clear();
  };
  for (const char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
  }
  flush();
  std::string key;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) key.push_back('\\');
    key += parts[i];
  }
  return key;
}

static std::string ParentKey(const std::string& key) {
  const size_t s = key.find_last_of('\\');
  return s == std::string::npos ? std::string() : key.substr(0, s);
}

void MemoryFileSystem::AddDirectory(const std::string& path) {
  for (std::string key = Key(path); !key.empty(); key = ParentKey(key)) dirs_.insert(key);
}

void MemoryFileSystem::AddBorrowedFile(const std::string& path, const uint8_t* data, size_t size) {
  const std::string key = Key(path);
  AddDirectory(ParentKey(key));
  auto node = std::make_shared<Node>();
  node->borrowed = data;
  node->borrowedSize = size;
  node->isBorrowed = true;
  auto it = files_.find(key);
  if (it != files_.end()) Detach(it->second);
  files_[key] = std::move(node);
}

void MemoryFileSystem::Hold(const std::string& path) { held_.insert(Key(path)); }

const std::string* MemoryFileSystem::Content(const std::string& path) const {
  auto it = files_.find(Key(path));
  if (it == files_.end() || it->second->isBorrowed) return nullptr;
  return &it->second->data;
}

std::string_view MemoryFileSystem::Borrowed(const std::string& path) const {
  auto it = files_.find(Key(path));
  if (it == files_.end() || !it->second->isBorrowed) return {};
  return {reinterpret_cast<const char*>(it->second->borrowed), it->second->borrowedSize};
}

bool MemoryFileSystem::LastWriteTime(const std::string& path, double& time) const {
  auto it = files_.find(Key(path));
  if (it == files_.end()) return false;
  time = it->second->time;
  return true;
}

void MemoryFileSystem::Detach(const std::shared_ptr<Node>& node) {
  if (!node->attached) return;
  node->attached = false;
  if (!node->isBorrowed) liveBytes_ -= node->data.size();
}

bool MemoryFileSystem::Grow(Node& node, size_t n) {
  if (n > fileCap_ || node.data.size() > fileCap_ - n) return false;
  if (node.attached) {
    if (n > totalCap_ || liveBytes_ > totalCap_ - n) return false;
    liveBytes_ += n;
  }
  return true;
}

std::unique_ptr<IReadFile> MemoryFileSystem::OpenRead(const std::string& path) {
  auto it = files_.find(Key(path));
  if (it == files_.end()) return nullptr;
  return std::make_unique<MemoryReadFile>(it->second);
}

bool MemoryFileSystem::IsFileSlot(const std::string& key) const {
  return !key.empty() && !dirs_.count(key) && dirs_.count(ParentKey(key));
}

bool MemoryFileSystem::ClearTarget(const std::string& key, std::string& error) {
  auto it = files_.find(key);
  if (it == files_.end()) return true;
  if (it->second->Locked()) {
    error = kDenied;
    return false;
  }
  Detach(it->second);
  files_.erase(it);
  return true;
}

std::unique_ptr<IWriteFile> MemoryFileSystem::Create(const std::string& path, std::string& error) {
  const std::string key = Key(path);
  if (!IsFileSlot(key)) {
    error = kNoPath;
    return nullptr;
  }
  if (held_.count(key)) {
    error = kInUse;
    return nullptr;
  }
  if (!ClearTarget(key, error)) return nullptr;
  auto node = std::make_shared<Node>();
  files_[key] = node;
  return std::make_unique<MemoryWriteFile>(*this, std::move(node));
}

std::unique_ptr<IWriteFile> MemoryFileSystem::CreateTempFile(const std::string& folder, const std::string& prefix,
                                                             std::string& path, std::string& error) {
  if (!dirs_.count(Key(folder))) {
    error = kNoPath;
    return nullptr;
  }
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  for (int attempt = 0; attempt < 0x10000; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X.tmp", tempCounter_++);
    path = dir + prefix + name;
    const std::string key = Key(path);
    if (files_.count(key) || dirs_.count(key) || held_.count(key)) continue;
    auto node = std::make_shared<Node>();
    files_[key] = node;
    tempFiles_.push_back(path);
    return std::make_unique<MemoryWriteFile>(*this, std::move(node));
  }
  path.clear();
  error = "no unused temporary name";
  return nullptr;
}

bool MemoryFileSystem::FileExists(const std::string& path) { return files_.count(Key(path)) != 0; }

bool MemoryFileSystem::DirectoryExists(const std::string& path) { return dirs_.count(Key(path)) != 0; }

bool MemoryFileSystem::DeleteFile(const std::string& path) {
  const std::string key = Key(path);
  auto it = files_.find(key);
  if (it == files_.end() || held_.count(key) || it->second->Locked()) return false;
  Detach(it->second);
  files_.erase(it);
  return true;
}

IFileSystem::MoveResult MemoryFileSystem::MoveReplace(const std::string& from, const std::string& to,
                                                      std::string& error) {
  const std::string f = Key(from), t = Key(to);
  auto src = files_.find(f);
  if (src == files_.end()) {
    error = "The system cannot find the file specified.";
    return MoveResult::Failed;
  }
  if (held_.count(f) || held_.count(t)) {
    error = kInUse;
    return MoveResult::InUse;
  }
  if (!IsFileSlot(t)) {
    error = kNoPath;
    return MoveResult::Failed;
  }
  if (f == t) return MoveResult::Moved;
  if (!ClearTarget(t, error)) return MoveResult::Failed;
  std::shared_ptr<Node> node = std::move(files_[f]);
  files_.erase(f);
  files_[t] = std::move(node);
  return MoveResult::Moved;
}

bool MemoryFileSystem::ReplaceAtRestart(const std::string& from, const std::string& to) {
  if (!files_.count(Key(from)) || pending_.size() >= kMaxPendingRenames) return false;
  pending_.emplace_back(from, to);
  return true;
}

bool MemoryFileSystem::DeleteAtRestart(const std::string& path) {
  if (!files_.count(Key(path)) || pending_.size() >= kMaxPendingRenames) return false;
  pending_.emplace_back(path, std::string());
  return true;
}

bool MemoryFileSystem::CreateFolder(const std::string& path) {
  const std::string key = Key(path);
  // One level at a time, as CreateDirectory does: the parent must exist.
  if (key.empty() || dirs_.count(key) || files_.count(key) || !dirs_.count(ParentKey(key))) return false;
  dirs_.insert(key);
  return true;
}

bool MemoryFileSystem::RemoveFolder(const std::string& path) {
  const std::string key = Key(path);
  if (!dirs_.count(key)) return false;
  // Empty means no file and no folder has this folder's key plus "\" as
  // the start of its own; both sets are ordered, so the first key after
  // the prefix decides.
  const std::string prefix = key + "\\";
  const auto file = files_.lower_bound(prefix);
  if (file != files_.end() && file->first.compare(0, prefix.size(), prefix) == 0) return false;
  const auto dir = dirs_.lower_bound(prefix);
  if (dir != dirs_.end() && dir->compare(0, prefix.size(), prefix) == 0) return false;
  dirs_.erase(key);
  return true;
}

std::optional<uint64_t> MemoryFileSystem::FileSize(const std::string& path) {
  auto it = files_.find(Key(path));
  if (it == files_.end()) return std::nullopt;
  return it->second->isBorrowed ? it->second->borrowedSize : it->second->data.size();
}

std::optional<double> MemoryFileSystem::LastWriteTime(const std::string& path) {
  auto it = files_.find(Key(path));
  if (it == files_.end()) return std::nullopt;
  return it->second->time;
}

std::optional<uint64_t> MemoryFileSystem::FileVersion(const std::string& path) {
  const std::unique_ptr<IReadFile> file = OpenRead(path);
  if (!file) return std::nullopt;
  return ScanFixedFileVersion(*file);
}

bool MemoryFileSystem::IsReadOnly(const std::string& path) {
  auto it = files_.find(Key(path));
  return it != files_.end() && it->second->Locked();
}

bool MemoryFileSystem::SetReadOnly(const std::string& path, bool readOnly) {
  auto it = files_.find(Key(path));
  if (it == files_.end()) return false;
  // Borrowed bytes belong to the caller and can never become writable.
  if (it->second->isBorrowed) return readOnly;
  it->second->readOnly = readOnly;
  return true;
}

bool MemoryFileSystem::CopyFile(const std::string& from, const std::string& to) {
  const std::string f = Key(from), t = Key(to);
  auto src = files_.find(f);
  if (src == files_.end() || held_.count(f) || held_.count(t) || f == t) return false;
  if (!IsFileSlot(t)) return false;
  auto dst = files_.find(t);
  if (dst != files_.end() && dst->second->Locked()) return false;
  const Node& source = *src->second;
  auto node = std::make_shared<Node>();
  const size_t size = source.isBorrowed ? source.borrowedSize : source.data.size();
  // The old target's bytes are given back first, as its file is replaced.
  std::shared_ptr<Node> old = dst != files_.end() ? dst->second : nullptr;
  if (old) Detach(old);
  if (!Grow(*node, size)) {
    if (old) {  // the target stays as it was
      old->attached = true;
      liveBytes_ += old->data.size();
    }
    return false;
  }
  if (source.isBorrowed) {
    node->data.assign(reinterpret_cast<const char*>(source.borrowed), source.borrowedSize);
  } else {
    node->data = source.data;
  }
  node->time = source.time;
  node->readOnly = source.Locked();
  files_[t] = std::move(node);
  return true;
}

}  // namespace stw::fuzz
