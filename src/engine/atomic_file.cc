#include "engine/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "engine/deferred_sync.h"
#include "engine/paths.h"

namespace {

constexpr std::size_t kRandomLength = AtomicFile::kRandomLength;
// Room a temporary name needs beyond the destination's name:
// "." + pid (at most 10 digits) + "." + random part + ".tmp".
constexpr std::size_t kTempNameOverhead = 1 + 10 + 1 + kRandomLength + 4;
constexpr int kMaxCreateAttempts = 100;

// The process id and the random bytes temporary names are made of, drawn
// once for many names; a child process made by fork draws its own.
struct NameSource {
  std::mutex mutex;
  pid_t pid = 0;
  unsigned char pool[kRandomLength * 32] = {};
  std::size_t used = sizeof pool;
  unsigned counter = 0;
};

NameSource& Names() {
  static NameSource* source = [] {
    auto* made = new NameSource;  // lives as long as the process
    ::pthread_atfork(nullptr, nullptr, [] {
      Names().pid = 0;
      Names().used = sizeof Names().pool;
    });
    return made;
  }();
  return *source;
}

// "<pid>.<random part>" of a new temporary name.
std::string PidAndRandomPart() {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  NameSource& source = Names();
  std::lock_guard<std::mutex> lock(source.mutex);
  if (source.pid == 0) source.pid = ::getpid();
  if (source.used + kRandomLength > sizeof source.pool) {
    if (::getrandom(source.pool, sizeof source.pool, 0) !=
        static_cast<ssize_t>(sizeof source.pool)) {
      // Uniqueness comes from O_EXCL; the random part only makes collisions
      // rare, so a weaker source will do.
      unsigned seed =
          static_cast<unsigned>(source.pid) * 2654435761u + ++source.counter;
      for (unsigned char& b : source.pool) {
        b = static_cast<unsigned char>(seed >>= 3);
        if (seed == 0) seed = ++source.counter * 2654435761u;
      }
    }
    source.used = 0;
  }
  std::string part = std::to_string(source.pid) + ".";
  for (std::size_t i = 0; i < kRandomLength; ++i) {
    part += kAlphabet[source.pool[source.used++] % (sizeof kAlphabet - 1)];
  }
  return part;
}

// Gives the open temporary file `fd` the owner, group and permission bits
// of the regular file at `path`, if there is one, and returns those bits.
std::optional<mode_t> TakeOverAttributes(int fd, const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
    // Only a privileged process may give a file away; others keep their own.
    [[maybe_unused]] int ignored = ::fchown(fd, info.st_uid, info.st_gid);
  }
  ::fchmod(fd, info.st_mode & 07777);
  return info.st_mode & 07777;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& path, LinkAtDestination links,
                       Attributes attributes)
    : path_(links == LinkAtDestination::kFollow ? FollowLinks(path) : path) {
  const std::string name =
      NameOf(path_).substr(0, NAME_MAX - kTempNameOverhead);
  const std::string prefix = DirectoryOf(path_) + name + ".";
  for (int attempt = 0; attempt < kMaxCreateAttempts; ++attempt) {
    std::string candidate = prefix + PidAndRandomPart() + kTempSuffix;
    const int fd =
        ::open(candidate.c_str(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (attributes == Attributes::kOfReplaced) {
        replaced_mode_ = TakeOverAttributes(fd, path_);
      }
      stream_ = ::fdopen(fd, "wb");
      if (stream_ != nullptr) {
        // A buffer of our own: no look at the file for its block size, and
        // a small file written out at once.
        buffer_ = std::make_unique_for_overwrite<char[]>(kBufferBytes);
        std::setvbuf(stream_, buffer_.get(), _IOFBF, kBufferBytes);
        temp_path_ = std::move(candidate);
        return;
      }
      Fail();
      ::close(fd);
      ::unlink(candidate.c_str());
      return;
    }
    if (errno != EEXIST) break;
  }
  Fail();
}

AtomicFile::~AtomicFile() { Abandon(); }

bool AtomicFile::Adopt(ScopedFd& fd, const std::string& existing,
                       AdoptedData data) {
  if (!ok() || stream_ == nullptr) {
    errno = error_ != 0 ? error_ : EBADF;
    return false;
  }
  struct stat made;
  struct stat taken;
  if (::fstat(::fileno(stream_), &made) != 0 ||
      ::fstat(fd.get(), &taken) != 0) {
    return false;
  }
  if (!S_ISREG(taken.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (taken.st_nlink != 1) {
    // Its other name would share every change made to it from now on.
    errno = EMLINK;
    return false;
  }
  if (taken.st_dev != made.st_dev) {
    errno = EXDEV;
    return false;
  }
  FILE* stream = ::fdopen(fd.get(), "r+b");
  if (stream == nullptr) return false;
  fd.release();
  if (taken.st_uid != made.st_uid || taken.st_gid != made.st_gid) {
    [[maybe_unused]] int ignored =
        ::fchown(::fileno(stream), made.st_uid, made.st_gid);
  }
  if ((taken.st_mode & 07777) != (made.st_mode & 07777)) {
    ::fchmod(::fileno(stream), made.st_mode & 07777);
  }
  std::fseek(stream, 0, SEEK_END);
  std::fclose(std::exchange(stream_, stream));
  ::unlink(temp_path_.c_str());
  std::setvbuf(stream_, buffer_.get(), _IOFBF, kBufferBytes);
  temp_path_ = existing;
  data_synced_ = data == AdoptedData::kSynced;
  return true;
}

bool AtomicFile::Write(const void* data, std::size_t size) {
  if (stream_ == nullptr) return false;
  if (size > 0) data_synced_ = false;
  if (size > 0 && std::fwrite(data, 1, size, stream_) != size) {
    if (errno == 0) errno = EIO;
    Fail();
    return false;
  }
  return true;
}

void AtomicFile::SetMode(mode_t mode) {
  if (stream_ != nullptr) ::fchmod(::fileno(stream_), mode & 07777);
}

bool AtomicFile::SetTimes(time_t access, time_t modification) {
  if (!Flush()) return false;
  const int fd = stream_ != nullptr ? ::fileno(stream_) : -1;
  const timespec times[2] = {{access, 0}, {modification, 0}};
  return ::futimens(fd, times) == 0;
}

bool AtomicFile::Flush() {
  if (!ok()) {
    errno = error_ != 0 ? error_ : EBADF;
    return false;
  }
  if (stream_ != nullptr && std::fflush(stream_) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool AtomicFile::Truncate() {
  if (!Flush()) return false;
  if (stream_ == nullptr) {
    errno = EBADF;
    return false;
  }
  data_synced_ = false;
  if (::ftruncate(::fileno(stream_), 0) != 0 ||
      std::fseek(stream_, 0, SEEK_SET) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool AtomicFile::Finish(DataSync sync) {
  if (done_ || !Flush()) return false;
  if (stream_ == nullptr) return true;  // finished before
  const int fd = ::fileno(stream_);
  if (sync == DataSync::kNow && ::fsync(fd) != 0) {
    Fail();
    return false;
  }
  if (sync == DataSync::kStart &&
      std::ftell(stream_) >= static_cast<long>(kWriteBackFrom)) {
    // Starts writing the data back without waiting for it, so that the
    // later sync of the whole file system finds little left to do. Small
    // files are left to that sync, which writes them out together.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  if (std::fclose(std::exchange(stream_, nullptr)) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool AtomicFile::RenameTo(const std::string& name, DataSync sync) {
  if (!Finish(sync)) return false;
  if (std::rename(temp_path_.c_str(), name.c_str()) != 0) {
    // The temporary file stays ours: a later attempt may still succeed.
    rename_error_ = errno;
    return false;
  }
  rename_error_ = 0;
  done_ = true;
  return true;
}

bool AtomicFile::Commit(Durability durability) {
  const bool sync = durability == Durability::kSynced;
  if (!RenameTo(path_, sync ? DataSync::kNow : DataSync::kNone)) return false;
  committed_ = true;
  if (sync && !SyncParentDirectory(path_)) {
    Fail();
    return false;
  }
  return true;
}

bool AtomicFile::Commit(DeferredSync& deferred) {
  const bool synced = data_synced_;
  if (!RenameTo(path_, synced ? DataSync::kNone : DataSync::kStart)) {
    return false;
  }
  committed_ = true;
  if (synced) {
    deferred.NoteDirectory(DirectoryOf(path_));
  } else {
    deferred.Note(DirectoryOf(path_));
  }
  return true;
}

bool AtomicFile::KeepAs(const std::string& name) {
  return RenameTo(name, DataSync::kNone);
}

bool AtomicFile::Abandon() {
  if (done_) return true;
  done_ = true;
  if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  if (temp_path_.empty()) return true;
  return ::unlink(temp_path_.c_str()) == 0 || errno == ENOENT;
}

void AtomicFile::Fail() {
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
}
