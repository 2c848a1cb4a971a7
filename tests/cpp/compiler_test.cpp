// The compiler against a small host of its own: golden code shapes, errors with their locations,
// capture resolution, the constant table, the operand limits and the adoption helpers. Running
// the code is the machine's tests' business.
#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "builtins/builtin_info.hpp"
#include "reader/reader.hpp"
#include "util/interner.hpp"
#include "value/hash_cons.hpp"
#include "value/strings.hpp"
#include "vm/compiler/adoption.hpp"
#include "vm/compiler/compiler.hpp"
#include "vm/compiler/disassemble.hpp"
#include "vm/compiler/macro_values.hpp"

namespace quorvex {
namespace {

// The globals of a fresh machine as far as the compiler sees them: every builtin row bound to its
// own native function, in table order.
class TestHost final : public CompilerHost {
public:
  TestHost() {
    for (const BuiltinInfo& row : builtin_infos()) {
      define(row.name, Value::native_fn(static_cast<std::uint16_t>(globals.size())));
    }
  }

  Interner& interner() override { return names; }
  std::optional<std::uint32_t> global_index(Spur name) const override {
    auto it = index.find(name);
    if (it == index.end()) return std::nullopt;
    return it->second;
  }
  Value global_value(std::uint32_t i) const override { return globals.at(i); }
  // Freed positions first (lowest first), then new ones at the end, as the machine does.
  std::vector<std::uint32_t> next_prototype_indices(std::size_t count) const override {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < free_positions.size() && out.size() < count; ++i)
      out.push_back(free_positions[i]);
    for (std::uint32_t next = prototypes; out.size() < count; ++next)
      out.push_back(next);
    return out;
  }
  TypeRegistry& types() override { return registry; }
  HeapKey insert_machine_object(HeapObject object) override {
    return heap_insert(heap, std::move(object));
  }
  Heap& machine_heap() override { return heap; }
  std::uint32_t install_prototype(Prototype proto) override {
    installed.push_back(std::move(proto));
    if (!free_positions.empty()) {
      const std::uint32_t index = free_positions.front();
      free_positions.erase(free_positions.begin());
      return index;
    }
    return prototypes++;
  }
  void keep_macro(HeapKey closure) override { kept.push_back(closure); }
  // Runs no code: every expander answers `expansion`, and the arguments are recorded.
  NativeResult call_macro(Value expander, std::span<const Value> args) override {
    calls.emplace_back(args.begin(), args.end());
    return expansion;
  }

  void define(std::string_view name, Value v) {
    Spur s = names.get_or_intern(name);
    auto [it, inserted] = index.try_emplace(s, static_cast<std::uint32_t>(globals.size()));
    if (inserted) {
      globals.push_back(v);
    } else {
      globals[it->second] = v;
    }
  }

  Interner names;
  std::unordered_map<Spur, std::uint32_t> index;
  std::vector<Value> globals;
  std::uint32_t prototypes = 0;
  // Positions below `prototypes` that a collection freed, ascending.
  std::vector<std::uint32_t> free_positions;
  TypeRegistry registry;
  Heap heap;
  std::vector<Prototype> installed;
  std::vector<HeapKey> kept;
  std::vector<std::vector<Value>> calls;
  Value expansion = Value::nil();
};

struct Compiled {
  CompilerTables tables;
  std::uint32_t top = 0;

