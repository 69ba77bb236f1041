// The table of built-in functions: 65 records in registry order, built once per process on first lookup
// and read-only afterwards.
// The built-ins stage (functions/): the evaluator reaches them only through eval/native.hpp.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "eval/native.hpp"
#include "functions/aggregate.hpp"
#include "functions/collections.hpp"
#include "functions/dates.hpp"
#include "functions/encoding.hpp"
#include "functions/higher.hpp"
#include "functions/misc.hpp"
#include "functions/numbers.hpp"
#include "functions/numeric.hpp"
#include "functions/patterns.hpp"
#include "functions/strings.hpp"
#include "support/once.hpp"
#include "support/panic.hpp"

namespace zarnu_core::functions {

namespace {

constexpr std::size_t kCount = 65;

struct Table {
  std::vector<Native> records;
};

class Builder {
 public:
  Builder() { t_.records.reserve(kCount); }

  void fn(std::string_view name, std::string_view sig, std::vector<std::string_view> params,
          std::size_t arity, std::string_view description, Implementation impl) {
    auto parsed = signature::Signature::parse(sig);
    if (!parsed) panic("valid built-in signature: " + parsed.error().debug());
    t_.records.push_back(Native{std::move(*parsed), name, std::move(params), description, impl, arity});
  }

  Table finish() && {
    if (t_.records.size() != kCount)
      panic("the built-in table has " + std::to_string(t_.records.size()) + " rows");
    return std::move(t_);
  }

