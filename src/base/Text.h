// Text helpers: UTF-8 is the program's internal encoding; UTF-16 appears
// only where the package or Windows speak it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stw {

// Decodes UTF-8 into UTF-16 code units. Malformed sequences become U+FFFD,
// so untrusted package text can never stop the reader.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// Bytes of code page 1252 as UTF-8 (its five unassigned bytes become
// U+FFFD).
std::string Windows1252ToUtf8(std::string_view bytes);
// Appends the UTF-8 form of one code point (U+0000..U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);

// Splits text into lines the way a string list does: CR LF, a lone LF and a
// lone CR each end a line; a final line end adds no empty line; an empty
// text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

// The first `count` characters as Windows counts them (UTF-16 code units),
// never half a surrogate pair.
std::string FirstCharacters(const std::string& text, size_t count);

// Without the spaces and tabs around it.
std::string TrimBlanks(std::string_view s);

std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);

// Formats a package-supplied pattern with %s and %d/%u arguments, the way
// the interface strings use them. The pattern is untrusted: unknown
// conversions are copied literally and missing arguments yield nothing.
struct FormatArg {
  FormatArg(std::string_view s) : text(s), isNumber(false) {}
  FormatArg(const char* s) : text(s), isNumber(false) {}
  FormatArg(const std::string& s) : text(s), isNumber(false) {}
  FormatArg(long long n) : text(std::to_string(n)), isNumber(true), number(n) {}
  FormatArg(int n) : FormatArg(static_cast<long long>(n)) {}
  FormatArg(unsigned n) : FormatArg(static_cast<long long>(n)) {}
  std::string text;
  bool isNumber;
  long long number = 0;
};
std::string FormatPattern(std::string_view pattern, const std::vector<FormatArg>& args);

// File-name parts of a path; both "\" and "/" separate folders.
std::string ExtractFileName(std::string_view path);
std::string ExtractFileDir(std::string_view path);  // without trailing separator
std::string ExtractFilePath(std::string_view path);  // with trailing separator
// Replaces the extension (the part from the last "." after the last
// separator) by `ext`, which includes its dot; appends when there is none.
std::string ChangeFileExt(std::string_view path, std::string_view ext);
// Inserts `insert` before the extension (at the end when there is none).
std::string InsertBeforeExt(std::string_view path, std::string_view insert);

std::string HexU32(uint32_t v);

// A folder without trailing backslashes; a drive's root ("C:\") stays whole.
std::string WithoutTrailingBackslashes(std::string folder);
// A folder ending in exactly one more backslash unless it ends in one.
std::string WithTrailingBackslash(std::string folder);
// Whether `s` starts with `prefix` and ends with `suffix`, apart, ignoring
// ASCII case (a file name against a pattern "prefix*suffix").
bool HasPrefixAndSuffixIgnoreAsciiCase(std::string_view s, std::string_view prefix, std::string_view suffix);
// "X:\..." or "\\server\share...": a path that names its drive or share.
bool IsCompletePath(std::string_view path);
// The path in double quotes when it holds a space, as a command line needs.
std::string QuotedIfSpaced(const std::string& path);

// Day numbers as the package counts them (days since 1899-12-30) of a date
// of the proleptic Gregorian calendar, and back.
int64_t DayNumberFromDate(int64_t year, unsigned month, unsigned day);
void DateFromDayNumber(int64_t dayNumber, int& year, int& month, int& day);

}  // namespace stw
