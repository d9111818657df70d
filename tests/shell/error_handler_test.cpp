// ERRORSYS, the handler every runtime error of the tool goes to, on the headless backend. Groups:
// ErrorHandler (division by zero, an open meeting another area's exclusive hold and an append lock
// settled without a window; any other failure shown with the buttons its answers allow, Cancel
// abandoning and OK ending the tool with exit code 1), ErrorMessage and LineSplit (the box's text).
#include <gtest/gtest.h>

#include <errno.h>

#include <cstring>

#include "engine/engine_test_util.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"
#include "shell/error_handler.h"

using namespace tav;
using namespace tav::gui;
using namespace tav::shell;
using namespace tav::rt::literals;

namespace {

class ErrorHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    hl = &useHeadless();
    previous = rt::setHandler({});
    ERRORSYS();
  }
  void TearDown() override {
    rt::setHandler(previous);
    app().reset();
  }

  static rt::Error tableError(bool retry, bool deflt) {
    rt::Error e;
    e.genCode = rt::kErrWrite;
    e.subSystem = "DBFNTX";
    e.subCode = 1011;
    e.description = "Write error";
    e.filename = "firma1\\ks.dbf";
    e.operation = "DBAPPEND";
    e.canRetry = retry;
    e.canDefault = deflt;
    return e;
  }
  // Captions of the buttons of the box on screen.
  static std::vector<std::string> shownButtons() {
    std::vector<std::string> out;
    for (auto& c : topWindow()->drawingArea().children())
      if (c->kind() == Kind::Button) out.push_back(rt::oemToUtf8(c->caption()));
    return out;
  }
  static void press(const char* caption) {
    Widget* b = findByCaption(*topWindow(), rt::utf8ToOem(caption));
    ASSERT_NE(b, nullptr) << caption;
    input::click(*b);
  }

  Headless* hl = nullptr;
  rt::Handler previous;
};

TEST_F(ErrorHandler, SettlesTheThreeQuietCasesWithoutAWindow) {
  rt::Error div;
  div.genCode = rt::kErrZeroDiv;
  rt::Answer a = rt::raise(div);  // no step queued: a shown box would starve the test
  EXPECT_EQ(a.kind, rt::Answer::Substitute);
  EXPECT_EQ(a.value.num(), 0);

  // A table another work area holds exclusively: the open fails quietly.
  test::TempDir dir;
  const std::string table = (dir.path() / "t.dbf").string();
  engine::Workspace ws;
  ASSERT_TRUE(ws.create(table, {{"NAZWA", 'C', 10, 0}}));
  ASSERT_TRUE(ws.use(table, "HOLDER", {}));
  EXPECT_FALSE(ws.use(table, "SECOND", engine::UseOptions{true, false, ""}));

  rt::Error append;
  append.genCode = rt::kErrAppendLock;
  append.canDefault = true;
  EXPECT_EQ(rt::raise(append).kind, rt::Answer::Default);
  EXPECT_TRUE(app().windows().empty());
}

TEST_F(ErrorHandler, TableFailuresThatAreNoSharingViolationAreShown) {
  test::TempDir dir;
  const std::string table = (dir.path() / "t.dbf").string();
  engine::Workspace ws;
  ASSERT_TRUE(ws.create(table, {{"NAZWA", 'C', 10, 0}}));
  ASSERT_TRUE(ws.use(table, "T", engine::UseOptions{true, false, ""}));
  std::vector<std::string> shown;
  hl->then([&] {
    shown = shownButtons();
    press("Anuluj");
  });
  // PACK needs the table exclusively: a failure, not a quiet false.
  EXPECT_THROW(ws.current()->pack(), rt::Abandon);
  EXPECT_EQ(shown, (std::vector<std::string>{"OK", "Anuluj"}));

  rt::Error denied;  // what a table open meets on a file it may not read
  denied.genCode = rt::kErrOpen;
  denied.osCode = EACCES;
  denied.canDefault = true;
  shown.clear();
  hl->then([&] {
    shown = shownButtons();
    press("Anuluj");
  });
  EXPECT_THROW(rt::raise(denied), rt::Abandon);
  EXPECT_EQ(shown, (std::vector<std::string>{"OK", "Anuluj"}));
}

TEST_F(ErrorHandler, SharingViolationWithoutADefaultIsAsked) {
  rt::Error shared;
  shared.genCode = rt::kErrShared;
  shared.canRetry = true;
  hl->then([] {
    EXPECT_EQ(shownButtons(), (std::vector<std::string>{"Ponów próbę", "Anuluj"}));
    press("Ponów próbę");
  });
  EXPECT_EQ(rt::raise(shared).kind, rt::Answer::Retry);
}

