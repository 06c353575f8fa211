#include "update/unused_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "engine/app_log.h"
#include "engine/file_copy.h"
#include "engine/file_lock.h"
#include "engine/paths.h"
#include "engine/stale_temporaries.h"
#include "install/file_install.h"
#include "launcher/config_reader.h"
#include "update/checksum_list.h"
#include "update/file_pair_index.h"
#include "update/tree_scan.h"

namespace {

constexpr std::string_view kMovedExtensions[] = {
    "cfg", "as", "png", "ogg", "xml", "ttf", "txt", "json", "frag", "vert"};

void LoadIgnoreList(const char* filename, const char* missingMessage,
                    std::vector<std::string>& ignoreFiles) {
  CConfigReader reader;
  if (!reader.loadFile(filename)) {
    LogLine("%s", missingMessage);
    return;
  }
  while (reader.nextConfig()) ignoreFiles.emplace_back(reader.getConfigName());
}

// True when `word` occurs in `text` and its first occurrence starts at
// `limit` or before.
bool StartsBy(const std::string& text, std::string_view word,
              std::size_t limit) {
  std::size_t at = text.find(word);
  return at != std::string::npos && at <= limit;
}

// A directory by its device and inode.
using DirectoryIdentity = std::pair<dev_t, ino_t>;

// A directory entry: the directory that holds it and its name. Removing a
// path removes exactly the entry of its last component.
struct DirectoryEntry {
  DirectoryIdentity directory;
  std::string name;
  auto operator<=>(const DirectoryEntry&) const = default;
};

// The entries paths name, with one look at each directory.
class DirectoryEntries {
 public:
  // A directory as the relocation sees it.
  struct Directory {
    DirectoryIdentity identity;
    // Its real location, links followed, lies inside the game directory
    // (the current directory).
    bool inside;
  };

  // The directory that holds the last component of `path`, links followed;
  // null when it cannot be looked at.
  const Directory* HolderOf(const std::string& path) {
    std::string directory = DirectoryOf(path);
    if (directory.empty()) directory = ".";
    auto [known, added] = directories_.try_emplace(directory);
    if (added) {
      struct stat info;
      if (::stat(directory.c_str(), &info) == 0) {
        if (root_.empty()) root_ = CanonicalPath(".");
        const std::string real = CanonicalPath(directory);
        known->second = Directory{
            {info.st_dev, info.st_ino},
            !root_.empty() && !real.empty() && PathIsWithin(real, root_)};
      }
    }
    return known->second ? &*known->second : nullptr;
  }

  // The entry of the last component of `path`; nothing when its directory
  // cannot be looked at.
  std::optional<DirectoryEntry> EntryOf(const std::string& path) {
    const Directory* holder = HolderOf(path);
    if (holder == nullptr) return std::nullopt;
    return DirectoryEntry{holder->identity, NameOf(path)};
  }

 private:
  std::map<std::string, std::optional<Directory>> directories_;
  std::string root_;
};

// The entries the listed paths of `standardFiles` rest on: each one's own
// entry and, where that is a symbolic link, the entries of the links it
// leads through to its file. Removing any of them would take the listed
// file away from its path.
std::set<DirectoryEntry> ListedEntries(
    const std::map<std::string, std::string>& standardFiles,
    DirectoryEntries& entries) {
  std::set<DirectoryEntry> listed;
  for (const auto& listed_path : standardFiles) {
    std::string at = listed_path.first;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
      const std::optional<DirectoryEntry> entry = entries.EntryOf(at);
      if (!entry) break;
      listed.insert(*entry);
      const std::optional<std::string> next = LinkTargetPath(at);
      if (!next) break;
      at = *next;
    }
  }
  return listed;
}

std::string DirectoryPart(const std::string& filename) {
  std::size_t cut = filename.rfind('/');
  if (cut == std::string::npos) cut = filename.rfind('\\');
  return cut == std::string::npos ? filename : filename.substr(0, cut);
}

}  // namespace

void LoadIgnoreLists(std::vector<std::string>& ignoreFiles) {
  LoadIgnoreList("autoupdate_ignore.cfg",
                 "Could not find autoupdate_ignore.cfg\n", ignoreFiles);
  LoadIgnoreList("autoupdate_ignore_custom.cfg",
                 "Not using autoupdate_ignore_custom.cfg\n", ignoreFiles);
}

bool IsUnusedFileToMove(
    const std::string& path,
    const std::map<std::string, std::string>& standardFiles) {
  std::string lowered = LowerBytes(path);
  if (!StartsBy(lowered, "base", 4)) return false;
  if (standardFiles.count(path) != 0) return false;
  std::size_t dot = lowered.rfind('.');
  std::string_view extension;
  if (dot != std::string::npos) {
    extension = std::string_view(lowered).substr(dot + 1);
  }
  if (std::find(std::begin(kMovedExtensions), std::end(kMovedExtensions),
                extension) == std::end(kMovedExtensions)) {
    return false;
  }
  return !StartsBy(lowered, "maps", 7) && !StartsBy(lowered, "gui", 7) &&
         !StartsBy(lowered, "old", 4);
}

