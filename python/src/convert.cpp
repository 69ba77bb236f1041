// Python objects as data and back: classification, text, whole conversions. The whole conversions to JSON
// and to values share one walk, which keeps its own stack of containers instead of recursing, so every
// Python call made on the way (a float conversion, a str of an exception) runs on the thread's own stack.
#include "convert.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "audit/tree.hpp"
#include "source.hpp"
#include "support/panic.hpp"
#include "support/utf.hpp"
#include "value/lazy.hpp"
#include "value/member_index.hpp"
#include "watch.hpp"

namespace zarnu_py::convert {

// An object the interpreter made, which it fails to do only when memory runs out: that becomes
// std::bad_alloc (MemoryError at the boundary), anything else is a broken invariant.
Ref made(PyObject* object) {
  if (object) return Ref::steal(object);
  if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  zarnu_core::panic("making a Python object failed: " + take_exception_text());
}

namespace {

// The text of a str holding lone surrogates: its UTF-16 units decoded with every unpaired surrogate
// replaced by U+FFFD.
std::string surrogate_text(PyObject* string) {
  Ref bytes = Ref::steal(PyObject_CallMethod(string, "encode", "ss", "utf-16-le", "surrogatepass"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Clear();
    return {};
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(size));
  const auto unit = [&](Py_ssize_t i) -> char32_t {
    return static_cast<unsigned char>(data[2 * i]) | (static_cast<unsigned char>(data[2 * i + 1]) << 8);
  };
  const Py_ssize_t units = size / 2;
  for (Py_ssize_t i = 0; i < units; ++i) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    zarnu_core::utf::append(out, c);
  }
  return out;
}

Scalar from_double(double x) {
  if (std::isfinite(x)) return x;
  return nullptr;
}

// The failure of a conversion that raised: the exception's text, unless it is not an error
// (KeyboardInterrupt, SystemExit), which stays set to leave as itself.
Failure conversion_failure() {
  if (stopping()) return Failure{{}, true};
  return Failure{take_exception_text()};
}

// An int that does not fit 64 bits, or an int subclass: through the float conversion.
Scalar big_integer(PyObject* object) {
  const double x = PyFloat_AsDouble(object);
  if (x == -1.0 && PyErr_Occurred()) return conversion_failure();
  return from_double(x);
}

}  // namespace

Text text(PyObject* string) {
  // ASCII text is its own UTF-8: the most common case needs no call.
  if (PyUnicode_IS_COMPACT_ASCII(string)) {
    return Text::borrowed(std::string_view(static_cast<const char*>(PyUnicode_DATA(string)),
                                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(string))));
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(string, &size)) {
    return Text::borrowed(std::string_view(utf8, static_cast<std::size_t>(size)));
  }
  PyErr_Clear();
  return Text::owned(surrogate_text(string));
}

Scalar scalar(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyUnicode_Type) return text(object);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (!overflow) return static_cast<std::int64_t>(value);
    return big_integer(object);
  }
  if (type == &PyFloat_Type) return from_double(PyFloat_AS_DOUBLE(object));
  if (type == &PyDict_Type || type == &PyList_Type) return Container{};
  if (object == Py_None) return nullptr;
  if (type == &PyBool_Type) return object == Py_True;
  if (PyLong_Check(object)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (!overflow) {
      if (value == -1 && PyErr_Occurred()) return conversion_failure();
      return static_cast<std::int64_t>(value);
    }
    return big_integer(object);
  }
  if (PyFloat_Check(object)) return from_double(PyFloat_AS_DOUBLE(object));
  if (PyUnicode_Check(object)) return text(object);
  if (PyDict_Check(object) || PyList_Check(object) || PyTuple_Check(object)) return Container{};
  return Failure{"Object of type " + type_name(object) + " is not JSON serializable"};
}

std::expected<Text, std::string> key(PyObject* object) {
  if (PyUnicode_Check(object)) return text(object);
  return std::unexpected("keys must be str, not " + type_name(object));
}

