// Reads the process list from /proc. A process may end between the directory listing and the
// reading of its files; such a process is skipped, never an error.

#include "os/process/process_list.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tav::os {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return std::nullopt;
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool allDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// "Name:", "PPid:" and "Threads:" lines of /proc/<pid>/status.
void readStatus(const std::string& text, ProcessEntry& e) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto value = [&](std::string_view key) -> std::optional<std::string> {
      if (line.rfind(key, 0) != 0) return std::nullopt;
      size_t start = line.find_first_not_of(" \t", key.size());
      return start == std::string::npos ? std::string() : line.substr(start);
    };
    if (auto v = value("Name:"))
      e.name = *v;
    else if (auto v2 = value("PPid:"))
      e.parentPid = static_cast<pid_t>(std::atoi(v2->c_str()));
    else if (auto v3 = value("Threads:"))
      e.threads = std::atoi(v3->c_str());
  }
}

}  // namespace

std::optional<std::vector<ProcessEntry>> listProcesses(const fs::path& procRoot) {
  std::error_code ec;
  fs::directory_iterator it(procRoot, ec);
  if (ec) return std::nullopt;
  std::vector<ProcessEntry> out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string pidText = it->path().filename().string();
    if (!allDigits(pidText)) continue;
    ProcessEntry e;
    e.pid = static_cast<pid_t>(std::atoi(pidText.c_str()));
    auto status = slurp(it->path() / "status");
    if (!status) continue;  // ended meanwhile
    readStatus(*status, e);
    if (auto comm = slurp(it->path() / "comm")) {
      if (!comm->empty() && comm->back() == '\n') comm->pop_back();
      if (!comm->empty()) e.name = *comm;
    }
    if (auto cmdline = slurp(it->path() / "cmdline"))
      e.firstArg = cmdline->substr(0, cmdline->find('\0'));
    std::error_code linkError;
    fs::path exe = fs::read_symlink(it->path() / "exe", linkError);
    if (!linkError) e.exePath = exe.string();
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace tav::os
