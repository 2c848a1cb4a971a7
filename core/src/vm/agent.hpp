// Agent evaluation: text evaluated form by form against a journal that keeps every value a named
// thing takes as a numbered revision.
//
// A definition of a name, or an update of a named value by one of the update functions (or a
// threading form ending in one), records the resulting value as the next revision of that name
// and binds it to the global `name@N`; an update leaves `name` itself alone. `(revisions 'x)` is
// answered from the journal without being compiled. Each form answers its value and, when it
// recorded something, a lineage message ("Recorded as m@2 (from m@1).").
//
// The journal belongs to the host and outlives the evaluations it is passed to. Its values are
// values of one machine: the first evaluation binds the journal to that machine, which from then
// on keeps every recorded value alive (even after its `name@N` global is rebound), and passing
// the journal to another machine fails once it holds a revision.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "reader/form.hpp"
#include "util/hash.hpp"
#include "value/value.hpp"
#include "vm/interface.hpp"

namespace quorvex {

struct Revision {
  std::uint32_t number = 0; // from 1, in recording order, without gaps
  Value value;
  std::optional<std::uint32_t> from; // the revision this one derives from
};

struct NameLineage {
  std::string name;
  std::vector<Revision> revisions; // never empty once the lineage exists
  std::uint32_t next_number = 1;
};

class Journal {
public:
  Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The lineage of a name; none when nothing was ever recorded for it.
  const NameLineage* find(std::string_view name) const;

private:
  friend std::optional<std::pair<std::uint32_t, std::optional<std::uint32_t>>>
  push_revision(Journal& journal, std::string_view name, Value value,
                std::optional<std::uint32_t> source);
  friend std::expected<void, EngineError> bind_journal(Vm& vm, Journal& journal);

  struct NameHash {
    SipKeys keys;
    std::size_t operator()(const std::string& s) const {
      SipHasher13 h(keys);
      h.write_str(s);
      return static_cast<std::size_t>(h.finish());
    }
  };

  std::unordered_map<std::string, NameLineage, NameHash> lineages_;
  // The machine whose values the journal holds (Vm::serial); 0 until the first evaluation.
  std::uint64_t machine_serial_ = 0;
  // Every recorded value, rooted by that machine for as long as the journal lives.
  std::shared_ptr<HostRootSet> roots_;
};

enum class AgentFormKind : std::uint8_t { Define, Update, Thread, Revisions, Other };

struct AgentForm {
  AgentFormKind kind = AgentFormKind::Other;
  std::string name; // empty for Other
};

struct AgentResult {
  Value value;
  std::optional<std::string> lineage;
};

// Whether `name` is one of the thirteen functions whose application to a named value records it.
bool is_update_function(std::string_view name);
// True for the update functions whose updated value is their last argument ("over", "sett").
bool targets_last_argument(std::string_view name);

// Looks at a form (never evaluates it, never fails).
AgentForm classify_agent_form(const Form& form);

// Appends a revision: its number and the number it derives from (the given source, else the
// name's last revision). Refused (none) for a name containing "@".
std::optional<std::pair<std::uint32_t, std::optional<std::uint32_t>>>
push_revision(Journal& journal, std::string_view name, Value value,
              std::optional<std::uint32_t> source);

std::optional<std::uint32_t> latest_revision_number(const Journal& journal, std::string_view name);

// Records the value unless it equals the name's last revision or the name is refused; binds
// `name@N` and answers the lineage message when something was recorded.
std::optional<std::string> record_revision(Vm& vm, Journal& journal, std::string_view name,
                                           Value value, std::optional<std::uint32_t> source);

// Binds a journal without revisions to the machine, or checks that it is bound to it already.
std::expected<void, EngineError> bind_journal(Vm& vm, Journal& journal);

// Reads the whole text, then classifies, compiles and runs its forms in order. A text without
// forms answers one result, nil without lineage. The first error stops the rest; what earlier
// forms recorded and defined stays. The answered values are rooted only until the call returns:
// convert them before anything else runs on the machine.
std::expected<std::vector<AgentResult>, EngineError> eval_agent(Vm& vm, std::string_view text,
                                                                Spur source, Journal& journal);

} // namespace quorvex
