// Strings and format: the builtins that build text from display forms and take text apart.
//
// Every answer is a new string object, never an argument. Lengths and indices count characters
// (Unicode scalar values); prefix and suffix tests compare bytes, which for UTF-8 is the same.
// Texts are copied out of the heap before anything is allocated: an allocation may grow the slot
// table the argument's text lives in.
#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <climits>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "util/utf8.hpp"
#include "value/printer.hpp"
#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

PrintEnv print_env(const Vm& vm) {
  return PrintEnv{vm.heap, vm.interner, vm.types};
}

NativeResult string_result(Vm& vm, std::string&& text) {
  return lift_fault(alloc_string_owned(vm.heap, std::move(text)));
}

// Appends a display form, refusing to go on once the text is longer than any string may be: a
// few arguments repeated many times would otherwise build an arbitrarily large one.
std::optional<VmError> append_display_bounded(const PrintEnv& env, const Value& v,
                                              std::string& out) {
  if (Guarded<void> done = append_display(env, v, out); !done) return to_vm_error(done.error());
  if (out.size() > SmallString::kMaxSize) return to_vm_error(ValueFault::StringTooLong);
  return std::nullopt;
}

// The Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x9 && c <= 0xD) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Trimming decodes only the white space it removes, but a text may be nothing else: every so
// many characters the walk asks whether to stop.
constexpr std::size_t kTrimPollEvery = std::size_t{1} << 16;

std::optional<VmError> trim_step(Vm& vm, std::size_t& steps) {
  if (++steps % kTrimPollEvery != 0) return std::nullopt;
  vm.interrupt_countdown = 1;
  return count_native_step(vm);
}

// Byte offset of the first character that is not white space (text.size() when there is none).
std::expected<std::size_t, VmError> skip_leading_space(Vm& vm, std::string_view text) {
  std::size_t steps = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const Utf8Decoded d = utf8_decode(text, i);
    if (!is_white_space(d.scalar)) break;
    i += d.length;
    if (auto stop = trim_step(vm, steps)) return std::unexpected(std::move(*stop));
  }
  return i;
}

// Byte offset just after the last character that is not white space, at or after `from`: the
// text is read backwards from its end, so only the trailing white space is decoded.
std::expected<std::size_t, VmError> end_of_content(Vm& vm, std::string_view text,
                                                   std::size_t from) {
  std::size_t steps = 0;
  std::size_t end = text.size();
  while (end > from) {
    std::size_t lead = end - 1;
    while (lead > from && end - lead < 4 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80)
      --lead;
    // A byte that does not end a well-formed character stands for U+FFFD, which is not space.
    const Utf8Decoded d = utf8_decode(text, lead);
    if (d.length != end - lead || !is_white_space(d.scalar)) break;
    end = lead;
    if (auto stop = trim_step(vm, steps)) return std::unexpected(std::move(*stop));
  }
  return end;
}

enum class Trim : std::uint8_t { Both, Left, Right };

NativeResult trim_text(Vm& vm, const Value* args, Trim side) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  const std::string_view view = *text;
  std::size_t start = 0;
  if (side != Trim::Right) {
    auto skipped = skip_leading_space(vm, view);
    if (!skipped) return std::unexpected(std::move(skipped.error()));
    start = *skipped;
  }
  std::size_t end = view.size();
  if (side != Trim::Left) {
    auto content = end_of_content(vm, view, start);
    if (!content) return std::unexpected(std::move(content.error()));
    end = *content;
  }
  return lift_fault(alloc_string(vm.heap, view.substr(start, end - start)));
}

// Full Unicode case mapping in the root locale, so that neither the process's locale nor its
// language rules (Turkish dotted i) change the answer. ICU counts lengths in 32-bit integers;
// a result that does not fit is as long as no string may be.
using CaseMapFn = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);

// A long text is mapped a piece at a time so that an interrupt is seen between pieces.
constexpr std::size_t kCasePiece = std::size_t{1} << 18;

// Whether a piece may end before byte i. The one mapping of the root locale that looks at its
// neighbours, a final sigma, looks past case-ignorable characters only; two ASCII characters that
// are not case-ignorable stop that look on both sides, so the cut changes nothing.
bool is_case_cut(std::string_view text, std::size_t i) {
  auto plain = [](unsigned char c) {
    return c < 0x80 && c != '\'' && c != '.' && c != ':' && c != '^' && c != '`';
  };
  return plain(static_cast<unsigned char>(text[i - 1])) &&
         plain(static_cast<unsigned char>(text[i]));
}

