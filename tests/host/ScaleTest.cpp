// Packages at scale, installed by setup-host on a simulated machine and
// checked byte for byte.
//
// LongScale (the long CI stage; about 4 minutes and at most ~9 GB of disk
// at a time on a 2-core machine):
//   - a package of 4.25 GiB in one file, and the same cut into three
//     volumes of 2,200,000,000 bytes (a size above 2^31): package positions,
//     file offsets and a file's own range cross 2^32 and volume boundaries
//     fall inside files;
//   - 100,000 small files in four folders.
// ScaleTest (quick): the definition of 10,000 files read back entry by
// entry; volumes are the one-file package cut into pieces.
//
// The big files' bytes come from a counter-based generator, so they are
// checked against the generator after the sources are gone: sources and
// installation never stand on the disk beside the package at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "TestSupport.h"
#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/PackageBuilder.h"
#include "package/Crc32.h"
#include "package/Definition.h"
#include "package/Package.h"

using namespace stw;
using namespace stw::test;

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t k4GiB = 1ull << 32;
constexpr size_t kChunk = 8u << 20;

// Word i of stream `seed` (splitmix64 of the counter): any range of any
// stream can be made again without the others.
inline uint64_t StreamWord(uint64_t seed, uint64_t i) {
  uint64_t z = seed * 0xD1B54A32D192ED03ull + (i + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Bytes [offset, offset + n) of stream `seed`; offset a multiple of 8.
void StreamBytes(uint64_t seed, uint64_t offset, char* out, size_t n) {
  const uint64_t first = offset / 8;
  const size_t words = (n + 7) / 8;
  for (size_t w = 0; w < words; ++w) {
    const uint64_t v = StreamWord(seed, first + w);
    const size_t k = std::min<size_t>(8, n - w * 8);
    std::memcpy(out + w * 8, &v, k);  // little-endian host
  }
}

void WriteStream(const std::string& path, uint64_t seed, uint64_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::vector<char> buf(kChunk);
  for (uint64_t at = 0; at < size; at += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - at));
    StreamBytes(seed, at, buf.data(), n);
    ASSERT_EQ(std::fwrite(buf.data(), 1, n, f), n) << path;
  }
  ASSERT_EQ(std::fclose(f), 0) << path;
}

// "" when the file holds exactly stream `seed` of `size` bytes; otherwise
// where it differs first.
std::string CheckStream(const std::string& path, uint64_t seed, uint64_t size) {
  std::error_code ec;
  const uint64_t actual = fs::file_size(path, ec);
  if (ec) return path + ": " + ec.message();
  if (actual != size) return path + ": " + std::to_string(actual) + " bytes, not " + std::to_string(size);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return path + ": cannot open";
  std::vector<char> want(kChunk), got(kChunk);
  std::string error;
  for (uint64_t at = 0; at < size && error.empty(); at += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - at));
    StreamBytes(seed, at, want.data(), n);
    if (std::fread(got.data(), 1, n, f) != n) {
      error = path + ": short read at " + std::to_string(at);
      break;
    }
    if (std::memcmp(want.data(), got.data(), n) != 0) {
      size_t i = 0;
      while (want[i] == got[i]) ++i;
      error = path + ": differs first at byte " + std::to_string(at + i);
    }
  }
  std::fclose(f);
  return error;
}

