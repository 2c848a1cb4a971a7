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

#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

std::string readable(const Vm& vm, const Value& v) {
  Guarded<std::string> text = print_readable(PrintEnv{vm.heap, vm.interner, vm.types}, v);
  return text ? *text : "<print fault>";
}

std::string run(Vm& vm, std::string_view source) {
  std::expected<Value, EngineError> r = vm_eval(vm, source);
  if (!r) return "error: " + to_string(r.error());
  return readable(vm, *r);
}

void expect_machine_at_rest(const Vm& vm) {
  EXPECT_EQ(vm.stack.size(), 0u);
  EXPECT_TRUE(vm.frames.empty());
  EXPECT_TRUE(vm.handlers.empty());
  EXPECT_EQ(vm.heap.native_depth, 0u);
  EXPECT_TRUE(vm.runs.empty());
}

struct Case {
  const char* source;
  const char* expected;
};

void expect_cases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_EQ(run(*vm, c.source), c.expected);
    expect_machine_at_rest(*vm);
  }
}

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
    NativeResult r = call_value_from_native(vm, args[0], rest);
    ++returns;
    return r;
  }
  int returns = 0;
};

// ---------------------------------------------------------------------------------------------
// Handling and resuming

TEST(Effects, ClausesResumeOnceOrReturnTheirValue) {
  expect_cases({
      // The clause's value is the form's value; (k v) is the value of the rest of the body.
      {"(def Ask (effect (ask [prompt])))"
       "(with-handler [Ask] :handle (ask [p k] (k 42)) (+ 1 (Ask/ask 0)))",
       "43"},
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (+ 1 (k 10))) (* 2 (Ask/ask)))",
       "21"},
      // Not resumed: the rest of the body never runs.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] :stopped) [(Ask/ask) (/ 1 0)])",
       ":stopped"},
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

TEST(Effects, ResumedComputationsKeepTheirFramesLocalsAndCaptures) {
  expect_cases({
      // Two performs, each resumed: the second clause runs inside the first resumption, and its
      // value ends that resumption.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] [:c (k 10)]) [(Ask/ask) (Ask/ask)])",
       "[:c [:c [10 10]]]"},
      // The nested return: the second clause does not resume, and its value is the value of the
      // first clause's call of its continuation.
      {"(def St (effect (get) (fail)))"
       "(with-handler [St] :handle (get [k] [:got (k 5)]) :handle (fail [k] :failed)"
       "  (do (St/get) (St/fail)))",
       "[:got :failed]"},
      // A perform from a function the body called: its frames are saved and restored.
      {"(def Ask (effect (ask)))"
       "(defn f [x] (* x (Ask/ask)))"
       "(defn g [x] (+ 1 (f x)))"
       "(with-handler [Ask] :handle (ask [k] (k 10)) [(g 3) (g 4)])",
       "[31 41]"},
      // Locals of the handler frame: one bound before the form, and ones the resumed code binds
      // and a later resumption reads.
      {"(def St (effect (get [x])))"
       "(let [x 1"
       "      r (with-handler [St] :handle (get [n k] (k (* n 10)))"
       "          (let [a (St/get 1) b (St/get 2)] [a b (+ x a b)]))]"
       "  [x r])",
       "[1 [10 20 31]]"},
      // The handler frame's captured variables, read after the perform was resumed.
      {"(def Ask (effect (ask)))"
       "(defn make [z] (fn [] (with-handler [Ask] :handle (ask [k] (k 10)) (+ z (Ask/ask)))))"
       "((make 5))",
       "15"},
      {"(def Ask (effect (ask)))"
       "(defn make [z] (fn [] (with-handler [Ask] :handle (ask [k] (k 10))"
       "                        (let [y (Ask/ask)] (fn [] [z y])))))"
       "(((make 5)))",
       "[5 10]"},
      // An inner handler live at the perform is saved with it and works after the resumption.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] [:k (k 10)])"
       "  (with-handler [exn] :handle (raise [e k2] (k2 -1))"
       "    (+ (Ask/ask) (/ 1 0))))",
       "[:k 9]"},
      // A handler installed by the resumed code catches, and the code after it goes on.
      {"(def St (effect (get)))"
       "(with-handler [St] :handle (get [k] [:got (k 5)])"
       "  (let [x (St/get)]"
       "    [(with-handler [exn] :handle (raise [e k] :caught) (/ x 0)) :after]))",
       "[:got [:caught :after]]"},
      // Loops around and inside the form.
      {"(def Ask (effect (ask [x])))"
       "(loop [i 0 acc 0]"
       "  (if (< i 100)"
       "    (recur (+ i 1) (+ acc (with-handler [Ask] :handle (ask [x k] (k (* 2 x)))"
       "                           (loop [j 0 s 0] (if (< j 3) (recur (+ j 1) (+ s (Ask/ask j))) s)))))"
       "    acc))",
       "600"},
  });
}

