#include <gtest/gtest.h>

#include <algorithm>

#include "base/SortedStrings.h"
#include "base/Text.h"
#include "package/Definition.h"
#include "package/Package.h"
#include "package/SafeName.h"
#ifdef _WIN32
#include "platform/win32/Win32Text.h"
#include "platform/win32/Windows.h"
#else
#include <locale.h>
#include <wctype.h>

#include "InstallFixture.h"
#endif

using namespace stw;

#ifdef _WIN32
// As setup.exe and the uninstaller do at their start: every test of this
// binary compares names with the user's locale.
static const bool kSystemCaseMapping = (UseSystemCaseMapping(), true);
#endif

TEST(Text, SplitLinesEndsLinesLikeAStringList) {
  EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
  EXPECT_EQ(SplitLines("a"), std::vector<std::string>{"a"});
  EXPECT_EQ(SplitLines("a\r\n"), std::vector<std::string>{"a"});
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("\r\n\r\n"), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(SplitLines("a\n\rb"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(Text, FormatPatternIsSafeOnAnyPattern) {
  EXPECT_EQ(FormatPattern("%s Setup", {"X"}), "X Setup");
  EXPECT_EQ(FormatPattern("Volume %d please", {7}), "Volume 7 please");
  EXPECT_EQ(FormatPattern("%s and %s", {"a"}), "a and ");
  EXPECT_EQ(FormatPattern("100%% %q %", {"a"}), "100% %q %");
  EXPECT_EQ(FormatPattern("%1:s-%0:s", {"a", "b"}), "b-a");
  EXPECT_EQ(FormatPattern("%.2f MB", {FormatArg(3)}), "3.00 MB");
}

TEST(Text, Utf8AndUtf16RoundTripAndReplaceMalformedInput) {
  const std::string s = "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s);
  EXPECT_EQ(Utf8ToUtf16("\xFF" "a"), (std::u16string{0xFFFD, u'a'}));
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), (std::u16string{0xFFFD, 0xFFFD}));
}

TEST(Text, FileNameParts) {
  EXPECT_EQ(InsertBeforeExt("C:\\t\\readme.txt", "2"), "C:\\t\\readme2.txt");
  EXPECT_EQ(InsertBeforeExt("C:\\t.d\\README", "3"), "C:\\t.d\\README3");
  EXPECT_EQ(ChangeFileExt("C:\\a.b\\setup", ".002"), "C:\\a.b\\setup.002");
  EXPECT_EQ(ExtractFileName("C:\\a\\b.txt"), "b.txt");
  EXPECT_EQ(ExtractFileDir("C:\\a\\b.txt"), "C:\\a");
}

TEST(Package, VolumeNamesArePaddedToThreeDigits) {
  EXPECT_EQ(VolumeFileName("D:\\dist\\setup.exe", 2), "D:\\dist\\setup.002");
  EXPECT_EQ(VolumeFileName("D:\\dist\\setup.exe", 999), "D:\\dist\\setup.999");
  EXPECT_EQ(VolumeFileName("D:\\dist\\setup.exe", 1000), "D:\\dist\\setup.1000");
  EXPECT_EQ(VolumeFileName("D:\\dist.v1\\setup", 12), "D:\\dist.v1\\setup.012");
}

TEST(Definition, WindowListsSplitOnSemicolonsAndForClassesOnBlanks) {
  EXPECT_EQ(SplitWindowList("A;B C;\"x;y\"\"z\"", true), (std::vector<std::string>{"A", "B", "C", "x;y\"z"}));
  EXPECT_EQ(SplitWindowList("Main Window; Other ;", false),
            (std::vector<std::string>{"Main Window", " Other ", ""}));
  EXPECT_EQ(SplitWindowList("  \tA  ", true), std::vector<std::string>{"A"});
  EXPECT_EQ(SplitWindowList("", false), std::vector<std::string>{});
}

TEST(Definition, FontFallbackForOlderSystems) {
  TFontRecord f{"Segoe UI", 0, 9, 0, 1};
  ApplyFontFallback(f, 6);
  EXPECT_EQ(f.Name, "Segoe UI");
  ApplyFontFallback(f, 5);
  EXPECT_EQ(f.Name, "Tahoma");
  EXPECT_EQ(f.Size, 8);
  TFontRecord small{"Segoe UI", 0, 8, 0, 1};
  ApplyFontFallback(small, 5);
  EXPECT_EQ(small.Size, 8);
}

TEST(SafeName, RefusesNamesThatLeaveTheirFolder) {
  EXPECT_EQ(WhyUnsafeName("readme.txt"), "");
  for (const char* bad : {"", ".", "..", "..\\x", "a/b", "C:x", "con", "CON.txt", "lpt1", "com9.log", "a?", "a. ",
                          "nul", "x\x01"})
    EXPECT_NE(WhyUnsafeName(bad), "") << bad;
  EXPECT_EQ(WhyUnsafeName("console.txt"), "");
  EXPECT_EQ(WhyUnsafeName("com10"), "");
  // Windows takes the superscript digits 1 to 3 for ports too.
  for (const char* bad : {"COM\u00B9", "com\u00B2", "LPT\u00B3.txt", "lpt\u00B9 .log"})
    EXPECT_NE(WhyUnsafeName(bad), "") << bad;
  EXPECT_EQ(WhyUnsafeName("COM\u2074"), "");  // superscript four is no device
  EXPECT_EQ(WhyUnsafeName("COM\u00B9x"), "");
}

TEST(Text, FolderEndsAndNamePatterns) {
  EXPECT_EQ(WithTrailingBackslash("C:\\x"), "C:\\x\\");
  EXPECT_EQ(WithTrailingBackslash("C:\\"), "C:\\");
  EXPECT_TRUE(HasPrefixAndSuffixIgnoreAsciiCase("STW0A.TMP", "stw", ".tmp"));
  EXPECT_FALSE(HasPrefixAndSuffixIgnoreAsciiCase("stw.tmp", "stw.", ".tmp"));  // prefix and suffix may not overlap
  EXPECT_FALSE(HasPrefixAndSuffixIgnoreAsciiCase("stw0A.txt", "stw", ".tmp"));
}

TEST(SafeName, PathsAreReducedToTheirPlainForm) {
  const std::pair<const char*, const char*> plain[] = {
      {"C:\\Program Files\\P\\a.txt", "C:\\Program Files\\P\\a.txt"},
      {"C:/Program Files/P/../Other/x.txt", "C:\\Program Files\\Other\\x.txt"},
      {"C:\\P\\\\sub\\.\\a.txt", "C:\\P\\sub\\a.txt"},
      {"C:\\P\\sub\\..\\..\\Windows\\x.dll", "C:\\Windows\\x.dll"},
      {"\\\\server\\share\\dir/../x", "\\\\server\\share\\x"},
      {"D:\\", "D:\\"},
      {"D:\\x\\..", "D:\\"},
  };
  for (const auto& [in, out] : plain) EXPECT_EQ(NormalisedCompletePath(in).value_or("(refused)"), out) << in;
  // Not complete, climbing above the root, or with a name Windows would
  // change (a trailing dot or space turns ".. " into a parent).
  for (const char* bad : {"", "a.txt", "C:a.txt", "\\\\server", "\\\\?\\C:\\x", "\\\\.\\C:\\x", "C:\\..\\x",
                          "C:\\P\\.. \\x", "C:\\P\\x.", "C:\\P\\CON\\x", "C:\\P\\a:b", "\\\\srv\\..\\x"})
    EXPECT_FALSE(NormalisedCompletePath(bad)) << bad;
  EXPECT_TRUE(IsBelowFolder("C:\\P\\a.txt", "C:\\P"));
  EXPECT_TRUE(IsBelowFolder("c:\\p\\sub\\a.txt", "C:\\P\\"));
  EXPECT_TRUE(IsBelowFolder("D:\\a.txt", "D:\\"));
  EXPECT_FALSE(IsBelowFolder("C:\\P", "C:\\P"));
  EXPECT_FALSE(IsBelowFolder("C:\\PX\\a.txt", "C:\\P"));
  EXPECT_FALSE(IsBelowFolder("D:\\P\\a.txt", "C:\\P"));
}

// ---------------------------------------------------------------- letter case of names

namespace {

// The built-in table for the length of a test, whatever the binary set.
class BuiltInCaseOnly {
 public:
  BuiltInCaseOnly() : saved_(CaseMapping()) { SetCaseMapping(nullptr); }
  ~BuiltInCaseOnly() { SetCaseMapping(saved_); }

 private:
  TCaseMapping saved_;
};

// Names in one spelling and another that differs only in case, and names
// that must stay apart from them although they look alike.
const std::pair<const char*, const char*> kSameNames[] = {
    {"\xC3\x84pfel.txt", "\xC3\xA4PFEL.TXT"},                                    // Äpfel / äPFEL
    {"C:\\Programme\\Gr\xC3\xB6\xC3\x9F" "e", "c:\\PROGRAMME\\GR\xC3\x96\xC3\x9F" "E"},  // Größe, ß stays
    {"\xC3\xBF", "\xC5\xB8"},                                                    // ÿ / Ÿ (Latin Extended-A)
    {"\xC5\x81\xC3\xB3\x64\xC5\xBA", "\xC5\x82\xC3\x93\x44\xC5\xB9"},            // Łódź / łÓDŹ
    {"\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91", "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1"},  // ΣΟΦΊΑ / σοφία
    {"\xD0\x96\xD0\xA3\xD0\xA0\xD0\x9D\xD0\x90\xD0\x9B \xD0\x81", "\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB \xD1\x91"},  // ЖУРНАЛ Ё
    {"Mixed \xC3\x84 and ASCII \xD0\x96", "mIXED \xC3\xA4 AND ascii \xD0\xB6"},
};
const std::pair<const char*, const char*> kOtherNames[] = {
    {"a", "\xC3\xA4"},                        // a / ä
    {"Stra\xC3\x9F" "e", "STRASSE"},          // ß has no single upper case
    {"\xD0\xB5", "e"},                        // Cyrillic е / Latin e
    {"\xCE\x91", "A"},                        // Greek Α / Latin A
    {"\xC4\xB1", "I"},                        // dotless ı: no letter outside ASCII becomes an ASCII one
    {"\xC5\xBF", "s"},                        // long ſ
    {"\xCF\x82", "\xCE\xA3"},                 // final ς is no Σ to the file system, nor µ a Μ
    {"\xC2\xB5", "\xCE\x9C"},
    {"\xC3\x84" "b", "\xC3\x84" "c"},
};

}  // namespace

TEST(TextCase, LettersOutsideAsciiMatchTheirOtherCase) {
  for (const auto& [a, b] : kSameNames) {
    EXPECT_TRUE(SameTextIgnoreCase(a, b)) << a << " / " << b;
    EXPECT_EQ(CompareTextIgnoreCase(a, b), 0) << a << " / " << b;
    EXPECT_EQ(CaseKey(a), CaseKey(b)) << a;
  }
  for (const auto& [a, b] : kOtherNames) {
    EXPECT_FALSE(SameTextIgnoreCase(a, b)) << a << " / " << b;
    EXPECT_NE(CompareTextIgnoreCase(a, b), 0) << a << " / " << b;
    EXPECT_EQ(CompareTextIgnoreCase(a, b), -CompareTextIgnoreCase(b, a)) << a;
  }
  // The case mappings themselves (simple ones: the text keeps its letters).
  EXPECT_EQ(UpperCase("stra\xC3\x9F" "e \xC3\xA4\xC3\xB6\xC3\xBC \xCF\x83\xCF\x82 \xD0\xB6 \xD5\xA1"),
            "STRA\xC3\x9F" "E \xC3\x84\xC3\x96\xC3\x9C \xCE\xA3\xCF\x82 \xD0\x96 \xD4\xB1");
  EXPECT_EQ(LowerCase("\xC3\x84\xC3\x96\xC3\x9C \xCE\xA3\xCE\x91 \xD0\x96 ABC"),
            "\xC3\xA4\xC3\xB6\xC3\xBC \xCF\x83\xCE\xB1 \xD0\xB6 abc");
  // What compares names through these: folders and the folder variables
  // of an earlier log.
  EXPECT_TRUE(IsBelowFolder("C:\\\xC3\x84PFEL\\a.txt", "c:\\\xC3\xA4pfel"));
  EXPECT_FALSE(IsBelowFolder("C:\\\xC3\x84PFEL\\a.txt", "c:\\apfel"));
}

TEST(TextCase, AsciiTextsKeepTheirComparisonAndKeywordsStayAscii) {
  // The order the lists have always had: backslash and underscore come
  // before the letters, as in lower case.
  EXPECT_LT(CompareTextIgnoreCase("C:\\App\\x", "C:\\APPLE"), 0);
  EXPECT_LT(CompareTextIgnoreCase("a_b", "AB"), 0);
  EXPECT_GT(CompareTextIgnoreCase("a{", "AZ"), 0);
  EXPECT_LT(CompareTextIgnoreCase("abc", "ABCD"), 0);
  EXPECT_EQ(CaseKey("C:\\Program Files\\Hello_World.EXE"), "c:\\program files\\hello_world.exe");
  EXPECT_EQ(UpperCase("%appFolder%"), "%APPFOLDER%");
  EXPECT_EQ(LowerCase("OPEN"), "open");
  // Fixed ASCII words compare ASCII letters only, on every system.
  EXPECT_TRUE(EqualsIgnoreAsciiCase("/SILENT", "/silent"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC3\x84", "\xC3\xA4"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("/silent", "/silen"));
  EXPECT_EQ(AsciiUpper("\xC3\xA4x"), "\xC3\xA4X");
  // A mapping never decides ASCII letters: the in-place comparison of ASCII
  // texts and the one by keys always agree.
  const TCaseMapping saved = CaseMapping();
  SetCaseMapping([](TLetterCase, char16_t* text, size_t count) {
    for (size_t i = 0; i < count; ++i) text[i] = u'Q';
    return true;
  });
  EXPECT_EQ(CaseKey("Ab_\xC3\xA4"), "ab_q");
  EXPECT_EQ(UpperCase("ab\xC3\xA4"), "ABQ");
  EXPECT_TRUE(SameTextIgnoreCase("x\xC3\xA4", "X\xC3\xB6"));  // the mapping in force decides
  SetCaseMapping([](TLetterCase, char16_t*, size_t) { return false; });  // refuses: the table
  EXPECT_EQ(UpperCase("\xC3\xA4"), "\xC3\x84");
  SetCaseMapping(saved);
}

TEST(TextCase, SortedListsFindWhatTheySortAndSortAsTheyCompare) {
  std::vector<std::string> names;
  for (const auto& [a, b] : kSameNames) names.insert(names.end(), {a, b});
  for (const auto& [a, b] : kOtherNames) names.insert(names.end(), {a, b});
  for (const char* n : {"C:\\App\\x", "C:\\APPLE", "a_b", "AB", "a{", "", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD", "\xFF",
                        "\xC4", "Z\xC3\xA4", "z\xC3\x84" "a", "\xE2\x82\xAC", "C:\\Temp\\\xD0\x96\\1.txt",
                        "C:\\TEMP\\\xD0\xB6\\1.TXT", "C:\\temp\\zz"})
    names.push_back(n);
  // A strict weak order: irreflexive, asymmetric, transitive, and "equal"
  // is transitive too; and the same as the keys' byte order.
  for (const std::string& a : names) {
    EXPECT_EQ(CompareTextIgnoreCase(a, a), 0);
    for (const std::string& b : names) {
      const int ab = CompareTextIgnoreCase(a, b);
      ASSERT_EQ(ab, -CompareTextIgnoreCase(b, a)) << a << " / " << b;
      const int keys = CaseKey(a).compare(CaseKey(b));
      ASSERT_EQ(ab, keys == 0 ? 0 : keys < 0 ? -1 : 1) << a << " / " << b;
      ASSERT_EQ(ab == 0, SameTextIgnoreCase(a, b)) << a << " / " << b;
      for (const std::string& c : names) {
        const int bc = CompareTextIgnoreCase(b, c), ac = CompareTextIgnoreCase(a, c);
        if (ab < 0 && bc < 0) {
          ASSERT_LT(ac, 0) << a << " < " << b << " < " << c;
        }
        if (ab == 0 && bc == 0) {
          ASSERT_EQ(ac, 0) << a << " = " << b << " = " << c;
        }
      }
    }
  }
  // The list holds each name once, in the first spelling added, sorted as
  // the comparison sorts, and finds it in any other spelling.
  TSortedStrings list;
  for (const auto& [a, b] : kSameNames) {
    EXPECT_TRUE(list.Add(a));
    EXPECT_FALSE(list.Add(b)) << b;
  }
  std::vector<std::string> distinct;  // one spelling of each name, found by comparing with all
  for (const auto& [a, b] : kSameNames) distinct.push_back(a);
  for (const auto& [a, b] : kOtherNames)
    for (const char* n : {a, b}) {
      const bool known = std::any_of(distinct.begin(), distinct.end(), [&](auto& d) { return SameTextIgnoreCase(d, n); });
      EXPECT_EQ(list.Add(n), !known) << n;
      if (!known) distinct.push_back(n);
    }
  EXPECT_EQ(list.Count(), distinct.size());
  const std::vector<std::string> items = list.Items();
  EXPECT_TRUE(std::is_sorted(items.begin(), items.end(), TSortedStrings::Less()));
  EXPECT_EQ(std::adjacent_find(items.begin(), items.end(), [](auto& x, auto& y) { return SameTextIgnoreCase(x, y); }),
            items.end());
  for (const auto& [a, b] : kSameNames) {
    EXPECT_TRUE(list.Contains(b)) << b;
    EXPECT_EQ(std::count(items.begin(), items.end(), a), 1) << a;
    // A sorted vector searched with the comparison finds it as well.
    const auto at = std::lower_bound(items.begin(), items.end(), std::string(b), TSortedStrings::Less());
    ASSERT_NE(at, items.end());
    EXPECT_EQ(*at, a);
  }
  for (const auto& [a, b] : kOtherNames) EXPECT_TRUE(list.Contains(a) && list.Contains(b)) << a;
  EXPECT_TRUE(list.Remove(kSameNames[0].second));
  EXPECT_FALSE(list.Contains(kSameNames[0].first));
  EXPECT_EQ(list.Count(), items.size() - 1);
}

TEST(TextCase, BytesThatAreNotUtf8KeepNamesApart) {
  EXPECT_FALSE(SameTextIgnoreCase("\xC4" "a", "\xC5" "a"));  // not one U+FFFD for both
  EXPECT_FALSE(SameTextIgnoreCase("\xFF", "\xEF\xBF\xBD"));
  EXPECT_TRUE(SameTextIgnoreCase("\xC4\xC3\xA4", "\xC4\xC3\x84"));
  EXPECT_EQ(CaseKey("A\xFF\xC3\xA4\xE2\x82"), "a\xFF\xC3\x84\xE2\x82");
  EXPECT_EQ(UpperCase("\xED\xA0\x80x"), "\xED\xA0\x80X");  // an encoded surrogate stays bytes
  EXPECT_EQ(CaseKey("\xF0\x9F\x98\x80\xC3\xA4"), "\xF0\x9F\x98\x80\xC3\x84");
}

#ifndef _WIN32
// The built-in table is the C library's mapping under a UTF-8 locale for
// the blocks it covers, where the two letters are each other's case, and
// leaves every other unit alone.
TEST(TextCase, TheBuiltInTableAgreesWithTheCLibrary) {
  const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  ASSERT_TRUE(utf8);
  const std::pair<char16_t, char16_t> blocks[] = {
      {0x0080, 0x02AF}, {0x0370, 0x058F}, {0x1E00, 0x1EFF}, {0xFF00, 0xFFEF}};
  auto inBlocks = [&](char32_t c) {
    for (const auto& [first, last] : blocks)
      if (c >= first && c <= last) return true;
    return false;
  };
  int mapped = 0;
  for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const char16_t unit = static_cast<char16_t>(c);
    for (const TLetterCase to : {TLetterCase::Upper, TLetterCase::Lower}) {
      const bool up = to == TLetterCase::Upper;
      const wint_t lib = up ? ::towupper_l(static_cast<wint_t>(c), utf8) : ::towlower_l(static_cast<wint_t>(c), utf8);
      const wint_t back = up ? ::towlower_l(lib, utf8) : ::towupper_l(lib, utf8);
      char16_t want = unit;
      if (inBlocks(c) && lib >= 0x80 && lib <= 0xFFFF && back == c) want = static_cast<char16_t>(lib);
      ASSERT_EQ(static_cast<unsigned>(BuiltInCase(to, unit)), static_cast<unsigned>(want))
          << std::hex << static_cast<unsigned>(c) << (to == TLetterCase::Upper ? " upper" : " lower");
      mapped += want != unit;
    }
  }
  EXPECT_GT(mapped, 1000);
  ::freelocale(utf8);
}

// An update whose earlier log names a file in one spelling while the new
// version installs it in another: it is the same file to Windows, so it is
// not removed as obsolete (which would delete the file just installed).
// The simulated machine keeps both spellings apart, which shows what the
// update would have deleted.
class TextCaseUpdateTest : public test::InstallTest {};

TEST_F(TextCaseUpdateTest, AFileRenamedOnlyInCaseIsNotObsolete) {
  const std::string upper = "\xC3\x84PFEL.TXT", lower = "\xC3\xA4pfel.txt";  // ÄPFEL.TXT, äpfel.txt
  const std::string greek = "\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91.txt";        // ΣΟΦΊΑ.txt
  const std::string greekLower = "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1.TXT";    // σοφία.TXT
  auto with = [](std::vector<std::string> names) {
    PackageManifest m = test::Product();
    for (const std::string& name : names) {
      BuildFile f;
      f.name = name;
      f.content = "content of " + name;
      m.files.push_back(f);
      BuildItem it;
      it.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, name));
      m.components[0].root.folders[0].items.push_back(it);
    }
    return m;
  };
  ASSERT_EQ(Run(Build(with({upper, greek, "Birne.txt"}), "v1.exe"), {"/silent"}), kExitSuccess);
  ASSERT_TRUE(fs.FileExists(App(upper)));
  PackageManifest v2 = with({lower, greekLower});
  v2.releaseDate = 46100;
  v2.setupOptionBits = 1;  // obsolete files are removed
  ASSERT_EQ(Run(Build(v2, "v2.exe"), {"/silent"}), kExitSuccess);
  EXPECT_TRUE(fs.FileExists(App(lower)));
  EXPECT_TRUE(fs.FileExists(App(upper)));  // not taken for obsolete
  EXPECT_TRUE(fs.FileExists(App(greek)));
  EXPECT_FALSE(fs.FileExists(App("Birne.txt")));  // the file the new version has not
  // The new log names each file once.
  const std::vector<std::string> log = LogLines(App("Stowa.log"));
  for (const std::string& name : {lower, greekLower})
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [&](const std::string& l) { return SameTextIgnoreCase(l, App(name)); }),
              1)
        << name;
}
#endif

