#include "upgrade/zip_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>
#include <string>

#include "runtime/codepage.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav::upgrade;
using namespace tav::rt::literals;
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

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(g());
  return s;
}

// What an independent reader makes of an archive: per entry its name, method, flags, external
// attributes, time and content, then the comment.
const char* const kDescribe = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
for i in z.infolist():
    d = z.read(i)
    print('%s|%d|%d|%o|%d|%04d-%02d-%02d %02d:%02d:%02d|%d' % ((i.filename, i.compress_type, i.flag_bits,
          i.external_attr >> 16, i.external_attr & 0xff) + i.date_time + (len(d),)))
print('comment=' + z.comment.decode('utf-8'))
print('bad=' + str(bad))
)";

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = map_.driveC() / "rel";
    fs::create_directories(dir_);
    fs::create_directories(map_.driveC() / "db" / "install");
    std::ofstream(map_.root() / "describe.py") << kDescribe;
  }
  fs::path put(const std::string& name, const std::string& content) {
    fs::path p = dir_ / name;
    TempDriveMap::put(p, content);
    return p;
  }
  fs::path archiveHost() const { return map_.driveC() / "db" / "install" / "25.01.023.zip"; }
  fs::path tempHost() const { return map_.driveC() / "db" / "install" / "25.01.023.zip.tmp"; }
  Outcome describe() { return run("/usr/bin/python3 " + (map_.root() / "describe.py").string() + " " + archiveHost().string()); }
  Outcome unzipTest() { return run("unzip -tq " + archiveHost().string()); }
  using Fields = std::vector<std::string>;
  struct Entry {
    std::string name;
    Fields fields;
  };
  using Entries = std::vector<Entry>;
  // The reader's view, split; its own integrity check must have passed.
  Entries entries() {
    Outcome d = describe();
    EXPECT_EQ(d.status, 0) << d.out;
    EXPECT_NE(d.out.find("\nbad=None\n"), std::string::npos) << d.out;
    Entries list;
    std::istringstream in(d.out);
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("comment=")) {
        comment_ = line.substr(8);
        break;
      }
      Entry e;
      std::istringstream parts(line);
      std::getline(parts, e.name, '|');
      for (std::string f; std::getline(parts, f, '|');) e.fields.push_back(f);
      list.push_back(e);
    }
    return list;
  }
  std::string comment_;

  TempDriveMap map_;
  fs::path dir_;
  const std::string archive_ = "C:\\db\\install\\25.01.023.zip";
};

TEST_F(ZipWriterTest, ReadersFindEveryEntryWithItsContentMethodAndComment) {
  const std::string text = [] {
    std::string s;
    for (int i = 0; i < 5000; ++i) s += "Faktura nr " + std::to_string(i) + " dla firmy Kowalski\r\n";
    return s;
  }();
  const std::string noise = randomBytes(200000, 7);  // bigger than one chunk, does not shrink
  put("opis.txt", text);
  put("str/dane.bin", noise);
  put("puste.dat", "");
  fs::path old = put("stary.txt", "1999");
  // 2001-02-03 04:05:06 local time, as the archive's DOS time keeps it.
  struct tm tm {};
  tm.tm_year = 101, tm.tm_mon = 1, tm.tm_mday = 3, tm.tm_hour = 4, tm.tm_min = 5, tm.tm_sec = 6, tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  struct timeval times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimes(old.c_str(), times), 0);
  fs::permissions(old, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  ZipWriter zip;
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_FALSE(fs::exists(archiveHost()));  // written under its temporary name until saved
  EXPECT_EQ(zip.addFile("C:\\rel\\opis.txt", ".\\opis.txt"), kZipOk);
  EXPECT_EQ(zip.addFile("C:\\rel\\STR\\dane.bin", ".\\STR\\dane.bin"), kZipOk);
  EXPECT_EQ(zip.addFile("C:\\rel\\puste.dat", "puste.dat"), kZipOk);
  EXPECT_EQ(zip.addFile("C:\\rel\\stary.txt", "\\stary.txt"), kZipOk);
  ASSERT_TRUE(zip.save("TAVTamborex"));
  EXPECT_FALSE(zip.isOpen());
  EXPECT_FALSE(fs::exists(tempHost()));

  Outcome check = unzipTest();
  EXPECT_EQ(check.status, 0) << check.out;
  Entries e = entries();
  ASSERT_EQ(e.size(), 4u);
  // name -> method, flags, permissions, DOS attributes, time, size
  EXPECT_EQ(e[0].name, "opis.txt");
  EXPECT_EQ(e[0].fields, (Fields{"8", "0", "100644", "32", e[0].fields[4], std::to_string(text.size())}));
  EXPECT_EQ(e[1].name, "STR/dane.bin");
  EXPECT_EQ(e[1].fields[0], "0");  // stored: deflating made it bigger
  EXPECT_EQ(e[1].fields[5], "200000");
  EXPECT_EQ(e[2].name, "puste.dat");
  EXPECT_EQ(e[2].fields[0], "0");
  EXPECT_EQ(e[2].fields[5], "0");
  EXPECT_EQ(e[3].name, "stary.txt");
  EXPECT_EQ(e[3].fields, (Fields{"0", "0", "100444", "33", "2001-02-03 04:05:06", "4"}));
  EXPECT_EQ(comment_, "TAVTamborex");

  // Contents byte for byte, through unzip's own extraction.
  fs::path out = map_.root() / "out";
  Outcome x = run("unzip -q " + archiveHost().string() + " -d " + out.string());
  ASSERT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(readHost(out / "opis.txt"), text);
  EXPECT_EQ(readHost(out / "STR" / "dane.bin"), noise);
  EXPECT_EQ(readHost(out / "puste.dat"), "");
  EXPECT_LT(fs::file_size(archiveHost()), noise.size() + text.size() / 4);
}

