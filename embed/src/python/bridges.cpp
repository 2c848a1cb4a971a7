#include "bridges.hpp"

#include <array>
#include <span>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "py_ref.hpp"
#include "scalars.hpp"
#include "value_data.hpp"
#include "vm/interface.hpp"

namespace quorvex {

// ---------------------------------------------------------------------------------------------
// Interruptions

namespace {

// Never shown: the Engine method raises the kept exception instead.
VmError interrupted_error() {
  return VmError::value_error("interrupted");
}

std::optional<VmError> python_interrupt_hook(void* data) {
  auto* state = static_cast<RunInterrupt*>(data);
  if (state->pending()) return interrupted_error();
  if (PyErr_CheckSignals() == 0) return std::nullopt;
  state->keep_current();
  return interrupted_error();
}

RunInterrupt* interrupt_state(const Vm& vm) {
  if (vm.interrupt_hook != &python_interrupt_hook) return nullptr;
  return static_cast<RunInterrupt*>(vm.interrupt_data);
}

VmError handler_vm_error(const EmbedError& error) {
  return VmError::value_error(format_embed_error(error));
}

} // namespace

void install_interrupt_hook(Vm& vm, RunInterrupt& state) {
  vm.interrupt_hook = &python_interrupt_hook;
  vm.interrupt_data = &state;
}

bool restore_interrupt(const Vm& vm) {
  RunInterrupt* state = interrupt_state(vm);
  if (state == nullptr || !state->pending()) return false;
  state->restore();
  return true;
}

VmError interrupt_run(Vm& vm) {
  RunInterrupt* state = interrupt_state(vm);
  if (state == nullptr) return handler_vm_error(python_error_to_handler_error());
  state->keep_current();
  // The same state the machine enters when its interrupt hook answers an error: every run in
  // progress ends, and the error is offered to nothing on the way out.
  vm.run_aborting = true;
  return interrupted_error();
}

bool check_signals_during_run(Vm& vm) {
  if (PyErr_CheckSignals() == 0) return false;
  (void)interrupt_run(vm);
  return true;
}

EmbedError python_error_to_handler_error() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);

  std::string text;
  PyTypeObject* cls =
      value ? Py_TYPE(value.get())
            : (type && PyType_Check(type.get()) ? reinterpret_cast<PyTypeObject*>(type.get())
                                                : nullptr);
  if (cls != nullptr) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(cls));
    std::string_view name;
    PyRef holder = qualname ? lossy_utf8(qualname.get(), name) : PyRef();
    if (holder) {
      text.append(name);
    } else {
      PyErr_Clear();
      text += "<unknown exception>";
    }
  } else {
    text += "<unknown exception>";
  }
  text += ": ";
  PyRef str = value ? PyRef::steal(PyObject_Str(value.get())) : PyRef();
  std::string_view message;
  PyRef holder = str ? lossy_utf8(str.get(), message) : PyRef();
  if (holder) {
    text.append(message);
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return EmbedError::handler(std::move(text));
}

VmError python_failure_to_vm_error(Vm& vm) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return interrupt_run(vm);
  return handler_vm_error(python_error_to_handler_error());
}

// ---------------------------------------------------------------------------------------------
// The bridges

namespace {

// One counted reference to a Python callable. Released with the machine that holds the bridge,
// which lives inside an Engine object and is therefore dropped with the interpreter lock held.
class PythonCallableRef {
public:
  explicit PythonCallableRef(PyObject* callable) : callable_(callable) { Py_INCREF(callable); }
  PythonCallableRef(const PythonCallableRef&) = delete;
  PythonCallableRef& operator=(const PythonCallableRef&) = delete;
  virtual ~PythonCallableRef() { Py_XDECREF(callable_); }

