#include "host/src/gateway/taint.hpp"

#include <fcntl.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <map>
#include <vector>

#include "common/text.hpp"
#include "host/src/console/network.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// At least 5 characters, one of them numeric (Nd, Nl or No).
bool text_worth_recording(std::string_view cell) {
  size_t chars = 0;
  bool numeric = false;
  int32_t i = 0;
  const auto* s = reinterpret_cast<const uint8_t*>(cell.data());
  auto n = static_cast<int32_t>(cell.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(s, i, n, c);
    ++chars;
    if (c >= 0) {
      int8_t t = u_charType(c);
      if (t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER) numeric = true;
    }
  }
  return chars >= 5 && numeric;
}

}  // namespace

std::optional<double> taint_number(std::string_view text) {
  bool negative = false;
  std::string_view t = text;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  std::string lower = to_lower_ascii(t);
  if (lower == "inf" || lower == "infinity") return negative ? -INFINITY : INFINITY;
  if (lower == "nan") return NAN;
  size_t i = 0, digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < t.size() && is_digit(t[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  double v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (end != t.data() + t.size()) return std::nullopt;
  // Out of range reads as infinity (or zero), as a parser of doubles would.
  if (ec == std::errc::result_out_of_range) {
    bool big = false;
    size_t e = t.find_first_of("eE");
    if (e != std::string_view::npos) big = t[e + 1] != '-';
    else big = true;
    v = big ? INFINITY : 0.0;
  } else if (ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

std::string taint_number_text(double x) {
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (std::isnan(x)) return "NaN";
  char buf[64];
  if (std::fabs(x) < 1e16) {
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    std::string s(buf, end);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string s(buf, end);
  size_t e = s.find('e');
  std::string mantissa = s.substr(0, e);
  std::string exp = s.substr(e + 1);
  bool neg_exp = !exp.empty() && exp[0] == '-';
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) exp.erase(0, 1);
  while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
  return mantissa + "e" + (neg_exp ? "-" : "") + exp;
}

std::set<std::string> taint_records(std::string_view answer) {
  std::set<std::string> records;
  std::map<size_t, std::vector<double>> columns;
  size_t pos = 0;
  bool header = true;
  while (pos <= answer.size()) {
    size_t nl = answer.find('\n', pos);
    std::string_view line = answer.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? answer.size() + 1 : nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (header) {
      header = false;
      continue;
    }
    size_t index = 0, start = 0;
    while (true) {
      size_t tab = line.find('\t', start);
      std::string_view field = line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
      std::string cell = trim_unicode(field);
      std::string no_commas;
      for (char c : cell)
        if (c != ',') no_commas += c;
      if (auto x = taint_number(no_commas)) {
        if (std::fabs(*x) >= 1000) records.insert("n:" + taint_number_text(*x));
        columns[index].push_back(*x);
      } else if (text_worth_recording(cell)) {
        records.insert("s:" + to_lower_unicode(cell));
      }
      if (tab == std::string_view::npos) break;
      start = tab + 1;
      ++index;
    }
  }
  for (const auto& [index, values] : columns) {
    if (values.size() < 2) continue;
    double total = 0;
    for (double v : values) total += v;
    if (std::fabs(total) >= 1000) records.insert("n:" + taint_number_text(total));
  }
  return records;
}

void record_taint(const std::string& caller_ip, std::string_view answer) {
  uint16_t port = vm_port_from_ip(caller_ip);
  if (port == 0) return;
  std::string started;
  if (auto table = read_json_file(sessions_json_path()); table && table->is_object())
    started = json_get_str(session_by_port(*table, port), "started");

  std::set<std::string> records = taint_records(answer);
  if (records.empty()) return;

  std::error_code ec;
  std::filesystem::create_directories(taint_dir_path(), ec);
  std::string block;
  for (const std::string& r : records) {
    block += r;
    block += '\n';
  }
  // One write on an append-mode descriptor: blocks of concurrent queries of
  // one VM never interleave their lines.
  int fd = ::open(taint_file_path(port, started).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t n = ::write(fd, block.data(), block.size());
  (void)n;
  ::close(fd);
}

}  // namespace drovix::host
