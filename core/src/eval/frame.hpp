// Scopes of variables, chained from the innermost scope to the evaluation's root scope, which also holds
// the input ("$$") and resolves built-in functions by name. Names are views into text that outlives every
// scope of the evaluation: the syntax trees and binding names held by the root's keeper, or static text.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "support/hash.hpp"
#include "syntax/ast.hpp"
#include "value/value.hpp"

namespace zarnu_core::eval {

// What the scopes and function values of one evaluation refer to without owning: the syntax trees
// (the compiled one and those parsed by `$eval`) and the names of the host bindings.
struct Keeper : value::Counted {
  std::shared_ptr<const ast::Ast> ast;
  std::vector<std::shared_ptr<const ast::Ast>> more;
  std::deque<std::string> names;

  std::string_view keep_name(std::string name) { return names.emplace_back(std::move(name)); }
};

class FrameRegistry;

// One scope of variables.
class Frame : public value::Counted, public pool::Pooled {
 public:
  Frame() = default;
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  ~Frame();

  // The value of a name seen from this scope (undefined when nothing is bound).
  value::Value lookup(std::string_view name) const;
  // Binds a name in this scope, replacing an earlier binding of the same name here. The name must outlive
  // the scope (text of the trees or names the keeper holds, or static text) unless `owner` holds it.
  void set(std::string_view name, value::Value v, value::Str owner = {});
  // The bound value in this scope alone, or null.
  const value::Value* find_here(std::string_view name) const noexcept { return slot(name); }
  void clear_vars() noexcept;
  bool is_root() const noexcept { return !parent; }

  value::Value input;        // the evaluation's input, in the root scope only
  value::Rc<Frame> parent;   // none for the root
  value::Rc<Keeper> keeper;  // in the root scope only

 private:
  friend class FrameRegistry;
  value::Value builtin(std::string_view name) const;

  struct Var {
    std::string_view name;
    value::Str owner;  // holds the name's text when nothing else does
    value::Value value;
  };
  mutable std::vector<Var, value::Alloc<Var>> vars_;
  // Positions in `vars_` by name, once a scope holds more than a few: most scopes hold one to three
  // variables, which a scan finds faster than a hash, but a root scope may hold thousands of bindings.
  struct NameHash {
    std::uint64_t seed;
    std::size_t operator()(std::string_view name) const noexcept { return hash::bytes(name, seed); }
  };
  using Index = boost::unordered_flat_map<std::string_view, std::uint32_t, NameHash>;
  static constexpr std::size_t kScanned = 8;
  mutable std::unique_ptr<Index> index_;
  value::Value* slot(std::string_view name) const noexcept {
    if (index_) [[unlikely]]
      return indexed(name);
    for (Var& var : vars_)
      if (var.name == name) return &var.value;
    return nullptr;
  }
  value::Value* indexed(std::string_view name) const noexcept;
  void append(std::string_view name, value::Str owner, value::Value v) const {
    vars_.push_back(Var{name, std::move(owner), std::move(v)});
    if (vars_.size() > kScanned) [[unlikely]]
      index_last();
  }
  // Indexes the variable just appended, or all of them once there are too many to scan.
  void index_last() const;
  mutable bool busy_ = false;  // the vars are being changed
  // Membership in the registry of frames to clear when the evaluation ends.
  FrameRegistry* registry_ = nullptr;
  Frame* prev_ = nullptr;
  Frame* next_ = nullptr;
};

// The scopes that received a container or function binding: their variables are cleared when the
// evaluation ends, breaking cycles between scopes and the function values they hold. A scope leaves the
// registry when it dies, so the registry never grows beyond the scopes alive.
class FrameRegistry {
 public:
  FrameRegistry() = default;
  FrameRegistry(const FrameRegistry&) = delete;
  FrameRegistry& operator=(const FrameRegistry&) = delete;
  ~FrameRegistry() { clear_all(); }

  void add(Frame& f) noexcept;
  void remove(Frame& f) noexcept;
  // Clears every registered scope's variables and empties the registry.
  void clear_all() noexcept;
  std::size_t size() const noexcept { return size_; }

 private:
  Frame* head_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zarnu_core::eval
