// spantree_C: a call-tree tracer driven by a C-level profile hook.
//
// set_trace_profile() installs one of four hooks on the calling thread. The
// hooks keep the calls that are open as a chain of FrameNode objects hanging
// from `TraceProfiler.current` through `parent` pointers, and turn every
// finished call that passes the filter (a minimum duration, or a maximum
// nesting depth) into one record string stored at the node's index in
// `TraceProfiler.records`. remove_trace_profile() removes the hook and hands
// the records to callback(context, records).
//
// Reference rules of this file:
//  - Ref<T> owns exactly one strong reference; Ref::steal adopts a new
//    reference, Ref::borrow adds one, release() hands it back to C.
//  - Raw pointers are borrowed. Helpers say in a comment whether they return
//    a new or a borrowed reference.
//  - The root node (index -1) is owned by the profiler. In synchronous mode
//    every other node on the open-call chain is owned by the chain: its
//    creation reference is dropped when its return event pops it.
//  - Hooks never leave an exception pending and never raise into the traced
//    code: failures are cleared and cost at most the record concerned.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <time.h>

namespace {

// ---------------------------------------------------------------------------
// Reference holders

template <typename T = PyObject>
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(T* p) noexcept { return Ref(p); }
  static Ref borrow(T* p) noexcept {
    Py_XINCREF(reinterpret_cast<PyObject*>(p));
    return Ref(p);
  }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    T* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(reinterpret_cast<PyObject*>(p_)); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  T* release() noexcept {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  explicit Ref(T* p) noexcept : p_(p) {}
  T* p_ = nullptr;
};

// Keeps whatever exception is pending (none, in a profile hook of this
// interpreter, but cheap to be sure of) out of the way of the work in its
// scope, clears what that work leaves behind and puts the original back.
class ErrorScope {
 public:
  ErrorScope() noexcept : saved_(PyErr_GetRaisedException()) {}
  ~ErrorScope() {
    PyErr_Clear();
    PyErr_SetRaisedException(saved_);
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  PyObject* saved_;
};

// ---------------------------------------------------------------------------
// Objects

struct FrameNode {
  PyObject_HEAD
  FrameNode* parent;    // enclosing node, not owned
  PyObject* children;   // list of coroutine child nodes, owned
  int64_t start_ns;
  int64_t index;        // slot of the node's record; -1 for the root
  PyObject* header;     // str, owned, or null
  PyObject* frame_id;   // int (frame address), owned, or null
  PyObject* times;      // list of int time stamps, owned
};

struct TraceProfiler {
  PyObject_HEAD
  PyObject* callback;
  PyObject* records;
  PyObject* context;
  FrameNode* current;
  int64_t next_index;
  int64_t is_async;
  int64_t threshold_ns;
  int64_t depth;
  Py_ssize_t max_depth;
  // Set by the first remove_trace_profile(): from then on the profiler is
  // inert. Its hook may still be installed on a thread other than the one
  // that removed it; every event it gets there is ignored.
  bool removed;
};

constexpr int64_t kRootIndex = -1;

void FrameNode_Dealloc(PyObject* self);
void TraceProfiler_Dealloc(PyObject* self);

PyTypeObject FrameNode_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "pyvarnex.ext.FrameNode",
    .tp_basicsize = sizeof(FrameNode),
    .tp_dealloc = FrameNode_Dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = PyType_GenericNew,
    .tp_free = PyObject_Free,
};

PyTypeObject TraceProfiler_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "pyvarnex.ext.TraceProfiler",
    .tp_basicsize = sizeof(TraceProfiler),
    .tp_dealloc = TraceProfiler_Dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = PyType_GenericNew,
    .tp_free = PyObject_Free,
};

inline bool is_root(const FrameNode* node) { return node->index == kRootIndex; }

// New reference: a node with empty `children` and `times`, or null with an
// exception set.
FrameNode* FrameNode_New() {
  PyTypeObject* type = &FrameNode_Type;
  Ref<FrameNode> node = Ref<FrameNode>::steal(
      reinterpret_cast<FrameNode*>(type->tp_alloc(type, 0)));
  if (!node) return nullptr;
  node->children = PyList_New(0);
  node->times = PyList_New(0);
  if (!node->children || !node->times) return nullptr;
  return node.release();
}

void FrameNode_Dealloc(PyObject* self) {
  auto* node = reinterpret_cast<FrameNode*>(self);
  node->parent = nullptr;
  Py_CLEAR(node->children);
  Py_CLEAR(node->times);
  Py_CLEAR(node->frame_id);
  Py_CLEAR(node->header);
  Py_TYPE(self)->tp_free(self);
}

