// Firm conversion throughput: every firm of a generated database taken through its conversion
// steps (MAKE_WINFIR), beside the floor set by the disk: copying the same database directory.
// Each round copies the pristine database three times (the best copy is the baseline), runs the
// template steps on the last copy (untimed: they refresh str\ once per database, not per firm)
// and then converts every firm of install.dbf (timed). Rounds alternate copies and conversions
// so that both meet the same load on a shared machine; the best copy and the best conversion
// over the rounds give the ratio to compare between builds (noise only ever adds time).
//
//   bench_firm_conversion [--firms 40] [--records 3000] [--rounds 3] [--dir DIR]
//
// With --dir the trees stay there, and a later run with the same --dir reuses them (profiling
// the conversion alone, or two builds on the very same data).
// The database is generated in a child process, so that the peak memory reported (getrusage
// of this process) is the conversion's own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/firm_runner.h"
#include "convert/step_registry.h"
#include "db/run_variables.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "generate.h"
#include "os/file.h"
#include "os/path.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace fs = std::filesystem;
using namespace tav;

namespace {

constexpr const char* kDatabaseRelease = "025.01.001";
constexpr const char* kShippedDatabase = "025.01.046";

struct Options {
  int firms = 40, records = 3000, rounds = 3;
  fs::path dir;
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--firms")
      o.firms = std::stoi(v);
    else if (k == "--records")
      o.records = std::stoi(v);
    else if (k == "--rounds")
      o.rounds = std::stoi(v);
    else if (k == "--dir")
      o.dir = v;
    else
      return false;
  }
  return o.firms > 0 && o.records > 0 && o.rounds > 0;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

uintmax_t treeBytes(const fs::path& dir) {
  uintmax_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

// The sample trees, written by a child so that the generator's memory stays out of our peak.
bool generate(const Options& o, const fs::path& release, const fs::path& database) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int rc = 0;
    try {
      os::setDurableSync(false);  // sample data can always be made again
      mkrelease::ReleaseOptions r;
      r.dir = release;
      mkrelease::writeRelease(r);
      mkrelease::DatabaseOptions d;
      d.dir = database;
      d.release = kDatabaseRelease;
      d.firms = o.firms;
      d.records = o.records;
      mkrelease::writeDatabase(d);
    } catch (...) {
      rc = 1;
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The firm numbers of install.dbf, as the upgrade run walks them (deleted records hidden).
std::vector<int> firmNumbers(const std::string& databaseDir) {
  std::vector<int> out;
  if (!db::OTWORZ(databaseDir, "install", "ins")) return out;
  engine::WorkArea& ins = *engine::workspace().current();
  for (ins.goTop(); !ins.eof(); ins.skip(1))
    out.push_back(static_cast<int>(ins.get(std::string_view("nr")).num()));
  db::ZAMKNIJ("ins");
  return out;
}

struct Round {
  double copy = 0, conversion = 0;
  size_t firms = 0;
  int failed = 0;
};

Round runRound(const fs::path& pristine, const fs::path& work, const fs::path& release) {
  Round r;
  // The baseline is the best of three copies: a copy is short enough for one burst of another
  // engineer's disk writes to double it. Nothing is deleted before the copies (a file system
  // slows down creating files where many were just deleted); the last copy is the one converted.
  r.copy = 1e9;
  for (const char* name : {"copy1", "copy2", "baza"}) {
    auto t0 = std::chrono::steady_clock::now();
    fs::copy(pristine, work / name, fs::copy_options::recursive);
    r.copy = std::min(r.copy, seconds(t0));
  }
  os::mapDrive('D', work);

  const std::string dbDir = "D:\\baza\\", programDir = "C:\\tav\\";
  fs::current_path(release);  // the template steps read the release's .\str\ .
  convert::runTemplateSteps(kDatabaseRelease, {programDir, dbDir});
  // The run's variables as the upgrade makes them before the firms (kraje_ue stays empty: the
  // steps that read it find no country, which changes their data, not their work).
  db::RunVariables variables;
  const std::vector<int> firms = firmNumbers(dbDir);
  r.firms = firms.size();

  rt::AbandonGuard guard;
  const auto t0 = std::chrono::steady_clock::now();
  for (int nr : firms) {
    variables.num_fir = rt::Value(nr);
    const std::string firm = dbDir + "firma" + rt::lTrim(rt::Str(nr, 4, 0)) + "\\";
    rt::Error e;
    if (!rt::sequence([&] { convert::MAKE_WINFIR(firm, programDir, dbDir, kDatabaseRelease); },
                      &e)) {
      ++r.failed;
      std::fprintf(stderr, "  firm %d failed: %s %s\n", nr, e.description.c_str(),
                   e.filename.c_str());
    }
    db::CLOSEALL();
  }
  r.conversion = seconds(t0);
  engine::workspace().closeAll();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: %s [--firms 40] [--records 3000] [--rounds 3] [--dir DIR]\n",
                 argv[0]);
    return 2;
  }
  fs::path root = o.dir;
  if (root.empty()) {
    std::string t = (fs::temp_directory_path() / "tav-bench-conversion-XXXXXX").string();
    if (!::mkdtemp(t.data())) return 1;
    root = t;
  }
  root = fs::absolute(root);
  const fs::path release = root / "release", pristine = root / "pristine";
  const bool reuse = fs::exists(release / "wb.dbf") && fs::exists(pristine / "install.dbf");
  if (reuse)
    std::printf("firm conversion: the database already in %s, %d rounds\n", root.c_str(), o.rounds);
  else
    std::printf("firm conversion: %d firms of %d records from %s, %d rounds, in %s\n", o.firms,
                o.records, kDatabaseRelease, o.rounds, root.c_str());
  if (!reuse && !generate(o, release, pristine)) {
    std::fprintf(stderr, "generating the sample database failed\n");
    return 1;
  }
  std::printf("database: %.1f MB\n", static_cast<double>(treeBytes(pristine)) / 1e6);

  ::setenv("TAV_PREFIX", (root / "prefix").c_str(), 1);
  os::resetPathCaches();
  db::STARTINIT();
  rt::shared().wersja_b = kShippedDatabase;

  std::vector<Round> rounds;
  for (int i = 1; i <= o.rounds; ++i) {
    const fs::path work = root / ("round" + std::to_string(i));
    std::error_code ec;
    fs::remove_all(work, ec);
    fs::create_directories(work);
    Round r = runRound(pristine, work, release);
    std::printf("round %d: copy %.3f s, conversion of %zu firms %.3f s, ratio %.1f%s\n", i, r.copy,
                r.firms, r.conversion, r.conversion / r.copy, r.failed ? " (firms failed)" : "");
    std::fflush(stdout);
    rounds.push_back(r);
  }
  // The best of each over the rounds: noise on a shared machine only ever adds time.
  double copy = 1e9, conversion = 1e9;
  for (const Round& r : rounds) {
    copy = std::min(copy, r.copy);
    conversion = std::min(conversion, r.conversion);
  }
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  std::printf("best: copy %.3f s, conversion %.3f s, ratio %.1f; peak memory %.1f MB\n", copy,
              conversion, conversion / copy, static_cast<double>(ru.ru_maxrss) / 1024.0);
  std::error_code ec;
  fs::current_path("/", ec);
  if (o.dir.empty()) fs::remove_all(root, ec);
  for (int i = 1; i <= o.rounds; ++i) fs::remove_all(root / ("round" + std::to_string(i)), ec);
  for (const Round& r : rounds)
    if (r.failed) return 1;
  return 0;
}
