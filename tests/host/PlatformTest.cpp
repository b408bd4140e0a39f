// The platform seam itself: registry, file system and system facts. The
// same tests run against the simulated machine on the host and against the
// real system under Wine, so the two implementations keep one contract.
// Tests only the simulated machine can take part in (a second registry
// object on the same sandbox, changing the user's rights) are host-only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TestSupport.h"
#include "base/PathUtf8.h"
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/FixedFileInfo.h"

#ifdef _WIN32
#include "platform/win32/Windows.h"
#endif
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace stw;
using namespace stw::test;

namespace {

constexpr RegRoot kUser = RegRoot::CurrentUser;
constexpr RegRoot kMachine = RegRoot::LocalMachine;
constexpr double kSecond = 1.0 / 86400.0;

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = UniqueName("StowaPlatformTest-");
    key_ = "Software\\" + name_;
  }
  // Under Wine the keys live in the run's prefix; leave none behind.
  void TearDown() override {
    for (const RegView view : {RegView::Default, RegView::View64}) {
      Reg().DeleteKey(kUser, key_, view);
      Reg().DeleteKey(kMachine, key_, view);
    }
  }

  IRegistry& Reg() { return m_.Registry(); }
  ISystem& Sys() { return m_.System(); }
  IFileSystem& Fs() { return m_.Fs(); }

  // Writes a file through the file system, with a last-write time.
  void WriteWithTime(const std::string& path, const std::string& bytes, double time) {
    std::string error;
    auto f = Fs().Create(path, error);
    ASSERT_TRUE(f) << error;
    ASSERT_TRUE(f->Write(bytes.data(), bytes.size()));
    ASSERT_TRUE(f->SetLastWriteTime(time));
    ASSERT_TRUE(f->Close());
  }

  TestMachine m_;
  std::string name_;  // unique per test
  std::string key_;  // Software\<name_>
};

// ---------------------------------------------------------------- registry

TEST_F(PlatformTest, RegistryKeepsStringsAndDwords) {
  const std::string k = key_ + "\\Values";
  const std::string tricky =
      "tab\there\nnew line\r\n100% %41 Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80 \"q\" a\\b";
  const std::string longText = std::string(20000, 'x') + "end";
  EXPECT_FALSE(Reg().KeyExists(kUser, k));
  EXPECT_FALSE(Reg().ReadString(kUser, k, "plain"));

  ASSERT_TRUE(Reg().WriteString(kUser, k, "plain", "value"));
  EXPECT_TRUE(Reg().KeyExists(kUser, k));  // writing made the key
  ASSERT_TRUE(Reg().WriteString(kUser, k, "", "the default value"));
  ASSERT_TRUE(Reg().WriteString(kUser, k, "empty", ""));
  ASSERT_TRUE(Reg().WriteString(kUser, k, "tricky", tricky));
  ASSERT_TRUE(Reg().WriteString(kUser, k, "long", longText));
  ASSERT_TRUE(Reg().WriteString(kUser, k, "na\xC3\xAF" "ve\tname", "odd name"));
  ASSERT_TRUE(Reg().WriteDword(kUser, k, "zero", 0));
  ASSERT_TRUE(Reg().WriteDword(kUser, k, "answer", 42));
  ASSERT_TRUE(Reg().WriteDword(kUser, k, "max", 0xFFFFFFFFu));

  EXPECT_EQ(Reg().ReadString(kUser, k, "plain"), "value");
  EXPECT_EQ(Reg().ReadString(kUser, k, ""), "the default value");
  EXPECT_EQ(Reg().ReadString(kUser, k, "empty"), "");
  EXPECT_EQ(Reg().ReadString(kUser, k, "tricky"), tricky);
  EXPECT_EQ(Reg().ReadString(kUser, k, "long"), longText);
  EXPECT_EQ(Reg().ReadString(kUser, k, "na\xC3\xAF" "ve\tname"), "odd name");
  EXPECT_EQ(Reg().ReadDword(kUser, k, "zero"), 0u);
  EXPECT_EQ(Reg().ReadDword(kUser, k, "answer"), 42u);
  EXPECT_EQ(Reg().ReadDword(kUser, k, "max"), 0xFFFFFFFFu);

  // Names of keys and values ignore case.
  EXPECT_EQ(Reg().ReadString(kUser, AsciiUpper(k), "PLAIN"), "value");
  EXPECT_EQ(Reg().ReadDword(kUser, k, "Answer"), 42u);
  // A value of the other type is not read as this one.
  EXPECT_FALSE(Reg().ReadDword(kUser, k, "plain"));
  EXPECT_FALSE(Reg().ReadString(kUser, k, "answer"));
  EXPECT_FALSE(Reg().ReadString(kUser, k, "missing"));
  // Writing again replaces value and type.
  ASSERT_TRUE(Reg().WriteDword(kUser, k, "PLAIN", 7));
  EXPECT_EQ(Reg().ReadDword(kUser, k, "plain"), 7u);
  EXPECT_FALSE(Reg().ReadString(kUser, k, "plain"));
  ASSERT_TRUE(Reg().WriteString(kUser, k, "answer", "forty-two"));
  EXPECT_EQ(Reg().ReadString(kUser, k, "answer"), "forty-two");

  EXPECT_TRUE(Reg().DeleteValue(kUser, k, "Answer"));
  EXPECT_FALSE(Reg().ReadString(kUser, k, "answer"));
  EXPECT_FALSE(Reg().DeleteValue(kUser, k, "answer"));
  EXPECT_FALSE(Reg().DeleteValue(kUser, k + "\\missing", "answer"));
  EXPECT_TRUE(Reg().KeyExists(kUser, k));  // a key without values stays
}

