// The application interface shared by the starter and the game module.
//
// The starter loads the game module (a shared library) and calls its exported
// entry point "GameDLLInit" with the application object. The module calls back
// through the virtual operations below; their order is part of the boundary.
#ifndef ENGINE_STARTER_APPLICATION_H_
#define ENGINE_STARTER_APPLICATION_H_

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine_starter/engine_defaults.h"
#include "engine_starter/irrlicht_types.h"
#include "engine_starter/log.h"
#include "engine_starter/singleton.h"

// What every application object offers: the starter's own and the one a game
// module registers through ImportDLLPointers.
class ICApplication {
 public:
  // Build name, "Engine".
  String buildName;
  // "E" followed by the build number.
  String shortBuildName;
  // Start-up outcome: 0 ok, 2 the game module failed to load, otherwise the
  // starter's status (10: an update needs a restart).
  std::int32_t startupError = 0;
  // The application log; not owned.
  CAppLog* log = nullptr;

  // The whole run of the application.
  virtual void Run(int argc, char** argv) = 0;
  // Asks the game to shut down.
  virtual void Shutdown() = 0;
  // Asks the game to restart.
  virtual void Restart() = 0;
  // Downloads urldir + filename into downloaddir (or the game directory when
  // downloaddir is empty) within timeout_secs seconds (0: no limit). Returns
  // true on success.
  virtual bool DownloadFile(const char* urldir, const char* filename,
                            const char* downloaddir, int timeout_secs) = 0;
  // The update server's platform directory URL; ends with "/".
  virtual std::string getUpdatePath() = 0;

 protected:
  ~ICApplication() = default;
};

// What crosses the boundary into and out of the game module.
struct ModuleImportExport {
  // Into the module: the starter's application object. Out of the module
  // (ImportDLLPointers): the module's own application object.
  ICApplication* app = nullptr;
};

// The entry point a game module exports as "GameDLLInit" (extern "C"). The
// game runs inside the call; true means a normal end, false a failure.
using cfunc = bool (*)(ModuleImportExport ie, int argc, char** argv);

// The starter's application object. Exactly one exists, from the start of
// main to its teardown; a game module receives its address.
//
// Virtual operations in slot order: the five of ICApplication, then
// LoadGameDLL, ImportDLLPointers, useFile, getDirectoryFromArgs, setBuildName,
// AddCrashRptFile, ParseCmdLine, SetReportDebugString, getAppDirFile. A module
// calls them through these slots, so the table holds nothing else: the
// destructor is not virtual (nothing deletes the object through a base), and
// the class is final so that no derived table can be deleted through it.
class CApplication final : public ICApplication,
                           public Singleton<CApplication> {
 public:
  CApplication();
  ~CApplication();

  // The start-up, starter, game and unload sequence. Leaves its outcome in
  // startupError and restartstring.
  void Run(int argc, char** argv) override;
  // Forwards to the registered game object, if any.
  void Shutdown() override;
  // Forwards to the registered game object, if any.
  void Restart() override;
  // The download service for the game module: one HTTP client per call.
  // Logs the request and any failure; returns true on success.
  bool DownloadFile(const char* urldir, const char* filename,
                    const char* downloaddir, int timeout_secs) override;
  // defaults.updateURL + "linux32-dedicated-demo/"; with mirrors (several
  // addresses in defaults.updateURL), the first one's.
  std::string getUpdatePath() override;
  // Opens the shared library `filename` (looked up with useFile) and calls
  // its "GameDLLInit". Returns the entry point's result, or false when the
  // library cannot be opened or has no entry point (logged).
  virtual bool LoadGameDLL(const char* filename, int argc, char** argv);
  // Registers the game module's own application object; returns true.
  virtual bool ImportDLLPointers(ModuleImportExport ie);
  // Finds a data file at its own path or under "../Base/"; returns the path
  // to use (the fallback path when neither exists). Logs each found file once.
  virtual String useFile(const char* filename);
  // The directory part of argv[0], with its trailing separator.
  virtual String getDirectoryFromArgs(int argc, char** argv);
  // Does nothing.
  virtual void setBuildName(const char* name);
  // Does nothing.
  virtual void AddCrashRptFile(const char* filename);
  // Sets the switches from the command line; returns 0.
  virtual int ParseCmdLine(int argc, char** argv);
  // Does nothing.
  virtual void SetReportDebugString(const char* text);
  // appDir followed by `filename` (appDir alone for null).
  virtual String getAppDirFile(const char* filename);

  // The server directories of this platform's release, in the order an
  // update run tries them: each blank-separated entry of defaults.updateURL
  // + "linux32-dedicated-demo/". Never empty; its first is getUpdatePath().
  std::vector<std::string> getUpdatePaths();

  // Prints the process id and writes it to "Logs/pid.txt".
  void WritePID();

  // Asks the starter to run its own command line again once the game has
  // returned; `message` is printed before the restart. An empty or null
  // message withdraws the request.
  void RequestRestart(const char* message) {
    restartstring = message != nullptr ? message : "";
  }

  std::int32_t DebugMode = 0;
  String baseDir;
  String appDir;
  String appDirExe;
  String modDir;
  String autoconfig;
  String autostart;
  std::string language_initials;
  // The game module's application object; not owned.
  ICApplication* game = nullptr;
  std::set<String> filesUsed;
  // Handles of the libraries opened by LoadGameDLL, in load order.
  std::vector<void*> modules;
  std::vector<String> crashRptFiles;
  bool useCrashrpt = false;
  bool useAutoupdate = false;
  bool useScriptedMenus = false;
  bool useSteam = false;
  bool onlyAutoUpdate = false;
  // Non-empty: after Run returns, main prints it and restarts the program.
  String restartstring;
  bool fullMod = false;
  // Path to hash of the downloaded checksum list (filled by the updater).
  std::map<std::string, std::string> standardFiles;
  EngineDefaults defaults;
};

#endif  // ENGINE_STARTER_APPLICATION_H_
