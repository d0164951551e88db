// spantree_reader_C: reads the tracer's records list into compact arrays and
// writes every view of it without a Python object per record.
//
// Reader(records, coroutines=False) parses each record string in place (all
// three string widths), interns names and files as UTF-8 (lone surrogates
// kept as their three-byte form); Reader.from_profiler(profiler, coroutines)
// builds the same arrays straight from a spantree_C profiler's call log
// (from_call_log.h). Either rebuilds the call tree as arrays indexed by node
// id, and then serves:
//   write_chrome(write, pid, tid, base_ns, first[, indices])  Chrome Trace Event objects
//   write_collapsed(write[, grouped, escape])                 collapsed stacks
//   write_tree(write, whole_ns, min_share, mode[, escape])    grouped, complete or folded text tree
//   functions(grouped)                                        per-function aggregates
//   split()                                                   the trace's time by whose code ran
//   records(), columns(), strings()                           data for Python code
//   record_strings()                                          the records list as the tracer delivers it
//   preorder(base_ns)                                         columns in pre-order, for drawings
//   grouped(min_ns, grouping)                                 the grouped tree's lines as columns
//   files(), set_files(classes, labels, modules)              whose code each file is
//   pack(), Reader.unpack(data), file_data()                  what a saved trace keeps
// Writers fill a buffer and hand it to `write` (any callable taking bytes,
// such as a binary file's write) in chunks of at most kChunk bytes.
//
// One translation unit: this file holds the Python type and includes the
// rest, each header one part: containers.h (Array, HashIndex),
// string_table.h, sink.h (chunked output, numbers, durations, text), trace.h
// (the arrays and node ids), parse.h, from_call_log.h, tree.h (the tree and
// what is derived from it), labels.h (what the text views share), and one
// header per view:
// full_tree.h, grouping.h (the grouped and folded trees), collapsed.h,
// chrome.h; saved.h packs and unpacks the records for saved traces.
//
// The record format, the kinds and their codes come from
// common/record_format.h, which the tracer's record builder includes too.
//
// Reference rules of this file: Ref<> (common/ref.h, shared with the tracer)
// owns one strong reference (steal adopts a new one, release hands it back);
// raw PyObject pointers are borrowed. Helpers that return a new reference say
// so.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>
#include <stdint.h>
#include <string.h>

#include <new>

#include "common/call_log_api.h"
#include "common/ref.h"
// The record builders' text class rebuilds record strings; the builders
// themselves are the tracer's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "tracer/record_text.h"
#pragma GCC diagnostic pop

#include "chrome.h"
#include "collapsed.h"
#include "containers.h"
#include "from_call_log.h"
#include "full_tree.h"
#include "grouping.h"
#include "parse.h"
#include "sink.h"
#include "trace.h"
#include "tree.h"

namespace {

struct ReaderObject {
  PyObject_HEAD
  Trace trace;  // constructed in place by Reader_new, destroyed by Reader_dealloc
};

void Reader_dealloc(PyObject* self) {
  drop_grouped(&reinterpret_cast<ReaderObject*>(self)->trace);
  reinterpret_cast<ReaderObject*>(self)->trace.~Trace();
  Py_TYPE(self)->tp_free(self);
}

// New reference: a Reader of `slots` slots whose arrays `fill` makes
// (false with an exception set), or null with an exception set.
template <typename Fill>
PyObject* new_reader(PyTypeObject* type, int64_t slots, bool coroutines, Fill fill) {
  Ref<> self = Ref<>::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Trace* r = new (&reinterpret_cast<ReaderObject*>(self.get())->trace) Trace;
  r->slots = static_cast<Py_ssize_t>(slots);
  r->coroutines = coroutines;
  if (static_cast<uint64_t>(slots) >= kNone / 2) {
    PyErr_SetString(PyExc_MemoryError, "too many records");
    return nullptr;
  }
  if (!fill(r) || !build_tree(r) || !build_functions(r)) return nullptr;
  return self.release();
}

// New reference: a Reader of records list `records`, less the calls that
// started at `until_ns` or later (drop_calls_from).
PyObject* read_records(PyTypeObject* type, PyObject* records, bool coroutines,
                       int64_t until_ns = kKeepEveryCall) {
  Ref<> seq = Ref<>::steal(PySequence_Fast(records, "records must be a list"));
  if (!seq) return nullptr;
  return new_reader(type, PySequence_Fast_GET_SIZE(seq.get()), coroutines, [&seq, until_ns](Trace* r) {
    if (!parse_records(r, seq.get())) return false;
    drop_calls_from(r, until_ns);  // the strings of the calls left out stay in the table, unused
    return true;
  });
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"records", "coroutines", nullptr};
  PyObject* records;
  int coroutines = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:Reader", const_cast<char**>(keywords), &records,
                                   &coroutines))
    return nullptr;
  return read_records(type, records, coroutines);
}

