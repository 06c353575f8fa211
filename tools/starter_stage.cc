// starter-stage: fetches, while the game runs, the files the next start of
// a game directory would download, so that the start takes them from the
// disk instead of the network.
//
// Usage: starter-stage [--quiet] GAME_DIR
//
// Fetches the checksum list from the update path the starter would use
// (STARTER_UPDATE_URL and its mirrors, else the compiled-in ones; of
// several, the first whose list the update would accept), with its
// signature, release statement and file table when the game directory's
// starter trusts a key, into a temporary directory outside the game
// directory, as starter-verify --server does. By the update run's own
// decisions (update/update_preview.h) it finds the files the next start
// would download, and fetches each into the list's staging area,
// "Downloads/staged/<MD5 of the list>/" at the path the list gives it
// (update/staged_copies.h): through a temporary name beside it, renamed
// into place only when its MD5 is the listed one (and its size and SHA-256
// those of the release's file table, when it has one). Where that table
// names a patch from the file's local copy to the listed file, the patch
// is fetched and decoded against the local copy instead (as the start
// would fetch it: update/patch_download.h), and the whole file only when
// the patch fails; "B bytes fetched" then counts the patch. A copy that is
// already there and holds the listed bytes is kept. Each copy is then read
// once more in place, synced, and what that check found (its size, device,
// inode, modification and change times, MD5 and SHA-256) is recorded in
// "Downloads/staged/<MD5 of the list>.checked", written whole and synced:
// the start takes a copy that is still as recorded without reading it.
//
// It writes nothing else in the game directory and leaves every file the
// game uses alone, so it runs beside a running game and beside a running
// start. It never waits for the game directory's update lock: it takes it
// only to remove the staging areas of lists no longer served, and their
// records (all of them once the installation is current), and leaves that
// to a later run when a start holds the lock. The start that installs a
// list removes its area and record itself; the files it replaced with
// staged copies it leaves in "Downloads/staged/<MD5>.replaced", which every
// run here removes (under the same lock), so that their space is freed
// while the game runs, not while it waits to start.
//
// Before fetching, it adds up what it will write (the sizes of the file
// table, else the Content-Length of the server's answers to HEAD requests)
// and compares it with the room the staging area's file system leaves a
// download (what the starter's downloads may take there); when it does not
// fit it prints "not enough space to stage: N MB needed, M MB available"
// (MB of 2^20 bytes, needed rounded up, available down) and writes nothing.
//
// Prints, on standard output, the key and installed release lines of
// starter-verify, "removed staging area MD5" for each area removed,
// "removed the files a start replaced, DIR" for each such directory,
// "staged PATH" for each file fetched, "already staged PATH" for each kept,
// and one summary line: "summary: staged release NAME (serial N), F files,
// B bytes, in Downloads/staged/MD5/" ("release with list key K" without a
// statement), "summary: up to date (key matches), nothing to stage", or
// "summary: could not stage, ...". Problems go to standard error as
// "starter-stage: WHY"; so do the transfers' own messages (none with
// --quiet, which prints only the summary line or the problem that stopped
// it).
//
// Exit status: 0 a release is staged (every file its start would download
// is in the staging area), 1 the installation is current, 2 it could not
// stage (usage; no list accepted; the next start would fail with the list;
// not enough space; a file not fetched or not as listed). --help prints
// the usage and --version the project's version, both with exit status 0.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <curl/curl.h>

#include "engine/exclusive_lock.h"
#include "engine/file_lock.h"
#include "engine/free_space.h"
#include "engine/md5.h"
#include "engine/paths.h"
#include "engine/scoped_fd.h"
#include "engine/stale_temporaries.h"
#include "engine/standard_streams.h"
#include "http/curl_client.h"
#include "installation_check.h"
#include "launcher/update_server.h"
#include "server_release.h"
#include "starter_verify_support.h"
#include "tool_usage.h"
#include "update/auto_update.h"
#include "update/checksum_list.h"
#include "update/patch_download.h"
#include "update/staged_copies.h"
#include "update/unused_files.h"
#include "update/update_preview.h"

