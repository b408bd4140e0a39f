// The .NET Framework requirement and the prerequisite installers: the
// detection and the installed-condition against the simulated registry
// (host only: under Wine the real registry has whatever the prefix holds),
// the version names, the download link and the command lines everywhere.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "system/DotNet.h"
#include "system/Prerequisite.h"
#ifndef _WIN32
#include "platform/host/HostPlatform.h"
#endif

using namespace stw;

namespace {

// ---------------------------------------------------------------- names

TEST(DotNetVersionName, EveryLevelOf4x) {
  const char* names[] = {"4.0",   "4.5", "4.5.1", "4.5.2", "4.6", "4.6.1",
                         "4.6.2", "4.7", "4.7.1", "4.7.2", "4.8", "4.8.1"};
  for (uint8_t level = 0; level <= 11; ++level) EXPECT_EQ(DotNetVersionName(kDotNet4x, level), names[level]);
  EXPECT_EQ(DotNetVersionName(kDotNet4x, 12), "?.?");
  EXPECT_EQ(DotNetVersionName(kDotNet4x, 255), "?.?");
  // The 4.x name wins over every older version that is accepted too.
  EXPECT_EQ(DotNetVersionName(0x3F, 10), "4.8");
  EXPECT_EQ(DotNetVersionName(kDotNet4x | kDotNet10, 0), "4.0");
}

TEST(DotNetVersionName, TheHighestOlderVersionWithout4x) {
  EXPECT_EQ(DotNetVersionName(kDotNet35, 0), "3.5");
  EXPECT_EQ(DotNetVersionName(kDotNet30, 0), "3.0");
  EXPECT_EQ(DotNetVersionName(kDotNet20, 0), "2.0");
  EXPECT_EQ(DotNetVersionName(kDotNet11, 0), "1.1");
  EXPECT_EQ(DotNetVersionName(kDotNet10, 0), "1.0");
  EXPECT_EQ(DotNetVersionName(kDotNet35 | kDotNet10, 0), "3.5");
  EXPECT_EQ(DotNetVersionName(kDotNet20 | kDotNet11 | kDotNet10, 0), "2.0");
  EXPECT_EQ(DotNetVersionName(kDotNet11 | kDotNet10, 7), "1.1");  // the level is for 4.x only
}

TEST(DotNetVersionName, NoKnownBitIsUnknown) {
  EXPECT_EQ(DotNetVersionName(0, 0), "?.?");
  EXPECT_EQ(DotNetVersionName(0xC0, 3), "?.?");
}

TEST(DotNetReleaseThreshold, TheTable) {
  const uint32_t expected[] = {0,      378389, 378675, 379893, 393273, 394254,
                               394802, 460798, 461308, 461808, 528040, 533320};
  for (uint8_t level = 0; level <= 11; ++level) EXPECT_EQ(DotNetReleaseThreshold(level), expected[level]);
  EXPECT_EQ(DotNetReleaseThreshold(4), 393273u);  // not 393295
  EXPECT_EQ(DotNetReleaseThreshold(12), 0u);
}

// ---------------------------------------------------------------- link

TEST(DotNetLinkTarget, AnyOtherAddressIsUsedUnchanged) {
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/download/framework.html", "4.8"),
            "https://example.invalid/download/framework.html");
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/mydotnetfx.html", "4.8"),
            "https://example.invalid/mydotnetfx.html");
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/dotnetfx.htm", "4.8"), "https://example.invalid/dotnetfx.htm");
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/dotnetfx.html/", "4.8"),
            "https://example.invalid/dotnetfx.html/");
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/dotnetfx.html/more", "4.8"),
            "https://example.invalid/dotnetfx.html/more");
  // Only the path counts, not a query that happens to name the page.
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/go?to=/dotnetfx.html", "4.8"),
            "https://example.invalid/go?to=/dotnetfx.html");
  EXPECT_EQ(DotNetLinkTarget("", "4.8"), "");
}

TEST(DotNetLinkTarget, TheDefaultPageGetsTheVersion) {
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/dotnetfx.html", "4.8"),
            "https://example.invalid/dotnetfx.html?v=4.8");
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/Help/DotNetFX.HTML", "3.5"),
            "https://example.invalid/Help/DotNetFX.HTML?v=3.5");
  EXPECT_EQ(DotNetLinkTarget("https://example.invalid/dotnetfx.html?lang=de", "4.6.1"),
            "https://example.invalid/dotnetfx.html?lang=de?v=4.6.1");
  EXPECT_EQ(DotNetLinkTarget("dotnetfx.html", "?.?"), "dotnetfx.html?v=?.?");
}

// ---------------------------------------------------------------- command lines

