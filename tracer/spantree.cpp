// spantree_C: a call-tree tracer driven by a C-level profile hook.
//
// set_trace_profile() installs one of four hooks on the calling thread. The
// hooks keep the calls that are open as a chain of FrameNode objects hanging
// from `TraceProfiler.current` through `parent` pointers, and turn every
// finished call that passes the filter (a minimum duration, or a maximum
// nesting depth) into one entry of the profiler's call log (call_log.h).
// remove_trace_profile() removes the hook, turns the log into the records
// list (one string per logged call, at the call's index, None in between)
// and hands it to callback(context, records).
//
// The coroutine-aware hooks keep one node per coroutine across its
// suspensions: a coroutine node lives in its parent's `children` list, is
// left there when its frame suspends or finishes, and is recorded by a
// closing sweep once its parent moves on to other work, or by the final
// sweep when the trace ends. The time between a suspension and the matching
// resumption becomes an await record.
//
// Reference rules of this file (common/ref.h holds the holders):
//  - Ref<T> owns exactly one strong reference; raw pointers are borrowed.
//    Helpers say in a comment whether they return a new or a borrowed
//    reference.
//  - The root node (index -1) is owned by the profiler. A plain node (any
//    call that is not a coroutine) is owned by the open-call chain: its
//    creation reference is dropped when its return event pops it. A
//    coroutine node is owned by its parent's `children` list only, so the
//    hooks never release it; moving `current` past it costs nothing.
//  - Once the final sweep has run, the profiler owns `current` alone: the
//    sweep released everything above it.
//  - Hooks never leave an exception pending and never raise into the traced
//    code: failures are cleared and cost at most the record concerned. A
//    call whose node cannot be allocated is skipped whole, its callees with
//    it, and counted; remove_trace_profile() reports what was lost.
//
// Index rules: every opened call, coroutine and kept wait takes the next
// index. A dropped call gives the last index handed out back only while no
// record sits at or past it, so no index is ever handed out twice; a
// dropped index that stays taken is an empty slot, which kept callees may
// name as their parent (the wall clock stepped back during the call).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "common/ref.h"

#include "call_log.h"
#include "clock.h"
#include "record_text.h"

namespace {

// ---------------------------------------------------------------------------
// Objects

struct FrameNode {
  PyObject_HEAD
  FrameNode* parent;    // enclosing node, not owned
  PyObject* children;   // list of coroutine child nodes, owned
  int64_t start_ns;
  int64_t index;        // slot of the node's record; -1 for the root
  PyObject* frame_id;   // int (frame address), owned; coroutine nodes only
  PyObject* times;      // list of int time stamps, owned
  // The coroutine's code object, owned; coroutine nodes only. A finished
  // coroutine's frame address is soon reused, so the address alone could
  // take another function's frame for this coroutine's resumption.
  PyObject* code;
};

// The __qualname__ of built-in functions and methods whose answer is fixed:
// functions bound to a module (their C name) and methods bound to an
// immutable type, or to an instance of one, whose metaclass is `type` (the
// type's __qualname__, which cannot be reassigned, a dot and the C name).
// An entry holds the type, a copy of the C name it was made for, and the
// name; a hit needs both to match, so a reused address cannot mislead it.
class BuiltinNameCache {
 public:
  // New reference: the name of built-in `fn` from the cache, or by lookup
  // (see builtin_name) when it cannot be or is not cached yet.
  PyObject* name_of(PyObject* fn);
  void clear();

