#include "host/src/http/message.hpp"

#include <gtest/gtest.h>

#include <deque>

using namespace drovix;
using namespace drovix::host;

namespace {

// An in-memory connection: each read hands out (at most) the next scripted
// chunk; after the script, end of stream or a scripted error.
class ScriptStream : public ByteStream {
 public:
  explicit ScriptStream(std::vector<std::string> chunks) : chunks_(chunks.begin(), chunks.end()) {}

  Result<size_t> read_some(char* buf, size_t n) override {
    ++reads;
    if (chunks_.empty()) {
      if (end_error) return *end_error;
      return size_t{0};
    }
    std::string& c = chunks_.front();
    size_t k = std::min(n, c.size());
    std::memcpy(buf, c.data(), k);
    delivered += k;
    c.erase(0, k);
    if (c.empty()) chunks_.pop_front();
    return k;
  }
  Status write_all(std::string_view data) override {
    if (write_error) return *write_error;
    written.append(data);
    return ok_status();
  }
  Status finish() override {
    ++finishes;
    return ok_status();
  }

  std::optional<Error> end_error;
  std::optional<Error> write_error;
  std::string written;
  size_t reads = 0;
  size_t delivered = 0;
  int finishes = 0;

 private:
  std::deque<std::string> chunks_;
};

Result<HttpRequest> read_one(const std::string& bytes, size_t max_body = 1000) {
  ScriptStream s({bytes});
  return read_request(s, "10.0.9.11", max_body);
}

}  // namespace

TEST(ReadRequest, RequestLineAndHeaders) {
  struct Case {
    std::string head;
    std::string method, path;
  };
  const Case cases[] = {
      {"GET /a?b=1 HTTP/1.1", "GET", "/a?b=1"},
      {"GET", "GET", "/"},
      {"", "", "/"},
      {"post   /x%20y   HTTP/1.0", "post", "/x%20y"},
      {"GET\xC2\xA0/nbsp HTTP/1.1", "GET", "/nbsp"},  // U+00A0 is white space too
  };
  for (const auto& c : cases) {
    auto r = read_one(c.head + "\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(r.ok()) << c.head << ": " << r.message();
    EXPECT_EQ(r->method, c.method) << c.head;
    EXPECT_EQ(r->path, c.path) << c.head;
    EXPECT_EQ(r->peer, "10.0.9.11");
  }

  auto r = read_one(
      "GET / HTTP/1.1\r\nX-A : b : c\r\nno colon here\r\nX-A:second\r\nX-Bad: \xFF\xFEok\r\n\tTrimmed:\t v \t\r\n\r\n");
  ASSERT_TRUE(r.ok());
  HeaderList want = {{"X-A", "b : c"}, {"X-A", "second"}, {"X-Bad", "\xEF\xBF\xBD\xEF\xBF\xBDok"}, {"Trimmed", "v"}};
  EXPECT_EQ(r->headers, want);
  EXPECT_EQ(header(*r, "x-a"), "b : c");
  EXPECT_EQ(header(*r, "X-MISSING"), std::nullopt);
}

TEST(ReadRequest, ContentLengthForms) {
  struct Case {
    std::string headers;
    std::string body;
  };
  const std::string payload = "0123456789";
  const Case cases[] = {
      {"content-length: 5", "01234"},
      {"CONTENT-LENGTH: 5", "01234"},
      {"Content-Length:   5  ", "01234"},
      {"Content-Length: +5", "01234"},
      {"Content-Length: 5x", ""},
      {"Content-Length: -1", ""},
      {"Content-Length: +", ""},
      {"Content-Length: 5 5", ""},
      {"Content-Length: 100000000000000000000", ""},  // 21 digits: overflow
      {"Content-Length: 18446744073709551616", ""},   // 2^64
      {"Content-Length: x\r\nContent-Length: 5", ""},  // the first one decides
      {"Content-Length: 3\r\nContent-Length: 5", "012"},
      {"Transfer-Encoding: chunked", ""},  // no length: no body
      {"Content-Length: 0", ""},
  };
  for (const auto& c : cases) {
    auto r = read_one("POST /p HTTP/1.1\r\n" + c.headers + "\r\n\r\n" + payload);
    ASSERT_TRUE(r.ok()) << c.headers << ": " << r.message();
    EXPECT_EQ(r->body, c.body) << c.headers;
  }
}

TEST(ReadRequest, BodyLimitIsCheckedBeforeAnyBodyByteIsRead) {
  const std::string head = "POST /p HTTP/1.1\r\nContent-Length: 10\r\n\r\n";

  // Exactly max_body: read, even when the body trickles in.
  ScriptStream exact({head, "01234", "56789"});
  auto ok = read_request(exact, "p", 10);
  ASSERT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(ok->body, "0123456789");

  // One byte over: refused after the header read, the body never asked for.
  ScriptStream over({head, "0123456789"});
  auto r = read_request(over, "p", 9);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
  EXPECT_EQ(r.message(), "body too large");
  EXPECT_EQ(over.reads, 1u);
  EXPECT_EQ(over.delivered, head.size());
  EXPECT_TRUE(over.written.empty()) << "the reader itself writes nothing";
}

TEST(ReadRequest, OneRequestOnlyAndBodyCutToItsLength) {
  ScriptStream s({"POST /one HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /two HTTP/1.1\r\n\r\n"});
  auto r = read_request(s, "p", 100);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->path, "/one");
  EXPECT_EQ(r->body, "abc");
  EXPECT_EQ(s.reads, 1u) << "nothing more is read once the body is complete";
}

