#include "value/hash_cons.hpp"

#include <bit>
#include <cstring>

#include "util/depth_guard.hpp"
#include "util/hash.hpp"
#include "value/walk_memo.hpp"

namespace quorvex {

namespace {

// A structural hash in flight: a value, "cannot be hashed", or "too deep".
struct SHash {
  // Deep and Stop: past the depth guard, or stopped by the walk monitor.
  enum State : std::uint8_t { Ok, None, Deep, Stop };
  std::uint64_t value = 0;
  State state = Ok;

  static SHash ok(std::uint64_t v) { return SHash{v, Ok}; }
};
constexpr SHash kNone{0, SHash::None};
constexpr SHash kDeep{0, SHash::Deep};
constexpr SHash kStop{0, SHash::Stop};

// The fault of a hash that failed (state Deep or Stop).
ValueFault fault_of(const SHash& r) {
  return r.state == SHash::Stop ? ValueFault::Interrupted : ValueFault::TooDeep;
}
bool failed(const SHash& r) {
  return r.state == SHash::Deep || r.state == SHash::Stop;
}

// The byte feed of a structural hash, buffered: the hasher is a byte stream, so the digest is
// that of the concatenation however it is split, and handing it whole words is much cheaper than
// the odd-sized pieces (a tag byte, then eight payload bytes) the feeds are made of.
class Feed {
public:
  void write_u8(std::uint8_t b) {
    reserve(1);
    buf_[n_++] = b;
  }
  void write_u32(std::uint32_t v) {
    reserve(4);
    for (int i = 0; i < 4; ++i)
      buf_[n_++] = static_cast<unsigned char>(v >> (8 * i));
  }
  void write_u64(std::uint64_t v) {
    reserve(8);
    for (int i = 0; i < 8; ++i)
      buf_[n_++] = static_cast<unsigned char>(v >> (8 * i));
  }
  void write_i64(std::int64_t v) { write_u64(static_cast<std::uint64_t>(v)); }
  void write(const void* data, std::size_t len) {
    if (len > kCapacity - n_) {
      flush();
      if (len >= kCapacity) {
        hasher_.write(data, len);
        return;
      }
    }
    std::memcpy(buf_ + n_, data, len);
    n_ += len;
  }
  std::uint64_t finish() {
    flush();
    return hasher_.finish();
  }

private:
  static constexpr std::size_t kCapacity = 128;
  void reserve(std::size_t k) {
    if (n_ + k > kCapacity) flush();
  }
  void flush() {
    if (n_ != 0) hasher_.write(buf_, n_);
    n_ = 0;
  }

