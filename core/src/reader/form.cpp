#include "reader/form.hpp"

#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "regex/regex.hpp"
#include "util/depth_guard.hpp"
#include "util/internal_error.hpp"

namespace quorvex {

// ---------------------------------------------------------------------------------------------
// SharedText

SharedText::SharedText(std::string_view text) {
  void* raw = ::operator new(sizeof(Rep) + text.size());
  rep_ = new (raw) Rep();
  rep_->size = text.size();
  if (!text.empty()) std::memcpy(rep_->bytes(), text.data(), text.size());
}

void SharedText::destroy(Rep* rep) noexcept {
  rep->~Rep();
  ::operator delete(rep);
}

// ---------------------------------------------------------------------------------------------
// Blocks

struct Form::SeqBlock : Block {
  FormVec items;
};
// Maps and sets keep the order-free digest of their entries once it is known (see form_hash):
// it depends on nothing but the contents, and recomputing it made hashing nested sets and map
// keys take time quadratic in their depth.
struct Form::DigestCache {
  mutable std::atomic<bool> known{false};
  mutable std::atomic<std::uint64_t> digest{0};
};
struct Form::MapBlock : Block {
  FormMap entries;
  DigestCache cache{};
};
struct Form::SetBlock : Block {
  FormSet elements;
  DigestCache cache{};
};
struct Form::NativeBlock : Block {
  NativeFnRef native;
};
struct Form::RegexBlock : Block {
  std::shared_ptr<const Regex> re;
};
struct Form::HandleBlock : Block {
  OpaqueHandle handle;
};

namespace {

struct PendingFree {
  Form::Kind kind;
  void* block;
};

// Freeing a block frees the forms inside it, which may free their blocks in turn. Up to
// kDirectFreeDepth nested blocks are freed directly; deeper ones are queued on a list that the
// outermost free drains, so dropping a form nested a million deep needs a bounded stack. The list
// lives on the stack of the outermost free; only a pointer is thread-local, so nothing here has a
// destructor that could run after a form still in use at thread exit.
constexpr int kDirectFreeDepth = 48;
thread_local int t_free_depth = 0;
thread_local std::vector<PendingFree>* t_pending = nullptr;

} // namespace

void Form::destroy_block(Kind kind, Block* block) noexcept {
  switch (kind) {
  case Kind::List:
  case Kind::Vector:
    delete static_cast<SeqBlock*>(block);
    break;
  case Kind::Map:
    delete static_cast<MapBlock*>(block);
    break;
  case Kind::Set:
    delete static_cast<SetBlock*>(block);
    break;
  case Kind::Spanned:
    delete static_cast<SpannedBlock*>(block);
    break;
  case Kind::NativeFn:
    delete static_cast<NativeBlock*>(block);
    break;
  case Kind::Regex:
    delete static_cast<RegexBlock*>(block);
    break;
  case Kind::Optic:
  case Kind::Atom:
    delete static_cast<HandleBlock*>(block);
    break;
  default:
    break;
  }
}

void Form::free_block(Kind kind, Block* block) noexcept {
  if (t_free_depth >= kDirectFreeDepth && t_pending != nullptr) {
    try {
      t_pending->push_back(PendingFree{kind, block});
      return;
    } catch (...) {
      // No memory to queue it: free it here, one level deeper.
    }
  }
  const bool outermost = t_pending == nullptr;
  std::vector<PendingFree> pending;
  if (outermost) t_pending = &pending;
  ++t_free_depth;
  destroy_block(kind, block);
  if (outermost) {
    while (!pending.empty()) {
      PendingFree next = pending.back();
      pending.pop_back();
      destroy_block(next.kind, static_cast<Block*>(next.block));
    }
    t_pending = nullptr;
  }
  --t_free_depth;
}

// ---------------------------------------------------------------------------------------------
// Form: lifetime

void Form::retain_shared() const noexcept {
  switch (kind_) {
  case Kind::String:
    u_.text->count.fetch_add(1, std::memory_order_relaxed);
    break;
  case Kind::Symbol:
  case Kind::Keyword:
    u_.names.name->count.fetch_add(1, std::memory_order_relaxed);
    if (u_.names.ns != nullptr) u_.names.ns->count.fetch_add(1, std::memory_order_relaxed);
    break;
  default:
    u_.block->count.fetch_add(1, std::memory_order_relaxed);
  }
}

void Form::release_shared() noexcept {
  switch (kind_) {
  case Kind::String:
    SharedText::release(u_.text);
    break;
  case Kind::Symbol:
  case Kind::Keyword:
    SharedText::release(u_.names.name);
    SharedText::release(u_.names.ns);
    break;
  default:
    if (u_.block->count.fetch_sub(1, std::memory_order_acq_rel) == 1) free_block(kind_, u_.block);
  }
  kind_ = Kind::Nil;
}

// ---------------------------------------------------------------------------------------------
// Form: construction

Form Form::boolean(bool b) {
  Form f;
  f.kind_ = Kind::Bool;
  f.u_.boolean = b ? 1 : 0;
  return f;
}

Form Form::integer(std::int64_t i) {
  Form f;
  f.kind_ = Kind::Int;
  f.u_.integer = i;
  return f;
}

Form Form::ratio(std::int64_t num, std::int64_t den) {
  Form f;
  f.kind_ = Kind::Ratio;
  f.u_.ratio = FormRatio{num, den};
  return f;
}

Form Form::floating(double d) {
  Form f;
  f.kind_ = Kind::Float;
  f.u_.floating = d;
  return f;
}

Form Form::with_block(Kind kind, Block* block) noexcept {
  Form f;
  f.kind_ = kind;
  f.u_.block = block;
  return f;
}

Form Form::with_names(Kind kind, SharedText name, SharedText ns) noexcept {
  Form f;
  f.kind_ = kind;
  f.u_.names.name = name.detach();
  f.u_.names.ns = ns.detach();
  return f;
}

Form Form::string(SharedText text) {
  if (!text.present()) text = SharedText(std::string_view());
  Form f;
  f.kind_ = Kind::String;
  f.u_.text = text.detach();
  return f;
}

namespace {

void require_name(const SharedText& name) {
  if (!name.present()) throw InternalError("symbol or keyword form without a name");
}

} // namespace

Form Form::symbol(SharedText name, SharedText ns) {
  require_name(name);
  return with_names(Kind::Symbol, std::move(name), std::move(ns));
}

Form Form::keyword(SharedText name, SharedText ns) {
  require_name(name);
  return with_names(Kind::Keyword, std::move(name), std::move(ns));
}

Form Form::list(FormVec items) {
  return with_block(Kind::List, new SeqBlock{{}, std::move(items)});
}

Form Form::vector(FormVec items) {
  return with_block(Kind::Vector, new SeqBlock{{}, std::move(items)});
}

Form Form::map(FormMap entries) {
  return with_block(Kind::Map, new MapBlock{{}, std::move(entries)});
}

Form Form::set(FormSet elements) {
  return with_block(Kind::Set, new SetBlock{{}, std::move(elements)});
}

Form Form::native_fn(std::uint32_t index, SharedText name) {
  if (!name.present()) name = SharedText(std::string_view());
  return with_block(Kind::NativeFn, new NativeBlock{{}, NativeFnRef{index, std::move(name)}});
}

Form Form::spanned(const SourceSpan& span, Form inner) {
  return with_block(Kind::Spanned, new SpannedBlock(span, std::move(inner)));
}

Form Form::optic(OpaqueHandle handle) {
  return with_block(Kind::Optic, new HandleBlock{{}, std::move(handle)});
}

Form Form::regex(std::shared_ptr<const Regex> re) {
  if (!re) throw InternalError("regex form without a compiled expression");
  return with_block(Kind::Regex, new RegexBlock{{}, std::move(re)});
}

Form Form::effect(std::uint64_t id) {
  Form f;
  f.kind_ = Kind::Effect;
  f.u_.effect = id;
  return f;
}

Form Form::atom(OpaqueHandle handle) {
  return with_block(Kind::Atom, new HandleBlock{{}, std::move(handle)});
}

// ---------------------------------------------------------------------------------------------
// Form: access

void Form::expect(Kind k) const {
  if (kind_ != k) {
    std::string message = "form accessor for ";
    message += form_type_name(k);
    message += " used on ";
    message += kind_ == Kind::Spanned ? std::string_view("a span wrapper") : form_type_name(kind_);
    throw InternalError(message);
  }
}

bool Form::as_bool() const {
  expect(Kind::Bool);
  return u_.boolean != 0;
}

std::int64_t Form::as_int() const {
  expect(Kind::Int);
  return u_.integer;
}

FormRatio Form::as_ratio() const {
  expect(Kind::Ratio);
  return u_.ratio;
}

double Form::as_float() const {
  expect(Kind::Float);
  return u_.floating;
}

std::string_view Form::as_string() const {
  expect(Kind::String);
  return text_of(u_.text);
}

SharedText Form::string_text() const {
  expect(Kind::String);
  SharedText::retain(u_.text);
  return SharedText::adopt(u_.text);
}

SharedText Form::name_text() const {
  if (kind_ != Kind::Keyword) expect(Kind::Symbol);
  SharedText::retain(u_.names.name);
  return SharedText::adopt(u_.names.name);
}

std::string_view Form::name() const {
  if (kind_ != Kind::Keyword) expect(Kind::Symbol);
  return text_of(u_.names.name);
}

SharedText Form::ns_text() const {
  if (kind_ != Kind::Keyword) expect(Kind::Symbol);
  SharedText::retain(u_.names.ns);
  return SharedText::adopt(u_.names.ns);
}

std::optional<std::string_view> Form::ns() const {
  if (kind_ != Kind::Keyword) expect(Kind::Symbol);
  if (u_.names.ns == nullptr) return std::nullopt;
  return text_of(u_.names.ns);
}

const FormVec& Form::items() const {
  if (kind_ != Kind::Vector) expect(Kind::List);
  return static_cast<const SeqBlock*>(u_.block)->items;
}

const FormMap& Form::as_map() const {
  expect(Kind::Map);
  return static_cast<const MapBlock*>(u_.block)->entries;
}

const FormSet& Form::as_set() const {
  expect(Kind::Set);
  return static_cast<const SetBlock*>(u_.block)->elements;
}

const NativeFnRef& Form::as_native_fn() const {
  expect(Kind::NativeFn);
  return static_cast<const NativeBlock*>(u_.block)->native;
}

const SourceSpan& Form::span() const {
  expect(Kind::Spanned);
  return spanned_block()->span;
}

const Form& Form::inner() const {
  expect(Kind::Spanned);
  return spanned_block()->inner;
}

const std::shared_ptr<const Regex>& Form::as_regex() const {
  expect(Kind::Regex);
  return static_cast<const RegexBlock*>(u_.block)->re;
}

std::uint64_t Form::effect_id() const {
  expect(Kind::Effect);
  return u_.effect;
}

const OpaqueHandle& Form::as_handle() const {
  if (kind_ != Kind::Atom) expect(Kind::Optic);
  return static_cast<const HandleBlock*>(u_.block)->handle;
}

// ---------------------------------------------------------------------------------------------
// Hashing and equality

namespace {

void write_names(SipHasher13& h, const Form& f) {
  std::optional<std::string_view> ns = f.ns();
  h.write_u32(ns ? 1 : 0);
  if (ns) h.write_str(*ns);
  h.write_str(f.name());
}

// Hashes that stopped at the depth guard on this thread; a digest computed while this moved
// covers only part of its contents and is not kept.
thread_local std::uint64_t t_truncated_hashes = 0;

template <class Entries, class Feed>
std::uint64_t unordered_digest(const Entries& entries, Feed feed) {
  std::uint64_t combined = 0;
  for (const auto& entry : entries) {
    SipHasher13 entry_hasher(0, 0);
    feed(entry_hasher, entry);
    combined ^= entry_hasher.finish();
  }
  return combined;
}

} // namespace

void form_hash(const Form& form, SipHasher13& h) {
  const Form& f = form.peeled();
  h.write_u32(static_cast<std::uint32_t>(f.kind()));
  switch (f.kind()) {
  case Form::Kind::Nil:
  case Form::Kind::Spanned:
    return;
  case Form::Kind::Bool:
    h.write_u8(f.as_bool() ? 1 : 0);
    return;
  case Form::Kind::Int:
    h.write_i64(f.as_int());
    return;
  case Form::Kind::Float:
    h.write_u64(std::bit_cast<std::uint64_t>(f.as_float()));
    return;
  case Form::Kind::Effect:
    h.write_u64(f.effect_id());
    return;
  case Form::Kind::Ratio:
    h.write_i64(f.as_ratio().num);
    h.write_i64(f.as_ratio().den);
    return;
  case Form::Kind::String:
    h.write_str(f.as_string());
    return;
  case Form::Kind::Symbol:
  case Form::Kind::Keyword:
    write_names(h, f);
    return;
  case Form::Kind::NativeFn:
    h.write_str(f.as_native_fn().name.view());
    return;
  case Form::Kind::Regex:
    h.write_str(f.as_regex()->pattern());
    return;
  case Form::Kind::Optic:
  case Form::Kind::Atom:
    h.write_usize(reinterpret_cast<std::uintptr_t>(f.as_handle().get()));
    return;
  case Form::Kind::List:
  case Form::Kind::Vector:
  case Form::Kind::Map:
  case Form::Kind::Set:
    break;
  }
  DepthGuard guard;
  if (!guard) {
    ++t_truncated_hashes;
    return; // too deep to descend: the digest covers what lies above
  }
  switch (f.kind()) {
  case Form::Kind::List:
  case Form::Kind::Vector:
    for (const Form& item : f.items())
      form_hash(item, h);
    return;
  case Form::Kind::Map:
    h.write_u64(f.cached_digest(static_cast<const Form::MapBlock*>(f.u_.block)->cache, [&] {
      return unordered_digest(f.as_map(), [](SipHasher13& eh, const auto& entry) {
        form_hash(entry.first, eh);
        form_hash(entry.second, eh);
      });
    }));
    return;
  case Form::Kind::Set:
    h.write_u64(f.cached_digest(static_cast<const Form::SetBlock*>(f.u_.block)->cache, [&] {
      return unordered_digest(f.as_set(),
                              [](SipHasher13& eh, const Form& element) { form_hash(element, eh); });
    }));
    return;
  default:
    return;
  }
}

template <class Compute>
std::uint64_t Form::cached_digest(const DigestCache& cache, Compute compute) const {
  if (cache.known.load(std::memory_order_acquire)) {
    return cache.digest.load(std::memory_order_relaxed);
  }
  const std::uint64_t truncated_before = t_truncated_hashes;
  const std::uint64_t digest = compute();
  if (t_truncated_hashes == truncated_before) {
    cache.digest.store(digest, std::memory_order_relaxed);
    cache.known.store(true, std::memory_order_release);
  }
  return digest;
}

bool form_eq(const Form& left, const Form& right) {
  const Form& a = left.peeled();
  const Form& b = right.peeled();
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
  case Form::Kind::Nil:
  case Form::Kind::Spanned:
    return true;
  case Form::Kind::Bool:
    return a.as_bool() == b.as_bool();
  case Form::Kind::Int:
    return a.as_int() == b.as_int();
  case Form::Kind::Float:
    return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
  case Form::Kind::Effect:
    return a.effect_id() == b.effect_id();
  case Form::Kind::Ratio:
    return a.as_ratio().num == b.as_ratio().num && a.as_ratio().den == b.as_ratio().den;
  case Form::Kind::String:
    return a.as_string() == b.as_string();
  case Form::Kind::Symbol:
  case Form::Kind::Keyword: {
    return a.ns() == b.ns() && a.name() == b.name();
  }
  case Form::Kind::NativeFn:
    return a.as_native_fn().name.view() == b.as_native_fn().name.view();
  case Form::Kind::Regex:
    return a.as_regex()->pattern() == b.as_regex()->pattern();
  case Form::Kind::Optic:
  case Form::Kind::Atom:
    return a.as_handle().get() == b.as_handle().get();
  case Form::Kind::List:
  case Form::Kind::Vector:
  case Form::Kind::Map:
  case Form::Kind::Set:
    break;
  }
  DepthGuard guard;
  if (!guard) return false; // too deep to compare: such keys stay apart
  switch (a.kind()) {
  case Form::Kind::List:
  case Form::Kind::Vector: {
    const FormVec& x = a.items();
    const FormVec& y = b.items();
    if (&x == &y) return true;
    if (x.size() != y.size()) return false;
    auto yi = y.begin();
    for (const Form& item : x) {
      if (!form_eq(item, *yi)) return false;
      ++yi;
    }
    return true;
  }
  case Form::Kind::Map: {
    const FormMap& x = a.as_map();
    const FormMap& y = b.as_map();
    if (&x == &y) return true;
    if (x.size() != y.size()) return false;
    for (const auto& entry : x) {
      const Form* other = y.find(entry.first);
      if (other == nullptr || !form_eq(entry.second, *other)) return false;
    }
    return true;
  }
  case Form::Kind::Set: {
    const FormSet& x = a.as_set();
    const FormSet& y = b.as_set();
    if (&x == &y) return true;
    if (x.size() != y.size()) return false;
    for (const Form& element : x) {
      if (!y.contains(element)) return false;
    }
    for (const Form& element : y) {
      if (!x.contains(element)) return false;
    }
    return true;
  }
  default:
    return false;
  }
}

std::string_view form_type_name(Form::Kind kind) {
  switch (kind) {
  case Form::Kind::Nil:
    return "nil";
  case Form::Kind::Bool:
    return "bool";
  case Form::Kind::Int:
    return "int";
  case Form::Kind::Ratio:
    return "ratio";
  case Form::Kind::Float:
    return "float";
  case Form::Kind::String:
    return "string";
  case Form::Kind::Symbol:
    return "symbol";
  case Form::Kind::Keyword:
    return "keyword";
  case Form::Kind::List:
    return "list";
  case Form::Kind::Vector:
    return "vector";
  case Form::Kind::Map:
    return "map";
  case Form::Kind::Set:
    return "set";
  case Form::Kind::NativeFn:
    return "native-fn";
  case Form::Kind::Spanned:
    return "";
  case Form::Kind::Optic:
    return "optic";
  case Form::Kind::Regex:
    return "regex";
  case Form::Kind::Effect:
    return "effect";
  case Form::Kind::Atom:
    return "atom";
  }
  return "";
}

} // namespace quorvex
