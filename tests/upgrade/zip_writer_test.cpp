// The ZIP writer the release archive is made with, its archives read back by unzip and Python's
// zipfile. Group: ZipWriterTest. Every file, name (Polish ones in UTF-8), time and comment comes
// back; a file or name that cannot go in fails alone, none escaping the extraction directory or
// clashing on Windows; the archive takes its own name only when saved whole, so an unsaved or
// damaged one leaves the earlier archive as it was.
#include "upgrade/zip_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>

#include "runtime/codepage.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav::upgrade;
using namespace tav::rt::literals;
using tav::testing::TempDriveMap;

namespace {

// Output and exit status of a shell command.
std::pair<int, std::string> run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = p ? ::pclose(p) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Per entry name, method, flags and time, then the comment, after the reader's own CRC check.
const char* const kDescribe =
    "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n"
    "for i in z.infolist(): print('%s|%d|%d|%04d-%02d-%02d %02d:%02d:%02d' % ((i.filename, "
    "i.compress_type, "
    "i.flag_bits) + i.date_time))\nprint('comment=' + z.comment.decode('utf-8'))\n";

class ZipWriterTest : public ::testing::Test {
 protected:
  ZipWriterTest() {
    fs::create_directories(map_.driveC() / "db");
    std::ofstream(map_.root() / "describe.py") << kDescribe;
  }
  void put(const std::string& name, const std::string& content) {
    TempDriveMap::put(map_.driveC() / "rel" / name, content);
  }
  fs::path host() const { return map_.driveC() / "db" / "a.zip"; }
  bool leftovers() const { return fs::exists(map_.driveC() / "db" / "a.zip.tmp"); }
  std::string describe() {
    auto [status, out] =
        run("/usr/bin/python3 " + (map_.root() / "describe.py").string() + " " + host().string());
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(run("unzip -tq " + host().string()).first, 0);
    return out;
  }
  TempDriveMap map_;
  const char* archive_ = "C:\\db\\a.zip";
  ZipWriter zip_;
};

TEST_F(ZipWriterTest, ReadersGetBackEveryFileNameTimeAndComment) {
  std::string text, noise(200000, '\0');  // noise spans several chunks and does not shrink
  for (int i = 0; i < 5000; ++i)
    text += "Faktura nr " + std::to_string(i) + " dla firmy Kowalski\r\n";
  std::mt19937 g(7);
  for (char& c : noise) c = static_cast<char>(g());
  put("opis.txt", text);
  put("str/szum.bin", noise);
  put("puste.dat", "");
  put("Wyciąg.txt", "lista płac");
  struct tm tm {};  // 2001-02-03 04:05:06 local time, as DOS times keep it
  tm.tm_year = 101, tm.tm_mon = 1, tm.tm_mday = 3, tm.tm_hour = 4, tm.tm_min = 5, tm.tm_sec = 6,
  tm.tm_isdst = -1;
  struct timeval times[2] = {{mktime(&tm), 0}, {mktime(&tm), 0}};
  ASSERT_EQ(::utimes((map_.driveC() / "rel" / "puste.dat").c_str(), times), 0);

  ASSERT_TRUE(zip_.open(archive_));
  EXPECT_FALSE(fs::exists(host()));  // only the temporary name until it is saved
  EXPECT_EQ(zip_.addFile("C:\\rel\\opis.txt", ".\\opis.txt"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\STR\\szum.bin", ".\\STR\\szum.bin"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\puste.dat", "\\puste.dat"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\" + "Wyciąg.txt"_oem, "TXT\\" + "Wyciąg.txt"_oem), kZipOk);
  ASSERT_TRUE(zip_.save("TAV"_oem + "Żuraw"_oem));
  EXPECT_FALSE(leftovers());

  // Deflated (8) what shrinks, stored (0) what does not; bit 11 (2048) marks a UTF-8 name.
  std::string out = describe();
  EXPECT_TRUE(out.starts_with("opis.txt|8|0|")) << out;
  EXPECT_NE(out.find("\nSTR/szum.bin|0|0|"), std::string::npos) << out;
  EXPECT_NE(out.find("\npuste.dat|0|0|2001-02-03 04:05:06\nTXT/Wyciąg.txt|0|2048|"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("\ncomment=TAVŻuraw\n")) << out;
  EXPECT_LT(fs::file_size(host()), noise.size() + text.size() / 4);

  fs::path x = map_.root() / "out";
  ASSERT_EQ(run("unzip -q " + host().string() + " -d " + x.string()).first, 0);
  EXPECT_EQ(readHost(x / "opis.txt"), text);
  EXPECT_EQ(readHost(x / "STR" / "szum.bin"), noise);
  EXPECT_EQ(readHost(x / "TXT" / "Wyciąg.txt"), "lista płac");
}

TEST_F(ZipWriterTest, FilesAndNamesThatCannotGoInFailAloneWithoutDamage) {
  put("a.txt", "a");
  fs::create_directories(map_.driveC() / "rel" / "katalog");
  TempDriveMap::put(map_.driveC() / "rel" / "duzy.bin", "");
  fs::resize_file(map_.driveC() / "rel" / "duzy.bin",
                  0x100000000ull);  // sparse 4 GiB: would need ZIP64
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "a.txt"), kZipNotOpen);
  ASSERT_TRUE(zip_.open(archive_));
  for (const char* bad : {"", ".\\", "STR\\", "..\\a.txt", "STR\\..\\..\\a.txt", "STR\\\\a.txt"})
    EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", bad), kZipBadName) << bad;
  EXPECT_EQ(zip_.addFile("C:\\rel\\brak.txt", "brak.txt"), kZipFileError);
  EXPECT_EQ(zip_.addFile("C:\\rel\\katalog", "katalog"), kZipFileError);
  ASSERT_EQ(::mkfifo((map_.driveC() / "rel" / "kolejka").c_str(), 0644), 0);
  EXPECT_EQ(zip_.addFile("C:\\rel\\kolejka", "kolejka"), kZipFileError);  // returns at once
  EXPECT_EQ(zip_.addFile("C:\\rel\\duzy.bin", "duzy.bin"), kZipTooLarge);
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", ".\\STR\\a.txt"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "str/A.TXT"),
            kZipBadName);  // one file once extracted on Windows
  EXPECT_FALSE(zip_.damaged());
  ASSERT_TRUE(zip_.save(""));
  std::string out = describe();
  EXPECT_TRUE(out.starts_with("STR/a.txt|0|0|") && out.ends_with("\ncomment=\n")) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

TEST_F(ZipWriterTest, UnsavedArchiveLeavesNothingAndKeepsAnEarlierOne) {
  put("a.txt", "nowy");
  EXPECT_FALSE(zip_.open("C:\\brak\\a.zip"));
  fs::create_directories(host());
  EXPECT_FALSE(zip_.open(archive_));
  fs::remove(host());

  TempDriveMap::put(host(), "earlier archive");
  {
    ZipWriter zip;  // closed, refused for its comment, then left to its destructor
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    zip.close();
    EXPECT_FALSE(zip.save("x"));
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    EXPECT_FALSE(zip.save(std::string(70000, 'x')));
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  }
  EXPECT_EQ(readHost(host()), "earlier archive");
  EXPECT_FALSE(leftovers());

  fs::permissions(host(), fs::perms::owner_read);  // a read-only archive is not replaced
  EXPECT_FALSE(zip_.open(archive_));
  fs::permissions(host(), fs::perms::owner_all);
  ASSERT_TRUE(zip_.open(archive_));  // a saved one is, whole
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  ASSERT_TRUE(zip_.save("x"));
  EXPECT_TRUE(describe().starts_with("a.txt|0|0|"));
}

// The process's file size limit makes the archive's writes fail part-way through an entry, as a
// full disk would.
class WriteLimit {
 public:
  explicit WriteLimit(rlim_t bytes) : signal_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit r = saved_;
    r.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &r);
  }
  ~WriteLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, signal_);
  }

 private:
  void (*signal_)(int);
  struct rlimit saved_ {};
};

