// A stand-in for the profiler agent library, used by the tests and the demo
// of the bridge modules.
//
// It exports the three entry points the bridges look up and records what
// each one received in exported variables, which Python reads (and the
// results of which it sets) through ctypes. dump_threads writes the stack of
// every thread of the interpreter to the file descriptor it is given.
//
// Built once as is, and once per entry point with WITHOUT_<entry point>
// defined, which leaves that entry point out. The interpreter's symbols are
// resolved from the host process; the library does not link libpython.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdio.h>

#define EXPORTED __attribute__((visibility("default")))
#define STAND_IN_EXPORT extern "C" EXPORTED

extern "C" {

// Arguments of the last init_py_gil_interceptor call; the object is kept as
// its address (compare with id()), without a reference.
EXPORTED int64_t init_calls = 0;
EXPORTED uintptr_t init_object = 0;
EXPORTED int64_t init_a = 0;
EXPORTED int64_t init_b = 0;
EXPORTED int init_c = 0;
EXPORTED int init_d = 0;
EXPORTED int init_e = 0;
EXPORTED int init_f = 0;
EXPORTED int init_result = 0;

EXPORTED int64_t deinit_calls = 0;
EXPORTED int deinit_result = 0;

// Arguments of the last dump_threads call.
EXPORTED int64_t dump_calls = 0;
EXPORTED int dump_fd = 0;
EXPORTED int64_t dump_arg = 0;

}  // extern "C"

#ifndef WITHOUT_init_py_gil_interceptor
STAND_IN_EXPORT int init_py_gil_interceptor(PyObject* obj, int64_t a, int64_t b, int c, int d, int e, int f) {
  ++init_calls;
  init_object = reinterpret_cast<uintptr_t>(obj);
  init_a = a;
  init_b = b;
  init_c = c;
  init_d = d;
  init_e = e;
  init_f = f;
  return init_result;
}
#endif

#ifndef WITHOUT_deinit_py_gil_interceptor
STAND_IN_EXPORT int deinit_py_gil_interceptor() {
  ++deinit_calls;
  return deinit_result;
}
#endif

#ifndef WITHOUT_dump_threads
namespace {

// UTF-8 text of a str object, or "???" when it has none.
const char* text_of(PyObject* str) {
  const char* text = PyUnicode_AsUTF8(str);
  if (text != nullptr) return text;
  PyErr_Clear();
  return "???";
}

// Writes one thread's frames, innermost first.
void write_thread_stack(int fd, PyThreadState* tstate, bool is_current) {
  dprintf(fd, "%s 0x%016lx (most recent call first):\n", is_current ? "Current thread" : "Thread",
          tstate->thread_id);
  PyFrameObject* frame = PyThreadState_GetFrame(tstate);  // new reference or null
  while (frame != nullptr) {
    PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
    dprintf(fd, "  File \"%s\", line %d in %s\n", text_of(code->co_filename), PyFrame_GetLineNumber(frame),
            text_of(code->co_name));
    Py_DECREF(code);
    PyFrameObject* back = PyFrame_GetBack(frame);  // new reference or null
    Py_DECREF(frame);
    frame = back;
  }
  dprintf(fd, "\n");
}

}  // namespace

// Called with the interpreter lock held, so the other threads are parked
// and their frames can be read. The second argument is only recorded.
STAND_IN_EXPORT void dump_threads(int fd, int64_t arg) {
  ++dump_calls;
  dump_fd = fd;
  dump_arg = arg;
  PyThreadState* current = PyThreadState_Get();
  PyInterpreterState* interp = PyThreadState_GetInterpreter(current);
  for (PyThreadState* t = PyInterpreterState_ThreadHead(interp); t != nullptr; t = PyThreadState_Next(t))
    write_thread_stack(fd, t, t == current);
}
#endif
