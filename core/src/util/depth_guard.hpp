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
#include <cstdint>

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

// The guard's two limits for one recursion that counts its levels itself, with the thread's
// record looked up once instead of at every level (in a shared library each look-up is a call).
// enter() counts a level and answers what a DepthGuard made there would; every enter() is matched
// by a leave(), whatever it answered. Only for the thread that made it, within one call.
class DepthCounter {
 public:
  DepthCounter() noexcept;
  DepthCounter(const DepthCounter&) = delete;
  DepthCounter& operator=(const DepthCounter&) = delete;

  bool enter() noexcept {
    const int depth = ++*depth_;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Unknown bounds, or a frame on a stack of its own: nothing to measure against.
    const bool room = low_ == 0 || here < low_ || here >= high_ || here - low_ > reserve_;
    return depth <= DepthGuard::kMaxDepth && room;
  }
  void leave() noexcept { --*depth_; }
  int depth() const noexcept { return *depth_; }

 private:
  int* depth_;
  std::uintptr_t low_;
  std::uintptr_t high_;
  std::size_t reserve_;
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
