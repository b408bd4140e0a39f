#include "base/Text.h"

#include <cctype>
#include <cstdio>

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
  return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
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

}  // namespace stw

#include <cwctype>

#include "base/SortedStrings.h"

namespace stw {

static char32_t FoldUnit(char16_t c) {
  if (c < 128) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  return static_cast<char32_t>(std::towlower(static_cast<wint_t>(c)));
}

int CompareTextIgnoreCase(const std::string& a, const std::string& b) {
  auto ascii = [](const std::string& s) {
    for (unsigned char c : s)
      if (c >= 128) return false;
    return true;
  };
  if (ascii(a) && ascii(b)) {  // nearly every path: no conversion needed
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      const char32_t x = FoldUnit(static_cast<unsigned char>(a[i])), y = FoldUnit(static_cast<unsigned char>(b[i]));
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  const std::u16string ua = Utf8ToUtf16(a), ub = Utf8ToUtf16(b);
  for (size_t k = 0; k < ua.size() && k < ub.size(); ++k) {
    const char32_t x = FoldUnit(ua[k]), y = FoldUnit(ub[k]);
    if (x != y) return x < y ? -1 : 1;
  }
  return ua.size() == ub.size() ? 0 : (ua.size() < ub.size() ? -1 : 1);
}

bool SameTextIgnoreCase(const std::string& a, const std::string& b) { return CompareTextIgnoreCase(a, b) == 0; }

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
