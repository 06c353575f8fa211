// The application object: construction, the run sequence and the forwarding
// of shutdown and restart requests to the game module.
#include "engine_starter/application.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "app/build_identity.h"
#include "app/file_lookup.h"
#include "app/module_loader.h"
#include "app/starter.h"
#include "app/starter_main.h"
#include "engine/app_log.h"
#include "engine/text_convert.h"

namespace {

// The shared library of the dedicated-server game, under the application
// directory.
constexpr char kGameModule[] = "libVelmora_dedi.so";

// Created, in this order, when the program starts inside a game directory.
constexpr const char* kWorkingDirectories[] = {
    "App",  "Cache", "Downloads", "Downloads/App",
    "Logs", "Mods",  "Security",  "Screenshots"};

// The working directory followed by "/", with every "\" as "/". When the
// working directory cannot be read, "./", so that paths stay relative.
String ApplicationDirectory() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) {
    std::fputs("Failed to read the working directory\n", stderr);
    return "./";
  }
  String dir = String(buffer) + "/";
  std::replace(dir.begin(), dir.end(), '\\', '/');
  return dir;
}

}  // namespace

CApplication::CApplication() = default;

// Modules and the log are not touched: Run unloads the former, main destroys
// the latter.
CApplication::~CApplication() = default;

void CApplication::Run(int argc, char** argv) {
  startupError = 0;
  fullMod = false;
  baseDir = String("Base") + "/";
  modDir = String("./../Mods") + "/";

  ParseCmdLine(argc, argv);
  // A game directory holds "BM.exe", "BM" or the starter itself. An existing
  // directory is normal; every error is ignored.
  if (fileExists2("BM.exe") || fileExists2("BM") || fileExists2("DUdavi")) {
    for (const char* dir : kWorkingDirectories) mkdir(dir, 0775);
  }
  WritePID();
  std::signal(SIGINT, exit_program);

  appDir = ApplicationDirectory();
  appDirExe = "\\DUdavi";
  std::printf("Starting in directory: %s\n", appDir.c_str());
  if (chdir(appDir.c_str()) != 0) {
    std::fputs("Failed to change directory", stderr);
  }
  startupError = 0;

  buildName = kBuildName;
  shortBuildName = ShortBuildName(BuildDate());

  log = OpenApplicationLog("Logs/app.txt");
  // The build name goes through the wide-text round trip every player-facing
  // text takes; it is written as text, never as a format.
  const stringw wide_name(buildName.begin(), buildName.end());
  LogLine("%s", wide2string(wide_name).c_str());

  const int status = RunStarterPhase(argc, argv, onlyAutoUpdate);
  if (onlyAutoUpdate) return;
  startupError = status;
  if (startupError != 0) return;

  const String module_path = appDir + kGameModule;
  if (!LoadGameDLL(module_path.c_str(), argc, argv)) {
    startupError = 2;
    LogLine("Could not load game module %s (errno %i): %s", module_path.c_str(),
            errno, "");
  }
  UnloadGameModules(*this);
}

void CApplication::Shutdown() {
  if (game != nullptr) game->Shutdown();
}

void CApplication::Restart() {
  if (game != nullptr) game->Restart();
}

void CApplication::setBuildName(const char* /*name*/) {}

void CApplication::AddCrashRptFile(const char* /*filename*/) {}

void CApplication::SetReportDebugString(const char* /*text*/) {}