TEST(PrerequisiteCommandLine, AnExecutableRunsItself) {
  std::string program = "unchanged?";
  EXPECT_EQ(PrerequisiteCommandLine("C:\\Media\\Runtime Setup.exe", "/quiet /norestart", false, "C:\\Windows\\System32",
                                    program),
            "\"C:\\Media\\Runtime Setup.exe\" /quiet /norestart");
  EXPECT_EQ(program, "C:\\Media\\Runtime Setup.exe");
  // A silent run changes nothing for an executable: its own switches are
  // the publisher's business.
  EXPECT_EQ(PrerequisiteCommandLine("C:\\Media\\vc.exe", "", true, "C:\\Windows\\System32", program),
            "\"C:\\Media\\vc.exe\" ");
  EXPECT_EQ(program, "C:\\Media\\vc.exe");
  // Not a Windows Installer package, whatever else the name holds.
  EXPECT_EQ(PrerequisiteCommandLine("C:\\Media\\a.msi.exe", "", true, "C:\\Windows\\System32", program),
            "\"C:\\Media\\a.msi.exe\" ");
  EXPECT_EQ(PrerequisiteCommandLine("C:\\Media\\a.msix", "", true, "C:\\Windows\\System32", program),
            "\"C:\\Media\\a.msix\" ");
  EXPECT_EQ(program, "C:\\Media\\a.msix");
}

TEST(PrerequisiteCommandLine, AnMsiInCapitalsRunsThroughTheSystemsMsiexecQuietOnlyWhenSilent) {
  std::string program;
  EXPECT_EQ(PrerequisiteCommandLine("C:\\Media\\Engine.MSI", "ALLUSERS=1", true, "C:\\Windows\\System32", program),
            "\"C:\\Windows\\System32\\msiexec.exe\" /i \"C:\\Media\\Engine.MSI\" /qn ALLUSERS=1");
  EXPECT_EQ(program, "C:\\Windows\\System32\\msiexec.exe");
  program.clear();
  EXPECT_EQ(PrerequisiteCommandLine("C:\\Media\\Engine.MSI", "ALLUSERS=1", false, "C:\\Windows\\System32", program),
            "\"C:\\Windows\\System32\\msiexec.exe\" /i \"C:\\Media\\Engine.MSI\" ALLUSERS=1");
  EXPECT_EQ(program, "C:\\Windows\\System32\\msiexec.exe");
  EXPECT_EQ(PrerequisiteCommandLine("D:\\engine.msi", "", false, "C:\\Windows\\System32", program),
            "\"C:\\Windows\\System32\\msiexec.exe\" /i \"D:\\engine.msi\" ");
  EXPECT_EQ(PrerequisiteCommandLine("D:\\engine.Msi", "", true, "C:\\Windows\\System32", program),
            "\"C:\\Windows\\System32\\msiexec.exe\" /i \"D:\\engine.Msi\" /qn ");
}

TEST(PrerequisiteCommandLine, MsiexecIsNeverStartedByItsBareName) {
  std::string program;
  const std::string line = PrerequisiteCommandLine("C:\\Media\\x.msi", "", false, "E:\\Win\\Sys", program);
  EXPECT_EQ(program, "E:\\Win\\Sys\\msiexec.exe");
  EXPECT_EQ(line.rfind("\"E:\\Win\\Sys\\msiexec.exe\" ", 0), 0u) << line;
  // A system folder given with its backslash gets no second one.
  PrerequisiteCommandLine("C:\\Media\\x.msi", "", false, "C:\\", program);
  EXPECT_EQ(program, "C:\\msiexec.exe");
}

#ifndef _WIN32

// ---------------------------------------------------------------- registry

constexpr char kNdp[] = "Software\\Microsoft\\NET Framework Setup\\NDP\\";
constexpr RegRoot kMachine = RegRoot::LocalMachine;

// The simulated registry, watched: which keys and values are read in which
// root and view, and whether anything is written once the test's own
// values are in place. Values of the kinds the simulated registry cannot
// hold (expandable text, a QWORD) can be planted by value name.
class WatchedRegistry : public HostRegistry {
 public:
  struct Read {
    RegRoot root;
    std::string key, name;
    RegView view;
  };
  void Watch() { watching_ = true; }
  const std::vector<Read>& Reads() const { return reads_; }
  int Writes() const { return writes_; }
  // A value returned for `name` from any key that exists.
  void Plant(const std::string& name, RegValue v) { planted_[name] = std::move(v); }

