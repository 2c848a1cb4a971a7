// The data-type registry and variant tags.
#include <gtest/gtest.h>

#include <vector>

#include "util/interner.hpp"
#include "value/equality.hpp"
#include "value/heap.hpp"
#include "value/printer.hpp"
#include "value/type_registry.hpp"

namespace quorvex {
namespace {

class RegistryTest : public ::testing::Test {
protected:
  Spur id(std::string_view s) { return names.get_or_intern(s); }
  VariantInfo info(std::string_view name, std::vector<std::string_view> fields,
                   std::optional<HeapKey> singleton = std::nullopt) {
    std::vector<Spur> ids;
    for (auto f : fields)
      ids.push_back(id(f));
    return *make_variant_info(id(name), std::move(ids), singleton);
  }
  Value variant(std::uint32_t type, std::uint32_t index, std::vector<Value> fields) {
    return Value::object(
        heap_insert(heap, HeapObject(Variant{std::move(fields), VariantTag::make(type, index)})));
  }

  Interner names;
  TypeRegistry types;
  Heap heap;
};

TEST(VariantTagTest, PacksTypeAndIndex) {
  struct Case {
    std::uint32_t type, index, word;
  };
  const Case cases[] = {
      {0, 0, 0}, {0, 255, 255}, {1, 0, 256}, {3, 2, 3 * 256 + 2}, {65535, 255, 0xFFFFFF}};
  for (const Case& c : cases) {
    const VariantTag t = VariantTag::make(c.type, c.index);
    EXPECT_EQ(t.word, c.word);
    EXPECT_EQ(t.type_id(), c.type);
    EXPECT_EQ(t.variant_index(), c.index);
  }
  EXPECT_EQ(VariantTag::from_word(0xAB000102u).word, 0x000102u) << "bits 24-31 are dropped";
}

TEST_F(RegistryTest, VariantsWithAndWithoutFields) {
  const std::uint32_t next = *types.next_type_id();
  const HeapKey single = heap_insert(heap, HeapObject(Variant{{}, VariantTag::make(next, 0)}));
  const std::uint32_t t =
      *types.register_data_type(id("Opt"), {info("V0", {}, single), info("V1", {"a", "b"})});
  EXPECT_EQ(t, next);
  const VariantInfo* v0 = types.find_variant(VariantTag::make(t, 0));
  const VariantInfo* v1 = types.find_variant(VariantTag::make(t, 1));
  ASSERT_NE(v0, nullptr);
  ASSERT_NE(v1, nullptr);
  EXPECT_EQ(v0->singleton, single);
  EXPECT_FALSE(v1->singleton.has_value());
  EXPECT_EQ(types.field_index(VariantTag::make(t, 1), id("a")), 0);
  EXPECT_EQ(types.field_index(VariantTag::make(t, 1), id("b")), 1);
  EXPECT_FALSE(types.field_index(VariantTag::make(t, 0), id("a")).has_value())
      << "another variant's field is not this one's";
  EXPECT_EQ(types.find_variant(VariantTag::make(t, 2)), nullptr);
  EXPECT_EQ(types.find_variant(VariantTag::make(t + 1, 0)), nullptr);
}

TEST_F(RegistryTest, AFieldNameDeclaredTwiceMapsToItsLastPosition) {
  const VariantInfo v = info("V", {"a", "b", "a"});
  EXPECT_EQ(v.field_names.size(), 3u);
  EXPECT_EQ(v.find_field(id("a")), 2);
  EXPECT_EQ(v.find_field(id("b")), 1);
  EXPECT_FALSE(v.find_field(id("c")).has_value());
}

TEST_F(RegistryTest, RegisteringANameAgainMakesANewType) {
  const std::uint32_t first = *types.register_data_type(id("T"), {info("A", {"x"})});
  const std::uint32_t second = *types.register_data_type(id("T"), {info("B", {"x"})});
  EXPECT_NE(first, second);
  EXPECT_EQ(types.find_by_name(id("T")), second);
  EXPECT_FALSE(types.find_by_name(id("Nope")).has_value());

  const Value old_value = variant(first, 0, {Value::from_int(1)});
  const Value new_value = variant(second, 0, {Value::from_int(1)});
  const PrintEnv env{heap, names, types};
  EXPECT_EQ(*display_value(env, old_value), "#T/A{x: 1}");
  EXPECT_EQ(*display_value(env, new_value), "#T/B{x: 1}");
  EXPECT_FALSE(*values_equal(heap, old_value, new_value));
}

TEST_F(RegistryTest, FieldReadByKeyword) {
  const std::uint32_t t =
      *types.register_data_type(id("P"), {info("Pt", {"x", "y"}), info("Origin", {})});
  const Variant pt{{Value::from_int(3), Value::from_int(4)}, VariantTag::make(t, 0)};
  const std::optional<FieldRef> y = variant_get_field(types, pt, id("y"));
  ASSERT_TRUE(y.has_value());
  EXPECT_EQ(y->value.as.integer, 4);
  EXPECT_EQ(y->index, 1);
  EXPECT_FALSE(variant_get_field(types, pt, id("z")).has_value());
  const Variant foreign{{Value::from_int(3)}, VariantTag::make(t + 5, 0)};
  EXPECT_FALSE(variant_get_field(types, foreign, id("x")).has_value());
  const Variant short_fields{{Value::from_int(3)}, VariantTag::make(t, 0)};
  EXPECT_FALSE(variant_get_field(types, short_fields, id("y")).has_value());
}

TEST_F(RegistryTest, LimitsAreOrderlyErrors) {
  std::vector<Spur> fields255(255, id("f"));
  EXPECT_TRUE(make_variant_info(id("V"), fields255).has_value());
  std::vector<Spur> fields256(256, id("f"));
  auto too_many_fields = make_variant_info(id("V"), fields256);
  ASSERT_FALSE(too_many_fields.has_value());
  EXPECT_EQ(too_many_fields.error(), RegistryError::TooManyFields);

  std::vector<VariantInfo> v256(256, info("V", {}));
  EXPECT_TRUE(types.register_data_type(id("Wide"), v256).has_value());
  std::vector<VariantInfo> v257(257, info("V", {}));
  auto too_many_variants = types.register_data_type(id("Wider"), v257);
  ASSERT_FALSE(too_many_variants.has_value());
  EXPECT_EQ(too_many_variants.error(), RegistryError::TooManyVariants);

  VariantInfo forged = info("V", {});
  forged.field_names.assign(300, id("f"));
  EXPECT_EQ(types.register_data_type(id("Forged"), {forged}).error(), RegistryError::TooManyFields);

  while (types.size() < TypeRegistry::kMaxTypes) {
    const auto expected = static_cast<std::uint32_t>(types.size());
    ASSERT_EQ(types.register_data_type(id("Many"), {}), expected);
  }
  EXPECT_EQ(types.find_by_name(id("Many")), TypeRegistry::kMaxTypes - 1);
  EXPECT_EQ(types.next_type_id().error(), RegistryError::TooManyTypes);
  EXPECT_EQ(types.register_data_type(id("OneTooMany"), {}).error(), RegistryError::TooManyTypes);
  EXPECT_EQ(types.size(), TypeRegistry::kMaxTypes);
  EXPECT_STREQ(registry_error_text(RegistryError::TooManyTypes),
               "too many data types (at most 65536)");
}

TEST_F(RegistryTest, SingletonsAreRootsInRegistrationOrder) {
  struct Roots final : RootSource {
    const TypeRegistry* types = nullptr;
    void append_roots(std::vector<HeapKey>& out) const override { types->append_roots(out); }
  } roots;
  roots.types = &types;
  heap.root_source = &roots;

  const HeapKey a = heap_insert(heap, HeapObject(Variant{{}, VariantTag::make(0, 0)}));
  const HeapKey b = heap_insert(heap, HeapObject(Variant{{}, VariantTag::make(0, 2)}));
  const HeapKey c = heap_insert(heap, HeapObject(Variant{{}, VariantTag::make(1, 0)}));
  const HeapKey loose = heap_insert(heap, HeapObject(Variant{{}, VariantTag::make(1, 0)}));
  types.register_data_type(id("A"), {info("a0", {}, a), info("a1", {"x"}), info("a2", {}, b)});
  types.register_data_type(id("C"), {info("c0", {}, c)});

  std::vector<HeapKey> out;
  types.append_roots(out);
  EXPECT_EQ(out, (std::vector<HeapKey>{a, b, c}));

  heap.gc_threshold = 0;
  ASSERT_TRUE(collect_if_due(heap));
  EXPECT_TRUE(heap_is_live(heap, a));
  EXPECT_TRUE(heap_is_live(heap, b));
  EXPECT_TRUE(heap_is_live(heap, c));
  EXPECT_FALSE(heap_is_live(heap, loose));
}

} // namespace
} // namespace quorvex