  SipHasher13 hasher_;
  unsigned char buf_[kCapacity];
  std::size_t n_ = 0;
};

// Answer of the strict comparison; Deep and Stop end it (past the depth guard, or stopped by the
// walk monitor).
enum class Eq3 : std::uint8_t { No, Yes, Deep, Stop };

// One hash or one strict comparison: the heap, and the answers kept for objects (or pairs of
// objects) met again through shared structure.
struct Walk {
  const Heap& h;
  WalkMemo<HeapKey, SHash, HeapKeyHash> hashes;
  WalkMemo<HeapKeyPair, bool, HeapKeyPairHash> pairs;
};

SHash hash_object(Walk& w, const HeapObject& o);

SHash hash_val(Walk& w, const Value& v) {
  Feed s;
  switch (v.tag) {
  case Tag::Nil:
    s.write_u8(0);
    break;
  case Tag::Bool:
    s.write_u8(1);
    s.write_u8(v.as.boolean);
    break;
  case Tag::Int:
    s.write_u8(2);
    s.write_i64(v.as.integer);
    break;
  case Tag::Float:
    s.write_u8(3);
    s.write_u64(std::bit_cast<std::uint64_t>(v.as.floating));
    break;
  case Tag::Ratio:
    s.write_u8(4);
    s.write_i64(v.as.ratio.num);
    s.write_i64(v.as.ratio.den);
    break;
  case Tag::Symbol:
    s.write_u8(5);
    s.write_u32(v.as.spur);
    break;
  case Tag::Keyword:
    s.write_u8(6);
    s.write_u32(v.as.spur);
    break;
  case Tag::NativeFn: {
    const unsigned char b[3] = {7, static_cast<unsigned char>(v.as.native & 0xFF),
                                static_cast<unsigned char>(v.as.native >> 8)};
    s.write(b, 3);
    break;
  }
  case Tag::Object: {
    const HeapEntry* e = heap_entry(w.h, v.as.key);
    if (e == nullptr) return kNone;
    switch (e->object.kind()) {
    case ObjectKind::String: {
      // A string's cached hash is the string table's, not this one.
      const SmallString& text = e->object.get_if<StringObject>()->text;
      s.write_u8(8);
      s.write(text.data(), text.size());
      s.write_u8(0xFF);
      break;
    }
    case ObjectKind::Seq:
    case ObjectKind::Set:
    case ObjectKind::Map:
    case ObjectKind::Variant: {
      if (e->cached_hash) return SHash::ok(*e->cached_hash);
      const std::uint64_t mark = w.hashes.enter();
      if (const SHash* known = w.hashes.find(v.as.key)) return *known;
      const SHash r = hash_object(w, e->object);
      if (!failed(r)) w.hashes.keep(v.as.key, mark, r);
      return r;
    }
    default:
      return kNone;
    }
    break;
  }
  }
  return SHash::ok(s.finish());
}

SHash hash_object(Walk& w, const HeapObject& o) {
  DepthGuard guard;
  if (!guard) return kDeep;
  Feed s;
  switch (o.kind()) {
  case ObjectKind::Seq: {
    const SeqObject& seq = *o.get_if<SeqObject>();
    s.write_u8(10);
    s.write_u8(seq.is_vector ? 1 : 0);
    s.write_u32(static_cast<std::uint32_t>(seq.items.size()));
    for (const Value& item : seq.items) {
      if (walk_interrupted(w.h)) return kStop;
      const SHash c = hash_val(w, item);
      if (c.state != SHash::Ok) return c;
      s.write_u64(c.value);
    }
    break;
  }
  case ObjectKind::Set: {
    const ValueSet& set = o.get_if<SetObject>()->set;
    std::uint64_t acc = 0;
    for (const Value& item : set) {
      if (walk_interrupted(w.h)) return kStop;
      const SHash c = hash_val(w, item);
      if (c.state != SHash::Ok) return c;
      acc ^= c.value;
    }
    s.write_u8(11);
    s.write_u32(static_cast<std::uint32_t>(set.size()));
    s.write_u64(acc);
    break;
  }
  case ObjectKind::Map: {
    const ValueMap& map = o.get_if<MapObject>()->map;
    std::uint64_t acc = 0;
    for (const auto& entry : map) {
      if (walk_interrupted(w.h)) return kStop;
      const SHash k = hash_val(w, entry.first);
      if (k.state != SHash::Ok) return k;
      const SHash v = hash_val(w, entry.second);
      if (v.state != SHash::Ok) return v;
      acc ^= k.value * 31 + v.value;
    }
    s.write_u8(12);
    s.write_u32(static_cast<std::uint32_t>(map.size()));
    s.write_u64(acc);
    break;
  }
  case ObjectKind::Variant: {
    const Variant& var = *o.get_if<Variant>();
    s.write_u8(13);
    s.write_u32(var.tag.word);
    for (const Value& field : var.fields) {
      if (walk_interrupted(w.h)) return kStop;
      const SHash c = hash_val(w, field);
      if (c.state != SHash::Ok) return c;
      s.write_u64(c.value);
    }
    break;
  }
  default:
    return kNone;
  }
  return SHash::ok(s.finish());
}

Guarded<std::optional<std::uint64_t>> to_guarded(SHash r) {
  switch (r.state) {
  case SHash::Ok:
    return std::optional<std::uint64_t>(r.value);
  case SHash::None:
    return std::optional<std::uint64_t>();
  case SHash::Deep:
  case SHash::Stop:
    break;
  }
  return std::unexpected(fault_of(r));
}

bool ends(Eq3 r) {
  return r == Eq3::Deep || r == Eq3::Stop;
}
ValueFault fault_of(Eq3 r) {
  return r == Eq3::Stop ? ValueFault::Interrupted : ValueFault::TooDeep;
}

Eq3 objects_eq(Walk& w, const HeapObject& a, const HeapObject& b);

Eq3 values_eq(Walk& w, const Value& a, const Value& b) {
  if (a.tag != b.tag) return Eq3::No;
  if (a.tag != Tag::Object) return key_equal(a, b) ? Eq3::Yes : Eq3::No;
  if (a.as.key == b.as.key) return Eq3::Yes;
  const HeapObject* oa = heap_get(w.h, a.as.key);
  const HeapObject* ob = heap_get(w.h, b.as.key);
  if (oa == nullptr || ob == nullptr) return Eq3::No;
  const std::uint64_t mark = w.pairs.enter();
  if (const bool* known = w.pairs.find({a.as.key, b.as.key})) return *known ? Eq3::Yes : Eq3::No;
  const Eq3 r = objects_eq(w, *oa, *ob);
  if (!ends(r)) w.pairs.keep({a.as.key, b.as.key}, mark, r == Eq3::Yes);
  return r;
}

// Whether `set` holds an element strictly equal to x: by key first (a key-equal element is
// strictly equal), then by scanning.
Eq3 set_has_equal(Walk& w, const ValueSet& set, const Value& x) {
  if (set.contains(x)) return Eq3::Yes;
  // Other scalars are strictly equal only when key-equal with the same hash; 0.0 and -0.0 are
  // equal but hash apart.
  if (x.tag != Tag::Object && x.tag != Tag::Float) return Eq3::No;
  for (const Value& y : set) {
    if (walk_interrupted(w.h)) return Eq3::Stop;
    const Eq3 r = values_eq(w, x, y);
    if (r != Eq3::No) return r;
  }
  return Eq3::No;
}

// Two sequences with the same storage: equal unless they hold a float (a NaN is unequal to
// itself), when No asks for the element-wise comparison.
Eq3 same_storage_equal(Walk& w, const ValueVector& items) {
  for (const Value& v : items) {
    if (walk_interrupted(w.h)) return Eq3::Stop;
    if (v.tag == Tag::Float) return Eq3::No;
  }
  return Eq3::Yes;
}

Eq3 objects_eq(Walk& w, const HeapObject& a, const HeapObject& b) {
  if (a.kind() != b.kind()) return Eq3::No;
  switch (a.kind()) {
  case ObjectKind::String:
    return a.get_if<StringObject>()->text == b.get_if<StringObject>()->text ? Eq3::Yes : Eq3::No;
  default:
    break;
  }
  DepthGuard guard;
  if (!guard) return Eq3::Deep;
  switch (a.kind()) {
  case ObjectKind::Seq: {
    const SeqObject& x = *a.get_if<SeqObject>();
    const SeqObject& y = *b.get_if<SeqObject>();
    if (x.is_vector != y.is_vector || x.items.size() != y.items.size()) return Eq3::No;
    if (x.items.ptr_eq(y.items)) {
      if (const Eq3 r = same_storage_equal(w, x.items); r != Eq3::No) return r;
    }
    auto it = y.items.begin();
    for (const Value& v : x.items) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = values_eq(w, v, *it);
      if (r != Eq3::Yes) return r;
      ++it;
    }
    return Eq3::Yes;
  }
  case ObjectKind::Set: {
    const ValueSet& x = a.get_if<SetObject>()->set;
    const ValueSet& y = b.get_if<SetObject>()->set;
    if (x.size() != y.size()) return Eq3::No;
    for (const Value& v : x) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = set_has_equal(w, y, v);
      if (r != Eq3::Yes) return r;
    }
    return Eq3::Yes;
  }
  case ObjectKind::Map: {
    const ValueMap& x = a.get_if<MapObject>()->map;
    const ValueMap& y = b.get_if<MapObject>()->map;
    if (x.size() != y.size()) return Eq3::No;
    for (const auto& entry : x) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Value* other = y.find(entry.first);
      if (other == nullptr && (entry.first.tag == Tag::Object || entry.first.tag == Tag::Float)) {
        for (const auto& candidate : y) {
          if (walk_interrupted(w.h)) return Eq3::Stop;
          const Eq3 r = values_eq(w, entry.first, candidate.first);
          if (ends(r)) return r;
          if (r == Eq3::Yes) {
            other = &candidate.second;
            break;
          }
        }
      }
      if (other == nullptr) return Eq3::No;
      const Eq3 r = values_eq(w, entry.second, *other);
      if (r != Eq3::Yes) return r;
    }
    return Eq3::Yes;
  }
  case ObjectKind::Variant: {
    const Variant& x = *a.get_if<Variant>();
    const Variant& y = *b.get_if<Variant>();
    if (x.tag != y.tag || x.fields.size() != y.fields.size()) return Eq3::No;
    for (std::size_t i = 0; i < x.fields.size(); ++i) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = values_eq(w, x.fields[i], y.fields[i]);
      if (r != Eq3::Yes) return r;
    }
    return Eq3::Yes;
  }
  default:
    // Identity-only kinds: equal only through the same key, decided by the caller.
    return Eq3::No;
  }
}

