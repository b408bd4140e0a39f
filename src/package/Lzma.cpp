#include "package/Lzma.h"

#include <lzma.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/Errors.h"
#include "package/DataStream.h"

namespace stw {

namespace {

struct StreamGuard {
  lzma_stream s = LZMA_STREAM_INIT;
  ~StreamGuard() { lzma_end(&s); }
};

// Parses the property bytes into options; false when invalid.
bool DecodeProps(const LzmaProps& props, lzma_options_lzma& out) {
  if (props[0] >= 9 * 5 * 5) return false;
  const unsigned d = props[0];
  out = lzma_options_lzma{};
  out.lc = d % 9;
  out.lp = (d / 9) % 5;
  out.pb = d / 45;
  out.dict_size = LoadU32(props.data() + 1);
  return true;
}

const char* LzmaResultText(lzma_ret r) {
  switch (r) {
    case LZMA_DATA_ERROR:
      return "the compressed data are corrupt";
    case LZMA_BUF_ERROR:
      return "the compressed data end too early";
    case LZMA_MEM_ERROR:
      return "out of memory for the decoder";
    case LZMA_OPTIONS_ERROR:
      return "unsupported compression properties";
    default:
      return "the decoder failed";
  }
}

}  // namespace

std::string CheckLzmaProps(const LzmaProps& props) {
  lzma_options_lzma o;
  if (!DecodeProps(props, o)) return "invalid LZMA property byte " + std::to_string(props[0]);
  if (o.dict_size > kMaxLzmaDictionary)
    return "LZMA dictionary size " + std::to_string(o.dict_size) + " is larger than 1536 MiB";
  return {};
}

struct TLzmaDecoder::State {
  lzma_stream s = LZMA_STREAM_INIT;
  bool started = false;
  uint32_t dictSize = 0;  // of the decoder's dictionary, once started
  std::unique_ptr<uint8_t[]> in, out;
  size_t inSize = 0, outSize = 0;
  ~State() { lzma_end(&s); }
  // A buffer of at least n bytes, kept (uninitialised: every byte read
  // from it was written first) when it is already that large.
  static uint8_t* Reserve(std::unique_ptr<uint8_t[]>& b, size_t& have, size_t n) {
    if (have < n) {
      b.reset();
      b.reset(new uint8_t[n]);
      have = n;
    }
    return b.get();
  }
};

TLzmaDecoder::TLzmaDecoder() : state_(std::make_unique<State>()) {}
TLzmaDecoder::~TLzmaDecoder() = default;

void LzmaDecode(const LzmaProps& props, uint64_t inSize, uint64_t outSize, const ByteSource& in,
                const ByteSink& out) {
  TLzmaDecoder().Decode(props, inSize, outSize, in, out);
}

void TLzmaDecoder::Decode(const LzmaProps& props, uint64_t inSize, uint64_t outSize, const ByteSource& in,
                          const ByteSink& out) {
  State& st = *state_;
  lzma_options_lzma opt;
  const std::string bad = CheckLzmaProps(props);
  if (!bad.empty() || !DecodeProps(props, opt)) throw ESetupException(bad);
  // A dictionary larger than the whole output is never referenced beyond
  // the output; capping it gives identical results with bounded memory. A
  // dictionary larger than the data need decodes them alike, so the one
  // already allocated is kept when it suffices: liblzma reuses its
  // dictionary when it is started again with the same size.
  const uint32_t needed = static_cast<uint32_t>(
      std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(opt.dict_size, outSize)));
  opt.dict_size = std::max(needed, st.started ? st.dictSize : 0u);
  opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  opt.ext_size_low = static_cast<uint32_t>(outSize);
  opt.ext_size_high = static_cast<uint32_t>(outSize >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  // A decoder left in any state by an earlier call (an error, a throwing
  // sink) is started afresh here: lzma_raw_decoder resets all of it but
  // the allocations.
  st.started = false;
  lzma_ret r = lzma_raw_decoder(&st.s, filters);
  if (r != LZMA_OK) throw ESetupException(LzmaResultText(r));
  st.started = true;
  st.dictSize = opt.dict_size;
  lzma_stream& s = st.s;
  s.next_in = nullptr;
  s.avail_in = 0;

  // Large output chunks mean few writes per file; neither buffer needs to
  // exceed what it holds of the file.
  constexpr size_t kIn = 256 * 1024;
  const size_t kOut = static_cast<size_t>(std::min<uint64_t>(1 << 20, std::max<uint64_t>(outSize, 4096)));
  const size_t inBufSize = static_cast<size_t>(std::min<uint64_t>(kIn, std::max<uint64_t>(inSize, 1)));
  uint8_t* const inBuf = State::Reserve(st.in, st.inSize, inBufSize);
  uint8_t* const outBuf = State::Reserve(st.out, st.outSize, kOut);
  uint64_t inLeft = inSize;
  for (;;) {
    if (s.avail_in == 0 && inLeft > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(inBufSize, inLeft));
      const size_t got = in(inBuf, want);
      if (got == 0) throw ESetupException("the stored data end after " + std::to_string(inSize - inLeft) + " of " +
                                          std::to_string(inSize) + " bytes");
      s.next_in = inBuf;
      s.avail_in = got;
      inLeft -= got;
    }
    s.next_out = outBuf;
    s.avail_out = kOut;
    r = lzma_code(&s, (inLeft == 0) ? LZMA_FINISH : LZMA_RUN);
    const size_t produced = kOut - s.avail_out;
    if (produced) out(outBuf, produced);
    if (r == LZMA_STREAM_END) break;
    if (r != LZMA_OK)
      throw ESetupException(std::string(LzmaResultText(r)) + " (after " + std::to_string(s.total_out) + " of " +
                            std::to_string(outSize) + " bytes)");
  }
  if (s.total_out != outSize)
    throw ESetupException("the compressed data decode to " + std::to_string(s.total_out) + " bytes, not " +
                          std::to_string(outSize));
  if (s.avail_in != 0 || inLeft != 0)
    throw ESetupException("the compressed data end " + std::to_string(s.avail_in + inLeft) +
                          " bytes before their stored size");
}

