// TTextPrinter: prints a list of plain-text lines on the default printer as
// one job, with margins in inches, tab expansion, word wrap, line spacing
// and an optional header and footer line whose text may hold date, time,
// page and document macros. The setup form owns one, `TextPrinter`, for
// the Print button of the licence page.
//
// The layout is kept apart from the device: the page frame, the wrapped
// lines and the placed texts of every page are pure functions of the
// lines, the font metrics and the page geometry (below), and Print only
// asks the device for those facts and draws what the layout says.
//
// Not thread-safe: a text printer belongs to the user-interface thread.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Printer.h"

namespace stw {

enum class TTextAlignment { txaLeftJustify, txaCenter, txaRightJustify, txaFull };
enum class TLineSpacing { lsSingleSpace, lsSingleAndAHalf, lsDoubleSpace };

// A print run that was called off (by OnConfirm, or PrintAborted set while
// it ran): the job is discarded and the caller shows nothing. Deliberately
// not an ESetupException, so a handler that shows those lets it through.
class EPrintAborted : public std::runtime_error {
 public:
  EPrintAborted() : std::runtime_error("printing cancelled") {}
};

// The font of everything printed, as a form describes it: a height in
// pixels at 96 dpi (negative: the character height without the internal
// leading, as a form's font gives it). On the printer it becomes the same
// size in points.
struct TPrintFont {
  std::string Name = "Arial";
  int Height = -13;
  PrintColour Color = kWindowTextColour;
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  // 13 pixels at 96 dpi: 9.75 points, which rounds to 10.
  int Points() const;
};

// The published settings that shape a page.
struct TTextPrintSettings {
  TTextAlignment Alignment = TTextAlignment::txaLeftJustify;
  TTextAlignment HeaderAlign = TTextAlignment::txaCenter;
  TTextAlignment FooterAlign = TTextAlignment::txaCenter;
  TLineSpacing LineSpacing = TLineSpacing::lsSingleSpace;
  // Inches from the sheet's edges.
  float MarginLeft = 1.0f, MarginTop = 1.0f, MarginRight = 1.0f, MarginBottom = 1.0f;
  // Characters between tab stops.
  uint8_t TabSize = 8;
  bool WordWrap = true;
};

// ---------------------------------------------------------------- layout

// Where text goes on every page, in device pixels from the printable
// area's corner.
struct TextPageFrame {
  int top = 0, left = 0;
  int usableWidth = 0, usableHeight = 0;
  int lineHeight = 0;    // the pitch of body lines, line spacing included
  int linesPerPage = 0;  // body lines and the header's and footer's lines
  int bodyX = 0, headerX = 0, footerX = 0;
};

// Integer rounding of a float: to the nearest, halves to the even one.
int RoundHalfEven(double value);

// The frame of a page from the settings and the device's facts. Throws
// ESetupException "The margins leave no room for text" when not one line
// or no width at all is left between the margins.
TextPageFrame ComputePageFrame(const TTextPrintSettings& settings, const PageGeometry& page,
                               const PrintFontMetrics& font);

// Replaces each tab by the spaces up to the next tab stop: a tab at
// 1-based column c (counted in the line as expanded so far, in UTF-16
// units) becomes tabSize - ((c - 1) mod tabSize) spaces. A tab size of 0
// puts a stop at every column (a tab becomes one space).
std::string ExpandTabs(const std::string& line, int tabSize);

// Breaks each line wider than `width` (as `measure` tells) into pieces that
// fit: at a space (which is dropped) or after a hyphen (which stays at the
// end of its piece), as far right as still fits. A word that fits nowhere
// is cut where its estimated fit ends. `stop` is asked before each line;
// when it says so, wrapping ends with the lines done so far.
std::vector<std::string> WrapLines(const std::vector<std::string>& lines, int width,
                                   const std::function<int(const std::string&)>& measure,
                                   const std::function<bool()>& stop = {});

// The number of body lines on each page once the header and the footer
// took their two lines each; not positive when they leave none.
int BodyLinesPerPage(const TextPageFrame& frame, bool header, bool footer);
// ceiling(lines / perPage); perPage must be positive.
int PageCount(size_t lines, int perPage);

// A header or footer with its document-level macros expanded: the literal
// pieces, between which the page number goes. Keeping the page number's
// places apart means nothing that a document macro produced (a "%" from
// "%%", a title holding "%P") is ever taken for a macro again.
struct TMacroText {
  std::vector<std::string> pieces;  // pieces.size() - 1 page numbers
  bool Empty() const;
  std::string ForPage(int page) const;
};
// The facts the document-level macros stand for, but the page count.
struct TMacroFacts {
  std::string date, time;          // %D %T: now
  std::string fileDate, fileTime;  // %FD %FT: the document's date-time
  std::string fileName;            // %FN: the document title
};
// Expands %% %D %T %N %FD %FT %FN (letters in either case) and marks each
// %P; a "%" before anything else stays as it is.
TMacroText ExpandDocumentMacros(const std::string& text, const TMacroFacts& facts, int pages);

struct TPlacedText {
  int x = 0, y = 0;
  PrintAlign align = PrintAlign::Left;
  std::string text;
  bool operator==(const TPlacedText&) const = default;
};
using TPageLayout = std::vector<TPlacedText>;  // in drawing order

// Every page of the document: a non-empty header template takes the first
// two lines of each page, a non-empty footer template the last two (its
// text on the very last line), the body lines fill the rest; the macros
// are expanded, and a header or footer that expands to nothing is not
// drawn (its lines stay taken). Throws ESetupException when the header and
// footer leave no line for the body.
std::vector<TPageLayout> LayoutPages(const TextPageFrame& frame, const TTextPrintSettings& settings,
                                     const std::vector<std::string>& body, const std::string& header,
                                     const std::string& footer, const TMacroFacts& facts);

// The texts of the failures that the layout reports.
extern const char* const kNoRoomForText;

// ---------------------------------------------------------------- component

// Local date-times are days since 1899-12-30, the fraction the time of day.
struct TPrintClock {
  std::function<double()> now = LocalDateTimeNow;
  std::function<std::string(double)> shortDate = ShortDateText;
  std::function<std::string(double)> shortTime = ShortTimeText;
};

// Its published properties are public members, those that shape the page
// inherited from the settings that the layout functions above take.
class TTextPrinter : public TTextPrintSettings {
 public:
  // Sender, Abort (bound to PrintAborted, false on entry), page count.
  using TConfirmPrintEvent = std::function<void(TTextPrinter& sender, bool& abort, int pages)>;

