// Helpers of the engine tests: compile a pattern and describe its matches in a compact text form.
#pragma once

#include <string>
#include <string_view>

#include "api.hpp"
#include "exec.hpp"

namespace zarnu_regex_test {

// "error: <text>" for a pattern that does not compile.
inline std::string compile_error(std::string_view pattern, std::string_view flags = "") {
  auto r = zarnu_regex::api::Regex::from_utf8(pattern, flags);
  return r ? std::string("compiles") : "error: " + r.error().text;
}

// A match as "start:text", each group appended as "|text" or "|~" when it did not take part.
inline std::string describe(const zarnu_regex::api::Match& m, std::string_view text) {
  std::string out =
      std::to_string(m.start()) + ":" + std::string(text.substr(m.start(), m.end() - m.start()));
  for (const auto& c : m.captures)
    out += c ? "|" + std::string(text.substr(c->first, c->second - c->first)) : std::string("|~");
  return out;
}

// The first match from a byte offset, "none", or the compile error.
inline std::string first(std::string_view pattern, std::string_view flags, std::string_view text,
                         std::size_t start = 0) {
  auto r = zarnu_regex::api::Regex::from_utf8(pattern, flags);
  if (!r) return "error: " + r.error().text;
  auto m = r->find_from(text, start);
  return m ? describe(*m, text) : std::string("none");
}

// Every successive match, separated by blanks.
inline std::string all(std::string_view pattern, std::string_view flags, std::string_view text) {
  auto r = zarnu_regex::api::Regex::from_utf8(pattern, flags);
  if (!r) return "error: " + r.error().text;
  zarnu_regex::exec::Matches it(*r, text, 0);
  std::string out;
  for (int guard = 0; guard < 1000; ++guard) {
    auto m = it.next();
    if (!m) break;
    out += (out.empty() ? "" : " ") + describe(*m, text);
  }
  return out.empty() ? "none" : out;
}

}  // namespace zarnu_regex_test
