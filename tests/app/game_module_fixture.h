// Builds the stand-in game module (fixtures/game_module.cc) with the system
// compiler at test time, once per variant, into the build tree.
#ifndef STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_
#define STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_

#include <unistd.h>

#include <functional>
#include <string>

#include "support/temp_dir.h"

enum class ModuleEntry { kExported, kMissing };

// Path of the built module, or "" when the compiler failed. Parallel test
// processes may race; each compiles to its own name and renames atomically.
inline std::string GameModulePath(ModuleEntry entry) {
  const std::string source =
      std::string(STARTER_SOURCE_DIR) + "/tests/app/fixtures/game_module.cc";
  const std::string flags =
      entry == ModuleEntry::kMissing ? "-DWITHOUT_ENTRY_POINT" : "";
  const std::string text = ReadFile(source) + flags;
  if (text.empty()) return "";
  const std::string dir =
      std::string(STARTER_BUILD_DIR) + "/tests/app_fixtures";
  const std::string path = dir + "/game_module-" +
                           std::to_string(std::hash<std::string>{}(text)) +
                           ".so";
  if (PathExists(path)) return path;
  const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  const std::string command =
      "mkdir -p '" + dir + "' && c++ -std=c++20 -shared -fPIC " + flags +
      " -I'" + STARTER_SOURCE_DIR + "/include' -o '" + temp + "' '" + source +
      "' && mv -f '" + temp + "' '" + path + "'";
  return RunShell(command) == 0 ? path : "";
}

#endif  // STARTER_TESTS_APP_GAME_MODULE_FIXTURE_H_
