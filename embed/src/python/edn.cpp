#include "edn.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "convert.hpp"
#include "errors.hpp"
#include "keyword.hpp"
#include "reader/basic_reader.hpp"
#include "reader/core_error.hpp"
#include "reader/form.hpp"
#include "reader/reader.hpp"
#include "reader/string_run.hpp"
#include "util/depth_guard.hpp"

namespace quorvex {

namespace {

constexpr const char* kWhere = " while converting EDN to Python";

// Forms straight into Python objects. Going through DataValue would give the same objects (keys
// equal as data are equal in Python too, and both paths keep the first key and the last value in
// the map's order), but would copy every text and hash every key once more on the way.
class FormToPy {
public:
  explicit FormToPy(PyMaker& make) : make_(make) {}
  PyRef convert(const Form& form, bool as_key = false) { return convert_peeled(form, as_key); }

private:
  PyRef convert_peeled(const Form& form, bool as_key) {
    const Form& f = form.peeled();
    switch (f.kind()) {
    case Form::Kind::Nil:
    case Form::Kind::Spanned:
      return PyRef::borrow(Py_None);
    case Form::Kind::Bool:
      return PyRef::borrow(f.as_bool() ? Py_True : Py_False);
    case Form::Kind::Int:
      return PyRef::steal(PyLong_FromLongLong(f.as_int()));
    case Form::Kind::Ratio: {
      // The reader keeps 4/2 as the ratio 2/1; the maker turns it into the integer 2.
      const FormRatio r = f.as_ratio();
      return make_.ratio(r.num, r.den);
    }
    case Form::Kind::Float:
      return PyRef::steal(PyFloat_FromDouble(f.as_float()));
    case Form::Kind::String:
      return as_key ? make_.key_str(f.as_string()) : make_.str(f.as_string());
    case Form::Kind::Symbol:
      if (!f.ns()) return as_key ? make_.key_str(f.name()) : make_.str(f.name());
      return make_.str(whole_name(f));
    case Form::Kind::Keyword:
      if (!f.ns()) return make_.keyword(f.name());
      return make_.keyword(whole_name(f), true);
    case Form::Kind::List:
    case Form::Kind::Vector:
      return convert_seq(f.items());
    case Form::Kind::Map:
      return convert_map(f.as_map());
    case Form::Kind::Set:
      return convert_set(f.as_set());
    case Form::Kind::Regex:
      return make_.regex(f.as_regex()->pattern());
    case Form::Kind::NativeFn:
      return make_.str("native-fn");
    case Form::Kind::Optic:
      return make_.str("optic");
    case Form::Kind::Effect:
      return make_.str("effect");
    case Form::Kind::Atom:
      return make_.str("atom");
    }
    return PyRef::borrow(Py_None);
  }

  // Namespaces stay: "foo/bar" is the whole name, as the machine's symbols and keywords are.
  std::string_view whole_name(const Form& f) {
    scratch_.assign(*f.ns());
    scratch_ += '/';
    scratch_ += f.name();
    return scratch_;
  }

  PyRef convert_seq(const FormVec& items) {
    NestingScope scope(kWhere);
    if (!scope.ok()) return PyRef();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (const Form& item : items) {
      PyRef obj = convert_peeled(item, false);
      if (!obj) return obj;
      if (PyList_SetItem(list.get(), i++, obj.release()) < 0) return PyRef();
    }
    return list;
  }

  PyRef convert_map(const FormMap& map) {
    NestingScope scope(kWhere);
    if (!scope.ok()) return PyRef();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const auto& entry : map) {
      PyRef key = convert_peeled(entry.first, true);
      if (!key) return key;
      PyRef value = convert_peeled(entry.second, false);
      if (!value) return value;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyRef();
    }
    return dict;
  }

  PyRef convert_set(const FormSet& set) {
    NestingScope scope(kWhere);
    if (!scope.ok()) return PyRef();
    // All elements first, then the frozenset, as for data sets.
    std::vector<PyRef> elements;
    elements.reserve(set.size());
    for (const Form& element : set) {
      PyRef obj = convert_peeled(element, false);
      if (!obj) return obj;
      elements.push_back(std::move(obj));
    }
    PyRef frozen = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!frozen) return frozen;
    for (const PyRef& e : elements) {
      if (PySet_Add(frozen.get(), e.get()) < 0) return PyRef();
    }
    return frozen;
  }

  PyMaker& make_;
  std::string scratch_;
};

