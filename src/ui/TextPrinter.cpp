#include "ui/TextPrinter.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "base/Text.h"

namespace stw {

const char* const kNoRoomForText = "The margins leave no room for text";

int TPrintFont::Points() const {
  // As the system's MulDiv: the magnitude, rounded half away from zero.
  // A positive height (the whole cell) is taken as the character height:
  // the two differ by the internal leading, which only the device knows.
  const long long pixels = std::llabs(static_cast<long long>(Height));
  return static_cast<int>((pixels * 72 + 48) / 96);
}

// ---------------------------------------------------------------- layout

int RoundHalfEven(double value) {
  // Spelled out rather than left to the floating-point rounding mode, which
  // a printer driver loaded into the process is free to change.
  const double floor = std::floor(value);
  const double fraction = value - floor;
  double result = floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) result = floor + 1.0;
  return static_cast<int>(result);
}

TextPageFrame ComputePageFrame(const TTextPrintSettings& settings, const PageGeometry& page,
                               const PrintFontMetrics& font) {
  TextPageFrame f;
  // The margins are measured from the sheet's edge, the drawing from the
  // printable area's corner, so the device's offset comes off; a margin
  // smaller than the unprintable edge cannot be honoured and becomes 0.
  f.top = std::max(0, RoundHalfEven(static_cast<double>(settings.MarginTop) * page.dpiY) - page.offsetY);
  f.left = std::max(0, RoundHalfEven(static_cast<double>(settings.MarginLeft) * page.dpiX) - page.offsetX);
  f.usableWidth = page.physicalWidth - f.left - RoundHalfEven(static_cast<double>(settings.MarginRight) * page.dpiX);
  f.usableHeight = page.physicalHeight - f.top - RoundHalfEven(static_cast<double>(settings.MarginBottom) * page.dpiY);

  int line = font.height + font.externalLeading;
  if (settings.LineSpacing == TLineSpacing::lsSingleAndAHalf) line = line * 3 / 2;
  if (settings.LineSpacing == TLineSpacing::lsDoubleSpace) line = line * 2;
  if (line <= 0) throw EPrinterError("The printer reports a font without height");
  f.lineHeight = line;
  f.linesPerPage = f.usableHeight / line;
  // Nothing could be placed: wrapping to no width would cut every line
  // into single characters that still overflow, and a page of no lines
  // would never end the document.
  if (f.linesPerPage <= 0 || f.usableWidth <= 0) throw ESetupException(kNoRoomForText);

  const auto x = [&](TTextAlignment a) {
    switch (a) {
      case TTextAlignment::txaCenter:
        return f.left + f.usableWidth / 2;
      case TTextAlignment::txaRightJustify:
        return f.left + f.usableWidth;
      case TTextAlignment::txaLeftJustify:
      case TTextAlignment::txaFull:
        break;
    }
    return f.left;
  };
  f.bodyX = x(settings.Alignment);
  f.headerX = x(settings.HeaderAlign);
  f.footerX = x(settings.FooterAlign);
  return f;
}

std::string ExpandTabs(const std::string& line, int tabSize) {
  const std::u16string in = Utf8ToUtf16(line);
  if (in.find(u'\t') == std::u16string::npos) return line;
  std::u16string out;
  for (const char16_t c : in) {
    if (c != u'\t') {
      out.push_back(c);
      continue;
    }
    const size_t column = out.size() + 1;  // of the tab, 1-based
    const size_t spaces = tabSize > 0 ? static_cast<size_t>(tabSize) - (column - 1) % static_cast<size_t>(tabSize) : 1;
    out.append(spaces, u' ');
  }
  return Utf16ToUtf8(out);
}

