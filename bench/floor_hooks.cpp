// bench_floor_C: the reference hooks the benchmark measures the tracer
// against. `noop` is the interpreter's dispatch floor; `clock` also reads
// CLOCK_REALTIME once per event, which every tracer hook must do; `count`
// counts call events, so overheads can be given per traced call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>
#include <time.h>

namespace {

int64_t sink_ns;     // keeps the clock reads from being optimised away
int64_t call_count;  // call events seen by the `count` hook

int noop_hook(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

int clock_hook(PyObject*, PyFrameObject*, int, PyObject*) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  sink_ns += ts.tv_nsec;
  return 0;
}

int count_hook(PyObject*, PyFrameObject*, int what, PyObject*) {
  if (what == PyTrace_CALL || what == PyTrace_C_CALL) ++call_count;
  return 0;
}

// install(name): installs the named hook on the calling thread; None removes.
// The count starts at zero with the process and adds up over every thread.
PyObject* install(PyObject*, PyObject* arg) {
  Py_tracefunc hook = nullptr;
  if (arg != Py_None) {
    const char* name = PyUnicode_AsUTF8(arg);
    if (!name) return nullptr;
    if (strcmp(name, "noop") == 0) hook = noop_hook;
    else if (strcmp(name, "clock") == 0) hook = clock_hook;
    else if (strcmp(name, "count") == 0) hook = count_hook;
    else {
      PyErr_Format(PyExc_ValueError, "no hook named %R", arg);
      return nullptr;
    }
  }
  PyEval_SetProfile(hook, hook ? Py_None : nullptr);
  Py_RETURN_NONE;
}

PyObject* calls(PyObject*, PyObject*) { return PyLong_FromLongLong(call_count); }

PyMethodDef methods[] = {
    {"install", install, METH_O, "install(name | None): install a reference hook"},
    {"calls", calls, METH_NOARGS, "call events counted by the 'count' hook"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "bench_floor_C",
    .m_size = -1,
    .m_methods = methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_bench_floor_C() { return PyModule_Create2(&module, PYTHON_API_VERSION); }
