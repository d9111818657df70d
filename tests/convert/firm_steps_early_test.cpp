// The firm steps of releases 001 to 027 on sample firms: the structures they leave, the data
// their rules derive, the indexes they rebuild, their guard, and that a repeat changes nothing.
#include "convert/firm_steps_early.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "db/index_catalogue.h"
#include "db/table_access.h"
#include "engine/index/index_files.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/codepage.h"
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
using tav::testing::contents;
using tav::testing::SampleTrees;

struct Row {
  std::map<std::string, Value> field;
  std::string text(const std::string& name) const { return field.at(name).str(); }
  double number(const std::string& name) const { return field.at(name).num(); }
};

// The visible records of a table, fields by lower-case name.
std::vector<Row> rowsOf(const fs::path& table) {
  tav::engine::Workspace ws;
  tav::engine::UseOptions o;
  o.readOnly = o.shared = true;
  std::vector<Row> out;
  if (!ws.useHost(table, "t", o)) return out;
  tav::engine::WorkArea& a = *ws.current();
  for (uint32_t r = 1; r <= a.lastRec(); ++r) {
    a.goTo(r);
    if (a.deleted()) continue;
    Row row;
    for (size_t i = 1; i <= a.fieldCount(); ++i)
      row.field[tav::rt::lower(a.fieldName(i))] = a.get(i);
    out.push_back(std::move(row));
  }
  return out;
}

std::vector<tav::engine::FieldSpec> structureOf(const fs::path& table) {
  tav::engine::Workspace ws;
  tav::engine::UseOptions o;
  o.readOnly = o.shared = true;
  return ws.useHost(table, "t", o) ? ws.current()->structure()
                                   : std::vector<tav::engine::FieldSpec>{};
}

const tav::engine::FieldSpec* fieldOf(const std::vector<tav::engine::FieldSpec>& s,
                                      const std::string& name) {
  for (const auto& f : s)
    if (tav::rt::lower(f.name) == tav::rt::lower(name)) return &f;
  return nullptr;
}

// Changes a closed table in place.
void edit(const fs::path& table, const std::function<void(tav::engine::WorkArea&)>& change) {
  tav::engine::Workspace ws;
  ASSERT_TRUE(ws.useHost(table, "t", tav::engine::UseOptions{}));
  change(*ws.current());
  ws.closeAll();
}
void set(tav::engine::WorkArea& a, const char* field, const Value& v) {
  a.put(std::string_view(field), v);
}

std::vector<std::string> tagsIn(const fs::path& cdx) {
  std::vector<std::string> out;
  auto f = tav::engine::openIndexFile(cdx, true);
  if (!f) return out;
  for (auto* t : f->tags()) out.push_back(tav::rt::lower(t->name()) + "=" + t->keyExpression());
  return out;
}
std::vector<std::string> catalogued(const char* table) {
  std::vector<std::string> out;
  for (const auto& t : *tav::db::tagsFor(table))
    out.push_back(tav::rt::lower(t.name) + "=" + t.key);
  return out;
}

Value date(int y, int m, int d) { return Value(tav::rt::Date::fromYmd(y, m, d)); }

class FirmStepsEarly : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    tav::rt::resetSettings();
    tav::db::STARTINIT();
  }
  void TearDown() override {
    tav::engine::workspace().closeAll();
    tav::rt::resetShared();
    tav::rt::resetSettings();
  }
  // Firm 1 of a sample database at `release`, and the database's str\ as the template steps
  // leave it: the shipped templates.
  void prepare(const std::string& release = "025.01.001") {
    SampleTrees::copy(SampleTrees::database(release, 1) / "firma1", firm_);
    SampleTrees::copy(SampleTrees::release() / "str", base_ / "str");
    release_ = release;
  }
  // Runs a step with the firm's release as the runner read it; false when it raised.
  bool run(const FirmPlan& step, const std::string& firmRelease = {}) {
    tav::rt::Error e;
    const std::string given = firmRelease.empty() ? release_ : firmRelease;
    if (!tav::rt::guarded([&] { runFirmPlan(step, fd_, db_, given); }, &e)) {
      error_ = e;
      return false;
    }
    return true;
  }
  std::string recorded() { return rowsOf(firm_ / "wersja.dbf").at(0).text("baza"); }
  fs::path t(const std::string& name) const { return firm_ / (name + ".dbf"); }

  tav::testing::TempDriveMap map_;
  const fs::path base_ = map_.root() / "baza";
  const fs::path firm_ = base_ / "firma1";
  const std::string db_ = map_.drive('D', map_.root()) + "baza\\", fd_ = db_ + "firma1\\";
  std::string release_;
  tav::rt::Error error_;
};

