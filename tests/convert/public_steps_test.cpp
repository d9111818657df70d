// The steps on the shared tables, run on sample databases: when each acts, that a repeat changes
// nothing, the rebuilt shared indexes, and the payment totals against sums made here from the
// records read in file order.
#include "convert/public_steps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>

#include "convert/step_registry.h"
#include "db/index_catalogue.h"
#include "db/table_access.h"
#include "engine/index/index_files.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "sample_trees.h"
#include "support/programs.h"
#include "support/recording_frontend.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::rt::Value;
using tav::testing::SampleTrees;
using tav::testing::snapshot;

// One record as read from the file: its fields by lower-case name, and its deleted mark.
struct Row {
  std::map<std::string, Value> field;
  bool deleted = false;
  std::string text(const std::string& name) const { return field.at(name).str(); }
  double number(const std::string& name) const { return field.at(name).num(); }
};

std::vector<Row> rowsOf(const fs::path& table) {
  tav::engine::Workspace ws;
  tav::engine::UseOptions o;
  o.readOnly = true;
  o.shared = true;
  std::vector<Row> out;
  if (!ws.useHost(table, "t", o)) return out;
  tav::engine::WorkArea& a = *ws.current();
  for (uint32_t r = 1; r <= a.lastRec(); ++r) {
    a.goTo(r);
    Row row;
    row.deleted = a.deleted();
    for (size_t i = 1; i <= a.fieldCount(); ++i)
      row.field[tav::rt::lower(a.fieldName(i))] = a.get(i);
    out.push_back(std::move(row));
  }
  return out;
}

size_t fieldCount(const fs::path& table) {
  tav::engine::Workspace ws;
  tav::engine::UseOptions o;
  o.readOnly = true;
  o.shared = true;
  return ws.useHost(table, "t", o) ? ws.current()->fieldCount() : 0;
}

// Changes records of a closed table in place: `edit` gets the area on each record number.
void edit(const fs::path& table, const std::function<void(tav::engine::WorkArea&)>& change) {
  tav::engine::Workspace ws;
  ASSERT_TRUE(ws.useHost(table, "t", tav::engine::UseOptions{}));
  change(*ws.current());
  ws.closeAll();
}

std::vector<std::string> tagsIn(const fs::path& cdx) {
  std::vector<std::string> out;
  auto f = tav::engine::openIndexFile(cdx, true);
  if (!f) return out;
  for (auto* t : f->tags()) out.push_back(tav::rt::lower(t->name()) + "=" + t->keyExpression());
  return out;
}

std::vector<fs::path> indexesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".cdx") out.push_back(e.path());
  return out;
}

class PublicSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    tav::rt::resetSettings();
    tav::db::STARTINIT();
  }
  void TearDown() override {
    tav::engine::workspace().closeAll();
    tav::rt::resetSettings();
  }
  // A private copy of a sample database at `release` on drive D:, its str\ refreshed as the
  // template steps before the public ones leave it.
  void prepare(const std::string& release = "025.01.001", int firms = 3) {
    SampleTrees::copy(SampleTrees::database(release, firms), base_);
    tav::testing::copyOver(SampleTrees::release() / "str" / "wpit.dbf", base_ / "str" / "wpit.dbf");
  }
  // Runs `body` with every runtime error abandoning it: true when none came.
  static bool quietly(const std::function<void()>& body) {
    tav::rt::Error e;
    if (tav::rt::guarded(body, &e)) return true;
    ADD_FAILURE() << e.summary() << " " << e.description << " " << e.filename;
    return false;
  }

  fs::path pub(const char* name) const { return base_ / "public" / name; }

  tav::testing::TempDriveMap map_;
  tav::testing::RecordingProgress progress_;
  const fs::path base_ = map_.root() / "baza";
  const std::string db_ = map_.drive('D', map_.root()) + "baza\\";
};

// ---------------------------------------------------------------- PUB_25_01_002

