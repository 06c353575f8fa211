#include "http/spool_buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http/download_body.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"

namespace {

// The bytes of a transfer ahead reach the body whole, in order, from memory
// while they are few and from a spool file once they are more; a spool file
// that is needed and cannot be made fails the write that needed it.
TEST(SpoolBufferTest, KeepsFewBytesInMemoryAndSpillsTheRest) {
  constexpr std::size_t kMemory = SpoolBuffer::kInMemoryBytes;
  struct Case {
    const char* name;
    std::size_t size;
    bool spool_directory_exists;
    bool spilled;  // a spool file holds the bytes
    bool written;
  };
  const Case cases[] = {
      {"nothing", 0, true, false, true},
      {"a small file", 16384, true, false, true},
      {"just what memory holds", kMemory, true, false, true},
      {"one byte more", kMemory + 1, true, true, true},
      {"many chunks", 5 * kMemory + 7, true, true, true},
      {"small, no spool directory", 100, false, false, true},
      {"large, no spool directory", 2 * kMemory, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string spool = c.spool_directory_exists
                                  ? dir / "f.bin"
                                  : dir / "absent/f.bin";
    const std::string bytes = RandomBytes(c.size, 3);
    SpoolBuffer buffer(spool, 0);
    ASSERT_TRUE(buffer.ok());
    // As libcurl hands them over: in pieces.
    for (std::size_t at = 0; at < bytes.size(); at += 16384) {
      const std::size_t piece = std::min<std::size_t>(16384, bytes.size() - at);
      std::fwrite(bytes.data() + at, 1, piece, buffer.stream());
    }
    EXPECT_EQ(std::ferror(buffer.stream()) == 0, c.written);
    EXPECT_EQ(buffer.on_disk(), c.spilled ? c.size : 0u);
    EXPECT_EQ(TemporarySizeOf(spool) != 0, c.spilled);

    DownloadRequest request;
    request.filename = dir / "target.bin";
    DownloadBody body(request);
    ASSERT_TRUE(body.ok());
    EXPECT_EQ(buffer.MoveInto(body), c.written);
    if (!c.written) continue;
    ASSERT_TRUE(body.file().Commit());
    EXPECT_EQ(ReadFile(dir / "target.bin"), bytes);
    // The spool file went with the bytes.
    EXPECT_EQ(TemporarySizeOf(spool), 0);
    EXPECT_EQ(buffer.on_disk(), 0u);
  }
}

}  // namespace
