// zarnu.Expression: construction and compilation, `source`, repr, cycle collection, the per-expression
// caches, registered functions, and the evaluation roads: `evaluate` keeps the thread attached while the
// core reads Python input and builds Python objects; `evaluate_json` and `evaluate_document` let other
// threads run and attach again only for Python host functions and to build the result.
#include "expression_object.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "audit_py.hpp"
#include "convert.hpp"
#include "direct.hpp"
#include "document_object.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "eval/expression.hpp"
#include "headroom.hpp"
#include "host.hpp"
#include "options.hpp"
#include "output.hpp"
#include "pyutil.hpp"
#include "reads/reads_analysis.hpp"
#include "reads_py.hpp"
#include "source.hpp"
#include "support/stack.hpp"
#include "syntax/ast.hpp"
#include "syntax/signature.hpp"
#include "value/polling.hpp"
#include "watch.hpp"

namespace zarnu_py::expression {

using pyutil::Ref;

namespace {

using zarnu_core::error::Error;
using zarnu_core::value::Value;

// A Python function registered on the expression, made available as $name in every evaluation. The
// signature is parsed once, when registered, and shared by the evaluations.
struct Registered {
  std::string name;
  std::shared_ptr<const zarnu_core::signature::Signature> signature;
  Ref implementation;
  std::size_t arity = 0;
};

// What an Expression holds. Everything but the registered list is fixed once set, so evaluations on any
// number of threads read it without a lock.
struct State {
  State(zarnu_core::Expression compiled, std::shared_ptr<const std::string> source)
      : compiled(std::move(compiled)), source(std::move(source)) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { std::unique_ptr<source::KeyCache> owned(keys.load(std::memory_order_acquire)); }

