// The builtins that reach outside the machine or into the reader: printing to the shared
// standard output, `read-string`, and the wall clock.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "util/depth_guard.hpp"
#include "util/hash.hpp"
#include "util/stdout_writer.hpp"
#include "value/keys.hpp"
#include "value/numbers.hpp"
#include "value/printer.hpp"
#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

// The display or readable forms of the arguments, one space between neighbours, written in one
// piece so that nothing else's output lands inside the line.
NativeResult print_joined(Vm& vm, const Value* args, std::size_t argc, bool readable,
                          bool newline) {
  const PrintEnv env{vm.heap, vm.interner, vm.types};
  std::string out;
  for (std::size_t i = 0; i < argc; ++i) {
    if (i > 0) out += ' ';
    Guarded<void> printed =
        readable ? append_readable(env, args[i], out) : append_display(env, args[i], out);
    if (!printed) return std::unexpected(to_vm_error(printed.error()));
  }
  if (newline) out += '\n';
  stdout_write(out);
  return Value::nil();
}

std::unexpected<VmError> unsupported_form() {
  return std::unexpected(VmError::type_error("unsupported value type for read-string"));
}

// A symbol's or keyword's full name: the namespace is kept, so "a/b" reads as the symbol a/b,
// the same name the compiler gives that text.
Spur intern_full_name(Vm& vm, const Form& form) {
  const std::optional<std::string_view> ns = form.ns();
  if (!ns) return vm.interner.get_or_intern(form.name());
  std::string text;
  text.reserve(ns->size() + 1 + form.name().size());
  text.append(*ns).append("/").append(form.name());
  return vm.interner.get_or_intern(text);
}

// One form of the reader as a runtime value. Nothing collects while a builtin runs without a
// callback, so the objects made so far need no roots.
NativeResult value_from_datum(Vm& vm, const Form& outer) {
  DepthGuard guard;
  if (!guard) return std::unexpected(to_vm_error(ValueFault::TooDeep));
  const Form& form = outer.peeled();
  if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
  switch (form.kind()) {
  case Form::Kind::Nil:
    return Value::nil();
  case Form::Kind::Bool:
    return Value::from_bool(form.as_bool());
  case Form::Kind::Int:
    return Value::from_int(form.as_int());
  case Form::Kind::Float:
    return Value::from_float(form.as_float());
  case Form::Kind::Ratio: {
    const FormRatio ratio = form.as_ratio();
    return normalize_fraction(ratio.num, ratio.den);
  }
  case Form::Kind::String:
    return lift_fault(alloc_string(vm.heap, form.as_string()));
  case Form::Kind::Symbol:
    return Value::symbol(intern_full_name(vm, form));
  case Form::Kind::Keyword:
    return Value::keyword(intern_full_name(vm, form));
  case Form::Kind::List:
  case Form::Kind::Vector: {
    ValueVector items;
    for (const Form& element : form.items()) {
      NativeResult v = value_from_datum(vm, element);
      if (!v) return v;
      items.push_back_mut(*v);
    }
    return alloc_seq_object(vm.heap, std::move(items), form.is(Form::Kind::Vector));
  }
  case Form::Kind::Map: {
    ValueMap map(next_random_keys());
    for (const auto& entry : form.as_map()) {
      NativeResult k = value_from_datum(vm, entry.first);
      if (!k) return k;
      NativeResult v = value_from_datum(vm, entry.second);
      if (!v) return v;
      Guarded<ValueMap> next = map_insert_value(vm.heap, map, *k, *v);
      if (!next) return std::unexpected(to_vm_error(next.error()));
      map = std::move(*next);
    }
    return Value::object(heap_alloc(vm.heap, HeapObject(MapObject{std::move(map)})));
  }
  case Form::Kind::Set: {
    ValueSet set(next_random_keys());
    for (const Form& element : form.as_set()) {
      NativeResult v = value_from_datum(vm, element);
      if (!v) return v;
      Guarded<ValueSet> next = set_insert_value(vm.heap, set, *v);
      if (!next) return std::unexpected(to_vm_error(next.error()));
      set = std::move(*next);
    }
    return Value::object(heap_alloc(vm.heap, HeapObject(SetObject{std::move(set)})));
  }
  case Form::Kind::Regex:
  case Form::Kind::NativeFn:
  case Form::Kind::Optic:
  case Form::Kind::Effect:
  case Form::Kind::Atom:
  case Form::Kind::Spanned:
    break;
  }
  return unsupported_form();
}

} // namespace

NativeResult builtin_print(Vm& vm, const Value* args, std::size_t argc) {
  return print_joined(vm, args, argc, false, false);
}

NativeResult builtin_println(Vm& vm, const Value* args, std::size_t argc) {
  return print_joined(vm, args, argc, false, true);
}

NativeResult builtin_prn(Vm& vm, const Value* args, std::size_t argc) {
  return print_joined(vm, args, argc, true, true);
}

// The whole text is read, so an error after a complete first form still fails; only the first
// form is converted.
NativeResult builtin_read_string(Vm& vm, const Value* args, std::size_t) {
  std::expected<std::string, VmError> text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  std::expected<std::vector<Form>, CoreError> forms = read_all(*text, std::nullopt, Spans::Drop);
  if (!forms) return std::unexpected(VmError::value_error(format_core_error(forms.error())));
  if (forms->empty()) return Value::nil();
  return value_from_datum(vm, forms->front());
}

// Wall-clock time, not monotonic; a clock set before 1970 answers 0.
NativeResult builtin_nano_time(Vm&, const Value*, std::size_t) {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const std::int64_t nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return Value::from_int(nanos < 0 ? 0 : nanos);
}

} // namespace quorvex
