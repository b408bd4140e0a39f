#include "platform/win32/Win32Printer.h"

#include <cmath>
#include <cwchar>
#include <iterator>
#include <type_traits>
#include <vector>

#include "base/Text.h"
#include "platform/win32/Win32Common.h"

#include <winspool.h>

// winuser.h renames DrawText to its W form, which would rename our own
// member of that name.
#undef DrawText

namespace stw {

using win32::Narrow;
using win32::SystemMessage;
using win32::SystemRoutine;
using win32::Wide;

namespace {

// The routines of gdi32 and winspool.drv, looked up once. Neither DLL is
// one the system keeps loaded, so importing them would let a copy planted
// beside the setup run first (Win32Common.h).
struct PrintRoutines {
  decltype(&::GetDefaultPrinterW) getDefaultPrinter = nullptr;
  decltype(&::EnumPrintersW) enumPrinters = nullptr;
  decltype(&::CreateDCW) createDC = nullptr;
  decltype(&::DeleteDC) deleteDC = nullptr;
  decltype(&::StartDocW) startDoc = nullptr;
  decltype(&::EndDoc) endDoc = nullptr;
  decltype(&::AbortDoc) abortDoc = nullptr;
  decltype(&::StartPage) startPage = nullptr;
  decltype(&::EndPage) endPage = nullptr;
  decltype(&::GetDeviceCaps) getDeviceCaps = nullptr;
  decltype(&::CreateFontW) createFont = nullptr;
  decltype(&::SelectObject) selectObject = nullptr;
  decltype(&::DeleteObject) deleteObject = nullptr;
  decltype(&::GetTextMetricsW) getTextMetrics = nullptr;
  decltype(&::GetTextExtentPoint32W) getTextExtent = nullptr;
  decltype(&::SetTextAlign) setTextAlign = nullptr;
  decltype(&::SetTextColor) setTextColor = nullptr;
  decltype(&::SetBkMode) setBkMode = nullptr;
  decltype(&::TextOutW) textOut = nullptr;

  bool Complete() const {
    return getDefaultPrinter && enumPrinters && createDC && deleteDC && startDoc && endDoc && abortDoc && startPage &&
           endPage && getDeviceCaps && createFont && selectObject && deleteObject && getTextMetrics && getTextExtent &&
           setTextAlign && setTextColor && setBkMode && textOut;
  }
};

const PrintRoutines& Routines() {
  static const PrintRoutines r = [] {
    PrintRoutines p;
    const auto gdi = [](auto& fn, const char* name) {
      fn = SystemRoutine<std::remove_reference_t<decltype(fn)>>(L"gdi32.dll", name);
    };
    const auto spool = [](auto& fn, const char* name) {
      fn = SystemRoutine<std::remove_reference_t<decltype(fn)>>(L"winspool.drv", name);
    };
    spool(p.getDefaultPrinter, "GetDefaultPrinterW");
    spool(p.enumPrinters, "EnumPrintersW");
    gdi(p.createDC, "CreateDCW");
    gdi(p.deleteDC, "DeleteDC");
    gdi(p.startDoc, "StartDocW");
    gdi(p.endDoc, "EndDoc");
    gdi(p.abortDoc, "AbortDoc");
    gdi(p.startPage, "StartPage");
    gdi(p.endPage, "EndPage");
    gdi(p.getDeviceCaps, "GetDeviceCaps");
    gdi(p.createFont, "CreateFontW");
    gdi(p.selectObject, "SelectObject");
    gdi(p.deleteObject, "DeleteObject");
    gdi(p.getTextMetrics, "GetTextMetricsW");
    gdi(p.getTextExtent, "GetTextExtentPoint32W");
    gdi(p.setTextAlign, "SetTextAlign");
    gdi(p.setTextColor, "SetTextColor");
    gdi(p.setBkMode, "SetBkMode");
    gdi(p.textOut, "TextOutW");
    return p;
  }();
  return r;
}

const PrintRoutines& Required() {
  const PrintRoutines& r = Routines();
  if (!r.Complete()) throw EPrinterError("Printing is not available on this system");
  return r;
}

// The failure of a device call, with the system's reason for the user and
// the call's name for the diagnostics.
[[noreturn]] void Fail(const char* call) {
  const DWORD code = GetLastError();
  const std::string text = code != 0 ? SystemMessage(code) : std::string("The printer reported an error");
  throw EPrinterError(text, std::string(call) + ": " + text);
}

COLORREF Resolve(PrintColour colour) {
  return (colour & kSystemColourBit) ? GetSysColor(static_cast<int>(colour & 0xFF)) : static_cast<COLORREF>(colour);
}

class Win32PrintJob : public IPrintJob {
 public:
  // Takes the device context, on which the document has been started.
  explicit Win32PrintJob(HDC dc) : r_(Routines()), dc_(dc) {}

