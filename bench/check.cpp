// The database check beside its floor, in the same run: tav_setup --check of a generated database
// against reading every file of that database once, and the upgrade's guard before each firm
// (convert::firmDamage, what MAKE_WINFIR asks before it touches a firm) over every firm. Medians of
// the runs, the check's ratio to the floor (the check should stay within three times it), in
// elapsed time and in the CPU time both spent (the machine's other load shows in the former).
//
//   bench_check [--firms 40] [--records 3000] [--runs 3] [--dir SCRATCH] [--before BUILD]
//
// --before BUILD measures another build's tav_setup --check beside this one's, in the same runs
// (each run: the floor, this build, the other build), so a change is judged by two ratios taken
// under the same load.
//
// A database already in --dir (from an earlier run) is used again; the files are read from the
// page cache in every measurement, the floor too, so the ratio is the check's own work.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "convert/firm_runner.h"
#include "os/path.h"

namespace fs = std::filesystem;

namespace {

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

double seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// CPU seconds (user and system) of this process, or of its waited-for children.
double cpuSeconds(int who) {
  struct rusage u {};
  ::getrusage(who, &u);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Every regular file below `dir` read once, start to end: the floor of any check of it.
std::uintmax_t readAll(const fs::path& dir) {
  std::uintmax_t bytes = 0;
  std::vector<char> buf(1 << 20);
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0)
      bytes += static_cast<std::uintmax_t>(in.gcount());
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  int firms = 40, records = 3000, runs = 3;
  fs::path dir, before;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--firms")
      firms = std::atoi(v.c_str());
    else if (k == "--records")
      records = std::atoi(v.c_str());
    else if (k == "--runs")
      runs = std::max(1, std::atoi(v.c_str()));
    else if (k == "--dir")
      dir = v;
    else if (k == "--before")
      before = v;
    else {
      std::fprintf(stderr,
                   "usage: bench_check [--firms N] [--records M] [--runs R] [--dir SCRATCH] "
                   "[--before BUILD]\n");
      return 2;
    }
  }
  const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  const fs::path mkrelease = build / "tools" / "mkrelease" / "mkrelease";
  const fs::path tav = build / "tav_setup";
  if (dir.empty()) dir = build / "bench-check";
  const fs::path release = dir / "release", baza = dir / "baza", program = dir / "program";
  const fs::path made = dir / ("made-" + std::to_string(firms) + "-" + std::to_string(records));
  if (!fs::exists(made)) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::printf("check: generating %d firms of %d records from release 025.01.001 in %s\n", firms,
                records, dir.c_str());
    const std::string mk = q(mkrelease);
    if (std::system((mk + " release " + q(release) + " > /dev/null").c_str()) != 0 ||
        std::system((mk + " database " + q(baza) + " --release 025.01.001 --firms " +
                     std::to_string(firms) + " --records " + std::to_string(records) +
                     " --seed 7 > /dev/null")
                        .c_str()) != 0 ||
        std::system((mk + " program " + q(program) + " --release 25.01.001 --database " + q(baza) +
                     " > /dev/null")
                        .c_str()) != 0) {
      std::fprintf(stderr, "check: mkrelease failed\n");
      return 1;
    }
    std::ofstream(made) << "";
  }
  auto checkWith = [&](const fs::path& tool) {
    return "cd " + q(release) + " && TAV_PREFIX=" + q(dir / "prefix") + " " + q(tool) +
           " 25.01.046 025.01.046 2025 --check " + q(program) + " > /dev/null 2>&1";
  };
  const std::string check = checkWith(tav);
  const fs::path otherTool = before.empty() ? fs::path() : fs::absolute(before) / "tav_setup";
  if (!before.empty() && !fs::exists(otherTool)) {
    std::fprintf(stderr, "check: %s does not exist\n", otherTool.c_str());
    return 2;
  }
  const std::string other = before.empty() ? std::string() : checkWith(otherTool);
  std::vector<std::string> firmDirs;
  for (int n = 1; n <= firms; ++n)
    firmDirs.push_back(tav::os::fromHost(baza / ("firma" + std::to_string(n))) + "\\");

  std::uintmax_t bytes = readAll(baza);  // into the page cache, as every measurement finds it
  std::vector<double> floors, checks, guards, floorCpu, checkCpu, others, otherCpu;
  int code = -1, otherCode = -1, damaged = 0;
  for (int r = 0; r < runs; ++r) {
    double cpu = cpuSeconds(RUSAGE_SELF);
    auto start = std::chrono::steady_clock::now();
    bytes = readAll(baza);
    floors.push_back(seconds(start));
    floorCpu.push_back(cpuSeconds(RUSAGE_SELF) - cpu);
    cpu = cpuSeconds(RUSAGE_CHILDREN);
    start = std::chrono::steady_clock::now();
    const int rc = std::system(check.c_str());
    checks.push_back(seconds(start));
    checkCpu.push_back(cpuSeconds(RUSAGE_CHILDREN) - cpu);
    code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    if (!other.empty()) {
      cpu = cpuSeconds(RUSAGE_CHILDREN);
      start = std::chrono::steady_clock::now();
      const int orc = std::system(other.c_str());
      others.push_back(seconds(start));
      otherCpu.push_back(cpuSeconds(RUSAGE_CHILDREN) - cpu);
      otherCode = WIFEXITED(orc) ? WEXITSTATUS(orc) : -1;
    }
    start = std::chrono::steady_clock::now();
    damaged = 0;
    for (const std::string& firm : firmDirs) damaged += tav::convert::firmDamage(firm).has_value();
    guards.push_back(seconds(start));
  }
  const double floor = median(floors), took = median(checks), guard = median(guards);
  std::printf("check: %d firms of %d records, %.1f MB in %zu files\n", firms, records, bytes / 1e6,
              static_cast<size_t>(std::distance(fs::recursive_directory_iterator(baza),
                                                fs::recursive_directory_iterator())));
  const double floorCpuMedian = median(floorCpu), checkCpuMedian = median(checkCpu);
  std::printf("  read every file once   %7.3f s (median of %d), CPU %.3f s\n", floor, runs,
              floorCpuMedian);
  std::printf("  tav_setup --check      %7.3f s  = %.2f x reading (exit %d), CPU %.3f s = %.2f x\n",
              took, took / floor, code, checkCpuMedian, checkCpuMedian / floorCpuMedian);
  if (!other.empty()) {
    const double o = median(others), oc = median(otherCpu);
    std::printf("  --check of %s %7.3f s  = %.2f x reading (exit %d), CPU %.3f s = %.2f x\n",
                before.c_str(), o, o / floor, otherCode, oc, oc / floorCpuMedian);
  }
  std::printf("  upgrade's firm guard   %7.3f s  for %d firms (%d found damaged)\n", guard, firms,
              damaged);
  if (code != 0) {
    std::fprintf(stderr, "check: the generated database was not found clean (exit %d)\n", code);
    return 1;
  }
  return 0;
}
