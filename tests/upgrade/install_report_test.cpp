#include "upgrade/install_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "db/table_access.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::upgrade;
using namespace tav::rt::literals;
using tav::testing::TempDriveMap;

namespace {

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ansi(const char* utf8) { return rt::utf8ToAnsi(utf8); }

// The error that stops a firm in the examples: opening one of its tables failed.
rt::Error openError(std::vector<rt::Value> args) {
  rt::Error e;
  e.genCode = rt::kErrOpen;
  e.osCode = 32;
  e.subCode = 1001;
  e.subSystem = "DBFCDX";
  e.severity = rt::Severity::Error;
  e.description = "Błąd otwarcia pliku"_oem;
  e.filename = "C:\\baza\\firma3\\ks_dok.dbf";
  e.operation = "DBUSEAREA";
  e.args = std::move(args);
  e.canDefault = true;
  return e;
}

// The lines of the description after the arguments, as the report shows them (1250).
const std::string kProperties =
    "canDefault        : .T.\r\n"
    "canSubstitute     : .F.\r\n" +
    ansi("description       : Błąd otwarcia pliku\r\n") +
    "filename          : C:\\baza\\firma3\\ks_dok.dbf\r\n"
    "cargo             : NIL\r\n"
    "genCode           :         21\r\n"
    "operation         : DBUSEAREA\r\n"
    "osCode            :         32\r\n"
    "severity          :          2\r\n"
    "subCode           :       1001\r\n"
    "subSystem         : DBFCDX\r\n" +
    std::string(78, '-') + "\r\n";

const std::string kChangedTitle = "Lista firm w ktorych dokonano istotnych zmian:\r\n" + std::string(46, '-') + "\r\n";

class InstallReport : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    rt::shared().wersja_p = "25.01.023";
    db::STARTINIT();
    fs::create_directories(map_.driveC() / "baza" / "public");
    fs::create_directories(map_.driveC() / "rel");
    fs::current_path(map_.driveC() / "rel");
  }
  fs::path report() const { return map_.driveC() / "baza" / "public" / "ins_raport.txt"; }
  // The report without its first line, which carries the moment it was written.
  std::string body(const std::string& text) {
    size_t eol = text.find("\r\n");
    EXPECT_TRUE(std::regex_match(text.substr(0, eol),
                                 std::regex(R"(\(\d{4}\.\d\d\.\d\d/\d\d:\d\d\)  Raport z instalacji wersji: 25\.01\.023)")))
        << text.substr(0, eol);
    return eol == std::string::npos ? std::string() : text.substr(eol + 2);
  }
  static rt::Value list(std::vector<std::string> texts) {
    rt::Array a;
    for (auto& t : texts) a.emplace_back(t);
    return rt::Value(std::move(a));
  }

  TempDriveMap map_;
};

TEST_F(InstallReport, ErrorDescriptionListsArgumentsAndEveryProperty) {
  rt::Error withArgs = openError({rt::Value("x"), rt::Value(5)});
  EXPECT_EQ(ERR_PIS(withArgs), ";Argumenty         : ;( 1) typ=C: x;( 2) typ=N:          5;canDefault        : .T."
                               ";canSubstitute     : .F.;description       : "
                               + "Błąd otwarcia pliku"_oem + ";filename          : C:\\baza\\firma3\\ks_dok.dbf"
                               ";cargo             : NIL;genCode           :         21;operation         : DBUSEAREA"
                               ";osCode            :         32;severity          :          2"
                               ";subCode           :       1001;subSystem         : DBFCDX;" +
                               std::string(78, '-') + ";");
  std::string without = ERR_PIS(openError({}));
  EXPECT_TRUE(without.starts_with(";Argumenty         :  NIL;canDefault        : .T.;")) << without;
  // Other value kinds show their type letter and text form.
  std::string kinds = ERR_PIS(openError({rt::Value(true), rt::Value(), rt::Value(rt::Date::fromYmd(2025, 1, 31))}));
  EXPECT_TRUE(kinds.starts_with(";Argumenty         : ;( 1) typ=L: .T.;( 2) typ=U: NIL;( 3) typ=D: 2025.01.31;"))
      << kinds;
}

