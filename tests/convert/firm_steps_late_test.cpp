// The firm steps of releases 030 to 046 on copies of the sample firms, whose tables are at the
// structures of 025.01.001; and for every step, early or late, the tables it leaves (those of its
// release) and the failure rules the frame holds it to. Group: LateFirmSteps.
#include "convert/firm_steps_late.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "convert/firm_steps_early.h"
#include "convert/release_catalogue.h"
#include "db/arithmetic.h"
#include "db/index_catalogue.h"
#include "db/run_variables.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "sample_trees.h"
#include "support/injected_fault.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using namespace tav::rt::literals;
using tav::rt::Value;
using tav::testing::SampleTrees;
using tav::testing::snapshot;

constexpr int kAtDatabaseRelease = 1, kWithoutOptional = 6;
constexpr const char* kOld = "025.01.001";

using Record = std::map<std::string, Value>;
using FirmStep = std::reference_wrapper<const FirmPlan>;

struct TableView {
  std::vector<tav::engine::FieldSpec> fields;
  std::vector<Record> records;  // deleted ones included, in record order
  std::vector<bool> deleted;
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
    v.deleted.push_back(a->deleted());
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
  std::string win(int n) { return db_ + "firma" + std::to_string(n) + "\\"; }
  // True when the step finished; an error it raised is shown.
  bool run(const FirmPlan& step, int n = kAtDatabaseRelease, const std::string& release = kOld) {
    dir(n);
    tav::rt::Error e;
    if (tav::rt::sequence([&] { runFirmPlan(step, win(n), db_, release); }, &e)) return true;
    ADD_FAILURE() << e.summary() << " [" << e.genCode << "] " << e.description << " " << e.operation
                  << " " << e.filename;
    return false;
  }
  // The step raised instead of finishing.
  bool raises(const FirmPlan& step, int n = kAtDatabaseRelease, tav::rt::Error* e = nullptr) {
    dir(n);
    return !tav::rt::sequence([&] { runFirmPlan(step, win(n), db_, kOld); }, e);
  }
  std::string recorded(int n = kAtDatabaseRelease) {
    return str(read(dir(n) / "wersja.dbf").records.at(0).at("BAZA"));
  }
  std::string bytes(const char* name, int n = kAtDatabaseRelease) {
    return tav::testing::contents(dir(n) / (std::string(name) + ".dbf"));
  }
  TableView table(const char* name, int n = kAtDatabaseRelease) {
    return read(dir(n) / (std::string(name) + ".dbf"));
  }
  // Writes fields of one record behind the steps' back.
  void set(const char* name, uint32_t recno, const Record& values, int n = kAtDatabaseRelease) {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.useHost(dir(n) / (std::string(name) + ".dbf"), "t", tav::engine::UseOptions{}));
    ws.current()->goTo(recno);
    for (const auto& [f, v] : values) ws.current()->put(std::string_view(f), v);
  }

  tav::testing::TempDriveMap map_;
  const std::string db_ = map_.drive('D', map_.root()) + "baza\\";
  fs::path sample_;
};

// ---- structure changes ----------------------------------------------------------------------

struct Addition {
  FirmStep step;
  int release;
  const char* table;
  size_t fieldsAfter;
  std::vector<tav::engine::FieldSpec> added;
};

const std::vector<Addition> kAdditions = {
    {I_25_01_030, 30, "firma", 146, {{"METODA_ZD", 'N', 1, 0}}},
    {I_25_01_032,
     32,
     "ks_dok",
     92,
     {{"WAL", 'C', 3, 0}, {"DWAL", 'D', 8, 0}, {"KWAL", 'N', 12, 2}, {"KURS", 'N', 12, 8}}},
    {I_25_01_043, 43, "v_oss", 49, {{"NR_KSEF", 'C', 36, 0}, {"KSEF_SERW", 'C', 1, 0}}},
    {I_25_01_046,
     46,
     "p_dat",
     76,
     {{"PRPL", 'N', 10, 2},
      {"LICZYC", 'C', 12, 0},
      {"K01", 'N', 10, 0},
      {"K12", 'N', 10, 0},
      {"P01", 'N', 10, 0},
      {"P12", 'N', 10, 0}}},
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

// Every table of a firm directory (subdirectories too) with its fields as name, type, width and
// decimals, in record order.
std::map<std::string, std::string> structures(const fs::path& firm) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(firm)) {
    if (!e.is_regular_file() || tav::rt::lower(e.path().extension().string()) != ".dbf") continue;
    std::string fields;
    for (const auto& f : read(e.path()).fields)
      fields += f.name + " " + f.type + " " + std::to_string(f.length) + " " +
                std::to_string(f.decimals) + "; ";
    out[fs::relative(e.path(), firm).string()] = fields;
  }
  return out;
}

