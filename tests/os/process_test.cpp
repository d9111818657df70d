#include "os/process/process_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace fs = std::filesystem;
using tav::os::ProcessEntry;

namespace {

class ProcessList : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-proc-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  // Starts `sleep` through a link with the given file name and argv[0].
  pid_t start(const std::string& linkName, const std::string& argv0) {
    fs::path link = dir_ / linkName;
    fs::create_symlink(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", link);
    std::string a0 = argv0, a1 = "30";
    char* argv[] = {a0.data(), a1.data(), nullptr};
    if (::posix_spawn(&child_, link.c_str(), nullptr, nullptr, argv, environ) != 0) child_ = -1;
    // The new image is in place once /proc shows the new name.
    for (int i = 0; i < 200 && child_ > 0; ++i) {
      std::ifstream comm("/proc/" + std::to_string(child_) + "/comm");
      std::string name;
      std::getline(comm, name);
      if (name == linkName.substr(0, 15)) break;
      ::usleep(5000);
    }
    return child_;
  }
  fs::path dir_;
  pid_t child_ = -1;
};

TEST_F(ProcessList, ShowsAChildWithItsNames) {
  pid_t pid = start("lista_test_xyz", "C:\\Programy\\Lista.exe");
  ASSERT_GT(pid, 0);
  auto list = tav::os::listProcesses();
  ASSERT_TRUE(list);
  const ProcessEntry* found = nullptr;
  for (const auto& p : *list)
    if (p.pid == pid) found = &p;
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->name, "lista_test_xyz");
  EXPECT_EQ(found->firstArg, "C:\\Programy\\Lista.exe");
  EXPECT_EQ(found->exeFileName(), "Lista.exe");
  EXPECT_EQ(found->parentPid, ::getpid());
  EXPECT_EQ(found->threads, 1);
  EXPECT_EQ(tav::os::lastPathComponent(found->exePath), "sleep");
  // This process is there too.
  bool self = false;
  for (const auto& p : *list) self = self || p.pid == ::getpid();
  EXPECT_TRUE(self);
}

TEST_F(ProcessList, ReadsAProcessTreeAndSkipsWhatIsNotAProcess) {
  fs::path root = dir_ / "proc";
  auto process = [&](const std::string& pid, const std::string& comm, const std::string& cmdline,
                     const std::string& exe) {
    fs::create_directories(root / pid);
    std::ofstream(root / pid / "status") << "Name:\t" << comm << "\nPPid:\t1\nThreads:\t3\n";
    std::ofstream(root / pid / "comm") << comm << "\n";
    std::ofstream(root / pid / "cmdline", std::ios::binary) << cmdline;
    if (!exe.empty()) fs::create_symlink(exe, root / pid / "exe");
  };
  process("10", "wine-preload", std::string("C:\\Tav\\TAV.EXE\0/x\0", 17), "/usr/bin/wine64");
  process("11", "kworker", "", "");
  process("12", "bash", std::string("-bash\0", 6), "/usr/bin/bash");
  fs::create_directories(root / "self");
  fs::create_directories(root / "13");  // ended while the list was read: no status
  std::ofstream(root / "uptime") << "1 2\n";
  auto list = tav::os::listProcesses(root);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 3u);
  std::map<pid_t, ProcessEntry> byPid;
  for (const auto& p : *list) byPid[p.pid] = p;
  EXPECT_EQ(byPid[10].exeFileName(), "TAV.EXE");
  EXPECT_EQ(byPid[10].threads, 3);
  EXPECT_EQ(byPid[10].parentPid, 1);
  EXPECT_EQ(byPid[11].exeFileName(), "kworker");  // no argv, no executable: the kernel's name
  EXPECT_EQ(byPid[12].exeFileName(), "-bash");
  EXPECT_FALSE(tav::os::listProcesses(dir_ / "no-such-proc"));
}

TEST(ProcessNames, LastComponentInEitherNotation) {
  EXPECT_EQ(tav::os::lastPathComponent("/usr/bin/sleep"), "sleep");
  EXPECT_EQ(tav::os::lastPathComponent("C:\\Tav\\tav.exe"), "tav.exe");
  EXPECT_EQ(tav::os::lastPathComponent("tav.exe"), "tav.exe");
  EXPECT_EQ(tav::os::lastPathComponent("C:\\Tav\\"), "");
}

}  // namespace
