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

#include <stddef.h>
#include <stdint.h>
#include <string.h>
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
  ErrorScope() noexcept : saved_(PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr) {}
  ~ErrorScope() {
    if (PyErr_Occurred()) PyErr_Clear();
    if (saved_) PyErr_SetRaisedException(saved_);
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
  PyObject* records;
  PyObject* context;
  FrameNode* current;
  int64_t next_index;
  int64_t is_async;
  int64_t threshold_ns;
  // The time of the last event the hook received: once another hook has
  // replaced this one, where the trace stops.
  int64_t last_event_ns;
  int64_t depth;
  Py_ssize_t max_depth;
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
     "CLOCK_REALTIME nanoseconds of the last event the hook received (its installation before any)."},
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
  while (FrameNode* spare = profiler->spare_nodes) {
    profiler->spare_nodes = spare->parent;
    Py_DECREF(spare);
  }
  profiler->names.clear();
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

// Record strings are built in place: the exact length and widest character
// are known before the string is allocated, and numbers are written as
// decimal digits straight into it. The text is exactly what
// PyUnicode_FromFormat makes of the formats noted at each builder: "%U"
// copies a str, "%c" with 0 or 1 writes U+0000 or U+0001, "%s" an ASCII
// literal, "%i" and "%lld" a decimal with a leading minus when negative.
class RecordText {
 public:
  // Appends the text of str `text` (borrowed; it must outlive build()).
  void add(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    pieces_[count_++] = {text, nullptr, length};
    length_ += length;
    const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(text);
    if (widest > widest_) widest_ = widest;
  }
  // Appends ASCII text.
  void add_ascii(const char* text, Py_ssize_t length) {
    memcpy(ascii_tail(), text, static_cast<size_t>(length));
    ascii_written(length);
  }
  void add_separator(char separator) {
    *ascii_tail() = separator;
    ascii_written(1);
  }
  // Appends `value` in decimal. Work is done on chunks of nine digits in
  // 32-bit arithmetic, two digits at a time.
  void add_number(int64_t value) {
    char* out = ascii_tail();
    char* const begin = out;
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
      *out++ = '-';
      magnitude = 0 - magnitude;
    }
    constexpr uint64_t kChunk = 1000000000;
    if (magnitude < kChunk) {
      out = write_decimal(out, static_cast<uint32_t>(magnitude));
    } else {
      const uint64_t high = magnitude / kChunk;
      if (high < kChunk) {
        out = write_decimal(out, static_cast<uint32_t>(high));
      } else {
        out = write_decimal(out, static_cast<uint32_t>(high / kChunk));
        out = write_nine_digits(out, static_cast<uint32_t>(high % kChunk));
      }
      out = write_nine_digits(out, static_cast<uint32_t>(magnitude % kChunk));
    }
    ascii_written(out - begin);
  }
  // "\1start\1duration\1parent", the tail every record ends with.
  void add_times(int64_t start_ns, int64_t duration_ns, int64_t parent_index) {
    add_separator('\1');
    add_number(start_ns);
    add_separator('\1');
    add_number(duration_ns);
    add_separator('\1');
    add_number(parent_index);
  }

  // New reference: the string, or null with an exception set.
  PyObject* build() const {
    PyObject* out = PyUnicode_New(length_, widest_);
    if (!out) return nullptr;
    switch (PyUnicode_KIND(out)) {
      case PyUnicode_1BYTE_KIND: write(PyUnicode_1BYTE_DATA(out)); break;
      case PyUnicode_2BYTE_KIND: write(PyUnicode_2BYTE_DATA(out)); break;
      default: write(PyUnicode_4BYTE_DATA(out)); break;
    }
    return out;
  }

 private:
  struct Piece {
    PyObject* text;     // a str, or null for ASCII text
    const char* ascii;  // the ASCII text when `text` is null
    Py_ssize_t length;
  };

  static constexpr char kDigitPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";

  // Writes the `count` low digits of `value` to end at `end`.
  static void write_digits_backwards(char* end, uint32_t value, int count) {
    for (; count >= 2; count -= 2) {
      end -= 2;
      memcpy(end, kDigitPairs + 2 * (value % 100), 2);
      value /= 100;
    }
    if (count) end[-1] = static_cast<char>('0' + value);
  }
  // Writes `value` without leading zeros; returns the end.
  static char* write_decimal(char* out, uint32_t value) {
    int count = 1;
    for (uint32_t bound = 10; count < 10 && value >= bound; bound *= 10) ++count;
    write_digits_backwards(out + count, value, count);
    return out + count;
  }
  // Writes `value` (below 10^9) as exactly nine digits; returns the end.
  static char* write_nine_digits(char* out, uint32_t value) {
    write_digits_backwards(out + 9, value, 9);
    return out + 9;
  }

  // Where the next ASCII character goes; ASCII that follows ASCII extends
  // one piece.
  char* ascii_tail() {
    if (count_ == 0 || pieces_[count_ - 1].text) pieces_[count_++] = {nullptr, ascii_end_, 0};
    return ascii_end_;
  }
  void ascii_written(Py_ssize_t length) {
    ascii_end_ += length;
    pieces_[count_ - 1].length += length;
    length_ += length;
  }

  template <typename Out, typename In>
  static Out* widen(Out* out, const In* in, Py_ssize_t length) {
    if constexpr (sizeof(Out) == sizeof(In)) {
      memcpy(out, in, static_cast<size_t>(length) * sizeof(Out));
      return out + length;
    } else {
      for (Py_ssize_t i = 0; i < length; ++i) *out++ = static_cast<Out>(in[i]);
      return out;
    }
  }

  template <typename Out>
  void write(Out* out) const {
    for (int i = 0; i < count_; ++i) {
      const Piece& piece = pieces_[i];
      if (!piece.text) {
        out = widen(out, reinterpret_cast<const Py_UCS1*>(piece.ascii), piece.length);
        continue;
      }
      // A piece is never wider than the string, whose width is the widest piece's.
      switch (PyUnicode_KIND(piece.text)) {
        case PyUnicode_1BYTE_KIND:
          out = widen(out, PyUnicode_1BYTE_DATA(piece.text), piece.length);
          break;
        case PyUnicode_2BYTE_KIND:
          if constexpr (sizeof(Out) >= 2) out = widen(out, PyUnicode_2BYTE_DATA(piece.text), piece.length);
          break;
        default:
          if constexpr (sizeof(Out) == 4) out = widen(out, PyUnicode_4BYTE_DATA(piece.text), piece.length);
          break;
      }
    }
  }

  Piece pieces_[4];  // at most: str, ASCII, str, ASCII
  int count_ = 0;
  Py_ssize_t length_ = 0;
  Py_UCS4 widest_ = 0x7f;
  char ascii_[96];  // literals, separators and three numbers: under 80 characters
  char* ascii_end_ = ascii_;
};

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

