// The language conformance programs (tests/conformance): each program runs on a fresh machine and
// its transcript - what it printed, then its value or its error - must equal the expected file
// beside it. Programs listed in pending.txt need features that are not built yet: they are
// skipped while they fail, and fail the suite as soon as they pass, so that the list only
// ever shrinks. README.md in that folder describes the format.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "util/stdout_writer.hpp"
#include "value/printer.hpp"
#include "value/strings.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

const fs::path SUITE_DIR = QV_CONFORMANCE_DIR;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

// A program's name: its path below the suite folder without the extension ("strings/split").
std::string program_name(const fs::path& program) {
  return fs::relative(program, SUITE_DIR).replace_extension().generic_string();
}

std::vector<std::string> program_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(SUITE_DIR)) {
    if (entry.is_regular_file() && entry.path().extension() == ".qv") {
      names.push_back(program_name(entry.path()));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct PendingEntry {
  std::string name;
  int line;
};

// pending.txt: one program name per line; '#' starts a comment, blank lines are ignored.
std::vector<PendingEntry> pending_entries() {
  std::vector<PendingEntry> pending;
  std::istringstream lines(read_file(SUITE_DIR / "pending.txt"));
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const auto last = line.find_last_not_of(" \t\r");
    pending.push_back({line.substr(first, last - first + 1), number});
  }
  return pending;
}

bool is_pending(const std::string& name) {
  const std::vector<PendingEntry> pending = pending_entries();
  return std::any_of(pending.begin(), pending.end(),
                     [&](const PendingEntry& e) { return e.name == name; });
}

// The `console` effect as the default host handler answers it: a string's text or the readable
// form of anything else, for the first argument, through the same writer as the printing builtins,
// so both land in one transcript.
class ConsoleToStdout final : public HostHandler {
public:
  std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur operation,
                                                std::vector<Value> args) override {
    const std::string_view op = vm.interner.resolve(operation);
    if (op != "print" && op != "println") return HandlerOutcome::resume(Value::nil());
    std::string text;
    if (!args.empty()) {
      if (std::optional<std::string_view> raw = string_view_of(vm.heap, args[0])) {
        text = *raw;
      } else if (Guarded<void> ok =
                     append_readable(PrintEnv{vm.heap, vm.interner, vm.types}, args[0], text);
                 !ok) {
        return std::unexpected(to_vm_error(ok.error()));
      }
    }
    if (op == "println") text += '\n';
    stdout_write(text);
    return HandlerOutcome::resume(Value::nil());
  }
};

// What the program printed, a line feed if that did not end one, then "=> " and the readable
// value or "error: " and the error's display text, and a final line feed.
// Programs below prelude/ run on a machine with the prelude, the others on a bare one.
std::string transcript_of(const std::string& name, const std::string& source) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  if (name.starts_with("prelude/")) {
    std::expected<std::unique_ptr<Vm>, EngineError> with_prelude = vm_with_prelude();
    if (!with_prelude)
      return "error: the prelude failed to load: " + to_string(with_prelude.error()) + "\n";
    vm = std::move(*with_prelude);
  }
  EXPECT_TRUE(register_host_handler(*vm, "console", std::make_shared<ConsoleToStdout>()));
  testing::internal::CaptureStdout();
  const std::expected<Value, EngineError> result = vm_eval(*vm, source);
  stdout_flush();
  std::string out = testing::internal::GetCapturedStdout();
  if (!out.empty() && out.back() != '\n') out += '\n';
  if (result) {
    Guarded<std::string> readable =
        print_readable(PrintEnv{vm->heap, vm->interner, vm->types}, *result);
    out += readable ? "=> " + *readable : "unprintable result";
  } else {
    out += "error: " + to_string(result.error());
  }
  // Whatever the outcome, the machine is back at rest.
  EXPECT_TRUE(vm->stack.empty());
  EXPECT_TRUE(vm->frames.empty());
  EXPECT_TRUE(vm->handlers.empty());
  EXPECT_EQ(vm->heap.native_depth, 0u);
  return out + '\n';
}

class Conformance : public testing::TestWithParam<std::string> {};

TEST_P(Conformance, TranscriptMatchesTheExpectedFile) {
  const std::string& name = GetParam();
  const fs::path program = SUITE_DIR / (name + ".qv");
  const fs::path expected_file = SUITE_DIR / (name + ".out");
  ASSERT_TRUE(fs::exists(expected_file)) << "missing " << expected_file;
  const std::string expected = read_file(expected_file);
  const std::string actual = transcript_of(name, read_file(program));
  if (is_pending(name)) {
    EXPECT_NE(actual, expected) << name
                                << " passes now: remove it from tests/conformance/pending.txt";
    if (actual != expected) GTEST_SKIP() << "pending: " << name;
  } else if (actual != expected) {
    // Verbatim, so that a new program's transcript can be read off and checked by hand.
    ADD_FAILURE() << name << "\n--- expected\n" << expected << "--- actual\n" << actual;
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, Conformance, testing::ValuesIn(program_names()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string id = info.param;
                           for (char& c : id) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return id;
                         });

// A stale entry would keep a name on the list after its program was renamed or removed.
TEST(ConformancePendingList, NamesOnlyExistingProgramsOnce) {
  const std::vector<std::string> names = program_names();
  std::map<std::string, int> first_line;
  for (const PendingEntry& e : pending_entries()) {
    EXPECT_TRUE(std::binary_search(names.begin(), names.end(), e.name))
        << "pending.txt line " << e.line << ": no program " << e.name;
    const auto [at, fresh] = first_line.emplace(e.name, e.line);
    EXPECT_TRUE(fresh) << "pending.txt line " << e.line << ": " << e.name
                       << " is already listed on line " << at->second;
  }
}

} // namespace
} // namespace quorvex
