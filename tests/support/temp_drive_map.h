// The scene most tests of files stand on: a drive map of the test's own, so no test reaches the
// machine's prefix or another test's files, and every pause recorded instead of slept, so retry
// counts are checked and no test waits for time.
#pragma once
// TempDriveMap: a drive C: of its own for one test. On Linux a fresh TAV_PREFIX whose drive map
// leads C: into a temporary directory; on Windows (under Wine) C: is the system's own, and what a
// test made at its root is taken away when the test ends. Either way the working directory and
// the sleeper come back afterwards, and pauses are recorded instead of slept.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "os/path.h"
#include "runtime/clock.h"

namespace tav::testing {

// A drive map of its own for one test: a fresh TAV_PREFIX in a temporary directory, with the
// working directory, TAV_PREFIX and the sleeper put back afterwards. Pauses are recorded instead
// of slept.
class TempDriveMap {
 public:
  TempDriveMap() {
    namespace fs = std::filesystem;
    std::random_device seed;
#ifdef _WIN32
    // On C:'s root, beside what the test makes there, and short: the tool's paths name it in
    // fields of a fixed width.
    for (const auto& e : fs::directory_iterator(driveC())) before_.insert(e.path());
    const fs::path base = driveC();
#else
    const fs::path base = fs::temp_directory_path();
#endif
    for (;;) {
      root_ = base / ("tav-test-" + std::to_string(seed() % 1000000));
      std::error_code ec;
      if (fs::create_directory(root_, ec)) break;
    }
    root_ = fs::canonical(root_);
    savedCwd_ = fs::current_path();
#ifndef _WIN32
    if (const char* p = std::getenv("TAV_PREFIX")) savedPrefix_ = p;
    ::setenv("TAV_PREFIX", (root_ / "prefix").c_str(), 1);
#endif
    os::resetPathCaches();
    previousSleeper_ = rt::setSleeper([this](int h) { pauses_.push_back(h); });
  }
  ~TempDriveMap() {
    std::error_code ec;
    rt::setSleeper(std::move(previousSleeper_));
    std::filesystem::current_path(savedCwd_, ec);
#ifdef _WIN32
    for (const auto& e : std::filesystem::directory_iterator(driveC(), ec))
      if (!before_.count(e.path())) {
        std::filesystem::permissions(e.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(e.path(), ec);
      }
#else
    if (savedPrefix_)
      ::setenv("TAV_PREFIX", savedPrefix_->c_str(), 1);
    else
      ::unsetenv("TAV_PREFIX");
#endif
    os::resetPathCaches();
    std::filesystem::remove_all(root_, ec);
  }
  TempDriveMap(const TempDriveMap&) = delete;
  TempDriveMap& operator=(const TempDriveMap&) = delete;

  const std::filesystem::path& root() const { return root_; }  // the temporary directory
  std::filesystem::path prefix() const { return root_ / "prefix"; }
  // C: on the host; the prefix is made when asked for.
  std::filesystem::path driveC() const {
#ifdef _WIN32
    return std::filesystem::path(L"C:\\");
#else
    os::prefixDir();
    return prefix() / "drive_c";
#endif
  }
  std::vector<int>& pauses() { return pauses_; }

  // The Windows path, with its backslash, that reaches the host directory `target` as a drive of
  // its own would: on Linux `letter` is mapped onto it and "D:\\" comes back; on Windows, whose
  // drives are the system's, the directory's own path does ("C:\\tav-test-1\\").
  static std::string drive(char letter, const std::filesystem::path& target) {
#ifdef _WIN32
    (void)letter;
    return os::fromHost(target) + "\\";
#else
    EXPECT_TRUE(os::mapDrive(letter, target)) << target;
    return std::string(1, letter) + ":\\";
#endif
  }

  // Writes a host file (parents made), for setting up a scene behind the tool's back.
  static void put(const std::filesystem::path& p, const std::string& content = "x") {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  // Whether the temporary directory's file system keeps user extended attributes.
  bool xattrsWork() const {
#ifdef _WIN32
    return false;
#else
    auto probe = root_ / ".xattr-probe";
    put(probe);
    bool ok = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    std::filesystem::remove(probe);
    return ok;
#endif
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path savedCwd_;
  std::optional<std::string> savedPrefix_;
  std::set<std::filesystem::path> before_;  // Windows: what C:\ held before the test
  rt::Sleeper previousSleeper_;
  std::vector<int> pauses_;
};

}  // namespace tav::testing
