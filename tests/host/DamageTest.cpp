// Damaged packages: every kind of damage raises ESetupException with a text
// that says what and where, and nothing half-written stays behind.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "base/Text.h"

using namespace stw;
using namespace stw::test;

namespace {

class DamageTest : public ::testing::Test {
 protected:
  TestMachine m;
  std::string file = m.Work() + "setup.exe";
  BuildReport report;
  PackageManifest man = SampleManifest();

  void Build() { report = BuildPackage(man, m.Native(file)); }
  // Reads the package and returns the error text, or "" when it was read.
  std::string ReadError(const std::string& path) {
    try {
      OpenAndRead(m, path);
      return {};
    } catch (const ESetupException& e) {
      return e.Reason();
    }
  }
  // Package position of the byte after the first `blocks` string blocks.
  int64_t PositionAfterBlocks(int blocks) {
    OpenedPackage o(m);
    o.pkg.SetupFile = file;
    o.pkg.OpenPackage();
    for (int i = 0; i < blocks; ++i) o.pkg.ReadPackageString("block");
    return o.pkg.Position();
  }
};

TEST_F(DamageTest, EveryTruncationIsReportedNeverACrash) {
  man.blocks = BlockMode::Auto;
  Build();
  const std::string whole = m.ReadFile(file);
  const int64_t definitionEnd = report.offsets[report.supportFiles];
  const std::string cut = m.Work() + "cut.exe";
  int reported = 0;
  for (int64_t len = 0; len < definitionEnd; len += (len < 700 ? 1 : 13)) {
    m.WriteFile(cut, whole.substr(0, static_cast<size_t>(len)));
    const std::string error = ReadError(cut);
    EXPECT_NE(error, "") << "a package cut at " << len << " bytes was read";
    reported += !error.empty();
  }
  EXPECT_GT(reported, 100);
  m.WriteFile(cut, whole.substr(0, 600));
  EXPECT_NE(ReadError(cut).find("past the end"), std::string::npos) << ReadError(cut);
}

TEST_F(DamageTest, AbsurdHeaderValuesAreRefused) {
  Build();
  const std::string good = m.ReadFile(file);
  PatchFile(m, file, kLocatorOffset, Le32(-5));
  EXPECT_NE(ReadError(file).find("header offset -5"), std::string::npos) << ReadError(file);
  m.WriteFile(file, good);
  PatchFile(m, file, man.frontSize + 1, Le32(-1));  // a 4 GiB dictionary
  EXPECT_NE(ReadError(file).find("dictionary size 4294967295"), std::string::npos) << ReadError(file);
  m.WriteFile(file, good);
  PatchFile(m, file, man.frontSize, std::string(1, '\xF0'));  // lc/lp/pb out of range
  EXPECT_NE(ReadError(file).find("invalid LZMA property byte 240"), std::string::npos);
  m.WriteFile(file, good);
  PatchFile(m, file, man.frontSize + 46, Le32(-100));
  EXPECT_NE(ReadError(file).find("negative first section"), std::string::npos);
}

TEST_F(DamageTest, SizesAndCountsThatRunPastTheEnd) {
  man.section4Flags = 64;
  man.section4Tables[0] = 1;
  Build();
  const std::string good = m.ReadFile(file);
  // Section 4's table count: negative, and far beyond the file.
  const int64_t countAt = PositionAfterBlocks(2) + 2;
  for (int32_t bad : {-1, 0x7FFFFFFF, 100000}) {
    m.WriteFile(file, good);
    PatchFile(m, file, static_cast<uint64_t>(countAt), Le32(bad));
    EXPECT_NE(ReadError(file).find("section 4 table count " + std::to_string(bad)), std::string::npos)
        << bad << ": " << ReadError(file);
  }
  // The first block's size: a stored block longer than the file, and the
  // most negative size.
  const int64_t first = static_cast<int64_t>(man.frontSize + kHeaderSize);
  for (int32_t bad : {-50000000, INT32_MIN}) {
    m.WriteFile(file, good);
    PatchFile(m, file, static_cast<uint64_t>(first), Le32(bad));
    EXPECT_NE(ReadError(file).find("runs past the end"), std::string::npos) << ReadError(file);
  }
  // A compressed block that claims more than a definition holds, and one
  // whose stored size is negative.
  m.WriteFile(file, good);
  PatchFile(m, file, static_cast<uint64_t>(first), Le32(0x7FFFFFFF) + Le32(10));
  EXPECT_NE(ReadError(file).find("more than a setup definition can hold"), std::string::npos);
  m.WriteFile(file, good);
  PatchFile(m, file, static_cast<uint64_t>(first), Le32(100) + Le32(-3));
  EXPECT_NE(ReadError(file).find("negative stored size"), std::string::npos);
}

TEST_F(DamageTest, CorruptCompressedBlocksNeverCrash) {
  man.blocks = BlockMode::Compressed;
  Build();
  const std::string good = m.ReadFile(file);
  const int64_t first = static_cast<int64_t>(man.frontSize + kHeaderSize);
  int errors = 0;
  for (int i = 0; i < 40; ++i) {
    std::string bad = good;
    const size_t at = static_cast<size_t>(first + 8 + (i * 37) % 300);
    bad[at] = static_cast<char>(bad[at] ^ (1 << (i % 8)));
    m.WriteFile(file, bad);
    errors += !ReadError(file).empty();
  }
  EXPECT_GT(errors, 20);  // most flips break the data; the rest decode to other text
  // A stored size one byte too long leaves input the stream does not use.
  m.WriteFile(file, good);
  const uint32_t stored = LoadU32(reinterpret_cast<const uint8_t*>(good.data()) + first + 4);
  PatchFile(m, file, static_cast<uint64_t>(first + 4), Le32(static_cast<int32_t>(stored + 1)));
  EXPECT_NE(ReadError(file).find("before their stored size"), std::string::npos) << ReadError(file);
}

TEST_F(DamageTest, DeeplyNestedFoldersAreRefused) {
  BuildFolder* f = &man.components[0].root;
  for (int i = 0; i < 300; ++i) {
    f->folders.emplace_back();
    f = &f->folders.back();
    f->name = "d";
  }
  Build();
  EXPECT_NE(ReadError(file).find("nested deeper than"), std::string::npos) << ReadError(file);
}

TEST_F(DamageTest, FileEntriesAndDependenciesOutsideTheTables) {
  man.components[0].root.folders[0].items[0].file.DataIndex = 999;
  Build();
  EXPECT_NE(ReadError(file).find("data index 999 is beyond the 8 files"), std::string::npos) << ReadError(file);
  man = SampleManifest();
  man.components[1].dependencies = {7};
  Build();
  EXPECT_NE(ReadError(file).find("component Notes needs component 7 of 2"), std::string::npos) << ReadError(file);
}

TEST_F(DamageTest, SupportFileNamesThatLeaveTheTemporaryFolderAreRefused) {
  // A readme only costs its button: the odd name is passed over, and
  // nothing is written under it.
  man.readme = BuildSource{"..\\..\\evil.dll", "", std::string("x"), true};
  Build();
  for (const bool silent : {false, true}) {
    TSetupReader::Options opt;
    opt.silent = silent;
    auto o = OpenAndRead(m, file, opt);
    EXPECT_FALSE(o->def.HasReadme);
    for (const std::string& p : o->pkg.TempFilePaths) EXPECT_EQ(p.find("evil"), std::string::npos) << p;
  }
  // A licence must be shown, so its name is an error where it is extracted,
  // and nothing where a silent run only passes over it.
  // (The readme stays, so that the data indices of the files stay too.)
  man.readme = BuildSource{"readme.txt", "", std::string("x"), true};
  man.licence = BuildSource{"..\\..\\evil.dll", "", std::string("x"), true};
  Build();
  EXPECT_NE(ReadError(file).find("licence file name"), std::string::npos) << ReadError(file);
  TSetupReader::Options silent;
  silent.silent = true;
  EXPECT_NO_THROW(OpenAndRead(m, file, silent));
  man.licence.reset();
  man.supportDll = BuildSource{"C:evil.dll", "", std::string("x"), true};
  Build();
  EXPECT_NE(ReadError(file).find("support DLL file name"), std::string::npos) << ReadError(file);
}

TEST_F(DamageTest, AFileWithTheWrongChecksumOrSizeIsNotExtracted) {
  Build();
  const int app = FindDataIndex(man, "app.exe");
  const int rnd = FindDataIndex(man, "random.bin");
  auto o = OpenAndRead(m, file);
  auto expectRefused = [&](int index, const std::string& why) {
    const std::string target = m.Work() + "out\\" + std::to_string(index) + ".bin";
    m.WriteFile(target, "previous version");
    std::string t = target;
    try {
      o->pkg.ExtractPackageFile(t, index, true);
      ADD_FAILURE() << "damaged data index " << index << " was extracted";
    } catch (const ESetupException& e) {
      EXPECT_EQ(std::string(e.what()),
                "The file " + std::to_string(index) + ".bin could not be read from the installation package. The "
                "package may be damaged; please contact Test Works (https://example.invalid).");
      EXPECT_NE(e.Reason().find(why), std::string::npos) << e.Reason();
    }
    // The earlier file is untouched and no temporary file is left.
    EXPECT_EQ(m.ReadFile(target), "previous version");
    for (const std::string& name : m.List(m.Work() + "out\\")) EXPECT_FALSE(StartsWith(AsciiLower(name), "stw")) << name;
  };
  o->pkg.Tables.FileChecksums[app] ^= 1;
  expectRefused(app, "does not match the recorded");
  o->pkg.Tables.FileChecksums[app] ^= 1;
  o->pkg.Tables.FileSizes[app] += 10;
  expectRefused(app, "end too early (after 200000 of 200010 bytes)");
  o->pkg.Tables.FileSizes[app] -= 20;
  expectRefused(app, "corrupt");
  o->pkg.Tables.FileSizes[app] += 10;
  o->pkg.Tables.FileStoredSizes[app] += 1;  // one byte more than the stream uses
  expectRefused(app, "before their stored size");
  o->pkg.Tables.FileStoredSizes[app] -= 1;
  // Corrupt the compressed bytes themselves in the file (closed meanwhile:
  // the reader denies other writers while it has the package open).
  const std::string good = m.ReadFile(file);
  const int64_t appOffset = o->pkg.Tables.FileOffsets[app];
  o.reset();
  PatchFile(m, file, static_cast<uint64_t>(appOffset + 100), "\x55\xAA\x55\xAA");
  o = OpenAndRead(m, file);
  expectRefused(app, std::to_string(app) + ".bin (package position");
  o.reset();
  m.WriteFile(file, good);
  o = OpenAndRead(m, file);
  // A stored file whose range runs past the end of the package.
  o->pkg.Tables.FileStoredSizes[rnd] = o->pkg.Tables.FileSizes[rnd] = 1 << 30;
  expectRefused(rnd, "run past the end");
  // Offsets and sizes near the top of the int64 range: refused, with no
  // arithmetic overflow on the way.
  o->pkg.Tables.FileOffsets[rnd] = o->pkg.Tables.FileStoredSizes[rnd] = o->pkg.Tables.FileSizes[rnd] =
      int64_t{1} << 62;
  expectRefused(rnd, "past the end of");
  o->pkg.Tables.FileOffsets[rnd] = -7;
  expectRefused(rnd, "has no data in the package");
}

}  // namespace
