// The process id file: CApplication::WritePID (declared in
// engine_starter/application.h).
#include <unistd.h>

#include <cstdio>

#include "engine/file_lock.h"
#include "engine_starter/application.h"

void CApplication::WritePID() {
  const int pid = static_cast<int>(getpid());
  std::printf("PID: %i\n", pid);
  FileLock file(std::fopen("Logs/pid.txt", "wb"));
  if (file.isValid()) std::fprintf(file.get(), "%i", pid);
}