TEST_F(PlatformTest, CreateKeyMakesTheMissingParents) {
  const std::string deep = key_ + "\\a\\b\\c";
  EXPECT_FALSE(Reg().KeyExists(kUser, key_));
  EXPECT_FALSE(Reg().CanWrite(kUser, deep));  // only existing keys open
  ASSERT_TRUE(Reg().CreateKey(kUser, deep));
  EXPECT_TRUE(Reg().KeyExists(kUser, key_));
  EXPECT_TRUE(Reg().KeyExists(kUser, key_ + "\\a"));
  EXPECT_TRUE(Reg().KeyExists(kUser, key_ + "\\a\\b"));
  EXPECT_TRUE(Reg().KeyExists(kUser, deep));
  EXPECT_TRUE(Reg().KeyExists(kUser, AsciiUpper(deep)));
  EXPECT_TRUE(Reg().CanWrite(kUser, deep));
  EXPECT_TRUE(Reg().CreateKey(kUser, deep));  // already there: fine
  EXPECT_FALSE(Reg().KeyExists(kUser, key_ + "\\a\\x"));
  // Case is ignored beyond ASCII too ("Ärger" and "äRGER").
  ASSERT_TRUE(Reg().CreateKey(kUser, key_ + "\\\xC3\x84rger"));
  EXPECT_TRUE(Reg().KeyExists(kUser, key_ + "\\\xC3\xA4RGER"));
  // The roots themselves exist.
  EXPECT_TRUE(Reg().KeyExists(kUser, ""));
  EXPECT_TRUE(Reg().KeyExists(kMachine, ""));
}

TEST_F(PlatformTest, DeleteKeyTakesTheWholeSubtree) {
  ASSERT_TRUE(Reg().CreateKey(kUser, key_ + "\\tree\\a\\b\\c"));
  ASSERT_TRUE(Reg().WriteString(kUser, key_ + "\\tree\\a", "v", "1"));
  ASSERT_TRUE(Reg().WriteDword(kUser, key_ + "\\tree\\a\\b\\c", "d", 1));
  ASSERT_TRUE(Reg().WriteString(kUser, key_ + "\\tree\\a2", "v", "2"));

  EXPECT_TRUE(Reg().DeleteKey(kUser, key_ + "\\TREE\\A"));
  EXPECT_FALSE(Reg().KeyExists(kUser, key_ + "\\tree\\a"));
  EXPECT_FALSE(Reg().KeyExists(kUser, key_ + "\\tree\\a\\b"));
  EXPECT_FALSE(Reg().KeyExists(kUser, key_ + "\\tree\\a\\b\\c"));
  EXPECT_FALSE(Reg().ReadDword(kUser, key_ + "\\tree\\a\\b\\c", "d"));
  // The parent and a sibling whose name starts alike stay.
  EXPECT_TRUE(Reg().KeyExists(kUser, key_ + "\\tree"));
  EXPECT_EQ(Reg().ReadString(kUser, key_ + "\\tree\\a2", "v"), "2");
  EXPECT_FALSE(Reg().DeleteKey(kUser, key_ + "\\tree\\a"));  // gone already
  // Made again, the key is new and empty.
  ASSERT_TRUE(Reg().CreateKey(kUser, key_ + "\\tree\\a"));
  EXPECT_FALSE(Reg().ReadString(kUser, key_ + "\\tree\\a", "v"));
  // A root is never deleted.
  EXPECT_FALSE(Reg().DeleteKey(kUser, ""));
  EXPECT_TRUE(Reg().DeleteKey(kUser, key_));
  EXPECT_FALSE(Reg().KeyExists(kUser, key_));
}

TEST_F(PlatformTest, MachineSoftwareHasSeparate32And64BitViews) {
  if (!Sys().Is64BitSystem()) GTEST_SKIP() << "a 32-bit system has one view";
  ASSERT_TRUE(Reg().WriteString(kMachine, key_, "bits", "32"));
  EXPECT_FALSE(Reg().KeyExists(kMachine, key_, RegView::View64));
  ASSERT_TRUE(Reg().WriteString(kMachine, key_, "bits", "64", RegView::View64));
  EXPECT_EQ(Reg().ReadString(kMachine, key_, "bits"), "32");
  EXPECT_EQ(Reg().ReadString(kMachine, key_, "bits", RegView::View64), "64");
  // The 32-bit view's key is the 64-bit view's Software\Wow6432Node\...
  const std::string wow = "Software\\Wow6432Node\\" + name_;
  EXPECT_EQ(Reg().ReadString(kMachine, wow, "bits", RegView::View64), "32");

  EXPECT_TRUE(Reg().DeleteKey(kMachine, key_));
  EXPECT_FALSE(Reg().KeyExists(kMachine, key_));
  EXPECT_FALSE(Reg().KeyExists(kMachine, wow, RegView::View64));
  EXPECT_EQ(Reg().ReadString(kMachine, key_, "bits", RegView::View64), "64");
  EXPECT_TRUE(Reg().DeleteKey(kMachine, key_, RegView::View64));
  EXPECT_FALSE(Reg().KeyExists(kMachine, key_, RegView::View64));
}

TEST_F(PlatformTest, UserSoftwareIsOneKeyInBothViews) {
  ASSERT_TRUE(Reg().WriteString(kUser, key_, "v", "written in the default view"));
  EXPECT_EQ(Reg().ReadString(kUser, key_, "v", RegView::View64), "written in the default view");
  ASSERT_TRUE(Reg().WriteDword(kUser, key_, "n", 5, RegView::View64));
  EXPECT_EQ(Reg().ReadDword(kUser, key_, "n"), 5u);
}

