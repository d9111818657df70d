// Font removal does nothing on this host but tell the observer, which the tests use to check that
// every font is taken out before its file is deleted.

#include "os/fonts.h"

#include <mutex>

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
  return true;
}

FontRemovalObserver setFontRemovalObserver(FontRemovalObserver observer) {
  std::lock_guard lock(gMutex);
  std::swap(gObserver, observer);
  return observer;
}

}  // namespace tav::os
