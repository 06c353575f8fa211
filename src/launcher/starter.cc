// The launcher: argument scan, engine defaults, "startup_config.cfg" and the
// update step.
#include "launcher/starter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/file_lock.h"
#include "engine_starter/application.h"
#include "launcher/config_map.h"
#include "launcher/config_reader.h"
#include "launcher/engine_defaults_setup.h"
#include "launcher/update_public_key.h"
#include "update/auto_update.h"

namespace {

constexpr char kStartupConfig[] = "startup_config.cfg";
constexpr char kRestartMessage[] =
    "Major file update - please restart the game\n";
constexpr char kNoAutoupdateBanner[] =
    "____________________________________________________NO AUTOUPDATE "
    "_________________________________________\n";
// Overrides the update server base of the engine defaults when set; meant for
// staging servers and for the end-to-end tests, which serve on a free port.
constexpr char kUpdateUrlVariable[] = "STARTER_UPDATE_URL";
// The status after a major update: the game must be restarted.
constexpr std::int32_t kRestartNeeded = 10;

CAppLog* AppLog() { return Singleton<CAppLog>::GetSingleton(); }
CApplication* App() { return Singleton<CApplication>::GetSingleton(); }

// One of the words that ask for a run without the launcher window.
bool IsNoLauncherArgument(const char* arg) {
  if (arg == nullptr) return false;
  return std::strcmp(arg, "nolauncher") == 0 || std::strcmp(arg, "join") == 0 ||
         std::strcmp(arg, "-join") == 0;
}

// Replaces defaults.updateURL by the environment's STARTER_UPDATE_URL when it
// is set to an http(s) URL ending in "/". Anything else set there is logged
// and ignored.
void ApplyUpdateUrlOverride(EngineDefaults& defaults) {
  const char* value = std::getenv(kUpdateUrlVariable);
  if (value == nullptr || *value == '\0') return;
  const std::string url = value;
  const bool has_scheme =
      url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  if (!has_scheme || url.back() != '/') {
    if (AppLog() != nullptr) {
      AppLog()->Write("%s ignored (not an http URL ending in /): %s\n",
                      kUpdateUrlVariable, url.c_str());
    }
    return;
  }
  defaults.updateURL = url;
  if (AppLog() != nullptr) {
    AppLog()->Write("Update server from %s: %s\n", kUpdateUrlVariable,
                    url.c_str());
  }
}

}  // namespace

CStarter::CStarter(int argc, char** argv) : argc(argc), argv(argv) {
  for (int i = 0; i < argc; ++i) {
    if (!IsNoLauncherArgument(argv[i])) continue;
    if (AppLog() != nullptr) AppLog()->Write("Running without Launcher\n");
    nolauncher = true;
  }
  if (CApplication* app = App()) {
    SetupGame(app->defaults);
    ApplyUpdateUrlOverride(app->defaults);
  }
  LoadConfig();
}

CStarter::~CStarter() {
  if (cfg != nullptr) {
    cfg->setConfig("Window.Width", std::to_string(config_screen.Width));
    cfg->setConfig("Window.Height", std::to_string(config_screen.Height));
    cfg->setConfig("Fullscreen", config_fullscreen ? "1" : "0");
    // A failed save is logged by the map; the run goes on either way.
    cfg->SaveToFile(kStartupConfig);
    cfg.reset();
  }
  autoupdate.reset();
}

bool CStarter::StartDevice() {
  if (startup_error > 0) return false;
  if (nolauncher) startup_error = 0;
  return true;
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

  if (AppLog() != nullptr) {
    AppLog()->Write("File not found %s - creating...\n", kStartupConfig);
  }
  EngineDefaults own_defaults;
  const EngineDefaults* defaults = nullptr;
  if (CApplication* app = App()) {
    defaults = &app->defaults;
  } else {
    SetupGame(own_defaults);
    defaults = &own_defaults;
  }
  config_screen.Width = static_cast<std::uint32_t>(defaults->initialWidth);
  config_screen.Height = static_cast<std::uint32_t>(defaults->initialHeight);
  config_fullscreen = false;
  cfg = std::make_unique<CConfigMap>();
  cfg->setConfig("Window.Width", std::to_string(defaults->initialWidth));
  cfg->setConfig("Window.Height", std::to_string(defaults->initialHeight));
  cfg->setConfig("Fullscreen", "0");
}

void CStarter::Autoupdate() {
  if (startup_error > 0) return;

  // Probes whose outcome changes nothing; a failed open is logged by the
  // FileLock.
  { FileLock pid_file(std::fopen("Logs/pid.txt", "rb")); }

  CApplication* app = App();
  if (app != nullptr && !app->useAutoupdate) {
    if (AppLog() != nullptr) AppLog()->Write("%s", kNoAutoupdateBanner);
    return;
  }

  { FileLock update_config(std::fopen("App/autoupdate.cfg", "r")); }

  autoupdate = std::make_unique<CAutoUpdate>(
      "App/autoupdate.cfg", "App/version.txt", ".", true,
      ListSigningKey{std::string(CompiledUpdatePublicKey())});
  if (autoupdate->error == 0) {
    if (autoupdate->restartrequired) {
      startup_error = kRestartNeeded;
      running = false;
      if (app != nullptr) app->restartstring = kRestartMessage;
    }
    return;
  }
  if (AppLog() != nullptr) {
    AppLog()->Write("autoupdate->error %i\n", autoupdate->error);
  }
  error_string = autoupdate->lasterror;
}

bool CStarter::OnEvent(const irr::SEvent& /*event*/) { return false; }

int CStarter::DownloadProgress(void* /*ptr*/, double TotalToDownload,
                               double NowDownloaded, double /*TotalToUpload*/,
                               double /*NowUploaded*/) {
  download_percent = TotalToDownload > 0.0
                         ? static_cast<float>(NowDownloaded / TotalToDownload)
                         : 0.0f;
  return running ? 0 : 1;
}
