// The whole unattended upgrade of a generated database beside its floors, measured in one run:
// the durable copy of the same database (copy, then sync: the upgrade makes its own writes
// durable, a plain copy ends in the page cache) and the plain copy. The upgrade runs as the
// administrator runs it (tav_setup --upgrade in the release's directory) on a fresh copy of the
// same database each time, so every run does the whole work, and each timing includes the final
// sync of the database. Each timed command starts on a settled disk (QuietDisk). Each figure is
// the median of the runs.
//
//   bench_upgrade [--firms 40] [--records 3000] [--runs 3] [--jobs CORES] [--dir SCRATCH]
//                 [--before BUILD] [--pauses both|no]
//
// The upgrade is timed one firm after another and with --jobs firms at once (default: one per
// core), each without the fixed pauses (TAV_NO_PAUSES=1: the retry and settle pauses other
// workstations rely on, the same for any size) and with them. For each: the wall time and its
// ratio to the durable copy (to the median of the copies timed first, and the median of each run's
// ratio to the mean of two durable copies of the same database, one timed just before it (the copy
// it upgrades) and one just after: where the two ratios disagree, the disk's speed drifted while
// the bench ran), the bytes written
// (getrusage output blocks) over the database's size, the CPU time, the files created per firm
// (inotify over the database while it runs) and the peak memory. --pauses no leaves out the runs
// with the pauses (a large database, where they are a small part). --before BUILD measures that
// build's tav_setup the same way in the same run, interleaved with this one, and prints its figures
// beside.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  int firms = 40, records = 3000, runs = 3;
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  fs::path dir, before;
  bool withPauses = true;
};

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

// Counts the files created below a directory while it lives, those below the firm directories
// ("firma<N>") apart. Directories made meanwhile are watched as they appear.
class CreationCounter {
 public:
  explicit CreationCounter(const fs::path& root) : root_(root) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    watch(root);
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_directory()) watch(e.path());
    reader_ = std::thread([this] { read(); });
  }
  ~CreationCounter() { stop(); }
  void stop() {
    if (fd_ < 0) return;
    done_ = true;
    if (reader_.joinable()) reader_.join();
    drain();
    ::close(fd_);
    fd_ = -1;
  }
  uint64_t inFirms() const { return inFirms_; }
  uint64_t total() const { return total_; }
  bool overflowed() const { return overflowed_; }

 private:
  void watch(const fs::path& dir) {
    int wd = ::inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_ONLYDIR);
    if (wd < 0) return;
    const std::string first = fs::relative(dir, root_).begin()->string();
    dirs_[wd] = {dir, first.rfind("firma", 0) == 0};
  }
  void read() {
    while (!done_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) drain();
    }
  }
  void drain() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return;
      for (char* at = buf; at < buf + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + e->len;
        if (e->mask & IN_Q_OVERFLOW) overflowed_ = true;
        auto d = dirs_.find(e->wd);
        if (d == dirs_.end() || !(e->mask & IN_CREATE)) continue;
        if (e->mask & IN_ISDIR) {
          watch(d->second.path / e->name);
          continue;
        }
        ++total_;
        if (d->second.inFirm) ++inFirms_;
      }
    }
  }

  struct Dir {
    fs::path path;
    bool inFirm;
  };
  fs::path root_;
  int fd_ = -1;
  std::map<int, Dir> dirs_;
  std::thread reader_;
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> inFirms_{0}, total_{0};
  std::atomic<bool> overflowed_{false};
};

struct Measured {
  double seconds = 0, cpu = 0, written = 0, created = 0, peakMb = 0;
  double overOwnCopy = 0;  // seconds over the mean of the durable copies just before and after
  int code = -1;
};

