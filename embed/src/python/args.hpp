// Argument matching and extraction for the module's callables.
//
// Every parameter of the module's callables is required and may be passed by position or by
// keyword, like the parameters of a plain Python def; the error texts follow Python's own.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string_view>

namespace quorvex {

// Fills out[i] with the borrowed argument for params[i]. False with TypeError set when the call
// does not fit the parameter list. `callable` names the callable in the messages ("Keyword",
// "Engine.eval").
bool match_arguments(const char* callable, std::initializer_list<const char*> params,
                     PyObject* args, PyObject* kwargs, PyObject** out);

// The same for a METH_FASTCALL | METH_KEYWORDS call.
bool match_fast_arguments(const char* callable, std::initializer_list<const char*> params,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** out);

// A text parameter: a str (subclasses too) as UTF-8, borrowed from the object. Else TypeError
// "argument '<param>': '<type>' object cannot be converted to 'PyString'", or the encoding error
// of a str that is not valid Unicode (a lone surrogate).
bool extract_text(const char* param, PyObject* obj, std::string_view& out);

// Sets the conversion TypeError above for `obj` and the expected type's name.
void raise_argument_type_error(const char* param, PyObject* obj, const char* expected);

} // namespace quorvex
