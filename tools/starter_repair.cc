// starter-repair: brings a damaged game directory back to the release its
// update servers serve, through the starter's own update run.
//
// Usage: starter-repair [--quiet] GAME_DIR
//
// Under the game directory's update lock ("Downloads/update.lock", taken in
// its turn as a second starter takes it), runs the starter's update run
// against the same servers (STARTER_UPDATE_URL and its mirrors, else the
// compiled-in ones) and with the key the game directory's starter trusts
// (read from the key slot of its DUdavi, as starter-verify reads it; this
// tool's own key without a DUdavi that has one), with the key check taken
// as differing: every listed file that is missing, not a regular file or
// differs is fetched and installed through the same steps (executables and
// scripts swapped in, files on the ignore lists left alone), unlisted files
// below Base are moved to ./old as every update does, and the list is
// installed as the version file. Then, still under the lock, the directory
// is checked against that list as starter-verify checks it; the game's
// executables and scripts that their owner may not run get 0700.
//
// Prints "replaced PATH" for each file installed and "made executable PATH"
// for each mode given, then what still differs (starter-verify's lines),
// "restart the server: its executable was replaced" when that happened,
// "installed list key N" and one summary line: "summary: intact" or
// "summary: not intact", ", L listed, R replaced, D differ, M would move"
// (and ", N not executable"). The run's own lines (its log lines and
// transfers) go to standard error after "starter-repair: key: ..." (as
// starter-verify names it), none with --quiet, which prints only the
// summary line or the one line of the problem that stopped it (and, before
// it, a STARTER_UPDATE_URL the starter would ignore).
//
// Exit status: 0 the directory is intact afterwards, 1 something could not
// be repaired, 2 it could not run (usage; GAME_DIR holds no version file
// with a checksum list; no update server's list was accepted: unreachable,
// not a list, refused signature). --help prints the usage and --version the
// project's version to standard output, both with exit status 0.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/standard_streams.h"
#include "engine_starter/application.h"
#include "engine_starter/log.h"
#include "game_directory_key.h"
#include "installation_check.h"
#include "launcher/engine_defaults_setup.h"
#include "launcher/update_server.h"
#include "starter_verify_support.h"
#include "tool_usage.h"
#include "update/auto_update.h"
#include "update/checksum_list.h"
#include "update/unused_files.h"

namespace {

enum ExitStatus { kIntact = 0, kNotRepaired = 1, kCannotRun = 2 };

// The local version file, and the list's name on the server.
constexpr char kVersionFile[] = "App/version.txt";
// Where the run puts the list it fetched.
constexpr char kDownloadedList[] = "Downloads/App/version.txt";

constexpr char kUsage[] =
    "usage: %s [--quiet] GAME_DIR\n"
    "Fetches and installs every file of GAME_DIR that differs from the\n"
    "release its update servers serve, as the starter's update would, and\n"
    "makes its executables runnable. Exit status: 0 intact afterwards,\n"
    "1 something could not be repaired, 2 could not run.\n";

using Options = QuietGameDirArguments;

// What the run left for the report.
struct RunResult {
  bool list_accepted = false;
  std::string lasterror;
  std::vector<std::string> installed;
  bool restart_required = false;
};

// The starter's update run with the key check taken as differing and the
// key `key`, while this process holds the update lock `lock`.
RunResult RunRepair(const ExclusiveLock& lock, const ListSigningKey& key) {
  UpdateSettings settings;
  settings.keys_taken_as_differing = true;
  settings.held_lock = &lock;
  settings.trusted_key = key;
  const CAutoUpdate run("App/autoupdate.cfg", kVersionFile, ".", true,
                        settings);
  return {!run.url.empty(), run.lasterror, run.installed, run.restartrequired};
}

int Repair(const Options& options, Report& report) {
  if (!HasChecksumListHeader(kVersionFile)) {
    return report.CannotTell(std::string("no checksum list in ") +
                             kVersionFile +
                             ": not an installed game directory");
  }
  // The servers and the key the starter would use; the application object
  // also takes the list's paths, as in the starter.
  CApplication app;
  SetupGame(app.defaults);
  if (const std::string ignored = IgnoredUpdateServerVariable();
      !ignored.empty()) {
    report.Problem(ignored);
  }
  const GameDirectoryKey key = KeyOfGameDirectory();
  if (!options.quiet) report.Problem(DescribeGameDirectoryKey(key));
  std::optional<ExclusiveLock> lock;
  RunResult result;
  {
    // The run's log lines and transfers go to standard error, or nowhere.
    const ConsoleAside aside(options.quiet ? ConsoleAside::kDiscard
                                           : ConsoleAside::kToStandardError);
    // The run's log lines, on the console only: Logs/app.txt is the log of
    // the server's last start and stays as it is.
    CAppLog log(nullptr, true);
    lock.emplace(LockGameDirectory());
    result = RunRepair(*lock, key.key);
  }
  if (!result.list_accepted) {
    return report.CannotTell(
        "no checksum list accepted from the update "
        "servers: " +
        result.lasterror);
  }
  for (const std::string& path : result.installed) {
    report.Line("replaced", path);
  }
  // Against the list the run accepted: after a run that failed, the version
  // file holds the local hashes.
  std::vector<std::string> ignoreFiles;
  LoadIgnoreLists(ignoreFiles);
  InstallationFindings found;
  if (!CheckInstallation(kDownloadedList, ignoreFiles, ExecutableModes::kRepair,
                         report, found)) {
    return kCannotRun;
  }
  if (result.restart_required) {
    report.Text("restart the server: its executable was replaced");
  }
  PrintSummary(found,
               ", " + std::to_string(found.listed) + " listed, " +
                   std::to_string(result.installed.size()) + " replaced, " +
                   std::to_string(found.differ) + " differ, " +
                   std::to_string(found.moved) + " would move",
               report);
  return found.intact() ? kIntact : kNotRepaired;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-repair");
  Options options;
  if (AsksForHelp(argc, argv) || !ParseQuietGameDir(argc, argv, options)) {
    return PrintUsage(kUsage, argc, argv, kCannotRun);
  }
  Report report("starter-repair", options.quiet);
  if (chdir(options.game_dir) != 0) {
    return report.CannotTell(std::string("cannot enter ") + options.game_dir +
                             ": " + std::strerror(errno));
  }
  return Repair(options, report);
}
