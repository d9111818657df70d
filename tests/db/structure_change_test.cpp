// The structure changes conversions make (DODAJ_POLE, DODAJ_POLA, ZMIEN_DL_POLA, EXPORTUJ,
// LBCREATE). Groups: StructureChange (no field added twice, a rerun only widens, nothing rewritten
// for nothing, memos and deleted records kept unless a width change drops them, no table touched
// without its backup, no dead memo blocks, one flush per staged file, the records changed in the
// one copy as after it), StructureChangeOnDrive
// (names on disk kept), InterruptedSwap (a rebuild stopped at any swap point leaves a whole table).
#include "db/structure_change.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "db/table_access.h"
#include "engine/engine_test_util.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "runtime/clock.h"
#include "runtime/date.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "support/dbf_rows.h"
#include "support/temp_drive_map.h"

using namespace tav;
using namespace tav::db;
namespace fs = std::filesystem;
using tav::engine::workspace;

namespace {

// One record as a test reads it back: deleted mark and every field as trimmed text.
struct Row {
  bool deleted;
  std::vector<std::string> values;
  bool operator==(const Row&) const = default;
  friend std::ostream& operator<<(std::ostream& o, const Row& r) {
    o << (r.deleted ? "*" : " ");
    for (const auto& v : r.values) o << "[" << v.substr(0, 20) << "]";
    return o;
  }
};

class StructureChange : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    STARTINIT();
    rt::setSleeper([this](int h) { pauses.push_back(h); });
  }
  void TearDown() override {
    workspace().closeAll();
    setSwapHook({});
    rt::setSleeper({});
    rt::resetSettings();
  }
  // NAZWA C10, KWOTA N8.2, UWAGI memo; record i has "r<i>", i and a memo "memo <i> ..." long
  // enough to take several blocks; the records in `deleted` are marked.
  void makeTable(const std::string& file, int records, std::vector<int> deleted = {}) {
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    engine::Workspace ws;
    std::string p = dir_ + file;
    ASSERT_TRUE(ws.create(p, {{"NAZWA", 'C', 10, 0}, {"KWOTA", 'N', 8, 2}, {"UWAGI", 'M', 10, 0}}));
    ASSERT_TRUE(ws.use(p, "X", {}));
    for (int i = 1; i <= records; ++i) {
      ws.current()->append();
      ws.current()->put(1, rt::Value("r" + std::to_string(i)));
      ws.current()->put(2, rt::Value(i));
      ws.current()->put(3, rt::Value(i == 1 ? std::string("short") : memoText(i)));
      if (std::find(deleted.begin(), deleted.end(), i) != deleted.end()) ws.current()->remove();
    }
    // The first memo grows and moves to the end of the memo file, as edited memos do: a rebuilt
    // memo file lays its blocks out differently from this one.
    if (records > 0) {
      ws.current()->goTo(1);
      ws.current()->put(3, rt::Value(memoText(1)));
      ws.current()->commit();
    }
  }
  static std::string memoText(int i) {
    return "memo " + std::to_string(i) + std::string(100 + i * 37, 'm');
  }

  // Every record, deleted ones included, read through a work area set of its own.
  std::vector<Row> rows(const std::string& file) {
    std::vector<Row> out;
    bool hidden = rt::settings().deletedHidden;
    rt::settings().deletedHidden = false;
    {
      engine::Workspace ws;
      rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
      if (ws.use(dir_ + file, "R", {})) {
        auto* a = ws.current();
        for (a->goTop(); !a->eof(); a->skip(1)) {
          Row r{a->deleted(), {}};
          for (size_t i = 1; i <= a->fieldCount(); ++i)
            r.values.push_back(rt::allTrim(rt::toText(a->get(i))));
          out.push_back(r);
        }
      }
    }
    rt::settings().deletedHidden = hidden;
    return out;
  }
  std::vector<std::string> fieldNames(const std::string& file) {
    engine::Workspace ws;
    std::vector<std::string> out;
    if (!ws.use(dir_ + file, "S", {})) return out;
    for (auto& f : ws.current()->structure())
      out.push_back(f.name + ":" + std::to_string(f.length));
    return out;
  }
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(tmp_.path())) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path().string() + "/";
  std::vector<int> pauses;
};

// ---------------------------------------------------------------- DODAJ_POLE