  ~Win32PrintJob() override {
    if (!finished_) r_.abortDoc(dc_);
    if (font_) {
      r_.selectObject(dc_, oldFont_);
      r_.deleteObject(font_);
    }
    r_.deleteDC(dc_);
  }

  // Opens the first page; separate from the constructor so a failure
  // there still aborts the started document in the destructor.
  void Open() {
    if (r_.startPage(dc_) <= 0) Fail("StartPage");
    PrepareCanvas();
  }

  PageGeometry Geometry() override {
    const auto caps = [&](int index) { return r_.getDeviceCaps(dc_, index); };
    return {caps(LOGPIXELSX),     caps(LOGPIXELSY),      caps(PHYSICALWIDTH),
            caps(PHYSICALHEIGHT), caps(PHYSICALOFFSETX), caps(PHYSICALOFFSETY)};
  }

  void SetFont(const PrintFont& font) override {
    // The size in points at the printer's own resolution; a negative
    // height asks for the character height, not the cell's.
    const int height = -MulDiv(font.points, r_.getDeviceCaps(dc_, LOGPIXELSY), 72);
    const std::wstring face = Wide(font.face);
    HFONT created = r_.createFont(height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, font.italic, font.underline, FALSE,
                                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                  DEFAULT_PITCH | FF_DONTCARE, face.c_str());
    if (!created) Fail("CreateFontW");
    HGDIOBJ previous = r_.selectObject(dc_, created);
    if (!previous || previous == HGDI_ERROR) {
      r_.deleteObject(created);
      Fail("SelectObject");
    }
    if (font_) {
      r_.deleteObject(font_);  // `previous` is it: no longer selected
    } else {
      oldFont_ = previous;
    }
    font_ = created;
    colour_ = Resolve(font.colour);
    r_.setTextColor(dc_, colour_);
  }

  PrintFontMetrics FontMetrics() override {
    TEXTMETRICW tm{};
    if (!r_.getTextMetrics(dc_, &tm)) Fail("GetTextMetricsW");
    return {static_cast<int>(tm.tmHeight), static_cast<int>(tm.tmExternalLeading)};
  }

  int TextWidth(const std::string& text) override {
    const std::wstring w = Wide(text);
    SIZE size{};
    if (!r_.getTextExtent(dc_, w.c_str(), static_cast<int>(w.size()), &size)) Fail("GetTextExtentPoint32W");
    return static_cast<int>(size.cx);
  }

  void DrawText(int x, int y, PrintAlign align, const std::string& text) override {
    const UINT horizontal = align == PrintAlign::Centre ? TA_CENTER : align == PrintAlign::Right ? TA_RIGHT : TA_LEFT;
    if (r_.setTextAlign(dc_, TA_TOP | TA_NOUPDATECP | horizontal) == GDI_ERROR) Fail("SetTextAlign");
    const std::wstring w = Wide(text);
    if (!r_.textOut(dc_, x, y, w.c_str(), static_cast<int>(w.size()))) Fail("TextOutW");
  }

  void NewPage() override {
    if (r_.endPage(dc_) <= 0) Fail("EndPage");
    if (r_.startPage(dc_) <= 0) Fail("StartPage");
    PrepareCanvas();
  }

  void End() override {
    if (r_.endPage(dc_) <= 0) Fail("EndPage");
    if (r_.endDoc(dc_) <= 0) Fail("EndDoc");
    finished_ = true;
  }

  void Abort() noexcept override {
    if (finished_) return;
    r_.abortDoc(dc_);
    finished_ = true;
  }