  const Prototype& proto(std::size_t i) const { return tables.prototypes.at(i); }
  const Prototype& toplevel() const { return tables.prototypes.at(top); }
};

Form read_one(std::string_view source) {
  auto forms = read_all(source);
  if (!forms || forms->size() != 1) {
    ADD_FAILURE() << "cannot read exactly one form from: " << source;
    return Form::nil();
  }
  return (*forms)[0];
}

std::expected<Compiled, CompileFailure> compile_form(TestHost& host, const Form& form) {
  Compiler compiler = new_compiler(host);
  auto top = compile_toplevel(compiler, form);
  if (!top) return std::unexpected(top.error());
  return Compiled{take_compiler_tables(std::move(compiler)), *top};
}

std::expected<Compiled, CompileFailure> compile_text(TestHost& host, std::string_view source) {
  return compile_form(host, read_one(source));
}

Compiled compile_ok(TestHost& host, std::string_view source) {
  auto result = compile_text(host, source);
  if (!result) {
    ADD_FAILURE() << source << " failed: " << format_compile_failure(result.error());
    return Compiled{};
  }
  return std::move(*result);
}

std::string code_of(const TestHost& host, const Prototype& proto) {
  return disassemble_code(proto, DisassemblyNames{&host.names});
}

std::string row(std::string_view name) {
  return std::to_string(*find_builtin_index(name));
}

// ---------------------------------------------------------------------------------------------
// Code shapes

struct ShapeCase {
  const char* source;
  std::string code; // of the top-level prototype
};

TEST(CompilerShapes, TopLevelCode) {
  const ShapeCase cases[] = {
      {"(+ 1 2 3)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nAdd\nLoadConst 2 ; 3\nAdd\nReturn\n"},
      {"(- 1 2 3)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nSub\nLoadConst 2 ; 3\nSub\nReturn\n"},
      {"(* 2 3)", "LoadConst 0 ; 2\nLoadConst 1 ; 3\nMul\nReturn\n"},
      {"(/ 6 3)", "LoadConst 0 ; 6\nLoadConst 1 ; 3\nDiv\nReturn\n"},
      {"(- 5)", "LoadConst 0 ; 5\nNeg\nReturn\n"},
      {"(-)", "CallBuiltin " + row("-") + " 0 ; -\nReturn\n"},
      {"(+ 1)", "LoadConst 0 ; 1\nCallBuiltin " + row("+") + " 1 ; +\nReturn\n"},
      {"(= 1 2)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nEq\nReturn\n"},
      {"(= 1 2 3)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nLoadConst 2 ; 3\nCallBuiltin " + row("=") +
                        " 3 ; =\nReturn\n"},
      {"(not= 1 2)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nNotEq\nReturn\n"},
      {"(< 1 2)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nLt\nReturn\n"},
      {"(>= 1 2)", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nGe\nReturn\n"},
      {"(not true)", "LoadConst 0 ; true\nNot\nReturn\n"},
      {"(rem 7 2)", "LoadConst 0 ; 7\nLoadConst 1 ; 2\nRem\nReturn\n"},
      // mod floors like the builtin: Mod is the builtin's call that divides integers in place;
      // quot likewise, where the name is the builtin's.
      {"(mod -7 2)", "LoadConst 0 ; -7\nLoadConst 1 ; 2\nMod " + row("mod") + " 2 ; mod\nReturn\n"},
      {"(quot -7 2)",
       "LoadConst 0 ; -7\nLoadConst 1 ; 2\nQuot " + row("quot") + " 2 ; quot\nReturn\n"},
      {"(quot 7)", "LoadConst 0 ; 7\nCallBuiltin " + row("quot") + " 1 ; quot\nReturn\n"},
      {"()", "MakeList 0\nReturn\n"},
      {"(())", "MakeList 0\nCall 0\nReturn\n"},
      {"[1 2]", "LoadConst 0 ; 1\nLoadConst 1 ; 2\nMakeVector 2\nReturn\n"},
      {"{:a 1}", "LoadConst 0 ; :a\nLoadConst 1 ; 1\nMakeMap 1\nReturn\n"},
      {"#{}", "MakeSet 0\nReturn\n"},
      {"(if true 1 2)", "LoadConst 0 ; true\nJumpIfFalse +2 -> 4\nLoadConst 1 ; 1\nJump +1 -> 5\n"
                        "LoadConst 2 ; 2\nReturn\n"},
      {"(if false 1)", "LoadConst 0 ; false\nJumpIfFalse +2 -> 4\nLoadConst 1 ; 1\nJump +1 -> 5\n"
                       "LoadConst 2 ; nil\nReturn\n"},
      {"(if nil 1 2 3)", "LoadConst 0 ; nil\nJumpIfFalse +2 -> 4\nLoadConst 1 ; 1\nJump +1 -> 5\n"
                         "LoadConst 2 ; 2\nReturn\n"},
      {"(do)", "LoadConst 0 ; nil\nReturn\n"},
      {"(do 1 2)", "LoadConst 0 ; 1\nPop\nLoadConst 1 ; 2\nReturn\n"},
      {"(and)", "LoadConst 0 ; true\nReturn\n"},
      {"(or)", "LoadConst 0 ; nil\nReturn\n"},
      {"(and 1 2)", "LoadConst 0 ; 1\nDup\nJumpIfFalse +2 -> 5\nPop\nLoadConst 1 ; 2\nReturn\n"},
      {"(or 1 2 3)",
       "LoadConst 0 ; 1\nDup\nJumpIfTrue +6 -> 9\nPop\nLoadConst 1 ; 2\nDup\nJumpIfTrue +2 -> 9\n"
       "Pop\nLoadConst 2 ; 3\nReturn\n"},
      {"(let [x 1 y x] y)",
       "LoadConst 0 ; 1\nSetLocal 0\nGetLocal 0\nSetLocal 1\nGetLocal 1\nReturn\n"},
      {"(let [_ 1] 2)", "LoadConst 0 ; 1\nPop\nLoadConst 1 ; 2\nReturn\n"},
      // An operator is inlined even when a local has its name; a builtin is not.
      {"(let [+ 5] (+ 1 2))",
       "LoadConst 0 ; 5\nSetLocal 0\nLoadConst 1 ; 1\nLoadConst 2 ; 2\nAdd\nReturn\n"},
      {"(let [list 5] (list 1))",
       "LoadConst 0 ; 5\nSetLocal 0\nLoadConst 1 ; 1\nGetLocal 0\nCall 1\nReturn\n"},
      {"(list 1 2)",
       "LoadConst 0 ; 1\nLoadConst 1 ; 2\nCallBuiltin " + row("list") + " 2 ; list\nReturn\n"},
      {"(def x 1)", "LoadConst 0 ; 1\nDup\nDefineGlobal 1 ; x\nReturn\n"},
      {"(quote a)", "LoadConst 0 ; a\nReturn\n"},
      {"(loop [i 0] (if (< i 3) (recur (+ i 1)) i))",
       "LoadConst 0 ; 0\nSetLocal 0\nGetLocal 0\nLoadConst 1 ; 3\nLt\nJumpIfFalse +7 -> 13\n"
       "GetLocal 0\nLoadConst 2 ; 1\nAdd\nSetLocal 0\nJump -9 -> 2\nLoadConst 3 ; nil\n"
       "Jump +1 -> 14\nGetLocal 0\nReturn\n"},
      {"(assert false)", "LoadConst 0 ; false\nJumpIfTrue +4 -> 6\nLoadConst 1 ; #<object 1:1>\n"
                         "GetGlobalIndexed " +
                             row("assert-failed") +
                             "\nCall 1\nJump +1 -> 7\nLoadConst 2 ; nil\nReturn\n"},
      {"(console/print 1)", "LoadConst 0 ; 1\nPerformOp 1 2 1 ; console/print\nReturn\n"},
      // A qualified symbol as a value reads the name alone.
      {"x/first", "GetGlobalIndexed " + row("first") + "\nReturn\n"},
      // foo/if is the special form if.
      {"(foo/if 1 2 3)",
       "LoadConst 0 ; 1\nJumpIfFalse +2 -> 4\nLoadConst 1 ; 2\nJump +1 -> 5\nLoadConst 2 ; 3\n"
       "Return\n"},
      {"4/2", "LoadConst 0 ; 2\nReturn\n"},
      {"0/5", "LoadConst 0 ; 0\nReturn\n"},
      {"-6/4", "LoadConst 0 ; -3/2\nReturn\n"},
  };
  for (const ShapeCase& c : cases) {
    TestHost host;
    Compiled compiled = compile_ok(host, c.source);
    if (compiled.tables.prototypes.empty()) continue;
    EXPECT_EQ(code_of(host, compiled.toplevel()), c.code) << c.source;
  }
}

// A `match` whose patterns are names, literals and variant patterns is tested inline: a closure
// is made only when no clause matched, and then the clause function fails as the general form's
// call would. A scrutinee that is not a local is computed after the clauses and jumped to.
TEST(CompilerShapes, InlineMatch) {
  struct Case {
    const char* source;
    std::string code;
    std::uint16_t locals;
  };
  const Case cases[] = {
      {"(let [x 1] (match x 1 :one _ :other))",
       "LoadConst 0 ; 1\nSetLocal 0\nGetLocal 0\nLoadConst 0 ; 1\nEq\nJumpIfFalse +2 -> 8\n"
       "LoadConst 1 ; :one\nJump +1 -> 9\nLoadConst 2 ; :other\nReturn\n",
       1},
      {"(let [o nil] (match o (Some (Some x)) x (None) 0))",
       "LoadConst 0 ; nil\nSetLocal 0\n"
       "GetLocal 0\nMatchVariant 0 1\nJumpIfFalse +11 -> 16\nGetLocal 0\nVariantField 0\n"
       "SetLocal 2\nGetLocal 2\nMatchVariant 0 1\nJumpIfFalse +5 -> 16\nGetLocal 2\n"
       "VariantField 0\nSetLocal 1\nGetLocal 1\nJump +8 -> 24\n"
       "GetLocal 0\nMatchVariant 0 0\nJumpIfFalse +2 -> 21\nLoadConst 1 ; 0\nJump +3 -> 24\n"
       "GetLocal 0\nMakeTemplateClosure 2 0 ; #<object 1:1>\nTailCall 1\nReturn\n",
       3},
      {"(match (f) n n)",
       "Jump +4 -> 5\nGetLocal 0\nSetLocal 1\nGetLocal 1\nJump +4 -> 9\n"
       "GetGlobal 0 ; f\nCall 0\nSetLocal 0\nJump -8 -> 1\nReturn\n",
       2},
      // Vector and map patterns keep the clause function.
      {"(match [1] [a] a)",
       "LoadConst 0 ; 1\nMakeVector 1\nMakeTemplateClosure 1 0 ; #<object 1:1>\nTailCall 1\n"
       "Return\n",
       0},
  };
  for (const Case& c : cases) {
    TestHost host;
    compile_ok(host, "(defdata Opt (None) (Some [v]))");
    Compiled compiled = compile_ok(host, c.source);
    if (compiled.tables.prototypes.empty()) continue;
    EXPECT_EQ(code_of(host, compiled.toplevel()), c.code) << c.source;
    EXPECT_EQ(compiled.toplevel().local_count, c.locals) << c.source;
  }
  // The slots of a clause are free again once it ends: a, then x and y; z reuses x's slot.
  TestHost host;
  Compiled compiled = compile_ok(
      host, "(fn [a] [(match a 1 (let [x 1 y 2] y) _ 0) (match a 2 (let [z 3] z) _ 0)])");
  EXPECT_EQ(compiled.proto(0).local_count, 3u);
  EXPECT_NE(code_of(host, compiled.proto(0)).find("LoadConst 3 ; 3\nSetLocal 1\n"),
            std::string::npos);
}

// A handler clause ends with Resume when its last form calls the continuation, and runs in
// place only when nothing else names the continuation; one that never names it needs none.
TEST(CompilerShapes, HandlerClausesThatResumeInTail) {
  struct Case {
    const char* clause;
    bool resume_word;
    bool in_place;
    bool ignores_continuation;
  };
  const Case cases[] = {
      {"(op [x k] (k (+ x 1)))", true, true, false},
      {"(op [x k] (println x) (k x))", true, true, false},
      {"(op [[a b] k] (k (+ a b)))", true, true, false},
      {"(op [x k] (k (let [f (fn [y] (* y 2))] (f x))))", true, true, false},
      {"(op [x k] (+ 1 (k x)))", false, false, false},
      {"(op [x k] x)", false, false, true},
      {"(op [x k] (k x x))", false, false, false},
      {"(op [x k] (k (k x)))", true, false, false},
      {"(op [x k] (println k) (k x))", true, false, false},
      {"(op [x k] (k (fn [] k)))", true, false, false},
      {"(op [x k] (fn [] k))", false, false, false},
      // The last form names a local of the same name, not the continuation.
      {"(op [x k] (let [k inc] (k x)))", false, false, true},
      {"(op [[k] k] (k 1))", false, false, true},
      {"(op [k x] (k x))", false, false, false},
      {"(op [x [k]] x)", false, false, false},
  };
  for (const Case& c : cases) {
    TestHost host;
    const std::string source = std::string("(with-handler [E] :handle ") + c.clause + " nil)";
    Compiled compiled = compile_ok(host, source);
    std::size_t clauses = 0;
    for (std::size_t i = 0; i < compiled.tables.prototypes.size(); ++i) {
      const Prototype& p = compiled.proto(i);
      if (i == compiled.top || p.arity != 2) continue;
      ++clauses;
      const std::string code = code_of(host, p);
      EXPECT_EQ(code.ends_with("Resume\nReturn\n"), c.resume_word) << c.clause << "\n" << code;
      EXPECT_EQ(p.resumes_in_tail != 0, c.in_place) << c.clause;
      EXPECT_EQ(p.ignores_continuation != 0, c.ignores_continuation) << c.clause;
    }
    // Each clause is compiled once.
    EXPECT_EQ(clauses, 1u) << c.clause;
  }
}

// The dispatch map of clauses that capture nothing is made once per site: HandlerSite skips to
// the PushHandler once it holds the map. A clause that captures makes it a jump to the next word.
TEST(CompilerShapes, HandlerSitesKeepTheirDispatchMap) {
  TestHost host;
  Compiled kept = compile_ok(host, "(with-handler [E] :handle (op [x k] x) 1)");
  const std::string code = code_of(host, kept.toplevel());
  EXPECT_TRUE(code.starts_with("HandlerSite 0 4\nLoadConst 1 ; op\nMakeClosure ")) << code;
  EXPECT_NE(code.find("MakeMap 1\nHandlerSite 0 0\nPushHandler "), std::string::npos) << code;

  Compiled fresh = compile_ok(host, "(fn [y] (with-handler [E] :handle (op [x k] y) 1))");
  for (std::size_t i = 0; i < fresh.tables.prototypes.size(); ++i) {
    const std::string body = code_of(host, fresh.proto(i));
    EXPECT_EQ(body.find("HandlerSite"), std::string::npos) << body;
    if (fresh.proto(i).arity == 1) {
      EXPECT_TRUE(body.starts_with("Jump +0 -> 1\n")) << body;
    }
  }
}

// Handlers nested in handler clauses cost one compilation per level, not twice as many at each.
TEST(CompilerShapes, HandlersNestedInClausesCompileOnce) {
  std::string source = "1";
  for (int i = 0; i < 40; ++i)
    source = "(with-handler [E] :handle (op [x k] " + source + ") 0)";
  TestHost host;
  Compiled compiled = compile_ok(host, source);
  // One prototype per clause, and the top level.
  EXPECT_EQ(compiled.tables.prototypes.size(), 41u);
}

TEST(CompilerShapes, SpansPrecedeFailingWordsOnly) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(do (+ 1 2) (= 1 2) (f 1) undefined-name)");
  const Prototype& p = compiled.toplevel();
  std::vector<std::string> located;
  for (const SpanEntry& e : p.spans)
    located.push_back(kOpcodeNames[p.code[e.pc].op_byte()]);
  EXPECT_EQ(located, (std::vector<std::string>{"Add", "GetGlobal", "Call", "GetGlobal"}));
  // The Add's span is the whole (+ 1 2) form: line 0, column 4.
  EXPECT_EQ(p.spans[0].span.column, 4u);
  EXPECT_EQ(p.spans[0].span.line, 0u);
}

TEST(CompilerShapes, ClosureOrTemplate) {
  struct Case {
    const char* source;
    bool plain;
  };
  const Case cases[] = {
      {"(fn [])", true},
      {"(fn [x] x)", true},
      {"(fn f [x y] y)", true},
      {"(fn [& xs] xs)", false},
      {"(fn [_ y] y)", false},
      {"(fn [x :when x] x)", false},
      {"(fn ([x] x) ([x y] y))", false},
  };
  for (const Case& c : cases) {
    TestHost host;
    Compiled compiled = compile_ok(host, c.source);
    if (compiled.tables.prototypes.empty()) continue;
    const Prototype& top = compiled.toplevel();
    ASSERT_EQ(top.code.size(), 2u) << c.source;
    const Instruction make = top.code[0];
    if (c.plain) {
      EXPECT_EQ(make.op(), Opcode::MakeClosure) << c.source;
      EXPECT_EQ(make.ab(), 0u) << c.source;
    } else {
      ASSERT_EQ(make.op(), Opcode::MakeTemplateClosure) << c.source;
      const Value t = top.constants.at(make.ab());
      const ClosureTemplate* tmpl = heap_get_as<ClosureTemplate>(compiled.tables.staging_heap, t);
      ASSERT_NE(tmpl, nullptr) << c.source;
    }
    EXPECT_EQ(make.c(), 0u) << c.source;
  }
}

TEST(CompilerShapes, FunctionRecordOfATemplate) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(fn named ([a] a) ([a b :when (> a b)] b) ([a b & r] r))");
  const Prototype& top = compiled.toplevel();
  const ClosureTemplate* tmpl = heap_get_as<ClosureTemplate>(compiled.tables.staging_heap,
                                                             top.constants.at(top.code[0].ab()));
  ASSERT_NE(tmpl, nullptr);
  const auto clauses = tmpl->function.clauses();
  ASSERT_EQ(clauses.size(), 3u);
  // Bodies and guards registered clause by clause: body 0, body 1, guard 1, body 2; top last.
  EXPECT_EQ(clauses[0].body_prototype, 0u);
  EXPECT_EQ(clauses[0].has_guard, 0u);
  EXPECT_EQ(clauses[1].body_prototype, 1u);
  EXPECT_EQ(clauses[1].has_guard, 1u);
  EXPECT_EQ(clauses[1].guard_prototype, 2u);
  EXPECT_EQ(clauses[2].body_prototype, 3u);
  EXPECT_EQ(compiled.top, 4u);
  EXPECT_EQ(clauses[2].arity, 2u);
  EXPECT_EQ(clauses[2].is_variadic, 1u);
  ASSERT_EQ(clauses[2].patterns.size(), 3u);
  EXPECT_TRUE(clauses[2].patterns[2].is_bind_of(2));
  // Every prototype of the function carries its name; the guard reads a and b where the body has
  // them.
  const Spur named = *host.names.get("named");
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_EQ(compiled.proto(i).name, named);
  EXPECT_EQ(code_of(host, compiled.proto(2)), "GetLocal 0\nGetLocal 1\nGt\nReturn\n");
  EXPECT_EQ(compiled.proto(3).arity, 2u);
  EXPECT_EQ(compiled.proto(3).is_variadic, 1u);
  EXPECT_EQ(compiled.proto(3).local_count, 3u);
}

