#include "engine/random.h"

#include <unistd.h>

#include <bit>
#include <ctime>

namespace {

// The xorshift128 output for old x = p and old w = q.
std::uint32_t Step(std::uint32_t p, std::uint32_t q) {
  std::uint32_t t = p ^ (p << 11);
  return q ^ (q >> 19) ^ t ^ (t >> 8);
}

}  // namespace

Random GlobalRandom(0);
Random _global_random(0);

void Random::Reset(std::uint32_t s) {
  _seed = s;
  const std::uint32_t a = ~(s * 4021u - 40210u) ^ ((s >> 3) * 11213u);
  const std::uint32_t b = s * 5483u + 164460355u;
  const std::uint32_t c = s * 7151u + 301679u;
  const std::uint32_t d = (s * 6221u) ^ (s * 57352192u);
  y = Step(a, d);
  z = Step(c, y);
  w = Step(b, z);
  x = d;
}

std::uint32_t Random::Next() {
  const std::uint32_t next = Step(x, w);
  x = y;
  y = z;
  z = w;
  w = next;
  return w;
}

std::uint32_t Random::NextRanged(std::uint32_t range) {
  return range == 0 ? 0 : Next() % range;
}

float Random::NextFloat() {
  return std::bit_cast<float>((Next() >> 9) | 0x3F800000u) - 1.0f;
}

void InitRandomNumbers() {
  _global_random.Reset(static_cast<std::uint32_t>(std::time(nullptr)));
}

int random(int max) {
  return static_cast<int>(
      _global_random.NextRanged(static_cast<std::uint32_t>(max > 0 ? max : 1)));
}

void delay(int millis) {
  if (millis <= 0) return;
  usleep(static_cast<useconds_t>(millis) * 1000u);
}
