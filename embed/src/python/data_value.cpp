#include "data_value.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>

#include "util/depth_guard.hpp"
#include "util/internal_error.hpp"
#include "value/value.hpp"

namespace quorvex {

namespace {

// Tables up to this size are scanned; hashes are compared before keys, so a scan is cheap.
constexpr std::size_t kScanLimit = 8;

// Nesting levels that feed a hash. Deeper levels are left out, which keeps hashing consistent with
// equality (equal values agree on their first levels) and its recursion bounded without a guard.
constexpr int kHashDepth = 96;

void append_decimal(std::string& out, std::int64_t i) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, res.ptr);
}

void hash_rec(const DataValue& v, SipHasher13& h, int budget);

std::uint64_t hash_entry(const DataValue& key, const DataValue* value, int budget) {
  SipHasher13 entry;
  hash_rec(key, entry, budget);
  if (value != nullptr) hash_rec(*value, entry, budget);
  return entry.finish();
}

void hash_rec(const DataValue& v, SipHasher13& h, int budget) {
  h.write_u32(static_cast<std::uint32_t>(v.kind()));
  switch (v.kind()) {
  case DataKind::Nil:
    return;
  case DataKind::Bool:
    h.write_u8(v.as_bool() ? 1 : 0);
    return;
  case DataKind::Int:
    h.write_i64(v.as_int());
    return;
  case DataKind::Float:
    h.write_u64(std::bit_cast<std::uint64_t>(v.as_float()));
    return;
  case DataKind::Ratio:
    h.write_i64(v.numerator());
    h.write_i64(v.denominator());
    return;
  case DataKind::String:
  case DataKind::Keyword:
  case DataKind::Symbol:
  case DataKind::Opaque:
    h.write_str(v.text().view());
    return;
  case DataKind::Regex:
    h.write_str(v.as_regex().pattern());
    return;
  case DataKind::List:
  case DataKind::Vector:
    if (budget == 0) return;
    for (const DataValue& e : v.seq())
      hash_rec(e, h, budget - 1);
    return;
  case DataKind::Map:
  case DataKind::Set: {
    std::uint64_t acc = 0;
    if (budget > 0) {
      const DataTable& t = v.table();
      const bool is_map = v.kind() == DataKind::Map;
      for (std::size_t i = 0; i < t.size(); ++i) {
        acc ^= hash_entry(t.key(i), is_map ? &t.value(i) : nullptr, budget - 1);
      }
    }
    h.write_u64(acc);
    return;
  }
  }
}

bool print_rec(const DataValue& v, std::string& out) {
  switch (v.kind()) {
  case DataKind::Nil:
    out += "nil";
    return true;
  case DataKind::Bool:
    out += v.as_bool() ? "true" : "false";
    return true;
  case DataKind::Int:
    append_decimal(out, v.as_int());
    return true;
  case DataKind::Float: {
    const double d = v.as_float();
    append_float_text(out, d);
    // Infinities and NaN fail the test and keep their bare names.
    if (d - std::trunc(d) == 0.0) out += ".0";
    return true;
  }
  case DataKind::Ratio:
    append_decimal(out, v.numerator());
    out += '/';
    append_decimal(out, v.denominator());
    return true;
  case DataKind::String:
    // Raw, unescaped: this is the text eval_text shows, not a reader round trip.
    out += '"';
    out += v.text().view();
    out += '"';
    return true;
  case DataKind::Keyword:
    out += ':';
    out += v.text().view();
    return true;
  case DataKind::Symbol:
    out += v.text().view();
    return true;
  case DataKind::Regex:
    out += "#\"";
    out += v.as_regex().pattern();
    out += '"';
    return true;
  case DataKind::Opaque:
    out += "#<";
    out += v.text().view();
    out += '>';
    return true;
  case DataKind::List:
  case DataKind::Vector: {
    DepthGuard guard;
    if (!guard) return false;
    const bool is_list = v.kind() == DataKind::List;
    out += is_list ? '(' : '[';
    bool first = true;
    for (const DataValue& e : v.seq()) {
      if (!first) out += ' ';
      first = false;
      if (!print_rec(e, out)) return false;
    }
    out += is_list ? ')' : ']';
    return true;
  }
  case DataKind::Map: {
    DepthGuard guard;
    if (!guard) return false;
    const DataTable& t = v.table();
    out += '{';
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (i != 0) out += ", ";
      if (!print_rec(t.key(i), out)) return false;
      out += ' ';
      if (!print_rec(t.value(i), out)) return false;
    }
    out += '}';
    return true;
  }
  case DataKind::Set: {
    DepthGuard guard;
    if (!guard) return false;
    const DataTable& t = v.table();
    out += "#{";
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (i != 0) out += ' ';
      if (!print_rec(t.key(i), out)) return false;
    }
    out += '}';
    return true;
  }
  }
  return true;
}

