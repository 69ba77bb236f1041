// Stops a thread that the interpreter ends (pthread_exit) while our frames are on its stack, at the first of
// them the unwinding meets, before any of their cleanups could run.
#include <unwind.h>

#include "pyutil.hpp"

// The C++ runtime's personality routine, which the unwinder asks at each frame of the module's C++ code
// (the core's included) what that frame does with an exception. The module is linked with
// --wrap=__gxx_personality_v0, so that every such frame names the routine below instead.
extern "C" _Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                           _Unwind_Exception_Class kind,
                                                           _Unwind_Exception* exception,
                                                           _Unwind_Context* context);

// A forced unwind is the thread's end: during finalization the interpreter ends a daemon thread that takes
// its lock with pthread_exit, from inside any call that may run Python code (a key's __eq__, a subclass's
// __iter__, a finalizer run by a release or by the collector during an allocation, a turn given to other
// threads). Our cleanups would release Python references without the lock or attach again; the module's own
// copy of the unwinder cannot even resume the system's unwinding after a cleanup, and a catch-all handler
// would end in terminate. So the thread stops here for good, its stack untouched, as the interpreter's later
// versions stop such threads themselves. Our own exceptions are never forced, so they pay one test of a bit
// per frame, and code that throws nothing pays nothing.
extern "C" _Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                           _Unwind_Exception_Class kind,
                                                           _Unwind_Exception* exception,
                                                           _Unwind_Context* context) {
  if (actions & _UA_FORCE_UNWIND) [[unlikely]]
    zarnu_py::pyutil::detail::park(nullptr);
  return __real___gxx_personality_v0(version, actions, kind, exception, context);
}
