// DataValue: the host-interchange value.
//
// Everything that crosses the boundary between Python and a machine passes through a DataValue, in
// both directions, and parse_edn produces one from text. It holds data only and never refers into a
// machine, so it outlives the machine it came from.
//
// A DataValue is 24 bytes: a kind byte and either an immediate (bool, int, float, ratio) or one
// pointer to an immutable shared node (text, sequence, table, regex). Copies share the node through
// a plain (non-atomic) count: DataValues are made, copied and dropped only on the thread that holds
// the interpreter lock, like the Python objects they turn into.
//
// Invariants the producers rely on:
//   - a Ratio is reduced, its denominator is above 1 and carries no sign: DataValue::ratio
//     normalises, and a ratio whose denominator reduces to 1 is an Int;
//   - maps and sets hold no two equal keys (data_value_eq); they iterate in insertion order, the
//     value of a repeated key being the last one inserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "regex/regex.hpp"
#include "util/hash.hpp"

namespace quorvex {

// The numbers are fixed: data_value_hash writes them.
enum class DataKind : std::uint8_t {
  Nil = 0,
  Bool = 1,
  Int = 2,
  Float = 3,
  Ratio = 4,
  String = 5,
  Keyword = 6,
  Symbol = 7,
  List = 8,
  Vector = 9,
  Map = 10,
  Set = 11,
  Regex = 12,
  Opaque = 13,
};

class DataValue;

// Immutable UTF-8 text with its count; the bytes follow the header.
class DataText {
public:
  static DataText* make(std::string_view text); // count 1

  std::string_view view() const noexcept { return {bytes(), size_}; }
  const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::size_t size() const noexcept { return size_; }

  // The count is not part of the text's value, hence mutable: sharing a const text is allowed.
  void retain() const noexcept { ++refs_; }
  void release() const noexcept {
    if (--refs_ == 0) ::operator delete(const_cast<DataText*>(this));
  }

private:
  DataText() = default;
  mutable std::size_t refs_ = 1;
  std::size_t size_ = 0;
};

// Common header of sequences and tables. Dropping the last reference of a container frees its
// contents with a work list instead of recursion, so a deeply nested value never runs the native
// stack dry on its way out.
struct DataContainer {
  enum class Shape : std::uint8_t { Seq, Table };

  union {
    std::size_t refs;
    DataContainer* next_dead; // once the count is zero: the drop work list
  };
  Shape shape;

  void retain() noexcept { ++refs; }
  void release() noexcept {
    if (--refs == 0) drop_container(this);
  }
  static void drop_container(DataContainer* node) noexcept;

protected:
  explicit DataContainer(Shape s) noexcept : refs(1), shape(s) {}
};

// The elements of a list or vector; they follow the header.
class DataSeq : public DataContainer {
public:
  std::size_t size() const noexcept { return size_; }
  const DataValue* begin() const noexcept;
  const DataValue* end() const noexcept;
  const DataValue& operator[](std::size_t i) const noexcept;

private:
  friend class DataSeqBuilder;
  friend struct DataContainer;
  explicit DataSeq(std::size_t capacity) noexcept
      : DataContainer(Shape::Seq), capacity_(capacity) {}
  DataValue* items() const noexcept {
    return reinterpret_cast<DataValue*>(const_cast<DataSeq*>(this) + 1);
  }
  void destroy_contents() noexcept;

  std::size_t size_ = 0;
  std::size_t capacity_;
};

// The entries of a map or a set, in insertion order, with their hashes; tables above a few entries
// also carry an open-addressing index of entry numbers. A set's entries hold nil as their value.
class DataTable : public DataContainer {
public:
  struct Slot; // key, value, hash

  std::size_t size() const noexcept { return size_; }
  const DataValue& key(std::size_t i) const noexcept;
  const DataValue& value(std::size_t i) const noexcept;
  // The entry holding a key equal to `key`, or -1.
  std::ptrdiff_t find(const DataValue& key) const;
  // Same keys and (for maps) equal values, whatever the order.
  bool same_entries(const DataTable& other) const;

private:
  friend class DataTableBuilder;
  friend struct DataContainer;
  DataTable(std::size_t capacity, SipKeys seed) noexcept
      : DataContainer(Shape::Table), capacity_(capacity), seed_(seed) {}
  Slot* slots() const noexcept { return reinterpret_cast<Slot*>(const_cast<DataTable*>(this) + 1); }
  std::uint64_t hash_key(const DataValue& key) const;
  std::ptrdiff_t find_hashed(const DataValue& key, std::uint64_t hash) const;
  void destroy_contents() noexcept;

