// The prelude: it loads (also under the sanitizers and with a collection at every allocation),
// every documented definition reaches the machine's documentation table with its two-line text,
// and the Reduced tag is cached for reduce.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "prelude/stdlib.hpp"
#include "reader/reader.hpp"
#include "value/printer.hpp"
#include "vm/interface.hpp"

namespace quorvex {
namespace {

struct Definition {
  std::string kind; // def, defn, defmacro, defdata
  std::string name;
  std::optional<std::string> doc;
};

// The top-level definitions of the prelude's text, read with the reader.
std::vector<Definition> prelude_definitions() {
  auto forms = read_all(stdlib_source(), 0);
  EXPECT_TRUE(forms.has_value());
  std::vector<Definition> out;
  if (!forms) return out;
  for (const Form& form : *forms) {
    const Form& list = form.peeled();
    EXPECT_TRUE(list.is(Form::Kind::List));
    const FormVec& items = list.items();
    Definition d;
    d.kind = std::string(items[0].peeled().name());
    d.name = std::string(items[1].peeled().name());
    const bool doc_fits = d.kind == "def" ? items.size() == 4 : items.size() > 3;
    if (d.kind != "defdata" && doc_fits && items[2].peeled().is(Form::Kind::String)) {
      d.doc = std::string(items[2].peeled().as_string());
    }
    out.push_back(std::move(d));
  }
  return out;
}

TEST(Prelude, EveryDefinitionButTwoHelpersIsDocumentedInTwoLines) {
  const std::vector<Definition> defs = prelude_definitions();
  ASSERT_EQ(defs.size(), 106u);
  std::expected<std::unique_ptr<Vm>, EngineError> vm = vm_with_prelude();
  ASSERT_TRUE(vm.has_value()) << to_string(vm.error());
  const std::set<std::string> undocumented = {"ReduceSignal", "op-curry", "map-indexed-helper"};
  std::set<std::string> names;
  for (const Definition& d : defs) {
    EXPECT_TRUE(names.insert(d.name).second) << "defined twice: " << d.name;
    if (undocumented.contains(d.name)) {
      EXPECT_FALSE(d.doc.has_value()) << d.name;
      continue;
    }
    ASSERT_TRUE(d.doc.has_value()) << d.name;
    // A signature line, then a sentence line indented by two spaces.
    const std::size_t newline = d.doc->find('\n');
    ASSERT_NE(newline, std::string::npos) << d.name;
    EXPECT_EQ(d.doc->find('\n', newline + 1), std::string::npos) << d.name;
    EXPECT_NE(d.doc->substr(0, newline).find("->"), std::string::npos) << d.name;
    EXPECT_EQ(d.doc->substr(newline + 1, 2), "  ") << d.name;
    EXPECT_NE(d.doc->substr(newline + 3, 1), " ") << d.name;
    EXPECT_EQ(d.doc->back(), '.') << d.name;
    std::optional<Spur> spur = (*vm)->interner.get(d.name);
    ASSERT_TRUE(spur.has_value()) << d.name;
    auto entry = (*vm)->docs.find(*spur);
    ASSERT_NE(entry, (*vm)->docs.end()) << d.name;
    EXPECT_EQ(entry->second.text, *d.doc) << d.name;
  }
}

TEST(Prelude, TheReducedTagIsCachedOnlyByThePrelude) {
  std::unique_ptr<Vm> bare = vm_new_bare();
  EXPECT_FALSE(bare->reduce_signal_type.has_value());
  ASSERT_TRUE(vm_eval(*bare, "(defdata ReduceSignal (Reduced [value]))").has_value());
  EXPECT_FALSE(bare->reduce_signal_type.has_value());

  std::expected<std::unique_ptr<Vm>, EngineError> vm = vm_with_prelude();
  ASSERT_TRUE(vm.has_value()) << to_string(vm.error());
  ASSERT_TRUE((*vm)->reduce_signal_type.has_value());
  const VariantInfo* info = (*vm)->types.find_variant(*(*vm)->reduce_signal_type);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ((*vm)->interner.resolve(info->name), "Reduced");
  // A later type of the same name changes nothing.
  const VariantTag before = *(*vm)->reduce_signal_type;
  ASSERT_TRUE(vm_eval(**vm, "(defdata ReduceSignal (Other [x]))").has_value());
  EXPECT_EQ((*vm)->reduce_signal_type->word, before.word);
  auto r = vm_eval(**vm, "(reduce (fn [a x] (if (= x 3) (Reduced :stopped) x)) 0 [1 2 3 4])");
  ASSERT_TRUE(r.has_value()) << to_string(r.error());
  EXPECT_EQ(*print_readable(PrintEnv{(*vm)->heap, (*vm)->interner, (*vm)->types}, *r), ":stopped");
}

TEST(Prelude, LoadsTwiceOnOneMachineAndLeavesItAtRest) {
  std::expected<std::unique_ptr<Vm>, EngineError> vm = vm_with_prelude();
  ASSERT_TRUE(vm.has_value()) << to_string(vm.error());
  EXPECT_TRUE(load_prelude(**vm).has_value());
  EXPECT_TRUE((*vm)->stack.empty());
  EXPECT_TRUE((*vm)->frames.empty());
  EXPECT_TRUE((*vm)->handlers.empty());
  auto r = vm_eval(**vm, "(-> 5 (- 2) inc)");
  ASSERT_TRUE(r.has_value()) << to_string(r.error());
  EXPECT_EQ(r->as.integer, 4);
}

// Engines with defaults answer console and random from the host; a machine with the prelude but
// no host handlers must refuse the performs in order, and the functions that perform nothing for
// short collections must still answer.
TEST(Prelude, WithoutHostHandlersConsoleAndRandomPerformsAreUnhandled) {
  struct Case {
    const char* source;
    const char* expected; // the readable value, or "error: " and the error's text
  };
  const Case cases[] = {
      {"(print 1)", "error: Unhandled effect: console"},
      {"(println)", "error: Unhandled effect: console"},
      {"(prn :a)", "error: Unhandled effect: console"},
      {"(time 1)", "error: Unhandled effect: console"},
      {"(dotimes [i 2] (print i))", "error: Unhandled effect: console"},
      {"(shuffle [1 2])", "error: Unhandled effect: random"},
      {"(rand-nth [1])", "error: Unhandled effect: random"},
      {"(shuffle [])", "[]"},
      {"(shuffle [7])", "[7]"},
      {"(rand-nth [])", "nil"},
      {"(dotimes [i 0] (print i))", "nil"},
  };
  std::expected<std::unique_ptr<Vm>, EngineError> vm = vm_with_prelude();
  ASSERT_TRUE(vm.has_value()) << to_string(vm.error());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::expected<Value, EngineError> r = vm_eval(**vm, c.source);
    std::string got;
    if (r) {
      got = *print_readable(PrintEnv{(*vm)->heap, (*vm)->interner, (*vm)->types}, *r);
    } else {
      got = "error: " + to_string(r.error());
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_TRUE((*vm)->stack.empty());
    EXPECT_TRUE((*vm)->frames.empty());
    EXPECT_TRUE((*vm)->handlers.empty());
  }
}

} // namespace
} // namespace quorvex