TEST_F(PlatformTest, MachineKeysAreWritableExactlyWithAdminRights) {
  const bool admin = Sys().IsAdminMember();
  EXPECT_EQ(Reg().CreateKey(kMachine, key_), admin);
  EXPECT_EQ(Reg().WriteDword(kMachine, key_, "n", 1), admin);
  EXPECT_EQ(Reg().CanWrite(kMachine, key_), admin);
}

// ---------------------------------------------------------------- files

TEST_F(PlatformTest, FoldersAreMadeOneLevelAtATimeAndRemovedOnlyWhenEmpty) {
  const std::string a = m_.Work() + "folder", b = a + "\\sub", file = b + "\\f.txt";
  EXPECT_FALSE(Fs().CreateFolder(b));  // no parent
  ASSERT_TRUE(Fs().CreateFolder(a));
  EXPECT_TRUE(Fs().DirectoryExists(a));
  EXPECT_FALSE(Fs().CreateFolder(a));  // exists
  ASSERT_TRUE(Fs().CreateFolder(b));
  m_.WriteFile(file, "x");
  EXPECT_FALSE(Fs().RemoveFolder(file));  // a file is not a folder
  EXPECT_FALSE(Fs().RemoveFolder(b));  // not empty
  EXPECT_FALSE(Fs().RemoveFolder(a));
  EXPECT_TRUE(Fs().DeleteFile(file));
  EXPECT_TRUE(Fs().RemoveFolder(b));
  EXPECT_TRUE(Fs().RemoveFolder(a));
  EXPECT_FALSE(Fs().DirectoryExists(a));
  EXPECT_FALSE(Fs().RemoveFolder(a));
}

TEST_F(PlatformTest, ReadOnlyFilesCannotBeDeletedOrOverwritten) {
  const std::string f = m_.Work() + "ro.txt", other = m_.Work() + "other.txt";
  m_.WriteFile(f, "keep");
  m_.WriteFile(other, "new");
  EXPECT_FALSE(Fs().IsReadOnly(f));
  ASSERT_TRUE(Fs().SetReadOnly(f, true));
  EXPECT_TRUE(Fs().IsReadOnly(f));
  EXPECT_FALSE(Fs().DeleteFile(f));
#ifndef _WIN32
  // Windows refuses to write over a read-only file too. Wine run as root,
  // as on our test machines, does not (the kernel lets root open any file
  // for writing), so these hold the simulated machine to Windows' rule.
  EXPECT_FALSE(Fs().CopyFile(other, f));
  std::string error;
  EXPECT_FALSE(Fs().Create(f, error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_EQ(Fs().MoveReplace(other, f, error), IFileSystem::MoveResult::Failed);
  EXPECT_FALSE(error.empty());
#endif
  EXPECT_EQ(m_.ReadFile(f), "keep");
  EXPECT_TRUE(Fs().OpenRead(f));  // reading is fine
  EXPECT_TRUE(Fs().SetReadOnly(f, true));  // again: no change, no failure

  ASSERT_TRUE(Fs().SetReadOnly(f, false));
  EXPECT_FALSE(Fs().IsReadOnly(f));
  EXPECT_TRUE(Fs().CopyFile(other, f));
  EXPECT_EQ(m_.ReadFile(f), "new");
  EXPECT_TRUE(Fs().DeleteFile(f));
  EXPECT_FALSE(Fs().SetReadOnly(f, true));  // no such file
  EXPECT_FALSE(Fs().IsReadOnly(f));
}

// A file is put in place by renaming it through the handle that wrote it:
// over a file (even one opened since with sharing), never over a folder; a
// held target is in use; the time set before the rename is the one kept.
TEST_F(PlatformTest, AWrittenFileIsRenamedIntoPlaceThroughItsHandle) {
  const std::string target = m_.Work() + "target.bin", content = RandomBytes(70000, 12);
  const double time = 45124.5;
  m_.WriteFile(target, "the earlier file");
  auto write = [&](std::string& temp) {
    std::string error;
    auto f = Fs().CreateTempFile(m_.Work(), "stw", temp, error);
    EXPECT_TRUE(f) << error;
    if (f) {
      EXPECT_TRUE(f->Write(content.data(), content.size()));
      EXPECT_TRUE(f->SetLastWriteTime(time));
    }
    return f;
  };
  std::string temp, error;
  auto f = write(temp);
  ASSERT_TRUE(f);
  const std::optional<MoveResult> r = f->RenameTo(target, error);
  ASSERT_TRUE(r) << "the platform renames through handles";
  EXPECT_EQ(*r, MoveResult::Moved) << error;
  EXPECT_TRUE(f->Close());
  EXPECT_EQ(m_.ReadFile(target), content);
  EXPECT_FALSE(m_.Exists(temp));
  ASSERT_TRUE(Fs().LastWriteTime(target));
  EXPECT_NEAR(*Fs().LastWriteTime(target), time, kSecond);

  // A folder at the name stays; the file stays at its first name.
  const std::string folder = m_.Work() + "a folder";
  ASSERT_TRUE(Fs().CreateFolder(folder));
  f = write(temp);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->RenameTo(folder, error), MoveResult::Failed);
  EXPECT_TRUE(f->Close());
  EXPECT_TRUE(Fs().DirectoryExists(folder));
  EXPECT_EQ(m_.ReadFile(temp), content);
  EXPECT_TRUE(Fs().DeleteFile(temp));

  // A target another program holds open without sharing is in use.
  m_.WriteFile(target, "held");
  m_.HoldOpen(target);
  f = write(temp);
  ASSERT_TRUE(f);
  error.clear();
  EXPECT_EQ(f->RenameTo(target, error), MoveResult::InUse);
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(f->Close());
  m_.ReleaseAll();
  EXPECT_EQ(m_.ReadFile(target), "held");
  EXPECT_TRUE(Fs().DeleteFile(temp));

  // A new name in the folder works as well.
  f = write(temp);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->RenameTo(m_.Work() + "fresh.bin", error), MoveResult::Moved) << error;
  EXPECT_TRUE(f->Close());
  EXPECT_EQ(m_.ReadFile(m_.Work() + "fresh.bin"), content);
}

