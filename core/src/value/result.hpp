// Results instead of exceptions: every fallible operation returns Result<T>, and ZR_TRY propagates a
// failure to the caller the way a `?` would.
#pragma once

#include <expected>
#include <utility>

#include "value/error.hpp"

namespace zarnu_core {

template <class T>
using Result = std::expected<T, error::Error>;

using Status = Result<void>;

inline std::unexpected<error::Error> fail(error::Error e) {
  return std::unexpected<error::Error>(std::move(e));
}

}  // namespace zarnu_core

#define ZR_CONCAT_INNER(a, b) a##b
#define ZR_CONCAT(a, b) ZR_CONCAT_INNER(a, b)
#define ZR_PICK(_1, _2, name, ...) name

// ZR_TRY(expr): returns the failure of `expr` to the caller, discarding its value on success.
// ZR_TRY(decl, expr): the same, and on success initialises `decl` (for example `auto v`) with the value.
#define ZR_TRY(...) ZR_PICK(__VA_ARGS__, ZR_TRY_BIND, ZR_TRY_DISCARD, unused)(__VA_ARGS__)
#define ZR_TRY_DISCARD(expr)                                        \
  do {                                                              \
    auto&& zr_try_result_ = (expr);                                 \
    if (!zr_try_result_) [[unlikely]]                               \
      return ::zarnu_core::fail(std::move(zr_try_result_).error()); \
  } while (0)
#define ZR_TRY_BIND(decl, expr) ZR_TRY_BIND_AT(decl, expr, ZR_CONCAT(zr_try_result_, __LINE__))
#define ZR_TRY_BIND_AT(decl, expr, tmp)                \
  auto&& tmp = (expr);                                 \
  if (!tmp) [[unlikely]]                               \
    return ::zarnu_core::fail(std::move(tmp).error()); \
  decl = std::move(*tmp)
