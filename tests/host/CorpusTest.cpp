// A corpus of installer files written by a writer of their own
// (CorpusWriter.h), not by the package builder, read back field by field
// through the reader and installed on the simulated machine. Each package
// aims at one rule of the format that a reader and a builder could both
// get wrong in the same way.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>

#include "CorpusWriter.h"
#include "Harness.h"
#include "InstallFixture.h"
#include "MemoryFileSystem.h"
#include "base/Text.h"
#include "package/Definition.h"
#include "package/Package.h"

using namespace stw;
using namespace stw::test;
namespace cw = stw::corpus;

namespace {

const std::string kSetup = "C:\\Dist\\setup.exe";

// Interface strings of the corpus: every line names its number, and those
// that the reader formats have their own texts.
std::vector<std::string> CorpusStrings() {
  std::vector<std::string> s;
  for (int i = 0; i < 100; ++i)
    s.push_back("corpus string " + std::to_string(i));
  s[0] = "%s Setup";
  s[32] = "Application folder";
  s[33] = "Common folder";
  s[34] = "Menu folder";
  s[35] = "Data folder";
  s[52] = "Volume %d is missing";
  s[75] = "Cannot read %s (%s)";
  s[76] = "Cannot create %s";
  return s;
}

std::string Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s)
    c = static_cast<char>(rng());
  return s;
}
std::string Text(size_t n, unsigned seed) {
  static const char *const kWords[] = {"setup ", "corpus ", "volume ",
                                       "block ", "file ",   "data ",
                                       "\r\n",   "Ünï ",    "€ "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n)
    s += kWords[rng() % 9];
  s.resize(n);
  return s;
}

// A package with the few parts every corpus package has: its interface
// strings, the uninstaller among its files and one component.
cw::Package Basic() {
  cw::Package p;
  p.strings = CorpusStrings();
  p.files.push_back({"UnStowa32.exe", Random(3000, 1)});
  p.files.push_back({"app.exe", Text(20000, 2), cw::Form::Lzma, 46001.75,
                     0x0003000200010000ull});
  cw::Component c;
  c.name = "Main";
  cw::Folder app;
  app.name = "%APPFOLDER%";
  app.items.push_back(cw::FileItem(p.Index(1)));
  c.root.folders.push_back(app);
  p.components.push_back(c);
  return p;
}

// An unattended machine in memory holding an installer file and the
// volume files the test chooses.
struct Machine {
  fuzz::MemoryFileSystem fs;
  fuzz::NoDialogs dialogs;
  TSetupPackage pkg{fs, dialogs};
  TSetupDefinition def;
  std::deque<std::string> bytes; // borrowed by `fs`; a deque never moves them

  explicit Machine(const cw::Written &w, const std::string &setup = kSetup,
                   std::vector<int> only = {}) {
    fs.AddDirectory("C:\\Temp\\");
    fs.AddDirectory("C:\\Out\\");
    for (size_t k = 1; k <= w.volumes.size(); ++k) {
      if (!only.empty() && std::find(only.begin(), only.end(),
                                     static_cast<int>(k)) == only.end())
        continue;
      Add(k == 1 ? setup : cw::VolumeName(setup, static_cast<int>(k)),
          w.volumes[k - 1]);
    }
    pkg.SetupFile = setup;
    pkg.TempFolder = "C:\\Temp\\";
    pkg.WindowCaption = "Corpus";
  }
  void Add(const std::string &path, const std::string &content) {
    bytes.push_back(content);
    fs.AddBorrowedFile(path,
                       reinterpret_cast<const uint8_t *>(bytes.back().data()),
                       bytes.back().size());
  }
  void Read(const TSetupReader::Options &opt = {}) {
    pkg.OpenPackage();
    TSetupReader(pkg, def).ReadWholeDefinition(opt);
  }
  // Data index i extracted from the package through the per-file tables.
  std::string Extract(int i) {
    std::string target = "C:\\Out\\" + std::to_string(i) + ".bin";
    pkg.ExtractPackageFile(target, i, false);
    const std::string *c = fs.Content(target);
    return c ? *c : "<missing>";
  }
  std::string Temp(int index) const {
    const std::string *c = fs.Content(pkg.TempFilePaths.at(index));
    return c ? *c : "<missing>";
  }
};

// The content of data index i as the package's author meant it.
std::string ContentOf(const cw::Package &p, size_t i) {
  const auto s = p.SupportFiles();
  return i < s.size() ? s[i]->content : p.files[i - s.size()].content;
}

// Every installable file extracted has its bytes, and every table column
// says what the writer put there.
void ExpectFilesAndTables(Machine &m, const cw::Package &p,
                          const cw::Written &w) {
  const auto support = p.SupportFiles();
  const TFileTables &t = m.pkg.Tables;
  ASSERT_EQ(t.Count(), support.size() + p.files.size());
  ASSERT_EQ(m.def.PackageFileNames.size(), p.files.size());
  for (size_t j = 0; j < p.files.size(); ++j) {
    const size_t i = support.size() + j;
    EXPECT_EQ(m.def.PackageFileNames[j], p.files[j].name);
    EXPECT_EQ(t.FileOffsets[i], w.offsets[i]) << p.files[j].name;
    EXPECT_EQ(t.FileSizes[i], static_cast<int64_t>(p.files[j].content.size()))
        << p.files[j].name;
    EXPECT_EQ(t.FileStoredSizes[i], w.storedSizes[i]) << p.files[j].name;
    EXPECT_EQ(t.FileTimes[i], p.files[j].time) << p.files[j].name;
    EXPECT_EQ(t.FileVersions[i], p.files[j].version) << p.files[j].name;
    EXPECT_EQ(t.FileChecksums[i], cw::Crc32Of(p.files[j].content))
        << p.files[j].name;
    EXPECT_EQ(m.Extract(static_cast<int>(i)), p.files[j].content)
        << p.files[j].name;
  }
}

// Content whose LZMA stream, in the package's coder settings, is exactly
// as long as the content itself: random bytes compress to a little more,
// a run appended to them to a little less, so some run length meets it.
std::string EqualSizeContent(const cw::LzmaSetup &z, bool endMarker,
                             unsigned seed) {
  const std::string base = Random(300, seed);
  for (size_t k = 0; k < 4000; ++k) {
    const std::string c = base + std::string(k, 'q');
    if (cw::LzmaCompress(z, c, endMarker).size() == c.size())
      return c;
  }
  return {};
}

// ---------------------------------------------------------------- blocks

// A compressed block (size > 0) is LZMA data even when its stored size
// equals its size: a string block and a data block, with and without the
// end marker, are decoded, not copied.
TEST(CorpusBlocks, ACompressedBlockAsLongAsItsContentIsStillDecoded) {
  for (const bool endMarker : {false, true}) {
    cw::Package p = Basic();
    const std::string message = EqualSizeContent(p.lzma, endMarker, 11);
    const std::string registry = EqualSizeContent(p.lzma, endMarker, 12);
    ASSERT_FALSE(message.empty());
    ASSERT_FALSE(registry.empty());
    const cw::Form f = endMarker ? cw::Form::LzmaEnd : cw::Form::Lzma;
    p.cfaOptions = 2;
    p.cfaMessage = {message, f};
    p.registry = {registry, f};
    const cw::Written w = cw::Write(p);
    // The framing really holds S = C.
    const auto cfa = w.blocks.at("cfa");
    ASSERT_EQ(cfa.second - cfa.first, static_cast<int64_t>(8 + message.size()));
    ASSERT_EQ(w.image.substr(static_cast<size_t>(cfa.first), 4),
              w.image.substr(static_cast<size_t>(cfa.first) + 4, 4));
    Machine m(w);
    ASSERT_NO_THROW(m.Read()) << endMarker;
    EXPECT_EQ(m.def.CfaMessage, message) << endMarker;
    EXPECT_EQ(m.def.RegistryData, registry) << endMarker;
    EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
    ExpectFilesAndTables(m, p, w);
  }
}

// Every block and every file in each of the three forms (stored, LZMA
// without and with the end marker), under coder settings other than the
// usual ones (lc 1, lp 2, pb 1, an odd dictionary size).
TEST(CorpusBlocks, StoredAndCompressedWithAndWithoutEndMarker) {
  for (const cw::Form f :
       {cw::Form::Stored, cw::Form::Lzma, cw::Form::LzmaEnd}) {
    cw::Package p = Basic();
    p.lzma.lc = 1;
    p.lzma.lp = 2;
    p.lzma.pb = 1;
    p.lzma.dict = 12345;
    p.stringsForm = p.definitionForm = p.componentsForm = p.namesForm =
        p.treesForm = f;
    p.registry = {Random(500, 3), f};
    p.cfaOptions = 2;
    p.cfaMessage = {"Allow the setup through folder access?", f};
    for (cw::DataFile &d : p.files)
      d.form = f;
    p.files.push_back({"big.bin", Random(40000, 4),
                       f == cw::Form::Stored ? f : cw::Form::LzmaEnd});
    p.files.push_back(
        {"zero.txt", "", f}); // compressed, five bytes that decode to nothing
    p.files.push_back({"same.txt", "x", cw::Form::Stored});
    const cw::Written w = cw::Write(p);
    if (f != cw::Form::Stored) {
      ASSERT_GT(w.storedSizes[p.Index(3)], 0); // the empty file's LZMA stream
    }
    Machine m(w);
    ASSERT_NO_THROW(m.Read()) << static_cast<int>(f);
    EXPECT_EQ(m.pkg.Props[0], (1 * 5 + 2) * 9 + 1);
    EXPECT_EQ(m.pkg.InterfaceStrings, p.strings);
    EXPECT_EQ(m.def.ProductKey, "Corpus Product");
    EXPECT_EQ(m.def.CfaMessage, "Allow the setup through folder access?");
    EXPECT_EQ(m.def.RegistryData, p.registry.content);
    ASSERT_EQ(m.def.Components.size(), 1u);
    ASSERT_EQ(m.def.Components[0].RootFolder->Folders.size(), 1u);
    EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
    ExpectFilesAndTables(m, p, w);
  }
}