// The same, each as a walk of its own.
SHash hash_val(const Heap& h, const Value& v) {
  Walk w{h, {}, {}};
  return hash_val(w, v);
}
SHash hash_object(const Heap& h, const HeapObject& o) {
  Walk w{h, {}, {}};
  return hash_object(w, o);
}
Eq3 values_eq(const Heap& h, const Value& a, const Value& b) {
  Walk w{h, {}, {}};
  return values_eq(w, a, b);
}
Eq3 objects_eq(const Heap& h, const HeapObject& a, const HeapObject& b) {
  Walk w{h, {}, {}};
  return objects_eq(w, a, b);
}

Guarded<bool> to_guarded(Eq3 r) {
  if (ends(r)) return std::unexpected(fault_of(r));
  return r == Eq3::Yes;
}

InternTable& table_for(Heap& h, ObjectKind k) {
  switch (k) {
  case ObjectKind::Seq:
    return h.intern_seq;
  case ObjectKind::Set:
    return h.intern_set;
  case ObjectKind::Map:
    return h.intern_map;
  default:
    return h.intern_variant;
  }
}

const InternTable& table_for(const Heap& h, ObjectKind k) {
  return table_for(const_cast<Heap&>(h), k);
}

// The intern path for a payload whose structural hash is known.
Guarded<HeapKey> intern_hashed(Heap& h, HeapObject obj, std::uint64_t hash) {
  InternTable& table = table_for(h, obj.kind());
  if (const HeapKey* k = table.find(hash)) {
    if (const HeapObject* existing = heap_get(h, *k)) {
      const Eq3 r = objects_eq(h, *existing, obj);
      if (ends(r)) return std::unexpected(fault_of(r));
      if (r == Eq3::Yes) return *k;
    }
  }
  const HeapKey key = heap_insert_entry(h, HeapEntry{hash, std::move(obj), false});
  table.set(hash, key);
  return key;
}

