#pragma once
// A stand-in for the Microsoft identity platform's token endpoint and the
// Microsoft Graph reads of a SharePoint site, over TLS on loopback (or an
// address inside a test's namespace).
//
// POST /{tenant}/oauth2/v2.0/token checks a client-credentials request with
// a certificate-signed client assertion the way the real endpoint does: the
// RS256 signature against the registered certificate's key, x5t as the
// SHA-1 thumbprint of its DER, aud as this very token URL, iss and sub as
// the client, exp - nbf = 600 around the current time, and a jti never seen
// before. It answers {"access_token": ...} or a refusal with "error" and a
// several-line "error_description".
//
// GET /v1.0/sites/{site}, /v1.0/sites/{site}/drive and
// /v1.0/drives/{drive}/root/children answer as Graph does for tokens it
// issued; any other bearer gets 401. Any route can be scripted to fail.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/net.hpp"
#include "common/result.hpp"
#include "common/tls.hpp"
#include "tools/peers/tls_peer_server.hpp"

namespace peers {

class GraphPeer {
 public:
  enum class Route { Token, Site, Drive, Children, Other };

  // What a scripted request gets instead of the normal answer.
  struct Scripted {
    int status = 200;
    std::string body;
    bool drop = false;  // close the connection without answering
  };

  struct Seen {
    Route route = Route::Other;
    std::string method;
    std::string target;         // path and query as sent
    std::string authorization;  // the header's value, "" when absent
    std::string content_type;
    std::string body;
  };

  // One client assertion that the token endpoint accepted: its two JSON
  // texts exactly as signed, and the claims parsed.
  struct Assertion {
    std::string header_json;
    std::string claims_json;
    nlohmann::json claims;
  };

  static drovix::Result<std::unique_ptr<GraphPeer>> start(const std::string& addr_port,
                                                          const std::string& tls_cert_file,
                                                          const std::string& tls_key_file);
  ~GraphPeer();
  GraphPeer(const GraphPeer&) = delete;
  GraphPeer& operator=(const GraphPeer&) = delete;

  int port() const { return server_->port(); }

  // The registered application: its tenant, client id and certificate.
  void set_app(const std::string& tenant, const std::string& client_id, const std::string& cert_pem);
  // The site and its document library; an empty drive id leaves "id" out of
  // the drive reply.
  void set_site(const std::string& site_id, const std::string& display_name, const std::string& drive_id,
                const std::string& drive_name);
  // The driveItems of the library root, as Graph lists them.
  void set_children(nlohmann::json items);

  // The next request of the route gets this instead; several queue up.
  void script(Route route, Scripted reply);
  // Graph refuses every token issued so far.
  void revoke_tokens();
  // Forgets scripts, requests, tokens and assertions (the app and site stay).
  void reset();
  // Forgets only the requests seen so far.
  void clear_requests();

  std::vector<Seen> requests() const;
  std::vector<Seen> requests(Route route) const;
  std::vector<std::string> issued_tokens() const;
  std::vector<Assertion> assertions() const;

 private:
  GraphPeer() = default;
  void serve(drovix::TlsStream& tls);
  std::string answer(const Seen& req, const std::vector<std::pair<std::string, std::string>>& headers);
  std::string token_answer(const Seen& req, const std::string& host_header);
  std::string graph_answer(const Seen& req);


  mutable std::mutex mu_;
  bool stopping_ = false;
  std::string tenant_, client_id_, app_cert_der_;
  std::string site_id_, site_name_, drive_id_, drive_name_;
  nlohmann::json children_ = nlohmann::json::array();
  std::map<Route, std::deque<Scripted>> scripts_;
  std::vector<Seen> requests_;
  std::set<std::string> valid_tokens_;
  std::vector<std::string> issued_;
  std::set<std::string> seen_jti_;
  std::vector<Assertion> assertions_;
  int next_token_ = 1;
  std::unique_ptr<TlsPeerServer> server_;  // last: stops before the state above goes
};

}  // namespace peers