TEST_F(ZipWriterTest, PartialEntryDamagesTheArchiveUntilRepaired) {
  std::string noise(300000, '\0');
  std::mt19937 g(3);
  for (char& c : noise) c = static_cast<char>(g());
  put("a.txt", std::string(1000, 'a'));
  put("szum.bin", noise);
  int repairs = 0;
  for (bool handler : {false, true}) {
    if (handler)
      zip_.onCorruption([&](ZipWriter& z) {
        ++repairs;
        return z.fix();
      });
    ASSERT_TRUE(zip_.open(archive_));
    EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    {
      WriteLimit limit(100000);
      EXPECT_EQ(zip_.addFile("C:\\rel\\szum.bin", "szum.bin"), kZipFileError);
    }
    EXPECT_EQ(zip_.damaged(), !handler);
    EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "b.txt"), handler ? kZipOk : kZipDamaged);
    // Unrepaired, it is never saved as a whole archive.
    EXPECT_EQ(zip_.save("x"), handler);
    EXPECT_EQ(fs::exists(host()), handler);
    EXPECT_FALSE(leftovers());
  }
  EXPECT_EQ(repairs, 1);
  std::string out = describe();
  EXPECT_TRUE(out.starts_with("a.txt|8|0|")) << out;
  EXPECT_NE(out.find("\nb.txt|8|0|"), std::string::npos) << out;
  EXPECT_EQ(out.find("szum.bin"), std::string::npos) << out;
}

}  // namespace