TEST(ReadRequest, EndsAndErrorsOfTheStream) {
  // The peer closes before the header block is complete.
  auto closed = read_one("GET / HTTP/1.1\r\nHost: h\r\n");
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().kind, ErrorKind::UnexpectedEof);
  EXPECT_EQ(closed.message(), "closed");

  // Bare LF line ends never complete a header block.
  auto bare = read_one("GET / HTTP/1.1\nHost: h\n\n");
  ASSERT_FALSE(bare.ok());
  EXPECT_EQ(bare.message(), "closed");

  // The peer closes after 3 of 10 announced body bytes: not a request.
  auto cut = read_one("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().kind, ErrorKind::UnexpectedEof);
  EXPECT_EQ(cut.message(), kBodyIncomplete);

  // Stream errors pass through unchanged, in the head and in the body.
  for (std::string bytes : {"GET / HTTP/1.1\r\n", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"}) {
    ScriptStream s({bytes});
    s.end_error = Error(ErrorKind::TimedOut, "read: timed out");
    auto r = read_request(s, "p", 100);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::TimedOut);
    EXPECT_EQ(r.message(), "read: timed out");
  }
}

TEST(ReadRequest, HeaderLimitSearchesBeforeItCounts) {
  auto filler = [](size_t n) {
    std::string s = "GET / HTTP/1.1\r\nX-Fill: ";
    s.resize(n, 'a');
    return s;
  };
  // 60,000 bytes without a terminator, then 10,000 more with CR LF CR LF
  // ending at byte 69,000: accepted although the buffer passed 65,536.
  {
    std::string first = filler(60000);
    std::string second(10000, 'b');
    second.replace(9000 - 4, 4, "\r\n\r\n");
    ScriptStream s({first.substr(0, 16384), first.substr(16384, 16384), first.substr(32768, 16384),
                    first.substr(49152), second});
    auto r = read_request(s, "p", 100);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r->headers.size(), 1u);
  }
  // 65,537 bytes without a terminator: refused as soon as they are in.
  {
    std::string big = filler(65537);
    std::vector<std::string> chunks;
    for (size_t i = 0; i < big.size(); i += 16384) chunks.push_back(big.substr(i, 16384));
    chunks.push_back("\r\n\r\n");
    ScriptStream s(chunks);
    auto r = read_request(s, "p", 100);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(r.message(), "headers too large");
    EXPECT_EQ(s.delivered, 65537u);
  }
  // Exactly 65,536 bytes without a terminator is still waited on.
  {
    ScriptStream s({filler(65536), "\r\n\r\n"});
    auto r = read_request(s, "p", 100);
    EXPECT_TRUE(r.ok()) << r.message();
  }
}

