// lockmeter_C: switches the profiler agent's interceptor of the interpreter
// lock on and off.
//
// The agent's two entry points are looked up once, when the module is
// initialised; each function forwards to its entry point on the calling
// thread and returns the agent's int result, or -1 when the entry point is
// not available (in which case -1 from the agent itself cannot be told apart).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "symbol.h"

namespace {

// The object is borrowed from the caller's argument tuple; the agent takes
// its own reference if it keeps it.
using InitInterceptor = int (*)(PyObject* obj, int64_t a, int64_t b, int c, int d, int e, int f);
using DeinitInterceptor = int (*)();

// Written only by PyInit_lockmeter_C; null when the agent lacks the entry point.
InitInterceptor init_func = nullptr;
DeinitInterceptor deinit_func = nullptr;

// The "L" format unpacks into long long; the agent takes int64_t.
static_assert(sizeof(long long) == sizeof(int64_t));

// init_gil_interceptor(obj, a, b, c, d, e, f) -> int
PyObject* init_gil_interceptor(PyObject*, PyObject* args) {
  if (init_func == nullptr) return PyLong_FromLong(-1);
  PyObject* obj;
  long long a, b;
  int c, d, e, f;
  if (!PyArg_ParseTuple(args, "OLLiiii", &obj, &a, &b, &c, &d, &e, &f)) return nullptr;
  return Py_BuildValue("i", init_func(obj, a, b, c, d, e, f));
}

// deinit_gil_interceptor(*ignored) -> int
PyObject* deinit_gil_interceptor(PyObject*, PyObject*) {
  if (deinit_func == nullptr) return PyLong_FromLong(-1);
  return Py_BuildValue("i", deinit_func());
}

PyMethodDef lockmeter_methods[] = {
    {"init_gil_interceptor", init_gil_interceptor, METH_VARARGS, "init gil interceptor"},
    {"deinit_gil_interceptor", deinit_gil_interceptor, METH_VARARGS, "deinit gil interceptor"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef lockmeter_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lockmeter_C",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = lockmeter_methods,
};

}  // namespace

// The module is created whether or not the lookups succeeded.
PyMODINIT_FUNC PyInit_lockmeter_C() {
  init_func = reinterpret_cast<InitInterceptor>(get_symbol_addr("init_py_gil_interceptor"));
  deinit_func = reinterpret_cast<DeinitInterceptor>(get_symbol_addr("deinit_py_gil_interceptor"));
  return PyModule_Create2(&lockmeter_module, PYTHON_API_VERSION);
}
