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
// The coroutine-aware hooks keep one node per coroutine across its
// suspensions: a coroutine node lives in its parent's `children` list, is
// left there when its frame suspends or finishes, and is recorded by a
// closing sweep once its parent moves on to other work, or by the final
// sweep when the trace ends. The time between a suspension and the matching
// resumption becomes an await record.
//
// Reference rules of this file:
//  - Ref<T> owns exactly one strong reference; Ref::steal adopts a new
//    reference, Ref::borrow adds one, release() hands it back to C.
//  - Raw pointers are borrowed. Helpers say in a comment whether they return
//    a new or a borrowed reference.
//  - The root node (index -1) is owned by the profiler. A plain node (any
//    call that is not a coroutine) is owned by the open-call chain: its
//    creation reference is dropped when its return event pops it. A
//    coroutine node is owned by its parent's `children` list only, so the
//    hooks never release it; moving `current` past it costs nothing.
//  - Once the final sweep has run, the profiler owns `current` alone: the
//    sweep released everything above it.
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
  PyObject* header;     // str, owned; coroutine nodes only
  PyObject* frame_id;   // int (frame address), owned; coroutine nodes only
  PyObject* times;      // list of int time stamps, owned
  // The coroutine's code object, owned; coroutine nodes only. A finished
  // coroutine's frame address is soon reused, so the address alone could
  // take another function's frame for this coroutine's resumption.
  PyObject* code;
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
  // Set by the first remove_trace_profile(), which also runs the final sweep
  // of a coroutine-aware trace: from then on the profiler is inert. Its hook
  // may still be installed on a thread other than the one that removed it;
  // every event it gets there is ignored.
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
inline bool is_coroutine_node(const FrameNode* node) { return node->frame_id != nullptr; }

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

// Releasing `children` releases the coroutine nodes below, and so a whole
// subtree; the list's own deallocation bounds the C stack on deep ones.
void FrameNode_Dealloc(PyObject* self) {
  auto* node = reinterpret_cast<FrameNode*>(self);
  node->parent = nullptr;
  Py_CLEAR(node->children);
  Py_CLEAR(node->times);
  Py_CLEAR(node->frame_id);
  Py_CLEAR(node->header);
  Py_CLEAR(node->code);
  Py_TYPE(self)->tp_free(self);
}

// Releases the references the open-call chain from `node` up holds: every
// plain node's and the root's. Coroutine nodes belong to their parents'
// `children` and go with them; each parent pointer is read before the node
// that could own the next one up is released.
void release_open_chain(FrameNode* node) {
  while (node) {
    FrameNode* parent = node->parent;
    if (!is_coroutine_node(node)) Py_DECREF(node);
    node = parent;
  }
}

void TraceProfiler_Dealloc(PyObject* self) {
  auto* profiler = reinterpret_cast<TraceProfiler*>(self);
  FrameNode* current = profiler->current;
  profiler->current = nullptr;
  if (profiler->is_async && profiler->removed) {
    Py_XDECREF(current);  // the final sweep left the profiler this node alone
  } else {
    release_open_chain(current);
  }
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

// New reference: the descriptive part (name, file, line) of a coroutine's
// record.
PyObject* _get_header(PyCodeObject* code) {
  return PyUnicode_FromFormat("%U%c%U%c%i", code->co_name, 0, code->co_filename, 0,
                              code->co_firstlineno);
}

// New reference: a coroutine's record.
PyObject* coroutine_record(PyObject* header, int64_t start_ns, int64_t duration_ns,
                           int64_t parent_index) {
  return PyUnicode_FromFormat("%U%c%lld%c%lld%c%lld", header, 1,
                              static_cast<long long>(start_ns), 1,
                              static_cast<long long>(duration_ns), 1,
                              static_cast<long long>(parent_index));
}

// New reference: the record of the wait between a coroutine's suspension at
// `suspended_ns` and its resumption.
PyObject* await_record(int64_t suspended_ns, int64_t wait_ns, int64_t coroutine_index) {
  return PyUnicode_FromFormat("%s%c%c%i%c%lld%c%lld%c%lld", "[await]", 0, 0, 0, 1,
                              static_cast<long long>(suspended_ns), 1,
                              static_cast<long long>(wait_ns), 1,
                              static_cast<long long>(coroutine_index));
}

// Stores `record` (stolen; null is ignored) at position `index` of
// `records`, first padding the list with None up to that position.
void place_record(PyObject* records, int64_t index, PyObject* record) {
  if (!record) return;
  for (Py_ssize_t n = PyList_GET_SIZE(records); n <= index; ++n) {
    if (PyList_Append(records, Py_None) < 0) {
      Py_DECREF(record);
      return;
    }
  }
  PyList_SetItem(records, static_cast<Py_ssize_t>(index), record);
}

// New reference: the last element of `list`, removed from it; null if the
// list is empty or the removal fails.
PyObject* pop_last_element(PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0) return nullptr;
  Ref<> last = Ref<>::borrow(PyList_GET_ITEM(list, n - 1));
  if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return nullptr;
  return last.release();
}

