// Font removal: the backend takes the font out of the system's table (Windows) or has nothing to
// do (Linux); either way the observer hears of it, which the tests use to check that every font is
// taken out before its file is deleted.

#include "os/fonts.h"

#include <mutex>

#include "os/platform.h"

namespace tav::os {
namespace {

std::mutex gMutex;
FontRemovalObserver gObserver;

}  // namespace

bool removeFontResource(std::string_view path) {
  FontRemovalObserver observer;
  {
    std::lock_guard lock(gMutex);
    observer = gObserver;
  }
  if (observer) observer(std::string(path));
  return platform::removeSystemFont(path);
}

FontRemovalObserver setFontRemovalObserver(FontRemovalObserver observer) {
  std::lock_guard lock(gMutex);
  std::swap(gObserver, observer);
  return observer;
}

}  // namespace tav::os
