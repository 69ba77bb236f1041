// Reading Python containers for the core, one level at a time. Failures are never raised: they go back to
// the core as text, which ends the evaluation with U1004.
#include "source.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "convert.hpp"
#include "headroom.hpp"
#include "panic.hpp"

namespace zarnu_py::source {

using pyutil::Ref;
using zarnu_core::value::FieldOutcome;
using zarnu_core::value::Rc;
using zarnu_core::value::Value;

namespace {

// Room asked of a sink before the items arrive: a huge container costs no large allocation up front.
constexpr std::size_t kMostReserved = 65536;

// Whether putting an object runs no Python code: it is of an exact built-in type whose conversion the
// module does itself.
bool inert(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type || type == &PyDict_Type ||
         type == &PyList_Type || type == &PyTuple_Type || object == Py_None || type == &PyBool_Type;
}

// The first levels of the input are checked for a container that is its own ancestor by walking up the
// path; deeper ones by looking up where the container was met before.
constexpr std::uint32_t kWalked = 16;

}  // namespace

KeyCache::KeyCache() : map_(0, Hash{zarnu_core::hash::map_seed()}) {}

void KeyCache::add(std::string_view name) {
  if (find(name)) return;
  PyObject* interned = convert::string(name).release();
  PyUnicode_InternInPlace(&interned);
  names_.emplace_back(std::string(name), Ref::steal(interned));
  if (names_.size() <= kScanned) return;
  // The map refers to the names' own text, which moves when the list grows: it is made again.
  map_.clear();
  for (const auto& [text, string] : names_) map_.emplace(std::string_view(text), string.get());
}

// Puts Python objects into one sink: scalars as values, containers as lazy values over the level below the
// container being read.
class Writer {
 public:
  // A writer for the children of container `index` of `level`; for the input itself, no level.
  Writer(const KeyCache* keys, Level* level, std::uint32_t index)
      : keys_(keys), level_(level), index_(index) {}

  // Puts one object. `held` counts the references the caller holds on it besides the one of the container
  // it was found in.
  std::optional<std::string> put(PyObject* object, Sink& sink, Py_ssize_t held) {
    convert::Scalar s = convert::scalar(object);
    switch (s.index()) {
      case 0:
        sink.push(Value::null());
        return std::nullopt;
      case 1:
        sink.push(Value::boolean(std::get<bool>(s)));
        return std::nullopt;
      case 2:
        sink.push(Value::number(static_cast<double>(std::get<std::int64_t>(s))));
        return std::nullopt;
      case 3:
        sink.push(Value::number(std::get<double>(s)));
        return std::nullopt;
      case 4:
        sink.push(Value::string(std::get<convert::Text>(s).view()));
        return std::nullopt;
      case 5:
        return put_container(object, sink, held);
      default:
        return std::move(std::get<convert::Failure>(s).reason);
    }
  }

 private:
  std::optional<std::string> put_container(PyObject* object, Sink& sink, Py_ssize_t held) {
    // Not the container being read, nor the one it was found in, and so on up to the input.
    if (level_) {
      if (level_->encloses(object, held, index_)) return "Circular reference detected";
      if (!noted_) level_->note_parent(index_);
      noted_ = true;
    }
    Rc<Level> below = level_ ? level_->children() : Rc<Level>::make(keys_, Rc<Level>());
    std::uint32_t at = 0;
    if (level_) {
      const auto entered = level_->enter_below(*below, object, index_);
      if (!entered) return "too many lists and dicts in one level";
      at = *entered;
    } else {
      below->entries_.push_back({Ref::borrow(object), 0, 0});
    }
    zarnu_core::value::Pending pending{sink.shared(), std::move(below), nullptr};
    sink.push(PyDict_Check(object) ? zarnu_core::value::lazy_object(std::move(pending), at)
                                   : zarnu_core::value::lazy_array(std::move(pending), at));
    return std::nullopt;
  }