  // `applicationTitle` begins every job's title. The printer must outlive
  // the component. Whether a printer is installed and the document
  // date-time are taken now.
  TTextPrinter(IPrinter& printer, std::string applicationTitle, TPrintClock clock = {});

  // The other published properties (the rest come with the settings).
  TPrintFont Font;
  std::string Header, Footer;
  TConfirmPrintEvent OnConfirm;

  // Set while a run is to stop; cleared when a run starts. Whatever runs
  // during printing (OnConfirm, a cancel button serviced by the device)
  // may set it: the run then ends in EPrintAborted.
  bool PrintAborted = false;
  // The document date-time (%FD, %FT), the creation time unless changed.
  double DocumentDateTime = 0;
  bool PrinterInstalled() const { return printerInstalled_; }
  const std::string& ApplicationTitle() const { return applicationTitle_; }

  // Prints the lines as one job titled "<application title> - <title>".
  // Throws EPrinterError "No printer found" when no printer was installed
  // at creation, ESetupException "Cannot print empty text" for no lines,
  // EPrintAborted when called off; every failure after the job began
  // aborts the job first.
  void Print(const std::vector<std::string>& lines, const std::string& title);

 private:
  void PrintOn(IPrintJob& job, const std::vector<std::string>& lines, const std::string& title);
  void StopIfAborted() const;

  IPrinter& printer_;
  std::string applicationTitle_;
  TPrintClock clock_;
  bool printerInstalled_ = false;
};

}  // namespace stw
