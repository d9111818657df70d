// Work run in child processes, at most so many at once, whose results are taken in the order the
// work was started. A child that finishes early gives its place to the next piece of work at once
// and its result waits for its turn: one long piece of work (a large firm) keeps one core, not
// all of them waiting behind it.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "os/child_process.h"

namespace tav::os {

class ChildrenInOrder {
 public:
  explicit ChildrenInOrder(size_t atOnce) : atOnce_(atOnce < 1 ? 1 : atOnce) {}

  // Starts `work` in a child once a place is free, waiting for whichever child finishes first.
  // False when no process could be made.
  bool start(const std::function<std::string()>& work);
  // Whether the oldest piece of work not yet taken has its result.
  bool oldestDone() const { return !queue_.empty() && queue_.front().result.has_value(); }
  // The oldest result, waiting for it. Only while something is left (!empty()).
  ChildProcess::Result takeOldest();
  bool empty() const { return queue_.empty(); }

 private:
  struct Entry {
    ChildProcess child;
    std::optional<ChildProcess::Result> result;
  };
  size_t atWork() const;
  void collectFirstFinished();

  size_t atOnce_;
  std::deque<Entry> queue_;
};

}  // namespace tav::os
