// The updater: one complete update run against the update server.
#ifndef STARTER_UPDATE_AUTO_UPDATE_H_
#define STARTER_UPDATE_AUTO_UPDATE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/deferred_sync.h"
#include "engine/exclusive_lock.h"
#include "update/checksum_list.h"
#include "update/file_pair_index.h"
#include "update/release_statement.h"
#include "update/release_table.h"
#include "update/update_decisions.h"
#include "update/update_settings.h"

class CCurl;
class DownloadPipeline;
struct DownloadOutcome;
struct DownloadRequest;

// The file whose lock every update run of a game directory holds.
inline constexpr char kUpdateLockFile[] = "Downloads/update.lock";

// Takes the update lock of the game directory (the current directory),
// "Downloads/update.lock" (making "Downloads" first), as every update run
// does: while another holds it, logs "Waiting for another update of this
// game directory to finish" and waits. A lock that cannot be taken (a
// directory that cannot be written) is logged ("Could not lock ...") and the
// caller goes on without it (check held()).
ExclusiveLock LockGameDirectory();

// Constructing a CAutoUpdate performs one update run, synchronously: fetch
// the checksum list from the application's update path (from the first of
// its mirrors that serves one, tried in order), move files of
// "./Base" the release no longer lists into "./old", compare keys with the
// local version file, hash the listed local files, download (and verify)
// every file whose hash differs, and install the list as the new local
// version file. A downloaded file without the list header ("version_file")
// is not a list: the run ends there with error 1 and touches nothing. With
// a trusted key, so does a list without that key's signature.
// Every directory the run writes a file into is first cleared of the
// temporary files that processes which no longer run left there
// (SweepStaleTemporaries). Afterwards the object only holds the outcome.
// Every step is logged to the application log; nothing is thrown.
class CAutoUpdate {
 public:
  // Runs the update against the update path, under the game directory's
  // update lock (LockGameDirectory): by default the application object's
  // getUpdatePaths() (its mirrors), recording the list's paths and hashes
  // in its standardFiles, with DownloadsInFlight() transfers at once and the
  // key compiled into the program, as the starter's own run does; `settings`
  // overrides any of these (see UpdateSettings). With keys taken as
  // differing, "Comparing every listed file, whatever the keys" is logged
  // where the key check would be. `versionfile` null
  // selects versioning only (local hashes recorded, nothing downloaded);
  // otherwise it is not opened. `filename` is the local version file and the
  // list's name on the server and under "Downloads/". `downloaddir` is the
  // root of the hashed tree. `subdirs` is not used. Without an update path
  // (no application object and none given) the run logs "No update path"
  // and ends as when the list cannot be fetched (lasterror "Error
  // downloading checksum", error 0).
  // With a trusted key, the list's signature is fetched from
  // the list's URL + ".sig" into "Downloads/" right after the list, and a
  // missing, unreadable or wrong signature ends the run before anything is
  // relocated, hashed or fetched: one log line says which, error is 1 and
  // lasterror "Invalid signature of the checksum list". With an empty key
  // (a program built without one) no signature is fetched or checked.
  // With a trusted key, the release statement (list URL + ".release") is
  // fetched right after the signature and must carry the same key's
  // signature, name the list's size and SHA-256, and neither be behind the
  // release the game directory installed (the statement kept as `filename`
  // + ".release": a lower serial, or the same serial with another list)
  // nor have expired (unless the settings allow it for this run, logged).
  // When the keys differ, the release's file table (list URL + ".files") is
  // fetched too and must have the size and SHA-256 the statement gives; the
  // run keeps it. A list without a statement is taken as before, unless the
  // game directory installed a release with one. Any refusal ends the run
  // before anything is touched (error 1, lasterror "Refused release
  // statement"), or counts as the mirror's failure. The accepted statement
  // is copied to `filename` + ".release" when the list is installed, and
  // when the keys match a statement of a higher serial for the installed
  // list. Mirrors: each is tried in order, with "Downloading checksums from" and,
  // when it fails, "Error downloading checksum from" as for the one server;
  // a list refused for its header or signature counts as that mirror's
  // failure too. The first mirror whose list is accepted serves the
  // signature, statement and table, and the files of the run: a listed
  // file the server fails there (an error status, a cut body, other bytes
  // than listed, too slow) is requested from each mirror after it in turn
  // before it counts as failed ("Error downloading"); each attempt prints
  // the lines of a download. A file request to a mirror with another after
  // it is held to the settings' mirror speed floor (kMirrorSpeedFloor), and
  // a mirror whose file timed out (its floor or its 600 s) is left for the
  // rest of the run; the last mirror has neither. With one update path
  // nothing of this applies. When no mirror's list is accepted, the run
  // ends as the last refusal ended it (error 1), or, without one, as when
  // the list cannot be fetched. Every file request names the release by the list's
  // MD5 (DownloadGet::kReleaseHeader).
  // Patches: a changed file whose local copy's MD5 has a patch to the
  // listed MD5 in the release's file table arrives as that patch
  // (DownloadThroughPatch, patch_download.h: fetched from the file's mirror,
  // checked against its row, decoded with the local copy as reference,
  // checked and installed as a download of the file, logged "PATH arrived
  // as a patch of N bytes"); any failure of it is logged in one line and
  // the whole file is fetched in the same run, as without a patch. Such
  // files are not fetched ahead of their turn. With a trusted key the table
  // is the one the statement binds; without one, the table published
  // beside the list (list URL + ".files") is asked for once, without a line
  // of a download, when the keys differ and some file to fetch has a local
  // copy (that one request a run is what patches cost against a server
  // without tables), and serves only to find patches: its rows bind no
  // listed file. Taken, it is logged "Looking for patches in the file table
  // URL"; absent, nothing is logged.
  CAutoUpdate(const char* versionfile, const char* filename,
              const char* downloaddir, bool subdirs,
              UpdateSettings settings = {});
  ~CAutoUpdate();
  CAutoUpdate(const CAutoUpdate&) = delete;
  CAutoUpdate& operator=(const CAutoUpdate&) = delete;

