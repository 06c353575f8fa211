// Tar extraction: the block state machine, file entries and the archive
// driver for plain and gzip-compressed archives.
#include "archive/tar_extract.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "archive/gzip_reader.h"
#include "archive/path_guard.h"
#include "archive/tar_header.h"
#include "archive/tar_links.h"
#include "engine/atomic_file.h"
#include "engine/paths.h"

namespace {

// Stream buffer of the output file, and read chunk of a plain archive. Both
// are fixed; the read chunk is a multiple of the block size.
constexpr std::size_t kOutputBufferSize = 256 * 1024;
constexpr std::size_t kReadChunkSize = 256 * 1024;

// Everything the extractor remembers between blocks. One instance; reset at
// the start of every archive but for `didabs` and `first`, which last for the
// process, and `outsize`, which an archive that ended inside an entry leaves
// to the next.
struct ExtractorState {
  std::string extractPath;            // prefix of every output path
  const char* inname = "";            // archive name, for messages
  char outbuf[kOutputBufferSize];     // lent to outfile, so it outlives it
  std::optional<AtomicFile> outfile;  // the file being written, or none
  long outsize = 0;                   // data bytes of the current entry to come
  bool didabs = false;                // some name lost a leading slash
  bool first = true;                  // no header has passed its checksum yet
  char nbuf[kNameBufferSize] = {};    // entry name, then its output path
  int mode = 0;                       // permission bits of the current entry
  time_t mtime = 0;                   // access and modification time to apply
  int failedEntries = 0;              // entries refused or not written
};

ExtractorState state;

// Drops the file being written after a failure: prints the system error for
// its path and removes its temporary file.
void dropFile() {
  errno = state.outfile->error();
  perror(state.outfile->path().c_str());
  ++state.failedEntries;
  state.outfile.reset();
}

// Writes `n` bytes of the current entry. On a write error the file is
// dropped and the rest of the entry is skipped.
void writeData(const unsigned char* data, std::size_t n) {
  if (state.outfile && !state.outfile->Write(data, n)) dropFile();
}

// Installs the file being written under its path: with the entry's times
// and mode when `complete`, as it is when the archive broke off in it.
// False when that failed and the file was dropped.
bool installFile(bool complete) {
  AtomicFile& file = *state.outfile;
  if (complete) {
    file.SetTimes(state.mtime, state.mtime);
    file.SetMode(static_cast<mode_t>(state.mode & 07777));
  }
  if (!file.Commit(Durability::kWriteBack)) {
    dropFile();
    return false;
  }
  state.outfile.reset();
  return true;
}

// Writes the output path of the entry `name` into `state.nbuf`. False, with
// the entry counted as failed, when buildOutputPath refuses it.
bool toOutputPath(const char* name) {
  char entry[kNameBufferSize];
  std::memcpy(entry, name, std::strlen(name) + 1);
  if (buildOutputPath(state.extractPath, entry, state.nbuf, sizeof entry)) {
    return true;
  }
  ++state.failedEntries;
  return false;
}

// Checks the header `blk`, printing the messages of a bad one. False when
// it is not valid or fails its checksum.
bool acceptHeader(unsigned char* blk) {
  const bool valid = isValidHeader(blk);
  if (valid) {
    buildEntryName(blk, state.nbuf);
    if (normaliseName(state.nbuf)) state.didabs = true;
    if (checksumMatches(blk)) return true;
  } else if (state.first) {
    fprintf(stderr, "%s: not a valid tar file\n", state.inname);
  }
  if (!state.first) {
    printf("WARNING: Garbage detected; preceding file may be damaged\n");
  }
  if (valid) {
    fflush(stdout);
    fprintf(stderr, "%s: header has bad checksum for %s\n", state.inname,
            state.nbuf);
  }
  return false;
}

// Handles a header block: 0 to go on, 1 when it is neither the end-of-archive
// block nor a valid header with a matching checksum (its message printed).
int untarHeader(unsigned char* blk) {
  if (blk[0] == '\0') {
    if (state.didabs) {
      fprintf(stderr,
              "WARNING: Removed leading slashes because \"-p\" wasn't "
              "given.\n");
    }
    return 0;
  }
  if (!acceptHeader(blk)) return 1;
  state.first = false;
  char type = static_cast<char>(blk[kTarType.offset]);
  if (state.nbuf[std::strlen(state.nbuf) - 1] == '/') type = '5';
  state.outsize = readOctalField(blk, kTarSize);
  state.mtime = static_cast<time_t>(readOctalField(blk, kTarMtime));
  state.mode = static_cast<int>(readOctalField(blk, kTarMode));
  const bool device = type == '3' || type == '4' || type == '6';
  const bool link = type == '1' || type == '2';
  if (device || link) state.outsize = 0;  // no data blocks follow
  if (device) return 0;  // character device, block device, FIFO: not made
  if (hasDotDotComponent(state.nbuf)) {
    printRefusal(state.nbuf, "name contains \"..\"");
    ++state.failedEntries;
    return 0;  // the data blocks of a file are skipped
  }
  if (link) {
    char linkto[kTarLinkTo.size + 1] = {};
    std::memcpy(linkto, blk + kTarLinkTo.offset, kTarLinkTo.size);
    const LinkKind kind = type == '2' ? LinkKind::kSymbolic : LinkKind::kHard;
    if (!extractLink(state.extractPath, state.nbuf, linkto, kind)) {
      ++state.failedEntries;
    }
  } else if (type == '5') {
    // One mkdir, failures ignored.
    if (toOutputPath(state.nbuf)) mkdir(state.nbuf, state.mode & 07777);
  } else if (createpath(state.nbuf) != nullptr && state.outsize == 0) {
    installFile(true);  // an empty file is complete at once
  }
  return 0;
}

// Processes `count` consecutive blocks of the archive: data of the current
// entry, written in runs, or the next header, whose entry is then created.
// Returns 1 at the first block untarHeader stops at, else 0.
int untarBlocks(unsigned char* blocks, std::size_t count) {
  std::size_t i = 0;
  while (i < count) {
    unsigned char* blk = blocks + i * kTarBlockSize;
    if (state.outsize > static_cast<long>(kTarBlockSize)) {
      // Every data block before the entry's last one, in one write.
      const std::size_t run =
          std::min(static_cast<std::size_t>(state.outsize - 1) / kTarBlockSize,
                   count - i);
      writeData(blk, run * kTarBlockSize);
      state.outsize -= static_cast<long>(run * kTarBlockSize);
      i += run;
      continue;
    }
    if (state.outsize > 0) {
      writeData(blk, static_cast<std::size_t>(state.outsize));
      if (state.outfile) installFile(true);
      state.outsize = 0;
    } else if (untarHeader(blk) != 0) {
      return 1;
    }
    ++i;
  }
  return 0;
}

// Reads the archive `in` to its end (kOk) or its first fault: a bad header, a
// compression method other than deflate or a failed read of a plain archive
// (kStopped, its line printed), or bad compressed data (kBadData, also for a
// bad header in the decoded data).
GzipStatus readArchive(FILE* in) {
  // A read that fails (a directory, an I/O error) is no end of the archive.
  const auto readFailed = [in] {
    if (!ferror(in)) return false;
    perror(state.inname);
    return true;
  };
  auto chunk = std::make_unique<unsigned char[]>(kReadChunkSize);
  std::size_t have = fread(chunk.get(), 1, kGzipHeaderSize, in);
  if (readFailed()) return GzipStatus::kStopped;
  if (have >= 2 && isGzipMagic(chunk.get())) {
    if (readGzipHeader(in, chunk.get()) == GzipStatus::kUnsupportedMethod) {
      fprintf(stderr, "Unsupported compression type\n");
      return GzipStatus::kStopped;
    }
    const GzipStatus decoded = inflate(in, untarBlocks);
    return decoded == GzipStatus::kOk ? decoded : GzipStatus::kBadData;
  }
  for (;;) {
    have += fread(chunk.get() + have, 1, kReadChunkSize - have, in);
    if (readFailed()) return GzipStatus::kStopped;
    const std::size_t blocks = have / kTarBlockSize;
    if (blocks == 0) return GzipStatus::kOk;  // short last block
    if (untarBlocks(chunk.get(), blocks) != 0) return GzipStatus::kStopped;
    have -= blocks * kTarBlockSize;
    std::memmove(chunk.get(), chunk.get() + blocks * kTarBlockSize, have);
  }
}

}  // namespace

