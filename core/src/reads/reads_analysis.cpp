// The read analysis: walks a processed tree as an abstract evaluator whose values are the places (the input
// or a binding, and a field path) they may come from, recording what every use of a value reads. Sound
// rather than exact: whatever it cannot identify is read whole.
#include "reads/reads_analysis.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "eval/expression.hpp"
#include "eval/native.hpp"
#include "support/stack.hpp"
#include "syntax/ast.hpp"
#include "syntax/signature.hpp"
#include "value/reads.hpp"

namespace zarnu_core::reads {

namespace {

using ast::Node;
using ast::NodeKind;
using functions::Native;
using signature::Signature;
using Places = std::vector<Place>;

// Past this many places a value is read whole wherever it may come from.
constexpr std::size_t kMaxPlaces = 256;

// A variable of one scope: every place ever bound to it there, and the stamp of its first binding.
struct Var {
  Places places;
  std::uint64_t stamp = 0;
};

struct Scope {
  std::optional<std::size_t> parent;
  boost::unordered_flat_map<std::string_view, Var> vars;
};

// (scope, stamp) pairs: inside a deferred body, a binding of that scope counts as decisive only when it
// was made before the stamp, that is before the body was defined.
using Chain = std::vector<std::pair<std::size_t, std::uint64_t>>;

// A lambda body or transform to analyse once the tree that defines it is done.
struct Deferred {
  const Node* node;  // the Lambda or Transform node
  Places context;
  Chain chain;
  std::size_t scope;
};

// An argument of a call: a node evaluated on demand, or the places of the left side of "~>".
struct Arg {
  const Node* node = nullptr;
  const Places* ready = nullptr;
};

struct Found {
  Places places;
  bool found = false;     // some scope holds the name
  bool resolved = false;  // and one of them decisively
};

bool takes_context(const Signature& sig) noexcept {
  return std::ranges::any_of(sig.params(), [](const signature::Param& p) { return p.use_context; });
}

bool bare(const Node& n) noexcept {
  return !n.has_predicates() && !n.has_stages() && !n.group();
}

// Whether an argument's value is never undefined: a literal or a constructor with nothing applied to it.
// An argument given as ready places may be anything.
bool never_undefined(const Node* n) noexcept {
  if (!n || !bare(*n)) return false;
  switch (n->kind) {
    case NodeKind::String:
    case NodeKind::Number:
    case NodeKind::Bool:
    case NodeKind::Null:
    case NodeKind::Array:
    case NodeKind::Object:
      return true;
    default:
      return false;
  }
}

class Analysis {
 public:
  explicit Analysis(const Bindings* bindings) {
    if (!bindings) return;
    for (const auto& [name, f] : bindings->functions) {
      hidden_.insert(name);
      if (!f.context) host_.emplace(name, f.signature.get());
    }
  }

  Reads run(const Node& root);

 private:
  // The driver and the node kinds.
  void survey(const Node& root);
  Places eval(const Node& node, const Places& context, std::size_t scope);
  Places eval_here(const Node& node, const Places& context, std::size_t scope);
  Places finish(const Node& node, Places out, std::size_t scope);
  Places path(const Node& node, const Places& context, std::size_t scope);
  void used(const Node& node, const Places& context, std::size_t scope) {
    use_whole(eval(node, context, scope));
  }
  void use_whole(const Places& places);
  void mark_present(const Places& places) {
    for (const Place& p : places) mark(p, false);
  }
  void mark(const Place& place, bool whole);
  void join(Places& into, const Places& from);
  Places field(const Places& context, std::string_view name);
  void filter(const Node& predicate, const Places& context, std::size_t scope);

  // Scopes and variables.
  std::size_t new_scope(std::optional<std::size_t> parent) {
    scopes_.push_back(Scope{parent, {}});
    return scopes_.size() - 1;
  }
  void bind(std::size_t scope, std::string_view name, const Places& places, std::uint64_t stamp);
  Found lookup(std::string_view name, std::size_t scope);
  bool visible(std::string_view name, std::size_t scope) const;
  void defer(const Node& node, Places context, std::size_t scope);
  Places variable(std::string_view name, const Places& context, std::size_t scope);
  Places bind_node(const Node& node, const Places& context, std::size_t scope);

