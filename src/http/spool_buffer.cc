#include "http/spool_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/atomic_file.h"
#include "engine/free_space.h"
#include "engine/scoped_fd.h"
#include "http/download_body.h"

namespace {

// What one read of a spool file takes.
constexpr std::size_t kSpoolChunk = std::size_t{64} << 10;

}  // namespace

SpoolBuffer::SpoolBuffer(std::string spool_path, std::uint64_t room)
    : spool_path_(std::move(spool_path)), room_(room) {
  const cookie_io_functions_t hooks = {nullptr, &SpoolBuffer::WriteHook,
                                       nullptr, nullptr};
  stream_ = fopencookie(this, "w", hooks);
  // Every write reaches Take at once: the spool file buffers by itself.
  if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IONBF, 0);
}

SpoolBuffer::~SpoolBuffer() {
  if (stream_ != nullptr) std::fclose(stream_);
}

std::uint64_t SpoolBuffer::on_disk() const { return file_bytes_; }

ssize_t SpoolBuffer::WriteHook(void* cookie, const char* data,
                               std::size_t size) {
  return static_cast<SpoolBuffer*>(cookie)->Take(data, size)
             ? static_cast<ssize_t>(size)
             : -1;
}

bool SpoolBuffer::Take(const char* data, std::size_t size) {
  if (lost_) return false;
  if (file_ == nullptr && memory_.size() + size <= kInMemoryBytes) {
    memory_.append(data, size);
    return true;
  }
  if (file_ == nullptr) {
    file_ = std::make_unique<AtomicFile>(spool_path_, LinkAtDestination::kReplace,
                                         Attributes::kFresh);
    if (!file_->ok() || RoomLeftOn(::fileno(file_->stream())) < room_ ||
        !file_->Write(memory_.data(), memory_.size())) {
      errno = file_->error() != 0 ? file_->error() : ENOSPC;
      file_.reset();
      lost_ = true;
      return false;
    }
    file_bytes_ = memory_.size();
    std::string().swap(memory_);
  }
  if (!file_->Write(data, size)) {
    errno = file_->error() != 0 ? file_->error() : EIO;
    lost_ = true;
    return false;
  }
  file_bytes_ += size;
  return true;
}

bool SpoolBuffer::MoveInto(DownloadBody& body) {
  if (lost_) {
    file_.reset();
    std::string().swap(memory_);
    return false;
  }
  if (file_ == nullptr) {
    const bool fits = body.Append(memory_.data(), memory_.size());
    std::string().swap(memory_);
    return fits;
  }
  bool fits = file_->Flush();
  ScopedFd spooled(fits ? ::open(file_->temp_path().c_str(),
                                 O_RDONLY | O_CLOEXEC)
                        : -1);
  fits = spooled.valid();
  // The spool file holds exactly the bytes counted into it.
  std::uint64_t left = file_bytes_;
  const std::unique_ptr<char[]> chunk(new char[kSpoolChunk]);
  while (fits && left > 0) {
    const ssize_t got = ::read(
        spooled.get(), chunk.get(),
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kSpoolChunk)));
    if (got < 0 && errno == EINTR) continue;
    fits = got > 0 && body.Append(chunk.get(), static_cast<std::size_t>(got));
    if (fits) left -= static_cast<std::uint64_t>(got);
  }
  file_.reset();
  file_bytes_ = 0;
  return fits;
}