std::string ReadNative(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// The lines of the log's first section (files and shortcuts): those after
// the header and settings that name a path of the application folder, up
// to the first "%%%".
std::vector<std::string> LoggedFiles(const std::string& log, const std::string& app) {
  std::vector<std::string> out;
  for (const std::string& line : SplitLines(log)) {
    if (line == "%%%") break;
    if (StartsWith(line, app + "\\")) out.push_back(line);
  }
  return out;
}

BuildFile Inline(const std::string& name, std::string content) {
  BuildFile f;
  f.name = name;
  f.content = std::move(content);
  f.time = 46000.5;
  return f;
}

BuildItem FileItem(size_t dataIndex) {
  BuildItem it;
  it.file.DataIndex = static_cast<uint16_t>(dataIndex);
  return it;
}

// The product: the uninstaller's two files first, as every package has them.
PackageManifest Product(const std::string& key) {
  PackageManifest m;
  m.interfaceStrings = DefaultInterfaceStrings();
  m.publisher = "Scale Works";
  m.productKey = key;
  m.version = "1.0";
  m.releaseDate = 46000;
  m.userType = 3;
  m.folderDefaults[0][0] = "%PROGRAMFILES%\\" + key;
  m.folderDefaults[0][1] = "%LOCALAPPDATAROOT%\\" + key;
  m.files.push_back(Inline("UnStowa32.exe", RandomBytes(5000, 1)));
  m.files.push_back(Inline("UnStowaXP.exe", RandomBytes(5000, 2)));
  return m;
}

// A simulated machine, packages and sources in one folder of the
// temporary folder, removed at the end.
class ScaleFixture : public ::testing::Test {
 protected:
  std::string root = PathToUtf8(fs::temp_directory_path() / ("stwscale-" + std::to_string(std::random_device{}())));
  std::string machine = root + "/machine";
  void SetUp() override {
    fs::create_directories(root + "/src");
    fs::create_directories(root + "/dist");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  // Installs silently with `processors` workers allowed; the exit code and
  // what setup-host printed.
  std::pair<int, std::string> Install(const std::string& installer, int processors) {
    std::error_code ec;
    fs::remove_all(machine, ec);
    fs::create_directories(machine);
    std::ofstream(machine + "/machine.txt") << "processors=" << processors << "\n";
    return RunCommand(std::string(STW_SETUP_HOST) + " --machine " + Quote(machine) + " " + Quote(installer) +
                      " /silent");
  }
  std::string AppNative(const std::string& key) { return machine + "/C/Program Files/" + key; }
};

// ---------------------------------------------------------------- over 4 GiB

struct BigFile {
  const char* name;
  uint64_t size;
  uint64_t seed;
};
// Stored (random bytes do not compress): 1.5 + 1.5 + 1.25 GiB; the third
// file's range crosses 2^32 of the package, and the small files after it
// (one compressed, one stored, odd sizes) lie wholly above it.
const BigFile kBig[] = {
    {"part1.bin", 3 * kGiB / 2, 11},
    {"part2.bin", 3 * kGiB / 2, 12},
    {"part3.bin", 5 * kGiB / 4 + 4093, 13},
};

class LongScale : public ScaleFixture {
 protected:
  const std::string key = "Scale Big";
  std::string tailText = TextBytes(300001, 21);
  std::string tailBin = RandomBytes((1u << 20) + 3, 22);

  PackageManifest BigManifest() {
    PackageManifest m = Product(key);
    BuildComponent c;
    c.name = "Program";
    BuildFolder app;
    app.name = "%APPFOLDER%";
    BuildFolder data;
    data.name = "data";
    for (const BigFile& b : kBig) {
      BuildFile f;
      f.name = b.name;
      f.path = root + "/src/" + b.name;
      f.compress = false;
      f.time = 46000.5;
      m.files.push_back(f);
      data.items.push_back(FileItem(m.files.size() - 1));
    }
    m.files.push_back(Inline("tail.txt", tailText));
    app.items.push_back(FileItem(m.files.size() - 1));
    BuildFile bin = Inline("tail.bin", tailBin);
    bin.compress = false;
    m.files.push_back(bin);
    app.items.push_back(FileItem(m.files.size() - 1));
    app.folders.push_back(data);
    c.root.folders.push_back(app);
    c.root.withItems = false;
    m.components.push_back(c);
    m.threads = 1;  // the builder holds whole files in memory: one at a time
    return m;
  }

  // Builds from freshly made sources, which are deleted again at once.
  BuildReport BuildBig(const std::string& out) {
    for (const BigFile& b : kBig) WriteStream(root + "/src/" + b.name, b.seed, b.size);
    const PackageManifest m = BigManifest();
    BuildReport r = BuildPackage(m, out);
    fs::remove_all(root + "/src");
    return r;
  }

  void ExpectInstalled(const std::string& out) {
    const std::string app = AppNative(key);
    for (const BigFile& b : kBig) EXPECT_EQ(CheckStream(app + "/data/" + b.name, b.seed, b.size), "") << out;
    EXPECT_TRUE(ReadNative(app + "/tail.txt") == tailText);
    EXPECT_TRUE(ReadNative(app + "/tail.bin") == tailBin);
    EXPECT_EQ(ReadNative(app + "/UnStowa.exe"), RandomBytes(5000, 1));
    // The log names every file once (workers finish in any order).
    const std::string win = "C:\\Program Files\\" + key;
    std::vector<std::string> logged = LoggedFiles(ReadNative(app + "/Stowa.log"), win);
    std::sort(logged.begin(), logged.end());
    const std::vector<std::string> want = {win + "\\UnStowa.exe", win + "\\data\\part1.bin", win + "\\data\\part2.bin",
                                           win + "\\data\\part3.bin", win + "\\tail.bin", win + "\\tail.txt"};
    EXPECT_EQ(logged, want) << out;
    // Nothing else: no temporary file left beside them.
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(app)) files += e.is_regular_file();
    EXPECT_EQ(files, want.size() + 1) << "the files and the log";
  }

  // Where the files lie: the range of part3 holds 2^32, the small files
  // come after it.
  void ExpectAcross4GiB(const BuildReport& r) {
    ASSERT_EQ(r.offsets.size(), 2u + std::size(kBig) + 2);
    const size_t p3 = 4, tail = 5;
    EXPECT_LT(static_cast<uint64_t>(r.offsets[p3]), k4GiB);
    EXPECT_GT(static_cast<uint64_t>(r.offsets[p3] + r.sizes[p3]), k4GiB);
    EXPECT_EQ(r.storedSizes[p3], r.sizes[p3]);
    EXPECT_GT(static_cast<uint64_t>(r.offsets[tail]), k4GiB);
    EXPECT_LT(r.storedSizes[tail], r.sizes[tail]);  // compressed, above 2^32
    EXPECT_GT(r.packageSize, k4GiB + 3 * kGiB / 16);
  }
};

// Splits a package written in one file into volumes of `v` bytes, cutting
// from the end so that the disk holds the package only once. Package
// positions are the same in both forms; only the locator's volume size
// differs (ScaleTest.VolumesAreThePackageCutIntoPieces shows that the
// builder writes exactly these bytes). Saves building 4 GiB twice.
void CutIntoVolumes(const std::string& pkg, uint32_t v) {
  const uint64_t size = fs::file_size(pkg);
  const uint64_t volumes = (size + v - 1) / v;
  std::vector<char> buf(kChunk);
  std::FILE* in = std::fopen(pkg.c_str(), "r+b");
  ASSERT_NE(in, nullptr);
  for (uint64_t k = volumes; k >= 2; --k) {
    const uint64_t from = (k - 1) * v, to = std::min<uint64_t>(k * v, size);
    const std::string name = VolumeFileName(pkg, static_cast<int>(k));
    std::FILE* out = std::fopen(name.c_str(), "wb");
    ASSERT_NE(out, nullptr) << name;
    ASSERT_EQ(fseeko(in, static_cast<off_t>(from), SEEK_SET), 0);
    for (uint64_t at = from; at < to;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, to - at));
      ASSERT_EQ(std::fread(buf.data(), 1, n, in), n);
      ASSERT_EQ(std::fwrite(buf.data(), 1, n, out), n);
      at += n;
    }
    ASSERT_EQ(std::fclose(out), 0);
    fs::resize_file(pkg, from);
  }
  const char le[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                      static_cast<char>(v >> 24)};
  ASSERT_EQ(fseeko(in, kLocatorOffset + 20, SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(le, 1, 4, in), 4u);
  ASSERT_EQ(std::fclose(in), 0);
}

