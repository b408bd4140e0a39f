// The text printer against the recording printer: page frame, tabs, word
// wrap, header and footer macros, page breaks and how a run ends. Every
// expected number is worked out by hand in the comment beside it.
//
// The usual page: 100 dpi, 1000 x 1000 pixels, no unprintable edge, margins
// of one inch: top = left = 100, usable 800 x 800. The font: 90 + 10
// pixels, so single-spaced lines are 100 apart and a page holds 8 of them;
// every character 10 pixels wide, so a line holds 80 characters.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/host/HostPrinter.h"
#include "ui/TextPrinter.h"

using namespace stw;

namespace {

// "line 1" to "line n".
std::vector<std::string> Numbered(int n) {
  std::vector<std::string> lines;
  for (int i = 1; i <= n; ++i) lines.push_back("line " + std::to_string(i));
  return lines;
}

class TextPrinterTest : public ::testing::Test {
 protected:
  TextPrinterTest() {
    printer.geometry = {100, 100, 1000, 1000, 0, 0};
    printer.metrics = {90, 10};
    printer.charWidth = 10;
  }

  // A component made now, so that it sees the printer as set up by then.
  TTextPrinter Make() { return TTextPrinter(printer, "Setup", Clock()); }

  // Now is day 45000 at noon; the document was made on day 44000 at 6:00
  // (the first reading, taken when the component is created).
  TPrintClock Clock() {
    TPrintClock c;
    c.now = [this] { return readings++ == 0 ? 44000.25 : 45000.5; };
    c.shortDate = [](double t) { return "d" + std::to_string(static_cast<long>(std::floor(t))); };
    c.shortTime = [](double t) { return "t" + std::to_string(std::lround((t - std::floor(t)) * 24)); };
    return c;
  }

  const HostPrinter::Job& OnlyJob() const {
    EXPECT_EQ(printer.Jobs().size(), 1u);
    return *printer.Jobs().at(0);
  }

  // The texts drawn on one page, in drawing order.
  std::vector<std::string> TextsOnPage(int page) const {
    std::vector<std::string> texts;
    for (const auto& t : OnlyJob().texts)
      if (t.page == page) texts.push_back(t.text);
    return texts;
  }

  HostPrinter printer;
  int readings = 0;
};

// Fixed pitch of 10 pixels per character.
int Pitch10(const std::string& s) { return static_cast<int>(s.size()) * 10; }

// "W" 20 pixels wide, "i" 5, everything else 10.
int Proportional(const std::string& s) {
  int w = 0;
  for (const char c : s) w += c == 'W' ? 20 : c == 'i' ? 5 : 10;
  return w;
}

// ---------------------------------------------------------------- frame

TEST(TextPrinterLayout, RoundsHalvesToEven) {
  EXPECT_EQ(RoundHalfEven(0.5), 0);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(300.5), 300);
  EXPECT_EQ(RoundHalfEven(301.5), 302);
  EXPECT_EQ(RoundHalfEven(2.4), 2);
  EXPECT_EQ(RoundHalfEven(2.6), 3);
  EXPECT_EQ(RoundHalfEven(-1.5), -2);
}

TEST(TextPrinterLayout, MarginsRoundHalvesToEvenAndLoseTheOffsets) {
  TTextPrintSettings s;
  s.MarginLeft = s.MarginTop = s.MarginRight = s.MarginBottom = 0.5f;
  // 0.5 x 601 = 300.5 -> 300 (even); 0.5 x 603 = 301.5 -> 302 (even).
  const PageGeometry page{601, 603, 6000, 7000, 50, 20};
  const TextPageFrame f = ComputePageFrame(s, page, {90, 10});
  EXPECT_EQ(f.left, 250);                       // 300 - 50
  EXPECT_EQ(f.top, 282);                        // 302 - 20
  EXPECT_EQ(f.usableWidth, 6000 - 250 - 300);   // 5450
  EXPECT_EQ(f.usableHeight, 7000 - 282 - 302);  // 6416
  EXPECT_EQ(f.lineHeight, 100);
  EXPECT_EQ(f.linesPerPage, 64);  // 6416 div 100
}

