// gzip member header and raw inflate through zlib.
#include "archive/gzip_reader.h"

#include <zlib.h>

#include <cstring>
#include <memory>

namespace {

// Input is read in chunks of kInputSize; decoded bytes are handed on each
// time the 32 KiB window fills, so that what was decoded before bad data is
// already extracted when decoding fails. Both sizes are fixed, so memory use
// does not depend on the archive; the window is a multiple of 512, so a full
// window leaves no partial block behind.
constexpr std::size_t kInputSize = 256 * 1024;
constexpr std::size_t kOutputSize = 32 * 1024;
constexpr std::size_t kBlock = 512;

// Bits of the member header's flags.
constexpr unsigned kFlagHeaderCrc = 2;
constexpr unsigned kFlagExtra = 4;
constexpr unsigned kFlagName = 8;
constexpr unsigned kFlagComment = 16;

// Reads up to and including a NUL, or to the end of `in`.
void skipZeroTerminated(FILE* in) {
  int c;
  while ((c = getc(in)) != EOF && c != '\0') {
  }
}

// Decodes one DEFLATE stream into a fixed output window that is handed on
// block by block.
class MemberDecoder {
 public:
  MemberDecoder(FILE* infp, BlockSink sink)
      : infp_(infp),
        sink_(sink),
        input_(std::make_unique<unsigned char[]>(kInputSize)),
        window_(std::make_unique<unsigned char[]>(kOutputSize)),
        ready_(inflateInit2(&s_, -MAX_WBITS) == Z_OK) {}
  ~MemberDecoder() {
    if (ready_) inflateEnd(&s_);
  }

  GzipStatus run() {
    if (!ready_) return GzipStatus::kBadData;
    for (;;) {
      if (s_.avail_in == 0) {
        s_.avail_in =
            static_cast<uInt>(fread(input_.get(), 1, kInputSize, infp_));
        s_.next_in = input_.get();
        if (s_.avail_in == 0) return GzipStatus::kBadData;  // end of file
      }
      s_.next_out = window_.get() + have_;
      s_.avail_out = static_cast<uInt>(kOutputSize - have_);
      const int ret = ::inflate(&s_, Z_NO_FLUSH);
      have_ = kOutputSize - s_.avail_out;
      if (ret == Z_STREAM_END) {
        // The trailer that follows is not read.
        return flush_output() != 0 ? GzipStatus::kStopped : GzipStatus::kOk;
      }
      if (ret != Z_OK && ret != Z_BUF_ERROR) return GzipStatus::kBadData;
      if (ret == Z_BUF_ERROR && s_.avail_in != 0 && s_.avail_out != 0) {
        return GzipStatus::kBadData;  // no progress possible
      }
      if (s_.avail_out == 0 && flush_output() != 0) return GzipStatus::kStopped;
    }
  }

 private:
  // Hands the complete blocks in the window to the sink and keeps the
  // remainder at the window's start. Returns the sink's result.
  int flush_output() {
    const std::size_t blocks = have_ / kBlock;
    int rc = 0;
    if (blocks > 0) rc = sink_(window_.get(), blocks);
    have_ %= kBlock;
    if (have_ > 0)
      std::memmove(window_.get(), window_.get() + blocks * kBlock, have_);
    return rc;
  }

  FILE* infp_;
  BlockSink sink_;
  std::unique_ptr<unsigned char[]> input_;
  std::unique_ptr<unsigned char[]> window_;
  z_stream s_{};
  bool ready_;
  std::size_t have_ = 0;
};

}  // namespace

bool isGzipMagic(const unsigned char* head) {
  return head[0] == 0x1f && head[1] == 0x8b;
}

GzipStatus readGzipHeader(FILE* in, const unsigned char* head) {
  if (head[2] != Z_DEFLATED) return GzipStatus::kUnsupportedMethod;
  const unsigned flags = head[3];
  if (flags & kFlagExtra) {
    const int lo = getc(in);
    const int hi = getc(in);
    if (lo != EOF && hi != EOF) {
      for (long n = lo | (hi << 8); n > 0 && getc(in) != EOF; --n) {
      }
    }
  }
  if (flags & kFlagName) skipZeroTerminated(in);
  if (flags & kFlagComment) skipZeroTerminated(in);
  if (flags & kFlagHeaderCrc) {
    getc(in);
    getc(in);
  }
  return GzipStatus::kOk;
}

GzipStatus inflate(FILE* infp, BlockSink sink) {
  return MemberDecoder(infp, sink).run();
}
