// The one way the starter writes to the application log.
#ifndef STARTER_ENGINE_APP_LOG_H_
#define STARTER_ENGINE_APP_LOG_H_

// Formats `format` by the printf conventions and writes the text as one line
// of the application log (CAppLog), exactly as its Write would, a text too
// long for the log's buffer cut the same way. Does nothing while no
// application log exists, or for a null `format`. Not reentrant; main thread.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // STARTER_ENGINE_APP_LOG_H_
