// Tar extraction: the block state machine, entry creation and the archive
// driver for plain and gzip-compressed archives.
#include "archive/tar_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "archive/delayed_links.h"
#include "archive/gzip_reader.h"
#include "archive/path_guard.h"
#include "archive/tar_header.h"
#include "engine/atomic_file.h"

namespace {

// Stream buffer of the output file, and read chunk of a plain archive. Both
// are fixed; the read chunk is a multiple of the block size.
constexpr std::size_t kOutputBufferSize = 256 * 1024;
constexpr std::size_t kReadChunkSize = 256 * 1024;
constexpr std::size_t kCopyBufferSize = 64 * 1024;

// Everything the extractor remembers between blocks. One instance; reset at
// the start of every archive.
struct ExtractorState {
  std::string extractPath;            // prefix of every output path
  const char* inname = "";            // archive name, for messages
  FILE* infp = nullptr;               // the open archive
  std::unique_ptr<char[]> outbuf;     // lent to outfile, so it outlives it
  std::optional<AtomicFile> outfile;  // the file being written, or none
  bool outfileComplete = false;       // outfile has its data, times and mode
  long outsize = 0;                   // data bytes of the current entry to come
  bool didabs = false;                // some name lost a leading slash
  bool first = true;                  // no header has passed its checksum yet
  char nbuf[kNameBufferSize] = {};    // entry name, then its output path
  int mode = 0;                       // permission bits of the current entry
  utimbuf timestamp{};                // access and modification time to apply
  int failedEntries = 0;              // entries refused or not written
  DelayedLinks delayedLinks;          // hard links made after the last entry

  void reset(const char* filename, std::string prefix) {
    extractPath = std::move(prefix);
    inname = filename;
    infp = nullptr;
    outfile.reset();
    outfileComplete = false;
    outsize = 0;
    didabs = false;
    first = true;
    std::memset(nbuf, 0, sizeof nbuf);
    mode = 0;
    timestamp = {};
    failedEntries = 0;
    delayedLinks.Clear();
    if (!outbuf) outbuf = std::make_unique<char[]>(kOutputBufferSize);
  }
};

ExtractorState state;

// Resets the state for one archive and, on every path out of doarchive,
// closes the archive, removes a file that was not installed and forgets the
// links still waiting.
class ArchiveSession {
 public:
  ArchiveSession(const char* filename, std::string extractDir) {
    state.reset(filename, std::move(extractDir));
  }
  ~ArchiveSession() {
    state.outfile.reset();
    state.outfileComplete = false;
    state.delayedLinks.Clear();
    if (state.infp != nullptr) fclose(state.infp);
    state.infp = nullptr;
  }
  ArchiveSession(const ArchiveSession&) = delete;
  ArchiveSession& operator=(const ArchiveSession&) = delete;
};

// Prints the one line that says an entry was not extracted and why.
void refuse(const char* name, const char* reason) {
  fprintf(stderr, "%s: refused: %s\n", name, reason);
  ++state.failedEntries;
}

// Prints the system error `error` for `name`, as perror does, for an entry
// that was not extracted.
void reportFailure(const char* name, int error) {
  errno = error;
  perror(name);
  ++state.failedEntries;
}

// Drops the file being written after a failure: prints the system error for
// its path and removes its temporary file.
void dropFile() {
  reportFailure(state.outfile->path().c_str(), state.outfile->error());
  state.outfile.reset();
  state.outfileComplete = false;
}

// Writes `n` bytes of the current entry. On a write error the file is
// dropped and the rest of the entry is skipped.
void writeData(const unsigned char* data, std::size_t n) {
  if (!state.outfile) return;
  if (!state.outfile->Write(data, n)) dropFile();
}

// The current file has all its data: gives it the entry's times and mode. It
// is installed when the archive goes on past it.
void finishFile() {
  AtomicFile& file = *state.outfile;
  if (!file.SetTimes(state.timestamp.actime, state.timestamp.modtime) &&
      !file.ok()) {
    dropFile();
    return;
  }
  file.SetMode(static_cast<mode_t>(state.mode & 07777));
  state.outfileComplete = true;
}

// Installs the last file under its path when it is complete.
void installCompleteFile() {
  if (!state.outfileComplete) return;
  if (!state.outfile->Commit(Durability::kWriteBack)) {
    dropFile();
    return;
  }
  state.outfile.reset();
  state.outfileComplete = false;
}

// Creates the directory of every "/" in `path`, ignoring failures.
void makeParents(const char* path) {
  std::string prefix;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] != '/') continue;
    prefix.assign(path, i);
    mkdir(prefix.c_str(), 0777);
  }
}

