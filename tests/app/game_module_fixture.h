// The stand-in game modules of fixtures/, as built by CMake.
#ifndef STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_
#define STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_

#include <string>

enum class ModuleEntry { kExported, kMissing };

// Path of the built module: with its entry point, or without it.
inline std::string GameModulePath(ModuleEntry entry) {
  return entry == ModuleEntry::kExported ? GAME_MODULE_PATH
                                         : NO_ENTRY_MODULE_PATH;
}

// Path of fixtures/slot_order_module.cc built: a module with its own
// declaration of the boundary that calls every operation through its slot.
inline std::string SlotOrderModulePath() { return SLOT_ORDER_MODULE_PATH; }

#endif  // STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_
