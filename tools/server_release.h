// What the tools that look at the update server take from it as the
// starter of a game directory would: the key that starter trusts, the
// release the directory installed, the update paths in the starter's order,
// and a list fetched from one of them with its signature, release statement
// and file table, each judged as the update run judges it.
#ifndef STARTER_TOOLS_SERVER_RELEASE_H_
#define STARTER_TOOLS_SERVER_RELEASE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "installation_check.h"
#include "update/list_signature.h"
#include "update/release_statement.h"
#include "update/release_table.h"

// The local version file, and the list's name on the server.
inline constexpr char kVersionFile[] = "App/version.txt";

// What the game directory's update runs judge the server by: the key its
// starter trusts and the release it installed.
struct Judge {
  ListSigningKey key;
  std::optional<ReleaseStatement> installed;
};

// The judge of the game directory (the current directory), reported as
// the first lines: "key: FINGERPRINT (whose)" only when it is used
// (`server`), then "installed release: NAME (serial N, issued DATE)" or
// "installed release: none recorded".
Judge GameDirectoryJudge(bool server, Report& report);

// The update paths the starter would try, in order: each server base (with
// its environment override; several are mirrors) and this build's platform
// directory.
std::vector<std::string> StarterUpdatePaths();

// Fetches `name` from `url` into `dir` with the update run's client and the
// list's time limit, at most `most_bytes` (of the decoded bytes when
// `accept_gzip` lets the body travel compressed), its console messages sent
// to standard error (nowhere when the report is quiet). Returns the
// client's result.
int FetchBeside(const std::string& url, const char* name,
                const std::string& dir, std::uint64_t most_bytes,
                const Report& report, bool accept_gzip = false);

// The release statement and file table a list was accepted with.
struct ServerRelease {
  // None when the server publishes no statement (and the directory
  // installed none).
  std::optional<ReleaseStatement> statement;
  // Read when there is a statement and the keys differ.
  ReleaseTable table;
  bool has_table = false;
};

// Fetches the list from the update path `url` into `dir`, with its
// signature, release statement and file table when the game directory's
// judge has a key, and checks them as the update run does. Returns why the
// run would not use it, or "" when it would (filling `release` when given).
// A statement that expired but is allowed by the environment is named as
// a problem of the report.
std::string FetchServerList(const std::string& url, const std::string& dir,
                            const Judge& judge, Report& report,
                            ServerRelease* release = nullptr);

// FetchServerList over the update paths the starter would try, in its
// order: the first whose list the run would use is the one it would update
// from (its path put in `url` when given, its statement and table in
// `release`, made anew for each path); each refused before it is named as
// a problem of the report ("WHY; trying the next server", not when quiet),
// and so is an update URL from the environment that the starter would not
// use. Returns why the run would use none, or "".
std::string FetchFirstServerList(const std::string& dir, const Judge& judge,
                                 Report& report,
                                 std::optional<ServerRelease>& release,
                                 std::string* url = nullptr);

#endif  // STARTER_TOOLS_SERVER_RELEASE_H_
