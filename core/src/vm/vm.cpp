// The machine object: construction, globals, roots, host functions, native dispatch and the
// location of runtime errors.
#include "vm/vm.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "util/internal_error.hpp"
#include "vm/fusion.hpp"
#include "vm/instruction.hpp"
#include "vm/machine_internal.hpp"

namespace quorvex {

// ---------------------------------------------------------------------------------------------
// Value stack

void ValueStack::grow_to(std::size_t n) {
  if (n > SIZE_MAX / sizeof(Value)) throw std::bad_alloc();
  const std::size_t used = size();
  // Value is trivially copyable, so the buffer may move bytewise.
  void* p = std::realloc(static_cast<void*>(data_), n * sizeof(Value));
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<Value*>(p);
  top_ = data_ + used;
  end_ = data_ + n;
}

void FrameStack::grow_to(std::size_t n) {
  static_assert(std::is_trivially_copyable_v<CallFrame>);
  if (n > SIZE_MAX / sizeof(CallFrame)) throw std::bad_alloc();
  const std::size_t used = size();
  void* p = std::realloc(static_cast<void*>(data_), n * sizeof(CallFrame));
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<CallFrame*>(p);
  top_ = data_ + used;
  end_ = data_ + n;
}

void ValueStack::push_grow(Value v) {
  // `v` is a copy: the caller's reference may point into the buffer that grow_to frees.
  const std::size_t cap = capacity();
  grow_to(cap * 2 > 16 ? cap * 2 : 16);
  *top_++ = v;
}

// ---------------------------------------------------------------------------------------------
// Construction

namespace {
std::atomic<std::uint64_t> g_next_machine_serial{1};
} // namespace

Vm::Vm() : serial(g_next_machine_serial.fetch_add(1, std::memory_order_relaxed)) {
  heap.root_source = this;
  heap.walk_monitor = this;
}

Vm::~Vm() {
  // The heap's objects go with it; make sure nothing calls back into a machine being destroyed.
  heap.root_source = nullptr;
  heap.walk_monitor = nullptr;
}

bool Vm::stop_walk() {
  std::optional<VmError> e = machine::poll_interrupt(*this);
  if (!e) return false;
  walk_stop_error = std::move(*e);
  return true;
}

namespace {

HeapKey insert_optic(Heap& heap, OpticKind kind) {
  return heap_insert(heap, HeapObject(Optic{kind}));
}

HeapKey insert_effect(Vm& vm, EffectId id, Spur name,
                      std::initializer_list<std::pair<const char*, std::uint8_t>> ops) {
  Effect effect;
  for (const auto& [op, arity] : ops) {
    effect.operations.push_back(EffectOp{vm.interner.get_or_intern(op), arity});
  }
  effect.id = id;
  effect.name = name;
  return heap_insert(vm.heap, HeapObject(std::move(effect)));
}

} // namespace

std::unique_ptr<Vm> vm_new() {
  auto vm = std::make_unique<Vm>();

  // Predefined optics occupy slots 1 to 5, inserted without a collection check.
  vm->builtin_optics[0] = insert_optic(vm->heap, OpticKind{OpticKind::Each{}});
  vm->builtin_optics[1] = insert_optic(vm->heap, OpticKind{OpticKind::Vals{}});
  vm->builtin_optics[2] = insert_optic(vm->heap, OpticKind{OpticKind::Keys{}});
  vm->builtin_optics[3] = insert_optic(vm->heap, OpticKind{OpticKind::Deep{}});
  vm->builtin_optics[4] = insert_optic(vm->heap, OpticKind{OpticKind::Some{}});

  vm->natives = builtin_table();
  for (const Builtin& row : vm->natives) {
    if (row.doc.empty()) continue;
    Spur name = vm->interner.get_or_intern(row.name);
    vm->docs[name] = DocEntry{std::nullopt, std::string(row.doc), DocKind::Builtin};
  }

  vm->stack.reserve(1024);
  vm->frames.reserve(64);
  vm->handlers.reserve(16);

  for (std::size_t i = 0; i < vm->natives.size(); ++i) {
    Spur name = vm->interner.get_or_intern(vm->natives[i].name);
    define_global(*vm, name, Value::native_fn(static_cast<std::uint16_t>(i)));
  }

  Spur exn = vm->interner.get_or_intern("exn");
  HeapKey exn_key = insert_effect(*vm, kExnEffectId, exn, {{"raise", 1}});
  define_global(*vm, exn, Value::object(exn_key));

  Spur console = vm->interner.get_or_intern("console");
  HeapKey console_key = insert_effect(*vm, kConsoleEffectId, console,
                                      {{"print", 1}, {"println", 1}, {"read-line", 0}});
  define_global(*vm, console, Value::object(console_key));

  Spur random = vm->interner.get_or_intern("random");
  HeapKey random_key = insert_effect(*vm, kRandomEffectId, random, {{"rand", 0}, {"rand-int", 1}});
  define_global(*vm, random, Value::object(random_key));

  const std::pair<const char*, int> optic_globals[] = {{"each", 0}, {"_vals", 1}, {"_keys", 2},
                                                       {"deep", 3}, {"DEEP", 3},  {"_some", 4}};
  for (const auto& [name, which] : optic_globals) {
    define_global(*vm, vm->interner.get_or_intern(name),
                  Value::object(vm->builtin_optics[static_cast<std::size_t>(which)]));
  }
  return vm;
}

// ---------------------------------------------------------------------------------------------
// Globals, effects, prototypes

void define_global(Vm& vm, Spur name, Value value) {
  auto it = vm.global_index.find(name);
  if (it != vm.global_index.end()) {
    if (it->second >= vm.globals.size()) machine::internal_error("global index out of bounds");
    vm.globals[it->second] = value;
    return;
  }
  std::uint32_t position = 0;
  if (auto reserved = vm.reserved_globals.find(name); reserved != vm.reserved_globals.end()) {
    position = reserved->second;
    if (position >= vm.globals.size()) machine::internal_error("global index out of bounds");
    vm.reserved_globals.erase(reserved);
  } else {
    position = static_cast<std::uint32_t>(vm.globals.size());
    vm.globals.push_back(Value::nil());
  }
  vm.global_index.emplace(name, position);
  if (vm.global_slots.size() <= name) vm.global_slots.resize(std::size_t{name} + 1 + name / 2, 0);
  vm.global_slots[name] = position + 1;
  vm.globals[position] = value;
}

std::optional<std::uint32_t> reserve_global(Vm& vm, Spur name) {
  if (std::optional<std::uint32_t> bound = vm.find_global(name)) return bound;
  if (auto it = vm.reserved_globals.find(name); it != vm.reserved_globals.end()) return it->second;
  const std::size_t position = vm.globals.size();
  if (position > 0xFFFF) return std::nullopt;
  vm.reserved_globals.emplace(name, static_cast<std::uint32_t>(position));
  vm.globals.push_back(unbound_global());
  return static_cast<std::uint32_t>(position);
}

std::optional<VmError> unbound_global_read(const Vm& vm, std::uint32_t index) {
  for (const auto& [name, position] : vm.reserved_globals) {
    if (position == index)
      return VmError::undefined_variable(std::string(vm.interner.resolve(name)));
  }
  return std::nullopt;
}

std::optional<EffectId> find_effect_id(const Vm& vm, std::string_view name) {
  std::optional<Spur> spur = vm.interner.get(name);
  if (!spur) return std::nullopt;
  auto it = vm.global_index.find(*spur);
  if (it == vm.global_index.end() || it->second >= vm.globals.size()) return std::nullopt;
  const Effect* effect = heap_get_as<Effect>(vm.heap, vm.globals[it->second]);
  if (effect == nullptr) return std::nullopt;
  return effect->id;
}

std::uint32_t add_prototype(Vm& vm, Prototype prototype) {
  Vm::PrototypeSlot slot;
  slot.live = true;
  for (const Instruction& ins : prototype.code) {
    if (ins.op_byte() == static_cast<std::uint8_t>(Opcode::MakeClosure))
      slot.children.push_back(ins.ab());
  }
  ++vm.prototypes_added;
  if (vm.free_prototypes.empty()) {
    auto index = static_cast<std::uint32_t>(vm.prototypes.size());
    vm.prototypes.push_back(std::move(prototype));
    vm.prototype_slots.push_back(std::move(slot));
    return index;
  }
  const std::uint32_t index = vm.free_prototypes.back();
  vm.free_prototypes.pop_back();
  vm.prototypes[index] = std::move(prototype);
  vm.prototype_slots[index] = std::move(slot);
  // Views past the end are made on first use; one already there described the freed prototype.
  if (index < vm.prototype_views.size()) machine::remake_prototype_view(vm, index);
  return index;
}

std::vector<std::uint32_t> next_prototype_indices(const Vm& vm, std::size_t count) {
  std::vector<std::uint32_t> out;
  out.reserve(count);
  for (auto it = vm.free_prototypes.rbegin(); it != vm.free_prototypes.rend() && out.size() < count;
       ++it)
    out.push_back(*it);
  for (auto next = static_cast<std::uint32_t>(vm.prototypes.size()); out.size() < count; ++next)
    out.push_back(next);
  return out;
}

std::optional<std::string> find_effect_name(const Vm& vm, EffectId id) {
  for (std::uint32_t i = 1; i < vm.heap.slots.size(); ++i) {
    const HeapSlot& slot = vm.heap.slots[i];
    if ((slot.version & 1) == 0) continue;
    const Effect* effect = slot.entry.object.get_if<Effect>();
    if (effect == nullptr || effect->id != id) continue;
    if (effect->name == 0) return std::nullopt;
    return std::string(vm.interner.resolve(effect->name));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Roots

void Vm::append_roots(std::vector<HeapKey>& out) const {
  for (const Value& v : stack.view())
    append_value_root(out, v);
  for (const Value& v : globals)
    append_value_root(out, v);
  for (const CallFrame& f : frames) {
    if (f.has_closure()) out.push_back(f.closure);
  }
  for (const HandlerEntry& e : handlers) {
    if (e.closure) out.push_back(*e.closure);
  }
  for (const HandlerEntry& e : handlers) {
    if (e.dispatch_map) out.push_back(*e.dispatch_map);
  }
  for (HeapKey k : builtin_optics)
    out.push_back(k);
  for (HeapKey k : macro_roots)
    out.push_back(k);
  for (const std::weak_ptr<const HostRootSet>& weak : host_root_sets) {
    if (std::shared_ptr<const HostRootSet> set = weak.lock()) {
      for (const Value& v : set->values)
        append_value_root(out, v);
    }
  }
  types.append_roots(out);
  // Not among the listed roots, but the continuation a clause frame will return through must
  // outlive the clause even when nothing else refers to it.
  for (const CallFrame& f : frames) {
    if (f.abort_to.present()) out.push_back(f.abort_to.continuation);
  }
  if (pending_perform) {
    for (const Value& v : pending_perform->args)
      append_value_root(out, v);
  }
}

// ---------------------------------------------------------------------------------------------
// Prototypes and the collector

namespace {

// Marks prototype `index` and everything it makes closures of, adding their constants to the
// work list. Freed and already marked positions are skipped.
bool mark_one_prototype(Vm& vm, std::uint32_t index, std::vector<HeapKey>& work) {
  if (index >= vm.prototype_slots.size()) return false;
  Vm::PrototypeSlot& slot = vm.prototype_slots[index];
  if (!slot.live || slot.marked) return false;
  slot.marked = true;
  for (const Value& v : vm.prototypes[index].constants)
    append_value_root(work, v);
  return true;
}

void mark_prototype(Vm& vm, std::uint32_t index, std::vector<HeapKey>& work) {
  if (!mark_one_prototype(vm, index, work) || vm.prototype_slots[index].children.empty()) return;
  std::vector<std::uint32_t> pending = vm.prototype_slots[index].children;
  while (!pending.empty()) {
    const std::uint32_t i = pending.back();
    pending.pop_back();
    if (!mark_one_prototype(vm, i, work)) continue;
    const std::vector<std::uint32_t>& children = vm.prototype_slots[i].children;
    pending.insert(pending.end(), children.begin(), children.end());
  }
}

void mark_function(Vm& vm, const FunctionRef& function, std::vector<HeapKey>& work) {
  for (const FunctionClause& clause : function.clauses()) {
    mark_prototype(vm, clause.body_prototype, work);
    if (clause.has_guard != 0) mark_prototype(vm, clause.guard_prototype, work);
  }
}

void free_prototype(Vm& vm, std::uint32_t index) {
  vm.prototypes[index] = Prototype();
  vm.prototype_slots[index] = Vm::PrototypeSlot();
  if (index < vm.prototype_views.size()) vm.prototype_views[index] = Vm::PrototypeView();
  if (index < vm.plain_functions.size()) vm.plain_functions[index] = FunctionRef();
  vm.patched_code.erase(index);
  vm.trapped_positions.erase(index);
  ++vm.prototypes_freed;
}

} // namespace

void Vm::begin_collection(std::vector<HeapKey>& work) {
  for (const CallFrame& f : frames)
    mark_prototype(*this, f.prototype, work);
  for (const HandlerEntry& e : handlers) {
    if (e.closure) mark_prototype(*this, e.handler_prototype, work);
  }
  for (std::uint32_t index : prototype_pins)
    mark_prototype(*this, index, work);
}

void Vm::trace_code(const HeapObject& object, std::vector<HeapKey>& work) {
  if (const Closure* c = object.get_if<Closure>()) {
    mark_function(*this, c->function, work);
  } else if (const ClosureTemplate* t = object.get_if<ClosureTemplate>()) {
    mark_function(*this, t->function, work);
  } else if (const Continuation* k = object.get_if<Continuation>()) {
    for (const auto& f : k->frames)
      mark_prototype(*this, f.prototype, work);
    for (const auto& e : k->handlers) {
      if (e.closure) mark_prototype(*this, e.handler_prototype, work);
    }
    mark_prototype(*this, k->handler_frame_prototype, work);
    mark_prototype(*this, k->perform_prototype, work);
  }
}

void Vm::end_collection() {
  bool freed = false;
  std::uint32_t live = 0;
  for (std::size_t i = 0; i < prototype_slots.size(); ++i) {
    PrototypeSlot& slot = prototype_slots[i];
    if (slot.marked) {
      slot.marked = false;
      ++live;
    } else if (slot.live) {
      free_prototype(*this, static_cast<std::uint32_t>(i));
      freed = true;
    }
  }
  prototypes_added = 0;
  prototypes_live = live;
  if (!freed) return;
  // Freed positions at the end leave the table; the others wait for reuse, lowest first.
  std::size_t n = prototype_slots.size();
  while (n > 0 && !prototype_slots[n - 1].live)
    --n;
  prototypes.resize(n);
  prototype_slots.resize(n);
  if (prototype_views.size() > n) prototype_views.resize(n);
  if (plain_functions.size() > n) plain_functions.resize(n);
  free_prototypes.clear();
  for (std::size_t i = n; i-- > 0;) {
    if (!prototype_slots[i].live) free_prototypes.push_back(static_cast<std::uint32_t>(i));
  }
  std::erase_if(boundary_code, [&](const auto& entry) {
    const auto index = static_cast<std::size_t>(entry.first >> 32);
    return index >= n || !prototype_slots[index].live;
  });
}

void collect_code_if_due(Vm& vm) {
  const std::uint64_t due =
      std::max({std::uint32_t{1024}, vm.prototypes_live, vm.heap.live_count / 4});
  if (vm.prototypes_added < due && !vm.heap.stress) return;
  if (vm.heap.native_depth != 0 || vm.heap.root_source == nullptr) return;
  std::vector<HeapKey> roots;
  vm.append_roots(roots);
  heap_collect(vm.heap, std::move(roots));
}

// ---------------------------------------------------------------------------------------------
// Native functions

NativeResult call_native(Vm& vm, std::uint16_t index, std::span<const Value> args) {
  // The arguments are off the value stack; a callback the native makes may collect.
  RootScope held(vm.heap);
  held.add(args);
  if (index < vm.natives.size()) {
    return call_builtin_row(vm, vm.natives[index], args.data(), args.size());
  }
  std::size_t k = index - vm.natives.size();
  if (k >= vm.host_functions.size()) machine::internal_error("native index beyond both tables");
  // An extra reference for the duration of the call: the callable may be replaced meanwhile.
  std::shared_ptr<HostCallable> callable = vm.host_functions[k].callable;
  if (!callable) machine::internal_error("host function without a callable");
  return callable->call(vm, args);
}

std::expected<std::uint32_t, VmError>
register_host_function(Vm& vm, std::string_view name, std::shared_ptr<HostCallable> callable) {
  std::size_t index = vm.natives.size() + vm.host_functions.size();
  if (index >= kNativeIndexLimit) {
    return std::unexpected(
        VmError::value_error("too many native functions (at most 65536, host functions included)"));
  }
  vm.host_functions.push_back(HostFunction{std::string(name), std::move(callable)});
  Spur spur = vm.interner.get_or_intern(name);
  define_global(vm, spur, Value::native_fn(static_cast<std::uint16_t>(index)));
  return static_cast<std::uint32_t>(index);
}

// ---------------------------------------------------------------------------------------------
// Errors with their location

namespace {

// The span of the last entry at or before pc.
std::optional<SourceSpan> span_before(const Prototype& proto, std::uint32_t pc) {
  std::size_t lo = 0;
  std::size_t hi = proto.spans.size();
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (proto.spans[mid].pc <= pc) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return std::nullopt;
  return proto.spans[lo - 1].span;
}

std::optional<SourceSpan> frame_location(const Vm& vm, const CallFrame& f) {
  if (f.prototype >= vm.prototypes.size()) return std::nullopt;
  std::uint32_t pc = f.ip == 0 ? 0 : f.ip - 1;
  return span_before(vm.prototypes[f.prototype], pc);
}

} // namespace

std::vector<TraceEntry> collect_frame_trace(const Vm& vm) {
  std::vector<TraceEntry> trace;
  trace.reserve(vm.frames.size());
  for (auto it = vm.frames.rbegin(); it != vm.frames.rend(); ++it) {
    TraceEntry entry;
    entry.location = frame_location(vm, *it);
    if (it->prototype < vm.prototypes.size()) {
      Spur name = vm.prototypes[it->prototype].name;
      if (name != 0) {
        if (auto text = vm.interner.try_resolve(name)) entry.function_name = std::string(*text);
      }
    }
    trace.push_back(std::move(entry));
  }
  return trace;
}

RuntimeError attach_error_location(const Vm& vm, VmError error) {
  RuntimeError r;
  if (!vm.frames.empty()) r.location = frame_location(vm, vm.frames.back());
  r.error = std::move(error);
  r.trace = collect_frame_trace(vm);
  return r;
}

void format_runtime_error(const RuntimeError& e, std::string& out) {
  format_vm_error(e.error, out);
}

std::string to_string(const RuntimeError& e) {
  std::string s;
  format_runtime_error(e, s);
  return s;
}

namespace machine {

void internal_error(const char* what) {
  throw InternalError(what);
}

namespace {

bool reads_constant(std::uint8_t op) {
  switch (static_cast<Opcode>(op)) {
  case Opcode::LoadConst:
  case Opcode::HandlerSite:
  case Opcode::GetGlobal:
  case Opcode::SetGlobal:
  case Opcode::DefineGlobal:
    return true;
  default:
    return false;
  }
}

bool is_jump(std::uint8_t op) {
  return op == static_cast<std::uint8_t>(Opcode::Jump) ||
         op == static_cast<std::uint8_t>(Opcode::JumpIfFalse) ||
         op == static_cast<std::uint8_t>(Opcode::JumpIfTrue);
}

// Makes the view of one prototype, checking the rules the run loop relies on instead of
// testing them at every instruction.
Vm::PrototypeView make_view(Vm& vm, std::uint32_t index) {
  // A position may have held another prototype before.
  vm.patched_code.erase(index);
  vm.trapped_positions.erase(index);
  const Prototype& p = vm.prototypes[index];
  Vm::PrototypeView view;
  view.code = p.code.data();
  view.constants = p.constants.data();
  view.code_size = static_cast<std::uint32_t>(p.code.size());
  view.constant_count = static_cast<std::uint32_t>(p.constants.size());
  view.local_count = p.local_count;

  std::vector<std::uint32_t> bad;
  const std::size_t n = p.code.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Instruction w = p.code[i];
    const std::uint8_t op = w.op_byte();
    if (reads_constant(op) && w.ab() >= p.constants.size()) {
      bad.push_back(static_cast<std::uint32_t>(i));
    } else if (is_jump(op)) {
      const std::int64_t target = static_cast<std::int64_t>(i) + 1 + w.offset();
      if (target < 0 || target >= static_cast<std::int64_t>(n))
        bad.push_back(static_cast<std::uint32_t>(i));
    }
    if (op == static_cast<std::uint8_t>(Opcode::HandlerSite) && i + 1 + w.c() >= n &&
        (bad.empty() || bad.back() != i)) {
      bad.push_back(static_cast<std::uint32_t>(i));
    }
  }
  const bool terminated =
      n > 0 && (p.code[n - 1].op_byte() == static_cast<std::uint8_t>(Opcode::Return) ||
                p.code[n - 1].op_byte() == static_cast<std::uint8_t>(Opcode::Jump));
  if (!bad.empty() || !terminated) {
    // A copy with traps, and a trap after the end for code that could run off it.
    auto copy = std::make_unique<Instruction[]>(n + 1);
    for (std::size_t i = 0; i < n; ++i)
      copy[i] = p.code[i];
    for (std::uint32_t i : bad)
      copy[i] = Instruction(kTrapWord);
    copy[n] = Instruction(kTrapWord);
    bad.push_back(static_cast<std::uint32_t>(n));
    view.code = copy.get();
    view.patched = 1;
    vm.patched_code[index].push_back(std::move(copy));
    vm.trapped_positions[index] = std::move(bad);
  }
  // Ordinary frames run the threaded form, made from the checked words.
  view.plain = view.code;
  std::unique_ptr<Instruction[]> threaded = thread_code(view.plain, view.code_size, view.patched);
  view.code = threaded.get();
  vm.patched_code[index].push_back(std::move(threaded));
  return view;
}

} // namespace

void remake_prototype_view(Vm& vm, std::uint32_t index) {
  vm.prototype_views[index] = make_view(vm, index);
}

const Vm::PrototypeView& refresh_prototype_views(Vm& vm, std::uint32_t index) {
  if (index >= vm.prototypes.size()) internal_error("prototype index outside the table");
  for (std::size_t i = vm.prototype_views.size(); i < vm.prototypes.size(); ++i) {
    vm.prototype_views.push_back(make_view(vm, static_cast<std::uint32_t>(i)));
  }
  return vm.prototype_views[index];
}

const Instruction* boundary_code(Vm& vm, std::uint32_t prototype, std::uint32_t stop_ip) {
  const Vm::PrototypeView& view = prototype_view(vm, prototype);
  const std::uint32_t size = view.code_size + view.patched;
  if (stop_ip >= size) return view.plain; // never reached: the frame runs its code unchanged
  const std::uint64_t key = (static_cast<std::uint64_t>(prototype) << 32) | stop_ip;
  auto it = vm.boundary_code.find(key);
  if (it != vm.boundary_code.end()) return it->second.get();
  auto copy = std::make_unique<Instruction[]>(size);
  for (std::uint32_t i = 0; i < size; ++i)
    copy[i] = view.plain[i];
  copy[stop_ip] = Instruction(kStopWord);
  const Instruction* code = copy.get();
  vm.boundary_code.emplace(key, std::move(copy));
  return code;
}

bool is_trap(const Vm& vm, std::uint32_t prototype, std::uint32_t position) {
  auto it = vm.trapped_positions.find(prototype);
  if (it == vm.trapped_positions.end()) return false;
  return std::find(it->second.begin(), it->second.end(), position) != it->second.end();
}

} // namespace machine

} // namespace quorvex