LzmaProps LzmaEncoderProps(const LzmaEncoderOptions& o) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, o.preset);
  if (o.dictSize) opt.dict_size = o.dictSize;
  LzmaProps p{};
  p[0] = static_cast<uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
  p[1] = static_cast<uint8_t>(opt.dict_size);
  p[2] = static_cast<uint8_t>(opt.dict_size >> 8);
  p[3] = static_cast<uint8_t>(opt.dict_size >> 16);
  p[4] = static_cast<uint8_t>(opt.dict_size >> 24);
  return p;
}

void LzmaEncode(const LzmaEncoderOptions& o, const ByteSource& in, const ByteSink& out) {
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, o.preset)) throw ESetupException("invalid LZMA preset " + std::to_string(o.preset));
  if (o.dictSize) opt.dict_size = o.dictSize;
  opt.ext_flags = o.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  opt.ext_size_low = UINT32_MAX;
  opt.ext_size_high = UINT32_MAX;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  StreamGuard g;
  lzma_ret r = lzma_raw_encoder(&g.s, filters);
  if (r != LZMA_OK) throw ESetupException("cannot start the LZMA encoder: " + std::string(LzmaResultText(r)));
  constexpr size_t kIn = 256 * 1024, kOut = 256 * 1024;
  std::vector<uint8_t> inBuf(kIn), outBuf(kOut);
  bool eof = false;
  for (;;) {
    if (g.s.avail_in == 0 && !eof) {
      const size_t got = in(inBuf.data(), kIn);
      if (got == 0) eof = true;
      g.s.next_in = inBuf.data();
      g.s.avail_in = got;
    }
    g.s.next_out = outBuf.data();
    g.s.avail_out = kOut;
    r = lzma_code(&g.s, eof ? LZMA_FINISH : LZMA_RUN);
    if (kOut - g.s.avail_out) out(outBuf.data(), kOut - g.s.avail_out);
    if (r == LZMA_STREAM_END) break;
    if (r != LZMA_OK) throw ESetupException("the LZMA encoder failed: " + std::string(LzmaResultText(r)));
  }
}

std::string LzmaEncodeBuffer(const LzmaEncoderOptions& opt, const std::string& data) {
  std::string result;
  size_t pos = 0;
  LzmaEncode(
      opt,
      [&](uint8_t* buf, size_t n) {
        const size_t k = std::min(n, data.size() - pos);
        std::copy_n(data.data() + pos, k, reinterpret_cast<char*>(buf));
        pos += k;
        return k;
      },
      [&](const uint8_t* d, size_t n) { result.append(reinterpret_cast<const char*>(d), n); });
  return result;
}

}  // namespace stw
