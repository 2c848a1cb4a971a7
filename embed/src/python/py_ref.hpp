// Owned references to Python objects.
//
// Every PyObject* that this module creates or keeps lives in a PyRef, so that each early return and
// each C++ exception on the way out releases exactly the references it holds. Borrowed pointers
// (arguments, items read with the borrowing getters) stay plain PyObject* and are never released.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvex {

class PyRef {
public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  // Takes over a new reference (null allowed: a failed call whose exception is set).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

  // Hands the reference to the caller (for returning to CPython or to a stealing call).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset() noexcept { Py_XDECREF(std::exchange(obj_, nullptr)); }
  // A new reference for the caller; this one stays.
  PyObject* new_reference() const noexcept {
    Py_XINCREF(obj_);
    return obj_;
  }

private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

} // namespace quorvex
