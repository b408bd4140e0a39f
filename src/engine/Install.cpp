#include "engine/Install.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>

#include "base/Text.h"
#include "package/Crc32.h"
#include "package/SafeName.h"
#include "engine/RegistryData.h"
#include "system/Elevation.h"
#include "system/FolderVariables.h"

namespace stw {

namespace {

// Folder trees nest as deep as the product's folders; the reader refuses
// deeper ones already, this is only the engine's own guard.
constexpr int kMaxDepth = 128;

bool IsBareDrive(const std::string& p) {
  return p.size() == 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

// A drive path "X:\\...", a network path "\\\\server\\share...", or a drive's
// root written without its backslash ("D:" for a product installed into
// D:\, as folders are kept without a trailing backslash).
bool IsAbsolutePath(const std::string& p) { return IsBareDrive(p) || IsCompletePath(p); }

}  // namespace

TInstaller::TInstaller(TSetupState& state, IInstallProgress& progress)
    : s_(state), progress_(progress), pkg_(state.Package), staging_(state.P.Fs) {}

std::string TInstaller::FileNameOf(uint16_t index) const { return s_.FileNameOf(index); }

// ---------------------------------------------------------------- the routine

bool TInstaller::Install() {
  {
    // Nothing is known of a run before: the portable routine lists no
    // folder, so its workers ask the file system.
    std::lock_guard<std::mutex> g(knownLock_);
    known_.clear();
    listedFolders_.Clear();
  }
  if (s_.PortableInstall) {
    InstallPortable();
    return true;
  }
  // The product key names registry keys: an empty one, or one with a
  // backslash, would write into (or delete) keys of other products. Refused
  // before anything is written, so that no file is left without its log.
  const std::string& key = s_.Def.ProductKey;
  if (key.empty() || key.find('\\') != std::string::npos)
    throw ESetupException("The setup package is damaged: the product key \"" + key + "\" cannot name a registry key.");
  // Damaged registry data would stop the installation half-way, after the
  // files: they are checked before anything is written.
  CheckRegistryData(s_.Def.RegistryData);
  s_.Missing = {};
  if (s_.Def.DotNetVersions != 0 && !CheckDotNet()) return false;
  if (!RunPrerequisites()) return false;
  installed_.Clear();
  log_.clear();
  fontsInstalled_ = false;
  section_ = -1;

  ResolveApplicationFolder();
  const std::vector<std::string> trusted = TrustedFolders();
  IgnoreForeignLog(trusted);
  registryLog_.Clear();
  for (const std::string& line : s_.PreviousRegistryValues) registryLog_.Add(line);
  ChooseLogPath();
  ApplyComponents();
  AddUninstaller();
  LimitEarlierFiles(trusted);
  CreateFolder(s_.AppFolder, false);  // not collecting: a failure raises and ends the installation
  WriteLogHeader();
  section_ = 0;
  try {
    OpenSharedDlls();
    MarkRepeatedDestinations();
    RemoveLeftovers();

    InstallFiles<TThreadInstallFilesHardDisk>();
    staging_.RemoveAll();
    CreateShortcuts();
    RemoveObsoleteFiles();
    CloseSection();
    ApplyRegistryEntries();
    RegisterUninstall();
    CloseSection();
    RegisterFileTypes();
    CloseSection();
    RegisterComponents();
    CloseSection();
    // Inside: a save that fails is tried once more by the failure path, so
    // that the log on the disk names what is on the disk, not what the
    // earlier installation left.
    SaveLog();
  } catch (...) {
    // Whatever stops the installation once files are being written, the
    // log and the uninstall entry must name what is on the disk now, so
    // that the product can still be removed; the error itself goes on.
    staging_.RemoveAll();
    SaveLogAfterFailure();
    throw;
  }
  GrantUsersAccess();
  RunCommands();
  return true;
}

void TInstaller::CloseSection() {
  // The registry section is the sorted list of every value logged.
  if (section_ == 1)
    for (const std::string& line : registryLog_) log_.push_back(line);
  log_.push_back("%%%");
  ++section_;
}

void TInstaller::SaveLogAfterFailure() {
  try {
    std::lock_guard<std::mutex> g(fileLock_);
    if (section_ == 0) {
      // The earlier installation's files that this run did not reach stay
      // in the log: they are still there, and still the product's.
      for (const std::string& p : installed_) s_.PreviousFiles.Remove(p);
      for (const std::string& p : s_.PreviousFiles) log_.push_back(p);
    }
    if (section_ <= 1 && !uninstallRegistered_) RegisterUninstall();
    while (section_ < 4) {
      if (section_ == 2 && !fileTypesLogged_) {
        // Associations the earlier installation made are carried over, so
        // that the uninstaller can still restore what they replaced.
        for (auto& [display, type] : s_.Def.FileTypes)
          if (type.FromPreviousLog) LogCarriedFileType(type);
      }
      CloseSection();
    }
    SaveLog();
  } catch (...) {
    // The first failure is the one to report.
  }
}

void TInstaller::ResolveApplicationFolder() {
  bool shared = false, font = false;
  FolderContext ctx = s_.Folder();
  const std::string app = ExpandFolderPath("%APPFOLDER%", ctx, shared, font);
  s_.AppFolder = app == "%APPFOLDER%" ? s_.Folders.Windows : WithoutTrailingBackslashes(app);
  if (!IsAbsolutePath(s_.AppFolder))
    throw ESetupException("The application folder \"" + s_.AppFolder + "\" is not a complete path.");
}

// ---------------------------------------------------------------- the earlier log's paths

std::vector<std::string> TInstaller::TrustedFolders() const {
  const SystemFolders& f = s_.Folders;
  std::vector<std::string> system;
  for (const std::string& folder : {f.Windows, f.System, f.ProgramFiles, f.CommonFiles})
    if (auto plain = NormalisedCompletePath(folder)) system.push_back(*plain);
  std::vector<std::string> trusted;
  for (const auto& [name, variable] : s_.Def.FolderVariables) {
    if (variable.FromEarlierLog) continue;
    std::string path = PathFor(variable, s_.Def.UserType);
    if (IsBareDrive(path)) path += '\\';
    const std::optional<std::string> plain = NormalisedCompletePath(path);
    if (!plain) continue;
    // A folder that is or holds one of the system's own (a log that named
    // C:\Windows or the system drive's root as the application folder)
    // vouches for nothing.
    const bool holdsSystem = std::any_of(system.begin(), system.end(), [&](const std::string& sys) {
      return SameTextIgnoreCase(sys, *plain) || IsBelowFolder(sys, *plain);
    });
    if (!holdsSystem) trusted.push_back(*plain);
  }
  return trusted;
}

bool TInstaller::ReachedPlainly(const std::string& path, const std::vector<std::string>& trusted,
                                TSortedStrings& plainFolders) {
  for (const std::string& folder : trusted) {
    if (!IsBelowFolder(path, folder)) continue;
    // Every folder below the trusted one, and the file itself, must be a
    // real entry: a junction or link there would lead the deletion out.
    std::string at = WithoutTrailingBackslashes(folder);
    size_t pos = at.size() + 1;
    bool plain = true;
    while (plain && pos <= path.size()) {
      size_t end = path.find('\\', pos);
      if (end == std::string::npos) end = path.size();
      at = path.substr(0, end);
      const bool isFile = end == path.size();
      if (isFile || !plainFolders.Contains(at)) {
        plain = !s_.P.Fs.IsReparsePoint(at);
        if (plain && !isFile) plainFolders.Add(at);
      }
      pos = end + 1;
    }
    if (plain) return true;
  }
  return false;
}

void TInstaller::IgnoreForeignLog(const std::vector<std::string>& trusted) {
  // Anyone can point their own product value at a log they wrote: for an
  // installation with the machine's rights such a log counts only where
  // this installation's own folders vouch for it.
  if (s_.Def.UserType != 1 || !s_.LogPathFromCurrentUser || s_.LogPath.empty()) return;
  const std::optional<std::string> plain = NormalisedCompletePath(s_.LogPath);
  TSortedStrings checked;
  if (plain && ReachedPlainly(*plain, trusted, checked)) return;
  s_.LogPath.clear();
  s_.PreviousFiles.Clear();
  s_.PreviousRegistryValues.Clear();
}

void TInstaller::LimitEarlierFiles(const std::vector<std::string>& trusted) {
  // A file that this installation writes again is kept whatever its
  // folder: it is never removed as obsolete, and its shared count must see
  // that the earlier installation had it.
  if (s_.PreviousFiles.Empty()) return;
  TSortedStrings writtenAgain;
  for (const TFileData* f : files_) writtenAgain.Add(f->DestPath);
  TSortedStrings kept, plainFolders;
  for (const std::string& p : s_.PreviousFiles)
    if (writtenAgain.Contains(p) || ReachedPlainly(p, trusted, plainFolders)) kept.Add(p);
  s_.PreviousFiles = std::move(kept);
}

void TInstaller::ChooseLogPath() {
  if (!s_.LogPath.empty()) {
    if (!SameTextIgnoreCase(ExtractFilePath(s_.LogPath), s_.AppFolder + "\\")) {
      // The path comes from the registry: only a file that was read as a
      // log and is named like one is ever deleted.
      const std::string name = AsciiLower(ExtractFileName(s_.LogPath));
      if (s_.PreviousFound && StartsWith(name, "stowa") && EndsWith(name, ".log")) RemoveFile(s_.LogPath);
      s_.LogPath.clear();
    }
  }
  if (s_.LogPath.empty()) {
    s_.LogPath = s_.AppFolder + "\\Stowa.log";
    for (int n = 2; s_.P.Fs.FileExists(s_.LogPath); ++n) s_.LogPath = s_.AppFolder + "\\Stowa" + std::to_string(n) + ".log";
  }
}

void TInstaller::ApplyComponents() {
  files_.clear();
  shortcuts_.clear();
  urls_.clear();
  mainShortcut_ = nullptr;
  const FolderContext ctx = s_.Folder();
  for (size_t c = 0; c < s_.Def.Components.size(); ++c) {
    TComponentData& comp = s_.Def.Components[c];
    if (!(comp.Selected || comp.Required) || !comp.RootFolder) continue;
    TComponentFolder& root = *comp.RootFolder;
    if (!root.Files.empty())
      throw ESetupException("The setup package is damaged: component " + comp.Name +
                            " has files outside any destination folder.");
    for (size_t i = 0; i < root.Folders.size(); ++i) {
      // A top-level folder is written as a folder variable and a path below
      // it; "..", a drive or a device there would install anywhere.
      const std::string why = WhyUnsafeRootFolder(root.Folders[i]->Name, ctx);
      if (!why.empty())
        throw ESetupException("The setup package is damaged: the destination folder \"" + root.Folders[i]->Name +
                              "\" of component " + comp.Name + " is not a folder below its folder variable (" + why +
                              ").");
      const FolderFlags& flags = s_.Roots.flags.at(c).at(i);
      ApplyFolder(*root.Folders[i], s_.Roots.resolvedRoots.at(c).at(i), flags.shared, flags.font, 0);
    }
  }
}

void TInstaller::ApplyFolder(TComponentFolder& folder, const std::string& path, bool shared, bool font, int depth) {
  if (depth > kMaxDepth) throw ESetupException("The setup package is damaged: folders nested too deeply.");
  if (!IsAbsolutePath(path))
    throw ESetupException("The destination folder \"" + path + "\" of the setup package is not known on this computer.");
  const std::string p = path.empty() || path.back() == '\\' ? path : path + "\\";
  for (auto& child : folder.Folders) {
    const std::string why = WhyUnsafeName(child->Name);
    if (!why.empty())
      throw ESetupException("The setup package is damaged: the folder name \"" + child->Name + "\" in " + path +
                            " is not a plain folder name (" + why + ").");
    ApplyFolder(*child, p + child->Name, shared, font, depth + 1);
  }
  for (TFileData& f : folder.Files) {
    const std::string name = FileNameOf(f.DataIndex);
    const std::string why = WhyUnsafeName(name);
    if (!why.empty())
      throw ESetupException("The setup package is damaged: the file name \"" + name + "\" for " + path +
                            " is not a plain file name (" + why + ").");
    f.Shared = shared;
    if (font) f.Font = f.Permanent = true;
    f.DestPath = p + name;
    pkg_.Tables.InstalledPaths[f.DataIndex] = f.DestPath;
    // After the last entry whose data index is not greater: package order.
    auto at = std::upper_bound(files_.begin(), files_.end(), f.DataIndex,
                               [](uint16_t idx, const TFileData* e) { return idx < e->DataIndex; });
    files_.insert(at, &f);
  }
  // A portable installation leaves the computer as it was: no shortcuts.
  if (s_.PortableInstall) return;
  auto checkName = [&](const std::string& name, const char* what) {
    const std::string why = WhyUnsafeName(name);
    if (!why.empty())
      throw ESetupException("The setup package is damaged: the " + std::string(what) + " name \"" + name + "\" in " +
                            path + " is not a plain file name (" + why + ").");
  };
  const bool desktop = SameTextIgnoreCase(folder.Name, "%DESKTOP%");
  for (TShortcutData& sc : folder.Shortcuts) {
    if (sc.Target >= pkg_.Tables.FileUsed.size() || !pkg_.Tables.FileUsed[sc.Target]) continue;
    if (!sc.Name.empty()) checkName(sc.Name + ".lnk", "shortcut");
    sc.LinkPath = p + ChangeFileExt(FileNameOf(sc.Target), ".lnk");
    shortcuts_.push_back(&sc);
    if (desktop) mainShortcut_ = &sc;
  }
  for (TURLData& u : folder.Urls) {
    checkName(u.Name + ".url", "internet shortcut");
    u.LinkPath = p + u.Name + ".url";
    urls_.push_back(&u);
  }
}

void TInstaller::AddUninstaller() {
  const char* name = s_.P.Sys.MajorVersion() < 6 ? "UnStowaXP.exe" : "UnStowa32.exe";
  const auto& names = s_.Def.PackageFileNames;
  const auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end())
    throw ESetupException(std::string("The setup package carries no uninstaller (") + name + ").");
  uninstaller_ = TFileData{};
  uninstaller_.DataIndex = static_cast<uint16_t>(pkg_.TempFileNames.size() + (it - names.begin()));
  uninstaller_.DestPath = s_.AppFolder + "\\UnStowa.exe";
  uninstaller_.OverwriteMode = 1;
  uninstaller_.Shared = true;
  pkg_.Tables.InstalledPaths[uninstaller_.DataIndex] = uninstaller_.DestPath;
  files_.insert(files_.begin(), &uninstaller_);
  if (s_.Def.UninstallShortcut) {
    TShortcutData& sc = uninstallerShortcut_;
    sc = TShortcutData{};
    sc.Target = uninstaller_.DataIndex;
    bool shared = false, font = false;
    sc.LinkPath = ExpandFolderPath("%APPMENU%\\UnStowa.lnk", s_.Folder(), shared, font);
    sc.Arguments = "\"" + s_.LogPath + "\"";
    sc.Name = FormatPattern(s_.IString(kStrUninstallLink), {s_.Def.ProductKey});
    sc.Description = FormatPattern(s_.IString(kStrUninstallerFirst), {s_.Def.AppName});
    sc.IconFile = kNoIndex;
    sc.StartPinOption = 1;
    // Without a menu folder for this user type there is nowhere to put it.
    if (!StartsWith(sc.LinkPath, "%")) shortcuts_.push_back(&sc);
  }
}

void TInstaller::OpenSharedDlls() {
  if (s_.Def.UserType == 2) {
    sharedRoot_ = RegRoot::CurrentUser;
    sharedDllsOpen_ = s_.P.Reg.CreateKey(sharedRoot_, kSharedDllsKey);
  } else {
    sharedRoot_ = RegRoot::LocalMachine;
    sharedDllsOpen_ = s_.P.Reg.CanWrite(sharedRoot_, kSharedDllsKey);
  }
  sharedNames_.reset();
  if (!sharedDllsOpen_) return;
  // A machine counts a few thousand shared files at most; a key holding
  // more than this is asked file by file instead.
  constexpr size_t kMostNames = 1u << 20;
  const auto names = s_.P.Reg.ValueNames(sharedRoot_, kSharedDllsKey, kMostNames);
  if (!names || names->size() >= kMostNames) return;
  sharedNames_.emplace();
  for (const std::string& n : *names) sharedNames_->Add(n);
}

// What a worker puts in place needs remembering only where another entry
// has the same destination; found by the hashes of the case keys (a
// collision only remembers more than needed), so that an installation of
// many files does not keep a second table of all their paths.
void TInstaller::MarkRepeatedDestinations() {
  std::vector<std::pair<size_t, TFileData*>> hashes;
  hashes.reserve(files_.size());
  for (TFileData* f : files_) hashes.emplace_back(std::hash<std::string>{}(CaseKey(f->DestPath)), f);
  std::sort(hashes.begin(), hashes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0, end; i < hashes.size(); i = end) {
    for (end = i + 1; end < hashes.size() && hashes[end].first == hashes[i].first; ++end) {
    }
    for (size_t k = i; k < end; ++k) hashes[k].second->RepeatedDest = end - i > 1;
  }
}

void TInstaller::RemoveLeftovers() {
  // A killed run leaves its temporary files beside the files it was
  // writing; they go before the workers start, while no worker of this run
  // has a temporary file of its own there. The same one listing of each
  // folder tells the workers what stands at their destinations.
  TSortedStrings folders;
  folders.Add(s_.AppFolder);
  for (const TFileData* f : files_) folders.Add(ExtractFileDir(f->DestPath));
  std::lock_guard<std::mutex> g(knownLock_);
  for (const std::string& folder : folders) listedFolders_.Add(WithTrailingBackslash(folder));
  std::unordered_map<std::string, size_t> entries;  // per folder, with trailing backslash
  RemoveLeftoverTempFiles(s_.P.Fs, folders.Items(), [&](const std::string& dir, const IFileSystem::Entry& e) {
    TKnownEntry k;
    k.file = !e.folder && !e.link;
    k.readOnly = e.readOnly;
    k.link = e.link;
    known_[dir + e.name] = k;
    ++entries[dir];
  });
  // What each folder will hold: what stands there and what comes (a file
  // that replaces one counts twice, which errs on the side of staging).
  for (const TFileData* f : files_) ++entries[ExtractFilePath(f->DestPath)];
  for (const auto& [dir, count] : entries)
    if (count >= s_.StagingFrom) staging_.Allow(WithoutTrailingBackslashes(dir));
}

std::optional<TKnownEntry> TInstaller::Known(const std::string& path) {
  std::lock_guard<std::mutex> g(knownLock_);
  if (!listedFolders_.Contains(ExtractFilePath(path))) return std::nullopt;
  const auto it = known_.find(path);
  return it == known_.end() ? TKnownEntry{} : it->second;
}

void TInstaller::SetKnown(const std::string& path, TKnownEntry entry) {
  std::lock_guard<std::mutex> g(knownLock_);
  if (listedFolders_.Contains(ExtractFilePath(path))) known_[path] = entry;
}

// ---------------------------------------------------------------- folders and errors

bool TInstaller::CreateFolder(const std::string& path, bool collect) {
  IFileSystem& fs = s_.P.Fs;
  std::vector<std::string> missing;
  std::string p = WithoutTrailingBackslashes(path);
  if (IsBareDrive(p)) p += '\\';  // "D:" alone would name the drive's current folder
  while (!p.empty() && !fs.DirectoryExists(p)) {
    missing.push_back(p);
    const std::string parent = ExtractFileDir(p);
    if (parent.empty() || parent == p || parent.size() < 2) break;
    p = parent;
  }
  bool ok = true;
  for (auto it = missing.rbegin(); it != missing.rend() && ok; ++it)
    ok = fs.CreateFolder(*it) || fs.DirectoryExists(*it);  // another worker may have made it
  if (ok) return true;
  const std::string text = FormatPattern(s_.IString(kStrFolderError), {path});
  if (!collect) throw ESetupException(text);
  std::lock_guard<std::mutex> g(errorLock_);
  errors_ += text + "\r\r";
  return false;
}

void TInstaller::ReportError(const std::string& text, bool fromWorker) {
  errorShown_ = true;
  const std::string message = FormatPattern(s_.IString(kStrErrorIntro), {s_.Def.AppName}) + "\r\r" + text + "\r\r" +
                              s_.IString(kStrErrorQuestion);
  progress_.ErrorState(true);
  const int answer = s_.P.Dialogs.MessageBox(message, s_.WindowCaption(), MB_YESNO_ | MB_ICONERROR_);
  if (answer == IDYES_) {
    progress_.ErrorState(false);
    return;
  }
  // "No", and an unattended run where nobody can answer, both stop.
  aborted_ = true;
  if (!fromWorker) throw EAbortInstallation();
}

// ---------------------------------------------------------------- worker pool

void IInstallProgress::Idle(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class Worker>
void TInstaller::RunWorkers() {
  errors_.clear();
  fileErrors_.clear();
  fileIndex_ = -1;
  aborted_ = false;
  unsigned count = pkg_.VolumeSize != 0 ? 1 : std::max(1u, s_.P.Sys.UsableProcessors());
  count = std::min<unsigned>(count, static_cast<unsigned>(files_.size()));
  workerCount_ = count;
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<std::thread> threads;
  std::atomic<unsigned> finished{0};
  for (unsigned i = 0; i < count; ++i) {
    workers.push_back(std::make_unique<Worker>(*this));
    Worker* w = workers.back().get();
    threads.emplace_back([w, &finished] {
      w->Execute();
      ++finished;
    });
  }
  for (;;) {
    const bool done = finished.load() == count;
    if (!aborted_) {
      std::string folders, files;
      {
        std::lock_guard<std::mutex> g(errorLock_);
        folders.swap(errors_);
        files.swap(fileErrors_);
      }
      // Folder failures carry the closing line about folders; a file that
      // could not be written is reported in its own words.
      if (!folders.empty()) files += folders + s_.IString(kStrFoldersFailed);
      if (!files.empty()) ReportError(files, true);
    }
    if (done) break;
    progress_.Idle(10);
  }
  for (auto& t : threads) t.join();
  workers.clear();
  if (aborted_) throw EAbortInstallation();
}

void TThreadInstallFiles::Execute() {
  TInstaller& o = owner_;
  o.lastProgressTick_ = o.s_.P.Sys.TickCount();
  const std::string installing = o.s_.IString(kStrInstallingFile);
  for (int i = ++o.fileIndex_; i < static_cast<int>(o.files_.size()) && !o.aborted_; i = ++o.fileIndex_) {
    Entry = o.files_[i];
    {
      std::lock_guard<std::mutex> g(o.progressLock_);
      o.progress_.Status(FormatPattern(installing, {Entry->DestPath}));
    }
    // No exception may leave a worker thread: whatever goes wrong with one
    // file joins the list that the pool shows, and the worker goes on.
    try {
      known_ = o.Known(Entry->DestPath);
      if (!known_) {
        known_.emplace();
        known_->file = o.s_.P.Fs.FileExists(Entry->DestPath);
        known_->readOnly = known_->file && o.s_.P.Fs.IsReadOnly(Entry->DestPath);
      }
      Existed = known_->file;
      Failed = false;
      try {
        if (o.ShouldWrite(*Entry, Existed))
          InstallFile();
        else
          KeepFile();
      } catch (const std::exception& e) {
        Failed = true;
        // A folder that could not be created was reported already; the
        // files that were to go into it add nothing to that.
        if (!folderFailed_) {
          std::lock_guard<std::mutex> g(o.errorLock_);
          o.fileErrors_ += std::string(e.what()) + "\r\r";
        }
      }
      if (Failed) {
        // A file that is not there is not the product's: no log line, no
        // shared count, no command, and no shortcut or icon that names it.
        // The earlier installation's copy, left intact, stays its own (and
        // is not removed as obsolete).
        // A file that is there although none was before was put there by
        // this run (its close failed after it was in place): it is the
        // product's too, so that the uninstaller removes it.
        const bool there = !known_->link && o.s_.P.Fs.FileExists(Entry->DestPath);
        std::lock_guard<std::mutex> g(o.fileLock_);
        if (there && (!Existed || o.s_.PreviousFiles.Contains(Entry->DestPath))) {
          o.NoteInstalled(Entry->DestPath);
          o.log_.push_back(Entry->DestPath);
        } else if (!there) {
          o.pkg_.Tables.InstalledPaths[Entry->DataIndex].clear();
        }
      } else {
        AfterInstallFile();
        o.QueueCommand(*Entry);
        // The product's programs may write where Controlled Folder Access
        // guards, when the setup asks for that.
        if ((o.s_.Def.CfaOptions & 8) && EndsWith(AsciiLower(Entry->DestPath), ".exe"))
          AllowThroughCfa(o.s_, Entry->DestPath, true);
      }
      PendingKB += static_cast<uint64_t>(o.pkg_.Tables.FileSizes[Entry->DataIndex]) / 1024;
      const uint64_t now = o.s_.P.Sys.TickCount();
      // Signed: another worker may have stored a later tick meanwhile.
      if (static_cast<int64_t>(now - o.lastProgressTick_) > 100) {
        std::lock_guard<std::mutex> g(o.progressLock_);
        o.progress_.Advance(PendingKB);
        PendingKB = 0;
        o.lastProgressTick_ = now;
      }
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(o.errorLock_);
      o.fileErrors_ += std::string(e.what()) + "\r\r";
    }
  }
}

// ---------------------------------------------------------------- one file

bool TInstaller::ShouldWrite(TFileData& e, bool existed) {
  if (!existed) return true;
  if (e.OverwriteMode == 1) {
    const uint64_t pkgVersion = pkg_.Tables.FileVersions[e.DataIndex];
    const bool hasVersion = (pkgVersion & 0xFFFFFFFFull) != 0xFFFFFFFFull;
    std::optional<uint64_t> existing = hasVersion ? s_.P.Fs.FileVersion(e.DestPath) : std::nullopt;
    bool newer;
    if (existing) {
      const uint32_t pMs = static_cast<uint32_t>(pkgVersion >> 32), pLs = static_cast<uint32_t>(pkgVersion);
      const uint32_t eMs = static_cast<uint32_t>(*existing >> 32), eLs = static_cast<uint32_t>(*existing);
      newer = pMs == eMs ? pLs > eLs : pMs > eMs;
    } else {
      const std::optional<double> t = s_.P.Fs.LastWriteTime(e.DestPath);
      newer = !t || *t < pkg_.Tables.FileTimes[e.DataIndex];
    }
    if (!newer) return false;
  } else if (e.OverwriteMode != 0) {
    return false;
  }
  return !SameContent(e.DestPath, e.DataIndex);
}

bool TInstaller::SameContent(const std::string& path, int index) {
  std::unique_ptr<IReadFile> f = s_.P.Fs.OpenRead(path);
  if (!f || f->Size() != static_cast<uint64_t>(pkg_.Tables.FileSizes[index])) return false;
  std::vector<uint8_t> buf(65536);
  uint32_t crc = 0;
  for (size_t n; (n = f->Read(buf.data(), buf.size())) > 0;) crc = Crc32(buf.data(), n, crc);
  return crc == pkg_.Tables.FileChecksums[index];
}

bool TThreadInstallFilesHardDisk::PutInPlace(bool fallback) {
  TInstaller& o = owner_;
  IFileSystem& fs = o.s_.P.Fs;
  TFileData& e = *Entry;
  if (known_->link)
    // Never written through, nor replaced: what a link leads to is not the
    // product's.
    throw ESetupException(FormatPattern(o.s_.IString(kStrCreateError), {e.DestPath}) +
                          "  (A link stands at the name of the file.)");
  if (Existed && known_->readOnly) fs.SetReadOnly(e.DestPath, false);
  Folder = ExtractFileDir(e.DestPath);
  if (Folder != LastFolder) {
    LastFolder = Folder;
    folderFailed_ = !o.CreateFolder(Folder, true);
  }
  const TFileTables& t = o.pkg_.Tables;
  bool elsewhere = false;
  if (t.FileOffsets[e.DataIndex] == -1) {
    // Not read from the package: a support file extracted at start-up is
    // copied from the temporary folder; a file the package names but does
    // not carry lies beside the installer file.
    const auto& temps = o.pkg_.TempFilePaths;
    const bool support = e.DataIndex < temps.size();
    const std::string source =
        support ? temps[e.DataIndex] : ExtractFilePath(o.s_.SetupFile) + o.FileNameOf(e.DataIndex);
    const double time = t.FileTimes[e.DataIndex];
    // Like an extracted file: replaced whole, or at the restart when in use.
    std::unique_ptr<IReadFile> in = fs.OpenRead(source);
    std::string error, restartFrom;
    if (!in || !WriteFileWhole(
                   fs, e.DestPath,
                   [&](IWriteFile& out) {
                     std::vector<uint8_t> buf(1 << 20);
                     uint64_t size = 0;
                     uint32_t crc = 0;
                     for (size_t n; (n = in->Read(buf.data(), buf.size())) > 0;) {
                       if (!out.Write(buf.data(), n)) return false;
                       size += n;
                       crc = Crc32(buf.data(), n, crc);
                     }
                     // The copy in the temporary folder may have changed
                     // since it was checked: what is installed is checked
                     // again as it is copied.
                     if (support) o.pkg_.CheckAgainstTables(e.DataIndex, size, crc, o.FileNameOf(e.DataIndex));
                     out.SetLastWriteTime(time);
                     return true;
                   },
                   error, fallback ? &restartFrom : nullptr, &o.staging_))
      throw ESetupException(FormatPattern(o.s_.IString(kStrCreateError), {e.DestPath}) + "  (" + source + ")" +
                            (error.empty() ? "" : "  " + error));
    elsewhere = !restartFrom.empty();
  } else {
    std::string target = e.DestPath;
    o.pkg_.ExtractPackageFile(target, e.DataIndex, fallback, &buffers_, &o.staging_);
    elsewhere = target != e.DestPath;
  }
  if (!elsewhere && e.RepeatedDest) o.SetKnown(e.DestPath, TKnownEntry{true, false, false});
  return elsewhere;
}

void TThreadInstallFilesHardDisk::InstallFile() {
  TInstaller& o = owner_;
  TFileData& e = *Entry;
  if (PutInPlace(true)) {
    std::lock_guard<std::mutex> g(o.fileLock_);
    o.s_.RebootNeeded = true;
    return;  // nothing to register until the file is there
  }
  if (e.SelfRegister) {
    std::lock_guard<std::mutex> g(o.selfRegLock_);
    o.selfReg_.push_back(e.DestPath);
  }
  if (e.Font) o.InstallFont(e.DestPath);
}

// A file kept as it is is still logged as this installation's, so its
// registration must be logged too: registered again (which changes nothing
// for a file already registered), it stays in the log's registrations, and
// the uninstaller that removes the file undoes its registration as well.
// Otherwise an update that keeps an unchanged component would drop it from
// the log and leave its registration behind after the uninstall.
void TThreadInstallFilesHardDisk::KeepFile() {
  TInstaller& o = owner_;
  if (!Entry->SelfRegister || !Existed) return;
  std::lock_guard<std::mutex> g(o.selfRegLock_);
  o.selfReg_.push_back(Entry->DestPath);
}

void TThreadInstallFilesPortable::InstallFile() {
  // A locked file on the portable drive is an error: there is no restart
  // that would replace it there.
  PutInPlace(false);
}


void TThreadInstallFilesHardDisk::AfterInstallFile() {
  TInstaller& o = owner_;
  TFileData& e = *Entry;
  std::lock_guard<std::mutex> g(o.fileLock_);
  const bool inPrevious = o.s_.PreviousFiles.Contains(e.DestPath);
  IRegistry& reg = o.s_.P.Reg;
  if (o.sharedDllsOpen_) {
    const bool counted = !o.sharedNames_ || o.sharedNames_->Contains(e.DestPath);
    const std::optional<uint32_t> stored =
        counted ? reg.ReadDword(o.sharedRoot_, kSharedDllsKey, e.DestPath) : std::nullopt;
    uint32_t count;
    if (stored) {
      e.Shared = true;
      if (inPrevious) {
        count = std::max<uint32_t>(*stored, 1);
      } else {
        count = *stored + 1;
        if (Existed && count < 2) count = 2;
      }
    } else {
      count = Existed && !inPrevious ? 2 : 1;
    }
    if (e.Shared && reg.WriteDword(o.sharedRoot_, kSharedDllsKey, e.DestPath, count) && o.sharedNames_)
      o.sharedNames_->Add(e.DestPath);
  }
  if (e.Permanent) {
    o.s_.PreviousFiles.Remove(e.DestPath);
    return;
  }
  o.NoteInstalled(e.DestPath);
  o.log_.push_back(e.DestPath);
  if (EndsWith(AsciiLower(e.DestPath), ".hlp"))
    o.log_.push_back(ChangeFileExt(e.DestPath, ".gid"));
}

// ---------------------------------------------------------------- commands

std::string AddPerUserToRegserver(const std::string& params) {
  const std::string lower = AsciiLower(params);
  const std::string word = "regserver";
  for (size_t pos = lower.size(); pos-- > 0;) {
    if ((lower[pos] != '-' && lower[pos] != '/') || lower.compare(pos + 1, word.size(), word) != 0) continue;
    const size_t end = pos + 1 + word.size();
    if (end < lower.size()) {
      const char c = lower[end];
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') continue;
    }
    return params.substr(0, end) + "peruser" + params.substr(end);
  }
  return params;
}

std::string TInstaller::CommandFor(const TFileData& e) {
  if (!e.RunAfter) return {};
  std::string params = e.RunParams;
  if (s_.Def.UserType == 2) params = AddPerUserToRegserver(params);
  std::string cmd = QuotedIfSpaced(e.DestPath);
  if (!params.empty()) {
    cmd += ' ';
    cmd += ExpandVariables(params, s_.Folder());
  }
  return cmd;
}

void TInstaller::QueueCommand(const TFileData& e) {
  if (!e.RunAfter) return;
  const std::string cmd = CommandFor(e);
  std::lock_guard<std::mutex> g(commandLock_);
  if (e.RunQueueFlag) {
    queue2_.push_back(cmd);
    if (e.RunPathFlag) pathQueue_.push_back(e.DestPath);
  } else {
    queue1_.push_back(cmd);
  }
}

// ---------------------------------------------------------------- obsolete files

void TInstaller::RemoveObsoleteFiles() {
  for (const std::string& p : installed_) s_.PreviousFiles.Remove(p);
  std::vector<std::string> remaining = s_.PreviousFiles.Items();
  if (s_.Def.SetupOptionBits & 1) {
    std::vector<std::string> toRemove;
    for (auto it = remaining.rbegin(); it != remaining.rend(); ++it) {
      if (sharedDllsOpen_) {
        if (const auto count = s_.P.Reg.ReadDword(sharedRoot_, kSharedDllsKey, *it)) {
          if (*count == 1) {
            s_.P.Reg.DeleteValue(sharedRoot_, kSharedDllsKey, *it);
          } else if (*count > 1) {
            s_.P.Reg.WriteDword(sharedRoot_, kSharedDllsKey, *it, *count - 1);
            continue;  // other products still use it
          }
        }
      }
      toRemove.push_back(*it);
    }
    std::reverse(toRemove.begin(), toRemove.end());
    if (!toRemove.empty()) {
      progress_.Stage(IInstallProgress::StageKind::Other, s_.IString(kStrRemovingObsolete), toRemove.size());
      for (const std::string& p : toRemove) {
        RemoveFile(p);
        progress_.Advance(1);
      }
      progress_.Complete();
    }
  } else {
    for (const std::string& p : remaining) log_.push_back(p);
  }
}

void TInstaller::RemoveFile(const std::string& path) {
  IFileSystem& fs = s_.P.Fs;
  // A link is never followed, nor removed in place of what it names.
  if (!fs.FileExists(path) || fs.IsReparsePoint(path)) return;
  if (!fs.DeleteFile(path)) {
    fs.DeleteAtRestart(fs.ShortPathName(path));
    return;
  }
  const std::vector<std::string> protectedFolders = ProtectedFolders();
  for (std::string folder = ExtractFileDir(path); folder.size() > 2; folder = ExtractFileDir(folder)) {
    const std::string bare = WithoutTrailingBackslashes(folder);
    for (const std::string& p : protectedFolders)
      if (SameTextIgnoreCase(bare, p)) return;
    if (fs.IsReparsePoint(bare) || !fs.RemoveFolder(bare)) return;
  }
}

template <class Worker>
void TInstaller::InstallFiles() {
  s_.BytesTotal = 0;
  for (const TFileData* f : files_) s_.BytesTotal += static_cast<uint64_t>(pkg_.Tables.FileSizes[f->DataIndex]);
  if (files_.empty()) return;
  progress_.Stage(IInstallProgress::StageKind::Files, "", s_.BytesTotal / 1024);
  RunWorkers<Worker>();
  progress_.Complete();
}

// The portable routine runs the file stage with its own workers.
template void TInstaller::InstallFiles<TThreadInstallFilesPortable>();

}  // namespace stw
