// rawdecode: the single-threaded reference for the install benchmark.
//   rawdecode LIST REPEATS
// LIST has lines "ORIGINAL<TAB>COMPRESSED": COMPRESSED is the original
// compressed on its own by `xz --format=raw --lzma1=preset=6,dict=8MiB`.
// Like the package, a file whose compressed form is not smaller than the
// original counts as stored: its "decoding" is a copy. All inputs are read
// into memory first; then, REPEATS times, every file is decoded in one
// thread with liblzma's raw LZMA1 decoder into a reused 256 KiB output
// buffer (as the runtime does), and each pass is timed. Prints the best and
// the median pass in seconds, and checks the decoded sizes.
#include <lzma.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::cerr << "rawdecode: cannot read " << path << "\n";
    std::exit(1);
  }
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

struct Item {
  size_t size = 0;           // the original's size
  std::string data;          // compressed bytes, or the original when stored
  bool stored = false;
};

uint64_t Decode(const Item& it, std::vector<uint8_t>& out) {
  if (it.stored) {
    uint64_t n = 0;
    for (size_t pos = 0; pos < it.data.size(); pos += out.size()) {
      const size_t k = std::min(out.size(), it.data.size() - pos);
      std::memcpy(out.data(), it.data.data() + pos, k);
      n += k;
    }
    return n;
  }
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 6);
  opt.dict_size = 8u << 20;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&s, filters) != LZMA_OK) std::exit(1);
  s.next_in = reinterpret_cast<const uint8_t*>(it.data.data());
  s.avail_in = it.data.size();
  lzma_ret r;
  do {
    s.next_out = out.data();
    s.avail_out = out.size();
    r = lzma_code(&s, LZMA_FINISH);
  } while (r == LZMA_OK);
  const uint64_t n = s.total_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END) {
    std::cerr << "rawdecode: decoder error " << r << "\n";
    std::exit(1);
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: rawdecode LIST REPEATS\n";
    return 2;
  }
  std::vector<Item> items;
  std::ifstream list(argv[1]);
  uint64_t total = 0, storedCount = 0, packed = 0;
  for (std::string line; std::getline(list, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    Item it;
    std::string original = ReadAll(line.substr(0, tab));
    std::string compressed = ReadAll(line.substr(tab + 1));
    it.size = original.size();
    it.stored = compressed.size() >= original.size();
    it.data = it.stored ? std::move(original) : std::move(compressed);
    storedCount += it.stored;
    total += it.size;
    packed += it.data.size();
    items.push_back(std::move(it));
  }
  std::vector<uint8_t> out(256 * 1024);
  std::vector<double> passes;
  const int repeats = std::max(1, std::atoi(argv[2]));
  for (int rep = 0; rep < repeats; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t n = 0;
    for (const Item& it : items) {
      const uint64_t got = Decode(it, out);
      if (got != it.size) {
        std::cerr << "rawdecode: a file decodes to " << got << " bytes, not " << it.size << "\n";
        return 1;
      }
      n += got;
    }
    passes.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (n != total) return 1;
  }
  std::sort(passes.begin(), passes.end());
  std::printf("files=%zu stored=%llu bytes=%llu packed=%llu best=%.3f median=%.3f\n", items.size(),
              static_cast<unsigned long long>(storedCount), static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(packed), passes.front(), passes[passes.size() / 2]);
  return 0;
}
