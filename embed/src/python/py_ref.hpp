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

// A Python exception taken out of the interpreter, to be raised again later or dropped. The
// first one kept wins; a later one is cleared.
class KeptException {
public:
  KeptException() = default;
  KeptException(const KeptException&) = delete;
  KeptException& operator=(const KeptException&) = delete;

  bool pending() const noexcept { return static_cast<bool>(type_); }
  // Takes the current Python exception over.
  void keep_current() noexcept {
    if (pending()) {
      PyErr_Clear();
      return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
  }
  // Makes the kept exception the current one again and forgets it. Requires pending().
  void restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  }
  void clear() noexcept {
    type_.reset();
    value_.reset();
    traceback_.reset();
  }

private:
  PyRef type_, value_, traceback_;
};

} // namespace quorvex
