#include "upgrade/release_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "shell/progress_bar.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::upgrade;
using tav::testing::TempDriveMap;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome run(const std::string& command) {
  Outcome r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string lowerAscii(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}
std::string upperAscii(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) out.push_back(text.substr(start, nl - start));
  return out;
}

class ReleaseArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path tool = fs::path(TAV_BINARY_DIR) / "tools" / "mkrelease" / "mkrelease";
    ASSERT_TRUE(fs::exists(tool)) << "build the mkrelease target first: " << tool;
    release_ = map_.driveC() / "rel";
    Outcome made = run(tool.string() + " release " + release_.string());
    ASSERT_EQ(made.status, 0) << made.out;
    // What the masks must not take: a subdirectory's files and the subdirectory itself.
    TempDriveMap::put(release_ / "str" / "stare" / "dawny.dbf", "dawny");
    TempDriveMap::put(release_ / "txt" / "wyciąg.txt", "Wyciąg z listy płac");
    TempDriveMap::put(release_ / "notatka.doc", "not in any mask");
    fs::current_path(release_);
    rt::resetShared();
    rt::shared().wersja_p = "25.01.023";
    gui::useHeadless();
    window_ = &gui::app().createDialog(nullptr, {0, 0}, {500, 300});
    shell::LICZNIK(rt::Array{20, 40}, 300, 10, "Start", &window_->drawingArea());
  }
  void TearDown() override {
    shell::LICZNIK("DEL");
    gui::app().reset();
  }

  // The entries the archive must hold, in mask order, with the files they come from: the
  // directory part of each mask as written, the names as on disk, in the listing's order
  // (upper-cased names).
  std::vector<std::pair<std::string, fs::path>> expected() const {
    const std::vector<std::pair<std::string, std::string>> groups = {
        {"", "*.dbf"},       {"czytaj.to/", ""},   {"RAVIMON/", ""},   {"MASK/", ""},
        {"", "*.dll"},       {"", "tav.exe"},      {"", "un_tav.exe"}, {"", "setup2.exe"},
        {"", "7z.exe"},      {"", "openssl.exe"},  {"", "msxsl.exe"},  {"PUBLIC/", ""},
        {"STR/", ""},        {"TXT/", ""},         {"W001/", ""},      {"XML/", ""}};
    std::vector<std::pair<std::string, fs::path>> out;
    for (const auto& [prefix, only] : groups) {
      fs::path dir = release_ / lowerAscii(prefix.empty() ? "." : prefix.substr(0, prefix.size() - 1));
      if (!fs::is_directory(dir)) continue;
      std::vector<fs::path> files;
      for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        std::string name = lowerAscii(e.path().filename().string());
        if (only.starts_with("*.") ? name.ends_with(only.substr(1)) : (only.empty() || name == only))
          files.push_back(e.path());
      }
      std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return upperAscii(a.filename().string()) < upperAscii(b.filename().string());
      });
      for (const auto& f : files) out.emplace_back(prefix + f.filename().string(), f);
    }
    return out;
  }
  fs::path archive() const { return map_.driveC() / "baza" / "install" / "25.01.023.zip"; }

  TempDriveMap map_;
  fs::path release_;
  gui::Dialog* window_ = nullptr;
};

TEST_F(ReleaseArchive, HoldsEveryMatchedFileOfTheReleaseUnchanged) {
  TempDriveMap::put(map_.driveC() / "baza" / "install" / "25.01.001.zip", "previous release");
  TempDriveMap::put(map_.driveC() / "baza" / "install" / "notatka.txt", "x");
  PAKUJ_DO_ZIPA("C:\\baza\\");

  ASSERT_TRUE(fs::exists(archive()));
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(archive().parent_path())) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"25.01.023.zip"});  // install\ keeps the newest only

  Outcome test = run("unzip -tq " + archive().string());
  EXPECT_EQ(test.status, 0) << test.out;
  Outcome names = run("zipinfo -1 " + archive().string());
  ASSERT_EQ(names.status, 0) << names.out;
  const auto want = expected();
  std::vector<std::string> wantNames;
  for (const auto& [name, file] : want) wantNames.push_back(name);
  EXPECT_EQ(lines(names.out), wantNames);
  EXPECT_GT(want.size(), 100u);
  EXPECT_NE(std::find(wantNames.begin(), wantNames.end(), "TXT/wyciąg.txt"), wantNames.end());
  EXPECT_NE(std::find(wantNames.begin(), wantNames.end(), "W001/dek_w001.xml"), wantNames.end());

  Outcome comment = run("unzip -zq " + archive().string());
  EXPECT_EQ(comment.out, "TAVTamborex\n");

  fs::path out = map_.root() / "out";
  Outcome x = run("unzip -q " + archive().string() + " -d " + out.string());
  ASSERT_EQ(x.status, 0) << x.out;
  size_t extracted = 0;
  for (const auto& e : fs::recursive_directory_iterator(out)) extracted += e.is_regular_file();
  EXPECT_EQ(extracted, want.size());
  for (const auto& [name, file] : want) EXPECT_EQ(readHost(out / name), readHost(file)) << name;

  // The bar counted files, one step each.
  auto bar = shell::licznikState();
  EXPECT_EQ(bar.maximum, static_cast<double>(want.size()));
  EXPECT_EQ(bar.count, static_cast<double>(want.size()));
  EXPECT_EQ(bar.frame->caption(), "Przygotowanie pliku ZIP...");
}

