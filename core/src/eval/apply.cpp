// Applying function values: one application by kind of function, the trampoline that runs chains of tail
// calls in a loop, the entry through which built-ins and hosts call back, and transforms.
#include <cstdint>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "eval/eval.hpp"
#include "support/once.hpp"
#include "support/panic.hpp"
#include "support/saturate.hpp"
#include "value/output.hpp"

namespace zarnu_core::eval {

using ast::Node;
using ast::NodeKind;
using value::Function;
using value::LambdaFn;

// ---------------------------------------------------------------------------------------------------------
// Names and arities

std::optional<std::string_view> procedure_name(const Node& procedure) noexcept {
  if (procedure.kind == NodeKind::Variable) return std::string_view(procedure.text);
  if (procedure.kind == NodeKind::Path && !procedure.children.empty()) {
    const Node& first = procedure.children.front();
    if (first.kind == NodeKind::Name || first.kind == NodeKind::Variable) return std::string_view(first.text);
  }
  return std::nullopt;
}

std::size_t arity(const Function& f) noexcept {
  struct Count {
    std::size_t operator()(const LambdaFn& l) const noexcept {
      return l.params ? l.params->size() : l.def->params.size();
    }
    std::size_t operator()(const value::NativeFn& n) const noexcept { return n.native->arity; }
    std::size_t operator()(const value::HostFn& h) const noexcept { return h.host.arity; }
    std::size_t operator()(const value::PartialFn& p) const noexcept {
      std::size_t open = 0;
      for (const auto& slot : p.args) open += slot ? 0 : 1;
      return open;
    }
    std::size_t operator()(const value::TransformFn&) const noexcept { return 1; }
    std::size_t operator()(const value::MatcherFn&) const noexcept { return 2; }
    std::size_t operator()(const value::NextFn&) const noexcept { return 0; }
  };
  return std::visit(Count{}, f.kind);
}

// ---------------------------------------------------------------------------------------------------------
// One application

namespace {

Result<Value> apply_matcher(Evaluator& ev, const value::MatcherFn& m, Items args) {
  if (args.empty() || !args[0].is_string()) return Value();
  const value::Str text = args[0].as_str();
  std::size_t start = 0;
  if (args.size() > 1 && args[1].is_number() && args[1].as_number() > 0)
    start = regex::byte_offset(text.view(), saturate_cast<std::uint64_t>(args[1].as_number()));
  return regex::exec(ev, m.regex, text, text.size(), start);
}

Result<Value> apply_next(Evaluator& ev, const value::NextFn& n) {
  if (n.start >= n.length) return Value();
  ZR_TRY(Value found, regex::exec(ev, n.regex, n.text, n.length, n.start, n.start_units));
  if (found.is_object()) {
    // A pattern that matched the empty text would match it again at the same place, for ever.
    bool empty = false;
    {
      value::FieldsRef fields = found.as_object().borrow();
      auto it = fields->find(std::string_view("match"));
      empty = it != fields->end() && it->second.is_string() && it->second.as_string().empty();
    }
    if (empty) return fail(error::Error("D1004").with("value", n.regex->pattern));
  }
  return found;
}

const signature::Signature& transform_signature() {
  static constinit once::Once<signature::Signature> sig;
  return sig.get([] {
    auto parsed = signature::Signature::parse("<(oa):o>");
    if (!parsed) panic("valid signature");
    return std::move(*parsed);
  });
}

}  // namespace

Result<Value> Evaluator::apply_inner(const Value& function, Items args, const Value& context,
                                     const FrameRef& frame) {
  if (!function.is_function()) return fail(error::Error("T1006"));
  const Function& fn = function.as_function();
  if (const auto* l = fn.as<LambdaFn>()) {
    if (l->enforce_signature && l->def->signature) {
      ZR_TRY(args, l->def->signature->validate(std::move(args), context, &stepper_));
    }
    FrameRef scope = child(l->frame);
    auto bind_all = [&](const auto& params) {
      for (std::size_t i = 0; i < params.size(); ++i)
        bind(scope, params[i], i < args.size() ? std::move(args[i]) : Value());
    };
    if (l->params)
      bind_all(*l->params);
    else
      bind_all(l->def->params);
    args.clear();
    return eval(l->def->body, l->input, scope);
  }
  if (const auto* n = fn.as<value::NativeFn>()) {
    if (n->native->signature) {
      ZR_TRY(args, n->native->signature->validate(std::move(args), context, &stepper_));
    }
    ZR_TRY(Value v, n->native->implementation(*this, std::move(args), functions::Call{context, frame}));
    return check_size(std::move(v));
  }
  if (const auto* h = fn.as<value::HostFn>()) {
    if (h->host.signature) {
      ZR_TRY(args, h->host.signature->validate(std::move(args), context, &stepper_));
    }
    ZR_TRY(Value v, call_host(h->host, std::move(args), context, frame));
    return check_size(std::move(v));
  }
  if (const auto* p = fn.as<value::PartialFn>()) {
    Items full;
    full.reserve(p->args.size());
    std::size_t next = 0;
    for (const auto& slot : p->args) {
      if (slot)
        full.push_back(*slot);
      else
        full.push_back(next < args.size() ? std::move(args[next++]) : Value());
    }
    args.clear();
    // Partial application fixed the arguments itself: no signature check, no context.
    const Function& inner = p->function.as_function();
    if (const auto* n = inner.as<value::NativeFn>()) {
      ZR_TRY(Value v,
             n->native->implementation(*this, std::move(full), functions::Call{static_undefined(), frame}));
      return check_size(std::move(v));
    }
    if (const auto* h = inner.as<value::HostFn>()) {
      ZR_TRY(Value v, call_host(h->host, std::move(full), static_undefined(), frame));
      return check_size(std::move(v));
    }
    return fail(error::Error("T1006"));
  }
  if (const auto* t = fn.as<value::TransformFn>()) return transform(*t, std::move(args), context);
  if (const auto* m = fn.as<value::MatcherFn>()) return apply_matcher(*this, *m, std::move(args));
  if (const auto* n = fn.as<value::NextFn>()) return apply_next(*this, *n);
  panic("unknown function kind");
}

// ---------------------------------------------------------------------------------------------------------
// The trampoline

namespace {

bool is_thunk(const Value& v) noexcept {
  if (!v.is_function()) return false;
  const auto* l = v.as_function().as<LambdaFn>();
  return l && l->def->thunk;
}

}  // namespace

Result<Value> Evaluator::apply(const Value& function, Items args, const Value& context,
                               const FrameRef& frame) {
  ZR_TRY(Value result, apply_inner(function, std::move(args), context, frame));
  // A call in tail position came back as a thunk: run it here rather than one level deeper.
  while (is_thunk(result)) {
    const LambdaFn& thunk = *result.as_function().as<LambdaFn>();
    const Node& call_node = thunk.def->body;
    const Node& procedure_node = call_node.children.front();
    ZR_TRY(Value procedure, eval(procedure_node, thunk.input, thunk.frame));
    Items call_args;
    call_args.reserve(call_node.children.size() - 1);
    for (std::size_t i = 1; i < call_node.children.size(); ++i) {
      ZR_TRY(Value arg, eval(call_node.children[i], thunk.input, thunk.frame));
      call_args.push_back(std::move(arg));
    }
    // The call runs in the lambda's scope, as it would have in the body, so that a built-in such as
    // $eval sees the lambda's variables; the context stays the caller's.
    auto next = apply_inner(procedure, std::move(call_args), context, thunk.frame);
    if (!next) {
      if (in_composition(procedure_node)) return next;
      error::Error e = locate(std::move(next).error(), procedure_node);
      if (auto name = procedure_name(procedure_node); name && !e.detail("token"))
        e = std::move(e).with_token(*name);
      return fail(std::move(e));
    }
    result = std::move(*next);
  }
  return result;
}

namespace {

// An application made where no node is being evaluated for it (a callback, the copy a transform makes):
// one level of depth, the limits and the stack rule of a node evaluation, then the application with the
// context `Context` gives. The context is a template argument rather than a parameter: a callback, on the
// path of every higher-order built-in, then passes nothing more and asks for it only where it applies.
template <const Value& (*Context)() noexcept>
Result<Value> apply_nested(Evaluator& ev, const Value& function, Items&& args, const FrameRef& frame) {
  Evaluator::DepthGuard guard(ev);
  auto run = [&]() -> Result<Value> {
    if (auto e = ev.check_depth()) return fail(std::move(*e));
    // The limits, and the poll hook every kPollTicks calls: a callee that is no lambda (a built-in, a host
    // function, a transform) evaluates no node that would ask it, and a loop of such calls must still stop
    // and give other threads their turns.
    if (auto e = ev.poll()) return fail(std::move(*e));
    return ev.apply(function, std::move(args), Context(), frame);
  };
  if (stack::remaining() >= stack::kRedZone) [[likely]]
    return run();
  return stack::grow(run);
}

}  // namespace

Result<Value> Evaluator::callback(const Value& function, Items args, const FrameRef& frame) {
  return apply_nested<static_null>(*this, function, std::move(args), frame);
}

// ---------------------------------------------------------------------------------------------------------
// Transforms

namespace {

// The containers of a transform's copy that nothing outside the copy refers to; an update changes only
// these. A pattern can reach objects held elsewhere (the input through "$$", a variable's value, or what a
// rebound $clone handed back), and changing those in place would change the input or the bindings.
// Each container's count less the references from the copy's own containers and from the transform
// itself leaves the references from outside; a container that has any is shared, and so is everything
// reachable from it. The counts are taken before the pattern runs: a variable the pattern binds to one
// of the copy's objects refers to it from outside the copy, yet the object stays the copy's own.
class Owned {
 public:
  explicit Owned(const Value& copy) {
    if (key(copy)) visit(copy);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      const std::size_t first = edges_.size();
      for_each_child(*nodes_[i].value, [&](const Value& child) { edges_.push_back(visit(child)); });
      nodes_[i].first_edge = first;
      nodes_[i].last_edge = edges_.size();
    }
    for (std::size_t e : edges_) --nodes_[e].outside;
    if (auto it = index_.find(key(copy)); it != index_.end()) --nodes_[it->second].outside;
    std::vector<std::size_t> work;
    for (std::size_t i = 0; i < nodes_.size(); ++i)
      if (nodes_[i].outside > 0) work.push_back(i);
    while (!work.empty()) {
      Info& n = nodes_[work.back()];
      work.pop_back();
      if (n.shared) continue;
      n.shared = true;
      for (std::size_t e = n.first_edge; e < n.last_edge; ++e)
        if (!nodes_[edges_[e]].shared) work.push_back(edges_[e]);
    }
  }

