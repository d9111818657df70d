#pragma once

// The icons and bitmaps compiled into the executable, by resource number.

#include "gui/types.h"

namespace tav::gui {

// The icons and bitmaps the screens show, addressed by their resource numbers (icons 100-104,
// drive types 2099 + type, directories 2105/2106, the chooser 2107, the logo bitmap 200).
// Images are XPM data compiled into the executable; null when the number is unknown.
const char* const* imageData(int resource);
Size imageSize(int resource);  // (0, 0) when unknown
// Colour of one pixel, origin top left as the image data holds it; transparent gives `back`.
Color imagePixel(int resource, int x, int y, Color back);
// Whether the pixel is drawn (false where the image is transparent, or outside it).
bool imageOpaque(int resource, int x, int y);

}  // namespace tav::gui
