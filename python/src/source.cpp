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
#include "support/panic.hpp"
#include "watch.hpp"

namespace zarnu_py::source {

using pyutil::Ref;
using zarnu_core::value::FieldOutcome;
using zarnu_core::value::Rc;
using zarnu_core::value::Value;

namespace {

// Room asked of a sink before the items arrive: a huge container costs no large allocation up front.
constexpr std::size_t kMostReserved = 65536;

// The text of the Python exception being raised, which is cleared. An exception that is not an error
// (KeyboardInterrupt, SystemExit) also stops the evaluation, and leaves it as itself.
std::string failure_text() {
  if (!convert::stopping()) return convert::take_exception_text();
  Ref exception = Ref::steal(compat::fetch_exception());
  std::string text = convert::exception_text(exception.get());
  if (watch::Watch* watch = watch::current()) watch->stop(std::move(exception));
  return text;
}

// The text a read stopped by its poll fails with; the road raises the stopping exception in its place.
std::string stopped_text() {
  return "the evaluation was stopped";
}

// go_on for the reads that hand their failure back through `failure`.
bool go_on(std::size_t i, std::string& failure) {
  if (convert::go_on(i)) return true;
  failure = stopped_text();
  return false;
}

// The first levels of the input are checked for a container that is its own ancestor by walking up the
// path; deeper ones by looking up where the container was met before.
constexpr std::uint32_t kWalked = 16;

bool is_container(PyObject* object) noexcept {
  return PyDict_Check(object) || PyList_Check(object) || PyTuple_Check(object);
}

}  // namespace

void release_text(void* str) noexcept {
  Py_DECREF(static_cast<PyObject*>(str));
}

zarnu_core::value::Value string_value(PyObject* string, const convert::Text& text) {
  if (Py_TYPE(string) != &PyUnicode_Type || text.made()) return zarnu_core::value::Value::string(text.view());
  return zarnu_core::value::Value::string(
      zarnu_core::value::Str::hosted(text.view(), {Py_NewRef(string), &release_text}));
}

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
        sink.push(string_value(object, std::get<convert::Text>(s)));
        return std::nullopt;
      case 5:
        return put_container(object, sink, held);
      default: {
        convert::Failure& failure = std::get<convert::Failure>(s);
        return failure.raised ? failure_text() : std::move(failure.reason);
      }
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
  serial_ = ++top_->levels_;
  // Jumps of lengths 1, 1, 3, 1, 1, 3, 7, ...: any depth above is reached in a number of jumps
  // logarithmic in the distance.
  const Level* far = up->jump_;
  jump_ = up->depth_ - far->depth_ == far->depth_ - far->jump_->depth_ ? far->jump_ : up;
}

// Releasing the containers can run finalizers of objects that the evaluation alone kept alive.
Level::~Level() {
  Rc<Level> up = std::move(parent_);
  if (up && up->children_ == this) up->children_ = nullptr;
  // Nothing can reach this level any more: its references go a part at a time.
  const auto release = [this] noexcept {
    convert::release_in_parts(frozen_items_, 0);
    convert::release_in_parts(entries_, 0);
  };
  try {
    headroom::call(release);
  } catch (...) {
    // No segment could be mapped: the containers are released here, as they are.
  }
  // The last level of a chain as deep as the evaluation read the input can release every level above it:
  // one after the other, not each from the destructor of the one below.
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
    const std::uint32_t checked = index;
    if (entries_[index].container.get() == object) return true;
    auto found = top_->parents_.find(object);
    if (found != top_->parents_.end()) {
      Depths& seen = found->second;
      const auto is_ancestor_at = [&](std::uint32_t depth) {
        auto [up, at] = ancestor(index, depth);
        return up->entries_[at].container.get() == object;
      };
      // Walking down a path, the container checked last for this object is usually an ancestor of this
      // one: then only the depths between the two are left to look at, and an object met at every depth
      // costs a few steps per depth, not one per depth above.
      std::uint32_t from = kWalked;
      if (seen.cleared_serial != 0 && seen.cleared_depth <= depth_) {
        auto [up, at] = ancestor(index, seen.cleared_depth);
        if (up->serial_ == seen.cleared_serial && at == seen.cleared_index)
          from = std::max(from, seen.cleared_depth + 1);
      }
      auto depth = std::lower_bound(seen.depths.begin(), seen.depths.end(), from);
      for (; depth != seen.depths.end() && *depth < depth_; ++depth)
        if (is_ancestor_at(*depth)) return true;
    }
    std::tie(level, index) = ancestor(index, kWalked - 1);
    // The first levels: the container, then the one it was found in, and so on up to the input.
    for (std::uint32_t at = index; level; level = level->parent_.get()) {
      const Entry& entry = level->entries_[at];
      if (entry.container.get() == object) return true;
      at = entry.parent;
    }
    if (found != top_->parents_.end()) {
      found->second.cleared_serial = serial_;
      found->second.cleared_depth = depth_;
      found->second.cleared_index = checked;
    }
    return false;
  }
  for (; level; level = level->parent_.get()) {
    const Entry& entry = level->entries_[index];
    if (entry.container.get() == object) return true;
    index = entry.parent;
  }
  return false;
}