// The empty block is its size field alone, whatever section it stands in.
TEST(CorpusBlocks, EmptyBlocksAreFourBytes) {
  cw::Package p = Basic();
  p.strings.clear();
  p.cfaOptions = 2;   // an empty message
  p.portableMode = 1; // an empty folder
  p.section4 = 32;    // an empty text
  const cw::Written w = cw::Write(p);
  for (const char *b :
       {"strings", "cfa", "portable", "section4", "registry", "filetypes"})
    ASSERT_EQ(w.blocks.at(b).second - w.blocks.at(b).first, 4) << b;
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_TRUE(m.pkg.InterfaceStrings.empty());
  EXPECT_EQ(m.def.CfaMessage, "");
  EXPECT_EQ(m.def.PortableFolder, "");
  EXPECT_EQ(m.def.RegistryData, "");
  EXPECT_TRUE(m.def.FileTypes.empty());
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
}

// Interface strings end their lines with CR LF, a lone LF or a lone CR,
// the last line with or without its end.
TEST(CorpusBlocks, InterfaceStringLinesEndInAnyOfTheThreeWays) {
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    cw::Package p = Basic();
    p.lineEnd = end;
    Machine m(cw::Write(p));
    ASSERT_NO_THROW(m.Read());
    EXPECT_EQ(m.pkg.InterfaceStrings, p.strings);
  }
  cw::Package p = Basic();
  p.strings = {"one", "two"};
  p.lineEnd = "";
  p.strings = {"one\r\ntwo\nthree\rfour"};
  Machine m(cw::Write(p));
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.pkg.InterfaceStrings,
            (std::vector<std::string>{"one", "two", "three", "four"}));
}

// ---------------------------------------------------------------- container

// The header where the locator says (not right after it), the sections
// where the header says (after a gap), garbage in every byte the setup
// does not read, a file's data inside the installer program in front of
// the header, and two data indices sharing one stored range.
TEST(CorpusContainer, PositionsComeFromTheLocatorHeaderAndTables) {
  cw::Package p = Basic();
  p.headerAt = 5003;
  p.firstSectionGap = 777;
  p.filler = '\x00';
  p.files.push_back({"front.bin", Random(2000, 5), cw::Form::Stored});
  p.files.back().at = 1000; // between the locator and the header
  p.files.push_back({"front.txt", Text(3000, 6), cw::Form::Lzma});
  p.files.back().at = 3100;
  p.files.push_back({"copy.bin", Random(2000, 5), cw::Form::Stored});
  p.files.back().sameAs = 2;
  const cw::Written w = cw::Write(p);
  ASSERT_EQ(w.offsets[p.Index(2)], 1000);
  ASSERT_EQ(w.offsets[p.Index(4)], 1000);
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.pkg.HeaderOffset, 5003);
  EXPECT_EQ(m.pkg.FirstSection, 5003 + 74 + 777);
  EXPECT_EQ(m.pkg.VolumeSize, 0u);
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
}

// ---------------------------------------------------------------- volumes

// Positions map to volume files by V: with the definition in volume 1, a
// file ends exactly at the end of volume 2, the next starts exactly at
// volume 3, a compressed one and a long one run across several volumes;
// the installer's name has dots in its folder and before its extension.
TEST(CorpusVolumes, FilesEndingAndStartingOnVolumeBoundaries) {
  cw::Package p = Basic();
  p.files[1].content = Text(5000, 7);
  const uint32_t v = 4096;
  p.volumeSize = v;
  p.files.push_back({"ends.bin", Random(1500, 8), cw::Form::Stored});
  p.files.back().at = 2 * v - 1500; // its last byte is the last of volume 2
  p.files.push_back({"starts.bin", Random(700, 9), cw::Form::Stored});
  p.files.back().at = 2 * v; // its first byte is the first of volume 3
  p.files.push_back({"lzends.txt", Text(9000, 10), cw::Form::Lzma});
  p.files.push_back({"span.bin", Random(3 * v + 10, 11), cw::Form::Stored});
  p.files.push_back(
      {"lzspan.bin", Random(2 * v, 12) + Text(3000, 13), cw::Form::LzmaEnd});
  // The compressed file's range ends on a boundary too.
  {
    const cw::Written probe = cw::Write(p);
    ASSERT_LT(probe.definitionEnd, static_cast<int64_t>(v))
        << "the definition must stay in volume 1";
    const int64_t stored = probe.storedSizes[p.Index(4)];
    p.files[4].at = 4 * v - stored;
    p.files[5].at = 4 * v + 100;
    p.files[6].at = -1;
  }
  const cw::Written w = cw::Write(p);
  ASSERT_EQ(w.offsets[p.Index(2)] + w.storedSizes[p.Index(2)], 2 * v);
  ASSERT_EQ(w.offsets[p.Index(3)], 2 * v);
  ASSERT_EQ(w.offsets[p.Index(4)] + w.storedSizes[p.Index(4)], 4 * v);
  ASSERT_GE(w.volumes.size(), 8u);
  const std::string setup = "C:\\Dist.d\\Setup.v2.exe";
  Machine m(w, setup);
  EXPECT_TRUE(m.fs.FileExists("C:\\Dist.d\\Setup.v2.002"));
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.pkg.VolumeSize, v);
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
  EXPECT_EQ(m.dialogs.shown, 0u);
}

// A compressed block may end exactly where a volume ends: the definition
// then goes on at offset 0 of the next volume, and a block that runs
// across a boundary is read across it.
TEST(CorpusVolumes,
     TheDefinitionGoesOnInTheNextVolumeAfterABlockEndingOnTheBoundary) {
  cw::Package p = Basic();
  p.files[1].content = Text(3000, 14);
  p.fileTypes = {"\x01"
                 "Corpus type\x0c.cty\x0c" +
                     std::string("\x7F\x7F\x00\x00\x00\x00\x00", 7),
                 cw::Form::Lzma};
  p.registry = {Random(900, 15), cw::Form::Lzma};
  const cw::Written probe = cw::Write(p);
  // V is where the file-type block ends: everything before it lies in
  // volume 1, sections 16 to 19 at the start of volume 2.
  const uint32_t v = static_cast<uint32_t>(probe.blocks.at("filetypes").second);
  p.volumeSize = v;
  const cw::Written w = cw::Write(p);
  ASSERT_EQ(w.blocks.at("filetypes").second, static_cast<int64_t>(v));
  ASSERT_GT(w.definitionEnd,
            static_cast<int64_t>(v)); // sections 16 to 19 are in volume 2
  ASSERT_LT(w.definitionEnd, 2 * static_cast<int64_t>(v));
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.def.RegistryData, p.registry.content);
  ASSERT_EQ(m.def.FileTypes.size(), 1u);
  EXPECT_EQ(m.def.FileTypes[0].first, ".cty -> Corpus type");
  EXPECT_EQ(m.def.FileTypes[0].second.IconFile, 0x7F7F);
  EXPECT_EQ(m.pkg.CurrentVolume, 2);
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);

  // The same with a block that starts in volume 1 and ends in volume 2:
  // the tree block's compressed data cross the boundary.
  cw::Package q = p;
  q.volumeSize = static_cast<uint32_t>(probe.blocks.at("trees").first + 10);
  // V falls two bytes into the block's LZMA data (after its size fields),
  // so the sections after the block are read from volume 2.
  const cw::Written w2 = cw::Write(q);
  ASSERT_GT(w2.blocks.at("trees").second, static_cast<int64_t>(q.volumeSize));
  ASSERT_LT(w2.definitionEnd, 2 * static_cast<int64_t>(q.volumeSize));
  Machine m2(w2);
  ASSERT_NO_THROW(m2.Read());
  ASSERT_EQ(m2.def.Components.size(), 1u);
  EXPECT_EQ(m2.def.Components[0].RootFolder->Folders.at(0)->Name,
            "%APPFOLDER%");
  EXPECT_EQ(m2.def.RegistryData, p.registry.content);
  EXPECT_EQ(m2.pkg.Position(), w2.definitionEnd);
  ExpectFilesAndTables(m2, q, w2);
}

// Volume numbers above 999 are written with all their digits (1000), and
// only the volumes that hold a read position need to exist.
TEST(CorpusVolumes, VolumeOneThousandAndVolumesThatNeedNotExist) {
  cw::Package p = Basic();
  p.files[1].content = Text(2000, 16);
  const uint32_t v = 8192;
  p.volumeSize = v;
  p.files.push_back({"far.bin", Random(3000, 17), cw::Form::Stored});
  p.files.back().at = 999LL * v - 1000; // volumes 999 and 1000
  p.files.push_back({"farther.txt", Text(5000, 18), cw::Form::Lzma});
  p.files.back().at = 999LL * v + 2500; // volume 1000 alone
  const cw::Written w = cw::Write(p);
  ASSERT_EQ(w.volumes.size(), 1000u);
  ASSERT_LT(w.definitionEnd + w.storedSizes[p.Index(1)],
            static_cast<int64_t>(v));
  Machine m(w, kSetup, {1, 999, 1000});
  EXPECT_TRUE(m.fs.FileExists("C:\\Dist\\setup.999"));
  EXPECT_TRUE(m.fs.FileExists("C:\\Dist\\setup.1000"));
  ASSERT_NO_THROW(m.Read());
  ExpectFilesAndTables(m, p, w);
  EXPECT_EQ(m.dialogs.shown, 0u);
}

