// Construction and release of values. Releasing the last reference to a deeply nested value recurses
// only while few such releases are in progress on the thread; deeper levels are taken apart iteratively.
#include "value/value.hpp"

#include <algorithm>
#include <utility>

#include "support/panic.hpp"
#include "value/lazy.hpp"
#include "value/polling.hpp"

namespace zarnu_core::value {

void count_overflow() {
  panic("reference count overflow");
}

void borrow_conflict() {
  panic("conflicting borrow of an object's fields");
}

Str Str::make(std::string_view text) {
  if (text.size() > StrRep::kLongest) throw std::bad_alloc();
  void* mem = pool::allocate(sizeof(StrRep) + text.size() + 1);
  auto* rep = new (mem) StrRep();
  rep->size = static_cast<std::uint32_t>(text.size());
  if (!text.empty()) std::memcpy(rep->data(), text.data(), text.size());
  rep->data()[text.size()] = '\0';
  return adopt(rep);
}

Str Str::hosted(std::string_view text, HostText host) {
  void* mem = nullptr;
  const std::size_t offset = StrRep::host_offset(text.size());
  try {
    if (text.size() > StrRep::kLongest) throw std::bad_alloc();
    mem = pool::allocate(offset + sizeof(HostText));
  } catch (...) {
    host.release(host.object);  // the reference handed over goes with the failure
    throw;
  }
  auto* rep = new (mem) StrRep();
  rep->hosted = 1;
  rep->size = static_cast<std::uint32_t>(text.size());
  if (!text.empty()) std::memcpy(rep->data(), text.data(), text.size());
  rep->data()[text.size()] = '\0';
  ::new (static_cast<char*>(mem) + offset) HostText(host);
  return adopt(rep);
}

void Str::release_hosted(StrRep* rep) noexcept {
  const HostText host = *rep->host();
  pool::release(rep, StrRep::host_offset(rep->size) + sizeof(HostText));
  host.release(host.object);
}

Value Value::array_with(Items items, std::uint8_t flags) {
  auto* rep = new Array();
  rep->flags = flags;
  rep->items = std::move(items);
  return adopt_array(rep);
}

Value Value::sequence(Items items) {
  return array_with(std::move(items), kSequence);
}

Value Value::array(Items items) {
  return array_with(std::move(items), kSequence | kOuterWrapper);
}

Value Value::object(std::size_t capacity) {
  return adopt_object(new Object(make_fields(capacity)));
}

Fields make_fields(std::size_t capacity) {
  return Fields(capacity);
}

// The hash index of a large map: open addressing over positions (plus one; 0 is empty), seeded per map.
struct Fields::Index {
  std::uint64_t seed = hash::map_seed();
  std::vector<std::uint32_t, Alloc<std::uint32_t>> slots;
  std::size_t mask = 0;

