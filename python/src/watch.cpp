// Polling the interpreter from inside an evaluation: pending signals, turns for other threads, and the
// exception that stops the evaluation.
#include "watch.hpp"

#include <utility>

#include "headroom.hpp"

namespace zarnu_py::watch {

namespace {

thread_local constinit Watch* t_watch = nullptr;

// How often an evaluation running without the interpreter attaches to look for signals.
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

std::optional<zarnu_core::error::Error> Watch::poll() {
  if (stopping_) return stopped_error();
  const auto now = std::chrono::steady_clock::now();
  if (attached_ == 0) {
    if (now - last_ < kDetachedLook) return std::nullopt;
    last_ = now;
    pyutil::Attached attached;
    if (!signals()) return stopped_error();
    return std::nullopt;
  }
  if (!signals()) return stopped_error();
  if (interval_.count() < 0) interval_ = switch_interval();
  if (now - last_ >= interval_) {
    // Nothing the evaluation holds is borrowed from Python here: other threads may run meanwhile.
    { pyutil::Detached turn; }
    last_ = std::chrono::steady_clock::now();
  }
  return std::nullopt;
}

Watch* current() noexcept {
  return t_watch;
}

bool stops(PyObject* exception) noexcept {
  return exception && !PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

}  // namespace zarnu_py::watch