TEST(TextPrinterLayout, AMarginInsideTheUnprintableEdgeBecomesZero) {
  TTextPrintSettings s;
  s.MarginLeft = 0.1f;  // 60 pixels, inside an edge of 100
  s.MarginTop = 0.0f;
  const TextPageFrame f = ComputePageFrame(s, {600, 600, 5100, 6600, 100, 75}, {100, 20});
  EXPECT_EQ(f.left, 0);
  EXPECT_EQ(f.top, 0);
  EXPECT_EQ(f.usableWidth, 5100 - 0 - 600);
  EXPECT_EQ(f.usableHeight, 6600 - 0 - 600);
}

TEST(TextPrinterLayout, XOfEachAlignment) {
  TTextPrintSettings s;
  // Usable width 1001 - 100 - 100 = 801; its half toward zero is 400.
  const PageGeometry page{100, 100, 1001, 1000, 0, 0};
  s.Alignment = TTextAlignment::txaLeftJustify;
  s.HeaderAlign = TTextAlignment::txaCenter;
  s.FooterAlign = TTextAlignment::txaRightJustify;
  TextPageFrame f = ComputePageFrame(s, page, {90, 10});
  EXPECT_EQ(f.bodyX, 100);
  EXPECT_EQ(f.headerX, 500);
  EXPECT_EQ(f.footerX, 901);
  s.Alignment = TTextAlignment::txaFull;
  s.HeaderAlign = TTextAlignment::txaRightJustify;
  s.FooterAlign = TTextAlignment::txaLeftJustify;
  f = ComputePageFrame(s, page, {90, 10});
  EXPECT_EQ(f.bodyX, 100);
  EXPECT_EQ(f.headerX, 901);
  EXPECT_EQ(f.footerX, 100);
}

TEST(TextPrinterLayout, LineSpacing) {
  TTextPrintSettings s;
  const PageGeometry page{100, 100, 1000, 1000, 0, 0};
  const PrintFontMetrics font{85, 10};  // 95
  EXPECT_EQ(ComputePageFrame(s, page, font).lineHeight, 95);
  EXPECT_EQ(ComputePageFrame(s, page, font).linesPerPage, 8);  // 800 div 95
  s.LineSpacing = TLineSpacing::lsSingleAndAHalf;
  EXPECT_EQ(ComputePageFrame(s, page, font).lineHeight, 142);  // 285 div 2
  EXPECT_EQ(ComputePageFrame(s, page, font).linesPerPage, 5);  // 800 div 142
  s.LineSpacing = TLineSpacing::lsDoubleSpace;
  EXPECT_EQ(ComputePageFrame(s, page, font).lineHeight, 190);
  EXPECT_EQ(ComputePageFrame(s, page, font).linesPerPage, 4);  // 800 div 190
}

TEST(TextPrinterLayout, MarginsLeavingNoRoomAreRefused) {
  TTextPrintSettings s;
  const PageGeometry page{100, 100, 1000, 1000, 0, 0};
  s.MarginTop = 4.5f;
  s.MarginBottom = 4.6f;  // usable height 1000 - 450 - 460 = 90: no line of 100
  EXPECT_THROW(ComputePageFrame(s, page, {90, 10}), ESetupException);
  s = {};
  s.MarginLeft = 5.0f;
  s.MarginRight = 5.0f;  // usable width 0
  EXPECT_THROW(ComputePageFrame(s, page, {90, 10}), ESetupException);
}

// ---------------------------------------------------------------- tabs

TEST(TextPrinterLayout, TabsGoToTheNextStop) {
  EXPECT_EQ(ExpandTabs("\tx", 8), std::string(8, ' ') + "x");           // column 1: 8
  EXPECT_EQ(ExpandTabs("ab\tx", 8), "ab" + std::string(6, ' ') + "x");  // column 3: 8 - 2
  // The second tab stands at column 9 after the first one's expansion.
  EXPECT_EQ(ExpandTabs("\t\ty", 8), std::string(16, ' ') + "y");
  EXPECT_EQ(ExpandTabs("abcdefgh\tx", 8), "abcdefgh" + std::string(8, ' ') + "x");  // column 9
  EXPECT_EQ(ExpandTabs("a\tb", 4), "a   b");
  // Columns count characters, not bytes: "ä" is one.
  EXPECT_EQ(ExpandTabs("\xC3\xA4\tx", 8), "\xC3\xA4" + std::string(7, ' ') + "x");
  EXPECT_EQ(ExpandTabs("no tab", 8), "no tab");
}

// ---------------------------------------------------------------- word wrap