// The str of a piece of the source text. A source that is all ASCII is its own UTF-8, and the
// piece is copied from there. Otherwise the piece is cut from the source str itself, as a slice
// is, which copies code units of the str's own width instead of decoding UTF-8 again; its
// position in code points is counted as the reading moves forward (pieces come in text order).
class SourceSlices {
public:
  SourceSlices(PyObject* src, std::string_view utf8)
      : src_(src), utf8_(utf8),
        ascii_(src == nullptr || PyUnicode_GetLength(src) == static_cast<Py_ssize_t>(utf8.size())) {
  }

  // `text` must lie inside the source's UTF-8.
  PyRef slice(std::string_view text) {
    if (src_ == nullptr || text.empty()) {
      return PyRef::steal(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    }
    const auto begin = static_cast<std::size_t>(text.data() - utf8_.data());
    if (ascii_) {
      // Code points are bytes, and a slice of an ASCII str copies them without a look at each.
      return PyRef::steal(PyUnicode_Substring(src_, static_cast<Py_ssize_t>(begin),
                                              static_cast<Py_ssize_t>(begin + text.size())));
    }
    if (begin < counted_bytes_) counted_bytes_ = counted_chars_ = 0;
    counted_chars_ += code_points(utf8_.data() + counted_bytes_, begin - counted_bytes_);
    const std::size_t first = counted_chars_;
    counted_chars_ += code_points(text.data(), text.size());
    counted_bytes_ = begin + text.size();
    return PyRef::steal(PyUnicode_Substring(src_, static_cast<Py_ssize_t>(first),
                                            static_cast<Py_ssize_t>(counted_chars_)));
  }

private:
  // Code points of well-formed UTF-8: the bytes that are not continuation bytes (10xxxxxx).
  static std::size_t code_points(const char* p, std::size_t n) {
    std::size_t continuation = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // As signed bytes, the continuation bytes are exactly those below -64.
    const __m128i below = _mm_set1_epi8(-64);
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      continuation += static_cast<std::size_t>(
          std::popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below)))));
    }
#endif
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      continuation +=
          static_cast<std::size_t>(std::popcount(w & ~(w << 1) & 0x8080808080808080ULL));
    }
    for (; i < n; ++i)
      continuation += (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
    return n - continuation;
  }

  PyObject* src_;
  std::string_view utf8_;
  bool ascii_;
  std::size_t counted_bytes_ = 0;
  std::size_t counted_chars_ = 0;
};

// Dicts of the same keys in the same order, as the records of a document have, are made by
// copying a dict of those keys (every value None) and then setting the values: CPython copies a
// dict's table whole, so no key is hashed and placed one by one, and the table is not grown on
// the way (a dict of six or more keys otherwise outgrows its first table once). A shape is the
// sequence of the key objects themselves, so only keys that are the same object from map to map
// match: those the key memo shares, and singletons such as None, booleans and small ints. The
// result is the dict the entries would have made one by one, in the same order. A shape becomes
// a template the second time it is seen in a row of its set, so maps that never repeat cost a
// signature each and nothing else.
//
// Process-wide and bounded (kSets templates of at most kMaxKeys keys), used with the interpreter
// lock held. Only keys whose hashing and comparison are C code go into a template, so using one
// runs no Python code; but making a dict may set off a collection, whose finalizers may read
// another document and replace a template meanwhile, so the caller holds the template it copies.
// Each template owns its keys, so a key pointer recorded beside it names a live object.
class DictShapes {
public:
  static constexpr std::size_t kMinKeys = 6;
  static constexpr std::size_t kMaxKeys = 24;

  static bool fits(std::size_t n) { return n >= kMinKeys && n <= kMaxKeys; }

  static std::uint64_t signature(const std::pair<PyRef, PyRef>* entries, std::size_t n) {
    std::uint64_t h = n * 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < n; ++i) {
      h = (h ^ reinterpret_cast<std::uintptr_t>(entries[i].first.get())) * 0xC2B2AE3D27D4EB4FULL;
      h ^= h >> 29;
    }
    return h;
  }

  // The template of exactly these keys (borrowed), or null. Requires fits(n).
  PyObject* find(const std::pair<PyRef, PyRef>* entries, std::size_t n, std::uint64_t sig) const {
    const Shape& s = shapes_[sig % kSets];
    if (s.dict == nullptr || s.signature != sig || s.size != n) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      if (s.keys[i] != entries[i].first.get()) return nullptr;
    }
    return s.dict;
  }

  // Called after a dict was made one by one from entries with n distinct keys: remembers the
  // shape, and makes it a template when its set saw the same signature last. A failure to make
  // the template leaves no exception set and changes nothing. Requires fits(n).
  void learn(const std::pair<PyRef, PyRef>* entries, std::size_t n, std::uint64_t sig) {
    Shape& s = shapes_[sig % kSets];
    if (s.candidate != sig) {
      s.candidate = sig;
      return;
    }
    // Only keys whose hashing and comparison run no Python code, so that a template is only
    // ever used and made by C code.
    for (std::size_t i = 0; i < n; ++i) {
      if (!plain_key(entries[i].first.get())) return;
    }
    PyRef made = PyRef::steal(PyDict_New());
    if (!made) {
      PyErr_Clear();
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (PyDict_SetItem(made.get(), entries[i].first.get(), Py_None) < 0) {
        PyErr_Clear();
        return;
      }
    }
    PyObject* old = s.dict;
    s.dict = made.release();
    s.signature = sig;
    s.size = n;
    for (std::size_t i = 0; i < n; ++i)
      s.keys[i] = entries[i].first.get();
    Py_XDECREF(old);
  }

