// A thread's records as a saved trace holds them (Reader.pack), and a reader
// rebuilt from them (Reader.unpack), which trusts nothing it is given.
//
// What is kept is what the records list holds; everything the reader derives
// (kinds beyond call, built-in and await, placeholders, children, pre-order,
// depths, function ids) is rebuilt by the same code that reads a records
// list, so a reader unpacked from a pack serves every view byte for byte as
// the reader it was packed from. Layout, all integers unsigned LEB128
// varints, the signed ones zigzag-coded:
//
//   flags                bit 0: the trace was coroutine-aware
//   slots                length of the records list
//   strings              count, each one's length, then their UTF-8 bytes
//                        (lone surrogates in their three-byte form), by id
//   functions            count, then name id, file id and line of each
//   function column      per slot: 0 for an empty slot, else function id + 1
//   start column         per record: the difference from the previous
//                        record's start (from 0 for the first), wrapping
//   duration column      per record
//   parent column        per record: its index less its parent's, wrapping
//
// Columns follow one another, so that each one's values sit together for the
// compressor; deltas keep them small: in index order starts rise and a
// parent is mostly close above.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "common/ref.h"
#include "containers.h"
#include "parse.h"
#include "string_table.h"
#include "trace.h"
#include "tree.h"

namespace {

uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }

int64_t unzigzag(uint64_t v) { return static_cast<int64_t>((v >> 1) ^ (0 - (v & 1))); }

class Packer {
 public:
  bool varint(uint64_t v) {
    char bytes[10];
    size_t n = 0;
    while (v >= 0x80) {
      bytes[n++] = static_cast<char>(0x80 | (v & 0x7F));
      v >>= 7;
    }
    bytes[n++] = static_cast<char>(v);
    return out.append(bytes, n);
  }
  Array<char> out;
};

bool pack_trace(const Trace* r, Packer* p) {
  auto strings = static_cast<uint32_t>(r->strings.size());
  if (!p->varint(r->coroutines ? 1 : 0) || !p->varint(static_cast<uint64_t>(r->slots)) || !p->varint(strings))
    return false;
  for (uint32_t id = 0; id < strings; ++id)
    if (!p->varint(r->strings[id].n)) return false;
  for (uint32_t id = 0; id < strings; ++id)
    if (!p->out.append(r->strings[id].p, r->strings[id].n)) return false;
  if (!p->varint(r->functions.size())) return false;
  for (size_t f = 0; f < r->functions.size(); ++f) {
    const Function& fn = r->functions[f];
    if (!p->varint(fn.name) || !p->varint(fn.file) || !p->varint(static_cast<uint64_t>(fn.line))) return false;
  }
  size_t slots = static_cast<size_t>(r->slots);
  for (uint32_t i = 0; i < slots; ++i)
    if (!p->varint(is_record(r, i) ? uint64_t{r->func[i]} + 1 : 0)) return false;
  uint64_t previous = 0;
  for (uint32_t i = 0; i < slots; ++i) {
    if (!is_record(r, i)) continue;
    uint64_t start = static_cast<uint64_t>(r->start[i]);
    if (!p->varint(zigzag(static_cast<int64_t>(start - previous)))) return false;
    previous = start;
  }
  for (uint32_t i = 0; i < slots; ++i)
    if (is_record(r, i) && !p->varint(zigzag(r->duration[i]))) return false;
  for (uint32_t i = 0; i < slots; ++i)
    if (is_record(r, i) && !p->varint(zigzag(static_cast<int64_t>(uint64_t{i} - static_cast<uint64_t>(r->parent[i])))))
      return false;
  return true;
}

// Reads a pack front to back; every count is checked against the bytes left
// before anything is allocated for it. A failure sets ValueError naming what
// is wrong.
class Unpacker {
 public:
  Unpacker(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}

  size_t left() const { return static_cast<size_t>(end_ - p_); }

