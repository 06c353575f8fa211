// Unloading of the game module libraries. Loading is the application
// object's LoadGameDLL (engine_starter/application.h), defined in
// module_loader.cc beside this.
#ifndef STARTER_APP_MODULE_LOADER_H_
#define STARTER_APP_MODULE_LOADER_H_

class CApplication;

// Closes every library in app.modules, in load order, empties the list and
// clears the game module's registration (app.game), so that a later
// interrupt never calls into a closed library.
void UnloadGameModules(CApplication& app);

#endif  // STARTER_APP_MODULE_LOADER_H_