TEST_F(ReleaseArchive, AnArchiveOfTheSameReleaseIsNeverTouched) {
  PAKUJ_DO_ZIPA("C:\\baza\\");
  ASSERT_TRUE(fs::exists(archive()));
  const std::string first = readHost(archive());
  const auto stamp = fs::last_write_time(archive());
  TempDriveMap::put(archive().parent_path() / "inny.txt", "kept");
  TempDriveMap::put(release_ / "nowy.dbf", "a file the first archive lacks");
  shell::LICZNIK("NEW", 10, "");

  PAKUJ_DO_ZIPA("C:\\baza\\");
  EXPECT_EQ(readHost(archive()), first);
  EXPECT_EQ(fs::last_write_time(archive()), stamp);
  EXPECT_EQ(readHost(archive().parent_path() / "inny.txt"), "kept");
  EXPECT_EQ(shell::licznikState().count, 0);

  // Another release empties install\ and archives anew.
  rt::shared().wersja_p = "25.01.024";
  PAKUJ_DO_ZIPA("C:\\baza\\");
  EXPECT_FALSE(fs::exists(archive()));
  EXPECT_FALSE(fs::exists(archive().parent_path() / "inny.txt"));
  Outcome names = run("zipinfo -1 " + (archive().parent_path() / "25.01.024.zip").string());
  EXPECT_TRUE(names.out.starts_with("nowy.dbf\nwb.dbf\n")) << names.out;
}

TEST_F(ReleaseArchive, MasksThatMatchNothingAreSkipped) {
  fs::remove_all(release_ / "w001");
  fs::remove(release_ / "setup2.exe");
  const std::string target = "C:\\baza\\r.zip";
  fs::create_directories(map_.driveC() / "baza");
  EXPECT_TRUE(MAKEZIP(target, releaseMasks(), "Biuro"));
  const fs::path host = map_.driveC() / "baza" / "r.zip";
  EXPECT_EQ(run("unzip -tq " + host.string()).status, 0);
  Outcome names = run("zipinfo -1 " + host.string());
  EXPECT_EQ(names.out.find("W001/"), std::string::npos);
  EXPECT_EQ(names.out.find("setup2.exe"), std::string::npos);
  EXPECT_NE(names.out.find("\nun_tav.exe\n7z.exe\n"), std::string::npos) << names.out;
  EXPECT_EQ(run("unzip -zq " + host.string()).out, "TAVBiuro\n");

  // Nothing at all: no archive is begun.
  EXPECT_FALSE(MAKEZIP("C:\\baza\\pusty.zip", {".\\BRAK\\*.*", ".\\*.xyz"}));
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "pusty.zip"));
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "pusty.zip.tmp"));
}

TEST_F(ReleaseArchive, AFileThatCannotBeArchivedLeavesNoArchive) {
  fs::create_directories(map_.driveC() / "baza");
  // Listed as a file, but there is nothing to read behind it.
  fs::create_symlink(release_ / "brak.dat", release_ / "str" / "zerwany.dbf");
  EXPECT_FALSE(MAKEZIP("C:\\baza\\r.zip", releaseMasks()));
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "r.zip"));
  EXPECT_FALSE(fs::exists(map_.driveC() / "baza" / "r.zip.tmp"));

  // An archive that cannot be opened: its directory is missing.
  EXPECT_FALSE(MAKEZIP("C:\\brak\\r.zip", releaseMasks()));
}

}  // namespace
