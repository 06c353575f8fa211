#include "app/starter_main.h"

#include <cstdio>
#include <memory>
#include <string>

#include "app/application_log.h"
#include "app/restart_command.h"
#include "engine_starter/application.h"

int StarterMain(int argc, char** argv) {
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
