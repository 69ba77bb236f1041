// zarnu.Document: made from a Python object (converted to JSON at once) or from JSON text (parsed at once,
// detached, as a check and as the creating thread's copy), and the per-thread copies every evaluation
// against it uses.
#include "document_object.hpp"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "pyutil.hpp"
#include "value/from_json.hpp"
#include "watch.hpp"

namespace zarnu_py::document_object {

using pyutil::Ref;
using zarnu_core::json::Json;
using zarnu_core::reads::Read;

namespace {

struct DocumentObject {
  PyObject ob_base;
  std::shared_ptr<const Source> source;  // null only while the object is being made
};

// This thread's copies, in the order they were made. An entry whose document died is dropped at the
// thread's next conversion; the rest go with the thread.
struct Copy {
  std::weak_ptr<const Source> source;
  zarnu_core::value::Value value;
};
thread_local std::vector<Copy> t_copies;

DocumentObject& of(PyObject* self) {
  return *reinterpret_cast<DocumentObject*>(self);
}

PyObject* make(PyTypeObject* type, std::shared_ptr<const Source> source) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  // The allocation zeroed the object, and a zeroed shared_ptr is an empty one: nothing is overwritten.
  new (&of(self).source) std::shared_ptr<const Source>(std::move(source));
  return self;
}

constexpr const char* kDoc =
    "Document(value)\n--\n\nA JSON document converted once, for evaluating several expressions (or one "
    "several times)\nagainst it. It can be shared between threads: each thread converts it into zarnu's "
    "internal\nrepresentation the first time it evaluates against it, and keeps that copy while the\n"
    "document lives.";

constexpr const char* kFromJsonDoc =
    "from_json(text, read=None)\n--\n\nParses JSON text. With `read` (the `\"input\"` of `reads()` or of "
    "`union_reads()`), the\nfields it leaves out are skipped: they are checked as JSON syntax only.";

constexpr pyutil::Parameters kNew{"Document", {"value"}, 1, 1};
constexpr pyutil::Parameters kFromJson{"from_json", {"text", "read"}, 2, 1};

PyObject* document_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto arguments = kNew.parse(args, kwargs);
  if (!arguments) return nullptr;
  auto json = convert::to_json((*arguments)[0], "the document");
  if (!json) return nullptr;
  return make(type, std::make_shared<const Source>(std::move(*json)));
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto arguments = kFromJson.parse(args, nargs, kwnames);
  if (!arguments) return nullptr;
  PyObject* text = (*arguments)[0];
  if (!PyUnicode_Check(text)) {
    kFromJson.bad_argument(0, "str", text);
    return nullptr;
  }
  Text source{std::string(convert::text(text).view()), std::nullopt};
  if (PyObject* given = (*arguments)[1]) {
    auto json = convert::to_json(given, "read");
    if (!json) return nullptr;
    auto read = Read::from_json(*json);
    if (!read) {
      PyErr_Format(PyExc_ValueError, "invalid read: %s", read.error().c_str());
      return nullptr;
    }
    source.read = std::move(*read);
  }
  auto shared = std::make_shared<const Source>(std::move(source));
  std::optional<zarnu_core::document::ParseError> failure;
  // A long text is parsed with polls: Ctrl-C stops it.
  watch::Watch watch(false);
  const zarnu_core::PollHook poll = watch.hook();
  {
    pyutil::Detached detached;
    // Parsed now, so that bad text fails here; the copy stays for this thread's evaluations.
    auto copy = converted(shared, &poll);
    if (!copy) failure = std::move(copy.error());
  }
  if (watch.raise()) return nullptr;
  if (failure) {
    PyErr_Format(PyExc_ValueError, "the document is not valid JSON: %s", parse_error_text(*failure).c_str());
    return nullptr;
  }
  return make(reinterpret_cast<PyTypeObject*>(type()), std::move(shared));
}

void document_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  of(self).source.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// It holds no Python object: only its type is visited, and there is nothing to clear.
int document_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int document_clear(PyObject*) {
  return 0;
}

PyMethodDef kMethods[] = {
    {"from_json", pyutil::method<&from_json>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kFromJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, pyutil::slot<&document_new>()},
    {Py_tp_dealloc, pyutil::slot<&document_dealloc>()},
    {Py_tp_traverse, pyutil::slot<&document_traverse>()},
    {Py_tp_clear, pyutil::slot<&document_clear>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kDefinition = {
    .name = "zarnu.Document",
    .basicsize = sizeof(DocumentObject),
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

const std::shared_ptr<const Source>& source_of(PyObject* document) {
  return of(document).source;
}

zarnu_core::document::Parsed<zarnu_core::value::Value> converted(const std::shared_ptr<const Source>& source,
                                                                 const zarnu_core::PollHook* poll) {
  // Dead entries go first, so that a new source made where a dead one was can never match it.
  std::erase_if(t_copies, [](const Copy& copy) { return copy.source.expired(); });
  for (const Copy& copy : t_copies) {
    if (!copy.source.owner_before(source) && !source.owner_before(copy.source)) return copy.value;
  }
  zarnu_core::value::Value value;
  if (const auto* json = std::get_if<Json>(source.get())) {
    value = zarnu_core::value::from_json(*json);
  } else {
    const Text& text = std::get<Text>(*source);
    auto parsed = text.read ? zarnu_core::document::Document::parse_cut(text.text, *text.read, poll)
                            : zarnu_core::document::Document::parse(text.text, poll);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    value = std::move(parsed->value);
  }
  t_copies.push_back({source, value});
  return value;
}

std::string parse_error_text(const zarnu_core::document::ParseError& error) {
  return error.line == 0 ? error.reason : error.text();
}

}  // namespace zarnu_py::document_object