// Borrowed: the call log interface of the tracer that made `profiler`, or
// null with an exception set when it offers none or one of another build.
const CallLogApi* call_log_api_of(PyObject* profiler) {
  static PyObject* attribute = PyUnicode_InternFromString("_call_log_api");  // kept for good
  if (!attribute) return nullptr;
  Ref<> capsule = Ref<>::steal(PyObject_GetAttr(profiler, attribute));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "Reader.from_profiler() needs a profiler from spantree_C.set_trace_profile(), "
                 "not %.200s",
                 Py_TYPE(profiler)->tp_name);
    return nullptr;
  }
  auto* api = static_cast<const CallLogApi*>(PyCapsule_GetPointer(capsule.get(), kCallLogApiName));
  if (!api) return nullptr;
  if (api->version != kCallLogApiVersion) {
    PyErr_Format(PyExc_ImportError,
                 "spantree_C and spantree_reader_C come from different builds: the tracer's call "
                 "log interface is version %u, this reader reads version %u; reinstall spantree "
                 "so that both come from one build",
                 api->version, kCallLogApiVersion);
    return nullptr;
  }
  return api;
}

// Reader.from_profiler(profiler, coroutines=False): takes the call log of a
// spantree_C profiler and reads it with no record strings in between.
PyObject* Reader_from_profiler(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"profiler", "coroutines", "until_ns", nullptr};
  PyObject* profiler;
  int coroutines = 0;
  long long until_ns = kKeepEveryCall;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p$L:from_profiler", const_cast<char**>(keywords),
                                   &profiler, &coroutines, &until_ns))
    return nullptr;
  const CallLogApi* api = call_log_api_of(profiler);
  if (!api) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  TakenLog log{};
  PyObject* records = nullptr;
  const int taken = api->take(profiler, &log, &records);
  if (taken < 0) return nullptr;
  if (taken == 0) {
    Ref<> list = Ref<>::steal(records);
    return read_records(type, list.get(), coroutines, until_ns);
  }
  PyObject* reader = new_reader(type, log.end, coroutines, [api, &log, until_ns](Trace* r) {
    return CallLogReader(r, until_ns).read(api, &log);
  });
  api->release(&log);
  return reader;
}

// Calls one writer with a Sink around `write`; returns None or NULL.
template <typename Body>
PyObject* with_sink(PyObject* write, Body body) {
  if (!PyCallable_Check(write)) {
    PyErr_SetString(PyExc_TypeError, "write must be callable (a binary file's write)");
    return nullptr;
  }
  auto* sink = static_cast<Sink*>(PyMem_RawMalloc(sizeof(Sink)));
  if (!sink) return PyErr_NoMemory();
  new (sink) Sink(write);
  bool ok = body(*sink) && sink->flush();
  PyObject* result = nullptr;
  if (ok) {
    result = Py_None;
    Py_INCREF(result);
  } else {
    assert(PyErr_Occurred());
  }
  sink->~Sink();
  PyMem_RawFree(sink);
  return result;
}

// The trees write_tree writes.
enum TreeMode { kGroupedTree = 0, kFullTree = 1, kFoldedTree = 2 };

PyObject* Reader_write_tree(PyObject* self, PyObject* args) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  PyObject* write;
  long long whole_ns;
  double min_share;
  int mode, escape = 1;
  PyObject* notes = Py_None;
  if (!PyArg_ParseTuple(args, "OLdi|Op:write_tree", &write, &whole_ns, &min_share, &mode, &notes, &escape))
    return nullptr;
  if (mode < kGroupedTree || mode > kFoldedTree) {
    PyErr_Format(PyExc_ValueError, "mode must be 0 (grouped), 1 (full) or 2 (folded), not %d", mode);
    return nullptr;
  }
  // A tuple of our own: the write callback cannot change it under the writer.
  Ref<> held;
  if (notes != Py_None) {
    held = Ref<>::steal(PySequence_Tuple(notes));
    if (!held) return nullptr;
    bool fits = static_cast<size_t>(PyTuple_GET_SIZE(held.get())) == r->functions.size();
    for (Py_ssize_t i = 0; fits && i < PyTuple_GET_SIZE(held.get()); ++i)
      fits = PyBytes_Check(PyTuple_GET_ITEM(held.get(), i));
    if (!fits) {
      PyErr_SetString(PyExc_TypeError, "notes must be bytes, one per function");
      return nullptr;
    }
  }
  return with_sink(write, [&](Sink& out) {
    out.escape_surrogates = escape;
    if (mode == kFullTree) {
      write_full_tree(out, r);
      return out.ok();
    }
    return write_grouped_tree(out, r, whole_ns, min_share, mode == kGroupedTree, held.get()) && out.ok();
  });
}