TEST(CompilerShapes, NestedFunctionsComeFirst) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(fn [] (fn [] 1))");
  // The inner function is finished (and registered) while the outer one compiles.
  EXPECT_EQ(code_of(host, compiled.proto(0)), "LoadConst 0 ; 1\nReturn\n");
  EXPECT_EQ(code_of(host, compiled.proto(1)), "MakeClosure 0 0\nReturn\n");
  EXPECT_EQ(code_of(host, compiled.toplevel()), "MakeClosure 1 0\nReturn\n");
}

TEST(CompilerShapes, DefnNamesItsFunctionAndRecordsTheDocstring) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(defn fact \"Int -> Int\nFactorial.\" [n] (fact n))");
  const Spur fact = *host.names.get("fact");
  EXPECT_EQ(compiled.proto(0).name, fact);
  // fact is not a global yet when the form compiles: the body reads it by name.
  EXPECT_EQ(code_of(host, compiled.proto(0)), "GetLocal 0\nGetGlobal 0 ; fact\nCall 1\nReturn\n");
  EXPECT_EQ(code_of(host, compiled.toplevel()),
            "MakeClosure 0 0\nDup\nDefineGlobal 0 ; fact\nReturn\n");
  ASSERT_TRUE(compiled.tables.docstring_table.contains(fact));
  const DocEntry& doc = compiled.tables.docstring_table.at(fact);
  EXPECT_EQ(doc.text, "Int -> Int\nFactorial.");
  EXPECT_EQ(doc.kind, DocKind::Defn);
  ASSERT_TRUE(doc.location.has_value());
  EXPECT_EQ(doc.location->column, 1u);
}

TEST(CompilerShapes, DefDocstringRules) {
  struct Case {
    const char* source;
    const char* value; // constant loaded as the value
    bool documented;
  };
  const Case cases[] = {
      {"(def x \"doc\")", "#<object 1:1>", false},
      {"(def x \"doc\" 1)", "1", true},
      {"(def x 1 2)", "1", false},
  };
  for (const Case& c : cases) {
    TestHost host;
    Compiled compiled = compile_ok(host, c.source);
    if (compiled.tables.prototypes.empty()) continue;
    const Prototype& top = compiled.toplevel();
    EXPECT_EQ(describe_constant(top.constants.at(top.code[0].ab()), {&host.names}), c.value)
        << c.source;
    EXPECT_EQ(compiled.tables.docstring_table.size(), c.documented ? 1u : 0u) << c.source;
  }
}

// ---------------------------------------------------------------------------------------------
// Calls of builtin names and reads of globals

TEST(CompilerGlobals, BuiltinCallsOnlyWhileTheGlobalHoldsTheBuiltin) {
  TestHost host;
  EXPECT_EQ(code_of(host, compile_ok(host, "(print 1)").toplevel()),
            "LoadConst 0 ; 1\nCallBuiltin " + row("print") + " 1 ; print\nReturn\n");
  // Rebound by an earlier form (here: a host function in its place): an ordinary call.
  host.define("print", Value::native_fn(200));
  EXPECT_EQ(code_of(host, compile_ok(host, "(print 1)").toplevel()),
            "LoadConst 0 ; 1\nGetGlobalIndexed " + row("print") + "\nCall 1\nReturn\n");
}

TEST(CompilerGlobals, DefinitionInTheSameFormTurnsCallsIntoGlobalCalls) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(do (print 0) (defn print [& a] nil) (print 1))");
  std::size_t builtin_calls = 0;
  std::size_t calls = 0;
  for (Instruction ins : compiled.toplevel().code) {
    builtin_calls += ins.op() == Opcode::CallBuiltin;
    calls += ins.op() == Opcode::Call;
  }
  EXPECT_EQ(builtin_calls, 1u); // (print 0), compiled before the definition
  EXPECT_EQ(calls, 1u);         // (print 1)
}

TEST(CompilerGlobals, LocalAndCapturedNamesAreNeverBuiltinCalls) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(fn [count] (fn [] (count 1)))");
  EXPECT_EQ(code_of(host, compiled.proto(0)), "LoadConst 0 ; 1\nGetUpvalue 0\nCall 1\nReturn\n");
}

TEST(CompilerGlobals, ReadsByIndexOnlyForGlobalsTheMachineHolds) {
  TestHost host;
  host.define("known", Value::from_int(1));
  const std::uint32_t known = host.index.at(*host.names.get("known"));
  Compiled compiled = compile_ok(host, "[known unknown (if false (def later 1)) later]");
  EXPECT_EQ(code_of(host, compiled.toplevel()),
            "GetGlobalIndexed " + std::to_string(known) +
                "\nGetGlobal 0 ; unknown\nLoadConst 1 ; false\nJumpIfFalse +4 -> 8\n"
                "LoadConst 2 ; 1\nDup\nDefineGlobal 3 ; later\nJump +1 -> 9\nLoadConst 4 ; nil\n"
                "GetGlobal 3 ; later\nMakeVector 4\nReturn\n");
}

