// Agent evaluation: classification of forms, the journal's numbering and lineage messages, the
// revisions query, and what stays alive between and during evaluations.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine_cases.hpp"
#include "reader/reader.hpp"
#include "value/keys.hpp"
#include "value/printer.hpp"
#include "vm/agent.hpp"
#include "vm/interface.hpp"

namespace quorvex {
namespace {

using engine_cases::readable;

// A revisions answer (a non-empty vector of maps) as "index name value;" per entry, so that the
// maps' unspecified print order does not matter; the readable text of anything else.
std::string revision_rows(const Vm& vm, const Value& answer) {
  const SeqObject* seq = heap_get_as<SeqObject>(vm.heap, answer);
  if (seq == nullptr || !seq->is_vector || seq->items.size() == 0) return readable(vm, answer);
  for (std::size_t i = 0; i < seq->items.size(); ++i) {
    if (heap_get_as<MapObject>(vm.heap, seq->items[i]) == nullptr) return readable(vm, answer);
  }
  std::string out;
  for (std::size_t i = 0; i < seq->items.size(); ++i) {
    const MapObject* map = heap_get_as<MapObject>(vm.heap, seq->items[i]);
    if (map == nullptr || map->map.size() != 3) return "<not a three-entry map>";
    for (std::string_view key : {"index", "name", "value"}) {
      std::optional<Spur> spur = vm.interner.get(key);
      if (!spur) return "<no keyword>";
      Guarded<std::optional<Value>> v = map_lookup_value(vm.heap, map->map, Value::keyword(*spur));
      if (!v || !*v) return "<missing key>";
      out += readable(vm, **v);
      out += key == "value" ? ";" : " ";
    }
  }
  return out;
}

// One line per result: the readable value, then " | " and the lineage when there is one; or the
// error's text. Printed at once, since the values are not rooted after the call.
std::vector<std::string> agent(Vm& vm, Journal& journal, std::string_view text) {
  auto r = eval_agent(vm, text, vm.interner.get_or_intern("<agent>"), journal);
  if (!r) return {"error: " + to_string(r.error())};
  std::vector<std::string> out;
  for (const AgentResult& result : *r) {
    std::string line = revision_rows(vm, result.value);
    if (result.lineage) line += " | " + *result.lineage;
    out.push_back(line);
  }
  return out;
}

std::string kind_name(AgentFormKind k) {
  switch (k) {
  case AgentFormKind::Define:
    return "define";
  case AgentFormKind::Update:
    return "update";
  case AgentFormKind::Thread:
    return "thread";
  case AgentFormKind::Revisions:
    return "revisions";
  case AgentFormKind::Other:
    return "other";
  }
  return "?";
}

TEST(Agent, ClassifiesForms) {
  struct Row {
    const char* form;
    const char* expected; // kind, then " name" when the kind names one
  };
  const Row rows[] = {
      {"(def m {:a 1})", "define m"},
      {"(defn f [x] x)", "define f"},
      {"(def)", "other"},
      {"(def ns/m 1)", "other"},
      {"(def \"m\" 1)", "other"},
      {"(assoc m :b 2)", "update m"},
      {"(assoc (get m :a) :b 1)", "other"},
      {"(update-in cfg [:a] inc)", "update cfg"},
      // The first argument is the target, whatever the function: here the merging function.
      {"(merge-with + a b)", "update +"},
      {"(pop stack)", "update stack"},
      {"(pop)", "other"},
      {"(over lens f x)", "update x"},
      {"(sett lens v x)", "update x"},
      {"(sett lens v (f x))", "other"},
      {"(-> m (assoc :a 1) (dissoc :b))", "thread m"},
      {"(->> m (map inc) (into []))", "thread m"},
      {"(-> m (assoc :a 1) count)", "other"},
      {"(-> m (count) conj)", "thread m"},
      {"(-> m)", "other"},
      {"(-> (f m) (assoc :a 1))", "other"},
      {"(+>> [:a] inc data)", "thread data"},
      {"(+>> [:a] inc (f data))", "other"},
      {"(revisions 'k)", "revisions k"},
      {"(revisions (quote k))", "revisions k"},
      {"(revisions x)", "other"},
      {"(revisions 'k 'j)", "other"},
      {"(revisions 'a/k)", "other"},
      {"(foo/assoc m 1 2)", "other"},
      {"(map inc xs)", "other"},
      {"()", "other"},
      {"[assoc m 1 2]", "other"},
      {"m", "other"},
      {"((fn [] 1))", "other"},
  };
  for (const Row& row : rows) {
    auto forms = read_all(row.form, 0);
    ASSERT_TRUE(forms.has_value()) << row.form;
    ASSERT_EQ(forms->size(), 1u) << row.form;
    AgentForm f = classify_agent_form((*forms)[0]);
    std::string got = kind_name(f.kind);
    if (!f.name.empty()) got += " " + f.name;
    EXPECT_EQ(got, row.expected) << row.form;
  }
}

TEST(Agent, UpdateFunctionNames) {
  for (std::string_view name : {"pop", "conj", "disj", "into", "over", "sett", "assoc", "merge",
                                "update", "dissoc", "assoc-in", "update-in", "merge-with"}) {
    EXPECT_TRUE(is_update_function(name)) << name;
    EXPECT_EQ(targets_last_argument(name), name == "over" || name == "sett") << name;
  }
  for (std::string_view name : {"def", "get", "swap!", "reset!", "map", "", "assoc!"}) {
    EXPECT_FALSE(is_update_function(name)) << name;
  }
}

// An update function of our own: classification looks at names only, so the journal's rules can
// be shown without depending on any library function.
constexpr std::string_view kOwnUpdate = "(defn assoc [m k v] [m k v])";

TEST(Agent, RecordsDefinitionsAndUpdates) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  Journal journal;
  ASSERT_TRUE(vm_eval(*vm, kOwnUpdate).has_value());
  EXPECT_EQ(agent(*vm, journal, "(def m [1])"),
            (std::vector<std::string>{"[1] | Recorded as m@1."}));
  EXPECT_EQ(agent(*vm, journal, "(assoc m :b 2) m"),
            (std::vector<std::string>{"[[1] :b 2] | Recorded as m@2 (from m@1).", "[1]"}));
  // The update left `m` alone and bound the revision globals.
  EXPECT_EQ(readable(*vm, *vm_eval(*vm, "[m m@1 m@2]")), "[[1] [1] [[1] :b 2]]");
  EXPECT_EQ(agent(*vm, journal, "(revisions 'm)"),
            (std::vector<std::string>{"1 \"m@1\" [1];2 \"m@2\" [[1] :b 2];"}));
  // A definition derives from the name's last revision too.
  EXPECT_EQ(agent(*vm, journal, "(def m 5)"),
            (std::vector<std::string>{"5 | Recorded as m@3 (from m@2)."}));
  EXPECT_EQ(latest_revision_number(journal, "m"), 3u);
}

TEST(Agent, UnchangedValuesAndRefusedNamesRecordNothing) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  Journal journal;
  EXPECT_EQ(agent(*vm, journal, "(def x [1 2]) (def x [1 2]) (def x [1 3])"),
            (std::vector<std::string>{"[1 2] | Recorded as x@1.", "[1 2]",
                                      "[1 3] | Recorded as x@2 (from x@1)."}));
  EXPECT_EQ(agent(*vm, journal, "(def x@1 5) x@1"), (std::vector<std::string>{"5", "5"}));
  EXPECT_EQ(journal.find("x@1"), nullptr);
  EXPECT_EQ(agent(*vm, journal, "(revisions 'never)"), (std::vector<std::string>{"nil"}));
  // Without the quote it is an ordinary call.
  EXPECT_EQ(agent(*vm, journal, "(revisions 'never) (revisions x)"),
            (std::vector<std::string>{"error: Undefined variable: revisions"}));
}

