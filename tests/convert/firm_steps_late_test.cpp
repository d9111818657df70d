// The firm steps of releases 030 to 046 on copies of the sample firms, whose tables are at the
// structures of 025.01.001.
#include "convert/firm_steps_late.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "convert/release_catalogue.h"
#include "db/arithmetic.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "sample_trees.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::rt::Value;
using tav::testing::SampleTrees;
using tav::testing::snapshot;

constexpr int kAtDatabaseRelease = 1, kWithoutOptional = 6;
constexpr const char* kOld = "025.01.001";

using Record = std::map<std::string, Value>;

struct TableView {
  std::vector<tav::engine::FieldSpec> fields;
  std::vector<Record> records;  // deleted ones included, in record order
  std::vector<std::string> tags;

  const tav::engine::FieldSpec* field(const std::string& name) const {
    for (const auto& f : fields)
      if (f.name == name) return &f;
    return nullptr;
  }
  std::vector<Value> column(const std::string& name) const {
    std::vector<Value> out;
    for (const Record& r : records) out.push_back(r.at(name));
    return out;
  }
};

TableView read(const fs::path& dbf) {
  TableView v;
  tav::engine::Workspace ws;
  EXPECT_TRUE(ws.useHost(dbf, "t", tav::engine::UseOptions{})) << dbf;
  tav::engine::WorkArea* a = ws.current();
  if (!a) return v;
  v.fields = a->structure();
  const uint32_t n = a->lastRec();
  for (uint32_t i = 1; i <= n; ++i) {
    a->goTo(i);
    Record r;
    for (size_t p = 1; p <= a->fieldCount(); ++p) r[a->fieldName(p)] = a->get(p);
    v.records.push_back(std::move(r));
  }
  fs::path cdx = dbf;
  cdx.replace_extension(".cdx");
  if (fs::exists(cdx) && a->orderListAdd(cdx))
    for (size_t i = 0; i < a->orderCount(); ++i) v.tags.push_back(a->orderAt(i)->name());
  return v;
}

std::string str(const Value& v) { return v.isText() ? tav::rt::rTrim(v.str()) : std::string(); }
double num(const Value& v) { return v.isNumber() ? v.num() : -1e9; }

class LateFirmSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    sample_ = SampleTrees::database(kOld, 8);
    fs::create_directories(map_.root() / "baza" / "str");
    // The template steps have put the shipped templates into the database's str\ by now.
    for (const char* t : {"p_alu.dbf", "ksef_p.dbf"})
      fs::copy_file(SampleTrees::release() / "str" / t, map_.root() / "baza" / "str" / t);
    ASSERT_TRUE(tav::os::mapDrive('D', map_.root()));
    tav::db::STARTINIT();
    tav::rt::shared().wersja_b = "025.01.046";
  }
  void TearDown() override {
    tav::engine::workspace().closeAll();
    tav::rt::resetShared();
    tav::rt::resetSettings();
  }

  fs::path dir(int n = kAtDatabaseRelease) {
    const fs::path d = map_.root() / "baza" / ("firma" + std::to_string(n));
    if (!fs::exists(d)) SampleTrees::copy(sample_ / d.filename(), d);
    return d;
  }
  std::string win(int n) { return "D:\\baza\\firma" + std::to_string(n) + "\\"; }
  // True when the step finished and answered true; an error it raised is shown.
  bool run(FirmStepFn step, int n = kAtDatabaseRelease, const std::string& release = kOld) {
    dir(n);
    bool result = false;
    tav::rt::Error e;
    if (!tav::rt::sequence([&] { result = step(win(n), "C:\\tav\\", "D:\\baza\\", release); }, &e))
      ADD_FAILURE() << e.summary() << " [" << e.genCode << "] " << e.description << " " << e.operation << " " << e.filename;
    return result;
  }
  // The step raised instead of finishing.
  bool raises(FirmStepFn step, int n = kAtDatabaseRelease) {
    dir(n);
    return !tav::rt::sequence([&] { step(win(n), "C:\\tav\\", "D:\\baza\\", kOld); });
  }
  std::string recorded(int n = kAtDatabaseRelease) { return str(read(dir(n) / "wersja.dbf").records.at(0).at("BAZA")); }
  std::string bytes(const char* name, int n = kAtDatabaseRelease) {
    return tav::testing::contents(dir(n) / (std::string(name) + ".dbf"));
  }
  TableView table(const char* name, int n = kAtDatabaseRelease) { return read(dir(n) / (std::string(name) + ".dbf")); }
  // Writes fields of one record behind the steps' back.
  void set(const char* name, uint32_t recno, const Record& values, int n = kAtDatabaseRelease) {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.useHost(dir(n) / (std::string(name) + ".dbf"), "t", tav::engine::UseOptions{}));
    ws.current()->goTo(recno);
    for (const auto& [f, v] : values) ws.current()->put(std::string_view(f), v);
  }

  tav::testing::TempDriveMap map_;
  fs::path sample_;
};

