// Raw LZMA1 (no container) through liblzma, with the five property bytes of
// the package header. Used by the reader (decode) and the builder (encode).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace stw {

using LzmaProps = std::array<uint8_t, 5>;

// Largest dictionary a package may declare. The format allows 4 GiB, but no
// encoder writes more than 1.5 GiB and the reader must not allocate without
// bound on a damaged header.
constexpr uint32_t kMaxLzmaDictionary = 1536u << 20;

// Checks lc/lp/pb and the dictionary size; returns "" when valid, or what
// is wrong.
std::string CheckLzmaProps(const LzmaProps& props);

// Reads up to n bytes into buf; returns the count (0 = no more input).
using ByteSource = std::function<size_t(uint8_t* buf, size_t n)>;
// Receives decoded or encoded bytes in order.
using ByteSink = std::function<void(const uint8_t* data, size_t n)>;

// Decodes exactly `outSize` bytes from exactly `inSize` stored bytes. The
// stream may end with or without an end marker. Throws ESetupException
// with a precise reason (corrupt data, too short, trailing bytes) on any
// other outcome. The dictionary is never larger than the output needs, so
// memory is bounded by min(dictionary, outSize).
void LzmaDecode(const LzmaProps& props, uint64_t inSize, uint64_t outSize, const ByteSource& in,
                const ByteSink& out);

// The same decoding with state kept from one call to the next: the
// dictionary and both buffers are allocated once and reused, the dictionary
// grown only when a longer output needs more of it (never beyond the
// properties' size). A thread that decodes file after file then allocates,
// and has the system hand it fresh zeroed pages, once instead of for every
// file. One decoder belongs to one thread at a time.
class TLzmaDecoder {
 public:
  TLzmaDecoder();
  ~TLzmaDecoder();
  TLzmaDecoder(const TLzmaDecoder&) = delete;
  TLzmaDecoder& operator=(const TLzmaDecoder&) = delete;
  void Decode(const LzmaProps& props, uint64_t inSize, uint64_t outSize, const ByteSource& in, const ByteSink& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct LzmaEncoderOptions {
  uint32_t preset = 6;
  uint32_t dictSize = 8u << 20;  // 0 = the preset's own
  bool endMarker = false;  // the reader accepts both; without saves bytes
};

// Property bytes that the encoder with these options produces.
LzmaProps LzmaEncoderProps(const LzmaEncoderOptions& opt);

// Encodes everything `in` yields.
void LzmaEncode(const LzmaEncoderOptions& opt, const ByteSource& in, const ByteSink& out);
std::string LzmaEncodeBuffer(const LzmaEncoderOptions& opt, const std::string& data);

}  // namespace stw
