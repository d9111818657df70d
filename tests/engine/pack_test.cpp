// PACK and memo compaction: the table, its memo and its index are written anew and replace the
// old ones together. A process killed at any moment of the swap leaves the old table or the
// packed one (the next open finishes a committed swap); the memo keeps only live texts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "engine/staging.h"
#include "engine/table_check.h"
#include "engine/workspace.h"
#include "engine_test_util.h"
#include "runtime/error.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::engine;
using tav::test::TempDir;

namespace {

constexpr int kRecords = 40;  // every third one deleted
bool deletedOne(int n) { return n % 3 == 0; }
// An edited text is longer than the first one: it no longer fits the blocks of the first.
std::string memoText(int n, bool edited) {
  return "memo " + std::to_string(n) +
         std::string(size_t(30 + 17 * n + (edited ? 200 : 0)), char('a' + n % 26));
}
bool edited(int n) { return n % 5 == 0; }

// NR, NAZWA and a memo per record, a structural index of three tags (the last keyed on the
// record's number, which a pack changes); the memos of every fifth record were replaced by longer
// ones, which leaves their first blocks dead.
void makeTable(const std::filesystem::path& p) {
  Workspace ws;
  ASSERT_TRUE(
      ws.create(p.string(), {{"NR", 'N', 6, 0}, {"NAZWA", 'C', 20, 0}, {"UWAGI", 'M', 10, 0}}));
  ASSERT_TRUE(ws.use(p.string(), "T", {}));
  WorkArea& a = *ws.current();
  for (int n = 1; n <= kRecords; ++n) {
    ASSERT_TRUE(a.append());
    a.put(1, rt::Value(n));
    a.put(2, rt::Value("nazwa " + std::to_string(kRecords - n)));
    a.put(3, rt::Value(memoText(n, false)));
    if (deletedOne(n)) a.remove();
  }
  for (int n = 5; n <= kRecords; n += 5) {
    a.goTo(uint32_t(n));
    a.put(3, rt::Value(memoText(n, true)));
  }
  auto cdx = p;
  ASSERT_TRUE(a.orderCreate(cdx.replace_extension(".cdx"),
                            {{"NR", "str(NR,6)"}, {"NAZWA", "upper(NAZWA)"}, {"POZ", "recno()"}}));
  a.commit();
}

// The memo file a writer of only these texts would leave: header and whole blocks.
uint64_t compactMemoSize(bool withDeleted) {
  uint64_t size = 512;
  for (int n = 1; n <= kRecords; ++n)
    if (withDeleted || !deletedOne(n)) size += (8 + memoText(n, edited(n)).size() + 63) / 64 * 64;
  return size;
}

// Opens the table as the next run would and checks it is whole: the old table or the packed
// one, each record with its own memo text and mark, every tag holding each record's key.
// Returns whether it is the packed one.
bool expectWhole(const std::filesystem::path& p) {
  const rt::DeletedHiddenAs shown(false);
  Workspace ws;
  EXPECT_TRUE(ws.use(p.string(), "C", {}));
  WorkArea& a = *ws.current();
  const uint32_t live = uint32_t(kRecords - kRecords / 3);
  EXPECT_TRUE(a.lastRec() == uint32_t(kRecords) || a.lastRec() == live) << a.lastRec();
  const bool packed = a.lastRec() == live;
  EXPECT_EQ(a.orderCount(), 3u);
  for (uint32_t r = 1; r <= a.lastRec(); ++r) {
    a.goTo(r);
    int n = int(a.get(1).num());
    EXPECT_EQ(a.deleted(), deletedOne(n)) << r;
    EXPECT_EQ(a.get(3).str(), memoText(n, edited(n))) << r;
    for (size_t i = 0; i < a.orderCount(); ++i)
      EXPECT_TRUE(a.orderAt(i)->locate(a.currentKey(i), r)) << "tag " << i << " record " << r;
  }
  for (size_t i = 0; i < a.orderCount(); ++i) {
    uint32_t entries = 0;
    for (uint32_t r = a.orderAt(i)->first(); r; r = a.orderAt(i)->next()) ++entries;
    EXPECT_EQ(entries, a.lastRec()) << "tag " << i;
  }
  ws.closeAll();
  // The check computes every key from its own reads: it finds each tag as built.
  const TableCheck check = checkTable(p);
  EXPECT_TRUE(check.clean()) << (check.problems.empty() ? check.unreadable : check.problems[0]);
  return packed;
}

std::vector<std::string> stagedLeft(const TempDir& dir) {
  std::vector<std::string> out;
  for (auto& e : std::filesystem::directory_iterator(dir.path()))
    if (e.path().filename().string()[0] == '~') out.push_back(e.path().filename().string());
  return out;
}

TEST(Pack, DropsDeletedRecordsAndEveryDeadMemoBlock) {
  TempDir dir;
  const auto p = dir / "t.dbf";
  makeTable(p);
  ASSERT_GT(std::filesystem::file_size(dir / "t.fpt"), compactMemoSize(true));
  {
    Workspace ws;
    ASSERT_TRUE(ws.use(p.string(), "T", {}));
    // Compaction alone keeps every record, deleted ones with their mark.
    ASSERT_TRUE(ws.current()->compactMemo());
    EXPECT_EQ(ws.current()->lastRec(), uint32_t(kRecords));
    EXPECT_EQ(std::filesystem::file_size(dir / "t.fpt"), compactMemoSize(true));
  }
  EXPECT_FALSE(expectWhole(p));
  {
    Workspace ws;
    ASSERT_TRUE(ws.use(p.string(), "T", {}));
    ws.current()->pack();
    // The area goes on with the new files: its order and its writes reach them.
    EXPECT_EQ(ws.current()->lastRec(), uint32_t(kRecords - kRecords / 3));
    ASSERT_TRUE(ws.current()->setOrder("NR"));
    ws.current()->goTop();
    ws.current()->skip(2);
    EXPECT_EQ(ws.current()->get(1).num(), 4);  // 3 is gone
  }
  EXPECT_EQ(std::filesystem::file_size(dir / "t.fpt"), compactMemoSize(false));
  EXPECT_TRUE(expectWhole(p));
  EXPECT_TRUE(stagedLeft(dir).empty());
  // An independent reader sees the packed records with their memos.
  std::string cmd =
      "/usr/bin/python3 -c \"import dbfread,sys\nt=dbfread.DBF(sys.argv[1])\n"
      "print(len(t), sum(len(r['UWAGI']) for r in t))\" " +
      p.string();
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  char line[128] = {};
  ASSERT_TRUE(fgets(line, sizeof line, pipe.get()));
  size_t texts = 0;
  for (int n = 1; n <= kRecords; ++n)
    if (!deletedOne(n)) texts += memoText(n, edited(n)).size();
  EXPECT_EQ(std::string(line),
            std::to_string(kRecords - kRecords / 3) + " " + std::to_string(texts) + "\n");
}

// The packing process is killed at each moment of its swap.
class PackKilled : public ::testing::TestWithParam<SwapPoint> {};

TEST_P(PackKilled, LeavesTheOldOrThePackedTableAndARerunFinishes) {
  TempDir dir;
  const auto p = dir / "t.dbf";
  makeTable(p);
  const SwapPoint at = GetParam();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setStagingHook([at](SwapPoint here, const std::filesystem::path&) {
      if (here == at) ::kill(::getpid(), SIGKILL);
      return true;
    });
    rt::HandlerGuard g([](rt::Error&) -> rt::Answer { _exit(3); });
    Workspace ws;
    if (!ws.use(p.string(), "T", {})) _exit(2);
    ws.current()->pack();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  // Killed before the commit: the old table; after it: the packed one, completed on open.
  EXPECT_EQ(expectWhole(p), at != SwapPoint::BeforeMemo);
  if (at != SwapPoint::BeforeMemo) {
    EXPECT_TRUE(stagedLeft(dir).empty());
  }
  Workspace ws;
  ASSERT_TRUE(ws.use(p.string(), "T", {}));
  ws.current()->pack();
  ws.closeAll();
  EXPECT_TRUE(expectWhole(p));
  EXPECT_TRUE(stagedLeft(dir).empty());
  EXPECT_EQ(std::filesystem::file_size(dir / "t.fpt"), compactMemoSize(false));
}

INSTANTIATE_TEST_SUITE_P(AtEachPoint, PackKilled,
                         ::testing::Values(SwapPoint::BeforeMemo, SwapPoint::BetweenMemoAndTable,
                                           SwapPoint::AfterTable));

}  // namespace
