// The whole unattended upgrade of a generated database beside its floor, copying the same
// database directory, measured in the same run: both times, their ratio and the upgrade's peak
// memory. The upgrade runs as the administrator runs it (tav_setup --upgrade in the release's
// directory) on a fresh copy of the same database each time, so every run does the whole work.
//
//   bench_upgrade [--firms 40] [--records 3000] [--runs 1] [--jobs CORES] [--dir SCRATCH]
//
// The upgrade is timed one firm after another, and with --jobs firms at once (worker processes,
// default: one per core) when that is more than one.
// The default is the office-sized database the duration figures are quoted for; run it again with
// --records 30000 to see that memory does not grow with the tables.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  int firms = 40, records = 3000, runs = 1;
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  fs::path dir;
};

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

struct Timed {
  double seconds = 0;
  long peakKb = 0;
  int code = -1;
};

// Runs a shell command as a child process: its wall time, its exit code and its peak memory.
Timed timed(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  Timed t;
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.peakKb = usage.ru_maxrss;
  t.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return t;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--firms")
      o.firms = std::atoi(v.c_str());
    else if (k == "--records")
      o.records = std::atoi(v.c_str());
    else if (k == "--runs")
      o.runs = std::max(1, std::atoi(v.c_str()));
    else if (k == "--jobs")
      o.jobs = std::max(1, std::atoi(v.c_str()));
    else if (k == "--dir")
      o.dir = v;
    else {
      std::fprintf(
          stderr,
          "usage: bench_upgrade [--firms N] [--records M] [--runs R] [--jobs J] [--dir SCRATCH]\n");
      return 2;
    }
  }
  const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  const fs::path mkrelease = build / "tools" / "mkrelease" / "mkrelease";
  const fs::path tav = build / "tav_setup";
  if (o.dir.empty()) o.dir = build / "bench-upgrade";
  fs::remove_all(o.dir);
  fs::create_directories(o.dir);
  const fs::path release = o.dir / "release", pristine = o.dir / "pristine", baza = o.dir / "baza",
                 program = o.dir / "program", copy = o.dir / "copy";

  std::printf("upgrade: generating %d firms of %d records from release 025.01.001 in %s\n", o.firms,
              o.records, o.dir.c_str());
  if (!run(q(mkrelease) + " release " + q(release) + " > /dev/null") ||
      !run(q(mkrelease) + " database " + q(pristine) + " --release 025.01.001 --firms " +
           std::to_string(o.firms) + " --records " + std::to_string(o.records) +
           " --seed 7 > /dev/null")) {
    std::fprintf(stderr, "upgrade: mkrelease failed\n");
    return 1;
  }
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(pristine))
    if (e.is_regular_file()) bytes += e.file_size();

  std::vector<int> jobCounts = {1};
  if (o.jobs > 1) jobCounts.push_back(o.jobs);
  std::vector<double> copies;
  std::vector<std::vector<double>> upgrades(jobCounts.size());
  std::vector<long> peaks(jobCounts.size(), 0);
  for (int r = 0; r < o.runs; ++r) {
    fs::remove_all(copy);
    // The floor: the same database copied, flushed to the disk as the upgrade's files are. Each
    // timed command starts with nothing left to flush from before it.
    run("sync");
    Timed c = timed("cp -r " + q(pristine) + " " + q(copy) + " && sync -f " + q(copy));
    copies.push_back(c.seconds);

    for (size_t j = 0; j < jobCounts.size(); ++j) {
      fs::remove_all(baza);
      fs::remove_all(program);
      fs::remove_all(o.dir / "prefix");
      run("cp -r " + q(pristine) + " " + q(baza) + " && sync -f " + q(baza));
      run(q(mkrelease) + " program " + q(program) + " --release 25.01.001 --database " + q(baza) +
          " > /dev/null");
      run("sync");
      Timed u = timed("cd " + q(release) + " && TAV_PREFIX=" + q(o.dir / "prefix") + " " + q(tav) +
                      " 25.01.046 025.01.046 2025 --upgrade " + q(program) + " --yes --jobs " +
                      std::to_string(jobCounts[j]) + " --report " + q(o.dir / "report.json") +
                      " 2> " + q(o.dir / "upgrade.log") + " && sync -f " + q(baza));
      if (u.code != 0) {
        std::fprintf(stderr, "upgrade: tav_setup ended with %d (see %s)\n", u.code,
                     (o.dir / "upgrade.log").c_str());
        return 1;
      }
      upgrades[j].push_back(u.seconds);
      peaks[j] = std::max(peaks[j], u.peakKb);
    }
  }
  const double copySeconds = median(copies);
  std::printf("upgrade: database %.0f MB, %d run(s), medians\n", bytes / 1e6, o.runs);
  std::printf("  copy of the database directory  %8.2f s\n", copySeconds);
  for (size_t j = 0; j < jobCounts.size(); ++j) {
    const double seconds = median(upgrades[j]);
    const std::string what = jobCounts[j] == 1 ? std::string("one firm after another")
                                               : std::to_string(jobCounts[j]) + " firms at once";
    std::printf(
        "  unattended upgrade, %-22s %8.2f s   ratio to the copy %6.2f   peak memory %6.1f MB\n",
        what.c_str(), seconds, seconds / copySeconds, peaks[j] / 1024.0);
  }
  fs::remove_all(o.dir);
  return 0;
}