// Every step from 004 on takes a firm from the release of the step before it to the tables the
// accounting program has at the step's own release: every table, every field with its type, width
// and decimals, in record order. The sample generator writes firms at any release from its own
// description of the tables, so a field a step forgets to add or widen (ks_auto's nr_fs in 045)
// shows here whatever the step's own code says. Work copies a step leaves (038's alu.dbf) are no
// table of the release and are not looked at.
TEST_F(LateFirmSteps, EachStepLeavesEveryTableAsItsReleaseHasIt) {
  const std::vector<std::pair<FirmStep, int>> steps = {
      {I_25_01_004, 4},  {I_25_01_005, 5},  {I_25_01_009, 9},  {I_25_01_010, 10}, {I_25_01_011, 11},
      {I_25_01_013, 13}, {I_25_01_017, 17}, {I_25_01_019, 19}, {I_25_01_021, 21}, {I_25_01_023, 23},
      {I_25_01_024, 24}, {I_25_01_025, 25}, {I_25_01_027, 27}, {I_25_01_030, 30}, {I_25_01_031, 31},
      {I_25_01_032, 32}, {I_25_01_036, 36}, {I_25_01_038, 38}, {I_25_01_040, 40}, {I_25_01_042, 42},
      {I_25_01_043, 43}, {I_25_01_044, 44}, {I_25_01_045, 45}, {I_25_01_046, 46}};
  // The firms beside the sample trees (a memory file system when there is one): a whole firm
  // copied and converted for each step.
  const fs::path firms = SampleTrees::database(kOld, 8).parent_path() / "each_step";
  fs::remove_all(firms);
  fs::create_directories(firms);
  const std::string firmsDrive = map_.drive('E', firms);
  // Steps that copy templates take them from the database's str\, as the template steps left it.
  for (const auto& e : fs::directory_iterator(SampleTrees::release() / "str"))
    if (!fs::exists(map_.root() / "baza" / "str" / e.path().filename()))
      fs::copy_file(e.path(), map_.root() / "baza" / "str" / e.path().filename());
  int previous = 1;
  tav::db::RunVariables variables;
  variables.num_fir = Value(1);
  for (const auto& [step, release] : steps) {
    SCOPED_TRACE(databaseRelease(release));
    const fs::path before = SampleTrees::database(databaseRelease(previous), 1) / "firma1";
    const fs::path expected = SampleTrees::database(databaseRelease(release), 1) / "firma1";
    const std::string name = "firma" + std::to_string(release);
    SampleTrees::copy(before, firms / name);
    tav::rt::Error e;
    ASSERT_TRUE(tav::rt::sequence(
        [&] { runFirmPlan(step, firmsDrive + name + "\\", db_, databaseRelease(previous)); }, &e))
        << e.summary() << " " << e.description << " " << e.filename;
    const auto got = structures(firms / name), want = structures(expected);
    EXPECT_GT(want.size(), 100u);
    for (const auto& [table, fields] : want) {
      const auto it = got.find(table);
      if (it == got.end())
        ADD_FAILURE() << table << " is missing";
      else
        EXPECT_EQ(it->second, fields) << table;
    }
    EXPECT_EQ(str(read(firms / name / "wersja.dbf").records.at(0).at("BAZA")),
              databaseRelease(release));
    previous = release;
  }
  tav::engine::workspace().closeAll();
  fs::remove_all(firms);
}

TEST_F(LateFirmSteps, AStepAtOrBelowTheFirmsReleaseTouchesNothing) {
  const auto before = snapshot(dir());
  for (auto [step, release] : std::vector<std::pair<FirmStep, int>>{{I_25_01_030, 30},
                                                                    {I_25_01_038, 38},
                                                                    {I_25_01_044, 44},
                                                                    {I_25_01_045, 45},
                                                                    {I_25_01_046, 46}}) {
    EXPECT_TRUE(run(step, kAtDatabaseRelease, databaseRelease(release)));
    EXPECT_TRUE(run(step, kAtDatabaseRelease, "025.01.046"));
  }
  EXPECT_TRUE(snapshot(dir()) == before);
}

