// The full name of a font file. The fonts are written here byte by byte,
// straight from the layout of the format, so the tests do not share the
// reader's idea of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/FontName.h"

using namespace stw;

namespace {

void Put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
  s.push_back(static_cast<char>(v & 0xFF));
}

void Put32(std::string& s, uint32_t v) {
  Put16(s, v >> 16);
  Put16(s, v & 0xFFFF);
}

void Set32(std::string& s, size_t at, uint32_t v) {
  std::string b;
  Put32(b, v);
  s.replace(at, 4, b);
}

std::string Utf16Be(std::u16string_view text) {
  std::string out;
  for (const char16_t u : text) Put16(out, u);
  return out;
}

constexpr uint16_t kMac = 1, kWindows = 3, kUnicode = 0;
constexpr uint16_t kFull = 4;
constexpr uint16_t kUsEnglish = 0x0409, kGerman = 0x0407;

struct Rec {
  uint16_t platform;
  uint16_t encoding;
  uint16_t language;
  uint16_t nameId;
  std::string bytes;
  // For damaged records: the length and the offset written instead of the
  // true ones.
  std::optional<uint16_t> length = std::nullopt;
  std::optional<uint16_t> offset = std::nullopt;
};

Rec Win(std::u16string_view text, uint16_t language = kUsEnglish, uint16_t nameId = kFull) {
  return {kWindows, 1, language, nameId, Utf16Be(text)};
}
Rec Mac(std::string text, uint16_t language = 0, uint16_t nameId = kFull) {
  return {kMac, 0, language, nameId, std::move(text)};
}

// Format 0: header, the records, then the strings one after another.
std::string NamingTable(const std::vector<Rec>& records) {
  std::string t;
  Put16(t, 0);
  Put16(t, static_cast<uint32_t>(records.size()));
  Put16(t, static_cast<uint32_t>(6 + 12 * records.size()));
  std::string storage;
  for (const Rec& r : records) {
    Put16(t, r.platform);
    Put16(t, r.encoding);
    Put16(t, r.language);
    Put16(t, r.nameId);
    Put16(t, r.length.value_or(static_cast<uint16_t>(r.bytes.size())));
    Put16(t, r.offset.value_or(static_cast<uint16_t>(storage.size())));
    storage += r.bytes;
  }
  return t + storage;
}

struct Table {
  std::string tag;
  std::string data;
};

// The offset table, the directory and the tables, each table on a 4-byte
// boundary with its checksum, as a font tool writes them.
std::string Font(const std::vector<Table>& tables, uint32_t version = 0x00010000) {
  std::string f;
  const uint32_t n = static_cast<uint32_t>(tables.size());
  uint32_t power = 1, log2 = 0;
  while (power * 2 <= n) power *= 2, ++log2;
  Put32(f, version);
  Put16(f, n);
  Put16(f, power * 16);
  Put16(f, log2);
  Put16(f, n * 16 - power * 16);
  uint32_t offset = 12 + 16 * n;
  std::string body;
  for (const Table& t : tables) {
    std::string padded = t.data;
    padded.resize((padded.size() + 3) / 4 * 4, '\0');
    uint32_t sum = 0;
    for (size_t i = 0; i < padded.size(); i += 4)
      sum += static_cast<uint32_t>(static_cast<unsigned char>(padded[i])) << 24 |
             static_cast<uint32_t>(static_cast<unsigned char>(padded[i + 1])) << 16 |
             static_cast<uint32_t>(static_cast<unsigned char>(padded[i + 2])) << 8 |
             static_cast<unsigned char>(padded[i + 3]);
    f += t.tag;
    Put32(f, sum);
    Put32(f, offset);
    Put32(f, static_cast<uint32_t>(t.data.size()));
    offset += static_cast<uint32_t>(padded.size());
    body += padded;
  }
  return f + body;
}

// A font with a few other tables around the naming table.
std::string FontWithNames(const std::vector<Rec>& records, uint32_t version = 0x00010000) {
  return Font({{"OS/2", std::string(96, '\x11')},
               {"head", std::string(54, '\x22')},
               {"name", NamingTable(records)},
               {"post", std::string(32, '\x33')}},
              version);
}

// A file in memory, read the way the setup reads a file on disk: in
// pieces of at most `piece` bytes, counting what was read.
class MemoryReadFile : public IReadFile {
 public:
  explicit MemoryReadFile(std::string bytes, size_t piece = 7) : bytes_(std::move(bytes)), piece_(piece) {}
  size_t Read(void* buffer, size_t n) override {
    const size_t got = std::min({n, piece_, bytes_.size() - std::min<size_t>(pos_, bytes_.size())});
    std::copy_n(bytes_.data() + pos_, got, static_cast<char*>(buffer));
    pos_ += got;
    bytesRead += got;
    return got;
  }
  bool Seek(uint64_t offset) override {
    if (offset > bytes_.size()) return false;
    pos_ = static_cast<size_t>(offset);
    return true;
  }
  uint64_t Position() const override { return pos_; }
  uint64_t Size() const override { return bytes_.size(); }
  uint64_t bytesRead = 0;

