// The scene most tests of files stand on: a drive map of the test's own, so no test reaches the
// machine's prefix or another test's files, and every pause recorded instead of slept, so retry
// counts are checked and no test waits for time.
#pragma once
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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
    std::string tmpl = (fs::temp_directory_path() / "tav-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    root_ = fs::canonical(tmpl);
    savedCwd_ = fs::current_path();
    if (const char* p = std::getenv("TAV_PREFIX")) savedPrefix_ = p;
    ::setenv("TAV_PREFIX", (root_ / "prefix").c_str(), 1);
    os::resetPathCaches();
    previousSleeper_ = rt::setSleeper([this](int h) { pauses_.push_back(h); });
  }
  ~TempDriveMap() {
    std::error_code ec;
    rt::setSleeper(std::move(previousSleeper_));
    std::filesystem::current_path(savedCwd_, ec);
    if (savedPrefix_)
      ::setenv("TAV_PREFIX", savedPrefix_->c_str(), 1);
    else
      ::unsetenv("TAV_PREFIX");
    os::resetPathCaches();
    std::filesystem::remove_all(root_, ec);
  }
  TempDriveMap(const TempDriveMap&) = delete;
  TempDriveMap& operator=(const TempDriveMap&) = delete;

  const std::filesystem::path& root() const { return root_; }  // the temporary directory
  std::filesystem::path prefix() const { return root_ / "prefix"; }
  // C: on the host; the prefix is made when asked for.
  std::filesystem::path driveC() const {
    os::prefixDir();
    return prefix() / "drive_c";
  }
  std::vector<int>& pauses() { return pauses_; }

  // Writes a host file (parents made), for setting up a scene behind the tool's back.
  static void put(const std::filesystem::path& p, const std::string& content = "x") {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  // Whether the temporary directory's file system keeps user extended attributes.
  bool xattrsWork() const {
    auto probe = root_ / ".xattr-probe";
    put(probe);
    bool ok = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    std::filesystem::remove(probe);
    return ok;
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path savedCwd_;
  std::optional<std::string> savedPrefix_;
  rt::Sleeper previousSleeper_;
  std::vector<int> pauses_;
};

}  // namespace tav::testing
