// What an update run would do, told by the run's own decisions without
// changing anything: the relocation's plan, the key check, the comparison
// walk and the installation step's restart rule. starter-verify reports it.
#ifndef STARTER_UPDATE_UPDATE_PREVIEW_H_
#define STARTER_UPDATE_UPDATE_PREVIEW_H_

#include <optional>
#include <string>
#include <vector>

#include "update/checksum_list.h"
#include "update/release_table.h"

// The unlisted files below "./Base" that the relocation would move into
// "./old/" by the list at `list_path` (PlanUnusedFiles), in the order it
// would move them, each directory entry once (under the first of its names;
// the run's attempt under another ends as a file conflict); none when the
// list cannot be opened.
std::vector<std::string> PreviewRelocation(
    const char* list_path, const std::vector<std::string>& ignoreFiles);

// What is wrong with the local copy of a listed file the run would fetch.
enum class LocalCopy {
  // It was hashed and its hash differs from the listed one.
  kDiffers,
  // Nothing is there (or a dangling link).
  kMissing,
  // A directory, FIFO, socket or device.
  kNotRegularFile,
  // It is there but could not be read.
  kUnreadable,
};

// One entry of a list that the run would not leave alone.
struct PreviewedEntry {
  enum class Kind {
    // The entry breaks the list format: the run refuses it.
    kMalformed,
    // The listed-path checks refuse the path.
    kRefused,
    // The run would request the file from the server.
    kDownload,
    // One of the game's executables or scripts that the run leaves as it is
    // (its hash matches) while its owner may not run it
    // (LacksExecutableMode): it is not as an install leaves it.
    kNotExecutable,
  };
  Kind kind;
  // The listed path; for kMalformed, why the entry is malformed.
  std::string text;
  // kDownload: what is wrong with the local copy.
  LocalCopy local = LocalCopy::kDiffers;
  // kDownload: the bytes that arrive cannot have the entry's hash, because
  // the server's file is the one the list's first hash for it names (see
  // PreviewWalk): the run would refuse them and fail.
  bool rejected = false;
};

// The comparison walk of a run, as the run would take it.
struct WalkPreview {
  // In list order.
  std::vector<PreviewedEntry> entries;
  // Well-formed entries.
  int listed = 0;
  // Transfers the run would request (kDownload entries).
  int downloads = 0;
  // Refused and malformed entries.
  int refused = 0;
  // kNotExecutable entries.
  int not_executable = 0;
  // The run would end with error 1 (a refused or malformed entry, or a
  // rejected download): it would not install the list and, whatever it
  // replaced, the starter would not restart.
  bool fails = false;
  // The run would replace one of the game's executables and not fail: the
  // starter would restart.
  bool restarts = false;
};

// The comparison walk over the list `steps` (ComparisonWalk, with the
// names in `ignoreFiles`), with the local copies of the listed files hashed
// as the run hashes them. Each transfer is taken to deliver the bytes of
// the first hash the list gives its file (in any spelling of its path): a
// server publishes one file per path, and a list that names it again with
// another hash cannot be matched twice. With the release's file table
// `table` (null: none), a listed path without a row is refused, as the run
// refuses it. Opens and hashes local files; changes nothing and logs
// nothing.
WalkPreview PreviewWalk(const ListSteps& steps,
                        const std::vector<std::string>& ignoreFiles,
                        const ReleaseTable* table = nullptr);

// The update run with the list `list_dir` + "/" + `version_file` against
// the local version file `version_file`.
struct UpdatePreview {
  // PreviewRelocation.
  std::vector<std::string> moves;
  // The keys match: the run would end after the relocation.
  bool keys_match = false;
  // The comparison walk when the keys differ.
  WalkPreview walk;
};

// The preview of an update run that fetched its list into `list_dir`
// (already checked to be a checksum list, and its signature where one is
// required), with the release's file table `table` where the run has one
// (null: none); nothing when that list cannot be read (errno tells why).
// The key check's failures to read either file are logged as the run logs
// them.
std::optional<UpdatePreview> PreviewUpdateRun(
    const char* version_file, const std::string& list_dir,
    const std::vector<std::string>& ignoreFiles,
    const ReleaseTable* table = nullptr);

// The steps of the list at `path`; nothing when it does not open (errno
// tells why).
std::optional<ListSteps> ReadListStepsAt(const std::string& path);

#endif  // STARTER_UPDATE_UPDATE_PREVIEW_H_