NativeResult map_case(Vm& vm, const Value* args, CaseMapFn fn) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  if (text->size() > static_cast<std::size_t>(INT32_MAX)) {
    return std::unexpected(to_vm_error(ValueFault::StringTooLong));
  }
  static const UCaseMap* const root = [] {
    UErrorCode status = U_ZERO_ERROR;
    return static_cast<const UCaseMap*>(ucasemap_open("", 0, &status));
  }();
  if (root == nullptr) return std::unexpected(VmError::value_error("case mapping is unavailable"));

  const std::string_view all = *text;
  std::string out;
  out.reserve(all.size());
  std::size_t from = 0;
  while (from < all.size()) {
    std::size_t to = all.size();
    if (to - from > kCasePiece) {
      to = from + kCasePiece;
      while (to < all.size() && !is_case_cut(all, to))
        ++to;
    }
    const std::string_view piece = all.substr(from, to - from);
    const auto length = static_cast<int32_t>(piece.size());
    const std::size_t at = out.size();
    // Most mappings keep the length; the first call reports the exact size when they do not.
    out.resize(at + piece.size());
    UErrorCode status = U_ZERO_ERROR;
    int32_t needed = fn(root, out.data() + at, length, piece.data(), length, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && needed > 0) {
      if (at + static_cast<std::size_t>(needed) > SmallString::kMaxSize) {
        return std::unexpected(to_vm_error(ValueFault::StringTooLong));
      }
      out.resize(at + static_cast<std::size_t>(needed));
      status = U_ZERO_ERROR;
      needed = fn(root, out.data() + at, needed, piece.data(), length, &status);
    }
    if (status == U_INDEX_OUTOFBOUNDS_ERROR || status == U_BUFFER_OVERFLOW_ERROR) {
      return std::unexpected(to_vm_error(ValueFault::StringTooLong));
    }
    if (U_FAILURE(status)) return std::unexpected(VmError::value_error(u_errorName(status)));
    out.resize(at + static_cast<std::size_t>(needed));
    if (out.size() > SmallString::kMaxSize) {
      return std::unexpected(to_vm_error(ValueFault::StringTooLong));
    }
    from = to;
    if (from < all.size()) {
      // A piece is far more work than a step: every piece asks.
      vm.interrupt_countdown = 1;
      if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    }
  }
  return string_result(vm, std::move(out));
}

enum class Affix : std::uint8_t { Prefix, Suffix };

NativeResult test_affix(Vm& vm, const Value* args, Affix affix_kind) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  auto affix = expect_string(vm, args[1]);
  if (!affix) return std::unexpected(std::move(affix.error()));
  const std::string_view view = *text;
  return Value::from_bool(affix_kind == Affix::Prefix ? view.starts_with(*affix)
                                                      : view.ends_with(*affix));
}

} // namespace

NativeResult builtin_str(Vm& vm, const Value* args, std::size_t argc) {
  std::string out;
  const PrintEnv env = print_env(vm);
  for (std::size_t i = 0; i < argc; ++i) {
    if (auto failed = append_display_bounded(env, args[i], out)) {
      return std::unexpected(std::move(*failed));
    }
  }
  return string_result(vm, std::move(out));
}

NativeResult builtin_pr_str(Vm& vm, const Value* args, std::size_t argc) {
  Guarded<std::string> text = print_readable(print_env(vm), args[0]);
  if (!text) return std::unexpected(to_vm_error(text.error()));
  return string_result(vm, std::move(*text));
}

// %s, %d and %f all insert the next argument's display form; the letter only marks the place.
NativeResult builtin_format(Vm& vm, const Value* args, std::size_t argc) {
  auto template_text = expect_string(vm, args[0]);
  if (!template_text) return std::unexpected(std::move(template_text.error()));
  const std::string_view t = *template_text;
  const PrintEnv env = print_env(vm);
  std::string out;
  out.reserve(t.size());
  std::size_t next_arg = 1;
  std::size_t i = 0;
  while (i < t.size()) {
    const std::size_t percent = t.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(t.substr(i));
      break;
    }
    out.append(t.substr(i, percent - i));
    if (percent + 1 == t.size()) {
      out += '%';
      break;
    }
    const char directive = t[percent + 1];
    if (directive == 's' || directive == 'd' || directive == 'f') {
      if (next_arg < argc) {
        if (auto failed = append_display_bounded(env, args[next_arg], out)) {
          return std::unexpected(std::move(*failed));
        }
        ++next_arg;
      }
      i = percent + 2;
    } else if (directive == '%') {
      out += '%';
      i = percent + 2;
    } else {
      // Copied as written, with whatever character follows (a lead byte's continuation bytes
      // follow on the next round).
      out += '%';
      i = percent + 1;
    }
  }
  return string_result(vm, std::move(out));
}