TEST(Effects, NestedHandlersAndPerformsInsideClauses) {
  expect_cases({
      // The inner handler takes the body's perform; a perform in its clause reaches the outer
      // one, and the inner form's value flows on after it.
      {"(def E (effect (op [x])))"
       "(with-handler [E] :handle (op [x k] (k (* x 10)))"
       "  [:outer (with-handler [E] :handle (op [x k] (k (+ 1 (E/op x))))"
       "            (* 2 (E/op 5)))])",
       "[:outer 102]"},
      {"(def E (effect (op [x])))"
       "(with-handler [E] :handle (op [x k] [:o x])"
       "  (with-handler [E] :handle (op [x k] (E/op (+ x 1)))"
       "    (E/op 1)))",
       "[:o 2]"},
      // Inside its own clause the entry is busy: with no other handler the perform is
      // unhandled.
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (+ 100 (Ask/ask))) (Ask/ask))",
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
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (k 1) (k 2)) (Ask/ask))",
       "error: Invalid continuation"},
      // Not offered to `exn`: an outer handler cannot catch it.
      {"(def Ask (effect (ask)))"
       "(with-handler [exn] :handle (raise [e k] :caught)"
       "  (with-handler [Ask] :handle (ask [k] (k 1) (k 2)) (Ask/ask)))",
       "error: Invalid continuation"},
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (k)) (Ask/ask))",
       "error: Wrong number of arguments: expected 1, got 0"},
      {"(def Ask (effect (ask)))"
       "(with-handler [Ask] :handle (ask [k] (k 1 2)) (Ask/ask))",
       "error: Wrong number of arguments: expected 1, got 2"},
      {"(def Ask (effect (ask)))"
       "(with-handler [exn] :handle (raise [e k] [(get e :type) (get e :message)])"
       "  (with-handler [Ask] :handle (ask [k] (k 1 2)) (Ask/ask)))",
       "[:arity-error \"Wrong number of arguments: expected 1, got 2\"]"},
      // A continuation that escaped its `with-handler` cannot run the code it captured: that
      // code's frame is gone.
      {"(def Ask (effect (ask)))"
       "(def k (with-handler [Ask] :handle (ask [k] k) (+ 1 (Ask/ask))))"
       "(k 5)",
       "error: Invalid continuation"},
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

