// Case conversion: each code point by its full mapping, the capital sigma by its place in the word.
#include "support/casing.hpp"

#include "support/casetables.hpp"
#include "support/utf.hpp"

namespace zarnu_core::casing {

namespace {

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

// The code point that ends before byte `pos`; moves `pos` to its start.
char32_t decode_before(std::string_view text, std::size_t& pos) noexcept {
  do --pos;
  while (pos > 0 && utf::is_continuation(static_cast<unsigned char>(text[pos])));
  std::size_t at = pos;
  return utf::decode(text, at);
}

// Whether the capital sigma at bytes [start, end) ends a word: a cased letter before it and none after
// it, case-ignorable code points skipped on both sides.
bool ends_word(std::string_view text, std::size_t start, std::size_t end) noexcept {
  bool cased_before = false;
  for (std::size_t p = start; p > 0;) {
    const char32_t c = decode_before(text, p);
    if (casing::is_case_ignorable(c)) continue;
    cased_before = casing::is_cased(c);
    break;
  }
  if (!cased_before) return false;
  for (std::size_t p = end; p < text.size();) {
    const char32_t c = utf::decode(text, p);
    if (casing::is_case_ignorable(c)) continue;
    return !casing::is_cased(c);
  }
  return true;
}

template <std::size_t (*Map)(char32_t, char32_t*) noexcept, bool Lower>
std::string convert(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      const bool change = Lower ? (b >= 'A' && b <= 'Z') : (b >= 'a' && b <= 'z');
      out.push_back(static_cast<char>(change ? b ^ 0x20 : b));
      ++i;
      continue;
    }
    const std::size_t start = i;
    const char32_t c = utf::decode(text, i);
    if (Lower && c == kCapitalSigma) {
      utf::append(out, ends_word(text, start, i) ? kFinalSigma : kSmallSigma);
      continue;
    }
    char32_t mapped[3];
    const std::size_t n = Map(c, mapped);
    for (std::size_t k = 0; k < n; ++k) utf::append(out, mapped[k]);
  }
  return out;
}

}  // namespace

std::string to_lower(std::string_view text) {
  return convert<casing::lowercase, true>(text);
}

std::string to_upper(std::string_view text) {
  return convert<casing::uppercase, false>(text);
}

}  // namespace zarnu_core::casing
