// Tar extraction: the block state machine, entry creation and the archive
// driver for plain and gzip-compressed archives.
#include "archive/tar_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>

#include "archive/gzip_reader.h"
#include "archive/path_guard.h"
#include "archive/tar_header.h"

namespace {

// Stream buffer of the output file, and read chunk of a plain archive. Both
// are fixed; the read chunk is a multiple of the block size.
constexpr std::size_t kOutputBufferSize = 256 * 1024;
constexpr std::size_t kReadChunkSize = 256 * 1024;
constexpr std::size_t kCopyBufferSize = 64 * 1024;

// Everything the extractor remembers between blocks. One instance; reset at
// the start of every archive.
struct ExtractorState {
  std::string extractPath;          // prefix of every output path
  const char* inname = "";          // archive name, for messages
  FILE* infp = nullptr;             // the open archive
  FILE* outfp = nullptr;            // the file being written, or null
  long outsize = 0;                 // data bytes of the current entry to come
  bool didabs = false;              // some name lost a leading slash
  bool first = true;                // no header has passed its checksum yet
  char nbuf[kNameBufferSize] = {};  // entry name, then its output path
  int mode = 0;                     // permission bits of the current entry
  utimbuf timestamp{};              // access and modification time to apply
  std::unique_ptr<char[]> outbuf;   // stream buffer lent to outfp

