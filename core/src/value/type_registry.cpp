#include "value/type_registry.hpp"

#include <algorithm>

namespace quorvex {

const char* registry_error_text(RegistryError e) {
  switch (e) {
  case RegistryError::TooManyTypes:
    return "too many data types (at most 65536)";
  case RegistryError::TooManyVariants:
    return "too many variants in one data type (at most 256)";
  case RegistryError::TooManyFields:
    return "too many fields in one variant (at most 255)";
  }
  return "too many data types (at most 65536)";
}

std::optional<std::uint8_t> VariantInfo::find_field(Spur field) const {
  auto it = std::lower_bound(field_index.begin(), field_index.end(), field,
                             [](const auto& entry, Spur f) { return entry.first < f; });
  if (it == field_index.end() || it->first != field) return std::nullopt;
  return it->second;
}

std::expected<VariantInfo, RegistryError>
make_variant_info(Spur name, std::vector<Spur> field_names, std::optional<HeapKey> singleton) {
  if (field_names.size() > TypeRegistry::kMaxFields) {
    return std::unexpected(RegistryError::TooManyFields);
  }
  VariantInfo info;
  info.name = name;
  info.singleton = singleton;
  info.field_index.reserve(field_names.size());
  for (std::size_t i = 0; i < field_names.size(); ++i) {
    info.field_index.emplace_back(field_names[i], static_cast<std::uint8_t>(i));
  }
  // Sort by name keeping declaration order among equal names, then keep the last of each run.
  std::stable_sort(info.field_index.begin(), info.field_index.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<Spur, std::uint8_t>> unique;
  unique.reserve(info.field_index.size());
  for (const auto& entry : info.field_index) {
    if (!unique.empty() && unique.back().first == entry.first) {
      unique.back() = entry;
    } else {
      unique.push_back(entry);
    }
  }
  info.field_index = std::move(unique);
  info.field_names = std::move(field_names);
  return info;
}

std::expected<std::uint32_t, RegistryError> TypeRegistry::next_type_id() const {
  if (types_.size() >= kMaxTypes) return std::unexpected(RegistryError::TooManyTypes);
  return static_cast<std::uint32_t>(types_.size());
}

std::expected<std::uint32_t, RegistryError>
TypeRegistry::register_data_type(Spur name, std::vector<VariantInfo> variants) {
  std::expected<std::uint32_t, RegistryError> id = next_type_id();
  if (!id) return id;
  if (variants.size() > kMaxVariants) return std::unexpected(RegistryError::TooManyVariants);
  for (const VariantInfo& v : variants) {
    if (v.field_names.size() > kMaxFields) return std::unexpected(RegistryError::TooManyFields);
  }
  variants.shrink_to_fit();
  types_.push_back(TypeInfo{name, std::move(variants)});
  name_to_id_[name] = *id;
  return id;
}

std::optional<std::uint32_t> TypeRegistry::find_by_name(Spur name) const {
  auto it = name_to_id_.find(name);
  if (it == name_to_id_.end()) return std::nullopt;
  return it->second;
}

const VariantInfo* TypeRegistry::find_variant(VariantTag tag) const {
  const TypeInfo* type = find(tag.type_id());
  if (type == nullptr || tag.variant_index() >= type->variants.size()) return nullptr;
  return &type->variants[tag.variant_index()];
}

std::optional<std::uint8_t> TypeRegistry::field_index(VariantTag tag, Spur field) const {
  const VariantInfo* v = find_variant(tag);
  if (v == nullptr) return std::nullopt;
  return v->find_field(field);
}

void TypeRegistry::append_roots(std::vector<HeapKey>& out) const {
  for (const TypeInfo& type : types_) {
    for (const VariantInfo& v : type.variants) {
      if (v.singleton) out.push_back(*v.singleton);
    }
  }
}

std::optional<FieldRef> variant_get_field(const TypeRegistry& types, const Variant& variant,
                                          Spur field) {
  std::optional<std::uint8_t> i = types.field_index(variant.tag, field);
  if (!i || *i >= variant.fields.size()) return std::nullopt;
  return FieldRef{variant.fields[*i], *i};
}

} // namespace quorvex