TEST_F(LateFirmSteps, ANarrowFieldIsWidenedWithItsTextIntact) {
  struct Widening {
    FirmStep step;
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
      for (const auto& [name, value] : before.records[i])
        EXPECT_EQ(str(after.records[i].at(name)), str(value)) << name;
    const auto dbf = snapshot(dir()).at(std::string(w.table) + ".dbf");
    EXPECT_TRUE(run(w.step));
    EXPECT_TRUE(snapshot(dir()).at(std::string(w.table) + ".dbf") == dbf);  // not rewritten
  }
}

TEST_F(LateFirmSteps, AStructureChangeThatFailsLeavesTheReleaseUnrecorded) {
  dir();
  // Every rebuilt table is refused at the moment it would replace the old one.
  auto previous = tav::db::setSwapHook([](tav::db::SwapPoint, std::string_view) { return false; });
  for (FirmStep step : {I_25_01_030, I_25_01_031}) EXPECT_TRUE(raises(step));
  tav::db::setSwapHook(std::move(previous));
  EXPECT_EQ(recorded(), kOld);
  EXPECT_EQ(table("firma").fields.size(), 145u);
  EXPECT_EQ(table("p_skld").field("R1")->length, 150);
}

// What a step changes in place (045 retypes ks_dok's purchases) reaches the disk before the step's
// release does: were the change left in memory, a power cut could leave the release recorded and
// the purchases untyped, and no later run would retype them. A disk that refuses to force
// ks_dok.dbf fails the step with the release unrecorded.
TEST_F(LateFirmSteps, AChangeInPlaceThatCannotReachTheDiskLeavesTheReleaseUnrecorded) {
  tav::rt::Error e;
  {
    const tav::testing::InjectedFault refused("flush@ks_dok.dbf:1:EIO");
    EXPECT_TRUE(raises(I_25_01_045, kAtDatabaseRelease, &e));
  }
  EXPECT_EQ(e.genCode, tav::rt::kErrWrite) << e.description;
  EXPECT_EQ(recorded(), kOld);
  EXPECT_TRUE(run(I_25_01_045));
  EXPECT_EQ(recorded(), databaseRelease(45));
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
  EXPECT_TRUE(bytes("ksef_p") ==
              tav::testing::contents(SampleTrees::release() / "str" / "ksef_p.dbf"));
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

  // A firm whose parameter table has no record yet gets the fields and no invented record.
  {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.useHost(dir(2) / "p_dat.dbf", "t", tav::engine::UseOptions{}));
    ws.current()->zap();
  }
  EXPECT_TRUE(run(I_25_01_046, 2));
  EXPECT_EQ(table("p_dat", 2).fields.size(), 76u);
  EXPECT_TRUE(table("p_dat", 2).records.empty());
  EXPECT_EQ(recorded(2), databaseRelease(46));
}

// ---- one failure rule for every step ------------------------------------------------------

// The header bytes of a closed table, changed in place.
void patchHeader(const fs::path& dbf, const std::function<void(std::string&)>& change) {
  std::string bytes = tav::testing::contents(dbf);
  change(bytes);
  tav::testing::TempDriveMap::put(dbf, bytes);
}

// The field keeps its place, type and width under another name.
void renameField(const fs::path& dbf, const std::string& from, const std::string& to) {
  bool found = false;
  patchHeader(dbf, [&](std::string& b) {
    for (size_t at = 32; at + 32 <= b.size() && b[at] != '\r'; at += 32) {
      if (tav::rt::upper(std::string(b.data() + at, strnlen(b.data() + at, 11))) != from) continue;
      std::string name = to;
      name.resize(11, '\0');
      b.replace(at, 11, name);
      found = true;
      return;
    }
  });
  ASSERT_TRUE(found) << from << " in " << dbf;
}

