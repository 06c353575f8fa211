// The release statement: a small signed text beside the checksum list that
// names the release the list belongs to (a serial that only rises for a
// served directory, a name, when it was issued and until when it may be
// installed) and binds the list and the release's file table by size and
// SHA-256. Published as "<list>.release"; a game directory keeps a copy of
// the statement of the release it installed under the same name beside its
// version file, as the record that rollback is judged against.
//
// The text, each line "KEYWORD SP VALUE LF", in this order and nothing else:
//
//   release_statement 1
//   serial SERIAL              1 or more, decimal
//   name NAME                  1 to 64 of A-Z a-z 0-9 . _ + - : @
//   issued TIME                seconds since 1970 (UTC)
//   expires TIME|never         after issued
//   list SIZE SHA256           the checksum list's bytes
//   files SIZE SHA256          the file table's bytes (release_table.h)
//   signature SIGNATURE        128 lower-case hex digits: the Ed25519
//                              signature of every byte before this line
//
// Numbers are decimal without leading zeros; digests 64 lower-case hex
// digits. The whole text is at most kMaxStatementSize bytes.
#ifndef STARTER_UPDATE_RELEASE_STATEMENT_H_
#define STARTER_UPDATE_RELEASE_STATEMENT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/list_signature.h"

// The statement's name beside the list: the list's name with this suffix.
inline constexpr char kStatementSuffix[] = ".release";
// The longest statement any reader takes, in bytes.
inline constexpr std::size_t kMaxStatementSize = 1024;
// The longest release name, in characters.
inline constexpr std::size_t kMaxReleaseNameSize = 64;
// The largest serial, time or size a statement may carry.
inline constexpr std::int64_t kMaxStatementNumber = 999999999999999999;

// The size and SHA-256 (64 lower-case hex digits) of a file's bytes.
struct FileDigest {
  std::uint64_t size = 0;
  std::string sha256;

  bool operator==(const FileDigest&) const = default;
};

// What a statement says.
struct ReleaseStatement {
  std::int64_t serial = 0;
  std::string name;
  std::int64_t issued = 0;
  // Unset: the statement never expires.
  std::optional<std::int64_t> expires;
  FileDigest list;
  FileDigest files;
};

// True when `name` may name a release (see the format above).
bool IsReleaseName(std::string_view name);

// The signed part of `statement`'s text: every line but the signature
// line, in the format above. `statement` must hold values the format takes.
std::string StatementBody(const ReleaseStatement& statement);

// The whole text of a statement: `body` (StatementBody) and the signature
// line of the kListSignatureSize-byte `signature`.
std::string SignedStatementText(const std::string& body,
                                std::string_view signature);

// Reads `text` by the format above, strictly: every line, keyword, number,
// name and digest checked, nothing before, between or after them. On
// success returns "" and fills `statement`, `body` (a view of `text` up to
// the signature line) and `signature` (its kListSignatureSize bytes);
// otherwise returns why not, e.g. "line 2: serial expected".
std::string ParseStatement(std::string_view text, ReleaseStatement& statement,
                           std::string_view& body, std::string& signature);

// Reads the statement in the file at `path` (at most kMaxStatementSize
// bytes). With a key, its signature must be that key's. Returns "" and
// fills `statement`, or why not: "missing" (no such file), "unreadable ..."
// (it cannot be read or is too long), "malformed (...)", "signature wrong
// ..." or the reason ListSignatureReason gives for an unusable key. Sets
// `missing` when there is no such file. Writes and logs nothing.
std::string ReadStatementFile(const std::string& path,
                              const ListSigningKey* key,
                              ReleaseStatement& statement,
                              bool* missing = nullptr);

// The size and SHA-256 of the file at `path`; nothing when it cannot be
// read whole as a regular file.
std::optional<FileDigest> DigestOfFile(const std::string& path);

// `time` (seconds since 1970) as "YYYY-MM-DD HH:MM:SS UTC".
std::string FormatStatementTime(std::int64_t time);

// A span of `seconds` (0 or more) for people, in its largest fitting unit,
// rounded down: "40 seconds", "1 minute", "5 hours", "3 days".
std::string DescribeSpan(std::int64_t seconds);

// What a game directory makes of a server's statement, after its signature
// was checked (see CheckStatement).
struct StatementCheck {
  // The run may take the list.
  bool accepted = false;
  // Why it may not (a phrase for "Refusing checksum list ...: "); when
  // accepted only because expiry was allowed, what was allowed.
  std::string reason;
  // The statement had expired and `allow_expired` let it through.
  bool expired_but_allowed = false;
  ReleaseStatement statement;
};

// Judges the statement at `statement_path` for the list at `list_path`: its
// signature by `key`, its format, the list's size and SHA-256, and, against
// the statement the game directory installed (`installed`; null when it has
// none), rollback (a lower serial: "the release statement of release S is
// behind the installed release N"; the same serial with another list:
// "the release statement names another list under the same release N") and
// expiry at `now` ("the release statement expired 3 days ago (DATE)"), which
// `allow_expired` lets through. Reads both files; writes and logs nothing.
StatementCheck CheckStatement(const std::string& statement_path,
                              const std::string& list_path,
                              const ListSigningKey& key,
                              const ReleaseStatement* installed,
                              std::int64_t now, bool allow_expired);

// The reason a list that came without a statement is refused in a game
// directory that installed `installed`, the statement's fetch having ended
// with `detail` (e.g. "URL not downloaded (err:22)").
std::string MissingStatementReason(const ReleaseStatement& installed,
                                   const std::string& detail);

#endif  // STARTER_UPDATE_RELEASE_STATEMENT_H_
