// The process-wide memo of short texts' objects that conversions out of the system share.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvex {

inline std::uint64_t text_hash(std::string_view text) {
  // Length and the first and last bytes (up to eight of each): enough to tell the keys of a
  // record apart. Fixed-size loads, which compile to plain moves.
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (n >= 8) {
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t a = 0, b = 0;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    head = a;
    tail = b;
  } else if (n > 0) {
    head = static_cast<unsigned char>(p[0]) |
           static_cast<unsigned>(static_cast<unsigned char>(p[n / 2])) << 8 |
           static_cast<unsigned>(static_cast<unsigned char>(p[n - 1])) << 16;
  }
  std::uint64_t h = (n + 1) * 0x9E3779B97F4A7C15ULL;
  h = (h ^ head) * 0xC2B2AE3D27D4EB4FULL;
  h = (h ^ tail) * 0x165667B19E3779F9ULL;
  return h ^ (h >> 31);
}

// Objects of short texts kept from one conversion to the next: a call that reads a small record
// would otherwise make and hash each of its keys again, which is most of such a call. The memo is
// bounded (two ways per set, texts of up to kMaxText bytes copied into the entry, one strong
// reference per entry) and only ever holds immutable objects (str, Keyword), so sharing them
// across calls, engines and threads cannot be observed but through `is`.
//
// Every use holds the interpreter lock, which serialises the threads; nothing between a find and
// a remember releases it. The module refuses to be initialised a second time in a process (a
// sub-interpreter included), so every object here belongs to the one interpreter that uses it.
// The references are never given back: they die with the process, as the module's classes do.
class SharedMemo {
public:
  static constexpr std::size_t kMaxText = 46;

  static bool fits(std::string_view text) { return text.size() <= kMaxText; }

  // Requires fits(text).
  PyObject* find(std::string_view text, std::uint64_t h) const {
    const Entry* set = &entries_[2 * set_of(h)];
    for (int way = 0; way < 2; ++way) {
      const Entry& e = set[way];
      if (e.hash == h && e.obj != nullptr && e.size == text.size() &&
          same_bytes(e.text, text.data(), text.size())) {
        return e.obj;
      }
    }
    return nullptr;
  }

  // Requires fits(text).
  void remember(std::string_view text, std::uint64_t h, PyObject* obj) {
    Entry* set = &entries_[2 * set_of(h)];
    Py_INCREF(obj);
    // The newest goes first; the one it displaces moves to the second way, dropping what was
    // there (a str or a Keyword, whose release runs no Python code).
    PyObject* dropped = set[1].obj;
    set[1] = set[0];
    Entry& e = set[0];
    e.hash = h;
    e.size = static_cast<std::uint8_t>(text.size());
    std::memcpy(e.text, text.data(), text.size());
    e.obj = obj;
    Py_XDECREF(dropped);
  }

private:
  // The keys of records are short: up to 16 bytes, two loads from each side that overlap
  // as needed cover every byte, and no library call is made.
  static bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8 && n <= 16) {
      return load<std::uint64_t>(a) == load<std::uint64_t>(b) &&
             load<std::uint64_t>(a + n - 8) == load<std::uint64_t>(b + n - 8);
    }
    if (n >= 4 && n < 8) {
      return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
             load<std::uint32_t>(a + n - 4) == load<std::uint32_t>(b + n - 4);
    }
    if (n < 4) return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
    return std::memcmp(a, b, n) == 0;
  }
  template <class Word> static Word load(const char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }

  struct Entry {
    std::uint64_t hash;
    PyObject* obj; // a strong reference, or null for an empty way
    std::uint8_t size;
    char text[kMaxText + 1];
  };
  static_assert(sizeof(Entry) == 64, "one cache line per entry");
  static constexpr std::size_t kSets = 256;
  static std::size_t set_of(std::uint64_t h) { return static_cast<std::size_t>(h >> 56); }

  Entry entries_[2 * kSets];
};

// Dict keys and Keyword objects.
extern SharedMemo g_shared_keys;
extern SharedMemo g_shared_keywords;

} // namespace quorvex
