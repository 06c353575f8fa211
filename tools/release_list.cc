#include "release_list.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "engine/atomic_file.h"
#include "engine/file_lock.h"
#include "engine/hash_pipeline.h"
#include "engine/paths.h"
#include "engine/sha256.h"
#include "fetchable_name.h"
#include "update/checksum_list.h"
#include "update/list_signature.h"
#include "update/listed_path.h"
#include "update/release_statement.h"
#include "update/release_table.h"
#include "update/tree_scan.h"

namespace {

// The keys lists carry: 1000 plus four draws below 900000 and one below
// 9000000, as the version files of the update run have them.
constexpr long kLowestKey = 1000;
constexpr long kHighestKey = 1000 + 4 * (900000 - 1) + (9000000 - 1);

// True when `listed` ("./" + path below the current directory) is the file
// at the absolute path `other`, by name or by identity.
bool IsFile(const std::string& listed, const std::string& release,
            const std::string& other) {
  if (release + listed.substr(1) == other) return true;
  struct stat a, b;
  return stat(listed.c_str(), &a) == 0 && stat(other.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The entry line of `path` as ChecksumListWriter writes it, after a header.
std::string WrittenEntry(const std::string& path, const std::string& hash) {
  char* text = nullptr;
  std::size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  if (stream == nullptr) return std::string();
  ChecksumListWriter writer;
  writer.Attach(stream);
  writer.WriteHeader(kLowestKey);
  writer.WriteEntry(path, hash);
  writer.Close();
  std::fclose(stream);
  std::string written(text, size);
  std::free(text);
  return written;
}

// Why the file at `path` ("./" + path below the current directory, the
// release `release`) is not published by `links`' rules, or "".
std::string WhyNotFollowed(const std::string& path, const std::string& release,
                           const ReleaseLinks& links) {
  const std::string target = CanonicalPath(path);
  if (target.empty()) return "a link that leads to no file";
  if (PathIsWithin(target, release)) return std::string();
  for (const std::string& served : links.served) {
    if (!served.empty() && PathIsWithin(target, served)) {
      return "a link into the served directory " + served;
    }
  }
  if (links.follow_outside) return std::string();
  return "a link out of the tree, to " + target +
         " (--follow-outside-links publishes its content)";
}

std::string Fault(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Writes the list of `files` into `list` under `key`, and, when `table` is
// not null, their table lines and those `plan` adds into it. Returns false
// with `error` set on failure.
bool WriteEntries(const std::vector<std::string>& files, long key,
                  AtomicFile& list, std::string* table, const TablePlan* plan,
                  std::string& error) {
  if (!list.ok()) {
    error = Fault("cannot create", list.path(), list.error());
    return false;
  }
  HashPipeline hashes(files, 0, 0,
                      table != nullptr ? HashPipeline::Digests::kMd5AndSha256
                                       : HashPipeline::Digests::kMd5);
  ChecksumListWriter writer;
  writer.Attach(list.stream());
  writer.WriteHeader(key);
  // Each table line after its path, to be merged with the extra rows.
  std::vector<std::pair<std::string, std::string>> lines;
  std::vector<std::string> md5s;
  for (const std::string& path : files) {
    const HashPipeline::Result hashed = hashes.TakeNext();
    if (hashed.error != FileHashError::kNone) {
      error = Fault("cannot read", PrintablePath(path), hashed.error_number);
      return false;
    }
    writer.WriteEntry(path, hashed.hex);
    if (table != nullptr) {
      lines.emplace_back(path, ReleaseTableLine(path, hashed.facts.size,
                                                hashed.facts.sha256,
                                                (hashed.facts.mode & 0111) != 0));
    }
    md5s.push_back(hashed.hex);
  }
  if (!writer.Close() || !list.Flush()) {
    error = Fault("cannot write", list.path(),
                  list.error() != 0 ? list.error() : errno);
    return false;
  }
  if (table == nullptr) return true;
  if (plan != nullptr && plan->extra_rows) {
    std::vector<TableRow> rows;
    if (error = plan->extra_rows(md5s, rows); !error.empty()) return false;
    for (const TableRow& row : rows) {
      lines.emplace_back(row.path, ReleaseTableLine(row.path, row.size,
                                                    row.sha256, false));
    }
    std::sort(lines.begin(), lines.end());
  }
  *table = ReleaseTableHeader();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0 && lines[i - 1].first == lines[i].first) {
      error = "the file table would name " + PrintablePath(lines[i].first) +
              " twice";
      return false;
    }
    *table += lines[i].second;
  }
  return true;
}

// Writes `bytes` into `file`; false with `error` set on failure.
bool WriteWhole(AtomicFile& file, const std::string& bytes,
                std::string& error) {
  if (!file.ok() || !file.Write(bytes.data(), bytes.size()) || !file.Flush()) {
    error = Fault("cannot write", file.path(), file.error());
    return false;
  }
  return true;
}

// Writes the statement of the list in `list` (not yet in place) and of
// `table` into `file`, signed with the key at `private_key`. Returns false
// with `error` set on failure.
bool WriteStatement(const StatementPlan& plan, const std::string& private_key,
                    AtomicFile& list, const std::string& table,
                    AtomicFile& file, std::string& error) {
  const std::optional<FileDigest> list_digest = DigestOfFile(list.temp_path());
  if (!list_digest) {
    error = Fault("cannot read", list.temp_path(), errno);
    return false;
  }
  ReleaseStatement statement;
  statement.serial = plan.serial;
  statement.name = plan.name.empty() ? std::to_string(plan.serial) : plan.name;
  statement.issued = plan.issued;
  statement.expires = plan.expires;
  statement.list = *list_digest;
  statement.files = {table.size(), Sha256Hex(table)};
  const std::string body = StatementBody(statement);
  std::string signature, why;
  if (!SignBytes(private_key, body, signature, why)) {
    error = "cannot sign with " + private_key + ": " + why;
    return false;
  }
  return WriteWhole(file, SignedStatementText(body, signature), error);
}

// Signs the complete list in `list` (not yet in place) with the key at
// `private_key` into `signature`. Returns false with `error` set on failure.
bool WriteSignature(const std::string& private_key, AtomicFile& list,
                    AtomicFile& signature, std::string& error) {
  std::string bytes, why;
  if (!SignListFile(private_key, list.temp_path(), bytes, why)) {
    error = "cannot sign with " + private_key + ": " + why;
    return false;
  }
  if (!signature.ok() || !signature.Write(bytes.data(), bytes.size()) ||
      !signature.Flush()) {
    error = Fault("cannot write", signature.path(), signature.error());
    return false;
  }
  return true;
}

}  // namespace

ReleaseFiles CollectReleaseFiles(const std::string& release,
                                 const std::vector<std::string>& left_out,
                                 const ReleaseLinks& links) {
  std::vector<std::string> files;
  std::vector<std::string> odd;
  // A list names each file once: an aliased directory under its own name.
  ScanTree(
      ".", "*", true, {},
      [&](std::string path) {
        if (files.empty() || files.back() != path) {
          files.push_back(std::move(path));
        }
      },
      DirectoryLinks::kOncePerDirectory,
      [&](std::string path) { odd.push_back(std::move(path)); });
  ReleaseFiles release_files;
  for (std::string& path : odd) {
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      release_files.unlistable.push_back(
          {std::move(path), "a link that leads to no file"});
    }
  }
  std::sort(files.begin(), files.end());
  for (std::string& path : files) {
    if (std::any_of(left_out.begin(), left_out.end(),
                    [&](const std::string& other) {
                      return IsFile(path, release, other);
                    })) {
      continue;
    }
    std::string why = WhyUnlistable(path);
    if (why.empty()) why = WhyNotFollowed(path, release, links);
    if (why.empty()) {
      release_files.listed.push_back(std::move(path));
    } else {
      release_files.unlistable.push_back({std::move(path), std::move(why)});
    }
  }
  std::sort(release_files.unlistable.begin(), release_files.unlistable.end(),
            [](const UnlistableFile& a, const UnlistableFile& b) {
              return a.path < b.path;
            });
  return release_files;
}

