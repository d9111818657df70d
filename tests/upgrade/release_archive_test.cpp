// The copy of the release an upgrade keeps in the database's install\ (PAKUJ_DO_ZIPA, MAKEZIP),
// read back by unzip and zipinfo (under Wine, where no Linux program starts, by the tests' own
// reader, support/zip_reader.h). Group: ReleaseArchive. Every file the masks match is held
// unchanged, in mask order, and the progress counts files; an archive of the same release is never
// touched and another release replaces it; masks that match nothing are skipped, and any failure
// leaves no archive behind.
#include "upgrade/release_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "os/wide.h"
#include "runtime/shared_variables.h"
#include "support/programs.h"
#include "support/recording_frontend.h"
#include "support/temp_drive_map.h"
#include "support/zip_reader.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::upgrade;
using tav::testing::TempDriveMap;

namespace {

#ifndef _WIN32
std::pair<int, std::string> run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = p ? ::pclose(p) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}
#endif

// What unzip says of an archive: whether it tests whole (unzip -t), its comment (unzip -z), the
// names of its entries (zipinfo -1), one a line; and the archive extracted below a directory.
// Under Wine, where no Linux program starts, the tests' own reader says it.
bool tested(const fs::path& zip) {
#ifdef _WIN32
  return tav::testing::readZip(zip).ok;
#else
  return run("unzip -tq " + zip.string()).first == 0;
#endif
}
std::string comment(const fs::path& zip) {
#ifdef _WIN32
  return tav::testing::readZip(zip).comment + "\n";
#else
  return run("unzip -zq " + zip.string()).second;
#endif
}
std::pair<int, std::string> entryNames(const fs::path& zip) {
#ifdef _WIN32
  const tav::testing::ZipArchive z = tav::testing::readZip(zip);
  std::string out;
  for (const auto& e : z.entries) out += e.name + "\n";
  return {z.ok ? 0 : 1, out};
#else
  return run("zipinfo -1 " + zip.string());
#endif
}
bool extracted(const fs::path& zip, const fs::path& dir) {
#ifdef _WIN32
  return tav::testing::extractZip(tav::testing::readZip(zip), dir);
#else
  return run("unzip -q " + zip.string() + " -d " + dir.string()).first == 0;
#endif
}

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string caseOf(std::string s, int (*f)(int)) {
  for (char& c : s) c = static_cast<char>(f(static_cast<unsigned char>(c)));
  return s;
}

class ReleaseArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path tool = tav::testing::buildProgram("mkrelease");
    ASSERT_TRUE(fs::exists(tool)) << "build the mkrelease target first: " << os::utf8(tool);
    const auto made = tav::testing::runProgram(tool, {"release", os::utf8(rel_)});
    ASSERT_EQ(made.code, 0) << made.output();
    TempDriveMap::put(rel_ / "str" / "stare" / "dawny.dbf");  // a subdirectory is not entered
    TempDriveMap::put(rel_ / "txt" / os::hostPath("wyciąg.txt"), "Wyciąg z listy płac");
    TempDriveMap::put(rel_ / "notatka.doc");  // in no mask
    fs::current_path(rel_);
    rt::resetShared();
    rt::shared().wersja_p = "25.01.023";
  }
  // Entry names in mask order (each mask's directory part as written, names in the listing's
  // upper-case order) with the files they come from.
  std::vector<std::pair<std::string, fs::path>> expected() const {
    std::vector<std::pair<std::string, fs::path>> out;
    for (std::string mask : {"*.dbf", "czytaj.to/", "RAVIMON/", "MASK/", "*.dll", "tav.exe",
                             "un_tav.exe", "setup2.exe", "7z.exe", "openssl.exe", "msxsl.exe",
                             "PUBLIC/", "STR/", "TXT/", "W001/", "XML/"}) {
      const bool dir = mask.ends_with("/");
      std::vector<fs::path> files;
      for (const auto& e : fs::directory_iterator(dir ? rel_ / caseOf(mask, ::tolower) : rel_)) {
        std::string name = caseOf(os::utf8(e.path().filename()), ::tolower);
        if (e.is_regular_file() &&
            (dir || (mask[0] == '*' ? name.ends_with(mask.substr(1)) : name == mask)))
          files.push_back(e.path());
      }
      std::sort(files.begin(), files.end(), [](auto& a, auto& b) {
        return caseOf(os::utf8(a.filename()), ::toupper) <
               caseOf(os::utf8(b.filename()), ::toupper);
      });
      for (const auto& f : files) out.emplace_back((dir ? mask : "") + os::utf8(f.filename()), f);
    }
    return out;
  }
  fs::path archive(const char* release = "25.01.023") const {
    return map_.driveC() / "baza" / "install" / (release + std::string(".zip"));
  }

  TempDriveMap map_;
  const fs::path rel_ = map_.driveC() / "rel";
  tav::testing::RecordingProgress progress_;
};

