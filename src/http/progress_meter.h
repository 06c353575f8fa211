// The stream libcurl's progress meter is written to.
#ifndef STARTER_HTTP_PROGRESS_METER_H_
#define STARTER_HTTP_PROGRESS_METER_H_

#include <cstdio>
#include <string>

// A C stream for libcurl's CURLOPT_STDERR that passes the meter's bytes on
// to a file descriptor unchanged, but one whole update per write: text is
// held until a line feed (written with it) or a carriage return (which
// starts the next update; the text before it is written). libcurl prints
// the meter a character at a time, which on the unbuffered standard error
// costs one system call per byte.
class ProgressMeterStream {
 public:
  // Writes to `fd` (standard error by default).
  explicit ProgressMeterStream(int fd = 2);
  // Writes what is still held, then closes the stream.
  ~ProgressMeterStream();
  ProgressMeterStream(const ProgressMeterStream&) = delete;
  ProgressMeterStream& operator=(const ProgressMeterStream&) = delete;

  // The stream to hand to libcurl, or null when none could be made (libcurl
  // then writes to standard error itself).
  FILE* stream() const { return stream_; }
  // Writes the text held so far in one write. libcurl prints each update
  // whole, so between its calls (from a transfer callback, or after the
  // transfer) the held text is a complete update.
  void Flush();

 private:
  static ssize_t WriteCookie(void* cookie, const char* data, size_t size);
  void Take(const char* data, std::size_t size);
  // Writes the first `count` held bytes in one write and forgets them.
  void Emit(std::size_t count);

  int fd_;
  std::string held_;
  FILE* stream_ = nullptr;
};

#endif  // STARTER_HTTP_PROGRESS_METER_H_