TEST_F(ErrorHandler, RetryAndDefaultOfferAbortRetryIgnore) {
  rt::Error e = tableError(true, true);
  hl->then([] {
    EXPECT_EQ(topWindow()->title(), "Runtime Error Message");
    EXPECT_EQ(shownButtons(), (std::vector<std::string>{"Przerwij", "Ponów próbę", "Ignoruj"}));
    press("Ignoruj");
  });
  rt::Answer a = rt::raise(e);
  EXPECT_EQ(a.kind, rt::Answer::Default);
  EXPECT_FALSE(a.value.log());
  hl->then([] { press("Ponów próbę"); });
  EXPECT_EQ(rt::raise(e).kind, rt::Answer::Retry);
  EXPECT_TRUE(app().windows().empty());
}

TEST_F(ErrorHandler, OnlyDefaultOffersOkAndCancelAndCancelAbandons) {
  rt::Error e = tableError(false, true);
  hl->then([] {
    EXPECT_EQ(shownButtons(), (std::vector<std::string>{"OK", "Anuluj"}));
    press("Anuluj");
  });
  bool reached = false;
  rt::Error caught;
  EXPECT_FALSE(rt::sequence(
      [&] {
        rt::raise(e);
        reached = true;
      },
      &caught));
  EXPECT_FALSE(reached);
  EXPECT_EQ(caught.operation, "DBAPPEND");
  // Closing the box is Cancel too.
  hl->then([] { input::closeBox(*topWindow()); });
  EXPECT_THROW(rt::raise(e), rt::Abandon);
}

TEST_F(ErrorHandler, OkEndsTheToolWithExitCodeOne) {
  EXPECT_EXIT(
      {
        rt::Error e = tableError(false, false);
        hl->then([] {
          if (shownButtons() == std::vector<std::string>{"OK"}) press("OK");
        });
        rt::raise(e);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        rt::Error e = tableError(false, true);
        hl->then([] { press("OK"); });
        rt::raise(e);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        rt::Error e = tableError(true, true);
        hl->then([] { press("Przerwij"); });
        rt::raise(e);
      },
      ::testing::ExitedWithCode(1), "");
}

TEST_F(ErrorHandler, OperatingSystemCodeAddsItsNumberAndText) {
  rt::Error e = tableError(true, false);
  e.osCode = 5;
  hl->then([] {
    Static* text = nullptr;
    for (auto& c : topWindow()->drawingArea().children())
      if (c->kind() == Kind::Static && static_cast<Static*>(c.get())->type() == StaticType::Text)
        text = static_cast<Static*>(c.get());
    ASSERT_NE(text, nullptr);
    auto lines = text->lines();
    auto at = std::find(lines.begin(), lines.end(), "Operating system error : 5");
    ASSERT_NE(at, lines.end());
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ(*(at + 1), std::strerror(5));
    EXPECT_EQ(lines[0], "Error DBFNTX/1011");
    press("Ponów próbę");
  });
  rt::raise(e);
}

TEST(ErrorMessage, LinesInOrderWithOptionalParts) {
  rt::Error e;
  e.subSystem = "BASE";
  e.subCode = 1068;
  e.description = "Argument error";
  e.operation = "+";
  EXPECT_EQ(ERRORMESSAGE(e),
            "Error BASE/1068;Description : Argument error;Operation : +;Thread ID : 1");
  e.severity = rt::Severity::Warning;
  e.filename = "a.dbf";
  e.operation.clear();
  e.subSystem.clear();
  EXPECT_EQ(ERRORMESSAGE(e),
            "Warning ????"
            "/1068;Description : Argument error;File : a.dbf;Thread ID : 1");
}

TEST(LineSplit, WrapsWordsTrimsAndJoins) {
  EXPECT_EQ(LINESPLIT("ala ma kota a kot ma ale", 10), "ala ma;kota a kot;ma ale");
  EXPECT_EQ(LINESPLIT("krotki", 50), "krotki");
  EXPECT_EQ(LINESPLIT("", 50), "");
  EXPECT_EQ(LINESPLIT("abcdefghijkl", 5), "abcde;fghij;kl");  // a word longer than the line is cut
  EXPECT_EQ(LINESPLIT("jeden\r\ndwa trzy   ", 50), "jeden;dwa trzy");
  std::string s =
      LINESPLIT("Table does not exist in the connection's database and cannot be opened", 50);
  size_t start = 0;
  for (size_t semi; (semi = s.find(';', start)) != std::string::npos; start = semi + 1)
    EXPECT_LE(semi - start, 50u);
}

}  // namespace
