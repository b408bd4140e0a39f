#include "platform/host/HostPlatform.h"

#include <fcntl.h>
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
  HostWriteFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
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

 private:
  int fd_;
  std::string path_;
  double time_ = 0;
  bool hasTime_ = false;
};

bool IsDrivePath(const std::string& p) {
  return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

}  // namespace

HostFileSystem::HostFileSystem(std::string machineRoot) : root_(std::move(machineRoot)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

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
    error = "The process cannot access the file because it is being used by another process.";
    return nullptr;
  }
  const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<HostWriteFile>(fd, native);
}

std::string HostFileSystem::CreateTempFileIn(const std::string& folder, const std::string& prefix) {
  static std::mt19937 rng{std::random_device{}()};
  static std::mutex rngMutex;
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned n;
    {
      std::lock_guard<std::mutex> g(rngMutex);
      n = rng() & 0xFFFF;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%s%X.tmp", prefix.c_str(), n);
    const std::string path = dir + name;
    const int fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return {};
  }
  return {};
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
  if (IsHeld(native)) return false;
  return ::unlink(native.c_str()) == 0;
}

bool HostFileSystem::MoveReplace(const std::string& from, const std::string& to, std::string& error) {
  const std::string nf = NativePath(from), nt = NativePath(to);
  if (IsHeld(nt) || IsHeld(nf)) {
    error = "The process cannot access the file because it is being used by another process.";
    return false;
  }
  if (::rename(nf.c_str(), nt.c_str()) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

bool HostFileSystem::ReplaceAtRestart(const std::string& from, const std::string& to) {
  if (root_.empty()) return false;
  std::lock_guard<std::mutex> g(mutex_);
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

}  // namespace stw

#include <iostream>

#include "platform/Factory.h"

namespace stw {
std::unique_ptr<IFileSystem> CreateNativeFileSystem() { return std::make_unique<HostFileSystem>(); }
int ConsoleDialogs::MessageBox(const std::string& text, const std::string& title, unsigned) {
  std::cerr << (title.empty() ? "" : title + ": ") << text << "\n";
  return IDNONE_;
}
}  // namespace stw