// Time stamp at `position` of a coroutine node's `times` (never empty).
int64_t time_at(const FrameNode* node, Py_ssize_t position) {
  return PyLong_AsLongLong(PyList_GET_ITEM(node->times, position));
}

// Appends `now` to `times`; false if that failed.
bool append_time(PyObject* times, int64_t now) {
  Ref<> stamp = Ref<>::steal(PyLong_FromLongLong(now));
  return stamp && PyList_Append(times, stamp.get()) == 0;
}

// ---------------------------------------------------------------------------
// Filters. Threshold mode records what lasted at least threshold_ns; depth
// mode what ran at most max_depth levels below the root, and keeps `depth`
// equal to the level of `current`. Each never looks at the other's field.

enum class Filter { kThreshold, kDepth };

template <Filter filter>
inline void enter_level(TraceProfiler* self) {
  if constexpr (filter == Filter::kDepth) ++self->depth;
}

template <Filter filter>
inline void leave_level(TraceProfiler* self) {
  if constexpr (filter == Filter::kDepth) --self->depth;
}

// ---------------------------------------------------------------------------
// Plain calls: the open-call chain

// Opens a plain node for a call made under `current`. Without memory for it
// the event is lost.
template <Filter filter>
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
  enter_level<filter>(self);
}

// Records the call that `node` (just popped) stood for, as the child of
// `current`. May run Python code (a built-in's name lookup); the profiler is
// kept alive across it and, if it was removed meanwhile, the record is
// dropped. The profiler may be gone when this returns.
void record_call(TraceProfiler* self, const FrameNode* node, int64_t now,
                 PyFrameObject* frame, int what, PyObject* arg) {
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
  place_record(self->records, node->index, record.release());
}

// Closes the plain node `current` for its return event: pops it, records it
// if the filter keeps it, otherwise gives its index back, and releases it.
// The profiler may be gone when this returns (see record_call).
template <Filter filter>
void close_plain_node(TraceProfiler* self, int64_t now, PyFrameObject* frame, int what,
                      PyObject* arg) {
  Ref<FrameNode> node = Ref<FrameNode>::steal(self->current);
  self->current = node->parent;
  node->parent = nullptr;
  leave_level<filter>(self);
  bool recorded;
  if constexpr (filter == Filter::kThreshold) {
    recorded = now - node->start_ns >= self->threshold_ns;
  } else {
    recorded = self->max_depth > self->depth;
  }
  if (recorded) {
    record_call(self, node.get(), now, frame, what, arg);
  } else {
    // Every callee has returned and none was recorded (a callee is never
    // longer or shallower than its caller), so the dropped node's index is
    // the last one handed out: give it back.
    --self->next_index;
  }
}

// ---------------------------------------------------------------------------
// Synchronous hooks

template <Filter filter>
int sync_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = _get_time_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  if (is_call_event(what)) {
    push_plain_node<filter>(self, now);
  } else if (is_return_event(what) && !is_root(self->current)) {
    // The root is never popped: a return with only the root open belongs to
    // a call made before the trace started.
    ErrorScope errors;
    close_plain_node<filter>(self, now, frame, what, arg);
  }
  return 0;
}

constexpr Py_tracefunc profile = sync_hook<Filter::kThreshold>;
constexpr Py_tracefunc profile_with_depth = sync_hook<Filter::kDepth>;

// ---------------------------------------------------------------------------
// Coroutine-aware tracing

// Whether `node` is the coroutine node of a frame at `frame` running `code`.
bool same_coroutine(const FrameNode* node, PyFrameObject* frame, PyCodeObject* code) {
  return is_coroutine_node(node) && node->code == reinterpret_cast<PyObject*>(code) &&
         PyLong_AsVoidPtr(node->frame_id) == frame;
}

