// A streaming JSON parser that builds values directly (keys interned per parse) and, under a read tree,
// skips the members an expression never reads after checking their syntax. Built containers take from a
// nesting allowance of 128; skipped ones do not, and are skipped without recursion.
#include "value/document.hpp"

#include <charconv>
#include <cstring>
#include <vector>

#include <double-conversion/double-conversion.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/stack.hpp"
#include "support/utf.hpp"

namespace zarnu_core::document {

std::string ParseError::text() const {
  return reason + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

using value::Value;

enum class Fault : std::uint8_t {
  None,
  EofValue,
  EofList,
  EofObject,
  EofString,
  ExpectedValue,
  ExpectedIdent,
  ExpectedListSeparator,
  ExpectedObjectSeparator,
  ExpectedColon,
  KeyMustBeString,
  TrailingComma,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidCodePoint,
  LoneSurrogate,
  ControlCharacter,
  InvalidUtf8,
  Trailing,
  Recursion,
  Stopped,
};

const char* reason(Fault f) {
  switch (f) {
    case Fault::None:
      return "no error";
    case Fault::EofValue:
      return "EOF while parsing a value";
    case Fault::EofList:
      return "EOF while parsing a list";
    case Fault::EofObject:
      return "EOF while parsing an object";
    case Fault::EofString:
      return "EOF while parsing a string";
    case Fault::ExpectedValue:
      return "expected value";
    case Fault::ExpectedIdent:
      return "expected ident";
    case Fault::ExpectedListSeparator:
      return "expected `,` or `]`";
    case Fault::ExpectedObjectSeparator:
      return "expected `,` or `}`";
    case Fault::ExpectedColon:
      return "expected `:`";
    case Fault::KeyMustBeString:
      return "key must be a string";
    case Fault::TrailingComma:
      return "trailing comma";
    case Fault::InvalidEscape:
      return "invalid escape";
    case Fault::InvalidNumber:
      return "invalid number";
    case Fault::NumberOutOfRange:
      return "number out of range";
    case Fault::InvalidCodePoint:
      return "invalid unicode code point";
    case Fault::LoneSurrogate:
      return "lone leading surrogate in hex escape";
    case Fault::ControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Fault::InvalidUtf8:
      return "invalid UTF-8 in string";
    case Fault::Trailing:
      return "trailing characters";
    case Fault::Recursion:
      return "recursion limit exceeded";
    case Fault::Stopped:
      return "stopped";
  }
  return "invalid JSON";
}

inline bool is_ws(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}
inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(std::string_view text, value::Keys& keys, const PollHook* poll, const value::StringMaker* strings)
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        keys_(keys),
        poll_(poll),
        strings_(strings) {}

  Value value(std::size_t depth);
  Value cut(const reads::Read& read, std::size_t depth);
  void skip_value();
  void finish() {
    skip_ws();
    if (p_ != end_) fail(Fault::Trailing);
  }
  bool failed() const { return fault_ != Fault::None; }
  ParseError error();

 private:
  void fail(Fault f) {
    if (fault_ == Fault::None) {
      fault_ = f;
      at_ = p_;
    }
  }
  void skip_ws() {
    while (p_ < end_ && is_ws(*p_)) ++p_;
  }
  // Finds the next byte of a string body that needs a look: a quote, a backslash, a control character or
  // (when checking UTF-8) a non-ASCII byte.
  template <bool Ascii>
  const char* scan(const char* p) const;
  // Reads a string body after its opening quote: the text, decoded into `scratch_` when it has escapes.
  // With `lone` given, a surrogate escape without its partner sets `*lone` instead of failing (the text
  // is then only good for knowing that it names nothing).
  bool string(std::string_view& out, bool* lone = nullptr);
  void skip_string();
  // Reads one escape at the backslash into `out` (nothing when null: a skipped string, whose escapes are
  // syntax only, so surrogates need no partner). `lone` as for `string`.
  bool escape(std::string* out, bool* lone = nullptr);
  Value number();
  void skip_number();
  Value literal();
  Value array(std::size_t depth, const reads::Read* read);
  Value object(std::size_t depth, const reads::Read* read);
  // Counts one value (an item, a member, a skipped value); every kPollTicks of them asks the poll. False
  // once it stopped the parse.
  bool tick() {
    if (--ticks_ != 0) [[likely]]
      return true;
    return polled();
  }
  bool polled();
  bool enter() {
    if (--allowance_ == 0) {
      fail(Fault::Recursion);
      return false;
    }
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  value::Keys& keys_;
  const PollHook* poll_;
  const value::StringMaker* strings_;
  std::uint32_t ticks_ = kPollTicks;
  std::optional<error::Error> stopped_;
  int allowance_ = kNestingAllowance;
  Fault fault_ = Fault::None;
  const char* at_ = nullptr;
  std::string scratch_;
  std::vector<char> skipping_;  // kinds of the containers open while skipping
};

bool Parser::polled() {
  ticks_ = kPollTicks;
  if (!poll_ || !*poll_) return true;
  stopped_ = (*poll_)();
  if (!stopped_) return true;
  fail(Fault::Stopped);
  return false;
}

ParseError Parser::error() {
  // At the end of the text the last character is reported, otherwise the offending one.
  const char* at = at_;
  std::size_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_; q < at; ++q)
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  std::size_t column = static_cast<std::size_t>(at - line_start) + (at < end_ ? 1 : 0);
  return ParseError{reason(fault_), line, column, std::move(stopped_)};
}

template <bool Ascii>
const char* Parser::scan(const char* p) const {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  while (end_ - p >= 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash));
    hits = _mm_or_si128(hits, _mm_cmpeq_epi8(_mm_min_epu8(chunk, control), chunk));
    int mask = _mm_movemask_epi8(hits);
    if constexpr (Ascii) mask |= _mm_movemask_epi8(chunk);  // bytes >= 0x80
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  for (; p < end_; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || (Ascii && c >= 0x80)) return p;
  }
  return p;
}