  zarnu_core::Expression compiled;
  std::shared_ptr<const std::string> source;
  std::shared_mutex registered_lock;
  std::vector<Registered> registered;
  // Made by the first evaluation with an input, then fixed; owned by the state.
  std::atomic<source::KeyCache*> keys{nullptr};
  // What the expression reads of its input, without bindings: made once, by a detached thread.
  std::once_flag input_read_once;
  std::optional<zarnu_core::reads::Read> input_read;
  // The direct plan of a simple query; none for any other expression.
  std::unique_ptr<const direct::Plan> plan;
};

struct ExpressionObject {
  PyObject ob_base;
  std::unique_ptr<State> state;  // null only while the object is being made
};

State* state_of(PyObject* self) {
  return reinterpret_cast<ExpressionObject*>(self)->state.get();
}

// What an expression reads of its input when nothing is known of its bindings: the cut that parsing JSON
// input may make. An expression that never reads its input still needs the document, none of its fields.
zarnu_core::reads::Read analyse_input(const zarnu_core::ast::Ast& ast) {
  auto reads = zarnu_core::reads::analyse(ast.root);
  return reads.input ? std::move(*reads.input) : zarnu_core::reads::Read::fields();
}

// Computed by the first thread that needs it; the others wait. The analysis never touches the interpreter,
// so a thread may wait attached without blocking the one computing it.
const zarnu_core::reads::Read& input_read(State& state) {
  std::call_once(state.input_read_once, [&] { state.input_read = analyse_input(state.compiled.ast()); });
  return *state.input_read;
}

// Adds the field names of a read, at every depth, to the key cache.
void add_keys(const zarnu_core::reads::Read& read, source::KeyCache& keys, std::size_t depth) {
  for (const auto& [name, inner] : read.entries()) {
    keys.add(name);
    zarnu_core::stack::nest(depth + 1, [&] { add_keys(inner, keys, depth + 1); });
  }
}

// The key cache: the field names the expression reads of its input, made at first use. Two threads may
// make it at once: the first to finish publishes its cache and the other drops its own, so nobody waits
// for another thread while attached.
const source::KeyCache& key_cache(State& state) {
  if (const source::KeyCache* keys = state.keys.load(std::memory_order_acquire)) return *keys;
  auto made = std::make_unique<source::KeyCache>();
  add_keys(input_read(state), *made, 0);
  source::KeyCache* published = nullptr;
  if (state.keys.compare_exchange_strong(published, made.get(), std::memory_order_acq_rel))
    return *made.release();
  return *published;
}

// The bindings of one evaluation: the registered functions, then the `bindings` argument (none when not
// given), with the host functions made by one binder. They hold Python references, so they go while
// attached: declared before any detached part of the evaluation.
struct Prepared {
  explicit Prepared(const State& state) : binder(state.source) {}
  host::Binder binder;
  zarnu_core::Bindings bindings;
};

bool prepare(State& state, PyObject* bindings, Prepared& out) {
  std::vector<Registered> registered;
  {
    // Copied under the lock and used after it: making host functions runs Python code (inspect).
    std::shared_lock lock(state.registered_lock);
    registered.reserve(state.registered.size());
    for (const Registered& one : state.registered)
      registered.push_back({one.name, one.signature, Ref::borrow(one.implementation.get()), one.arity});
  }
  for (Registered& one : registered) {
    out.bindings.function(
        one.name, out.binder.function(one.name, std::move(one.implementation), one.signature, one.arity));
  }
  return !bindings || options::add_bindings(bindings, out.bindings, out.binder);
}

// The hook through which long releases of values on the attached roads poll the road's watch.
const zarnu_core::PollHook& releasing() {
  static const zarnu_core::PollHook hook = [] {
    convert::releasing_poll();
    return std::optional<Error>();
  };
  return hook;
}

// Null for a road that fails: with the exception that stopped it, in place of any raised since (a stop kept
// while references were released), else with the one raised.
PyObject* stopped_or_raised(watch::Watch& watch) {
  if (watch.stopped()) {
    PyErr_Clear();
    watch.raise();
  }
  return nullptr;
}

// The result of an evaluation as JSON text (none when undefined), against an input that is already a
// value of the core (undefined for none). Calls into Python only through host functions, which attach.
zarnu_core::Result<std::optional<std::string>> evaluate_to_text(const State& state, Value input,
                                                                const Prepared& prepared,
                                                                const zarnu_core::Options& options) {
  zarnu_core::Expression::Run run{options.limits(), {}, nullptr};
  ZR_TRY(Value result, state.compiled.run(std::move(input), prepared.bindings, run));
  zarnu_core::eval::Poll poll(*run.evaluator);
  ZR_TRY(auto json,
         zarnu_core::to_json(zarnu_core::output::Output{result, run.limits.max_result_size, nullptr, &poll}));
  if (!json) return std::optional<std::string>();
  return std::optional<std::string>(zarnu_core::json::to_text(*json));
}

// What the detached part of an evaluation leaves for the attached part to raise: a language error, or the
// text of a ValueError.
struct Failure {
  std::optional<Error> error;
  std::optional<std::string> invalid;
};

PyObject* raise(const Failure& failure, const State& state, const Prepared& prepared) {
  if (failure.error) return host::raise(*failure.error, prepared.binder.host(), *state.source);
  PyErr_SetString(PyExc_ValueError, failure.invalid->c_str());
  return nullptr;
}

constexpr const char* kDoc =
    "Expression(source)\n--\n\nA compiled JSONata expression.\n\nCompile once, then evaluate against any "
    "number of documents, from any thread.";

constexpr const char* kEvaluateDoc =
    "evaluate($self, input=None, bindings=None, *, timeout=None, max_depth=None, max_string_length=None, "
    "max_array_length=None, max_result_size=None, now=None, seed=None)\n--\n\nEvaluates the expression "
    "against `input`, read one level at a time as the expression\nreaches it. `None` means no input "
    "document, and a result of `None` an undefined result\nor `null`.";

constexpr const char* kEvaluateJsonDoc =
    "evaluate_json($self, input=None, bindings=None, *, timeout=None, max_depth=None, "
    "max_string_length=None, max_array_length=None, max_result_size=None, now=None, seed=None)\n--\n\nLike "
    "`evaluate`, with the input document and the result as JSON text: `None` for an\nundefined result, "
    "`\"null\"` for `null`. The fields of the input that the expression does\nnot read (`reads()`, without "
    "bindings) are skipped while parsing. The evaluation lets\nother Python threads run, and attaches again "
    "to call a host function written in Python.";

constexpr const char* kEvaluateDocumentDoc =
    "evaluate_document($self, document, bindings=None, *, timeout=None, max_depth=None, "
    "max_string_length=None, max_array_length=None, max_result_size=None, now=None, seed=None)\n--\n\n"
    "Evaluates the expression against a `Document` converted beforehand. The evaluation lets\nother Python "
    "threads run.";

constexpr const char* kRegisterDoc =
    "register_function($self, name, implementation, signature=None)\n--\n\nMakes `implementation` "
    "available to the expression as `$name`, in every evaluation. With\na `signature` (such as "
    "`<n-n?:n>`), arguments are checked before each call, as for\nbuilt-in functions. A function of the "
    "same name in the bindings takes precedence.\nRaises a `ZarnuError` when the signature is invalid.";

constexpr const char* kEvaluateWithAuditDoc =
    "evaluate_with_audit($self, input=None, bindings=None, *, level=None, limits=None, timeout=None, "
    "max_depth=None, max_string_length=None, max_array_length=None, max_result_size=None, now=None, "
    "seed=None)\n--\n\nEvaluates the expression and records how the result was reached, at `level` "
    "(`\"off\"`,\n`\"decisions\"`, the default, or `\"full\"`) within the capture `limits`. The input is\n"
    "converted whole first. Evaluation errors are not raised: they are reported in the result,\na `dict` "
    "with `result`, `error`, `audit`, `explanation` and `explanation_text`.";

constexpr const char* kReadsDoc =
    "reads($self, bindings=None)\n--\n\nThe fields of the input and of the bindings the expression reads "
    "(ADR 0016), as a `dict`\nin the JSON form. The functions in `bindings`, and those registered on the "
    "expression,\nread only their arguments, since a Python function does not receive the context of "
    "its\ncall; a call to a function the analysis does not know reads its context whole.";

constexpr const char* kSourceDoc = "The source text of the expression.";

constexpr pyutil::Parameters kNew{"Expression", {"source"}, 1, 1};

constexpr pyutil::Parameters kEvaluate{"evaluate",
                                       {"input", "bindings", "timeout", "max_depth", "max_string_length",
                                        "max_array_length", "max_result_size", "now", "seed"},
                                       2,
                                       0};

constexpr pyutil::Parameters kEvaluateJson{"evaluate_json",
                                           {"input", "bindings", "timeout", "max_depth", "max_string_length",
                                            "max_array_length", "max_result_size", "now", "seed"},
                                           2,
                                           0};

constexpr pyutil::Parameters kEvaluateDocument{
    "evaluate_document",
    {"document", "bindings", "timeout", "max_depth", "max_string_length", "max_array_length",
     "max_result_size", "now", "seed"},
    2,
    1};

constexpr pyutil::Parameters kEvaluateWithAudit{
    "evaluate_with_audit",
    {"input", "bindings", "level", "limits", "timeout", "max_depth", "max_string_length", "max_array_length",
     "max_result_size", "now", "seed"},
    2,
    0};

constexpr pyutil::Parameters kReads{"reads", {"bindings"}, 1, 0};

constexpr pyutil::Parameters kRegister{"register_function", {"name", "implementation", "signature"}, 3, 2};

// The keyword options of the evaluation methods, which all take them after the same two arguments.
template <std::size_t N>
std::optional<zarnu_core::Options> options_of(const std::array<PyObject*, N>& arguments) {
  return options::convert(
      {arguments[2], arguments[3], arguments[4], arguments[5], arguments[6], arguments[7], arguments[8]});
}

PyObject* expression_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto arguments = kNew.parse(args, kwargs);
  if (!arguments) return nullptr;
  PyObject* source = (*arguments)[0];
  if (!PyUnicode_Check(source)) {
    kNew.bad_argument(0, "str", source);
    return nullptr;
  }
  std::string text(convert::text(source).view());
  auto compiled = zarnu_core::Expression::compile(text);
  if (!compiled) return errors::raise(compiled.error(), text);
  auto state =
      std::make_unique<State>(std::move(*compiled), std::make_shared<const std::string>(std::move(text)));
  state->plan = direct::compile(state->compiled.ast());
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  // The allocation zeroed the object, and a zeroed unique_ptr is an empty one: nothing is overwritten.
  new (&reinterpret_cast<ExpressionObject*>(self)->state) std::unique_ptr<State>(std::move(state));
  return self;
}

void expression_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<ExpressionObject*>(self)->state.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// Visits the registered functions, unless a registration holds the list right now: then nothing, since
// waiting here could deadlock the collector.
int expression_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  State* state = state_of(self);
  if (!state) return 0;
  std::shared_lock lock(state->registered_lock, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  for (const Registered& registered : state->registered) Py_VISIT(registered.implementation.get());
  return 0;
}

// Forgets the registered functions; released after the lock, since releasing one can run Python code.
int expression_clear(PyObject* self) {
  State* state = state_of(self);
  if (!state) return 0;
  std::vector<Registered> old;
  {
    std::unique_lock lock(state->registered_lock);
    old.swap(state->registered);
  }
  return 0;
}

PyObject* expression_repr(PyObject* self) {
  Ref source = convert::string(*state_of(self)->source);
  return PyUnicode_FromFormat("Expression(%R)", source.get());
}

PyObject* expression_source(PyObject* self, void*) {
  return convert::string(*state_of(self)->source).release();
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  entry::let_go();
  auto parsed = kEvaluate.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  const auto& arguments = *parsed;
  State& state = *state_of(self);
  if (state.plan)
    if (auto ran = direct::run(*state.plan, arguments)) return *ran;

  // Watched from the start: converting the bindings and releasing what the evaluation made poll too.
  watch::Watch watch(true);
  zarnu_core::value::Turns turns(&releasing());
  // Bindings before options: a bad `bindings` is reported before a bad keyword.
  Prepared prepared(state);
  if (!prepare(state, arguments[1], prepared)) return stopped_or_raised(watch);
  auto options = options_of(arguments);
  if (!options) return stopped_or_raised(watch);
  options->hook = watch.hook();

  output::PyBuilder builder;
  headroom::Evaluation evaluation;
  auto run = [&](zarnu_core::value::Source& input) {
    return state.compiled.evaluate_source_to([&](zarnu_core::value::Sink& sink) { return input.read(sink); },
                                             prepared.bindings, *options, builder);
  };
  auto result = [&] {
    if (!arguments[0]) {
      output::NoInput none;
      return run(none);
    }
    source::PySource input(arguments[0], &key_cache(state));
    return run(input);
  }();
  // The result's value (which may hold the input's containers) goes while a stop can still be raised.
  if (result) result->first = Value();
  if (watch.raise()) return nullptr;
  if (!result) return host::raise(result.error(), prepared.binder.host(), *state.source);
  if (Ref error = builder.take_error()) {
    compat::restore_exception(error.release());
    return nullptr;
  }
  std::optional<Ref>& built = result->second;
  return built ? built->release() : Py_NewRef(Py_None);
}

PyObject* evaluate_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  entry::let_go();
  auto parsed = kEvaluateJson.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  const auto& arguments = *parsed;
  if (arguments[0] && !PyUnicode_Check(arguments[0])) {
    kEvaluateJson.bad_argument(0, "str", arguments[0]);
    return nullptr;
  }
  State& state = *state_of(self);
  Prepared prepared(state);
  if (!prepare(state, arguments[1], prepared)) return nullptr;
  auto options = options_of(arguments);
  if (!options) return nullptr;
  watch::Watch watch(false);
  options->hook = watch.hook();
  // The UTF-8 form of the str is made here, while attached. A str never changes and the caller's
  // reference keeps it alive, so the detached parse may read that text.
  std::optional<convert::Text> input;
  if (arguments[0]) input.emplace(convert::text(arguments[0]));

