// Effects written in the language, end to end: `effect`, `perform`, `(E/op ...)` and
// `with-handler` compiled and run, one-shot continuations, the returns of handler clauses,
// runtime errors offered to `exn`, and how they meet host handlers and native functions that call
// back into the language. Every program runs on a fresh machine, which must be at rest after it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine_cases.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

using engine_cases::Case;
using engine_cases::expect_cases;
using engine_cases::expect_located;
using engine_cases::expect_machine_at_rest;
using engine_cases::run;

// A host handler that answers every perform with a fixed value and counts its calls.
class FixedHandler final : public HostHandler {
public:
  explicit FixedHandler(Value answer) : answer_(answer) {}
  std::expected<HandlerOutcome, VmError> handle(Vm&, Spur, std::vector<Value>) override {
    ++calls;
    return HandlerOutcome::resume(answer_);
  }
  int calls = 0;

private:
  Value answer_;
};

// `(call-back f x...)`: calls f with the other arguments from native code and answers its value,
// or passes its error on, as the higher-order builtins do.
class CallBack final : public HostCallable {
public:
  NativeResult call(Vm& vm, std::span<const Value> args) override {
    if (args.empty()) return std::unexpected(VmError::arity(1, 0));
    std::vector<Value> rest(args.begin() + 1, args.end());
    return call_value_from_native(vm, args[0], rest);
  }
};

// ---------------------------------------------------------------------------------------------
// Handling and resuming

TEST(Effects, ClausesResumeOnceOrReturnTheirValue) {
  expect_cases({
      // `perform` names the effect and the operation with one symbol.
      {"(def ask (effect (ask [x])))"
       "(with-handler [ask] :handle (ask [x k] (k (* x 3))) (+ 1 (perform ask 4)))",
       "13"},
      // The direct shape takes any expression yielding a dispatch map or a closure.
      {"(def Ask (effect (ask)))"
       "(with-handler Ask {'ask (fn [k] (k 5))} (+ 1 (Ask/ask)))",
       "6"},
      {"(def Ask (effect (ask [x])))"
       "(with-handler Ask (fn [x k] (k (+ x 100))) (Ask/ask 1))",
       "101"},
      // An operation the effect does not declare is dispatched all the same.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (other [a b k] (k (+ a b))) (Ask/other 2 3))",
       "5"},
      // Two clauses for one operation: the last one written handles it.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] 1) :handle (ask [k] 2) (Ask/ask))",
       "2"},
      // Body forms before, between and after clauses, in source order.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] 10 :handle (ask [k] (k 1)) 20 :handle (tell [k] 0) (+ 20 (Ask/ask)))",
       "21"},
      {"(def Ask (effect (ask)))"
       "[(with-handler [Ask] :handle (ask [k] 1)) (with-handler Ask nil)]",
       "[nil nil]"},
      // The handler is gone after its form: the next perform finds none.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (k 1)) (Ask/ask))"
       "(Ask/ask)",
       "error: Unhandled effect: Ask"},
  });
}

TEST(Effects, APerformInsideAClauseReachesTheOuterEntryThenTheHostHandler) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def Ask (effect (ask)))"), "<effect #1>");
  auto host = std::make_shared<FixedHandler>(Value::from_int(1000));
  ASSERT_TRUE(register_host_handler(*vm, "Ask", host));
  // With a program entry for Ask not busy, the host handler is never asked.
  EXPECT_EQ(run(*vm, "(with-handler [Ask] :handle (ask [k] (k 1)) (Ask/ask))"), "1");
  EXPECT_EQ(host->calls, 0);
  EXPECT_EQ(run(*vm, "(with-handler [Ask] :handle (ask [k] (k (+ 10 (Ask/ask))))"
                     "  (with-handler [Ask] :handle (ask [k] (k (+ 1 (Ask/ask))))"
                     "    (Ask/ask)))"),
            "1011");
  EXPECT_EQ(host->calls, 1);
  // A nil handler entry refuses the perform even though a host handler exists.
  EXPECT_EQ(run(*vm, "(with-handler Ask nil (Ask/ask))"),
            "error: Type error: handler closure is None");
  EXPECT_EQ(host->calls, 1);
  expect_machine_at_rest(*vm);
}

