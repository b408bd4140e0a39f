// The check-box pictures of the components tree, drawn at run time in
// every size the tree may ask for, so that they are sharp at any screen
// resolution and no image files ship with the setup.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace stw {

// The state image of a component node (0 is "none", the tree's own).
enum StateImage : int {
  kStateNotChosen = 1,
  kStateChosen = 2,
  kStateFixedNotChosen = 3,  // not chosen and not changeable
  kStateFixedChosen = 4,     // chosen and not changeable
  kStateInstalledBefore = 5, // not chosen, but installed before
};

// The image for a component's flags (first match wins: required; fixed
// chosen; fixed not chosen; chosen; installed before; not chosen).
int StateImageFor(bool required, bool optional, bool selected, bool previouslyInstalled);

// The eight sizes the images come in, and the one for a tree whose icons
// are `iconHeight` pixels high (0: the tree has no icons, and a sixth of
// the screen's pixels per inch stands for them).
constexpr int kStateImageSizes[] = {16, 20, 24, 28, 32, 36, 40, 48};
int StateImageSize(int iconHeight, int ppi);

// One picture: size × size pixels, row by row from the top, each
// 0xAARRGGBB with premultiplied alpha, as a 32-bit image list takes them.
struct StateBitmap {
  int size = 0;
  std::vector<uint32_t> pixels;
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * size + x]; }
};

// Draws state image 1 to 5 at `size` pixels.
StateBitmap DrawStateImage(int image, int size);

}  // namespace stw
