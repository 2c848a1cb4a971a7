#include "util/depth_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace quorvex {

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QV_ASAN 1
#endif

// What is kept back below the last guarded frame, for the unguarded work that follows it (error
// texts, allocation, a conversion, a callback's first frames): a quarter of the thread's stack,
// within these bounds. A fixed 256 KB would leave nothing on a thread of 256 KB. Sanitizer frames
// of our own code are several times larger; the interpreter around them is not instrumented.
// kEntryRoom is what an entry point wants beyond the reserve before it starts at all: enough to
// read, compile and run a small form without a guard tripping.
#ifdef QV_ASAN
constexpr std::size_t kMinReserve = 64 * 1024;
constexpr std::size_t kMaxReserve = 1024 * 1024;
constexpr std::size_t kEntryRoom = 64 * 1024;
#else
constexpr std::size_t kMinReserve = 32 * 1024;
constexpr std::size_t kMaxReserve = 256 * 1024;
constexpr std::size_t kEntryRoom = 32 * 1024;
#endif

// The nesting count lives in the same record as the bounds, so that a guard costs a single
// thread-local lookup: in a shared library each thread-local variable of its own is a call.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  std::size_t reserve = kMaxReserve;
  bool known = false;
  int depth = 0;
};

thread_local StackBounds t_stack;

// Learned once per thread: pthread_getattr_np reads /proc for the main thread.
const StackBounds& bounds_of(StackBounds& t) noexcept {
  if (!t.known) [[unlikely]] {
    t.known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr && size > 0) {
        t.low = reinterpret_cast<std::uintptr_t>(addr);
        t.high = t.low + size;
        t.reserve = std::clamp(size / 4, kMinReserve, kMaxReserve);
      }
      pthread_attr_destroy(&attr);
    }
  }
  return t;
}

const StackBounds& stack_bounds() noexcept {
  return bounds_of(t_stack);
}

// Unknown bounds, or a frame on a stack of its own (a coroutine's): nothing to measure against.
inline std::size_t left_below(const StackBounds& b, std::uintptr_t here) noexcept {
  if (b.low == 0 || here < b.low || here >= b.high) return static_cast<std::size_t>(-1);
  return here - b.low;
}

}  // namespace

std::size_t remaining_native_stack() noexcept {
  return left_below(stack_bounds(), reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
}

std::size_t native_stack_reserve() noexcept {
  return stack_bounds().reserve;
}

bool enough_native_stack() noexcept {
  const StackBounds& b = stack_bounds();
  const std::size_t left =
      left_below(b, reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  return left > b.reserve && left - b.reserve >= kEntryRoom;
}

DepthGuard::DepthGuard() noexcept {
  StackBounds& t = t_stack;
  depth_ = ++t.depth;
  const StackBounds& b = bounds_of(t);
  ok_ = depth_ <= kMaxDepth &&
        left_below(b, reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))) > b.reserve;
}

DepthGuard::~DepthGuard() noexcept { --t_stack.depth; }

int DepthGuard::current_depth() noexcept { return t_stack.depth; }

DepthCounter::DepthCounter() noexcept {
  StackBounds& t = t_stack;
  const StackBounds& b = bounds_of(t);
  depth_ = &t.depth;
  low_ = b.low;
  high_ = b.high;
  reserve_ = b.reserve;
}

}  // namespace quorvex