// One listing tells what stands at each name: files with their read-only
// attribute, and folders.
TEST_F(PlatformTest, AListingTellsFilesFoldersAndReadOnlyFiles) {
  m_.WriteFile(m_.Work() + "plain.txt", "p");
  m_.WriteFile(m_.Work() + "locked.txt", "l");
  ASSERT_TRUE(Fs().SetReadOnly(m_.Work() + "locked.txt", true));
  ASSERT_TRUE(Fs().CreateFolder(m_.Work() + "sub"));
  std::vector<std::string> seen;
  for (const IFileSystem::Entry& e : Fs().ListFolder(m_.Work(), "", "")) {
    seen.push_back(e.name + (e.folder ? "/" : "") + (e.readOnly ? " ro" : "") + (e.link ? " link" : ""));
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"locked.txt ro", "plain.txt", "sub/"}));
  ASSERT_TRUE(Fs().SetReadOnly(m_.Work() + "locked.txt", false));
}

TEST_F(PlatformTest, CopyReplacesTheTargetAndKeepsTheTime) {
  const std::string src = m_.Work() + "source.bin", dst = m_.Work() + "target.bin";
  const std::string content = RandomBytes(300000, 11);
  const double time = 44942.5;  // 2023-01-16 12:00
  WriteWithTime(src, content, time);
  m_.WriteFile(dst, "an older, shorter content");
  ASSERT_TRUE(Fs().CopyFile(src, dst));
  EXPECT_EQ(m_.ReadFile(dst), content);
  EXPECT_EQ(m_.ReadFile(src), content);
  ASSERT_TRUE(Fs().LastWriteTime(dst));
  EXPECT_NEAR(*Fs().LastWriteTime(dst), time, kSecond);
  // A new target works as well; a missing source or folder does not.
  EXPECT_TRUE(Fs().CopyFile(src, m_.Work() + "fresh.bin"));
  EXPECT_EQ(Fs().FileSize(m_.Work() + "fresh.bin"), content.size());
  EXPECT_FALSE(Fs().CopyFile(m_.Work() + "missing.bin", dst));
  EXPECT_FALSE(Fs().CopyFile(src, m_.Work() + "no-folder\\x.bin"));
  EXPECT_EQ(m_.ReadFile(dst), content);
}

TEST_F(PlatformTest, SizesAndTimesOfFiles) {
  const std::string empty = m_.Work() + "empty", some = m_.Work() + "some";
  m_.WriteFile(empty, "");
  m_.WriteFile(some, std::string(12345, 'a'));
  EXPECT_EQ(Fs().FileSize(empty), 0u);
  EXPECT_EQ(Fs().FileSize(some), 12345u);
  EXPECT_FALSE(Fs().FileSize(m_.Work() + "missing"));
  EXPECT_FALSE(Fs().FileSize(m_.Work()));  // a folder has no file size
  EXPECT_FALSE(Fs().LastWriteTime(m_.Work() + "missing"));

  // Winter, summer and a leap day: each reads back as the local time it
  // was given, by the daylight-saving rule of its own date.
  for (const double t : {44942.5, 45124.5, 45351.25}) {
    const std::string f = m_.Work() + "t" + std::to_string(static_cast<int>(t));
    WriteWithTime(f, "dated", t);
    ASSERT_TRUE(Fs().LastWriteTime(f));
    EXPECT_NEAR(*Fs().LastWriteTime(f), t, kSecond) << f;
  }
  // A file written now has about the system's present time.
  m_.WriteFile(some, "now");
  ASSERT_TRUE(Fs().LastWriteTime(some));
  EXPECT_NEAR(*Fs().LastWriteTime(some), Sys().LocalNow(), 120 * kSecond);
}

TEST_F(PlatformTest, FileVersionComesFromTheVersionResource) {
  const std::string dll = m_.Work() + "versioned.dll", text = m_.Work() + "plain.txt";
  const uint64_t version = 0x0002000300040005ull;  // 2.3.4.5
  m_.WriteFile(dll, PeImageWithVersion(version));
  m_.WriteFile(text, TextBytes(5000, 3));
  EXPECT_EQ(Fs().FileVersion(dll), version);
  EXPECT_FALSE(Fs().FileVersion(text));
  EXPECT_FALSE(Fs().FileVersion(m_.Work() + "missing.dll"));
  // Another version in another file: nothing is remembered between files.
  const std::string dll2 = m_.Work() + "other.dll";
  m_.WriteFile(dll2, PeImageWithVersion(0x000A000000000001ull));
  EXPECT_EQ(Fs().FileVersion(dll2), 0x000A000000000001ull);
}

TEST(FixedFileInfo, TheScannerFindsTheBlockAndPrefersTheResourceKey) {
  const uint64_t v = 0x0001000200030004ull;
  const std::string resource = VersionResource(v);
  EXPECT_EQ(ScanFixedFileVersion(resource), v);
  EXPECT_EQ(ScanFixedFileVersion(PeImageWithVersion(v)), v);
  EXPECT_FALSE(ScanFixedFileVersion(""));
  EXPECT_FALSE(ScanFixedFileVersion(TextBytes(1000, 1)));

  // A bare signature counts when there is nothing better...
  const std::string bare = resource.substr(40);  // the fixed information alone
  EXPECT_EQ(ScanFixedFileVersion("xyz" + bare), v);
  // ...but not when the structure is cut short...
  EXPECT_FALSE(ScanFixedFileVersion(bare.substr(0, kFixedFileInfoSize - 1)));
  // ...and a block under the resource key wins over an earlier bare one,
  // like the signature in the code of a program that checks for it.
  std::string decoy = bare;
  decoy[8] = 9;  // another version
  EXPECT_EQ(ScanFixedFileVersion(decoy + TextBytes(100, 2) + resource), v);
  EXPECT_NE(ScanFixedFileVersion(decoy + TextBytes(100, 2)), v);
}

