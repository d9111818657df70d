// One sample database converted twice from the same release, the two ways a conversion may go:
// - records copied by moving field bytes or through field values (the way copies were always
//   made): every table of every firm and of str\ comes out the same, structure, records and
//   field bytes, memos by their texts;
// - changed tables written once, straight from the old table, or through the work copies the
//   structure changes were first written with (where a step's conversion of a table's records
//   rides in that table's one copy, or follows it in place): every file below the database comes
//   out byte for byte the same, tables, memo files and indexes; a conversion failing half-way
//   fails the firm with the same error, and the next run ends the same.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "convert/firm_runner.h"
#include "convert/step_registry.h"
#include "db/run_variables.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "engine/engine_test_util.h"
#include "engine/workarea.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "sample_trees.h"
#include "support/dbf_rows.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using tav::testing::SampleTrees;

// A table as it reads: its fields, then every record (deleted ones included) as its bytes with
// each memo pointer replaced by the memo's text.
std::vector<std::string> tableContents(const fs::path& table) {
  tav::engine::Workspace ws;
  tav::engine::UseOptions o;
  o.readOnly = o.shared = true;
  if (!ws.useHost(table, "t", o)) return {"cannot be opened"};
  tav::engine::WorkArea& a = *ws.current();
  std::string fields;
  for (const auto& f : a.structure())
    fields +=
        f.name + " " + f.type + std::to_string(f.length) + "." + std::to_string(f.decimals) + ";";
  std::vector<std::string> out{fields};
  for (std::string& r : tav::testing::recordsWithMemoTexts(a)) out.push_back(std::move(r));
  return out;
}

std::map<std::string, std::vector<std::string>> tablesBelow(const fs::path& root) {
  std::map<std::string, std::vector<std::string>> out;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path().extension() == ".dbf")
      out[fs::relative(e.path(), root).string()] = tableContents(e.path());
  return out;
}

class ConversionPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    tav::rt::resetSettings();
    tav::db::STARTINIT();
    tav::rt::shared().wersja_b = "025.01.046";
  }
  void TearDown() override {
    tav::engine::setFieldBytesMoved(true);
    tav::engine::workspace().closeAll();
    tav::rt::resetShared();
    tav::rt::resetSettings();
  }

  // Copies the sample database to `where`, runs the template steps and converts every firm of
  // install.dbf as the upgrade does. Returns the firms whose conversion raised, and in `errors`
  // each one's error as "description @ file", the file below `where`. `again` converts the
  // database already there, as the next run does.
  std::vector<int> convert(const fs::path& where, std::vector<std::string>* errors = nullptr,
                           bool again = false) {
    if (!again) SampleTrees::copy(SampleTrees::database("025.01.001", 8), where / "baza");
    const std::string base = tav::testing::TempDriveMap::drive('D', where) + "baza\\";
    fs::current_path(SampleTrees::release());  // the template steps read .\str\ of the release
    tav::convert::runTemplateSteps("025.01.001", {"C:\\tav\\", base});
    tav::db::RunVariables variables;
    std::vector<int> firms, failed;
    EXPECT_TRUE(tav::db::OTWORZ(base, "install", "ins"));
    auto& ins = *tav::engine::workspace().current();
    for (ins.goTop(); !ins.eof(); ins.skip(1))
      firms.push_back(static_cast<int>(ins.get(std::string_view("nr")).num()));
    tav::db::ZAMKNIJ("ins");
    tav::rt::AbandonGuard guard;
    for (int nr : firms) {
      variables.num_fir = tav::rt::Value(nr);
      const std::string firm = base + "firma" + tav::rt::lTrim(tav::rt::Str(nr, 4, 0)) + "\\";
      tav::rt::Error caught;
      if (!tav::rt::sequence(
              [&] { tav::convert::MAKE_WINFIR(firm, "C:\\tav\\", base, "025.01.001"); }, &caught)) {
        failed.push_back(nr);
        if (errors)
          errors->push_back(caught.description + " @ " +
                            fs::relative(tav::os::toHost(tav::os::fullPath(caught.filename)), where)
                                .generic_string());
      }
      tav::db::CLOSEALL();
    }
    tav::engine::workspace().closeAll();
    return failed;
  }

  tav::testing::TempDriveMap map_;
};

