// Reproducible pseudo-random numbers (xorshift128) and a millisecond sleep.
#ifndef STARTER_ENGINE_RANDOM_H_
#define STARTER_ENGINE_RANDOM_H_

#include <cstdint>

// Marsaglia's xorshift128 generator with its own seeding. Fully determined by
// its seed; not suitable for cryptography.
class Random {
 public:
  // Seeds exactly as Reset(seed); the reference count starts at 1.
  explicit Random(std::uint32_t seed) : _refcount(1) { Reset(seed); }

  // Stores `seed` and derives a fresh state from it.
  void Reset(std::uint32_t seed);
  // Advances one step and returns the new output word.
  std::uint32_t Next();
  // 0 without advancing when `range` is 0; otherwise Next() % range.
  std::uint32_t NextRanged(std::uint32_t range);
  // Advances one step and returns a float in [0, 1), in steps of 2^-23.
  float NextFloat();
  // The seed of the constructor or the last Reset.
  std::uint32_t getSeed() const { return _seed; }

  // Reference counting for a scripting layer; the count starts at 1.
  void AddRef() { ++_refcount; }
  // Drops one reference; returns the remaining count (the owner frees).
  std::uint32_t Release() { return --_refcount; }

  std::uint32_t x, y, z, w;

 private:
  std::uint32_t _seed;
  std::uint32_t _refcount;
};

// Process-wide generators, seeded with 0 before main. Nothing draws from
// GlobalRandom; InitRandomNumbers and random work on _global_random.
extern Random GlobalRandom;
extern Random _global_random;

// Reseeds _global_random from the clock, in whole seconds.
void InitRandomNumbers();
// A value from 0 to max - 1 from _global_random; 0 (after advancing) when
// max is 0 or less.
int random(int max);
// Sleeps `millis` milliseconds.
void delay(int millis);

#endif  // STARTER_ENGINE_RANDOM_H_
