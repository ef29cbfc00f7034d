#include "common/encoding.hpp"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace drovix {

namespace {
const char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::string_view in, const char* alpha, bool pad) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  auto b = [&](size_t k) { return static_cast<unsigned char>(in[k]); };
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (b(i) << 16) | (b(i + 1) << 8) | b(i + 2);
    out += alpha[(v >> 18) & 63];
    out += alpha[(v >> 12) & 63];
    out += alpha[(v >> 6) & 63];
    out += alpha[v & 63];
  }
  size_t rest = in.size() - i;
  if (rest == 1) {
    unsigned v = b(i) << 16;
    out += alpha[(v >> 18) & 63];
    out += alpha[(v >> 12) & 63];
    if (pad) out += "==";
  } else if (rest == 2) {
    unsigned v = (b(i) << 16) | (b(i + 1) << 8);
    out += alpha[(v >> 18) & 63];
    out += alpha[(v >> 12) & 63];
    out += alpha[(v >> 6) & 63];
    if (pad) out += "=";
  }
  return out;
}

int b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}
}  // namespace

std::string base64_encode(std::string_view bytes) { return encode(bytes, kStd, true); }
std::string base64url_encode_nopad(std::string_view bytes) { return encode(bytes, kUrl, false); }

std::optional<std::string> base64_decode(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  unsigned acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = b64_value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string form_urlencode(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
        c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      if (auto byte = hex_decode(text.substr(i + 1, 2))) {
        out += *byte;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string hex_lower(std::string_view bytes) {
  static const char d[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::optional<std::string> hex_decode(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  auto val = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) {
    int h = val(text[i]), l = val(text[i + 1]);
    if (h < 0 || l < 0) return std::nullopt;
    out += static_cast<char>(h * 16 + l);
  }
  return out;
}

std::string random_bytes(size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(out.data() + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      // A working Linux system never gets here; a token made of zeros would
      // be worse than stopping.
      throw std::runtime_error("system random source failed");
    }
    got += static_cast<size_t>(r);
  }
  return out;
}

std::string uuid_v4() {
  std::string b = random_bytes(16);
  b[6] = static_cast<char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<char>((b[8] & 0x3F) | 0x80);
  std::string h = hex_lower(b);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

}  // namespace drovix
