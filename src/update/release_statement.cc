#include "update/release_statement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "engine/md5.h"
#include "engine/scoped_fd.h"
#include "engine/sha256.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kFormatLine[] = "release_statement 1";

// The text of a statement line by line, each ending in a line feed.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}

  // The next line without its line feed, and its number; false when the
  // text ends (or ends without a line feed).
  bool Next(std::string_view& line) {
    ++number_;
    const std::size_t end = rest_.find('\n');
    if (end == std::string_view::npos) return false;
    line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return true;
  }
  // The number of the line Next took last (or failed to take).
  int number() const { return number_; }
  // What follows the lines taken so far.
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
  int number_ = 0;
};

// The value of "KEYWORD SP VALUE" in `line`; false when the line is not
// of that keyword.
bool ValueOf(std::string_view line, std::string_view keyword,
             std::string_view& value) {
  if (line.size() <= keyword.size() || line.substr(0, keyword.size()) != keyword ||
      line[keyword.size()] != ' ') {
    return false;
  }
  value = line.substr(keyword.size() + 1);
  return true;
}

// A decimal number without sign or leading zeros, at most
// kMaxStatementNumber.
bool ParseNumber(std::string_view text, std::int64_t& value) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) {
    return false;
  }
  std::int64_t parsed = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + (c - '0');
  }
  value = parsed;
  return parsed <= kMaxStatementNumber;
}

// "SIZE SHA256".
bool ParseDigest(std::string_view text, FileDigest& digest) {
  const std::size_t space = text.find(' ');
  std::int64_t size = 0;
  if (space == std::string_view::npos ||
      !ParseNumber(text.substr(0, space), size) ||
      !IsSha256Text(text.substr(space + 1))) {
    return false;
  }
  digest.size = static_cast<std::uint64_t>(size);
  digest.sha256 = std::string(text.substr(space + 1));
  return true;
}

// `bytes` as lower-case hex digits.
std::string Hex(std::string_view bytes) {
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex.push_back(kHexDigits[byte >> 4]);
    hex.push_back(kHexDigits[byte & 0x0f]);
  }
  return hex;
}

// The bytes of `hex` (lower-case hex digits, an even number of them);
// false when it is not such text.
bool FromHex(std::string_view hex, std::string& bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const char* high = std::strchr(kHexDigits, hex[i]);
    const char* low = std::strchr(kHexDigits, hex[i + 1]);
    if (hex[i] == '\0' || hex[i + 1] == '\0' || high == nullptr ||
        low == nullptr) {
      return false;
    }
    bytes.push_back(static_cast<char>((high - kHexDigits) << 4 |
                                      (low - kHexDigits)));
  }
  return true;
}

std::string Expected(const Lines& lines, const char* what) {
  return "line " + std::to_string(lines.number()) + ": " + what + " expected";
}

enum class Read { kOk, kMissing, kFailed, kTooLong };

// Reads the regular file at `path` whole into `out`, at most `limit` bytes.
Read ReadFileUpTo(const std::string& path, std::size_t limit,
                  std::string& out) {
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? Read::kMissing : Read::kFailed;
  out.clear();
  char block[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), block, sizeof block);
    if (got == 0) return Read::kOk;
    if (got < 0) {
      if (errno == EINTR) continue;
      return Read::kFailed;
    }
    if (out.size() + static_cast<std::size_t>(got) > limit) {
      return Read::kTooLong;
    }
    out.append(block, static_cast<std::size_t>(got));
  }
}

std::string Plural(std::int64_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

}  // namespace

bool IsReleaseName(std::string_view name) {
  if (name.empty() || name.size() > kMaxReleaseNameSize) return false;
  for (const char c : name) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') ||
                         std::strchr("._+-:@", c) != nullptr;
    if (!allowed || c == '\0') return false;
  }
  return true;
}

std::string StatementBody(const ReleaseStatement& statement) {
  std::string body = std::string(kFormatLine) + "\n";
  body += "serial " + std::to_string(statement.serial) + "\n";
  body += "name " + statement.name + "\n";
  body += "issued " + std::to_string(statement.issued) + "\n";
  body += "expires " +
          (statement.expires ? std::to_string(*statement.expires)
                             : std::string("never")) +
          "\n";
  body += "list " + std::to_string(statement.list.size) + " " +
          statement.list.sha256 + "\n";
  body += "files " + std::to_string(statement.files.size) + " " +
          statement.files.sha256 + "\n";
  return body;
}

std::string SignedStatementText(const std::string& body,
                                std::string_view signature) {
  return body + "signature " + Hex(signature) + "\n";
}

