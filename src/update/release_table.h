// The file table of a release: for every path the checksum list names, the
// size and SHA-256 of its bytes and whether it is installed executable.
// Published beside the list as "<list>.files"; the release statement binds
// it by size and SHA-256 (release_statement.h).
//
// The text: the line "release_files 1", then one line a file,
//
//   PATH SP SIZE SP SHA256 SP MODE LF
//
// PATH as the list gives it ("./" and the path below the game directory, at
// most 255 bytes, none of them white space or a control character), SIZE
// decimal without leading zeros, SHA256 64 lower-case hex digits, MODE "x"
// (executable) or "-". The paths are in strictly ascending byte order, so
// each appears once.
//
// A table may also name patches: files in the release's directory that
// rebuild a listed file from an earlier release's copy of it (a zstd frame
// with the old bytes as its reference, patch/file_patch.h). A patch's row
// is an ordinary row whose path is PatchTablePath(OLD_MD5, NEW_MD5), the
// name the patch is served under below the release's directory; its SIZE
// and SHA256 are the patch's own, its MODE "-". A reader that knows nothing
// of patches finds no listed path among these rows and leaves them alone.
#ifndef STARTER_UPDATE_RELEASE_TABLE_H_
#define STARTER_UPDATE_RELEASE_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The table's name beside the list: the list's name with this suffix.
inline constexpr char kTableSuffix[] = ".files";

// One line of a table. The views are into the table that holds it.
struct ReleaseFileRecord {
  std::string_view path;
  std::uint64_t size = 0;
  // 64 lower-case hex digits.
  std::string_view sha256;
  bool executable = false;
};

// The line of one file, as the table holds it (`path` must be one a table
// takes, `sha256` 64 lower-case hex digits).
std::string ReleaseTableLine(std::string_view path, std::uint64_t size,
                             std::string_view sha256, bool executable);

// The directory of the release that holds its patches, as a listed path.
inline constexpr char kPatchDirectory[] = "./.patches";

// The table path (and the name below the release's directory) of the patch
// that turns the file whose MD5 is `old_md5` into the one whose MD5 is
// `new_md5`: "./.patches/OLD_MD5-NEW_MD5", both in lower case. A patch
// belongs to a pair of contents, not to a path: every listed file with
// these two contents shares it, and it never changes once written.
std::string PatchTablePath(std::string_view old_md5, std::string_view new_md5);

// The first line of every table.
std::string ReleaseTableHeader();

// A table read whole and checked.
class ReleaseTable {
 public:
  ReleaseTable() = default;
  // The records view the table's own text: a table stays where it was made.
  ReleaseTable(const ReleaseTable&) = delete;
  ReleaseTable& operator=(const ReleaseTable&) = delete;

  // Reads `text` by the format above, strictly. Returns "" and takes the
  // text, or why not ("line 3: ...").
  std::string Parse(std::string text);

  // The record of the listed path `path`, exactly as the list spells it;
  // null when the table has none.
  const ReleaseFileRecord* Find(std::string_view path) const;

  // The row of the patch from the content `old_md5` to `new_md5` (MD5s in
  // either letter case); null when the table names none.
  const ReleaseFileRecord* FindPatch(std::string_view old_md5,
                                     std::string_view new_md5) const;

  std::size_t size() const { return records_.size(); }

 private:
  // Parse's reading of text_ into records_.
  std::string ParseText();

  std::string text_;
  std::vector<ReleaseFileRecord> records_;  // in path order
};

// Reads the table at `path`, which must be `size` bytes with the SHA-256
// `sha256` (what the release statement gives), into `table`. Returns "" or
// why not: "missing", "unreadable (...)", "not the one the release
// statement names (its size or SHA-256 differs)", "malformed (...)". Writes
// and logs nothing.
std::string ReadReleaseTable(const std::string& path, std::uint64_t size,
                             std::string_view sha256, ReleaseTable& table);

// The most bytes a table may have that no release statement sizes (the
// one an unsigned release publishes beside its list): room for the rows of
// the most files a list may name, each with a few patches, at the longest.
inline constexpr std::uint64_t kMostTableBytes = std::uint64_t{1} << 27;

// Reads the table at `path`, of at most kMostTableBytes and bound by no
// statement, into `table`. Returns "" or why not: "missing", "unreadable
// (...)", "longer than N bytes", "malformed (...)". Writes and logs nothing.
std::string ReadReleaseTable(const std::string& path, ReleaseTable& table);

#endif  // STARTER_UPDATE_RELEASE_TABLE_H_