// ---------------------------------------------------------------- structure-only steps

TEST_F(FirmStepsEarly, Step005AddsTheHandOverNumberOnceKeepingRecordsAndIndexing) {
  prepare();
  const auto before = rowsOf(t("st_gn"));
  ASSERT_EQ(structureOf(t("st_gn")).size(), 55u);

  ASSERT_TRUE(run(I_25_01_005)) << error_.filename;
  const auto s = structureOf(t("st_gn"));
  ASSERT_EQ(s.size(), 56u);
  EXPECT_EQ(s.back().name, "NR_OT");
  EXPECT_EQ(s.back().type, 'C');
  EXPECT_EQ(s.back().length, 40);
  const auto after = rowsOf(t("st_gn"));
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i].text("lpp"), before[i].text("lpp"));
  EXPECT_EQ(tagsIn(firm_ / "st_gn.cdx"), catalogued("st_gn"));
  const auto version = rowsOf(firm_ / "wersja.dbf").at(0);
  EXPECT_EQ(version.text("baza"), "025.01.005");
  EXPECT_EQ(version.text("wariant"), "005");
  EXPECT_DOUBLE_EQ(version.number("nr"), 25.01);
  EXPECT_FALSE(tav::engine::workspace().used("stg"));

  // A firm that has the release already is not touched at all.
  const auto done = tav::testing::snapshot(firm_);
  ASSERT_TRUE(run(I_25_01_005, "025.01.005")) << error_.filename;
  ASSERT_TRUE(run(I_25_01_005, "025.01.046")) << error_.filename;
  EXPECT_EQ(tav::testing::snapshot(firm_), done);

  // Run again from below: the field is there, the table is not rebuilt.
  const std::string table = contents(t("st_gn"));
  ASSERT_TRUE(run(I_25_01_005)) << error_.filename;
  EXPECT_EQ(contents(t("st_gn")), table);
}

TEST_F(FirmStepsEarly, WideningStepsKeepTheTextAndWidenOnlyANarrowField) {
  prepare();
  const auto partners = rowsOf(t("wspolnik"));
  const auto corrections = rowsOf(t("ks_kor"));
  ASSERT_EQ(fieldOf(structureOf(t("wspolnik")), "adres_nrd")->length, 8);
  ASSERT_EQ(structureOf(t("ks_kor"))[29].length, 30);

  ASSERT_TRUE(run(I_25_01_011)) << error_.filename;
  EXPECT_EQ(structureOf(t("wspolnik"))[14].name, "ADRES_NRD");
  EXPECT_EQ(structureOf(t("wspolnik"))[14].length, 10);
  auto after = rowsOf(t("wspolnik"));
  ASSERT_EQ(after.size(), partners.size());
  for (size_t i = 0; i < after.size(); ++i)
    EXPECT_EQ(tav::rt::rTrim(after[i].text("adres_nrd")),
              tav::rt::rTrim(partners[i].text("adres_nrd")));
  EXPECT_EQ(tagsIn(firm_ / "wspolnik.cdx"), catalogued("wspolnik"));
  EXPECT_EQ(recorded(), "025.01.011");
  // Wide enough now: a repeat leaves the table's bytes alone.
  const std::string widened = contents(t("wspolnik"));
  ASSERT_TRUE(run(I_25_01_011)) << error_.filename;
  EXPECT_EQ(contents(t("wspolnik")), widened);

  // A widening that could not be made (its new table cannot be written) is not done.
  fs::create_directories(firm_ / "~ks_kor.dbf" / "x");
  const std::string narrow = contents(t("ks_kor"));
  EXPECT_FALSE(run(I_25_01_023));
  EXPECT_EQ(error_.filename, fd_ + "ks_kor.dbf");
  EXPECT_EQ(contents(t("ks_kor")), narrow);
  EXPECT_EQ(recorded(), "025.01.011");
  fs::remove_all(firm_ / "~ks_kor.dbf");

  ASSERT_TRUE(run(I_25_01_023)) << error_.filename;
  const auto s = structureOf(t("ks_kor"));
  EXPECT_EQ(s[29].name, "NR_PIERW");
  EXPECT_EQ(s[29].length, 40);
  const auto kor = rowsOf(t("ks_kor"));
  ASSERT_EQ(kor.size(), corrections.size());
  for (size_t i = 0; i < kor.size(); ++i)
    EXPECT_EQ(tav::rt::rTrim(kor[i].text("nr_pierw")),
              tav::rt::rTrim(corrections[i].text("nr_pierw")));
  EXPECT_EQ(tagsIn(firm_ / "ks_kor.cdx"), catalogued("ks_kor"));
  EXPECT_EQ(recorded(), "025.01.023");
}