  const KeyCache* keys_;
  Level* level_;         // the level of the container being read; none for the input
  std::uint32_t index_;  // the container's index there
  bool noted_ = false;   // the container is known to hold containers
};

bool Level::encloses(PyObject* object, Py_ssize_t held, std::uint32_t index) const {
  // A container on that chain is held by its level besides its own container: one held by nothing more
  // than its container and the caller cannot be among them, and the check is spared.
  return Py_REFCNT(object) > held + 1 && on_path(object, index);
}

Level::Level(const KeyCache* keys, Rc<Level> parent) : keys_(keys), parent_(std::move(parent)) {
  if (!parent_) return;
  const Level* up = parent_.get();
  depth_ = up->depth_ + 1;
  top_ = up->top_;
  // Jumps of lengths 1, 1, 3, 1, 1, 3, 7, ...: any depth above is reached in a number of jumps
  // logarithmic in the distance.
  const Level* far = up->jump_;
  jump_ = up->depth_ - far->depth_ == far->depth_ - far->jump_->depth_ ? far->jump_ : up;
}

// Releasing the containers can run finalizers of objects that the evaluation alone kept alive.
Level::~Level() {
  try {
    headroom::call([this] { entries_.clear(); });
  } catch (...) {
    // No segment could be mapped: the containers are released here, as they are.
  }
  // The last level of a chain as deep as the evaluation read the input can release every level above it:
  // one after the other, not each from the destructor of the one below.
  Rc<Level> up = std::move(parent_);
  if (up && up->children_ == this) up->children_ = nullptr;
  while (up && up->refs == 1) {
    Rc<Level> next = std::move(up->parent_);
    if (next && next->children_ == up.get()) next->children_ = nullptr;
    up = std::move(next);  // the level released here no longer holds the one above
  }
}

Rc<Level> Level::children() {
  if (children_) return Rc<Level>::share(children_);
  Rc<Level> made = Rc<Level>::make(keys_, Rc<Level>::share(this));
  children_ = made.get();
  return made;
}

std::pair<const Level*, std::uint32_t> Level::ancestor(std::uint32_t index, std::uint32_t depth) const {
  const Level* level = this;
  while (level->depth_ > depth) {
    const Entry& entry = level->entries_[index];
    if (level->jump_->depth_ >= depth) {
      index = entry.jump;
      level = level->jump_;
    } else {
      index = entry.parent;
      level = level->parent_.get();
    }
  }
  return {level, index};
}

bool Level::on_path(PyObject* object, std::uint32_t index) const {
  const Level* level = this;
  if (depth_ >= kWalked) {
    if (entries_[index].container.get() == object) return true;
    auto found = top_->parents_.find(object);
    if (found != top_->parents_.end()) {
      auto is_ancestor_at = [&](std::uint32_t depth) {
        if (depth < kWalked || depth >= depth_) return false;
        auto [up, at] = ancestor(index, depth);
        return up->entries_[at].container.get() == object;
      };
      if (is_ancestor_at(found->second.first)) return true;
      for (std::uint32_t depth : found->second.more)
        if (is_ancestor_at(depth)) return true;
    }
    std::tie(level, index) = ancestor(index, kWalked - 1);
  }
  // The first levels: the container, then the one it was found in, and so on up to the input.
  for (; level; level = level->parent_.get()) {
    const Entry& entry = level->entries_[index];
    if (entry.container.get() == object) return true;
    index = entry.parent;
  }
  return false;
}

void Level::note_parent(std::uint32_t index) {
  if (depth_ < kWalked) return;
  auto [it, inserted] = top_->parents_.try_emplace(entries_[index].container.get());
  Depths& depths = it->second;
  if (inserted) {
    depths.first = depth_;
  } else if (depths.first != depth_ && (depths.more.empty() || depths.more.back() != depth_)) {
    depths.more.push_back(depth_);
  }
}

PyObject* Level::container(std::uint32_t index) const {
  if (index >= entries_.size()) zarnu_core::panic("a lazy value names a container its level does not have");
  return entries_[index].container.get();
}

std::optional<std::string> Level::read(std::uint32_t index, Sink& sink) {
  return headroom::call([&] { return read_whole(index, sink); });
}

FieldOutcome Level::read_field(std::uint32_t index, std::string_view key, Sink& slot, std::string& failure) {
  return headroom::call([&] { return read_one(index, key, slot, failure); });
}

std::optional<std::string> Level::read_whole(std::uint32_t index, Sink& sink) {
  PyObject* object = container(index);
  Writer writer(keys_, this, index);
  // Putting a child of an exact built-in type runs no Python code, so the container cannot change while
  // such children are put straight from it. From the first other child on (whose float conversion or
  // finalizer may change the container), the rest is taken first and put from there.
  std::vector<Ref> rest;
  if (PyList_CheckExact(object)) {
    pyutil::CriticalSection section(object);
    const Py_ssize_t size = PyList_GET_SIZE(object);
    sink.reserve(std::min(static_cast<std::size_t>(size), kMostReserved));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_GET_ITEM(object, i);
      if (!inert(item)) {
        rest.reserve(static_cast<std::size_t>(size - i));
        for (; i < size; ++i) rest.push_back(Ref::borrow(PyList_GET_ITEM(object, i)));
        break;
      }
      if (auto failure = writer.put(item, sink, 0)) return failure;
    }
  } else if (PyDict_CheckExact(object)) {
    pyutil::CriticalSection section(object);
    sink.reserve(std::min(static_cast<std::size_t>(PyDict_GET_SIZE(object)), kMostReserved));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object, &position, &key, &value)) {
      if (!rest.empty() || !PyUnicode_CheckExact(key) || !inert(value)) {
        rest.push_back(Ref::borrow(key));
        rest.push_back(Ref::borrow(value));
        continue;
      }
      sink.set_key(convert::text(key).view());
      if (auto failure = writer.put(value, sink, 0)) return failure;
    }
  } else {
    rest = convert::children(object);
    sink.reserve(std::min(rest.size(), kMostReserved));
  }
  if (!PyDict_Check(object)) {
    for (const Ref& item : rest)
      if (auto failure = writer.put(item.get(), sink, 1)) return failure;
    return std::nullopt;
  }
  for (std::size_t i = 0; i < rest.size(); i += 2) {
    auto key = convert::key(rest[i].get());
    if (!key) return std::move(key).error();
    sink.set_key(key->view());
    if (auto failure = writer.put(rest[i + 1].get(), sink, 1)) return failure;
  }
  return std::nullopt;
}

