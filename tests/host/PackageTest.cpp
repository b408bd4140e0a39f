// The package container read back from packages that the builder writes.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "TestSupport.h"
#include "base/Text.h"
#include "package/Crc32.h"

#include <lzma.h>

using namespace stw;
using namespace stw::test;

namespace {

class PackageTest : public ::testing::Test {
 protected:
  TestMachine m;
  std::string Build(const PackageManifest& man, const std::string& name = "setup.exe") {
    const std::string path = m.Work() + name;
    report = BuildPackage(man, m.Native(path));
    return path;
  }
  // Extracts every installable file and compares it with its source.
  void ExpectAllFilesExact(OpenedPackage& o, const PackageManifest& man) {
    const size_t t = o.pkg.TempFileNames.size();
    for (size_t i = 0; i < man.files.size(); ++i) {
      std::string target = m.Work() + "out\\" + man.files[i].name;
      m.WriteFile(target, "old content");
      o.pkg.ExtractPackageFile(target, static_cast<int>(t + i), false);
      EXPECT_EQ(target, m.Work() + "out\\" + man.files[i].name);
      EXPECT_TRUE(m.ReadFile(target) == *man.files[i].content) << man.files[i].name;
    }
  }
  BuildReport report;
};

TEST_F(PackageTest, CrcMatchesTheStandardCheckValueAndRuns) {
  EXPECT_EQ(Crc32("123456789", 9, 0), 0xCBF43926u);
  const uint32_t part = Crc32("12345", 5, 0);
  EXPECT_EQ(Crc32("6789", 4, part), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0, 0), 0u);
  // The fast path (64 bytes and more, folded by carry-less multiplication)
  // agrees with liblzma's table-driven CRC at every length, alignment and
  // split into running pieces.
  const std::string data = RandomBytes(5000, 77);
  for (size_t offset : {0, 1, 7}) {
    for (size_t len = 0; len + offset <= data.size(); len += len < 300 ? 1 : 97) {
      const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + offset;
      const uint32_t expected = lzma_crc32(p, len, 0);
      ASSERT_EQ(Crc32(p, len, 0), expected) << offset << "+" << len;
      const size_t half = len / 3;
      ASSERT_EQ(Crc32(p + half, len - half, Crc32(p, half, 0)), expected) << offset << "+" << len;
    }
  }
}

TEST_F(PackageTest, FilesComeBackByteExactWithTheirTimes) {
  const PackageManifest man = SampleManifest();
  const std::string file = Build(man);
  auto o = OpenAndRead(m, file);
  ASSERT_EQ(o->pkg.Tables.Count(), 2 + man.files.size());
  // Compressible files were compressed, random data stored as it is.
  const size_t app = FindDataIndex(man, "app.exe"), rnd = FindDataIndex(man, "random.bin");
  EXPECT_LT(o->pkg.Tables.FileStoredSizes[app], o->pkg.Tables.FileSizes[app] / 4);
  EXPECT_EQ(o->pkg.Tables.FileStoredSizes[rnd], o->pkg.Tables.FileSizes[rnd]);
  ExpectAllFilesExact(*o, man);
  EXPECT_NEAR(m.LastWriteTime(m.Work() + "out\\app.exe"), 46000.5, 1.0 / 86400);
  // Nothing but the files themselves is left in the folder.
  EXPECT_EQ(m.List(m.Work() + "out\\"),
            (std::vector<std::string>{"UnStowa32.exe", "UnStowaXP.exe", "app.exe", "empty.txt", "notes.txt",
                                      "random.bin"}));
}

TEST_F(PackageTest, StreamsWithAndWithoutEndMarkerDecode) {
  for (bool marker : {false, true}) {
    PackageManifest man = SampleManifest();
    man.lzma.endMarker = marker;
    man.blocks = BlockMode::Compressed;
    const std::string file = Build(man, marker ? "marker.exe" : "plain.exe");
    auto o = OpenAndRead(m, file);
    EXPECT_EQ(o->def.ProductKey, "Test Product");
    ExpectAllFilesExact(*o, man);
  }
}

