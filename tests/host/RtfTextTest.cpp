// The plain text of rich-text documents, as the licence page prints it.
// Every input here is written by hand in the format as documented, not by
// any writer of ours.
#include <gtest/gtest.h>

#include "wizard/RtfText.h"

namespace stw {
namespace {

TEST(RtfText, ParagraphsTabsAndEscapedBracesComeOutAsText) {
  // What a word processor writes for two short paragraphs: the font and
  // colour tables and the document's information are not text.
  const char* rtf =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1 Times New Roman;}}\r\n"
      "{\\colortbl ;\\red255\\green0\\blue0;}{\\info{\\title Licence}{\\author Somebody}}\r\n"
      "\\viewkind4\\uc1\\pard\\f0\\fs20 First \\b bold\\b0  line\\par\r\n"
      "Name:\\tab value \\{braces\\} and a backslash \\\\\\par\r\n"
      "}";
  EXPECT_EQ(RtfToPlainText(rtf), "First bold line\nName:\tvalue {braces} and a backslash \\\n");
  EXPECT_EQ(TextBoxLines(rtf, true),
            (std::vector<std::string>{"First bold line", "Name:\tvalue {braces} and a backslash \\"}));
}

TEST(RtfText, CodePageBytesAndUnicodeEscapesBecomeUtf8) {
  // \'e4 is a-umlaut in code page 1252 and \'80 the euro sign; \u8364? is
  // the euro again with its one-character fallback "?" skipped; a pair of
  // \u escapes (negative as RTF writes 16-bit values) is one emoji.
  const char* rtf = "{\\rtf1\\ansi K\\'e4se \\'80 \\u8364? {\\uc2\\u937 XX}\\u-10179?\\u-8704?\\line end}";
  EXPECT_EQ(RtfToPlainText(rtf), "K\xC3\xA4se \xE2\x82\xAC \xE2\x82\xAC \xCE\xA9\xF0\x9F\x98\x80\nend");
}

TEST(RtfText, IgnorableDestinationsAndFieldsShowOnlyTheirResult) {
  // "{\*\..." is skipped whatever it is; a hyperlink field shows its
  // result, not its instruction.
  const char* rtf =
      "{\\rtf1{\\*\\generator Writer 1.0;}{\\*\\unknownthing hidden}See "
      "{\\field{\\*\\fldinst HYPERLINK \"https://example.invalid\"}{\\fldrslt the site}}.\\par}";
  EXPECT_EQ(RtfToPlainText(rtf), "See the site.\n");
}

TEST(RtfText, DamagedDocumentsGiveWhatCanBeRead) {
  EXPECT_EQ(RtfToPlainText(""), "");
  // Control words that stand for characters.
  EXPECT_EQ(RtfToPlainText("{\\rtf1 a\\emdash b \\ldblquote q\\rdblquote\\bullet}"),
            "a\xE2\x80\x94" "b \xE2\x80\x9Cq\xE2\x80\x9D\xE2\x80\xA2");
  // Binary data is passed over whatever it holds, braces included.
  EXPECT_EQ(RtfToPlainText("{\\rtf1 a{\\*\\blob\\bin4 }}{x}b\\bin99 zz}"), "ab");
  EXPECT_EQ(RtfToPlainText("{\\rtf1 cut off \\"), "cut off ");
  EXPECT_EQ(RtfToPlainText("}}}{\\rtf1 text}}}"), "text");
  EXPECT_EQ(RtfToPlainText("{\\rtf1 \\'4"), "");
  EXPECT_EQ(RtfToPlainText("{\\rtf1 \\u99999999999999?x}"), "x");
  EXPECT_EQ(RtfToPlainText("{\\rtf1 \\'4x\\'zz}"), "xzz");
  std::string deep(100000, '{');
  deep += "deep";
  EXPECT_EQ(RtfToPlainText(deep), "deep");
  // Plain text is split as it is.
  EXPECT_EQ(TextBoxLines("a\r\nb\rc\n\nd", false), (std::vector<std::string>{"a", "b", "c", "", "d"}));
}

}  // namespace
}  // namespace stw
