#include "update/tree_scan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "engine/app_log.h"
#include "engine/md5.h"
#include "engine/paths.h"

namespace {

constexpr std::size_t kPathBufferSize = 4096;

constexpr std::string_view kExcludedExtensions[] = {"ilk", "pdb", "bak", "tmp",
                                                    "suo"};
constexpr std::string_view kSkippedDirectories[] = {
    "Screenshots", "Downloads", "Cache", "Logs", ".svn", "Mods", "AS_DEBUG"};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// What stat says about path + "/" + name, following links.
enum class EntryKind { kFile, kDirectory, kOther };

EntryKind KindOf(const char* path, const dirent* entry,
                 struct stat* info_out = nullptr) {
  char full[kPathBufferSize];
  std::snprintf(full, sizeof(full), "%s/%s", path, entry->d_name);
  struct stat info;
  if (stat(full, &info) != 0) return EntryKind::kOther;
  if (info_out != nullptr) *info_out = info;
  if (S_ISREG(info.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(info.st_mode)) return EntryKind::kDirectory;
  return EntryKind::kOther;
}

// The directories a scan has entered, by device and inode.
using EnteredDirectories = std::set<std::pair<dev_t, ino_t>>;

bool Contains(const auto& list, std::string_view name) {
  return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

bool AcceptsFile(std::string_view name, const std::string& filter,
                 const std::vector<std::string>& ignoreFiles) {
  if (name.front() == '.') return false;
  std::size_t dot = name.rfind('.');
  std::string_view extension =
      dot == std::string_view::npos ? name : name.substr(dot + 1);
  if (filter != "*") return extension == filter;
  return !Contains(kExcludedExtensions, extension) &&
         !Contains(ignoreFiles, name);
}

}  // namespace

namespace tree_scan {

bool _is_reg(const char* path, const dirent* entry) {
  return KindOf(path, entry) == EntryKind::kFile;
}

bool _is_dir(const char* path, const dirent* entry) {
  return KindOf(path, entry) == EntryKind::kDirectory;
}

}  // namespace tree_scan

namespace {

// What one ScanTree call carries through its directories.
struct Scan {
  const std::string& extension;
  bool subdirectories;
  const std::vector<std::string>& ignoreFiles;
  const std::function<void(std::string)>& found;
  // The canonical path of the scan's root; empty when it does not resolve.
  std::string canonical_root;
  EnteredDirectories entered;
};

bool IsSymbolicLink(const std::string& path, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_LNK;
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// True when the directory link `path` leads to a directory the scan meets
// under its own name: one below the root reached through no skipped
// directory, or the root itself (a loop).
bool LeadsToAScannedDirectory(const std::string& path, const Scan& scan) {
  if (scan.canonical_root.empty()) return false;
  const std::string target = CanonicalPath(path);
  if (target.empty() || !PathIsWithin(target, scan.canonical_root)) {
    return false;
  }
  bool scanned = true;
  ForEachComponent(target, scan.canonical_root.size(),
                   [&](std::string_view part, auto) {
                     scanned = !Contains(kSkippedDirectories, part);
                     return scanned;
                   });
  return scanned;
}

// ScanTree of the directory `root`, which `scan.entered` already holds.
void ScanDirectory(const std::string& root, Scan& scan) {
  DirHandle dir(opendir(root.c_str()));
  if (!dir) return;
  while (const dirent* entry = readdir(dir.get())) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    // One stat answers both questions that _is_reg and _is_dir ask.
    struct stat info;
    EntryKind kind = KindOf(root.c_str(), entry, &info);
    if (kind == EntryKind::kFile) {
      if (!AcceptsFile(name, scan.extension, scan.ignoreFiles)) continue;
      scan.found(root + "/" + entry->d_name);
    } else if (kind == EntryKind::kDirectory) {
      if (!scan.subdirectories || Contains(kSkippedDirectories, name)) continue;
      const std::string path = root + "/" + entry->d_name;
      // A link to a directory of this tree (an alias, or a loop back to one
      // above it) is scanned under the directory's own name; one that leads
      // elsewhere is entered once, where it is first met.
      if (IsSymbolicLink(path, entry) && LeadsToAScannedDirectory(path, scan)) {
        continue;
      }
      if (scan.entered.emplace(info.st_dev, info.st_ino).second) {
        ScanDirectory(path, scan);
      }
    } else {
      LogLine("Odd something d_type = %i\n", entry->d_type);
    }
  }
}

}  // namespace

void ScanTree(const std::string& root, const std::string& extension,
              bool subdirectories, const std::vector<std::string>& ignoreFiles,
              const std::function<void(std::string)>& found) {
  Scan scan{extension, subdirectories,      ignoreFiles,
            found,     CanonicalPath(root), {}};
  struct stat info;
  if (stat(root.c_str(), &info) == 0) {
    scan.entered.emplace(info.st_dev, info.st_ino);
  }
  ScanDirectory(root, scan);
}

int SearchDirectory(std::vector<std::string>& refvecFiles,
                    const std::string& refcstrRootDirectory,
                    const std::string& refcstrExtension,
                    bool bSearchSubdirectories,
                    const std::vector<std::string>& ignoreFiles) {
  ScanTree(refcstrRootDirectory, refcstrExtension, bSearchSubdirectories,
           ignoreFiles, [&](std::string path) {
             if (refvecFiles.empty() || refvecFiles.back() != path)
               refvecFiles.push_back(std::move(path));
           });
  return 0;
}

int spacesinfile(const char* file) {
  if (file == nullptr) return 0;
  return static_cast<int>(std::count(file, file + std::strlen(file), ' '));
}

bool stdCalculateMD5(const char* filename, std::string& hashstring,
                     FileHashError* why) {
  const FileHashError error = HashFile(filename, hashstring);
  if (why != nullptr) *why = error;
  if (error == FileHashError::kNone) return true;
  hashstring = kUnreadableHash;
  return false;
}
