#include "upgrade/fonts_removal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "os/fonts.h"
#include "os/path.h"

namespace fs = std::filesystem;
using tav::upgrade::USUN_FONTY;

namespace {

constexpr const char* kDir = "C:\\Tav\\czytaj.to\\";

class FontRemoval : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-fonts-XXXXXX";
    prefix_ = ::mkdtemp(tmpl);
    ::setenv("TAV_PREFIX", prefix_.c_str(), 1);
    tav::os::resetPathCaches();
    dir_ = tav::os::toHost(kDir);
    fs::create_directories(dir_);
    tav::os::setFontRemovalObserver([this](const std::string& p) { removed_.push_back(p); });
  }
  void TearDown() override {
    tav::os::setFontRemovalObserver(nullptr);
    tav::upgrade::setFileDeleter(nullptr);
    ::unsetenv("TAV_PREFIX");
    tav::os::resetPathCaches();
    fs::remove_all(prefix_);
  }
  void file(const std::string& name) { std::ofstream(dir_ / name) << name; }
  std::vector<std::string> left() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path prefix_, dir_;
  std::vector<std::string> removed_;
};

TEST_F(FontRemoval, DirectoryWithoutFontsIsLeftUntouched) {
  file("czytaj.txt");
  file("arial.ttf.old");
  USUN_FONTY(kDir);
  EXPECT_EQ(left(), (std::vector<std::string>{"arial.ttf.old", "czytaj.txt"}));
  EXPECT_TRUE(removed_.empty());
  USUN_FONTY("C:\\Tav\\brak\\");  // a directory that is not there
}

TEST_F(FontRemoval, FontsAreReleasedThenEveryFileGoes) {
  file("Arial.TTF");
  file("times.ttf");
  file("opis.txt");
  fs::create_directories(dir_ / "podkatalog");
  file("podkatalog/x.ttf");
  USUN_FONTY(kDir);
  // Released by their lower-case path, each once: nothing survived the deletion.
  EXPECT_EQ(removed_, (std::vector<std::string>{"C:\\Tav\\czytaj.to\\arial.ttf",
                                                "C:\\Tav\\czytaj.to\\times.ttf"}));
  EXPECT_EQ(left(), (std::vector<std::string>{"podkatalog"}));
  EXPECT_TRUE(fs::exists(dir_ / "podkatalog" / "x.ttf"));
}

TEST_F(FontRemoval, MoreThanThirtyFontsAreAllReleasedAndDeleted) {
  for (int i = 0; i < 45; ++i) file("font" + std::to_string(100 + i) + ".ttf");
  USUN_FONTY(kDir);
  EXPECT_EQ(removed_.size(), 45u);
  EXPECT_TRUE(left().empty());
}

TEST_F(FontRemoval, FontStillHeldIsReleasedAndDeletedOnceMore) {
  file("held.ttf");
  file("free.ttf");
  std::map<std::string, int> attempts;
  tav::upgrade::setFileDeleter([&](const std::string& path) {
    int n = ++attempts[path];
    if (path.ends_with("held.ttf") && n == 1) return false;  // the system still has it
    std::error_code ec;
    return fs::remove(tav::os::toHost(path), ec);
  });
  USUN_FONTY(kDir);
  EXPECT_EQ(removed_, (std::vector<std::string>{"C:\\Tav\\czytaj.to\\free.ttf",
                                                "C:\\Tav\\czytaj.to\\held.ttf",
                                                "C:\\Tav\\czytaj.to\\held.ttf"}));
  EXPECT_EQ(attempts[std::string(kDir) + "held.ttf"], 2);
  EXPECT_EQ(attempts[std::string(kDir) + "free.ttf"], 1);
  EXPECT_TRUE(left().empty());
}

TEST_F(FontRemoval, FontHeldForGoodIsTriedOnceMoreOnly) {
  file("held.ttf");
  int attempts = 0;
  tav::upgrade::setFileDeleter([&](const std::string&) {
    ++attempts;
    return false;
  });
  USUN_FONTY(kDir);
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(removed_.size(), 2u);
  EXPECT_EQ(left(), (std::vector<std::string>{"held.ttf"}));
}

TEST(FontTable, RemovalAlwaysSucceeds) {
  EXPECT_TRUE(tav::os::removeFontResource("C:\\Windows\\Fonts\\nic.ttf"));
  EXPECT_TRUE(tav::os::removeFontResource(""));
}

}  // namespace
