// spantree_reader_C: reads the tracer's records list into compact arrays and
// writes every view of it without a Python object per record.
//
// Reader(records, coroutines=False) parses each record string in place (all
// three string widths), interns names and files as UTF-8 (lone surrogates
// kept as their three-byte form), rebuilds the call tree as arrays indexed by
// node id, and then serves:
//   write_chrome(write, pid, tid, base_ns, first)  Chrome Trace Event objects
//   write_collapsed(write)                         collapsed stacks
//   write_tree(write, whole_ns, min_share, full)   folded or complete text tree
//   functions()                                    per-function aggregates
//   records(), columns(), strings()                data for Python code
//   preorder(base_ns)                              columns in pre-order, for drawings
// Writers fill a buffer and hand it to `write` (any callable taking bytes,
// such as a binary file's write) in chunks of at most kChunk bytes.
//
// One translation unit: this file holds the Python type and includes the
// rest, each header one part: containers.h (Array, HashIndex),
// string_table.h, sink.h (chunked output, numbers, durations, text), trace.h
// (the arrays and node ids), parse.h, tree.h (the tree and what is derived
// from it), labels.h (what the text views share), and one header per view:
// full_tree.h, folded_tree.h, collapsed.h, chrome.h.
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

#include "common/ref.h"

#include "chrome.h"
#include "collapsed.h"
#include "containers.h"
#include "folded_tree.h"
#include "full_tree.h"
#include "parse.h"
#include "sink.h"
#include "trace.h"
#include "tree.h"

namespace {

struct ReaderObject {
  PyObject_HEAD
  Trace trace;  // constructed in place by Reader_new, destroyed by Reader_dealloc
};

}  // namespace

#include "saved.h"

namespace {

void Reader_dealloc(PyObject* self) {
  reinterpret_cast<ReaderObject*>(self)->trace.~Trace();
  Py_TYPE(self)->tp_free(self);
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"records", "coroutines", nullptr};
  PyObject* records;
  int coroutines = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:Reader", const_cast<char**>(keywords), &records,
                                   &coroutines))
    return nullptr;
  Ref<> seq = Ref<>::steal(PySequence_Fast(records, "records must be a list"));
  if (!seq) return nullptr;
  Ref<> self = Ref<>::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Trace* r = new (&reinterpret_cast<ReaderObject*>(self.get())->trace) Trace;
  r->slots = PySequence_Fast_GET_SIZE(seq.get());
  r->coroutines = coroutines;
  if (static_cast<size_t>(r->slots) >= kNone / 2) {
    PyErr_SetString(PyExc_MemoryError, "too many records");
    return nullptr;
  }
  if (!parse_records(r, seq.get()) || !build_tree(r) || !build_functions(r)) return nullptr;
  return self.release();
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

PyObject* Reader_write_tree(PyObject* self, PyObject* args) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  PyObject* write;
  long long whole_ns;
  double min_share;
  int full;
  PyObject* notes = Py_None;
  if (!PyArg_ParseTuple(args, "OLdp|O:write_tree", &write, &whole_ns, &min_share, &full, &notes)) return nullptr;
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
  notes = held.get();
  return with_sink(write, [&](Sink& out) {
    if (full) {
      write_full_tree(out, r);
      return out.ok();
    }
    FoldedTree tree(r, out, whole_ns, min_share, notes);
    return tree.write() && out.ok();
  });
}

PyObject* Reader_write_collapsed(PyObject* self, PyObject* write) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  return with_sink(write, [&](Sink& out) {
    Collapsed collapsed(r, out);
    return collapsed.write() && out.ok();
  });
}

