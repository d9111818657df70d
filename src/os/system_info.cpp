// The build number and computer name, with their overrides for tests and unattended runs: a set
// value wins over TAV_OS_BUILD or the host name, and nullopt goes back to them.

#include "os/system_info.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "os/platform.h"

namespace tav::os {
namespace {

std::mutex gMutex;
std::optional<uint32_t> gBuild;
std::optional<std::string> gComputerName;

uint32_t buildFromEnvironment() {
  const char* env = std::getenv("TAV_OS_BUILD");
  if (!env || !*env) return kDefaultBuild;
  char* end = nullptr;
  unsigned long n = std::strtoul(env, &end, 10);
  return (*end == '\0' && n > 0 && n <= 0xFFFFFFFFul) ? static_cast<uint32_t>(n) : kDefaultBuild;
}

}  // namespace

OsVersion osVersion() {
  OsVersion v;
  std::lock_guard lock(gMutex);
  v.build = gBuild ? *gBuild : buildFromEnvironment();
  return v;
}

std::string osFamily() { return osVersion().win9x ? "WIN9X" : "WINNT"; }

std::string osVersionText() {
  OsVersion v = osVersion();
  char buf[48];
  std::snprintf(buf, sizeof buf, "%u.%02u.%u", v.major, v.minor, v.build);
  return buf;
}

void setBuildNumber(std::optional<uint32_t> build) {
  std::lock_guard lock(gMutex);
  gBuild = build;
}

std::string computerName() {
  {
    std::lock_guard lock(gMutex);
    if (gComputerName) return *gComputerName;
  }
  std::string name = platform::hostComputerName();
  name = name.substr(0, name.find('.'));
  if (name.size() > 15) name.resize(15);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

void setComputerName(std::optional<std::string> ansi) {
  std::lock_guard lock(gMutex);
  gComputerName = std::move(ansi);
}

}  // namespace tav::os
