// Forms: the syntax values that the reader produces and the compiler and macros consume, and
// the source spans that travel with them into compiled code and errors.
//
// A Form is a 24-byte handle: a kind byte and a 16-byte payload. Numbers live in the payload;
// texts, collections and span wrappers live in shared immutable blocks whose reference counts are
// atomic, so copying a form never copies more than two pointers and a form may be handed to
// another thread. Collections are the persistent vector, map and set, so building a changed copy
// shares structure with the original.
//
// Every consumer looks through span wrappers first (`peeled()`): the reader wraps everything it
// reads from the text, and the discard form wraps twice. Hashing and equality ignore wrappers.
//
// Dropping a deeply nested form does not recurse once per level: blocks whose count reaches zero
// while another block is being freed are queued and freed by the outermost drop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "collections/phashmap.hpp"
#include "collections/phashset.hpp"
#include "collections/pvector.hpp"
#include "util/hash.hpp"
#include "value/value.hpp"

namespace quorvex {

class Regex;
class Form;

// Where a form stood in its source text. Offsets are bytes; line and column count from 0, the
// column in characters since the last line feed. Reader errors carry offsets only (line and
// column 0).
struct SourceSpan {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  Spur source = 0; // interned source name; 0 when the caller gave none

  std::optional<Spur> source_name() const {
    return source == 0 ? std::nullopt : std::optional<Spur>(source);
  }
  friend bool operator==(const SourceSpan&, const SourceSpan&) = default;
};

// The reference count at the head of every shared part of a form: texts and blocks.
struct SharedHeader {
  std::atomic<std::uint32_t> count{1};
};

// An immutable UTF-8 text shared between copies. A default-constructed SharedText is absent
// (used for a missing namespace); SharedText(std::string_view) is always present, even if empty.
class SharedText {
public:
  SharedText() noexcept = default;
  explicit SharedText(std::string_view text);
  SharedText(const SharedText& other) noexcept : rep_(other.rep_) { retain(rep_); }
  SharedText(SharedText&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  SharedText& operator=(const SharedText& other) noexcept {
    retain(other.rep_);
    release(rep_);
    rep_ = other.rep_;
    return *this;
  }
  SharedText& operator=(SharedText&& other) noexcept {
    Rep* taken = other.rep_;
    other.rep_ = nullptr;
    release(rep_);
    rep_ = taken;
    return *this;
  }
  ~SharedText() { release(rep_); }

  bool present() const { return rep_ != nullptr; }
  explicit operator bool() const { return rep_ != nullptr; }
  std::string_view view() const {
    return rep_ == nullptr ? std::string_view() : std::string_view(rep_->bytes(), rep_->size);
  }
  std::size_t size() const { return rep_ == nullptr ? 0 : rep_->size; }
  bool same_object(const SharedText& other) const { return rep_ == other.rep_; }

private:
  friend class Form;
  struct Rep : SharedHeader {
    std::size_t size = 0;
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
  };
  static void retain(Rep* rep) noexcept {
    if (rep != nullptr) rep->count.fetch_add(1, std::memory_order_relaxed);
  }
  static void release(Rep* rep) noexcept {
    if (rep != nullptr && rep->count.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(rep);
  }
  static void destroy(Rep* rep) noexcept;
  // Takes over one reference.
  static SharedText adopt(Rep* rep) noexcept {
    SharedText t;
    t.rep_ = rep;
    return t;
  }
  Rep* detach() noexcept {
    Rep* rep = rep_;
    rep_ = nullptr;
    return rep;
  }

  Rep* rep_ = nullptr;
};

// The kinds that the reader never produces (native functions, optics, effects, atoms) carry only
// what hashing, equality and refusal need.
struct NativeFnRef {
  std::uint32_t index = 0;
  SharedText name;
};

// An optic or atom: an opaque shared object, compared by identity.
using OpaqueHandle = std::shared_ptr<const void>;

struct FormHash {
  void operator()(SipHasher13& h, const Form& f) const;
};
struct FormEq {
  bool operator()(const Form& a, const Form& b) const;
};

using FormVec = PVector<Form>;
using FormMap = PHashMap<Form, Form, FormHash, FormEq>;
using FormSet = PHashSet<Form, FormHash, FormEq>;

struct FormRatio {
  std::int64_t num;
  std::int64_t den;
};

class Form {
public:
  // The numbers are fixed: they are written into hashes.
  enum class Kind : std::uint8_t {
    Nil = 0,
    Bool = 1,
    Int = 2,
    Ratio = 3,
    Float = 4,
    String = 5,
    Symbol = 6,
    Keyword = 7,
    List = 8,
    Vector = 9,
    Map = 10,
    Set = 11,
    NativeFn = 12,
    Spanned = 13,
    Optic = 14,
    Regex = 15,
    Effect = 16,
    Atom = 17,
  };

  Form() noexcept : kind_(Kind::Nil) { u_.integer = 0; }
  Form(const Form& other) noexcept : kind_(other.kind_), u_(other.u_) {
    if (owns_shared()) retain_shared();
  }
  Form(Form&& other) noexcept : kind_(other.kind_), u_(other.u_) { other.kind_ = Kind::Nil; }
  Form& operator=(const Form& other) noexcept {
    Form copy(other);
    swap(copy);
    return *this;
  }
  Form& operator=(Form&& other) noexcept {
    Form taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~Form() {
    if (owns_shared()) release_shared();
  }
  void swap(Form& other) noexcept {
    std::swap(kind_, other.kind_);
    std::swap(u_, other.u_);
  }

  static Form nil() { return Form(); }
  static Form boolean(bool b);
  static Form integer(std::int64_t i);
  // Stored as given: the reader keeps a literal's reduced parts, even with denominator 1.
  static Form ratio(std::int64_t num, std::int64_t den);
  static Form floating(double d);
  static Form string(SharedText text);
  static Form string(std::string_view text) { return string(SharedText(text)); }
  static Form symbol(SharedText name, SharedText ns = SharedText());
  static Form symbol(std::string_view name) { return symbol(SharedText(name)); }
  static Form keyword(SharedText name, SharedText ns = SharedText());
  static Form keyword(std::string_view name) { return keyword(SharedText(name)); }
  static Form list(FormVec items);
  static Form vector(FormVec items);
  static Form map(FormMap entries);
  static Form set(FormSet elements);
  static Form native_fn(std::uint32_t index, SharedText name);
  static Form spanned(const SourceSpan& span, Form inner);
  static Form optic(OpaqueHandle handle);
  static Form regex(std::shared_ptr<const Regex> re);
  static Form effect(std::uint64_t id);
  static Form atom(OpaqueHandle handle);

  Kind kind() const { return kind_; }
  bool is(Kind k) const { return kind_ == k; }
  // The form inside every span wrapper.
  const Form& peeled() const;

  // Payload accessors. Each requires its kind (an InternalError otherwise); none looks through
  // span wrappers.
  bool as_bool() const;
  std::int64_t as_int() const;
  FormRatio as_ratio() const;
  double as_float() const;
  std::string_view as_string() const;
  SharedText string_text() const;
  // Symbols and keywords (a keyword's name has no leading colon).
  std::string_view name() const;
  SharedText name_text() const;
  // The namespace, or nothing.
  std::optional<std::string_view> ns() const;
  SharedText ns_text() const;
  // Lists and vectors.
  const FormVec& items() const;
  const FormMap& as_map() const;
  const FormSet& as_set() const;
  const NativeFnRef& as_native_fn() const;
  // Span wrappers.
  const SourceSpan& span() const;
  const Form& inner() const;
  const std::shared_ptr<const Regex>& as_regex() const;
  std::uint64_t effect_id() const;
  // Optics and atoms.
  const OpaqueHandle& as_handle() const;

private:
  struct Block;
  struct SeqBlock;
  struct MapBlock;
  struct SetBlock;
  struct SpannedBlock;
  struct NativeBlock;
  struct RegexBlock;
  struct HandleBlock;
  struct DigestCache;
  using TextRep = SharedText::Rep;

  friend void form_hash(const Form& f, SipHasher13& h);
  // The digest that `cache` holds, or `compute()`'s, kept unless hashing stopped at the depth
  // guard on the way.
  template <class Compute>
  std::uint64_t cached_digest(const DigestCache& cache, Compute compute) const;

  // Kinds whose payload holds counted references: texts (String, Symbol, Keyword) and blocks.
  static constexpr std::uint32_t kSharedKinds = (1u << 5) | (1u << 6) | (1u << 7) | (1u << 8) |
                                                (1u << 9) | (1u << 10) | (1u << 11) | (1u << 12) |
                                                (1u << 13) | (1u << 14) | (1u << 15) | (1u << 17);
  static constexpr std::uint32_t kTextKinds = (1u << 5) | (1u << 6) | (1u << 7);
  bool owns_shared() const { return ((kSharedKinds >> static_cast<unsigned>(kind_)) & 1u) != 0; }
  bool has_block() const {
    return ((kSharedKinds & ~kTextKinds) >> static_cast<unsigned>(kind_) & 1u) != 0;
  }
  void retain_shared() const noexcept;
  void release_shared() noexcept;
  static void free_block(Kind kind, Block* block) noexcept;
  static void destroy_block(Kind kind, Block* block) noexcept;
  void expect(Kind k) const;
  const SpannedBlock* spanned_block() const;
  static Form with_block(Kind kind, Block* block) noexcept;
  static Form with_names(Kind kind, SharedText name, SharedText ns) noexcept;

  Kind kind_;
  // Trivially copyable: copies and moves copy the bytes and adjust counts by hand.
  union Payload {
    std::uint8_t boolean;
    std::int64_t integer;
    double floating;
    FormRatio ratio;
    std::uint64_t effect;
    TextRep* text; // String
    struct {
      TextRep* name;
      TextRep* ns; // null when absent
    } names;       // Symbol, Keyword
    Block* block;
  } u_;
  static_assert(std::is_trivially_copyable_v<Payload>);

  static std::string_view text_of(const TextRep* rep) {
    return std::string_view(rep->bytes(), rep->size);
  }
};

static_assert(sizeof(Form) == 24, "Form stays a kind byte and a 16-byte payload");

struct Form::Block : SharedHeader {};
struct Form::SpannedBlock : Block {
  SpannedBlock(const SourceSpan& s, Form f) : span(s), inner(std::move(f)) {}
  SourceSpan span;
  Form inner;
};

inline const Form::SpannedBlock* Form::spanned_block() const {
  return static_cast<const SpannedBlock*>(u_.block);
}

inline const Form& Form::peeled() const {
  const Form* f = this;
  while (f->kind_ == Kind::Spanned)
    f = &f->spanned_block()->inner;
  return *f;
}

// Feeds a form into a hasher: the kind number, then the payload; wrappers are ignored. Maps and
// sets contribute the exclusive or of one zero-keyed digest per entry, so their hash does not
// depend on iteration order. Nesting beyond the depth guard is not descended.
void form_hash(const Form& f, SipHasher13& h);
// Equality as map and set keys: same kind (1 and 1.0 differ), floats by bit pattern, wrappers
// ignored. Nesting beyond the depth guard compares unequal.
bool form_eq(const Form& a, const Form& b);

// The type name that consumers print when they refuse a kind; empty for Spanned, which has none.
std::string_view form_type_name(Form::Kind kind);

inline void FormHash::operator()(SipHasher13& h, const Form& f) const {
  form_hash(f, h);
}
inline bool FormEq::operator()(const Form& a, const Form& b) const {
  return form_eq(a, b);
}

} // namespace quorvex