// New reference: the call record of a Python function (its code's
// co_name, co_filename, co_firstlineno). Format
// "%U%c%U%c%i%c%lld%c%lld%c%lld": name 0 file 0 line 1 start 1 duration 1
// parent.
PyObject* python_call_record(PyObject* name, PyObject* file, int line, int64_t start_ns,
                             int64_t duration_ns, int64_t parent_index) {
  RecordText text;
  text.add(name);
  text.add_separator('\0');
  text.add(file);
  text.add_separator('\0');
  text.add_number(line);
  text.add_times(start_ns, duration_ns, parent_index);
  return text.build();
}

// New reference: the call record of a built-in callable named `name`.
// Format "%U%c%s%c%i%c%lld%c%lld%c%lld": name 0 "<built-in>" 0 0 1 start
// 1 duration 1 parent.
PyObject* builtin_call_record(PyObject* name, int64_t start_ns, int64_t duration_ns,
                              int64_t parent_index) {
  static constexpr char kBuiltin[] = "\0<built-in>\0" "0";
  RecordText text;
  text.add(name);
  text.add_ascii(kBuiltin, sizeof kBuiltin - 1);
  text.add_times(start_ns, duration_ns, parent_index);
  return text.build();
}

// New reference: the descriptive part (name, file, line) of a coroutine's
// record. Format "%U%c%U%c%i": name 0 file 0 line.
PyObject* _get_header(PyCodeObject* code) {
  RecordText text;
  text.add(code->co_name);
  text.add_separator('\0');
  text.add(code->co_filename);
  text.add_separator('\0');
  text.add_number(code->co_firstlineno);
  return text.build();
}

