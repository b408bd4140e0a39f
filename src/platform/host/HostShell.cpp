#include "platform/host/HostShell.h"

#include "base/Text.h"
#include "platform/Factory.h"

namespace stw {
namespace {

constexpr const char* kLinkHeader = "[StwHostShellLink]";

std::string ReadAll(IFileSystem& fs, const std::string& path) {
  std::unique_ptr<IReadFile> f = fs.OpenRead(path);
  if (!f) return {};
  std::string bytes(static_cast<size_t>(f->Size()), '\0');
  bytes.resize(f->Read(bytes.data(), bytes.size()));
  return bytes;
}

bool WriteAll(IFileSystem& fs, const std::string& path, const std::string& bytes) {
  std::string error;
  std::unique_ptr<IWriteFile> f = fs.Create(path, error);
  return f && f->Write(bytes.data(), bytes.size()) && f->Close();
}

// Field values are single lines; a line break in one is kept escaped.
std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescaped(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char n = s[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += s[i];
    }
  }
  return out;
}

class HostProcess : public IProcess {
 public:
  HostProcess(uint32_t exitCode, uint32_t runMs) : exitCode_(exitCode), remaining_(runMs) {}
  bool Wait(uint32_t ms) override {
    if (ms != kInfinite && ms < remaining_) {
      remaining_ -= ms;
      return false;
    }
    remaining_ = 0;
    return true;
  }
  std::optional<uint32_t> ExitCode() override {
    if (remaining_ > 0) return std::nullopt;
    return exitCode_;
  }

 private:
  uint32_t exitCode_, remaining_;
};

}  // namespace

HostShell::HostShell(std::string machineRoot) : fs_(std::move(machineRoot)) {}

void HostShell::Script(const std::string& fileName, Program program) {
  std::lock_guard<std::mutex> g(mutex_);
  programs_[CaseKey(fileName)] = std::move(program);
}

void HostShell::RefuseFont(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  refusedFonts_.insert(CaseKey(path));
}

void HostShell::SetRemovable(const std::string& letters) {
  std::lock_guard<std::mutex> g(mutex_);
  removable_ = AsciiLower(letters);
}

std::vector<std::string> HostShell::Events() const {
  std::lock_guard<std::mutex> g(mutex_);
  return events_;
}
std::vector<std::string> HostShell::Fonts() const {
  std::lock_guard<std::mutex> g(mutex_);
  return fonts_;
}
std::vector<std::string> HostShell::TypeLibraries() const {
  std::lock_guard<std::mutex> g(mutex_);
  return typeLibs_;
}
std::vector<std::string> HostShell::UnregisteredTypeLibraries() const {
  std::lock_guard<std::mutex> g(mutex_);
  return unregisteredTypeLibs_;
}
std::vector<std::string> HostShell::GrantedFolders() const {
  std::lock_guard<std::mutex> g(mutex_);
  return granted_;
}
int HostShell::FontChangeBroadcasts() const {
  std::lock_guard<std::mutex> g(mutex_);
  return fontChanges_;
}
int HostShell::AssociationNotices() const {
  std::lock_guard<std::mutex> g(mutex_);
  return associationNotices_;
}

std::map<std::string, std::string> HostShell::ReadLink(const std::string& linkPath) {
  std::map<std::string, std::string> fields;
  const std::string text = ReadAll(fs_, linkPath);
  if (!StartsWith(text, kLinkHeader)) return fields;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = Unescaped(line.substr(eq + 1));
    start = end + 1;
  }
  return fields;
}

bool HostShell::SaveShellLink(const ShellLinkData& link, const std::string& linkPath, std::string& error) {
  std::string text = std::string(kLinkHeader) + "\n";
  auto field = [&](const char* name, const std::string& value) { text += std::string(name) + "=" + Escaped(value) + "\n"; };
  field("Arguments", link.Arguments);
  field("Description", link.Description);
  field("HotKey", std::to_string(link.HotKey));
  field("IconPath", link.IconPath);
  field("IconIndex", std::to_string(link.IconIndex));
  field("Path", link.Path);
  field("ShowCmd", std::to_string(link.ShowCmd));
  field("WorkingDirectory", link.WorkingDirectory);
  if (fs_.DirectoryExists(linkPath) || !WriteAll(fs_, linkPath, text)) {
    error = "Cannot save " + linkPath;
    return false;
  }
  return true;
}

bool HostShell::SetStartPinOption(const std::string& linkPath, uint32_t value) {
  std::string text = ReadAll(fs_, linkPath);
  if (!StartsWith(text, kLinkHeader)) return false;
  return WriteAll(fs_, linkPath, text + "StartPin=" + std::to_string(value) + "\n");
}

