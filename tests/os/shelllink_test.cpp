// Shortcut files as the installation writes them. Group: ShellLink. The header and flags are the
// ones Windows writes; lnkinfo and our reader give back target, working directory, arguments and
// description, local, Polish and network alike, a share root keeping its backslash; a damaged or
// truncated file is refused without reading past its end.
#include "os/shelllink/shelllink.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

// The fields lnkinfo prints, by label; "(output)" holds all of it for messages.
std::map<std::string, std::string> lnkinfo(const fs::path& file) {
  std::map<std::string, std::string> fields;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      ::popen(("lnkinfo '" + file.string() + "' 2>&1").c_str(), "r"), ::pclose);
  char buf[512];
  while (pipe && std::fgets(buf, sizeof buf, pipe.get())) {
    std::string line(buf);
    fields["(output)"] += line;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string label = line.substr(0, colon);
    label.erase(0, label.find_first_not_of(" \t"));
    label.erase(label.find_last_not_of(" \t") + 1);
    fields[label] = line.substr(colon + 2);
  }
  return fields;
}

// Local, Polish (ANSI) and network targets; the last has neither arguments nor description.
const ShellLink kLinks[] = {
    {"C:\\Tamborex\\Tav\\2025\\tav.exe", "C:\\Tamborex\\Tav\\2025\\", "/NBIURO_GLOWNE_2",
     " Program TAV na rok 2025"},
    {"D:\\Ksi\xea\x67owo\\\xa3\xf3\x64\x9f\\tav.exe", "D:\\Ksi\xea\x67owo\\", "/NX",
     "Zak\xb3\x61\x64ka \xbf\xf3\xb3ta"},
    {"\\\\SERWER\\dane\\Tav\\tav.exe", "\\\\SERWER\\dane\\Tav\\", "", ""},
};

TEST(ShellLink, HeaderAndFlagsAreTheOnesWindowsWrites) {
  std::string b = tav::os::encodeShellLink(kLinks[0]);
  EXPECT_EQ(tav::rt::getLE32(b.data()), 0x4Cu);
  EXPECT_EQ(b.substr(4, 16), std::string("\x01\x14\x02\0\0\0\0\0\xC0\0\0\0\0\0\0\x46", 16));
  // HasLinkInfo, HasName, HasWorkingDir, HasArguments, IsUnicode.
  EXPECT_EQ(tav::rt::getLE32(b.data() + 20), 0x02u | 0x04u | 0x10u | 0x20u | 0x80u);
  EXPECT_EQ(tav::rt::getLE32(b.data() + 60), 1u);  // shown normally
  EXPECT_EQ(b.substr(b.size() - 4), std::string(4, '\0'));
  EXPECT_EQ(tav::rt::getLE32(tav::os::encodeShellLink(kLinks[2]).data() + 20),
            0x02u | 0x10u | 0x80u);
}

TEST(ShellLink, LnkinfoAndOurReaderGiveTheFourValuesBack) {
  char tmpl[] = "/tmp/tav-lnk-XXXXXX";
  fs::path dir = ::mkdtemp(tmpl);
  for (const auto& link : kLinks) {
    fs::path file = dir / "Tav 2025.lnk";
    ASSERT_TRUE(tav::os::writeShellLink(file, link));
    auto f = lnkinfo(file);
    const bool network = link.target.rfind("\\\\", 0) == 0;
    EXPECT_EQ(f[network ? "Network path" : "Local path"], tav::rt::ansiToUtf8(link.target))
        << f["(output)"];
    EXPECT_EQ(f["Working directory"], tav::rt::ansiToUtf8(link.workingDir));
    EXPECT_EQ(f["Command line arguments"], link.arguments);
    EXPECT_EQ(f["Description"], tav::rt::ansiToUtf8(link.description));
    auto back = tav::os::readShellLink(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->target, link.target);
    EXPECT_EQ(back->workingDir, link.workingDir);
    EXPECT_EQ(back->arguments, link.arguments);
    EXPECT_EQ(back->description, link.description);
  }
  // The header carries the target's size when the target is on this host.
  { std::ofstream(dir / "tav.exe") << "0123456789"; }
  std::string b = tav::os::encodeShellLink({(dir / "tav.exe").string(), "", "", ""});
  EXPECT_EQ(tav::rt::getLE32(b.data() + 52), 10u);
  // Anything that is not a link, or cannot be written, fails.
  { std::ofstream(dir / "x.lnk") << "not a link"; }
  EXPECT_FALSE(tav::os::readShellLink(dir / "x.lnk"));
  EXPECT_FALSE(tav::os::readShellLink(dir / "missing.lnk"));
  EXPECT_FALSE(tav::os::writeShellLink(dir / "no" / "dir.lnk", kLinks[0]));
  fs::remove_all(dir);
}

TEST(ShellLink, DamagedLinksAreRefusedWithoutReadingPastTheEnd) {
  const std::string good = tav::os::encodeShellLink(kLinks[1]);
  for (size_t n = 0; n < good.size() - 4; ++n)
    EXPECT_FALSE(tav::os::decodeShellLink(good.substr(0, n))) << n;
  std::string other = good;
  other[4] ^= 1;  // another class identifier
  EXPECT_FALSE(tav::os::decodeShellLink(other));
  // Every offset and count pointing anywhere (run under the address sanitizer too).
  for (size_t i = 0x4C; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = '\xFF';
    (void)tav::os::decodeShellLink(bad);
  }
}

}  // namespace

namespace {

TEST(ShellLink, AShareRootWithItsBackslashReadsBackWithIt) {
  for (const char* target : {"\\\\SERWER\\dane\\", "\\\\SERWER\\dane", "\\\\SERWER\\dane\\Tav\\"}) {
    auto back = tav::os::decodeShellLink(tav::os::encodeShellLink({target, "", "", ""}));
    ASSERT_TRUE(back) << target;
    EXPECT_EQ(back->target, target);
  }
}

}  // namespace
