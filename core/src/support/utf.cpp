// UTF-8 text helpers.
#include "support/utf.hpp"

namespace zarnu_core::utf {

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(b, 2);
  } else if (c < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (c & 0x3F))};
    out.append(b, 3);
  } else {
    char b[4] = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(b, 4);
  }
}

std::size_t char_count(std::string_view text) noexcept {
  std::size_t n = 0;
  for (unsigned char b : text) n += !is_continuation(b);
  return n;
}

std::size_t utf16_length(std::string_view text) noexcept {
  std::size_t n = 0;
  for (unsigned char b : text) n += is_continuation(b) ? 0 : (b >= 0xF0 ? 2 : 1);
  return n;
}

std::size_t char_boundary(std::string_view text, std::size_t offset) noexcept {
  if (offset > text.size()) offset = text.size();
  while (offset > 0 && offset < text.size() && is_continuation(static_cast<unsigned char>(text[offset])))
    --offset;
  return offset;
}

std::size_t utf16_position(std::string_view text, std::size_t offset) noexcept {
  return utf16_length(text.substr(0, char_boundary(text, offset)));
}

}  // namespace zarnu_core::utf
