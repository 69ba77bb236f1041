// Values read lazily from a host: containers are created empty with a pending source and filled one
// level (or one member) at a time on first use. All containers of one input share one `Shared`, which
// interns their keys, keeps the first read failure and owns the JSON data they were made from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "value/json.hpp"
#include "value/member_index.hpp"
#include "value/value.hpp"

namespace zarnu_core::value {

// The interner of object keys: equal keys of one input share one text.
class Keys {
 public:
  Keys() : set_(0, SetHash{hash::map_seed()}) {}
  Str get(std::string_view text);
  std::size_t size() const noexcept { return set_.size(); }

 private:
  struct SetHash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view s) const noexcept { return hash::bytes(s, seed); }
    std::size_t operator()(const Str& s) const noexcept { return hash::bytes(s.view(), seed); }
  };
  boost::unordered_flat_set<Str, SetHash, KeyEq> set_;
};

// The state shared by all lazily read containers of one input.
struct Shared : Counted {
  std::optional<std::string> first_failure;
  Keys keys;
  bool failed = false;
  // The JSON data that containers made by `lazy` point into: kept alive as long as any of them.
  std::vector<std::shared_ptr<const json::Json>> json_owners;
  Str last_member_key;

  static Rc<Shared> create() { return Rc<Shared>::make(); }
  // The interned key of a member read one by one. A path reads the same member of record after record:
  // the last key is kept at hand.
  Str member_key(std::string_view text);
  // Records a read failure: the flag is set, the first text kept.
  void record(std::string text);
  // The error for a failed lazy read (U1004 with the first failure's text).
  error::Error failure() const;
};

class Sink;

enum class FieldOutcome : std::uint8_t { Handled, NotSupported, Failed };

// A host source of lazy containers, named by the source's own indexes.
class Sources : public Counted {
 public:
  virtual ~Sources() = default;
  // Puts every child of container `index` into the sink, in order. A failure gives its text.
  virtual std::optional<std::string> read(std::uint32_t index, Sink& sink) = 0;
  // Puts the value of one member of object `index` into the slot sink; a failure sets `failure`.
  virtual FieldOutcome read_field(std::uint32_t index, std::string_view key, Sink& slot,
                                  std::string& failure) = 0;
  // A plain path step over array `index` before it is read, without a value per item: the number of its
  // items when each is an object or a scalar that reads without failing (nothing otherwise: the caller
  // then reads the array whole). Reading nothing, it changes nothing.
  virtual std::optional<std::size_t> plain_items(std::uint32_t index) {
    (void)index;
    return std::nullopt;
  }
  // Puts member `key` of each item of array `index` into the sink, in order, as looking the key up in each
  // item of the array read whole would: one value per item, undefined for an item that is no object or
  // lacks the member. A failure sets `failure`.
  virtual FieldOutcome read_members(std::uint32_t index, std::string_view key, Sink& sink,
                                    std::string& failure) {
    (void)index, (void)key, (void)sink, (void)failure;
    return FieldOutcome::NotSupported;
  }
  // Puts item `position` of array `index` into the slot sink, as reading the array whole would give it,
  // where plain_items counted the array's items; a failure sets `failure`.
  virtual FieldOutcome read_item(std::uint32_t index, std::size_t position, Sink& slot,
                                 std::string& failure) {
    (void)index, (void)position, (void)slot, (void)failure;
    return FieldOutcome::NotSupported;
  }
  // From item `position` of array `index` on, puts member `key` of each item (nothing found: undefined)
  // into the sink, as looking it up in the items of the array read whole would, up to the first member that
  // is not a number; `position` moves past the items done. A failure sets `failure`.
  virtual FieldOutcome read_numbers(std::uint32_t index, std::size_t& position, std::string_view key,
                                    Sink& sink, std::string& failure) {
    (void)index, (void)position, (void)key, (void)sink, (void)failure;
    return FieldOutcome::NotSupported;
  }
  // Lets the source release a value it handed out; nothing in the core calls it.
  virtual void release(Value value) { (void)value; }
};