TEST_F(ConversionPaths, MovingFieldBytesConvertsEveryTableAsTheValuesDo) {
  tav::engine::setFieldBytesMoved(false);
  const std::vector<int> failedByValues = convert(map_.root() / "values");
  tav::engine::setFieldBytesMoved(true);
  const std::vector<int> failedByBytes = convert(map_.root() / "bytes");
  EXPECT_EQ(failedByBytes, failedByValues);

  const auto byValues = tablesBelow(map_.root() / "values" / "baza");
  const auto byBytes = tablesBelow(map_.root() / "bytes" / "baza");
  ASSERT_GT(byValues.size(), 400u);
  std::vector<std::string> names[2];
  for (const auto& [name, rows] : byValues) names[0].push_back(name);
  for (const auto& [name, rows] : byBytes) names[1].push_back(name);
  ASSERT_EQ(names[1], names[0]);
  size_t records = 0, differing = 0;
  for (const auto& [name, rows] : byValues) {
    records += rows.size() - 1;
    const auto& other = byBytes.at(name);
    if (other == rows) continue;
    if (++differing > 5) continue;
    ADD_FAILURE() << name << " differs";
    for (size_t i = 0; i < rows.size() && i < other.size(); ++i)
      if (rows[i] != other[i]) {
        ADD_FAILURE() << name << " row " << i << ":\n values: " << rows[i]
                      << "\n bytes:  " << other[i];
        break;
      }
  }
  EXPECT_EQ(differing, 0u);
  EXPECT_GT(records, 3000u);
  // The conversion did its work: the firms are at the shipped release.
  EXPECT_EQ(tableContents(map_.root() / "bytes" / "baza" / "firma1" / "wersja.dbf"),
            tableContents(map_.root() / "values" / "baza" / "firma1" / "wersja.dbf"));
}

// Every file below `root`, by its path in lower case: its bytes, a table's date of last change
// (both runs are of one day) aside.
std::map<std::string, std::string> filesBelow(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::string bytes = tav::test::readFile(e.path());
    if (e.path().extension() == ".dbf" && bytes.size() > 4) bytes.replace(1, 3, "DDD");
    out[tav::rt::lower(fs::relative(e.path(), root).string())] = std::move(bytes);
  }
  return out;
}

TEST_F(ConversionPaths, ChangedTablesWrittenOnceAreByteForByteThoseOfTheWorkCopies) {
  std::vector<int> failedThroughCopies;
  {
    tav::db::WorkCopiesThroughout literal;
    failedThroughCopies = convert(map_.root() / "copies");
  }
  const std::vector<int> failedDirect = convert(map_.root() / "direct");
  EXPECT_EQ(failedDirect, failedThroughCopies);

  const auto copies = filesBelow(map_.root() / "copies" / "baza");
  const auto direct = filesBelow(map_.root() / "direct" / "baza");
  std::vector<std::string> names[2];
  for (const auto& [name, bytes] : copies) names[0].push_back(name);
  for (const auto& [name, bytes] : direct) names[1].push_back(name);
  ASSERT_EQ(names[1], names[0]);
  size_t differing = 0, tables = 0, memos = 0, indexes = 0;
  for (const auto& [name, bytes] : copies) {
    const std::string ext = fs::path(name).extension().string();
    tables += ext == ".dbf";
    memos += ext == ".fpt";
    indexes += ext == ".cdx";
    const std::string& other = direct.at(name);
    if (other == bytes) continue;
    size_t at = 0;
    while (at < bytes.size() && at < other.size() && bytes[at] == other[at]) ++at;
    if (++differing <= 5)
      ADD_FAILURE() << name << " differs from byte " << at << " (" << bytes.size() << " and "
                    << other.size() << " bytes): "
                    << ::testing::PrintToString(bytes.substr(at > 8 ? at - 8 : 0, 24)) << " / "
                    << ::testing::PrintToString(other.substr(at > 8 ? at - 8 : 0, 24));
  }
  EXPECT_EQ(differing, 0u);
  EXPECT_GT(tables, 400u);
  EXPECT_GT(memos, 10u);
  EXPECT_GT(indexes, 300u);
}

