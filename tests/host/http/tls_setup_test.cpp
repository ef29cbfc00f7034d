#include "host/src/http/tls_setup.hpp"

#include <gtest/gtest.h>

#include "common/roots.hpp"
#include "common/tls.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;
using namespace drovix::host;

namespace {

size_t cert_count(std::string_view pem) {
  auto s = read_pem_sections(pem, true);
  return s ? s->size() : 0;
}

}  // namespace

TEST(TlsClientRoots, BuiltInRootsPlusTheParseableCustomerCas) {
  const size_t builtin = cert_count(public_roots_pem());
  ASSERT_GT(builtin, 100u) << "the public roots are built in";
  const auto& pki = testbed::shared_test_pki();

  struct Case {
    const char* name;
    std::optional<std::string> ca_pem;  // nothing: no ca.pem at all
    size_t added;
  };
  const Case cases[] = {
      {"no ca.pem", std::nullopt, 0},
      {"one good CA", pki.ca_pem, 1},
      {"good, damaged, good", pki.ca_pem + testbed::damaged_pem_section() + pki.cert_pem, 2},
      {"a key and an unparseable certificate", pki.key_pem + "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n", 0},
      {"empty file", std::string(), 0},
  };
  for (const auto& c : cases) {
    testbed::TempDir dir;
    if (c.ca_pem) testbed::write_text(dir / "ca.pem", *c.ca_pem);
    std::string roots = tls_client_roots_from(dir.path());
    EXPECT_EQ(cert_count(roots), builtin + c.added) << c.name;
  }
}

TEST(TlsServerConfig, BuildsFromTheCertificateFolderFiles) {
  testbed::TempDir dir;
  testbed::write_test_certs(testbed::shared_test_pki(), dir.path());
  auto ok = tls_server_config(dir / "fullchain.pem", dir / "privkey.pem");
  EXPECT_TRUE(ok.ok()) << ok.message();

  testbed::write_text(dir / "privkey.pem", testbed::shared_test_pki().other_key_pem);
  auto bad = tls_server_config(dir / "fullchain.pem", dir / "privkey.pem");
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.message().find("key values mismatch"), std::string::npos) << bad.message();
}
