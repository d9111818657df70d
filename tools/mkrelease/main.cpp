// mkrelease: writes the sample release, database and program trees the tests, the demo and
// the benchmarks run on. Usage is printed by `mkrelease` without arguments. A bad number is
// refused before anything is written; a run that fails takes away what it wrote (the whole
// directory when it made it), so no half tree is ever taken for a sample.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "generate.h"
#include "os/console.h"
#include "os/file.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/error.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  mkrelease release DIR [--program 25.01.046] [--database 025.01.046] [--year 2025] [--seed "
    "S]\n"
    "  mkrelease database DIR --release 025.01.001 --firms N --records M [--seed S] [--year 2025]\n"
    "  mkrelease program DIR --release 25.01.001 --database DBDIR [--year 2025]\n";

struct Args {
  std::string command, dir;
  std::vector<std::pair<std::string, std::string>> options;
  const std::string* get(const char* name) const {
    for (const auto& [k, v] : options)
      if (k == name) return &v;
    return nullptr;
  }
};

bool parse(int argc, char** argv, Args& a) {
  // UTF-8 on every platform (on Windows from the UTF-16 command line).
  const std::vector<std::string> args = tav::os::commandLineArguments(argc, argv);
  if (args.size() < 2) return false;
  a.command = args[0];
  a.dir = args[1];
  for (size_t i = 2; i < args.size(); i += 2) {
    const std::string& k = args[i];
    if (k.rfind("--", 0) != 0 || i + 1 >= args.size()) return false;
    a.options.emplace_back(k.substr(2), args[i + 1]);
  }
  return true;
}

struct BadNumber : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A whole number within [low, high]; anything else is refused with a sentence naming the option.
uint64_t wholeNumber(const Args& a, const char* name, uint64_t fallback, uint64_t low,
                     uint64_t high) {
  const std::string* v = a.get(name);
  if (!v) return fallback;
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
  if (v->empty() || ec != std::errc() || end != v->data() + v->size() || n < low || n > high)
    throw BadNumber("--" + std::string(name) + " takes a whole number from " + std::to_string(low) +
                    " to " + std::to_string(high) + ", not \"" + *v + "\"");
  return n;
}

int number(const Args& a, const char* name, int fallback, int low, int high) {
  return static_cast<int>(wholeNumber(a, name, uint64_t(fallback), uint64_t(low), uint64_t(high)));
}

constexpr int kMaxCount = 1000000000;
constexpr uint64_t kMaxSeed = UINT64_MAX;

// What stood in the target directory before the run, so that a failed run takes away only what
// it made: the whole directory (with the parents made for it) when it was not there, otherwise the
// entries it added.
struct Before {
  std::filesystem::path dir;
  bool existed = false;
  std::set<std::string> entries;
};

Before lookBefore(const std::filesystem::path& target) {
  Before b;
  std::error_code ec;
  // The highest level the run will make: a failure takes away the parents it made for it too.
  std::filesystem::path dir = std::filesystem::absolute(target, ec);
  while (dir.has_parent_path() && dir.parent_path() != dir &&
         !std::filesystem::exists(dir.parent_path(), ec))
    dir = dir.parent_path();
  b.dir = dir;
  b.existed = std::filesystem::exists(dir, ec);
  if (b.existed && std::filesystem::is_directory(dir, ec))
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
      b.entries.insert(tav::os::utf8(e.path().filename()));
  return b;
}

void removePartial(const Before& b) {
  std::error_code ec;
  if (!b.existed) {
    std::filesystem::remove_all(b.dir, ec);
    return;
  }
  if (!std::filesystem::is_directory(b.dir, ec)) return;
  std::vector<std::filesystem::path> made;
  for (const auto& e : std::filesystem::directory_iterator(b.dir, ec))
    if (!b.entries.count(tav::os::utf8(e.path().filename()))) made.push_back(e.path());
  for (const auto& p : made) std::filesystem::remove_all(p, ec);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tav::mkrelease;
  // Sample trees can always be written again: no flush to the disk per closed file.
  tav::os::setDurableSync(false);
  // --help wherever it stands: the usage, and nothing written (a directory named "--help" would
  // be no answer to the question).
  for (const std::string& arg : tav::os::commandLineArguments(argc, argv))
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  Args a;
  if (!parse(argc, argv, a)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char* allowed[][7] = {{"release", "program", "database", "year", "seed", nullptr},
                              {"database", "release", "firms", "records", "seed", "year", nullptr},
                              {"program", "release", "database", "year", nullptr}};
  for (const auto& [k, v] : a.options) {
    bool ok = false;
    for (const auto& row : allowed)
      if (a.command == row[0])
        for (int i = 1; row[i]; ++i) ok = ok || k == row[i];
    if (!ok) {
      std::fprintf(stderr, "mkrelease %s: unknown option --%s\n%s", a.command.c_str(), k.c_str(),
                   kUsage);
      return 2;
    }
  }
  const Before before = lookBefore(tav::os::hostPath(a.dir));
  try {
    if (a.command == "release") {
      ReleaseOptions o;
      o.dir = tav::os::hostPath(a.dir);
      if (auto v = a.get("program")) o.program = *v;
      if (auto v = a.get("database")) o.database = *v;
      o.year = number(a, "year", o.year, 1980, 2099);
      o.seed = wholeNumber(a, "seed", 1, 0, kMaxSeed);
      writeRelease(o);
    } else if (a.command == "database") {
      DatabaseOptions o;
      o.dir = tav::os::hostPath(a.dir);
      if (!a.get("release") || !a.get("firms") || !a.get("records")) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      o.release = *a.get("release");
      o.firms = number(a, "firms", o.firms, 1, 9999);
      o.records = number(a, "records", o.records, 1, kMaxCount);
      o.seed = wholeNumber(a, "seed", 1, 0, kMaxSeed);
      o.year = number(a, "year", o.year, 1980, 2099);
      writeDatabase(o);
    } else if (a.command == "program") {
      ProgramOptions o;
      o.dir = tav::os::hostPath(a.dir);
      if (!a.get("release") || !a.get("database")) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      o.release = *a.get("release");
      o.database = tav::os::hostPath(*a.get("database"));
      o.year = number(a, "year", o.year, 1980, 2099);
      writeProgram(o);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  } catch (const BadNumber& e) {
    std::fprintf(stderr, "mkrelease %s: %s\n", a.command.c_str(), e.what());
    return 2;
  } catch (const tav::rt::Abandon& e) {
    removePartial(before);
    std::fprintf(stderr, "mkrelease: %s\n", tav::rt::oemToUtf8(e.error().description).c_str());
    return 1;
  } catch (const std::exception& e) {
    removePartial(before);
    std::fprintf(stderr, "mkrelease: %s\n", e.what());
    return 1;
  }
  return 0;
}
