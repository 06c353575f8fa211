#include "update/release_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/scoped_fd.h"
#include "engine/sha256.h"
#include "update/file_pair_index.h"
#include "update/text_fields.h"

namespace {

constexpr char kHeader[] = "release_files 1";
// The longest path a list's field can hold.
constexpr std::size_t kMaxPath = 255;
constexpr std::uint64_t kMaxSize = 999999999999999999;

bool IsPathByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte != 0x7f;
}

bool ParseSize(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) {
    return false;
  }
  std::uint64_t parsed = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + static_cast<std::uint64_t>(c - '0');
  }
  value = parsed;
  return parsed <= kMaxSize;
}

}  // namespace

std::string ReleaseTableLine(std::string_view path, std::uint64_t size,
                             std::string_view sha256, bool executable) {
  std::string line(path);
  line += " " + std::to_string(size) + " ";
  line += sha256;
  line += executable ? " x\n" : " -\n";
  return line;
}

std::string PatchTablePath(std::string_view old_md5, std::string_view new_md5) {
  return std::string(kPatchDirectory) + "/" +
         LowerBytes(std::string(old_md5)) + "-" +
         LowerBytes(std::string(new_md5));
}

std::string ReleaseTableHeader() { return std::string(kHeader) + "\n"; }

std::string ReleaseTable::Parse(std::string text) {
  // The records view the table's own copy of the text.
  text_ = std::move(text);
  records_.clear();
  std::string why = ParseText();
  if (!why.empty()) {
    text_.clear();
    records_.clear();
  }
  return why;
}

std::string ReleaseTable::ParseText() {
  std::vector<ReleaseFileRecord>& records = records_;
  std::string_view rest(text_);
  int number = 1;
  const auto at = [&](const char* what) {
    return "line " + std::to_string(number) + ": " + what;
  };
  std::size_t end = rest.find('\n');
  if (end == std::string_view::npos || rest.substr(0, end) != kHeader) {
    return at("\"release_files 1\" expected");
  }
  rest.remove_prefix(end + 1);
  while (!rest.empty()) {
    ++number;
    end = rest.find('\n');
    if (end == std::string_view::npos) return at("no line feed at its end");
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    ReleaseFileRecord record;
    record.path = TakeField(line);
    const std::string_view size = TakeField(line);
    record.sha256 = TakeField(line);
    const std::string_view mode = line;
    if (record.path.size() < 3 || record.path.size() > kMaxPath ||
        record.path.substr(0, 2) != "./" ||
        !std::all_of(record.path.begin(), record.path.end(), IsPathByte)) {
      return at("path expected");
    }
    if (!ParseSize(size, record.size)) return at("size expected");
    if (!IsSha256Text(record.sha256)) return at("SHA-256 expected");
    if (mode != "x" && mode != "-") return at("mode x or - expected");
    record.executable = mode == "x";
    if (!records.empty() && records.back().path >= record.path) {
      return at("path not after the one before");
    }
    records.push_back(record);
  }
  return std::string();
}

const ReleaseFileRecord* ReleaseTable::Find(std::string_view path) const {
  const auto found =
      std::ranges::lower_bound(records_, path, {}, &ReleaseFileRecord::path);
  return found != records_.end() && found->path == path ? &*found : nullptr;
}

const ReleaseFileRecord* ReleaseTable::FindPatch(
    std::string_view old_md5, std::string_view new_md5) const {
  return Find(PatchTablePath(old_md5, new_md5));
}

namespace {

// Why the text of the table at `path`, of at most `most_bytes`, could not
// be read into `text` ("" when it was); `too_long` says why for a longer
// one, which is not read any further.
std::string ReadTableText(const std::string& path, std::uint64_t most_bytes,
                          const std::string& too_long, std::string& text) {
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    return errno == ENOENT
               ? std::string("missing")
               : std::string("unreadable (") + std::strerror(errno) + ")";
  }
  char block[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd.get(), block, sizeof block);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::string("unreadable (") + std::strerror(errno) + ")";
    }
    if (text.size() + static_cast<std::size_t>(got) > most_bytes) {
      return too_long;
    }
    text.append(block, static_cast<std::size_t>(got));
  }
  return std::string();
}

// Parses `text` into `table`: "" or why not.
std::string ParseTableText(std::string text, ReleaseTable& table) {
  if (std::string why = table.Parse(std::move(text)); !why.empty()) {
    return "malformed (" + why + ")";
  }
  return std::string();
}

}  // namespace

std::string ReadReleaseTable(const std::string& path, std::uint64_t size,
                             std::string_view sha256, ReleaseTable& table) {
  const std::string other =
      "not the one the release statement names (its size or SHA-256 "
      "differs)";
  std::string text;
  if (std::string why = ReadTableText(path, size, other, text); !why.empty()) {
    return why;
  }
  if (text.size() != size || Sha256Hex(text) != sha256) return other;
  return ParseTableText(std::move(text), table);
}

std::string ReadReleaseTable(const std::string& path, ReleaseTable& table) {
  std::string text;
  if (std::string why = ReadTableText(
          path, kMostTableBytes,
          "longer than " + std::to_string(kMostTableBytes) + " bytes", text);
      !why.empty()) {
    return why;
  }
  return ParseTableText(std::move(text), table);
}
