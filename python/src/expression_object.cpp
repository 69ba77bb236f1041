// zarnu.Expression: construction and compilation, `source`, repr, cycle collection, the per-expression
// cache of key strings, and `evaluate`, which keeps the thread attached while the core reads the input
// and the result is built as Python objects.
#include "expression_object.hpp"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "ast.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "expression.hpp"
#include "headroom.hpp"
#include "options.hpp"
#include "output.hpp"
#include "pyutil.hpp"
#include "source.hpp"

namespace zarnu_py::expression {

using pyutil::Ref;

namespace {

// A Python function registered on the expression, made available as $name in every evaluation.
struct Registered {
  std::string name;
  std::optional<std::string> signature;
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
};

struct ExpressionObject {
  PyObject ob_base;
  std::unique_ptr<State> state;  // null only while the object is being made
};

State* state_of(PyObject* self) {
  return reinterpret_cast<ExpressionObject*>(self)->state.get();
}

// The field names the expression looks up in its input.
std::vector<std::string> field_names(const zarnu_core::ast::Ast& ast) {
  std::vector<std::string> names;
  ast.root.walk([&](const zarnu_core::ast::Node& node) {
    if (node.kind == zarnu_core::ast::NodeKind::Name) names.push_back(node.text);
  });
  return names;
}

// The key cache, made at first use. Two threads may make it at once: the first to finish publishes its
// cache and the other drops its own, so nobody waits for another thread while attached.
const source::KeyCache& key_cache(State& state) {
  if (const source::KeyCache* keys = state.keys.load(std::memory_order_acquire)) return *keys;
  auto made = std::make_unique<source::KeyCache>();
  for (const std::string& name : field_names(state.compiled.ast())) made->add(name);
  source::KeyCache* published = nullptr;
  if (state.keys.compare_exchange_strong(published, made.get(), std::memory_order_acq_rel))
    return *made.release();
  return *published;
}

constexpr const char* kDoc =
    "Expression(source)\n--\n\nA compiled JSONata expression.\n\nCompile once, then evaluate against any "
    "number of documents, from any thread.";

constexpr const char* kEvaluateDoc =
    "evaluate($self, input=None, bindings=None, *, timeout=None, max_depth=None, max_string_length=None, "
    "max_array_length=None, max_result_size=None, now=None, seed=None)\n--\n\nEvaluates the expression "
    "against `input`, read one level at a time as the expression\nreaches it. `None` means no input "
    "document, and a result of `None` an undefined result\nor `null`.";

constexpr const char* kSourceDoc = "The source text of the expression.";

constexpr pyutil::Parameters kNew{"Expression", {"source"}, 1, 1};

constexpr pyutil::Parameters kEvaluate{"evaluate",
                                       {"input", "bindings", "timeout", "max_depth", "max_string_length",
                                        "max_array_length", "max_result_size", "now", "seed"},
                                       2,
                                       0};

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
  auto parsed = kEvaluate.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  const auto& arguments = *parsed;
  State& state = *state_of(self);

  // Bindings before options: a bad `bindings` is reported before a bad keyword.
  zarnu_core::Bindings bindings;
  if (arguments[1] && !options::add_bindings(arguments[1], bindings)) return nullptr;
  const auto options = options::convert(
      {arguments[2], arguments[3], arguments[4], arguments[5], arguments[6], arguments[7], arguments[8]});
  if (!options) return nullptr;

  output::PyBuilder builder;
  headroom::Evaluation evaluation;
  auto run = [&](zarnu_core::value::Source& input) {
    return state.compiled.evaluate_source_to([&](zarnu_core::value::Sink& sink) { return input.read(sink); },
                                             bindings, *options, builder);
  };
  auto result = [&] {
    if (!arguments[0]) {
      output::NoInput none;
      return run(none);
    }
    source::PySource input(arguments[0], &key_cache(state));
    return run(input);
  }();
  if (!result) return errors::raise(result.error(), *state.source);
  if (Ref error = builder.take_error()) {
    compat::restore_exception(error.release());
    return nullptr;
  }
  std::optional<Ref>& built = result->second;
  return built ? built->release() : Py_NewRef(Py_None);
}

PyMethodDef kMethods[] = {
    {"evaluate", pyutil::method<&evaluate>(), METH_FASTCALL | METH_KEYWORDS, kEvaluateDoc},
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