TEST_F(PublicSteps, Step002RebuildsAnOldFormTableOnTheTemplateKeepingEveryRecord) {
  prepare();
  ASSERT_EQ(fieldCount(pub("wpit.dbf")), 17u);
  ASSERT_EQ(fieldCount(base_ / "str" / "wpit.dbf"), 18u);
  const std::vector<Row> before = rowsOf(pub("wpit.dbf"));
  ASSERT_FALSE(before.empty());

  ASSERT_TRUE(quietly([&] { PUB_25_01_002(db_); }));
  EXPECT_EQ(fieldCount(pub("wpit.dbf")), 18u);
  const std::vector<Row> after = rowsOf(pub("wpit.dbf"));
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    for (const auto& [name, value] : before[i].field)
      EXPECT_TRUE(after[i].field.at(name).identical(value)) << "record " << i + 1 << " " << name;
    EXPECT_EQ(after[i].number("kw_ods"), 0);
  }
  EXPECT_FALSE(fs::exists(pub("awpit.dbf")));
  // The old index numbered the old file's records.
  EXPECT_FALSE(fs::exists(pub("wpit.cdx")));

  // A second run finds 18 fields and touches nothing.
  const auto done = snapshot(base_ / "public");
  ASSERT_TRUE(quietly([&] { PUB_25_01_002(db_); }));
  EXPECT_EQ(snapshot(base_ / "public"), done);

  // A run killed right after copying the new table into place left its work copy and the old
  // index: the next run takes both away and leaves the table as it is.
  fs::copy_file(pub("wpit.dbf"), pub("awpit.dbf"));
  std::ofstream(pub("wpit.cdx"), std::ios::binary) << std::string(1024, 'x');
  ASSERT_TRUE(quietly([&] { PUB_25_01_002(db_); }));
  EXPECT_EQ(snapshot(base_ / "public"), done);
}

TEST_F(PublicSteps, Step002LeavesTheFormTableWhenItCannotBeRebuiltSafely) {
  prepare();
  const auto untouched = snapshot(base_ / "public");

  // No template to rebuild on: the old table stays and no work copy is left.
  fs::remove(base_ / "str" / "wpit.dbf");
  ASSERT_TRUE(quietly([&] { PUB_25_01_002(db_); }));
  EXPECT_EQ(snapshot(base_ / "public"), untouched);

  // A work copy left by an interrupted run is never taken for the template.
  fs::copy_file(pub("wpit.dbf"), pub("awpit.dbf"));
  ASSERT_TRUE(quietly([&] { PUB_25_01_002(db_); }));
  EXPECT_EQ(snapshot(base_ / "public"), untouched);

  // A table that cannot be read is not replaced by an empty one.
  fs::copy_file(SampleTrees::release() / "str" / "wpit.dbf", base_ / "str" / "wpit.dbf");
  fs::resize_file(pub("wpit.dbf"), 20);
  const auto damaged = snapshot(base_ / "public");
  ASSERT_TRUE(quietly([&] { PUB_25_01_002(db_); }));
  EXPECT_EQ(snapshot(base_ / "public"), damaged);
}

// ---------------------------------------------------------------- PUB_25_01_013

