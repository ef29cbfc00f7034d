#include "common/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <memory>

#include "common/encoding.hpp"

namespace drovix {

std::string sha256(std::string_view data) {
  unsigned char out[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string sha1(std::string_view data) {
  unsigned char out[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string hmac_sha256(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  static const unsigned char empty = 0;
  HMAC(EVP_sha256(), key.empty() ? static_cast<const void*>(&empty) : static_cast<const void*>(key.data()), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len);
  return std::string(reinterpret_cast<char*>(out), len);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace {
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
}

std::string seal_blob(std::string_view plaintext, std::string_view passphrase) {
  std::string key = sha256(passphrase);
  std::string nonce = random_bytes(12);
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
  EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                     reinterpret_cast<const unsigned char*>(nonce.data()));
  std::string out = nonce;
  out.resize(12 + plaintext.size() + 16);
  int len = 0;
  auto* dst = reinterpret_cast<unsigned char*>(out.data() + 12);
  EVP_EncryptUpdate(ctx.get(), dst, &len, reinterpret_cast<const unsigned char*>(plaintext.data()),
                    static_cast<int>(plaintext.size()));
  int fin = 0;
  EVP_EncryptFinal_ex(ctx.get(), dst + len, &fin);
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, out.data() + 12 + plaintext.size());
  return out;
}

Result<std::string> open_blob(std::string_view blob, std::string_view passphrase) {
  if (blob.size() < 28) return Error("blob too short");
  std::string key = sha256(passphrase);
  std::string_view nonce = blob.substr(0, 12);
  std::string_view body = blob.substr(12, blob.size() - 28);
  std::string tag(blob.substr(blob.size() - 16));
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
  EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                     reinterpret_cast<const unsigned char*>(nonce.data()));
  std::string out(body.size(), '\0');
  int len = 0;
  EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len,
                    reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(body.size()));
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data());
  int fin = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + len, &fin) != 1)
    return Error("decrypt failed (bad passphrase or corrupt blob)");
  return out;
}

}  // namespace drovix
