// Evaluator cases still to be built: function application.
#include "eval.hpp"

namespace zarnu_core::eval {

namespace {
error::Error pending() {
  return error::Error("X0000").with_message("not available yet");
}
}  // namespace

Result<Value> Evaluator::apply(const Value&, Items, const Value&, const FrameRef&) {
  return fail(pending());
}
Result<Value> Evaluator::apply_inner(const Value&, Items, const Value&, const FrameRef&) {
  return fail(pending());
}
Result<Value> Evaluator::callback(const Value&, Items, const FrameRef&) {
  return fail(pending());
}
Result<Value> Evaluator::call(const ast::Node&, const Value&, const FrameRef&, std::optional<Value>) {
  return fail(pending());
}
Result<Value> Evaluator::partial(const ast::Node&, const Value&, const FrameRef&) {
  return fail(pending());
}
Result<Value> Evaluator::apply_expression(const ast::Node&, const Value&, const FrameRef&) {
  return fail(pending());
}
Result<Value> Evaluator::call_host(const host::HostFunction&, Items, const Value&, const FrameRef&) {
  return fail(pending());
}

}  // namespace zarnu_core::eval
