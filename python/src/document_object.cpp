// zarnu.Document: made from a Python object (converted to JSON at once) or from JSON text (parsed at once,
// detached, as a check and as the creating thread's copy), and the per-thread copies every evaluation
// against it uses.
#include "document_object.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "entry.hpp"
#include "pyutil.hpp"
#include "support/stack.hpp"
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
  Slots slots;
};

// This thread's copies, in the order they were made. An entry whose document died is dropped at the
// thread's next evaluation or conversion; the rest go with the thread.
struct Copy {
  std::weak_ptr<const Source> source;
  zarnu_core::value::Value value;
};
thread_local std::vector<Copy> t_copies;

// Takes the copies of dead documents out of the list before releasing any of them: releasing a large copy
// offers other threads turns, and a turn runs Python code (a signal handler, a profile hook) that may make
// or evaluate against a document on this thread, dropping and adding copies itself. Nothing walks the list
// while a copy goes. False, every copy still in the list, when there is no memory to take them out.
bool drop_dead() noexcept {
  const auto dead = std::stable_partition(t_copies.begin(), t_copies.end(),
                                          [](const Copy& copy) { return !copy.source.expired(); });
  if (dead == t_copies.end()) return true;
  std::vector<Copy> gone;
  try {
    gone.reserve(static_cast<std::size_t>(t_copies.end() - dead));
  } catch (const std::bad_alloc&) {
    return false;
  }
  gone.insert(gone.end(), std::make_move_iterator(dead), std::make_move_iterator(t_copies.end()));
  t_copies.erase(dead, t_copies.end());
  return true;
}

DocumentObject& of(PyObject* self) {
  return *reinterpret_cast<DocumentObject*>(self);
}

// A new Document, out of the collector's sight (so that nothing, not even gc.get_objects() on another
// thread, can reach it) until `ready` says its slots are grown.
Ref make(PyTypeObject* type, std::shared_ptr<const Source> source) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return self;
  PyObject_GC_UnTrack(self.get());
  // The allocation zeroed the object, and a zeroed shared_ptr is an empty one: nothing is overwritten.
  new (&of(self.get()).slots) Slots();
  new (&of(self.get()).source) std::shared_ptr<const Source>(std::move(source));
  return self;
}

PyObject* ready(Ref self) {
  PyObject_GC_Track(self.get());
  return self.release();
}

// The string values of JSON data, counted the way its conversion meets them.
std::size_t count_strings(const Json& data, std::size_t depth) {
  if (data.is_string()) return 1;
  if (!data.is_structured()) return 0;
  std::size_t count = 0;
  for (const Json& item : data)
    count += zarnu_core::stack::nest(depth + 1, [&] { return count_strings(item, depth + 1); });
  return count;
}

// Marks the strings a copy of a document makes: what they hold is their slot, which belongs to the
// document, so there is nothing to release.
void release_slot(void*) noexcept {}

// Makes the strings of one conversion hosted by their slots, numbering them as they come; when it is the
// document's first conversion, made before anyone else sees the document, it makes the slots too.
struct Numbering {
  const Slots& slots;
  Slots* growing = nullptr;
  std::size_t next = 0;

  static zarnu_core::value::Str make(void* context, std::string_view text) {
    auto& self = *static_cast<Numbering*>(context);
    const std::size_t k = self.next++;
    if (self.growing && k >= self.growing->size()) self.growing->reserve(k + 1);
    std::atomic<PyObject*>* slot = self.slots.at(k);
    // Every conversion of a source meets as many strings as the first: this only guards the slots.
    if (!slot) return zarnu_core::value::Str::make(text);
    return zarnu_core::value::Str::hosted(text, {slot, &release_slot});
  }
};