std::string WhyUnlistable(const std::string& path) {
  const std::string patches = std::string(kPatchDirectory) + "/";
  if (path == kPatchDirectory || path.starts_with(patches)) {
    return "the name of the release's patches";
  }
  const ListedPath verdict = CheckListedPathText(path);
  if (verdict != ListedPath::kInside) return ListedPathReason(verdict);
  const std::string hash(32, '0');
  std::string written = WrittenEntry(path, hash);
  FileLock in(fmemopen(written.data(), written.size(), "r"));
  if (written.empty() || !in.isValid()) return std::strerror(errno);
  ChecksumListReader reader(in.get());
  std::string read_path, read_hash;
  const ListRead read = reader.Next(read_path, read_hash);
  if (read == ListRead::kMalformed) return reader.error();
  if (read != ListRead::kEntry || read_path != path || read_hash != hash ||
      reader.Next(read_path, read_hash) != ListRead::kEndAfterLineEnd) {
    return "white space in the name makes it read as another entry";
  }
  return WhyUnfetchable(path);
}

std::string PrintablePath(const std::string& path) {
  std::string printable;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      printable += "\\t";
    } else if (c == '\n') {
      printable += "\\n";
    } else if (c == '\r') {
      printable += "\\r";
    } else if (c == '\\') {
      printable += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", byte);
      printable += octal;
    } else {
      printable += c;
    }
  }
  return printable;
}

void ReportUnlistable(const char* tool, const char* what,
                      const std::vector<UnlistableFile>& files) {
  for (const UnlistableFile& file : files) {
    std::fprintf(stderr, "%s: %s (%s): %s\n", tool, what, file.reason.c_str(),
                 PrintablePath(file.path).c_str());
  }
}

