// Work in child processes, taken in the order it was started while the places of children that
// finished are reused at once. Group: ChildrenInOrder. The first child here can only finish once
// the third has started: were the children taken strictly one after another, the third would wait
// for the first's place and the first would give up.
#include "os/children_in_order.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

TEST(ChildrenInOrder, AChildStillAtWorkHoldsItsOwnPlaceOnlyAndResultsComeInOrder) {
  char tmpl[] = "/tmp/tav-children-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path thirdStarted = dir / "third started";

  tav::os::ChildrenInOrder workers(2);
  ASSERT_TRUE(workers.start([&] {
    // Bounded only so that a regression fails instead of hanging the suite.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!fs::exists(thirdStarted))
      if (std::chrono::steady_clock::now() > giveUp)
        return std::string("first gave up");
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::string("first");
  }));
  ASSERT_TRUE(workers.start([] { return std::string("second"); }));
  ASSERT_TRUE(workers.start([&] {
    std::ofstream(thirdStarted) << "x";
    return std::string("third");
  }));
  EXPECT_FALSE(workers.empty());

  for (const char* expected : {"first", "second", "third"}) {
    ASSERT_FALSE(workers.empty());
    const tav::os::ChildProcess::Result r = workers.takeOldest();
    EXPECT_TRUE(r.completed) << r.failure;
    EXPECT_EQ(r.value, expected);
  }
  EXPECT_TRUE(workers.empty());
  fs::remove_all(dir);
}

}  // namespace
