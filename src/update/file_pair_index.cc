#include "update/file_pair_index.h"

#include <cctype>

std::string LowerBytes(const std::string& text) {
  std::string lowered(text);
  for (char& c : lowered) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return lowered;
}

void FilePairIndex::Append(std::string filename, std::string md5) {
  auto record = std::make_unique<filemd5pair>(
      filemd5pair{std::move(filename), std::move(md5)});
  by_name_.emplace(LowerBytes(record->filename), record.get());
  records_.push_back(std::move(record));
}

bool FilePairIndex::Contains(const filemd5pair& pair) const {
  auto [first, last] = by_name_.equal_range(LowerBytes(pair.filename));
  for (auto it = first; it != last; ++it) {
    if (it->second->md5 == pair.md5) return true;
  }
  return false;
}

void FilePairIndex::clear() {
  by_name_.clear();
  records_.clear();
}