TEST_F(PublicSteps, Step013GivesEachFirmRecordItsListNumberAndPassesOverFirmsWithoutOne) {
  prepare();
  // Distinct numbers, firm 2's record deleted, and a firm listed beyond the last record of
  // firmy.dbf.
  edit(base_ / "install.dbf", [](tav::engine::WorkArea& a) {
    for (uint32_t r = 1; r <= a.lastRec(); ++r) {
      a.goTo(r);
      a.put(std::string_view("vnr"), Value(1000 + static_cast<int>(r)));
      if (a.get(std::string_view("nr")).num() == 2) a.remove();
    }
    ASSERT_TRUE(a.append());
    a.put(std::string_view("nr"), Value(40));
    a.put(std::string_view("vnr"), Value(777));
  });
  const std::vector<Row> firms = rowsOf(base_ / "install.dbf");

  ASSERT_TRUE(quietly([&] { PUB_25_01_013(db_); }));
  const std::vector<Row> firmy = rowsOf(pub("firmy.dbf"));
  ASSERT_EQ(firmy.size(), 3u);
  // A deleted firm record gives its number to no one: firm 2 keeps the sample's 0.
  std::map<int, double> expected = {{2, 0}};
  for (const Row& f : firms)
    if (!f.deleted) expected[static_cast<int>(f.number("nr"))] = f.number("vnr");
  for (size_t k = 1; k <= firmy.size(); ++k) {
    EXPECT_EQ(firmy[k - 1].number("nr"), static_cast<double>(k));
    EXPECT_EQ(firmy[k - 1].number("vnr"), expected.at(static_cast<int>(k))) << "firm " << k;
  }
  EXPECT_NE(firmy[0].number("vnr"), 0);

  const auto done = snapshot(base_ / "public");
  ASSERT_TRUE(quietly([&] { PUB_25_01_013(db_); }));
  for (const auto& [name, state] : snapshot(base_ / "public"))
    if (name != "firmy.dbf") {
      EXPECT_EQ(state, done.at(name)) << name;
    }
  EXPECT_EQ(rowsOf(pub("firmy.dbf")).size(), 3u);
}

// ---------------------------------------------------------------- NTX_PUB: indexes

TEST_F(PublicSteps, SharedIndexesAreRebuiltFromTheListsAndPassTheChecker) {
  prepare("025.01.002");
  // Optional tables absent; an index of pit\ and a stray index in str\ go too.
  fs::remove(base_ / "str" / "wzorce.dbf");
  fs::remove(base_ / "str" / "wzorce.cdx");
  fs::remove(pub("z52_rok.dbf"));
  fs::remove(pub("z52_rok.cdx"));
  fs::create_directories(base_ / "pit");
  std::ofstream(base_ / "pit" / "pit37.cdx") << "old";
  std::ofstream(base_ / "str" / "stary.cdx") << "old";

  ASSERT_TRUE(quietly([&] { NTX_PUB(db_, {}, progress_); }));
  EXPECT_TRUE(indexesIn(base_ / "pit").empty());
  EXPECT_FALSE(fs::exists(base_ / "str" / "stary.cdx"));

  const fs::path dbftool = tav::testing::buildProgram("dbftool");
  int checked = 0;
  for (const auto& [dir, list] : {std::pair{base_ / "str", &tav::db::strIndexes()},
                                  std::pair{base_ / "public", &tav::db::publicIndexes()}}) {
    for (const tav::db::PublicIndex& t : *list) {
      const fs::path cdx = dir / (t.table + ".cdx");
      if (t.optional) {
        EXPECT_FALSE(fs::exists(cdx)) << t.table;
        continue;
      }
      std::vector<std::string> expected;
      for (const tav::db::IndexTag& tag : t.tags) expected.push_back(tag.name + "=" + tag.key);
      EXPECT_EQ(tagsIn(cdx), expected) << t.table;
      if (fs::exists(dbftool)) {
        const auto check =
            tav::testing::runProgram(dbftool, {"check", tav::os::utf8(dir / (t.table + ".dbf"))});
        EXPECT_EQ(check.code, 0) << t.table << "\n" << check.output();
        ++checked;
      }
    }
  }
  if (fs::exists(dbftool)) {
    EXPECT_EQ(checked, 41);  // 43 tables on the two lists, 2 of them optional
  }
  // The error sum stayed 0: the totals ran (the sample's duplicate form is gone).
  EXPECT_TRUE(rowsOf(pub("fpit.dbf"))[1].deleted);
}

