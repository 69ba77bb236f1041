// The value model: constructors, small operations, keys, borrows and the release of deep values.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "eval/function.hpp"
#include "helpers.hpp"
#include "support/panic.hpp"
#include "support/saturate.hpp"
#include "value/lazy.hpp"
#include "value/polling.hpp"
#include "value/value_view.hpp"

using namespace zarnu_core;
using namespace zarnu_core::value;
using namespace zarnu_test;

TEST(Value, ItemsOrSelf) {
  auto one = Value().items_or_self();
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(one[0].is_undefined());
  EXPECT_TRUE(J("[]").items_or_self().empty());
  auto items = J("[1,[2],3]").items_or_self();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_TRUE(items[1].is_array());
  EXPECT_EQ(S(J("\"x\"").items_or_self()[0]), "\"x\"");
}

TEST(Value, CopiesShareAndMovesSteal) {
  Value a = Value::string("shared text");
  Value b = a;
  EXPECT_EQ(a.use_count(), 2u);
  EXPECT_TRUE(a.same_payload(b));
  Value c = std::move(b);
  EXPECT_TRUE(b.is_undefined());
  EXPECT_EQ(a.use_count(), 2u);
  c = Value::number(1);
  EXPECT_EQ(a.use_count(), 1u);
}

TEST(Value, SignatureLetters) {
  EXPECT_EQ(Value().signature_letter(), 'm');
  EXPECT_EQ(Value::null().signature_letter(), 'l');
  EXPECT_EQ(Value::boolean(true).signature_letter(), 'b');
  EXPECT_EQ(Value::number(1).signature_letter(), 'n');
  EXPECT_EQ(Value::string("").signature_letter(), 's');
  EXPECT_EQ(J("[]").signature_letter(), 'a');
  EXPECT_EQ(J("{}").signature_letter(), 'o');
  EXPECT_EQ(make_function(LambdaFn{}).signature_letter(), 'f');
}

TEST(Inspect, ViewsOfValues) {
  Value zero = Value::number(0), no = Value::boolean(false), nan = Value::number(NAN);
  EXPECT_FALSE(Inspect(zero).as_bool().has_value());
  EXPECT_EQ(Inspect(no).as_bool(), false);
  EXPECT_EQ(Inspect(nan).fmt(), "null");
  EXPECT_EQ(Inspect(Value()).fmt(), "undefined");
  Value f = make_function(NativeFn{});
  EXPECT_EQ(Inspect(f).fmt(), "<function>");
  EXPECT_FALSE(Inspect(f).to_json().has_value());
  Items inf;
  inf.push_back(Value::number(INFINITY));
  EXPECT_EQ(Inspect(Value::sequence(std::move(inf))).fmt(), "<invalid>");
  Items wrapped;
  wrapped.push_back(J("[1,2]"));
  EXPECT_EQ(Inspect(Value::array(std::move(wrapped))).fmt(), "[1,2]");
  auto small = Inspect(J("[1,2,3]")).to_json_within(6);
  ASSERT_FALSE(small.has_value());
  EXPECT_FALSE(small.error().nested);
  EXPECT_EQ(json::to_text(**Inspect(J("{\"a\":[1,2]}")).to_json_within(13)), "{\"a\":[1,2]}");
}

TEST(Keys, InternedKeysShareOneTextAndLookupsUseText) {
  Keys keys;
  Str a = keys.get("name");
  Str b = keys.get(std::string("na") + "me");
  EXPECT_EQ(a.rep(), b.rep());
  EXPECT_EQ(keys.size(), 1u);
  Value o = J("{\"name\":1,\"other\":2}");
  Str probe = Str::make("name");
  FieldsRef fields = o.as_object().borrow();
  EXPECT_NE(fields->find(probe), fields->end());
  EXPECT_NE(fields->find(std::string_view("other")), fields->end());
  EXPECT_EQ(fields->find(std::string_view("missing")), fields->end());
}

TEST(Object, ConflictingBorrowsPanic) {
  Value o = J("{\"a\":1}");
  {
    FieldsRef r1 = o.as_object().borrow();
    FieldsRef r2 = o.as_object().borrow();
    EXPECT_THROW(o.as_object().borrow_mut(), Panic);
  }
  {
    FieldsMut m = o.as_object().borrow_mut();
    EXPECT_THROW(o.as_object().borrow(), Panic);
  }
  EXPECT_NO_THROW(o.as_object().borrow_mut());
}