namespace {

enum ExitStatus { kStaged = 0, kCurrent = 1, kCannotStage = 2 };

// The update run's limit for a file's transfer.
constexpr int kFileTimeoutSecs = 600;
// The time a HEAD request for a file's length may take.
constexpr long kHeadTimeoutSecs = 30;
constexpr std::uint64_t kMegabyte = std::uint64_t{1} << 20;

constexpr char kUsage[] =
    "usage: %s [--quiet] GAME_DIR\n"
    "Fetches the files the next start of GAME_DIR would download into\n"
    "GAME_DIR/Downloads/staged/, where that start takes them from; changes\n"
    "nothing else. Exit status: 0 a release is staged, 1 the installation\n"
    "is current, 2 could not stage.\n";

using Options = QuietGameDirArguments;

// One file the next start would download.
struct StagedFile {
  std::string path;  // as listed
  std::string md5;   // as listed
  // Its size and SHA-256 by the release's file table, when it says them.
  std::optional<std::uint64_t> size;
  std::string sha256;
};

// The check of the staged copy of `file` in the staging area of `list_md5`
// when it holds the bytes `file` names; else nothing.
std::optional<StagedCopyCheck> CheckCopy(const std::string& list_md5,
                                         const StagedFile& file) {
  return CheckStagedCopy(list_md5, file.path, file.md5, file.size, file.sha256);
}

// The length the server announces for `url` (HEAD), if it does.
std::optional<std::uint64_t> AnnouncedLength(const std::string& url,
                                             const std::string& release) {
  CurlGlobal global;
  CURL* curl = global.ok() ? curl_easy_init() : nullptr;
  if (curl == nullptr) return std::nullopt;
  const std::string header =
      std::string(DownloadGet::kReleaseHeader) + ": " + release;
  curl_slist* headers = curl_slist_append(nullptr, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kHeadTimeoutSecs);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  std::optional<std::uint64_t> length;
  curl_off_t announced = -1;
  if (curl_easy_perform(curl) == CURLE_OK &&
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                        &announced) == CURLE_OK &&
      announced >= 0) {
    length = static_cast<std::uint64_t>(announced);
  }
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return length;
}

// The room a download may take on the file system the staging area `area`
// is (or will be) on: that of the nearest of its directories that exists.
std::uint64_t RoomForStaging(const std::string& area) {
  for (const std::string& dir :
       {area, std::string(kStagingDirectory), std::string("Downloads"),
        std::string(".")}) {
    const ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) return RoomLeftOn(fd.get());
  }
  return kNoRoomBound;
}

// Removes every staging area but that of `keep` (none when empty), and its
// record, when no start holds the update lock; reports each one removed.
void RemoveOtherAreas(const std::string& keep, Report& report) {
  std::error_code error;
  std::set<std::string> old;
  // What starts replaced is never needed: all of it goes.
  std::set<std::string> replaced;
  const std::string record_end =
      StagingRecordOf("").substr(StagingAreaOf("").size());
  const std::string replaced_end =
      ReplacedFilesOf("").substr(StagingAreaOf("").size());
  for (const auto& entry :
       std::filesystem::directory_iterator(kStagingDirectory, error)) {
    std::string name = entry.path().filename();
    if (name.ends_with(replaced_end)) {
      name.resize(name.size() - replaced_end.size());
      if (IsMd5Text(name)) replaced.insert(name);
      continue;
    }
    if (name.ends_with(record_end)) {
      name.resize(name.size() - record_end.size());
    }
    if (IsMd5Text(name) && name != keep) old.insert(name);
  }
  if (old.empty() && replaced.empty()) return;
  const ExclusiveLock lock(kUpdateLockFile, ExclusiveLock::IfFree{});
  if (!lock.held()) {
    if (!report.quiet()) {
      report.Problem("a start holds the update lock: old staging areas stay "
                     "until the next run");
    }
    return;
  }
  for (const std::string& name : replaced) {
    std::filesystem::remove_all(ReplacedFilesOf(name), error);
    if (error) {
      report.Problem("cannot remove " + ReplacedFilesOf(name) + ": " +
                     error.message());
    } else if (!report.quiet()) {
      report.Text("removed the files a start replaced, " +
                  ReplacedFilesOf(name));
    }
  }
  for (const std::string& name : old) {
    // Links in it are removed, never followed.
    std::filesystem::remove(StagingRecordOf(name), error);
    if (!error) std::filesystem::remove_all(StagingAreaOf(name), error);
    if (error) {
      report.Problem("cannot remove " + StagingAreaOf(name) + ": " +
                     error.message());
    } else if (!report.quiet()) {
      report.Text("removed staging area " + name);
    }
  }
}

