#include "wizard/Scaling.h"

#include <algorithm>

namespace stw {

int MulDivRound(int64_t a, int64_t b, int64_t c) {
  if (c == 0) return 0;
  const int64_t p = a * b;
  const bool negative = (p < 0) != (c < 0);
  const int64_t ap = p < 0 ? -p : p, ac = c < 0 ? -c : c;
  const int64_t q = (ap + ac / 2) / ac;
  return static_cast<int>(negative ? -q : q);
}

int TextScaledFontSize(int size, std::optional<uint32_t> factor) {
  if (!factor || *factor < 100) return size;
  const int scaled = MulDivRound(9, std::min<uint32_t>(*factor, 225), 100);
  return std::max(size, scaled);
}

int FontPixelHeight(int size, int ppi) { return MulDivRound(size, ppi, 72); }

WindowScale ScaleWindow(int designedHeight, int ppi, int fontSize, const WindowRoom& room,
                        const std::function<int(int)>& heightOfSize) {
  const auto height = [&](int size) { return heightOfSize ? heightOfSize(size) : FontPixelHeight(size, ppi); };
  const int h0 = designedHeight;
  const int hMin = MulDivRound(h0, ppi, 96);
  const int roomWidth = room.workWidth - (room.monitorWidth - room.workWidth) - (room.windowWidth - room.clientWidth);
  const int roomHeight =
      room.workHeight - (room.monitorHeight - room.workHeight) - (room.windowHeight - room.clientHeight);
  WindowScale s;
  s.fontSize = fontSize;
  for (;;) {
    s.fontHeight = height(s.fontSize);
    if (s.fontHeight < hMin) {
      s.fontHeight = hMin;
      break;
    }
    const bool tooBig = MulDivRound(room.clientHeight, s.fontHeight, h0) >= roomHeight ||
                        MulDivRound(room.clientWidth, s.fontHeight, h0) >= roomWidth;
    if (s.fontHeight > h0 && s.fontSize > 8 && tooBig) {
      --s.fontSize;
      continue;
    }
    break;
  }
  if (h0 > 0 && s.fontHeight > h0) {
    s.scaled = true;
    s.lineUnit = MulDivRound(28, s.fontHeight, h0);
  }
  return s;
}

}  // namespace stw