TEST(TextPrinterLayout, AWordWiderThanThePageIsCutAtTheEstimate) {
  // 130 characters, 1300 pixels, on 800: estimate 130 x 800 div 1300 = 80.
  const std::string word = std::string(80, 'a') + std::string(50, 'b');
  EXPECT_EQ(WrapLines({word}, 800, Pitch10), (std::vector<std::string>{std::string(80, 'a'), std::string(50, 'b')}));
}

TEST(TextPrinterLayout, TheCutStaysAtTheEstimateEvenWhenThatPieceIsTooWide) {
  // 10 x "W" and 10 x "i": 20 characters, 250 pixels, on 100:
  // estimate 20 x 100 div 250 = 8 ("WWWWWWWW", 160 pixels);
  // then 12 characters, 2 x 20 + 10 x 5 = 90 pixels: fits.
  const std::string word = std::string(10, 'W') + std::string(10, 'i');
  EXPECT_EQ(WrapLines({word}, 100, Proportional),
            (std::vector<std::string>{std::string(8, 'W'), "WW" + std::string(10, 'i')}));
}

TEST(TextPrinterLayout, AHyphenStaysAtTheEndOfTheFirstPiece) {
  // 70 x "x", a space and "well-known": 81 characters. The estimate 80
  // has no break after it, so the search goes back from the line's end:
  // after "well-" (76 characters, 760 pixels) fits.
  const std::string line = std::string(70, 'x') + " well-known";
  EXPECT_EQ(WrapLines({line}, 800, Pitch10), (std::vector<std::string>{std::string(70, 'x') + " well-", "known"}));
}

TEST(TextPrinterLayout, ASpaceAtTheBreakIsDropped) {
  // 75 x "x", a space, 10 x "y": 86 characters; the only break is the
  // space at 75, which fits; the space goes.
  const std::string line = std::string(75, 'x') + " " + std::string(10, 'y');
  EXPECT_EQ(WrapLines({line}, 800, Pitch10), (std::vector<std::string>{std::string(75, 'x'), std::string(10, 'y')}));
}

TEST(TextPrinterLayout, TheBreakMovesForwardThenBackToTheLastThatFits) {
  // Ten words of 9 letters: 99 characters. Estimate 99 x 800 div 990 = 80;
  // the next break is the space at 89 (too wide), the one before it at 79.
  std::vector<std::string> words;
  std::string line;
  for (char c = 'a'; c < 'a' + 10; ++c) {
    words.push_back(std::string(9, c));
    line += (line.empty() ? "" : " ") + words.back();
  }
  std::string first;
  for (int i = 0; i < 8; ++i) first += (i ? " " : "") + words[i];
  EXPECT_EQ(WrapLines({line}, 800, Pitch10), (std::vector<std::string>{first, words[8] + " " + words[9]}));
}

TEST(TextPrinterLayout, TheBreakExtendsToLaterBreaksWhileThePieceFits) {
  // "iiii iiii iiii iiii WWWW": 24 characters, 4 x 20 + 4 x 10 + 80 = 200
  // pixels, on 110: estimate 24 x 110 div 200 = 13, next break 14 (80
  // pixels, fits), and the break at 19 (110 pixels) still fits.
  const std::string line = "iiii iiii iiii iiii WWWW";
  EXPECT_EQ(WrapLines({line}, 110, Proportional), (std::vector<std::string>{"iiii iiii iiii iiii", "WWWW"}));
}

TEST(TextPrinterLayout, EmptyAndFittingLinesStayAsTheyAre) {
  EXPECT_EQ(WrapLines({"", "short", ""}, 800, Pitch10), (std::vector<std::string>{"", "short", ""}));
  // Exactly the width fits.
  EXPECT_EQ(WrapLines({std::string(80, 'z')}, 800, Pitch10), (std::vector<std::string>{std::string(80, 'z')}));
}

TEST(TextPrinterLayout, WrappingStopsWhenAsked) {
  int asked = 0;
  const auto lines = WrapLines({"one", "two", "three"}, 800, Pitch10, [&] { return ++asked > 2; });
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
}

// ---------------------------------------------------------------- macros

