#include "support/wait_until.h"

#include <thread>

bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline,
               std::chrono::microseconds poll) {
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}
