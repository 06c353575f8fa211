// The game module boundary: CApplication::LoadGameDLL and ImportDLLPointers
// (declared in engine_starter/application.h) and UnloadGameModules. The only
// user of the dynamic loader.
#include "app/module_loader.h"

#include <dlfcn.h>

#include "engine/app_log.h"
#include "engine_starter/application.h"
#include "engine_starter/module.h"

namespace {

// The loader's text for the last failure; never null.
const char* LoaderError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

}  // namespace

bool CApplication::LoadGameDLL(const char* filename, int argc, char** argv) {
  const String path = useFile(filename);
  void* handle = dlopen(path.c_str(), RTLD_LAZY);
  if (handle == nullptr) {
    LogLine("LoadLibrary ERROR: %s\n", LoaderError());
    return false;
  }
  modules.push_back(handle);

  dlerror();
  auto entry = reinterpret_cast<cfunc>(dlsym(handle, kGameModuleEntryPoint));
  if (entry == nullptr) {
    LogLine("Game module %s has no entry point %s: %s\n", path.c_str(),
            kGameModuleEntryPoint, LoaderError());
    return false;
  }
  LogLine("APP GameDLLInit\n");
  ModuleImportExport ie;
  ie.app = this;
  return entry(ie, argc, argv);
}

bool CApplication::ImportDLLPointers(ModuleImportExport ie) {
  game = ie.app;
  return true;
}

void UnloadGameModules(CApplication& app) {
  // The registered object lives in one of these libraries.
  app.game = nullptr;
  for (void* handle : app.modules) {
    if (handle != nullptr) dlclose(handle);
  }
  app.modules.clear();
}
