// The least a transfer must bring, once its answer has begun, to be kept.
#ifndef STARTER_HTTP_SPEED_FLOOR_H_
#define STARTER_HTTP_SPEED_FLOOR_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

// A floor on the speed of a transfer: at least `bytes_per_second` on
// average over every `window` once the answer has begun. The update run
// gives it to the file requests of a mirror that has another after it
// (docs/fleet.md), so that a mirror trickling its files is left for the next.
struct SpeedFloor {
  std::uint64_t bytes_per_second = 1024;
  std::chrono::seconds window{30};

  bool operator==(const SpeedFloor&) const = default;
};

// Judges one transfer against a SpeedFloor from what it has received, as
// the transfer's owner observes it now and then (at least once a second).
// The time before the answer began (a server, or a cache in front of it,
// that holds the request while it fetches the file) does not count; from
// the first observation of the begun answer on, a transfer is too slow
// once some observed span of at least `window` brought fewer than
// bytes_per_second x window bytes.
class SpeedFloorWatch {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit SpeedFloorWatch(SpeedFloor floor) : floor_(floor) {}

  // Records that `received` bytes of the body had arrived at `now`
  // (`begun`: the answer's status line has arrived), and returns whether
  // the transfer is now too slow. `received` never decreases.
  bool TooSlow(TimePoint now, bool begun, std::uint64_t received);

 private:
  SpeedFloor floor_;
  // Observations (time, bytes received) since the answer began: the newest
  // one at least a window old first, then the later ones.
  std::deque<std::pair<TimePoint, std::uint64_t>> seen_;
};

#endif  // STARTER_HTTP_SPEED_FLOOR_H_
