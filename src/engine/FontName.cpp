#include "engine/FontName.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/Text.h"

namespace stw {
namespace {

// All fields of a font file are big-endian.
//
// Offset table: sfnt version (u32), table count (u16), then three u16 for
// binary searching that nobody needs at this size.
constexpr size_t kOffsetTableSize = 12;
// A table record: tag, checksum, offset from the file's start, length.
constexpr size_t kTableRecordSize = 16;
// Naming table header: format, record count, offset of the string storage
// from the naming table's start.
constexpr size_t kNamingHeaderSize = 6;
// A name record: platform, encoding, language, name ID, length, offset from
// the string storage's start.
constexpr size_t kNameRecordSize = 12;

// TrueType outlines. An OpenType font with CFF outlines says 'OTTO' and a
// collection 'ttcf'; neither is read.
constexpr uint32_t kVersion1 = 0x00010000;
constexpr uint16_t kFullNameId = 4;
constexpr uint16_t kPlatformUnicode = 0;
constexpr uint16_t kPlatformWindows = 3;
// The primary language of a Windows language ID, in its low byte.
constexpr uint16_t kLangEnglish = 0x09;

// The reach of a naming table, as FontName.h counts it for the read limit.
constexpr size_t kNamingTableReach = kNamingHeaderSize + kNameRecordSize * 0xFFFF;
static_assert(kNamingTableReach >= 3 * 0xFFFF, "a string ends within the records' reach");
static_assert(kMaxFontNameRead == kOffsetTableSize + kTableRecordSize * 0xFFFF + kNamingTableReach);

// Callers check that the bytes are there.
uint16_t Be16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) << 8 | static_cast<unsigned char>(s[at + 1]));
}

uint32_t Be32(std::string_view s, size_t at) { return static_cast<uint32_t>(Be16(s, at)) << 16 | Be16(s, at + 2); }

// The size of the offset table and the directory after it, from the offset
// table's 12 bytes; nullopt when the font is not of version 1.0.
std::optional<size_t> HeaderSize(std::string_view offsetTable) {
  if (offsetTable.size() < kOffsetTableSize || Be32(offsetTable, 0) != kVersion1) return std::nullopt;
  return kOffsetTableSize + kTableRecordSize * Be16(offsetTable, 4);
}

struct Range {
  uint64_t offset;
  uint64_t length;
};

// The first table tagged "name" in the directory, when it lies wholly
// within a file of `fileSize` bytes. `header` holds the offset table and
// the whole directory.
std::optional<Range> FindNamingTable(std::string_view header, uint64_t fileSize) {
  for (size_t at = kOffsetTableSize; at + kTableRecordSize <= header.size(); at += kTableRecordSize) {
    if (header.substr(at, 4) != "name") continue;
    const Range r{Be32(header, at + 8), Be32(header, at + 12)};
    // Both are 32-bit, so their sum cannot overflow 64 bits.
    if (r.offset + r.length > fileSize) return std::nullopt;
    return r;
  }
  return std::nullopt;
}

// A string of a Unicode or Windows record: UTF-16BE, a last odd byte
// dropped, ending at its first zero character.
std::string FromUtf16Be(std::string_view bytes) {
  std::u16string units;
  for (size_t i = 0; i + 2 <= bytes.size(); i += 2) {
    const char16_t u = Be16(bytes, i);
    if (u == 0) break;
    units.push_back(u);
  }
  return Utf16ToUtf8(units);  // an unpaired surrogate becomes U+FFFD
}

// A string of any other platform: one byte a character, taken as Latin-1.
std::string FromSingleByte(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    if (c == '\0') break;
    AppendUtf8(out, static_cast<unsigned char>(c));
  }
  return out;
}

// The full name in a naming table of which `table` holds the bytes that
// matter (FontName.h: its first kNamingTableReach bytes at least, or all).
std::string NameFromNamingTable(std::string_view table) {
  if (table.size() < kNamingHeaderSize) return {};
  const size_t count = Be16(table, 2);
  const size_t storage = Be16(table, 4);
  // A table whose records do not fit is damaged as a whole.
  if (kNamingHeaderSize + kNameRecordSize * count > table.size()) return {};
  std::string singleByte;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kNamingHeaderSize + kNameRecordSize * i;
    const uint16_t platform = Be16(table, at);
    const uint16_t language = Be16(table, at + 4);
    if (Be16(table, at + 6) != kFullNameId) continue;
    // Language 0 is the only language of a Unicode record and English on
    // a Macintosh; Windows numbers its languages, English in every region
    // ending in 0x09.
    if (language != 0 && !(platform == kPlatformWindows && (language & 0xFF) == kLangEnglish)) continue;
    const size_t length = Be16(table, at + 8);
    const size_t begin = storage + Be16(table, at + 10);
    if (begin + length > table.size()) continue;  // beyond the storage: this record is ignored
    const std::string_view bytes = table.substr(begin, length);
    const bool utf16 = platform == kPlatformUnicode || platform == kPlatformWindows;
    if (!utf16 && !singleByte.empty()) continue;
    // A registry value name holds no zero character, so a name ends at the
    // first one, and a name that is empty then is no name.
    std::string name = utf16 ? FromUtf16Be(bytes) : FromSingleByte(bytes);
    if (name.empty()) continue;
    if (utf16) return name;
    singleByte = std::move(name);
  }
  return singleByte;
}

// Reads exactly `size` bytes at `offset`.
bool ReadAt(IReadFile& file, uint64_t offset, char* out, size_t size) {
  if (!file.Seek(offset)) return false;
  size_t got = 0;
  while (got < size) {
    const size_t n = file.Read(out + got, size - got);
    if (n == 0) return false;
    got += n;
  }
  return true;
}

}  // namespace

std::string FontFullName(const std::string& fileBytes) {
  const std::string_view file(fileBytes);
  const std::optional<size_t> headerSize = HeaderSize(file);
  if (!headerSize || *headerSize > file.size()) return {};
  const std::optional<Range> name = FindNamingTable(file.substr(0, *headerSize), file.size());
  if (!name) return {};
  // Both lie within the file, so they fit a size_t.
  return NameFromNamingTable(file.substr(static_cast<size_t>(name->offset), static_cast<size_t>(name->length)));
}

std::string FontFullName(IReadFile& file) {
  // Sizes are checked against the file's size before anything is read, so
  // a damaged count costs no memory.
  const uint64_t fileSize = file.Size();
  std::string header(kOffsetTableSize, '\0');
  if (fileSize < header.size() || !ReadAt(file, 0, header.data(), header.size())) return {};
  const std::optional<size_t> headerSize = HeaderSize(header);
  if (!headerSize || *headerSize > fileSize) return {};
  header.resize(*headerSize);
  if (!ReadAt(file, kOffsetTableSize, header.data() + kOffsetTableSize, header.size() - kOffsetTableSize)) return {};
  const std::optional<Range> name = FindNamingTable(header, fileSize);
  if (!name) return {};
  // Nothing beyond the reach of the records and strings can change the
  // name, so a longer table is read only that far.
  std::string table(static_cast<size_t>(std::min<uint64_t>(name->length, kNamingTableReach)), '\0');
  if (!ReadAt(file, name->offset, table.data(), table.size())) return {};
  return NameFromNamingTable(table);
}

}  // namespace stw
