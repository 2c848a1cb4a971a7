// quorvex_probe: a test-only extension module over the data layer of quorvex.
//
// Tests reach DataValue, its EDN text, its equality and hash, and the conversions to and from
// Python objects through these functions without a machine. The probe has its own copy of the
// data layer, hence its own Keyword class (probe.Keyword), which behaves exactly like
// quorvex.Keyword. It is built next to the module and never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "data_value.hpp"
#include "edn.hpp"
#include "errors.hpp"
#include "keyword.hpp"
#include "py_ref.hpp"
#include "regex/regex.hpp"
#include "util/internal_error.hpp"
#include "value/heap.hpp"
#include "value_data.hpp"

namespace quorvex {

namespace {

PyObject* str_result(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// EDN text of the value, or RecursionError when it nests too deeply to print.
PyObject* edn_result(const DataValue& v) {
  std::string out;
  if (!print_edn(v, out)) {
    PyErr_SetString(PyExc_RecursionError, "data nests too deeply to print");
    return nullptr;
  }
  return str_result(out);
}

// (edn text, Python object) of a value.
PyObject* both_results(const DataValue& v) {
  PyRef text = PyRef::steal(edn_result(v));
  if (!text) return nullptr;
  PyRef obj = data_to_py(v);
  if (!obj) return nullptr;
  return PyTuple_Pack(2, text.get(), obj.get());
}

// to_edn(obj): EDN text of py_to_data(obj).
PyObject* probe_to_edn(PyObject*, PyObject* obj) {
  return guard_object([&]() -> PyObject* {
    DataValue v;
    if (!py_to_data(obj, v)) return nullptr;
    return edn_result(v);
  });
}

// roundtrip(obj): data_to_py(py_to_data(obj)).
PyObject* probe_roundtrip(PyObject*, PyObject* obj) {
  return guard_object([&]() -> PyObject* {
    DataValue v;
    if (!py_to_data(obj, v)) return nullptr;
    return data_to_py(v).release();
  });
}

// data_equal(a, b): data_value_eq of both conversions.
PyObject* probe_data_equal(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    PyObject* a = nullptr;
    PyObject* b = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &a, &b)) return nullptr;
    DataValue x;
    DataValue y;
    if (!py_to_data(a, x) || !py_to_data(b, y)) return nullptr;
    return PyBool_FromLong(data_value_eq(x, y));
  });
}

// data_hash(obj): data_value_hash with zero keys, as an unsigned 64-bit int.
PyObject* probe_data_hash(PyObject*, PyObject* obj) {
  return guard_object([&]() -> PyObject* {
    DataValue v;
    if (!py_to_data(obj, v)) return nullptr;
    SipHasher13 h;
    data_value_hash(v, h);
    return PyLong_FromUnsignedLongLong(h.finish());
  });
}

// table(kind, items): a DataValue map (items: (key, value) pairs) or set (items: elements) built by
// inserting in order; answers (edn text, Python object, entry count).
PyObject* probe_table(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    const char* kind = nullptr;
    PyObject* items = nullptr;
    if (!PyArg_ParseTuple(args, "sO!", &kind, &PyList_Type, &items)) return nullptr;
    const bool is_map = std::string(kind) == "map";
    DataTableBuilder table(0);
    for (Py_ssize_t i = 0; i < PyList_Size(items); ++i) {
      PyObject* item = PyList_GetItem(items, i);
      if (is_map) {
        PyObject* k = nullptr;
        PyObject* val = nullptr;
        if (!PyArg_ParseTuple(item, "OO", &k, &val)) return nullptr;
        DataValue dk;
        DataValue dv;
        if (!py_to_data(k, dk) || !py_to_data(val, dv)) return nullptr;
        table.insert(std::move(dk), std::move(dv));
      } else {
        DataValue e;
        if (!py_to_data(item, e)) return nullptr;
        table.insert(std::move(e));
      }
    }
    const std::size_t count = table.size();
    DataValue v = table.finish(is_map ? DataKind::Map : DataKind::Set);
    PyRef pair = PyRef::steal(both_results(v));
    if (!pair) return nullptr;
    return Py_BuildValue("OOn", PyTuple_GetItem(pair.get(), 0), PyTuple_GetItem(pair.get(), 1),
                         static_cast<Py_ssize_t>(count));
  });
}

