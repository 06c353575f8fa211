#include "app/starter.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "engine/app_log.h"
#include "engine/file_lock.h"
#include "engine_starter/application.h"
#include "launcher/config_map.h"
#include "launcher/config_reader.h"
#include "launcher/engine_defaults_setup.h"
#include "update/auto_update.h"

namespace {

constexpr char kStartupConfig[] = "startup_config.cfg";
constexpr char kRestartMessage[] =
    "Major file update - please restart the game\n";
constexpr char kNoAutoupdateBanner[] =
    "____________________________________________________NO AUTOUPDATE "
    "_________________________________________\n";
// The status after a major update: the game must be restarted.
constexpr std::int32_t kRestartNeeded = 10;
// How many restarts after updates came one after another, handed to the
// restarted program; the chain ends at kMaxUpdateRestarts.
constexpr char kRestartCountVariable[] = "STARTER_UPDATE_RESTARTS";
constexpr int kMaxUpdateRestarts = 3;

// The count this process was started with (0 when it was not a restart
// after an update), which is then removed from the environment.
int TakeUpdateRestartCount() {
  const char* value = std::getenv(kRestartCountVariable);
  const long count = value != nullptr ? std::strtol(value, nullptr, 10) : 0;
  ::unsetenv(kRestartCountVariable);
  return static_cast<int>(std::clamp<long>(count, 0, kMaxUpdateRestarts));
}

CApplication* App() { return Singleton<CApplication>::GetSingleton(); }

}  // namespace

CStarter::CStarter(int argc, char** argv) : argc(argc), argv(argv) {
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (arg != "nolauncher" && arg != "join" && arg != "-join") continue;
    LogLine("Running without Launcher\n");
    nolauncher = true;
  }
  if (CApplication* app = App()) SetupGame(app->defaults);
  LoadConfig();
}

CStarter::~CStarter() {
  if (cfg != nullptr) {
    cfg->setConfig("Window.Width", std::to_string(config_screen.Width));
    cfg->setConfig("Window.Height", std::to_string(config_screen.Height));
    cfg->setConfig("Fullscreen", config_fullscreen ? "1" : "0");
    // A failed save is logged by the map; the run goes on either way.
    cfg->SaveToFile(kStartupConfig);
  }
}

void CStarter::LoadConfig() {
  CConfigReader reader;
  if (reader.loadFile(kStartupConfig)) {
    cfg = std::make_unique<CConfigMap>();
    while (reader.nextConfig()) {
      cfg->setConfig(reader.getConfigName(), reader.getConfigValue());
    }
    // Negative values keep their bits: -1 becomes 4294967295.
    config_screen.Height =
        static_cast<std::uint32_t>(cfg->getConfigAsInt("Window.Height"));
    config_screen.Width =
        static_cast<std::uint32_t>(cfg->getConfigAsInt("Window.Width"));
    config_fullscreen = cfg->getConfigAsInt("Fullscreen") != 0;
    return;
  }

  LogLine("File not found %s - creating...\n", kStartupConfig);
  CApplication* app = App();
  EngineDefaults own_defaults;
  if (app == nullptr) SetupGame(own_defaults);
  const EngineDefaults& defaults =
      app != nullptr ? app->defaults : own_defaults;
  config_screen.Width = static_cast<std::uint32_t>(defaults.initialWidth);
  config_screen.Height = static_cast<std::uint32_t>(defaults.initialHeight);
  config_fullscreen = false;
  cfg = std::make_unique<CConfigMap>();
  cfg->setConfig("Window.Width", std::to_string(defaults.initialWidth));
  cfg->setConfig("Window.Height", std::to_string(defaults.initialHeight));
  cfg->setConfig("Fullscreen", "0");
}

void CStarter::Autoupdate() {
  if (startup_error > 0) return;
  // Counted only while restarts follow one another: a launch that goes on
  // ends the chain.
  const int restarts_so_far = TakeUpdateRestartCount();

  // Probes whose outcome changes nothing; a failed open is logged by the
  // FileLock.
  { FileLock pid_file(OpenForReadingNoWait("Logs/pid.txt")); }

  CApplication* app = App();
  if (app != nullptr && !app->useAutoupdate) {
    LogLine("%s", kNoAutoupdateBanner);
    return;
  }

  { FileLock update_config(OpenForReadingNoWait("App/autoupdate.cfg")); }

  // The updater's defaults are the starter's: the application's update path
  // and standardFiles, the transfers in flight and the key of this build.
  autoupdate = std::make_unique<CAutoUpdate>("App/autoupdate.cfg",
                                             "App/version.txt", ".", true);
  if (autoupdate->error != 0) {
    LogLine("autoupdate->error %i\n", autoupdate->error);
    error_string = autoupdate->lasterror;
    return;
  }
  if (!autoupdate->restartrequired) return;
  if (restarts_so_far >= kMaxUpdateRestarts) {
    // A server that changes an executable on every run would otherwise
    // restart the starter without end.
    LogLine(
        "Not restarting again after %i restarts in a row; going on with the "
        "launch\n",
        restarts_so_far);
    return;
  }
  ::setenv(kRestartCountVariable, std::to_string(restarts_so_far + 1).c_str(),
           1);
  startup_error = kRestartNeeded;
  running = false;
  if (app != nullptr) app->restartstring = kRestartMessage;
}

int CStarter::DownloadProgress(void* /*ptr*/, double TotalToDownload,
                               double NowDownloaded, double /*TotalToUpload*/,
                               double /*NowUploaded*/) {
  download_percent = TotalToDownload > 0.0
                         ? static_cast<float>(NowDownloaded / TotalToDownload)
                         : 0.0f;
  return running ? 0 : 1;
}

int RunStarterPhase(int argc, char** argv, bool only_update) {
  auto starter = std::make_unique<CStarter>(argc, argv);
  // Published only once fully constructed: the updater and the HTTP client
  // must never see a half-built launcher.
  CStarter::starter = starter.get();
  starter->StartDevice();
  starter->Autoupdate();
  const int status = starter->startup_error;
  if (only_update) {
    starter.release();
    return status;
  }
  starter->running = false;
  starter.reset();
  CStarter::starter = nullptr;
  return status;
}
