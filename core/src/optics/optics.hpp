// Optics: first-class values that name a place, or a set of places, inside a data structure, and
// the engines that read, write and update through them.
//
//   view_optic / view_all_optic / first_focus   reading (one focus, every focus, the first focus)
//   set_optic                                  writing a value at the foci
//   over_optic                                 applying a function at the foci
//
// Plain values stand for optics wherever one is expected (to_optic): an integer is an index, a
// keyword, symbol or string a key, a vector the composition of its elements.
//
// Calling back. Predicates, lens getters and setters and the function of `over` are called through
// the machine, and a collection may run inside such a call. The engines therefore keep every value
// they hold across a call or an allocation in a RootScope, and hold no pointer into the heap across
// one: collections are copied (O(1)) before they are walked. The convention between the engine's
// functions: a caller keeps the optic and the target it passes alive; a callee roots what it makes
// or receives and still needs. Values the engines answer are not rooted.
//
// Depth. Every walk over user data or over nested optics goes through the depth guard and ends in
// the value error "data nested too deeply" past it, a little before the limit at which a callback
// would no longer be allowed to run.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "value/heap.hpp"
#include "value/objects.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

// The coercion applied to every optic argument. Allocates a fresh KeyBox for a key and a fresh
// optic object for every element of a vector; never changes the argument.
std::expected<OpticKind, VmError> to_optic(Vm& vm, Value value);

// The kind held by the optic object a composition step names; "compose requires optics" when the
// handle names no live optic.
std::expected<OpticKind, VmError> optic_from_handle(const Vm& vm, HeapKey handle);

// A new optic object holding the kind.
HeapKey alloc_optic(Vm& vm, OpticKind kind);

// Keeps the objects a kind names alive for the scope.
void root_optic_kind(RootScope& scope, const OpticKind& kind);

// The single focus (nil when there is none).
NativeResult view_optic(Vm& vm, const OpticKind& kind, Value target);
// Every focus, in order.
std::expected<std::vector<Value>, VmError> view_all_optic(Vm& vm, const OpticKind& kind,
                                                          Value target);
// The first focus (nil when there is none); a search through a composition stops at it.
NativeResult first_focus(Vm& vm, const OpticKind& kind, Value target);

// The target with the foci holding `value`.
NativeResult set_optic(Vm& vm, const OpticKind& kind, Value value, Value target);

// The target with `f` applied at the foci.
NativeResult over_optic(Vm& vm, const OpticKind& kind, Value f, Value target);

// Compiles a path text such as /users/*[.age > 30]/name into a new optic object.
std::expected<Value, VmError> xpath_compile(Vm& vm, std::string text);

// The test of a KeyCompare optic: ordering operators on Int and Float only (false for anything
// else and for NaN), equality operators by the language's equality.
std::expected<bool, VmError> compare_with_op(const Vm& vm, Value field, Value literal,
                                             CompareOp op);

} // namespace quorvex