// This thread's copy of a source (see `converted`); the first conversion of a document grows its slots.
zarnu_core::document::Parsed<zarnu_core::value::Value> convert(const std::shared_ptr<const Source>& source,
                                                               Numbering& numbering,
                                                               const zarnu_core::PollHook* poll) {
  // Dead entries go first, so that a new source made where a dead one was can never match it.
  drop_dead();
  for (const Copy& copy : t_copies) {
    if (!copy.source.owner_before(source) && !source.owner_before(copy.source)) return copy.value;
  }
  const zarnu_core::value::StringMaker strings{&numbering, &Numbering::make};
  zarnu_core::value::Value value;
  if (const auto* json = std::get_if<Json>(source.get())) {
    value = zarnu_core::value::from_json(*json, &strings);
  } else {
    const Text& text = std::get<Text>(*source);
    auto parsed = text.read ? zarnu_core::document::Document::parse_cut(text.text, *text.read, poll, &strings)
                            : zarnu_core::document::Document::parse(text.text, poll, &strings);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    value = std::move(parsed->value);
  }
  t_copies.push_back({source, value});
  return value;
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
  entry::let_go();
  auto arguments = kNew.parse(args, kwargs);
  if (!arguments) return nullptr;
  auto json = convert::to_json((*arguments)[0], "the document");
  if (!json) return nullptr;
  const std::size_t strings = count_strings(*json, 0);
  Ref self = make(type, std::make_shared<const Source>(std::move(*json)));
  if (!self) return nullptr;
  of(self.get()).slots.reserve(strings);
  return ready(std::move(self));
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  entry::let_go();
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
  Ref self = make(reinterpret_cast<PyTypeObject*>(type()), std::make_shared<const Source>(std::move(source)));
  if (!self) return nullptr;
  DocumentObject& document = of(self.get());
  std::optional<zarnu_core::document::ParseError> failure;
  // A long text is parsed with polls: Ctrl-C stops it.
  watch::Watch watch(false);
  const zarnu_core::PollHook poll = watch.hook();
  {
    pyutil::Detached detached;
    // Parsed now, so that bad text fails here and the slots are counted; the copy stays for this thread's
    // evaluations.
    Numbering numbering{document.slots, &document.slots};
    auto copy = convert(document.source, numbering, &poll);
    if (!copy) failure = std::move(copy.error());
  }
  if (watch.raise()) return nullptr;
  if (failure) {
    PyErr_Format(PyExc_ValueError, "the document is not valid JSON: %s", parse_error_text(*failure).c_str());
    return nullptr;
  }
  return ready(std::move(self));
}

void document_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  of(self).source.~shared_ptr();
  // Counted once the source is gone, so that a thread that sees the count finds its copy's source dead.
  detail::g_deaths.fetch_add(1, std::memory_order_release);
  // The strs handed out stay with whoever holds them; the copies of this document that other threads still
  // keep never read their slots again (no evaluation can name a dead document).
  of(self).slots.~Slots();
  type->tp_free(self);
  Py_DECREF(type);
}

// The strs of its slots can refer to nothing: only its type is visited, and there is nothing to clear.
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

namespace detail {

std::atomic<std::uint64_t> g_deaths{0};
constinit thread_local std::uint64_t t_dropped = 0;

void drop_dead_copies_now() noexcept {
  // Read first: a document that dies while the copies are looked at counts again for the next look.
  const std::uint64_t deaths = g_deaths.load(std::memory_order_acquire);
  if (drop_dead()) t_dropped = deaths;
}

}  // namespace detail

PyObject* type() {
  static constinit pyutil::ProcessObject made;
  return made.get([] { return PyType_FromSpec(&kDefinition); });
}

const std::shared_ptr<const Source>& source_of(PyObject* document) {
  return of(document).source;
}

const Slots& slots_of(PyObject* document) {
  return of(document).slots;
}

zarnu_core::document::Parsed<zarnu_core::value::Value> converted(const std::shared_ptr<const Source>& source,
                                                                 const Slots& slots,
                                                                 const zarnu_core::PollHook* poll) {
  Numbering numbering{slots};
  return convert(source, numbering, poll);
}

std::atomic<PyObject*>* slot_of(const zarnu_core::value::HostText* host) noexcept {
  if (!host || host->release != &release_slot) return nullptr;
  return static_cast<std::atomic<PyObject*>*>(host->object);
}

Ref share(std::atomic<PyObject*>& slot, Ref made) {
  PyObject* stored = nullptr;
  // Released so that a thread that finds the str in the slot sees it whole.
  if (slot.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    Py_INCREF(made.get());  // the slot's reference
    return made;
  }
  return Ref::borrow(stored);
}

Slots::~Slots() {
  for (std::size_t k = 0; k < size_; ++k) Py_XDECREF(at(k)->load(std::memory_order_relaxed));
}

std::size_t Slots::chunk_of(std::size_t k) noexcept {
  return static_cast<std::size_t>(std::bit_width(k / kFirst + 1)) - 1;
}

void Slots::reserve(std::size_t count) {
  while (count > 0 && chunk_of(count - 1) >= chunks_.size()) {
    const std::size_t length = kFirst << chunks_.size();
    auto chunk = std::make_unique<std::atomic<PyObject*>[]>(length);
    for (std::size_t i = 0; i < length; ++i) chunk[i].store(nullptr, std::memory_order_relaxed);
    chunks_.push_back(std::move(chunk));
  }
  size_ = std::max(size_, count);
}

std::atomic<PyObject*>* Slots::at(std::size_t k) const noexcept {
  if (k >= size_) return nullptr;
  const std::size_t chunk = chunk_of(k);
  return &chunks_[chunk][k - kFirst * ((std::size_t{1} << chunk) - 1)];
}

std::string parse_error_text(const zarnu_core::document::ParseError& error) {
  return error.line == 0 ? error.reason : error.text();
}

}  // namespace zarnu_py::document_object