// Opens a coroutine node for `frame` under `current` and moves `current`
// to it. The node belongs to `current`'s `children`. Without memory for it
// the event is lost.
template <Filter filter>
void TraceProfiler_InnerPushAsyncFrame(TraceProfiler* self, int64_t now, PyFrameObject* frame,
                                       PyCodeObject* code) {
  Ref<FrameNode> node = Ref<FrameNode>::steal(FrameNode_New());
  if (!node || !append_time(node->times, now)) return;
  node->header = _get_header(code);
  node->frame_id = PyLong_FromVoidPtr(frame);
  if (!node->header || !node->frame_id) return;
  node->code = Py_NewRef(reinterpret_cast<PyObject*>(code));
  if (PyList_Append(self->current->children, reinterpret_cast<PyObject*>(node.get())) < 0) return;
  node->start_ns = now;
  node->parent = self->current;
  node->index = self->next_index++;
  self->current = node.get();
  enter_level<filter>(self);
}

// Whether the closing sweeps record a coroutine node that lasted
// `duration`: threshold mode tests the duration, depth mode the level the
// caller passes.
template <Filter filter>
bool sweep_records(const TraceProfiler* self, int64_t duration, bool too_deep) {
  if constexpr (filter == Filter::kThreshold) {
    return duration >= self->threshold_ns;
  } else {
    (void)duration;
    return !too_deep;
  }
}

// Records a coroutine node closed by a sweep: it spans its first time stamp
// to its last; false if the filter drops it.
template <Filter filter>
bool record_coroutine(TraceProfiler* self, const FrameNode* node, int64_t parent_index,
                      bool too_deep) {
  const int64_t start = time_at(node, 0);
  const int64_t duration = time_at(node, PyList_GET_SIZE(node->times) - 1) - start;
  if (!sweep_records<filter>(self, duration, too_deep)) return false;
  place_record(self->records, node->index,
               coroutine_record(node->header, start, duration, parent_index));
  return true;
}

// Closing sweep below `current`: `current` starts new work, so the chain of
// last children under it is finished; record it top down until the filter
// drops a node, which takes its subtree with it unrecorded. Depth mode tests
// every node against the unchanged level of `current`.
template <Filter filter>
void TraceProfiler_FinishUnclosedAsyncFrame(TraceProfiler* self) {
  const bool too_deep = self->depth >= self->max_depth;
  FrameNode* parent = self->current;
  Ref<FrameNode> held;  // the detached node the sweep is at, below `current`
  for (;;) {
    Ref<FrameNode> child = Ref<FrameNode>::steal(
        reinterpret_cast<FrameNode*>(pop_last_element(parent->children)));
    if (!child || !record_coroutine<filter>(self, child.get(), parent->index, too_deep)) break;
    held = static_cast<Ref<FrameNode>&&>(child);
    parent = held.get();
  }
}

// Final sweep, run once by remove_trace_profile(). Plain calls still open
// are closed without records (their slots stay None) and `current` returns
// to the root; then the chain of last children is recorded from the top
// down until the filter drops a node. Afterwards the profiler owns `current`
// alone: the last node detached, or the root.
template <Filter filter>
void final_sweep(TraceProfiler* self) {
  while (!is_root(self->current)) {
    FrameNode* node = self->current;
    self->current = node->parent;
    if (!is_coroutine_node(node)) {
      node->parent = nullptr;
      Py_DECREF(node);
    }
  }
  self->depth = 0;
  int64_t parent_index = kRootIndex;
  FrameNode* node = self->current;
  for (;;) {
    if (!is_root(node) &&
        !record_coroutine<filter>(self, node, parent_index, self->depth > self->max_depth)) {
      return;
    }
    FrameNode* child = reinterpret_cast<FrameNode*>(pop_last_element(node->children));
    if (!child) return;
    parent_index = node->index;
    self->current = child;
    enter_level<filter>(self);
    Py_DECREF(node);  // the profiler's reference moves to the child
    node = child;
  }
}

