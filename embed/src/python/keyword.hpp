// The Python class Keyword: the Python face of the language's keywords.
//
// A Keyword holds its name as a shared DataText, so converting between Keyword objects and
// DataValue keywords never copies the text. Keywords are immutable; the hash is computed when first
// asked for and kept.
#pragma once

#include <Python.h>

#include "data_value.hpp"

namespace quorvex {

struct KeywordObject {
  PyObject_HEAD const DataText* name; // one reference owned
  Py_hash_t hash;                     // -1 until computed
};

// The class object (borrowed, lives as long as the process), created on first use. Null with the
// failure set as the current exception.
PyTypeObject* keyword_type();

// The class cannot be subclassed, so an exact type test is the instance test. Only meaningful once
// the class exists (before that nothing can be a Keyword).
bool is_keyword(PyObject* obj);

// A new Keyword sharing `name` (the caller keeps its own reference). Null with an exception set.
PyObject* make_keyword(const DataText& name);

inline const DataText& keyword_name(PyObject* keyword) {
  return *reinterpret_cast<KeywordObject*>(keyword)->name;
}

// SipHash-1-3 with zero keys over the text and the byte 0xFF, as a Python hash (-1 is reserved).
Py_hash_t keyword_hash(std::string_view name);

} // namespace quorvex
