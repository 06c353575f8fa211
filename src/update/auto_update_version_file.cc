// The members of CAutoUpdate that write the local version file and compare
// the keys of two lists (declared in update/auto_update.h).
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/app_log.h"
#include "engine/file_lock.h"
#include "engine/hash_pipeline.h"
#include "launcher/starter_shared_state.h"
#include "update/auto_update.h"
#include "update/checksum_list.h"
#include "update/tree_scan.h"
#include "update/update_decisions.h"

namespace {

constexpr wchar_t kHashingMessage[] =
    L"Please wait a minute...\nDetermining which files to update...\n";

void ShowHashing(std::string_view name) {
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
  // The files (the list's entries that pass the path checks, their texts
  // those of the map MoveUnusedFiles filled from the list; or the scanned
  // paths when it does not open) are hashed on every core from the moment
  // they are known, while the tree is still being scanned; everything
  // observable happens on this thread in its usual order.
  ListSteps steps;
  std::vector<std::string> scanned;
  std::vector<bool> listed;  // per step or scanned path: one of the files
  FILE* raw = std::fopen(updateVersionFile.c_str(), "r");
  const int open_error = errno;
  const bool from_list = raw != nullptr;
  if (from_list) {
    steps = ReadListSteps(FileLock(raw).get(), &StandardFiles());
    listed = ListedFilesToHash(steps);
  } else {
    ::SearchDirectory(scanned, downloaddir, "*", true, ignoreFiles);
    // Reported after the scan, as always.
    FileLock::ReportOpenFailure(open_error);
    listed.assign(scanned.size(), true);
  }
  const auto file_at = [&](std::size_t i) -> const char* {
    if (!listed[i]) return nullptr;
    return from_list ? steps[i].path().data() : scanned[i].c_str();
  };
  // The files go to the hash pipeline a batch at a time, so that only a
  // batch of names is held as strings; a name with a space gets no record.
  std::vector<std::string> batch;
  std::optional<HashPipeline> hashes;  // over `batch`
  std::size_t batched = 0, taken = 0;  // names looked at; results taken
  const auto hash_next_batch = [&] {
    hashes.reset();
    batch.clear();
    for (taken = 0; batched < listed.size() && batch.size() < 4096; ++batched) {
      const char* file = file_at(batched);
      if (file != nullptr && spacesinfile(file) == 0) batch.emplace_back(file);
    }
    hashes.emplace(batch);
  };
  hash_next_batch();
  if (from_list) {
    // The list names the files; the scan runs for what it logs.
    ScanTree(downloaddir, "*", true, ignoreFiles, [](std::string) {});
    for (const ListStep& step : steps) {
      UpdateGUI();
      if (step.read() == ListRead::kEndAfterLineEnd) {
        LogLine("fscanf2 read error: autoupdate 1 - %s\n",
                updateVersionFile.c_str());
      }
    }
    UpdateGUI();  // the reader's last step, which found the end of the list
  }

  LogLine("\nChecking which files need updating");
  ChecksumListWriter writer;
  if (int err = writer.Open(filename); err != 0) {
    LogLine("Failed to open - invalid File %s\n", filename);
    return err;
  }
  writer.WriteHeader(MakeVersionKey());
  diskpairs.reserve(diskpairs.size() + listed.size());
  // The hashes come in the order of the files; this walk does everything
  // else exactly as if it hashed them itself.
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const char* file = file_at(i);
    if (file == nullptr) continue;
    UpdateGUI();
    if (spacesinfile(file) > 0) continue;
    LogLine("Hashing file %s", file);
    ShowHashing(file);
    if (taken == batch.size()) hash_next_batch();
    ++taken;
    HashPipeline::Result hashed = hashes->TakeNext();
    if (hashed.error == FileHashError::kNotRegularFile) {
      LogLine("Not a regular file: %s (it will be replaced)\n", file);
    }
    const std::string hash = RecordedHash(std::move(hashed));
    writer.WriteEntry(file, hash);
    diskpairs.Append(file, hash);
    std::fputs(".", stdout);
    if (!StarterAllowsWork()) return 0;
  }
  writer.Close();
  return 0;
}

int CAutoUpdate::RandomKeyCheck(const char* filename, const char* downloaddir) {
  return ListKeysMatch(filename, downloaddir) ? 1 : 0;
}
