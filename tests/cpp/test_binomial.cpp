#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "combinatorial/binomial.hpp"

using combinatorial::binom;
using combinatorial::binom_overflows;
using combinatorial::binom_saturated;
using u128 = unsigned __int128;

namespace {

constexpr u128 two_to_64 = static_cast<u128>(1) << 64;

// Exact C(n, k) capped at 2^64, computed incrementally in 128 bits: every
// intermediate C(n - k + j, j) is at most the final value, and the loop stops
// once it reaches 2^64, so products stay below 2^64 * 2^64.
u128 oracle(std::uint64_t n, std::uint64_t k) {
  if (k > n) return 0;
  if (k > n - k) k = n - k;
  u128 v = 1;
  for (std::uint64_t j = 1; j <= k; ++j) {
    v = v * (n - k + j) / j;
    if (v >= two_to_64) return two_to_64;
  }
  return v;
}

std::uint64_t expected(std::uint64_t n, std::uint64_t k) {
  const u128 v = oracle(n, k);
  return v >= two_to_64 ? binom_saturated : static_cast<std::uint64_t>(v);
}

// Smallest n with C(n, k) >= 2^64.
std::uint64_t first_overflowing_n(std::uint64_t k) {
  std::uint64_t lo = k, hi = ~0ull;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (oracle(mid, k) >= two_to_64) hi = mid; else lo = mid + 1;
  }
  return lo;
}

using Table = combinatorial::BinomialCoefficientTable<64, 3, long>;

}  // namespace

TEST(Binom, KnownValues) {
  EXPECT_EQ(binom(0, 0), 1u);
  EXPECT_EQ(binom(5, 2), 10u);
  EXPECT_EQ(binom(3, 5), 0u);
  EXPECT_EQ(binom(7, 1), 7u);
  EXPECT_EQ(binom(7, 6), 7u);
  EXPECT_EQ(binom(62, 31), 465428353255261088u);
  EXPECT_EQ(binom(64, 32), 1832624140942590534u);
  EXPECT_EQ(binom(66, 33), 7219428434016265740u);
  EXPECT_EQ(binom(68, 34), binom_saturated);
  EXPECT_EQ(binom(4294967296, 2), 9223372034707292160u);
  EXPECT_EQ(binom(4294967297, 2), 9223372039002259456u);
  EXPECT_EQ(binom(~0ull, 1), ~0ull);
  EXPECT_EQ(binom(~0ull, ~0ull - 1), ~0ull);
  EXPECT_EQ(binom(~0ull, 2), binom_saturated);
  EXPECT_EQ(binom(70, 35), binom_saturated);
}

TEST(Binom, PascalTriangleCrossingTheBoundary) {
  // Rows up to 300 hold values far beyond 2^64 for most k.
  std::vector<u128> row{1};
  for (std::uint64_t n = 0; n <= 300; ++n) {
    for (std::uint64_t k = 0; k <= n + 1; ++k) {
      const u128 truth = k <= n ? row[k] : 0;
      const bool overflows = truth >= two_to_64;
      ASSERT_EQ(binom(n, k), overflows ? binom_saturated : static_cast<std::uint64_t>(truth))
          << n << " " << k;
      ASSERT_EQ(binom_overflows(n, k), overflows) << n << " " << k;
    }
    std::vector<u128> next(row.size() + 1);
    for (std::size_t k = 0; k < next.size(); ++k) {
      const u128 a = k < row.size() ? row[k] : 0, b = k ? row[k - 1] : 0;
      next[k] = a + b >= two_to_64 ? two_to_64 : a + b;
    }
    row.swap(next);
  }
}

TEST(Binom, EveryKAroundItsOverflowPoint) {
  std::mt19937_64 rng(7);
  for (std::uint64_t k = 2; k <= 68; ++k) {
    const std::uint64_t edge = first_overflowing_n(k);
    for (std::uint64_t n = edge - 4; n <= edge + 4; ++n) {
      ASSERT_EQ(binom(n, k), expected(n, k)) << n << " " << k;
      ASSERT_EQ(binom(n, n - k), expected(n, k)) << n << " " << k;
      ASSERT_EQ(binom_overflows(n, k), n >= edge) << n << " " << k;
    }
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t n = k + rng() % (edge - k + 10);
      ASSERT_EQ(binom(n, k), expected(n, k)) << n << " " << k;
    }
  }
  // Huge arguments end quickly: the product saturates after a step or two.
  EXPECT_EQ(binom(1ull << 62, 1ull << 61), binom_saturated);
  EXPECT_EQ(binom(~0ull, ~0ull / 2), binom_saturated);
}

