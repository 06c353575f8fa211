// The stream libcurl's progress meter is written to.
#ifndef STARTER_HTTP_PROGRESS_METER_H_
#define STARTER_HTTP_PROGRESS_METER_H_

#include <cstdio>
#include <string>
#include <vector>

// A C stream for libcurl's CURLOPT_STDERR that passes the meter's bytes on
// to a file descriptor unchanged (after flushing standard output, so that
// the two keep their order), but one whole update per write: text is
// kept until a line feed (written with it) or a carriage return (which
// starts the next update; the text before it is written). libcurl prints
// the meter a character at a time, which on the unbuffered standard error
// costs one system call per byte.
//
// A stream that is not live yet holds every update instead, for a transfer
// that runs ahead of its turn; GoLive writes them, all in one write (they
// reach the console at the same moment either way), and passes on what
// follows.
class ProgressMeterStream {
 public:
  // Writes to `fd` (standard error by default); `live` false holds the text
  // until GoLive.
  explicit ProgressMeterStream(int fd = 2, bool live = true);
  // Closes the stream, then writes what is still kept when live (held text
  // of a stream that never went live is dropped).
  ~ProgressMeterStream();
  ProgressMeterStream(const ProgressMeterStream&) = delete;
  ProgressMeterStream& operator=(const ProgressMeterStream&) = delete;

  // The stream to hand to libcurl, or null when none could be made (libcurl
  // then writes to standard error itself).
  FILE* stream() const { return stream_; }
  // When live, writes the text kept so far in one write. libcurl prints each
  // update whole, so between its calls (from a transfer callback, or after
  // the transfer) the kept text is a complete update.
  void Flush();
  // Writes every held update, together in one write, and passes on what
  // follows.
  void GoLive();

 private:
  static ssize_t WriteCookie(void* cookie, const char* data, size_t size);
  // The first `count` kept bytes are a whole update: written now when live,
  // else held.
  void Complete(std::size_t count);
  // Writes `size` bytes at `data` in one write (more only if the console
  // takes them in parts).
  void WriteOut(const char* data, std::size_t size);

  int fd_;
  bool live_;
  std::string kept_;
  std::vector<std::string> held_;
  FILE* stream_ = nullptr;
};

#endif  // STARTER_HTTP_PROGRESS_METER_H_
