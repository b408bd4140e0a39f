#pragma once
#include <cstddef>
#include <cstdint>

namespace stw {
// CRC-32 (ISO-HDLC: reflected polynomial 0xEDB88320, initial value and final
// XOR all ones). `running` is the value returned for the previous block, 0
// to start, so a file can be fed in pieces.
uint32_t Crc32(const void* buffer, size_t length, uint32_t running);
}  // namespace stw
