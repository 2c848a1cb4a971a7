// One mechanism bounds every recursion over user-controlled nesting (reader, compiler, macro
// expansion, printers, equality, hashing, conversions, optic walks, nested machine runs).
//
// Two limits apply and either one trips the guard: a nesting count, and the room left on the
// current thread's native stack. The second keeps us safe on threads with small stacks and in
// sanitizer builds, whose frames are several times larger; the first keeps error behaviour the
// same everywhere for ordinary stacks.
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

}  // namespace quorvex