// New reference: a coroutine's record. Format "%U%c%lld%c%lld%c%lld":
// header 1 start 1 duration 1 parent.
PyObject* coroutine_record(PyObject* header, int64_t start_ns, int64_t duration_ns,
                           int64_t parent_index) {
  RecordText text;
  text.add(header);
  text.add_times(start_ns, duration_ns, parent_index);
  return text.build();
}

// New reference: the record of the wait between a coroutine's suspension at
// `suspended_ns` and its resumption. Format "%s%c%c%i%c%lld%c%lld%c%lld":
// "[await]" 0 0 0 1 suspension 1 wait 1 coroutine index.
PyObject* await_record(int64_t suspended_ns, int64_t wait_ns, int64_t coroutine_index) {
  static constexpr char kAwait[] = "[await]\0\0" "0";
  RecordText text;
  text.add_ascii(kAwait, sizeof kAwait - 1);
  text.add_times(suspended_ns, wait_ns, coroutine_index);
  return text.build();
}

// Stores `record` (stolen; null is ignored) at position `index` of
// `records`, first padding the list with None up to that position.
void place_record(PyObject* records, int64_t index, PyObject* record) {
  if (!record) return;
  if (index == PyList_GET_SIZE(records)) {  // the common case: the next slot
    PyList_Append(records, record);
    Py_DECREF(record);
    return;
  }
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

// Whether the filter keeps what lasted `duration` at a level for which depth
// mode's test came out `shallow_enough`.
template <Filter filter>
inline bool keeps(const TraceProfiler* self, int64_t duration, bool shallow_enough) {
  if constexpr (filter == Filter::kThreshold) {
    (void)shallow_enough;
    return duration >= self->threshold_ns;
  } else {
    (void)duration;
    return shallow_enough;
  }
}

// ---------------------------------------------------------------------------
// Plain calls: the open-call chain

// Opens a plain node for a call made under `current`. Without memory for it
// the event is lost.
template <Filter filter>
void push_plain_node(TraceProfiler* self, int64_t now) {
  FrameNode* node = self->spare_nodes;
  if (node) {
    self->spare_nodes = node->parent;
    --self->spare_count;
  } else if (!(node = FrameNode_New())) {
    PyErr_Clear();
    return;
  }
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
  const int64_t duration = now - node->start_ns;
  const int64_t parent_index = self->current->index;
  PyObject* record;
  if (what == PyTrace_RETURN) {
    Ref<PyCodeObject> code = Ref<PyCodeObject>::steal(PyFrame_GetCode(frame));
    record = python_call_record(code->co_name, code->co_filename, code->co_firstlineno,
                                node->start_ns, duration, parent_index);
  } else {
    Ref<> name = Ref<>::steal(self->names.name_of(arg));
    if (self->removed || !name) return;
    record = builtin_call_record(name.get(), node->start_ns, duration, parent_index);
  }
  place_record(self->records, node->index, record);
}

// Closes the plain node `current` for its return event: pops it, records it
// if the filter keeps it, otherwise gives its index back, and recycles it.
// The profiler may be gone when this returns: Python code run by a
// built-in's name lookup may have dropped the last reference to it.
template <Filter filter>
void close_plain_node(TraceProfiler* self, int64_t now, PyFrameObject* frame, int what,
                      PyObject* arg) {
  FrameNode* node = self->current;
  self->current = node->parent;
  node->parent = nullptr;
  leave_level<filter>(self);
  if (!keeps<filter>(self, now - node->start_ns, self->depth < self->max_depth)) {
    // Every callee has returned and none was recorded (a callee is never
    // longer or shallower than its caller), so the dropped node's index is
    // the last one handed out: give it back.
    --self->next_index;
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
  const int64_t now = _get_time_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  self->last_event_ns = now;
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

// Records a coroutine node closed by a sweep: it spans its first time stamp
// to its last; false if the filter drops it.
template <Filter filter>
bool record_coroutine(TraceProfiler* self, const FrameNode* node, int64_t parent_index,
                      bool shallow_enough) {
  const int64_t start = time_at(node, 0);
  const int64_t duration = time_at(node, PyList_GET_SIZE(node->times) - 1) - start;
  if (!keeps<filter>(self, duration, shallow_enough)) return false;
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
  const bool shallow_enough = self->depth < self->max_depth;
  FrameNode* parent = self->current;
  Ref<FrameNode> held;  // the detached node the sweep is at, below `current`
  for (;;) {
    Ref<FrameNode> child = Ref<FrameNode>::steal(
        reinterpret_cast<FrameNode*>(pop_last_element(parent->children)));
    if (!child || !record_coroutine<filter>(self, child.get(), parent->index, shallow_enough)) break;
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
        !record_coroutine<filter>(self, node, parent_index, self->depth <= self->max_depth)) {
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
  if (!keeps<filter>(self, wait, self->depth < self->max_depth)) return;
  place_record(self->records, self->next_index++, await_record(suspended, wait, node->index));
  Py_XDECREF(pop_last_element(node->times));
}

template <Filter filter>
int async_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  const int64_t now = _get_time_ns();
  auto* self = reinterpret_cast<TraceProfiler*>(obj);
  if (self->removed) return 0;
  self->last_event_ns = now;
  const bool call = is_call_event(what);
  // A return with nothing open below the root has nothing to close; the
  // event loop's own returns end here, before any work.
  if (!call && (!is_return_event(what) || is_root(self->current))) return 0;
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
  profiler->last_event_ns = _get_time_ns();
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

#ifdef SPANTREE_TESTING
// The record builders, exposed only by the test build of this file
// (spantree_testing_C) so tests can compare their text with
// PyUnicode_FromFormat's over inputs no trace can produce.

// call_record(name, file, line, start, duration, parent) -> str
PyObject* testing_call_record(PyObject*, PyObject* args) {
  PyObject* name;
  PyObject* file;
  int line;
  long long start, duration, parent;
  if (!PyArg_ParseTuple(args, "UUiLLL", &name, &file, &line, &start, &duration, &parent))
    return nullptr;
  return python_call_record(name, file, line, start, duration, parent);
}

// builtin_record(name, start, duration, parent) -> str
PyObject* testing_builtin_record(PyObject*, PyObject* args) {
  PyObject* name;
  long long start, duration, parent;
  if (!PyArg_ParseTuple(args, "ULLL", &name, &start, &duration, &parent)) return nullptr;
  return builtin_call_record(name, start, duration, parent);
}

// coroutine_record(header, start, duration, parent) -> str
PyObject* testing_coroutine_record(PyObject*, PyObject* args) {
  PyObject* header;
  long long start, duration, parent;
  if (!PyArg_ParseTuple(args, "ULLL", &header, &start, &duration, &parent)) return nullptr;
  return coroutine_record(header, start, duration, parent);
}

// await_record(suspended, wait, coroutine_index) -> str
PyObject* testing_await_record(PyObject*, PyObject* args) {
  long long suspended, wait, index;
  if (!PyArg_ParseTuple(args, "LLL", &suspended, &wait, &index)) return nullptr;
  return await_record(suspended, wait, index);
}
#endif

PyMethodDef module_methods[] = {
    {"set_trace_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_trace_profile)),
     METH_VARARGS | METH_KEYWORDS, "set_trace_profile implementation."},
    {"remove_trace_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remove_trace_profile)),
     METH_VARARGS | METH_KEYWORDS, "remove by setting sys.setprofile(None)"},
#ifdef SPANTREE_TESTING
    {"call_record", testing_call_record, METH_VARARGS, nullptr},
    {"builtin_record", testing_builtin_record, METH_VARARGS, nullptr},
    {"coroutine_record", testing_coroutine_record, METH_VARARGS, nullptr},
    {"await_record", testing_await_record, METH_VARARGS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

#ifdef SPANTREE_TESTING
#define MODULE_NAME spantree_testing_C
#else
#define MODULE_NAME spantree_C
#endif
#define STRINGIFY(name) #name
#define MODULE_NAME_STRING(name) STRINGIFY(name)
#define CONCAT(a, b) a##b
#define INIT_FUNCTION(name) CONCAT(PyInit_, name)

PyModuleDef spantree_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = MODULE_NAME_STRING(MODULE_NAME),
    .m_doc = "PyVarnex trace supports.",
    .m_size = -1,
    .m_methods = module_methods,
};

}  // namespace

PyMODINIT_FUNC INIT_FUNCTION(MODULE_NAME)() {
  TraceProfiler_Type.tp_members = TraceProfiler_members;
  TraceProfiler_Type.tp_getset = TraceProfiler_getset;
  if (PyType_Ready(&FrameNode_Type) < 0 || PyType_Ready(&TraceProfiler_Type) < 0) return nullptr;
  return PyModule_Create2(&spantree_module, PYTHON_API_VERSION);
}