private:
  static bool plain_key(PyObject* key) {
    return PyUnicode_CheckExact(key) || is_keyword(key) || key == Py_None || PyBool_Check(key) ||
           PyLong_CheckExact(key);
  }

  static constexpr std::size_t kSets = 16;
  struct Shape {
    std::uint64_t candidate; // the signature last seen here without a template of its own
    std::uint64_t signature; // of the template
    std::size_t size;
    PyObject* dict;           // the template (a strong reference), or null
    PyObject* keys[kMaxKeys]; // the template's keys, in order (it owns them)
  };
  Shape shapes_[kSets];
};

// Zero-initialised: no constructor runs at load, and no set holds a template.
DictShapes g_dict_shapes;

// The builder that makes Python objects as the reader finds each value, with no form in
// between (see reader/basic_reader.hpp for what a builder does).
//
// A Python failure while building (an unhashable key, a pattern that re rejects, the recursion
// limit) must not end the reading: a later read error takes precedence, and only the last
// top-level form is converted at all. So the first failure is kept aside and the rest of that
// form is read without making objects; the next top-level form forgets it. Discarded forms (#_)
// are read without making objects too.
class PyBuild {
public:
  using Node = PyRef;

  static constexpr bool kSpans = false;

  // `untracked` is lent for the builder's life; the builder leaves it empty.
  PyBuild(PyObject* src, std::string_view utf8, std::vector<PyRef>& untracked)
      : slices_(src, utf8), untracked_(untracked) {}
  ~PyBuild() {
    untracked_.clear();
    for (; entered_ > 0; --entered_)
      Py_LeaveRecursiveCall();
  }
  PyBuild(const PyBuild&) = delete;
  PyBuild& operator=(const PyBuild&) = delete;

  // One level of nesting, counted against the interpreter's recursion limit as json.loads does.
  // The native stack is the reader's own depth guard's concern.
  //
  // The interpreter's count is raised once per level, the first time the reading goes that deep,
  // and lowered when the builder ends: a reading that is as deep as it ever was holds exactly the
  // levels it would hold with one count per collection, so the limit falls where it did, but a
  // document of many collections no longer makes two calls into the interpreter for each.
  // (Python code that runs meanwhile, a finalizer that the cyclic collector calls, has the
  // deepest level's room rather than the current one's.)
  class Nest {
  public:
    explicit Nest(PyBuild& build) : build_(build) {
      if (build.idle()) return;
      counted_ = true;
      if (++build.depth_ <= build.entered_) return;
      if (Py_EnterRecursiveCall(kWhere) == 0) {
        ++build.entered_;
      } else {
        build.fail_now();
      }
    }
    ~Nest() {
      if (counted_) --build_.depth_;
    }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;

  private:
    PyBuild& build_;
    bool counted_ = false;
  };

  class Quiet {
  public:
    explicit Quiet(PyBuild& build) : build_(build) { ++build_.quiet_; }
    ~Quiet() { --build_.quiet_; }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

  private:
    PyBuild& build_;
  };

  struct Start {};

  // A new top-level form: whatever failed in an earlier one no longer matters, and what an
  // earlier one made is dropped untracked (nothing can have formed a cycle through it).
  void begin_form() {
    failure_.clear();
    untracked_.clear();
  }

  // The result is complete: the collector may see its lists and dicts now.
  void track_all() {
    for (PyRef& obj : untracked_)
      PyObject_GC_Track(obj.get());
    untracked_.clear();
  }
  bool failed() const { return failure_.pending(); }
  // Sets the kept exception as the current one.
  void raise() { failure_.restore(); }

  PyRef atom(const TokenValue& atom, bool key) {
    if (idle()) return none();
    switch (atom.kind) {
    case TokenValue::Kind::Nil:
      return none();
    case TokenValue::Kind::Bool:
      return PyRef::borrow(atom.boolean ? Py_True : Py_False);
    case TokenValue::Kind::Int:
      return check(PyLong_FromLongLong(atom.integer));
    case TokenValue::Kind::Ratio:
      return check(make_.ratio(atom.integer, atom.denominator));
    case TokenValue::Kind::Float:
      return check(PyFloat_FromDouble(atom.floating));
    case TokenValue::Kind::Symbol:
      break;
    }
    // The whole token: namespaces stay ("foo/bar"), as the machine's symbols keep them.
    return check(key && !atom.name.ns ? make_.key_str(atom.token) : make_.str(atom.token));
  }