  bool contains(const Value& item) const {
    auto it = index_.find(key(item));
    return it != index_.end() && !nodes_[it->second].shared;
  }

 private:
  struct Info {
    const Value* value;
    std::int64_t outside;  // references not accounted for by the copy or the transform
    std::size_t first_edge = 0;
    std::size_t last_edge = 0;
    bool shared = false;
  };

  static const void* key(const Value& v) noexcept {
    if (v.is_object()) return &v.as_object();
    if (v.is_array()) return &v.as_array();
    return nullptr;
  }

  template <class F>
  static void for_each_child(const Value& v, F&& f) {
    if (v.is_array()) {
      for (const Value& item : v.as_array().read())
        if (item.is_array() || item.is_object()) f(item);
    } else {
      value::FieldsRef fields = v.as_object().borrow();
      for (const auto& [k, child] : *fields)
        if (child.is_array() || child.is_object()) f(child);
    }
  }

  // The index of a container, recorded on first sight. The pointers stay valid: nothing changes the
  // copy while this runs.
  std::size_t visit(const Value& v) {
    auto [it, fresh] = index_.try_emplace(key(v), nodes_.size());
    if (fresh) nodes_.push_back(Info{&v, static_cast<std::int64_t>(v.use_count())});
    return it->second;
  }

