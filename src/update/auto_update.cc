#include "update/auto_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/app_log.h"
#include "engine/exclusive_lock.h"
#include "engine/file_lock.h"
#include "engine/md5.h"
#include "engine/paths.h"
#include "engine/stale_temporaries.h"
#include "engine_starter/application.h"
#include "http/curl_client.h"
#include "http/download_body.h"
#include "http/download_pipeline.h"
#include "install/file_install.h"
#include "launcher/starter_shared_state.h"
#include "update/checksum_list.h"
#include "update/listed_path.h"
#include "update/patch_download.h"
#include "update/staged_copies.h"
#include "update/tree_scan.h"
#include "update/unused_files.h"
#include "update/update_decisions.h"

namespace {

// Names an earlier replacement of executables and scripts may leave behind,
// removed in this order until the first that cannot be removed.
constexpr const char* kLeftoverNames[] = {
    "BM.exe.tmp2", "BM.exe.tmp", "BM.exe.bak", "BM.tmp",
    "DUdavi.tmp",  "BM.bak",     "sh.tmp"};

constexpr int kListTimeoutSecs = 9;
constexpr int kFileTimeoutSecs = 600;
constexpr char kInvalidSignature[] = "Invalid signature of the checksum list";
constexpr char kRefusedStatement[] = "Refused release statement";

// True when the version file `filename`, a link the operator made to
// `target`, may be rewritten in place although `target` could not be
// removed (`remove_error`): the directory it lies in may not be written by
// this process, but the file may, as the key written before shows. The copy
// over it then writes it in place, as the configuration save does.
bool MayRewriteInPlace(const char* filename, const std::string& target,
                       int remove_error) {
  const bool in_place =
      remove_error == EACCES && target != filename &&
      ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
  errno = remove_error;
  return in_place;
}

void RemoveLeftovers() {
  for (const char* name : kLeftoverNames) {
    if (std::remove(name) != 0) return;
  }
}

// Switches FileLock's open-failure messages off for its lifetime.
class QuietFileProbes {
 public:
  QuietFileProbes() { FileLock::reportError = false; }
  ~QuietFileProbes() { FileLock::reportError = true; }
  QuietFileProbes(const QuietFileProbes&) = delete;
  QuietFileProbes& operator=(const QuietFileProbes&) = delete;
};

// The transfer of the file table of the list `filename` (its MD5 `release`)
// from the server directory `url` into "Downloads/", of at most
// `most_bytes` as decoded.
DownloadRequest TableRequest(const std::string& url, const char* filename,
                             const std::string& release,
                             std::uint64_t most_bytes) {
  DownloadRequest request;
  request.urldir = url;
  request.filename = std::string(filename) + kTableSuffix;
  request.downloaddir = "Downloads";
  request.timeout_secs = kFileTimeoutSecs;
  request.most_bytes = most_bytes;
  // Fetched as a file of the release the list names, so that a cache in
  // front of the server keeps one copy of it per release (docs/fleet.md).
  request.release = release;
  // A text file that shrinks to a fraction gzipped; held to its size and
  // digests as decoded.
  request.accept_gzip = true;
  return request;
}

// The transfer of the list, or of its signature, `filename` from the server
// directory `url` into "Downloads/", of at most `most_bytes`.
DownloadRequest ListRequest(const std::string& url, const char* filename,
                            std::uint64_t most_bytes) {
  DownloadRequest request;
  request.urldir = url;
  request.filename = filename;
  request.downloaddir = "Downloads";
  request.timeout_secs = kListTimeoutSecs;
  request.most_bytes = most_bytes;
  return request;
}

// Where transfers ahead of their turn keep their bytes.
constexpr char kSpoolDirectory[] = "Downloads/";

// The transfer of a listed file to its listed path, checked against its
// listed hash, as a file of the release whose list has the MD5 `release`;
// where the release's file table has its row `row`, of at most its size,
// checked against its SHA-256 too and installed with its mode. The server
// directory is the mirror's (CAutoUpdate::OnMirror).
DownloadRequest FileRequest(const ListStep& step, const std::string& release,
                            const ReleaseFileRecord* row) {
  DownloadRequest request;
  request.filename = std::string(step.path());
  request.timeout_secs = kFileTimeoutSecs;
  request.expected_md5 = std::string(step.hash());
  request.release = release;
  if (row != nullptr) {
    request.most_bytes = row->size;
    request.expected_sha256 = std::string(row->sha256);
    if (row->executable) request.mode = StatedMode::kExecutable;
  }
  return request;
}

// For each step, whether what an earlier entry installs can change its
// decision by its turn: its file is listed more than once (in any
// spelling), or one of its directories is itself a listed file. The keys
// are those of the listed paths, which spell them already unless they hold
// empty or "." components; the entries are sorted by key as step positions.
std::vector<bool> DecidedOnlyAtTurn(const ListSteps& steps) {
  std::map<std::uint32_t, std::string> respelled;
  std::vector<std::uint32_t> listed;
  listed.reserve(steps.size());
  for (std::uint32_t i = 0; i < steps.size(); ++i) {
    if (steps[i].read() != ListRead::kEntry) continue;
    std::string key = ListedFileKey(steps[i].path());
    if (key != steps[i].path().substr(1)) respelled.emplace(i, std::move(key));
    listed.push_back(i);
  }
  const auto key_of = [&](std::uint32_t i) -> std::string_view {
    const auto found = respelled.find(i);
    return found != respelled.end() ? found->second : steps[i].path().substr(1);
  };
  std::ranges::sort(listed, {}, key_of);
  std::vector<bool> at_turn(steps.size(), false);
  for (const std::uint32_t i : listed) {
    const std::string_view key = key_of(i);
    const auto same = std::ranges::lower_bound(listed, key, {}, key_of);
    at_turn[i] = same + 1 != listed.end() && key_of(same[1]) == key;
    for (std::size_t cut = key.find('/', 1);
         cut != std::string::npos && !at_turn[i];
         cut = key.find('/', cut + 1)) {
      at_turn[i] =
          std::ranges::binary_search(listed, key.substr(0, cut), {}, key_of);
    }
  }
  return at_turn;
}

}  // namespace