Guarded<HeapKey> intern_object(Heap& h, HeapObject obj) {
  const SHash hs = hash_object(h, obj);
  if (failed(hs)) return std::unexpected(fault_of(hs));
  if (hs.state == SHash::None) return heap_insert(h, std::move(obj));
  return intern_hashed(h, std::move(obj), hs.value);
}

Guarded<Value> alloc_interned(Heap& h, HeapObject obj) {
  collect_if_due(h, &obj);
  Guarded<HeapKey> k = intern_object(h, std::move(obj));
  if (!k) return std::unexpected(k.error());
  return Value::object(*k);
}

} // namespace

Guarded<std::optional<std::uint64_t>> hash_value_structural(const Heap& h, const Value& v) {
  return to_guarded(hash_val(h, v));
}

Guarded<std::optional<std::uint64_t>> hash_heap_object(const Heap& h, const HeapObject& o) {
  return to_guarded(hash_object(h, o));
}

std::uint64_t string_intern_hash(std::string_view text) {
  Feed s;
  s.write_u8(7);
  s.write(text.data(), text.size());
  s.write_u8(0xFF);
  return s.finish();
}

Guarded<bool> values_equal_for_intern(const Heap& h, const Value& a, const Value& b) {
  return to_guarded(values_eq(h, a, b));
}

Guarded<bool> objects_equal_for_intern(const Heap& h, const HeapObject& a, const HeapObject& b) {
  return to_guarded(objects_eq(h, a, b));
}

Guarded<HeapKey> intern_seq(Heap& h, SeqObject payload) {
  return intern_object(h, HeapObject(std::move(payload)));
}
Guarded<HeapKey> intern_set(Heap& h, SetObject payload) {
  return intern_object(h, HeapObject(std::move(payload)));
}
Guarded<HeapKey> intern_map(Heap& h, MapObject payload) {
  return intern_object(h, HeapObject(std::move(payload)));
}
Guarded<HeapKey> intern_variant(Heap& h, Variant payload) {
  return intern_object(h, HeapObject(std::move(payload)));
}