TEST_F(StructureChange, DodajPoleAddsFieldsWithInitialValuesAndKeepsMemos) {
  makeTable("tab.dbf", 4);
  ASSERT_TRUE(DODAJ_POLE({{"dok_l", 'C', 5, 0}, {"NOWA", 'N', 5, 0}, {"X", 'L', 1, 0}},
                         {rt::Value("ab"), rt::Value(), rt::Value(true)}, dir_, "TAB.DBF",
                         {{1, 20}}));
  EXPECT_EQ(fieldNames("tab.dbf"), (std::vector<std::string>{"NAZWA:20", "KWOTA:8", "UWAGI:10",
                                                             "DOK_L:5", "NOWA:5", "X:1"}));
  auto r = rows("tab.dbf");
  ASSERT_EQ(r.size(), 4u);
  for (int i = 1; i <= 4; ++i)
    EXPECT_EQ(r[i - 1], (Row{false,
                             {"r" + std::to_string(i), rt::allTrim(rt::Str(i, 8, 2)), memoText(i),
                              "ab", "0", ".T."}}));
  // No temporary or staged file is left behind.
  EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
}

TEST_F(StructureChange, DodajPoleNeverAddsAFieldTwice) {
  makeTable("tab.dbf", 2);
  // Lower case and mixed case of existing fields, and the same new name twice in the list.
  ASSERT_TRUE(DODAJ_POLE(
      {{"nazwa", 'C', 4, 0}, {"Kwota", 'N', 3, 0}, {"F_kURS", 'N', 6, 2}, {"F_KURS", 'C', 2, 0}},
      {}, dir_, "tab.dbf"));
  EXPECT_EQ(fieldNames("tab.dbf"),
            (std::vector<std::string>{"NAZWA:10", "KWOTA:8", "UWAGI:10", "F_KURS:6"}));
  EXPECT_EQ(rows("tab.dbf")[1].values[0], "r2");
}

TEST_F(StructureChange, DodajPoleWithEveryFieldPresentChangesNoFile) {
  makeTable("tab.dbf", 3);
  std::string before = test::readFile(tmp_ / "tab.dbf"), memo = test::readFile(tmp_ / "tab.fpt");
  ASSERT_TRUE(
      DODAJ_POLE({{"uwagi", 'M', 10, 0}, {"NAZWA", 'C', 10, 0}}, {}, dir_, "tab.dbf", {{1, 10}}));
  EXPECT_EQ(test::readFile(tmp_ / "tab.dbf"), before);
  EXPECT_EQ(test::readFile(tmp_ / "tab.fpt"), memo);
  EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
  EXPECT_FALSE(workspace().used("robo"));
}

// A rerun, or a table an earlier release half converted, has the fields but not the widths; and
// a record the user deleted but could still recall survives the upgrade with its mark.
TEST_F(StructureChange, DodajPoleWidensOnARerunAndKeepsDeletedRecords) {
  makeTable("tab.dbf", 5, {2, 4});
  std::vector<Row> expected;
  for (int i = 1; i <= 5; ++i)
    expected.push_back(
        {i == 2 || i == 4, {"r" + std::to_string(i), rt::allTrim(rt::Str(i, 8, 2)), memoText(i)}});
  ASSERT_TRUE(DODAJ_POLE({{"NAZWA", 'C', 10, 0}}, {}, dir_, "tab.dbf", {{1, 25}}));
  EXPECT_EQ(fieldNames("tab.dbf"), (std::vector<std::string>{"NAZWA:25", "KWOTA:8", "UWAGI:10"}));
  EXPECT_EQ(rows("tab.dbf"), expected);
  ASSERT_TRUE(DODAJ_POLE({{"NOWE", 'C', 3, 0}}, {rt::Value("n")}, dir_, "tab.dbf", {{2, 10}}));
  EXPECT_EQ(fieldNames("tab.dbf"),
            (std::vector<std::string>{"NAZWA:25", "KWOTA:10", "UWAGI:10", "NOWE:3"}));
  for (auto& r : expected) r.values.push_back("n");
  EXPECT_EQ(rows("tab.dbf"), expected);
  EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
  EXPECT_TRUE(rt::settings().deletedHidden);
}