// Releases every node of a synchronous trace's open-call chain, the root
// included: each holds exactly its creation reference.
void release_open_chain(FrameNode* node) {
  while (node) {
    FrameNode* parent = node->parent;
    Py_DECREF(node);
    node = parent;
  }
}

void TraceProfiler_Dealloc(PyObject* self) {
  auto* profiler = reinterpret_cast<TraceProfiler*>(self);
  FrameNode* current = profiler->current;
  profiler->current = nullptr;
  release_open_chain(current);
  Py_CLEAR(profiler->records);
  Py_CLEAR(profiler->callback);
  Py_CLEAR(profiler->context);
  Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// Events, time, records

inline bool is_call_event(int what) { return (what & ~PyTrace_C_CALL) == 0; }
inline bool is_return_event(int what) {
  return what == PyTrace_RETURN || what == PyTrace_C_EXCEPTION || what == PyTrace_C_RETURN;
}

inline int64_t _get_time_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// New reference: a str naming the built-in callable `fn`, its __qualname__,
// else its __name__, else the name of its type; null only when even that
// fails. Attribute lookups can run Python code (a metaclass's
// __getattribute__); a failed lookup's error is cleared before the next.
PyObject* builtin_name(PyObject* fn) {
  static constexpr const char* kNameAttributes[] = {"__qualname__", "__name__"};
  for (const char* attribute : kNameAttributes) {
    Ref<> name = Ref<>::steal(PyObject_GetAttrString(fn, attribute));
    if (name && PyUnicode_Check(name.get())) return name.release();
    PyErr_Clear();
  }
  return PyType_GetName(Py_TYPE(fn));
}

// New reference: the call record of a Python function whose frame is `frame`.
PyObject* python_call_record(PyFrameObject* frame, int64_t start_ns, int64_t duration_ns,
                             int64_t parent_index) {
  Ref<PyCodeObject> code = Ref<PyCodeObject>::steal(PyFrame_GetCode(frame));
  return PyUnicode_FromFormat("%U%c%U%c%i%c%lld%c%lld%c%lld", code->co_name, 0,
                              code->co_filename, 0, code->co_firstlineno, 1,
                              static_cast<long long>(start_ns), 1,
                              static_cast<long long>(duration_ns), 1,
                              static_cast<long long>(parent_index));
}

// New reference: the call record of a built-in callable named `name`.
PyObject* builtin_call_record(PyObject* name, int64_t start_ns, int64_t duration_ns,
                              int64_t parent_index) {
  return PyUnicode_FromFormat("%U%c%s%c%i%c%lld%c%lld%c%lld", name, 0, "<built-in>", 0, 0, 1,
                              static_cast<long long>(start_ns), 1,
                              static_cast<long long>(duration_ns), 1,
                              static_cast<long long>(parent_index));
}

// Stores `record` (stolen) at position `index` of `records`, first padding
// the list with None up to that position.
void place_record(PyObject* records, int64_t index, PyObject* record) {
  for (Py_ssize_t n = PyList_GET_SIZE(records); n <= index; ++n) {
    if (PyList_Append(records, Py_None) < 0) {
      Py_DECREF(record);
      return;
    }
  }
  PyList_SetItem(records, static_cast<Py_ssize_t>(index), record);
}

// ---------------------------------------------------------------------------
// The open-call chain

// Opens a plain node for a call made under `current`. On failure (no memory)
// the event is lost.
void push_plain_node(TraceProfiler* self, int64_t now) {
  FrameNode* node = FrameNode_New();
  if (!node) {
    PyErr_Clear();
    return;
  }
  node->start_ns = now;
  node->parent = self->current;
  node->index = self->next_index++;
  self->current = node;
}

// New reference: `current`, detached from the chain, which moves up to its
// parent. `current` must not be the root.
FrameNode* pop_current(TraceProfiler* self) {
  FrameNode* node = self->current;
  self->current = node->parent;
  node->parent = nullptr;
  return node;
}

// Records the call that `node` (just popped) stood for, as the child of
// `current`. May run Python code (a built-in's name lookup); the profiler is
// kept alive across it and, if it was removed meanwhile, the record is
// dropped. The profiler may be gone when this returns.
void record_call(TraceProfiler* self, const FrameNode* node, int64_t now,
                 PyFrameObject* frame, int what, PyObject* arg) {
  ErrorScope errors;
  const int64_t duration = now - node->start_ns;
  const int64_t parent_index = self->current->index;
  Ref<> keep_alive;
  Ref<> record;
  if (what == PyTrace_RETURN) {
    record = Ref<>::steal(python_call_record(frame, node->start_ns, duration, parent_index));
  } else {
    keep_alive = Ref<>::borrow(reinterpret_cast<PyObject*>(self));
    Ref<> name = Ref<>::steal(builtin_name(arg));
    if (self->removed || !name) return;
    record = Ref<>::steal(builtin_call_record(name.get(), node->start_ns, duration, parent_index));
  }
  if (record) place_record(self->records, node->index, record.release());
}

// ---------------------------------------------------------------------------
// Synchronous hooks

// Threshold mode: a call is recorded when it lasted at least threshold_ns.
int profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = _get_time_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  if (is_call_event(what)) {
    push_plain_node(self, now);
  } else if (is_return_event(what) && !is_root(self->current)) {
    Ref<FrameNode> node = Ref<FrameNode>::steal(pop_current(self));
    if (now - node->start_ns >= self->threshold_ns) {
      record_call(self, node.get(), now, frame, what, arg);
    } else {
      // Every callee has returned and none was recorded, so the dropped
      // node's index is the last one handed out: give it back.
      --self->next_index;
    }
  }
  return 0;
}

