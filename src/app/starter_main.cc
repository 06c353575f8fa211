#include "app/starter_main.h"

#include <cstdio>
#include <string>
#include <utility>

#include "app/restart_command.h"
#include "engine/standard_streams.h"
#include "engine_starter/application.h"

namespace {
std::unique_ptr<CAppLog> held_log;
}  // namespace

int StarterMain(int argc, char** argv) {
  // Under a service manager standard output is a pipe to the journal: each
  // line goes there when it is printed, also when the process is killed.
  PrepareStandardStreams();
  auto app = std::make_unique<CApplication>();
  app->Run(argc, argv);
  const std::string restart = app->restartstring;
  const std::string app_dir = app->appDir;
  // Teardown in order: the application object, then the log.
  app.reset();
  TakeApplicationLog().reset();

  if (!restart.empty()) RestartProgram(restart, app_dir, argc, argv);
  std::printf("THE END\n");
  return 0;
}

CAppLog* OpenApplicationLog(const char* path) {
  held_log.reset();
  held_log = std::make_unique<CAppLog>(path, true);
  return held_log.get();
}

std::unique_ptr<CAppLog> TakeApplicationLog() { return std::move(held_log); }
