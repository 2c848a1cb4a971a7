#include "edn.hpp"

#include <string>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "reader/core_error.hpp"
#include "reader/form.hpp"
#include "reader/reader.hpp"

namespace quorvex {

namespace {

constexpr const char* kWhere = " while converting EDN to Python";

// Forms straight into Python objects. Going through DataValue would give the same objects (keys
// equal as data are equal in Python too, and both paths keep the first key and the last value in
// the map's order), but would copy every text and hash every key once more on the way.
class FormToPy {
public:
  PyRef convert(const Form& form) { return convert(form, false); }

private:
  PyRef convert(const Form& form, bool as_key) {
    const Form& f = form.peeled();
    switch (f.kind()) {
    case Form::Kind::Nil:
    case Form::Kind::Spanned:
      return PyRef::borrow(Py_None);
    case Form::Kind::Bool:
      return PyRef::borrow(f.as_bool() ? Py_True : Py_False);
    case Form::Kind::Int:
      return PyRef::steal(PyLong_FromLongLong(f.as_int()));
    case Form::Kind::Ratio: {
      // The reader keeps 4/2 as the ratio 2/1; the maker turns it into the integer 2.
      const FormRatio r = f.as_ratio();
      return make_.ratio(r.num, r.den);
    }
    case Form::Kind::Float:
      return PyRef::steal(PyFloat_FromDouble(f.as_float()));
    case Form::Kind::String:
      return as_key ? make_.key_str(f.as_string()) : make_.str(f.as_string());
    case Form::Kind::Symbol:
      if (!f.ns()) return as_key ? make_.key_str(f.name()) : make_.str(f.name());
      return make_.str(whole_name(f));
    case Form::Kind::Keyword:
      if (!f.ns()) return make_.keyword(f.name());
      return make_.keyword(whole_name(f), true);
    case Form::Kind::List:
    case Form::Kind::Vector:
      return convert_seq(f.items());
    case Form::Kind::Map:
      return convert_map(f.as_map());
    case Form::Kind::Set:
      return convert_set(f.as_set());
    case Form::Kind::Regex:
      return make_.regex(f.as_regex()->pattern());
    case Form::Kind::NativeFn:
      return make_.str("native-fn");
    case Form::Kind::Optic:
      return make_.str("optic");
    case Form::Kind::Effect:
      return make_.str("effect");
    case Form::Kind::Atom:
      return make_.str("atom");
    }
    return PyRef::borrow(Py_None);
  }

  // Namespaces stay: "foo/bar" is the whole name, as the machine's symbols and keywords are.
  std::string_view whole_name(const Form& f) {
    scratch_.assign(*f.ns());
    scratch_ += '/';
    scratch_ += f.name();
    return scratch_;
  }

  PyRef convert_seq(const FormVec& items) {
    NestingScope scope(kWhere);
    if (!scope.ok()) return PyRef();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (const Form& item : items) {
      PyRef obj = convert(item, false);
      if (!obj) return obj;
      if (PyList_SetItem(list.get(), i++, obj.release()) < 0) return PyRef();
    }
    return list;
  }

  PyRef convert_map(const FormMap& map) {
    NestingScope scope(kWhere);
    if (!scope.ok()) return PyRef();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const auto& entry : map) {
      PyRef key = convert(entry.first, true);
      if (!key) return key;
      PyRef value = convert(entry.second, false);
      if (!value) return value;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyRef();
    }
    return dict;
  }

  PyRef convert_set(const FormSet& set) {
    NestingScope scope(kWhere);
    if (!scope.ok()) return PyRef();
    // All elements first, then the frozenset, as for data sets.
    std::vector<PyRef> elements;
    elements.reserve(set.size());
    for (const Form& element : set) {
      PyRef obj = convert(element, false);
      if (!obj) return obj;
      elements.push_back(std::move(obj));
    }
    PyRef frozen = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!frozen) return frozen;
    for (const PyRef& e : elements) {
      if (PySet_Add(frozen.get(), e.get()) < 0) return PyRef();
    }
    return frozen;
  }

  PyMaker make_;
  std::string scratch_;
};

} // namespace

PyRef parse_edn_object(std::string_view src) {
  // No span wrappers: nothing here reports a location past the reader's own errors, and a
  // wrapper per form would cost an allocation and a pointer hop each. Only the last form is kept.
  Reader reader(src, std::nullopt, Spans::Drop);
  Form last;
  bool any = false;
  while (!reader.at_end()) {
    auto form = reader.read_form();
    if (!form) {
      raise_embed_error(EmbedError::invalid_edn(format_core_error(form.error())));
      return PyRef();
    }
    last = std::move(*form);
    any = true;
  }
  if (!any) return PyRef::borrow(Py_None);
  FormToPy conversion;
  return conversion.convert(last);
}

} // namespace quorvex