std::string type_name(PyObject* object) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "?";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<double> number(PyObject* object) {
  if (PyBool_Check(object) || !(PyLong_Check(object) || PyFloat_Check(object))) return std::nullopt;
  const double x = PyFloat_AsDouble(object);
  if (x == -1.0 && PyErr_Occurred()) {
    if (!stopping()) PyErr_Clear();
    return std::nullopt;
  }
  return x;
}

std::string exception_text(PyObject* exception) {
  std::string out;
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(exception)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8) {
    out.assign(utf8, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
    out = "?";
  }
  out += ": ";
  Ref message = Ref::steal(PyObject_Str(exception));
  if (message && PyUnicode_Check(message.get())) {
    out += text(message.get()).view();
  } else {
    PyErr_Clear();
    out += "<exception str() failed>";
  }
  return out;
}

std::string take_exception_text() {
  Ref exception = Ref::steal(compat::fetch_exception());
  if (!exception) return "unknown error";
  return exception_text(exception.get());
}

Ref string(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (PyObject* out = PyUnicode_DecodeUTF8(text.data(), size, "surrogatepass")) return Ref::steal(out);
  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    // Not even surrogates explain the bytes: keep what can be read.
    PyErr_Clear();
    return made(PyUnicode_DecodeUTF8(text.data(), size, "replace"));
  }
  return made(nullptr);
}

Ref number(double x) {
  if (std::fabs(x) < 1e21 && x == std::trunc(x)) {
    // Below 9.2e18 the double fits a long long; above, PyLong_FromDouble is exact for integral doubles.
    return made(std::fabs(x) < 9.2e18 ? PyLong_FromLongLong(static_cast<long long>(x))
                                      : PyLong_FromDouble(x));
  }
  return made(PyFloat_FromDouble(x));
}

namespace {

// The pairs of a dict subclass with its own iteration (an OrderedDict keeps the order of its moves, which
// the storage does not), each key with its stored value. False, with nothing taken, when the iteration
// fails: the storage order serves then, unless what was raised is not an error (KeyboardInterrupt,
// SystemExit), which is left set for the caller to pass on.
bool iterated_pairs(PyObject* dict, std::vector<Ref>& out) {
  out.reserve(2 * static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Ref keys = Ref::steal(PyObject_GetIter(dict));
  while (keys) {
    Ref key = Ref::steal(PyIter_Next(keys.get()));
    if (!key) break;
    PyObject* value = nullptr;
    const int found = compat::dict_get_ref(dict, key.get(), &value);
    if (found < 0) break;
    if (found == 0) continue;
    out.push_back(std::move(key));
    out.push_back(Ref::steal(value));
  }
  if (keys && !PyErr_Occurred()) return true;
  out.clear();
  if (!stopping()) PyErr_Clear();
  return false;
}

}  // namespace

bool own_iteration(PyObject* dict) noexcept {
  return Py_TYPE(dict)->tp_iter != PyDict_Type.tp_iter;
}

bool stopping() noexcept {
  return PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception);
}

namespace {

// Room for `more` references at the end of `out`, growing it geometrically: it may be appended to again
// and again.
void make_room(std::vector<Ref>& out, std::size_t more) {
  if (out.capacity() - out.size() < more) out.reserve(std::max(out.size() + more, 2 * out.capacity()));
}

}  // namespace

