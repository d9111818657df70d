// A piece of work run in a child process of its own, so that several firms are converted at
// once on the machine's cores while the run gathers their results in firm order.
//
// Invariants: the child shares nothing with its parent after the fork but the files; it never
// returns into the parent's code (it leaves with _exit, running no destructor that would flush or
// close the parent's tables); SIGINT and SIGTERM are the parent's business, so a child finishes
// its work; what the child writes on standard error is held back and handed to the parent with
// its result, to be shown where a run of one firm after another would have shown it; a child
// does not outlive its parent.
#pragma once
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tav::upgrade {

class WorkerProcess {
 public:
  // Forks and runs `work` in the child. nullopt when no process could be made.
  static std::optional<WorkerProcess> start(const std::function<std::string()>& work);

  struct Result {
    bool completed = false;  // the work returned and its value arrived whole
    std::string value;       // what the work returned
    std::string output;      // what the child wrote on standard error
    std::string failure;     // when not completed: how the child ended ("signal 9", "exit 3")
  };
  // Waits for the child and reads what it sent.
  Result collect();

  WorkerProcess(WorkerProcess&& other) noexcept;
  WorkerProcess& operator=(WorkerProcess&&) = delete;
  WorkerProcess(const WorkerProcess&) = delete;
  ~WorkerProcess();

 private:
  WorkerProcess(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  pid_t pid_ = -1;
  int fd_ = -1;
};

// Length-prefixed fields, for a result of several texts sent through the pipe.
void putField(std::string& out, const std::string& field);
// The fields of `in`; nullopt when it is cut short.
std::optional<std::vector<std::string>> fields(const std::string& in);

}  // namespace tav::upgrade