  PyRef integer(std::int64_t value) {
    if (idle()) return none();
    return check(PyLong_FromLongLong(value));
  }

  PyRef floating(double value) {
    if (idle()) return none();
    return check(PyFloat_FromDouble(value));
  }

  [[gnu::always_inline]] PyRef string(std::string_view text, bool escaped, bool key) {
    if (idle()) return none();
    // An escaped text lives in the reader's buffer: neither a slice of the source nor a text
    // the key memo may keep.
    if (escaped) return check(make_.str(text));
    if (!key) return check(slices_.slice(text));
    if (PyObject* known = make_.known_key(text)) return PyRef::borrow(known);
    PyRef made = slices_.slice(text);
    if (!made) return fail_now();
    make_.remember_key(text, made.get());
    return made;
  }

  PyRef keyword(std::string_view token, const SplitName&) {
    if (idle()) return none();
    return check(make_.keyword(token));
  }

  PyRef synthetic_symbol(const SharedText& name) {
    if (idle()) return none();
    return check(make_.key_str(name.view()));
  }

  PyRef sequence(SeqKind, PyRef* items, std::size_t n) {
    if (idle()) return none();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return fail_now();
    for (std::size_t i = 0; i < n; ++i) {
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items[i].release()) < 0) {
        return fail_now();
      }
    }
    hold_untracked(list.get());
    return list;
  }

  Start map_start() { return {}; }

  // Entries go in in text order: for keys equal in Python (1 and 1.0), the first key stays with
  // the last value, as in a dict display.
  PyRef map(Start, std::pair<PyRef, PyRef>* entries, std::size_t n) {
    if (idle()) return none();
    const bool shaped = DictShapes::fits(n);
    const std::uint64_t sig = shaped ? DictShapes::signature(entries, n) : 0;
    // Held across the copy: making the new dict may set off a collection whose finalizers
    // read another document, which may put a new template in this one's place.
    PyRef shape = PyRef::borrow(shaped ? g_dict_shapes.find(entries, n, sig) : nullptr);
    PyRef dict = PyRef::steal(shape ? PyDict_Copy(shape.get()) : PyDict_New());
    if (!dict) return fail_now();
    for (std::size_t i = 0; i < n; ++i) {
      if (PyDict_SetItem(dict.get(), entries[i].first.get(), entries[i].second.get()) < 0) {
        return fail_now();
      }
    }
    // Keys equal in Python fold into one entry; such a map has no shape of its own.
    if (shaped && !shape && static_cast<std::size_t>(PyDict_Size(dict.get())) == n) {
      g_dict_shapes.learn(entries, n, sig);
    }
    // A dict of scalars is not tracked at all; one that holds containers is, and waits too.
    hold_untracked(dict.get(), true);
    return dict;
  }

  Start set_start() { return {}; }

  PyRef set(Start, PyRef* items, std::size_t n) {
    if (idle()) return none();
    PyRef frozen = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!frozen) return fail_now();
    for (std::size_t i = 0; i < n; ++i) {
      if (PySet_Add(frozen.get(), items[i].get()) < 0) return fail_now();
    }
    return frozen;
  }

  PyRef regex(std::shared_ptr<const Regex> re) {
    if (idle()) return none();
    return check(make_.regex(re->pattern()));
  }

  PyRef from_form(Form&& form, bool key) {
    if (idle()) return none();
    // A maker of its own: its memos keep views of the form's texts, which die with the form,
    // while the builder's keep views of the source.
    PyMaker make;
    FormToPy conversion(make);
    return check(conversion.convert(form, key));
  }

