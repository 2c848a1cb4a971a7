#include "vm/compiler/form_access.hpp"

namespace quorvex {

std::vector<const Form*> elements_of(const Form& form) {
  const Form& f = form.peeled();
  std::vector<const Form*> out;
  switch (f.kind()) {
  case FormKind::List:
  case FormKind::Vector: {
    const FormVec& items = f.items();
    out.reserve(items.size());
    for (const Form& item : items)
      out.push_back(&item);
    break;
  }
  case FormKind::Set: {
    const FormSet& set = f.as_set();
    out.reserve(set.size());
    for (const Form& item : set)
      out.push_back(&item);
    break;
  }
  default:
    break;
  }
  return out;
}

std::vector<std::pair<const Form*, const Form*>> entries_of(const Form& form) {
  const Form& f = form.peeled();
  std::vector<std::pair<const Form*, const Form*>> out;
  if (f.kind() != FormKind::Map) return out;
  const FormMap& map = f.as_map();
  out.reserve(map.size());
  for (const auto& entry : map)
    out.emplace_back(&entry.first, &entry.second);
  return out;
}

} // namespace quorvex
