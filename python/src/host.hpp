// Python callables as host functions of the core: the per-evaluation keeper of the exceptions they raise,
// the call that attaches to the interpreter and hands arguments and results over, and the per-thread frame
// records through which a zarnu.Function finds its way back into the host call that received it.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/expression.hpp"  // the core's, and through it the core's host functions (HostFunction, HostCall)
#include "pyutil.hpp"
#include "syntax/signature.hpp"
#include "value/error.hpp"

namespace zarnu_py::host {

using pyutil::Ref;
using zarnu_core::error::Error;

// The Python exceptions raised by the host functions of one evaluation. An error of the core stands for
// one of them through its detail "hostException", the exception's index here, so that the exception comes
// out of the evaluation as the very object that was raised. Shared by the host functions of the evaluation
// (on whatever thread it runs) and by the code that raises its error afterwards.
class Host {
 public:
  explicit Host(std::shared_ptr<const std::string> source) : source_(std::move(source)) {}
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  // Releases the exceptions, attaching first: the last holder may be a thread that is not attached.
  ~Host();

  // The expression's source text, against which error positions are counted.
  std::string_view source() const noexcept { return *source_; }

  // The core error that stands for an exception, which is kept. An exception that came out of a call of
  // a zarnu.Function stands for the error that call raised: that error comes back with its own code.
  Error keep(Ref exception);
  // The kept exception an error stands for, a new reference; a null Ref when it stands for none.
  Ref kept(const Error& error);
  // Records that calling a zarnu.Function raised `exception` for `error`.
  void pair(Ref exception, const Error& error);

 private:
  std::shared_ptr<const std::string> source_;
  std::mutex mutex_;  // guards the two lists only: no Python code runs while it is held
  std::vector<Ref> kept_;
  std::vector<std::pair<Ref, Error>> pairs_;
};

// One running host call on this thread, newest first, living on the stack for the duration of the Python
// call. A zarnu.Function finds its call here by the frame id.
struct Frame {
  zarnu_core::host::HostCall* call;
  Host* host;
  std::uint64_t id;
  const Frame* next;
};

// The record of this thread's running host call with that id; null when that call has returned (or runs
// on another thread).
const Frame* find_frame(std::uint64_t id) noexcept;

// Makes the host functions of one evaluation; the Host they share is made with the first of them.
class Binder {
 public:
  explicit Binder(std::shared_ptr<const std::string> source) : source_(std::move(source)) {}

  // A host function that calls `implementation` as $name. It never receives the context of its call.
  zarnu_core::host::HostFunction function(std::string name, Ref implementation,
                                          std::shared_ptr<const zarnu_core::signature::Signature> signature,
                                          std::size_t arity);

  // The Host, when any host function was made.
  Host* host() const noexcept { return host_.get(); }

 private:
  std::shared_ptr<const std::string> source_;
  std::shared_ptr<Host> host_;
};

// The number of parameters a Python callable declares: the leading positional ones without a default.
// 0 when it cannot be told (a built-in without a signature).
std::size_t arity(PyObject* callable);

// The Python exception for an error of an evaluation: the very exception a host function raised when the
// error stands for one (given `position` and `token` attributes when it has none), else a ZarnuError
// with positions in `source`. Raised; returns nullptr for the caller to hand on.
PyObject* raise(const Error& error, Host* host, std::string_view source);

}  // namespace zarnu_py::host
