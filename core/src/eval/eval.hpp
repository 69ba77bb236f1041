// The state of one evaluation and the entry through which every node is evaluated: limits, clocks,
// random state, caches, depth, the optional tracer and the lazily read input's failure flag.
// The evaluation stage (eval/) runs a processed tree over values: frames, paths, operators, function
// values, host calls and the tracer interface; it hands the later stages the Evaluator and Expression.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "eval/frame.hpp"
#include "eval/function.hpp"
#include "eval/regex.hpp"
#include "eval/tracer.hpp"
#include "support/stack.hpp"
#include "syntax/ast.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"
#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::functions::numeric {
struct Picture;
}

namespace zarnu_core::eval {

using value::Items;
using value::Rc;
using value::Value;
using FrameRef = Rc<Frame>;

// The limits and settings of one evaluation; absent limits take their defaults.
struct Limits {
  std::size_t max_depth = 50000;
  std::size_t max_string_length = 268435456;
  std::size_t max_array_length = 16777216;
  std::size_t max_result_size = 268435456;
  std::optional<std::chrono::nanoseconds> timeout;
  std::shared_ptr<const std::atomic<bool>> cancel;
  std::optional<std::int64_t> now;  // milliseconds since the epoch
  std::optional<std::uint64_t> seed;
  PollHook hook;  // none: nothing but time and cancellation can stop the evaluation
};

// The generator state seeded from a seed: SplitMix64's finaliser with the lowest bit set.
std::uint64_t seed_state(std::uint64_t seed) noexcept;

// Locates an error at a node unless it already has a position.
error::Error locate(error::Error e, const ast::Node& node);

// The name a call's procedure gives its errors as "token": a variable's name, or the first step of a
// path when that step is a name or a variable.
std::optional<std::string_view> procedure_name(const ast::Node& procedure) noexcept;

// Whether a node belongs to the composition "$f ~> $g" builds from a text of its own: errors raised in
// it are left for the call of the composed function to locate, in the expression's own text.
bool in_composition(const ast::Node& node) noexcept;

// The number of parameters a function value declares (what a host function is told it takes).
std::size_t arity(const value::Function& f) noexcept;

// Objects into which transforms stored function values. Such a function can hold the object it sits in
// (as its context value), a cycle that no count breaks: when the evaluation ends the function values are
// taken out of what was stored. Nothing of the evaluation can see them then; the output walk treats a
// function and an absent value alike.
class FunctionHolders {
 public:
  FunctionHolders() = default;
  FunctionHolders(const FunctionHolders&) = delete;
  FunctionHolders& operator=(const FunctionHolders&) = delete;
  ~FunctionHolders();

  void add(Value object, value::Str key);

 private:
  std::vector<std::pair<Value, value::Str>, value::Alloc<std::pair<Value, value::Str>>> held_;
};

class Evaluator {
 public:
  Evaluator(const Limits& limits, Rc<Keeper> keeper);
  Evaluator(const Evaluator&) = delete;
  Evaluator& operator=(const Evaluator&) = delete;
  ~Evaluator();

