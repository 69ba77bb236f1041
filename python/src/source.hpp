// Lazy Python input: the core reads Python containers one level (or one dict member) at a time, as the
// evaluation reaches them, through the sources defined here; nothing else of the input is converted.
#pragma once

#include "compat.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "convert.hpp"
#include "pyutil.hpp"
#include "support/hash.hpp"
#include "value/lazy.hpp"

namespace zarnu_py::source {

using zarnu_core::value::Sink;

// Drops the reference to a str that a string value read from the input holds (see HostText); called
// attached, as every value made from Python input goes before the evaluation returns.
void release_text(void* str) noexcept;

// The string value of a str's text (see convert::text): an exact str's own text is kept with the str,
// which a writer of results then hands out as it is.
zarnu_core::value::Value string_value(PyObject* string, const convert::Text& text);

// The str whose text a string value holds unchanged (borrowed), or nullptr.
inline PyObject* hosted_str(const zarnu_core::value::HostText* host) noexcept {
  return host && host->release == &release_text ? static_cast<PyObject*>(host->object) : nullptr;
}

// The field names an expression looks up, as interned str objects, so that looking one up in a dict
// needs no new string. Made once per expression, then only read.
class KeyCache {
 public:
  KeyCache();
  // Adds a name (once), as a new interned str.
  void add(std::string_view name);
  // The str of a name, borrowed; nullptr when the name is not cached.
  PyObject* find(std::string_view name) const noexcept {
    // Most expressions name a handful of fields: comparing them beats hashing.
    if (names_.size() <= kScanned) {
      for (const auto& [text, string] : names_)
        if (text == name) return string.get();
      return nullptr;
    }
    auto it = map_.find(name);
    return it == map_.end() ? nullptr : it->second;
  }
  std::size_t size() const noexcept { return names_.size(); }
  // The name of a str that `find` gave, as the cache holds it.
  std::string_view text(PyObject* str) const noexcept {
    for (const auto& [text, string] : names_)
      if (string.get() == str) return text;
    return {};
  }

 private:
  static constexpr std::size_t kScanned = 8;
  struct Hash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view key) const noexcept { return zarnu_core::hash::bytes(key, seed); }
  };
  struct Eq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };
  std::vector<std::pair<std::string, pyutil::Ref>> names_;
  // The same strs, borrowed, by name; filled only past kScanned names.
  boost::unordered_flat_map<std::string_view, PyObject*, Hash, Eq> map_;
};

// The containers found at one depth of the input: the input itself at the top; below, every container met
// while reading a container of the level above (whole or one dict member at a time), each under its index
// in order of discovery. A level holds its containers, and each remembers the container it was found in,
// so the Python objects on the path to any lazy value stay alive with the value, and a container can be
// told from its own ancestors. Sharing one level among all the containers of a depth, instead of one per
// container read, spares a level (an allocation) per record in the common case of a path over many records.
class Level final : public zarnu_core::value::Sources {
 public:
  Level(const KeyCache* keys, zarnu_core::value::Rc<Level> parent);
  ~Level() override;

  std::optional<std::string> read(std::uint32_t index, Sink& sink) override;
  zarnu_core::value::FieldOutcome read_field(std::uint32_t index, std::string_view key, Sink& slot,
                                             std::string& failure) override;
  std::optional<std::size_t> plain_items(std::uint32_t index) override;
  zarnu_core::value::FieldOutcome read_item(std::uint32_t index, std::size_t position, Sink& slot,
                                            std::string& failure) override;
  zarnu_core::value::FieldOutcome read_numbers(std::uint32_t index, std::size_t& position,
                                               std::string_view key, Sink& sink,
                                               std::string& failure) override;
  zarnu_core::value::FieldOutcome read_members(std::uint32_t index, std::string_view key, Sink& sink,
                                               std::string& failure) override;

 private:
  friend class Writer;
  struct Entry {
    pyutil::Ref container;
    std::uint32_t parent = 0;  // the index, in the level above, of the container it was found in
    std::uint32_t jump = 0;    // the index, in level `jump_`, of the ancestor found there
    std::uint32_t frozen = 0;  // for a list read item by item: 1 + the index of its items in `runs_`
  };