ExclusiveLock LockGameDirectory() {
  ::mkdir("Downloads", 0775);
  ExclusiveLock lock(kUpdateLockFile, [] {
    LogLine("Waiting for another update of this game directory to finish\n");
  });
  if (!lock.held()) {
    LogLine("Could not lock %s (err %i); updating without the lock\n",
            kUpdateLockFile, lock.error());
  }
  return lock;
}

CAutoUpdate::CAutoUpdate(const char* versionfile, const char* filename,
                         const char* downloaddir, bool /*subdirs*/,
                         UpdateSettings settings)
    : curlapi(std::make_unique<CCurl>()),
      settings_(ResolveUpdateSettings(std::move(settings))) {
  curlapi->SetDeferredSync(&installed_);
  const std::string downloadfilename = std::string("Downloads/") + filename;
  // Two runs in one game directory would remove and rename each other's
  // files: the second waits until the first is done.
  std::optional<ExclusiveLock> lock;
  if (settings_.held_lock == nullptr) lock.emplace(LockGameDirectory());
  RemoveLeftovers();
  LoadIgnoreLists(ignoreFiles);
  if (!settings_.trusted_key.empty()) {
    // The release this game directory installed, which no server may take
    // it back from.
    const std::string record = std::string(filename) + kStatementSuffix;
    ReleaseStatement installed;
    bool missing = false;
    const std::string why =
        ReadStatementFile(record, nullptr, installed, &missing);
    if (why.empty()) {
      installed_release_ = std::move(installed);
    } else if (!missing) {
      LogLine("Ignoring the release record %s: %s\n", record.c_str(),
              why.c_str());
    }
  }

  const std::vector<std::string>& urls = settings_.update_paths;
  if (urls.empty()) {
    // Without an update path the list's name alone would be taken for a
    // host name; there is nothing to fetch.
    lasterror = "Error downloading checksum";
    LogLine("No update path\n");
  }

  // A server that answered something other than a trustworthy list counts
  // as failed like one that answered nothing, and the next is tried; when
  // none serves, the run ends as the last such refusal ended it.
  std::optional<std::string> refusal;
  for (const std::string& entry : urls) {
    LogLine("Downloading checksums from %s%s\n", entry.c_str(), filename);
    SweepStaleTemporaries(DirectoryOf(downloadfilename));
    curlapi->Download(ListRequest(entry, filename, kMostListBytes));
    if (curlapi->result != CURLE_OK) {
      lasterror = "Error downloading checksum";
      LogLine("Error downloading checksum from %s%s (err:%i)\n", entry.c_str(),
              filename, static_cast<int>(curlapi->result));
      continue;
    }
    if (!StarterAllowsWork()) {
      LogLine("User termination while version file download\n");
      return;
    }
    if (!ListAccepted(entry, filename, downloadfilename)) {
      refusal = lasterror;
      error = 0;
      continue;
    }
    // The files come from this entry and, where it fails them, from the
    // entries after it.
    file_mirrors_.assign(urls.begin() + (&entry - urls.data()), urls.end());
    left_mirrors_.assign(file_mirrors_.size(), false);
    RunAfterListFetch(versionfile, filename, downloaddir, entry,
                      downloadfilename);
    return;
  }
  if (refusal.has_value()) {
    error = 1;
    lasterror = *refusal;
  }
}