TEST(HeaderHelpers, SplitAndFind) {
  EXPECT_EQ(split_header_line("X-A : b : c"), std::make_pair(std::string("X-A"), std::string("b : c")));
  EXPECT_EQ(split_header_line("Empty:"), std::make_pair(std::string("Empty"), std::string("")));
  EXPECT_EQ(split_header_line("no colon"), std::nullopt);

  EXPECT_EQ(find_header_end("\r\n\r"), std::nullopt);
  EXPECT_EQ(find_header_end("\r\n\r\n"), 0u);
  EXPECT_EQ(find_header_end("ab\r\n\r\ncd\r\n\r\n"), 2u);
  EXPECT_EQ(find_header_end("ab\n\n"), std::nullopt);
}

TEST(WriteResponse, HeadsByteForByte) {
  struct Case {
    HttpResponse resp;
    std::string wire;
  };
  HttpResponse created;
  created.status = 201;
  created.body = "{}";
  HttpResponse page;
  page.status = 200;
  page.content_type = "text/html; charset=utf-8";
  page.body = "<p>";
  page.headers = {{"Set-Cookie", "a=1"}, {"X-Two", "2"}};
  const Case cases[] = {
      {created,
       "HTTP/1.1 201 \r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
      {json_response(413, OJson{{"error", "request too large"}}),
       "HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\nContent-Length: 29\r\n"
       "Connection: close\r\n\r\n{\"error\":\"request too large\"}"},
      {page,
       "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 3\r\nConnection: close\r\n"
       "Set-Cookie: a=1\r\nX-Two: 2\r\n\r\n<p>"},
  };
  for (const auto& c : cases) {
    ScriptStream s({});
    ASSERT_TRUE(write_response(s, c.resp));
    EXPECT_EQ(s.written, c.wire);
    EXPECT_EQ(s.finishes, 1) << "every reply ends the session";
  }

  // A large body follows the head unchanged.
  HttpResponse big;
  big.body = std::string(100000, 'z');
  ScriptStream s({});
  ASSERT_TRUE(write_response(s, big));
  EXPECT_EQ(s.written.substr(s.written.size() - big.body.size()), big.body);

  ScriptStream broken({});
  broken.write_error = Error(ErrorKind::Io, "write: Broken pipe");
  auto st = write_response(broken, created);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.message(), "write: Broken pipe");
}

TEST(WriteResponse, ReasonPhrasesAndBuilders) {
  const std::pair<uint16_t, const char*> reasons[] = {
      {200, "OK"},          {202, "Accepted"},          {400, "Bad Request"},
      {401, "Unauthorized"}, {403, "Forbidden"},        {404, "Not Found"},
      {409, "Conflict"},    {413, "Payload Too Large"}, {500, "Internal Server Error"},
      {502, "Bad Gateway"}, {201, ""},                  {503, ""},
  };
  for (auto [code, text] : reasons) EXPECT_STREQ(reason_phrase(code), text) << code;

  OJson v = {{"z", 1}, {"a", {{"k", "v w"}}}};
  auto r = json_response(202, v);
  EXPECT_EQ(r.body, "{\"z\":1,\"a\":{\"k\":\"v w\"}}") << "compact, keys in insertion order";
  EXPECT_STREQ(r.content_type, "application/json");
  EXPECT_EQ(r.status, 202);
  EXPECT_TRUE(r.headers.empty());

  auto c = with_set_cookie(with_set_cookie(std::move(r), "a=1"), "b=2");
  HeaderList want = {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}};
  EXPECT_EQ(c.headers, want);
}
