// Unloading of the game module and the interrupt handler that reaches it;
// loading is CApplication::LoadGameDLL, defined in module_loader.cc too.
#ifndef STARTER_APP_MODULE_LOADER_H_
#define STARTER_APP_MODULE_LOADER_H_

class CApplication;

// Closes every library in app.modules, in load order, empties the list and
// clears the game module's registration (app.game), so that a later
// interrupt never calls into a closed library.
void UnloadGameModules(CApplication& app);

// The SIGINT handler: writes "Ctrl+C detected\n" to standard output, asks the
// application object (when it exists) to shut the game down, which reaches
// the game module only when it has registered, and restores the default
// action so that a second interrupt ends the process.
void exit_program(int sig);

#endif  // STARTER_APP_MODULE_LOADER_H_