// ratio(num, den): (edn text, Python object) of DataValue::checked_ratio.
PyObject* probe_ratio(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    long long num = 0;
    long long den = 0;
    if (!PyArg_ParseTuple(args, "LL", &num, &den)) return nullptr;
    if (den == 0) {
      PyErr_SetString(PyExc_ValueError, "zero denominator");
      return nullptr;
    }
    std::optional<DataValue> ratio = DataValue::checked_ratio(num, den);
    if (!ratio) {
      PyErr_SetString(PyExc_OverflowError, "ratio overflow");
      return nullptr;
    }
    return both_results(*ratio);
  });
}

// text(kind, s): (edn text, Python object) of a text kind: "symbol", "opaque", "keyword", "string".
PyObject* probe_text(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    const char* kind = nullptr;
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "ss#", &kind, &text, &size)) return nullptr;
    const std::string k(kind);
    const DataKind dk = k == "symbol"    ? DataKind::Symbol
                        : k == "opaque"  ? DataKind::Opaque
                        : k == "keyword" ? DataKind::Keyword
                                         : DataKind::String;
    return both_results(
        DataValue::text(dk, std::string_view(text, static_cast<std::size_t>(size))));
  });
}

// parse_edn_via_forms(src): parse_edn's result the long way, through reader forms. Called the
// way parse_edn is (fast call): from a call site the interpreter has specialised, neither call
// counts as a level of recursion, so both meet the recursion limit at the same depth.
PyObject* probe_parse_edn_via_forms(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard_object([&]() -> PyObject* {
    if (nargs != 1) {
      PyErr_SetString(PyExc_TypeError, "parse_edn_via_forms takes one argument");
      return nullptr;
    }
    PyObject* arg = args[0];
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
    if (text == nullptr) return nullptr;
    return parse_edn_via_forms(std::string_view(text, static_cast<std::size_t>(size))).release();
  });
}

// regex(pattern): (edn text, Python object) of a regex compiled by the language's regex engine.
PyObject* probe_regex(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "s#", &text, &size)) return nullptr;
    auto compiled = Regex::compile(std::string_view(text, static_cast<std::size_t>(size)));
    if (!compiled) {
      PyErr_SetString(PyExc_ValueError, compiled.error().c_str());
      return nullptr;
    }
    return both_results(DataValue::regex(*compiled));
  });
}

// list_vs_vector(obj): (edn of obj as a list, edn as a vector, whether the two are equal).
PyObject* probe_list_vs_vector(PyObject*, PyObject* obj) {
  return guard_object([&]() -> PyObject* {
    DataValue v;
    if (!py_to_data(obj, v)) return nullptr;
    if (v.kind() != DataKind::Vector) {
      PyErr_SetString(PyExc_TypeError, "expected a list or tuple");
      return nullptr;
    }
    DataSeqBuilder items(v.seq().size());
    for (const DataValue& e : v.seq())
      items.push_back(e);
    DataValue list = items.finish(DataKind::List);
    PyRef a = PyRef::steal(edn_result(list));
    PyRef b = PyRef::steal(edn_result(v));
    if (!a || !b) return nullptr;
    return Py_BuildValue("OON", a.get(), b.get(), PyBool_FromLong(data_value_eq(list, v)));
  });
}