FieldOutcome Level::read_one(std::uint32_t index, std::string_view key, Sink& slot, std::string& failure) {
  PyObject* object = container(index);
  if (!PyDict_Check(object)) return FieldOutcome::NotSupported;
  const Ref name = key_string(key);
  PyObject* found = nullptr;
  const int outcome = compat::dict_get_ref(object, name.get(), &found);
  if (outcome < 0) {
    failure = convert::take_exception_text();
    return FieldOutcome::Failed;
  }
  if (outcome == 0) return FieldOutcome::Handled;
  Ref value = Ref::steal(found);
  if (auto put = Writer(keys_, this, index).put(value.get(), slot, 1)) {
    failure = std::move(*put);
    return FieldOutcome::Failed;
  }
  return FieldOutcome::Handled;
}

namespace {

// Item `i` of a list, or none past its end. Looking a key up can run Python code (a key's __eq__) that
// changes the list, and another thread may change it too: each item is taken on its own.
Ref item_at(PyObject* list, std::size_t i) {
  pyutil::CriticalSection section(list);
  if (i >= static_cast<std::size_t>(PyList_GET_SIZE(list))) return Ref();
  return Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
}

}  // namespace

std::optional<std::size_t> Level::plain_items(std::uint32_t index) {
  PyObject* list = container(index);
  if (!PyList_CheckExact(list)) return std::nullopt;
  // Only type checks: no Python code runs and nothing is read.
  pyutil::CriticalSection section(list);
  const Py_ssize_t size = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || item == Py_None || type == &PyBool_Type) continue;
    // A record among the list's own ancestors fails the whole read.
    if (type == &PyDict_Type) {
      if (encloses(item, 0, index)) return std::nullopt;
      continue;
    }
    // An int too large for 64 bits reads through a conversion that can fail.
    int overflow = 0;
    if (type == &PyLong_Type && (PyLong_AsLongLongAndOverflow(item, &overflow), !overflow)) continue;
    return std::nullopt;
  }
  return static_cast<std::size_t>(size);
}

