// The small RAII layer over the CPython C API that every file of the module stands on: owned references,
// objects made once per process, the boundary where C++ exceptions become Python exceptions, argument
// parsing, and guards for thread attachment and per-object critical sections.
#pragma once

#include "compat.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "support/panic.hpp"

namespace zarnu_py::pyutil {

// An owned strong reference, or none. Like any use of an object, destroying a Ref that holds one needs the
// calling thread attached to the interpreter.
class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference, typically a C API result (nullptr when the call failed).
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a reference of its own to an object the caller does not own.
  [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    // The old object goes last: its destructor may run Python code that reaches this Ref.
    PyObject* old = std::exchange(object_, other.release());
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // A further reference for the caller, e.g. to return from a method while keeping this one.
  [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(object_); }
  // Gives up ownership without releasing the reference, e.g. to return it from a method.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A Python object made on first use and kept to the end of the process: type objects and exception classes,
// shared by every module object made from the definition. Making it never waits for another thread (a thread
// that waits while attached can deadlock the interpreter): when two threads make it at the same time, the
// first to finish wins and the other drops its own object, so everybody sees the same one.
class ProcessObject {
 public:
  constexpr ProcessObject() noexcept = default;
  ProcessObject(const ProcessObject&) = delete;
  ProcessObject& operator=(const ProcessObject&) = delete;

  // The object, borrowed; `make` returns a new reference, or nullptr with an exception set, in which case so
  // does get (and the next call tries again).
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
    Ref made = Ref::steal(std::invoke(std::forward<Make>(make)));
    if (!made) return nullptr;
    PyObject* winner = nullptr;
    if (object_.compare_exchange_strong(winner, made.get(), std::memory_order_acq_rel)) return made.release();
    return winner;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
};

// The exception an internal invariant failure (or any other unexpected C++ exception) becomes at the
// boundary. It derives from BaseException so that `except Exception` does not swallow a bug. It is no
// module attribute: Python code meets it only as a raised exception. Nullptr with an exception set when it
// cannot be made.
inline PyObject* panic_exception_type() noexcept {
  static constinit ProcessObject type;
  return type.get([] {
    return PyErr_NewExceptionWithDoc("zarnu.PanicException",
                                     "An internal invariant of zarnu failed: a bug, not an error of the "
                                     "expression or of its input.",
                                     PyExc_BaseException, nullptr);
  });
}

// Sets the panic exception with `message` (or, when that exception cannot be made, the reason why).
inline void raise_panic(const char* message) noexcept {
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
}

namespace detail {

// Turns the exception being handled into the Python exception set for the caller.
inline void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const zarnu_core::Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    raise_panic(exception.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}

template <class R>
inline constexpr bool kEntryResult = std::is_void_v<R> || std::is_pointer_v<R> ||
                                     (std::is_integral_v<R> && std::is_signed_v<R>);

}  // namespace detail

// The boundary between the interpreter and our C++ code: runs `body` and turns any C++ exception escaping it
// into a Python exception, returned as the C API's failure value (nullptr for an object, -1 for an integer).
// A slot that returns nothing cannot report failure, so there the exception is written as unraisable.
// The one exception that passes is the forced unwind by which the interpreter may end a thread (see
// attach): swallowing it would abort the process.
template <class Body>
auto entry(Body&& body) -> std::invoke_result_t<Body&> {
  using Result = std::invoke_result_t<Body&>;
  static_assert(detail::kEntryResult<Result>, "a C API entry returns an object, an integer or nothing");
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    detail::raise_current_exception();
  }
  if constexpr (std::is_void_v<Result>) {
    PyErr_WriteUnraisable(nullptr);
  } else if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return -1;
  }
}

namespace detail {

template <auto Function>
struct Entry;

template <class R, class... Args, R (*Function)(Args...)>
struct Entry<Function> {
  static R call(Args... args) {
    return entry([&]() -> R { return Function(std::forward<Args>(args)...); });
  }
};

}  // namespace detail

// `wrap<&f>` is `f` behind the boundary: what goes into method tables and type slots.
template <auto Function>
inline constexpr auto wrap = &detail::Entry<Function>::call;