  void build(const Storage& entries) {
    std::size_t n = 16;
    while (n < entries.size() * 2) n <<= 1;
    slots.assign(n, 0);
    mask = n - 1;
    for (std::size_t i = 0; i < entries.size(); ++i) add(entries, i);
  }
  void add(const Storage& entries, std::size_t pos) {
    std::size_t h = hash::bytes(entries[pos].first.view(), seed) & mask;
    while (slots[h] != 0) h = (h + 1) & mask;
    slots[h] = static_cast<std::uint32_t>(pos + 1);
  }
};

Fields::~Fields() = default;

void Fields::IndexDeleter::operator()(Index* p) const noexcept {
  delete p;
}

void Fields::clear() noexcept {
  entries_.clear();
  index_.reset();
}

std::size_t Fields::position(std::string_view key) const noexcept {
  const std::size_t n = entries_.size();
  if (n <= kLinear) {
    for (std::size_t i = 0; i < n; ++i)
      if (entries_[i].first.view() == key) return i;
    return n;
  }
  if (!index_) {
    index_.reset(new Index());
    index_->build(entries_);
  }
  std::size_t h = hash::bytes(key, index_->seed) & index_->mask;
  for (;;) {
    std::uint32_t slot = index_->slots[h];
    if (slot == 0) return n;
    if (entries_[slot - 1].first.view() == key) return slot - 1;
    h = (h + 1) & index_->mask;
  }
}

void Fields::index_add(std::size_t pos) {
  if (!index_) return;  // built on the next lookup
  if ((pos + 1) * 2 > index_->slots.size())
    index_->build(entries_);
  else
    index_->add(entries_, pos);
}

std::pair<Fields::iterator, bool> Fields::try_emplace(Str key, Value v) {
  std::size_t pos = position(key.view());
  if (pos != entries_.size()) return {iterator(entries_.data() + pos), false};
  if (entries_.size() >= UINT32_MAX) count_overflow();
  entries_.emplace_back(std::move(key), std::move(v));
  index_add(pos);
  return {iterator(entries_.data() + pos), true};
}

std::pair<Fields::iterator, bool> Fields::insert_or_assign(Str key, Value v) {
  std::size_t pos = position(key.view());
  if (pos != entries_.size()) {
    Value old = std::exchange(entries_[pos].second, std::move(v));
    return {iterator(entries_.data() + pos), false};
  }
  if (entries_.size() >= UINT32_MAX) count_overflow();
  entries_.emplace_back(std::move(key), std::move(v));
  index_add(pos);
  return {iterator(entries_.data() + pos), true};
}

Fields::iterator Fields::erase(const_iterator it) {
  auto pos = static_cast<std::size_t>(it.get() - entries_.data());
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(pos));
  index_.reset();
  return iterator(entries_.data() + pos);
}

std::size_t Fields::erase(std::string_view key) {
  std::size_t pos = position(key);
  if (pos == entries_.size()) return 0;
  erase(const_iterator(entries_.data() + pos));
  return 1;
}

Fields::Storage Fields::take() noexcept {
  index_.reset();
  return std::move(entries_);
}

Items Value::items_or_self() const {
  if (is_array()) return as_array().read();
  Items one;
  one.push_back(*this);
  return one;
}

namespace {

// Releases of containers with owned children in progress on this thread.
thread_local std::uint32_t DROPS = 0;
constexpr std::uint32_t kRecursiveReleases = 99;

// The hook long releases on this thread offer turns through (see Turns); none outside evaluations.
thread_local constinit const PollHook* t_turns = nullptr;

// An array or object whose last reference this is: releasing it releases its contents.
bool owned(const Value& v) noexcept {
  return (v.is_array() || v.is_object()) && v.use_count() == 1;
}

template <class R>
bool any_owned(const R& values) noexcept {
  for (const Value& v : values)
    if (owned(v)) return true;
  return false;
}

// Whether releasing this many children at once would keep the thread from offering turns too long.
bool long_release(std::size_t children) noexcept {
  return children >= kPollTicks && t_turns;
}

// Asks the hook of the long releases. A release cannot stop half-way: what it answers is left for the hook
// to tell its evaluation at its next poll. Releases made meanwhile (by code the hook runs) ask nothing.
void offer_turn() noexcept {
  const PollHook* hook = std::exchange(t_turns, nullptr);
  try {
    (void)(*hook)();
  } catch (...) {
    // Out of memory while polling: the release goes on, and the evaluation's next poll meets it again.
  }
  t_turns = hook;
}

Value& value_of(Value& v) noexcept {
  return v;
}
Value& value_of(Entry& e) noexcept {
  return e.second;
}
Value& value_of(LazyItems::Kept& k) noexcept {
  return k.value;
}

// Releases the values of a long vector (items, or fields with their keys) kPollTicks at a time, from the
// back, offering a turn between; `work`, when given, takes the owned ones instead.
template <class V>
void release_in_turns(V& values, std::vector<Value, Alloc<Value>>* work) noexcept {
  while (!values.empty()) {
    const auto from =
        values.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(values.size(), kPollTicks));
    if (work)
      for (auto it = from; it != values.end(); ++it)
        if (owned(value_of(*it))) work->push_back(std::move(value_of(*it)));
    values.erase(from, values.end());
    if (!values.empty() && t_turns) offer_turn();
  }
}

// Releases the values of a vector, or the fields of an object, a part at a time when they are many.
void release_now(Items& items) noexcept {
  if (!long_release(items.size())) return items.clear();
  release_in_turns(items, nullptr);
}