TEST(Effects, ContinuationsAreOneShotAndBoundToTheirHandler) {
  expect_cases({
      // A continuation that escaped its `with-handler` cannot run the code it captured: that
      // code's frame is gone.
      {"(def Ask (effect (ask)))"
       "(defn inner [] (with-handler [Ask] :handle (ask [k] k) (let [a 1 b 2] (+ a b (Ask/ask)))))"
       "(defn outer [] (let [k (inner) x 100 y 200] [(k 5) x y]))"
       "(outer)",
       "error: Invalid continuation"},
      // Escaped from an inner clause into the outer one, whose own entry is still live: the
      // continuation belongs to the inner entry, which is gone.
      {"(def A (effect (a)))"
       "(def B (effect (b)))"
       "(with-handler [A] :handle (a [k] (k 0))"
       "  (let [kb (with-handler [B] :handle (b [k] k) (B/b))] (kb 1)))",
       "error: Invalid continuation"},
  });
}

TEST(Effects, HandlerErrorsAtRunTime) {
  expect_cases({
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (tell [k] 0) (Ask/ask))",
       "error: Unhandled operation 'Ask/ask' "},
      {"(with-handler [Nope] :handle (ask [k] 0) 1)", "error: Undefined variable: Nope"},
      {"(def x 1) (with-handler [x] :handle (ask [k] 0) 1)", "error: Type error: expected effect"},
      {"(def Ask (effect (ask))) (with-handler Ask 5 1)",
       "error: Type error: expected closure, map, or nil for handler"},
      {"(def Ask (effect (ask))) (with-handler Ask [] 1)",
       "error: Type error: expected closure or map for handler"},
      {"(def Ask (effect (ask))) (with-handler Ask nil (Ask/ask))",
       "error: Type error: handler closure is None"},
      // A clause whose parameter count does not fit the operation's arguments and k.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [x k] (k x)) (Ask/ask))",
       "error: Wrong number of arguments: expected 2, got 1"},
      {"(def Ask (effect (ask))) (perform Nope 1)", "error: Undefined variable: Nope"},
      {"(Nope/op)", "error: Undefined variable: Nope"},
      {"(perform exn {:type :mine})", "error: Unhandled effect: exn"},
  });
}

// ---------------------------------------------------------------------------------------------
// Runtime errors offered to `exn`

// A refused handler that nothing takes over is located at the handler's effect, as before it
// was offered from the end of its form.
TEST(Effects, ARefusedHandlerIsLocatedAtItsEffect) {
  expect_located({
      {"(def E (effect (op)))\n[1 (with-handler E 5\n  (+ 1 2))]",
       "Type error: expected closure, map, or nil for handler", 2, 18},
      {"(do 1\n (with-handler [Nope] :handle (op [k] 0) (+ 1 2)))", "Undefined variable: Nope", 2,
       17},
      // The offer fails after cutting the stacks back to the exn entry's own frame.
      {"(with-handler exn nil\n  (with-handler [Nope] :handle (op [k] 0) 1))",
       "Undefined variable: Nope", 2, 18},
  });
}

TEST(Effects, RuntimeErrorsAreOfferedToExnHandlers) {
  expect_cases({
      {"(with-handler [exn] :handle (raise [e k] [(get e :type) (get e :message)])"
       "  (ghost 1))",
       "[:undefined-variable \"Undefined variable: ghost\"]"},
      {"(with-handler [exn] :handle (raise [e k] (get e :type)) (assert false \"no\"))",
       ":assertion-failed"},
      {"(with-handler [exn] :handle (raise [e k] (/ 2 0)) (ghost))", "error: Division by zero"},
      // The program's own raise with any value.
      {"(with-handler [exn] :handle (raise [e k] [:got e]) (exn/raise 42))", "[:got 42]"},
      // Never offered: unhandled effects and operations.
      {"(def Ask (effect (ask)))"
       "(with-handler [exn] :handle (raise [e k] :caught) (Ask/ask))",
       "error: Unhandled effect: Ask"},
  });
}

// ---------------------------------------------------------------------------------------------
// Across native functions that call back into the language

// Runs each program on a fresh machine with `call-back` defined.
void expect_cases_with_callback(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    auto callback = std::make_shared<CallBack>();
    ASSERT_TRUE(define_host_function(*vm, "call-back", callback));
    EXPECT_EQ(run(*vm, c.source), c.expected);
    expect_machine_at_rest(*vm);
  }
}

