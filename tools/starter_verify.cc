// starter-verify: checks a game directory against its version file, or
// previews what the next start would do against the update server, without
// changing anything in the game directory.
//
// Usage: starter-verify [--server] [--quiet] [GAME_DIR]
//
// Without --server, every file listed in GAME_DIR/App/version.txt is hashed
// as the update run hashes it, and each listed file that the run would
// replace gets a line: "missing PATH", "differs PATH", "not a regular file
// PATH", "unreadable PATH" (exists, cannot be read), "refused PATH" (a listed
// path the run refuses, such as one leading out through a link), or
// "malformed entry: WHY"; one of the game's executables or scripts that its
// owner may not run gets "not executable PATH" (every install makes it 0700,
// and so does starter-repair); before them, each unlisted file below Base
// that the next update would move to ./old gets "would move PATH". When
// anything was found, "to repair: starter-repair GAME_DIR" follows. Then one
// summary line (installation_check.h).
// Exit status: 0 intact, 1 something differs, 2 cannot check.
//
// With --server, the server's checksum list is fetched from the update path
// the starter would use (STARTER_UPDATE_URL applies the same way; of several
// mirrors, the first whose list the update would accept; a variable the
// starter would ignore is named on standard error, as the starter logs it),
// with its signature when this build trusts a key, into a temporary
// directory outside the game directory, which is removed afterwards. Printed in the order of
// the update run: "would move PATH" for each file it would move to ./old;
// then "up to date (key matches)", or, in list order, "would download PATH"
// for each file it would fetch ("would fail to download PATH (...)" when the
// bytes cannot match the entry's hash), "refused PATH" and "malformed entry:
// WHY" for entries the run would refuse; then how the run would end: "would
// fail (the list is not installed)", or "would replace App/version.txt" and
// "would restart" when one of the game's executables would be replaced. The
// update layer's preview (update/update_preview.h) takes these from the
// run's own decisions. Then one summary line.
// Exit status: 0 a start would change nothing, 1 it would, 2 cannot tell
// (server unreachable, not a checksum list, invalid signature).
//
// Before the summary, "installed list key N" gives the key of the version
// file's header (with --server also "server list key N"; "none" for a file
// that has no list header).
//
// With a key, the server's release statement is judged as the update run
// judges it (its signature, the list it names, the installed release it
// must not be behind, its expiry; STARTER_ALLOW_EXPIRED applies the same
// way), and when the keys differ its file table is fetched and checked too.
//
// The key is the one the game directory's starter (DUdavi) trusts, read
// from its key slot: a DUdavi whose slot is empty trusts none, so no
// signature is checked, as it would not check one; without a DUdavi that
// has a key slot, the key this tool was built with. Before the findings,
// "key: FINGERPRINT (WHOSE)" (or "key: none (WHY): signatures are not
// checked") names it when --server uses it, and "installed release: NAME (serial S, issued DATE)"
// the release whose statement the directory installed (or "installed
// release: none recorded").
//
// PATH is the path below the game directory, without a leading "./". With
// --quiet only the summary line is printed, or the one line of the problem
// that stopped the check; a STARTER_UPDATE_URL that is not used is still
// named on standard error (one line, before it). Problems go to standard
// error; so do the transfer's own messages (none with --quiet). --help
// prints the usage to standard output and --version the project's version,
// both with exit status 0.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_lock.h"
#include "engine/standard_streams.h"
#include "engine_starter/application.h"
#include "http/curl_client.h"
#include "installation_check.h"
#include "launcher/engine_defaults_setup.h"
#include "launcher/update_server.h"
#include "server_release.h"
#include "starter_verify_support.h"
#include "tool_usage.h"
#include "update/checksum_list.h"
#include "update/list_signature.h"
#include "update/release_statement.h"
#include "update/release_table.h"
#include "update/unused_files.h"
#include "update/update_decisions.h"
#include "update/update_preview.h"
#include "update/update_settings.h"

namespace {

enum ExitStatus { kUnchanged = 0, kChanged = 1, kCannotTell = 2 };


struct Options {
  bool server = false;
  bool quiet = false;
  const char* game_dir = ".";
};

bool ParseArguments(int argc, char** argv, Options& options) {
  bool have_dir = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--server") == 0) {
      options.server = true;
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      options.quiet = true;
    } else if (argv[i][0] == '-' || have_dir) {
      return false;
    } else {
      options.game_dir = argv[i];
      have_dir = true;
    }
  }
  return true;
}

// The key in the header of the list at `path`, or "none" when it has no
// list header.
std::string KeyOfList(const std::string& path) {
  if (!HasChecksumListHeader(path.c_str())) return "none";
  FileLock file(std::fopen(path.c_str(), "r"));
  return file.isValid() ? std::to_string(ReadListHeader(file.get()).key)
                        : "none";
}

