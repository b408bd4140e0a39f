#include "wizard/RtfText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/Text.h"

namespace stw {

namespace {

// Code page 1252: Latin-1, but for the printable characters it puts in
// 0x80 to 0x9F (0 where it has none).
uint32_t FromCp1252(uint8_t b) {
  static const uint16_t high[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  if (b >= 0x80 && b < 0xA0) return high[b - 0x80] ? high[b - 0x80] : 0xFFFD;
  return b;
}

// Destinations whose text is not part of what the document shows.
bool Hidden(std::string_view word) {
  static const char* const names[] = {
      "fonttbl",   "colortbl",  "stylesheet", "info",     "pict",       "object",   "header",  "headerl",
      "headerr",   "headerf",   "footer",     "footerl",  "footerr",    "footerf",  "listtable",
      "listoverridetable", "rsidtbl", "generator", "xmlnstbl", "themedata", "colorschememapping",
      "datastore", "latentstyles", "pgdsctbl", "filetbl", "revtbl", "fldinst", "bkmkstart", "bkmkend",
      "footnote", "annotation", "atnid", "atnauthor", "comment", "mmathPr", "wgrffmtfilter", "userprops"};
  for (const char* n : names)
    if (word == n) return true;
  return false;
}

// The characters that control words stand for.
uint32_t SymbolOf(std::string_view word) {
  static const std::pair<const char*, uint32_t> symbols[] = {
      {"emdash", 0x2014}, {"endash", 0x2013},    {"bullet", 0x2022},   {"lquote", 0x2018},
      {"rquote", 0x2019}, {"ldblquote", 0x201C}, {"rdblquote", 0x201D}};
  for (const auto& [name, cp] : symbols)
    if (word == name) return cp;
  return 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string RtfToPlainText(std::string_view rtf) {
  struct Group {
    bool hidden = false;
    int skipAfterUnicode = 1;  // \ucN: fallback characters after each \u
  };
  std::vector<Group> groups{Group{}};
  std::string out;
  int pendingSkip = 0;          // fallback characters still to pass over
  uint32_t highSurrogate = 0;  // the first half of a pair given by \u
  bool groupStart = false;     // right after "{": where "\*" may stand
  const auto emit = [&](uint32_t cp) {
    if (groups.back().hidden) return;
    if (pendingSkip > 0) {
      --pendingSkip;
      return;
    }
    AppendUtf8(out, static_cast<char32_t>(cp));
  };
  size_t i = 0;
  const size_t n = rtf.size();
  while (i < n) {
    const char c = rtf[i];
    if (c == '{') {
      // Deeply nested input must not grow the stack without bound: a
      // document nested deeper than any real one is read flat from there.
      if (groups.size() < 4096) groups.push_back(groups.back());
      ++i;
      groupStart = true;
      pendingSkip = 0;
      continue;
    }
    if (c == '}') {
      if (groups.size() > 1) groups.pop_back();
      ++i;
      groupStart = false;
      pendingSkip = 0;
      continue;
    }
    if (c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    const bool atStart = groupStart;
    groupStart = false;
    if (c != '\\') {
      emit(static_cast<uint8_t>(c) < 0x80 ? static_cast<uint8_t>(c) : FromCp1252(static_cast<uint8_t>(c)));
      ++i;
      continue;
    }
    // A control symbol or word.
    if (i + 1 >= n) break;
    const char s = rtf[i + 1];
    if (!std::isalpha(static_cast<unsigned char>(s))) {
      i += 2;
      switch (s) {
        case '\\':
        case '{':
        case '}':
          emit(static_cast<uint8_t>(s));
          break;
        case '~':
          emit(0xA0);
          break;
        case '_':
          emit('-');
          break;
        case '*':
          // An optional destination: unknown to a reader that shows text.
          if (atStart) groups.back().hidden = true;
          break;
        case '\'': {
          // A damaged escape takes what hex digits it has and shows nothing.
          const int hi = i < n ? HexDigit(rtf[i]) : -1;
          if (hi < 0) break;
          const int lo = ++i < n ? HexDigit(rtf[i]) : -1;
          if (lo < 0) break;
          ++i;
          emit(FromCp1252(static_cast<uint8_t>(hi * 16 + lo)));
          break;
        }
        default:  // "\-" (optional hyphen), "\|" and the like show nothing
          break;
      }
      continue;
    }
    size_t j = i + 1;
    while (j < n && std::isalpha(static_cast<unsigned char>(rtf[j])) && j - i < 33) ++j;
    const std::string_view word = rtf.substr(i + 1, j - i - 1);
    bool hasParam = false;
    int64_t param = 0;  // `long` is 32 bits on Windows
    {
      size_t k = j;
      bool negative = false;
      if (k < n && rtf[k] == '-') negative = true, ++k;
      const size_t digits = k;
      // Values beyond what RTF allows are read whole and held at a bound.
      while (k < n && std::isdigit(static_cast<unsigned char>(rtf[k]))) {
        param = std::min<int64_t>(param * 10 + (rtf[k] - '0'), int64_t{1} << 40);
        ++k;
      }
      if (k > digits) {
        hasParam = true;
        if (negative) param = -param;
        j = k;
      }
    }
    if (j < n && rtf[j] == ' ') ++j;  // the delimiter belongs to the word
    i = j;
    if (atStart && Hidden(word)) {
      groups.back().hidden = true;
      continue;
    }
    if (word == "bin" && hasParam) {
      // Binary data of that many bytes, whatever they hold (braces too).
      i += static_cast<size_t>(std::clamp<int64_t>(param, 0, static_cast<int64_t>(n - i)));
      continue;
    }
    if (word == "par" || word == "line" || word == "sect" || word == "page") {
      if (!groups.back().hidden) out += '\n';
    } else if (word == "tab") {
      emit('\t');
    } else if (word == "uc" && hasParam) {
      groups.back().skipAfterUnicode = static_cast<int>(std::clamp<int64_t>(param, 0, 16));
    } else if (word == "u" && hasParam && (param < -32768 || param > 65535)) {
      pendingSkip = groups.back().skipAfterUnicode;  // no character, but its fallback goes
    } else if (word == "u" && hasParam) {
      uint32_t unit = static_cast<uint32_t>(param < 0 ? param + 65536 : param) & 0xFFFF;
      pendingSkip = 0;
      if (unit >= 0xD800 && unit < 0xDC00) {
        highSurrogate = unit;
      } else {
        if (unit >= 0xDC00 && unit < 0xE000)
          unit = highSurrogate ? 0x10000 + ((highSurrogate - 0xD800) << 10) + (unit - 0xDC00) : 0xFFFD;
        highSurrogate = 0;
        emit(unit);
      }
      pendingSkip = groups.back().skipAfterUnicode;
    } else if (const uint32_t symbol = SymbolOf(word)) {
      emit(symbol);
    }
  }
  return out;
}

std::vector<std::string> TextBoxLines(const std::string& content, bool rich) {
  return SplitLines(rich ? RtfToPlainText(content) : content);
}

}  // namespace stw
