// Audited evaluation at the Python boundary: the level and capture limits as given, and the run that records
// how a result was reached and hands everything back as one dict, evaluation errors included.
#pragma once

#include "compat.hpp"

#include <optional>
#include <string>

#include "audit/capture.hpp"
#include "audit/collector.hpp"
#include "eval/expression.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace zarnu_py::audit_py {

struct Settings {
  zarnu_core::audit::Level level = zarnu_core::audit::Level::Decisions;
  zarnu_core::audit::Limits limits;
};

// The level (a str or nullptr) and the capture limits (a dict or nullptr), whose types the caller checked;
// none with TypeError or ValueError set at the first failure.
std::optional<Settings> settings(PyObject* level, PyObject* limits);

// The input of an audited evaluation, converted whole, and the hash of its JSON text.
struct Input {
  zarnu_core::value::Value value;
  std::string hash;
};

// Converts the input (nullptr: none, hashed as the empty text); none with the conversion's TypeError or
// ValueError set.
std::optional<Input> input(PyObject* object);

// Evaluates with the audit collector as the tracer and returns the dict of result, error, audit,
// explanation and explanation_text. Evaluation errors go into the dict; only a failure to make its Python
// objects is raised (nullptr).
PyObject* run(const zarnu_core::Expression& compiled, Input input, const zarnu_core::Bindings& bindings,
              const zarnu_core::Options& options, const Settings& settings);

}  // namespace zarnu_py::audit_py