// A support file's data are read through the package's range stream, so
// they may run from one volume into the next; the sections after it are
// then read from the next volume.
TEST(CorpusVolumes, ASupportFileRunningIntoTheNextVolume) {
  cw::Package p = Basic();
  p.readme = cw::SupportFile{"readme.txt", Random(3000, 19), cw::Form::Stored};
  const cw::Written probe = cw::Write(p);
  const int64_t data = probe.offsets[0];
  p.volumeSize = static_cast<uint32_t>(
      data + 2000); // the readme's last 1000 bytes are in volume 2
  const cw::Written w = cw::Write(p);
  ASSERT_GT(w.definitionEnd, static_cast<int64_t>(p.volumeSize));
  ASSERT_LT(w.definitionEnd, 2 * static_cast<int64_t>(p.volumeSize));
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.Temp(0), p.readme->content);
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
}

// A support file that is passed over moves the package position past its
// record; when its data run into the next volume, so does the position.
// The same package reads in a run with a window (the readme is extracted
// across the boundary), so a silent run must read it too.
TEST(CorpusVolumes, PassingOverASupportFileThatRunsIntoTheNextVolume) {
  cw::Package p = Basic();
  p.readme = cw::SupportFile{"readme.txt", Random(3000, 19), cw::Form::Stored};
  const cw::Written probe = cw::Write(p);
  p.volumeSize = static_cast<uint32_t>(probe.offsets[0] + 2000);
  const cw::Written w = cw::Write(p);
  Machine m(w);
  TSetupReader::Options silent;
  silent.silent = true;
  ASSERT_NO_THROW(m.Read(silent));
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  EXPECT_EQ(m.pkg.TempFilePaths[0], "*");
  EXPECT_EQ(m.Extract(0), p.readme->content);
  ExpectFilesAndTables(m, p, w);
}

// Files larger than the 1 MiB read buffer, stored and compressed, with
// volume boundaries that fall anywhere inside a buffer's worth.
TEST(CorpusVolumes, FilesLargerThanTheReadBufferAcrossVolumes) {
  for (const uint32_t v : {0u, 300007u}) {
    cw::Package p = Basic();
    p.lzma.preset = 1;
    p.volumeSize = v;
    p.files.push_back(
        {"big-stored.bin", Random(1300000, 26), cw::Form::Stored});
    p.files.push_back({"big-lzma.txt", Text(1100000, 27) + Random(200000, 28),
                       cw::Form::Lzma});
    p.files.push_back({"exact.bin", Random(1048576, 29), cw::Form::Stored});
    const cw::Written w = cw::Write(p);
    Machine m(w);
    ASSERT_NO_THROW(m.Read()) << v;
    ExpectFilesAndTables(m, p, w);
  }
}

// ---------------------------------------------------------------- definition

// One character of a file-type record or of the user type: any character
// whose low byte is the value; values from 128 take two bytes of UTF-8.
std::string Ch(char32_t c) { return cw::Utf8(c); }
std::string Txt(const std::string &s) { return s + '\x0c'; }

// Every optional part of sections 3 to 19 present, each with values that
// differ from their neighbours, so a part read from the wrong place shows.
cw::Package EverythingPresent() {
  cw::Package p = Basic();
  p.publisher = "Cörpus Wörks 😀";
  p.webAddress = "https://corpus.invalid";
  p.productKey = "Corpus Everything";
  p.supportAddress = "https://corpus.invalid/support";
  p.version = "3.1.4";
  p.releaseDate = "45999";
  p.welcome = "Wélcome line";
  p.userType = U"\u0103"; // low byte 3: both installations offered
  p.folderDefaults[0] = "%PROGRAMFILES%\\Corpus\\";
  p.folderDefaults[1] = "%LOCALAPPDATAROOT%\\Corpus";
  p.folderDefaults[2] = "%COMMONFILES%\\Corpus Shared";
  p.folderDefaults[3] = "";
  p.folderDefaults[4] = ""; // %APPMENU% neither: not defined
  p.folderDefaults[5] = "";
  p.folderDefaults[6] = "";
  p.folderDefaults[7] = "%APPDATA%\\Corpus Data\\";
  p.backgroundTop = "Top text";
  p.backgroundBottom = "Bottom tëxt";
  p.cfaOptions = 3;
  p.cfaMessage = {"Allow ✓", cw::Form::Stored};
  p.section4 = 32 | 64 | 128 | 5;
  p.section4Text = {"section four text", cw::Form::Lzma};
  p.section4Rows[0] = 2;
  p.section4Rows[1] = 3;
  p.portableMode = 1;
  p.removableMarkerMode = 2;
  p.showAllDrives = 1;
  p.portableFolder = {"\\Portable\\Corpus", cw::Form::Lzma};
  p.showAdvanced = 1;
  p.paintGradient = 1;
  p.formFont = {"Segoe UI", 0x00112233, 10, 5, 238};
  p.backgroundEnabled = 1;
  p.background.top = 0x00A00000;
  p.background.bottom = 0x000000B0;
  p.background.topShadow = 0x00010203;
  p.background.bottomShadow = 0x00040506;
  p.background.transparent = 1;
  p.background.showTopShadow = 0;
  p.background.showBottomShadow = 1;
  p.background.topFont = {"Arial Black", 0x00FFFFFF, 28, 1, 0};
  p.background.bottomFont = {"Times New Roman Condensed Extra Wide", 0x00C0C0C0,
                             14, 2, 204}; // cut at 31
  p.readme = cw::SupportFile{"readme.txt", Text(3000, 20), cw::Form::Lzma};
  p.licenceStarred = true;
  p.licence = cw::SupportFile{"licence.rtf", Text(800, 21), cw::Form::Stored};
  p.supportDll =
      cw::SupportFile{"hooks.dll", Random(600, 22), cw::Form::LzmaEnd, 45000.5,
                      0x0001000200030004ull};
  p.extraFile = cw::SupportFile{"extra.dat", Random(300, 23), cw::Form::Stored};
  p.backgroundImage =
      cw::SupportFile{"back.bmp", Text(2000, 24), cw::Form::Lzma};
  // The installable files' data indices moved up by the five support files.
  p.components.clear();
  cw::Component a;
  a.name = "Programm";
  a.description = "Das Programm – ganz";
  a.flags = 1;
  cw::Folder app;
  app.name = "%APPFOLDER%";
  app.grant = 1;
  app.items.push_back(
      cw::FileItem(p.Index(1), 1 | 4 | 8, 1 | 16 | 32 | 64, "/regserver"));
  app.items.push_back(cw::ShortcutItem(p.Index(1), "Cörpus", "Starts it", "-x",
                                       0xF7, p.Index(1), 0x0E));
  app.items.push_back(
      cw::UrlItem("https://corpus.invalid/ü", "Web site", 0x13, 0xFFFF, 0x0F));
  cw::Folder menu;
  menu.name = "%APPMENU%";
  menu.items.push_back(cw::ShortcutItem(p.Index(1), "", "", "", 0, 0xFFFF, 3));
  a.root.folders = {app, menu};
  cw::Component b;
  b.name = "Extras";
  b.description = "";
  b.flags = 2;
  b.dependencies = {0};
  cw::Folder data;
  data.name = "%USERDATA%";
  data.items.push_back(
      cw::FileItem(p.Index(0), 2, 0)); // not kept: G bit 0 clear
  b.root.folders = {data};
  b.root.items.push_back(
      cw::UrlItem("u", "n", 0, 0)); // items in the root itself
  cw::Component c;
  c.name = "Docs";
  c.flags = 3;
  c.dependencies = {0, 1};
  p.components = {a, b, c};
  p.registry = {Random(333, 25), cw::Form::Lzma};
  p.fileTypes = {Ch(1) + Txt("Corpus document") + Txt(".cdoc") + Ch(0x34) +
                     Ch(0x02) + Ch(7) + Ch(9) + Ch(9) + Ch(9) + Ch(2) +
                     Txt("Open") + Ch(0x06) + Ch(0x00) + Ch(0) + Ch(0) +
                     Txt("\"%1\"") + Txt("Print") + Ch(0x07) + Ch(0x00) +
                     Ch(1) + Ch(1) + Txt("/p \"%1\"") + Ch(0) + Txt("Plain") +
                     Txt(".cpl") + Ch(0xFF) + Ch(0xFF) + Ch(0) + Ch(0) + Ch(0) +
                     Ch(0) + Ch(0),
                 cw::Form::Lzma};
  p.dotNetVersions = 6;
  p.dotNetLevel = 3;
  p.dotNetLines = {"ndp48.exe\r\nhttps://dotnet.invalid/48", cw::Form::Stored};
  p.dotNetPosition = 123456;
  p.dotNetSize = 654321;
  p.prerequisites.push_back(
      {{"VC runtime\r\nhttps://vc.invalid\r\n1\r\nnot "
        "kept\r\nvc.exe\r\n/quiet\r\n"
        "HKLM\\Software\\VC\r\nInstalled\r\n1\r\n%SYSTEM%\\vc.dll",
        cw::Form::Lzma},
       0,
       77});
  p.prerequisites.push_back(
      {{"Skipped\r\nx\r\n0\r\n", cw::Form::Stored}, 5, 6});
  p.prerequisites.push_back(
      {{"Tool\r\nhttps://tool.invalid\r\n1\r\n\r\ntool.msi\r\n",
        cw::Form::Lzma},
       99999,
       4444});
  p.finishFlags = 1 | 2 | 4 | 8 | 64;
  p.finishExe = p.Index(1);
  p.finishUnused = 0x1234;
  p.finishParams = {"--first-run", cw::Form::Lzma};
  p.mainExecutable = p.Index(1);
  p.mainX = 0x0042;
  p.mainParams = {"--main", cw::Form::Stored};
  p.uninstallShortcut = 1;
  p.uninstallLinked = p.Index(1);
  p.setupBits = 1 | 2 | 4 | 8;
  p.minimumPreviousDate = 45000;
  p.upgradeMessages = {"First line\r\nSecond line\r\nDritte Zeile",
                       cw::Form::Lzma};
  p.windowClasses = {"\"My \"\"Quoted\"\" Class\";Plain  Two ; Three",
                     cw::Form::Lzma};
  p.windowTitles = {"Main Window;\"Quoted; Title\";  Spaced ",
                    cw::Form::Stored};
  return p;
}