  std::vector<Info> nodes_;
  std::vector<std::size_t> edges_;
  boost::unordered_flat_map<const void*, std::size_t> index_;
};

// What the values an update stores lead to: the object being updated (a cycle of objects, refused), and
// function values (which may hold the object as their context).
struct Reach {
  bool target = false;
  bool function = false;
};

Reach search(const Value& from, const value::Object& target) {
  Reach r;
  if (from.is_function()) r.function = true;
  if (!from.is_array() && !from.is_object()) return r;
  boost::unordered_flat_set<const void*> seen;
  std::vector<Value, value::Alloc<Value>> work;
  work.push_back(from);
  while (!work.empty()) {
    Value v = std::move(work.back());
    work.pop_back();
    auto push = [&](const Value& child) {
      if (child.is_function()) r.function = true;
      if (child.is_array() && seen.insert(&child.as_array()).second) work.push_back(child);
      if (child.is_object() && seen.insert(&child.as_object()).second) work.push_back(child);
    };
    if (v.is_object()) {
      if (&v.as_object() == &target) {
        r.target = true;
        return r;
      }
      value::FieldsRef fields = v.as_object().borrow();
      for (const auto& [k, child] : *fields) push(child);
    } else {
      for (const Value& item : v.as_array().read()) push(item);
    }
  }
  return r;
}

// Replaces every function value inside `v` (v itself included) by undefined, visiting each container
// once.
void drop_functions(Value& v) {
  if (v.is_function()) v = Value();
  if (!v.is_array() && !v.is_object()) return;
  boost::unordered_flat_set<const void*> seen;
  std::vector<Value, value::Alloc<Value>> work;
  work.push_back(v);
  while (!work.empty()) {
    Value c = std::move(work.back());
    work.pop_back();
    auto visit = [&](Value& child) {
      if (child.is_function())
        child = Value();
      else if (child.is_array() && seen.insert(&child.as_array()).second)
        work.push_back(child);
      else if (child.is_object() && seen.insert(&child.as_object()).second)
        work.push_back(child);
    };
    if (c.is_array()) {
      for (Value& item : c.as_array().items) visit(item);
    } else if (!c.as_object().needs_read() && c.as_object().borrows == 0) {
      value::FieldsMut fields = c.as_object().borrow_mut();
      for (auto it = fields->begin(); it != fields->end(); ++it) visit(it.value());
    }
  }
}

}  // namespace