std::uint64_t magnitude(std::int64_t i) {
  return i < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i);
}

constexpr std::uint64_t kInt64Max =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

} // namespace

// ---- nodes -------------------------------------------------------------------------------------

DataText* DataText::make(std::string_view text) {
  void* mem = ::operator new(sizeof(DataText) + text.size());
  auto* node = new (mem) DataText();
  node->size_ = text.size();
  if (!text.empty()) std::memcpy(const_cast<char*>(node->bytes()), text.data(), text.size());
  return node;
}

DataRegex* DataRegex::make(std::shared_ptr<const Regex> compiled) {
  if (!compiled) throw InternalError("regex data without a compiled expression");
  return new DataRegex(std::move(compiled));
}

void DataContainer::drop_container(DataContainer* node) noexcept {
  // Contents dropped while a drop is under way join the work list instead of recursing.
  thread_local DataContainer* t_dead = nullptr;
  thread_local bool t_dropping = false;
  node->next_dead = t_dead;
  t_dead = node;
  if (t_dropping) return;
  t_dropping = true;
  while (t_dead != nullptr) {
    DataContainer* dead = t_dead;
    t_dead = dead->next_dead;
    if (dead->shape == Shape::Seq) {
      auto* seq = static_cast<DataSeq*>(dead);
      seq->destroy_contents();
      seq->~DataSeq();
      ::operator delete(seq);
    } else {
      auto* table = static_cast<DataTable*>(dead);
      table->destroy_contents();
      table->~DataTable();
      ::operator delete(table);
    }
  }
  t_dropping = false;
}

void DataSeq::destroy_contents() noexcept {
  DataValue* it = items();
  for (std::size_t i = 0; i < size_; ++i)
    it[i].~DataValue();
  size_ = 0;
}

void DataTable::destroy_contents() noexcept {
  Slot* s = slots();
  for (std::size_t i = 0; i < size_; ++i)
    s[i].~Slot();
  size_ = 0;
  delete[] index_;
  index_ = nullptr;
}

std::uint64_t DataTable::hash_key(const DataValue& key) const {
  SipHasher13 h(seed_);
  hash_rec(key, h, kHashDepth);
  return h.finish();
}