  bool KeyExists(RegRoot root, const std::string& key, RegView view = RegView::Default) override {
    Note(root, key, "", view);
    return HostRegistry::KeyExists(root, key, view);
  }
  std::optional<std::string> ReadString(RegRoot root, const std::string& key, const std::string& name,
                                        RegView view = RegView::Default) override {
    Note(root, key, name, view);
    return HostRegistry::ReadString(root, key, name, view);
  }
  std::optional<uint32_t> ReadDword(RegRoot root, const std::string& key, const std::string& name,
                                    RegView view = RegView::Default) override {
    Note(root, key, name, view);
    return HostRegistry::ReadDword(root, key, name, view);
  }
  std::optional<RegValue> QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                     RegView view = RegView::Default) override {
    Note(root, key, name, view);
    auto it = planted_.find(name);
    if (it != planted_.end()) {
      if (!HostRegistry::KeyExists(root, key, view)) return std::nullopt;
      return it->second;
    }
    return HostRegistry::QueryValue(root, key, name, view);
  }
  bool CreateKey(RegRoot root, const std::string& key, RegView view = RegView::Default) override {
    Wrote();
    return HostRegistry::CreateKey(root, key, view);
  }
  bool CanWrite(RegRoot root, const std::string& key, RegView view = RegView::Default) override {
    Wrote();  // opening for writing is as bad as writing
    return HostRegistry::CanWrite(root, key, view);
  }
  bool WriteString(RegRoot root, const std::string& key, const std::string& name, const std::string& value,
                   RegView view = RegView::Default) override {
    Wrote();
    return HostRegistry::WriteString(root, key, name, value, view);
  }
  bool WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value,
                  RegView view = RegView::Default) override {
    Wrote();
    return HostRegistry::WriteDword(root, key, name, value, view);
  }
  bool WriteBinary(RegRoot root, const std::string& key, const std::string& name, const std::string& bytes,
                   RegView view = RegView::Default) override {
    Wrote();
    return HostRegistry::WriteBinary(root, key, name, bytes, view);
  }
  bool DeleteValue(RegRoot root, const std::string& key, const std::string& name,
                   RegView view = RegView::Default) override {
    Wrote();
    return HostRegistry::DeleteValue(root, key, name, view);
  }
  bool DeleteKey(RegRoot root, const std::string& key, RegView view = RegView::Default) override {
    Wrote();
    return HostRegistry::DeleteKey(root, key, view);
  }

 private:
  void Note(RegRoot root, const std::string& key, const std::string& name, RegView view) {
    if (watching_) reads_.push_back({root, key, name, view});
  }
  void Wrote() {
    if (watching_) ++writes_;
  }
  bool watching_ = false;
  std::vector<Read> reads_;
  int writes_ = 0;
  std::map<std::string, RegValue> planted_;
};

RegValue Planted(RegValue::Kind kind, std::string text, std::string bytes) {
  RegValue v;
  v.kind = kind;
  v.text = std::move(text);
  v.bytes = std::move(bytes);
  return v;
}

// One installed version per accepted bit, as its own setup leaves it.
void InstallVersion(IRegistry& r, int bit) {
  switch (bit) {
    case 5: ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v4\\Client", "Install", 1)); break;
    case 4: ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.5", "Install", 1)); break;
    case 3: ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.0\\Setup", "InstallSuccess", 1)); break;
    case 2: ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v2.0.50727", "Install", 1)); break;
    case 1: ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v1.1.4322", "Install", 1)); break;
    case 0:
      ASSERT_TRUE(r.WriteString(kMachine, "Software\\Microsoft\\.NETFramework\\policy\\v1.0", "Install", "3321-3705"));
      break;
  }
}

void Install4x(IRegistry& r, uint32_t release) {
  InstallVersion(r, 5);
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v4\\Client", "Release", release));
}

TEST(DotNetPresent, NothingInstalledNothingFound) {
  HostRegistry r;
  EXPECT_FALSE(IsDotNetPresent(r, 0x3F, 0));
  EXPECT_FALSE(IsDotNetPresent(r, 0xFF, 11));
  EXPECT_FALSE(IsDotNetPresent(r, 0, 0));
}

TEST(DotNetPresent, EveryBitFindsOnlyItsOwnVersion) {
  for (int installed = 0; installed <= 5; ++installed) {
    HostRegistry r;
    InstallVersion(r, installed);
    for (int asked = 0; asked <= 5; ++asked)
      EXPECT_EQ(IsDotNetPresent(r, static_cast<uint8_t>(1 << asked), 0), asked == installed)
          << "installed bit " << installed << ", asked bit " << asked;
    EXPECT_TRUE(IsDotNetPresent(r, 0x3F, 0));
    EXPECT_FALSE(IsDotNetPresent(r, static_cast<uint8_t>(0x3F & ~(1 << installed)), 0));
    // Bits 6 and 7 stand for nothing.
    EXPECT_FALSE(IsDotNetPresent(r, 0xC0, 0));
  }
}

TEST(DotNetPresent, OnlyAnInstallOfOneCounts) {
  for (uint32_t value : {0u, 2u, 0xFFFFFFFFu}) {
    HostRegistry r;
    ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v4\\Client", "Install", value));
    ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.5", "Install", value));
    ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.0\\Setup", "InstallSuccess", value));
    ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v2.0.50727", "Install", value));
    ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v1.1.4322", "Install", value));
    EXPECT_FALSE(IsDotNetPresent(r, 0x3E, 0)) << value;
  }
}

TEST(DotNetPresent, TheRightKeyWithoutItsValueIsMissing) {
  HostRegistry r;
  // 3.0 is told by "InstallSuccess", not "Install"; the keys exist.
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.0\\Setup", "Install", 1));
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.0", "InstallSuccess", 1));
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v4\\Client", "Installed", 1));
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v4\\Full", "Install", 1));
  ASSERT_TRUE(r.CreateKey(kMachine, std::string(kNdp) + "v3.5"));
  EXPECT_FALSE(IsDotNetPresent(r, 0x3F, 0));
}