private:
  bool idle() const { return failure_.pending() || quiet_ != 0; }

  // Lists and dicts stay hidden from the cyclic collector while the document is read, as
  // nothing outside the reading can reach them yet and they form no cycle: each collection that
  // the allocations set off would otherwise walk every container read so far, several times
  // over for a large document. They are tracked again once the result is complete. The held
  // reference keeps each one alive until then (a map entry replaced by a later one drops its
  // value), so that tracking never touches a freed object.
  //
  // The first few stay seen: a collection over a handful of containers costs next to nothing,
  // less than hiding and showing them again would on every small document. A dict of scalars is
  // not tracked at all, and is not hidden (`maybe_tracked`: whether to ask).
  void hold_untracked(PyObject* obj, bool maybe_tracked = false) {
    if (++containers_ <= kSeenContainers) return;
    if (maybe_tracked && !PyObject_GC_IsTracked(obj)) return;
    PyObject_GC_UnTrack(obj);
    untracked_.push_back(PyRef::borrow(obj));
  }
  static PyRef none() { return PyRef::borrow(Py_None); }

  // Without a PyRef parameter: a moved-from one would still be destroyed, by a call, on the
  // path of every value.
  PyRef check(PyObject* made) {
    if (made == nullptr) return fail_now();
    return PyRef::steal(made);
  }
  PyRef check(PyRef&& made) { return check(made.release()); }

  // Keeps the current exception aside and stops making objects until the next top-level form.
  PyRef fail_now() {
    failure_.keep_current();
    return none();
  }

  PyMaker make_;
  SourceSlices slices_;
  static constexpr std::size_t kSeenContainers = 32;
  std::vector<PyRef>& untracked_;
  std::size_t containers_ = 0;
  KeptException failure_;
  int quiet_ = 0;
  // Levels of nesting now, and levels counted by the interpreter for this builder (see Nest).
  int depth_ = 0;
  int entered_ = 0;
};

// Room that a reading borrows instead of allocating its own: the stacks of the fast route's
// collections and the builder's untracked containers. One set is kept for the process, lent to
// one reading at a time under the interpreter lock (nothing between looking at the slot and
// taking the set releases it); a reading that starts while another holds it (a finalizer that
// reads a document while a collection is made, or another thread meanwhile) makes a set of its
// own. Sets come back empty, so that the one kept holds no Python object; one grown large by a
// big document is not kept. The kept set is never freed, as the module's classes are not: a
// thread still reading when the process ends may give its set back after static destructors.
struct Scratch {
  std::vector<PyRef> items;
  std::vector<std::pair<PyRef, PyRef>> entries;
  std::vector<PyRef> untracked;
};

Scratch* g_spare_scratch = nullptr;

class ScratchLoan {
public:
  ScratchLoan() : scratch_(std::exchange(g_spare_scratch, nullptr)) {
    if (!scratch_) scratch_ = std::make_unique<Scratch>();
  }
  // The readings leave the stacks empty; a set that is not empty is not kept either.
  ~ScratchLoan() {
    constexpr std::size_t kKeep = 4096;
    if (g_spare_scratch != nullptr || !scratch_->items.empty() || !scratch_->entries.empty() ||
        !scratch_->untracked.empty() || scratch_->items.capacity() > kKeep ||
        scratch_->entries.capacity() > kKeep || scratch_->untracked.capacity() > kKeep) {
      return;
    }
    g_spare_scratch = scratch_.release();
  }
  ScratchLoan(const ScratchLoan&) = delete;
  ScratchLoan& operator=(const ScratchLoan&) = delete;

  Scratch& operator*() const { return *scratch_; }
  Scratch* operator->() const { return scratch_.get(); }

private:
  std::unique_ptr<Scratch> scratch_;
};

// Bytes that end a token: the reader's delimiters and every byte beyond ASCII (which may begin
// wide white space; the cursor decides those).
constexpr std::array<bool, 256> kTokenStop = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : std::string_view("\"(),;[]`{}~ "))
    t[c] = true;
  for (unsigned char c = 0x09; c <= 0x0D; ++c)
    t[c] = true;
  for (unsigned b = 0x80; b < 0x100; ++b)
    t[b] = true;
  return t;
}();

// What each byte is to the space between forms: plain white space, a byte that begins a form,
// or one the cursor must decide (a comment, other control bytes, bytes beyond ASCII that may
// begin wide white space).
constexpr unsigned char kFormByte = 0;
constexpr unsigned char kPlainSpace = 1;
constexpr unsigned char kOtherSpace = 2;
constexpr std::array<unsigned char, 256> kSpaceKind = [] {
  std::array<unsigned char, 256> t{};
  for (unsigned b = 0; b < 0x100; ++b)
    t[b] = b > ' ' && b < 0x80 && b != ';' ? kFormByte : kOtherSpace;
  for (unsigned char c : std::string_view(" ,\n\t\r"))
    t[c] = kPlainSpace;
  return t;
}();

