// Checking the keyword options and the bindings: every type and range error has its own message, and
// nothing is evaluated when one of them fails.
#include "options.hpp"

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"

namespace zarnu_py::options {

using pyutil::Ref;

namespace {

constexpr const char* kNowMessage =
    "now must be milliseconds since the epoch, a datetime or an ISO 8601 timestamp";

// An unsigned 64-bit keyword (a limit or the seed): absent is none; `ok` turns false with the error set.
std::optional<std::uint64_t> unsigned_keyword(PyObject* object, const char* name, bool& ok) {
  if (!ok || !object) return std::nullopt;
  if (PyBool_Check(object) || !PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int", name);
    ok = false;
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
    ok = false;
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

// Seconds as a whole number of nanoseconds, rounded to the nearest from the double's exact value, ties to
// even. Durations the clock cannot count (some 292 years) saturate: they never end anyway.
std::chrono::nanoseconds duration(double seconds) {
  using std::chrono::nanoseconds;
  if (seconds >= 9.2e9) return nanoseconds::max();
  const double whole = std::floor(seconds);
  const double fraction = seconds - whole;  // exact
  const double product = fraction * 1e9;
  double nanos = std::nearbyint(product);
  // The product is rounded; only when it lands on a tie can the part rounded off decide the other way.
  if (std::fabs(product - nanos) == 0.5) {
    const double lost = std::fma(fraction, 1e9, -product);
    if (lost > 0) nanos = std::floor(product) + 1;
    if (lost < 0) nanos = std::floor(product);
  }
  return nanoseconds(static_cast<std::int64_t>(whole) * 1000000000 + static_cast<std::int64_t>(nanos));
}

bool timeout(PyObject* object, zarnu_core::Options& out) {
  if (!object) return true;
  const std::optional<double> seconds = convert::number(object);
  if (!seconds) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "timeout must be a number of seconds");
    return false;
  }
  // 2^64 seconds and beyond, NaN and the infinities all fail the first test.
  if (!(*seconds < 18446744073709551616.0) || *seconds < 0) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number of seconds");
    return false;
  }
  out.timeout = duration(*seconds);
  return true;
}

// The milliseconds of an ISO 8601 timestamp, as the language's $toMillis reads it; none when it does not.
std::optional<double> iso_millis(std::string_view text) {
  static const auto compiled = zarnu_core::Expression::compile("$toMillis($t)");
  if (!compiled) return std::nullopt;
  zarnu_core::Bindings bindings;
  bindings.values.insert_or_assign("t", std::make_shared<const zarnu_core::json::Json>(std::string(text)));
  auto result = compiled->evaluate_with(bindings, zarnu_core::Options{});
  if (!result || !result->second || !result->second->is_number()) return std::nullopt;
  return result->second->get<double>();
}

// The milliseconds of an object's timestamp(), or none: with the exception that getting or calling it
// raised set, or with `has_timestamp` turned false when the object has no such attribute.
std::optional<double> timestamp_millis(PyObject* object, bool& has_timestamp) {
  Ref method = Ref::steal(PyObject_GetAttrString(object, "timestamp"));
  if (!method) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      has_timestamp = false;
    }
    return std::nullopt;
  }
  Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
  if (!result) return std::nullopt;
  const double seconds = PyFloat_AsDouble(result.get());
  if (seconds == -1.0 && PyErr_Occurred()) return std::nullopt;
  return seconds * 1000.0;
}

}  // namespace

std::optional<std::int64_t> now(PyObject* object) {
  std::optional<double> millis = convert::number(object);
  if (!millis && PyErr_Occurred()) return std::nullopt;
  if (!millis && PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (!utf8) return std::nullopt;
    millis = iso_millis(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!millis) {
      PyErr_SetString(PyExc_ValueError, kNowMessage);
      return std::nullopt;
    }
  } else if (!millis) {
    bool has_timestamp = true;
    millis = timestamp_millis(object, has_timestamp);
    if (!millis) {
      if (!has_timestamp) PyErr_SetString(PyExc_TypeError, kNowMessage);
      return std::nullopt;
    }
  }
  if (!(std::fabs(*millis) < 9e15)) {
    PyErr_SetString(PyExc_ValueError, kNowMessage);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(std::round(*millis));
}

std::optional<zarnu_core::Options> convert(const Keywords& keywords) {
  zarnu_core::Options out;
  if (!timeout(keywords.timeout, out)) return std::nullopt;
  bool ok = true;
  out.max_depth = unsigned_keyword(keywords.max_depth, "max_depth", ok);
  out.max_string_length = unsigned_keyword(keywords.max_string_length, "max_string_length", ok);
  out.max_array_length = unsigned_keyword(keywords.max_array_length, "max_array_length", ok);
  out.max_result_size = unsigned_keyword(keywords.max_result_size, "max_result_size", ok);
  out.seed = unsigned_keyword(keywords.seed, "seed", ok);
  if (!ok) return std::nullopt;
  if (keywords.now) {
    out.now = now(keywords.now);
    if (!out.now) return std::nullopt;
  }
  return out;
}

bool add_bindings(PyObject* bindings, zarnu_core::Bindings& out, host::Binder& binder) {
  if (!PyDict_Check(bindings)) {
    PyErr_SetString(PyExc_TypeError, "bindings must be a dict");
    return false;
  }
  // Taken inside the dict's critical section; converted after it, when Python code may run.
  const auto taken = convert::children(bindings);
  if (!taken) return false;
  const std::vector<Ref>& items = *taken;
  for (std::size_t i = 0; i < items.size(); i += 2) {
    const Ref& key = items[i];
    const Ref& value = items[i + 1];
    if (!PyUnicode_Check(key.get())) {
      PyErr_SetString(PyExc_TypeError, "the names of the bindings must be str");
      return false;
    }
    std::string name(convert::text(key.get()).view());
    if (PyCallable_Check(value.get())) {
      const std::size_t arity = host::arity(value.get());
      out.function(name, binder.function(name, Ref::borrow(value.get()), nullptr, arity));
      continue;
    }
    auto json = convert::to_json(value.get(), "binding " + name);
    if (!json) return false;
    out.functions.erase(name);
    out.values.insert_or_assign(std::move(name),
                                std::make_shared<const zarnu_core::json::Json>(std::move(*json)));
  }
  return true;
}

}  // namespace zarnu_py::options
