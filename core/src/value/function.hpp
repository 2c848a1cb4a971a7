// The function record every closure and closure template holds, and the parameter patterns
// through which multi-clause functions, `match` clause functions and data-type predicates pick a
// clause.
//
// The compiler builds these records; the machine's call path reads them. They hold no Value and
// no HeapKey: literal patterns, map keys and defaults are indices into the constant table of the
// clause's own body prototype, and prototypes are named by index. The collector therefore has
// nothing to trace inside a FunctionRef.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace quorvex {

struct MapPatternEntry;
struct MapPatternDefault;

// A parameter pattern. One record type with a kind tag; each kind reads only its own fields.
struct Pattern {
  enum class Kind : std::uint8_t {
    Bind = 0,     // slot
    Wildcard = 1, // nothing
    Literal = 2,  // constant
    Seq = 3,      // has_as, as_slot, elements, rest (optional)
    Map = 4,      // has_as, as_slot, entries, defaults
    Variant = 5,  // variant_index, type_id, elements (one per field, in field order)
  };

  Kind kind = Kind::Wildcard;
  std::uint8_t slot = 0;                   // Bind
  std::uint8_t has_as = 0;                 // Seq, Map
  std::uint8_t as_slot = 0;                // Seq, Map
  std::uint8_t variant_index = 0;          // Variant
  std::uint16_t constant = 0;              // Literal: index into the clause prototype's constants
  std::uint16_t type_id = 0;               // Variant
  std::vector<Pattern> elements;           // Seq: positional patterns; Variant: field sub-patterns
  std::unique_ptr<Pattern> rest;           // Seq: the pattern after `&`, when there is one
  std::vector<MapPatternEntry> entries;    // Map
  std::vector<MapPatternDefault> defaults; // Map

  Pattern() = default;
  Pattern(Pattern&&) noexcept = default;
  Pattern& operator=(Pattern&&) noexcept = default;
  Pattern(const Pattern& other);
  Pattern& operator=(const Pattern& other);
  ~Pattern();

  static Pattern bind(std::uint8_t slot);
  static Pattern wildcard();
  static Pattern literal(std::uint16_t constant);

  bool is_bind_of(std::uint8_t s) const { return kind == Kind::Bind && slot == s; }
};

// A lookup of a map pattern: the key constant and the pattern its value must match.
struct MapPatternEntry {
  std::uint16_t key = 0;
  Pattern pattern;
};

// A default of a map pattern; it applies to the entries whose key is the same constant index.
struct MapPatternDefault {
  std::uint16_t key = 0;
  std::uint16_t value = 0;
};

inline Pattern::Pattern(const Pattern& other)
    : kind(other.kind), slot(other.slot), has_as(other.has_as), as_slot(other.as_slot),
      variant_index(other.variant_index), constant(other.constant), type_id(other.type_id),
      elements(other.elements), rest(other.rest ? std::make_unique<Pattern>(*other.rest) : nullptr),
      entries(other.entries), defaults(other.defaults) {}

inline Pattern& Pattern::operator=(const Pattern& other) {
  if (this != &other) *this = Pattern(other);
  return *this;
}

inline Pattern::~Pattern() = default;

inline Pattern Pattern::bind(std::uint8_t slot) {
  Pattern p;
  p.kind = Kind::Bind;
  p.slot = slot;
  return p;
}

inline Pattern Pattern::wildcard() {
  return Pattern();
}

inline Pattern Pattern::literal(std::uint16_t constant) {
  Pattern p;
  p.kind = Kind::Literal;
  p.constant = constant;
  return p;
}

// One clause of a function.
struct FunctionClause {
  std::uint32_t has_guard = 0;
  // Prototype of the `:when` guard; meaningful only with has_guard.
  std::uint32_t guard_prototype = 0;
  // One per fixed parameter, then the rest parameter's when the clause is variadic. Empty for a
  // plain function: the arguments are the first local slots as they stand.
  std::vector<Pattern> patterns;
  std::uint32_t body_prototype = 0;
  std::uint8_t is_variadic = 0;
  std::uint8_t arity = 0;
};

// The clauses of one function, in source order: a shared, immutable array. Copying shares; the
// count is not atomic because a machine and everything it owns live on one thread.
//
// The only writer after construction is the adoption of a compilation, which calls
// make_unique() and then rebases the prototype indices through mutable_clauses().
class FunctionRef {
public:
  FunctionRef() = default;
  explicit FunctionRef(std::vector<FunctionClause> clauses)
      : body_(new Body{1, std::move(clauses)}) {}

  FunctionRef(const FunctionRef& other) noexcept : body_(other.body_) {
    if (body_) ++body_->refs;
  }
  FunctionRef(FunctionRef&& other) noexcept : body_(std::exchange(other.body_, nullptr)) {}
  FunctionRef& operator=(const FunctionRef& other) noexcept {
    FunctionRef copy(other);
    swap(copy);
    return *this;
  }
  FunctionRef& operator=(FunctionRef&& other) noexcept {
    FunctionRef moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~FunctionRef() { release(); }

  void swap(FunctionRef& other) noexcept { std::swap(body_, other.body_); }

  // A one-clause record for a plain prototype: no guard, no patterns.
  static FunctionRef plain(std::uint32_t body_prototype, std::uint8_t arity,
                           std::uint8_t is_variadic) {
    FunctionClause clause;
    clause.body_prototype = body_prototype;
    clause.arity = arity;
    clause.is_variadic = is_variadic;
    std::vector<FunctionClause> clauses;
    clauses.push_back(std::move(clause));
    return FunctionRef(std::move(clauses));
  }

  bool empty() const { return body_ == nullptr || body_->clauses.empty(); }
  std::size_t size() const { return body_ ? body_->clauses.size() : 0; }
  std::span<const FunctionClause> clauses() const {
    if (!body_) return {};
    return std::span<const FunctionClause>(body_->clauses);
  }
  const FunctionClause& operator[](std::size_t i) const { return body_->clauses[i]; }

  // Whether another FunctionRef shares this array.
  bool is_shared() const { return body_ != nullptr && body_->refs > 1; }
  std::uint32_t use_count() const { return body_ ? body_->refs : 0; }
  // Gives this FunctionRef an array of its own, copying the clauses when they are shared.
  void make_unique() {
    if (is_shared()) *this = FunctionRef(body_->clauses);
  }
  // Writable clauses; call make_unique() first, the others sharing the array would see changes.
  std::span<FunctionClause> mutable_clauses() {
    if (!body_) return {};
    return std::span<FunctionClause>(body_->clauses);
  }

  friend bool same_record(const FunctionRef& x, const FunctionRef& y) { return x.body_ == y.body_; }

private:
  struct Body {
    std::uint32_t refs;
    std::vector<FunctionClause> clauses;
  };

  void release() noexcept {
    if (body_ != nullptr && --body_->refs == 0) delete body_;
    body_ = nullptr;
  }

  Body* body_ = nullptr;
};

} // namespace quorvex
