#include "errors.hpp"

#include "py_ref.hpp"
#include "util/depth_guard.hpp"
#include "util/internal_error.hpp"

namespace quorvex {

namespace {

struct ClassInfo {
  const char* qualified_name;
  const char* name;
  const char* doc;
};

constexpr ClassInfo kClasses[] = {
    {"quorvex.QuorvexError", "QuorvexError", "Base exception for all Quorvex errors."},
    {"quorvex.EvalError", "EvalError", "Raised when Quorvex code fails to evaluate."},
    {"quorvex.CompileError", "CompileError", "Raised when Quorvex code fails to compile."},
    {"quorvex.HandlerError", "HandlerError", "Raised when an effect handler callback fails."},
    {"quorvex.EffectNotFoundError", "EffectNotFoundError",
     "Raised when a named effect does not exist."},
};

// Filled once and kept for the life of the process, like the classes of any extension module that
// is initialised once per process.
PyObject* g_classes[5] = {};
PyObject* g_panic = nullptr;

} // namespace

const char* exception_name(ErrorClass which) {
  return kClasses[static_cast<int>(which)].name;
}

PyObject* exception_class(ErrorClass which) {
  const int i = static_cast<int>(which);
  if (g_classes[i] != nullptr) return g_classes[i];
  PyObject* base = PyExc_Exception;
  if (which != ErrorClass::QuorvexError) {
    base = exception_class(ErrorClass::QuorvexError);
    if (base == nullptr) return nullptr;
  }
  PyObject* cls =
      PyErr_NewExceptionWithDoc(kClasses[i].qualified_name, kClasses[i].doc, base, nullptr);
  if (cls == nullptr) {
    // Not reachable in a working interpreter.
    PyErr_Clear();
    raise_panic("Failed to initialize new exception type.");
    return nullptr;
  }
  g_classes[i] = cls;
  return cls;
}

PyObject* panic_exception_class() {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc(
        "quorvex.PanicException",
        "Raised when quorvex meets an internal fault. It derives from BaseException, not from "
        "Exception, so that ordinary error handling does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic;
}

void raise_panic(std::string_view message) noexcept {
  PyObject* cls = panic_exception_class();
  if (cls == nullptr) return; // the failure to make the class is the exception now
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(cls, text.get());
}

std::string format_embed_error(const EmbedError& error) {
  switch (error.kind) {
  case EmbedError::Kind::Engine:
    return error.text;
  case EmbedError::Kind::InvalidEdn:
    return "invalid EDN: " + error.text;
  case EmbedError::Kind::Handler:
    return "handler error: " + error.text;
  case EmbedError::Kind::EffectNotFound:
    return "effect not found: " + error.text;
  }
  throw InternalError("unknown embed error kind");
}

ErrorClass embed_error_class(const EmbedError& error) {
  switch (error.kind) {
  case EmbedError::Kind::Engine:
    return error.layer == EmbedError::EngineLayer::Runtime ? ErrorClass::EvalError
                                                           : ErrorClass::CompileError;
  case EmbedError::Kind::InvalidEdn:
    return ErrorClass::CompileError;
  case EmbedError::Kind::Handler:
    return ErrorClass::HandlerError;
  case EmbedError::Kind::EffectNotFound:
    return ErrorClass::EffectNotFoundError;
  }
  throw InternalError("unknown embed error kind");
}

void raise_embed_error(const EmbedError& error) {
  const std::string text = format_embed_error(error);
  PyObject* cls = exception_class(embed_error_class(error));
  if (cls == nullptr) return;
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(cls, message.get());
}

bool raise_if_short_of_native_stack() noexcept {
  if (enough_native_stack()) return false;
  PyErr_SetString(PyExc_RecursionError, kNotEnoughNativeStack);
  return true;
}

} // namespace quorvex