// The check of the game directory `game_dir` (the current directory).
int CheckDirectory(const std::vector<std::string>& ignoreFiles,
                   const char* game_dir, Report& report) {
  InstallationFindings found;
  if (!CheckInstallation(kVersionFile, ignoreFiles, ExecutableModes::kReport,
                         report, found)) {
    return kCannotTell;
  }
  if (!found.intact()) {
    report.Text(std::string("to repair: starter-repair ") + game_dir);
  }
  PrintSummary(found,
               ", " + std::to_string(found.listed) + " listed, " +
                   std::to_string(found.differ) + " differ, " +
                   std::to_string(found.moved) + " would move",
               report);
  return found.intact() ? kUnchanged : kChanged;
}

// "installed list key N" and "server list key N" (the fetched list in
// `list_dir`).
void ReportKeys(const std::string& list_dir, Report& report) {
  report.Text("installed list key " + KeyOfList(kVersionFile));
  report.Text("server list key " +
              KeyOfList(list_dir + "/" + std::string(kVersionFile)));
}

int PreviewStart(const std::string& work_root,
                 const std::vector<std::string>& ignoreFiles, const Judge& judge,
                 Report& report) {
  const WorkDirectory work(work_root);
  if (!work.ok()) {
    return report.CannotTell("cannot make a temporary directory in " +
                             work_root + ": " + std::strerror(work.error()));
  }
  // The mirrors in the update run's order; the first whose list the run
  // would use is the one it would update from.
  std::optional<ServerRelease> served;
  const std::string why =
      FetchFirstServerList(work.path(), judge, report, served);
  if (!why.empty()) return report.CannotTell(why);

  const std::optional<UpdatePreview> preview = PreviewUpdateRun(
      kVersionFile, work.path(), ignoreFiles,
      served->has_table ? &served->table : nullptr);
  if (!preview) {
    return report.CannotTell("cannot read the fetched list: " +
                             std::string(std::strerror(errno)));
  }
  const std::vector<std::string>& moved = preview->moves;
  for (const std::string& path : moved) report.Line("would move", path);
  if (preview->keys_match) {
    report.Text("up to date (key matches)");
    ReportKeys(work.path(), report);
    std::printf("summary: %s, %zu would move, 0 would download\n",
                moved.empty() ? "no change" : "would change", moved.size());
    return moved.empty() ? kUnchanged : kChanged;
  }
  const WalkPreview& walk = preview->walk;
  ReportWalk(walk, "would download", report);
  // The run rewrites the version file whenever the keys differ, and
  // installs the list in it unless it fails.
  if (walk.fails) {
    report.Text("would fail (the list is not installed)");
  } else {
    report.Line("would replace", kVersionFile);
    if (walk.restarts) report.Text("would restart");
  }
  ReportKeys(work.path(), report);
  std::printf("summary: would change, %zu would move, %d would download, %s\n",
              moved.size(), walk.downloads,
              walk.fails      ? "would fail"
              : walk.restarts ? "would restart"
                              : "no restart");
  return kChanged;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-verify");
  Options options;
  if (AsksForHelp(argc, argv) || !ParseArguments(argc, argv, options)) {
    return PrintUsage(
        "usage: %s [--server] [--quiet] [GAME_DIR]\n"
        "Checks GAME_DIR (default: the current directory) against its\n"
        "App/version.txt, or with --server previews what the next start\n"
        "would do; changes nothing. Exit status: 0 intact or nothing to do,\n"
        "1 something differs or would change, 2 cannot tell.\n",
        argc, argv, kCannotTell);
  }
  Report report("starter-verify", options.quiet);
  // Where the list is fetched to: resolved before entering the game
  // directory, and never inside it.
  if (access(options.game_dir, X_OK) != 0) {
    return report.CannotTell(std::string("cannot enter ") + options.game_dir +
                             ": " + std::strerror(errno));
  }
  std::string work_root;
  if (options.server) {
    work_root = TemporaryRootOutside(options.game_dir);
    if (work_root.empty()) {
      return report.CannotTell("no temporary directory outside " +
                               std::string(options.game_dir));
    }
  }
  if (chdir(options.game_dir) != 0) {
    return report.CannotTell(std::string("cannot enter ") + options.game_dir +
                             ": " + std::strerror(errno));
  }
  // Nothing here writes the application log: there is none in this process.
  std::vector<std::string> ignoreFiles;
  LoadIgnoreLists(ignoreFiles);
  const Judge judge = GameDirectoryJudge(options.server, report);
  return options.server ? PreviewStart(work_root, ignoreFiles, judge, report)
                        : CheckDirectory(ignoreFiles, options.game_dir, report);
}
