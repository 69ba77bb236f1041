// Base64 and percent-encoding. Base64 sees a string as the low bytes of its UTF-16 code units, so text
// outside Latin-1 does not survive a round trip; percent-encoding works on UTF-8 bytes.
#include "functions/encoding.hpp"

#include <array>
#include <cstdint>

#include "functions/higher.hpp"
#include "support/utf.hpp"

namespace zarnu_core::functions::strings {

using value::Items;
using value::Value;

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUnreserved = "-_.!~*'()";
constexpr std::string_view kReserved = ";/?:@&=+$,#";

// Calls `f` with each UTF-16 code unit of UTF-8 text.
template <class F>
void for_each_unit(std::string_view text, F&& f) {
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = utf::decode(text, pos);
    if (c < 0x10000) {
      f(static_cast<std::uint16_t>(c));
    } else {
      f(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
      f(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
}

// The 6-bit value of a Base64 letter of either alphabet (standard or URL-safe), or -1.
int sextet(unsigned char b) noexcept {
  if (b >= 'A' && b <= 'Z') return b - 'A';
  if (b >= 'a' && b <= 'z') return b - 'a' + 26;
  if (b >= '0' && b <= '9') return b - '0' + 52;
  if (b == '+' || b == '-') return 62;
  if (b == '/' || b == '_') return 63;
  return -1;
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte written as two hexadecimal digits at `pos`, or none.
std::optional<unsigned char> hex_byte(std::string_view text, std::size_t pos) noexcept {
  if (text.size() - pos < 2) return std::nullopt;
  const int hi = hex_digit(text[pos]), lo = hex_digit(text[pos + 1]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<unsigned char>(hi * 16 + lo);
}

// The byte of a "%XX" triple at `pos`, or none.
std::optional<unsigned char> triple(std::string_view text, std::size_t pos) noexcept {
  if (pos >= text.size() || text[pos] != '%') return std::nullopt;
  return hex_byte(text, pos + 1);
}

bool is_kept(unsigned char c, std::string_view keep) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kUnreserved.find(static_cast<char>(c)) != std::string_view::npos ||
         keep.find(static_cast<char>(c)) != std::string_view::npos;
}

Result<Value> encoded(const Items& args, std::string_view keep) {
  const Value& a = arg_at(args, 0);
  if (!a.is_string()) return Value();
  return Value::string(encode(a.as_string(), keep));
}

Result<Value> decoded(const Items& args, bool keep_reserved, std::string_view name) {
  const Value& a = arg_at(args, 0);
  if (!a.is_string()) return Value();
  auto text = decode(a.as_string(), keep_reserved);
  if (!text) return fail(error::Error("D3140").with("value", a.as_string()).with("functionName", name));
  return Value::string(*text);
}

}  // namespace

std::string encode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80 && is_kept(c, keep)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::optional<std::string> decode(std::string_view text, bool keep_reserved) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    const auto b = hex_byte(text, i + 1);
    if (!b) return std::nullopt;
    if (*b < 0x80) {
      if (keep_reserved && kReserved.find(static_cast<char>(*b)) != std::string_view::npos)
        out.append(text.substr(i, 3));
      else
        out.push_back(static_cast<char>(*b));
      i += 3;
      continue;
    }
    // A UTF-8 sequence, every byte of it encoded.
    std::size_t length = 0;
    char32_t c = 0;
    if (*b >= 0xC0 && *b <= 0xDF) {
      length = 2;
      c = *b & 0x1F;
    } else if (*b >= 0xE0 && *b <= 0xEF) {
      length = 3;
      c = *b & 0x0F;
    } else if (*b >= 0xF0 && *b <= 0xF7) {
      length = 4;
      c = *b & 0x07;
    } else {
      return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto more = triple(text, i + 3 * k);
      if (!more || (*more & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (*more & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return std::nullopt;
    utf::append(out, c);
    i += 3 * length;
  }
  return out;
}

Result<Value> base64encode(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_string()) return Value();
  std::string out;
  std::uint32_t group = 0;
  int held = 0;
  auto flush = [&](int bytes) {
    const int chars = bytes + 1;
    for (int k = 0; k < 4; ++k) out.push_back(k < chars ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
  };
  for_each_unit(a.as_string(), [&](std::uint16_t unit) {
    group |= static_cast<std::uint32_t>(unit & 0xFF) << (16 - 8 * held);
    if (++held == 3) {
      flush(3);
      group = 0;
      held = 0;
    }
  });
  if (held > 0) flush(held);
  return Value::string(out);
}

Result<Value> base64decode(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_string()) return Value();
  std::string out;
  std::uint32_t group = 0;
  int held = 0;
  bool ended = false;
  auto emit = [&](unsigned char byte) { utf::append(out, byte); };
  for_each_unit(a.as_string(), [&](std::uint16_t unit) {
    if (ended) return;
    const auto b = static_cast<unsigned char>(unit & 0xFF);
    if (b == '=') {
      ended = true;
      return;
    }
    const int v = sextet(b);
    if (v < 0) return;
    group = (group << 6) | static_cast<std::uint32_t>(v);
    if (++held == 4) {
      emit(static_cast<unsigned char>(group >> 16));
      emit(static_cast<unsigned char>(group >> 8));
      emit(static_cast<unsigned char>(group));
      group = 0;
      held = 0;
    }
  });
  // A final group of three values gives two bytes, of two one byte; the spare bits are dropped.
  if (held == 3) {
    emit(static_cast<unsigned char>(group >> 10));
    emit(static_cast<unsigned char>(group >> 2));
  } else if (held == 2) {
    emit(static_cast<unsigned char>(group >> 4));
  }
  return Value::string(out);
}

Result<Value> encode_url_component(eval::Evaluator&, Items args, const Call&) {
  return encoded(args, {});
}

Result<Value> encode_url(eval::Evaluator&, Items args, const Call&) {
  return encoded(args, kReserved);
}

Result<Value> decode_url_component(eval::Evaluator&, Items args, const Call&) {
  return decoded(args, false, "decodeUrlComponent");
}

Result<Value> decode_url(eval::Evaluator&, Items args, const Call&) {
  return decoded(args, true, "decodeUrl");
}

}  // namespace zarnu_core::functions::strings