TEST(DotNetPresent, AValueOfTheWrongTypeIsMissing) {
  HostRegistry r;
  ASSERT_TRUE(r.WriteString(kMachine, std::string(kNdp) + "v4\\Client", "Install", "1"));
  ASSERT_TRUE(r.WriteString(kMachine, std::string(kNdp) + "v3.5", "Install", "1"));
  ASSERT_TRUE(r.WriteBinary(kMachine, std::string(kNdp) + "v3.0\\Setup", "InstallSuccess", std::string("\1\0\0\0", 4)));
  ASSERT_TRUE(r.WriteString(kMachine, std::string(kNdp) + "v2.0.50727", "Install", "1"));
  ASSERT_TRUE(r.WriteBinary(kMachine, std::string(kNdp) + "v1.1.4322", "Install", std::string("\1\0\0\0", 4)));
  ASSERT_TRUE(r.WriteDword(kMachine, "Software\\Microsoft\\.NETFramework\\policy\\v1.0", "Install", 3321));
  EXPECT_FALSE(IsDotNetPresent(r, 0x3F, 0));
}

TEST(DotNetPresent, AQwordIsNotADword) {
  WatchedRegistry r;
  ASSERT_TRUE(r.CreateKey(kMachine, std::string(kNdp) + "v3.5"));
  RegValue qword = Planted(RegValue::Other, "", std::string("\1\0\0\0\0\0\0\0", 8));
  qword.dword = 1;  // whatever a careless reader might take from it
  r.Plant("Install", qword);
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet35, 0));
}

TEST(DotNetPresent, EveryLevelAtItsEdge) {
  for (uint8_t level = 1; level <= 11; ++level) {
    const uint32_t threshold = DotNetReleaseThreshold(level);
    HostRegistry exact, below;
    Install4x(exact, threshold);
    Install4x(below, threshold - 1);
    EXPECT_TRUE(IsDotNetPresent(exact, kDotNet4x, level)) << int(level);
    EXPECT_FALSE(IsDotNetPresent(below, kDotNet4x, level)) << int(level);
    // A lower requirement is met by the same machine.
    EXPECT_TRUE(IsDotNetPresent(below, kDotNet4x, static_cast<uint8_t>(level - 1))) << int(level);
  }
}

TEST(DotNetPresent, Level4Is393273) {
  HostRegistry r;
  Install4x(r, 393273);
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x, 4));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 5));
  HostRegistry less;
  Install4x(less, 393272);
  EXPECT_FALSE(IsDotNetPresent(less, kDotNet4x, 4));
  EXPECT_TRUE(IsDotNetPresent(less, kDotNet4x, 3));
}

TEST(DotNetPresent, Level11AndBeyond) {
  HostRegistry r;
  Install4x(r, 533320);
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x, 11));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 12));
  HostRegistry highest;
  Install4x(highest, 0xFFFFFFFF);
  EXPECT_TRUE(IsDotNetPresent(highest, kDotNet4x, 11));
  // No release number reaches a level that has none.
  EXPECT_FALSE(IsDotNetPresent(highest, kDotNet4x, 12));
  EXPECT_FALSE(IsDotNetPresent(highest, kDotNet4x, 255));
}

TEST(DotNetPresent, TheReleaseComparesUnsigned) {
  HostRegistry r;
  Install4x(r, 0x80000000u);  // negative as a signed number
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x, 11));
}

TEST(DotNetPresent, Level0NeedsNoReleaseAnyOtherLevelDoes) {
  HostRegistry r;
  InstallVersion(r, 5);
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x, 0));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 1));
  ASSERT_TRUE(r.WriteString(kMachine, std::string(kNdp) + "v4\\Client", "Release", "533320"));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 1));
}

TEST(DotNetPresent, AHighReleaseWithoutInstallIsMissing) {
  HostRegistry r;
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v4\\Client", "Release", 533320));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 0));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 11));
}

TEST(DotNetPresent, Bits4And5OnAMachineWithOnly35) {
  HostRegistry r;
  InstallVersion(r, 4);
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x | kDotNet35, 0));
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x | kDotNet35, 11));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 0));
}

TEST(DotNetPresent, ASetupFor48OnAMachineWith472) {
  HostRegistry r;
  Install4x(r, 461808);
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet4x, 9));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet4x, 10));
  EXPECT_EQ(DotNetVersionName(kDotNet4x, 10), "4.8");
}

TEST(DotNetPresent, TheTextOf10) {
  const std::string key = "Software\\Microsoft\\.NETFramework\\policy\\v1.0";
  const std::pair<const char*, bool> cases[] = {
      {"3321-3705", true},    {"3321-3706", false},           {"3321-3705 ", false}, {"3321-37051", false},
      {"3321-3705xx", false}, {"3321-3705-3321-3705", false}, {"", false},           {"3321", false},
  };
  for (const auto& [text, present] : cases) {
    HostRegistry r;
    ASSERT_TRUE(r.WriteString(kMachine, key, "Install", text));
    EXPECT_EQ(IsDotNetPresent(r, kDotNet10, 0), present) << text;
  }
  // The value is "Install"; another name on the key does not count.
  HostRegistry other;
  ASSERT_TRUE(other.WriteString(kMachine, key, "3321-3705", "3321-3705"));
  EXPECT_FALSE(IsDotNetPresent(other, kDotNet10, 0));
}