 private:
  std::string bytes_;
  size_t piece_;
  size_t pos_ = 0;
};

// A huge file of zeros but for a few pieces of data at given offsets.
class SparseReadFile : public IReadFile {
 public:
  SparseReadFile(uint64_t size, std::map<uint64_t, std::string> pieces) : size_(size), pieces_(std::move(pieces)) {}
  size_t Read(void* buffer, size_t n) override {
    const size_t got = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos_));
    char* out = static_cast<char*>(buffer);
    std::fill_n(out, got, '\0');
    for (const auto& [at, data] : pieces_)
      for (size_t i = 0; i < data.size(); ++i)
        if (at + i >= pos_ && at + i < pos_ + got) out[at + i - pos_] = data[i];
    pos_ += got;
    bytesRead += got;
    return got;
  }
  bool Seek(uint64_t offset) override {
    if (offset > size_) return false;
    pos_ = offset;
    return true;
  }
  uint64_t Position() const override { return pos_; }
  uint64_t Size() const override { return size_; }
  uint64_t bytesRead = 0;

 private:
  uint64_t size_;
  std::map<uint64_t, std::string> pieces_;
  uint64_t pos_ = 0;
};

// Both ways of reading agree on every font.
std::string NameOf(const std::string& font) {
  const std::string fromBytes = FontFullName(font);
  MemoryReadFile file(font);
  EXPECT_EQ(FontFullName(file), fromBytes);
  EXPECT_LE(file.bytesRead, font.size());
  return fromBytes;
}

}  // namespace

TEST(FontName, EnglishWindowsRecord) {
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Sans", kUsEnglish, 1), Win(u"Regular", kUsEnglish, 2),
                                  Win(u"Stowa Sans Regular"), Win(u"StowaSans-Regular", kUsEnglish, 6)})),
            "Stowa Sans Regular");
  // English of any region counts: the primary language is the low byte.
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Sans UK", 0x0809)})), "Stowa Sans UK");
}

TEST(FontName, OtherLanguagesAreSkippedForALaterEnglishRecord) {
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Grotesk Fett", kGerman), Win(u"Stowa Grotesk Bold")})),
            "Stowa Grotesk Bold");
  // Only the low byte tells the language: 0x0C0A is Spanish (of Spain).
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Negrita", 0x0C0A)})), "");
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Fett", kGerman)})), "");
  // A language ID of another platform is no Windows language: a Macintosh
  // record of language 0x0409 is not English.
  EXPECT_EQ(NameOf(FontWithNames({Mac("Stowa Mac", kUsEnglish)})), "");
}

TEST(FontName, SingleByteRecordOnly) {
  EXPECT_EQ(NameOf(FontWithNames({Mac("Stowa", 0, 1), Mac("Stowa Mac")})), "Stowa Mac");
  // Taken as Latin-1: e acute is one byte in the font, two in UTF-8.
  EXPECT_EQ(NameOf(FontWithNames({Mac("Caf\xE9 Serif")})), "Caf\xC3\xA9 Serif");
  // Of two single-byte records the first counts; ISO (2) is single-byte too.
  EXPECT_EQ(NameOf(FontWithNames({{2, 0, 0, kFull, "Stowa ISO"}, Mac("Stowa Mac")})), "Stowa ISO");
}

TEST(FontName, Utf16RecordWinsOverAnEarlierSingleByteOne) {
  EXPECT_EQ(NameOf(FontWithNames({Mac("Stowa Mac Name"), Win(u"Stowa Windows Name")})), "Stowa Windows Name");
  EXPECT_EQ(NameOf(FontWithNames({Win(u"First"), Win(u"Second"), Mac("Mac")})), "First");
}

TEST(FontName, LanguageZeroRecordsCount) {
  EXPECT_EQ(NameOf(FontWithNames({{kUnicode, 3, 0, kFull, Utf16Be(u"Stowa Unicode")}})), "Stowa Unicode");
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Neutral", 0)})), "Stowa Neutral");
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Fett", kGerman), Mac("Stowa Mac", 0)})), "Stowa Mac");
}