// What the first byte of a form begins on the data route: one dense dispatch instead of a chain
// of comparisons. Quote shorthands and closing brackets give the text up.
enum class FormStart : unsigned char {
  Token,
  String,
  Keyword,
  Vector,
  List,
  Map,
  Dispatch,
  GiveUp,
  Number,
  Nil,
  True,
  False,
};
constexpr std::array<FormStart, 256> kFormStart = [] {
  std::array<FormStart, 256> t{};
  t['"'] = FormStart::String;
  t[':'] = FormStart::Keyword;
  t['['] = FormStart::Vector;
  t['('] = FormStart::List;
  t['{'] = FormStart::Map;
  t['#'] = FormStart::Dispatch;
  for (unsigned char c : std::string_view("'@`~)]}"))
    t[c] = FormStart::GiveUp;
  for (unsigned char c : std::string_view("0123456789-+"))
    t[c] = FormStart::Number;
  t['n'] = FormStart::Nil;
  t['t'] = FormStart::True;
  t['f'] = FormStart::False;
  return t;
}();

// The reader's route for the texts that data files are made of: collections, sets, plain
// strings, keywords and numbers, crossed byte by byte in one tight recursion instead of through
// the general reader's layers. Whatever is less common inside a token (escapes, wide white
// space, comments, a token with bytes beyond ASCII, floats and symbols) goes to the cursor,
// which applies the reader's own rules to it; whatever would need more (quote shorthands,
// dispatch forms other than sets, and every read error) gives the text up, and the general
// reader reads it from the start. So a text either reads here exactly as the general reader
// reads it, or is read by it: objects made before giving up are dropped unseen, and only the
// memos of keys and map shapes keep what they learned.
//
// Nesting goes through the same depth guard and the builder's count of Python nesting as the
// general reader's, so deep texts end in the same place; a guard that trips gives the text up,
// and the general reader says why.
class FastRead {
public:
  FastRead(std::string_view text, PyBuild& build, Scratch& scratch)
      : p_(reinterpret_cast<const unsigned char*>(text.data())),
        n_(static_cast<std::uint32_t>(text.size())),
        cursor_(text, std::nullopt, Positions::OffsetsOnly), b_(build), items_(scratch.items),
        entries_(scratch.entries) {}
  FastRead(const FastRead&) = delete;
  FastRead& operator=(const FastRead&) = delete;

  // Whether the route fits the text; if so `out` is the last form (None when there is none),
  // with the builder's failure, if any, still to be raised.
  bool document(PyRef& out) {
    if (n_ != cursor_.length() || cursor_.too_large()) return false;
    if (depth_.depth() >= DepthGuard::kMaxDepth) return false;
    out = PyRef::borrow(Py_None);
    for (;;) {
      skip_space();
      if (pos_ >= n_) return true;
      b_.begin_form();
      PyObject* form = value(false);
      if (form == nullptr) return false;
      out = PyRef::steal(form);
    }
  }

private:
  // Every reading function below answers a new reference to what it read, or null when the
  // route gives the text up (a builder's failure is None, kept aside by the builder). A plain
  // pointer comes back in a register, where a PyRef, which has a destructor, comes back through
  // memory and is destroyed again by the caller.
  static PyObject* take(PyRef made) { return made.release(); }

  void skip_space() {
    while (pos_ < n_) {
      const unsigned char kind = kSpaceKind[p_[pos_]];
      if (kind == kFormByte) return;
      if (kind == kOtherSpace) {
        cursor_.seek(pos_);
        cursor_.skip_whitespace_and_comments();
        pos_ = cursor_.position();
        return;
      }
      ++pos_;
    }
  }

  // A form at pos_ inside a collection: the commonest, a plain string, is read in place.
  [[gnu::always_inline]] PyObject* element(bool key) {
    return p_[pos_] == '"' ? string(key) : value(key);
  }

  // A form at pos_, which is inside the text and not white space.
  PyObject* value(bool key) {
    switch (kFormStart[p_[pos_]]) {
    case FormStart::String:
      return string(key);
    case FormStart::Keyword:
      return keyword();
    case FormStart::Vector:
      return items(']',
                   [&](PyRef* xs, std::size_t n) { return b_.sequence(SeqKind::Vector, xs, n); });
    case FormStart::List:
      return items(')',
                   [&](PyRef* xs, std::size_t n) { return b_.sequence(SeqKind::List, xs, n); });
    case FormStart::Map:
      return map();
    case FormStart::Dispatch: {
      if (pos_ + 1 >= n_ || p_[pos_ + 1] != '{') return nullptr;
      ++pos_;
      auto start = b_.set_start();
      return items('}', [&](PyRef* xs, std::size_t n) { return b_.set(start, xs, n); });
    }
    case FormStart::GiveUp:
      return nullptr;
    case FormStart::Number:
      return number(key);
    case FormStart::Nil:
      return literal(key, "nil", Py_None);
    case FormStart::True:
      return literal(key, "true", Py_True);
    case FormStart::False:
      return literal(key, "false", Py_False);
    case FormStart::Token:
      break;
    }
    return token(key);
  }

