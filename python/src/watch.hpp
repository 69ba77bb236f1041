// What can stop an evaluation from outside the core: signals (Ctrl-C), and exceptions that are not errors
// (KeyboardInterrupt, SystemExit) raised by host functions; and the turns other Python threads get while an
// evaluation keeps the interpreter. One watch per evaluation road, installed as the core's poll hook.
#pragma once

#include "compat.hpp"

#include <chrono>
#include <optional>

#include "pyutil.hpp"
#include "value/error.hpp"
#include "value/limits.hpp"

namespace zarnu_py::watch {

using pyutil::Ref;

// Made and destroyed attached, on the thread that evaluates; the newest watch of the thread is the one host
// functions and zarnu.Function report to.
class Watch {
 public:
  // `attached`: whether the road keeps the thread attached while it evaluates.
  explicit Watch(bool attached) noexcept;
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch();

  // The poll hook for the evaluation's limits; valid while the watch lives.
  zarnu_core::PollHook hook();
  // Ends the evaluation with an exception that is not an error: every poll fails from now on, and the
  // exception leaves the evaluation in place of whatever error it ended with.
  void stop(Ref exception);
  // The exception that stopped the evaluation, taken (a null Ref when none). Taken by zarnu.Function before
  // raising it into Python code, which may handle it; should that code let it pass, it stops the
  // evaluation again.
  Ref take() noexcept { return std::move(stopping_); }
  bool stopped() const noexcept { return static_cast<bool>(stopping_); }
  // Raises the stopping exception when there is one (returns true), for the road to return nullptr.
  bool raise();
  // What the poll hook runs: signals, and a turn for other threads when one is due; the error when the
  // evaluation must stop. Also called by long reads of the input, which run outside the core's polls.
  std::optional<zarnu_core::error::Error> poll();

 private:
  // Runs the signal handlers when a signal is pending; false with the handler's exception kept.
  bool signals();
  // Gives other threads the interpreter if one of them asked for it; false with the exception that stops
  // the evaluation kept.
  bool turn();

  friend class Attached;

  Ref stopping_;
  Watch* previous_;
  int attached_;   // above 0 while the thread is attached: the road's own state, or inside host calls
  int main_ = -1;  // whether the thread is the one signal handlers run on (1, 0; -1 until asked)
  std::chrono::steady_clock::time_point
      last_;                               // the last turn offered, or the last look from a detached thread
  std::chrono::nanoseconds interval_{-1};  // the interpreter's switch interval, read at first need
};

// Makes what the watches take from the interpreter before any evaluation can need it; false with an
// exception set when that fails. Called by the module's exec step.
bool prepare();

// The calling thread's newest watch; null outside evaluations.
Watch* current() noexcept;

// Tells the newest watch of the thread that the thread is attached for the guard's lifetime (a host call
// made by an evaluation that runs detached). Which thread holds the interpreter cannot be asked of every
// supported version cheaply and reliably, so the watches keep count.
class Attached {
 public:
  Attached() noexcept : watch_(current()) {
    if (watch_) ++watch_->attached_;
  }
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  ~Attached() {
    if (watch_) --watch_->attached_;
  }

 private:
  Watch* watch_;
};

// Whether an exception is not an error: a BaseException that is not an Exception.
bool stops(PyObject* exception) noexcept;

}  // namespace zarnu_py::watch