bool Parser::escape(std::string* out, bool* lone) {
  // p_ is at the backslash.
  if (end_ - p_ < 2) {
    p_ = end_;
    fail(Fault::EofString);
    return false;
  }
  char c = p_[1];
  p_ += 2;
  char simple = 0;
  switch (c) {
    case '"':
      simple = '"';
      break;
    case '\\':
      simple = '\\';
      break;
    case '/':
      simple = '/';
      break;
    case 'b':
      simple = '\b';
      break;
    case 'f':
      simple = '\f';
      break;
    case 'n':
      simple = '\n';
      break;
    case 'r':
      simple = '\r';
      break;
    case 't':
      simple = '\t';
      break;
    case 'u':
      break;
    default:
      --p_;
      fail(Fault::InvalidEscape);
      return false;
  }
  if (simple) {
    if (out) out->push_back(simple);
    return true;
  }
  auto hex4 = [&](std::uint32_t& v) {
    if (end_ - p_ < 4) {
      p_ = end_;
      fail(Fault::EofString);
      return false;
    }
    v = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hex_value(p_[i]);
      if (h < 0) {
        p_ += i;
        fail(Fault::InvalidEscape);
        return false;
      }
      v = v * 16 + static_cast<std::uint32_t>(h);
    }
    p_ += 4;
    return true;
  };
  std::uint32_t cp;
  if (!hex4(cp)) return false;
  if (cp < 0xD800 || cp > 0xDFFF) {
    if (out) utf::append(*out, cp);
    return true;
  }
  if (!out) return true;
  auto unpaired = [&](Fault f) {
    if (!lone) {
      fail(f);
      return false;
    }
    *lone = true;
    return true;
  };
  if (cp >= 0xDC00) return unpaired(Fault::InvalidCodePoint);
  if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return unpaired(Fault::LoneSurrogate);
  const char* high_end = p_;
  p_ += 2;
  std::uint32_t low;
  if (!hex4(low)) return false;
  if (low < 0xDC00 || low > 0xDFFF) {
    if (lone) p_ = high_end;  // the next escape is read on its own
    return unpaired(Fault::InvalidCodePoint);
  }
  cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  utf::append(*out, cp);
  return true;
}

bool Parser::string(std::string_view& out, bool* lone) {
  // p_ is just after the opening quote.
  const char* start = p_;
  bool escaped = false;
  for (;;) {
    const char* q = scan<true>(p_);
    if (escaped) scratch_.append(p_, static_cast<std::size_t>(q - p_));
    p_ = q;
    if (p_ == end_) {
      fail(Fault::EofString);
      return false;
    }
    auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      out = escaped ? std::string_view(scratch_)
                    : std::string_view(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        scratch_.assign(start, static_cast<std::size_t>(p_ - start));
        escaped = true;
      }
      if (!escape(&scratch_, lone)) return false;
      continue;
    }
    if (c < 0x20) {
      fail(Fault::ControlCharacter);
      return false;
    }
    const std::size_t n =
        utf::valid_sequence(std::string_view(p_, static_cast<std::size_t>(end_ - p_)), 0, false);
    if (n == 0) {
      fail(Fault::InvalidUtf8);
      return false;
    }
    if (escaped) scratch_.append(p_, n);
    p_ += n;
  }
}

void Parser::skip_string() {
  // p_ is just after the opening quote.
  for (;;) {
    p_ = scan<false>(p_);
    if (p_ == end_) return fail(Fault::EofString);
    char c = *p_;
    if (c == '"') {
      ++p_;
      return;
    }
    if (c == '\\') {
      if (!escape(nullptr)) return;
      continue;
    }
    return fail(Fault::ControlCharacter);
  }
}

