// What both fuzzers share: the simulated machine an installer file is read
// on, and the promises of the reader that hold whenever it returns without
// raising ESetupException. A broken promise aborts the run like a crash,
// so the fuzzer keeps the input that broke it.
#pragma once
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MemoryFileSystem.h"
#include "base/Text.h"
#include "package/Definition.h"
#include "package/Package.h"

namespace stw::fuzz {

inline const std::string kSetupFile = "C:\\Setup\\setup.exe";
inline const std::string kTempFolder = "C:\\Temp\\";

[[noreturn]] inline void Broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "broken promise of the reader: %s (%s)\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define STW_EXPECT(cond, detail)                     \
  do {                                               \
    if (!(cond)) ::stw::fuzz::Broken(#cond, detail); \
  } while (0)

// One unattended machine with the input as its installer file. With
// `volumes` > 1, the volume files 2 to `volumes` exist too and hold the
// same bytes, so reads that cross into later volumes are exercised; the
// volume after them is missing and its prompt fails at once.
struct Machine {
  MemoryFileSystem fs;
  NoDialogs dialogs;
  TSetupPackage pkg{fs, dialogs};
  TSetupDefinition def;

  Machine(const uint8_t* data, size_t size, int volumes = 1) {
    fs.AddDirectory(kTempFolder);
    fs.AddBorrowedFile(kSetupFile, data, size);
    for (int k = 2; k <= volumes; ++k) fs.AddBorrowedFile(VolumeFileName(kSetupFile, k), data, size);
    pkg.SetupFile = kSetupFile;
    pkg.TempFolder = kTempFolder;
    pkg.WindowCaption = "Setup";
  }
};

inline void CheckFolder(const Machine& m, const TComponentFolder& folder, bool noDesktop, int depth) {
  STW_EXPECT(depth <= 130, "depth " + std::to_string(depth));
  const TFileTables& t = m.pkg.Tables;
  for (const TFileData& f : folder.Files) {
    STW_EXPECT(f.DataIndex < t.Count(), "file entry " + std::to_string(f.DataIndex));
    STW_EXPECT(t.FileUsed[f.DataIndex] == 1, "file entry " + std::to_string(f.DataIndex));
  }
  for (const auto& child : folder.Folders) {
    STW_EXPECT(child != nullptr, folder.Name);
    if (noDesktop) STW_EXPECT(!EqualsIgnoreAsciiCase(child->Name, "%DESKTOP%"), folder.Name);
    CheckFolder(m, *child, noDesktop, depth + 1);
  }
}

// A support file that was extracted lies directly in the temporary folder
// (its name came from the package) and exists there.
inline void CheckSupportFile(const Machine& m, int index, const char* what) {
  if (index < 0) return;
  const auto& paths = m.pkg.TempFilePaths;
  STW_EXPECT(static_cast<size_t>(index) < paths.size(), what);
  const std::string& path = paths[index];
  STW_EXPECT(path != "*", what);
  STW_EXPECT(EqualsIgnoreAsciiCase(ExtractFilePath(path), kTempFolder), std::string(what) + ": " + path);
  STW_EXPECT(m.fs.Content(path) != nullptr, std::string(what) + ": " + path);
}

// The promises of a definition read to its end.
inline void CheckDefinition(const Machine& m, const TSetupReader::Options& opt) {
  const TSetupPackage& p = m.pkg;
  const TSetupDefinition& d = m.def;
  const TFileTables& t = p.Tables;
  STW_EXPECT(p.TablesLoaded, "tables");
  STW_EXPECT(p.TempFileNames.size() == p.TempFilePaths.size(), "support file lists");
  STW_EXPECT(t.Count() == p.TempFileNames.size() + d.PackageFileNames.size(), "table size");
  const size_t n = t.Count();
  STW_EXPECT(t.FileSizes.size() == n && t.FileStoredSizes.size() == n && t.FileTimes.size() == n &&
                 t.FileVersions.size() == n && t.FileChecksums.size() == n && t.InstalledPaths.size() == n &&
                 t.FileUsed.size() == n,
             "table columns");
  for (size_t i = 0; i < p.TempFilePaths.size(); ++i)
    if (p.TempFilePaths[i] != "*") STW_EXPECT(t.FileOffsets[i] == -1, "support file " + std::to_string(i));

  if (opt.silent) {
    STW_EXPECT(d.ReadmeIndex == -1 && !d.HasReadme, "silent readme");
    STW_EXPECT(d.LicenseIndex == -1, "silent licence");
    STW_EXPECT(d.BackgroundImageIndex == -1, "silent background image");
  }
  if (d.HasReadme) CheckSupportFile(m, d.ReadmeIndex, "readme");
  CheckSupportFile(m, d.LicenseIndex, "licence");
  CheckSupportFile(m, d.SupportDllIndex, "support DLL");
  CheckSupportFile(m, d.BackgroundImageIndex, "background image");

  for (const TComponentData& c : d.Components) {
    for (const uint8_t dep : c.Dependencies)
      STW_EXPECT(dep < d.Components.size(), c.Name + " needs " + std::to_string(dep));
    STW_EXPECT(c.RootFolder != nullptr, c.Name);
    CheckFolder(m, *c.RootFolder, opt.noDesktop, 0);
  }
  STW_EXPECT(d.HasOptionalComponents ==
                 std::any_of(d.Components.begin(), d.Components.end(), [](const auto& c) { return c.Optional; }),
             "optional components");
  for (const auto& [display, type] : d.FileTypes)
    for (const TFileTypeAction& a : type.Actions) STW_EXPECT(AsciiLower(a.Verb) == a.Verb, a.Verb);
}

// Every temporary file the reader created is gone again, unless it is the
// final home of a support file or waits for a replacement at restart.
inline void CheckNoStrayTempFiles(const Machine& m) {
  for (const std::string& temp : m.fs.TempFilesCreated()) {
    if (!m.fs.Content(temp)) continue;
    bool accounted = false;
    for (const std::string& s : m.pkg.TempFilePaths) accounted = accounted || EqualsIgnoreAsciiCase(s, temp);
    for (const auto& [from, to] : m.fs.PendingRenames()) accounted = accounted || EqualsIgnoreAsciiCase(from, temp);
    STW_EXPECT(accounted, "temporary file left behind: " + temp);
  }
}

}  // namespace stw::fuzz
