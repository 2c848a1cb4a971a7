// Python callables as host functions (Engine.define_fn) and as host effect handlers
// (Engine.register_handler), and the interruption of a run by Python.
//
// A call from the machine into Python: the arguments become data (no Python code runs yet), then
// Python objects; the callable runs with the interpreter lock held, in the middle of the run; its
// answer becomes data and then a runtime value. Every failure on the Python side that is an
// ordinary exception (a subclass of Exception) reaches the machine as one value error, "handler
// error: <type qualname>: <str(exc)>", which the program may catch through `exn`.
//
// Exceptions outside Exception (KeyboardInterrupt, SystemExit, ...) are not the callable's answer
// but a request to stop: they are kept in the engine's RunInterrupt, the run ends at once without
// offering anything to the program, and the Engine method that started the run raises the kept
// exception unchanged. The interrupt hook does the same for signals that arrive while compiled
// code runs (Ctrl-C on a runaway loop).
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "py_ref.hpp"
#include "vm/vm.hpp"

namespace quorvex {

// The exception that is to end the current run of one engine, when there is one.
using RunInterrupt = KeptException;

// Lets the machine poll Python's pending signals while it runs: a signal handler that raises
// (KeyboardInterrupt for Ctrl-C) ends the run, and the exception is kept in `state`, which must
// live as long as the machine.
void install_interrupt_hook(Vm& vm, RunInterrupt& state);

// Makes the exception an interruption of this machine kept the current Python exception again:
// what a conversion stopped by Ctrl-C raises. False when none is kept.
bool restore_interrupt(const Vm& vm);

// Ends the run the machine is in, on behalf of a Python exception outside Exception that is the
// current exception: the exception moves into the engine's RunInterrupt and the error to answer
// to the machine is returned. The error is never offered to the program.
VmError interrupt_run(Vm& vm);

// Polls Python's signal handlers from inside a run (a blocking read of standard input): true when
// one raised, with the exception kept as by interrupt_run.
bool check_signals_during_run(Vm& vm);

// Answers the current Python exception to the machine: a handler error for an Exception, an
// interruption (interrupt_run) for anything else. Clears the exception.
VmError python_failure_to_vm_error(Vm& vm);

// "<type qualname>: <str(exc)>" of the current exception, which it clears; "<exception str()
// failed>" stands for a str() that raises.
EmbedError python_error_to_handler_error();

// Wraps the callable (a new reference is taken; nothing checks that it can be called) and makes
// it the host handler of the effect held by the global `effect`, replacing any handler the effect
// had. A name that holds no effect leaves the previous handler in place and fails with
// EmbedError::EffectNotFound naming `effect` as passed.
std::expected<void, EmbedError> register_python_handler(Vm& vm, std::string_view effect,
                                                        PyObject* handler);

// Binds the global `name` to a new host function that calls `func` (a new reference is taken).
// Fails only past the machine's limit of native functions.
std::expected<void, EmbedError> define_python_function(Vm& vm, std::string_view name,
                                                       PyObject* func);

// The cycle collector's view of the Python callables a machine holds through its host functions
// and handlers: visit each reference, or drop them all (the bridges then answer a handler error).
int visit_python_callables(const Vm& vm, visitproc visit, void* arg);
void clear_python_callables(Vm& vm);

} // namespace quorvex
