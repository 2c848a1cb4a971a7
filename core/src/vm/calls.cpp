// Calls: closure calls with clause selection and parameter matching, calls of keywords, vectors,
// sets, maps and native functions, returns, nested runs, and the entry of native code.
//
// Rooting. A closure call keeps everything it works on on the value stack: the arguments stay
// where the caller put them, the prepared locals of a clause attempt are pushed above them, and
// every object made while matching (a rest list, the one-character strings of a string matched
// against a sequence pattern) is pushed above those until it is bound or dropped. The collector
// therefore sees all of them as roots, and the call needs no side table. The closure being called
// was popped by the caller; the slow path keeps it in a RootScope.
#include <algorithm>
#include <string>
#include <utility>

#include "builtins/builtin_info.hpp"
#include "util/depth_guard.hpp"
#include "util/utf8.hpp"
#include "value/equality.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"
#include "vm/machine_internal.hpp"
#include "vm/natives/support.hpp"

namespace quorvex::machine {

namespace {

const Value& prototype_constant(const Vm& vm, std::uint32_t proto, std::uint32_t index) {
  const Prototype& p = vm.prototypes[proto];
  if (index >= p.constants.size()) internal_error("pattern constant outside the constant table");
  return p.constants[index];
}

// Starts the selected clause body whose K prepared locals are at stack[prep ..]: a new frame at
// `base`, or the reused top frame for a tail call.
std::expected<void, VmError> start_body(Vm& vm, HeapKey closure, std::uint32_t base,
                                        std::uint32_t argc, CallSite site, std::uint32_t body,
                                        std::uint32_t prep, std::uint32_t k) {
  ValueStack& st = vm.stack;
  if (site == CallSite::CompiledTail) {
    if (vm.frames.empty()) return std::unexpected(VmError::stack_underflow());
    drop_handlers_of_top_frame(vm);
    CallFrame& top = vm.frames.back();
    const std::uint32_t to = top.base;
    for (std::uint32_t i = 0; i < k; ++i)
      st[to + i] = st[prep + i];
    st.truncate(to + k);
    top.prototype = body;
    top.ip = 0;
    top.closure = closure;
    top.arg_count = static_cast<std::uint8_t>(argc);
    return {};
  }
  for (std::uint32_t i = 0; i < k; ++i)
    st[base + i] = st[prep + i];
  st.truncate(base + k);
  CallFrame frame;
  frame.base = base;
  frame.prototype = body;
  frame.closure = closure;
  frame.arg_count = static_cast<std::uint8_t>(argc);
  return push_frame(vm, frame);
}

std::expected<bool, VmError> match_pattern(Vm& vm, std::uint32_t body, const Pattern& pattern,
                                           Value value, std::uint32_t prep, std::uint32_t k);

void bind_slot(Vm& vm, std::uint32_t prep, std::uint32_t k, std::uint32_t slot, Value v) {
  if (slot < k) vm.stack[prep + slot] = v;
}

std::expected<bool, VmError> match_seq(Vm& vm, std::uint32_t body, const Pattern& pattern,
                                       Value value, std::uint32_t prep, std::uint32_t k) {
  ValueStack& st = vm.stack;
  if (value.tag == Tag::Nil) return false;
  const std::size_t mark = st.size();
  const std::size_t m = pattern.elements.size();
  const bool has_rest = pattern.rest != nullptr;
  // Elements come either from a persistent vector (a copy, so the object's slot may move) or, for
  // a string, from one-character strings pushed on the stack from `mark` on.
  ValueVector items;
  bool from_string = false;
  std::size_t n = 0;
  if (const SeqObject* seq = heap_get_as<SeqObject>(vm.heap, value)) {
    items = seq->items;
    n = items.size();
  } else if (const StringObject* str = heap_get_as<StringObject>(vm.heap, value)) {
    // A string of the wrong length is refused before any character of it is made: a long text
    // tried against a short pattern would otherwise cost an object per character.
    n = utf8_count_scalars(str->text.view());
    if ((!has_rest && n != m) || (has_rest && n < m)) return false;
    std::string text(str->text.view());
    from_string = true;
    for (std::size_t pos = 0; pos < text.size();) {
      std::size_t len = utf8_decode(text, pos).length;
      Guarded<Value> ch = alloc_string_from_slice(vm.heap, text.data() + pos, len);
      if (!ch) {
        st.truncate(mark);
        return std::unexpected(to_vm_error(ch.error()));
      }
      st.push_back(*ch);
      pos += len;
    }
  } else {
    return std::unexpected(VmError::type_error("expected sequential"));
  }
  if ((!has_rest && n != m) || (has_rest && n < m)) {
    st.truncate(mark);
    return false;
  }
  for (std::size_t i = 0; i < m; ++i) {
    Value element = from_string ? st[mark + i] : items[i];
    std::expected<bool, VmError> r = match_pattern(vm, body, pattern.elements[i], element, prep, k);
    if (!r || !*r) {
      st.truncate(mark);
      return r;
    }
  }
  if (has_rest) {
    Value rest;
    if (from_string) {
      std::expected<Value, VmError> list = make_rest_list(vm, static_cast<std::uint32_t>(mark + m),
                                                          static_cast<std::uint32_t>(n - m));
      if (!list) {
        st.truncate(mark);
        return std::unexpected(std::move(list.error()));
      }
      rest = *list;
    } else {
      // The elements are held by `value`, which the caller keeps rooted.
      rest = Value::object(heap_alloc(vm.heap, HeapObject(SeqObject{items.slice(m, n), false})));
    }
    st.push_back(rest);
    std::expected<bool, VmError> r = match_pattern(vm, body, *pattern.rest, rest, prep, k);
    if (!r || !*r) {
      st.truncate(mark);
      return r;
    }
  }
  if (pattern.has_as) bind_slot(vm, prep, k, pattern.as_slot, value);
  st.truncate(mark);
  return true;
}

std::expected<bool, VmError> match_map(Vm& vm, std::uint32_t body, const Pattern& pattern,
                                       Value value, std::uint32_t prep, std::uint32_t k) {
  if (value.tag == Tag::Nil) return false;
  const MapObject* obj = heap_get_as<MapObject>(vm.heap, value);
  if (obj == nullptr) return std::unexpected(VmError::type_error("expected map"));
  ValueMap map = obj->map; // a copy: the slot table may move while sub-patterns allocate
  for (const MapPatternEntry& entry : pattern.entries) {
    Value key = prototype_constant(vm, body, entry.key);
    Guarded<std::optional<Value>> found = map_lookup_value(vm.heap, map, key);
    if (!found) return std::unexpected(to_vm_error(found.error()));
    Value v;
    if (*found && (*found)->tag != Tag::Nil) {
      v = **found;
    } else {
      for (const MapPatternDefault& d : pattern.defaults) {
        if (d.key == entry.key) {
          v = prototype_constant(vm, body, d.value);
          break;
        }
      }
    }
    std::expected<bool, VmError> r = match_pattern(vm, body, entry.pattern, v, prep, k);
    if (!r || !*r) return r;
  }
  if (pattern.has_as) bind_slot(vm, prep, k, pattern.as_slot, value);
  return true;
}

std::expected<bool, VmError> match_variant(Vm& vm, std::uint32_t body, const Pattern& pattern,
                                           Value value, std::uint32_t prep, std::uint32_t k) {
  const Variant* var = heap_get_as<Variant>(vm.heap, value);
  if (var == nullptr) return false;
  if (var->tag.word != VariantTag::make(pattern.type_id, pattern.variant_index).word) return false;
  if (var->fields.size() != pattern.elements.size()) return false;
  for (std::size_t i = 0; i < pattern.elements.size(); ++i) {
    // Read afresh: matching the previous field may have allocated and moved the slot table.
    Value field = heap_get_as<Variant>(vm.heap, value)->fields[i];
    std::expected<bool, VmError> r = match_pattern(vm, body, pattern.elements[i], field, prep, k);
    if (!r || !*r) return r;
  }
  return true;
}

// Matches `value` (kept rooted by the caller) against the pattern, writing bound values into the
// K prepared locals at stack[prep ..].
std::expected<bool, VmError> match_pattern(Vm& vm, std::uint32_t body, const Pattern& pattern,
                                           Value value, std::uint32_t prep, std::uint32_t k) {
  DepthGuard guard;
  if (!guard) return std::unexpected(VmError::stack_overflow());
  switch (pattern.kind) {
  case Pattern::Kind::Bind:
    bind_slot(vm, prep, k, pattern.slot, value);
    return true;
  case Pattern::Kind::Wildcard:
    return true;
  case Pattern::Kind::Literal: {
    Guarded<bool> eq = values_equal(vm.heap, value, prototype_constant(vm, body, pattern.constant));
    if (!eq) return std::unexpected(to_vm_error(eq.error()));
    return *eq;
  }
  case Pattern::Kind::Seq:
    return match_seq(vm, body, pattern, value, prep, k);
  case Pattern::Kind::Map:
    return match_map(vm, body, pattern, value, prep, k);
  case Pattern::Kind::Variant:
    return match_variant(vm, body, pattern, value, prep, k);
  }
  internal_error("unknown pattern kind");
}

// Matches the clause's patterns against the argc arguments at stack[args_at ..].
std::expected<bool, VmError> bind_clause_params(Vm& vm, const FunctionClause& clause,
                                                std::uint32_t args_at, std::uint32_t argc,
                                                std::uint32_t prep, std::uint32_t k) {
  const std::uint32_t body = clause.body_prototype;
  const std::size_t fixed =
      clause.is_variadic ? clause.patterns.size() - 1 : clause.patterns.size();
  for (std::size_t i = 0; i < fixed; ++i) {
    if (i >= argc) internal_error("more parameter patterns than arguments");
    Value arg = vm.stack[args_at + i];
    std::expected<bool, VmError> r = match_pattern(vm, body, clause.patterns[i], arg, prep, k);
    if (!r || !*r) return r;
  }
  if (clause.is_variadic && !clause.patterns.empty()) {
    std::expected<Value, VmError> rest =
        make_rest_list(vm, args_at + clause.arity, argc - clause.arity);
    if (!rest) return std::unexpected(std::move(rest.error()));
    const std::size_t mark = vm.stack.size();
    vm.stack.push_back(*rest);
    std::expected<bool, VmError> r =
        match_pattern(vm, body, clause.patterns.back(), *rest, prep, k);
    vm.stack.truncate(mark);
    return r;
  }
  return true;
}

std::string wrong_arguments_text(std::span<const FunctionClause> clauses, std::uint32_t argc) {
  std::string text = "Wrong number of arguments (" + std::to_string(argc) + "), function expects [";
  for (std::size_t i = 0; i < clauses.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(clauses[i].arity);
    if (clauses[i].is_variadic) text += "+";
  }
  text += "]";
  return text;
}

} // namespace

std::expected<void, VmError> enter_closure_slow(Vm& vm, HeapKey closure, std::uint32_t base,
                                                std::uint32_t argc, CallSite site) {
  ValueStack& st = vm.stack;
  RootScope roots(vm.heap);
  roots.add(closure);
  // A share of the record keeps the clauses alive and in place whatever the heap does meanwhile.
  FunctionRef function = heap_get_as<Closure>(vm.heap, closure)->function;
  std::span<const FunctionClause> clauses = function.clauses();
  const std::uint32_t args_end = base + argc;
  bool arity_existed = false;

  for (const FunctionClause& clause : clauses) {
    if (!arity_fits(clause, argc)) continue;
    arity_existed = true;
    const std::uint32_t body = clause.body_prototype;
    const std::uint32_t k = local_count_of(vm, body);
    st.truncate(args_end);
    const auto prep = static_cast<std::uint32_t>(st.size());
    st.push_nils(k);

    if (!clause.patterns.empty() && !is_direct_form(clause)) {
      std::expected<bool, VmError> matched = bind_clause_params(vm, clause, base, argc, prep, k);
      if (!matched) {
        st.truncate(base);
        return std::unexpected(std::move(matched.error()));
      }
      if (!*matched) continue;
    } else if (!clause.is_variadic) {
      for (std::uint32_t i = 0; i < std::min(argc, k); ++i)
        st[prep + i] = st[base + i];
    } else {
      const std::uint32_t fixed = std::min<std::uint32_t>(clause.arity, k);
      for (std::uint32_t i = 0; i < fixed; ++i)
        st[prep + i] = st[base + i];
      if (clause.arity < k) {
        std::expected<Value, VmError> rest =
            make_rest_list(vm, base + clause.arity, argc - clause.arity);
        if (!rest) {
          st.truncate(base);
          return std::unexpected(std::move(rest.error()));
        }
        st[prep + clause.arity] = *rest;
      }
    }

    if (clause.has_guard) {
      std::expected<Value, VmError> verdict =
          run_nested(vm, clause.guard_prototype, closure, prep, k);
      if (!verdict) {
        st.truncate(base);
        VmError& e = verdict.error();
        // The guard's run is gone, but a compiled call that ran it is whole: its loop offers the
        // error at the call, and a resumption gives the call its value. A perform carried out of
        // the guard still cannot be resumed (its continuation would return into the guard), nor
        // can anything that ends a native's call.
        if (site != CallSite::Native && !vm.unwind_past_native && !carries_pending_perform(vm, e))
          e.crossed_native = false;
        return std::unexpected(std::move(e));
      }
      if (!is_truthy(*verdict)) continue;
    }
    return start_body(vm, closure, base, argc, site, body, prep, k);
  }

  st.truncate(base);
  if (arity_existed) return std::unexpected(VmError::no_matching_clause());
  if (site == CallSite::Native) {
    std::uint8_t expected = 0;
    if (!clauses.empty()) {
      expected = std::min_element(clauses.begin(), clauses.end(), [](const auto& x, const auto& y) {
                   return x.arity < y.arity;
                 })->arity;
    }
    return std::unexpected(VmError::arity(expected, static_cast<std::uint8_t>(argc)));
  }
  return std::unexpected(VmError::value_error(wrong_arguments_text(clauses, argc)));
}

namespace {

// A copy of native arguments off the stack: small calls need no allocation.
class ArgBuffer {
public:
  explicit ArgBuffer(std::size_t n) : n_(n) {
    if (n > kInline) big_.resize(n);
  }
  Value* data() { return n_ > kInline ? big_.data() : small_; }
  std::span<const Value> span() { return {data(), n_}; }

private:
  static constexpr std::size_t kInline = 16;
  // Left uninitialised: the caller copies into every slot it uses, and clearing all sixteen on
  // each call of a native function cost more than most builtins' own work.
  union {
    Value small_[kInline];
  };
  std::vector<Value> big_;
  std::size_t n_;
};

} // namespace

VmError frame_limit_error(Vm& vm) {
  // The frame limit ends the run: nothing offers this error to the program.
  vm.run_aborting = true;
  return VmError::stack_overflow();
}

std::expected<void, VmError> call_closure(Vm& vm, HeapKey closure, std::span<const Value> args) {
  ValueStack& st = vm.stack;
  // Arguments handed in from the stack itself would move when it grows: copy them first.
  std::vector<Value> copy;
  const auto at = reinterpret_cast<std::uintptr_t>(args.data());
  const auto lo = reinterpret_cast<std::uintptr_t>(st.data());
  if (!args.empty() && at >= lo && at < lo + st.capacity() * sizeof(Value)) {
    copy.assign(args.begin(), args.end());
    args = copy;
  }
  const auto base = static_cast<std::uint32_t>(st.size());
  if (heap_get_as<Closure>(vm.heap, closure) == nullptr) {
    return std::unexpected(VmError::not_callable());
  }
  st.reserve_extra(args.size());
  for (const Value& v : args)
    st.push_back(v);
  std::expected<void, VmError> r =
      enter_closure(vm, closure, base, static_cast<std::uint32_t>(args.size()), CallSite::Native);
  if (!r) st.truncate(base);
  return r;
}

std::expected<Value, VmError> run_nested(Vm& vm, std::uint32_t prototype, HeapKey closure,
                                         std::uint32_t args_at, std::uint32_t count) {
  DepthGuard guard;
  if (!guard) {
    vm.run_aborting = true;
    return std::unexpected(VmError::stack_overflow());
  }
  ValueStack& st = vm.stack;
  const auto s0 = static_cast<std::uint32_t>(st.size());
  const auto f0 = static_cast<std::uint32_t>(vm.frames.size());
  const auto h0 = static_cast<std::uint32_t>(vm.handlers.size());
  // A guard may declare more locals than the clause body it guards: give it all it needs.
  const std::uint32_t slots = std::max(count, local_count_of(vm, prototype));
  st.reserve_extra(slots);
  for (std::uint32_t i = 0; i < count; ++i) {
    Value v = st[args_at + i];
    st.push_back(v);
  }
  st.push_nils(slots - count);
  CallFrame frame;
  frame.base = s0;
  frame.prototype = prototype;
  frame.closure = closure;
  std::expected<Value, VmError> r;
  if (std::expected<void, VmError> pushed = push_frame(vm, frame); !pushed) {
    r = std::unexpected(std::move(pushed.error()));
  } else {
    r = execute(vm, RunRecord{RunKind::Guard, f0, s0, h0});
  }
  if (!r && !vm.unwind_past_native) {
    cut_stacks(vm, s0, f0, h0);
    r.error().crossed_native = true;
  }
  return r;
}

std::expected<Value, VmError> make_rest_list(Vm& vm, std::uint32_t from, std::uint32_t count) {
  SeqObject seq;
  // `apply` can hand a function millions of rest arguments: their list is then built a chunk at
  // a time, with a poll between chunks.
  constexpr std::uint32_t kRestChunk = std::uint32_t{1} << 16;
  if (count <= kRestChunk) [[likely]] {
    seq.items = ValueVector::from_range(vm.stack.data() + from, vm.stack.data() + from + count);
  } else {
    for (std::uint32_t done = 0; done < count; ++done) {
      if (done % kRestChunk == 0 && done != 0) {
        vm.interrupt_countdown = 1;
        if (std::optional<VmError> stop = count_native_step(vm)) {
          return std::unexpected(std::move(*stop));
        }
      }
      seq.items.push_back_mut(vm.stack[from + done]);
    }
  }
  seq.is_vector = false;
  // The values are still on the stack, and the pending object's references are roots as well.
  return Value::object(heap_alloc(vm.heap, HeapObject(std::move(seq))));
}

void drop_handlers_of_top_frame(Vm& vm) {
  const std::size_t depth = vm.frames.size();
  std::erase_if(vm.handlers, [depth](const HandlerEntry& e) { return e.frame_count >= depth; });
}

bool return_from_frame_slow(Vm& vm, Value result) {
  ValueStack& st = vm.stack;
  if (vm.frames.back().kind == FrameKind::InPlace) {
    finish_in_place(vm, result);
    return false;
  }
  if (vm.frames.back().kind == FrameKind::AbortOnly) {
    const CallFrame frame = vm.frames.back();
    vm.frames.pop_back();
    std::optional<std::size_t> entry;
    if (frame.handler_index < vm.handlers.size()) entry = frame.handler_index;
    return return_from_clause(vm, frame.abort_to, result, entry);
  }
  const CallFrame frame = vm.frames.back();
  vm.frames.pop_back();
  if (frame.has_handler_index() && frame.handler_index < vm.handlers.size()) {
    vm.handlers[frame.handler_index].active = 1;
  }
  if (frame.abort_to.present()) return return_from_clause(vm, frame.abort_to, result);
  st.truncate(frame.base);
  if (vm.frames.empty()) return true;
  st.push_back(result);
  return false;
}

Value keyword_lookup(const Vm& vm, Spur keyword, const Value& target, const Value& fallback) {
  if (target.tag != Tag::Object) return fallback;
  const HeapObject* obj = heap_get(vm.heap, target.as.key);
  if (obj == nullptr) return fallback;
  if (const Variant* variant = obj->get_if<Variant>()) {
    std::optional<FieldRef> field = variant_get_field(vm.types, *variant, keyword);
    return field ? field->value : fallback;
  }
  if (const MapObject* map = obj->get_if<MapObject>()) {
    const Value* found = map->map.find(Value::keyword(keyword));
    return found != nullptr ? *found : fallback;
  }
  return fallback;
}

std::uint16_t builtin_conj_row() {
  static const std::uint16_t row = [] {
    std::optional<std::uint16_t> found = find_builtin_index("conj");
    if (!found) internal_error("builtin table has no conj");
    return *found;
  }();
  return row;
}

std::expected<void, VmError> call_native_from_stack(Vm& vm, std::uint16_t index,
                                                    std::uint32_t argc) {
  ValueStack& st = vm.stack;
  if (st.size() < argc) {
    st.clear();
    return std::unexpected(VmError::stack_underflow());
  }
  // `conj` of one element onto a vector is how a loop builds a vector. It runs here without the
  // argument copy, root scope and dispatch of a native call: its two arguments stay on the stack,
  // rooted, until the new vector replaces them, and it calls nothing back. The allocation tests
  // for a collection as every allocation outside a native does.
  if (argc == 2 && index == builtin_conj_row() && index < vm.natives.size()) {
    const std::size_t n = st.size();
    if (std::optional<Value> r = conj_onto_vector(vm.heap, st[n - 2], st[n - 1])) {
      st.truncate(n - 2);
      st.push_back(*r);
      return {};
    }
  }
  ArgBuffer args(argc);
  const std::size_t from = st.size() - argc;
  std::copy(st.data() + from, st.data() + from + argc, args.data());
  st.truncate(from);
  NativeResult r = [&] {
    NativeCallScope in_native(vm.heap);
    return call_native(vm, index, args.span());
  }();
  if (vm.unwind_past_native) [[unlikely]] {
    if (native_call_was_cut(vm)) return std::unexpected(cut_run_error());
    return {}; // the unwind left the `with-handler` form's value where the native's would go
  }
  if (!r) return std::unexpected(std::move(r.error()));
  st.push_back(*r);
  // Whatever the native allocated was allocated without a collection test; a loop whose only
  // allocations happen in natives must still collect. The result is on the stack, a root.
  collect_if_threshold_reached(vm.heap);
  return {};
}

VmError cut_run_error() {
  return VmError::value_error("a callback was cut off by an unwind past the native that called it");
}

bool native_call_was_cut(Vm& vm) {
  if (vm.runs.back().cut) return true;
  vm.unwind_past_native = false;
  return false;
}

namespace {

// A call that is refused takes its arguments off the stack with it: an `exn` clause that resumes
// the program then finds its value exactly where the call's result would have gone, not on top of
// arguments that no instruction will ever pop.
std::unexpected<VmError> refuse_call(ValueStack& st, std::size_t args_at, VmError error) {
  st.truncate(args_at);
  return std::unexpected(std::move(error));
}

} // namespace

std::expected<OtherCallResult, VmError> call_non_closure(Vm& vm, Value callee, std::uint32_t argc,
                                                         bool tail) {
  ValueStack& st = vm.stack;
  const std::size_t n = st.size();
  const auto got = static_cast<std::uint8_t>(argc);
  switch (callee.tag) {
  case Tag::Keyword: {
    if (argc != 1 && argc != 2) return refuse_call(st, n - argc, VmError::arity(1, got));
    Value target = st[n - argc];
    Value fallback = argc == 2 ? st[n - 1] : Value::nil();
    st.truncate(n - argc);
    st.push_back(keyword_lookup(vm, callee.as.spur, target, fallback));
    return OtherCallResult{};
  }
  case Tag::NativeFn: {
    if (!tail) {
      std::expected<void, VmError> r = call_native_from_stack(vm, callee.as.native, argc);
      if (!r) return std::unexpected(std::move(r.error()));
      return OtherCallResult{};
    }
    ArgBuffer args(argc);
    std::copy(st.data() + (n - argc), st.data() + n, args.data());
    st.truncate(n - argc);
    drop_handlers_of_top_frame(vm);
    NativeResult r;
    {
      NativeCallScope in_native(vm.heap);
      r = call_native(vm, callee.as.native, args.span());
    }
    if (vm.unwind_past_native) [[unlikely]] {
      if (native_call_was_cut(vm)) return std::unexpected(cut_run_error());
      return OtherCallResult{};
    }
    if (!r) return std::unexpected(std::move(r.error()));
    if (vm.frames.empty()) return OtherCallResult{true, *r};
    if (return_from_frame(vm, *r)) return OtherCallResult{true, *r};
    // As after any native call; the result is on the caller's stack.
    collect_if_threshold_reached(vm.heap);
    return OtherCallResult{};
  }
  case Tag::Object:
    break;
  default:
    return refuse_call(st, n - argc, VmError::not_callable());
  }
  const HeapObject* obj = heap_get(vm.heap, callee.as.key);
  if (obj == nullptr) return refuse_call(st, n - argc, VmError::not_callable());
  switch (obj->kind()) {
  case ObjectKind::Seq: {
    const SeqObject& seq = *obj->get_if<SeqObject>();
    if (!seq.is_vector) return refuse_call(st, n - argc, VmError::not_callable());
    if (argc != 1) return refuse_call(st, n - argc, VmError::arity(1, got));
    Value index = st[n - 1];
    st.truncate(n - 1);
    if (index.tag != Tag::Int)
      return std::unexpected(VmError::type_error("vector index must be integer"));
    const std::int64_t i = index.as.integer;
    if (i < 0 || static_cast<std::uint64_t>(i) >= seq.items.size()) {
      return std::unexpected(VmError::index_out_of_bounds(i, seq.items.size()));
    }
    Value element = seq.items[static_cast<std::size_t>(i)];
    st.push_back(element);
    return OtherCallResult{};
  }
  case ObjectKind::Set: {
    if (argc != 1) return refuse_call(st, n - argc, VmError::arity(1, got));
    Value element = st[n - 1];
    // Elements are stored as canonical keys, so the lookup goes through the argument's
    // canonical twin: a string built at run time finds the literal it equals.
    Guarded<bool> member = set_contains(vm.heap, obj->get_if<SetObject>()->set, element);
    if (!member) return refuse_call(st, n - 1, to_vm_error(member.error()));
    st.truncate(n - 1);
    st.push_back(*member ? element : Value::nil());
    return OtherCallResult{};
  }
  case ObjectKind::Map: {
    if (argc != 1 && argc != 2) return refuse_call(st, n - argc, VmError::arity(1, got));
    Value key = st[n - argc];
    Value fallback = argc == 2 ? st[n - 1] : Value::nil();
    Guarded<std::optional<Value>> found =
        map_lookup_value(vm.heap, obj->get_if<MapObject>()->map, key);
    if (!found) return refuse_call(st, n - argc, to_vm_error(found.error()));
    Value v = *found ? **found : fallback;
    st.truncate(n - argc);
    st.push_back(v);
    return OtherCallResult{};
  }
  case ObjectKind::Continuation: {
    if (argc != 1) return refuse_call(st, n - argc, VmError::arity(1, got));
    Value v = st[n - 1];
    st.truncate(n - 1);
    std::expected<void, VmError> r = resume_continuation(vm, callee.as.key, v);
    if (!r) return std::unexpected(std::move(r.error()));
    return OtherCallResult{};
  }
  case ObjectKind::Closure: {
    std::expected<void, VmError> r =
        enter_closure(vm, callee.as.key, static_cast<std::uint32_t>(n - argc), argc,
                      tail ? CallSite::CompiledTail : CallSite::Compiled);
    if (!r) return std::unexpected(std::move(r.error()));
    return OtherCallResult{};
  }
  default:
    return refuse_call(st, n - argc, VmError::not_callable());
  }
}

} // namespace quorvex::machine