bool append_children(PyObject* container, std::vector<Ref>& out) {
  if (PyTuple_Check(container)) {
    // Tuples do not change.
    const Py_ssize_t size = PyTuple_GET_SIZE(container);
    make_room(out, static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) out.push_back(Ref::borrow(PyTuple_GET_ITEM(container, i)));
    return true;
  }
  pyutil::CriticalSection section(container);
  if (PyDict_Check(container) && own_iteration(container)) {
    std::vector<Ref> pairs;
    if (iterated_pairs(container, pairs)) {
      out.insert(out.end(), std::make_move_iterator(pairs.begin()), std::make_move_iterator(pairs.end()));
      return true;
    }
    if (stopping()) return false;
  }
  // Only references are taken here: no Python code runs, so no other thread changes the container
  // half-way through and what is taken is the container at one moment.
  if (PyDict_Check(container)) {
    make_room(out, 2 * static_cast<std::size_t>(PyDict_GET_SIZE(container)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(container, &position, &key, &value)) {
      out.push_back(Ref::borrow(key));
      out.push_back(Ref::borrow(value));
    }
  } else {
    const Py_ssize_t size = PyList_GET_SIZE(container);
    make_room(out, static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) out.push_back(Ref::borrow(PyList_GET_ITEM(container, i)));
  }
  return true;
}

bool polled() {
  watch::Watch* watch = watch::current();
  return !watch || !watch->poll();
}

void releasing_poll() noexcept {
  watch::Watch* watch = watch::current();
  // A value made by a detached evaluation (run from a host function) goes while detached: the watch knows
  // how to poll then, but the exception cannot be asked for.
  if (!watch || (PyGILState_Check() && PyErr_Occurred())) return;
  try {
    (void)watch->poll();
  } catch (...) {
    // Out of memory while polling: the release goes on all the same.
  }
}

std::optional<std::vector<Ref>> children(PyObject* container) {
  std::vector<Ref> out;
  if (!append_children(container, out)) return std::nullopt;
  return out;
}

namespace {

// The failure of a whole conversion: its reason, and whether it is about a value (ValueError) rather than
// a type (TypeError).
struct Invalid {
  bool value = false;
  std::string reason;
  // A signal handler, a dict's iteration or a float conversion raised what is not an error, left set.
  bool raised = false;
};

// How many values a conversion makes between two looks for pending signals (Ctrl-C) when no evaluation
// watches the thread.
constexpr std::size_t kSignalLook = 4096;

// Whether a conversion may go on at its `i`-th value, asked every 1024 values: the poll of the evaluation
// that watches the thread (its turns included), else a look for pending signals every kSignalLook. False
// with the exception that stops it set.
bool conversion_goes_on(std::size_t i) {
  if (watch::Watch* watch = watch::current()) return !watch->poll() || !watch->raise();
  return i % kSignalLook != 0 || PyErr_CheckSignals() == 0;
}

// The walk of a whole conversion, the same for every result it builds: the order of the checks, their
// failures, the snapshots of the containers and the looks for signals are here; what is made of each
// scalar, key and container is the sink's. A sink has:
//   void scalar(PyObject* object, Scalar& s)        a scalar (no container mark, no failure) and its object
//   std::optional<Invalid> key(PyObject* key)       the key of the next member of the innermost dict
//   void enter(PyObject* container, bool dict, std::span<const Ref> children)
//                                                   a container, its children taken
//   void close()                                    the innermost container is complete
// Containers are walked with a stack of our own rather than by recursion, so every Python call made on the
// way runs on the thread's own stack.
template <class Sink>
class Walk {
 public:
  explicit Walk(Sink& sink) : sink_(sink) {}

  std::optional<Invalid> run(PyObject* root) {
    if (auto failure = visit(root)) return failure;
    while (!open_.empty()) {
      Frame& top = open_.back();
      if (top.next == children_.size()) {
        const std::size_t begin = top.begin;
        open_.pop_back();
        // Releasing the children may run finalizers: nothing borrowed from them is left.
        release_in_parts(children_, begin);
        sink_.close();
        continue;
      }
      PyObject* child = children_[top.next].get();
      if (top.dict) {
        if (auto failure = sink_.key(child)) return failure;
        child = children_[top.next + 1].get();
        top.next += 2;
      } else {
        top.next += 1;
      }
      if (auto failure = visit(child)) return failure;
      if (++visited_ % 1024 == 0 && !conversion_goes_on(visited_)) return Invalid{false, {}, true};
    }
    return std::nullopt;
  }

 private:
  // A container being converted; its children are children_[begin, end of children_ or where the next
  // container's begin).
  struct Frame {
    PyObject* container;  // held by its parent's children, or by the caller
    std::size_t begin;
    std::size_t next;  // the next child (a pair counts as two)
    bool dict;
  };

  // Converts a scalar, or enters a container: its children are taken, each with a reference of its own,
  // before anything is made of any of them.
  std::optional<Invalid> visit(PyObject* object) {
    Scalar s = scalar(object);
    if (auto* failure = std::get_if<Failure>(&s))
      return Invalid{false, std::move(failure->reason), failure->raised};
    if (!std::holds_alternative<Container>(s)) {
      sink_.scalar(object, s);
      return std::nullopt;
    }
    for (const Frame& ancestor : open_)
      if (ancestor.container == object) return Invalid{true, "Circular reference detected"};
    if (open_.size() > 999) return Invalid{true, "it is nested more than 1000 levels deep"};
    const std::size_t begin = children_.size();
    if (!append_children(object, children_)) return Invalid{false, {}, true};
    const bool dict = PyDict_Check(object);
    open_.push_back({object, begin, begin, dict});
    sink_.enter(object, dict, std::span<const Ref>(children_).subspan(begin));
    return std::nullopt;
  }

  Sink& sink_;
  std::vector<Frame> open_;
  // The children of every container open, the innermost last.
  std::vector<Ref> children_;
  std::size_t visited_ = 0;
};

// Builds the JSON value of a whole conversion.
class JsonSink {
 public:
  void scalar(PyObject*, Scalar& s) {
    switch (s.index()) {
      case 0:
        place(Json(nullptr));
        return;
      case 1:
        place(Json(std::get<bool>(s)));
        return;
      case 2: {
        const std::int64_t n = std::get<std::int64_t>(s);
        place(n >= 0 ? Json(static_cast<std::uint64_t>(n)) : Json(n));
        return;
      }
      case 3:
        place(Json(std::get<double>(s)));
        return;
      default:
        place(Json(std::move(std::get<Text>(s)).take()));
    }
  }

  std::optional<Invalid> key(PyObject* object) {
    auto text = convert::key(object);
    if (!text) return Invalid{false, std::move(text).error()};
    Open& top = open_.back();
    top.check_repeats = top.check_repeats || text->made() || !PyUnicode_CheckExact(object);
    top.key = std::move(*text).take();
    return std::nullopt;
  }

  void enter(PyObject* container, bool dict, std::span<const Ref> children) {
    Open& entered = open_.emplace_back();
    entered.dict = dict;
    if (dict) {
      entered.check_repeats = own_iteration(container);
      entered.out = Json::object();
      auto& members = entered.out.get_ref<Json::object_t&>();
      members.reserve(children.size() / 2);
      inserter_.started(members);
    } else {
      entered.out = Json::array();
      entered.out.get_ref<Json::array_t&>().reserve(children.size());
    }
  }

  void close() {
    Json done = std::move(open_.back().out);
    open_.pop_back();
    place(std::move(done));
  }

  Json take() { return std::move(result_); }

 private:
  struct Open {
    bool dict = false;
    Json out;
    std::string key;             // the key of the dict child being converted
    bool check_repeats = false;  // a key text seen so far might repeat another
  };

  // Puts a finished value into the container being converted, or makes it the result.
  void place(Json value) {
    if (open_.empty()) {
      result_ = std::move(value);
      return;
    }
    Open& top = open_.back();
    if (!top.dict) {
      top.out.get_ref<Json::array_t&>().push_back(std::move(value));
      return;
    }
    // Distinct keys of a dict have distinct texts, except where lone surrogates were replaced or a str
    // subclass defines its own equality: only then can a key repeat, keeping its first place.
    if (top.check_repeats) {
      inserter_.insert(top.out.get_ref<Json::object_t&>(), top.key, std::move(value));
      return;
    }
    top.out.get_ref<Json::object_t&>().emplace_back(std::move(top.key), std::move(value));
  }

  zarnu_core::json::MemberInserter inserter_;
  std::vector<Open> open_;
  Json result_;
};

// Raises the failure of a whole conversion (unless a signal handler already raised one).
void raise_invalid(const Invalid& invalid, std::string_view context) {
  if (invalid.raised) return;
  const std::string message = std::string(context) + " cannot be converted to JSON: " + invalid.reason;
  PyErr_SetString(invalid.value ? PyExc_ValueError : PyExc_TypeError, message.c_str());
}

}  // namespace

std::optional<Json> to_json(PyObject* object, std::string_view context) {
  JsonSink sink;
  if (auto failure = Walk(sink).run(object)) {
    raise_invalid(*failure, context);
    return std::nullopt;
  }
  return sink.take();
}

namespace {

using zarnu_core::value::Value;

// The shortest digits that read back as a finite, non-negative double, in `digits` (room for 24), and where
// the decimal point goes: the value is 0.digits times 10^point. Returns the number of digits.
int shortest_digits(double x, char* digits, int& point) {
  // Most doubles in data are short decimals (prices, measures): when x times a small power of ten rounds
  // to an integer below 10^15 that divides back to x, that integer's digits are the shortest (two
  // decimals of at most 15 digits never read as the same double), found without the general search.
  static constexpr double kPowers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  for (int k = 0; k < 7; ++k) {
    const double scaled = x * kPowers[k];
    if (!(scaled < 1e15)) break;
    const auto n = static_cast<std::uint64_t>(scaled + 0.5);
    if (static_cast<double>(n) / kPowers[k] != x) continue;
    if (n == 0) {
      digits[0] = '0';
      point = 1;
      return 1;
    }
    int length = static_cast<int>(std::to_chars(digits, digits + 24, n).ptr - digits);
    point = length - k;
    while (digits[length - 1] == '0') --length;
    return length;
  }
  // The general search, as "d.dddde+XX" (or "de+XX").
  char buffer[32];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific).ptr;
  const char* e = static_cast<const char*>(std::memchr(buffer, 'e', static_cast<std::size_t>(end - buffer)));
  digits[0] = buffer[0];
  int length = 1;
  if (buffer[1] == '.') {
    std::memcpy(digits + 1, buffer + 2, static_cast<std::size_t>(e - buffer - 2));
    length += static_cast<int>(e - buffer - 2);
  }
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
  point = exponent + 1;
  return length;
}

// The text of a double in the digest, written into `out` (room for 32 characters); returns its length.
std::size_t float_text(double x, char* out) {
  char* p = out;
  if (std::signbit(x)) *p++ = '-';
  char digits[24];
  int point = 0;
  const int length = shortest_digits(std::fabs(x), digits, point);
  const auto put = [&](const char* from, int count) {
    std::memcpy(p, from, static_cast<std::size_t>(count));
    p += count;
  };
  const auto zeros = [&](int count) {
    std::memset(p, '0', static_cast<std::size_t>(count));
    p += count;
  };
  if (point >= length && point <= 16) {
    put(digits, length);
    zeros(point - length);
    put(".0", 2);
  } else if (point > 0 && point <= 16) {
    put(digits, point);
    *p++ = '.';
    put(digits + point, length - point);
  } else if (point > -5 && point <= 0) {
    put("0.", 2);
    zeros(-point);
    put(digits, length);
  } else {
    *p++ = digits[0];
    if (length > 1) {
      *p++ = '.';
      put(digits + 1, length - 1);
    }
    *p++ = 'e';
    p = std::to_chars(p, out + 32, point - 1).ptr;
  }
  return static_cast<std::size_t>(p - out);
}

// Whether a string's JSON text has an escape: a control character, a quote or a backslash. Eight bytes
// at a time: a byte below 0x20, or one equal to '"' or '\\', leaves its high bit in the mask.
bool needs_escape(std::string_view text) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const auto zero_byte = [&](std::uint64_t w) { return (w - kOnes) & ~w & kHighs; };
  const auto escape_in = [&](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return (((w - 0x20 * kOnes) & ~w & kHighs) | zero_byte(w ^ ('"' * kOnes)) |
            zero_byte(w ^ ('\\' * kOnes))) != 0;
  };
  const std::size_t n = text.size();
  if (n < 8) {
    for (char c : text)
      if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return true;
    return false;
  }
  // The last eight bytes overlap the blocks before them rather than leaving bytes to look at one by one.
  for (std::size_t i = 0; i + 8 < n; i += 8)
    if (escape_in(text.data() + i)) return true;
  return escape_in(text.data() + n - 8);
}

