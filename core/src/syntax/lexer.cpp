// The lexer: whitespace and comments, operators through byte tables, string literals with their escapes,
// numbers, quoted and plain names, and regular-expression literals in operand position.
#include "syntax/lexer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <system_error>
#include <utility>

#include "support/utf.hpp"

namespace zarnu_core::lexer {

namespace {

constexpr std::string_view kOperatorChars = "!#%&()*+,-./:;<=>?@[]^{|}~";

enum : std::uint8_t { kSpace = 1, kOperator = 2 };

constexpr std::array<std::uint8_t, 256> kClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned char c : std::string_view("\t\n\v\r ")) table[c] = kSpace;
  for (unsigned char c : kOperatorChars) table[c] = kOperator;
  return table;
}();

// Every byte value, so that a one-character operator is a view of static storage.
constexpr std::array<char, 256> kBytes = [] {
  std::array<char, 256> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<char>(i);
  return table;
}();

// The two-character operators, keyed by their first character.
std::string_view two_char_operator(char a, char b) noexcept {
  switch (a) {
    case '.':
      if (b == '.') return "..";
      break;
    case ':':
      if (b == '=') return ":=";
      break;
    case '!':
      if (b == '=') return "!=";
      break;
    case '>':
      if (b == '=') return ">=";
      break;
    case '<':
      if (b == '=') return "<=";
      break;
    case '*':
      if (b == '*') return "**";
      break;
    case '~':
      if (b == '>') return "~>";
      break;
    case '?':
      if (b == ':') return "?:";
      if (b == '?') return "??";
      break;
    default:
      break;
  }
  return {};
}

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a number text that the conversion found out of range is too large (rather than too small):
// the decimal exponent of its first significant digit decides, since only magnitudes beyond 1e308 or
// below 1e-324 are out of range.
bool overflows(std::string_view number) noexcept {
  std::size_t i = 0;
  std::int64_t magnitude = 0;
  if (number[0] != '0') {
    while (i < number.size() && is_digit(number[i])) ++i;
    magnitude = static_cast<std::int64_t>(i) - 1;
  } else {
    i = 1;
    if (i < number.size() && number[i] == '.') {
      ++i;
      std::int64_t zeros = 0;
      while (i < number.size() && number[i] == '0') ++i, ++zeros;
      magnitude = -zeros - 1;
    }
  }
  std::size_t e = number.find_first_of("eE");
  if (e == std::string_view::npos) return magnitude > 0;
  ++e;
  bool negative = false;
  if (number[e] == '+' || number[e] == '-') negative = number[e++] == '-';
  std::int64_t exponent = 0;
  for (; e < number.size(); ++e)
    exponent = std::min<std::int64_t>(exponent * 10 + (number[e] - '0'), 1 << 30);
  return magnitude + (negative ? -exponent : exponent) > 0;
}

}  // namespace

bool is_operator_char(unsigned char c) noexcept {
  return kClass[c] == kOperator;
}

std::size_t scan_number(std::string_view text, std::size_t start) noexcept {
  const std::size_t n = text.size();
  std::size_t i = start;
  if (text[i] == '0') {
    ++i;
  } else {
    while (i < n && is_digit(text[i])) ++i;
  }
  if (i + 1 < n && text[i] == '.' && is_digit(text[i + 1])) {
    i += 2;
    while (i < n && is_digit(text[i])) ++i;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < n && is_digit(text[j])) {
      while (j < n && is_digit(text[j])) ++j;
      i = j;
    }
  }
  return i;
}

std::optional<char16_t> hex4(std::string_view text) noexcept {
  if (text.size() < 4) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i == 0 && text[0] == '+') continue;
    int digit = hex_value(text[i]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<char16_t>(value);
}

Status Lexer::peek_infix() const {
  Lexer ahead = *this;
  Token token;
  return ahead.next(token, true);
}

Status Lexer::skip_space_and_comments() {
  const std::size_t n = text_.size();
  for (;;) {
    while (pos_ < n && kClass[static_cast<unsigned char>(text_[pos_])] == kSpace) ++pos_;
    if (pos_ + 1 >= n || text_[pos_] != '/' || text_[pos_ + 1] != '*') return {};
    const std::size_t start = pos_;
    const std::size_t close = text_.find("*/", start + 2);
    if (close == std::string_view::npos) {
      pos_ = n;
      return fail(fault("S0106", start, start));
    }
    pos_ = close + 2;
    if (text_[start + 2] == '*' && pos_ - start != 4) {
      pending_.push_back(annotation::DocComment{std::string(text_.substr(start + 3, close - start - 3)),
                                                start, pos_, start + 3});
    }
  }
}

Status Lexer::next(Token& out, bool infix) {
  ZR_TRY(skip_space_and_comments());
  out.docs.clear();
  const std::size_t n = text_.size();
  const std::size_t start = pos_;
  if (start >= n) {
    out.kind = TokKind::End;
    out.span = {n, n};
    return {};
  }
  const unsigned char c = static_cast<unsigned char>(text_[start]);
  if (c == '/' && !infix) {
    ZR_TRY(scan_regex(out));
  } else if (kClass[c] == kOperator) {
    std::string_view op;
    if (start + 1 < n) op = two_char_operator(text_[start], text_[start + 1]);
    if (op.empty()) {
      if (c == '!' || c == '~') {
        pos_ = start + 1;
        return fail(fault("S0204", start, start + 1).with_token(text_.substr(start, 1)));
      }
      op = std::string_view(&kBytes[c], 1);
    }
    out.kind = TokKind::Operator;
    out.op = op;
    pos_ = start + op.size();
  } else if (c == '"' || c == '\'') {
    ZR_TRY(auto value, scan_string());
    out.kind = TokKind::String;
    out.text = std::move(value);
  } else if (is_digit(static_cast<char>(c))) {
    ZR_TRY(scan_number_token(out));
  } else if (c == '`') {
    const std::size_t close = text_.find('`', start + 1);
    if (close == std::string_view::npos) {
      pos_ = n;
      return fail(fault("S0105", start, n));
    }
    out.kind = TokKind::Name;
    out.text.assign(text_.substr(start + 1, close - start - 1));
    pos_ = close + 1;
  } else {
    scan_name(out);
  }
  out.span = {start, pos_};
  if (!pending_.empty()) out.docs.swap(pending_);
  return {};
}

