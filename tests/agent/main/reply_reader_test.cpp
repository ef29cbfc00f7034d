#include <gtest/gtest.h>

#include "agent/src/main/http_client.hpp"
#include "agent/src/main/response_head.hpp"
#include "tests/agent/main/mem_stream.hpp"

using namespace drovix::agent;
using drovix::ErrorKind;

namespace {

drovix::Result<ResponseHead> head_of(std::string bytes) {
  agenttest::ScriptedStream s(std::move(bytes));
  BufReader in(s);
  return read_response_head(in);
}

}  // namespace

TEST(ResponseHead, StatusLocationAndChunkedMark) {
  struct Case {
    std::string head;
    uint16_t status;
    bool chunked;
    std::string location;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", 200, false, ""},
      {"HTTP/1.1 +201 Created\r\n\r\n", 201, false, ""},
      {"HTTP/1.1 abc OK\r\n\r\n", 0, false, ""},
      {"HTTP/1.1 70000 Big\r\n\r\n", 0, false, ""},
      {"HTTP/1.1 20x\r\n\r\n", 0, false, ""},
      {"HTTP/1.1\r\n\r\n", 0, false, ""},
      {"", 0, false, ""},
      {"HTTP/1.1 302 Found\nLocation:  https://a/1 \nlocation: https://b/2\n\nbody", 302, false, "https://b/2"},
      {"HTTP/1.1 200 OK\r\nTRANSFER-ENCODING: gzip, ChUnKeD\r\n\r\n", 200, true, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", 200, false, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encodings: chunked\r\nno colon line\r\n\r\n", 200, false, ""},
      {"HTTP/1.1 200 OK\r\nX-A: 1\r\n", 200, false, ""},  // the stream ends inside the head
  };
  for (const auto& c : cases) {
    auto h = head_of(c.head);
    ASSERT_TRUE(h) << c.head << ": " << h.message();
    EXPECT_EQ(h->status, c.status) << c.head;
    EXPECT_EQ(h->chunked, c.chunked) << c.head;
    EXPECT_EQ(h->location, c.location) << c.head;
  }
}

TEST(ResponseHead, ReadErrors) {
  auto bad_status = head_of("HTTP/1.1 200 \xff\r\n\r\n");
  ASSERT_FALSE(bad_status);
  EXPECT_EQ(bad_status.message().rfind("read status: ", 0), 0u) << bad_status.message();

  auto bad_header = head_of("HTTP/1.1 200 OK\r\nX: \xc3\r\n\r\n");
  ASSERT_FALSE(bad_header);
  EXPECT_EQ(bad_header.message().rfind("hdr: ", 0), 0u) << bad_header.message();

  auto endless = head_of("HTTP/1.1 200 OK\r\nX: " + std::string(100000, 'a'));
  ASSERT_FALSE(endless);
  EXPECT_EQ(endless.message().rfind("hdr: ", 0), 0u);

  agenttest::ScriptedStream s("HTTP/1.1 200 OK\r\nX: 1");
  s.end_with_error(ErrorKind::Io, "Connection reset by peer");
  BufReader in(s);
  auto reset = read_response_head(in);
  ASSERT_FALSE(reset);
  EXPECT_EQ(reset.message(), "hdr: Connection reset by peer");
}

TEST(ReadReply, BodiesEndAtTheirFramingOrTheEndOfTheStream) {
  struct Case {
    const char* name;
    std::string bytes;
    uint16_t status;
    std::string body;
  };
  const Case cases[] = {
      {"chunked in any letter case", "HTTP/1.1 200 OK\r\ntransfer-encoding: CHUNKED\r\n\r\n5\r\nhello\r\nA\r\n, world!!!\r\n0\r\n\r\n",
       200, "hello, world!!!"},
      {"chunk extensions, upper-case hex, trailers", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "3;name=v\r\nabc\r\n1A\r\n" + std::string(26, 'z') + "\r\n0\r\nX-Trailer: 1\r\n\r\n", 200, "abc" + std::string(26, 'z')},
      {"last chunk without trailer line end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n", 200, "ok"},
      {"content-length", "HTTP/1.1 201 Created\r\nContent-Length: 11\r\n\r\nhello world", 201, "hello world"},
      {"bytes after content-length are not body", "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nokEXTRA", 200, "ok"},
      {"content-length 0", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", 204, ""},
      {"no framing: to the end of the stream", "HTTP/1.1 200 OK\r\n\r\nall of it", 200, "all of it"},
      {"chunked wins over content-length", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", 200, "x"},
      {"empty reply", "", 0, ""},
  };
  for (const auto& c : cases) {
    agenttest::ScriptedStream s(c.bytes, 5);
    auto r = read_reply(s);
    ASSERT_TRUE(r) << c.name << ": " << r.message();
    EXPECT_EQ(r->status, c.status) << c.name;
    EXPECT_EQ(r->body, c.body) << c.name;
  }
}

TEST(ReadReply, ReplyCutShortIsAnError) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"content-length not reached", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this",
       "read body: the reply ended after 9 of 100 bytes"},
      {"inside a chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nshort",
       "read body: the reply ended before its last chunk"},
      {"between chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n",
       "read body: the reply ended before its last chunk"},
      {"inside a size line", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n1",
       "read body: the reply ended before its last chunk"},
      {"head without body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
       "read body: the reply ended before its last chunk"},
      {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nok\r\n0\r\n\r\n",
       "read body: invalid chunk size line"},
  };
  for (const auto& c : cases) {
    // A bare end of a TLS stream (no close_notify) counts as the end; it
    // must still not make a short reply whole.
    for (bool bare_eof : {false, true}) {
      agenttest::ScriptedStream s(c.bytes, 3);
      if (bare_eof) s.end_with_error(ErrorKind::UnexpectedEof, "peer closed connection without sending TLS close_notify");
      auto r = read_reply(s);
      ASSERT_FALSE(r) << c.name;
      EXPECT_EQ(r.message(), c.error) << c.name;
    }
  }
}

TEST(ReadReply, BareEndOfStreamEndsAnUnframedBodyAndOtherErrorsFail) {
  agenttest::ScriptedStream bare("HTTP/1.1 200 OK\r\n\r\nstreamed answer");
  bare.end_with_error(ErrorKind::UnexpectedEof, "unexpected eof");
  auto r = read_reply(bare);
  ASSERT_TRUE(r) << r.message();
  EXPECT_EQ(r->body, "streamed answer");

  agenttest::ScriptedStream reset("HTTP/1.1 200 OK\r\n\r\npartial");
  reset.end_with_error(ErrorKind::TimedOut, "Resource temporarily unavailable");
  auto e = read_reply(reset);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.message(), "read body: Resource temporarily unavailable");
}
