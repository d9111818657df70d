// Stop requests from the console on Windows, under Wine: Ctrl+C reaches the run through
// SetConsoleCtrlHandler (os::StopRequests). Group: WindowsConsole. While a watch lives, Ctrl+C
// calls the run's own stop and goes no further (the process is not ended, handlers installed
// before the watch are not asked); once it ends, Ctrl+C is handled as before it began. A run of
// tav_setup.exe that gets Ctrl+C in the middle of a firm finishes that firm, stops before the next,
// says it was interrupted and leaves a database the next run finishes.
//
// The test gives itself a console of its own (a headless Wine gives one without a window), so
// that GenerateConsoleCtrlEvent reaches it and the programs it starts. Ctrl+Break and the console
// being closed cannot be made under Wine: it refuses Ctrl+Break events and sends no close event
// when the console's host process ends.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "convert/sample_trees.h"
#include "os/console.h"
#include "os/path.h"
#include "os/wide.h"
#include "support/programs.h"
#include "support/temp_drive_map.h"

#include <windows.h>

namespace fs = std::filesystem;
using namespace tav;

namespace {

// Ctrl+C as the run's stop sees it and as a handler installed before the run sees it: each
// counts its calls and says so through an event, which is what the test waits for.
std::atomic<int> gStops{0}, gEarlier{0};
HANDLE gStopped = nullptr, gEarlierCalled = nullptr;

void onStop() {
  ++gStops;
  ::SetEvent(gStopped);
}

BOOL WINAPI earlierHandler(DWORD type) {
  if (type != CTRL_C_EVENT) return FALSE;
  ++gEarlier;
  ::SetEvent(gEarlierCalled);
  return TRUE;  // the test process is not ended
}

// A console of the test's own, with a handler of its own installed first; both go afterwards.
class OwnConsole {
 public:
  OwnConsole() {
    ::FreeConsole();
    allocated_ = ::AllocConsole() != 0;
    gStopped = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    gEarlierCalled = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(earlierHandler, TRUE);
    gStops = gEarlier = 0;
  }
  ~OwnConsole() {
    ::SetConsoleCtrlHandler(earlierHandler, FALSE);
    ::CloseHandle(gStopped);
    ::CloseHandle(gEarlierCalled);
    ::FreeConsole();
  }
  bool allocated() const { return allocated_; }

 private:
  bool allocated_ = false;
};

// Waits for a state that the event signals. The bound only ends a test whose event never comes.
bool reached(HANDLE event) { return ::WaitForSingleObject(event, 120000) == WAIT_OBJECT_0; }

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(WindowsConsole, CtrlCReachesTheWatchAndOnlyWhileItLives) {
  OwnConsole console;
  ASSERT_TRUE(console.allocated());
  {
    os::StopRequests watch(onStop);
    ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ASSERT_TRUE(reached(gStopped));
    EXPECT_EQ(gStops, 1);
    // The watch answered: the handler installed before it was not asked.
    EXPECT_EQ(gEarlier, 0);
  }
  ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  ASSERT_TRUE(reached(gEarlierCalled));
  EXPECT_EQ(gEarlier, 1);
  EXPECT_EQ(gStops, 1) << "a stop came after the watch had ended";
}

// The fault seam holds the run (its main thread suspended) as the first firm's st_gn.dbf takes its
// new structure, in the middle of that firm; Ctrl+C comes while it is held, then the run goes on.
TEST(WindowsConsole, CtrlCStopsARunOfTheToolAfterTheFirmItIsConverting) {
  using tav::testing::SampleTrees;
  if (!SampleTrees::available() || !fs::exists(tav::testing::buildProgram("tav_setup")))
    GTEST_SKIP() << "mkrelease.exe and tav_setup.exe are not built";
  tav::testing::TempDriveMap map;
  const fs::path root = map.root(), release = root / "wydanie", program = root / "tav";
  SampleTrees::copy(SampleTrees::release(), release);
  SampleTrees::copy(SampleTrees::database("025.01.001", 8), root / "baza");
  SampleTrees::program(program, "25.01.001", os::fromHost(root / "baza") + "\\");
  const std::string report = os::fromHost(root / "stopped.json");

  OwnConsole console;
  ASSERT_TRUE(console.allocated());
  std::wstring line = L"tav_setup.exe 25.01.046 025.01.046 2025 --upgrade \"" + program.native() +
                      L"\" --yes --report \"" + os::wideFromOem(report) + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const fs::path errFile = root / "stderr.txt";
  HANDLE err = ::CreateFileW(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = err;
  PROCESS_INFORMATION pi{};
  // The child shares the test's console, so that Ctrl+C reaches it; the fault seam is the child's
  // alone.
  ::SetEnvironmentVariableW(L"TAV_FAULT", L"rename@~st_gn.dbf:1:stop");
  const BOOL started =
      ::CreateProcessW(tav::testing::buildProgram("tav_setup").c_str(), line.data(), nullptr,
                       nullptr, TRUE, 0, nullptr, release.c_str(), &si, &pi);
  ::SetEnvironmentVariableW(L"TAV_FAULT", nullptr);
  ::CloseHandle(err);
  ASSERT_TRUE(started);
  struct Ended {
    PROCESS_INFORMATION& pi;
    ~Ended() {  // whatever happens, the run does not stay held
      if (::WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0)
        ::TerminateProcess(pi.hProcess, 9);
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
    }
  } ended{pi};

  // Held: its main thread suspended by the seam (our own suspension count comes on top of it).
  for (;;) {
    ASSERT_NE(::WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0)
        << "the run ended before it was held:\n"
        << contents(errFile);
    const DWORD count = ::SuspendThread(pi.hThread);
    ::ResumeThread(pi.hThread);
    if (count != static_cast<DWORD>(-1) && count >= 1) break;
    ::Sleep(20);
  }
  ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  ASSERT_TRUE(reached(gEarlierCalled));  // the event has gone round the console
  ::ResumeThread(pi.hThread);
  ASSERT_EQ(::WaitForSingleObject(pi.hProcess, 600000), WAIT_OBJECT_0);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  const std::string said = contents(errFile);
  EXPECT_EQ(code, 2u) << said;
  const nlohmann::json stopped = nlohmann::json::parse(contents(os::toHost(report)));
  EXPECT_EQ(stopped["outcome"], "Instalacja przerwna na życzenie użytkownika") << said;
  EXPECT_GE(stopped["firms"].size(), 1u) << said;
  EXPECT_LT(stopped["firms"].size(), 8u) << said;

  // The next run, not stopped, finishes what the first left.
  const auto rest = tav::testing::runProgram(
      tav::testing::buildProgram("tav_setup"),
      {"25.01.046", "025.01.046", "2025", "--upgrade", os::utf8(program), "--yes"}, {}, release);
  EXPECT_EQ(rest.code, 0) << rest.output();
}
