// What the upgrade scenarios share: a scene of release, database and installed program written by
// mkrelease in a directory of its own, the real tav_setup run from the release directory, and
// the tables read back by an independent reader.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "convert/sample_trees.h"
#include "db/table_access.h"
#include "os/path.h"
#include "runtime/shared_variables.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"

namespace tav::e2e {

namespace fs = std::filesystem;
using nlohmann::json;

// The tool started inside the test's process as main() starts it before the main window: the
// drive map in `prefix`, the release as the working directory, the table settings and the three
// release arguments 25.01.046 025.01.046 2025.
inline void startToolHere(const fs::path& release, const fs::path& prefix) {
  ::setenv("TAV_PREFIX", prefix.c_str(), 1);
  tav::os::resetPathCaches();
  fs::current_path(release);
  tav::shell::DBESYS({});
  tav::rt::resetShared();
  tav::db::STARTINIT();
  auto& sv = tav::rt::shared();
  sv.wersja_p = "25.01.046";
  sv.wersja_b = "025.01.046";
  sv.roczek = "2025";
}

// The main window's own actions, without the start-up's question about running copies of TAV and
// its reading of the registry.
inline tav::shell::MainActions actionsWithoutStartup() {
  tav::shell::MainActions actions = tav::shell::defaultMainActions();
  actions.tavRunning = {};
  actions.folders = {};
  return actions;
}

inline std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// A release, a database of `firms` firms at `release` and an older program pointing at it.
struct Scene {
  fs::path root, release, baza, program, prefix;

  Scene(const std::string& name, const std::string& dbRelease, int firms) {
    root = fs::temp_directory_path() / ("tav-e2e-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(root);
    release = testing::SampleTrees::copy(testing::SampleTrees::release(), root / "release");
    baza =
        testing::SampleTrees::copy(testing::SampleTrees::database(dbRelease, firms), root / "baza");
    program = root / "program";
    prefix = root / "prefix";
    const std::string cmd = testing::SampleTrees::tool().string() + " program " + quoted(program) +
                            " --release 25.01.001 --database " + quoted(baza) + " > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("mkrelease program failed");
  }
  ~Scene() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  std::string command(const std::vector<std::string>& switches) const {
    // exec: the shell's process becomes the tool, so a signal to it reaches the tool.
    std::string c = "cd " + quoted(release) + " && exec env TAV_PREFIX=" + quoted(prefix) + " " +
                    quoted(fs::path(TAV_BINARY_DIR) / "tav_setup") + " 25.01.046 025.01.046 2025";
    for (const std::string& s : switches) c += " '" + s + "'";
    return c;
  }
};

struct RunResult {
  int code = -1;
  std::string err;
  json report;
};

// Runs tav_setup to its end; the report is read when the run wrote one. Any scene with a root
// and a command line will do.
template <class SceneType>
RunResult runTool(const SceneType& s, std::vector<std::string> switches) {
  const fs::path err = s.root / "stderr.txt";
  const fs::path report = s.root / "report.json";
  fs::remove(report);
  switches.push_back("--report");
  switches.push_back(report.string());
  const int rc = std::system((s.command(switches) + " > /dev/null 2> " + quoted(err)).c_str());
  RunResult r;
  r.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.err = testing::contents(err);
  if (fs::exists(report)) r.report = json::parse(testing::contents(report));
  return r;
}

inline RunResult upgrade(const Scene& s, bool yes = true) {
  std::vector<std::string> sw{"--upgrade", s.program.string()};
  if (yes) sw.push_back("--yes");
  return runTool(s, sw);
}

// Every table below `dir` as dbfread reads it (see dbf_tree.py).
inline json tables(const fs::path& dir) {
  const fs::path script = fs::path(TAV_SOURCE_DIR) / "tests" / "e2e" / "dbf_tree.py";
  std::string out;
  if (FILE* p = ::popen(("/usr/bin/python3 " + quoted(script) + " " + quoted(dir)).c_str(), "r")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return json::parse(out);
}

// The one record's field of a small table, trimmed.
inline std::string field(const fs::path& dbf, const std::string& name) {
  json t = tables(dbf);
  std::string key = dbf.filename().string();
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const json& r = t.at(key).at("records").at(0);
  std::string v = r.at(name).get<std::string>();
  while (!v.empty() && v.back() == ' ') v.pop_back();
  return v;
}

// Overwrites a text field of the first record in place, behind the tool's back, as another
// program might have left it.
inline void setField(const fs::path& dbf, const std::string& name, const std::string& value) {
  std::fstream f(dbf, std::ios::in | std::ios::out | std::ios::binary);
  unsigned char head[32];
  f.read(reinterpret_cast<char*>(head), 32);
  const int headerLength = head[8] | head[9] << 8;
  size_t offset = 1;  // the deletion mark
  for (int pos = 32; pos + 32 <= headerLength; pos += 32) {
    char d[32];
    f.seekg(pos);
    f.read(d, 32);
    if (d[0] == 0x0D) break;
    std::string n(d, ::strnlen(d, 11));
    const size_t length = static_cast<unsigned char>(d[16]);
    if (::strcasecmp(n.c_str(), name.c_str()) == 0) {
      std::string v = value;
      v.resize(length, ' ');
      f.seekp(static_cast<std::streamoff>(headerLength + offset));
      f.write(v.data(), static_cast<std::streamsize>(v.size()));
      return;
    }
    offset += length;
  }
  ADD_FAILURE() << name << " is not a field of " << dbf;
}

// The statuses of the report's firms, by number.
inline std::map<int, std::string> statuses(const json& report) {
  std::map<int, std::string> m;
  for (const json& f : report.at("firms"))
    m[f.at("number").get<int>()] = f.at("status").get<std::string>();
  return m;
}

}  // namespace tav::e2e