  // The one entry for evaluating a node: grows the stack when needed and reports to the tracer.
  Result<Value> eval(const ast::Node& node, const Value& input, const FrameRef& frame) {
    if (tracer_) [[unlikely]]
      return eval_traced(node, input, frame);
    if (stack::remaining() >= stack::kRedZone) [[likely]]
      return eval_inner(node, input, frame);
    return stack::grow([&] { return eval_inner(node, input, frame); });
  }
  Result<Value> eval_traced(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> eval_inner(const ast::Node& node, const Value& input, const FrameRef& frame);

  // Limits.
  std::optional<error::Error> time_limits() const;
  bool polls() const noexcept { return polls_; }
  // The time, cancellation and lazy-input checks made before every node, and the poll hook every
  // kPollTicks of them.
  std::optional<error::Error> poll() {
    if (shared_ && shared_->failed) [[unlikely]]
      return shared_->failure();
    if (timed_) [[unlikely]] {
      if (auto e = time_limits()) return e;
    }
    if (hook_ && --ticks_ == 0) [[unlikely]] {
      ticks_ = kPollTicks;
      return (*hook_)();
    }
    return std::nullopt;
  }
  // One step of a loop whose length depends on the data: every kPollTicks steps, the time and
  // cancellation checks and the poll hook, so that no loop outlasts the limits by more than a moment.
  Status step() {
    if (--ticks_ != 0) [[likely]]
      return {};
    return stepped();
  }
  // step() as a callable, for the walks of lower layers (writing, signature checks) that take one.
  const std::function<Status()>& stepper() const noexcept { return stepper_; }
  // The time and cancellation checks, then the poll hook: what long searches ask at their poll points.
  std::optional<error::Error> interrupted();
  // Whether anything can interrupt the evaluation: a timeout, a cancellation flag or a poll hook.
  bool interruptible() const noexcept { return timed_ || hook_; }
  Result<Value> check_size(Value v) const;
  // The size check of an array built item by item, made as it grows.
  Status check_items(std::size_t count) const {
    if (count > limits_.max_array_length) [[unlikely]]
      return fail(array_too_long(limits_.max_array_length));
    return {};
  }
  std::optional<error::Error> check_string(std::size_t limit, std::size_t length) const;
  std::optional<error::Error> check_depth() const;

  // Scopes.
  FrameRef root(Value input);
  FrameRef child(const FrameRef& parent);
  void bind(const FrameRef& frame, std::string_view name, Value v, value::Str owner = {});
  // A child scope binding every entry of a tuple under its key ("@" included).
  FrameRef frame_from_tuple(const FrameRef& parent, const Value& tuple);
  // A shared key text for a name of the tree (focus, index and ancestor names, "@").
  value::Str key(std::string_view name);

  // Operators (3.112) and truthiness.
  Result<Value> binary(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> array_constructor(const ast::Node& node, const Value& input, const FrameRef& frame);

  // Paths, predicates, lookups, objects and grouping.
  Result<Value> path(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> filter(const ast::Node& predicate, bool constant, Value input, const FrameRef& frame);
  Result<Value> stages(const std::vector<ast::Stage>& stages, Value v, const FrameRef& frame);
  Result<Value> sort(const ast::Node& node, const Value& v, const FrameRef& frame);
  Result<Value> group(const ast::Group& group, const ast::Node& node, Value input, const FrameRef& frame);
  Result<Value> object_constructor(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> wildcard(const Value& input);
  Result<Value> descendants(const Value& input);

  // Functions.
  Result<Value> apply(const Value& function, Items args, const Value& context, const FrameRef& frame);
  Result<Value> apply_inner(const Value& function, Items args, const Value& context, const FrameRef& frame);
  Result<Value> callback(const Value& function, Items args, const FrameRef& frame);
  Result<Value> call(const ast::Node& node, const Value& input, const FrameRef& frame,
                     std::optional<Value> first = std::nullopt);
  Result<Value> partial(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> apply_expression(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> call_host(const host::HostFunction& host, Items args, const Value& context,
                          const FrameRef& frame);
  Result<Value> regex_literal(const ast::Node& node);
  // The first match of a compiled pattern in text[0, length) at or after a byte offset (a character
  // boundary); when the evaluation is interruptible the search asks interrupted() every 1024 backtracks
  // or loop turns and ends with its error (D1012, U1003, or the poll hook's).
  Result<std::optional<zarnu_regex::api::Match>> find_regex(const zarnu_regex::api::Regex& regex,
                                                            std::string_view text, std::size_t length,
                                                            std::size_t start);

  // Settings and state read by the built-ins.
  const Limits& limits() const noexcept { return limits_; }
  std::size_t max_string_length() const noexcept { return limits_.max_string_length; }
  std::size_t max_array_length() const noexcept { return limits_.max_array_length; }
  std::size_t depth() const noexcept { return depth_; }
  // The current time in milliseconds since the epoch: `now` when given, else the evaluation's timestamp.
  double now_millis();
  // The evaluation timestamp, taken from the real-time clock at first need.
  std::chrono::nanoseconds timestamp();
  std::uint64_t& rng() noexcept { return rng_; }
  std::vector<std::shared_ptr<functions::numeric::Picture>>& pictures() noexcept { return pictures_; }
  audit::Tracer* tracer() const noexcept { return tracer_; }
  void set_tracer(audit::Tracer* t) noexcept { tracer_ = t; }
  const Rc<value::Shared>& shared() const noexcept { return shared_; }
  void set_shared(Rc<value::Shared> s);
  const Rc<Keeper>& keeper() const noexcept { return keeper_; }
  // The trees `$eval` compiled last, kept for texts evaluated again soon after; the keeper holds those that
  // something of the evaluation still refers to.
  // Each tree comes with whether the keeper holds it already.
  struct RecentTree {
    std::shared_ptr<const ast::Ast> tree;
    bool kept = false;
  };
  std::vector<RecentTree>& recent_trees() noexcept { return recent_trees_; }

  // Tells whether evaluating a tree left anything that refers into it: a function value made meanwhile
  // (a lambda or a transform, which point into the tree, and any scope of the tree they captured) or a
  // binding made in `scope`, the caller's scope, whose name is a view of the tree's text.
  class Escapes {
   public:
    Escapes(Evaluator& ev, const Frame* scope) noexcept
        : ev_(ev),
          made_(ev.functions_made_),
          scope_(std::exchange(ev.watched_, scope)),
          bound_(std::exchange(ev.watched_bound_, false)) {}
    Escapes(const Escapes&) = delete;
    Escapes& operator=(const Escapes&) = delete;
    ~Escapes() {
      ev_.watched_ = scope_;
      ev_.watched_bound_ = ev_.watched_bound_ || bound_;
    }
    bool any() const noexcept { return ev_.functions_made_ != made_ || ev_.watched_bound_; }

   private:
    Evaluator& ev_;
    std::uint64_t made_;
    const Frame* scope_;
    bool bound_;
  };

  // The depth counter, raised for the lifetime of a guard.
  class DepthGuard {
   public:
    explicit DepthGuard(Evaluator& ev) noexcept : ev_(ev) { ++ev_.depth_; }
    ~DepthGuard() { --ev_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    Evaluator& ev_;
  };

  // Evaluates a sub-node with the guarded entry (used by every Part that evaluates operands).
  Result<Value> sub(const ast::Node& node, const Value& input, const FrameRef& frame) {
    return eval(node, input, frame);
  }

 private:
  Result<Value> dispatch(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> finish(const ast::Node& node, Value v, const FrameRef& frame);
  Result<Value> negate(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> condition(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> default_op(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> block(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> bind_node(const ast::Node& node, const Value& input, const FrameRef& frame);
  Result<Value> transform(const value::TransformFn& t, Items args, const Value& context);
  Status stepped();

  Limits limits_;
  bool polls_ = false;  // a timeout, a cancellation flag or a lazily read input: poll before every node
  bool timed_ = false;  // a timeout or a cancellation flag
  const PollHook* hook_ = nullptr;    // the limits' hook when there is one
  std::uint32_t ticks_ = kPollTicks;  // polls and steps until the next call of the hook
  const std::function<Status()> stepper_{[this] { return step(); }};
  std::uint64_t functions_made_ = 0;  // lambdas and transforms made so far
  const Frame* watched_ = nullptr;    // the scope an Escapes watches for bindings
  bool watched_bound_ = false;
  std::vector<RecentTree> recent_trees_;
  std::size_t depth_ = 0;
  std::uint64_t rng_ = 0;
  std::optional<std::chrono::steady_clock::time_point> start_;
  std::optional<std::chrono::nanoseconds> timestamp_;
  audit::Tracer* tracer_ = nullptr;
  Rc<value::Shared> shared_;
  Rc<Keeper> keeper_;
  FrameRegistry registry_;
  // The number built-ins' picture cache: each picture is deleted by the deleter made with it, so the
  // evaluator needs no definition of it.
  std::vector<std::shared_ptr<functions::numeric::Picture>> pictures_;
  struct RegexKeyHash {
    std::size_t operator()(const std::pair<std::string, std::string>& k) const noexcept;
  };
  boost::unordered_flat_map<std::pair<std::string, std::string>, Rc<regex::Regex>, RegexKeyHash> regexes_;
  FunctionHolders holders_;
  boost::unordered_flat_map<const char*, value::Str> keys_;  // by the address of the tree's text
};

// The ".." operator on evaluated operands (unlocated errors); a range of more than `most_items` items
// fails before it is built. With an evaluator, building the range polls its limits.
Result<Value> range(const Value& left, const Value& right, std::size_t most_items = SIZE_MAX,
                    Evaluator* ev = nullptr);

// The value of a variable reference: "$" gives the context (the first item of an input wrapper).
Value variable(std::string_view name, const Value& context, const Frame& frame);

// The "@" entry of a tuple (undefined when there is none), and a copy of a tuple's entries.
Value tuple_get(const Value& tuple);
value::Fields tuple_map(const Value& tuple);

// The members of a group joined into one value.
Value join_group(Items members);

// The item a position predicate `k` selects in a host array not read yet, reading only that item (undefined
// when it selects none); nothing when the array must be read whole.
std::optional<Value> host_pick(const Value& input, double k);

// The process-wide static undefined and null used as the context of calls that have none.
const Value& static_undefined() noexcept;
const Value& static_null() noexcept;

}  // namespace zarnu_core::eval