CAutoUpdate::~CAutoUpdate() {
  curlapi.reset();
  diskpairs.clear();
}

void CAutoUpdate::RunAfterListFetch(const char* versionfile,
                                    const char* filename,
                                    const char* downloaddir,
                                    const std::string& url,
                                    const std::string& downloadfilename) {
  StarterSharedState* starter = StarterSharedState::starter;
  this->url = url;
  MoveUnusedFiles(downloadfilename.c_str(), kRelocatedTree);
  if (settings_.keys_taken_as_differing) {
    LogLine("Comparing every listed file, whatever the keys\n");
  } else if (RandomKeyCheck(filename, "Downloads/") == 1) {
    LogLine("Version file the same (key matches)\n");
    // A statement re-signed for the installed list (a later expiry, a new
    // serial) becomes the record, so that the older one is behind it.
    if (offered_release_ &&
        (!installed_release_ ||
         offered_release_->serial > installed_release_->serial)) {
      const std::optional<FileDigest> installed_list = DigestOfFile(filename);
      if (installed_list && *installed_list == offered_release_->list) {
        RecordInstalledRelease(filename);
      }
    }
    return;
  }
  if (starter != nullptr) {
    starter->DrawMessage(
        L"Please wait a minute...\nDetermining which files to update...");
  }
  int code = CreateVersionFile(filename, downloaddir, downloadfilename);
  if (code != 0) {
    LogLine("Error creating version file %s (%i)\n", filename, code);
    lasterror = "Error creating checksum";
    error = 1;
    return;
  }
  if (versionfile == nullptr) {
    LogLine("Just versioning\n");
    return;
  }
  starter = StarterSharedState::starter;
  if (starter != nullptr && starter->device != nullptr &&
      !starter->MayContinue()) {
    return;
  }
  if (!CompareAndDownload(filename, downloadfilename, downloaddir) ||
      error != 0) {
    return;
  }
  // The version file is the run's commit record: once it carries the
  // server's key, later runs trust the tree without hashing it. So every
  // file installed by this run must be on the disk before it is written.
  if (!installed_.SyncAll()) {
    int err = errno;
    LogLine("Could not write the update through to the disk (err %i)\n", err);
    lasterror = "Error syncing the installed files";
    return;
  }
  // A link the operator made at the version file stays, and the file it
  // leads to is replaced, as every other write of the version file does.
  const std::string version_file = FollowLinks(filename);
  if (std::remove(version_file.c_str()) != 0 && errno > ENOENT &&
      !MayRewriteInPlace(filename, version_file, errno)) {
    int err = errno;
    LogLine("Remove failed %s (err %i)\n", filename, err);
    lasterror = std::string("Error removing ") + filename;
    return;
  }
  SweepStaleTemporaries(DirectoryOf(filename));
  errno = 0;
  if (!copyFile(downloadfilename.c_str(), version_file.c_str(), 0)) {
    int err = errno;
    LogLine("Copy file failed %s (err %i)\n", downloadfilename.c_str(), err);
    lasterror = "Error copying " + downloadfilename;
    return;
  }
  if (offered_release_) RecordInstalledRelease(filename);
  // What starter-stage fetched for this list is installed now, or was not
  // needed.
  std::string list_md5;
  if (Md5File(downloadfilename.c_str(), list_md5)) RemoveStagingArea(list_md5);
}

