// Stress tests of the pool's slow paths: threads ending while others release their blocks, forks while
// threads start and end, and the segments of a thread's peak going back while the thread works on.
#include "support/pool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zarnu_core::pool {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How a forked child ended, in words: "exited with 0" when all went well.
std::string wait_for(pid_t pid, Clock::duration bound) {
  const auto deadline = Clock::now() + bound;
  int status = 0;
  for (auto pause = std::chrono::microseconds(20); waitpid(pid, &status, WNOHANG) == 0;
       pause = std::min(pause * 2, std::chrono::microseconds(2000))) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "hung";
    }
    std::this_thread::sleep_for(pause);
  }
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exited with " + std::to_string(WEXITSTATUS(status));
}

// Runs `body` in a forked child that exits with what it returns (so a crash or a hang there fails the test
// instead of ending it); the child is killed once it has run `bound`.
std::string in_child(const std::function<int()>& body, Clock::duration bound) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return std::string("fork failed: ") + std::strerror(errno);
  if (pid == 0) _exit(body());
  return wait_for(pid, bound);
}

// The pool's counts, which come back to where they were once every block of the threads since is back.
struct Counts {
  std::size_t paged = paged_bytes();
  std::size_t mapped = mapped_bytes();
  bool operator==(const Counts&) const = default;
};

// A thread ends holding one block while another releases it the moment the ending thread has marked the
// block's page as left: whichever of the two comes last unmaps the segment, once, and the ending thread no
// longer reads it after the other may have.
TEST(PoolStress, LastBlockReleasedWhileItsThreadEnds) {
  EXPECT_EQ(in_child(
                [] {
                  const Counts before;
                  const auto until = Clock::now() + 1s;
                  for (int round = 0; round < 5000 && Clock::now() < until; ++round) {
                    std::atomic<void*> block{nullptr};
                    std::thread owner([&] { block.store(allocate(40), std::memory_order_release); });
                    std::thread releaser([&] {
                      void* p;
                      while (!(p = block.load(std::memory_order_acquire))) {
                      }
                      if (kRecycle)
                        while ((page_of(p)->remote.load(std::memory_order_acquire) & 1) == 0) {
                        }
                      release(p, 40);
                    });
                    owner.join();
                    releaser.join();
                    if (!(Counts{} == before)) return 1;
                  }
                  return 0;
                },
                60s),
            "exited with 0");
}

// Short threads leave their blocks to two others, which release them while the threads end and new ones
// take the ended ones' blocks: some go onto remote lists before their page is left, some after. Once all
// are back, every segment of the short threads is unmapped, and only once.
TEST(PoolStress, ThreadsEndWhileOthersReleaseTheirBlocks) {
  EXPECT_EQ(in_child(
                [] {
                  using Blocks = std::vector<std::pair<unsigned char*, std::size_t>>;
                  const Counts before;
                  std::mutex lock;
                  Blocks handed;
                  std::atomic<bool> done{false};
                  std::atomic<bool> intact{true};
                  auto release_handed = [&] {
                    Blocks taken;
                    {
                      std::lock_guard guard(lock);
                      taken.swap(handed);
                    }
                    for (auto [p, n] : taken) {
                      if (p[0] != static_cast<unsigned char>(n) || p[n - 1] != static_cast<unsigned char>(n))
                        intact = false;
                      release(p, n);
                    }
                    return !taken.empty();
                  };
                  std::vector<std::thread> threads;
                  for (int k = 0; k < 2; ++k)
                    threads.emplace_back([&] {
                      while (release_handed() || !done.load()) {
                      }
                    });
                  const auto until = Clock::now() + 1s;
                  std::vector<std::thread> makers;
                  for (int k = 0; k < 2; ++k)
                    makers.emplace_back([&, k] {
                      for (std::size_t round = 0; round < 2000 && Clock::now() < until; ++round)
                        std::thread([&] {
                          Blocks made;
                          for (std::size_t i = 0; i < 64; ++i) {
                            const std::size_t n = 1 + (i * 97 + round * 31 + k) % kPagedLargest;
                            auto* p = static_cast<unsigned char*>(allocate(n));
                            std::memset(p, static_cast<unsigned char>(n), n);
                            made.emplace_back(p, n);
                          }
                          std::lock_guard guard(lock);
                          handed.insert(handed.end(), made.begin(), made.end());
                        }).join();
                    });
                  for (auto& t : makers) t.join();
                  done = true;
                  for (auto& t : threads) t.join();
                  release_handed();
                  return intact && Counts{} == before ? 0 : 1;
                },
                60s),
            "exited with 0");
}

