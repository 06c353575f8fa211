// The decisions of the update run that a preview of it takes too: the key
// check, which listed files are hashed and what the comparison walk does
// with one entry. The run and starter-verify call these; neither has a copy.
#ifndef STARTER_UPDATE_UPDATE_DECISIONS_H_
#define STARTER_UPDATE_UPDATE_DECISIONS_H_

#include <string>
#include <vector>

#include "engine/hash_pipeline.h"
#include "update/checksum_list.h"
#include "update/file_pair_index.h"

class ListedPathChecker;

// True when the local version file `filename` and the list at `downloaddir`
// joined with `filename` ("/" between them unless `downloaddir` is empty)
// both carry the keyword "version_file" and the same key above 0. Each
// failure to open or read either file is logged to the application log
// ("Failed to open my version file %s", "fscanf read error: autoupdate 2",
// ...); nothing is written.
bool ListKeysMatch(const char* filename, const char* downloaddir);

// Per step of `steps`: true for the entries whose path passes the
// listed-path checks, the files (duplicates kept) of the version file's
// walk; of these the run hashes the local copies of those whose name holds
// no space. Refused and malformed entries are left out; the comparison walk
// reports them.
std::vector<bool> ListedFilesToHash(const ListSteps& steps);

// The hash text recorded for a hashed local file: its MD5, or
// kUnreadableHash when it could not be hashed (never equal to a listed hash).
std::string RecordedHash(HashPipeline::Result hashed);

// True when `name` (a listed path without its leading "./") equals an entry
// of `ignoreFiles` exactly.
bool IsIgnored(const std::vector<std::string>& ignoreFiles,
               const std::string& name);

// What the comparison walk does with one well-formed listed entry.
enum class ListedEntryAction {
  // The path is refused (see ListedPathChecker); the run counts it a failure.
  kRefusePath,
  // The name (path without "./") is on an ignore list and a local copy opens.
  kIgnore,
  // `local` holds a record of the same name (ignoring case) and hash.
  kCurrent,
  // Anything else: the file is downloaded.
  kDownload,
};

// The action for the entry (`path`, `hash`) by the listed-path checks of
// `checker`, the names in `ignoreFiles` and the local hash records `local`.
// Opens the local copy of an ignored name to see that it exists; changes and
// logs nothing.
ListedEntryAction DecideListedEntry(const std::string& path,
                                    const std::string& hash,
                                    ListedPathChecker& checker,
                                    const std::vector<std::string>& ignoreFiles,
                                    const FilePairIndex& local);

#endif  // STARTER_UPDATE_UPDATE_DECISIONS_H_
