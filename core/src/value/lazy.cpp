// Lazily read host values: reading arrays and objects whole or one member at a time.
#include "value/lazy.hpp"

#include <algorithm>

#include "value/error.hpp"

namespace zarnu_core::value {

Str Keys::get(std::string_view text) {
  auto it = set_.find(text);
  if (it != set_.end()) return *it;
  return *set_.insert(Str::make(text)).first;
}

Str Shared::member_key(std::string_view text) {
  if (!last_member_key.view().empty() && last_member_key.view() == text) return last_member_key;
  last_member_key = keys.get(text);
  return last_member_key;
}

void Shared::record(std::string text) {
  failed = true;
  if (!first_failure) first_failure = std::move(text);
}

error::Error Shared::failure() const {
  return error::Error("U1004").with_message(first_failure.value_or(std::string()));
}

void Sink::push(Value value) {
  switch (target_.index()) {
    case 0:
      std::get<0>(target_)->push_back(std::move(value));
      return;
    case 1: {
      if (!key_) return;  // no key: the value is released
      Str key = std::move(*key_);
      key_.reset();
      Fields& fields = *std::get<1>(target_);
      auto [it, inserted] = fields.try_emplace(std::move(key), Value());
      it.value() = std::move(value);
      return;
    }
    default: {
      Value& slot = *std::get<2>(target_);
      if (slot.is_undefined()) slot = std::move(value);
      return;
    }
  }
}

void Sink::reserve(std::size_t n) {
  if (auto* items = std::get_if<Items*>(&target_))
    (*items)->reserve((*items)->size() + n);
  else if (auto* fields = std::get_if<Fields*>(&target_))
    (*fields)->reserve((*fields)->size() + n);
}

void Sink::clear() {
  if (auto* items = std::get_if<Items*>(&target_))
    (*items)->clear();
  else if (auto* fields = std::get_if<Fields*>(&target_))
    (*fields)->clear();
  else
    *std::get<Value*>(target_) = Value();
}

namespace {

// The member of JSON object data with this key. Small objects, and any object for its first few lookups, are
// scanned; an object looked up more often gets an index, so that looking up each of its n members costs n.
const json::Json* json_member(Pending& p, std::string_view key) {
  constexpr std::size_t kScanned = 8;
  constexpr std::uint32_t kScansBeforeIndex = 4;
  const auto& members = p.json->get_ref<const json::Json::object_t&>();
  if (!p.members && (members.size() <= kScanned || p.scans++ < kScansBeforeIndex)) {
    for (const auto& member : members)
      if (member.first == key) return &member.second;
    return nullptr;
  }
  if (!p.members) p.members = std::make_unique<json::MemberIndex>(members);
  auto at = p.members->find(key);
  return at ? &members.begin()[static_cast<std::ptrdiff_t>(*at)].second : nullptr;
}

// Puts a member container read one by one into an object not read whole.
void put_member(const Value& item, Str key, Value member) {
  if (!item.is_object()) return;
  Object& object = item.as_object();
  if (!object.needs_read()) return;
  auto [it, inserted] = object.fields.try_emplace(std::move(key), Value());
  it.value() = std::move(member);
  object.read_state = 1;
}

// Calls a host source's read and records its failure; the target keeps nothing of a failed read.
void read_source(Pending& pending, std::uint32_t index, Sink& sink) {
  if (auto failure = pending.source->read(index, sink)) {
    pending.shared->record(std::move(*failure));
    sink.clear();
  }
}

}  // namespace

Value lazy_array(Pending pending, std::uint32_t index) {
  auto* rep = new Array();
  Value v = Value::adopt_array(rep);
  rep->lazy.reset(new LazyItems{std::move(pending), index, std::nullopt, {}});
  return v;
}

Value lazy_object(Pending pending, std::uint32_t index) {
  void* block = pool::allocate(kLazyObjectBytes);
  Object* rep;
  try {
    rep = ::new (block) Object();
  } catch (...) {
    pool::release(block, kLazyObjectBytes);
    throw;
  }
  Value v = Value::adopt_object(rep);
  rep->pending.emplace(rep + 1, std::move(pending));
  rep->index = index;
  rep->read_state = 0;
  return v;
}

Value lazy(const json::Json& data, const Rc<Shared>& shared) {
  switch (data.type()) {
    case json::Json::value_t::null:
      return Value::null();
    case json::Json::value_t::boolean:
      return Value::boolean(data.get<bool>());
    case json::Json::value_t::number_integer:
      return Value::number(static_cast<double>(data.get<std::int64_t>()));
    case json::Json::value_t::number_unsigned:
      return Value::number(static_cast<double>(data.get<std::uint64_t>()));
    case json::Json::value_t::number_float:
      return Value::number(data.get<double>());
    case json::Json::value_t::string:
      return Value::string(data.get_ref<const std::string&>());
    case json::Json::value_t::array:
      if (data.empty()) return Value::array_with({}, 0);
      return lazy_array(Pending{shared, {}, &data}, 0);
    case json::Json::value_t::object:
      if (data.empty()) return Value::object();
      return lazy_object(Pending{shared, {}, &data}, 0);
    default:
      return Value::null();
  }
}

Value lazy(std::shared_ptr<const json::Json> root, const Rc<Shared>& shared) {
  const json::Json& data = *root;
  shared->json_owners.push_back(std::move(root));
  return lazy(data, shared);
}

const Items& LazyItems::read() {
  if (cell) return *cell;
  Items items;
  if (pending.source) {
    Sink sink(items, pending.shared);
    read_source(pending, index, sink);
    // The source reads the same items it gave one by one: those kept take their places.
    for (Kept& kept : taken) {
      if (kept.position >= items.size()) continue;
      if (kept.key.view().empty())
        items[kept.position] = std::move(kept.value);
      else
        put_member(items[kept.position], std::move(kept.key), std::move(kept.value));
    }
    taken.clear();
  } else if (pending.json && pending.json->is_array()) {
    items.reserve(pending.json->size());
    for (const json::Json& item : *pending.json) items.push_back(lazy(item, pending.shared));
  }
  cell.emplace(std::move(items));
  return *cell;
}

const Items& read_lazy_items(Array& array) {
  return array.lazy->read();
}

void Object::read() {
  if (!needs_read()) return;
  const std::uint8_t previous = read_state;
  read_state = 2;
  Fields old = std::exchange(fields, make_fields());
  Pending& p = *pending;
  if (p.source) {
    Sink sink(fields, p.shared);
    read_source(p, index, sink);
    // Members read one by one keep their identity at the position the source gives them.
    if (previous == 1) {
      for (auto& [key, value] : old) {
        auto it = fields.find(key.view());
        if (it != fields.end()) it.value() = std::move(value);
      }
    }
  } else if (p.json && p.json->is_object()) {
    fields.reserve(p.json->size());
    for (auto it = p.json->begin(); it != p.json->end(); ++it) {
      Str key = p.shared->keys.get(it.key());
      auto found = old.find(key.view());
      Value value = found != old.end() ? std::move(found.value()) : lazy(it.value(), p.shared);
      auto [slot, inserted] = fields.try_emplace(std::move(key), Value());
      slot.value() = std::move(value);
    }
  }
}

LazyItems* unread_host_array(const Value& v) noexcept {
  if (!v.is_array()) return nullptr;
  Array& a = v.as_array();
  if (a.flags & (kSequence | kCons) || !a.lazy || a.lazy->cell || !a.lazy->pending.source) return nullptr;
  return a.lazy.get();
}

Value read_field(Object& object, std::string_view key) {
  if (!object.needs_read()) {
    auto it = object.fields.find(key);
    return it != object.fields.end() ? it->second : Value();
  }
  if (object.read_state == 1) {
    auto it = object.fields.find(key);
    if (it != object.fields.end()) return it->second;
  }
  Pending& p = *object.pending;
  Value value;
  if (p.source) {
    Sink slot(value, p.shared);
    std::string failure;
    switch (p.source->read_field(object.index, key, slot, failure)) {
      case FieldOutcome::Failed:
        p.shared->record(std::move(failure));
        return Value();
      case FieldOutcome::NotSupported: {
        object.read();
        auto it = object.fields.find(key);
        return it != object.fields.end() ? it->second : Value();
      }
      case FieldOutcome::Handled:
        break;
    }
  } else {
    if (!p.json || !p.json->is_object()) return Value();
    const json::Json* member = json_member(p, key);
    if (!member) return Value();
    value = lazy(*member, p.shared);
  }
  // Containers are kept so that later reads see the same container with what was read of it.
  if (value.is_array() || value.is_object()) {
    Str interned = p.shared->member_key(key);
    auto [it, inserted] = object.fields.try_emplace(std::move(interned), Value());
    it.value() = value;
    object.read_state = 1;
  }
  return value;
}

namespace {

// The first of what is kept of item `position`, or where it would go.
auto kept_at(LazyItems& lazy, std::size_t position) {
  return std::lower_bound(lazy.taken.begin(), lazy.taken.end(), position,
                          [](const LazyItems::Kept& kept, std::size_t p) { return kept.position < p; });
}

}  // namespace

std::optional<Value> read_item(LazyItems& lazy, std::size_t position) {
  // Items are mostly taken in ascending order: past the last kept, nothing needs looking up.
  const auto after_kept = [&] { return lazy.taken.empty() || lazy.taken.back().position < position; };
  if (!after_kept()) {
    auto at = kept_at(lazy, position);
    if (at != lazy.taken.end() && at->position == position && at->key.view().empty()) return at->value;
  }
  Pending& p = lazy.pending;
  Value item;
  Sink slot(item, p.shared);
  std::string failure;
  switch (p.source->read_item(lazy.index, position, slot, failure)) {
    case FieldOutcome::NotSupported:
      return std::nullopt;
    case FieldOutcome::Failed:
      p.shared->record(std::move(failure));
      return Value();
    case FieldOutcome::Handled:
      break;
  }
  if (!item.is_array() && !item.is_object()) return item;
  if (after_kept()) {
    if (lazy.taken.empty()) lazy.taken.reserve(4);
    lazy.taken.push_back({position, Str(), item});
    return item;
  }
  // Found again: the read ran code that may have read the item meanwhile. Members kept go into the item.
  auto at = kept_at(lazy, position);
  if (at != lazy.taken.end() && at->position == position && at->key.view().empty()) return at->value;
  auto end = at;
  for (; end != lazy.taken.end() && end->position == position; ++end)
    put_member(item, std::move(end->key), std::move(end->value));
  at = lazy.taken.erase(at, end);
  lazy.taken.insert(at, LazyItems::Kept{position, Str(), item});
  return item;
}

void keep_member(LazyItems& lazy, std::size_t position, std::string_view key, Value member) {
  Str interned = lazy.pending.shared->member_key(key);
  if (lazy.taken.empty() || lazy.taken.back().position < position) {
    lazy.taken.push_back({position, std::move(interned), std::move(member)});
    return;
  }
  auto at = kept_at(lazy, position);
  if (at != lazy.taken.end() && at->position == position && at->key.view().empty()) {
    put_member(at->value, std::move(interned), std::move(member));
    return;
  }
  lazy.taken.insert(at, LazyItems::Kept{position, std::move(interned), std::move(member)});
}

void LazyDeleter::operator()(LazyItems* p) const noexcept {
  delete p;
}

void PendingSlot::emplace(void* place, Pending&& pending) noexcept {
  if (p_) destroy(p_);
  p_ = ::new (place) Pending(std::move(pending));
}

void PendingSlot::destroy(Pending* p) noexcept {
  p->~Pending();
}

void Object::operator delete(Object* o, std::destroying_delete_t) noexcept {
  const std::size_t bytes = o->pending ? kLazyObjectBytes : sizeof(Object);
  o->~Object();
  pool::release(o, bytes);
}

}  // namespace zarnu_core::value