// The text of a dict whose keys may repeat (lone surrogates replaced, str subclasses): its members'
// texts are held until the dict is complete, since a repeated key keeps its first place and takes the
// last value.
struct Held {
  struct Member {
    std::size_t key_begin;  // the key and its colon
    std::size_t key_end;
    std::size_t value_begin;
    std::size_t value_end;
  };
  std::size_t start = 0;  // where the dict's text begins in the buffer
  std::vector<Member> members;
  boost::unordered_flat_map<std::string, std::size_t> index;
  std::size_t current = 0;  // the member whose value is being converted
  std::size_t value_begin = 0;
};

// Builds the value of a whole conversion and feeds the digest its compact JSON text on the way: straight
// from each piece, except inside a dict whose keys may repeat, whose text is gathered until it is complete.
class ValueSink {
 public:
  explicit ValueSink(zarnu_core::audit::Fnv1a& digest) : digest_(digest) {}

  void scalar(PyObject* object, Scalar& s) {
    begin_item();
    switch (s.index()) {
      case 0:
        put("null");
        place(Value::null());
        return;
      case 1: {
        const bool b = std::get<bool>(s);
        put(b ? "true" : "false");
        place(Value::boolean(b));
        return;
      }
      case 2: {
        const std::int64_t n = std::get<std::int64_t>(s);
        char buffer[24];
        put(std::string_view(buffer, std::to_chars(buffer, buffer + sizeof buffer, n).ptr));
        place(Value::number(static_cast<double>(n)));
        return;
      }
      case 3: {
        const double x = std::get<double>(s);
        char buffer[32];
        put(std::string_view(buffer, float_text(x, buffer)));
        place(Value::number(x));
        return;
      }
      default: {
        const Text& text = std::get<Text>(s);
        put_string(text.view());
        place(source::string_value(object, text));
      }
    }
  }

