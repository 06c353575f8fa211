#include "engine/app_log.h"

#include <cstdarg>
#include <cstdio>

#include "engine_starter/log.h"

void LogLine(const char* format, ...) {
  CAppLog* log = CAppLog::GetSingleton();
  if (log == nullptr || format == nullptr) return;
  // Formatted into a buffer of the log's own size, so the text is cut where
  // Write would cut it; Write then takes it as it is.
  static char text[CLog::kBufferSize];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log->Write("%s", written < 0 ? "" : text);
}
