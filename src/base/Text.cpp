#include "base/Text.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace stw {

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  auto cont = [&](size_t k) { return k < n && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80; };
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) {
      cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF && cont(i + 1) && cont(i + 2)) {
      cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
      if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD;
      len = 4;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // unpaired surrogate
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string AsciiLower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::string AsciiUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool EndsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

std::string FormatPattern(std::string_view pat, const std::vector<FormatArg>& args) {
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < pat.size()) {
    if (pat[i] != '%') {
      out.push_back(pat[i++]);
      continue;
    }
    if (i + 1 < pat.size() && pat[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    // %[index:][-][width][.prec]type
    size_t j = i + 1;
    size_t idx = next;
    size_t numStart = j;
    while (j < pat.size() && pat[j] >= '0' && pat[j] <= '9') ++j;
    if (j < pat.size() && pat[j] == ':' && j > numStart) {
      idx = std::stoul(std::string(pat.substr(numStart, std::min<size_t>(j - numStart, 6))));
      ++j;
    } else {
      j = numStart;
    }
    bool left = false;
    if (j < pat.size() && pat[j] == '-') left = true, ++j;
    size_t width = 0;
    while (j < pat.size() && pat[j] >= '0' && pat[j] <= '9' && width < 1000) width = width * 10 + (pat[j++] - '0');
    int prec = -1;
    if (j < pat.size() && pat[j] == '.') {
      ++j;
      prec = 0;
      while (j < pat.size() && pat[j] >= '0' && pat[j] <= '9' && prec < 100) prec = prec * 10 + (pat[j++] - '0');
    }
    if (j >= pat.size()) {
      out.append(pat.substr(i));
      break;
    }
    const char type = static_cast<char>(pat[j] | 0x20);
    std::string piece;
    bool known = true;
    const FormatArg* a = idx < args.size() ? &args[idx] : nullptr;
    switch (type) {
      case 's':
        if (a) piece = a->text;
        if (a && prec >= 0 && piece.size() > static_cast<size_t>(prec)) piece.resize(prec);
        break;
      case 'd':
      case 'u':
        if (a) piece = a->text;
        break;
      case 'x':
        if (a) {
          char buf[32];
          std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(a->number));
          piece = buf;
        }
        break;
      case 'f':
      case 'n':
        if (a) {
          char buf[64];
          std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : prec, static_cast<double>(a->number));
          piece = buf;
        }
        break;
      default:
        known = false;
    }
    if (!known) {
      out.append(pat.substr(i, j + 1 - i));
      i = j + 1;
      continue;
    }
    if (piece.size() < width) {
      std::string pad(width - piece.size(), ' ');
      piece = left ? piece + pad : pad + piece;
    }
    out += piece;
    next = idx + 1;
    i = j + 1;
  }
  return out;
}

static size_t LastSeparator(std::string_view p) {
  const size_t a = p.find_last_of("\\/");
  return a;
}