TEST(Table, EmptyTableAnswersThroughBinom) {
  const Table table;
  EXPECT_FALSE(table.covers(0, 0));
  EXPECT_EQ(table(0, 0), 1);
  EXPECT_EQ(table(64, 32), 1832624140942590534);
  EXPECT_EQ(table(5, -1), 0);
  EXPECT_EQ(table(5, 6), 0);
  EXPECT_EQ(table(-3, 2), 0);
  EXPECT_EQ(table(INT64_MIN, INT64_MIN), 0);
  EXPECT_EQ(table.fixed_rows[2][64], 2016);
  EXPECT_EQ(table.fixed_rows[1][7], 7);
  EXPECT_EQ(table.fixed_rows[0][0], 1);
}

TEST(Table, InvariantsAfterPrecompute) {
  Table table;
  for (auto [n, k] : {std::pair<long, long>{10, 3}, {0, 0}, {3, 10}, {200, 120}, {1000, 4}}) {
    table.precompute(n, k);
    ASSERT_EQ(table.max_n, n);
    ASSERT_EQ(table.max_k, k);
    for (long j = 0; j <= k + 1; ++j) {
      for (long c = 0; c <= n + 1; ++c) {
        const long want = (j <= k && c <= n) ? static_cast<long>(binom(c, j)) : 0;
        ASSERT_EQ(table.row(j)[c], want) << j << " " << c;
      }
    }
    for (long j = -1; j <= k + 3; ++j) {
      for (long c = -1; c <= n + 3; ++c) {
        ASSERT_EQ(table(c, j), c >= 0 && j >= 0 ? static_cast<long>(binom(c, j)) : 0);
      }
    }
  }
  table.precompute(10, 3);
  EXPECT_EQ(table.row(3)[10], 120);
  EXPECT_EQ(table.row(3)[2], 0);
  EXPECT_EQ(table(10, 4), 210);
  EXPECT_EQ(table(11, 3), 165);
  EXPECT_FALSE(table.covers(11, 3));
}

TEST(Table, ShrinkingRebuildKeepsValues) {
  Table table;
  table.precompute(100, 10);
  const long before = table(100, 10);
  table.precompute(5, 2);
  EXPECT_EQ(table.max_n, 5);
  EXPECT_EQ(table.max_k, 2);
  EXPECT_FALSE(table.covers(100, 10));
  EXPECT_EQ(table(100, 10), before);
  EXPECT_EQ(before, 17310309456440);
}

TEST(Table, RefusedBoundsLeaveTheTableAsItWas) {
  Table table;
  table.precompute(30, 4);
  EXPECT_THROW(table.precompute(-1, 2), std::invalid_argument);
  EXPECT_THROW(table.precompute(2, -1), std::invalid_argument);
  EXPECT_THROW(table.precompute(INT64_MAX, 2), std::length_error);
  EXPECT_THROW(table.precompute(2, INT64_MAX), std::length_error);
  EXPECT_THROW(table.precompute(1 << 14, 1 << 14), std::length_error);
  EXPECT_THROW(table.precompute(combinatorial::max_table_cells, 0), std::length_error);
  EXPECT_EQ(table.max_n, 30);
  EXPECT_EQ(table.max_k, 4);
  EXPECT_EQ(table.row(4)[30], 27405);
  EXPECT_TRUE(table.covers(30, 4));
}

// Windows of columns, including ones where coefficients saturate partway.
TEST(Window, EqualsBinomOverEveryColumn) {
  // C(m, 5), C(m, 4) and C(m, 3) first reach 2^64 at m = 18581, 145057 and 4801281.
  for (const std::uint64_t base : {0ull, 1ull, 18300ull, 144800ull, 4801000ull, 1ull << 40}) {
    constexpr std::size_t width = 600, k = 5;
    const std::vector<long> cells = combinatorial::coefficient_window(base, width, k);
    for (std::size_t j = 0; j <= k; ++j) {
      for (std::size_t i = 0; i < width; ++i) {
        ASSERT_EQ(static_cast<std::uint64_t>(cells[j * width + i]), expected(base + i, j))
            << "m = " << base + i << ", j = " << j;
      }
    }
  }
}
