#include "vm/agent.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "reader/reader.hpp"
#include "value/equality.hpp"
#include "value/fault.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"

namespace quorvex {

// ---------------------------------------------------------------------------------------------
// The journal

Journal::Journal()
    : lineages_(0, NameHash{next_random_keys()}), roots_(std::make_shared<HostRootSet>()) {}

const NameLineage* Journal::find(std::string_view name) const {
  auto it = lineages_.find(std::string(name));
  return it == lineages_.end() ? nullptr : &it->second;
}

std::optional<std::pair<std::uint32_t, std::optional<std::uint32_t>>>
push_revision(Journal& journal, std::string_view name, Value value,
              std::optional<std::uint32_t> source) {
  if (name.find('@') != std::string_view::npos) return std::nullopt;
  auto [it, created] = journal.lineages_.try_emplace(std::string(name));
  NameLineage& lineage = it->second;
  if (created) lineage.name = std::string(name);
  const std::uint32_t number = lineage.next_number++;
  std::optional<std::uint32_t> from = source;
  if (!from && !lineage.revisions.empty()) from = lineage.revisions.back().number;
  lineage.revisions.push_back(Revision{number, value, from});
  journal.roots_->values.push_back(value);
  return std::pair{number, from};
}

std::optional<std::uint32_t> latest_revision_number(const Journal& journal, std::string_view name) {
  const NameLineage* lineage = journal.find(name);
  if (lineage == nullptr || lineage->revisions.empty()) return std::nullopt;
  return lineage->revisions.back().number;
}

std::expected<void, EngineError> bind_journal(Vm& vm, Journal& journal) {
  if (journal.machine_serial_ == vm.serial) return {};
  if (journal.machine_serial_ != 0 && journal.lineages_.empty()) {
    // Evaluations that recorded nothing left no value behind: the journal is as good as new and
    // may serve another machine. The old machine keeps only a weak hold on the old root set.
    journal.roots_ = std::make_shared<HostRootSet>();
    journal.machine_serial_ = 0;
  }
  if (journal.machine_serial_ != 0) {
    return std::unexpected(EngineError::runtime(RuntimeError{
        std::nullopt,
        VmError::value_error("this agent journal belongs to another engine: its revisions are "
                             "values of that engine"),
        {}}));
  }
  journal.machine_serial_ = vm.serial;
  std::erase_if(vm.host_root_sets, [](const auto& weak) { return weak.expired(); });
  vm.host_root_sets.push_back(journal.roots_);
  return {};
}

std::optional<std::string> record_revision(Vm& vm, Journal& journal, std::string_view name,
                                           Value value, std::optional<std::uint32_t> source) {
  if (const NameLineage* lineage = journal.find(name);
      lineage != nullptr && !lineage->revisions.empty()) {
    // A comparison cut short by depth counts as a change: recording once too often is harmless.
    Guarded<bool> same = values_equal(vm.heap, lineage->revisions.back().value, value);
    if (same && *same) return std::nullopt;
  }
  auto pushed = push_revision(journal, name, value, source);
  if (!pushed) return std::nullopt;
  const auto [number, from] = *pushed;
  const std::string revision_name = std::string(name) + "@" + std::to_string(number);
  define_global_by_name(vm, revision_name, value);
  std::string message = "Recorded as " + revision_name;
  if (from) message += " (from " + std::string(name) + "@" + std::to_string(*from) + ")";
  message += ".";
  return message;
}

// ---------------------------------------------------------------------------------------------
// Classification

namespace {

constexpr std::array<std::string_view, 13> kUpdateFunctions = {
    "pop",   "conj",   "disj",   "into",     "over",      "sett",      "assoc",
    "merge", "update", "dissoc", "assoc-in", "update-in", "merge-with"};

// The text of a symbol without a namespace part; none for anything else.
std::optional<std::string_view> bare_symbol(const Form& form) {
  const Form& f = form.peeled();
  if (!f.is(Form::Kind::Symbol) || f.ns().has_value()) return std::nullopt;
  return f.name();
}

bool names_update_function(const Form& form) {
  std::optional<std::string_view> name = bare_symbol(form);
  return name && is_update_function(*name);
}

AgentForm other() {
  return AgentForm{};
}

AgentForm named(AgentFormKind kind, std::string_view name) {
  return AgentForm{kind, std::string(name)};
}

} // namespace

bool is_update_function(std::string_view name) {
  return std::find(kUpdateFunctions.begin(), kUpdateFunctions.end(), name) !=
         kUpdateFunctions.end();
}

bool targets_last_argument(std::string_view name) {
  return name == "over" || name == "sett";
}

AgentForm classify_agent_form(const Form& form) {
  const Form& list = form.peeled();
  if (!list.is(Form::Kind::List)) return other();
  const FormVec& items = list.items();
  if (items.size() == 0) return other();
  std::optional<std::string_view> head = bare_symbol(items[0]);
  if (!head) return other();
  const std::size_t n = items.size();

  if (*head == "def" || *head == "defn") {
    if (n < 2) return other();
    std::optional<std::string_view> name = bare_symbol(items[1]);
    return name ? named(AgentFormKind::Define, *name) : other();
  }
  if (*head == "->" || *head == "->>") {
    if (n < 3) return other();
    std::optional<std::string_view> name = bare_symbol(items[1]);
    if (!name) return other();
    // Only the last step decides.
    const Form& last = items[n - 1].peeled();
    bool updates = names_update_function(last);
    if (!updates && last.is(Form::Kind::List) && last.items().size() > 0) {
      updates = names_update_function(last.items()[0]);
    }
    return updates ? named(AgentFormKind::Thread, *name) : other();
  }
  if (*head == "+>>") {
    if (n < 3) return other();
    std::optional<std::string_view> name = bare_symbol(items[n - 1]);
    return name ? named(AgentFormKind::Thread, *name) : other();
  }
  if (*head == "revisions") {
    if (n != 2) return other();
    const Form& quoted = items[1].peeled();
    if (!quoted.is(Form::Kind::List) || quoted.items().size() != 2) return other();
    std::optional<std::string_view> quote = bare_symbol(quoted.items()[0]);
    std::optional<std::string_view> name = bare_symbol(quoted.items()[1]);
    if (!quote || *quote != "quote" || !name) return other();
    return named(AgentFormKind::Revisions, *name);
  }
  if (is_update_function(*head)) {
    if (n < 2) return other();
    const Form& target = targets_last_argument(*head) ? items[n - 1] : items[1];
    std::optional<std::string_view> name = bare_symbol(target);
    return name ? named(AgentFormKind::Update, *name) : other();
  }
  return other();
}

// ---------------------------------------------------------------------------------------------
// Evaluation

namespace {

std::expected<Value, EngineError> lift(Guarded<Value> r) {
  if (r) return *r;
  return std::unexpected(
      EngineError::runtime(RuntimeError{std::nullopt, to_vm_error(r.error()), {}}));
}

// The answer of `(revisions 'name)`: nil when nothing was recorded, else a vector of
// {:index N :name "name@N" :value v} maps in recording order. What is built stays rooted by
// `scope` until the evaluation returns.
std::expected<Value, EngineError> revisions_answer(Vm& vm, const Journal& journal,
                                                   std::string_view name, RootScope& scope) {
  const NameLineage* lineage = journal.find(name);
  if (lineage == nullptr) return Value::nil();
  const Value k_index = Value::keyword(vm.interner.get_or_intern("index"));
  const Value k_name = Value::keyword(vm.interner.get_or_intern("name"));
  const Value k_value = Value::keyword(vm.interner.get_or_intern("value"));
  ValueVector maps;
  // The journal cannot change while this evaluation holds it, so walking its revisions across
  // allocations is safe; each string and map made is rooted before the next allocation.
  for (const Revision& revision : lineage->revisions) {
    std::expected<Value, EngineError> text =
        lift(alloc_string(vm.heap, std::string(name) + "@" + std::to_string(revision.number)));
    if (!text) return text;
    scope.add(*text);
    const std::array<Value, 6> pairs = {
        k_index, Value::from_int(revision.number), k_name, *text, k_value, revision.value};
    Guarded<ValueMap> map = build_map_from_pairs(vm.heap, pairs);
    if (!map) return lift(std::unexpected(map.error()));
    const Value entry = Value::object(heap_alloc(vm.heap, HeapObject(MapObject{std::move(*map)})));
    scope.add(entry);
    maps = maps.push_back(entry);
  }
  return Value::object(heap_alloc(vm.heap, HeapObject(SeqObject{std::move(maps), true})));
}

} // namespace

std::expected<std::vector<AgentResult>, EngineError> eval_agent(Vm& vm, std::string_view text,
                                                                Spur source, Journal& journal) {
  std::expected<std::vector<Form>, CoreError> forms = read_all(text, source);
  if (!forms) return std::unexpected(EngineError::core(std::move(forms.error())));
  if (std::expected<void, EngineError> bound = bind_journal(vm, journal); !bound) {
    return std::unexpected(std::move(bound.error()));
  }
  std::vector<AgentResult> results;
  if (forms->empty()) {
    results.push_back(AgentResult{Value::nil(), std::nullopt});
    return results;
  }
  // Results of earlier forms stay alive while later forms run.
  RootScope scope(vm.heap);
  for (const Form& form : *forms) {
    const AgentForm kind = classify_agent_form(form);
    if (kind.kind == AgentFormKind::Revisions) {
      std::expected<Value, EngineError> answer = revisions_answer(vm, journal, kind.name, scope);
      if (!answer) return std::unexpected(std::move(answer.error()));
      scope.add(*answer);
      results.push_back(AgentResult{*answer, std::nullopt});
      continue;
    }
    std::expected<Value, EngineError> value = compile_and_run(vm, form);
    if (!value) return std::unexpected(std::move(value.error()));
    scope.add(*value);
    std::optional<std::string> lineage;
    switch (kind.kind) {
    case AgentFormKind::Define:
      lineage = record_revision(vm, journal, kind.name, *value, std::nullopt);
      break;
    case AgentFormKind::Update:
    case AgentFormKind::Thread:
      lineage = record_revision(vm, journal, kind.name, *value,
                                latest_revision_number(journal, kind.name));
      break;
    default:
      break;
    }
    results.push_back(AgentResult{*value, std::move(lineage)});
  }
  return results;
}

} // namespace quorvex