void CAutoUpdate::RecordInstalledRelease(const char* filename) {
  const std::string record = std::string(filename) + kStatementSuffix;
  const std::string statement = "Downloads/" + record;
  errno = 0;
  if (!copyFile(statement.c_str(), record.c_str(), 0)) {
    const int err = errno;
    LogLine("Could not record the installed release in %s (err %i)\n",
            record.c_str(), err);
    lasterror = "Error recording the installed release";
    return;
  }
  LogLine("Installed release %s (serial %lld) recorded in %s\n",
          offered_release_->name.c_str(),
          static_cast<long long>(offered_release_->serial), record.c_str());
}

bool CAutoUpdate::ListAccepted(const std::string& url, const char* filename,
                               const std::string& downloadfilename) {
  // A server that answers with an empty file or an error page must not make
  // the run relocate the data tree or install the page as the version file.
  if (!HasChecksumListHeader(downloadfilename.c_str())) {
    LogLine("Not a checksum list: %s (no version_file header)\n",
            downloadfilename.c_str());
    lasterror = "Invalid checksum list " + downloadfilename;
    error = 1;
    return false;
  }
  offered_release_.reset();
  release_table_.reset();
  return settings_.trusted_key.empty() ||
         (ListSignatureHolds(url, filename, downloadfilename) &&
          StatementHolds(url, filename, downloadfilename));
}

bool CAutoUpdate::StatementHolds(const std::string& url, const char* filename,
                                 const std::string& downloadfilename) {
  const std::string statement_name = std::string(filename) + kStatementSuffix;
  curlapi->Download(
      ListRequest(url, statement_name.c_str(), kMaxStatementSize));
  if (curlapi->result != CURLE_OK) {
    const std::string detail = url + statement_name + " not downloaded (err:" +
                               std::to_string(curlapi->result) + ")";
    if (installed_release_) {
      return RefuseStatement(downloadfilename,
                             MissingStatementReason(*installed_release_,
                                                    detail));
    }
    // A server that publishes no statements: the list is taken as before.
    LogLine("No release statement: %s\n", detail.c_str());
    return true;
  }
  const StatementCheck check = CheckStatement(
      "Downloads/" + statement_name, downloadfilename, settings_.trusted_key,
      installed_release_ ? &*installed_release_ : nullptr, settings_.now,
      settings_.allow_expired);
  if (!check.accepted) return RefuseStatement(downloadfilename, check.reason);
  if (check.expired_but_allowed) {
    LogLine("Installing all the same: %s, and %s=1 allows it for this run\n",
            check.reason.c_str(), kAllowExpiredVariable);
  }
  const ReleaseStatement& statement = check.statement;
  LogLine("Release statement verified: release %s (serial %lld), issued %s, "
          "%s\n",
          statement.name.c_str(), static_cast<long long>(statement.serial),
          FormatStatementTime(statement.issued).c_str(),
          statement.expires
              ? ("expires " + FormatStatementTime(*statement.expires)).c_str()
              : "never expires");
  offered_release_ = statement;
  // The table is needed only when the run goes on to compare the files.
  if (!settings_.keys_taken_as_differing &&
      ListKeysMatch(filename, "Downloads/", false)) {
    return true;
  }
  return TableHolds(url, filename, downloadfilename);
}

