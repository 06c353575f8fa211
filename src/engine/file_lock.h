// Scoped owner of a C file stream.
#ifndef STARTER_ENGINE_FILE_LOCK_H_
#define STARTER_ENGINE_FILE_LOCK_H_

#include <cstdio>
#include <utility>

// Owns one C stream and closes it when destroyed. Despite the name it takes
// no lock on the file. Construct it with the result of fopen: a null stream is
// reported to the application log as "File open error: <system text>" while
// reportError is true and the log exists.
class FileLock {
 public:
  explicit FileLock(FILE* f);
  ~FileLock() { close(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // True when the stream is open.
  bool isValid() const { return f != nullptr; }
  // The owned stream, or null.
  FILE* get() const { return f; }
  // Returns the stream and forgets it; the caller owns it from then on.
  FILE* release() { return std::exchange(f, nullptr); }
  // Closes the stream if open and forgets it. Returns false when fclose
  // reported an error (for example a failed final write).
  bool close();

  // Whether failed opens are logged; the updater switches it off around its
  // existence probes.
  static bool reportError;

  // Logs the failed-open line "File open error: <system text for `error`>"
  // followed by an empty line, as a null stream does, while reportError is
  // true and the application log exists. For an open whose stream is not
  // owned by a FileLock.
  static void ReportOpenFailure(int error);

 private:
  FILE* f;
};

// Opens `path` for reading as fopen(path, "r") does, but never waits on it:
// a FIFO without a writer opens at once. Returns null (errno set) when it
// cannot be opened. For existence probes, whose answer must not depend on
// what kind of file an operator or a server put there.
FILE* OpenForReadingNoWait(const char* path);

// Opens `path` for writing as fopen(path, "wb") does (created, emptied, the
// stream through a link at `path` as fopen's), but never waits on it: a FIFO
// without a reader fails at once with ENXIO instead of stopping the caller.
// Returns null (errno set) when it cannot be opened.
FILE* OpenForWritingNoWait(const char* path);

#endif  // STARTER_ENGINE_FILE_LOCK_H_