TEST(Saturate, DoublesClampAndNaNIsZero) {
  EXPECT_EQ(saturate_cast<std::int32_t>(NAN), 0);
  EXPECT_EQ(saturate_cast<std::int32_t>(1e300), INT32_MAX);
  EXPECT_EQ(saturate_cast<std::int32_t>(-1e300), INT32_MIN);
  EXPECT_EQ(saturate_cast<std::uint64_t>(-5.0), 0u);
  EXPECT_EQ(saturate_cast<std::uint64_t>(1e20), UINT64_MAX);
  EXPECT_EQ(saturate_cast<std::int64_t>(9.3e18), INT64_MAX);
  EXPECT_EQ(saturate_cast<std::int64_t>(-2.9), -2);
  EXPECT_EQ(saturate_cast<std::size_t>(INFINITY), SIZE_MAX);
}

// Deep values are released without exhausting the stack, even on a thread with a small one.
class DeepRelease : public ::testing::Test {
 protected:
  static void on_small_stack(void (*body)()) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, &attr,
                  [](void* f) -> void* {
                    reinterpret_cast<void (*)()>(f)();
                    return nullptr;
                  },
                  reinterpret_cast<void*>(body)),
              0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
  }
};

namespace {

Value object_chain(std::size_t depth) {
  Value v = Value::number(1);
  for (std::size_t i = 0; i < depth; ++i) {
    Value o = Value::object(1);
    o.as_object().fields.try_emplace(Str::make("next"), std::move(v));
    v = std::move(o);
  }
  return v;
}

Value alternating_chain(std::size_t depth) {
  Value v = Value::null();
  for (std::size_t i = 0; i < depth; ++i) {
    if (i % 2) {
      Value o = Value::object(1);
      o.as_object().fields.try_emplace(Str::make("k"), std::move(v));
      v = std::move(o);
    } else {
      Items items;
      items.push_back(std::move(v));
      v = Value::array_with(std::move(items), 0);
    }
  }
  return v;
}

}  // namespace

TEST_F(DeepRelease, MillionLevelChains) {
  on_small_stack([] {
    { Value v = nested_arrays(1000000); }
    { Value v = object_chain(1000000); }
    { Value v = alternating_chain(1000000); }
  });
}

TEST_F(DeepRelease, SharedMiddleSurvives) {
  Value inner = nested_arrays(500, Value::string("leaf"));
  Value middle;
  {
    Items items;
    items.push_back(inner);
    Value outer = nested_arrays(300000, Value::array_with(std::move(items), 0));
    middle = inner;
  }
  EXPECT_EQ(middle.use_count(), 2u);
  Value v = middle;
  for (int i = 0; i < 500; ++i) v = Value(v.as_array().read()[0]);
  EXPECT_EQ(S(v), "\"leaf\"");
}

TEST_F(DeepRelease, LazyItemsAreReleasedToo) {
  // Items read from a lazy source belong to the array and go with it (the leak check sees the rest).
  Json deep = Json::array({1});
  for (int i = 0; i < 3000; ++i) {
    Json outer = Json::array();
    outer.push_back(std::move(deep));
    deep = std::move(outer);
  }
  Value v = lazy(std::make_shared<const Json>(std::move(deep)), Shared::create());
  Value walk = v;
  int levels = 0;
  while (walk.is_array()) {
    walk = Value(walk.as_array().read()[0]);
    ++levels;
  }
  EXPECT_EQ(levels, 3001);
  walk = Value();
  v = Value();
}

// Releasing a long array or object asks the thread's turn hook every kPollTicks children, whatever the
// path (plain, counted, or through the work list past a hundred levels), and releases everything once.
TEST_F(DeepRelease, LongReleasesOfferTurns) {
  static int calls;
  static std::function<void()> during;
  calls = 0;
  const PollHook hook = [] {
    ++calls;
    if (during) during();
    return std::optional<error::Error>(error::Error("U1003"));  // not acted on: a release cannot stop
  };
  const auto numbers = [](std::size_t n) {
    Items items;
    for (std::size_t i = 0; i < n; ++i) items.push_back(Value::number(static_cast<double>(i)));
    return Value::array_with(std::move(items), 0);
  };
  Value shared = Value::string("kept");
  {
    Turns turns(&hook);
    { Value v = numbers(100000); }
    EXPECT_GE(calls, 90);
    calls = 0;
    {
      Value o = Value::object(0);
      for (int i = 0; i < 100000; ++i) o.as_object().fields.try_emplace(Str::make(std::to_string(i)), shared);
    }
    EXPECT_GE(calls, 90);
    EXPECT_EQ(shared.use_count(), 1u);
    calls = 0;
    {
      // Records one level down are released in turns too; past a hundred levels, through the work list.
      Items records;
      for (int i = 0; i < 50000; ++i) {
        Value r = Value::object(1);
        r.as_object().fields.try_emplace(Str::make("k"), shared);
        records.push_back(std::move(r));
      }
      Value v = nested_arrays(300, Value::array_with(std::move(records), 0));
    }
    EXPECT_GE(calls, 40);
    EXPECT_EQ(shared.use_count(), 1u);
    // A release run by the hook itself asks nothing.
    calls = 0;
    during = [&numbers] { Value inner = numbers(5000); };
    { Value v = numbers(5000); }
    during = nullptr;
    EXPECT_EQ(calls, 4);
  }
  calls = 0;
  { Value v = numbers(100000); }
  EXPECT_EQ(calls, 0);
}

