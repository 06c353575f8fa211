// Small views of a game directory for the update reliability tests.
#ifndef STARTER_TESTS_UPDATE_GAME_TREE_H_
#define STARTER_TESTS_UPDATE_GAME_TREE_H_

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include "support/temp_dir.h"
#include "support/text_match.h"

// The paths below `dir` (relative to it) of every entry whose name ends in
// `suffix`, at any depth.
inline std::set<std::string> PathsEndingIn(const std::string& dir,
                                           const std::string& suffix) {
  std::set<std::string> found;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
       !error && it != std::filesystem::recursive_directory_iterator();
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.insert(std::filesystem::relative(it->path(), dir).string());
    }
  }
  return found;
}

// `size` bytes drawn from a generator seeded with `seed`.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

#endif  // STARTER_TESTS_UPDATE_GAME_TREE_H_
