#include "platform/FixedFileInfo.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace stw {
namespace {

// "VS_VERSION_INFO" with its terminating zero, in UTF-16LE, as a version
// resource stores its key.
constexpr char kKey[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0";
constexpr size_t kKeySize = sizeof kKey - 1;  // 32: the literal's own zero is not part of it
static_assert(kKeySize == 32);
// The fixed information starts on the next 32-bit boundary after the key,
// so up to three zero bytes of padding may sit between them.
constexpr size_t kMaxPadding = 3;
// The signature as it stands in the file (little-endian).
constexpr char kSignature[] = {static_cast<char>(kFixedFileInfoSignature & 0xFF),
                               static_cast<char>((kFixedFileInfoSignature >> 8) & 0xFF),
                               static_cast<char>((kFixedFileInfoSignature >> 16) & 0xFF),
                               static_cast<char>(kFixedFileInfoSignature >> 24)};

uint32_t Le32At(std::string_view s, size_t at) {
  unsigned char b[4];
  std::memcpy(b, s.data() + at, 4);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

bool FollowsKey(std::string_view w, size_t at) {
  for (size_t pad = 0; pad <= kMaxPadding; ++pad) {
    if (at < kKeySize + pad) return false;
    if (pad > 0 && w[at - pad] != '\0') return false;  // padding is zeros
    if (std::memcmp(w.data() + at - pad - kKeySize, kKey, kKeySize) == 0) return true;
  }
  return false;
}

// Examines every signature in `w` at or after `from` whose whole structure
// lies inside `w`. Returns the version of the first one that follows the
// key; records the first bare one in `bare`. `examinedUpTo` receives the
// first position not yet examined (a later window must look from there).
std::optional<uint64_t> ScanWindow(std::string_view w, size_t from, std::optional<uint64_t>& bare,
                                   size_t& examinedUpTo) {
  const std::string_view sig(kSignature, sizeof kSignature);
  examinedUpTo = w.size() >= kFixedFileInfoSize ? std::max(from, w.size() - kFixedFileInfoSize + 1) : from;
  for (size_t p = w.find(sig, from); p != std::string_view::npos && p + kFixedFileInfoSize <= w.size();
       p = w.find(sig, p + 1)) {
    const uint64_t version = static_cast<uint64_t>(Le32At(w, p + 8)) << 32 | Le32At(w, p + 12);
    if (FollowsKey(w, p)) return version;
    if (!bare) bare = version;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> ScanFixedFileVersion(std::string_view bytes) {
  std::optional<uint64_t> bare;
  size_t examined = 0;
  if (auto keyed = ScanWindow(bytes, 0, bare, examined)) return keyed;
  return bare;
}

std::optional<uint64_t> ScanFixedFileVersion(IReadFile& file) {
  // Each window keeps the tail of the previous one: a structure that did not
  // fit is examined again whole, with the key and padding before it.
  constexpr size_t kCarry = kFixedFileInfoSize + kKeySize + kMaxPadding + 16;
  if (!file.Seek(0)) return std::nullopt;
  std::string window;
  std::string chunk(kVersionScanChunk, '\0');
  uint64_t windowStart = 0;  // file offset of window[0]
  uint64_t next = 0;  // file offset of the first position not examined
  std::optional<uint64_t> bare;
  for (;;) {
    const size_t got = file.Read(chunk.data(), chunk.size());
    if (got == 0) break;
    window.append(chunk.data(), got);
    size_t examined = 0;
    if (auto keyed = ScanWindow(window, static_cast<size_t>(next - windowStart), bare, examined)) return keyed;
    next = windowStart + examined;
    if (window.size() > kCarry) {
      const size_t drop = window.size() - kCarry;
      window.erase(0, drop);
      windowStart += drop;
    }
  }
  return bare;
}

}  // namespace stw
