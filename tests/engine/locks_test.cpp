// Opens and locks between two processes, as between two workstations. Group: LocksBetweenProcesses.
// An exclusive and a shared open refuse each other with the sharing error; a held record or header
// lock refuses a lock or an append, which succeeds once it is freed; two processes' appends never
// share a record number; a record lock lies at the offset the other engines look at.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "engine/workspace.h"
#include "engine_test_util.h"
#include "process_helper.h"
#include "runtime/error.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::engine;
using tav::test::OtherProcess;
using tav::test::TempDir;

namespace {

const UseOptions kShared{true, false, ""};
const UseOptions kExclusive{false, false, ""};

class LocksBetweenProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    Workspace ws;
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    ASSERT_TRUE(ws.create(path_, {{"NAZWA", 'C', 10, 0}, {"UWAGI", 'M', 10, 0}}));
    ASSERT_TRUE(ws.use(path_, "T", kExclusive));
    for (int i = 0; i < 3; ++i) ws.current()->append();
    ws.closeAll();
  }
  // Opens the table in the other process and runs `then` there.
  static std::function<bool()> open(std::string path, UseOptions o,
                                    std::function<bool(WorkArea&)> then = {}) {
    return [path, o, then] {
      static Workspace* ws = new Workspace;  // lives until the child exits
      rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
      if (!ws->use(path, "X", o)) return false;
      return !then || then(*ws->current());
    };
  }
  bool tryOpen(UseOptions o, int* code = nullptr) {
    std::vector<int> codes;
    rt::HandlerGuard g([&](rt::Error& e) {
      codes.push_back(e.genCode);
      return rt::Answer{};
    });
    bool ok = ws_.use(path_, "T", o);
    if (code) *code = codes.empty() ? 0 : codes.back();
    return ok;
  }

  TempDir dir_;
  std::string path_ = (dir_ / "t.dbf").string();
  Workspace ws_;
};

TEST_F(LocksBetweenProcesses, ExclusiveOpenFailsWhileAnotherProcessHasTheTableOpen) {
  OtherProcess other(open(path_, kShared));
  ASSERT_TRUE(other.ready());
  int code = 0;
  EXPECT_FALSE(tryOpen(kExclusive, &code));
  EXPECT_EQ(code, rt::kErrShared);
  EXPECT_TRUE(tryOpen(kShared));  // sharing with it is fine
  ws_.closeAll();
  other.finish();
  EXPECT_TRUE(tryOpen(kExclusive));
}

TEST_F(LocksBetweenProcesses, SharedOpenFailsWhileAnotherProcessHoldsItExclusively) {
  OtherProcess other(open(path_, kExclusive));
  ASSERT_TRUE(other.ready());
  int code = 0;
  EXPECT_FALSE(tryOpen(kShared, &code));
  EXPECT_EQ(code, rt::kErrShared);
  other.finish();
  EXPECT_TRUE(tryOpen(kShared));
}

TEST_F(LocksBetweenProcesses, RecordLockFailsWhileAnotherProcessHoldsThatRecord) {
  OtherProcess other(open(path_, kShared, [](WorkArea& a) {
    a.goTo(2);
    return a.rlock();
  }));
  ASSERT_TRUE(other.ready());
  ASSERT_TRUE(tryOpen(kShared));
  WorkArea& a = *ws_.current();
  a.goTo(2);
  EXPECT_FALSE(a.rlock());
  EXPECT_FALSE(a.flock());  // a table lock meets every record lock
  a.goTo(1);
  EXPECT_TRUE(a.rlock());
  // The other process's lock sits where the other engines look for it: this table has no
  // structural index, so record 2 is locked at 0x40000000 + its file offset.
  uint64_t offset =
      0x40000000ull + a.table().header().headerLength + a.table().header().recordLength;
  int fd = ::open(path_.c_str(), O_RDWR);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_GETLK, &fl), 0);
  EXPECT_EQ(fl.l_type, F_WRLCK);
  EXPECT_EQ(static_cast<uint64_t>(fl.l_start), offset);
  close(fd);
  other.finish();
  a.goTo(2);
  EXPECT_TRUE(a.rlock());
}

TEST_F(LocksBetweenProcesses, AppendSetsNetErrWhileAnotherProcessHoldsTheHeaderLock) {
  OtherProcess other(open(path_, kShared, [](WorkArea& a) { return a.table().lockHeader(); }));
  ASSERT_TRUE(other.ready());
  ASSERT_TRUE(tryOpen(kShared));
  WorkArea& a = *ws_.current();
  EXPECT_FALSE(a.append());
  EXPECT_TRUE(a.netErr());
  EXPECT_EQ(a.lastRec(), 3u);
  other.finish();
  EXPECT_TRUE(a.append());
  EXPECT_FALSE(a.netErr());
  EXPECT_EQ(a.recno(), 4u);
}

TEST_F(LocksBetweenProcesses, AppendsOfTwoProcessesNeverShareARecordNumber) {
  // The other process appends one record and keeps it (locked, as an appended record is).
  OtherProcess other(open(path_, kShared, [](WorkArea& a) {
    if (!a.append()) return false;
    a.put(1, rt::Value("tamten"));
    a.put(2, rt::Value("notatka tamtego"));
    a.commit();
    return a.recno() == 4;
  }));
  ASSERT_TRUE(other.ready());
  ASSERT_TRUE(tryOpen(kShared));
  WorkArea& a = *ws_.current();
  ASSERT_TRUE(a.append());
  EXPECT_EQ(a.recno(), 5u);
  a.put(2, rt::Value("moja notatka"));
  a.goTo(4);
  EXPECT_FALSE(a.rlock());
  EXPECT_EQ(a.get(2).str(), "notatka tamtego");
  a.goTo(5);
  EXPECT_EQ(a.get(2).str(), "moja notatka");
}

}  // namespace
