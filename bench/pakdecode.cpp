// pakdecode: the single-threaded decoding of a package's file data, the
// lower bound of an install that bench/wine.sh compares the setup with.
//   pakdecode PACKAGE RANGES REPEATS
// RANGES: first line the package's five LZMA property bytes in hex (as
// `pakbuild inspect` prints LzmaProperties), then one line per data index
// that has data, "OFFSET STORED SIZE CRC32" (offset in the installer file,
// stored and original size in bytes, CRC-32 in hex). The whole package is
// read into memory first. One untimed pass decodes every range and checks
// its size and CRC-32 (so a wrong range list cannot pass as fast); then
// REPEATS timed passes decode every range in one thread, the way the
// runtime does (raw LZMA1 with the known size, the dictionary capped at the
// output's size, one decoder kept from range to range so that its
// dictionary is allocated once, grown only for a longer output; a reused
// output buffer of up to 1 MiB; a range whose stored size equals its size
// is copied), writing nothing. Prints the
// counts and the best and median pass in seconds.
// Builds for the host (g++ -O2 -std=c++20 pakdecode.cpp -llzma) and for
// Windows (MinGW-w64, static liblzma), so the same work can be timed under
// wine64 as natively.
#include <lzma.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Range {
  uint64_t offset = 0, stored = 0, size = 0;
  uint32_t crc = 0;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "pakdecode: %s\n", what.c_str());
  std::exit(1);
}

std::string ReadAll(const char* path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) Fail(std::string("cannot read ") + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Decodes one range into `out` chunk by chunk; returns the CRC-32 of the
// output when `crc` is set (else 0) and the count in `produced`.
// The decoder kept across ranges, and the dictionary size it was last
// started with (liblzma keeps its allocation when started with the same).
lzma_stream kept = LZMA_STREAM_INIT;
uint32_t keptDict = 0;

uint32_t Decode(const uint8_t* props, const uint8_t* in, const Range& r, std::vector<uint8_t>& out, bool crc,
                uint64_t& produced) {
  uint32_t sum = 0;
  produced = 0;
  if (r.stored == r.size) {
    for (uint64_t pos = 0; pos < r.size; pos += out.size()) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(out.size(), r.size - pos));
      std::memcpy(out.data(), in + pos, k);
      if (crc) sum = lzma_crc32(out.data(), k, sum);
      produced += k;
    }
    return sum;
  }
  lzma_options_lzma opt{};
  const unsigned d = props[0];
  opt.lc = d % 9;
  opt.lp = (d / 9) % 5;
  opt.pb = d / 45;
  uint32_t dict;
  std::memcpy(&dict, props + 1, 4);
  opt.dict_size = std::max(keptDict, static_cast<uint32_t>(std::max<uint64_t>(LZMA_DICT_SIZE_MIN,
                                                                               std::min<uint64_t>(dict, r.size))));
  keptDict = opt.dict_size;
  opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  opt.ext_size_low = static_cast<uint32_t>(r.size);
  opt.ext_size_high = static_cast<uint32_t>(r.size >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream& s = kept;
  if (lzma_raw_decoder(&s, filters) != LZMA_OK) Fail("cannot start the decoder");
  s.next_in = in;
  s.avail_in = static_cast<size_t>(r.stored);
  const size_t chunk = static_cast<size_t>(std::min<uint64_t>(out.size(), std::max<uint64_t>(r.size, 4096)));
  lzma_ret ret;
  do {
    s.next_out = out.data();
    s.avail_out = chunk;
    ret = lzma_code(&s, LZMA_FINISH);
    if (crc) sum = lzma_crc32(out.data(), chunk - s.avail_out, sum);
  } while (ret == LZMA_OK);
  produced = s.total_out;
  const bool rest = s.avail_in != 0;
  if (ret != LZMA_STREAM_END) Fail("decoder error " + std::to_string(ret) + " at offset " + std::to_string(r.offset));
  if (rest) Fail("stored bytes left over at offset " + std::to_string(r.offset));
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: pakdecode PACKAGE RANGES REPEATS\n");
    return 2;
  }
  const std::string pkg = ReadAll(argv[1]);
  std::ifstream list(argv[2]);
  std::string hex;
  if (!(list >> hex) || hex.size() != 10) Fail("the first line of the ranges must hold 5 property bytes in hex");
  uint8_t props[5];
  for (int i = 0; i < 5; ++i) props[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  std::vector<Range> ranges;
  uint64_t total = 0, packed = 0, storedCount = 0;
  for (Range r; list >> r.offset >> r.stored >> r.size >> hex;) {
    r.crc = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
    if (r.offset > pkg.size() || r.stored > pkg.size() - r.offset) Fail("a range runs past the package's end");
    ranges.push_back(r);
    total += r.size;
    packed += r.stored;
    storedCount += r.stored == r.size;
  }
  if (ranges.empty()) Fail("no ranges");
  const auto* base = reinterpret_cast<const uint8_t*>(pkg.data());
  std::vector<uint8_t> out(1 << 20);
  for (const Range& r : ranges) {
    uint64_t n;
    const uint32_t sum = Decode(props, base + r.offset, r, out, true, n);
    if (n != r.size) Fail("the range at " + std::to_string(r.offset) + " decodes to " + std::to_string(n) + " bytes");
    if (sum != r.crc) Fail("the range at " + std::to_string(r.offset) + " fails its CRC-32");
  }
  std::vector<double> passes;
  const int repeats = std::max(1, std::atoi(argv[3]));
  for (int rep = 0; rep < repeats; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t all = 0;
    for (const Range& r : ranges) {
      uint64_t n;
      Decode(props, base + r.offset, r, out, false, n);
      all += n;
    }
    passes.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (all != total) Fail("a pass decoded a different total");
  }
  std::sort(passes.begin(), passes.end());
  std::printf("ranges=%zu stored=%llu bytes=%llu packed=%llu best=%.3f median=%.3f\n", ranges.size(),
              static_cast<unsigned long long>(storedCount), static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(packed), passes.front(), passes[passes.size() / 2]);
  return 0;
}
