// Construction and release of values. Releasing the last reference to a deeply nested value recurses
// only while few such releases are in progress on the thread; deeper levels are taken apart iteratively.
#include "value/value.hpp"

#include "support/panic.hpp"
#include "value/lazy.hpp"

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

// Moves the owned values of `from` onto the work list and releases the rest.
void take(Items& from, std::vector<Value, Alloc<Value>>& work) {
  for (Value& v : from)
    if (owned(v)) work.push_back(std::move(v));
  from.clear();
}

void take(Fields& from, std::vector<Value, Alloc<Value>>& work) {
  for (auto& entry : from)
    if (owned(entry.second)) work.push_back(std::move(entry.second));
  from.clear();
}

}  // namespace

// Takes the children apart with a work list instead of recursion.
void release(std::vector<Value, Alloc<Value>> work) noexcept {
  while (!work.empty()) {
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

void release_children(Items& items, Items& more) noexcept {
  const std::uint32_t c = DROPS;
  DROPS = c + 1;
  if (c <= kRecursiveReleases) {
    items.clear();
    more.clear();
  } else {
    std::vector<Value, Alloc<Value>> work;
    take(items, work);
    take(more, work);
    release(std::move(work));
  }
  DROPS = c;
}

void release_array(Array* a) noexcept {
  Items lazy_items;
  if (a->lazy && a->lazy->cell) lazy_items = std::move(*a->lazy->cell);
  if (!any_owned(a->items) && !any_owned(lazy_items)) {
    delete a;
    return;
  }
  Items items = std::move(a->items);
  delete a;
  release_children(items, lazy_items);
}

void release_object(Object* o) noexcept {
  bool deep = false;
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
  const std::uint32_t c = DROPS;
  DROPS = c + 1;
  if (c <= kRecursiveReleases) {
    fields.clear();
  } else {
    std::vector<Value, Alloc<Value>> work;
    take(fields, work);
    release(std::move(work));
  }
  DROPS = c;
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
