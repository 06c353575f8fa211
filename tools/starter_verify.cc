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
// "malformed entry: WHY"; before them, each unlisted file below Base that the
// next update would move to ./old gets "would move PATH". Then one summary
// line.
// Exit status: 0 intact, 1 something differs, 2 cannot check.
//
// With --server, the server's checksum list is fetched from the update path
// the starter would use (STARTER_UPDATE_URL applies the same way; of several
// mirrors, the first whose list the update would accept), with its
// signature when this build trusts a key, into a temporary directory outside
// the game directory, which is removed afterwards. Printed in the order of
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
// --quiet only the summary line is printed. Problems go to standard error;
// so do the transfer's own messages. --help prints the usage to standard
// output and exits with 0.
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine_starter/application.h"
#include "http/curl_client.h"
#include "launcher/compiled_settings.h"
#include "launcher/engine_defaults_setup.h"
#include "launcher/key_slot.h"
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

// The local version file, and the list's name on the server.
constexpr char kVersionFile[] = "App/version.txt";
// The game directory's starter.
constexpr char kStarter[] = "DUdavi";
// The update run's limit for the list's transfer.
constexpr int kListTimeoutSecs = 9;

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

int CannotTell(const std::string& why) {
  std::fprintf(stderr, "starter-verify: %s\n", why.c_str());
  return kCannotTell;
}

// `path` below the game directory, without a leading "./".
std::string Shown(const std::string& path) {
  return path.rfind("./", 0) == 0 ? path.substr(2) : path;
}

// The report on standard output: one line per finding unless quiet.
class Report {
 public:
  explicit Report(bool quiet) : quiet_(quiet) {}
  void Line(const char* what, const std::string& path, const char* after = "") {
    if (!quiet_) std::printf("%s %s%s\n", what, Shown(path).c_str(), after);
  }
  void Text(const char* text) {
    if (!quiet_) std::printf("%s\n", text);
  }

 private:
  bool quiet_;
};

// The word of a listed file the run would replace, by its local copy.
const char* Finding(LocalCopy local) {
  switch (local) {
    case LocalCopy::kDiffers:
      return "differs";
    case LocalCopy::kMissing:
      return "missing";
    case LocalCopy::kNotRegularFile:
      return "not a regular file";
    case LocalCopy::kUnreadable:
      return "unreadable";
  }
  return "differs";
}

// Reports every entry of `walk` the run would not leave alone: a download
// as `download_word` (or, when null, by what is wrong with the local copy).
void ReportWalk(const WalkPreview& walk, const char* download_word,
                Report& report) {
  for (const PreviewedEntry& entry : walk.entries) {
    switch (entry.kind) {
      case PreviewedEntry::Kind::kMalformed:
        report.Line("malformed entry:", entry.text);
        break;
      case PreviewedEntry::Kind::kRefused:
        report.Line("refused", entry.text);
        break;
      case PreviewedEntry::Kind::kDownload:
        if (download_word == nullptr) {
          report.Line(Finding(entry.local), entry.text);
        } else if (entry.rejected) {
          report.Line("would fail to download", entry.text,
                      " (listed earlier with another hash)");
        } else {
          report.Line(download_word, entry.text);
        }
        break;
    }
  }
}

// What the game directory's update runs judge the server by: the key its
// starter trusts and the release it installed.
struct Judge {
  ListSigningKey key;
  std::optional<ReleaseStatement> installed;
};