TEST_F(FirmStepsEarly, NewTablesComeFromTheDatabaseTemplatesAndAMissingOneStopsTheStep) {
  prepare();
  ASSERT_FALSE(fs::exists(t("cpn")));
  ASSERT_TRUE(run(I_25_01_019)) << error_.filename;
  EXPECT_EQ(contents(t("cpn")), contents(base_ / "str" / "cpn.dbf"));
  EXPECT_EQ(recorded(), "025.01.019");

  fs::remove(base_ / "str" / "sme_cfg.dbf");
  EXPECT_FALSE(run(I_25_01_027));
  EXPECT_EQ(error_.filename, fd_ + "sme_cfg.dbf");
  EXPECT_EQ(recorded(), "025.01.019");  // not counted as done

  SampleTrees::copy(SampleTrees::release() / "str", map_.root() / "fresh");
  fs::copy_file(map_.root() / "fresh" / "sme_cfg.dbf", base_ / "str" / "sme_cfg.dbf");
  ASSERT_TRUE(run(I_25_01_027)) << error_.filename;
  // The template's fields and records (indexing marks its header as having an index).
  for (const char* name : {"sme_ewi", "sme_cfg", "sme_zw"}) {
    const fs::path from = base_ / "str" / (std::string(name) + ".dbf");
    EXPECT_EQ(structureOf(t(name)).size(), structureOf(from).size()) << name;
    EXPECT_EQ(rowsOf(t(name)).size(), rowsOf(from).size()) << name;
  }
  EXPECT_EQ(tagsIn(firm_ / "sme_ewi.cdx"), catalogued("sme_ewi"));
  EXPECT_EQ(tagsIn(firm_ / "sme_zw.cdx"), catalogued("sme_zw"));
  EXPECT_EQ(recorded(), "025.01.027");
}

TEST_F(FirmStepsEarly, Step010SetsDecemberOfTheCalendarOnly) {
  prepare();
  const auto before = rowsOf(t("p_cals"));
  ASSERT_GE(before.size(), 12u);
  ASSERT_TRUE(run(I_25_01_010)) << error_.filename;
  const auto after = rowsOf(t("p_cals"));
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    if (i == 11) {
      EXPECT_EQ(after[i].number("dr"), 20);
      EXPECT_EQ(tav::rt::rTrim(after[i].text("dw")), "6,7,13,14,20,21,24,25,26,27,28,");
    } else {
      EXPECT_EQ(after[i].number("dr"), before[i].number("dr")) << i;
      EXPECT_EQ(after[i].text("dw"), before[i].text("dw")) << i;
    }
  }
  EXPECT_EQ(tagsIn(firm_ / "p_cals.cdx"), catalogued("p_cals"));
  EXPECT_EQ(recorded(), "025.01.010");

  // A calendar without a twelfth record gains none.
  edit(t("p_cals"), [](tav::engine::WorkArea& a) {
    for (uint32_t r = 6; r <= a.lastRec(); ++r) {
      a.goTo(r);
      a.remove();
    }
    a.pack();
  });
  ASSERT_TRUE(run(I_25_01_010)) << error_.filename;
  EXPECT_EQ(rowsOf(t("p_cals")).size(), 5u);
}

