// Stress tests of the pool's slow paths: threads ending while others release their blocks.
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

}  // namespace
}  // namespace zarnu_core::pool
