// Fault injection at the file operations: parsed once from TAV_FAULT, counted per kind.
#include "os/fault.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/platform.h"
#include "runtime/codepage.h"

namespace tav::os {
namespace {

constexpr int kKinds = 8;
constexpr int kAny = kKinds;
const char* const kNames[] = {"open",   "read", "write", "flush", "rename",
                              "delete", "lock", "mkdir", "any"};
constexpr int kKill = -1, kKillNext = -2, kStop = -3;

struct Rule {
  int kind = 0;
  unsigned long nth = 0;
  int action = 0;    // an errno, or kKill
  std::string name;  // KIND@NAME: only calls on a file of this name, counted by the rule itself
  unsigned long seen = 0;
};

bool namedLike(const char* path, const std::string& name) {
  if (!path) return false;
  const char* slash = std::strrchr(path, '/');
  if (const char* back = std::strrchr(path, '\\'); back && (!slash || back > slash)) slash = back;
  return rt::upper(slash ? slash + 1 : path) == rt::upper(name);
}

struct Faults {
  bool active = false;
  std::vector<Rule> rules;
  std::array<unsigned long, kKinds + 1> counts{};
  std::filesystem::path trace;  // a host path: Windows opens it by its UTF-16 name
  bool killNext = false;  // a killnext rule was met: the operation goes through, the next one kills
};

int actionOf(const std::string& a) {
  if (a == "ENOSPC") return ENOSPC;
  if (a == "EIO") return EIO;
  if (a == "EACCES") return EACCES;
  if (a == "EAGAIN") return EAGAIN;
  if (a == "kill") return kKill;
  if (a == "killnext") return kKillNext;
  if (a == "stop") return kStop;
  return 0;
}

int kindOf(const std::string& k) {
  for (int i = 0; i <= kKinds; ++i)
    if (k == kNames[i]) return i;
  return -1;
}

void writeTrace();

Faults& faults() {
  static Faults f;
  return f;
}

void load() {
  Faults& f = faults();
  f = Faults{};
  f.trace = getEnvPath("TAV_FAULT_TRACE");
  if (const char* spec = std::getenv("TAV_FAULT"); spec && *spec) {
    std::string all = spec;
    size_t start = 0;
    while (start <= all.size()) {
      const size_t end = std::min(all.find(',', start), all.size());
      const std::string item = all.substr(start, end - start);
      const size_t c1 = item.find(':'), c2 = item.rfind(':');
      if (c1 != std::string::npos && c2 != c1) {
        Rule r;
        std::string kind = item.substr(0, c1);
        if (const size_t at = kind.find('@'); at != std::string::npos) {
          r.name = kind.substr(at + 1);
          kind.erase(at);
        }
        r.kind = kindOf(kind);
        r.nth = std::strtoul(item.c_str() + c1 + 1, nullptr, 10);
        r.action = actionOf(item.substr(c2 + 1));
        if (r.kind >= 0 && r.nth > 0 && r.action != 0)
          f.rules.push_back(r);
        else
          std::fprintf(stderr, "tav: TAV_FAULT item '%s' not understood\n", item.c_str());
      }
      start = end + 1;
    }
  }
  f.active = !f.rules.empty() || !f.trace.empty();
  static bool registered = false;
  if (!f.trace.empty() && !registered) {
    registered = true;
    std::atexit(writeTrace);
  }
}

void writeTrace() {
  const Faults& f = faults();
  if (f.trace.empty()) return;
  std::ofstream out(f.trace, std::ios::trunc);
  for (int i = 0; i <= kKinds; ++i) out << kNames[i] << ' ' << f.counts[i] << '\n';
}

std::once_flag loaded;

}  // namespace

int faultAt(FaultPoint kind, const char* path) {
  std::call_once(loaded, load);
  Faults& f = faults();
  if (!f.active) return 0;
  if (f.killNext) {
    writeTrace();
    platform::killSelf();
  }
  const int k = static_cast<int>(kind);
  const unsigned long n = ++f.counts[k];
  const unsigned long any = ++f.counts[kAny];
  for (Rule& r : f.rules) {
    if (!r.name.empty()) {
      if ((r.kind != k && r.kind != kAny) || !namedLike(path, r.name) || ++r.seen != r.nth)
        continue;
    } else if (!((r.kind == k && r.nth == n) || (r.kind == kAny && r.nth == any))) {
      continue;
    }
    if (r.action == kKillNext) {
      f.killNext = true;
      return 0;
    }
    if (r.action == kStop) {
      // Held right here, whatever it holds, until continued: a test's other run meets it so.
      platform::stopSelf();
      return 0;
    }
    if (r.action == kKill) {
      // The trace still says how far the run came: a sweep reads it to know the points.
      writeTrace();
      platform::killSelf();
    }
    return r.action;
  }
  return 0;
}

void reloadFaults() {
  std::call_once(loaded, [] {});
  load();
}

}  // namespace tav::os
