// Each screen drawn by the real window backend on a virtual X display, photographed while it
// waits for the user, and then dismissed with Esc as a person would.
#include <gtest/gtest.h>

#include <regex>

#include "dialogs/alarm.h"
#include "dialogs/edit_dialog.h"
#include "dialogs/progress_bar.h"
#include "e2e/gallery_screens.h"
#include "e2e/x_session.h"
#include "gui/application.h"
#include "gui/fltk/fltk_backend.h"
#include "install/dir_chooser.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

using namespace tav;
using namespace tav::e2e;
using namespace tav::rt::literals;

namespace {

// What the display sent (an expose, say) taken by the toolkit, and its drawing sent out: the
// window gets drawn while the tool's own loop waits for this test.
void takeDisplayEvents() {
  gui::app().backend().pump(1);
  gui::app().backend().flush();
}

// A window is drawn once its corner has the dialogs' colour.
bool drawn(const fs::path& png) { return pixel(png, 3, 3) == "srgb(208,208,167)"; }

struct Shot {
  std::string id;
  fs::path png;
};

// Photographs the window with this title once it is drawn, then presses Esc for the user.
void photographThenEsc(const VirtualDisplay& x, const std::string& title, const std::string& name,
                       Shot& out) {
  gui::app().addTimer(30, [&x, title, name, &out] {
    gui::app().backend().flush();
    out.id = x.window(title);
    out.png = artifacts() / (name + ".png");
    if (!out.id.empty()) x.shootPainted(out.id, out.png, drawn, takeDisplayEvents);
    gui::app().post({gui::EventType::Key, 0, gui::key::Esc});
  });
}

std::string sizeOf(const VirtualDisplay& x, const std::string& id) {
  std::string info = run(x.env() + "xwininfo -id " + id);
  std::smatch w, h;
  std::regex_search(info, w, std::regex("Width:\\s+(\\d+)"));
  std::string rest = info;
  std::regex_search(rest, h, std::regex("Height:\\s+(\\d+)"));
  return w[1].str() + "x" + h[1].str();
}

TEST(ScreensOnScreen, MessageBoxEntryProgressAndChooser) {
  VirtualDisplay x;
  if (!x.installed()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  for (const char* tool : {"xdotool", "xwininfo", "xdpyinfo", "import", "convert"})
    ASSERT_TRUE(onPath(tool)) << tool << " is needed (scripts/packages.txt)";
  ASSERT_TRUE(x.up());
  ::setenv("DISPLAY", x.name().c_str(), 1);
  auto real = gui::makeFltkBackend();
  ASSERT_NE(real, nullptr) << "built without FLTK, or the display does not answer";
  gui::app().setBackend(std::move(real));
  rt::resetShared();

  // The message box: size from its measured text, warning colour behind the text.
  {
    Shot s;
    photographThenEsc(x, "B.+d!", "alarm", s);  // xdotool matches the title as it reads it
    std::string text = "Nie da się utworzyć katalogu o nazwie:;*C:\\Tamborex\\Tav\\2025\\*"_oem;
    EXPECT_EQ(dialogs::ALARM({}, "6", "B", text).choice, 0);
    ASSERT_FALSE(s.id.empty());
    ASSERT_TRUE(fs::exists(s.png));
    dialogs::AlarmLayout l =
        dialogs::alarmLayout("6", text, {"Potwierdzam"_oem, "Rezygnuję"_oem}, false);
    EXPECT_EQ(sizeOf(x, s.id), std::to_string(l.window.w) + "x" + std::to_string(l.window.h));
    const int below = 20 + l.button.h;
    const int frameTop = l.window.h - (below + (l.window.h - below - l.frame.h) / 2) - l.frame.h;
    const int frameLeft = (l.window.w - l.frame.w) / 2;
    EXPECT_EQ(pixel(s.png, frameLeft + 4, frameTop + 4), "srgb(255,184,160)");
    EXPECT_EQ(pixel(s.png, 3, 3), "srgb(208,208,167)");
  }

  // A notice stays on screen while its caller works on without an event loop.
  {
    const std::string text = tav::testing::copyingNoticeText();
    dialogs::AlarmResult r = tav::testing::copyingNotice();
    ASSERT_NE(r.window, nullptr);
    std::string id = x.window("Kopiowanie");
    ASSERT_FALSE(id.empty());
    fs::path png = artifacts() / "notice.png";
    dialogs::AlarmLayout l = dialogs::alarmLayout("1", text, {}, false);
    const int frameTop = l.window.h - (l.window.h - l.frame.h) / 2 - l.frame.h;
    const int frameLeft = (l.window.w - l.frame.w) / 2;
    ASSERT_TRUE(x.shootPainted(id, png, drawn, takeDisplayEvents)) << "the notice was never drawn";
    EXPECT_EQ(pixel(png, frameLeft + 4, frameTop + 4), "srgb(208,208,167)");
    // Some text is drawn in the middle line of the frame.
    std::string row = run("convert " + png.string() + " -crop " + std::to_string(l.frame.w - 8) +
                          "x1+" + std::to_string(frameLeft + 4) + "+" +
                          std::to_string(frameTop + l.frame.h / 4) + " -format '%k' info:");
    EXPECT_NE(row, "1") << "a single colour: no text was drawn";
    r.window->destroy();
  }

  // The text entry dialog: a white field below the explanation.
  {
    Shot s;
    photographThenEsc(x, "Nowy katalog", "edit_dialog", s);
    EXPECT_EQ(dialogs::ORB_EDTSTR("NowyKatalog", 30, "Nowy katalog",
                                  "Wprowadź nazwę dla nowego katalogu"_oem),
              "");
    ASSERT_FALSE(s.id.empty());
    ASSERT_TRUE(fs::exists(s.png));
  }

  // The progress bar at 7 of 11 steps.
  {
    gui::Dialog& d = tav::testing::progressBarAt7Of11();
    auto st = dialogs::licznikState();
    std::string id = x.window("Post.+p");
    ASSERT_FALSE(id.empty());
    fs::path png = artifacts() / "progress_bar.png";
    // The bar: 12 in from the frame (20, 30), 24 high; the fill starts 2 in from its edge.
    const int barLeft = 20 + 12 + 2, barMiddle = 120 - 30 - 60 + 12 + 12 + 12;
    ASSERT_TRUE(x.shootPainted(
        id, png,
        [&](const fs::path& p) { return pixel(p, barLeft + 5, barMiddle) == "srgb(0,0,160)"; },
        takeDisplayEvents))
        << "the progress bar was never drawn";
    EXPECT_EQ(pixel(png, barLeft + 5, barMiddle), "srgb(0,0,160)");
    EXPECT_EQ(pixel(png, barLeft + st.last - 2, barMiddle), "srgb(0,0,160)");
    EXPECT_NE(pixel(png, barLeft + st.last + 10, barMiddle), "srgb(0,0,160)");
    dialogs::LICZNIK("DEL");
    d.destroy();
  }

  // The directory chooser over its own drive map.
  {
    fs::path prefix = fs::temp_directory_path() / ("tav_screens_" + std::to_string(::getpid()));
    ::setenv("TAV_PREFIX", prefix.c_str(), 1);
    os::resetPathCaches();
    fs::create_directories(os::toHost("C:\\Tamborex\\Tav\\2025"));
    Shot s;
    photographThenEsc(x, "Wybierz katalog", "dir_chooser", s);
    EXPECT_EQ(install::ORBDIRSELECT("C:\\Tamborex\\Tav\\"), "");
    ASSERT_FALSE(s.id.empty());
    ASSERT_TRUE(fs::exists(s.png));
    ::unsetenv("TAV_PREFIX");
    os::resetPathCaches();
    fs::remove_all(prefix);
  }

  gui::releaseFltkDisplay();
}

}  // namespace
