#include "util/depth_guard.hpp"

#include <pthread.h>

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

#ifdef QV_ASAN
constexpr std::size_t kStackReserve = 1024 * 1024;
#else
constexpr std::size_t kStackReserve = 256 * 1024;
#endif

thread_local int t_depth = 0;
thread_local std::uintptr_t t_stack_low = 0;
thread_local bool t_stack_known = false;

std::uintptr_t stack_low() noexcept {
  if (!t_stack_known) {
    t_stack_known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
        t_stack_low = reinterpret_cast<std::uintptr_t>(addr);
      }
      pthread_attr_destroy(&attr);
    }
  }
  return t_stack_low;
}

}  // namespace

std::size_t remaining_native_stack() noexcept {
  std::uintptr_t low = stack_low();
  if (low == 0) return static_cast<std::size_t>(-1);
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > low ? here - low : 0;
}

DepthGuard::DepthGuard() noexcept {
  depth_ = ++t_depth;
  ok_ = depth_ <= kMaxDepth && remaining_native_stack() > kStackReserve;
}

DepthGuard::~DepthGuard() noexcept { --t_depth; }

int DepthGuard::current_depth() noexcept { return t_depth; }

}  // namespace quorvex
