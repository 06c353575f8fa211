// update_runner: one update run in the current directory, as the starter
// performs it, in a process of its own so that tests can kill it at any
// point or run it under resource limits.
//
//   update_runner <update URL> [<largest file size in bytes>]
//
// The current directory is the game directory; "Logs/" must exist. The update
// URL is the engine default base (ending in "/"); the platform directory is
// appended as in the starter. With a size limit, every file write beyond it
// fails with EFBIG (as on a full disk) instead of raising SIGXFSZ. Prints the
// outcome as the last three lines "error=<n>", "lasterror=<text>" and
// "restartrequired=<0|1>" and exits with 0; exits with 2 on bad arguments.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine_starter/application.h"
#include "engine_starter/log.h"
#include "launcher/downloads_in_flight.h"
#include "update/auto_update.h"

namespace {

bool LimitFileSize(const char* text) {
  char* end = nullptr;
  unsigned long long bytes = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') return false;
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && !LimitFileSize(argv[2]))) {
    std::fprintf(stderr, "usage: update_runner <update URL> [max file size]\n");
    return 2;
  }
  CApplication app;
  app.defaults.updateURL = argv[1];
  CAppLog log("Logs/app.txt", false);
  int error = 0;
  bool restartrequired = false;
  std::string lasterror;
  {
    UpdateSettings settings;
    settings.update_path = app.getUpdatePath();
    settings.standard_files = &app.standardFiles;
    settings.downloads_in_flight = DownloadsInFlight();
    // The releases of the tests that use this program are not signed.
    settings.trusted_key = ListSigningKey();
    CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true,
                       std::move(settings));
    error = update.error;
    restartrequired = update.restartrequired;
    lasterror = update.lasterror;
  }
  std::printf("\nerror=%d\nlasterror=%s\nrestartrequired=%d\n", error,
              lasterror.c_str(), restartrequired ? 1 : 0);
  return 0;
}
