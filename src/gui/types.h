#pragma once

// The plain value types of the toolkit: points, sizes, colours, fonts and keys.

#include <cstdint>
#include <string>
#include <string_view>

namespace tav::gui {

// Positions keep the tool's convention: the origin of a drawing area is its lower-left corner and
// y grows upward. Only the backends know about top-left screens.
struct Point {
  int x = 0, y = 0;
  bool operator==(const Point&) const = default;
};
struct Size {
  int w = 0, h = 0;
  bool operator==(const Size&) const = default;
};

struct Color {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Color&) const = default;
};
constexpr Color rgb(int r, int g, int b) {
  return Color{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)};
}
// The colours every screen of the tool shares.
constexpr Color kDialogBack = rgb(208, 208, 167);
constexpr Color kWarningBack = rgb(255, 184, 160);
constexpr Color kDarkGrey = rgb(64, 64, 64);
constexpr Color kButtonFace = rgb(240, 240, 240);
constexpr Color kButtonText = rgb(0, 0, 0);
constexpr Color kFill = rgb(0, 0, 160);

// A font as the screens ask for it. Code page 238 is Central European; the backends map the
// Windows face names onto metric-compatible host fonts.
struct Font {
  std::string name = "Arial";
  int codePage = 238;
  int pointSize = 10;
  bool bold = false;
  bool italic = false;
  int weightClass = 0;  // 0: the face's default weight
  int height = 0;       // 0: derived from the point size
  int width = 0;        // 0: derived from the height
  bool operator==(const Font&) const = default;

  // "10.Arial" or "8.Arial Bold": point size, a dot, the face.
  static Font parse(std::string_view compound);
};

enum class Align : uint8_t { Left, Center, Right };

// Keys: printable characters are their code page 852 byte (32..255); the rest are named here.
namespace key {
constexpr int Backspace = 8;
constexpr int Tab = 9;
constexpr int Enter = 13;
constexpr int Esc = 27;
constexpr int Space = 32;
constexpr int ShiftTab = 0x109;
constexpr int Left = 0x125;
constexpr int Up = 0x126;
constexpr int Right = 0x127;
constexpr int Down = 0x128;
constexpr int Insert = 0x12d;
constexpr int Delete = 0x12e;
constexpr int Home = 0x124;
constexpr int End = 0x123;
constexpr int F4 = 0x173;
inline bool isChar(int k) { return k >= 32 && k <= 255; }
}  // namespace key

}  // namespace tav::gui