  // Fetches urldir + filename to the path `filename` itself within 600 s
  // (its directory swept of stale temporaries first),
  // installing it only when its MD5 equals `expected_md5` (no check when
  // empty). Sets restartrequired when an executable was replaced. Returns
  // the client's result: 0 on success. `downloaddir` is not used.
  int DownloadFile(const char* urldir, const char* filename,
                   const char* downloaddir,
                   const std::string& expected_md5 = std::string());

  // Runs one pass of the starter window's event loop, if there is one.
  void UpdateGUI();

  // Rewrites the local version file `filename` with a fresh key and the
  // hashes of the local copies of the paths listed in `updateVersionFile`
  // (of every file scanned below `downloaddir` when that list cannot be
  // opened), appending one record per hashed file to diskpairs. Listed paths
  // that leave the game directory are not hashed. Returns 0, also when the
  // starter stopped the run midway; otherwise the system error number of the
  // failed open of `filename` (logged "Failed to open - invalid File %s").
  int CreateVersionFile(const char* filename, const char* downloaddir,
                        const std::string& updateVersionFile);

  // 1 when the local version file `filename` and the list at `downloaddir`
  // joined with `filename` both carry the keyword "version_file" and the same
  // key above 0; otherwise 0. Each failure to open or read is logged.
  int RandomKeyCheck(const char* filename, const char* downloaddir);

  // The scan of the local tree; see SearchDirectory in tree_scan.h.
  static int SearchDirectory(std::vector<std::string>& refvecFiles,
                             const std::string& refcstrRootDirectory,
                             const std::string& refcstrExtension,
                             bool bSearchSubdirectories,
                             std::vector<std::string>& ignoreFiles);

  // The MD5 of the file as 32 lower-case hex digits in `hashstring`; returns
  // 1, or 0 when the file cannot be read (hashstring: kUnreadableHash).
  int MakeHash(const char* filename, std::string& hashstring);

  // True when diskpairs holds a record with the same file name ignoring
  // letter case and exactly the same hash; a file that could not be hashed
  // matches no hash (see FilePairIndex::Contains).
  bool compareFilePair(const filemd5pair* pair) const;

  // Refills the run's standard files (the settings' map when they named one;
  // else the standardFiles of the application object that exists at the
  // call; else this object's own map) from the list at `downloadfilename`
  // and moves the unlisted files below `downloaddir` that the relocation
  // rules select into "./old/". See MoveUnusedFiles in unused_files.h.
  void MoveUnusedFiles(const char* downloadfilename, const char* downloaddir);

  // Moves one file into the relocation tree; see MoveUnusedFile in
  // unused_files.h.
  static void MoveUnusedFile(const char* filename, const char* baseDir,
                             bool printMoves);

  // One record per local file hashed by this run, in hashing order.
  FilePairIndex diskpairs;
  // 0 when the run ended without a failure the starter must report, else 1.
  std::int32_t error = 0;
  // True when a download replaced one of the game's executables.
  bool restartrequired = false;
  // The last failure, empty when nothing failed.
  std::string lasterror;
  // The update path whose checksum list the run accepted (of its mirrors,
  // the one it updated from); empty when it accepted none.
  std::string url;
  // The listed paths the run fetched and put in place, in list order.
  std::vector<std::string> installed;
  // The HTTP client of the run.
  std::unique_ptr<CCurl> curlapi;
  // Names of the two ignore lists, the standard list first.
  std::vector<std::string> ignoreFiles;