TEST(CompilerGlobals, GlobalsPastSixteenBitsAreReadByName) {
  TestHost host;
  while (host.globals.size() <= 0x10000) {
    host.define("g" + std::to_string(host.globals.size()), Value::nil());
  }
  host.define("far", Value::from_int(7));
  ASSERT_GT(host.index.at(*host.names.get("far")), 0xFFFFu);
  EXPECT_EQ(code_of(host, compile_ok(host, "far").toplevel()), "GetGlobal 0 ; far\nReturn\n");
}

TEST(CompilerGlobals, VariantConstructorsFromTheRegistry) {
  TestHost host;
  const Spur some = host.names.get_or_intern("Some");
  const Spur none = host.names.get_or_intern("None");
  auto info = [&](Spur name, std::size_t fields) {
    return *make_variant_info(name, std::vector<Spur>(fields, host.names.get_or_intern("v")));
  };
  ASSERT_TRUE(host.registry.register_data_type(host.names.get_or_intern("Opt"),
                                               {info(none, 0), info(some, 1)}));
  ASSERT_TRUE(host.registry.register_data_type(host.names.get_or_intern("Opt2"), {info(some, 2)}));
  Compiler compiler = new_compiler(host);
  // A later declaration of a name wins.
  ASSERT_TRUE(compiler.variant_constructors.contains(some));
  EXPECT_EQ(compiler.variant_constructors.at(some).type_id, 1u);
  EXPECT_EQ(compiler.variant_constructors.at(some).field_count, 2u);
  EXPECT_EQ(compiler.variant_constructors.at(none).type_id, 0u);
  EXPECT_EQ(compiler.variant_constructors.at(none).variant_index, 0u);
  EXPECT_EQ(compiler.variant_constructors.at(none).field_count, 0u);
}

// The records the parameter compiler builds, for one parameter of each shape. Slots follow the
// order of declaration: a map pattern's `:as` name before its list names.
TEST(CompilerPatterns, RecordsOfParameterPatterns) {
  TestHost host;
  compile_ok(host, "(defdata Opt (None) (Some [v]))");
  Compiled compiled = compile_ok(
      host, "(fn [[a & r :as all] {:keys [k] :or {k 1} :as m} (Some x) 5 _ {y \"s\"}] a)");
  const Prototype& top = compiled.toplevel();
  const ClosureTemplate* tmpl = heap_get_as<ClosureTemplate>(compiled.tables.staging_heap,
                                                             top.constants.at(top.code[0].ab()));
  ASSERT_NE(tmpl, nullptr);
  ASSERT_EQ(tmpl->function.size(), 1u);
  const FunctionClause& clause = tmpl->function[0];
  const Prototype& body = compiled.proto(clause.body_prototype);
  EXPECT_EQ(body.local_count, 7u);
  const std::vector<Pattern>& p = clause.patterns;
  ASSERT_EQ(p.size(), 6u);

  ASSERT_EQ(p[0].kind, Pattern::Kind::Seq);
  ASSERT_EQ(p[0].elements.size(), 1u);
  EXPECT_TRUE(p[0].elements[0].is_bind_of(0));
  ASSERT_NE(p[0].rest, nullptr);
  EXPECT_TRUE(p[0].rest->is_bind_of(1));
  EXPECT_EQ(p[0].has_as, 1u);
  EXPECT_EQ(p[0].as_slot, 2u);

  ASSERT_EQ(p[1].kind, Pattern::Kind::Map);
  EXPECT_EQ(p[1].has_as, 1u);
  EXPECT_EQ(p[1].as_slot, 3u);
  ASSERT_EQ(p[1].entries.size(), 1u);
  EXPECT_TRUE(p[1].entries[0].pattern.is_bind_of(4));
  const Value key = body.constants.at(p[1].entries[0].key);
  EXPECT_EQ(key.tag, Tag::Keyword);
  EXPECT_EQ(key.as.spur, *host.names.get("k"));
  ASSERT_EQ(p[1].defaults.size(), 1u);
  EXPECT_EQ(p[1].defaults[0].key, p[1].entries[0].key);
  EXPECT_EQ(body.constants.at(p[1].defaults[0].value).as.integer, 1);

  ASSERT_EQ(p[2].kind, Pattern::Kind::Variant);
  EXPECT_EQ(p[2].type_id, 0u);
  EXPECT_EQ(p[2].variant_index, 1u);
  ASSERT_EQ(p[2].elements.size(), 1u);
  EXPECT_TRUE(p[2].elements[0].is_bind_of(5));

  ASSERT_EQ(p[3].kind, Pattern::Kind::Literal);
  EXPECT_EQ(body.constants.at(p[3].constant).as.integer, 5);
  EXPECT_EQ(p[4].kind, Pattern::Kind::Wildcard);

  // An explicit pair looks up its quoted key; its sub-pattern binds.
  ASSERT_EQ(p[5].kind, Pattern::Kind::Map);
  EXPECT_EQ(p[5].has_as, 0u);
  ASSERT_EQ(p[5].entries.size(), 1u);
  EXPECT_TRUE(p[5].entries[0].pattern.is_bind_of(6));
  EXPECT_TRUE(p[5].defaults.empty());
}

// The definitions `defdata` emits, in the order later global reads by name rely on.
TEST(CompilerPatterns, DefdataDefinesConstructorsThenPredicates) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(defdata T (A [x]) (B))");
  std::vector<std::string> defined;
  const Prototype& top = compiled.toplevel();
  for (const Instruction& ins : top.code) {
    if (ins.op() != Opcode::DefineGlobal) continue;
    defined.push_back(std::string(host.names.resolve(top.constants.at(ins.ab()).as.spur)));
  }
  EXPECT_EQ(defined, (std::vector<std::string>{"A", "B", "A?", "B?", "T?"}));
  ASSERT_EQ(host.registry.size(), 1u);
  const TypeInfo& type = host.registry.types()[0];
  ASSERT_EQ(type.variants.size(), 2u);
  EXPECT_FALSE(type.variants[0].singleton.has_value());
  ASSERT_TRUE(type.variants[1].singleton.has_value());
  // The shared instance of B carries the type's id and B's position.
  const Variant* b = heap_get_as<Variant>(host.heap, Value::object(*type.variants[1].singleton));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->tag.word, VariantTag::make(0, 1).word);
  // The constructor of A: its field into a variant of T/0.
  EXPECT_EQ(code_of(host, compiled.proto(0)), "GetLocal 0\nMakeVariant 0 0\nReturn\n");
}

TEST(CompilerPatterns, NestingIsBounded) {
  Form nested = Form::symbol("x");
  for (int i = 0; i < 200000; ++i) {
    nested = Form::vector(FormVec().push_back(std::move(nested)));
  }
  const std::string too_deep = "invalid syntax: pattern nested too deeply";
  TestHost host;
  auto let = compile_form(
      host,
      Form::list(FormVec()
                     .push_back(Form::symbol("let"))
                     .push_back(Form::vector(FormVec().push_back(nested).push_back(Form::nil())))
                     .push_back(Form::nil())));
  ASSERT_FALSE(let);
  // Each vector of a binding pattern holds its value in a local of its own: the slots run out
  // long before the nesting could exhaust the native stack.
  EXPECT_EQ(format_compile_failure(let.error()), "too many locals (max 256)");
  auto fn = compile_form(host, Form::list(FormVec()
                                              .push_back(Form::symbol("fn"))
                                              .push_back(Form::vector(FormVec().push_back(nested)))
                                              .push_back(Form::nil())));
  ASSERT_FALSE(fn);
  EXPECT_EQ(format_compile_failure(fn.error()), too_deep);
  auto match = compile_form(host, Form::list(FormVec()
                                                 .push_back(Form::symbol("match"))
                                                 .push_back(Form::nil())
                                                 .push_back(nested)
                                                 .push_back(Form::nil())));
  ASSERT_FALSE(match);
  EXPECT_EQ(format_compile_failure(match.error()), too_deep);
}

// ---------------------------------------------------------------------------------------------
// Captures

struct CaptureCase {
  const char* source;
  // Per prototype in registration order: its capture descriptors and its code.
  std::vector<std::string> listings;
};

std::string captures_and_code(const TestHost& host, const Prototype& p) {
  std::string out;
  for (const UpvalueDesc& d : p.upvalue_descs) {
    out += d.from_upvalue ? "up" : "local";
    out += std::to_string(d.index) + " ";
  }
  out += "| ";
  for (std::uint32_t pc = 0; pc < p.code.size(); ++pc) {
    if (pc > 0) out += ", ";
    out += format_instruction(p, pc, {&host.names});
  }
  return out;
}

