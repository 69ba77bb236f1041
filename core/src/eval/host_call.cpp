// Calling a host function: its arguments leave as JSON within the result budget, its result comes back as
// a value, and the function values among its arguments stay reachable through a Caller that can tell
// their arity and apply them while the call runs.
#include <utility>

#include "eval/eval.hpp"
#include "eval/function.hpp"
#include "value/from_json.hpp"
#include "value/output.hpp"
#include "value/value_view.hpp"

namespace zarnu_core::eval {

namespace {

constexpr std::string_view kArgumentsTooLarge =
    "The arguments of a host function would exceed the size limit of {} bytes";
constexpr std::string_view kResultTooLarge =
    "The result of a function called by a host function would exceed the size limit of {} bytes";

error::Error busy() {
  return error::Error("U1001").with_message(
      "A host function called a function it received while the evaluation was busy");
}

// The evaluator's side of one host call. While `apply` runs a function the host handed back, this caller
// is held exclusively: the host's code reached from inside that function (a nested host function that
// kept the outer caller) is told the evaluation is busy rather than re-entering it.
class HostCaller final : public host::Caller {
 public:
  HostCaller(Evaluator& ev, const Items& args, const FrameRef& frame)
      : ev_(ev), args_(args), frame_(frame), poll_(ev) {}

  std::optional<error::Error> read_failure() override {
    if (exclusive_) return busy();
    if (ev_.shared() && ev_.shared()->failed) return ev_.shared()->failure();
    return std::nullopt;
  }

  std::optional<std::size_t> arity(std::size_t index) override {
    if (index >= args_.size() || !args_[index].is_function()) return std::nullopt;
    return eval::arity(args_[index].as_function());
  }

  Poll& poll() override { return poll_; }

  Result<std::optional<json::Json>> apply(std::size_t index,
                                          std::vector<std::optional<json::Json>> args) override {
    if (exclusive_) return fail(busy());
    exclusive_ = true;
    struct Release {
      bool& flag;
      ~Release() { flag = false; }
    } release{exclusive_};

    const Value function = index < args_.size() ? args_[index] : Value();
    Items values;
    values.reserve(args.size());
    for (const auto& arg : args) values.push_back(arg ? value::from_json(*arg) : Value());
    args.clear();
    ZR_TRY(Value result, ev_.callback(function, std::move(values), frame_));

    const std::size_t limit = ev_.limits().max_result_size;
    value::JsonBuilder builder;
    auto built = value::write_within(result, builder, limit, &poll_);
    if (!built) return fail(value::spend::failure_error(built.error(), &poll_, limit, kResultTooLarge));
    if (ev_.shared() && ev_.shared()->failed) return fail(ev_.shared()->failure());
    return std::move(*built);
  }

 private:
  Evaluator& ev_;
  const Items& args_;
  const FrameRef& frame_;
  bool exclusive_ = false;
  Poll poll_;
};

}  // namespace

Result<Value> Evaluator::call_host(const host::HostFunction& host, Items args, const Value& context,
                                   const FrameRef& frame) {
  const std::size_t limit = limits_.max_result_size;
  std::vector<std::optional<json::Json>> converted;
  converted.reserve(args.size());
  {
    std::uint64_t budget = limit;  // one budget for all the arguments together
    value::JsonBuilder builder;
    Poll poll(*this);
    for (const Value& arg : args) {
      auto built = value::write_spending(arg, builder, budget, 0, &poll);
      if (!built) return fail(value::spend::failure_error(built.error(), &poll, limit, kArgumentsTooLarge));
      converted.push_back(std::move(*built));
    }
  }
  if (shared_ && shared_->failed) return fail(shared_->failure());

  // The host sees the input array itself, not the one-item wrapper an evaluation puts around it.
  const Value* seen = &static_undefined();
  if (host.context) {
    seen = &context;
    if (context.is_array() && (context.as_array().flags & value::kOuterWrapper)) {
      const Items& items = context.as_array().read();
      if (items.size() == 1) seen = &items.front();
    }
  }
  const value::Inspect view(*seen);
  HostCaller caller(*this, args, frame);
  host::HostCall call{view, caller, limit, std::nullopt};
  auto result = (*host.function)(converted, call);
  if (call.overflow) return fail(call.overflow->error(limit, kArgumentsTooLarge));
  if (!result) return fail(std::move(result).error());
  // A host call may take any time: the limits are checked as soon as it returns.
  if (auto e = interrupted()) return fail(std::move(*e));
  if (!*result) return Value();
  return value::from_json(**result);
}

}  // namespace zarnu_core::eval
