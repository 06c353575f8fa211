// The launcher phase of the run: engine defaults, start-up configuration and
// the update step.
#ifndef STARTER_APP_STARTER_PHASE_H_
#define STARTER_APP_STARTER_PHASE_H_

class CApplication;

// Runs the launcher for `app`: creates the starter with the arguments,
// publishes it in CStarter::starter, starts it and runs its update step.
// Returns the starter's status: 0 to go on with the game module, any other
// value to stop the launch (10: an update needs a restart, with
// app.restartstring set). Unless `only_update` is set, the starter is then
// stopped, destroyed (writing "startup_config.cfg" back) and unpublished; in
// update-only mode it is left alive and published.
int RunStarterPhase(CApplication& app, int argc, char** argv, bool only_update);

#endif  // STARTER_APP_STARTER_PHASE_H_