// A thread-local object of a thread, made before the thread's first block and so destroyed after its pool
// lists were left: the blocks it takes then come from the heap shared by ended threads, under its lock (many
// of them, so that forks often find the lock held).
struct AfterTheEnd {
  bool armed = false;
  ~AfterTheEnd() {
    if (armed)
      for (int i = 0; i < 4000; ++i) release(allocate(40), 40);
  }
};

// Starts and joins a thread that takes blocks before and after it ends.
void short_thread() {
  std::thread([] {
    thread_local AfterTheEnd late;
    late.armed = true;
    std::vector<void*> blocks;
    for (std::size_t n = 8; n <= 512; n += 24) blocks.push_back(allocate(n));
    for (std::size_t i = 0; i < blocks.size(); ++i) release(blocks[i], 8 + i * 24);
  }).join();
}

// Forks while two threads start and end threads: each child, where the threads that held the pool's locks
// are gone, takes blocks on its one thread and starts one more that takes blocks before and after it ends.
TEST(PoolStress, ForkWhileThreadsStartAndEnd) {
  if (!kRecycle) GTEST_SKIP() << "the sanitizer's own allocator may be held by another thread at a fork";
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int k = 0; k < 2; ++k)
    churn.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) short_thread();
    });
  std::string failure;
  int forks = 0;
  const auto until = Clock::now() + 2s;
  for (; forks < 20000 && Clock::now() < until; ++forks) {
    failure = in_child(
        [] {
          release(allocate(40), 40);
          short_thread();
          release(allocate(100), 100);
          return 0;
        },
        20s);
    if (failure != "exited with 0") break;
    failure.clear();
  }
  stop = true;
  for (auto& t : churn) t.join();
  EXPECT_EQ(failure, "") << "at fork " << forks;
}

// A thread's peak of small blocks: once they are back, the segments they came from stay mapped for a
// while, then go back while the thread goes on with a little work, or, once it is idle, when it next
// tidies (as each evaluation does first).
TEST(PoolStress, PeakGoesBackWhileTheThreadWorksOn) {
  std::thread([] {
    constexpr std::size_t kPeak = std::size_t{48} << 20;
    constexpr std::size_t kSlack = std::size_t{4} << 20;
    const Counts before;
    auto peak = [&] {
      std::vector<void*> blocks(kPeak / 48);
      for (void*& p : blocks) p = allocate(40);
      if (kRecycle) {
        EXPECT_GE(mapped_bytes(), before.mapped + kPeak);
      }
      for (void* p : blocks) release(p, 40);
    };
    auto back = [&] {
      return paged_bytes() <= before.paged + kSlack && mapped_bytes() <= before.mapped + kSlack;
    };
    peak();
    // A little work: a page's worth of blocks and some more, taken and given back, so that the thread takes a
    // page now and then but no segment is wholly left meanwhile.
    std::vector<void*> few(kPageBytes / 48 + 100);
    for (const auto until = Clock::now() + 30s; !back() && Clock::now() < until;) {
      for (void*& p : few) p = allocate(40);
      for (void* p : few) release(p, 40);
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(back()) << paged_bytes() << " " << mapped_bytes();

    peak();
    std::this_thread::sleep_for(1500ms);  // past the grace
    tidy();
    EXPECT_TRUE(back()) << paged_bytes() << " " << mapped_bytes();
  }).join();
}

}  // namespace
}  // namespace zarnu_core::pool
