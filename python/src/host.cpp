// Calling Python from an evaluation: arguments become Python objects (function values become
// zarnu.Function), the result becomes JSON again, and a raised exception is kept so that it leaves the
// evaluation as itself.
#include "host.hpp"

#include <atomic>
#include <functional>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "function_object.hpp"
#include "headroom.hpp"
#include "watch.hpp"

namespace zarnu_py::host {

using zarnu_core::fail;
using zarnu_core::Result;
using zarnu_core::host::Args;
using zarnu_core::host::HostCall;
using zarnu_core::json::Json;

namespace {

// Frame ids are unique across threads, so a Function can never find another call's record.
std::atomic<std::uint64_t> g_frames{0};
thread_local constinit const Frame* t_frame = nullptr;

// Makes a frame record this thread's newest for the guard's lifetime.
class Pushed {
 public:
  explicit Pushed(Frame& frame) noexcept : frame_(frame) {
    frame.next = t_frame;
    t_frame = &frame;
  }
  Pushed(const Pushed&) = delete;
  Pushed& operator=(const Pushed&) = delete;
  ~Pushed() { t_frame = frame_.next; }

 private:
  Frame& frame_;
};

// The exception being raised, taken from the thread; one is made up should a call fail without setting any.
Ref take_raised() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a call failed without raising an exception");
  return Ref::steal(compat::fetch_exception());
}

// A new core error for an exception: its `code` attribute when that is a str, else the name of its type;
// its str() as the message.
Error describe(PyObject* exception) {
  std::string code;
  Ref attribute = Ref::steal(PyObject_GetAttrString(exception, "code"));
  if (attribute && PyUnicode_Check(attribute.get())) {
    code = convert::text(attribute.get()).view();
  } else {
    PyErr_Clear();
    code = convert::type_name(exception);
    if (code == "?") code = "Exception";
  }
  std::string message;
  Ref text = Ref::steal(PyObject_Str(exception));
  if (text && PyUnicode_Check(text.get())) {
    message = convert::text(text.get()).view();
  } else {
    PyErr_Clear();
  }
  return Error(code).with("message", message);
}

// What one host function calls: its name as bound, the evaluation's Host and the Python callable.
struct Closure {
  Closure(std::string name, std::shared_ptr<Host> host, Ref implementation)
      : name(std::move(name)), host(std::move(host)), implementation(std::move(implementation)) {}
  Closure(const Closure&) = delete;
  Closure& operator=(const Closure&) = delete;
  // The last copy of a host function may go on a thread that is not attached.
  ~Closure() {
    pyutil::Attached attached;
    implementation = Ref();
  }