TEST(TextPrinterLayout, DocumentMacros) {
  const TMacroFacts facts{"DATE", "TIME", "FDATE", "FTIME", "Title"};
  const auto expand = [&](const std::string& s) { return ExpandDocumentMacros(s, facts, 5).ForPage(2); };
  EXPECT_EQ(expand("Page %P of %N"), "Page 2 of 5");
  EXPECT_EQ(expand("%d %t %fd %Ft %FN %n %p"), "DATE TIME FDATE FTIME Title 5 2");
  EXPECT_EQ(expand("100%% %X %F %Fx %"), "100% %X %F %Fx %");
  // What a macro produced is not read again: "%%P" is the text "%P".
  EXPECT_EQ(expand("%%P %%%P"), "%P %2");
  EXPECT_TRUE(ExpandDocumentMacros("", facts, 5).Empty());
  EXPECT_TRUE(ExpandDocumentMacros("%FN", {"", "", "", "", ""}, 5).Empty());
  EXPECT_FALSE(ExpandDocumentMacros("%P", facts, 5).Empty());
}

TEST(TextPrinterLayout, ATitleHoldingAMacroIsPrintedAsItIs) {
  const TMacroFacts facts{"", "", "", "", "50%P %N"};
  EXPECT_EQ(ExpandDocumentMacros("[%FN] %P", facts, 3).ForPage(1), "[50%P %N] 1");
}

// ---------------------------------------------------------------- pages

TEST(TextPrinterLayout, HeaderAndFooterOnEveryPage) {
  TTextPrintSettings s;
  const TextPageFrame f = ComputePageFrame(s, {100, 100, 1000, 1000, 0, 0}, {90, 10});
  ASSERT_EQ(f.linesPerPage, 8);
  // 8 lines - 2 for the header - 2 for the footer = 4 body lines per page;
  // 18 lines make 5 pages.
  std::vector<std::string> body;
  for (int i = 1; i <= 18; ++i) body.push_back(std::string("b").append(std::to_string(i)));
  const auto pages = LayoutPages(f, s, body, "Page %P of %N", "- %p -", {});
  ASSERT_EQ(pages.size(), 5u);
  // Page 2: header at the top, centred at 100 + 800 / 2; the footer on
  // the last line, 100 + 7 x 100; the body from the third line.
  const TPageLayout expected{
      {500, 100, PrintAlign::Centre, "Page 2 of 5"},
      {500, 800, PrintAlign::Centre, "- 2 -"},
      {100, 300, PrintAlign::Left, "b5"},
      {100, 400, PrintAlign::Left, "b6"},
      {100, 500, PrintAlign::Left, "b7"},
      {100, 600, PrintAlign::Left, "b8"},
  };
  EXPECT_EQ(pages[1], expected);
  // The last page holds the two lines left, with its header and footer.
  ASSERT_EQ(pages[4].size(), 4u);
  EXPECT_EQ(pages[4][0].text, "Page 5 of 5");
  EXPECT_EQ(pages[4][1].y, 800);
  EXPECT_EQ(pages[4][3].text, "b18");
}

TEST(TextPrinterLayout, AFooterAloneIsOnTheLastLine) {
  TTextPrintSettings s;
  const TextPageFrame f = ComputePageFrame(s, {100, 100, 1000, 1000, 0, 0}, {90, 10});
  // 6 body lines per page: the footer at 100 + (6 + 1) x 100.
  const auto pages = LayoutPages(f, s, {"a", "b", "c", "d", "e", "f", "g"}, "", "%N", {});
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].front(), (TPlacedText{500, 800, PrintAlign::Centre, "2"}));
  EXPECT_EQ(pages[0].back(), (TPlacedText{100, 600, PrintAlign::Left, "f"}));
  EXPECT_EQ(pages[1].back(), (TPlacedText{100, 100, PrintAlign::Left, "g"}));
}

TEST(TextPrinterLayout, AHeaderThatExpandsToNothingStillTakesItsLines) {
  TTextPrintSettings s;
  const TextPageFrame f = ComputePageFrame(s, {100, 100, 1000, 1000, 0, 0}, {90, 10});
  // "%FN" of an empty title prints nothing, but the body still starts on
  // the third line and a page holds 6 body lines.
  const auto pages = LayoutPages(f, s, Numbered(7), "%FN", "", {});
  ASSERT_EQ(pages.size(), 2u);
  ASSERT_EQ(pages[0].size(), 6u);
  EXPECT_EQ(pages[0][0], (TPlacedText{100, 100, PrintAlign::Left, "line 1"}));
}

