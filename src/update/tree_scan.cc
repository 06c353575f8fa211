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

// ScanTree of the directory `root`, which `entered` already holds.
void ScanDirectory(const std::string& root, const std::string& extension,
                   bool subdirectories,
                   const std::vector<std::string>& ignoreFiles,
                   const std::function<void(std::string)>& found,
                   EnteredDirectories& entered) {
  DirHandle dir(opendir(root.c_str()));
  if (!dir) return;
  while (const dirent* entry = readdir(dir.get())) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    // One stat answers both questions that _is_reg and _is_dir ask.
    struct stat info;
    EntryKind kind = KindOf(root.c_str(), entry, &info);
    if (kind == EntryKind::kFile) {
      if (!AcceptsFile(name, extension, ignoreFiles)) continue;
      found(root + "/" + entry->d_name);
    } else if (kind == EntryKind::kDirectory) {
      // A directory reached again through a link (an alias, or a loop back
      // to one above it) was scanned where it was first met.
      if (subdirectories && !Contains(kSkippedDirectories, name) &&
          entered.emplace(info.st_dev, info.st_ino).second) {
        ScanDirectory(root + "/" + entry->d_name, extension, true, ignoreFiles,
                      found, entered);
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
  EnteredDirectories entered;
  struct stat info;
  if (stat(root.c_str(), &info) == 0) entered.emplace(info.st_dev, info.st_ino);
  ScanDirectory(root, extension, subdirectories, ignoreFiles, found, entered);
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
