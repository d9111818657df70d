#pragma once

// Runtime errors and the handler that answers them: retry, default, substitute or abandon to the
// nearest recovery point. Expected failures (a missing file, a held lock) are results, never
// errors.

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "runtime/value.h"

namespace tav::rt {

// Generic error codes the handler and the report look at.
enum GenCode : int {
  kErrNone = 0,
  kErrArg = 1,
  kErrBound = 2,
  kErrZeroDiv = 5,
  kErrNumErr = 6,
  kErrSyntax = 7,
  kErrNoVar = 14,
  kErrNoAlias = 15,  // alias does not exist
  kErrDataType = 33,
  kErrDataWidth = 34,  // a value does not fit its field
  kErrNoTable = 35,
  kErrOpen = 21,
  kErrCreate = 20,
  kErrClose = 22,
  kErrRead = 23,
  kErrWrite = 24,
  kErrCorruption = 32,
  kErrShared = 36,  // sharing violation: the file is held by someone else
  kErrUnlocked = 38,
  kErrReadOnly = 39,
  kErrAppendLock = 40,  // the header lock for an append could not be had
  kErrLock = 41,
  kErrNoOrder = 44,
};

enum class Severity : int { Whocares = 0, Warning = 1, Error = 2, Catastrophic = 3 };

// A runtime error as the error handler and the installation report see it.
struct Error {
  int genCode = kErrNone;
  int osCode = 0;
  int subCode = 0;
  std::string subSystem = "BASE";
  Severity severity = Severity::Error;
  std::string description;
  std::string filename;
  std::string operation;
  std::vector<Value> args;
  bool canRetry = false;
  bool canDefault = false;
  bool canSubstitute = false;
  int tries = 0;

  // One line for logs and messages: "Error BASE/1068 Argument error: + (file)".
  std::string summary() const;
};

// What a handler answers for an error it returns from (instead of abandoning).
struct Answer {
  enum Kind { Retry, Default, Substitute } kind = Default;
  Value value;  // the substitute value
};

// Abandoning unwinds to the nearest recovery point (the BEGIN SEQUENCE of the runtime the tool
// was written for). Only recovery points and guards catch it.
class Abandon : public std::exception {
 public:
  explicit Abandon(Error e) : error_(std::move(e)) {}
  const Error& error() const { return error_; }
  const char* what() const noexcept override { return "abandoned after a runtime error"; }

 private:
  Error error_;
};

using Handler = std::function<Answer(Error&)>;

// Raises an error through the current handler. Returns the handler's answer when it returns;
// an abandoning handler throws Abandon instead. With no handler installed the error abandons.
// Each raise counts one more try in the error, so a retry loop that raises the same object lets
// the handler see how often it has been asked.
Answer raise(Error& e);
inline Answer raise(Error&& e) { return raise(e); }
// Raises an error that cannot be retried or defaulted: the call never returns normally.
[[noreturn]] void fail(Error e);

Handler currentHandler();
// Replaces the handler and gives back the previous one (ErrorBlock()).
Handler setHandler(Handler h);

// Installs a handler for the guard's lifetime and restores the previous one on every exit,
// an exception included.
class HandlerGuard {
 public:
  explicit HandlerGuard(Handler h) : previous_(setHandler(std::move(h))) {}
  ~HandlerGuard() { setHandler(std::move(previous_)); }
  HandlerGuard(const HandlerGuard&) = delete;
  HandlerGuard& operator=(const HandlerGuard&) = delete;

 private:
  Handler previous_;
};

// The guard the tool's own routines use: every error abandons the attempt.
class AbandonGuard : public HandlerGuard {
 public:
  AbandonGuard();
};

// Runs `body` as a recovery point: an abandoned error comes back as false (and is stored in
// *caught when given); normal completion gives true.
bool sequence(const std::function<void()>& body, Error* caught = nullptr);

// Runs `body` under an AbandonGuard: any runtime error makes the result false.
bool guarded(const std::function<void()>& body, Error* caught = nullptr);

}  // namespace tav::rt
