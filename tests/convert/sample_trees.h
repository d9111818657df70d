// What the conversion and upgrade tests share: the sample release and databases written by this
// build's mkrelease, made once per test program and copied by each test that changes them, and
// snapshot(), which proves a tree untouched (no entry changed, added, removed or even rewritten).
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace tav::testing {

// Release and database trees written by the mkrelease tool of this build, made once per test
// program on a memory file system when there is one (a sample database is hundreds of indexes,
// each synced as it is written) and copied for every test that changes them.
class SampleTrees {
 public:
  static std::filesystem::path tool() {
    return std::filesystem::path(TAV_BINARY_DIR) / "tools" / "mkrelease" / "mkrelease";
  }
  static bool available() { return std::filesystem::exists(tool()); }

  // The shipped release (25.01.046 / 025.01.046).
  static const std::filesystem::path& release() {
    static const std::filesystem::path dir = make("release", "release {}");
    return dir;
  }
  // A database at `release` with `firms` firms of a few records each.
  static std::filesystem::path database(const std::string& release, int firms) {
    static std::map<std::string, std::filesystem::path> made;
    const std::string key = "db_" + release + "_" + std::to_string(firms);
    auto it = made.find(key);
    if (it != made.end()) return it->second;
    auto dir = make(key, "database {} --release " + release + " --firms " + std::to_string(firms) +
                             " --records 20 --seed 7");
    made.emplace(key, dir);
    return dir;
  }

  // A private copy of a tree below `where`.
  static std::filesystem::path copy(const std::filesystem::path& tree,
                                    const std::filesystem::path& where) {
    std::filesystem::create_directories(where);
    std::filesystem::copy(tree, where, std::filesystem::copy_options::recursive);
    return where;
  }

 private:
  struct Scratch {
    std::filesystem::path root;
    Scratch() {
      namespace fs = std::filesystem;
      fs::path base =
          fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
      root = base / ("tav_convert_trees_" + std::to_string(::getpid()));
      fs::remove_all(root);
      fs::create_directories(root);
    }
    ~Scratch() {
      std::error_code ec;
      std::filesystem::remove_all(root, ec);
    }
  };
  static std::filesystem::path make(const std::string& name, std::string args) {
    static Scratch scratch;
    std::filesystem::path dir = scratch.root / name;
    args.replace(args.find("{}"), 2, dir.string());
    int rc = std::system((tool().string() + " " + args + " > /dev/null 2>&1").c_str());
    if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 0)
      throw std::runtime_error("mkrelease " + args + " failed");
    return dir;
  }
};

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
    const std::string name = fs::relative(e.path(), dir).string();
    out[name] = e.is_directory()
                    ? "/"
                    : contents(e.path()) + "@" +
                          std::to_string(fs::last_write_time(e.path()).time_since_epoch().count());
  }
  return out;
}

}  // namespace tav::testing