NativeResult builtin_subs(Vm& vm, const Value* args, std::size_t argc) {
  const std::optional<std::string_view> checked = string_view_of(vm.heap, args[0]);
  if (!checked) return type_error("subs requires a string");
  if (!args[1].is_int()) return type_error("start must be integer");
  if (args[1].as.integer < 0) return type_error("start must be non-negative");
  std::optional<std::int64_t> end_index;
  if (argc >= 3) {
    if (!args[2].is_int()) return type_error("end must be integer");
    if (args[2].as.integer < 0) return type_error("end must be non-negative");
    end_index = args[2].as.integer;
  }
  const std::string text(*checked);
  const std::size_t length = utf8_count_scalars(text);
  const std::size_t start =
      std::min(static_cast<std::uint64_t>(args[1].as.integer), static_cast<std::uint64_t>(length));
  const std::size_t end = end_index ? std::min(static_cast<std::uint64_t>(*end_index),
                                               static_cast<std::uint64_t>(length))
                                    : length;
  if (start >= end) return string_result(vm, std::string());
  const std::size_t from = utf8_offset_of_scalar(text, start);
  const std::size_t to = utf8_offset_of_scalar(text, end);
  return lift_fault(alloc_string(vm.heap, std::string_view(text).substr(from, to - from)));
}

NativeResult builtin_string_length(Vm& vm, const Value* args, std::size_t argc) {
  const std::optional<std::string_view> text = string_view_of(vm.heap, args[0]);
  if (!text) return type_error("string-length requires a string");
  return Value::from_int(static_cast<std::int64_t>(utf8_count_scalars(*text)));
}

// Pieces between non-overlapping occurrences of the separator, empty pieces kept. An empty
// separator occurs at every character boundary, both ends included.
NativeResult builtin_split(Vm& vm, const Value* args, std::size_t argc) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  auto sep = expect_string(vm, args[1]);
  if (!sep) return std::unexpected(std::move(sep.error()));
  const std::string_view s = *text;
  // The new strings are held only here until the vector holds them.
  NativeCallScope no_collection(vm.heap);
  ValueVector pieces;
  // A long text splits into millions of pieces: the walk is interruptible like a builtin's loop.
  auto push = [&](std::string_view piece) -> std::optional<VmError> {
    if (auto stop = count_native_step(vm)) return stop;
    Guarded<Value> made = alloc_string(vm.heap, piece);
    if (!made) return to_vm_error(made.error());
    pieces.push_back_mut(*made);
    return std::nullopt;
  };
  if (sep->empty()) {
    if (auto failed = push({})) return std::unexpected(std::move(*failed));
    for (std::size_t i = 0; i < s.size();) {
      const std::size_t length = utf8_decode(s, i).length;
      if (auto failed = push(s.substr(i, length))) return std::unexpected(std::move(*failed));
      i += length;
    }
    if (auto failed = push({})) return std::unexpected(std::move(*failed));
  } else {
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = s.find(*sep, from);
      const std::size_t end = at == std::string_view::npos ? s.size() : at;
      if (auto failed = push(s.substr(from, end - from))) {
        return std::unexpected(std::move(*failed));
      }
      if (at == std::string_view::npos) break;
      from = at + sep->size();
    }
  }
  return alloc_seq_object(vm.heap, std::move(pieces), true);
}

NativeResult builtin_join(Vm& vm, const Value* args, std::size_t argc) {
  auto sep = expect_string(vm, args[0]);
  if (!sep) return std::unexpected(std::move(sep.error()));
  if (args[1].is_nil()) return string_result(vm, std::string());
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[1]);
  if (seq == nullptr) return type_error("join requires a sequence");
  const ValueVector items = seq->items;
  const PrintEnv env = print_env(vm);
  std::string out;
  bool first = true;
  for (const Value& item : items) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    if (!first) out.append(*sep);
    first = false;
    if (auto failed = append_display_bounded(env, item, out)) {
      return std::unexpected(std::move(*failed));
    }
  }
  return string_result(vm, std::move(out));
}

NativeResult builtin_trim(Vm& vm, const Value* args, std::size_t argc) {
  return trim_text(vm, args, Trim::Both);
}

NativeResult builtin_triml(Vm& vm, const Value* args, std::size_t argc) {
  return trim_text(vm, args, Trim::Left);
}

NativeResult builtin_trimr(Vm& vm, const Value* args, std::size_t argc) {
  return trim_text(vm, args, Trim::Right);
}

NativeResult builtin_upper_case(Vm& vm, const Value* args, std::size_t argc) {
  return map_case(vm, args, ucasemap_utf8ToUpper);
}

NativeResult builtin_lower_case(Vm& vm, const Value* args, std::size_t argc) {
  return map_case(vm, args, ucasemap_utf8ToLower);
}

NativeResult builtin_starts_with(Vm& vm, const Value* args, std::size_t argc) {
  return test_affix(vm, args, Affix::Prefix);
}

NativeResult builtin_ends_with(Vm& vm, const Value* args, std::size_t argc) {
  return test_affix(vm, args, Affix::Suffix);
}

} // namespace quorvex
