#include "args.hpp"

#include <cstring>
#include <string>

#include "py_ref.hpp"

namespace quorvex {

namespace {

bool name_equals(PyObject* name, const char* param) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<std::size_t>(size) == std::strlen(param) &&
         std::memcmp(text, param, static_cast<std::size_t>(size)) == 0;
}

bool too_many_positional(const char* callable, std::size_t takes, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", callable,
               takes, takes == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  return false;
}

// One keyword argument: its slot, or a TypeError.
bool place_keyword(const char* callable, std::initializer_list<const char*> params, PyObject* name,
                   PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", callable);
    return false;
  }
  std::size_t i = 0;
  for (const char* param : params) {
    if (name_equals(name, param)) {
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", callable,
                     param);
        return false;
      }
      out[i] = value;
      return true;
    }
    ++i;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", callable, name);
  return false;
}

// Python's wording: "f() missing 2 required positional arguments: 'a' and 'b'".
bool check_missing(const char* callable, std::initializer_list<const char*> params,
                   PyObject** out) {
  std::string names;
  std::size_t missing = 0;
  std::size_t i = 0;
  const char* last = nullptr;
  for (const char* param : params) {
    if (out[i++] != nullptr) continue;
    if (last != nullptr) {
      if (!names.empty()) names += ", ";
      names += '\'';
      names += last;
      names += '\'';
    }
    last = param;
    ++missing;
  }
  if (missing == 0) return true;
  std::string tail = std::string("'") + last + "'";
  if (!names.empty()) names += missing > 2 ? ", and " : " and ";
  names += tail;
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", callable,
               missing, missing == 1 ? "" : "s", names.c_str());
  return false;
}

} // namespace

bool match_arguments(const char* callable, std::initializer_list<const char*> params,
                     PyObject* args, PyObject* kwargs, PyObject** out) {
  const std::size_t count = params.size();
  for (std::size_t i = 0; i < count; ++i)
    out[i] = nullptr;
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  if (nargs < 0) return false;
  if (static_cast<std::size_t>(nargs) > count) return too_many_positional(callable, count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(callable, params, name, value, out)) return false;
    }
  }
  return check_missing(callable, params, out);
}

bool match_fast_arguments(const char* callable, std::initializer_list<const char*> params,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** out) {
  const std::size_t count = params.size();
  // The common call: every parameter given by position, nothing left to check.
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == count) {
    for (std::size_t i = 0; i < count; ++i)
      out[i] = args[i];
    return true;
  }
  for (std::size_t i = 0; i < count; ++i)
    out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > count) return too_many_positional(callable, count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(callable, params, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) {
        return false;
      }
    }
  }
  return check_missing(callable, params, out);
}

void raise_argument_type_error(const char* param, PyObject* obj, const char* expected) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", param,
               type_name.get(), expected);
}

bool extract_text(const char* param, PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_argument_type_error(param, obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

} // namespace quorvex