  // Whether a token that began at pos_ ends at `at`: the end of the text or a delimiter. A
  // byte beyond ASCII may be wide white space, which the cursor decides.
  bool ends_token(std::uint32_t at) const {
    return at >= n_ || (p_[at] < 0x80 && kTokenStop[p_[at]]);
  }

  template <std::size_t N> PyObject* literal(bool key, const char (&word)[N], PyObject* object) {
    constexpr std::uint32_t length = N - 1;
    if (n_ - pos_ >= length && std::memcmp(p_ + pos_, word, length) == 0 &&
        ends_token(pos_ + length)) {
      pos_ += length;
      Py_INCREF(object);
      return object;
    }
    return token(key);
  }

  // Decimal integers of up to 18 digits, which cannot overflow, and decimals such as 59.007 of
  // up to 19 digits in all, with an optional sign; every other token that begins with a digit
  // or a sign goes to token(). A decimal whose digits make an integer m of at most 2^53 with k
  // of them after the point is m / 10^k, both exact doubles for k <= 22, so one division
  // rounds it correctly; longer ones go to from_chars, which the general parse uses too.
  PyObject* number(bool key) {
    const std::uint32_t start = pos_;
    std::uint32_t i = start;
    if (p_[i] == '-' || p_[i] == '+') ++i;
    const std::uint32_t first = i;
    std::uint64_t magnitude = 0;
    std::uint32_t digits = 0;
    while (i < n_ && is_digit(p_[i]) && digits < kMostDigits) {
      magnitude = magnitude * 10 + (p_[i++] - '0');
      ++digits;
    }
    if (digits == 0) return token(key);
    const bool negative = p_[start] == '-';
    if (ends_token(i)) {
      if (digits > 18) return token(key);
      pos_ = i;
      const auto value = static_cast<std::int64_t>(magnitude);
      return take(b_.integer(negative ? -value : value));
    }
    if (p_[i] != '.') return token(key);
    const std::uint32_t point = i++;
    while (i < n_ && is_digit(p_[i]) && digits < kMostDigits) {
      magnitude = magnitude * 10 + (p_[i++] - '0');
      ++digits;
    }
    const std::uint32_t fraction = i - point - 1;
    if (fraction == 0 || !ends_token(i)) return token(key);
    double value;
    if (magnitude <= (std::uint64_t{1} << 53) && fraction <= 22) {
      value = static_cast<double>(magnitude) / kPowersOfTen[fraction];
    } else {
      const char* text = reinterpret_cast<const char*>(p_);
      const auto [end, ec] = std::from_chars(text + first, text + i, value);
      if (ec != std::errc() || end != text + i) return token(key);
    }
    pos_ = i;
    return take(b_.floating(negative ? -value : value));
  }

  [[gnu::always_inline]] PyObject* string(bool key) {
    const std::uint32_t open = pos_;
    const std::uint32_t close = open + 1 +
                                string_run<false>(reinterpret_cast<const char*>(p_) + open + 1,
                                                  reinterpret_cast<const char*>(p_) + n_);
    if (close < n_ && p_[close] == '"') {
      pos_ = close + 1;
      return take(b_.string(view(open + 1, close), false, key));
    }
    cursor_.seek(open);
    std::string_view text;
    bool escaped = false;
    if (!cursor_.lex_string(buffer_, text, escaped)) return nullptr;
    pos_ = cursor_.position();
    return take(b_.string(text, escaped, key));
  }

  std::uint32_t token_end(std::uint32_t from) const {
    while (from < n_ && !kTokenStop[p_[from]])
      ++from;
    return from;
  }

  PyObject* keyword() {
    const std::uint32_t colon = pos_;
    const std::uint32_t end = token_end(colon + 1);
    std::string_view token;
    if (end < n_ && p_[end] >= 0x80) {
      cursor_.seek(colon);
      if (!cursor_.lex_keyword(token)) return nullptr;
      pos_ = cursor_.position();
    } else {
      if (end == colon + 1) return nullptr;
      token = view(colon + 1, end);
      pos_ = end;
    }
    return take(b_.keyword(token, SplitName{}));
  }

  // Any other token: symbols, and the numbers, nil, true and false that the cases above leave.
  PyObject* token(bool key) {
    const std::uint32_t start = pos_;
    const std::uint32_t end = token_end(start);
    TokenValue atom;
    if (end < n_ && p_[end] >= 0x80) {
      cursor_.seek(start);
      if (!cursor_.lex_bare_token(atom)) return nullptr;
      pos_ = cursor_.position();
      return take(b_.atom(atom, key));
    }
    if (end == start) return nullptr;
    pos_ = end;
    if (!cursor_.classify_token(view(start, end), start, atom)) return nullptr;
    return take(b_.atom(atom, key));
  }

