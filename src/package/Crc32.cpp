#include "package/Crc32.h"

#include <lzma.h>

namespace stw {
// liblzma's CRC-32 is the same ISO-HDLC checksum with the same running-value
// convention, and uses slicing tables: several times faster than a bytewise
// loop on the extraction path.
uint32_t Crc32(const void* buffer, size_t length, uint32_t running) {
  return lzma_crc32(static_cast<const uint8_t*>(buffer), length, running);
}
}  // namespace stw
