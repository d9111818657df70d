// Raising runtime errors through the one installed handler. Each raise counts a try on the error,
// which is how a handler knows when a retry loop has asked often enough.

#include "runtime/error.h"

namespace tav::rt {
namespace {

Handler& slot() {
  static Handler h;
  return h;
}

}  // namespace

std::string Error::summary() const {
  std::string s = "Error " + subSystem + "/" + std::to_string(subCode ? subCode : genCode);
  if (!description.empty()) s += " " + description;
  if (!operation.empty()) s += ": " + operation;
  if (!filename.empty()) s += " (" + filename + ")";
  return s;
}

Answer raise(Error& e) {
  ++e.tries;
  Handler h = slot();
  if (!h) throw Abandon(e);
  return h(e);
}

void fail(Error e) {
  e.canRetry = e.canDefault = e.canSubstitute = false;
  raise(e);
  // A handler that returns for an error that allows no answer abandons it all the same.
  throw Abandon(std::move(e));
}

Handler currentHandler() { return slot(); }

Handler setHandler(Handler h) {
  Handler previous = std::move(slot());
  slot() = std::move(h);
  return previous;
}

AbandonGuard::AbandonGuard() : HandlerGuard([](Error& e) -> Answer { throw Abandon(e); }) {}

bool sequence(const std::function<void()>& body, Error* caught) {
  try {
    body();
    return true;
  } catch (const Abandon& a) {
    if (caught) *caught = a.error();
    return false;
  }
}

bool guarded(const std::function<void()>& body, Error* caught) {
  AbandonGuard guard;
  return sequence(body, caught);
}

}  // namespace tav::rt
