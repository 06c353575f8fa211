#include "update/update_decisions.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/app_log.h"
#include "engine/file_lock.h"
#include "engine/paths.h"
#include "install/file_install.h"
#include "update/listed_path.h"
#include "update/tree_scan.h"

bool IsIgnored(const std::vector<std::string>& ignoreFiles,
               const std::string& name) {
  return std::find(ignoreFiles.begin(), ignoreFiles.end(), name) !=
         ignoreFiles.end();
}

bool ListKeysMatch(const char* filename, const char* downloaddir,
                   bool report) {
  // FileLock reports a failed open unless told not to.
  const bool reported_opens = FileLock::reportError;
  if (!report) FileLock::reportError = false;
  struct Restore {
    bool value;
    ~Restore() { FileLock::reportError = value; }
  } restore{reported_opens};
  ListHeader local;
  {
    FileLock file(std::fopen(filename, "r"));
    if (!file.isValid()) {
      if (report) LogLine("Failed to open my version file %s\n", filename);
      return false;
    }
    local = ReadListHeader(file.get());
    if (!local.found && report) LogLine("fscanf read error: autoupdate 2\n");
  }
  std::string downloaded = downloaddir;
  if (!downloaded.empty()) downloaded += "/";
  downloaded += filename;
  ListHeader server;
  {
    FileLock file(std::fopen(downloaded.c_str(), "r"));
    if (!file.isValid()) {
      if (report) {
        LogLine("Failed to open downloaded version file %s\n",
                downloaded.c_str());
      }
      return false;
    }
    server = ReadListHeader(file.get());
    if (!server.found && report) {
      LogLine("fscanf read error: autoupdate 3\n");
    }
  }
  if (server.found && !server.keyword_ok) {
    if (report) {
      LogLine("Failed to create version file %s\n", downloaded.c_str());
    }
    return false;
  }
  return local.keyword_ok && server.keyword_ok && local.key > 0 &&
         server.key > 0 && local.key == server.key;
}

std::vector<bool> ListedFilesToHash(const ListSteps& steps) {
  ListedPathChecker checker;
  std::vector<bool> files;
  files.reserve(steps.size());
  for (const ListStep& step : steps) {
    files.push_back(step.read() == ListRead::kEntry &&
                    checker.Check(std::string(step.path())) ==
                        ListedPath::kInside);
  }
  return files;
}

std::string RecordedHash(HashPipeline::Result hashed) {
  return hashed.error == FileHashError::kNone ? std::move(hashed.hex)
                                              : std::string(kUnreadableHash);
}

std::string ListedFileKey(std::string_view path) {
  std::string key;
  ForEachComponent(path, 2, [&](std::string_view part, auto) {
    if (!part.empty() && part != ".") (key += '/') += part;
    return true;
  });
  return key;
}

ComparisonWalk::ComparisonWalk(const std::vector<std::string>& ignoreFiles,
                               const FilePairIndex& local,
                               const ReleaseTable* table)
    : table_(table), ignore_files_(ignoreFiles), local_(local) {}

ListedPath ComparisonWalk::Check(const std::string& path) {
  const ListedPath verdict = checker_.Check(path);
  if (verdict == ListedPath::kInside && table_ != nullptr &&
      table_->Find(path) == nullptr) {
    return ListedPath::kNotInFileTable;
  }
  return verdict;
}

ListedEntryAction ComparisonWalk::Decide(const std::string& path,
                                         const std::string& hash) {
  if (Check(path) != ListedPath::kInside) {
    return ListedEntryAction::kRefusePath;
  }
  const std::string name = path.substr(2);
  if (IsIgnored(ignore_files_, name) &&
      (InstalledBefore(path) || fileExists(name.c_str()))) {
    return ListedEntryAction::kIgnore;
  }
  return local_.Contains(filemd5pair{path, hash})
             ? ListedEntryAction::kCurrent
             : ListedEntryAction::kDownload;
}

void ComparisonWalk::Installed(const std::string& path) {
  installed_.insert(ListedFileKey(path));
}

bool ComparisonWalk::InstalledBefore(const std::string& path) const {
  return !installed_.empty() && installed_.count(ListedFileKey(path)) != 0;
}