TEST_F(LongScale, PackageOver4GiBWithAndWithoutVolumesInstallsEveryByte) {
  const std::string pkg = root + "/dist/big.exe";
  const BuildReport r = BuildBig(pkg);
  ExpectAcross4GiB(r);
  EXPECT_EQ(r.volumes, 1);
  EXPECT_EQ(fs::file_size(pkg), r.packageSize);
  {
    SCOPED_TRACE("one file, two workers");
    const auto [code, out] = Install(pkg, 2);
    ASSERT_EQ(code, 0) << out;
    ExpectInstalled(out);
  }
  std::error_code ec;
  fs::remove_all(machine, ec);

  // Above 2^31: a volume size read as a signed 32-bit number goes wrong.
  const uint32_t v = 2200000000u;
  CutIntoVolumes(pkg, v);
  ASSERT_EQ(fs::file_size(pkg), v);
  ASSERT_EQ(fs::file_size(root + "/dist/big.002"), v);
  ASSERT_EQ(fs::file_size(root + "/dist/big.003"), r.packageSize - 2ull * v);
  // Both volume boundaries fall inside files: part2's and part3's ranges.
  EXPECT_LT(static_cast<uint64_t>(r.offsets[3]), v);
  EXPECT_GT(static_cast<uint64_t>(r.offsets[3] + r.sizes[3]), v);
  EXPECT_LT(static_cast<uint64_t>(r.offsets[4]), 2ull * v);
  EXPECT_GT(static_cast<uint64_t>(r.offsets[4] + r.sizes[4]), 2ull * v);
  {
    SCOPED_TRACE("three volumes, one worker");
    const auto [code, out] = Install(pkg, 2);
    ASSERT_EQ(code, 0) << out;
    ExpectInstalled(out);
  }
}