TEST(CompilerCaptures, ResolutionAcrossLevels) {
  const CaptureCase cases[] = {
      {"(fn [v] (fn [] v))",
       {"local0 | GetUpvalue 0, Return", "| GetLocal 0, MakeClosure 0 1, Return",
        "| MakeClosure 1 0, Return"}},
      // Two levels: the middle function captures v to pass it on.
      {"(fn [v] (fn [] (fn [] v)))",
       {"up0 | GetUpvalue 0, Return", "local0 | GetUpvalue 0, MakeClosure 0 1, Return",
        "| GetLocal 0, MakeClosure 1 1, Return", "| MakeClosure 2 0, Return"}},
      // Three levels.
      {"(fn [v] (fn [] (fn [] (fn [] v))))",
       {"up0 | GetUpvalue 0, Return", "up0 | GetUpvalue 0, MakeClosure 0 1, Return",
        "local0 | GetUpvalue 0, MakeClosure 1 1, Return", "| GetLocal 0, MakeClosure 2 1, Return",
        "| MakeClosure 3 0, Return"}},
      // Four levels, and a nearer binding of another name in between.
      {"(fn [v] (fn [w] (fn [] (fn [] (fn [] [v w])))))",
       {"up0 up1 | GetUpvalue 0, GetUpvalue 1, MakeVector 2, Return",
        "up0 up1 | GetUpvalue 0, GetUpvalue 1, MakeClosure 0 2, Return",
        "up0 local0 | GetUpvalue 0, GetUpvalue 1, MakeClosure 1 2, Return",
        "local0 | GetUpvalue 0, GetLocal 0, MakeClosure 2 2, Return",
        "| GetLocal 0, MakeClosure 3 1, Return", "| MakeClosure 4 0, Return"}},
      // A local of the current function wins over a capture of the same name.
      {"(fn [v] (fn [v] v))",
       {"| GetLocal 0, Return", "| MakeClosure 0 0, Return", "| MakeClosure 1 0, Return"}},
      // Locals of the top-level form are captured like any function's.
      {"(let [a 1 b 2] (fn [] [b a b]))",
       {"local1 local0 | GetUpvalue 0, GetUpvalue 1, GetUpvalue 0, MakeVector 3, Return",
        "| LoadConst 0 ; 1, SetLocal 0, LoadConst 1 ; 2, SetLocal 1, GetLocal 1, GetLocal 0, "
        "MakeClosure 0 2, Return"}},
      // A named fn does not bind its own name.
      {"(fn f [n] (f n))",
       {"| GetLocal 0, GetGlobal 0 ; f, Call 1, Return", "| MakeClosure 0 0, Return"}},
  };
  for (const CaptureCase& c : cases) {
    TestHost host;
    Compiled compiled = compile_ok(host, c.source);
    ASSERT_EQ(compiled.tables.prototypes.size(), c.listings.size()) << c.source;
    for (std::size_t i = 0; i < c.listings.size(); ++i) {
      EXPECT_EQ(captures_and_code(host, compiled.proto(i)), c.listings[i])
          << c.source << " prototype " << i;
      EXPECT_EQ(compiled.proto(i).upvalue_count, compiled.proto(i).upvalue_descs.size());
    }
  }
}

TEST(CompilerCaptures, ClausesShareOneRenumberedCaptureList) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(fn [x y] (fn ([a] x) ([a b] [y x]) ([a b c :when y] a)))");
  // Clause 1 saw x first; clause 2 saw y then x; the union is (x, y).
  EXPECT_EQ(captures_and_code(host, compiled.proto(0)), "local0 local1 | GetUpvalue 0, Return");
  EXPECT_EQ(captures_and_code(host, compiled.proto(1)),
            "local0 local1 | GetUpvalue 1, GetUpvalue 0, MakeVector 2, Return");
  EXPECT_EQ(captures_and_code(host, compiled.proto(2)), "local0 local1 | GetLocal 0, Return");
  // The guard of clause 3 reads y through the shared list too.
  EXPECT_EQ(captures_and_code(host, compiled.proto(3)), "local0 local1 | GetUpvalue 1, Return");
  const Prototype& outer = compiled.proto(4);
  EXPECT_EQ(code_of(host, outer).substr(0, 21), "GetLocal 0\nGetLocal 1");
}

TEST(CompilerCaptures, TooManyCaptures) {
  // 256 distinct captured locals: more than one closure word can load.
  std::string bindings;
  std::string uses;
  for (int i = 0; i < 256; ++i) {
    bindings += "v" + std::to_string(i) + " " + std::to_string(i) + " ";
    uses += "v" + std::to_string(i) + " ";
  }
  TestHost host;
  auto result = compile_text(host, "(fn [] (let [" + bindings + "] (fn [] [" + uses + "])))");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(format_compile_failure(result.error()), "invalid syntax: too many upvalues");
}

// ---------------------------------------------------------------------------------------------
// Constants

TEST(CompilerConstants, IdentityOfTheStoredRepresentation) {
  TestHost host;
  Compiled compiled = compile_ok(host, "[1 1 1.0 0.0 -0.0 \"a\" \"a\" :k :k 'k 1/2 1/2 nil nil]");
  const Prototype& p = compiled.toplevel();
  std::vector<std::string> table;
  for (const Value& v : p.constants)
    table.push_back(describe_constant(v, {&host.names}));
  EXPECT_EQ(table, (std::vector<std::string>{"1", "1.0", "0.0", "-0.0", "#<object 1:1>",
                                             "#<object 2:1>", ":k", "k", "1/2", "nil"}));
  // The strings are two distinct staged objects with the same text.
  EXPECT_EQ(string_view_of(compiled.tables.staging_heap, p.constants[4]), "a");
  EXPECT_EQ(string_view_of(compiled.tables.staging_heap, p.constants[5]), "a");
}

TEST(CompilerConstants, QuotedData) {
  TestHost host;
  Compiled compiled =
      compile_ok(host, "['(a 1.5 \"s\" :k b/c [1 2] {\"x\" 1} #{2}) '[1 2] '[1 2] 'ns/sym '4/2]");
  const Prototype& p = compiled.toplevel();
  const Heap& heap = compiled.tables.staging_heap;
  ASSERT_EQ(p.constants.size(), 4u); // the equal vectors are one hash-consed object
  const SeqObject* list = heap_get_as<SeqObject>(heap, p.constants[0]);
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->is_vector);
  ASSERT_EQ(list->items.size(), 8u);
  EXPECT_EQ(describe_constant(list->items[0], {&host.names}), "a");
  EXPECT_EQ(describe_constant(list->items[3], {&host.names}), ":k");
  EXPECT_EQ(describe_constant(list->items[4], {&host.names}), "b/c");
  const SeqObject* vec = heap_get_as<SeqObject>(heap, list->items[5]);
  ASSERT_NE(vec, nullptr);
  EXPECT_TRUE(vec->is_vector);
  // A string map key is the hash-consed string for its text, as canonical_key makes it.
  const MapObject* map = heap_get_as<MapObject>(heap, list->items[6]);
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->map.size(), 1u);
  const Value key = (*map->map.begin()).first;
  EXPECT_TRUE(heap_entry(heap, key.as.key)->cached_hash.has_value());
  EXPECT_EQ(describe_constant(p.constants[2], {&host.names}), "ns/sym");
  EXPECT_EQ(describe_constant(p.constants[3], {&host.names}), "2");
}

// ---------------------------------------------------------------------------------------------
// recur

TEST(CompilerRecur, StoresExactlyTheLoopVariables) {
  TestHost host;
  // The first binding value declares a local of its own (slot 0): the loop variables are slots 1
  // and 2, and recur writes exactly those.
  Compiled compiled = compile_ok(host, "(loop [a (let [t 1] t) b 2] (if a (recur b a) a))");
  const std::string code = code_of(host, compiled.toplevel());
  EXPECT_NE(code.find("GetLocal 2\nGetLocal 1\nSetLocal 2\nSetLocal 1\nJump"), std::string::npos)
      << code;
  EXPECT_EQ(compiled.toplevel().local_count, 3u);
}

TEST(CompilerRecur, WildcardParametersAreDiscarded) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(fn [_ y & r] (recur 1 2 3))");
  EXPECT_EQ(code_of(host, compiled.proto(0)),
            "LoadConst 0 ; 1\nLoadConst 1 ; 2\nLoadConst 2 ; 3\nSetLocal 1\nSetLocal 0\nPop\n"
            "Jump -7 -> 0\nLoadConst 3 ; nil\nReturn\n");
  EXPECT_EQ(compiled.proto(0).local_count, 2u);
}

TEST(CompilerRecur, LoopKeepsItsOwnTailFlag) {
  TestHost host;
  // The loop is not in tail position of the function, but its body is its own tail.
  EXPECT_TRUE(compile_text(host, "(fn [] (do (loop [i 0] (if i (recur false) 1)) 2))"));
  EXPECT_TRUE(compile_text(host, "(fn [n] (let [v (loop [i n] (if i (recur nil) 0))] v))"));
}

// ---------------------------------------------------------------------------------------------
// Errors

struct ErrorCase {
  const char* source;
  const char* display;
  int line;   // of the location, 1-based; 0: no location
  int column; // 1-based
};