  std::size_t size_ = 0;
  std::size_t capacity_;
  // Keys of the hashes stored with the entries. Every table made on one thread uses the thread's
  // pair, so two tables of that thread compare entries by their stored hashes without rehashing.
  SipKeys seed_;
  std::uint32_t* index_ = nullptr; // null: few entries, scanned in order
  std::size_t index_mask_ = 0;
};

// A regular expression as data: the compiled expression, shared with the reader form or runtime
// object it came from; its pattern is the text it was compiled from.
class DataRegex {
public:
  static DataRegex* make(std::shared_ptr<const Regex> compiled); // count 1

  std::string_view pattern() const noexcept { return compiled_->pattern(); }
  const std::shared_ptr<const Regex>& compiled() const noexcept { return compiled_; }

  void retain() noexcept { ++refs_; }
  void release() noexcept {
    if (--refs_ == 0) delete this;
  }

private:
  explicit DataRegex(std::shared_ptr<const Regex> compiled) noexcept
      : compiled_(std::move(compiled)) {}
  std::size_t refs_ = 1;
  std::shared_ptr<const Regex> compiled_;
};

class DataValue {
public:
  DataValue() noexcept : kind_(DataKind::Nil) { u_.integer = 0; }
  DataValue(const DataValue& other) noexcept : kind_(other.kind_), u_(other.u_) { retain(); }
  DataValue(DataValue&& other) noexcept : kind_(other.kind_), u_(other.u_) {
    other.kind_ = DataKind::Nil;
  }
  DataValue& operator=(const DataValue& other) noexcept {
    DataValue copy(other);
    swap(copy);
    return *this;
  }
  DataValue& operator=(DataValue&& other) noexcept {
    DataValue moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~DataValue() { release(); }

  void swap(DataValue& other) noexcept {
    std::swap(kind_, other.kind_);
    std::swap(u_, other.u_);
  }

  static DataValue nil() noexcept { return DataValue(); }
  static DataValue boolean(bool b) noexcept {
    DataValue v(DataKind::Bool);
    v.u_.boolean = b;
    return v;
  }
  static DataValue integer(std::int64_t i) noexcept {
    DataValue v(DataKind::Int);
    v.u_.integer = i;
    return v;
  }
  static DataValue floating(double d) noexcept {
    DataValue v(DataKind::Float);
    v.u_.floating = d;
    return v;
  }
  // Reduced, sign on the numerator; a whole number comes out as an Int. The denominator must not
  // be zero. None when a reduced part leaves 64 bits (INT64_MIN over a negative denominator, or a
  // denominator of INT64_MIN that does not reduce): such a ratio is an overflow, as in the runtime.
  static std::optional<DataValue> checked_ratio(std::int64_t num, std::int64_t den);
  // checked_ratio for parts already known to fit (the runtime's and the reader's ratios); throws
  // InternalError when they do not.
  static DataValue ratio(std::int64_t num, std::int64_t den);

  // Texts: String, Keyword (name without the colon), Symbol (whole name), Opaque.
  static DataValue text(DataKind kind, std::string_view text) {
    return adopt_text(kind, DataText::make(text));
  }
  static DataValue string(std::string_view s) { return text(DataKind::String, s); }
  static DataValue keyword(std::string_view s) { return text(DataKind::Keyword, s); }
  static DataValue symbol(std::string_view s) { return text(DataKind::Symbol, s); }
  static DataValue opaque(std::string_view s) { return text(DataKind::Opaque, s); }
  // Shares `text`, taking over one reference the caller holds.
  static DataValue adopt_text(DataKind kind, const DataText* text) noexcept {
    DataValue v(kind);
    v.u_.text = text;
    return v;
  }
  // Shares `text`, adding a reference of its own.
  static DataValue share_text(DataKind kind, const DataText& text) noexcept {
    text.retain();
    return adopt_text(kind, &text);
  }
  static DataValue regex(std::shared_ptr<const Regex> compiled) {
    DataValue v(DataKind::Regex);
    v.u_.regex = DataRegex::make(std::move(compiled));
    return v;
  }

  DataKind kind() const noexcept { return kind_; }
  bool is_nil() const noexcept { return kind_ == DataKind::Nil; }

  bool as_bool() const noexcept { return u_.boolean; }
  std::int64_t as_int() const noexcept { return u_.integer; }
  double as_float() const noexcept { return u_.floating; }
  std::int64_t numerator() const noexcept { return u_.ratio.num; }
  std::int64_t denominator() const noexcept { return u_.ratio.den; }
  // String, Keyword, Symbol, Opaque.
  const DataText& text() const noexcept { return *u_.text; }
  // List, Vector.
  const DataSeq& seq() const noexcept { return *u_.seq; }
  // Map, Set.
  const DataTable& table() const noexcept { return *u_.table; }
  const DataRegex& as_regex() const noexcept { return *u_.regex; }

private:
  friend class DataSeqBuilder;
  friend class DataTableBuilder;
  explicit DataValue(DataKind kind) noexcept : kind_(kind) { u_.integer = 0; }

  bool holds_text() const noexcept {
    return kind_ == DataKind::String || kind_ == DataKind::Keyword || kind_ == DataKind::Symbol ||
           kind_ == DataKind::Opaque;
  }
  void retain() const noexcept;
  void release() noexcept;

  DataKind kind_;
  union Payload {
    bool boolean;
    std::int64_t integer;
    double floating;
    struct {
      std::int64_t num;
      std::int64_t den;
    } ratio;
    const DataText* text;
    DataSeq* seq;
    DataTable* table;
    DataRegex* regex;
  } u_;
};

static_assert(sizeof(DataValue) == 24, "DataValue must stay a 24-byte record");

struct DataTable::Slot {
  DataValue key;
  DataValue value;
  std::uint64_t hash;
};

inline const DataValue* DataSeq::begin() const noexcept {
  return items();
}
inline const DataValue* DataSeq::end() const noexcept {
  return items() + size_;
}
inline const DataValue& DataSeq::operator[](std::size_t i) const noexcept {
  return items()[i];
}

inline const DataValue& DataTable::key(std::size_t i) const noexcept {
  return slots()[i].key;
}
inline const DataValue& DataTable::value(std::size_t i) const noexcept {
  return slots()[i].value;
}

// Builds a list or vector. The capacity is a hint: pushing past it grows the node.
class DataSeqBuilder {
public:
  explicit DataSeqBuilder(std::size_t capacity);
  DataSeqBuilder(const DataSeqBuilder&) = delete;
  DataSeqBuilder& operator=(const DataSeqBuilder&) = delete;
  ~DataSeqBuilder();