  Failure failure;
  std::optional<std::string> text;
  {
    pyutil::Detached detached;
    headroom::Evaluation evaluation;
    Value value;
    std::optional<zarnu_core::document::ParseError> invalid;
    if (input) {
      auto document =
          zarnu_core::document::Document::parse_cut(input->view(), input_read(state), &options->hook);
      if (document) {
        value = std::move(document->value);
      } else {
        invalid = std::move(document.error());
      }
    }
    if (invalid && invalid->stopped) {
      failure.error = std::move(*invalid->stopped);
    } else if (invalid) {
      failure.invalid = "input is not valid JSON: " + document_object::parse_error_text(*invalid);
    } else if (auto result = evaluate_to_text(state, std::move(value), prepared, *options)) {
      text = std::move(*result);
    } else {
      failure.error = std::move(result.error());
    }
  }
  if (watch.raise()) return nullptr;
  if (failure.error || failure.invalid) return raise(failure, state, prepared);
  return text ? convert::string(*text).release() : Py_NewRef(Py_None);
}

PyObject* evaluate_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  entry::let_go();
  auto parsed = kEvaluateDocument.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  const auto& arguments = *parsed;
  PyObject* type = document_object::type();
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(arguments[0], reinterpret_cast<PyTypeObject*>(type))) {
    kEvaluateDocument.bad_argument(0, "zarnu.Document", arguments[0]);
    return nullptr;
  }
  State& state = *state_of(self);
  Prepared prepared(state);
  if (!prepare(state, arguments[1], prepared)) return nullptr;
  auto options = options_of(arguments);
  if (!options) return nullptr;
  watch::Watch watch(false);
  options->hook = watch.hook();
  // The caller's reference keeps the document, and with it the slots its strings share strs through, for
  // the whole call.
  const std::shared_ptr<const document_object::Source> source = document_object::source_of(arguments[0]);
  const document_object::Slots& slots = document_object::slots_of(arguments[0]);

  // Made while attached for the result alone; kept here so that they also go while attached.
  Ref built;
  Ref build_error;
  Failure failure;
  {
    headroom::Evaluation evaluation;
    zarnu_core::Expression::Run run{options->limits(), {}, nullptr};
    std::optional<zarnu_core::eval::Poll> poll;
    // The result is written out in full while detached, within its size limit; attached, its Python
    // objects are made from that alone. The interpreter is released once and taken back once: each taking
    // waits its turn behind the other threads.
    output::FlatBuilder flat;
    std::optional<output::FlatBuilder::Built> root;
    {
      pyutil::Detached detached;
      auto copy = document_object::converted(source, slots, &options->hook);
      if (!copy && copy.error().stopped) {
        failure.error = std::move(*copy.error().stopped);
      } else if (!copy) {
        failure.invalid =
            "the document is not valid JSON: " + document_object::parse_error_text(copy.error());
      } else if (auto ran = state.compiled.run(std::move(*copy), prepared.bindings, run)) {
        poll.emplace(*run.evaluator);
        auto written =
            zarnu_core::output::Output{*ran, run.limits.max_result_size, nullptr, &*poll}.write(flat);
        if (written) {
          root = *written;
        } else {
          failure.error = std::move(written.error());
        }
      } else {
        failure.error = std::move(ran.error());
      }
    }
    if (root) {
      // Making a large result takes long: other threads get their turns meanwhile.
      watch::Attached told;
      output::PyBuilder builder;
      if (auto made = flat.build(*root, builder, &*poll)) {
        built = std::move(*made);
      } else {
        failure.error = poll->failure()->clone();
      }
      build_error = builder.take_error();
    }
  }
  if (watch.raise()) return nullptr;
  if (failure.error || failure.invalid) return raise(failure, state, prepared);
  if (build_error) {
    compat::restore_exception(build_error.release());
    return nullptr;
  }
  return built ? built.release() : Py_NewRef(Py_None);
}

