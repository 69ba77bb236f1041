// A C++ extension like any other a Python process may load beside zarnu: its strings grow inside the
// shared C++ runtime (which allocates the buffer there) and are released by code inlined here, so the
// runtime's allocation and this module's release must reach the same allocator.
#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

PyObject* churn(PyObject*, PyObject*) {
  std::size_t total = 0;
  for (int round = 0; round < 64; ++round) {
    std::vector<std::string> texts;
    for (int i = 0; i < 64; ++i) {
      std::string text;
      text.append(static_cast<std::size_t>(100 + i * round), 'x');  // grown by the runtime
      texts.push_back(std::move(text));
    }
    for (const std::string& text : texts) total += text.size();
  }  // released here
  return PyLong_FromSize_t(total);
}

PyMethodDef kMethods[] = {
    {"churn", churn, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT, "_alloc_probe", nullptr, -1, kMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__alloc_probe() {
  return PyModule_Create(&kDefinition);
}