  // A collection's items from its opening bracket at pos_ to `close`, handed to `finish`.
  template <class Finish> [[gnu::noinline]] PyObject* items(char close, Finish finish) {
    ++pos_;
    Level level(depth_);
    if (!level.ok()) return nullptr;
    PyBuild::Nest nest(b_);
    const std::size_t base = items_.size();
    Truncate<PyRef> tidy{items_, base};
    for (;;) {
      skip_space();
      if (pos_ >= n_) return nullptr;
      if (p_[pos_] == close) {
        ++pos_;
        return take(finish(items_.data() + base, items_.size() - base));
      }
      PyObject* item = element(false);
      if (item == nullptr) return nullptr;
      items_.emplace_back(PyRef::steal(item));
    }
  }

  [[gnu::noinline]] PyObject* map() {
    ++pos_;
    auto start = b_.map_start();
    Level level(depth_);
    if (!level.ok()) return nullptr;
    PyBuild::Nest nest(b_);
    const std::size_t base = entries_.size();
    Truncate<std::pair<PyRef, PyRef>> tidy{entries_, base};
    for (;;) {
      skip_space();
      if (pos_ >= n_) return nullptr;
      if (p_[pos_] == '}') {
        ++pos_;
        return take(b_.map(start, entries_.data() + base, entries_.size() - base));
      }
      PyRef k = PyRef::steal(element(true));
      if (!k) return nullptr;
      skip_space();
      if (pos_ >= n_ || p_[pos_] == '}') return nullptr;
      PyObject* v = element(false);
      if (v == nullptr) return nullptr;
      entries_.emplace_back(std::move(k), PyRef::steal(v));
    }
  }

  static bool is_digit(unsigned char b) { return b >= '0' && b <= '9'; }

  // Digits that a uint64 holds whatever they are.
  static constexpr std::uint32_t kMostDigits = 19;

  static constexpr double kPowersOfTen[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

  std::string_view view(std::uint32_t from, std::uint32_t to) const {
    return {reinterpret_cast<const char*>(p_) + from, to - from};
  }

  template <class T> struct Truncate {
    std::vector<T>& stack;
    std::size_t base;
    ~Truncate() { stack.resize(base); }
  };

  // One level of nesting, as the general reader's depth guard counts it.
  class Level {
  public:
    // At the count's last level the general reader refuses the atoms inside too.
    explicit Level(DepthCounter& depth)
        : depth_(depth), ok_(depth.enter() && depth.depth() < DepthGuard::kMaxDepth) {}
    ~Level() { depth_.leave(); }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;
    bool ok() const { return ok_; }

  private:
    DepthCounter& depth_;
    bool ok_;
  };

  const unsigned char* p_;
  std::uint32_t n_;
  std::uint32_t pos_ = 0;
  ReadCursor cursor_;
  PyBuild& b_;
  DepthCounter depth_;
  std::vector<PyRef>& items_;
  std::vector<std::pair<PyRef, PyRef>>& entries_;
  // Unescaped string contents, as the cursor makes them.
  std::string buffer_;
};

void raise_read_error(const CoreError& error) {
  raise_embed_error(EmbedError::invalid_edn(format_core_error(error)));
}

} // namespace

PyRef parse_edn_object(PyObject* src, std::string_view utf8) {
  ScratchLoan scratch;
  {
    PyBuild build(src, utf8, scratch->untracked);
    FastRead fast(utf8, build, *scratch);
    PyRef last;
    if (fast.document(last)) {
      if (build.failed()) {
        build.raise();
        return PyRef();
      }
      build.track_all();
      return last;
    }
  }
  ReadCursor cursor(utf8, std::nullopt, Positions::OffsetsOnly);
  PyBuild build(src, utf8, scratch->untracked);
  BasicReader<PyBuild> reader(cursor, build);
  PyRef last = PyRef::borrow(Py_None);
  while (!cursor.at_end()) {
    build.begin_form();
    PyRef node;
    if (!reader.read_form_into(node)) {
      raise_read_error(*cursor.error());
      return PyRef();
    }
    last = std::move(node);
  }
  if (build.failed()) {
    build.raise();
    return PyRef();
  }
  build.track_all();
  return last;
}

PyRef parse_edn_via_forms(std::string_view src) {
  // No span wrappers: nothing here reports a location past the reader's own errors.
  Reader reader(src, std::nullopt, Spans::Drop);
  Form last;
  bool any = false;
  while (!reader.at_end()) {
    auto form = reader.read_form();
    if (!form) {
      raise_read_error(form.error());
      return PyRef();
    }
    last = std::move(*form);
    any = true;
  }
  if (!any) return PyRef::borrow(Py_None);
  PyMaker make;
  FormToPy conversion(make);
  return conversion.convert(last);
}

} // namespace quorvex