// `wrap<&f>` in the form a PyMethodDef holds, whatever calling convention `f` has (the flags say which).
template <auto Function>
PyCFunction method() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrap<Function>));
}

// `wrap<&f>` in the form a PyType_Slot or PyModuleDef_Slot holds.
template <auto Function>
void* slot() noexcept {
  return reinterpret_cast<void*>(wrap<Function>);
}

// Holds a per-object critical section on `object` for the guard's lifetime, so that its contents can be read
// while other threads may change it. Empty where the GIL already serialises access.
class CriticalSection {
 public:
  explicit CriticalSection(PyObject* object) noexcept { compat::begin_critical_section(state_, object); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { compat::end_critical_section(state_); }

 private:
  [[no_unique_address]] compat::CriticalSectionState state_;
};

namespace detail {

// The cleanup handlers of the C library (old style: no jump buffer) that a thread's end runs as its
// unwinding leaves their frame.
extern "C" void _pthread_cleanup_push(_pthread_cleanup_buffer* buffer, void (*routine)(void*),
                                      void* arg) noexcept;
extern "C" void _pthread_cleanup_pop(_pthread_cleanup_buffer* buffer, int execute) noexcept;

[[noreturn]] inline void park(void*) {
  for (;;) pause();
}

}  // namespace detail

// Runs `take`, one call of the C API that may take the interpreter lock: attaching, or running Python code
// (which hands the lock to other threads and takes it back). During finalization the interpreter ends a
// daemon thread that takes the lock with pthread_exit, which unwinds the thread's stack. Our frames cannot be
// unwound: their destructors would release Python references without the lock, or attach again; the core's
// stack segments catch what passes them; and the module's own copy of the unwinder cannot even enter a
// frame's cleanup for the system's. So the thread stops instead, for good, as the interpreter's later
// versions stop such threads themselves: the C library runs the handler when the unwinding leaves this frame,
// before it reaches the caller's cleanups. This frame has none of its own (it is no inline part of a frame
// that has, and not noexcept, whose terminate would come first); `take` must not throw. Calls that run
// Python code elsewhere (a key's __eq__, a finalizer) are covered by parking.cpp, which stops the thread
// at the first of our frames with cleanups that the unwinding meets.
template <class Take>
[[gnu::noinline]] auto attach(Take&& take) -> std::invoke_result_t<Take&> {
  _pthread_cleanup_buffer parking;
  detail::_pthread_cleanup_push(&parking, detail::park, nullptr);
  if constexpr (std::is_void_v<std::invoke_result_t<Take&>>) {
    take();
    detail::_pthread_cleanup_pop(&parking, 0);
  } else {
    auto taken = take();
    detail::_pthread_cleanup_pop(&parking, 0);
    return taken;
  }
}

// Lets other Python threads run for the guard's lifetime. Code inside must not touch any Python object, not
// even to release a reference.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() {
    attach([this] { PyEval_RestoreThread(state_); });
  }

 private:
  PyThreadState* state_;
};

// Attaches the calling thread to the interpreter for the guard's lifetime, whatever its state before (so also
// inside Detached code that must call Python).
class Attached {
 public:
  Attached() noexcept : state_(attach([] { return PyGILState_Ensure(); })) {}
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  ~Attached() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

namespace detail {

// The most parameters one function may have: which were given is kept as bits of one word.
inline constexpr std::size_t kMaxParameters = 64;

struct ParameterList {
  const char* function;
  std::span<const char* const> names;
  std::size_t positional;
  std::size_t required;
};

// Stores one argument; false with TypeError set when its parameter was given already.
inline bool take(const ParameterList& list, std::size_t index, PyObject* value, std::uint64_t& given,
                 std::span<PyObject*> out) {
  const std::uint64_t bit = std::uint64_t{1} << index;
  if (given & bit) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", list.function,
                 list.names[index]);
    return false;
  }
  given |= bit;
  out[index] = value == Py_None && index >= list.required ? nullptr : value;
  return true;
}