// ---------------------------------------------------------------- 004: fixed assets

TEST_F(FirmStepsEarly, Step004AddsTheAssetFieldsAndDerivesDisposalTypeAndEntryKind) {
  prepare();
  // Disposal reasons in every form the rule tells apart, dated and undated.
  struct Case {
    const char* reason;
    bool dated;
    const char* type;  // expected typ_l, nullptr: left blank
  };
  const Case cases[] = {{" sprzedaz maszyny ", true, "S"}, {"", true, "I"},
                        {"niedobor", true, "X"},           {"kradziez", true, "K"},
                        {"darowizna", true, "D"},          {"kradziez sprzetu", true, "S"},
                        {"likwidacja", true, "I"},         {"sprzedaz", false, nullptr}};
  edit(t("st_gn"), [&](tav::engine::WorkArea& a) {
    while (a.lastRec() < std::size(cases)) ASSERT_TRUE(a.append());
    for (uint32_t r = 1; r <= std::size(cases); ++r) {
      a.goTo(r);
      a.recall();
      set(a, "powody_l", Value(cases[r - 1].reason));
      set(a, "data_l", cases[r - 1].dated ? date(2025, 3, 1) : Value(tav::rt::Date()));
    }
  });
  edit(t("st_en"), [](tav::engine::WorkArea& a) {
    const char* ids[][2] = {{"0000000001", "1234563218"}, {"", "1234563218"}, {"", ""}};
    for (uint32_t r = 1; r <= 3; ++r) {
      a.goTo(r);
      set(a, "lpp_i", Value(ids[r - 1][0]));
      set(a, "nip", Value(ids[r - 1][1]));
    }
  });
  const size_t assets = rowsOf(t("st_en")).size();

  ASSERT_TRUE(run(I_25_01_004)) << error_.filename;
  EXPECT_EQ(structureOf(t("st_en")).size(), 62u);
  EXPECT_EQ(structureOf(t("st_gn")).size(), 58u);
  EXPECT_EQ(structureOf(t("st_dok")).size(), 21u);
  for (const char* f : {"dok_l", "typ_l"}) ASSERT_TRUE(fieldOf(structureOf(t("st_dok")), f)) << f;
  const auto gn = rowsOf(t("st_gn"));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(tav::rt::rTrim(gn[i].text("typ_l")), c.type ? c.type : "") << c.reason;
    EXPECT_EQ(tav::rt::rTrim(gn[i].text("dok_l")), c.type ? "Brak danych" : "") << c.reason;
  }
  const auto en = rowsOf(t("st_en"));
  ASSERT_EQ(en.size(), assets);
  EXPECT_EQ(en[0].text("sn"), "W");
  EXPECT_EQ(en[1].text("sn"), "F");
  EXPECT_EQ(en[2].text("sn"), "S");
  for (const char* table : {"st_en", "st_gn", "st_dok"})
    EXPECT_EQ(tagsIn(firm_ / (std::string(table) + ".cdx")), catalogued(table)) << table;
  EXPECT_EQ(recorded(), "025.01.004");

  // 005 after 004 finds its field there.
  const std::string table = contents(t("st_gn"));
  ASSERT_TRUE(run(I_25_01_005)) << error_.filename;
  EXPECT_EQ(contents(t("st_gn")), table);
}

// ---------------------------------------------------------------- 021, 024: contract payouts

