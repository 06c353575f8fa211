// gzip member header and raw inflate through zlib.
#include "archive/gzip_reader.h"

#include <zlib.h>

#include <cstring>
#include <memory>

namespace {

// Input is read, and output handed on, in chunks of these sizes; both are
// fixed, so memory use does not depend on the archive. The output size is a
// multiple of 512 so that a full buffer leaves no partial block behind.
constexpr std::size_t kInputSize = 256 * 1024;
constexpr std::size_t kOutputSize = 256 * 1024;
constexpr std::size_t kBlock = 512;

enum GzipFlag : unsigned {
  kFlagHeaderCrc = 2,
  kFlagExtra = 4,
  kFlagName = 8,
  kFlagComment = 16,
};

// Reads up to and including a NUL (or to the end of `in`), keeping the first
// `size` - 1 bytes in `out` when `out` is not null.
void skipZeroTerminated(FILE* in, char* out, std::size_t size) {
  std::size_t kept = 0;
  int c;
  while ((c = getc(in)) != EOF && c != '\0') {
    if (out != nullptr && kept + 1 < size) out[kept++] = static_cast<char>(c);
  }
  if (out != nullptr) out[kept] = '\0';
}

// Owns a zlib raw-inflate stream.
class RawInflateStream {
 public:
  RawInflateStream() { ready_ = inflateInit2(&strm_, -MAX_WBITS) == Z_OK; }
  ~RawInflateStream() {
    if (ready_) inflateEnd(&strm_);
  }
  RawInflateStream(const RawInflateStream&) = delete;
  RawInflateStream& operator=(const RawInflateStream&) = delete;

  bool ready() const { return ready_; }
  z_stream& get() { return strm_; }

 private:
  z_stream strm_{};
  bool ready_ = false;
};

// Decodes one DEFLATE stream into a fixed output window that is handed on
// block by block.
class MemberDecoder {
 public:
  MemberDecoder(FILE* infp, BlockSink sink)
      : infp_(infp),
        sink_(sink),
        input_(std::make_unique<unsigned char[]>(kInputSize)),
        window_(std::make_unique<unsigned char[]>(kOutputSize)) {}

  GzipStatus run() {
    if (!stream_.ready()) return GzipStatus::kBadData;
    z_stream& s = stream_.get();
    for (;;) {
      if (s.avail_in == 0 && !refill()) return GzipStatus::kBadData;
      s.next_out = window_.get() + have_;
      s.avail_out = static_cast<uInt>(kOutputSize - have_);
      const int ret = ::inflate(&s, Z_NO_FLUSH);
      const std::size_t produced = kOutputSize - have_ - s.avail_out;
      have_ += produced;
      if (ret == Z_STREAM_END) {
        // The trailer that follows is not read.
        return flush_output(have_) != 0 ? GzipStatus::kStopped
                                         : GzipStatus::kOk;
      }
      if (ret != Z_OK && ret != Z_BUF_ERROR) return GzipStatus::kBadData;
      if (ret == Z_BUF_ERROR && s.avail_in != 0 && s.avail_out != 0) {
        return GzipStatus::kBadData;  // no progress possible
      }
      if (s.avail_out == 0 && flush_output(have_) != 0) {
        return GzipStatus::kStopped;
      }
    }
  }

 private:
  // Reads the next chunk of compressed input; false at the end of the file.
  bool refill() {
    z_stream& s = stream_.get();
    const std::size_t n = fread(input_.get(), 1, kInputSize, infp_);
    s.next_in = input_.get();
    s.avail_in = static_cast<uInt>(n);
    return n > 0;
  }

  // Hands the complete blocks among the first `w` window bytes to the sink
  // and keeps the remainder at the window's start. Returns the sink's result.
  int flush_output(std::size_t w) {
    const std::size_t blocks = w / kBlock;
    int rc = 0;
    if (blocks > 0) rc = sink_(window_.get(), blocks);
    have_ = w % kBlock;
    if (have_ > 0)
      std::memmove(window_.get(), window_.get() + blocks * kBlock, have_);
    return rc;
  }

  FILE* infp_;
  BlockSink sink_;
  RawInflateStream stream_;
  std::unique_ptr<unsigned char[]> input_;
  std::unique_ptr<unsigned char[]> window_;
  std::size_t have_ = 0;
};

}  // namespace

bool isGzipMagic(const unsigned char* head) {
  return head[0] == 0x1f && head[1] == 0x8b;
}

GzipStatus readGzipHeader(FILE* in, const unsigned char* head,
                          char* gunzipname) {
  gunzipname[0] = '\0';
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
  if (flags & kFlagName) skipZeroTerminated(in, gunzipname, kGunzipNameSize);
  if (flags & kFlagComment) skipZeroTerminated(in, nullptr, 0);
  if (flags & kFlagHeaderCrc) {
    getc(in);
    getc(in);
  }
  return GzipStatus::kOk;
}

GzipStatus inflate(FILE* infp, BlockSink sink) {
  MemberDecoder decoder(infp, sink);
  return decoder.run();
}
