// The process list the running-program check reads. Group: ProcessList. A child started here is
// found with its three names (the kernel's, the first argument as Windows shows it, the
// executable's path), its parent and its thread count: a program run by a loader is known only by
// its first argument.
#include "os/process/process_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(ProcessList, ShowsAChildWithItsThreeNames) {
  char tmpl[] = "/tmp/tav-proc-XXXXXX";
  fs::path dir = ::mkdtemp(tmpl);
  fs::path link = dir / "lista_test_xyz";
  fs::create_symlink(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", link);
  std::string a0 = "C:\\Programy\\Lista.exe", a1 = "30";
  char* argv[] = {a0.data(), a1.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, link.c_str(), nullptr, nullptr, argv, environ), 0);
  std::optional<tav::os::ProcessEntry> found;
  // A minute at most: for a child that never runs, not for a slow machine.
  for (int i = 0; i < 12000 && !(found && found->name == "lista_test_xyz"); ++i) {
    ::usleep(5000);  // until the new image is in place
    auto list = tav::os::listProcesses();
    ASSERT_TRUE(list);
    for (const auto& p : *list)
      if (p.pid == pid) found = p;
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  fs::remove_all(dir);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "lista_test_xyz");
  EXPECT_EQ(found->firstArg, "C:\\Programy\\Lista.exe");
  EXPECT_EQ(found->exeFileName(), "Lista.exe");
  EXPECT_EQ(tav::os::lastPathComponent(found->exePath), "sleep");
  EXPECT_EQ(found->parentPid, ::getpid());
  EXPECT_EQ(found->threads, 1);
}

}  // namespace
