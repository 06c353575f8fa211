#include "update/list_signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include "engine/sha256.h"

namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using DigestContextPtr =
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// Empties this thread's OpenSSL error queue when it goes, so that failures
// met here, already turned into results, reach no other user of OpenSSL
// (libcurl reads the same queue).
class ClearedOpensslErrors {
 public:
  ClearedOpensslErrors() = default;
  ~ClearedOpensslErrors() { ERR_clear_error(); }
  ClearedOpensslErrors(const ClearedOpensslErrors&) = delete;
  ClearedOpensslErrors& operator=(const ClearedOpensslErrors&) = delete;
};

enum class FileRead { kOk, kMissing, kFailed, kTooLong };

// Reads the file at `path` into `out`, at most `limit` bytes: a longer file
// is kTooLong.
FileRead ReadWholeFile(const std::string& path, std::string& out,
                       std::size_t limit) {
  FilePtr file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (file == nullptr) {
    return errno == ENOENT ? FileRead::kMissing : FileRead::kFailed;
  }
  out.clear();
  char buffer[64 * 1024];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (out.size() + got > limit) return FileRead::kTooLong;
    out.append(buffer, got);
  }
  return std::ferror(file.get()) ? FileRead::kFailed : FileRead::kOk;
}

// The key in `pem`, public or private as `read` parses it; null when the
// text holds none.
template <typename PemReader>
KeyPtr ParsePemKey(const std::string& pem, PemReader read) {
  KeyPtr none(nullptr, &EVP_PKEY_free);
  if (pem.empty() ||
      pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return none;
  }
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
             &BIO_free);
  if (bio == nullptr) return none;
  return KeyPtr(read(bio.get()), &EVP_PKEY_free);
}

bool IsEd25519(const KeyPtr& key) {
  return key != nullptr && EVP_PKEY_base_id(key.get()) == EVP_PKEY_ED25519;
}

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

KeyPtr ParsePublicKey(const ListSigningKey& key) {
  return ParsePemKey(key.pem, [](BIO* bio) {
    return PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  });
}

// The 32 bytes of the Ed25519 public key `key`; false when it is none.
bool RawPublicKey(const ListSigningKey& key,
                  std::array<unsigned char, 32>& raw) {
  ClearedOpensslErrors cleared;
  KeyPtr public_key = ParsePublicKey(key);
  std::size_t size = raw.size();
  return IsEd25519(public_key) &&
         EVP_PKEY_get_raw_public_key(public_key.get(), raw.data(), &size) ==
             1 &&
         size == raw.size();
}

// The Ed25519 private key in the PEM file at `path` into `key`; false with
// a reason in `error`.
bool ReadPrivateKey(const std::string& path, KeyPtr& key, std::string& error) {
  constexpr std::size_t kMaxKeyFile = 64 * 1024;
  std::string pem;
  if (ReadWholeFile(path, pem, kMaxKeyFile) != FileRead::kOk) {
    error = "cannot read the private key file";
    return false;
  }
  // An encrypted key asks for its passphrase on the terminal, as the
  // openssl tool does.
  key = ParsePemKey(pem, [](BIO* bio) {
    return PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  });
  if (key == nullptr) {
    error = "no private key in PEM form (or a wrong passphrase)";
    return false;
  }
  if (!IsEd25519(key)) {
    error = "not an Ed25519 key";
    return false;
  }
  return true;
}

}  // namespace

ListSignature VerifyListSignature(const std::string& list_path,
                                  const std::string& signature_path,
                                  const ListSigningKey& key) {
  if (!IsUsableKey(key)) return ListSignature::kUnusableKey;
  std::string signature;
  switch (ReadWholeFile(signature_path, signature, kListSignatureSize)) {
    case FileRead::kOk:
      break;
    case FileRead::kMissing:
      return ListSignature::kMissing;
    case FileRead::kFailed:
    case FileRead::kTooLong:
      return ListSignature::kUnreadable;
  }
  if (signature.size() != kListSignatureSize) return ListSignature::kUnreadable;
  std::string list;
  if (ReadWholeFile(list_path, list, std::numeric_limits<std::size_t>::max()) !=
      FileRead::kOk) {
    return ListSignature::kWrong;
  }
  return VerifySignatureOfBytes(list, signature, key);
}

