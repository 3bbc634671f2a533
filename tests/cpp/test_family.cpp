// The families' counts and the multisets' shift onto subsets, against
// counting by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "combinatorial/family.hpp"

namespace cb = combinatorial;
using cb::Family;
using cb::WideRank;

namespace {

// The k-multisets of n counted by the recurrence M(n, k) = M(n - 1, k) +
// M(n, k - 1): those without vertex n - 1, and those with it, one removed.
WideRank multisets_by_recurrence(int n, int k) {
  std::vector<std::vector<WideRank>> m(static_cast<std::size_t>(n + 1), std::vector<WideRank>(static_cast<std::size_t>(k + 1), 0));
  for (int i = 0; i <= n; ++i) m[static_cast<std::size_t>(i)][0] = 1;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= k; ++j) {
      m[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] =
          m[static_cast<std::size_t>(i - 1)][static_cast<std::size_t>(j)] + m[static_cast<std::size_t>(i)][static_cast<std::size_t>(j - 1)];
    }
  }
  return m[static_cast<std::size_t>(n)][static_cast<std::size_t>(k)];
}

WideRank count(Family family, std::uint64_t n, std::uint64_t k, bool* overflowed = nullptr) {
  bool overflow = false;
  const WideRank value = cb::family_count(family, n, k, overflow);
  if (overflowed) *overflowed = overflow;
  else EXPECT_FALSE(overflow) << n << " " << k;
  return value;
}

TEST(Family, CountsOfSmallFamilies) {
  for (int n = 0; n <= 30; ++n) {
    for (int k = 0; k <= 30; ++k) {
      EXPECT_EQ(count(Family::multisets, static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k)),
                multisets_by_recurrence(n, k))
          << n << " " << k;
      WideRank falling = k > n ? 0 : 1;
      for (int j = 0; j < k && j < n; ++j) falling *= static_cast<WideRank>(n - j);
      EXPECT_EQ(count(Family::permutations, static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k)), falling);
    }
  }
}

TEST(Family, CountsAtTheEdgeOf128Bits) {
  const std::uint64_t top = ~std::uint64_t{0};
  // m = n + k - 1 past 64 bits: C(m, 1) = m for n = 2, C(m, 2) for n = 3, m = 2^64 + 1.
  EXPECT_EQ(count(Family::multisets, 2, top), static_cast<WideRank>(top) + 1);
  EXPECT_EQ(count(Family::multisets, 3, top), (WideRank{1} << 127) + (WideRank{1} << 63));  // (m - 1) / 2 * m
  bool overflow = false;
  count(Family::multisets, 4, top, &overflow);
  EXPECT_TRUE(overflow);
  EXPECT_EQ(count(Family::multisets, 1, top), 1u);
  // 34! < 2^128 < 35!
  count(Family::permutations, 34, 34, &overflow);
  EXPECT_FALSE(overflow);
  count(Family::permutations, 35, 35, &overflow);
  EXPECT_TRUE(overflow);
  count(Family::permutations, std::uint64_t{1} << 32, 4, &overflow);
  EXPECT_FALSE(overflow);  // just under 2^128
  count(Family::permutations, top, 3, &overflow);
  EXPECT_TRUE(overflow);
}

TEST(Family, ShiftIsColumnIndexBothWays) {
  for (std::size_t k : {1u, 2u, 3u, 6u, 7u, 16u, 255u, 256u, 257u, 300u}) {
    for (std::size_t rows : {0u, 1u, 5u, 97u, 1000u}) {
      std::vector<std::uint32_t> values(rows * k), shifted;
      for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint32_t>(i * 7919 % 100000 + 400);
      shifted = values;
      cb::shift_rows<cb::Shift::to_subsets>(shifted.data(), rows, k);
      for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(shifted[i], values[i] + i % k) << k << " " << rows;
      cb::shift_rows<cb::Shift::to_multisets>(shifted.data(), rows, k);
      ASSERT_EQ(shifted, values);
    }
  }
}

}  // namespace
