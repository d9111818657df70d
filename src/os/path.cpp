#include "os/path.h"

#include <cstdlib>
#include <unistd.h>

#include "runtime/codepage.h"

namespace tav::os {

namespace fs = std::filesystem;

fs::path prefixDir() {
  const char* p = std::getenv("TAV_PREFIX");
  if (p && *p) return fs::path(p);
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "/tmp") / ".local/share/tav";
}

void resetPathCaches() {}

fs::path toHost(std::string_view winPath) {
  std::string utf8 = rt::oemToUtf8(winPath);
  if (!utf8.empty() && utf8[0] == '/') return fs::path(utf8);
  for (char& c : utf8)
    if (c == '\\') c = '/';
  if (utf8.size() >= 2 && utf8[1] == ':') {
    char d = static_cast<char>(std::tolower(static_cast<unsigned char>(utf8[0])));
    if (d == 'z') return fs::path(utf8.substr(2).empty() ? "/" : utf8.substr(2));
    return prefixDir() / ("drive_" + std::string(1, d)) / utf8.substr(utf8.size() > 2 ? 3 : 2);
  }
  return fs::current_path() / utf8;
}

std::string fromHost(const fs::path& host) {
  std::string s = host.string();
  for (char& c : s)
    if (c == '/') c = '\\';
  return rt::utf8ToOem("Z:" + s);
}

std::string currentDirectory() {
  std::string s = fromHost(fs::current_path());
  if (s.empty() || s.back() != '\\') s += '\\';
  return s;
}

char currentDrive() { return currentDirectory()[0]; }

bool changeDirectory(std::string_view winPath) { return ::chdir(toHost(winPath).c_str()) == 0; }

}  // namespace tav::os