// ---------------------------------------------------------------- 100,000 files

// A file entry names its data by a 16-bit index (0xFFFF = none), so a
// package holds at most 65,535 data indices: 50,000 files, each installed
// into two folders, are 100,000 installed files.
constexpr size_t kData = 50000;
constexpr size_t kPerFolder = 25000;

std::string SmallContent(size_t i) {
  std::string s = "file " + std::to_string(i) + "\n";
  s += TextBytes(40 + (i * 7919) % 700, static_cast<unsigned>(i));
  return s;
}

PackageManifest ManyFiles(const std::string& key, size_t data, size_t perFolder, size_t folders) {
  PackageManifest m = Product(key);
  for (size_t i = 0; i < data; ++i) m.files.push_back(Inline("f" + std::to_string(i) + ".txt", SmallContent(i)));
  BuildComponent c;
  c.name = "Program";
  BuildFolder app;
  app.name = "%APPFOLDER%";
  for (size_t f = 0; f < folders; ++f) {
    BuildFolder sub;
    sub.name = std::string(1, static_cast<char>('a' + f));
    const size_t first = f * perFolder % data;
    for (size_t i = 0; i < perFolder; ++i) sub.items.push_back(FileItem(2 + first + i));
    app.folders.push_back(std::move(sub));
  }
  c.root.folders.push_back(std::move(app));
  c.root.withItems = false;
  m.components.push_back(std::move(c));
  // A small dictionary: tiny files need no more, and the encoder is set
  // up once per file.
  m.lzma.dictSize = 1u << 16;
  return m;
}

TEST_F(LongScale, HundredThousandFilesInFourFolders) {
  const std::string key = "Scale Many";
  const std::string pkg = root + "/dist/many.exe";
  BuildPackage(ManyFiles(key, kData, kPerFolder, 4), pkg);
  const auto [code, out] = Install(pkg, 2);
  ASSERT_EQ(code, 0) << out;
  const std::string app = AppNative(key);
  // Every folder holds its 25,000 files and nothing else; their bytes, in
  // name order, have the CRC-32 that the contents have.
  size_t total = 0;
  for (size_t f = 0; f < 4; ++f) {
    const std::string folder = app + "/" + std::string(1, static_cast<char>('a' + f));
    std::map<size_t, std::string> found;  // index, path
    for (const auto& e : fs::directory_iterator(folder)) {
      const std::string name = PathToUtf8(e.path().filename());
      ASSERT_TRUE(StartsWith(name, "f") && EndsWith(name, ".txt")) << name;
      found.emplace(std::stoul(name.substr(1)), PathToUtf8(e.path()));
    }
    ASSERT_EQ(found.size(), kPerFolder) << folder;
    uint32_t want = 0, got = 0;
    size_t i = f * kPerFolder % kData;
    for (const auto& [index, path] : found) {
      ASSERT_EQ(index, i) << path;
      const std::string content = SmallContent(index);
      want = Crc32(content.data(), content.size(), want);
      const std::string bytes = ReadNative(path);
      got = Crc32(bytes.data(), bytes.size(), got);
      if (index % 997 == 0) {
        EXPECT_EQ(bytes, content) << path;
      }
      ++i;
    }
    EXPECT_EQ(got, want) << folder;
    total += found.size();
  }
  EXPECT_EQ(total, 100000u);
  const std::vector<std::string> logged =
      LoggedFiles(ReadNative(app + "/Stowa.log"), "C:\\Program Files\\" + key);
  EXPECT_EQ(logged.size(), 100001u);  // and the uninstaller
  EXPECT_EQ(std::set<std::string>(logged.begin(), logged.end()).size(), logged.size());
}

