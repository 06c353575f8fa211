#include "http/progress_meter.h"

#include <unistd.h>

#include <cerrno>

ProgressMeterStream::ProgressMeterStream(int fd) : fd_(fd) {
  cookie_io_functions_t functions{};
  functions.write = &ProgressMeterStream::WriteCookie;
  stream_ = ::fopencookie(this, "w", functions);
  // Unbuffered: every byte reaches Take at once, which groups them.
  if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IONBF, 0);
}

ProgressMeterStream::~ProgressMeterStream() {
  if (stream_ != nullptr) std::fclose(stream_);
  Flush();
}

void ProgressMeterStream::Flush() { Emit(held_.size()); }

ssize_t ProgressMeterStream::WriteCookie(void* cookie, const char* data,
                                         size_t size) {
  static_cast<ProgressMeterStream*>(cookie)->Take(data, size);
  return static_cast<ssize_t>(size);
}

void ProgressMeterStream::Take(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\r') Emit(held_.size());
    held_.push_back(data[i]);
    if (data[i] == '\n') Emit(held_.size());
  }
}

void ProgressMeterStream::Emit(std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, held_.data() + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the console is gone: drop the text
    done += static_cast<std::size_t>(n);
  }
  held_.erase(0, count);
}