TEST(Fields, OrderLookupAndErase) {
  Fields f;
  for (int i = 0; i < 20; ++i) f.try_emplace(Str::make("k" + std::to_string(i)), Value::number(i));
  EXPECT_EQ(f.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    auto it = f.find("k" + std::to_string(i));
    ASSERT_NE(it, f.end());
    EXPECT_EQ(it->second.as_number(), i);
  }
  // A key inserted again keeps its place; insert_or_assign replaces the value in place.
  EXPECT_FALSE(f.try_emplace(Str::make("k3"), Value::number(99)).second);
  EXPECT_EQ(f.find("k3")->second.as_number(), 3);
  EXPECT_FALSE(f.insert_or_assign(Str::make("k3"), Value::number(99)).second);
  EXPECT_EQ(f.find("k3")->second.as_number(), 99);
  EXPECT_EQ(std::distance(f.begin(), f.find("k3")), 3);
  // Erasing keeps the order of the others, and lookups still find them.
  EXPECT_EQ(f.erase("k0"), 1u);
  EXPECT_EQ(f.erase("missing"), 0u);
  EXPECT_EQ(f.begin()->first.view(), "k1");
  for (int i = 1; i < 20; ++i) EXPECT_NE(f.find("k" + std::to_string(i)), f.end());
  EXPECT_EQ(f.find("k0"), f.end());
  // Small maps are scanned; growth past the scan limit builds the index.
  Fields small;
  small.try_emplace(Str::make("a"), Value::number(1));
  EXPECT_NE(small.find("a"), small.end());
  for (int i = 0; i < 100; ++i) small.insert_or_assign(Str::make(std::to_string(i)), Value());
  EXPECT_EQ(small.size(), 101u);
  EXPECT_EQ(std::distance(small.begin(), small.find("57")), 58);
}

// Pooled blocks of every size, small and large, keep what is written into them while blocks of nearby
// sizes are taken, given back and taken again; blocks go back on another thread, whose lists end with it.
// Blocks that live longer than the thread's lists: taken before the thread's first release and released by
// a thread-local destructor that runs after the lists were drained; and each thread's own block.
TEST(Value, PoolOutlivesTheThreadsLists) {
  struct Late {
    std::vector<std::pair<void*, std::size_t>> blocks;
    Late() {
      for (std::size_t n : {8, 40, 100, 600, 5000}) blocks.emplace_back(pool::allocate(n), n);
    }
    ~Late() {
      for (auto [p, n] : blocks) pool::release(p, n);
      void* again = pool::allocate(40);  // after the lists are gone: straight from the C library
      pool::release(again, 40);
    }
  };
  void* seen[2] = {};
  for (void*& host : seen)
    std::thread([&host] {
      thread_local Late late;  // constructed before the lists, so destroyed after them
      for (int i = 0; i < 1000; ++i)
        pool::release(pool::allocate(static_cast<std::size_t>(i)), static_cast<std::size_t>(i));
      EXPECT_EQ(pool::this_thread().host, nullptr);
      pool::this_thread().host = &late;
      host = pool::this_thread().host;
    }).join();
  EXPECT_NE(seen[0], nullptr);
  EXPECT_NE(seen[1], nullptr);
  EXPECT_EQ(pool::this_thread().host, nullptr);
}

TEST(Value, PoolBlocksHoldTheirWholeSize) {
  std::vector<std::pair<unsigned char*, std::size_t>> live;
  auto intact = [&] {
    for (auto [p, n] : live)
      for (std::size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<unsigned char>(n)) return false;
    return true;
  };
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 1100; ++n) sizes.push_back(n);
  for (std::size_t n = 1101; n <= (std::size_t{1} << 20); n = n * 5 / 4) sizes.push_back(n);
  for (int round = 0; round < 3; ++round) {
    for (std::size_t n : sizes) {
      auto* p = static_cast<unsigned char*>(pool::allocate(n));
      std::memset(p, static_cast<unsigned char>(n), n);
      live.emplace_back(p, n);
    }
    ASSERT_TRUE(intact());
    std::vector<std::pair<unsigned char*, std::size_t>> kept;
    for (std::size_t i = 0; i < live.size(); ++i) {
      if (i % 2) {
        kept.push_back(live[i]);
      } else {
        pool::release(live[i].first, live[i].second);
      }
    }
    live = std::move(kept);
    std::reverse(sizes.begin(), sizes.end());
  }
  ASSERT_TRUE(intact());
  std::thread([&] {
    for (auto [p, n] : live) pool::release(p, n);
  }).join();
}