PyObject* Reader_write_collapsed(PyObject* self, PyObject* args) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  PyObject* write;
  int grouped = 0, escape = 1;
  if (!PyArg_ParseTuple(args, "O|pp:write_collapsed", &write, &grouped, &escape)) return nullptr;
  return with_sink(write, [&](Sink& out) {
    out.escape_surrogates = escape;
    Collapsed collapsed(r, out);
    return (grouped ? write_grouped_collapsed(collapsed, r) : collapsed.write()) && out.ok();
  });
}

PyObject* Reader_write_chrome(PyObject* self, PyObject* args) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  PyObject* write;
  long long pid, tid, base_ns;
  int first, indices = 0;
  if (!PyArg_ParseTuple(args, "OLLLp|p:write_chrome", &write, &pid, &tid, &base_ns, &first, &indices))
    return nullptr;
  bool wrote = false;
  Ref<> done = Ref<>::steal(with_sink(write, [&](Sink& out) {
    wrote = write_chrome(out, r, pid, tid, base_ns, first, indices);
    return out.ok();
  }));
  if (!done) return nullptr;
  return PyBool_FromLong(wrote);
}

// A new reference to the str of an interned id.
PyObject* string_object(const Trace* r, uint32_t id) {
  StringView s = r->strings[id];
  return PyUnicode_DecodeUTF8(s.p, static_cast<Py_ssize_t>(s.n), "surrogatepass");
}