  // Writes the key of a dict's next member. A held dict notes the key's text: a new member, or the
  // repeated one, whose value the next value replaces.
  std::optional<Invalid> key(PyObject* object) {
    Open& top = open_.back();
    if (!top.held) {
      if (!top.fields.empty()) put(',');
      if (PyUnicode_CheckExact(object)) {
        known_key(object, top.key);
        return std::nullopt;
      }
    }
    auto text = convert::key(object);
    if (!text) return Invalid{false, std::move(text).error()};
    const std::size_t begin = text_.size();
    put_string(text->view());
    put(':');
    if (Held* held = top.held.get()) {
      auto [found, inserted] = held->index.try_emplace(std::string(text->view()), held->members.size());
      if (inserted) held->members.push_back({begin, text_.size(), 0, 0});
      held->current = found->second;
      held->value_begin = text_.size();
    }
    top.key = keys_.get(text->view());
    return std::nullopt;
  }

  void enter(PyObject* container, bool dict, std::span<const Ref> children) {
    begin_item();
    Open& entered = open_.emplace_back();
    entered.dict = dict;
    if (!dict) {
      entered.items.reserve(children.size());
      put('[');
      return;
    }
    entered.fields = zarnu_core::value::make_fields(children.size() / 2);
    if (repeatable(container, children)) {
      entered.held = std::make_unique<Held>();
      entered.held->start = text_.size();
      ++holding_;
    } else {
      put('{');
    }
  }

