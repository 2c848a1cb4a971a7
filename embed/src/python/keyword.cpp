#include "keyword.hpp"

#include <cstring>
#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace quorvex {

namespace {

PyTypeObject* g_keyword_type = nullptr;

KeywordObject* as_keyword(PyObject* obj) {
  return reinterpret_cast<KeywordObject*>(obj);
}

PyObject* keyword_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_object([&]() -> PyObject* {
    PyObject* name_arg = nullptr;
    if (!match_arguments("Keyword", {"name"}, args, kwargs, &name_arg)) return nullptr;
    if (!PyUnicode_Check(name_arg)) {
      raise_argument_type_error("name", name_arg, "PyString");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name_arg, &size);
    if (text == nullptr) return nullptr;
    const DataText* name = DataText::make(std::string_view(text, static_cast<std::size_t>(size)));
    PyObject* obj = make_keyword(*name);
    name->release();
    return obj;
  });
}

void keyword_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_keyword(self)->name->release();
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* text_to_str(const DataText& text) {
  return PyUnicode_DecodeUTF8(text.bytes(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* keyword_str(PyObject* self) {
  return text_to_str(*as_keyword(self)->name);
}

PyObject* keyword_repr(PyObject* self) {
  return guard_object([&]() -> PyObject* {
    // The name goes in unescaped, between plain double quotes.
    const std::string_view name = as_keyword(self)->name->view();
    std::string text;
    text.reserve(name.size() + 11);
    text += "Keyword(\"";
    text += name;
    text += "\")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  });
}

PyObject* keyword_richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_keyword(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = as_keyword(self)->name->view() == as_keyword(other)->name->view();
  return PyBool_FromLong((op == Py_EQ) == equal);
}

Py_hash_t keyword_tp_hash(PyObject* self) {
  KeywordObject* kw = as_keyword(self);
  if (kw->hash == -1) kw->hash = keyword_hash(kw->name->view());
  return kw->hash;
}

PyObject* keyword_get_name(PyObject* self, void*) {
  return keyword_str(self);
}

PyGetSetDef keyword_getset[] = {
    {"name", keyword_get_name, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot keyword_slots[] = {
    {Py_tp_doc, const_cast<char*>("Keyword(name)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(keyword_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(keyword_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(keyword_str)},
    {Py_tp_repr, reinterpret_cast<void*>(keyword_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(keyword_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(keyword_tp_hash)},
    {Py_tp_getset, keyword_getset},
    {0, nullptr},
};

PyType_Spec keyword_type_layout = {
    "quorvex.Keyword", static_cast<int>(sizeof(KeywordObject)), 0, Py_TPFLAGS_DEFAULT,
    keyword_slots,
};

} // namespace

PyTypeObject* keyword_type() {
  if (g_keyword_type == nullptr) {
    g_keyword_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&keyword_type_layout));
  }
  return g_keyword_type;
}

bool is_keyword(PyObject* obj) {
  return g_keyword_type != nullptr && Py_TYPE(obj) == g_keyword_type;
}

PyObject* make_keyword(const DataText& name) {
  PyTypeObject* type = keyword_type();
  if (type == nullptr) return nullptr;
  KeywordObject* obj = PyObject_New(KeywordObject, type);
  if (obj == nullptr) return nullptr;
  name.retain();
  obj->name = &name;
  obj->hash = -1; // computed when first asked for
  return reinterpret_cast<PyObject*>(obj);
}

Py_hash_t keyword_hash(std::string_view name) {
  SipHasher13 h;
  h.write_str(name);
  auto hash = static_cast<Py_hash_t>(h.finish());
  return hash == -1 ? -2 : hash;
}

} // namespace quorvex
