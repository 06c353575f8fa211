#include "app/interrupt_handler.h"

#include <unistd.h>

#include <csignal>

#include "engine_starter/application.h"

void exit_program(int /*sig*/) {
  // write(2) is async-signal-safe, unlike stdio.
  static constexpr char kMessage[] = "Ctrl+C detected\n";
  ssize_t written = write(STDOUT_FILENO, kMessage, sizeof kMessage - 1);
  (void)written;
  if (CApplication* app = Singleton<CApplication>::GetSingleton()) {
    app->Shutdown();
  }
  std::signal(SIGINT, SIG_DFL);
}
