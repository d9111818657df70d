// The other workstation of the lock tests: a forked child that opens or locks what the test gives
// it and holds it until the helper goes. A lock is thus met from another process, never through
// this one's own descriptors, since a process's own locks never stop it.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace tav::test {

// Runs `action` in a forked child that then holds whatever it opened or locked until the
// helper is destroyed: the other workstation of the lock tests. The child touches only
// descriptors it opens itself (inherited ones share the parent's locks).
class OtherProcess {
 public:
  explicit OtherProcess(const std::function<bool()>& action) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      char ok = 0;
      try {
        ok = action() ? 1 : 0;
      } catch (...) {
        ok = 0;
      }
      (void)!write(up[1], &ok, 1);
      char c;
      (void)!read(down[0], &c, 1);
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    fromChild_ = up[0];
    toChild_ = down[1];
    char ok = 0;
    ready_ = read(fromChild_, &ok, 1) == 1 && ok == 1;
  }
  ~OtherProcess() { finish(); }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;

  bool ready() const { return ready_; }
  void finish() {
    if (pid_ <= 0) return;
    char c = 0;
    (void)!write(toChild_, &c, 1);
    int status;
    waitpid(pid_, &status, 0);
    close(toChild_);
    close(fromChild_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1, fromChild_ = -1;
  bool ready_ = false;
};

}  // namespace tav::test
