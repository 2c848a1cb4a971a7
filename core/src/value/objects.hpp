// What a heap slot holds: the thirteen kinds of heap object and their payloads.
//
// The kind numbers are fixed (the printers, equality, hashing and the `type` builtin dispatch on
// them) and equal the position of the payload in HeapObject's variant. Payloads own what they
// hold: a string its text reference, a closure its captures and its share of the function
// record, a continuation its saved stacks, a Compose optic its step list, a regex its share of
// the compiled expression. Values inside payloads own nothing; the collector keeps their objects
// alive by tracing (trace_object in value/heap.hpp follows exactly the keys listed per kind).
//
// Names: String, Seq, Set, Map and Regex payloads carry an `Object` suffix because the plain
// words name other things (std::string, the compiled Regex, and the reader's collections).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "collections/phashmap.hpp"
#include "collections/phashset.hpp"
#include "collections/pvector.hpp"
#include "util/hash.hpp"
#include "value/function.hpp"
#include "value/small_string.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

class Regex;

// ---------------------------------------------------------------------------------------------
// Key hash and key equality of the persistent maps and sets of the language.
//
// Keys are compared by kind and payload, objects by their HeapKey: content semantics come from
// canonical_key (value/keys.hpp), which turns every string and immutable collection into the one
// hash-consed object with its content before it becomes a key.

// The tag as a 32-bit word, then the payload: nothing for nil, the bool byte, the 64-bit integer,
// the 64 bits of the double, numerator then denominator, the 32-bit name id, index then version
// of a key, the 16-bit native index.
inline void hash_value(const Value& v, SipHasher13& h) {
  h.write_u32(static_cast<std::uint32_t>(v.tag));
  switch (v.tag) {
  case Tag::Nil:
    return;
  case Tag::Bool:
    h.write_u8(v.as.boolean);
    return;
  case Tag::Int:
    h.write_i64(v.as.integer);
    return;
  case Tag::Float:
    h.write_u64(std::bit_cast<std::uint64_t>(v.as.floating));
    return;
  case Tag::Ratio:
    h.write_i64(v.as.ratio.num);
    h.write_i64(v.as.ratio.den);
    return;
  case Tag::Symbol:
  case Tag::Keyword:
    h.write_u32(v.as.spur);
    return;
  case Tag::Object:
    h.write_u32(v.as.key.index);
    h.write_u32(v.as.key.version);
    return;
  case Tag::NativeFn: {
    const unsigned char b[2] = {static_cast<unsigned char>(v.as.native & 0xFF),
                                static_cast<unsigned char>(v.as.native >> 8)};
    h.write(b, 2);
    return;
  }
  }
}

// Same tag and same payload; floats by IEEE comparison, so a NaN key never matches (0.0 and -0.0
// compare equal here but hash apart, so a lookup of one does not find the other).
inline bool key_equal(const Value& a, const Value& b) {
  return a.tag == b.tag && same_tag_payload_equal(a, b);
}

struct ValueKeyHash {
  void operator()(SipHasher13& h, const Value& v) const { hash_value(v, h); }
};
struct ValueKeyEq {
  bool operator()(const Value& a, const Value& b) const { return key_equal(a, b); }
};

using ValueVector = PVector<Value>;
using ValueSet = PHashSet<Value, ValueKeyHash, ValueKeyEq>;
using ValueMap = PHashMap<Value, Value, ValueKeyHash, ValueKeyEq>;

// ---------------------------------------------------------------------------------------------
// Payloads.

enum class ObjectKind : std::uint32_t {
  String = 0,
  Seq = 1,
  Set = 2,
  Map = 3,
  Closure = 4,
  ClosureTemplate = 5,
  Continuation = 6,
  Atom = 7,
  Optic = 8,
  KeyBox = 9,
  Regex = 10,
  Effect = 11,
  Variant = 12,
};
inline constexpr std::size_t kObjectKindCount = 13;

struct StringObject {
  SmallString text;
};

// Lists and vectors share one representation; only the flag tells them apart.
struct SeqObject {
  ValueVector items;
  bool is_vector = false;
};

struct SetObject {
  ValueSet set;
};

struct MapObject {
  ValueMap map;
};

