#include "update/staged_copies.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "engine/app_log.h"
#include "engine/atomic_file.h"
#include "engine/file_lock.h"
#include "engine/md5.h"
#include "engine/paths.h"
#include "engine/scoped_fd.h"
#include "engine/sha256.h"
#include "http/download_body.h"
#include "update/text_fields.h"
#include "update/update_decisions.h"

namespace {

// The first line of a record file, naming its format.
constexpr char kRecordHeader[] = "starter-stage checks 1";
// The most bytes a record file may have; a longer one is not read.
constexpr std::uint64_t kMostRecordBytes = std::uint64_t{64} << 20;
// How long a check waits for the clock to pass a copy's last change, in
// steps of a millisecond.
constexpr int kClockWaitSteps = 50;
constexpr char kSha256None[] = "-";

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Whether `status` and `check` name the same copy in the same state.
bool SameStatus(const struct stat& status, const StagedCopyCheck& check) {
  return static_cast<std::uint64_t>(status.st_size) == check.size &&
         static_cast<std::uint64_t>(status.st_dev) == check.device &&
         static_cast<std::uint64_t>(status.st_ino) == check.inode &&
         Nanoseconds(status.st_mtim) == check.mtime_ns &&
         Nanoseconds(status.st_ctim) == check.ctime_ns;
}

// Fills the identity and times of `check` from `status`.
void TakeStatus(const struct stat& status, StagedCopyCheck& check) {
  check.size = static_cast<std::uint64_t>(status.st_size);
  check.device = static_cast<std::uint64_t>(status.st_dev);
  check.inode = static_cast<std::uint64_t>(status.st_ino);
  check.mtime_ns = Nanoseconds(status.st_mtim);
  check.ctime_ns = Nanoseconds(status.st_ctim);
}

// Whether the clock that stamps changes has passed both times of `status`,
// after waiting a moment for it at most.
bool ClockPassed(const struct stat& status) {
  const std::int64_t last =
      std::max(Nanoseconds(status.st_mtim), Nanoseconds(status.st_ctim));
  for (int step = 0; step <= kClockWaitSteps; ++step) {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return false;
    if (Nanoseconds(now) > last) return true;
    const timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

// An MD5 as a record writes it: 32 lower-case hex digits.
bool IsLowerMd5Text(std::string_view text) {
  return text.size() == 32 &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

template <typename Number>
bool ReadNumber(std::string_view text, Number& value) {
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// One line of a record file: "<md5> <sha256 or -> <size> <device> <inode>
// <mtime ns> <ctime ns> <key>". Nothing when malformed.
std::optional<StagedCopyCheck> ParseRecordLine(std::string_view line) {
  StagedCopyCheck check;
  check.md5 = std::string(TakeField(line));
  check.sha256 = std::string(TakeField(line));
  if (!IsLowerMd5Text(check.md5)) return std::nullopt;
  if (check.sha256 == kSha256None) {
    check.sha256.clear();
  } else if (!IsSha256Text(check.sha256)) {
    return std::nullopt;
  }
  if (!ReadNumber(TakeField(line), check.size) ||
      !ReadNumber(TakeField(line), check.device) ||
      !ReadNumber(TakeField(line), check.inode) ||
      !ReadNumber(TakeField(line), check.mtime_ns) ||
      !ReadNumber(TakeField(line), check.ctime_ns)) {
    return std::nullopt;
  }
  if (!line.starts_with("/")) return std::nullopt;
  check.key = std::string(line);
  check.recordable = true;
  return check;
}

// Reads the body of a download from a staged copy: renamed into place when
// it can be, else copied.
class StagedCopyTransport : public BodyTransport {
 public:
  StagedCopyTransport(std::string staged, std::string_view path,
                      const StagingRecord& record)
      : staged_(std::move(staged)), path_(path), record_(record) {}

  CURLcode Fetch(const DownloadRequest& request, DownloadBody& body) override {
    // Read and write, to be renamed and given its attributes; a link at its
    // name, or a copy this process may only read, is copied.
    ScopedFd fd(
        open(staged_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.valid() && BelowGameDirectory()) {
      struct stat status;
      if (fstat(fd.get(), &status) != 0) return CURLE_READ_ERROR;
      const KnownDigests* known = Recorded(request, status);
      if (body.Adopt(fd, staged_, known)) return CURLE_OK;
      if (!fd.valid()) return CURLE_READ_ERROR;  // taken, then unreadable
    }
    if (!fd.valid()) {
      fd.reset(open(staged_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }
    if (!fd.valid()) return CURLE_READ_ERROR;
    return Copy(fd.get(), body);
  }

 private:
  // Whether the copy's directory lies below the game directory (links
  // followed), so that renaming it takes nothing from elsewhere.
  bool BelowGameDirectory() const {
    const std::string game = CanonicalPath(".");
    const std::string directory = CanonicalPath(DirectoryOf(staged_));
    return !game.empty() && !directory.empty() && PathIsWithin(directory, game);
  }

  // The digests the record holds for the copy open with `status`, when they
  // are those the request expects; else null.
  const KnownDigests* Recorded(const DownloadRequest& request,
                               const struct stat& status) {
    const StagedCopyCheck* check = record_.Find(path_, status);
    if (check == nullptr || request.expected_md5.empty() ||
        strcasecmp(check->md5.c_str(), request.expected_md5.c_str()) != 0 ||
        (!request.expected_sha256.empty() &&
         check->sha256 != request.expected_sha256)) {
      return nullptr;
    }
    known_ = {check->md5, check->sha256};
    return &known_;
  }

  static CURLcode Copy(int fd, DownloadBody& body) {
    constexpr std::size_t kChunk = std::size_t{1} << 18;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
      const ssize_t got = read(fd, buffer.get(), kChunk);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return CURLE_READ_ERROR;
      if (got == 0) return CURLE_OK;
      if (!body.Append(buffer.get(), static_cast<std::size_t>(got))) {
        return CURLE_WRITE_ERROR;
      }
    }
  }

  std::string staged_;
  std::string_view path_;
  const StagingRecord& record_;
  KnownDigests known_;
};

}  // namespace

std::string StagingAreaOf(std::string_view list_md5) {
  return std::string(kStagingDirectory) + "/" + std::string(list_md5);
}

std::string StagingRecordOf(std::string_view list_md5) {
  return StagingAreaOf(list_md5) + ".checked";
}

std::string ReplacedFilesOf(std::string_view list_md5) {
  return StagingAreaOf(list_md5) + ".replaced";
}

std::string StagedCopyPath(std::string_view list_md5, std::string_view path) {
  return StagingAreaOf(list_md5) + ListedFileKey(path);
}

std::vector<bool> StagedCopiesPresent(std::string_view list_md5,
                                      const std::vector<std::string>& paths) {
  std::vector<bool> present(paths.size(), false);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    struct stat info;
    present[i] = stat(StagedCopyPath(list_md5, paths[i]).c_str(), &info) == 0 &&
                 S_ISREG(info.st_mode);
  }
  return present;
}

bool StagedCopyCheck::SameCopy(const struct stat& status) const {
  return SameStatus(status, *this);
}

std::optional<StagedCopyCheck> CheckStagedCopy(
    std::string_view list_md5, std::string_view path, std::string_view md5,
    std::optional<std::uint64_t> size, std::string_view sha256) {
  const std::string copy = StagedCopyPath(list_md5, path);
  const ScopedFd fd(open(copy.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat before;
  if (!fd.valid() || fstat(fd.get(), &before) != 0 ||
      !S_ISREG(before.st_mode)) {
    return std::nullopt;
  }
  StagedCopyCheck check;
  check.key = ListedFileKey(path);
  // Recorded, the copy is installed with no sync of its data: it must be on
  // the disk, whoever wrote it.
  check.recordable = fsync(fd.get()) == 0 && ClockPassed(before);
  FileFacts facts;
  struct stat after;
  if (HashOpenFile(fd.get(), check.md5, facts, true) != FileHashError::kNone ||
      fstat(fd.get(), &after) != 0) {
    return std::nullopt;
  }
  TakeStatus(before, check);
  check.sha256 = facts.sha256;
  if (!SameStatus(after, check) || facts.size != check.size ||
      strcasecmp(check.md5.c_str(), std::string(md5).c_str()) != 0 ||
      (size && *size != check.size) ||
      (!sha256.empty() && sha256 != check.sha256)) {
    return std::nullopt;
  }
  return check;
}

StagingRecord StagingRecord::Read(std::string_view list_md5) {
  StagingRecord record;
  FileLock file(std::fopen(StagingRecordOf(list_md5).c_str(), "r"));
  if (!file.isValid()) return record;
  char* line = nullptr;
  std::size_t capacity = 0;
  std::uint64_t total = 0;
  bool header = true;
  bool malformed = false;
  ssize_t got;
  while (!malformed && (got = getline(&line, &capacity, file.get())) > 0) {
    total += static_cast<std::uint64_t>(got);
    std::string_view text(line, static_cast<std::size_t>(got));
    if (total > kMostRecordBytes || !text.ends_with('\n')) {
      malformed = true;
      break;
    }
    text.remove_suffix(1);
    if (std::exchange(header, false)) {
      malformed = text != kRecordHeader;
      continue;
    }
    std::optional<StagedCopyCheck> check = ParseRecordLine(text);
    if (!check) {
      malformed = true;
    } else {
      record.Add(std::move(*check));
    }
  }
  std::free(line);
  if (malformed || header || std::ferror(file.get())) return StagingRecord();
  return record;
}

void StagingRecord::Add(StagedCopyCheck check) {
  std::string key = check.key;
  checks_.insert_or_assign(std::move(key), std::move(check));
}

bool StagingRecord::Write(std::string_view list_md5) const {
  AtomicFile file(StagingRecordOf(list_md5), LinkAtDestination::kReplace,
                  Attributes::kFresh);
  if (!file.ok()) {
    errno = file.error();
    return false;
  }
  std::string text = std::string(kRecordHeader) + "\n";
  for (const auto& [key, check] : checks_) {
    if (!check.recordable) continue;
    text += check.md5 + " " +
            (check.sha256.empty() ? std::string(kSha256None) : check.sha256) +
            " " + std::to_string(check.size) + " " +
            std::to_string(check.device) + " " + std::to_string(check.inode) +
            " " + std::to_string(check.mtime_ns) + " " +
            std::to_string(check.ctime_ns) + " " + key + "\n";
  }
  return file.Write(text.data(), text.size()) && file.Commit();
}

const StagedCopyCheck* StagingRecord::Find(std::string_view path,
                                           const struct stat& status) const {
  const auto found = checks_.find(ListedFileKey(path));
  if (found == checks_.end() || !found->second.SameCopy(status)) {
    return nullptr;
  }
  return &found->second;
}

DownloadOutcome TakeStagedCopy(const DownloadRequest& request,
                               std::string_view list_md5, std::string_view path,
                               const StagingRecord& record,
                               DeferredSync* deferred) {
  const std::string staged = StagedCopyPath(list_md5, path);
  std::printf("Taking %s from the staging area %s\n", request.Target().c_str(),
              staged.c_str());
  // The file replaced keeps a name, so that the rename over it frees
  // nothing now: starter-stage frees it later.
  const std::string target = request.Target();
  struct stat replaced;
  if (::lstat(target.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
    const std::string aside = ReplacedFilesOf(list_md5);
    const bool made = ::mkdir(aside.c_str(), 0700) == 0;
    if ((made || errno == EEXIST) &&
        ::link(target.c_str(),
               (aside + "/" + std::to_string(replaced.st_ino)).c_str()) != 0 &&
        made) {
      // Another file system, or one without second names: nothing kept.
      ::rmdir(aside.c_str());
    }
  }
  StagedCopyTransport transport(staged, path, record);
  return DownloadAtTurn(request, transport, deferred);
}

void RemoveStagingArea(std::string_view list_md5) {
  bool removed = false;
  for (const std::string& name :
       {StagingAreaOf(list_md5), StagingRecordOf(list_md5)}) {
    std::error_code error;
    const std::uintmax_t count = std::filesystem::remove_all(name, error);
    if (error) {
      LogLine("Could not remove %s: %s\n", name.c_str(),
              error.message().c_str());
    } else if (count > 0) {
      removed = true;
    }
  }
  if (removed) {
    LogLine("Removed the staging area %s\n", StagingAreaOf(list_md5).c_str());
  }
}