#ifdef _WIN32
// The system's mapping, as the programs install it.
TEST(TextCaseWindows, TheUserLocaleFoldsLettersOutsideAscii) {
  ASSERT_NE(CaseMapping(), nullptr);
  std::u16string text = u"\u00E4\u00F6\u00FC\u00DF \u03C3\u03C2\u03AF \u0436\u0451 ab";
  ASSERT_TRUE(CaseMapping()(TLetterCase::Upper, text.data(), text.size()));
  EXPECT_EQ(text, u"\u00C4\u00D6\u00DC\u00DF \u03A3\u03C2\u038A \u0416\u0401 AB");
  ASSERT_TRUE(CaseMapping()(TLetterCase::Lower, text.data(), text.size()));
  EXPECT_EQ(text, u"\u00E4\u00F6\u00FC\u00DF \u03C3\u03C2\u03AF \u0436\u0451 ab");
  for (const auto& [a, b] : kSameNames) EXPECT_TRUE(SameTextIgnoreCase(a, b)) << a << " / " << b;
  for (const auto& [a, b] : kOtherNames) EXPECT_FALSE(SameTextIgnoreCase(a, b)) << a << " / " << b;
  // The built-in table, which the simulated machine uses, is the system's
  // in the blocks it covers, both ways.
  const std::pair<char16_t, char16_t> blocks[] = {
      {0x0080, 0x02AF}, {0x0370, 0x058F}, {0x1E00, 0x1EFF}, {0xFF00, 0xFFEF}};
  int differences = 0, mapped = 0;
  for (const auto& [first, last] : blocks)
    for (char32_t c = first; c <= last; ++c)
      for (const TLetterCase to : {TLetterCase::Upper, TLetterCase::Lower}) {
        char16_t unit = static_cast<char16_t>(c);
        ASSERT_TRUE(CaseMapping()(to, &unit, 1));
        mapped += unit != c;
        if (unit != BuiltInCase(to, static_cast<char16_t>(c)) && ++differences <= 10)
          ADD_FAILURE() << std::hex << static_cast<unsigned>(c) << (to == TLetterCase::Upper ? " upper " : " lower ")
                        << static_cast<unsigned>(unit);
      }
  EXPECT_EQ(differences, 0);
  EXPECT_GT(mapped, 1000);
}

