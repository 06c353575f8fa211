#include "engine/md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "engine/scoped_fd.h"

namespace {

inline std::uint32_t RotateLeft(std::uint32_t v, int n) {
  return (v << n) | (v >> (32 - n));
}

// Little-endian load of one 32-bit message word.
inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// The four round functions, written so that as little as possible waits for
// the word computed last (x): G as a sum of two disjoint masks.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((((x) & (z)) + ((y) & ~(z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

// The message word and constant are added first: they do not depend on the
// previous step.
#define MD5_STEP(f, a, b, c, d, m, k, s) \
  (a) += (m) + (k);                      \
  (a) += f((b), (c), (d));               \
  (a) = RotateLeft((a), (s)) + (b)

constexpr char kHexDigits[] = "0123456789abcdef";

std::string ToHex(const std::array<std::uint8_t, 16>& digest) {
  std::string hex(32, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  return hex;
}

constexpr std::size_t kFileBlockSize = 256 * 1024;

}  // namespace

Md5::Md5()
    : state_{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u},
      bit_count_(0),
      buffer_{},
      buffered_(0) {}

void Md5::Update(const void* data, std::size_t length) {
  const auto* input = static_cast<const std::uint8_t*>(data);
  bit_count_ += static_cast<std::uint64_t>(length) << 3;
  if (buffered_ > 0) {
    std::size_t take = 64 - buffered_;
    if (take > length) take = length;
    std::memcpy(buffer_ + buffered_, input, take);
    buffered_ += take;
    input += take;
    length -= take;
    if (buffered_ < 64) return;
    Transform(buffer_);
    buffered_ = 0;
  }
  while (length >= 64) {
    Transform(input);
    input += 64;
    length -= 64;
  }
  if (length > 0) {
    std::memcpy(buffer_, input, length);
    buffered_ = length;
  }
}

std::array<std::uint8_t, 16> Md5::Final() {
  const std::uint64_t bits = bit_count_;
  std::uint8_t padding[72] = {0x80};
  // Pad to 56 bytes modulo 64, then append the bit length.
  std::size_t pad = (buffered_ < 56) ? 56 - buffered_ : 120 - buffered_;
  Update(padding, pad);
  std::uint8_t length_bytes[8];
  for (int i = 0; i < 8; ++i) {
    length_bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  Update(length_bytes, sizeof length_bytes);

  std::array<std::uint8_t, 16> digest;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (8 * j));
    }
  }
  return digest;
}

std::string Md5::FinalHex() { return ToHex(Final()); }

