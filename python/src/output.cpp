// The Python result builder. Making an object fails only when memory runs out, which becomes MemoryError;
// the other failures (a dict refusing an item) are kept and raised once the walk is over.
#include "output.hpp"

#include <new>
#include <utility>

#include "convert.hpp"
#include "headroom.hpp"
#include "source.hpp"

namespace zarnu_py::output {

using pyutil::Ref;

PyBuilder::PyBuilder() : more_keys_(0, KeyHash{zarnu_core::hash::map_seed()}) {}

Ref PyBuilder::null() {
  return Ref::borrow(Py_None);
}

Ref PyBuilder::boolean(bool b) {
  return Ref::borrow(b ? Py_True : Py_False);
}

Ref PyBuilder::number(double x) {
  return convert::number(x);
}

Ref PyBuilder::string(std::string_view s) {
  return convert::string(s);
}

Ref PyBuilder::string(std::string_view s, const zarnu_core::value::HostText* host) {
  if (host && host->release == &source::release_text)
    return Ref::borrow(static_cast<PyObject*>(host->object));
  return convert::string(s);
}

// Making a list or a dict can run the garbage collector (3.11 collects at once), and with it finalizers:
// Python code, which gets its stack room through headroom::call. Strings and numbers are not collected.
Ref PyBuilder::end_array(std::vector<Ref> items) {
  return headroom::call([&] {
    Ref list = convert::made(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
  });
}

Ref PyBuilder::object(std::size_t) {
  return headroom::call([] { return convert::made(PyDict_New()); });
}

PyObject* PyBuilder::key(std::string_view text) {
  for (const auto& [known, string] : first_keys_)
    if (known == text) return string.get();
  if (first_keys_.size() < kScanned) {
    first_keys_.emplace_back(std::string(text), convert::string(text));
    return first_keys_.back().second.get();
  }
  auto found = more_keys_.find(text);
  if (found == more_keys_.end()) found = more_keys_.emplace(std::string(text), convert::string(text)).first;
  return found->second.get();
}

void PyBuilder::insert(Ref& object, std::string_view key_text, Ref value) {
  if (PyDict_SetItem(object.get(), key(key_text), value.get()) < 0) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    keep_error();
  }
}

void PyBuilder::keep_error() {
  Ref error = Ref::steal(compat::fetch_exception());
  if (!error_) error_ = std::move(error);
}

}  // namespace zarnu_py::output
