// The programs of the evaluation fuzzer's seed corpus, run through the whole engine. Under the
// sanitizers and under collection at every allocation this shows that realistic programs neither
// touch freed objects nor depend on when the collector runs: a program answers the same on two
// fresh machines and on one machine shared with all the others, and the machine is left with
// empty stacks after each.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace {

using namespace quorvex;

struct Program {
  std::string name;
  std::string text;
};

std::vector<Program> load_corpus() {
  std::vector<Program> out;
  for (const auto& entry : std::filesystem::directory_iterator(QV_CORPUS_DIR)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    out.push_back({entry.path().filename().string(), buf.str()});
  }
  std::sort(out.begin(), out.end(), [](const Program& a, const Program& b) { return a.name < b.name; });
  return out;
}

// The outcome as text: "ok: " and the readable value, or "error: " and the error's display.
std::string run(Vm& vm, const std::string& text) {
  auto r = vm_eval(vm, text);
  EXPECT_TRUE(vm.stack.empty());
  EXPECT_TRUE(vm.frames.empty());
  EXPECT_TRUE(vm.handlers.empty());
  EXPECT_EQ(vm.heap.native_depth, 0u);
  if (!r) return "error: " + to_string(r.error());
  const PrintEnv env{vm.heap, vm.interner, vm.types};
  auto readable = print_readable(env, *r);
  EXPECT_TRUE(readable.has_value());
  auto display = display_value(env, *r);
  EXPECT_TRUE(display.has_value());
  return "ok: " + readable.value_or("<fault>");
}

TEST(Corpus, HasTheSeedPrograms) {
  EXPECT_GE(load_corpus().size(), 12u);
}

TEST(Corpus, EachProgramAnswersAlikeOnFreshMachines) {
  for (const Program& p : load_corpus()) {
    SCOPED_TRACE(p.name);
    auto first = vm_new_bare();
    auto second = vm_new_bare();
    const std::string a = run(*first, p.text);
    const std::string b = run(*second, p.text);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.find("internal"), std::string::npos) << a;
  }
}

TEST(Corpus, ProgramsShareOneMachineAsInASession) {
  const std::vector<Program> corpus = load_corpus();
  std::map<std::string, std::string> alone;
  for (const Program& p : corpus) {
    auto vm = vm_new_bare();
    alone[p.name] = run(*vm, p.text);
  }
  // Run twice over, so that the second round meets the definitions of the first.
  auto shared = vm_new_bare();
  for (int round = 0; round < 2; ++round) {
    for (const Program& p : corpus) {
      SCOPED_TRACE(p.name);
      const std::string outcome = run(*shared, p.text);
      // Programs use their own names, so sharing a machine does not change their answers.
      EXPECT_EQ(outcome, alone[p.name]);
    }
  }
}

} // namespace