// The judge of the game directory (the current directory), reported as
// the first lines: the key only when it is used (`server`).
Judge GameDirectoryJudge(bool server, Report& report) {
  Judge judge;
  const KeySlot slot = ReadKeySlot(kStarter);
  std::string whose;
  if (slot.state == KeySlotState::kKeyed) {
    judge.key.pem = slot.text;
    whose = std::string("trusted by ") + kStarter;
  } else if (slot.state == KeySlotState::kUnkeyed) {
    whose = std::string(kStarter) + " trusts no key";
  } else {
    judge.key.pem = std::string(CompiledUpdatePublicKey());
    whose = slot.state == KeySlotState::kDamaged
                ? std::string("this tool's own: the key slot of ") + kStarter +
                      " is damaged"
                : std::string("this tool's own: no ") + kStarter +
                      " with a key slot";
  }
  if (server && judge.key.empty()) {
    report.Text(("key: none (" + whose + "): signatures are not checked")
                    .c_str());
  } else if (server) {
    const std::string fingerprint = KeyFingerprint(judge.key);
    report.Text(("key: " +
                 (fingerprint.empty() ? std::string("unusable") : fingerprint) +
                 " (" + whose + ")")
                    .c_str());
  }
  const std::string record = std::string(kVersionFile) + kStatementSuffix;
  ReleaseStatement installed;
  bool missing = false;
  const std::string why =
      ReadStatementFile(record, nullptr, installed, &missing);
  if (why.empty()) {
    report.Text(("installed release: " + installed.name + " (serial " +
                 std::to_string(installed.serial) + ", issued " +
                 FormatStatementTime(installed.issued) + ")")
                    .c_str());
    judge.installed = std::move(installed);
  } else if (missing) {
    report.Text("installed release: none recorded");
  } else {
    std::fprintf(stderr, "starter-verify: ignoring %s: %s\n", record.c_str(),
                 why.c_str());
    report.Text("installed release: none recorded");
  }
  return judge;
}

int CheckInstallation(const std::vector<std::string>& ignoreFiles,
                      Report& report) {
  if (!HasChecksumListHeader(kVersionFile)) {
    return CannotTell(std::string("no checksum list in ") + kVersionFile);
  }
  const std::optional<ListSteps> steps = ReadListStepsAt(kVersionFile);
  if (!steps) {
    return CannotTell(std::string("cannot read ") + kVersionFile + ": " +
                      std::strerror(errno));
  }
  // In the order of the update run: the relocation, then the comparison.
  const std::vector<std::string> moved =
      PreviewRelocation(kVersionFile, ignoreFiles);
  for (const std::string& path : moved) report.Line("would move", path);
  const WalkPreview walk = PreviewWalk(*steps, ignoreFiles);
  ReportWalk(walk, nullptr, report);
  const int differ = walk.downloads + walk.refused;
  const bool intact = differ == 0 && moved.empty();
  std::printf("summary: %s, %d listed, %d differ, %zu would move\n",
              intact ? "intact" : "not intact", walk.listed, differ,
              moved.size());
  return intact ? kUnchanged : kChanged;
}

// The update paths the starter would try, in order: each server base (with
// its environment override; several are mirrors) and this build's platform
// directory.
std::vector<std::string> StarterUpdatePaths() {
  CApplication app;
  SetupGame(app.defaults);
  return app.getUpdatePaths();
}

// Fetches `name` from `url` into `dir` with the update run's client and
// limit, its console messages sent aside. Returns the client's result.
int Fetch(const std::string& url, const char* name, const std::string& dir,
          bool quiet) {
  const ConsoleAside aside(quiet ? ConsoleAside::kDiscard
                                 : ConsoleAside::kToStandardError);
  CCurl client;
  client.DownloadFile(url.c_str(), name, dir.c_str(), kListTimeoutSecs);
  return static_cast<int>(client.result);
}

// The release statement (and, when the keys differ, the file table) of the
// list fetched from `url` into `dir`, fetched and judged as the update run
// judges them. Returns why the run would refuse the list, or "".
std::string JudgeServerStatement(const std::string& url, const std::string& dir,
                                 const Judge& judge, bool quiet) {
  const std::string list = dir + "/" + kVersionFile;
  const std::string statement = std::string(kVersionFile) + kStatementSuffix;
  if (int result = Fetch(url, statement.c_str(), dir, quiet)) {
    if (!judge.installed) return "";
    return "refusing the server's list: " +
           MissingStatementReason(*judge.installed,
                                  url + statement + " not fetched (err " +
                                      std::to_string(result) + ")");
  }
  const char* allow = std::getenv(kAllowExpiredVariable);
  const StatementCheck check = CheckStatement(
      dir + "/" + statement, list, judge.key,
      judge.installed ? &*judge.installed : nullptr,
      static_cast<std::int64_t>(std::time(nullptr)),
      allow != nullptr && std::string(allow) == "1");
  if (!check.accepted) return "refusing the server's list: " + check.reason;
  if (check.expired_but_allowed) {
    std::fprintf(stderr, "starter-verify: %s; %s=1 allows it\n",
                 check.reason.c_str(), kAllowExpiredVariable);
  }
  if (ListKeysMatch(kVersionFile, dir.c_str(), false)) return "";
  const std::string table = std::string(kVersionFile) + kTableSuffix;
  if (int result = Fetch(url, table.c_str(), dir, quiet)) {
    return "refusing the server's list: release file table missing, " + url +
           table + " not fetched (err " + std::to_string(result) + ")";
  }
  ReleaseTable read;
  const std::string why =
      ReadReleaseTable(dir + "/" + table, check.statement.files.size,
                       check.statement.files.sha256, read);
  return why.empty() ? "" : "refusing the server's list: release file table " + why;
}

