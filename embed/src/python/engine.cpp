#include "engine.hpp"

namespace quorvex {

namespace {

// Transitional: the machine behind Engine and the journal behind AgentJournal are still being
// built. The classes exist with their final names and signatures; making an instance says plainly
// that it cannot be done yet.
PyObject* engine_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError,
                  "quorvex.Engine is not available yet: the interpreter is still being built");
  return nullptr;
}

PyObject* agent_journal_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError,
                  "quorvex.AgentJournal is not available yet: agent evaluation is still being "
                  "built");
  return nullptr;
}

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("Engine()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {0, nullptr},
};

PyType_Spec engine_spec = {"quorvex.Engine", static_cast<int>(sizeof(PyObject)), 0,
                           Py_TPFLAGS_DEFAULT, engine_slots};

PyType_Slot agent_journal_slots[] = {
    {Py_tp_doc, const_cast<char*>("AgentJournal()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(agent_journal_new)},
    {0, nullptr},
};

PyType_Spec agent_journal_spec = {"quorvex.AgentJournal", static_cast<int>(sizeof(PyObject)), 0,
                                  Py_TPFLAGS_DEFAULT, agent_journal_slots};

PyTypeObject* g_engine_type = nullptr;
PyTypeObject* g_agent_journal_type = nullptr;

} // namespace

PyTypeObject* engine_type() {
  if (g_engine_type == nullptr) {
    g_engine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&engine_spec));
  }
  return g_engine_type;
}

PyTypeObject* agent_journal_type() {
  if (g_agent_journal_type == nullptr) {
    g_agent_journal_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&agent_journal_spec));
  }
  return g_agent_journal_type;
}

} // namespace quorvex
