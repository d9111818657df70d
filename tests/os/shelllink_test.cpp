#include "os/shelllink/shelllink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "runtime/codepage.h"
#include "runtime/coding.h"

namespace fs = std::filesystem;
using tav::os::ShellLink;

namespace {

// The fields lnkinfo prints, by their label.
std::map<std::string, std::string> lnkinfo(const fs::path& file) {
  std::map<std::string, std::string> fields;
  std::string cmd = "lnkinfo '" + file.string() + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(cmd.c_str(), "r"), ::pclose);
  if (!pipe) return fields;
  std::string out;
  std::array<char, 512> buf;
  while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe.get())) out.append(buf.data(), n);
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string label = line.substr(0, colon);
    label.erase(0, label.find_first_not_of(" \t"));
    label.erase(label.find_last_not_of(" \t") + 1);
    fields[label] = line.substr(colon + 2);
  }
  fields["(output)"] = out;
  return fields;
}

class ShellLinkFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-lnk-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(ShellLinkBytes, HeaderIsTheOneWindowsWrites) {
  std::string b = tav::os::encodeShellLink({"C:\\T\\tav.exe", "C:\\T\\", "/NX", "d"});
  ASSERT_GE(b.size(), 0x4Cu + 4u);
  EXPECT_EQ(tav::rt::getLE32(b.data()), 0x4Cu);
  const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  EXPECT_EQ(b.substr(4, 16), std::string(reinterpret_cast<const char*>(clsid), 16));
  // HasLinkInfo, HasName, HasWorkingDir, HasArguments, IsUnicode.
  EXPECT_EQ(tav::rt::getLE32(b.data() + 20), 0x02u | 0x04u | 0x10u | 0x20u | 0x80u);
  EXPECT_EQ(tav::rt::getLE32(b.data() + 60), 1u);  // shown normally
  EXPECT_EQ(b.substr(b.size() - 4), std::string(4, '\0'));
  // Strings that are empty have neither a flag nor a place.
  std::string bare = tav::os::encodeShellLink({"C:\\T\\tav.exe", "", "", ""});
  EXPECT_EQ(tav::rt::getLE32(bare.data() + 20), 0x02u | 0x80u);
}

TEST(ShellLinkBytes, RoundTripsLocalNetworkAndPolishPaths) {
  const ShellLink cases[] = {
      {"C:\\Tamborex\\Tav\\2025\\tav.exe", "C:\\Tamborex\\Tav\\2025\\", "/NBIURO_1",
       " Program TAV na rok 2025"},
      {"\\\\SERWER\\dane\\Tav\\tav.exe", "\\\\SERWER\\dane\\Tav\\", "", " Program TAV na rok 2024"},
      {"\\\\SERWER\\dane", "", "", ""},
      {"D:\\Ksi\xea\x67owo\\\xa3\xf3\x64\x9f\\tav.exe", "D:\\Ksi\xea\x67owo\\", "/NSTACJA",
       "Zak\xb3\x61\x64ka \xbf\xf3\xb3ta"},
      {"", "", "", ""},
  };
  for (const auto& link : cases) {
    auto back = tav::os::decodeShellLink(tav::os::encodeShellLink(link));
    ASSERT_TRUE(back) << link.target;
    EXPECT_EQ(back->target, link.target);
    EXPECT_EQ(back->workingDir, link.workingDir);
    EXPECT_EQ(back->arguments, link.arguments);
    EXPECT_EQ(back->description, link.description);
  }
}

TEST(ShellLinkBytes, DamagedLinksAreRefusedWithoutReadingPastTheEnd) {
  std::string good = tav::os::encodeShellLink(
      {"D:\\Ksi\xea\x67owo\\tav.exe", "D:\\Ksi\xea\x67owo\\", "/NSTACJA", "opis"});
  // Every truncation.
  for (size_t n = 0; n < good.size() - 4; ++n)
    EXPECT_FALSE(tav::os::decodeShellLink(good.substr(0, n))) << n;
  // A wrong class identifier.
  std::string other = good;
  other[4] ^= 1;
  EXPECT_FALSE(tav::os::decodeShellLink(other));
  // Offsets and counts pointing anywhere: each byte of LinkInfo and the strings set to 0xFF.
  for (size_t i = 0x4C; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = '\xFF';
    (void)tav::os::decodeShellLink(bad);  // must neither crash nor read out of bounds
  }
}

TEST_F(ShellLinkFiles, LnkinfoReadsTheFourValuesBack) {
  const ShellLink link{"C:\\Tamborex\\Tav\\2025\\tav.exe", "C:\\Tamborex\\Tav\\2025\\",
                       "/NBIURO_GLOWNE_2", " Program TAV na rok 2025"};
  fs::path file = dir_ / "Tav 2025.lnk";
  ASSERT_TRUE(tav::os::writeShellLink(file, link));
  auto f = lnkinfo(file);
  ASSERT_TRUE(f.count("Local path")) << f["(output)"];
  EXPECT_EQ(f["Local path"], link.target);
  EXPECT_EQ(f["Working directory"], link.workingDir);
  EXPECT_EQ(f["Command line arguments"], link.arguments);
  EXPECT_EQ(f["Description"], link.description);
  auto back = tav::os::readShellLink(file);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->target, link.target);
}

TEST_F(ShellLinkFiles, LnkinfoReadsPolishAndNetworkPathsBack) {
  const ShellLink polish{"D:\\Ksi\xea\x67owo\\\xa3\xf3\x64\x9f\\tav.exe",
                         "D:\\Ksi\xea\x67owo\\\xa3\xf3\x64\x9f\\", "", "Ksi\xea\x67owo"};
  fs::path file = dir_ / "p.lnk";
  ASSERT_TRUE(tav::os::writeShellLink(file, polish));
  auto f = lnkinfo(file);
  EXPECT_EQ(f["Local path"], "D:\\Księgowo\\Łódź\\tav.exe") << f["(output)"];
  EXPECT_EQ(f["Working directory"], "D:\\Księgowo\\Łódź\\");
  EXPECT_EQ(f["Description"], "Księgowo");
  EXPECT_EQ(f.count("Command line arguments"), 0u);

  const ShellLink network{"\\\\SERWER\\dane\\Tav\\tav.exe", "\\\\SERWER\\dane\\Tav\\", "/NX", "n"};
  ASSERT_TRUE(tav::os::writeShellLink(file, network));
  f = lnkinfo(file);
  EXPECT_EQ(f["Network path"], network.target) << f["(output)"];
  EXPECT_EQ(f["Working directory"], network.workingDir);
}

TEST_F(ShellLinkFiles, HeaderCarriesTheTargetsSizeWhenItExists) {
  fs::path target = dir_ / "tav.exe";
  { std::ofstream(target) << "0123456789"; }
  std::string winPath = tav::rt::utf8ToAnsi(target.string());  // a host path is taken as it is
  std::string b = tav::os::encodeShellLink({winPath, "", "", ""});
  EXPECT_EQ(tav::rt::getLE32(b.data() + 52), 10u);
  EXPECT_NE(tav::rt::getLE64(b.data() + 44), 0u);  // write time
}

TEST_F(ShellLinkFiles, ReadingSomethingElseFails) {
  fs::path file = dir_ / "x.lnk";
  { std::ofstream(file) << "not a link"; }
  EXPECT_FALSE(tav::os::readShellLink(file));
  EXPECT_FALSE(tav::os::readShellLink(dir_ / "missing.lnk"));
  EXPECT_FALSE(tav::os::writeShellLink(dir_ / "no" / "such" / "dir.lnk", {"C:\\a", "", "", ""}));
}

}  // namespace
