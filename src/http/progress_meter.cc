#include "http/progress_meter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

ProgressMeterStream::ProgressMeterStream(int fd, bool live)
    : fd_(fd), live_(live) {
  cookie_io_functions_t functions{};
  functions.write = &ProgressMeterStream::WriteCookie;
  stream_ = ::fopencookie(this, "w", functions);
  // Unbuffered: every byte reaches WriteCookie at once, which groups them.
  if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IONBF, 0);
}

ProgressMeterStream::~ProgressMeterStream() {
  if (stream_ != nullptr) std::fclose(stream_);
  Flush();
}

void ProgressMeterStream::Flush() {
  if (live_) Complete(kept_.size());
}

void ProgressMeterStream::GoLive() {
  live_ = true;
  std::string held;
  for (const std::string& update : held_) held += update;
  held_.clear();
  if (!held.empty()) WriteOut(held.data(), held.size());
}

ssize_t ProgressMeterStream::WriteCookie(void* cookie, const char* data,
                                         size_t size) {
  auto* self = static_cast<ProgressMeterStream*>(cookie);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\r') self->Complete(self->kept_.size());
    self->kept_.push_back(data[i]);
    if (data[i] == '\n') self->Complete(self->kept_.size());
  }
  return static_cast<ssize_t>(size);
}

void ProgressMeterStream::Complete(std::size_t count) {
  if (count == 0) return;
  if (live_) {
    WriteOut(kept_.data(), count);
  } else {
    held_.emplace_back(kept_, 0, count);
  }
  kept_.erase(0, count);
}

void ProgressMeterStream::WriteOut(const char* data, std::size_t size) {
  // What standard output holds goes first, so that both streams keep the
  // order in which their texts were printed.
  std::fflush(stdout);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the console is gone: drop the text
    done += static_cast<std::size_t>(n);
  }
}
