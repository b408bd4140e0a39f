#include "wizard/StateImages.h"

#include <algorithm>
#include <cmath>

namespace stw {

int StateImageFor(bool required, bool optional, bool selected, bool previouslyInstalled) {
  if (required) return kStateFixedChosen;
  if (!optional) return selected ? kStateFixedChosen : kStateFixedNotChosen;
  if (selected) return kStateChosen;
  return previouslyInstalled ? kStateInstalledBefore : kStateNotChosen;
}

int StateImageSize(int iconHeight, int ppi) {
  const int h = iconHeight > 0 ? iconHeight : ppi / 6;
  if (h < 20) return 16;
  if (h < 24) return 20;
  if (h < 28) return 24;
  if (h < 32) return 28;
  if (h < 36) return 32;
  if (h < 40) return 36;
  if (h < 48) return 40;
  return 48;
}

namespace {

struct Rgb {
  double r, g, b;
};
constexpr Rgb kBorder{0.20, 0.20, 0.20}, kFixedBorder{0.60, 0.60, 0.60};
constexpr Rgb kFill{1.0, 1.0, 1.0}, kFixedFill{0.88, 0.88, 0.88};
constexpr Rgb kMark{0.10, 0.10, 0.10}, kFixedMark{0.50, 0.50, 0.50};
constexpr Rgb kBefore{0.30, 0.45, 0.65};

Rgb Mix(const Rgb& under, const Rgb& over, double a) {
  return {under.r + (over.r - under.r) * a, under.g + (over.g - under.g) * a, under.b + (over.b - under.b) * a};
}

// Distance of a point from the segment a-b.
double SegmentDistance(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = px - (ax + t * dx), ey = py - (ay + t * dy);
  return std::sqrt(ex * ex + ey * ey);
}

// Every pixel of the box is opaque, so premultiplying changes nothing;
// outside the box the pixels stay 0 (transparent).
uint32_t Opaque(const Rgb& c) {
  const auto channel = [](double v) { return static_cast<uint32_t>(std::lround(v * 255)); };
  return 0xFF000000u | channel(c.r) << 16 | channel(c.g) << 8 | channel(c.b);
}

}  // namespace

StateBitmap DrawStateImage(int image, int size) {
  StateBitmap bmp;
  bmp.size = size;
  bmp.pixels.assign(static_cast<size_t>(size) * size, 0);
  const bool fixed = image == kStateFixedNotChosen || image == kStateFixedChosen;
  const bool checked = image == kStateChosen || image == kStateFixedChosen;
  // The box: a margin of an eighth, a border of a sixteenth (at least one
  // pixel), so that the picture keeps its proportions at every size.
  const int margin = size / 8;
  const int border = std::max(1, size / 16);
  const int lo = margin, hi = size - margin - 1;  // the box's first and last pixel
  const double inner = hi - lo + 1;
  // The check mark's corners, in the box's own coordinates (0 to 1).
  const double ax = 0.22, ay = 0.52, bx = 0.42, by = 0.72, cx = 0.78, cy = 0.30;
  const double half = std::max(1.0, size / 9.0) / 2;
  for (int y = lo; y <= hi; ++y) {
    for (int x = lo; x <= hi; ++x) {
      const bool onBorder = x < lo + border || x > hi - border || y < lo + border || y > hi - border;
      Rgb c = onBorder ? (fixed ? kFixedBorder : kBorder) : (fixed ? kFixedFill : kFill);
      if (!onBorder && checked) {
        const double px = x + 0.5, py = y + 0.5;
        const auto at = [&](double u, double v) { return std::pair{lo + u * inner, lo + v * inner}; };
        const auto [x1, y1] = at(ax, ay);
        const auto [x2, y2] = at(bx, by);
        const auto [x3, y3] = at(cx, cy);
        const double d = std::min(SegmentDistance(px, py, x1, y1, x2, y2), SegmentDistance(px, py, x2, y2, x3, y3));
        // Coverage of the pixel by the stroke, for smooth edges.
        const double a = std::clamp(half + 0.5 - d, 0.0, 1.0);
        c = Mix(c, fixed ? kFixedMark : kMark, a);
      }
      if (!onBorder && image == kStateInstalledBefore) {
        // A square in the middle, a third of the box: there, but not chosen.
        const double third = inner / 3;
        if (x >= lo + third && x < hi + 1 - third && y >= lo + third && y < hi + 1 - third) c = kBefore;
      }
      bmp.pixels[static_cast<size_t>(y) * size + x] = Opaque(c);
    }
  }
  return bmp;
}

}  // namespace stw