// Fetches the list from the update path `url` into `dir`, with its
// signature and release statement when the game directory's judge has a
// key, and checks them as the update run does. Returns why the run would
// not use it, or "" when it would.
std::string FetchServerList(const std::string& url, const std::string& dir,
                            const Judge& judge, bool quiet) {
  if (int result = Fetch(url, kVersionFile, dir, quiet)) {
    return "cannot fetch " + url + kVersionFile + " (err " +
           std::to_string(result) + ")";
  }
  const std::string list = dir + "/" + kVersionFile;
  if (!HasChecksumListHeader(list.c_str())) {
    return "not a checksum list: " + url + kVersionFile;
  }
  if (judge.key.empty()) return "";
  const std::string signature =
      std::string(kVersionFile) + kListSignatureSuffix;
  if (int result = Fetch(url, signature.c_str(), dir, quiet)) {
    return "refusing the server's list: signature missing, " + url + signature +
           " not fetched (err " + std::to_string(result) + ")";
  }
  const ListSignature verdict =
      VerifyListSignature(list, dir + "/" + signature, judge.key);
  if (verdict != ListSignature::kValid) {
    return std::string("refusing the server's list: ") +
           ListSignatureReason(verdict);
  }
  return JudgeServerStatement(url, dir, judge, quiet);
}

int PreviewStart(const std::string& work_root,
                 const std::vector<std::string>& ignoreFiles, const Judge& judge,
                 bool quiet, Report& report) {
  const WorkDirectory work(work_root);
  if (!work.ok()) {
    return CannotTell("cannot make a temporary directory in " + work_root +
                      ": " + std::strerror(work.error()));
  }
  // The mirrors in the update run's order; the first whose list the run
  // would use is the one it would update from.
  std::string why;
  for (const std::string& url : StarterUpdatePaths()) {
    if (!why.empty()) {
      std::fprintf(stderr, "starter-verify: %s; trying the next server\n",
                   why.c_str());
    }
    why = FetchServerList(url, work.path(), judge, quiet);
    if (why.empty()) break;
  }
  if (!why.empty()) return CannotTell(why);

  const std::optional<UpdatePreview> preview =
      PreviewUpdateRun(kVersionFile, work.path(), ignoreFiles);
  if (!preview) {
    return CannotTell("cannot read the fetched list: " +
                      std::string(std::strerror(errno)));
  }
  const std::vector<std::string>& moved = preview->moves;
  for (const std::string& path : moved) report.Line("would move", path);
  if (preview->keys_match) {
    report.Text("up to date (key matches)");
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
  std::printf("summary: would change, %zu would move, %d would download, %s\n",
              moved.size(), walk.downloads,
              walk.fails      ? "would fail"
              : walk.restarts ? "would restart"
                              : "no restart");
  return kChanged;
}

}  // namespace

int main(int argc, char** argv) {
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
  // Where the list is fetched to: resolved before entering the game
  // directory, and never inside it.
  if (access(options.game_dir, X_OK) != 0) {
    return CannotTell(std::string("cannot enter ") + options.game_dir + ": " +
                      std::strerror(errno));
  }
  std::string work_root;
  if (options.server) {
    work_root = TemporaryRootOutside(options.game_dir);
    if (work_root.empty()) {
      return CannotTell("no temporary directory outside " +
                        std::string(options.game_dir));
    }
  }
  if (chdir(options.game_dir) != 0) {
    return CannotTell(std::string("cannot enter ") + options.game_dir + ": " +
                      std::strerror(errno));
  }
  // Nothing here writes the application log: there is none in this process.
  std::vector<std::string> ignoreFiles;
  LoadIgnoreLists(ignoreFiles);
  Report report(options.quiet);
  const Judge judge = GameDirectoryJudge(options.server, report);
  return options.server ? PreviewStart(work_root, ignoreFiles, judge,
                                       options.quiet, report)
                        : CheckInstallation(ignoreFiles, report);
}