// Every rebuild writes a memo file of only the texts its records point to: the same data keeps
// the same size however many structure changes it goes through.
TEST_F(StructureChange, RebuiltMemoFilesHoldNoDeadBlocks) {
  makeTable("tab.dbf", 6, {3});
  auto compact = [&](bool withDeleted) {
    uint64_t size = 512;
    for (int i = 1; i <= 6; ++i)
      if (withDeleted || i != 3) size += (8 + memoText(i).size() + 63) / 64 * 64;
    return size;
  };
  auto memoSize = [&] { return fs::file_size(tmp_ / "tab.fpt"); };
  ASSERT_GT(memoSize(), compact(true));  // the edited first memo left its old blocks behind
  ASSERT_TRUE(DODAJ_POLE({{"A1", 'C', 2, 0}}, {}, dir_, "tab.dbf"));
  EXPECT_EQ(memoSize(), compact(true));
  ASSERT_TRUE(DODAJ_POLA(dir_, "tab.dbf", {{"A2", 'C', 2, 0}}));
  EXPECT_EQ(memoSize(), compact(true));
  EXPECT_EQ(fs::file_size(tmp_ / "stary.fpt"), compact(true));
  ZMIEN_DL_POLA(dir_, "tab.dbf", {{1, 12}}, true);
  EXPECT_EQ(memoSize(), compact(true));
  ZMIEN_DL_POLA(dir_, "tab.dbf", {{1, 14}});  // the deleted record goes, and its memo text
  EXPECT_EQ(memoSize(), compact(false));
  rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
  ASSERT_TRUE(OTWORZ(dir_, "tab.dbf", "t"));
  ASSERT_TRUE(EXPORTUJ(dir_ + "kopia.dbf"));
  ZAMKNIJ("t");
  EXPECT_EQ(fs::file_size(tmp_ / "kopia.fpt"), compact(false));
  auto r = rows("tab.dbf");
  ASSERT_EQ(r.size(), 5u);
  for (auto& row : r) EXPECT_EQ(row.values[2], memoText(std::stoi(row.values[0].substr(1))));
}

TEST_F(StructureChange, DodajPoleOnATableThatWillNotOpenGoesToTheHandler) {
  std::vector<int> codes;
  rt::HandlerGuard g([&](rt::Error& e) {
    codes.push_back(e.genCode);
    return rt::Answer{};
  });
  EXPECT_FALSE(DODAJ_POLE({{"X", 'C', 1, 0}}, {}, dir_, "brak.dbf"));
  EXPECT_EQ(codes, std::vector<int>{rt::kErrNoAlias});
  EXPECT_TRUE(files().empty());
}

// ---------------------------------------------------------------- ZMIEN_DL_POLA

TEST_F(StructureChange, ZmienDlPolaDropsDeletedRecordsUnlessToldToKeepThem) {
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep);
    makeTable("tab.dbf", 5, {2, 4});
    ZMIEN_DL_POLA(dir_, "tab.dbf", {{3, 10}, {1, 25}}, keep);
    EXPECT_EQ(fieldNames("tab.dbf"), (std::vector<std::string>{"NAZWA:25", "KWOTA:8", "UWAGI:10"}));
    std::vector<Row> expected;
    for (int i = 1; i <= 5; ++i)
      if (keep || (i != 2 && i != 4))
        expected.push_back({keep && (i == 2 || i == 4),
                            {"r" + std::to_string(i), rt::allTrim(rt::Str(i, 8, 2)), memoText(i)}});
    EXPECT_EQ(rows("tab.dbf"), expected);
    EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
    EXPECT_TRUE(rt::settings().deletedHidden);  // put back after the copy
  }
}

TEST_F(StructureChange, ZmienDlPolaToTheSameLengthDoesNothing) {
  makeTable("tab.dbf", 3, {1});
  std::string before = test::readFile(tmp_ / "tab.dbf");
  ZMIEN_DL_POLA(dir_, "tab.dbf", {{1, 10}, {2, 8}});
  EXPECT_EQ(test::readFile(tmp_ / "tab.dbf"), before);
  EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
  ZMIEN_DL_POLA(dir_, "brak.dbf", {{1, 20}});  // a missing table: nothing at all
  EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
  EXPECT_TRUE(workspace().aliases().empty());
}

// ---------------------------------------------------------------- EXPORTUJ, LBCREATE

TEST_F(StructureChange, ExportujReplacesAReadOnlyTargetAndItsMemo) {
  makeTable("src.dbf", 3, {2});
  makeTable("dst.dbf", 7);
  ::chmod((tmp_ / "dst.fpt").c_str(), 0444);
  ::chmod((tmp_ / "dst.dbf").c_str(), 0444);
  ASSERT_TRUE(OTWORZ(dir_, "src", "s"));
  ASSERT_TRUE(EXPORTUJ(dir_ + "dst.dbf"));
  ZAMKNIJ("s");
  auto r = rows("dst.dbf");
  ASSERT_EQ(r.size(), 2u);  // deleted records hidden, as the process runs
  EXPECT_EQ(r[1], (Row{false, {"r3", "3.00", memoText(3)}}));
  EXPECT_EQ(files(), (std::vector<std::string>{"dst.dbf", "dst.fpt", "src.dbf", "src.fpt"}));
  EXPECT_TRUE(pauses.empty());
}

TEST_F(StructureChange, ExportujIntoAMissingDirectoryFailsAfterTenTries) {
  makeTable("src.dbf", 1);
  ASSERT_TRUE(OTWORZ(dir_, "src", "s"));
  EXPECT_FALSE(EXPORTUJ(dir_ + "brak/dst.dbf"));
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 20), 10);
  EXPECT_TRUE(workspace().used("s"));
}