TEST(TextPrinterLayout, HeaderAndFooterLeavingNoBodyLineAreRefused) {
  TTextPrintSettings s;
  // 450 usable pixels: 4 lines, all taken by the header and the footer.
  s.MarginBottom = 4.5f;
  const TextPageFrame f = ComputePageFrame(s, {100, 100, 1000, 1000, 0, 0}, {90, 10});
  ASSERT_EQ(f.linesPerPage, 4);
  EXPECT_THROW(LayoutPages(f, s, {"x"}, "h", "f", {}), ESetupException);
  EXPECT_EQ(LayoutPages(f, s, {"x"}, "h", "", {}).size(), 1u);
}

// ---------------------------------------------------------------- Print

TEST_F(TextPrinterTest, Defaults) {
  TTextPrinter p = Make();
  EXPECT_EQ(p.Alignment, TTextAlignment::txaLeftJustify);
  EXPECT_EQ(p.HeaderAlign, TTextAlignment::txaCenter);
  EXPECT_EQ(p.FooterAlign, TTextAlignment::txaCenter);
  EXPECT_EQ(p.LineSpacing, TLineSpacing::lsSingleSpace);
  EXPECT_EQ(p.MarginLeft, 1.0f);
  EXPECT_EQ(p.MarginTop, 1.0f);
  EXPECT_EQ(p.MarginRight, 1.0f);
  EXPECT_EQ(p.MarginBottom, 1.0f);
  EXPECT_EQ(p.TabSize, 8);
  EXPECT_TRUE(p.WordWrap);
  EXPECT_TRUE(p.Header.empty());
  EXPECT_TRUE(p.Footer.empty());
  EXPECT_FALSE(p.OnConfirm);
  EXPECT_EQ(p.Font.Name, "Arial");
  EXPECT_EQ(p.Font.Height, -13);
  EXPECT_EQ(p.Font.Points(), 10);  // 13 x 72 / 96 = 9.75
  EXPECT_EQ(p.Font.Color, kWindowTextColour);
  EXPECT_FALSE(p.PrintAborted);
  EXPECT_EQ(p.DocumentDateTime, 44000.25);
  EXPECT_TRUE(p.PrinterInstalled());
}

TEST_F(TextPrinterTest, PrintsOneJobWithTitleFontAndLines) {
  TTextPrinter p = Make();
  p.Print({"first", "\tsecond", "", "last"}, "Licence");
  const auto& job = OnlyJob();
  EXPECT_EQ(job.title, "Setup - Licence");
  ASSERT_EQ(job.fonts.size(), 1u);
  EXPECT_EQ(job.fonts[0], (PrintFont{"Arial", 10, false, false, false, kWindowTextColour}));
  EXPECT_TRUE(job.ended);
  EXPECT_FALSE(job.aborted);
  EXPECT_EQ(job.pages, 1);
  ASSERT_EQ(job.texts.size(), 4u);
  EXPECT_EQ(job.texts[0].text, "first");
  EXPECT_EQ(job.texts[0].x, 100);
  EXPECT_EQ(job.texts[0].y, 100);
  EXPECT_EQ(job.texts[1].text, std::string(8, ' ') + "second");
  EXPECT_EQ(job.texts[1].y, 200);
  EXPECT_EQ(job.texts[2].text, "");
  EXPECT_EQ(job.texts[3].y, 400);
  EXPECT_EQ(job.texts[3].align, PrintAlign::Left);
}

TEST_F(TextPrinterTest, AnEmptyTitleStillGivesTheSeparator) {
  TTextPrinter p = Make();
  p.Print({"x"}, "");
  EXPECT_EQ(OnlyJob().title, "Setup - ");
}

TEST_F(TextPrinterTest, HeaderAndFooterWithPageOfPages) {
  TTextPrinter p = Make();
  p.Header = "Page %P of %N";
  p.Footer = "%FN %fd %FT / %D %T 100%% %Q";
  p.Print(Numbered(18), "Doc");  // 4 body lines per page: 5 pages
  const auto& job = OnlyJob();
  EXPECT_EQ(job.pages, 5);
  EXPECT_TRUE(job.ended);
  const std::vector<std::string> page2 = TextsOnPage(2);
  ASSERT_EQ(page2.size(), 6u);
  EXPECT_EQ(page2[0], "Page 2 of 5");
  EXPECT_EQ(page2[1], "Doc d44000 t6 / d45000 t12 100% %Q");
  EXPECT_EQ(page2[2], "line 5");
  EXPECT_EQ(page2[5], "line 8");
  for (const auto& t : job.texts) {
    if (t.text.starts_with("Page ")) {
      EXPECT_EQ(t.y, 100);
      EXPECT_EQ(t.x, 500);
      EXPECT_EQ(t.align, PrintAlign::Centre);
    }
    if (t.text.starts_with("Doc ")) {
      EXPECT_EQ(t.y, 800);  // the last line
    }
  }
  EXPECT_EQ(TextsOnPage(5), (std::vector<std::string>{"Page 5 of 5", page2[1], "line 17", "line 18"}));
}

