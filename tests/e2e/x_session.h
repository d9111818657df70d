// What the screenshot tests share: an Xvfb of their own on a display number the server picks, so
// runs side by side never meet; children that end with the test even when it dies; windows found by
// title and photographed, pixels read from the photographs, and the build's artifacts directory.
#pragma once
// Helpers of the tests that run real windows on a virtual X display.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tav::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline bool onPath(const std::string& tool) {
  return run("command -v " + tool + " 2>/dev/null") != "";
}

// A child process started here and ended here, by its own id.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const fs::path& dir, const std::string& display,
        const fs::path& prefix = {}) {
    pid_ = ::fork();
    if (pid_ == 0) {
      // The child goes with the test, even when the test dies.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
      if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
      if (!prefix.empty()) ::setenv("TAV_PREFIX", prefix.c_str(), 1);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      std::freopen("/dev/null", "w", stdout);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code once the process ended within the time, else nothing.
  std::optional<int> waitExit(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(50ms);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// "srgb(r,g,b)" of a pixel of a PNG, top-left origin.
inline std::string pixel(const fs::path& png, int x, int y) {
  return run("convert " + png.string() + " -format '%[pixel:p{" + std::to_string(x) + "," +
             std::to_string(y) + "}]' info:");
}

// An Xvfb of our own; stopped with the object. The server picks a free display number itself
// and tells it through a pipe, so that test runs side by side never share a server.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    xvfb_ = run("command -v Xvfb 2>/dev/null");
    if (xvfb_.empty()) return;
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      std::freopen("/dev/null", "w", stderr);
      ::execl(xvfb_.c_str(), xvfb_.c_str(), "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
              "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (number.empty()) return;
    name_ = ":" + number;
    up_ = std::system((env() + "xdpyinfo >/dev/null 2>&1").c_str()) == 0;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool installed() const { return !xvfb_.empty(); }
  bool up() const { return up_; }
  const std::string& name() const { return name_; }
  std::string env() const { return "DISPLAY=" + name_ + " "; }
  // The id of the window whose whole title matches the pattern, once there is one. The minute it
  // waits at most is for a tool that never opens it, not for a slow machine.
  std::string window(const std::string& title) const {
    std::string id;
    for (int i = 0; i < 1200 && id.empty(); ++i) {
      id = run(env() + "xdotool search --name '^" + title + "$' 2>/dev/null | head -1");
      if (id.empty()) std::this_thread::sleep_for(50ms);
    }
    return id;
  }
  // Waits until the window is mapped and viewable: input sent before would be lost.
  bool viewable(const std::string& id) const {
    for (int i = 0; i < 1200; ++i) {
      if (run(env() + "xwininfo -id " + id).find("IsViewable") != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // The window of this title photographed once it is drawn (its corner has the dialogs' colour).
  bool shootDrawn(const std::string& title, const fs::path& png,
                  const std::function<void()>& between = {}) const {
    const std::string id = window(title);
    return !id.empty() &&
           shootPainted(
               id, png, [](const fs::path& p) { return pixel(p, 3, 3) == "srgb(208,208,167)"; },
               between);
  }
  // Photographs the window until `painted` holds for the photograph (the window has been drawn),
  // running `between` (the tool's own pending events, when it runs in this process) before each
  // look. A minute at most: that is a display that never draws, not a slow one.
  bool shootPainted(const std::string& id, const fs::path& png,
                    const std::function<bool(const fs::path&)>& painted,
                    const std::function<void()>& between = {}) const {
    for (int i = 0; i < 600; ++i) {
      if (between) between();
      if (shoot(id, png) && painted(png)) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  // A PNG of one window.
  bool shoot(const std::string& id, const fs::path& png) const {
    fs::remove(png);
    run(env() + "import -window " + id + " " + png.string());
    return fs::exists(png);
  }

 private:
  std::string xvfb_, name_;
  pid_t pid_ = -1;
  bool up_ = false;
};

inline fs::path artifacts() {
  fs::path dir = fs::path(TAV_BINARY_DIR) / "artifacts";
  fs::create_directories(dir);
  return dir;
}

}  // namespace tav::e2e