TEST(FontName, NoNamingTableOrNoFullName) {
  EXPECT_EQ(NameOf(Font({{"head", std::string(54, '\0')}, {"post", std::string(32, '\0')}})), "");
  EXPECT_EQ(NameOf(Font({})), "");
  EXPECT_EQ(NameOf(FontWithNames({})), "");
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa", kUsEnglish, 1), Win(u"Stowa-Regular", kUsEnglish, 6)})), "");
  // A tag differs from "name" in its case or a character.
  EXPECT_EQ(NameOf(Font({{"NAME", NamingTable({Win(u"Stowa")})}, {"nam ", NamingTable({Win(u"Stowa")})}})), "");
  EXPECT_EQ(NameOf(""), "");
  EXPECT_EQ(NameOf(std::string(11, '\0')), "");
}

TEST(FontName, OnlyVersionOneFontsAreRead) {
  const std::vector<Rec> names = {Win(u"Stowa Sans")};
  EXPECT_EQ(NameOf(FontWithNames(names, 0x00010000)), "Stowa Sans");
  // An OpenType font with CFF outlines ('OTTO') carries the same naming
  // table, but only version 1.0 is read: such a font has no name here.
  EXPECT_EQ(NameOf(FontWithNames(names, 0x4F54544F)), "");
  // Nor a collection ('ttcf'), an old Macintosh font ('true'), version 2.0
  // or 1.1.
  for (const uint32_t version : {0x74746366u, 0x74727565u, 0x00020000u, 0x00010001u, 0u})
    EXPECT_EQ(NameOf(FontWithNames(names, version)), "") << std::hex << version;
}

TEST(FontName, TruncatedAtEveryLength) {
  const std::vector<Rec> names = {Mac("Stowa Mac"), Win(u"Stowa Sans", kGerman), Win(u"Stowa Sans")};
  const std::string font = FontWithNames(names);
  ASSERT_EQ(NameOf(font), "Stowa Sans");
  // The naming table is the third: the name is there once the file holds
  // it whole, the table after it does not matter.
  const size_t nameEnd = 12 + 16 * 4 + 96 + 56 + NamingTable(names).size();
  ASSERT_LT(nameEnd, font.size());
  for (size_t n = 0; n <= font.size(); ++n)
    EXPECT_EQ(NameOf(font.substr(0, n)), n < nameEnd ? "" : "Stowa Sans") << n << " bytes";
}

TEST(FontName, RecordOutsideTheStorageIsIgnored) {
  Rec beyond = Win(u"Far Away");
  beyond.offset = 0x7000;
  EXPECT_EQ(NameOf(FontWithNames({beyond, Win(u"Stowa Sans")})), "Stowa Sans");
  EXPECT_EQ(NameOf(FontWithNames({beyond})), "");
  EXPECT_EQ(NameOf(FontWithNames({Mac("Stowa Mac"), beyond})), "Stowa Mac");
  // One byte too long: the string would end after the table.
  Rec last = Win(u"Stowa");
  last.length = 11;
  EXPECT_EQ(NameOf(FontWithNames({Mac("Mac"), last})), "Mac");
  // Exactly up to the table's end is inside (and the odd byte is dropped).
  last.bytes += '\0';
  last.length = 11;
  EXPECT_EQ(NameOf(FontWithNames({Mac("Mac"), last})), "Stowa");
  // Two records may share their bytes.
  Rec shared = Win(u"");
  shared.length = 10;
  shared.offset = 0;
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Stowa Shared", kGerman), shared})), "Stowa");
}

TEST(FontName, DamagedTablesYieldNoName) {
  // Records reaching beyond the table (38 bytes: 6 + 12 + 20).
  std::string table = NamingTable({Win(u"Stowa Sans")});
  table[3] = 3;
  EXPECT_EQ(NameOf(Font({{"name", table}})), "");
  // The naming table reaching beyond the file by one byte.
  std::string font = Font({{"head", std::string(54, '\0')}, {"name", NamingTable({Win(u"Stowa Sans")})}});
  ASSERT_EQ(NameOf(font), "Stowa Sans");
  const size_t nameRecord = 12 + 16;
  const uint32_t tableOffset = 12 + 32 + 56;
  const uint32_t tableLength = static_cast<uint32_t>(NamingTable({Win(u"Stowa Sans")}).size());
  ASSERT_EQ(font.size(), tableOffset + tableLength + 2);  // padding to four bytes
  Set32(font, nameRecord + 12, tableLength + 3);
  EXPECT_EQ(NameOf(font), "");
  Set32(font, nameRecord + 12, tableLength + 2);
  EXPECT_EQ(NameOf(font), "Stowa Sans");
  // An offset and a length whose sum does not fit 32 bits.
  Set32(font, nameRecord + 8, 0xFFFFFFF0u);
  Set32(font, nameRecord + 12, 0x20);
  EXPECT_EQ(NameOf(font), "");
  // A directory of more tables than the file holds.
  font = Font({{"name", NamingTable({Win(u"Stowa Sans")})}});
  font[5] = 50;
  EXPECT_EQ(NameOf(font), "");
  // The string storage starting beyond the table.
  table = NamingTable({Win(u"Stowa Sans")});
  table[4] = '\x7F';
  EXPECT_EQ(NameOf(Font({{"name", table}})), "");
}

