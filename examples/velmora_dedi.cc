// A sample dedicated-server game module: built as "libVelmora_dedi.so", it
// shows everything a module does with the starter. It registers its own
// application object (so that Ctrl+C reaches it), logs through the starter's
// log, reads the engine defaults and switches, looks up a data file, fetches
// the message of the day from the update server and runs a short server loop.
//
// The loop ends on its own after VELMORA_SERVER_SECONDS seconds (default 3),
// or at once when the starter forwards a shutdown request. The module starts
// no threads and installs no signal handlers.
#include <engine_starter/module.h>

#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kDefaultServerSeconds = 3;
constexpr int kMaxServerSeconds = 3600;
constexpr long kTickMillis = 100;
constexpr char kMotdFile[] = "Base/motd.txt";
constexpr char kServerConfig[] = "Base/server.cfg";

// The game's own application object. Shutdown may be called from the
// starter's interrupt handler, so it only sets a flag.
class DedicatedServer : public ICApplication {
 public:
  void Run(int, char**) override {}
  void Shutdown() override { shutdown_requested = 1; }
  void Restart() override {
    if (log != nullptr) log->Write("Velmora: restart requested (ignored)");
  }
  bool DownloadFile(const char*, const char*, const char*, int) override {
    return false;
  }
  std::string getUpdatePath() override { return std::string(); }

  volatile sig_atomic_t shutdown_requested = 0;
};

DedicatedServer server;

// Seconds the server loop runs: VELMORA_SERVER_SECONDS when it holds a number
// from 0 to one hour, else the default.
int ServerSeconds() {
  const char* text = std::getenv("VELMORA_SERVER_SECONDS");
  if (text == nullptr || *text == '\0') return kDefaultServerSeconds;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > kMaxServerSeconds) {
    return kDefaultServerSeconds;
  }
  return static_cast<int>(value);
}

// The first line of `path` without its line end, or "" when unreadable.
std::string FirstLine(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::string();
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return std::string();
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

void SleepMillis(long millis) {
  timespec pause{millis / 1000, (millis % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

void LogSettings(CApplication& app) {
  CAppLog& log = *app.log;
  const EngineDefaults& d = app.defaults;
  log.Write("Velmora: %s (%s) dedicated server, build %s", d.gameName.c_str(),
            d.gameAcronym.c_str(), app.shortBuildName.c_str());
  log.Write("Velmora: first-run window %i x %i, design %i x %i",
            d.initialWidth, d.initialHeight, d.defaultWidth, d.defaultHeight);
  log.Write("Velmora: base %s, autoconfig %s, autostart %s, steam %s",
            app.baseDir.c_str(), app.autoconfig.c_str(),
            app.autostart.c_str(), app.useSteam ? "on" : "off");
}

// Fetches the message of the day into "Downloads" and logs it.
void ShowMessageOfTheDay(CApplication& app) {
  const std::string from = app.getUpdatePath();
  if (!app.DownloadFile(from.c_str(), kMotdFile, "Downloads", 10)) {
    app.log->Write("Velmora: no message of the day");
    return;
  }
  const std::string motd = FirstLine(std::string("Downloads/") + kMotdFile);
  app.log->Write("Velmora: message of the day: %s", motd.c_str());
}

// Runs until the time is up or a shutdown was requested. Returns true when
// it was asked to stop.
bool ServeUntilDone(CAppLog& log) {
  const int seconds = ServerSeconds();
  log.Write("Velmora: server running for %i s (Ctrl+C stops it)", seconds);
  const long ticks = seconds * (1000 / kTickMillis);
  for (long tick = 0; tick < ticks; ++tick) {
    if (server.shutdown_requested) return true;
    SleepMillis(kTickMillis);
    if ((tick + 1) % (1000 / kTickMillis) == 0) {
      log.Write("Velmora: tick %li", (tick + 1) / (1000 / kTickMillis));
    }
  }
  return server.shutdown_requested != 0;
}

}  // namespace

extern "C" bool GameDLLInit(ModuleImportExport ie, int argc, char** argv) {
  if (ie.app == nullptr) return false;
  // The starter hands over its CApplication, whose interface part comes first.
  auto& app = *static_cast<CApplication*>(ie.app);
  if (app.log == nullptr) return false;
  CAppLog& log = *app.log;

  server.shutdown_requested = 0;
  server.log = app.log;
  ModuleImportExport mine;
  mine.app = &server;
  app.ImportDLLPointers(mine);

  log.Write("Velmora: module started with %i arguments", argc);
  for (int i = 1; i < argc; ++i) {
    log.Write("Velmora: argument %i: %s", i, argv[i] != nullptr ? argv[i] : "");
  }
  LogSettings(app);

  const String config = app.useFile(kServerConfig);
  const std::string name = FirstLine(config);
  log.Write("Velmora: server config %s: %s", config.c_str(),
            name.empty() ? "(none)" : name.c_str());
  ShowMessageOfTheDay(app);

  const bool stopped = ServeUntilDone(log);
  log.Write("Velmora: server %s, module ends",
            stopped ? "shut down on request" : "finished");
  return true;
}
