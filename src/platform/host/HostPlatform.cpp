#include "platform/host/HostPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "base/Text.h"
#include "platform/FixedFileInfo.h"

namespace stw {

namespace {

class HostReadFile : public IReadFile {
 public:
  explicit HostReadFile(int fd) : fd_(fd) {}
  ~HostReadFile() override { ::close(fd_); }
  size_t Read(void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::read(fd_, static_cast<char*>(buffer) + done, n - done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
    pos_ += done;
    return done;
  }
  bool Seek(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX) || ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
      return false;
    pos_ = offset;
    return true;
  }
  uint64_t Position() const override { return pos_; }
  uint64_t Size() const override {
    struct stat st{};
    return ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }

 private:
  int fd_;
  uint64_t pos_ = 0;
};

class HostWriteFile : public IWriteFile {
 public:
  // `fs` and `path` (the Windows path it was created at) let the file be
  // renamed as Windows renames an open file.
  HostWriteFile(int fd, HostFileSystem& fs, std::string path) : fd_(fd), fs_(fs), path_(std::move(path)) {}
  ~HostWriteFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Write(const void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::write(fd_, static_cast<const char*>(buffer) + done, n - done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      done += static_cast<size_t>(r);
    }
    return true;
  }
  bool SetLastWriteTime(double t) override {
    time_ = t;
    hasTime_ = true;
    return true;
  }
  bool Close() override {
    if (fd_ < 0) return false;
    bool ok = true;
    if (hasTime_) {
      struct timespec ts[2];
      ts[0].tv_sec = 0;
      ts[0].tv_nsec = UTIME_OMIT;
      ts[1].tv_sec = static_cast<time_t>(DateTimeToUnix(time_));
      ts[1].tv_nsec = 0;
      ::futimens(fd_, ts);
    }
    if (::close(fd_) != 0) ok = false;
    fd_ = -1;
    return ok;
  }
  std::optional<MoveResult> RenameTo(const std::string& target, std::string& error) override;

