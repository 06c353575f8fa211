// A whole regular file mapped read-only into memory.
#ifndef STARTER_PATCH_MAPPED_FILE_H_
#define STARTER_PATCH_MAPPED_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Why a file could not be mapped.
enum class MapError {
  kNone,
  // Nothing exists at the path (or a component of it is missing).
  kMissing,
  // It exists but cannot be opened, is not a regular file (a directory,
  // FIFO, socket or device), or cannot be mapped.
  kUnreadable,
};

// Maps the whole file at a path for reading, sharing the page cache: the
// bytes are not copied into the process, and pages are read as they are
// touched. Opening never waits on a FIFO or device. The mapping lasts as
// long as the object; the file must not shrink meanwhile (touching a page
// past its new end would end the process).
class MappedFile {
 public:
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // kNone when the file is mapped (an empty file is mapped with size() 0).
  MapError error() const { return error_; }
  // The errno of the failure; 0 for kNone (EINVAL for a file that is not
  // regular).
  int error_number() const { return error_number_; }
  // The file's bytes; null when the file is empty or was not mapped.
  const std::uint8_t* data() const { return data_; }
  // The file's size when it was mapped.
  std::size_t size() const { return size_; }

 private:
  void Fail(MapError error, int error_number);

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  MapError error_ = MapError::kNone;
  int error_number_ = 0;
};

#endif  // STARTER_PATCH_MAPPED_FILE_H_