// One decoder through streams of falling and rising sizes, other
// properties, a damaged stream and a sink that throws: every output is what
// a fresh decoder gives, so nothing of one stream leaks into the next.
TEST_F(PackageTest, AKeptDecoderDecodesEveryStreamAsAFreshOneDoes) {
  struct Case {
    LzmaEncoderOptions opt;
    std::string data;
  };
  std::vector<Case> cases;
  auto add = [&](uint32_t preset, uint32_t dict, bool marker, std::string data) {
    LzmaEncoderOptions o;
    o.preset = preset;
    o.dictSize = dict;
    o.endMarker = marker;
    cases.push_back({o, std::move(data)});
  };
  add(6, 1u << 20, false, TextBytes(3000000, 1));  // the dictionary wholly used
  add(6, 1u << 20, false, TextBytes(5000, 2));     // much less than what the decoder holds
  add(1, 1u << 16, true, RandomBytes(70000, 3));   // a smaller dictionary than before
  add(6, 4u << 20, false, TextBytes(4500000, 4));  // a larger one: the decoder grows
  add(6, 1u << 20, false, std::string());          // nothing at all
  add(6, 1u << 20, true, TextBytes(100, 5));
  TLzmaDecoder kept;
  auto decode = [](TLzmaDecoder& d, const LzmaProps& props, const std::string& packed, uint64_t size) {
    std::string out;
    size_t pos = 0;
    d.Decode(
        props, packed.size(), size,
        [&](uint8_t* b, size_t n) {
          n = std::min(n, packed.size() - pos);
          std::copy_n(packed.data() + pos, n, b);
          pos += n;
          return n;
        },
        [&](const uint8_t* b, size_t n) { out.append(reinterpret_cast<const char*>(b), n); });
    return out;
  };
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      const std::string packed = LzmaEncodeBuffer(c.opt, c.data);
      const LzmaProps props = LzmaEncoderProps(c.opt);
      TLzmaDecoder fresh;
      EXPECT_TRUE(decode(kept, props, packed, c.data.size()) == c.data) << c.data.size();
      EXPECT_TRUE(decode(fresh, props, packed, c.data.size()) == c.data) << c.data.size();
      if (packed.size() < 64) continue;
      // A damaged copy fails, a sink that throws leaves the decoder
      // mid-stream; the next stream decodes whole all the same.
      std::string bad = packed;
      for (size_t i = bad.size() / 3; i < bad.size() / 3 + 16; ++i) bad[i] = static_cast<char>(~bad[i]);
      std::string out;
      try {
        out = decode(kept, props, bad, c.data.size());
      } catch (const ESetupException&) {
      }
      EXPECT_FALSE(out == c.data && !out.empty()) << "damage went unnoticed at " << c.data.size();
      size_t pos = 0;
      EXPECT_THROW(kept.Decode(
                       props, packed.size(), c.data.size(),
                       [&](uint8_t* b, size_t n) {
                         n = std::min(n, packed.size() - pos);
                         std::copy_n(packed.data() + pos, n, b);
                         pos += n;
                         return n;
                       },
                       [](const uint8_t*, size_t) { throw std::runtime_error("sink"); }),
                   std::runtime_error);
    }
  }
}

TEST_F(PackageTest, StoredCompressedAndEmptyBlocksReadAlike) {
  for (BlockMode mode : {BlockMode::Stored, BlockMode::Compressed, BlockMode::Auto}) {
    PackageManifest man = SampleManifest();
    man.blocks = mode;
    man.registryData.clear();  // an empty block between full ones
    const std::string file = Build(man, "blocks" + std::to_string(static_cast<int>(mode)) + ".exe");
    auto o = OpenAndRead(m, file);
    EXPECT_EQ(o->pkg.InterfaceStrings, man.interfaceStrings);
    EXPECT_EQ(o->def.Components.size(), 2u);
    EXPECT_TRUE(o->def.RegistryData.empty());
    EXPECT_EQ(o->def.PackageFileNames.size(), man.files.size());
  }
}

TEST_F(PackageTest, SupportFilesAreExtractedStoredOrCompressedAndNumberedWhenNamesRepeat) {
  PackageManifest man = SampleManifest();
  man.readme = BuildSource{"notes.txt", "", TextBytes(4000, 11), true};  // compressed
  man.licence = BuildSource{"notes.txt", "", RandomBytes(300, 12), true};  // stored: compression does not pay
  // Stored by request although it is a valid LZMA stream: copied unchanged.
  man.supportDll = BuildSource{"README", "", LzmaEncodeBuffer({}, TextBytes(900, 13)), false};
  man.extraFile = BuildSource{"extra.bin", "", TextBytes(100, 14), true};
  m.WriteFile(m.Work() + "temp\\README", "already there");
  const std::string file = Build(man);
  auto o = OpenAndRead(m, file);
  const auto& paths = o->pkg.TempFilePaths;
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(paths[0], m.Work() + "temp\\notes.txt");
  EXPECT_EQ(paths[1], m.Work() + "temp\\notes2.txt");
  EXPECT_EQ(paths[2], m.Work() + "temp\\README2");
  EXPECT_EQ(paths[3], "*");  // the extra file is passed over
  EXPECT_EQ(m.ReadFile(paths[0]), *man.readme->content);
  EXPECT_EQ(m.ReadFile(paths[1]), *man.licence->content);
  EXPECT_EQ(m.ReadFile(paths[2]), *man.supportDll->content);
  EXPECT_EQ(o->def.ReadmeIndex, 0);
  EXPECT_EQ(o->def.LicenseIndex, 1);
  EXPECT_EQ(o->def.SupportDllIndex, 2);
  // Extracted support files are out of the table's range; skipped ones stay.
  EXPECT_EQ(o->pkg.Tables.FileOffsets[0], -1);
  EXPECT_GT(o->pkg.Tables.FileOffsets[3], 0);
  std::string extra = m.Work() + "extra.bin";
  o->pkg.ExtractPackageFile(extra, 3, false);
  EXPECT_EQ(m.ReadFile(extra), *man.extraFile->content);
  ExpectAllFilesExact(*o, man);
}