void Parser::skip_number() {
  // Checks the number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  if (*p_ == '-') ++p_;
  if (p_ == end_) return fail(Fault::EofValue);
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) return fail(Fault::InvalidNumber);
  } else if (is_digit(*p_)) {
    while (p_ < end_ && is_digit(*p_)) ++p_;
  } else {
    return fail(Fault::InvalidNumber);
  }
  if (p_ < end_ && *p_ == '.') {
    ++p_;
    if (p_ == end_) return fail(Fault::EofValue);
    if (!is_digit(*p_)) return fail(Fault::InvalidNumber);
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) return fail(Fault::EofValue);
    if (!is_digit(*p_)) return fail(Fault::InvalidNumber);
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
}

Value Parser::number() {
  const char* start = p_;
  // Fast path: a short integer.
  const char* q = p_;
  bool negative = *q == '-';
  if (negative) ++q;
  std::uint64_t n = 0;
  const char* digits = q;
  while (q < end_ && is_digit(*q) && q - digits < 16) n = n * 10 + static_cast<std::uint64_t>(*q++ - '0');
  if (q > digits && (q == end_ || (!is_digit(*q) && *q != '.' && *q != 'e' && *q != 'E')) &&
      !(*digits == '0' && q - digits > 1)) {
    p_ = q;
    double d = static_cast<double>(n);
    return Value::number(negative ? -d : d);
  }
  skip_number();
  if (failed()) return Value();
  double d = 0;
  auto r = std::from_chars(start, p_, d);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as zero.
    double_conversion::StringToDoubleConverter conv(0, 0.0, 0.0, nullptr, nullptr);
    int used = 0;
    d = conv.StringToDouble(start, static_cast<int>(p_ - start), &used);
    if (d == HUGE_VAL || d == -HUGE_VAL) {
      p_ = start;
      fail(Fault::NumberOutOfRange);
      return Value();
    }
  }
  return Value::number(d);
}

Value Parser::literal() {
  const char* word;
  Value v;
  switch (*p_) {
    case 'n':
      word = "null";
      v = Value::null();
      break;
    case 't':
      word = "true";
      v = Value::boolean(true);
      break;
    default:
      word = "false";
      v = Value::boolean(false);
      break;
  }
  std::size_t len = std::strlen(word);
  for (std::size_t i = 1; i < len; ++i) {
    if (p_ + i >= end_) {
      p_ = end_;
      fail(Fault::EofValue);
      return Value();
    }
    if (p_[i] != word[i]) {
      p_ += i;
      fail(Fault::ExpectedIdent);
      return Value();
    }
  }
  p_ += len;
  return v;
}

Value Parser::value(std::size_t depth) {
  skip_ws();
  if (p_ == end_) {
    fail(Fault::EofValue);
    return Value();
  }
  switch (*p_) {
    case '"': {
      ++p_;
      std::string_view text;
      if (!string(text)) return Value();
      return strings_ ? Value::string(strings_->make(strings_->context, text)) : Value::string(text);
    }
    case '[':
      return array(depth, nullptr);
    case '{':
      return object(depth, nullptr);
    case 'n':
    case 't':
    case 'f':
      return literal();
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return number();
    default:
      fail(Fault::ExpectedValue);
      return Value();
  }
}

Value Parser::cut(const reads::Read& read, std::size_t depth) {
  if (read.is_all()) return value(depth);
  skip_ws();
  if (p_ < end_ && *p_ == '[') return array(depth, &read);
  if (p_ < end_ && *p_ == '{') return object(depth, &read);
  return value(depth);
}

// An array; under a read tree each item is cut by the same read.
Value Parser::array(std::size_t depth, const reads::Read* read) {
  if (!enter()) return Value();
  ++p_;
  value::Items items;
  skip_ws();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
  } else {
    for (;;) {
      if (!tick()) return Value();
      Value item = stack::nest(depth + 1, [&] { return read ? cut(*read, depth + 1) : value(depth + 1); });
      if (failed()) return Value();
      items.push_back(std::move(item));
      skip_ws();
      if (p_ == end_) {
        fail(Fault::EofList);
        return Value();
      }
      if (*p_ == ',') {
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == ']') {
          fail(Fault::TrailingComma);
          return Value();
        }
        continue;
      }
      if (*p_ == ']') {
        ++p_;
        break;
      }
      fail(Fault::ExpectedListSeparator);
      return Value();
    }
  }
  ++allowance_;
  return Value::array_with(std::move(items), 0);
}

