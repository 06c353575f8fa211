// The hash records of the local files, indexed for the comparison walk.
#ifndef STARTER_UPDATE_FILE_PAIR_INDEX_H_
#define STARTER_UPDATE_FILE_PAIR_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/checksum_list.h"

// A listed path and the MD5 of its file as 32 lower-case hex digits.
struct filemd5pair {
  std::string filename;
  std::string md5;
};

// The records of one update run, in append order, owned here: a record costs
// its name and 26 bytes (an MD5 text kept as its 16 bytes) plus two 4-byte
// places of a flat hash index over the names ignoring letter case, which
// keeps Contains at constant expected cost (a walk over n entries against n
// records is linear). At most 2^32 - 1 records; no NUL in names or hashes.
class FilePairIndex {
 public:
  // Prepares room for `count` records in all, so appending them does not
  // rehash the index.
  void reserve(std::size_t count) {
    records_.reserve(count);
    Grow(count);
  }
  // Appends a record (name, hash) and indexes it.
  void Append(std::string_view filename, std::string_view md5);
  // True when some record has the same name ignoring letter case (bytes
  // lowered with C tolower) and exactly the same hash, a digest of 32 hex
  // digits. A record of any other text, such as the mark of a file that
  // could not be hashed, matches nothing, whatever a list gives.
  bool Contains(const filemd5pair& pair) const;

  // The MD5 (32 lower-case hex digits) of the first record whose name is
  // exactly `filename`; "" when none is, or when that record holds no
  // digest (a file that could not be hashed).
  std::string Md5Of(std::string_view filename) const;

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  // The record appended `i`-th, as it was appended; requires i < size().
  filemd5pair operator[](std::size_t i) const;
  // Drops every record.
  void clear() { *this = FilePairIndex(); }

 private:
  // Makes the index hold at least `count` records at half load or less.
  void Grow(std::size_t count);
  void Insert(std::uint32_t record);

  // Each record in `texts_`: the kept form of its hash, then its name.
  std::vector<const char*> records_;
  // The open-addressing index: a record's position plus one; 0: empty.
  std::vector<std::uint32_t> slots_;
  TextArena texts_;
};

// `text` with every byte lowered by C tolower.
std::string LowerBytes(const std::string& text);

#endif  // STARTER_UPDATE_FILE_PAIR_INDEX_H_
