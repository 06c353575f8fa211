// Decoding of one gzip member (RFC 1952) whose payload is a DEFLATE stream.
#ifndef STARTER_ARCHIVE_GZIP_READER_H_
#define STARTER_ARCHIVE_GZIP_READER_H_

#include <cstddef>
#include <cstdio>

// Size of the fixed gzip member header.
constexpr std::size_t kGzipHeaderSize = 10;

// True when `head` (at least two bytes) starts with the gzip magic 0x1f 0x8b.
bool isGzipMagic(const unsigned char* head);

// Outcome of reading a gzip member.
enum class GzipStatus {
  kOk,                 // header understood / data decoded to its last block
  kUnsupportedMethod,  // compression method is not 8 (deflate)
  kBadData,            // the DEFLATE data is bad or ends before its last block
  kStopped,            // the block consumer asked to stop
};

// Checks the 10-byte fixed header `head`, already read from `in`, and skips
// the optional fields that follow it in `in` (FEXTRA, FNAME, FCOMMENT, FHCRC).
// Returns kOk or kUnsupportedMethod; an archive that ends inside the optional
// fields is left for `inflate` to report as bad data. Prints nothing.
GzipStatus readGzipHeader(FILE* in, const unsigned char* head);

// Receives `count` consecutive 512-byte blocks at `blocks`; returns non-zero
// to stop decoding.
using BlockSink = int (*)(unsigned char* blocks, std::size_t count);

// Decodes the DEFLATE data that follows the header in `infp` up to its last
// block; the member trailer (CRC-32 and length) is neither read nor checked.
// Decoded bytes go to `sink` in 512-byte blocks, in order, each time the
// 32 KiB window fills and after the last block; a remainder shorter than 512
// bytes at the end is dropped, and so are the decoded bytes still in the
// window when decoding fails. Returns kOk, kBadData or kStopped; prints
// nothing. Memory use is fixed, whatever the archive size.
GzipStatus inflate(FILE* infp, BlockSink sink);

#endif  // STARTER_ARCHIVE_GZIP_READER_H_
