// The facts of the simulated system (see HostPlatform.h for the keys).
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "base/PathUtf8.h"
#include "base/Text.h"
#include "platform/ScriptedDialogs.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/MachineFiles.h"

namespace stw {
namespace {

enum class Kind { Version, Bool, Count, Path, Drives, Bytes, DateTime };

std::optional<Kind> KindOf(const std::string& key) {
  static const std::map<std::string, Kind> kKinds = {
      {"version", Kind::Version}, {"64bit", Kind::Bool},     {"processors", Kind::Count},
      {"windows", Kind::Path},    {"system", Kind::Path},    {"program", Kind::Path},
      {"drives", Kind::Drives},   {"admin", Kind::Bool},     {"elevated", Kind::Bool},
      {"limited", Kind::Bool},    {"uac", Kind::Bool},       {"now", Kind::DateTime}};
  if (auto it = kKinds.find(key); it != kKinds.end()) return it->second;
  if (key.size() == 6 && key.compare(0, 5, "free.") == 0 && std::isupper(static_cast<unsigned char>(key[5])))
    return Kind::Bytes;
  return std::nullopt;
}

bool ParseUnsigned(const std::string& s, uint64_t& v) {
  if (s.empty() || s.size() > 20) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  errno = 0;
  char* end = nullptr;
  v = std::strtoull(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

bool ParseVersion(const std::string& s, int& major, int& minor) {
  const size_t dot = s.find('.');
  uint64_t a = 0, b = 0;
  if (dot == std::string::npos || !ParseUnsigned(s.substr(0, dot), a) || !ParseUnsigned(s.substr(dot + 1), b) ||
      a > 1000 || b > 1000)
    return false;
  major = static_cast<int>(a);
  minor = static_cast<int>(b);
  return true;
}

bool ParseBool(const std::string& s, bool& v) {
  if (s == "1" || s == "true") {
    v = true;
    return true;
  }
  if (s == "0" || s == "false") {
    v = false;
    return true;
  }
  return false;
}

bool ParseDateTime(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return *end == '\0' && std::isfinite(v);
}

bool ValidFor(Kind kind, const std::string& value) {
  int a, b;
  uint64_t n;
  bool f;
  double d;
  switch (kind) {
    case Kind::Version: return ParseVersion(value, a, b);
    case Kind::Bool: return ParseBool(value, f);
    case Kind::Count: return ParseUnsigned(value, n) && n >= 1 && n <= 4096;
    case Kind::Path: return true;  // any text: the file escapes it
    case Kind::Drives:
      for (const char c : value)
        if (!std::isupper(static_cast<unsigned char>(c))) return false;
      return true;
    case Kind::Bytes: return ParseUnsigned(value, n);
    case Kind::DateTime: return ParseDateTime(value, d);
  }
  return false;
}

// The drive letter of "C:" or "C:\...", upper case; 0 for anything else.
char DriveLetterOf(const std::string& path) {
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) return 0;
  if (path.size() > 2 && path[2] != '\\' && path[2] != '/') return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
}

std::optional<uint64_t> RealFreeSpace(const std::string& native) {
  struct statvfs st{};
  if (native.empty() || ::statvfs(native.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

}  // namespace

HostSystem::HostSystem(std::string machineRoot) : root_(std::move(machineRoot)), fs_(root_) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  CreateFolders();
}

const HostSystem::Facts& HostSystem::Load() const {
  if (root_.empty()) return memoryFacts_;
  // Read again only when the file was replaced (Set and other processes
  // replace it whole, by a rename): facts are asked for per installed file.
  const std::string file = root_ + "/machine.txt";
  const host::FileStamp stamp = host::StampOf(file);
  if (cacheLoaded_ && stamp == cacheStamp_) return cache_;
  cache_.clear();
  if (const std::optional<std::string> text = stamp.exists ? host::ReadWholeFile(file) : std::nullopt) {
    for (const std::string& line : SplitLines(*text)) {
      const size_t eq = line.find('=');
      if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
      cache_[line.substr(0, eq)] = host::UnescapeField(line.substr(eq + 1));
    }
  }
  cacheStamp_ = stamp;
  cacheLoaded_ = true;
  return cache_;
}

void HostSystem::Set(const std::string& key, const std::string& value) {
  const std::optional<Kind> kind = KindOf(key);
  if (!kind) throw std::invalid_argument("unknown machine fact '" + key + "'");
  if (!value.empty() && !ValidFor(*kind, value))
    throw std::invalid_argument("'" + value + "' is not a value of the machine fact '" + key + "'");
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (root_.empty()) {
      if (value.empty()) {
        memoryFacts_.erase(key);
      } else {
        memoryFacts_[key] = value;
      }
    } else {
      // Another process may be setting another fact at the same moment.
      host::FileLock lock(root_ + "/machine.lock");
      Facts facts = Load();
      if (value.empty()) {
        facts.erase(key);
      } else {
        facts[key] = value;
      }
      std::string text = "# facts of the simulated machine: key=value\n";
      for (const auto& [k, v] : facts) text += k + "=" + host::EscapeField(v) + "\n";
      cacheLoaded_ = false;
      if (!host::ReplaceFileContent(root_ + "/machine.txt", text))
        throw std::runtime_error("cannot write " + root_ + "/machine.txt");
    }
  }
  if (*kind == Kind::Path || *kind == Kind::Drives) CreateFolders();
}

std::string HostSystem::Get(const std::string& key) const {
  std::lock_guard<std::mutex> g(mutex_);
  const Facts& facts = Load();
  const auto it = facts.find(key);
  if (it == facts.end()) return {};
  const std::optional<Kind> kind = KindOf(key);
  // A hand-written file may hold nonsense; such a fact takes its default.
  if (!kind || !ValidFor(*kind, it->second)) return {};
  return it->second;
}

bool HostSystem::Flag(const std::string& key, bool fallback) const {
  bool v = fallback;
  const std::string s = Get(key);
  return !s.empty() && ParseBool(s, v) ? v : fallback;
}

void HostSystem::CreateFolders() {
  if (root_.empty()) return;
  std::error_code ec;
  for (const char d : Drives())
    if (d != 'Z') std::filesystem::create_directories(Utf8ToPath(root_ + "/" + d), ec);
  for (const std::string& folder : {WindowsFolder(), SystemFolder()}) {
    // Only folders on a drive of the sandbox; Z: is the real machine's.
    const char d = DriveLetterOf(folder);
    if (d != 0 && d != 'Z') std::filesystem::create_directories(Utf8ToPath(fs_.NativePath(folder)), ec);
  }
}

int HostSystem::MajorVersion() {
  int major = 10, minor = 0;
  ParseVersion(Get("version"), major, minor);
  return major;
}

int HostSystem::MinorVersion() {
  int major = 10, minor = 0;
  ParseVersion(Get("version"), major, minor);
  return minor;
}

bool HostSystem::Is64BitSystem() { return Flag("64bit", true); }

unsigned HostSystem::UsableProcessors() {
  uint64_t n = 0;
  if (ParseUnsigned(Get("processors"), n) && n >= 1) return static_cast<unsigned>(n);
  return std::max(1u, std::thread::hardware_concurrency());
}

std::string HostSystem::WindowsFolder() {
  const std::string f = Get("windows");
  return f.empty() ? "C:\\Windows" : WithoutTrailingBackslashes(f);
}

std::string HostSystem::SystemFolder() {
  const std::string f = Get("system");
  return f.empty() ? WindowsFolder() + "\\System32" : WithoutTrailingBackslashes(f);
}

std::string HostSystem::ProgramFile() {
  const std::string f = Get("program");
  if (!f.empty()) return f;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  // The real file, seen from the machine through Z:, as under Wine.
  std::string path = "Z:" + PathToUtf8(self);
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string HostSystem::Drives() const {
  const std::string d = Get("drives");
  return d.empty() ? "CZ" : d;
}

namespace {
// "\\server\share" of a network path, "" for any other path.
std::string ShareOf(const std::string& path) {
  if (path.size() < 3 || path[0] != '\\' || path[1] != '\\' || path[2] == '\\') return {};
  const size_t server = path.find('\\', 2);
  if (server == std::string::npos || server + 1 >= path.size() || path[server + 1] == '\\') return {};
  return path.substr(0, path.find('\\', server + 1));
}
}  // namespace

uint32_t HostSystem::ProcessId() { return static_cast<uint32_t>(::getpid()); }

bool HostSystem::DriveExists(const std::string& drive) {
  if (const std::string share = ShareOf(drive); !share.empty() && !root_.empty()) {
    std::error_code ec;
    return std::filesystem::is_directory(Utf8ToPath(fs_.NativePath(share)), ec);
  }
  const char d = DriveLetterOf(drive);
  return d != 0 && Drives().find(d) != std::string::npos;
}

// A share that this logon session has not connected yet is the folder
// UNC-offline/server/share of the machine; connecting it moves it to UNC/.
bool HostSystem::ConnectNetworkShare(const std::string& share) {
  const std::string s = ShareOf(share);
  if (s.empty() || root_.empty() || DriveExists(s)) return false;
  const std::string online = fs_.NativePath(s);
  const std::string offline = root_ + "/UNC-offline" + online.substr(root_.size() + 4);
  std::error_code ec;
  std::filesystem::create_directories(Utf8ToPath(online).parent_path(), ec);
  std::filesystem::rename(Utf8ToPath(offline), Utf8ToPath(online), ec);
  return !ec;
}

std::optional<uint64_t> HostSystem::FreeSpace(const std::string& path) {
  const char d = DriveLetterOf(path.size() > 2 ? path.substr(0, 3) : path);
  if (d == 0 || !DriveExists(std::string(1, d) + ":")) return std::nullopt;
  uint64_t n = 0;
  if (ParseUnsigned(Get(std::string("free.") + d), n)) return n;
  if (d == 'Z' || root_.empty()) return RealFreeSpace("/");
  if (auto real = RealFreeSpace(fs_.NativePath(std::string(1, d) + ":\\"))) return real;
  return RealFreeSpace(root_);
}

uint64_t HostSystem::TickCount() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

double HostSystem::LocalNow() {
  double fixed = 0;
  if (ParseDateTime(Get("now"), fixed)) return fixed;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return UnixToDateTime(0) + static_cast<double>(ms) / 86400000.0;
}

bool HostSystem::IsElevated() { return Flag("elevated", true); }
bool HostSystem::HasLimitedToken() { return Flag("limited", false); }
bool HostSystem::IsAdminMember() { return Flag("admin", true); }
bool HostSystem::UacEnabled() { return Flag("uac", true); }

}  // namespace stw