FieldOutcome Level::read_item(std::uint32_t index, std::size_t position, Sink& slot, std::string& failure) {
  return headroom::call([&] {
    PyObject* list = container(index);
    if (!PyList_CheckExact(list)) return FieldOutcome::NotSupported;
    Ref item = item_at(list, position);
    if (!item) return FieldOutcome::NotSupported;
    if (auto put = Writer(keys_, this, index).put(item.get(), slot, 1)) {
      failure = std::move(*put);
      return FieldOutcome::Failed;
    }
    return FieldOutcome::Handled;
  });
}

FieldOutcome Level::read_members(std::uint32_t index, std::string_view key, Sink& sink,
                                 std::string& failure) {
  return headroom::call([&] { return members(index, key, sink, failure); });
}

Ref Level::key_string(std::string_view key) const {
  if (PyObject* name = keys_ ? keys_->find(key) : nullptr) return Ref::borrow(name);
  return convert::string(key);
}

std::optional<std::string> Level::put_item_member(std::uint32_t index, PyObject* item, PyObject* name,
                                                  Sink& sink, Found& found) {
  found = Found::Nothing;
  PyObject* got = nullptr;
  const int outcome = compat::dict_get_ref(item, name, &got);
  if (outcome < 0) return convert::take_exception_text();
  if (outcome == 0) return std::nullopt;
  Ref value = Ref::steal(got);
  // Only a finite float or an int is surely a number (or a failure).
  PyTypeObject* type = Py_TYPE(got);
  found = type == &PyLong_Type || (type == &PyFloat_Type && std::isfinite(PyFloat_AS_DOUBLE(got)))
              ? Found::Number
              : Found::Other;
  return put_member(item, index, got, sink);
}

FieldOutcome Level::members(std::uint32_t index, std::string_view key, Sink& sink, std::string& failure) {
  PyObject* list = container(index);
  const Ref name = key_string(key);
  for (std::size_t i = 0;; ++i) {
    Ref item = item_at(list, i);
    if (!item) break;
    if (!PyDict_CheckExact(item.get())) continue;
    Found found = Found::Nothing;
    if (auto failed = put_item_member(index, item.get(), name.get(), sink, found)) {
      failure = std::move(*failed);
      return FieldOutcome::Failed;
    }
  }
  return FieldOutcome::Handled;
}

FieldOutcome Level::read_numbers(std::uint32_t index, std::size_t& position, std::string_view key, Sink& sink,
                                 std::string& failure) {
  return headroom::call([&] {
    PyObject* list = container(index);
    if (!PyList_CheckExact(list)) return FieldOutcome::NotSupported;
    const Ref name = key_string(key);
    for (;; ++position) {
      Ref item = item_at(list, position);
      if (!item) break;
      Found found = Found::Nothing;
      if (PyDict_CheckExact(item.get())) {
        if (auto failed = put_item_member(index, item.get(), name.get(), sink, found)) {
          failure = std::move(*failed);
          return FieldOutcome::Failed;
        }
      }
      if (found == Found::Nothing) sink.push(Value());
      if (found == Found::Other) {
        ++position;
        break;
      }
    }
    return FieldOutcome::Handled;
  });
}

std::optional<std::string> Level::put_member(PyObject* object, std::uint32_t index, PyObject* found,
                                             Sink& sink) {
  if (!PyDict_Check(found) && !PyList_Check(found) && !PyTuple_Check(found))
    return Writer(keys_, this, index).put(found, sink, 1);
  // A container found is a lazy value whose ancestors are known: the object it was found in takes its
  // place in the level below, as it would had the list been read whole.
  Rc<Level> below = children();
  const auto at = enter_below(*below, object, index);
  if (!at) return "too many lists and dicts in one level";
  return Writer(keys_, below.get(), *at).put(found, sink, 1);
}

std::optional<std::uint32_t> Level::enter_below(Level& below, PyObject* object, std::uint32_t index) {
  if (below.entries_.size() >= std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  const auto at = static_cast<std::uint32_t>(below.entries_.size());
  // The jump of the entry goes where the level's jump goes: to the container's level, or two jumps on.
  const std::uint32_t jump = below.jump_ == this ? index : jump_->entries_[entries_[index].jump].jump;
  below.entries_.push_back({Ref::borrow(object), index, jump});
  return at;
}

std::optional<std::string> PySource::read(Sink& sink) {
  return headroom::call([&] { return Writer(keys_, nullptr, 0).put(input_.get(), sink, 1); });
}

}  // namespace zarnu_py::source
