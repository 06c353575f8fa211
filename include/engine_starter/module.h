// Everything a game module needs from the Engine Starter.
//
// A game module is a shared library that the starter loads from the game
// directory ("libVelmora_dedi.so") once its launch sequence and the update
// are done. The game runs inside one call of the module's entry point, on the
// starter's main thread:
//
//   #include <engine_starter/module.h>
//
//   extern "C" bool GameDLLInit(ModuleImportExport ie, int argc, char** argv);
//
// Writing one:
//   1. Export exactly that function, unmangled ("GameDLLInit"). A library
//      without it counts as a failed load (status 2) and is never entered.
//   2. `ie.app` is the starter's application object; it is a CApplication:
//        auto* app = static_cast<CApplication*>(ie.app);
//      Read its switches, directories and `defaults`; use `useFile`,
//      `DownloadFile` (below `getUpdatePath()`), `getAppDirFile`.
//   3. Register an object of your own that derives from ICApplication:
//        ModuleImportExport mine;  mine.app = &my_game;
//        app->ImportDLLPointers(mine);
//      The starter then forwards Ctrl+C as `Shutdown()` (called from the
//      signal handler: only set a flag there) and `Restart()` requests.
//   4. Log through `app->log->Write(...)`; lines go to "Logs/app.txt" and the
//      console.
//   5. Return true for a normal end, false for a failure. Leave no threads or
//      signal handlers behind: the library is closed right after the return.
//      To have the starter run its command line again afterwards, call
//      `app->RequestRestart("reason\n")` before returning.
//
// The starter executable exports its symbols to the module, so the module
// links against nothing of the starter: build it with
//   find_package(EngineStarter REQUIRED)
//   add_library(Velmora_dedi MODULE game.cc)
//   target_link_libraries(Velmora_dedi PRIVATE EngineStarter::module)
#ifndef ENGINE_STARTER_MODULE_H_
#define ENGINE_STARTER_MODULE_H_

#include "engine_starter/application.h"

// The symbol name the starter looks up in a game module.
inline constexpr char kGameModuleEntryPoint[] = "GameDLLInit";

#endif  // ENGINE_STARTER_MODULE_H_
