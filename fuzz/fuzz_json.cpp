// Fuzzes the JSON reader. The input's first bytes build a read tree, the rest is JSON text; the whole parse
// and the cut parse must agree on validity, their values must come back unchanged through their JSON text,
// and the cut value must be the whole value pruned by the read tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "value/document.hpp"
#include "value/reads.hpp"
#include "value/stringify.hpp"
#include "value/value.hpp"

namespace {

using zarnu_core::document::Document;
using zarnu_core::document::Parsed;
using zarnu_core::document::ParseError;
using zarnu_core::reads::Read;
using zarnu_core::value::Items;
using zarnu_core::value::StrRep;
using zarnu_core::value::Tag;
using zarnu_core::value::Value;

std::string_view g_text;

// The text with bytes outside printable ASCII written as \xNN.
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

[[noreturn]] void violation(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_json: %s\n", what);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", printable(detail).c_str());
  std::fprintf(stderr, "  text (%zu bytes): %s\n", g_text.size(), printable(g_text).c_str());
  std::abort();
}

// Bytes that build the read tree; 0 once they run out.
class Bytes {
 public:
  Bytes(const std::uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}
  std::uint8_t next() { return p_ < end_ ? *p_++ : 0; }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Few, short names so that they meet the keys of the text: an empty one, a non-ASCII one, and one that
// needs an escape in JSON.
constexpr std::string_view kNames[] = {"a", "b", "c", "ab", "", "\xC3\xA9", "a\"", "0"};
constexpr int kMaxReadDepth = 4;

Read build_read(Bytes& in, int depth) {
  const std::uint8_t b = in.next();
  if (depth >= kMaxReadDepth || b % 4 == 3) return Read::all();
  Read read = Read::fields();
  for (int n = (b >> 2) % 4; n > 0; --n) {
    std::string_view name = kNames[in.next() % std::size(kNames)];
    Read sub = build_read(in, depth + 1);
    read.at(name) = std::move(sub);
  }
  return read;
}

std::string describe(const Read& read) {
  if (read.is_all()) return "*";
  std::string out = "{";
  for (const auto& [name, sub] : read.entries()) {
    if (out.size() > 1) out += ",";
    out += "\"" + name + "\":" + describe(sub);
  }
  return out + "}";
}

std::string text_of(const Value& v) {
  auto text = zarnu_core::value::stringify(v, false, std::numeric_limits<std::size_t>::max());
  if (!text) violation("a parsed value cannot be written as JSON", std::string(text.error().code()));
  return *text;
}

std::string outcome(const Parsed<Document>& d) {
  return d ? text_of(d->value) : "!" + d.error().text();
}

// The whole value cut down to what `read` reads, built anew.
Value prune(const Value& v, const Read& read) {
  if (read.is_all()) return v;
  if (v.is_array()) {
    Items items;
    for (const Value& item : v.as_array().read()) items.push_back(prune(item, read));
    return Value::array_with(std::move(items), 0);
  }
  if (v.is_object()) {
    Value out = Value::object();
    auto& fields = out.as_object().fields;
    for (const auto& [key, member] : v.as_object().fields)
      if (const Read* sub = read.field(key.view())) fields.try_emplace(key, prune(member, *sub));
    return out;
  }
  return v;
}

// Exact equality: numbers bit for bit, members in the same order.
bool same(const Value& a, const Value& b) {
  if (a.tag() != b.tag()) return false;
  switch (a.tag()) {
    case Tag::Undefined:
    case Tag::Null:
      return true;
    case Tag::Bool:
      return a.as_boolean() == b.as_boolean();
    case Tag::Number: {
      const double x = a.as_number(), y = b.as_number();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Tag::String:
      return a.as_string() == b.as_string();
    case Tag::Array: {
      const Items& ia = a.as_array().read();
      const Items& ib = b.as_array().read();
      if (ia.size() != ib.size()) return false;
      for (std::size_t i = 0; i < ia.size(); ++i)
        if (!same(ia[i], ib[i])) return false;
      return true;
    }
    case Tag::Object: {
      const auto& fa = a.as_object().fields;
      const auto& fb = b.as_object().fields;
      if (fa.size() != fb.size()) return false;
      for (auto i = fa.begin(), j = fb.begin(); i != fa.end(); ++i, ++j)
        if (i->first.view() != j->first.view() || !same(i->second, j->second)) return false;
      return true;
    }
    case Tag::Function:
      return false;
  }
  return false;
}

// What every parsed value must be: plain containers read whole, and one shared text per key per parse.
void check_shape(const Value& v, std::unordered_map<std::string_view, const StrRep*>& keys) {
  if (v.is_undefined() || v.is_function()) violation("a parse produced an undefined or function value");
  if (v.is_array()) {
    const auto& array = v.as_array();
    if (array.flags != 0 || array.lazy) violation("a parsed array has flags or a lazy source");
    for (const Value& item : array.items) check_shape(item, keys);
  } else if (v.is_object()) {
    const auto& object = v.as_object();
    if (object.read_state != 2 || object.pending) violation("a parsed object is not read whole");
    for (const auto& [key, member] : object.fields) {
      auto [it, fresh] = keys.try_emplace(key.view(), key.rep());
      if (!fresh && it->second != key.rep())
        violation("a key of one parse is not interned", std::string(key));
      check_shape(member, keys);
    }
  }
}

void check_shape(const Value& v) {
  std::unordered_map<std::string_view, const StrRep*> keys;
  check_shape(v, keys);
}

// Writing a parsed value and parsing the text again gives the same text.
void check_round_trip(const Value& v) {
  const std::string text = text_of(v);
  auto again = Document::parse(text);
  if (!again)
    violation("the JSON text of a parsed value does not parse", text + " -> " + again.error().text());
  const std::string text2 = text_of(again->value);
  if (text2 != text)
    violation("the JSON text of a parsed value changes when parsed again", text + " -> " + text2);
}

// Faults that the cut parse may legitimately not meet: skipped containers do not count against the
// nesting allowance, and skipped numbers and strings are checked as syntax only (no range, no UTF-8, no
// pairing of surrogate escapes).
bool skippable(const ParseError& e) {
  return e.reason == "recursion limit exceeded" || e.reason == "number out of range" ||
         e.reason == "invalid UTF-8 in string" || e.reason == "lone leading surrogate in hex escape" ||
         e.reason == "invalid unicode code point";
}

bool before(const ParseError& a, const ParseError& b) {
  return a.line < b.line || (a.line == b.line && a.column < b.column);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t prefix = std::min<std::size_t>(data[0] % 16, size - 1);
  Bytes bytes(data + 1, prefix);
  const Read read = build_read(bytes, 0);
  g_text = std::string_view(reinterpret_cast<const char*>(data + 1 + prefix), size - 1 - prefix);

  const auto whole = Document::parse(g_text);
  const auto all = Document::parse_cut(g_text, Read::all());
  const auto cut = Document::parse_cut(g_text, read);

  // Read::all() is the whole parse, errors included.
  if (outcome(whole) != outcome(all))
    violation("a cut parse reading everything differs from the whole parse");
  if (whole && !same(whole->value, all->value))
    violation("a cut parse reading everything builds a different value");

  const std::string where = "read " + describe(read);
  if (whole) {
    check_shape(whole->value);
    check_round_trip(whole->value);
    if (!cut) violation("valid text fails the cut parse", where + ": " + cut.error().text());
    check_shape(cut->value);
    const Value pruned = prune(whole->value, read);
    if (!same(pruned, cut->value))
      violation("the cut value is not the whole value pruned",
                where + ": " + text_of(pruned) + " vs " + text_of(cut->value));
    return 0;
  }

  // The whole parse failed. The cut parse checks the same syntax, so it fails alike, except for faults that
  // only building meets; past one of those it may succeed or fail later in the text.
  const ParseError& e = whole.error();
  if (!skippable(e)) {
    if (cut) violation("invalid text passes the cut parse", where + ": " + e.text());
    if (cut.error().text() != e.text())
      violation("the cut parse reports another error", where + ": " + e.text() + " vs " + cut.error().text());
    return 0;
  }
  if (cut) {
    check_shape(cut->value);
    check_round_trip(cut->value);
  } else if (before(cut.error(), e)) {
    violation("the cut parse fails before the whole parse",
              where + ": " + e.text() + " vs " + cut.error().text());
  }
  return 0;
}
