// EDN text into Python data, through the language's reader.
#pragma once

#include <Python.h>

#include <string_view>

#include "py_ref.hpp"

namespace quorvex {

// Reads the whole text with the language's reader (quote shorthand, # dispatch forms and regex
// literals included) and answers the last form as a Python object, None when the text holds no
// form. The forms become Python objects directly, with the mapping of data_to_py: lists and
// vectors become list, maps dict, sets frozenset, keywords Keyword, symbols str (namespace kept:
// "foo/bar"), ratios Fraction (an int when the denominator is 1), regexes compiled re patterns.
// Maps keep the text's order. A read error raises CompileError "invalid EDN: " and the reader's
// text, even when a conversion failed earlier in the text; otherwise a conversion failure in the
// last form raises as data_to_py's do (those of earlier forms do not matter). Null with the
// exception set on failure.
// `utf8` is the UTF-8 of the str `src` (null: no str at hand; texts are then decoded from `utf8`).
PyRef parse_edn_object(PyObject* src, std::string_view utf8);

// The same through reader forms: every form read first, then the last one converted. Slower; the
// test probe compares the two. Maps keep the form map's order, not the text's.
PyRef parse_edn_via_forms(std::string_view src);

} // namespace quorvex
