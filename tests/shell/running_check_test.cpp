// Whether the accounting program still runs, asked before the tool touches its files. Groups:
// RunningCheck (tav.exe in any letter case is found and its end noticed, a longer name is another
// program, one run by a loader counts by its own name) and RunningQuestion (the user asked until no
// copy runs or they give up).
#include "shell/running_check.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/clock.h"

namespace fs = std::filesystem;

namespace {

class RunningCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-run-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    previous_ = tav::rt::setSleeper([this](int h) { waits_.push_back(h); });
  }
  void TearDown() override {
    stop();
    tav::rt::setSleeper(previous_);
    fs::remove_all(dir_);
  }
  // Runs `sleep` as a program of the given file name, started as a shell starts it.
  void start(const std::string& fileName) {
    fs::path link = dir_ / fileName;
    fs::create_symlink(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", link);
    std::string a0 = fileName, a1 = "30";
    char* argv[] = {a0.data(), a1.data(), nullptr};
    ASSERT_EQ(::posix_spawn(&child_, link.c_str(), nullptr, nullptr, argv, environ), 0);
    for (int i = 0; i < 12000; ++i) {  // until the new image is in place (a minute at most)
      std::string name;
      std::getline(std::ifstream("/proc/" + std::to_string(child_) + "/comm"), name);
      if (name == fileName.substr(0, 15)) return;
      ::usleep(5000);
    }
  }
  void stop() {
    if (child_ <= 0) return;
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
    child_ = -1;
  }
  fs::path dir_;
  pid_t child_ = -1;
  std::vector<int> waits_;
  tav::rt::Sleeper previous_;
};

TEST_F(RunningCheck, RunningTavExeInAnyCaseIsFoundAndItsEndNoticed) {
  start("Tav.exe");
  EXPECT_TRUE(tav::shell::IS_TAV_RUN());
  stop();
  EXPECT_FALSE(tav::shell::IS_TAV_RUN());
  EXPECT_EQ(waits_, (std::vector<int>{50, 50}));  // half a second before each look
  start("tav.exe");
  EXPECT_TRUE(tav::shell::IS_TAV_RUN());
}

TEST_F(RunningCheck, ALongerNameIsAnotherProgram) {
  start("mytav.exe");
  EXPECT_FALSE(tav::shell::IS_TAV_RUN());
  stop();
  start("tav.exe.bak");
  EXPECT_FALSE(tav::shell::IS_TAV_RUN());
}

TEST_F(RunningCheck, AProgramRunByALoaderCountsByItsOwnName) {
  // A Windows program run by a loader shows the loader's image and its own path as argv[0].
  fs::path proc = dir_ / "proc";
  fs::create_directories(proc / "42");
  fs::create_directories(proc / "43");  // ended while the list was read: no status
  std::ofstream(proc / "42" / "status") << "Name:\twine64-preload\nPPid:\t1\nThreads:\t4\n";
  std::ofstream(proc / "42" / "cmdline") << std::string("C:\\Tav\\2025\\TAV.EXE \0/x\0", 23);
  EXPECT_TRUE(tav::shell::isTavRunning(proc));
  std::ofstream(proc / "42" / "cmdline") << std::string("C:\\Tav\\2025\\TAVX.EXE\0", 21);
  EXPECT_FALSE(tav::shell::isTavRunning(proc));
  EXPECT_FALSE(tav::shell::isTavRunning(dir_ / "no-such-proc"));  // no list: not running
}

TEST(RunningQuestion, AskedUntilNoCopyRunsOrTheUserGivesUp) {
  int looks = 0, asked = 0;
  auto runsTwice = [&] { return ++looks <= 2; };
  EXPECT_TRUE(tav::shell::waitUntilTavCloses(
      [&] {
        ++asked;
        return 1;
      },
      runsTwice));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(looks, 3);
  for (int answer : {2, 0}) {
    looks = asked = 0;
    EXPECT_FALSE(tav::shell::waitUntilTavCloses(
        [&] {
          ++asked;
          return answer;
        },
        runsTwice));
    EXPECT_EQ(asked, 1);
  }
  EXPECT_TRUE(tav::shell::waitUntilTavCloses([] { return 2; }, [] { return false; }));
}

}  // namespace
