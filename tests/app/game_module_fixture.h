// The stand-in game module (fixtures/game_module.cc), built by CMake in two
// variants.
#ifndef STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_
#define STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_

#include <string>

enum class ModuleEntry { kExported, kMissing };

// Path of the built module: with its entry point, or without it.
inline std::string GameModulePath(ModuleEntry entry) {
  return entry == ModuleEntry::kExported ? GAME_MODULE_PATH
                                         : NO_ENTRY_MODULE_PATH;
}

#endif  // STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_