// ---------------------------------------------------------------- start-up reading

class ScaleTest : public ScaleFixture {};

TEST_F(ScaleTest, VolumesAreThePackageCutIntoPieces) {
  PackageManifest m = Product("Scale Cut");
  for (unsigned i = 0; i < 6; ++i) {
    BuildFile f = Inline("f" + std::to_string(i) + ".bin", RandomBytes(40000 + 777 * i, 30 + i));
    f.compress = i % 2 == 0;
    m.files.push_back(f);
  }
  BuildComponent c;
  c.name = "Program";
  BuildFolder app;
  app.name = "%APPFOLDER%";
  for (size_t i = 2; i < m.files.size(); ++i) app.items.push_back(FileItem(i));
  c.root.folders.push_back(app);
  m.components.push_back(c);
  const uint32_t v = 50021;
  const std::string whole = root + "/dist/whole.exe", split = root + "/dist/split.exe";
  BuildPackage(m, whole);
  m.volumeSize = v;
  const BuildReport r = BuildPackage(m, split);
  ASSERT_EQ(r.volumes, 6);
  CutIntoVolumes(whole, v);
  EXPECT_TRUE(ReadNative(whole) == ReadNative(split));
  for (int k = 2; k <= r.volumes; ++k)
    EXPECT_TRUE(ReadNative(VolumeFileName(whole, k)) == ReadNative(VolumeFileName(split, k))) << k;
  EXPECT_FALSE(fs::exists(VolumeFileName(whole, r.volumes + 1)));
}

TEST_F(ScaleTest, ReadsTheDefinitionOfTenThousandFiles) {
  const PackageManifest m = ManyFiles("Scale Start", 10000, 2500, 4);
  const std::string pkg = root + "/dist/start.exe";
  const BuildReport r = BuildPackage(m, pkg);
  TestMachine tm;
  std::string win = "Z:" + pkg;
  std::replace(win.begin(), win.end(), '/', '\\');
  auto o = OpenAndRead(tm, win);
  ASSERT_EQ(o->def.PackageFileNames.size(), 10002u);
  ASSERT_EQ(o->pkg.Tables.Count(), 10002u);
  for (size_t i = 0; i < 10002; ++i) {
    ASSERT_EQ(o->def.PackageFileNames[i], m.files[i].name) << i;
    ASSERT_EQ(o->pkg.Tables.FileOffsets[i], r.offsets[i]) << i;
    ASSERT_EQ(o->pkg.Tables.FileSizes[i], r.sizes[i]) << i;
    ASSERT_EQ(o->pkg.Tables.FileStoredSizes[i], r.storedSizes[i]) << i;
    ASSERT_EQ(o->pkg.Tables.FileChecksums[i], r.checksums[i]) << i;
  }
  ASSERT_EQ(o->def.Components.size(), 1u);
  const TComponentFolder& app = *o->def.Components[0].RootFolder->Folders.at(0);
  ASSERT_EQ(app.Folders.size(), 4u);
  for (size_t f = 0; f < 4; ++f) {
    const TComponentFolder& sub = *app.Folders[f];
    EXPECT_EQ(sub.Name, std::string(1, static_cast<char>('a' + f)));
    ASSERT_EQ(sub.Files.size(), 2500u);
    for (size_t i = 0; i < 2500; ++i) ASSERT_EQ(sub.Files[i].DataIndex, 2 + f * 2500 + i) << f << " " << i;
  }
  for (size_t i = 2; i < 10002; ++i) ASSERT_EQ(o->pkg.Tables.FileUsed[i], 1) << i;
  // The start-up timing reads the same through pakbuild.
  const auto [code, out] = RunCommand(std::string(STW_PAKBUILD) + " read " + Quote(pkg));
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out, "10002 data indices, 10002 installable files, 1 components, 10000 file entries\n");
}

}  // namespace