TEST(DotNetPresent, TheTextOf10MayBeExpandable) {
  WatchedRegistry r;
  ASSERT_TRUE(r.CreateKey(kMachine, "Software\\Microsoft\\.NETFramework\\policy\\v1.0"));
  r.Plant("Install", Planted(RegValue::ExpandString, "3321-3705", ""));
  EXPECT_TRUE(IsDotNetPresent(r, kDotNet10, 0));
  r.Plant("Install", Planted(RegValue::Binary, "", "3321-3705"));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet10, 0));
}

TEST(DotNetPresent, ReadsTheLocalMachineInTheDefaultViewAndWritesNothing) {
  WatchedRegistry r;
  InstallVersion(r, 0);
  r.Watch();
  EXPECT_TRUE(IsDotNetPresent(r, 0x3F, 11));
  EXPECT_EQ(r.Writes(), 0);
  ASSERT_FALSE(r.Reads().empty());
  std::set<std::string> keys;
  for (const auto& read : r.Reads()) {
    EXPECT_EQ(read.root, kMachine) << read.key;
    EXPECT_EQ(read.view, RegView::Default) << read.key;
    keys.insert(read.key);
  }
  // Newest first, each key once: the 4.x key, then the older ones.
  EXPECT_EQ(r.Reads().front().key, std::string(kNdp) + "v4\\Client");
  EXPECT_EQ(r.Reads().back().key, "Software\\Microsoft\\.NETFramework\\policy\\v1.0");
  EXPECT_EQ(keys.size(), 6u);
}

TEST(DotNetPresent, TheFirstVersionFoundEndsTheSearch) {
  WatchedRegistry r;
  InstallVersion(r, 5);
  InstallVersion(r, 0);
  r.Watch();
  EXPECT_TRUE(IsDotNetPresent(r, 0x3F, 0));
  for (const auto& read : r.Reads()) EXPECT_EQ(read.key, std::string(kNdp) + "v4\\Client");
}

TEST(DotNetPresent, TheOtherViewDoesNotCount) {
  // The simulated machine is 64-bit: the default view is the 32-bit one,
  // where a 32-bit setup finds the keys.
  HostRegistry r;
  ASSERT_TRUE(r.WriteDword(kMachine, std::string(kNdp) + "v3.5", "Install", 1, RegView::View64));
  EXPECT_FALSE(IsDotNetPresent(r, kDotNet35, 0));
}

// ---------------------------------------------------------------- installed-condition

struct ConditionFixture {
  WatchedRegistry reg;
  std::set<std::string> files;
  std::vector<std::string> expanded, checked;

  bool Holds(const std::string& key, const std::string& value = {}, const std::string& data = {},
             const std::string& file = {}, RegRoot autoRoot = RegRoot::CurrentUser) {
    T3rdParty p;
    p.Name = "Runtime";
    p.HasCondition = true;
    p.ConditionKey = key;
    p.ConditionValue = value;
    p.ConditionData = data;
    p.ConditionFile = file;
    return PrerequisiteConditionHolds(
        reg, p, autoRoot,
        [this](const std::string& path) {
          expanded.push_back(path);
          std::string out = path;
          const std::string var = "%APPFOLDER%";
          if (out.rfind(var, 0) == 0) out = "C:\\Program Files\\Fake" + out.substr(var.size());
          return out;
        },
        [this](const std::string& path) {
          checked.push_back(path);
          return files.count(path) != 0;
        });
  }
};

constexpr char kCondKey[] = "Software\\Fake\\Runtime";

TEST(PrerequisiteCondition, NothingToTestHolds) {
  ConditionFixture f;
  EXPECT_TRUE(f.Holds(""));
  EXPECT_TRUE(f.expanded.empty());
  EXPECT_TRUE(f.checked.empty());
  // The value and data mean nothing without a key.
  EXPECT_TRUE(f.Holds("", "Version", "1"));
}

TEST(PrerequisiteCondition, EveryRootName) {
  const std::pair<const char*, RegRoot> roots[] = {
      {"HKEY_CURRENT_USER", RegRoot::CurrentUser},     {"HKEY_LOCAL_MACHINE", RegRoot::LocalMachine},
      {"HKEY_CLASSES_ROOT", RegRoot::ClassesRoot},     {"HKEY_USERS", RegRoot::Users},
      {"HKEY_CURRENT_CONFIG", RegRoot::CurrentConfig},
  };
  for (const auto& [name, root] : roots) {
    ConditionFixture f;
    const std::string key = std::string(name) + "\\" + kCondKey;
    EXPECT_FALSE(f.Holds(key)) << name;
    ASSERT_TRUE(f.reg.CreateKey(root, kCondKey)) << name;
    EXPECT_TRUE(f.Holds(key)) << name;
    // In any case.
    std::string lower = key;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(f.Holds(lower)) << name;
    // Only that root: the key of the other roots is still missing.
    for (const auto& [otherName, otherRoot] : roots) {
      if (otherRoot == root) continue;
      EXPECT_FALSE(f.Holds(std::string(otherName) + "\\" + kCondKey)) << name << " / " << otherName;
    }
  }
}