// Builds extractPath + `name` into nbuf. False (with a printed line) when it
// does not fit or passes through a symbolic link.
bool setOutputPath(const char* name) {
  const std::string full = state.extractPath + name;
  if (full.size() >= kNameBufferSize) {
    refuse(name, "path too long");
    return false;
  }
  std::memcpy(state.nbuf, full.c_str(), full.size() + 1);
  if (!parentsAreReal(state.nbuf, state.extractPath.size())) {
    refuse(state.nbuf, "path passes through a symbolic link");
    return false;
  }
  return true;
}

// A regular file entry: open it; an empty one is finished at once.
void extractFile() {
  if (hasDotDotComponent(state.nbuf)) {
    refuse(state.nbuf, "name contains \"..\"");
    return;  // its data blocks are skipped
  }
  if (createpath(state.nbuf) != nullptr && state.outsize == 0) finishFile();
}

// A directory entry: one mkdir, failures ignored.
void extractDirectory() {
  if (hasDotDotComponent(state.nbuf)) {
    refuse(state.nbuf, "name contains \"..\"");
    return;
  }
  char name[kNameBufferSize];
  std::memcpy(name, state.nbuf, sizeof name);
  if (setOutputPath(name)) mkdir(state.nbuf, state.mode & 07777);
}

// Where the hard link target `linkto` of the current entry lies, relative to
// the working directory, or the empty string (with a printed line) when the
// target may not be used.
std::string hardlinkSourcePath(const char* linkto) {
  char target[kTarLinkTo.size + 1];
  const std::size_t length = strnlen(linkto, kTarLinkTo.size);
  std::memcpy(target, linkto, length);
  target[length] = '\0';
  const bool absolute = target[0] == '/' || target[0] == '\\';
  normaliseName(target);
  if (absolute || !hardlinkTargetStaysInside(target)) {
    refuse(state.nbuf, "link target leaves the extraction directory");
    return {};
  }
  const std::string source = state.extractPath + target;
  if (!parentsAreReal(source.c_str(), state.extractPath.size())) {
    refuse(state.nbuf, "link target passes through a symbolic link");
    return {};
  }
  return source;
}

// Makes the current entry's output path ready for a link: builds it into
// nbuf, creates its directories and removes what was there, unless that is a
// directory. An existing file is unlinked, never truncated, since it may be a
// hard link to a file that is still wanted. False when the path is refused.
bool prepareLinkPath() {
  char entry[kNameBufferSize];
  std::memcpy(entry, state.nbuf, sizeof entry);
  if (!setOutputPath(entry)) return false;
  makeParents(state.nbuf);
  struct stat st;
  if (lstat(state.nbuf, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(state.nbuf);
  return true;
}

// A symbolic link entry: made with its target text unchanged when the
// target stays inside the extraction directory, whether it exists or not.
void makeSymlink(const char* linkto) {
  if (!symlinkTargetStaysInside(state.nbuf, linkto)) {
    refuse(state.nbuf, "link target leaves the extraction directory");
    return;
  }
  if (prepareLinkPath()) linkorcopy(linkto, state.nbuf, true, nullptr);
}

// What a hard link does when its target does not exist (yet).
enum class MissingTarget {
  kWait,  // wait for the end of the archive
  kFail,  // fail with the system error for the target
};

// A hard link entry named in nbuf, to the member `linkto`.
void makeHardLink(const char* linkto, MissingTarget missing) {
  const std::string source = hardlinkSourcePath(linkto);
  if (source.empty()) return;
  const int fd =
      open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT && missing == MissingTarget::kWait) {
      state.delayedLinks.Add(
          {state.nbuf, linkto, source.substr(state.extractPath.size())});
    } else {
      reportFailure(linkto, errno);
    }
    return;
  }
  OwnedFile input(fdopen(fd, "rb"));
  if (!input) {
    const int error = errno;
    close(fd);
    reportFailure(linkto, error);
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    refuse(state.nbuf, "link target is not a regular file");
    return;
  }
  if (!prepareLinkPath()) return;
  linkorcopy(source.c_str(), state.nbuf, false, std::move(input));
}

