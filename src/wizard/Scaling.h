// How big the setup window's text is: the user's text size setting, and
// the window scaled with its font so that it stays inside the monitor's
// work area. Pure arithmetic, so the host tests see every case.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>

namespace stw {

// a × b / c rounded half away from zero, the product taken first (in 64
// bits, so it never overflows); 0 when c is 0.
int MulDivRound(int64_t a, int64_t b, int64_t c);

// The font size (points) after the user's text size setting of Windows 10
// and later (TextScaleFactor, percent): 9 points scaled by the factor
// (at most 225), when that is larger than `size`. A factor below 100 or
// none leaves the size as it is.
int TextScaledFontSize(int size, std::optional<uint32_t> textScaleFactor);

// The monitor that shows the window, and the window as designed.
struct WindowRoom {
  int monitorWidth = 0, monitorHeight = 0;
  int workWidth = 0, workHeight = 0;
  int windowWidth = 0, windowHeight = 0;
  int clientWidth = 0, clientHeight = 0;
};

struct WindowScale {
  int fontSize = 0;    // points, perhaps lowered to make the window fit
  int fontHeight = 0;  // H: pixels
  // The form and its controls are scaled by fontHeight / designedHeight.
  bool scaled = false;
  int lineUnit = 28;  // the line height unit, in pixels
  // A length of the design scaled as the form is.
  int Scale(int designed, int designedHeight) const {
    return scaled ? MulDivRound(designed, fontHeight, designedHeight) : designed;
  }
};

// The pixel height of a font of `size` points on a screen of `ppi`.
int FontPixelHeight(int size, int ppi);

// The font size and scale of the window. `designedHeight` (H0) is the
// form's font height as designed, at 96 pixels per inch. The font is
// lowered a point at a time, down to 8 points, while the scaled client
// area would reach the room the monitor leaves (its work area less the
// taskbars, less the window's frame); a font below the designed height
// at this screen's resolution is raised to it. `heightOfSize` gives the
// pixel height of a size (FontPixelHeight at the screen's ppi when empty).
WindowScale ScaleWindow(int designedHeight, int ppi, int fontSize, const WindowRoom& room,
                        const std::function<int(int)>& heightOfSize = {});

}  // namespace stw
