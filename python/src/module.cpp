// The module `zarnu._zarnu`: its definition, the exec step that fills a new module object, and the entry
// points through which the interpreter finds it. Its only exported symbols are those entry points.
#include "compat.hpp"
#include "document_object.hpp"
#include "errors.hpp"
#include "expression_object.hpp"
#include "function_object.hpp"
#include "pyutil.hpp"
#include "reads_py.hpp"
#include "watch.hpp"

namespace zarnu_py {
namespace {

using pyutil::Ref;

constexpr const char* kName = "_zarnu";
constexpr const char* kDoc = "The native module of the `zarnu` package.";
constexpr const char* kVersion = "0.19.0";

// Adds a process-wide object (nullptr when making it failed, with the exception set) under `name`.
int add(PyObject* module, const char* name, PyObject* object) {
  if (!object) return -1;
  return PyModule_AddObjectRef(module, name, object);
}

// The module function `union_reads`, bound to the first module object filled. Like the classes it is made
// once per process, so that every module object made from the definition offers the very same function.
PyObject* union_reads(PyObject* module) {
  static constinit pyutil::ProcessObject made;
  return made.get([module]() -> PyObject* {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    return PyCFunction_NewEx(&reads_py::union_reads_definition(), module, name.get());
  });
}

// Fills a new module object. Attributes are added in a fixed order and the first failure ends the step;
// what was added before it stays. Every process-wide object (the classes, the exceptions) is made by the
// first exec and reused by later ones, so all module objects share them.
int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "%s can only fill a module object, not '%s'", kName,
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  // Made now, while nothing can go wrong yet, so that a later panic does not also have to make its type.
  if (!pyutil::panic_exception_type()) return -1;
  // And what the evaluations' turns for other threads need, before any evaluation can need it.
  if (!watch::prepare()) return -1;
  if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
  // The public names, in this order: Expression, Document, Function, union_reads, ZarnuError.
  if (add(module, "Expression", expression::type()) < 0) return -1;
  if (add(module, "Document", document_object::type()) < 0) return -1;
  if (add(module, "Function", function_object::type()) < 0) return -1;
  if (add(module, "union_reads", union_reads(module)) < 0) return -1;
  if (add(module, "ZarnuError", errors::zarnu_error_type()) < 0) return -1;
  return 0;
}

const compat::ModuleSlots kDefinitionSlots = compat::definition_slots(pyutil::wrap<&exec_module>);

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kName,
    .m_doc = kDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = const_cast<PyModuleDef_Slot*>(kDefinitionSlots.data()),
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

#if ZARNU_HAVE_MODEXPORT
const compat::ModuleSlots kExportSlots = compat::export_slots(kName, kDoc, pyutil::wrap<&exec_module>);
#endif

}  // namespace
}  // namespace zarnu_py

PyMODINIT_FUNC PyInit__zarnu() {
  return PyModuleDef_Init(&zarnu_py::definition);
}

#if ZARNU_HAVE_MODEXPORT
ZARNU_MODEXPORT_FUNC PyModExport__zarnu() {
  return const_cast<PyModuleDef_Slot*>(zarnu_py::kExportSlots.data());
}
#endif