  int visit(visitproc visit, void* arg) const {
    Py_VISIT(callable_);
    return 0;
  }
  void clear() {
    PyObject* old = callable_;
    callable_ = nullptr;
    Py_XDECREF(old);
  }

protected:
  // A strong reference for the duration of one call; empty once the collector has cleared it.
  PyRef take_callable() const { return PyRef::borrow(callable_); }

private:
  PyObject* callable_;
};

VmError released_error() {
  return handler_vm_error(
      EmbedError::handler("ReferenceError: the Python callable was released when its engine "
                          "was collected"));
}

// Nil, booleans, integers and floats are most of what callbacks exchange. They skip the general
// converters, whose set-up costs more than the conversion itself, and come out exactly as the
// general converters would make them.
bool scalar_to_data(const Value& v, DataValue& out) {
  switch (v.tag) {
  case Tag::Nil:
    out = DataValue();
    return true;
  case Tag::Bool:
    out = DataValue::boolean((v.as.boolean & 1) != 0);
    return true;
  case Tag::Int:
    out = DataValue::integer(v.as.integer);
    return true;
  case Tag::Float:
    out = DataValue::floating(v.as.floating);
    return true;
  default:
    return false;
  }
}

PyRef to_python(const DataValue& d) {
  switch (d.kind()) {
  case DataKind::Nil:
    return PyRef::borrow(Py_None);
  case DataKind::Bool:
    return PyRef::borrow(d.as_bool() ? Py_True : Py_False);
  case DataKind::Int:
    return PyRef::steal(PyLong_FromLongLong(d.as_int()));
  case DataKind::Float:
    return PyRef::steal(PyFloat_FromDouble(d.as_float()));
  default:
    return data_to_py(d);
  }
}

// py_to_data with the exact scalar types first. False with a Python exception set.
bool from_python(PyObject* obj, DataValue& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(i == -1 && PyErr_Occurred())) {
      out = DataValue::integer(i);
      return true;
    }
    PyErr_Clear(); // the general converter raises its own error for the same int
  } else if (obj == Py_None) {
    out = DataValue();
    return true;
  } else if (type == &PyFloat_Type) {
    out = DataValue::floating(PyFloat_AsDouble(obj));
    return true;
  } else if (type == &PyBool_Type) {
    out = DataValue::boolean(obj == Py_True);
    return true;
  }
  return py_to_data(obj, out);
}

Guarded<Value> to_value(Vm& vm, const DataValue& d) {
  if (std::optional<Value> v = immediate_value(d)) return *v;
  return data_to_value(vm.heap, vm.interner, d);
}

// The arguments as data, converted before any Python code runs (the span may point at values the
// machine has just taken off its stack).
class DataArgs {
public:
  static constexpr std::size_t kInline = 6;

  Guarded<void> convert(const Vm& vm, std::span<const Value> args) {
    size_ = args.size();
    if (size_ > kInline) spill_.resize(size_);
    DataValue* out = data();
    for (std::size_t i = 0; i < size_; ++i) {
      if (scalar_to_data(args[i], out[i])) continue;
      Guarded<DataValue> d = value_to_data(vm.heap, vm.interner, args[i]);
      if (!d) return std::unexpected(d.error());
      out[i] = std::move(*d);
    }
    return {};
  }
  std::size_t size() const { return size_; }
  DataValue& operator[](std::size_t i) { return data()[i]; }

private:
  DataValue* data() { return size_ > kInline ? spill_.data() : inline_.data(); }

  std::array<DataValue, kInline> inline_;
  std::vector<DataValue> spill_;
  std::size_t size_ = 0;
};

class PythonFunction final : public HostCallable, public PythonCallableRef {
public:
  using PythonCallableRef::PythonCallableRef;

  NativeResult call(Vm& vm, std::span<const Value> args) override {
    if (all_scalars(args)) return call_with_scalars(vm, args);
    DataArgs data;
    if (Guarded<void> ok = data.convert(vm, args); !ok) {
      return std::unexpected(to_vm_error(ok.error()));
    }
    PyRef callable = take_callable();
    if (!callable) return std::unexpected(released_error());
    DataValue answer;
    {
      PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(data.size())));
      if (!tuple) return std::unexpected(python_failure_to_vm_error(vm));
      for (std::size_t i = 0; i < data.size(); ++i) {
        PyRef item = to_python(data[i]);
        if (!item) return std::unexpected(python_failure_to_vm_error(vm));
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      PyRef result = PyRef::steal(PyObject_Call(callable.get(), tuple.get(), nullptr));
      if (!result || !from_python(result.get(), answer)) {
        return std::unexpected(python_failure_to_vm_error(vm));
      }
    }
    return lift_fault(to_value(vm, answer));
  }