TEST_F(StructureChange, LbcreateReplacesAReadOnlyFile) {
  test::writeFile(tmp_ / "n.dbf", "not a table");
  ::chmod((tmp_ / "n.dbf").c_str(), 0444);
  ASSERT_TRUE(LBCREATE(dir_ + "n.dbf", {{"A", 'C', 3, 0}, {"M", 'M', 10, 0}}));
  EXPECT_EQ(fieldNames("n.dbf"), (std::vector<std::string>{"A:3", "M:10"}));
  EXPECT_TRUE(fs::exists(tmp_ / "n.fpt"));
  EXPECT_FALSE(LBCREATE(dir_ + "brak/n.dbf", {{"A", 'C', 3, 0}}));
}

// ---------------------------------------------------------------- DODAJ_POLA

TEST_F(StructureChange, DodajPolaOnAMissingTableCreatesNothing) {
  EXPECT_TRUE(DODAJ_POLA(dir_, "brak.dbf", {{"PTU1", 'C', 2, 0}}));
  EXPECT_TRUE(files().empty());
}

TEST_F(StructureChange, DodajPolaAddsThroughStaryAndKeepsDeletedRecords) {
  makeTable("tab.dbf", 4, {3});
  ASSERT_TRUE(DODAJ_POLA(dir_, "tab.dbf", {{"ptu1", 'C', 2, 0}, {"Nazwa", 'C', 3, 0}}));
  EXPECT_EQ(fieldNames("tab.dbf"),
            (std::vector<std::string>{"NAZWA:10", "KWOTA:8", "UWAGI:10", "PTU1:2"}));
  auto r = rows("tab.dbf");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[2], (Row{true, {"r3", "3.00", memoText(3), ""}}));
  EXPECT_EQ(r[3].values[2], memoText(4));
  EXPECT_EQ(rows("stary.dbf").size(), 4u);  // the backup stays until the next call
  EXPECT_EQ(files(), (std::vector<std::string>{"stary.dbf", "stary.fpt", "tab.dbf", "tab.fpt"}));
  EXPECT_TRUE(rt::settings().deletedHidden);
  EXPECT_TRUE(workspace().aliases().empty());
  // Nothing left to add: true, and the table is not rebuilt.
  std::string before = test::readFile(tmp_ / "tab.dbf");
  EXPECT_TRUE(DODAJ_POLA(dir_, "tab.dbf", {{"PTU1", 'C', 2, 0}}));
  EXPECT_EQ(test::readFile(tmp_ / "tab.dbf"), before);
}

TEST_F(StructureChange, DodajPolaWithoutABackupNeverTouchesTheTable) {
  makeTable("tab.dbf", 3);
  fs::create_directories(tmp_ / "stary.dbf" / "inside");  // no backup can be written there
  std::string before = test::readFile(tmp_ / "tab.dbf"), memo = test::readFile(tmp_ / "tab.fpt");
  EXPECT_TRUE(DODAJ_POLA(dir_, "tab.dbf", {{"NAZWA", 'C', 10, 0}}));  // nothing to add
  EXPECT_FALSE(DODAJ_POLA(dir_, "tab.dbf", {{"PTU1", 'C', 2, 0}}));
  EXPECT_EQ(test::readFile(tmp_ / "tab.dbf"), before);
  EXPECT_EQ(test::readFile(tmp_ / "tab.fpt"), memo);
  EXPECT_TRUE(rt::settings().deletedHidden);
  EXPECT_TRUE(workspace().aliases().empty());
}

// ---------------------------------------------------------------- Windows paths

// The conversions pass Windows paths; the accounting program may have written the names in
// upper case. The rebuilt table takes the place of the file that is there, under its name.
TEST(StructureChangeOnDrive, RebuiltTablesKeepTheNamesOnDisk) {
  tav::testing::TempDriveMap map;
  rt::resetSettings();
  STARTINIT();
  fs::path dane = map.driveC() / "Dane";
  fs::create_directories(dane);
  {
    engine::Workspace ws;
    ASSERT_TRUE(
        ws.create((dane / "KS_DOK.DBF").string(), {{"LPP", 'C', 6, 0}, {"OPIS", 'M', 10, 0}}));
    ASSERT_TRUE(ws.use((dane / "KS_DOK.DBF").string(), "K", {}));
    ws.current()->append();
    ws.current()->put(1, rt::Value("1"));
    ws.current()->put(2, rt::Value("opis pierwszy"));
  }
  ASSERT_TRUE(DODAJ_POLE({{"dok_l", 'C', 3, 0}}, {rt::Value("abc")}, "C:\\dane\\", "KS_DOK.DBF"));
  ZMIEN_DL_POLA("C:\\dane\\", "ks_dok.dbf", {{1, 9}});
  ASSERT_TRUE(DODAJ_POLA("C:\\dane\\", "ks_dok.dbf", {{"PTU1", 'C', 2, 0}}));
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dane)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"KS_DOK.DBF", "KS_DOK.FPT", "stary.dbf", "stary.fpt"}));
  engine::Workspace ws;
  ASSERT_TRUE(ws.use("C:\\dane\\ks_dok.dbf", "K", {}));
  auto* a = ws.current();
  EXPECT_EQ(a->structure().size(), 4u);
  EXPECT_EQ(a->field(1).length, 9);
  EXPECT_EQ(a->get("opis").str(), "opis pierwszy");
  EXPECT_EQ(a->get("dok_l").str(), "abc");
  ws.closeAll();
  workspace().closeAll();
  rt::resetSettings();
}