TEST_F(PackageTest, SilentRunSkipsReadmeLicenceAndBackgroundButKeepsIndicesAligned) {
  PackageManifest man = SampleManifest();
  man.supportDll = BuildSource{"hooks.dll", "", RandomBytes(2000, 21), true};
  man.backgroundEnabled = true;
  man.backgroundImage = BuildSource{"back.bmp", "", TextBytes(5000, 22), true};
  man.backgroundTopText = "Top";
  man.backgroundBottomText = "Bottom";
  const std::string file = Build(man);
  TSetupReader::Options silent;
  silent.silent = true;
  auto o = OpenAndRead(m, file, silent);
  EXPECT_EQ(o->pkg.TempFilePaths,
            (std::vector<std::string>{"*", "*", m.Work() + "temp\\hooks.dll", "*"}));
  EXPECT_FALSE(o->def.HasReadme);
  EXPECT_EQ(o->def.SupportDllIndex, 2);
  EXPECT_EQ(o->def.BackgroundImage, "back.bmp");
  EXPECT_EQ(o->def.BackgroundBottomText, "Bottom");
  ExpectAllFilesExact(*o, man);
  // A skipped support file can still be taken from the package later.
  std::string readme = m.Work() + "readme-later.txt";
  o->pkg.ExtractPackageFile(readme, 0, false);
  EXPECT_EQ(m.ReadFile(readme), *man.readme->content);

  auto full = OpenAndRead(m, file);
  EXPECT_TRUE(full->def.HasReadme);
  EXPECT_EQ(full->def.BackgroundImageIndex, 3);
  EXPECT_EQ(m.ReadFile(full->pkg.TempFilePaths[3]), *man.backgroundImage->content);
}

TEST_F(PackageTest, AFileSpanningThreeVolumesAndFilesOnTheBoundaries) {
  PackageManifest man = SampleManifest();
  man.readme.reset();
  man.licence.reset();
  man.blocks = BlockMode::Stored;
  for (auto& f : man.files) f.compress = false;
  man.volumeSize = 16384;
  // Lay the data out so that files start and end exactly on boundaries:
  // the definition does not depend on the padding's size, so one probe
  // build tells where the data begin.
  man.files.clear();
  BuildFile pad;
  pad.name = "pad.bin";
  pad.content = RandomBytes(1000, 31);
  pad.compress = false;
  man.files.push_back(pad);
  BuildFile one = pad;
  one.name = "one.bin";
  one.content = RandomBytes(1, 32);  // ends exactly on the first boundary
  man.files.push_back(one);
  BuildFile span = pad;
  span.name = "span.bin";
  span.content = RandomBytes(static_cast<size_t>(man.volumeSize) * 2 + 100, 33);  // volumes 2, 3 and 4
  man.files.push_back(span);
  BuildFile packed = pad;
  packed.name = "packed.txt";
  packed.content = TextBytes(60000, 34);
  packed.compress = true;
  man.files.push_back(packed);
  man.components.clear();
  const BuildReport probe = BuildPackage(man, m.Native(m.Work() + "probe.exe"));
  man.files[0].content = RandomBytes(static_cast<size_t>(man.volumeSize - 1 - probe.offsets[0]), 31);
  const std::string file = Build(man);
  EXPECT_EQ(report.offsets[1] + 1, man.volumeSize);
  EXPECT_EQ(report.offsets[2], man.volumeSize);
  EXPECT_EQ(report.offsets[3], 3 * man.volumeSize + 100);
  EXPECT_GE(report.volumes, 4);
  EXPECT_TRUE(m.Exists(m.Work() + "setup.002"));
  EXPECT_TRUE(m.Exists(m.Work() + "setup.004"));
  auto o = OpenAndRead(m, file);
  EXPECT_EQ(o->pkg.VolumeSize, 16384u);
  ExpectAllFilesExact(*o, man);
}