TEST(PrerequisiteCondition, TheConfigRootIsNotTakenForTheUsersRoot) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.CreateKey(RegRoot::CurrentConfig, kCondKey));
  f.reg.Watch();
  EXPECT_TRUE(f.Holds(std::string("HKEY_CURRENT_CONFIG\\") + kCondKey));
  ASSERT_FALSE(f.reg.Reads().empty());
  EXPECT_EQ(f.reg.Reads().front().root, RegRoot::CurrentConfig);
  ConditionFixture user;
  ASSERT_TRUE(user.reg.CreateKey(RegRoot::CurrentUser, kCondKey));
  EXPECT_FALSE(user.Holds(std::string("HKEY_CURRENT_CONFIG\\") + kCondKey));
  EXPECT_TRUE(user.Holds(std::string("HKEY_CURRENT_USER\\") + kCondKey));
}

TEST(PrerequisiteCondition, AutoIsTheInstallationsRoot) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.CreateKey(RegRoot::LocalMachine, kCondKey));
  const std::string key = std::string("HKEY_AUTO\\") + kCondKey;
  EXPECT_TRUE(f.Holds(key, "", "", "", RegRoot::LocalMachine));
  EXPECT_FALSE(f.Holds(key, "", "", "", RegRoot::CurrentUser));
  EXPECT_TRUE(f.Holds(std::string("hkey_Auto\\") + kCondKey, "", "", "", RegRoot::LocalMachine));
  ConditionFixture user;
  ASSERT_TRUE(user.reg.CreateKey(RegRoot::CurrentUser, kCondKey));
  EXPECT_TRUE(user.Holds(key, "", "", "", RegRoot::CurrentUser));
  EXPECT_FALSE(user.Holds(key, "", "", "", RegRoot::LocalMachine));
}

TEST(PrerequisiteCondition, ABareRootNameIsTheRootKeyItself) {
  ConditionFixture f;  // an empty registry: only the roots exist
  f.reg.Watch();
  EXPECT_TRUE(f.Holds("HKEY_LOCAL_MACHINE"));
  ASSERT_EQ(f.reg.Reads().size(), 1u);
  EXPECT_EQ(f.reg.Reads()[0].root, RegRoot::LocalMachine);
  EXPECT_EQ(f.reg.Reads()[0].key, "");
  EXPECT_TRUE(f.Holds("HKEY_CURRENT_USER"));
  EXPECT_TRUE(f.Holds("HKEY_USERS"));
  EXPECT_TRUE(f.Holds("HKEY_CURRENT_CONFIG"));
  EXPECT_TRUE(f.Holds("HKEY_AUTO", "", "", "", RegRoot::LocalMachine));
  // A root name and its backslash alone say the same.
  EXPECT_TRUE(f.Holds("HKEY_CURRENT_USER\\"));
  EXPECT_EQ(f.reg.Reads().back().key, "");
}

TEST(PrerequisiteCondition, AnyOtherRootFails) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.CreateKey(RegRoot::CurrentUser, "x"));
  ASSERT_TRUE(f.reg.CreateKey(RegRoot::CurrentUser, kCondKey));
  f.reg.Watch();
  EXPECT_FALSE(f.Holds("HKEY_FOO\\x"));
  EXPECT_FALSE(f.Holds(std::string("HKCU\\") + kCondKey));
  EXPECT_FALSE(f.Holds(std::string("HKEY_CURRENT\\") + kCondKey));
  EXPECT_FALSE(f.Holds(kCondKey));
  EXPECT_FALSE(f.Holds("HKEY_CURRENT_USE"));
  EXPECT_FALSE(f.Holds(std::string(" HKEY_CURRENT_USER\\") + kCondKey));
  EXPECT_TRUE(f.reg.Reads().empty());
  // Nor does a file then rescue the condition, or even get looked at.
  f.files.insert("C:\\Program Files\\Fake\\x.dll");
  EXPECT_FALSE(f.Holds("HKEY_FOO\\x", "", "", "%APPFOLDER%\\x.dll"));
  EXPECT_TRUE(f.checked.empty());
}

TEST(PrerequisiteCondition, TheCharacterAfterTheRootNameIsSkippedUnseen) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.CreateKey(RegRoot::LocalMachine, kCondKey));
  f.reg.Watch();
  EXPECT_TRUE(f.Holds(std::string("HKEY_LOCAL_MACHINEX") + kCondKey));
  ASSERT_EQ(f.reg.Reads().size(), 1u);
  EXPECT_EQ(f.reg.Reads()[0].key, kCondKey);
  EXPECT_TRUE(f.Holds(std::string("HKEY_LOCAL_MACHINE/") + kCondKey));
  // Exactly one: a second backslash stays part of the subkey.
  EXPECT_EQ(f.reg.Reads().back().key, kCondKey);
  f.Holds(std::string("HKEY_LOCAL_MACHINE\\\\") + kCondKey);
  EXPECT_EQ(f.reg.Reads().back().key, std::string("\\") + kCondKey);
  // A root name and one character: the root key.
  EXPECT_TRUE(f.Holds("HKEY_LOCAL_MACHINE!"));
  EXPECT_EQ(f.reg.Reads().back().key, "");
}