namespace quorvex {

std::optional<VmError> count_native_step(Vm& vm) {
  if (--vm.interrupt_countdown != 0) [[likely]]
    return std::nullopt;
  return machine::poll_interrupt(vm);
}

NativeResult call_value_from_native(Vm& vm, Value callee, std::span<const Value> args) {
  using namespace machine;
  // Calls from native code count towards the interrupt poll like compiled calls, so that a
  // builtin looping over a long collection can be interrupted.
  if (--vm.interrupt_countdown == 0) [[unlikely]] {
    if (std::optional<VmError> e = poll_interrupt(vm)) return std::unexpected(std::move(*e));
  }
  const auto got = static_cast<std::uint8_t>(args.size());
  switch (callee.tag) {
  case Tag::Keyword:
    if (args.size() != 1 && args.size() != 2) return std::unexpected(VmError::arity(1, got));
    return keyword_lookup(vm, callee.as.spur, args[0], args.size() == 2 ? args[1] : Value::nil());
  case Tag::NativeFn: {
    // A native applying a native (`apply` applying `apply`...) nests on the C stack too.
    DepthGuard guard;
    if (!guard) {
      vm.run_aborting = true;
      return std::unexpected(VmError::stack_overflow());
    }
    NativeCallScope in_native(vm.heap);
    NativeResult r = call_native(vm, callee.as.native, args);
    if (vm.unwind_past_native) [[unlikely]]
      return std::unexpected(cut_run_error());
    return r;
  }
  case Tag::Object:
    break;
  default:
    return std::unexpected(VmError::not_callable());
  }
  const HeapObject* object = heap_get(vm.heap, callee.as.key);
  const ObjectKind kind = object != nullptr ? object->kind() : ObjectKind::Closure;
  if (kind == ObjectKind::Set) {
    const SetObject* set = object->get_if<SetObject>();
    if (args.size() != 1) return std::unexpected(VmError::arity(1, got));
    Guarded<bool> member = set_contains(vm.heap, set->set, args[0]);
    if (!member) return std::unexpected(to_vm_error(member.error()));
    return *member ? args[0] : Value::nil();
  }
  // A map looks its key up as in compiled code, so `(map {:a 1} ks)` works like `(map :a ms)`.
  if (kind == ObjectKind::Map) {
    const MapObject* map = object->get_if<MapObject>();
    if (args.size() != 1 && args.size() != 2) return std::unexpected(VmError::arity(1, got));
    Guarded<std::optional<Value>> found = map_lookup_value(vm.heap, map->map, args[0]);
    if (!found) return std::unexpected(to_vm_error(found.error()));
    return found->value_or(args.size() == 2 ? args[1] : Value::nil());
  }
  DepthGuard guard;
  if (!guard) {
    vm.run_aborting = true;
    return std::unexpected(VmError::stack_overflow());
  }
  const auto s0 = static_cast<std::uint32_t>(vm.stack.size());
  const auto f0 = static_cast<std::uint32_t>(vm.frames.size());
  const auto h0 = static_cast<std::uint32_t>(vm.handlers.size());
  // The callback may collect, however many natives are in progress around it: each of them
  // roots what it still needs (its arguments are rooted by call_native).
  CollectionAllowed in_callback(vm.heap);
  if (std::expected<void, VmError> entered = call_closure(vm, callee.as.key, args); !entered) {
    return std::unexpected(std::move(entered.error()));
  }
  std::expected<Value, VmError> r = execute(vm, RunRecord{RunKind::Callback, f0, s0, h0});
  if (!r && !vm.unwind_past_native) {
    // A failed callback leaves nothing behind for later code to run into. A cut one has nothing
    // left: the stacks belong to the run the unwind landed in.
    cut_stacks(vm, s0, f0, h0);
    r.error().crossed_native = true;
  }
  return r;
}

} // namespace quorvex

