#include "release_list.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "engine/atomic_file.h"
#include "engine/file_lock.h"
#include "engine/hash_pipeline.h"
#include "update/checksum_list.h"
#include "update/list_signature.h"
#include "update/listed_path.h"
#include "update/tree_scan.h"

namespace {

// The keys lists carry: 1000 plus four draws below 900000 and one below
// 9000000, as the version files of the update run have them.
constexpr long kLowestKey = 1000;
constexpr long kHighestKey = 1000 + 4 * (900000 - 1) + (9000000 - 1);

// True when `listed` ("./" + path below the current directory) is the file
// at the absolute path `other`, by name or by identity.
bool IsFile(const std::string& listed, const std::string& release,
            const std::string& other) {
  if (release + listed.substr(1) == other) return true;
  struct stat a, b;
  return stat(listed.c_str(), &a) == 0 && stat(other.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The entry line of `path` as ChecksumListWriter writes it, after a header.
std::string WrittenEntry(const std::string& path, const std::string& hash) {
  char* text = nullptr;
  std::size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  if (stream == nullptr) return std::string();
  ChecksumListWriter writer;
  writer.Attach(stream);
  writer.WriteHeader(kLowestKey);
  writer.WriteEntry(path, hash);
  writer.Close();
  std::fclose(stream);
  std::string written(text, size);
  std::free(text);
  return written;
}

std::string Fault(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Writes the list of `files` into `list` under `key`. Returns false with
// `error` set on failure.
bool WriteEntries(const std::vector<std::string>& files, long key,
                  AtomicFile& list, std::string& error) {
  if (!list.ok()) {
    error = Fault("cannot create", list.path(), list.error());
    return false;
  }
  HashPipeline hashes(files);
  ChecksumListWriter writer;
  writer.Attach(list.stream());
  writer.WriteHeader(key);
  for (const std::string& path : files) {
    const HashPipeline::Result hashed = hashes.TakeNext();
    if (hashed.error != FileHashError::kNone) {
      error = Fault("cannot read", PrintablePath(path), hashed.error_number);
      return false;
    }
    writer.WriteEntry(path, hashed.hex);
  }
  if (!writer.Close() || !list.Flush()) {
    error = Fault("cannot write", list.path(),
                  list.error() != 0 ? list.error() : errno);
    return false;
  }
  return true;
}

// Signs the complete list in `list` (not yet in place) with the key at
// `private_key` into `signature`. Returns false with `error` set on failure.
bool WriteSignature(const std::string& private_key, AtomicFile& list,
                    AtomicFile& signature, std::string& error) {
  std::string bytes, why;
  if (!SignListFile(private_key, list.temp_path(), bytes, why)) {
    error = "cannot sign with " + private_key + ": " + why;
    return false;
  }
  if (!signature.ok() || !signature.Write(bytes.data(), bytes.size()) ||
      !signature.Flush()) {
    error = Fault("cannot write", signature.path(), signature.error());
    return false;
  }
  return true;
}

}  // namespace

ReleaseFiles CollectReleaseFiles(const std::string& release,
                                 const std::vector<std::string>& left_out) {
  std::vector<std::string> files;
  // A list names each file once: an aliased directory under its own name.
  SearchDirectory(files, ".", "*", true, {},
                  DirectoryLinks::kOncePerDirectory);
  std::sort(files.begin(), files.end());
  ReleaseFiles release_files;
  for (std::string& path : files) {
    if (std::any_of(left_out.begin(), left_out.end(),
                    [&](const std::string& other) {
                      return IsFile(path, release, other);
                    })) {
      continue;
    }
    std::string why = WhyUnlistable(path);
    if (why.empty()) {
      release_files.listed.push_back(std::move(path));
    } else {
      release_files.unlistable.push_back({std::move(path), std::move(why)});
    }
  }
  return release_files;
}

std::string WhyUnlistable(const std::string& path) {
  const ListedPath verdict = CheckListedPathText(path);
  if (verdict != ListedPath::kInside) return ListedPathReason(verdict);
  const std::string hash(32, '0');
  std::string written = WrittenEntry(path, hash);
  FileLock in(fmemopen(written.data(), written.size(), "r"));
  if (written.empty() || !in.isValid()) return std::strerror(errno);
  ChecksumListReader reader(in.get());
  std::string read_path, read_hash;
  const ListRead read = reader.Next(read_path, read_hash);
  if (read == ListRead::kMalformed) return reader.error();
  if (read != ListRead::kEntry || read_path != path || read_hash != hash ||
      reader.Next(read_path, read_hash) != ListRead::kEndAfterLineEnd) {
    return "white space in the name makes it read as another entry";
  }
  return std::string();
}

std::string PrintablePath(const std::string& path) {
  std::string printable;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      printable += "\\t";
    } else if (c == '\n') {
      printable += "\\n";
    } else if (c == '\r') {
      printable += "\\r";
    } else if (c == '\\') {
      printable += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", byte);
      printable += octal;
    } else {
      printable += c;
    }
  }
  return printable;
}

void ReportUnlistable(const char* tool, const char* what,
                      const std::vector<UnlistableFile>& files) {
  for (const UnlistableFile& file : files) {
    std::fprintf(stderr, "%s: %s (%s): %s\n", tool, what, file.reason.c_str(),
                 PrintablePath(file.path).c_str());
  }
}

long KeyOfList(const std::string& path) {
  FileLock file(std::fopen(path.c_str(), "r"));
  if (!file.isValid()) return 0;
  const ListHeader header = ReadListHeader(file.get());
  return header.keyword_ok ? header.key : 0;
}

bool DrawListKey(long replaced, long& key) {
  constexpr std::uint32_t kSpan = kHighestKey - kLowestKey + 1;
  // Draws at or above this limit are dropped, so that every key is as likely.
  constexpr std::uint32_t kLimit = UINT32_MAX - UINT32_MAX % kSpan;
  for (;;) {
    std::uint32_t draw = 0;
    const ssize_t got = getrandom(&draw, sizeof draw, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof draw)) {
      if (got >= 0) errno = EIO;
      return false;
    }
    if (draw >= kLimit) continue;
    key = kLowestKey + static_cast<long>(draw % kSpan);
    if (key != replaced) return true;
  }
}

bool WriteReleaseList(const std::vector<std::string>& files,
                      const std::string& output, const std::string& private_key,
                      long replaced_key, WrittenList& written,
                      std::string& error) {
  long key = 0;
  if (!DrawListKey(replaced_key, key)) {
    error =
        Fault("cannot draw a key from", "the system's random source", errno);
    return false;
  }
  AtomicFile list(output, LinkAtDestination::kReplace);
  if (!WriteEntries(files, key, list, error)) return false;
  std::optional<AtomicFile> signature;
  if (!private_key.empty()) {
    signature.emplace(output + ".sig", LinkAtDestination::kReplace);
    if (!WriteSignature(private_key, list, *signature, error)) return false;
  }
  if (!list.Commit()) {
    error = Fault("cannot write", output, errno);
    return false;
  }
  if (signature && !signature->Commit()) {
    error = Fault("cannot write", signature->path(), errno) +
            "; the new list is in place, but not its signature: run again";
    return false;
  }
  written = {static_cast<int>(files.size()), key, signature.has_value()};
  return true;
}
