// What an upgrade leaves for people to read: public\ins_raport.txt and .\error.log. Group:
// InstallReport. Failed firms come in the ANSI page, only the first with its error in full, and the
// firms changed follow in 852 as their names are stored; without failures only changed firms are
// reported, with nothing to report no file is written, and a report not written says so.
#include "upgrade/install_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "db/table_access.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::upgrade;
using namespace tav::rt::literals;

namespace {

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
std::string ansi(const char* utf8) { return rt::utf8ToAnsi(utf8); }

// Opening one of the firm's tables failed, with the arguments ("x", 5).
rt::Error openError() {
  rt::Error e;
  e.genCode = rt::kErrOpen;
  e.osCode = 32;
  e.subCode = 1001;
  e.subSystem = "DBFCDX";
  e.description = "Błąd otwarcia pliku"_oem;
  e.filename = "C:\\baza\\firma3\\ks_dok.dbf";
  e.operation = "DBUSEAREA";
  e.args = {rt::Value("x"), rt::Value(5)};
  e.canDefault = true;
  return e;
}

rt::Value list(std::vector<std::string> texts) {
  return rt::Value(rt::Array(texts.begin(), texts.end()));
}

const std::string kChanged =
    "Lista firm w ktorych dokonano istotnych zmian:\r\n" + std::string(46, '-') + "\r\n";

class InstallReport : public ::testing::Test {
 protected:
  InstallReport() {
    rt::resetShared();
    rt::shared().wersja_p = "25.01.023";
    db::STARTINIT();
    fs::create_directories(map_.driveC() / "baza" / "public");
    fs::create_directories(map_.driveC() / "rel");
    fs::current_path(map_.driveC() / "rel");
  }
  fs::path report() const { return map_.driveC() / "baza" / "public" / "ins_raport.txt"; }
  tav::testing::TempDriveMap map_;
};

TEST_F(InstallReport, FailuresInAnsiWithTheFirstErrorDescribedThenChangedFirmsIn852) {
  FirmFailures failures;
  rt::Error error = openError(), later = openError();
  failures.add(3, &error);
  failures.add(7, &later);  // only the first failure carries its error
  const std::string changed = "Kowalski Usługi (nr 2)"_oem;
  ASSERT_TRUE(writeInstallReport("C:\\baza\\", failures.entries, list({changed, "Żabka"_oem})));

  const std::string text = readHost(report());
  const size_t eol = text.find("\r\n");
  EXPECT_TRUE(std::regex_match(
      text.substr(0, eol),
      std::regex(R"(\(\d{4}\.\d\d\.\d\d/\d\d:\d\d\)  Raport z instalacji wersji: 25\.01\.023)")))
      << text.substr(0, eol);
  EXPECT_EQ(text.substr(eol + 2),
            std::string(48, '-') + "\r\n" + ansi("Firma nr: 3 Błąd podczas instalacji:\r\n") +
                "\r\nArgumenty         : \r\n( 1) typ=C: x\r\n( 2) typ=N:          5\r\n"
                "canDefault        : .T.\r\ncanSubstitute     : .F.\r\n" +
                ansi("description       : Błąd otwarcia pliku\r\n") +
                "filename          : C:\\baza\\firma3\\ks_dok.dbf\r\ncargo             : NIL\r\n"
                "genCode           :         21\r\noperation         : DBUSEAREA\r\n"
                "osCode            :         32\r\nseverity          :          2\r\n"
                "subCode           :       1001\r\nsubSystem         : DBFCDX\r\n" +
                std::string(78, '-') + "\r\n\r\n" +
                ansi("Firma nr: 7 Błąd podczas instalacji:\r\n") + "\r\n\r\n" + kChanged +
                "Firma: " + changed + "\r\nFirma: " + "Żabka"_oem + "\r\n");
  EXPECT_NE(text.find("B\xB3\xB9"
                      "d"),
            std::string::npos);                          // 'ł' 'ą' of 1250 ...
  EXPECT_NE(text.find("Us\x88ugi"), std::string::npos);  // ... and 'ł' of 852 in one file

  // The log of failed firms, in 1250, in the working directory.
  ASSERT_TRUE(writeFailureLog(failures.log));
  EXPECT_EQ(
      readHost(map_.driveC() / "rel" / "error.log"),
      ansi("Nie udało się zainstalować firmy nr: 3. Napraw firmę i spróbuj jeszcze raz!\r\n"
           "Nie udało się zainstalować firmy nr: 7. Napraw firmę i spróbuj jeszcze raz!\r\n"));
}

TEST_F(InstallReport, ErrorDescriptionOfOtherArguments) {
  rt::Error e = openError();
  e.args.clear();
  EXPECT_TRUE(ERR_PIS(e).starts_with(";Argumenty         :  NIL;canDefault        : .T.;"))
      << ERR_PIS(e);
  e.args = {rt::Value(true), rt::Value(), rt::Value(rt::Date::fromYmd(2025, 1, 31))};
  EXPECT_TRUE(ERR_PIS(e).starts_with(
      ";Argumenty         : ;( 1) typ=L: .T.;( 2) typ=U: NIL;( 3) typ=D: 2025.01.31;"))
      << ERR_PIS(e);
  EXPECT_TRUE(ERR_PIS(e).ends_with(";subSystem         : DBFCDX;" + std::string(78, '-') + ";"));

  FirmFailures unknown;  // a first failure whose error is unknown has no description at all
  unknown.add(1234, nullptr);
  unknown.add(12, &e);
  EXPECT_EQ(unknown.entries,
            (std::vector<std::string>{"Firma nr: 1234 Błąd podczas instalacji:;"_oem,
                                      "Firma nr: 12 Błąd podczas instalacji:;"_oem}));
}

TEST_F(InstallReport, WithoutFailuresOnlyChangedFirmsAreReported) {
  EXPECT_TRUE(writeInstallReport("C:\\baza\\", {}, list({})));
  EXPECT_TRUE(writeFailureLog(""));
  EXPECT_FALSE(fs::exists(report()) || fs::exists(map_.driveC() / "rel" / "error.log"));

  ASSERT_TRUE(writeInstallReport("C:\\baza\\", {}, list({"firma1", "Łódź"_oem})));
  EXPECT_EQ(readHost(report()),
            "\r\n" + kChanged + "Firma: firma1\r\nFirma: " + "Łódź"_oem + "\r\n");

  EXPECT_FALSE(
      writeInstallReport("C:\\brak\\", {}, list({"a"})));  // a report not written is not one
}

}  // namespace