  void push_back(DataValue v);
  std::size_t size() const noexcept { return node_->size_; }
  // List or Vector; the builder is empty afterwards.
  DataValue finish(DataKind kind);

private:
  void grow();
  DataSeq* node_;
};

// Builds a map or a set. Inserting a key equal to an earlier one keeps the earlier key and its
// position; for a map the later value replaces the earlier one.
class DataTableBuilder {
public:
  explicit DataTableBuilder(std::size_t capacity);
  DataTableBuilder(const DataTableBuilder&) = delete;
  DataTableBuilder& operator=(const DataTableBuilder&) = delete;
  ~DataTableBuilder();

  void insert(DataValue key, DataValue value);
  void insert(DataValue element) { insert(std::move(element), DataValue()); }
  std::size_t size() const noexcept { return node_->size_; }
  // Map or Set; the builder is empty afterwards.
  DataValue finish(DataKind kind);

private:
  void grow();
  void rebuild_index(std::size_t entries);
  DataTable* node_;
};

// Equality: equal kinds and payloads; floats by bit pattern, maps and sets regardless of order.
bool data_value_eq(const DataValue& a, const DataValue& b);

// Feeds the value into a SipHash-1-3 stream, consistently with data_value_eq.
void data_value_hash(const DataValue& v, SipHasher13& hasher);

// Appends the value's EDN text. False when the value nests too deeply to print (nothing sensible
// was appended then).
[[nodiscard]] bool print_edn(const DataValue& v, std::string& out);
std::string edn_text(const DataValue& v); // "#<too deep>" when print_edn fails

} // namespace quorvex