TEST(FontName, Utf16Details) {
  // An odd length: the last byte is dropped.
  Rec odd = Win(u"Stowa");
  odd.bytes += 'X';
  EXPECT_EQ(NameOf(FontWithNames({odd})), "Stowa");
  // A name ends at its first zero character.
  EXPECT_EQ(NameOf(FontWithNames({Win(std::u16string(u"Stowa\0Hidden", 12))})), "Stowa");
  // A name that is empty then is no name, nor is an empty string.
  EXPECT_EQ(NameOf(FontWithNames({Win(std::u16string(u"\0Hidden", 7)), Win(u""), Win(u"Stowa Sans")})), "Stowa Sans");
  EXPECT_EQ(NameOf(FontWithNames({Mac(std::string("\0Hidden", 7)), Mac("Stowa Mac")})), "Stowa Mac");
  EXPECT_EQ(NameOf(FontWithNames({Mac(std::string("Mac\0Hidden", 10))})), "Mac");
  // Characters beyond the basic plane, and unpaired surrogates.
  EXPECT_EQ(NameOf(FontWithNames({Win(u"A\U0001F600")})), "A\xF0\x9F\x98\x80");
  EXPECT_EQ(NameOf(FontWithNames({Win(std::u16string{u'A', 0xD83D, u'B'})})),
            "A\xEF\xBF\xBD"
            "B");
  EXPECT_EQ(NameOf(FontWithNames({Win(std::u16string{0xDE00, u'B', 0xD83D})})),
            "\xEF\xBF\xBD"
            "B\xEF\xBF\xBD");
  EXPECT_EQ(NameOf(FontWithNames({Win(u"Gr\u00FC\u00DFe \u20AC")})),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC");
}

TEST(FontName, AFileIsReadOnlyWhereTheNameIs) {
  // A naming table 1 GiB into a huge file, claiming to be 4 GiB long but
  // holding its records and strings in its first bytes.
  const uint64_t tableOffset = (1ull << 30) + 4;
  const uint64_t tableEnd = tableOffset + 0xFFFFFFFFull;
  std::string header;
  Put32(header, 0x00010000);
  Put16(header, 2);
  Put16(header, 32);
  Put16(header, 1);
  Put16(header, 0);
  header += "glyf";
  Put32(header, 0);
  Put32(header, 44);
  Put32(header, static_cast<uint32_t>(tableOffset - 44));
  header += "name";
  Put32(header, 0);
  Put32(header, static_cast<uint32_t>(tableOffset));
  Put32(header, 0xFFFFFFFFu);
  const std::map<uint64_t, std::string> pieces = {{0, header}, {tableOffset, NamingTable({Win(u"Stowa Huge")})}};
  SparseReadFile file(tableEnd, pieces);
  EXPECT_EQ(FontFullName(file), "Stowa Huge");
  EXPECT_LE(file.bytesRead, kMaxFontNameRead);
  EXPECT_LT(file.bytesRead, 1u << 20);
  // The same file one byte shorter: the table no longer fits.
  SparseReadFile shorter(tableEnd - 1, pieces);
  EXPECT_EQ(FontFullName(shorter), "");
  EXPECT_EQ(shorter.bytesRead, 12u + 32u);  // the offset table and the directory

  // A directory claiming 65535 tables in a file too small for them costs
  // no read beyond the offset table.
  std::string many = header.substr(0, 12);
  many[4] = many[5] = '\xFF';
  MemoryReadFile small(many + std::string(1000, '\0'));
  EXPECT_EQ(FontFullName(small), "");
  EXPECT_EQ(small.bytesRead, 12u);
}

#ifndef _WIN32
// A real font of this machine, when there is one.
TEST(FontName, InstalledDejaVuSans) {
  const char* path = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  std::ifstream in(path, std::ios::binary);
  if (!in) GTEST_SKIP() << path << " is not installed";
  const std::string font((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(NameOf(font), "DejaVu Sans");
  MemoryReadFile file(font, 64 * 1024);
  EXPECT_EQ(FontFullName(file), "DejaVu Sans");
  // The offset table, the directory and the naming table only.
  EXPECT_LT(file.bytesRead, font.size() / 10);
}
#endif