TEST_F(ZipWriterTest, PolishNamesAreStoredAsUtf8AndExtractAsSuch) {
  const std::string name852 = "Wyciąg_płac.txt"_oem;
  TempDriveMap::put(dir_ / "Wyciąg_płac.txt", "lista");
  ZipWriter zip;
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\" + name852, "TXT\\" + name852), kZipOk);
  ASSERT_TRUE(zip.save("TAV"_oem + "Żuraw"_oem));
  Entries e = entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "TXT/Wyciąg_płac.txt");
  EXPECT_EQ(e[0].fields[1], "2048");  // bit 11: the name is UTF-8
  EXPECT_EQ(comment_, "TAVŻuraw");
  fs::path out = map_.root() / "out";
  ASSERT_EQ(run("unzip -q " + archiveHost().string() + " -d " + out.string()).status, 0);
  EXPECT_EQ(readHost(out / "TXT" / "Wyciąg_płac.txt"), "lista");
}

TEST_F(ZipWriterTest, EntryNamesThatCannotBeExtractedSafelyAreRefused) {
  put("a.txt", "a");
  ZipWriter zip;
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipNotOpen);
  ASSERT_TRUE(zip.open(archive_));
  for (const char* bad : {"", ".\\", "STR\\", "..\\a.txt", "STR\\..\\..\\a.txt", "STR\\\\a.txt", "./../a.txt"})
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", bad), kZipBadName) << bad;
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", ".\\STR\\a.txt"), kZipOk);
  // Windows would extract both into one file.
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "str/A.TXT"), kZipBadName);
  EXPECT_EQ(zip.entryCount(), 1u);
  EXPECT_FALSE(zip.damaged());
  ASSERT_TRUE(zip.save("x"));
  EXPECT_EQ(unzipTest().status, 0);
}

TEST_F(ZipWriterTest, UnreadableSourceFailsThatFileOnly) {
  put("a.txt", "a");
  fs::create_directories(dir_ / "katalog");
  ZipWriter zip;
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\brak.txt", "brak.txt"), kZipFileError);
  EXPECT_EQ(zip.addFile("C:\\rel\\katalog", "katalog"), kZipFileError);
  EXPECT_FALSE(zip.damaged());  // nothing was written for them
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  ASSERT_TRUE(zip.save(""));
  Entries e = entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "a.txt");
  EXPECT_EQ(e[0].fields[1], "0");  // ASCII names carry no UTF-8 flag
  EXPECT_EQ(comment_, "");
}

