// Python objects as data: how one object is classified (scalar, container or neither), the text of strings
// and keys, whole conversions of Python data into JSON values and back, and the number rule for results.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "pyutil.hpp"
#include "value/json.hpp"
#include "value/polling.hpp"
#include "value/value.hpp"

namespace zarnu_core::audit {
class Fnv1a;
}

namespace zarnu_py::convert {

using pyutil::Ref;
using zarnu_core::json::Json;

// The UTF-8 text of a str: borrowed from the interpreter's cached UTF-8 form, valid while the str lives, or
// made anew when the str holds lone surrogates (which UTF-8 cannot carry).
class Text {
 public:
  static Text borrowed(std::string_view text) noexcept { return Text(text, {}, false); }
  static Text owned(std::string text) noexcept { return Text({}, std::move(text), true); }

  Text(Text&& other) noexcept { *this = std::move(other); }
  Text& operator=(Text&& other) noexcept {
    owns_ = other.owns_;
    owned_ = std::move(other.owned_);
    borrowed_ = other.borrowed_;
    return *this;
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  std::string_view view() const noexcept { return owns_ ? std::string_view(owned_) : borrowed_; }
  // Whether the text was made anew: it may equal the text of another str.
  bool made() const noexcept { return owns_; }
  std::string take() && { return owns_ ? std::move(owned_) : std::string(borrowed_); }

 private:
  Text(std::string_view borrowed, std::string owned, bool owns) noexcept
      : borrowed_(borrowed), owned_(std::move(owned)), owns_(owns) {}
  std::string_view borrowed_;
  std::string owned_;
  bool owns_ = false;
};

// The marks of `scalar` for what is not a scalar.
struct Container {};
struct Failure {
  std::string reason;
  bool raised = false;  // a float conversion raised what is not an error (KeyboardInterrupt), left set
};

// What one object is as data: null, a boolean, an integer, a double, text, a container to walk, or a
// failure with its reason.
using Scalar = std::variant<std::nullptr_t, bool, std::int64_t, double, Text, Container, Failure>;

// Classifies an object by the JSON rules: exact types first (the common case), then subclasses.
Scalar scalar(PyObject* object);

// The text of a str (or subclass). Never fails: lone surrogates become U+FFFD, a pair of surrogates the
// character they encode.
Text text(PyObject* string);

// The text of a dict key, or the failure reason "keys must be str, not {}".
std::expected<Text, std::string> key(PyObject* object);

// The short name of an object's type, "?" when it cannot be had.
std::string type_name(PyObject* object);

// A number for the options: a double from an int or float (or subclass), none for a bool, any other
// object or a value the float conversion refuses (with what it raised left set when that is not an error,
// such as KeyboardInterrupt).
std::optional<double> number(PyObject* object);

// "Type: text" for an exception (its type's qualified name and its str()).
std::string exception_text(PyObject* exception);
// The same for the exception being raised, which is cleared.
std::string take_exception_text();

// Takes over an object just made by the interpreter, which fails only when memory runs out: then throws
// std::bad_alloc (MemoryError at the boundary).
Ref made(PyObject* object);

// A new str of UTF-8 text made by the core, in which lone surrogates may appear encoded as UTF-8.
Ref string(std::string_view text);

// The number rule of results: an integral double of magnitude below 1e21 as an int, any other as a float.
Ref number(double x);

// The children of a container (a dict's keys and values alternately, or the items of a list or tuple),
// each with a reference of its own. A dict or list is read inside its critical section, which ends before
// anything else happens: whatever Python code runs later, changing the container, leaves the children
// taken alone. None when a dict subclass's iteration raised what is not an error (KeyboardInterrupt),
// which is left set; an error there is cleared and the dict's storage order serves.
std::optional<std::vector<Ref>> children(PyObject* container);
// The same appended to `out`: false, with nothing appended, where `children` gives none.
bool append_children(PyObject* container, std::vector<Ref>& out);

// The poll of the evaluation that watches the thread, made every 1024 children by the long reads and
// releases of Python data as the core makes it between nodes (signals, other threads' turns); false when the
// evaluation must stop. The children are held by then: code run meanwhile cannot pull them away.
bool polled();
inline bool go_on(std::size_t i) {
  return (i & 1023) != 1023 || polled();
}

// The poll of a long release of references or values (every 1024 references, and the hook of value::Turns).
// A release cannot stop half-way: what stops the evaluation meanwhile stays with the watch, for the
// evaluation's next poll or for the road. None while an exception is being raised: a turn runs Python code.
void releasing_poll() noexcept;
inline void go_on_releasing(std::size_t i) noexcept {
  if ((i & 1023) == 1023) releasing_poll();
}

// Drops the references of `refs` from position `start` on, the last first, each after it left the vector
// (releasing one can run code that reads another container, which appends to `refs`), with the polls of a
// long release.
inline void release_from(std::vector<Ref>& refs, std::size_t start) noexcept {
  for (std::size_t i = 0; refs.size() > start; ++i) {
    {
      Ref last = std::move(refs.back());
      refs.pop_back();
    }
    go_on_releasing(i);
  }
}

// Drops the references held by `refs` (or by its entries) from position `start` on, 1024 at a time from the
// back, with the polls of a long release; for vectors that no code run by the release can reach.
template <class V>
void release_in_parts(V& refs, std::size_t start) noexcept {
  while (refs.size() - start > 1024) {
    refs.erase(refs.end() - 1024, refs.end());
    releasing_poll();
  }
  refs.erase(refs.begin() + static_cast<std::ptrdiff_t>(start), refs.end());
}

// Whether a dict (or subclass) has an iteration of its own, which may give its keys in another order, or
// one key twice.
bool own_iteration(PyObject* dict) noexcept;

// Whether the exception being raised is not an error (KeyboardInterrupt, SystemExit): it must leave as
// itself.
bool stopping() noexcept;

// Converts a Python object into a JSON value as a whole. On failure raises TypeError or ValueError
// "{context} cannot be converted to JSON: {reason}" and returns none.
std::optional<Json> to_json(PyObject* object, std::string_view context);

// Converts a Python object as a whole into a value, by the same walk as `to_json`: the value of what
// `to_json` would give, with its failures, messages and order of checks. `digest` is fed the compact JSON
// text of that JSON value on the way: keys in insertion order, integers without a fraction, doubles in their
// shortest round-trip digits (plain with at least one fractional digit while the decimal exponent lies
// between -5 and 16, else in exponent form such as 1e21 or 1.5e-7). The string values of exact strs hold
// their str (see source::string_value): the value must go while attached.
std::optional<zarnu_core::value::Value> to_value(PyObject* object, std::string_view context,
                                                 zarnu_core::audit::Fnv1a& digest);

// Converts a JSON value into new Python objects; a null Ref with the exception set on failure. With a
// poll, asked at every item and member: a null Ref without an exception when it stops.
Ref to_py(const Json& json, zarnu_core::eval::Poll* poll = nullptr);

}  // namespace zarnu_py::convert
