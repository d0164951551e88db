// Output of the reader's views: a Sink gathers bytes and hands them to a
// Python write callable in chunks of at most kChunk bytes, and the helpers
// below write numbers, durations and text into it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <string.h>

#include "common/ref.h"

namespace {

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

}  // namespace