TEST_F(FirmStepsEarly, PayoutStepsAddTheirFieldsAndComputeTheFlatRateContracts) {
  prepare();
  edit(t("p_us"), [](tav::engine::WorkArea& a) {
    a.goTo(1);
    set(a, "kwota", Value(1000.40));
    set(a, "ror", Value(1000.40));
    a.goTo(2);
    set(a, "kwota", Value(500.0));
    set(a, "ror", Value(0.0));
    set(a, "gotowka", Value(500.0));
  });
  const size_t contracts = rowsOf(t("p_us")).size();
  ASSERT_TRUE(run(I_25_01_021)) << error_.filename;
  EXPECT_EQ(structureOf(t("p_us")).size(), 24u);
  for (const Row& r : rowsOf(t("p_us"))) {
    EXPECT_DOUBLE_EQ(r.number("wyplata"), r.number("kwota"));
    EXPECT_EQ(r.text("is_k") + r.text("is_p") + r.text("is_z52"), "NNN");
    EXPECT_EQ(r.text("is_r"), r.number("ror") > 0.001 ? "T" : "N");
  }
  EXPECT_EQ(tagsIn(firm_ / "p_us.cdx"), catalogued("p_us"));
  EXPECT_EQ(recorded(), "025.01.021");

  // Contracts marked flat-rate since, one paid by transfer and one in cash.
  edit(t("p_us"), [](tav::engine::WorkArea& a) {
    for (uint32_t r = 1; r <= 2; ++r) {
      a.goTo(r);
      set(a, "is_p", Value("T"));
      set(a, "koszty", Value(20.0));
      set(a, "fp", Value(7.0));
    }
  });
  const std::string table = contents(t("p_us"));
  ASSERT_TRUE(run(I_25_01_024, "025.01.021")) << error_.filename;
  const auto us = rowsOf(t("p_us"));
  ASSERT_EQ(us.size(), contracts);
  EXPECT_DOUBLE_EQ(us[0].number("zus52"), 90.04);
  EXPECT_DOUBLE_EQ(us[0].number("podatek"), 120);
  EXPECT_DOUBLE_EQ(us[0].number("wyplata"), 790.36);
  EXPECT_DOUBLE_EQ(us[0].number("ror"), 790.36);
  EXPECT_DOUBLE_EQ(us[0].number("gotowka"), 0);
  EXPECT_DOUBLE_EQ(us[1].number("zus52"), 45);
  EXPECT_DOUBLE_EQ(us[1].number("podatek"), 60);
  EXPECT_DOUBLE_EQ(us[1].number("wyplata"), 395);
  EXPECT_DOUBLE_EQ(us[1].number("ror"), 0);
  EXPECT_DOUBLE_EQ(us[1].number("gotowka"), 395);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(us[i].text("is_p") + us[i].text("is_z52") + us[i].text("is_k"), "TTN");
    EXPECT_DOUBLE_EQ(us[i].number("koszty"), 0);
    EXPECT_DOUBLE_EQ(us[i].number("fp"), 0);
  }
  for (size_t i = 2; i < us.size(); ++i)
    EXPECT_DOUBLE_EQ(us[i].number("wyplata"), us[i].number("kwota"));
  EXPECT_EQ(recorded(), "025.01.024");

  // Computed from the amount alone: a repeat gives the same records.
  const auto once = rowsOf(t("p_us"));
  ASSERT_TRUE(run(I_25_01_024, "025.01.021")) << error_.filename;
  const auto twice = rowsOf(t("p_us"));
  for (size_t i = 0; i < once.size(); ++i)
    for (const auto& [name, v] : once[i].field)
      EXPECT_TRUE(twice[i].field.at(name).identical(v)) << name;
}

// ---------------------------------------------------------------- 025: former partners