TEST_F(PlatformTest, TheFileScannerFindsBlocksAcrossItsChunks) {
  const uint64_t v = 0x0007000600050004ull;
  const std::string resource = VersionResource(v);
  // The key ends in one chunk and the fixed information starts in the next;
  // the signature is split between two chunks; the block ends the file.
  const size_t chunk = kVersionScanChunk;
  const std::vector<std::pair<std::string, size_t>> cases = {
      {"key-split", chunk - 20}, {"signature-split", chunk - 40 - 2}, {"at-end", 3 * chunk + 17}};
  for (const auto& [name, offset] : cases) {
    const std::string path = m_.Work() + name + ".bin";
    m_.WriteFile(path, RandomBytes(offset, 5) + resource);
    auto file = Fs().OpenRead(path);
    ASSERT_TRUE(file);
    EXPECT_EQ(ScanFixedFileVersion(*file), v) << name;
  }
  // A bare signature split across chunks, with the keyed block far later.
  std::string bare = resource.substr(40);
  bare[8] = 1;
  const std::string path = m_.Work() + "both.bin";
  m_.WriteFile(path, std::string(chunk - 3, 'a') + bare + std::string(2 * chunk, 'b') + resource);
  auto file = Fs().OpenRead(path);
  ASSERT_TRUE(file);
  EXPECT_EQ(ScanFixedFileVersion(*file), v);
}

TEST_F(PlatformTest, DeletionAtRestartIsScheduledAndTheFileStays) {
  const std::string f = m_.Work() + "delete-later.txt";
  m_.WriteFile(f, "x");
  EXPECT_FALSE(m_.DeleteAtRestartScheduled(f));
  ASSERT_TRUE(Fs().DeleteAtRestart(f));
  EXPECT_TRUE(m_.DeleteAtRestartScheduled(f));
  EXPECT_TRUE(Fs().FileExists(f));
}

TEST_F(PlatformTest, AShortPathNamesTheSameFile) {
  const std::string f = m_.Work() + "a rather long file name.text";
  m_.WriteFile(f, "content");
  const std::string shortPath = Fs().ShortPathName(f);
  ASSERT_FALSE(shortPath.empty());
  EXPECT_TRUE(Fs().FileExists(shortPath));
  EXPECT_EQ(m_.ReadFile(shortPath), "content");
  const std::string missing = m_.Work() + "no such file.text";
  EXPECT_EQ(Fs().ShortPathName(missing), missing);
}

TEST_F(PlatformTest, PlainFilesAndFoldersAreNoReparsePoints) {
  m_.WriteFile(m_.Work() + "f.txt", "x");
  EXPECT_FALSE(Fs().IsReparsePoint(m_.Work() + "f.txt"));
  EXPECT_FALSE(Fs().IsReparsePoint(m_.Work()));
  EXPECT_FALSE(Fs().IsReparsePoint(m_.Work() + "missing"));
}

// ---------------------------------------------------------------- system

TEST_F(PlatformTest, SystemFactsAreSane) {
  EXPECT_GE(Sys().MajorVersion(), 5);
  EXPECT_LE(Sys().MajorVersion(), 100);
  EXPECT_GE(Sys().MinorVersion(), 0);
  const unsigned processors = Sys().UsableProcessors();
  EXPECT_GE(processors, 1u);
  if (std::thread::hardware_concurrency() > 0) {
    EXPECT_LE(processors, std::thread::hardware_concurrency());
  }

  const std::string windows = Sys().WindowsFolder(), system = Sys().SystemFolder();
  ASSERT_FALSE(windows.empty());
  EXPECT_NE(windows.back(), '\\');
  EXPECT_NE(system.back(), '\\');
  EXPECT_TRUE(Fs().DirectoryExists(windows)) << windows;
  EXPECT_TRUE(Fs().DirectoryExists(system)) << system;
  EXPECT_TRUE(StartsWith(AsciiLower(system), AsciiLower(windows) + "\\")) << system;

  const std::string program = Sys().ProgramFile();
  EXPECT_TRUE(Fs().FileExists(program)) << program;
  EXPECT_TRUE(StartsWith(AsciiLower(ExtractFileName(program)), "stw_tests")) << program;

  EXPECT_TRUE(Sys().DriveExists(windows.substr(0, 2)));
  EXPECT_TRUE(Sys().DriveExists(windows));
  EXPECT_TRUE(Sys().DriveExists("c:"));
  for (const char* bad : {"", "C", "1:", "CC:", "C:x"}) EXPECT_FALSE(Sys().DriveExists(bad)) << bad;
  const std::optional<uint64_t> free = Sys().FreeSpace(windows);
  ASSERT_TRUE(free);
  EXPECT_GT(*free, 0u);
  EXPECT_TRUE(Sys().FreeSpace(m_.Work()));

  const uint64_t t1 = Sys().TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const uint64_t t2 = Sys().TickCount();
  EXPECT_GE(t2 - t1, 40u);
  EXPECT_LT(t2 - t1, 60000u);

  // Local time is within a day of UTC (time zones span -12..+14 hours).
  const double now = Sys().LocalNow();
  EXPECT_NEAR(now, UnixToDateTime(static_cast<int64_t>(std::time(nullptr))), 15.0 / 24.0);
  EXPECT_LE(now, Sys().LocalNow());

  // The token's facts agree with each other.
  EXPECT_FALSE(Sys().IsElevated() && Sys().HasLimitedToken());
  EXPECT_FALSE(Sys().HasLimitedToken() && Sys().IsAdminMember());
  EXPECT_FALSE(Sys().IsElevated() && !Sys().IsAdminMember());
  EXPECT_FALSE(!Sys().UacEnabled() && Sys().HasLimitedToken());
}

