// The pool as evaluations use it: each evaluation first gives back what its thread kept of an earlier peak
// past its grace, so that a thread that went idle after a peak holds it no longer than its next call.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "eval/expression.hpp"
#include "support/pool.hpp"

namespace zarnu_core {
namespace {

TEST(PoolEvaluation, AnEvaluationGivesBackAPeakPastItsGrace) {
  std::thread([] {
    auto e = Expression::compile("$sum([1..10])");
    ASSERT_TRUE(e);
    auto evaluate = [&] {
      auto r = e->evaluate_with(Bindings{}, Options{});
      ASSERT_TRUE(r);
      EXPECT_EQ(r->first.as_number(), 55);
    };
    evaluate();
    const std::size_t mapped = pool::mapped_bytes();
    std::vector<void*> blocks((std::size_t{32} << 20) / 64);
    for (void*& p : blocks) p = pool::allocate(56);
    if (pool::kRecycle) {
      EXPECT_GE(pool::mapped_bytes(), mapped + (std::size_t{16} << 20));
    }
    for (void* p : blocks) pool::release(p, 56);
    evaluate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    evaluate();
    EXPECT_LE(pool::mapped_bytes(), mapped + (std::size_t{4} << 20));
  }).join();
}

}  // namespace
}  // namespace zarnu_core
