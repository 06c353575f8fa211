// The hash records of the local files, indexed for the comparison walk.
#ifndef STARTER_UPDATE_FILE_PAIR_INDEX_H_
#define STARTER_UPDATE_FILE_PAIR_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// A listed path and the MD5 of its file as 32 lower-case hex digits.
struct filemd5pair {
  std::string filename;
  std::string md5;
};

// The records of one update run, in the order they were appended, owned here.
// A flat hash index over the names ignoring letter case keeps Contains at
// constant expected cost, so a walk over n entries against n records is
// linear. Holds at most 2^32 - 1 records.
class FilePairIndex {
 public:
  // Prepares room for `count` records in all, so appending them does not
  // rehash the index.
  void reserve(std::size_t count);
  // Appends a record (name, hash) and indexes it.
  void Append(std::string filename, std::string md5);
  // True when some record has the same name ignoring letter case (bytes
  // lowered with C tolower) and exactly the same hash.
  bool Contains(const filemd5pair& pair) const;

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  // The record appended `i`-th; requires i < size().
  const filemd5pair& operator[](std::size_t i) const { return records_[i]; }
  // Drops every record.
  void clear();

 private:
  // One place of the open-addressing index: the low 32 bits of the folded
  // hash of a name and the position of its record plus one (0 marks an
  // empty place).
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t record = 0;
  };
  // Makes the index hold at least `count` records at half load or less.
  void Grow(std::size_t count);
  void Insert(std::uint32_t hash, std::uint32_t record);

  // The records, each in place for as long as it is held.
  std::deque<filemd5pair> records_;
  std::vector<Slot> slots_;
};

// `text` with every byte lowered by C tolower.
std::string LowerBytes(const std::string& text);

#endif  // STARTER_UPDATE_FILE_PAIR_INDEX_H_
