// Python objects as data and back: classification, text, whole conversions. The walks keep their own
// stack of containers instead of recursing, so they never move onto a grown stack segment and every Python
// call they make (a float conversion, a str of an exception) runs on the thread's own stack.
#include "convert.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "audit/tree.hpp"
#include "lazy.hpp"
#include "member_index.hpp"
#include "panic.hpp"
#include "utf.hpp"

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

// An int that does not fit 64 bits, or an int subclass: through the float conversion.
Scalar big_integer(PyObject* object) {
  const double x = PyFloat_AsDouble(object);
  if (x == -1.0 && PyErr_Occurred()) return Failure{take_exception_text()};
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
      if (value == -1 && PyErr_Occurred()) return Failure{take_exception_text()};
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
    PyErr_Clear();
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
  if (PyDict_Check(container) && Py_TYPE(container)->tp_iter != PyDict_Type.tp_iter) {
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
  bool raised = false;  // a signal handler or a dict's iteration raised what is not an error, left set
};

// How many values a conversion makes between two looks for pending signals (Ctrl-C).
constexpr std::size_t kSignalLook = 4096;

// One container being converted: its children taken when it was entered, and the JSON built so far.
struct Open {
  Ref container;
  bool dict = false;
  std::vector<Ref> children;  // items, or keys and values alternately
  std::size_t next = 0;       // the next child (a pair counts as two)
  Json out;
  std::string key;             // the key of the dict child being converted
  bool check_repeats = false;  // a key text seen so far might repeat another
};

Json json_scalar(Scalar& s) {
  switch (s.index()) {
    case 0:
      return Json(nullptr);
    case 1:
      return Json(std::get<bool>(s));
    case 2: {
      const std::int64_t n = std::get<std::int64_t>(s);
      return n >= 0 ? Json(static_cast<std::uint64_t>(n)) : Json(n);
    }
    case 3:
      return Json(std::get<double>(s));
    default:
      return Json(std::move(std::get<Text>(s)).take());
  }
}

class ToJson {
 public:
  std::expected<Json, Invalid> run(PyObject* root) {
    if (auto failure = visit(root)) return std::unexpected(std::move(*failure));
    while (!open_.empty()) {
      Open& top = open_.back();
      if (top.next == top.children.size()) {
        Json done = std::move(top.out);
        open_.pop_back();
        place(std::move(done));
        continue;
      }
      PyObject* child = top.children[top.next].get();
      if (top.dict) {
        auto text = key(child);
        if (!text) return std::unexpected(Invalid{false, std::move(text).error()});
        top.check_repeats = top.check_repeats || text->made() || !PyUnicode_CheckExact(child);
        top.key = std::move(*text).take();
        child = top.children[top.next + 1].get();
        top.next += 2;
      } else {
        top.next += 1;
      }
      if (auto failure = visit(child)) return std::unexpected(std::move(*failure));
      if (++visited_ % kSignalLook == 0 && PyErr_CheckSignals() < 0)
        return std::unexpected(Invalid{false, {}, true});
    }
    return std::move(result_);
  }

 private:
  // Converts a scalar in place, or enters a container.
  std::optional<Invalid> visit(PyObject* object) {
    Scalar s = scalar(object);
    if (auto* failure = std::get_if<Failure>(&s)) return Invalid{false, std::move(failure->reason)};
    if (!std::holds_alternative<Container>(s)) {
      place(json_scalar(s));
      return std::nullopt;
    }
    for (const Open& ancestor : open_)
      if (ancestor.container.get() == object) return Invalid{true, "Circular reference detected"};
    if (open_.size() > 999) return Invalid{true, "it is nested more than 1000 levels deep"};
    Open entered;
    entered.container = Ref::borrow(object);
    entered.dict = PyDict_Check(object);
    auto taken = children(object);
    if (!taken) return Invalid{false, {}, true};
    entered.children = std::move(*taken);
    if (entered.dict) {
      entered.out = Json::object();
      auto& members = entered.out.get_ref<Json::object_t&>();
      members.reserve(entered.children.size() / 2);
      inserter_.started(members);
    } else {
      entered.out = Json::array();
      entered.out.get_ref<Json::array_t&>().reserve(entered.children.size());
    }
    open_.push_back(std::move(entered));
    return std::nullopt;
  }

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
  std::size_t visited_ = 0;
};

// Raises the failure of a whole conversion (unless a signal handler already raised one).
void raise_invalid(const Invalid& invalid, std::string_view context) {
  if (invalid.raised) return;
  const std::string message = std::string(context) + " cannot be converted to JSON: " + invalid.reason;
  PyErr_SetString(invalid.value ? PyExc_ValueError : PyExc_TypeError, message.c_str());
}

}  // namespace

