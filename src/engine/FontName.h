// The full name of a TrueType font, read from the font file itself: Windows
// lists an installed font in the registry under its full name ("DejaVu
// Sans (TrueType)"), and the setup writes that value for the fonts it
// installs. The file comes from the package, so every field is checked
// against the bytes that are really there; a damaged font yields no name,
// never a crash or a large allocation.
#pragma once
#include <cstddef>
#include <string>

#include "platform/Platform.h"

namespace stw {

// The English full name (name ID 4) of a font file of version 1.0, in
// UTF-8; "" when the file is of another kind (an OpenType font with CFF
// outlines, a collection) or has no usable name. A name from a Unicode or
// Windows record wins over one from a single-byte record; a name ends at
// its first zero character.
std::string FontFullName(const std::string& fileBytes);

// The same, read from a file: only the offset table, the table directory
// and the naming table are read, never the rest of the file, and at most
// kMaxFontNameRead bytes in all.
std::string FontFullName(IReadFile& file);

// The directory holds at most 65535 records of 16 bytes; everything a
// naming table can point at lies within its first 786426 bytes (6 + 12 *
// 65535 for the records; each string is at most 3 * 65535 bytes in).
inline constexpr size_t kMaxFontNameRead = 12 + 16 * 65535 + 6 + 12 * 65535;

}  // namespace stw
