// The extension module `zorv`, on the stable ABI.
#include <Python.h>

namespace {

PyModuleDef zorv_module = {
    PyModuleDef_HEAD_INIT, "zorv", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_zorv(void) {
  PyObject *m = PyModule_Create(&zorv_module);
  if (m == nullptr) {
    return nullptr;
  }
  PyObject *all =
      Py_BuildValue("[sssss]", "run_backtest", "parse", "format", "lint", "__version__");
  if (all == nullptr || PyModule_AddObject(m, "__all__", all) < 0) {
    Py_XDECREF(all);
    Py_DECREF(m);
    return nullptr;
  }
  if (PyModule_AddStringConstant(m, "__version__", "0.2.0") < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