// A hard (`sym` false) or symbolic link entry.
void extractLink(const unsigned char* blk, bool sym) {
  state.outsize = 0;
  if (hasDotDotComponent(state.nbuf)) {
    refuse(state.nbuf, "name contains \"..\"");
    return;
  }
  char linkto[kTarLinkTo.size + 1] = {};
  std::memcpy(linkto, blk + kTarLinkTo.offset, kTarLinkTo.size);
  if (sym) {
    makeSymlink(linkto);
  } else {
    makeHardLink(linkto, MissingTarget::kWait);
  }
}

// Makes the hard links whose targets came after them, now that every entry
// has been read. A target that is still missing is reported.
void makeDelayedLinks() {
  state.delayedLinks.MakeAll([](const DelayedLink& link) {
    std::memcpy(state.nbuf, link.name.c_str(), link.name.size() + 1);
    makeHardLink(link.linkto.c_str(), MissingTarget::kFail);
  });
}

// Copies the open file `source` with its mode and times to a new file that
// replaces `dst`. False, with the system error printed for `dst`, when that
// fails; `dst` is then as it was.
bool copyInto(FILE* source, const char* dst) {
  AtomicFile out(dst, LinkAtDestination::kReplace, StaleTemporaries::kKeep);
  auto buffer = std::make_unique<unsigned char[]>(kCopyBufferSize);
  std::size_t n;
  while (out.ok() &&
         (n = fread(buffer.get(), 1, kCopyBufferSize, source)) > 0) {
    out.Write(buffer.get(), n);
  }
  if (ferror(source)) {
    reportFailure(dst, EIO);
    return false;
  }
  struct stat st;
  if (out.ok() && fstat(fileno(source), &st) == 0) {
    out.SetTimes(st.st_atime, st.st_mtime);
    out.SetMode(st.st_mode & 07777);
  }
  if (!out.Commit(Durability::kWriteBack)) {
    reportFailure(dst, out.error());
    return false;
  }
  return true;
}

// Handles a header block; see untar.
int untarHeader(unsigned char* blk) {
  if (blk[0] == '\0') {
    if (state.didabs) {
      fprintf(stderr,
              "WARNING: Removed leading slashes because \"-p\" wasn't "
              "given.\n");
    }
    return 0;
  }
  // The archive goes on past the last file: it is complete.
  installCompleteFile();
  if (!isValidHeader(blk)) {
    if (state.first) {
      fprintf(stderr, "%s: not a valid tar file\n", state.inname);
    } else {
      printf("WARNING: Garbage detected; preceding file may be damaged\n");
    }
    return 1;
  }
  buildEntryName(blk, state.nbuf);
  if (normaliseName(state.nbuf)) state.didabs = true;
  if (!checksumMatches(blk)) {
    if (!state.first) {
      printf("WARNING: Garbage detected; preceding file may be damaged\n");
    }
    fflush(stdout);
    fprintf(stderr, "%s: header has bad checksum for %s\n", state.inname,
            state.nbuf);
    return 1;
  }
  state.first = false;
  char type = static_cast<char>(blk[kTarType.offset]);
  const std::size_t length = std::strlen(state.nbuf);
  if (state.nbuf[length - 1] == '/') type = '5';
  if (!state.delayedLinks.empty()) {
    // This entry replaces a link of the same name that waits for its target.
    state.delayedLinks.Cancel(std::string(
        state.nbuf, type == '5' && length > 1 ? length - 1 : length));
  }
  state.outsize = readOctalField(blk, kTarSize);
  state.timestamp.actime = state.timestamp.modtime =
      static_cast<time_t>(readOctalField(blk, kTarMtime));
  state.mode = static_cast<int>(readOctalField(blk, kTarMode));
  switch (type) {
    case '1':
    case '2':
      extractLink(blk, type == '2');
      break;
    case '5':
      extractDirectory();
      break;
    case '3':
    case '4':
    case '6':
      state.outsize = 0;
      break;
    default:
      extractFile();
      break;
  }
  return 0;
}

}  // namespace

int untar(unsigned char* blk) {
  if (state.outsize > static_cast<long>(kTarBlockSize)) {
    writeData(blk, kTarBlockSize);
    state.outsize -= kTarBlockSize;
    return 0;
  }
  if (state.outsize > 0) {
    writeData(blk, static_cast<std::size_t>(state.outsize));
    if (state.outfile) finishFile();
    state.outsize = 0;
    return 0;
  }
  return untarHeader(blk);
}

