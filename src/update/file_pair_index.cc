#include "update/file_pair_index.h"

#include <array>
#include <cctype>

namespace {

// C tolower of every byte value, taken once.
const std::array<unsigned char, 256>& LowerTable() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
      t[c] = static_cast<unsigned char>(std::tolower(c));
    }
    return t;
  }();
  return table;
}

// The low 32 bits of FNV-1a over the lowered bytes.
std::uint32_t FoldedHash(const std::string& name) {
  const auto& lower = LowerTable();
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : name) {
    hash ^= lower[static_cast<unsigned char>(c)];
    hash *= 1099511628211ull;
  }
  return static_cast<std::uint32_t>(hash);
}

// Same length and the same lowered bytes.
bool FoldedEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  const auto& lower = LowerTable();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower[static_cast<unsigned char>(a[i])] !=
        lower[static_cast<unsigned char>(b[i])]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string LowerBytes(const std::string& text) {
  const auto& lower = LowerTable();
  std::string lowered(text);
  for (char& c : lowered)
    c = static_cast<char>(lower[static_cast<unsigned char>(c)]);
  return lowered;
}

void FilePairIndex::reserve(std::size_t count) { Grow(count); }

void FilePairIndex::Grow(std::size_t count) {
  std::size_t wanted = 16;
  while (wanted < 2 * count) wanted *= 2;
  if (wanted <= slots_.size()) return;
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(wanted, Slot{});
  for (const Slot& slot : old) {
    if (slot.record != 0) Insert(slot.hash, slot.record);
  }
}

void FilePairIndex::Insert(std::uint32_t hash, std::uint32_t record) {
  std::size_t mask = slots_.size() - 1;
  std::size_t at = hash & mask;
  while (slots_[at].record != 0) at = (at + 1) & mask;
  slots_[at] = Slot{hash, record};
}

void FilePairIndex::Append(std::string filename, std::string md5) {
  Grow(records_.size() + 1);
  records_.push_back(filemd5pair{std::move(filename), std::move(md5)});
  Insert(FoldedHash(records_.back().filename),
         static_cast<std::uint32_t>(records_.size()));
}

bool FilePairIndex::Contains(const filemd5pair& pair) const {
  if (slots_.empty()) return false;
  const std::uint32_t hash = FoldedHash(pair.filename);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask; slots_[at].record != 0;
       at = (at + 1) & mask) {
    if (slots_[at].hash != hash) continue;
    const filemd5pair& record = records_[slots_[at].record - 1];
    if (record.md5 == pair.md5 && FoldedEqual(record.filename, pair.filename)) {
      return true;
    }
  }
  return false;
}

void FilePairIndex::clear() {
  slots_.clear();
  records_.clear();
}