// A new list of every interned string, by id.
PyObject* Reader_strings(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  size_t n = r->strings.size();
  Ref<> list = Ref<>::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* s = string_object(r, static_cast<uint32_t>(i));
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

// Per function of the grouped tree (an import per module, a library call with
// the frames it hides): (kind, name, file, line, calls, total_ns, self_ns,
// longest_ns, label), the total counting a call inside another call of the
// same function once. `strings` is the list of every string, by id.
PyObject* grouped_functions(Trace* r, PyObject* strings) {
  GroupedTree* g = grouped_tree(r, true);
  if (!g) return nullptr;
  struct Row {
    uint32_t first;
    int64_t calls, total, self, longest;
  };
  uint32_t functions = static_cast<uint32_t>(r->functions.size());
  Array<uint32_t> row_of, open, chain;
  Array<Row> rows;
  if (!row_of.resize(g->keys) || !open.resize(g->keys)) return nullptr;
  for (size_t i = 0; i < row_of.size(); ++i) row_of[i] = kNone;
  for (uint32_t i = 0; i < g->nodes.size(); ++i) {
    const LineNode& line = g->nodes[i];
    if (line.alias != i) continue;
    while (chain.size() > line.depth) {
      uint32_t key = chain[chain.size() - 1];
      if (key != kNone) --open[key];
      chain.resize(chain.size() - 1);
    }
    uint32_t key = line.kind == kImportLine ? functions + line.name
                   : line.kind == kPlaceholder ? kNone : r->func[line.rep];
    if (!chain.push(key)) return nullptr;
    if (key == kNone) continue;
    if (row_of[key] == kNone) {
      row_of[key] = static_cast<uint32_t>(rows.size());
      if (!rows.push({i, 0, 0, 0, INT64_MIN})) return nullptr;
    }
    Row& row = rows[row_of[key]];
    if (!open[key]++) row.total += line.total;
    row.calls += line.calls;
    row.self += line.self;
    int64_t duration = r->duration[line.rep];
    if (duration > row.longest) row.longest = duration;
  }
  Ref<> empty = Ref<>::steal(PyUnicode_FromStringAndSize("", 0));
  Ref<> list = Ref<>::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list || !empty) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const LineNode& line = g->nodes[row.first];
    bool import = line.kind == kImportLine;
    uint32_t rep = line.rep;
    PyObject* name = PyList_GET_ITEM(strings, import ? line.name : name_of(r, rep));
    uint32_t file = import ? line.file : file_of(r, rep);
    PyObject* path = file == kNone ? empty.get() : PyList_GET_ITEM(strings, file);
    Ref<> label;
    if (file == kNone || (!import && r->kind[rep] != kCall && r->kind[rep] != kCoroutine)) {
      label = Ref<>::borrow(empty.get());
    } else {
      StringView s = file_label(r, file);
      label = Ref<>::steal(PyUnicode_DecodeUTF8(s.p, static_cast<Py_ssize_t>(s.n), "surrogatepass"));
      if (!label) return nullptr;
    }
    PyObject* item = Py_BuildValue("(iOOLLLLLO)", import ? int{kImportLine} : int{r->kind[rep]}, name, path,
                                   static_cast<long long>(import ? 0 : line_of(r, rep)),
                                   static_cast<long long>(row.calls), static_cast<long long>(row.total),
                                   static_cast<long long>(row.self), static_cast<long long>(row.longest),
                                   label.get());
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Per function: (kind, name, file, line, calls, total_ns, self_ns, longest_ns,
// label), the total counting a call inside another call of the same function
// once; with grouped, the functions of the grouped tree.
PyObject* Reader_functions(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"grouped", nullptr};
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  int grouped = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p:functions", const_cast<char**>(keywords), &grouped))
    return nullptr;
  if (grouped) {
    // The grouped tree adds strings of its own: built before they are listed.
    if (!grouped_tree(r, true)) return nullptr;
    Ref<> strings = Ref<>::steal(Reader_strings(self, nullptr));
    return strings ? grouped_functions(r, strings.get()) : nullptr;
  }
  size_t nf = r->functions.size();
  Array<int64_t> calls, total, self_time, longest;
  Array<uint32_t> open, chain;
  if (!calls.resize(nf) || !total.resize(nf) || !self_time.resize(nf) || !longest.resize(nf) ||
      !open.resize(nf))
    return nullptr;
  for (size_t f = 0; f < nf; ++f) longest[f] = INT64_MIN;
  for (size_t i = 0; i < r->order.size(); ++i) {
    uint32_t node = r->order[i];
    uint32_t depth = r->depth[node];
    while (chain.size() > depth) {
      uint32_t f = chain.pop();
      if (f != kNone) --open[f];
    }
    uint32_t f = r->func[node];
    if (!chain.push(f)) return nullptr;
    if (f == kNone) continue;
    if (!open[f]++) total[f] += clamped(r->duration[node]);
    ++calls[f];
    self_time[f] += self_ns(r, node);
    if (r->duration[node] > longest[f]) longest[f] = r->duration[node];
  }
  Ref<> strings = Ref<>::steal(Reader_strings(self, nullptr));
  if (!strings) return nullptr;
  Ref<> list = Ref<>::steal(PyList_New(static_cast<Py_ssize_t>(nf)));
  if (!list) return nullptr;
  for (size_t i = 0; i < nf; ++i) {
    const Function& fn = r->functions[i];
    bool located = fn.kind == kCall || fn.kind == kCoroutine;
    StringView label = located ? file_label(r, fn.file) : StringView{"", 0};
    Ref<> text = Ref<>::steal(PyUnicode_DecodeUTF8(label.p, static_cast<Py_ssize_t>(label.n), "surrogatepass"));
    if (!text) return nullptr;
    PyObject* row = Py_BuildValue("(iOOLLLLLO)", fn.kind, PyList_GET_ITEM(strings.get(), fn.name),
                                  PyList_GET_ITEM(strings.get(), fn.file), static_cast<long long>(fn.line),
                                  static_cast<long long>(calls[i]), static_cast<long long>(total[i]),
                                  static_cast<long long>(self_time[i]), static_cast<long long>(longest[i]),
                                  text.get());
    if (!row) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

// A new list aligned with the records list: None in the slots that hold no
// record, `make(strings, function, slot)` (a new reference, or null with an
// exception set) in the others; `strings` is the string table as a list.
template <typename Make>
PyObject* per_record(PyObject* self, Make make) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  Ref<> strings = Ref<>::steal(Reader_strings(self, nullptr));
  if (!strings) return nullptr;
  Ref<> list = Ref<>::steal(PyList_New(r->slots));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < r->slots; ++i) {
    PyObject* item = Py_None;
    if (is_record(r, static_cast<uint32_t>(i))) {
      item = make(strings.get(), function_of(r, static_cast<uint32_t>(i)), i);
      if (!item) return nullptr;
    } else {
      Py_INCREF(item);
    }
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list.release();
}

// (name, file, line, start_ns, duration_ns, parent, kind) per record, kind a
// record's Kind code.
PyObject* Reader_records(PyObject* self, PyObject*) {
  const Trace* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  return per_record(self, [r](PyObject* strings, const Function& fn, Py_ssize_t i) {
    return Py_BuildValue("(OOLLLLi)", PyList_GET_ITEM(strings, fn.name), PyList_GET_ITEM(strings, fn.file),
                         static_cast<long long>(fn.line), static_cast<long long>(r->start[i]),
                         static_cast<long long>(r->duration[i]), static_cast<long long>(r->parent[i]), r->kind[i]);
  });
}

// The record strings, each as the tracer builds it.
PyObject* Reader_record_strings(PyObject* self, PyObject*) {
  const Trace* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  return per_record(self, [r](PyObject* strings, const Function& fn, Py_ssize_t i) {
    RecordText text;
    text.add(PyList_GET_ITEM(strings, fn.name));
    text.add_separator('\0');
    text.add(PyList_GET_ITEM(strings, fn.file));
    text.add_separator('\0');
    text.add_number(fn.line);
    text.add_times(r->start[i], r->duration[i], r->parent[i]);
    return text.build();
  });
}

// A new bytes object holding an array's elements.
template <typename T>
PyObject* column(const Array<T>& a, size_t n) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(a.data()),
                                   static_cast<Py_ssize_t>(n * sizeof(T)));
}