// A coroutine frame's call event: its first entry, a resumption, or the
// start of a coroutine awaited from `current`.
template <Filter filter>
void coroutine_called(TraceProfiler* self, int64_t now, PyFrameObject* frame, PyCodeObject* code) {
  if (is_root(self->current)) {
    // The trace follows the first coroutine entered at the top level and
    // nothing else that runs there.
    PyObject* children = self->current->children;
    const Py_ssize_t n = PyList_GET_SIZE(children);
    if (n == 0) {
      TraceProfiler_InnerPushAsyncFrame<filter>(self, now, frame, code);
      return;
    }
    auto* top = reinterpret_cast<FrameNode*>(PyList_GET_ITEM(children, n - 1));
    if (!same_coroutine(top, frame, code)) return;
    self->current = top;
    enter_level<filter>(self);
  } else if (!same_coroutine(self->current, frame, code)) {
    // `current` awaits a coroutine it had not awaited before: whatever it
    // awaited until now is finished.
    TraceProfiler_FinishUnclosedAsyncFrame<filter>(self);
    TraceProfiler_InnerPushAsyncFrame<filter>(self, now, frame, code);
    return;
  }

  // `current` resumes. A resumed chain gets its call events outermost
  // first: move down to the awaited child until the innermost one.
  FrameNode* node = self->current;
  const Py_ssize_t n_children = PyList_GET_SIZE(node->children);
  if (n_children > 0) {
    self->current = reinterpret_cast<FrameNode*>(PyList_GET_ITEM(node->children, n_children - 1));
    enter_level<filter>(self);
    return;
  }
  // The innermost coroutine: its last time stamp is the suspension that
  // ends now. Only a stamp beyond the start can be a suspension.
  const Py_ssize_t n_times = PyList_GET_SIZE(node->times);
  if (n_times < 2) return;
  const int64_t suspended = time_at(node, n_times - 1);
  const int64_t wait = now - suspended;
  bool recorded;
  if constexpr (filter == Filter::kThreshold) {
    recorded = wait >= self->threshold_ns;
  } else {
    recorded = self->depth < self->max_depth;
  }
  if (!recorded) return;
  place_record(self->records, self->next_index++, await_record(suspended, wait, node->index));
  Py_XDECREF(pop_last_element(node->times));
}

template <Filter filter>
int async_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = _get_time_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  const bool call = is_call_event(what);
  if (!call && !is_return_event(what)) return 0;
  ErrorScope errors;

  // Only Python-level events can belong to a coroutine frame.
  Ref<PyCodeObject> code;
  bool is_coro = false;
  if (what <= PyTrace_RETURN) {
    code = Ref<PyCodeObject>::steal(PyFrame_GetCode(frame));
    is_coro = (code->co_flags & CO_COROUTINE) != 0;
  }

  FrameNode* current = self->current;
  if (call) {
    if (is_coro) {
      coroutine_called<filter>(self, now, frame, code.get());
    } else if (!is_root(current)) {
      TraceProfiler_FinishUnclosedAsyncFrame<filter>(self);
      push_plain_node<filter>(self, now);
    }
  } else if (is_root(current)) {
    // Nothing below the root is open.
  } else if (is_coroutine_node(current)) {
    // A coroutine frame suspends or finishes; both look the same. Its node
    // stays in its parent's `children`. The return of a plain call while a
    // coroutine is `current` (after a throw into a suspended chain, or once
    // `current` has moved into a finished child) has no node to close.
    if (is_coro) {
      append_time(current->times, now);
      self->current = current->parent;
      leave_level<filter>(self);
    }
  } else if (!is_coro) {
    close_plain_node<filter>(self, now, frame, what, arg);
  }
  // A coroutine's return while a plain node is `current` would strand that
  // node, which only the chain holds: it is ignored.
  return 0;
}

constexpr Py_tracefunc async_profile = async_hook<Filter::kThreshold>;
constexpr Py_tracefunc async_profile_with_depth = async_hook<Filter::kDepth>;

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

  static constexpr Py_tracefunc hooks[2][2] = {
      {profile, profile_with_depth},
      {async_profile, async_profile_with_depth},
  };
  PyEval_SetProfile(hooks[is_async][max_depth > 0], reinterpret_cast<PyObject*>(profiler.get()));
  return reinterpret_cast<PyObject*>(profiler.release());
}

// remove_trace_profile(profiler): removes the calling thread's hook, closes
// what a coroutine-aware trace still holds open (the first time only), then
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
  if (!profiler->removed) {
    profiler->removed = true;
    if (profiler->is_async) {
      ErrorScope errors;
      if (profiler->max_depth > 0) {
        final_sweep<Filter::kDepth>(profiler);
      } else {
        final_sweep<Filter::kThreshold>(profiler);
      }
    }
  }

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