TEST_F(InstallReport, OnlyTheFirstFailedFirmCarriesTheErrorDescription) {
  FirmFailures failures;
  rt::Error first = openError({rt::Value("x"), rt::Value(5)});
  rt::Error second = openError({});
  failures.add(3, &first);
  failures.add(7, &second);
  ASSERT_EQ(failures.entries.size(), 2u);
  EXPECT_EQ(failures.entries[0], "Firma nr: 3 Błąd podczas instalacji:;"_oem + ERR_PIS(first));
  EXPECT_EQ(failures.entries[1], "Firma nr: 7 Błąd podczas instalacji:;"_oem);
  EXPECT_EQ(failures.log, "Nie udało się zainstalować firmy nr: 3. Napraw firmę i spróbuj jeszcze raz!\r\n"_oem +
                              "Nie udało się zainstalować firmy nr: 7. Napraw firmę i spróbuj jeszcze raz!\r\n"_oem);

  // A first failure whose error is unknown leaves the description out altogether.
  FirmFailures unknown;
  unknown.add(1234, nullptr);
  unknown.add(12, &first);
  EXPECT_EQ(unknown.entries, (std::vector<std::string>{"Firma nr: 1234 Błąd podczas instalacji:;"_oem,
                                                      "Firma nr: 12 Błąd podczas instalacji:;"_oem}));
}

TEST_F(InstallReport, FailuresAreReportedInAnsiAndChangedFirmsAsTheStepsWroteThem) {
  FirmFailures failures;
  rt::Error error = openError({rt::Value("x"), rt::Value(5)});
  failures.add(3, &error);
  failures.add(7, nullptr);
  const std::string changed1 = "Kowalski Usługi Budowlane (nr 2)"_oem, changed2 = "Żabka"_oem;
  ASSERT_TRUE(writeInstallReport("C:\\baza\\", failures.entries, list({changed1, changed2})));

  const std::string text = readHost(report());
  EXPECT_EQ(body(text), std::string(48, '-') + "\r\n" + ansi("Firma nr: 3 Błąd podczas instalacji:\r\n") +
                            "\r\nArgumenty         : \r\n( 1) typ=C: x\r\n( 2) typ=N:          5\r\n" + kProperties +
                            "\r\n" + ansi("Firma nr: 7 Błąd podczas instalacji:\r\n") + "\r\n" + "\r\n" + kChangedTitle +
                            "Firma: " + changed1 + "\r\nFirma: " + changed2 + "\r\n");
  // 'ł' is 0xB3 in 1250 and 0x88 in 852: both pages are in the one file.
  EXPECT_NE(text.find("B\xB3\xB9""d"), std::string::npos);
  EXPECT_NE(text.find("Us\x88ugi"), std::string::npos);

  // Failures alone: no part for changed firms.
  ASSERT_TRUE(writeInstallReport("C:\\baza\\", {failures.entries[1]}, list({})));
  EXPECT_EQ(body(readHost(report())),
            std::string(48, '-') + "\r\n" + ansi("Firma nr: 7 Błąd podczas instalacji:\r\n"));
}

TEST_F(InstallReport, ChangedFirmsAloneMakeAReportWithoutItsHeading) {
  ASSERT_TRUE(writeInstallReport("C:\\baza\\", {}, list({"firma1"_oem, "Łódź"_oem})));
  EXPECT_EQ(readHost(report()), "\r\n" + kChangedTitle + "Firma: firma1\r\nFirma: " + "Łódź"_oem + "\r\n");
}

TEST_F(InstallReport, NothingToReportWritesNoFile) {
  EXPECT_TRUE(writeInstallReport("C:\\baza\\", {}, list({})));
  EXPECT_TRUE(writeInstallReport("C:\\baza\\", {}, rt::Value()));
  EXPECT_FALSE(fs::exists(report()));
}

TEST_F(InstallReport, AReportThatCannotBeWrittenIsAFailure) {
  EXPECT_FALSE(writeInstallReport("C:\\brak\\", {"Firma nr: 1 Błąd podczas instalacji:;"_oem}, list({})));
  EXPECT_FALSE(writeInstallReport("C:\\brak\\", {}, list({"a"})));
}

TEST_F(InstallReport, FailureLogGoesToTheWorkingDirectoryInAnsi) {
  FirmFailures failures;
  failures.add(3, nullptr);
  failures.add(7, nullptr);
  ASSERT_TRUE(writeFailureLog(failures.log));
  EXPECT_EQ(readHost(map_.driveC() / "rel" / "error.log"),
            ansi("Nie udało się zainstalować firmy nr: 3. Napraw firmę i spróbuj jeszcze raz!\r\n"
                 "Nie udało się zainstalować firmy nr: 7. Napraw firmę i spróbuj jeszcze raz!\r\n"));

  fs::remove(map_.driveC() / "rel" / "error.log");
  EXPECT_TRUE(writeFailureLog(""));
  EXPECT_FALSE(fs::exists(map_.driveC() / "rel" / "error.log"));
}

}  // namespace