struct Closure {
  FunctionRef function;
  std::vector<Value> captures;
};

// A function made by the compiler whose closures share one record (multi-clause functions,
// `match` clause functions, data-type predicates). The adoption of a compilation rebases it.
struct ClosureTemplate {
  FunctionRef function;
};

// Where a handler clause's frame returns to when the clause finishes: the continuation its
// perform captured (version 0: no target) and the handler frame's heights and resume point.
struct AbortTarget {
  HeapKey continuation{};
  std::uint32_t stack_height = 0;
  std::uint32_t frame_count = 0;
  std::uint32_t resume_ip = 0;

  bool present() const { return continuation.version != 0; }
};

// Marks an absent index or height in the frame and handler records.
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

enum class FrameKind : std::uint8_t {
  Normal = 0,
  // Pushed by resuming a continuation: ends its run when ip reaches stop_ip.
  Boundary = 1,
  // A handler clause that resumes in tail position, run in place above the perform it handles:
  // nothing was captured or cut, its handler index names the busy entry, and its Resume (or a
  // return) ends it with the value of the perform.
  InPlace = 2,
  // A handler clause that never names its continuation: the perform captured nothing but cut the
  // stacks as usual. Its handler index names its entry and its abort target (with no
  // continuation) says where its value goes, as for any clause.
  AbortOnly = 3,
};

// One activation. Its locals and operands are the values of the value stack from `base` up. The
// machine's frame stack and the frames a continuation saves are the same record: a saved one has
// its heights and bases relative to the capturing entry's heights, and its handler index follows
// Continuation::kSavedEntryFlag.
struct CallFrame {
  FrameKind kind = FrameKind::Normal;
  std::uint8_t arg_count = 0;
  std::uint16_t reserved = 0;
  std::uint32_t stop_ip = 0;
  // Boundary frames: the value-stack height the boundary return cuts back to (kNoIndex: base).
  std::uint32_t saved_height = kNoIndex;
  // A handler entry whose `active` flag is set again when this frame is left (kNoIndex: none).
  std::uint32_t handler_index = kNoIndex;
  std::uint32_t ip = 0;
  std::uint32_t base = 0;
  std::uint32_t prototype = 0;
  // The running closure (version 0: none, as for top-level prototypes).
  HeapKey closure{};
  // Set only on the frame of a handler clause.
  AbortTarget abort_to{};
  // On the root frame of a run: that run's id (RunRecord::root_frame); 0 on every other frame
  // and on every saved one. A tail call that reuses the frame keeps it.
  std::uint64_t run_root = 0;

  bool has_closure() const { return closure.version != 0; }
  bool has_saved_height() const { return saved_height != kNoIndex; }
  bool has_handler_index() const { return handler_index != kNoIndex; }
};
// A power of two keeps indexing and counting frames cheap.
static_assert(sizeof(CallFrame) == 64);

// One entry of the machine's handler stack. The machine's live entries and the entries a
// continuation saves are the same record: a saved one holds the entries above the capturing
// entry, with heights relative to it.
struct SavedHandlerEntry {
  EffectId effect_id = 0;
  std::optional<HeapKey> closure;
  std::optional<HeapKey> dispatch_map;
  std::uint32_t reserved = 0; // always 0
  std::uint32_t handler_prototype = 0;
  // Heights from which a perform handled by this entry captures.
  std::uint32_t stack_height = 0;
  std::uint32_t frame_count = 0;
  // Copies of the heights at installation.
  std::uint32_t installed_height = 0;
  std::uint32_t installed_frame_count = 0;
  // Code index just past the PopHandler that closes the `with-handler` in the handler frame.
  std::uint32_t resume_ip = 0;
  // 1 while a clause of this entry runs; a perform never selects an active entry.
  std::uint8_t active = 0;
  // Tells this entry from every other one ever installed: a continuation resumes the entry that
  // captured it, wherever that entry stands on the stack by then.
  std::uint64_t serial = 0;
  // The clause the dispatch map gave for the operation last performed to this entry (version 0:
  // none yet). The map never changes, and it keeps the clause alive.
  Spur cached_operation = 0;
  HeapKey cached_clause{};
};

