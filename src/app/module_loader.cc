// The game module boundary, with the members of CApplication that face the
// module: LoadGameDLL, ImportDLLPointers and DownloadFile. The only user of
// the dynamic loader.
#include "app/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <csignal>

#include "engine/app_log.h"
#include "engine_starter/application.h"
#include "engine_starter/module.h"
#include "http/curl_client.h"

namespace {

const char* TextOf(const char* text) { return text != nullptr ? text : ""; }

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

bool CApplication::DownloadFile(const char* urldir, const char* filename,
                                const char* downloaddir, int timeout_secs) {
  LogLine("APP: downloading file %s/%s", TextOf(urldir), TextOf(filename));
  CURLcode result;
  {
    CCurl client;
    client.DownloadFile(TextOf(urldir), TextOf(filename), TextOf(downloaddir),
                        timeout_secs);
    result = client.result;
  }
  if (result != CURLE_OK) {
    LogLine("APP: error downloading file to %s (err %i)", TextOf(downloaddir),
            static_cast<int>(result));
    return false;
  }
  return true;
}

void exit_program(int /*sig*/) {
  // write(2) is async-signal-safe, unlike stdio.
  static constexpr char kMessage[] = "Ctrl+C detected\n";
  ssize_t written = write(STDOUT_FILENO, kMessage, sizeof kMessage - 1);
  (void)written;
  if (CApplication* app = Singleton<CApplication>::GetSingleton()) {
    app->Shutdown();
  }
  std::signal(SIGINT, SIG_DFL);
}
