// The quorvex extension module: built against the stable ABI (3.11 and later).
#include <Python.h>

namespace {

PyModuleDef quorvex_module = {
    PyModuleDef_HEAD_INIT,
    "quorvex",
    "An embeddable interpreter for a small Lisp-family language.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorvex(void) { return PyModule_Create(&quorvex_module); }