// A conversion of records that fails half-way through its table (an invoice whose payment term
// lies centuries after its VAT date: the days do not fit their field) fails the firm with the same
// error both ways, naming the table itself, and leaves the firm's release at the step before;
// written once, the table is the old one, untouched, with nothing beside it. The next run, once
// the invoice is mended, ends byte for byte the same both ways.
TEST_F(ConversionPaths,
       AFailedConversionInTheOneCopyFailsAsTheWorkCopiesDoAndTheNextRunEndsTheSame) {
  const fs::path ways[2] = {map_.root() / "copies", map_.root() / "direct"};
  const fs::path firm = fs::path("baza") / "firma1";
  // Sets the second invoice's payment term, giving back the one it had.
  auto setTerm = [](const fs::path& table, const tav::rt::Value& term) {
    tav::engine::Workspace ws;
    tav::rt::Value was;
    EXPECT_TRUE(ws.useHost(table, "fw", {}));
    if (!ws.current()) return was;
    tav::engine::WorkArea& fw = *ws.current();
    fw.goTo(2);
    was = fw.get(std::string_view("termin"));
    fw.put(std::string_view("termin"), term);
    return was;
  };
  std::vector<int> failed[2];
  std::vector<std::string> errors[2];
  std::string untouched;
  tav::rt::Value term;
  for (int way = 0; way < 2; ++way) {
    SampleTrees::copy(SampleTrees::database("025.01.001", 8), ways[way] / "baza");
    term =
        setTerm(ways[way] / firm / "ks_fw.dbf", tav::rt::Value(tav::rt::Date::fromYmd(2400, 1, 1)));
    ASSERT_FALSE(term.isNil());
    if (way == 1) untouched = tav::test::readFile(ways[way] / firm / "ks_fw.dbf");
    std::optional<tav::db::WorkCopiesThroughout> literal;
    if (way == 0) literal.emplace();
    failed[way] = convert(ways[way], &errors[way], true);
  }
  EXPECT_EQ(failed[1], failed[0]);
  EXPECT_EQ(errors[1], errors[0]);
  ASSERT_FALSE(failed[1].empty());
  ASSERT_EQ(failed[1][0], 1);
  EXPECT_NE(errors[1][0].find("does not fit"), std::string::npos) << errors[1][0];
  EXPECT_TRUE(errors[1][0].ends_with(" @ baza/firma1/ks_fw.dbf")) << errors[1][0];
  const auto release = tableContents(ways[1] / firm / "wersja.dbf");
  EXPECT_EQ(release, tableContents(ways[0] / firm / "wersja.dbf"));
  ASSERT_EQ(release.size(), 2u);
  EXPECT_NE(release[1].find("025.01.044"), std::string::npos) << release[1];
  EXPECT_EQ(tav::test::readFile(ways[1] / firm / "ks_fw.dbf"), untouched);
  for (const auto& e : fs::directory_iterator(ways[1] / firm))
    EXPECT_NE(e.path().filename().string()[0], '~') << e.path();

  for (int way = 0; way < 2; ++way) {
    setTerm(ways[way] / firm / "ks_fw.dbf", term);
    std::optional<tav::db::WorkCopiesThroughout> literal;
    if (way == 0) literal.emplace();
    EXPECT_EQ(convert(ways[way], nullptr, true),
              std::vector<int>(failed[way].begin() + 1, failed[way].end()));
  }
  const auto copies = filesBelow(ways[0] / "baza"), direct = filesBelow(ways[1] / "baza");
  ASSERT_EQ(direct.size(), copies.size());
  size_t differing = 0;
  for (const auto& [name, bytes] : copies) {
    const auto other = direct.find(name);
    if (other == direct.end() || other->second != bytes)
      if (++differing <= 5) ADD_FAILURE() << name << " differs";
  }
  EXPECT_EQ(differing, 0u);
  EXPECT_NE(tableContents(ways[1] / firm / "wersja.dbf").at(1).find("025.01.046"),
            std::string::npos);
}

}  // namespace
