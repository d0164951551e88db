// Containers of the reader: a growable array of plain values on malloc and
// an open-addressing index from hashed keys to dense ids. Both report a
// memory failure by returning false (or kNone) with a MemoryError set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

// "No node", "no id": every id is below it.
constexpr uint32_t kNone = UINT32_MAX;

// A growable array of trivially copyable T.
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
  // Sets the size to n; new elements are zero. Shrinking cannot fail.
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
  // Removes and returns the last element.
  T pop() noexcept {
    assert(size_ > 0);
    return data_[--size_];
  }
  T& back() const noexcept {
    assert(size_ > 0);
    return data_[size_ - 1];
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

// memcmp, for ranges that may be empty (and then have no pointer).
bool same_bytes(const char* a, const char* b, size_t n) noexcept { return n == 0 || memcmp(a, b, n) == 0; }

// Spreads a key's bits over the whole word, so that the low bits index well.
uint64_t mix(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

// The hash of a byte string (FNV-1a, then mixed).
uint64_t hash_bytes(const char* p, size_t n) noexcept {
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
  return mix(h);
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
    Slot& slot = probe(slots_, hash, equal);
    *added = slot.id == kNone;
    if (*added) {
      slot = {hash, next_id};
      ++count_;
    }
    return slot.id;
  }

 private:
  struct Slot {
    uint64_t hash;
    uint32_t id;
  };
  // The slot holding the id for which `equal` holds, or else the empty slot
  // where that key goes. The table is never full (at most half is used).
  template <typename Equal>
  static Slot& probe(const Array<Slot>& slots, uint64_t hash, Equal equal) noexcept {
    size_t mask = slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots[i];
      if (slot.id == kNone || (slot.hash == hash && equal(slot.id))) return slot;
    }
  }
  bool rehash() noexcept {
    size_t n = slots_.size() ? slots_.size() * 2 : 64;
    Array<Slot> fresh;
    if (!fresh.resize(n)) return false;
    for (size_t i = 0; i < n; ++i) fresh[i].id = kNone;
    for (size_t i = 0; i < slots_.size(); ++i)
      if (slots_[i].id != kNone) probe(fresh, slots_[i].hash, [](uint32_t) { return false; }) = slots_[i];
    slots_.swap(fresh);
    return true;
  }
  Array<Slot> slots_;
  size_t count_ = 0;
};

}  // namespace