bool CAutoUpdate::TableHolds(const std::string& url, const char* filename,
                             const std::string& downloadfilename) {
  const std::string table_name = std::string(filename) + kTableSuffix;
  std::string release;
  Md5File(downloadfilename.c_str(), release);
  curlapi->Download(
      TableRequest(url, filename, release, offered_release_->files.size));
  if (curlapi->result != CURLE_OK) {
    offered_release_.reset();
    return RefuseStatement(downloadfilename,
                           "release file table missing, " + url + table_name +
                               " not downloaded (err:" +
                               std::to_string(curlapi->result) + ")");
  }
  release_table_.emplace();
  const std::string why =
      ReadReleaseTable("Downloads/" + table_name, offered_release_->files.size,
                       offered_release_->files.sha256, *release_table_);
  if (!why.empty()) {
    offered_release_.reset();
    release_table_.reset();
    return RefuseStatement(downloadfilename, "release file table " + why);
  }
  return true;
}

bool CAutoUpdate::RefuseStatement(const std::string& downloadfilename,
                                  const std::string& reason) {
  LogLine("Refusing checksum list %s: %s\n", downloadfilename.c_str(),
          reason.c_str());
  lasterror = kRefusedStatement;
  error = 1;
  return false;
}

bool CAutoUpdate::ListSignatureHolds(const std::string& url,
                                     const char* filename,
                                     const std::string& downloadfilename) {
  const std::string signature_name =
      std::string(filename) + kListSignatureSuffix;
  curlapi->Download(
      ListRequest(url, signature_name.c_str(), kListSignatureSize));
  if (curlapi->result == CURLE_FILESIZE_EXCEEDED) {
    // Longer than any signature: refused unread.
    LogLine("Refusing checksum list %s: %s\n", downloadfilename.c_str(),
            ListSignatureReason(ListSignature::kUnreadable));
  } else if (curlapi->result != CURLE_OK) {
    LogLine(
        "Refusing checksum list %s: signature missing, %s%s not "
        "downloaded (err:%i)\n",
        downloadfilename.c_str(), url.c_str(), signature_name.c_str(),
        static_cast<int>(curlapi->result));
  } else {
    const ListSignature verdict = VerifyListSignature(
        downloadfilename, "Downloads/" + signature_name, settings_.trusted_key);
    if (verdict == ListSignature::kValid) {
      LogLine("Checksum list signature verified: %s\n",
              downloadfilename.c_str());
      return true;
    }
    LogLine("Refusing checksum list %s: %s\n", downloadfilename.c_str(),
            ListSignatureReason(verdict));
  }
  lasterror = kInvalidSignature;
  error = 1;
  return false;
}