TEST_F(PublicSteps,
       AnIndexThatCannotBeBuiltTakesEverySharedIndexWithItLeavesTheTotalsAndIsReported) {
  prepare();
  // A table of the list without a field its second tag needs: the first tag builds, then the
  // build stops with the table open on its index.
  fs::remove(pub("crm_msg.dbf"));
  {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.createHost(pub("crm_msg.dbf"), {{"LPP", 'C', 10, 0}, {"ID_O", 'C', 10, 0}}));
  }
  const auto forms = snapshot(base_ / "public");

  // Said, not passed over: the run that called it ends before the release is recorded, and the
  // next one builds the indexes and makes the totals.
  tav::rt::Error failure;
  ASSERT_FALSE(tav::rt::guarded([&] { NTX_PUB(db_, {}, progress_); }, &failure));
  EXPECT_EQ(failure.operation, "NTX_PUB");
  EXPECT_TRUE(indexesIn(base_ / "public").empty());
  EXPECT_TRUE(indexesIn(base_ / "str").empty());
  for (const char* table : {"fpit.dbf", "wpit.dbf", "pit_zap.dbf"})
    EXPECT_EQ(snapshot(base_ / "public").at(table), forms.at(table)) << table;
  // No work area is left on a table whose index was deleted.
  for (const std::string& alias : tav::engine::workspace().aliases()) EXPECT_EQ(alias, "") << alias;
}

// ---------------------------------------------------------------- NTX_PUB: payment totals

// The totals as the rules give them, from the records in file order (the deleted left out).
struct Expected {
  std::map<std::string, std::pair<double, double>> wpit, fpit;  // lpp -> payments, interest
  std::vector<Row> pz;                                          // pit_zap as it must end
  std::vector<bool> wpitDeleted, fpitDeleted;
};

Expected expectedTotals(const std::vector<Row>& wpit, const std::vector<Row>& fpit,
                        const std::vector<Row>& wf, std::vector<Row> pz) {
  Expected e;
  // Duplicates: the first of equal keys in key order stays; a stable sort keeps file order.
  auto dedupe = [](const std::vector<Row>& rows, std::vector<std::string> key) {
    std::vector<size_t> order;
    for (size_t i = 0; i < rows.size(); ++i) order.push_back(i);
    auto keyOf = [&](size_t i) {
      std::string k;
      for (const auto& f : key) k += rows[i].text(f);
      return k;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return keyOf(a) < keyOf(b); });
    std::vector<bool> deleted(rows.size());
    std::string last;
    bool any = false;
    for (size_t i : order) {
      deleted[i] = rows[i].deleted || (any && keyOf(i) == last);
      if (!rows[i].deleted) last = keyOf(i), any = true;
    }
    return deleted;
  };
  e.fpitDeleted = dedupe(fpit, {"pit", "rmc", "nrfir"});
  e.wpitDeleted = dedupe(wpit, {"pit", "lpp_o", "rmc"});
  for (size_t i = 0; i < wpit.size(); ++i) {
    if (e.wpitDeleted[i]) continue;
    auto& s = e.wpit[wpit[i].text("lpp")];
    for (const Row& p : pz)
      if (!p.deleted && p.text("lpp_w") == wpit[i].text("lpp"))
        s.first += p.number("kwota_gl") - p.number("odsetki"), s.second += p.number("odsetki");
  }
  for (size_t i = 0; i < fpit.size(); ++i) {
    if (e.fpitDeleted[i]) continue;
    auto& s = e.fpit[fpit[i].text("lpp")];
    for (Row& p : pz) {
      if (p.deleted || p.text("lpp_f") != fpit[i].text("lpp")) continue;
      s.first += p.number("kwota_gl") - p.number("odsetki"), s.second += p.number("odsetki");
      p.field["nrfir"] = fpit[i].field.at("nrfir");
    }
  }
  auto blank = [](const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; };
  for (Row& p : pz) {
    if (p.deleted) continue;
    if (!blank(p.text("lpp_w"))) {
      for (size_t i = 0; i < wpit.size(); ++i) {
        if (e.wpitDeleted[i] || wpit[i].text("lpp") != p.text("lpp_w")) continue;
        // The firm of the partner: the first wf record of the partner in lpp_o+nrfir order.
        const Row* firm = nullptr;
        for (const Row& w : wf)
          if (!w.deleted && w.text("lpp_o") == wpit[i].text("lpp_o") &&
              (!firm || w.text("nrfir") < firm->text("nrfir")))
            firm = &w;
        if (firm) {
          p.field["lpp_o"] = wpit[i].field.at("lpp_o");
          p.field["nrfir"] = firm->field.at("nrfir");
        }
        break;
      }
    } else if (!blank(p.text("lpp_f"))) {
      for (size_t i = 0; i < fpit.size(); ++i)
        if (!e.fpitDeleted[i] && fpit[i].text("lpp") == p.text("lpp_f")) {
          p.field["nrfir"] = fpit[i].field.at("nrfir");
          break;
        }
    }
  }
  e.pz = std::move(pz);
  return e;
}

