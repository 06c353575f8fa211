#include "update/checksum_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "engine/file_lock.h"
#include "engine/random.h"

namespace {

// White space as the C locale's isspace defines it, which ends a field.
bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

ChecksumListReader::ChecksumListReader(FILE* file) : file_(file) {}

ChecksumListReader::Field ChecksumListReader::ReadField(std::string& out) {
  out.clear();
  int c = getc_unlocked(file_);
  while (c != EOF && IsBlank(c)) c = getc_unlocked(file_);
  if (c == EOF) return Field::kEof;
  Field status = Field::kOk;
  for (; c != EOF && !IsBlank(c); c = getc_unlocked(file_)) {
    if (c == '\0') status = Field::kNul;
    if (out.size() < kMaxListField) {
      out.push_back(static_cast<char>(c));
    } else if (status == Field::kOk) {
      status = Field::kTooLong;
    }
  }
  // The blank that ended the field belongs to the rest of the line.
  if (c != EOF) ungetc(c, file_);
  return status;
}

bool ChecksumListReader::ReadLine() {
  int c = getc_unlocked(file_);
  if (c == EOF) return false;
  last_line_.clear();
  std::size_t length = 0;
  for (; c != EOF; c = getc_unlocked(file_)) {
    if (length < kMaxListField) last_line_.push_back(static_cast<char>(c));
    ++length;
    if (c == '\n') break;
  }
  if (length > kMaxListField) {
    error_ = "line longer than 255 characters";
  } else {
    error_.clear();
  }
  return true;
}

ListRead ChecksumListReader::ReadFields(std::string& first,
                                        std::string& second) {
  error_.clear();
  Field status = ReadField(first);
  if (status == Field::kEof) {
    fields_read_ = -1;
    return ListRead::kEndAfterLineEnd;
  }
  if (status == Field::kOk) status = ReadField(second);
  if (status == Field::kEof) {
    fields_read_ = 1;
    error_ = "entry without a second field at the end of the file";
    return ListRead::kMalformed;
  }
  if (status == Field::kTooLong) {
    fields_read_ = 0;
    error_ = "field longer than 255 characters";
    return ListRead::kMalformed;
  }
  if (status == Field::kNul) {
    fields_read_ = 0;
    error_ = "field holding a NUL byte";
    return ListRead::kMalformed;
  }
  fields_read_ = 2;
  return ListRead::kEntry;
}

ListRead ChecksumListReader::Next(std::string& path, std::string& hash) {
  if (line_pending_) {
    if (!ReadLine()) return ListRead::kEndWithoutLineEnd;
    line_pending_ = false;
    if (!error_.empty()) return ListRead::kMalformed;
  }
  line_pending_ = true;
  return ReadFields(path, hash);
}

ListSteps ReadListSteps(FILE* list,
                        const std::map<std::string, std::string>* listed) {
  static_assert(kMaxListField <= UINT8_MAX);
  ListSteps steps;
  ChecksumListReader reader(list);
  std::string path, hash;
  for (ListRead read; (read = reader.Next(path, hash)) != ListRead::kEndWithoutLineEnd;) {
    ListStep step;
    step.read_ = read;
    if (read == ListRead::kEntry) {
      const std::pair<const std::string, std::string>* known = nullptr;
      if (listed != nullptr) {
        const auto found = listed->find(path);
        if (found != listed->end()) known = &*found;
      }
      step.path_ =
          known != nullptr ? known->first.c_str() : steps.texts_.Keep(path);
      step.hash_ = known != nullptr && known->second == hash
                       ? known->second.c_str()
                       : steps.texts_.Keep(hash);
      step.path_size_ = static_cast<std::uint8_t>(path.size());
      step.hash_size_ = static_cast<std::uint8_t>(hash.size());
    } else if (read == ListRead::kMalformed) {
      step.hash_ = steps.texts_.Keep('\0' + reader.error());
    }
    steps.steps_.push_back(step);
  }
  return steps;
}

ChecksumListWriter::~ChecksumListWriter() { Close(); }

int ChecksumListWriter::Open(const char* path) {
  Close();
  file_ = std::fopen(path, "w");
  const int err = errno;
  write_failed_ = false;
  if (file_ != nullptr) return 0;
  FileLock::ReportOpenFailure(err);
  return err != 0 ? err : EIO;
}

void ChecksumListWriter::Attach(FILE* stream) {
  Close();
  file_ = stream;
  owns_file_ = false;
  write_failed_ = stream == nullptr;
}

void ChecksumListWriter::WriteHeader(long key) {
  if (file_ == nullptr) return;
  if (std::fprintf(file_, "version_file %li\n", key) < 0) write_failed_ = true;
}

void ChecksumListWriter::WriteEntry(const std::string& path,
                                    const std::string& hash) {
  if (file_ == nullptr) return;
  if (std::fprintf(file_, "%s %s\n", path.c_str(), hash.c_str()) < 0) {
    write_failed_ = true;
  }
}

bool ChecksumListWriter::Close() {
  bool ok = !write_failed_;
  if (file_ != nullptr && owns_file_) ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  owns_file_ = true;
  return ok;
}

ListHeader ReadListHeader(FILE* file) {
  ListHeader header;
  ChecksumListReader reader(file);
  std::string keyword, key;
  if (reader.ReadFields(keyword, key) != ListRead::kEntry) return header;
  header.found = true;
  header.keyword_ok = keyword == "version_file";
  if (header.keyword_ok) header.key = std::strtol(key.c_str(), nullptr, 10);
  const std::size_t digits = key[0] == '-' || key[0] == '+' ? 1 : 0;
  header.key_is_number =
      key.size() > digits &&
      key.find_first_not_of("0123456789", digits) == std::string::npos;
  return header;
}

bool HasChecksumListHeader(const char* path) {
  FileLock file(std::fopen(path, "r"));
  if (!file.isValid()) return false;
  const ListHeader header = ReadListHeader(file.get());
  return header.keyword_ok && header.key_is_number;
}

long MakeVersionKey() {
  InitRandomNumbers();
  long key = 1000;
  for (int i = 0; i < 4; ++i) key += random(900000);
  key += random(9000000);
  return key;
}
