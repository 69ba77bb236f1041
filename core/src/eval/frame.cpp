// Scopes of variables and the registry of scopes cleared when an evaluation ends.
#include "eval/frame.hpp"

#include "eval/function.hpp"
#include "eval/native.hpp"
#include "support/panic.hpp"

namespace zarnu_core::eval {

using value::Value;

Frame::~Frame() {
  if (registry_) registry_->remove(*this);
}

Value* Frame::indexed(std::string_view name) const noexcept {
  auto it = index_->find(name);
  return it == index_->end() ? nullptr : &vars_[it->second].value;
}

void Frame::index_last() const {
  if (index_) {
    index_->emplace(vars_.back().name, static_cast<std::uint32_t>(vars_.size() - 1));
    return;
  }
  index_ = std::make_unique<Index>(vars_.size() * 2, NameHash{hash::map_seed()});
  for (std::size_t i = 0; i < vars_.size(); ++i)
    index_->emplace(vars_[i].name, static_cast<std::uint32_t>(i));
}

Value Frame::lookup(std::string_view name) const {
  const Frame* f = this;
  for (;;) {
    if (const Value* v = f->find_here(name)) return *v;
    if (!f->parent) break;
    f = f->parent.get();
  }
  if (name == "$") return f->input;
  return f->builtin(name);
}

void Frame::set(std::string_view name, Value v, value::Str owner) {
  if (busy_) panic("already borrowed");
  if (Value* bound = slot(name)) {
    Value dropped = std::exchange(*bound, std::move(v));
    return;  // the old value goes once the scope is consistent again
  }
  append(name, std::move(owner), std::move(v));
}

void Frame::clear_vars() noexcept {
  // Release outside the vector: releasing a value can release scopes that look at this one.
  auto vars = std::move(vars_);
  vars_.clear();
  index_.reset();
  vars.clear();
}

Value Frame::builtin(std::string_view name) const {
  const functions::Native* native = functions::lookup(name);
  if (!native) return Value();
  Value fn = value::make_function(value::NativeFn{native});
  // Cached under the record's own (static) name; the cache is not registered for clearing.
  append(native->name, {}, fn);
  return fn;
}

void FrameRegistry::add(Frame& f) noexcept {
  if (f.registry_) return;
  f.registry_ = this;
  f.prev_ = nullptr;
  f.next_ = head_;
  if (head_) head_->prev_ = &f;
  head_ = &f;
  ++size_;
}

void FrameRegistry::remove(Frame& f) noexcept {
  if (f.prev_)
    f.prev_->next_ = f.next_;
  else
    head_ = f.next_;
  if (f.next_) f.next_->prev_ = f.prev_;
  f.prev_ = f.next_ = nullptr;
  f.registry_ = nullptr;
  --size_;
}

void FrameRegistry::clear_all() noexcept {
  // Each scope is held while its variables are cleared, and leaves the registry first, so that scopes
  // released by the clearing unlink themselves from a consistent list.
  while (head_) {
    Frame& f = *head_;
    value::Rc<Frame> keep = value::Rc<Frame>::share(&f);
    remove(f);
    f.clear_vars();
  }
}

}  // namespace zarnu_core::eval
