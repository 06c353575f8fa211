// MD5 message digest (RFC 1321).
#ifndef STARTER_ENGINE_MD5_H_
#define STARTER_ENGINE_MD5_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// Incremental MD5 (OpenSSL's, also where the system's OpenSSL configuration
// admits only FIPS algorithms). Feed bytes with Update in any chunking, then
// call Final once; the digest does not depend on how the input was split.
class Md5 {
 public:
  Md5();
  // False when OpenSSL could not provide MD5 or a step of it failed: Final
  // then gives 16 zero bytes and FinalHex the empty string, which no hash
  // text equals.
  bool usable() const { return context_ != nullptr; }
  // Adds `length` bytes at `data` to the message.
  void Update(const void* data, std::size_t length);
  // Finishes the message and returns its 16-byte digest. The object must not
  // be updated afterwards.
  std::array<std::uint8_t, 16> Final();
  // Finishes the message and returns the digest as 32 lower-case hex digits.
  std::string FinalHex();

 private:
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const;
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
};

// The digest of `data` as 32 lower-case hexadecimal digits.
std::string Md5Hex(const void* data, std::size_t length);

// True when `text` can be a digest as text: 32 hexadecimal digits, of
// either case. Only such a text names bytes.
bool IsMd5Text(std::string_view text);

// Why a file could not be hashed.
enum class FileHashError {
  kNone,
  // It does not exist or cannot be opened (errno tells why).
  kCannotOpen,
  // It is not a regular file: a directory, FIFO, socket or device.
  kNotRegularFile,
  // A read failed (errno tells why).
  kReadError,
};

// Hashes the whole file at `path` without ever waiting on it: only a
// regular file is read, and opening a FIFO or device does not block. On
// kNone stores 32 lower-case hex digits in `hex`; otherwise leaves `hex`
// unchanged and sets errno (EINVAL for a file that is not regular).
FileHashError HashFile(const char* path, std::string& hex);

// What HashFile can learn of a regular file besides its MD5, from the same
// single read.
struct FileFacts {
  // The bytes read.
  std::uint64_t size = 0;
  // Its permission bits (st_mode & 07777).
  std::uint32_t mode = 0;
  // Its SHA-256 as 64 lower-case hex digits, when asked for; else empty.
  std::string sha256;
};

// HashFile(path, hex), also filling `facts` on kNone (with the SHA-256 of
// the same bytes when `with_sha256`).
FileHashError HashFile(const char* path, std::string& hex, FileFacts& facts,
                       bool with_sha256);

// HashFile(path, hex, facts, with_sha256) for the regular file open at `fd`,
// read from its current offset to its end (kNotRegularFile for another kind
// of file, kReadError for a failed read). The caller keeps `fd`.
FileHashError HashOpenFile(int fd, std::string& hex, FileFacts& facts,
                           bool with_sha256);

// HashFile(path, hex) == FileHashError::kNone.
bool Md5File(const char* path, std::string& hex);

#endif  // STARTER_ENGINE_MD5_H_
