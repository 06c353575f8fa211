// Waiting in tests for what another thread or process brings about.
#ifndef STARTER_TESTS_SUPPORT_WAIT_UNTIL_H_
#define STARTER_TESTS_SUPPORT_WAIT_UNTIL_H_

#include <chrono>
#include <functional>

// How long a test waits at most for a condition: far longer than any
// condition takes on a loaded machine under sanitizers, so that running out
// of it means the condition never came.
inline constexpr std::chrono::seconds kWaitDeadline{60};

// Calls `condition` until it returns true, pausing `poll` between calls, and
// returns true. Returns false once `deadline` has passed without it, so that
// a test fails instead of hanging: the deadline is a failsafe, never what a
// test measures.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = kWaitDeadline,
               std::chrono::microseconds poll = std::chrono::milliseconds(1));

#endif  // STARTER_TESTS_SUPPORT_WAIT_UNTIL_H_
