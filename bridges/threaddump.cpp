// threaddump_C: asks the profiler agent to dump the stacks of all threads.
//
// The agent's dump_threads entry point is looked up once, when the module is
// initialised, and published in the exported variable dump_threads_function
// so that other loaded objects can call it as well.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "symbol.h"

using DumpThreads = void (*)(int a, int64_t b);

extern "C" {
// Written only by PyInit_threaddump_C; null when the agent lacks dump_threads.
__attribute__((visibility("default"))) DumpThreads dump_threads_function = nullptr;
}

namespace {

// The "L" format unpacks into long long; the agent takes int64_t.
static_assert(sizeof(long long) == sizeof(int64_t));

// dump_all_threads_stack(a, b) -> 0 once the agent has run, -1 without an agent.
// The arguments are checked first, so bad ones raise even without an agent.
PyObject* dump_all_threads_stack(PyObject*, PyObject* args) {
  int a;
  long long b;
  if (!PyArg_ParseTuple(args, "iL", &a, &b)) return nullptr;
  if (dump_threads_function == nullptr) return PyLong_FromLong(-1);
  dump_threads_function(a, b);
  return PyLong_FromLong(0);
}

PyMethodDef threaddump_methods[] = {
    {"dump_all_threads_stack", dump_all_threads_stack, METH_VARARGS, "dump all thread stack"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef threaddump_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "threaddump_C",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = threaddump_methods,
};

}  // namespace

// The module is created whether or not the lookup succeeded.
PyMODINIT_FUNC PyInit_threaddump_C() {
  dump_threads_function = reinterpret_cast<DumpThreads>(get_symbol_addr("dump_threads"));
  return PyModule_Create2(&threaddump_module, PYTHON_API_VERSION);
}
