// Printing on the default printer: what the text printer needs and nothing
// more. A job is one document; everything it is asked is in device pixels
// of the printer. `platform/win32/Win32Printer.h` prints with GDI,
// `platform/host/HostPrinter.h` records what would have been printed.
//
// Text is UTF-8 throughout; widths and lengths are those of the device.
// Not thread-safe: a printer and its jobs belong to the thread that uses
// them (the user-interface thread in the setup).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "base/Errors.h"

namespace stw {

// A failure of the printer itself (none installed, the job refused, the
// device gone); its text is for the user.
class EPrinterError : public ESetupException {
 public:
  using ESetupException::ESetupException;
};

// Where a drawn text stands relative to its x: its left edge, its centre
// or its right edge at x. The top of the text is always at y.
enum class PrintAlign { Left, Centre, Right };

// 0x00BBGGRR as the system stores colours. A value with the top bit set
// names a system colour by its index in the low byte, resolved by the
// printer when the font is selected (kWindowTextColour: the text colour of
// windows, normally black).
using PrintColour = uint32_t;
constexpr PrintColour kSystemColourBit = 0x80000000u;
constexpr PrintColour kWindowTextColour = kSystemColourBit | 8u;  // COLOR_WINDOWTEXT

struct PrintFont {
  std::string face = "Arial";
  int points = 10;  // character height in points (1/72 inch)
  bool bold = false;
  bool italic = false;
  bool underline = false;
  PrintColour colour = kWindowTextColour;
  bool operator==(const PrintFont&) const = default;
};

// The page as the device describes it, in device pixels: resolution per
// inch, the whole sheet, and where the printable area begins on it
// (coordinates of the drawing calls start at that corner).
struct PageGeometry {
  int dpiX = 0, dpiY = 0;
  int physicalWidth = 0, physicalHeight = 0;
  int offsetX = 0, offsetY = 0;
};

// Of the selected font, in device pixels: the character cell height and
// the extra space the font's designer asks for between lines.
struct PrintFontMetrics {
  int height = 0;
  int externalLeading = 0;
};

// One document being printed. Pages are counted from the first, which is
// started by BeginDocument. The job ends with exactly one of End (the
// document goes to the printer) and Abort (the printer discards it); a job
// destroyed without either is aborted. Every call but Abort throws
// EPrinterError when the device fails.
class IPrintJob {
 public:
  virtual ~IPrintJob() = default;
  virtual PageGeometry Geometry() = 0;
  // Selects the font of every text drawn afterwards, on every page.
  virtual void SetFont(const PrintFont& font) = 0;
  virtual PrintFontMetrics FontMetrics() = 0;
  // The width of the text in the current font.
  virtual int TextWidth(const std::string& text) = 0;
  // Draws one line of text, its top at y and placed at x as `align` says.
  virtual void DrawText(int x, int y, PrintAlign align, const std::string& text) = 0;
  // Finishes the current page and starts the next.
  virtual void NewPage() = 0;
  virtual void End() = 0;
  // Never throws: it is called while another failure is on its way.
  virtual void Abort() noexcept = 0;
};

class IPrinter {
 public:
  virtual ~IPrinter() = default;
  // Whether the system has any printer at all, asked now.
  virtual bool Installed() = 0;
  // Starts a document of this title on the default printer; throws
  // EPrinterError with the system's reason when it cannot start. Never null.
  virtual std::unique_ptr<IPrintJob> BeginDocument(const std::string& title) = 0;
};

// The printer of the machine this program runs on: the system's default
// printer on Windows; on the host the simulated machine's, which has none
// (as a fresh Windows without printers).
std::unique_ptr<IPrinter> CreateNativePrinter();

// A local date-time (days since 1899-12-30, the fraction the time of day)
// of now, and in the user's short date and short time formats (on the host
// yyyy-mm-dd and hh:mm): what a printed header shows for its date and time.
double LocalDateTimeNow();
std::string ShortDateText(double localDateTime);
std::string ShortTimeText(double localDateTime);

}  // namespace stw
