// Record text: the strings the tracer delivers, one per kept call, built in
// place without PyUnicode_FromFormat. Every builder returns a new reference,
// or null with an exception set; none runs Python code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>
#include <stdint.h>
#include <string.h>

#include "common/record_format.h"

namespace {

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
    assert(count_ < kMostPieces);
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
    add_separator(kNumberSeparator);
    add_number(start_ns);
    add_separator(kNumberSeparator);
    add_number(duration_ns);
    add_separator(kNumberSeparator);
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
    if (count_ == 0 || pieces_[count_ - 1].text) {
      assert(count_ < kMostPieces);
      pieces_[count_++] = {nullptr, ascii_end_, 0};
    }
    return ascii_end_;
  }
  void ascii_written(Py_ssize_t length) {
    assert(ascii_end_ + length <= ascii_ + sizeof ascii_);
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

  static constexpr int kMostPieces = 4;  // str, ASCII, str, ASCII
  Piece pieces_[kMostPieces];
  int count_ = 0;
  Py_ssize_t length_ = 0;
  Py_UCS4 widest_ = 0x7f;
  char ascii_[96];  // literals, separators and three numbers: under 80 characters
  char* ascii_end_ = ascii_;
};

// Record strings in the format of common/record_format.h, named by its rules.

// New reference: the call record of a Python function (its code's
// co_name, co_filename, co_firstlineno). Format
// "%U%c%U%c%i%c%lld%c%lld%c%lld": name 0 file 0 line 1 start 1 duration 1
// parent. A coroutine's record is the call record of its code.
PyObject* python_call_record(PyObject* name, PyObject* file, int line, int64_t start_ns,
                             int64_t duration_ns, int64_t parent_index) {
  RecordText text;
  text.add(name);
  text.add_separator(kNameSeparator);
  text.add(file);
  text.add_separator(kNameSeparator);
  text.add_number(line);
  text.add_times(start_ns, duration_ns, parent_index);
  return text.build();
}

// New reference: the call record of a built-in callable named `name`.
// Format "%U%c%s%c%i%c%lld%c%lld%c%lld": name 0 "<built-in>" 0 0 1 start
// 1 duration 1 parent.
PyObject* builtin_call_record(PyObject* name, int64_t start_ns, int64_t duration_ns,
                              int64_t parent_index) {
  RecordText text;
  text.add(name);
  text.add_separator(kNameSeparator);
  text.add_ascii(kBuiltinFile, sizeof kBuiltinFile - 1);
  text.add_separator(kNameSeparator);
  text.add_number(0);
  text.add_times(start_ns, duration_ns, parent_index);
  return text.build();
}

// New reference: the record of the wait between a coroutine's suspension at
// `suspended_ns` and its resumption. Format "%s%c%c%i%c%lld%c%lld%c%lld":
// "[await]" 0 0 0 1 suspension 1 wait 1 coroutine index.
PyObject* await_record(int64_t suspended_ns, int64_t wait_ns, int64_t coroutine_index) {
  RecordText text;
  text.add_ascii(kAwaitName, sizeof kAwaitName - 1);
  text.add_separator(kNameSeparator);
  text.add_separator(kNameSeparator);
  text.add_number(0);
  text.add_times(suspended_ns, wait_ns, coroutine_index);
  return text.build();
}

// New reference: the record of a call named as naming_of() names it.
PyObject* record_text(const RecordNaming& naming, int64_t start_ns, int64_t duration_ns,
                      int64_t parent_index) {
  switch (naming.kind) {
    case kAwait:
      return await_record(start_ns, duration_ns, parent_index);
    case kBuiltin:
      return builtin_call_record(naming.name, start_ns, duration_ns, parent_index);
    default:
      return python_call_record(naming.name, naming.file, naming.line, start_ns, duration_ns, parent_index);
  }
}

}  // namespace
