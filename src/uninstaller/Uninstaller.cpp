#include "uninstaller/Uninstaller.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "base/SortedStrings.h"
#include "base/Text.h"
#include "package/SafeName.h"
#include "platform/WholeFile.h"
#include "system/CommandLine.h"
#include "system/FolderVariables.h"

namespace stw {

namespace {

constexpr const char* kCurrentVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";
// How long a component may take to unregister itself, as the setup waits
// for its registration.
constexpr uint32_t kUnregisterWaitMs = 10000;
// How long the copy waits for the original uninstaller's process to end.
constexpr uint32_t kOriginalWaitMs = 60000;
// Attempts to delete the original after that, and the pause between them:
// a first instance that started an elevated one ends only after it.
constexpr int kDeleteAttempts = 50;
constexpr int kDeletePauseMs = 200;
// The installed uninstaller's name (the setup installs it so) and the
// prefix of the private folder of its copy: "stwu" and 8 hex digits, which
// the setup's clean-up of its own temporary folders ("stw" and 8 hex
// digits) never takes for one of its own.
constexpr const char* kUninstallerName = "UnStowa.exe";
constexpr const char* kCopyFolderPrefix = "stwu";
// The values that the setup's rights test and the handshake with its
// elevated instance leave in the products' key (they name no product).
constexpr const char* kHandshakeNames[] = {"Stub", "Result", "FinishedMenu", "FinishedExe"};

// The English texts of strings 61 to 67, for a log whose texts are empty.
const char* const kDefaultTexts[] = {"Uninstall %s",
                                     "Do you want to remove %s and all of its components?",
                                     "Removing %s",
                                     "%s was removed from this computer.",
                                     "Some items could not be removed.",
                                     "The uninstallation was cancelled.",
                                     "Restart the computer to finish the removal."};

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    if (end > start) parts.push_back(key.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string JoinKey(const std::vector<std::string>& parts, size_t count) {
  std::string k;
  for (size_t i = 0; i < count && i < parts.size(); ++i) k += (i ? "\\" : "") + parts[i];
  return k;
}

std::string Below(const std::string& base, const std::string& key) {
  if (base.empty()) return key;
  if (key.empty()) return base;
  return base + "\\" + key;
}

bool Is(const std::string& part, const char* name) { return EqualsIgnoreAsciiCase(part, name); }

bool IsAnyOf(const std::string& part, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (Is(part, n)) return true;
  return false;
}

// How many leading levels of a key (below the key that its root name
// stands for) are the registry's own structure rather than a product's.
// Keys at those levels are never removed for being empty, whoever made
// them: Software, Software\Microsoft\Windows\CurrentVersion\Uninstall,
// HKCR\CLSID and the like are shared by every program and some are
// expected to exist even when empty. Below them lie the keys of products
// and vendors, which the installation made for its values when they were
// not there: those go once the uninstallation has left them empty.
size_t StructuralDepth(const std::vector<std::string>& parts, bool classes) {
  if (parts.empty()) return 0;
  if (classes) {
    const std::string& top = parts[0];
    if (Is(top, "Wow6432Node"))
      return 1 + StructuralDepth(std::vector<std::string>(parts.begin() + 1, parts.end()), true);
    if (Is(top, "MIME")) return 3;  // MIME\Database\Content Type\<type>
    if (IsAnyOf(top, {"*", "AllFilesystemObjects", "Directory", "Drive", "Folder", "DesktopBackground"}))
      return 2;  // Directory\shell\<verb>
    if (IsAnyOf(top, {"CLSID", "Interface", "TypeLib", "AppID", "Applications", "SystemFileAssociations",
                      "Component Categories", "Installer", "Record", "FileType", "PROTOCOLS"}))
      return 1;  // CLSID\<class>
    return 0;  // a class or an extension of its own
  }
  if (Is(parts[0], "Software")) {
    if (parts.size() < 2) return 1;
    const std::string& second = parts[1];
    if (Is(second, "Classes"))
      return 2 + StructuralDepth(std::vector<std::string>(parts.begin() + 2, parts.end()), true);
    if (Is(second, "Wow6432Node")) {
      std::vector<std::string> rest(parts.begin() + 2, parts.end());
      rest.insert(rest.begin(), parts[0]);
      return 1 + StructuralDepth(rest, false);
    }
    // Software\Microsoft\Windows\CurrentVersion\Uninstall\<product>.
    if (Is(second, "Microsoft")) return 5;
    if (IsAnyOf(second, {"Clients", "ODBC"})) return 3;
    if (IsAnyOf(second, {"Policies", "RegisteredApplications"})) return 2;
    return 1;  // Software\<vendor>
  }
  if (Is(parts[0], "SYSTEM")) return 3;  // SYSTEM\CurrentControlSet\Services\<service>
  return 2;
}

std::string RootDisplay(RegRoot root) {
  switch (root) {
    case RegRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case RegRoot::CurrentUser: return "HKEY_CURRENT_USER";
    case RegRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case RegRoot::Users: return "HKEY_USERS";
    case RegRoot::CurrentConfig: return "HKEY_CURRENT_CONFIG";
  }
  return "";
}

bool IsDriveRoot(const std::string& folder) {
  return folder.size() <= 3 && folder.size() >= 2 && folder[1] == ':';
}

bool IsOwnCopyFolderName(const std::string& name) {
  if (name.size() != 12 || !StartsWith(AsciiLower(name), kCopyFolderPrefix)) return false;
  for (size_t i = 4; i < name.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return CompareTextIgnoreCase(a, b) < 0;
}

// ---------------------------------------------------------------- texts and boxes

std::string FormatLogText(const std::string& pattern, const std::string& value) {
  const size_t at = pattern.find("%s");
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + value + pattern.substr(at + 2);
}

// ---------------------------------------------------------------- the removal

TRemoval::TRemoval(TUninstallPlatform p, const TUninstallLog& log, std::string logPath)
    : p_(p), log_(log), logPath_(std::move(logPath)) {}

TRemovalResult TRemoval::Run() {
  result_ = TRemovalResult{};
  Prepare();
  ReadOtherLogs();
  PlanFiles();
  Unregister();
  RestoreAssociations();
  RemoveRegistry();
  RemoveFiles();
  RemoveLog();
  RemoveFolders();
  PlanSelfRemoval();
  return result_;
}

void TRemoval::NotRemoved(const std::string& what) { result_.NotRemoved.push_back(what); }

void TRemoval::Prepare() {
  logFolder_ = ExtractFileDir(logPath_);
  self_ = p_.Sys.ProgramFile();
  // As the setup chose them from the user type (HKEY_AUTO's root; the
  // shared counts of a current-user installation are the user's own).
  autoRoot_ = log_.UserType == 1 ? RegRoot::LocalMachine : RegRoot::CurrentUser;
  sharedRoot_ = log_.UserType == 2 ? RegRoot::CurrentUser : RegRoot::LocalMachine;

  // The system's folders as the setup finds them, and more: the setup
  // spares twelve of them when it removes a file's emptied folders, but
  // the user's own Desktop, Start menu, Programs, Startup and local
  // application data folders are as much the system's, and so is every
  // folder above one of them (the profile, C:\Users).
  SystemFacts facts;
  facts.windowsFolder = p_.Sys.WindowsFolder();
  facts.systemFolder = p_.Sys.SystemFolder();
  facts.readRegistry = [this](bool machine, const std::string& key,
                              const std::string& value) -> std::optional<std::string> {
    auto text = p_.Reg.ReadString(machine ? RegRoot::LocalMachine : RegRoot::CurrentUser, key, value);
    if (text && Utf8ToUtf16(*text).size() > 260) return std::nullopt;
    return text;
  };
  facts.folderExists = [this](const std::string& f) { return p_.Fs.DirectoryExists(f); };
  const SystemFolders f = LoadSystemFolders(facts);
  std::vector<std::string> folders = {f.Windows,
                                      f.System,
                                      f.SystemDrive,
                                      f.Fonts,
                                      f.ProgramFiles,
                                      f.CommonFiles,
                                      f.StartMenuAllUsers,
                                      f.StartMenuCurrentUser,
                                      f.ProgramsAllUsers,
                                      f.ProgramsCurrentUser,
                                      f.StartupAllUsers,
                                      f.StartupCurrentUser,
                                      f.DesktopAllUsers,
                                      f.DesktopCurrentUser,
                                      f.SendTo,
                                      f.Documents,
                                      f.CommonDocuments,
                                      f.AppData,
                                      f.LocalAppData,
                                      f.CommonAppData,
                                      p_.Fs.TempFolder()};
  // Both program files folders of a 64-bit system, whichever view the
  // program reads.
  for (const RegView view : {RegView::Default, RegView::View64})
    for (const char* name : {"ProgramFilesDir", "CommonFilesDir", "ProgramFilesDir (x86)", "CommonFilesDir (x86)",
                             "ProgramW6432Dir", "CommonW6432Dir"})
      if (auto v = p_.Reg.ReadString(RegRoot::LocalMachine, kCurrentVersionKey, name, view)) folders.push_back(*v);
  TSortedStrings all;
  for (const std::string& folder : folders) {
    const std::optional<std::string> plain = NormalisedCompletePath(WithoutTrailingBackslashes(folder));
    if (!plain) continue;
    for (std::string at = *plain; !at.empty(); at = ExtractFileDir(at)) {
      all.Add(WithoutTrailingBackslashes(at));
      if (IsDriveRoot(at)) break;
    }
  }
  protected_ = all.Items();

  // Folders are removed only inside those of the log's folder variables
  // (the application folder, its menu folder and so on); one that is or
  // holds a protected folder (a log that names C:\ or the profile) vouches
  // for nothing.
  bounds_.clear();
  for (const TUninstallLog::Folder& v : log_.Folders) {
    if (v.Path.empty() || IsDriveRoot(v.Path) || IsProtected(v.Path)) continue;
    bounds_.push_back(v.Path);
  }

  // The product's value and its Uninstall key belong to this log unless
  // they name another log that is there: the product was installed again
  // elsewhere, and that installation's entry stays.
  const std::optional<std::string> owner = p_.Reg.ReadString(autoRoot_, kProductsKey, log_.ProductKey);
  ownsEntry_ = !owner || owner->empty() || SameTextIgnoreCase(*owner, logPath_) || !p_.Fs.FileExists(*owner);
}

void TRemoval::ReadOtherLogs() {
  // Products in one folder share more than the uninstaller: a file that
  // two of them install is counted under SharedDLLs only when the package
  // marks it shared, yet the other product needs it as much. Whatever the
  // log of another installation still names (a file, a registry value)
  // stays. Its logs are found where the setup leaves them: beside this one
  // (Stowa2.log, ...) and under the products' key.
  TSortedStrings logs;
  for (const IFileSystem::Entry& e : p_.Fs.ListFolder(logFolder_, "Stowa", ".log"))
    if (!e.folder) logs.Add(logFolder_ + "\\" + e.name);
  for (const RegRoot root : {RegRoot::LocalMachine, RegRoot::CurrentUser})
    if (const auto names = p_.Reg.ValueNames(root, kProductsKey, 4096))
      for (const std::string& name : *names)
        if (const auto path = p_.Reg.ReadString(root, kProductsKey, name))
          if (WhyNotFullLocalPath(*path).empty()) logs.Add(*path);
  otherLines_.clear();
  auto contentOf = [this](const std::string& path) { return ReadFileWhole(p_.Fs, path, kMaxUninstallLogBytes); };
  const std::optional<std::string> own = contentOf(logPath_);
  for (const std::string& path : logs) {
    if (SameTextIgnoreCase(path, logPath_)) continue;
    const std::optional<std::string> other = contentOf(path);
    // The same bytes are this log under another name (a short name, a
    // path through another drive letter), not another installation.
    if (!other || (own && *other == *own)) continue;
    const std::string& bytes = *other;
    // Read leniently on purpose: a line that is there keeps what it names,
    // whether or not that log would pass for removal itself.
    for (std::string& line : SplitLines(bytes)) otherLines_.insert(std::move(line));
  }
}

bool TRemoval::IsProtected(const std::string& folder) const {
  const std::string bare = WithoutTrailingBackslashes(folder);
  for (const std::string& p : protected_)
    if (SameTextIgnoreCase(bare, p)) return true;
  return false;
}

bool TRemoval::WithinBounds(const std::string& folder) const {
  for (const std::string& b : bounds_)
    if (SameTextIgnoreCase(folder, b) || IsBelowFolder(folder, b)) return true;
  return false;
}

bool TRemoval::ReachedThroughLink(const std::string& path) {
  // Every folder on the way and the item itself: a junction or link
  // anywhere leads the deletion to what it names, which is not the
  // installation's (it was put there after it, or by someone else).
  for (size_t pos = 3; pos <= path.size();) {
    size_t end = path.find('\\', pos);
    if (end == std::string::npos) end = path.size();
    if (p_.Fs.IsReparsePoint(path.substr(0, end))) return true;
    pos = end + 1;
  }
  return false;
}

bool TRemoval::MayRemoveFolder(const std::string& folder) {
  return !folder.empty() && WhyNotFullLocalPath(folder).empty() && WithinBounds(folder) && !IsProtected(folder) &&
         !ReachedThroughLink(folder);
}

void TRemoval::PlanFiles() {
  files_.clear();
  TSortedStrings seen;
  for (const std::string& path : log_.Files) {
    // One reference per product, however often the log names the file.
    if (!seen.Add(path)) continue;
    FileFate f;
    f.path = path;
    f.untouchable = ReachedThroughLink(path);
    f.self = !self_.empty() && SameTextIgnoreCase(path, self_);
    if (!f.untouchable) {
      const std::optional<uint32_t> count = p_.Reg.ReadDword(sharedRoot_, kSharedDllsCountKey, path);
      f.stillShared = (count && *count > 1) || otherLines_.count(path) != 0;
    }
    files_.push_back(std::move(f));
  }
}

// ---------------------------------------------------------------- section 4

void TRemoval::Unregister() {
  std::map<std::string, const FileFate*, TSortedStrings::Less> fates;
  for (const FileFate& f : files_) fates[f.path] = &f;
  TSortedStrings done;
  for (auto it = log_.Registrations.rbegin(); it != log_.Registrations.rend(); ++it) {
    const std::string& path = *it;
    if (!done.Add(path)) continue;
    // Only the registrations of files that go now: a file that stays (kept
    // for good, still used by another product, or out of reach) keeps its
    // registration too, or the other product would lose it.
    const auto fate = fates.find(path);
    if (fate == fates.end() || fate->second->untouchable || fate->second->stillShared) continue;
    if (!p_.Fs.FileExists(path)) continue;
    if (EndsWith(AsciiLower(path), ".tlb")) {
      std::string error;
      if (!p_.Shell.UnregisterTypeLibrary(path, error))
        NotRemoved("the registration of the type library " + path + " (" + error + ")");
      continue;
    }
    // By its full path, as the setup starts it: a regsvr32 planted beside
    // the uninstaller would otherwise run with its rights.
    const std::string system = p_.Sys.SystemFolder();
    if (system.empty()) {
      NotRemoved("the registration of " + path);
      continue;
    }
    const std::string program = system + "\\regsvr32.exe";
    std::unique_ptr<IProcess> process =
        p_.Shell.StartProcess(program, QuotedIfSpaced(program) + " /u /s \"" + path + "\"");
    if (!process) {
      NotRemoved("the registration of " + path);
      continue;
    }
    // Its exit code is not ours to judge: a component without an
    // unregistration routine answers an error and has nothing to undo.
    process->Wait(kUnregisterWaitMs);
  }
}

// ---------------------------------------------------------------- section 3

void TRemoval::RestoreAssociations() {
  for (auto it = log_.FileTypes.rbegin(); it != log_.FileTypes.rend(); ++it) RestoreFileType(*it);
  if (!log_.FileTypes.empty()) p_.Shell.NotifyAssociationsChanged();
}

void TRemoval::RestoreFileType(const TUninstallLog::FileType& t) {
  IRegistry& reg = p_.Reg;
  // Where the setup wrote them: the machine's classes for all users, the
  // user's own Software\Classes otherwise.
  const RegRoot root = log_.UserType == 1 ? RegRoot::ClassesRoot : RegRoot::CurrentUser;
  const std::string prefix = log_.UserType == 1 ? "" : "Software\\Classes\\";
  const std::string extKey = prefix + t.Extension;
  // The program type is the extension's default value, as the setup found
  // or made it: the extension without its dot and "file" when there was
  // none.
  const std::string derived = t.Extension.substr(1) + "file";
  std::string progType = reg.ReadString(root, extKey, "").value_or("");
  if (progType.empty() || progType.find('\\') != std::string::npos || Utf8ToUtf16(progType).size() > 260)
    progType = derived;
  const std::string typeKey = prefix + progType;

  // A value is put back only while it still holds what the installation
  // wrote: one that another program has changed since is that program's.
  auto restore = [&](const std::string& key, const std::string& written, const std::string& previous) {
    const std::optional<std::string> now = reg.ReadString(root, key, "");
    if (!now || *now != written) return;
    const bool ok = previous.empty() ? reg.DeleteValue(root, key, "") : reg.WriteString(root, key, "", previous);
    if (!ok) NotRemoved("the association of " + t.Extension + " (" + RootDisplay(root) + "\\" + key + ")");
  };
  // The keys below the program type that the installation made, each when
  // it was left empty, deepest first.
  auto prune = [&](std::initializer_list<std::string> keys) {
    for (const std::string& k : keys) {
      if (!reg.KeyExists(root, k)) continue;
      if (!KeyIsEmpty(root, k) || !reg.DeleteKey(root, k)) return;
    }
  };
  for (auto v = t.Verbs.rbegin(); v != t.Verbs.rend(); ++v) {
    const std::string verbKey = typeKey + "\\shell\\" + v->Name;
    restore(verbKey + "\\command", v->Command, v->PreviousCommand);
    prune({verbKey + "\\command", verbKey, typeKey + "\\shell"});
  }
  // The same icon twice: the installation wrote none.
  if (t.Icon != t.PreviousIcon) {
    restore(typeKey + "\\DefaultIcon", t.Icon, t.PreviousIcon);
    prune({typeKey + "\\DefaultIcon"});
  }
  restore(typeKey, t.Description, t.PreviousDescription);
  // A program type without a description before the installation, and
  // empty now, was the installation's own; so was the extension's default
  // value naming it when the setup made up that name.
  if (t.PreviousDescription.empty() && reg.KeyExists(root, typeKey) && KeyIsEmpty(root, typeKey)) {
    if (!reg.DeleteKey(root, typeKey)) return;
    if (SameTextIgnoreCase(progType, derived) && reg.ReadString(root, extKey, "") == progType) {
      reg.DeleteValue(root, extKey, "");
      prune({extKey});
    }
  }
}

// ---------------------------------------------------------------- section 2

bool TRemoval::KeyIsEmpty(RegRoot root, const std::string& key) {
  const std::optional<std::vector<std::string>> values = p_.Reg.ValueNames(root, key, 1);
  return values && values->empty() && p_.Reg.SubkeyNames(root, key, 1).empty();
}

std::vector<TRemoval::RegTarget> TRemoval::TargetsOf(const std::string& rootName) {
  const bool allUsers = log_.UserType == 1;
  if (rootName == "HKEY_AUTO") return {{allUsers ? RegRoot::LocalMachine : RegRoot::CurrentUser, "", false}};
  if (rootName == "HKEY_CLASSES_ROOT") {
    // As the setup applied them: the user's own classes, which the system
    // merges into HKEY_CLASSES_ROOT, for a current-user installation.
    if (allUsers) return {{RegRoot::ClassesRoot, "", true}};
    return {{RegRoot::CurrentUser, "Software\\Classes", true}};
  }
  if (rootName == "HKEY_CURRENT_USER") return {{RegRoot::CurrentUser, "", false}};
  if (rootName == "HKEY_LOCAL_MACHINE") return {{RegRoot::LocalMachine, "", false}};
  // HKEY_USERS: written to every profile by an all-users installation (or,
  // when none could be opened, to the current user), logged once.
  std::vector<RegTarget> targets;
  if (allUsers)
    for (const std::string& profile : p_.Reg.SubkeyNames(RegRoot::Users, "", 256))
      targets.push_back({RegRoot::Users, profile, false});
  targets.push_back({RegRoot::CurrentUser, "", false});
  return targets;
}

void TRemoval::Prune(const RegTarget& t, const std::string& key) {
  const std::vector<std::string> parts = SplitKey(key);
  const size_t floor = StructuralDepth(parts, t.classes);
  for (size_t n = parts.size(); n > floor; --n) {
    const std::string k = Below(t.base, JoinKey(parts, n));
    if (!p_.Reg.KeyExists(t.root, k)) continue;
    if (!KeyIsEmpty(t.root, k) || !p_.Reg.DeleteKey(t.root, k)) return;
  }
}

void TRemoval::RemoveRegistry() {
  IRegistry& reg = p_.Reg;
  const std::string uninstallKey = kUninstallListKey + log_.ProductKey;
  // The engine logs the product's value and its Uninstall key under the
  // installation's own root name.
  const std::string ownRoot = log_.UserType == 1 ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
  bool namesUninstallKey = false;
  std::vector<std::pair<RegTarget, std::string>> emptied;
  for (const TUninstallLog::RegistryEntry& e : log_.Registry) {
    const bool productValue = e.Root == ownRoot && e.kind == TUninstallLog::RegistryEntry::Value &&
                              SameTextIgnoreCase(e.Key, kProductsKey) && SameTextIgnoreCase(e.Name, log_.ProductKey);
    const bool uninstallEntry = e.Root == ownRoot && SameTextIgnoreCase(e.Key, uninstallKey);
    namesUninstallKey |= uninstallEntry;
    if ((productValue || uninstallEntry) && !ownsEntry_) continue;
    if (otherLines_.count(e.Text)) continue;  // another installation's too
    for (const RegTarget& t : TargetsOf(e.Root)) {
      const std::string key = Below(t.base, e.Key);
      const std::string shown = RootDisplay(t.root) + "\\" + key;
      if (e.kind == TUninstallLog::RegistryEntry::WholeKey) {
        const std::vector<std::string> parts = SplitKey(e.Key);
        if (parts.size() <= StructuralDepth(parts, t.classes)) {
          // Software, CLSID or the Uninstall list as a whole: no package
          // owns them, whatever its log says.
          NotRemoved(shown + " (a key that no product owns)");
          continue;
        }
        if (reg.KeyExists(t.root, key) && !reg.DeleteKey(t.root, key) && reg.KeyExists(t.root, key))
          NotRemoved(shown);
        emptied.push_back({t, JoinKey(parts, parts.size() - 1)});
      } else {
        const std::string name = e.kind == TUninstallLog::RegistryEntry::DefaultValue ? "" : e.Name;
        if (reg.QueryValue(t.root, key, name) && !reg.DeleteValue(t.root, key, name) &&
            reg.QueryValue(t.root, key, name))
          NotRemoved(shown + " (value " + (name.empty() ? "(Default)" : name) + ")");
        emptied.push_back({t, e.Key});
      }
    }
  }
  // The product's entry in the list of installed programs goes whole,
  // whatever else was written into it since.
  if (ownsEntry_ && namesUninstallKey && reg.KeyExists(autoRoot_, uninstallKey)) {
    if (!reg.DeleteKey(autoRoot_, uninstallKey) && reg.KeyExists(autoRoot_, uninstallKey))
      NotRemoved(RootDisplay(autoRoot_) + "\\" + uninstallKey);
  }
  // Deepest first, so that a parent is judged after its children.
  std::stable_sort(emptied.begin(), emptied.end(), [](const auto& a, const auto& b) {
    return SplitKey(a.second).size() > SplitKey(b.second).size();
  });
  for (const auto& [t, key] : emptied) Prune(t, key);
  CleanHandshakeLeftovers(autoRoot_);
  // The setup tests its rights by writing there whatever the installation.
  if (autoRoot_ != RegRoot::LocalMachine) CleanHandshakeLeftovers(RegRoot::LocalMachine);
}

void TRemoval::CleanHandshakeLeftovers(RegRoot root) {
  IRegistry& reg = p_.Reg;
  const std::optional<std::vector<std::string>> names = reg.ValueNames(root, kProductsKey, 64);
  if (!names || !reg.SubkeyNames(root, kProductsKey, 1).empty()) return;
  // Only when the key names no product any more: the values of a
  // setup's rights test and of its elevated instance outlive every run and
  // mean nothing once no product of ours is left.
  for (const std::string& n : *names) {
    bool handshake = false;
    for (const char* h : kHandshakeNames) handshake |= EqualsIgnoreAsciiCase(n, h);
    if (!handshake) return;
  }
  for (const std::string& n : *names) reg.DeleteValue(root, kProductsKey, n);
  Prune({root, "", false}, kProductsKey);
}

// ---------------------------------------------------------------- section 1

void TRemoval::RemoveFiles() {
  IFileSystem& fs = p_.Fs;
  IRegistry& reg = p_.Reg;
  for (const FileFate& f : files_) {
    if (f.untouchable) {
      NotRemoved(f.path + " (reached through a link)");
      continue;
    }
    // A shared file goes with its last user: another product's reference
    // keeps it, one fewer.
    if (const std::optional<uint32_t> count = reg.ReadDword(sharedRoot_, kSharedDllsCountKey, f.path)) {
      if (*count > 1) {
        reg.WriteDword(sharedRoot_, kSharedDllsCountKey, f.path, *count - 1);
        continue;
      }
      if (!f.stillShared) reg.DeleteValue(sharedRoot_, kSharedDllsCountKey, f.path);
    }
    if (f.stillShared) continue;  // another installation's log names it
    if (f.self) continue;  // once this process has ended
    if (!fs.FileExists(f.path)) {
      // Gone already is fine; a folder at the name is not the file.
      if (!fs.DirectoryExists(f.path)) emptiedFolders_.push_back(ExtractFileDir(f.path));
      continue;
    }
    if (fs.IsReadOnly(f.path)) fs.SetReadOnly(f.path, false);
    if (fs.DeleteFile(f.path)) {
      emptiedFolders_.push_back(ExtractFileDir(f.path));
    } else if (fs.DeleteAtRestart(fs.ShortPathName(f.path))) {
      // In use: the system deletes it when it starts again.
      result_.RestartNeeded = true;
      result_.ScheduledAtRestart.push_back(f.path);
    } else {
      NotRemoved(f.path);
    }
  }
}

void TRemoval::RemoveLog() {
  IFileSystem& fs = p_.Fs;
  emptiedFolders_.push_back(logFolder_);
  if (!fs.FileExists(logPath_)) return;
  if (fs.IsReadOnly(logPath_)) fs.SetReadOnly(logPath_, false);
  if (fs.DeleteFile(logPath_)) return;
  if (fs.DeleteAtRestart(fs.ShortPathName(logPath_))) {
    result_.RestartNeeded = true;
    result_.ScheduledAtRestart.push_back(logPath_);
  } else {
    NotRemoved(logPath_);
  }
}

void TRemoval::RemoveFolders() {
  TSortedStrings unique;
  for (const std::string& f : emptiedFolders_) unique.Add(f);
  std::vector<std::string> folders = unique.Items();
  // Deepest first: a folder is tried after everything below it.
  std::stable_sort(folders.begin(), folders.end(),
                   [](const std::string& a, const std::string& b) { return SplitKey(a).size() > SplitKey(b).size(); });
  for (const std::string& start : folders) {
    for (std::string f = start; MayRemoveFolder(f); f = ExtractFileDir(f)) {
      if (!p_.Fs.DirectoryExists(f)) continue;  // removed from below already
      // RemoveFolder removes only an empty folder: the first one that
      // still holds something ends the walk up.
      if (!p_.Fs.RemoveFolder(f)) break;
    }
  }
}

void TRemoval::PlanSelfRemoval() {
  for (const FileFate& f : files_) {
    if (!f.self || f.untouchable || f.stillShared) continue;
    result_.Self.file = f.path;
    for (std::string folder = ExtractFileDir(f.path); MayRemoveFolder(folder); folder = ExtractFileDir(folder))
      result_.Self.folders.push_back(folder);
    return;
  }
}

// ---------------------------------------------------------------- the process

TUninstallRun::TUninstallRun(TUninstallPlatform p, std::vector<std::string> args) : p_(p), args_(std::move(args)) {
  Sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
}

std::string TUninstallRun::LogText(int number) const {
  const std::string& text = log_.Text(number);
  return text.empty() && number >= 61 && number <= 67 ? std::string(kDefaultTexts[number - 61]) : text;
}

void TUninstallRun::ShowError(const std::string& text) {
  if (silent_) {
    // Nobody sees a box in a silent run; a script reads this.
    std::string flat = text;
    for (char& c : flat)
      if (c == '\r') c = '\n';
    std::cerr << flat << std::endl;
    return;
  }
  const std::string caption = log_.AppName.empty() ? "Uninstall" : FormatLogText(LogText(61), log_.AppName);
  p_.Dialogs.MessageBox(text, caption, MB_OK_ | MB_ICONERROR_);
}

int TUninstallRun::Main() {
  try {
    if (args_.size() >= 2 && EqualsIgnoreAsciiCase(args_[1], kFinishSwitch)) return FinishSelfRemoval();
    silent_ = HasSwitch(args_, "silent") || HasSwitch(args_, "s");
    return Uninstall();
  } catch (const std::exception& e) {
    // This program's own fault: still a message and a defined exit code.
    ShowError(std::string("The uninstaller failed: ") + e.what());
    return kUninstallFailed;
  }
}

bool TUninstallRun::NeedsElevation(const TUninstallLog& log) {
  // An all-users installation needs the machine's rights; a current-user
  // one made with them (program files, the user's registry) needs them
  // again, from the same account: only a filtered token of that user can
  // be raised without changing the user whose keys are removed.
  if (log.UserType == 1) return !p_.Sys.IsAdminMember();
  if (log.UserType == 6) return p_.Sys.HasLimitedToken();
  return false;
}

int TUninstallRun::RelaunchElevated() {
  // The log and the switches as they came; the copy knows it is elevated.
  std::string params = "\"" + logPath_ + "\"";
  for (size_t i = 2; i < args_.size(); ++i)
    if (!args_[i].empty() && (args_[i][0] == '/' || args_[i][0] == '-')) params += " " + QuotedIfSpaced(args_[i]);
  params += " /elevate";
  bool declined = false;
  std::unique_ptr<IProcess> child =
      p_.Shell.ShellStart(p_.Sys.ProgramFile(), "runas", params, nullptr, /*SW_SHOWNORMAL*/ 1, declined);
  if (!child) {
    if (declined) return kUninstallCancelled;
    ShowError("The uninstaller could not be started with the administrator rights that removing " + log_.AppName +
              " needs.");
    return kUninstallFailed;
  }
  child->Wait(IProcess::kInfinite);
  return static_cast<int>(child->ExitCode().value_or(kUninstallFailed));
}

int TUninstallRun::Uninstall() {
  if (args_.size() < 2 || args_[1].empty() || args_[1][0] == '/' || args_[1][0] == '-') {
    ShowError("Start the uninstaller with the path of an installation log: UnStowa.exe \"<log>\" [/silent]");
    return kUninstallFailed;
  }
  // The uninstall command quotes a log path with a space; one typed by
  // hand without quotes comes in pieces, joined again as far as they name
  // an existing file.
  logPath_ = args_[1];
  std::string joined = args_[1];
  for (size_t i = 2; i < args_.size() && !p_.Fs.FileExists(logPath_); ++i) {
    if (args_[i].empty() || args_[i][0] == '/' || args_[i][0] == '-') break;
    joined += " " + args_[i];
    if (p_.Fs.FileExists(joined)) logPath_ = joined;
  }
  const std::string why = WhyNotFullLocalPath(logPath_);
  if (!why.empty()) {
    ShowError("The installation log \"" + logPath_ + "\" " + why + ": nothing was removed.");
    return kUninstallFailed;
  }
  try {
    log_ = ReadUninstallLog(p_.Fs, logPath_);
  } catch (const ELogRefused& e) {
    ShowError("The installation log " + logPath_ + " cannot be used, so nothing was removed:\r\r" + e.what());
    return kUninstallFailed;
  }
  if (!HasSwitch(args_, "elevate") && NeedsElevation(log_)) return RelaunchElevated();

  const std::string caption = FormatLogText(LogText(61), log_.AppName);
  if (!silent_) {
    const int answer =
        p_.Dialogs.MessageBox(FormatLogText(LogText(62), log_.AppName), caption, MB_YESNO_ | MB_ICONQUESTION_);
    // No, and a box nobody could answer, leave everything as it is.
    if (answer != IDYES_) return kUninstallCancelled;
  }
  TRemoval removal(p_, log_, logPath_);
  Result = removal.Run();
  const bool complete = Result.NotRemoved.empty();
  // A product that is not removed whole has not been removed: deployment
  // tools must learn it.
  const int code = !complete ? kUninstallFailed : Result.RestartNeeded ? kUninstallRestartNeeded : kUninstallDone;
  if (!silent_) {
    std::string text = complete ? FormatLogText(LogText(64), log_.AppName) : LogText(65);
    if (!complete) {
      text += "\r";
      for (size_t i = 0; i < Result.NotRemoved.size() && i < 10; ++i) text += "\r" + Result.NotRemoved[i];
      if (Result.NotRemoved.size() > 10) text += "\r...";
    }
    if (Result.RestartNeeded) text += "\r\r" + LogText(67);
    p_.Dialogs.MessageBox(text, caption, MB_OK_ | (complete ? MB_ICONINFORMATION_ : MB_ICONEXCLAMATION_));
  } else {
    for (const std::string& what : Result.NotRemoved) std::cerr << "not removed: " << what << std::endl;
  }
  if (Result.Self.Planned()) StartSelfRemoval(Result.Self);
  return code;
}

// ---------------------------------------------------------------- the uninstaller itself

// The copies of earlier removals that could not leave themselves to the
// restart (that needs administrator rights) stay in the temporary folder:
// each one that no longer runs goes now, with its folder once empty.
void TUninstallRun::ClearEarlierCopies(const std::string& temp) {
  IFileSystem& fs = p_.Fs;
  for (const IFileSystem::Entry& e : fs.ListFolder(temp, kCopyFolderPrefix, "")) {
    if (!e.folder || !IsOwnCopyFolderName(e.name)) continue;
    const std::string folder = temp + e.name;
    if (fs.IsReparsePoint(folder)) continue;
    const std::string copy = folder + "\\" + kUninstallerName;
    if (fs.FileExists(copy) && !fs.DeleteFile(copy)) continue;  // still running
    fs.RemoveFolder(folder);
  }
}

void TUninstallRun::StartSelfRemoval(const TSelfRemoval& plan) {
  IFileSystem& fs = p_.Fs;
  // A running program cannot delete its own file. A copy in a private
  // folder of its own waits for this process to end, deletes the
  // original and its emptied folders, and leaves itself to the restart.
  std::string folder;
  const std::string temp = fs.TempFolder();
  if (!temp.empty()) {
    ClearEarlierCopies(WithTrailingBackslash(temp));
    std::random_device random;
    for (int attempt = 0; attempt < 16 && folder.empty(); ++attempt) {
      char name[16];
      std::snprintf(name, sizeof name, "%s%08X", kCopyFolderPrefix, static_cast<unsigned>(random()));
      if (fs.CreatePrivateFolder(WithTrailingBackslash(temp) + name)) folder = WithTrailingBackslash(temp) + name;
    }
  }
  std::string copy;
  if (!folder.empty()) {
    copy = folder + "\\" + kUninstallerName;
    if (!fs.CopyFile(p_.Sys.ProgramFile(), copy)) copy.clear();
  }
  if (!copy.empty()) {
    std::string command = "\"" + copy + "\" " + kFinishSwitch + " " + std::to_string(p_.Sys.ProcessId()) + " \"" +
                          plan.file + "\"";
    for (const std::string& f : plan.folders) command += " \"" + f + "\"";
    if (p_.Shell.StartProcess(copy, command)) {
      SelfRemovalCommand = command;
      return;
    }
    fs.DeleteFile(copy);
  }
  if (!folder.empty()) fs.RemoveFolder(folder);
  // Without the copy the system removes the file and then its folders,
  // in that order, when it starts again.
  fs.DeleteAtRestart(plan.file);
  for (const std::string& f : plan.folders) fs.DeleteAtRestart(f);
}

int TUninstallRun::FinishSelfRemoval() {
  IFileSystem& fs = p_.Fs;
  // "/finishremoval <process id> <file> <folder>...": what the original
  // passed on, checked all the same, since anybody can start this program
  // so: the file can only be an uninstaller, the folders only the ones
  // that hold it, from its own upwards.
  if (args_.size() < 4) return kUninstallFailed;
  const std::string& id = args_[2];
  if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos) return kUninstallFailed;
  const uint64_t pid = std::stoull(id);
  const std::string& file = args_[3];
  if (!WhyNotFullLocalPath(file).empty() || !EqualsIgnoreAsciiCase(ExtractFileName(file), kUninstallerName))
    return kUninstallFailed;
  std::vector<std::string> folders;
  std::string below = file;
  for (size_t i = 4; i < args_.size(); ++i) {
    if (!WhyNotFullLocalPath(args_[i]).empty() || !SameTextIgnoreCase(args_[i], ExtractFileDir(below)))
      return kUninstallFailed;
    folders.push_back(args_[i]);
    below = args_[i];
  }
  if (pid <= UINT32_MAX)
    if (std::unique_ptr<IProcess> original = p_.Shell.OpenProcess(static_cast<uint32_t>(pid)))
      original->Wait(kOriginalWaitMs);
  bool deleted = false;
  for (int attempt = 0; attempt < kDeleteAttempts && !deleted; ++attempt) {
    deleted = !fs.FileExists(file) || fs.DeleteFile(file);
    if (!deleted) Sleep(kDeletePauseMs);
  }
  if (deleted) {
    for (const std::string& f : folders)
      if (fs.IsReparsePoint(f) || !fs.RemoveFolder(f)) break;
  } else {
    fs.DeleteAtRestart(fs.ShortPathName(file));
    for (const std::string& f : folders) fs.DeleteAtRestart(f);
  }
  // This copy and its folder go at the next restart; without the rights
  // for that, the copy stays in the temporary folder. Only a copy made by
  // StartSelfRemoval does so: the program started in any other place stays.
  const std::string self = p_.Sys.ProgramFile();
  const std::string selfFolder = ExtractFileDir(self);
  if (EqualsIgnoreAsciiCase(ExtractFileName(self), kUninstallerName) &&
      IsOwnCopyFolderName(ExtractFileName(selfFolder))) {
    fs.DeleteAtRestart(self);
    fs.DeleteAtRestart(selfFolder);
  }
  return kUninstallDone;
}

}  // namespace stw
