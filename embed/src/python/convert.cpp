#include "convert.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "keyword.hpp"
#include "util/depth_guard.hpp"

namespace quorvex {

namespace {

constexpr const char* kIntoData = " while converting a Python object";
constexpr const char* kFromData = " while converting data to Python";

bool text_of_str(PyObject* str, DataKind kind, DataValue& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) return false;
  out = DataValue::text(kind, std::string_view(text, static_cast<std::size_t>(size)));
  return true;
}

bool int64_of(PyObject* obj, std::int64_t& out) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// Long copies between Python objects and data poll Python's signal handlers now and then, so
// that Ctrl-C stops them: false with the handler's exception set.
class SignalPoll {
public:
  bool ok() {
    if (--left_ != 0) [[likely]]
      return true;
    left_ = kInterval;
    return PyErr_CheckSignals() == 0;
  }

private:
  static constexpr std::uint32_t kInterval = 4096;
  std::uint32_t left_ = kInterval;
};

// One conversion into data. Holds what the conversion looked up once (the Fraction class), so that
// a large structure imports `fractions` at most once.
class IntoData {
public:
  bool convert(PyObject* obj, DataValue& out) {
    PyTypeObject* type = Py_TYPE(obj);
    // Exact types first: each matches exactly one rule, so the order among them does not matter.
    if (type == &PyUnicode_Type) return text_of_str(obj, DataKind::String, out);
    if (type == &PyLong_Type) return convert_int(obj, out);
    if (obj == Py_None) {
      out = DataValue();
      return true;
    }
    if (type == &PyBool_Type) {
      out = DataValue::boolean(obj == Py_True);
      return true;
    }
    if (type == &PyFloat_Type) {
      out = DataValue::floating(PyFloat_AsDouble(obj));
      return true;
    }
    if (is_keyword(obj)) {
      out = DataValue::share_text(DataKind::Keyword, keyword_name(obj));
      return true;
    }
    if (type == &PyList_Type) return convert_list(obj, out);
    if (type == &PyDict_Type) return convert_dict(obj, out);
    if (type == &PyTuple_Type) return convert_tuple(obj, out);
    // Subclasses, in the order of the rules.
    if (PyLong_Check(obj)) return convert_int(obj, out);
    if (PyFloat_Check(obj)) {
      const double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) return false;
      out = DataValue::floating(d);
      return true;
    }
    if (PyUnicode_Check(obj)) return text_of_str(obj, DataKind::String, out);
    if (PyList_Check(obj)) return convert_list(obj, out);
    if (PyTuple_Check(obj)) return convert_tuple(obj, out);
    if (PyDict_Check(obj)) return convert_dict(obj, out);
    if (PyAnySet_Check(obj)) return convert_set(obj, out);
    if (is_fraction(obj)) return convert_fraction(obj, out);
    return convert_other(obj, out);
  }

private:
  static bool convert_int(PyObject* obj, DataValue& out) {
    std::int64_t i = 0;
    if (!int64_of(obj, i)) return false;
    out = DataValue::integer(i);
    return true;
  }