namespace quorvex {

RepeatedCall::RepeatedCall(Vm& vm, Value callee) : vm_(vm), callee_(callee), kind_(Kind::Other) {
  if (callee.tag == Tag::NativeFn) {
    kind_ = Kind::Native;
  } else if (callee.tag == Tag::Object) {
    // A key that names no live object fails as call_value_from_native fails it, from the
    // closure path.
    const HeapObject* object = heap_get(vm.heap, callee.as.key);
    if (object == nullptr || object->kind() == ObjectKind::Closure) kind_ = Kind::Closure;
  }
}

// The same choice as enter_closure's inline path: the first clause whose arity fits, when it
// has no guard and binds its parameters straight to the first locals.
void RepeatedCall::plan(std::uint32_t argc) {
  using namespace machine;
  plan_argc_ = argc;
  plan_body_ = kNoPlan;
  const Closure* clo = live_closure(vm_.heap, callee_.as.key);
  if (clo == nullptr) return;
  for (const FunctionClause& clause : clo->function.clauses()) {
    if (!arity_fits(clause, argc)) continue;
    if (clause.has_guard || !is_direct_form(clause)) return;
    plan_body_ = clause.body_prototype;
    plan_locals_ = local_count_of(vm_, plan_body_);
    return;
  }
}

// Pushes the arguments and the root frame of one call, as enter_closure's inline path would, on
// a machine where collection is allowed. On failure the stack is as before and `error` says why.
bool RepeatedCall::start_call(std::span<const Value> args, std::optional<VmError>& error) {
  using namespace machine;
  Vm& vm = vm_;
  ValueStack& st = vm.stack;
  const auto s0 = static_cast<std::uint32_t>(st.size());
  const auto argc = static_cast<std::uint32_t>(args.size());
  if (argc != plan_argc_) plan(argc);
  for (const Value& v : args)
    st.push_back(v);
  if (plan_body_ != kNoPlan && vm.frames.size() < kMaxFrames) [[likely]] {
    if (plan_locals_ > argc) st.push_nils(plan_locals_ - argc);
    if (vm.frames.full()) [[unlikely]]
      vm.frames.reserve(vm.frames.capacity() < 32 ? 64 : vm.frames.capacity() * 2);
    CallFrame& frame = vm.frames.push_unchecked();
    frame.base = s0;
    frame.prototype = plan_body_;
    frame.closure = callee_.as.key;
    frame.arg_count = static_cast<std::uint8_t>(argc);
    return true;
  }
  if (std::expected<void, VmError> entered =
          enter_closure(vm, callee_.as.key, s0, argc, CallSite::Native);
      !entered) {
    // Also the frame limit's error, which enter_closure's push gives as well.
    st.truncate(s0);
    error = std::move(entered.error());
    return false;
  }
  return true;
}

NativeResult RepeatedCall::operator()(std::span<const Value> args) {
  using namespace machine;
  if (kind_ == Kind::Other) return call_value_from_native(vm_, callee_, args);
  Vm& vm = vm_;
  if (--vm.interrupt_countdown == 0) [[unlikely]] {
    if (std::optional<VmError> e = poll_interrupt(vm)) return std::unexpected(std::move(*e));
  }
  if (!guard_) guard_.emplace();
  if (!*guard_) {
    vm.run_aborting = true;
    return std::unexpected(VmError::stack_overflow());
  }
  if (kind_ == Kind::Native) {
    NativeCallScope in_native(vm.heap);
    NativeResult r = call_native(vm, callee_.as.native, args);
    if (vm.unwind_past_native) [[unlikely]]
      return std::unexpected(cut_run_error());
    return r;
  }
  ValueStack& st = vm.stack;
  const auto s0 = static_cast<std::uint32_t>(st.size());
  const auto f0 = static_cast<std::uint32_t>(vm.frames.size());
  const auto h0 = static_cast<std::uint32_t>(vm.handlers.size());
  CollectionAllowed in_callback(vm.heap);
  std::optional<VmError> error;
  if (!start_call(args, error)) return std::unexpected(std::move(*error));
  std::expected<Value, VmError> r = execute(vm, RunRecord{RunKind::Callback, f0, s0, h0});
  if (!r && !vm.unwind_past_native) {
    cut_stacks(vm, s0, f0, h0);
    r.error().crossed_native = true;
  }
  return r;
}

// The steps of a walk between two calls of its run. Each answer is taken, and the next call's
// arguments made, with the builtin's own nesting of natives, so that nothing collects while the
// builtin works on what it holds; the calls themselves may collect.
class RepeatedCall::Feed final : public CallbackFeed {
public:
  Feed(RepeatedCall& call, Steps& steps, std::size_t count, std::uint32_t native_depth,
       std::uint32_t frame_depth)
      : call_(call), steps_(steps), count_(count), native_depth_(native_depth),
        frame_depth_(frame_depth) {}

