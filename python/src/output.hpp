// Results as Python objects: the builder the core's output walk writes a result into, the flat form a
// detached road writes its result into first, and the source of an evaluation without input.
#pragma once

#include "compat.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "pyutil.hpp"
#include "support/hash.hpp"
#include "value/lazy.hpp"
#include "value/polling.hpp"

namespace zarnu_py::output {

// Builds one result as Python objects. Every dict of the result uses one str object per distinct key.
// A Python error met while building is kept (the first one) for the caller to raise after the walk.
class PyBuilder {
 public:
  using Built = pyutil::Ref;

  PyBuilder();

  Built null();
  Built boolean(bool b);
  Built number(double x);
  Built string(std::string_view s);
  // A string whose text came unchanged from a str of the input: that str itself.
  Built string(std::string_view s, const zarnu_core::value::HostText* host);
  Built end_array(std::vector<Built> items);
  // A list of the items, each taken.
  Built list(std::span<Built> items);
  Built object(std::size_t capacity);
  void insert(Built& object, std::string_view key, Built value);

  // The first Python error met while building, taken from the builder (a null Ref when none).
  pyutil::Ref take_error() noexcept { return std::move(error_); }

 private:
  // Keeps the Python error just raised, unless one is kept already.
  void keep_error();
  // The str of a key, made at its first use.
  PyObject* key(std::string_view text);

  struct KeyHash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view key) const noexcept { return zarnu_core::hash::bytes(key, seed); }
  };
  struct KeyEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };

  // Results seldom have many distinct keys: the first few are found by comparing, the rest by hashing.
  static constexpr std::size_t kScanned = 8;
  pyutil::Ref error_;
  std::vector<std::pair<std::string, pyutil::Ref>> first_keys_;
  boost::unordered_flat_map<std::string, pyutil::Ref, KeyHash, KeyEq> more_keys_;
};

// A result written out by the core's walk without the interpreter, to be made into Python objects after:
// the pieces in the order the walk makes them (each array after its items, each member after its value) and
// the text of the strings already in the code units of the str that will hold them. Making the objects then
// reads one buffer front to back instead of values scattered over the heap, which the thread may have
// left on another core while it waited for the interpreter.
class FlatBuilder {
 public:
  // Where a value's pieces start. Objects are made from the final value's start on, so that the pieces of a
  // walk retried after running out of budget follow those of the failed attempt harmlessly.
  struct Built {
    std::size_t start = 0;
  };

  // The buffers are the thread's spare ones when it has them: no result of a usual size then allocates.
  FlatBuilder();
  FlatBuilder(const FlatBuilder&) = delete;
  FlatBuilder& operator=(const FlatBuilder&) = delete;
  ~FlatBuilder();

  Built null() { return add({Op::kNull, 0, 0, {}}); }
  Built boolean(bool b) { return add({b ? Op::kTrue : Op::kFalse, 0, 0, {}}); }
  Built number(double x) { return add({Op::kNumber, 0, 0, {.number = x}}); }
  Built string(std::string_view s);
  // A string of a document: the str its slot holds already, or its text and then the slot to share the
  // str made from it through.
  Built string(std::string_view s, const zarnu_core::value::HostText* host);
  Built end_array(std::vector<Built> items);
  Built object(std::size_t capacity) { return add({Op::kObject, 0, capacity, {}}); }
  void insert(Built& object, std::string_view key, Built value);

  // The Python object of the value written from `root` on, its dicts' keys and the error of a dict that
  // refuses an item kept by `b`; none when `poll`, asked between pieces, stops.
  std::optional<pyutil::Ref> build(Built root, PyBuilder& b, zarnu_core::eval::Poll* poll) const;

 private:
  enum class Op : std::uint8_t {
    kNull,
    kTrue,
    kFalse,
    kNumber,
    kText,
    kUtf8,
    kStored,
    kShare,
    kArray,
    kObject,
    kMember
  };
  // kText: `length` code units of `maxchar`'s width at `offset`; kUtf8 (text a str is decoded from, with
  // repairs) and kMember (the key of the member whose value is the piece before): `length` bytes at
  // `offset`; kStored: the str `stored` (a slot's: its document outlives the evaluation); kShare: the str
  // made by the piece before goes through `slot`; kArray: `length` items; kObject: room for `length`
  // members.
  struct Piece {
    Op op;
    std::uint32_t maxchar = 0;
    std::size_t length = 0;
    union {
      double number;
      std::size_t offset;
      PyObject* stored;
      std::atomic<PyObject*>* slot;
    };
  };

  Built add(Piece piece) {
    pieces_.push_back(piece);
    return {pieces_.size() - 1};
  }
  // Appends bytes to the text; their offset.
  std::size_t append(std::string_view bytes);

  std::vector<Piece> pieces_;
  std::string text_;

  struct Spare {
    std::vector<Piece> pieces;
    std::string text;
  };
  static thread_local Spare spare_;
};

// The input of an evaluation given none: the context is undefined.
class NoInput final : public zarnu_core::value::Source {
 public:
  std::optional<std::string> read(zarnu_core::value::Sink&) override { return std::nullopt; }
};

}  // namespace zarnu_py::output
