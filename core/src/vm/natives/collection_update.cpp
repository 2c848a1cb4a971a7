// Collection update and sequence builtins: new sequences made from existing ones. Every result is
// a fresh object; the arguments are never changed. `drop` is also reached by index from compiled
// destructuring (the rest of a vector pattern), and `concat` is what syntax-quote splices with.
#include <string>
#include <string_view>

#include "util/utf8.hpp"
#include "value/fault.hpp"
#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

NativeResult builtin_drop(Vm& vm, const Value* args, std::size_t argc) {
  if (!args[0].is_int()) return type_error("drop requires integer count");
  const std::uint64_t n =
      args[0].as.integer < 0 ? 0 : static_cast<std::uint64_t>(args[0].as.integer);
  const Value coll = args[1];

  if (coll.is_nil()) return alloc_seq_object(vm.heap, ValueVector(), false);
  if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll)) {
    const bool is_vector = seq->is_vector;
    return alloc_seq_object(vm.heap, seq->items.drop(n), is_vector);
  }
  if (const StringObject* str = arg_as<StringObject>(vm.heap, coll)) {
    // The copy keeps the text while the slot table grows under the allocations below; the new
    // strings are held only here until the list holds them, so nothing may collect meanwhile.
    const SmallString text = str->text;
    const std::string_view view = text.view();
    NativeCallScope no_collection(vm.heap);
    ValueVector chars;
    std::uint64_t skipped = 0;
    for (std::size_t pos = 0; pos < view.size();) {
      const std::size_t length = utf8_decode(view, pos).length;
      if (skipped < n) {
        ++skipped;
      } else {
        Guarded<Value> ch = alloc_string_from_slice(vm.heap, view.data() + pos, length);
        if (!ch) return std::unexpected(to_vm_error(ch.error()));
        chars.push_back_mut(*ch);
      }
      pos += length;
    }
    return alloc_seq_object(vm.heap, std::move(chars), false);
  }
  return type_error("drop requires a sequence");
}

NativeResult builtin_concat(Vm& vm, const Value* args, std::size_t argc) {
  ValueVector all;
  for (std::size_t i = 0; i < argc; ++i) {
    if (args[i].is_nil()) continue;
    const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[i]);
    if (seq == nullptr) return type_error("concat requires sequences");
    all = all.empty() ? seq->items : all.concat(seq->items);
  }
  return alloc_seq_object(vm.heap, std::move(all), false);
}

} // namespace quorvex