namespace {

// The lengths at which a line may be broken, ascending: before a space
// (the space then goes) or after a hyphen (it stays with the first piece).
// Only from the second character on, so no piece is empty, and never after
// a final hyphen, where nothing would be left for the next line.
std::vector<size_t> BreakPoints(const std::u16string& s) {
  std::vector<size_t> points;
  for (size_t i = 1; i < s.size(); ++i) {
    size_t k = 0;
    if (s[i] == u' ')
      k = i;
    else if (s[i] == u'-' && i + 1 < s.size())
      k = i + 1;
    if (k != 0 && (points.empty() || points.back() != k)) points.push_back(k);
  }
  return points;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::vector<std::string> WrapLines(const std::vector<std::string>& lines, int width,
                                   const std::function<int(const std::string&)>& measure,
                                   const std::function<bool()>& stop) {
  std::vector<std::string> out;
  for (const std::string& source : lines) {
    if (stop && stop()) break;
    std::u16string line = Utf8ToUtf16(source);
    if (line.empty()) {
      out.emplace_back();
      continue;
    }
    const auto widthOf = [&](size_t n) { return measure(Utf16ToUtf8(std::u16string_view(line).substr(0, n))); };
    int lineWidth = widthOf(line.size());
    while (lineWidth > width) {
      // Where the line would end if every character were as wide as the
      // average one: the starting guess, refined at the break points.
      const size_t length = line.size();
      const long long guess = static_cast<long long>(length) * std::max(width, 0) / lineWidth;
      const size_t estimate = static_cast<size_t>(std::clamp<long long>(guess, 1, static_cast<long long>(length)));
      const std::vector<size_t> points = BreakPoints(line);
      size_t k = estimate;
      if (!points.empty()) {
        // The first break at or after the guess (without one, the whole
        // line, from which the search goes back), then on to later breaks
        // while the piece fits, then back while it does not.
        const auto at = std::lower_bound(points.begin(), points.end(), estimate);
        size_t i = at != points.end() ? static_cast<size_t>(at - points.begin()) : points.size() - 1;
        while (i + 1 < points.size() && widthOf(points[i + 1]) <= width) ++i;
        while (i > 0 && widthOf(points[i]) > width) --i;
        // When even the first word does not fit it is cut where it was
        // guessed to, as a line without any break: that keeps the text on
        // the page, where a whole overlong word would run off its edge.
        if (widthOf(points[i]) <= width) k = points[i];
      }
      // Never between the halves of a surrogate pair.
      if (k < length && IsLowSurrogate(line[k]) && IsHighSurrogate(line[k - 1])) k = k > 1 ? k - 1 : k + 1;
      out.push_back(Utf16ToUtf8(std::u16string_view(line).substr(0, k)));
      line.erase(0, k);
      if (!line.empty() && line.front() == u' ') line.erase(0, 1);
      if (line.empty()) break;
      lineWidth = widthOf(line.size());
    }
    if (!line.empty()) out.push_back(Utf16ToUtf8(line));
  }
  return out;
}

int BodyLinesPerPage(const TextPageFrame& frame, bool header, bool footer) {
  return frame.linesPerPage - (header ? 2 : 0) - (footer ? 2 : 0);
}

int PageCount(size_t lines, int perPage) {
  const size_t per = static_cast<size_t>(perPage);
  return static_cast<int>((lines + per - 1) / per);
}

bool TMacroText::Empty() const { return pieces.size() <= 1 && (pieces.empty() || pieces.front().empty()); }

std::string TMacroText::ForPage(int page) const {
  std::string text;
  const std::string number = std::to_string(page);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) text += number;
    text += pieces[i];
  }
  return text;
}

TMacroText ExpandDocumentMacros(const std::string& text, const TMacroFacts& facts, int pages) {
  TMacroText out;
  out.pieces.emplace_back();
  const auto upper = [&](size_t i) {
    return i < text.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))) : '\0';
  };
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out.pieces.back() += text[i++];
      continue;
    }
    std::string& piece = out.pieces.back();
    const char next = upper(i + 1);
    const char after = next == 'F' ? upper(i + 2) : '\0';
    if (next == '%') {
      piece += '%';
      i += 2;
    } else if (next == 'D') {
      piece += facts.date;
      i += 2;
    } else if (next == 'T') {
      piece += facts.time;
      i += 2;
    } else if (next == 'N') {
      piece += std::to_string(pages);
      i += 2;
    } else if (next == 'P') {
      out.pieces.emplace_back();  // `piece` is not used after this
      i += 2;
    } else if (after == 'D' || after == 'T' || after == 'N') {
      piece += after == 'D' ? facts.fileDate : after == 'T' ? facts.fileTime : facts.fileName;
      i += 3;
    } else {
      piece += '%';
      ++i;
    }
  }
  return out;
}

namespace {

PrintAlign DeviceAlign(TTextAlignment a) {
  switch (a) {
    case TTextAlignment::txaCenter:
      return PrintAlign::Centre;
    case TTextAlignment::txaRightJustify:
      return PrintAlign::Right;
    case TTextAlignment::txaLeftJustify:
    case TTextAlignment::txaFull:  // no justification: drawn from the left
      break;
  }
  return PrintAlign::Left;
}

}  // namespace