// nested(depth, action): a vector nested `depth` levels around 1, then "drop" (built and dropped),
// "to_py" (converted to Python), "edn" (printed), "equal" (compared with a copy built alike).
PyObject* probe_nested(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    Py_ssize_t depth = 0;
    const char* action = nullptr;
    if (!PyArg_ParseTuple(args, "ns", &depth, &action)) return nullptr;
    auto build = [depth] {
      DataValue v = DataValue::integer(1);
      for (Py_ssize_t i = 0; i < depth; ++i) {
        DataSeqBuilder one(1);
        one.push_back(std::move(v));
        v = one.finish(DataKind::Vector);
      }
      return v;
    };
    const std::string what(action);
    DataValue v = build();
    if (what == "drop") Py_RETURN_NONE;
    if (what == "to_py") return data_to_py(v).release();
    if (what == "edn") return edn_result(v);
    if (what == "equal") return PyBool_FromLong(data_value_eq(v, build()));
    PyErr_SetString(PyExc_ValueError, "unknown action");
    return nullptr;
  });
}

// A machine's data without the machine: a heap that collects whenever a collection is due and
// allowed (no roots: everything unprotected is freed), and a name interner.
struct NoRoots final : RootSource {
  void append_roots(std::vector<HeapKey>&) const override {}
};

struct Runtime {
  NoRoots roots;
  Heap heap;
  Interner names;
  Runtime() { heap.root_source = &roots; }
  // Frees everything unprotected, now.
  void heap_collect_all() { heap_collect(heap, {}); }
};

bool fault_to_python(ValueFault fault) {
  PyErr_SetString(fault == ValueFault::TooDeep ? PyExc_RecursionError : PyExc_ValueError,
                  value_fault_text(fault));
  return false;
}

// runtime_roundtrip(obj): (EDN text, Python object) of obj after a trip through runtime values:
// py_to_data, data_to_value, value_to_data, data_to_py. Also answers how many collections ran.
PyObject* probe_runtime_roundtrip(PyObject*, PyObject* obj) {
  return guard_object([&]() -> PyObject* {
    DataValue data;
    if (!py_to_data(obj, data)) return nullptr;
    Runtime rt;
    rt.heap.gc_threshold = 64;
    Guarded<Value> value = data_to_value(rt.heap, rt.names, data);
    if (!value) return fault_to_python(value.error()), nullptr;
    Guarded<DataValue> back = value_to_data(rt.heap, rt.names, *value);
    if (!back) return fault_to_python(back.error()), nullptr;
    PyRef pair = PyRef::steal(both_results(*back));
    if (!pair) return nullptr;
    return Py_BuildValue("OOK", PyTuple_GetItem(pair.get(), 0), PyTuple_GetItem(pair.get(), 1),
                         static_cast<unsigned long long>(rt.heap.collections));
  });
}

