// The data types declared with `defdata`: one TypeInfo per declaration, its variants in
// declaration order. A variant value records its type and variant in its tag word
// (VariantTag: type id x 256 + variant index), so the registry bounds both: at most 65,536 types,
// 256 variants per type and 255 fields per variant; registration beyond that is refused with an
// orderly error. Types are never removed, and registering a name again makes a new type (values
// of the old one keep printing with their own names and stay unequal to the new one's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/hash.hpp"
#include "value/objects.hpp"

namespace quorvex {

enum class RegistryError : std::uint8_t { TooManyTypes, TooManyVariants, TooManyFields };

// "too many data types (at most 65536)" and the like.
const char* registry_error_text(RegistryError e);

struct VariantInfo {
  Spur name = 0;
  std::vector<Spur> field_names;
  // Field name to position, sorted by name; a name declared twice maps to its last position.
  std::vector<std::pair<Spur, std::uint8_t>> field_index;
  // The shared instance of a variant without fields.
  std::optional<HeapKey> singleton;

  std::optional<std::uint8_t> find_field(Spur field) const;
};

// A VariantInfo with its field index built; TooManyFields beyond 255 fields.
std::expected<VariantInfo, RegistryError>
make_variant_info(Spur name, std::vector<Spur> field_names,
                  std::optional<HeapKey> singleton = std::nullopt);

struct TypeInfo {
  Spur name = 0;
  std::vector<VariantInfo> variants;
};

class TypeRegistry {
public:
  static constexpr std::size_t kMaxTypes = 65536;
  static constexpr std::size_t kMaxVariants = 256;
  static constexpr std::size_t kMaxFields = 255;

  // The id the next registration will return (shared instances of field-less variants are made
  // with it before the type is registered), or TooManyTypes when the registry is full.
  std::expected<std::uint32_t, RegistryError> next_type_id() const;

  // Appends the type and maps its name to it (replacing an earlier mapping).
  std::expected<std::uint32_t, RegistryError> register_data_type(Spur name,
                                                                 std::vector<VariantInfo> variants);

  std::size_t size() const { return types_.size(); }
  const std::vector<TypeInfo>& types() const { return types_; }
  // The type with this id, or nullptr when the id is not below size().
  const TypeInfo* find(std::uint32_t id) const {
    return id < types_.size() ? &types_[id] : nullptr;
  }
  // The latest type registered under the name.
  std::optional<std::uint32_t> find_by_name(Spur name) const;
  // The variant a tag word names, or nullptr when the registry has no such type or variant.
  const VariantInfo* find_variant(VariantTag tag) const;
  // The position of the field named `field` in the variant the tag names.
  std::optional<std::uint8_t> field_index(VariantTag tag, Spur field) const;

  // The shared instances of field-less variants, types in registration order, variants in
  // declaration order: the last group of the collector's roots.
  void append_roots(std::vector<HeapKey>& out) const;

private:
  std::vector<TypeInfo> types_;
  std::unordered_map<Spur, std::uint32_t, FxHash> name_to_id_;
};

struct FieldRef {
  Value value;
  std::uint8_t index = 0;
};

// The field of a variant named by a keyword's name id, with its position; none when the type,
// the variant or the field is unknown.
std::optional<FieldRef> variant_get_field(const TypeRegistry& types, const Variant& variant,
                                          Spur field);

} // namespace quorvex
