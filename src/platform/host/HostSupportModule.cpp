#include "platform/host/HostSupportModule.h"

#include "platform/Factory.h"

#include <cstdio>

#include "base/Text.h"

namespace stw {

namespace {

// The UTF-8 form of a UTF-16 text; "" when it holds a lone surrogate,
// which the real conversion refuses too.
std::string ConvertWide(const std::u16string& w) {
  for (size_t i = 0; i < w.size(); ++i) {
    const char16_t c = w[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= w.size() || w[i + 1] < 0xDC00 || w[i + 1] > 0xDFFF) return {};
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return {};
    }
  }
  return Utf16ToUtf8(w);
}

// A buffer of the DLL holds at most its size, and is read up to its first
// zero.
std::string AsBuffer(std::string text) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  if (text.size() > static_cast<size_t>(kSupportBufferSize)) text.resize(kSupportBufferSize);
  return text;
}
std::u16string AsBuffer(std::u16string text) {
  const size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  if (text.size() > static_cast<size_t>(kSupportBufferSize)) text.resize(kSupportBufferSize);
  return text;
}

class HostSupportModule : public ISupportModule {
 public:
  HostSupportModule(std::shared_ptr<HostSupportScript> script, int& unloads)
      : script_(std::move(script)), unloads_(unloads) {}
  ~HostSupportModule() override { ++unloads_; }

  bool Exports(SupportRoutine r) override { return script_->exports.count(r) != 0; }

  std::optional<bool> Allow(SupportRoutine r, void* owner, bool portable, bool currentUser) override {
    if (!Exports(r)) return std::nullopt;
    char window[32];
    std::snprintf(window, sizeof window, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(owner)));
    std::string line = std::string(SupportExportName(r)) + "(owner=" + window;
    if (r != SupportRoutine::AllowInstallation) line += ", portable=" + std::to_string(ToSupportBool(portable));
    if (r == SupportRoutine::AllowInstallation3) line += ", currentUser=" + std::to_string(ToSupportBool(currentUser));
    Record(r, line + ")");
    return FromSupportBool(script_->allowAnswer);
  }

  std::optional<std::string> Folders(SupportRoutine r) override {
    if (!Exports(r)) return std::nullopt;
    Record(r, std::string(SupportExportName(r)) + "(size=" + std::to_string(kSupportBufferSize) + ")");
    const bool system = r == SupportRoutine::GetSystemFolders || r == SupportRoutine::GetSystemFoldersA ||
                        r == SupportRoutine::GetSystemFoldersW;
    if (IsWideSupportRoutine(r))
      return ConvertWide(AsBuffer(system ? script_->systemFoldersW : script_->installFoldersW));
    return AsBuffer(system ? script_->systemFolders : script_->installFolders);
  }

  std::optional<Selection> ComponentSelection(SupportRoutine r, const std::string& name, Selection in,
                                              bool previouslyInstalled) override {
    if (!Exports(r)) return std::nullopt;
    Record(r, std::string(SupportExportName(r)) + "(name=" + name +
                  ", optional=" + std::to_string(ToSupportBool(in.Optional)) +
                  ", selected=" + std::to_string(ToSupportBool(in.Selected)) +
                  ", previouslyInstalled=" + std::to_string(ToSupportBool(previouslyInstalled)) + ")");
    const auto it = script_->presets.find(name);
    if (it == script_->presets.end()) return in;
    return Selection{FromSupportBool(it->second.optional), FromSupportBool(it->second.selected)};
  }

  bool Finish(SupportRoutine r, const std::string& logPath) override {
    if (!Exports(r)) return false;
    Record(r, std::string(SupportExportName(r)) + "(logPath=" + logPath + ")");
    return true;
  }

 private:
  // Records the call, then raises the scripted error, as a routine that
  // fails after it was entered.
  void Record(SupportRoutine r, std::string line) {
    script_->calls.push_back(std::move(line));
    const auto it = script_->raises.find(r);
    if (it != script_->raises.end()) throw ESupportRoutineFault(it->second);
  }

  std::shared_ptr<HostSupportScript> script_;
  int& unloads_;
};

}  // namespace

std::shared_ptr<HostSupportScript> HostSupportModuleLoader::Place(const std::string& path) {
  auto& slot = scripts_[CaseKey(path)];
  if (!slot) slot = std::make_shared<HostSupportScript>();
  return slot;
}

std::unique_ptr<ISupportModule> HostSupportModuleLoader::Load(const std::string& path) {
  loads.push_back(path);
  auto it = scripts_.find(CaseKey(path));
  if (it == scripts_.end()) it = scripts_.find(CaseKey(ExtractFileName(path)));
  if (it == scripts_.end() || !fs_.FileExists(path)) return nullptr;
  return std::make_unique<HostSupportModule>(it->second, unloads);
}

std::unique_ptr<ISupportModuleLoader> CreateNativeSupportModuleLoader(IFileSystem& fs) {
  return std::make_unique<HostSupportModuleLoader>(fs);
}

}  // namespace stw
