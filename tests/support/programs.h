// Runs the programs of this build (mkrelease, dbftool, tav_setup) from a test, the same way on
// both platforms: the arguments are passed as they are, without a shell, the standard input comes
// from a file, and what the program prints on standard output and standard error is captured
// through files (under Wine a pipe may be held open by Wine's own processes), then given back with
// its exit code.
//
// Invariants: the child sees exactly the arguments given (UTF-8 on Linux; on Windows each one
// quoted so that the C runtime's and CommandLineToArgvW's splitting gives it back whole); the
// files are gone when the call returns; the call returns only once the program has ended.
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
  int code = -1;         // the exit code; -1 when the program could not be started or was killed
  std::string out, err;  // what it wrote on standard output and on standard error
  std::string output() const { return out + err; }  // both, for a failure's message
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

// Runs `program` with `args` (UTF-8), `input` on its standard input, in `workingDirectory` (the
// test's own when empty), and waits for it to end.
inline ProgramRun runProgram(const std::filesystem::path& program,
                             const std::vector<std::string>& args, const std::string& input = {},
                             const std::filesystem::path& workingDirectory = {}) {
  namespace fs = std::filesystem;
  std::random_device seed;
  const fs::path base =
      fs::temp_directory_path() / ("tav-run-" + std::to_string(seed()) + std::to_string(seed()));
  const fs::path in = fs::path(base) += ".in", out = fs::path(base) += ".out",
                 err = fs::path(base) += ".err";
  std::ofstream(in, std::ios::binary) << input;
  ProgramRun run;
#ifdef _WIN32
  std::wstring line = quotedArgument(program.native());
  for (const std::string& a : args) line += L" " + quotedArgument(os::wideFromUtf8(a));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  auto open = [&](const fs::path& p, DWORD access, DWORD disposition) {
    return ::CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         disposition, 0, nullptr);
  };
  HANDLE handles[3] = {open(in, GENERIC_READ, OPEN_EXISTING),
                       open(out, GENERIC_WRITE, CREATE_ALWAYS),
                       open(err, GENERIC_WRITE, CREATE_ALWAYS)};
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = handles[0];
  si.hStdOutput = handles[1];
  si.hStdError = handles[2];
  PROCESS_INFORMATION pi{};
  // Under Wine on a loaded machine a start fails now and then (once in some thousand starts):
  // a program that did not start is started again, a few times; only when it never starts does
  // the caller hear of each refusal's code.
  bool started = false;
  std::string refusals;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    started = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &si,
                               &pi) != 0;
    if (!started)
      refusals += "cannot start " + os::utf8(program) + " (Windows error " +
                  std::to_string(::GetLastError()) + ")\n";
  }
  if (!started) {
    run.err = refusals;
  } else {
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(pi.hProcess, &code)) run.code = static_cast<int>(code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }
  for (HANDLE h : handles)
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
#else
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    run.err = "cannot start " + program.string() + "\n";
  }
  posix_spawn_file_actions_destroy(&actions);
#endif
  auto slurp = [](const fs::path& p) {
    std::ifstream file(p, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  };
  run.out = slurp(out);
  run.err += slurp(err);
  std::error_code ec;
  for (const fs::path& p : {in, out, err}) fs::remove(p, ec);
  return run;
}

}  // namespace tav::testing
