#include "app/starter_phase.h"

#include "engine_starter/application.h"

// SEAM: the launcher (CStarter, src/launcher/starter.h) is driven from here
// once it is implemented. Until then the phase runs nothing and reports
// status 0, so the run goes on to the game module.
int RunStarterPhase(CApplication& /*app*/, int /*argc*/, char** /*argv*/,
                    bool /*only_update*/) {
  return 0;
}
