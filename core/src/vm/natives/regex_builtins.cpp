// Regular expressions: compiling patterns and searching or rewriting text with them.
//
// A regex object holds its compiled expression by shared pointer, so a handler keeps the
// expression alive by copying that pointer, never by holding the heap object. Matching is linear
// in the text; offsets are bytes, and matches always fall on character boundaries.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "regex/regex.hpp"
#include "util/utf8.hpp"
#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

std::unexpected<VmError> invalid_regex(const std::string& reason) {
  return std::unexpected(VmError::value_error("invalid regex: " + reason));
}

// The compiled expression of a live regex argument, or nullptr.
std::shared_ptr<const Regex> regex_of(const Vm& vm, const Value& v) {
  const RegexObject* object = arg_as<RegexObject>(vm.heap, v);
  return object != nullptr ? object->regex : nullptr;
}

struct Search {
  std::shared_ptr<const Regex> regex;
  std::string text;
};

// The regex, then the text, of a two-argument search builtin.
std::expected<Search, VmError> search_arguments(const Vm& vm, const Value* args) {
  std::shared_ptr<const Regex> regex = regex_of(vm, args[0]);
  if (regex == nullptr) return type_error("expected a regex");
  auto text = expect_string(vm, args[1]);
  if (!text) return std::unexpected(std::move(text.error()));
  return Search{std::move(regex), std::move(*text)};
}

// Every non-overlapping occurrence of a literal pattern, or only the first, replaced literally.
// An empty pattern occurs at every character boundary, both ends included. Nothing once the
// result would be longer than any string may be, or when `stop` says to give up.
std::optional<std::string> replace_literal(std::string_view text, std::string_view pattern,
                                           std::string_view replacement, bool all,
                                           const std::function<bool()>& stop) {
  constexpr std::size_t kMax = SmallString::kMaxSize;
  std::string out;
  if (pattern.empty()) {
    const std::size_t boundaries = all ? utf8_count_scalars(text) + 1 : 1;
    if (replacement.size() > 0 && boundaries > (kMax - text.size()) / replacement.size()) {
      return std::nullopt;
    }
    out.reserve(text.size() + replacement.size() * boundaries);
    out.append(replacement);
    if (!all) return out.append(text);
    for (std::size_t i = 0; i < text.size();) {
      if (stop()) return std::nullopt;
      const std::size_t length = utf8_decode(text, i).length;
      out.append(text.substr(i, length));
      out.append(replacement);
      i += length;
    }
    return out;
  }
  std::size_t copied = 0;
  for (;;) {
    if (stop()) return std::nullopt;
    const std::size_t at = text.find(pattern, copied);
    if (at == std::string_view::npos) break;
    out.append(text.substr(copied, at - copied));
    out.append(replacement);
    if (out.size() > kMax) return std::nullopt;
    copied = at + pattern.size();
    if (!all) break;
  }
  out.append(text.substr(copied));
  return out;
}

NativeResult replace_matches(Vm& vm, const Value* args, bool all, const char* pattern_error) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  auto replacement = expect_string(vm, args[2]);
  if (!replacement) return std::unexpected(std::move(replacement.error()));
  // A long text can hold millions of matches: the walk is interruptible like a builtin's loop.
  std::optional<VmError> interrupted;
  const std::function<bool()> stop = [&] {
    interrupted = count_native_step(vm);
    return interrupted.has_value();
  };
  std::optional<std::string> out;
  if (const std::optional<std::string_view> literal = string_view_of(vm.heap, args[1])) {
    out = replace_literal(*text, *literal, *replacement, all, stop);
  } else if (std::shared_ptr<const Regex> regex = regex_of(vm, args[1])) {
    out = regex->replace_bounded(*text, *replacement, all, SmallString::kMaxSize, stop);
  } else {
    return type_error(pattern_error);
  }
  if (interrupted) return std::unexpected(std::move(*interrupted));
  if (!out) return std::unexpected(to_vm_error(ValueFault::StringTooLong));
  return lift_fault(alloc_string_owned(vm.heap, std::move(*out)));
}

} // namespace

NativeResult builtin_re_pattern(Vm& vm, const Value* args, std::size_t argc) {
  auto pattern = expect_string(vm, args[0]);
  if (!pattern) return std::unexpected(std::move(pattern.error()));
  auto compiled = Regex::compile(*pattern);
  if (!compiled) return invalid_regex(compiled.error());
  return Value::object(heap_alloc(vm.heap, HeapObject(RegexObject{std::move(*compiled)})));
}

NativeResult builtin_re_find(Vm& vm, const Value* args, std::size_t argc) {
  auto search = search_arguments(vm, args);
  if (!search) return std::unexpected(std::move(search.error()));
  const std::optional<MatchSpan> match = search->regex->find(search->text);
  if (!match) return Value::nil();
  return lift_fault(alloc_string(vm.heap, match->in(search->text)));
}

// The whole text when the pattern, wrapped in anchors, matches all of it. The wrapped pattern is
// compiled on its own, so a pattern whose verbose comment would swallow the wrapper's closing
// parenthesis fails here although it compiled by itself.
NativeResult builtin_re_matches(Vm& vm, const Value* args, std::size_t argc) {
  auto search = search_arguments(vm, args);
  if (!search) return std::unexpected(std::move(search.error()));
  auto anchored = search->regex->anchored();
  if (!anchored) return invalid_regex(anchored.error());
  if (!(*anchored)->is_match(search->text)) return Value::nil();
  return lift_fault(alloc_string_owned(vm.heap, std::move(search->text)));
}

// Matches in order, with the iteration's rule for empty matches: one that ends where the previous
// match ended is skipped, so "a*" over "baaa" gives "", "aaa" and then nothing more.
NativeResult builtin_re_seq(Vm& vm, const Value* args, std::size_t argc) {
  auto search = search_arguments(vm, args);
  if (!search) return std::unexpected(std::move(search.error()));
  // The new strings are held only here until the list holds them.
  NativeCallScope no_collection(vm.heap);
  ValueVector matches;
  MatchIterator it(*search->regex, search->text);
  while (const std::optional<MatchSpan> match = it.next()) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    Guarded<Value> made = alloc_string(vm.heap, match->in(search->text));
    if (!made) return std::unexpected(to_vm_error(made.error()));
    matches.push_back_mut(*made);
  }
  return alloc_seq_object(vm.heap, std::move(matches), false);
}

NativeResult builtin_replace(Vm& vm, const Value* args, std::size_t argc) {
  return replace_matches(vm, args, true, "replace pattern must be string or regex");
}

NativeResult builtin_replace_first(Vm& vm, const Value* args, std::size_t argc) {
  return replace_matches(vm, args, false, "replace-first pattern must be string or regex");
}

} // namespace quorvex
