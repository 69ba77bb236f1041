// Tests of stack growth: deep recursions on threads with small stacks, values and exceptions crossing
// the switch, reuse of the spare segment, and the stack bounds each thread sees.
#include "support/stack.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarnu_core::stack {
namespace {

constexpr std::size_t kSmallStack = 256 * 1024;
constexpr std::size_t kPad = 384;

// A thread with a stack of the given size, joined on destruction. Failures inside `body` are reported by
// gtest itself; an exception escaping it is a test failure.
class Thread {
 public:
  Thread(std::function<void()> body, std::size_t stack_size = kSmallStack) : body_(std::move(body)) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) throw std::runtime_error("pthread_attr_init");
    int rc = pthread_attr_setstacksize(&attr, stack_size);
    if (rc == 0) rc = pthread_create(&thread_, &attr, &Thread::start, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("pthread_create");
  }
  ~Thread() { pthread_join(thread_, nullptr); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

 private:
  static void* start(void* self) {
    try {
      static_cast<Thread*>(self)->body_();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "escaped the thread: " << e.what();
    }
    return nullptr;
  }

  std::function<void()> body_;
  pthread_t thread_;
};

void on_small_stack(std::function<void()> body) {
  Thread thread(std::move(body));
}

// One level of a deep walk, with a few hundred bytes of its own like a parser or evaluator frame.
// Throws at the bottom when asked.
std::uint64_t descend(std::size_t depth, std::size_t bottom, bool throw_at_bottom = false) {
  volatile unsigned char pad[kPad];
  for (std::size_t i = 0; i < kPad; ++i) pad[i] = static_cast<unsigned char>(depth + i);
  if (depth == bottom) {
    if (throw_at_bottom) throw std::runtime_error("bottom " + std::to_string(depth));
    return pad[0];
  }
  std::uint64_t below = nest(depth, [&] { return descend(depth + 1, bottom, throw_at_bottom); });
  return below + pad[depth % kPad];
}

std::uint64_t expected_descend(std::size_t bottom) {
  std::uint64_t total = bottom & 0xff;
  for (std::size_t d = 0; d < bottom; ++d) total += (d + d % kPad) & 0xff;
  return total;
}

TEST(Stack, DeepRecursionOnSmallStacksCompletesOnEveryThread) {
  constexpr std::size_t kDepth = 200'000;
  const std::uint64_t expected = expected_descend(kDepth);
  std::vector<std::unique_ptr<Thread>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<Thread>([expected] {
      EXPECT_EQ(descend(0, kDepth), expected);
      // Far more than one segment was needed, and all but the spare are gone again.
      EXPECT_GE(detail::segment_counts().created, 10u);
      EXPECT_EQ(detail::segment_counts().mapped, 1u);
    }));
  }
}

TEST(Stack, ExceptionFromDepthUnwindsEverySegment) {
  on_small_stack([] {
    const std::size_t before = remaining();
    for (int round = 0; round < 3; ++round) {
      try {
        descend(0, 100'000, true);
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "bottom 100000");
      }
      // Back on the thread's own stack with its own limit, and nothing left mapped but the spare.
      EXPECT_EQ(remaining(), before);
      EXPECT_EQ(detail::segment_counts().mapped, 1u);
    }
    EXPECT_EQ(descend(0, 50'000), expected_descend(50'000));
  });
}

