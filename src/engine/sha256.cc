#include "engine/sha256.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void Sha256::ContextDeleter::operator()(EVP_MD_CTX* context) const {
  EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ != nullptr &&
      EVP_DigestInit_ex2(context_.get(), EVP_sha256(), nullptr) != 1) {
    context_.reset();
  }
}

void Sha256::Update(const void* data, std::size_t length) {
  if (context_ != nullptr && length > 0 &&
      EVP_DigestUpdate(context_.get(), data, length) != 1) {
    context_.reset();
  }
}

std::array<std::uint8_t, 32> Sha256::Final() {
  std::array<std::uint8_t, 32> digest{};
  unsigned int size = 0;
  if (context_ == nullptr ||
      EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 ||
      size != digest.size()) {
    digest.fill(0);
  }
  context_.reset();
  return digest;
}

std::string Sha256::FinalHex() {
  if (!usable()) return std::string();
  const std::array<std::uint8_t, 32> digest = Final();
  std::string hex(64, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return hex;
}

std::string Sha256Hex(std::string_view data) {
  Sha256 sha256;
  sha256.Update(data.data(), data.size());
  return sha256.FinalHex();
}

bool IsSha256Text(std::string_view text) {
  return text.size() == 64 && std::ranges::all_of(text, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}
