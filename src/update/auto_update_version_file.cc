// The members of CAutoUpdate that write the local version file and compare
// the keys of two lists (declared in update/auto_update.h).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "engine/app_log.h"
#include "engine/file_lock.h"
#include "engine/hash_pipeline.h"
#include "launcher/starter_shared_state.h"
#include "update/auto_update.h"
#include "update/checksum_list.h"
#include "update/listed_path.h"
#include "update/tree_scan.h"
#include "update/update_decisions.h"

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

// The names of `files` that get a hash record: `files` itself when no name
// holds a space, else HashedNames(files), kept in `storage`.
const std::vector<std::string>& NamesToHash(
    const std::vector<std::string>& files, std::vector<std::string>& storage) {
  if (std::none_of(files.begin(), files.end(), [](const std::string& name) {
        return spacesinfile(name.c_str()) > 0;
      })) {
    return files;
  }
  storage = HashedNames(files);
  return storage;
}

}  // namespace

int CAutoUpdate::CreateVersionFile(const char* filename,
                                   const char* downloaddir,
                                   const std::string& updateVersionFile) {
  // The listed files are hashed on every core from the moment they are
  // known, while the tree is still being scanned; everything observable (the
  // scan's log lines, the list's, the hashing lines and dots) happens on
  // this thread in its usual order.
  std::vector<bool> list_ends;  // per step of the list: found its end
  std::vector<std::string> files;
  std::vector<std::string> to_hash;
  std::optional<HashPipeline> hashes;
  FILE* raw = std::fopen(updateVersionFile.c_str(), "r");
  const int open_error = errno;
  if (raw != nullptr) {
    FileLock list(raw);
    const ListSteps list_steps = ReadListSteps(list.get());
    // Refused entries are reported by the comparison walk.
    ListedPathChecker checker;
    files = ListedFilesToHash(list_steps, checker);
    hashes.emplace(NamesToHash(files, to_hash));
    for (const ListStep& step : list_steps) {
      list_ends.push_back(step.read() == ListRead::kEndAfterLineEnd);
    }
  }

  if (hashes) {
    {
      // The list names the files; the scan runs for what it logs.
      std::vector<std::string> scanned;
      ::SearchDirectory(scanned, downloaddir, "*", true, ignoreFiles);
    }
    for (const bool end : list_ends) {
      UpdateGUI();
      if (end) {
        LogLine("fscanf2 read error: autoupdate 1 - %s\n",
                updateVersionFile.c_str());
      }
    }
    UpdateGUI();  // the reader's last step, which found the end of the list
  } else {
    ::SearchDirectory(files, downloaddir, "*", true, ignoreFiles);
    // Reported after the scan, as always.
    FileLock::ReportOpenFailure(open_error);
    hashes.emplace(NamesToHash(files, to_hash));
  }

  LogLine("\nChecking which files need updating");
  ChecksumListWriter writer;
  if (int err = writer.Open(filename); err != 0) {
    LogLine("Failed to open - invalid File %s\n", filename);
    return err;
  }
  writer.WriteHeader(MakeVersionKey());
  diskpairs.reserve(diskpairs.size() + files.size());
  // The hashes come in the order of `files`; this walk does everything else
  // exactly as if it hashed them itself.
  for (std::string& name : files) {
    UpdateGUI();
    if (spacesinfile(name.c_str()) > 0) continue;
    LogLine("Hashing file %s", name.c_str());
    ShowHashing(name);
    HashPipeline::Result hashed = hashes->TakeNext();
    if (hashed.error == FileHashError::kNotRegularFile) {
      LogLine("Not a regular file: %s (it will be replaced)\n", name.c_str());
    }
    std::string hash = RecordedHash(std::move(hashed));
    writer.WriteEntry(name, hash);
    // The hashing is done with the name: the record takes it over.
    diskpairs.Append(std::move(name), std::move(hash));
    std::fputs(".", stdout);
    if (!StarterAllowsWork()) return 0;
  }
  writer.Close();
  return 0;
}

int CAutoUpdate::RandomKeyCheck(const char* filename, const char* downloaddir) {
  return ListKeysMatch(filename, downloaddir) ? 1 : 0;
}
