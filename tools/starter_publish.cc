// starter-publish: publishes a release on the update server in one step, so
// that the served directory is always one whole release, old or new.
//
// Usage: starter-publish [OPTIONS] TREE SERVER_DIR
//        starter-publish [OPTIONS] --switch-back N SERVER_DIR
//        starter-publish --resign --sign KEY --expires SPAN [--name NAME]
//                        SERVER_DIR
// OPTIONS: --follow-outside-links; --keep N; --patch-level N; --sign KEY,
// and with it --new-key PUBLIC_KEY, --name NAME, --expires SPAN.
//
// TREE holds the release's files in the layout of the game directory.
// SERVER_DIR is the directory the web server serves to the starters, e.g.
// /srv/updates/10/linux32-dedicated-demo (the starter fetches
// <update URL>linux32-dedicated-demo/App/version.txt and the files beside
// it). On disk, with P the directory holding SERVER_DIR and NAME its name:
//
//   P/NAME                        a symbolic link to NAME.releases/release-N,
//                                 the release being served
//   P/NAME.releases/release-N     one whole release: the files of TREE that
//                                 the list names, App/version.txt (its
//                                 checksum list), App/version.txt.files (the
//                                 file table), .patches/OLD_MD5-NEW_MD5 (its
//                                 patches, below) and, with --sign,
//                                 App/version.txt.sig and
//                                 App/version.txt.release (the release
//                                 statement)
//   P/NAME.releases/by-list-md5/MD5
//                                 a link to release-N for every release kept,
//                                 named after the MD5 of its list: how the
//                                 origin answers a file request by the
//                                 release its X-Checksum-List-MD5 names
//   P/NAME.releases/.publish.lock held while a publish runs (a second one
//                                 waits)
//   P/NAME.releases/.staging, .next-link, .retired-N
//                                 a publish at work; what a killed one left
//                                 is removed by the next
//
// A publish, in order: lists TREE's files and refuses the tree, changing
// nothing, when a name cannot be listed or fetched (as starter-checksums
// refuses it: one line a name), when a link leads to no file or into
// SERVER_DIR or its releases, or when a link leads out of TREE (its file
// is copied into the release under the link's name only with
// --follow-outside-links), and refuses a TREE holding a top-level
// ".patches", the name of the release's patches;
// copies the files into .staging; with --sign, makes sure the starter the
// release ships (DUdavi), if any, trusts the key: its empty key slot is
// filled, one trusting another key is refused unless --new-key names that
// key (a key change: a release signed with the old key that ships a starter
// trusting the new one; a slot holding the signing key then gets the new
// key); writes the list (with a fresh key, never the served list's), makes
// the release's patches (below), writes the file table (signed or not), and
// with --sign the list's signature and the release statement there with
// starter-checksums' list writer; syncs it all to the disk and renames
// .staging to release-N (N one above the highest so far); links
// by-list-md5/MD5 to it, so that the origin finds it by its list before any
// starter can have that list; then makes a new link to release-N and
// renames it over P/NAME, which the web server sees as one switch from the
// old release to the new. The index loses the links of the releases
// removed after the switch. The releases before the new one stay (--keep
// N of them, 2 by default), for web servers and caches still sending their
// files and as the references of patches; older ones are removed. Killed at
// any point, a publish leaves P/NAME at the whole old or the whole new
// release.
//
// Patches: for every listed file whose content differs from the copy of the
// same path in a release kept after this publish (the served one and those
// before it that --keep keeps), a patch from the old content to the new
// (MakePatch, zstd level --patch-level, 3 by default, the old file as its
// reference), published as release-N/.patches/OLD_MD5-NEW_MD5: a name that
// always stands for the same bytes (a kept release's patch of that name is
// copied), served beside the release's files and shared by every path with
// that pair of contents. A patch is kept only when it is under half the new
// file's size; a pair whose two files together exceed 1 GiB gets none, and
// the output says so. The file table lists each patch kept (its size and
// SHA-256, mode "-") among the files' rows. The output reports the cost in
// one line: "Made N patches for M changed files: P bytes instead of F (S
// s)", F the sizes of the files the patches stand in for.
//
// The statement's serial is one above every serial of the served directory
// (the served statement and those of every release directory), so it only
// ever rises: starters refuse a release behind the one they installed. Its
// name is --name (default: the serial); it expires SPAN after it was issued
// with --expires ("30d", "12h", ...; default never). --switch-back N serves
// release-N's files again as a new release, under a new serial (and a new
// list key), which starters that installed a later one take. --resign
// signs the served statement again with a new serial and an expiry SPAN
// from now, without touching any other file: the one rename of the
// statement is the change (for a timer that keeps a release from expiring).
//
// A SERVER_DIR that is still a plain directory (published by copying) is
// turned into the link first, in one atomic exchange (renameat2 with
// RENAME_EXCHANGE): the directory becomes release-N and P/NAME the link to
// it, with the same content served throughout. A file system without that
// exchange is refused, and the directory must then be moved aside by hand.
// A SERVER_DIR missing or a link elsewhere is simply replaced by the link.
//
// The web server must follow symbolic links (nginx and most servers do by
// default) and serve P/NAME.releases only if that is wanted.
//
// Exit status: 0 published, 1 refused or failed (reported on standard
// error; the served release is unchanged unless the report says it was
// switched), 2 usage. --help prints the usage to standard output,
// --version the project's version.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "engine/atomic_file.h"
#include "engine/deferred_sync.h"
#include "engine/exclusive_lock.h"
#include "engine/file_copy.h"
#include "engine/md5.h"
#include "engine/paths.h"
#include "engine/standard_streams.h"
#include "engine/scoped_fd.h"
#include "release_list.h"
#include "release_patches.h"
#include "release_starter.h"
#include "tool_usage.h"
#include "update/list_signature.h"
#include "update/release_statement.h"
#include "update/release_table.h"

