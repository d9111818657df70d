// The real executable on a virtual X display: the main window as a person sees it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool onPath(const std::string& tool) { return run("command -v " + tool + " 2>/dev/null") != ""; }

// A child process started here and ended here, by its own id.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const fs::path& dir, const std::string& display,
        const fs::path& prefix = {}) {
    pid_ = ::fork();
    if (pid_ == 0) {
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

TEST(MainWindowOnScreen, TitleSizeColourAndEscEndsWithZero) {
  const std::string xvfb = run("command -v Xvfb 2>/dev/null");
  if (xvfb.empty()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  for (const char* tool : {"xdotool", "xwininfo", "xdpyinfo", "import", "convert"})
    ASSERT_TRUE(onPath(tool)) << tool << " is needed (scripts/packages.txt)";

  const fs::path binary = fs::path(TAV_BINARY_DIR) / "tav_setup";
  ASSERT_TRUE(fs::exists(binary)) << binary;
  const fs::path artifacts = fs::path(TAV_BINARY_DIR) / "artifacts";
  fs::create_directories(artifacts);
  const fs::path release = fs::temp_directory_path() / ("tav_release_" + std::to_string(::getpid()));
  fs::create_directories(release / "str");
  fs::create_directories(release / "txt");

  // A display number of our own, free of other runs.
  int number = 70 + ::getpid() % 200;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock"))
    ++number;
  const std::string display = ":" + std::to_string(number);
  Child server({xvfb, display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {}, {});
  const std::string env = "DISPLAY=" + display + " ";
  // The socket appears before the server takes clients; ask the server itself.
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    up = std::system((env + "xdpyinfo >/dev/null 2>&1").c_str()) == 0;
    if (!up) std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(up) << "Xvfb did not start on " << display;

  // Its own drive map and registry, so that the run leaves the user's alone.
  Child tool({binary.string(), "25.01.023", "025.01.023", "2025"}, release, display, release / "prefix");
  const std::string title = "Instalacja programu TAV wersja 25.01.023";
  std::string id;
  for (int i = 0; i < 200 && id.empty(); ++i) {
    id = run(env + "xdotool search --name '^" + title + "$' 2>/dev/null | head -1");
    if (id.empty()) std::this_thread::sleep_for(50ms);
  }
  ASSERT_FALSE(id.empty()) << "no main window appeared";
  std::this_thread::sleep_for(500ms);  // let it paint

  EXPECT_EQ(run(env + "xdotool getwindowname " + id), title);
  const std::string info = run(env + "xwininfo -id " + id);
  auto field = [&](const char* name) {
    std::smatch m;
    std::regex re(std::string(name) + ":\\s+(-?\\d+)");
    return std::regex_search(info, m, re) ? std::stoi(m[1]) : -1;
  };
  const int w = field("Width"), h = field("Height"), x = field("Absolute upper-left X"),
            y = field("Absolute upper-left Y");
  EXPECT_EQ(w, 630);
  EXPECT_EQ(h, 260);
  EXPECT_EQ(x, (1024 - 630) / 2);  // centred on the desktop
  EXPECT_EQ(y, (768 - 260) / 2);

  const fs::path shot = artifacts / "main_window.png";
  fs::remove(shot);
  run(env + "import -window root " + (artifacts / "screen.png").string());
  run("convert " + (artifacts / "screen.png").string() + " -crop " + std::to_string(w) + "x" + std::to_string(h) +
      "+" + std::to_string(x) + "+" + std::to_string(y) + " +repage " + shot.string());
  ASSERT_TRUE(fs::exists(shot));
  auto pixel = [&](int px, int py) {
    return run("convert " + shot.string() + " -format '%[pixel:p{" + std::to_string(px) + "," + std::to_string(py) +
               "}]' info:");
  };
  // Corners of the drawing area, beside the buttons and the logo.
  for (auto [px, py] : {std::pair{4, 4}, std::pair{625, 255}, std::pair{300, 250}})
    EXPECT_EQ(pixel(px, py), "srgb(208,208,167)") << px << "," << py;
  // The focused button is drawn there: something other than the background at its centre row.
  EXPECT_NE(pixel(40, 260 - 120 - 15), "srgb(208,208,167)");

  run(env + "xdotool windowfocus --sync " + id + " key Escape");
  auto code = tool.waitExit(10s);
  ASSERT_TRUE(code.has_value()) << "Esc did not end the tool";
  EXPECT_EQ(*code, 0);
  fs::remove_all(release);
}

}  // namespace