  void reset(const char* filename, std::string prefix) {
    extractPath = std::move(prefix);
    inname = filename;
    infp = nullptr;
    outfp = nullptr;
    outsize = 0;
    didabs = false;
    first = true;
    std::memset(nbuf, 0, sizeof nbuf);
    mode = 0;
    timestamp = {};
    if (!outbuf) outbuf = std::make_unique<char[]>(kOutputBufferSize);
  }
};

ExtractorState state;

// Resets the state for one archive and closes whatever is still open when
// the archive is done, on every path out of doarchive.
class ArchiveSession {
 public:
  ArchiveSession(const char* filename, std::string extractDir) {
    state.reset(filename, std::move(extractDir));
  }
  ~ArchiveSession() {
    if (state.outfp != nullptr) fclose(state.outfp);
    state.outfp = nullptr;
    if (state.infp != nullptr) fclose(state.infp);
    state.infp = nullptr;
  }
  ArchiveSession(const ArchiveSession&) = delete;
  ArchiveSession& operator=(const ArchiveSession&) = delete;
};

// Prints the one line that says an entry was not extracted and why.
void refuse(const char* name, const char* reason) {
  fprintf(stderr, "%s: refused: %s\n", name, reason);
}

// Writes `n` bytes of the current entry. On a write error prints the system
// error once and drops the rest of the entry.
void writeData(const unsigned char* data, std::size_t n) {
  if (state.outfp == nullptr) return;
  if (fwrite(data, 1, n, state.outfp) != n) {
    perror(state.nbuf);
    fclose(state.outfp);
    state.outfp = nullptr;
  }
}

// Closes the current output file and gives it the entry's times and mode.
void finishFile() {
  FILE* f = state.outfp;
  state.outfp = nullptr;
  if (fclose(f) != 0) {
    perror(state.nbuf);
    return;
  }
  utime(state.nbuf, &state.timestamp);
  chmod(state.nbuf, state.mode & 07777);
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

int openForWriting(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
              0666);
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
  state.outfp = createpath(state.nbuf);
  if (state.outsize == 0 && state.outfp != nullptr) finishFile();
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

// Where the link target `linkto` of the current entry lies, relative to the
// working directory, or the empty string (with a printed line) when the
// target may not be used.
std::string linkSourcePath(const char* linkto, bool sym) {
  if (sym) {
    if (!symlinkTargetStaysInside(state.nbuf, linkto)) {
      refuse(state.nbuf, "link target leaves the extraction directory");
      return {};
    }
    const char* slash = std::strrchr(state.nbuf, '/');
    std::string dir(state.nbuf, slash == nullptr ? 0 : slash - state.nbuf + 1);
    return state.extractPath + dir + linkto;
  }
  char target[kTarLinkTo.size + 1];
  std::memcpy(target, linkto, sizeof target);
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

// A hard (`sym` false) or symbolic link entry.
void extractLink(const unsigned char* blk, bool sym) {
  state.outsize = 0;
  if (hasDotDotComponent(state.nbuf)) {
    refuse(state.nbuf, "name contains \"..\"");
    return;
  }
  char linkto[kTarLinkTo.size + 1] = {};
  std::memcpy(linkto, blk + kTarLinkTo.offset, kTarLinkTo.size);
  const std::string source = linkSourcePath(linkto, sym);
  if (source.empty()) return;
  const int fd = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC |
                                          (sym ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    perror(linkto);
    return;
  }
  OwnedFile input(fdopen(fd, "rb"));
  if (!input) {
    close(fd);
    perror(linkto);
    return;
  }
  struct stat st;
  if (!sym && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    refuse(state.nbuf, "link target is not a regular file");
    return;
  }
  if (!prepareLinkPath()) return;
  linkorcopy(sym ? linkto : source.c_str(), state.nbuf, sym, std::move(input));
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
  if (state.nbuf[std::strlen(state.nbuf) - 1] == '/') type = '5';
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
    if (state.outfp != nullptr) {
      writeData(blk, static_cast<std::size_t>(state.outsize));
      if (state.outfp != nullptr) finishFile();
    }
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
  int fd = openForWriting(state.nbuf);
  if (fd < 0 && errno != ELOOP) {
    makeParents(state.nbuf);
    fd = openForWriting(state.nbuf);
  }
  if (fd < 0) {
    if (errno == ELOOP) {
      refuse(state.nbuf, "path is a symbolic link");
    } else {
      perror(state.nbuf);
    }
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    perror(state.nbuf);
    close(fd);
    return nullptr;
  }
  setvbuf(f, state.outbuf.get(), _IOFBF, kOutputBufferSize);
  return f;
}

void linkorcopy(const char* src, const char* dst, bool sym, OwnedFile source) {
  if (sym) {
    if (symlink(src, dst) != 0) perror(dst);
    return;
  }
  if (link(src, dst) == 0) return;
  const int fd = openForWriting(dst);
  OwnedFile out(fd < 0 ? nullptr : fdopen(fd, "wb"));
  if (!out) {
    if (fd >= 0) close(fd);
    perror(dst);
    return;
  }
  auto buffer = std::make_unique<unsigned char[]>(kCopyBufferSize);
  std::size_t n;
  while (source &&
         (n = fread(buffer.get(), 1, kCopyBufferSize, source.get())) > 0) {
    if (fwrite(buffer.get(), 1, n, out.get()) != n) break;
  }
  if (ferror(out.get()) || fclose(out.release()) != 0) perror(dst);
  printf("%s: copy instead of link\n", dst);
}

int doarchive(const char* filename, std::string extractDir) {
  ArchiveSession session(filename, std::move(extractDir));
  state.infp = fopen(filename, "rb");
  if (state.infp == nullptr) {
    perror(filename);
    return 0;
  }
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
  } else {
    for (;;) {
      have += fread(chunk.get() + have, 1, kReadChunkSize - have, state.infp);
      const std::size_t blocks = have / kTarBlockSize;
      if (blocks == 0) break;  // a short last block is not processed
      if (untarBlocks(chunk.get(), blocks) != 0) return 0;
      have -= blocks * kTarBlockSize;
      std::memmove(chunk.get(), chunk.get() + blocks * kTarBlockSize, have);
    }
  }
  if (state.outsize != 0) {
    printf("WARNING: Last file might be truncated!\n");
    if (state.outfp != nullptr) fclose(state.outfp);
    state.outfp = nullptr;
  }
  return 1;
}