// ---------------------------------------------------------------- the two write paths

// The table of makeTable with a date field, copied into `sub` of the scratch directory, and bytes
// a copy cannot move as they are and writes through their values: a blank number, a number not
// in the formatter's form, a date that is no date, a blank date.
void awkwardTable(const std::string& dir, int records) {
  rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
  engine::Workspace ws;
  const std::string p = dir + "tab.dbf";
  ASSERT_TRUE(ws.create(
      p,
      {{"NAZWA", 'C', 10, 0}, {"KWOTA", 'N', 8, 2}, {"UWAGI", 'M', 10, 0}, {"DATA", 'D', 8, 0}}));
  ASSERT_TRUE(ws.use(p, "X", {}));
  for (int i = 1; i <= records; ++i) {
    auto* a = ws.current();
    a->append();
    a->put(1, rt::Value("r" + std::to_string(i)));
    a->put(2, rt::Value(i * 1.25));
    if (i % 3) a->put(3, rt::Value("memo " + std::to_string(i) + std::string(60 * i, 'q')));
    if (i != 5) a->put(4, rt::Value(rt::Date::fromYmd(2025, 1 + i % 12, 1 + i % 28)));
    if (i % 4 == 2) a->remove();
  }
  ws.closeAll();
  std::string bytes = test::readFile(p);
  const size_t header = static_cast<uint8_t>(bytes[8]) | static_cast<uint8_t>(bytes[9]) << 8;
  const size_t length = static_cast<uint8_t>(bytes[10]) | static_cast<uint8_t>(bytes[11]) << 8;
  auto field = [&](int record, size_t offset, const std::string& raw) {
    bytes.replace(header + (record - 1) * length + offset, raw.size(), raw);
  };
  field(3, 11, "        ");
  field(4, 11, "1.5     ");
  field(6, 29, "2025xx01");
  test::writeFile(p, bytes);
}

// A table's bytes, the date of its last change (same day here) aside.
std::string tableBytes(const fs::path& p) {
  std::string b = test::readFile(p);
  if (b.size() > 4) b.replace(1, 3, "DDD");
  return b;
}