  bool convert_list(PyObject* list, DataValue& out) {
    NestingScope scope(kIntoData);
    if (!scope.ok()) return false;
    DataSeqBuilder items(static_cast<std::size_t>(PyList_Size(list)));
    // Item code may shrink the list while we convert (a __str__ with side effects): the length is
    // read again at each step, and each item is held while it is converted.
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
      if (!signals_.ok()) return false;
      PyRef item = PyRef::borrow(PyList_GetItem(list, i));
      if (!item) return false;
      DataValue v;
      if (!convert(item.get(), v)) return false;
      items.push_back(std::move(v));
    }
    out = items.finish(DataKind::Vector);
    return true;
  }

  bool convert_tuple(PyObject* tuple, DataValue& out) {
    NestingScope scope(kIntoData);
    if (!scope.ok()) return false;
    const Py_ssize_t n = PyTuple_Size(tuple);
    DataSeqBuilder items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!signals_.ok()) return false;
      // A tuple keeps its items alive for as long as we keep the tuple.
      PyObject* item = PyTuple_GetItem(tuple, i);
      if (item == nullptr) return false;
      DataValue v;
      if (!convert(item, v)) return false;
      items.push_back(std::move(v));
    }
    out = items.finish(DataKind::Vector);
    return true;
  }

  bool convert_dict(PyObject* dict, DataValue& out) {
    NestingScope scope(kIntoData);
    if (!scope.ok()) return false;
    const Py_ssize_t size = PyDict_Size(dict);
    DataTableBuilder entries(static_cast<std::size_t>(size));
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict, &pos, &k, &v)) {
      if (!signals_.ok()) return false;
      PyRef key = PyRef::borrow(k);
      PyRef value = PyRef::borrow(v);
      DataValue dk;
      DataValue dv;
      if (!convert(key.get(), dk) || !convert(value.get(), dv)) return false;
      if (PyDict_Size(dict) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return false;
      }
      entries.insert(std::move(dk), std::move(dv));
    }
    out = entries.finish(DataKind::Map);
    return true;
  }

  bool convert_set(PyObject* set, DataValue& out) {
    NestingScope scope(kIntoData);
    if (!scope.ok()) return false;
    DataTableBuilder elements(static_cast<std::size_t>(PySet_Size(set)));
    PyRef iter = PyRef::steal(PyObject_GetIter(set));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
      if (!signals_.ok()) return false;
      DataValue v;
      if (!convert(item.get(), v)) return false;
      elements.insert(std::move(v));
    }
    if (PyErr_Occurred()) return false;
    out = elements.finish(DataKind::Set);
    return true;
  }

  // Trouble finding out (no `fractions`, a failing instance test) counts as "not a fraction".
  bool is_fraction(PyObject* obj) {
    if (!fraction_looked_up_) {
      fraction_looked_up_ = true;
      PyRef module = PyRef::steal(PyImport_ImportModule("fractions"));
      if (module) fraction_class_ = PyRef::steal(PyObject_GetAttrString(module.get(), "Fraction"));
      if (!fraction_class_) PyErr_Clear();
    }
    if (!fraction_class_) return false;
    const int r = PyObject_IsInstance(obj, fraction_class_.get());
    if (r < 0) PyErr_Clear();
    return r == 1;
  }

  static bool convert_fraction(PyObject* obj, DataValue& out) {
    PyRef num = PyRef::steal(PyObject_GetAttrString(obj, "numerator"));
    if (!num) return false;
    std::int64_t n = 0;
    if (!int64_of(num.get(), n)) return false;
    PyRef den = PyRef::steal(PyObject_GetAttrString(obj, "denominator"));
    if (!den) return false;
    std::int64_t d = 0;
    if (!int64_of(den.get(), d)) return false;
    if (d == 0) {
      // Only a Fraction subclass that lies about its denominator gets here.
      PyErr_Format(PyExc_ZeroDivisionError, "Fraction(%lld, 0)", static_cast<long long>(n));
      return false;
    }
    std::optional<DataValue> ratio = DataValue::checked_ratio(n, d);
    if (!ratio) {
      // Only a subclass reporting parts that no reduced 64-bit ratio has (INT64_MIN over -1).
      PyErr_SetString(PyExc_OverflowError, "ratio overflow");
      return false;
    }
    out = *std::move(ratio);
    return true;
  }

  static bool convert_other(PyObject* obj, DataValue& out) {
    PyRef str = PyRef::steal(PyObject_Str(obj));
    if (!str) return false;
    std::string_view text;
    PyRef holder = lossy_utf8(str.get(), text);
    if (!holder) return false;
    out = DataValue::string(text);
    return true;
  }

  PyRef fraction_class_;
  bool fraction_looked_up_ = false;
  SignalPoll signals_;
};

