// Applying a patch: the frame decoded with the local copy as its prefix,
// streamed into the caller's file under a cap.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "engine/atomic_file.h"
#include "engine/scoped_fd.h"
#include "patch/file_patch.h"
#include "patch/mapped_file.h"
#include "patch/zstd_context.h"

namespace {

// Bytes of patch read, and of decoded file written, at a time.
constexpr std::size_t kChunkSize = std::size_t{1} << 20;

constexpr char kTrailingBytes[] = "bytes after the end of the patch";

// The status of one of libzstd's decoding errors.
PatchResult DecodeFailure(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_frameParameter_windowTooLarge:
      return PatchFailure(PatchStatus::kWindowTooLarge, 0,
                          ZSTD_getErrorName(code));
    case ZSTD_error_memory_allocation:
      return PatchFailure(PatchStatus::kCodecFailed, 0,
                          ZSTD_getErrorName(code));
    default:
      return PatchFailure(PatchStatus::kCorrupt, 0, ZSTD_getErrorName(code));
  }
}

// Decodes one frame fed to it in pieces into `out`, never writing more than
// the cap. Any failure ends it: later pieces are ignored.
class PatchDecoder {
 public:
  // `file`, when given, is the file `out` appends to: one that cannot be
  // written fails the decoding before it starts.
  PatchDecoder(const MappedFile& reference, const PatchSink& out,
               std::uint64_t cap, const AtomicFile* file = nullptr)
      : out_(out), cap_(cap), buffer_(new std::uint8_t[kChunkSize]) {
    if (file != nullptr && !file->ok()) {
      Fail(PatchFailure(PatchStatus::kWriteFailed, file->error()));
      return;
    }
    dctx_.reset(ZSTD_createDCtx());
    if (!dctx_) {
      Fail(PatchFailure(PatchStatus::kCodecFailed, 0, "out of memory"));
      return;
    }
    std::size_t set = ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax,
                                             kPatchWindowLogMax);
    if (!ZSTD_isError(set) && reference.size() > 0) {
      set =
          ZSTD_DCtx_refPrefix(dctx_.get(), reference.data(), reference.size());
    }
    if (ZSTD_isError(set)) {
      Fail(PatchFailure(PatchStatus::kCodecFailed, 0, ZSTD_getErrorName(set)));
    }
  }

  // False once decoding has failed or the frame has ended.
  bool wants_more() const { return result_.ok() && !frame_done_; }
  // True once decoding has failed.
  bool failed() const { return !result_.ok(); }
  // The decoded bytes written so far.
  std::uint64_t output_bytes() const { return result_.output_bytes; }

  // Decodes the next `size` bytes of the patch. The first piece must hold
  // the whole frame header when the patch has one (any piece of up to
  // ZSTD_FRAMEHEADERSIZE_MAX bytes, or the whole patch if shorter).
  void Feed(const std::uint8_t* data, std::size_t size) {
    if (!result_.ok() || size == 0) return;
    if (frame_done_) {
      Fail(PatchFailure(PatchStatus::kCorrupt, 0, kTrailingBytes));
      return;
    }
    if (!started_ && !Start(data, size)) return;
    ZSTD_inBuffer in{data, size, 0};
    for (;;) {
      // One byte more than the cap allows is enough to tell it was passed.
      const std::uint64_t room = cap_ - result_.output_bytes;
      ZSTD_outBuffer piece{buffer_.get(),
                           room < kChunkSize ? room + 1 : kChunkSize, 0};
      const std::size_t taken = in.pos;
      const std::size_t hint = ZSTD_decompressStream(dctx_.get(), &piece, &in);
      if (ZSTD_isError(hint)) {
        Fail(DecodeFailure(hint));
        return;
      }
      if (!Emit(piece.pos)) return;
      if (hint == 0) {
        frame_done_ = true;
        if (in.pos < in.size) {
          Fail(PatchFailure(PatchStatus::kCorrupt, 0, kTrailingBytes));
        }
        return;
      }
      // Everything taken and nothing held back: the next piece is needed.
      if (in.pos == in.size && piece.pos < piece.size) return;
      if (in.pos == taken && piece.pos == 0) {
        // libzstd always moves on; never loop if it did not.
        Fail(PatchFailure(PatchStatus::kCorrupt, 0,
                          "the decoder made no progress"));
        return;
      }
    }
  }

  // The outcome once the whole patch was fed.
  PatchResult Finish() {
    if (result_.ok() && !frame_done_) {
      Fail(PatchFailure(
          PatchStatus::kCorrupt, 0,
          started_ ? "the patch ends inside its frame" : "the patch is empty"));
    }
    return result_;
  }

 private:
  // Checks what the frame header says before anything is decoded.
  bool Start(const std::uint8_t* data, std::size_t size) {
    started_ = true;
    const std::uint32_t magic = ZSTD_MAGICNUMBER;
    const std::uint8_t expected[4] = {static_cast<std::uint8_t>(magic),
                                      static_cast<std::uint8_t>(magic >> 8),
                                      static_cast<std::uint8_t>(magic >> 16),
                                      static_cast<std::uint8_t>(magic >> 24)};
    if (size < 4 || std::memcmp(data, expected, 4) != 0) {
      Fail(PatchFailure(PatchStatus::kCorrupt, 0, "not a zstd frame"));
      return false;
    }
    const unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN &&
        declared != ZSTD_CONTENTSIZE_ERROR && declared > cap_) {
      Fail(PatchFailure(
          PatchStatus::kOutputTooLarge, 0,
          "the patch declares " + std::to_string(declared) + " bytes"));
      return false;
    }
    return true;
  }

  // Writes the `size` decoded bytes in the buffer, unless they pass the cap.
  bool Emit(std::size_t size) {
    if (size > cap_ - result_.output_bytes) {
      const std::size_t allowed = cap_ - result_.output_bytes;
      if (allowed == 0 || out_(buffer_.get(), allowed)) {
        result_.output_bytes += allowed;
      }
      Fail(PatchFailure(PatchStatus::kOutputTooLarge));
      return false;
    }
    errno = 0;
    if (size > 0 && !out_(buffer_.get(), size)) {
      Fail(PatchFailure(PatchStatus::kWriteFailed, errno));
      return false;
    }
    result_.output_bytes += size;
    return true;
  }

  void Fail(PatchResult failure) {
    failure.output_bytes = result_.output_bytes;
    result_ = std::move(failure);
  }

  const PatchSink& out_;
  const std::uint64_t cap_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  DecompressionContext dctx_;
  PatchResult result_;
  bool started_ = false;
  bool frame_done_ = false;
};