TEST(CompilerErrors, TextsAndLocations) {
  const ErrorCase cases[] = {
      {"(if)", "invalid syntax: if requires a test expression", 1, 2},
      {"(let)", "invalid syntax: let requires bindings vector", 1, 2},
      {"(let x 1)", "invalid syntax: let bindings must be a vector", 1, 6},
      {"(let [x] x)", "invalid syntax: let bindings must have even count", 1, 6},
      {"(let [:k 1] 1)", "invalid syntax: only simple symbol patterns supported in let bindings", 1,
       7},
      {"(let [ns/x 1] x)", "invalid syntax: only simple symbol patterns supported in let bindings",
       1, 7},
      {"(let [() 1] 1)", "invalid syntax: only simple symbol patterns supported in let bindings", 1,
       7},
      {"(def)", "invalid syntax: def requires a name and value", 1, 2},
      {"(def x)", "invalid syntax: def requires a name and value", 1, 2},
      {"(def \"x\" 1)", "invalid syntax: def name must be a symbol", 1, 6},
      {"(defn f)", "invalid syntax: defn requires a name and parameter vector", 1, 2},
      {"(defn [x] 1)", "invalid syntax: defn name must be a symbol", 1, 7},
      {"(loop)", "invalid syntax: loop requires bindings vector", 1, 2},
      {"(loop (i 0) i)", "invalid syntax: loop bindings must be a vector", 1, 7},
      {"(loop [i] i)", "invalid syntax: loop bindings must have even count", 1, 7},
      {"(loop [[a] 1] a)", "invalid syntax: only simple symbol patterns supported in loop bindings",
       1, 8},
      {"(recur 1)", "invalid syntax: recur outside of loop", 1, 2},
      {"(loop [i 0] (+ 1 (recur i)))", "invalid syntax: recur must be in tail position", 1, 19},
      {"(loop [i 0] (recur))", "invalid syntax: recur arity mismatch: expected 1, got 0", 1, 14},
      {"(fn [x] (do (recur 1) 2))", "invalid syntax: recur must be in tail position", 1, 14},
      {"(fn [x :when (recur 1)] x)", "invalid syntax: recur outside of loop", 1, 15},
      {"(quote)", "invalid syntax: quote expects exactly 1 argument", 1, 2},
      {"(quote a b)", "invalid syntax: quote expects exactly 1 argument", 1, 2},
      {"(assert)", "invalid syntax: assert requires an expression", 1, 2},
      {"(unquote x)", "invalid syntax: unquote outside of syntax-quote", 1, 2},
      {"(unquote-splicing x)", "invalid syntax: unquote-splicing outside of syntax-quote", 1, 2},
      {"(fn)", "invalid syntax: fn requires parameters", 1, 2},
      {"(fn f)", "invalid syntax: fn requires parameters", 1, 2},
      {"(fn ([x] x) 5)", "invalid syntax: fn clause must be a list", 1, 13},
      {"(fn ())", "invalid syntax: fn clause is empty", 1, 5},
      {"(fn (x) x)", "invalid syntax: fn clause requires a parameter vector", 1, 6},
      {"(fn name \"doc\" [x] x)", "invalid syntax: fn clause requires a parameter vector", 1, 10},
      {"(fn [x :when] x)", "invalid syntax: :when requires an expression", 1, 8},
      {"(fn [a & b c] a)", "invalid syntax: multiple rest parameters", 1, 12},
      {"(fn [a & b & c] a)", "invalid syntax: multiple rest parameters", 1, 14},
      {"(fn [a &] a)", "invalid syntax: missing rest parameter after &", 0, 0},
      {"(fn [x x] x)", "duplicate parameter: x", 1, 8},
      {"(fn [x] (fn))", "invalid syntax: fn requires parameters", 1, 10},
      {"[(if)]", "invalid syntax: if requires a test expression", 1, 3},
      {"(f (let))", "invalid syntax: let requires bindings vector", 1, 5},
      {"(match 1 1)", "invalid syntax: match requires a scrutinee and pattern/body pairs", 1, 2},
      {"(let [[a & r b] v] a)", "invalid syntax: only :as allowed after rest parameter", 1, 14},
      {"(fn [[a :as]] a)", "invalid syntax: expected symbol after :as", 1, 9},
      {"(syntax-quote)", "invalid syntax: syntax-quote expects exactly 1 argument", 1, 2},
      {"(syntax-quote (unquote-splicing x))",
       "invalid syntax: unquote-splicing not in list context", 1, 15},
      {"(syntax-quote ((unquote-splicing)))",
       "invalid syntax: unquote-splicing expects 1 argument", 1, 16},
      {"(syntax-quote (unquote))", "invalid syntax: unquote expects 1 argument", 1, 15},
  };
  for (const ErrorCase& c : cases) {
    TestHost host;
    auto result = compile_text(host, c.source);
    ASSERT_FALSE(result.has_value()) << c.source;
    const CompileFailure& f = result.error();
    EXPECT_EQ(format_compile_failure(f), c.display) << c.source;
    if (c.line == 0) {
      EXPECT_FALSE(f.location.has_value()) << c.source;
    } else if (f.location) {
      EXPECT_EQ(static_cast<int>(f.location->line) + 1, c.line) << c.source;
      EXPECT_EQ(static_cast<int>(f.location->column) + 1, c.column) << c.source;
    } else {
      ADD_FAILURE() << c.source << ": no location";
    }
  }
}

TEST(CompilerErrors, HintsAndLabelsTravelButAreNotDisplayed) {
  TestHost host;
  auto bad_let = compile_text(host, "(let x 1)");
  ASSERT_FALSE(bad_let);
  EXPECT_EQ(bad_let.error().hint, "use [name value ...] form");
  auto bad_def = compile_text(host, "(def 1 2)");
  ASSERT_FALSE(bad_def);
  EXPECT_EQ(bad_def.error().hint, "def expects (def name value)");
  auto dup = compile_text(host, "(fn [a b a] a)");
  ASSERT_FALSE(dup);
  ASSERT_EQ(dup.error().labels.size(), 1u);
  EXPECT_EQ(dup.error().labels[0].text, "first defined here");
  EXPECT_EQ(dup.error().labels[0].span.column, 5u);
  EXPECT_EQ(format_compile_failure(dup.error()), "duplicate parameter: a");
}

TEST(CompilerErrors, KindsThatAreNotSyntax) {
  TestHost host;
  // Forms the reader never makes still reach the compiler through macros and hosts.
  auto native =
      compile_form(host, Form::list(FormVec().push_back(Form::native_fn(3, SharedText("x")))));
  ASSERT_FALSE(native);
  EXPECT_EQ(format_compile_failure(native.error()), "unsupported expression: native-fn");
  auto quoted = compile_form(
      host, Form::list(FormVec().push_back(Form::symbol("quote")).push_back(Form::effect(1))));
  ASSERT_FALSE(quoted);
  EXPECT_EQ(format_compile_failure(quoted.error()),
            "unsupported expression: cannot quote this value");
}

// ---------------------------------------------------------------------------------------------
// Limits: no operand wraps

TEST(CompilerLimits, ArgumentCounts) {
  std::string args;
  for (int i = 0; i < 255; ++i)
    args += " 1";
  TestHost host;
  EXPECT_TRUE(compile_text(host, "(f" + args + ")"));
  EXPECT_TRUE(compile_text(host, "(list" + args + ")"));
  for (const char* head : {"(f", "(list", "(e/op"}) {
    auto result = compile_text(host, std::string(head) + args + " 1)");
    ASSERT_FALSE(result) << head;
    EXPECT_EQ(format_compile_failure(result.error()),
              "invalid syntax: too many arguments (max 255)");
  }
}

TEST(CompilerLimits, Locals) {
  std::string bindings;
  for (int i = 0; i < 256; ++i)
    bindings += "x" + std::to_string(i) + " 1 ";
  TestHost host;
  Compiled ok = compile_ok(host, "(let [" + bindings + "] 1)");
  EXPECT_EQ(ok.toplevel().local_count, 256u);
  auto result = compile_text(host, "(let [" + bindings + "extra 1] 1)");
  ASSERT_FALSE(result);
  EXPECT_EQ(format_compile_failure(result.error()), "too many locals (max 256)");
  ASSERT_TRUE(result.error().location.has_value());
  // A `match` in a function that already has many locals keeps its clause function, whose body
  // has slots of its own.
  std::string many;
  std::string more;
  for (int i = 0; i < 200; ++i)
    many += "x" + std::to_string(i) + " 1 ";
  for (int i = 0; i < 100; ++i)
    more += "y" + std::to_string(i) + " 1 ";
  EXPECT_TRUE(compile_text(host, "(let [" + many + "] (match 1 1 (let [" + more + "] 1) _ 0))"));
}

TEST(CompilerLimits, Parameters) {
  std::string params;
  for (int i = 0; i < 256; ++i)
    params += " p" + std::to_string(i);
  TestHost host;
  auto result = compile_text(host, "(fn [" + params + "] 1)");
  ASSERT_FALSE(result);
  EXPECT_EQ(format_compile_failure(result.error()),
            "invalid syntax: too many parameters (max 255)");
}

TEST(CompilerLimits, Constants) {
  // 65,536 distinct constants fit (indices 0 to 65,535); one more does not.
  std::string many = "(do ";
  for (int i = 0; i < 65536; ++i)
    many += std::to_string(i) + " ";
  TestHost host;
  EXPECT_TRUE(compile_text(host, many + ")"));
  auto result = compile_text(host, many + "65536)");
  ASSERT_FALSE(result);
  EXPECT_EQ(format_compile_failure(result.error()), "too many constants (max 65536)");
}