ListSignature VerifySignatureOfBytes(std::string_view data,
                                     std::string_view signature,
                                     const ListSigningKey& key) {
  ClearedOpensslErrors cleared;
  KeyPtr public_key = ParsePublicKey(key);
  if (!IsEd25519(public_key)) return ListSignature::kUnusableKey;
  if (signature.size() != kListSignatureSize) return ListSignature::kUnreadable;
  DigestContextPtr context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (context == nullptr ||
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr,
                           public_key.get()) != 1) {
    return ListSignature::kUnusableKey;
  }
  const int verified =
      EVP_DigestVerify(context.get(), Bytes(signature), signature.size(),
                       Bytes(data), data.size());
  return verified == 1 ? ListSignature::kValid : ListSignature::kWrong;
}

const char* ListSignatureReason(ListSignature verdict) {
  switch (verdict) {
    case ListSignature::kValid:
      return "signature valid";
    case ListSignature::kMissing:
      return "signature missing";
    case ListSignature::kUnreadable:
      return "signature unreadable (not a 64-byte Ed25519 signature)";
    case ListSignature::kWrong:
      return "signature wrong (does not verify the list)";
    case ListSignature::kUnusableKey:
      return "the trusted key is not an Ed25519 public key";
  }
  return "signature not checked";
}

bool SignListFile(const std::string& private_key_path,
                  const std::string& list_path, std::string& signature,
                  std::string& error) {
  std::string list;
  if (ReadWholeFile(list_path, list, std::numeric_limits<std::size_t>::max()) !=
      FileRead::kOk) {
    // The key is judged first, as a signer reads it first.
    KeyPtr unused(nullptr, &EVP_PKEY_free);
    if (!ReadPrivateKey(private_key_path, unused, error)) return false;
    error = "cannot read the list";
    return false;
  }
  return SignBytes(private_key_path, list, signature, error);
}

bool SignBytes(const std::string& private_key_path, std::string_view data,
               std::string& signature, std::string& error) {
  ClearedOpensslErrors cleared;
  KeyPtr private_key(nullptr, &EVP_PKEY_free);
  if (!ReadPrivateKey(private_key_path, private_key, error)) return false;
  DigestContextPtr context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::string signed_bytes(kListSignatureSize, '\0');
  std::size_t length = signed_bytes.size();
  if (context == nullptr ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr,
                         private_key.get()) != 1 ||
      EVP_DigestSign(context.get(),
                     reinterpret_cast<unsigned char*>(signed_bytes.data()),
                     &length, Bytes(data), data.size()) != 1 ||
      length != kListSignatureSize) {
    error = "signing failed";
    return false;
  }
  signature = std::move(signed_bytes);
  return true;
}

bool PublicKeyOfPrivateKey(const std::string& private_key_path,
                           ListSigningKey& public_key, std::string& error) {
  ClearedOpensslErrors cleared;
  KeyPtr private_key(nullptr, &EVP_PKEY_free);
  if (!ReadPrivateKey(private_key_path, private_key, error)) return false;
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  char* text = nullptr;
  long size = 0;
  if (bio == nullptr || PEM_write_bio_PUBKEY(bio.get(), private_key.get()) != 1 ||
      (size = BIO_get_mem_data(bio.get(), &text)) <= 0 || text == nullptr) {
    error = "cannot write its public key";
    return false;
  }
  public_key.pem.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool IsUsableKey(const ListSigningKey& key) {
  ClearedOpensslErrors cleared;
  return IsEd25519(ParsePublicKey(key));
}

bool SameKey(const ListSigningKey& a, const ListSigningKey& b) {
  std::array<unsigned char, 32> raw_a, raw_b;
  return RawPublicKey(a, raw_a) && RawPublicKey(b, raw_b) && raw_a == raw_b;
}

std::string KeyFingerprint(const ListSigningKey& key) {
  std::array<unsigned char, 32> raw;
  if (!RawPublicKey(key, raw)) return std::string();
  return "ed25519:" +
         Sha256Hex(std::string_view(reinterpret_cast<const char*>(raw.data()),
                                    raw.size()))
             .substr(0, 16);
}
