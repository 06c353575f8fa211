#include "engine_starter/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/app_log.h"

char CLog::szBuf[CLog::kBufferSize];

CLog::CLog(const char* logfile, bool printToStandardOutput)
    : so(printToStandardOutput) {
  if (logfile != nullptr) Log.open(logfile, std::ios::out | std::ios::trunc);
}

CLog::~CLog() = default;

void CLog::Write(const char* msg, ...) {
  if (msg == nullptr) return;
  va_list args;
  va_start(args, msg);
  // vsnprintf never writes past the buffer and always terminates it, so an
  // overlong text is cut to kBufferSize - 1 bytes.
  int written = std::vsnprintf(szBuf, kBufferSize, msg, args);
  va_end(args);
  if (written < 0) szBuf[0] = '\0';
  EmitLine(szBuf, std::strlen(szBuf));
}

void CLog::WriteNoArgs(const char* msg) {
  if (msg == nullptr) return;
  EmitLine(msg, std::strlen(msg));
}

void CLog::EmitLine(const char* text, std::size_t length) {
  if (so) {
    std::fwrite(text, 1, length, stdout);
    std::fputc('\n', stdout);
  }
  if (Log.is_open()) {
    Log.write(text, static_cast<std::streamsize>(length));
    Log.put('\n');
    Log.flush();
  }
}

CAppLog::CAppLog(const char* logfile, bool printToStandardOutput)
    : Singleton<CAppLog>(), CLog(logfile, printToStandardOutput) {}

CAppLog::~CAppLog() = default;

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