TEST(CorpusDefinition, EveryOptionalPartPresentReadsBackFieldByField) {
  const cw::Package p = EverythingPresent();
  const cw::Written w = cw::Write(p);
  Machine m(w);
  TSetupReader::Options opt;
  opt.params = {"/other", "/PORTABLE", "E:\\Stick"};
  ASSERT_NO_THROW(m.Read(opt));
  const TSetupDefinition &d = m.def;
  EXPECT_EQ(m.pkg.Position(),
            w.definitionEnd); // every section consumed, nothing more

  // Section 2: the fields and the texts built from them.
  EXPECT_EQ(d.Publisher, p.publisher);
  EXPECT_EQ(d.WebAddress, p.webAddress);
  EXPECT_EQ(d.ProductKey, p.productKey);
  EXPECT_EQ(d.SupportAddress, p.supportAddress);
  EXPECT_EQ(d.Version, "3.1.4");
  EXPECT_EQ(d.ReleaseDate, 45999);
  EXPECT_EQ(d.WelcomeLine, "Wélcome line");
  EXPECT_EQ(d.UninstallDisplayName, "Corpus Everything 3.1.4");
  EXPECT_EQ(d.AppName, "Cörpus Wörks 😀 Corpus Everything 3.1.4");
  EXPECT_EQ(d.PublisherWithAddress, "Cörpus Wörks 😀 (https://corpus.invalid)");
  EXPECT_EQ(d.UserType, 3);
  ASSERT_EQ(d.FolderVariables.size(), 3u);
  EXPECT_EQ(d.FolderVariables[0].first, "%APPFOLDER%");
  EXPECT_EQ(d.FolderVariables[0].second.Description, "Application folder");
  EXPECT_EQ(d.FolderVariables[0].second.AllUsersPath, "%PROGRAMFILES%\\Corpus");
  EXPECT_EQ(d.FolderVariables[0].second.CurrentUserPath,
            "%LOCALAPPDATAROOT%\\Corpus");
  EXPECT_FALSE(d.FolderVariables[0].second.Shared);
  EXPECT_EQ(d.FolderVariables[1].first, "%APPCOMMONFOLDER%");
  EXPECT_EQ(d.FolderVariables[1].second.Description, "Common folder");
  EXPECT_EQ(d.FolderVariables[1].second.AllUsersPath,
            "%COMMONFILES%\\Corpus Shared");
  EXPECT_EQ(d.FolderVariables[1].second.CurrentUserPath, "");
  EXPECT_TRUE(d.FolderVariables[1].second.Shared);
  EXPECT_EQ(d.FolderVariables[2].first, "%USERDATA%");
  EXPECT_EQ(d.FolderVariables[2].second.Description, "Data folder");
  EXPECT_EQ(d.FolderVariables[2].second.AllUsersPath, "");
  EXPECT_EQ(d.FolderVariables[2].second.CurrentUserPath,
            "%APPDATA%\\Corpus Data");
  EXPECT_EQ(d.BackgroundImage, "back.bmp");
  EXPECT_EQ(d.BackgroundTopText, "Top text");
  EXPECT_EQ(d.BackgroundBottomText, "Bottom tëxt");

  // Sections 3 to 9.
  EXPECT_EQ(d.CfaOptions, 3);
  EXPECT_EQ(d.CfaMessage, "Allow ✓");
  EXPECT_EQ(d.PortableMode, 2); // asked for on the command line
  EXPECT_EQ(d.RemovableMarkerMode, 2);
  EXPECT_EQ(d.ShowAllDrivesOption, 1);
  EXPECT_EQ(d.PortableFolder, "E:\\Stick");
  EXPECT_EQ(d.ShowAdvanced, 1);
  EXPECT_EQ(d.PaintGradient, 1);
  EXPECT_EQ(d.FormFont.Name, "Segoe UI");
  EXPECT_EQ(d.FormFont.Color, 0x00112233);
  EXPECT_EQ(d.FormFont.Size, 10);
  EXPECT_EQ(d.FormFont.Style, 5);
  EXPECT_EQ(d.FormFont.Charset, 238);
  EXPECT_EQ(d.BackgroundEnabled, 1);
  const TBackgroundSettings &bg = d.BackgroundSettings;
  EXPECT_EQ(bg.TopColor, 0x00A00000);
  EXPECT_EQ(bg.BottomColor, 0x000000B0);
  EXPECT_EQ(bg.TopShadowColor, 0x00010203);
  EXPECT_EQ(bg.BottomShadowColor, 0x00040506);
  EXPECT_EQ(bg.ImageTransparent, 1);
  EXPECT_EQ(bg.TopShadow, 0);
  EXPECT_EQ(bg.BottomShadow, 1);
  EXPECT_EQ(bg.TopFont.Name, "Arial Black");
  EXPECT_EQ(bg.TopFont.Color, 0x00FFFFFF);
  EXPECT_EQ(bg.TopFont.Size, 28);
  EXPECT_EQ(bg.TopFont.Style, 1);
  EXPECT_EQ(bg.TopFont.Charset, 0);
  EXPECT_EQ(bg.BottomFont.Name, "Times New Roman Condensed Extra");
  EXPECT_EQ(bg.BottomFont.Color, 0x00C0C0C0);
  EXPECT_EQ(bg.BottomFont.Size, 14);
  EXPECT_EQ(bg.BottomFont.Style, 2);
  EXPECT_EQ(bg.BottomFont.Charset, 204);

  // Section 10: readme, licence (its star dropped), DLL, the extra file
  // passed over, the background image.
  EXPECT_EQ(d.ReadmeName, "readme.txt");
  EXPECT_TRUE(d.HasReadme);
  EXPECT_EQ(d.LicenseName, "licence.rtf");
  EXPECT_TRUE(d.LicenseStarred);
  EXPECT_EQ(d.SupportDllName, "hooks.dll");
  EXPECT_EQ(d.ExtraFileName, "extra.dat");
  ASSERT_EQ(m.pkg.TempFileNames,
            (std::vector<std::string>{"readme.txt", "licence.rtf", "hooks.dll",
                                      "extra.dat", "back.bmp"}));
  EXPECT_EQ(d.ReadmeIndex, 0);
  EXPECT_EQ(d.LicenseIndex, 1);
  EXPECT_EQ(d.SupportDllIndex, 2);
  EXPECT_EQ(d.BackgroundImageIndex, 4);
  EXPECT_EQ(m.Temp(0), p.readme->content);
  EXPECT_EQ(m.Temp(1), p.licence->content);
  EXPECT_EQ(m.Temp(2), p.supportDll->content);
  EXPECT_EQ(m.pkg.TempFilePaths[3], "*");
  EXPECT_EQ(m.Temp(4), p.backgroundImage->content);
  const TFileTables &t = m.pkg.Tables;
  for (int i : {0, 1, 2, 4})
    EXPECT_EQ(t.FileOffsets[i], -1) << i;
  EXPECT_EQ(t.FileOffsets[3],
            w.offsets[3]); // passed over: still in the package
  EXPECT_EQ(m.Extract(3), p.extraFile->content);
  EXPECT_EQ(t.FileVersions[2], 0x0001000200030004ull);
  EXPECT_EQ(t.FileTimes[2], 45000.5);

  // Section 11.
  ASSERT_EQ(d.Components.size(), 3u);
  EXPECT_EQ(d.Components[0].Name, "Programm");
  EXPECT_EQ(d.Components[0].Description, "Das Programm – ganz");
  EXPECT_TRUE(d.Components[0].Selected);
  EXPECT_FALSE(d.Components[0].Optional);
  EXPECT_TRUE(d.Components[0].Dependencies.empty());
  EXPECT_EQ(d.Components[1].Name, "Extras");
  EXPECT_EQ(d.Components[1].Description, "");
  EXPECT_FALSE(d.Components[1].Selected);
  EXPECT_TRUE(d.Components[1].Optional);
  EXPECT_EQ(d.Components[1].Dependencies, (std::vector<uint8_t>{0}));
  EXPECT_TRUE(d.Components[2].Selected);
  EXPECT_TRUE(d.Components[2].Optional);
  EXPECT_EQ(d.Components[2].Dependencies, (std::vector<uint8_t>{0, 1}));
  EXPECT_TRUE(d.HasOptionalComponents);

  // Section 12.
  ExpectFilesAndTables(m, p, w);

  // Section 13.
  const TComponentFolder &root0 = *d.Components[0].RootFolder;
  ASSERT_EQ(root0.Folders.size(), 2u);
  const TComponentFolder &app = *root0.Folders[0];
  EXPECT_EQ(app.Name, "%APPFOLDER%");
  EXPECT_TRUE(app.GrantUsers);
  ASSERT_EQ(app.Files.size(), 1u);
  const TFileData &f = app.Files[0];
  EXPECT_EQ(f.OverwriteMode, 1);
  EXPECT_TRUE(f.Permanent);
  EXPECT_TRUE(f.SelfRegister);
  EXPECT_TRUE(f.RunAfter);
  EXPECT_TRUE(f.RunQueueFlag);
  EXPECT_TRUE(f.RunPathFlag);
  EXPECT_EQ(f.DataIndex, p.Index(1));
  EXPECT_EQ(f.RunParams, "/regserver");
  ASSERT_EQ(app.Shortcuts.size(), 1u);
  const TShortcutData &sc = app.Shortcuts[0];
  EXPECT_EQ(sc.Target, p.Index(1));
  EXPECT_EQ(sc.Name, "Cörpus");
  EXPECT_EQ(sc.Description, "Starts it");
  EXPECT_EQ(sc.Arguments, "-x");
  EXPECT_EQ(sc.IconIndex, 7); // the low four bits of 0xF7
  EXPECT_EQ(sc.IconFile, p.Index(1));
  EXPECT_EQ(sc.StartPinOption, 2);
  ASSERT_EQ(app.Urls.size(), 1u);
  EXPECT_EQ(app.Urls[0].Url, "https://corpus.invalid/ü");
  EXPECT_EQ(app.Urls[0].Name, "Web site");
  EXPECT_EQ(app.Urls[0].IconIndex, 3);
  EXPECT_EQ(app.Urls[0].IconFile, 0xFFFF);
  const TComponentFolder &menu = *root0.Folders[1];
  EXPECT_EQ(menu.Name, "%APPMENU%");
  EXPECT_FALSE(menu.GrantUsers);
  ASSERT_EQ(menu.Shortcuts.size(), 1u);
  EXPECT_EQ(menu.Shortcuts[0].StartPinOption, 3);
  EXPECT_EQ(menu.Shortcuts[0].IconFile, 0xFFFF);
  EXPECT_EQ(menu.Shortcuts[0].Name, "");
  const TComponentFolder &root1 = *d.Components[1].RootFolder;
  ASSERT_EQ(root1.Folders.size(), 1u);
  EXPECT_TRUE(root1.Folders[0]->Files.empty()); // dropped, G bit 0 clear
  ASSERT_EQ(root1.Urls.size(), 1u);
  EXPECT_EQ(root1.Urls[0].Url, "u");
  EXPECT_EQ(root1.Urls[0].IconFile, 0);
  EXPECT_TRUE(d.Components[2].RootFolder->Folders.empty());
  EXPECT_EQ(t.FileUsed[p.Index(0)], 0);
  EXPECT_EQ(t.FileUsed[p.Index(1)], 1);

  // Section 14.
  EXPECT_EQ(d.RegistryData, p.registry.content);

  // Section 15.
  ASSERT_EQ(d.FileTypes.size(), 2u);
  EXPECT_EQ(d.FileTypes[0].first, ".cdoc -> Corpus document (open, print)");
  const TFileType &ft = d.FileTypes[0].second;
  EXPECT_TRUE(ft.Install);
  EXPECT_EQ(ft.Description, "Corpus document");
  EXPECT_EQ(ft.Extension, ".cdoc");
  EXPECT_EQ(ft.IconFile, 0x0234);
  EXPECT_EQ(ft.IconIndex, 7);
  ASSERT_EQ(ft.Actions.size(), 2u);
  EXPECT_EQ(ft.Actions[0].Verb, "open");
  EXPECT_EQ(ft.Actions[0].Target, 6);
  EXPECT_EQ(ft.Actions[0].Parameters, "\"%1\"");
  EXPECT_EQ(ft.Actions[1].Verb, "print");
  EXPECT_EQ(ft.Actions[1].Target, 7);
  EXPECT_EQ(ft.Actions[1].Parameters, "/p \"%1\"");
  EXPECT_EQ(d.FileTypes[1].first, ".cpl -> Plain");
  EXPECT_FALSE(d.FileTypes[1].second.Install);
  EXPECT_EQ(d.FileTypes[1].second.IconFile, 0xFFFF);
  EXPECT_TRUE(d.FileTypes[1].second.Actions.empty());

  // Section 16.
  EXPECT_EQ(d.DotNetVersions, 6);
  EXPECT_EQ(d.DotNetLevel, 3);
  EXPECT_EQ(d.DotNetFile, "ndp48.exe");
  EXPECT_EQ(d.DotNetUrl, "https://dotnet.invalid/48");
  EXPECT_EQ(d.DotNetPosition, 123456);
  EXPECT_EQ(d.DotNetSize, 654321);
  ASSERT_EQ(d.ThirdPartyList.size(), 2u);
  const T3rdParty &vc = d.ThirdPartyList[0].second;
  EXPECT_EQ(d.ThirdPartyList[0].first, "VC runtime");
  EXPECT_EQ(vc.Name, "VC runtime");
  EXPECT_EQ(vc.DownloadUrl, "https://vc.invalid");
  EXPECT_EQ(vc.FileName, "vc.exe");
  EXPECT_EQ(vc.Parameters, "/quiet");
  EXPECT_EQ(vc.ConditionKey, "HKLM\\Software\\VC");
  EXPECT_EQ(vc.ConditionValue, "Installed");
  EXPECT_EQ(vc.ConditionData, "1");
  EXPECT_EQ(vc.ConditionFile, "%SYSTEM%\\vc.dll");
  EXPECT_TRUE(vc.HasCondition);
  EXPECT_EQ(vc.Position, 0);
  EXPECT_EQ(vc.Size, 77);
  const T3rdParty &tool = d.ThirdPartyList[1].second;
  EXPECT_EQ(tool.Name, "Tool");
  EXPECT_EQ(tool.FileName, "tool.msi");
  EXPECT_EQ(tool.Parameters, "");
  EXPECT_FALSE(tool.HasCondition);
  EXPECT_EQ(tool.Position, 99999);
  EXPECT_EQ(tool.Size, 4444);

  // Sections 17 to 19.
  EXPECT_EQ(d.FinishFlags, 1 | 2 | 4 | 8 | 64);
  EXPECT_EQ(d.FinishExeIndex, p.Index(1));
  EXPECT_EQ(d.FinishParams, "--first-run");
  EXPECT_EQ(d.MainExecutable, p.Index(1));
  EXPECT_EQ(d.MainExtra, 0x0042);
  EXPECT_EQ(d.MainParameters, "--main");
  EXPECT_EQ(d.UninstallShortcut, 1);
  EXPECT_EQ(d.UninstallLinkedFile, p.Index(1));
  EXPECT_EQ(d.SetupOptionBits, 15);
  EXPECT_EQ(d.MinimumPreviousDate, 45000);
  EXPECT_EQ(
      d.UpgradeMessages,
      (std::vector<std::string>{"First line", "Second line", "Dritte Zeile"}));
  EXPECT_EQ(d.WindowClasses,
            (std::vector<std::string>{"My \"Quoted\" Class", "Plain", "Two",
                                      "Three"}));
  EXPECT_EQ(d.WindowTitles, (std::vector<std::string>{
                                "Main Window", "Quoted; Title", "  Spaced "}));
}

