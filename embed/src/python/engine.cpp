#include "engine.hpp"

#include <pythread.h>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "bridges.hpp"
#include "convert.hpp"
#include "default_handlers.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "scalars.hpp"
#include "value_data.hpp"
#include "vm/agent.hpp"
#include "vm/interface.hpp"

namespace quorvex {

namespace {

// ---------------------------------------------------------------------------------------------
// The object

struct EngineObject {
  PyObject_HEAD
      // Owned. Null only while the object is being torn down.
      Vm* vm;
  // 0 free, -1 borrowed exclusively, n > 0 borrowed shared n times. Changed only with the
  // interpreter lock held, which serialises every access.
  std::int32_t borrow_flag;
  unsigned long owner_thread;
  RunInterrupt interrupt;
  // The forms of the last text given to eval (see ReadMemo).
  ReadMemo read_memo;
};

EngineObject* as_engine(PyObject* self) {
  return reinterpret_cast<EngineObject*>(self);
}

constexpr const char* kUnsendable =
    "quorvex_embed::python::PyEngine is unsendable, but sent to another thread";

enum class BorrowKind { Exclusive, Shared };

// Steps 2 and 6 of every method: the thread check and the borrow, given back on every way out.
class EngineBorrow {
public:
  EngineBorrow(PyObject* self, BorrowKind kind) : kind_(kind) {
    EngineObject* e = as_engine(self);
    if (e->owner_thread != PyThread_get_thread_ident()) {
      raise_panic(kUnsendable);
      return;
    }
    if (e->vm == nullptr) {
      raise_panic("the engine's machine has been released");
      return;
    }
    if (kind == BorrowKind::Exclusive) {
      if (e->borrow_flag != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      e->borrow_flag = -1;
    } else {
      if (e->borrow_flag < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++e->borrow_flag;
    }
    engine_ = e;
  }
  EngineBorrow(const EngineBorrow&) = delete;
  EngineBorrow& operator=(const EngineBorrow&) = delete;
  ~EngineBorrow() {
    if (engine_ == nullptr) return;
    if (kind_ == BorrowKind::Exclusive) {
      engine_->borrow_flag = 0;
    } else {
      --engine_->borrow_flag;
    }
  }

  explicit operator bool() const { return engine_ != nullptr; }
  EngineObject& engine() const { return *engine_; }
  Vm& vm() const { return *engine_->vm; }

private:
  EngineObject* engine_ = nullptr;
  BorrowKind kind_;
};

// ---------------------------------------------------------------------------------------------
// Errors and results

// The Python exception of an engine error: read and compile errors raise CompileError, runtime
// errors EvalError, with the engine error's display text.
void raise_engine_error(const EngineError& error) {
  raise_embed_error(embed_error_of(error));
}

void raise_value_fault(ValueFault fault) {
  PyErr_SetString(fault == ValueFault::TooDeep ? PyExc_RecursionError : PyExc_ValueError,
                  value_fault_text(fault));
}

// A conversion stopped by Ctrl-C raises the exception the signal handler raised.
void raise_conversion_fault(const Vm& vm, ValueFault fault) {
  if (fault == ValueFault::Interrupted && restore_interrupt(vm)) return;
  raise_value_fault(fault);
}

// The result of a run as a Python object; converted at once, since the value is not rooted.
PyObject* value_to_python(const Vm& vm, const Value& value) {
  bool handled = false;
  if (PyRef scalar = scalar_to_py(value, handled); handled) return scalar.release();
  if (PyRef list = flat_sequence_to_py(vm.heap, value, handled); handled) return list.release();
  Guarded<DataValue> data = value_to_data(vm.heap, vm.interner, value);
  if (!data) {
    raise_conversion_fault(vm, data.error());
    return nullptr;
  }
  return data_to_py(*data).release();
}

// An exception kept by an interruption wins over whatever the run answered: the run ended (or was
// cut short) because Python asked for it.
PyObject* finish_run(EngineObject& engine, std::expected<Value, EngineError> result) {
  if (engine.interrupt.pending()) {
    engine.interrupt.restore();
    return nullptr;
  }
  if (!result) {
    raise_engine_error(result.error());
    return nullptr;
  }
  return value_to_python(*engine.vm, *result);
}

// Drops an interruption that a C++ exception kept from being raised, so that it cannot surface
// in a later call.
struct InterruptCleanup {
  EngineObject& engine;
  ~InterruptCleanup() { engine.interrupt.clear(); }
};

template <class Run> PyObject* run_and_convert(EngineObject& engine, Run&& run) {
  InterruptCleanup cleanup{engine};
  engine.interrupt.clear();
  return finish_run(engine, run(*engine.vm));
}

// ---------------------------------------------------------------------------------------------
// Construction and teardown

PyObject* wrap_machine(PyTypeObject* type, std::unique_ptr<Vm> vm) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr; // the machine goes with `vm`
  EngineObject* e = as_engine(obj);
  new (&e->interrupt) RunInterrupt();
  new (&e->read_memo) ReadMemo();
  e->borrow_flag = 0;
  e->owner_thread = PyThread_get_thread_ident();
  install_interrupt_hook(*vm, e->interrupt);
  e->vm = vm.release();
  return obj;
}

PyObject* make_default_engine(PyTypeObject* type) {
  std::expected<std::unique_ptr<Vm>, EmbedError> vm = install_default_handlers();
  if (!vm) {
    raise_embed_error(vm.error());
    return nullptr;
  }
  return wrap_machine(type, std::move(*vm));
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_nested_object([&]() -> PyObject* {
    if (!match_arguments("Engine", {}, args, kwargs, nullptr)) return nullptr;
    return make_default_engine(type);
  });
}

PyObject* engine_bare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_nested_object([&]() -> PyObject* {
    if (!match_fast_arguments("Engine.bare", {}, args, nargs, kwnames, nullptr)) return nullptr;
    PyTypeObject* type = engine_type();
    if (type == nullptr) return nullptr;
    return wrap_machine(type, vm_new_bare());
  });
}

PyObject* engine_with_defaults(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard_nested_object([&]() -> PyObject* {
    if (!match_fast_arguments("Engine.with_defaults", {}, args, nargs, kwnames, nullptr)) {
      return nullptr;
    }
    PyTypeObject* type = engine_type();
    if (type == nullptr) return nullptr;
    return make_default_engine(type);
  });
}

// Any thread may drop an engine: nothing in a machine belongs to its creating thread, and the
// interpreter lock, held here, serialises the release of everything it owns.
void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  EngineObject* e = as_engine(self);
  Vm* vm = std::exchange(e->vm, nullptr);
  // The callables released with the machine may run Python code; none of it can use this engine.
  e->borrow_flag = -1;
  delete vm;
  e->interrupt.~RunInterrupt();
  e->read_memo.~ReadMemo();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const EngineObject* e = as_engine(self);
  if (e->vm == nullptr) return 0;
  return visit_python_callables(*e->vm, visit, arg);
}

// Breaks a cycle through the engine's Python callables. The machine stays usable; a host function
// or handler whose callable was cleared answers a handler error if it is ever called.
int engine_clear(PyObject* self) {
  EngineObject* e = as_engine(self);
  e->interrupt.clear();
  if (e->vm == nullptr || e->borrow_flag != 0) return 0;
  e->borrow_flag = -1;
  clear_python_callables(*e->vm);
  e->borrow_flag = 0;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The journal object

struct AgentJournalObject {
  PyObject_HEAD
      // Owned; made with the object.
      Journal* journal;
  // 0 free, -1 borrowed by an agent evaluation. Changed only with the interpreter lock held.
  std::int32_t borrow_flag;
  unsigned long owner_thread;
};

constexpr const char* kJournalType = "quorvex_embed::python::PyAgentJournal";

PyTypeObject* g_agent_journal_type = nullptr;

// The `journal` argument of an agent evaluation: type, thread, then the exclusive borrow, given
// back on every way out.
class JournalBorrow {
public:
  explicit JournalBorrow(PyObject* obj) {
    if (g_agent_journal_type == nullptr || !PyObject_TypeCheck(obj, g_agent_journal_type)) {
      raise_argument_type_error("journal", obj, "AgentJournal");
      return;
    }
    auto* j = reinterpret_cast<AgentJournalObject*>(obj);
    if (j->owner_thread != PyThread_get_thread_ident()) {
      raise_panic(std::string(kJournalType) + " is unsendable, but sent to another thread");
      return;
    }
    if (j->borrow_flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    j->borrow_flag = -1;
    journal_ = j;
  }
  JournalBorrow(const JournalBorrow&) = delete;
  JournalBorrow& operator=(const JournalBorrow&) = delete;
  ~JournalBorrow() {
    if (journal_ != nullptr) journal_->borrow_flag = 0;
  }

  explicit operator bool() const { return journal_ != nullptr; }
  Journal& journal() const { return *journal_->journal; }

private:
  AgentJournalObject* journal_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Methods

PyObject* engine_eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_nested_object([&]() -> PyObject* {
    PyObject* src_arg = nullptr;
    if (!match_fast_arguments("Engine.eval", {"src"}, args, nargs, kwnames, &src_arg)) {
      return nullptr;
    }
    EngineBorrow borrow(self, BorrowKind::Exclusive);
    if (!borrow) return nullptr;
    std::string_view src;
    if (!extract_text("src", src_arg, src)) return nullptr;
    ReadMemo& memo = borrow.engine().read_memo;
    return run_and_convert(borrow.engine(), [&](Vm& vm) { return vm_eval_memo(vm, src, memo); });
  });
}

PyObject* engine_eval_with_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard_nested_object([&]() -> PyObject* {
    PyObject* in[2] = {};
    if (!match_fast_arguments("Engine.eval_with_source", {"src", "source_name"}, args, nargs,
                              kwnames, in)) {
      return nullptr;
    }
    EngineBorrow borrow(self, BorrowKind::Exclusive);
    if (!borrow) return nullptr;
    std::string_view src;
    std::string_view source_name;
    if (!extract_text("src", in[0], src) || !extract_text("source_name", in[1], source_name)) {
      return nullptr;
    }
    return run_and_convert(borrow.engine(), [&](Vm& vm) {
      return eval_source(vm, src, vm.interner.get_or_intern(source_name));
    });
  });
}

PyObject* engine_define(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard_nested_object([&]() -> PyObject* {
    PyObject* in[2] = {};
    if (!match_fast_arguments("Engine.define", {"name", "val"}, args, nargs, kwnames, in)) {
      return nullptr;
    }
    EngineBorrow borrow(self, BorrowKind::Exclusive);
    if (!borrow) return nullptr;
    std::string_view name;
    if (!extract_text("name", in[0], name)) return nullptr;
    Vm& vm = borrow.vm();
    Value direct;
    if (py_scalar_to_value(in[1], direct) || py_flat_sequence_to_value(vm.heap, in[1], direct)) {
      define_global_by_name(vm, name, direct);
      Py_RETURN_NONE;
    }
    DataValue data;
    if (!py_to_data(in[1], data)) return nullptr;
    Guarded<Value> value = data_to_value(vm.heap, vm.interner, data);
    if (!value) {
      raise_conversion_fault(vm, value.error());
      return nullptr;
    }
    define_global_by_name(vm, name, *value);
    Py_RETURN_NONE;
  });
}

PyObject* engine_define_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard_object([&]() -> PyObject* {
    PyObject* in[2] = {};
    if (!match_fast_arguments("Engine.define_fn", {"name", "func"}, args, nargs, kwnames, in)) {
      return nullptr;
    }
    EngineBorrow borrow(self, BorrowKind::Exclusive);
    if (!borrow) return nullptr;
    std::string_view name;
    if (!extract_text("name", in[0], name)) return nullptr;
    if (std::expected<void, EmbedError> r = define_python_function(borrow.vm(), name, in[1]); !r) {
      raise_embed_error(r.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* engine_register_handler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard_object([&]() -> PyObject* {
    PyObject* in[2] = {};
    if (!match_fast_arguments("Engine.register_handler", {"effect", "handler"}, args, nargs,
                              kwnames, in)) {
      return nullptr;
    }
    EngineBorrow borrow(self, BorrowKind::Exclusive);
    if (!borrow) return nullptr;
    std::string_view effect;
    if (!extract_text("effect", in[0], effect)) return nullptr;
    if (std::expected<void, EmbedError> r = register_python_handler(borrow.vm(), effect, in[1]);
        !r) {
      raise_embed_error(r.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* engine_effect_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard_object([&]() -> PyObject* {
    PyObject* name_arg = nullptr;
    if (!match_fast_arguments("Engine.effect_id", {"name"}, args, nargs, kwnames, &name_arg)) {
      return nullptr;
    }
    EngineBorrow borrow(self, BorrowKind::Shared);
    if (!borrow) return nullptr;
    std::string_view name;
    if (!extract_text("name", name_arg, name)) return nullptr;
    std::optional<EffectId> id = effect_id(borrow.vm(), name);
    if (!id) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*id);
  });
}

// The agent evaluation behind eval_agent and eval_text: the results with their values converted
// to host data at once (nothing roots them once the evaluation returns). False with the Python
// exception set.
struct ConvertedAgentResult {
  DataValue value;
  std::optional<std::string> lineage;
};

bool run_agent_source(EngineObject& engine, std::string_view src, Journal& journal,
                      std::vector<ConvertedAgentResult>& out) {
  InterruptCleanup cleanup{engine};
  engine.interrupt.clear();
  Vm& vm = *engine.vm;
  std::expected<std::vector<AgentResult>, EngineError> results =
      eval_agent(vm, src, vm.interner.get_or_intern("<agent>"), journal);
  if (engine.interrupt.pending()) {
    engine.interrupt.restore();
    return false;
  }
  if (!results) {
    raise_engine_error(results.error());
    return false;
  }
  out.reserve(results->size());
  for (AgentResult& r : *results) {
    Guarded<DataValue> data = value_to_data(vm.heap, vm.interner, r.value);
    if (!data) {
      raise_conversion_fault(vm, data.error());
      return false;
    }
    out.push_back(ConvertedAgentResult{std::move(*data), std::move(r.lineage)});
  }
  return true;
}

// Matches (src, journal), borrows the engine and then the journal, and runs the evaluation.
template <class Render>
PyObject* agent_method(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Render&& render) {
  return guard_nested_object([&]() -> PyObject* {
    PyObject* in[2] = {};
    if (!match_fast_arguments(name, {"src", "journal"}, args, nargs, kwnames, in)) return nullptr;
    EngineBorrow borrow(self, BorrowKind::Exclusive);
    if (!borrow) return nullptr;
    std::string_view src;
    if (!extract_text("src", in[0], src)) return nullptr;
    JournalBorrow journal(in[1]);
    if (!journal) return nullptr;
    std::vector<ConvertedAgentResult> results;
    if (!run_agent_source(borrow.engine(), src, journal.journal(), results)) return nullptr;
    return render(results);
  });
}

PyObject* engine_eval_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return agent_method(
      "Engine.eval_agent", self, args, nargs, kwnames,
      [](const std::vector<ConvertedAgentResult>& results) -> PyObject* {
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const ConvertedAgentResult& r : results) {
          PyRef dict = PyRef::steal(PyDict_New());
          if (!dict) return nullptr;
          PyRef value = data_to_py(r.value);
          if (!value || PyDict_SetItemString(dict.get(), "value", value.get()) != 0) {
            return nullptr;
          }
          PyRef lineage = r.lineage
                              ? PyRef::steal(PyUnicode_FromStringAndSize(
                                    r.lineage->data(), static_cast<Py_ssize_t>(r.lineage->size())))
                              : PyRef::borrow(Py_None);
          if (!lineage || PyDict_SetItemString(dict.get(), "lineage_message", lineage.get()) != 0) {
            return nullptr;
          }
          if (PyList_Append(list.get(), dict.get()) != 0) return nullptr;
        }
        return list.release();
      });
}

PyObject* engine_eval_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return agent_method("Engine.eval_text", self, args, nargs, kwnames,
                      [](const std::vector<ConvertedAgentResult>& results) -> PyObject* {
                        std::string text;
                        for (const ConvertedAgentResult& r : results) {
                          text += edn_text(r.value);
                          text += '\n';
                          if (r.lineage) {
                            text += *r.lineage;
                            text += '\n';
                          }
                        }
                        // Lines are separated, not terminated.
                        if (!text.empty() && text.back() == '\n') text.pop_back();
                        return PyUnicode_FromStringAndSize(text.data(),
                                                           static_cast<Py_ssize_t>(text.size()));
                      });
}

template <class F> PyCFunction fast_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef engine_methods[] = {
    {"bare", fast_method(engine_bare), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "bare()\n--\n\n"},
    {"with_defaults", fast_method(engine_with_defaults),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "with_defaults()\n--\n\n"},
    {"eval", fast_method(engine_eval), METH_FASTCALL | METH_KEYWORDS, "eval($self, src)\n--\n\n"},
    {"eval_with_source", fast_method(engine_eval_with_source), METH_FASTCALL | METH_KEYWORDS,
     "eval_with_source($self, src, source_name)\n--\n\n"},
    {"define", fast_method(engine_define), METH_FASTCALL | METH_KEYWORDS,
     "define($self, name, val)\n--\n\n"},
    {"define_fn", fast_method(engine_define_fn), METH_FASTCALL | METH_KEYWORDS,
     "define_fn($self, name, func)\n--\n\n"},
    {"register_handler", fast_method(engine_register_handler), METH_FASTCALL | METH_KEYWORDS,
     "register_handler($self, effect, handler)\n--\n\n"},
    {"effect_id", fast_method(engine_effect_id), METH_FASTCALL | METH_KEYWORDS,
     "effect_id($self, name)\n--\n\n"},
    {"eval_agent", fast_method(engine_eval_agent), METH_FASTCALL | METH_KEYWORDS,
     "eval_agent($self, src, journal)\n--\n\n"},
    {"eval_text", fast_method(engine_eval_text), METH_FASTCALL | METH_KEYWORDS,
     "eval_text($self, src, journal)\n--\n\nPorcelain agent eval: text in, text out.\nReturns "
     "formatted output matching the CLI REPL experience."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("Engine()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_type_layout = {"quorvex.Engine", static_cast<int>(sizeof(EngineObject)), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, engine_slots};

// ---------------------------------------------------------------------------------------------
// AgentJournal

PyObject* agent_journal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_object([&]() -> PyObject* {
    if (!match_arguments("AgentJournal", {}, args, kwargs, nullptr)) return nullptr;
    auto journal = std::make_unique<Journal>();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* j = reinterpret_cast<AgentJournalObject*>(obj);
    j->journal = journal.release();
    j->borrow_flag = 0;
    j->owner_thread = PyThread_get_thread_ident();
    return obj;
  });
}

// A journal dropped on another thread than its own leaks its revisions: they may be in use by an
// evaluation on the owning thread.
void agent_journal_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* j = reinterpret_cast<AgentJournalObject*>(self);
  if (j->owner_thread == PyThread_get_thread_ident()) {
    delete std::exchange(j->journal, nullptr);
  } else {
    PyErr_SetString(PyExc_RuntimeError,
                    (std::string(kJournalType) + " is unsendable, but is being dropped on another "
                                                 "thread")
                        .c_str());
    // Not `self`: the hook would take a reference to an object being freed.
    PyErr_WriteUnraisable(nullptr);
  }
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyType_Slot agent_journal_slots[] = {
    {Py_tp_doc, const_cast<char*>("AgentJournal()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(agent_journal_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(agent_journal_dealloc)},
    {0, nullptr},
};

PyType_Spec agent_journal_type_layout = {"quorvex.AgentJournal",
                                         static_cast<int>(sizeof(AgentJournalObject)), 0,
                                         Py_TPFLAGS_DEFAULT, agent_journal_slots};

PyTypeObject* g_engine_type = nullptr;

} // namespace

PyTypeObject* engine_type() {
  if (g_engine_type == nullptr) {
    g_engine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&engine_type_layout));
  }
  return g_engine_type;
}

PyTypeObject* agent_journal_type() {
  if (g_agent_journal_type == nullptr) {
    g_agent_journal_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&agent_journal_type_layout));
  }
  return g_agent_journal_type;
}

} // namespace quorvex
