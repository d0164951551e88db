// Reference holders of the native modules (the tracer and the reader).
//
// Rules:
//  - Ref<T> owns exactly one strong reference; Ref::steal adopts a new
//    reference, Ref::borrow adds one, release() hands it back to C.
//  - A raw pointer is a borrowed reference.
//  - Nothing here throws: every member is noexcept or cannot fail.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

template <typename T = PyObject>
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(T* p) noexcept { return Ref(p); }
  static Ref borrow(T* p) noexcept {
    Py_XINCREF(reinterpret_cast<PyObject*>(p));
    return Ref(p);
  }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    T* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(reinterpret_cast<PyObject*>(p_)); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  T* release() noexcept {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  explicit Ref(T* p) noexcept : p_(p) {}
  T* p_ = nullptr;
};

// Keeps whatever exception is pending (none, in a profile hook of this
// interpreter, but cheap to be sure of) out of the way of the work in its
// scope, clears what that work leaves behind and puts the original back.
class ErrorScope {
 public:
  ErrorScope() noexcept : saved_(PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr) {}
  ~ErrorScope() {
    if (PyErr_Occurred()) PyErr_Clear();
    if (saved_) PyErr_SetRaisedException(saved_);
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  PyObject* saved_;
};

}  // namespace
