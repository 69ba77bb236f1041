// The class zarnu.Document: a JSON document converted once and shared between threads, each of which
// makes its own copy in the core's value model at its first use and keeps it while the document lives.
#pragma once

#include "compat.hpp"

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "value/document.hpp"  // the core's: Document, ParseError
#include "value/json.hpp"
#include "value/reads.hpp"
#include "value/value.hpp"

namespace zarnu_py::document_object {

// JSON text, and the read that says which of its fields to build (the others are checked as syntax only).
struct Text {
  std::string text;
  std::optional<zarnu_core::reads::Read> read;
};

// What a Document holds: JSON converted from a Python object, or JSON text. Never changed once made, so
// any thread may read it.
using Source = std::variant<zarnu_core::json::Json, Text>;

// The class, borrowed; made once per process. Nullptr with an exception set when it cannot be made.
PyObject* type();

// The source of a Document (or of an instance of a subclass).
const std::shared_ptr<const Source>& source_of(PyObject* document);

// This thread's copy of a source, made at the thread's first use; a JSON syntax error for text that is
// not valid JSON, or the error of `poll` (asked while a text is parsed) when it stopped the parse. Never
// calls into Python itself, so it runs detached.
zarnu_core::document::Parsed<zarnu_core::value::Value> converted(const std::shared_ptr<const Source>& source,
                                                                 const zarnu_core::PollHook* poll = nullptr);

// The wording of a JSON syntax error: the reason, with its line and column when it has them.
std::string parse_error_text(const zarnu_core::document::ParseError& error);

}  // namespace zarnu_py::document_object