  void close() {
    Open& top = open_.back();
    Value done;
    if (!top.dict) {
      put(']');
      done = Value::array_with(std::move(top.items), 0);
    } else {
      done = Value::adopt_object(new zarnu_core::value::Object(std::move(top.fields)));
      if (top.held) {
        std::string joined = "{";
        for (const Held::Member& m : top.held->members) {
          if (joined.size() > 1) joined.push_back(',');
          joined.append(text_, m.key_begin, m.key_end - m.key_begin);
          joined.append(text_, m.value_begin, m.value_end - m.value_begin);
        }
        joined.push_back('}');
        text_.resize(top.held->start);
        --holding_;
        put(joined);
      } else {
        put('}');
      }
    }
    open_.pop_back();
    place(std::move(done));
  }

  Value take() { return std::move(result_); }

 private:
  // One container being converted, and the value built so far.
  struct Open {
    bool dict = false;
    zarnu_core::value::Items items;
    zarnu_core::value::Fields fields;
    zarnu_core::value::Str key;  // the key of the dict child being converted
    std::unique_ptr<Held> held;
  };

  // The text of the digest: digested at once, or kept while a held dict is open.
  void put(std::string_view piece) {
    if (holding_ == 0) {
      digest_.update(piece);
    } else {
      text_.append(piece);
    }
  }
  void put(char c) {
    if (holding_ == 0) {
      digest_.byte(static_cast<unsigned char>(c));
    } else {
      text_.push_back(c);
    }
  }
  // A string's JSON text: digested at once, straight from the text unless a character needs an escape.
  void put_string(std::string_view text) {
    if (holding_ == 0 && !needs_escape(text)) {
      digest_.byte('"');
      digest_.update(text);
      digest_.byte('"');
      return;
    }
    escaped_.clear();
    zarnu_core::value::write_json_string(escaped_, text);
    put(escaped_);
  }