bool HostShell::AddFontResource(const std::string& path) {
  if (!fs_.FileExists(path)) return false;
  std::lock_guard<std::mutex> g(mutex_);
  if (refusedFonts_.count(CaseKey(path))) return false;
  fonts_.push_back(path);
  return true;
}

void HostShell::BroadcastFontChange() {
  std::lock_guard<std::mutex> g(mutex_);
  ++fontChanges_;
}

bool HostShell::RegisterTypeLibrary(const std::string& path, const std::string& helpFolder, std::string& error) {
  // A type library file begins with "MSFT" (or "SLTG" in the older format).
  const std::string bytes = ReadAll(fs_, path);
  if (!StartsWith(bytes, "MSFT") && !StartsWith(bytes, "SLTG")) {
    error = fs_.FileExists(path) ? "Error loading type library/DLL." : "The system cannot find the file specified.";
    return false;
  }
  std::lock_guard<std::mutex> g(mutex_);
  typeLibs_.push_back(path + "\t" + helpFolder);
  return true;
}

bool HostShell::UnregisterTypeLibrary(const std::string& path, std::string& error) {
  // Like the system, the library is read to learn what to unregister.
  const std::string bytes = ReadAll(fs_, path);
  if (!StartsWith(bytes, "MSFT") && !StartsWith(bytes, "SLTG")) {
    error = fs_.FileExists(path) ? "Error loading type library/DLL." : "The system cannot find the file specified.";
    return false;
  }
  std::lock_guard<std::mutex> g(mutex_);
  unregisteredTypeLibs_.push_back(path);
  return true;
}

std::optional<HostShell::Program> HostShell::Find(const std::string& path) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = programs_.find(CaseKey(ExtractFileName(path)));
    if (it != programs_.end()) return it->second;
  }
  if (fs_.FileExists(path)) return Program{};
  return std::nullopt;
}

std::unique_ptr<IProcess> HostShell::StartProcess(const std::string& program, const std::string& commandLine) {
  const std::optional<Program> p = Find(program);
  {
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back("start\t" + program + "\t" + commandLine + (p && !p->refuse ? "" : "\tfailed"));
  }
  if (!p || p->refuse) return nullptr;
  if (p->effect) p->effect(commandLine);
  return std::make_unique<HostProcess>(p->exitCode, p->runMilliseconds);
}

bool HostShell::OpenFile(const std::string& file, const std::string& parameters, bool wait) {
  const std::optional<Program> p = Find(file);
  {
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back("open\t" + file + "\t" + parameters + "\t" + (wait ? "wait" : "nowait") +
                      (p && !p->refuse ? "" : "\tfailed"));
  }
  if (!p || p->refuse) return false;
  if (p->effect) p->effect(parameters);
  return true;
}

std::unique_ptr<IProcess> HostShell::ShellStart(const std::string& file, const std::string& verb,
                                                const std::string& parameters, void* owner, int show,
                                                bool& declined) {
  const std::optional<Program> p = Find(file);
  declined = p && p->decline && verb == "runas";
  {
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back("shell\t" + file + "\t" + verb + "\t" + parameters + "\t" + std::to_string(show) + "\t" +
                      (owner ? "owner" : "noowner") + (p && !p->refuse && !declined ? "" : "\tfailed"));
  }
  if (!p || p->refuse || declined) return nullptr;
  uint32_t code = p->exitCode;
  if (p->run)
    code = p->run(parameters);
  else if (p->effect)
    p->effect(parameters);
  return std::make_unique<HostProcess>(code, p->runMilliseconds);
}

void HostShell::NotifyAssociationsChanged() {
  std::lock_guard<std::mutex> g(mutex_);
  ++associationNotices_;
}

bool HostShell::GrantUsersFullControl(const std::string& folder) {
  if (!fs_.DirectoryExists(folder)) return false;
  std::lock_guard<std::mutex> g(mutex_);
  granted_.push_back(folder);
  return true;
}

bool HostShell::IsRemovableDrive(const std::string& root) {
  if (root.size() < 2 || root[1] != ':') return false;
  std::lock_guard<std::mutex> g(mutex_);
  return removable_.find(static_cast<char>(std::tolower(static_cast<unsigned char>(root[0])))) != std::string::npos;
}

std::unique_ptr<IShell> CreateNativeShell(const std::string& machineRoot) {
  return std::make_unique<HostShell>(machineRoot);
}

}  // namespace stw
