// USUN_FONTY on the program's czytaj.to\ directory. Group: FontRemoval. A font the system still has
// loaded keeps its file, so every font there, however many, is released once and then every file
// deleted; a font still held after that is released and tried once more, then left. A directory
// without fonts, and the subdirectories of one with them, are left untouched.
#include "convert/fonts_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "os/fonts.h"
#include "os/path.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using tav::convert::USUN_FONTY;
using Names = std::vector<std::string>;

namespace {

constexpr const char* kDir = "C:\\Tav\\czytaj.to\\";

class FontRemoval : public ::testing::Test {
 protected:
  FontRemoval() {
    fs::create_directories(dir_);
    tav::os::setFontRemovalObserver([this](const std::string& p) { released_.push_back(p); });
  }
  ~FontRemoval() override {
    tav::os::setFontRemovalObserver(nullptr);
    tav::convert::setFileDeleter(nullptr);
  }
  void file(const std::string& name) { std::ofstream(dir_ / name) << name; }
  Names left() const {
    Names names;
    for (const auto& e : fs::directory_iterator(dir_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  tav::testing::TempDriveMap map_;
  const fs::path dir_ = tav::os::toHost(kDir);
  Names released_;
};

TEST_F(FontRemoval, WithoutFontsNothingIsTouched) {
  file("czytaj.txt");
  file("arial.ttf.old");
  USUN_FONTY(kDir);
  USUN_FONTY("C:\\Tav\\brak\\");
  EXPECT_EQ(left(), (Names{"arial.ttf.old", "czytaj.txt"}));
  EXPECT_TRUE(released_.empty());
}

TEST_F(FontRemoval, FontsAreReleasedThenEveryFileGoes) {
  file("Arial.TTF");
  file("times.ttf");
  file("opis.txt");
  fs::create_directories(dir_ / "podkatalog");
  file("podkatalog/x.ttf");
  for (int i = 0; i < 40; ++i) file("font" + std::to_string(100 + i) + ".ttf");  // beyond 30
  USUN_FONTY(kDir);
  // Each released once, by its lower-case path: nothing survived the deletion.
  ASSERT_EQ(released_.size(), 42u);
  EXPECT_EQ(released_[0], "C:\\Tav\\czytaj.to\\arial.ttf");
  EXPECT_EQ(released_[41], "C:\\Tav\\czytaj.to\\times.ttf");
  EXPECT_EQ(left(), (Names{"podkatalog"}));  // directories are not entered
  EXPECT_TRUE(fs::exists(dir_ / "podkatalog" / "x.ttf"));
}

TEST_F(FontRemoval, FontStillHeldIsReleasedAndDeletedOnceMore) {
  file("held.ttf");
  file("free.ttf");
  file("stuck.ttf");
  std::map<std::string, int> attempts;
  tav::convert::setFileDeleter([&](const std::string& path) {
    int n = ++attempts[path];
    if (path.ends_with("stuck.ttf") || (path.ends_with("held.ttf") && n == 1)) return false;
    std::error_code ec;
    return fs::remove(tav::os::toHost(path), ec);
  });
  USUN_FONTY(kDir);
  EXPECT_EQ(released_, (Names{"C:\\Tav\\czytaj.to\\free.ttf", "C:\\Tav\\czytaj.to\\held.ttf",
                              "C:\\Tav\\czytaj.to\\stuck.ttf", "C:\\Tav\\czytaj.to\\held.ttf",
                              "C:\\Tav\\czytaj.to\\stuck.ttf"}));
  EXPECT_EQ(attempts, (std::map<std::string, int>{{std::string(kDir) + "free.ttf", 1},
                                                  {std::string(kDir) + "held.ttf", 2},
                                                  {std::string(kDir) + "stuck.ttf", 2}}));
  EXPECT_EQ(left(), (Names{"stuck.ttf"}));  // held for good: tried once more, then left
}

}  // namespace
