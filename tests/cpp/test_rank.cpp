#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "combinatorial/rank.hpp"

using combinatorial::BC;
using combinatorial::CheckedCoefficients;
using combinatorial::Order;
using combinatorial::rank_rows;
using combinatorial::RowCheck;
using combinatorial::RowLayout;
using combinatorial::rows_well_formed;
using combinatorial::TableCoefficients;

namespace {

// The plain definition: every value below limit, every row in order.
bool reference_well_formed(const std::vector<std::uint16_t>& v, std::size_t k, bool colex,
                           std::uint64_t limit) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] >= limit) return false;
    if (i % k == k - 1) continue;
    const std::uint16_t a = v[i], b = v[i + 1];
    const bool ok = colex ? a > b : k == 2 ? a != b : a < b;
    if (!ok) return false;
  }
  return true;
}

// Rows of k distinct small values in the mode's order, with gaps of 1 to 3.
std::vector<std::uint16_t> good_rows(std::mt19937_64& rng, std::size_t rows, std::size_t k,
                                     bool colex) {
  std::vector<std::uint16_t> v(rows * k);
  for (std::size_t r = 0; r < rows; ++r) {
    std::uint16_t value = static_cast<std::uint16_t>(rng() % 4);
    for (std::size_t j = 0; j < k; ++j) {
      const std::size_t at = colex ? r * k + (k - 1 - j) : r * k + j;
      v[at] = value;
      value = static_cast<std::uint16_t>(value + 1 + rng() % 3);
    }
  }
  return v;
}

}  // namespace

TEST(RowsWellFormed, AgreesWithThePlainDefinitionOnEveryAlignment) {
  std::mt19937_64 rng(99);
  for (std::size_t k = 1; k <= 20; ++k) {
    for (bool colex : {true, false}) {
      for (std::size_t rows : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{9},
                               std::size_t{40}}) {
        const std::vector<std::uint16_t> good = good_rows(rng, rows, k, colex);
        const std::uint64_t limit = 4 * k + 8;
        const auto check = [&](const std::vector<std::uint16_t>& v) {
          return colex ? rows_well_formed<RowCheck::decreasing>(v.data(), v.size(), k, limit)
                       : rows_well_formed<RowCheck::increasing_or_any_pair>(v.data(), v.size(), k, limit);
        };
        ASSERT_TRUE(check(good)) << k << " " << colex << " " << rows;
        // Every single change of one value: swapped neighbours, equal
        // neighbours, a value at the limit.
        for (std::size_t i = 0; i < good.size(); ++i) {
          for (int change = 0; change < 3; ++change) {
            std::vector<std::uint16_t> bad = good;
            if (change == 0 && i + 1 < bad.size()) std::swap(bad[i], bad[i + 1]);
            if (change == 1 && i + 1 < bad.size()) bad[i] = bad[i + 1];
            if (change == 2) bad[i] = static_cast<std::uint16_t>(limit);
            ASSERT_EQ(check(bad), reference_well_formed(bad, k, colex, limit))
                << "k " << k << " colex " << colex << " rows " << rows << " at " << i << " change " << change;
          }
        }
      }
    }
  }
}

TEST(RowsWellFormed, FullSixteenBitRange) {
  std::vector<std::uint16_t> v(64);
  for (std::size_t i = 0; i < v.size(); i += 2) {
    v[i] = 65535;
    v[i + 1] = 65534;
  }
  EXPECT_TRUE(rows_well_formed<RowCheck::decreasing>(v.data(), v.size(), 2, 65536));
  EXPECT_FALSE(rows_well_formed<RowCheck::decreasing>(v.data(), v.size(), 2, 65535));
  EXPECT_TRUE(rows_well_formed<RowCheck::increasing_or_any_pair>(v.data(), v.size(), 2, 65536));  // either order
  EXPECT_FALSE(rows_well_formed<RowCheck::increasing>(v.data(), v.size(), 2, 65536));
  EXPECT_FALSE(rows_well_formed<RowCheck::increasing_or_any_pair>(v.data(), v.size(), 4, 65536));
}