TEST_F(FirmStepsEarly, Step025RemovesContributionsOfPartnersNoLongerListedOnce) {
  prepare();
  std::set<std::string> partners;
  for (const Row& r : rowsOf(t("wspolnik")))
    if (!tav::rt::allTrim(r.text("lpp_o")).empty())
      partners.insert(tav::rt::rTrim(r.text("lpp_o")));
  const auto before = rowsOf(t("skl_52r"));
  size_t kept = 0;
  for (const Row& r : before) kept += partners.count(tav::rt::rTrim(r.text("lpp_o")));
  ASSERT_LT(kept, before.size());
  ASSERT_GT(kept, 0u);

  // Without its partner list the firm keeps every contribution and the step is not done.
  fs::rename(t("wspolnik"), firm_ / "wspolnik.old");
  const std::string untouched = contents(t("skl_52r"));
  EXPECT_FALSE(run(I_25_01_025));
  EXPECT_EQ(error_.filename, fd_ + "wspolnik.dbf");
  EXPECT_EQ(contents(t("skl_52r")), untouched);
  EXPECT_EQ(recorded(), release_);
  fs::rename(firm_ / "wspolnik.old", t("wspolnik"));

  ASSERT_TRUE(run(I_25_01_025)) << error_.filename;
  const auto after = rowsOf(t("skl_52r"));
  EXPECT_EQ(after.size(), kept);
  for (const Row& r : after) EXPECT_TRUE(partners.count(tav::rt::rTrim(r.text("lpp_o"))));
  EXPECT_EQ(recorded(), "025.01.025");

  // Nothing left to remove: no pack, not a byte rewritten.
  const std::string packed = contents(t("skl_52r"));
  ASSERT_TRUE(run(I_25_01_025)) << error_.filename;
  EXPECT_EQ(contents(t("skl_52r")), packed);

  // A firm without the table only records the release.
  fs::remove(t("skl_52r"));
  ASSERT_TRUE(run(I_25_01_025, "025.01.024")) << error_.filename;
  EXPECT_FALSE(fs::exists(t("skl_52r")));
}

// ---------------------------------------------------------------- 001: the year's new tables

TEST_F(FirmStepsEarly, Step001ReplacesTheDocumentTableAddsCorrectionFieldsAndPicksTheTaxForm) {
  prepare("024.01.050");
  edit(t("firma"), [](tav::engine::WorkArea& a) { set(a, "ryczalt", Value("r")); });
  const auto corrections = rowsOf(t("ks_kor"));
  const size_t korFields = structureOf(t("ks_kor")).size(),
               koraFields = structureOf(t("ks_kora")).size();
  ASSERT_FALSE(fieldOf(structureOf(t("ks_kor")), "LP"));

  ASSERT_TRUE(run(I_25_01_001)) << error_.filename;
  const auto kor = structureOf(t("ks_kor"));
  ASSERT_EQ(kor.size(), korFields + 3);
  const char* added[][2] = {{"MAJATEK", "C1"}, {"TYP_P", "C1"}, {"LP", "N10"}};
  for (size_t i = 0; i < 3; ++i) {
    const auto& f = kor[korFields + i];
    EXPECT_EQ(f.name, added[i][0]);
    EXPECT_EQ(std::string(1, f.type) + std::to_string(f.length), added[i][1]) << f.name;
    EXPECT_EQ(f.decimals, 0);
  }
  EXPECT_EQ(rowsOf(t("ks_kor")).size(), corrections.size());
  const auto kora = structureOf(t("ks_kora"));
  ASSERT_EQ(kora.size(), koraFields + 1);
  EXPECT_EQ(kora.back().name, "LP");
  const fs::path str = base_ / "str";
  EXPECT_EQ(structureOf(t("ks_dok")).size(), structureOf(str / "ks_dok.dbf").size());
  EXPECT_EQ(rowsOf(t("ks_dok")).size(), rowsOf(str / "ks_dok.dbf").size());
  // "r" is the lump-sum form whatever its case.
  EXPECT_EQ(contents(t("inf_fir")), contents(str / "rnf_fir.dbf"));
  for (const char* table : {"ks_dok", "ks_kor", "ks_kora"})
    EXPECT_EQ(tagsIn(firm_ / (std::string(table) + ".cdx")), catalogued(table)) << table;
  EXPECT_EQ(recorded(), "025.01.001");

  // Again for a firm on the regular form: the fields are there, the other template is taken.
  edit(t("firma"), [](tav::engine::WorkArea& a) { set(a, "ryczalt", Value("N")); });
  const std::string table = contents(t("ks_kor"));
  ASSERT_TRUE(run(I_25_01_001)) << error_.filename;
  EXPECT_EQ(contents(t("inf_fir")), contents(str / "inf_fir.dbf"));
  EXPECT_EQ(contents(t("ks_kor")), table);
}