TEST_F(TextPrinterTest, LineSpacingOneAndAHalfAndDouble) {
  printer.metrics = {85, 10};  // 95
  {
    TTextPrinter p = Make();
    p.LineSpacing = TLineSpacing::lsSingleAndAHalf;  // 142 apart, 5 per page
    p.Print(Numbered(6), "");
  }
  {
    TTextPrinter p = Make();
    p.LineSpacing = TLineSpacing::lsDoubleSpace;  // 190 apart, 4 per page
    p.Print(Numbered(6), "");
  }
  ASSERT_EQ(printer.Jobs().size(), 2u);
  const auto& half = *printer.Jobs()[0];
  EXPECT_EQ(half.pages, 2);
  ASSERT_EQ(half.texts.size(), 6u);
  EXPECT_EQ(half.texts[1].y, 242);
  EXPECT_EQ(half.texts[4].y, 668);  // 100 + 4 x 142
  EXPECT_EQ(half.texts[5].page, 2);
  EXPECT_EQ(half.texts[5].y, 100);
  const auto& twice = *printer.Jobs()[1];
  EXPECT_EQ(twice.pages, 2);
  EXPECT_EQ(twice.texts[3].y, 670);  // 100 + 3 x 190
  EXPECT_EQ(twice.texts[4].page, 2);
}

TEST_F(TextPrinterTest, BodyAlignment) {
  printer.geometry.physicalWidth = 1001;  // usable 801
  const struct {
    TTextAlignment alignment;
    int x;
    PrintAlign drawn;
  } cases[] = {{TTextAlignment::txaLeftJustify, 100, PrintAlign::Left},
               {TTextAlignment::txaCenter, 500, PrintAlign::Centre},
               {TTextAlignment::txaRightJustify, 901, PrintAlign::Right},
               {TTextAlignment::txaFull, 100, PrintAlign::Left}};
  for (const auto& c : cases) {
    TTextPrinter p = Make();
    p.Alignment = c.alignment;
    p.Print({"text"}, "");
    const auto& t = printer.Jobs().back()->texts.at(0);
    EXPECT_EQ(t.x, c.x);
    EXPECT_EQ(t.align, c.drawn);
  }
}

TEST_F(TextPrinterTest, WrapsThroughThePrintersMeasure) {
  TTextPrinter p = Make();
  p.Print({std::string(70, 'x') + " well-known"}, "");
  EXPECT_EQ(TextsOnPage(1), (std::vector<std::string>{std::string(70, 'x') + " well-", "known"}));
}

TEST_F(TextPrinterTest, WithoutWordWrapLinesStayWhole) {
  TTextPrinter p = Make();
  p.WordWrap = false;
  const std::string line = std::string(70, 'x') + " well-known";
  p.Print({line}, "");
  EXPECT_EQ(TextsOnPage(1), (std::vector<std::string>{line}));
}

TEST_F(TextPrinterTest, OnConfirmSeesThePagesAndCanCallItOff) {
  TTextPrinter p = Make();
  p.PrintAborted = true;  // cleared by Print before anything happens
  int pages = 0;
  bool abortOnEntry = true;
  TTextPrinter* sender = nullptr;
  p.OnConfirm = [&](TTextPrinter& s, bool& abort, int n) {
    sender = &s;
    abortOnEntry = abort;
    pages = n;
    abort = true;
  };
  EXPECT_THROW(p.Print(Numbered(17), ""), EPrintAborted);  // 8 per page: 3
  EXPECT_EQ(sender, &p);
  EXPECT_FALSE(abortOnEntry);
  EXPECT_EQ(pages, 3);
  EXPECT_TRUE(p.PrintAborted);
  const auto& job = OnlyJob();
  EXPECT_TRUE(job.aborted);
  EXPECT_FALSE(job.ended);
  EXPECT_TRUE(job.texts.empty());
}

