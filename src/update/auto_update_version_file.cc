// The members of CAutoUpdate that write the local version file and compare
// the keys of two lists (declared in update/auto_update.h).
#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "engine/file_lock.h"
#include "engine/hash_pipeline.h"
#include "launcher/starter_shared_state.h"
#include "update/auto_update.h"
#include "update/checksum_list.h"
#include "update/listed_path.h"
#include "update/tree_scan.h"
#include "update/update_log.h"

namespace {

constexpr wchar_t kHashingMessage[] =
    L"Please wait a minute...\nDetermining which files to update...\n";

void ShowHashing(const std::string& name) {
  StarterSharedState* starter = StarterSharedState::starter;
  if (starter == nullptr) return;
  std::wstring message(kHashingMessage);
  for (unsigned char c : name) message.push_back(static_cast<wchar_t>(c));
  starter->DrawMessage(message.c_str());
}

// The names of `files` without a space: the ones that are hashed.
std::vector<std::string> WithoutSpaces(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const std::string& name : files) {
    if (spacesinfile(name.c_str()) == 0) names.push_back(name);
  }
  return names;
}

}  // namespace

int CAutoUpdate::CreateVersionFile(const char* filename,
                                   const char* downloaddir,
                                   const std::string& updateVersionFile) {
  // The listed files are hashed on every core from the moment they are
  // known, while the tree is still being scanned; everything observable (the
  // scan's log lines, the list's, the hashing lines and dots) happens on
  // this thread in its usual order.
  std::vector<ListStep> list_steps;
  std::vector<std::string> files;
  std::vector<std::string> to_hash;
  std::optional<HashPipeline> hashes;
  if (FILE* raw = std::fopen(updateVersionFile.c_str(), "r")) {
    FileLock list(raw);
    list_steps = ReadListSteps(list.get());
    ListedPathChecker checker;
    for (const ListStep& step : list_steps) {
      // Refused entries are reported by the comparison walk.
      if (step.read == ListRead::kEntry &&
          checker.Check(step.path) == ListedPath::kInside) {
        files.push_back(step.path);
      }
    }
    to_hash = WithoutSpaces(files);
    hashes.emplace(to_hash);
  }

  std::vector<std::string> allFiles;
  ::SearchDirectory(allFiles, downloaddir, "*", true, ignoreFiles);

  if (hashes) {
    for (const ListStep& step : list_steps) {
      UpdateGUI();
      if (step.read == ListRead::kEnd) {
        UpdateLog("fscanf2 read error: autoupdate 1 - %s\n",
                  updateVersionFile.c_str());
      }
    }
    UpdateGUI();  // the reader's last step, which found the end of the list
  } else {
    // Reported by the FileLock, after the scan as always.
    FileLock list(std::fopen(updateVersionFile.c_str(), "r"));
    files = std::move(allFiles);
    to_hash = WithoutSpaces(files);
    hashes.emplace(to_hash);
  }

  UpdateLog("\nChecking which files need updating");
  ChecksumListWriter writer;
  if (int err = writer.Open(filename); err != 0) {
    UpdateLog("Failed to open - invalid File %s\n", filename);
    return err;
  }
  writer.WriteHeader(MakeVersionKey());
  diskpairs.reserve(diskpairs.size() + files.size());
  // The hashes come in the order of `files`; this walk does everything else
  // exactly as if it hashed them itself.
  for (const std::string& name : files) {
    UpdateGUI();
    if (spacesinfile(name.c_str()) > 0) continue;
    UpdateLog("Hashing file %s", name.c_str());
    ShowHashing(name);
    HashPipeline::Result hashed = hashes->TakeNext();
    if (hashed.error == FileHashError::kNotRegularFile) {
      UpdateLog("Not a regular file: %s (it will be replaced)\n",
                name.c_str());
    }
    const std::string hash = hashed.error == FileHashError::kNone
                                 ? std::move(hashed.hex)
                                 : std::string(kUnreadableHash);
    writer.WriteEntry(name, hash);
    diskpairs.Append(name, hash);
    std::fputs(".", stdout);
    if (!StarterAllowsWork()) return 0;
  }
  writer.Close();
  return 0;
}

int CAutoUpdate::RandomKeyCheck(const char* filename, const char* downloaddir) {
  ListHeader local;
  {
    FileLock file(std::fopen(filename, "r"));
    if (!file.isValid()) {
      UpdateLog("Failed to open my version file %s\n", filename);
      return 0;
    }
    local = ReadListHeader(file.get());
    if (!local.found) UpdateLog("fscanf read error: autoupdate 2\n");
  }
  std::string downloaded = downloaddir;
  if (!downloaded.empty()) downloaded += "/";
  downloaded += filename;
  ListHeader server;
  {
    FileLock file(std::fopen(downloaded.c_str(), "r"));
    if (!file.isValid()) {
      UpdateLog("Failed to open downloaded version file %s\n",
                downloaded.c_str());
      return 0;
    }
    server = ReadListHeader(file.get());
    if (!server.found) UpdateLog("fscanf read error: autoupdate 3\n");
  }
  if (server.found && !server.keyword_ok) {
    UpdateLog("Failed to create version file %s\n", downloaded.c_str());
    return 0;
  }
  bool match = local.keyword_ok && server.keyword_ok && local.key > 0 &&
               server.key > 0 && local.key == server.key;
  return match ? 1 : 0;
}