// "release NAME (serial N)", or "release with list key K".
std::string ReleaseName(const ServerRelease& release, const std::string& list) {
  if (release.statement) {
    return "release " + release.statement->name + " (serial " +
           std::to_string(release.statement->serial) + ")";
  }
  std::string key = "none";
  FileLock file(std::fopen(list.c_str(), "r"));
  if (file.isValid()) key = std::to_string(ReadListHeader(file.get()).key);
  return "release with list key " + key;
}

// "N MB", `bytes` rounded up or down to whole MB.
std::string Megabytes(std::uint64_t bytes, bool round_up) {
  const std::uint64_t whole =
      bytes / kMegabyte + (round_up && bytes % kMegabyte != 0 ? 1 : 0);
  return std::to_string(whole) + " MB";
}

// Fetches `file` from `url` into the staging area `area` as a file of the
// release `list_md5`, and checks it once in place (synced), adding the
// check to `record`; `fetched` grows by the bytes of what arrived. Where the
// release's file table `table` names a patch from the file's local copy to
// it, the patch is fetched and decoded against that copy instead, and the
// whole file only when the patch fails, as the start would. Returns "" or
// why it is not staged.
std::string FetchIntoArea(const std::string& url, const std::string& area,
                          const std::string& list_md5, const StagedFile& file,
                          const ReleaseTable* table, const Report& report,
                          StagingRecord& record, std::uint64_t& fetched) {
  const std::string copy = StagedCopyPath(list_md5, file.path);
  {
    const ConsoleAside aside(report.quiet() ? ConsoleAside::kDiscard
                                            : ConsoleAside::kToStandardError);
    SweepStaleTemporaries(DirectoryOf(copy));
    CCurl client;
    DownloadRequest request;
    request.urldir = url;
    request.filename = file.path;
    request.downloaddir = area;
    request.timeout_secs = kFileTimeoutSecs;
    request.expected_md5 = file.md5;
    request.most_bytes = file.size;
    request.release = list_md5;
    const ReleaseFileRecord* patch = nullptr;
    std::string local_md5;
    if (table != nullptr && Md5File(file.path.c_str(), local_md5)) {
      patch = table->FindPatch(local_md5, file.md5);
    }
    if (patch != nullptr &&
        DownloadThroughPatch(client, request, *patch, nullptr, file.path)
                .result == CURLE_OK) {
      fetched += patch->size;
    } else {
      client.Download(request);
      if (client.result != CURLE_OK) {
        return "not fetched (err " + std::to_string(client.result) + ")";
      }
      std::error_code error;
      fetched += std::filesystem::file_size(copy, error);
    }
  }
  std::optional<StagedCopyCheck> check = CheckCopy(list_md5, file);
  if (!check) {
    std::remove(copy.c_str());
    return file.sha256.empty()
               ? "not the listed MD5 once in place"
               : "not the size or SHA-256 the release's file table gives";
  }
  record.Add(std::move(*check));
  return "";
}