// The same package read as a silent run reads it: readme, licence and
// background image are passed over, yet stay extractable by their table
// entries; without "/portable" the portable mode and folder stay.
TEST(CorpusDefinition, ASilentReadPassesOverSupportFilesThatStayExtractable) {
  const cw::Package p = EverythingPresent();
  const cw::Written w = cw::Write(p);
  Machine m(w);
  TSetupReader::Options opt;
  opt.silent = true;
  ASSERT_NO_THROW(m.Read(opt));
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  EXPECT_EQ(m.def.PortableMode, 1);
  EXPECT_EQ(m.def.PortableFolder, "\\Portable\\Corpus");
  EXPECT_EQ(
      m.pkg.TempFilePaths,
      (std::vector<std::string>{"*", "*", "C:\\Temp\\hooks.dll", "*", "*"}));
  const TFileTables &t = m.pkg.Tables;
  for (int i : {0, 1, 3, 4}) {
    EXPECT_EQ(t.FileOffsets[i], w.offsets[i]) << i;
    EXPECT_EQ(m.Extract(i), ContentOf(p, static_cast<size_t>(i))) << i;
  }
  EXPECT_EQ(t.FileOffsets[2], -1);
  ExpectFilesAndTables(m, p, w);
}

// Every optional part absent (or, for the flag bytes, only bits that bring
// no data), read back as nothing; with no component the tree block is read
// whole but nothing is parsed from it, even when it holds bytes.
TEST(CorpusDefinition, EveryOptionalPartAbsentReadsBackAsNothing) {
  cw::Package p;
  p.strings = CorpusStrings();
  p.publisher = "";
  p.webAddress = "";
  p.version = "";
  p.userType = U"\x02";
  p.folderDefaults[0] =
      "%PROGRAMFILES%\\dropped"; // all-users default: dropped for user type 2
  p.folderDefaults[1] = "";
  p.cfaOptions = 1 | 4 | 128;
  p.section4 = 1 | 2 | 4 | 8 | 16;
  p.formFont = {"Tahoma", 0, 8, 0, 0};
  p.files.push_back({"UnStowa32.exe", Random(100, 30), cw::Form::Stored});
  p.registry = {"", cw::Form::Lzma};
  p.finishFlags = 1 | 2 | 16 | 32 | 64 | 128;
  p.setupBits = 1 | 16 | 32 | 64 | 128;
  p.minimumPreviousDate = 0xFFFF;
  p.treesContent =
      std::string("\x05\x41\x00\xFE\x80\x00", 6); // a body no component claims
  p.treesForm = cw::Form::Stored;
  const cw::Written w = cw::Write(p);
  ASSERT_EQ(w.blocks.at("components").second - w.blocks.at("components").first,
            4);
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  const TSetupDefinition &d = m.def;
  EXPECT_EQ(d.AppName, "Corpus Product");
  EXPECT_EQ(d.PublisherWithAddress, "");
  EXPECT_EQ(d.UninstallDisplayName, "Corpus Product");
  EXPECT_EQ(d.UserType, 2);
  EXPECT_TRUE(d.FolderVariables.empty());
  EXPECT_EQ(d.CfaOptions, 1 | 4 | 128);
  EXPECT_EQ(d.CfaMessage, "");
  EXPECT_EQ(d.PortableMode, 0);
  EXPECT_EQ(d.PortableFolder, "");
  EXPECT_EQ(d.BackgroundEnabled, 0);
  EXPECT_EQ(d.BackgroundImage, "");
  EXPECT_EQ(d.FormFont.Name, "Tahoma");
  EXPECT_FALSE(d.HasReadme);
  EXPECT_EQ(d.ReadmeIndex, -1);
  EXPECT_EQ(d.LicenseIndex, -1);
  EXPECT_EQ(d.SupportDllIndex, -1);
  EXPECT_TRUE(m.pkg.TempFileNames.empty());
  EXPECT_TRUE(d.Components.empty());
  EXPECT_FALSE(d.HasOptionalComponents);
  EXPECT_EQ(d.RegistryData, "");
  EXPECT_TRUE(d.FileTypes.empty());
  EXPECT_EQ(d.DotNetVersions, 0);
  EXPECT_TRUE(d.ThirdPartyList.empty());
  EXPECT_EQ(d.FinishFlags, 1 | 2 | 16 | 32 | 64 | 128);
  EXPECT_EQ(d.FinishExeIndex, 0xFFFF);
  EXPECT_EQ(d.FinishParams, "");
  EXPECT_EQ(d.MainExecutable, 0xFFFF);
  EXPECT_EQ(d.MainParameters, "");
  EXPECT_EQ(d.UninstallShortcut, 0);
  EXPECT_EQ(d.UninstallLinkedFile, 0xFFFF);
  EXPECT_EQ(d.SetupOptionBits, 1 | 16 | 32 | 64 | 128);
  EXPECT_EQ(d.MinimumPreviousDate, 0xFFFF);
  EXPECT_TRUE(d.UpgradeMessages.empty());
  EXPECT_TRUE(d.WindowClasses.empty());
  EXPECT_TRUE(d.WindowTitles.empty());
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
}

