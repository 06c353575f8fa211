#include "update/file_pair_index.h"

#include <algorithm>
#include <cctype>

#include "engine/md5.h"

namespace {

// C tolower of a byte.
char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// The low 32 bits of FNV-1a over the lowered bytes.
std::uint32_t FoldedHash(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : name) {
    hash = (hash ^ static_cast<unsigned char>(Lower(c))) * 1099511628211ull;
  }
  return static_cast<std::uint32_t>(hash);
}

constexpr std::string_view kHexDigits = "0123456789abcdef";

// The kept form of the hash text `md5`: the tag 0 and the 16 bytes of an MD5
// text (32 lower-case hex digits), or the tag 1, the text and a NUL.
std::string KeptForm(std::string_view md5) {
  std::string kept(1, '\0');
  for (std::size_t i = 0; md5.size() == 32 && i < md5.size(); i += 2) {
    const std::size_t high = kHexDigits.find(md5[i]);
    const std::size_t low = kHexDigits.find(md5[i + 1]);
    if (high == kHexDigits.npos || low == kHexDigits.npos) break;
    kept += static_cast<char>(high * 16 + low);
  }
  return kept.size() == 17 ? kept : '\1' + std::string(md5) + '\0';
}

// The hash in the kept form `kept`: its 16 bytes (tag 0) or its text.
std::string_view KeptHash(const char* kept) {
  return kept[0] == 0 ? std::string_view(kept + 1, 16)
                      : std::string_view(kept + 1);
}

// The name of a record, after the kept form of its hash.
std::string_view KeptName(const char* record) {
  const std::string_view hash = KeptHash(record);
  return hash.data() + hash.size() + (record[0] == 0 ? 0 : 1);
}

}  // namespace

std::string LowerBytes(const std::string& text) {
  std::string lowered(text);
  std::ranges::transform(lowered, lowered.begin(), Lower);
  return lowered;
}

void FilePairIndex::Grow(std::size_t count) {
  if (2 * count <= slots_.size()) return;
  slots_.assign(std::max({std::size_t{16}, 2 * count, 2 * slots_.size()}), 0);
  for (std::uint32_t r = 1; r <= records_.size(); ++r) Insert(r);
}

void FilePairIndex::Insert(std::uint32_t record) {
  std::size_t at = FoldedHash(KeptName(records_[record - 1])) % slots_.size();
  while (slots_[at] != 0) at = (at + 1) % slots_.size();
  slots_[at] = record;
}

void FilePairIndex::Append(std::string_view filename, std::string_view md5) {
  Grow(records_.size() + 1);
  records_.push_back(texts_.Keep(KeptForm(md5) += filename));
  Insert(static_cast<std::uint32_t>(records_.size()));
}

bool FilePairIndex::Contains(const filemd5pair& pair) const {
  if (slots_.empty()) return false;
  // Only a digest names bytes; any other text (the mark of a file that
  // could not be hashed) matches no listed hash.
  if (!IsMd5Text(pair.md5)) return false;
  const std::string hash = KeptForm(pair.md5);
  for (std::size_t at = FoldedHash(pair.filename) % slots_.size();
       slots_[at] != 0; at = (at + 1) % slots_.size()) {
    const char* record = records_[slots_[at] - 1];
    if (record[0] == hash[0] && KeptHash(record) == KeptHash(hash.c_str()) &&
        std::ranges::equal(KeptName(record), pair.filename, {}, Lower, Lower)) {
      return true;
    }
  }
  return false;
}

std::string FilePairIndex::Md5Of(std::string_view filename) const {
  if (slots_.empty()) return std::string();
  // The first record of the name is the one of lowest position among those
  // the probe meets.
  std::uint32_t first = 0;
  for (std::size_t at = FoldedHash(filename) % slots_.size(); slots_[at] != 0;
       at = (at + 1) % slots_.size()) {
    if ((first == 0 || slots_[at] < first) &&
        KeptName(records_[slots_[at] - 1]) == filename) {
      first = slots_[at];
    }
  }
  if (first == 0 || records_[first - 1][0] != 0) return std::string();
  return (*this)[first - 1].md5;
}

filemd5pair FilePairIndex::operator[](std::size_t i) const {
  const char* record = records_[i];
  filemd5pair pair{std::string(KeptName(record)), ""};
  if (record[0] != 0) pair.md5 = KeptHash(record);
  for (unsigned char byte : record[0] == 0 ? KeptHash(record) : "") {
    (pair.md5 += kHexDigits[byte / 16]) += kHexDigits[byte % 16];
  }
  return pair;
}