  // The comma before an item of an array after its first.
  void begin_item() {
    if (!open_.empty() && !open_.back().dict && !open_.back().items.empty()) put(',');
  }

  // Whether two keys of a dict may have the same text: only str subclasses (their own equality) and
  // text beyond Latin-1 (lone surrogates become U+FFFD) can, besides the keys a dict subclass's own
  // iteration gives.
  static bool repeatable(PyObject* dict, std::span<const Ref> children) {
    if (own_iteration(dict)) return true;
    for (std::size_t i = 0; i < children.size(); i += 2) {
      PyObject* key = children[i].get();
      if (!PyUnicode_CheckExact(key) || PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return true;
    }
    return false;
  }

  // Writes a str key and gives its interned text. Records mostly share their key objects: the text of
  // each of the recent ones is kept with it (the object held, so that its address is not reused), two to a
  // set, so that two keys of one record whose addresses fall into one set do not push each other out.
  void known_key(PyObject* object, zarnu_core::value::Str& out) {
    const std::size_t set =
        (reinterpret_cast<std::uintptr_t>(object) * 0x9E3779B97F4A7C15ULL) >> (64 - kSetBits);
    KnownKey* slot = &known_[2 * set];
    if (slot->object.get() != object) {
      ++slot;
      if (slot->object.get() != object) {
        slot = &known_[2 * set + victims_[set]];
        victims_[set] ^= 1;
        const Text text = convert::text(object);
        slot->text.clear();
        zarnu_core::value::write_json_string(slot->text, text.view());
        slot->text.push_back(':');
        slot->key = keys_.get(text.view());
        slot->object = Ref::borrow(object);
      }
    }
    put(slot->text);
    out = slot->key;
  }

  // Puts a finished value into the container being converted, or makes it the result.
  void place(Value value) {
    if (open_.empty()) {
      result_ = std::move(value);
      return;
    }
    Open& top = open_.back();
    if (!top.dict) {
      top.items.push_back(std::move(value));
      return;
    }
    if (!top.held) {
      top.fields.append_new(std::move(top.key), std::move(value));
      return;
    }
    Held::Member& m = top.held->members[top.held->current];
    m.value_begin = top.held->value_begin;
    m.value_end = text_.size();
    top.fields.insert_or_assign(std::move(top.key), std::move(value));
  }

  struct KnownKey {
    Ref object;
    zarnu_core::value::Str key;
    std::string text;  // the key's JSON text and the colon
  };
  static constexpr int kSetBits = 6;

  zarnu_core::audit::Fnv1a& digest_;
  zarnu_core::value::Keys keys_;
  std::array<KnownKey, 2 << kSetBits> known_;
  std::array<unsigned char, 1 << kSetBits> victims_{};  // the way of each set that a new key takes
  std::vector<Open> open_;
  Value result_;
  std::string text_;         // the text of the held dicts open
  std::string escaped_;      // a string's text, escaped
  std::size_t holding_ = 0;  // held dicts open
};

}  // namespace