// Depth mode: a call is recorded when its nesting level (1 directly under
// the root) is at most max_depth.
int profile_with_depth(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = _get_time_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  if (is_call_event(what)) {
    push_plain_node(self, now);
    ++self->depth;
  } else if (is_return_event(what) && !is_root(self->current)) {
    Ref<FrameNode> node = Ref<FrameNode>::steal(pop_current(self));
    const int64_t depth = --self->depth;
    if (self->max_depth > depth) {
      record_call(self, node.get(), now, frame, what, arg);
    } else {
      --self->next_index;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Module functions

// set_trace_profile(callback, context, threshold_ns, is_async, max_depth)
PyObject* set_trace_profile(PyObject*, PyObject* args, PyObject*) {
  PyObject* callback;
  PyObject* context;
  long long threshold_ns;
  int is_async;
  Py_ssize_t max_depth;
  if (!PyArg_ParseTuple(args, "OOLpn", &callback, &context, &threshold_ns, &is_async, &max_depth))
    return nullptr;

  PyTypeObject* type = &TraceProfiler_Type;
  Ref<TraceProfiler> profiler = Ref<TraceProfiler>::steal(
      reinterpret_cast<TraceProfiler*>(type->tp_alloc(type, 0)));
  if (!profiler) return nullptr;
  profiler->callback = Py_NewRef(callback);
  profiler->context = Py_NewRef(context);
  profiler->records = PyList_New(0);
  if (!profiler->records) return nullptr;
  profiler->current = FrameNode_New();
  if (!profiler->current) return nullptr;
  profiler->current->index = kRootIndex;
  profiler->next_index = 0;
  profiler->is_async = is_async;
  profiler->threshold_ns = threshold_ns;
  profiler->depth = 0;
  profiler->max_depth = max_depth;

  const Py_tracefunc hook = max_depth > 0 ? profile_with_depth : profile;
  PyEval_SetProfile(hook, reinterpret_cast<PyObject*>(profiler.get()));
  return reinterpret_cast<PyObject*>(profiler.release());
}

// remove_trace_profile(profiler): removes the calling thread's hook, then
// delivers the profiler's records to its callback. None only removes.
PyObject* remove_trace_profile(PyObject*, PyObject* args, PyObject*) {
  PyEval_SetProfile(nullptr, nullptr);
  PyObject* arg;
  if (!PyArg_ParseTuple(args, "O", &arg)) return nullptr;
  if (arg == Py_None) Py_RETURN_NONE;
  if (!PyObject_TypeCheck(arg, &TraceProfiler_Type)) {
    PyErr_Format(PyExc_TypeError,
                 "remove_trace_profile() argument must be a profiler returned by "
                 "set_trace_profile() or None, not %.200s",
                 Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  auto* profiler = reinterpret_cast<TraceProfiler*>(arg);
  if (!profiler->records) {
    PyErr_SetString(PyExc_ValueError,
                    "remove_trace_profile() argument was not made by set_trace_profile()");
    return nullptr;
  }
  profiler->removed = true;

  // The argument tuple keeps the profiler, and so these fields, alive.
  PyObject* call_args[] = {nullptr, profiler->context, profiler->records};
  Ref<> result = Ref<>::steal(PyObject_Vectorcall(
      profiler->callback, call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"set_trace_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_trace_profile)),
     METH_VARARGS | METH_KEYWORDS, "set_trace_profile implementation."},
    {"remove_trace_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remove_trace_profile)),
     METH_VARARGS | METH_KEYWORDS, "remove by setting sys.setprofile(None)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef spantree_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "spantree_C",
    .m_doc = "PyVarnex trace supports.",
    .m_size = -1,
    .m_methods = module_methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_spantree_C() {
  if (PyType_Ready(&FrameNode_Type) < 0 || PyType_Ready(&TraceProfiler_Type) < 0) return nullptr;
  return PyModule_Create2(&spantree_module, PYTHON_API_VERSION);
}