// Runs a shell command as a child process: its wall time, exit code, CPU time (user + system),
// bytes written and peak memory (the largest of it and the processes it waited for).
Measured timed(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  Measured m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec / 1e6;
  m.written = static_cast<double>(usage.ru_oublock) * 512.0;
  m.peakMb = usage.ru_maxrss / 1024.0;
  m.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

// Waits before a timed command until the disk has finished with what came before it. The disk
// under this kind of machine goes on writing (or discarding) what a command left well after the
// command's own sync returned, and a command timed at once pays for it: a copy timed just after
// an upgrade took three times one timed just before. Settled is two probes in a row (32 MB
// written over the same blocks, then forced) within a quarter of the fastest probe of the bench;
// a disk that does not settle within a minute is waited for no longer, and counted.
class QuietDisk {
 public:
  explicit QuietDisk(const fs::path& probe) : probe_(probe), chunk_(kChunk, 'q') {
    const int fd = ::open(probe_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (int i = 0; i < kChunks; ++i)
      if (::write(fd, chunk_.data(), chunk_.size()) != static_cast<ssize_t>(chunk_.size())) break;
    ::fsync(fd);
    ::close(fd);
  }
  ~QuietDisk() { fs::remove(probe_); }

  void wait() {
    const auto start = std::chrono::steady_clock::now();
    int inRow = 0;
    while (inRow < 2) {
      const double t = probe();
      if (t < 0) return;
      best_ = best_ > 0 ? std::min(best_, t) : t;
      inRow = t <= best_ * 1.25 ? inRow + 1 : 0;
      if (std::chrono::steady_clock::now() - start > std::chrono::minutes(1)) {
        ++unsettled_;
        break;
      }
      if (inRow < 2) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    waited_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  double waited() const { return waited_; }
  int unsettled() const { return unsettled_; }
  double fastestProbe() const { return best_; }

 private:
  static constexpr size_t kChunk = 1 << 20;
  static constexpr int kChunks = 32;
  // Seconds to write the probe over itself and force it; -1 when it cannot be written.
  double probe() {
    const int fd = ::open(probe_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (int i = 0; i < kChunks && ok; ++i)
      ok = ::pwrite(fd, chunk_.data(), chunk_.size(), static_cast<off_t>(i) * kChunk) ==
           static_cast<ssize_t>(chunk_.size());
    ok = ok && ::fdatasync(fd) == 0;
    ::close(fd);
    return ok ? std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
              : -1;
  }
  fs::path probe_;
  std::string chunk_;
  double best_ = 0, waited_ = 0;
  int unsettled_ = 0;
};

bool logSays(const fs::path& log, const std::string& words) {
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.find(words) != std::string::npos;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One way of running the upgrade: which tool, how many firms at once, with the pauses or not;
// and what its runs measured.
struct Variant {
  std::string build;  // "" for this build, "before" for --before
  fs::path tav;
  int jobs = 1;
  bool pauses = false;
  std::vector<Measured> runs;
  std::string name() const {
    std::string s = jobs == 1 ? "one firm after another" : std::to_string(jobs) + " firms at once";
    s += pauses ? ", with pauses" : ", no pauses";
    return s;
  }
  double med(double Measured::*field) const {
    std::vector<double> v;
    for (const auto& m : runs) v.push_back(m.*field);
    return median(v);
  }
};

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
    else if (k == "--before")
      o.before = fs::absolute(v);
    else if (k == "--pauses" && (v == "both" || v == "no"))
      o.withPauses = v == "both";
    else {
      std::fprintf(stderr,
                   "usage: bench_upgrade [--firms N] [--records M] [--runs R] [--jobs J] "
                   "[--dir SCRATCH] [--before BUILD] [--pauses both|no]\n");
      return 2;
    }
  }
  if ((argc - 1) % 2) {
    std::fprintf(stderr, "bench_upgrade: %s needs a value\n", argv[argc - 1]);
    return 2;
  }
  const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  const fs::path mkrelease = build / "tools" / "mkrelease" / "mkrelease";
  if (o.dir.empty()) o.dir = build / "bench-upgrade";
  fs::remove_all(o.dir);
  fs::create_directories(o.dir);
  const fs::path release = o.dir / "release", pristine = o.dir / "pristine", baza = o.dir / "baza",
                 program = o.dir / "program", copy = o.dir / "copy";

  std::vector<Variant> variants;
  std::vector<std::pair<std::string, fs::path>> tools = {{"", build / "tav_setup"}};
  if (!o.before.empty()) tools.insert(tools.begin(), {"before", o.before / "tav_setup"});
  std::vector<int> jobCounts = {1};
  if (o.jobs > 1) jobCounts.push_back(o.jobs);
  for (bool pauses : {false, true})
    for (int jobs : jobCounts)
      if (!pauses || o.withPauses)
        for (const auto& [name, tav] : tools) {
          if (!fs::exists(tav)) {
            std::fprintf(stderr, "bench_upgrade: no %s\n", tav.c_str());
            return 2;
          }
          variants.push_back({name, tav, jobs, pauses, {}});
        }

  std::printf("upgrade: generating %d firms of %d records from release 025.01.001 in %s\n", o.firms,
              o.records, o.dir.c_str());
  std::fflush(stdout);
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

  std::vector<double> durable, plain;
  QuietDisk quiet(o.dir / "probe");
  // Each timed command starts with nothing left to flush from before it, on a disk that has
  // finished with it.
  auto settle = [&] {
    run("sync");
    quiet.wait();
  };
  for (int r = 0; r < o.runs; ++r) {
    fs::remove_all(copy);
    settle();
    durable.push_back(
        timed("cp -r " + q(pristine) + " " + q(copy) + " && sync -f " + q(copy)).seconds);
    fs::remove_all(copy);
    settle();
    plain.push_back(timed("cp -r " + q(pristine) + " " + q(copy)).seconds);
    fs::remove_all(copy);

    for (Variant& v : variants) {
      fs::remove_all(baza);
      fs::remove_all(program);
      fs::remove_all(o.dir / "prefix");
      settle();
      const double ownCopy =
          timed("cp -r " + q(pristine) + " " + q(baza) + " && sync -f " + q(baza)).seconds;
      run(q(mkrelease) + " program " + q(program) + " --release 25.01.001 --database " + q(baza) +
          " > /dev/null");
      settle();
      CreationCounter created(baza);
      Measured m;
      // A TAV started elsewhere on this machine (another suite's test) refuses the run before it
      // touches anything: the run waits for it to end, as the crash sweep does.
      for (int wait = 0; wait < 200; ++wait) {
        m = timed("cd " + q(release) + " && " + (v.pauses ? "" : "TAV_NO_PAUSES=1 ") +
                  "TAV_PREFIX=" + q(o.dir / "prefix") + " " + q(v.tav) +
                  " 25.01.046 025.01.046 2025 --upgrade " + q(program) + " --yes --jobs " +
                  std::to_string(v.jobs) + " --report " + q(o.dir / "report.json") + " 2> " +
                  q(o.dir / "upgrade.log") + " && sync -f " + q(baza));
        if (m.code != 2 || !logSays(o.dir / "upgrade.log", "TAV is running on this computer"))
          break;
        std::this_thread::sleep_for(std::chrono::seconds(3));
      }
      created.stop();
      if (m.code != 0) {
        std::fprintf(stderr, "upgrade: %s tav_setup ended with %d (see %s)\n", v.build.c_str(),
                     m.code, (o.dir / "upgrade.log").c_str());
        return 1;
      }
      if (created.overflowed())
        std::fprintf(stderr, "upgrade: the creation count overflowed its queue (a lower bound)\n");
      m.created = static_cast<double>(created.inFirms()) / o.firms;
      // The disk's speed drifts on a shared machine: a copy timed after the run too makes the
      // floor that of the run's own minutes, not only of those before it.
      fs::remove_all(copy);
      settle();
      const double copyAfter =
          timed("cp -r " + q(pristine) + " " + q(copy) + " && sync -f " + q(copy)).seconds;
      fs::remove_all(copy);
      m.overOwnCopy = m.seconds / ((ownCopy + copyAfter) / 2);
      v.runs.push_back(m);
    }
  }

  const double durableSeconds = median(durable), plainSeconds = median(plain);
  std::printf("upgrade: database %.0f MB, %d firms of %d records, %d run(s), medians\n",
              bytes / 1e6, o.firms, o.records, o.runs);
  std::printf("  copy of the database directory, then sync (durable)  %8.2f s\n", durableSeconds);
  std::printf("  copy of the database directory alone (page cache)    %8.2f s\n", plainSeconds);
  std::printf(
      "  waited for a settled disk before each timed command  %8.1f s in all (fastest "
      "probe %.3f s, %d time(s) not settled within a minute)\n",
      quiet.waited(), quiet.fastestProbe(), quiet.unsettled());
  std::printf("  %-7s %-36s %8s %7s %7s %7s %9s %7s %9s %8s\n", "build",
              "unattended upgrade + sync", "time s", "/durab", "/copy", "/plain", "written",
              "/size", "cpu s", "files/f");
  for (const Variant& v : variants) {
    const double s = v.med(&Measured::seconds), w = v.med(&Measured::written);
    std::printf("  %-7s %-36s %8.2f %7.2f %7.2f %7.2f %7.0f MB %7.2f %9.2f %8.1f   peak %6.1f MB\n",
                v.build.empty() ? "this" : v.build.c_str(), v.name().c_str(), s, s / durableSeconds,
                v.med(&Measured::overOwnCopy), s / plainSeconds, w / 1e6,
                w / static_cast<double>(bytes), v.med(&Measured::cpu), v.med(&Measured::created),
                v.med(&Measured::peakMb));
  }
  fs::remove_all(o.dir);
  return 0;
}