TEST(RankRows, MatchesTheSumsOfCoefficients) {
  std::mt19937_64 rng(5);
  const std::uint64_t n = 300;
  for (std::size_t k = 1; k <= 12; ++k) {
    BC.precompute(static_cast<std::int64_t>(n), static_cast<std::int64_t>(k));
    for (bool colex : {true, false}) {
      const std::size_t rows = 50;
      std::vector<std::uint16_t> v(rows * k);
      for (std::size_t r = 0; r < rows; ++r) {
        // k distinct vertices below n, in the mode's order.
        std::vector<std::uint16_t> c;
        while (c.size() < k) {
          const auto x = static_cast<std::uint16_t>(rng() % n);
          if (std::find(c.begin(), c.end(), x) == c.end()) c.push_back(x);
        }
        std::sort(c.begin(), c.end());
        std::uint64_t colex_rank = 0, lex_sum = 0;
        for (std::size_t i = 0; i < k; ++i) {
          colex_rank += combinatorial::binom(c[i], i + 1);
          lex_sum += combinatorial::binom(n - 1 - c[i], k - i);
        }
        const std::uint64_t expected = colex ? colex_rank : combinatorial::binom(n, k) - 1 - lex_sum;
        if (colex) std::reverse(c.begin(), c.end());
        std::copy(c.begin(), c.end(), v.begin() + static_cast<std::ptrdiff_t>(r * k));
        std::int64_t table_rank = -1, checked_rank = -1, reversed_rank = -1;
        const auto table = TableCoefficients::of(BC.view());
        const CheckedCoefficients checked{BC.view()};
        std::vector<std::uint16_t> reversed(c.rbegin(), c.rend());
        if (colex) {
          rank_rows<Order::colex, RowLayout::largest_first, 0>(c.data(), 1, k, n, &table_rank, table);
          rank_rows<Order::colex, RowLayout::largest_first, 0>(c.data(), 1, k, n, &checked_rank, checked);
          rank_rows<Order::colex, RowLayout::smallest_first, 0>(reversed.data(), 1, k, n, &reversed_rank, table);
        } else {
          rank_rows<Order::lex, RowLayout::smallest_first, 0>(c.data(), 1, k, n, &table_rank, table);
          rank_rows<Order::lex, RowLayout::smallest_first, 0>(c.data(), 1, k, n, &checked_rank, checked);
          rank_rows<Order::lex, RowLayout::largest_first, 0>(reversed.data(), 1, k, n, &reversed_rank, table);
        }
        ASSERT_EQ(static_cast<std::uint64_t>(table_rank), expected) << k << " " << colex;
        ASSERT_EQ(static_cast<std::uint64_t>(checked_rank), expected) << k << " " << colex;
        ASSERT_EQ(static_cast<std::uint64_t>(reversed_rank), expected) << k << " " << colex;
      }
    }
  }
}

// The baseline body against the one chosen for this processor, on blocks long
// enough for every vector path.
TEST(RankRows, BaselineBodyAgreesWithTheDispatchedOne) {
  std::mt19937_64 rng(9);
  for (const auto& [n, k] : std::vector<std::pair<std::uint64_t, std::size_t>>{
           {1000, 3}, {65536, 2}, {70000, 2}, {200, 5}, {60, 12}}) {
    BC.precompute(static_cast<std::int64_t>(n), static_cast<std::int64_t>(k));
    const std::size_t rows = 999;
    std::vector<std::uint16_t> v;
    for (std::size_t r = 0; r < rows; ++r) {
      std::vector<std::uint16_t> c;
      while (c.size() < k) {
        const auto x = static_cast<std::uint16_t>(rng() % std::min<std::uint64_t>(n, 65536));
        if (std::find(c.begin(), c.end(), x) == c.end()) c.push_back(x);
      }
      std::sort(c.begin(), c.end());
      v.insert(v.end(), c.begin(), c.end());
    }
    std::vector<std::int64_t> dispatched(rows), baseline(rows);
    const auto table = TableCoefficients::of(BC.view());
    rank_rows<Order::lex, RowLayout::smallest_first, 0>(v.data(), rows, k, n, dispatched.data(), table);
    combinatorial::detail::rank_rows_body<Order::lex, RowLayout::smallest_first, 0>(v.data(), rows, k, n,
                                                                                    baseline.data(), table);
    EXPECT_EQ(dispatched, baseline) << n << " " << k;
  }
}