void Md5::Transform(const std::uint8_t* block) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = Load32(block + 4 * i);
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  MD5_STEP(MD5_F, a, b, c, d, m[0], 0xd76aa478u, 7);
  MD5_STEP(MD5_F, d, a, b, c, m[1], 0xe8c7b756u, 12);
  MD5_STEP(MD5_F, c, d, a, b, m[2], 0x242070dbu, 17);
  MD5_STEP(MD5_F, b, c, d, a, m[3], 0xc1bdceeeu, 22);
  MD5_STEP(MD5_F, a, b, c, d, m[4], 0xf57c0fafu, 7);
  MD5_STEP(MD5_F, d, a, b, c, m[5], 0x4787c62au, 12);
  MD5_STEP(MD5_F, c, d, a, b, m[6], 0xa8304613u, 17);
  MD5_STEP(MD5_F, b, c, d, a, m[7], 0xfd469501u, 22);
  MD5_STEP(MD5_F, a, b, c, d, m[8], 0x698098d8u, 7);
  MD5_STEP(MD5_F, d, a, b, c, m[9], 0x8b44f7afu, 12);
  MD5_STEP(MD5_F, c, d, a, b, m[10], 0xffff5bb1u, 17);
  MD5_STEP(MD5_F, b, c, d, a, m[11], 0x895cd7beu, 22);
  MD5_STEP(MD5_F, a, b, c, d, m[12], 0x6b901122u, 7);
  MD5_STEP(MD5_F, d, a, b, c, m[13], 0xfd987193u, 12);
  MD5_STEP(MD5_F, c, d, a, b, m[14], 0xa679438eu, 17);
  MD5_STEP(MD5_F, b, c, d, a, m[15], 0x49b40821u, 22);

  MD5_STEP(MD5_G, a, b, c, d, m[1], 0xf61e2562u, 5);
  MD5_STEP(MD5_G, d, a, b, c, m[6], 0xc040b340u, 9);
  MD5_STEP(MD5_G, c, d, a, b, m[11], 0x265e5a51u, 14);
  MD5_STEP(MD5_G, b, c, d, a, m[0], 0xe9b6c7aau, 20);
  MD5_STEP(MD5_G, a, b, c, d, m[5], 0xd62f105du, 5);
  MD5_STEP(MD5_G, d, a, b, c, m[10], 0x02441453u, 9);
  MD5_STEP(MD5_G, c, d, a, b, m[15], 0xd8a1e681u, 14);
  MD5_STEP(MD5_G, b, c, d, a, m[4], 0xe7d3fbc8u, 20);
  MD5_STEP(MD5_G, a, b, c, d, m[9], 0x21e1cde6u, 5);
  MD5_STEP(MD5_G, d, a, b, c, m[14], 0xc33707d6u, 9);
  MD5_STEP(MD5_G, c, d, a, b, m[3], 0xf4d50d87u, 14);
  MD5_STEP(MD5_G, b, c, d, a, m[8], 0x455a14edu, 20);
  MD5_STEP(MD5_G, a, b, c, d, m[13], 0xa9e3e905u, 5);
  MD5_STEP(MD5_G, d, a, b, c, m[2], 0xfcefa3f8u, 9);
  MD5_STEP(MD5_G, c, d, a, b, m[7], 0x676f02d9u, 14);
  MD5_STEP(MD5_G, b, c, d, a, m[12], 0x8d2a4c8au, 20);

  MD5_STEP(MD5_H, a, b, c, d, m[5], 0xfffa3942u, 4);
  MD5_STEP(MD5_H, d, a, b, c, m[8], 0x8771f681u, 11);
  MD5_STEP(MD5_H, c, d, a, b, m[11], 0x6d9d6122u, 16);
  MD5_STEP(MD5_H, b, c, d, a, m[14], 0xfde5380cu, 23);
  MD5_STEP(MD5_H, a, b, c, d, m[1], 0xa4beea44u, 4);
  MD5_STEP(MD5_H, d, a, b, c, m[4], 0x4bdecfa9u, 11);
  MD5_STEP(MD5_H, c, d, a, b, m[7], 0xf6bb4b60u, 16);
  MD5_STEP(MD5_H, b, c, d, a, m[10], 0xbebfbc70u, 23);
  MD5_STEP(MD5_H, a, b, c, d, m[13], 0x289b7ec6u, 4);
  MD5_STEP(MD5_H, d, a, b, c, m[0], 0xeaa127fau, 11);
  MD5_STEP(MD5_H, c, d, a, b, m[3], 0xd4ef3085u, 16);
  MD5_STEP(MD5_H, b, c, d, a, m[6], 0x04881d05u, 23);
  MD5_STEP(MD5_H, a, b, c, d, m[9], 0xd9d4d039u, 4);
  MD5_STEP(MD5_H, d, a, b, c, m[12], 0xe6db99e5u, 11);
  MD5_STEP(MD5_H, c, d, a, b, m[15], 0x1fa27cf8u, 16);
  MD5_STEP(MD5_H, b, c, d, a, m[2], 0xc4ac5665u, 23);

  MD5_STEP(MD5_I, a, b, c, d, m[0], 0xf4292244u, 6);
  MD5_STEP(MD5_I, d, a, b, c, m[7], 0x432aff97u, 10);
  MD5_STEP(MD5_I, c, d, a, b, m[14], 0xab9423a7u, 15);
  MD5_STEP(MD5_I, b, c, d, a, m[5], 0xfc93a039u, 21);
  MD5_STEP(MD5_I, a, b, c, d, m[12], 0x655b59c3u, 6);
  MD5_STEP(MD5_I, d, a, b, c, m[3], 0x8f0ccc92u, 10);
  MD5_STEP(MD5_I, c, d, a, b, m[10], 0xffeff47du, 15);
  MD5_STEP(MD5_I, b, c, d, a, m[1], 0x85845dd1u, 21);
  MD5_STEP(MD5_I, a, b, c, d, m[8], 0x6fa87e4fu, 6);
  MD5_STEP(MD5_I, d, a, b, c, m[15], 0xfe2ce6e0u, 10);
  MD5_STEP(MD5_I, c, d, a, b, m[6], 0xa3014314u, 15);
  MD5_STEP(MD5_I, b, c, d, a, m[13], 0x4e0811a1u, 21);
  MD5_STEP(MD5_I, a, b, c, d, m[4], 0xf7537e82u, 6);
  MD5_STEP(MD5_I, d, a, b, c, m[11], 0xbd3af235u, 10);
  MD5_STEP(MD5_I, c, d, a, b, m[2], 0x2ad7d2bbu, 15);
  MD5_STEP(MD5_I, b, c, d, a, m[9], 0xeb86d391u, 21);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

std::string Md5Hex(const void* data, std::size_t length) {
  Md5 md5;
  md5.Update(data, length);
  return md5.FinalHex();
}

FileHashError HashFile(const char* path, std::string& hex) {
  if (path == nullptr) return FileHashError::kCannotOpen;
  // O_NONBLOCK: a FIFO without a writer must not stop the caller.
  ScopedFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return FileHashError::kCannotOpen;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return FileHashError::kReadError;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return FileHashError::kNotRegularFile;
  }
  auto block = std::make_unique_for_overwrite<std::uint8_t[]>(kFileBlockSize);
  Md5 md5;
  for (;;) {
    ssize_t got = ::read(fd.get(), block.get(), kFileBlockSize);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return FileHashError::kReadError;
    }
    md5.Update(block.get(), static_cast<std::size_t>(got));
  }
  hex = md5.FinalHex();
  return FileHashError::kNone;
}

bool Md5File(const char* path, std::string& hex) {
  return HashFile(path, hex) == FileHashError::kNone;
}
