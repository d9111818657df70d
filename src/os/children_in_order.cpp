// Children taken in their order with their places reused as soon as they are free
// (os/children_in_order.h). Each child is collected exactly once, by whichever comes first: the
// wait for a free place or the taking of its result.
#include "os/children_in_order.h"

#include <vector>

namespace tav::os {

size_t ChildrenInOrder::atWork() const {
  size_t n = 0;
  for (const Entry& e : queue_) n += e.result ? 0 : 1;
  return n;
}

void ChildrenInOrder::collectFirstFinished() {
  std::vector<ChildProcess*> children;
  std::vector<Entry*> entries;
  for (Entry& e : queue_)
    if (!e.result) {
      children.push_back(&e.child);
      entries.push_back(&e);
    }
  if (children.empty()) return;
  Entry& done = *entries[ChildProcess::firstFinished(children)];
  done.result = done.child.collect();
}

bool ChildrenInOrder::start(const std::function<std::string()>& work) {
  while (atWork() >= atOnce_) collectFirstFinished();
  std::optional<ChildProcess> child = ChildProcess::start(work);
  if (!child) return false;
  queue_.push_back({std::move(*child), std::nullopt});
  return true;
}

ChildProcess::Result ChildrenInOrder::takeOldest() {
  Entry& oldest = queue_.front();
  ChildProcess::Result r = oldest.result ? std::move(*oldest.result) : oldest.child.collect();
  queue_.pop_front();
  return r;
}

}  // namespace tav::os