struct NamedColumn {
  const char* name;
  PyObject* value;  // new reference, or NULL with an exception set
};

// A new dict of the columns; takes over their references, NULL if any is.
template <size_t N>
PyObject* column_dict(NamedColumn (&items)[N]) {
  Ref<> dict = Ref<>::steal(PyDict_New());
  bool ok = bool(dict);
  for (auto& item : items) {
    if (ok && (!item.value || PyDict_SetItemString(dict.get(), item.name, item.value) < 0)) ok = false;
    Py_XDECREF(item.value);
  }
  return ok ? dict.release() : nullptr;
}

PyObject* Reader_columns(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  size_t nodes = node_count(r);
  Array<int64_t> parent, index, line;
  Array<uint32_t> name, file;  // 0 where no record is
  if (!parent.resize(nodes) || !index.resize(nodes) || !line.resize(nodes) || !name.resize(nodes) ||
      !file.resize(nodes))
    return nullptr;
  for (uint32_t i = 0; i < nodes; ++i) {
    uint32_t p = is_record(r, i) ? parent_node(r, i) : kNone;
    parent[i] = p == kNone ? int64_t{-1} : int64_t{p};
    index[i] = node_index(r, i);
    if (is_record(r, i)) {
      const Function& fn = function_of(r, i);
      name[i] = fn.name, file[i] = fn.file, line[i] = fn.line;
    }
  }
  NamedColumn items[] = {
      {"kind", column(r->kind, nodes)},         {"name", column(name, nodes)},
      {"file", column(file, nodes)},            {"line", column(line, nodes)},
      {"start", column(r->start, nodes)},       {"duration", column(r->duration, nodes)},
      {"parent", column(parent, nodes)},        {"depth", column(r->depth, nodes)},
      {"index", column(index, nodes)},          {"function", column(r->func, nodes)},
      {"first_child", column(r->first_child, nodes + 1)},
      {"children", column(r->children, r->children.size())},
      {"roots", column(r->roots, r->roots.size())},
      {"order", column(r->order, r->order.size())},
  };
  return column_dict(items);
}

// A new bytes object holding value(node) for every node in pre-order.
template <typename T, typename Value>
PyObject* in_preorder(const Trace* r, Value value) {
  size_t n = r->order.size();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(T)));
  if (!bytes) return nullptr;
  char* out = PyBytes_AS_STRING(bytes);
  for (size_t i = 0; i < n; ++i) {
    T v = value(r->order[i]);
    memcpy(out + i * sizeof(T), &v, sizeof(T));
  }
  return bytes;
}

// The arrays a drawing of the tree reads, in pre-order and with start times
// after base_ns; name and file are kNone for placeholders.
PyObject* Reader_preorder(PyObject* self, PyObject* arg) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  long long base_ns = PyLong_AsLongLong(arg);
  if (base_ns == -1 && PyErr_Occurred()) return nullptr;
  // A placeholder starts with one of its children.
  for (Py_ssize_t i = 0; i < r->slots; ++i) {
    int64_t offset;
    if (is_record(r, static_cast<uint32_t>(i)) && __builtin_sub_overflow(r->start[i], base_ns, &offset)) {
      PyErr_Format(PyExc_ValueError, "record %zd starts 2**63 ns or more away from %lld", i, base_ns);
      return nullptr;
    }
  }
  auto name = [r](uint32_t node) { return is_record(r, node) ? function_of(r, node).name : kNone; };
  auto file = [r](uint32_t node) { return is_record(r, node) ? function_of(r, node).file : kNone; };
  auto line = [r](uint32_t node) { return is_record(r, node) ? function_of(r, node).line : int64_t{0}; };
  NamedColumn items[] = {
      {"kind", in_preorder<uint8_t>(r, [r](uint32_t node) { return r->kind[node]; })},
      {"name", in_preorder<uint32_t>(r, name)},
      {"file", in_preorder<uint32_t>(r, file)},
      {"line", in_preorder<int64_t>(r, line)},
      {"start", in_preorder<int64_t>(r, [r, base_ns](uint32_t node) { return r->start[node] - base_ns; })},
      {"duration", in_preorder<int64_t>(r, [r](uint32_t node) { return r->duration[node]; })},
      {"depth", in_preorder<uint32_t>(r, [r](uint32_t node) { return r->depth[node]; })},
  };
  return column_dict(items);
}