std::vector<TPageLayout> LayoutPages(const TextPageFrame& frame, const TTextPrintSettings& settings,
                                     const std::vector<std::string>& body, const std::string& header,
                                     const std::string& footer, const TMacroFacts& facts) {
  const int perPage = BodyLinesPerPage(frame, !header.empty(), !footer.empty());
  if (perPage <= 0) throw ESetupException(kNoRoomForText);
  const int pages = PageCount(body.size(), perPage);
  const TMacroText head = ExpandDocumentMacros(header, facts, pages);
  const TMacroText foot = ExpandDocumentMacros(footer, facts, pages);

  std::vector<TPageLayout> layout;
  size_t next = 0;
  for (int page = 1; next < body.size(); ++page) {
    TPageLayout& texts = layout.emplace_back();
    int y = frame.top;
    if (!head.Empty()) {
      texts.push_back({frame.headerX, y, DeviceAlign(settings.HeaderAlign), head.ForPage(page)});
      y += 2 * frame.lineHeight;
    }
    // Below the body's last line and one blank line: the page's last line.
    if (!foot.Empty())
      texts.push_back(
          {frame.footerX, y + (perPage + 1) * frame.lineHeight, DeviceAlign(settings.FooterAlign), foot.ForPage(page)});
    for (int n = 0; n < perPage && next < body.size(); ++n, y += frame.lineHeight)
      texts.push_back({frame.bodyX, y, DeviceAlign(settings.Alignment), body[next++]});
  }
  return layout;
}

// ---------------------------------------------------------------- component

TTextPrinter::TTextPrinter(IPrinter& printer, std::string applicationTitle, TPrintClock clock)
    : printer_(printer), applicationTitle_(std::move(applicationTitle)), clock_(std::move(clock)) {
  DocumentDateTime = clock_.now ? clock_.now() : 0;
  printerInstalled_ = printer_.Installed();
}

void TTextPrinter::StopIfAborted() const {
  if (PrintAborted) throw EPrintAborted();
}

void TTextPrinter::Print(const std::vector<std::string>& lines, const std::string& title) {
  if (!printerInstalled_) throw EPrinterError("No printer found");
  if (lines.empty()) throw ESetupException("Cannot print empty text");
  PrintAborted = false;
  std::unique_ptr<IPrintJob> job = printer_.BeginDocument(applicationTitle_ + " - " + title);
  try {
    PrintOn(*job, lines, title);
  } catch (...) {
    // Whatever went wrong, the printer must not be left holding half a
    // document: it is discarded before the failure reaches the caller.
    job->Abort();
    throw;
  }
}

void TTextPrinter::PrintOn(IPrintJob& job, const std::vector<std::string>& lines, const std::string& title) {
  const PageGeometry page = job.Geometry();
  job.SetFont({Font.Name, Font.Points(), Font.Bold, Font.Italic, Font.Underline, Font.Color});
  const TextPageFrame frame = ComputePageFrame(*this, page, job.FontMetrics());
  // Said now rather than after the wrapping: nothing is lost by knowing
  // early that the header and footer leave no room.
  const int perPage = BodyLinesPerPage(frame, !Header.empty(), !Footer.empty());
  if (perPage <= 0) throw ESetupException(kNoRoomForText);

  std::vector<std::string> working;
  working.reserve(lines.size());
  for (const std::string& line : lines) {
    working.push_back(ExpandTabs(line, TabSize));
    StopIfAborted();
  }
  std::vector<std::string> body =
      WordWrap ? WrapLines(
                     working, frame.usableWidth, [&](const std::string& s) { return job.TextWidth(s); },
                     [&] { return PrintAborted; })
               : std::move(working);
  StopIfAborted();

  if (OnConfirm) {
    OnConfirm(*this, PrintAborted, PageCount(body.size(), perPage));
    StopIfAborted();
  }

  const double now = clock_.now ? clock_.now() : DocumentDateTime;
  const auto date = [&](double t) { return clock_.shortDate ? clock_.shortDate(t) : std::string(); };
  const auto time = [&](double t) { return clock_.shortTime ? clock_.shortTime(t) : std::string(); };
  const TMacroFacts facts{date(now), time(now), date(DocumentDateTime), time(DocumentDateTime), title};
  const std::vector<TPageLayout> layout = LayoutPages(frame, *this, body, Header, Footer, facts);

  for (size_t p = 0; p < layout.size(); ++p) {
    StopIfAborted();
    if (p > 0) job.NewPage();
    for (const TPlacedText& t : layout[p]) job.DrawText(t.x, t.y, t.align, t.text);
  }
  job.End();
}

}  // namespace stw