TEST_F(PackageTest, AMissingVolumeIsAskedForUntilItIsThere) {
  PackageManifest man = SampleManifest();
  man.volumeSize = 8192;
  const std::string file = Build(man);
  ASSERT_GE(report.volumes, 3);
  auto o = OpenAndRead(m, file);
  o->pkg.WindowCaption = "Test Setup";
  m.Rename(m.Work() + "setup.002", m.Work() + "moved.002");
  int prompts = 0;
  m.Dialogs().onShow = [&](const ScriptedDialogs::Shown&) {
    if (++prompts == 2) m.Rename(m.Work() + "moved.002", m.Work() + "setup.002");  // the user finds it
  };
  m.Dialogs().Answer(IDOK_);
  m.Dialogs().Answer(IDOK_);
  ExpectAllFilesExact(*o, man);
  ASSERT_EQ(m.Dialogs().shown.size(), 2u);
  EXPECT_EQ(m.Dialogs().shown[0].text, "Please make volume 2 of the installation available, then press OK.");
  EXPECT_EQ(m.Dialogs().shown[0].title, "Test Setup");

  // Unattended, nobody can answer: the read fails instead of waiting.
  m.Dialogs().onShow = nullptr;
  m.Remove(m.Work() + "setup.003");
  auto again = OpenAndRead(m, file);
  std::string target = m.Work() + "late.bin";
  bool failed = false;
  for (int i = 2; i < static_cast<int>(again->pkg.Tables.Count()) && !failed; ++i) {
    try {
      again->pkg.ExtractPackageFile(target, i, false);
    } catch (const ESetupException& e) {
      failed = true;
      EXPECT_NE(e.Reason().find("setup.003"), std::string::npos) << e.Reason();
    }
  }
  EXPECT_TRUE(failed);
}

TEST_F(PackageTest, SeveralThreadsExtractDifferentFilesAtOnce) {
  PackageManifest man = SampleManifest();
  man.files.clear();
  for (int i = 0; i < 24; ++i) {
    BuildFile f;
    f.name = "f" + std::to_string(i) + ".bin";
    f.content = i % 3 ? TextBytes(300000 + 7919 * i, 100 + i) : RandomBytes(1200000 + i, 100 + i);
    f.time = 45000;
    f.compress = i % 3 != 0;  // random data would not shrink anyway
    man.files.push_back(f);
  }
  man.components.clear();
  for (uint32_t volumeSize : {0u, 1500000u}) {
    man.volumeSize = volumeSize;
    const std::string file = Build(man, "threads" + std::to_string(volumeSize) + ".exe");
    auto o = OpenAndRead(m, file);
    m.WriteFile(m.Work() + "mt\\folder.txt", "");
    std::atomic<int> next{0};
    std::atomic<int> errors{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
      workers.emplace_back([&, w] {
        // Half the workers keep their buffers from file to file, as the
        // installer's do; the others allocate per file.
        TReadBuffers own;
        for (int i; (i = next++) < static_cast<int>(man.files.size());) {
          std::string target = m.Work() + "mt\\" + man.files[i].name;
          try {
            o->pkg.ExtractPackageFile(target, 2 + i, false, w % 2 ? &own : nullptr);
          } catch (const std::exception&) {
            ++errors;
          }
        }
      });
    for (auto& t : workers) t.join();
    EXPECT_EQ(errors.load(), 0);
    for (const auto& f : man.files) EXPECT_TRUE(m.ReadFile(m.Work() + "mt\\" + f.name) == *f.content) << f.name;
  }
}

TEST_F(PackageTest, AFileInUseIsReplacedAtRestartOrReported) {
  const PackageManifest man = SampleManifest();
  const std::string file = Build(man);
  auto o = OpenAndRead(m, file);
  const int app = FindDataIndex(man, "app.exe");
  const std::string target = m.Work() + "inuse\\app.exe";
  m.WriteFile(target, "running program");
  m.HoldOpen(target);

  std::string noFallback = target;
  try {
    o->pkg.ExtractPackageFile(noFallback, app, false);
    ADD_FAILURE() << "a file in use was overwritten";
  } catch (const ESetupException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("The file " + target + " could not be created.  (", 0), 0u) << e.what();
  }
  EXPECT_EQ(m.List(m.Work() + "inuse\\"), std::vector<std::string>{"app.exe"});

  std::string withFallback = target;
  o->pkg.ExtractPackageFile(withFallback, app, true);
  EXPECT_NE(withFallback, target);
  EXPECT_EQ(ExtractFileDir(withFallback), ExtractFileDir(target));
  EXPECT_TRUE(StartsWith(AsciiLower(ExtractFileName(withFallback)), "stw"));
  m.ReleaseAll();
  EXPECT_TRUE(m.ReadFile(withFallback) == *man.files[app - 2].content);
  EXPECT_EQ(m.ReadFile(target), "running program");
  EXPECT_TRUE(m.RestartReplaceScheduled(target));
}

}  // namespace
