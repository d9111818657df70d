// DATA_AKTUALIZACJI on public\pub_dat.dbf, read back by dbfread (under Wine, where no Linux
// program runs, from the record bytes in dbfread's form). Group: UpdateStamp. The record, in
// our table and in the one mkrelease ships, takes today's date, the time and "Zainstalowano: " with
// the release, and loses its download stamps; a record that cannot take the whole stamp (no table
// or record, locked by another workstation, an older layout, a field of another type) is left as it
// was, never half stamped, and no table or record is made for it and no work area left open.
#include "convert/update_stamp.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/wide.h"
#include "runtime/error.h"
#include "support/dbf_rows.h"
#include "support/programs.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using tav::convert::DATA_AKTUALIZACJI;

namespace {

#ifndef _WIN32
std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p) ::pclose(p);
  return out;
}
#endif

const std::vector<engine::FieldSpec> kFields = {
    {"NV_D_CHECK", 'D', 8, 0}, {"NV_T_CHECK", 'C', 8, 0}, {"NV_R_CHECK", 'C', 30, 0},
    {"NV_D_DOWN0", 'D', 8, 0}, {"NV_T_DOWN0", 'C', 8, 0}, {"NV_D_DOWN1", 'D', 8, 0},
    {"NV_T_DOWN1", 'C', 8, 0}};
constexpr const char* kTable = "C:\\baza\\public\\pub_dat.dbf";

class UpdateStamp : public ::testing::Test {
 protected:
  UpdateStamp() {
    db::STARTINIT();
    fs::create_directories(map_.driveC() / "baza" / "public");
  }
  ~UpdateStamp() override { engine::workspace().closeAll(); }

  // pub_dat.dbf holding the stamps of an earlier check and two downloads, in as many of the
  // fields as the layout has.
  void make(const std::vector<engine::FieldSpec>& fields, int records = 1) {
    auto& ws = engine::workspace();
    ASSERT_TRUE(ws.create(kTable, fields) && ws.use(kTable, "przed", {}));
    const std::pair<const char*, rt::Value> earlier[] = {
        {"nv_d_check", rt::Date::fromYmd(2024, 12, 30)},
        {"nv_t_check", "08:15:00"},
        {"nv_r_check", "Pobrano"},
        {"nv_d_down0", rt::Date::fromYmd(2025, 1, 2)},
        {"nv_t_down0", "09:00:00"},
        {"nv_d_down1", rt::Date::fromYmd(2025, 1, 3)},
        {"nv_t_down1", "10:00:00"}};
    for (int i = 0; i < records; ++i) {
      ASSERT_TRUE(ws.current()->append());
      for (const auto& [field, value] : earlier)  // a field of another type stays blank
        if (ws.current()->fieldPos(field)) rt::guarded([&] { ws.current()->put(field, value); });
    }
    ws.close("przed");
  }
  // The records as an independent reader sees them, one line each.
  std::string records() {
#ifdef _WIN32
    std::string out;
    for (const auto& row :
         tav::testing::dbfreadRows(map_.driveC() / "baza" / "public" / "pub_dat.dbf").rows) {
      for (size_t i = 0; i < row.size(); ++i) out += (i ? "|" : "") + row[i].value_or("None");
      out += '\n';
    }
    return out;
#else
    return run(
        "/usr/bin/python3 -c \"import dbfread,sys\nfor r in dbfread.DBF(sys.argv[1]): "
        "print('|'.join(map(str, r.values())))\" " +
        (map_.driveC() / "baza" / "public" / "pub_dat.dbf").string());
#endif
  }
  // Today as the system's clock has it, yyyy-mm-dd.
  static std::string today() {
#ifdef _WIN32
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
#else
    return run("date +%F").substr(0, 10);
#endif
  }
  tav::testing::TempDriveMap map_;
};

TEST_F(UpdateStamp, StampsTheReleaseAndClearsTheDownloads) {
  make(kFields);
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_FALSE(engine::workspace().used("pdat"));
  const std::string out = records();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      out, m,
      std::regex(
          R"((\d{4}-\d\d-\d\d)\|\d\d:\d\d:\d\d\|Zainstalowano: 25\.01\.046\|None\|\|None\|\n)")))
      << out;
  EXPECT_EQ(m[1].str(), today());
}

TEST_F(UpdateStamp, TheGeneratorsReleaseTableTakesTheStamp) {
  const fs::path tool = tav::testing::buildProgram("mkrelease");
  ASSERT_TRUE(fs::exists(tool)) << "build the mkrelease target first: " << os::utf8(tool);
  const auto made = tav::testing::runProgram(tool, {"release", os::utf8(map_.driveC() / "rel")});
  ASSERT_EQ(made.code, 0) << made.output();
  DATA_AKTUALIZACJI("C:\\rel\\", "25.01.046");
  ASSERT_TRUE(db::S_OTWORZ("C:\\rel\\public\\", "pub_dat", "sprawdz"));
  EXPECT_EQ(engine::workspace().current()->lastRec(), 1u);
  EXPECT_EQ(engine::workspace().current()->get("nv_r_check").str(),
            "Zainstalowano: 25.01.046      ");
}

TEST_F(UpdateStamp, WhatCannotTakeTheWholeStampIsLeftAsItWas) {
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");  // no table: none is made
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "public" / "pub_dat.dbf"));

  make(kFields, 0);  // no record: none is added
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_EQ(records(), "");
  fs::remove(map_.driveC() / "baza" / "public" / "pub_dat.dbf");

  make(kFields);  // its record held by another workstation
  engine::UseOptions shared;
  shared.shared = true;
  ASSERT_TRUE(engine::workspace().use(kTable, "inny", shared) &&
              engine::workspace().current()->rlock());
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_EQ(map_.pauses(), std::vector<int>(10, 5));  // the lock's ten tries
  engine::workspace().close("inny");
  EXPECT_EQ(records(), "2024-12-30|08:15:00|Pobrano|2025-01-02|09:00:00|2025-01-03|10:00:00\n");
  fs::remove(map_.driveC() / "baza" / "public" / "pub_dat.dbf");

  // An older layout without the second download stamp gets no half stamp.
  make(std::vector<engine::FieldSpec>(kFields.begin(), kFields.end() - 2));
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_EQ(records(), "2024-12-30|08:15:00|Pobrano|2025-01-02|09:00:00\n");
  fs::remove(map_.driveC() / "baza" / "public" / "pub_dat.dbf");

  std::vector<engine::FieldSpec> wrong = kFields;  // a number where the time goes
  wrong[1] = {"NV_T_CHECK", 'N', 8, 0};
  make(wrong);
  DATA_AKTUALIZACJI("C:\\baza\\", "25.01.046");
  EXPECT_EQ(records(), "2024-12-30|None|Pobrano|2025-01-02|09:00:00|2025-01-03|10:00:00\n");
  EXPECT_TRUE(engine::workspace().aliases().empty());
}

}  // namespace