private:
  static bool all_scalars(std::span<const Value> args) {
    for (const Value& v : args) {
      if (v.tag != Tag::Nil && v.tag != Tag::Bool && v.tag != Tag::Int && v.tag != Tag::Float) {
        return false;
      }
    }
    return true;
  }

  // The common call: scalars in, made straight into Python objects (no Python code runs before
  // the call, so the span stays valid), and a scalar answer taken straight back. Up to four
  // arguments go through the interpreter's vector call, with no argument tuple.
  NativeResult call_with_scalars(Vm& vm, std::span<const Value> args) {
    PyRef callable = take_callable();
    if (!callable) return std::unexpected(released_error());
    constexpr std::size_t kDirect = 4;
    std::array<PyRef, kDirect> direct;
    PyRef tuple;
    if (args.size() > kDirect) {
      tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
      if (!tuple) return std::unexpected(python_failure_to_vm_error(vm));
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
      bool scalar = false;
      PyRef item = scalar_to_py(args[i], scalar);
      if (!item) return std::unexpected(python_failure_to_vm_error(vm));
      if (tuple) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
      } else {
        direct[i] = std::move(item);
      }
    }
    PyObject* f = callable.get();
    PyRef result;
    switch (tuple ? kDirect + 1 : args.size()) {
    case 0:
      result = PyRef::steal(PyObject_CallNoArgs(f));
      break;
    case 1:
      result = PyRef::steal(PyObject_CallFunctionObjArgs(f, direct[0].get(), nullptr));
      break;
    case 2:
      result =
          PyRef::steal(PyObject_CallFunctionObjArgs(f, direct[0].get(), direct[1].get(), nullptr));
      break;
    case 3:
      result = PyRef::steal(PyObject_CallFunctionObjArgs(f, direct[0].get(), direct[1].get(),
                                                         direct[2].get(), nullptr));
      break;
    case 4:
      result = PyRef::steal(PyObject_CallFunctionObjArgs(
          f, direct[0].get(), direct[1].get(), direct[2].get(), direct[3].get(), nullptr));
      break;
    default:
      result = PyRef::steal(PyObject_Call(f, tuple.get(), nullptr));
      break;
    }
    if (!result) return std::unexpected(python_failure_to_vm_error(vm));
    Value answer;
    if (py_scalar_to_value(result.get(), answer)) return answer;
    DataValue data;
    if (!from_python(result.get(), data)) return std::unexpected(python_failure_to_vm_error(vm));
    return lift_fault(to_value(vm, data));
  }
};

class PythonHandler final : public HostHandler, public PythonCallableRef {
public:
  using PythonCallableRef::PythonCallableRef;

