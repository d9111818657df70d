// How long an upgrade will take, told before it starts (POKAZ_CZAS) from what this workstation
// recorded (ZAPISZ_PREDKOSC) in str\nazwy.dbf. Groups: DurationText (never "1 min. 60 sek.") and
// DurationEstimate (the highest class of the releases ahead of the database; nothing to show, a
// busy or missing database going on unasked; one record per workstation whatever its name; a
// duration the record cannot take lost, the table never changed for it). nazwy.dbf is read back
// by dbfread (under Wine, where no Linux program starts, from its bytes in dbfread's form).
#include "upgrade/duration_estimate.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "convert/speed_class.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "support/dbf_rows.h"
#include "support/programs.h"
#include "support/recording_frontend.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::rt::literals;
using namespace tav::upgrade;

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

TEST(DurationText, DaysHoursMinutesSecondsThatAreThere) {
  EXPECT_EQ(durationText(3725), "1 godz. 2 min. 5 sek. ");
  EXPECT_EQ(durationText(86400), "1 dni ");
  EXPECT_EQ(durationText(90061), "1 dni 1 godz. 1 min. 1 sek. ");
  EXPECT_EQ(durationText(3599.99999999), "1 godz. ");  // a hair below the hour is the hour
  EXPECT_EQ(durationText(119.7), "2 min. ");           // never "1 min. 60 sek."
  EXPECT_EQ(durationText(3659.6), "1 godz. 1 min. ");
}

class DurationEstimate : public ::testing::Test {
 protected:
  DurationEstimate() {
    db::STARTINIT();
    rt::resetShared();
    convert::setSpeedClass(1);
    rt::shared().nazwa_sieciowa = "Kasa 1";  // NERKA(): "KASA_1"
    fs::create_directories(map_.driveC() / "baza" / "str");
    fs::create_directories(map_.driveC() / "rel" / "str");
    fs::current_path(map_.driveC() / "rel");
  }
  ~DurationEstimate() override {
    engine::workspace().closeAll();
    convert::setSpeedClass(1);
  }
  // nazwy.dbf: name, data, czas, then s1..s<width count> N width, records of name and s1, s2...
  static void stations(const std::vector<std::pair<std::string, std::vector<double>>>& rows,
                       int width = 10) {
    std::vector<engine::FieldSpec> fields = {
        {"NAZWA", 'C', 20, 0}, {"DATA", 'D', 8, 0}, {"CZAS", 'C', 8, 0}};
    for (int k = 1; k <= 9; ++k)
      fields.push_back({"S" + std::to_string(k), 'N', static_cast<uint16_t>(width), 0});
    write("C:\\baza\\str\\nazwy.dbf", fields, [&](engine::WorkArea& a) {
      for (const auto& [name, seconds] : rows) {
        ASSERT_TRUE(a.append());
        a.put("nazwa", rt::Value(name));
        for (size_t k = 0; k < seconds.size(); ++k) a.put(4 + k, rt::Value(seconds[k]));
      }
    });
  }
  static void shippedClasses(const std::vector<std::pair<std::string, int>>& rows) {
    write(".\\str\\speed.dbf", {{"WERSJA", 'C', 9, 0}, {"SPEED", 'N', 2, 0}},
          [&](engine::WorkArea& a) {
            for (const auto& [release, speed] : rows) {
              ASSERT_TRUE(a.append());
              a.put("wersja", rt::Value(release));
              a.put("speed", rt::Value(speed));
            }
          });
  }
  static void write(const std::string& path, const std::vector<engine::FieldSpec>& fields,
                    const std::function<void(engine::WorkArea&)>& fill) {
    auto& ws = engine::workspace();
    ASSERT_TRUE(ws.create(path, fields) && ws.use(path, "zapis", {}));
    fill(*ws.current());
    ws.close("zapis");
  }
  // nazwy.dbf as an independent reader sees it: name and s1..s9 per record, "-" for a blank.
  std::string stored(const std::string& db = "baza") {
#ifdef _WIN32
    std::string out;
    for (const auto& v : tav::testing::dbfreadRows(map_.driveC() / db / "str" / "nazwy.dbf").rows) {
      out += v[0].value_or("None");
      for (size_t i = 3; i < v.size(); ++i) out += "|" + v[i].value_or("-");
      out += '\n';
    }
    return out;
#else
    return run(
        "/usr/bin/python3 -c \"import dbfread,sys\nfor r in dbfread.DBF(sys.argv[1]):\n"
        "  v=list(r.values()); print('|'.join([v[0]]+['-' if x is None else str(x) for x in "
        "v[3:]]))\" " +
        (map_.driveC() / db / "str" / "nazwy.dbf").string());
#endif
  }
  // Answers the next confirmation, after checking what its box says: yes for "Potwierdź", no
  // for anything else.
  void answer(const std::string& title, const std::string& duration, const std::string& button) {
    person.answer = [=](const frontend::Question& q) {
      EXPECT_EQ(q.kind, frontend::Question::Kind::ConfirmUpgrade);
      EXPECT_EQ(rt::oemToUtf8(q.box.title), title);
      EXPECT_EQ(q.box.text, "Instalacja potrwa w przybliżeniu;"_oem + duration);
      EXPECT_EQ(q.box.buttons, (std::vector<std::string>{"Potwierdź"_oem, "Zrezygnuj"_oem}));
      return frontend::Answer{button == "Potwierdź"_oem, {}};
    };
  }
  // True when the estimate went on with nothing to show a person (an empty box).
  bool goesOnUnasked(const std::string& db, const std::string& release) {
    person.asked.clear();
    person.answer = [](const frontend::Question&) { return frontend::Answer{true, {}}; };
    return POKAZ_CZAS(db, release, person) && person.asked.size() == 1 &&
           person.asked[0].box.empty();
  }

