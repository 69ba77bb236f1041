// Handing values out as data: one walk feeds a value into a builder (JSON values here, Python objects in
// the module) while spending from a byte budget the length of its compact JSON text, so that an oversized
// result is refused before it is built.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "support/stack.hpp"
#include "value/json.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"
#include "value/member_index.hpp"
#include "value/polling.hpp"
#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::output {

// A builder turns the walk's pieces into its own kind of built value.
template <class B>
concept Builder = requires(B b, typename B::Built built, std::vector<typename B::Built> items,
                           std::string_view s) {
  { b.null() } -> std::same_as<typename B::Built>;
  { b.boolean(true) } -> std::same_as<typename B::Built>;
  { b.number(1.0) } -> std::same_as<typename B::Built>;
  { b.string(s) } -> std::same_as<typename B::Built>;
  { b.end_array(std::move(items)) } -> std::same_as<typename B::Built>;
  { b.object(std::size_t{0}) } -> std::same_as<typename B::Built>;
  b.insert(built, s, std::move(built));
};

}  // namespace zarnu_core::output

namespace zarnu_core::value {

// The failure of a budgeted walk: the nesting limit was reached, or the budget ran out.
struct TooLarge {
  bool nested = false;
  // U1001: the nesting message, or `wording` (with "{}" for the limit) filled with `limit`.
  error::Error error(std::size_t limit, std::string_view wording) const;
};

// Builds JSON values; numbers follow the JSON number rule.
class JsonBuilder {
 public:
  using Built = json::Json;
  Built null() { return Built(nullptr); }
  Built boolean(bool b) { return Built(b); }
  Built number(double x) { return json_number(x); }
  Built string(std::string_view s) { return Built(std::string(s)); }
  Built end_array(std::vector<Built> items) {
    Built out = Built::array();
    auto& arr = out.get_ref<Built::array_t&>();
    arr.reserve(items.size());
    for (auto& item : items) arr.push_back(std::move(item));
    return out;
  }
  Built object(std::size_t capacity) {
    Built out = Built::object();
    auto& members = out.get_ref<Built::object_t&>();
    members.reserve(capacity);
    inserter_.started(members);
    return out;
  }
  // Adds a member; a key inserted twice keeps its first position and takes the later value.
  void insert(Built& object, std::string_view key, Built value) {
    inserter_.insert(object.get_ref<Built::object_t&>(), key, std::move(value));
  }
  // Adds a member whose key differs from those of every other member of the object, all added this way.
  void insert_distinct(Built& object, std::string_view key, Built value) {
    object.get_ref<Built::object_t&>().emplace_back(std::string(key), std::move(value));
  }