  std::string name;
  std::shared_ptr<Host> host;
  Ref implementation;
};

// An awaitable result cannot be waited for here: it is closed, so that a coroutine does not warn that it
// was never awaited.
bool refuse_awaitable(PyObject* result) {
  if (!PyObject_HasAttrString(result, "__await__")) return false;
  if (PyObject_HasAttrString(result, "close")) {
    Ref closed = Ref::steal(PyObject_CallMethod(result, "close", nullptr));
    if (!closed) PyErr_Clear();
  }
  return true;
}

// The core error for an exception raised during a host call. KeyboardInterrupt, SystemExit and the like
// also end the evaluation, whatever the expression does with the error.
Error failed(Host& host, Ref raised) {
  if (watch::Watch* watch = watch::current(); watch && watch::stops(raised.get()))
    watch->stop(Ref::borrow(raised.get()));
  return host.keep(std::move(raised));
}

Result<std::optional<Json>> call_attached(const Closure& closure, Args args, HostCall& record) {
  Host& host = *closure.host;
  const std::uint64_t id = g_frames.fetch_add(1);
  Ref arguments = convert::made(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  for (std::size_t i = 0; i < args.size(); ++i) {
    Ref item;
    if (const auto parameters = record.caller.arity(i)) {
      item = function_object::make(closure.name, id, i, *parameters);
    } else if (!args[i]) {
      item = Ref::borrow(Py_None);
    } else {
      item = convert::to_py(*args[i], &record.caller.poll());
    }
    if (const auto& stopped = record.caller.poll().failure()) return fail(stopped->clone());
    if (!item) return fail(failed(host, take_raised()));
    PyTuple_SET_ITEM(arguments.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  Frame frame{&record, &host, id, nullptr};
  Ref result;
  Ref raised;
  {
    Pushed pushed(frame);
    result = pyutil::attach(
        [&] { return Ref::steal(PyObject_Call(closure.implementation.get(), arguments.get(), nullptr)); });
    if (!result) raised = take_raised();  // before any release can run Python code
  }
  arguments = Ref();  // with it the Functions, unless Python kept them
  if (raised) return fail(failed(host, std::move(raised)));
  if (refuse_awaitable(result.get())) return fail(Error("U1002").with_token(closure.name));
  if (result.get() == Py_None) return std::optional<Json>();
  auto json = convert::to_json(result.get(), "the result of $" + closure.name);
  if (!json) return fail(failed(host, take_raised()));
  return std::optional<Json>(std::move(*json));
}

Result<std::optional<Json>> invoke(const Closure& closure, Args args, HostCall& record) {
  return headroom::call([&] {
    // A no-op where the evaluation keeps the thread attached; elsewhere it attaches for this call alone.
    pyutil::Attached attached;
    watch::Attached told;
    return call_attached(closure, args, record);
  });
}

// Sets an attribute the exception does not have yet; failures are of no consequence.
void add_attribute(PyObject* exception, const char* name, Ref value) {
  const int has = PyObject_HasAttrString(exception, name);
  if (!has && value && PyObject_SetAttrString(exception, name, value.get()) < 0) PyErr_Clear();
}

}  // namespace

Host::~Host() {
  pyutil::Attached attached;
  pairs_.clear();
  kept_.clear();
}

Error Host::keep(Ref exception) {
  std::optional<Error> paired;
  {
    std::lock_guard lock(mutex_);
    for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it) {
      if (it->first.get() == exception.get()) {
        paired = it->second.clone();
        break;
      }
    }
  }
  if (paired && paired->detail("hostException")) return std::move(*paired);
  // Describing the exception runs Python code: outside the lock.
  Error error = paired ? std::move(*paired) : describe(exception.get());
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    index = kept_.size();
    kept_.push_back(std::move(exception));
  }
  return std::move(error).with("hostException", index);
}

Ref Host::kept(const Error& error) {
  const Json* detail = error.detail("hostException");
  if (!detail || !detail->is_number_unsigned()) return Ref();
  const auto index = detail->get<std::uint64_t>();
  std::lock_guard lock(mutex_);
  if (index >= kept_.size()) return Ref();
  return Ref::borrow(kept_[index].get());
}

void Host::pair(Ref exception, const Error& error) {
  Error copy = error.clone();
  std::lock_guard lock(mutex_);
  pairs_.emplace_back(std::move(exception), std::move(copy));
}

const Frame* find_frame(std::uint64_t id) noexcept {
  for (const Frame* frame = t_frame; frame; frame = frame->next)
    if (frame->id == id) return frame;
  return nullptr;
}

zarnu_core::host::HostFunction Binder::function(
    std::string name, Ref implementation, std::shared_ptr<const zarnu_core::signature::Signature> signature,
    std::size_t arity) {
  if (!host_) host_ = std::make_shared<Host>(source_);
  auto closure = std::make_shared<const Closure>(std::move(name), host_, std::move(implementation));
  zarnu_core::host::HostFunction made;
  made.function = std::make_shared<const zarnu_core::host::Callable>(
      [closure](Args args, HostCall& record) { return invoke(*closure, args, record); });
  made.signature = std::move(signature);
  made.arity = arity;
  made.context = false;
  return made;
}

std::size_t arity(PyObject* callable) {
  std::size_t count = 0;
  const bool told = [&] {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = inspect ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter")) : Ref();
    Ref empty = parameter ? Ref::steal(PyObject_GetAttrString(parameter.get(), "empty")) : Ref();
    Ref signature =
        empty ? Ref::steal(PyObject_CallMethod(inspect.get(), "signature", "O", callable)) : Ref();
    Ref parameters = signature ? Ref::steal(PyObject_GetAttrString(signature.get(), "parameters")) : Ref();
    Ref values = parameters ? Ref::steal(PyObject_CallMethod(parameters.get(), "values", nullptr)) : Ref();
    Ref iterator = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
    if (!iterator) return false;
    while (Ref one = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref kind = Ref::steal(PyObject_GetAttrString(one.get(), "kind"));
      const long number = kind ? PyLong_AsLong(kind.get()) : -1;
      if (number == -1 && PyErr_Occurred()) return false;
      Ref given = Ref::steal(PyObject_GetAttrString(one.get(), "default"));
      if (!given) return false;
      // Positional-only and positional-or-keyword parameters without a default, up to the first other.
      if ((number != 0 && number != 1) || given.get() != empty.get()) return true;
      ++count;
    }
    return !PyErr_Occurred();
  }();
  if (!told) {
    PyErr_Clear();
    return 0;
  }
  return count;
}

PyObject* raise(const Error& error, Host* host, std::string_view source) {
  Ref exception = host ? host->kept(error) : Ref();
  if (!exception) return errors::raise(error, source);
  if (const auto position = error.position())
    add_attribute(exception.get(), "position",
                  convert::made(PyLong_FromSize_t(errors::characters_before_unit(source, *position))));
  if (const auto token = error.token()) add_attribute(exception.get(), "token", convert::string(*token));
  compat::restore_exception(exception.release());
  return nullptr;
}

}  // namespace zarnu_py::host