 private:
  static constexpr int kSlots = 128;
  static constexpr size_t kLongestMethodName = 39;
  struct Entry {
    PyTypeObject* type;  // owned; null for module functions
    PyObject* name;      // owned; null for an empty slot
    char method[kLongestMethodName + 1];
  };
  Entry entries_[kSlots];
};

struct TraceProfiler {
  PyObject_HEAD
  PyObject* callback;
  // The records list, made from `log` by the first remove_trace_profile()
  // and delivered by every one.
  PyObject* records;
  CallLog log;
  PyObject* context;
  FrameNode* current;
  int64_t next_index;
  int64_t is_async;
  int64_t threshold_ns;
  // The time of the last event the hook received, 0 before the first: once
  // another hook has replaced this one, where the trace stops. Installing
  // the hook reads no clock, so a scripted test clock sees events only.
  int64_t last_event_ns;
  int64_t depth;
  Py_ssize_t max_depth;
  // Call events seen since a call whose node could not be allocated, less
  // the returns seen: while not zero, events open and close nothing.
  int64_t unopened;
  // What running out of memory cost the trace, reported at removal: calls
  // not traced (the failed ones and everything they called) and records
  // that could not be logged or built.
  int64_t untraced_calls;
  int64_t lost_records;
  // Set by the first remove_trace_profile(), which also runs the final sweep
  // of a coroutine-aware trace: from then on the profiler is inert. Its hook
  // may still be installed on a thread other than the one that removed it;
  // every event it gets there is ignored.
  bool removed;
  // Plain nodes whose calls have returned, kept for reuse with their two
  // empty lists and linked through `parent`; owned by the profiler.
  FrameNode* spare_nodes;
  int spare_count;
  // Names of built-ins whose name lookup cannot give another answer later.
  BuiltinNameCache names;
};

constexpr int64_t kRootIndex = -1;

void FrameNode_Dealloc(PyObject* self);
void TraceProfiler_Dealloc(PyObject* self);

// Both object types: statically defined, subclassable, generic allocation
// and construction, a destructor and nothing else.
constexpr PyTypeObject static_type(const char* name, Py_ssize_t size, destructor dealloc) {
  return {
      .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
      .tp_name = name,
      .tp_basicsize = size,
      .tp_dealloc = dealloc,
      .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
      .tp_alloc = PyType_GenericAlloc,
      .tp_new = PyType_GenericNew,
      .tp_free = PyObject_Free,
  };
}

constinit PyTypeObject FrameNode_Type =
    static_type("pyvarnex.ext.FrameNode", sizeof(FrameNode), FrameNode_Dealloc);
constinit PyTypeObject TraceProfiler_Type =
    static_type("pyvarnex.ext.TraceProfiler", sizeof(TraceProfiler), TraceProfiler_Dealloc);

// Read-only from Python: whoever holds the profiler can tell when its hook
// last ran, and whether it is still installed.
PyMemberDef TraceProfiler_members[] = {
    {"last_event_ns", Py_T_LONGLONG, offsetof(TraceProfiler, last_event_ns), Py_READONLY,
     "CLOCK_REALTIME nanoseconds of the last event the hook received; 0 before the first."},
    {nullptr, 0, 0, 0, nullptr},
};

// New reference: what sys.getprofile() returns on the calling thread. An
// attribute read makes no call event, so the trace does not see it.
PyObject* TraceProfiler_GetThreadHook(PyObject*, void*) {
  PyObject* getprofile = PySys_GetObject("getprofile");  // borrowed
  if (!getprofile) {
    PyErr_SetString(PyExc_RuntimeError, "sys.getprofile is missing");
    return nullptr;
  }
  return PyObject_CallNoArgs(getprofile);
}

PyGetSetDef TraceProfiler_getset[] = {
    {"thread_hook", TraceProfiler_GetThreadHook, nullptr,
     "The calling thread's profile object, as sys.getprofile() gives it, read without a call event.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
  while (FrameNode* spare = profiler->spare_nodes) {
    profiler->spare_nodes = spare->parent;
    Py_DECREF(spare);
  }
  profiler->names.clear();
  profiler->log.clear();
  Py_CLEAR(profiler->records);
  Py_CLEAR(profiler->callback);
  Py_CLEAR(profiler->context);
  Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// Events

// The events a profile hook gets: calls of Python functions and built-ins,
// and the ends of both (a built-in that raises ends in C_EXCEPTION).
inline bool is_call_event(int what) { return what == PyTrace_CALL || what == PyTrace_C_CALL; }
inline bool is_return_event(int what) {
  return what == PyTrace_RETURN || what == PyTrace_C_RETURN || what == PyTrace_C_EXCEPTION;
}
// Whether `frame` is the frame of the event rather than its caller's: only
// then can the event belong to a coroutine.
inline bool is_python_event(int what) { return what == PyTrace_CALL || what == PyTrace_RETURN; }

// ---------------------------------------------------------------------------
// Records and the lists that hold them

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

PyObject* BuiltinNameCache::name_of(PyObject* fn) {
  if (!Py_IS_TYPE(fn, &PyCFunction_Type) && !Py_IS_TYPE(fn, &PyCMethod_Type)) {
    return builtin_name(fn);
  }
  const auto* function = reinterpret_cast<PyCFunctionObject*>(fn);
  const char* method = function->m_ml->ml_name;
  PyObject* owner = function->m_self;
  PyTypeObject* type = nullptr;
  if (owner && !PyModule_Check(owner)) {
    type = PyType_Check(owner) ? reinterpret_cast<PyTypeObject*>(owner) : Py_TYPE(owner);
    if (Py_TYPE(type) != &PyType_Type || !PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) {
      return builtin_name(fn);
    }
  }
  const auto key = reinterpret_cast<uintptr_t>(function->m_ml) ^ reinterpret_cast<uintptr_t>(type);
  Entry& entry = entries_[(key >> 4 ^ key >> 12) % kSlots];
  if (entry.name && entry.type == type && strcmp(entry.method, method) == 0) {
    return Py_NewRef(entry.name);
  }
  PyObject* name = builtin_name(fn);
  if (name && strlen(method) <= kLongestMethodName) {
    Py_XSETREF(entry.type, reinterpret_cast<PyTypeObject*>(Py_XNewRef(type)));
    Py_XSETREF(entry.name, Py_NewRef(name));
    strcpy(entry.method, method);
  }
  return name;
}

void BuiltinNameCache::clear() {
  for (Entry& entry : entries_) {
    Py_CLEAR(entry.type);
    Py_CLEAR(entry.name);
  }
}

// Logs a kept call for its record; `name` (stolen) is what names it, see
// LoggedCall. A call that cannot be logged is counted as lost.
void log_call(TraceProfiler* self, int64_t index, int64_t parent_index, int64_t start_ns,
              int64_t duration_ns, PyObject* name) {
  assert(0 <= index && index < self->next_index);
  if (!self->log.append(index, parent_index, start_ns, duration_ns, name)) ++self->lost_records;
}

// Gives back the last index handed out if a dropped call leaves it free.
// Every index from the dropped call's on belongs to the call or to what it
// called, all finished now; the last one is free when no record sits at or
// beyond it (a logged call's parent index is below its own, so none names
// it either). With a wall clock that only moves forward nothing a dropped call
// called was kept, so it always is. When the clock stepped back, a callee
// may be kept while its caller is dropped: the index stays taken, and the
// caller's slot stays empty, a placeholder that the callee's record names
// as its parent, like a call still open at the end.
void give_back_index(TraceProfiler* self) {
  if (self->next_index > self->log.end()) --self->next_index;
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
  assert(0 <= position && position < PyList_GET_SIZE(node->times));
  return PyLong_AsLongLong(PyList_GET_ITEM(node->times, position));
}

// Appends `now` to `times`; false if that failed.
bool append_time(PyObject* times, int64_t now) {
  Ref<> stamp = Ref<>::steal(PyLong_FromLongLong(now));
  return stamp && PyList_Append(times, stamp.get()) == 0;
}

// ---------------------------------------------------------------------------
// Filters. Threshold mode keeps what lasted at least threshold_ns; depth
// mode what ran at most max_depth levels below the root (the root's children
// are level 1), and keeps `depth` equal to the level of `current`. Each never
// looks at the other's field.

enum class Filter { kThreshold, kDepth };

// Whether `depth` is the level of `current`. Only the first levels are
// walked, so that the check costs little on deep traces.
[[maybe_unused]] bool depth_is_level_of_current(const TraceProfiler* self) {
  constexpr int64_t kWalkedLevels = 64;
  int64_t level = 0;
  for (const FrameNode* node = self->current; !is_root(node); node = node->parent) {
    if (++level > kWalkedLevels) return self->depth > kWalkedLevels;
  }
  return level == self->depth;
}

// Called right after `current` moved one level down.
template <Filter filter>
inline void enter_level(TraceProfiler* self) {
  if constexpr (filter == Filter::kDepth) {
    ++self->depth;
    assert(depth_is_level_of_current(self));
  }
}

// Called right after `current` moved one level up.
template <Filter filter>
inline void leave_level(TraceProfiler* self) {
  if constexpr (filter == Filter::kDepth) {
    --self->depth;
    assert(depth_is_level_of_current(self));
  }
}

// Whether the filter keeps what lasted `duration` at nesting `level`.
template <Filter filter>
inline bool keeps(const TraceProfiler* self, int64_t duration, int64_t level) {
  if constexpr (filter == Filter::kThreshold) {
    (void)level;
    return duration >= self->threshold_ns;
  } else {
    (void)duration;
    return level <= self->max_depth;
  }
}

// ---------------------------------------------------------------------------
// Calls that cannot be opened. Without memory for its node, a call is not
// traced, nor is anything it calls: from its call event on, call events
// only raise `unopened` and returns lower it, until its own return. A plain
// count of failed opens would not do: a callee that did get its node would
// have its return skipped, and the failed call's return would close it.

[[gnu::cold]] void begin_untraced_call(TraceProfiler* self) {
  PyErr_Clear();
  ++self->unopened;
  ++self->untraced_calls;
}

// The hooks' whole work for an event inside a call that was not opened.
[[gnu::cold]] void pass_untraced_event(TraceProfiler* self, int what) {
  assert(self->unopened > 0);
  if (is_call_event(what)) {
    begin_untraced_call(self);
  } else if (is_return_event(what)) {
    --self->unopened;
  }
}

// ---------------------------------------------------------------------------
// Plain calls: the open-call chain

// Opens a plain node for a call made under `current`.
template <Filter filter>
void push_plain_node(TraceProfiler* self, int64_t now) {
  FrameNode* node = self->spare_nodes;
  if (node) {
    self->spare_nodes = node->parent;
    --self->spare_count;
  } else if (!(node = FrameNode_New())) [[unlikely]] {
    begin_untraced_call(self);
    return;
  }
  assert(PyList_GET_SIZE(node->children) == 0 && !is_coroutine_node(node));
  node->start_ns = now;
  node->parent = self->current;
  node->index = self->next_index++;
  self->current = node;
  enter_level<filter>(self);
}

// Takes a closed plain node (stolen) back for reuse, or releases it when it
// still holds coroutine nodes (they go with it) or enough are spare.
void recycle_plain_node(TraceProfiler* self, FrameNode* node) {
  constexpr int kMostSpareNodes = 256;
  assert(!is_coroutine_node(node) && node->parent == nullptr);
  if (self->spare_count < kMostSpareNodes && PyList_GET_SIZE(node->children) == 0 &&
      Py_REFCNT(node) == 1) {
    node->parent = self->spare_nodes;
    self->spare_nodes = node;
    ++self->spare_count;
  } else {
    Py_DECREF(node);
  }
}

// Records the call that `node` (just popped) stood for, as the child of
// `current`. A built-in's name lookup can run Python code that removes the
// profiler (the caller keeps it alive): the record is then dropped.
void record_call(TraceProfiler* self, const FrameNode* node, int64_t now,
                 PyFrameObject* frame, int what, PyObject* arg) {
  PyObject* name;
  if (what == PyTrace_RETURN) {
    name = reinterpret_cast<PyObject*>(PyFrame_GetCode(frame));
  } else {
    name = self->names.name_of(arg);
    if (self->removed || !name) {
      Py_XDECREF(name);
      if (!self->removed) ++self->lost_records;
      return;
    }
  }
  log_call(self, node->index, self->current->index, node->start_ns, now - node->start_ns, name);
}

// Closes the plain node `current` for its return event: pops it, records it
// if the filter keeps it, otherwise gives its index back if it can, and
// recycles it. The profiler may be gone when this returns: Python code run
// by a built-in's name lookup may have dropped the last reference to it.
template <Filter filter>
void close_plain_node(TraceProfiler* self, int64_t now, PyFrameObject* frame, int what,
                      PyObject* arg) {
  FrameNode* node = self->current;
  // The plain node is owned by the chain, and so now by this function. The
  // hooks pass over returns with only the root open: it is never popped.
  assert(!is_root(node) && !is_coroutine_node(node));
  const int64_t level = self->depth;
  self->current = node->parent;
  node->parent = nullptr;
  leave_level<filter>(self);
  if (!keeps<filter>(self, now - node->start_ns, level)) {
    give_back_index(self);
    recycle_plain_node(self, node);
  } else if (what == PyTrace_RETURN) {
    record_call(self, node, now, frame, what, arg);
    recycle_plain_node(self, node);
  } else {
    Ref<> keep_alive = Ref<>::borrow(reinterpret_cast<PyObject*>(self));
    record_call(self, node, now, frame, what, arg);
    recycle_plain_node(self, node);
  }
}

// ---------------------------------------------------------------------------
// Synchronous hooks

template <Filter filter>
int sync_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = now_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  self->last_event_ns = now;
  if (self->unopened) [[unlikely]] {
    pass_untraced_event(self, what);
  } else if (is_call_event(what)) {
    push_plain_node<filter>(self, now);
  } else if (is_return_event(what) && !is_root(self->current)) {
    // A return with only the root open belongs to a call made before the
    // trace started.
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

// Whether coroutine node `node` is held by its parent's `children`, its
// owner.
[[maybe_unused]] bool lives_in_parent(const FrameNode* node) {
  PyObject* siblings = node->parent->children;
  for (Py_ssize_t i = PyList_GET_SIZE(siblings); i-- > 0;) {
    if (PyList_GET_ITEM(siblings, i) == reinterpret_cast<const PyObject*>(node)) return true;
  }
  return false;
}

// Borrowed: the last coroutine node in `node`'s children, or null.
FrameNode* last_child(const FrameNode* node) {
  const Py_ssize_t n = PyList_GET_SIZE(node->children);
  if (n == 0) return nullptr;
  auto* child = reinterpret_cast<FrameNode*>(PyList_GET_ITEM(node->children, n - 1));
  assert(is_coroutine_node(child) && child->parent == node);
  return child;
}

// Opens a coroutine node for `frame` under `current` and moves `current`
// to it. The node belongs to `current`'s `children`.
template <Filter filter>
void TraceProfiler_InnerPushAsyncFrame(TraceProfiler* self, int64_t now, PyFrameObject* frame,
                                       PyCodeObject* code) {
  Ref<FrameNode> node = Ref<FrameNode>::steal(FrameNode_New());
  if (node && append_time(node->times, now)) node->frame_id = PyLong_FromVoidPtr(frame);
  if (!node || !node->frame_id ||
      PyList_Append(self->current->children, reinterpret_cast<PyObject*>(node.get())) < 0) {
    begin_untraced_call(self);
    return;
  }
  node->code = Py_NewRef(reinterpret_cast<PyObject*>(code));
  node->start_ns = now;
  node->parent = self->current;
  node->index = self->next_index++;
  self->current = node.get();
  enter_level<filter>(self);
}

// Records a coroutine node closed by a sweep: it spans its first time stamp
// to its last; false if the filter drops it at `level`.
template <Filter filter>
bool record_coroutine(TraceProfiler* self, const FrameNode* node, int64_t parent_index,
                      int64_t level) {
  const int64_t start = time_at(node, 0);
  const int64_t duration = time_at(node, PyList_GET_SIZE(node->times) - 1) - start;
  if (!keeps<filter>(self, duration, level)) return false;
  log_call(self, node->index, parent_index, start, duration, Py_NewRef(node->code));
  return true;
}

// Closing sweep below `current`: `current` starts new work, so the chain of
// last children under it is finished; record it top down until the filter
// drops a node, which takes its subtree with it unrecorded. Depth mode tests
// every node at the level of `current`'s children.
template <Filter filter>
void TraceProfiler_FinishUnclosedAsyncFrame(TraceProfiler* self) {
  const int64_t level = self->depth + 1;
  FrameNode* parent = self->current;
  Ref<FrameNode> held;  // the detached node the sweep is at, below `current`
  for (;;) {
    Ref<FrameNode> child = Ref<FrameNode>::steal(
        reinterpret_cast<FrameNode*>(pop_last_element(parent->children)));
    if (!child) break;
    assert(is_coroutine_node(child.get()) && child->parent == parent);
    if (!record_coroutine<filter>(self, child.get(), parent->index, level)) break;
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
  // The nodes above `current` are released as the sweep goes down, so its
  // level is counted here rather than kept in `depth`.
  int64_t level = 0;
  int64_t parent_index = kRootIndex;
  FrameNode* node = self->current;
  for (;;) {
    if (!is_root(node) && !record_coroutine<filter>(self, node, parent_index, level)) return;
    FrameNode* child = reinterpret_cast<FrameNode*>(pop_last_element(node->children));
    if (!child) return;
    assert(is_coroutine_node(child) && child->parent == node);
    parent_index = node->index;
    self->current = child;
    ++level;
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
    // nothing else that runs there: the root holds at most that one.
    FrameNode* top = last_child(self->current);
    assert(PyList_GET_SIZE(self->current->children) <= 1);
    if (!top) {
      TraceProfiler_InnerPushAsyncFrame<filter>(self, now, frame, code);
      return;
    }
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
  if (FrameNode* child = last_child(node)) {
    self->current = child;
    enter_level<filter>(self);
    return;
  }
  // The innermost coroutine: its last time stamp is the suspension that
  // ends now. Only a stamp beyond the start can be a suspension.
  const Py_ssize_t n_times = PyList_GET_SIZE(node->times);
  if (n_times < 2) return;
  const int64_t suspended = time_at(node, n_times - 1);
  const int64_t wait = now - suspended;
  if (!keeps<filter>(self, wait, self->depth + 1)) return;
  const int64_t index = self->next_index++;
  log_call(self, index, node->index, suspended, wait, nullptr);
  Py_XDECREF(pop_last_element(node->times));
}

template <Filter filter>
int async_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = now_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  self->last_event_ns = now;
  if (self->unopened) [[unlikely]] {
    pass_untraced_event(self, what);
    return 0;
  }
  const bool call = is_call_event(what);
  // A return with nothing open below the root has nothing to close; the
  // event loop's own returns end here, before any work.
  if (!call && (!is_return_event(what) || is_root(self->current))) return 0;
  ErrorScope errors;

  Ref<PyCodeObject> code;
  bool is_coro = false;
  if (is_python_event(what)) {
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
  } else if (is_coroutine_node(current)) {
    // A coroutine frame suspends or finishes; both look the same. Its node
    // stays in its parent's `children`. The return of a plain call while a
    // coroutine is `current` (after a throw into a suspended chain, or once
    // `current` has moved into a finished child) has no node to close.
    if (is_coro) {
      assert(lives_in_parent(current));
      if (!append_time(current->times, now)) ++self->lost_records;
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

// The hook for a trace of the given kind.
Py_tracefunc hook_for(bool is_async, Py_ssize_t max_depth) {
  static constexpr Py_tracefunc hooks[2][2] = {
      {profile, profile_with_depth},
      {async_profile, async_profile_with_depth},
  };
  return hooks[is_async][max_depth > 0];
}

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
  profiler->current = FrameNode_New();
  if (!profiler->current) return nullptr;
  profiler->current->index = kRootIndex;
  profiler->next_index = 0;
  profiler->is_async = is_async;
  profiler->threshold_ns = threshold_ns;
  profiler->last_event_ns = 0;
  profiler->depth = 0;
  profiler->max_depth = max_depth;

  PyEval_SetProfile(hook_for(is_async, max_depth), reinterpret_cast<PyObject*>(profiler.get()));
  return reinterpret_cast<PyObject*>(profiler.release());
}

// Warns, once, of what running out of memory cost the trace. Returns -1
// when the warning was turned into an exception (now pending).
int warn_of_losses(TraceProfiler* profiler) {
  const long long untraced = profiler->untraced_calls;
  const long long lost = profiler->lost_records;
  if (untraced == 0 && lost == 0) return 0;
  profiler->untraced_calls = profiler->lost_records = 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "spantree: memory ran out during the trace: %lld calls were not "
                          "traced and %lld records were lost",
                          untraced, lost);
}

// remove_trace_profile(profiler): removes the calling thread's hook; the
// first time, also closes what a coroutine-aware trace still holds open and
// turns the call log into the records list. Then delivers the records to
// the profiler's callback and warns if memory ran out meanwhile. None only
// removes.
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
  if (!profiler->current) {
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
  if (!profiler->records) {
    // A removal that finds no memory for the list leaves the log whole for
    // the next one. The list is the profiler's before conversion starts, so
    // a removal made meanwhile (by Python code that releasing a reference
    // runs) delivers it rather than converting twice.
    profiler->records = profiler->log.empty_records();
    if (!profiler->records) return nullptr;
    profiler->log.convert_into(profiler->records, &profiler->lost_records);
  }

  // The argument tuple keeps the profiler, and so these fields, alive.
  PyObject* call_args[] = {nullptr, profiler->context, profiler->records};
  Ref<> result = Ref<>::steal(PyObject_Vectorcall(
      profiler->callback, call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) {
    // The callback's exception is the one to see; the warning still goes
    // out, unless it is itself an error.
    PyObject* failure = PyErr_GetRaisedException();
    if (warn_of_losses(profiler) < 0) PyErr_Clear();
    PyErr_SetRaisedException(failure);
    return nullptr;
  }
  if (warn_of_losses(profiler) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"set_trace_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_trace_profile)),
     METH_VARARGS | METH_KEYWORDS, "set_trace_profile implementation."},
    {"remove_trace_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remove_trace_profile)),
     METH_VARARGS | METH_KEYWORDS, "remove by setting sys.setprofile(None)"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr PyModuleDef module_definition(const char* name) {
  return {
      .m_base = PyModuleDef_HEAD_INIT,
      .m_name = name,
      .m_doc = "PyVarnex trace supports.",
      .m_size = -1,
      .m_methods = module_methods,
  };
}

constinit PyModuleDef spantree_module = module_definition("spantree_C");

// New reference: a module made from `definition`, or null with an
// exception set.
PyObject* create_module(PyModuleDef* definition) {
  TraceProfiler_Type.tp_members = TraceProfiler_members;
  TraceProfiler_Type.tp_getset = TraceProfiler_getset;
  if (PyType_Ready(&FrameNode_Type) < 0 || PyType_Ready(&TraceProfiler_Type) < 0) return nullptr;
  return PyModule_Create2(definition, PYTHON_API_VERSION);
}

}  // namespace

PyMODINIT_FUNC PyInit_spantree_C() { return create_module(&spantree_module); }
