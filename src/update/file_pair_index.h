// The hash records of the local files, indexed for the comparison walk.
#ifndef STARTER_UPDATE_FILE_PAIR_INDEX_H_
#define STARTER_UPDATE_FILE_PAIR_INDEX_H_

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// A listed path and the MD5 of its file as 32 lower-case hex digits.
struct filemd5pair {
  std::string filename;
  std::string md5;
};

// The records of one update run, in the order they were appended, owned here.
// An index from the lowered name to the records keeps Contains at constant
// expected cost, so a walk over n entries against n records is linear.
class FilePairIndex {
 public:
  // Appends a record (name, hash) and indexes it.
  void Append(std::string filename, std::string md5);
  // True when some record has the same name ignoring letter case (bytes
  // lowered with C tolower) and exactly the same hash.
  bool Contains(const filemd5pair& pair) const;

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  // The record appended `i`-th; requires i < size().
  const filemd5pair& operator[](std::size_t i) const { return *records_[i]; }
  // Drops every record.
  void clear();

 private:
  std::vector<std::unique_ptr<filemd5pair>> records_;
  std::unordered_multimap<std::string, const filemd5pair*> by_name_;
};

// `text` with every byte lowered by C tolower.
std::string LowerBytes(const std::string& text);

#endif  // STARTER_UPDATE_FILE_PAIR_INDEX_H_
