// The language's dynamic value: undefined, null, boolean, number, string, array, object, function.
// A Value is 16 bytes: a tag and a double, a bool or a pointer to a reference-counted representation.
// Counts are plain integers: values never cross threads.
// The value stage (value/) owns values, errors and Result, JSON text in and out (the cut parse too), lazy
// host values, equality and the output walk; it hands every later stage Value, Error and Result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/hash.hpp"
#include "support/pool.hpp"

namespace zarnu_core::value {

template <class T>
using Alloc = pool::Allocator<T>;

[[noreturn]] void count_overflow();

// The reference count at the start of every shared representation.
struct Counted {
  std::uint32_t refs = 1;
};

inline void retain(Counted* c) noexcept(false) {
  if (++c->refs == 0) [[unlikely]]
    count_overflow();
}

// An owning pointer to a reference-counted object that is deleted (through its own, possibly virtual,
// destructor) when the last reference goes.
template <class T>
class Rc {
 public:
  Rc() noexcept = default;
  // Takes over a freshly made object (count 1).
  static Rc adopt(T* p) noexcept {
    Rc r;
    r.p_ = p;
    return r;
  }
  // Shares an object already owned elsewhere (count + 1).
  static Rc share(T* p) {
    retain(p);
    return adopt(p);
  }
  template <class... A>
  static Rc make(A&&... args) {
    return adopt(new T(std::forward<A>(args)...));
  }
  Rc(const Rc& o) : p_(o.p_) {
    if (p_) retain(p_);
  }
  template <class U>
  requires std::is_convertible_v<U*, T*> Rc(const Rc<U>& o) : p_(o.get()) {
    if (p_) retain(p_);
  }
  Rc(Rc&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Rc& operator=(Rc o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Rc() {
    if (p_ && --p_->refs == 0) delete p_;
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A host object whose text a string holds unchanged, with the function that drops the string's reference
// to it: a result builder of that host can hand the object itself out.
struct HostText {
  void* object;
  void (*release)(void* object) noexcept;
};

// Shared, immutable UTF-8 text: one allocation holding the count, the length and the bytes (and, for text
// taken from a host object, the HostText after them). The length takes 31 bits and the mark of host text
// one, so that the header is 8 bytes (most texts are short: names, keys, words); a longer text cannot be
// made (out of memory).
struct StrRep : Counted {
  static constexpr std::size_t kLongest = (std::size_t{1} << 31) - 1;
  std::uint32_t size : 31 = 0;
  std::uint32_t hosted : 1 = 0;
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  // Where the HostText of text of `size` bytes lies, from the start of the allocation.
  static constexpr std::size_t host_offset(std::size_t size) noexcept {
    return (sizeof(StrRep) + size + 1 + alignof(HostText) - 1) & ~(alignof(HostText) - 1);
  }
  const HostText* host() const noexcept {
    if (!hosted) return nullptr;
    return std::launder(
        reinterpret_cast<const HostText*>(reinterpret_cast<const char*>(this) + host_offset(size)));
  }
};

static_assert(sizeof(StrRep) == 8, "the mark of host text fits beside the length");

// An owning handle to shared text; used for string values and for interned object keys.
class Str {
 public:
  Str() noexcept = default;
  static Str make(std::string_view text);
  // Text that is exactly the text of a host object, holding the reference to it that `host` carries.
  static Str hosted(std::string_view text, HostText host);
  // Takes over a representation whose count already includes this reference.
  static Str adopt(StrRep* rep) noexcept {
    Str s;
    s.rep_ = rep;
    return s;
  }
  // Frees a representation whose last reference went.
  static void release(StrRep* rep) noexcept {
    if (rep->hosted) [[unlikely]]
      return release_hosted(rep);
    pool::release(rep, sizeof(StrRep) + rep->size + 1);
  }
  Str(const Str& other) : rep_(other.rep_) {
    if (rep_) retain(rep_);
  }
  Str(Str&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  Str& operator=(const Str& other) {
    Str copy(other);
    std::swap(rep_, copy.rep_);
    return *this;
  }
  Str& operator=(Str&& other) noexcept {
    std::swap(rep_, other.rep_);
    return *this;
  }
  ~Str() {
    if (rep_ && --rep_->refs == 0) release(rep_);
  }

  std::string_view view() const noexcept {
    return rep_ ? std::string_view(rep_->data(), rep_->size) : std::string_view();
  }
  operator std::string_view() const noexcept { return view(); }
  const char* data() const noexcept { return rep_ ? rep_->data() : ""; }
  std::size_t size() const noexcept { return rep_ ? rep_->size : 0; }
  bool empty() const noexcept { return size() == 0; }
  StrRep* rep() const noexcept { return rep_; }
  // Hands the representation over to the caller, with this handle's reference.
  StrRep* release() noexcept { return std::exchange(rep_, nullptr); }
  friend bool operator==(const Str& a, const Str& b) noexcept {
    return a.rep_ == b.rep_ || a.view() == b.view();
  }

 private:
  static void release_hosted(StrRep* rep) noexcept;
  StrRep* rep_ = nullptr;
};

// How a conversion of a whole document makes its string values, when the caller keeps something per
// string: a conversion meets the strings of one document in the same order every time, so the caller can
// number them as they come.
struct StringMaker {
  void* context;
  Str (*make)(void* context, std::string_view text);
};

class Value;
struct Array;
struct Object;
struct Function;
struct LazyItems;
struct Pending;

// Deletes (in eval/function.cpp, where its type is complete) a function value whose last reference went. A
// closure can capture a scope holding a closure that captures another, thousands deep: past a bounded nesting
// of such releases on the thread, the rest are queued and deleted one by one by the outermost release.
void release_function(Counted* rep) noexcept;

// Hashing and comparison of object keys by text (never by identity), with a seed per map.
struct KeyHash {
  using is_transparent = void;
  std::uint64_t seed = 0;
  std::size_t operator()(std::string_view key) const noexcept { return hash::bytes(key, seed); }
  std::size_t operator()(const Str& key) const noexcept { return hash::bytes(key.view(), seed); }
};
struct KeyEq {
  using is_transparent = void;
  bool operator()(const Str& a, const Str& b) const noexcept { return a == b; }
  bool operator()(const Str& a, std::string_view b) const noexcept { return a.view() == b; }
  bool operator()(std::string_view a, const Str& b) const noexcept { return a == b.view(); }
};

enum class Tag : std::uint8_t { Undefined, Null, Bool, Number, String, Array, Object, Function };

// The signature letter of each tag, in tag order.
inline constexpr char kSignatureLetters[] = "mlbnsaof";

// Array flags.
inline constexpr std::uint8_t kSequence = 1;
inline constexpr std::uint8_t kKeepSingleton = 2;
inline constexpr std::uint8_t kOuterWrapper = 4;
inline constexpr std::uint8_t kCons = 8;
inline constexpr std::uint8_t kTupleStream = 16;

class Value {
 public:
  Value() noexcept : tag_(Tag::Undefined) { u_.bits = 0; }
  static Value undefined() noexcept { return Value(); }
  static Value null() noexcept {
    Value v;
    v.tag_ = Tag::Null;
    return v;
  }
  static Value boolean(bool b) noexcept {
    Value v;
    v.tag_ = Tag::Bool;
    v.u_.b = b;
    return v;
  }
  static Value number(double n) noexcept {
    Value v;
    v.tag_ = Tag::Number;
    v.u_.n = n;
    return v;
  }
  static Value string(std::string_view text) { return string(Str::make(text)); }
  static Value string(Str text) noexcept {
    if (!text.rep()) return string(Str::make({}));
    Value v;
    v.tag_ = Tag::String;
    v.u_.p = text.release();
    return v;
  }
  // A sequence made by evaluation (flags 1).
  static Value sequence(std::vector<Value, Alloc<Value>> items);
  // The one-item wrapper around an array input (flags 5: sequence and outer wrapper).
  static Value array(std::vector<Value, Alloc<Value>> items);
  // An array with the given flags.
  static Value array_with(std::vector<Value, Alloc<Value>> items, std::uint8_t flags);
  // An object holding the given (already built) representation.
  static Value adopt_object(Object* rep) noexcept;
  static Value adopt_array(Array* rep) noexcept;
  static Value adopt_function(Function* rep) noexcept;  // defined with Function
  // A new, empty object (read whole) with room for `capacity` fields.
  static Value object(std::size_t capacity = 0);

  Value(const Value& other) : tag_(other.tag_), u_(other.u_) {
    if (is_shared()) retain(u_.p);
  }
  Value(Value&& other) noexcept : tag_(other.tag_), u_(other.u_) { other.tag_ = Tag::Undefined; }
  Value& operator=(const Value& other) {
    Value copy(other);
    swap(copy);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    Value moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~Value() {
    if (is_shared() && --u_.p->refs == 0) destroy();
  }
  void swap(Value& other) noexcept {
    std::swap(tag_, other.tag_);
    std::swap(u_, other.u_);
  }
  Value clone() const { return *this; }

  Tag tag() const noexcept { return tag_; }
  bool is_undefined() const noexcept { return tag_ == Tag::Undefined; }
  bool is_null() const noexcept { return tag_ == Tag::Null; }
  bool is_bool() const noexcept { return tag_ == Tag::Bool; }
  bool is_number() const noexcept { return tag_ == Tag::Number; }
  bool is_string() const noexcept { return tag_ == Tag::String; }
  bool is_array() const noexcept { return tag_ == Tag::Array; }
  bool is_object() const noexcept { return tag_ == Tag::Object; }
  bool is_function() const noexcept { return tag_ == Tag::Function; }
  // Strings, arrays, objects and functions are shared representations.
  bool is_shared() const noexcept { return tag_ >= Tag::String; }

  bool as_boolean() const noexcept { return u_.b; }
  double as_number() const noexcept { return u_.n; }
  std::string_view as_string() const noexcept {
    auto* s = static_cast<StrRep*>(u_.p);
    return {s->data(), s->size};
  }
  // The host object a string's text was taken from unchanged; nullptr for any other value.
  const HostText* string_host() const noexcept {
    return tag_ == Tag::String ? static_cast<const StrRep*>(u_.p)->host() : nullptr;
  }
  Str as_str() const {
    retain(u_.p);
    return Str::adopt(static_cast<StrRep*>(u_.p));
  }
  Array& as_array() const noexcept;
  Object& as_object() const noexcept;
  Function& as_function() const noexcept;  // defined with Function

  // The reference count of a shared payload (0 for scalars).
  std::uint32_t use_count() const noexcept { return is_shared() ? u_.p->refs : 0; }
  // Whether two values share one payload.
  bool same_payload(const Value& other) const noexcept {
    return is_shared() && tag_ == other.tag_ && u_.p == other.u_.p;
  }
  char signature_letter() const noexcept { return kSignatureLetters[static_cast<int>(tag_)]; }

  // For an array, copies of its items (lazy items read first); for any other value, itself alone.
  std::vector<Value, Alloc<Value>> items_or_self() const;

 private:
  static Value adopt(Tag tag, Counted* p) noexcept {
    Value v;
    v.tag_ = tag;
    v.u_.p = p;
    return v;
  }
  void destroy() noexcept;

  Tag tag_;
  union Payload {
    double n;
    bool b;
    Counted* p;
    std::uint64_t bits;
  } u_;
};

static_assert(sizeof(Value) == 16);
static_assert(sizeof(StrRep) == 8);

using Items = std::vector<Value, Alloc<Value>>;
using Entry = std::pair<Str, Value>;

// The fields of an object: entries in insertion order, found by a linear scan while there are few and
// through a hash index (seeded per map, built on demand) beyond that. A key inserted again keeps its
// place; erasing keeps the order of the others.
class Fields {
 public:
  using Storage = std::vector<Entry, Alloc<Entry>>;

  template <bool Const>
  class Iter {
   public:
    using E = std::conditional_t<Const, const Entry, Entry>;
    using V = std::conditional_t<Const, const Value, Value>;
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = E*;
    using reference = E&;
    Iter() = default;
    explicit Iter(E* p) : p_(p) {}
    template <bool C = Const, class = std::enable_if_t<C>>
    Iter(const Iter<false>& o) : p_(o.get()) {}
    E& operator*() const noexcept { return *p_; }
    E* operator->() const noexcept { return p_; }
    V& value() const noexcept { return p_->second; }
    const Str& key() const noexcept { return p_->first; }
    Iter& operator++() noexcept {
      ++p_;
      return *this;
    }
    Iter& operator--() noexcept {
      --p_;
      return *this;
    }
    Iter operator++(int) noexcept { return Iter(p_++); }
    friend bool operator==(const Iter& a, const Iter& b) noexcept { return a.p_ == b.p_; }
    friend std::ptrdiff_t operator-(const Iter& a, const Iter& b) noexcept { return a.p_ - b.p_; }
    E* get() const noexcept { return p_; }

   private:
    E* p_ = nullptr;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  Fields() = default;
  explicit Fields(std::size_t capacity) { entries_.reserve(capacity); }
  Fields(Fields&&) noexcept = default;
  Fields& operator=(Fields&&) noexcept = default;
  Fields(const Fields& o) : entries_(o.entries_) {}
  Fields& operator=(const Fields& o) {
    entries_ = o.entries_;
    index_.reset();
    return *this;
  }
  ~Fields();

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  void clear() noexcept;
  iterator begin() noexcept { return iterator(entries_.data()); }
  iterator end() noexcept { return iterator(entries_.data() + entries_.size()); }
  const_iterator begin() const noexcept { return const_iterator(entries_.data()); }
  const_iterator end() const noexcept { return const_iterator(entries_.data() + entries_.size()); }
  const Entry& front() const noexcept { return entries_.front(); }
  const Entry& back() const noexcept { return entries_.back(); }

  iterator find(std::string_view key) noexcept { return iterator(entries_.data() + position(key)); }
  const_iterator find(std::string_view key) const noexcept {
    return const_iterator(entries_.data() + position(key));
  }
  // Inserts when the key is new; otherwise leaves the entry (and drops `v`).
  std::pair<iterator, bool> try_emplace(Str key, Value v);
  // Inserts when the key is new; otherwise replaces the value in place.
  std::pair<iterator, bool> insert_or_assign(Str key, Value v);
  // Appends an entry whose key the caller knows to be absent (the distinct keys of a map being built).
  void append_new(Str key, Value v) {
    if (entries_.size() >= UINT32_MAX) [[unlikely]]
      count_overflow();
    entries_.emplace_back(std::move(key), std::move(v));
    if (index_) index_add(entries_.size() - 1);
  }
  iterator erase(const_iterator it);
  std::size_t erase(std::string_view key);
  // Takes the entries out, leaving the map empty.
  Storage take() noexcept;

 private:
  struct Index;
  struct IndexDeleter {
    void operator()(Index* p) const noexcept;
  };
  static constexpr std::size_t kLinear = 8;
  std::size_t position(std::string_view key) const noexcept;  // size() when absent
  void index_add(std::size_t pos);
  Storage entries_;
  mutable std::unique_ptr<Index, IndexDeleter> index_;
};

// A fresh, empty field map with its own hash seed.
Fields make_fields(std::size_t capacity = 0);

const Items& read_lazy_items(Array& array);

struct LazyDeleter {
  void operator()(LazyItems* p) const noexcept;
};

// An object's pending source. A lazy object is made with it in the same block, right after the object (one
// allocation); the many objects that have none (built by evaluation, parsed from text) carry only this
// pointer. `Pending` is defined with the lazy values, which make it.
class PendingSlot {
 public:
  PendingSlot() noexcept = default;
  PendingSlot(const PendingSlot&) = delete;
  PendingSlot& operator=(const PendingSlot&) = delete;
  ~PendingSlot() {
    if (p_) destroy(p_);
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  Pending& operator*() const noexcept { return *p_; }
  Pending* operator->() const noexcept { return p_; }
  Pending* get() const noexcept { return p_; }
  // Constructs the pending source at `place`, room its owner's block keeps for it.
  void emplace(void* place, Pending&& pending) noexcept;

 private:
  static void destroy(Pending* p) noexcept;
  Pending* p_ = nullptr;
};

struct Array : Counted, pool::Pooled {
  std::uint8_t flags = 0;
  Items items;
  std::unique_ptr<LazyItems, LazyDeleter> lazy;

  // The items, read from the lazy source on first use.
  const Items& read();
  // Mutable access to the items for their builder (the array must not be lazy).
  Items& mut_items() noexcept { return items; }
};

class FieldsRef;
class FieldsMut;

struct Object : Counted {
  std::uint8_t read_state = 2;  // 0 unread, 1 some fields read one by one, 2 read whole
  std::int32_t borrows = 0;     // > 0 shared borrows, -1 an exclusive one
  std::uint32_t index = 0;      // the container's index within its pending source
  PendingSlot pending;          // set only in a lazy object, whose block holds it (see lazy_object)
  Fields fields;

  Object() : fields(make_fields()) {}
  explicit Object(Fields f) : fields(std::move(f)) {}

  static void* operator new(std::size_t n) { return pool::allocate(n); }
  // Cleans up after a constructor that failed.
  static void operator delete(void* p, std::size_t n) noexcept { pool::release(p, n); }
  // Releases the object's block, which is larger when it holds a pending source.
  static void operator delete(Object* o, std::destroying_delete_t) noexcept;

  bool needs_read() const noexcept { return pending && read_state != 2; }
  // Reads the whole object from its pending source (a no-op once read whole).
  void read();
  // A shared or an exclusive borrow of the fields, reading the whole object first.
  FieldsRef borrow();
  FieldsMut borrow_mut();
};

[[noreturn]] void borrow_conflict();

// A shared borrow of an object's fields; conflicts with an outstanding exclusive borrow are panics.
class FieldsRef {
 public:
  explicit FieldsRef(Object& o) : o_(&o) {
    if (o.borrows < 0) borrow_conflict();
    ++o.borrows;
  }
  FieldsRef(FieldsRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  FieldsRef(const FieldsRef&) = delete;
  FieldsRef& operator=(const FieldsRef&) = delete;
  FieldsRef& operator=(FieldsRef&&) = delete;
  ~FieldsRef() {
    if (o_) --o_->borrows;
  }
  const Fields& operator*() const noexcept { return o_->fields; }
  const Fields* operator->() const noexcept { return &o_->fields; }

 private:
  Object* o_;
};

class FieldsMut {
 public:
  explicit FieldsMut(Object& o) : o_(&o) {
    if (o.borrows != 0) borrow_conflict();
    o.borrows = -1;
  }
  FieldsMut(FieldsMut&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  FieldsMut(const FieldsMut&) = delete;
  FieldsMut& operator=(const FieldsMut&) = delete;
  FieldsMut& operator=(FieldsMut&&) = delete;
  ~FieldsMut() {
    if (o_) o_->borrows = 0;
  }
  Fields& operator*() const noexcept { return o_->fields; }
  Fields* operator->() const noexcept { return &o_->fields; }

 private:
  Object* o_;
};

inline FieldsRef Object::borrow() {
  if (needs_read()) [[unlikely]]
    read();
  return FieldsRef(*this);
}
inline FieldsMut Object::borrow_mut() {
  if (needs_read()) [[unlikely]]
    read();
  return FieldsMut(*this);
}

inline Value Value::adopt_array(Array* rep) noexcept {
  return adopt(Tag::Array, rep);
}
inline Value Value::adopt_object(Object* rep) noexcept {
  return adopt(Tag::Object, rep);
}
inline Array& Value::as_array() const noexcept {
  return *static_cast<Array*>(u_.p);
}
inline Object& Value::as_object() const noexcept {
  return *static_cast<Object*>(u_.p);
}

inline const Items& Array::read() {
  if (lazy) [[unlikely]]
    return read_lazy_items(*this);
  return items;
}

}  // namespace zarnu_core::value