// A background without an image has no image record (the extra file's
// record is the last of section 10), and a component list that says 0
// components in a byte of its own holds none; the tree block after it is
// passed over whole.
TEST(CorpusDefinition, ABackgroundWithoutImageAndAListOfNoComponents) {
  cw::Package p = Basic();
  p.backgroundEnabled = 1;
  p.backgroundTop = "top";
  p.backgroundBottom = "";
  p.extraFile = cw::SupportFile{"extra.bin", Random(500, 31), cw::Form::Lzma};
  p.componentsContent = std::string(1, '\0');
  p.treesContent = std::string("\x02\x41\x00\x42\x00\x01\xFF", 7);
  const cw::Written w = cw::Write(p);
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.def.BackgroundImage, "");
  EXPECT_EQ(m.def.BackgroundTopText, "top");
  EXPECT_EQ(m.def.BackgroundImageIndex, -1);
  EXPECT_EQ(m.pkg.TempFileNames, (std::vector<std::string>{"extra.bin"}));
  EXPECT_TRUE(m.def.Components.empty());
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  EXPECT_EQ(m.Extract(0), p.extraFile->content);
  ExpectFilesAndTables(m, p, w);
}

// The parts whose presence hangs on two values: the finish program and the
// unused u16 of section 17, the parameters of section 18.
TEST(CorpusDefinition, PartsThatHangOnTwoValues) {
  struct Case {
    uint8_t finish;
    uint16_t main, x;
    uint16_t finishExe;
    const char *finishParams;
    const char *mainParams;
  };
  for (const Case c :
       {Case{8, 0xFFFF, 0x0000, 0xFFFF, "only bit 3", "x alone"},
        Case{4, 0x0001, 0xFFFF, 0x0001, "only bit 2", "main alone"},
        Case{12, 0xFFFF, 0xFFFF, 0x0001, "both", ""}}) {
    cw::Package p = Basic();
    p.finishFlags = c.finish;
    p.finishExe = 1;
    p.finishUnused = 0xABCD;
    p.finishParams = {c.finishParams, cw::Form::Stored};
    p.mainExecutable = c.main;
    p.mainX = c.x;
    p.mainParams = {c.mainParams, cw::Form::Lzma};
    p.uninstallShortcut = 9;
    p.uninstallLinked = 0x0102;
    p.setupBits = 4;
    p.windowClasses = {" A\tB ;;C ", cw::Form::Stored};
    const cw::Written w = cw::Write(p);
    Machine m(w);
    ASSERT_NO_THROW(m.Read()) << c.finishParams;
    EXPECT_EQ(m.def.FinishExeIndex, c.finishExe) << c.finishParams;
    EXPECT_EQ(m.def.FinishParams, c.finishParams);
    EXPECT_EQ(m.def.MainExecutable, c.main);
    EXPECT_EQ(m.def.MainExtra, c.x);
    EXPECT_EQ(m.def.MainParameters, c.mainParams);
    EXPECT_EQ(m.def.UninstallShortcut, 9);
    EXPECT_EQ(m.def.UninstallLinkedFile, 0x0102);
    EXPECT_EQ(m.def.WindowClasses,
              (std::vector<std::string>{"A", "B", "", "C"}));
    EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  }
}

// Support files of the same name do not overwrite one another: the second
// gets a number before its extension, or at its end when it has none.
TEST(CorpusDefinition, SupportFilesOfTheSameNameAreNumbered) {
  cw::Package p = Basic();
  p.readme = cw::SupportFile{"info.txt", "the readme", cw::Form::Stored};
  p.licence = cw::SupportFile{"info.txt", Text(900, 40), cw::Form::Lzma};
  p.supportDll = cw::SupportFile{"NOTES", Random(200, 41), cw::Form::Stored};
  const cw::Written w = cw::Write(p);
  Machine m(w);
  m.Add("C:\\Temp\\NOTES", "there before");
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(
      m.pkg.TempFilePaths,
      (std::vector<std::string>{"C:\\Temp\\info.txt", "C:\\Temp\\info2.txt",
                                "C:\\Temp\\NOTES2"}));
  EXPECT_EQ(m.Temp(0), "the readme");
  EXPECT_EQ(m.Temp(1), p.licence->content);
  EXPECT_EQ(m.Temp(2), p.supportDll->content);
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
}

// A support file whose stored size equals its size is copied as it is,
// even when its bytes are a valid LZMA stream; so is an installable file.
TEST(CorpusDefinition, StoredBytesThatHappenToBeLzmaAreCopied) {
  cw::Package p = Basic();
  const std::string lzma = cw::LzmaCompress(p.lzma, Text(5000, 42), false);
  p.readme = cw::SupportFile{"readme.txt", lzma, cw::Form::Stored};
  p.files.push_back({"looks-compressed.bin", lzma, cw::Form::Stored});
  const cw::Written w = cw::Write(p);
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.Temp(0), lzma);
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  ExpectFilesAndTables(m, p, w);
}

// ---------------------------------------------------------------- folder trees

// A chain of `depth` folders below %APPFOLDER%, one file in every
// `every`-th, the names (UTF-16) with a character outside the BMP.
cw::Folder Chain(int depth, int every, uint16_t dataIndex) {
  cw::Folder f;
  f.name = "d" + std::to_string(depth) + (depth % 3 == 0 ? "📁" : "");
  if (depth % every == 0)
    f.items.push_back(cw::FileItem(dataIndex));
  if (depth > 1)
    f.folders.push_back(Chain(depth - 1, every, dataIndex));
  return f;
}

std::string ChainPath(int depth, int level) { // the folder `level` steps down
  std::string s;
  for (int d = depth; d > depth - level; --d)
    s += "\\d" + std::to_string(d) + (d % 3 == 0 ? "📁" : "");
  return s;
}

// Deep trees, empty folders (no items, an empty item list in both
// spellings), bytes in item lists that carry no record, a %DESKTOP% folder
// with the no-desktop switch, empty components.
cw::Package Trees(int depth) {
  cw::Package p = Basic();
  p.files.push_back({"leaf.txt", Text(700, 50), cw::Form::Lzma});
  p.files.push_back({"desk.txt", "on the desktop", cw::Form::Stored});
  p.components.clear();
  cw::Component deep;
  deep.name = "Deep";
  cw::Folder app;
  app.name = "%APPFOLDER%";
  app.folders.push_back(Chain(depth, 7, p.Index(2)));
  cw::Folder empty1;
  empty1.name = "empty-255";
  cw::Folder empty2;
  empty2.name = "empty-254-255-255";
  empty2.itemList = true;
  cw::Folder empty3;
  empty3.name = "empty-254-16-255";
  empty3.itemList = true;
  empty3.emptyItemByte = 16;
  cw::Folder odd;
  odd.name = "odd";
  // Type bytes whose high four bits are none of 32, 64 and 128 carry no
  // record, even with one of those bits set.
  for (uint8_t t : {0x90, 0x00, 0x50, 0x30, 0xC5, 0x60, 0xA0, 0xFE, 0x10})
    odd.items.push_back({t, ""});
  odd.items.insert(odd.items.begin() + 3, cw::FileItem(p.Index(1)));
  odd.items.push_back(
      cw::FileItem(0xFFFF, 3, 0x10, "dropped, so its index needs no file"));
  cw::Folder desk;
  desk.name = "%desktop%";
  desk.items.push_back(cw::FileItem(p.Index(3)));
  cw::Folder inner;
  inner.name = "inside";
  desk.folders.push_back(inner);
  app.folders.push_back(empty1);
  app.folders.push_back(empty2);
  app.folders.push_back(empty3);
  app.folders.push_back(odd);
  deep.root.folders = {app, desk};
  cw::Component none; // a component without folders or items
  none.name = "Nothing";
  cw::Component list; // one with an empty item list of its own
  list.name = "Empty list";
  list.root.itemList = true;
  p.components = {deep, none, list};
  return p;
}