// The input of an evaluation as a whole.
class Source {
 public:
  virtual ~Source() = default;
  // Pushes the input value into the sink (nothing for an absent input); a failure gives its text.
  virtual std::optional<std::string> read(Sink& sink) = 0;
};

// The source of one not yet read container: a host source, or JSON data owned through `shared`.
struct Pending {
  Pending(Rc<Shared> shared, Rc<Sources> source, const json::Json* json)
      : shared(std::move(shared)), source(std::move(source)), json(json) {}

  Rc<Shared> shared;
  Rc<Sources> source;                // set for a host source
  const json::Json* json = nullptr;  // set for JSON data
  // For JSON object data read member by member: the lookups that scanned it, and an index of its
  // members once the scans have cost about as much as building one.
  std::uint32_t scans = 0;
  std::unique_ptr<json::MemberIndex> members;
};
// The block of a lazy object: the object, then its pending source.
inline constexpr std::size_t kLazyObjectBytes = sizeof(Object) + sizeof(Pending);
static_assert(sizeof(Object) % alignof(Pending) == 0);

// The lazy state of an array: its source, its index and the items once read.
struct LazyItems {
  Pending pending;
  std::uint32_t index = 0;
  std::optional<Items> cell;
  // Containers read from single items before the whole read, by ascending position: an item itself (no
  // key), or a member of an item read straight from the source (under its key). Reading the item again,
  // or the array whole, gives the same containers with whatever was read of them.
  struct Kept {
    std::size_t position;
    Str key;
    Value value;
  };
  std::vector<Kept> taken;

  const Items& read();

  static void* operator new(std::size_t n) { return pool::allocate(n); }
  static void operator delete(void* p, std::size_t n) noexcept { pool::release(p, n); }
};

// Where a source puts the values it converts: an item list, an object map or a single slot.
class Sink {
 public:
  Sink(Items& items, Rc<Shared> shared) : target_(&items), shared_(std::move(shared)) {}
  Sink(Fields& fields, Rc<Shared> shared) : target_(&fields), shared_(std::move(shared)) {}
  Sink(Value& slot, Rc<Shared> shared) : target_(&slot), shared_(std::move(shared)) {}

  const Rc<Shared>& shared() const noexcept { return shared_; }
  // Sets the key under which the next value goes into an object target.
  void set_key(Str key) { key_ = std::move(key); }
  // Interns a key text and sets it as the pending key.
  void set_key(std::string_view key) { key_ = shared_->keys.get(key); }
  void push(Value value);
  // Room for `n` more children (capped by the caller).
  void reserve(std::size_t n);
  // Drops what the target received (after a failed read).
  void clear();

 private:
  std::variant<Items*, Fields*, Value*> target_;
  Rc<Shared> shared_;
  std::optional<Str> key_;
};

// A lazy array or object fed by a host source.
Value lazy_array(Pending pending, std::uint32_t index);
Value lazy_object(Pending pending, std::uint32_t index);

// The value over JSON data: scalars directly, non-empty containers lazily. `shared` must own the data
// (see Shared::json_owners) or the caller must keep it alive as long as any value made from it.
Value lazy(const json::Json& data, const Rc<Shared>& shared);
// The same for a root the values keep alive themselves.
Value lazy(std::shared_ptr<const json::Json> root, const Rc<Shared>& shared);

// The lazy state of an array of a host source that is not read yet; nullptr for any other value.
LazyItems* unread_host_array(const Value& v) noexcept;

// A single member of an object, reading only that member while the object is not read whole.
Value read_field(Object& object, std::string_view key);

// Item `position` of a host array not read yet, whose items the source's plain_items counted, read alone;
// a failure is recorded and gives undefined. None when the source cannot read the item alone.
std::optional<Value> read_item(LazyItems& lazy, std::size_t position);
// Keeps member `key` of item `position`, a container read straight from the source, for the item's object
// once one is made.
void keep_member(LazyItems& lazy, std::size_t position, std::string_view key, Value member);

}  // namespace zarnu_core::value
