#include "app/starter_phase.h"

#include <memory>

#include "engine_starter/application.h"
#include "app/starter.h"

int RunStarterPhase(CApplication& /*app*/, int argc, char** argv,
                    bool only_update) {
  auto starter = std::make_unique<CStarter>(argc, argv);
  // Published only once fully constructed: the updater and the HTTP client
  // must never see a half-built launcher.
  CStarter::starter = starter.get();
  starter->StartDevice();
  starter->Autoupdate();
  const int status = starter->startup_error;
  if (only_update) {
    // Update-only mode: the launcher stays alive and published until the
    // process ends, so "startup_config.cfg" is not written back.
    starter.release();
    return status;
  }
  starter->running = false;
  starter.reset();
  CStarter::starter = nullptr;
  return status;
}