std::string ExtractFileName(std::string_view path) {
  const size_t s = LastSeparator(path);
  return std::string(s == std::string_view::npos ? path : path.substr(s + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const size_t s = LastSeparator(path);
  return s == std::string_view::npos ? std::string() : std::string(path.substr(0, s + 1));
}

std::string ExtractFileDir(std::string_view path) {
  const size_t s = LastSeparator(path);
  return s == std::string_view::npos ? std::string() : std::string(path.substr(0, s));
}

static size_t ExtPos(std::string_view path) {
  const size_t s = LastSeparator(path);
  const size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (s != std::string_view::npos && dot < s)) return path.size();
  return dot;
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  return std::string(path.substr(0, ExtPos(path))) + std::string(ext);
}

std::string InsertBeforeExt(std::string_view path, std::string_view insert) {
  const size_t p = ExtPos(path);
  return std::string(path.substr(0, p)) + std::string(insert) + std::string(path.substr(p));
}

std::string HexU32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

// ---------------------------------------------------------------- letter case

namespace {

// Runs of the simple case mappings of Unicode 14 (UnicodeData.txt) in the
// blocks named in Text.h: every `stride`-th unit from `first` to `last`
// maps to itself plus `delta`. Sorted and disjoint. As in Windows' table, a
// letter maps only when it is the other case of what it maps to: the micro
// sign, the final sigma, the Greek symbol forms (ϐ, ϑ, ...), the titlecase
// digraphs (ǅ) and the long s keep their case, and nothing maps into ASCII.
struct CaseRun {
  char16_t first, last;
  uint8_t stride;
  int32_t delta;
};

constexpr CaseRun kToUpper[] = {
{0x00E0, 0x00F6, 1, -32}, {0x00F8, 0x00FE, 1, -32}, {0x00FF, 0x00FF, 1, 121}, {0x0101, 0x012F, 2, -1},
    {0x0133, 0x0137, 2, -1}, {0x013A, 0x0148, 2, -1}, {0x014B, 0x0177, 2, -1}, {0x017A, 0x017E, 2, -1},
    {0x0180, 0x0180, 1, 195}, {0x0183, 0x0185, 2, -1}, {0x0188, 0x0188, 1, -1}, {0x018C, 0x018C, 1, -1},
    {0x0192, 0x0192, 1, -1}, {0x0195, 0x0195, 1, 97}, {0x0199, 0x0199, 1, -1}, {0x019A, 0x019A, 1, 163},
    {0x019E, 0x019E, 1, 130}, {0x01A1, 0x01A5, 2, -1}, {0x01A8, 0x01A8, 1, -1}, {0x01AD, 0x01AD, 1, -1},
    {0x01B0, 0x01B0, 1, -1}, {0x01B4, 0x01B6, 2, -1}, {0x01B9, 0x01B9, 1, -1}, {0x01BD, 0x01BD, 1, -1},
    {0x01BF, 0x01BF, 1, 56}, {0x01C6, 0x01C6, 1, -2}, {0x01C9, 0x01C9, 1, -2}, {0x01CC, 0x01CC, 1, -2},
    {0x01CE, 0x01DC, 2, -1}, {0x01DD, 0x01DD, 1, -79}, {0x01DF, 0x01EF, 2, -1}, {0x01F3, 0x01F3, 1, -2},
    {0x01F5, 0x01F5, 1, -1}, {0x01F9, 0x021F, 2, -1}, {0x0223, 0x0233, 2, -1}, {0x023C, 0x023C, 1, -1},
    {0x023F, 0x0240, 1, 10815}, {0x0242, 0x0242, 1, -1}, {0x0247, 0x024F, 2, -1}, {0x0250, 0x0250, 1, 10783},
    {0x0251, 0x0251, 1, 10780}, {0x0252, 0x0252, 1, 10782}, {0x0253, 0x0253, 1, -210}, {0x0254, 0x0254, 1, -206},
    {0x0256, 0x0257, 1, -205}, {0x0259, 0x0259, 1, -202}, {0x025B, 0x025B, 1, -203}, {0x025C, 0x025C, 1, 42319},
    {0x0260, 0x0260, 1, -205}, {0x0261, 0x0261, 1, 42315}, {0x0263, 0x0263, 1, -207}, {0x0265, 0x0265, 1, 42280},
    {0x0266, 0x0266, 1, 42308}, {0x0268, 0x0268, 1, -209}, {0x0269, 0x0269, 1, -211}, {0x026A, 0x026A, 1, 42308},
    {0x026B, 0x026B, 1, 10743}, {0x026C, 0x026C, 1, 42305}, {0x026F, 0x026F, 1, -211}, {0x0271, 0x0271, 1, 10749},
    {0x0272, 0x0272, 1, -213}, {0x0275, 0x0275, 1, -214}, {0x027D, 0x027D, 1, 10727}, {0x0280, 0x0280, 1, -218},
    {0x0282, 0x0282, 1, 42307}, {0x0283, 0x0283, 1, -218}, {0x0287, 0x0287, 1, 42282}, {0x0288, 0x0288, 1, -218},
    {0x0289, 0x0289, 1, -69}, {0x028A, 0x028B, 1, -217}, {0x028C, 0x028C, 1, -71}, {0x0292, 0x0292, 1, -219},
    {0x029D, 0x029D, 1, 42261}, {0x029E, 0x029E, 1, 42258}, {0x0371, 0x0373, 2, -1}, {0x0377, 0x0377, 1, -1},
    {0x037B, 0x037D, 1, 130}, {0x03AC, 0x03AC, 1, -38}, {0x03AD, 0x03AF, 1, -37}, {0x03B1, 0x03C1, 1, -32},
    {0x03C3, 0x03CB, 1, -32}, {0x03CC, 0x03CC, 1, -64}, {0x03CD, 0x03CE, 1, -63}, {0x03D7, 0x03D7, 1, -8},
    {0x03D9, 0x03EF, 2, -1}, {0x03F2, 0x03F2, 1, 7}, {0x03F3, 0x03F3, 1, -116}, {0x03F8, 0x03F8, 1, -1},
    {0x03FB, 0x03FB, 1, -1}, {0x0430, 0x044F, 1, -32}, {0x0450, 0x045F, 1, -80}, {0x0461, 0x0481, 2, -1},
    {0x048B, 0x04BF, 2, -1}, {0x04C2, 0x04CE, 2, -1}, {0x04CF, 0x04CF, 1, -15}, {0x04D1, 0x052F, 2, -1},
    {0x0561, 0x0586, 1, -48}, {0x1E01, 0x1E95, 2, -1}, {0x1EA1, 0x1EFF, 2, -1}, {0xFF41, 0xFF5A, 1, -32},
};

constexpr CaseRun kToLower[] = {
    {0x00C0, 0x00D6, 1, 32}, {0x00D8, 0x00DE, 1, 32}, {0x0100, 0x012E, 2, 1}, {0x0132, 0x0136, 2, 1},
    {0x0139, 0x0147, 2, 1}, {0x014A, 0x0176, 2, 1}, {0x0178, 0x0178, 1, -121}, {0x0179, 0x017D, 2, 1},
    {0x0181, 0x0181, 1, 210}, {0x0182, 0x0184, 2, 1}, {0x0186, 0x0186, 1, 206}, {0x0187, 0x0187, 1, 1},
    {0x0189, 0x018A, 1, 205}, {0x018B, 0x018B, 1, 1}, {0x018E, 0x018E, 1, 79}, {0x018F, 0x018F, 1, 202},
    {0x0190, 0x0190, 1, 203}, {0x0191, 0x0191, 1, 1}, {0x0193, 0x0193, 1, 205}, {0x0194, 0x0194, 1, 207},
    {0x0196, 0x0196, 1, 211}, {0x0197, 0x0197, 1, 209}, {0x0198, 0x0198, 1, 1}, {0x019C, 0x019C, 1, 211},
    {0x019D, 0x019D, 1, 213}, {0x019F, 0x019F, 1, 214}, {0x01A0, 0x01A4, 2, 1}, {0x01A6, 0x01A6, 1, 218},
    {0x01A7, 0x01A7, 1, 1}, {0x01A9, 0x01A9, 1, 218}, {0x01AC, 0x01AC, 1, 1}, {0x01AE, 0x01AE, 1, 218},
    {0x01AF, 0x01AF, 1, 1}, {0x01B1, 0x01B2, 1, 217}, {0x01B3, 0x01B5, 2, 1}, {0x01B7, 0x01B7, 1, 219},
    {0x01B8, 0x01B8, 1, 1}, {0x01BC, 0x01BC, 1, 1}, {0x01C4, 0x01C4, 1, 2}, {0x01C7, 0x01C7, 1, 2},
    {0x01CA, 0x01CA, 1, 2}, {0x01CD, 0x01DB, 2, 1}, {0x01DE, 0x01EE, 2, 1}, {0x01F1, 0x01F1, 1, 2},
    {0x01F4, 0x01F4, 1, 1}, {0x01F6, 0x01F6, 1, -97}, {0x01F7, 0x01F7, 1, -56}, {0x01F8, 0x021E, 2, 1},
    {0x0220, 0x0220, 1, -130}, {0x0222, 0x0232, 2, 1}, {0x023A, 0x023A, 1, 10795}, {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, 1, -163}, {0x023E, 0x023E, 1, 10792}, {0x0241, 0x0241, 1, 1}, {0x0243, 0x0243, 1, -195},
    {0x0244, 0x0244, 1, 69}, {0x0245, 0x0245, 1, 71}, {0x0246, 0x024E, 2, 1}, {0x0370, 0x0372, 2, 1},
    {0x0376, 0x0376, 1, 1}, {0x037F, 0x037F, 1, 116}, {0x0386, 0x0386, 1, 38}, {0x0388, 0x038A, 1, 37},
    {0x038C, 0x038C, 1, 64}, {0x038E, 0x038F, 1, 63}, {0x0391, 0x03A1, 1, 32}, {0x03A3, 0x03AB, 1, 32},
    {0x03CF, 0x03CF, 1, 8}, {0x03D8, 0x03EE, 2, 1}, {0x03F7, 0x03F7, 1, 1}, {0x03F9, 0x03F9, 1, -7},
    {0x03FA, 0x03FA, 1, 1}, {0x03FD, 0x03FF, 1, -130}, {0x0400, 0x040F, 1, 80}, {0x0410, 0x042F, 1, 32},
    {0x0460, 0x0480, 2, 1}, {0x048A, 0x04BE, 2, 1}, {0x04C0, 0x04C0, 1, 15}, {0x04C1, 0x04CD, 2, 1},
    {0x04D0, 0x052E, 2, 1}, {0x0531, 0x0556, 1, 48}, {0x1E00, 0x1E94, 2, 1}, {0x1EA0, 0x1EFE, 2, 1},
    {0xFF21, 0xFF3A, 1, 32},
};

template <size_t N>
char16_t MapByRuns(const CaseRun (&runs)[N], char16_t c) {
  const CaseRun* run = std::upper_bound(std::begin(runs), std::end(runs), c,
                                        [](char16_t x, const CaseRun& r) { return x < r.first; });
  if (run == std::begin(runs)) return c;
  --run;
  if (c > run->last || (c - run->first) % run->stride != 0) return c;
  return static_cast<char16_t>(c + run->delta);
}

std::atomic<TCaseMapping> g_mapping{nullptr};

bool IsAscii(std::string_view s) {
  for (const unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

char AsciiLowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char AsciiUpperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A byte that is not part of well-formed UTF-8 travels through the mapping
// as a lone low surrogate, which no UTF-8 text decodes to, and comes out as
// the same byte: such names still compare by their bytes instead of all
// becoming U+FFFD alike.
constexpr char16_t kRawByte = 0xDC00;

std::u16string DecodeKeepingBytes(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  const size_t n = s.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  auto cont = [&](size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
  size_t i = 0;
  while (i < n) {
    const unsigned char c = byte(i);
    char32_t cp = 0;
    size_t len = 0;
    if (c < 0x80) {
      cp = c, len = 1;
    } else if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) {
      cp = ((c & 0x1F) << 6) | (byte(i + 1) & 0x3F), len = 2;
    } else if (c >= 0xE0 && c <= 0xEF && cont(i + 1) && cont(i + 2)) {
      cp = ((c & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F), len = 3;
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) len = 0;
    } else if (c >= 0xF0 && c <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      cp = ((c & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
      len = cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
    }
    if (len == 0) {
      out.push_back(static_cast<char16_t>(kRawByte | c));
      ++i;
    } else if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      i += len;
    } else {
      out.push_back(static_cast<char16_t>(cp));
      i += len;
    }
  }
  return out;
}

// The text with every letter in the case `to`: ASCII here, the rest through
// the mapping in force. `key` puts the ASCII letters in lower case after an
// upper-casing (CaseKey).
std::string MapCase(std::string_view s, TLetterCase to, bool key) {
  const bool upperAscii = to == TLetterCase::Upper && !key;
  if (IsAscii(s)) {
    std::string r(s);
    for (char& c : r) c = upperAscii ? AsciiUpperChar(c) : AsciiLowerChar(c);
    return r;
  }
  const std::u16string original = DecodeKeepingBytes(s);
  std::u16string mapped = original;
  const TCaseMapping mapping = g_mapping.load(std::memory_order_acquire);
  if (!mapping || !mapping(to, mapped.data(), mapped.size()))
    for (char16_t& c : mapped)
      if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) c = BuiltInCase(to, c);
  std::string out;
  out.reserve(s.size());
  for (size_t k = 0; k < mapped.size(); ++k) {
    const char16_t was = original[k], c = mapped[k];
    if (was < 0x80) {
      // ASCII maps the same whatever the mapping, so that ASCII texts need
      // no call and compare alike on both paths.
      out.push_back(upperAscii ? AsciiUpperChar(static_cast<char>(was)) : AsciiLowerChar(static_cast<char>(was)));
    } else if (was >= 0xD800 && was <= 0xDBFF) {
      // The decoder writes high surrogates only as the first of a pair.
      const char16_t low = mapped[++k];
      if (c >= 0xD800 && c <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00));
      } else {
        AppendUtf8(out, c);
        AppendUtf8(out, low);
      }
    } else if (was >= 0xDC00 && was <= 0xDFFF) {
      out.push_back(static_cast<char>(was & 0xFF));  // a byte that is not UTF-8, as it came
    } else if (key && c < 0x80) {
      out.push_back(AsciiLowerChar(static_cast<char>(c)));
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace

void SetCaseMapping(TCaseMapping mapping) { g_mapping.store(mapping, std::memory_order_release); }
TCaseMapping CaseMapping() { return g_mapping.load(std::memory_order_acquire); }

char16_t BuiltInCase(TLetterCase to, char16_t c) {
  if (c < 0x80) return to == TLetterCase::Upper ? AsciiUpperChar(static_cast<char>(c)) : AsciiLowerChar(static_cast<char>(c));
  return to == TLetterCase::Upper ? MapByRuns(kToUpper, c) : MapByRuns(kToLower, c);
}

std::string UpperCase(std::string_view s) { return MapCase(s, TLetterCase::Upper, false); }
std::string LowerCase(std::string_view s) { return MapCase(s, TLetterCase::Lower, false); }
std::string CaseKey(std::string_view s) { return MapCase(s, TLetterCase::Upper, true); }

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) {  // nearly every path: no conversion, no allocation
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      const unsigned char x = static_cast<unsigned char>(AsciiLowerChar(a[i]));
      const unsigned char y = static_cast<unsigned char>(AsciiLowerChar(b[i]));
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  const int c = CaseKey(a).compare(CaseKey(b));
  return c == 0 ? 0 : (c < 0 ? -1 : 1);
}

bool SameTextIgnoreCase(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) return EqualsIgnoreAsciiCase(a, b);
  return CaseKey(a) == CaseKey(b);
}

std::string WithoutTrailingBackslashes(std::string folder) {
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

std::string WithTrailingBackslash(std::string folder) {
  if (folder.empty() || folder.back() != '\\') folder.push_back('\\');
  return folder;
}

bool HasPrefixAndSuffixIgnoreAsciiCase(std::string_view s, std::string_view prefix, std::string_view suffix) {
  return s.size() >= prefix.size() + suffix.size() && EqualsIgnoreAsciiCase(s.substr(0, prefix.size()), prefix) &&
         EqualsIgnoreAsciiCase(s.substr(s.size() - suffix.size()), suffix);
}

bool IsCompletePath(std::string_view p) {
  if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && p[2] == '\\') return true;
  return p.size() >= 3 && p[0] == '\\' && p[1] == '\\' && p[2] != '\\';
}

std::string QuotedIfSpaced(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

// Howard Hinnant's days-from-civil and civil-from-days, shifted from
// 1970-01-01 to the package's day 0, 1899-12-30 (25569 days earlier).
int64_t DayNumberFromDate(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468 + 25569;
}

void DateFromDayNumber(int64_t dayNumber, int& y, int& m, int& d) {
  const int64_t z = dayNumber - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

std::string FirstCharacters(const std::string& text, size_t count) {
  // Characters as the window counts them: UTF-16 code units.
  const std::u16string wide = Utf8ToUtf16(text);
  if (wide.size() <= count) return text;
  size_t n = count;
  if (n > 0 && wide[n - 1] >= 0xD800 && wide[n - 1] < 0xDC00) --n;  // not half a pair
  return Utf16ToUtf8(wide.substr(0, n));
}

std::string TrimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(" \t") - first + 1));
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  // 0x80-0x9F hold the typographic marks; every other byte is its own
  // code point (Latin-1).
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::u16string u;
  u.reserve(bytes.size());
  for (unsigned char c : bytes) u.push_back(c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : static_cast<char16_t>(c));
  return Utf16ToUtf8(u);
}

}  // namespace stw
