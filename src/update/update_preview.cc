#include "update/update_preview.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string_view>
#include <utility>

#include "engine/file_lock.h"
#include "engine/hash_pipeline.h"
#include "engine/md5.h"
#include "install/file_install.h"
#include "update/file_pair_index.h"
#include "update/tree_scan.h"
#include "update/unused_files.h"
#include "update/update_decisions.h"

namespace {

// The local copies of the listed files, hashed as the update run hashes
// them: its records, and why each file that could not be hashed failed.
struct LocalFiles {
  FilePairIndex records;
  std::map<std::string, HashPipeline::Result> failures;
};

LocalFiles HashLocalCopies(const ListSteps& steps) {
  LocalFiles local;
  const std::vector<bool> listed = ListedFilesToHash(steps);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const char* name = steps[i].path().data();
    if (listed[i] && spacesinfile(name) == 0) names.emplace_back(name);
  }
  local.records.reserve(names.size());
  HashPipeline hashes(names);
  for (const std::string& name : names) {
    HashPipeline::Result hashed = hashes.TakeNext();
    if (hashed.error != FileHashError::kNone) local.failures[name] = hashed;
    local.records.Append(name, RecordedHash(std::move(hashed)));
  }
  return local;
}

LocalCopy LocalCopyOf(const LocalFiles& local, const std::string& path) {
  const auto failed = local.failures.find(path);
  if (failed == local.failures.end()) return LocalCopy::kDiffers;
  const HashPipeline::Result& why = failed->second;
  if (why.error == FileHashError::kNotRegularFile) {
    return LocalCopy::kNotRegularFile;
  }
  if (why.error == FileHashError::kCannotOpen &&
      (why.error_number == ENOENT || why.error_number == ENOTDIR)) {
    return LocalCopy::kMissing;
  }
  return LocalCopy::kUnreadable;
}

// The first hash the list gives each listed file, by ListedFileKey.
std::map<std::string, std::string_view> FirstHashes(const ListSteps& steps) {
  std::map<std::string, std::string_view> first;
  for (const ListStep& step : steps) {
    if (step.read() == ListRead::kEntry) {
      first.emplace(ListedFileKey(step.path()), step.hash());
    }
  }
  return first;
}

// True when bytes whose MD5 is `published` pass the download's check
// against `listed`: `published` is an MD5 text and `listed` the same,
// ignoring letter case.
bool ArrivesMatching(std::string_view published, std::string_view listed) {
  return IsMd5Text(published) && published.size() == listed.size() &&
         strncasecmp(published.data(), listed.data(), published.size()) == 0;
}

}  // namespace

std::vector<std::string> PreviewRelocation(
    const char* list_path, const std::vector<std::string>& ignoreFiles) {
  std::map<std::string, std::string> listed;
  std::vector<std::string> moves;
  if (!LoadStandardFiles(list_path, listed)) return moves;
  for (UnusedFile& file :
       PlanUnusedFiles(kRelocatedTree, ignoreFiles, listed)) {
    // A name moved before under another one finds nothing left to move.
    if (file.action == UnusedFileAction::kMove && !file.moved_before) {
      moves.push_back(std::move(file.path));
    }
  }
  return moves;
}

WalkPreview PreviewWalk(const ListSteps& steps,
                        const std::vector<std::string>& ignoreFiles,
                        const ReleaseTable* table) {
  const LocalFiles local = HashLocalCopies(steps);
  const std::map<std::string, std::string_view> first = FirstHashes(steps);
  ComparisonWalk walk(ignoreFiles, local.records, table);
  WalkPreview preview;
  bool replaces_executable = false;
  for (const ListStep& step : steps) {
    if (step.read() == ListRead::kMalformed) {
      ++preview.refused;
      preview.entries.push_back(
          {PreviewedEntry::Kind::kMalformed, std::string(step.error())});
      continue;
    }
    if (step.read() != ListRead::kEntry) continue;
    ++preview.listed;
    const std::string path(step.path());
    switch (walk.Decide(path, std::string(step.hash()))) {
      case ListedEntryAction::kRefusePath:
        ++preview.refused;
        preview.entries.push_back({PreviewedEntry::Kind::kRefused, path});
        break;
      case ListedEntryAction::kIgnore:
        break;
      case ListedEntryAction::kCurrent:
        if (LacksExecutableMode(path.c_str())) {
          ++preview.not_executable;
          preview.entries.push_back(
              {PreviewedEntry::Kind::kNotExecutable, path});
        }
        break;
      case ListedEntryAction::kDownload: {
        ++preview.downloads;
        PreviewedEntry entry{PreviewedEntry::Kind::kDownload, path,
                             LocalCopyOf(local, path)};
        entry.rejected =
            !ArrivesMatching(first.at(ListedFileKey(path)), step.hash());
        if (!entry.rejected) {
          // Installed here, an executable that is there, or that an
          // earlier entry put there, is swapped aside for the new one.
          replaces_executable =
              replaces_executable || ReplacesExecutable(path.c_str()) ||
              (IsExecutableName(path.c_str()) && walk.InstalledBefore(path));
          walk.Installed(path);
        }
        preview.fails = preview.fails || entry.rejected;
        preview.entries.push_back(std::move(entry));
        break;
      }
    }
  }
  preview.fails = preview.fails || preview.refused > 0;
  preview.restarts = replaces_executable && !preview.fails;
  return preview;
}

std::optional<UpdatePreview> PreviewUpdateRun(
    const char* version_file, const std::string& list_dir,
    const std::vector<std::string>& ignoreFiles, const ReleaseTable* table) {
  const std::string list = list_dir + "/" + version_file;
  UpdatePreview preview;
  preview.moves = PreviewRelocation(list.c_str(), ignoreFiles);
  if (ListKeysMatch(version_file, list_dir.c_str())) {
    preview.keys_match = true;
    return preview;
  }
  std::optional<ListSteps> steps = ReadListStepsAt(list);
  if (!steps) return std::nullopt;
  preview.walk = PreviewWalk(*steps, ignoreFiles, table);
  return preview;
}

std::optional<ListSteps> ReadListStepsAt(const std::string& path) {
  FileLock list(std::fopen(path.c_str(), "r"));
  if (!list.isValid()) return std::nullopt;
  return ReadListSteps(list.get());
}