// ---- structure changes ----------------------------------------------------------------------

struct Addition {
  FirmStepFn step;
  int release;
  const char* table;
  size_t fieldsAfter;
  std::vector<tav::engine::FieldSpec> added;
};

const std::vector<Addition> kAdditions = {
    {I_25_01_030, 30, "firma", 146, {{"METODA_ZD", 'N', 1, 0}}},
    {I_25_01_032, 32, "ks_dok", 92,
     {{"WAL", 'C', 3, 0}, {"DWAL", 'D', 8, 0}, {"KWAL", 'N', 12, 2}, {"KURS", 'N', 12, 8}}},
    {I_25_01_043, 43, "v_oss", 49, {{"NR_KSEF", 'C', 36, 0}, {"KSEF_SERW", 'C', 1, 0}}},
    {I_25_01_046, 46, "p_dat", 76, {{"PRPL", 'N', 10, 2}, {"LICZYC", 'C', 12, 0}, {"K01", 'N', 10, 0},
                                    {"K12", 'N', 10, 0}, {"P01", 'N', 10, 0}, {"P12", 'N', 10, 0}}},
};

TEST_F(LateFirmSteps, FieldsAreAddedOnceWithTheDataKeptAndTheReleaseRecorded) {
  for (const Addition& a : kAdditions) {
    SCOPED_TRACE(a.table);
    const TableView before = table(a.table);
    ASSERT_LT(before.fields.size(), a.fieldsAfter);
    EXPECT_TRUE(run(a.step));
    const TableView after = table(a.table);
    ASSERT_EQ(after.fields.size(), a.fieldsAfter);
    for (const auto& f : a.added) {
      const auto* got = after.field(f.name);
      ASSERT_NE(got, nullptr) << f.name;
      EXPECT_EQ(got->type, f.type) << f.name;
      EXPECT_EQ(got->length, f.length) << f.name;
      EXPECT_EQ(got->decimals, f.decimals) << f.name;
    }
    ASSERT_EQ(after.records.size(), before.records.size());
    for (size_t i = 0; i < before.records.size(); ++i)
      for (const auto& [name, value] : before.records[i])
        EXPECT_TRUE(after.records[i].at(name).identical(value)) << name << " of record " << i + 1;
    EXPECT_EQ(recorded(), databaseRelease(a.release));

    // Again (as after an interrupted upgrade): the table comes out the same.
    const std::string dbf = bytes(a.table);
    EXPECT_TRUE(run(a.step));
    EXPECT_TRUE(bytes(a.table) == dbf);
  }
  // New firms start the method field at 0.
  for (const Value& v : table("firma").column("METODA_ZD")) EXPECT_EQ(num(v), 0);
}