int untar(unsigned char* blk) { return untarBlocks(blk, 1); }

FILE* createpath(const char* name) {
  if (!toOutputPath(name)) return nullptr;
  struct stat st;
  const bool exists = lstat(state.nbuf, &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    printRefusal(state.nbuf, "path is a symbolic link");
  } else if (exists && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    perror(state.nbuf);
  }
  if ((exists && (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode))) ||
      !mayReplace(state.nbuf)) {
    ++state.failedEntries;
    return nullptr;
  }
  state.outfile.emplace(state.nbuf, LinkAtDestination::kReplace);
  if (!state.outfile->ok() && state.outfile->error() == ENOENT) {
    MakeParentDirectories(state.nbuf);
    state.outfile.emplace(state.nbuf, LinkAtDestination::kReplace);
  }
  if (!state.outfile->ok()) {
    dropFile();
    return nullptr;
  }
  FILE* f = state.outfile->stream();
  setvbuf(f, state.outbuf, _IOFBF, sizeof state.outbuf);
  return f;
}

int doarchive(const char* filename, std::string extractDir,
              ExtractReport& report) {
  report = {};
  state.extractPath = std::move(extractDir);
  state.inname = filename;
  state.failedEntries = 0;
  const OwnedFile archive(fopen(filename, "rb"));
  if (!archive) {
    perror(filename);
    return 0;
  }
  const GzipStatus outcome = readArchive(archive.get());
  if (outcome == GzipStatus::kBadData) {
    fprintf(stderr, "%s: bad compression data\n", filename);
    report.badCompressedData = true;
    if (state.outfile) ++state.failedEntries;  // not installed: removed below
    state.outsize = 0;  // the entry is given up: nothing of it is to come
  } else if (state.outsize != 0) {
    printf("WARNING: Last file might be truncated!\n");
    // The cut entry counts as failed once, installed or not.
    if (state.outfile && installFile(false)) ++state.failedEntries;
  }
  state.outfile.reset();
  report.failedEntries = state.failedEntries;
  return outcome == GzipStatus::kOk ? 1 : 0;
}

int doarchive(const char* filename, std::string extractDir) {
  ExtractReport report;
  return doarchive(filename, std::move(extractDir), report);
}

void ForgetEarlierArchives() {
  state.didabs = false;
  state.first = true;
  state.outsize = 0;
}