TEST_F(ReleaseArchive, HoldsEveryMatchedFileOfTheReleaseUnchanged) {
  TempDriveMap::put(archive("25.01.001"), "previous release");
  PAKUJ_DO_ZIPA("C:\\baza\\", progress_);
  EXPECT_EQ(std::distance(fs::directory_iterator(archive().parent_path()), {}),
            1);  // the newest only
  EXPECT_TRUE(tested(archive()));
  EXPECT_EQ(comment(archive()), "TAVTamborex\n");

  const auto want = expected();
  std::string names;
  for (const auto& [name, file] : want) names += name + "\n";
  EXPECT_EQ(entryNames(archive()), std::make_pair(0, names));
  EXPECT_NE(names.find("\nTXT/wyciąg.txt\n"), std::string::npos);
  EXPECT_NE(names.find("\nW001/dek_w001.xml\n"), std::string::npos);

  fs::path out = map_.root() / "out";
  ASSERT_TRUE(extracted(archive(), out));
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(out), {}),
            static_cast<long>(want.size()) + 8);  // 8 directories
  for (const auto& [name, file] : want)
    EXPECT_EQ(readHost(out / os::hostPath(name)), readHost(file)) << name;

  // The bar counts files, not bytes.
  EXPECT_EQ(progress_.captions, std::vector<std::string>{"Przygotowanie pliku ZIP..."});
  EXPECT_EQ(progress_.advanced, static_cast<double>(want.size()));
}

TEST_F(ReleaseArchive, AnArchiveOfTheSameReleaseIsNeverTouched) {
  PAKUJ_DO_ZIPA("C:\\baza\\", progress_);
  const std::string first = readHost(archive());
  TempDriveMap::put(archive().parent_path() / "inny.txt", "kept");
  TempDriveMap::put(rel_ / "nowy.dbf", "a file the first archive lacks");
  PAKUJ_DO_ZIPA("C:\\baza\\", progress_);
  EXPECT_EQ(readHost(archive()), first);
  EXPECT_EQ(readHost(archive().parent_path() / "inny.txt"), "kept");

  rt::shared().wersja_p = "25.01.024";  // another release empties install\ and archives anew
  PAKUJ_DO_ZIPA("C:\\baza\\", progress_);
  EXPECT_FALSE(fs::exists(archive()) || fs::exists(archive().parent_path() / "inny.txt"));
  EXPECT_TRUE(entryNames(archive("25.01.024")).second.starts_with("nowy.dbf\nwb.dbf\n"));
}

TEST_F(ReleaseArchive, MasksThatMatchNothingAreSkippedAndFailuresLeaveNoArchive) {
  fs::remove_all(rel_ / "w001");
  fs::remove(rel_ / "setup2.exe");
  fs::create_directories(map_.driveC() / "baza");
  const fs::path made = map_.driveC() / "baza" / "r.zip";
  EXPECT_TRUE(MAKEZIP("C:\\baza\\r.zip", releaseMasks(), progress_, "Biuro"));
  EXPECT_EQ(comment(made), "TAVBiuro\n");
  std::string names = entryNames(made).second;
  EXPECT_EQ(names.find("W001/"), std::string::npos);
  EXPECT_NE(names.find("\nun_tav.exe\n7z.exe\n"), std::string::npos) << names;

  EXPECT_FALSE(
      MAKEZIP("C:\\baza\\pusty.zip", {".\\BRAK\\*.*", ".\\*.xyz"}, progress_));  // nothing matched
  EXPECT_FALSE(MAKEZIP("C:\\brak\\r.zip", releaseMasks(), progress_));           // cannot be opened
  {
    // A file that is listed but cannot be read: a broken link on Linux, one another program holds
    // without sharing on Windows.
#ifdef _WIN32
    TempDriveMap::put(rel_ / "str" / "zerwany.dbf");
    HANDLE held = ::CreateFileW((rel_ / "str" / "zerwany.dbf").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MAKEZIP("C:\\baza\\zly.zip", releaseMasks(), progress_));
    ::CloseHandle(held);
#else
    fs::create_symlink(rel_ / "brak.dat", rel_ / "str" / "zerwany.dbf");
    EXPECT_FALSE(MAKEZIP("C:\\baza\\zly.zip", releaseMasks(), progress_));
#endif
  }
  fs::remove(rel_ / "str" / "zerwany.dbf");
  EXPECT_FALSE(MAKEZIP("C:\\baza\\dlugi.zip", releaseMasks(), progress_,
                       std::string(70000, 'x')));  // not saved
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(made.parent_path()))
    left.push_back(os::utf8(e.path().filename()));
  EXPECT_EQ(left, std::vector<std::string>{"r.zip"});
}

}  // namespace
