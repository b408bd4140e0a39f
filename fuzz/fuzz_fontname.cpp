// Fuzzer of the font name reader: the input is a font file, as it comes
// from a package. Its full name is read from the bytes and again through a
// file reader, which hands out its data in small pieces.
//
// Anything but a return - a crash, a sanitizer report, an exception, a
// leak, a hang, an allocation beyond the limit - is a bug, and so is a
// broken promise:
//   - both ways of reading find the same name, and the reader reads no
//     more than the offset table, the directory and the naming table's
//     reach;
//   - the name is valid UTF-8 without a zero character, at most two bytes
//     for each byte of the input (a Latin-1 character above 0x7F);
//   - only a font of version 1.0 has a name;
//   - the file cut short by its last byte has the same name or none: a
//     name comes only from bytes that are all there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/Text.h"
#include "engine/FontName.h"
#include "platform/Platform.h"

using namespace stw;

namespace {

[[noreturn]] void Broken(const char* what, const std::string& name) {
  std::fprintf(stderr, "broken promise of the font name reader: %s (name \"%s\")\n", what, name.c_str());
  std::fflush(stderr);
  std::abort();
}

#define STW_EXPECT(cond, name)        \
  do {                                \
    if (!(cond)) Broken(#cond, name); \
  } while (0)

// The input itself, never copied, so a read past its end is caught; a
// read returns at most `piece` bytes, as a file on a network share may.
class BorrowedReadFile : public IReadFile {
 public:
  BorrowedReadFile(const uint8_t* data, size_t size, size_t piece) : data_(data), size_(size), piece_(piece) {}
  size_t Read(void* buffer, size_t n) override {
    const size_t got = std::min({n, piece_, size_ - pos_});
    if (got > 0) std::memcpy(buffer, data_ + pos_, got);
    pos_ += got;
    bytesRead += got;
    return got;
  }
  bool Seek(uint64_t offset) override {
    if (offset > size_) return false;
    pos_ = static_cast<size_t>(offset);
    return true;
  }
  uint64_t Position() const override { return pos_; }
  uint64_t Size() const override { return size_; }
  uint64_t bytesRead = 0;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t piece_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string name = FontFullName(bytes);

  BorrowedReadFile file(data, size, 1 + size % 61);
  STW_EXPECT(FontFullName(file) == name, name);
  STW_EXPECT(file.bytesRead <= kMaxFontNameRead, name);

  STW_EXPECT(Utf16ToUtf8(Utf8ToUtf16(name)) == name, name);
  STW_EXPECT(name.find('\0') == std::string::npos, name);
  STW_EXPECT(name.size() <= 2 * size, name);
  if (!name.empty()) STW_EXPECT(size >= 4 && std::memcmp(data, "\x00\x01\x00\x00", 4) == 0, name);

  if (size > 0) {
    const std::string shorter = FontFullName(bytes.substr(0, size - 1));
    STW_EXPECT(shorter.empty() || shorter == name, name);
  }
  return 0;
}
