#include "agent/src/main/http_helpers.hpp"

#include <openssl/x509.h>

#include "common/tls.hpp"

namespace drovix::agent {

Result<std::vector<std::string>> pem_certs(std::string_view pem_text) {
  auto sections = read_pem_sections(pem_text, false);
  if (!sections) return sections.error();
  std::vector<std::string> out;
  for (auto& s : *sections) {
    if (s.label != "CERTIFICATE") continue;
    const auto* p = reinterpret_cast<const unsigned char*>(s.der.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(s.der.size()));
    if (!cert) return Error(ErrorKind::InvalidData, "certificate " + std::to_string(out.size() + 1) + " is not valid DER");
    X509_free(cert);
    out.push_back(std::move(s.der));
  }
  return out;
}

Status write_to_client(ByteStream& client, std::string_view bytes) { return client.write_all(bytes); }

std::array<SJson, 2> exchange_messages(const std::string& prompt, const std::string& answer) {
  SJson user = {{"role", "user"}, {"content", prompt}};
  SJson assistant = {{"role", "assistant"}, {"content", answer.empty() ? std::string("(no output)") : answer}};
  return {std::move(user), std::move(assistant)};
}

std::optional<SJson> parse_json_body(std::string text) { return parse_json<SJson>(text); }

}  // namespace drovix::agent
