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

// A directory by its device and inode.
using DirectoryIdentity = std::pair<dev_t, ino_t>;

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
  DirectoryLinks links;
  const std::function<void(std::string)>& odd;
  // kFollow: the directories on the path being walked, the root first.
  std::vector<DirectoryIdentity> walked;
  // kOncePerDirectory: the canonical path of the scan's root (empty when
  // it does not resolve), and every directory entered.
  std::string canonical_root;
  std::set<DirectoryIdentity> entered;
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

// True when the scan enters the directory met as `entry` at `path`, which
// stat (links followed) describes as `info`; notes it as entered.
bool Enters(const std::string& path, const dirent* entry,
            const struct stat& info, Scan& scan) {
  const DirectoryIdentity directory{info.st_dev, info.st_ino};
  if (scan.links == DirectoryLinks::kFollow) {
    // Only a way back to a directory being walked would walk without end.
    if (std::find(scan.walked.begin(), scan.walked.end(), directory) !=
        scan.walked.end()) {
      return false;
    }
    scan.walked.push_back(directory);
    return true;
  }
  // A link to a directory of this tree (an alias, or a loop back to one
  // above it) is scanned under the directory's own name; one that leads
  // elsewhere is entered once, where it is first met.
  if (IsSymbolicLink(path, entry) && LeadsToAScannedDirectory(path, scan)) {
    return false;
  }
  return scan.entered.insert(directory).second;
}

// ScanTree of the directory `root`, which the scan has entered.
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
      if (!Enters(path, entry, info, scan)) continue;
      ScanDirectory(path, scan);
      if (scan.links == DirectoryLinks::kFollow) scan.walked.pop_back();
    } else {
      LogLine("Odd something d_type = %i\n", entry->d_type);
      if (scan.odd && name.front() != '.') scan.odd(root + "/" + entry->d_name);
    }
  }
}

}  // namespace

void ScanTree(const std::string& root, const std::string& extension,
              bool subdirectories, const std::vector<std::string>& ignoreFiles,
              const std::function<void(std::string)>& found,
              DirectoryLinks links,
              const std::function<void(std::string)>& odd) {
  Scan scan{extension, subdirectories, ignoreFiles, found, links, odd,
            {},        {},             {}};
  if (links == DirectoryLinks::kOncePerDirectory) {
    scan.canonical_root = CanonicalPath(root);
  }
  struct stat info;
  if (stat(root.c_str(), &info) == 0) {
    scan.walked.emplace_back(info.st_dev, info.st_ino);
    scan.entered.emplace(info.st_dev, info.st_ino);
  }
  ScanDirectory(root, scan);
}

int SearchDirectory(std::vector<std::string>& refvecFiles,
                    const std::string& refcstrRootDirectory,
                    const std::string& refcstrExtension,
                    bool bSearchSubdirectories,
                    const std::vector<std::string>& ignoreFiles,
                    DirectoryLinks links) {
  ScanTree(
      refcstrRootDirectory, refcstrExtension, bSearchSubdirectories,
      ignoreFiles,
      [&](std::string path) {
        if (refvecFiles.empty() || refvecFiles.back() != path)
          refvecFiles.push_back(std::move(path));
      },
      links);
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
