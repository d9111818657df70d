// The runtime's error handler, which decides whether a failed operation is retried, substituted or
// abandoned. Group: ErrorHandler. A guarded operation turns an error into false and restores the
// handler however it ends; retry and substitute answers reach the raiser; without a handler, and
// after fail() whatever the answer, the operation is abandoned to its recovery point.
#include <gtest/gtest.h>

#include "runtime/error.h"

using namespace tav::rt;

namespace {
Error sampleError() {
  Error e;
  e.genCode = kErrShared;
  e.description = "sharing violation";
  e.canRetry = true;
  return e;
}
}  // namespace

TEST(ErrorHandler, GuardedOperationTurnsErrorIntoFalseAndRestoresHandler) {
  int outerCalls = 0;
  HandlerGuard outer([&](Error&) {
    ++outerCalls;
    return Answer{Answer::Default, {}};
  });
  bool reachedAfterRaise = false;
  Error caught;
  bool ok = guarded(
      [&] {
        raise(sampleError());
        reachedAfterRaise = true;
      },
      &caught);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(reachedAfterRaise);
  EXPECT_EQ(caught.genCode, kErrShared);
  EXPECT_EQ(outerCalls, 0);
  raise(sampleError());  // the outer handler is back
  EXPECT_EQ(outerCalls, 1);
}

TEST(ErrorHandler, GuardRestoresHandlerWhenBodyThrowsSomethingElse) {
  int outerCalls = 0;
  HandlerGuard outer([&](Error&) {
    ++outerCalls;
    return Answer{};
  });
  EXPECT_THROW(guarded([] { throw std::runtime_error("not a runtime error"); }),
               std::runtime_error);
  raise(sampleError());
  EXPECT_EQ(outerCalls, 1);
}

TEST(ErrorHandler, RetryAndSubstituteAnswersReachTheRaiser) {
  int calls = 0;
  HandlerGuard g([&](Error& e) {
    ++calls;
    if (e.tries < 3) return Answer{Answer::Retry, {}};
    return Answer{Answer::Substitute, Value(42)};
  });
  Error e = sampleError();
  Answer a;
  do {
    a = raise(e);
  } while (a.kind == Answer::Retry);
  EXPECT_EQ(a.kind, Answer::Substitute);
  EXPECT_EQ(a.value.num(), 42);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(e.tries, 3);
}

TEST(ErrorHandler, NoHandlerAbandonsToRecoveryPoint) {
  Handler previous = setHandler(nullptr);
  bool ok = sequence([] { raise(sampleError()); });
  EXPECT_FALSE(ok);
  setHandler(previous);
}

TEST(ErrorHandler, FailNeverReturnsEvenWhenHandlerDefaults) {
  HandlerGuard g([](Error&) { return Answer{Answer::Default, {}}; });
  EXPECT_FALSE(sequence([] { fail(sampleError()); }));
}
