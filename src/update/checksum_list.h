// The checksum list format shared by the server's list and the local version
// file: a header "version_file <key>", then one "<path> <md5>" entry a line.
#ifndef STARTER_UPDATE_CHECKSUM_LIST_H_
#define STARTER_UPDATE_CHECKSUM_LIST_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Longest field (path, hash, keyword or key) and longest line remainder a
// list may carry, in characters.
inline constexpr std::size_t kMaxListField = 255;

// The most bytes a checksum list the update run fetches may have: the header
// and kMostListEntries entries of the longest kind, each line two fields,
// their separator and the line end (2 x kMaxListField + 2 bytes). That is
// 64 MiB, far above any release (100,000 files with 60-character names list
// in about 10 MB), and all that a server answering without end can fill.
inline constexpr std::uint64_t kMostListEntries = std::uint64_t{1} << 17;
inline constexpr std::uint64_t kMostListBytes =
    (kMostListEntries + 1) * (2 * kMaxListField + 2);

// What one step of a ChecksumListReader found.
enum class ListRead {
  // Two fields were read: an entry (or, at the start of a file, the header).
  kEntry,
  // The line read of a pass consumed a line end, then the file ended before
  // the first field: nothing to process. Readers log their end-of-list
  // message here.
  kEndAfterLineEnd,
  // The file ended before the line read of a pass could consume anything,
  // not even a line end: the walk is over and there is nothing to report.
  kEndWithoutLineEnd,
  // The entry or line broke the format (see error()); it was consumed whole
  // and must be refused. The next call goes on after it.
  kMalformed,
};

// Walks a checksum list the way every reader of the format does: a line read
// (which consumes the header the first time and the rest of an entry line
// after that), then two fields separated by white space. Unlike a fixed
// buffer, a field longer than kMaxListField characters or a field holding a
// NUL byte is refused as malformed instead of being cut into another path,
// and a line remainder of any length is consumed whole. Never overruns.
class ChecksumListReader {
 public:
  // Reads from `file`, which stays owned by the caller and must be open.
  explicit ChecksumListReader(FILE* file);

  // One pass: consume the rest of the current line, then read two fields.
  // kEntry stores them in `path` and `hash`; kEndAfterLineEnd,
  // kEndWithoutLineEnd and kMalformed leave them unspecified.
  ListRead Next(std::string& path, std::string& hash);

  // Reads two fields at the current position without a line read first (the
  // header check reads a file's first two fields this way).
  ListRead ReadFields(std::string& first, std::string& second);

  // How many fields the last field read stored: 2 for an entry, 1 when the
  // file ended after the first, -1 when it ended before (like fscanf).
  int fields_read() const { return fields_read_; }
  // The text of the last line read (at most kMaxListField characters, line
  // feed included), empty before the first.
  const std::string& last_line() const { return last_line_; }
  // Why the last kMalformed was returned; empty otherwise.
  const std::string& error() const { return error_; }

 private:
  enum class Field { kOk, kEof, kTooLong, kNul };
  // Skips white space, then reads one run of non-blank bytes into `out`.
  Field ReadField(std::string& out);
  // Consumes the rest of the line. Returns false when the file had ended.
  bool ReadLine();

  FILE* file_;
  bool line_pending_ = true;
  int fields_read_ = 0;
  std::string last_line_;
  std::string error_;
};

// Copies of texts, many to a block of 64 KiB: a text costs its bytes and a
// NUL, without an allocation of its own.
class TextArena {
 public:
  // A copy of `text` (any bytes) and a NUL, valid as long as the arena.
  const char* Keep(std::string_view text) {
    if (text.size() >= free_size_) {
      free_size_ = std::max<std::size_t>(text.size() + 1, 64 * 1024);
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(free_size_));
      free_ = blocks_.back().get();
    }
    const char* kept = free_;
    free_ = std::copy(text.begin(), text.end(), free_);
    *free_++ = '\0';
    free_size_ -= text.size() + 1;
    return kept;
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // the unused rest of the last block
  std::size_t free_size_ = 0;
};