inline bool take_positional(const ParameterList& list, PyObject* const* args, Py_ssize_t count,
                            std::uint64_t& given, std::span<PyObject*> out) {
  if (static_cast<std::size_t>(count) > list.positional) {
    if (list.positional == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", list.function);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zd given)", list.function,
                   list.required == list.positional ? "exactly" : "at most", list.positional,
                   list.positional == 1 ? "" : "s", count);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) take(list, static_cast<std::size_t>(i), args[i], given, out);
  return true;
}

inline bool take_keyword(const ParameterList& list, PyObject* name, PyObject* value, std::uint64_t& given,
                         std::span<PyObject*> out) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", list.function);
    return false;
  }
  for (std::size_t i = 0; i < list.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, list.names[i]) == 0) return take(list, i, value, given, out);
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", list.function, name);
  return false;
}

inline bool check_required(const ParameterList& list, std::uint64_t given) {
  for (std::size_t i = 0; i < list.required; ++i) {
    if (!(given & (std::uint64_t{1} << i))) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", list.function,
                   list.names[i], i + 1);
      return false;
    }
  }
  return true;
}

inline bool parse_fast(const ParameterList& list, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::span<PyObject*> out) {
  std::uint64_t given = 0;
  const Py_ssize_t count = PyVectorcall_NARGS(nargs);
  if (!take_positional(list, args, count, given, out)) return false;
  if (kwnames) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      if (!take_keyword(list, PyTuple_GET_ITEM(kwnames, i), args[count + i], given, out)) return false;
    }
  }
  return check_required(list, given);
}

inline bool parse_tuple(const ParameterList& list, PyObject* args, PyObject* kwargs,
                        std::span<PyObject*> out) {
  std::uint64_t given = 0;
  if (!take_positional(list, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), given, out)) return false;
  if (kwargs) {
    CriticalSection section(kwargs);
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!take_keyword(list, name, value, given, out)) return false;
    }
  }
  return check_required(list, given);
}

}  // namespace detail

// The parameters of one function or method: positional-or-keyword ones first, then keyword-only ones, of
// which the first `required` must be given. Declared once per function, as a constant:
//
//   constexpr pyutil::Parameters kEvaluate{"evaluate", {"input", "bindings", "timeout"}, 2, 0};
//
// Parsing hands back one borrowed reference per parameter, nullptr for an argument not given. An optional
// argument given as None counts as not given; a required one given as None is handed back as None, so that
// the caller's type check can name it. Mistakes in the call raise TypeError worded as the interpreter's own.
template <std::size_t N>
class Parameters {
 public:
  using Arguments = std::array<PyObject*, N>;

  constexpr Parameters(const char* function, const char* const (&names)[N], std::size_t positional,
                       std::size_t required)
      : function_(function), positional_(positional), required_(required) {
    static_assert(N <= detail::kMaxParameters, "too many parameters");
    if (positional > N || required > positional) throw std::logic_error("inconsistent parameter counts");
    for (std::size_t i = 0; i < N; ++i) names_[i] = names[i];
  }

  // The METH_FASTCALL | METH_KEYWORDS (and vectorcall) convention. Nullopt with TypeError set on failure.
  std::optional<Arguments> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    Arguments out{};
    if (!detail::parse_fast(list(), args, nargs, kwnames, out)) return std::nullopt;
    return out;
  }

  // The tuple-and-dict convention of tp_new and tp_call (`kwargs` may be nullptr).
  std::optional<Arguments> parse(PyObject* args, PyObject* kwargs) const {
    Arguments out{};
    if (!detail::parse_tuple(list(), args, kwargs, out)) return std::nullopt;
    return out;
  }

  // Sets TypeError for an argument of the wrong type: "f() argument 'x' must be str, not int".
  void bad_argument(std::size_t index, const char* expected, PyObject* given) const noexcept {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function_, names_[index], expected,
                 given == nullptr || given == Py_None ? "None" : Py_TYPE(given)->tp_name);
  }

  const char* function() const noexcept { return function_; }

 private:
  detail::ParameterList list() const { return {function_, names_, positional_, required_}; }

  const char* function_;
  std::array<const char*, N> names_{};
  std::size_t positional_;
  std::size_t required_;
};

}  // namespace zarnu_py::pyutil
