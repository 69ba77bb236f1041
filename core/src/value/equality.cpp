// Deep equality of values and the order of strings by UTF-16 code units.
#include "value/equality.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "support/hash.hpp"
#include "support/stack.hpp"
#include "support/utf.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"

namespace zarnu_core::value {

namespace {

// The UTF-16 code units of a character: its surrogate pair above U+FFFF, else itself and 0.
std::pair<std::uint32_t, std::uint32_t> utf16_units(char32_t c) noexcept {
  if (c < 0x10000) return {c, 0};
  c -= 0x10000;
  return {0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF)};
}

// Mixes a value into a running hash.
std::uint64_t combine(std::uint64_t h, std::uint64_t x) noexcept {
  const std::uint64_t pair[2] = {h, x};
  return XXH3_64bits(pair, sizeof pair);
}

std::optional<std::uint64_t> deep_hash_at(const Value& v, std::uint64_t seed, std::size_t depth) {
  const auto tag = static_cast<std::uint64_t>(v.tag());
  switch (v.tag()) {
    case Tag::Undefined:
    case Tag::Null:
    case Tag::Function:  // equal only to itself: all alike here, told apart by comparing
      return combine(seed, tag);
    case Tag::Bool:
      return combine(seed, tag * 2 + v.as_boolean());
    case Tag::Number: {
      const double x = v.as_number();
      return combine(seed + tag, std::bit_cast<std::uint64_t>(x == 0 ? 0.0 : x));
    }
    case Tag::String:
      return combine(tag, hash::bytes(v.as_string(), seed));
    case Tag::Array: {
      if (depth >= kNestingLimit) return std::nullopt;
      Value keep = v;
      const Items& items = keep.as_array().read();
      std::uint64_t h = combine(seed + tag, items.size());
      for (const Value& item : items) {
        auto one = stack::nest(depth + 1, [&] { return deep_hash_at(item, seed, depth + 1); });
        if (!one) return std::nullopt;
        h = combine(h, *one);
      }
      return h;
    }
    case Tag::Object: {
      if (depth >= kNestingLimit) return std::nullopt;
      Value keep = v;
      FieldsRef fields = keep.as_object().borrow();
      // A sum does not depend on the order of the members.
      std::uint64_t sum = 0;
      for (const auto& [key, value] : *fields) {
        auto one = stack::nest(depth + 1, [&] { return deep_hash_at(value, seed, depth + 1); });
        if (!one) return std::nullopt;
        sum += combine(hash::bytes(key.view(), seed), *one);
      }
      return combine(combine(seed + tag, fields->size()), sum);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> deep_hash(const Value& v, std::uint64_t seed) {
  return deep_hash_at(v, seed, 0);
}

std::strong_ordering js_string_cmp(std::string_view a, std::string_view b) noexcept {
  // UTF-8 byte order is code point order; the two orders differ only between a character above U+FFFF
  // and one from U+E000 to U+FFFF, so the first differing character decides by its UTF-16 units.
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  if (i == n) return a.size() <=> b.size();
  while (i > 0 && utf::is_continuation(static_cast<unsigned char>(a[i]))) --i;
  std::size_t ia = i, ib = i;
  auto ua = utf16_units(utf::decode(a, ia));
  auto ub = utf16_units(utf::decode(b, ib));
  return ua <=> ub;
}

Result<bool> deep_eq_at(const Value& a, const Value& b, std::size_t depth) {
  switch (a.tag()) {
    case Tag::Undefined:
      return b.is_undefined();
    case Tag::Null:
      return b.is_null();
    case Tag::Bool:
      return b.is_bool() && a.as_boolean() == b.as_boolean();
    case Tag::Number:
      return b.is_number() && a.as_number() == b.as_number();
    case Tag::String:
      return b.is_string() && (a.same_payload(b) || a.as_string() == b.as_string());
    case Tag::Function:
      return a.same_payload(b);
    case Tag::Array: {
      if (!b.is_array()) return false;
      if (depth >= kNestingLimit) return fail(nested_too_deep());
      if (a.same_payload(b)) return true;
      // Counted copies keep both arrays alive while their items are compared.
      Value ka = a, kb = b;
      const Items& ia = ka.as_array().read();
      const Items& ib = kb.as_array().read();
      if (ia.size() != ib.size()) return false;
      for (std::size_t k = 0; k < ia.size(); ++k) {
        ZR_TRY(bool same, stack::nest(depth + 1, [&] { return deep_eq_at(ia[k], ib[k], depth + 1); }));
        if (!same) return false;
      }
      return true;
    }
    case Tag::Object: {
      if (!b.is_object()) return false;
      if (depth >= kNestingLimit) return fail(nested_too_deep());
      if (a.same_payload(b)) return true;
      Value ka = a, kb = b;
      FieldsRef fa = ka.as_object().borrow();
      FieldsRef fb = kb.as_object().borrow();
      if (fa->size() != fb->size()) return false;
      for (const auto& [key, value] : *fa) {
        auto it = fb->find(key.view());
        if (it == fb->end()) return false;
        ZR_TRY(bool same, stack::nest(depth + 1, [&] { return deep_eq_at(value, it->second, depth + 1); }));
        if (!same) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace zarnu_core::value
