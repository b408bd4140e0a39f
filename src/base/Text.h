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

// Letter case of fixed ASCII words only: switches ("/silent"), extensions
// compared with ".exe", registry root names, the program's own keywords.
std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Letter case of what the user or the system names: paths, file names,
// component, verb and folder-variable names. Windows matches file names by
// upper-casing each UTF-16 unit on its own (the file system's table, which
// is also what the user's locale maps without linguistic rules), so "Ä" and
// "ä" are one name while "ß" stays a letter of its own. ASCII letters are
// mapped here without a call; every other unit goes to the mapping set by
// SetCaseMapping (the system's, on Windows) or, without one, to a built-in
// table: the simple Unicode mappings of Latin-1, Latin Extended-A, -B and
// Additional, IPA, Greek, Cyrillic, Armenian and the full-width forms, for
// the letters that are each other's case (not "ς" to "Σ", nor "ı" to "I":
// no letter outside ASCII becomes an ASCII one), as Windows' table has
// them. Bytes that are not UTF-8 are kept as they are.
enum class TLetterCase { Upper, Lower };
// Maps `count` UTF-16 units in place, each to one unit; false when it
// cannot, and the built-in table is used instead.
using TCaseMapping = bool (*)(TLetterCase to, char16_t* text, size_t count);
// Set once at program start, before any thread runs (nullptr: the built-in
// table). Reading it is lock-free, so workers compare without locks of their own.
void SetCaseMapping(TCaseMapping mapping);
TCaseMapping CaseMapping();
// One unit through the built-in table alone.
char16_t BuiltInCase(TLetterCase to, char16_t c);

// The text in upper or lower case with the mapping above.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// The form in which texts that differ only in case are the same bytes:
// upper case as the file system has it, then the ASCII letters small again,
// so that ASCII texts keep the order they have always had ("\" and "_"
// before the letters). Its bytes order texts as CompareTextIgnoreCase does.
std::string CaseKey(std::string_view s);
// Compares texts by their CaseKey: a strict weak order whose equal texts
// are those that differ only in case. Two ASCII texts are compared in place.
int CompareTextIgnoreCase(std::string_view a, std::string_view b);
bool SameTextIgnoreCase(std::string_view a, std::string_view b);
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
