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
// Node ids: 0..slots-1 are the list's indices (a None slot that records name
// as their parent is a placeholder node); slots.. are placeholders for parent
// indices past the end of the list, in ascending order of that index.
//
// Reference rules of this file: Ref<> (tracer/ref.h, shared with the tracer)
// owns one strong reference (steal adopts a new one, release hands it back);
// raw PyObject pointers are borrowed. Helpers that return a new reference say
// so.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "../tracer/ref.h"

namespace {

// A growable array of trivially copyable T on malloc; grow() reports failure
// with a MemoryError set.
template <typename T>
class Array {
 public:
  Array() noexcept = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() { free(data_); }
  T* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  T& operator[](size_t i) const noexcept {
    assert(i < size_);
    return data_[i];
  }
  bool reserve(size_t n) noexcept {
    if (n <= capacity_) return true;
    size_t capacity = capacity_ ? capacity_ : 16;
    while (capacity < n) capacity *= 2;
    if (capacity > PY_SSIZE_T_MAX / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    T* grown = static_cast<T*>(realloc(data_, capacity * sizeof(T)));
    if (!grown) {
      PyErr_NoMemory();
      return false;
    }
    data_ = grown;
    capacity_ = capacity;
    return true;
  }
  // Sets the size to n; new elements are zero.
  bool resize(size_t n) noexcept {
    if (!reserve(n)) return false;
    if (n > size_) memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
    return true;
  }
  bool push(const T& value) noexcept {
    if (size_ == capacity_ && !reserve(size_ + 1)) return false;
    data_[size_++] = value;
    return true;
  }
  bool append(const T* values, size_t n) noexcept {
    if (n == 0) return true;
    if (!reserve(size_ + n)) return false;
    memcpy(static_cast<void*>(data_ + size_), values, n * sizeof(T));
    size_ += n;
    return true;
  }
  void clear() noexcept { size_ = 0; }
  void swap(Array& other) noexcept {
    T* data = data_;
    size_t size = size_, capacity = capacity_;
    data_ = other.data_, size_ = other.size_, capacity_ = other.capacity_;
    other.data_ = data, other.size_ = size, other.capacity_ = capacity;
  }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

constexpr uint32_t kNone = UINT32_MAX;

// memcmp, for ranges that may be empty (and then have no pointer).
bool same_bytes(const char* a, const char* b, size_t n) noexcept { return n == 0 || memcmp(a, b, n) == 0; }

uint64_t mix(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

// Open-addressing index from keys to dense ids 0..n-1. The caller keeps the
// keys; find_or_add() takes the key's hash and an equality test against an
// existing id, and returns the id (`added` tells a new one) or kNone on
// memory failure.
class HashIndex {
 public:
  template <typename Equal>
  uint32_t find_or_add(uint64_t hash, Equal equal, uint32_t next_id, bool* added) noexcept {
    if ((count_ + 1) * 2 > slots_.size() && !rehash()) return kNone;
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      if (slots_[i].id == kNone) {
        slots_[i] = {hash, next_id};
        ++count_;
        *added = true;
        return next_id;
      }
      if (slots_[i].hash == hash && equal(slots_[i].id)) {
        *added = false;
        return slots_[i].id;
      }
    }
  }

 private:
  struct Slot {
    uint64_t hash;
    uint32_t id;
  };
  bool rehash() noexcept {
    size_t n = slots_.size() ? slots_.size() * 2 : 64;
    Array<Slot> fresh;
    if (!fresh.resize(n)) return false;
    for (size_t i = 0; i < n; ++i) fresh[i].id = kNone;
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].id == kNone) continue;
      for (size_t j = slots_[i].hash & (n - 1);; j = (j + 1) & (n - 1)) {
        if (fresh[j].id == kNone) {
          fresh[j] = slots_[i];
          break;
        }
      }
    }
    slots_.swap(fresh);
    return true;
  }
  Array<Slot> slots_;
  size_t count_ = 0;
};

// ---------------------------------------------------------------------------
// Output in bounded chunks

constexpr size_t kChunk = 512 * 1024;