TEST(CompilerLimits, EffectOperationConstantsFitEightBits) {
  // PerformOp names its effect and operation with 8-bit constant indices.
  std::string filler = "(do ";
  for (int i = 0; i < 254; ++i)
    filler += std::to_string(i) + " ";
  TestHost host;
  EXPECT_TRUE(compile_text(host, filler + "(e/op))")); // e is constant 254, op 255
  auto result = compile_text(host, filler + "254 (e/op))");
  ASSERT_FALSE(result);
  EXPECT_EQ(format_compile_failure(result.error()), "too many constants (max 65536)");
  ASSERT_TRUE(result.error().location.has_value());
}

TEST(CompilerLimits, LiteralSizes) {
  std::string elements;
  for (int i = 0; i < 65536; ++i)
    elements += "x ";
  TestHost host;
  auto vec = compile_text(host, "[" + elements + "]");
  ASSERT_FALSE(vec);
  EXPECT_EQ(format_compile_failure(vec.error()), "invalid syntax: vector too large");
  EXPECT_TRUE(compile_text(host, "[" + elements.substr(2) + "]"));
}

TEST(CompilerLimits, JumpDistance) {
  // A branch longer than a signed 16-bit offset reaches.
  std::string body;
  for (int i = 0; i < 16000; ++i)
    body += "x "; // two words each: GetGlobal, Pop
  TestHost host;
  EXPECT_TRUE(compile_text(host, "(if t (do " + body + ") 0)"));
  auto result = compile_text(host, "(if t (do " + body + body + ") 0)");
  ASSERT_FALSE(result);
  EXPECT_EQ(format_compile_failure(result.error()),
            "invalid syntax: function body too large (jump farther than 32767 instructions)");
  auto back = compile_text(host, "(loop [] (do " + body + body + " (recur)))");
  ASSERT_FALSE(back);
  // A clause body as large as a function's own: the `match` keeps its clause function.
  compile_ok(host, "(defdata Opt (None) (Some [v]))");
  EXPECT_TRUE(compile_text(host, "(match (f) (Some v) (do " + body + body + ") _ 0)"));
}

TEST(CompilerLimits, NestingIsBounded) {
  Form nested = Form::integer(1);
  for (int i = 0; i < 200000; ++i) {
    nested = Form::list(FormVec().push_back(Form::symbol("f")).push_back(std::move(nested)));
  }
  TestHost host;
  auto result = compile_form(host, nested);
  ASSERT_FALSE(result);
  EXPECT_EQ(format_compile_failure(result.error()), "invalid syntax: form nested too deeply");
  Form quoted = Form::list(FormVec().push_back(Form::symbol("quote")).push_back(nested));
  auto q = compile_form(host, quoted);
  ASSERT_FALSE(q);
  EXPECT_EQ(format_compile_failure(q.error()), "invalid syntax: form nested too deeply");
}

TEST(CompilerLimits, ClosuresPastSixteenBitPrototypeIndices) {
  TestHost host;
  host.prototypes = 0xFFFF; // the machine's table is almost full
  Compiled compiled = compile_ok(host, "(fn [x] (fn [] x))");
  // Local 0 (the inner function) lands at 65,535: still fits. Local 1 would be 65,536.
  EXPECT_EQ(code_of(host, compiled.proto(1)), "GetLocal 0\nMakeClosure 0 1\nReturn\n");
  const Prototype& top = compiled.toplevel();
  ASSERT_EQ(top.code[0].op(), Opcode::MakeTemplateClosure);
  const ClosureTemplate* tmpl = heap_get_as<ClosureTemplate>(compiled.tables.staging_heap,
                                                             top.constants.at(top.code[0].ab()));
  ASSERT_NE(tmpl, nullptr);
  ASSERT_EQ(tmpl->function.size(), 1u);
  EXPECT_EQ(tmpl->function[0].body_prototype, 1u);
  EXPECT_EQ(tmpl->function[0].arity, 1u);
  EXPECT_TRUE(tmpl->function[0].patterns.empty());
  // Adoption then never wraps.
  Prototype outer = compiled.proto(1);
  rebase_closure_operands(outer, host.next_prototype_indices(compiled.tables.prototypes.size()));
  EXPECT_EQ(outer.code[1].ab(), 0xFFFFu);
}

// Freed positions are handed out first: only a closure word whose own target lands past 16 bits
// becomes a template, and the others are mapped to their low positions.
TEST(CompilerLimits, ClosuresOverAMixedPlacement) {
  TestHost host;
  host.prototypes = 0x10000;
  host.free_positions = {2};
  Compiled compiled = compile_ok(host, "(fn [x] (fn [] x))");
  // Local 0 (the inner function) gets position 2, local 1 (the outer) 65,536, the top 65,537.
  const std::vector<std::uint32_t> placement =
      host.next_prototype_indices(compiled.tables.prototypes.size());
  ASSERT_EQ(placement, (std::vector<std::uint32_t>{2, 0x10000, 0x10001}));
  Prototype outer = compiled.proto(1);
  EXPECT_EQ(code_of(host, outer), "GetLocal 0\nMakeClosure 0 1\nReturn\n");
  rebase_closure_operands(outer, placement);
  EXPECT_EQ(outer.code[1].ab(), 2u);
  const Prototype& top = compiled.toplevel();
  ASSERT_EQ(top.code[0].op(), Opcode::MakeTemplateClosure);
  const ClosureTemplate* tmpl = heap_get_as<ClosureTemplate>(compiled.tables.staging_heap,
                                                             top.constants.at(top.code[0].ab()));
  ASSERT_NE(tmpl, nullptr);
  EXPECT_EQ(tmpl->function[0].body_prototype, 1u);
}

// ---------------------------------------------------------------------------------------------
// Adoption helpers

TEST(Adoption, RebaseClosureOperands) {
  Prototype p;
  p.code = {Instruction::make_ab(Opcode::MakeClosure, 2, 5),
            Instruction::make_ab(Opcode::LoadConst, 2), Instruction::make_ab(Opcode::MakeList, 2)};
  const std::uint32_t placement[] = {7, 9, 4};
  rebase_closure_operands(p, placement);
  EXPECT_EQ(p.code[0], Instruction::make_ab(Opcode::MakeClosure, 4, 5));
  EXPECT_EQ(p.code[1], Instruction::make_ab(Opcode::LoadConst, 2));
  EXPECT_EQ(p.code[2], Instruction::make_ab(Opcode::MakeList, 2));
  // A target placed past 16 bits, or outside the compilation, is refused.
  const std::uint32_t far[] = {0, 1, 0x10000};
  const std::uint32_t short_placement[] = {0, 1};
  for (std::span<const std::uint32_t> bad :
       {std::span<const std::uint32_t>(far), std::span<const std::uint32_t>(short_placement)}) {
    Prototype q;
    q.code = {Instruction::make_ab(Opcode::MakeClosure, 2, 0)};
    EXPECT_THROW(rebase_closure_operands(q, bad), InternalError);
  }
}

TEST(Adoption, FixupCopiesASharedRecord) {
  Heap heap;
  FunctionClause clause;
  clause.body_prototype = 1;
  clause.has_guard = 1;
  clause.guard_prototype = 2;
  FunctionRef shared(std::vector<FunctionClause>{clause});
  HeapKey a = heap_insert(heap, HeapObject(ClosureTemplate{shared}));
  HeapKey b = heap_insert(heap, HeapObject(ClosureTemplate{shared}));
  HeapKey s = heap_insert(heap, HeapObject(StringObject{}));
  const HeapKey keys[] = {a, s, HeapKey{99, 1}};
  const std::uint32_t placement[] = {10, 31, 12};
  fixup_adopted_templates(heap, placement, keys);
  EXPECT_EQ(heap_get_as<ClosureTemplate>(heap, a)->function[0].body_prototype, 31u);
  EXPECT_EQ(heap_get_as<ClosureTemplate>(heap, a)->function[0].guard_prototype, 12u);
  EXPECT_EQ(heap_get_as<ClosureTemplate>(heap, b)->function[0].body_prototype, 1u);
  EXPECT_EQ(shared[0].body_prototype, 1u);
}

TEST(Adoption, RemapAndLinkGlobals) {
  TestHost host;
  Compiled compiled = compile_ok(host, "[\"s\" later]");
  Prototype p = compiled.toplevel();
  const HeapKey staged = p.constants[0].as.key;
  std::unordered_map<HeapKey, HeapKey,
                     decltype([](HeapKey k) { return std::hash<std::uint32_t>()(k.index); })>
      remap;
  remap[staged] = HeapKey{40, 3};
  remap_value_handles(p, remap);
  EXPECT_EQ(p.constants[0].as.key, (HeapKey{40, 3}));
  const Spur later = *host.names.get("later");
  link_global_reads(p, [&](Spur s) -> std::optional<std::uint32_t> {
    if (s == later) return 300;
    return std::nullopt;
  });
  EXPECT_EQ(code_of(host, p),
            "LoadConst 0 ; #<object 40:3>\nGetGlobalIndexed 300\nMakeVector 2\nReturn\n");
}