TEST(CorpusTrees, DeepTreesEmptyFoldersAndComponents) {
  const int depth = 120;
  const cw::Package p = Trees(depth);
  const cw::Written w = cw::Write(p);
  for (const bool noDesktop : {false, true}) {
    Machine m(w);
    TSetupReader::Options opt;
    opt.noDesktop = noDesktop;
    ASSERT_NO_THROW(m.Read(opt)) << noDesktop;
    EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
    const auto &comps = m.def.Components;
    ASSERT_EQ(comps.size(), 3u);
    const TComponentFolder &root = *comps[0].RootFolder;
    ASSERT_EQ(root.Folders.size(), noDesktop ? 1u : 2u);
    if (!noDesktop) {
      EXPECT_EQ(root.Folders[1]->Name, "%desktop%");
      ASSERT_EQ(root.Folders[1]->Files.size(), 1u);
      ASSERT_EQ(root.Folders[1]->Folders.size(), 1u);
      EXPECT_EQ(root.Folders[1]->Folders[0]->Name, "inside");
    }
    const TComponentFolder &app = *root.Folders[0];
    ASSERT_EQ(app.Folders.size(), 5u);
    const TComponentFolder *f = app.Folders[0].get();
    int levels = 1, files = 0;
    for (;;) {
      EXPECT_EQ(f->Name, "d" + std::to_string(depth - levels + 1) +
                             ((depth - levels + 1) % 3 == 0 ? "📁" : ""));
      files += static_cast<int>(f->Files.size());
      if (f->Folders.empty())
        break;
      ASSERT_EQ(f->Folders.size(), 1u);
      f = f->Folders[0].get();
      ++levels;
    }
    EXPECT_EQ(levels, depth);
    EXPECT_EQ(files, depth / 7);
    for (int k = 1; k <= 3; ++k) {
      const TComponentFolder &e = *app.Folders[k];
      EXPECT_TRUE(e.Folders.empty() && e.Files.empty() && e.Shortcuts.empty() &&
                  e.Urls.empty())
          << e.Name;
    }
    EXPECT_EQ(app.Folders[1]->Name, "empty-255");
    EXPECT_EQ(app.Folders[3]->Name, "empty-254-16-255");
    const TComponentFolder &odd = *app.Folders[4];
    EXPECT_EQ(odd.Name, "odd");
    ASSERT_EQ(odd.Files.size(), 1u);
    EXPECT_EQ(odd.Files[0].DataIndex, p.Index(1));
    EXPECT_TRUE(odd.Shortcuts.empty());
    EXPECT_TRUE(odd.Urls.empty());
    for (int c = 1; c <= 2; ++c) {
      const TComponentFolder &r = *comps[c].RootFolder;
      EXPECT_TRUE(r.Folders.empty() && r.Files.empty() && r.Shortcuts.empty() &&
                  r.Urls.empty())
          << c;
    }
    // The desktop file is still marked used: its entry was read.
    EXPECT_EQ(m.pkg.Tables.FileUsed[p.Index(3)], 1);
    EXPECT_EQ(m.pkg.Tables.FileUsed[p.Index(0)], 0);
  }
}

// ---------------------------------------------------------------- file types

// File types whose texts are not ASCII, and whose single-character values
// need two or three bytes of UTF-8 (the value is the character's low
// byte, so U+0100 is 0 and U+01C8 is 0xC8).
TEST(CorpusFileTypes, NonAsciiTextsAndWideSingleCharacters) {
  cw::Package p = Basic();
  p.fileTypes = {Ch(0x100) + Txt("Données – 文档 😀") + Txt(".dönn") + Ch(0xC8) +
                     Ch(0x101) + Ch(0x1E9) + Ch(0x4E2D) + Ch(0xFF) + Ch(0x7FF) +
                     Ch(2) + Txt("Bearbeitén") + Ch(0x0E9) + Ch(0x3) +
                     Ch(0xFFFD) + Ch(0x80) + Txt("\"%1\" /ü 😀") + Txt("打开") +
                     Ch(0xFF) + Ch(0xFF) + Ch(0) + Ch(0) + Txt("") + Ch(1) +
                     Txt("Ελληνικά") + Txt(".ελ") + Ch(0) + Ch(0) + Ch(0x80) +
                     Ch(0) + Ch(0) + Ch(0) + Ch(1) + Txt("open") + Ch(0x01) +
                     Ch(0x00) + Ch(0) + Ch(0) + Txt("«%1»"),
                 cw::Form::Lzma};
  const cw::Written w = cw::Write(p);
  Machine m(w);
  ASSERT_NO_THROW(m.Read());
  EXPECT_EQ(m.pkg.Position(), w.definitionEnd);
  const auto &types = m.def.FileTypes;
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[0].first, ".dönn -> Données – 文档 😀 (bearbeitén, 打开)");
  const TFileType &a = types[0].second;
  EXPECT_FALSE(a.Install); // U+0100: low byte 0
  EXPECT_EQ(a.Description, "Données – 文档 😀");
  EXPECT_EQ(a.Extension, ".dönn");
  EXPECT_EQ(a.IconFile, 0x01C8);
  EXPECT_EQ(a.IconIndex, 0xE9);
  ASSERT_EQ(a.Actions.size(), 2u);
  EXPECT_EQ(a.Actions[0].Verb, "bearbeitén");
  EXPECT_EQ(a.Actions[0].Target, 0x03E9);
  EXPECT_EQ(a.Actions[0].Parameters, "\"%1\" /ü 😀");
  EXPECT_EQ(a.Actions[1].Verb, "打开");
  EXPECT_EQ(a.Actions[1].Target, 0xFFFF);
  EXPECT_EQ(a.Actions[1].Parameters, "");
  EXPECT_EQ(types[1].first, ".ελ -> Ελληνικά (open)");
  const TFileType &b = types[1].second;
  EXPECT_TRUE(b.Install);
  EXPECT_EQ(b.IconFile, 0);
  EXPECT_EQ(b.IconIndex, 0x80);
  ASSERT_EQ(b.Actions.size(), 1u);
  EXPECT_EQ(b.Actions[0].Target, 1);
  EXPECT_EQ(b.Actions[0].Parameters, "«%1»");
  ExpectFilesAndTables(m, p, w);
}

// A verb is kept in lower case, letters outside ASCII included.
TEST(CorpusFileTypes, VerbsAreKeptInLowerCaseBeyondAscii) {
  cw::Package p = Basic();
  p.fileTypes = {Ch(1) + Txt("Dokument") + Txt(".dok") + Ch(0xFF) + Ch(0xFF) +
                     Ch(0) + Ch(0) + Ch(0) + Ch(0) + Ch(1) + Txt("ÖFFNEN") +
                     Ch(0xFF) + Ch(0xFF) + Ch(0) + Ch(0) + Txt("\"%1\""),
                 cw::Form::Lzma};
  Machine m(cw::Write(p));
  ASSERT_NO_THROW(m.Read());
  ASSERT_EQ(m.def.FileTypes.size(), 1u);
  ASSERT_EQ(m.def.FileTypes[0].second.Actions.size(), 1u);
  EXPECT_EQ(m.def.FileTypes[0].second.Actions[0].Verb, "öffnen");
  EXPECT_EQ(m.def.FileTypes[0].first, ".dok -> Dokument (öffnen)");
}

// ----------------------------------------------------------------
// installations

// Silent installations of corpus packages on the simulated machine.
class CorpusInstall : public InstallTest {
protected:
  // Puts the installer file and its volume files into the machine's Z:
  // view and returns the installer's path there.
  std::string Place(const cw::Written &w,
                    const std::string &name = "setup.exe") {
    std::string win = "Z:" + root + "/dist/" + name;
    for (char &c : win)
      if (c == '/')
        c = '\\';
    for (size_t k = 1; k <= w.volumes.size(); ++k) {
      std::string native =
          root + "/dist/" +
          (k == 1 ? name
                  : ExtractFileName(cw::VolumeName(win, static_cast<int>(k))));
      std::ofstream(native, std::ios::binary) << w.volumes[k - 1];
    }
    return win;
  }
  std::string Product(const std::string &rel = "") {
    return kProgramFiles + "\\Corpus Product" + (rel.empty() ? "" : "\\" + rel);
  }
  void
  InstallAndExpect(const cw::Package &p, const cw::Written &w,
                   const std::vector<std::pair<std::string, size_t>> &installed,
                   const std::vector<std::string> &switches = {"/silent"}) {
    const std::string setup = Place(w);
    ASSERT_EQ(Run(setup, switches), kExitSuccess)
        << (dialogs.shown.empty() ? "" : dialogs.shown[0].text);
    EXPECT_EQ(Read(Product("UnStowa.exe")), p.files[0].content);
    for (const auto &[rel, j] : installed) {
      EXPECT_TRUE(fs.FileExists(Product(rel))) << rel;
      EXPECT_EQ(Read(Product(rel)), p.files[j].content) << rel;
      const auto time = fs.LastWriteTime(Product(rel));
      ASSERT_TRUE(time) << rel;
      EXPECT_NEAR(*time, p.files[j].time, 1.0 / 86400) << rel;
    }
  }
};

// The volume package of the boundary cases (one worker reads them in turn).
TEST_F(CorpusInstall, FilesOnVolumeBoundariesInstallByteForByte) {
  cw::Package p = Basic();
  const uint32_t v = 4096;
  p.volumeSize = v;
  p.files[1].content = Text(5000, 60);
  p.files.push_back({"ends.bin", Random(1500, 61), cw::Form::Stored, 45000.0});
  p.files.back().at = 2 * v - 1500;
  p.files.push_back({"starts.bin", Random(700, 62), cw::Form::Stored, 45001.5});
  p.files.back().at = 2 * v;
  p.files.push_back({"span.bin", Random(3 * v + 10, 63), cw::Form::Stored});
  p.files.push_back(
      {"lzspan.bin", Random(2 * v, 64) + Text(3000, 65), cw::Form::LzmaEnd});
  cw::Folder &app = p.components[0].root.folders[0];
  cw::Folder sub;
  sub.name = "sub";
  for (size_t j = 2; j < p.files.size(); ++j)
    (j % 2 ? sub : app).items.push_back(cw::FileItem(p.Index(j)));
  app.folders.push_back(sub);
  const cw::Written w = cw::Write(p);
  ASSERT_EQ(w.offsets[p.Index(2)] + w.storedSizes[p.Index(2)], 2 * v);
  ASSERT_EQ(w.offsets[p.Index(3)], 2 * v);
  ASSERT_GE(w.volumes.size(), 6u);
  InstallAndExpect(p, w,
                   {{"app.exe", 1},
                    {"ends.bin", 2},
                    {"sub\\starts.bin", 3},
                    {"span.bin", 4},
                    {"sub\\lzspan.bin", 5}});
  EXPECT_EQ(lastWorkers, 1u);
}