int untarBlocks(unsigned char* blocks, std::size_t count) {
  std::size_t i = 0;
  while (i < count) {
    if (state.outsize > static_cast<long>(kTarBlockSize)) {
      // Every data block before the entry's last one, in one write.
      std::size_t run =
          static_cast<std::size_t>(state.outsize - 1) / kTarBlockSize;
      if (run > count - i) run = count - i;
      writeData(blocks + i * kTarBlockSize, run * kTarBlockSize);
      state.outsize -= static_cast<long>(run * kTarBlockSize);
      i += run;
      continue;
    }
    if (untar(blocks + i * kTarBlockSize) != 0) return 1;
    ++i;
  }
  return 0;
}

FILE* createpath(const char* name) {
  char entry[kNameBufferSize];
  std::memcpy(entry, name, std::strlen(name) + 1);
  if (!setOutputPath(entry)) return nullptr;
  struct stat st;
  if (lstat(state.nbuf, &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      refuse(state.nbuf, "path is a symbolic link");
      return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
      reportFailure(state.nbuf, EISDIR);
      return nullptr;
    }
  }
  state.outfile.emplace(state.nbuf, LinkAtDestination::kReplace,
                          StaleTemporaries::kKeep);
  if (!state.outfile->ok() && state.outfile->error() == ENOENT) {
    makeParents(state.nbuf);
    state.outfile.emplace(state.nbuf, LinkAtDestination::kReplace,
                          StaleTemporaries::kKeep);
  }
  FILE* f = state.outfile->ok() ? state.outfile->stream() : nullptr;
  if (f == nullptr) {
    dropFile();
    return nullptr;
  }
  setvbuf(f, state.outbuf.get(), _IOFBF, kOutputBufferSize);
  return f;
}

void linkorcopy(const char* src, const char* dst, bool sym, OwnedFile source) {
  if (sym) {
    if (symlink(src, dst) != 0) reportFailure(dst, errno);
    return;
  }
  if (link(src, dst) == 0) return;
  if (!source) {
    reportFailure(dst, errno);
  } else if (copyInto(source.get(), dst)) {
    printf("%s: copy instead of link\n", dst);
  }
}

namespace {

// Reads the archive in `state.infp` to its end or its first fault, with the
// messages of doarchive. Returns doarchive's value.
int readArchive(const char* filename) {
  auto chunk = std::make_unique<unsigned char[]>(kReadChunkSize);
  std::size_t have = fread(chunk.get(), 1, kGzipHeaderSize, state.infp);
  if (have >= 2 && isGzipMagic(chunk.get())) {
    char gunzipname[kGunzipNameSize];
    if (readGzipHeader(state.infp, chunk.get(), gunzipname) ==
        GzipStatus::kUnsupportedMethod) {
      fprintf(stderr, "Unsupported compression type\n");
      return 0;
    }
    if (inflate(state.infp, untarBlocks) != GzipStatus::kOk) {
      fprintf(stderr, "%s: bad compression data\n", filename);
      return 0;
    }
    return 1;
  }
  for (;;) {
    have += fread(chunk.get() + have, 1, kReadChunkSize - have, state.infp);
    const std::size_t blocks = have / kTarBlockSize;
    if (blocks == 0) return 1;  // a short last block is not processed
    if (untarBlocks(chunk.get(), blocks) != 0) return 0;
    have -= blocks * kTarBlockSize;
    std::memmove(chunk.get(), chunk.get() + blocks * kTarBlockSize, have);
  }
}

}  // namespace

int doarchive(const char* filename, std::string extractDir,
              ExtractReport& report) {
  ArchiveSession session(filename, std::move(extractDir));
  state.infp = fopen(filename, "rb");
  if (state.infp == nullptr) {
    perror(filename);
    report = {};
    return 0;
  }
  const int result = readArchive(filename);
  if (result == 1) {
    installCompleteFile();
    if (state.outsize != 0) {
      printf("WARNING: Last file might be truncated!\n");
    }
  }
  if (state.outfile) {
    // The archive ended or broke off while this file was written, or before
    // it went on past it: the file is not installed.
    ++state.failedEntries;
    state.outfile.reset();
  }
  makeDelayedLinks();
  report.failedEntries = state.failedEntries;
  return result;
}

int doarchive(const char* filename, std::string extractDir) {
  ExtractReport report;
  return doarchive(filename, std::move(extractDir), report);
}
