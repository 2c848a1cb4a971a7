// One mechanism bounds every recursion over user-controlled nesting (reader, compiler, macro
// expansion, printers, equality, hashing, conversions, optic walks, nested machine runs).
//
// Two limits apply and either one trips the guard: a nesting count, and the room left on the
// current thread's native stack above a reserve scaled to that stack's size. The second keeps us
// safe on threads with small stacks and in sanitizer builds, whose frames are several times
// larger; the first keeps error behaviour the same everywhere for ordinary stacks.
//
// Entry points from a host check enough_native_stack() first: a thread that has too little
// stack left to start is told so ("not enough native stack"), instead of a nesting error for an
// input that nests nothing.
//
//   DepthGuard guard;
//   if (!guard) return too_deep_error();
#pragma once

#include <cstddef>

namespace quorvex {

class DepthGuard {
 public:
  static constexpr int kMaxDepth = 10000;

  DepthGuard() noexcept;
  ~DepthGuard() noexcept;
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

  // True while the recursion may go on.
  explicit operator bool() const noexcept { return ok_; }
  bool ok() const noexcept { return ok_; }

  static int current_depth() noexcept;
  // The thread's nesting count with this guard included.
  int depth() const noexcept { return depth_; }

 private:
  bool ok_;
  int depth_;
};

// Bytes left between the current frame and the low end of this thread's stack (a large number when
// the bounds are unknown).
std::size_t remaining_native_stack() noexcept;

// The room a guard keeps free on this thread: a share of its stack size, within fixed bounds.
std::size_t native_stack_reserve() noexcept;

// Whether an entry point has room to start: the reserve plus working room for a small input.
bool enough_native_stack() noexcept;

inline constexpr const char* kNotEnoughNativeStack = "not enough native stack";

}  // namespace quorvex