// Every stored form, the empty compressed file, the shared range and the
// data in front of the header, installed; with the equal-size block and
// the unusual coder settings on the way.
TEST_F(CorpusInstall, EveryFormOfStoredDataInstallsByteForByte) {
  cw::Package p = Basic();
  p.lzma.lc = 0;
  p.lzma.lp = 1;
  p.lzma.pb = 0;
  p.lzma.dict = 4096;
  p.headerAt = 9000;
  p.cfaOptions = 2;
  p.cfaMessage = {EqualSizeContent(p.lzma, false, 66), cw::Form::Lzma};
  p.files.push_back({"stored.bin", Random(10000, 67), cw::Form::Stored});
  p.files.push_back({"plain.txt", Text(30000, 68), cw::Form::Lzma});
  p.files.push_back({"marked.txt", Text(30000, 69), cw::Form::LzmaEnd});
  p.files.push_back({"zero.txt", "", cw::Form::Lzma});
  p.files.push_back({"front.bin", Random(4000, 70), cw::Form::Stored});
  p.files.back().at = 2000;
  p.files.push_back({"twin.bin", Random(4000, 70), cw::Form::Stored, 45500.25});
  p.files.back().sameAs = 6;
  p.files.push_back({"Ünïcödé 文件 😀.txt", Text(2000, 71), cw::Form::Lzma});
  cw::Folder &app = p.components[0].root.folders[0];
  for (size_t j = 2; j < p.files.size(); ++j)
    app.items.push_back(cw::FileItem(p.Index(j)));
  const cw::Written w = cw::Write(p);
  InstallAndExpect(p, w,
                   {{"app.exe", 1},
                    {"stored.bin", 2},
                    {"plain.txt", 3},
                    {"marked.txt", 4},
                    {"zero.txt", 5},
                    {"front.bin", 6},
                    {"twin.bin", 7},
                    {"Ünïcödé 文件 😀.txt", 8}});
}

// A tree of 30 levels with files at several of them, empty folders and
// empty components, installed.
TEST_F(CorpusInstall, ADeepTreeInstallsByteForByte) {
  const int depth = 30;
  const cw::Package p = Trees(depth);
  const cw::Written w = cw::Write(p);
  std::vector<std::pair<std::string, size_t>> expected = {{"odd\\app.exe", 1}};
  for (int level = 1; level <= depth; ++level)
    if ((depth - level + 1) % 7 == 0)
      expected.push_back({ChainPath(depth, level).substr(1) + "\\leaf.txt", 2});
  ASSERT_EQ(expected.size(), 5u);
  InstallAndExpect(p, w, expected, {"/silent", "/nodesktop"});
}

// ---------------------------------------------------------------- byte sweep

// A small volume package with most optional parts: support files in all
// forms, file types, prerequisites, finish, main and setup options, and
// files stored, compressed with and without end marker, across volumes.
cw::Package SweepPackage() {
  cw::Package p;
  p.strings = {"%s", "a", "b"};
  p.productKey = "S";
  p.publisher = "P";
  p.version = "";
  p.welcome = "";
  p.folderDefaults[0] = "%PROGRAMFILES%\\S";
  p.headerAt = 160;
  p.cfaOptions = 2;
  p.cfaMessage = {"cfa", cw::Form::Stored};
  p.portableMode = 1;
  p.portableFolder = {"\\P", cw::Form::Lzma};
  p.section4 = 32 | 64;
  p.section4Text = {"x", cw::Form::Stored};
  p.section4Rows[0] = 1;
  p.backgroundEnabled = 1;
  p.readme = cw::SupportFile{"r.txt", Text(120, 80), cw::Form::Lzma};
  p.licence = cw::SupportFile{"l.txt", "licence", cw::Form::Stored};
  p.backgroundImage =
      cw::SupportFile{"b.bmp", Random(40, 81), cw::Form::LzmaEnd};
  p.files.push_back({"UnStowa32.exe", Random(60, 82), cw::Form::Stored});
  p.files.push_back({"a.txt", Text(300, 83), cw::Form::Lzma});
  p.files.push_back({"b.bin", Random(1000, 84), cw::Form::Stored});
  p.files.push_back({"c.txt", Text(200, 85), cw::Form::LzmaEnd});
  cw::Component c;
  c.name = "C";
  cw::Folder app;
  app.name = "%APPFOLDER%";
  for (size_t j = 1; j < 4; ++j)
    app.items.push_back(cw::FileItem(p.Index(j)));
  app.items.push_back(cw::ShortcutItem(p.Index(1), "s", "", "", 0, 0xFFFF));
  c.root.folders.push_back(app);
  p.components.push_back(c);
  p.fileTypes = {Ch(1) + Txt("T") + Txt(".t") + Ch(0xFF) + Ch(0xFF) + Ch(0) +
                     Ch(0) + Ch(0) + Ch(0) + Ch(1) + Txt("open") + Ch(0xC8) +
                     Ch(0) + Ch(0) + Ch(0) + Txt("%1"),
                 cw::Form::Lzma};
  p.prerequisites.push_back(
      {{"N\r\nu\r\n1\r\n\r\nn.exe", cw::Form::Stored}, 0, 0});
  p.finishFlags = 4;
  p.finishExe = p.Index(1);
  p.finishParams = {"f", cw::Form::Stored};
  p.setupBits = 2;
  p.upgradeMessages = {"u", cw::Form::Stored};
  return p;
}

struct SweepOutcome {
  bool read = false;
  int wrongFiles = 0;
};

SweepOutcome SweepRead(const cw::Written &w,
                       const std::vector<std::string> &expected) {
  SweepOutcome out;
  Machine m(w);
  try {
    m.Read();
  } catch (const ESetupException &) {
    return out;
  }
  out.read = true;
  // The support files that the definition says it has: a damaged readme
  // may be left out (it only costs the Readme button), but what is
  // claimed must be there, and whatever was extracted must be right.
  const TSetupDefinition &d = m.def;
  const std::vector<int> claimed = {d.HasReadme ? d.ReadmeIndex : -1,
                                    d.LicenseIndex, d.SupportDllIndex,
                                    d.BackgroundImageIndex};
  for (size_t i = 0; i < expected.size() && i < m.pkg.Tables.Count(); ++i) {
    std::string content;
    if (i < m.pkg.TempFilePaths.size()) {
      if (m.pkg.TempFilePaths[i] == "*")
        continue;
      const std::string *c = m.fs.Content(m.pkg.TempFilePaths[i]);
      const bool isClaimed = std::find(claimed.begin(), claimed.end(),
                                       static_cast<int>(i)) != claimed.end();
      if (!c && !isClaimed)
        continue;
      content = c ? *c : "<missing>";
    } else {
      try {
        content = m.Extract(static_cast<int>(i));
      } catch (const ESetupException &) {
        continue; // refused: nothing under the target's name
      }
    }
    if (content != expected[i])
      ++out.wrongFiles;
  }
  return out;
}

// Every byte of the installer file and of each volume file, flipped and
// zeroed in turn: the read fails, or every file it produced has exactly
// the package's bytes.
TEST(CorpusSweep, NoFlippedOrZeroedByteOfAnyVolumeGivesAFileWithOtherBytes) {
  cw::Package p = SweepPackage();
  const cw::Written probe = cw::Write(p);
  // Volume 1 ends where the file-type block ends: sections 16 to 19 are
  // read from volume 2, and the data run on into volume 3.
  p.volumeSize = static_cast<uint32_t>(probe.blocks.at("filetypes").second);
  const cw::Written good = cw::Write(p);
  ASSERT_GE(good.volumes.size(), 3u)
      << p.volumeSize << " " << good.image.size();
  ASSERT_GT(good.definitionEnd, static_cast<int64_t>(p.volumeSize));
  std::vector<std::string> expected;
  for (size_t i = 0; i < p.SupportFiles().size() + p.files.size(); ++i)
    expected.push_back(ContentOf(p, i));
  const SweepOutcome base = SweepRead(good, expected);
  ASSERT_TRUE(base.read);
  ASSERT_EQ(base.wrongFiles, 0);
  int reads = 0, refused = 0, wrong = 0;
  std::string firstWrong;
  size_t swept = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t k = 0; k < good.volumes.size(); ++k) {
    for (size_t pos = 0; pos < good.volumes[k].size(); ++pos, ++swept) {
      for (const int mutation : {0, 1}) {
        cw::Written bad = good;
        char &b = bad.volumes[k][pos];
        const char before = b;
        b = mutation == 0 ? static_cast<char>(~b) : '\0';
        if (b == before)
          continue;
        const SweepOutcome o = SweepRead(bad, expected);
        reads += o.read;
        refused += !o.read;
        if (o.wrongFiles && ++wrong == 1)
          firstWrong = "volume " + std::to_string(k + 1) + " byte " +
                       std::to_string(pos) +
                       (mutation ? " zeroed" : " flipped");
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(wrong, 0) << "first at " << firstWrong;
  EXPECT_EQ(swept, good.image.size());
  EXPECT_GT(reads, 100);
  EXPECT_GT(refused, 100);
  std::printf("corpus byte sweep: %zu bytes in %zu files, %d reads succeeded, "
              "%d refused, %.2f s\n",
              swept, good.volumes.size(), reads, refused, seconds);
}

} // namespace
