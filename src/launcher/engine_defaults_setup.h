// The engine start-up defaults of this game.
#ifndef STARTER_LAUNCHER_ENGINE_DEFAULTS_SETUP_H_
#define STARTER_LAUNCHER_ENGINE_DEFAULTS_SETUP_H_

#include "engine_starter/engine_defaults.h"

// Assigns every field of `defaults` from the program's constants,
// overwriting whatever was there. The update server base is
// UpdateServerBases().
void SetupGame(EngineDefaults& defaults);

#endif  // STARTER_LAUNCHER_ENGINE_DEFAULTS_SETUP_H_
