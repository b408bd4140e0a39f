// An update that meets a failing disk or registry: version 1 of a small
// product is installed without faults, then version 2 is installed while
// the Nth operation of one kind (creating a file, writing, closing,
// renaming, deleting, creating a folder, setting a time, writing to the
// registry) fails, for every N that a fault-free update makes. After each
// run the machine must be sound: every file under its final name holds one
// version whole, no temporary file is left, the log names only files that
// are there and the uninstall entry leads to it; the run goes on where a
// failure costs nothing and stops with the failure's exit code otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <tuple>

#include "FaultPlatform.h"
#include "TestSupport.h"
#include "app/SetupRun.h"
#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/Manifest.h"
#include "platform/RunDialogs.h"
#include "platform/WholeFile.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/HostShell.h"

namespace stw::test {
namespace {

namespace fsys = std::filesystem;

const std::string kApp = "C:\\Program Files (x86)\\Test Product";
const std::string kCommon = "C:\\Program Files (x86)\\Common Files\\Test Shared";
const std::string kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Test Product";
const std::string kLogKey = "Software\\Orvane\\Carrovit";
const std::string kSharedKey = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

void AddFile(PackageManifest& m, BuildFolder& folder, BuildFile file, uint8_t overwriteMode = 0) {
  m.files.push_back(std::move(file));
  BuildItem it;
  it.file.DataIndex = static_cast<uint16_t>(m.files.size() - 1);
  it.file.OverwriteMode = overwriteMode;
  folder.items.push_back(it);
}

// Version 1 or 2 of the product: program files and a subfolder in the
// application folder, a file in a shared folder (counted under
// SharedDLLs), registry entries. Version 2 changes most files, drops
// old.txt (and removes it as obsolete), adds a file in a new folder.
PackageManifest ProductVersion(int v) {
  PackageManifest m = SampleManifest();
  m.readme.reset();
  m.licence.reset();
  m.files.resize(2);  // the two uninstallers: the same bytes in both versions
  m.components.resize(1);
  BuildComponent& c = m.components[0];
  c.root = BuildFolder{};
  c.root.withItems = false;
  m.version = v == 1 ? "2.5" : "2.6";
  m.releaseDate = v == 1 ? 46000 : 46100;
  m.setupOptionBits = v == 1 ? 0 : 1;  // remove obsolete files
  m.folderDefaults[1][0] = "%COMMONFILES%\\Test Shared";
  m.folderDefaults[1][1] = "%COMMONFILES%\\Test Shared";
  const unsigned s = v == 1 ? 0 : 100;
  BuildFolder app;
  app.name = "%APPFOLDER%";
  AddFile(m, app, InlineFile("app.exe", TextBytes(150000, 5 + s)));
  BuildFile random = InlineFile("random.bin", RandomBytes(70000, 6 + s));
  random.time += v - 1;  // newer in version 2, so written over version 1's
  AddFile(m, app, random, 1);
  AddFile(m, app, InlineFile("empty.txt", ""), 2);  // never written over
  if (v == 1) AddFile(m, app, InlineFile("old.txt", TextBytes(900, 8)));
  BuildFolder data;
  data.name = "data";
  AddFile(m, data, InlineFile("data.txt", TextBytes(3000 + s, 9 + s)));
  app.folders.push_back(data);
  if (v == 2) {
    BuildFolder docs;
    docs.name = "docs";
    AddFile(m, docs, InlineFile("new.txt", TextBytes(2000, 10)));
    app.folders.push_back(docs);
  }
  c.root.folders.push_back(app);
  BuildFolder common;
  common.name = "%APPCOMMONFOLDER%";
  AddFile(m, common, InlineFile("common.dll", RandomBytes(4000 + s, 11 + s)));
  c.root.folders.push_back(common);
  RegistryStream r;
  r.Tag(1).Str("HKEY_AUTO").Tag(1).Str("Software\\Test Works").Tag(2);
  r.Tag(4).Str("Folder").Tag(7).Str("%APPFOLDER%\\data");
  r.Tag(4).Str("Count").Tag(8).U32(v == 1 ? 7 : 8);
  if (v == 2) r.Tag(4).Str("Blob").Tag(9).U32(2).Tag(0xAB).Tag(0xCD);
  r.Tag(255).Tag(255);
  m.registryData = r.b;
  return m;
}

// Final names of the product's files with the bytes each version puts
// there (nullopt: the version has no such file).
struct Expected {
  std::optional<std::string> v1, v2;
};
std::map<std::string, Expected> ExpectedFiles(const PackageManifest& m1, const PackageManifest& m2) {
  std::map<std::string, Expected> out;
  auto walk = [&](const PackageManifest& m, bool second) {
    std::function<void(const BuildFolder&, const std::string&)> folder = [&](const BuildFolder& f,
                                                                             const std::string& at) {
      const std::string here = f.name == "%APPFOLDER%"         ? kApp
                               : f.name == "%APPCOMMONFOLDER%" ? kCommon
                                                               : at + "\\" + f.name;
      for (const BuildItem& it : f.items) {
        const BuildFile& bf = m.files[it.file.DataIndex];
        (second ? out[here + "\\" + bf.name].v2 : out[here + "\\" + bf.name].v1) = *bf.content;
      }
      for (const BuildFolder& sub : f.folders) folder(sub, here);
    };
    for (const BuildFolder& f : m.components[0].root.folders) folder(f, "");
    (second ? out[kApp + "\\UnStowa.exe"].v2 : out[kApp + "\\UnStowa.exe"].v1) = *m.files[0].content;
  };
  walk(m1, false);
  walk(m2, true);
  return out;
}

// One simulated machine in a folder of its own.
struct Machine {
  explicit Machine(const std::string& r) : root(r), fs(r), reg(r), sys(r), shell(r) {}
  std::string root;
  HostFileSystem fs;
  HostRegistry reg;
  HostSystem sys;
  HostShell shell;
};

std::string NewRoot(const std::string& tag) {
  return PathToUtf8(fsys::temp_directory_path() / ("stwfault-" + tag + "-" + std::to_string(std::random_device{}())));
}

struct Outcome {
  int code = -1;
  std::vector<ScriptedDialogs::Shown> boxes;
  std::string texts;  // every box's text
};

// Runs the installer silently against the machine through the faulty
// layer. Every box goes to the script, which answers the error question
// "stop" as an unattended run does.
Outcome RunSetup(Machine& mc, FaultPlan& plan, const std::string& installer, bool staged) {
  FaultFileSystem fs(mc.fs, plan);
  FaultRegistry reg(mc.reg, plan);
  ScriptedDialogs dialogs;
  dialogs.fallback = IDNO_;
  TRunDialogs run(dialogs, false, false);
  TSetupRun setup({fs, reg, mc.sys, run, mc.shell}, {"C:\\Temp\\setup.exe", installer, "/silent"});
  if (staged) setup.S.StagingFrom = 0;  // every folder's temporary files in a staging folder
  Outcome o;
  o.code = setup.Main();
  o.boxes = dialogs.shown;
  for (const auto& b : o.boxes) o.texts += b.text + "\n";
  return o;
}

// A copy of a machine's folder with the files' times kept (the overwrite
// rule compares them).
void CopyMachine(const std::string& from, const std::string& to) {
  fsys::copy(from, to, fsys::copy_options::recursive);
  for (auto it = fsys::recursive_directory_iterator(from); it != fsys::recursive_directory_iterator(); ++it)
    if (it->is_regular_file())
      fsys::last_write_time(fsys::path(to) / fsys::relative(it->path(), from), it->last_write_time());
}

std::string ReadNative(const std::string& native) {
  std::ifstream f(Utf8ToPath(native), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The product's files installed over version 1 with one failure each time.
class FaultBench {
 public:
  explicit FaultBench(bool staged = false) : staged_(staged), template_(NewRoot("v1")), packages_(template_ + "-pkg") {
    fsys::create_directories(template_ + "/C/Temp");
    fsys::create_directories(packages_);
    {
      Machine mc(template_);
      mc.sys.Set("processors",
                 "1");  // one worker: the Nth operation is the same in every run
      mc.sys.Set("now", "46100.5");
      mc.reg.WriteString(RegRoot::LocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                         "C:\\Program Files (x86)");
      const std::string sf =
          "Software\\Microsoft\\Windows\\CurrentVersion\\Exp"
          "lorer\\Shell Folders";
      mc.reg.WriteString(RegRoot::CurrentUser, sf, "Local AppData", "C:\\users\\tester\\AppData\\Local");
      mc.reg.WriteString(RegRoot::CurrentUser, sf, "Programs", "C:\\users\\tester\\Start Menu\\Programs");
      mc.reg.CreateKey(RegRoot::LocalMachine, kSharedKey);
      m1_ = ProductVersion(1);
      m2_ = ProductVersion(2);
      v1_ = Package(m1_, "v1.exe");
      v2_ = Package(m2_, "v2.exe");
      FaultPlan none;
      const Outcome o = RunSetup(mc, none, v1_, staged_);
      EXPECT_EQ(o.code, kExitSuccess) << o.texts;
      firstRun_ = none;
    }
    expected_ = ExpectedFiles(m1_, m2_);
    v1Log_ = ReadNative(template_ + "/C/Program Files (x86)/Test Product/Stowa.log");
    freeUpdate_ = Update(FaultKind::Create, 0);
    // The run reads the earlier log and writes it back before it tests
    // its rights by writing the handshake key; what fails before that
    // test costs the installation nothing.
    const std::vector<std::string> ops = freeUpdate_.Operations();
    rightsTestAt_ = std::find(ops.begin(), ops.end(), "registry " + kLogKey) - ops.begin();
    EXPECT_LT(rightsTestAt_, ops.size());
    // A staged sweep tests the staging folders only if they are made.
    const bool madeStaging = std::any_of(ops.begin(), ops.end(), [](const std::string& op) {
      return StartsWith(op, "createfolder ") && IsOwnTempName(ExtractFileName(op), "");
    });
    EXPECT_EQ(madeStaging, staged_);
  }
  // The fault-free update.
  const FaultPlan& FreeUpdate() const { return freeUpdate_; }
  ~FaultBench() {
    std::error_code ec;
    fsys::remove_all(template_, ec);
    fsys::remove_all(packages_, ec);
  }
  const FaultPlan& FirstRun() const { return firstRun_; }

  // Installs version 2 on a copy of the machine with the `n`th operation
  // of `kind` failing (n = 0: none) and checks what the run left.
  FaultPlan Update(FaultKind kind, unsigned n) {
    const std::string root = NewRoot("run");
    CopyMachine(template_, root);
    FaultPlan plan;
    plan.FailAt(kind, n);
    {
      Machine mc(root);
      const Outcome o = RunSetup(mc, plan, v2_, staged_);
      const std::string what =
          std::string(FaultKindName(kind)) + " #" + std::to_string(n) + " (" + plan.Faulted().value_or("none") + "): ";
      if (std::getenv("STW_FAULT_VERBOSE")) {
        std::string flat = o.texts;
        std::replace(flat.begin(), flat.end(), '\r', '|');
        std::cout << "[ outcome  ] " << what << o.code << " " << flat << std::endl;
        for (const std::string& p : mc.fs.PendingRenames()) std::cout << "[ pending  ] " << p << std::endl;
      }
      Check(mc, plan, kind, n, o, what);
    }
    std::error_code ec;
    fsys::remove_all(root, ec);
    return plan;
  }

 private:
  std::string Package(const PackageManifest& m, const std::string& name) {
    const std::string native = packages_ + "/" + name;
    BuildPackage(m, native);
    std::string win = "Z:" + native;
    std::replace(win.begin(), win.end(), '/', '\\');
    return win;
  }

  static std::string Read(Machine& mc, const std::string& path) { return ReadNative(mc.fs.NativePath(path)); }

  // Section 1 of a log: the files it hands to the uninstaller.
  static std::vector<std::string> LoggedFiles(const std::vector<std::string>& lines, std::string* version) {
    size_t i = 0;
    while (i < lines.size() && StartsWith(lines[i], ";")) ++i;
    // Records 6 to 22, then the folder variables (three lines each), then
    // the components (two lines each).
    if (i + 17 >= lines.size()) return {};
    if (version) *version = lines[i + 8];
    i += 17;
    i += 1 + 3 * static_cast<size_t>(std::stoul(lines[i]));
    if (i >= lines.size()) return {};
    i += 1 + 2 * static_cast<size_t>(std::stoul(lines[i]));
    std::vector<std::string> files;
    for (; i < lines.size() && lines[i] != "%%%"; ++i) files.push_back(lines[i]);
    return files;
  }

  void Check(Machine& mc, const FaultPlan& plan, FaultKind kind, unsigned n, const Outcome& o,
             const std::string& what) {
    const std::optional<std::string> faulted = plan.Faulted();
    if (n != 0) {
      ASSERT_TRUE(faulted) << what << "the fault was never reached";
    }
    // Whether the failed operation is one the run goes on after: the rules
    // ignore failed registry writes and times; a failed deletion of an
    // obsolete file leaves it to the restart.
    // A failed write-back of the earlier log at start-up costs nothing
    // either: the log is written again at the end.
    // The rights test writes the handshake key: a refused write there
    // means no rights for an installation for all users, and the run is
    // refused before it writes anything.
    const bool rightsTest =
        kind == FaultKind::RegistryWrite && faulted && (*faulted == kLogKey || *faulted == kLogKey + "\tStub");
    const bool beforeRightsTest = n != 0 && plan.FaultedAt() < rightsTestAt_;
    // A staging folder that cannot be made is done without.
    const bool stagingFolder = kind == FaultKind::CreateFolder && faulted && IsOwnTempName(ExtractFileName(*faulted), "");
    const bool ignored = n == 0 || beforeRightsTest || (kind == FaultKind::RegistryWrite && !rightsTest) ||
                         kind == FaultKind::SetTime || kind == FaultKind::Delete || stagingFolder;
    const bool renamedBeforeClose = kind == FaultKind::Close && faulted && !IsOwnTempName(ExtractFileName(*faulted));
    if (rightsTest) {
      EXPECT_EQ(o.code, kExitFailed) << what << o.texts;
      EXPECT_NE(o.texts.find("cannot be installed"), std::string::npos) << what << o.texts;
      for (const auto& [path, e] : expected_) {
        if (e.v1)
          EXPECT_EQ(Read(mc, path), *e.v1) << what << path;
        else
          EXPECT_FALSE(mc.fs.FileExists(path)) << what << path;
      }
      EXPECT_EQ(Read(mc, kApp + "\\Stowa.log"), v1Log_) << what;
    } else if (ignored) {
      EXPECT_EQ(o.code, kExitSuccess) << what << o.texts;
      EXPECT_TRUE(o.boxes.empty()) << what << o.texts;
    } else {
      EXPECT_EQ(o.code, kExitFailed) << what << o.texts;
      EXPECT_FALSE(o.boxes.empty()) << what;
      if (!o.boxes.empty()) {
        EXPECT_TRUE(o.boxes.back().style & MB_ICONERROR_) << what;
      }
      // The message names the file (for a temporary file: the folder of
      // the file it was to become, not its staging folder) and why.
      std::string place =
          IsOwnTempName(ExtractFileName(*faulted)) || EndsWith(*faulted, "*") ? ExtractFileDir(*faulted) : *faulted;
      if (place != *faulted && IsOwnTempName(ExtractFileName(place), "")) place = ExtractFileDir(place);
      EXPECT_NE(o.texts.find(place), std::string::npos) << what << o.texts;
      const char* why = kind == FaultKind::Write   ? "writing failed"
                        : kind == FaultKind::Close ? (renamedBeforeClose ? "could not be closed" : "writing failed")
                        : kind == FaultKind::CreateFolder ? ""
                                                          : kInjectedFault;
      EXPECT_NE(o.texts.find(why), std::string::npos) << what << o.texts;
    }

    // Every file under its final name holds one version's bytes, whole.
    std::map<std::string, bool> present;
    for (const auto& [path, e] : expected_) {
      present[path] = mc.fs.FileExists(path);
      if (!present[path]) {
        // Only a file new in version 2 may be missing, or one that the
        // update removed as obsolete.
        EXPECT_TRUE(!e.v1 || !e.v2) << what << path << " is gone";
        if (o.code == kExitSuccess && e.v2) ADD_FAILURE() << what << path << " missing after a successful run";
        continue;
      }
      const std::string bytes = Read(mc, path);
      const bool whole = (e.v1 && bytes == *e.v1) || (e.v2 && bytes == *e.v2);
      EXPECT_TRUE(whole) << what << path << " holds " << bytes.size() << " bytes of neither version";
      if (o.code == kExitSuccess && e.v2) {
        EXPECT_EQ(bytes, *e.v2) << what << path;
      }
      if (o.code == kExitSuccess && !e.v2 && !(kind == FaultKind::Delete && n != 0))
        ADD_FAILURE() << what << path << " was not removed as obsolete";
    }
    if (renamedBeforeClose) {
      const auto e = expected_.find(*faulted);
      if (e != expected_.end() && e->second.v2) {
        EXPECT_EQ(Read(mc, *faulted), *e->second.v2) << what;
      }
    }

    // No temporary file anywhere on the machine, and no private folder.
    for (auto it = fsys::recursive_directory_iterator(mc.root + "/C"); it != fsys::recursive_directory_iterator();
         ++it) {
      const std::string name = PathToUtf8(it->path().filename());
      EXPECT_FALSE(IsOwnTempName(name) || IsOwnTempName(name, "")) << what << it->path();
    }
    if (kind != FaultKind::Delete) {
      EXPECT_TRUE(mc.fs.PendingRenames().empty()) << what;
    }

    // The log the registry names is there and names only files that are
    // there; every product file that stands is in it, so the uninstaller
    // removes it.
    const std::optional<std::string> logPath = mc.reg.ReadString(RegRoot::LocalMachine, kLogKey, "Test Product");
    ASSERT_TRUE(logPath) << what;
    EXPECT_EQ(*logPath, kApp + "\\Stowa.log") << what;
    ASSERT_TRUE(mc.fs.FileExists(*logPath)) << what;
    const std::string log = Read(mc, *logPath);
    std::string version;
    const std::vector<std::string> logged = LoggedFiles(SplitLines(log), &version);
    EXPECT_FALSE(logged.empty()) << what << log;
    for (const std::string& p : logged) EXPECT_TRUE(mc.fs.FileExists(p)) << what << "the log names " << p;
    const std::vector<std::string> pending = mc.fs.PendingRenames();
    for (const auto& [path, there] : present)
      if (there && !(kind == FaultKind::Delete && faulted && *faulted == path &&
                     std::find(pending.begin(), pending.end(), path + "\t") != pending.end())) {
        EXPECT_NE(std::find(logged.begin(), logged.end(), path), logged.end())
            << what << path << " stands but the log does not name it";
      }
    EXPECT_TRUE(EndsWith(log, "%%%\r\n%%%\r\n%%%\r\n")) << what << "the log is not whole";

    // The uninstall entry leads to the uninstaller and the log, and tells
    // the version the log tells.
    EXPECT_EQ(mc.reg.ReadString(RegRoot::LocalMachine, kUninstallKey, "UninstallString"),
              "\"" + kApp + "\\UnStowa.exe\" \"" + *logPath + "\"")
        << what;
    EXPECT_TRUE(mc.fs.FileExists(kApp + "\\UnStowa.exe")) << what;
    if (!(kind == FaultKind::RegistryWrite && faulted && EndsWith(*faulted, "\tDisplayVersion"))) {
      EXPECT_EQ(mc.reg.ReadString(RegRoot::LocalMachine, kUninstallKey, "DisplayVersion"), version) << what;
    }
    if (o.code == kExitSuccess) {
      EXPECT_EQ(version, "2.6") << what;
      EXPECT_EQ(mc.reg.ReadDword(RegRoot::LocalMachine, kSharedKey, kCommon + "\\common.dll"), 1u) << what;
    }
  }

  bool staged_;
  std::string template_, packages_;
  PackageManifest m1_, m2_;
  std::string v1_, v2_;
  FaultPlan firstRun_, freeUpdate_;
  size_t rightsTestAt_ = 0;
  std::map<std::string, Expected> expected_;
  std::string v1Log_;
};

// Runs version 2 with the Nth operation of `kind` failing, for every N
// from 1 to the count of a fault-free update.
void Sweep(FaultBench& bench, FaultKind kind) {
  const unsigned count = bench.FreeUpdate().Count(kind);
  for (unsigned n = 1; n <= count; ++n) {
    SCOPED_TRACE(std::string(FaultKindName(kind)) + " #" + std::to_string(n));
    bench.Update(kind, n);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

const FaultKind kAllKinds[] = {FaultKind::Create, FaultKind::Write,  FaultKind::SetTime,      FaultKind::Close,
                               FaultKind::Rename, FaultKind::Delete, FaultKind::CreateFolder, FaultKind::RegistryWrite};

TEST(FaultTest, AFaultFreeUpdateMakesEveryKindOfOperation) {
  FaultBench bench;
  const FaultPlan& plan = bench.FreeUpdate();
  // What one installation costs on the simulated machine, per kind.
  const FaultPlan& first = bench.FirstRun();
  for (FaultKind k : kAllKinds) {
    std::cout << "[ counts   ] " << FaultKindName(k) << ": first installation " << first.Count(k) << ", update "
              << plan.Count(k) << std::endl;
  }
  if (std::getenv("STW_FAULT_OPERATIONS")) {
    for (const std::string& op : first.Operations()) std::cout << "[ op v1    ] " << op << std::endl;
    for (const std::string& op : plan.Operations()) std::cout << "[ op       ] " << op << std::endl;
  }
  for (FaultKind k : kAllKinds) EXPECT_GT(plan.Count(k), 0u) << FaultKindName(k);
  // The last file written is the log, after everything else.
  const std::vector<std::string> ops = plan.Operations();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops.back(), "close " + kApp + "\\Stowa.log");
}

// The final save of the log fails (creating its temporary file, writing
// it, or renaming it over the earlier log). The run stops with 1603 and
// names the log, and the log is saved again on the way out: the log on the
// disk names what is on the disk (not old.txt, which the update removed as
// obsolete; docs\new.txt, which it installed; version 2.6 like the
// uninstall entry), never the earlier installation's.
TEST(FaultTest, AFailedFinalSaveOfTheLogStillLeavesALogThatMatchesTheDisk) {
  FaultBench bench;
  for (FaultKind k : {FaultKind::Create, FaultKind::Write, FaultKind::Rename}) {
    SCOPED_TRACE(FaultKindName(k));
    bench.Update(k, bench.FreeUpdate().Count(k));
  }
}

// Every N of each kind: about 70 updates, 2 s on the simulated machine;
// once with the temporary files beside their targets, once with every
// folder's in a staging folder (which large folders get).
class FaultSweep : public ::testing::TestWithParam<std::tuple<FaultKind, bool>> {};

TEST_P(FaultSweep, EveryOperationOfTheKindFailsOnce) {
  FaultBench bench(std::get<1>(GetParam()));
  Sweep(bench, std::get<0>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultSweep, ::testing::Combine(::testing::ValuesIn(kAllKinds), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<FaultKind, bool>>& i) {
                           std::string n = FaultKindName(std::get<0>(i.param));
                           n[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(n[0])));
                           return n + (std::get<1>(i.param) ? "Staged" : "");
                         });

}  // namespace
}  // namespace stw::test