// Written straight from the old table or through the work copies, a changed table comes out
// byte for byte the same: fields, records, deleted marks, the numbers and dates that go through
// their values, memo file and all; and neither path leaves a file behind.
TEST_F(StructureChange, WrittenOnceTheChangedTableHasTheBytesOfTheWorkCopies) {
  const std::string direct = dir_ + "direct/", copies = dir_ + "copies/";
  for (const std::string& d : {direct, copies}) {
    fs::create_directories(d);
    awkwardTable(d, 40);
  }
  auto both = [&](const std::function<void(const std::string&, RebuildPath)>& change) {
    change(direct, RebuildPath::Direct);
    change(copies, RebuildPath::WorkCopies);
    for (const char* f : {"tab.dbf", "tab.fpt"})
      EXPECT_TRUE(tableBytes(direct + f) == tableBytes(copies + f)) << f;
    std::vector<std::string> left[2];
    for (int i = 0; i < 2; ++i)
      for (auto& e : fs::directory_iterator(i ? copies : direct))
        left[i].push_back(e.path().filename().string());
    std::sort(left[0].begin(), left[0].end());
    std::sort(left[1].begin(), left[1].end());
    EXPECT_EQ(left[0], (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
    EXPECT_EQ(left[1], left[0]);
  };
  both([](const std::string& d, RebuildPath p) {
    // Fields without an initial value too: a copy writes a blank number as 0.
    ASSERT_TRUE(DODAJ_POLE({{"dok_l", 'C', 5, 0},
                            {"NOWA", 'N', 7, 2},
                            {"DN", 'D', 8, 0},
                            {"ILE", 'N', 4, 0},
                            {"TAK", 'L', 1, 0}},
                           {rt::Value("ab"), rt::Value(3.5)}, d, "tab.dbf", {{1, 20}, {2, 10}}, p));
  });
  both([](const std::string& d, RebuildPath p) {
    ZMIEN_DL_POLA(d, "tab.dbf", {{1, 30}}, true, p);
  });
  both([](const std::string& d, RebuildPath p) {
    ASSERT_TRUE(DODAJ_POLE({{"NAZWA", 'C', 1, 0}}, {}, d, "tab.dbf", {{5, 12}}, p));
  });
  both([](const std::string& d, RebuildPath p) {
    ZMIEN_DL_POLA(d, "tab.dbf", {{2, 12}}, false, p);
  });
  // The last change dropped the deleted records; the others kept them with their marks.
  EXPECT_EQ(rows("direct/tab.dbf").size(), 30u);
  EXPECT_EQ(fieldNames("direct/tab.dbf"),
            (std::vector<std::string>{"NAZWA:30", "KWOTA:12", "UWAGI:10", "DATA:8", "DOK_L:12",
                                      "NOWA:7", "DN:8", "ILE:4", "TAK:1"}));
  EXPECT_TRUE(pauses.empty());
}

// A table's records as their bytes, deleted marks included, each memo pointer replaced by the
// memo's text: what a memo file laid out in another order still reads as.
std::vector<std::string> recordsWithMemoTexts(const std::string& table) {
  engine::Workspace ws;
  if (!ws.use(table, "R", {})) return {};
  return tav::testing::recordsWithMemoTexts(*ws.current());
}

// A conversion's change of every record, made in DODAJ_POLE's one copy, leaves what the change
// run over the table in place after DODAJ_POLE (through the work copies) leaves: the records the
// caller's setting shows and only those, other tables read with the caller's setting of deleted
// records. A change that writes no memo leaves both files byte for byte the same; one that
// rewrites memos leaves the same records and memo texts, the one copy's memo file without the
// dead blocks the rewrites in place leave. An error in the change is the same error naming the
// table itself, and in the one copy it leaves the old table as it was, with nothing beside it.
TEST_F(StructureChange, RecordsChangedInTheOneCopyAreThoseOfTheChangeMadeAfterIt) {
  const std::string direct = dir_ + "direct/", copies = dir_ + "copies/";
  for (const std::string& d : {direct, copies}) {
    fs::create_directories(d);
    awkwardTable(d, 40);
    // Six records, two of them deleted: the change counts the ones the setting shows.
    engine::Workspace ws;
    ASSERT_TRUE(ws.create(d + "inne.dbf", {{"K", 'C', 2, 0}}));
    ASSERT_TRUE(ws.use(d + "inne.dbf", "I", {}));
    for (int i = 1; i <= 6; ++i) {
      ws.current()->append();
      ws.current()->put(1, rt::Value(std::to_string(i)));
      if (i % 3 == 0) ws.current()->remove();
    }
  }
  using Change = std::function<void(engine::WorkArea&, engine::WorkArea&)>;
  // The change over `d` made as DODAJ_POLE on `path` leaves it to be made; the error it ended
  // with ("" when none), its directory as "D/".
  auto changed = [&](const std::string& d, RebuildPath path, const engine::FieldSpec& added,
                     const Change& change) {
    std::string failure;
    rt::HandlerGuard g([&](rt::Error& e) -> rt::Answer {
      failure = e.description + " @ " + e.filename;
      throw rt::Abandon(e);
    });
    rt::sequence([&] {
      ASSERT_TRUE(OTWORZ(d, "inne.dbf", "inne"));
      engine::WorkArea& other = *workspace().find("inne");
      RecordChange records{[&](engine::WorkArea& record) { change(record, other); }};
      ASSERT_TRUE(DODAJ_POLE({added}, {rt::Value(7)}, d, "tab.dbf", {}, path, &records));
      EXPECT_EQ(records.made, path == RebuildPath::Direct);
      if (records.made) return;
      ASSERT_TRUE(OTWORZ(d, "tab.dbf", "tab"));
      engine::WorkArea& a = *workspace().find("tab");
      for (a.goTop(); !a.eof(); a.skip(1)) change(a, other);
    });
    workspace().closeAll();
    const std::string host = fs::path(d + "tab.dbf").string();
    if (const size_t at = failure.find(host); at != std::string::npos)
      failure.replace(at, host.size(), "D/tab.dbf");
    return failure;
  };
  auto both = [&](const engine::FieldSpec& added, const Change& change) {
    const std::string once = changed(direct, RebuildPath::Direct, added, change);
    EXPECT_EQ(once, changed(copies, RebuildPath::WorkCopies, added, change));
    return once;
  };
  // Reads the record's memo and other fields and the other table, writes the added field and
  // another one.
  auto convert = [](engine::WorkArea& r, engine::WorkArea& other) {
    const std::string memo = rt::toText(r.get(std::string_view("uwagi")));
    long visible = 0;
    for (other.goTop(); !other.eof(); other.skip(1)) ++visible;
    r.put(std::string_view("nowa"), rt::Value(r.get(std::string_view("kwota")).num() * 2 +
                                              static_cast<double>(visible) / 100));
    r.put(std::string_view("nazwa"), rt::Value(rt::rTrim(r.get(std::string_view("nazwa")).str()) +
                                               "/" + std::to_string(memo.size())));
  };
  EXPECT_EQ(both({"NOWA", 'N', 8, 2}, convert), "");
  for (const char* f : {"tab.dbf", "tab.fpt"})
    EXPECT_TRUE(tableBytes(direct + f) == tableBytes(copies + f)) << f;
  {
    // Deleted records shown by the caller are changed too, and the other table shows its own;
    // the memos are rewritten, longer.
    rt::settings().deletedHidden = false;
    EXPECT_EQ(both({"DRUGA", 'N', 3, 0},
                   [&](engine::WorkArea& r, engine::WorkArea& other) {
                     convert(r, other);
                     r.put(std::string_view("druga"), rt::Value(static_cast<double>(r.recno())));
                     const std::string memo = rt::toText(r.get(std::string_view("uwagi")));
                     if (!memo.empty())
                       r.put(std::string_view("uwagi"), rt::Value(memo + " i jeszcze"));
                   }),
              "");
    rt::settings().deletedHidden = true;
  }
  const auto records = recordsWithMemoTexts(direct + "tab.dbf");
  ASSERT_EQ(records.size(), 40u);
  EXPECT_EQ(records, recordsWithMemoTexts(copies + "tab.dbf"));
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [](const std::string& r) { return r.find(" i jeszcze|") != r.npos; }),
            27);  // every record with a memo, deleted ones too
  EXPECT_LT(fs::file_size(direct + "tab.fpt"), fs::file_size(copies + "tab.fpt"));

  // The twentieth record's value does not fit: the same error in both, and the old table still
  // whole where the change rode in the copy.
  const std::string before = test::readFile(direct + "tab.dbf"),
                    memoBefore = test::readFile(direct + "tab.fpt");
  const std::string failure =
      both({"TRZECIA", 'N', 2, 0}, [](engine::WorkArea& r, engine::WorkArea&) {
        r.put(std::string_view("trzecia"), rt::Value(r.recno() == 20 ? 100 : 1));
      });
  EXPECT_NE(failure.find("does not fit"), std::string::npos) << failure;
  EXPECT_TRUE(failure.ends_with(" @ D/tab.dbf")) << failure;
  EXPECT_EQ(test::readFile(direct + "tab.dbf"), before);
  EXPECT_EQ(test::readFile(direct + "tab.fpt"), memoBefore);
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(direct)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"inne.dbf", "tab.dbf", "tab.fpt"}));
  EXPECT_TRUE(pauses.empty());
}

