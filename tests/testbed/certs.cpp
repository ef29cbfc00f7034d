#include "tests/testbed/certs.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/testbed/testbed.hpp"

namespace testbed {

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "test certificates: %s failed\n", what);
  std::abort();
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string s(data, static_cast<size_t>(len));
  BIO_free(bio);
  return s;
}

EVP_PKEY* new_rsa() {
  EVP_PKEY* k = EVP_RSA_gen(2048);
  if (!k) die("RSA key generation");
  return k;
}

EVP_PKEY* new_ec() {
  EVP_PKEY* k = EVP_EC_gen("P-256");
  if (!k) die("EC key generation");
  return k;
}

std::string pkcs8_pem(EVP_PKEY* k) {
  BIO* b = BIO_new(BIO_s_mem());
  if (PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr) != 1) die("PEM key");
  return bio_text(b);
}

std::string cert_pem(X509* x) {
  BIO* b = BIO_new(BIO_s_mem());
  if (PEM_write_bio_X509(b, x) != 1) die("PEM certificate");
  return bio_text(b);
}

void add_ext(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) die("certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* make_cert(EVP_PKEY* key, const std::string& cn, X509* issuer, EVP_PKEY* issuer_key, bool is_ca,
                const std::string& san) {
  static long serial = 1;
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++ + (std::rand() & 0xffff) * 1000);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 10L * 365 * 24 * 3600);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Drovix Test"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                             0);
  X509* signer = issuer ? issuer : x;
  X509_set_issuer_name(x, X509_get_subject_name(signer));
  add_ext(x, signer, NID_subject_key_identifier, "hash");
  if (issuer) add_ext(x, signer, NID_authority_key_identifier, "keyid:always");
  if (is_ca) {
    add_ext(x, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_ext(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_ext(x, signer, NID_basic_constraints, "critical,CA:FALSE");
    add_ext(x, signer, NID_ext_key_usage, "serverAuth,clientAuth");
    add_ext(x, signer, NID_subject_alt_name, san);
  }
  if (X509_sign(x, issuer_key ? issuer_key : key, EVP_sha256()) == 0) die("certificate signing");
  return x;
}

}  // namespace

TestPki make_test_pki(const std::string& host_name, const std::vector<std::string>& ips) {
  std::string san = "DNS:" + host_name;
  for (const auto& ip : ips) san += ",IP:" + ip;

  TestPki pki;
  EVP_PKEY* ca_key = new_ec();
  X509* ca = make_cert(ca_key, "Drovix Test CA", nullptr, nullptr, true, "");
  pki.ca_pem = cert_pem(ca);
  pki.ca_key_pem = pkcs8_pem(ca_key);

  EVP_PKEY* leaf_key = new_rsa();
  X509* leaf = make_cert(leaf_key, host_name, ca, ca_key, false, san);
  pki.cert_pem = cert_pem(leaf);
  pki.key_pem = pkcs8_pem(leaf_key);

  EVP_PKEY* ec_key = new_ec();
  X509* ec_leaf = make_cert(ec_key, host_name, ca, ca_key, false, san);
  pki.ec_cert_pem = cert_pem(ec_leaf);
  {
    BIO* b = BIO_new(BIO_s_mem());
    // The traditional form of an EC key is SEC1.
    if (PEM_write_bio_PrivateKey_traditional(b, ec_key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
      die("SEC1 key");
    pki.ec_key_pem = bio_text(b);
  }

  EVP_PKEY* other = new_rsa();
  pki.other_key_pem = pkcs8_pem(other);

  X509_free(ca);
  X509_free(leaf);
  X509_free(ec_leaf);
  EVP_PKEY_free(ca_key);
  EVP_PKEY_free(leaf_key);
  EVP_PKEY_free(ec_key);
  EVP_PKEY_free(other);
  return pki;
}

const TestPki& shared_test_pki() {
  static const TestPki pki = make_test_pki("localhost");
  return pki;
}

void write_test_certs(const TestPki& pki, const std::string& dir) {
  std::filesystem::create_directories(dir);
  write_text(dir + "/fullchain.pem", pki.cert_pem + pki.ca_pem);
  write_text(dir + "/privkey.pem", pki.key_pem);
  write_text(dir + "/ca.pem", pki.ca_pem);
}

std::string rsa_key_as_pkcs1(const std::string& key_pem) {
  BIO* in = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
  EVP_PKEY* k = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  if (!k || EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) die("reading an RSA key");
  BIO* b = BIO_new(BIO_s_mem());
  if (PEM_write_bio_PrivateKey_traditional(b, k, nullptr, nullptr, 0, nullptr, nullptr) != 1) die("PKCS#1 key");
  EVP_PKEY_free(k);
  return bio_text(b);
}

std::string damaged_pem_section() {
  return "-----BEGIN CERTIFICATE-----\n"
         "MIIB!!this is not base64 at all!!\n"
         "-----END CERTIFICATE-----\n";
}

}  // namespace testbed