// The steps of a ChecksumListReader over one list, in order (see
// ReadListSteps). A step costs a 24-byte record and the texts it holds.
class ListSteps {
 public:
  // One step: what it read, the entry's path and hash (kEntry) or why the
  // entry was malformed (kMalformed). Each text is a view of bytes followed
  // by a NUL, valid as long as its ListSteps; the texts a step does not
  // carry are empty.
  class Step {
   public:
    ListRead read() const { return read_; }
    std::string_view path() const { return {path_, path_size_}; }
    std::string_view hash() const { return {hash_, hash_size_}; }
    std::string_view error() const {
      return read_ == ListRead::kMalformed ? hash_ + 1 : "";
    }

   private:
    friend ListSteps ReadListSteps(
        FILE* list, const std::map<std::string, std::string>* listed);
    const char* path_ = "";
    const char* hash_ = "";  // for kMalformed: a NUL, then the reason
    ListRead read_ = ListRead::kEndWithoutLineEnd;
    std::uint8_t path_size_ = 0;
    std::uint8_t hash_size_ = 0;
  };

  std::size_t size() const { return steps_.size(); }
  const Step& operator[](std::size_t i) const { return steps_[i]; }
  std::deque<Step>::const_iterator begin() const { return steps_.begin(); }
  std::deque<Step>::const_iterator end() const { return steps_.end(); }

 private:
  friend ListSteps ReadListSteps(
      FILE* list, const std::map<std::string, std::string>* listed);
  std::deque<Step> steps_;  // grows without moving what it holds
  TextArena texts_;
};
using ListStep = ListSteps::Step;

// Every step of a reader over `list` (open, at its start) up to the end,
// in order; the last step, which finds the end, is not included. An entry
// whose path `listed` holds refers to that key, and to its value when that
// is the entry's hash, instead of a copy: `listed` then stays unchanged
// while the steps are used.
ListSteps ReadListSteps(
    FILE* list, const std::map<std::string, std::string>* listed = nullptr);

// Writes a checksum list. Owns the stream it opens; an unfinished file is
// closed (not removed) on destruction, so a stopped writer leaves the entries
// so far.
class ChecksumListWriter {
 public:
  ChecksumListWriter() = default;
  ~ChecksumListWriter();
  ChecksumListWriter(const ChecksumListWriter&) = delete;
  ChecksumListWriter& operator=(const ChecksumListWriter&) = delete;

  // Creates or truncates `path` (mode "w"). Returns 0, or the system error
  // number of the failed open (a failed open is also reported by FileLock).
  int Open(const char* path);
  // Writes into `stream` instead, which stays open and owned by the caller
  // (the stream of an AtomicFile, for one); Close then only reports whether
  // every write succeeded.
  void Attach(FILE* stream);
  // Writes the header "version_file %li\n".
  void WriteHeader(long key);
  // Writes the entry line "%s %s\n".
  void WriteEntry(const std::string& path, const std::string& hash);
  // Closes the file. Returns false when a write or the close failed.
  bool Close();

 private:
  FILE* file_ = nullptr;
  bool owns_file_ = true;
  bool write_failed_ = false;
};

// The header at the start of a list: `found` is false when its first two
// fields cannot be read; `keyword_ok` tells whether the first is
// "version_file", and `key` is then the second converted as a decimal number
// (strtol: what text without a number gives is 0); `key_is_number` tells
// whether the second is a signed decimal integer, an optional sign and
// digits only.
struct ListHeader {
  bool found = false;
  bool keyword_ok = false;
  long key = 0;
  bool key_is_number = false;
};

// Reads the header from the current position of `file` (its start).
ListHeader ReadListHeader(FILE* file);

// True when the file at `path` opens and starts with the keyword
// "version_file" followed by a signed decimal integer (the key): the mark of
// a checksum list. An empty file, an error page or other bytes without it
// (a second field that is not a number, too) are not lists.
bool HasChecksumListHeader(const char* path);

// Reseeds the process-wide generator from the clock (InitRandomNumbers) and
// draws a fresh version key: 1000 + four random(900000) + one
// random(9000000), in that order; always between 1000 and 12600995.
long MakeVersionKey();

#endif  // STARTER_UPDATE_CHECKSUM_LIST_H_
