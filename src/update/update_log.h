// Writing to the application log from the updater.
#ifndef STARTER_UPDATE_UPDATE_LOG_H_
#define STARTER_UPDATE_UPDATE_LOG_H_

// Formats by the printf conventions and writes the text as one line of the
// application log (CAppLog). Does nothing while no application log exists.
void UpdateLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // STARTER_UPDATE_UPDATE_LOG_H_