  // Calls.
  const Native* builtin(const Node& node, std::size_t scope) const;
  Places apply(const Node& node, const Places& context, std::size_t scope);
  Places call(const Node& procedure, std::span<const Arg> args, const Places& context, std::size_t scope);
  Places native(const Native& fn, std::span<const Arg> args, const Places& context, std::size_t scope);
  Places inline_lambda(std::string_view name, std::span<const Arg> args, const Places& context,
                       std::size_t scope);
  void signature_context(const Signature& sig, std::size_t n, const Places& context);
  Places argument(const Arg& a, const Places& context, std::size_t scope) {
    return a.ready ? *a.ready : eval(*a.node, context, scope);
  }
  std::uint64_t next_stamp() noexcept { return ++stamp_; }

  std::optional<Read> input_;
  std::map<std::string, Read, std::less<>> bindings_;
  boost::unordered_flat_map<std::string_view, const Signature*> host_;
  // Every host function's name: bound in the root scope, each hides the built-in of its name.
  boost::unordered_flat_set<std::string_view> hidden_;
  std::vector<Scope> scopes_;
  std::deque<Deferred> queue_;
  Chain chain_;
  std::vector<Places> held_;  // contexts of calls whose callee may yet turn out to read its context
  boost::unordered_flat_set<std::string_view> referenced_;
  boost::unordered_flat_set<std::string_view> bound_;
  std::uint64_t stamp_ = 0;
  std::size_t depth_ = 0;
  bool read_all_ = false;
  bool every_binding_ = false;
  bool unknown_escaped_ = false;  // a binding that may be an unknown function was used as a value
  bool context_escaped_ = false;  // a function that may read its call's context was used as a value
};

// ---------------------------------------------------------------------------------------------------------
// Driver

Reads Analysis::run(const Node& root) {
  survey(root);
  const std::size_t top = new_scope(std::nullopt);
  use_whole(eval(root, Places{Place{}}, top));

  while (!queue_.empty()) {
    Deferred item = std::move(queue_.front());
    queue_.pop_front();
    chain_ = std::move(item.chain);
    const std::size_t scope = new_scope(item.scope);
    if (item.node->kind == NodeKind::Lambda) {
      const ast::LambdaDef& fn = *item.node->lambda;
      if (fn.signature && takes_context(*fn.signature)) context_escaped_ = true;
      const std::uint64_t stamp = next_stamp();
      for (const std::string& p : fn.params) bind(scope, p, {}, stamp);
      used(fn.body, item.context, scope);
    } else {
      const ast::TransformDef& t = *item.node->transform;
      used(t.pattern, {}, scope);
      used(t.update, {}, scope);
      if (t.remove) used(*t.remove, {}, scope);
    }
  }

  if (unknown_escaped_ || context_escaped_)
    for (const Places& context : held_) use_whole(context);
  if (read_all_) {
    input_ = Read::all();
    for (std::string_view name : referenced_) bindings_.insert_or_assign(std::string(name), Read::all());
  }
  return Reads{std::move(input_), std::move(bindings_), every_binding_};
}

// Collects every name bound anywhere, so that a name no scope holds at its use can be told apart from a
// binding passed in by the caller.
void Analysis::survey(const Node& root) {
  root.walk([&](const Node& n) {
    if (n.kind == NodeKind::Bind && n.lhs().kind == NodeKind::Variable) bound_.insert(n.lhs().text);
    if (n.kind == NodeKind::Lambda)
      for (const std::string& p : n.lambda->params) bound_.insert(p);
    // "$eval" can read any binding, and the input through its focus.
    if (n.kind == NodeKind::Variable && n.text == "eval") read_all_ = every_binding_ = true;
    if (!n.attrs) return;
    const ast::Attrs& a = *n.attrs;
    if (a.focus) bound_.insert(*a.focus);
    if (a.index) bound_.insert(*a.index);
    if (a.ancestor_label) bound_.insert(*a.ancestor_label);
    for (const ast::Stage& s : a.stages)
      if (!s.is_filter()) bound_.insert(s.name);
  });
}

Places Analysis::eval(const Node& node, const Places& context, std::size_t scope) {
  struct Deeper {
    std::size_t& depth;
    explicit Deeper(std::size_t& d) : depth(++d) {}
    ~Deeper() { --depth; }
  } deeper(depth_);
  return stack::nest(depth_, [&] { return eval_here(node, context, scope); });
}

Places Analysis::eval_here(const Node& node, const Places& context, std::size_t scope) {
  Places out;
  switch (node.kind) {
    case NodeKind::Path:
      out = path(node, context, scope);
      break;
    case NodeKind::Binary:
      used(node.lhs(), context, scope);
      used(node.rhs(), context, scope);
      break;
    case NodeKind::Negate:
      used(node.children[0], context, scope);
      break;
    case NodeKind::Array:
      for (const Node& item : node.children) join(out, eval(item, context, scope));
      break;
    case NodeKind::Object:
      // Keys and values alternate, so this uses each pair's key, then its value.
      mark_present(context);
      for (const Node& part : node.children) used(part, context, scope);
      break;
    case NodeKind::Name:
      out = field(context, node.text);
      break;
    case NodeKind::Variable:
      out = variable(node.text, context, scope);
      break;
    case NodeKind::String:
    case NodeKind::Number:
    case NodeKind::Bool:
    case NodeKind::Null:
    case NodeKind::Regex:
    case NodeKind::Placeholder:
    case NodeKind::Sort:
    case NodeKind::Error:
      break;
    case NodeKind::Wildcard:
    case NodeKind::Descendant:
      use_whole(context);
      break;
    case NodeKind::Parent: {
      Found f = lookup(node.text, scope);
      if (!f.found) read_all_ = true;
      out = std::move(f.places);
      break;
    }
    case NodeKind::Condition:
      used(node.children[0], context, scope);
      out = eval(node.children[1], context, scope);
      if (node.children.size() > 2) join(out, eval(node.children[2], context, scope));
      break;
    case NodeKind::Default: {
      out = eval(node.lhs(), context, scope);
      // "?:" tests the left side's truth; "??" only whether it exists.
      if (node.elvis())
        use_whole(out);
      else
        mark_present(out);
      join(out, eval(node.rhs(), context, scope));
      break;
    }
    case NodeKind::Block: {
      const std::size_t inner = node.needs_frame() ? new_scope(scope) : scope;
      for (const Node& item : node.children) out = eval(item, context, inner);
      break;
    }
    case NodeKind::Bind:
      out = bind_node(node, context, scope);
      break;
    case NodeKind::Apply:
      out = apply(node, context, scope);
      break;
    case NodeKind::Call: {
      std::vector<Arg> args;
      args.reserve(node.children.size() - 1);
      for (std::size_t i = 1; i < node.children.size(); ++i) args.push_back(Arg{&node.children[i], nullptr});
      out = call(node.children[0], args, context, scope);
      break;
    }
    case NodeKind::Partial:
      for (const Node& part : node.children) used(part, context, scope);
      break;
    case NodeKind::Lambda:
      // A thunk runs where it stands; any other lambda is analysed once the tree is done.
      if (node.lambda->thunk)
        out = eval(node.lambda->body, context, scope);
      else
        defer(node, context, scope);
      break;
    case NodeKind::Transform:
      defer(node, {}, scope);
      break;
  }
  return finish(node, std::move(out), scope);
}

// What any node may carry besides its kind: filters, then (except on a path, which groups its tuples
// itself) a group-by, which yields a new object.
Places Analysis::finish(const Node& node, Places out, std::size_t scope) {
  if (!node.attrs) return out;
  for (const ast::Stage& stage : node.attrs->predicates)
    if (stage.is_filter()) filter(*stage.predicate, out, scope);
  if (node.kind != NodeKind::Path && node.attrs->group) {
    mark_present(out);
    for (const auto& [key, value] : node.attrs->group->pairs) {
      used(key, out, scope);
      used(value, out, scope);
    }
    out.clear();
  }
  return out;
}

// A predicate needs its subject present; a number only picks items by position.
void Analysis::filter(const Node& predicate, const Places& context, std::size_t scope) {
  mark_present(context);
  if (predicate.kind != NodeKind::Number) used(predicate, context, scope);
}

Places Analysis::path(const Node& node, const Places& context, std::size_t scope) {
  const std::vector<Node>& steps = node.children;
  // Focus, index and ancestor bindings live in a scope of the path's own, unless an enclosing path runs
  // this one as a step of its tuple stream.
  const bool binds = std::ranges::any_of(steps, [](const Node& s) { return s.tuple; });
  const std::size_t s = binds && !node.tuple ? new_scope(scope) : scope;
  Places current = context;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Node& step = steps[i];
    if (i != 0 || step.kind != NodeKind::Variable) mark_present(current);
    Places result;
    if (step.kind == NodeKind::Sort) {
      for (const Node& term : step.children) used(term, current, s);
      result = current;
    } else {
      result = eval(step, current, s);
    }
    const ast::Attrs& a = step.a();
    if (a.ancestor_label) bind(s, *a.ancestor_label, current, next_stamp());
    if (a.focus)
      bind(s, *a.focus, result, next_stamp());
    else
      current = std::move(result);
    if (a.index) bind(s, *a.index, {}, next_stamp());
    for (const ast::Stage& stage : a.stages) {
      if (stage.is_filter())
        filter(*stage.predicate, current, s);
      else
        bind(s, stage.name, {}, next_stamp());
    }
  }
  if (const ast::Group* g = node.group()) {
    mark_present(current);
    for (const auto& [key, value] : g->pairs) {
      used(key, current, s);
      used(value, current, s);
    }
    return {};
  }
  return current;
}

void Analysis::use_whole(const Places& places) {
  for (const Place& p : places) {
    if (p.root && p.path.empty()) {
      // A binding used as a value may be a function that is later called on some context.
      auto it = host_.find(std::string_view(*p.root));
      if (it == host_.end())
        unknown_escaped_ = true;
      else if (it->second && takes_context(*it->second))
        context_escaped_ = true;
    }
    mark(p, true);
  }
}

void Analysis::mark(const Place& place, bool whole) {
  Read* target;
  if (!place.root) {
    if (!input_) input_ = Read::fields();
    target = &*input_;
  } else {
    target = &bindings_.try_emplace(*place.root, Read::fields()).first->second;
  }
  for (const std::string& name : place.path) {
    // An All prefix already covers every longer path.
    if (target->is_all()) return;
    target = &target->at(name);
  }
  if (whole) target->make_all();
}

void Analysis::join(Places& into, const Places& from) {
  for (const Place& p : from)
    if (std::ranges::find(into, p) == into.end()) into.push_back(p);
  if (into.size() > kMaxPlaces) {
    use_whole(into);
    into.clear();
  }
}

Places Analysis::field(const Places& context, std::string_view name) {
  Places out;
  out.reserve(context.size());
  for (const Place& p : context) {
    if (p.path.size() >= kMaxPath) {
      mark(p, true);
      continue;
    }
    Place next = p;
    next.path.emplace_back(name);
    mark(next, false);
    out.push_back(std::move(next));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// Scopes and variables

void Analysis::bind(std::size_t scope, std::string_view name, const Places& places, std::uint64_t stamp) {
  auto [it, inserted] = scopes_[scope].vars.try_emplace(name, Var{places, stamp});
  // A name bound again in the same scope stands for every value it was ever given there.
  if (!inserted) join(it->second.places, places);
}

Found Analysis::lookup(std::string_view name, std::size_t scope) {
  Found out;
  std::optional<std::size_t> at = scope;
  while (at) {
    std::optional<std::uint64_t> limit;
    for (const auto& [s, stamp] : chain_)
      if (s == *at && (!limit || stamp < *limit)) limit = stamp;
    const Scope& sc = scopes_[*at];
    auto it = sc.vars.find(name);
    if (it != sc.vars.end()) {
      const bool decisive = !limit || it->second.stamp < *limit;
      join(out.places, it->second.places);
      out.found = true;
      if (decisive) {
        out.resolved = true;
        break;
      }
    }
    at = scopes_[*at].parent;
  }
  return out;
}

bool Analysis::visible(std::string_view name, std::size_t scope) const {
  for (std::optional<std::size_t> at = scope; at; at = scopes_[*at].parent)
    if (scopes_[*at].vars.contains(name)) return true;
  return false;
}

void Analysis::defer(const Node& node, Places context, std::size_t scope) {
  const std::uint64_t stamp = next_stamp();
  Chain chain = chain_;
  chain.emplace_back(scope, stamp);
  queue_.push_back(Deferred{&node, std::move(context), std::move(chain), scope});
}

Places Analysis::variable(std::string_view name, const Places& context, std::size_t scope) {
  if (name.empty()) return context;
  Found f = lookup(name, scope);
  if (f.resolved) return std::move(f.places);
  if (name == "$") {
    join(f.places, Places{Place{}});
    return std::move(f.places);
  }
  if (const Native* fn = hidden_.contains(name) ? nullptr : functions::lookup(name)) {
    if (fn->signature && takes_context(*fn->signature)) context_escaped_ = true;
    return std::move(f.places);
  }
  if (!f.found && bound_.contains(name)) {
    // Bound somewhere, but in no scope seen from here: nothing can say what it holds.
    read_all_ = true;
    return std::move(f.places);
  }
  referenced_.insert(name);
  join(f.places, Places{Place{std::string(name), {}}});
  return std::move(f.places);
}

Places Analysis::bind_node(const Node& node, const Places& context, std::size_t scope) {
  const Node& lhs = node.lhs();
  const Node& rhs = node.rhs();
  if (lhs.kind != NodeKind::Variable) return eval(rhs, context, scope);
  Places out;
  if (rhs.kind == NodeKind::Lambda && !rhs.lambda->thunk) {
    // Stamped before the lambda is deferred, so that its body sees its own name (recursion).
    const std::uint64_t stamp = next_stamp();
    out = eval(rhs, context, scope);
    bind(scope, lhs.text, out, stamp);
  } else {
    next_stamp();
    out = eval(rhs, context, scope);
    bind(scope, lhs.text, out, next_stamp());
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// Calls

const Native* Analysis::builtin(const Node& node, std::size_t scope) const {
  if (node.kind != NodeKind::Variable || !bare(node) || visible(node.text, scope) ||
      hidden_.contains(std::string_view(node.text)))
    return nullptr;
  return functions::lookup(node.text);
}

Places Analysis::apply(const Node& node, const Places& context, std::size_t scope) {
  const Places left = eval(node.lhs(), context, scope);
  const Node& rhs = node.rhs();
  if (rhs.kind == NodeKind::Call) {
    std::vector<Arg> args;
    args.reserve(rhs.children.size());
    args.push_back(Arg{nullptr, &left});
    for (std::size_t i = 1; i < rhs.children.size(); ++i) args.push_back(Arg{&rhs.children[i], nullptr});
    // Filters written on the call itself read what they are given, as on any node.
    return finish(rhs, call(rhs.children[0], args, context, scope), scope);
  }
  if (const Native* fn = builtin(rhs, scope)) {
    const Arg only{nullptr, &left};
    return native(*fn, std::span(&only, 1), {}, scope);
  }
  const Places callee = eval(rhs, context, scope);
  use_whole(left);
  use_whole(callee);
  return {};
}

Places Analysis::call(const Node& procedure, std::span<const Arg> args, const Places& context,
                      std::size_t scope) {
  if (const Native* fn = builtin(procedure, scope)) return native(*fn, args, context, scope);
  const Places callee = eval(procedure, context, scope);
  for (const Place& p : callee) mark(p, true);
  bool unknown = false;
  for (const Place& p : callee) {
    if (!p.root || !p.path.empty()) continue;
    auto it = host_.find(std::string_view(*p.root));
    if (it == host_.end())
      unknown = true;
    else if (it->second)
      signature_context(*it->second, args.size(), context);
  }
  const bool direct_host = procedure.kind == NodeKind::Variable && bare(procedure) &&
                           host_.contains(std::string_view(procedure.text)) &&
                           !visible(procedure.text, scope);
  if (unknown)
    use_whole(context);
  else if (!direct_host)
    held_.push_back(context);
  for (const Arg& a : args) use_whole(argument(a, context, scope));
  // The result is a new value: whatever it was made from was recorded where it was made.
  return {};
}

Places Analysis::native(const Native& fn, std::span<const Arg> args, const Places& context,
                        std::size_t scope) {
  const std::size_t n = args.size();
  if (fn.signature) signature_context(*fn.signature, n, context);
  if (n == 0) return {};
  const std::string_view name = fn.name;

  if (n >= 2 && args[1].node && args[1].node->kind == NodeKind::Lambda && !args[1].node->lambda->thunk &&
      bare(*args[1].node) &&
      (name == "map" || name == "filter" || name == "single" || name == "reduce" || name == "sort"))
    return inline_lambda(name, args, context, scope);

  if (name == "lookup" && n == 2 && args[1].node && args[1].node->kind == NodeKind::String &&
      bare(*args[1].node))
    return field(argument(args[0], context, scope), args[1].node->text);

  if ((name == "count" || name == "exists" || name == "type") || (name == "single" && n == 1)) {
    Places first = argument(args[0], context, scope);
    mark_present(first);
    for (std::size_t i = 1; i < n; ++i) use_whole(argument(args[i], context, scope));
    if (name == "single") return first;
    return {};
  }

  if (name == "append" || name == "reverse" || name == "shuffle" || name == "zip" || name == "merge") {
    Places out;
    for (const Arg& a : args) join(out, argument(a, context, scope));
    return out;
  }

  for (const Arg& a : args) use_whole(argument(a, context, scope));
  return {};
}

// A lambda written inline as the function of a higher-order built-in: its body is analysed here, once,
// with the parameters that receive items bound to the places of the array.
Places Analysis::inline_lambda(std::string_view name, std::span<const Arg> args, const Places& context,
                               std::size_t scope) {
  const std::size_t n = args.size();
  Places items = argument(args[0], context, scope);
  mark_present(items);
  for (std::size_t i = 2; i < n; ++i) use_whole(argument(args[i], context, scope));

  const ast::LambdaDef& fn = *args[1].node->lambda;
  const std::size_t inner = new_scope(scope);
  const std::uint64_t stamp = next_stamp();
  const bool reduce = name == "reduce";
  // $reduce starts from the first item whenever its initial value is undefined when the call runs, not
  // only when none is written: the first item may then be the accumulator, and the result.
  const bool first_item_starts = reduce && (n < 3 || !never_undefined(args[2].node));
  for (std::size_t k = 0; k < fn.params.size(); ++k) {
    const std::size_t position = k + 1;
    bool item;
    if (reduce)
      item = position == 2 || position == 4 || (position == 1 && first_item_starts);
    else if (name == "sort")
      item = position == 1 || position == 2;
    else
      item = position == 1 || position == 3;
    bind(inner, fn.params[k], item ? items : Places{}, stamp);
  }
  Places body = eval(fn.body, context, inner);
  if (name == "map") return body;
  use_whole(body);
  if (reduce && !first_item_starts) return {};
  return items;
}

// What a function with this signature reads of its call's context when called with n arguments.
void Analysis::signature_context(const Signature& sig, std::size_t n, const Places& context) {
  const std::vector<signature::Param>& params = sig.params();
  if (params.empty()) return;
  const auto rest = std::span(params).subspan(1);
  if (std::ranges::any_of(rest, [](const signature::Param& p) { return p.use_context; })) {
    use_whole(context);
    return;
  }
  const signature::Param& first = params[0];
  if (!first.use_context) return;
  const std::size_t required = static_cast<std::size_t>(std::ranges::count_if(
      rest, [](const signature::Param& p) { return p.pattern.empty() || p.pattern.back() != '?'; }));
  // So many arguments that the first one must be the first parameter's.
  const bool explicit_first = n > rest.size() && std::ranges::none_of(rest, [](const signature::Param& p) {
                                return p.pattern.ends_with('+');
                              });
  const std::string_view pattern = first.context_pattern ? *first.context_pattern : first.pattern;
  const bool any_type = std::ranges::all_of(
      std::string_view("asnblfom"), [&](char c) { return pattern.find(c) != std::string_view::npos; });
  const bool unused = any_type ? n >= 1 + required && (n < 2 || explicit_first) : explicit_first;
  if (unused) return;
  if (pattern.find('a') != std::string_view::npos || pattern.find('o') != std::string_view::npos)
    use_whole(context);
  else
    mark_present(context);
}

}  // namespace

Reads analyse(const ast::Node& root) {
  return Analysis(nullptr).run(root);
}

Reads analyse(const ast::Node& root, const Bindings& bindings) {
  return Analysis(&bindings).run(root);
}

}  // namespace zarnu_core::reads