bool CAutoUpdate::CompareAndDownload(const char* filename,
                                     const std::string& downloadfilename,
                                     const char* /*downloaddir*/) {
  LogLine("\nComparing checksums\n");
  FileLock list(std::fopen(downloadfilename.c_str(), "r"));
  if (!list.isValid()) {
    lasterror = "Failed to open " + downloadfilename;
    LogLine("Failed to open - Invalid File %s\n", downloadfilename.c_str());
    error = 1;
    return false;
  }
  QuietFileProbes quiet;
  // The entries' texts are those of the map MoveUnusedFiles filled from
  // the same list, where they are the same.
  const ListSteps steps = ReadListSteps(list.get(), &StandardFiles());
  list.close();
  // Every file request names the release it belongs to by the list's MD5,
  // so that a cache in front of the server never answers it with another
  // release's copy of the file (docs/fleet.md).
  std::string release;
  Md5File(downloadfilename.c_str(), release);
  // With a release statement, every listed file has its row here.
  const ReleaseTable* table = release_table_ ? &*release_table_ : nullptr;

  // The files the walk will fetch, decided ahead, so that their transfers
  // can run while earlier files are still being installed. The walk decides
  // each entry again at its turn; that decision is the one that counts, so
  // only entries whose decision nothing before their turn can change are
  // planned: not one on an ignore list (its local copy may appear), not one
  // whose file is listed twice or lies below another listed file. The
  // others are fetched at their turn.
  // A file whose copy starter-stage made for this list is there is taken
  // from that copy at its turn (and not planned: nothing of it is fetched
  // unless the copy is not what the list names).
  // A file whose local copy has a patch to the listed one in the release's
  // file table is fetched as that patch at its turn (and not planned: the
  // whole file is fetched only when the patch fails).
  std::vector<DownloadRequest> planned;
  std::vector<bool> is_planned(steps.size(), false);
  std::vector<bool> staged(steps.size(), false);
  std::vector<const ReleaseFileRecord*> patches(steps.size(), nullptr);
  {
    const std::vector<bool> at_turn = DecidedOnlyAtTurn(steps);
    ComparisonWalk ahead(ignoreFiles, diskpairs, table);
    std::vector<std::size_t> to_fetch;
    std::vector<std::string> candidates;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const ListStep& step = steps[i];
      if (step.read() != ListRead::kEntry ||
          Decide(step, ahead) != ListedEntryAction::kDownload) {
        continue;
      }
      to_fetch.push_back(i);
      candidates.emplace_back(step.path());
    }
    const std::vector<bool> matching =
        StagedCopiesPresent(release, candidates);
    // Patches only ever apply to local copies of a known MD5.
    std::vector<std::string> local_md5(to_fetch.size());
    bool patchable = false;
    for (std::size_t n = 0; n < to_fetch.size(); ++n) {
      local_md5[n] = diskpairs.Md5Of(steps[to_fetch[n]].path());
      patchable = patchable || !local_md5[n].empty();
    }
    const ReleaseTable* patch_table =
        patchable ? PatchTable(filename, release) : nullptr;
    for (std::size_t n = 0; n < to_fetch.size(); ++n) {
      const std::size_t i = to_fetch[n];
      staged[i] = matching[n];
      if (patch_table != nullptr && !local_md5[n].empty()) {
        patches[i] = patch_table->FindPatch(local_md5[n], steps[i].hash());
      }
      if (staged[i] || patches[i] != nullptr || at_turn[i] ||
          IsIgnored(ignoreFiles, std::string(steps[i].path().substr(2)))) {
        continue;
      }
      is_planned[i] = true;
      planned.push_back(
          OnMirror(FirstMirror(),
                   FileRequest(steps[i], release,
                               ahead.Row(std::string(steps[i].path())))));
    }
  }
  SweepStaleTemporaries(kSpoolDirectory);
  DownloadPipeline pipeline(std::move(planned), settings_.downloads_in_flight,
                            kSpoolDirectory, &installed_);

  ComparisonWalk walk(ignoreFiles, diskpairs, table);
  std::optional<StagingRecord> staged_record;  // read at the first copy
  std::size_t planned_so_far = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    UpdateGUI();
    const ListStep& step = steps[i];
    // The place of the step's planned transfer, if it has one.
    std::optional<std::size_t> plan;
    if (is_planned[i]) plan = planned_so_far++;
    if (step.read() == ListRead::kEndAfterLineEnd) continue;
    if (step.read() == ListRead::kMalformed) {
      LogLine("Refusing malformed entry in %s: %s\n",
              downloadfilename.c_str(), step.error().data());
      lasterror = "Malformed entry in " + downloadfilename;
      error = 1;
      continue;
    }
    switch (Decide(step, walk)) {
      case ListedEntryAction::kRefusePath:
        LogLine("Refusing listed path %s: %s\n", step.path().data(),
                ListedPathReason(walk.Check(std::string(step.path()))));
        lasterror = "Refused listed path " + std::string(step.path());
        error = 1;
        break;
      case ListedEntryAction::kIgnore:
        LogLine("Ignoring update to file %s\n", step.path().data() + 2);
        break;
      case ListedEntryAction::kCurrent:
        break;
      case ListedEntryAction::kDownload: {
        SweepStaleTemporaries(DirectoryOf(std::string(step.path())));
        const DownloadRequest file =
            FileRequest(step, release, walk.Row(std::string(step.path())));
        DownloadOutcome outcome;
        if (staged[i]) {
          if (!staged_record) staged_record = StagingRecord::Read(release);
          outcome = TakeStagedCopy(OnMirror(FirstMirror(), file), release,
                                   step.path(), *staged_record, &installed_);
        }
        if (!staged[i] || outcome.result != CURLE_OK) {
          if (patches[i] != nullptr) {
            outcome = DownloadThroughPatch(*curlapi,
                                           OnMirror(FirstMirror(), file),
                                           *patches[i], &installed_);
          }
          if (patches[i] == nullptr || outcome.result != CURLE_OK) {
            outcome = FetchListedFile(pipeline, file, plan);
          }
        }
        if (outcome.restart_required) restartrequired = true;
        if (outcome.result != CURLE_OK) {
          lasterror = "Error downloading " + std::string(step.path());
          LogLine("Error downloading %s\n", step.path().data());
          error = 1;
        } else {
          installed.emplace_back(step.path());
        }
        break;
      }
    }
  }
  UpdateGUI();  // the reader's last step, which found the end of the list
  return true;
}

