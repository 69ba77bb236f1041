// zarnu.Function: made only by host calls, never from Python; calling one finds its host call among this
// thread's running ones and applies the function through that call's Caller.
#include "function_object.hpp"

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "host.hpp"
#include "watch.hpp"

namespace zarnu_py::function_object {

using pyutil::Ref;
using zarnu_core::json::Json;

namespace {

struct FunctionObject {
  PyObject ob_base;
  std::string name;     // of the host function that received it
  std::uint64_t frame;  // the id of that host call
  std::size_t index;    // its position among the call's arguments
  std::size_t arity;
};

FunctionObject& of(PyObject* self) {
  return *reinterpret_cast<FunctionObject*>(self);
}

constexpr const char* kDoc =
    "A JSONata function passed to a Python function, such as the lambda in `$retry(function()\n{...}, "
    "3)`. Calling it applies the function with the context value `null`; it is valid until\nthe Python "
    "function returns.";

constexpr const char* kArityDoc = "The number of parameters the function declares.";

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  of(self).name.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

// It holds no Python object: nothing to clear.
int function_clear(PyObject*) {
  return 0;
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<zarnu.Function of arity %zu>", of(self).arity);
}

PyObject* function_arity(PyObject* self, void*) {
  return PyLong_FromSize_t(of(self).arity);
}

// The error for a Function whose host call is gone (or runs on another thread).
PyObject* expired(const FunctionObject& function) {
  return errors::raise(zarnu_core::error::Error("U1005").with_token(function.name), {});
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  const FunctionObject& function = of(self);
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "zarnu.Function takes no keyword arguments");
    return nullptr;
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(args);
  std::vector<std::optional<Json>> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* argument = PyTuple_GET_ITEM(args, i);
    // A Python callable cannot become a value of the language: like None, it is undefined.
    if (argument == Py_None || PyCallable_Check(argument)) {
      arguments.emplace_back();
      continue;
    }
    auto json = convert::to_json(argument, "argument " + std::to_string(i + 1) + " of the function");
    if (!json) return nullptr;
    arguments.emplace_back(std::move(*json));
  }
  const host::Frame* frame = host::find_frame(function.frame);
  if (!frame || !frame->call->caller.arity(function.index)) return expired(function);
  auto result = frame->call->caller.apply(function.index, std::move(arguments));
  if (result) {
    if (!*result) return Py_NewRef(Py_None);
    // Converting a large result stops with the evaluation's limits, and is then reported like a failure.
    zarnu_core::eval::Poll& poll = frame->call->caller.poll();
    Ref out = convert::to_py(**result, &poll);
    if (!poll.failure()) return out.release();
    result = zarnu_core::fail(poll.failure()->clone());
  }
  // The very exception a host function further down raised, or the language's error; remembered, so that
  // it stands for this error again should the host function let it pass.
  host::Host& host = *frame->host;
  // An evaluation being stopped hands its exception to the Python code, which may handle it.
  watch::Watch* watch = watch::current();
  Ref exception = watch ? watch->take() : Ref();
  if (!exception) exception = host.kept(result.error());
  if (!exception) exception = errors::to_exception(result.error(), host.source());
  host.pair(Ref::borrow(exception.get()), result.error());
  compat::restore_exception(exception.release());
  return nullptr;
}

PyGetSetDef kProperties[] = {
    {"arity", pyutil::wrap<&function_arity>, nullptr, kArityDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, pyutil::slot<&function_dealloc>()},
    {Py_tp_traverse, pyutil::slot<&function_traverse>()},
    {Py_tp_clear, pyutil::slot<&function_clear>()},
    {Py_tp_repr, pyutil::slot<&function_repr>()},
    {Py_tp_call, pyutil::slot<&function_call>()},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kDefinition = {
    .name = "zarnu.Function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kSlots,
};

}  // namespace

PyObject* type() {
  static constinit pyutil::ProcessObject made;
  return made.get([] { return PyType_FromSpec(&kDefinition); });
}

Ref make(std::string_view name, std::uint64_t frame, std::size_t index, std::size_t arity) {
  std::string text(name);  // before the object exists, so that nothing can fail half-way through making it
  auto* type = reinterpret_cast<PyTypeObject*>(function_object::type());
  if (!type) return Ref();
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return Ref();
  FunctionObject& function = of(self.get());
  new (&function.name) std::string(std::move(text));
  function.frame = frame;
  function.index = index;
  function.arity = arity;
  return self;
}

}  // namespace zarnu_py::function_object