 private:
  // Some drivers reset the device context's attributes at every page:
  // the font, the colour and the transparent background are set again.
  void PrepareCanvas() {
    if (font_) r_.selectObject(dc_, font_);
    r_.setTextColor(dc_, colour_);
    r_.setBkMode(dc_, TRANSPARENT);
  }

  const PrintRoutines& r_;
  HDC dc_;
  HFONT font_ = nullptr;
  HGDIOBJ oldFont_ = nullptr;
  COLORREF colour_ = 0;
  bool finished_ = false;
};

class Win32Printer : public IPrinter {
 public:
  explicit Win32Printer(std::string outputFile) : outputFile_(std::move(outputFile)) {}

  bool Installed() override {
    const PrintRoutines& r = Routines();
    if (!r.enumPrinters) return false;
    // Level 4 asks the spooler's registry only, never a remote server: a
    // quick answer even with network printers that are unreachable.
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0, count = 0;
    if (r.enumPrinters(flags, nullptr, 4, nullptr, 0, &needed, &count)) return count > 0;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
    std::vector<BYTE> buffer(needed);
    return r.enumPrinters(flags, nullptr, 4, buffer.data(), needed, &needed, &count) && count > 0;
  }

  std::unique_ptr<IPrintJob> BeginDocument(const std::string& title) override {
    const PrintRoutines& r = Required();
    DWORD length = 0;
    r.getDefaultPrinter(nullptr, &length);
    if (length == 0) throw EPrinterError("No default printer is set", "GetDefaultPrinterW: no printer");
    std::wstring name(length, L'\0');
    if (!r.getDefaultPrinter(name.data(), &length)) Fail("GetDefaultPrinterW");
    name.resize(wcsnlen(name.c_str(), name.size()));

    HDC dc = r.createDC(L"WINSPOOL", name.c_str(), nullptr, nullptr);
    if (!dc) Fail("CreateDCW");
    const std::wstring documentName = Wide(title);
    const std::wstring output = Wide(outputFile_);
    DOCINFOW info{};
    info.cbSize = sizeof info;
    info.lpszDocName = documentName.c_str();
    info.lpszOutput = outputFile_.empty() ? nullptr : output.c_str();
    if (r.startDoc(dc, &info) <= 0) {
      const DWORD code = GetLastError();
      r.deleteDC(dc);
      SetLastError(code);
      Fail("StartDocW");
    }
    // From here the job owns the context and aborts the document unless
    // it is ended.
    auto job = std::make_unique<Win32PrintJob>(dc);
    job->Open();
    return job;
  }

 private:
  std::string outputFile_;
};

}  // namespace

std::unique_ptr<IPrinter> CreateWin32Printer(const std::string& outputFile) {
  return std::make_unique<Win32Printer>(outputFile);
}

std::unique_ptr<IPrinter> CreateNativePrinter() { return CreateWin32Printer(); }

double LocalDateTimeNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  const int64_t day = DayNumberFromDate(st.wYear, st.wMonth, st.wDay);
  const double ms = ((st.wHour * 60.0 + st.wMinute) * 60.0 + st.wSecond) * 1000.0 + st.wMilliseconds;
  return static_cast<double>(day) + ms / 86400000.0;
}

namespace {

SYSTEMTIME SystemTimeOf(double localDateTime) {
  int y = 0, m = 0, d = 0;
  const double day = std::floor(localDateTime);
  DateFromDayNumber(static_cast<int64_t>(day), y, m, d);
  // Rounded to the second: an exact time of day is seldom exact in binary.
  const long seconds = std::lround((localDateTime - day) * 86400.0) % 86400;
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(seconds / 3600);
  st.wMinute = static_cast<WORD>(seconds / 60 % 60);
  st.wSecond = static_cast<WORD>(seconds % 60);
  return st;
}

}  // namespace

std::string ShortDateText(double localDateTime) {
  const SYSTEMTIME st = SystemTimeOf(localDateTime);
  wchar_t text[128];
  if (!GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, static_cast<int>(std::size(text))))
    return {};
  return Narrow(text);
}

std::string ShortTimeText(double localDateTime) {
  const SYSTEMTIME st = SystemTimeOf(localDateTime);
  wchar_t text[128];
  if (!GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &st, nullptr, text, static_cast<int>(std::size(text))))
    return {};
  return Narrow(text);
}

}  // namespace stw