TEST(Agent, EmptyTextAndErrors) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  Journal journal;
  EXPECT_EQ(agent(*vm, journal, ""), (std::vector<std::string>{"nil"}));
  EXPECT_EQ(agent(*vm, journal, " ; only a comment\n"), (std::vector<std::string>{"nil"}));
  EXPECT_EQ(agent(*vm, journal, "(def a 1) (def b 2) (nope) (def c 3)"),
            (std::vector<std::string>{"error: Undefined variable: nope"}));
  EXPECT_EQ(latest_revision_number(journal, "a"), 1u);
  EXPECT_EQ(latest_revision_number(journal, "b"), 1u);
  EXPECT_EQ(journal.find("c"), nullptr);
  EXPECT_EQ(readable(*vm, *vm_eval(*vm, "[a@1 b@1]")), "[1 2]");
  // A read error runs nothing.
  EXPECT_EQ(agent(*vm, journal, "(def d 1) (").size(), 1u);
  EXPECT_EQ(journal.find("d"), nullptr);
}

// Allocates far past the collector's threshold.
constexpr std::string_view kChurn = "(loop [i 0] (if (< i 20000) (do [i [i]] (recur (+ i 1))) i))";

TEST(Agent, ResultsOfEarlierFormsSurviveLaterAllocation) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  Journal journal;
  std::string text = "[1 [2 3] \"four\"] ";
  text += kChurn;
  EXPECT_EQ(agent(*vm, journal, text), (std::vector<std::string>{"[1 [2 3] \"four\"]", "20000"}));
}

