// One sample database converted twice from the same release, the two ways a conversion may go:
// - records copied by moving field bytes or through field values (the way copies were always
//   made): every table of every firm and of str\ comes out the same, structure, records and
//   field bytes, memos by their texts;
// - changed tables written once, straight from the old table, or through the work copies the
//   structure changes were first written with: every file below the database comes out byte for
//   byte the same, tables, memo files and indexes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
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
  std::vector<std::string> out;
  const bool hidden = tav::rt::settings().deletedHidden;
  tav::rt::settings().deletedHidden = false;
  if (ws.useHost(table, "t", o)) {
    tav::engine::WorkArea& a = *ws.current();
    std::string fields;
    for (const auto& f : a.structure())
      fields +=
          f.name + " " + f.type + std::to_string(f.length) + "." + std::to_string(f.decimals) + ";";
    out.push_back(fields);
    for (uint32_t r = 1; r <= a.lastRec(); ++r) {
      a.goTo(r);
      std::string rec(1, a.buffer()[0]);
      for (size_t i = 1; i <= a.fieldCount(); ++i) {
        const auto& f = a.field(i);
        rec += '|';
        rec += f.type == 'M' ? a.get(i).str() : std::string(a.buffer() + f.offset, f.length);
      }
      out.push_back(rec);
    }
  } else {
    out.push_back("cannot be opened");
  }
  tav::rt::settings().deletedHidden = hidden;
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
  // install.dbf as the upgrade does. Returns the firms whose conversion raised.
  std::vector<int> convert(const fs::path& where) {
    SampleTrees::copy(SampleTrees::database("025.01.001", 8), where / "baza");
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
      if (!tav::rt::sequence(
              [&] { tav::convert::MAKE_WINFIR(firm, "C:\\tav\\", base, "025.01.001"); }))
        failed.push_back(nr);
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

}  // namespace
