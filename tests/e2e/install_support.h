// What the first-installation scenarios share: a release copied from mkrelease's in a directory
// of their own, databases and programs written beside it on demand, tav_setup run from the
// release directory, and the hash of a tree to prove a refusal changed nothing.
#pragma once
#include "e2e/upgrade_support.h"

namespace tav::e2e {

struct InstallScene {
  fs::path root, release, prefix;

  explicit InstallScene(const std::string& name) {
    root =
        fs::temp_directory_path() / ("tav-e2e-install-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(root);
    release = testing::SampleTrees::copy(testing::SampleTrees::release(), root / "release");
    prefix = root / "prefix";
  }
  ~InstallScene() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  InstallScene(const InstallScene&) = delete;
  InstallScene& operator=(const InstallScene&) = delete;

  // A database written by mkrelease below the scene.
  fs::path database(const std::string& name, const std::string& dbRelease, int firms,
                    const std::string& year = "2025") const {
    const fs::path dir = root / name;
    mkrelease("database " + quoted(dir) + " --release " + dbRelease + " --firms " +
              std::to_string(firms) + " --records 20 --seed 7 --year " + year);
    return dir;
  }
  // An installed program of `release` and `year` whose baza.dbf names `database`.
  fs::path program(const std::string& name, const std::string& programRelease,
                   const fs::path& database, const std::string& year = "2025") const {
    const fs::path dir = root / name;
    mkrelease("program " + quoted(dir) + " --release " + programRelease + " --database " +
              quoted(database) + " --year " + year);
    return dir;
  }

  std::string command(const std::vector<std::string>& switches) const {
    std::string c = "cd " + quoted(release) + " && exec env TAV_PREFIX=" + quoted(prefix) + " " +
                    quoted(fs::path(TAV_BINARY_DIR) / "tav_setup") + " 25.01.046 025.01.046 2025";
    for (const std::string& s : switches) c += " '" + s + "'";
    return c;
  }

  RunResult install(const fs::path& program, const fs::path& database,
                    std::vector<std::string> more = {"--yes"}) const {
    std::vector<std::string> sw{"--install", program.string(), database.string()};
    sw.insert(sw.end(), more.begin(), more.end());
    return runTool(*this, sw);
  }

 private:
  static void mkrelease(const std::string& args) {
    const std::string cmd =
        testing::SampleTrees::tool().string() + " " + args + " > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("mkrelease " + args + " failed");
  }
};

// A tree's state, or "absent" when it is not there: equal states mean nothing was written.
inline std::map<std::string, std::string> treeState(const fs::path& dir) {
  if (!fs::exists(dir)) return {{"", "absent"}};
  return testing::snapshot(dir);
}

inline std::string runShell(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

}  // namespace tav::e2e