TEST_F(LateFirmSteps, AFieldTheStepNamesButTheTableLacksStopsTheStepWithTheTableUntouched) {
  // A condition's field, a condition's and widening's field, a widened field only; early and late.
  const std::vector<std::tuple<FirmStep, const char*, const char*>> cases = {
      {I_25_01_011, "wspolnik", "ADRES_NRD"},
      {I_25_01_036, "p_fcfg", "PIMP"},
      {I_25_01_045, "sam_dok", "ADRES"}};
  for (const auto& [step, name, field] : cases) {
    SCOPED_TRACE(field);
    // The narrow field stands in the named one's place: widening by place would change it.
    renameField(dir() / (std::string(name) + ".dbf"), field, "X_OTHER");
    const std::string before = bytes(name);
    tav::rt::Error e;
    EXPECT_TRUE(raises(step, kAtDatabaseRelease, &e));
    EXPECT_EQ(e.filename, win(kAtDatabaseRelease) + name + ".dbf");
    EXPECT_TRUE(bytes(name) == before);
    EXPECT_EQ(recorded(), kOld);
  }
}

TEST_F(LateFirmSteps, AnIndexThatCannotBeRebuiltStopsTheStepWhichTheNextRunRedoes) {
  auto sleeper = tav::rt::setSleeper([](int) {});
  // The old index cannot be deleted; the table itself opens (it no longer asks for it).
  auto blockIndex = [&](const char* name) {
    patchHeader(dir() / (std::string(name) + ".dbf"), [](std::string& b) { b[28] = 0; });
    fs::remove(dir() / (std::string(name) + ".cdx"));
    fs::create_directories(dir() / (std::string(name) + ".cdx") / "x");
  };
  const std::vector<std::tuple<FirmStep, int, const char*, size_t>> cases = {
      {I_25_01_005, 5, "st_gn", 56}, {I_25_01_032, 32, "ks_dok", 92}};
  for (const auto& [step, release, name, fieldsAfter] : cases) {
    SCOPED_TRACE(name);
    blockIndex(name);
    tav::rt::Error e;
    EXPECT_TRUE(raises(step, kAtDatabaseRelease, &e));
    EXPECT_EQ(e.filename, win(kAtDatabaseRelease) + name + ".cdx");
    EXPECT_EQ(recorded(), kOld);
    tav::engine::workspace().closeAll();  // as the upgrade's per-firm trap leaves it
    fs::remove_all(dir() / (std::string(name) + ".cdx"));
    EXPECT_EQ(table(name).fields.size(), fieldsAfter);  // changed, but not counted as done

    EXPECT_TRUE(run(step));
    EXPECT_EQ(recorded(), databaseRelease(release));
    EXPECT_EQ(table(name).fields.size(), fieldsAfter);
    std::vector<std::string> tags;
    for (const auto& t : *tav::db::tagsFor(name)) tags.push_back(tav::rt::upper(t.name));
    EXPECT_EQ(table(name).tags, tags);
    // The next case starts from the old release again.
    set("wersja", 1, {{"baza", Value(kOld)}});
  }
  tav::rt::setSleeper(std::move(sleeper));
}

TEST_F(LateFirmSteps, ADamagedIndexDoesNotSinkTheStepThatRebuildsIt) {
  tav::db::RunVariables variables;  // an upgrade run collects the report's notes
  std::ofstream(dir() / "ks_dok.cdx", std::ios::binary | std::ios::trunc)
      << std::string(1536, '\xff');
  EXPECT_TRUE(run(I_25_01_032));
  EXPECT_EQ(recorded(), databaseRelease(32));
  std::vector<std::string> tags;
  for (const auto& t : *tav::db::tagsFor("ks_dok")) tags.push_back(tav::rt::upper(t.name));
  EXPECT_EQ(table("ks_dok").tags, tags);
  // The upgrade's report says which index it found damaged.
  const auto& notes = variables.tlist.arr();
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.front().str(),
            win(kAtDatabaseRelease) + "ks_dok.cdx: uszkodzony indeks, tabela otwarta bez niego");
}

// ---- data rules -----------------------------------------------------------------------------

Value day(int y, int m, int d) { return Value(tav::rt::Date::fromYmd(y, m, d)); }