UnusedFileDestination UnusedFileDestinationFor(const std::string& filename,
                                               const std::string& baseDir) {
  // ".../old/" loses the two characters at its first ".", leaving "./old/".
  std::string root = baseDir;
  std::size_t dot = root.find('.');
  if (dot != std::string::npos) root.erase(dot, 2);
  UnusedFileDestination destination;
  destination.directory = root + DirectoryPart(filename);
  std::erase(destination.directory, ' ');
  std::string last = filename;
  if (filename.size() >= 4) last = NameOf(filename);
  destination.path = destination.directory + "/" + last;
  return destination;
}

void MoveUnusedFile(const char* filename, const char* baseDir,
                    bool printMoves) {
  UnusedFileDestination destination =
      UnusedFileDestinationFor(filename, baseDir);
  std::string directory = destination.directory;
  if (directory.empty() || directory.back() != '/') directory += '/';
  MakeParentDirectories(directory, {.first = 1, .mode = 0775});
  SweepStaleTemporaries(DirectoryOf(destination.path));
  if (printMoves) {
    std::printf("MOVING UNUSED FILE:\n%s to %s\n", filename,
                destination.path.c_str());
  }
  // A move: the file keeps its permission bits in the relocation tree.
  if (!CopyFileContents(filename, destination.path.c_str(),
                        CopyAttributes::kMode)) {
    std::printf(
        "FILE CONFLICT %s. PLEASE DELETE THIS FILE OR REINSTALL A CLEAN "
        "COPY\n",
        filename);
    return;
  }
  std::remove(filename);
}

bool LoadStandardFiles(const char* downloadfilename,
                       std::map<std::string, std::string>& standardFiles) {
  standardFiles.clear();
  FileLock list(std::fopen(downloadfilename, "r"));
  if (!list.isValid()) {
    LogLine("Failed to open - Invalid File %s\n", downloadfilename);
    return false;
  }
  ChecksumListReader reader(list.get());
  std::string path, hash;
  for (ListRead read; (read = reader.Next(path, hash)) != ListRead::kEndWithoutLineEnd;) {
    if (read == ListRead::kEntry) {
      standardFiles.emplace(path, hash);
    } else if (read == ListRead::kEndAfterLineEnd) {
      LogLine("fscanf read error: autoupdate 1 - %s (error %i) lastread %s\n",
              downloadfilename, reader.fields_read(),
              reader.last_line().c_str());
    }
    // A malformed entry names no file to keep; the comparison walk of the
    // run reports it.
  }
  return true;
}

std::vector<UnusedFile> PlanUnusedFiles(
    const char* downloaddir, const std::vector<std::string>& ignoreFiles,
    const std::map<std::string, std::string>& standardFiles) {
  std::vector<UnusedFile> plan;
  DirectoryEntries entries;
  std::optional<std::set<DirectoryEntry>> listed;  // made when first needed
  std::set<DirectoryEntry> moved;
  ScanTree(downloaddir, "*", true, ignoreFiles, [&](std::string path) {
    if (!IsUnusedFileToMove(path, standardFiles)) return;
    const DirectoryEntries::Directory* holder = entries.HolderOf(path);
    // An operator's link may lead to a directory shared with other games:
    // its entries are not this game's to remove.
    if (holder == nullptr || !holder->inside) {
      plan.push_back({std::move(path), UnusedFileAction::kLeaveOutside});
      return;
    }
    // A listed file met under another name of its directory (a letter-case
    // alias, a second link to the directory) is the release's own: removing
    // that name would remove the listed one. Any other name, a second hard
    // link or a link to a listed file included, is moved: only that name
    // goes.
    DirectoryEntry entry{holder->identity, NameOf(path)};
    if (!listed) listed = ListedEntries(standardFiles, entries);
    if (listed->count(entry) != 0) return;
    const bool moved_before = !moved.insert(std::move(entry)).second;
    plan.push_back({std::move(path), UnusedFileAction::kMove, moved_before});
  });
  return plan;
}

void MoveUnusedFiles(const char* downloadfilename, const char* downloaddir,
                     const std::vector<std::string>& ignoreFiles,
                     std::map<std::string, std::string>& standardFiles) {
  LogLine("Removing unused/moved files in %s\n", downloaddir);
  if (!LoadStandardFiles(downloadfilename, standardFiles)) return;
  std::set<std::string> left_alone;
  for (const UnusedFile& file :
       PlanUnusedFiles(downloaddir, ignoreFiles, standardFiles)) {
    if (file.action == UnusedFileAction::kMove) {
      MoveUnusedFile(file.path.c_str(), ".../old/", true);
      continue;
    }
    const std::string dir = file.path.substr(0, file.path.rfind('/'));
    if (left_alone.insert(dir).second) {
      LogLine(
          "Leaving unused files in %s alone: they lie outside the game "
          "directory\n",
          dir.c_str());
    }
  }
}