  bool varint(uint64_t* v, const char* what) {
    uint64_t value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (p_ == end_) return fail("ends inside", what);
      uint8_t b = *p_++;
      if (shift == 63 && b > 1) return fail("has an out-of-range number in", what);
      value |= uint64_t{b & 0x7Fu} << shift;
      if (!(b & 0x80)) {
        *v = value;
        return true;
      }
    }
    return fail("has an out-of-range number in", what);
  }

  // A count of items that take at least `each` bytes apiece from here on.
  bool count(uint64_t* n, size_t each, uint64_t limit, const char* what) {
    if (!varint(n, what)) return false;
    if (*n > limit || *n > left() / each) return fail("claims more than it holds in", what);
    return true;
  }

  bool bytes(const uint8_t** at, size_t n, const char* what) {
    if (n > left()) return fail("ends inside", what);
    *at = p_;
    p_ += n;
    return true;
  }

  bool fail(const char* problem, const char* what) {
    PyErr_Format(PyExc_ValueError, "the thread's data %s %s", problem, what);
    return false;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Whether p[0, n) is UTF-8 as the reader interns it: shortest forms of code
// points up to U+10FFFF, lone surrogates allowed.
bool valid_text(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n;) {
    uint8_t b = p[i];
    size_t extra;
    uint32_t cp, least;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, cp = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, cp = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, cp = b & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (n - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF) return false;
    i += extra + 1;
  }
  return true;
}

uint8_t kind_of_function(const Trace* r, const Function& fn) {
  if (fn.line == 0 && is_string(r, fn.file, "<built-in>")) return kBuiltin;
  if (fn.line == 0 && is_string(r, fn.file, "") && is_string(r, fn.name, "[await]")) return kAwait;
  return kCall;
}

// The string table: lengths, then the text; each string valid and unique.
bool unpack_strings(Trace* r, Unpacker* in) {
  uint64_t n;
  if (!in->count(&n, 1, kNone - 1, "the string table")) return false;
  Array<uint32_t> lengths;
  if (!lengths.resize(n)) return false;
  uint64_t total = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t length;
    if (!in->varint(&length, "the string lengths")) return false;
    total += length;
    if (length > in->left() || total > in->left() || length > UINT32_MAX) return in->fail("claims more than it holds in", "the string table");
    lengths[i] = static_cast<uint32_t>(length);
  }
  const uint8_t* text;
  if (!in->bytes(&text, static_cast<size_t>(total), "the string table")) return false;
  if (!valid_text(text, static_cast<size_t>(total))) return in->fail("has text that is not UTF-8 in", "the string table");
  for (uint32_t id = 0; id < n; ++id) {
    uint32_t got = r->strings.intern(reinterpret_cast<const char*>(text), lengths[id]);
    if (got == kNone) return false;
    if (got != id) return in->fail("has a string twice in", "the string table");
    text += lengths[id];
  }
  return true;
}

