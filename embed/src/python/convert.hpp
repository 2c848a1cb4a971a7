// Conversions between Python objects and DataValues.
//
// Into the system: None, bool, int, float, str, Keyword, list, tuple, dict, set, frozenset and
// fractions.Fraction; every other object as the text of str(obj). Out of it: lists and vectors
// become list, maps dict, sets frozenset, ratios Fraction, regexes compiled re patterns, symbols
// and opaque values str.
//
// Both run with the interpreter lock held, may run arbitrary Python code (__str__, __hash__, __eq__
// of the objects involved) and report failures as the current Python exception. Nesting is bounded
// by the interpreter's recursion limit and by the room left on the native stack: beyond either,
// RecursionError. A structure that contains itself therefore ends in RecursionError too.
#pragma once

#include <Python.h>

#include "data_value.hpp"
#include "py_ref.hpp"

namespace quorvex {

// True with `out` set, or false with a Python exception set (out is then unspecified).
bool py_to_data(PyObject* obj, DataValue& out);

// A new reference, or null with a Python exception set.
PyRef data_to_py(const DataValue& value);

// Lossy UTF-8 of a str: code points that UTF-8 cannot carry (lone surrogates) become U+FFFD.
// Null with an exception set only when Python itself fails.
PyRef lossy_utf8(PyObject* str, std::string_view& out);

} // namespace quorvex
