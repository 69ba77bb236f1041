// Invariant failures and UTF-8 decoding of pattern texts.
#include "util.hpp"

namespace zarnu_regex::util {

void unreachable(std::string_view what) {
  throw Panic("internal error: entered unreachable code: " + std::string(what));
}

void panic(std::string_view message) {
  throw Panic(std::string(message));
}

std::u32string utf8_decode(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  auto cont = [&](std::size_t k) -> char32_t {
    return i + k < text.size() ? static_cast<std::uint8_t>(text[i + k]) & 0x3F : 0;
  };
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const std::size_t n = utf8_sequence_length(lead);
    char32_t c;
    if (n == 1)
      c = lead;
    else if (n == 2)
      c = ((lead & 0x1F) << 6) | cont(1);
    else if (n == 3)
      c = ((lead & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    else
      c = ((lead & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    out.push_back(c);
    i += n;
  }
  return out;
}

}  // namespace zarnu_regex::util
