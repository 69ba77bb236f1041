// Runs test code on a thread whose stack is far too small for a thousand plain recursive levels, so that
// deep inputs show whether every recursive walk grows its stack.
#pragma once

#include <pthread.h>

#include <functional>

#include <gtest/gtest.h>

namespace zarnu_test {

inline void on_small_stack(std::function<void()> body) {
  pthread_attr_t attr;
  pthread_t thread;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  auto start = [](void* p) -> void* {
    (*static_cast<std::function<void()>*>(p))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, start, &body), 0);
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
}

}  // namespace zarnu_test