DownloadOutcome CAutoUpdate::FetchListedFile(DownloadPipeline& pipeline,
                                             const DownloadRequest& file,
                                             std::optional<std::size_t> plan) {
  const std::size_t first = FirstMirror();
  DownloadOutcome outcome;
  for (std::size_t mirror = first; mirror < file_mirrors_.size(); ++mirror) {
    if (left_mirrors_[mirror]) continue;
    const DownloadRequest request = OnMirror(mirror, file);
    if (mirror != first) {
      LogLine("Fetching %s from the next update server: %s\n",
              file.filename.c_str(), request.Url().c_str());
    }
    outcome = pipeline.Download(request, mirror == first ? plan : std::nullopt);
    // A file that arrived, or failed here, is done with; one the server
    // failed may come from the next.
    if (outcome.result == CURLE_OK || outcome.local) return outcome;
    if (outcome.result == CURLE_OPERATION_TIMEDOUT) {
      LeaveMirror(mirror, file.filename, pipeline);
    }
  }
  return outcome;
}

const ReleaseTable* CAutoUpdate::PatchTable(const char* filename,
                                            const std::string& release) {
  if (!settings_.trusted_key.empty()) {
    return release_table_ ? &*release_table_ : nullptr;
  }
  // Unsigned, the table serves to find patches alone: fetched without a
  // line of a download, and only a table that reads whole is kept.
  const DownloadRequest request =
      TableRequest(url, filename, release, kMostTableBytes);
  DownloadBody body(request);
  if (!body.ok() ||
      curlapi->Fetch(request, body, CCurl::Meter::kHidden) != CURLE_OK) {
    return nullptr;
  }
  ReleaseTable& table = unsigned_table_.emplace();
  const std::string why = ReadReleaseTable(body.file().temp_path(), table);
  if (!why.empty()) {
    unsigned_table_.reset();
    LogLine("Not looking for patches in %s: %s\n", request.Url().c_str(),
            why.c_str());
    return nullptr;
  }
  LogLine("Looking for patches in the file table %s\n",
          request.Url().c_str());
  return &table;
}

