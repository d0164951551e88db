// Interned byte strings: each distinct string is stored once and known by a
// dense id. The trace keeps its names and files in one; the collapsed view
// keeps its frame labels in another.
#pragma once

#include "containers.h"

namespace {

struct StringView {
  const char* p;
  size_t n;
};

class StringTable {
 public:
  size_t size() const noexcept { return end_.size(); }
  // The bytes of id, valid until the next intern().
  StringView operator[](uint32_t id) const noexcept {
    uint32_t begin = id ? end_[id - 1] : 0;
    return {text_.data() + begin, end_[id] - begin};
  }
  bool is(uint32_t id, StringView s) const noexcept {
    StringView own = (*this)[id];
    return own.n == s.n && same_bytes(own.p, s.p, s.n);
  }
  // The id of p[0, n), added if new; kNone on memory failure.
  uint32_t intern(const char* p, size_t n) noexcept {
    bool added;
    uint32_t id = index_.find_or_add(
        hash_bytes(p, n), [this, p, n](uint32_t other) { return is(other, {p, n}); },
        static_cast<uint32_t>(size()), &added);
    if (id == kNone || !added) return id;
    if (text_.size() + n > UINT32_MAX) {
      PyErr_SetString(PyExc_MemoryError, "the trace's strings exceed 4 GiB");
      return kNone;
    }
    if (!text_.append(p, n) || !end_.push(static_cast<uint32_t>(text_.size()))) return kNone;
    return id;
  }

 private:
  Array<char> text_;     // the strings one after another
  Array<uint32_t> end_;  // per id: where its bytes end in text_
  HashIndex index_;
};

}  // namespace
