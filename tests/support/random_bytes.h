// Reproducible file contents for tests.
#ifndef STARTER_TESTS_SUPPORT_RANDOM_BYTES_H_
#define STARTER_TESTS_SUPPORT_RANDOM_BYTES_H_

#include <cstddef>
#include <random>
#include <string>

// `size` bytes drawn from a generator seeded with `seed`: the same for the
// same arguments.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

#endif  // STARTER_TESTS_SUPPORT_RANDOM_BYTES_H_
