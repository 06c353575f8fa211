#include "release_patches.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "engine/atomic_file.h"
#include "engine/file_copy.h"
#include "engine/file_lock.h"
#include "engine/md5.h"
#include "engine/scoped_fd.h"
#include "patch/file_patch.h"
#include "release_list.h"
#include "update/checksum_list.h"
#include "update/file_pair_index.h"
#include "update/release_statement.h"
#include "update/release_table.h"

namespace {

// The entries of the list at `path` (path to lower-case MD5); empty when
// it does not open.
std::map<std::string, std::string> ListedMd5s(const std::string& path) {
  std::map<std::string, std::string> listed;
  FileLock file(std::fopen(path.c_str(), "r"));
  if (!file.isValid()) return listed;
  for (const ListStep& step : ReadListSteps(file.get())) {
    if (step.read() == ListRead::kEntry) {
      listed.emplace(std::string(step.path()), LowerBytes(std::string(step.hash())));
    }
  }
  return listed;
}

// The size of the regular file at `path`, if it is one.
std::optional<std::uint64_t> RegularFileSize(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

std::string Fault(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// The patch directory of a release directory, and a patch in it.
std::string PatchDirectoryOf(const std::string& release) {
  return release + std::string(kPatchDirectory).substr(1);
}
std::string PatchFileOf(const std::string& release, const std::string& row) {
  return release + row.substr(1);
}

// Makes the directory of the new release's patches once. Returns "" or why
// not.
std::string MakePatchDirectory(const std::string& release, bool& made) {
  if (made) return std::string();
  const std::string dir = PatchDirectoryOf(release);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return Fault("cannot create", dir, errno);
  }
  made = true;
  return std::string();
}

// Copies the patch at `source` to `patch` (committed with `deferred`).
// Returns "" or why not.
std::string CopyPatch(const std::string& source, const std::string& patch,
                      DeferredSync& deferred) {
  ScopedFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) return Fault("cannot read", source, errno);
  AtomicFile out(patch, LinkAtDestination::kReplace, Attributes::kFresh);
  if (!CopyInto(in.get(), out, CopyAttributes::kNone)) {
    return out.ok() ? Fault("cannot read", source, errno)
                    : Fault("cannot write", patch, out.error());
  }
  if (!out.Commit(deferred)) return Fault("cannot write", patch, errno);
  return std::string();
}

// One pair of contents to patch: a kept release's copy of a listed path and
// the new release's file there.
struct Pair {
  std::string row;     // its table path
  std::string listed;  // the listed path, for reports
  const KeptRelease* kept = nullptr;
  std::string old_path;
  std::string new_path;
  std::uint64_t new_size = 0;
};

void SayNoPatch(const Pair& pair, const std::string& why) {
  std::printf("no patch for %s from %s: %s\n",
              PrintablePath(pair.listed).c_str(), pair.kept->name.c_str(),
              why.c_str());
}

constexpr char kTooLarge[] =
    "the two files together exceed 1 GiB; it is fetched whole";

// Publishes the patch of `pair` in the new release: the file of that name a
// kept release has, or else one made from the old file to the new, kept when
// it is under half the new file's size. Sets `published`. Returns "" or why
// the release cannot be completed (a patch that cannot be written); a pair
// that gets no patch for a reason worth telling is reported on standard
// output.
std::string PublishPatch(const PatchRequest& request, const Pair& pair,
                         DeferredSync& deferred, bool& published) {
  published = false;
  const std::string patch = PatchFileOf(request.release, pair.row);
  // A name stands for the same bytes wherever it is published.
  for (const KeptRelease& other : request.kept) {
    const std::string kept_patch = PatchFileOf(other.directory, pair.row);
    if (RegularFileSize(kept_patch)) {
      published = true;
      return CopyPatch(kept_patch, patch, deferred);
    }
  }
  AtomicFile out(patch, LinkAtDestination::kReplace, Attributes::kFresh);
  const PatchResult made =
      MakePatch(pair.old_path, pair.new_path, out, request.level);
  switch (made.status) {
    case PatchStatus::kOk:
      break;
    case PatchStatus::kWriteFailed:
      return Fault("cannot write", patch, made.error_number);
    case PatchStatus::kInputMissing:
    case PatchStatus::kInputUnreadable:
      return "cannot read " + pair.new_path + ": " + DescribePatchResult(made);
    case PatchStatus::kTooLarge:
      SayNoPatch(pair, kTooLarge);
      return std::string();
    default:
      SayNoPatch(pair, DescribePatchResult(made));
      return std::string();
  }
  // Not worth a request of its own: the file is fetched whole.
  if (2 * made.output_bytes >= pair.new_size) return std::string();
  if (!out.Commit(deferred)) return Fault("cannot write", patch, errno);
  published = true;
  return std::string();
}

}  // namespace