TEST_F(TextPrinterTest, OnConfirmLettingItGoPrints) {
  TTextPrinter p = Make();
  p.OnConfirm = [](TTextPrinter&, bool&, int) {};
  p.Print(Numbered(17), "");
  EXPECT_TRUE(OnlyJob().ended);
  EXPECT_EQ(OnlyJob().pages, 3);
  EXPECT_EQ(OnlyJob().texts.size(), 17u);
}

TEST_F(TextPrinterTest, AbortedWhileWrappingIsSilent) {
  TTextPrinter p = Make();
  printer.onMeasure = [&](const std::string&) { p.PrintAborted = true; };
  EXPECT_THROW(p.Print({"one", "two"}, ""), EPrintAborted);
  EXPECT_TRUE(OnlyJob().aborted);
  EXPECT_TRUE(OnlyJob().texts.empty());
}

TEST_F(TextPrinterTest, ASilentAbortIsNoSetupException) {
  // The caller shows ESetupException texts; a cancelled run must not be one.
  TTextPrinter p = Make();
  p.OnConfirm = [](TTextPrinter&, bool& abort, int) { abort = true; };
  try {
    p.Print({"x"}, "");
    FAIL() << "no exception";
  } catch (const ESetupException&) {
    FAIL() << "a cancelled run reads as an error";
  } catch (const EPrintAborted&) {
  }
}

TEST_F(TextPrinterTest, NoPrinterAtCreation) {
  printer.installed = false;
  TTextPrinter p = Make();
  EXPECT_FALSE(p.PrinterInstalled());
  printer.installed = true;  // too late: the component asked when it was made
  try {
    p.Print({"x"}, "");
    FAIL() << "printed without a printer";
  } catch (const EPrinterError& e) {
    EXPECT_STREQ(e.what(), "No printer found");
  }
  EXPECT_TRUE(printer.Jobs().empty());
}

TEST_F(TextPrinterTest, EmptyText) {
  TTextPrinter p = Make();
  try {
    p.Print({}, "");
    FAIL() << "printed nothing";
  } catch (const EPrinterError&) {
    FAIL() << "not a printer error";
  } catch (const ESetupException& e) {
    EXPECT_STREQ(e.what(), "Cannot print empty text");
  }
  EXPECT_TRUE(printer.Jobs().empty());
}

TEST_F(TextPrinterTest, MarginsTooLargeAbortTheJob) {
  TTextPrinter p = Make();
  p.MarginTop = 5.0f;
  p.MarginBottom = 5.0f;
  try {
    p.Print({"x"}, "");
    FAIL() << "printed without room";
  } catch (const ESetupException& e) {
    EXPECT_STREQ(e.what(), kNoRoomForText);
  }
  EXPECT_TRUE(OnlyJob().aborted);
  EXPECT_TRUE(OnlyJob().texts.empty());
}

TEST_F(TextPrinterTest, HeaderAndFooterTakingEveryLineAbortTheJob) {
  printer.geometry.physicalHeight = 650;  // usable 450: 4 lines
  TTextPrinter p = Make();
  p.Header = "h";
  p.Footer = "f";
  EXPECT_THROW(p.Print({"x"}, ""), ESetupException);
  EXPECT_TRUE(OnlyJob().aborted);
  EXPECT_TRUE(OnlyJob().texts.empty());
}

TEST_F(TextPrinterTest, ADeviceFailureAbortsTheJobAndPropagates) {
  printer.failAtDraw = 3;
  TTextPrinter p = Make();
  EXPECT_THROW(p.Print(Numbered(5), ""), EPrinterError);
  EXPECT_TRUE(OnlyJob().aborted);
  EXPECT_FALSE(OnlyJob().ended);
  EXPECT_EQ(OnlyJob().texts.size(), 2u);
}

TEST_F(TextPrinterTest, AJobThatCannotStart) {
  printer.refuseBegin = "The printer is offline";
  TTextPrinter p = Make();
  try {
    p.Print({"x"}, "");
    FAIL();
  } catch (const EPrinterError& e) {
    EXPECT_STREQ(e.what(), "The printer is offline");
  }
}

TEST_F(TextPrinterTest, TheDateOfNowIsTakenAtPrintTime) {
  TTextPrinter p = Make();
  p.Header = "%D %T|%FD %FT";
  p.Print({"x"}, "");
  EXPECT_EQ(OnlyJob().texts.at(0).text, "d45000 t12|d44000 t6");
}

}  // namespace