TEST(PrerequisiteCondition, AMissingKeyFailsAndEndsTheTest) {
  ConditionFixture f;
  f.files.insert("C:\\Program Files\\Fake\\x.dll");
  EXPECT_FALSE(f.Holds(std::string("HKEY_CURRENT_USER\\") + kCondKey, "", "", "%APPFOLDER%\\x.dll"));
  EXPECT_TRUE(f.checked.empty());
  f.reg.Watch();
  EXPECT_FALSE(f.Holds(std::string("HKEY_CURRENT_USER\\") + kCondKey, "Version", "1"));
  ASSERT_EQ(f.reg.Reads().size(), 1u);  // the value is not asked for
}

TEST(PrerequisiteCondition, AValueMustBeReadable) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Version", "2.1"));
  const std::string key = std::string("HKEY_CURRENT_USER\\") + kCondKey;
  EXPECT_TRUE(f.Holds(key, "Version"));
  EXPECT_TRUE(f.Holds(key, "VERSION"));  // value names ignore case
  EXPECT_FALSE(f.Holds(key, "Build"));
  EXPECT_FALSE(f.Holds(key, "Build", "2.1"));
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Empty", ""));
  EXPECT_TRUE(f.Holds(key, "Empty"));
}

TEST(PrerequisiteCondition, ADwordComparesAsANumber) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::CurrentUser, kCondKey, "Level", 10));
  const std::string key = std::string("HKEY_CURRENT_USER\\") + kCondKey;
  const std::pair<const char*, bool> cases[] = {
      {"10", true},  {"010", true}, {"+10", true},  {"0000000010", true}, {"11", false},   {"9", false},
      {"1x", false}, {"x", false},  {" 10", false}, {"10 ", false},       {"0xA", false},  {"$A", false},
      {"-", false},  {"+", false},  {"1.0", false}, {"-10", false},       {"10e0", false},
  };
  for (const auto& [data, equal] : cases) EXPECT_EQ(f.Holds(key, "Level", data), equal) << data;
  // Without data the value's presence suffices, whatever it holds.
  EXPECT_TRUE(f.Holds(key, "Level"));
}

TEST(PrerequisiteCondition, ADwordComparesAs32Bits) {
  ConditionFixture f;
  const std::string key = std::string("HKEY_CURRENT_USER\\") + kCondKey;
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::CurrentUser, kCondKey, "All", 0xFFFFFFFF));
  EXPECT_TRUE(f.Holds(key, "All", "4294967295"));
  EXPECT_TRUE(f.Holds(key, "All", "-1"));  // the same 32 bits
  EXPECT_FALSE(f.Holds(key, "All", "4294967296"));
  EXPECT_FALSE(f.Holds(key, "All", "18446744073709551615"));
  EXPECT_FALSE(f.Holds(key, "All", "99999999999999999999999"));
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::CurrentUser, kCondKey, "Sign", 0x80000000));
  EXPECT_TRUE(f.Holds(key, "Sign", "-2147483648"));
  EXPECT_TRUE(f.Holds(key, "Sign", "2147483648"));
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::CurrentUser, kCondKey, "Below", 0x7FFFFFFF));
  EXPECT_FALSE(f.Holds(key, "Below", "-2147483649"));  // out of 32 bits, not wrapped
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::CurrentUser, kCondKey, "Zero", 0));
  EXPECT_TRUE(f.Holds(key, "Zero", "0"));
  EXPECT_TRUE(f.Holds(key, "Zero", "-0"));
  EXPECT_FALSE(f.Holds(key, "Zero", "-"));  // a sign alone is no number, not 0
  EXPECT_FALSE(f.Holds(key, "Zero", "+"));
  EXPECT_FALSE(f.Holds(key, "Zero", "4294967296"));  // no wrap to 0 either
}

TEST(PrerequisiteCondition, TextComparesIgnoringAsciiCase) {
  ConditionFixture f;
  const std::string key = std::string("HKEY_CURRENT_USER\\") + kCondKey;
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Edition", "Runtime Pro"));
  EXPECT_TRUE(f.Holds(key, "Edition", "Runtime Pro"));
  EXPECT_TRUE(f.Holds(key, "Edition", "rUNTIME pRO"));
  EXPECT_FALSE(f.Holds(key, "Edition", "Runtime"));
  EXPECT_FALSE(f.Holds(key, "Edition", "Runtime Pro "));
  // A number in a text value is text: no reading as an integer.
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Level", "10"));
  EXPECT_TRUE(f.Holds(key, "Level", "10"));
  EXPECT_FALSE(f.Holds(key, "Level", "010"));
  // Only ASCII letters fold.
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Place", "\xC3\x84rhus"));  // Ärhus
  EXPECT_TRUE(f.Holds(key, "Place", "\xC3\x84RHUS"));
  EXPECT_FALSE(f.Holds(key, "Place", "\xC3\xA4rhus"));  // ärhus
}