#ifdef _WIN32

TEST_F(PlatformTest, TheScannerReadsASystemLibraryAsTheSystemDoes) {
  const std::string library = Sys().SystemFolder() + "\\kernel32.dll";
  const std::optional<uint64_t> system = Fs().FileVersion(library);
  ASSERT_TRUE(system) << library;
  auto file = Fs().OpenRead(library);
  ASSERT_TRUE(file);
  EXPECT_EQ(ScanFixedFileVersion(*file), system);
}

// The system's own code page: on a Western system 1252, which the
// simulated machine stands for; another code page still reads its ASCII.
TEST_F(PlatformTest, AnsiTextIsReadInTheSystemsCodePage) {
  EXPECT_EQ(Sys().AnsiToUtf8("C:\\Program Files\\x.txt"), "C:\\Program Files\\x.txt");
  EXPECT_EQ(Sys().AnsiToUtf8(""), "");
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
  EXPECT_EQ(Sys().AnsiToUtf8("\xC4pfel \x80"), "\xC3\x84pfel \xE2\x82\xAC");
  EXPECT_EQ(Sys().AnsiToUtf8("\xC4pfel \x80"), Windows1252ToUtf8("\xC4pfel \x80"));
}

#else  // the simulated machine only

TEST_F(PlatformTest, SymbolicLinksAreReparsePoints) {
  const std::string target = m_.Work() + "target", link = m_.Work() + "link";
  ASSERT_TRUE(Fs().CreateFolder(target));
  m_.WriteFile(target + "\\inside.txt", "x");
  ASSERT_EQ(::symlink(m_.Native(target).c_str(), m_.Native(link).c_str()), 0);
  EXPECT_TRUE(Fs().IsReparsePoint(link));
  EXPECT_TRUE(Fs().IsReparsePoint(link + "\\"));
  EXPECT_FALSE(Fs().IsReparsePoint(target));
  // Removing the link leaves the folder it points to.
  EXPECT_TRUE(Fs().RemoveFolder(link));
  EXPECT_FALSE(m_.Exists(link));
  EXPECT_TRUE(m_.Exists(target + "\\inside.txt"));
}

TEST_F(PlatformTest, TheRegistryIsSharedByEveryObjectOnTheMachine) {
  const std::string root = m_.MachineRoot();
  HostRegistry a(root), b(root);
  const std::string tricky = "line 1\nline 2\ttab %25 \xE2\x82\xAC\r\n";
  ASSERT_TRUE(a.WriteString(kMachine, key_, "from a", tricky));
  EXPECT_EQ(b.ReadString(kMachine, key_, "From A"), tricky);
  ASSERT_TRUE(b.WriteDword(kMachine, key_, "from b", 2));
  ASSERT_TRUE(b.CreateKey(kUser, key_ + "\\empty key"));
  EXPECT_EQ(a.ReadDword(kMachine, key_, "from b"), 2u);  // a reads b's change
  ASSERT_TRUE(a.WriteString(kMachine, key_, "from a again", "x"));
  EXPECT_EQ(b.ReadDword(kMachine, key_, "from b"), 2u);  // a kept b's change

  // A new object (another process, say) sees it all, through the factory too.
  auto c = CreateNativeRegistry(root);
  EXPECT_EQ(c->ReadString(kMachine, key_, "from a"), tricky);
  EXPECT_EQ(c->ReadDword(kMachine, key_, "from b"), 2u);
  EXPECT_TRUE(c->KeyExists(kUser, key_ + "\\empty key"));
  ASSERT_TRUE(c->DeleteKey(kMachine, key_));
  EXPECT_FALSE(a.KeyExists(kMachine, key_));

  // Every line of the file splits into whole fields: escaped text never
  // breaks one.
  std::ifstream file(root + "/registry.txt", std::ios::binary);
  std::string line;
  int keys = 0;
  while (std::getline(file, line)) {
    if (StartsWith(line, "stw-registry")) continue;
    const size_t tabs = static_cast<size_t>(std::count(line.begin(), line.end(), '\t'));
    EXPECT_EQ(tabs, StartsWith(line, "key\t") ? 1u : 2u) << line;
    for (const char ch : line) EXPECT_LT(static_cast<unsigned char>(ch), 0x80) << line;
    if (StartsWith(line, "key\t")) ++keys;
  }
  EXPECT_GT(keys, 0);
}

TEST_F(PlatformTest, WritersOnTheSameMachineLoseNothing) {
  const std::string root = m_.MachineRoot();
  constexpr int kEach = 40;
  auto writer = [&](const std::string& who) {
    HostRegistry r(root);
    for (int i = 0; i < kEach; ++i) r.WriteDword(kUser, key_, who + std::to_string(i), static_cast<uint32_t>(i));
  };
  std::thread t1(writer, "one-"), t2(writer, "two-");
  t1.join();
  t2.join();
  HostRegistry check(root);
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(check.ReadDword(kUser, key_, "one-" + std::to_string(i)), static_cast<uint32_t>(i));
    EXPECT_EQ(check.ReadDword(kUser, key_, "two-" + std::to_string(i)), static_cast<uint32_t>(i));
  }
}

