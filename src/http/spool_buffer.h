// Where the bytes of a transfer ahead of its turn wait (DownloadPipeline).
#ifndef STARTER_HTTP_SPOOL_BUFFER_H_
#define STARTER_HTTP_SPOOL_BUFFER_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class AtomicFile;
class DownloadBody;

// The bytes of one transfer ahead of its turn: the first kInMemoryBytes in
// memory, and once they outgrow that, all of them in a spool file of their
// own, a temporary file for `spool_path` ("<name>.<pid>.<XXXXXX>.tmp"),
// removed when the object goes. Most files of a release are small, so most
// transfers ahead make no file at all. Must not move while a transfer
// writes through stream().
class SpoolBuffer {
 public:
  // Bytes kept in memory before they go to a spool file.
  static constexpr std::size_t kInMemoryBytes = std::size_t{64} << 10;

  // Holds nothing yet; the spool file, if one is needed, is made at
  // `spool_path`'s directory, which must exist, and only when its file
  // system has `room` bytes of room for it (RoomLeftOn). Check ok().
  SpoolBuffer(std::string spool_path, std::uint64_t room);
  ~SpoolBuffer();
  SpoolBuffer(const SpoolBuffer&) = delete;
  SpoolBuffer& operator=(const SpoolBuffer&) = delete;

  // Whether the stream could be made.
  bool ok() const { return stream_ != nullptr; }
  // An unbuffered stream every byte of the transfer is written to. Once the
  // spool file is needed and cannot be made, has not the room asked for, or
  // cannot be written, the stream's error is set and the bytes are lost:
  // MoveInto then fails. (A failed write may still count as written in
  // fwrite's return value.)
  FILE* stream() { return stream_; }
  // The bytes that lie in the spool file, none while all are in memory.
  std::uint64_t on_disk() const;
  // Appends every byte held, in order, to `body`, and forgets them (the
  // spool file goes). False when some were lost, could not be read back, or
  // the body took them not.
  bool MoveInto(DownloadBody& body);

 private:
  static ssize_t WriteHook(void* cookie, const char* data, std::size_t size);
  // Takes `size` bytes at `data`; false (errno set) when they cannot be
  // kept.
  bool Take(const char* data, std::size_t size);

  std::string spool_path_;
  std::uint64_t room_;
  std::string memory_;
  std::unique_ptr<AtomicFile> file_;
  std::uint64_t file_bytes_ = 0;
  bool lost_ = false;
  FILE* stream_ = nullptr;
};

#endif  // STARTER_HTTP_SPOOL_BUFFER_H_