// ---------------------------------------------------------------- flushes

TEST_F(StructureChange, ARebuildFlushesEachStagedFileOnceAndTheDirectoryAfterEachRename) {
  makeTable("small.dbf", 3);
  makeTable("big.dbf", 400, {7, 300});
  auto flushes = [](const std::function<void()>& work) {
    const uint64_t before = os::syncsDone();
    work();
    return os::syncsDone() - before;
  };
  for (const char* table : {"small.dbf", "big.dbf"}) {
    // The new table written once, straight from the old one, with its memo: each file is
    // flushed once before the swap, the commit record once, the directory after the record and
    // after the renames; never per record or per page.
    EXPECT_EQ(flushes([&] {
                ASSERT_TRUE(DODAJ_POLE({{"NOWA", 'N', 5, 0}}, {rt::Value(1)}, dir_, table));
              }),
              5u)
        << table;
    // Through the work copies, the same for each of its two exports (to z and back), and the
    // work copy x, a table like any other, forced with its memo when it is closed.
    EXPECT_EQ(flushes([&] {
                ASSERT_TRUE(DODAJ_POLE({{"NOWB", 'N', 5, 0}}, {rt::Value(1)}, dir_, table, {},
                                       RebuildPath::WorkCopies));
              }),
              12u)
        << table;
    EXPECT_EQ(flushes([&] { ZMIEN_DL_POLA(dir_, table, {{1, 30}}); }), 5u) << table;
    // Building an index flushes its file once, when it is closed, and the table whose header now
    // names its structural index; reading through it, none.
    EXPECT_EQ(
        flushes([&] {
          engine::Workspace ws;
          ASSERT_TRUE(ws.use(dir_ + table, "T", {}));
          ASSERT_TRUE(ws.current()->orderCreate(
              fs::path(dir_) / fs::path(table).replace_extension(".cdx"), "NAZWA", "upper(nazwa)"));
        }),
        2u)
        << table;
    // Records changed in place are forced once, at the close, with the index that follows them.
    EXPECT_EQ(flushes([&] {
                ASSERT_TRUE(OTWORZ(dir_, table, "t", "nazwa"));
                auto* a = workspace().current();
                for (a->goTop(); !a->eof(); a->skip(1))
                  a->put(std::string_view("nazwa"), rt::Value("Zmieniona"));
                ZAMKNIJ("t");
              }),
              2u)
        << table;
    EXPECT_EQ(flushes([&] {
                ASSERT_TRUE(OTWORZ(dir_, table, "t", "nazwa"));
                auto* a = workspace().current();
                for (a->goTop(); !a->eof(); a->skip(1)) a->get(3);
                ZAMKNIJ("t");
              }),
              0u)
        << table;
  }
  EXPECT_EQ(rows("big.dbf").size(), 398u);  // the width change dropped the two deleted records
}

