// Knowing before running: the plan of an upgrade names exactly what the run then does and writes
// nothing, and a database on a disk without the room the run needs is refused before any change.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "e2e/upgrade_support.h"

using namespace tav::e2e;
using Trees = tav::testing::SampleTrees;
using tav::testing::snapshot;

namespace {

struct Planned {
  int code = -1;
  std::string out;
  json plan;
};

Planned plan(const Scene& s) {
  const fs::path file = s.root / "plan.json";
  fs::remove(file);
  Planned p;
  const std::string cmd =
      s.command({"--plan", s.program.string(), "--json", file.string()}) + " 2>&1";
  if (FILE* f = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) p.out.append(buf, n);
    const int rc = ::pclose(f);
    p.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  if (fs::exists(file)) p.plan = json::parse(tav::testing::contents(file));
  return p;
}

}  // namespace

TEST(UpgradePlan, NamesWhatTheRunThenDoesAndWritesNothingWhileTheDatabaseIsInUse) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("plan", "025.01.001", 6);
  // Another workstation has TAV open: a plan needs no lock.
  const fs::path nazwy = s.baza / "str" / "nazwy.dbf";
  const int fd = ::open(nazwy.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  fs::create_directories(s.prefix);  // the drive map is the tool's own, not the database's
  const auto program = snapshot(s.program), baza = snapshot(s.baza);
  Planned p = plan(s);
  EXPECT_EQ(snapshot(s.program), program);
  EXPECT_EQ(snapshot(s.baza), baza);
  ::close(fd);
  ASSERT_EQ(p.code, 0) << p.out;
  EXPECT_EQ(p.plan["decision"], "run");
  EXPECT_NE(p.out.find("decision:  run (database 025.01.001 -> 025.01.046)"), std::string::npos)
      << p.out;
  EXPECT_GT(p.plan["space"]["needed_bytes"].get<double>(), 0);
  EXPECT_GT(p.plan["space"]["free_bytes"].get<double>(), 0);

  RunResult r = upgrade(s);
  ASSERT_EQ(r.code, 0) << r.err;
  // Template, public and index steps in the order they ran; then each firm's own.
  json planned = p.plan["template_steps"];
  for (const json& step : p.plan["public_steps"]) planned.push_back(step);
  planned.push_back(p.plan["public_index_rebuild"]);
  json ran = r.report["steps"];
  if (!ran.empty() && ran.back() == "NTX_PUB" && p.plan["public_index_rebuild"] == "NTX_PUB(1)")
    ran.back() = "NTX_PUB(1)";
  EXPECT_EQ(ran, planned);
  ASSERT_EQ(p.plan["firms"].size(), r.report["firms"].size());
  int firmsWithSteps = 0;
  for (size_t i = 0; i < p.plan["firms"].size(); ++i) {
    const json& pf = p.plan["firms"][i];
    const json& rf = r.report["firms"][i];
    EXPECT_EQ(pf["number"], rf["number"]);
    json names = json::array();
    for (const json& step : pf["steps"]) names.push_back(step["step"]);
    EXPECT_EQ(names, rf["steps"]) << "firm " << pf["number"];
    EXPECT_EQ(pf["skipped"].is_null(), rf["status"] != "skipped") << "firm " << pf["number"];
    firmsWithSteps += !names.empty();
  }
  EXPECT_GE(firmsWithSteps, 4);

  // The database is current now: the plan says only the program is refreshed.
  Planned current = plan(s);
  EXPECT_EQ(current.code, 0) << current.out;
  EXPECT_EQ(current.plan["decision"], "refresh program only");
  EXPECT_TRUE(current.plan["firms"].empty());

  // A check that refuses: the same message as the entry's, exit 2.
  setField(s.baza / "wersja.dbf", "rok", "2024");
  Planned refused = plan(s);
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.plan["decision"], "refused");
  EXPECT_EQ(refused.plan["refused_by"]["title"], "Błąd");
  EXPECT_EQ(refused.plan["refused_by"]["text"], "Baza wskazanego programu obowiązuje w roku 2024");
}

TEST(UpgradePlan, TooLittleSpaceIsRefusedBeforeAnythingChanges) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("space", "025.01.001", 2);
  // The database moves to a file system of its own, then filled until less room is left than the
  // plan says the run needs.
  const fs::path small = s.root / "small";
  fs::create_directories(small);
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(s.baza))
    if (e.is_regular_file()) bytes += e.file_size() + 4096;
  const std::string options = "size=" + std::to_string(bytes + 64 * 1024 * 1024);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, options.c_str()) != 0)
    GTEST_SKIP() << "a file system of its own cannot be mounted here (needs root): "
                 << std::strerror(errno);
  struct Unmount {
    fs::path dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{small};
  fs::copy(s.baza, small / "baza", fs::copy_options::recursive);
  std::string windows = "Z:" + (small / "baza").string();
  std::replace(windows.begin(), windows.end(), '/', '\\');
  setField(s.program / "baza.dbf", "path", windows);
  Planned p = plan(s);
  ASSERT_EQ(p.code, 0) << p.out;
  const auto needed = p.plan["space"]["needed_bytes"].get<std::uintmax_t>();
  const auto free = p.plan["space"]["free_bytes"].get<std::uintmax_t>();
  ASSERT_GT(free, needed);
  std::ofstream(small / "filler", std::ios::binary) << std::string(free - needed / 2, 'x');

  const auto before = snapshot(small / "baza");
  // The plan says what the run will say: refused, for the room.
  Planned refused = plan(s);
  EXPECT_EQ(refused.code, 2) << refused.out;
  EXPECT_EQ(refused.plan["decision"], "refused");
  EXPECT_NE(refused.out.find("MB wolnego miejsca"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("space:"), std::string::npos) << refused.out;
  RunResult r = upgrade(s);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("[Brak miejsca na dysku]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("MB wolnego miejsca"), std::string::npos) << r.err;
  // Refused before the confirmation: not even the workstation's record is written.
  EXPECT_TRUE(snapshot(small / "baza") == before) << "the database changed";
  EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.001");
}