PyObject* Reader_get_count(PyObject* self, void*) {
  return PyLong_FromSsize_t(reinterpret_cast<ReaderObject*>(self)->trace.count);
}

// The earliest start among the records, None without records.
PyObject* Reader_get_slots(PyObject* self, void*) {
  return PyLong_FromSsize_t(reinterpret_cast<ReaderObject*>(self)->trace.slots);
}

PyObject* Reader_get_first_start(PyObject* self, void*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  if (!r->has_records) Py_RETURN_NONE;
  return PyLong_FromLongLong(r->first_start);
}

// The time of the records at the top of the tree (negatives as zero).
PyObject* Reader_get_top_ns(PyObject* self, void*) {
  return PyLong_FromLongLong(reinterpret_cast<ReaderObject*>(self)->trace.top_ns);
}

// --- Python methods

// files(): the distinct files of the records, by file id.
PyObject* Reader_files(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  if (!collect_files(r)) return nullptr;
  Ref<> list = Ref<>::steal(PyList_New(static_cast<Py_ssize_t>(r->files.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < r->files.size(); ++i) {
    PyObject* s = string_object(r, r->files[i]);
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

// Adds each str of `items` (one per file) to the string table into ids[file string].
bool add_file_strings(Trace* r, PyObject* items, Array<uint32_t>* ids, const char* what) {
  Ref<> seq = Ref<>::steal(PySequence_Fast(items, "labels and modules must be lists of str"));
  if (!seq) return false;
  size_t n = static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.get()));
  if (n != r->files.size()) {
    PyErr_Format(PyExc_ValueError, "%s: expected %zu, one per file, got %zu", what, r->files.size(), n);
    return false;
  }
  if (!ids->resize(r->strings.size())) return false;
  for (size_t i = 0; i < ids->size(); ++i) (*ids)[i] = kNone;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s[%zu]: expected str, got %.80s", what, i, Py_TYPE(item)->tp_name);
      return false;
    }
    Ref<> bytes = Ref<>::steal(PyUnicode_AsEncodedString(item, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    uint32_t id = r->strings.intern(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (id == kNone) return false;
    (*ids)[r->files[i]] = id;
  }
  return true;
}

// set_files(classes, labels, modules=None)
PyObject* Reader_set_files(PyObject* self, PyObject* args) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  Py_buffer classes;
  PyObject *labels, *modules = Py_None;
  if (!PyArg_ParseTuple(args, "y*O|O:set_files", &classes, &labels, &modules)) return nullptr;
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&classes};
  if (!collect_files(r)) return nullptr;
  size_t n = r->files.size();
  if (static_cast<size_t>(classes.len) != n) {
    PyErr_Format(PyExc_ValueError, "classes: expected %zu bytes, one per file, got %zd", n, classes.len);
    return nullptr;
  }
  const auto* codes = static_cast<const uint8_t*>(classes.buf);
  for (size_t i = 0; i < n; ++i)
    if (codes[i] > kImportCode) {
      PyErr_Format(PyExc_ValueError, "classes[%zu] is %d: expected 0 to 3", i, codes[i]);
      return nullptr;
    }
  Array<uint32_t> label_ids, module_ids;
  if (!add_file_strings(r, labels, &label_ids, "labels")) return nullptr;
  if (modules != Py_None && !add_file_strings(r, modules, &module_ids, "modules")) return nullptr;
  if (!r->file_class.resize(r->strings.size())) return nullptr;
  for (size_t i = 0; i < r->file_class.size(); ++i) r->file_class[i] = kOwnCode;
  for (size_t i = 0; i < n; ++i) r->file_class[r->files[i]] = codes[i];
  r->file_label.swap(label_ids);
  r->file_module.swap(module_ids);
  drop_grouped(r);
  Py_RETURN_NONE;
}

// split(): the trace's time by where it went.
PyObject* Reader_split(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  GroupedTree* g = grouped_tree(r, true);
  if (!g) return nullptr;
  return Py_BuildValue("{sLsLsLsLsL}", "import", static_cast<long long>(g->shares[kShareImport]), "own",
                       static_cast<long long>(g->shares[kShareOwn]), "library",
                       static_cast<long long>(g->shares[kShareLibrary]), "builtin",
                       static_cast<long long>(g->shares[kShareBuiltin]), "waiting",
                       static_cast<long long>(g->shares[kShareWaiting]));
}

// The kind a line shows: a record's, or one of the grouped kinds.
uint8_t line_kind(const Trace* r, const GroupedTree* g, const Line& line) {
  const LineNode& node = g->nodes[line.first];
  if (node.kind == kImportLine) return kImportLine;
  if (node.period) return kRecursionLine;
  if (line.hidden && node.cls == kLibraryCode) return kLibraryLine;
  return r->kind[node.rep];
}

// grouped(min_share_ns=0, grouping=True): the lines of the grouped tree as columns.
PyObject* Reader_grouped(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"min_ns", "grouping", nullptr};
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  long long min_ns = 0;
  int grouping = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Lp:grouped", const_cast<char**>(keywords), &min_ns, &grouping))
    return nullptr;
  GroupedTree* g = grouped_tree(r, grouping);
  if (!g || !collect_files(r)) return nullptr;
  Array<uint32_t> depth, name, file, count, hidden, deep, hot_name, hot_file;
  Array<uint8_t> kind, cls;
  Array<int64_t> line_no, total, self_ns_, longest, hot_line;
  LineWriter writer(r, g, static_cast<double>(min_ns));
  bool ok = writer.write([&](const Line& line) {
    uint32_t at_file = kNone, at_name = kNone, hname = kNone, hfile = kNone;
    int64_t at_line = 0, hline = 0;
    uint8_t k = 0, c = 0;
    if (line.first != kNone) {
      const LineNode& node = g->nodes[line.first];
      k = line_kind(r, g, line);
      c = node.cls;
      at_name = node.kind == kPlaceholder ? kNone : node.name;
      uint32_t f = node.kind == kImportLine ? node.file : (is_record(r, node.rep) && r->kind[node.rep] != kAwait
                                                               ? file_of(r, node.rep) : kNone);
      at_file = f == kNone ? kNone : r->file_index[f];
      at_line = node.kind == kImportLine || !is_record(r, node.rep) ? 0 : line_of(r, node.rep);
      if (line.hot != kNone && line.hidden) {
        hname = name_of(r, line.hot);
        hfile = r->kind[line.hot] == kAwait ? kNone : r->file_index[file_of(r, line.hot)];
        hline = line_of(r, line.hot);
      }
    }
    return depth.push(line.depth) && kind.push(k) && cls.push(c) && name.push(at_name) && file.push(at_file) &&
           line_no.push(at_line) && count.push(line.count) && total.push(line.total) &&
           self_ns_.push(line.first == kNone ? 0 : line.self) &&
           longest.push(line.first == kNone ? 0 : line.longest) && hidden.push(line.hidden) &&
           deep.push(line.deep) && hot_name.push(hname) && hot_file.push(hfile) && hot_line.push(hline);
  });
  if (!ok || PyErr_Occurred()) return nullptr;
  size_t n = depth.size();
  NamedColumn items[] = {
      {"depth", column(depth, n)},       {"kind", column(kind, n)},         {"cls", column(cls, n)},
      {"name", column(name, n)},         {"file", column(file, n)},         {"line", column(line_no, n)},
      {"count", column(count, n)},       {"total", column(total, n)},       {"self", column(self_ns_, n)},
      {"longest", column(longest, n)},   {"hidden", column(hidden, n)},     {"deep", column(deep, n)},
      {"hot_name", column(hot_name, n)}, {"hot_file", column(hot_file, n)}, {"hot_line", column(hot_line, n)},
  };
  return column_dict(items);
}

}  // namespace

