#include "engine/md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "engine/scoped_fd.h"
#include "engine/sha256.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Files are read in blocks of this size.
constexpr std::size_t kFileBlockSize = 256 * 1024;

std::string ToHex(const std::array<std::uint8_t, 16>& digest) {
  std::string hex(32, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return hex;
}

// Calls Free on what a unique_ptr owns.
template <auto Free>
struct Freer {
  void operator()(auto* owned) const { Free(owned); }
};

// OpenSSL's MD5 from a library context of our own with the default provider
// loaded, so that a system whose OpenSSL configuration allows only FIPS
// algorithms (where the default context refuses MD5) still hashes. Made once,
// on first use, by whichever thread comes first.
class Md5Algorithm {
 public:
  // Null when OpenSSL could not provide MD5.
  static const EVP_MD* Get() {
    static const Md5Algorithm algorithm;
    return algorithm.md_.get();
  }

 private:
  Md5Algorithm()
      : context_(OSSL_LIB_CTX_new()),
        provider_(context_ ? OSSL_PROVIDER_load(context_.get(), "default")
                           : nullptr),
        md_(provider_ ? EVP_MD_fetch(context_.get(), "MD5", nullptr)
                      : nullptr) {}

  std::unique_ptr<OSSL_LIB_CTX, Freer<OSSL_LIB_CTX_free>> context_;
  std::unique_ptr<OSSL_PROVIDER, Freer<OSSL_PROVIDER_unload>> provider_;
  std::unique_ptr<EVP_MD, Freer<EVP_MD_free>> md_;
};

}  // namespace

void Md5::ContextDeleter::operator()(EVP_MD_CTX* context) const {
  EVP_MD_CTX_free(context);
}

Md5::Md5() {
  const EVP_MD* md = Md5Algorithm::Get();
  if (md == nullptr) return;
  context_.reset(EVP_MD_CTX_new());
  if (context_ != nullptr && EVP_DigestInit_ex2(context_.get(), md, nullptr) != 1) {
    context_.reset();
  }
}

void Md5::Update(const void* data, std::size_t length) {
  if (context_ != nullptr && length > 0 &&
      EVP_DigestUpdate(context_.get(), data, length) != 1) {
    context_.reset();
  }
}

std::array<std::uint8_t, 16> Md5::Final() {
  std::array<std::uint8_t, 16> digest{};
  unsigned int size = 0;
  if (context_ == nullptr ||
      EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 ||
      size != digest.size()) {
    digest.fill(0);
  }
  context_.reset();
  return digest;
}

std::string Md5::FinalHex() {
  if (!usable()) return std::string();
  return ToHex(Final());
}

std::string Md5Hex(const void* data, std::size_t length) {
  Md5 md5;
  md5.Update(data, length);
  return md5.FinalHex();
}

bool IsMd5Text(std::string_view text) {
  return text.size() == 32 &&
         std::ranges::all_of(
             text, [](unsigned char c) { return std::isxdigit(c) != 0; });
}

FileHashError HashFile(const char* path, std::string& hex) {
  FileFacts unused;
  return HashFile(path, hex, unused, false);
}

FileHashError HashFile(const char* path, std::string& hex, FileFacts& facts,
                       bool with_sha256) {
  if (path == nullptr) return FileHashError::kCannotOpen;
  // O_NONBLOCK: a FIFO without a writer must not stop the caller.
  ScopedFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!fd.valid()) {
    // A socket, or a device without its driver, does not open at all. When
    // nothing is there (ENOENT, ENOTDIR), a look would find nothing either.
    const int open_error = errno;
    if (open_error != ENOENT && open_error != ENOTDIR &&
        ::stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
      errno = EINVAL;
      return FileHashError::kNotRegularFile;
    }
    errno = open_error;
    return FileHashError::kCannotOpen;
  }
  return HashOpenFile(fd.get(), hex, facts, with_sha256);
}

FileHashError HashOpenFile(int fd, std::string& hex, FileFacts& facts,
                           bool with_sha256) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return FileHashError::kReadError;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return FileHashError::kNotRegularFile;
  }
  Md5 md5;
  if (!md5.usable()) {
    errno = ENOSYS;
    return FileHashError::kReadError;
  }
  std::optional<Sha256> sha256;
  if (with_sha256) {
    sha256.emplace();
    if (!sha256->usable()) {
      errno = ENOSYS;
      return FileHashError::kReadError;
    }
  }
  auto block = std::make_unique_for_overwrite<std::uint8_t[]>(kFileBlockSize);
  std::uint64_t size = 0;
  ssize_t got;
  while ((got = ::read(fd, block.get(), kFileBlockSize)) != 0) {
    if (got > 0) {
      md5.Update(block.get(), static_cast<std::size_t>(got));
      if (sha256) sha256->Update(block.get(), static_cast<std::size_t>(got));
      size += static_cast<std::uint64_t>(got);
    } else if (errno != EINTR) {
      return FileHashError::kReadError;
    }
  }
  hex = md5.FinalHex();
  facts.size = size;
  facts.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
  facts.sha256 = sha256 ? sha256->FinalHex() : std::string();
  return FileHashError::kNone;
}

bool Md5File(const char* path, std::string& hex) {
  return HashFile(path, hex) == FileHashError::kNone;
}