HeapKey intern_string(Heap& h, SmallString text) {
  const std::uint64_t hash = string_intern_hash(text.view());
  if (const HeapKey* k = h.intern_string.find(hash)) {
    if (const StringObject* s = heap_get_as<StringObject>(h, *k); s != nullptr && s->text == text) {
      return *k;
    }
  }
  const HeapKey key =
      heap_insert_entry(h, HeapEntry{hash, HeapObject(StringObject{std::move(text)}), false});
  h.intern_string.set(hash, key);
  return key;
}

namespace {

// The recorded object for `hash` in the kind's table when it is live and strictly equal to `o`.
Guarded<std::optional<HeapKey>> probe(const Heap& h, const HeapObject& o, std::uint64_t hash) {
  using Found = std::optional<HeapKey>;
  const HeapKey* k = table_for(h, o.kind()).find(hash);
  if (k == nullptr) return Found();
  const HeapObject* existing = heap_get(h, *k);
  if (existing == nullptr) return Found();
  const Eq3 r = objects_eq(h, *existing, o);
  if (ends(r)) return std::unexpected(fault_of(r));
  return r == Eq3::Yes ? Found(*k) : Found();
}

Guarded<std::optional<HeapKey>> find_string(const Heap& h, const SmallString& text) {
  using Found = std::optional<HeapKey>;
  const HeapKey* k = h.intern_string.find(string_intern_hash(text.view()));
  if (k == nullptr) return Found();
  const StringObject* t = heap_get_as<StringObject>(h, *k);
  if (t == nullptr || !(t->text == text)) return Found();
  return Found(*k);
}

} // namespace

Guarded<std::optional<HeapKey>> find_interned(const Heap& h, const HeapObject& o) {
  using Found = std::optional<HeapKey>;
  if (const StringObject* s = o.get_if<StringObject>()) return find_string(h, s->text);
  const SHash hs = hash_object(h, o);
  if (failed(hs)) return std::unexpected(fault_of(hs));
  if (hs.state == SHash::None) return Found();
  return probe(h, o, hs.value);
}

Guarded<std::optional<HeapKey>> find_copy_of(const Heap& h, HeapKey source) {
  using Found = std::optional<HeapKey>;
  const HeapObject* o = heap_get(h, source);
  if (o == nullptr) return Found(source);
  if (const StringObject* s = o->get_if<StringObject>()) return find_string(h, s->text);
  const SHash hs = hash_object(h, *o);
  if (failed(hs)) return std::unexpected(fault_of(hs));
  if (hs.state == SHash::None) return Found(source);
  return probe(h, *o, hs.value);
}

Guarded<HeapKey> intern_copy_of(Heap& h, HeapKey source) {
  const HeapObject* o = heap_get(h, source);
  if (o == nullptr) return source;
  if (const StringObject* s = o->get_if<StringObject>()) {
    SmallString text = s->text;
    collect_if_due(h);
    return intern_string(h, std::move(text));
  }
  const SHash hs = hash_object(h, *o);
  if (failed(hs)) return std::unexpected(fault_of(hs));
  if (hs.state == SHash::None) return source;
  // Copy before anything allocates: `o` points into the slot table. The copy shares persistent
  // structure with the source; its elements are roots during a collection.
  HeapObject copy;
  switch (o->kind()) {
  case ObjectKind::Seq:
    copy = HeapObject(*o->get_if<SeqObject>());
    break;
  case ObjectKind::Set:
    copy = HeapObject(*o->get_if<SetObject>());
    break;
  case ObjectKind::Map:
    copy = HeapObject(*o->get_if<MapObject>());
    break;
  case ObjectKind::Variant:
    copy = HeapObject(*o->get_if<Variant>());
    break;
  default:
    return source;
  }
  collect_if_due(h, &copy);
  return intern_hashed(h, std::move(copy), hs.value);
}

Guarded<Value> alloc_seq(Heap& h, ValueVector items, bool is_vector) {
  return alloc_interned(h, HeapObject(SeqObject{std::move(items), is_vector}));
}

Guarded<Value> alloc_set(Heap& h, ValueSet set) {
  return alloc_interned(h, HeapObject(SetObject{std::move(set)}));
}

Guarded<Value> alloc_map(Heap& h, ValueMap map) {
  return alloc_interned(h, HeapObject(MapObject{std::move(map)}));
}

Guarded<Value> alloc_variant(Heap& h, std::vector<Value> fields, VariantTag tag) {
  return alloc_interned(h, HeapObject(Variant{std::move(fields), tag}));
}

} // namespace quorvex
