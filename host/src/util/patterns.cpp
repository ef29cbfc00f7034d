#include "host/src/util/patterns.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <cstdlib>

namespace drovix::host {

LookaroundPattern::LookaroundPattern(const char* pattern) {
  int err = 0;
  PCRE2_SIZE offset = 0;
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                        PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &err, &offset, nullptr);
  if (code_ == nullptr) {
    // The patterns are constants of this program; a failure is a build fault.
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(err, msg, sizeof msg);
    std::fprintf(stderr, "[drovix-host] pattern %s: %s\n", pattern, reinterpret_cast<const char*>(msg));
    std::abort();
  }
  pcre2_jit_compile(static_cast<pcre2_code*>(code_), PCRE2_JIT_COMPLETE);
}

LookaroundPattern::~LookaroundPattern() { pcre2_code_free(static_cast<pcre2_code*>(code_)); }

std::vector<PatternMatch> LookaroundPattern::find_all(std::string_view subject) const {
  auto* code = static_cast<pcre2_code*>(code_);
  std::vector<PatternMatch> out;
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  if (md == nullptr) return out;
  auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
  size_t pos = 0;
  while (pos <= subject.size()) {
    int rc = pcre2_match(code, text, subject.size(), pos, 0, md, nullptr);
    if (rc <= 0) break;
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    PatternMatch m;
    m.start = ov[0];
    m.end = ov[1];
    for (int g = 0; g < rc; ++g) {
      if (ov[2 * g] == PCRE2_UNSET) {
        m.groups.emplace_back();
      } else {
        m.groups.emplace_back(std::string(subject.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g])));
      }
    }
    // Groups after the last one that matched are absent from rc.
    uint32_t count = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &count);
    m.groups.resize(count + 1);
    out.push_back(std::move(m));
    if (ov[1] > ov[0]) {
      pos = ov[1];
    } else {
      // An empty match: step over one whole character.
      pos = ov[1] + 1;
      while (pos < subject.size() && (static_cast<unsigned char>(subject[pos]) & 0xC0) == 0x80) ++pos;
    }
  }
  pcre2_match_data_free(md);
  return out;
}

const LookaroundPattern& figure_regex() {
  static const LookaroundPattern p(
      R"((?i)(?<![\w.])\$?(\d{1,3}(?:,\d{3})+|\d+)(?:\.(\d+))?\s*(%|k|m|mm|mn|bn|b|million|billion|thousand)?(?![\w]))");
  return p;
}

namespace {

const re2::RE2& compiled(const char* pattern) {
  // Never freed: the patterns live as long as the process.
  auto* re = new re2::RE2(pattern);
  if (!re->ok()) {
    std::fprintf(stderr, "[drovix-host] pattern %s: %s\n", pattern, re->error().c_str());
    std::abort();
  }
  return *re;
}

}  // namespace

const re2::RE2& path_chars_regex() {
  static const re2::RE2& p = compiled(R"([\w./:-]+)");
  return p;
}

const re2::RE2& model_id_regex() {
  static const re2::RE2& p = compiled(R"(^[A-Za-z0-9._:/-]{2,120}$)");
  return p;
}

const re2::RE2& region_regex() {
  static const re2::RE2& p = compiled(R"(^[a-z]{2}(-gov)?-[a-z]+-\d$)");
  return p;
}

const re2::RE2& sql_word_regex() {
  static const re2::RE2& p = compiled(R"([a-z_]+)");
  return p;
}

}  // namespace drovix::host
