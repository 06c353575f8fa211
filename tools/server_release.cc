#include "server_release.h"

#include <cstdlib>
#include <ctime>

#include "engine_starter/application.h"
#include "game_directory_key.h"
#include "http/curl_client.h"
#include "launcher/engine_defaults_setup.h"
#include "launcher/update_server.h"
#include "starter_verify_support.h"
#include "update/checksum_list.h"
#include "update/update_decisions.h"
#include "update/update_settings.h"

namespace {

// The update run's limit for the list's transfer.
constexpr int kListTimeoutSecs = 9;

// The release statement (and, when the keys differ, the file table) of the
// list fetched from `url` into `dir`, fetched and judged as the update run
// judges them. Returns why the run would refuse the list, or "".
std::string JudgeServerStatement(const std::string& url, const std::string& dir,
                                 const Judge& judge, Report& report,
                                 ServerRelease* release) {
  const std::string list = dir + "/" + kVersionFile;
  const std::string statement = std::string(kVersionFile) + kStatementSuffix;
  if (int result =
          FetchBeside(url, statement.c_str(), dir, kMaxStatementSize, report)) {
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
    report.Problem(check.reason + "; " + kAllowExpiredVariable +
                   "=1 allows it");
  }
  if (release != nullptr) release->statement = check.statement;
  if (ListKeysMatch(kVersionFile, dir.c_str(), false)) return "";
  const std::string table = std::string(kVersionFile) + kTableSuffix;
  if (int result = FetchBeside(url, table.c_str(), dir,
                               check.statement.files.size, report,
                               /*accept_gzip=*/true)) {
    return "refusing the server's list: release file table missing, " + url +
           table + " not fetched (err " + std::to_string(result) + ")";
  }
  ReleaseTable own;
  ReleaseTable& read = release != nullptr ? release->table : own;
  const std::string why =
      ReadReleaseTable(dir + "/" + table, check.statement.files.size,
                       check.statement.files.sha256, read);
  if (!why.empty()) return "refusing the server's list: release file table " + why;
  if (release != nullptr) release->has_table = true;
  return "";
}

}  // namespace

Judge GameDirectoryJudge(bool server, Report& report) {
  Judge judge;
  const GameDirectoryKey key = KeyOfGameDirectory();
  judge.key = key.key;
  if (server) report.Text(DescribeGameDirectoryKey(key));
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
    report.Problem("ignoring " + record + ": " + why);
    report.Text("installed release: none recorded");
  }
  return judge;
}

// The update paths the starter would try, in order: each server base (with
// its environment override; several are mirrors) and this build's platform
// directory.
std::vector<std::string> StarterUpdatePaths() {
  CApplication app;
  SetupGame(app.defaults);
  return app.getUpdatePaths();
}

// Fetches `name` from `url` into `dir` with the update run's client, limit
// and bound (`most_bytes`), its console messages sent aside. Returns the
// client's result.
int FetchBeside(const std::string& url, const char* name,
                const std::string& dir, std::uint64_t most_bytes,
                const Report& report, bool accept_gzip) {
  const ConsoleAside aside(report.quiet() ? ConsoleAside::kDiscard
                                 : ConsoleAside::kToStandardError);
  CCurl client;
  DownloadRequest request;
  request.urldir = url;
  request.filename = name;
  request.downloaddir = dir;
  request.timeout_secs = kListTimeoutSecs;
  request.most_bytes = most_bytes;
  request.accept_gzip = accept_gzip;
  client.Download(request);
  return static_cast<int>(client.result);
}

// Fetches the list from the update path `url` into `dir`, with its
// signature and release statement when the game directory's judge has a
// key, and checks them as the update run does. Returns why the run would
// not use it, or "" when it would.
std::string FetchServerList(const std::string& url, const std::string& dir,
                            const Judge& judge, Report& report,
                            ServerRelease* release) {
  if (int result = FetchBeside(url, kVersionFile, dir, kMostListBytes, report)) {
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
  const int result =
      FetchBeside(url, signature.c_str(), dir, kListSignatureSize, report);
  if (result == CURLE_FILESIZE_EXCEEDED) {
    return std::string("refusing the server's list: ") +
           ListSignatureReason(ListSignature::kUnreadable);
  }
  if (result != CURLE_OK) {
    return "refusing the server's list: signature missing, " + url + signature +
           " not fetched (err " + std::to_string(result) + ")";
  }
  const ListSignature verdict =
      VerifyListSignature(list, dir + "/" + signature, judge.key);
  if (verdict != ListSignature::kValid) {
    return std::string("refusing the server's list: ") +
           ListSignatureReason(verdict);
  }
  return JudgeServerStatement(url, dir, judge, report, release);
}

std::string FetchFirstServerList(const std::string& dir, const Judge& judge,
                                 Report& report,
                                 std::optional<ServerRelease>& release,
                                 std::string* url) {
  const std::vector<std::string> urls = StarterUpdatePaths();
  // The starter logs it; this process has no log.
  if (const std::string ignored = IgnoredUpdateServerVariable();
      !ignored.empty()) {
    report.Problem(ignored);
  }
  std::string why;
  for (const std::string& candidate : urls) {
    if (!why.empty() && !report.quiet()) {
      report.Problem(why + "; trying the next server");
    }
    release.emplace();
    why = FetchServerList(candidate, dir, judge, report, &*release);
    if (why.empty()) {
      if (url != nullptr) *url = candidate;
      break;
    }
  }
  return why;
}
