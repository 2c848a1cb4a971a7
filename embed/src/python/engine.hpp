// The classes Engine and AgentJournal.
#pragma once

#include <Python.h>

namespace quorvex {

// The class objects (borrowed, kept for the life of the process), created on first use. Null with
// the failure set as the current exception.
PyTypeObject* engine_type();
PyTypeObject* agent_journal_type();

} // namespace quorvex
