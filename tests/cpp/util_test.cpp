#include <gtest/gtest.h>

#include <string>

#include "util/depth_guard.hpp"
#include "util/hash.hpp"

namespace quorvex {
namespace {

TEST(SipHasher13, SplitWritesGiveTheSameDigest) {
  const std::string text = "the quick brown fox jumps over the lazy dog";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    SipHasher13 h(1, 2);
    h.write(text.data(), cut);
    h.write(text.data() + cut, text.size() - cut);
    EXPECT_EQ(h.finish(), siphash13(1, 2, text.data(), text.size())) << cut;
  }
}

TEST(SipKeys, EachNewPairIncrementsTheFirstKey) {
  SipKeys a = next_random_keys();
  SipKeys b = next_random_keys();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
}

int recurse(int n) {
  DepthGuard guard;
  if (!guard) return n;
  return recurse(n + 1);
}

TEST(DepthGuard, RunawayRecursionStopsInOrder) {
  int reached = recurse(0);
  EXPECT_GT(reached, 100);
  EXPECT_LE(reached, DepthGuard::kMaxDepth);
  EXPECT_EQ(DepthGuard::current_depth(), 0);
}

}  // namespace
}  // namespace quorvex
