// The patches a publisher makes for a new release: for every listed file
// whose content differs from a kept release's copy of the same path, a
// patch from the old content to the new (patch/file_patch.h), kept when it
// is worth fetching instead of the file, and the file table's rows that
// name them (update/release_table.h).
#ifndef STARTER_TOOLS_RELEASE_PATCHES_H_
#define STARTER_TOOLS_RELEASE_PATCHES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "release_list.h"

class DeferredSync;

// A release kept on the server, which patches start from.
struct KeptRelease {
  // Its directory (absolute), holding its files and its list.
  std::string directory;
  // Its name in reports, e.g. "release-4".
  std::string name;
};

// What MakeReleasePatches is asked for.
struct PatchRequest {
  // The new release's files ("./" paths below `release`), and the MD5 of
  // each (lower-case hex), in the same order.
  const std::vector<std::string>* files = nullptr;
  const std::vector<std::string>* md5s = nullptr;
  // The new release's directory (absolute): the files are read there and
  // the patches written to its ".patches" directory.
  std::string release;
  // The list below each release, as an absolute path's tail ("/App/...").
  std::string list;
  // The releases to patch from, newest first.
  std::vector<KeptRelease> kept;
  // zstd's level for MakePatch.
  int level = 3;
};

// What MakeReleasePatches made.
struct PatchSummary {
  // Patches in the new release (each pair of contents once).
  int patches = 0;
  // Listed files whose content differs from a kept release's copy.
  int changed_files = 0;
  // Bytes of those patches, and of the new files they stand in for (one
  // file's size per patch).
  std::uint64_t patch_bytes = 0;
  std::uint64_t replaced_bytes = 0;
  double seconds = 0;
  // One row per patch, in path order.
  std::vector<TableRow> rows;
};

// Makes, for each of the request's files and each kept release whose list
// names the same path with another MD5, the patch from the kept copy to
// the new file, and publishes it in the new release as
// "<release>/.patches/OLD_MD5-NEW_MD5" (PatchTablePath): one patch per pair
// of contents, shared by every path that has that pair. A patch is kept
// only when it is under half the new file's size; a pair whose two files
// together exceed kPatchSpanMax gets none (a line on standard output says
// so). A kept release whose copy no longer has the MD5 its list gives, or
// whose list does not read, is not patched from. A patch a kept release
// already publishes under the same name is copied, not made again, so that
// a name always stands for the same bytes. Patches are committed with
// `deferred` (durable at its SyncAll); the ".patches" directory is left only
// when it holds one. Returns "" with `summary` filled, or why not (a patch
// that cannot be written: the release is then incomplete).
std::string MakeReleasePatches(const PatchRequest& request,
                               DeferredSync& deferred, PatchSummary& summary);

// The line that reports `summary`: "Made N patches for M changed files: P
// bytes instead of F (S s)".
std::string DescribePatchSummary(const PatchSummary& summary);

#endif  // STARTER_TOOLS_RELEASE_PATCHES_H_
