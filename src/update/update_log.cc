#include "update/update_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "engine_starter/log.h"

void UpdateLog(const char* format, ...) {
  CAppLog* log = CAppLog::GetSingleton();
  if (log == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  log->WriteNoArgs(text.c_str());
}
