// The checksum list of a release, as a publisher writes it for the update
// server: which files it names, its key, the list and its signature. The one
// list writer of starter-checksums and starter-publish.
#ifndef STARTER_TOOLS_RELEASE_LIST_H_
#define STARTER_TOOLS_RELEASE_LIST_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A file of a release whose entry could not reach a starter intact.
struct UnlistableFile {
  std::string path;    // as it would be listed: "./" + path below the release
  std::string reason;  // a short English reason, e.g. "contains a backslash"
};

// The files of a release, sorted by path.
struct ReleaseFiles {
  // "./" + path below the release, for each file a list can carry.
  std::vector<std::string> listed;
  // The others, in the same order.
  std::vector<UnlistableFile> unlistable;
};

// How CollectReleaseFiles treats links that lead out of the release.
struct ReleaseLinks {
  // Canonical directories no file of the release may lead into through a
  // link: the served directory and its releases. A release below one of
  // them (a switch back) may hold files of its own there.
  std::vector<std::string> served;
  // A file that a link leads to outside the release (the link at its own
  // name or at a directory above it) is listed, its content published under
  // the link's name; false: it is unlistable.
  bool follow_outside = false;
};

// Scans the release, the current directory (`release` in canonical form), as
// the update run scans a game directory (hidden files, build leftovers and
// the directories the run never scans are left out; links are followed, but
// a directory of the release met again through a link is listed once, under
// its own name, and one outside once, where it is first met), leaves out the
// files at the absolute paths `left_out` (by name or by identity) and sorts the
// rest by path into `listed` and `unlistable`: unlistable are the names
// WhyUnlistable gives a reason for, links that lead nowhere (dangling, or a
// loop), files reached through a link into `links.served`, and files
// reached through a link out of the release unless `links.follow_outside`.
// Reads no file; changes nothing.
ReleaseFiles CollectReleaseFiles(const std::string& release,
                                 const std::vector<std::string>& left_out,
                                 const ReleaseLinks& links);

// Why the entry of `path` ("./" + path below the release) cannot reach a
// starter as written, or "" when it can: the reason the update run's
// listed-path rules give for a path every game directory refuses (a
// backslash, a ".." component); for the entry line written by the list
// writer and read back by the run's list reader, the reader's reason (a path
// over 255 characters) or that white space in the name (blank, tab, line
// feed, carriage return) makes it read as another entry; or why the file
// cannot be fetched at update URL + `path` (WhyUnfetchable); or that
// "./.patches" and the paths below it are the name of the release's patches
// (update/release_table.h). The one rule of both tools for a name.
std::string WhyUnlistable(const std::string& path);

// `path` on one line: control characters, DEL and backslashes as C escapes
// ("\t", "\n", "\r", "\\", "\ooo").
std::string PrintablePath(const std::string& path);

// Prints "TOOL: WHAT (REASON): PATH" on standard error for each of `files`,
// with PATH as PrintablePath gives it.
void ReportUnlistable(const char* tool, const char* what,
                      const std::vector<UnlistableFile>& files);

// The key in the header of the list at `path`; 0 when the file does not
// open or has no "version_file" header.
long KeyOfList(const std::string& path);

// A key for a new list, drawn from the system's random source, uniform over
// 1000 to 12600995 and never `replaced` (the key of the list it replaces),
// so that no starter on that list takes the new one for the same. Two lists
// written within one second get independent keys. Returns false (errno set)
// when the random source fails.
bool DrawListKey(long replaced, long& key);

// What the release statement of a signed list says beyond the digests
// WriteReleaseList computes (release_statement.h).
struct StatementPlan {
  // 1 or more; above every serial the served directory had.
  std::int64_t serial = 1;
  // Empty: the serial.
  std::string name;
  // Seconds since 1970.
  std::int64_t issued = 0;
  std::optional<std::int64_t> expires;
};

// What WriteReleaseList put in place.
struct WrittenList {
  int listed = 0;  // entries
  long key = 0;
  bool has_signature = false;
  // The statement written with a signed list.
  std::optional<StatementPlan> statement;
};

// A row of the file table beside those of the listed files (a patch's).
struct TableRow {
  std::string path;  // PatchTablePath(OLD_MD5, NEW_MD5)
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

// What the file table of WriteReleaseList holds and when it is written.
struct TablePlan {
  // The table is written for an unsigned list too (without a statement).
  bool always = false;
  // When set, called once every file is hashed, with the MD5 of each of the
  // files (lower-case hex, in their order), to add the rows of `rows` to
  // the table (patches, whose paths are no listed file's); returns "" or
  // why the list cannot be written.
  std::function<std::string(const std::vector<std::string>& md5s,
                            std::vector<TableRow>& rows)>
      extra_rows;
};

// Writes the checksum list of `files` ("./" paths below the current
// directory, from CollectReleaseFiles) to `output` (absolute) under a key
// from DrawListKey(`replaced_key`): the header, then one entry a file with
// the MD5 of its bytes, hashed on every core. With a non-empty `private_key`
// (a PEM file) writes the raw Ed25519 signature of the list's bytes to
// `output` + ".sig" too, and with `statement` as well the release's file
// table (`output` + ".files": each file's size, SHA-256 and mode, from the
// same read) and its release statement (`output` + ".release", signed with
// the same key; its name defaults to the serial). With `table`, the table
// also holds its extra rows (all rows in strict path order; a row whose
// path a file has too fails), and `table->always` writes it for an
// unsigned list as well. The files are written
// under temporary names and synced, and put in place only when all are
// complete: the table, the list, its signature, then the statement.
// Returns true with `written` filled; otherwise false with `error` saying
// why ("cannot read ./x: ...", "cannot sign with KEY: ..."): no file was
// replaced, except when a final rename after the list's failed (`error`
// says so).
bool WriteReleaseList(const std::vector<std::string>& files,
                      const std::string& output, const std::string& private_key,
                      long replaced_key, const StatementPlan* statement,
                      WrittenList& written, std::string& error,
                      const TablePlan* table = nullptr);

// The highest serial among the statements in the files `statements` that
// read (unsigned ones included); 0 when none does.
std::int64_t HighestSerial(const std::vector<std::string>& statements);

// A span of time as the tools take it: a number and a unit, "s", "m", "h",
// "d" or "w" (e.g. "90m", "30d"), from 1 second to 10 years; false
// otherwise.
bool ParseDuration(const std::string& text, std::int64_t& seconds);

// Takes the --name and --expires values of a tool's command line (null when
// not given) into `name` and `expires_after` (ParseDuration). Returns "" or
// why they cannot be taken.
std::string TakeStatementOptions(const char* name_value,
                                 const char* expires_value, std::string& name,
                                 std::optional<std::int64_t>& expires_after);

#endif  // STARTER_TOOLS_RELEASE_LIST_H_