TEST(Agent, RevisionsOutliveTheirGlobals) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  Journal journal;
  ASSERT_EQ(agent(*vm, journal, "(def m [[1] \"kept\"])").size(), 1u);
  ASSERT_TRUE(vm_eval(*vm, "(def m@1 nil) (def m nil)").has_value());
  ASSERT_TRUE(vm_eval(*vm, kChurn).has_value());
  EXPECT_EQ(agent(*vm, journal, "(revisions 'm)"),
            (std::vector<std::string>{"1 \"m@1\" [[1] \"kept\"];"}));
}

TEST(Agent, AJournalBelongsToOneMachine) {
  std::unique_ptr<Vm> first = vm_new_bare();
  std::unique_ptr<Vm> second = vm_new_bare();
  Journal journal;
  ASSERT_EQ(agent(*first, journal, "(def m 1)").size(), 1u);
  std::vector<std::string> refused = agent(*second, journal, "(def m 2)");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("belongs to another engine"), std::string::npos) << refused[0];
  EXPECT_EQ(latest_revision_number(journal, "m"), 1u);
  // Nothing ran on the refusing machine.
  EXPECT_FALSE(vm_eval(*second, "m").has_value());
  // A machine whose journal is gone does not keep its roots.
  {
    Journal temporary;
    ASSERT_EQ(agent(*second, temporary, "(def t [1])").size(), 1u);
  }
  Journal another;
  ASSERT_EQ(agent(*second, another, "(def u 1)").size(), 1u);
  EXPECT_EQ(second->host_root_sets.size(), 1u);
}

TEST(Agent, AJournalThatRecordedNothingMayServeAnotherMachine) {
  std::unique_ptr<Vm> first = vm_new_bare();
  std::unique_ptr<Vm> second = vm_new_bare();
  Journal journal;
  // Evaluations that record nothing: a plain value, a query, a refused name.
  ASSERT_EQ(agent(*first, journal, "(+ 1 2) (revisions 'm) (def x@1 5)"),
            (std::vector<std::string>{"3", "nil", "5"}));
  EXPECT_EQ(agent(*second, journal, "(def m [1])"),
            (std::vector<std::string>{"[1] | Recorded as m@1."}));
  // Now it holds a value of the second machine: the first is refused, the second kept alive.
  std::vector<std::string> refused = agent(*first, journal, "(def m 2)");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("belongs to another engine"), std::string::npos) << refused[0];
  EXPECT_EQ(first->host_root_sets.size(), 1u);
  EXPECT_TRUE(first->host_root_sets[0].expired());
  ASSERT_TRUE(vm_eval(*second, "(def m@1 nil) (def m nil)").has_value());
  ASSERT_TRUE(vm_eval(*second, kChurn).has_value());
  EXPECT_EQ(agent(*second, journal, "(revisions 'm)"),
            (std::vector<std::string>{"1 \"m@1\" [1];"}));
}

} // namespace
} // namespace quorvex