 private:
  json::MemberInserter inserter_;
};

namespace spend {

// The walk's poll stopped it: a limit of the evaluation passed, and the poll holds that error.
struct Stopped {};

// Why a walk ended early: too large, or stopped (only a walk given a poll stops).
using Failure = std::variant<TooLarge, Stopped>;

template <class T>
using Walk = std::expected<T, Failure>;

// The error that ends a failed walk: the poll's when it stopped, else the size error (`TooLarge::error`).
error::Error failure_error(const Failure& failure, const eval::Poll* poll, std::size_t limit,
                           std::string_view wording);

inline bool charge(std::uint64_t& budget, std::uint64_t n) noexcept {
  if (budget < n) return false;
  budget -= n;
  return true;
}

// The length of a number's JSON text ("null" for NaN and the infinities).
std::uint64_t number_length(double x);

// The longest JSON text of a number: a negative one with 17 significant digits after five zeros, as in
// "-0.0000012345678901234567". Other forms are shorter: the exponent form takes at most 17 digits, a point,
// "e", the exponent's sign and 3 digits, and a magnitude of 1 or more written in full at most 21 digits
// (18 with a point).
inline constexpr std::uint64_t kLongestNumber = 25;

// What a walk charges for a number: its text length when exact, else (integral numbers and the infinities
// are still counted, which is cheap) at least that, but without finding its shortest text.
inline std::uint64_t number_charge(double x, bool exact) {
  return exact || x == std::trunc(x) ? number_length(x) : kLongestNumber;
}

}  // namespace spend

// Walks JSON data (the host's data behind an unread lazy container) into a builder within the budget,
// asking the poll (when given) at every item and member.
template <output::Builder B>
spend::Walk<typename B::Built> write_json_within(const json::Json& data, B& b, std::uint64_t& budget,
                                                 std::size_t depth, eval::Poll* poll = nullptr,
                                                 bool exact = true) {
  using Built = typename B::Built;
  using json::Json;
  const TooLarge over{false};
  switch (data.type()) {
    case Json::value_t::array:
    case Json::value_t::object: {
      if (depth >= kNestingLimit) return std::unexpected(TooLarge{true});
      if (data.is_array()) {
        if (!spend::charge(budget, data.empty() ? 2 : data.size() + 1)) return std::unexpected(over);
        std::vector<Built> items;
        items.reserve(data.size());
        for (const Json& item : data) {
          if (poll && poll->stop()) return std::unexpected(spend::Stopped{});
          auto built = stack::nest(
              depth + 1, [&] { return write_json_within(item, b, budget, depth + 1, poll, exact); });
          if (!built) return std::unexpected(built.error());
          items.push_back(std::move(*built));
        }
        return b.end_array(std::move(items));
      }
      if (!spend::charge(budget, data.empty() ? 2 : 1)) return std::unexpected(over);
      Built object = b.object(data.size());
      for (auto it = data.begin(); it != data.end(); ++it) {
        if (poll && poll->stop()) return std::unexpected(spend::Stopped{});
        if (!spend::charge(budget, it.key().size() + 4)) return std::unexpected(over);
        auto built = stack::nest(
            depth + 1, [&] { return write_json_within(it.value(), b, budget, depth + 1, poll, exact); });
        if (!built) return std::unexpected(built.error());
        b.insert(object, it.key(), std::move(*built));
      }
      return object;
    }
    case Json::value_t::boolean: {
      bool t = data.get<bool>();
      if (!spend::charge(budget, t ? 4 : 5)) return std::unexpected(over);
      return b.boolean(t);
    }
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: {
      double x = data.is_number_float()      ? data.get<double>()
                 : data.is_number_unsigned() ? static_cast<double>(data.get<std::uint64_t>())
                                             : static_cast<double>(data.get<std::int64_t>());
      if (!spend::charge(budget, spend::number_charge(x, exact))) return std::unexpected(over);
      return std::isfinite(x) ? b.number(x) : b.null();
    }
    case Json::value_t::string: {
      const std::string& s = data.get_ref<const std::string&>();
      if (!spend::charge(budget, s.size() + 2)) return std::unexpected(over);
      return b.string(s);
    }
    default:
      if (!spend::charge(budget, 4)) return std::unexpected(over);
      return b.null();
  }
}

// The JSON data behind an unread lazy container, if any.
inline const json::Json* unread_json(const Value& v) noexcept {
  if (v.is_array()) {
    const Array& a = v.as_array();
    if (a.lazy && !a.lazy->cell && !a.lazy->pending.source) return a.lazy->pending.json;
  } else if (v.is_object()) {
    const Object& o = v.as_object();
    if (o.pending && o.read_state == 0 && !o.pending->source) return o.pending->json;
  }
  return nullptr;
}

// Walks a value into a builder within the budget: none for undefined and functions. With a poll, the
// walk asks it at every item and member and stops when a limit of the evaluation has passed.
template <output::Builder B>
spend::Walk<std::optional<typename B::Built>> write_spending(const Value& value, B& b, std::uint64_t& budget,
                                                             std::size_t depth, eval::Poll* poll = nullptr,
                                                             bool exact = true) {
  using Built = typename B::Built;
  const TooLarge over{false};
  switch (value.tag()) {
    case Tag::Undefined:
    case Tag::Function:
      return std::optional<Built>();
    case Tag::Null:
      if (!spend::charge(budget, 4)) return std::unexpected(over);
      return std::optional<Built>(b.null());
    case Tag::Bool:
      if (!spend::charge(budget, value.as_boolean() ? 4 : 5)) return std::unexpected(over);
      return std::optional<Built>(b.boolean(value.as_boolean()));
    case Tag::Number: {
      double x = value.as_number();
      if (!spend::charge(budget, spend::number_charge(x, exact))) return std::unexpected(over);
      return std::optional<Built>(std::isfinite(x) ? b.number(x) : b.null());
    }
    case Tag::String:
      if (!spend::charge(budget, value.as_string().size() + 2)) return std::unexpected(over);
      // A builder that can hand out the host object a string came from unchanged is given it.
      if constexpr (requires(const HostText* host) { b.string(value.as_string(), host); })
        return std::optional<Built>(b.string(value.as_string(), value.string_host()));
      else
        return std::optional<Built>(b.string(value.as_string()));
    case Tag::Array:
    case Tag::Object:
      break;
  }
  if (const json::Json* data = unread_json(value)) {
    auto built = write_json_within(*data, b, budget, depth, poll, exact);
    if (!built) return std::unexpected(built.error());
    return std::optional<Built>(std::move(*built));
  }
  if (depth >= kNestingLimit) return std::unexpected(TooLarge{true});
  Value keep = value;  // holds the container while its members are walked
  if (keep.is_array()) {
    const Items& items = keep.as_array().read();
    if (!spend::charge(budget, items.empty() ? 2 : items.size() + 1)) return std::unexpected(over);
    std::vector<Built> built;
    built.reserve(items.size());
    for (const Value& item : items) {
      if (poll && poll->stop()) return std::unexpected(spend::Stopped{});
      if (item.is_undefined() || item.is_function()) {
        if (!spend::charge(budget, 4)) return std::unexpected(over);
        built.push_back(b.null());
        continue;
      }
      auto one =
          stack::nest(depth + 1, [&] { return write_spending(item, b, budget, depth + 1, poll, exact); });
      if (!one) return std::unexpected(one.error());
      built.push_back(std::move(**one));
    }
    return std::optional<Built>(b.end_array(std::move(built)));
  }
  FieldsRef fields = keep.as_object().borrow();
  if (!spend::charge(budget, fields->empty() ? 2 : 1)) return std::unexpected(over);
  Built object = b.object(fields->size());
  for (const auto& [key, v] : *fields) {
    if (poll && poll->stop()) return std::unexpected(spend::Stopped{});
    if (v.is_undefined() || v.is_function()) continue;
    if (!spend::charge(budget, key.size() + 4)) return std::unexpected(over);
    auto one = stack::nest(depth + 1, [&] { return write_spending(v, b, budget, depth + 1, poll, exact); });
    if (!one) return std::unexpected(one.error());
    // The keys of a value's own members are distinct: a builder that can add them unchecked does.
    if constexpr (requires { b.insert_distinct(object, key.view(), std::move(**one)); })
      b.insert_distinct(object, key.view(), std::move(**one));
    else
      b.insert(object, key.view(), std::move(**one));
  }
  return std::optional<Built>(std::move(object));
}

// Walks a value into a builder within a budget whose remainder nobody reads, with the outcome of the exact
// walk. Finding a number's shortest text costs more than the rest of its walk, and a result seldom comes
// near its limit: the first walk charges non-integral numbers a bound on their length. As it never charges
// less, its success is the exact walk's, and so is a nesting failure or a stop; only when it runs out of
// budget is the value walked again with exact charges.
template <output::Builder B>
spend::Walk<std::optional<typename B::Built>> write_within(const Value& value, B& b, std::uint64_t budget,
                                                           eval::Poll* poll = nullptr) {
  std::uint64_t left = budget;
  auto built = write_spending(value, b, left, 0, poll, false);
  if (built) return built;
  if (const TooLarge* size = std::get_if<TooLarge>(&built.error()); !size || size->nested) return built;
  left = budget;
  return write_spending(value, b, left, 0, poll, true);
}

// The JSON value of a value without budget or nesting limit (for captures); none for undefined and functions.
std::optional<json::Json> to_json_at(const Value& value, std::size_t depth);

// The JSON form of a value for an error detail: none when it cannot be converted within the detail budget.
std::optional<json::Json> to_json_detail(const Value& value);

}  // namespace zarnu_core::value