TEST_F(LateFirmSteps, AStepAtOrBelowTheFirmsReleaseTouchesNothing) {
  const auto before = snapshot(dir());
  for (auto [step, release] : std::vector<std::pair<FirmStepFn, int>>{
           {I_25_01_030, 30}, {I_25_01_038, 38}, {I_25_01_044, 44}, {I_25_01_045, 45}, {I_25_01_046, 46}}) {
    EXPECT_TRUE(run(step, kAtDatabaseRelease, databaseRelease(release)));
    EXPECT_TRUE(run(step, kAtDatabaseRelease, "025.01.046"));
  }
  EXPECT_TRUE(snapshot(dir()) == before);
}

TEST_F(LateFirmSteps, ANarrowFieldIsWidenedWithItsTextIntact) {
  struct Widening {
    FirmStepFn step;
    const char* table;
    std::vector<std::pair<const char*, int>> widths;  // after the step
  };
  const std::vector<Widening> cases = {
      {I_25_01_031, "p_skld", {{"R1", 165}, {"R2", 165}, {"R3", 165}, {"R4", 165}, {"W1", 150}}},
      {I_25_01_036, "p_fcfg", {{"PIMP", 200}, {"PEXP", 150}}},
  };
  for (const Widening& w : cases) {
    SCOPED_TRACE(w.table);
    const TableView before = table(w.table);
    EXPECT_TRUE(run(w.step));
    const TableView after = table(w.table);
    for (auto [name, width] : w.widths) EXPECT_EQ(after.field(name)->length, width) << name;
    ASSERT_EQ(after.records.size(), before.records.size());
    for (size_t i = 0; i < before.records.size(); ++i)
      for (const auto& [name, value] : before.records[i]) EXPECT_EQ(str(after.records[i].at(name)), str(value)) << name;
    const auto dbf = snapshot(dir()).at(std::string(w.table) + ".dbf");
    EXPECT_TRUE(run(w.step));
    EXPECT_TRUE(snapshot(dir()).at(std::string(w.table) + ".dbf") == dbf);  // not rewritten
  }
}

TEST_F(LateFirmSteps, KsDokKeepsItsIndexWhenAlreadyConverted) {
  EXPECT_TRUE(run(I_25_01_032));
  // Already at 92 fields: not restructured, but the index is rebuilt all the same.
  fs::remove(dir() / "ks_dok.cdx");
  const auto dbf = snapshot(dir()).at("ks_dok.dbf");
  EXPECT_TRUE(run(I_25_01_032));
  EXPECT_TRUE(snapshot(dir()).at("ks_dok.dbf") == dbf);
  EXPECT_EQ(table("ks_dok").tags, (std::vector<std::string>{"LPP", "DAT"}));
}

TEST_F(LateFirmSteps, EInvoiceTableIsReplacedByTheTemplate) {
  tav::testing::TempDriveMap::put(dir() / "ksef_p.dbf", "stara tabela");
  EXPECT_TRUE(run(I_25_01_043));
  EXPECT_TRUE(bytes("ksef_p") == tav::testing::contents(SampleTrees::release() / "str" / "ksef_p.dbf"));
  EXPECT_EQ(table("v_oss").tags, (std::vector<std::string>{"LPP", "DAT", "RMC"}));

  // Without the template the firm cannot be called converted.
  fs::remove(map_.root() / "baza" / "str" / "ksef_p.dbf");
  EXPECT_TRUE(raises(I_25_01_043, 2));
  EXPECT_NE(recorded(2), databaseRelease(43));
}

TEST_F(LateFirmSteps, PayrollParametersAreSetInTheFirstRecord) {
  EXPECT_TRUE(run(I_25_01_046));
  const Record& r = table("p_dat").records.at(0);
  EXPECT_NEAR(num(r.at("PRPL")), 0.3, 1e-9);
  EXPECT_EQ(str(r.at("LICZYC")), "NNNNNNNNNNNN");
}

}  // namespace