// One conversion out of data.
class FromData {
public:
  PyRef convert(const DataValue& v, bool as_key = false) {
    switch (v.kind()) {
    case DataKind::Nil:
      return PyRef::borrow(Py_None);
    case DataKind::Bool:
      return PyRef::borrow(v.as_bool() ? Py_True : Py_False);
    case DataKind::Int:
      return PyRef::steal(PyLong_FromLongLong(v.as_int()));
    case DataKind::Float:
      return PyRef::steal(PyFloat_FromDouble(v.as_float()));
    case DataKind::Ratio:
      return make_.ratio(v.numerator(), v.denominator());
    case DataKind::String:
    case DataKind::Symbol:
    case DataKind::Opaque:
      return as_key ? make_.key_str(v.text().view()) : make_.str(v.text().view());
    case DataKind::Keyword:
      return make_.keyword(v.text());
    case DataKind::List:
    case DataKind::Vector:
      return convert_seq(v.seq());
    case DataKind::Map:
      return convert_map(v.table());
    case DataKind::Set:
      return convert_set(v.table());
    case DataKind::Regex:
      return make_.regex(v.as_regex().pattern());
    }
    PyErr_SetString(PyExc_SystemError, "unknown data kind");
    return PyRef();
  }

private:
  PyRef convert_seq(const DataSeq& seq) {
    NestingScope scope(kFromData);
    if (!scope.ok()) return PyRef();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(seq.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < seq.size(); ++i) {
      if (!signals_.ok()) return PyRef();
      PyRef item = convert(seq[i]);
      if (!item) return item;
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) {
        return PyRef();
      }
    }
    return list;
  }

  PyRef convert_map(const DataTable& table) {
    NestingScope scope(kFromData);
    if (!scope.ok()) return PyRef();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (!signals_.ok()) return PyRef();
      PyRef key = convert(table.key(i), true);
      if (!key) return key;
      PyRef value = convert(table.value(i));
      if (!value) return value;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyRef();
    }
    return dict;
  }

  PyRef convert_set(const DataTable& table) {
    NestingScope scope(kFromData);
    if (!scope.ok()) return PyRef();
    std::vector<PyRef> elements;
    elements.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (!signals_.ok()) return PyRef();
      PyRef e = convert(table.key(i));
      if (!e) return e;
      elements.push_back(std::move(e));
    }
    PyRef set = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!set) return set;
    for (const PyRef& e : elements) {
      if (PySet_Add(set.get(), e.get()) < 0) return PyRef();
    }
    return set;
  }

  PyMaker make_;
  SignalPoll signals_;
};

} // namespace

bool py_to_data(PyObject* obj, DataValue& out) {
  IntoData conversion;
  return conversion.convert(obj, out);
}

PyRef data_to_py(const DataValue& value) {
  FromData conversion;
  return conversion.convert(value);
}