class Sink {
 public:
  explicit Sink(PyObject* write) noexcept : write_(write) {}
  bool ok() const noexcept { return !failed_; }
  void put(const char* p, size_t n) noexcept {
    if (failed_ || n == 0) return;
    if (used_ + n > kChunk) flush();
    if (n > kChunk) {
      hand_over(p, n);
      return;
    }
    memcpy(buf_ + used_, p, n);
    used_ += n;
  }
  void put(const char* s) noexcept { put(s, strlen(s)); }
  void put(char c) noexcept {
    if (used_ == kChunk) flush();
    if (!failed_) buf_[used_++] = c;
  }
  void repeat(char c, size_t n) noexcept {
    while (n--) put(c);
  }
  void number(long long v) noexcept {
    if (v < 0) {
      put('-');
      unsigned_number(0ULL - static_cast<unsigned long long>(v));
    } else {
      unsigned_number(static_cast<unsigned long long>(v));
    }
  }
  void unsigned_number(unsigned long long v) noexcept {
    char digits[20];
    size_t i = sizeof digits;
    do {
      digits[--i] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    put(digits + i, sizeof digits - i);
  }
  // The whole number with a comma between thousands.
  void grouped(unsigned long long v) noexcept {
    char digits[32];
    int n = snprintf(digits, sizeof digits, "%llu", v);
    for (int i = 0; i < n; ++i) {
      if (i && (n - i) % 3 == 0) put(',');
      put(digits[i]);
    }
  }
  bool flush() noexcept {
    if (!failed_ && used_) hand_over(buf_, used_);
    used_ = 0;
    return !failed_;
  }

 private:
  // Passes bytes to write(); a short count (a raw file) is followed by the rest.
  void hand_over(const char* p, size_t n) noexcept {
    while (n && !failed_) {
      Ref<> chunk = Ref<>::steal(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
      Ref<> result = chunk ? Ref<>::steal(PyObject_CallOneArg(write_, chunk.get())) : Ref<>();
      if (!result) {
        failed_ = true;
        return;
      }
      size_t written = n;
      if (PyLong_Check(result.get())) {
        Py_ssize_t count = PyLong_AsSsize_t(result.get());
        if (count < 0 || static_cast<size_t>(count) > n) {
          if (!PyErr_Occurred())
            PyErr_Format(PyExc_OSError, "write() returned %zd for %zu bytes", count, n);
          failed_ = true;
          return;
        }
        written = static_cast<size_t>(count);
        if (written == 0) {
          PyErr_SetString(PyExc_OSError, "write() wrote nothing");
          failed_ = true;
          return;
        }
      }
      p += written;
      n -= written;
    }
  }
  PyObject* write_;  // borrowed
  size_t used_ = 0;
  bool failed_ = false;
  char buf_[kChunk];
};

// Right-aligns what `fill` writes in `width` columns (ASCII only).
template <typename Fill>
void put_right(Sink& out, size_t width, Fill fill) {
  char text[64];
  size_t n = fill(text, sizeof text);
  if (n < width) out.repeat(' ', width - n);
  out.put(text, n);
}

// A duration for people, as spantree.format_duration writes it.
size_t format_duration(char* text, size_t size, long long ns) {
  unsigned long long magnitude = ns < 0 ? 0ULL - static_cast<unsigned long long>(ns)
                                        : static_cast<unsigned long long>(ns);
  int n;
  if (magnitude < 1000)
    n = snprintf(text, size, "%lld ns", ns);
  else if (magnitude < 1000000)
    n = snprintf(text, size, magnitude >= 10000 ? "%.1f us" : "%.2f us", ns / 1e3);
  else if (magnitude < 1000000000)
    n = snprintf(text, size, magnitude >= 10000000 ? "%.1f ms" : "%.2f ms", ns / 1e6);
  else
    n = snprintf(text, size, "%.2f s", static_cast<double>(ns) / 1e9);
  return static_cast<size_t>(n);
}

// Writes UTF-8 text (lone surrogates in their three-byte form) for a text
// view: surrogates become \udXXX, as Python's backslashreplace writes them.
void put_text(Sink& out, const char* p, size_t n) {
  size_t run = 0;
  for (size_t i = 0; i < n;) {
    auto b = static_cast<unsigned char>(p[i]);
    if (b == 0xED && i + 2 < n + 0 && (static_cast<unsigned char>(p[i + 1]) & 0xE0) == 0xA0) {
      out.put(p + run, i - run);
      unsigned cp = 0xD000 | ((static_cast<unsigned char>(p[i + 1]) & 0x3F) << 6) |
                    (static_cast<unsigned char>(p[i + 2]) & 0x3F);
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", cp);
      out.put(esc, 6);
      i += 3;
      run = i;
    } else {
      ++i;
    }
  }
  out.put(p + run, n - run);
}

// Writes a JSON string body: quotes, backslashes and control characters
// escaped, lone surrogates as \uDXXX.
void put_json(Sink& out, const char* p, size_t n) {
  size_t run = 0;
  for (size_t i = 0; i < n; ++i) {
    auto b = static_cast<unsigned char>(p[i]);
    char esc[8];
    size_t len = 0;
    size_t skip = 1;
    if (b == '"' || b == '\\') {
      esc[0] = '\\';
      esc[1] = static_cast<char>(b);
      len = 2;
    } else if (b < 0x20) {
      len = static_cast<size_t>(snprintf(esc, sizeof esc, "\\u%04x", b));
    } else if (b == 0xED && i + 2 < n + 0 && (static_cast<unsigned char>(p[i + 1]) & 0xE0) == 0xA0) {
      unsigned cp = 0xD000 | ((static_cast<unsigned char>(p[i + 1]) & 0x3F) << 6) |
                    (static_cast<unsigned char>(p[i + 2]) & 0x3F);
      len = static_cast<size_t>(snprintf(esc, sizeof esc, "\\u%04x", cp));
      skip = 3;
    } else {
      continue;
    }
    out.put(p + run, i - run);
    out.put(esc, len);
    i += skip - 1;
    run = i + 1;
  }
  out.put(p + run, n - run);
}

// ---------------------------------------------------------------------------
// The reader

enum Kind : uint8_t { kPlaceholder = 0, kCall = 1, kBuiltin = 2, kCoroutine = 3, kAwait = 4, kEmpty = 5 };

struct Function {
  uint32_t name, file;
  int64_t line;
  uint8_t kind;  // kCall, kBuiltin, kCoroutine (a call that was a coroutine anywhere) or kAwait
};

struct Trace {
  Py_ssize_t slots = 0;  // length of the records list
  Py_ssize_t count = 0;  // records (slots holding one)
  bool coroutines = false;
  // Per node id.
  Array<uint8_t> kind;
  Array<uint32_t> name, file, func, depth;
  Array<int64_t> line, start, duration, parent;
  Array<uint32_t> first_child;  // node count + 1 entries into `children`
  Array<uint32_t> children;
  Array<uint32_t> roots;
  Array<uint32_t> order;        // every node in pre-order
  Array<int64_t> extra;         // the index value of each placeholder past the list
  // Interned strings: UTF-8 bytes of id i at text[offset[i], offset[i+1]).
  Array<char> text;
  Array<uint32_t> offset;
  Array<Function> functions;
};

struct ReaderObject {
  PyObject_HEAD
  Trace trace;  // constructed in place by Reader_new, destroyed by Reader_dealloc
};

struct StringView {
  const char* p;
  size_t n;
};

StringView string_of(const Trace* r, uint32_t id) {
  return {r->text.data() + r->offset[id], r->offset[id + 1] - r->offset[id]};
}

size_t node_count(const Trace* r) { return r->kind.size(); }

// The index a node stands for: its slot, or the parent index past the list.
int64_t node_index(const Trace* r, uint32_t node) {
  return node < r->slots ? node : r->extra[node - static_cast<size_t>(r->slots)];
}

bool is_record(const Trace* r, uint32_t node) {
  uint8_t k = r->kind[node];
  return k != kPlaceholder && k != kEmpty;
}

int64_t clamped(int64_t ns) { return ns < 0 ? 0 : ns; }

// --- parsing

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

class Interner {
 public:
  explicit Interner(Trace* r) noexcept : r_(r) {}

  // The id of text[begin, end), added if new; kNone on memory failure.
  // `role` (0 name, 1 file) keeps the last id of each: neighbouring records
  // mostly repeat them, and a comparison is cheaper than a lookup.
  uint32_t intern(PyObject* str, Py_ssize_t begin, Py_ssize_t end, int role) {
    const char* p;
    size_t n;
    if (PyUnicode_IS_ASCII(str)) {
      p = static_cast<const char*>(PyUnicode_DATA(str)) + begin;
      n = static_cast<size_t>(end - begin);
    } else {
      scratch_.clear();
      int kind = PyUnicode_KIND(str);
      const void* data = PyUnicode_DATA(str);
      for (Py_ssize_t i = begin; i < end; ++i)
        if (!encode(PyUnicode_READ(kind, data, i))) return kNone;
      p = scratch_.data();
      n = scratch_.size();
    }
    if (last_[role] != kNone) {
      StringView s = string_of(r_, last_[role]);
      if (s.n == n && same_bytes(s.p, p, n)) return last_[role];
    }
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
    h = mix(h);
    uint32_t next = static_cast<uint32_t>(r_->offset.size() - 1);
    bool added;
    Trace* r = r_;
    uint32_t id = index_.find_or_add(
        h,
        [r, p, n](uint32_t other) {
          StringView s = string_of(r, other);
          return s.n == n && same_bytes(s.p, p, n);
        },
        next, &added);
    if (id == kNone) return kNone;
    if (added) {
      if (r_->text.size() + n > UINT32_MAX) {
        PyErr_SetString(PyExc_MemoryError, "the trace's names and files exceed 4 GiB");
        return kNone;
      }
      if (!r_->text.append(p, n) || !r_->offset.push(static_cast<uint32_t>(r_->text.size())))
        return kNone;
    }
    return last_[role] = id;
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
  Trace* r_;
  HashIndex index_;
  Array<char> scratch_;
  uint32_t last_[2] = {kNone, kNone};
};

int compare_int64(const void* a, const void* b) {
  int64_t x = *static_cast<const int64_t*>(a), y = *static_cast<const int64_t*>(b);
  return (x > y) - (x < y);
}

bool is_string(const Trace* r, uint32_t id, const char* s) {
  StringView v = string_of(r, id);
  return v.n == strlen(s) && same_bytes(v.p, s, v.n);
}

// Fills the per-slot arrays from the list; false with an exception set.
bool parse_records(Trace* r, PyObject* seq) {
  size_t slots = static_cast<size_t>(r->slots);
  if (!r->kind.resize(slots) || !r->name.resize(slots) || !r->file.resize(slots) ||
      !r->line.resize(slots) || !r->start.resize(slots) || !r->duration.resize(slots) ||
      !r->parent.resize(slots) || !r->offset.push(0))
    return false;
  Interner interner(r);
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

// The node a record hangs under, kNone at the top.
uint32_t parent_node(const Trace* r, uint32_t node) {
  int64_t p = r->parent[node];
  if (p == -1) return kNone;
  if (p < r->slots) return static_cast<uint32_t>(p);
  auto found = static_cast<const int64_t*>(
      bsearch(&p, r->extra.data(), r->extra.size(), sizeof(int64_t), compare_int64));
  assert(found);
  return static_cast<uint32_t>(r->slots + (found - r->extra.data()));
}

// A placeholder spans its children, from the earliest start to the latest
// end, so that a drawing can show it; no view counts its time.
void span_children(Trace* r, uint32_t node) {
  uint32_t first = r->first_child[node], last = r->first_child[node + 1];
  assert(first < last);
  int64_t start = INT64_MAX;
  __int128 end = INT64_MIN;
  for (uint32_t c = first; c < last; ++c) {
    uint32_t child = r->children[c];
    if (r->start[child] < start) start = r->start[child];
    __int128 child_end = static_cast<__int128>(r->start[child]) + r->duration[child];
    if (child_end > end) end = child_end;
  }
  // Only a span past 2**63 ns (292 years) does not fit: it stays the largest.
  __int128 duration = end - start;
  r->start[node] = start;
  r->duration[node] = duration > INT64_MAX ? INT64_MAX : static_cast<int64_t>(duration);
}

bool build_tree(Trace* r) {
  size_t slots = static_cast<size_t>(r->slots);
  for (size_t i = 0; i < slots; ++i)
    if (is_record(r, i) && r->parent[i] >= r->slots && !r->extra.push(r->parent[i])) return false;
  if (r->extra.size()) qsort(r->extra.data(), r->extra.size(), sizeof(int64_t), compare_int64);
  size_t unique = 0;
  for (size_t i = 0; i < r->extra.size(); ++i)
    if (!unique || r->extra[unique - 1] != r->extra[i]) r->extra[unique++] = r->extra[i];
  r->extra.resize(unique);
  size_t nodes = slots + unique;
  if (nodes >= kNone) {
    PyErr_SetString(PyExc_MemoryError, "too many records");
    return false;
  }
  if (!r->kind.resize(nodes) || !r->name.resize(nodes) || !r->file.resize(nodes) ||
      !r->line.resize(nodes) || !r->start.resize(nodes) || !r->duration.resize(nodes) ||
      !r->parent.resize(nodes) || !r->first_child.resize(nodes + 1) ||
      !r->children.resize(static_cast<size_t>(r->count)) || !r->depth.resize(nodes) ||
      !r->order.reserve(nodes))
    return false;
  for (size_t i = slots; i < nodes; ++i) r->kind[i] = kPlaceholder;

  // Children in index order, counted first then placed.
  for (uint32_t i = 0; i < slots; ++i)
    if (is_record(r, i)) {
      uint32_t p = parent_node(r, i);
      if (p != kNone) {
        ++r->first_child[p + 1];
        if (r->kind[p] == kEmpty) r->kind[p] = kPlaceholder;
      }
    }
  for (size_t i = 0; i < nodes; ++i) r->first_child[i + 1] += r->first_child[i];
  Array<uint32_t> fill;
  if (!fill.append(r->first_child.data(), nodes)) return false;
  for (uint32_t i = 0; i < slots; ++i)
    if (is_record(r, i)) {
      uint32_t p = parent_node(r, i);
      if (p == kNone) {
        if (!r->roots.push(i)) return false;
      } else {
        r->children[fill[p]++] = i;
      }
    } else if (r->kind[i] == kPlaceholder && !r->roots.push(i)) {
      return false;
    }
  for (size_t i = slots; i < nodes; ++i)
    if (!r->roots.push(static_cast<uint32_t>(i))) return false;
  for (uint32_t i = 0; i < nodes; ++i)
    if (r->kind[i] == kPlaceholder) span_children(r, i);

  // Kinds: a call with an await under it, or at the top of a coroutine-aware
  // trace, is a coroutine.
  for (uint32_t i = 0; i < slots; ++i) {
    if (!is_record(r, i)) continue;
    uint32_t p = parent_node(r, i);
    if (r->kind[i] == kAwait && p != kNone && r->kind[p] == kCall)
      r->kind[p] = kCoroutine;
    else if (r->coroutines && p == kNone && r->kind[i] == kCall)
      r->kind[i] = kCoroutine;
  }

  // Pre-order with depths; what no root reaches lies on a parent cycle.
  Array<uint32_t> stack;
  for (size_t i = r->roots.size(); i-- > 0;)
    if (!stack.push(r->roots[i])) return false;
  while (stack.size()) {
    uint32_t node = stack[stack.size() - 1];
    stack.resize(stack.size() - 1);
    r->order.push(node);
    for (uint32_t c = r->first_child[node + 1]; c-- > r->first_child[node];) {
      r->depth[r->children[c]] = r->depth[node] + 1;
      if (!stack.push(r->children[c])) return false;
    }
  }
  size_t placeholders = 0;
  for (size_t i = 0; i < nodes; ++i) placeholders += r->kind[i] == kPlaceholder;
  if (r->order.size() != static_cast<size_t>(r->count) + placeholders) {
    Array<uint8_t> seen;
    if (!seen.resize(nodes)) return false;
    for (size_t i = 0; i < r->order.size(); ++i) seen[r->order[i]] = 1;
    size_t stray = 0;
    while (!is_record(r, static_cast<uint32_t>(stray)) || seen[stray]) ++stray;
    PyErr_Format(PyExc_ValueError, "record %zu is not reachable from the top: its parents form a cycle",
                 stray);
    return false;
  }
  return true;
}

// Function ids: one per (name, file, line) among the records.
bool build_functions(Trace* r) {
  size_t nodes = node_count(r);
  if (!r->func.resize(nodes)) return false;
  HashIndex index;
  for (uint32_t i = 0; i < nodes; ++i) {
    if (!is_record(r, i)) {
      r->func[i] = kNone;
      continue;
    }
    uint64_t h = mix((static_cast<uint64_t>(r->name[i]) << 32 | r->file[i]) ^ mix(r->line[i]));
    bool added;
    uint32_t name = r->name[i], file = r->file[i];
    int64_t line = r->line[i];
    uint32_t id = index.find_or_add(
        h,
        [r, name, file, line](uint32_t f) {
          const Function& fn = r->functions[f];
          return fn.name == name && fn.file == file && fn.line == line;
        },
        static_cast<uint32_t>(r->functions.size()), &added);
    if (id == kNone) return false;
    if (added && !r->functions.push({name, file, line, r->kind[i]})) return false;
    if (r->kind[i] == kCoroutine) r->functions[id].kind = kCoroutine;
    r->func[i] = id;
  }
  return true;
}

// --- labels shared by the text views

StringView basename_of(StringView file) {
  size_t i = file.n;
  while (i > 0 && file.p[i - 1] != '/') --i;
  return {file.p + i, file.n - i};
}

void put_string(Sink& out, const Trace* r, uint32_t id) {
  StringView s = string_of(r, id);
  put_text(out, s.p, s.n);
}

void put_location(Sink& out, const Trace* r, uint32_t node) {
  StringView base = basename_of(string_of(r, r->file[node]));
  put_text(out, base.p, base.n);
  out.put(':');
  out.number(r->line[node]);
}

// The label of a node; `count` above one adds " ×count" after the name.
void put_label(Sink& out, const Trace* r, uint32_t node, size_t count) {
  uint8_t kind = r->kind[node];
  if (kind == kPlaceholder) {
    out.put("[unknown]  #");
    out.number(node_index(r, node));
    out.put(r->coroutines ? " left no record (still open at the end, or a coroutine dropped, or a call "
                            "dropped as the clock stepped back)"
                          : " left no record (still open at the end, or dropped as the clock stepped back)");
    return;
  }
  if (kind == kAwait)
    out.put("[await]");
  else
    put_string(out, r, r->name[node]);
  if (count > 1) {
    out.put(" \xC3\x97");
    out.grouped(count);
  }
  switch (kind) {
    case kAwait:
      out.put("  (suspended)");
      break;
    case kBuiltin:
      out.put("  <built-in>");
      break;
    default:
      out.put("  ");
      put_location(out, r, node);
      if (kind == kCoroutine) out.put("  (coroutine)");
  }
}

// Indentation stops growing at kMaxIndent levels; deeper lines show their depth.
constexpr uint32_t kMaxIndent = 40;

void put_indent(Sink& out, uint32_t depth) {
  if (depth <= kMaxIndent) {
    out.repeat(' ', 2 * depth);
    return;
  }
  out.repeat(' ', 2 * kMaxIndent);
  out.put('[');
  out.number(depth);
  out.put("] ");
}

// ---------------------------------------------------------------------------
// Views

// Sum of the durations of a node's recorded children (negatives as zero).
int64_t children_ns(const Trace* r, uint32_t node) {
  int64_t sum = 0;
  for (uint32_t c = r->first_child[node]; c < r->first_child[node + 1]; ++c)
    sum += clamped(r->duration[r->children[c]]);
  return sum;
}

int64_t self_ns(const Trace* r, uint32_t node) {
  int64_t self = r->duration[node] - children_ns(r, node);
  return self < 0 ? 0 : self;
}

void put_share(Sink& out, double share) {
  put_right(out, 6, [share](char* text, size_t size) {
    return static_cast<size_t>(snprintf(text, size, "%.1f%%", share));
  });
}

// The complete tree, one line per node, as spantree.text_tree writes it
// (without its header line).
void write_full_tree(Sink& out, const Trace* r) {
  // A negative duration (the clock stepped back) takes no share of the top.
  int64_t top_ns = 0;
  for (size_t i = 0; i < r->roots.size(); ++i)
    if (is_record(r, r->roots[i])) top_ns += clamped(r->duration[r->roots[i]]);
  for (size_t i = 0; i < r->order.size() && out.ok(); ++i) {
    uint32_t node = r->order[i];
    bool record = is_record(r, node);
    put_right(out, 10, [r, node, record](char* text, size_t size) {
      return record ? format_duration(text, size, r->duration[node]) : 0;
    });
    out.put("  ");
    bool has_share = false;
    int64_t parent_ns = 0;
    if (r->depth[node] == 0) {
      has_share = true;
      parent_ns = top_ns;
    } else {
      uint32_t p = parent_node(r, node);
      has_share = is_record(r, p);
      parent_ns = r->duration[p];
    }
    if (record && has_share && r->duration[node] >= 0 && parent_ns > 0)
      // As Python divides 100 * duration by parent_ns: one rounding, barring ties.
      put_share(out, static_cast<double>(static_cast<long double>(r->duration[node]) * 100 /
                                         static_cast<long double>(parent_ns)));
    else
      out.repeat(' ', 6);
    out.put("  ");
    put_indent(out, r->depth[node]);
    put_label(out, r, node, 1);
    out.put('\n');
  }
}

// --- the folded tree

// A run of sibling nodes of one function shown as one line. Its members are a
// slice of `children` or `roots` (consecutive siblings) or of the tree's
// `grouped` array (the children of a folded line, gathered by function).
struct Group {
  const uint32_t* members;
  uint32_t count;
  uint32_t depth;
  int64_t total, self, longest;
  bool left_out;  // a "… n shorter calls" line: count calls, `total` ns
};

void measure(const Trace* r, Group* g) {
  g->total = g->self = 0;
  g->longest = INT64_MIN;
  for (uint32_t i = 0; i < g->count; ++i) {
    uint32_t node = g->members[i];
    if (is_record(r, node)) {
      g->total += clamped(r->duration[node]);
      g->self += self_ns(r, node);
      if (r->duration[node] > g->longest) g->longest = r->duration[node];
    } else {
      g->total += children_ns(r, node);
    }
  }
}

class FoldedTree {
 public:
  // `notes`, if not null, is a tuple of bytes by function id, written at the
  // end of each line of that function.
  FoldedTree(const Trace* r, Sink& out, int64_t whole_ns, double min_share, PyObject* notes)
      : r_(r), out_(out), cut_(min_share * static_cast<double>(whole_ns)), whole_(whole_ns), notes_(notes) {}

  bool write() {
    if (!grouped_.resize(node_count(r_)) || !slot_.resize(r_->functions.size())) return false;
    for (size_t i = 0; i < slot_.size(); ++i) slot_[i] = kNone;
    if (!push_runs(r_->roots.data(), static_cast<uint32_t>(r_->roots.size()), 0)) return false;
    while (stack_.size() && out_.ok()) {
      Group g = stack_[stack_.size() - 1];
      stack_.resize(stack_.size() - 1);
      line(g);
      if (!g.left_out && !push_children(g)) return false;
    }
    return true;
  }

 private:
  void line(const Group& g) {
    if (g.left_out) {
      out_.repeat(' ', 30);
      put_indent(out_, g.depth);
      out_.put("\xE2\x80\xA6 ");
      out_.grouped(g.count);
      out_.put(g.count == 1 ? " shorter call, " : " shorter calls, ");
      char text[48];
      out_.put(text, format_duration(text, sizeof text, g.total));
      out_.put('\n');
      return;
    }
    uint32_t first = g.members[0];
    bool record = is_record(r_, first);
    put_right(out_, 10, [&](char* text, size_t size) { return format_duration(text, size, g.total); });
    put_right(out_, 10, [&](char* text, size_t size) {
      return record ? format_duration(text, size, g.self) : 0;
    });
    out_.put("  ");
    if (whole_ > 0)
      put_share(out_, 100.0 * static_cast<double>(g.total) / static_cast<double>(whole_));
    else
      out_.repeat(' ', 6);
    out_.put("  ");
    put_indent(out_, g.depth);
    put_label(out_, r_, first, g.count);
    if (g.count > 1) {
      char text[48];
      out_.put("  (longest ");
      out_.put(text, format_duration(text, sizeof text, g.longest));
      out_.put(')');
    }
    if (notes_ && record) {
      PyObject* note = PyTuple_GET_ITEM(notes_, r_->func[first]);
      out_.put(PyBytes_AS_STRING(note), static_cast<size_t>(PyBytes_GET_SIZE(note)));
    }
    out_.put('\n');
  }

  // Pushes the groups of consecutive siblings in members[0, n), in reverse so
  // that they pop in order, after the line for those left out.
  bool push_runs(const uint32_t* members, uint32_t n, uint32_t depth) {
    size_t mark = pending_.size();
    for (uint32_t i = 0; i < n;) {
      uint32_t j = i + 1;
      uint32_t f = r_->func[members[i]];
      if (f != kNone)
        while (j < n && r_->func[members[j]] == f) ++j;
      if (!add(members + i, j - i, depth)) return false;
      i = j;
    }
    return flush_pending(mark, depth);
  }

  bool add(const uint32_t* members, uint32_t n, uint32_t depth) {
    Group g{members, n, depth, 0, 0, 0, false};
    measure(r_, &g);
    return pending_.push(g);
  }

  // Moves the groups gathered since `mark` to the stack, the cut ones folded
  // into one "left out" line that comes last.
  bool flush_pending(size_t mark, uint32_t depth) {
    Group out{nullptr, 0, depth, 0, 0, 0, true};
    size_t kept = mark;
    for (size_t i = mark; i < pending_.size(); ++i) {
      Group g = pending_[i];
      if (static_cast<double>(g.total) < cut_) {
        out.count += g.count;
        out.total += g.total;
      } else {
        pending_[kept++] = g;
      }
    }
    if (out.count && !stack_.push(out)) return false;
    for (size_t i = kept; i-- > mark;)
      if (!stack_.push(pending_[i])) return false;
    pending_.resize(mark);
    return true;
  }

  bool push_children(const Group& g) {
    if (g.count == 1) {
      uint32_t node = g.members[0];
      uint32_t begin = r_->first_child[node], end = r_->first_child[node + 1];
      return push_runs(r_->children.data() + begin, end - begin, g.depth + 1);
    }
    // Children of several calls gather by function, in order of first appearance.
    size_t mark = pending_.size();
    Array<uint32_t> seen;
    for (uint32_t m = 0; m < g.count; ++m) {
      uint32_t node = g.members[m];
      for (uint32_t c = r_->first_child[node]; c < r_->first_child[node + 1]; ++c) {
        uint32_t f = r_->func[r_->children[c]];
        if (slot_[f] == kNone) {
          slot_[f] = static_cast<uint32_t>(seen.size());
          if (!seen.push(f) || !counts_.push(0)) return false;
        }
        ++counts_[counts_.size() - seen.size() + slot_[f]];
      }
    }
    if (!seen.size()) return true;
    size_t base = counts_.size() - seen.size();
    uint32_t* at = grouped_.data() + used_;
    for (size_t k = 0; k < seen.size(); ++k) {
      uint32_t n = counts_[base + k];
      counts_[base + k] = static_cast<uint32_t>(used_);
      used_ += n;
    }
    for (uint32_t m = 0; m < g.count; ++m) {
      uint32_t node = g.members[m];
      for (uint32_t c = r_->first_child[node]; c < r_->first_child[node + 1]; ++c) {
        uint32_t child = r_->children[c];
        grouped_[counts_[base + slot_[r_->func[child]]]++] = child;
      }
    }
    const uint32_t* begin = at;
    for (size_t k = 0; k < seen.size(); ++k) {
      const uint32_t* end = grouped_.data() + counts_[base + k];
      if (!add(begin, static_cast<uint32_t>(end - begin), g.depth + 1)) return false;
      begin = end;
      slot_[seen[k]] = kNone;
    }
    counts_.resize(base);
    return flush_pending(mark, g.depth + 1);
  }

  const Trace* r_;
  Sink& out_;
  double cut_;
  int64_t whole_;
  Array<uint32_t> grouped_;
  size_t used_ = 0;
  Array<uint32_t> slot_;    // per function: its place among the children being gathered
  Array<uint32_t> counts_;
  Array<Group> stack_;
  Array<Group> pending_;
  PyObject* notes_;  // borrowed
};

// --- collapsed stacks

constexpr uint32_t kMaxStackFrames = 256;

// Frames and stacks are interned: a frame is a label string, a stack is
// (parent stack, frame). Stacks past kMaxStackFrames frames fold into one
// "[deeper]" frame at that depth.
class Collapsed {
 public:
  Collapsed(const Trace* r, Sink& out) : r_(r), out_(out) {}

  bool write() {
    size_t nodes = node_count(r_);
    if (!stack_of_.resize(nodes) || !frame_of_func_.resize(r_->functions.size())) return false;
    for (size_t i = 0; i < frame_of_func_.size(); ++i) frame_of_func_[i] = kNone;
    uint32_t unknown = frame("[unknown]", 9), deeper = frame("[deeper]", 8);
    if (unknown == kNone || deeper == kNone) return false;
    for (size_t i = 0; i < r_->order.size(); ++i) {
      uint32_t node = r_->order[i];
      uint32_t parent_stack = r_->depth[node] ? stack_of_[parent_node(r_, node)] : kNone;
      uint32_t id;
      if (parent_stack != kNone && stacks_[parent_stack].frames >= kMaxStackFrames) {
        id = stacks_[parent_stack].frames == kMaxStackFrames ? stack(parent_stack, deeper) : parent_stack;
      } else {
        uint32_t f = is_record(r_, node) ? function_frame(r_->func[node]) : unknown;
        id = f == kNone ? kNone : stack(parent_stack, f);
      }
      if (id == kNone) return false;
      stack_of_[node] = id;
      if (is_record(r_, node)) {
        if (!stacks_[id].seen) {
          stacks_[id].seen = true;
          if (!seen_order_.push(id)) return false;
        }
        stacks_[id].self += self_ns(r_, node);
      }
    }
    Array<uint32_t> path;
    for (size_t i = 0; i < seen_order_.size() && out_.ok(); ++i) {
      const StackEntry& s = stacks_[seen_order_[i]];
      if (s.self <= 0) continue;
      path.clear();
      for (uint32_t at = seen_order_[i]; at != kNone; at = stacks_[at].parent)
        if (!path.push(stacks_[at].frame)) return false;
      for (size_t k = path.size(); k-- > 0;) {
        StringView f = {frames_.data() + frame_offset_[path[k]],
                        frame_offset_[path[k] + 1] - frame_offset_[path[k]]};
        put_text(out_, f.p, f.n);
        out_.put(k ? ';' : ' ');
      }
      out_.number(s.self);
      out_.put('\n');
    }
    return true;
  }

 private:
  struct StackEntry {
    uint32_t parent, frame, frames;
    bool seen;
    int64_t self;
  };

  // The frame id of a label; kNone on memory failure.
  uint32_t frame(const char* p, size_t n) {
    if (!frame_offset_.size() && !frame_offset_.push(0)) return kNone;
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
    bool added;
    const Array<char>& frames = frames_;
    const Array<uint32_t>& offsets = frame_offset_;
    uint32_t id = frame_index_.find_or_add(
        mix(h),
        [&frames, &offsets, p, n](uint32_t other) {
          size_t len = offsets[other + 1] - offsets[other];
          return len == n && same_bytes(frames.data() + offsets[other], p, n);
        },
        static_cast<uint32_t>(frame_offset_.size() - 1), &added);
    if (id != kNone && added &&
        (!frames_.append(p, n) || !frame_offset_.push(static_cast<uint32_t>(frames_.size()))))
      return kNone;
    return id;
  }

  // "name (file.py:line)" for calls and coroutines, the name for the others;
  // semicolons become commas and newlines spaces.
  uint32_t function_frame(uint32_t f) {
    if (frame_of_func_[f] != kNone) return frame_of_func_[f];
    const Function& fn = r_->functions[f];
    label_.clear();
    StringView name = string_of(r_, fn.name);
    if (!label_.append(name.p, name.n)) return kNone;
    if (fn.kind == kCall || fn.kind == kCoroutine) {
      StringView base = basename_of(string_of(r_, fn.file));
      char line[32];
      int n = snprintf(line, sizeof line, ":%lld)", static_cast<long long>(fn.line));
      if (!label_.append(" (", 2) || !label_.append(base.p, base.n) ||
          !label_.append(line, static_cast<size_t>(n)))
        return kNone;
    }
    for (size_t i = 0; i < label_.size(); ++i) {
      if (label_[i] == ';') label_[i] = ',';
      if (label_[i] == '\n') label_[i] = ' ';
    }
    return frame_of_func_[f] = frame(label_.data(), label_.size());
  }

  uint32_t stack(uint32_t parent, uint32_t frame_id) {
    bool added;
    const Array<StackEntry>& stacks = stacks_;
    uint32_t id = stack_index_.find_or_add(
        mix((static_cast<uint64_t>(parent) << 32) | frame_id),
        [&stacks, parent, frame_id](uint32_t other) {
          return stacks[other].parent == parent && stacks[other].frame == frame_id;
        },
        static_cast<uint32_t>(stacks_.size()), &added);
    if (id != kNone && added) {
      uint32_t frames = parent == kNone ? 1 : stacks_[parent].frames + 1;
      if (!stacks_.push({parent, frame_id, frames, false, 0})) return kNone;
    }
    return id;
  }

  const Trace* r_;
  Sink& out_;
  Array<uint32_t> stack_of_;
  Array<uint32_t> frame_of_func_;
  Array<char> frames_;
  Array<uint32_t> frame_offset_;
  HashIndex frame_index_;
  Array<StackEntry> stacks_;
  HashIndex stack_index_;
  Array<uint32_t> seen_order_;
  Array<char> label_;
};

// --- Chrome Trace Event objects

// ns as microseconds with up to three decimals, exactly.
void put_micros(Sink& out, uint64_t ns) {
  out.unsigned_number(ns / 1000);
  unsigned frac = static_cast<unsigned>(ns % 1000);
  if (!frac) return;
  char text[4] = {'.', static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                  static_cast<char>('0' + frac % 10)};
  size_t n = 4;
  while (text[n - 1] == '0') --n;
  out.put(text, n);
}

const char* const kCategory[] = {"", "call", "built-in", "coroutine", "await", ""};

bool write_chrome(Sink& out, const Trace* r, long long pid, long long tid, int64_t base_ns,
                  bool first) {
  char ids[64];
  int ids_n = snprintf(ids, sizeof ids, ",\"pid\":%lld,\"tid\":%lld", pid, tid);
  for (size_t i = 0; i < r->order.size() && out.ok(); ++i) {
    uint32_t node = r->order[i];
    if (!is_record(r, node)) continue;
    out.put(first ? "{\"ph\":\"X\",\"name\":\"" : ",\n{\"ph\":\"X\",\"name\":\"");
    first = false;
    StringView name = string_of(r, r->name[node]);
    put_json(out, name.p, name.n);
    out.put("\",\"cat\":\"");
    out.put(kCategory[r->kind[node]]);
    out.put("\",\"ts\":");
    int64_t start = r->start[node];
    if (start >= base_ns) {
      put_micros(out, static_cast<uint64_t>(start) - static_cast<uint64_t>(base_ns));
    } else {
      out.put('-');
      put_micros(out, static_cast<uint64_t>(base_ns) - static_cast<uint64_t>(start));
    }
    out.put(",\"dur\":");
    put_micros(out, static_cast<uint64_t>(clamped(r->duration[node])));
    out.put(ids, static_cast<size_t>(ids_n));
    uint8_t kind = r->kind[node];
    bool located = kind == kCall || kind == kCoroutine;
    if (located || r->duration[node] < 0) {
      out.put(",\"args\":{");
      if (located) {
        out.put("\"file\":\"");
        StringView file = string_of(r, r->file[node]);
        put_json(out, file.p, file.n);
        out.put("\",\"line\":");
        out.number(r->line[node]);
      }
      if (r->duration[node] < 0) {
        out.put(located ? ",\"duration_ns\":" : "\"duration_ns\":");
        out.number(r->duration[node]);
      }
      out.put('}');
    }
    out.put('}');
  }
  return !first;
}

}  // namespace

#include "saved.h"

namespace {

// ---------------------------------------------------------------------------
// The Python type

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
  StringView s = string_of(r, id);
  return PyUnicode_DecodeUTF8(s.p, static_cast<Py_ssize_t>(s.n), "surrogatepass");
}

// A new list of every interned string, by id.
PyObject* Reader_strings(PyObject* self, PyObject*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  size_t n = r->offset.size() - 1;
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
      uint32_t f = chain[chain.size() - 1];
      if (f != kNone) --open[f];
      chain.resize(chain.size() - 1);
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
  bool any = false;
  int64_t first = 0;
  for (Py_ssize_t i = 0; i < r->slots; ++i)
    if (is_record(r, static_cast<uint32_t>(i)) && (!any || r->start[i] < first)) {
      first = r->start[i];
      any = true;
    }
  if (!any) Py_RETURN_NONE;
  return PyLong_FromLongLong(first);
}

// The time of the records at the top of the tree (negatives as zero).
PyObject* Reader_get_top_ns(PyObject* self, void*) {
  auto* r = &reinterpret_cast<ReaderObject*>(self)->trace;
  int64_t sum = 0;
  for (size_t i = 0; i < r->roots.size(); ++i) {
    uint32_t node = r->roots[i];
    sum += is_record(r, node) ? clamped(r->duration[node]) : children_ns(r, node);
  }
  return PyLong_FromLongLong(sum);
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
