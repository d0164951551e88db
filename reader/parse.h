// The parser: reads the tracer's record strings (all three str widths) in
// place into the trace's per-slot arrays, interning names and files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/record_format.h"

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

// Splits from the right, as the format requires: the last three number
// separators, then the two name separators before them.
template <typename Unit>
bool split_units(const Unit* data, Py_ssize_t n, Py_ssize_t index, Fields* f) {
  Py_ssize_t cut[kNumberFields];
  Py_ssize_t end = n;
  for (int found = 0; found < kNumberFields; ++found) {
    Py_ssize_t i = end - 1;
    while (i >= 0 && data[i] != kNumberSeparator) --i;
    if (i < 0) return false;
    cut[found] = i;
    end = i;
  }
  Py_ssize_t line_sep = cut[2] - 1;
  while (line_sep >= 0 && data[line_sep] != kNameSeparator) --line_sep;
  if (line_sep < 0) return false;
  Py_ssize_t file_sep = line_sep - 1;
  while (file_sep >= 0 && data[file_sep] != kNameSeparator) --file_sep;
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

// The kind the interned name, file and line of a record say (record_format.h).
uint8_t kind_of(const Trace* r, uint32_t name, uint32_t file, int64_t line) {
  if (line != 0) return kCall;  // the only records the text can name otherwise have line 0
  StringView name_text = r->strings[name], file_text = r->strings[file];
  return kind_of_text(name_text.p, name_text.n, file_text.p, file_text.n, line);
}

// Fills the per-slot arrays from the list; false with an exception set.
bool parse_records(Trace* r, PyObject* seq) {
  size_t slots = static_cast<size_t>(r->slots);
  if (!r->kind.resize(slots) || !r->func.resize(slots) || !r->start.resize(slots) ||
      !r->duration.resize(slots) || !r->parent.resize(slots))
    return false;
  Interner interner(r->strings);
  HashIndex functions;
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
      r->func[i] = kNone;
      continue;
    }
    Fields f;
    if (!PyUnicode_Check(item) || !split_record(item, static_cast<Py_ssize_t>(i), &f)) {
      PyErr_Format(PyExc_ValueError, "record %zu is malformed: expected '%s', got %R", i, kFormatText, item);
      return false;
    }
    uint32_t name = interner.intern(item, 0, f.name_end, 0);
    uint32_t file = name == kNone ? kNone : interner.intern(item, f.file_begin, f.file_end, 1);
    if (file == kNone) return false;
    const uint8_t kind = kind_of(r, name, file, f.line);
    const uint32_t func = intern_function(r, functions, name, file, f.line, kind);
    if (func == kNone) return false;
    r->func[i] = func;
    r->kind[i] = kind;
    r->start[i] = f.start;
    r->duration[i] = f.duration;
    r->parent[i] = f.parent;
    ++r->count;
  }
  return true;
}

}  // namespace