std::ptrdiff_t DataTable::find_hashed(const DataValue& key, std::uint64_t hash) const {
  const Slot* s = slots();
  if (index_ == nullptr) {
    for (std::size_t i = 0; i < size_; ++i) {
      if (s[i].hash == hash && data_value_eq(s[i].key, key)) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  for (std::size_t pos = hash & index_mask_;; pos = (pos + 1) & index_mask_) {
    const std::uint32_t slot = index_[pos];
    if (slot == 0) return -1;
    const std::size_t i = slot - 1;
    if (s[i].hash == hash && data_value_eq(s[i].key, key)) return static_cast<std::ptrdiff_t>(i);
  }
}

std::ptrdiff_t DataTable::find(const DataValue& key) const {
  return find_hashed(key, hash_key(key));
}

bool DataTable::same_entries(const DataTable& other) const {
  if (size_ != other.size_) return false;
  const bool same_seed = seed_.k0 == other.seed_.k0 && seed_.k1 == other.seed_.k1;
  const Slot* s = slots();
  for (std::size_t i = 0; i < size_; ++i) {
    const std::ptrdiff_t j =
        same_seed ? other.find_hashed(s[i].key, s[i].hash) : other.find(s[i].key);
    if (j < 0) return false;
    if (!data_value_eq(s[i].value, other.slots()[j].value)) return false;
  }
  return true;
}

// ---- DataValue ---------------------------------------------------------------------------------

DataValue DataValue::ratio(std::int64_t num, std::int64_t den) {
  std::optional<DataValue> v = checked_ratio(num, den);
  if (!v) throw InternalError("ratio outside 64 bits");
  return *std::move(v);
}

std::optional<DataValue> DataValue::checked_ratio(std::int64_t num, std::int64_t den) {
  if (den == 0) throw InternalError("ratio with a zero denominator");
  std::uint64_t n = magnitude(num);
  std::uint64_t d = magnitude(den);
  const std::uint64_t g = std::gcd(n, d);
  n /= g;
  d /= g;
  const bool negative = (num < 0) != (den < 0) && n != 0;
  const std::uint64_t limit = negative ? kInt64Max + 1 : kInt64Max;
  if (n > limit || d > kInt64Max) return std::nullopt;
  const std::int64_t signed_n =
      negative ? static_cast<std::int64_t>(std::uint64_t{0} - n) : static_cast<std::int64_t>(n);
  if (d == 1) return integer(signed_n);
  DataValue v(DataKind::Ratio);
  v.u_.ratio.num = signed_n;
  v.u_.ratio.den = static_cast<std::int64_t>(d);
  return v;
}

void DataValue::retain() const noexcept {
  switch (kind_) {
  case DataKind::String:
  case DataKind::Keyword:
  case DataKind::Symbol:
  case DataKind::Opaque:
    u_.text->retain();
    return;
  case DataKind::List:
  case DataKind::Vector:
    u_.seq->retain();
    return;
  case DataKind::Map:
  case DataKind::Set:
    u_.table->retain();
    return;
  case DataKind::Regex:
    u_.regex->retain();
    return;
  default:
    return;
  }
}

void DataValue::release() noexcept {
  switch (kind_) {
  case DataKind::String:
  case DataKind::Keyword:
  case DataKind::Symbol:
  case DataKind::Opaque:
    u_.text->release();
    break;
  case DataKind::List:
  case DataKind::Vector:
    u_.seq->release();
    break;
  case DataKind::Map:
  case DataKind::Set:
    u_.table->release();
    break;
  case DataKind::Regex:
    u_.regex->release();
    break;
  default:
    return;
  }
  kind_ = DataKind::Nil;
}

// ---- builders ----------------------------------------------------------------------------------

DataSeqBuilder::DataSeqBuilder(std::size_t capacity) : node_(nullptr) {
  if (capacity > (std::numeric_limits<std::size_t>::max() - sizeof(DataSeq)) / sizeof(DataValue)) {
    throw std::bad_alloc();
  }
  void* mem = ::operator new(sizeof(DataSeq) + capacity * sizeof(DataValue));
  node_ = new (mem) DataSeq(capacity);
}

DataSeqBuilder::~DataSeqBuilder() {
  if (node_ != nullptr) node_->release();
}

void DataSeqBuilder::grow() {
  const std::size_t capacity = node_->capacity_ < 4 ? 8 : node_->capacity_ * 2;
  DataSeqBuilder bigger(capacity);
  DataValue* from = node_->items();
  DataValue* to = bigger.node_->items();
  for (std::size_t i = 0; i < node_->size_; ++i)
    new (&to[i]) DataValue(std::move(from[i]));
  bigger.node_->size_ = node_->size_;
  std::swap(node_, bigger.node_); // the old node, now all nil, goes with `bigger`
}

void DataSeqBuilder::push_back(DataValue v) {
  if (node_->size_ == node_->capacity_) grow();
  new (&node_->items()[node_->size_]) DataValue(std::move(v));
  ++node_->size_;
}

DataValue DataSeqBuilder::finish(DataKind kind) {
  DataValue v(kind);
  v.u_.seq = std::exchange(node_, nullptr);
  return v;
}

DataTableBuilder::DataTableBuilder(std::size_t capacity) : node_(nullptr) {
  if (capacity > (std::numeric_limits<std::uint32_t>::max() / 4)) throw std::bad_alloc();
  void* mem = ::operator new(sizeof(DataTable) + capacity * sizeof(DataTable::Slot));
  node_ = new (mem) DataTable(capacity, thread_random_seed());
}

DataTableBuilder::~DataTableBuilder() {
  if (node_ != nullptr) node_->release();
}

void DataTableBuilder::rebuild_index(std::size_t entries) {
  std::size_t width = 16;
  while (width < entries * 2)
    width *= 2;
  auto* index = new std::uint32_t[width]();
  delete[] node_->index_;
  node_->index_ = index;
  node_->index_mask_ = width - 1;
  const DataTable::Slot* s = node_->slots();
  for (std::size_t i = 0; i < node_->size_; ++i) {
    std::size_t pos = s[i].hash & node_->index_mask_;
    while (index[pos] != 0)
      pos = (pos + 1) & node_->index_mask_;
    index[pos] = static_cast<std::uint32_t>(i + 1);
  }
}

void DataTableBuilder::grow() {
  const std::size_t capacity = node_->capacity_ < 4 ? 8 : node_->capacity_ * 2;
  DataTableBuilder bigger(capacity);
  DataTable::Slot* from = node_->slots();
  DataTable::Slot* to = bigger.node_->slots();
  for (std::size_t i = 0; i < node_->size_; ++i) {
    new (&to[i]) DataTable::Slot{std::move(from[i].key), std::move(from[i].value), from[i].hash};
  }
  bigger.node_->size_ = node_->size_;
  bigger.node_->seed_ = node_->seed_;
  std::swap(bigger.node_->index_, node_->index_);
  std::swap(bigger.node_->index_mask_, node_->index_mask_);
  std::swap(node_, bigger.node_);
}

void DataTableBuilder::insert(DataValue key, DataValue value) {
  const std::uint64_t hash = node_->hash_key(key);
  const std::ptrdiff_t found = node_->find_hashed(key, hash);
  if (found >= 0) {
    node_->slots()[found].value = std::move(value);
    return;
  }
  if (node_->size_ == node_->capacity_) grow();
  new (&node_->slots()[node_->size_]) DataTable::Slot{std::move(key), std::move(value), hash};
  const std::size_t entries = ++node_->size_;
  if (node_->index_ != nullptr && entries * 2 <= node_->index_mask_ + 1) {
    std::size_t pos = hash & node_->index_mask_;
    while (node_->index_[pos] != 0)
      pos = (pos + 1) & node_->index_mask_;
    node_->index_[pos] = static_cast<std::uint32_t>(entries);
  } else if (entries > kScanLimit) {
    rebuild_index(entries);
  }
}

DataValue DataTableBuilder::finish(DataKind kind) {
  DataValue v(kind);
  v.u_.table = std::exchange(node_, nullptr);
  return v;
}

// ---- equality, hashing, printing ---------------------------------------------------------------

bool data_value_eq(const DataValue& a, const DataValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
  case DataKind::Nil:
    return true;
  case DataKind::Bool:
    return a.as_bool() == b.as_bool();
  case DataKind::Int:
    return a.as_int() == b.as_int();
  case DataKind::Float:
    return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
  case DataKind::Ratio:
    return a.numerator() == b.numerator() && a.denominator() == b.denominator();
  case DataKind::String:
  case DataKind::Keyword:
  case DataKind::Symbol:
  case DataKind::Opaque:
    return a.text().view() == b.text().view();
  case DataKind::Regex:
    return a.as_regex().pattern() == b.as_regex().pattern();
  case DataKind::List:
  case DataKind::Vector: {
    const DataSeq& x = a.seq();
    const DataSeq& y = b.seq();
    if (&x == &y) return true;
    if (x.size() != y.size()) return false;
    DepthGuard guard;
    // Beyond the guard's depth two values count as different: an orderly answer where the
    // native stack would otherwise give out.
    if (!guard) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!data_value_eq(x[i], y[i])) return false;
    }
    return true;
  }
  case DataKind::Map:
  case DataKind::Set: {
    if (&a.table() == &b.table()) return true;
    DepthGuard guard;
    if (!guard) return false;
    return a.table().same_entries(b.table());
  }
  }
  return false;
}

void data_value_hash(const DataValue& v, SipHasher13& hasher) {
  hash_rec(v, hasher, kHashDepth);
}

bool print_edn(const DataValue& v, std::string& out) {
  return print_rec(v, out);
}

std::string edn_text(const DataValue& v) {
  std::string out;
  if (!print_edn(v, out)) return "#<too deep>";
  return out;
}

} // namespace quorvex