TEST(Effects, ErrorsInCallbacksReachHandlersOutsideTheNativeCall) {
  expect_cases_with_callback({
      {"(with-handler [exn] :handle (raise [e k] [:caught (get e :type)])"
       "  (+ 1 (call-back (fn [] (/ 1 0)))))",
       "[:caught :division-by-zero]"},
      // Through two native calls, and the code after the form goes on.
      {"[(with-handler [exn] :handle (raise [e k] :outer)"
       "   (call-back (fn [] (call-back (fn [x] (/ 1 x)) 0))))"
       " :next]",
       "[:outer :next]"},
      // A handler inside the first callback is nearer than the one outside.
      {"(with-handler [exn] :handle (raise [e k] :outer)"
       "  (call-back (fn [] [(with-handler [exn] :handle (raise [e k] :inner)"
       "                       (call-back (fn [] (/ 1 0))))"
       "                     :after])))",
       "[:inner :after]"},
      // A handler inside the callback resumes as usual.
      {"(call-back (fn [] (with-handler [exn] :handle (raise [e k] (k 10)) (+ 1 (/ 1 0)))))", "11"},
      // The native function is gone: the continuation cannot go back into it.
      {"(with-handler [exn] :handle (raise [e k] (k 0)) (call-back (fn [] (/ 1 0))))",
       "error: Value error: a continuation captured across a native function call cannot be "
       "resumed"},
      {"(with-handler [exn] :handle (raise [e k] (get e :message))"
       "  (with-handler [exn] :handle (raise [e k] (k 0)) (call-back (fn [] (/ 1 0)))))",
       "\"Value error: a continuation captured across a native function call cannot be "
       "resumed\""},
      // Guards run in a nested run too.
      {"(defn g [x :when (/ x 0)] x)"
       "(with-handler [exn] :handle (raise [e k] (get e :type)) (g 1))",
       ":division-by-zero"},
      {"(call-back (fn [] (/ 1 0)))", "error: Division by zero"},
  });
}

TEST(Effects, PerformsInCallbacksReachHandlersOutsideTheNativeCall) {
  expect_cases_with_callback({
      {"(def Ask (effect (ask [x])))"
       "(with-handler [Ask] :handle (ask [x k] [:asked x]) (+ 1 (call-back (fn [] (Ask/ask 7)))))",
       "[:asked 7]"},
      // An `exn` handler between the perform and its handler does not see it.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] :asked)"
       "  (call-back (fn [] (with-handler [exn] :handle (raise [e k] :wrong)"
       "                      (call-back (fn [] (Ask/ask)))))))",
       ":asked"},
      {"(def Ask (effect (ask)))"
       "(defn f [x :when (Ask/ask)] x)"
       "(with-handler [Ask] :handle (ask [k] :from-guard) (f 1))",
       ":from-guard"},
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (k 5)) (call-back (fn [] (Ask/ask))))",
       "error: Value error: a continuation captured across a native function call cannot be "
       "resumed"},
      // Inside the callback the handler resumes as usual, also from a deeper callback.
      {"(def Ask (effect (ask)))"
       "(call-back (fn [] (with-handler [Ask] :handle (ask [k] (k 5)) (+ 1 (Ask/ask)))))",
       "6"},
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (call-back (fn [v] (k v)) 5)) (+ 1 (Ask/ask)))",
       "6"},
      {"(def Ask (effect (ask)))"
       "(call-back (fn [] (Ask/ask)))",
       "error: Unhandled effect: Ask"},
  });
}

// `(call-or f fallback)`: calls f back from native code and answers its value, or the fallback
// when the callback failed, as a host that shrugs off errors would.
class CallOr final : public HostCallable {
public:
  NativeResult call(Vm& vm, std::span<const Value> args) override {
    if (args.size() != 2) return std::unexpected(VmError::arity(2, args.size()));
    NativeResult r = call_value_from_native(vm, args[0], {});
    return r ? *r : args[1];
  }
};