TEST_F(ZipWriterTest, ClosingWithoutSavingLeavesNoArchiveAndKeepsAnEarlierOne) {
  put("a.txt", "nowy");
  {
    ZipWriter zip;
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    zip.close();
    EXPECT_FALSE(zip.isOpen());
    EXPECT_FALSE(zip.save("x"));
  }
  EXPECT_FALSE(fs::exists(archiveHost()));
  EXPECT_FALSE(fs::exists(tempHost()));

  TempDriveMap::put(archiveHost(), "earlier archive");
  {
    ZipWriter zip;  // the destructor closes without saving
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  }
  EXPECT_EQ(readHost(archiveHost()), "earlier archive");
  EXPECT_FALSE(fs::exists(tempHost()));

  ZipWriter zip;  // a save replaces it whole
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  ASSERT_TRUE(zip.save("x"));
  EXPECT_EQ(unzipTest().status, 0);
}

TEST_F(ZipWriterTest, OpenRefusesWhatCannotBecomeTheArchive) {
  ZipWriter zip;
  EXPECT_FALSE(zip.open("C:\\brak\\install\\25.01.023.zip"));
  fs::create_directories(archiveHost());
  EXPECT_FALSE(zip.open(archive_));
  fs::remove(archiveHost());
  TempDriveMap::put(archiveHost(), "read-only");
  fs::permissions(archiveHost(), fs::perms::owner_read);
  EXPECT_FALSE(zip.open(archive_));
  EXPECT_FALSE(zip.isOpen());
  EXPECT_FALSE(fs::exists(tempHost()));
  EXPECT_EQ(readHost(archiveHost()), "read-only");
}

TEST_F(ZipWriterTest, FilesThatWouldNeedZip64AreRefusedBeforeAnythingIsWritten) {
  fs::path big = put("duzy.bin", "");
  fs::resize_file(big, 0x100000000ull);  // sparse: 4 GiB of nothing on disk
  put("a.txt", "a");
  ZipWriter zip;
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\duzy.bin", "duzy.bin"), kZipTooLarge);
  EXPECT_FALSE(zip.damaged());
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  EXPECT_TRUE(zip.save("x"));
  EXPECT_EQ(unzipTest().status, 0);
}

TEST_F(ZipWriterTest, OverlongCommentIsRefusedAndNothingIsLeft) {
  put("a.txt", "a");
  ZipWriter zip;
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  EXPECT_FALSE(zip.save(std::string(70000, 'x')));
  EXPECT_FALSE(fs::exists(archiveHost()));
  EXPECT_FALSE(fs::exists(tempHost()));
}

// The file size limit of the process makes the archive's writes fail part-way through an entry,
// as a full disk would.
class WriteLimit {
 public:
  explicit WriteLimit(rlim_t bytes) {
    previousSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit r = saved_;
    r.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &r);
  }
  ~WriteLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousSignal_);
  }

 private:
  struct rlimit saved_ {};
  void (*previousSignal_)(int) = nullptr;
};

TEST_F(ZipWriterTest, PartialEntryDamagesTheArchiveUntilItIsRepaired) {
  put("a.txt", std::string(1000, 'a'));
  put("szum.bin", randomBytes(300000, 3));
  put("b.txt", "b");

  ZipWriter zip;
  int repairs = 0;
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  {
    WriteLimit limit(100000);
    EXPECT_EQ(zip.addFile("C:\\rel\\szum.bin", "szum.bin"), kZipFileError);
  }
  EXPECT_TRUE(zip.damaged());
  EXPECT_EQ(zip.addFile("C:\\rel\\b.txt", "b.txt"), kZipDamaged);
  // Without a repair the damaged archive is never saved as a whole one.
  EXPECT_FALSE(zip.save("x"));
  EXPECT_FALSE(fs::exists(archiveHost()));
  EXPECT_FALSE(fs::exists(tempHost()));

  // With the handler the partial entry is cut away and the archive goes on.
  zip.onCorruption([&](ZipWriter& z) {
    ++repairs;
    return z.fix();
  });
  ASSERT_TRUE(zip.open(archive_));
  EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  {
    WriteLimit limit(100000);
    EXPECT_EQ(zip.addFile("C:\\rel\\szum.bin", "szum.bin"), kZipFileError);
  }
  EXPECT_EQ(repairs, 1);
  EXPECT_FALSE(zip.damaged());
  EXPECT_EQ(zip.addFile("C:\\rel\\b.txt", "b.txt"), kZipOk);
  ASSERT_TRUE(zip.save("x"));
  Outcome t = unzipTest();
  EXPECT_EQ(t.status, 0) << t.out;
  Entries e = entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].name, "a.txt");
  EXPECT_EQ(e[1].name, "b.txt");
}

}  // namespace