std::size_t CAutoUpdate::FirstMirror() const {
  std::size_t mirror = 0;
  while (mirror + 1 < left_mirrors_.size() && left_mirrors_[mirror]) ++mirror;
  return mirror;
}

DownloadRequest CAutoUpdate::OnMirror(std::size_t mirror,
                                      DownloadRequest request) const {
  request.urldir = mirror < file_mirrors_.size() ? file_mirrors_[mirror] : url;
  request.speed_floor.reset();
  if (mirror + 1 < file_mirrors_.size()) {
    request.speed_floor = settings_.mirror_speed_floor;
  }
  return request;
}

void CAutoUpdate::LeaveMirror(std::size_t mirror, const std::string& path,
                              DownloadPipeline& pipeline) {
  // The last one is never left: with no other, its files get their whole
  // time, as with one server.
  if (mirror + 1 >= file_mirrors_.size()) return;
  left_mirrors_[mirror] = true;
  LogLine("Leaving the update server %s for the rest of this run: %s was too "
          "slow\n",
          file_mirrors_[mirror].c_str(), path.c_str());
  const std::string& left = file_mirrors_[mirror];
  const std::size_t next = FirstMirror();
  pipeline.Replan([&](DownloadRequest& request) {
    if (request.urldir == left) request = OnMirror(next, std::move(request));
  });
}

ListedEntryAction CAutoUpdate::Decide(const ListStep& step,
                                      ComparisonWalk& walk) const {
  return walk.Decide(std::string(step.path()), std::string(step.hash()));
}

int CAutoUpdate::DownloadFile(const char* urldir, const char* filename,
                              const char* /*downloaddir*/,
                              const std::string& expected_md5) {
  SweepStaleTemporaries(DirectoryOf(filename));
  curlapi->DownloadFile(urldir, filename, "", kFileTimeoutSecs, expected_md5);
  if (curlapi->restartrequired) restartrequired = true;
  return static_cast<int>(curlapi->result);
}

void CAutoUpdate::UpdateGUI() {
  StarterSharedState* starter = StarterSharedState::starter;
  if (starter != nullptr && starter->device != nullptr) starter->device->run();
}

bool CAutoUpdate::compareFilePair(const filemd5pair* pair) const {
  return pair != nullptr && diskpairs.Contains(*pair);
}

int CAutoUpdate::SearchDirectory(std::vector<std::string>& refvecFiles,
                                 const std::string& refcstrRootDirectory,
                                 const std::string& refcstrExtension,
                                 bool bSearchSubdirectories,
                                 std::vector<std::string>& ignoreFiles) {
  return ::SearchDirectory(refvecFiles, refcstrRootDirectory, refcstrExtension,
                           bSearchSubdirectories, ignoreFiles);
}

int CAutoUpdate::MakeHash(const char* filename, std::string& hashstring) {
  return stdCalculateMD5(filename, hashstring) ? 1 : 0;
}

void CAutoUpdate::MoveUnusedFiles(const char* downloadfilename,
                                  const char* downloaddir) {
  ::MoveUnusedFiles(downloadfilename, downloaddir, ignoreFiles,
                    StandardFiles());
}

void CAutoUpdate::MoveUnusedFile(const char* filename, const char* baseDir,
                                 bool printMoves) {
  ::MoveUnusedFile(filename, baseDir, printMoves);
}

std::map<std::string, std::string>& CAutoUpdate::StandardFiles() {
  if (settings_.standard_files != nullptr) return *settings_.standard_files;
  // The application object of the moment, which may have come after this
  // updater.
  CApplication* app = Singleton<CApplication>::GetSingleton();
  return app != nullptr ? app->standardFiles : local_standard_;
}