  bool next(Value answer) override {
    Vm& vm = call_.vm_;
    std::span<const Value> args;
    {
      InBuiltin in_builtin(vm.heap, native_depth_);
      std::expected<bool, VmError> go = steps_.take(index_, answer);
      if (!go) {
        error = std::move(go.error());
        return false;
      }
      if (!*go || ++index_ == count_) return false;
      if (--vm.interrupt_countdown == 0) [[unlikely]] {
        if (std::optional<VmError> e = machine::poll_interrupt(vm)) {
          error = std::move(e);
          return false;
        }
      }
      args = steps_.args(index_);
    }
    if (!call_.start_call(args, error)) return false;
    vm.frames[frame_depth_].run_root = vm.runs.back().root_frame;
    return true;
  }

  std::optional<VmError> error;

private:
  struct InBuiltin {
    InBuiltin(Heap& heap, std::uint32_t depth) : heap_(heap) { heap_.native_depth = depth; }
    ~InBuiltin() { heap_.native_depth = 0; }
    InBuiltin(const InBuiltin&) = delete;
    InBuiltin& operator=(const InBuiltin&) = delete;
    Heap& heap_;
  };

  RepeatedCall& call_;
  Steps& steps_;
  std::size_t count_;
  std::size_t index_ = 0;
  std::uint32_t native_depth_;
  std::uint32_t frame_depth_;
};

std::optional<VmError> RepeatedCall::each(std::size_t count, Steps& steps) {
  using namespace machine;
  if (count == 0) return std::nullopt;
  if (kind_ != Kind::Closure) {
    for (std::size_t i = 0; i < count; ++i) {
      NativeResult r = (*this)(steps.args(i));
      if (!r) return std::move(r.error());
      std::expected<bool, VmError> go = steps.take(i, *r);
      if (!go) return std::move(go.error());
      if (!*go) break;
    }
    return std::nullopt;
  }
  Vm& vm = vm_;
  if (--vm.interrupt_countdown == 0) [[unlikely]] {
    if (std::optional<VmError> e = poll_interrupt(vm)) return e;
  }
  if (!guard_) guard_.emplace();
  if (!*guard_) {
    vm.run_aborting = true;
    return VmError::stack_overflow();
  }
  const auto s0 = static_cast<std::uint32_t>(vm.stack.size());
  const auto f0 = static_cast<std::uint32_t>(vm.frames.size());
  const auto h0 = static_cast<std::uint32_t>(vm.handlers.size());
  std::span<const Value> first = steps.args(0);
  Feed feed(*this, steps, count, vm.heap.native_depth, f0);
  CollectionAllowed in_callback(vm.heap);
  if (!start_call(first, feed.error)) return std::move(feed.error);
  RunRecord run{RunKind::Callback, f0, s0, h0};
  run.feed = &feed;
  std::expected<Value, VmError> r = execute(vm, run);
  if (!r) {
    if (!vm.unwind_past_native) {
      cut_stacks(vm, s0, f0, h0);
      r.error().crossed_native = true;
    }
    return std::move(r.error());
  }
  return std::move(feed.error);
}

} // namespace quorvex
