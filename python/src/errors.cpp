// ZarnuError: made once per process, raised with the code, the places in characters of the source, the
// token and the value of a core error as attributes.
#include "errors.hpp"

#include <algorithm>
#include <string>

#include "convert.hpp"
#include "support/utf.hpp"
#include "value/json.hpp"

namespace zarnu_py::errors {

using pyutil::Ref;

namespace {

constexpr const char* kDoc =
    "A JSONata error: `code` is its JSONata code (such as `S0201` or `T2001`), and `position`, `start`, "
    "`end`, `token` and `value` say where and on what it happened, when known.";

// An int for a count, or None when there is none.
Ref optional_count(bool present, std::size_t count) {
  if (!present) return Ref::borrow(Py_None);
  return convert::made(PyLong_FromSize_t(count));
}

}  // namespace

PyObject* zarnu_error_type() {
  static constinit pyutil::ProcessObject type;
  return type.get(
      [] { return PyErr_NewExceptionWithDoc("zarnu.ZarnuError", kDoc, PyExc_Exception, nullptr); });
}

std::size_t characters_before_unit(std::string_view text, std::size_t units) noexcept {
  std::size_t counted = 0;
  std::size_t characters = 0;
  std::size_t at = 0;
  while (at < text.size() && counted < units) {
    const std::size_t length = zarnu_core::utf::sequence_length(static_cast<unsigned char>(text[at]));
    counted += length == 4 ? 2 : 1;
    at += length;
    ++characters;
  }
  return characters;
}

std::size_t characters_before_byte(std::string_view text, std::size_t offset) noexcept {
  const std::size_t end = std::min(offset, text.size());
  return static_cast<std::size_t>(std::count_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end),
                                                [](char c) { return !zarnu_core::utf::is_continuation(c); }));
}

Ref to_exception(const zarnu_core::error::Error& error, std::string_view source) {
  PyObject* type = zarnu_error_type();
  if (!type) return Ref::steal(compat::fetch_exception());
  const std::string message = error.message();
  Ref text = convert::string(message);
  Ref exception = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) return Ref::steal(compat::fetch_exception());

  Ref value = Ref::borrow(Py_None);
  if (const zarnu_core::json::Json* detail = error.detail("value")) {
    value = convert::to_py(*detail);
    if (!value) return Ref::steal(compat::fetch_exception());
  }
  const auto position = error.position();
  const auto span = error.span();
  const auto token = error.token();
  Ref attributes[] = {
      convert::string(error.code()),
      optional_count(position.has_value(), position ? characters_before_unit(source, *position) : 0),
      optional_count(span.has_value(), span ? characters_before_byte(source, span->start) : 0),
      optional_count(span.has_value(), span ? characters_before_byte(source, span->end) : 0),
      token ? convert::string(*token) : Ref::borrow(Py_None),
      std::move(value),
  };
  constexpr const char* kNames[] = {"code", "position", "start", "end", "token", "value"};
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    if (PyObject_SetAttrString(exception.get(), kNames[i], attributes[i].get()) < 0)
      return Ref::steal(compat::fetch_exception());
  }
  return exception;
}

PyObject* raise(const zarnu_core::error::Error& error, std::string_view source) {
  Ref exception = to_exception(error, source);
  if (exception) compat::restore_exception(exception.release());
  return nullptr;
}

}  // namespace zarnu_py::errors