  tav::testing::TempDriveMap map_;
  tav::testing::RecordingQuestions person;
};

TEST_F(DurationEstimate, FirstUpgradeOnAWorkstationAddsItsRecordAndAsksNothing) {
  shippedClasses({{"25.01.010", 2}});
  stations({{"STANOWISKO1", {500, 600}}});
  EXPECT_TRUE(goesOnUnasked("C:\\baza\\", "25.01.001"));
  EXPECT_TRUE(goesOnUnasked("C:\\baza\\", "25.01.001"));  // found again, not added twice
  EXPECT_EQ(stored(), "STANOWISKO1|500|600|-|-|-|-|-|-|-\nKASA_1|-|-|-|-|-|-|-|-|-\n");
  EXPECT_TRUE(engine::workspace().aliases().empty());
}

TEST_F(DurationEstimate, ShowsTheDurationOfTheNewerReleasesHighestClass) {
  // 25.01.005 is behind the database; 010 (class 3) and 020 (class 2) are ahead of it.
  shippedClasses({{"25.01.005", 4}, {"25.01.010", 3}, {"25.01.020", 2}});
  stations({{"STANOWISKO1", {9, 9, 9}}, {"  KASA_1 ", {10, 20, 3725, 40}}});
  answer("Czas instalacji (wskaźnik=3)", "1 godz. 2 min. 5 sek. "_oem, "Potwierdź"_oem);
  EXPECT_TRUE(POKAZ_CZAS("C:\\baza\\", "25.01.008", person));
  answer("Czas instalacji (wskaźnik=4)", "40 sek. "_oem, "Zrezygnuj"_oem);
  EXPECT_FALSE(POKAZ_CZAS("C:\\baza\\", "24.01.078", person));
  answer("Czas instalacji (wskaźnik=1)", "10 sek. "_oem, "");  // nothing newer: class 1
  EXPECT_FALSE(POKAZ_CZAS("C:\\baza\\", "25.01.020", person));
  EXPECT_TRUE(engine::workspace().aliases().empty());
}

TEST_F(DurationEstimate, NothingToShowGoesOnWithoutAsking) {
  stations({{"KASA_1", {3725}}});
  EXPECT_TRUE(goesOnUnasked("C:\\baza\\", "25.01.001"));  // no speed.dbf shipped
  EXPECT_EQ(stored(), "KASA_1|3725|-|-|-|-|-|-|-|-\n");
  for (int speed : {2, 12}) {  // a class never measured, a class the table has no field for
    shippedClasses({{"25.01.010", speed}});
    EXPECT_TRUE(goesOnUnasked("C:\\baza\\", "25.01.001")) << speed;
  }
  // The database held by an upgrade running elsewhere, though class 1 has a duration to show.
  shippedClasses({{"25.01.010", 1}});
  ASSERT_TRUE(engine::workspace().use("C:\\baza\\str\\nazwy.dbf", "sem", engine::UseOptions{}));
  EXPECT_TRUE(goesOnUnasked("C:\\baza\\", "25.01.001"));
  EXPECT_EQ(engine::workspace().aliases(), std::vector<std::string>{"SEM"});
  engine::workspace().closeAll();
  EXPECT_TRUE(goesOnUnasked("Q:\\brak\\", "25.01.001"));  // no database there
}

