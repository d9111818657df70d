// The one speed class of the process; it starts at 1.

#include "convert/speed_class.h"

namespace tav::convert {
namespace {

int& current() {
  static int value = 1;
  return value;
}

}  // namespace

int speedClass() { return current(); }
void setSpeedClass(int value) { current() = value; }
void raiseSpeedClass(int atLeast) {
  if (current() < atLeast) current() = atLeast;
}

}  // namespace tav::convert
