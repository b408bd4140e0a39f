#include <gtest/gtest.h>

#include "base/Text.h"
#include "package/Definition.h"
#include "package/Package.h"
#include "package/SafeName.h"

using namespace stw;

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
