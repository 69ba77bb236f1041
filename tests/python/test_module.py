"""The module itself (import, version, re-import) and the C API layer every class stands on.

The layer (python/src/pyutil.hpp) has no Python face of its own, so its tests build a small probe
extension from it with the C++ compiler and call that.
"""

import gc
import importlib
import importlib.util
import re
import sys
import sysconfig
import threading
import tomllib
from pathlib import Path

import pytest
from support import build_extension

import zarnu
import zarnu._zarnu as native

ROOT = Path(__file__).resolve().parents[2]
DOC = "The native module of the `zarnu` package."


def test_version_and_doc():
    assert native.__version__ == "0.19.0"
    assert native.__doc__ == DOC
    assert zarnu.__version__ == native.__version__


def test_version_agrees_with_packaging():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    cmake = re.search(r"project\(zarnu VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
    assert project["version"] == cmake.group(1) == native.__version__


def shared_attributes(module):
    names = [name for name in vars(module) if not name.startswith("__")]
    return {name: getattr(module, name) for name in names + ["__version__", "__doc__"]}


def assert_same_attributes(first, second):
    a, b = shared_attributes(first), shared_attributes(second)
    assert a.keys() == b.keys()
    for name, value in a.items():
        # Strings may be equal copies; classes and functions must be the very same objects.
        assert b[name] == value if isinstance(value, str) else b[name] is value, name


def test_reimport_and_reload_keep_the_module():
    assert importlib.import_module("zarnu._zarnu") is native
    before = shared_attributes(native)
    assert importlib.reload(native) is native
    assert_same_attributes(native, native)
    assert shared_attributes(native).keys() == before.keys()


def test_second_module_object_shares_everything():
    spec = importlib.util.find_spec("zarnu._zarnu")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not native
    assert_same_attributes(native, second)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_import_keeps_the_gil_disabled():
    assert not sys._is_gil_enabled()


# The probe: one function per thing to check, each built from the layer exactly as the module's own
# files use it.
PROBE = r"""
#include "pyutil.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace pyutil = zarnu_py::pyutil;

namespace {

constexpr pyutil::Parameters kFast{"fast", {"a", "b", "c", "d"}, 2, 1};
constexpr pyutil::Parameters kClassic{"classic", {"a", "b", "c", "d"}, 2, 1};
constexpr pyutil::Parameters kExact{"exact", {"x"}, 1, 1};
constexpr pyutil::Parameters kKeywordOnly{"kwonly", {"x"}, 0, 0};
constexpr pyutil::Parameters kBad{"bad", {"x"}, 1, 1};

// The arguments received, as a dict of the names given.
template <std::size_t N>
PyObject* report(const char* const (&names)[N], const std::optional<std::array<PyObject*, N>>& arguments) {
  if (!arguments) return nullptr;
  pyutil::Ref result = pyutil::Ref::steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    if ((*arguments)[i] && PyDict_SetItemString(result.get(), names[i], (*arguments)[i]) < 0) return nullptr;
  }
  return result.release();
}

constexpr const char* kNames[] = {"a", "b", "c", "d"};

PyObject* fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return report(kNames, kFast.parse(args, nargs, kwnames));
}

PyObject* classic(PyObject*, PyObject* args, PyObject* kwargs) {
  return report(kNames, kClassic.parse(args, kwargs));
}

PyObject* exact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return kExact.parse(args, nargs, kwnames) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* kwonly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return kKeywordOnly.parse(args, nargs, kwnames) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* bad(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto arguments = kBad.parse(args, nargs, kwnames);
  if (arguments) kBad.bad_argument(0, "str", (*arguments)[0]);
  return nullptr;
}

PyObject* throw_kind(PyObject*, PyObject* kind_object) {
  const char* kind = PyUnicode_AsUTF8(kind_object);
  if (!kind) return nullptr;
  if (!std::strcmp(kind, "panic")) throw zarnu_core::Panic("boom");
  if (!std::strcmp(kind, "memory")) throw std::bad_alloc();
  if (!std::strcmp(kind, "runtime")) throw std::runtime_error("oops");
  if (!std::strcmp(kind, "unknown")) throw 42;
  return PyLong_FromLong(7);
}

int raise_int(PyObject*) { throw std::runtime_error("int"); }

PyObject* raise_in_int_slot(PyObject*, PyObject* arg) {
  int result = pyutil::wrap<&raise_int>(arg);
  if (result != -1 || !PyErr_Occurred()) return PyLong_FromLong(result);
  return nullptr;
}

void raise_void() { throw std::runtime_error("lost"); }

PyObject* raise_in_void_slot(PyObject*, PyObject*) {
  pyutil::wrap<&raise_void>();
  if (PyErr_Occurred()) return nullptr;
  return Py_NewRef(Py_None);
}

PyObject* panic_type(PyObject*, PyObject*) { return Py_XNewRef(pyutil::panic_exception_type()); }

PyObject* references(PyObject*, PyObject* object) {
  pyutil::Ref first = pyutil::Ref::borrow(object);
  pyutil::Ref second = std::move(first);
  pyutil::Ref third = pyutil::Ref::borrow(object);
  third = std::move(second);
  third = std::move(third);
  pyutil::Ref fourth = pyutil::Ref::steal(third.new_ref());
  pyutil::Ref fifth = pyutil::Ref::steal(fourth.release());
  if (first || second || fourth || !third || !fifth) throw zarnu_core::Panic("moved-from Ref not empty");
  return fifth.new_ref();
}

// Detaches, attaches again from the detached state, and reads a list under its critical section.
PyObject* threads(PyObject*, PyObject* list) {
  Py_ssize_t size = 0;
  {
    pyutil::Detached detached;
    pyutil::Attached attached;
    pyutil::CriticalSection section(list);
    size = PyList_GET_SIZE(list);
  }
  return PyLong_FromSsize_t(size);
}

PyMethodDef kMethods[] = {
    {"fast", pyutil::method<&fast>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"classic", pyutil::method<&classic>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"exact", pyutil::method<&exact>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"kwonly", pyutil::method<&kwonly>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"bad", pyutil::method<&bad>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"raise_", pyutil::method<&throw_kind>(), METH_O, nullptr},
    {"raise_in_int_slot", pyutil::method<&raise_in_int_slot>(), METH_O, nullptr},
    {"raise_in_void_slot", pyutil::method<&raise_in_void_slot>(), METH_NOARGS, nullptr},
    {"panic_type", pyutil::method<&panic_type>(), METH_NOARGS, nullptr},
    {"references", pyutil::method<&references>(), METH_O, nullptr},
    {"threads", pyutil::method<&threads>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_probe(PyObject*) { return 0; }

const zarnu_py::compat::ModuleSlots kSlots = zarnu_py::compat::definition_slots(exec_probe);

PyModuleDef kDefinition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_pyutil_probe",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = kMethods,
    .m_slots = const_cast<PyModuleDef_Slot*>(kSlots.data()),
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__pyutil_probe() { return PyModuleDef_Init(&kDefinition); }
"""


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    directory = tmp_path_factory.mktemp("probe")
    source = directory / "probe.cpp"
    source.write_text(PROBE)
    target = build_extension("_pyutil_probe", source, directory, "-O1", "-fvisibility=hidden", "-Wall", "-Wextra",
                             "-Wpedantic", "-Werror", f"-I{ROOT / 'python/src'}", f"-I{ROOT / 'core/src'}")
    spec = importlib.util.spec_from_file_location("_pyutil_probe", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("convention", ["fast", "classic"])
class TestParameters:
    def test_arguments_reach_their_parameters(self, probe, convention):
        f = getattr(probe, convention)
        assert f(1) == {"a": 1}
        assert f(1, 2, c=3, d=4) == {"a": 1, "b": 2, "c": 3, "d": 4}
        assert f(d=4, a=1) == {"a": 1, "d": 4}
        assert f(b=2, a=1) == {"a": 1, "b": 2}

    def test_none_counts_as_absent_for_optional_parameters(self, probe, convention):
        f = getattr(probe, convention)
        assert f(1, None, c=None, d=0) == {"a": 1, "d": 0}
        # A required one gets the None, so that its type check can name it.
        assert f(None) == {"a": None}
        assert f(a=None) == {"a": None}

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "{}() missing required argument 'a' (pos 1)"),
            ((), {"b": 2}, "{}() missing required argument 'a' (pos 1)"),
            ((1, 2, 3), {}, "{}() takes at most 2 positional arguments (3 given)"),
            ((1,), {"a": 1}, "{}() got multiple values for argument 'a'"),
            # A None given by position is still given.
            ((1, None), {"b": 2}, "{}() got multiple values for argument 'b'"),
            ((1,), {"x": 1}, "{}() got an unexpected keyword argument 'x'"),
            ((1,), {"é": 1}, "{}() got an unexpected keyword argument 'é'"),
            ((1,), {"A": 1}, "{}() got an unexpected keyword argument 'A'"),
        ],
    )
    def test_mistakes_raise_type_error(self, probe, convention, args, kwargs, message):
        with pytest.raises(TypeError) as raised:
            getattr(probe, convention)(*args, **kwargs)
        assert str(raised.value) == message.format(convention)


