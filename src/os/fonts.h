#pragma once

// Taking a font file out of the system's font table before the program refresh deletes it.

#include <functional>
#include <string>
#include <string_view>

namespace tav::os {

// Takes a font file out of the system's font table so that the file can be deleted. Windows
// keeps a loaded font's file open; Linux has no such table and holds nothing, so the removal
// always succeeds. `path` is ANSI, as the Windows call takes it.
bool removeFontResource(std::string_view path);

// Tests watch the removals (the paths asked for, in order). An empty observer stops watching;
// the previous one is given back.
using FontRemovalObserver = std::function<void(const std::string& path)>;
FontRemovalObserver setFontRemovalObserver(FontRemovalObserver observer);

}  // namespace tav::os
