// mkrelease: writes the sample release, database and program trees the tests, the demo and
// the benchmarks run on. Usage is printed by `mkrelease` without arguments.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "generate.h"
#include "os/file.h"
#include "runtime/error.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  mkrelease release DIR [--program 25.01.046] [--database 025.01.046] [--year 2025] [--seed S]\n"
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
  if (argc < 3) return false;
  a.command = argv[1];
  a.dir = argv[2];
  for (int i = 3; i < argc; i += 2) {
    std::string k = argv[i];
    if (k.rfind("--", 0) != 0 || i + 1 >= argc) return false;
    a.options.emplace_back(k.substr(2), argv[i + 1]);
  }
  return true;
}

int number(const Args& a, const char* name, int fallback) {
  const std::string* v = a.get(name);
  return v ? std::stoi(*v) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tav::mkrelease;
  // Sample trees can always be written again: no flush to the disk per closed file.
  tav::os::setDurableSync(false);
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
      std::fprintf(stderr, "mkrelease %s: unknown option --%s\n%s", a.command.c_str(), k.c_str(), kUsage);
      return 2;
    }
  }
  try {
    if (a.command == "release") {
      ReleaseOptions o;
      o.dir = a.dir;
      if (auto v = a.get("program")) o.program = *v;
      if (auto v = a.get("database")) o.database = *v;
      o.year = number(a, "year", o.year);
      o.seed = static_cast<uint64_t>(number(a, "seed", 1));
      writeRelease(o);
    } else if (a.command == "database") {
      DatabaseOptions o;
      o.dir = a.dir;
      if (!a.get("release") || !a.get("firms") || !a.get("records")) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      o.release = *a.get("release");
      o.firms = number(a, "firms", o.firms);
      o.records = number(a, "records", o.records);
      o.seed = static_cast<uint64_t>(number(a, "seed", 1));
      o.year = number(a, "year", o.year);
      writeDatabase(o);
    } else if (a.command == "program") {
      ProgramOptions o;
      o.dir = a.dir;
      if (!a.get("release") || !a.get("database")) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      o.release = *a.get("release");
      o.database = *a.get("database");
      o.year = number(a, "year", o.year);
      writeProgram(o);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  } catch (const tav::rt::Abandon& e) {
    std::fprintf(stderr, "mkrelease: %s\n", e.error().description.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkrelease: %s\n", e.what());
    return 1;
  }
  return 0;
}