std::optional<Json> to_json(PyObject* object, std::string_view context) {
  auto converted = ToJson().run(object);
  if (converted) return std::move(*converted);
  raise_invalid(converted.error(), context);
  return std::nullopt;
}

namespace {

using zarnu_core::value::Value;

// The text of a double in the digest, written into `out` (room for 32 characters); returns its length.
std::size_t float_text(double x, char* out) {
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
  char* p = out;
  if (text.front() == '-') {
    *p++ = '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  char digits[24];
  int length = 0;
  for (char c : text.substr(0, e))
    if (c != '.') digits[length++] = c;
  int exponent = 0;
  std::string_view power = text.substr(e + 1);
  if (power.front() == '+') power.remove_prefix(1);
  std::from_chars(power.data(), power.data() + power.size(), exponent);
  const auto put = [&](const char* from, int count) {
    std::memcpy(p, from, static_cast<std::size_t>(count));
    p += count;
  };
  const auto zeros = [&](int count) {
    std::memset(p, '0', static_cast<std::size_t>(count));
    p += count;
  };
  // The value is 0.digits times 10^point.
  const int point = exponent + 1;
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

// One container being converted: its children taken when it was entered, and the value built so far.
struct OpenValue {
  PyObject* container = nullptr;  // held by its parent's children, or by the caller
  bool dict = false;
  std::vector<Ref> children;  // items, or keys and values alternately
  std::size_t next = 0;       // the next child (a pair counts as two)
  zarnu_core::value::Items items;
  zarnu_core::value::Fields fields;
  zarnu_core::value::Str key;  // the key of the dict child being converted
  std::unique_ptr<Held> held;
};

// The walk of `to_json` building values instead of JSON, writing the JSON text as it goes.
class ToValue {
 public:
  explicit ToValue(zarnu_core::audit::Fnv1a& digest) : digest_(digest) {}

  std::expected<Value, Invalid> run(PyObject* root) {
    if (auto failure = visit(root)) return std::unexpected(std::move(*failure));
    while (!open_.empty()) {
      OpenValue& top = open_.back();
      if (top.next == top.children.size()) {
        close();
        continue;
      }
      if (top.next > 0 && !top.held) text_.push_back(',');
      auto next = top.dict ? member(top) : top.children[top.next++].get();
      if (!next) return std::unexpected(std::move(next).error());
      auto failure = visit(*next);
      if (!failure && ++visited_ % kSignalLook == 0 && PyErr_CheckSignals() < 0)
        failure = Invalid{false, {}, true};
      if (failure) return std::unexpected(std::move(*failure));
      if (holding_ == 0 && text_.size() >= kChunk) {
        digest_.update(text_);
        text_.clear();
      }
    }
    digest_.update(text_);
    return std::move(result_);
  }

 private:
  // How much text is gathered before it is digested.
  static constexpr std::size_t kChunk = 4096;

  // Converts a scalar in place, or enters a container.
  std::optional<Invalid> visit(PyObject* object) {
    Scalar s = scalar(object);
    switch (s.index()) {
      case 0:
        text_.append("null");
        place(Value::null());
        return std::nullopt;
      case 1: {
        const bool b = std::get<bool>(s);
        text_.append(b ? "true" : "false");
        place(Value::boolean(b));
        return std::nullopt;
      }
      case 2: {
        const std::int64_t n = std::get<std::int64_t>(s);
        char buffer[24];
        text_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, n).ptr);
        place(Value::number(static_cast<double>(n)));
        return std::nullopt;
      }
      case 3: {
        const double x = std::get<double>(s);
        char buffer[32];
        text_.append(buffer, float_text(x, buffer));
        place(Value::number(x));
        return std::nullopt;
      }
      case 4: {
        const std::string_view text = std::get<Text>(s).view();
        zarnu_core::value::write_json_string(text_, text);
        place(Value::string(text));
        return std::nullopt;
      }
      case 6:
        return Invalid{false, std::move(std::get<Failure>(s).reason)};
      default:
        break;
    }
    for (const OpenValue& ancestor : open_)
      if (ancestor.container == object) return Invalid{true, "Circular reference detected"};
    if (open_.size() > 999) return Invalid{true, "it is nested more than 1000 levels deep"};
    auto taken = children(object);
    if (!taken) return Invalid{false, {}, true};
    OpenValue& entered = open_.emplace_back();
    entered.container = object;
    entered.dict = PyDict_Check(object);
    entered.children = std::move(*taken);
    if (!entered.dict) {
      entered.items.reserve(entered.children.size());
      text_.push_back('[');
      return std::nullopt;
    }
    entered.fields = zarnu_core::value::make_fields(entered.children.size() / 2);
    if (repeatable(entered.children)) {
      entered.held = std::make_unique<Held>();
      entered.held->start = text_.size();
      ++holding_;
    } else {
      text_.push_back('{');
    }
    return std::nullopt;
  }

  // Whether two keys of a dict may have the same text: only str subclasses (their own equality) and
  // text beyond Latin-1 (lone surrogates become U+FFFD) can.
  static bool repeatable(const std::vector<Ref>& children) {
    for (std::size_t i = 0; i < children.size(); i += 2) {
      PyObject* key = children[i].get();
      if (!PyUnicode_CheckExact(key) || PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return true;
    }
    return false;
  }

  // Writes the key of a dict's next member and returns the member's value. A held dict notes the key's
  // text: a new member, or the repeated one, whose value the next value replaces.
  std::expected<PyObject*, Invalid> member(OpenValue& top) {
    PyObject* key_object = top.children[top.next].get();
    top.next += 2;
    if (!top.held && PyUnicode_CheckExact(key_object)) {
      known_key(key_object, top.key);
      return top.children[top.next - 1].get();
    }
    auto text = key(key_object);
    if (!text) return std::unexpected(Invalid{false, std::move(text).error()});
    const std::size_t begin = text_.size();
    zarnu_core::value::write_json_string(text_, text->view());
    text_.push_back(':');
    if (Held* held = top.held.get()) {
      auto [found, inserted] = held->index.try_emplace(std::string(text->view()), held->members.size());
      if (inserted) held->members.push_back({begin, text_.size(), 0, 0});
      held->current = found->second;
      held->value_begin = text_.size();
    }
    top.key = keys_.get(text->view());
    return top.children[top.next - 1].get();
  }

  // Writes a str key and gives its interned text. Records mostly share their key objects: the text of
  // each of the recent ones is kept with it (the object held, so that its address is not reused).
  void known_key(PyObject* object, zarnu_core::value::Str& out) {
    KnownKey& slot = known_[(reinterpret_cast<std::uintptr_t>(object) >> 4) % kKnown];
    if (slot.object.get() != object) {
      const Text text = convert::text(object);
      slot.text.clear();
      zarnu_core::value::write_json_string(slot.text, text.view());
      slot.text.push_back(':');
      slot.key = keys_.get(text.view());
      slot.object = Ref::borrow(object);
    }
    text_.append(slot.text);
    out = slot.key;
  }

  void close() {
    OpenValue& top = open_.back();
    Value done;
    if (!top.dict) {
      text_.push_back(']');
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
        text_.append(joined);
        --holding_;
      } else {
        text_.push_back('}');
      }
    }
    open_.pop_back();
    place(std::move(done));
  }

  // Puts a finished value into the container being converted, or makes it the result.
  void place(Value value) {
    if (open_.empty()) {
      result_ = std::move(value);
      return;
    }
    OpenValue& top = open_.back();
    if (!top.dict) {
      top.items.push_back(std::move(value));
      return;
    }
    if (top.held) {
      Held::Member& m = top.held->members[top.held->current];
      m.value_begin = top.held->value_begin;
      m.value_end = text_.size();
    }
    top.fields.insert_or_assign(std::move(top.key), std::move(value));
  }

  struct KnownKey {
    Ref object;
    zarnu_core::value::Str key;
    std::string text;  // the key's JSON text and the colon
  };
  static constexpr std::size_t kKnown = 64;

  zarnu_core::audit::Fnv1a& digest_;
  zarnu_core::value::Keys keys_;
  std::array<KnownKey, kKnown> known_;
  std::vector<OpenValue> open_;
  Value result_;
  std::string text_;
  std::size_t holding_ = 0;  // held dicts open: their text stays in the buffer
  std::size_t visited_ = 0;
};

}  // namespace

std::optional<Value> to_value(PyObject* object, std::string_view context, zarnu_core::audit::Fnv1a& digest) {
  auto converted = ToValue(digest).run(object);
  if (converted) return std::move(*converted);
  raise_invalid(converted.error(), context);
  return std::nullopt;
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