long KeyOfList(const std::string& path) {
  FileLock file(std::fopen(path.c_str(), "r"));
  if (!file.isValid()) return 0;
  const ListHeader header = ReadListHeader(file.get());
  return header.keyword_ok ? header.key : 0;
}

bool DrawListKey(long replaced, long& key) {
  constexpr std::uint32_t kSpan = kHighestKey - kLowestKey + 1;
  // Draws at or above this limit are dropped, so that every key is as likely.
  constexpr std::uint32_t kLimit = UINT32_MAX - UINT32_MAX % kSpan;
  for (;;) {
    std::uint32_t draw = 0;
    const ssize_t got = getrandom(&draw, sizeof draw, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof draw)) {
      if (got >= 0) errno = EIO;
      return false;
    }
    if (draw >= kLimit) continue;
    key = kLowestKey + static_cast<long>(draw % kSpan);
    if (key != replaced) return true;
  }
}

bool WriteReleaseList(const std::vector<std::string>& files,
                      const std::string& output, const std::string& private_key,
                      long replaced_key, const StatementPlan* statement,
                      WrittenList& written, std::string& error,
                      const TablePlan* table_plan) {
  long key = 0;
  if (!DrawListKey(replaced_key, key)) {
    error =
        Fault("cannot draw a key from", "the system's random source", errno);
    return false;
  }
  const bool with_statement = !private_key.empty() && statement != nullptr;
  const bool with_table =
      with_statement || (table_plan != nullptr && table_plan->always);
  AtomicFile list(output, LinkAtDestination::kReplace);
  std::string table_text;
  if (!WriteEntries(files, key, list, with_table ? &table_text : nullptr,
                    table_plan, error)) {
    return false;
  }
  std::optional<AtomicFile> signature, table, statement_file;
  if (!private_key.empty()) {
    signature.emplace(output + ".sig", LinkAtDestination::kReplace);
    if (!WriteSignature(private_key, list, *signature, error)) return false;
  }
  if (with_table) {
    table.emplace(output + kTableSuffix, LinkAtDestination::kReplace);
    if (!WriteWhole(*table, table_text, error)) return false;
  }
  if (with_statement) {
    statement_file.emplace(output + kStatementSuffix,
                           LinkAtDestination::kReplace);
    if (!WriteStatement(*statement, private_key, list, table_text,
                        *statement_file, error)) {
      return false;
    }
  }
  // The table first: it is of no use before a statement names it. The
  // statement last: it names the list and the table.
  if (table && !table->Commit()) {
    error = Fault("cannot write", table->path(), errno);
    return false;
  }
  if (!list.Commit()) {
    error = Fault("cannot write", output, errno);
    return false;
  }
  for (std::optional<AtomicFile>* after : {&signature, &statement_file}) {
    if (*after && !(*after)->Commit()) {
      error = Fault("cannot write", (*after)->path(), errno) +
              "; the new list is in place, but not all files beside it: run "
              "again";
      return false;
    }
  }
  written = {static_cast<int>(files.size()), key, signature.has_value(),
             with_statement ? std::optional<StatementPlan>(*statement)
                            : std::nullopt};
  if (written.statement && written.statement->name.empty()) {
    written.statement->name = std::to_string(written.statement->serial);
  }
  return true;
}

std::int64_t HighestSerial(const std::vector<std::string>& statements) {
  std::int64_t highest = 0;
  for (const std::string& path : statements) {
    ReleaseStatement statement;
    if (ReadStatementFile(path, nullptr, statement).empty()) {
      highest = std::max(highest, statement.serial);
    }
  }
  return highest;
}

bool ParseDuration(const std::string& text, std::int64_t& seconds) {
  constexpr std::int64_t kTenYears = 10 * 366 * 86400;
  if (text.size() < 2 || text.size() > 12) return false;
  std::int64_t unit = 0;
  switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 7 * 86400; break;
    default: return false;
  }
  std::int64_t count = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    count = count * 10 + (text[i] - '0');
  }
  if (count < 1 || count > kTenYears / unit) return false;
  seconds = count * unit;
  return true;
}

std::string TakeStatementOptions(const char* name_value,
                                 const char* expires_value, std::string& name,
                                 std::optional<std::int64_t>& expires_after) {
  if (name_value != nullptr) {
    if (!IsReleaseName(name_value)) {
      return std::string("cannot name a release \"") + name_value +
             "\" (1 to 64 of A-Z a-z 0-9 . _ + - : @)";
    }
    name = name_value;
  }
  if (expires_value != nullptr) {
    std::int64_t span = 0;
    if (!ParseDuration(expires_value, span)) {
      return std::string("cannot take --expires ") + expires_value +
             " (a number and s, m, h, d or w; at most 10 years)";
    }
    expires_after = span;
  }
  return std::string();
}
