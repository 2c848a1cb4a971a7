// Direct conversions of the scalar values (nil, booleans, integers, floats) and of flat sequences
// of them between a machine and Python, with no DataValue in between.
//
// They are what crosses the boundary most often: the arguments and answers of host functions, the
// result of a small eval, a list of numbers handed in and read back. Each answers exactly what the
// general conversions (py_to_data / data_to_value and value_to_data / data_to_py) answer for the
// same input, and declines (without a Python exception) whatever it does not cover, so that the
// caller falls back to the general conversion and its errors.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "py_ref.hpp"
#include "value/heap.hpp"
#include "value/scalar_store.hpp"
#include "value/value.hpp"

namespace quorvex {

// The Python object of a scalar value (a new reference); empty and no exception for a value that
// is not a scalar. Null with a Python exception only when Python cannot allocate.
inline PyRef scalar_to_py(const Value& v, bool& handled) {
  handled = true;
  switch (v.tag) {
  case Tag::Nil:
    return PyRef::borrow(Py_None);
  case Tag::Bool:
    return PyRef::borrow((v.as.boolean & 1) != 0 ? Py_True : Py_False);
  case Tag::Int:
    return PyRef::steal(PyLong_FromLongLong(v.as.integer));
  case Tag::Float:
    return PyRef::steal(PyFloat_FromDouble(v.as.floating));
  default:
    handled = false;
    return PyRef();
  }
}

// The value of an exact None, bool, float or int that fits in 64 bits. False, with no exception
// set, for everything else (subclasses included): the general conversion decides those, and
// raises its own error for an int out of range.
inline bool py_scalar_to_value(PyObject* obj, Value& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return false;
    if (i == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return false;
    }
    put_scalar(out, Tag::Int, static_cast<std::uint64_t>(i));
    return true;
  }
  if (obj == Py_None) {
    put_scalar(out, Tag::Nil, 0);
    return true;
  }
  if (type == &PyFloat_Type) {
    put_scalar(out, Tag::Float, std::bit_cast<std::uint64_t>(PyFloat_AsDouble(obj)));
    return true;
  }
  if (type == &PyBool_Type) {
    put_scalar(out, Tag::Bool, obj == Py_True ? 1 : 0);
    return true;
  }
  return false;
}

// The longest flat sequence converted directly, either way. Longer ones take the general
// conversion, which polls for Ctrl-C as it goes; this bound keeps a direct conversion to well
// under a millisecond.
inline constexpr Py_ssize_t kMaxDirectSequence = 1 << 16;

// A vector of the items of an exact list or tuple whose items are all scalars, allocated in
// `heap`; false, with no exception set and nothing allocated, for anything else. The vector holds
// no heap references, so it needs no rooting while it is built.
bool py_flat_sequence_to_value(Heap& heap, PyObject* obj, Value& out);

// A list of the items of a sequence object of at most kMaxDirectSequence items that are all
// scalars (a new reference); empty and no exception for any other value. Null with a Python
// exception only when Python cannot allocate.
PyRef flat_sequence_to_py(const Heap& heap, const Value& v, bool& handled);

} // namespace quorvex
