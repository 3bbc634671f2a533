#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "combinatorial/integer_roots.hpp"

using combinatorial::icbrt64;
using combinatorial::isqrt64_nozero;

namespace {

// Exact references by bisection in 128-bit arithmetic.
std::uint64_t reference_isqrt(std::uint64_t x) {
  std::uint64_t lo = 0, hi = 1ull << 32;
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (static_cast<unsigned __int128>(mid) * mid <= x) lo = mid; else hi = mid;
  }
  return lo;
}

std::uint64_t reference_icbrt(std::uint64_t x) {
  std::uint64_t lo = 0, hi = 1ull << 22;
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (static_cast<unsigned __int128>(mid) * mid * mid <= x) lo = mid; else hi = mid;
  }
  return lo;
}

}  // namespace

TEST(IntegerRoots, TableFollowsItsRule) {
  EXPECT_EQ(combinatorial::isqrt64_tab[0], 128);
  EXPECT_EQ(combinatorial::isqrt64_tab[15], 143);
  EXPECT_EQ(combinatorial::isqrt64_tab[16], 143);
  EXPECT_EQ(combinatorial::isqrt64_tab[191], 255);
}

TEST(IntegerRoots, KnownValues) {
  EXPECT_EQ(isqrt64_nozero(1), 1u);
  EXPECT_EQ(isqrt64_nozero(3), 1u);
  EXPECT_EQ(isqrt64_nozero(4), 2u);
  EXPECT_EQ(isqrt64_nozero(1ull << 32), 65536u);
  const std::uint64_t max_square = 0xFFFFFFFFull * 0xFFFFFFFFull;
  EXPECT_EQ(isqrt64_nozero(max_square), 4294967295u);
  EXPECT_EQ(isqrt64_nozero(max_square - 1), 4294967294u);
  EXPECT_EQ(isqrt64_nozero(~0ull), 4294967295u);

  EXPECT_EQ(icbrt64(0), 0u);
  EXPECT_EQ(icbrt64(7), 1u);
  EXPECT_EQ(icbrt64(8), 2u);
  EXPECT_EQ(icbrt64(26), 2u);
  EXPECT_EQ(icbrt64(27), 3u);
  EXPECT_EQ(icbrt64(1ull << 63), 2097152u);
  EXPECT_EQ(icbrt64(~0ull), 2642245u);
}

TEST(IntegerRoots, PerfectPowersAndNeighbours) {
  for (std::uint64_t r = 1; r < (1ull << 32); r += 1 + r / 97) {
    const std::uint64_t sq = r * r;
    for (std::uint64_t x : {sq - 1, sq, sq + 1}) {
      if (x != 0) {
      ASSERT_EQ(isqrt64_nozero(x), reference_isqrt(x)) << x;
    }
    }
  }
  for (std::uint64_t r = 0; r <= 2642245; r += 1 + r / 997) {
    const std::uint64_t cube = r * r * r;
    for (std::uint64_t x : {cube - 1, cube, cube + 1}) {
      if (r == 0 && x != 0 && x != 1) continue;
      ASSERT_EQ(icbrt64(x), reference_icbrt(x)) << x;
    }
  }
}

TEST(IntegerRoots, RandomValuesOfEveryMagnitude) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 400000; ++i) {
    const std::uint64_t x = rng() >> (rng() % 64);
    if (x != 0) {
      ASSERT_EQ(isqrt64_nozero(x), reference_isqrt(x)) << x;
    }
    ASSERT_EQ(icbrt64(x), reference_icbrt(x)) << x;
  }
}