NestingScope::NestingScope(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {
  if (entered_ && !guard_) {
    Py_LeaveRecursiveCall();
    entered_ = false;
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
  }
}

PyRef PyMaker::str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// Zero-initialised storage: no constructor runs at load, and every way starts empty.
SharedMemo g_shared_keys;
SharedMemo g_shared_keywords;

void PyMaker::Memo::release() {
  for (std::uint64_t sets = used_; sets != 0; sets &= sets - 1) {
    const Entry* set = &entries_[2 * static_cast<std::size_t>(std::countr_zero(sets))];
    Py_XDECREF(set[0].obj);
    Py_XDECREF(set[1].obj);
  }
}

PyObject* PyMaker::Memo::find(std::string_view text) const {
  const std::uint64_t h = text_hash(text);
  const std::size_t s = set_of(h);
  if (!in_use(s)) return nullptr;
  const Entry* set = &entries_[2 * s];
  for (int way = 0; way < 2; ++way) {
    const Entry& e = set[way];
    if (e.hash == h && e.obj != nullptr && std::string_view(e.data, e.size) == text) return e.obj;
  }
  return nullptr;
}

void PyMaker::Memo::remember(std::string_view text, PyObject* obj) {
  const std::uint64_t h = text_hash(text);
  const std::size_t s = set_of(h);
  Entry* set = &entries_[2 * s];
  if (!in_use(s)) {
    used_ |= std::uint64_t{1} << s;
    set[0] = Entry{0, nullptr, 0, nullptr};
    set[1] = Entry{0, nullptr, 0, nullptr};
  }
  // The newest goes first; the one it displaces moves to the second way, dropping what was there.
  Py_INCREF(obj);
  PyObject* dropped = set[1].obj;
  set[1] = set[0];
  set[0] = Entry{h, text.data(), text.size(), obj};
  Py_XDECREF(dropped);
}

void PyMaker::remember_key(std::string_view text, PyObject* obj) {
  if (SharedMemo::fits(text)) {
    g_shared_keys.remember(text, text_hash(text), obj);
  } else {
    key_memo_.remember(text, obj);
  }
}

PyRef PyMaker::key_str(std::string_view text) {
  if (PyObject* known = known_key(text)) return PyRef::borrow(known);
  PyRef made = str(text);
  if (made) remember_key(text, made.get());
  return made;
}

PyRef PyMaker::keyword(const DataText& name) {
  const std::string_view text = name.view();
  if (SharedMemo::fits(text)) {
    const std::uint64_t h = text_hash(text);
    if (PyObject* known = g_shared_keywords.find(text, h)) return PyRef::borrow(known);
    PyRef made = PyRef::steal(make_keyword(name));
    if (made) g_shared_keywords.remember(text, h, made.get());
    return made;
  }
  if (PyObject* known = keyword_memo_.find(text)) return PyRef::borrow(known);
  PyRef made = PyRef::steal(make_keyword(name));
  if (made) keyword_memo_.remember(text, made.get());
  return made;
}

PyRef PyMaker::keyword(std::string_view name, bool transient) {
  // A short name is copied into the shared memo, so it is shared whether or not it outlives
  // the maker.
  const bool shared = SharedMemo::fits(name);
  const std::uint64_t h = shared ? text_hash(name) : 0;
  if (shared) {
    if (PyObject* known = g_shared_keywords.find(name, h)) return PyRef::borrow(known);
  } else if (!transient) {
    if (PyObject* known = keyword_memo_.find(name)) return PyRef::borrow(known);
  }
  const DataText* text = DataText::make(name);
  PyRef made = PyRef::steal(make_keyword(*text));
  text->release();
  if (made) {
    if (shared) {
      g_shared_keywords.remember(name, h, made.get());
    } else if (!transient) {
      keyword_memo_.remember(name, made.get());
    }
  }
  return made;
}

PyRef PyMaker::ratio(std::int64_t num, std::int64_t den) {
  const std::optional<DataValue> checked = DataValue::checked_ratio(num, den);
  if (!checked) {
    PyErr_SetString(PyExc_OverflowError, "ratio overflow");
    return PyRef();
  }
  const DataValue& reduced = *checked;
  if (reduced.kind() == DataKind::Int) return PyRef::steal(PyLong_FromLongLong(reduced.as_int()));
  if (!fraction_class_) {
    PyRef module = PyRef::steal(PyImport_ImportModule("fractions"));
    if (!module) return module;
    fraction_class_ = PyRef::steal(PyObject_GetAttrString(module.get(), "Fraction"));
    if (!fraction_class_) return PyRef();
  }
  PyRef n = PyRef::steal(PyLong_FromLongLong(reduced.numerator()));
  if (!n) return n;
  PyRef d = PyRef::steal(PyLong_FromLongLong(reduced.denominator()));
  if (!d) return d;
  return PyRef::steal(
      PyObject_CallFunctionObjArgs(fraction_class_.get(), n.get(), d.get(), nullptr));
}

PyRef PyMaker::regex(std::string_view pattern) {
  if (!re_compile_) {
    PyRef module = PyRef::steal(PyImport_ImportModule("re"));
    if (!module) return module;
    re_compile_ = PyRef::steal(PyObject_GetAttrString(module.get(), "compile"));
    if (!re_compile_) return PyRef();
  }
  PyRef text = str(pattern);
  if (!text) return text;
  return PyRef::steal(PyObject_CallFunctionObjArgs(re_compile_.get(), text.get(), nullptr));
}

PyRef lossy_utf8(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(str, &size)) {
    out = std::string_view(text, static_cast<std::size_t>(size));
    return PyRef::borrow(str);
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return PyRef();
  PyErr_Clear();
  // Lone surrogates: encode them as they are, then decode with every ill-formed subsequence
  // replaced by U+FFFD.
  PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!raw) return raw;
  char* bytes = nullptr;
  Py_ssize_t nbytes = 0;
  if (PyBytes_AsStringAndSize(raw.get(), &bytes, &nbytes) < 0) return PyRef();
  PyRef clean = PyRef::steal(PyUnicode_DecodeUTF8(bytes, nbytes, "replace"));
  if (!clean) return clean;
  const char* text = PyUnicode_AsUTF8AndSize(clean.get(), &size);
  if (text == nullptr) return PyRef();
  out = std::string_view(text, static_cast<std::size_t>(size));
  return clean;
}

} // namespace quorvex
