// Runs test code on a thread whose stack is far too small for a thousand plain recursive levels, so that
// deep inputs show whether every recursive walk grows its stack.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>

#include <gtest/gtest.h>

namespace zarnu_test {

// Runs `body` on a thread with a stack of `bytes`; an exception it throws is thrown again here.
inline void on_small_stack(const std::function<void()>& body, std::size_t bytes = 128 * 1024) {
  struct Box {
    const std::function<void()>* body;
    std::exception_ptr failure;
  } box{&body, nullptr};
  pthread_attr_t attr;
  pthread_t thread;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
  auto start = [](void* p) -> void* {
    auto* b = static_cast<Box*>(p);
    try {
      (*b->body)();
    } catch (...) {
      b->failure = std::current_exception();
    }
    return nullptr;
  };
  const int rc = pthread_create(&thread, &attr, start, &box);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(rc, 0);
  pthread_join(thread, nullptr);
  if (box.failure) std::rethrow_exception(box.failure);
}

}  // namespace zarnu_test