namespace zarnu_core::output {

// A result ready to be handed out: the value, the result byte limit, the input's lazy-read state and the
// poll of the evaluation's limits, which still hold while the result is written.
struct Output {
  const value::Value& value;
  std::uint64_t budget = kDetailBudget;
  const value::Shared* shared = nullptr;
  eval::Poll* poll = nullptr;

  // Writes the value into a builder; none for an undefined or function result.
  template <Builder B>
  Result<std::optional<typename B::Built>> write(B& b) const {
    auto built = value::write_within(value, b, budget, poll);
    if (!built)
      return fail(value::spend::failure_error(built.error(), poll, budget,
                                              "The result would exceed the size limit of {} bytes"));
    if (shared && shared->failed) return fail(shared->failure());
    return std::move(*built);
  }
};

}  // namespace zarnu_core::output

namespace zarnu_core {

// The output as a JSON value, none for an undefined result.
Result<std::optional<json::Json>> to_json(const output::Output& out);

}  // namespace zarnu_core

namespace zarnu_core::eval {

// The error with the detail "value" set to the JSON form of a value, left unchanged when the value cannot
// be converted within the detail budget.
inline error::Error with_value(error::Error e, const value::Value& v) {
  if (auto detail = value::to_json_detail(v)) return std::move(e).with("value", std::move(*detail));
  return e;
}

}  // namespace zarnu_core::eval
