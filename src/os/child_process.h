// A piece of work run in a child process that starts as a copy of this one, so that several firms
// are converted at once on the machine's cores while the run gathers their results in order
// (os/children_in_order.h).
//
// Invariants: the child shares nothing with its parent after it starts but the files; it never
// returns into the parent's code (it leaves with _exit, running no destructor that would flush or
// close the parent's tables); stop requests (SIGINT, SIGTERM) are the parent's business, so a child
// finishes its work; what the child writes on standard error is held back and handed to the parent
// with its result; a child does not outlive its parent.
//
// Only where the process can be copied (fork): childProcessesSupported() says whether it can. On
// Windows it cannot, and `--jobs` above 1 is refused there (docs/decisions.md says why).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tav::os {

bool childProcessesSupported();

class ChildProcess {
 public:
  // Starts the child and runs `work` in it. nullopt when no process could be made (always where
  // childProcessesSupported() is false).
  static std::optional<ChildProcess> start(const std::function<std::string()>& work);

  struct Result {
    bool completed = false;  // the work returned and its value arrived whole
    std::string value;       // what the work returned
    std::string output;      // what the child wrote on standard error
    std::string failure;     // when not completed: how the child ended ("signal 9", "exit 3")
  };
  // Waits for the child and reads what it sent.
  Result collect();
  // Waits until one of `children` has finished its work (its collect() then waits for nothing
  // but its exit) and gives its place among them. `children` must not be empty.
  static size_t firstFinished(const std::vector<ChildProcess*>& children);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();

 private:
  ChildProcess(intptr_t pid, intptr_t fd) : pid_(pid), fd_(fd) {}
  intptr_t pid_ = -1;
  intptr_t fd_ = -1;
};

// Length-prefixed fields, for a result of several texts sent through the pipe.
void putField(std::string& out, const std::string& field);
// The fields of `in`; nullopt when it is cut short.
std::optional<std::vector<std::string>> fields(const std::string& in);

}  // namespace tav::os