PyObject* Reader_write_chrome(PyObject* self, PyObject* args) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  PyObject* write;
  long long pid, tid, base_ns;
  int first;
  if (!PyArg_ParseTuple(args, "OLLLp:write_chrome", &write, &pid, &tid, &base_ns, &first)) return nullptr;
  bool wrote = false;
  Ref<> done = Ref<>::steal(with_sink(write, [&](Sink& out) {
    wrote = write_chrome(out, r, pid, tid, base_ns, first);
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

// Per function: (kind, name, file, line, calls, total_ns, self_ns, longest_ns),
// the total counting a call inside another call of the same function once.
PyObject* Reader_functions(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
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
    PyObject* row = Py_BuildValue("(iOOLLLLL)", fn.kind, PyList_GET_ITEM(strings.get(), fn.name),
                                  PyList_GET_ITEM(strings.get(), fn.file), static_cast<long long>(fn.line),
                                  static_cast<long long>(calls[i]), static_cast<long long>(total[i]),
                                  static_cast<long long>(self_time[i]), static_cast<long long>(longest[i]));
    if (!row) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

// A new list aligned with the records list: None, or (name, file, line,
// start_ns, duration_ns, parent, kind) with kind 1 call, 2 built-in,
// 3 coroutine, 4 await.
PyObject* Reader_records(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  Ref<> strings = Ref<>::steal(Reader_strings(self, nullptr));
  if (!strings) return nullptr;
  Ref<> list = Ref<>::steal(PyList_New(r->slots));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < r->slots; ++i) {
    PyObject* item;
    if (!is_record(r, static_cast<uint32_t>(i))) {
      item = Py_None;
      Py_INCREF(item);
    } else {
      item = Py_BuildValue("(OOLLLLi)", PyList_GET_ITEM(strings.get(), r->name[i]),
                           PyList_GET_ITEM(strings.get(), r->file[i]), static_cast<long long>(r->line[i]),
                           static_cast<long long>(r->start[i]), static_cast<long long>(r->duration[i]),
                           static_cast<long long>(r->parent[i]), r->kind[i]);
      if (!item) return nullptr;
    }
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list.release();
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
  Array<int64_t> parent, index;
  if (!parent.resize(nodes) || !index.resize(nodes)) return nullptr;
  for (uint32_t i = 0; i < nodes; ++i) {
    uint32_t p = is_record(r, i) ? parent_node(r, i) : kNone;
    parent[i] = p == kNone ? int64_t{-1} : int64_t{p};
    index[i] = node_index(r, i);
  }
  NamedColumn items[] = {
      {"kind", column(r->kind, nodes)},         {"name", column(r->name, nodes)},
      {"file", column(r->file, nodes)},         {"line", column(r->line, nodes)},
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
  auto name = [r](uint32_t node) { return is_record(r, node) ? r->name[node] : kNone; };
  auto file = [r](uint32_t node) { return is_record(r, node) ? r->file[node] : kNone; };
  NamedColumn items[] = {
      {"kind", in_preorder<uint8_t>(r, [r](uint32_t node) { return r->kind[node]; })},
      {"name", in_preorder<uint32_t>(r, name)},
      {"file", in_preorder<uint32_t>(r, file)},
      {"line", in_preorder<int64_t>(r, [r](uint32_t node) { return r->line[node]; })},
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
PyObject* Reader_get_first_start(PyObject* self, void*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  if (!r->has_records) Py_RETURN_NONE;
  return PyLong_FromLongLong(r->first_start);
}

// The time of the records at the top of the tree (negatives as zero).
PyObject* Reader_get_top_ns(PyObject* self, void*) {
  return PyLong_FromLongLong(reinterpret_cast<ReaderObject*>(self)->trace.top_ns);
}

PyMethodDef reader_methods[] = {
    {"write_tree", Reader_write_tree, METH_VARARGS,
     "write_tree(write, whole_ns, min_share, full, notes=None): the folded tree, or with full the complete "
     "one; notes (bytes by function id) end the folded tree's lines."},
    {"write_collapsed", Reader_write_collapsed, METH_O, "write_collapsed(write): collapsed stacks."},
    {"write_chrome", Reader_write_chrome, METH_VARARGS,
     "write_chrome(write, pid, tid, base_ns, first): the records as comma-separated Chrome Trace "
     "Event objects; returns whether any was written."},
    {"functions", Reader_functions, METH_NOARGS,
     "functions(): [(kind, name, file, line, calls, total_ns, self_ns, longest_ns)]."},
    {"records", Reader_records, METH_NOARGS, "records(): the decoded fields by index, None kept."},
    {"columns", Reader_columns, METH_NOARGS, "columns(): {name: bytes} of the per-node arrays."},
    {"strings", Reader_strings, METH_NOARGS, "strings(): the interned names and files by id."},
    {"preorder", Reader_preorder, METH_O,
     "preorder(base_ns): {name: bytes} of kind, name, file, line, start (ns after base_ns), duration "
     "and depth, node by node in pre-order."},
    {"pack", Reader_pack, METH_NOARGS, "pack(): the records as bytes for a saved trace (see reader/saved.h)."},
    {"unpack", Reader_unpack, METH_O | METH_CLASS,
     "unpack(data): a Reader of a pack, every count, index and string checked; ValueError if it is not one."},
    {"record_strings", Reader_record_strings, METH_NOARGS,
     "record_strings(): the records list rebuilt, each record's string as the tracer wrote it, None kept."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"count", Reader_get_count, nullptr, "number of records", nullptr},
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
      PyModule_AddIntConstant(module.get(), "MAX_STACK_FRAMES", kMaxStackFrames) < 0)
    return nullptr;
  return module.release();
}
