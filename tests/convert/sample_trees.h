// What the conversion and upgrade tests share: the sample release and databases written by this
// build's mkrelease (mkrelease.exe under Wine), made once per test program and copied by each test
// that changes them, and snapshot(), which proves a tree untouched (no entry changed, added,
// removed or even rewritten).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "os/wide.h"
#include "runtime/codepage.h"
#include "support/programs.h"

namespace tav::testing {

// Release and database trees written by the mkrelease tool of this build, made once per test
// program on a memory file system when there is one (a sample database is hundreds of indexes,
// each synced as it is written) and copied for every test that changes them.
class SampleTrees {
 public:
  static std::filesystem::path tool() { return buildProgram("mkrelease"); }
  static bool available() { return std::filesystem::exists(tool()); }

  // The shipped release (25.01.046 / 025.01.046).
  static const std::filesystem::path& release() {
    static const std::filesystem::path dir = make("release", {"release", "{}"});
    return dir;
  }
  // A database at `release` with `firms` firms of a few records each.
  static std::filesystem::path database(const std::string& release, int firms) {
    static std::map<std::string, std::filesystem::path> made;
    const std::string key = "db_" + release + "_" + std::to_string(firms);
    auto it = made.find(key);
    if (it != made.end()) return it->second;
    auto dir = make(key, {"database", "{}", "--release", release, "--firms", std::to_string(firms),
                          "--records", "20", "--seed", "7"});
    made.emplace(key, dir);
    return dir;
  }
  // An installed program of `programRelease` in `dir`, whose records name `database` (a Windows
  // path, 852) as its database.
  static void program(const std::filesystem::path& dir, const std::string& programRelease,
                      const std::string& database) {
    const ProgramRun run =
        runProgram(tool(), {"program", os::utf8(dir), "--release", programRelease, "--database",
                            rt::oemToUtf8(database)});
    ASSERT_EQ(run.code, 0) << run.output();
  }

  // A private copy of a tree below `where`; a file already there is an error.
  static std::filesystem::path copy(const std::filesystem::path& tree,
                                    const std::filesystem::path& where) {
    namespace fs = std::filesystem;
    fs::create_directories(where);
    // Entry by entry: on Windows the library's recursive copy takes an existing directory on the
    // same drive for the source itself (it compares inode numbers, which Windows does not give)
    // and refuses it.
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
      const fs::path to = where / fs::relative(e.path(), tree);
      if (e.is_directory())
        fs::create_directories(to);
      else
        fs::copy_file(e.path(), to);
    }
    return where;
  }

 private:
  struct Scratch {
    std::filesystem::path root;
    Scratch() {
      namespace fs = std::filesystem;
#ifdef _WIN32
      // Under Wine, Linux's memory file system is reached through drive Z:.
      const fs::path wineShm = L"Z:\\dev\\shm";
      std::error_code shm;
      const fs::path base = fs::is_directory(wineShm, shm) ? wineShm : fs::temp_directory_path();
#else
      const fs::path base =
          fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
#endif
      std::random_device seed;
      for (;;) {
        root = base / ("tav_convert_trees_" + std::to_string(seed()));
        std::error_code ec;
        if (fs::create_directory(root, ec)) break;
      }
    }
    ~Scratch() {
      std::error_code ec;
      std::filesystem::remove_all(root, ec);
    }
  };
  // Runs mkrelease with `args`, "{}" standing for the tree's directory.
  static std::filesystem::path make(const std::string& name, std::vector<std::string> args) {
    static Scratch scratch;
    std::filesystem::path dir = scratch.root / name;
    for (std::string& a : args)
      if (a == "{}") a = os::utf8(dir);
    const ProgramRun run = runProgram(tool(), args);
    if (run.code != 0)
      throw std::runtime_error("mkrelease " + args.front() + " " + name +
                               " failed: " + run.output());
    return dir;
  }
};

// Copies a file over another. Not by the library's overwrite_existing: on Windows it takes any two
// files of one drive for the same file and refuses.
inline void copyOver(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::remove(to);
  std::filesystem::copy_file(from, to);
}

inline std::string contents(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every entry below a directory with its bytes and modification time: equal snapshots mean
// nothing was changed, added, removed or even rewritten.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string name = os::utf8(fs::relative(e.path(), dir));
#ifdef _WIN32
    std::replace(name.begin(), name.end(), '\\', '/');  // the names read as on Linux
#endif
    out[name] = e.is_directory()
                    ? "/"
                    : contents(e.path()) + "@" +
                          std::to_string(fs::last_write_time(e.path()).time_since_epoch().count());
  }
  return out;
}

}  // namespace tav::testing