namespace {

constexpr char kUsage[] =
    "usage: %s [OPTIONS] TREE SERVER_DIR\n"
    "   or: [OPTIONS] --switch-back N SERVER_DIR\n"
    "   or: --resign --sign KEY --expires SPAN [--name NAME] SERVER_DIR\n"
    "Publishes the release in TREE at SERVER_DIR in one switch: the files,\n"
    "their checksum list, the patches from the releases kept and the file\n"
    "table (with --sign, the list signed with the private key KEY and the\n"
    "release's statement) are staged beside it, then a new symbolic link to\n"
    "them is renamed over SERVER_DIR.\n"
    "Options (--name, --expires and --new-key with --sign):\n"
    "  --name NAME       the release's name (default: its serial)\n"
    "  --expires SPAN    starters refuse it SPAN after now (30d, 12h, 90m)\n"
    "  --new-key PUB     the shipped DUdavi trusts the public key PUB, not\n"
    "                    KEY: a key change\n"
    "  --follow-outside-links  copy a file a link of TREE leads to outside\n"
    "                    it (refused otherwise)\n"
    "  --keep N          releases kept before the new one (default 2, 0-100)\n"
    "  --patch-level N   zstd level of the patches (default 3, 1-19)\n"
    "A DUdavi in the tree must trust KEY (an empty key slot is filled).\n"
    "--switch-back N serves release-N's files again under a new serial.\n"
    "--resign signs the served statement again (new serial and expiry).\n"
    "Layout (P/NAME = SERVER_DIR):\n"
    "  P/NAME                     link to NAME.releases/release-N (served)\n"
    "  P/NAME.releases/release-N  one whole release, App/version.txt included\n"
    "  .../release-N/.patches/OLD_MD5-NEW_MD5  patch from a kept release's\n"
    "                             copy of a file to the new one, listed in\n"
    "                             App/version.txt.files; only when under half\n"
    "                             the file, none when both exceed 1 GiB\n"
    "  P/NAME.releases/by-list-md5/MD5  link to the kept release whose\n"
    "                             list has that MD5 (for the origin)\n"
    "  P/NAME.releases/.*         lock, staging, leftovers of a killed run\n"
    "The releases before the served one (2, --keep) stay; older go.\n"
    "A plain directory at SERVER_DIR becomes release-N first, atomically.\n"
    "Exit status: 0 published, 1 refused or failed, 2 usage.\n";

// Where the list lies in a release, and its signature.
constexpr char kList[] = "/App/version.txt";
constexpr char kSignature[] = "/App/version.txt.sig";
constexpr char kStatement[] = "/App/version.txt.release";
constexpr char kTable[] = "/App/version.txt.files";
// Releases kept besides the served one, by default and at most.
constexpr int kKeptReleases = 2;
constexpr int kMostKeptReleases = 100;
// The patches' zstd level, by default and at most.
constexpr int kPatchLevel = 3;
constexpr int kHighestPatchLevel = 19;
constexpr char kReleasePrefix[] = "release-";
// The directory of the releases' names by the MD5 of their lists.
constexpr char kByListMd5[] = "by-list-md5";

std::string SystemError(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// The places of one SERVER_DIR.
struct Layout {
  std::string parent;    // canonical directory holding SERVER_DIR
  std::string name;      // SERVER_DIR's last component
  std::string served;    // parent/name
  std::string releases;  // served + ".releases"

  std::string Release(int n) const {
    return releases + "/" + kReleasePrefix + std::to_string(n);
  }
  // What the served link holds for release `n`: relative to its directory,
  // so that the whole tree can be moved or mirrored.
  std::string LinkText(int n) const {
    return name + ".releases/" + kReleasePrefix + std::to_string(n);
  }
  std::string Staging() const { return releases + "/.staging"; }
  std::string NextLink() const { return releases + "/.next-link"; }
};

// The layout of `server_dir`; false when its directory does not resolve or
// it names no entry.
bool MakeLayout(std::string server_dir, Layout& layout) {
  while (server_dir.size() > 1 && server_dir.back() == '/') {
    server_dir.pop_back();
  }
  layout.name = NameOf(server_dir);
  std::string dir = DirectoryOf(server_dir);
  layout.parent = CanonicalPath(dir.empty() ? "." : dir);
  if (layout.parent.empty() || layout.name.empty() || layout.name == "." ||
      layout.name == "..") {
    return false;
  }
  layout.served =
      (layout.parent == "/" ? "" : layout.parent) + "/" + layout.name;
  layout.releases = layout.served + ".releases";
  return true;
}

// The number of a release directory's name, or -1 for any other name.
int ReleaseNumber(const std::string& entry) {
  const std::size_t prefix = std::strlen(kReleasePrefix);
  if (entry.compare(0, prefix, kReleasePrefix) != 0 || entry.size() == prefix ||
      entry.size() > prefix + 9 ||
      entry.find_first_not_of("0123456789", prefix) != std::string::npos) {
    return -1;
  }
  return std::atoi(entry.c_str() + prefix);
}

// The entries of the directory `dir` (without "." and "..").
std::vector<std::string> EntriesOf(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The numbers of the release directories (not links), ascending.
std::vector<int> ReleaseNumbers(const Layout& layout) {
  std::vector<int> numbers;
  for (const std::string& entry : EntriesOf(layout.releases)) {
    struct stat info;
    const int n = ReleaseNumber(entry);
    if (n >= 0 && lstat((layout.releases + "/" + entry).c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode)) {
      numbers.push_back(n);
    }
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

int NextReleaseNumber(const Layout& layout) {
  const std::vector<int> numbers = ReleaseNumbers(layout);
  return numbers.empty() ? 1 : numbers.back() + 1;
}

// Removes `path` and everything below it (links removed, never followed).
bool RemoveTree(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  errno = error.value();
  return !error;
}

// Removes what a killed publish left in the releases directory: the staging
// directory, the link not yet renamed, releases being removed, and the link
// of a conversion that never happened (a release name that is a link).
void RemoveLeftovers(const Layout& layout) {
  for (const std::string& entry : EntriesOf(layout.releases)) {
    const std::string path = layout.releases + "/" + entry;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    if (entry == ".staging" || entry == ".next-link" ||
        entry.rfind(".retired-", 0) == 0 ||
        (ReleaseNumber(entry) >= 0 && S_ISLNK(info.st_mode))) {
      RemoveTree(path);
    }
  }
}

// Makes the plain directory at layout.served release-N and layout.served a
// link to it, in one exchange of the two names. Returns "" or why not.
std::string ConvertServedDirectory(const Layout& layout) {
  const int n = NextReleaseNumber(layout);
  const std::string release = layout.Release(n);
  // A link at the release's own name that names the release: once the
  // exchange has put it at SERVER_DIR, it leads to the directory that the
  // exchange has put at the release's name.
  if (symlink(layout.LinkText(n).c_str(), release.c_str()) != 0) {
    return SystemError("cannot make the link", release);
  }
  if (renameat2(AT_FDCWD, release.c_str(), AT_FDCWD, layout.served.c_str(),
                RENAME_EXCHANGE) != 0) {
    std::string why = SystemError(
        "cannot exchange atomically (move the directory aside by hand)",
        layout.served);
    unlink(release.c_str());
    return why;
  }
  if (!SyncParentDirectory(layout.served) || !SyncParentDirectory(release)) {
    return SystemError("cannot sync", layout.served);
  }
  std::printf("%s was a directory: it is now %s, served through a link\n",
              layout.served.c_str(), release.c_str());
  return std::string();
}

// Copies each of `files` ("./" paths below the current directory, TREE)
// into `staging`, with its mode and times; the copies become durable with
// `deferred`. Returns "" or why not.
std::string CopyFiles(const std::vector<std::string>& files,
                      const std::string& staging, DeferredSync& deferred) {
  for (const std::string& path : files) {
    const std::string copy = staging + path.substr(1);
    ScopedFd source(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source.valid()) return SystemError("cannot read", path);
    MakeParentDirectories(copy, {.first = staging.size() + 1});
    AtomicFile out(copy, LinkAtDestination::kReplace);
    if (!CopyInto(source.get(), out, CopyAttributes::kModeAndTimes)) {
      if (out.ok()) return SystemError("cannot read", path);
      errno = out.error();
      return SystemError("cannot write", copy);
    }
    if (!out.Commit(deferred)) return SystemError("cannot write", copy);
  }
  return std::string();
}

// What the command line asks of the release it publishes.
struct Publication {
  // The private key's canonical path; empty: unsigned.
  std::string private_key;
  // Its public half.
  ListSigningKey public_key;
  // --new-key: the key the shipped starter is to trust instead.
  std::optional<ListSigningKey> new_key;
  std::string name;
  std::optional<std::int64_t> expires_after;
  // Releases kept before the new one, the references of its patches.
  int keep = kKeptReleases;
  // The patches' zstd level.
  int patch_level = kPatchLevel;
};

// The serial for a new statement of the served directory: one above every
// serial it had (the served statement's and those of every release kept).
std::int64_t NextSerial(const Layout& layout) {
  std::vector<std::string> statements = {layout.served + kStatement};
  for (int n : ReleaseNumbers(layout)) {
    statements.push_back(layout.Release(n) + kStatement);
  }
  return HighestSerial(statements) + 1;
}

// The statement's terms for a release issued now.
StatementPlan PlanStatement(const Layout& layout,
                            const Publication& publication) {
  StatementPlan plan;
  plan.serial = NextSerial(layout);
  plan.name = publication.name;
  plan.issued = static_cast<std::int64_t>(std::time(nullptr));
  if (publication.expires_after) {
    plan.expires = plan.issued + *publication.expires_after;
  }
  return plan;
}

// With a signed publication, makes the starter in `staging`, if the release
// ships one, trust the key it must (KeyReleaseStarter). Returns "" or why
// not.
std::string KeyShippedStarter(const std::vector<std::string>& files,
                              const std::string& staging,
                              const Publication& publication) {
  const std::string listed = std::string("./") + kStarterName;
  if (publication.private_key.empty() ||
      std::find(files.begin(), files.end(), listed) == files.end()) {
    return std::string();
  }
  StarterKeying done = StarterKeying::kAlreadyTrusted;
  const ListSigningKey& trusted =
      publication.new_key ? *publication.new_key : publication.public_key;
  std::string why = KeyReleaseStarter(
      staging + "/" + kStarterName, kStarterName, publication.public_key,
      publication.new_key ? &*publication.new_key : nullptr, true, done);
  if (!why.empty()) return why;
  const std::string fingerprint = KeyFingerprint(trusted);
  switch (done) {
    case StarterKeying::kAlreadyTrusted:
      std::printf("%s trusts key %s\n", kStarterName, fingerprint.c_str());
      break;
    case StarterKeying::kFilled:
      std::printf("%s: filled its key slot with key %s\n", kStarterName,
                  fingerprint.c_str());
      break;
    case StarterKeying::kReplaced:
      std::printf("%s: key change, it now trusts key %s instead of %s\n",
                  kStarterName, fingerprint.c_str(),
                  KeyFingerprint(publication.public_key).c_str());
      break;
  }
  return std::string();
}

// The releases that stay beside the one being staged: the newest `keep`
// of those there now, newest first.
std::vector<KeptRelease> ReleasesKept(const Layout& layout, int keep) {
  const std::vector<int> numbers = ReleaseNumbers(layout);
  std::vector<KeptRelease> kept;
  for (auto n = numbers.rbegin();
       n != numbers.rend() && static_cast<int>(kept.size()) < keep; ++n) {
    kept.push_back({layout.Release(*n), kReleasePrefix + std::to_string(*n)});
  }
  return kept;
}

// Stages the release of `files` (below the current directory, TREE) as
// release-N, with its patches from the releases kept, and returns N, or -1
// after reporting why not.
int StageRelease(const std::vector<std::string>& files, const Layout& layout,
                 const Publication& publication) {
  const std::string staging = layout.Staging();
  std::string error;
  DeferredSync deferred;
  WrittenList written;
  const StatementPlan plan = PlanStatement(layout, publication);
  // The table, signed or not, lists the patches made once the files are
  // hashed.
  TablePlan table;
  table.always = true;
  table.extra_rows = [&](const std::vector<std::string>& md5s,
                         std::vector<TableRow>& rows) {
    PatchRequest request;
    request.files = &files;
    request.md5s = &md5s;
    request.release = staging;
    request.list = kList;
    request.kept = ReleasesKept(layout, publication.keep);
    request.level = publication.patch_level;
    PatchSummary summary;
    std::string why = MakeReleasePatches(request, deferred, summary);
    if (why.empty()) {
      rows = std::move(summary.rows);
      std::printf("%s\n", DescribePatchSummary(summary).c_str());
    }
    return why;
  };
  if (mkdir(staging.c_str(), 0755) != 0) {
    error = SystemError("cannot create", staging);
  } else if (error = CopyFiles(files, staging, deferred); error.empty() &&
             (error = KeyShippedStarter(files, staging, publication))
                 .empty()) {
    MakeParentDirectories(staging + kList, {.first = staging.size() + 1});
    if (chdir(staging.c_str()) != 0) {
      error = SystemError("cannot enter", staging);
    } else if (WriteReleaseList(files, staging + kList,
                                publication.private_key,
                                KeyOfList(layout.served + kList), &plan,
                                written, error, &table) &&
               !deferred.SyncAll()) {
      error = SystemError("cannot sync", staging);
    }
  }
  const int n = NextReleaseNumber(layout);
  if (error.empty() &&
      rename(staging.c_str(), layout.Release(n).c_str()) != 0) {
    error =
        SystemError("cannot rename the staged release to", layout.Release(n));
  }
  if (error.empty() && !SyncParentDirectory(layout.Release(n))) {
    error = SystemError("cannot sync", layout.releases);
  }
  if (!error.empty()) {
    std::fprintf(stderr, "starter-publish: %s\n", error.c_str());
    RemoveTree(staging);
    return -1;
  }
  std::string signed_as;
  if (written.statement) {
    signed_as = ", signed, release " + written.statement->name + " (serial " +
                std::to_string(written.statement->serial) + ")";
    if (written.statement->expires) {
      signed_as +=
          ", expires " + FormatStatementTime(*written.statement->expires);
    }
  }
  std::printf("staged %s: %d files, key %ld%s\n", layout.Release(n).c_str(),
              written.listed, written.key, signed_as.c_str());
  return n;
}

// Points layout.served at release `n` with one rename of a new link over
// it. Returns "" or why not.
std::string SwitchTo(const Layout& layout, int n) {
  const std::string link = layout.NextLink();
  unlink(link.c_str());
  if (symlink(layout.LinkText(n).c_str(), link.c_str()) != 0) {
    return SystemError("cannot make the link", link);
  }
  if (rename(link.c_str(), layout.served.c_str()) != 0) {
    std::string why = SystemError("cannot switch", layout.served);
    unlink(link.c_str());
    return why;
  }
  if (!SyncParentDirectory(layout.served)) {
    return SystemError("switched, but cannot sync", layout.served);
  }
  return std::string();
}

// Removes the releases older than the `kept` before `served`, each renamed
// out of the way first so that no half-removed release keeps a release's
// name. Reports what it kept and what it could not remove.
void RemoveOldReleases(const Layout& layout, int served, int kept) {
  std::vector<int> older;
  for (int n : ReleaseNumbers(layout)) {
    if (n < served) older.push_back(n);
  }
  const std::size_t keep =
      std::min(older.size(), static_cast<std::size_t>(kept));
  for (std::size_t i = 0; i + keep < older.size(); ++i) {
    const std::string retired =
        layout.releases + "/.retired-" + std::to_string(older[i]);
    if (rename(layout.Release(older[i]).c_str(), retired.c_str()) != 0 ||
        !RemoveTree(retired)) {
      std::fprintf(
          stderr, "starter-publish: warning: %s\n",
          SystemError("cannot remove", layout.Release(older[i])).c_str());
    }
  }
  for (std::size_t i = older.size() - keep; i < older.size(); ++i) {
    std::printf("kept %s\n", layout.Release(older[i]).c_str());
  }
}

// The directory of the names by which the origin finds a kept release
// from the MD5 of its list.
std::string ByListDirectory(const Layout& layout) {
  return layout.releases + "/" + kByListMd5;
}

// Makes ByListDirectory hold, for every kept release whose list reads, a
// link named after the MD5 of its list that leads to the release, and
// nothing else: each link made under a temporary name and renamed into
// place, links of releases no longer kept removed. Returns "" or why not.
std::string IndexReleasesByList(const Layout& layout) {
  const std::string dir = ByListDirectory(layout);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return SystemError("cannot create", dir);
  }
  std::vector<std::string> wanted;
  for (int n : ReleaseNumbers(layout)) {
    std::string md5;
    if (!Md5File((layout.Release(n) + kList).c_str(), md5)) continue;
    const std::string link = dir + "/" + md5;
    const std::string text = std::string("../") + kReleasePrefix +
                             std::to_string(n);
    wanted.push_back(md5);
    std::error_code error;
    if (std::filesystem::read_symlink(link, error).string() == text) continue;
    const std::string next = dir + "/.next-" + md5;
    unlink(next.c_str());
    if (symlink(text.c_str(), next.c_str()) != 0) {
      return SystemError("cannot make the link", next);
    }
    if (rename(next.c_str(), link.c_str()) != 0) {
      std::string why = SystemError("cannot rename the link to", link);
      unlink(next.c_str());
      return why;
    }
  }
  for (const std::string& entry : EntriesOf(dir)) {
    if (std::find(wanted.begin(), wanted.end(), entry) == wanted.end()) {
      unlink((dir + "/" + entry).c_str());
    }
  }
  if (!SyncParentDirectory(dir + "/.")) return SystemError("cannot sync", dir);
  return std::string();
}

int Refuse(const std::string& why) {
  std::fprintf(stderr, "starter-publish: %s\n", why.c_str());
  return 1;
}

// The files of TREE (the current directory, `tree` in canonical form) that
// the release lists; false after reporting each file no list can carry.
bool ListTree(const std::string& tree, const Layout& layout,
              bool follow_outside, bool switch_back,
              std::vector<std::string>& files) {
  std::vector<std::string> served = {CanonicalPath(layout.served),
                                     CanonicalPath(layout.releases)};
  ReleaseFiles release = CollectReleaseFiles(
      tree, {tree + kList, tree + kSignature, tree + kStatement, tree + kTable},
      {.served = std::move(served), .follow_outside = follow_outside});
  // A tree's own ".patches" would stand where the release's patches are
  // served: refused, on one line. A release switched back to has its own,
  // which are not its files and stay behind.
  std::erase_if(release.unlistable, [](const UnlistableFile& file) {
    return file.path.starts_with(std::string(kPatchDirectory) + "/");
  });
  struct stat info;
  if (!switch_back && lstat(kPatchDirectory, &info) == 0) {
    release.unlistable.push_back(
        {kPatchDirectory, WhyUnlistable(kPatchDirectory)});
    std::sort(release.unlistable.begin(), release.unlistable.end(),
              [](const UnlistableFile& a, const UnlistableFile& b) {
                return a.path < b.path;
              });
  }
  ReportUnlistable("starter-publish", "cannot be listed", release.unlistable);
  if (!release.unlistable.empty()) {
    std::fprintf(stderr,
                 "starter-publish: nothing published: %zu file(s) cannot be "
                 "listed\n",
                 release.unlistable.size());
    return false;
  }
  files = std::move(release.listed);
  return true;
}

// Makes layout.served a link (converting a plain directory). Returns "" or
// why not.
std::string PrepareServedLink(const Layout& layout) {
  struct stat info;
  if (lstat(layout.served.c_str(), &info) != 0) {
    return errno == ENOENT ? std::string()
                           : SystemError("cannot examine", layout.served);
  }
  if (S_ISLNK(info.st_mode)) return std::string();
  if (S_ISDIR(info.st_mode)) return ConvertServedDirectory(layout);
  return layout.served + " is neither a directory nor a symbolic link";
}

// The command line.
struct Arguments {
  const char* private_key = nullptr;
  const char* new_key = nullptr;
  const char* name = nullptr;
  const char* expires = nullptr;
  const char* switch_back = nullptr;
  const char* keep = nullptr;
  const char* patch_level = nullptr;
  bool resign = false;
  bool follow_outside_links = false;
  const char* tree = nullptr;
  const char* server_dir = nullptr;
};

bool ParseArguments(int argc, char** argv, Arguments& args) {
  int next = 1;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    const std::string option = argv[next];
    const char** value = option == "--sign"          ? &args.private_key
                         : option == "--new-key"     ? &args.new_key
                         : option == "--name"        ? &args.name
                         : option == "--expires"     ? &args.expires
                         : option == "--switch-back" ? &args.switch_back
                         : option == "--keep"        ? &args.keep
                         : option == "--patch-level" ? &args.patch_level
                                                     : nullptr;
    if (option == "--resign" && !args.resign) {
      args.resign = true;
    } else if (option == "--follow-outside-links") {
      args.follow_outside_links = true;
    } else if (value == nullptr || *value != nullptr || next + 1 >= argc) {
      return false;
    } else {
      *value = argv[++next];
    }
  }
  const int operands = args.resign || args.switch_back != nullptr ? 1 : 2;
  if (argc - next != operands) return false;
  if (operands == 2) args.tree = argv[next++];
  args.server_dir = argv[next];
  const bool signs = args.private_key != nullptr;
  if (!signs && (args.new_key || args.name || args.expires || args.resign)) {
    return false;
  }
  return !args.resign ||
         (args.expires != nullptr && args.new_key == nullptr &&
          args.switch_back == nullptr && args.keep == nullptr &&
          args.patch_level == nullptr);
}

// The number `text` gives, from `lowest` to `highest`; false for anything
// else.
bool TakeCount(const char* text, int lowest, int highest, int& value) {
  if (text == nullptr) return true;
  const std::string digits = text;
  if (digits.empty() || digits.size() > 3 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoi(digits);
  return value >= lowest && value <= highest;
}

// The options of a signed publication; "" or why they cannot be taken.
std::string MakePublication(const Arguments& args, Publication& publication) {
  if (!TakeCount(args.keep, 0, kMostKeptReleases, publication.keep)) {
    return std::string("cannot take --keep ") + args.keep + " (0 to " +
           std::to_string(kMostKeptReleases) + ")";
  }
  if (!TakeCount(args.patch_level, 1, kHighestPatchLevel,
                 publication.patch_level)) {
    return std::string("cannot take --patch-level ") + args.patch_level +
           " (1 to " + std::to_string(kHighestPatchLevel) + ")";
  }
  if (args.private_key == nullptr) return std::string();
  publication.private_key = CanonicalPath(args.private_key);
  if (publication.private_key.empty()) {
    return SystemError("cannot open", args.private_key);
  }
  std::string why;
  if (!PublicKeyOfPrivateKey(publication.private_key, publication.public_key,
                             why)) {
    return "cannot sign with " + publication.private_key + ": " + why;
  }
  if (args.new_key != nullptr) {
    publication.new_key.emplace();
    if (why = ReadPublicKeyFile(args.new_key, *publication.new_key);
        !why.empty()) {
      return why;
    }
  }
  return TakeStatementOptions(args.name, args.expires, publication.name,
                              publication.expires_after);
}

// Signs the served statement again under a new serial, expiring after the
// publication's span, with the served list and table unchanged. Returns 0,
// or 1 after reporting why not.
int Resign(const Layout& layout, const Publication& publication) {
  const std::string release = CanonicalPath(layout.served);
  if (release.empty()) return Refuse(SystemError("cannot open", layout.served));
  ReleaseStatement statement;
  const std::string path = release + kStatement;
  if (std::string why =
          ReadStatementFile(path, &publication.public_key, statement);
      !why.empty()) {
    return Refuse("cannot sign " + path + " again: release statement " + why);
  }
  const std::optional<FileDigest> list = DigestOfFile(release + kList);
  const std::optional<FileDigest> table = DigestOfFile(release + kTable);
  if (!list || *list != statement.list || !table ||
      *table != statement.files) {
    return Refuse("cannot sign " + path +
                  " again: the served list or file table is not the one it "
                  "names");
  }
  const StatementPlan plan = PlanStatement(layout, publication);
  statement.serial = plan.serial;
  if (!publication.name.empty()) statement.name = publication.name;
  statement.issued = plan.issued;
  statement.expires = plan.expires;
  const std::string body = StatementBody(statement);
  std::string signature, why;
  if (!SignBytes(publication.private_key, body, signature, why)) {
    return Refuse("cannot sign with " + publication.private_key + ": " + why);
  }
  const std::string text = SignedStatementText(body, signature);
  AtomicFile out(path, LinkAtDestination::kReplace);
  if (!out.ok() || !out.Write(text.data(), text.size()) ||
      !out.Commit(Durability::kSynced)) {
    errno = out.error() != 0 ? out.error() : errno;
    return Refuse(SystemError("cannot write", path));
  }
  std::printf("re-signed release %s served from %s: serial %lld, expires %s\n",
              statement.name.c_str(), release.c_str(),
              static_cast<long long>(statement.serial),
              FormatStatementTime(*statement.expires).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-publish");
  Arguments args;
  if (AsksForHelp(argc, argv) || !ParseArguments(argc, argv, args)) {
    return PrintUsage(kUsage, argc, argv, 2);
  }
  Publication publication;
  if (std::string why = MakePublication(args, publication); !why.empty()) {
    return Refuse(why);
  }
  Layout layout;
  if (!MakeLayout(args.server_dir, layout)) {
    return Refuse(std::string("cannot place ") + args.server_dir);
  }
  std::string tree_arg = args.tree != nullptr ? args.tree : "";
  if (args.switch_back != nullptr) {
    const int n = ReleaseNumber(kReleasePrefix + std::string(args.switch_back));
    struct stat info;
    if (n < 0 || lstat(layout.Release(n).c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode)) {
      return Refuse(std::string("no release ") + args.switch_back + " in " +
                    layout.releases);
    }
    tree_arg = layout.Release(n);
  }
  std::vector<std::string> files;
  std::string tree;
  if (!args.resign) {
    tree = CanonicalPath(tree_arg);
    if (tree.empty() || chdir(tree.c_str()) != 0) {
      return Refuse(SystemError("cannot enter", tree_arg));
    }
    if (PathIsWithin(layout.parent, tree)) {
      return Refuse(layout.served + " lies inside " + tree);
    }
    if (!ListTree(tree, layout, args.follow_outside_links,
                  args.switch_back != nullptr, files)) {
      return 1;
    }
  }

  if (mkdir(layout.releases.c_str(), 0755) != 0 && errno != EEXIST) {
    return Refuse(SystemError("cannot create", layout.releases));
  }
  const ExclusiveLock lock(layout.releases + "/.publish.lock", [&] {
    std::printf("waiting for another publish of %s\n", layout.served.c_str());
    std::fflush(stdout);
  });
  if (!lock.held()) {
    errno = lock.error();
    return Refuse(SystemError("cannot lock", layout.releases));
  }
  if (args.resign) return Resign(layout, publication);
  RemoveLeftovers(layout);
  if (std::string why = PrepareServedLink(layout); !why.empty()) {
    return Refuse(why);
  }
  const int n = StageRelease(files, layout, publication);
  if (n < 0) return 1;
  // The origin must find the new release by its list before any starter
  // can have that list.
  if (std::string why = IndexReleasesByList(layout); !why.empty()) {
    return Refuse(why + "; nothing switched");
  }
  if (std::string why = SwitchTo(layout, n); !why.empty()) return Refuse(why);
  std::printf("published %s: %s now serves %s\n", tree.c_str(),
              layout.served.c_str(), layout.Release(n).c_str());
  RemoveOldReleases(layout, n, publication.keep);
  if (std::string why = IndexReleasesByList(layout); !why.empty()) {
    std::fprintf(stderr, "starter-publish: warning: %s\n", why.c_str());
  }
  return 0;
}
