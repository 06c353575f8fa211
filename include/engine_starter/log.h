// The application log: one text line per message, echoed to the console.
#ifndef ENGINE_STARTER_LOG_H_
#define ENGINE_STARTER_LOG_H_

#include <cstddef>
#include <fstream>

#include "engine_starter/singleton.h"

// Writes messages to a log file, one message and one line feed per line, and
// optionally echoes them to standard output. The file is truncated when the log
// is opened and flushed after every line, so it is complete up to the last
// line written even when the process ends abruptly.
class CLog {
 public:
  // Size of the shared formatting buffer, terminator included. A formatted
  // text longer than that is cut to fit.
  static constexpr std::size_t kBufferSize = 63024;

  // Opens `logfile` for writing, truncating it; a null name gives a
  // console-only log. When the file cannot be created the log silently drops
  // file output and still echoes when `printToStandardOutput` is set.
  CLog(const char* logfile, bool printToStandardOutput);
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Formats `msg` by the printf conventions and writes it as one line.
  // A null `msg` writes nothing.
  virtual void Write(const char* msg, ...)
      __attribute__((format(printf, 2, 3)));
  // Writes `msg` unchanged (no formatting) as one line. A null `msg` writes
  // nothing and leaves the log usable.
  virtual void WriteNoArgs(const char* msg);

 protected:
  std::ofstream Log;
  bool so;

  // Holds the text of the last Write; shared by all logs, so Write is not
  // reentrant.
  static char szBuf[kBufferSize];

 private:
  void EmitLine(const char* text, std::size_t length);
};

// The one application log of the process, reached through its singleton.
class CAppLog : public Singleton<CAppLog>, public CLog {
 public:
  // Registers itself, then opens the log as CLog does.
  CAppLog(const char* logfile, bool printToStandardOutput);
  // Closes the log and clears the registration.
  ~CAppLog() override;
};

#endif  // ENGINE_STARTER_LOG_H_
