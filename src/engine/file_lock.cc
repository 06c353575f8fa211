#include "engine/file_lock.h"

#include <cerrno>
#include <cstring>

#include "engine_starter/log.h"

bool FileLock::reportError = true;

FileLock::FileLock(FILE* stream) : f(stream) {
  if (f == nullptr && reportError && Singleton<CAppLog>::IsValid()) {
    // Read errno before anything else can change it.
    const char* reason = std::strerror(errno);
    Singleton<CAppLog>::GetSingleton()->Write("File open error: %s\n", reason);
  }
}

FileLock::~FileLock() { close(); }

FILE* FileLock::release() {
  FILE* stream = f;
  f = nullptr;
  return stream;
}

bool FileLock::close() {
  if (f == nullptr) return true;
  int result = std::fclose(f);
  f = nullptr;
  return result == 0;
}