std::optional<Value> to_value(PyObject* object, std::string_view context, zarnu_core::audit::Fnv1a& digest) {
  ValueSink sink(digest);
  if (auto failure = Walk(sink).run(object)) {
    raise_invalid(*failure, context);
    return std::nullopt;
  }
  return sink.take();
}

namespace {

Ref py_scalar(const Json& json) {
  switch (json.type()) {
    case Json::value_t::boolean:
      return Ref::borrow(json.get<bool>() ? Py_True : Py_False);
    case Json::value_t::number_unsigned:
      return made(PyLong_FromUnsignedLongLong(json.get<std::uint64_t>()));
    case Json::value_t::number_integer:
      return made(PyLong_FromLongLong(json.get<std::int64_t>()));
    case Json::value_t::number_float:
      return number(json.get<double>());
    case Json::value_t::string:
      return string(json.get_ref<const std::string&>());
    default:
      return Ref::borrow(Py_None);
  }
}

Ref py_container(const Json& json) {
  return made(json.is_array() ? PyList_New(0) : PyDict_New());
}

// Adds a converted child to a container being built: appended to a list, or set under its key.
bool attach(PyObject* container, const Json::const_iterator& at, Ref child) {
  if (PyList_Check(container)) return PyList_Append(container, child.get()) == 0;
  Ref key = string(at.key());
  return PyDict_SetItem(container, key.get(), child.get()) == 0;
}

}  // namespace

Ref to_py(const Json& json, zarnu_core::eval::Poll* poll) {
  if (!json.is_array() && !json.is_object()) return py_scalar(json);
  struct Building {
    const Json* json;
    Json::const_iterator at;
    Ref out;
  };
  std::vector<Building> open;
  open.push_back({&json, json.cbegin(), py_container(json)});
  while (true) {
    if (poll && poll->stop()) return Ref();
    Building& top = open.back();
    if (top.at == top.json->cend()) {
      Ref done = std::move(top.out);
      open.pop_back();
      if (open.empty()) return done;
      Building& parent = open.back();
      if (!attach(parent.out.get(), parent.at, std::move(done))) return Ref();
      ++parent.at;
      continue;
    }
    const Json& child = top.at.value();
    if (child.is_array() || child.is_object()) {
      open.push_back({&child, child.cbegin(), py_container(child)});
      continue;
    }
    if (!attach(top.out.get(), top.at, py_scalar(child))) return Ref();
    ++top.at;
  }
}

}  // namespace zarnu_py::convert
