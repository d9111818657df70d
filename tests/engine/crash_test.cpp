// What a killed writer leaves in a table and what the next open makes of it. Groups: CrashSafety
// (an appender killed mid-stream, exclusive or shared, loses no record it committed and leaves a
// file strict readers accept) and RepairOnOpen (a lagging count, a torn last record or a missing
// end marker repaired only by an exclusive open, shared opens never writing; missing records
// reported, never invented).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/workspace.h"
#include "engine_test_util.h"
#include "runtime/coding.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::engine;
using tav::test::TempDir;

namespace {

struct Layout {
  uint32_t count;
  uint16_t header, record;
  size_t size;
  bool endsWithEof;
};

Layout layoutOf(const std::filesystem::path& p) {
  std::string b = test::readFile(p);
  return {rt::getLE32(b.data() + 4), rt::getLE16(b.data() + 8), rt::getLE16(b.data() + 10),
          b.size(), !b.empty() && static_cast<uint8_t>(b.back()) == 0x1A};
}

// A child appends numbered records and reports each commit through a pipe; the parent kills it
// mid-stream. Whatever it reported as committed must be there after the next open, and the
// file must be one that strict readers accept.
void killMidAppends(bool shared) {
  TempDir dir;
  std::string path = (dir / "t.dbf").string();
  {
    Workspace ws;
    ASSERT_TRUE(ws.create(path, {{"NR", 'N', 8, 0}, {"TEKST", 'C', 30, 0}, {"UWAGI", 'M', 10, 0}}));
  }
  int up[2];
  ASSERT_EQ(pipe(up), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(up[0]);
    Workspace ws;
    rt::HandlerGuard g([](rt::Error&) -> rt::Answer { _exit(3); });
    if (!ws.use(path, "T", UseOptions{shared, false, ""})) _exit(2);
    WorkArea& a = *ws.current();
    for (uint32_t i = 1;; ++i) {
      if (!a.append()) continue;
      a.put(1, rt::Value(static_cast<int>(i)));
      a.put(2, rt::Value("rekord " + std::to_string(i)));
      if (i % 3 == 0) a.put(3, rt::Value(std::string(100 + i % 50, 'm')));
      if (i % 7 == 0) {
        a.commit();
        (void)!write(up[1], &i, sizeof i);
      }
    }
  }
  close(up[1]);
  uint32_t committed = 0, n = 0;
  while (committed < 700 && read(up[0], &n, sizeof n) == sizeof n) committed = n;
  kill(pid, SIGKILL);
  while (read(up[0], &n, sizeof n) == sizeof n) committed = n;  // reports already in the pipe
  int status;
  waitpid(pid, &status, 0);
  close(up[0]);
  ASSERT_TRUE(WIFSIGNALED(status));

  std::vector<rt::Error> errors;
  rt::HandlerGuard g([&](rt::Error& e) {
    errors.push_back(e);
    return rt::Answer{};
  });
  Workspace ws;
  ASSERT_TRUE(ws.use(path, "T", UseOptions{}));
  WorkArea& a = *ws.current();
  uint32_t count = a.lastRec();
  EXPECT_GE(count, committed);
  EXPECT_GE(committed, 700u);
  for (uint32_t r = 1; r <= count; ++r) {
    a.goTo(r);
    // A shared append reserves its record at once: one the child had not filled when it died
    // may be there blank. Every committed record is there in full.
    if (r > committed && a.get(1).num() == 0) continue;
    ASSERT_EQ(a.get(1).num(), r) << "record " << r;
    ASSERT_EQ(rt::allTrim(a.get(2).str()), "rekord " + std::to_string(r));
    if (r % 3 == 0 && r <= committed) {
      ASSERT_EQ(a.get(3).str().size(), 100 + r % 50);
    }
  }
  ws.closeAll();
  EXPECT_TRUE(errors.empty());
  Layout l = layoutOf(path);
  EXPECT_EQ(l.count, count);
  EXPECT_EQ(l.size, size_t(l.header) + size_t(count) * l.record + 1);
  EXPECT_TRUE(l.endsWithEof);
}

TEST(CrashSafety, KilledExclusiveAppenderLosesNothingCommitted) { killMidAppends(false); }
TEST(CrashSafety, KilledSharedAppenderLosesNothingCommitted) { killMidAppends(true); }

class RepairOnOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    Workspace ws;
    ASSERT_TRUE(ws.create(path_, {{"NR", 'N', 4, 0}, {"T", 'C', 5, 0}}));
    ASSERT_TRUE(ws.use(path_, "T", UseOptions{}));
    for (int i = 1; i <= 4; ++i) {
      ws.current()->append();
      ws.current()->put(1, rt::Value(i));
    }
    ws.closeAll();
    good_ = test::readFile(path_);
  }
  std::vector<TableIssue> open(bool shared, uint32_t* count = nullptr) {
    rt::Error err;
    TableOptions o;
    o.shared = shared;
    auto t = Table::open(path_, o, err);
    EXPECT_TRUE(t) << err.description;
    if (!t) return {};
    if (count) *count = t->recordCount();
    return t->issues();
  }
  std::string withCount(std::string b, uint32_t n) {
    rt::putLE32(b.data() + 4, n);
    return b;
  }
  TempDir dir_;
  std::string path_ = (dir_ / "r.dbf").string();
  std::string good_;
};

TEST_F(RepairOnOpen, SoundTableHasNoIssues) { EXPECT_TRUE(open(false).empty()); }

TEST_F(RepairOnOpen, LaggingCountIsCorrectedFromTheFileSize) {
  test::writeFile(path_, withCount(good_, 2));
  uint32_t count = 0;
  auto shared = open(true, &count);
  EXPECT_EQ(count, 4u);
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_FALSE(shared[0].repaired);  // shared opens never write
  EXPECT_EQ(layoutOf(path_).count, 2u);
  auto issues = open(false, &count);
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_TRUE(issues[0].repaired);
  EXPECT_EQ(test::readFile(path_), good_);
}

TEST_F(RepairOnOpen, PartialLastRecordIsDroppedAndMarkerRestored) {
  std::string torn = good_.substr(0, good_.size() - 1) + "  12";  // 4 bytes of a 5th record
  test::writeFile(path_, torn);
  uint32_t count = 0;
  auto issues = open(false, &count);
  EXPECT_EQ(count, 4u);
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_TRUE(issues[0].repaired);
  Layout l = layoutOf(path_);
  EXPECT_EQ(l.size, good_.size());
  EXPECT_TRUE(l.endsWithEof);
}

TEST_F(RepairOnOpen, MissingEofMarkerIsAdded) {
  test::writeFile(path_, good_.substr(0, good_.size() - 1));
  auto issues = open(false);
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_EQ(test::readFile(path_), good_);
}

TEST_F(RepairOnOpen, MissingRecordsAreReportedAsNotRepairable) {
  test::writeFile(path_, withCount(good_, 9));
  uint32_t count = 0;
  auto issues = open(false, &count);
  EXPECT_EQ(count, 4u);
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_FALSE(issues[0].repaired);
  EXPECT_NE(issues[0].text.find("5 records are missing"), std::string::npos);
  EXPECT_EQ(layoutOf(path_).count, 4u);  // strict readers accept the file again
}

}  // namespace
