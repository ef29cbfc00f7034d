#include "agent/src/main/model_stream.hpp"

#include "agent/src/main/buf_reader.hpp"
#include "agent/src/main/chunked.hpp"
#include "agent/src/main/hooks.hpp"
#include "agent/src/main/response_head.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr size_t kReadSize = 4096;
constexpr size_t kMaxChunkLine = 4096;

uint32_t be32(const std::string& s, size_t at) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(s[at])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

const SJson* at_pointer(const SJson& v, const char* ptr) {
  const SJson* cur = &v;
  std::string_view p = ptr;
  while (!p.empty()) {
    p.remove_prefix(1);  // '/'
    size_t slash = p.find('/');
    std::string key(p.substr(0, slash));
    if (!cur->is_object()) return nullptr;
    auto it = cur->find(key);
    if (it == cur->end()) return nullptr;
    cur = &*it;
    p = slash == std::string_view::npos ? std::string_view() : p.substr(slash);
  }
  return cur;
}

std::optional<uint64_t> count_at(const SJson& v, const char* ptr) {
  const SJson* n = at_pointer(v, ptr);
  if (!n || !n->is_number_integer()) return std::nullopt;
  if (n->is_number_unsigned()) return n->get<uint64_t>();
  int64_t i = n->get<int64_t>();
  if (i < 0) return std::nullopt;
  return static_cast<uint64_t>(i);
}

// Runs the reader that fits the reply over the pending bytes.
Status run_reader(bool bedrock, StreamState& st) { return bedrock ? eventstream_frame(st) : sse_lines(st); }

// The rest of an error reply, to its end; read failures end it.
std::string read_rest(BufReader& in) {
  std::string body;
  char buf[kReadSize];
  for (;;) {
    auto r = in.read_some(buf, sizeof buf);
    if (!r || *r == 0) break;
    body.append(buf, *r);
  }
  return body;
}

Status read_plain(BufReader& in, bool bedrock, StreamState& st) {
  char buf[kReadSize];
  while (!st.done) {
    auto r = in.read_some(buf, sizeof buf);
    if (!r) {
      if (r.error().kind == ErrorKind::UnexpectedEof) break;
      return Error("read: " + r.message());
    }
    if (*r == 0) break;
    st.pending.append(buf, *r);
    if (auto s = run_reader(bedrock, st); !s) return s;
  }
  return ok_status();
}

Status read_chunked(BufReader& in, bool bedrock, StreamState& st) {
  char buf[kReadSize];
  while (!st.done) {
    std::string line;
    auto r = in.read_line(line, kMaxChunkLine);
    if (!r) return Error("chunk sz: " + r.message());
    if (!line.empty() && line.back() == '\n') line.pop_back();
    auto size = parse_chunk_size(line);
    if (!size || *size == 0) break;
    // The chunk's data goes to the reader piece by piece as it arrives, so
    // a large chunk neither waits whole nor has to fit in memory at once.
    uint64_t left = *size;
    while (left > 0) {
      size_t want = left < sizeof buf ? static_cast<size_t>(left) : sizeof buf;
      auto got = in.read_some(buf, want);
      if (!got) return Error("chunk: " + got.message());
      if (*got == 0) return Error("chunk: the reply ended inside a chunk");
      st.pending.append(buf, *got);
      left -= *got;
      if (auto s = run_reader(bedrock, st); !s) return s;
      if (st.done) return ok_status();
    }
    char crlf[2];
    size_t have = 0;
    while (have < 2) {
      auto got = in.read_some(crlf + have, 2 - have);
      if (!got || *got == 0) break;
      have += *got;
    }
  }
  return ok_status();
}

}  // namespace