def test_positional_count_messages(probe):
    with pytest.raises(TypeError, match=r"^exact\(\) takes exactly 1 positional argument \(2 given\)$"):
        probe.exact(1, 2)
    with pytest.raises(TypeError, match=r"^kwonly\(\) takes no positional arguments$"):
        probe.kwonly(1)
    assert probe.kwonly(x=1) is None


def test_bad_argument_names_parameter_and_types(probe):
    with pytest.raises(TypeError, match=r"^bad\(\) argument 'x' must be str, not int$"):
        probe.bad(5)
    with pytest.raises(TypeError, match=r"^bad\(\) argument 'x' must be str, not None$"):
        probe.bad(None)


def test_cpp_exceptions_become_python_exceptions(probe):
    assert probe.raise_("nothing") == 7
    with pytest.raises(MemoryError):
        probe.raise_("memory")
    raised = []
    for kind, message in [("panic", "boom"), ("runtime", "oops"), ("unknown", "unknown C++ exception")]:
        with pytest.raises(BaseException) as info:
            probe.raise_(kind)
        assert str(info.value) == message
        raised.append(info.type)
    panic = probe.panic_type()
    assert all(kind is panic for kind in raised)
    assert (panic.__module__, panic.__name__) == ("zarnu", "PanicException")
    assert panic.__mro__ == (panic, BaseException, object)
    assert not hasattr(native, "PanicException")


def test_slots_report_failure_in_their_own_way(probe):
    with pytest.raises(BaseException, match="^int$") as info:
        probe.raise_in_int_slot(None)
    assert info.type is probe.panic_type()
    seen = []
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        assert probe.raise_in_void_slot() is None
    finally:
        sys.unraisablehook = hook
    assert [str(report.exc_value) for report in seen] == ["lost"]


def test_references_stay_balanced(probe):
    value = object()
    gc.collect()
    before = sys.getrefcount(value)
    for _ in range(1000):
        assert probe.references(value) is value
    assert sys.getrefcount(value) == before


def test_detach_and_attach_from_many_threads(probe):
    items = list(range(5))
    results = []

    def work():
        for _ in range(200):
            results.append(probe.threads(items))

    workers = [threading.Thread(target=work) for _ in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [5] * 1600