std::string MakeReleasePatches(const PatchRequest& request,
                               DeferredSync& deferred, PatchSummary& summary) {
  const auto start = std::chrono::steady_clock::now();
  summary = PatchSummary();
  const std::vector<std::string>& files = *request.files;
  // The pairs of contents met, by their table paths; the files changed.
  std::set<std::string> pairs;
  std::set<std::size_t> changed;
  bool directory_made = false;
  for (const KeptRelease& kept : request.kept) {
    const std::map<std::string, std::string> old_md5s =
        ListedMd5s(kept.directory + request.list);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto old = old_md5s.find(files[i]);
      const std::string new_md5 = LowerBytes((*request.md5s)[i]);
      if (old == old_md5s.end() || old->second == new_md5) continue;
      changed.insert(i);
      Pair pair;
      pair.row = PatchTablePath(old->second, new_md5);
      if (!pairs.insert(pair.row).second) continue;
      pair.listed = files[i];
      pair.kept = &kept;
      pair.old_path = kept.directory + files[i].substr(1);
      pair.new_path = request.release + files[i].substr(1);
      const std::optional<std::uint64_t> new_size =
          RegularFileSize(pair.new_path);
      const std::optional<std::uint64_t> old_size =
          RegularFileSize(pair.old_path);
      if (!new_size) return Fault("cannot read", pair.new_path, errno);
      pair.new_size = *new_size;
      // Nothing is under half of an empty file; a kept copy that is gone or
      // no longer what its list says is no reference.
      if (pair.new_size == 0 || !old_size) continue;
      if (*old_size + pair.new_size > kPatchSpanMax) {
        SayNoPatch(pair, kTooLarge);
        continue;
      }
      std::string old_actual;
      if (!Md5File(pair.old_path.c_str(), old_actual) ||
          LowerBytes(old_actual) != old->second) {
        continue;
      }
      bool published = false;
      std::string why = MakePatchDirectory(request.release, directory_made);
      if (why.empty()) why = PublishPatch(request, pair, deferred, published);
      if (!why.empty()) return why;
      if (!published) continue;
      const std::string patch = PatchFileOf(request.release, pair.row);
      const std::optional<FileDigest> digest = DigestOfFile(patch);
      if (!digest) return Fault("cannot read", patch, errno);
      summary.rows.push_back({pair.row, digest->size, digest->sha256});
      summary.patch_bytes += digest->size;
      summary.replaced_bytes += pair.new_size;
    }
  }
  if (directory_made && summary.rows.empty()) {
    rmdir(PatchDirectoryOf(request.release).c_str());
  }
  std::sort(summary.rows.begin(), summary.rows.end(),
            [](const TableRow& a, const TableRow& b) { return a.path < b.path; });
  summary.patches = static_cast<int>(summary.rows.size());
  summary.changed_files = static_cast<int>(changed.size());
  summary.seconds = std::chrono::duration<double>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  return std::string();
}

std::string DescribePatchSummary(const PatchSummary& summary) {
  char line[200];
  std::snprintf(line, sizeof line,
                "Made %d patches for %d changed files: %llu bytes instead of "
                "%llu (%.1f s)",
                summary.patches, summary.changed_files,
                static_cast<unsigned long long>(summary.patch_bytes),
                static_cast<unsigned long long>(summary.replaced_bytes),
                summary.seconds);
  return line;
}
