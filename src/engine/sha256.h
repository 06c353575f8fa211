// SHA-256 message digest (FIPS 180-4).
#ifndef STARTER_ENGINE_SHA256_H_
#define STARTER_ENGINE_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// Incremental SHA-256 (OpenSSL's). Feed bytes with Update in any chunking,
// then call Final once; the digest does not depend on how the input was
// split.
class Sha256 {
 public:
  Sha256();
  // False when OpenSSL could not provide SHA-256 or a step of it failed:
  // Final then gives 32 zero bytes and FinalHex the empty string, which no
  // digest text equals.
  bool usable() const { return context_ != nullptr; }
  // Adds `length` bytes at `data` to the message.
  void Update(const void* data, std::size_t length);
  // Finishes the message and returns its 32-byte digest. The object must not
  // be updated afterwards.
  std::array<std::uint8_t, 32> Final();
  // Finishes the message and returns the digest as 64 lower-case hex digits.
  std::string FinalHex();

 private:
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const;
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
};

// The digest of `data` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view data);

// True when `text` is a digest as this program writes it: 64 lower-case
// hexadecimal digits.
bool IsSha256Text(std::string_view text);

#endif  // STARTER_ENGINE_SHA256_H_
