#include "update/unused_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
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
#include "update/listed_path.h"
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

// A file by its device and inode.
using FileIdentity = std::pair<dev_t, ino_t>;

// The file at `path`, links followed; nothing when it cannot be looked at.
std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

// The files the listed paths of `standardFiles` reach.
std::set<FileIdentity> ListedIdentities(
    const std::map<std::string, std::string>& standardFiles) {
  std::set<FileIdentity> identities;
  for (const auto& listed : standardFiles) {
    if (const auto identity = IdentityOf(listed.first)) {
      identities.insert(*identity);
    }
  }
  return identities;
}

// The relocation's decision for the scanned path `path` against the listed
// paths in `standardFiles`, by its text and real location.
UnusedFileAction DecideUnusedFile(
    const std::string& path,
    const std::map<std::string, std::string>& standardFiles) {
  if (!IsUnusedFileToMove(path, standardFiles)) return UnusedFileAction::kKeep;
  // An operator's link may lead to files shared with other games: they are
  // not this game's to move.
  return RealLocationIsInside(path) ? UnusedFileAction::kMove
                                    : UnusedFileAction::kLeaveOutside;
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
  std::optional<std::set<FileIdentity>> listed;  // made when first needed
  std::set<FileIdentity> met;
  ScanTree(downloaddir, "*", true, ignoreFiles, [&](std::string path) {
    const UnusedFileAction action = DecideUnusedFile(path, standardFiles);
    if (action == UnusedFileAction::kKeep) return;
    if (action == UnusedFileAction::kMove) {
      // A listed file met under another name (a letter-case alias of its
      // directory, a link back into the tree) is the release's own; any
      // other file moves once, under the first name it is met by.
      const std::optional<FileIdentity> identity = IdentityOf(path);
      if (!listed) listed = ListedIdentities(standardFiles);
      if (!identity || listed->count(*identity) != 0 ||
          !met.insert(*identity).second) {
        return;
      }
    }
    plan.push_back({std::move(path), action});
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
