// The real executable on a virtual X display: the main window as a person sees it.
#include <gtest/gtest.h>

#include <regex>

#include "e2e/x_session.h"

using namespace tav::e2e;

namespace {

TEST(MainWindowOnScreen, TitleSizeColourAndEscEndsWithZero) {
  VirtualDisplay x;
  if (!x.installed()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  for (const char* tool : {"xdotool", "xwininfo", "xdpyinfo", "import", "convert"})
    ASSERT_TRUE(onPath(tool)) << tool << " is needed (scripts/packages.txt)";
  ASSERT_TRUE(x.up()) << "Xvfb did not start on " << x.name();

  const fs::path binary = fs::path(TAV_BINARY_DIR) / "tav_setup";
  ASSERT_TRUE(fs::exists(binary)) << binary;
  const fs::path release =
      fs::temp_directory_path() / ("tav_release_" + std::to_string(::getpid()));
  fs::create_directories(release / "str");
  fs::create_directories(release / "txt");

  // Its own drive map and registry, so that the run leaves the user's alone.
  Child tool({binary.string(), "25.01.023", "025.01.023", "2025"}, release, x.name(),
             release / "prefix");
  const std::string title = "Instalacja programu TAV wersja 25.01.023";
  const std::string id = x.window(title);
  ASSERT_FALSE(id.empty()) << "no main window appeared";

  EXPECT_EQ(run(x.env() + "xdotool getwindowname " + id), title);
  const std::string info = run(x.env() + "xwininfo -id " + id);
  auto field = [&](const char* name) {
    std::smatch m;
    std::regex re(std::string(name) + ":\\s+(-?\\d+)");
    return std::regex_search(info, m, re) ? std::stoi(m[1]) : -1;
  };
  EXPECT_EQ(field("Width"), 630);
  EXPECT_EQ(field("Height"), 260);
  EXPECT_EQ(field("Absolute upper-left X"), (1024 - 630) / 2);  // centred on the desktop
  EXPECT_EQ(field("Absolute upper-left Y"), (768 - 260) / 2);

  const fs::path shot = artifacts() / "main_window.png";
  // Photographed once drawn: the drawing area's colour in its corner.
  ASSERT_TRUE(x.shootPainted(id, shot, [](const fs::path& png) {
    return pixel(png, 4, 4) == "srgb(208,208,167)";
  })) << "the main window was never drawn";
  // Corners of the drawing area, beside the buttons and the logo.
  for (auto [px, py] : {std::pair{4, 4}, std::pair{625, 255}, std::pair{300, 250}})
    EXPECT_EQ(pixel(shot, px, py), "srgb(208,208,167)") << px << "," << py;
  // The buttons are drawn: the face colour inside the bottom one, beside its caption.
  EXPECT_NE(pixel(shot, 36, 260 - 30 - 15), "srgb(208,208,167)");

  run(x.env() + "xdotool windowfocus --sync " + id + " key Escape");
  auto code = tool.waitExit(60s);
  ASSERT_TRUE(code.has_value()) << "Esc did not end the tool";
  EXPECT_EQ(*code, 0);
  fs::remove_all(release);
}

// The keys and the mouse of a real display reach the buttons: arrows walk up to "Zakończ
// instalację" and Enter presses it; a click on it does the same.
TEST(MainWindowOnScreen, EndButtonByKeysAndByMouse) {
  VirtualDisplay x;
  if (!x.installed()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  ASSERT_TRUE(x.up());
  const fs::path binary = fs::path(TAV_BINARY_DIR) / "tav_setup";
  const fs::path release =
      fs::temp_directory_path() / ("tav_release_keys_" + std::to_string(::getpid()));
  fs::create_directories(release);
  const std::string title = "Instalacja programu TAV wersja 25.01.023";
  {
    Child tool({binary.string(), "25.01.023", "025.01.023", "2025"}, release, x.name(),
               release / "prefix");
    const std::string id = x.window(title);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(x.viewable(id));
    run(x.env() + "xdotool windowfocus --sync " + id + " key Up key Left");
    std::this_thread::sleep_for(300ms);
    ASSERT_FALSE(tool.waitExit(10ms).has_value()) << "moving the focus must not end the tool";
    run(x.env() + "xdotool key Return");
    auto code = tool.waitExit(60s);
    ASSERT_TRUE(code.has_value()) << "Enter on the end button did not end the tool";
    EXPECT_EQ(*code, 0);
  }
  {
    Child tool({binary.string(), "25.01.023", "025.01.023", "2025"}, release, x.name(),
               release / "prefix");
    const std::string id = x.window(title);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(x.viewable(id));
    // The top button: x 30..282, 210..240 from the bottom of the 260 high window.
    run(x.env() + "xdotool mousemove --window " + id + " 150 35 click 1");
    auto code = tool.waitExit(60s);
    ASSERT_TRUE(code.has_value()) << "a click on the end button did not end the tool";
    EXPECT_EQ(*code, 0);
  }
  fs::remove_all(release);
}

}  // namespace