TEST_F(PublicSteps, PaymentTotalsAreRecomputedDuplicatesDroppedAndFirmsCorrected) {
  prepare("025.01.002");
  // Amounts binary floating point cannot hold: the stored totals must still be to the grosz.
  edit(pub("pit_zap.dbf"), [](tav::engine::WorkArea& a) {
    const double gross[] = {10.10, 20.20, 0.30}, interest[] = {0.35, 0.00, 0.10};
    for (uint32_t r = 1; r <= 3; ++r) {
      a.goTo(r);
      a.put(std::string_view("lpp_w"), Value(tav::rt::Str(1, 10, 0)));
      a.put(std::string_view("lpp_f"), Value(std::string(10, ' ')));
      a.put(std::string_view("kwota_gl"), Value(gross[r - 1]));
      a.put(std::string_view("odsetki"), Value(interest[r - 1]));
    }
  });
  const std::vector<Row> wf = rowsOf(pub("wf.dbf")), pzBefore = rowsOf(pub("pit_zap.dbf"));
  const Expected e = expectedTotals(rowsOf(pub("wpit.dbf")), rowsOf(pub("fpit.dbf")), wf, pzBefore);

  ASSERT_TRUE(quietly([&] { NTX_PUB(db_, {}, progress_); }));
  const std::vector<Row> wpit = rowsOf(pub("wpit.dbf")), fpit = rowsOf(pub("fpit.dbf")),
                         pz = rowsOf(pub("pit_zap.dbf"));
  auto cents = [](double v) { return std::llround(v * 100); };
  for (size_t i = 0; i < wpit.size(); ++i) {
    EXPECT_EQ(wpit[i].deleted, e.wpitDeleted[i]) << "wpit " << i + 1;
    if (e.wpitDeleted[i]) continue;
    const auto& s = e.wpit.at(wpit[i].text("lpp"));
    EXPECT_EQ(cents(wpit[i].number("kw_zap")), cents(s.first)) << "wpit " << i + 1;
    EXPECT_EQ(cents(wpit[i].number("kw_ods")), cents(s.second)) << "wpit " << i + 1;
  }
  // The sample pays nothing else to form 1: 10.10 - 0.35 + 20.20 + 0.30 - 0.10, interest 0.45.
  EXPECT_EQ(cents(wpit[0].number("kw_zap")), 3015);
  EXPECT_EQ(cents(wpit[0].number("kw_ods")), 45);
  for (size_t i = 0; i < fpit.size(); ++i) {
    EXPECT_EQ(fpit[i].deleted, e.fpitDeleted[i]) << "fpit " << i + 1;
    if (e.fpitDeleted[i]) continue;
    const auto& s = e.fpit.at(fpit[i].text("lpp"));
    EXPECT_EQ(cents(fpit[i].number("kw_zap")), cents(s.first)) << "fpit " << i + 1;
    EXPECT_EQ(cents(fpit[i].number("kw_odsetek")), cents(s.second)) << "fpit " << i + 1;
  }
  ASSERT_EQ(pz.size(), e.pz.size());
  size_t corrected = 0;
  for (size_t i = 0; i < pz.size(); ++i) {
    for (const char* f : {"lpp_o", "nrfir"})
      EXPECT_EQ(pz[i].text(f), e.pz[i].text(f)) << "pit_zap " << i + 1 << " " << f;
    corrected += pz[i].text("nrfir") != pzBefore[i].text("nrfir");
  }
  EXPECT_GT(corrected, 0u);
  // The sample's one payment to no form at all is not touched by any pass.
  const Row& orphan = pz.back();
  ASSERT_TRUE(orphan.text("lpp_w").find_first_not_of(' ') == std::string::npos &&
              orphan.text("lpp_f").find_first_not_of(' ') == std::string::npos);
  for (const auto& [name, value] : pzBefore.back().field)
    EXPECT_TRUE(orphan.field.at(name).identical(value)) << name;
}

