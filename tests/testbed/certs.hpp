#pragma once
// Test certificates made at test time: a CA, leaves signed by it for a host
// name and the IP addresses the host serves on, and a few deliberately bad
// inputs.
#include <string>
#include <vector>

namespace testbed {

struct TestPki {
  std::string ca_pem;         // self-signed CA certificate
  std::string ca_key_pem;     // its key (PKCS#8)
  std::string cert_pem;       // RSA-2048 leaf signed by the CA
  std::string key_pem;        // the leaf's key (PKCS#8)
  std::string ec_cert_pem;    // P-256 leaf with the same names, signed by the CA
  std::string ec_key_pem;     // its key (SEC1, "EC PRIVATE KEY")
  std::string other_key_pem;  // a key that belongs to none of these certificates
};

// Leaves carry DNS:host_name and one IP SAN per entry of ips. Each call
// makes fresh keys (RSA key generation takes a moment).
TestPki make_test_pki(const std::string& host_name,
                      const std::vector<std::string>& ips = {"127.0.0.1", "10.0.9.1"});
// One PKI per process for "localhost" with the default IPs, made on first use.
const TestPki& shared_test_pki();

// Writes fullchain.pem (leaf, then CA), privkey.pem and ca.pem into dir
// (created when missing).
void write_test_certs(const TestPki& pki, const std::string& dir);

// The same key as PKCS#1 ("RSA PRIVATE KEY") text; key_pem must hold an RSA key.
std::string rsa_key_as_pkcs1(const std::string& key_pem);
// A CERTIFICATE section whose base64 is damaged.
std::string damaged_pem_section();

}  // namespace testbed
