// Child processes by fork (os/child_process.h): the child starts as a copy of the run, with its
// tables, shared variables and the lock on the database as they stood.
#include "os/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tav::os {

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string readAll(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// What the child wrote on standard error, read back from the file it went to.
std::string heldOutput(FILE* held) {
  std::fflush(stderr);
  std::string out;
  if (!held || std::fseek(held, 0, SEEK_SET) != 0) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, held)) > 0) out.append(buf, n);
  return out;
}

}  // namespace

bool childProcessesSupported() { return true; }

std::optional<ChildProcess> ChildProcess::start(const std::function<std::string()>& work) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return std::nullopt;
  // Output the parent has buffered must not be written a second time by the child.
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    // A run killed outright takes its workers with it: a worker left on its own would keep the
    // database's lock, and the rerun would be refused until it ended. Killed mid-firm, a worker
    // leaves what a killed run leaves, which the next run finishes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(4);
    ::close(pipeFds[0]);
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    FILE* held = std::tmpfile();
    if (held) ::dup2(::fileno(held), STDERR_FILENO);
    std::string value, message;
    bool returned = false;
    try {
      value = work();
      returned = true;
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      message = "the work stopped at something it could not handle";
    }
    std::string sent;
    putField(sent, returned ? "1" : "0");
    putField(sent, returned ? value : message);
    putField(sent, heldOutput(held));
    ::_exit(writeAll(pipeFds[1], sent.data(), sent.size()) ? 0 : 3);
  }
  ::close(pipeFds[1]);
  return ChildProcess(static_cast<intptr_t>(pid), pipeFds[0]);
}

ChildProcess::Result ChildProcess::collect() {
  Result r;
  const std::string sent = fd_ >= 0 ? readAll(static_cast<int>(fd_)) : std::string();
  if (fd_ >= 0) ::close(static_cast<int>(fd_));
  fd_ = -1;
  int status = 0;
  while (pid_ > 0 && ::waitpid(static_cast<pid_t>(pid_), &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  const auto parts = fields(sent);
  if (parts && parts->size() == 3) {
    r.output = (*parts)[2];
    if ((*parts)[0] == "1") {
      r.completed = true;
      r.value = (*parts)[1];
      return r;
    }
    r.failure = (*parts)[1];
    return r;
  }
  r.failure = WIFSIGNALED(status)
                  ? "signal " + std::to_string(WTERMSIG(status))
                  : "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return r;
}

size_t ChildProcess::firstFinished(const std::vector<ChildProcess*>& children) {
  // A child writes its whole result only when its work is done and then exits: the first of
  // the pipes with something to read, or closed, is the first child done.
  std::vector<pollfd> fds;
  for (const ChildProcess* c : children)
    fds.push_back({static_cast<int>(c->fd_), POLLIN, 0});  // a collected child (-1) is never done
  for (;;) {
    const int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;  // then the oldest is waited for, as collect() alone would
    for (size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents != 0) return i;
  }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), fd_(other.fd_) {
  other.pid_ = -1;
  other.fd_ = -1;
}

ChildProcess::~ChildProcess() {
  // A worker never collected is waited for all the same: its firm's files are being written.
  if (pid_ > 0) collect();
}

}  // namespace tav::os
