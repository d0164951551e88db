// The parser: reads the tracer's record strings (all three str widths) in
// place into the trace's per-slot arrays, interning names and files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "containers.h"
#include "string_table.h"
#include "trace.h"

namespace {

// One record string's fields, located in its code units.
struct Fields {
  Py_ssize_t name_end, file_begin, file_end;
  int64_t line, start, duration, parent;
};

// Parses an optionally negative run of ASCII digits that fits in int64.
template <typename Unit>
bool parse_integer(const Unit* data, Py_ssize_t begin, Py_ssize_t end, int64_t* out) {
  bool negative = begin < end && data[begin] == '-';
  if (negative) ++begin;
  if (begin == end || end - begin > 19) return false;
  uint64_t value = 0;
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = data[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0)) return false;
  *out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

// Splits like rsplit("\x01", 3), then rsplit("\x00", 2) on the first part.
template <typename Unit>
bool split_units(const Unit* data, Py_ssize_t n, Py_ssize_t index, Fields* f) {
  Py_ssize_t cut[3];
  Py_ssize_t end = n;
  for (int found = 0; found < 3; ++found) {
    Py_ssize_t i = end - 1;
    while (i >= 0 && data[i] != 1) --i;
    if (i < 0) return false;
    cut[found] = i;
    end = i;
  }
  Py_ssize_t line_sep = cut[2] - 1;
  while (line_sep >= 0 && data[line_sep] != 0) --line_sep;
  if (line_sep < 0) return false;
  Py_ssize_t file_sep = line_sep - 1;
  while (file_sep >= 0 && data[file_sep] != 0) --file_sep;
  if (file_sep < 0) return false;
  f->name_end = file_sep;
  f->file_begin = file_sep + 1;
  f->file_end = line_sep;
  return parse_integer(data, line_sep + 1, cut[2], &f->line) &&
         parse_integer(data, cut[2] + 1, cut[1], &f->start) &&
         parse_integer(data, cut[1] + 1, cut[0], &f->duration) &&
         parse_integer(data, cut[0] + 1, n, &f->parent) && f->line >= 0 && f->parent >= -1 &&
         f->parent != index;
}

bool split_record(PyObject* text, Py_ssize_t index, Fields* f) {
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return split_units(static_cast<const Py_UCS1*>(data), n, index, f);
    case PyUnicode_2BYTE_KIND:
      return split_units(static_cast<const Py_UCS2*>(data), n, index, f);
    default:
      return split_units(static_cast<const Py_UCS4*>(data), n, index, f);
  }
}

// Brings a record's name and file into the trace's string table as UTF-8
// (lone surrogates kept in their three-byte form).
class Interner {
 public:
  explicit Interner(StringTable& strings) noexcept : strings_(strings) {}

  // The id of text[begin, end), added if new; kNone on memory failure.
  // `role` (0 name, 1 file) keeps the last id of each: neighbouring records
  // mostly repeat them, and a comparison is cheaper than a lookup.
  uint32_t intern(PyObject* str, Py_ssize_t begin, Py_ssize_t end, int role) {
    StringView s;
    if (PyUnicode_IS_ASCII(str)) {
      s = {static_cast<const char*>(PyUnicode_DATA(str)) + begin, static_cast<size_t>(end - begin)};
    } else {
      scratch_.clear();
      int kind = PyUnicode_KIND(str);
      const void* data = PyUnicode_DATA(str);
      for (Py_ssize_t i = begin; i < end; ++i)
        if (!encode(PyUnicode_READ(kind, data, i))) return kNone;
      s = {scratch_.data(), scratch_.size()};
    }
    if (last_[role] != kNone && strings_.is(last_[role], s)) return last_[role];
    uint32_t id = strings_.intern(s.p, s.n);
    if (id != kNone) last_[role] = id;
    return id;
  }

 private:
  bool encode(Py_UCS4 c) {
    char b[4];
    size_t n;
    if (c < 0x80) {
      b[0] = static_cast<char>(c);
      n = 1;
    } else if (c < 0x800) {
      b[0] = static_cast<char>(0xC0 | (c >> 6));
      b[1] = static_cast<char>(0x80 | (c & 0x3F));
      n = 2;
    } else if (c < 0x10000) {
      b[0] = static_cast<char>(0xE0 | (c >> 12));
      b[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (c & 0x3F));
      n = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | (c >> 18));
      b[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      b[3] = static_cast<char>(0x80 | (c & 0x3F));
      n = 4;
    }
    return scratch_.append(b, n);
  }
  StringTable& strings_;
  Array<char> scratch_;
  uint32_t last_[2] = {kNone, kNone};
};

bool is_string(const Trace* r, uint32_t id, const char* s) { return r->strings.is(id, {s, strlen(s)}); }

// Fills the per-slot arrays from the list; false with an exception set.
bool parse_records(Trace* r, PyObject* seq) {
  size_t slots = static_cast<size_t>(r->slots);
  if (!r->kind.resize(slots) || !r->name.resize(slots) || !r->file.resize(slots) ||
      !r->line.resize(slots) || !r->start.resize(slots) || !r->duration.resize(slots) ||
      !r->parent.resize(slots))
    return false;
  Interner interner(r->strings);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  constexpr size_t kAhead = 8;  // the strings lie apart in memory: fetch them early
  for (size_t i = 0; i < slots; ++i) {
    PyObject* item = items[i];
    if (i + kAhead < slots) {
      __builtin_prefetch(items[i + kAhead]);
      __builtin_prefetch(reinterpret_cast<char*>(items[i + kAhead]) + 64);
    }
    if (item == Py_None) {
      r->kind[i] = kEmpty;
      continue;
    }
    Fields f;
    if (!PyUnicode_Check(item) || !split_record(item, static_cast<Py_ssize_t>(i), &f)) {
      PyErr_Format(PyExc_ValueError,
                   "record %zu is malformed: expected "
                   "'name\\x00file\\x00line\\x01start\\x01duration\\x01parent', got %R",
                   i, item);
      return false;
    }
    uint32_t name = interner.intern(item, 0, f.name_end, 0);
    uint32_t file = name == kNone ? kNone : interner.intern(item, f.file_begin, f.file_end, 1);
    if (file == kNone) return false;
    r->name[i] = name;
    r->file[i] = file;
    r->line[i] = f.line;
    r->start[i] = f.start;
    r->duration[i] = f.duration;
    r->parent[i] = f.parent;
    uint8_t kind = kCall;
    if (f.line == 0 && is_string(r, file, "<built-in>"))
      kind = kBuiltin;
    else if (f.line == 0 && is_string(r, file, "") && is_string(r, name, "[await]"))
      kind = kAwait;
    r->kind[i] = kind;
    ++r->count;
  }
  return true;
}

}  // namespace
