// A live launcher state for tests of the code that reads it.
#ifndef STARTER_TESTS_SUPPORT_SCOPED_STARTER_H_
#define STARTER_TESTS_SUPPORT_SCOPED_STARTER_H_

#include "launcher/starter_shared_state.h"

// Publishes `state` in StarterSharedState::starter for the life of the
// object, as the launch sequence publishes its starter, and clears it again.
class ScopedStarter {
 public:
  ScopedStarter() { StarterSharedState::starter = &state; }
  ~ScopedStarter() { StarterSharedState::starter = nullptr; }
  ScopedStarter(const ScopedStarter&) = delete;
  ScopedStarter& operator=(const ScopedStarter&) = delete;

  StarterSharedState state;
};

#endif  // STARTER_TESTS_SUPPORT_SCOPED_STARTER_H_