void FunctionHolders::add(Value object, value::Str key) {
  held_.emplace_back(std::move(object), std::move(key));
}

FunctionHolders::~FunctionHolders() {
  for (auto& [object, key] : held_) {
    value::Object& o = object.as_object();
    if (o.borrows != 0) continue;
    Value taken;
    {
      value::FieldsMut fields = o.borrow_mut();
      auto it = fields->find(key);
      if (it == fields->end()) continue;
      taken = std::exchange(it.value(), Value());
    }
    drop_functions(taken);
    value::FieldsMut fields = o.borrow_mut();
    if (auto it = fields->find(key); it != fields->end() && it->second.is_undefined())
      it.value() = std::move(taken);
  }
}

Result<Value> Evaluator::transform(const value::TransformFn& t, Items args, const Value& context) {
  ZR_TRY(args, transform_signature().validate(std::move(args), context));
  Value arg = std::move(args.front());
  args.clear();
  if (arg.is_undefined()) return arg;
  auto run = [&]() -> Result<Value> {
    Value clone = t.frame->lookup("clone");
    if (!clone.is_function()) return fail(error::Error("T2013"));
    Items one;
    one.push_back(arg);
    // A nested application: $clone may be this transform itself, or lead back to it through calls that
    // evaluate no node or return before the copy is asked for again (a tail call), and only this count
    // then ends the loop.
    ZR_TRY(Value copy, apply_nested<static_undefined>(*this, clone, std::move(one), t.frame));
    const Owned owned(copy);
    Items items;
    {
      ZR_TRY(Value matched, eval(t.def->pattern, copy, t.frame));
      if (matched.is_undefined()) return copy;
      items = matched.items_or_self();
    }

    for (const Value& item : items) {
      const Node& update_node = t.def->update;
      ZR_TRY(Value update, eval(update_node, item, t.frame));
      if (!update.is_undefined()) {
        if (!update.is_object()) return fail(locate(with_value(error::Error("T2011"), update), update_node));
        if (item.is_object()) {
          std::vector<value::Entry, value::Alloc<value::Entry>> entries;
          {
            value::FieldsRef fields = update.as_object().borrow();
            entries.reserve(fields->size());
            for (const auto& [k, v] : *fields) entries.emplace_back(k, v);
          }
          std::vector<bool> functions(entries.size());
          for (std::size_t i = 0; i < entries.size(); ++i) {
            Reach r = search(entries[i].second, item.as_object());
            if (r.target)
              return fail(locate(
                  error::Error("U1001").with_message("The transform would make an object contain itself"),
                  update_node));
            functions[i] = r.function;
          }
          if (owned.contains(item)) {
            value::FieldsMut fields = item.as_object().borrow_mut();
            for (std::size_t i = 0; i < entries.size(); ++i) {
              if (functions[i]) holders_.add(item, entries[i].first);
              fields->insert_or_assign(std::move(entries[i].first), std::move(entries[i].second));
            }
          }
        }
      }
      if (t.def->remove) {
        const Node& remove_node = *t.def->remove;
        ZR_TRY(Value removed, eval(remove_node, item, t.frame));
        if (!removed.is_undefined()) {
          Items names = removed.items_or_self();
          for (const Value& name : names)
            if (!name.is_string())
              return fail(locate(with_value(error::Error("T2012"), removed), remove_node));
          if (item.is_object() && owned.contains(item)) {
            value::FieldsMut fields = item.as_object().borrow_mut();
            for (const Value& name : names) fields->erase(name.as_str());
          }
        }
      }
    }
    return copy;
  };
  auto out = run();
  if (!out && !out.error().is_located()) return fail(std::move(out).error().located_at(t.position, t.span));
  return out;
}

}  // namespace zarnu_core::eval
