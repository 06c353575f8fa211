// starter-publish: publishes a release on the update server in one step, so
// that the served directory is always one whole release, old or new.
//
// Usage: starter-publish [--sign KEY] TREE SERVER_DIR
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
//                                 checksum list) and, with --sign,
//                                 App/version.txt.sig
//   P/NAME.releases/.publish.lock held while a publish runs (a second one
//                                 waits)
//   P/NAME.releases/.staging, .next-link, .retired-N
//                                 a publish at work; what a killed one left
//                                 is removed by the next
//
// A publish, in order: lists TREE's files and refuses the tree, changing
// nothing, when a name cannot be listed (as starter-checksums refuses it);
// copies the files into .staging; writes the list (with a fresh key, never
// the served list's) and its signature there with starter-checksums' list
// writer; syncs it all to the disk and renames .staging to release-N (N one
// above the highest so far); then makes a new link to release-N and renames
// it over P/NAME, which the web server sees as one switch from the old
// release to the new. The two releases before the new one stay, for web
// servers and caches still sending their files and to switch back to (make
// a link to NAME.releases/release-M beside P/NAME and rename it over
// P/NAME, e.g. "ln -s NAME.releases/release-M P/tmp && mv -T P/tmp
// P/NAME"); older ones are removed. Killed at any point, a publish leaves
// P/NAME at the whole old or the whole new release.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/atomic_file.h"
#include "engine/deferred_sync.h"
#include "engine/exclusive_lock.h"
#include "engine/file_copy.h"
#include "engine/paths.h"
#include "engine/standard_streams.h"
#include "engine/scoped_fd.h"
#include "release_list.h"
#include "tool_usage.h"

namespace {

constexpr char kUsage[] =
    "usage: %s [--sign KEY] TREE SERVER_DIR\n"
    "Publishes the release in TREE at SERVER_DIR in one switch: the files\n"
    "and their checksum list (signed with the private key KEY with --sign)\n"
    "are staged beside it, then a new symbolic link to them is renamed over\n"
    "SERVER_DIR. Layout (P/NAME = SERVER_DIR):\n"
    "  P/NAME                     link to NAME.releases/release-N (served)\n"
    "  P/NAME.releases/release-N  one whole release, App/version.txt included\n"
    "  P/NAME.releases/.*         lock, staging, leftovers of a killed run\n"
    "The two releases before the served one are kept; older ones removed.\n"
    "To serve release M again: ln -s NAME.releases/release-M P/NAME.new &&\n"
    "  mv -T P/NAME.new P/NAME\n"
    "A plain directory at SERVER_DIR becomes release-N first, atomically.\n"
    "Exit status: 0 published, 1 refused or failed, 2 usage.\n";

// Where the list lies in a release, and its signature.
constexpr char kList[] = "/App/version.txt";
constexpr char kSignature[] = "/App/version.txt.sig";
// Releases kept besides the served one.
constexpr int kKeptReleases = 2;
constexpr char kReleasePrefix[] = "release-";

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

// Stages the release of `files` (below the current directory, TREE) as
// release-N and returns N, or -1 after reporting why not.
int StageRelease(const std::vector<std::string>& files, const Layout& layout,
                 const std::string& private_key) {
  const std::string staging = layout.Staging();
  std::string error;
  DeferredSync deferred;
  WrittenList written;
  if (mkdir(staging.c_str(), 0755) != 0) {
    error = SystemError("cannot create", staging);
  } else if (error = CopyFiles(files, staging, deferred); error.empty()) {
    MakeParentDirectories(staging + kList, {.first = staging.size() + 1});
    if (chdir(staging.c_str()) != 0) {
      error = SystemError("cannot enter", staging);
    } else if (WriteReleaseList(files, staging + kList, private_key,
                                KeyOfList(layout.served + kList), written,
                                error) &&
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
  std::printf("staged %s: %d files, key %ld%s\n", layout.Release(n).c_str(),
              written.listed, written.key,
              written.has_signature ? ", signed" : "");
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

// Removes the releases older than the kKeptReleases before `served`, each
// renamed out of the way first so that no half-removed release keeps a
// release's name. Reports what it kept and what it could not remove.
void RemoveOldReleases(const Layout& layout, int served) {
  std::vector<int> older;
  for (int n : ReleaseNumbers(layout)) {
    if (n < served) older.push_back(n);
  }
  const std::size_t keep =
      std::min(older.size(), static_cast<std::size_t>(kKeptReleases));
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

int Refuse(const std::string& why) {
  std::fprintf(stderr, "starter-publish: %s\n", why.c_str());
  return 1;
}

// The files of TREE (the current directory, `tree` in canonical form) that
// the release lists; false after reporting each file no list can carry.
bool ListTree(const std::string& tree, std::vector<std::string>& files) {
  ReleaseFiles release =
      CollectReleaseFiles(tree, {tree + kList, tree + kSignature});
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

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-publish");
  int next = 1;
  const char* key_arg = nullptr;
  if (argc == 5 && std::strcmp(argv[1], "--sign") == 0) {
    key_arg = argv[2];
    next = 3;
  }
  if (AsksForHelp(argc, argv) || argc - next != 2 || argv[next][0] == '-') {
    return PrintUsage(kUsage, argc, argv, 2);
  }
  std::string private_key;
  if (key_arg != nullptr && (private_key = CanonicalPath(key_arg)).empty()) {
    return Refuse(SystemError("cannot open", key_arg));
  }
  Layout layout;
  if (!MakeLayout(argv[next + 1], layout)) {
    return Refuse(std::string("cannot place ") + argv[next + 1]);
  }
  const std::string tree = CanonicalPath(argv[next]);
  if (tree.empty() || chdir(tree.c_str()) != 0) {
    return Refuse(SystemError("cannot enter", argv[next]));
  }
  if (PathIsWithin(layout.parent, tree)) {
    return Refuse(layout.served + " lies inside " + tree);
  }
  std::vector<std::string> files;
  if (!ListTree(tree, files)) return 1;

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
  RemoveLeftovers(layout);
  if (std::string why = PrepareServedLink(layout); !why.empty()) {
    return Refuse(why);
  }
  const int n = StageRelease(files, layout, private_key);
  if (n < 0) return 1;
  if (std::string why = SwitchTo(layout, n); !why.empty()) return Refuse(why);
  std::printf("published %s: %s now serves %s\n", tree.c_str(),
              layout.served.c_str(), layout.Release(n).c_str());
  RemoveOldReleases(layout, n);
  return 0;
}
