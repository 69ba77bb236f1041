// Polling the interpreter from inside an evaluation: pending signals, turns for other threads, and the
// exception that stops the evaluation.
#include "watch.hpp"

#include <unistd.h>

#include <utility>

#include "headroom.hpp"

namespace zarnu_py::watch {

namespace {

thread_local constinit Watch* t_watch = nullptr;

// How often an evaluation running without the interpreter on the main thread attaches to run the signal
// handlers (the interpreter runs them on its main thread alone).
constexpr std::chrono::milliseconds kDetachedLook{10};

// The interpreter's switch interval (sys.getswitchinterval()); its default when it cannot be read.
std::chrono::nanoseconds switch_interval() {
  Ref sys = Ref::steal(PyImport_ImportModule("sys"));
  Ref value = sys ? Ref::steal(PyObject_CallMethod(sys.get(), "getswitchinterval", nullptr)) : Ref();
  const double seconds = value ? PyFloat_AsDouble(value.get()) : -1.0;
  if (!(seconds > 0.0 && seconds < 60.0)) {
    PyErr_Clear();
    return std::chrono::milliseconds(5);
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

// A Python function that does nothing. The start of any Python function serves the requests pending in the
// interpreter: a thread that waited a switch interval for the lock asks for it, and gets it there, as from
// pure Python code. Releasing and retaking the lock on a timer instead gives it to nobody: the waiting thread
// is woken too late, and the evaluation has taken the lock again. Nullptr with an exception set when it
// cannot be made. Made by the module's exec step (see prepare): making it runs Python code, which may hand
// the lock over, and an evaluation must do that only where a thread ended meanwhile stops cleanly.
PyObject* turn_function() {
  static constinit pyutil::ProcessObject made;
  return made.get([]() -> PyObject* {
    Ref code = Ref::steal(Py_CompileString("def turn():\n    pass\n", "<zarnu>", Py_file_input));
    Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
      return nullptr;
    Ref ran = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    if (!ran) return nullptr;
    return Py_XNewRef(PyDict_GetItemString(globals.get(), "turn"));
  });
}

// Whether the calling thread is the process's main thread, the one the interpreter runs signal handlers on
// (after a fork, the forking thread, which is then the main thread of the child).
bool main_thread() noexcept {
  return gettid() == getpid();
}

// What the core is told when the evaluation is stopped; the road raises the stopping exception instead.
zarnu_core::error::Error stopped_error() {
  return zarnu_core::error::Error("U1003");
}

}  // namespace

Watch::Watch(bool attached) noexcept
    : previous_(t_watch), attached_(attached ? 1 : 0), last_(std::chrono::steady_clock::now()) {
  t_watch = this;
}

Watch::~Watch() {
  t_watch = previous_;
}

zarnu_core::PollHook Watch::hook() {
  return [this] { return poll(); };
}

void Watch::stop(Ref exception) {
  if (!stopping_) stopping_ = std::move(exception);
}

bool Watch::raise() {
  if (!stopping_) return false;
  compat::restore_exception(stopping_.release());
  return true;
}

bool Watch::signals() {
  if (headroom::call([] { return PyErr_CheckSignals(); }) == 0) return true;
  stop(Ref::steal(compat::fetch_exception()));
  return false;
}

bool Watch::turn() {
  PyObject* function = turn_function();
  Ref done = function ? headroom::call([&] {
    return pyutil::attach([&] { return Ref::steal(PyObject_CallNoArgs(function)); });
  })
                      : Ref();
  if (done) return true;
  // A signal handler's exception, or one another thread raised in this one.
  stop(Ref::steal(compat::fetch_exception()));
  return false;
}

std::optional<zarnu_core::error::Error> Watch::poll() {
  if (stopping_) return stopped_error();
  if (attached_ == 0) {
    // Nothing to do off the main thread: other threads run meanwhile, and signals are not ours to handle.
    // Asked at the first such poll, not for every evaluation: the answer takes two system calls.
    if (main_ < 0) main_ = main_thread() ? 1 : 0;
    if (main_ == 0) return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kDetachedLook) return std::nullopt;
    last_ = now;
    pyutil::Attached attached;
    if (!signals()) return stopped_error();
    return std::nullopt;
  }
  if (!signals()) return stopped_error();
  const auto now = std::chrono::steady_clock::now();
  if (interval_.count() < 0) interval_ = switch_interval();
  if (now - last_ >= interval_) {
    // Nothing the evaluation holds is borrowed from Python here: other threads may run meanwhile.
    last_ = now;
    if (!turn()) return stopped_error();
  }
  return std::nullopt;
}

bool prepare() {
  return turn_function() != nullptr;
}

Watch* current() noexcept {
  return t_watch;
}

bool stops(PyObject* exception) noexcept {
  return exception && !PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

}  // namespace zarnu_py::watch