// runtime_objects(): {name: (EDN text, Python object)} of value_to_data for runtime values that
// only a machine makes: objects without a data form, a stale key, names with a namespace.
PyObject* probe_runtime_objects(PyObject*, PyObject*) {
  return guard_object([&]() -> PyObject* {
    Runtime rt;
    std::vector<std::pair<const char*, Value>> cases;
    auto object = [&](HeapObject o) { return Value::object(heap_insert(rt.heap, std::move(o))); };
    const Value gone = object(HeapObject(Atom{}));
    rt.heap_collect_all();
    cases.emplace_back("stale", gone);
    cases.emplace_back("atom", object(HeapObject(Atom{Value::from_int(1)})));
    cases.emplace_back("variant",
                       object(HeapObject(Variant{{Value::from_int(1)}, VariantTag::make(3, 5)})));
    cases.emplace_back("effect", object(HeapObject(Effect{})));
    cases.emplace_back("keybox", object(HeapObject(KeyBox{Value::nil()})));
    cases.emplace_back("optic", object(HeapObject(Optic{})));
    cases.emplace_back("closure", object(HeapObject(Closure{})));
    cases.emplace_back("continuation", object(HeapObject(Continuation{})));
    cases.emplace_back("native", Value::native_fn(7));
    cases.emplace_back("symbol", Value::symbol(rt.names.get_or_intern("ns/name")));
    cases.emplace_back("keyword", Value::keyword(rt.names.get_or_intern("ns/kw")));
    cases.emplace_back("ratio", Value::from_ratio_unchecked(-3, 4));
    const Value string = object(HeapObject(StringObject{*SmallString::from("text")}));
    const Value list = object(
        HeapObject(SeqObject{ValueVector().push_back(string).push_back(Value::nil()), false}));
    cases.emplace_back("list", list);
    cases.emplace_back("vector",
                       object(HeapObject(SeqObject{ValueVector().push_back(list), true})));
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [name, value] : cases) {
      Guarded<DataValue> data = value_to_data(rt.heap, rt.names, value);
      if (!data) return fault_to_python(data.error()), nullptr;
      PyRef pair = PyRef::steal(both_results(*data));
      if (!pair || PyDict_SetItemString(result.get(), name, pair.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

// runtime_nested(depth): value_to_data of a runtime vector nested `depth` levels around 1, as
// EDN text; RecursionError when it nests too deeply to convert.
PyObject* probe_runtime_nested(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    Py_ssize_t depth = 0;
    if (!PyArg_ParseTuple(args, "n", &depth)) return nullptr;
    Runtime rt;
    Value v = Value::from_int(1);
    for (Py_ssize_t i = 0; i < depth; ++i) {
      v = Value::object(
          heap_insert(rt.heap, HeapObject(SeqObject{ValueVector().push_back(v), true})));
    }
    Guarded<DataValue> data = value_to_data(rt.heap, rt.names, v);
    if (!data) return fault_to_python(data.error()), nullptr;
    if (depth > 1000) Py_RETURN_NONE; // converted; too deep to print usefully
    return edn_result(*data);
  });
}

// fault(kind): throws inside an entry guard: "internal", "bad_alloc" or "other".
PyObject* probe_fault(PyObject*, PyObject* args) {
  return guard_object([&]() -> PyObject* {
    const char* kind = nullptr;
    if (!PyArg_ParseTuple(args, "s", &kind)) return nullptr;
    const std::string k(kind);
    if (k == "internal") throw InternalError("Failed to get or intern string");
    if (k == "bad_alloc") throw std::bad_alloc();
    throw std::logic_error("a broken invariant");
  });
}

PyMethodDef probe_methods[] = {
    {"to_edn", probe_to_edn, METH_O, nullptr},
    {"roundtrip", probe_roundtrip, METH_O, nullptr},
    {"data_equal", probe_data_equal, METH_VARARGS, nullptr},
    {"data_hash", probe_data_hash, METH_O, nullptr},
    {"table", probe_table, METH_VARARGS, nullptr},
    {"ratio", probe_ratio, METH_VARARGS, nullptr},
    {"text", probe_text, METH_VARARGS, nullptr},
    {"regex", probe_regex, METH_VARARGS, nullptr},
    {"parse_edn_via_forms",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_parse_edn_via_forms)),
     METH_FASTCALL, nullptr},
    {"list_vs_vector", probe_list_vs_vector, METH_O, nullptr},
    {"nested", probe_nested, METH_VARARGS, nullptr},
    {"fault", probe_fault, METH_VARARGS, nullptr},
    {"runtime_roundtrip", probe_runtime_roundtrip, METH_O, nullptr},
    {"runtime_objects", probe_runtime_objects, METH_NOARGS, nullptr},
    {"runtime_nested", probe_runtime_nested, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT,
    "quorvex_probe",
    "Test access to the data layer of quorvex.",
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace quorvex

PyMODINIT_FUNC PyInit_quorvex_probe(void) {
  return quorvex::guard_object([]() -> PyObject* {
    quorvex::PyRef module = quorvex::PyRef::steal(PyModule_Create(&quorvex::probe_def));
    if (!module) return nullptr;
    PyObject* keyword = reinterpret_cast<PyObject*>(quorvex::keyword_type());
    if (keyword == nullptr) return nullptr;
    if (PyObject_SetAttrString(module.get(), "Keyword", keyword) < 0) return nullptr;
    if (PyObject_SetAttrString(module.get(), "PanicException", quorvex::panic_exception_class()) <
        0) {
      return nullptr;
    }
    return module.release();
  });
}