// A run whose stacks an unwind or a failure cut below its start ends, and so does every
// resumption whose boundary went with it: one machine runs the table three times over, and is at
// rest after every program.
TEST(Effects, RunsCutBelowTheirStartEndAndTheMachineGoesOn) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_TRUE(define_host_function(*vm, "call-back", std::make_shared<CallBack>()));
  ASSERT_TRUE(define_host_function(*vm, "call-or", std::make_shared<CallOr>()));
  ASSERT_EQ(run(*vm, "(def Ask (effect (ask [x])))"), "<effect #1>");
  const std::vector<Case> cases = {
      // A perform three callbacks deep, handled outside without resuming.
      {"(with-handler [Ask] :handle (ask [x k] [:asked x])"
       "  (call-back (fn [] (call-back (fn [a] (call-back (fn [] (Ask/ask a)))) 7))))",
       "[:asked 7]"},
      // An error three callbacks deep, taken by `exn` outside; the form after it goes on.
      {"[(with-handler [exn] :handle (raise [e k] (get e :type))"
       "   (call-back (fn [] (call-back (fn [] (call-back (fn [] (/ 1 0))))))))"
       " (call-back (fn [] :next))]",
       "[:division-by-zero :next]"},
      // A native that answers something else for its failed callback: the perform in it never
      // reaches the handler, and the run that called the native goes on.
      {"(with-handler [Ask] :handle (ask [x k] :handled)"
       "  [(call-or (fn [] (Ask/ask 1)) :fallback) (call-or (fn [] (/ 1 0)) :fallback) :after])",
       "[:fallback :fallback :after]"},
      // A resumption inside a callback that fails: the entry is busy again, so the clause's own
      // perform reaches the handler outside.
      {"(with-handler [Ask] :handle (ask [x k] (k [:outer x]))"
       "  (with-handler [Ask] :handle (ask [x k]"
       "                               [(call-or (fn [] (k 1)) :failed) (Ask/ask 2)])"
       "    (+ (Ask/ask 0) (/ 1 0))))",
       "[:failed [:outer 2]]"},
      // The same, the resumption ended by an error that `exn` in the clause takes.
      {"(with-handler [Ask] :handle (ask [x k] (k [:outer x]))"
       "  (with-handler [Ask] :handle (ask [x k]"
       "                               [(with-handler [exn] :handle (raise [e k2] (get e :type))"
       "                                  (call-back (fn [] (k 1))))"
       "                                (Ask/ask 2)])"
       "    (+ (Ask/ask 0) (ghost))))",
       "[:undefined-variable [:outer 2]]"},
      // Nothing of the above is left behind.
      {"(with-handler [Ask] :handle (ask [x k] (k (* x 2))) (+ 1 (Ask/ask 20)))", "41"},
      {"(Ask/ask 1)", "error: Unhandled effect: Ask"},
  };
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.source);
      EXPECT_EQ(run(*vm, c.source), c.expected);
      expect_machine_at_rest(*vm);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Compilation

// Each error at the form the table names; a missing clause is reported before a bad effect form,
// clause errors in clause order.
TEST(Effects, FormErrorsAreReportedInOrderAtTheirForms) {
#define SYNTAX "compile error: invalid syntax: "
  expect_located({
      {"(effect ns/op)", SYNTAX "effect operation must be a list", 1, 9},
      {"(effect (ns/op [x]))", SYNTAX "operation name must be an unqualified symbol", 1, 10},
      {"(effect (1 [x]))", SYNTAX "operation name must be an unqualified symbol", 1, 10},
      {"(effect ())", SYNTAX "empty operation definition", 1, 9},
      {"(perform)", SYNTAX "perform requires an effect", 1, 2},
      {"(perform (f) 1)", SYNTAX "perform effect must be a symbol", 1, 10},
      {"(with-handler [E])", SYNTAX "with-handler requires at least effect and body", 1, 2},
      {"(with-handler [E a] :handle (op [k] 0))",
       SYNTAX "with-handler effect binding must contain exactly one expression", 1, 15},
      {"(with-handler [E] (E/op))", SYNTAX "with-handler requires at least one :handle clause", 1,
       15},
      {"(with-handler [(f)] 1)", SYNTAX "with-handler requires at least one :handle clause", 1, 15},
      {"(with-handler [E] :handle (op [k]))",
       SYNTAX ":handle clause requires (op-name [params] body...)", 1, 27},
      {"(with-handler [E] :handle [op [k] 0])", SYNTAX ":handle clause must be a list", 1, 27},
      {"(with-handler [E] :handle (\"op\" [k] 0))", SYNTAX "handler operation name must be a symbol",
       1, 28},
      {"(with-handler [E] :handle (op k 0))", SYNTAX "handler params must be a vector", 1, 31},
      {"(with-handler [E] :handle (op k 0) :handle [bad])", SYNTAX "handler params must be a vector",
       1, 31},
      {"(with-handler [E] :handle (op [:k] 0))",
       SYNTAX "only simple symbol patterns supported in let bindings", 1, 32},
      {"(with-handler [(f)] :handle (op [k] 0) 1)",
       SYNTAX "with-handler requires a named effect; local effects from let bindings are not "
              "supported — use def instead",
       1, 16},
      {"(with-handler (f) (fn [k] 0) 1)",
       SYNTAX "with-handler requires a named effect; local effects from let bindings are not "
              "supported — use def instead",
       1, 15},
  });
#undef SYNTAX
  // A clause body is a function body of its own; the `with-handler` body is never in tail
  // position.
  std::unique_ptr<Vm> vm = vm_new_bare();
  EXPECT_EQ(run(*vm, "(with-handler [E] :handle (op [k] (recur 1)) 1)"),
            "error: compile error: invalid syntax: recur outside of loop");
  EXPECT_EQ(run(*vm, "(with-handler [E] :handle (op [k] 0) (recur 1))"),
            "error: compile error: invalid syntax: recur must be in tail position");
}