std::string ParseStatement(std::string_view text, ReleaseStatement& statement,
                           std::string_view& body, std::string& signature) {
  if (text.size() > kMaxStatementSize) return "longer than 1024 bytes";
  Lines lines(text);
  std::string_view line, value;
  ReleaseStatement read;
  if (!lines.Next(line) || line != kFormatLine) {
    return Expected(lines, "\"release_statement 1\"");
  }
  if (!lines.Next(line) || !ValueOf(line, "serial", value) ||
      !ParseNumber(value, read.serial) || read.serial < 1) {
    return Expected(lines, "serial");
  }
  if (!lines.Next(line) || !ValueOf(line, "name", value) ||
      !IsReleaseName(value)) {
    return Expected(lines, "name");
  }
  read.name = std::string(value);
  if (!lines.Next(line) || !ValueOf(line, "issued", value) ||
      !ParseNumber(value, read.issued)) {
    return Expected(lines, "issued");
  }
  std::int64_t expires = 0;
  if (!lines.Next(line) || !ValueOf(line, "expires", value) ||
      (value != "never" &&
       (!ParseNumber(value, expires) || expires <= read.issued))) {
    return Expected(lines, "expires after issued");
  }
  if (value != "never") read.expires = expires;
  if (!lines.Next(line) || !ValueOf(line, "list", value) ||
      !ParseDigest(value, read.list)) {
    return Expected(lines, "list");
  }
  if (!lines.Next(line) || !ValueOf(line, "files", value) ||
      !ParseDigest(value, read.files)) {
    return Expected(lines, "files");
  }
  const std::size_t body_size = text.size() - lines.rest().size();
  std::string signed_bytes;
  if (!lines.Next(line) || !ValueOf(line, "signature", value) ||
      value.size() != 2 * kListSignatureSize ||
      !FromHex(value, signed_bytes)) {
    return Expected(lines, "signature");
  }
  if (!lines.rest().empty()) {
    return "line " + std::to_string(lines.number() + 1) +
           ": nothing expected after the signature";
  }
  statement = std::move(read);
  body = text.substr(0, body_size);
  signature = std::move(signed_bytes);
  return std::string();
}

std::string ReadStatementFile(const std::string& path,
                              const ListSigningKey* key,
                              ReleaseStatement& statement, bool* missing) {
  if (missing != nullptr) *missing = false;
  std::string text;
  switch (ReadFileUpTo(path, kMaxStatementSize, text)) {
    case Read::kOk:
      break;
    case Read::kMissing:
      if (missing != nullptr) *missing = true;
      return "missing";
    case Read::kFailed:
      return std::string("unreadable (") + std::strerror(errno) + ")";
    case Read::kTooLong:
      return "unreadable (longer than 1024 bytes)";
  }
  ReleaseStatement read;
  std::string_view body;
  std::string signature;
  if (std::string why = ParseStatement(text, read, body, signature);
      !why.empty()) {
    return "malformed (" + why + ")";
  }
  if (key != nullptr) {
    const ListSignature verdict = VerifySignatureOfBytes(body, signature, *key);
    if (verdict == ListSignature::kUnusableKey) {
      return ListSignatureReason(verdict);
    }
    if (verdict != ListSignature::kValid) {
      return "signature wrong (does not verify the statement)";
    }
  }
  statement = std::move(read);
  return std::string();
}

std::optional<FileDigest> DigestOfFile(const std::string& path) {
  std::string md5;
  FileFacts facts;
  if (HashFile(path.c_str(), md5, facts, true) != FileHashError::kNone ||
      facts.sha256.empty()) {
    return std::nullopt;
  }
  return FileDigest{facts.size, facts.sha256};
}

std::string FormatStatementTime(std::int64_t time) {
  const std::time_t seconds = static_cast<std::time_t>(time);
  std::tm parts{};
  char text[64];
  if (gmtime_r(&seconds, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
    return std::to_string(time);
  }
  return text;
}

std::string DescribeSpan(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return Plural(seconds, "second");
  if (seconds < 120 * 60) return Plural(seconds / 60, "minute");
  if (seconds < 48 * 3600) return Plural(seconds / 3600, "hour");
  return Plural(seconds / 86400, "day");
}

StatementCheck CheckStatement(const std::string& statement_path,
                              const std::string& list_path,
                              const ListSigningKey& key,
                              const ReleaseStatement* installed,
                              std::int64_t now, bool allow_expired) {
  StatementCheck check;
  ReleaseStatement& offered = check.statement;
  if (std::string why = ReadStatementFile(statement_path, &key, offered);
      !why.empty()) {
    check.reason = "release statement " + why;
    return check;
  }
  const std::optional<FileDigest> list = DigestOfFile(list_path);
  if (!list || *list != offered.list) {
    check.reason =
        "the release statement names another list (its size or SHA-256 "
        "differs)";
    return check;
  }
  if (installed != nullptr && offered.serial < installed->serial) {
    check.reason = "the release statement of release " +
                   std::to_string(offered.serial) +
                   " is behind the installed release " +
                   std::to_string(installed->serial);
    return check;
  }
  if (installed != nullptr && offered.serial == installed->serial &&
      offered.list != installed->list) {
    check.reason =
        "the release statement names another list under the same release " +
        std::to_string(installed->serial);
    return check;
  }
  if (offered.expires && now >= *offered.expires) {
    const std::string when = "the release statement expired " +
                             DescribeSpan(now - *offered.expires) + " ago (" +
                             FormatStatementTime(*offered.expires) + ")";
    check.reason = when;
    if (!allow_expired) return check;
    check.expired_but_allowed = true;
  }
  check.accepted = true;
  return check;
}

std::string MissingStatementReason(const ReleaseStatement& installed,
                                   const std::string& detail) {
  return "no release statement (" + detail +
         "), but this game directory installed release " +
         std::to_string(installed.serial) + " with one";
}