PyObject* evaluate_with_audit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  entry::let_go();
  auto parsed = kEvaluateWithAudit.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  const auto& arguments = *parsed;
  PyObject* const level = arguments[2];
  PyObject* const limits = arguments[3];
  if (level && !PyUnicode_Check(level)) {
    kEvaluateWithAudit.bad_argument(2, "str", level);
    return nullptr;
  }
  if (limits && !PyDict_Check(limits)) {
    kEvaluateWithAudit.bad_argument(3, "dict", limits);
    return nullptr;
  }
  // Watched from the start: converting the input and the bindings and releasing what the evaluation made
  // poll too.
  watch::Watch watch(true);
  zarnu_core::value::Turns turns(&releasing());
  // The checks in their documented order: input, level and limits, bindings, then the other keywords.
  auto input = audit_py::input(arguments[0]);
  if (!input) return stopped_or_raised(watch);
  const auto settings = audit_py::settings(level, limits);
  if (!settings) return stopped_or_raised(watch);
  State& state = *state_of(self);
  Prepared prepared(state);
  if (!prepare(state, arguments[1], prepared)) return stopped_or_raised(watch);
  auto options = options::convert(
      {arguments[4], arguments[5], arguments[6], arguments[7], arguments[8], arguments[9], arguments[10]});
  if (!options) return stopped_or_raised(watch);
  options->hook = watch.hook();
  // Errors are reported in the result, but what stops the evaluation from outside is raised.
  Ref audited =
      Ref::steal(audit_py::run(state.compiled, std::move(*input), prepared.bindings, *options, *settings));
  if (watch.stopped()) {
    audited = Ref();
    return stopped_or_raised(watch);
  }
  return audited.release();
}