int Stage(const std::string& work_root, Report& report) {
  std::vector<std::string> ignoreFiles;
  LoadIgnoreLists(ignoreFiles);
  const Judge judge = GameDirectoryJudge(true, report);
  const WorkDirectory work(work_root);
  if (!work.ok()) {
    return report.CannotTell("cannot make a temporary directory in " +
                             work_root + ": " + std::strerror(work.error()));
  }
  std::string url;
  std::optional<ServerRelease> served;
  const std::string why =
      FetchFirstServerList(work.path(), judge, report, served, &url);
  if (!why.empty()) return report.CannotTell(why);
  const ServerRelease& release = *served;
  const std::string list = work.path() + "/" + kVersionFile;
  std::string list_md5;
  if (!Md5File(list.c_str(), list_md5)) {
    return report.CannotTell("cannot read the fetched list: " +
                             std::string(std::strerror(errno)));
  }
  const std::optional<UpdatePreview> preview = PreviewUpdateRun(
      kVersionFile, work.path(), ignoreFiles,
      release.has_table ? &release.table : nullptr);
  if (!preview) {
    return report.CannotTell("cannot read the fetched list: " +
                             std::string(std::strerror(errno)));
  }
  RemoveOtherAreas(preview->keys_match ? std::string() : list_md5, report);
  if (preview->keys_match) {
    std::printf("summary: up to date (key matches), nothing to stage\n");
    return kCurrent;
  }
  const WalkPreview& walk = preview->walk;
  if (walk.fails) {
    ReportWalk(walk, "would download", report);
    return report.CannotTell(
        "the next start would fail with the served list: nothing staged");
  }

  // What the start would download, from the list's own entries.
  const std::optional<ListSteps> steps = ReadListStepsAt(list);
  std::map<std::string_view, std::string_view> hashes;
  if (steps) {
    for (const ListStep& step : *steps) {
      if (step.read() == ListRead::kEntry) {
        hashes.emplace(step.path(), step.hash());
      }
    }
  }
  std::vector<StagedFile> files;
  for (const PreviewedEntry& entry : walk.entries) {
    if (entry.kind != PreviewedEntry::Kind::kDownload) continue;
    StagedFile file{entry.text, "", std::nullopt, ""};
    if (const auto found = hashes.find(entry.text); found != hashes.end()) {
      file.md5 = std::string(found->second);
    }
    if (release.has_table) {
      if (const ReleaseFileRecord* record = release.table.Find(file.path)) {
        file.size = record->size;
        file.sha256 = std::string(record->sha256);
      }
    }
    files.push_back(std::move(file));
  }
  const std::string area = StagingAreaOf(list_md5);
  std::vector<const StagedFile*> to_fetch;
  int already = 0;
  std::uint64_t needed = 0;
  // What this run checked of the copies, for the start to trust.
  StagingRecord record;
  for (const StagedFile& file : files) {
    if (std::optional<StagedCopyCheck> check = CheckCopy(list_md5, file)) {
      record.Add(std::move(*check));
      ++already;
      report.Line("already staged", file.path);
      continue;
    }
    to_fetch.push_back(&file);
    const std::optional<std::uint64_t> size =
        file.size ? file.size : AnnouncedLength(url + file.path, list_md5);
    needed += size.value_or(0);
  }
  const std::uint64_t room = RoomForStaging(area);
  if (needed > room) {
    return report.CannotTell("not enough space to stage: " +
                             Megabytes(needed, true) + " needed, " +
                             Megabytes(room, false) + " available");
  }
  int failed = 0;
  std::uint64_t staged_bytes = 0;
  for (const StagedFile* file : to_fetch) {
    const std::string failure =
        FetchIntoArea(url, area, list_md5, *file,
                      release.has_table ? &release.table : nullptr, report,
                      record, staged_bytes);
    if (!failure.empty()) {
      ++failed;
      report.Problem("cannot stage " + file->path + ": " + failure);
      continue;
    }
    report.Line("staged", file->path);
  }
  if (record.size() > 0 && !record.Write(list_md5)) {
    // The start then checks every copy as it takes it.
    report.Problem("cannot record the checks in " + StagingRecordOf(list_md5) +
                   ": " + std::strerror(errno));
  }
  const std::string counts = std::to_string(files.size() - failed) +
                             " files (" + std::to_string(already) +
                             " already staged), " +
                             std::to_string(staged_bytes) + " bytes fetched";
  if (failed > 0) {
    std::printf("summary: could not stage, %d of %zu files not staged, %s\n",
                failed, files.size(), counts.c_str());
    return kCannotStage;
  }
  std::printf("summary: staged %s, %s, in %s/\n",
              ReleaseName(release, list).c_str(), counts.c_str(), area.c_str());
  return kStaged;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-stage");
  Options options;
  if (AsksForHelp(argc, argv) || !ParseQuietGameDir(argc, argv, options)) {
    return PrintUsage(kUsage, argc, argv, kCannotStage);
  }
  Report report("starter-stage", options.quiet);
  if (access(options.game_dir, X_OK) != 0) {
    return report.CannotTell(std::string("cannot enter ") + options.game_dir +
                             ": " + std::strerror(errno));
  }
  // Where the list is fetched to: resolved before entering the game
  // directory, and never inside it.
  const std::string work_root = TemporaryRootOutside(options.game_dir);
  if (work_root.empty()) {
    return report.CannotTell("no temporary directory outside " +
                             std::string(options.game_dir));
  }
  if (chdir(options.game_dir) != 0) {
    return report.CannotTell(std::string("cannot enter ") + options.game_dir +
                             ": " + std::strerror(errno));
  }
  return Stage(work_root, report);
}
