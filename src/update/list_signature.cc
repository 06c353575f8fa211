#include "update/list_signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

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

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

ListSignature VerifyListSignature(const std::string& list_path,
                                  const std::string& signature_path,
                                  const ListSigningKey& key) {
  ClearedOpensslErrors cleared;
  KeyPtr public_key = ParsePemKey(key.pem, [](BIO* bio) {
    return PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  });
  if (!IsEd25519(public_key)) return ListSignature::kUnusableKey;

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
  DigestContextPtr context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (context == nullptr ||
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr,
                           public_key.get()) != 1) {
    return ListSignature::kUnusableKey;
  }
  const int verified =
      EVP_DigestVerify(context.get(), Bytes(signature), signature.size(),
                       Bytes(list), list.size());
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
  ClearedOpensslErrors cleared;
  constexpr std::size_t kMaxKeyFile = 64 * 1024;
  std::string pem;
  if (ReadWholeFile(private_key_path, pem, kMaxKeyFile) != FileRead::kOk) {
    error = "cannot read the private key file";
    return false;
  }
  // An encrypted key asks for its passphrase on the terminal, as the
  // openssl tool does.
  KeyPtr private_key = ParsePemKey(pem, [](BIO* bio) {
    return PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  });
  if (private_key == nullptr) {
    error = "no private key in PEM form (or a wrong passphrase)";
    return false;
  }
  if (!IsEd25519(private_key)) {
    error = "not an Ed25519 key";
    return false;
  }
  std::string list;
  if (ReadWholeFile(list_path, list, std::numeric_limits<std::size_t>::max()) !=
      FileRead::kOk) {
    error = "cannot read the list";
    return false;
  }
  DigestContextPtr context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::string signed_bytes(kListSignatureSize, '\0');
  std::size_t length = signed_bytes.size();
  if (context == nullptr ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr,
                         private_key.get()) != 1 ||
      EVP_DigestSign(context.get(),
                     reinterpret_cast<unsigned char*>(signed_bytes.data()),
                     &length, Bytes(list), list.size()) != 1 ||
      length != kListSignatureSize) {
    error = "signing failed";
    return false;
  }
  signature = std::move(signed_bytes);
  return true;
}
