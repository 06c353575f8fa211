// The decisions of the update run that a preview of it takes too: the key
// check, which listed files are hashed and what the comparison walk does
// with each entry. The run and its preview (update_preview.h, which
// starter-verify reports) call these; neither has a copy.
#ifndef STARTER_UPDATE_UPDATE_DECISIONS_H_
#define STARTER_UPDATE_UPDATE_DECISIONS_H_

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/hash_pipeline.h"
#include "update/checksum_list.h"
#include "update/file_pair_index.h"
#include "update/listed_path.h"
#include "update/release_table.h"

// True when the local version file `filename` and the list at `downloaddir`
// joined with `filename` ("/" between them unless `downloaddir` is empty)
// both carry the keyword "version_file" and the same key above 0. Each
// failure to open or read either file is logged to the application log
// ("Failed to open my version file %s", "fscanf read error: autoupdate 2",
// ...) unless `report` is false; nothing is written.
bool ListKeysMatch(const char* filename, const char* downloaddir,
                   bool report = true);

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
  // The path is refused (see ListedPathChecker), or the walk holds a file
  // table without a row for it; the run counts it a failure.
  kRefusePath,
  // The name (path without "./") is on an ignore list and a local copy
  // exists: it opens (fileExists), or an earlier entry of a walk that
  // installs nothing itself would have put it in place (see Installed).
  kIgnore,
  // The local records hold one of the same name (ignoring case) and hash.
  kCurrent,
  // Anything else: the file is downloaded.
  kDownload,
};

// The listed path `path` as the components below its "./", without empty
// and "." components, each after a "/": every spelling of one listed file
// gives the same key, and the key of each of its directories is a prefix of
// it ending before a "/".
std::string ListedFileKey(std::string_view path);

// The comparison walk's decisions over one list, entry by entry in list
// order: the update run takes each at the entry's turn, and a preview of
// the run takes the same ones. An earlier entry changes a later decision
// only through the file it put in place: the run's probes find it on the
// disk, and a preview tells the walk of it (Installed).
class ComparisonWalk {
 public:
  // Decides by the names in `ignoreFiles`, the local hash records `local`
  // and, where the release has one, its file table `table` (null: none);
  // all must outlive the walk.
  ComparisonWalk(const std::vector<std::string>& ignoreFiles,
                 const FilePairIndex& local,
                 const ReleaseTable* table = nullptr);

  // The action for the entry (`path`, `hash`) now, by the listed-path
  // checks, the file table's rows, the ignore lists and the local records
  // (see ListedEntryAction).
  // Opens the local copy of an ignored name to see that it exists; changes
  // and logs nothing.
  ListedEntryAction Decide(const std::string& path, const std::string& hash);

  // Records that the walk's entry for `path` would put its file in place,
  // for a walk that installs nothing itself (a preview of the run): from
  // then on the ignore test counts that file as a local copy that exists,
  // as the run's probe finds the file it installed (unless the permission
  // bits the install keeps from the old file bar this process from reading
  // it, which a preview does not foresee). The run itself never calls it:
  // its ignore test is the probe alone.
  void Installed(const std::string& path);
  // True when Installed was called for the file listed as `path` (in any
  // spelling).
  bool InstalledBefore(const std::string& path) const;

  // The listed-path checks' verdict on `path`, then kNotInFileTable when
  // the walk's table has no row for it: why Decide refuses it.
  ListedPath Check(const std::string& path);
  // The table's row for `path`; null without a table or a row.
  const ReleaseFileRecord* Row(const std::string& path) const {
    return table_ != nullptr ? table_->Find(path) : nullptr;
  }

 private:
  ListedPathChecker checker_;
  const ReleaseTable* table_;
  const std::vector<std::string>& ignore_files_;
  const FilePairIndex& local_;
  std::set<std::string> installed_;  // by ListedFileKey
};

#endif  // STARTER_UPDATE_UPDATE_DECISIONS_H_
