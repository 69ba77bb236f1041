// Read analysis at the Python boundary: answers travel as the dict of their JSON form, so that a caller can
// store them, join them with `union_reads` and hand the "input" part to `Document.from_json`.
#include "reads_py.hpp"

#include <string>

#include "convert.hpp"
#include "pyutil.hpp"

namespace zarnu_py::reads_py {

namespace {

using zarnu_core::reads::Reads;

constexpr const char* kUnionDoc =
    "union_reads(reads)\n--\n\nWhat any of several expressions reads: the union of their `reads()`. Raises "
    "a `TypeError`\nwhen `reads` is not a list or a tuple, and a `ValueError` when an item is not in the "
    "form\n`reads()` returns.";

constexpr pyutil::Parameters kUnion{"union_reads", {"reads"}, 1, 1};

PyObject* union_reads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto parsed = kUnion.parse(args, nargs, kwnames);
  if (!parsed) return nullptr;
  // A list and a tuple both become an array; anything without a JSON form fails here.
  auto json = convert::to_json((*parsed)[0], "reads");
  if (!json) return nullptr;
  if (!json->is_array()) {
    PyErr_SetString(PyExc_TypeError, "reads must be a list");
    return nullptr;
  }
  Reads united;
  for (const auto& item : *json) {
    auto one = Reads::from_json(item);
    if (!one) {
      PyErr_Format(PyExc_ValueError, "invalid reads: %s", one.error().c_str());
      return nullptr;
    }
    united.unite(*one);
  }
  return to_py(united);
}

PyMethodDef kUnionDefinition = {"union_reads", pyutil::method<&union_reads>(), METH_FASTCALL | METH_KEYWORDS,
                                kUnionDoc};

}  // namespace

PyObject* to_py(const Reads& reads) {
  return convert::to_py(reads.serialize()).release();
}

PyMethodDef& union_reads_definition() {
  return kUnionDefinition;
}

}  // namespace zarnu_py::reads_py
