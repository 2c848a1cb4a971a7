// The quorvex extension module: built against the stable ABI (3.11 and later).
//
// Initialisation fills the module with the classes Engine, Keyword and AgentJournal, the function
// parse_edn and the exception classes, in that order, and records each name in __all__. No machine
// exists until an Engine is made. The module is initialised once per process: its classes and
// exception classes are process-wide, so a second initialisation (a re-import after removing it
// from sys.modules, or a sub-interpreter) is refused instead of handing out a second set.
#include <Python.h>

#include "args.hpp"
#include "convert.hpp"
#include "edn.hpp"
#include "engine.hpp"
#include "errors.hpp"
#include "keyword.hpp"
#include "py_ref.hpp"

namespace quorvex {

namespace {

PyObject* parse_edn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_nested_object([&]() -> PyObject* {
    PyObject* src_arg = nargs == 1 && kwnames == nullptr ? args[0] : nullptr;
    if (src_arg == nullptr &&
        !match_fast_arguments("parse_edn", {"src"}, args, nargs, kwnames, &src_arg)) {
      return nullptr;
    }
    std::string_view src;
    if (!extract_text("src", src_arg, src)) return nullptr;
    return parse_edn_object(src_arg, src).release();
  });
}

PyMethodDef parse_edn_def = {
    "parse_edn",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_edn)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse_edn(src)\n--\n\n",
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorvex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr; // the one module of this process, kept for its life

// Appends the name to __all__ (made on first use), then sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

bool fill_module(PyObject* module) {
  if (!add_to_module(module, "Engine", reinterpret_cast<PyObject*>(engine_type()))) return false;
  if (!add_to_module(module, "Keyword", reinterpret_cast<PyObject*>(keyword_type()))) return false;
  if (!add_to_module(module, "AgentJournal", reinterpret_cast<PyObject*>(agent_journal_type()))) {
    return false;
  }
  PyRef module_name = PyRef::steal(PyUnicode_FromString("quorvex"));
  if (!module_name) return false;
  // Bound to the module, as every function of an extension module is: its __self__ is the module.
  PyRef parse = PyRef::steal(PyCFunction_NewEx(&parse_edn_def, module, module_name.get()));
  if (!add_to_module(module, "parse_edn", parse.get())) return false;
  for (ErrorClass which :
       {ErrorClass::QuorvexError, ErrorClass::EvalError, ErrorClass::CompileError,
        ErrorClass::HandlerError, ErrorClass::EffectNotFoundError}) {
    if (!add_to_module(module, exception_name(which), exception_class(which))) return false;
  }
  return true;
}

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvex may only be initialized once per interpreter process");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module || !fill_module(module.get())) return nullptr;
  g_module = module.new_reference();
  return module.release();
}

} // namespace

} // namespace quorvex

PyMODINIT_FUNC PyInit_quorvex(void) {
  return quorvex::guard_object(quorvex::init_module);
}