// Clause parameters may be patterns, bound from the argument in a hidden local.
TEST(Effects, ClauseParametersDestructure) {
  expect_cases({
      {"(def Move (effect (move [pos])))"
       "(with-handler [Move] :handle (move [[x y] k] (k (+ x y))) (* 10 (Move/move [1 2])))",
       "30"},
      {"(def Move (effect (move [pos])))"
       "(with-handler [Move] :handle (move [{:keys [x y]} k] [x y]) (Move/move {:x 1 :y 2}))",
       "[1 2]"},
  });
}

TEST(Effects, EffectFormsRecordTheirOperations) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def E (effect (get) (put [x]) (swap [f g] extra) (plain x)))"), "<effect #1>");
  std::optional<EffectId> id = effect_id(*vm, "E");
  ASSERT_TRUE(id.has_value());
  const Effect* effect = heap_get_as<Effect>(vm->heap, vm->globals[vm->find_global(*vm->interner.get("E")).value()]);
  ASSERT_NE(effect, nullptr);
  std::vector<std::pair<std::string, int>> ops;
  for (const EffectOp& op : effect->operations)
    ops.emplace_back(std::string(vm->interner.resolve(op.name)), op.arity);
  EXPECT_EQ(ops, (std::vector<std::pair<std::string, int>>{
                     {"get", 0}, {"put", 1}, {"swap", 2}, {"plain", 0}}));
  // Each effect form makes a new effect, with the next id.
  EXPECT_EQ(run(*vm, "[(effect) (= (effect) (effect))]"), "[<effect #2> false]");
}

// Operands have fixed widths: counts beyond them are refused, never wrapped.
TEST(Effects, CountsPastOperandWidthsAreCompileErrors) {
  auto repeat = [](std::string_view item, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
      out += item;
      out += ' ';
    }
    return out;
  };
  std::string params;
  for (int i = 0; i < 256; ++i)
    params += "p" + std::to_string(i) + " ";
  std::string captures_let = "(let [";
  std::string captures_sum = "(+ 0";
  for (int i = 0; i < 256; ++i) {
    captures_let += "v" + std::to_string(i) + " " + std::to_string(i) + " ";
    captures_sum += " v" + std::to_string(i);
  }
  struct LimitCase {
    std::string source;
    std::string expected;
  };
  const std::vector<LimitCase> cases = {
      {"(perform E " + repeat("1", 256) + ")", "too many arguments (max 255)"},
      {"(E/op " + repeat("1", 256) + ")", "too many arguments (max 255)"},
      {"(effect " + repeat("(o)", 32768) + ")", "too many operations in one effect (max 32767)"},
      {"(with-handler [E] :handle (op [" + params + "] 0) 1)", "too many parameters (max 255)"},
      {captures_let + "] (with-handler [E] :handle (op [k] " + captures_sum + ")) 1))",
       "too many upvalues"},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.expected);
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_EQ(run(*vm, c.source), "error: compile error: invalid syntax: " + c.expected);
  }
  // At the limits the forms compile and run.
  std::unique_ptr<Vm> vm = vm_new_bare();
  EXPECT_EQ(run(*vm, "(def E (effect (op)))"
                     "(with-handler [E] :handle (op " + std::string("[") +
                         [] {
                           std::string p;
                           for (int i = 0; i < 254; ++i)
                             p += "p" + std::to_string(i) + " ";
                           return p;
                         }() +
                         "k] (k p253)) (E/op " + repeat("1", 253) + "2))"),
            "2");
  EXPECT_EQ(run(*vm, "(def Big (effect " + repeat("(o)", 32767) + "))"), "<effect #2>");
}

} // namespace
} // namespace quorvex
