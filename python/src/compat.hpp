// Everything that depends on the interpreter version, in one place: the module's slot tables (multi-phase
// init, sub-interpreter and GIL declarations, the export hook) and per-object critical sections.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>

#if PY_VERSION_HEX < 0x030B0000
#error "zarnu needs CPython 3.11 or later"
#endif

// The export hook replaces PyInit_* as the way the interpreter finds a module's slots. Its slots name the
// module and carry its docstring, so the hook needs no PyModuleDef at all.
#if PY_VERSION_HEX >= 0x030F0000 && defined(Py_mod_name) && defined(Py_mod_doc)
#define ZARNU_HAVE_MODEXPORT 1
#ifdef PyMODEXPORT_FUNC
#define ZARNU_MODEXPORT_FUNC PyMODEXPORT_FUNC
#else
#define ZARNU_MODEXPORT_FUNC extern "C" Py_EXPORTED_SYMBOL PyModuleDef_Slot*
#endif
#else
#define ZARNU_HAVE_MODEXPORT 0
#endif

namespace zarnu_py::compat {

using ExecFunction = int (*)(PyObject*);

// Room for the longest table below: name, doc, ABI, exec, interpreters, GIL and the end marker.
inline constexpr std::size_t kMaxModuleSlots = 8;
using ModuleSlots = std::array<PyModuleDef_Slot, kMaxModuleSlots>;

namespace detail {

class SlotWriter {
 public:
  explicit SlotWriter(ModuleSlots& slots) : slots_(slots) {}
  void add(int slot, void* value) { slots_[next_++] = PyModuleDef_Slot{slot, value}; }
  void add_exec(ExecFunction exec) { add(Py_mod_exec, reinterpret_cast<void*>(exec)); }

  // What every version that knows of it must be told: the module keeps process-wide objects (its types),
  // so it cannot serve several interpreters; and it guards its own shared state, so it needs no GIL.
  void add_declarations() {
#if PY_VERSION_HEX >= 0x030C0000
    add(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED);
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Only free-threaded builds act on it; the others accept and ignore it.
    add(Py_mod_gil, Py_MOD_GIL_NOT_USED);
#endif
  }

  void end() {
    slots_[next_++] = PyModuleDef_Slot{0, nullptr};
  }

 private:
  ModuleSlots& slots_;
  std::size_t next_ = 0;
};

}  // namespace detail

// The slots of the module's PyModuleDef (multi-phase init, which PyInit_* hands to the interpreter).
inline ModuleSlots definition_slots(ExecFunction exec) {
  ModuleSlots slots{};
  detail::SlotWriter writer(slots);
  writer.add_exec(exec);
  writer.add_declarations();
  writer.end();
  return slots;
}

#if ZARNU_HAVE_MODEXPORT
// The slots the export hook returns: the same module, described by slots alone.
inline ModuleSlots export_slots(const char* name, const char* doc, ExecFunction exec) {
  ModuleSlots slots{};
  detail::SlotWriter writer(slots);
  writer.add(Py_mod_name, const_cast<char*>(name));
  writer.add(Py_mod_doc, const_cast<char*>(doc));
#if defined(Py_mod_abi) && defined(PyABIInfo_VAR)
  // Lets the interpreter refuse the module when it was built for another binary interface.
  PyABIInfo_VAR(abi_info);
  writer.add(Py_mod_abi, &abi_info);
#endif
  writer.add_exec(exec);
  writer.add_declarations();
  writer.end();
  return slots;
}
#endif

// The exception being raised, normalised to an instance, taken from the thread (nullptr when none).
inline PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises an exception instance again as it is, traceback included; steals the reference.
inline void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
#endif
}

// Looks `key` up in a dict without calling a subclass's __getitem__: 1 with a new reference in `*found`,
// 0 when absent, -1 with an exception set.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** found) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, found);
#else
  // With the GIL held nothing can run between the look-up and taking the reference.
  *found = Py_XNewRef(PyDict_GetItemWithError(dict, key));
  if (*found) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

// Per-object critical sections exist only where there is no GIL to serialise access to an object;
// elsewhere holding the GIL already gives that, and the section is empty.
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_GIL_DISABLED)
struct CriticalSectionState {
  PyCriticalSection section;
};
inline void begin_critical_section(CriticalSectionState& state, PyObject* object) {
  PyCriticalSection_Begin(&state.section, object);
}
inline void end_critical_section(CriticalSectionState& state) {
  PyCriticalSection_End(&state.section);
}
#else
struct CriticalSectionState {};
inline void begin_critical_section(CriticalSectionState&, PyObject*) {}
inline void end_critical_section(CriticalSectionState&) {}
#endif

// A new dict with room for `size` items, so that filling it does not grow it (where the interpreter offers
// that; a plain new dict otherwise).
inline PyObject* dict_with_room(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030E0000
  return _PyDict_NewPresized(size);
#else
  (void)size;
  return PyDict_New();
#endif
}

}  // namespace zarnu_py::compat
