// The temporary files that processes which no longer run left behind.
#ifndef STARTER_ENGINE_STALE_TEMPORARIES_H_
#define STARTER_ENGINE_STALE_TEMPORARIES_H_

#include <string>

// Removes from the directory `dir` ("" for the current directory) every file
// named as an AtomicFile names its temporary file ("<name>.<pid>.<XXXXXX>.tmp")
// whose process no longer runs, and leaves every other file alone. Only for
// directories of the program's own tree: elsewhere such names may belong to
// someone else. A directory swept before by this process is not read again
// (the memory of them is cleared now and then). Failures are ignored.
void SweepStaleTemporaries(const std::string& dir);

#endif  // STARTER_ENGINE_STALE_TEMPORARIES_H_