TEST_F(PlatformTest, ABrokenLineOfTheRegistryFileCostsOnlyThatLine) {
  const std::string root = m_.MachineRoot();
  std::ofstream(root + "/registry.txt", std::ios::binary)
      << "stw-registry 1\n"
      << "key\tHKCU\\Software\\Good\n"
      << "sz\tname\tgood %E2%82%AC 100%\n"
      << "dword\tnumber\tnot a number\n"
      << "dword\tbig\t4294967296\n"
      << "garbage line without tabs\n"
      << "key\tHKXX\\Software\\Bad\n"
      << "sz\tlost\tbelongs to no valid key\n"
      << "key\tHKCU\\Software\\Good\\Sub\r\n"
      << "dword\tn\t4294967295\r\n";
  HostRegistry r(root);
  EXPECT_EQ(r.ReadString(kUser, "Software\\Good", "name"), "good \xE2\x82\xAC 100%");
  EXPECT_FALSE(r.ReadDword(kUser, "Software\\Good", "number"));
  EXPECT_FALSE(r.ReadDword(kUser, "Software\\Good", "big"));
  EXPECT_EQ(r.ReadDword(kUser, "Software\\Good\\Sub", "n"), 0xFFFFFFFFu);
  EXPECT_FALSE(r.KeyExists(kUser, "Software\\Bad"));
}

TEST_F(PlatformTest, WithoutAdminRightsTheMachineKeysAreReadOnly) {
  HostSystem& sys = static_cast<HostSystem&>(Sys());
  ASSERT_TRUE(Reg().WriteString(kMachine, key_, "v", "machine"));
  ASSERT_TRUE(Reg().WriteString(RegRoot::Users, ".DEFAULT\\" + key_, "v", "users"));
  sys.Set("admin", "0");
  EXPECT_FALSE(Reg().CanWrite(kMachine, key_));
  EXPECT_FALSE(Reg().CreateKey(kMachine, key_));
  EXPECT_FALSE(Reg().CreateKey(kMachine, key_ + "\\sub"));
  EXPECT_FALSE(Reg().WriteString(kMachine, key_, "v", "changed"));
  EXPECT_FALSE(Reg().WriteDword(kMachine, key_, "n", 1));
  EXPECT_FALSE(Reg().DeleteValue(kMachine, key_, "v"));
  EXPECT_FALSE(Reg().DeleteKey(kMachine, key_));
  EXPECT_FALSE(Reg().WriteString(RegRoot::Users, ".DEFAULT\\" + key_, "v", "changed"));
  EXPECT_EQ(Reg().ReadString(kMachine, key_, "v"), "machine");  // reading is fine
  EXPECT_TRUE(Reg().KeyExists(kMachine, key_));
  // A new class goes to the machine, so it cannot be made either.
  EXPECT_FALSE(Reg().CreateKey(RegRoot::ClassesRoot, ".stw-" + name_));
  // The user's own keys are writable.
  EXPECT_TRUE(Reg().WriteString(kUser, key_, "v", "user"));
  EXPECT_TRUE(Reg().CanWrite(kUser, key_));
  sys.Set("admin", "");  // back to the default: an administrator
  EXPECT_TRUE(Reg().WriteString(kMachine, key_, "v", "changed"));
}

TEST_F(PlatformTest, StoredPathsFollowWindowsRedirection) {
  HostRegistry& r = static_cast<HostRegistry&>(Reg());
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\X"), "HKLM\\Software\\Wow6432Node\\X");
  EXPECT_EQ(r.StoredPath(kMachine, "SOFTWARE"), "HKLM\\SOFTWARE\\Wow6432Node");
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\X", RegView::View64), "HKLM\\Software\\X");
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\Wow6432Node\\X"), "HKLM\\Software\\Wow6432Node\\X");
  EXPECT_EQ(r.StoredPath(kMachine, "System\\CurrentControlSet"), "HKLM\\System\\CurrentControlSet");
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\Classes\\.txt"), "HKLM\\Software\\Classes\\.txt");
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\Classes\\CLSID\\{1}"),
            "HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{1}");
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\Classes\\CLSID\\{1}", RegView::View64),
            "HKLM\\Software\\Classes\\CLSID\\{1}");
  EXPECT_EQ(r.StoredPath(kUser, "Software\\X"), "HKCU\\Software\\X");
  EXPECT_EQ(r.StoredPath(kUser, "Software\\Classes\\Interface\\{2}"),
            "HKCU\\Software\\Classes\\Wow6432Node\\Interface\\{2}");
  EXPECT_EQ(r.StoredPath(RegRoot::ClassesRoot, ".txt"), "HKLM\\Software\\Classes\\.txt");
  EXPECT_EQ(r.StoredPath(RegRoot::ClassesRoot, "CLSID\\{3}"), "HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{3}");
  EXPECT_EQ(r.StoredPath(RegRoot::Users, "S-1-5-18\\Software\\X"), "HKU\\S-1-5-18\\Software\\X");
  EXPECT_EQ(r.StoredPath(kUser, "\\Software\\\\X\\"), "HKCU\\Software\\X");  // empty parts name nothing

  // On a 32-bit machine there is one view.
  static_cast<HostSystem&>(Sys()).Set("64bit", "0");
  EXPECT_EQ(r.StoredPath(kMachine, "Software\\X"), "HKLM\\Software\\X");
  ASSERT_TRUE(r.WriteString(kMachine, key_, "v", "one"));
  EXPECT_EQ(r.ReadString(kMachine, key_, "v", RegView::View64), "one");
}

