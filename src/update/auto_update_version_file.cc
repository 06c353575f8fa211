// The members of CAutoUpdate that write the local version file and compare
// the keys of two lists (declared in update/auto_update.h).
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
  FILE* raw = std::fopen(updateVersionFile.c_str(), "r");
  const int open_error = errno;
  if (raw != nullptr) {
    FileLock list(raw);
    list_steps = ReadListSteps(list.get());
    // Refused entries are reported by the comparison walk.
    ListedPathChecker checker;
    files = ListedFilesToHash(list_steps, checker);
    to_hash = HashedNames(files);
    hashes.emplace(to_hash);
  }

  std::vector<std::string> allFiles;
  ::SearchDirectory(allFiles, downloaddir, "*", true, ignoreFiles);

  if (hashes) {
    for (const ListStep& step : list_steps) {
      UpdateGUI();
      if (step.read == ListRead::kEnd) {
        LogLine("fscanf2 read error: autoupdate 1 - %s\n",
                updateVersionFile.c_str());
      }
    }
    UpdateGUI();  // the reader's last step, which found the end of the list
  } else {
    // Reported after the scan, as always.
    FileLock::ReportOpenFailure(open_error);
    files = std::move(allFiles);
    to_hash = HashedNames(files);
    hashes.emplace(to_hash);
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
  for (const std::string& name : files) {
    UpdateGUI();
    if (spacesinfile(name.c_str()) > 0) continue;
    LogLine("Hashing file %s", name.c_str());
    ShowHashing(name);
    HashPipeline::Result hashed = hashes->TakeNext();
    if (hashed.error == FileHashError::kNotRegularFile) {
      LogLine("Not a regular file: %s (it will be replaced)\n", name.c_str());
    }
    const std::string hash = RecordedHash(std::move(hashed));
    writer.WriteEntry(name, hash);
    diskpairs.Append(name, hash);
    std::fputs(".", stdout);
    if (!StarterAllowsWork()) return 0;
  }
  writer.Close();
  return 0;
}

int CAutoUpdate::RandomKeyCheck(const char* filename, const char* downloaddir) {
  return ListKeysMatch(filename, downloaddir) ? 1 : 0;
}
