// The UTF-16 positions of the front end's errors, counted on from the offset counted last, so that a
// recovering parse that records many errors in a long text counts it about once rather than once each.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "support/span.hpp"
#include "support/utf.hpp"
#include "value/error.hpp"

namespace zarnu_core::lexer {

class Positions {
 public:
  explicit Positions(std::string_view text) noexcept : text_(text) {}

  // The UTF-16 code units of the text before `offset` (clamped to the text and moved back to the start of
  // its character). The count is a sum over bytes, so it may go on from any earlier offset, or back from
  // a later one: either way it costs the distance, or a count from the start when that is shorter.
  std::size_t at(std::size_t offset) noexcept {
    offset = utf::char_boundary(text_, offset);
    if (offset >= byte_) {
      units_ += utf::utf16_length(text_.substr(byte_, offset - byte_));
    } else if (offset < byte_ - offset) {
      units_ = utf::utf16_length(text_.substr(0, offset));
    } else {
      units_ -= utf::utf16_length(text_.substr(offset, byte_ - offset));
    }
    byte_ = offset;
    return units_;
  }

  // `e` with the span and the position of `offset`.
  error::Error locate(error::Error e, ast::Span span, std::size_t offset) {
    return std::move(e).located_at(at(offset), span);
  }

 private:
  std::string_view text_;
  std::size_t byte_ = 0;   // a character boundary
  std::size_t units_ = 0;  // the UTF-16 code units before it
};

}  // namespace zarnu_core::lexer