TEST_F(PlatformTest, ClassesRootShowsTheUsersClassesBeforeTheMachines) {
  HostRegistry& r = static_cast<HostRegistry&>(Reg());
  const std::string ext = ".stw-" + name_;
  const RegRoot cr = RegRoot::ClassesRoot;
  EXPECT_TRUE(r.KeyExists(cr, ""));
  ASSERT_TRUE(r.WriteString(cr, ext, "", "machine"));  // new: the machine's
  EXPECT_EQ(r.ReadString(kMachine, "Software\\Classes\\" + ext, ""), "machine");
  ASSERT_TRUE(r.WriteString(kUser, "Software\\Classes\\" + ext, "", "user"));
  EXPECT_EQ(r.ReadString(cr, ext, ""), "user");
  ASSERT_TRUE(r.WriteDword(cr, ext, "n", 1));  // existing for the user: the user's
  EXPECT_EQ(r.ReadDword(kUser, "Software\\Classes\\" + ext, "n"), 1u);
  EXPECT_FALSE(r.ReadDword(kMachine, "Software\\Classes\\" + ext, "n"));
  ASSERT_TRUE(r.DeleteKey(cr, ext));  // the user's goes, the machine's shows again
  EXPECT_EQ(r.ReadString(cr, ext, ""), "machine");
  EXPECT_FALSE(r.DeleteKey(cr, ""));
  EXPECT_TRUE(r.KeyExists(kMachine, "Software\\Classes\\" + ext));
}

TEST_F(PlatformTest, TheSimulatedSystemTakesItsFactsFromTheMachineFile) {
  HostSystem& sys = static_cast<HostSystem&>(Sys());
  // The defaults.
  EXPECT_EQ(sys.MajorVersion(), 10);
  EXPECT_EQ(sys.MinorVersion(), 0);
  EXPECT_TRUE(sys.Is64BitSystem());
  EXPECT_EQ(sys.UsableProcessors(), std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(sys.WindowsFolder(), "C:\\Windows");
  EXPECT_EQ(sys.SystemFolder(), "C:\\Windows\\System32");
  EXPECT_TRUE(Fs().DirectoryExists("C:\\Windows\\System32"));
  EXPECT_TRUE(sys.DriveExists("Z:\\"));
  EXPECT_FALSE(sys.DriveExists("D:"));
  EXPECT_FALSE(sys.FreeSpace("D:\\"));
  EXPECT_FALSE(sys.FreeSpace("\\\\server\\share\\x"));
  EXPECT_TRUE(sys.IsElevated());
  EXPECT_FALSE(sys.HasLimitedToken());
  EXPECT_TRUE(sys.IsAdminMember());
  EXPECT_TRUE(sys.UacEnabled());
  EXPECT_TRUE(StartsWith(sys.ProgramFile(), "Z:\\"));

  sys.Set("version", "6.1");
  sys.Set("64bit", "0");
  sys.Set("processors", "3");
  sys.Set("drives", "CDZ");
  sys.Set("windows", "D:\\Win\\");
  EXPECT_TRUE(Fs().DirectoryExists("D:\\Win\\System32"));  // made in the sandbox at once
  sys.Set("free.C", "123456789");
  sys.Set("admin", "0");
  sys.Set("elevated", "0");
  sys.Set("limited", "1");
  sys.Set("uac", "true");
  sys.Set("now", "45000.25");
  sys.Set("program", "C:\\setup\\setup.exe");
  // A second object on the machine (another process, say) sees them.
  auto other = CreateNativeSystem(m_.MachineRoot());
  for (ISystem* s : {static_cast<ISystem*>(&sys), other.get()}) {
    EXPECT_EQ(s->MajorVersion(), 6);
    EXPECT_EQ(s->MinorVersion(), 1);
    EXPECT_FALSE(s->Is64BitSystem());
    EXPECT_EQ(s->UsableProcessors(), 3u);
    EXPECT_EQ(s->WindowsFolder(), "D:\\Win");
    EXPECT_EQ(s->SystemFolder(), "D:\\Win\\System32");
    EXPECT_TRUE(s->DriveExists("D:"));
    EXPECT_EQ(s->FreeSpace("C:\\Program Files"), 123456789u);
    EXPECT_TRUE(s->FreeSpace("D:\\"));
    EXPECT_FALSE(s->IsElevated());
    EXPECT_TRUE(s->HasLimitedToken());
    EXPECT_FALSE(s->IsAdminMember());
    EXPECT_TRUE(s->UacEnabled());
    EXPECT_EQ(s->LocalNow(), 45000.25);
    EXPECT_EQ(s->ProgramFile(), "C:\\setup\\setup.exe");
  }
  EXPECT_EQ(sys.Get("processors"), "3");

  EXPECT_THROW(sys.Set("version", "six"), std::invalid_argument);
  EXPECT_THROW(sys.Set("processors", "0"), std::invalid_argument);
  EXPECT_THROW(sys.Set("drives", "c"), std::invalid_argument);
  EXPECT_THROW(sys.Set("no such fact", "1"), std::invalid_argument);
  sys.Set("version", "");  // back to the default
  EXPECT_EQ(sys.MajorVersion(), 10);

  // A value nobody could have set through Set takes the default.
  std::ofstream(m_.MachineRoot() + "/machine.txt", std::ios::binary) << "processors=zero\nadmin=maybe\n";
  EXPECT_EQ(sys.UsableProcessors(), std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_TRUE(sys.IsAdminMember());
}

TEST(HostSystem, WithoutARootTheFactsLiveInTheObject) {
  HostSystem a, b;
  a.Set("version", "6.2");
  EXPECT_EQ(a.MinorVersion(), 2);
  EXPECT_EQ(b.MinorVersion(), 0);
  HostRegistry r;
  ASSERT_TRUE(r.WriteString(kUser, "Software\\X", "v", "memory"));
  EXPECT_EQ(r.ReadString(kUser, "Software\\X", "v"), "memory");
  EXPECT_FALSE(HostRegistry().KeyExists(kUser, "Software\\X"));
}

#endif

}  // namespace