// ---------------------------------------------------------------- interrupted swaps

// Stops a rebuild at one swap point, as a crash there would, and reads what is on disk.
class InterruptedSwap : public StructureChange, public ::testing::WithParamInterface<SwapPoint> {
 protected:
  // Only the swap of the table itself stops; the copies made on the way (z, stary) go through.
  void stopAt(SwapPoint p) {
    setSwapHook([p](SwapPoint at, std::string_view table) {
      return at != p || table.size() < 8 || table.substr(table.size() - 8) != "/tab.dbf";
    });
  }
  // The table under its own name is the old one or the new one, whole, memos included.
  void expectOldOrNew(const std::string& file, size_t oldFields, size_t newFields, size_t records) {
    auto names = fieldNames(file);
    ASSERT_TRUE(names.size() == oldFields || names.size() == newFields) << names.size();
    auto r = rows(file);
    ASSERT_EQ(r.size(), records);
    for (size_t i = 0; i < r.size(); ++i) {
      int n = std::stoi(r[i].values[0].substr(1));
      EXPECT_EQ(r[i].values[2], memoText(n)) << "record " << i + 1;
    }
  }
};

TEST_P(InterruptedSwap, DodajPoleLeavesAWholeTable) {
  for (RebuildPath path : {RebuildPath::Direct, RebuildPath::WorkCopies}) {
    SCOPED_TRACE(path == RebuildPath::Direct ? "direct" : "through the work copies");
    makeTable("tab.dbf", 6);
    stopAt(GetParam());
    EXPECT_FALSE(DODAJ_POLE({{"NOWE", 'C', 4, 0}}, {}, dir_, "tab.dbf", {}, path));
    workspace().closeAll();
    expectOldOrNew("tab.dbf", 3, 4, 6);
    // Through the work copies, the copy the rebuild started from is there to recover from too.
    if (path == RebuildPath::WorkCopies) {
      EXPECT_EQ(rows("ztab.dbf").size(), 6u);
    }
    // Run again without the stop: it completes, and leaves no work copy or staged file.
    setSwapHook({});
    EXPECT_TRUE(DODAJ_POLE({{"NOWE", 'C', 4, 0}}, {}, dir_, "tab.dbf", {}, path));
    expectOldOrNew("tab.dbf", 4, 4, 6);
    EXPECT_EQ(files(), (std::vector<std::string>{"tab.dbf", "tab.fpt"}));
    fs::remove(tmp_ / "tab.dbf");
    fs::remove(tmp_ / "tab.fpt");
  }
}

TEST_P(InterruptedSwap, ZmienDlPolaLeavesAWholeTable) {
  makeTable("tab.dbf", 6, {2});
  stopAt(GetParam());
  ZMIEN_DL_POLA(dir_, "tab.dbf", {{1, 30}});
  // Past the commit (after BeforeMemo) the next open completes the swap: the new table.
  expectOldOrNew("tab.dbf", 3, 3, GetParam() == SwapPoint::BeforeMemo ? 6 : 5);
}

TEST_P(InterruptedSwap, DodajPolaLeavesAWholeTable) {
  makeTable("tab.dbf", 6);
  stopAt(GetParam());
  EXPECT_FALSE(DODAJ_POLA(dir_, "tab.dbf", {{"PTU1", 'C', 2, 0}}));
  expectOldOrNew("tab.dbf", 3, 4, 6);
  EXPECT_EQ(rows("stary.dbf").size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(AtEachPoint, InterruptedSwap,
                         ::testing::Values(SwapPoint::BeforeMemo, SwapPoint::BetweenMemoAndTable,
                                           SwapPoint::AfterTable));

}  // namespace