  PyObject* container(std::uint32_t index) const;
  // The level at `depth` (at or above this one's) and the index there of container `index`'s ancestor. Each
  // entry also points to an ancestor further up, at depths chosen so that any ancestor is a few jumps away.
  std::pair<const Level*, std::uint32_t> ancestor(std::uint32_t index, std::uint32_t depth) const;
  // Whether an object is container `index` or one of its ancestors.
  bool on_path(PyObject* object, std::uint32_t index) const;
  // Notes that container `index` holds containers (so that it can be found as their ancestor).
  void note_parent(std::uint32_t index);
  // Whether `object` is container `index` or one it was found in; `held` counts the references the caller
  // holds on it besides the one of the container it was found in.
  bool encloses(PyObject* object, Py_ssize_t held, std::uint32_t index) const;
  // The level of the containers found in this one's, made on first use.
  zarnu_core::value::Rc<Level> children();
  // Enters `object`, found in container `index`, into the level below (`children()`); its index there, or
  // none when the level is full.
  std::optional<std::uint32_t> enter_below(Level& below, PyObject* object, std::uint32_t index);
  std::optional<std::string> read_whole(std::uint32_t index, Sink& sink);
  zarnu_core::value::FieldOutcome read_one(std::uint32_t index, std::string_view key, Sink& slot,
                                           std::string& failure);
  zarnu_core::value::FieldOutcome members(std::uint32_t index, std::string_view key, Sink& sink,
                                          std::string& failure);
  // The str of a field name: the cached one, or a new one.
  pyutil::Ref key_string(std::string_view key) const;
  // Member `name` of a record (a null Ref when it has none); false, with the failure's text set, when the
  // look-up fails.
  static bool member_of(PyObject* record, PyObject* name, pyutil::Ref& found, std::string& failure);
  // Where a list's items taken for later reads lie in `frozen_items_`.
  struct Run {
    std::size_t start = 0;
    std::size_t size = 0;
  };
  // The items of list `index`, taken once, on the first read that goes item by item: every later read of
  // the list, item by item or whole, gives these. They are reached by position, as Python code run meanwhile
  // (a key's __eq__) may take other lists' items and move them all.
  Run items(std::uint32_t index);
  PyObject* item(const Run& run, std::size_t position) const {
    return frozen_items_[run.start + position].get();
  }
  // Names found in the key cache lately: where the text looked up lay, the cache's text and str (borrowed
  // from the cache, which outlives the evaluation).
  struct Named {
    const char* data = nullptr;
    std::string_view text;
    PyObject* str = nullptr;
  };
  mutable std::array<Named, 4> named_{};
  mutable std::uint8_t next_named_ = 0;
  // A member found in `object` (held by the caller), put into the sink; `index` is the object's container.
  std::optional<std::string> put_member(PyObject* object, std::uint32_t index, PyObject* found, Sink& sink);
  // Puts the member `name` of the record at `position` of `run` (undefined where it has none) and leaves it
  // in `found` (null then); false, with `failure` set, when reading it failed.
  bool put_record_member(const Run& run, std::size_t position, PyObject* name, std::uint32_t index,
                         Sink& sink, pyutil::Ref& found, std::string& failure);

  const KeyCache* keys_;
  zarnu_core::value::Rc<Level> parent_;
  std::uint32_t depth_ = 0;   // 0 at the top
  std::uint64_t serial_ = 0;  // which level of the input it is: never reused, unlike its address
  const Level* jump_ = this;
  Level* top_ = this;
  std::vector<Entry> entries_;
  // At the top: every object below the first few levels that holds containers, with the depths it was
  // read at. Deep input is checked for a container that is its own ancestor by looking there, not by
  // walking up the path.
  struct IdentityHash {
    std::uint64_t seed;
    std::size_t operator()(const PyObject* object) const noexcept {
      return XXH3_64bits_withSeed(&object, sizeof object, seed);
    }
  };
  struct Depths {
    std::vector<std::uint32_t> depths;  // ascending
    // The last container found not to be the object nor to have it among its ancestors (serial 0: none).
    // A container below it has the object among its ancestors only at the depths between the two.
    std::uint64_t cleared_serial = 0;
    std::uint32_t cleared_depth = 0;
    std::uint32_t cleared_index = 0;
  };
  boost::unordered_flat_map<const PyObject*, Depths, IdentityHash> parents_{
      0, IdentityHash{zarnu_core::hash::map_seed()}};
  std::uint64_t levels_ = 0;  // at the top: the levels made so far
  // Not owned: the level below holds this one, and forgets itself here when it goes.
  Level* children_ = nullptr;
  // The items of the lists read item by item (see Entry::frozen); held as long as the level.
  std::vector<Run> runs_;
  std::vector<pyutil::Ref> frozen_items_;
  // The children of the containers being read whole, innermost last (a read can run Python code that
  // reads another container of this level): the room is reused from read to read.
  std::vector<pyutil::Ref> reading_;
};

// The input of `evaluate`: a Python object, read lazily.
class PySource final : public zarnu_core::value::Source {
 public:
  PySource(PyObject* input, const KeyCache* keys) : input_(pyutil::Ref::borrow(input)), keys_(keys) {}
  std::optional<std::string> read(Sink& sink) override;

 private:
  pyutil::Ref input_;
  const KeyCache* keys_;
};

}  // namespace zarnu_py::source
