// The image table behind resources.h: each XPM drawing is compiled in as C source and found by its
// resource number; pixels are decoded from the XPM text when asked for.

#include "gui/resources.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The drawings live in resources/ (made by resources/draw_images.py); XPM is C source.
#include "../../resources/bitmap_200.xpm"
#include "../../resources/icon_100.xpm"
#include "../../resources/icon_101.xpm"
#include "../../resources/icon_102.xpm"
#include "../../resources/icon_103.xpm"
#include "../../resources/icon_104.xpm"
#include "../../resources/icon_2099.xpm"
#include "../../resources/icon_2100.xpm"
#include "../../resources/icon_2101.xpm"
#include "../../resources/icon_2102.xpm"
#include "../../resources/icon_2103.xpm"
#include "../../resources/icon_2104.xpm"
#include "../../resources/icon_2105.xpm"
#include "../../resources/icon_2106.xpm"
#include "../../resources/icon_2107.xpm"

namespace tav::gui {
namespace {

struct Entry {
  int id;
  const char* const* data;
};

constexpr Entry kImages[] = {
    {100, icon_100},   {101, icon_101},   {102, icon_102},   {103, icon_103},   {104, icon_104},
    {2099, icon_2099}, {2100, icon_2100}, {2101, icon_2101}, {2102, icon_2102}, {2103, icon_2103},
    {2104, icon_2104}, {2105, icon_2105}, {2106, icon_2106}, {2107, icon_2107}, {200, bitmap_200},
};

struct Header {
  int w = 0, h = 0, colours = 0, perPixel = 0;
};

Header header(const char* const* data) {
  Header hd;
  if (std::sscanf(data[0], "%d %d %d %d", &hd.w, &hd.h, &hd.colours, &hd.perPixel) != 4) return {};
  return hd;
}

}  // namespace

const char* const* imageData(int resource) {
  for (const Entry& e : kImages)
    if (e.id == resource) return e.data;
  return nullptr;
}

Size imageSize(int resource) {
  const char* const* data = imageData(resource);
  if (!data) return {};
  Header hd = header(data);
  return {hd.w, hd.h};
}

namespace {

// The colour line of the pixel's code, or null outside the image.
const char* colourLine(int resource, int x, int y) {
  const char* const* data = imageData(resource);
  if (!data) return nullptr;
  Header hd = header(data);
  if (x < 0 || y < 0 || x >= hd.w || y >= hd.h || hd.perPixel != 1) return nullptr;
  char code = data[1 + hd.colours + y][x];
  for (int i = 0; i < hd.colours; ++i)
    if (data[1 + i][0] == code) return data[1 + i];
  return nullptr;
}

}  // namespace

bool imageOpaque(int resource, int x, int y) {
  const char* line = colourLine(resource, x, y);
  return line && std::strchr(line, '#');
}

Color imagePixel(int resource, int x, int y, Color back) {
  if (const char* line = colourLine(resource, x, y)) {
    const char* hash = std::strchr(line, '#');
    if (!hash) return back;
    unsigned long v = std::strtoul(hash + 1, nullptr, 16);
    return rgb(static_cast<int>((v >> 16) & 255), static_cast<int>((v >> 8) & 255),
               static_cast<int>(v & 255));
  }
  return back;
}

}  // namespace tav::gui