TEST(Effects, RuntimeErrorsAreOfferedToExnHandlers) {
  expect_cases({
      {"(with-handler [exn] :handle (raise [e k] (get e :type)) (/ 1 0))", ":division-by-zero"},
      {"(with-handler [exn] :handle (raise [e k] (get e :message)) (/ 1 0))",
       "\"Division by zero\""},
      {"(with-handler [exn] :handle (raise [e k] [(get e :type) (get e :message)])"
       "  (ghost 1))",
       "[:undefined-variable \"Undefined variable: ghost\"]"},
      {"(with-handler [exn] :handle (raise [e k] (get e :type)) (assert false \"no\"))",
       ":assertion-failed"},
      // Resumed with a value: execution goes on after the failing instruction.
      {"(with-handler [exn] :handle (raise [e k] (k 7)) (+ 1 (/ 1 0)))", "8"},
      {"(defn safe-div [a b] (with-handler [exn] :handle (raise [e k] (k 0)) (/ a b)))"
       "[(safe-div 6 3) (safe-div 1 0)]",
       "[2 0]"},
      // An error inside an `exn` clause goes to the next outer `exn` entry.
      {"(with-handler [exn] :handle (raise [e k] [:outer (get e :type)])"
       "  (with-handler [exn] :handle (raise [e k] (/ 2 0)) (ghost)))",
       "[:outer :division-by-zero]"},
      {"(with-handler [exn] :handle (raise [e k] (/ 2 0)) (ghost))", "error: Division by zero"},
      // The program's own raise with any value.
      {"(with-handler [exn] :handle (raise [e k] [:got e]) (exn/raise 42))", "[:got 42]"},
      // Never offered: unhandled effects and operations.
      {"(def Ask (effect (ask)))"
       "(with-handler [exn] :handle (raise [e k] :caught) (Ask/ask))",
       "error: Unhandled effect: Ask"},
      {"(def Ask (effect (ask)))"
       "(with-handler [exn] :handle (raise [e k] :caught)"
       "  (with-handler [Ask] :handle (tell [k] 0) (Ask/ask)))",
       "error: Unhandled operation 'Ask/ask' "},
  });
}

// ---------------------------------------------------------------------------------------------
// Across native functions that call back into the language

// Runs each program on a fresh machine with `call-back` defined; the host function must have
// returned (with a value or an error) as often as it was called.
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

// ---------------------------------------------------------------------------------------------
// Compilation

TEST(Effects, FormErrorsAreReportedInOrder) {
  const std::string named = "error: compile error: invalid syntax: with-handler requires a named "
                            "effect; local effects from let bindings are not supported — use def "
                            "instead";
  struct ErrorCase {
    const char* source;
    std::string expected;
  };
  const std::vector<ErrorCase> cases = {
      {"(effect ns/op)", "effect operation must be a list"},
      {"(effect (ns/op [x]))", "operation name must be an unqualified symbol"},
      {"(effect (1 [x]))", "operation name must be an unqualified symbol"},
      {"(effect ())", "empty operation definition"},
      {"(perform)", "perform requires an effect"},
      {"(perform (f) 1)", "perform effect must be a symbol"},
      {"(with-handler [E])", "with-handler requires at least effect and body"},
      {"(with-handler [E a] :handle (op [k] 0))",
       "with-handler effect binding must contain exactly one expression"},
      {"(with-handler [E] (E/op))", "with-handler requires at least one :handle clause"},
      {"(with-handler [E] :handle (op [k]))", ":handle clause requires (op-name [params] body...)"},
      {"(with-handler [E] :handle [op [k] 0])", ":handle clause must be a list"},
      {"(with-handler [E] :handle (\"op\" [k] 0))", "handler operation name must be a symbol"},
      {"(with-handler [E] :handle (op k 0))", "handler params must be a vector"},
      {"(with-handler [E] :handle (op [:k] 0))",
       "only simple symbol patterns supported in let bindings"},
      {"(with-handler [E] :handle (op [ns/k] 0))",
       "only simple symbol patterns supported in let bindings"},
      // A missing clause is reported before a bad effect form, clause errors in clause order.
      {"(with-handler [(f)] 1)", "with-handler requires at least one :handle clause"},
      {"(with-handler [E] :handle (op k 0) :handle [bad])", "handler params must be a vector"},
      {"(with-handler [E] :handle (op [k] (recur 1)) 1)", "recur outside of loop"},
      {"(with-handler [E] :handle (op [k] 0) (recur 1))", "recur must be in tail position"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_EQ(run(*vm, c.source), "error: compile error: invalid syntax: " + c.expected);
  }
  for (const char* source : {"(with-handler [(f)] :handle (op [k] 0) 1)",
                             "(with-handler (f) (fn [k] 0) 1)"}) {
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_EQ(run(*vm, source), named);
  }
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