 private:
  Table t_;
};

Table build() {
  Builder b;
  b.fn("sum", "<a<n>:n>", {"array"}, 1, "Sum of an array of numbers", &sum);
  b.fn("count", "<a:n>", {"array"}, 1, "Number of items in an array", &count);
  b.fn("max", "<a<n>:n>", {"array"}, 1, "Largest number in an array", &max);
  b.fn("min", "<a<n>:n>", {"array"}, 1, "Smallest number in an array", &min);
  b.fn("average", "<a<n>:n>", {"array"}, 1, "Mean of an array of numbers", &average);
  // Arity 1 although there are two parameters: a higher-order built-in then hands $string only the item,
  // never its index as "prettify".
  b.fn("string", "<x-b?:s>", {"arg", "prettify"}, 1,
       "Casts a value to a string; objects and arrays become JSON", &string);
  b.fn("substring", "<s-nn?:s>", {"str", "start", "length"}, 3,
       "Characters from a start position, optionally limited to a length", &strings::substring);
  b.fn("substringBefore", "<s-s:s>", {"str", "chars"}, 2,
       "The part of a string before the first occurrence of a substring", &strings::substring_before);
  b.fn("substringAfter", "<s-s:s>", {"str", "chars"}, 2,
       "The part of a string after the first occurrence of a substring", &strings::substring_after);
  b.fn("lowercase", "<s-:s>", {"str"}, 1, "Converts a string to lower case", &strings::lowercase);
  b.fn("uppercase", "<s-:s>", {"str"}, 1, "Converts a string to upper case", &strings::uppercase);
  b.fn("length", "<s-:n>", {"str"}, 1, "Number of characters in a string", &strings::length);
  b.fn("trim", "<s-:s>", {"str"}, 1, "Normalizes and trims whitespace", &strings::trim);
  b.fn("pad", "<s-ns?:s>", {"str", "width", "char"}, 3,
       "Pads a string to a width; positive pads on the right, negative on the left", &strings::pad);
  b.fn("match", "<s-f<s:o>n?:a<o>>", {"str", "regex", "limit"}, 3,
       "Matches a regular expression, returning the matches with their positions and groups",
       &strings::match_);
  b.fn("contains", "<s-(sf):b>", {"str", "token"}, 2,
       "Whether a string contains a substring or matches a regular expression", &strings::contains);
  b.fn("replace", "<s-(sf)(sf)n?:s>", {"str", "pattern", "replacement", "limit"}, 4,
       "Replaces occurrences of a substring or regular expression", &strings::replace);
  b.fn("split", "<s-(sf)n?:a<s>>", {"str", "separator", "limit"}, 3,
       "Splits a string by a separator or regular expression", &strings::split);
  b.fn("join", "<a<s>s?:s>", {"strs", "separator"}, 2, "Joins an array of strings with an optional separator",
       &strings::join);
  b.fn("formatNumber", "<n-so?:s>", {"value", "picture", "options"}, 3,
       "Formats a number with an XPath picture string", &numeric::format_number);
  b.fn("formatBase", "<n-n?:s>", {"value", "radix"}, 2, "Formats a number in another base (2 to 36)",
       &numeric::format_base);
  b.fn("formatInteger", "<n-s:s>", {"value", "picture"}, 2,
       "Formats an integer with an XPath picture string (words, roman, letters, digits)",
       &numeric::format_integer);
  b.fn("parseInteger", "<s-s:n>", {"value", "picture"}, 2,
       "Parses an integer written according to an XPath picture string", &numeric::parse_integer);
  b.fn("number", "<(nsb)-:n>", {"arg"}, 1, "Casts a value to a number", &numeric::number);
  b.fn("floor", "<n-:n>", {"arg"}, 1, "Rounds down", &numbers::floor);
  b.fn("ceil", "<n-:n>", {"arg"}, 1, "Rounds up", &numbers::ceil);
  b.fn("round", "<n-n?:n>", {"arg", "precision"}, 2,
       "Rounds half to even, optionally to a number of decimal places", &numbers::round);
  b.fn("abs", "<n-:n>", {"arg"}, 1, "Absolute value", &numbers::abs);
  b.fn("sqrt", "<n-:n>", {"arg"}, 1, "Square root", &numeric::sqrt);
  b.fn("power", "<n-n:n>", {"arg", "exp"}, 2, "Raises a number to a power", &numeric::power);
  b.fn("random", "<:n>", {}, 0, "A pseudo-random number between 0 (inclusive) and 1 (exclusive)",
       &numbers::random);
  b.fn("boolean", "<x-:b>", {"arg"}, 1, "The effective boolean value of a value", &numbers::boolean);
  b.fn("not", "<x-:b>", {"arg"}, 1, "Logical negation of the effective boolean value", &numbers::not_);
  b.fn("exists", "<x:b>", {"arg"}, 1, "Whether a value is defined", &numbers::exists);
  b.fn("map", "<af>", {"arr", "func"}, 2, "Applies a function to each item of an array", &collections::map);
  b.fn("zip", "<a+>", {}, 0, "Combines arrays item by item into an array of arrays", &collections::zip);
  b.fn("filter", "<af>", {"arr", "func"}, 2, "The items of an array for which a predicate holds",
       &collections::filter);
  b.fn("single", "<af?>", {"arr", "func"}, 2,
       "The only item of an array matching a predicate; an error otherwise", &collections::single);
  b.fn("reduce", "<afj?:j>", {"sequence", "func", "init"}, 3,
       "Folds an array into a single value with a function", &collections::reduce);
  b.fn("sift", "<o-f?:o>", {"arg", "func"}, 2, "The key/value pairs of an object for which a predicate holds",
       &collections::sift);
  b.fn("keys", "<x-:a<s>>", {"arg"}, 1, "The keys of an object, or the union of keys of an array of objects",
       &collections::keys);
  b.fn("lookup", "<x-s:x>", {"input", "key"}, 2,
       "The value of a key in an object, or in each object of an array", &collections::lookup);
  b.fn("spread", "<x-:a<o>>", {"arg"}, 1, "Splits an object into an array of single-key objects",
       &collections::spread);
  b.fn("merge", "<a<o>:o>", {"arg"}, 1, "Merges an array of objects into one; later keys win",
       &collections::merge);
  b.fn("each", "<o-f:a>", {"obj", "func"}, 2, "Applies a function to each key/value pair of an object",
       &collections::each);
  b.fn("append", "<xx:a>", {"arg1", "arg2"}, 2, "Concatenates two values into an array",
       &collections::append);
  b.fn("reverse", "<a:a>", {"arr"}, 1, "Reverses an array", &collections::reverse);
  b.fn("sort", "<af?:a>", {"arr", "comparator"}, 2, "Sorts an array, optionally with a comparator function",
       &collections::sort);
  b.fn("shuffle", "<a:a>", {"arr"}, 1, "Shuffles an array into a random order", &collections::shuffle);
  b.fn("distinct", "<x:x>", {"arr"}, 1, "Removes duplicate values from an array", &collections::distinct);
  b.fn("error", "<s?:x>", {"message"}, 1, "Raises an error (D3137) with a message", &collections::error_);
  b.fn("assert", "<bs?:x>", {"condition", "message"}, 2, "Raises an error (D3141) when a condition is false",
       &collections::assert_);
  b.fn("type", "<x:s>", {"value"}, 1,
       "The type of a value: null, number, string, boolean, array, object or function", &collections::type_);
  b.fn("eval", "<sx?:x>", {"expr", "focus"}, 2, "Parses and evaluates a JSONata expression given as a string",
       &collections::eval_);
  b.fn("clone", "<(oa)-:o>", {"arg"}, 1, "A deep copy of a value", &collections::clone);
  b.fn("base64encode", "<s-:s>", {"str"}, 1, "Encodes a string as Base64 (each character taken as a byte)",
       &strings::base64encode);
  b.fn("base64decode", "<s-:s>", {"str"}, 1, "Decodes a Base64 string (each byte becomes a character)",
       &strings::base64decode);
  b.fn("encodeUrlComponent", "<s-:s>", {"str"}, 1, "Percent-encodes a URL component",
       &strings::encode_url_component);
  b.fn("encodeUrl", "<s-:s>", {"str"}, 1, "Percent-encodes a URL, leaving reserved characters",
       &strings::encode_url);
  b.fn("decodeUrlComponent", "<s-:s>", {"str"}, 1, "Decodes a percent-encoded URL component",
       &strings::decode_url_component);
  b.fn("decodeUrl", "<s-:s>", {"str"}, 1,
       "Decodes a percent-encoded URL, leaving reserved characters encoded", &strings::decode_url);
  b.fn("now", "<s?s?:s>", {"picture", "timezone"}, 2,
       "The evaluation's timestamp as an ISO 8601 string, or formatted with a picture", &dates::now);
  b.fn("millis", "<:n>", {}, 0, "The evaluation's timestamp in milliseconds since the epoch", &dates::millis);
  b.fn("fromMillis", "<n-s?s?:s>", {"millis", "picture", "timezone"}, 3,
       "Formats milliseconds since the epoch as a timestamp string", &dates::from_millis);
  b.fn("toMillis", "<s-s?:n>", {"timestamp", "picture"}, 2,
       "Parses a timestamp string into milliseconds since the epoch", &dates::to_millis);
  return std::move(b).finish();
}

const Table& built() {
  static constinit once::Once<Table> t;
  return t.get(build);
}

// Records added by tests, looked up after the table's own. Only a program that added some ever makes
// the list: elsewhere no lookup meets the guard of its first use, which a fork could leave taken.
std::atomic<bool> g_extra_added{false};

std::deque<Native>& extra() {
  static std::deque<Native> records;
  return records;
}

const Native* find_extra(std::string_view name) {
  if (!g_extra_added.load(std::memory_order_relaxed)) return nullptr;
  for (const Native& n : extra())
    if (n.name == name) return &n;
  return nullptr;
}

}  // namespace

const value::Value kMissingArgument;

std::span<const Native> table() {
  return built().records;
}

const Native* lookup(std::string_view name) {
  const Table& t = built();
  for (std::size_t i = 0; i < t.records.size(); ++i) {
    if (t.records[i].name == name) return &t.records[i];
  }
  return find_extra(name);
}

void testing::add(Native native) {
  extra().push_back(std::move(native));
  g_extra_added.store(true, std::memory_order_relaxed);
}

}  // namespace zarnu_core::functions
