#include "scalars.hpp"

#include <vector>

#include "value/objects.hpp"

namespace quorvex {

bool py_flat_sequence_to_value(Heap& heap, PyObject* obj, Value& out) {
  PyTypeObject* type = Py_TYPE(obj);
  const bool is_list = type == &PyList_Type;
  if (!is_list && type != &PyTuple_Type) return false;
  const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return false;
  }
  if (n > kMaxDirectSequence) return false;
  // Only exact scalars are read, none of which runs Python code, so the list cannot change
  // under the loop. Each value is written where it stays until the vector is built: copying a
  // value just composed field by field costs a store-forwarding stall per element.
  std::vector<Value> staged(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if (item == nullptr) {
      PyErr_Clear();
      return false;
    }
    if (!py_scalar_to_value(item, staged[static_cast<std::size_t>(i)])) return false;
  }
  ValueVector items = ValueVector::from_range(staged.data(), staged.data() + staged.size());
  out = Value::object(heap_alloc(heap, HeapObject(SeqObject{std::move(items), true})));
  return true;
}

PyRef flat_sequence_to_py(const Heap& heap, const Value& v, bool& handled) {
  handled = false;
  if (v.tag != Tag::Object) return PyRef();
  const HeapObject* object = heap_get(heap, v.as.key);
  if (object == nullptr || object->kind() != ObjectKind::Seq) return PyRef();
  const ValueVector& items = object->get_if<SeqObject>()->items;
  if (items.size() > static_cast<std::size_t>(kMaxDirectSequence)) return PyRef();
  for (const Value& item : items) {
    if (item.tag != Tag::Nil && item.tag != Tag::Bool && item.tag != Tag::Int &&
        item.tag != Tag::Float) {
      return PyRef();
    }
  }
  handled = true;
  // Nothing below touches the heap, so `items` stays where it is.
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const Value& item : items) {
    bool scalar = false;
    PyRef obj = scalar_to_py(item, scalar);
    if (!obj) return PyRef();
    PyList_SetItem(list.get(), i++, obj.release());
  }
  return list;
}

} // namespace quorvex