TEST_F(LateFirmSteps, VehiclesGetTheirEmission) {
  // (kind, fuel, year made) -> CO2
  const std::vector<std::tuple<const char*, int, const char*, double>> cases = {
      {"E", 6, "2025", 0},    {"B", 6, "2025", 93.6}, {"B", 6, "2024", 120},
      {"B", 6, "2026", 93.6}, {"B", 1, "2025", 120},  {"E", 1, "1999", 0}};
  for (size_t i = 0; i < cases.size(); ++i) {
    auto [kind, fuel, made, co2] = cases[i];
    set("sam_rej", static_cast<uint32_t>(i + 1),
        {{"rodzaj", Value(kind)}, {"cpn_t", Value(fuel)}, {"rok_prod", Value(made)}});
  }
  EXPECT_TRUE(run(I_25_01_042));
  const TableView after = table("sam_rej");
  ASSERT_EQ(after.records.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_NEAR(num(after.records[i].at("CO2")), std::get<3>(cases[i]), 1e-9)
        << "vehicle " << i + 1;
  EXPECT_EQ(after.field("CO2")->decimals, 2);
  EXPECT_EQ(after.tags, (std::vector<std::string>{"LPP"}));
  EXPECT_EQ(recorded(), databaseRelease(42));
}

TEST_F(LateFirmSteps, RefundsAreRebuiltOnTheTemplateAllByTransfer) {
  const TableView before = table("p_alu");
  std::vector<std::string> kept;
  for (size_t i = 0; i < before.records.size(); ++i)
    if (!before.deleted[i])
      kept.push_back(str(before.records[i].at("LPP")) + "/" + str(before.records[i].at("LPP_P")));
  ASSERT_FALSE(kept.empty());
  ASSERT_EQ(before.field("PRZELEW"), nullptr);

  EXPECT_TRUE(run(I_25_01_038));
  const TableView after = table("p_alu");
  std::vector<std::string> carried;
  for (const Record& r : after.records) {
    carried.push_back(str(r.at("LPP")) + "/" + str(r.at("LPP_P")));
    EXPECT_EQ(str(r.at("PRZELEW")), "T");
  }
  EXPECT_EQ(carried, kept);
  EXPECT_EQ(after.tags, (std::vector<std::string>{"LPP", "PPP"}));
  const TableView pa = table("p_pa");
  EXPECT_EQ(pa.fields.size(), 68u);
  EXPECT_EQ(pa.tags, (std::vector<std::string>{"LPP", "PPP"}));
  EXPECT_EQ(recorded(), databaseRelease(38));

  // Without the template nothing is carried over and the release stays unrecorded.
  fs::remove(map_.root() / "baza" / "str" / "p_alu.dbf");
  const std::string old = bytes("p_alu", 2);
  EXPECT_TRUE(raises(I_25_01_038, 2));
  EXPECT_TRUE(bytes("p_alu", 2) == old);
  EXPECT_NE(recorded(2), databaseRelease(38));
}

TEST_F(LateFirmSteps, StandByTotalsOf2025PerEmployeeAndMonth) {
  // Every employee has, in 2025, stand-by on 10 and 20 January (8.30 h and 4.45 h, 100 and
  // 150.25), another absence on 12 January and stand-by on 3 March (2.15 h, 250.75), each of
  // 3 days.
  EXPECT_TRUE(run(I_25_01_040));
  const TableView pf = table("p_f");
  ASSERT_FALSE(pf.records.empty());
  for (const Record& r : pf.records) {
    const std::string mc = str(r.at("MC"));
    SCOPED_TRACE(str(r.at("LPP_P")) + " " + mc);
    if (mc == "01") {
      EXPECT_EQ(num(r.at("SWY_DK")), 6);
      EXPECT_EQ(num(r.at("SWY_DR")), 6);
      EXPECT_NEAR(num(r.at("SWY_GN")), 13.25, 1e-9);  // 13 h 15 min
      EXPECT_NEAR(num(r.at("SWY_WYN")), 250.25, 1e-9);
    } else if (mc == "03") {
      EXPECT_EQ(num(r.at("SWY_DK")), 3);
      EXPECT_NEAR(num(r.at("SWY_GN")), 2.25, 1e-9);
      EXPECT_NEAR(num(r.at("SWY_WYN")), 250.75, 1e-9);
    } else {
      EXPECT_EQ(num(r.at("SWY_WYN")), 0);
      EXPECT_EQ(num(r.at("SWY_DK")), 0);
    }
  }
  EXPECT_EQ(pf.tags, (std::vector<std::string>{"LPP", "LMC"}));
  EXPECT_EQ(recorded(), databaseRelease(40));
}

TEST_F(LateFirmSteps, ContractNotesAreCopiedToTheEmployee) {
  tav::db::RunVariables variables;
  variables.num_fir = Value(kAtDatabaseRelease);
  const std::string payslip = tav::testing::contents(dir() / "zest" / "p_swp.rtf");
  ASSERT_FALSE(payslip.empty());
  // Keys as the program files them: module, firm, the record's key padded on the left.
  const std::string module = " PRACOWNIK";
  auto key = [](const char* k) { return "F0001" + tav::rt::padLeft(tav::rt::padRight(k, 10), 20); };
  // Contracts (key, employee) and the notes already there (key, text).
  const std::vector<std::pair<const char*, const char*>> contracts = {
      {"C1", "P1"}, {"C2", "P2"}, {"C3", "P3"}, {"C4", ""}, {"C5", "P5"}, {"C6", "P1"}};
  const std::vector<std::pair<const char*, std::string>> notes = {
      {"C1", "Umowa 1"}, {"C2", "Umowa 2"},    {"P2", ""},
      {"C3", "Umowa 3"}, {"P3", "Własna"_oem}, {"C4", "Umowa 4"}};
  ASSERT_EQ(table("p_up").records.size(), contracts.size());
  ASSERT_EQ(table("uwagi").records.size(), notes.size());
  std::map<std::string, std::string> expected;
  for (size_t i = 0; i < contracts.size(); ++i)
    set("p_up", static_cast<uint32_t>(i + 1),
        {{"lpp", Value(contracts[i].first)}, {"lpp_p", Value(contracts[i].second)}});
  for (size_t i = 0; i < notes.size(); ++i) {
    set("uwagi", static_cast<uint32_t>(i + 1),
        {{"modul", Value(module)},
         {"lpp", Value(key(notes[i].first))},
         {"tresc", Value::memo(notes[i].second)}});
    expected[module + key(notes[i].first)] = notes[i].second;
  }
  expected[module + key("P1")] = "Umowa 1";  // new note
  expected[module + key("P2")] = "Umowa 2";  // an empty note filled; own note of P3 stays

  EXPECT_TRUE(run(I_25_01_044));
  auto notesAfter = [&] {
    std::map<std::string, std::string> out;
    for (const Record& r : table("uwagi").records)
      EXPECT_TRUE(out.emplace(r.at("MODUL").str() + r.at("LPP").str(), str(r.at("TRESC"))).second);
    return out;
  };
  EXPECT_EQ(notesAfter(), expected);
  EXPECT_EQ(table("uwagi").tags, (std::vector<std::string>{"LPP"}));
  EXPECT_FALSE(fs::exists(dir() / "zest" / "p_swp.rtf"));
  EXPECT_EQ(tav::testing::contents(dir() / "zest" / "p_swp.rtf.bak"), payslip);
  for (const Value& v : table("rk_dok").column("R_TO_R")) EXPECT_EQ(str(v), "N");
  EXPECT_EQ(table("v_data").fields.size(), 82u);
  EXPECT_EQ(recorded(), databaseRelease(44));

  // Repeated, nothing more is copied.
  EXPECT_TRUE(run(I_25_01_044));
  EXPECT_EQ(notesAfter(), expected);

  // A firm without the payslip template converts all the same.
  variables.num_fir = Value(kWithoutOptional);
  EXPECT_TRUE(run(I_25_01_044, kWithoutOptional));
  EXPECT_EQ(recorded(kWithoutOptional), databaseRelease(44));
}

TEST_F(LateFirmSteps, NotesAreNotFiledWithoutTheFirmsNumber) {
  EXPECT_TRUE(raises(I_25_01_044));
  EXPECT_NE(recorded(), databaseRelease(44));
}

TEST_F(LateFirmSteps, VehiclesPurchasesAndCarTradeOf045) {
  set("ks_fw", 1, {{"termin", Value(tav::rt::Date())}});  // no payment term
  set("ks_fw", 2,
      {{"termin", day(2025, 3, 1)}, {"d_vat", day(2025, 3, 10)}});  // term before VAT date
  set("ks_auto", 1, {{"lpp_ksz", Value("")}});
  set("ks_dok", 2, {{"lpp", Value("")}});  // a document without a number is no link target
  const TableView dokBefore = table("ks_dok"), fwBefore = table("ks_fw");
  std::map<std::string, Record> documents;
  for (size_t i = 0; i < dokBefore.records.size(); ++i)
    if (!dokBefore.deleted[i] && !str(dokBefore.records[i].at("LPP")).empty())
      documents[dokBefore.records[i].at("LPP").str()] = dokBefore.records[i];

  EXPECT_TRUE(run(I_25_01_045));

  EXPECT_EQ(table("sam_dok").field("FIRMA")->length, 80);
  EXPECT_EQ(table("sam_dok").field("ADRES")->length, 80);
  EXPECT_EQ(table("sam_rej").field("ADRES")->length, 80);
  EXPECT_NE(table("p_uz").field("KOMORNIK"), nullptr);

  const TableView dok = table("ks_dok");
  ASSERT_EQ(dok.records.size(), dokBefore.records.size());
  for (size_t i = 0; i < dok.records.size(); ++i) {
    if (dokBefore.deleted[i]) continue;  // hidden from the step
    const Record &was = dokBefore.records[i], &is = dok.records[i];
    EXPECT_NE(str(is.at("TK")), "U");
    if (str(was.at("TK")) == "U") {
      EXPECT_EQ(str(is.at("TK")), "Z");
      EXPECT_EQ(num(is.at("KWOTA2")), num(was.at("KWOTA1")));
    } else {
      EXPECT_EQ(str(is.at("TK")), str(was.at("TK")));
    }
  }

  const TableView fw = table("ks_fw");
  EXPECT_EQ(fw.field("NAZWA_KLI")->length, 80);
  EXPECT_EQ(fw.field("MIASTO_KLI")->length, 40);
  EXPECT_EQ(fw.tags, (std::vector<std::string>{"DAT"}));
  ASSERT_EQ(fw.records.size(), fwBefore.records.size());
  EXPECT_EQ(num(fw.records[0].at("IL_TER")), 0);
  EXPECT_EQ(num(fw.records[1].at("IL_TER")), 0);
  for (size_t i = 0; i < fw.records.size(); ++i) {
    const Record &was = fwBefore.records[i], &is = fw.records[i];
    EXPECT_EQ(str(is.at("NAZWA_KLI")), str(was.at("NAZWA_KLI")));
    if (fwBefore.deleted[i]) continue;  // hidden from the step
    EXPECT_TRUE(is.at("DATA_VAT").identical(was.at("D_SPR")));
    EXPECT_TRUE(is.at("D_KURS_VAT").identical(was.at("D_KURS")));
    EXPECT_NEAR(num(is.at("F_KURS")), num(was.at("KURS_TAV")), 1e-9);
    if (i >= 2) {
      EXPECT_EQ(num(is.at("IL_TER")),
                std::max(was.at("TERMIN").date() - was.at("D_VAT").date(), 0));
    }
  }

  const TableView car = table("ks_auto");
  EXPECT_EQ(car.fields.size(), 32u);
  EXPECT_EQ(car.field("NR_FZ")->length, 40);
  EXPECT_EQ(car.tags, (std::vector<std::string>{"LPP", "LPZ", "LPS"}));
  int linked = 0, unlinked = 0;
  for (size_t i = 0; i < car.records.size(); ++i) {
    if (car.deleted[i]) continue;
    const Record& r = car.records[i];
    const auto purchase = documents.find(r.at("LPP_KSZ").str());
    if (purchase == documents.end()) {
      ++unlinked;
      EXPECT_EQ(str(r.at("FIR_Z")), "");
      EXPECT_EQ(str(r.at("LPP_KLIZ")), "");
    } else {
      ++linked;
      EXPECT_EQ(str(r.at("FIR_Z")), str(purchase->second.at("FIRMA")));
      EXPECT_EQ(str(r.at("NR_KSEFZ")), str(purchase->second.at("NR_KSEF")));
      EXPECT_EQ(str(r.at("LPP_KLIZ")), str(purchase->second.at("KLI")));
    }
    const auto sale = documents.find(r.at("LPP_TAV").str());
    if (sale != documents.end()) {
      EXPECT_EQ(str(r.at("NIP_S")), str(sale->second.at("NIP")));
      EXPECT_EQ(str(r.at("NR_KSEF")), str(sale->second.at("NR_KSEF")));
    }
  }
  EXPECT_GT(linked, 0);
  EXPECT_GT(unlinked, 0);
  EXPECT_EQ(recorded(), databaseRelease(45));
}

}  // namespace