  std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur operation,
                                                std::vector<Value> args) override {
    const std::string_view op_name = vm.interner.resolve(operation);
    DataArgs data;
    if (Guarded<void> ok = data.convert(vm, args); !ok) {
      return std::unexpected(to_vm_error(ok.error()));
    }
    PyRef callable = take_callable();
    if (!callable) return std::unexpected(released_error());

    DataValue value;
    HandlerOutcome::Kind kind = HandlerOutcome::Kind::Resume;
    std::optional<std::string> bad_answer; // item 0 when it is neither "resume" nor "abort"
    {
      PyRef name = PyRef::steal(
          PyUnicode_DecodeUTF8(op_name.data(), static_cast<Py_ssize_t>(op_name.size()), nullptr));
      if (!name) return std::unexpected(python_failure_to_vm_error(vm));
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.size())));
      if (!list) return std::unexpected(python_failure_to_vm_error(vm));
      for (std::size_t i = 0; i < data.size(); ++i) {
        PyRef item = to_python(data[i]);
        if (!item) return std::unexpected(python_failure_to_vm_error(vm));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      PyRef answer = PyRef::steal(
          PyObject_CallFunctionObjArgs(callable.get(), name.get(), list.get(), nullptr));
      if (!answer) return std::unexpected(python_failure_to_vm_error(vm));

      PyRef first = item_of(answer.get(), 0);
      if (!first) return std::unexpected(python_failure_to_vm_error(vm));
      if (!PyUnicode_Check(first.get())) {
        PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(first.get())));
        if (type_name) {
          PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'",
                       type_name.get());
        }
        return std::unexpected(python_failure_to_vm_error(vm));
      }
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(first.get(), &size);
      if (text == nullptr) return std::unexpected(python_failure_to_vm_error(vm));
      const std::string_view said(text, static_cast<std::size_t>(size));
      if (said == "abort") {
        kind = HandlerOutcome::Kind::Abort;
      } else if (said != "resume") {
        bad_answer.emplace(said);
      }

      PyRef second = item_of(answer.get(), 1);
      if (!second || !from_python(second.get(), value)) {
        return std::unexpected(python_failure_to_vm_error(vm));
      }
    }
    if (bad_answer) {
      return std::unexpected(handler_vm_error(
          EmbedError::handler("expected 'resume' or 'abort', got '" + *bad_answer + "'")));
    }
    Guarded<Value> v = to_value(vm, value);
    if (!v) return std::unexpected(to_vm_error(v.error()));
    return HandlerOutcome{kind, *v};
  }

private:
  // answer[i] through Python's item access, so any object indexable by 0 and 1 will do.
  static PyRef item_of(PyObject* answer, long i) {
    PyRef index = PyRef::steal(PyLong_FromLong(i));
    if (!index) return index;
    return PyRef::steal(PyObject_GetItem(answer, index.get()));
  }
};

const PythonCallableRef* as_python(const HostCallable* c) {
  return dynamic_cast<const PythonCallableRef*>(c);
}
const PythonCallableRef* as_python(const HostHandler* h) {
  return dynamic_cast<const PythonCallableRef*>(h);
}

} // namespace

std::expected<void, EmbedError> register_python_handler(Vm& vm, std::string_view effect,
                                                        PyObject* handler) {
  auto bridge = std::make_shared<PythonHandler>(handler);
  if (!register_host_handler(vm, effect, std::move(bridge))) {
    return std::unexpected(EmbedError::effect_not_found(std::string(effect)));
  }
  return {};
}

std::expected<void, EmbedError> define_python_function(Vm& vm, std::string_view name,
                                                       PyObject* func) {
  auto bridge = std::make_shared<PythonFunction>(func);
  std::expected<std::uint32_t, EngineError> index = define_host_function(vm, name, bridge);
  if (!index) {
    return std::unexpected(
        EmbedError::engine(EmbedError::EngineLayer::Runtime, to_string(index.error())));
  }
  return {};
}

int visit_python_callables(const Vm& vm, visitproc visit, void* arg) {
  for (const HostFunction& f : vm.host_functions) {
    if (const PythonCallableRef* p = as_python(f.callable.get())) {
      if (int r = p->visit(visit, arg)) return r;
    }
  }
  for (const auto& [id, handler] : vm.host_handlers) {
    if (const PythonCallableRef* p = as_python(handler.get())) {
      if (int r = p->visit(visit, arg)) return r;
    }
  }
  return 0;
}

void clear_python_callables(Vm& vm) {
  for (HostFunction& f : vm.host_functions) {
    if (auto* p = const_cast<PythonCallableRef*>(as_python(f.callable.get()))) p->clear();
  }
  for (auto& [id, handler] : vm.host_handlers) {
    if (auto* p = const_cast<PythonCallableRef*>(as_python(handler.get()))) p->clear();
  }
}

} // namespace quorvex