void release_now(Fields& fields) noexcept {
  if (!long_release(fields.size())) return fields.clear();
  Fields::Storage entries = fields.take();
  release_in_turns(entries, nullptr);
}

// Moves the owned values of `from` onto the work list and releases the rest.
void take(Items& from, std::vector<Value, Alloc<Value>>& work) {
  if (long_release(from.size())) [[unlikely]]
    return release_in_turns(from, &work);
  for (Value& v : from)
    if (owned(v)) work.push_back(std::move(v));
  from.clear();
}

void take(Fields& from, std::vector<Value, Alloc<Value>>& work) {
  if (long_release(from.size())) [[unlikely]] {
    Fields::Storage entries = from.take();
    return release_in_turns(entries, &work);
  }
  for (auto& entry : from)
    if (owned(entry.second)) work.push_back(std::move(entry.second));
  from.clear();
}

}  // namespace

Turns::Turns(const PollHook* hook) noexcept : previous_(std::exchange(t_turns, hook)) {}

Turns::~Turns() {
  t_turns = previous_;
}

// Takes the children apart with a work list instead of recursion.
void release(std::vector<Value, Alloc<Value>> work) noexcept {
  std::uint32_t ticks = kPollTicks;
  while (!work.empty()) {
    if (--ticks == 0) [[unlikely]] {
      ticks = kPollTicks;
      if (t_turns) offer_turn();
    }
    Value v = std::move(work.back());
    work.pop_back();
    if (v.use_count() != 1) continue;  // shared meanwhile: only this reference goes
    if (v.is_array()) {
      Array& a = v.as_array();
      take(a.items, work);
      if (a.lazy && a.lazy->cell) take(*a.lazy->cell, work);
    } else if (v.is_object()) {
      take(v.as_object().fields, work);
    }
    // `v` is released here, with nothing owned left inside it.
  }
}

namespace {

// Children released in the counting way: recursively while few such releases are in progress on the thread,
// else through a work list. Long vectors of them are released a part at a time, with turns between.
template <class... V>
void release_children(V&... children) noexcept {
  const std::uint32_t c = DROPS;
  DROPS = c + 1;
  if (c <= kRecursiveReleases) {
    (..., release_now(children));
  } else {
    std::vector<Value, Alloc<Value>> work;
    (..., take(children, work));
    release(std::move(work));
  }
  DROPS = c;
}

void release_array(Array* a) noexcept {
  Items lazy_items;
  if (a->lazy) {
    if (a->lazy->cell) lazy_items = std::move(*a->lazy->cell);
    // The items read one by one from a long array not read whole.
    if (long_release(a->lazy->taken.size())) [[unlikely]]
      release_in_turns(a->lazy->taken, nullptr);
  }
  // Long arrays skip the look for owned items: it would be one more long pass.
  if (!long_release(a->items.size() + lazy_items.size()) && !any_owned(a->items) && !any_owned(lazy_items)) {
    delete a;
    return;
  }
  Items items = std::move(a->items);
  delete a;
  release_children(items, lazy_items);
}

void release_object(Object* o) noexcept {
  // Long objects skip the look for owned values, as long arrays do.
  bool deep = long_release(o->fields.size());
  if (!deep)
    for (const auto& entry : o->fields)
      if (owned(entry.second)) {
        deep = true;
        break;
      }
  if (!deep) {
    delete o;
    return;
  }
  Fields fields = std::move(o->fields);
  delete o;
  release_children(fields);
}

}  // namespace

void Value::destroy() noexcept {
  switch (tag_) {
    case Tag::String:
      Str::release(static_cast<StrRep*>(u_.p));
      break;
    case Tag::Array:
      release_array(static_cast<Array*>(u_.p));
      break;
    case Tag::Object:
      release_object(static_cast<Object*>(u_.p));
      break;
    case Tag::Function:
      release_function(u_.p);
      break;
    case Tag::Undefined:
    case Tag::Null:
    case Tag::Bool:
    case Tag::Number:
      break;
  }
}

}  // namespace zarnu_core::value
