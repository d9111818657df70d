// ORB_EDTSTR, the one-line entry the directory chooser names directories with, on the headless
// backend. Group: EditDialog. A refused value flashes, beeps and keeps the dialog until it is
// corrected or given up; cancel, Esc and the close box give empty text, and an emptied field saves
// empty without asking the validation; typing stops at the buffer length; the layout follows the
// measured field, text and buttons.
#include <gtest/gtest.h>

#include "dialogs/edit_dialog.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

using namespace tav;
using namespace tav::gui;
using namespace tav::dialogs;
using namespace tav::rt::literals;

namespace {

class EditDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    hl = &useHeadless();
    prevTone = rt::setToneSink([this](double f, double t) { tones.push_back({f, t}); });
    prevSleep = rt::setSleeper([this](int h) { slept += h; });
  }
  void TearDown() override {
    rt::setToneSink(prevTone);
    rt::setSleeper(prevSleep);
    app().reset();
  }
  static Edit& field() {
    for (auto& c : topWindow()->drawingArea().children())
      if (c->kind() == Kind::Edit) return static_cast<Edit&>(*c);
    throw std::runtime_error("no field");
  }
  static void press(const char* caption) {
    Widget* b = findByCaption(*topWindow(), rt::utf8ToOem(caption));
    ASSERT_NE(b, nullptr) << caption;
    input::click(*b);
  }

  Headless* hl = nullptr;
  std::vector<std::pair<double, double>> tones;
  int slept = 0;
  rt::ToneSink prevTone;
  rt::Sleeper prevSleep;
};

TEST_F(EditDialog, EnterWithAnAcceptedValueReturnsItAtOnce) {
  std::vector<std::string> asked;
  hl->then([] {
    EXPECT_TRUE(field().hasFocus());
    EXPECT_EQ(field().text(), "NowyKatalog");
    input::press(key::End);
    input::type("2");
    input::press(key::Enter);
  });
  std::string got = ORB_EDTSTR("NowyKatalog", 100, "Nowy katalog",
                               "Wprowadź nazwę dla nowego katalogu"_oem, [&](const std::string& v) {
                                 asked.push_back(v);
                                 return true;
                               });
  EXPECT_EQ(got, "NowyKatalog2");
  EXPECT_EQ(asked, std::vector<std::string>{"NowyKatalog2"});
  EXPECT_TRUE(app().windows().empty());
  EXPECT_TRUE(tones.empty());
}

TEST_F(EditDialog, AnEmptyFieldSavesAsEmptyWithoutAskingTheValidation) {
  bool asked = false;
  hl->then([] {
    field().setText("");
    press("Zapamiętaj");
  });
  EXPECT_EQ(ORB_EDTSTR("abc", 10, {}, {},
                       [&](const std::string&) {
                         asked = true;
                         return true;
                       }),
            "");
  EXPECT_FALSE(asked);
}

TEST_F(EditDialog, RefusedValueFlashesBeepsAndKeepsTheDialogUntilEsc) {
  int asked = 0;
  hl->then([] { input::press(key::Enter); });
  hl->then([&] {
    EXPECT_EQ(asked, 1);
    ASSERT_NE(topWindow(), nullptr);              // still open
    EXPECT_EQ(field().bg(), rgb(255, 255, 255));  // colour restored after the flash
    input::press(key::Esc);
  });
  EXPECT_EQ(ORB_EDTSTR("zla", 10, {}, {},
                       [&](const std::string&) {
                         ++asked;
                         return false;
                       }),
            "");
  ASSERT_EQ(tones.size(), 1u);
  EXPECT_EQ(tones[0].first, 500);
  EXPECT_EQ(tones[0].second, 1);
  EXPECT_EQ(slept, 20);
}

TEST_F(EditDialog, RefusedThenCorrectedValueIsAccepted) {
  hl->then([] { press("Zapamiętaj"); });
  hl->then([] {
    input::click(field());  // back into the field after the button took the focus
    input::press(key::Backspace);
    input::type("b");
    press("Zapamiętaj");
  });
  EXPECT_EQ(ORB_EDTSTR("a", 10, {}, {}, [](const std::string& v) { return v == "b"; }), "b");
}

TEST_F(EditDialog, BufferLengthLimitsTyping) {
  hl->then([] {
    input::type("123456789012");
    input::press(key::Enter);
  });
  EXPECT_EQ(ORB_EDTSTR("", 8), "12345678");
}

TEST_F(EditDialog, CancelAndCloseBoxGiveEmptyText) {
  hl->then([] { press("Rezygnuję"); });
  EXPECT_EQ(ORB_EDTSTR("x", 8), "");
  hl->then([] { input::closeBox(*topWindow()); });
  EXPECT_EQ(ORB_EDTSTR("x", 8), "");
  // Esc on a button closes the dialog as well.
  hl->then([] { input::press(key::Tab); });
  hl->then([] { input::press(key::Esc); });
  EXPECT_EQ(ORB_EDTSTR("x", 8), "");
}

TEST_F(EditDialog, LaidOutFromItsMeasuredParts) {
  Dialog& over = app().createDialog(nullptr, {100, 100}, {600, 400});
  app().setMainWindow(&over);
  hl->then([&] {
    Dialog& d = *topWindow();
    EXPECT_EQ(d.title(), "Zmiana nazwy");
    EXPECT_EQ(d.icon(), 104);
    EXPECT_EQ(d.owner(), nullptr);
    EXPECT_FALSE(d.flags().resizable);
    EXPECT_NEAR(d.pos().x + d.size().w / 2.0, 400, 1);
    EXPECT_NEAR(d.pos().y + d.size().h / 2.0, 300, 1);
    Font tf;
    tf.name = "Times New Roman";
    tf.pointSize = 12;
    Size sample = app().textSize(tf, "ŹJjy"_oem);
    Edit& f = field();
    EXPECT_EQ(f.bufferLength(), 100);
    EXPECT_EQ(f.size().h, sample.h);
    EXPECT_EQ(f.size().w, 100 * (sample.w / 4));  // wider than the buttons: sets the width
    EXPECT_EQ(d.size().w, f.size().w + 28);
    Static* text = nullptr;
    for (auto& c : d.drawingArea().children())
      if (c->kind() == Kind::Static) text = static_cast<Static*>(c->children().at(0).get());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->lines(), (std::vector<std::string>{"Wprowadź nową nazwę"_oem, "dla katalogu"}));
    Widget* save = findByCaption(d, "Zapamiętaj"_oem);
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(d.size().h, text->parent()->size().h + f.size().h + save->size().h + 84);
    input::press(key::Esc);
  });
  ORB_EDTSTR("Stary", 100, "Zmiana nazwy", "Wprowadź nową nazwę;dla katalogu"_oem);
  // Without a text the window still fits both buttons.
  hl->then([&] {
    Dialog& d = *topWindow();
    Widget* cancel = findByCaption(d, "Rezygnuję"_oem);
    Widget* save = findByCaption(d, "Zapamiętaj"_oem);
    EXPECT_LT(cancel->pos().x + cancel->size().w, save->pos().x);
    EXPECT_LE(save->pos().x + save->size().w, d.size().w);
    input::press(key::Esc);
  });
  ORB_EDTSTR("", 4);
}

}  // namespace