// The file system finds a file under each spelling the comparison calls
// the same, and under none it keeps apart.
TEST(TextCaseWindows, TheFileSystemAgreesWithTheComparison) {
  wchar_t temp[MAX_PATH + 1];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::string folder = Utf16ToUtf8(reinterpret_cast<const char16_t*>(temp)) + "stw-textcase-" +
                             std::to_string(GetCurrentProcessId());
  auto wide = [](const std::string& s) { return Utf8ToUtf16(s); };
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>(wide(folder).c_str()), nullptr));
  auto exists = [&](const std::string& name) {
    return GetFileAttributesW(reinterpret_cast<const wchar_t*>(wide(folder + "\\" + name).c_str())) !=
           INVALID_FILE_ATTRIBUTES;
  };
  // One file for each pair, in its first spelling; a name that the file
  // system takes for one made before is refused.
  auto make = [&](const auto& pairs) {
    std::vector<std::string> made;
    for (const auto& [a, b] : pairs) {
      HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(wide(folder + "\\" + ExtractFileName(a)).c_str()),
                             GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      EXPECT_NE(h, INVALID_HANDLE_VALUE) << a;
      if (h == INVALID_HANDLE_VALUE) continue;
      CloseHandle(h);
      made.push_back(ExtractFileName(a));
    }
    return made;
  };
  auto remove = [&](const std::vector<std::string>& made) {
    for (const std::string& name : made)
      EXPECT_TRUE(DeleteFileW(reinterpret_cast<const wchar_t*>(wide(folder + "\\" + name).c_str()))) << name;
  };
  const std::vector<std::string> same = make(kSameNames);
  for (const auto& [a, b] : kSameNames) EXPECT_TRUE(exists(ExtractFileName(b))) << b;
  remove(same);
  for (const auto& [a, b] : kOtherNames) {
    const std::vector<std::string> made = make(std::vector<std::pair<const char*, const char*>>{{a, b}});
    EXPECT_FALSE(exists(b)) << a << " / " << b;
    remove(made);
  }
  RemoveDirectoryW(reinterpret_cast<const wchar_t*>(wide(folder).c_str()));
}
#endif
