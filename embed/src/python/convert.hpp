// Conversions between Python objects and DataValues.
//
// Into the system: None, bool, int, float, str, Keyword, list, tuple, dict, set, frozenset and
// fractions.Fraction; every other object as the text of str(obj). Out of it: lists and vectors
// become list, maps dict, sets frozenset, ratios Fraction, regexes compiled re patterns, symbols
// and opaque values str.
//
// Both run with the interpreter lock held, may run arbitrary Python code (__str__, __hash__, __eq__
// of the objects involved) and report failures as the current Python exception. Nesting is bounded
// by the interpreter's recursion limit and by the room left on the native stack: beyond either,
// RecursionError. A structure that contains itself therefore ends in RecursionError too.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "data_value.hpp"
#include "py_ref.hpp"
#include "shared_memo.hpp"
#include "util/depth_guard.hpp"

namespace quorvex {

// True with `out` set, or false with a Python exception set (out is then unspecified).
bool py_to_data(PyObject* obj, DataValue& out);

// A new reference, or null with a Python exception set.
PyRef data_to_py(const DataValue& value);

// The Python objects of one conversion out of the system. It looks up fractions.Fraction and
// re.compile at most once, and shares equal objects where that cannot be observed: one Keyword
// object per name (keywords are immutable) and one str per text for dict keys (as json.loads does),
// so that repeated keys cost neither an allocation nor a hash. Short texts are shared through a
// small process-wide memo (see shared_memo.hpp), so that the keys of many small
// documents are made and hashed once, not once per call; longer texts through the maker's own
// memo, whose texts must stay alive for the maker's life (they belong to the value being
// converted).
class PyMaker {
public:
  PyRef str(std::string_view text);
  PyRef key_str(std::string_view text);
  // The memo behind key_str, for callers that make the str themselves: the shared object of
  // `text` (borrowed) or null, and remembering a new one.
  PyObject* known_key(std::string_view text);
  void remember_key(std::string_view text, PyObject* obj);
  PyRef keyword(const DataText& name);
  // `name` must outlive the maker unless `transient` (then the object is not shared).
  PyRef keyword(std::string_view name, bool transient = false);
  // A ratio in lowest terms: an int when the denominator reduces to 1, else a Fraction.
  PyRef ratio(std::int64_t num, std::int64_t den);
  PyRef regex(std::string_view pattern);

private:
  // A small cache from text to object, two entries per set: no allocation, and a miss costs no
  // more than making the object. Sized for the keys of records, not for every text of a
  // document; two ways keep two keys whose hashes meet from pushing each other out.
  //
  // The entries are left unwritten until their set is first used (a bit per set says which are),
  // so that a maker made for one small document does not clear and then walk 8 KB of entries:
  // hence the entry is trivially constructible (a string_view member would be zeroed).
  class Memo {
  public:
    Memo() noexcept {}
    // Most makers never use their memo: that case costs a test, not a call.
    ~Memo() {
      if (used_ != 0) release();
    }
    Memo(const Memo&) = delete;
    Memo& operator=(const Memo&) = delete;

    // The object remembered for `text` (borrowed), or null.
    PyObject* find(std::string_view text) const;
    void remember(std::string_view text, PyObject* obj);

  private:
    // `obj` is a strong reference, or null for an empty way.
    struct Entry {
      std::uint64_t hash;
      const char* data;
      std::size_t size;
      PyObject* obj;
    };
    void release();

    static constexpr std::size_t kSets = 64;
    static std::size_t set_of(std::uint64_t hash) { return static_cast<std::size_t>(hash >> 58); }
    bool in_use(std::size_t set) const { return (used_ >> set) & 1u; }
    std::uint64_t used_ = 0;
    static_assert(kSets <= 64, "one bit of used_ per set");
    Entry entries_[2 * kSets];
  };

  Memo key_memo_;
  Memo keyword_memo_;
  PyRef fraction_class_;
  PyRef re_compile_;
};

// One level of nesting in a conversion: the interpreter's own recursion count (so that
// sys.setrecursionlimit applies) and the native stack check, which still holds when the limit has
// been raised past what the stack can take. Beyond either, RecursionError.
class NestingScope {
public:
  explicit NestingScope(const char* where);
  ~NestingScope() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
  bool ok() const { return entered_; }

private:
  DepthGuard guard_;
  bool entered_;
};

// Lossy UTF-8 of a str: code points that UTF-8 cannot carry (lone surrogates) become U+FFFD.
// Null with an exception set only when Python itself fails.
PyRef lossy_utf8(PyObject* str, std::string_view& out);

inline PyObject* PyMaker::known_key(std::string_view text) {
  if (SharedMemo::fits(text)) return g_shared_keys.find(text, text_hash(text));
  return key_memo_.find(text);
}

} // namespace quorvex
