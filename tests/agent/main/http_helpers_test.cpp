#include "agent/src/main/http_helpers.hpp"

#include <gtest/gtest.h>

#include "common/encoding.hpp"
#include "tests/agent/main/mem_stream.hpp"
#include "tests/testbed/certs.hpp"

using namespace drovix::agent;

TEST(PemCerts, CertificatesInFileOrderOtherSectionsSkipped) {
  const auto& pki = testbed::shared_test_pki();
  auto leaf = pem_certs(pki.cert_pem);
  auto ca = pem_certs(pki.ca_pem);
  ASSERT_TRUE(leaf && ca);
  ASSERT_EQ(leaf->size(), 1u);
  EXPECT_EQ(static_cast<unsigned char>(leaf->front()[0]), 0x30) << "DER starts with a SEQUENCE";

  auto chain = pem_certs("leading text\n" + pki.cert_pem + pki.key_pem + pki.ca_pem);
  ASSERT_TRUE(chain) << chain.message();
  EXPECT_EQ(*chain, (std::vector<std::string>{leaf->front(), ca->front()}));
  EXPECT_TRUE(pem_certs("").value().empty());

  const std::string not_der =
      "-----BEGIN CERTIFICATE-----\n" + drovix::base64_encode("not a certificate") + "\n-----END CERTIFICATE-----\n";
  for (const std::string& bad : {testbed::damaged_pem_section(), not_der, pki.cert_pem + not_der})
    EXPECT_FALSE(pem_certs(bad)) << bad;
}

TEST(HttpHelpers, ExchangeMessagesBodiesAndClientWrites) {
  auto m = exchange_messages("What is 2+2?", "4");
  EXPECT_EQ(drovix::to_compact(m[0]), R"({"content":"What is 2+2?","role":"user"})");
  EXPECT_EQ(drovix::to_compact(m[1]), R"({"content":"4","role":"assistant"})");
  EXPECT_EQ(exchange_messages("p", "")[1]["content"], "(no output)");
  EXPECT_EQ(exchange_messages("p", " ")[1]["content"], " ") << "no trimming";

  auto body = parse_json_body(R"( {"b":1,"a":[1.5,-2,3]} )");
  ASSERT_TRUE(body);
  EXPECT_EQ(drovix::to_compact(*body), R"({"a":[1.5,-2,3],"b":1})");
  EXPECT_TRUE((*body)["a"][0].is_number_float());
  EXPECT_TRUE((*body)["a"][1].is_number_integer());
  EXPECT_TRUE((*body)["a"][2].is_number_unsigned());
  EXPECT_FALSE(parse_json_body("{\"a\":"));
  EXPECT_FALSE(parse_json_body(""));

  agenttest::ScriptedStream client("");
  ASSERT_TRUE(write_to_client(client, "data: x\n\n"));
  EXPECT_EQ(client.out, "data: x\n\n");
  client.fail_writes();
  EXPECT_EQ(write_to_client(client, "more").message(), "Broken pipe");
}