PatchResult MapFailure(const MappedFile& reference) {
  return PatchFailure(reference.error() == MapError::kMissing
                          ? PatchStatus::kReferenceMissing
                          : PatchStatus::kReferenceUnreadable,
                      reference.error_number());
}

// Reads from `fd` until `size` bytes or the end of the file. Returns the
// bytes read, or -1 (errno set) on a failed read.
ssize_t ReadUpTo(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t have = 0;
  while (have < size) {
    const ssize_t got = ::read(fd, data + have, size - have);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    have += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(have);
}

// Opens the patch file for reading; an invalid descriptor and `failure` set
// when it cannot be read.
ScopedFd OpenPatch(const std::string& path, PatchResult& failure) {
  // O_NONBLOCK: a FIFO without a writer must not stop the caller.
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!fd.valid()) {
    failure = PatchFailure(errno == ENOENT || errno == ENOTDIR
                               ? PatchStatus::kInputMissing
                               : PatchStatus::kInputUnreadable,
                           errno);
  } else if (::fstat(fd.get(), &info) != 0) {
    failure = PatchFailure(PatchStatus::kInputUnreadable, errno);
    fd.reset();
  } else if (!S_ISREG(info.st_mode)) {
    failure = PatchFailure(PatchStatus::kInputUnreadable, EINVAL);
    fd.reset();
  }
  return fd;
}

// The sink that appends to `out`, its own errno given for a failed write.
PatchSink AppendingTo(AtomicFile& out) {
  return [&out](const std::uint8_t* data, std::size_t size) {
    if (out.Write(data, size)) return true;
    errno = out.error();
    return false;
  };
}

// Decodes the patch file at `patch_path` into `out` (appending to `file`
// when given).
PatchResult DecodePatchFile(const std::string& reference_path,
                            const std::string& patch_path, const PatchSink& out,
                            const PatchLimits& limits, const AtomicFile* file) {
  const MappedFile reference(reference_path);
  if (reference.error() != MapError::kNone) return MapFailure(reference);
  PatchResult failure;
  ScopedFd patch = OpenPatch(patch_path, failure);
  if (!patch.valid()) return failure;

  PatchDecoder decoder(reference, out, limits.max_output, file);
  std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[kChunkSize]);
  while (!decoder.failed()) {
    // Whole pieces: the first one then holds the frame header. Once the
    // frame has ended, one more byte tells whether bytes follow it.
    const bool frame_ended = !decoder.wants_more();
    const ssize_t got =
        ReadUpTo(patch.get(), chunk.get(), frame_ended ? 1 : kChunkSize);
    if (got < 0) {
      PatchResult result = PatchFailure(PatchStatus::kInputUnreadable, errno);
      result.output_bytes = decoder.output_bytes();
      return result;
    }
    if (got == 0) break;
    decoder.Feed(chunk.get(), static_cast<std::size_t>(got));
    if (frame_ended) break;
  }
  return decoder.Finish();
}

}  // namespace

PatchResult ApplyPatch(const std::string& reference_path,
                       const std::string& patch_path, const PatchSink& out,
                       const PatchLimits& limits) {
  return DecodePatchFile(reference_path, patch_path, out, limits, nullptr);
}

PatchResult ApplyPatch(const std::string& reference_path,
                       const std::string& patch_path, AtomicFile& out,
                       const PatchLimits& limits) {
  return DecodePatchFile(reference_path, patch_path, AppendingTo(out), limits,
                         &out);
}

PatchResult ApplyPatch(const std::string& reference_path,
                       std::span<const std::uint8_t> patch, AtomicFile& out,
                       const PatchLimits& limits) {
  const MappedFile reference(reference_path);
  if (reference.error() != MapError::kNone) return MapFailure(reference);
  const PatchSink sink = AppendingTo(out);
  PatchDecoder decoder(reference, sink, limits.max_output, &out);
  decoder.Feed(patch.data(), patch.size());
  return decoder.Finish();
}