// The computation between a `with-handler` and a perform it handles, resumable once.
struct Continuation {
  // On a saved boundary frame's handler index: a position among `handlers` rather than an index
  // of the machine's handler stack below the saved entries.
  static constexpr std::uint32_t kSavedEntryFlag = 0x80000000u;

  std::vector<Value> values;
  std::vector<CallFrame> frames;
  std::vector<SavedHandlerEntry> handlers;
  std::uint32_t perform_ip = 0;
  std::uint32_t perform_prototype = 0;
  std::uint32_t base_height = 0;
  std::uint32_t base_frame_count = 0;
  std::uint32_t handler_frame_prototype = 0;
  std::uint32_t handler_frame_ip = 0;
  std::uint32_t handler_frame_base = 0;
  std::uint32_t stop_ip = 0;
  std::uint8_t resumed = 0;
  // Set when the captured frames reach below a run of the machine that native code started: the
  // native's own state is not part of the capture, so the continuation cannot be resumed.
  std::uint8_t crosses_native = 0;
  // The handler frame's closure, which the resumed code needs for its captured variables.
  HeapKey handler_frame_closure{};
  // The serial of the handler entry that captured it.
  std::uint64_t entry_serial = 0;
  // Entries below the saved ones whose resumption is part of the capture (a saved boundary frame
  // names them), as they were when captured, heights relative like the frames'. While the
  // resumption is suspended they are busy, as the clause that resumed them is; resuming this
  // continuation gives them their state back.
  struct OuterEntry {
    std::uint64_t serial = 0;
    std::uint32_t index = 0;
    std::uint32_t stack_height = 0;
    std::uint32_t frame_count = 0;
    std::uint8_t active = 0;
  };
  std::vector<OuterEntry> outer_entries;
};

// A mutable cell; `reset!` and `swap!` replace the value in place.
struct Atom {
  Value value;
};

// The operator of a KeyCompare optic.
enum class CompareOp : std::uint8_t { Gt = 0, Lt = 1, Ge = 2, Le = 3, Eq = 4, Ne = 5 };

enum class OpticTag : std::uint8_t {
  Key = 0,
  Index = 1,
  Slice = 2,
  Each = 3,
  Vals = 4,
  Keys = 5,
  Deep = 6,
  Some = 7,
  Compose = 8,
  Filtered = 9,
  When = 10,
  First = 11,
  Lens = 12,
  NotKey = 13,
  KeyCompare = 14,
};

// One optic: a tag and the payload of that tag. Everything beyond numbers is held through heap
// keys (keys and native predicates boxed in a KeyBox) so that the collector can follow them.
struct OpticKind {
  struct Key {
    HeapKey key_box;
  };
  struct Index {
    std::int64_t index = 0;
  };
  struct Slice {
    std::optional<std::int64_t> start;
    std::optional<std::int64_t> end;
  };
  struct Each {};
  struct Vals {};
  struct Keys {};
  struct Deep {};
  struct Some {};
  struct Compose {
    std::vector<HeapKey> steps;
  };
  struct Filtered {
    HeapKey predicate;
  };
  struct When {
    HeapKey predicate;
  };
  struct First {
    HeapKey inner;
  };
  struct Lens {
    HeapKey getter;
    HeapKey setter;
  };
  struct NotKey {
    HeapKey key_box;
  };
  struct KeyCompare {
    CompareOp op = CompareOp::Eq;
    HeapKey key_box;
    Value literal;
  };

  // Alternative positions equal the OpticTag numbers.
  std::variant<Key, Index, Slice, Each, Vals, Keys, Deep, Some, Compose, Filtered, When, First,
               Lens, NotKey, KeyCompare>
      data;

  OpticTag tag() const { return static_cast<OpticTag>(data.index()); }
};

struct Optic {
  OpticKind kind;
};

// A key or native predicate boxed so that an optic can hold it by handle.
struct KeyBox {
  Value value;
};

// A compiled regular expression, shared between copies; its pattern text is the expression's
// own (Regex::pattern), which is what equality compares.
struct RegexObject {
  std::shared_ptr<const Regex> regex;
};

struct EffectOp {
  Spur name = 0;
  // The declared parameter count, low 8 bits; informational only.
  std::uint8_t arity = 0;
};