Result<std::string> Lexer::scan_string() {
  const std::size_t n = text_.size();
  const std::size_t open = pos_;
  const char quote = text_[open];
  std::string value;
  std::size_t i = open + 1;
  for (;;) {
    std::size_t j = i;
    while (j < n && text_[j] != quote && text_[j] != '\\') ++j;
    if (j >= n) {
      pos_ = n;
      return fail(fault("S0101", open, n));
    }
    value.append(text_.substr(i, j - i));
    if (text_[j] == quote) {
      pos_ = j + 1;
      return value;
    }
    if (j + 1 >= n) {
      pos_ = n;
      return fail(fault("S0101", open, n));
    }
    const char escape = text_[j + 1];
    i = j + 2;
    switch (escape) {
      case '"':
        value.push_back('"');
        break;
      case '/':
        value.push_back('/');
        break;
      case '\\':
        value.push_back('\\');
        break;
      case 'b':
        value.push_back('\b');
        break;
      case 'f':
        value.push_back('\f');
        break;
      case 'n':
        value.push_back('\n');
        break;
      case 'r':
        value.push_back('\r');
        break;
      case 't':
        value.push_back('\t');
        break;
      case 'u': {
        auto unit = hex4(text_.substr(i));
        if (!unit) {
          skip_rest_of_string(quote, i);
          return fail(fault("S0104", open, j + 1));
        }
        i += 4;
        char32_t code = *unit;
        if (code >= 0xD800 && code <= 0xDBFF) {
          // Only a low surrogate written directly after it completes the pair.
          std::optional<char16_t> low;
          if (i + 1 < n && text_[i] == '\\' && text_[i + 1] == 'u') low = hex4(text_.substr(i + 2));
          if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
            i += 6;
          } else {
            code = 0xFFFD;
          }
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          code = 0xFFFD;
        }
        utf::append(value, code);
        break;
      }
      default: {
        const std::size_t length =
            std::min(utf::sequence_length(static_cast<unsigned char>(escape)), n - (j + 1));
        skip_rest_of_string(quote, i);
        return fail(fault("S0103", open, j + 1).with_token(text_.substr(j + 1, length)));
      }
    }
  }
}

void Lexer::skip_rest_of_string(char quote, std::size_t from) noexcept {
  const std::size_t n = text_.size();
  std::size_t i = from;
  while (i < n && text_[i] != quote) i += text_[i] == '\\' ? 2 : 1;
  pos_ = std::min(i + 1, n);
}

Status Lexer::scan_regex(Token& out) {
  const std::size_t n = text_.size();
  const std::size_t open = pos_;
  std::ptrdiff_t depth = 0;
  std::size_t i = open + 1;
  for (; i < n; ++i) {
    const char c = text_[i];
    if (c == '/') {
      if (depth != 0) continue;
      std::size_t k = i;
      while (k > open + 1 && text_[k - 1] == '\\') --k;
      if (((i - k) & 1) == 0) break;
    } else if (c == '(' || c == '[' || c == '{') {
      if (text_[i - 1] != '\\') ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (text_[i - 1] != '\\') --depth;
    }
  }
  if (i >= n) {
    pos_ = n;
    return fail(fault("S0302", open, n));
  }
  if (i == open + 1) {
    pos_ = open + 2;
    return fail(fault("S0301", open, open + 1));
  }
  std::size_t end = i + 1;
  while (end < n && (text_[end] == 'i' || text_[end] == 'm')) ++end;
  out.kind = TokKind::Regex;
  out.text.assign(text_.substr(open + 1, i - open - 1));
  out.flags.assign(text_.substr(i + 1, end - i - 1));
  pos_ = end;
  return {};
}

Status Lexer::scan_number_token(Token& out) {
  const std::size_t start = pos_;
  const std::size_t end = scan_number(text_, start);
  const std::string_view digits = text_.substr(start, end - start);
  double value = 0;
  // from_chars ignores the C locale; it reports a result that underflows like one that overflows.
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (overflows(digits)) {
      pos_ = end;
      return fail(fault("S0102", start, start).with_token(digits));
    }
    value = 0;
  }
  out.kind = TokKind::Number;
  out.number = value;
  pos_ = end;
  return {};
}

void Lexer::scan_name(Token& out) {
  const std::size_t n = text_.size();
  const std::size_t start = pos_;
  std::size_t i = start;
  while (i < n && kClass[static_cast<unsigned char>(text_[i])] == 0) ++i;
  pos_ = i;
  const std::string_view word = text_.substr(start, i - start);
  if (word[0] == '$') {
    out.kind = TokKind::Variable;
    out.text.assign(word.substr(1));
    return;
  }
  if (word == "and" || word == "or" || word == "in") {
    out.kind = TokKind::Operator;
    out.op = word == "and" ? "and" : word == "or" ? "or" : "in";
    return;
  }
  const std::uint8_t literal = word == "false" ? 0 : word == "true" ? 1 : word == "null" ? 2 : 3;
  if (literal != 3) {
    out.kind = TokKind::Literal;
    out.literal = literal;
    return;
  }
  out.kind = TokKind::Name;
  out.text.assign(word);
}

}  // namespace zarnu_core::lexer