TEST_F(DurationEstimate, ALongWorkstationNameKeepsOneRecord) {
  rt::shared().nazwa_sieciowa = "Stanowisko księgowości główne"_oem;  // wider than nazwa
  shippedClasses({{"25.01.010", 1}});
  stations({});
  EXPECT_TRUE(goesOnUnasked("C:\\baza\\", "25.01.001"));
  ZAPISZ_PREDKOSC(125, "C:\\baza\\");
  answer("Czas instalacji (wskaźnik=1)", "2 min. 5 sek. "_oem, "Potwierdź"_oem);
  EXPECT_TRUE(POKAZ_CZAS("C:\\baza\\", "25.01.001", person));
  EXPECT_EQ(stored(), "STANOWISKO_KSIEGOWOS|125|-|-|-|-|-|-|-|-\n");
}

TEST_F(DurationEstimate, RecordsUnderTheRunsClassWhatTheRecordCanTake) {
  stations({{"STANOWISKO1", {1, 2, 3, 4, 5, 6, 7, 8, 9}}});
  ZAPISZ_PREDKOSC(3725.4, "C:\\baza\\");  // a workstation without a record gets one
  convert::setSpeedClass(convert::kFullReindexSpeedClass);
  ZAPISZ_PREDKOSC(7200, "C:\\baza\\");
  convert::setSpeedClass(2);
  ZAPISZ_PREDKOSC(1200 - 86400, "C:\\baza\\");  // 23:50 to 00:10 in seconds since midnight
  convert::setSpeedClass(12);                   // no field for it
  ZAPISZ_PREDKOSC(99, "C:\\baza\\");
  EXPECT_EQ(stored(), "STANOWISKO1|1|2|3|4|5|6|7|8|9\nKASA_1|3725|1200|-|-|7200|-|-|-|-\n");

  engine::UseOptions shared;
  shared.shared = true;
  ASSERT_TRUE(engine::workspace().use("C:\\baza\\str\\nazwy.dbf", "inny", shared) &&
              engine::workspace().current()->rlock(2));
  convert::setSpeedClass(1);
  ZAPISZ_PREDKOSC(61, "C:\\baza\\");
  EXPECT_EQ(map_.pauses(), std::vector<int>(10, 5));  // the lock's ten tries, then nothing
  engine::workspace().closeAll();
  EXPECT_EQ(stored(), "STANOWISKO1|1|2|3|4|5|6|7|8|9\nKASA_1|3725|1200|-|-|7200|-|-|-|-\n");

  stations({{"KASA_1", {10}}}, 3);  // an old narrow layout: a duration that does not fit is lost
  ZAPISZ_PREDKOSC(3725, "C:\\baza\\");
  EXPECT_EQ(stored(), "KASA_1|10|-|-|-|-|-|-|-|-\n");
  fs::remove_all(map_.driveC() / "baza" / "str");
  ZAPISZ_PREDKOSC(61, "C:\\baza\\");  // no nazwy.dbf: none is made
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "str"));
  EXPECT_TRUE(engine::workspace().aliases().empty());
}

TEST_F(DurationEstimate, OnTheGeneratedReleaseAndDatabase) {
  const fs::path tool = tav::testing::buildProgram("mkrelease");
  ASSERT_TRUE(fs::exists(tool)) << "build the mkrelease target first: " << os::utf8(tool);
  auto made = tav::testing::runProgram(tool, {"release", os::utf8(map_.driveC() / "wydanie")});
  ASSERT_EQ(made.code, 0) << made.output();
  made = tav::testing::runProgram(tool, {"database", os::utf8(map_.driveC() / "db"), "--release",
                                         "025.01.001", "--firms", "1", "--records", "2"});
  ASSERT_EQ(made.code, 0) << made.output();
  fs::current_path(map_.driveC() / "wydanie");
  EXPECT_TRUE(goesOnUnasked("C:\\db\\", "25.01.001"));
  // A full reindex put a run in class 5; an upgrade from 25.01.001 is of class 4 (25.01.045)
  // and finds nothing until a class 4 run is recorded.
  convert::setSpeedClass(convert::kFullReindexSpeedClass);
  ZAPISZ_PREDKOSC(5400, "C:\\db\\");
  EXPECT_TRUE(goesOnUnasked("C:\\db\\", "25.01.001"));
  convert::setSpeedClass(4);
  ZAPISZ_PREDKOSC(5400, "C:\\db\\");
  answer("Czas instalacji (wskaźnik=4)", "1 godz. 30 min. "_oem, "Potwierdź"_oem);
  EXPECT_TRUE(POKAZ_CZAS("C:\\db\\", "25.01.001", person));
  EXPECT_EQ(stored("db"), "STANOWISKO1|0|0|0|0|0|0|0|0|0\nKASA_1|-|-|-|5400|5400|-|-|-|-\n");
}

}  // namespace