TEST_F(PublicSteps, TheTotalsDoNotKeepADuplicateBehindADeletedRecord) {
  prepare("025.01.002");
  // The first of the sample's two equal fpit forms is deleted already, and deleted records shown.
  edit(pub("fpit.dbf"), [](tav::engine::WorkArea& a) {
    a.goTo(1);
    a.remove();
  });
  tav::rt::settings().deletedHidden = false;
  ASSERT_TRUE(quietly([&] { NTX_PUB(db_, {}, progress_); }));
  EXPECT_FALSE(tav::rt::settings().deletedHidden);  // the caller's setting comes back
  const std::vector<Row> fpit = rowsOf(pub("fpit.dbf"));
  EXPECT_TRUE(fpit[0].deleted);
  EXPECT_FALSE(fpit[1].deleted);  // the live copy of the form stays
}

TEST_F(PublicSteps, AnyArgumentRestrictsTheRunToTheIndexes) {
  for (const Value& mode : {Value(1), Value(false)}) {
    prepare();
    const auto before = snapshot(base_ / "public");
    ASSERT_TRUE(quietly([&] { NTX_PUB(db_, mode, progress_); }));
    const auto after = snapshot(base_ / "public");
    for (const auto& [name, state] : after) {
      if (fs::path(name).extension() == ".cdx") continue;
      EXPECT_EQ(state, before.at(name)) << name;
    }
    EXPECT_TRUE(fs::exists(pub("fpit.cdx")));
    fs::remove_all(base_);
  }
}

// ---------------------------------------------------------------- the catalogue's calls

TEST_F(PublicSteps, TheUpgradeCallsTheStepsTheDatabaseReleaseNeeds) {
  prepare("025.01.001");
  ASSERT_TRUE(quietly([&] { runPublicSteps("025.01.001", db_, progress_); }));
  EXPECT_EQ(fieldCount(pub("wpit.dbf")), 18u);
  EXPECT_TRUE(rowsOf(pub("fpit.dbf"))[1].deleted);  // NTX_PUB without the argument: totals
  EXPECT_TRUE(fs::exists(pub("wpit.cdx")));
  fs::remove_all(base_);

  // From 025.01.045: neither step, and the indexes alone.
  prepare("025.01.045");
  edit(base_ / "install.dbf", [](tav::engine::WorkArea& a) {
    a.goTo(1);
    a.put(std::string_view("vnr"), Value(4242));
  });
  const auto before = snapshot(base_ / "public");
  ASSERT_TRUE(quietly([&] { runPublicSteps("025.01.045", db_, progress_); }));
  for (const auto& [name, state] : snapshot(base_ / "public"))
    if (fs::path(name).extension() != ".cdx") {
      EXPECT_EQ(state, before.at(name)) << name;
    }
  EXPECT_TRUE(fs::exists(pub("wpit.cdx")));
}

}  // namespace