std::string base64_decode_lenient(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+' || c == '-') v = 62;
    else if (c == '/' || c == '_') v = 63;
    else continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

Status sse_event(const SJson& event, StreamState& st) {
  const SJson* type = at_pointer(event, "/type");
  if (!type || !type->is_string()) return ok_status();
  const std::string& t = type->get_ref<const std::string&>();
  if (t == "message_start") {
    if (auto n = count_at(event, "/message/usage/input_tokens")) st.input_tokens = *n;
  } else if (t == "content_block_delta") {
    const SJson* text = at_pointer(event, "/delta/text");
    if (text && text->is_string()) {
      const std::string& piece = text->get_ref<const std::string&>();
      ++st.chunks;
      st.answer += piece;
      if (st.sink) {
        if (auto s = st.sink(piece); !s) return Error("browser: " + s.message());
      }
    }
  } else if (t == "message_delta") {
    if (auto n = count_at(event, "/usage/output_tokens")) st.output_tokens = *n;
  } else if (t == "message_stop") {
    st.done = true;
  } else if (t == "error") {
    const SJson* msg = at_pointer(event, "/error/message");
    return Error(msg && msg->is_string() ? msg->get<std::string>() : "stream error");
  }
  return ok_status();
}

Status sse_lines(StreamState& st) {
  size_t start = 0;
  Status result;
  for (;;) {
    size_t nl = st.pending.find('\n', start);
    if (nl == std::string::npos) break;
    std::string line = trim_unicode(utf8_lossy(std::string_view(st.pending).substr(start, nl - start)));
    start = nl + 1;
    if (line.size() < 5 || !starts_with(line, "data:")) continue;
    std::string data = trim_unicode(std::string_view(line).substr(5));
    if (data.empty()) continue;
    auto ev = parse_json<SJson>(data);
    if (!ev) continue;
    result = sse_event(*ev, st);
    if (!result) break;
  }
  st.pending.erase(0, start);
  return result;
}

Status eventstream_frame(StreamState& st) {
  while (st.pending.size() >= 12) {
    uint64_t total = be32(st.pending, 0);
    uint64_t headers = be32(st.pending, 4);
    if (total < headers + 16) return Error("bad event-stream frame");
    if (st.pending.size() < total) return ok_status();
    std::string_view payload_text = std::string_view(st.pending).substr(12 + headers, total - 16 - headers);
    SJson payload = parse_json<SJson>(payload_text).value_or(SJson());
    st.pending.erase(0, total);

    const SJson* bytes = at_pointer(payload, "/bytes");
    if (bytes && bytes->is_string()) {
      std::string decoded = base64_decode_lenient(bytes->get_ref<const std::string&>());
      SJson event;
      try {
        event = SJson::parse(decoded);
      } catch (const SJson::exception& e) {
        return Error(std::string("stream event: ") + e.what());
      }
      if (auto s = sse_event(event, st); !s) return s;
      continue;
    }
    const SJson* msg = at_pointer(payload, "/message");
    if (!msg) msg = at_pointer(payload, "/Message");
    if (msg && msg->is_string()) return Error("Bedrock: " + msg->get<std::string>());
  }
  return ok_status();
}

Result<StreamedAnswer> stream_turn(const Keyring& kr, const Messages& conversation, const std::string& prompt,
                                   const std::string& system, const TextSink& sink) {
  return stream_turn(kr, conversation, prompt, system, sink, default_connector());
}

Result<StreamedAnswer> stream_turn(const Keyring& kr, const Messages& conversation, const std::string& prompt,
                                   const std::string& system, const TextSink& sink,
                                   const ServiceConnector& connect) {
  if (trim_unicode(prompt).empty()) return Error("empty prompt");

  SJson messages = SJson::array();
  for (const auto& m : conversation) messages.push_back(m);
  messages.push_back(SJson{{"role", "user"}, {"content", prompt}});
  SJson body = model_request_body(4096, system, nullptr, std::move(messages), true);

  if (auto s = pre_api_call_hook(body, "messages (stream)"); !s) return s.error();
  auto pc = provider_request(kr, body, true, connect);
  if (!pc) return pc.error();

  BufReader in(*pc->conn, 8192);
  auto head = read_response_head(in);
  if (!head) return head.error();
  if (head->status != 200) {
    std::string rest = read_rest(in);
    if (head->chunked) rest = decode_chunked(rest);
    return Error(provider_error_text(head->status, rest));
  }

  StreamState st;
  st.sink = sink;
  Status read = head->chunked ? read_chunked(in, pc->is_bedrock, st) : read_plain(in, pc->is_bedrock, st);
  if (!read) return read.error();

  if (hook_state().switches[static_cast<size_t>(HookKind::PreResponse)])
    hook_event_log(HookKind::PreResponse, "stream", "allow",
                   std::to_string(st.chunks) + " chunks · " + std::to_string(char_count(st.answer)) + " chars");
  return StreamedAnswer{std::move(st.answer), st.input_tokens, st.output_tokens};
}

}  // namespace drovix::agent