TEST(Stack, MoveOnlyResultsCrossTheSwitch) {
  auto one = grow([] { return std::make_unique<int>(7); });
  ASSERT_TRUE(one);
  EXPECT_EQ(*one, 7);

  // A step that itself grows: the inner result travels through two switches.
  auto many = grow([] {
    auto inner = grow([] {
      std::vector<std::unique_ptr<int>> items;
      for (int i = 0; i < 5; ++i) items.push_back(std::make_unique<int>(i));
      return items;
    });
    inner.push_back(std::make_unique<int>(5));
    return inner;
  });
  ASSERT_EQ(many.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(*many[i], i);
}

// Counts the levels of a walk whose steps return nothing.
void count_down(std::size_t depth, std::size_t bottom, std::size_t& levels) {
  volatile unsigned char pad[kPad];
  pad[kPad - 1] = 1;
  if (depth < bottom) nest(depth, [&] { count_down(depth + 1, bottom, levels); });
  levels += pad[kPad - 1];
}

TEST(Stack, VoidStepsRunAndRethrow) {
  int runs = 0;
  grow([&] { ++runs; });
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(grow([] { throw std::out_of_range("step"); }), std::out_of_range);

  on_small_stack([] {
    std::size_t levels = 0;
    count_down(0, 60'000, levels);
    EXPECT_EQ(levels, 60'001u);
  });
}

TEST(Stack, AThunkThatThrowsIsCarriedBack) {
  const std::size_t before = remaining();
  detail::Thunk thunk{[](void*) { throw std::logic_error("raw"); }, nullptr};
  EXPECT_THROW(detail::run_on_new_segment(thunk), std::logic_error);
  EXPECT_EQ(remaining(), before);
}

// Walks down until a step has moved onto a new segment, goes `extra` levels further, and returns.
void bounce(std::size_t depth, std::size_t above, std::size_t extra, bool switched) {
  volatile unsigned char pad[kPad];
  pad[kPad - 1] = 1;
  const std::size_t here = remaining();
  if (here > above + kRedZone) switched = true;
  if (switched && extra-- == 0) return;
  nest(depth, [&] { bounce(depth + pad[kPad - 1], here, extra, switched); });
  pad[kPad - 1] = 0;  // keeps the frame alive across the call, as a real walk's would be
}

TEST(Stack, HoveringAtASegmentEndReusesTheSpare) {
  on_small_stack([] {
    bounce(0, remaining(), 50, false);
    const auto first = detail::segment_counts();
    EXPECT_EQ(first.created, 1u);
    for (int i = 0; i < 1000; ++i) bounce(0, remaining(), 50, false);
    EXPECT_EQ(detail::segment_counts().created, first.created);
    EXPECT_EQ(detail::segment_counts().mapped, 1u);
  });

  // The same at the end of a segment: the outer segment stays, the inner one is reused.
  on_small_stack([] {
    grow([] {
      for (int i = 0; i < 1000; ++i) grow([] {});
    });
    EXPECT_EQ(detail::segment_counts().created, 2u);
    EXPECT_EQ(detail::segment_counts().mapped, 1u);
  });
}

std::size_t virtual_memory_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7));
  }
  return 0;
}

TEST(Stack, ThreadExitUnmapsTheSpare) {
  on_small_stack([] { grow([] {}); });  // lets the C library cache a stack before measuring
  const std::size_t before = virtual_memory_kib();
  ASSERT_GT(before, 0u);
  for (int t = 0; t < 32; ++t) on_small_stack([] { grow([] { grow([] {}); }); });
  // Leaked spares would add 32 segments (128 MiB); allow for the allocator and cached thread stacks.
  EXPECT_LT(virtual_memory_kib(), before + 48 * 1024);
}

// Records what remaining() says at each of `levels` plain recursive calls, the deepest first (the
// recording after the call keeps it a real recursion in optimized builds).
void record_remaining(std::vector<std::size_t>& seen, std::size_t levels) {
  volatile unsigned char pad[kPad];
  pad[kPad - 1] = 0;
  const std::size_t here = remaining();
  if (levels > 1) record_remaining(seen, levels - 1);
  seen.push_back(here + pad[kPad - 1]);
}

TEST(Stack, RemainingFollowsTheStackInUse) {
  EXPECT_GT(remaining(), kRedZone) << "the main thread's stack bounds are known";

  on_small_stack([] {
    const std::size_t top = remaining();
    EXPECT_GT(top, kSmallStack / 4);
    EXPECT_LE(top, kSmallStack);

    std::vector<std::size_t> seen;
    seen.reserve(8);
    record_remaining(seen, 8);
    ASSERT_EQ(seen.size(), 8u);
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]) << "level " << i;

    // On a segment the limit is the segment's; back here it is the thread's again.
    const std::size_t inside = grow([] { return remaining(); });
    EXPECT_GT(inside, kSegmentSize - 64 * 1024);
    EXPECT_LT(inside, kSegmentSize);
    EXPECT_EQ(remaining(), top);
  });
}

TEST(Stack, UnknownBoundsMoveTheWalkOntoSegments) {
  on_small_stack([] {
    // What init_limit leaves when the C library cannot tell the thread's stack.
    detail::t_limit = std::numeric_limits<std::uintptr_t>::max();
    EXPECT_EQ(remaining(), 0u);
    EXPECT_EQ(descend(0, 20'000), expected_descend(20'000));
    EXPECT_GE(detail::segment_counts().created, 1u);
    EXPECT_EQ(remaining(), 0u);
  });
}

}  // namespace
}  // namespace zarnu_core::stack