#include "saved.h"

namespace {

PyMethodDef reader_methods[] = {
    {"write_tree", Reader_write_tree, METH_VARARGS,
     "write_tree(write, whole_ns, min_share, mode, notes=None, escape=True): the grouped tree (mode 0), "
     "the complete one (1) or the folded one without grouping (2); notes (bytes by function id) end the "
     "grouped or folded tree's lines; without escape, lone surrogates stay as they are held (decode "
     "with surrogatepass)."},
    {"write_collapsed", Reader_write_collapsed, METH_VARARGS,
     "write_collapsed(write, grouped=False, escape=True): collapsed stacks, of every frame or of the "
     "grouped tree; escape as for write_tree."},
    {"write_chrome", Reader_write_chrome, METH_VARARGS,
     "write_chrome(write, pid, tid, base_ns, first, indices=False): the records as comma-separated "
     "Chrome Trace Event objects, with indices their index and parent's under args; returns whether "
     "any was written."},
    {"functions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Reader_functions)),
     METH_VARARGS | METH_KEYWORDS,
     "functions(grouped=False): [(kind, name, file, line, calls, total_ns, self_ns, longest_ns, label)]."},
    {"files", Reader_files, METH_NOARGS, "files(): the distinct files of the records, by file id."},
    {"set_files", Reader_set_files, METH_VARARGS,
     "set_files(classes, labels, modules=None): per file id its class (0 the program's own code, "
     "1 library, 2 built-in, 3 import machinery), display label and module name."},
    {"split", Reader_split, METH_NOARGS,
     "split(): {import, own, library, builtin, waiting: ns}, the trace's self time by where it went."},
    {"grouped", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Reader_grouped)),
     METH_VARARGS | METH_KEYWORDS,
     "grouped(min_ns=0, grouping=True): {name: bytes} columns of the grouped tree's lines in pre-order."},
    {"records", Reader_records, METH_NOARGS, "records(): the decoded fields by index, None kept."},
    {"record_strings", Reader_record_strings, METH_NOARGS,
     "record_strings(): the records list as the tracer's remove_trace_profile() delivers it."},
    {"from_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Reader_from_profiler)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "Reader.from_profiler(profiler, coroutines=False, *, until_ns=2**63-1): takes the call log of a "
     "spantree_C profiler (closing its trace if it is open) and reads it with no record strings in "
     "between, releasing the log as it goes. The profiler's remove_trace_profile() raises "
     "RuntimeError from then on. A profiler whose records remove_trace_profile() built already is "
     "read from those. With until_ns, the last calls, those that started then or later, are left "
     "out, with the empty slots after the last call kept."},
    {"columns", Reader_columns, METH_NOARGS, "columns(): {name: bytes} of the per-node arrays."},
    {"strings", Reader_strings, METH_NOARGS, "strings(): the interned names and files by id."},
    {"preorder", Reader_preorder, METH_O,
     "preorder(base_ns): {name: bytes} of kind, name, file, line, start (ns after base_ns), duration "
     "and depth, node by node in pre-order."},
    {"file_data", Reader_file_data, METH_NOARGS,
     "file_data(): (classes, labels, modules) of files() as set_files was given them, or None before."},
    {"pack", Reader_pack, METH_NOARGS, "pack(): the records as bytes for a saved trace (see reader/saved.h)."},
    {"unpack", Reader_unpack, METH_O | METH_CLASS,
     "unpack(data): a Reader of a pack, every count, index and string checked; ValueError if it is not one."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"count", Reader_get_count, nullptr, "number of records", nullptr},
    {"slots", Reader_get_slots, nullptr, "length of the records list", nullptr},
    {"coroutines", Reader_get_coroutines, nullptr, "whether the trace was coroutine-aware", nullptr},
    {"first_start", Reader_get_first_start, nullptr, "earliest record start (ns) or None", nullptr},
    {"top_ns", Reader_get_top_ns, nullptr, "time of the records at the top of the tree", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject reader_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "spantree_reader_C.Reader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_dealloc = Reader_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Reader(records, coroutines=False): a records list read into compact arrays.",
    .tp_methods = reader_methods,
    .tp_getset = reader_getset,
    .tp_new = Reader_new,
};