// ---------------------------------------------------------------------------------------------
// Macro definitions and calls against a host that runs no code

// A defmacro puts its expander, the functions its body makes and the objects they name into the
// machine at once, at the positions the machine hands out (freed ones first, then new ones at the
// end); the rest of the form keeps its own numbering, and an object it shares with the expander
// is the one already moved.
TEST(CompilerMacros, DefinitionInstallsTheExpanderAndWhatItReaches) {
  struct Case {
    std::uint32_t prototypes;
    std::vector<std::uint32_t> free_positions;
    // Where the two clause bodies, the function with the string and the expander land.
    std::uint32_t placed[4];
    std::uint32_t prototypes_after;
  };
  const Case cases[] = {
      {5, {}, {5, 6, 7, 8}, 9},
      {5, {1, 3}, {1, 3, 5, 6}, 7},
      {5, {0, 1, 2, 4}, {0, 1, 2, 4}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.free_positions.size());
    TestHost host;
    host.prototypes = c.prototypes;
    host.free_positions = c.free_positions;
    Compiled compiled = compile_ok(host, "(do '[1 2] (defmacro m [x] ((fn ([a] a) ([a b] b)) 1)"
                                         " (fn [] \"s\") '[1 2]) (fn [] '[1 2]))");
    // Two clause bodies, the function with the string, then the expander.
    ASSERT_EQ(host.installed.size(), 4u);
    EXPECT_EQ(host.prototypes, c.prototypes_after);
    EXPECT_TRUE(host.free_positions.empty());
    ASSERT_EQ(compiled.tables.prototypes.size(), 2u);
    EXPECT_EQ(compiled.top, 1u);

    const Prototype& expander = host.installed[3];
    EXPECT_EQ(expander.arity, 1u);
    const std::string code = code_of(host, expander);
    EXPECT_NE(code.find("MakeClosure " + std::to_string(c.placed[2]) + " 0"), std::string::npos)
        << code;
    const Instruction& make = expander.code.at(1); // after the argument 1
    ASSERT_EQ(make.op(), Opcode::MakeTemplateClosure) << code;
    const ClosureTemplate* tmpl =
        heap_get_as<ClosureTemplate>(host.heap, expander.constants.at(make.ab()));
    ASSERT_NE(tmpl, nullptr);
    ASSERT_EQ(tmpl->function.size(), 2u);
    EXPECT_EQ(tmpl->function[0].body_prototype, c.placed[0]);
    EXPECT_EQ(tmpl->function[1].body_prototype, c.placed[1]);
    const Value text = host.installed[2].constants.at(0);
    ASSERT_NE(heap_get_as<StringObject>(host.heap, text), nullptr);

    // The quoted vector staged before the defmacro: one object in the machine, named by the
    // expander and, through the record of moved objects, by the form's own code.
    const Value in_expander = expander.constants.back();
    ASSERT_NE(heap_get_as<SeqObject>(host.heap, in_expander), nullptr);
    const Value staged = compiled.toplevel().constants.at(0);
    ASSERT_EQ(staged.tag, Tag::Object);
    std::optional<HeapKey> moved = compiled.tables.moved_objects.find(staged.as.key);
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(*moved, in_expander.as.key);

    ASSERT_EQ(host.kept.size(), 1u);
    const Closure* closure = heap_get_as<Closure>(host.heap, host.kept[0]);
    ASSERT_NE(closure, nullptr);
    EXPECT_EQ(closure->function[0].body_prototype, c.placed[3]);
    EXPECT_TRUE(closure->captures.empty());
  }
}

// A macro call converts its arguments into the machine's heap and compiles what the expander
// answered in place of the call.
TEST(CompilerMacros, CallsCompileTheExpansion) {
  TestHost host;
  Compiled defined = compile_ok(host, "(defmacro m [& xs] xs)");
  EXPECT_EQ(code_of(host, defined.toplevel()), "LoadConst 0 ; nil\nReturn\n");
  Compiler compiler = new_compiler(host);
  compiler.macros.emplace(*host.names.get("m"), host.kept.at(0));
  host.expansion = Value::symbol(host.names.get_or_intern("answer"));
  auto top = compile_toplevel(compiler, read_one("(m 1 \"two\" [three])"));
  ASSERT_TRUE(top) << format_compile_failure(top.error());
  CompilerTables tables = take_compiler_tables(std::move(compiler));
  EXPECT_EQ(code_of(host, tables.prototypes.at(*top)), "GetGlobal 0 ; answer\nReturn\n");
  ASSERT_EQ(host.calls.size(), 1u);
  const std::vector<Value>& args = host.calls[0];
  ASSERT_EQ(args.size(), 3u);
  EXPECT_TRUE(args[0].is_int() && args[0].as.integer == 1);
  const StringObject* two = heap_get_as<StringObject>(host.heap, args[1]);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->text.view(), "two");
  const SeqObject* three = heap_get_as<SeqObject>(host.heap, args[2]);
  ASSERT_NE(three, nullptr);
  EXPECT_TRUE(three->is_vector);
}

// ---------------------------------------------------------------------------------------------
// Values and forms across a macro call

TEST(MacroValues, ArgumentsRoundTrip) {
  Interner names;
  Heap heap;
  RootScope roots(heap);
  const Form form = read_one("(a 1.5 \"s\" :k b/c [1 (2)] {\"x\" 1} #{2} nil true 7 #\"r+\")");
  auto value = form_to_value_for_macro(names, heap, form, roots);
  ASSERT_TRUE(value.has_value());
  const SeqObject* list = heap_get_as<SeqObject>(heap, *value);
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->is_vector);
  EXPECT_EQ(describe_constant(list->items[4], {&names}), "b/c");
  // A string map key is its canonical object, so lookups by content find it.
  const MapObject* map = heap_get_as<MapObject>(heap, list->items[6]);
  ASSERT_NE(map, nullptr);
  EXPECT_TRUE(heap_entry(heap, (*map->map.begin()).first.as.key)->cached_hash.has_value());
  auto back = value_to_form(heap, names, *value);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(form_eq(*back, form));
  EXPECT_NE(back->kind(), Form::Kind::Spanned);
}

TEST(MacroValues, NamesSplitAtTheFirstSlash) {
  struct Case {
    const char* text;
    const char* name;
    std::optional<std::string_view> ns;
  };
  const Case cases[] = {
      {"a/b/c", "b/c", "a"},
      {"/x", "x", ""},
      {"x/", "", "x"},
      {"/", "/", std::nullopt},
      {"plain", "plain", std::nullopt},
  };
  Interner names;
  Heap heap;
  for (const Case& c : cases) {
    for (bool keyword : {false, true}) {
      const Spur id = names.get_or_intern(c.text);
      auto form = value_to_form(heap, names, keyword ? Value::keyword(id) : Value::symbol(id));
      ASSERT_TRUE(form.has_value()) << c.text;
      EXPECT_EQ(form->kind(), keyword ? Form::Kind::Keyword : Form::Kind::Symbol);
      EXPECT_EQ(form->name(), c.name) << c.text;
      EXPECT_EQ(form->ns(), c.ns) << c.text;
    }
  }
}

TEST(MacroValues, ResultsThatAreNotData) {
  Interner names;
  Heap heap;
  const HeapKey closure = heap_insert(heap, HeapObject(Closure{FunctionRef::plain(0, 0, 0), {}}));
  const HeapKey atom = heap_insert(heap, HeapObject(Atom{Value::nil()}));
  ValueVector items;
  items.push_back_mut(Value::from_int(1));
  items.push_back_mut(Value::object(atom));
  const HeapKey vec = heap_insert(heap, HeapObject(SeqObject{items, true}));
  struct Case {
    Value value;
    const char* display;
  };
  const Case cases[] = {
      {Value::object(closure), "invalid macro result: cannot convert closure to AST"},
      {Value::object(vec), "invalid macro result: cannot convert atom to AST"},
      {Value::native_fn(3), "invalid macro result: cannot convert native function to AST"},
      {Value::object(HeapKey{77, 1}), "invalid macro result: invalid heap reference"},
  };
  for (const Case& c : cases) {
    auto form = value_to_form(heap, names, c.value);
    ASSERT_FALSE(form.has_value()) << c.display;
    EXPECT_EQ(format_compile_failure(form.error()), c.display);
    EXPECT_FALSE(form.error().location.has_value());
  }
  auto vector = value_to_form(
      heap, names, Value::object(heap_insert(heap, HeapObject(SeqObject{ValueVector(), true}))));
  ASSERT_TRUE(vector.has_value());
  EXPECT_EQ(vector->kind(), Form::Kind::Vector);
}

// ---------------------------------------------------------------------------------------------
// Disassembler

TEST(Disassembler, FullListing) {
  TestHost host;
  Compiled compiled = compile_ok(host, "(defn inc2 [n]\n  (+ n 2))");
  std::string add = "  0002  Add";
  add.resize(40, ' ');
  EXPECT_EQ(disassemble(compiled.proto(0), {&host.names}),
            "fn inc2  arity 1  locals 1  captures 0\n"
            "  constants: 0 = 2\n"
            "  0000  GetLocal 0\n"
            "  0001  LoadConst 0 ; 2\n" +
                add + "  @ 2:3\n  0003  Return\n");
}

} // namespace
} // namespace quorvex
