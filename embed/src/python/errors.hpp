// The module's exception classes, the Python layer's error type, and the guard that every entry
// point from Python runs its body in.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace quorvex {

enum class ErrorClass { QuorvexError, EvalError, CompileError, HandlerError, EffectNotFoundError };

// The class object (borrowed; it lives as long as the process), created on first use together with
// its bases. Null with the failure set as the current exception.
PyObject* exception_class(ErrorClass which);
const char* exception_name(ErrorClass which); // "QuorvexError", ...

// Internal faults surface as quorvex.PanicException, a subclass of BaseException (not of
// Exception), so that code catching Exception does not swallow a broken invariant.
PyObject* panic_exception_class();
// Sets PanicException with the message as the current exception. Never fails silently: when even
// that cannot be done, some exception (MemoryError) is set.
void raise_panic(std::string_view message) noexcept;

// The error of the Python layer. Its display text is what the user reads.
struct EmbedError {
  enum class Kind {
    Engine,         // text: the engine error's own display text
    InvalidEdn,     // text: the reader's display text of the error
    Handler,        // text: what failed in a Python callable
    EffectNotFound, // text: the effect's name as passed
  };
  // For Kind::Engine, the layer the engine error comes from: read and compile errors raise
  // CompileError, runtime errors EvalError.
  enum class EngineLayer { Read, Compile, Runtime };

  Kind kind;
  std::string text;
  EngineLayer layer = EngineLayer::Runtime;

  static EmbedError invalid_edn(std::string reader_text) {
    return {Kind::InvalidEdn, std::move(reader_text)};
  }
  static EmbedError handler(std::string what) { return {Kind::Handler, std::move(what)}; }
  static EmbedError effect_not_found(std::string name) {
    return {Kind::EffectNotFound, std::move(name)};
  }
  static EmbedError engine(EngineLayer layer, std::string display) {
    return {Kind::Engine, std::move(display), layer};
  }
};

std::string format_embed_error(const EmbedError& error);
ErrorClass embed_error_class(const EmbedError& error);
// Raises the error as its Python exception class, with the display text as the one argument.
void raise_embed_error(const EmbedError& error);

// Runs an entry point's body so that no C++ exception reaches CPython: std::bad_alloc becomes
// MemoryError, every other exception (InternalError included) PanicException with its message.
// `on_error` is what the entry point answers with an exception set (null, -1, ...).
template <class R, class Body> R guard_entry(R on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return on_error;
}

template <class Body> PyObject* guard_object(Body&& body) noexcept {
  return guard_entry(static_cast<PyObject*>(nullptr), static_cast<Body&&>(body));
}

// guard_object for the entry points that read, compile, run or convert nested data. On a thread
// with too little native stack left to start they raise RecursionError "not enough native
// stack", which no input could avoid, instead of a nesting error that blames the input.
bool raise_if_short_of_native_stack() noexcept;

template <class Body> PyObject* guard_nested_object(Body&& body) noexcept {
  if (raise_if_short_of_native_stack()) return nullptr;
  return guard_object(static_cast<Body&&>(body));
}

} // namespace quorvex