// An object; under a read tree only the members it reads are built, the others skipped.
Value Parser::object(std::size_t depth, const reads::Read* read) {
  if (!enter()) return Value();
  ++p_;
  Value result = Value::object(read ? read->field_count() : 0);
  value::Fields& fields = result.as_object().fields;
  skip_ws();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    ++allowance_;
    return result;
  }
  for (;;) {
    if (!tick()) return Value();
    if (p_ == end_) {
      fail(Fault::EofObject);
      return Value();
    }
    if (*p_ != '"') {
      fail(Fault::KeyMustBeString);
      return Value();
    }
    ++p_;
    // Under a read tree a key is only compared with the names read, which are valid text: a lone
    // surrogate in it cannot match, and its member is skipped like any other unread one.
    std::string_view key;
    bool lone = false;
    if (!string(key, read ? &lone : nullptr)) return Value();
    const reads::Read* member = nullptr;
    if (read && !lone) member = read->field(key);
    value::Str interned;
    if (!read || member) interned = keys_.get(key);
    skip_ws();
    if (p_ == end_) {
      fail(Fault::EofObject);
      return Value();
    }
    if (*p_ != ':') {
      fail(Fault::ExpectedColon);
      return Value();
    }
    ++p_;
    if (read && !member) {
      skip_value();
    } else {
      Value v = stack::nest(depth + 1, [&] { return member ? cut(*member, depth + 1) : value(depth + 1); });
      if (failed()) return Value();
      // A repeated key keeps its first position and takes the later value.
      auto [slot, inserted] = fields.try_emplace(std::move(interned), Value());
      slot.value() = std::move(v);
    }
    if (failed()) return Value();
    skip_ws();
    if (p_ == end_) {
      fail(Fault::EofObject);
      return Value();
    }
    if (*p_ == ',') {
      ++p_;
      skip_ws();
      if (p_ < end_ && *p_ == '}') {
        fail(Fault::TrailingComma);
        return Value();
      }
      continue;
    }
    if (*p_ == '}') {
      ++p_;
      break;
    }
    fail(Fault::ExpectedObjectSeparator);
    return Value();
  }
  ++allowance_;
  return result;
}

// Checks one value's syntax without building anything; nesting is tracked on a list, not the stack.
void Parser::skip_value() {
  skipping_.clear();
  for (;;) {
    // A value.
    if (!tick()) return;
    skip_ws();
    if (p_ == end_) return fail(Fault::EofValue);
    switch (*p_) {
      case '"':
        ++p_;
        skip_string();
        break;
      case 'n':
      case 't':
      case 'f':
        literal();
        break;
      case '[':
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == ']') {
          ++p_;
          break;
        }
        skipping_.push_back('[');
        continue;
      case '{':
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == '}') {
          ++p_;
          break;
        }
        skipping_.push_back('{');
        goto key;
      default:
        if (*p_ == '-' || is_digit(*p_)) {
          skip_number();
          break;
        }
        return fail(Fault::ExpectedValue);
    }
    if (failed()) return;
    // After a value: a separator or the end of the enclosing containers.
    for (;;) {
      if (skipping_.empty()) return;
      skip_ws();
      const bool list = skipping_.back() == '[';
      if (p_ == end_) return fail(list ? Fault::EofList : Fault::EofObject);
      if (*p_ == ',') {
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == (list ? ']' : '}')) return fail(Fault::TrailingComma);
        if (list) break;
        goto key;
      }
      if (*p_ == (list ? ']' : '}')) {
        ++p_;
        skipping_.pop_back();
        continue;
      }
      return fail(list ? Fault::ExpectedListSeparator : Fault::ExpectedObjectSeparator);
    }
    continue;
  key:
    // A member's key and colon.
    skip_ws();
    if (p_ == end_) return fail(Fault::EofObject);
    if (*p_ != '"') return fail(Fault::KeyMustBeString);
    ++p_;
    skip_string();
    if (failed()) return;
    skip_ws();
    if (p_ == end_) return fail(Fault::EofObject);
    if (*p_ != ':') return fail(Fault::ExpectedColon);
    ++p_;
  }
}

template <class F>
Parsed<Document> run(std::string_view text, const PollHook* poll, const value::StringMaker* strings,
                     F parse_root) {
  value::Keys keys;
  Parser parser(text, keys, poll, strings);
  Value v = parse_root(parser);
  if (!parser.failed()) parser.finish();
  if (parser.failed()) return std::unexpected(parser.error());
  return Document{std::move(v)};
}

}  // namespace

Parsed<Document> Document::parse(std::string_view text, const PollHook* poll,
                                 const value::StringMaker* strings) {
  return run(text, poll, strings, [](Parser& p) { return p.value(0); });
}

Parsed<Document> Document::parse_cut(std::string_view text, const reads::Read& read, const PollHook* poll,
                                     const value::StringMaker* strings) {
  return run(text, poll, strings, [&](Parser& p) { return p.cut(read, 0); });
}

}  // namespace zarnu_core::document
