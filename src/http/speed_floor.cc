#include "http/speed_floor.h"

bool SpeedFloorWatch::TooSlow(TimePoint now, bool begun,
                              std::uint64_t received) {
  if (!begun) return false;
  if (seen_.empty() || seen_.back().first < now) {
    seen_.emplace_back(now, received);
  } else {
    seen_.back().second = received;
  }
  const TimePoint window_start = now - floor_.window;
  // Keep only the newest observation that lies a whole window back.
  while (seen_.size() > 1 && seen_[1].first <= window_start) seen_.pop_front();
  if (seen_.front().first > window_start) return false;
  const std::uint64_t least = floor_.bytes_per_second *
                              static_cast<std::uint64_t>(floor_.window.count());
  return received - seen_.front().second < least;
}
