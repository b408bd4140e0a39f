#include "builder/FrontImage.h"

#include <algorithm>

#include "base/Errors.h"
#include "package/Package.h"

namespace stw {

namespace {

// Offsets of the PE format (all little-endian).
constexpr size_t kDosHeaderSize = 64;
constexpr size_t kLfanewField = 60;  // e_lfanew in the DOS header
constexpr size_t kFileHeaderSize = 20;  // after the 4-byte signature
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kMagicPe32 = 0x10B, kMagicPe32Plus = 0x20B;
constexpr uint16_t kExecutableImage = 0x0002, kDll = 0x2000;
constexpr size_t kSizeOfHeadersField = 60, kCheckSumField = 64;  // in the optional header, both kinds
constexpr size_t kSecurityDirectory = 4;

const char* const kDirectoryNames[16] = {"export",       "import",     "resource",     "exception",
                                         "certificate",  "relocation", "debug",        "architecture",
                                         "global pointer", "TLS",      "load config",  "bound import",
                                         "import address", "delay import", "CLR runtime", "reserved"};

uint32_t U16(std::string_view b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}
uint32_t U32(std::string_view b, size_t at) { return U16(b, at) | U16(b, at + 2) << 16; }
void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

std::string Hex(uint64_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 15]);
    v >>= 4;
  } while (v);
  return "0x" + s;
}

[[noreturn]] void Refuse(const std::string& why) { throw ESetupException("The front program " + why + "."); }

}  // namespace

uint32_t FrontHeaderOffset() {
  return static_cast<uint32_t>((kLocatorOffset + kLocatorSize + 7) / 8 * 8);
}

FrontLayout CheckFrontImage(std::string_view b) {
  FrontLayout l;
  if (b.size() < kDosHeaderSize || b[0] != 'M' || b[1] != 'Z')
    Refuse("is not a Windows program: it does not begin with a DOS header (\"MZ\")");
  l.oldPeOffset = U32(b, kLfanewField);
  // The PE headers follow the DOS header; below 64 they would overlap it.
  if (l.oldPeOffset < kDosHeaderSize || l.oldPeOffset > b.size() || b.size() - l.oldPeOffset < 4 + kFileHeaderSize)
    Refuse("has e_lfanew " + std::to_string(l.oldPeOffset) + ", which does not point at PE headers inside its " +
           std::to_string(b.size()) + " bytes");
  const size_t pe = l.oldPeOffset;
  if (b.substr(pe, 4) != std::string_view("PE\0\0", 4))
    Refuse("is not a Windows program: no PE signature at offset " + std::to_string(pe) + " (e_lfanew)");
  const size_t fileHeader = pe + 4;
  const uint32_t sections = U16(b, fileHeader + 2);
  const uint32_t optSize = U16(b, fileHeader + 16);
  const uint32_t characteristics = U16(b, fileHeader + 18);
  const size_t opt = fileHeader + kFileHeaderSize;
  const size_t table = opt + optSize;
  const size_t end = table + static_cast<size_t>(sections) * kSectionHeaderSize;
  if (end > b.size())
    Refuse("has a header block (optional header of " + std::to_string(optSize) + " bytes, " +
           std::to_string(sections) + " sections) that runs past the end of the file");
  if (optSize < 2) Refuse("has no optional header");
  const uint32_t magic = U16(b, opt);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus)
    Refuse("has an optional header of unknown kind (magic " + Hex(magic) + ")");
  l.pe32Plus = magic == kMagicPe32Plus;
  const size_t directoriesAt = l.pe32Plus ? 112 : 96;  // NumberOfRvaAndSizes just before them
  if (optSize < directoriesAt)
    Refuse("has an optional header of " + std::to_string(optSize) + " bytes, too short for its kind");
  if (!(characteristics & kExecutableImage) || (characteristics & kDll))
    Refuse("is not an executable program (file header characteristics " + Hex(characteristics) + ")");

  l.headerBlockSize = static_cast<uint32_t>(end - pe);
  l.peOffset = FrontHeaderOffset();
  l.sizeOfHeaders = U32(b, opt + kSizeOfHeadersField);
  for (uint32_t i = 0; i < sections; ++i) {
    const size_t s = table + i * kSectionHeaderSize;
    const uint32_t rawSize = U32(b, s + 16), rawAt = U32(b, s + 20);
    if (rawSize != 0 && rawAt != 0 && (l.firstRawData == 0 || rawAt < l.firstRawData)) l.firstRawData = rawAt;
  }
  const uint64_t newEnd = static_cast<uint64_t>(l.peOffset) + l.headerBlockSize;
  const std::string block = std::to_string(l.headerBlockSize) + " bytes of headers moved behind the package locator";
  if (newEnd > l.sizeOfHeaders)
    Refuse("cannot take the package locator: its " + block + " would end at offset " + std::to_string(newEnd) +
           ", past its SizeOfHeaders (" + std::to_string(l.sizeOfHeaders) + ")");
  if (l.firstRawData != 0 && newEnd > l.firstRawData)
    Refuse("cannot take the package locator: its " + block + " would end at offset " + std::to_string(newEnd) +
           ", past the start of its first section's data (" + std::to_string(l.firstRawData) + ")");
  if (newEnd > b.size())
    Refuse("cannot take the package locator: its " + block + " would run past the end of its " +
           std::to_string(b.size()) + " bytes");
  // Behind the section table the header area is padding, unless a linker
  // put something there (bound imports do go there): moving the headers
  // over it would destroy it.
  for (uint64_t at = std::max<uint64_t>(end, l.peOffset); at < newEnd; ++at)
    if (b[at] != '\0')
      Refuse("cannot take the package locator: it keeps data at offset " + std::to_string(at) +
             ", right behind its section table, where the moved headers would go");

  const uint32_t declared = U32(b, opt + directoriesAt - 4);
  const uint32_t count = std::min<uint32_t>({declared, 16, static_cast<uint32_t>((optSize - directoriesAt) / 8)});
  for (uint32_t i = 0; i < count; ++i) {
    const size_t d = opt + directoriesAt + i * 8;
    const uint32_t rva = U32(b, d), size = U32(b, d + 4);
    if (size == 0) continue;
    // The certificate directory holds a file offset; whatever it says, a
    // signature does not survive changed headers and an appended package.
    if (i == kSecurityDirectory)
      Refuse("is signed: its signature would not survive the moved headers and the appended package; "
             "build with the unsigned front and sign the installer file afterwards");
    if (rva != 0 && rva < l.sizeOfHeaders)
      Refuse("cannot take the package locator: its " + std::string(kDirectoryNames[i]) + " directory lies in " +
             "its headers (RVA " + Hex(rva) + "), which moving them would damage");
  }
  return l;
}

std::string PlaceLocatorInFront(std::string image, std::string_view locator) {
  if (locator.size() != kLocatorSize)
    throw ESetupException("the package locator must have " + std::to_string(kLocatorSize) + " bytes");
  const FrontLayout l = CheckFrontImage(image);
  const std::string block = image.substr(l.oldPeOffset, l.headerBlockSize);
  // What the block leaves is cleared, so no stale copy of the headers (or
  // of the DOS stub's tail under the locator) remains to confuse a reader.
  std::fill_n(image.begin() + l.oldPeOffset, l.headerBlockSize, '\0');
  std::copy(block.begin(), block.end(), image.begin() + l.peOffset);
  Put32(image, kLfanewField, l.peOffset);
  Put32(image, l.peOffset + 4 + kFileHeaderSize + kCheckSumField, 0);
  std::copy(locator.begin(), locator.end(), image.begin() + kLocatorOffset);
  return image;
}

}  // namespace stw
