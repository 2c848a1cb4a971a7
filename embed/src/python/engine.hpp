// The classes Engine and AgentJournal.
//
// An Engine owns one machine for its whole life. Every method runs on the engine's creating thread
// with the interpreter lock held (never released), in this order: match the arguments, check the
// thread and borrow the engine (exclusively, except effect_id, which borrows it shared), extract
// the arguments, run the body, convert the result while still borrowed, give the borrow back. A
// Python callback that calls back into the engine running it therefore fails with RuntimeError
// "Already borrowed" ("Already mutably borrowed" for effect_id).
//
// Engines take part in Python's cycle collection through the Python callables they hold (host
// functions and handlers), so an engine whose handler refers back to the engine is freed.
#pragma once

#include <Python.h>

namespace quorvex {

// The class objects (borrowed, kept for the life of the process), created on first use. Null with
// the failure set as the current exception.
PyTypeObject* engine_type();
PyTypeObject* agent_journal_type();

} // namespace quorvex