bool unpack_trace(Trace* r, const uint8_t* data, size_t size) {
  Unpacker in(data, size);
  uint64_t flags, slots, functions;
  if (!in.varint(&flags, "the flags")) return false;
  if (flags > 1) return in.fail("has unknown flags in", "its header");
  r->coroutines = flags & 1;
  if (!in.count(&slots, 1, kNone / 2 - 1, "the records") || !unpack_strings(r, &in)) return false;
  auto strings = static_cast<uint32_t>(r->strings.size());
  if (!in.count(&functions, 3, kNone - 1, "the function table")) return false;
  Array<Function> table;
  if (!table.resize(functions)) return false;
  for (uint64_t f = 0; f < functions; ++f) {
    uint64_t name, file, line;
    if (!in.varint(&name, "the function table") || !in.varint(&file, "the function table") ||
        !in.varint(&line, "the function table"))
      return false;
    if (name >= strings || file >= strings) return in.fail("names a string past the table in", "the function table");
    if (line > static_cast<uint64_t>(INT64_MAX)) return in.fail("has an out-of-range line in", "the function table");
    table[f] = {static_cast<uint32_t>(name), static_cast<uint32_t>(file), static_cast<int64_t>(line), 0};
    table[f].kind = kind_of_function(r, table[f]);
  }
  size_t n = static_cast<size_t>(slots);
  r->slots = static_cast<Py_ssize_t>(n);
  if (!r->kind.resize(n) || !r->name.resize(n) || !r->file.resize(n) || !r->line.resize(n) ||
      !r->start.resize(n) || !r->duration.resize(n) || !r->parent.resize(n))
    return false;
  for (size_t i = 0; i < n; ++i) {
    uint64_t f;
    if (!in.varint(&f, "the function column")) return false;
    if (f > functions) return in.fail("names a function past the table in", "the function column");
    if (f == 0) {
      r->kind[i] = kEmpty;
      continue;
    }
    const Function& fn = table[f - 1];
    r->kind[i] = fn.kind;
    r->name[i] = fn.name;
    r->file[i] = fn.file;
    r->line[i] = fn.line;
    ++r->count;
  }
  uint64_t start = 0, v;
  for (size_t i = 0; i < n; ++i) {
    if (r->kind[i] == kEmpty) continue;
    if (!in.varint(&v, "the start column")) return false;
    start += static_cast<uint64_t>(unzigzag(v));
    r->start[i] = static_cast<int64_t>(start);
  }
  for (size_t i = 0; i < n; ++i) {
    if (r->kind[i] == kEmpty) continue;
    if (!in.varint(&v, "the duration column")) return false;
    r->duration[i] = unzigzag(v);
  }
  for (size_t i = 0; i < n; ++i) {
    if (r->kind[i] == kEmpty) continue;
    if (!in.varint(&v, "the parent column")) return false;
    int64_t parent = static_cast<int64_t>(uint64_t{i} - static_cast<uint64_t>(unzigzag(v)));
    if (parent < -1 || parent == static_cast<int64_t>(i))
      return in.fail("has a record whose parent is itself or below -1 in", "the parent column");
    r->parent[i] = parent;
  }
  if (in.left()) return in.fail("has bytes past", "its last column");
  return build_tree(r) && build_functions(r);
}

// A new list of the record strings as the tracer wrote them, None kept.
PyObject* record_strings(const Trace* r) {
  Ref<> list = Ref<>::steal(PyList_New(r->slots));
  if (!list) return nullptr;
  Array<char> text;
  for (Py_ssize_t i = 0; i < r->slots; ++i) {
    auto node = static_cast<uint32_t>(i);
    PyObject* item;
    if (!is_record(r, node)) {
      item = Py_NewRef(Py_None);
    } else {
      StringView name = r->strings[r->name[node]], file = r->strings[r->file[node]];
      char numbers[96];
      int n = snprintf(numbers, sizeof numbers, "%lld\x01%lld\x01%lld\x01%lld", static_cast<long long>(r->line[node]),
                       static_cast<long long>(r->start[node]), static_cast<long long>(r->duration[node]),
                       static_cast<long long>(r->parent[node]));
      text.clear();
      if (!text.append(name.p, name.n) || !text.push('\0') || !text.append(file.p, file.n) || !text.push('\0') ||
          !text.append(numbers, static_cast<size_t>(n)))
        return nullptr;
      item = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
      if (!item) return nullptr;
    }
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list.release();
}

// --- the Reader's methods

PyObject* Reader_pack(PyObject* self, PyObject*) {
  Packer packer;
  if (!pack_trace(&reinterpret_cast<ReaderObject*>(self)->trace, &packer)) return nullptr;
  return PyBytes_FromStringAndSize(packer.out.data(), static_cast<Py_ssize_t>(packer.out.size()));
}

// Reader.unpack(data): a new Reader from a pack; ValueError if it is not one.
PyObject* Reader_unpack(PyObject* cls, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref<> self = Ref<>::steal(type->tp_alloc(type, 0));
  bool ok = false;
  if (self) {
    Trace* r = new (&reinterpret_cast<ReaderObject*>(self.get())->trace) Trace;
    ok = unpack_trace(r, static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len));
  }
  PyBuffer_Release(&view);
  return ok ? self.release() : nullptr;
}

PyObject* Reader_get_coroutines(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<ReaderObject*>(self)->trace.coroutines);
}

PyObject* Reader_record_strings(PyObject* self, PyObject*) {
  return record_strings(&reinterpret_cast<ReaderObject*>(self)->trace);
}

}  // namespace