 private:
  int fd_;
  HostFileSystem& fs_;
  std::string path_;
  double time_ = 0;
  bool hasTime_ = false;
};

bool IsDrivePath(const std::string& p) {
  return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

constexpr const char* kInUse = "The process cannot access the file because it is being used by another process.";
constexpr const char* kDenied = "Access is denied.";

// Windows' read-only attribute: a file nobody may write to.
bool IsReadOnlyFile(const std::string& native) {
  struct stat st{};
  return ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

// lstat looks at a link itself only when the path does not end in "/".
std::string WithoutTrailingSlash(std::string native) {
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  return native;
}

bool WriteAll(int fd, const char* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

HostFileSystem::HostFileSystem(std::string machineRoot) : root_(std::move(machineRoot)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

HostFileSystem::~HostFileSystem() = default;

std::string HostFileSystem::NativePath(const std::string& path) const {
  std::string rest;
  std::string base;
  if (IsDrivePath(path)) {
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    rest = path.substr(2);
    if (drive == 'Z' || root_.empty()) {
      base = "";
    } else {
      base = root_ + "/" + drive;
    }
  } else if (!root_.empty() && path.size() > 2 && path[0] == '\\' && path[1] == '\\') {
    // The machine's network: share \\server\share is the folder
    // UNC/server/share of the sandbox.
    base = root_ + "/UNC";
    rest = path.substr(1);
  } else {
    rest = path;
  }
  for (char& c : rest)
    if (c == '\\') c = '/';
  if (!base.empty() && (rest.empty() || rest[0] != '/')) rest = "/" + rest;
  return base + rest;
}

void HostFileSystem::HoldOpen(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  held_.insert(NativePath(path));
}
void HostFileSystem::Release(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  held_.erase(NativePath(path));
}
bool HostFileSystem::IsHeld(const std::string& native) const {
  std::lock_guard<std::mutex> g(mutex_);
  return held_.count(native) != 0;
}

std::unique_ptr<IReadFile> HostFileSystem::OpenRead(const std::string& path) {
  const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<HostReadFile>(fd);
}

std::unique_ptr<IWriteFile> HostFileSystem::Create(const std::string& path, std::string& error) {
  const std::string native = NativePath(path);
  if (IsHeld(native)) {
    error = kInUse;
    return nullptr;
  }
  // Opened without truncating, so that one fstat tells both whether the
  // file is read-only (root may open it all the same) and whether it needs
  // truncating: only when it holds something, since ext4 starts writing a
  // file out at its close once it was truncated, which for the empty
  // temporary files of every extraction would cost a flush per file.
  const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno == EACCES && IsReadOnlyFile(native) ? kDenied : std::strerror(errno);
    return nullptr;
  }
  struct stat st{};
  const bool opened = ::fstat(fd, &st) == 0;
  if (opened && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
    ::close(fd);
    error = kDenied;
    return nullptr;
  }
  if (!opened || (st.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
    error = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<HostWriteFile>(fd, *this, path);
}

std::unique_ptr<IWriteFile> HostFileSystem::CreateTempFile(const std::string& folder, const std::string& prefix,
                                                           std::string& path, std::string& error) {
  static std::mt19937 rng{std::random_device{}()};
  static std::mutex rngMutex;
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned n;
    {
      std::lock_guard<std::mutex> g(rngMutex);
      n = static_cast<unsigned>(rng());
    }
    char name[16];
    std::snprintf(name, sizeof name, "%08X.tmp", n);
    path = dir + prefix + name;
    // O_EXCL with O_NOFOLLOW: a link planted at the name fails the create
    // instead of being followed.
    const int fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return std::make_unique<HostWriteFile>(fd, *this, path);
    if (errno != EEXIST) {
      error = std::strerror(errno);
      break;
    }
  }
  if (error.empty()) error = "no unused temporary name in the folder " + folder;
  path.clear();
  return nullptr;
}

bool HostFileSystem::FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HostFileSystem::DirectoryExists(const std::string& path) {
  struct stat st{};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HostFileSystem::DeleteFile(const std::string& path) {
  const std::string native = NativePath(path);
  if (IsHeld(native) || IsReadOnlyFile(native)) return false;
  struct stat st{};
  // DeleteFile removes files (and links), never folders.
  if (::lstat(WithoutTrailingSlash(native).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(native.c_str()) == 0;
}

IFileSystem::MoveResult HostFileSystem::MoveReplace(const std::string& from, const std::string& to,
                                                    std::string& error) {
  const std::string nf = NativePath(from), nt = WithoutTrailingSlash(NativePath(to));
  if (IsHeld(nt) || IsHeld(nf)) {
    error = kInUse;
    return MoveResult::InUse;
  }
  struct stat st{};
  // Neither end may be a link: a temporary file swapped for one after it
  // was written would put the link in the target's place.
  if (::lstat(WithoutTrailingSlash(nf).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "The file to be moved into place is not a plain file.";
    return MoveResult::Failed;
  }
  if (::lstat(nt.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      error = "A link stands at the name of the file.";
      return MoveResult::Failed;
    }
    if (S_ISDIR(st.st_mode)) {
      error = kDenied;  // what Windows says of a folder at the name
      return MoveResult::Failed;
    }
    if (IsReadOnlyFile(nt)) {
      error = kDenied;
      return MoveResult::Failed;
    }
  }
  if (::rename(nf.c_str(), nt.c_str()) != 0) {
    error = std::strerror(errno);
    return errno == EBUSY || errno == ETXTBSY ? MoveResult::InUse : MoveResult::Failed;
  }
  return MoveResult::Moved;
}

// Windows renames the open file itself: here the name must still be the
// file this handle writes, or the rename is refused as the system would
// find nothing to rename.
std::optional<MoveResult> HostWriteFile::RenameTo(const std::string& target, std::string& error) {
  const std::string nf = fs_.NativePath(path_), nt = WithoutTrailingSlash(fs_.NativePath(target));
  if (fs_.IsHeld(nt)) {
    error = kInUse;
    return MoveResult::InUse;
  }
  struct stat own{}, st{};
  if (::fstat(fd_, &own) != 0 || ::lstat(nf.c_str(), &st) != 0 || st.st_ino != own.st_ino || st.st_dev != own.st_dev) {
    error = "The file to be moved into place is not a plain file.";
    return MoveResult::Failed;
  }
  if (::lstat(nt.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0))) {
    error = kDenied;  // a folder, or a read-only file, at the name
    return MoveResult::Failed;
  }
  if (::rename(nf.c_str(), nt.c_str()) != 0) {
    error = std::strerror(errno);
    return MoveResult::Failed;
  }
  path_ = target;
  return MoveResult::Moved;
}

bool HostFileSystem::ReplaceAtRestart(const std::string& from, const std::string& to) {
  return ScheduleAtRestart(from, to);
}

bool HostFileSystem::DeleteAtRestart(const std::string& path) { return ScheduleAtRestart(path, ""); }

bool HostFileSystem::ScheduleAtRestart(const std::string& from, const std::string& to) {
  // Like the system's list, the record belongs to the machine: without a
  // sandbox there is nowhere to keep it.
  if (root_.empty()) return false;
  std::lock_guard<std::mutex> g(mutex_);
  // The list is the machine's (a value under HKLM): only an administrator
  // with full rights may add to it.
  if (!machine_) machine_ = std::make_unique<HostSystem>(root_);
  if (!machine_->IsElevated() && !(machine_->IsAdminMember() && !machine_->UacEnabled())) return false;
  std::ofstream f(root_ + "/pending-renames.txt", std::ios::app | std::ios::binary);
  f << from << '\t' << to << '\n';
  return static_cast<bool>(f);
}

std::vector<std::string> HostFileSystem::PendingRenames() const {
  std::vector<std::string> lines;
  std::ifstream f(root_ + "/pending-renames.txt", std::ios::binary);
  std::string line;
  while (std::getline(f, line)) lines.push_back(line);
  return lines;
}

std::string HostFileSystem::TempFolder() {
  if (root_.empty()) {
    const char* t = std::getenv("TMPDIR");
    std::string dir = t && *t ? t : "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
  }
  const std::string temp = "C:\\Temp\\";
  ::mkdir((root_ + "/C").c_str(), 0755);
  ::mkdir(NativePath(temp).c_str(), 0755);
  return temp;
}

bool HostFileSystem::CreateFolder(const std::string& path) { return ::mkdir(NativePath(path).c_str(), 0755) == 0; }

bool HostFileSystem::CreatePrivateFolder(const std::string& path) {
  return ::mkdir(NativePath(path).c_str(), 0700) == 0;
}

bool HostFileSystem::RemoveFolder(const std::string& path) {
  const std::string native = WithoutTrailingSlash(NativePath(path));
  struct stat link{}, target{};
  if (::lstat(native.c_str(), &link) != 0) return false;
  // A link to a folder (a junction on Windows) goes without its target.
  if (S_ISLNK(link.st_mode)) return ::stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode) &&
                                    ::unlink(native.c_str()) == 0;
  return ::rmdir(native.c_str()) == 0;
}

bool HostFileSystem::IsReparsePoint(const std::string& path) {
  struct stat st{};
  return ::lstat(WithoutTrailingSlash(NativePath(path)).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<uint64_t> HostFileSystem::FileSize(const std::string& path) {
  struct stat st{};
  if (::stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

std::optional<double> HostFileSystem::LastWriteTime(const std::string& path) {
  struct stat st{};
  if (::stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return UnixToDateTime(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 86400e9;
}

std::optional<uint64_t> HostFileSystem::FileVersion(const std::string& path) {
  const std::unique_ptr<IReadFile> file = OpenRead(path);
  if (!file) return std::nullopt;
  return ScanFixedFileVersion(*file);
}

bool HostFileSystem::IsReadOnly(const std::string& path) { return IsReadOnlyFile(NativePath(path)); }

bool HostFileSystem::SetReadOnly(const std::string& path, bool readOnly) {
  const std::string native = WithoutTrailingSlash(NativePath(path));
  struct stat st{};
  // lstat: the attribute of a link is the link's, never its target's.
  if (::lstat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const mode_t mode = readOnly ? (st.st_mode & 07777 & ~mode_t{0222}) : ((st.st_mode & 07777) | S_IWUSR);
  return ::chmod(native.c_str(), mode) == 0;
}

bool HostFileSystem::CopyFile(const std::string& from, const std::string& to) {
  const std::string nf = NativePath(from), nt = NativePath(to);
  // The source is read with others allowed to read along, so only a holder
  // that shares nothing stops the copy.
  if (IsHeld(nf) || IsHeld(nt) || IsReadOnlyFile(nt)) return false;
  struct stat src{}, dst{};
  if (::stat(nf.c_str(), &src) != 0 || !S_ISREG(src.st_mode)) return false;
  if (::stat(nt.c_str(), &dst) == 0) {
    // Truncating the target would destroy the source when both are one file.
    if (!S_ISREG(dst.st_mode) || (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)) return false;
  }
  const int in = ::open(nf.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = ::open(nt.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t r = ::read(in, buffer.data(), buffer.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(r))) {
      ok = false;
      break;
    }
  }
  // As Windows does, the copy keeps the source's last-write time and
  // attributes (the read-only one is the permission bits).
  if (ok) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1] = src.st_mtim;
    ok = ::futimens(out, ts) == 0 && ::fchmod(out, src.st_mode & 07777) == 0;
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  // No half copy is left behind under the target's name.
  if (!ok) ::unlink(nt.c_str());
  return ok;
}

std::string HostFileSystem::ShortPathName(const std::string& path) { return path; }

std::vector<IFileSystem::Entry> HostFileSystem::ListFolder(const std::string& folder, const std::string& prefix,
                                                           const std::string& suffix) {
  std::vector<Entry> entries;
  const std::string native = WithoutTrailingSlash(NativePath(folder));
  DIR* dir = ::opendir(native.c_str());
  if (!dir) return entries;
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == ".." || !HasPrefixAndSuffixIgnoreAsciiCase(name, prefix, suffix)) continue;
    struct stat st{};
    Entry e{name};
    if (::lstat((native + "/" + name).c_str(), &st) == 0) {
      e.folder = S_ISDIR(st.st_mode);
      e.link = S_ISLNK(st.st_mode);
      e.readOnly = S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
    }
    entries.push_back(std::move(e));
  }
  ::closedir(dir);
  return entries;
}

// A folder is held by a shared flock on it; FolderInUse asks for an
// exclusive one, which any holder in any process refuses.
std::shared_ptr<void> HostFileSystem::HoldFolder(const std::string& path) {
  const int fd = ::open(WithoutTrailingSlash(NativePath(path)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_SH) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::shared_ptr<void>(new int(fd), [](void* p) {
    ::close(*static_cast<int*>(p));
    delete static_cast<int*>(p);
  });
}

bool HostFileSystem::FolderInUse(const std::string& path) {
  const int fd =
      ::open(WithoutTrailingSlash(NativePath(path)).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

std::vector<std::string> HostFileSystem::PendingRestartFiles() {
  std::vector<std::string> files;
  for (const std::string& line : PendingRenames()) files.push_back(line.substr(0, line.find('\t')));
  return files;
}

}  // namespace stw

#include <iostream>

#include "platform/Factory.h"

namespace stw {
std::unique_ptr<IFileSystem> CreateNativeFileSystem() { return std::make_unique<HostFileSystem>(); }
std::unique_ptr<IFileSystem> CreateNativeFileSystem(const std::string& machineRoot) {
  return std::make_unique<HostFileSystem>(machineRoot);
}
std::unique_ptr<IRegistry> CreateNativeRegistry(const std::string& machineRoot) {
  return std::make_unique<HostRegistry>(machineRoot);
}
std::unique_ptr<ISystem> CreateNativeSystem(const std::string& machineRoot) {
  return std::make_unique<HostSystem>(machineRoot);
}
int ConsoleDialogs::MessageBox(const std::string& text, const std::string& title, unsigned) {
  std::cerr << (title.empty() ? "" : title + ": ") << text << "\n";
  return IDNONE_;
}
}  // namespace stw