// ---------------------------------------------------------------- 009: payroll periods

TEST_F(FirmStepsEarly, Step009CarriesEndDatesForwardInIndexOrderAndCompletesCode99) {
  prepare();
  edit(t("p_p"), [](tav::engine::WorkArea& a) {
    ASSERT_TRUE(a.append());
    set(a, "lpp", Value("TEST000001"));
  });
  // Physical order differs from the order of the periods (sort).
  struct Period {
    const char* owner;
    const char* sort;
    Value start, end, expected;
  };
  const Period periods[] = {
      {"TEST000001", "0004", date(2025, 4, 1), date(2025, 6, 30), date(2025, 6, 30)},
      {"TEST000001", "0002", date(2025, 2, 1), Value(tav::rt::Date()), date(2025, 3, 31)},
      {"TEST000001", "0001", date(2025, 1, 1), date(2025, 3, 31), date(2025, 3, 31)},
      {"TEST000001", "0005", date(2025, 5, 15), Value(tav::rt::Date()), date(2025, 6, 30)},
      {"TEST000001", "0003", date(2025, 5, 1), Value(tav::rt::Date()), Value(tav::rt::Date())},
      {"TEST000002", "0002", date(2025, 1, 1), Value(tav::rt::Date()), Value(tav::rt::Date())},
  };
  uint32_t first = 0;
  edit(t("p_pa"), [&](tav::engine::WorkArea& a) {
    first = a.lastRec() + 1;
    for (const Period& p : periods) {
      ASSERT_TRUE(a.append());
      set(a, "lpp_p", Value(p.owner));
      set(a, "sort", Value(p.sort));
      set(a, "p5", p.start);
      set(a, "p6", p.end);
    }
  });
  const char* codes[][2] = {{"99", ""}, {"99", "2"}, {"12", ""}};
  edit(t("p_um"), [&](tav::engine::WorkArea& a) {
    a.zap();
    for (const auto& c : codes) {
      ASSERT_TRUE(a.append());
      set(a, "ift", Value(c[0]));
      set(a, "ift2", Value(c[1]));
    }
  });
  ASSERT_TRUE(fs::exists(t("p_ift")));
  edit(t("p_ift"), [](tav::engine::WorkArea& a) {
    a.zap();
    ASSERT_TRUE(a.append());
    const char* pairs[][2] = {{"99", ""}, {"99", "3"}, {"10", ""}};
    const char* names[][2] = {{"typ1", "t1"}, {"typ2", "t2"}, {"typ3", "t3"}};
    for (size_t i = 0; i < 3; ++i) {
      set(a, names[i][0], Value(pairs[i][0]));
      set(a, names[i][1], Value(pairs[i][1]));
    }
  });

  ASSERT_TRUE(run(I_25_01_009)) << error_.filename;
  {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.useHost(t("p_pa"), "t", tav::engine::UseOptions{}));
    for (size_t i = 0; i < std::size(periods); ++i) {
      ws.current()->goTo(first + static_cast<uint32_t>(i));
      EXPECT_TRUE(ws.current()->get(std::string_view("p6")).identical(periods[i].expected))
          << periods[i].owner << " " << periods[i].sort;
    }
  }
  const auto um = rowsOf(t("p_um"));
  ASSERT_EQ(um.size(), 3u);
  EXPECT_EQ(um[0].text("ift2"), "1");
  EXPECT_EQ(um[1].text("ift2"), "2");
  EXPECT_EQ(um[2].text("ift2"), " ");
  const auto ift = rowsOf(t("p_ift")).at(0);
  EXPECT_EQ(ift.text("t1") + ift.text("t2") + ift.text("t3"), "13 ");
  EXPECT_EQ(tagsIn(firm_ / "p_pa.cdx"), catalogued("p_pa"));
  EXPECT_EQ(tagsIn(firm_ / "p_um.cdx"), catalogued("p_um"));
  EXPECT_EQ(recorded(), "025.01.009");

  // A firm without the optional code table is converted all the same.
  fs::remove(t("p_ift"));
  ASSERT_TRUE(run(I_25_01_009)) << error_.filename;
}