 private:
  // Whether the list that arrived from `url` is one the run may use: it has
  // the list header and, with a trusted key, that key's signature. On
  // refusal logs why, sets error and lasterror, and returns false.
  bool ListAccepted(const std::string& url, const char* filename,
                    const std::string& downloadfilename);
  // The run's steps after the list from `url` was accepted.
  void RunAfterListFetch(const char* versionfile, const char* filename,
                         const char* downloaddir, const std::string& url,
                         const std::string& downloadfilename);
  // The action `walk` (over the ignore lists and diskpairs) takes for the
  // listed entry `step`. Logs nothing.
  ListedEntryAction Decide(const ListStep& step, ComparisonWalk& walk) const;
  // The download of the listed file `file` (its urldir and speed floor
  // set by OnMirror) at its turn, as the planned transfer `plan` of
  // `pipeline` when it has one: from the first mirror not left, then, while
  // the server is what failed it (any failure but DownloadOutcome::local),
  // from each next one not left, logging "Fetching PATH from the next
  // update server: URL". A mirror whose transfer timed out (its time or its
  // speed floor) is left (LeaveMirror). Returns the last attempt's outcome.
  DownloadOutcome FetchListedFile(DownloadPipeline& pipeline,
                                  const DownloadRequest& file,
                                  std::optional<std::size_t> plan);
  // Of file_mirrors_, the first not left (the last one is never left).
  std::size_t FirstMirror() const;
  // `request` from file_mirrors_[mirror], with the settings' mirror speed
  // floor when another mirror comes after it, and no floor otherwise.
  DownloadRequest OnMirror(std::size_t mirror, DownloadRequest request) const;
  // Leaves file_mirrors_[mirror], unless it is the last, for the rest of the
  // run, logging "Leaving the update server URL for the rest of this run:
  // PATH was too slow"; the planned transfers from it move to the first
  // mirror not left.
  void LeaveMirror(std::size_t mirror, const std::string& path,
                   DownloadPipeline& pipeline);
  // The comparison walk: goes through the list and fetches every changed
  // file (FetchListedFile), in list order, with up to
  // settings_.downloads_in_flight transfers running ahead. Returns false
  // when the list cannot be opened (already reported).
  bool CompareAndDownload(const char* filename,
                          const std::string& downloadfilename,
                          const char* downloaddir);
  // The file table the run finds patches in, for the list `filename` whose
  // MD5 is `release`: with a trusted key, release_table_ (null when the run
  // has none); without one, the table the server publishes beside the list
  // (url + `filename` + ".files"), fetched now without a line of a
  // download, into unsigned_table_ (null when there is none or it does not
  // read: logged "Not looking for patches in URL: REASON"; a table taken is
  // logged "Looking for patches in the file table URL").
  const ReleaseTable* PatchTable(const char* filename,
                                 const std::string& release);
  // Fetches the signature of the list that arrived from `url` and checks the
  // downloaded list with settings_.trusted_key. On any failure logs which, sets error
  // and lasterror, and returns false.
  bool ListSignatureHolds(const std::string& url, const char* filename,
                          const std::string& downloadfilename);
  // Fetches the release statement of the list that arrived from `url` and
  // judges it (CheckStatement) against installed_release_; when the keys
  // differ, fetches and checks the file table too. Keeps what it accepted
  // in offered_release_ and release_table_. On refusal logs why, sets
  // error and lasterror, and returns false.
  bool StatementHolds(const std::string& url, const char* filename,
                      const std::string& downloadfilename);
  // Fetches the file table the accepted statement names from `url` into
  // release_table_. On refusal logs why, sets error and lasterror, and
  // returns false.
  bool TableHolds(const std::string& url, const char* filename,
                  const std::string& downloadfilename);
  // Logs a refusal of the list for its statement or table: "Refusing
  // checksum list ...: `reason`", error 1, lasterror "Refused release
  // statement". Returns false.
  bool RefuseStatement(const std::string& downloadfilename,
                       const std::string& reason);
  // Copies the accepted statement (under "Downloads/") to the game
  // directory's record, `filename` + ".release", as the statement of the
  // installed release. A failure is logged and sets lasterror.
  void RecordInstalledRelease(const char* filename);
  // The map MoveUnusedFiles fills: settings_.standard_files, else the
  // current application object's standardFiles, else local_standard_.
  std::map<std::string, std::string>& StandardFiles();

  EffectiveUpdateSettings settings_;
  // The update paths the listed files may come from, in order: the one whose
  // list the run accepted, then those after it.
  std::vector<std::string> file_mirrors_;
  // For each of file_mirrors_, whether the run has left it as too slow.
  std::vector<bool> left_mirrors_;
  // With a trusted key: the statement of the release the game directory
  // installed, as its record holds it (none without a record).
  std::optional<ReleaseStatement> installed_release_;
  // The statement accepted with the list (none: the server has none).
  std::optional<ReleaseStatement> offered_release_;
  // The file table of the accepted statement, when the keys differed: each
  // listed path's size, SHA-256 and mode, looked up by the path as listed.
  std::optional<ReleaseTable> release_table_;
  // Without a trusted key: the file table beside the list, used only to find
  // patches (its rows bind no listed file).
  std::optional<ReleaseTable> unsigned_table_;
  std::map<std::string, std::string> local_standard_;
  // The files installed by this run, made durable at once before the list
  // is installed as the local version file.
  DeferredSync installed_;
};

#endif  // STARTER_UPDATE_AUTO_UPDATE_H_
