#include "upgrade/update_stamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "db/table_access.h"
#include "engine/workspace.h"
#include "runtime/date.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using tav::testing::TempDriveMap;
using tav::upgrade::DATA_AKTUALIZACJI;

namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

const std::vector<engine::FieldSpec> kFields = {
    {"NV_D_CHECK", 'D', 8, 0}, {"NV_T_CHECK", 'C', 8, 0}, {"NV_R_CHECK", 'C', 30, 0}, {"NV_D_DOWN0", 'D', 8, 0},
    {"NV_T_DOWN0", 'C', 8, 0}, {"NV_D_DOWN1", 'D', 8, 0}, {"NV_T_DOWN1", 'C', 8, 0}};

class UpdateStamp : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    db::STARTINIT();
    fs::create_directories(map_.driveC() / "baza" / "public");
  }
  void TearDown() override { engine::workspace().closeAll(); }

  // pub_dat.dbf with the stamps of an earlier check and two downloads, `records` times.
  void make(std::vector<engine::FieldSpec> fields = kFields, int records = 1) {
    auto& ws = engine::workspace();
    ASSERT_TRUE(ws.create(kTable, fields));
    ASSERT_TRUE(ws.use(kTable, "przed", {}));
    engine::WorkArea* a = ws.current();
    for (int i = 0; i < records; ++i) {
      ASSERT_TRUE(a->append());
      a->put("nv_d_check", rt::Value(rt::Date::fromYmd(2024, 12, 30)));
      a->put("nv_t_check", rt::Value("08:15:00"));
      a->put("nv_r_check", rt::Value("Pobrano: 25.01.040"));
      a->put("nv_d_down0", rt::Value(rt::Date::fromYmd(2025, 1, 2)));
      a->put("nv_t_down0", rt::Value("09:00:00"));
      if (a->fieldPos("nv_d_down1")) a->put("nv_d_down1", rt::Value(rt::Date::fromYmd(2025, 1, 3)));
      if (a->fieldPos("nv_t_down1")) a->put("nv_t_down1", rt::Value("10:00:00"));
    }
    ws.close("przed");
  }
  // The records as an independent reader sees them, one line each.
  std::string records() {
    return run("/usr/bin/python3 -c \"import dbfread,sys\n"
               "for r in dbfread.DBF(sys.argv[1], char_decode_errors='replace'):\n"
               "  print('|'.join(str(v) for v in r.values()))\" " +
               (map_.driveC() / "baza" / "public" / "pub_dat.dbf").string());
  }
  static constexpr const char* kTable = "C:\\baza\\public\\pub_dat.dbf";
  static constexpr const char* kEarlier = "2024-12-30|08:15:00|Pobrano: 25.01.040|2025-01-02|09:00:00|2025-01-03|10:00:00\n";
  TempDriveMap map_;
};

TEST_F(UpdateStamp, StampsTheReleaseAndClearsTheDownloads) {
  make();
  const rt::Date before = rt::Date::today();
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  const rt::Date after = rt::Date::today();
  EXPECT_FALSE(engine::workspace().used("pdat"));

  const std::string out = records();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, std::regex(R"((\d{4})-(\d\d)-(\d\d)\|(\d\d:\d\d:\d\d)\|Zainstalowano: 25\.01\.046\|None\|\|None\|\n)")))
      << out;
  const rt::Date stamped = rt::Date::fromYmd(std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]));
  EXPECT_TRUE(stamped == before || stamped == after);
}

TEST_F(UpdateStamp, TheReleaseTableOfTheGeneratorIsStamped) {
  const fs::path tool = fs::path(TAV_BINARY_DIR) / "tools" / "mkrelease" / "mkrelease";
  ASSERT_TRUE(fs::exists(tool)) << "build the mkrelease target first: " << tool;
  const fs::path rel = map_.driveC() / "rel";
  run(tool.string() + " release " + rel.string());
  ASSERT_TRUE(fs::exists(rel / "public" / "pub_dat.dbf"));
  DATA_AKTUALIZACJI("C:\\rel\\", "25.01.046");
  ASSERT_TRUE(db::S_OTWORZ("C:\\rel\\public\\", "pub_dat", "sprawdz"));
  engine::WorkArea* a = engine::workspace().current();
  EXPECT_EQ(a->lastRec(), 1u);
  EXPECT_EQ(a->get("nv_r_check").str(), rt::padRight("Zainstalowano: 25.01.046", 30));
  EXPECT_FALSE(a->get("nv_d_check").date().empty());
  EXPECT_TRUE(a->get("nv_d_down0").date().empty());
  db::ZAMKNIJ("sprawdz");
}

TEST_F(UpdateStamp, MissingTableIsLeftMissing) {
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  DATA_AKTUALIZACJI("C:\\brak\\", "25.01.046");
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "public" / "pub_dat.dbf"));
  EXPECT_FALSE(fs::exists(map_.driveC() / "brak"));
  EXPECT_TRUE(engine::workspace().aliases().empty());
}

TEST_F(UpdateStamp, RecordHeldByAnotherUserIsLeftAsItWas) {
  make();
  auto& ws = engine::workspace();
  engine::UseOptions shared;
  shared.shared = true;
  ASSERT_TRUE(ws.use(kTable, "inny", shared));
  ASSERT_TRUE(ws.current()->rlock());
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_FALSE(ws.used("pdat"));
  EXPECT_EQ(map_.pauses(), std::vector<int>(10, 5));  // the lock's ten tries
  ws.close("inny");
  EXPECT_EQ(records(), kEarlier);
}

TEST_F(UpdateStamp, ATableThatCannotTakeTheWholeStampKeepsItsRecord) {
  // An older layout without the second download stamp: half a stamp is never written.
  std::vector<engine::FieldSpec> older(kFields.begin(), kFields.end() - 2);
  make(older);
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_FALSE(engine::workspace().used("pdat"));
  EXPECT_EQ(records(), "2024-12-30|08:15:00|Pobrano: 25.01.040|2025-01-02|09:00:00\n");

  // A date field where text is expected fails the same way.
  fs::remove(map_.driveC() / "baza" / "public" / "pub_dat.dbf");
  std::vector<engine::FieldSpec> wrong = kFields;
  wrong[1] = {"NV_T_CHECK", 'N', 8, 0};
  auto& ws = engine::workspace();
  ASSERT_TRUE(ws.create(kTable, wrong));
  ASSERT_TRUE(ws.use(kTable, "przed", {}));
  ASSERT_TRUE(ws.current()->append());
  ws.current()->put("nv_r_check", rt::Value("Pobrano"));
  ws.close("przed");
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_EQ(records(), "None|None|Pobrano|None||None|\n");  // blank, as it was made
}

TEST_F(UpdateStamp, AnEmptyTableGetsNoRecord) {
  make(kFields, 0);
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_EQ(records(), "");
  EXPECT_FALSE(engine::workspace().used("pdat"));
}

}  // namespace