// ---------------------------------------------------------------- 017: payroll formulas

TEST_F(FirmStepsEarly, Step017RenamesSeniorityWordsWithoutCuttingAFormula) {
  prepare();
  const std::string full = std::string(143, 'X') + "MC_STAZ";  // exactly the 150 of the field
  edit(t("p_skld"), [&](tav::engine::WorkArea& a) {
    a.goTo(1);
    a.put(16, Value("MC_STAZ*2+ROK_STAZ+MC_STAZ"));
    a.put(17, Value("KWOTA*2"));
    a.put(19, Value(full));
    a.put(20, Value("IIF(MC_STAZ>12,ROK_STAZ,0)"));
  });
  edit(t("p_sklm"), [](tav::engine::WorkArea& a) {
    a.goTo(1);
    a.put(7, Value("ROK_STAZ"));
    a.put(10, Value("MC_STAZ"));
    a.put(11, Value("MC_STAZ"));
    a.put(14, Value("ROK_STAZ"));
  });
  ASSERT_TRUE(run(I_25_01_017)) << error_.filename;
  const auto sd = rowsOf(t("p_skld")).at(0);
  EXPECT_EQ(tav::rt::rTrim(sd.text("r1")), "M_STAZ(B)*2+R_STAZ(B)+M_STAZ(B)");
  EXPECT_EQ(tav::rt::rTrim(sd.text("r2")), "KWOTA*2");
  EXPECT_EQ(sd.text("r4"), full);
  EXPECT_EQ(tav::rt::rTrim(sd.text("w1")), "IIF(MSTAZB>12,RSTAZB,0)");
  const auto sm = rowsOf(t("p_sklm")).at(0);
  EXPECT_EQ(tav::rt::rTrim(sm.text("r1")), "R_STAZ(B)");
  EXPECT_EQ(tav::rt::rTrim(sm.text("r4")), "M_STAZ(B)");
  EXPECT_EQ(tav::rt::rTrim(sm.text("w1")), "MSTAZB");
  EXPECT_EQ(tav::rt::rTrim(sm.text("w4")), "RSTAZB");
  EXPECT_EQ(recorded(), "025.01.017");

  // Converted formulas hold none of the old words: a repeat writes nothing.
  const std::string skld = contents(t("p_skld")), sklm = contents(t("p_sklm"));
  ASSERT_TRUE(run(I_25_01_017, "025.01.016")) << error_.filename;
  EXPECT_EQ(contents(t("p_skld")), skld);
  EXPECT_EQ(contents(t("p_sklm")), sklm);
}

// ---------------------------------------------------------------- the steps in sequence

TEST_F(FirmStepsEarly, TheCataloguedStepsTakeAFirmFromLastYearToRelease027InOneRun) {
  prepare("024.01.050");
  for (int release : firmStepsAbove(release_)) {
    if (release > 27) break;
    tav::rt::Error e;
    ASSERT_TRUE(tav::rt::guarded(
        [&] { shippedSteps().runFirmStep(release, fd_, "C:\\tav\\", db_, release_); }, &e))
        << stepName(StepKind::Firm, release) << " " << e.description << " " << e.filename;
    EXPECT_EQ(recorded(), databaseRelease(release));
  }
  // The structures of the shipped release for every table these steps change.
  const std::pair<const char*, size_t> counts[] = {
      {"st_en", 62}, {"st_gn", 58}, {"st_dok", 21}, {"p_us", 24}, {"ks_kor", 33}};
  for (const auto& [table, n] : counts) EXPECT_EQ(structureOf(t(table)).size(), n) << table;
  EXPECT_EQ(structureOf(t("ks_kor"))[29].length, 40);
  EXPECT_EQ(fieldOf(structureOf(t("wspolnik")), "adres_nrd")->length, 10);
  for (const char* table : {"cpn", "sme_ewi", "sme_cfg", "sme_zw"})
    EXPECT_TRUE(fs::exists(t(table))) << table;
}

}  // namespace
