// Any pattern either compiles or is refused with a message; a compiled pattern searches,
// iterates and replaces over any text without a crash, and its matches lie on character
// boundaries in order. The input is split at the first NUL: pattern, then subject text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "regex/regex.hpp"
#include "util/utf8.hpp"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool on_boundary(std::string_view text, std::size_t i) {
  return i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t nul = input.find('\0');
  std::string_view pattern = input.substr(0, nul);
  std::string subject(nul == std::string_view::npos ? std::string_view("a\u00e9b 12")
                                                    : input.substr(nul + 1));
  // Strings of the language are valid UTF-8.
  if (!quorvex::utf8_is_valid(subject) || !quorvex::utf8_is_valid(pattern)) return 0;

  auto re = quorvex::Regex::compile(pattern);
  if (!re) {
    check(!re.error().empty());
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
  return 0;
}