void Level::note_parent(std::uint32_t index) {
  if (depth_ < kWalked) return;
  std::vector<std::uint32_t>& depths = top_->parents_[entries_[index].container.get()].depths;
  if (depths.empty() || depths.back() < depth_) {
    depths.push_back(depth_);
    return;
  }
  auto at = std::lower_bound(depths.begin(), depths.end(), depth_);
  if (*at != depth_) depths.insert(at, depth_);
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

Level::Run Level::items(std::uint32_t index) {
  if (index >= entries_.size()) zarnu_core::panic("a lazy value names a container its level does not have");
  if (const std::uint32_t frozen = entries_[index].frozen) return runs_[frozen - 1];
  if (runs_.size() >= std::numeric_limits<std::uint32_t>::max()) zarnu_core::panic("too many lists read");
  // A list's children are only references taken: no Python code runs, nothing can fail.
  Run run{frozen_items_.size(), 0};
  convert::append_children(entries_[index].container.get(), frozen_items_);
  run.size = frozen_items_.size() - run.start;
  runs_.push_back(run);
  entries_[index].frozen = static_cast<std::uint32_t>(runs_.size());
  return run;
}

std::optional<std::string> Level::read_whole(std::uint32_t index, Sink& sink) {
  PyObject* object = container(index);
  Writer writer(keys_, this, index);
  // A list already read item by item is read from what those reads took.
  if (const std::uint32_t frozen = entries_[index].frozen) {
    const Run run = runs_[frozen - 1];
    sink.reserve(std::min(run.size, kMostReserved));
    for (std::size_t i = 0; i < run.size; ++i) {
      if (auto failure = writer.put(item(run, i), sink, 1)) return failure;
      if (!convert::go_on(i)) return stopped_text();
    }
    return std::nullopt;
  }
  // The children are taken first, each with a reference of its own, and put from there: putting one can
  // run Python code (a str's encoding runs the collector and finalizers, a subclass its conversions) that
  // changes the container.
  const std::size_t start = reading_.size();
  if (!convert::append_children(object, reading_)) return failure_text();
  struct Release {
    std::vector<Ref>& taken;
    std::size_t start;
    ~Release() { convert::release_from(taken, start); }
  } release{reading_, start};
  const std::size_t count = reading_.size() - start;
  const auto child = [&](std::size_t i) { return reading_[start + i].get(); };
  if (!PyDict_Check(object)) {
    sink.reserve(std::min(count, kMostReserved));
    for (std::size_t i = 0; i < count; ++i) {
      if (auto failure = writer.put(child(i), sink, 1)) return failure;
      if (!convert::go_on(i)) return stopped_text();
    }
    return std::nullopt;
  }
  sink.reserve(std::min(count / 2, kMostReserved));
  for (std::size_t i = 0; i < count; i += 2) {
    auto key = convert::key(child(i));
    if (!key) return std::move(key).error();
    sink.set_key(key->view());
    if (auto failure = writer.put(child(i + 1), sink, 1)) return failure;
    if (!convert::go_on(i / 2)) return stopped_text();
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
    failure = failure_text();
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

std::optional<std::size_t> Level::plain_items(std::uint32_t index) {
  if (!PyList_CheckExact(container(index))) return std::nullopt;
  // The list's items are taken once: every later read of it, item by item or whole, sees these, so that a
  // record kept is the record tested. Only type checks follow, and the polls of a long list, whose turns
  // cannot take the items held.
  const Run run = items(index);
  const auto plain = [&](PyObject* item) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || item == Py_None || type == &PyBool_Type)
      return true;
    // A record among the list's own ancestors fails the whole read.
    if (type == &PyDict_Type) return !encloses(item, 1, index);
    // An int too large for 64 bits reads through a conversion that can fail.
    int overflow = 0;
    return type == &PyLong_Type && (PyLong_AsLongLongAndOverflow(item, &overflow), !overflow);
  };
  // A stopped evaluation reads the list the general way, whose first poll ends it.
  for (std::size_t i = 0; i < run.size; ++i)
    if (!plain(item(run, i)) || !convert::go_on(i)) return std::nullopt;
  return run.size;
}

FieldOutcome Level::read_item(std::uint32_t index, std::size_t position, Sink& slot, std::string& failure) {
  return headroom::call([&] {
    if (!PyList_CheckExact(container(index))) return FieldOutcome::NotSupported;
    const Run run = items(index);
    if (position >= run.size) return FieldOutcome::NotSupported;
    if (auto put = Writer(keys_, this, index).put(item(run, position), slot, 1)) {
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
  // Record after record, the same few names are looked up through the same text of the expression: a
  // name found is remembered by where that text lies, and the text is checked again on every use.
  for (const Named& named : named_)
    if (named.data == key.data() && named.text == key) return Ref::borrow(named.str);
  if (PyObject* name = keys_ ? keys_->find(key) : nullptr) {
    named_[next_named_] = {key.data(), keys_->text(name), name};
    next_named_ = (next_named_ + 1) % named_.size();
    return Ref::borrow(name);
  }
  return convert::string(key);
}

bool Level::member_of(PyObject* record, PyObject* name, Ref& found, std::string& failure) {
  PyObject* got = nullptr;
  const int outcome = compat::dict_get_ref(record, name, &got);
  if (outcome < 0) {
    failure = failure_text();
    return false;
  }
  found = outcome == 0 ? Ref() : Ref::steal(got);
  return true;
}

FieldOutcome Level::members(std::uint32_t index, std::string_view key, Sink& sink, std::string& failure) {
  if (!PyList_CheckExact(container(index))) return FieldOutcome::NotSupported;
  const Ref name = key_string(key);
  const Run run = items(index);
  for (std::size_t i = 0; i < run.size; ++i) {
    Ref value;
    if (!put_record_member(run, i, name.get(), index, sink, value, failure) || !go_on(i, failure))
      return FieldOutcome::Failed;
  }
  return FieldOutcome::Handled;
}

bool Level::put_record_member(const Run& run, std::size_t position, PyObject* name, std::uint32_t index,
                              Sink& sink, Ref& found, std::string& failure) {
  PyObject* record = item(run, position);
  if (PyDict_CheckExact(record) && !member_of(record, name, found, failure)) return false;
  if (!found) {
    sink.push(Value());
    return true;
  }
  if (auto failed = put_member(record, index, found.get(), sink)) {
    failure = std::move(*failed);
    return false;
  }
  return true;
}

FieldOutcome Level::read_numbers(std::uint32_t index, std::size_t& position, std::string_view key, Sink& sink,
                                 std::string& failure) {
  return headroom::call([&] {
    if (!PyList_CheckExact(container(index))) return FieldOutcome::NotSupported;
    const Ref name = key_string(key);
    const Run run = items(index);
    for (; position < run.size; ++position) {
      Ref found;
      if (!put_record_member(run, position, name.get(), index, sink, found, failure) ||
          !go_on(position, failure))
        return FieldOutcome::Failed;
      if (!found) continue;
      // Only a finite float or an int is surely a number (or a failure): the rest is judged apart.
      PyTypeObject* type = Py_TYPE(found.get());
      if (type != &PyLong_Type && !(type == &PyFloat_Type && std::isfinite(PyFloat_AS_DOUBLE(found.get())))) {
        ++position;
        break;
      }
    }
    return FieldOutcome::Handled;
  });
}

std::optional<std::string> Level::put_member(PyObject* object, std::uint32_t index, PyObject* found,
                                             Sink& sink) {
  if (!is_container(found)) return Writer(keys_, this, index).put(found, sink, 1);
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