PyObject* reads(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto parsed = kReads.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  State& state = *state_of(self);
  // Built as for an evaluation, though only the names of the host functions among them matter.
  Prepared prepared(state);
  if (!prepare(state, (*parsed)[0], prepared)) return nullptr;
  return reads_py::to_py(zarnu_core::reads::analyse(state.compiled.ast().root, prepared.bindings));
}

PyObject* register_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto parsed = kRegister.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  const auto& [name, implementation, signature] = *parsed;
  if (!PyUnicode_Check(name)) {
    kRegister.bad_argument(0, "str", name);
    return nullptr;
  }
  if (signature && !PyUnicode_Check(signature)) {
    kRegister.bad_argument(2, "str", signature);
    return nullptr;
  }
  if (!PyCallable_Check(implementation)) {
    PyErr_SetString(PyExc_TypeError, "implementation must be callable");
    return nullptr;
  }
  Registered entry;
  if (signature) {
    const std::string text(convert::text(signature).view());
    auto checked = zarnu_core::signature::Signature::parse(text);
    if (!checked) return errors::raise(checked.error(), text);
    entry.arity = checked->params().size();
    entry.signature = std::make_shared<const zarnu_core::signature::Signature>(std::move(*checked));
  } else {
    entry.arity = host::arity(implementation);
  }
  const convert::Text name_text = convert::text(name);
  const std::string_view text = name_text.view();
  entry.name = text.substr(std::min(text.find_first_not_of('$'), text.size()));
  entry.implementation = Ref::borrow(implementation);

  State& state = *state_of(self);
  std::vector<Registered> replaced;
  {
    std::unique_lock lock(state.registered_lock);
    auto& list = state.registered;
    auto same = std::stable_partition(list.begin(), list.end(),
                                      [&](const Registered& one) { return one.name != entry.name; });
    std::move(same, list.end(), std::back_inserter(replaced));
    list.erase(same, list.end());
    list.push_back(std::move(entry));
  }
  // Released after the lock: releasing a function can run Python code.
  replaced.clear();
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"evaluate", pyutil::method<&evaluate>(), METH_FASTCALL | METH_KEYWORDS, kEvaluateDoc},
    {"evaluate_json", pyutil::method<&evaluate_json>(), METH_FASTCALL | METH_KEYWORDS, kEvaluateJsonDoc},
    {"evaluate_document", pyutil::method<&evaluate_document>(), METH_FASTCALL | METH_KEYWORDS,
     kEvaluateDocumentDoc},
    {"evaluate_with_audit", pyutil::method<&evaluate_with_audit>(), METH_FASTCALL | METH_KEYWORDS,
     kEvaluateWithAuditDoc},
    {"reads", pyutil::method<&reads>(), METH_FASTCALL | METH_KEYWORDS, kReadsDoc},
    {"register_function", pyutil::method<&register_function>(), METH_FASTCALL | METH_KEYWORDS, kRegisterDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"source", pyutil::wrap<&expression_source>, nullptr, kSourceDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, pyutil::slot<&expression_new>()},
    {Py_tp_dealloc, pyutil::slot<&expression_dealloc>()},
    {Py_tp_traverse, pyutil::slot<&expression_traverse>()},
    {Py_tp_clear, pyutil::slot<&expression_clear>()},
    {Py_tp_repr, pyutil::slot<&expression_repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kDefinition = {
    .name = "zarnu.Expression",
    .basicsize = sizeof(ExpressionObject),
    .itemsize = 0,
    // No Py_TPFLAGS_BASETYPE: the class is final.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyObject* type() {
  static constinit pyutil::ProcessObject made;
  return made.get([] { return PyType_FromSpec(&kDefinition); });
}

}  // namespace zarnu_py::expression