// Blocks released on other threads go onto their pages' remote lists: the owner takes them back and hands
// them out again rather than carving new pages, while threads trade blocks with each other at once.
TEST(Value, PoolTakesBackBlocksReleasedOnOtherThreads) {
  constexpr std::size_t kBlocks = 20000;
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < kBlocks; ++i) blocks.push_back(pool::allocate(40));
  const std::size_t carved = pool::paged_bytes();
  for (int round = 0; round < 3; ++round) {
    std::thread([&] {
      pool::release(pool::allocate(40), 40);  // this thread has pages of its own too
      for (void* p : blocks) pool::release(p, 40);
    }).join();
    for (void*& p : blocks) std::memset(p = pool::allocate(40), round, 40);
    EXPECT_LE(pool::paged_bytes(), carved + pool::kPageBytes) << round;
  }
  for (void* p : blocks) pool::release(p, 40);

  // Each of four threads fills blocks of mixed sizes, then releases its neighbour's while that neighbour
  // takes new blocks from the same pages.
  constexpr int kThreads = 4;
  std::vector<std::vector<std::pair<unsigned char*, std::size_t>>> made(kThreads);
  std::atomic<int> ready{0};
  std::atomic<bool> intact{true};
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k)
    threads.emplace_back([&, k] {
      for (std::size_t i = 0; i < 30000; ++i) {
        const std::size_t n = 1 + (i * 37) % 1024;
        auto* p = static_cast<unsigned char*>(pool::allocate(n));
        std::memset(p, k + 1, n);
        made[k].emplace_back(p, n);
      }
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      std::vector<std::pair<unsigned char*, std::size_t>> again;
      for (auto [p, n] : made[(k + 1) % kThreads]) {
        if (p[0] != (k + 1) % kThreads + 1 || p[n - 1] != (k + 1) % kThreads + 1) intact = false;
        pool::release(p, n);
        auto* q = static_cast<unsigned char*>(pool::allocate(n));
        std::memset(q, 0xEE, n);
        again.emplace_back(q, n);
      }
      for (auto [q, n] : again) {
        if (q[0] != 0xEE || q[n - 1] != 0xEE) intact = false;
        pool::release(q, n);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_TRUE(intact);
}

// A thread's pages outlive it while blocks of theirs are out: those are released on another thread, or by
// a thread-local destructor that runs after the thread's lists were left; the last one unmaps its segment.
// Blocks taken after that come from a shared heap, whose pages serve such blocks again.
TEST(Value, PoolPagesOutliveTheirThread) {
  using Blocks = std::vector<std::pair<unsigned char*, std::size_t>>;
  auto fill = [](Blocks& into, std::size_t n) {
    auto* p = static_cast<unsigned char*>(pool::allocate(n));
    std::memset(p, static_cast<unsigned char>(n), n);
    into.emplace_back(p, n);
  };
  auto intact = [](const Blocks& blocks) {
    for (auto [p, n] : blocks)
      if (p[0] != static_cast<unsigned char>(n) || p[n - 1] != static_cast<unsigned char>(n)) return false;
    return true;
  };
  struct Late {
    Blocks blocks;
    Blocks* taken_after = nullptr;
    bool* intact = nullptr;
    std::function<void(Blocks&, std::size_t)> fill;
    std::function<bool(const Blocks&)> check;
    ~Late() {
      *intact = check(blocks);
      for (auto [p, n] : blocks) pool::release(p, n);
      for (std::size_t n = 1; n <= 100; ++n) fill(*taken_after, n);
    }
  };
  auto run = [&] {
    bool late_intact = false;
    Blocks left, taken_after;
    std::thread([&] {
      thread_local Late late;  // made before the thread's first block, so destroyed after its lists are left
      late.taken_after = &taken_after;
      late.intact = &late_intact;
      late.fill = fill;
      late.check = intact;
      Blocks passing;
      for (std::size_t i = 0; i < 30000; ++i) {
        const std::size_t n = 1 + i % 1024;
        fill(i % 3 == 0 ? left : i % 3 == 1 && i < 600 ? late.blocks : passing, n);
        if (!passing.empty()) {
          pool::release(passing.back().first, n);
          passing.pop_back();
        }
      }
    }).join();
    EXPECT_TRUE(late_intact);
    EXPECT_TRUE(intact(left));
    EXPECT_TRUE(intact(taken_after));
    EXPECT_EQ(taken_after.size(), 100u);
    for (auto blocks : {left, taken_after})
      for (auto [p, n] : blocks) pool::release(p, n);
  };
  run();
  const std::size_t before = pool::paged_bytes();
  run();
  EXPECT_EQ(pool::paged_bytes(), before);
}