PyModuleDef reader_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "spantree_reader_C",
    .m_doc = "The records reader and view writers of spantree.", .m_size = -1,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_spantree_reader_C() {
  if (PyType_Ready(&reader_type) < 0) return nullptr;
  Ref<> module = Ref<>::steal(PyModule_Create(&reader_module));
  if (!module) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Reader", reinterpret_cast<PyObject*>(&reader_type)) < 0)
    return nullptr;
  if (PyModule_AddIntConstant(module.get(), "MAX_INDENT", kMaxIndent) < 0 ||
      PyModule_AddIntConstant(module.get(), "MAX_STACK_FRAMES", kMaxStackFrames) < 0 ||
      PyModule_AddStringConstant(module.get(), "PLACEHOLDER_NOTE", kPlaceholderNote) < 0)
    return nullptr;
  // The kinds' names by code, None for the nodes that are not records.
  Ref<> kinds = Ref<>::steal(PyTuple_New(kKindCount));
  if (!kinds) return nullptr;
  for (int code = 0; code < kKindCount; ++code) {
    PyObject* name = *kKindNames[code] ? PyUnicode_FromString(kKindNames[code]) : Py_NewRef(Py_None);
    if (!name) return nullptr;
    PyTuple_SET_ITEM(kinds.get(), code, name);
  }
  if (PyModule_AddObjectRef(module.get(), "KIND_NAMES", kinds.get()) < 0) return nullptr;
  return module.release();
}
