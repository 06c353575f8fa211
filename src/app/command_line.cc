// The command-line switches of the starter.
#include <cstdio>
#include <cstring>

#include "engine_starter/application.h"

namespace {

// Exact, case-sensitive comparison of a whole argument; null matches nothing.
bool Is(const char* arg, const char* word) {
  return arg != nullptr && std::strcmp(arg, word) == 0;
}

const char* TextOf(const char* arg) { return arg != nullptr ? arg : ""; }

}  // namespace

int CApplication::ParseCmdLine(int argc, char** argv) {
  onlyAutoUpdate = false;
  useAutoupdate = true;
  useSteam = false;
  useScriptedMenus = true;
  autoconfig = "autoconfig.cfg";
  autostart = "Scripts/server_autostart.as";

  // The program path at index 0 is examined like every other argument.
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (Is(a, "onlyautoupdate")) {
      std::printf("Running solely to Update\n");
      onlyAutoUpdate = true;
    }
    if (Is(a, "noautoupdate")) {
      std::printf("Running without AutoUpdate\n");
      useAutoupdate = false;
    }
    if (Is(a, "steam")) {
      std::printf("Running with Steamworks\n");
      useSteam = true;
    }
    if (Is(a, "menus")) {
      std::printf("Running with scripted menus\n");
      useScriptedMenus = true;
    }
    if (Is(a, "noconsole")) std::printf("Closing console\n");

    // A switch with a value needs a next argument. A consumed value is
    // tested in turn against the switches that follow.
    if (i >= argc - 1) continue;
    if (Is(a, "autoconfig")) {
      autoconfig = TextOf(argv[++i]);
      if (i == argc - 1) break;
      a = argv[i];
    }
    if (Is(a, "autostart")) {
      autostart = TextOf(argv[++i]);
      if (i == argc - 1) break;
      a = argv[i];
    }
    if (Is(a, "base")) {
      baseDir = String(TextOf(argv[++i])) + "/";
      fullMod = true;
    }
  }
  return 0;
}
