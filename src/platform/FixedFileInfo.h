// Reading a file's version without the operating system: the fixed part of
// a version resource (VS_FIXEDFILEINFO) begins with a signature that does
// not occur in ordinary data, and the file version follows it at a fixed
// place. The simulated machine reads versions this way, and the Windows
// tests check it against what the system's version library reports.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/Platform.h"

namespace stw {

inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;
// The whole structure: signature, structure version, file version (MS,
// LS), product version (MS, LS), flags mask, flags, OS, type, subtype and
// date (MS, LS), thirteen little-endian 32-bit words.
inline constexpr size_t kFixedFileInfoSize = 52;
// Bytes read at a time when scanning a file.
inline constexpr size_t kVersionScanChunk = 64 * 1024;

// The file version (dwFileVersionMS in the high 32 bits, dwFileVersionLS in
// the low) of the fixed file information in `bytes`; nullopt when there is
// no complete one. A block that follows the key "VS_VERSION_INFO" of a
// version resource wins over an earlier bare signature: code that checks
// for the signature, a version reader's own for one, holds the same four
// bytes as an immediate operand.
std::optional<uint64_t> ScanFixedFileVersion(std::string_view bytes);

// The same over a whole file, read from its start in chunks of
// kVersionScanChunk bytes, so the size of the file costs time but never
// memory. The file's position is left wherever the scan stopped.
std::optional<uint64_t> ScanFixedFileVersion(IReadFile& file);

}  // namespace stw