TEST(PrerequisiteCondition, BinaryAndOtherValuesCompareTheirBytesAsText) {
  ConditionFixture f;
  const std::string key = std::string("HKEY_CURRENT_USER\\") + kCondKey;
  ASSERT_TRUE(f.reg.WriteBinary(RegRoot::CurrentUser, kCondKey, "Blob", "AbC"));
  EXPECT_TRUE(f.Holds(key, "Blob", "abc"));
  EXPECT_FALSE(f.Holds(key, "Blob", "abcd"));
  ASSERT_TRUE(f.reg.WriteBinary(RegRoot::CurrentUser, kCondKey, "Empty", ""));
  EXPECT_TRUE(f.Holds(key, "Empty"));
  f.reg.Plant("Wide", Planted(RegValue::Other, "", "XyZ"));
  EXPECT_TRUE(f.Holds(key, "Wide", "xyz"));
  EXPECT_FALSE(f.Holds(key, "Wide", "xy"));
  // An expandable text compares its text, unexpanded.
  f.reg.Plant("Path", Planted(RegValue::ExpandString, "%SystemRoot%\\Fake", ""));
  EXPECT_TRUE(f.Holds(key, "Path", "%systemroot%\\fake"));
}

TEST(PrerequisiteCondition, AValueLargerThan522BytesIsUnreadable) {
  ConditionFixture f;
  const std::string key = std::string("HKEY_CURRENT_USER\\") + kCondKey;
  ASSERT_TRUE(f.reg.WriteBinary(RegRoot::CurrentUser, kCondKey, "Fits", std::string(522, 'a')));
  ASSERT_TRUE(f.reg.WriteBinary(RegRoot::CurrentUser, kCondKey, "Over", std::string(523, 'a')));
  EXPECT_TRUE(f.Holds(key, "Fits"));
  EXPECT_TRUE(f.Holds(key, "Fits", std::string(522, 'A')));
  EXPECT_FALSE(f.Holds(key, "Over"));
  EXPECT_FALSE(f.Holds(key, "Over", std::string(523, 'a')));
  // Text is stored as UTF-16 with its terminating zero: 260 characters fill
  // the 522 bytes, 261 do not fit.
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Text260", std::string(260, 'x')));
  ASSERT_TRUE(f.reg.WriteString(RegRoot::CurrentUser, kCondKey, "Text261", std::string(261, 'x')));
  EXPECT_TRUE(f.Holds(key, "Text260", std::string(260, 'X')));
  EXPECT_FALSE(f.Holds(key, "Text261"));
}

TEST(PrerequisiteCondition, TheFileIsExpandedAndMustExist) {
  ConditionFixture f;
  EXPECT_FALSE(f.Holds("", "", "", "%APPFOLDER%\\Bin\\rt.dll"));
  ASSERT_EQ(f.expanded, (std::vector<std::string>{"%APPFOLDER%\\Bin\\rt.dll"}));
  ASSERT_EQ(f.checked, (std::vector<std::string>{"C:\\Program Files\\Fake\\Bin\\rt.dll"}));
  f.files.insert("C:\\Program Files\\Fake\\Bin\\rt.dll");
  EXPECT_TRUE(f.Holds("", "", "", "%APPFOLDER%\\Bin\\rt.dll"));
  // The unexpanded path is not looked for.
  f.files = {"%APPFOLDER%\\Bin\\other.dll"};
  EXPECT_FALSE(f.Holds("", "", "", "%APPFOLDER%\\Bin\\other.dll"));
}

TEST(PrerequisiteCondition, KeyAndFileMustBothHold) {
  ConditionFixture f;
  const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kCondKey;
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::LocalMachine, kCondKey, "Installed", 1));
  f.files.insert("C:\\Program Files\\Fake\\rt.dll");
  EXPECT_TRUE(f.Holds(key, "Installed", "1", "%APPFOLDER%\\rt.dll"));
  EXPECT_FALSE(f.Holds(key, "Installed", "1", "%APPFOLDER%\\missing.dll"));
  f.checked.clear();
  EXPECT_FALSE(f.Holds(key, "Installed", "0", "%APPFOLDER%\\rt.dll"));
  EXPECT_TRUE(f.checked.empty());  // a failed registry part ends the test
}

TEST(PrerequisiteCondition, ReadsInTheDefaultViewAndWritesNothing) {
  ConditionFixture f;
  ASSERT_TRUE(f.reg.WriteDword(RegRoot::LocalMachine, kCondKey, "Installed", 1));
  f.reg.Watch();
  EXPECT_TRUE(f.Holds(std::string("HKEY_LOCAL_MACHINE\\") + kCondKey, "Installed", "1"));
  EXPECT_EQ(f.reg.Writes(), 0);
  ASSERT_FALSE(f.reg.Reads().empty());
  for (const auto& read : f.reg.Reads()) EXPECT_EQ(read.view, RegView::Default);
  // The 64-bit view's key is another key.
  ConditionFixture wide;
  ASSERT_TRUE(wide.reg.WriteDword(RegRoot::LocalMachine, kCondKey, "Installed", 1, RegView::View64));
  EXPECT_FALSE(wide.Holds(std::string("HKEY_LOCAL_MACHINE\\") + kCondKey));
}

#endif  // !_WIN32

}  // namespace
