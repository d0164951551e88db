// failing_allocator_C: makes one object allocation fail on purpose, for
// tests of what native code does when memory runs out. A test module only:
// it is never installed.
//
//   arm(n, size=0, raw=False)
//                   the n-th object allocation from now on (malloc or
//                   calloc in the object domain; with `size`, only those of
//                   exactly `size` bytes are counted) fails; with `raw`, the
//                   n-th allocation of the raw domain (PyMem_Raw*, where
//                   native arrays live), reallocations included
//   disarm() -> (counted, failed)
//                   stops counting and tells how many allocations were
//                   counted and failed since arm()
//
// The allocator is a hook on the one installed before it, so memory moves
// freely between the two; it is put in place by arm() and taken out by
// disarm().

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>

namespace {

struct FailingAllocator {
  PyMemAllocatorEx underlying;  // the armed domain's allocator before arm()
  PyMemAllocatorDomain domain;
  bool armed;
  size_t size;                  // 0: every size is counted
  long long target;             // the counted allocation that fails
  long long counted;
  long long failed;
};

constinit FailingAllocator state{};

// Whether the allocation of `size` bytes about to be made is the one to fail.
bool fails_now(size_t size) {
  if (!state.armed || (state.size != 0 && size != state.size)) return false;
  if (++state.counted != state.target) return false;
  ++state.failed;
  return true;
}

void* failing_malloc(void*, size_t size) {
  if (fails_now(size)) return nullptr;
  return state.underlying.malloc(state.underlying.ctx, size);
}

void* failing_calloc(void*, size_t count, size_t size) {
  if (fails_now(count * size)) return nullptr;
  return state.underlying.calloc(state.underlying.ctx, count, size);
}

void* passing_realloc(void*, void* block, size_t size) {
  return state.underlying.realloc(state.underlying.ctx, block, size);
}

void* failing_realloc(void*, void* block, size_t size) {
  if (fails_now(size)) return nullptr;
  return state.underlying.realloc(state.underlying.ctx, block, size);
}

void passing_free(void*, void* block) { state.underlying.free(state.underlying.ctx, block); }

PyObject* arm(PyObject*, PyObject* args) {
  long long target;
  Py_ssize_t size = 0;
  int raw = 0;
  if (!PyArg_ParseTuple(args, "L|np", &target, &size, &raw)) return nullptr;
  if (target < 1 || size < 0) {
    PyErr_SetString(PyExc_ValueError, "arm() needs n >= 1 and size >= 0");
    return nullptr;
  }
  const PyMemAllocatorDomain domain = raw ? PYMEM_DOMAIN_RAW : PYMEM_DOMAIN_OBJ;
  if (state.armed && state.domain != domain) {
    PyErr_SetString(PyExc_ValueError, "arm(): disarm() before arming another domain");
    return nullptr;
  }
  if (!state.armed) {
    state.domain = domain;
    PyMem_GetAllocator(domain, &state.underlying);
    PyMemAllocatorEx failing = {nullptr, failing_malloc, failing_calloc,
                                raw ? failing_realloc : passing_realloc, passing_free};
    PyMem_SetAllocator(domain, &failing);
  }
  state.armed = true;
  state.size = static_cast<size_t>(size);
  state.target = target;
  state.counted = state.failed = 0;
  Py_RETURN_NONE;
}

PyObject* disarm(PyObject*, PyObject*) {
  if (state.armed) {
    state.armed = false;
    PyMem_SetAllocator(state.domain, &state.underlying);
  }
  return Py_BuildValue("(LL)", state.counted, state.failed);
}

PyMethodDef methods[] = {
    {"arm", arm, METH_VARARGS, nullptr},
    {"disarm", disarm, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "failing_allocator_C",
    .m_size = -1,
    .m_methods = methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_failing_allocator_C() { return PyModule_Create(&module); }