struct Effect {
  std::vector<EffectOp> operations;
  EffectId id = 0;
  // The name of the first global the effect was bound to; 0 while unset.
  Spur name = 0;
};

// The identity of a variant: variant index in bits 0-7, type id in bits 8-23, bits 24-31 zero.
// Hashing and equality use the whole word.
struct VariantTag {
  std::uint32_t word = 0;

  static constexpr VariantTag make(std::uint32_t type_id, std::uint32_t variant_index) {
    return VariantTag{((type_id & 0xFFFF) << 8) | (variant_index & 0xFF)};
  }
  // A word from elsewhere (a pattern, an operand), masked to its 24 meaningful bits.
  static constexpr VariantTag from_word(std::uint32_t w) { return VariantTag{w & 0xFFFFFF}; }
  constexpr std::uint32_t type_id() const { return (word >> 8) & 0xFFFF; }
  constexpr std::uint32_t variant_index() const { return word & 0xFF; }

  friend constexpr bool operator==(VariantTag, VariantTag) = default;
};

struct Variant {
  std::vector<Value> fields;
  VariantTag tag;
};

// ---------------------------------------------------------------------------------------------
// HeapObject: one of the payloads above. Move-only (a continuation is boxed to keep slots small).
// A default-constructed object is the empty string, which is what a vacant slot holds.

class HeapObject {
public:
  using Storage = std::variant<StringObject, SeqObject, SetObject, MapObject, Closure,
                               ClosureTemplate, std::unique_ptr<Continuation>, Atom, Optic, KeyBox,
                               RegexObject, Effect, Variant>;

  HeapObject() = default;
  HeapObject(StringObject p) : storage_(std::move(p)) {}
  HeapObject(SeqObject p) : storage_(std::move(p)) {}
  HeapObject(SetObject p) : storage_(std::move(p)) {}
  HeapObject(MapObject p) : storage_(std::move(p)) {}
  HeapObject(Closure p) : storage_(std::move(p)) {}
  HeapObject(ClosureTemplate p) : storage_(std::move(p)) {}
  HeapObject(Continuation p)
      : storage_(std::in_place_index<6>, std::make_unique<Continuation>(std::move(p))) {}
  HeapObject(Atom p) : storage_(std::move(p)) {}
  HeapObject(Optic p) : storage_(std::move(p)) {}
  HeapObject(KeyBox p) : storage_(std::move(p)) {}
  HeapObject(RegexObject p) : storage_(std::move(p)) {}
  HeapObject(Effect p) : storage_(std::move(p)) {}
  HeapObject(Variant p) : storage_(std::move(p)) {}

  HeapObject(HeapObject&&) noexcept = default;
  HeapObject& operator=(HeapObject&&) noexcept = default;
  HeapObject(const HeapObject&) = delete;
  HeapObject& operator=(const HeapObject&) = delete;

  ObjectKind kind() const { return static_cast<ObjectKind>(storage_.index()); }

  // The payload when the object is of that kind, else nullptr.
  template <class T> const T* get_if() const {
    if constexpr (std::is_same_v<T, Continuation>) {
      auto* box = std::get_if<std::unique_ptr<Continuation>>(&storage_);
      return box != nullptr ? box->get() : nullptr;
    } else {
      return std::get_if<T>(&storage_);
    }
  }
  template <class T> T* get_if() {
    return const_cast<T*>(static_cast<const HeapObject*>(this)->get_if<T>());
  }

  Storage& storage() { return storage_; }
  const Storage& storage() const { return storage_; }

private:
  Storage storage_;
};

// The payload type of each kind, for heap_get_as.
template <class T>
inline constexpr bool kIsPayload =
    std::is_same_v<T, StringObject> || std::is_same_v<T, SeqObject> ||
    std::is_same_v<T, SetObject> || std::is_same_v<T, MapObject> || std::is_same_v<T, Closure> ||
    std::is_same_v<T, ClosureTemplate> || std::is_same_v<T, Continuation> ||
    std::is_same_v<T, Atom> || std::is_same_v<T, Optic> || std::is_same_v<T, KeyBox> ||
    std::is_same_v<T, RegexObject> || std::is_same_v<T, Effect> || std::is_same_v<T, Variant>;

} // namespace quorvex
