// Any pattern either compiles or is refused with a message; a compiled pattern searches,
// iterates and replaces over any text without a crash, and its matches lie on character
// boundaries in order. The input is split at NULs: pattern, subject text, then a replacement.
//
// The same inputs go through the language's builtins, which must agree with the wrapper and
// with each other: `re-pattern` refuses exactly what the wrapper refuses, `re-seq` and `re-find`
// answer the wrapper's matches, `replace-first` is the text around the first match with its
// expansion, `re-matches` answers the whole text exactly when the pattern matches all of it, and
// a literal `replace` is `split` followed by `join` with the replacement.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "regex/regex.hpp"
#include "util/utf8.hpp"
#include "value/strings.hpp"
#include "vm/interface.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/vm.hpp"

namespace {

using quorvex::NativeResult;
using quorvex::Value;
using quorvex::Vm;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool on_boundary(std::string_view text, std::size_t i) {
  return i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
}

// The builtins' results are never collected while a handler-like scope is open, so the machine
// is replaced now and then to keep memory bounded.
Vm& machine() {
  static std::unique_ptr<Vm> vm;
  static int uses = 0;
  if (vm == nullptr || ++uses > 256) {
    vm = quorvex::vm_new_bare();
    uses = 0;
  }
  return *vm;
}

Value string_value(Vm& vm, std::string_view text) {
  auto made = quorvex::alloc_string(vm.heap, text);
  check(made.has_value());
  return *made;
}

std::string text_of(const Vm& vm, const NativeResult& result) {
  check(result.has_value());
  auto text = quorvex::string_view_of(vm.heap, *result);
  check(text.has_value());
  return std::string(*text);
}

void check_builtins(Vm& vm, std::string_view pattern, std::string_view subject,
                    std::string_view replacement, const quorvex::Regex* re) {
  quorvex::NativeCallScope no_collection(vm.heap);
  const Value p = string_value(vm, pattern);
  const Value s = string_value(vm, subject);
  const Value r = string_value(vm, replacement);

  NativeResult compiled = quorvex::builtin_re_pattern(vm, &p, 1);
  if (re == nullptr) {
    check(!compiled.has_value());
    const std::string& message = compiled.error().text;
    check(message.starts_with("invalid regex: ") && message.size() > 15);
  } else {
    check(compiled.has_value());
    const Value search[2] = {*compiled, s};
    const auto spans = re->find_all(subject);

    NativeResult seq = quorvex::builtin_re_seq(vm, search, 2);
    check(seq.has_value());
    const auto* list = quorvex::heap_get_as<quorvex::SeqObject>(vm.heap, *seq);
    check(list != nullptr && !list->is_vector && list->items.size() == spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) {
      check(quorvex::string_view_of(vm.heap, list->items[i]) == spans[i].in(subject));
    }

    NativeResult found = quorvex::builtin_re_find(vm, search, 2);
    check(found.has_value());
    if (spans.empty()) {
      check(found->is_nil());
    } else {
      check(text_of(vm, found) == spans[0].in(subject));
    }

    NativeResult whole = quorvex::builtin_re_matches(vm, search, 2);
    if (re->anchored().has_value()) {
      check(whole.has_value());
      check(whole->is_nil() != re->full_match(subject));
      if (!whole->is_nil()) check(text_of(vm, whole) == subject);
    } else {
      check(!whole.has_value() && whole.error().text.starts_with("invalid regex: "));
    }

    const Value rewrite[3] = {s, *compiled, r};
    const std::string all = text_of(vm, quorvex::builtin_replace(vm, rewrite, 3));
    check(quorvex::utf8_is_valid(all));
    const std::string first = text_of(vm, quorvex::builtin_replace_first(vm, rewrite, 3));
    if (auto caps = re->find_captures(subject)) {
      std::string expected(subject.substr(0, caps->whole().start));
      re->expand(subject, *caps, replacement, expected);
      expected.append(subject.substr(caps->whole().end));
      check(first == expected);
    } else {
      check(spans.empty() && first == subject && all == subject);
    }
    // Without a $ the replacement goes in as it is, between the texts around the matches.
    if (replacement.find('$') == std::string_view::npos) {
      std::string expected;
      std::size_t copied = 0;
      for (const auto& m : spans) {
        expected.append(subject.substr(copied, m.start - copied)).append(replacement);
        copied = m.end;
      }
      expected.append(subject.substr(copied));
      check(all == expected);
    }
  }

  // The pattern's text as a literal: replacing is cutting at the pattern and joining with the
  // replacement, whether the pattern is empty or not.
  const Value literal[3] = {s, p, r};
  const std::string replaced = text_of(vm, quorvex::builtin_replace(vm, literal, 3));
  const Value cut[2] = {s, p};
  NativeResult pieces = quorvex::builtin_split(vm, cut, 2);
  check(pieces.has_value());
  const Value glue[2] = {r, *pieces};
  check(text_of(vm, quorvex::builtin_join(vm, glue, 2)) == replaced);
  const std::string once = text_of(vm, quorvex::builtin_replace_first(vm, literal, 3));
  const std::size_t at = subject.find(pattern);
  if (at == std::string_view::npos) {
    check(once == subject);
  } else {
    check(once == std::string(subject.substr(0, at)) + std::string(replacement) +
                      std::string(subject.substr(at + pattern.size())));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t nul = input.find('\0');
  std::string_view pattern = input.substr(0, nul);
  std::string subject(nul == std::string_view::npos ? std::string_view("a\u00e9b 12")
                                                    : input.substr(nul + 1));
  std::string replacement = "<$0|${1}|$name|$$>";
  if (std::size_t second = subject.find('\0'); second != std::string::npos) {
    replacement = subject.substr(second + 1);
    subject.resize(second);
  }
  // Strings of the language are valid UTF-8.
  if (!quorvex::utf8_is_valid(subject) || !quorvex::utf8_is_valid(pattern) ||
      !quorvex::utf8_is_valid(replacement)) {
    return 0;
  }

  auto re = quorvex::Regex::compile(pattern);
  if (!re) {
    check(!re.error().empty());
    check_builtins(machine(), pattern, subject, replacement, nullptr);
    return 0;
  }
  const quorvex::Regex& r = **re;
  check(r.pattern() == pattern);
  std::size_t last_end = 0;
  for (const auto& m : r.find_all(subject)) {
    check(m.start >= last_end && m.start <= m.end && m.end <= subject.size());
    check(on_boundary(subject, m.start) && on_boundary(subject, m.end));
    last_end = m.end;
  }
  if (auto caps = r.find_captures(subject)) {
    check(caps->size() == r.group_count() + 1);
    std::string out;
    r.expand(subject, *caps, "$1${2}$name$$", out);
  }
  (void)r.full_match(subject);
  std::string replaced = r.replace_all(subject, "<$0>");
  check(quorvex::utf8_is_valid(replaced));
  check_builtins(machine(), pattern, subject, replacement, &r);
  return 0;
}
