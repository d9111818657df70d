// Runs the programs of this build (mkrelease, dbftool, tav_setup) from a test, the same way on
// both platforms: the arguments are passed as they are, without a shell, and what the program
// prints on standard output and standard error is captured through a file (under Wine a pipe may be
// held open by Wine's own processes), then given back with its exit code.
//
// Invariants: the child sees exactly the arguments given (UTF-8 on Linux; on Windows each one
// quoted so that the C runtime's and CommandLineToArgvW's splitting gives it back whole); the
// capture file is gone when the call returns; the call returns only once the program has ended.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "os/wide.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace tav::testing {

// A program of this build: `buildProgram("mkrelease")` is tools/mkrelease/mkrelease(.exe) below
// the build directory, `buildProgram("tav_setup")` the tool itself.
inline std::filesystem::path buildProgram(const std::string& name) {
#ifdef _WIN32
  const std::string exe = name + ".exe";
#else
  const std::string& exe = name;
#endif
  std::filesystem::path dir = os::hostPath(TAV_BINARY_DIR);
  if (name != "tav_setup") dir = dir / "tools" / name;
  return dir / exe;
}

struct ProgramRun {
  int code = -1;       // the exit code; -1 when the program could not be started or was killed
  std::string output;  // standard output and standard error, in the order they were written
};

#ifdef _WIN32
// One argument as the Microsoft C runtime reads it back: quoted, backslashes doubled only where
// they come before a quote.
inline std::wstring quotedArgument(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}
#endif

// Runs `program` with `args` (UTF-8) in `workingDirectory` (the test's own when empty) and waits
// for it to end.
inline ProgramRun runProgram(const std::filesystem::path& program,
                             const std::vector<std::string>& args,
                             const std::filesystem::path& workingDirectory = {}) {
  namespace fs = std::filesystem;
  std::random_device seed;
  const fs::path capture =
      fs::temp_directory_path() / ("tav-run-" + std::to_string(seed()) + std::to_string(seed()));
  ProgramRun run;
#ifdef _WIN32
  std::wstring line = quotedArgument(program.native());
  for (const std::string& a : args) line += L" " + quotedArgument(os::wideFromUtf8(a));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = ::CreateFileW(capture.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = si.hStdError = out;
  PROCESS_INFORMATION pi{};
  if (out != INVALID_HANDLE_VALUE &&
      ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &si, &pi)) {
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(pi.hProcess, &code)) run.code = static_cast<int>(code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  } else {
    run.output = "cannot start " + os::utf8(program) + "\n";
  }
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
#else
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (!workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  std::vector<std::string> all{program.string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) run.code = WEXITSTATUS(status);
  } else {
    run.output = "cannot start " + program.string() + "\n";
  }
  posix_spawn_file_actions_destroy(&actions);
#endif
  std::ifstream in(capture, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  run.output += text.str();
  in.close();
  std::error_code ec;
  fs::remove(capture, ec);
  return run;
}

}  // namespace tav::testing
