// An extension that keeps TLS_BYTES of thread-local state in the initial-exec model, as some libraries do:
// loaded with dlopen, it takes that much of the static thread-local space every such module shares.
#include <Python.h>

#include <cstddef>

#ifndef TLS_BYTES
#define TLS_BYTES 64
#endif
#ifndef MODULE_NAME
#define MODULE_NAME _tls_probe
#endif
#define ZR_STR2(x) #x
#define ZR_STR(x) ZR_STR2(x)
#define ZR_CAT2(a, b) a##b
#define ZR_CAT(a, b) ZR_CAT2(a, b)

namespace {

[[gnu::tls_model("initial-exec")]] thread_local unsigned char t_state[TLS_BYTES];

// Writes every byte of this thread's state and sums it, so that the state is really there.
PyObject* touch(PyObject*, PyObject*) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < TLS_BYTES; ++i) {
    t_state[i] = static_cast<unsigned char>(i);
    total += t_state[i];
  }
  return PyLong_FromSize_t(total);
}

PyMethodDef kMethods[] = {
    {"touch", touch, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, ZR_STR(MODULE_NAME), nullptr, -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC ZR_CAT(PyInit_, MODULE_NAME)() {
  return PyModule_Create(&kModule);
}
